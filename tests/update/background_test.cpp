// The background copy's rules that hold on every system: background.txt, the children's command lines, back-off,
// output lines and status texts, and versions.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "update/background.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string text(const u8* p, u64 n) { return std::string(reinterpret_cast<const char*>(p), n); }

background::Settings parsed(const std::string& file) {
  background::Settings s;
  background::parse_settings(bytes(file), &s);
  return s;
}

cluster::PublishSettings publishing(bool on, const std::string& target) {
  cluster::PublishSettings p;
  cluster::publish_reset(&p);
  p.publish = on ? 1 : 0;
  if (!target.empty()) cluster::set_target(&p, bytes(target));
  return p;
}

TEST(BackgroundSettings, ReadsTheFileByItsRules) {
  const std::string head = "vimbrel-background 1\n";
  struct Case {
    const char* name;
    std::string file;
    u8 flags;
    u16 port;
    std::string listen, source;
  } cases[] = {
      {"both roles", head + "host on\nagent on\nport 7500\nlisten 10.0.0.5\nsource /opt/v\n", 3, 7500, "10.0.0.5",
       "/opt/v"},
      {"crlf", "vimbrel-background 1\r\nhost on\r\nport 9\r\n", 1, 9, "", ""},
      {"off words set nothing", head + "host off\nagent off\nagent yes\n", 0, 0, "", ""},
      {"bad header", "vimbrel-background 2\nhost on\n", 0, 0, "", ""},
      {"header only as the first line", "host on\n" + head, 0, 0, "", ""},
      {"empty", "", 0, 0, "", ""},
      {"port 0", head + "port 0\n", 0, 0, "", ""},
      {"port 65536", head + "port 65536\n", 0, 0, "", ""},
      {"port 65535", head + "port 65535\n", 0, 65535, "", ""},
      {"later port wins, even a bad one", head + "port 80\nport x\n", 0, 0, "", ""},
      {"listen not an address", head + "listen 10.0.0.1\nlisten 192.168.1.300\n", 0, 0, "10.0.0.1", ""},
      {"listen too long", head + "listen 010.000.000.0001\n", 0, 0, "", ""},
      {"listen with a port", head + "listen 10.0.0.1:80\n", 0, 0, "", ""},
      {"source too long", head + "source " + std::string(1025, 'a') + "\n", 0, 0, "", ""},
      {"later source wins", head + "source /a\nsource /b\n", 0, 0, "", "/b"},
  };
  for (const Case& c : cases) {
    background::Settings s = parsed(c.file);
    EXPECT_EQ(s.flags, c.flags) << c.name;
    EXPECT_EQ(s.port, c.port) << c.name;
    EXPECT_EQ(text(s.listen, s.listen_length), c.listen) << c.name;
    EXPECT_EQ(text(s.source, s.source_length), c.source) << c.name;
  }
}

TEST(BackgroundSettings, WritesWhatItReadsBack) {
  u8 out[background::settings_read_max];
  background::Settings s = parsed("vimbrel-background 1\nagent on\nport 7420\nlisten 10.0.0.5\nsource /opt/v x\n");
  u32 n = background::format_settings(&s, mem::Slice{out, sizeof out});
  EXPECT_EQ(text(out, n), "vimbrel-background 1\nhost off\nagent on\nport 7420\nlisten 10.0.0.5\nsource /opt/v x\n");
  background::Settings none{};
  n = background::format_settings(&none, mem::Slice{out, sizeof out});
  EXPECT_EQ(text(out, n), "vimbrel-background 1\nhost off\nagent off\n");
}

