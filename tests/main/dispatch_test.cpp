// Which mode entry a command line reaches, and with which arguments: main::dispatch runs with recording entries.
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster/agent.h"
#include "main/main.h"
#include "platform/os.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

struct Call {
  std::string entry;
  std::vector<std::string> texts;
  std::vector<u64> numbers;
  std::vector<u8> config;
  bool gathered = false;  // the entry received the cluster files
  std::string key_path, publish_path, id;
  u32 publish_state = 0, id_state = 0;
};

// The recording entries and the argument reader have no context pointer, so they share these two.
Call g_call;
std::vector<std::string> g_args;

std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

mem::Bytes arg_at(u64 i) {
  if (i >= g_args.size()) return mem::Bytes();
  return mem::Bytes(reinterpret_cast<const u8*>(g_args[i].data()), g_args[i].size());
}

u32 record(const char* entry, std::vector<std::string> texts, std::vector<u64> numbers = {}) {
  g_call = Call{entry, texts, numbers, {}};
  return 7;
}

// Keeps what a cluster mode received of its files; the buffers die with the dispatch.
u32 keep(const modes::ClusterFiles* f, u32 code) {
  g_call.gathered = true;
  g_call.key_path = str(f->key_path);
  g_call.publish_path = str(f->publish_path);
  g_call.publish_state = f->publish_state;
  g_call.id_state = f->id_state;
  if (f->settings->id_present) g_call.id = std::string(reinterpret_cast<const char*>(f->settings->id), 16);
  return code;
}

modes::Entries recorders() {
  modes::Entries e;
  e.window = [](mem::Bytes v, u32 flags, mem::Bytes test, mem::Bytes settings, u32 view, u32 dpi, mem::Bytes support) {
    return record("window", {str(v), str(test), str(settings), str(support)}, {flags, view, dpi});
  };
  e.update_worker = [](mem::Bytes v, u32 mode) { return record("update_worker", {str(v)}, {mode}); };
  e.update_notes = [](mem::Bytes v) { return record("update_notes", {str(v)}); };
  e.collector = [](mem::Bytes s) { return record("collector", {str(s)}); };
  e.lease = [](mem::Bytes s) { return record("lease", {str(s)}); };
  e.internet = [](mem::Bytes s) { return record("internet", {str(s)}); };
  e.internet_check = []() { return record("internet_check", {}); };
  e.background = [](mem::Bytes v) { return record("background", {str(v)}); };
  e.agent_trial = [](mem::Bytes a, modes::Writer w) {
    return record("agent_trial", {str(a)}, {w == os::write_out ? 1u : 0u});
  };
  e.agent_revert = [](mem::Bytes a, modes::Writer w) {
    return record("agent_revert", {str(a)}, {w == os::write_out ? 1u : 0u});
  };
  e.linux_fetch = [](mem::Bytes a, u16 v0, u16 v1, u16 v2) { return record("linux_fetch", {str(a)}, {v0, v1, v2}); };
  e.replace_taskmgr = [](mem::Bytes m, u32 test) { return record("replace_taskmgr", {str(m)}, {test}); };
  e.print = []() { return record("print", {}); };
  e.replay = [](mem::Bytes f) { return record("replay", {str(f)}); };
  e.record = [](mem::Bytes f) { return record("record", {str(f)}); };
  e.mcp = [](mem::Bytes v, const modes::ClusterFiles* f) { return keep(f, record("mcp", {str(v)})); };
  e.host = [](mem::Bytes share, u32 listen, u16 port, u32 flags, u16 v0, u16 v1, u16 v2,
              const modes::ClusterFiles* f) {
    return keep(f, record("host", {str(share)}, {listen, port, flags, v0, v1, v2}));
  };
  e.elect = [](mem::Bytes share, const elect::Config* config, const modes::ClusterFiles* f, u64 all_ones) {
    u32 code = record("elect", {str(share)}, {all_ones});
    g_call.config.resize(sizeof(elect::Config));
    memcpy(g_call.config.data(), config, sizeof(elect::Config));
    return keep(f, code);
  };
  e.agent = [](mem::Bytes target, mem::Bytes local, u16 v0, u16 v1, u16 v2, const modes::ClusterFiles* f) {
    return keep(f, record("agent", {str(target), str(local)}, {v0, v1, v2}));
  };
  return e;
}

Call dispatch(const std::vector<std::string>& words) {
  g_args = {"/usr/bin/vimbrel"};
  g_args.insert(g_args.end(), words.begin(), words.end());
  g_call = Call{};
  u32 code = main::dispatch(recorders(), main::Args{g_args.size(), arg_at});
  EXPECT_EQ(code, 7u) << "the entry's result is the exit code";
  return g_call;
}

