// The snapshot modes as a user runs them: `--print` reports this machine, `--record f` measures it into a file whose
// facts are this machine's and `--print --replay f` reports them again, and a damaged or oversized file is refused
// with the one message and exit code 1. A file that cannot be written or opened, and a standard output that
// refuses the report, are told on standard error with the reason, and the mode ends with exit code 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/sampling/snap_pair.h"
#include "sampling/snap.h"
#include "tests/support/testutil.h"

namespace {

const std::string refused = "the snapshot file cannot be read or does not match this build\n";

// Logical processors as the kernel lists them in /proc/stat.
u32 processors_listed() {
  std::ifstream in("/proc/stat");
  std::string line;
  u32 n = 0;
  while (std::getline(in, line)) {
    if (line.size() > 3 && line.compare(0, 3, "cpu") == 0 && isdigit(static_cast<unsigned char>(line[3]))) ++n;
  }
  return n;
}

u64 mem_total_bytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  u64 kib = 0;
  while (in >> key) {
    if (key == "MemTotal:") {
      in >> kib;
      return kib * 1024;
    }
    std::getline(in, key);
  }
  return 0;
}

TEST(SnapModes, RecordHoldsThisMachinesFacts) {
  testutil::TempDir home;
  const std::string file = home.path + "/pair.snap";
  testutil::RunResult r = testutil::run_vimbrel("--record '" + file + "'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  const std::string text = testutil::read_file(file);
  ASSERT_EQ(text.rfind("vimbrel-snap 5 146616 12599344\n", 0), 0u);
  snap_pair::Pair f;
  ASSERT_TRUE(f.read(text));
  const u32 cpus = processors_listed();
  const u64 total = mem_total_bytes();
  for (const auto& s : f.sample) {
    EXPECT_EQ(s->cpu_bytes / 48, std::min<u32>(cpus, 256));
    EXPECT_LE(s->memory.total_physical > total ? s->memory.total_physical - total : total - s->memory.total_physical,
              1u << 20);
    for (const auto& label : s->labels) {
      for (u16 unit : label) ASSERT_EQ(unit, 0) << "a snapshot never keeps volume labels";
    }
  }
  EXPECT_GE(f.sample[1]->time_ms - f.sample[0]->time_ms, 2000u);
  for (const auto& p : f.procs) {
    EXPECT_EQ(p->head.status, 0u);
    EXPECT_GT(p->head.used, 0u);
    for (u32 i = p->head.tcp_pids; i < collect::max_tcp_pids; ++i) ASSERT_EQ(p->head.pids[i], 0u);
  }
  // Recording again replaces the file.
  testutil::write_file(file, "old");
  ASSERT_EQ(testutil::run_vimbrel("--record '" + file + "'", home.path).exit_code, 0);
  EXPECT_EQ(testutil::read_file(file).rfind("vimbrel-snap 5 ", 0), 0u);
}

// The value of the report line that begins with the label, up to the line's end; empty when there is none.
std::string value_of(const std::string& report, const std::string& label) {
  size_t at = report.rfind(label, 0) == 0 ? 0 : report.find("\n" + label);
  if (at == std::string::npos) return "";
  at += at == 0 ? label.size() : label.size() + 1;
  return report.substr(at, report.find('\n', at) - at);
}

// The facts of this machine that any report of it must show.
void expect_this_machine(const std::string& report) {
  EXPECT_EQ(report.rfind("Vimbrel snapshot\ncpu: ", 0), 0u) << report;
  EXPECT_EQ(value_of(report, "cores: "), std::to_string(std::min<u32>(processors_listed(), 64)) + " logical processors");
  const u64 listed = mem_total_bytes() >> 20;
  const std::string total = value_of(report, "memory total: ");
  ASSERT_FALSE(total.empty()) << report;
  const u64 shown = std::stoull(total);
  EXPECT_LE(shown > listed ? shown - listed : listed - shown, 1u) << total;
  EXPECT_NE(report.find("\nprocess table: "), std::string::npos);
  EXPECT_NE(report.find("\ntop "), std::string::npos);
  EXPECT_EQ(report.back(), '\n');
}

TEST(SnapModes, PrintReportsThisMachine) {
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--print", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expect_this_machine(r.out);
  EXPECT_NE(r.out.find("\nhardware (read now, not recorded):\ncpu vendor: "), std::string::npos) << r.out;
}

TEST(SnapModes, ReplayReportsTheRecordedPair) {
  testutil::TempDir home;
  const std::string file = home.path + "/pair.snap";
  ASSERT_EQ(testutil::run_vimbrel("--record '" + file + "'", home.path).exit_code, 0);
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + file + "'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  expect_this_machine(r.out);
  // Nothing read at print time: no hardware section, no temperatures; volume labels are not kept.
  EXPECT_EQ(r.out.find("hardware"), std::string::npos);
  EXPECT_EQ(r.out.find("\ntemperature "), std::string::npos);
  for (size_t at = r.out.find("\nvolume "); at != std::string::npos; at = r.out.find("\nvolume ", at + 1)) {
    EXPECT_EQ(r.out.compare(at + 9, 4, ": \"\""), 0) << r.out.substr(at, 40);
  }
  // The report is computed from the pair alone: a second replay prints the same bytes.
  EXPECT_EQ(testutil::run_vimbrel("--print --replay '" + file + "'", home.path).out, r.out);
}

TEST(SnapModes, ReplayOfAKeptSnapshotIsStable) {
  // A pair recorded once on a Linux machine and its report: the whole road from the file through the usage passes
  // to the text must keep giving the same bytes, on any machine.
  const std::string folder = VIMBREL_FIXTURES "/sampling/snap/";
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + folder + "pair.snap'", home.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, testutil::read_file(folder + "pair.report"));
}

