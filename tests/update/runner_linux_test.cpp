// The sandboxed runner on small shell programs: limits of time, processes, output and memory end the whole job,
// output comes back through private files that are gone afterwards, and the version probe reads only a clean
// "vimbrel a.b.c" from a program that ended well.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "update/runner.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

struct Sandbox {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  mem::Arena arena{};
  std::string line;
  Sandbox() {
    setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
    mem::arena_init(&arena, 1 << 20);
  }
  ~Sandbox() { mem::release(&arena); }
  // A request running "/bin/sh -c <script>".
  runner::Request shell(const std::string& script) {
    line = "/bin/sh -c \"" + script + "\"";
    runner::Request r;
    runner::init_request(&r);
    r.application = mem::lit("/bin/sh");
    r.command_line = bytes(line);
    r.wall_ms = 60000;
    return r;
  }
  // The runner's files left in the private runtime folder.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    DIR* d = opendir((dir.path + "/vimbrel").c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
      if (std::string(e->d_name).rfind("vimb-run-", 0) == 0) names.push_back(e->d_name);
    }
    if (d) closedir(d);
    return names;
  }
  std::string script(const std::string& name, const std::string& body) {
    std::string path = dir.path + "/" + name;
    testutil::write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
};

// Whether a process has ended: gone, or a zombie that nobody reaped yet.
bool ended(pid_t pid) {
  std::string stat = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool ends_within(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (ended(pid)) return true;
    usleep(50000);
  }
  return false;
}

TEST(Runner, RunsAProgramAndHandsBackItsOutputAndCode) {
  Sandbox s;
  runner::Request r = s.shell("echo out; echo err >&2; exit 3");
  runner::Result result;
  ASSERT_EQ(runner::run(&r, &s.arena, &result), 0u);
  EXPECT_EQ(result.status, u32(runner::ended));
  EXPECT_EQ(result.exit_code, 3u);
  EXPECT_EQ(text(result.output), "out\n");
  EXPECT_EQ(text(result.error_output), "err\n");
  EXPECT_GE(result.processes, 1u);
  EXPECT_GT(result.peak_memory, 0u);
  EXPECT_TRUE(s.leftovers().empty());
}

TEST(Runner, PassesTheEnvironmentFolderAndInputItIsGiven) {
  Sandbox s;
  testutil::write_file(s.dir.path + "/in.txt", "from a file\n");
  runner::Request r = s.shell("echo $A-$B; pwd; cat");
  const char env[] = "A=1\0B=two\0PATH=/usr/bin:/bin\0";
  r.environment = mem::Bytes(reinterpret_cast<const u8*>(env), sizeof env - 1);
  std::string folder = s.dir.path, input = s.dir.path + "/in.txt";
  r.folder = bytes(folder);
  r.input = bytes(input);
  runner::Result result;
  ASSERT_EQ(runner::run(&r, &s.arena, &result), 0u);
  EXPECT_EQ(text(result.output), "1-two\n" + folder + "\nfrom a file\n");
}

TEST(Runner, HandsTheChildNoDescriptorButTheStandardThree) {
  Sandbox s;
  runner::Request r = s.shell("ls /proc/$$/fd");
  runner::Result result;
  ASSERT_EQ(runner::run(&r, &s.arena, &result), 0u);
  EXPECT_EQ(text(result.output), "0\n1\n2\n");
}

TEST(Runner, WritesBothStreamsIntoOneFileWhenTheyNameTheSame) {
  Sandbox s;
  std::string both = s.dir.path + "/both.txt";
  for (bool merge : {false, true}) {
    runner::Request r = s.shell("echo one; echo two >&2");
    r.output = bytes(both);
    if (merge) {
      r.merge = 1;
    } else {
      r.error_output = bytes(both);
    }
    runner::Result result;
    ASSERT_EQ(runner::run(&r, &s.arena, &result), 0u);
    EXPECT_EQ(testutil::read_file(both), "one\ntwo\n") << merge;
    EXPECT_EQ(result.output.len, 0u);
  }
}

