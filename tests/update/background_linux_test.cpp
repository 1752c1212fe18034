// The background copy on Linux: the copy's names, the log-on entry's file, the window's side under --test and at
// the first start, and the end of a child whose output pipe outlives it (the rules that hold on every system are in
// background_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "update/background.h"
#include "update/runkey.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string text(const u8* p, u64 n) { return std::string(reinterpret_cast<const char*>(p), n); }

// A child can end while something it started still holds its output pipe: a process cut off from the child's group,
// or one stuck in the kernel on a share that stopped answering. Reaping or stopping the child takes what it wrote and
// goes on; it does not wait for the pipe's last writer. Should it wait, the watchdog ends the straggler after a
// minute and the test fails.
TEST(BackgroundChild, EndsAlthoughSomethingElseStillHoldsItsOutput) {
  for (bool reap : {true, false}) {
    testutil::TempDir dir;
    const std::string pid_file = dir.path + "/straggler";
    const std::string args = "-c \"setsid sleep 1000 & echo $! > '" + pid_file + "'; echo last words; exit 3\"";
    auto s = std::make_unique<background::State>();
    background::Slot* slot = &s->slot[1];
    ASSERT_TRUE(proc::start_piped(&slot->child, mem::lit("/bin/sh"), bytes(args)));
    slot->state = background::slot_started;
    for (int i = 0; i < 600 && proc::piped_running(&slot->child); ++i) usleep(100000);
    ASSERT_FALSE(proc::piped_running(&slot->child));

    std::atomic<bool> done{false}, hung{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 600 && !done; ++i) usleep(100000);
      if (done) return;
      hung = true;
      kill(static_cast<pid_t>(std::stol("0" + testutil::read_file(pid_file))), SIGKILL);
    });
    if (reap) {
      background::reap_child(s.get(), 1, 0);
    } else {
      background::stop_child(s.get(), 1);
    }
    done = true;
    watchdog.join();
    const std::string straggler = testutil::read_file(pid_file);
    if (!hung && !straggler.empty()) kill(static_cast<pid_t>(std::stol(straggler)), SIGKILL);

    EXPECT_FALSE(hung) << (reap ? "reap" : "stop");
    EXPECT_EQ(slot->exit_code, 3u);
    EXPECT_EQ(text(slot->line.last, slot->line.last_length), "last words");
    EXPECT_EQ(slot->child.output, 0u) << "the pipe is closed";
  }
}

TEST(BackgroundPaths, NamesTheCopyAndItsObjects) {
  EXPECT_EQ(taskmgr::folder_hash(bytes("no separator")), 0x811C9DC5u);
  EXPECT_EQ(taskmgr::folder_hash(bytes("/home/U/.local/share/Vimbrel/bin/vimbrel")), 0xcb36a720u);
  EXPECT_EQ(taskmgr::folder_hash(bytes("C:\\A\\b.exe")), taskmgr::folder_hash(bytes("c:\\a\\other")));
  background::Paths p;
  ASSERT_TRUE(background::paths(&p, bytes("/home/u/.local/share/")));
  EXPECT_EQ(text(p.copy.text, p.copy.length), "/home/u/.local/share/Vimbrel/bin/vimbrel");
  EXPECT_EQ(text(p.settings.text, p.settings.length), "/home/u/.local/share/Vimbrel/background.txt");
  EXPECT_EQ(text(p.status.text, p.status.length), "/home/u/.local/share/Vimbrel/background.status");
  EXPECT_EQ(text(p.mutex_name, p.mutex_length), "Local\\Vimbrel-background-cb36a720");
  EXPECT_EQ(text(p.wake_name, p.wake_length), "Local\\Vimbrel-background-wake-cb36a720");
  EXPECT_FALSE(background::paths(&p, bytes("/" + std::string(1010, 'd'))));
  u8 hex[8];
  background::hex8(0x0000ABCD, hex);
  EXPECT_EQ(text(hex, 8), "0000abcd");
  u8 run[512];
  EXPECT_EQ(text(run, background::run_command(bytes("/d/bin/vimbrel"), mem::Slice{run, sizeof run})),
            "\"/d/bin/vimbrel\" --background");
  EXPECT_EQ(background::run_command(bytes(std::string(497, 'a')), mem::Slice{run, sizeof run}), 0u);
}