TEST(BackgroundCommands, BuildsTheChildrensCommandLines) {
  const std::string head = "vimbrel-background 1\n";
  struct Case {
    const char* name;
    std::string settings;
    bool publish;
    std::string target, host, agent;
  } cases[] = {
      {"both roles, port and listen", head + "host on\nagent on\nport 7420\nlisten 10.0.0.5\n", true, "/mnt/share",
       "--elect \"/mnt/share\" --priority 200 --port 7420 --listen 10.0.0.5",
       "--agent --share \"/mnt/share\" --local 10.0.0.5:7420"},
      {"host only", head + "host on\n", true, "/mnt/share", "--elect \"/mnt/share\" --priority 100",
       "--agent --share \"/mnt/share\" --local 127.0.0.1"},
      {"agent only", head + "agent on\n", true, "/mnt/share", "--elect \"/mnt/share\" --priority 200",
       "--agent --share \"/mnt/share\""},
      {"publishing off still elects", head + "host on\n", false, "/mnt/share", "--elect \"/mnt/share\" --priority 100",
       ""},
      {"server target", head + "host on\nagent on\n", true, "10.0.0.9:7000", "", "--agent --server \"10.0.0.9:7000\""},
      {"trailing backslash doubled", head + "agent on\n", true, "\\\\srv\\share\\",
       "--elect \"\\\\srv\\share\\\\\" --priority 200", "--agent --share \"\\\\srv\\share\\\\\""},
      {"a quote could add words", head + "host on\nagent on\n", true, "/x\" --port \"1", "", ""},
      {"no target", head + "host on\nagent on\n", true, "", "", ""},
  };
  for (const Case& c : cases) {
    background::Settings s = parsed(c.settings);
    cluster::PublishSettings p = publishing(c.publish, "");
    // A target with a quote is not one that set_target accepts from the page; put it in as a hand-edited file would.
    p.target_length = static_cast<u32>(c.target.size());
    memcpy(p.target, c.target.data(), c.target.size());
    p.target_kind = static_cast<u8>(c.target.empty() ? cluster::target_invalid
                                    : c.target[0] == '1'  ? cluster::target_server
                                                          : cluster::target_path);
    u8 out[512];
    EXPECT_EQ(text(out, background::host_command(&p, &s, mem::Slice{out, sizeof out})), c.host) << c.name;
    EXPECT_EQ(text(out, background::agent_command(&p, &s, mem::Slice{out, sizeof out})), c.agent) << c.name;
  }
}

TEST(BackgroundBackoff, GrowsToAMinuteAndStartsOverAfterALongRun) {
  const u32 delays[] = {0, 1, 2, 4, 8, 16, 32, 60, 60, 60};
  for (u32 n = 0; n < 10; ++n) EXPECT_EQ(background::restart_delay(n), delays[n]) << n;
  EXPECT_EQ(background::restart_delay(255), 60u);
  EXPECT_EQ(background::next_attempt(5, 60000), 1);
  EXPECT_EQ(background::next_attempt(5, 59999), 6);
  EXPECT_EQ(background::next_attempt(0, 0), 1);
  EXPECT_EQ(background::next_attempt(255, 10), 255);
  EXPECT_EQ(background::next_start_time(1000, 3), 5000u);
}

TEST(BackgroundStatus, FollowsTheChildsLastLine) {
  background::LastLine line{};
  background::take_output_line(&line, bytes("vimbrel host: first\r\nvimbrel host: sec\tond\nhalf"));
  EXPECT_EQ(text(line.last, line.last_length), "vimbrel host: second");
  background::take_output_line(&line, bytes(" line\n"));
  EXPECT_EQ(text(line.last, line.last_length), "half line");
  background::take_output_line(&line, bytes(std::string(200, 'x') + "\xC3\xA9\n"));
  EXPECT_EQ(text(line.last, line.last_length), std::string(160, 'x'));
  background::take_output_line(&line, bytes("\n"));
  EXPECT_EQ(line.last_length, 0);

  EXPECT_EQ(background::log_prefix(bytes("vimbrel host: x")), 14u);
  EXPECT_EQ(background::log_prefix(bytes("vimbrel agent: x")), 15u);
  EXPECT_EQ(background::log_prefix(bytes("vimbrel hosts: x")), 0u);
  EXPECT_TRUE(background::saw_share_caches(bytes("the share self-test failed: the share caches reads")));
  EXPECT_FALSE(background::saw_share_caches(bytes("the share cache")));
}

