#include <string>

#include <gtest/gtest.h>

#include "wire/cluster.h"
#include "host/hub.h"
#include "main/main.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

template <typename Result>
struct Case {
  std::string text;
  Result want;
};

TEST(Version, PartsAndTexts) {
  EXPECT_EQ(main::version_byte(0), 0u);
  EXPECT_EQ(main::version_byte(1), 1u);
  EXPECT_EQ(main::version_byte(2), 81u);
  EXPECT_EQ(main::version_byte(3), 0u);
  u8 out[16];
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), main::version_text(out)), "0.1.81");
  EXPECT_EQ(main::put_dec(out, 0, 4294967295u), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 10), "4294967295");
  EXPECT_EQ(main::put_dec(out, 3, 0), 4u);
  EXPECT_EQ(out[3], '0');
  mem::Bytes real = mem::lit("0.1.81");
  EXPECT_TRUE(mem::eq(main::gui_version(real, true), mem::lit("0.1.0")));
  EXPECT_EQ(main::gui_version(real, false).ptr, real.ptr);
}

TEST(WindowOptions, EveryWordHasItsBit) {
  const Case<u32> words[] = {
      {"--gdi", 0x1},          {"--test", 0x2},          {"--live", 0x4},        {"--short-ring", 0x8},
      {"--empty-ring", 0x10},  {"--no-gpu", 0x20},       {"--settings", 0x40},   {"--full-ring", 0x80},
      {"--compute", 0x100},    {"--churn", 0x200},       {"--longest-name", 0x400}, {"--feed", 0x800},
      {"--view", 0x1000},      {"--unattended", 0x2000}, {"--minimized", 0x4000}, {"--as-shipped", 0x8000},
      {"--taskmgr", 0x10000},  {"--dpi", 0x20000},       {"--integrated", 0x40000}, {"--long-notes", 0x80000},
      {"--tops", 0x100000},    {"--power", 0x200000},    {"--battery", 0x400000}, {"--support", 0x800000},
      {"--temps", 0x1000000},  {"--temps-pc", 0x2000000},
      {"--GDI", 0},            {"--gdi ", 0},            {"-gdi", 0},            {"--", 0},
      {"", 0},                 {"--temps-p", 0},         {"--version", 0},       {"gdi", 0},
  };
  for (const auto& c : words) EXPECT_EQ(main::gui_option(bytes(c.text)), c.want) << c.text;
  EXPECT_EQ(main::gui_value_words, 0x2u | 0x40 | 0x1000 | 0x20000 | 0x800000);
}

TEST(WindowOptions, ViewRows) {
  const u32 none = main::no_view;
  const Case<u32> rows[] = {
      {"0", 0},     {"00", 0},    {"7", 7},     {"07", 7},   {"29", 29},  {"31", 31},  {"32", none},
      {"33", 33},   {"34", 34},   {"35", none}, {"64", none}, {"65", 65},  {"66", 66},  {"67", 67},  {"68", none},
      {"99", none}, {"007", none}, {"", none},  {"3a", none}, {"-1", none}, {" 1", none}, {"1 ", none},
  };
  for (const auto& c : rows) EXPECT_EQ(main::parse_view(bytes(c.text)), c.want) << c.text;
}

TEST(WindowOptions, DpiValues) {
  const Case<u32> values[] = {
      {"96", 96}, {"120", 120}, {"144", 144}, {"192", 192}, {"096", 96}, {"100", 0},
      {"0", 0},   {"", 0},      {"1920", 0},  {"96 ", 0},   {"0192", 0}, {"x96", 0},
  };
  for (const auto& c : values) EXPECT_EQ(main::parse_dpi(bytes(c.text)), c.want) << c.text;
}

TEST(ServiceOptions, Priority) {
  const Case<u32> values[] = {
      {"1", 1}, {"200", 200}, {"255", 255}, {"007", 7}, {"0", 0},  {"256", 0},
      {"999", 0}, {"0255", 0}, {"", 0},     {"1a", 0},  {"+1", 0}, {"-1", 0},
  };
  for (const auto& c : values) EXPECT_EQ(main::parse_priority(bytes(c.text)), c.want) << c.text;
}

TEST(ServiceOptions, Ports) {
  const Case<u32> values[] = {
      {"1", 1},   {"7420", 7420}, {"65535", 65535}, {"00080", 80}, {"65536", 0}, {"99999", 0},
      {"0", 0},   {"00000", 0},   {"000080", 0},    {"", 0},       {"80a", 0},   {"-80", 0},
  };
  for (const auto& c : values) EXPECT_EQ(hub::parse_port(bytes(c.text)), c.want) << c.text;

  EXPECT_EQ(hub::web_port(7420, hub::flag_web), 7422);
  EXPECT_EQ(hub::web_port(1, hub::flag_web | 1 | 2), 3);
  EXPECT_EQ(hub::web_port(65533, hub::flag_web), 65535);
  EXPECT_EQ(hub::web_port(65534, hub::flag_web), 0);  // 65536 is no port
  EXPECT_EQ(hub::web_port(65535, hub::flag_web), 0);
  EXPECT_EQ(hub::web_port(0, hub::flag_web), 0);
  EXPECT_EQ(hub::web_port(7420, 1 | 2 | 8), 0);
}