TEST(SnapModes, ReplayRefusesWhatIsNotASnapshot) {
  testutil::TempDir home;
  const std::string good_start = "vimbrel-snap 5 146616 12599344\nz146616;\nz146616;\nz12599344;\n";
  struct Case {
    const char* what;
    std::string bytes;  // empty: no file at all
  };
  const Case cases[] = {
      {"another format", "vimbrel-snap 4 146616 12599344\nz146616;\nz146616;\nz12599344;\nz12599344;\n"},
      {"a cut file", good_start},
      {"a damaged line", good_start + "z1259934x;\n"},
      {"trailing garbage", good_start + "z12599344;\nmore\n"},
  };
  for (const Case& c : cases) {
    const std::string file = home.path + "/case.snap";
    testutil::write_file(file, c.bytes);
    testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + file + "'", home.path);
    EXPECT_EQ(r.exit_code, 1) << c.what;
    EXPECT_EQ(r.out, refused) << c.what;
  }
  // A file longer than any snapshot is refused before memory is reserved for it (a sparse file of 2 GiB).
  const std::string huge = home.path + "/huge.snap";
  testutil::write_file(huge, good_start);
  ASSERT_EQ(truncate(huge.c_str(), 2ll << 30), 0);
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + huge + "'", home.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, refused);
}

// A path that cannot be opened says why; it is never blamed on the format.
TEST(SnapModes, ReplayTellsWhyAFileCannotBeRead) {
  testutil::TempDir home;
  const std::string fifo = home.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {home.path + "/missing.snap", "not found"},
      {home.path, "not a plain file"},
      {fifo, "not a plain file"},  // refused at once: opening it never waits for a writer
      {home.path + "/a\x1b[2Jb.snap", "not found"},
  };
  for (const Case& c : cases) {
    testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + c.path + "'", home.path);
    EXPECT_EQ(r.exit_code, 1) << c.path;
    EXPECT_EQ(r.out, "") << c.path;
    std::string shown = c.path;
    for (char& ch : shown) ch = (ch > 0 && ch < 32) ? '?' : ch;
    EXPECT_EQ(r.err, "vimbrel: cannot read the snapshot file " + shown + ": " + c.reason + "\n") << c.path;
  }
}

std::string write_refusal(const std::string& path, const std::string& reason) {
  return "vimbrel: cannot write the snapshot file " + path + ": " + reason + "\n";
}

mode_t type_of(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// `vimbrel --record <path>` with its folders in home, in a process that the system ends (SIGSYS) the moment it asks
// to sleep: a run that measures sleeps between the two samples of its pair, so only a run that refused before
// measuring ends with its own code. How long a run takes on a busy machine tells nothing of the order.
testutil::RunResult record_without_sleeping(const std::string& path, const std::string& home) {
  testutil::TempDir io;
  const std::string out = io.path + "/out", err = io.path + "/err";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    sock_filter sleeps[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_nanosleep, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_nanosleep, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof sleeps / sizeof sleeps[0]), sleeps};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(126);
    }
    execl(VIMBREL_EXE, VIMBREL_EXE, "--record", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  testutil::RunResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  r.out = testutil::read_file(out);
  r.err = testutil::read_file(err);
  return r;
}

