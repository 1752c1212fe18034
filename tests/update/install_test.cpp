// Install, rollback, revert, restore and leftover removal on a program file in a temporary folder. Refusals come
// from the test builds' fault seam (VIMBREL_TEST_FAULTS), since the tests run as root where permissions refuse
// nothing; a copy in use as a running program is a real running process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "platform/fs.h"

#include "release.h"

namespace {

using release::bytes;
using release::exists;
using release::FileId;
using release::id_of;

// A program with a verified release staged beside it as "<exe>.new" and "<exe>.new.sig".
struct Staged {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  harness::EnvVar faults{"VIMBREL_TEST_FAULTS", std::nullopt};
  release::KeyPair key;
  update::Config config = update::make_config(mem::lit("0.1.81"));
  update::Paths paths;
  std::string program, fresh_body = "#!/bin/sh\necho new\n";
  u8 digest[32];
  update::Version manifest{0, 1, 82, -1}, running{0, 1, 81, -1};
  FileId original;

  Staged() {
    setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
    program = dir.path + "/prog";
    testutil::write_file(program, "#!/bin/sh\necho old\n");
    chmod(program.c_str(), 0755);
    stage(fresh_body, key);
    memcpy(config.public_key, key.pk, 32);
    config.has_key = 1;
    original = id_of(program);
    update::paths_for(bytes(program), &paths);
  }
  void stage(const std::string& body, const release::KeyPair& signer) {
    testutil::write_file(program + ".new", body);
    chmod((program + ".new").c_str(), 0755);
    testutil::write_file(program + ".new.sig", signer.sign_release("0.1.82", "x86_64", body));
    sha256::sha256(bytes(body), digest);
  }
  u32 install() { return update::install(&config, &paths, digest, manifest, running); }
  void fault(const std::string& rules) { setenv("VIMBREL_TEST_FAULTS", rules.c_str(), 1); }
};

TEST(Install, PlacesTheReleaseAndParksTheProgram) {
  Staged s;
  EXPECT_EQ(s.install(), u32(update::install_done));
  EXPECT_EQ(testutil::read_file(s.program), s.fresh_body);
  EXPECT_EQ(id_of(s.program + ".old"), s.original);
  EXPECT_FALSE(exists(s.program + ".new"));
  EXPECT_FALSE(exists(s.program + ".new.sig"));
  u8 suffix[16];
  EXPECT_EQ(std::string(reinterpret_cast<char*>(suffix), update::parked_suffix_of(&s.paths, suffix, 16)), ".old");
}

// Each failure names its step and keeps a program in place; only a failed rollback loses the name, and the parked
// copy then restores it.
TEST(Install, FailuresKeepTheProgram) {
  struct Case {
    const char* name;
    u32 result, step, error;
    bool program_is_original;
  };
  std::string old_names;
  for (int n = 0; n <= 8; n++) old_names += "delete:/prog.old" + (n ? "-" + std::to_string(n) : "") + ":1;";
  const Case cases[] = {
      {"no parking name", update::install_intact, update::step_park, 1, true},
      {"place fails", update::install_intact, update::step_place, 13, true},
      {"place fails with every rename refused", update::install_intact, update::step_place, 13, true},
      {"release changed", update::verdict_digest, update::step_verify, 0, true},
      {"another signer", update::verdict_other_signer, update::step_verify, 0, true},
      {"unsigned", update::verdict_not_signed, update::step_verify, 0, true},
      {"nothing staged", update::install_no_new, update::step_open, 2, true},
      {"program missing", update::install_missing, update::step_rollback, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Staged s;
    std::string name = c.name;
    if (name == "no parking name") {
      for (int n = 0; n <= 8; n++)
        testutil::write_file(s.program + ".old" + (n ? "-" + std::to_string(n) : ""), "parked");
      s.fault(old_names);
    } else if (name == "place fails") {
      s.fault("rename_open:/prog:13");
    } else if (name == "place fails with every rename refused") {
      s.fault("rename_open:/prog:13;rename:/prog:5");
    } else if (name == "release changed") {
      testutil::write_file(s.program + ".new", s.fresh_body + "#");
    } else if (name == "another signer") {
      s.stage(s.fresh_body, release::KeyPair());
    } else if (name == "unsigned") {
      unlink((s.program + ".new.sig").c_str());
    } else if (name == "nothing staged") {
      unlink((s.program + ".new").c_str());
    } else if (name == "program missing") {
      rename(s.program.c_str(), (s.program + ".elsewhere").c_str());
    }
    EXPECT_EQ(s.install(), c.result);
    EXPECT_EQ(s.paths.step, c.step);
    EXPECT_EQ(s.paths.error, c.error);
    if (c.program_is_original) {
      EXPECT_EQ(id_of(s.program), s.original);
    } else {
      EXPECT_FALSE(exists(s.program));
    }
    if (c.step == update::step_verify) {
      EXPECT_FALSE(exists(s.program + ".new"));  // a release that fails its check is not kept
    }
    if (c.step == update::step_place) {
      EXPECT_FALSE(exists(s.program + ".old"));  // the parked second name went with the failed place
      EXPECT_TRUE(exists(s.program + ".new"));
    }
  }
}

// What the program path holds after a swap that was cut off just before one of its steps (a kill -9 or a power cut
// there): whatever the step, a program that starts. The swap runs in a child that the test build's kill seam ends.
std::string run_program(const std::string& path) {
  FILE* p = popen(("'" + path + "' 2>&1").c_str(), "r");
  if (!p) return "";
  char line[64] = {};
  std::string out = fgets(line, sizeof line, p) ? line : "";
  pclose(p);
  return out;
}

bool killed_at(const std::string& rule, const std::function<void()>& swap) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!rule.empty()) setenv("VIMBREL_TEST_KILL", (rule + ":kill").c_str(), 1);
    swap();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(Install, AProgramStartsAtItsPathWhereverTheSwapIsCut) {
  struct Case {
    const char* before;  // the operation the swap is cut before: "operation:path end", or none
    const char* runs;
  } cases[] = {
      {"link:/prog.old", "old\n"},
      {"rename_open:/prog", "old\n"},
      {"delete:/prog.new.sig", "new\n"},
      {"", "new\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    Staged s;
    EXPECT_EQ(killed_at(c.before, [&] { s.install(); }), c.before[0] != 0);
    EXPECT_EQ(run_program(s.program), c.runs);
  }
}

// The agent's swap keeps the previous program beside the new one: the same, cut before each of its steps.
TEST(Install, TheAgentsSwapLeavesAProgramThatStartsWhereverItIsCut) {
  struct Case {
    const char* before;
    const char* runs;
    bool backup;  // the previous program is kept as the backup
  } cases[] = {
      {"unlink:/app.prev", "v1\n", false},
      {"link:/app.prev", "v1\n", false},
      {"rename:/app", "v1\n", true},
      {"", "v2\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    testutil::TempDir dir;
    const std::string app = dir.path + "/app";
    testutil::write_file(app, "#!/bin/sh\necho v1\n");
    testutil::write_file(app + ".new", "#!/bin/sh\necho v2\n");
    testutil::write_file(app + ".prev", "#!/bin/sh\necho v0\n");  // an earlier update's, not yet confirmed away
    chmod(app.c_str(), 0755);
    chmod((app + ".new").c_str(), 0755);
    EXPECT_EQ(killed_at(c.before, [&] { fs::swap_in(bytes(app + ".new"), bytes(app), bytes(app + ".prev")); }),
              c.before[0] != 0);
    EXPECT_EQ(run_program(app), c.runs);
    if (c.backup) {
      EXPECT_EQ(testutil::read_file(app + ".prev"), "#!/bin/sh\necho v1\n");
    }
  }
}

TEST(Install, ACopyRunningFromTheParkedNameKeepsItsFile) {
  Staged s;
  std::filesystem::copy_file("/bin/sleep", s.program + ".old");
  chmod((s.program + ".old").c_str(), 0755);
  FileId running_copy = id_of(s.program + ".old");
  pid_t pid = fork();
  if (pid == 0) {
    execl((s.program + ".old").c_str(), "sleep", "30", nullptr);
    _exit(127);
  }
  for (int i = 0; i < 200; i++) {  // until the child runs from the file
    struct stat image{};
    if (stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &image) == 0 && image.st_ino == running_copy.ino) break;
    usleep(5000);
  }
  EXPECT_EQ(s.install(), u32(update::install_done));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(id_of(s.program + ".old-1"), running_copy);  // moved aside, not deleted under the running copy
  EXPECT_EQ(id_of(s.program + ".old"), s.original);
  EXPECT_EQ(testutil::read_file(s.program), s.fresh_body);
}

TEST(Install, RevertRestoreAndLeftovers) {
  // A revert with no parked copy of the recorded program leaves the new version in place.
  {
    Staged s;
    ASSERT_EQ(s.install(), u32(update::install_done));
    update::Result r;
    update::reset_result(&r);
    update::paths_for(bytes(s.program), &r.paths);  // identity of the new program: nothing parked has it
    r.state = update::state_swapped;
    update::revert_swap(&s.config, &r);
    EXPECT_EQ(r.state, u32(update::state_failed));
    EXPECT_EQ(r.reason, u32(update::reason_revert));
    EXPECT_EQ(r.paths.step, u32(update::step_undo));
    EXPECT_EQ(testutil::read_file(s.program), s.fresh_body);
  }
  // Leftover removal with the program missing deletes nothing and says so.
  {
    Staged s;
    testutil::write_file(s.program + ".download", "partial");
    rename(s.program.c_str(), (s.program + ".old").c_str());
    update::Result r;
    update::reset_result(&r);
    r.paths = s.paths;
    update::clean_leftovers(&s.config, &r);
    EXPECT_EQ(r.state, u32(update::state_failed));
    EXPECT_EQ(r.reason, u32(update::reason_program_missing));
    EXPECT_EQ(r.paths.step, u32(update::step_rollback));
    EXPECT_EQ(r.paths.error, 2u);
    EXPECT_TRUE(exists(s.program + ".download"));
    EXPECT_TRUE(exists(s.program + ".new"));
    // The controller restores the program from the parked copy with its identity.
    update::restore_program(&s.config, &r);
    EXPECT_EQ(r.state, u32(update::state_put_back));
    EXPECT_EQ(id_of(s.program), s.original);
  }
}

// The lock taken by one process refuses every other until it ends; the leftovers then go.
TEST(Install, LeftoversWaitForTheUpdateLock) {
  Staged s;
  const char* names[] = {".old", ".old-3", ".download", ".latest"};
  for (const char* n : names) testutil::write_file(s.program + n, "x");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    u64 h = 0;
    char ok = update::lock(&s.config, &s.paths, &h) ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  update::Result r;
  update::reset_result(&r);
  r.paths = s.paths;
  update::clean_leftovers(&s.config, &r);
  for (const char* n : names) EXPECT_TRUE(exists(s.program + n)) << n;
  r.state = update::state_swapped;
  update::revert_swap(&s.config, &r);
  EXPECT_EQ(r.reason, u32(update::reason_locked));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  update::reset_result(&r);
  r.paths = s.paths;
  update::clean_leftovers(&s.config, &r);
  for (const char* n : names) EXPECT_FALSE(exists(s.program + n)) << n;
  EXPECT_FALSE(exists(s.program + ".new"));
  EXPECT_EQ(id_of(s.program), s.original);
  close(ready[0]);
  close(ready[1]);
}

TEST(Report, ConfigurationAndPreparation) {
  testutil::TempDir dir;
  update::Config good = update::make_config(mem::lit("0.1.81"));
  EXPECT_EQ(update::check_config(&good), 1u);
  update::Result r;
  struct Case {
    const char* name;
    u32 reason;
  };
  const Case cases[] = {{"beta without manifest version", 1}, {"bad version text", 1}, {"relative path", 2},
                        {"a drive path, not one of this system", 2}, {"long path", 2}, {"no version", 4},
                        {"good", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    update::Config config = good;
    std::string name = c.name, program = dir.path + "/prog";
    if (name == "beta without manifest version") config.flags = update::flag_beta;
    if (name == "bad version text") config.version_text = mem::lit("0.1");
    if (name == "relative path") program = "prog";
    if (name == "a drive path, not one of this system") program = "C:\\Vimbrel\\vimbrel.exe";
    if (name == "long path") program = "/" + std::string(1083, 'a');
    if (name == "no version") config.version_text = mem::Bytes();
    update::reset_result(&r);
    update::prepare_for_path(&config, bytes(program), &r);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.state, c.reason ? 7u : 0u);
  }
  EXPECT_FALSE(update::check_age_due(true, false, true, 86399999));
  EXPECT_TRUE(update::check_age_due(true, false, true, 86400000));
  EXPECT_TRUE(update::check_age_due(true, false, false, 0));
  EXPECT_FALSE(update::check_age_due(true, true, false, 0));
  EXPECT_FALSE(update::check_age_due(false, false, false, 0));
}

}  // namespace
