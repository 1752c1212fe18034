#include <stdio.h>
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

// A version that does not reach standard output is no success: a pipe whose reader has gone, a full disk or a
// closed descriptor end the mode with exit code 1 (never a signal) and the reason on standard error.
TEST(Version, AFailedOutputEndsWith1AndSaysWhy) {
  const std::string told = "vimbrel: cannot write the version to standard output: ";
  testutil::TempDir dir;
  const std::string err_path = dir.path + "/err";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody will ever read: the write fails with EPIPE instead of raising SIGPIPE
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    if (!freopen(err_path.c_str(), "w", stderr)) _exit(126);
    execl(VIMBREL_EXE, VIMBREL_EXE, "--version", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(testutil::read_file(err_path), told + "reset\n");

  const std::pair<const char*, const char*> redirects[] = {{">/dev/full", "no space"}, {">&-", "bad handle"}};
  for (const auto& [redirect, reason] : redirects) {
    testutil::RunResult r = testutil::run_vimbrel_to("--version", "", redirect);
    EXPECT_EQ(r.exit_code, 1) << redirect;
    EXPECT_EQ(r.err, told + reason + "\n") << redirect;
  }
}

}  // namespace
