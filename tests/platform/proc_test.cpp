#include "platform/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history/store.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

// ---- This test program doubles as a child of this program: started with "--proc-test-child", it does one thing
// and ends before any test runs.

std::vector<std::string> own_arguments() {
  std::vector<std::string> args;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return args;
  char text[4096];
  ssize_t n = read(fd, text, sizeof text);
  ::close(fd);
  std::string word;
  for (ssize_t i = 0; i < n; ++i) {
    if (text[i] == 0) {
      args.push_back(word);
      word.clear();
    } else {
      word += text[i];
    }
  }
  return args;
}

// "exit <code>": ends through the program's own exit with the code. "descriptors": writes its exit channel's
// variable and a line of its open descriptors. "job-sleeper": starts a sleeping child bound to a job, writes its
// process id and waits to be killed.
struct ChildMode {
  ChildMode() {
    std::vector<std::string> args = own_arguments();
    if (args.size() < 3 || args[1] != "--proc-test-child") return;
    if (args[2] == "exit" && args.size() == 4) os::exit_process(static_cast<u32>(std::stoul(args[3])));
    if (args[2] == "descriptors") {
      const char* channel = getenv("VIMBREL_EXIT_FD");
      forked::tell(1, channel ? channel : "none");
      std::string list;
      DIR* d = opendir("/proc/self/fd");
      std::vector<int> fds;
      while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) fds.push_back(atoi(e->d_name));
      }
      if (d) closedir(d);
      std::sort(fds.begin(), fds.end());
      for (int fd : fds) list += std::to_string(fd) + " ";
      ssize_t ignored = write(1, list.data(), list.size());
      (void)ignored;
      _exit(0);
    }
    if (args[2] == "job-sleeper") {
      proc::Child sleeper;
      if (!proc::spawn(bytes("/bin/sleep"), bytes("600"), proc::spawn_job, &sleeper, nullptr)) _exit(3);
      forked::tell(1, std::to_string(sleeper.process_id));
      for (;;) pause();
    }
    _exit(2);
  }
} child_mode;

std::string own_exe() {
  u8 path[1024];
  u32 n = proc::own_path(path);
  return std::string(reinterpret_cast<char*>(path), n);
}

proc::ExePath exe_path(const std::string& utf8) {
  proc::ExePath p{};
  p.length = os::utf8_to_wide(bytes(utf8), p.units, proc::path_units);
  return p;
}

int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool has_children() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

void collect(void* state, mem::Bytes b) { static_cast<std::string*>(state)->append(harness::text(b)); }

// Drains until the pipe is closed and empty; everything the child wrote.
std::string drain_all(proc::PipedChild* c) {
  std::string out;
  long long deadline = forked::now_ms() + 30000;
  while (proc::drain(c, collect, &out) && forked::now_ms() < deadline) usleep(1000);
  return out;
}

TEST(Children, OwnPathAndCommandLine) {
  std::string exe = own_exe();
  EXPECT_EQ(exe, std::filesystem::read_symlink("/proc/self/exe").string());

  u16 line[proc::command_line_units];
  struct Case {
    std::string path, arguments, expected;  // expected empty: refused
  } cases[] = {
      {"/bin/a", "", "\"/bin/a\" "},  // the blank stays without arguments
      {"/bin/a", "-x \"y z\"", "\"/bin/a\" -x \"y z\""},
      {"", "-x", ""},
      {std::string(1100, 'p'), "", ""},
      {std::string(1099, 'p'), std::string(600, 'a'), ""},  // does not fit 1,700 units
  };
  for (const Case& c : cases) {
    u32 n = proc::command_line(bytes(c.path), bytes(c.arguments), line);
    EXPECT_EQ(std::string(line, line + n), c.expected) << c.path.size() << " " << c.arguments;
    if (n) {
      EXPECT_EQ(line[n], 0);
    }
  }
  // The path is UTF-8, widened as text; the arguments byte by byte.
  u32 n = proc::command_line(bytes("/\xc3\xa9"), bytes("\xc3"), line);
  ASSERT_EQ(n, 6u);
  EXPECT_EQ(line[2], 0xE9);
  EXPECT_EQ(line[5], 0xC3);
}