struct Folders {
  testutil::TempDir dir;
  harness::EnvVar config{"XDG_CONFIG_HOME", std::nullopt};
  harness::EnvVar data{"XDG_DATA_HOME", std::nullopt};
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  Folders() {
    setenv("XDG_CONFIG_HOME", (dir.path + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir.path + "/run").c_str(), 1);
  }
};

TEST(RunEntry, WritesReadsAndRemovesTheAutostartEntry) {
  Folders f;
  const std::string data = "\"/home/u/My $Apps/100%\\bin/vimbrel\" --background";
  ASSERT_TRUE(runkey::write(mem::lit("Vimbrel"), bytes(data)));
  std::string file = f.dir.path + "/config/autostart/vimbrel.desktop";
  std::string entry = testutil::read_file(file);
  EXPECT_NE(entry.find("\nExec=\"/home/u/My \\\\$Apps/100%%\\\\\\\\bin/vimbrel\" \"--background\"\n"),
            std::string::npos)
      << entry;
  EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\n"), std::string::npos);
  u8 out[512];
  EXPECT_EQ(text(out, runkey::read(mem::lit("Vimbrel"), out)), data);

  testutil::write_file(file, entry + "Hidden=true\n");
  EXPECT_EQ(runkey::read(mem::lit("Vimbrel"), out), 0u);
  EXPECT_TRUE(runkey::remove(mem::lit("Vimbrel")));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(runkey::remove(mem::lit("Vimbrel")));
  EXPECT_EQ(runkey::read(mem::lit("Vimbrel"), out), 0u);

  EXPECT_FALSE(runkey::write(mem::lit("Vimbrel"), bytes("\"/a\nb\" --background")));
  EXPECT_FALSE(runkey::write(mem::lit("../x"), bytes(data)));
  // A folder where the entry should be cannot be removed as an entry: that is a failure, not "gone".
  std::filesystem::create_directories(file);
  EXPECT_FALSE(runkey::remove(mem::lit("Vimbrel")));
}

TEST(BackgroundControl, UnderTestUsesTheTestFilesOnly) {
  Folders f;
  std::string base = f.dir.path + "/settings.txt";
  background::Control c;
  background::start_at_launch(&c, mem::lit("/nowhere/vimbrel"), bytes(base), background::mode_test);
  EXPECT_EQ(c.roles, 0);
  EXPECT_FALSE(c.run_present);
  u8 line[160];
  auto settings_line = [&] { return text(line, background::settings_text(&c, mem::Slice{line, sizeof line})); };
  EXPECT_EQ(settings_line(),
            "Allow TCP 7420 and UDP 7421 in the firewall if it filters them; Vimbrel never changes firewall rules.");

  background::toggle_role(&c, 0);
  background::toggle_role(&c, 1);
  EXPECT_EQ(c.roles, 3);
  EXPECT_TRUE(background::agent_on(&c));
  EXPECT_EQ(testutil::read_file(base + ".background"), "vimbrel-background 1\nhost on\nagent on\n");
  EXPECT_EQ(settings_line(), "Host: Not started under --test.   Publishing: Not started under --test.");
  background::toggle_role(&c, 0);
  background::toggle_role(&c, 0);
  EXPECT_EQ(c.roles, 3);

  background::set_run_entry(&c);
  EXPECT_TRUE(c.run_present);
  EXPECT_EQ(testutil::read_file(base + ".runkey"), "\"C:\\Vimbrel\\bin\\vimbrel.exe\" --background");
  background::start_at_launch(&c, mem::Bytes(), bytes(base), background::mode_test);
  EXPECT_TRUE(c.run_present);
  EXPECT_EQ(c.roles, 3);
  background::set_run_entry(&c);
  EXPECT_EQ(testutil::read_file(base + ".runkey"), "none");
  background::start_at_launch(&c, mem::Bytes(), bytes(base), background::mode_test);
  EXPECT_FALSE(c.run_present);
  EXPECT_FALSE(background::refresh(&c, true));
  // Nothing of the real copy was touched.
  EXPECT_FALSE(std::filesystem::exists(f.dir.path + "/data"));
  EXPECT_FALSE(std::filesystem::exists(f.dir.path + "/config/autostart"));
}