struct Route {
  std::vector<std::string> words;
  const char* entry;
  std::vector<std::string> texts;
  std::vector<u64> numbers;
};

TEST(Dispatch, EachFormReachesItsEntryWithItsArguments) {
  testutil::TempDir dir;
  harness::EnvVar config("XDG_CONFIG_HOME", dir.path + "/config");
  const u64 none = main::no_view;
  const Route routes[] = {
      {{}, "window", {"0.1.81", "", "", ""}, {0, none, 0}},
      {{"--gdi", "--gdi"}, "window", {"0.1.81", "", "", ""}, {0x1, none, 0}},
      {{"--test", "/fonts", "--view", "32", "--live", "--feed"}, "window", {"0.1.0", "/fonts", "", ""},
       {0x1806, none, 0}},
      {{"--view", "7", "--view", "66", "--dpi", "144", "--settings", "s.txt", "--support", "p.txt", "--unattended",
        "--minimized"},
       "window", {"0.1.81", "", "s.txt", "p.txt"}, {0x827040, 66, 144}},
      {{"--temps", "--temps-pc", "--power", "--battery", "--tops"}, "window", {"0.1.81", "", "", ""},
       {0x3700000, none, 0}},
      {{"--as-taskmgr"}, "window", {"0.1.81", "", "", ""}, {0, none, 0}},
      {{"--as-taskmgr", "--test", "/f", "--dpi", "1"}, "window", {"0.1.81", "", "", ""}, {0, none, 0}},
      {{"--vimb-update", "fetch"}, "update_worker", {"0.1.81"}, {2}},
      {{"--vimb-update", "swap"}, "update_worker", {"0.1.81"}, {3}},
      {{"--collector", "Local\\Vimbrel-feed-0a"}, "collector", {"Local\\Vimbrel-feed-0a"}, {}},
      {{"--lease", "L"}, "lease", {"L"}, {}},
      {{"--internet", "I"}, "internet", {"I"}, {}},
      {{"--internet-check"}, "internet_check", {}, {}},
      {{"--update-notes"}, "update_notes", {"0.1.81"}, {}},
      {{"--background"}, "background", {"0.1.81"}, {}},
      {{"--agent-trial", "t"}, "agent_trial", {"t"}, {1}},
      {{"--agent-revert", "r"}, "agent_revert", {"r"}, {1}},
      {{"--linux-fetch", "x86_64"}, "linux_fetch", {"x86_64"}, {0, 1, 81}},
      {{"--replace-taskmgr", "on"}, "replace_taskmgr", {"on"}, {0}},
      {{"--replace-taskmgr", "takeover", "--test"}, "replace_taskmgr", {"takeover"}, {1}},
      {{"--print"}, "print", {}, {}},
      {{"--print", "--replay", "snap.txt"}, "replay", {"snap.txt"}, {}},
      {{"--record", "snap.txt"}, "record", {"snap.txt"}, {}},
      {{"--mcp"}, "mcp", {"0.1.81"}, {}},
      {{"--elect", "/s"}, "elect", {"/s"}, {~u64{0}}},
      {{"--host", "/srv/share"}, "host", {"/srv/share"}, {0, 7420, 0, 0, 1, 81}},
      {{"--host", "/s", "--listen", "10.1.2.3", "--port", "9000", "--web", "--force-share", "--refuse-if-live"},
       "host", {"/s"}, {0x0A010203, 9000, 1 | 2 | 16, 0, 1, 81}},
      {{"--host", "/s", "--port", "65533", "--web", "--listen", "0.0.0.0"}, "host", {"/s"}, {0, 65533, 16, 0, 1, 81}},
      {{"--host", "/s", "--port", "65535"}, "host", {"/s"}, {0, 65535, 0, 0, 1, 81}},
      {{"--agent"}, "agent", {"", ""}, {0, 1, 81}},
      {{"--agent", "--server", "10.0.0.5:7000"}, "agent", {"10.0.0.5:7000", ""}, {0, 1, 81}},
      {{"--agent", "--share", "/mnt/v"}, "agent", {"/mnt/v", ""}, {0, 1, 81}},
      {{"--agent", "--share", "\\\\srv\\c", "--local", "10.0.0.2"}, "agent", {"\\\\srv\\c", "10.0.0.2"}, {0, 1, 81}},
  };
  for (const Route& r : routes) {
    std::string line;
    for (const std::string& w : r.words) line += " " + w;
    Call call = dispatch(r.words);
    EXPECT_EQ(call.entry, r.entry) << line;
    EXPECT_EQ(call.texts, r.texts) << line;
    EXPECT_EQ(call.numbers, r.numbers) << line;
  }
}