TEST(Children, FailedStartsAreReportedAtOnceAndLeaveNothing) {
  proc::Child c;
  proc::PipedChild piped;
  proc::ExePath missing = exe_path("/nonexistent/vimbrel");
  EXPECT_EQ(proc::start_in_job(&missing, bytes("--version"), &c), 0u);
  EXPECT_EQ(c.process, 0u);
  EXPECT_EQ(proc::start(&missing, bytes(""), 1, &c), 0u);
  EXPECT_EQ(proc::start_piped(&piped, bytes("/tmp"), bytes("")), 0u);  // a folder is no program
  EXPECT_EQ(piped.output, 0u);
  EXPECT_EQ(proc::start_detached(bytes("/nonexistent/vimbrel"), bytes("--background")), 0u);
  EXPECT_EQ(proc::spawn(bytes("/bin/sh"), bytes("-c \"exit 0\""), proc::spawn_piped, &c, nullptr), 0u);
  // Every child that could not start was reaped.
  EXPECT_FALSE(has_children());

  // Limits of the two families.
  proc::ExePath sh = exe_path("/bin/true");
  EXPECT_EQ(proc::start_in_job(&sh, bytes(std::string(257, 'a')), &c), 0u);
  ASSERT_EQ(proc::start_in_job(&sh, bytes(std::string(256, 'a')), &c), 1u);
  proc::close(&c);
  proc::ExePath long_path = exe_path("/" + std::string(900, 'p'));
  EXPECT_EQ(proc::start_in_job(&long_path, bytes(std::string(200, 'a')), &c), 0u);  // the line would be cut
  EXPECT_EQ(proc::start_piped(&piped, bytes(""), bytes("")), 0u);
  EXPECT_EQ(proc::start_piped(&piped, bytes("/bin/true"), bytes(std::string(513, 'a'))), 0u);
  EXPECT_EQ(proc::start_detached(bytes("/" + std::string(1099, 'p')), bytes("")), 0u);
  EXPECT_FALSE(has_children());

  // An empty record: nothing runs, no code.
  proc::Child empty{};
  u32 code = 77;
  EXPECT_EQ(proc::exit_code(&empty, &code), 0u);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(proc::is_running(&empty), 0u);
  proc::close(&empty);
}

TEST(Children, ArgumentsAreSplitAsACommandLineWould) {
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes("/bin/sh"),
                              bytes("-c \"printf '<%s>' \\\"$@\\\"\" sh a \"b c\" \"\" d\\\"e  f\\\\g")),
            1u);
  EXPECT_EQ(drain_all(&c), "<a><b c><><d\"e><f\\\\g>");
  proc::piped_close(&c);
}

TEST(Children, ExitCodesAndTheFullWord) {
  std::string exe = own_exe();
  struct Case {
    std::string path, arguments;
    u32 code;
  } cases[] = {
      {exe, "--proc-test-child exit 1444033622", 0x56123456},  // a packed report arrives whole
      {"/proc/self/exe", "--proc-test-child exit 5", 5},  // this program's own executable, whatever its name
      {"/bin/sh", "-c \"exit 7\"", 7},
      {"/bin/sh", "-c \"kill -TERM $$\"", 128 + 15},
      // A grandchild that inherited the channel's variable writes nothing into it: only 8 bits come through sh.
      {"/bin/sh", "-c \"'" + exe + "' --proc-test-child exit 1444033622; exit $?\"", 0x56},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    proc::ExePath path = exe_path(c.path);
    proc::Child child;
    ASSERT_EQ(proc::start_in_job(&path, bytes(c.arguments), &child), 1u);
    ASSERT_EQ(proc::wait_end(&child, 30000), 1u);
    EXPECT_EQ(proc::is_running(&child), 0u);
    u32 code = 0;
    EXPECT_EQ(proc::exit_code(&child, &code), 1u);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(proc::exit_code(&child, &code), 1u);  // asked again, the same
    EXPECT_EQ(code, c.code);
    proc::close(&child);
  }
  EXPECT_FALSE(has_children());
}

TEST(Children, PipedOutputIsDrainedIn64KiBSteps) {
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes("/bin/sh"), bytes("-c \"yes abcdefg | head -c 102400; echo err >&2\"")), 1u);
  EXPECT_EQ(proc::piped_running(&c), 1u);
  // Wait until the pipe is full, so one drain meets more than it may take.
  int waiting = 0;
  long long deadline = forked::now_ms() + 30000;
  while (waiting < 65536 && forked::now_ms() < deadline) {
    ioctl(static_cast<int>(c.output - 1), FIONREAD, &waiting);
    usleep(1000);
  }
  ASSERT_EQ(waiting, 65536);
  std::string first;
  EXPECT_EQ(proc::drain(&c, collect, &first), 1u);
  EXPECT_EQ(first.size(), 65536u);
  std::string all = first + drain_all(&c);
  ASSERT_EQ(all.size(), 102400u + 4);
  EXPECT_EQ(all.substr(0, 16), "abcdefg\nabcdefg\n");
  EXPECT_EQ(all.substr(102400), "err\n");  // standard error goes into the same pipe
  ASSERT_EQ(proc::wait_end(&c.child, 30000), 1u);
  EXPECT_EQ(proc::piped_exit_code(&c), 0u);
  proc::piped_close(&c);
  EXPECT_EQ(c.output, 0u);
}

