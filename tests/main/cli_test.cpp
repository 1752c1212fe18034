// The built executable against good and bad command lines: exit code and both output streams, byte for byte.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "main/main.h"
#include "tests/support/testutil.h"

namespace {

const std::string usage_line =
    "usage: vimbrel [--version | --as-taskmgr [ignored...] | --replace-taskmgr on|off|takeover [--test] | [--gdi] "
    "[--view <row>] [--unattended [--minimized]] [--test <font folder> [--live [--feed] | --short-ring | "
    "--empty-ring | --full-ring] [--no-gpu | --compute] [--integrated] [--long-notes] [--churn] [--tops] "
    "[--longest-name] [--as-shipped] [--taskmgr] [--settings <file>] [--support <file>] [--dpi <96|120|144|192>]] "
    "| --print [--replay <file>] | --record <file> | --mcp | --internet-check | --host <share or folder> [--port "
    "<port>] [--listen <ipv4>] [--refuse-if-live] [--force-share] [--web] | --elect <share or folder> [--port "
    "<port>] [--listen <ipv4>] [--priority <1-255>] [--force-share] | --agent [--server <ipv4>[:<port>] | --share "
    "<share or folder> [--local <ipv4>[:<port>]]] | --background]\n";

TEST(Usage, TextIsOneLineOf800Bytes) {
  mem::Bytes text = main::usage_text();
  EXPECT_EQ(text.len, 800u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.ptr), text.len) + "\n", usage_line);
}

struct Line {
  const char* args;  // as a shell would read them
  const char* mode;  // the entry it reaches
};

