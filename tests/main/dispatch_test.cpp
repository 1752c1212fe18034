// Which mode entry a command line reaches, and with which arguments: main::dispatch runs with recording entries.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/main.h"
#include "platform/os.h"

namespace {

struct Call {
  std::string entry;
  std::vector<std::string> texts;
  std::vector<u64> numbers;
  std::vector<u8> config;
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
  e.mcp = [](mem::Bytes v) { return record("mcp", {str(v)}); };
  e.host = [](mem::Bytes share, u32 listen, u16 port, u32 flags, u16 v0, u16 v1, u16 v2) {
    return record("host", {str(share)}, {listen, port, flags, v0, v1, v2});
  };
  e.elect = [](mem::Bytes share, const elect::Config* config) {
    u32 code = record("elect", {str(share)});
    g_call.config.resize(sizeof(elect::Config));
    memcpy(g_call.config.data(), config, sizeof(elect::Config));
    return code;
  };
  e.agent = [](mem::Bytes target, mem::Bytes local, u16 v0, u16 v1, u16 v2) {
    return record("agent", {str(target), str(local)}, {v0, v1, v2});
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
      {{"--vimb-update", "later"}, "update_worker", {"0.1.81"}, {0}},
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