TEST(BackgroundControl, WordsTheSettingsLine) {
  background::Control c{};
  u8 line[160];
  auto settings_line = [&] { return text(line, background::settings_text(&c, mem::Slice{line, sizeof line})); };
  c.roles = 3;
  c.copy_running = 1;
  const char status[] = "Started.\n\n";
  memcpy(c.status, status, sizeof status - 1);
  c.status_length = sizeof status - 1;
  EXPECT_EQ(settings_line(), "Host: Started.   Publishing: Starting.");
  c.roles = 2;
  EXPECT_EQ(settings_line(), "Publishing: Starting.");
  c.errors = background::error_start;
  EXPECT_EQ(settings_line(), "Publishing: Could not start the background copy.");
  c.errors = background::error_run_entry;
  EXPECT_EQ(settings_line(), "The Run entry could not be written.");
  c.errors = 0;
  c.roles = 0;
  c.port = 7500;
  EXPECT_EQ(settings_line(),
            "Allow TCP 7500 and UDP 7421 in the firewall if it filters them; Vimbrel never changes firewall rules.");
  c.errors = background::error_run_entry;
  c.errors = background::error_run_entry | background::error_settings;
  EXPECT_EQ(settings_line(), "The background settings file could not be saved.");
}

TEST(BackgroundControl, TellsThePublisherWhetherThisMachineMayHost) {
  Folders f;
  harness::EnvVar beacon{"VIMBREL_BEACON", std::nullopt};
  cluster::PublishSettings p;
  cluster::publish_reset(&p);
  p.publish = 1;
  cluster::set_target(&p, mem::lit("/mnt/share"));
  EXPECT_EQ(background::read_host_flag(), 0u);
  EXPECT_EQ(background::prefer_own_host(&p).beacon_port, 0);
  std::filesystem::create_directories(f.dir.path + "/data/Vimbrel");
  testutil::write_file(f.dir.path + "/data/Vimbrel/background.txt", "vimbrel-background 1\nhost on\n");
  EXPECT_EQ(background::read_host_flag(), 1u);
  EXPECT_EQ(background::prefer_own_host(&p).beacon_port, 7421);
  setenv("VIMBREL_BEACON", "10.1.1.1:7500", 1);
  cluster::PublishSettings q = background::prefer_own_host(&p);
  EXPECT_EQ(q.beacon_port, 7500);
}

TEST(BackgroundControl, TurnsTheHostRoleOnAtFirstStartOnlyForAShare) {
  struct Case {
    const char* name;
    std::string publish;
    bool saved;
  } cases[] = {
      {"share", "vimbrel-publish 1\npublish on\ntarget /mnt/share\n", true},
      {"publishing off", "vimbrel-publish 1\npublish off\ntarget /mnt/share\n", false},
      {"server", "vimbrel-publish 1\npublish on\ntarget 10.0.0.1\n", false},
  };
  for (const Case& c : cases) {
    Folders f;
    std::filesystem::create_directories(f.dir.path + "/config/Vimbrel");
    testutil::write_file(f.dir.path + "/config/Vimbrel/publish.txt", c.publish);
    background::Control control;
    // No program to copy: the copy cannot be installed, so nothing is started whatever the roles say.
    background::start_at_launch(&control, mem::lit("/nonexistent/vimbrel"), mem::Bytes(), background::mode_normal);
    std::string file = f.dir.path + "/data/Vimbrel/background.txt";
    EXPECT_EQ(std::filesystem::exists(file), c.saved) << c.name;
    EXPECT_EQ(control.roles, c.saved ? 1 : 0) << c.name;
  }
}

}  // namespace
