// Acting on real processes that the test starts itself: ending one through its checked handle, refusing one whose
// id now carries another start key, reading its program's path, the facts of an exiting process, a gone program
// file, the signal rule for another user, and the file browser's request made with its arguments as a list.
#include "platform/procact.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

const std::string sleep_path = "/usr/bin/sleep";

// A child of the test running the program (sleep 600 by default); always killed and reaped at the end.
struct Child {
  pid_t pid = -1;
  explicit Child(const std::string& program = sleep_path) {
    pid = fork();
    if (pid == 0) {
      execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Child() { reap(); }
  void reap() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);  // our own unreaped child: the number cannot belong to another process
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  u32 id() const { return static_cast<u32>(pid); }
  // Waits until the child runs its program (its image path is no longer the test's own).
  bool running(const std::string& program) const {
    for (int i = 0; i < 3000; ++i) {
      char link[4096];
      ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), link, sizeof link);
      if (n > 0 && std::string(link, n).rfind(program, 0) == 0) return true;
      usleep(10000);
    }
    return false;
  }
};

u32 key_of(u32 pid) {
  u32 key = 0;
  EXPECT_EQ(procact::start_key(pid, &key), 0u);
  return key;
}

std::string path_of(u32 pid, u32 start, u32* code) {
  u8 buffer[procact::path_most];
  u32 length = 0;
  *code = procact::path_of(pid, start, buffer, sizeof buffer, &length);
  return std::string(reinterpret_cast<const char*>(buffer), length);
}