TEST(CommandLine, GoodLinesReachTheirMode) {
  const Line lines[] = {
      {"", "the window"},
      {"--gdi --gdi", "the window"},
      {"--view 32", "the window"},
      {"--view 999 --dpi 192 --unattended --minimized", "the window"},
      {"--as-taskmgr", "the window"},
      {"--as-taskmgr --dpi 100 anything", "the window"},
  };
  // The cluster modes gather their files first (publish.txt gains a machine id), so they run in a folder of their own.
  // The window is built: with no display it says that it cannot be made and ends with 3 (the window under --test
  // is driven by the window's own end-to-end tests).
  testutil::TempDir home;
  const char* display = getenv("DISPLAY");
  const std::string saved_display = display ? display : "";
  unsetenv("DISPLAY");
  for (const Line& l : lines) {
    testutil::RunResult r = testutil::run_vimbrel(l.args, home.path);
    EXPECT_EQ(r.exit_code, 3) << l.args;
    EXPECT_EQ(r.out, "") << l.args;
    EXPECT_EQ(r.err, "vimbrel: the window cannot be made: there is no display (DISPLAY is not set)\n") << l.args;
  }
  if (display) setenv("DISPLAY", saved_display.c_str(), 1);
  // The self-update's trial and revert modes are built: they work on the program path they are given. A trial
  // needs the previous program beside it: without one nothing is on trial, and no count is kept.
  testutil::write_file(home.path + "/p", "program");
  testutil::RunResult none = testutil::run_vimbrel("--agent-trial " + home.path + "/p", home.path);
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_EQ(none.out, "vimbrel agent: nothing is on trial: there is no previous program beside this one\n");
  EXPECT_FALSE(std::filesystem::exists(home.path + "/p.trial"));
  testutil::write_file(home.path + "/p.prev", "previous");
  testutil::RunResult trial = testutil::run_vimbrel("--agent-trial " + home.path + "/p", home.path);
  EXPECT_EQ(trial.exit_code, 0);
  EXPECT_EQ(trial.out, "vimbrel agent: the update is on trial, start 1 of 3 before the previous binary comes back\n");
  std::filesystem::remove(home.path + "/p.prev");
  testutil::RunResult revert = testutil::run_vimbrel("--agent-revert " + home.path + "/p", home.path);
  EXPECT_EQ(revert.exit_code, 1);
  EXPECT_EQ(revert.out, "vimbrel agent: cannot put the previous binary back\n");
  // The release-notes child is built: with no saved manifest beside the program it ends with 1 and says why.
  testutil::RunResult notes = testutil::run_vimbrel("--update-notes", home.path);
  EXPECT_EQ(notes.exit_code, 1);
  EXPECT_EQ(notes.out, "");
  EXPECT_EQ(notes.err,
            "vimbrel: --update-notes: there is no saved update manifest beside the program; an update check writes "
            "one\n");
  // The background copy is built: with no role chosen it has nothing to run and ends at once.
  testutil::RunResult copy = testutil::run_vimbrel("--background", home.path);
  EXPECT_EQ(copy.exit_code, 0);
  EXPECT_EQ(copy.out + copy.err, "");
  // The MCP server is built: with no input it answers nothing and ends with 0.
  testutil::RunResult mcp = testutil::run_vimbrel("--mcp", home.path);
  EXPECT_EQ(mcp.exit_code, 0);
  EXPECT_EQ(mcp.out + mcp.err, "");
  // The update worker is built: it reports only through its exit word (whose low byte is 0 for these reports) and
  // writes nothing. Its feed is pointed at a closed loopback port, so no test reaches the real update server.
  setenv("VIMBREL_TEST_UPDATE_FEED", "http://127.0.0.1:1/downloads/vimbrel/linux/x86_64/latest.txt", 1);
  setenv("VIMBREL_TEST_UPDATE_FLAGS", "5", 1);
  testutil::RunResult w = testutil::run_vimbrel("--vimb-update check");
  EXPECT_EQ(w.exit_code, 0);
  EXPECT_EQ(w.out + w.err, "");
  // The Linux build fetch is built: it too reports only through its exit code (3: no checksum list reached), given
  // a release key to check with (a test build has none of its own).
  setenv("VIMBREL_TEST_UPDATE_KEY", std::string(64, '1').c_str(), 1);
  testutil::RunResult f = testutil::run_vimbrel("--linux-fetch x86_64", home.path);
  EXPECT_EQ(f.exit_code, 3);
  EXPECT_EQ(f.out + f.err, "");
  // A hidden child form with a word it does not know is a usage error, not a run of nothing.
  for (const char* line : {"--vimb-update later", "--linux-fetch arm"}) {
    testutil::RunResult u = testutil::run_vimbrel(line, home.path);
    EXPECT_EQ(u.exit_code, 2) << line;
    EXPECT_EQ((u.out + u.err).rfind("usage: vimbrel ", 0), 0u) << line;
  }
  unsetenv("VIMBREL_TEST_UPDATE_KEY");
  unsetenv("VIMBREL_TEST_UPDATE_FEED");
  unsetenv("VIMBREL_TEST_UPDATE_FLAGS");
  // The probe's modes are built: a request child without its section ends with 3; the check, pointed at a closed
  // loopback port so that no test asks the real service, prints its three lines and ends with 1.
  testutil::RunResult child = testutil::run_vimbrel("--internet x", home.path);
  EXPECT_EQ(child.exit_code, 3);
  EXPECT_EQ(child.out + child.err, "");
  setenv("VIMBREL_TEST_INTERNET", "127.0.0.1:1", 1);
  testutil::RunResult check = testutil::run_vimbrel("--internet-check", home.path);
  unsetenv("VIMBREL_TEST_INTERNET");
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_EQ(check.out.rfind("probe No connection to Cloudflare, latency 0.0 ms\ndownload ", 0), 0u) << check.out;
  // The agent is built: without a key file each form ends at its first check.
  for (const char* args : {"--agent", "--agent --server 10.0.0.5", "--agent --share /mnt/vimbrel",
                           "--agent --share '\\\\srv\\share' --local 10.0.0.2:7000"}) {
    testutil::RunResult r = testutil::run_vimbrel(args, home.path);
    EXPECT_EQ(r.exit_code, 2) << args;
    EXPECT_EQ(r.out, "vimbrel agent: no cluster key file\n") << args;
    EXPECT_EQ(r.err, "") << args;
  }
  // The collector child is built: a section name it cannot open ends it with code 3 and no words.
  testutil::RunResult r = testutil::run_vimbrel("--collector 'Local\\Vimbrel-feed-00'");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out + r.err, "");
}