TEST(Runner, RefusesWhatCannotStart) {
  Sandbox s;
  std::string file = s.dir.path + "/plain";
  testutil::write_file(file, "x");
  std::string missing = s.dir.path + "/nothing";
  struct Case {
    const char* name;
    std::string application, folder;
    u32 error;
  } cases[] = {
      {"missing folder", "/bin/sh", missing, fs::not_found},
      {"folder is a file", "/bin/sh", file, fs::not_directory},
      {"missing program", missing, "", fs::not_found},
  };
  for (const Case& c : cases) {
    runner::Request r = s.shell("exit 0");
    r.application = bytes(c.application);
    r.folder = bytes(c.folder);
    runner::Result result;
    EXPECT_EQ(runner::run(&r, &s.arena, &result), c.error) << c.name;
    EXPECT_TRUE(s.leftovers().empty()) << c.name;
  }
}

TEST(Runner, KillsTheWholeJobAtTheWallLimit) {
  Sandbox s;
  // A grandchild in a process group of its own still belongs to the job.
  runner::Request r = s.shell("set -m; sleep 1000 & echo $!; sleep 1000");
  r.wall_ms = 500;
  runner::Result result;
  ASSERT_EQ(runner::run(&r, &s.arena, &result), 0u);
  EXPECT_EQ(result.status, u32(runner::wall_limit));
  EXPECT_EQ(result.exit_code, runner::killed_code);
  EXPECT_GE(result.processes, 2u);
  pid_t grandchild = static_cast<pid_t>(std::stol("0" + text(result.output)));
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(ends_within(grandchild, 30));
  EXPECT_TRUE(s.leftovers().empty());
}

TEST(Runner, StopsAJobAtItsProcessorAndProcessLimits) {
  Sandbox s;
  runner::Request spin = s.shell("while :; do :; done");
  spin.cpu_ms = 300;
  runner::Result result;
  ASSERT_EQ(runner::run(&spin, &s.arena, &result), 0u);
  EXPECT_EQ(result.status, u32(runner::cpu_limit));
  EXPECT_EQ(result.exit_code, runner::killed_code);
  EXPECT_GE(result.user_ms + result.kernel_ms, 300u);

  runner::Request many = s.shell("sleep 1000 & sleep 1000 & sleep 1000 & wait");
  many.process_limit = 2;
  ASSERT_EQ(runner::run(&many, &s.arena, &result), 0u);
  EXPECT_EQ(result.status, u32(runner::process_limit_reached));
  EXPECT_EQ(result.exit_code, runner::killed_code);
}

TEST(Runner, HoldsOutputAndMemoryToTheirLimits) {
  Sandbox s;
  runner::Request flood = s.shell("head -c 1000000 /dev/zero; echo after");
  flood.output_limit = 4096;
  runner::Result result;
  ASSERT_EQ(runner::run(&flood, &s.arena, &result), 0u);
  EXPECT_LE(result.output.len, 4096u);
  EXPECT_EQ(text(result.output).find("after"), std::string::npos);

  runner::Request hog = s.shell("x=$(head -c 200000000 /dev/zero | tr '\\0' a); echo done");
  hog.process_memory = 64 << 20;
  ASSERT_EQ(runner::run(&hog, &s.arena, &result), 0u);
  EXPECT_NE(result.exit_code, 0u);
  EXPECT_EQ(text(result.output), "");
}

TEST(VersionProbe, ReadsOnlyACleanVersionFromAProgramThatEndedWell) {
  Sandbox s;
  struct Case {
    const char* body;
    u32 version;
  } cases[] = {
      {"echo vimbrel 0.1.82\n", 0x000152},
      {"printf 'vimbrel 1.2.3\\r\\n'\n", 0x010203},
      {"echo vimbrel 0.1.82; exit 1\n", 0},
      {"echo vimbrel 0.1.256\n", 0},
      {"echo vimbrel 0.1\n", 0},
      {"echo something 0.1.82\n", 0},
      {"sleep 1000 &\necho vimbrel 0.1.82\n", 0x000152},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string path = s.script("p" + std::to_string(i++), c.body);
    EXPECT_EQ(runner::probe_version(bytes(path)), c.version) << c.body;
  }
  EXPECT_EQ(runner::probe_version(bytes(s.dir.path + "/missing")), 0u);
  EXPECT_TRUE(s.leftovers().empty());
}

}  // namespace
