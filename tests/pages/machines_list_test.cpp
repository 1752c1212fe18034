// The Machines list model: filter, OS groups, stable column order, selection across rebuilds, table rows and the
// settings file.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pages/machines.h"

namespace {

struct Member {
  const char* name;
  u8 os;
  u8 state;
  u16 cpu;
  u32 ipv4;  // 0: no peers row
};

// Six members and a peers table; member i has id {i + 1}.
struct Cluster {
  std::unique_ptr<proto::MachineList> list = std::make_unique<proto::MachineList>();
  std::unique_ptr<proto::Peers> peers = std::make_unique<proto::Peers>();
  machines::ListState s;

  explicit Cluster(const std::vector<Member>& members) {
    *list = {};
    *peers = {};
    for (const Member& m : members) add(m);
    machines::list_init(&s);
  }
  void add(const Member& m) {
    u32 i = list->count++;
    list->ids[i][0] = static_cast<u8>(i + 1);
    memcpy(list->names[i], m.name, strlen(m.name));
    list->summaries[i].os = m.os;
    list->summaries[i].state = m.state;
    list->summaries[i].cpu = m.cpu;
    if (m.ipv4 == 0) return;
    u32 r = peers->count++;
    memcpy(peers->ids[r], list->ids[i], 16);
    peers->address_kinds[r] = 1;
    for (u32 b = 0; b < 4; ++b) peers->addresses[r][b] = static_cast<u8>(m.ipv4 >> (8 * b));
  }
  void rebuild() { machines::rebuild(&s, list.get(), peers.get()); }
  std::string name(u32 member) {
    mem::Bytes n = machines::member_name(list.get(), member);
    return std::string(reinterpret_cast<const char*>(n.ptr), n.len);
  }
  // The shown order as names.
  std::string order() {
    std::string out;
    for (u32 p = 0; p < s.shown_count; ++p) out += (out.empty() ? "" : " ") + name(s.order[p]);
    return out;
  }
};

std::vector<Member> fixture() {
  return {
      {"build-01", 2, 0, 5000, 0xC0A80115},  // Linux
      {"Bravo", 1, 1, 100, 0xC0A80116},      // Windows
      {"alpha", 1, 2, 9000, 0},              // Windows, offline, no address
      {"nas", 2, 0, 300, 0xC0A80118},        // Linux
      {"ALPHA", 7, 0, 300, 0x0A000001},      // unknown OS
      {"phone", 5, 2, 0, 0xC0A8011A},        // iOS
  };
}

TEST(MachinesList, GroupsByOsThenSortsStablyByTheColumn) {
  Cluster c(fixture());
  c.rebuild();
  // Windows (0), Linux (1), iOS (4), Unknown (5); inside each by name, case folded.
  EXPECT_EQ(c.order(), "alpha Bravo build-01 nas phone ALPHA");
  EXPECT_EQ(c.s.group_counts[0], 2);
  EXPECT_EQ(c.s.group_counts[1], 2);
  EXPECT_EQ(c.s.group_counts[5], 1);
  EXPECT_EQ(c.s.duplicates, (1u << 2) | (1u << 4)) << "alpha and ALPHA differ only in case";
  EXPECT_EQ(c.s.peer_row[2], machines::no_peer);
  EXPECT_EQ(c.s.peer_row[3], 2);

  machines::sort_by(&c.s, machines::col_name);  // the same column again: descending
  c.rebuild();
  EXPECT_EQ(c.order(), "Bravo alpha nas build-01 phone ALPHA");

  machines::sort_by(&c.s, machines::col_cpu);  // a new column: ascending
  EXPECT_EQ(c.s.flags & machines::flag_descending, 0);
  c.rebuild();
  EXPECT_EQ(c.order(), "Bravo alpha nas build-01 phone ALPHA");
  // Equal keys keep the host's order in both directions: two CPU values of 300 in different groups, so add one.
  c.add({"twin", 2, 0, 300, 0});
  c.rebuild();
  EXPECT_EQ(c.order(), "Bravo alpha nas twin build-01 phone ALPHA");
  machines::sort_by(&c.s, machines::col_cpu);
  c.rebuild();
  EXPECT_EQ(c.order(), "alpha Bravo build-01 nas twin phone ALPHA");

  machines::sort_by(&c.s, machines::col_address);
  c.rebuild();
  EXPECT_EQ(c.order(), "alpha Bravo twin build-01 nas phone ALPHA") << "no address sorts as 0";
  machines::sort_by(&c.s, 99);
  EXPECT_EQ(c.s.sort_column, machines::col_address);
}

TEST(MachinesList, FilterMatchesNameOrAddressAndCollapsedGroupsKeepTheirCount) {
  Cluster c(fixture());
  EXPECT_TRUE(machines::set_filter(&c.s, reinterpret_cast<const u8*>("ALP"), 3));
  EXPECT_FALSE(machines::set_filter(&c.s, reinterpret_cast<const u8*>("ALP"), 3));
  c.rebuild();
  EXPECT_EQ(c.order(), "alpha ALPHA");
  machines::set_filter(&c.s, reinterpret_cast<const u8*>("168.1.2"), 7);
  c.rebuild();
  EXPECT_EQ(c.order(), "Bravo build-01 nas phone") << "by address; alpha has none";
  EXPECT_TRUE(machines::clear_filter(&c.s));
  EXPECT_FALSE(machines::clear_filter(&c.s));

  machines::toggle_group(&c.s, 1);
  machines::toggle_group(&c.s, 6);  // no such group
  c.rebuild();
  EXPECT_EQ(c.order(), "alpha Bravo phone ALPHA");
  EXPECT_EQ(machines::group_count(&c.s, 1), 2u);
  EXPECT_TRUE(machines::is_collapsed(&c.s, 1));
  // Rows: Windows header, 2 members, Linux header (collapsed), iOS header, 1, Unknown header, 1.
  EXPECT_EQ(machines::visible_count(&c.s), 8u);
  const u32 h = machines::header_row;
  std::vector<u32> kinds;
  for (u32 r = 0; r < 9; ++r) kinds.push_back(machines::row_kind(&c.s, r));
  EXPECT_EQ(kinds, (std::vector<u32>{h + 0, 0, 1, h + 1, h + 4, 2, h + 5, 3, machines::none}));
  EXPECT_EQ(machines::member_rows(&c.s, 6), 3u);
  EXPECT_EQ(machines::row_of(&c.s, 3), 4u);
  EXPECT_EQ(machines::row_of(&c.s, 4), machines::none);
}

TEST(MachinesList, SelectionFollowsTheMachineAndForgetNeedsAnOfflineOne) {
  Cluster c(fixture());
  c.rebuild();
  EXPECT_EQ(c.s.flags & machines::flag_selected, machines::flag_selected) << "position 0 when nothing was selected";
  EXPECT_TRUE(machines::select_member(&c.s, c.list.get(), 0)) << "alpha is offline";
  EXPECT_TRUE(machines::arm_forget(&c.s, c.list.get()));
  // A rebuild that moves alpha keeps it selected and armed.
  machines::sort_by(&c.s, machines::col_name);
  c.rebuild();
  EXPECT_EQ(c.name(machines::row_of(&c.s, c.s.selected)), "alpha");
  EXPECT_EQ(c.s.flags & machines::flag_forget_armed, machines::flag_forget_armed);
  // Another machine disarms; an online one cannot be forgotten.
  EXPECT_FALSE(machines::step_select(&c.s, c.list.get(), 6, true));
  EXPECT_EQ(c.s.flags & machines::flag_forget_armed, 0);
  EXPECT_FALSE(machines::arm_forget(&c.s, c.list.get()));
  // The selected machine filtered away: position 0.
  machines::set_filter(&c.s, reinterpret_cast<const u8*>("phone"), 5);
  c.rebuild();
  EXPECT_EQ(c.name(machines::row_of(&c.s, c.s.selected)), "phone");
  machines::select_member(&c.s, c.list.get(), machines::none);
  EXPECT_EQ(c.s.flags & machines::flag_selected, 0);
  EXPECT_EQ(c.s.selected_id[0], 0);

  Cluster empty({});
  empty.rebuild();
  EXPECT_EQ(empty.s.shown_count, 0);
  EXPECT_EQ(empty.s.flags & machines::flag_selected, 0);
  EXPECT_EQ(machines::visible_count(&empty.s), 0u);
}

TEST(MachinesList, AddressTexts) {
  struct Case {
    u32 kind;
    std::vector<u8> bytes;
    std::string text;
  } cases[] = {
      {1, {0x0A, 0x01, 0xA8, 0xC0}, "192.168.1.10"},
      {1, {0, 0, 0, 0}, "0.0.0.0"},
      {2, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:db8:0:0:0:0:0:1"},
      {2, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {3, {1, 2, 3, 4}, ""},
  };
  for (const Case& k : cases) {
    u8 bytes[16] = {};
    memcpy(bytes, k.bytes.data(), k.bytes.size());
    u8 out[machines::address_max];
    u32 n = machines::address_text(k.kind, bytes, out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), k.text);
  }
}

std::string formatted(const machines::ListState& s) {
  u8 out[machines::settings_max];
  u32 n = machines::format_settings(&s, out);
  return std::string(reinterpret_cast<char*>(out), n);
}

machines::ListState parsed(const std::string& text) {
  machines::ListState s;
  machines::parse_settings(mem::Bytes(reinterpret_cast<const u8*>(text.data()), text.size()), &s);
  return s;
}

TEST(MachinesList, SettingsFileRoundTripsAndReadsEachValueOnItsOwn) {
  machines::ListState s;
  machines::list_init(&s);
  machines::sort_by(&s, machines::col_vram);
  machines::sort_by(&s, machines::col_vram);
  s.collapsed = 5;
  machines::set_filter(&s, reinterpret_cast<const u8*>("rack 2"), 6);
  std::string text = formatted(s);
  EXPECT_EQ(text, "vimbrel-machines 1\nsort_column 5\nsort_descending 1\ncollapsed 05\nfilter rack 2\n");
  machines::ListState back = parsed(text);
  EXPECT_EQ(formatted(back), text);

  struct Case {
    std::string text;
    u32 column, descending, collapsed;
    std::string filter;
  } cases[] = {
      {"", 1, 0, 0, ""},
      {"vimbrel-machines 2\nsort_column 3\nfilter x\n", 1, 0, 0, ""},
      {"vimbrel-machines 1\r\nsort_column 3\r\nfilter ab\r\n", 3, 0, 0, "ab"},  // an editor's line ends
      {"vimbrel-machines 1\ncollapsed 5\nsort_descending 1.7\nfilter \n", 1, 1, 5, ""},
      {"vimbrel-machines 1\n sort_column 3\ncollapsed 64\nfilter a\n", 1, 0, 0, "a"},
      {"vimbrel-machines 1\nsort_column 9\nsort_descending 2\nfilter a\tb\n", 1, 0, 0, ""},
      {"vimbrel-machines 1\nsort_column 00000000003\ncollapsed 1x\n", 1, 0, 0, ""},
      {"vimbrel-machines 1\nsort_column 7\ncollapsed 63\n", 7, 0, 63, ""},  // no filter line: the rest stands
      {"vimbrel-machines 1\nfilter " + std::string(33, 'a') + "\nsort_column 2", 2, 0, 0, ""},
      {"vimbrel-machines 1\nfilter " + std::string(32, 'a'), 1, 0, 0, std::string(32, 'a')},
      {"vimbrel-machines 1\nsort_column 4\nsort_column 6\n", 4, 0, 0, ""},
  };
  for (const Case& k : cases) {
    machines::ListState p = parsed(k.text);
    EXPECT_EQ(p.sort_column, k.column) << k.text;
    EXPECT_EQ(p.flags, k.descending) << k.text;
    EXPECT_EQ(p.collapsed, k.collapsed) << k.text;
    mem::Bytes f = machines::filter_text(&p);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.ptr), f.len), k.filter) << k.text;
  }
}

}  // namespace