// Values the modes answer themselves, before anything else: a host or candidate without a share says so and ends
// with 4. A share path longer than any share can have is a usage error; one that is not ASCII, which the share
// layer cannot hold, is refused with that reason before any folder is made.
TEST(CommandLine, ModesJudgeTheirOwnValuesFirst) {
  struct Case {
    std::string args;
    int exit_code;
    std::string out;
  };
  const std::string long_share(161, 's');
  const std::string not_ascii = "vimbrel host: the share or folder path must be ASCII\n";
  testutil::TempDir home, untouched;  // the cluster modes gather their files first; refused paths gather nothing
  const Case cases[] = {
      {"--host ''", 4, "vimbrel host: no share or folder\n"},
      {"--elect '' --priority 3", 4, "vimbrel host: no share or folder\n"},
      {"--host /" + long_share, 2, usage_line},
      {"--elect /" + long_share, 2, usage_line},
      {"--host '" + untouched.path + "/caf\xc3\xa9'", 2, not_ascii},
      {"--host '" + untouched.path + "/caf\xc3\xa9/sub' --port 17420", 2, not_ascii},
      {"--elect '" + untouched.path + "/s\xff' --priority 3", 2, not_ascii},
  };
  for (const Case& c : cases) {
    testutil::RunResult r = testutil::run_vimbrel(c.args, c.exit_code == 2 ? untouched.path : home.path);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
    EXPECT_EQ(r.err, "") << c.args;
  }
  // Nothing was made for the refused paths: no share folder, no settings folder with a new machine id.
  EXPECT_TRUE(std::filesystem::is_empty(untouched.path));
}

TEST(CommandLine, BadLinesPrintTheUsageAndEndWith2) {
  const char* lines[] = {
      "--version x",
      "--nothing",
      "'--caf\xc3\xa9'",
      "--dpi 100",
      "--dpi",
      "--view",
      "--gdi --test",
      "--test ''",  // an empty folder, settings or support file would read as not given
      "--settings ''",
      "--support ''",
      "--collector",
      "--internet-check x",
      "--background x",
      "--host",
      "--host s --port 1 --port 2",
      "--host s --port 0",
      "--host s --port 65536",
      "--host s --port 65534 --web",
      "--host s --port 65535 --web",
      "--host s --listen 10.0.0",
      "--host s --listen",
      "--host s --priority 5",
      "--host s --web --web",
      "--elect",
      "--elect s --priority 0",
      "--elect s --priority 256",
      "--elect s --web",
      "--elect s --port",
      "--elect s --listen 1.2.3.4:5",
      "--agent x",
      "--agent --server /x",
      "--agent --server",
      "--agent --share 10.0.0.5",
      "--agent --local 10.0.0.5",
      "--agent --share /x --local",
      "--agent --share /x --local /y",
      "--agent --server 10.0.0.1 --local 10.0.0.2",
      "--agent --share /x --server 10.0.0.2",
      "--print x",
      "--print --replay",
      "--print --record f",
      "--print --replay a b",
      "--record",
      "--mcp x",
      "--replace-taskmgr",
      "--replace-taskmgr on x",
      "--replace-taskmgr on --test x",
      // A value the form does not take: no step, no architecture, no mode word.
      "--replace-taskmgr bogus",
      "--replace-taskmgr ''",
      "--replace-taskmgr --test",
      "--replace-taskmgr ON --test",
      "--vimb-update ''",
      "--vimb-update bogus",
      "--vimb-update CHECK",
      "--linux-fetch arm",
      "--linux-fetch ''",
      // An address or port with a leading zero could name another machine (010 is octal 8 to other tools).
      "--host s --listen 010.0.0.1",
      "--host s --listen 127.0.0.01",
      "--host s --port 07420",
      "--elect s --listen 010.0.0.1",
      "--agent --server 010.0.0.5",
      "--agent --server 127.0.0.1:00080",
      "--agent --share /x --local 10.0.0.2:07000",
  };
  testutil::TempDir home;
  for (const char* args : lines) {
    testutil::RunResult r = testutil::run_vimbrel(args, home.path);
    EXPECT_EQ(r.exit_code, 2) << args;
    EXPECT_EQ(r.out, usage_line) << args;
    EXPECT_EQ(r.err, "") << args;
  }
  // A refused line gathers nothing: no settings folder, no publish.txt with a new machine id.
  EXPECT_FALSE(std::filesystem::exists(home.path + "/config"));
}

}  // namespace
