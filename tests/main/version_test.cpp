#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/testutil.h"

namespace {

TEST(Version, PrintsVersionAndEndsWithZero) {
  testutil::RunResult r = testutil::run_vimbrel("--version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "vimbrel 0.1.81\n");
}

TEST(Version, WritingToAClosedPipeIsNotFatal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody will ever read: the write fails with EPIPE instead of raising SIGPIPE
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    execl(VIMBREL_EXE, VIMBREL_EXE, "--version", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