TEST(Children, TerminateEndsAPipedChildWithCodeOne) {
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes("/bin/sleep"), bytes("600")), 1u);
  std::string nothing;
  EXPECT_EQ(proc::drain(&c, collect, &nothing), 1u);  // nothing waits: back at once
  EXPECT_EQ(nothing, "");
  EXPECT_EQ(proc::piped_exit_code(&c), proc::still_active);
  proc::terminate(&c);
  EXPECT_EQ(proc::piped_running(&c), 0u);
  EXPECT_EQ(proc::piped_exit_code(&c), 1u);
  proc::piped_close(&c);
  EXPECT_FALSE(has_children());
}

TEST(Children, NoDescriptorOfTheParentReachesAChild) {
  int null_fd = open("/dev/null", O_RDONLY);
  int open_fd = fcntl(null_fd, F_DUPFD, 200);  // deliberately inheritable
  ::close(null_fd);
  ASSERT_GE(open_fd, 200);
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes(own_exe()), bytes("--proc-test-child descriptors")), 1u);
  std::string seen = drain_all(&c);
  ::close(open_fd);
  // The standard three and the exit channel that the variable names, nothing else.
  std::string channel = seen.substr(0, seen.find('\n'));
  EXPECT_EQ(seen, channel + "\n0 1 2 " + channel.substr(0, channel.find('.')) + " ");
  proc::piped_close(&c);
}

TEST(Children, ClosingTheJobEndsTheChildAndWhatItStarted) {
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes("/bin/sh"), bytes("-c \"sleep 600 & echo $!; wait\"")), 1u);
  std::string line;
  long long deadline = forked::now_ms() + 30000;
  while (line.find('\n') == std::string::npos && forked::now_ms() < deadline) {
    proc::drain(&c, collect, &line);
    usleep(1000);
  }
  pid_t grandchild = std::stoi(line);
  int watch = open_pidfd(grandchild);
  ASSERT_GE(watch, 0);
  EXPECT_FALSE(forked::ends_within(watch, 0));
  proc::piped_close(&c);
  EXPECT_TRUE(forked::ends_within(watch, 30));
  ::close(watch);
  EXPECT_FALSE(has_children());
}

TEST(Children, AJobBoundChildEndsWithItsKilledParentDownTheChain) {
  // parent (killed by the test) -> this program as a child -> a sleeper: both end when the parent dies.
  std::string exe = own_exe();
  forked::Process parent([&](int up, int) {
    proc::PipedChild middle;
    if (!proc::start_piped(&middle, bytes(exe), bytes("--proc-test-child job-sleeper"))) return 1;
    std::string line;
    while (line.find('\n') == std::string::npos && proc::drain(&middle, collect, &line)) usleep(1000);
    forked::tell(up, std::to_string(middle.child.process_id) + " " + line);
    pause();
    return 0;
  });
  std::string pids = parent.line();
  ASSERT_FALSE(pids.empty());
  size_t blank = pids.find(' ');
  int middle = open_pidfd(std::stoi(pids.substr(0, blank)));
  int sleeper = open_pidfd(std::stoi(pids.substr(blank + 1)));
  ASSERT_GE(middle, 0);
  ASSERT_GE(sleeper, 0);
  EXPECT_FALSE(forked::ends_within(sleeper, 0));
  parent.kill_and_wait();
  EXPECT_TRUE(forked::ends_within(middle, 30));
  EXPECT_TRUE(forked::ends_within(sleeper, 30));
  ::close(middle);
  ::close(sleeper);
}

TEST(Children, DetachedChildOutlivesItsStarter) {
  testutil::TempDir dir;
  std::string pid_file = dir.path + "/pid";
  forked::Process starter([&](int, int) {
    std::string script = "-c \"echo $$ > '" + pid_file + "'; exec sleep 600\"";
    return proc::start_detached(bytes("/bin/sh"), bytes(script)) ? 0 : 1;
  });
  ASSERT_EQ(starter.wait(), 0);  // the starter has ended
  std::string pid_text;
  long long deadline = forked::now_ms() + 30000;
  while (pid_text.find('\n') == std::string::npos && forked::now_ms() < deadline) {
    pid_text = testutil::read_file(pid_file);
    usleep(1000);
  }
  pid_t pid = std::stoi(pid_text);
  int watch = open_pidfd(pid);
  ASSERT_GE(watch, 0);
  EXPECT_FALSE(forked::ends_within(watch, 0));
  EXPECT_NE(getsid(pid), getsid(0));  // a session of its own
  // Nothing of the starter's: no exit channel, standard handles to nothing.
  std::string env = testutil::read_file("/proc/" + std::to_string(pid) + "/environ");
  EXPECT_EQ(env.find("VIMBREL_EXIT_FD"), std::string::npos);
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/1").string(), "/dev/null");
  syscall(SYS_pidfd_send_signal, watch, SIGKILL, nullptr, 0);
  EXPECT_TRUE(forked::ends_within(watch, 30));
  ::close(watch);
}