// The four cluster modes get the key and publish paths and one machine id, made on the first start and kept after.
TEST(Dispatch, ClusterModesGetTheirFilesAndOneMachineId) {
  testutil::TempDir dir;
  harness::EnvVar config("XDG_CONFIG_HOME", dir.path + "/config");
  const std::string folder = dir.path + "/config/Vimbrel/";
  std::string first_id;
  const std::vector<std::vector<std::string>> lines = {
      {"--agent", "--server", "10.0.0.5"}, {"--mcp"}, {"--host", "/s"}, {"--elect", "/s"}, {"--agent"}};
  for (const auto& words : lines) {
    Call call = dispatch(words);
    ASSERT_TRUE(call.gathered) << words[0];
    EXPECT_EQ(call.key_path, folder + "cluster.key");
    EXPECT_EQ(call.publish_path, folder + "publish.txt");
    ASSERT_EQ(call.id.size(), 16u);
    if (first_id.empty()) {
      EXPECT_EQ(call.publish_state, cluster::publish_missing);
      EXPECT_EQ(call.id_state, agent::id_made);
      first_id = call.id;
    } else {
      EXPECT_EQ(call.publish_state, cluster::publish_read) << words[0];
      EXPECT_EQ(call.id_state, agent::id_kept) << words[0];
      EXPECT_EQ(call.id, first_id) << words[0];
    }
  }
  // The file the first start wrote: publishing off, no target, the id in hex.
  std::string text = testutil::read_file(folder + "publish.txt");
  std::string hex;
  for (unsigned char c : first_id) {
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
  }
  EXPECT_EQ(text, "vimbrel-publish 1\npublish off\ntarget \nid " + hex + "\n");
}

// A damaged publish.txt reaches the mode as damaged, without an id, and stays byte for byte as it was.
TEST(Dispatch, DamagedPublishFileIsNeverWrittenOver) {
  testutil::TempDir dir;
  harness::EnvVar config("XDG_CONFIG_HOME", dir.path + "/config");
  const std::string path = dir.path + "/config/Vimbrel/publish.txt";
  std::filesystem::create_directories(dir.path + "/config/Vimbrel");
  const std::string damaged[] = {
      "vimbrel-publish 2\npublish on\ntarget 10.0.0.1\nid 00112233445566778899aabbccddeeff\n",
      "vimbrel-publish 1\npublish on\nid 0011223344556677889\n",  // an id cut short
      "\n",
  };
  for (const std::string& text : damaged) {
    testutil::write_file(path, text);
    Call call = dispatch({"--agent"});
    EXPECT_EQ(call.publish_state, cluster::publish_damaged) << text;
    EXPECT_EQ(call.id_state, agent::id_damaged) << text;
    EXPECT_TRUE(call.id.empty()) << text;
    EXPECT_EQ(testutil::read_file(path), text);
  }
}

TEST(Dispatch, ElectionConfigurationBytes) {
  Call plain = dispatch({"--elect", "/srv/share"});
  ASSERT_EQ(plain.entry, "elect");
  EXPECT_EQ(plain.texts, std::vector<std::string>{"/srv/share"});
  const std::vector<u8> defaults = {
      0,    0,    0, 0,           // listen: any
      0xFC, 0x1C,                 // TCP port 7420
      0xFD, 0x1C, 1, 0,           // beacons to 7421, one port
      0xFD, 0x1C,                 // beacon socket on 7421
      200,  0,    0, 0,           // priority 200
      0,    0,    0, 0,           // flags
      0,    0,    0, 0,           // announced address
      150,  0,    0, 0, 1, 0, 81, 0,  // start attempts, version 0.1.81
  };
  EXPECT_EQ(plain.config, defaults);

  Call full = dispatch({"--elect", "/s", "--priority", "1", "--listen", "192.168.1.2", "--port", "7000",
                        "--force-share"});
  ASSERT_EQ(full.entry, "elect");
  const std::vector<u8> given = {
      0x02, 0x01, 0xA8, 0xC0, 0x58, 0x1B, 0xFD, 0x1C, 1, 0, 0xFD, 0x1C, 1,  0, 0, 0,
      16,   0,    0,    0,    0x02, 0x01, 0xA8, 0xC0, 150, 0, 0,  0,    1,  0, 81, 0,
  };
  EXPECT_EQ(full.config, given);
}

}  // namespace