TEST(ProcAct, EndsTheCheckedProcessAndRefusesAReusedId) {
  Child c;
  ASSERT_TRUE(c.running(sleep_path));
  const u32 start = key_of(c.id());
  // The same pid with another start key stands for a process that ended and whose id was reused.
  EXPECT_EQ(procact::check_alive(c.id(), start + 1), 3u);
  EXPECT_EQ(procact::end_process(c.id(), start + 1), 3u);
  int status = 0;
  EXPECT_EQ(waitpid(c.pid, &status, WNOHANG), 0) << "a refused end sends nothing";
  EXPECT_EQ(procact::check_alive(c.id(), start), 0u);
  EXPECT_EQ(procact::end_process(c.id(), start), 1u);
  ASSERT_EQ(waitpid(c.pid, &status, 0), c.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  const u32 pid = c.id();
  c.pid = -1;
  // Once reaped the process is gone; a pid that is not there at all reads as ended.
  const u32 again = procact::end_process(pid, start);
  EXPECT_TRUE(again == 4u || again == 3u) << again;
  EXPECT_EQ(procact::check_alive(0x3FFFFFFF, 0), 4u);
}

TEST(ProcAct, PathFactsAndAnExitingProcess) {
  Child c;
  ASSERT_TRUE(c.running(sleep_path));
  const u32 start = key_of(c.id());
  u32 code = 99;
  EXPECT_EQ(path_of(c.id(), start, &code), sleep_path);
  EXPECT_EQ(code, 0u);
  path_of(c.id(), start + 7, &code);
  EXPECT_EQ(code, 3u);
  u8 tiny[4];
  u32 length = 0;
  EXPECT_EQ(procact::path_of(c.id(), start, tiny, sizeof tiny, &length), 12u) << "a path that does not fit";
  EXPECT_EQ(procact::open_location(c.id(), start, false), 1u);

  const u32 facts = procact::assess(c.id(), start);
  EXPECT_EQ(facts & ~0x80u, 0u) << std::hex << facts;
  EXPECT_EQ(procact::assess(c.id(), start + 1) & 0x8u, 0x8u) << "ended or reused";

  // A process that has ended but is not yet reaped is exiting: ending it again changes nothing.
  kill(c.pid, SIGKILL);
  for (int i = 0; i < 3000 && !procact::exiting(c.id()); ++i) usleep(10000);
  EXPECT_TRUE(procact::exiting(c.id()));
  const u32 zombie = procact::assess(c.id(), start);
  EXPECT_TRUE(zombie & 0x18u) << std::hex << zombie;
  EXPECT_EQ(procact::check_alive(c.id(), start), 4u);
}

TEST(ProcAct, SystemProcessesAndKernelThreads) {
  EXPECT_TRUE(procact::is_critical(1));
  EXPECT_TRUE(procact::is_critical(2)) << "kthreadd";
  EXPECT_TRUE(procact::is_protected(2));
  EXPECT_FALSE(procact::is_critical(static_cast<u32>(getpid())));
  EXPECT_FALSE(procact::is_protected(static_cast<u32>(getpid())));
  const u32 kthreadd = procact::assess(2, key_of(2));
  EXPECT_EQ(kthreadd & 0x60u, 0x60u) << std::hex << kthreadd;
  EXPECT_EQ(kthreadd & 0x400u, 0x400u) << "a kernel thread has no program file";
}

TEST(ProcAct, AGoneProgramFile) {
  testutil::TempDir dir;
  const std::string copy = dir.path + "/gone sleeper";
  {
    std::ifstream in(sleep_path, std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
  }
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  Child c(copy);
  ASSERT_TRUE(c.running(copy));
  const u32 start = key_of(c.id());
  EXPECT_EQ(procact::open_location(c.id(), start, false), 1u);
  ASSERT_EQ(unlink(copy.c_str()), 0);
  u32 code = 99;
  EXPECT_EQ(path_of(c.id(), start, &code), copy) << "the deleted mark is not part of the path";
  EXPECT_EQ(procact::open_location(c.id(), start, false), 13u);
}

// The signal rule seen from another user: a process of this user may not be ended by it.
TEST(ProcAct, AnotherUserMayNotEndThisUsersProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs to switch to another user";
  Child target;
  ASSERT_TRUE(target.running(sleep_path));
  const pid_t helper = fork();
  if (helper == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(90);
    u32 key = 0;
    if (procact::start_key(target.id(), &key) != 0) _exit(91);
    const u32 access = procact::end_access(target.id());
    const u32 ended = procact::end_process(target.id(), key);
    const u32 facts = procact::assess(target.id(), key);
    _exit(static_cast<int>(access * 10 + ended + ((facts & 0x200) ? 100 : 0)));
  }
  int status = 0;
  ASSERT_EQ(waitpid(helper, &status, 0), helper);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 100 + 5 * 10 + 5) << "refused to look, refused to end, the fact says so";
  EXPECT_EQ(waitpid(target.pid, &status, WNOHANG), 0) << "the target still runs";
  EXPECT_EQ(procact::end_access(target.id()), 0u);
}

TEST(ProcAct, FileUriAndFolder) {
  struct Case {
    std::string path, uri;
  } cases[] = {
      {"/usr/bin/sleep", "file:///usr/bin/sleep"},
      {"/opt/a b/c,d\"e%f", "file:///opt/a%20b/c%2Cd%22e%25f"},
      {"/x/\xC3\xA9t\xC3\xA9", "file:///x/%C3%A9t%C3%A9"},
      {"/a\nb", "file:///a%0Ab"},
      {"relative/x", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    u8 out[256];
    const u32 n = procact::file_uri(harness::bytes(c.path), out, sizeof out);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), n), c.uri) << c.path;
  }
  u8 small[10];
  EXPECT_EQ(procact::file_uri(mem::lit("/usr/bin/sleep"), small, sizeof small), 0u) << "does not fit";
  auto folder = [](const std::string& p) {
    const mem::Bytes f = procact::folder_of(harness::bytes(p));
    return std::string(reinterpret_cast<const char*>(f.ptr), f.len);
  };
  EXPECT_EQ(folder("/usr/bin/sleep"), "/usr/bin");
  EXPECT_EQ(folder("/sleep"), "/");
  EXPECT_EQ(folder("sleep"), "");
}

// The file browser is asked with the path as one argument: a stand-in browser on PATH records what it was given.
TEST(ProcAct, ShowFilePassesThePathAsOneArgument) {
  testutil::TempDir dir;
  const std::string record = dir.path + "/asked.txt";
  const std::string fake = dir.path + "/dbus-send";
  {
    std::ofstream script(fake);
    script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << record << ".part'\nmv '" << record
           << ".part' '" << record << "'\nexit 0\n";
  }
  ASSERT_EQ(chmod(fake.c_str(), 0755), 0);
  harness::EnvVar path("PATH", dir.path + ":/usr/bin:/bin");
  const std::string file = dir.path + "/odd \"name\"; rm -rf x $(y).bin";
  EXPECT_EQ(procact::show_file(harness::bytes(file)), 1u);
  std::ifstream in(record);
  std::stringstream got;
  got << in.rdbuf();
  const std::string text = got.str();
  EXPECT_NE(text.find("org.freedesktop.FileManager1.ShowItems\n"), std::string::npos) << text;
  EXPECT_NE(text.find("array:string:file://" + dir.path + "/odd%20%22name%22%3B%20rm%20-rf%20x%20%24%28y%29.bin\n"),
            std::string::npos)
      << text;

  // No file browser at all: the failure is reported.
  harness::EnvVar nothing("PATH", dir.path + "/none");
  EXPECT_EQ(procact::show_file(harness::bytes(file)), 6u);
}

}  // namespace