// --record never swaps something that is not a plain file for one: a folder, a pipe, a socket, a device and links
// to them are refused with a message and stay as they were. The refusal comes before the pair is measured.
TEST(SnapModes, RecordRefusesWhatIsNotAPlainFileAtOnce) {
  testutil::TempDir home;
  auto at = [&](const std::string& name) { return home.path + "/" + name; };
  ASSERT_EQ(mkdir(at("folder").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(at("sock").size(), sizeof address.sun_path);
  memcpy(address.sun_path, at("sock").c_str(), at("sock").size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const bool device = mknod(at("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;  // where the test may
  for (const char* name : {"folder", "fifo", "sock", "null"}) {
    ASSERT_EQ(symlink(name, at(std::string("to-") + name).c_str()), 0);
  }
  testutil::write_file(at("kept.snap"), "kept");
  ASSERT_EQ(chmod(at("kept.snap").c_str(), 0444), 0);
  struct Case {
    std::string name;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"folder", "not a plain file"},  {"folder/", "not a plain file"}, {"fifo", "not a plain file"},
      {"sock", "not a plain file"},    {"to-folder", "not a plain file"}, {"to-fifo", "not a plain file"},
      {"to-sock", "not a plain file"}, {"no/such/folder/f.snap", "not found"},
      {"kept.snap", "access denied or in use"},  // its owner made it read-only
  };
  if (device) cases.insert(cases.end(), {{"null", "not a plain file"}, {"to-null", "not a plain file"}});
  std::vector<std::pair<std::string, mode_t>> before;
  for (const auto& e : std::filesystem::directory_iterator(home.path)) before.emplace_back(e.path(), type_of(e.path()));
  {
    testutil::TempDir other;  // the runner stops a run that measures: one that may write its plain file shows it
    EXPECT_EQ(record_without_sleeping(other.path + "/measured.snap", other.path).exit_code, -SIGSYS);
  }
  for (const Case& c : cases) {
    testutil::RunResult r = record_without_sleeping(at(c.name), home.path);
    EXPECT_EQ(r.exit_code, 1) << c.name << (r.exit_code == -SIGSYS ? ": refused only after measuring" : "");
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, write_refusal(at(c.name), c.reason)) << c.name;
  }
  for (const auto& [path, type] : before) EXPECT_EQ(type_of(path), type) << path;
  EXPECT_EQ(testutil::read_file(at("kept.snap")), "kept");
  u64 now = 0;
  for (auto it = std::filesystem::directory_iterator(home.path); it != std::filesystem::directory_iterator(); ++it) {
    ++now;
  }
  EXPECT_EQ(now, before.size()) << "a refused record leaves nothing behind";
  close(sock);
}

// A snapshot under a UTF-8 name is recorded private (0600) and replayed; recording over an existing file keeps
// that file's mode, and a link is written through to its target.
TEST(SnapModes, RecordKeepsModesAndTakesUtf8Names) {
  testutil::TempDir home;
  const std::string accented = home.path + "/caf\xc3\xa9 m\xc3\xa9moire.snap";
  testutil::RunResult r = testutil::run_vimbrel("--record '" + accented + "'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  struct stat st {};
  ASSERT_EQ(stat(accented.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  r = testutil::run_vimbrel("--print --replay '" + accented + "'", home.path);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_this_machine(r.out);

  const std::string shared = home.path + "/shared.snap";
  testutil::write_file(shared, "old");
  ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
  ASSERT_EQ(symlink("shared.snap", (home.path + "/latest.snap").c_str()), 0);
  r = testutil::run_vimbrel("--record '" + home.path + "/latest.snap'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(testutil::read_file(shared).rfind("vimbrel-snap 5 ", 0), 0u);
  EXPECT_EQ(type_of(home.path + "/latest.snap"), static_cast<mode_t>(S_IFLNK));
}

// A record killed while it measures leaves the old file as it was and nothing beside it.
TEST(SnapModes, RecordKilledLeavesNothingBehind) {
  testutil::TempDir home;
  const std::string folder = home.path + "/snaps";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string file = folder + "/keep.snap";
  testutil::write_file(file, "old pair");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("XDG_RUNTIME_DIR", (home.path + "/run").c_str(), 1);
    execl(VIMBREL_EXE, VIMBREL_EXE, "--record", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(snap::pair_ms * 1000 / 2);  // inside the pause between the two samples, after the file was begun
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(testutil::read_file(file), "old pair");
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(folder)) left.push_back(e.path().filename());
  // Where the file system has no unnamed temporary files a named one may stay; the next record removes it once it
  // is a minute old (the file layer's tests show that).
  if (left.size() != 1) GTEST_SKIP() << "this file system keeps named temporary files";
  EXPECT_EQ(left[0], "keep.snap");
}

// A report that does not reach standard output is no success: a full disk, a closed descriptor or a pipe whose
// reader has gone end the mode with exit code 1 and the reason on standard error.
TEST(SnapModes, AFailedStandardOutputEndsTheModeWith1) {
  testutil::TempDir home;
  const std::string kept = VIMBREL_FIXTURES "/sampling/snap/pair.snap";
  const std::string replay = "--print --replay '" + kept + "'";
  const std::string told = "vimbrel: cannot write the report to standard output: ";
  testutil::RunResult r = testutil::run_vimbrel_to(replay, home.path, ">/dev/full");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, told + "no space\n");
  r = testutil::run_vimbrel_to(replay, home.path, ">&-");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, told + "bad handle\n");
  r = testutil::run_vimbrel_to("--print", home.path, ">/dev/full");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, told + "no space\n");

  // A pipe whose reading end is closed before the program starts.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const std::string err_path = home.path + "/err";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    FILE* err = freopen(err_path.c_str(), "w", stderr);
    if (!err) _exit(126);
    setenv("XDG_RUNTIME_DIR", (home.path + "/run").c_str(), 1);
    execl(VIMBREL_EXE, VIMBREL_EXE, "--print", "--replay", kept.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(testutil::read_file(err_path), told + "reset\n");
}

}  // namespace