TEST(BackgroundStatus, WordsEachSlotState) {
  struct Case {
    const char* name;
    u8 state;
    std::string last;
    bool force_share;
    u8 attempt;
    u32 code;
    std::string line;
  } cases[] = {
      {"off", background::slot_off, "", false, 0, 0, "Off."},
      {"started, no line", background::slot_started, "", false, 0, 0, "Started."},
      {"started, prefix only", background::slot_started, "vimbrel agent: ", false, 0, 0, "Started."},
      {"started", background::slot_started, "vimbrel agent: publishing to 10.0.0.1:7420", false, 0, 0,
       "publishing to 10.0.0.1:7420"},
      {"forced share", background::slot_started, "vimbrel host: host of term 3", true, 0, 0,
       "host of term 3 (--force-share: the share self-test says the share caches)"},
      {"exited", background::slot_exited, "vimbrel host: no cluster key file", false, 3, 2,
       "Exited, code 2: no cluster key file; again in 4 s."},
      {"exited quietly", background::slot_exited, "", false, 7, 137, "Exited, code 137; again in 60 s."},
      {"needs a share", background::slot_needs_share, "", false, 0, 0, "Needs a share under Server or share."},
      {"cannot start", background::slot_start_failed, "", false, 0, 0, "Could not start the background copy."},
      {"not publishing", background::slot_not_publishing, "", false, 0, 0,
       "Not publishing: Publish is off, or no server or share is set."},
      {"long line cut", background::slot_started, "vimbrel host: " + std::string(146, 'y'), true, 0, 0,
       std::string(146, 'y') + " (--force-shar"},
  };
  for (const Case& c : cases) {
    background::Slot slot{};
    slot.state = c.state;
    slot.attempt = c.attempt;
    slot.exit_code = c.code;
    background::take_output_line(&slot.line, bytes(c.last + "\n"));
    u8 out[160];
    EXPECT_EQ(text(out, background::status_of(&slot, c.force_share, mem::Slice{out, sizeof out})), c.line) << c.name;
  }
}

TEST(BackgroundStatus, JoinsThreeLinesAndReadsThemBack) {
  u8 out[background::status_max];
  u32 n = background::status_text(bytes("Started."), bytes(std::string(170, 'a')), mem::Bytes(),
                                   mem::Slice{out, sizeof out});
  std::string status = text(out, n);
  EXPECT_EQ(status, "Started.\n" + std::string(160, 'a') + "\n\n");
  EXPECT_EQ(text(background::status_line(bytes(status), 0).ptr, background::status_line(bytes(status), 0).len),
            "Started.");
  const std::string two = "a\r\nb\r\n";
  mem::Bytes crlf = background::status_line(bytes(two), 1);
  EXPECT_EQ(text(crlf.ptr, crlf.len), "b");
  EXPECT_EQ(background::status_line(bytes("a\n"), 3).len, 0u);
}

TEST(BackgroundVersions, ParsesAndWordsVersions) {
  struct Case {
    const char* line;
    u32 version;
  } cases[] = {
      {"vimbrel 0.1.81\n", 0x000151}, {"vimbrel 1.2.3\r\n", 0x010203}, {"vimbrel 255.255.255", 0xFFFFFF},
      {"vimbrel 0.1.256", 0},         {"vimbrel 0.1", 0},              {"vimbrel 0..1", 0},
      {"vimbrel 0.1.2.3", 0},         {"vimbrel  0.1.2", 0},           {"Vimbrel 0.1.2", 0},
      {"vimbrel 0.1.2 beta", 0},      {"vimbrel 0001.1.1", 0},         {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(background::parse_version_line(bytes(c.line)), c.version) << c.line;
  u8 out[160];
  u32 n = background::keep_copy_message(0x000150, 0x000151, mem::Slice{out, sizeof out});
  EXPECT_EQ(text(out, n),
            "Update check: the program is version 0.1.80, not newer than the background copy's 0.1.81; the copy is "
            "kept.");
}

}  // namespace