TEST(Children, WindowsAreFoundThroughTheRuntimeFolder) {
  testutil::TempDir runtime;
  harness::EnvVar xdg("XDG_RUNTIME_DIR", runtime.path);
  std::string windows = runtime.path + "/vimbrel/windows";
  store::Path folder;
  ASSERT_EQ(kobj::runtime_folder(&folder), 1u);
  std::string script = "-c \"mkdir -p '" + windows + "'; echo 2a > '" + windows + "/Vimbrel.'$$; exec sleep 600\"";
  proc::PipedChild c;
  ASSERT_EQ(proc::start_piped(&c, bytes("/bin/sh"), bytes(script)), 1u);
  EXPECT_EQ(proc::wait_window(bytes("Vimbrel"), &c.child, 30000), 0x2Au);
  EXPECT_EQ(proc::find_window(bytes("Other"), &c.child), 0u);
  EXPECT_EQ(proc::find_window(bytes("../Vimbrel"), &c.child), 0u);
  proc::piped_close(&c);

  // A child that ends without a window ends the wait at once, not at its time-out (the guard only catches that).
  int code = harness::in_child([] {
    proc::PipedChild quick;
    if (!proc::start_piped(&quick, bytes("/bin/true"), bytes(""))) return 2;
    u64 window = proc::wait_window(bytes("Vimbrel"), &quick.child, 600000);
    proc::piped_close(&quick);
    return window == 0 ? 0 : 1;
  }, 30);
  EXPECT_EQ(code, 0);
}

// The process group and session of a running process: fields 5 and 6 of its stat line.
std::pair<long, long> group_and_session(u32 pid) {
  const std::string stat = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
  long group = -1, session = -1;
  const size_t name_end = stat.rfind(')');
  if (name_end != std::string::npos) sscanf(stat.c_str() + name_end + 1, " %*c %*d %ld %ld", &group, &session);
  return {group, session};
}

// A child started in a new process group leads a session of its own, so a Ctrl-C or a hang-up at this process's
// terminal never reaches it; without the flag it stays in this process's group, and bound to a job it still ends
// with the job.
TEST(Children, NewProcessGroupLeavesTheStartersTerminal) {
  struct Case {
    const char* name;
    u32 flags;
    bool apart;
  } cases[] = {{"plain", 0, false},
               {"new process group", proc::create_new_process_group, true},
               {"new process group in a job", proc::create_new_process_group | proc::create_suspended, true}};
  proc::ExePath sleep = exe_path("/bin/sleep");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    proc::Child c;
    ASSERT_EQ(proc::create(&sleep, bytes("600"), k.flags, 0, proc::show_hide, &c), 1u);
    const auto [group, session] = group_and_session(c.process_id);
    if (k.apart) {
      EXPECT_EQ(group, static_cast<long>(c.process_id));
      EXPECT_EQ(session, static_cast<long>(c.process_id));
    } else {
      EXPECT_EQ(group, static_cast<long>(getpgrp()));
      EXPECT_EQ(session, static_cast<long>(getsid(0)));
    }
    proc::kill(&c);
    EXPECT_EQ(proc::wait_end(&c, 30000), 1u);
    proc::close(&c);
  }
  EXPECT_FALSE(has_children());
}

TEST(Children, StartWithoutAJobRunsAndIsReapedOnClose) {
  proc::ExePath sh = exe_path("/bin/sh");
  proc::Child c;
  ASSERT_EQ(proc::start(&sh, bytes("-c \"exit 3\""), 0, &c), 1u);
  EXPECT_EQ(c.job, 0u);
  ASSERT_EQ(proc::wait_end(&c, 30000), 1u);
  u32 code = 0;
  EXPECT_EQ(proc::exit_code(&c, &code), 1u);
  EXPECT_EQ(code, 3u);
  proc::close(&c);
  EXPECT_FALSE(has_children());
}

}  // namespace