TEST(ServiceOptions, OptionWords) {
  const Case<u32> host[] = {{"--port", 1},  {"--listen", 2}, {"--refuse-if-live", 4}, {"--force-share", 8},
                            {"--web", 16},  {"--priority", 0}, {"--Port", 0},         {"", 0}};
  for (const auto& c : host) EXPECT_EQ(main::host_option(bytes(c.text)), c.want) << c.text;
  const Case<u32> elect[] = {{"--port", 1},  {"--listen", 2}, {"--priority", 4}, {"--force-share", 8},
                             {"--web", 0},   {"--refuse-if-live", 0}, {"--prio", 0}, {"", 0}};
  for (const auto& c : elect) EXPECT_EQ(main::elect_option(bytes(c.text)), c.want) << c.text;
  const Case<u32> agent[] = {{"--server", 1}, {"--share", 2}, {"--local", 0}, {"--shared", 0}, {"", 0}};
  for (const auto& c : agent) EXPECT_EQ(main::agent_option(bytes(c.text)), c.want) << c.text;
  for (u32 option : {1u, 2u}) EXPECT_TRUE(main::takes_value(option));
  for (u32 option : {0u, 4u, 8u, 16u, 3u}) EXPECT_FALSE(main::takes_value(option));
}

TEST(ServiceOptions, ReplaceTaskmgrForms) {
  struct {
    u64 argc;
    bool replace, last_test;
    u32 form;
  } cases[] = {
      {3, false, false, 0}, {4, false, true, 0}, {3, true, false, 1}, {3, true, true, 1}, {4, true, true, 2},
      {4, true, false, 3},  {2, true, false, 3}, {5, true, true, 3},  {6, true, false, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(main::taskmgr_form(c.argc, c.replace, c.last_test), c.form) << c.argc << c.replace << c.last_test;
  }
}

TEST(ServiceOptions, WordMatchersAreExact) {
  struct {
    bool (*matches)(mem::Bytes);
    std::string word;
  } matchers[] = {
      {main::is_version, "--version"},       {main::is_print, "--print"},
      {main::is_replay, "--replay"},         {main::is_record, "--record"},
      {main::is_host, "--host"},             {main::is_agent, "--agent"},
      {cluster::is_lease_option, "--lease"}, {update::is_worker_option, "--vimb-update"},
      {feed::is_option, "--collector"},      {internet::is_child, "--internet"},
      {internet::is_check, "--internet-check"}, {background::is_background_option, "--background"},
      {agentupdate::is_trial_option, "--agent-trial"}, {agentupdate::is_revert_option, "--agent-revert"},
      {linuxfeed::is_fetch_option, "--linux-fetch"},   {taskmgr::is_replace_option, "--replace-taskmgr"},
      {taskmgr::is_test_option, "--test"},             {taskmgr::is_as_taskmgr, "--as-taskmgr"},
  };
  for (const auto& m : matchers) {
    EXPECT_TRUE(m.matches(bytes(m.word))) << m.word;
    std::string upper = m.word;
    upper[2] = static_cast<char>(upper[2] - 32);
    for (const std::string& other : {m.word + "x", m.word.substr(0, m.word.size() - 1), upper, std::string()}) {
      EXPECT_FALSE(m.matches(bytes(other))) << other;
    }
  }
  EXPECT_TRUE(mem::eq(update::notes_option(), mem::lit("--update-notes")));
  const Case<u32> modes[] = {{"check", 1}, {"fetch", 2}, {"swap", 3}, {"Check", 0}, {"", 0}, {"swapx", 0}};
  for (const auto& c : modes) EXPECT_EQ(update::parse_worker_mode(bytes(c.text)), c.want) << c.text;
}

TEST(ClusterTexts, DottedIpv4) {
  const u64 ok = cluster::ipv4_valid;
  const Case<u64> texts[] = {
      {"0.0.0.0", ok},                    // any address is valid, and differs from a refusal
      {"192.168.1.2", ok | 0xC0A80102},   {"010.0.0.1", ok | 0x0A000001}, {"255.255.255.255", ok | 0xFFFFFFFF},
      {"256.0.0.1", 0},  {"1.2.3", 0},    {"1.2.3.4.", 0},  {"1..2.3", 0},   {".1.2.3", 0},  {"1.2.3.4.5", 0},
      {"1.2.3.4:80", 0}, {"1234.1.1.1", 0}, {"1.2.3.0004", 0}, {"", 0},      {" 1.2.3.4", 0}, {"1.2.3.-4", 0},
  };
  for (const auto& c : texts) EXPECT_EQ(cluster::parse_ipv4(bytes(c.text)), c.want) << c.text;
}

TEST(ClusterTexts, TargetKinds) {
  const Case<u32> texts[] = {
      {"10.0.0.5", 1},        {"10.0.0.5:7420", 1},  {"10.0.0.5:65535", 1},   {"10.0.0.5:0", 0},
      {"10.0.0.5:65536", 0},  {"10.0.0.256", 0},     {"10.0.0.5:", 0},       {"10.0.0.5:80:81", 0},
      {"host.example", 0},    {"C:\\", 0},           {"C:\\x", 2},           {"c:/x", 2},
      {"1:\\x", 0},           {"\\\\srv", 0},        {"\\\\srv\\", 0},       {"\\\\srv\\s", 2},
      {"\\\\\\s", 0},         {"/", 0},              {"/mnt/vimbrel", 2},    {"/a b", 2},
      {"/mnt/caf\xc3\xa9", 0}, {"/a\tb", 0},         {"", 0},
      {"/" + std::string(159, 'a'), 2},              {"/" + std::string(160, 'a'), 0},
  };
  for (const auto& c : texts) EXPECT_EQ(cluster::target_kind(bytes(c.text)), c.want) << c.text;
}

}  // namespace
