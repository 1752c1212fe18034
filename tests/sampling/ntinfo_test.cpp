#include "sampling/ntinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sysrec.h"
#include "tests/sampling/builders.h"

namespace {

std::string text_of(const u8* p, u64 n) { return std::string(reinterpret_cast<const char*>(p), n); }
std::string zstr(const u8* p, u64 bound) { return std::string(reinterpret_cast<const char*>(p), strnlen((const char*)p, bound)); }

std::vector<u8> utf16(const std::u16string& s) {
  std::vector<u8> b(2 * s.size() + 2, 0);
  for (size_t i = 0; i < s.size(); ++i) {
    b[2 * i] = static_cast<u8>(s[i]);
    b[2 * i + 1] = static_cast<u8>(s[i] >> 8);
  }
  return b;
}

TEST(NtReaders, StayInsideTheBytes) {
  u8 b[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  mem::Bytes all(b, sizeof b);
  EXPECT_EQ(ntinfo::rd32(all, 8), 0x0C0B0A09u);
  EXPECT_EQ(ntinfo::rd32(all, 9), 0u);
  EXPECT_EQ(ntinfo::rd64(all, 4), 0x0C0B0A0908070605ull);
  EXPECT_EQ(ntinfo::rd64(all, 5), 0u);
  EXPECT_EQ(ntinfo::rd64(all, ~0ull - 2), 0u);
  EXPECT_EQ(ntinfo::unit_at(all, 10, 0), 0x0C0Bu);
  EXPECT_EQ(ntinfo::unit_at(all, 10, 1), 0u);
  EXPECT_EQ(ntinfo::unit_at(all, 11, 0), 0u);
  EXPECT_EQ(ntinfo::unit_at(all, ~0ull, 0), 0u);
  EXPECT_EQ(ntinfo::unit_at(all, 0, ~0ull / 2), 0u);
  EXPECT_EQ(ntinfo::nonneg(-5), 0u);
  EXPECT_EQ(ntinfo::nonneg(5), 5u);
  EXPECT_EQ(ntinfo::midpoint(10, 20), 15u);
  EXPECT_EQ(ntinfo::midpoint(20, 10), 20u);
  EXPECT_EQ(ntinfo::midpoint(~0ull - 1, ~0ull), ~0ull - 1);
}

TEST(NtCpu, SeventyProcessorsDecodeSixtyFourAndATailIsIgnored) {
  std::vector<u8> b(70 * 48 + 20, 0);
  for (u64 i = 0; i < 70; ++i) {
    sysrec::CpuEntry e{};
    e.idle = 100 + i;
    e.kernel = 200 + i;
    e.user = 300 + i;
    e.dpc = 1;
    e.interrupt = 400 + i;
    std::memcpy(b.data() + i * 48, &e, 48);
  }
  auto out = std::make_unique<ntinfo::CpuColumns>();
  EXPECT_EQ(ntinfo::cpu_decode(build::view(b), out.get()), 64u);
  EXPECT_EQ(out->idle[63], 163u);
  EXPECT_EQ(out->kernel[0], 200u);
  EXPECT_EQ(out->user[5], 305u);
  EXPECT_EQ(out->interrupt[7], 407u);
  EXPECT_EQ(ntinfo::cpu_count(2 * 48 + 47), 2u);
  EXPECT_EQ(ntinfo::cpu_decode(mem::Bytes(b.data(), 47), out.get()), 0u);
  EXPECT_EQ(out->idle[0], 0u);
}

TEST(NtSizes, SaturateAndReportOver) {
  EXPECT_EQ(ntinfo::mib_of_bytes(3ull << 20), 3u);
  EXPECT_EQ(ntinfo::mib_of_bytes(~0ull), 0xFFFFFFFFu);
  EXPECT_FALSE(ntinfo::mib_over((1ull << 52) - 1));
  EXPECT_TRUE(ntinfo::mib_over(1ull << 52));
  EXPECT_EQ(ntinfo::mib_of_pages(256, 4096), 1u);
  EXPECT_EQ(ntinfo::mib_of_pages(~0ull, ~0ull), ntinfo::mib_of_bytes(((1ull << 48) - 1) * 65535));
  EXPECT_TRUE(ntinfo::pages_over(~0ull, 4096));
  EXPECT_FALSE(ntinfo::pages_over(1ull << 30, 4096));
}

sysrec::IfRow nic_row(u64 luid, u32 type, u8 flags, const std::u16string& alias) {
  sysrec::IfRow r{};
  r.luid = luid;
  r.type = type;
  r.flags = flags;
  r.oper_status = 1;
  r.media_connect = 1;
  r.receive_speed = 2500000000ull;
  r.in_octets = luid * 10;
  r.out_octets = luid * 20;
  for (size_t i = 0; i < alias.size(); ++i) r.alias[i] = alias[i];
  std::memset(r.guid, 0xAA, sizeof r.guid);
  std::memset(r.description, 0xBB, sizeof r.description);
  r.physical_length = 6;
  std::memset(r.physical, 0xCC, sizeof r.physical);
  std::memset(r.permanent_physical, 0xCC, sizeof r.permanent_physical);
  std::memset(r.network_guid, 0xDD, sizeof r.network_guid);
  r.mtu = 1500;
  return r;
}

TEST(NtInterfaces, FilterDecodeAndScrub) {
  struct Case { u32 type; u8 flags; u32 oper, media; bool pass; };
  const Case cases[] = {
      {6, 1, 1, 1, true},     {6, 0, 1, 1, false},   {24, 1, 1, 1, false}, {6, 3, 1, 1, false},
      {131, 0, 1, 1, true},   {53, 0, 1, 1, true},   {23, 0, 1, 1, true},  {6, 1, 2, 1, false},
      {6, 1, 1, 2, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ntinfo::nic_pass(c.type, c.flags, c.oper, c.media), c.pass) << c.type << " " << int(c.flags);
  }

  std::vector<u8> rows(3 * 1352);
  sysrec::IfRow a = nic_row(7, 6, 1, u"  Ethernet(R) 2 "), b = nic_row(9, 131, 0, u"wg0\u00e9");
  std::memcpy(rows.data(), &a, 1352);
  std::memcpy(rows.data() + 1352, &b, 1352);
  EXPECT_TRUE(ntinfo::nic_wanted(mem::Bytes(rows.data(), 1352)));
  EXPECT_FALSE(ntinfo::nic_wanted(mem::Bytes(rows.data(), 1351)));

  ntinfo::Nics out{};
  EXPECT_EQ(ntinfo::nic_decode(mem::Bytes(rows.data(), 2 * 1352 + 100), 5, &out), 2u);
  EXPECT_EQ(out.luid[1], 9u);
  EXPECT_EQ(out.received[0], 70u);
  EXPECT_EQ(out.sent[1], 180u);
  EXPECT_EQ(out.link_mbps[0], 2500u);
  EXPECT_EQ(zstr(out.name[0], 32), "Ethernet 2");
  EXPECT_EQ(zstr(out.name[1], 32), "wg0?");
  EXPECT_EQ(out.virtual_mask, 2u);
  EXPECT_EQ(ntinfo::nic_kept(9), 8u);
  u8 head[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ntinfo::nic_table_count(mem::Bytes(head, 4)), 3u);
  EXPECT_EQ(ntinfo::nic_table_count(mem::Bytes(head, 3)), 0u);

  std::vector<u8> before = rows;
  ntinfo::nic_scrub(mem::Slice{rows.data(), 2 * 1352 + 100}, 9);
  for (u64 row = 0; row < 3; ++row) {
    for (u64 i = 0; i < 1352; ++i) {
      u64 p = row * 1352 + i;
      bool wiped = row < 2 && ((i >= 12 && i < 28) || (i >= 542 && i < 1124) || (i >= 1168 && i < 1184));
      ASSERT_EQ(rows[p], wiped ? 0 : before[p]) << "row " << row << " byte " << i;
    }
  }
}

TEST(NtNames, AsciiTagsAndTrim) {
  struct Case { std::u16string in; u64 out_size; std::string want; };
  const Case cases[] = {
      {u"Intel(R) Core(TM) i7", 32, "Intel Core i7"},
      {u"   AMD Ryzen 7   ", 32, "AMD Ryzen 7"},
      {u"(tm)(R)(TM)x", 32, "(tm)x"},
      {u"Caf\u00e9\u2122", 32, "Caf??"},
      {u"abcdefgh", 4, "abcd"},
      {std::u16string(70, u'x'), 100, std::string(64, 'x')},
      {u"", 8, ""},
  };
  for (const Case& c : cases) {
    std::vector<u8> b = utf16(c.in);
    std::vector<u8> out(c.out_size, 0xEE);
    u64 n = ntinfo::name_ascii(build::view(b), 0, mem::Slice{out.data(), out.size()});
    EXPECT_EQ(text_of(out.data(), n), c.want);
    for (u64 i = n; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << "not zero-filled";
  }
}

TEST(NtNames, DiskKeysAndLetters) {
  struct Case { std::u16string in; u32 key; u32 letters; };
  const Case cases[] = {
      {u"_Total", ntinfo::no_key, 0},
      {u"0 C:", 0, 1u << 2},
      {u"12 d: E:", 12, (1u << 3) | (1u << 4)},
      {u"99999999999 Z:", 4294967294u, 1u << 25},
      {u"3 C", 3, 0},
  };
  for (const Case& c : cases) {
    std::vector<u8> b = utf16(c.in);
    EXPECT_EQ(ntinfo::digits_key(build::view(b), 0), c.key);
    EXPECT_EQ(ntinfo::letters_mask(build::view(b), 0), c.letters);
  }
  // A letter at the very end of the array, with no room for its colon.
  std::vector<u8> cut = utf16(u"1 C:");
  EXPECT_EQ(ntinfo::letters_mask(mem::Bytes(cut.data(), 6), 0), 0u);
  EXPECT_TRUE(ntinfo::ends_with(mem::lit("RAPL_PKG"), mem::lit("_PKG")));
  EXPECT_FALSE(ntinfo::ends_with(mem::lit("PKG"), mem::lit("_PKG")));
  u8 tags[] = "A(R)(R)B(TM";
  EXPECT_EQ(text_of(tags, ntinfo::strip_tags(tags, 11)), "AB(TM");
}

TEST(NtCounters, FormattedArrayDecodes) {
  std::vector<build::Item> items = {
      {"0 C:", 0, 1000}, {"1 D: E:", 1, -5}, {"_Total", 2, 77}, {"2 F:", 0, 9, 0, true}};
  std::vector<u8> b = build::counter_array(items, false);
  ntinfo::Items out{};
  EXPECT_EQ(ntinfo::pdh_decode(build::view(b), build::base_address, 4, &out), 4u);
  EXPECT_EQ(out.listed, 4u);
  EXPECT_EQ(out.value[0], 1000u);
  EXPECT_EQ(out.value[1], 0u);
  EXPECT_EQ(out.status[1], 1u);
  EXPECT_EQ(out.key[1], 1u);
  EXPECT_EQ(out.letters[1], (1u << 3) | (1u << 4));
  EXPECT_EQ(out.key[2], ntinfo::no_key);
  EXPECT_EQ(zstr(out.name[2], 32), "_Total");
  EXPECT_EQ(out.key[3], ntinfo::no_key);  // name outside the array
  EXPECT_EQ(zstr(out.name[3], 32), "");

  // The count is bounded by 17 and by the bytes kept.
  std::vector<build::Item> many(20, build::Item{"5 X:", 0, 1});
  std::vector<u8> m = build::counter_array(many, false);
  EXPECT_EQ(ntinfo::pdh_decode(build::view(m), build::base_address, 20, &out), 17u);
  EXPECT_EQ(out.listed, 20u);
  EXPECT_EQ(ntinfo::pdh_decode(mem::Bytes(m.data(), 24 * 3 + 23), build::base_address, 20, &out), 3u);
  // Names beyond the kept bytes read as missing, not from past the end.
  EXPECT_EQ(out.key[0], ntinfo::no_key);

  // A stored slot claiming more bytes than it has is read only up to its own end.
  auto slot = std::make_unique<sysrec::CounterSlot>();
  slot->bytes = 0xFFFFFFFFu;
  EXPECT_EQ(sysrec::items_of(*slot).len, sysrec::counter_array_bytes);
  slot->bytes = 48;
  EXPECT_EQ(sysrec::items_of(*slot).len, 48u);
}

TEST(NtCounters, EnergyAndPowerMeters) {
  std::vector<build::Item> energy = {
      {"RAPL_Package0_PKG", 0, 500, 11}, {"RAPL_Package1_PKG", 1, 700, 12}, {"RAPL_DRAM", 0, -9, 13},
      {"PSYS_GPU", 0, 100, 14},          {"RAPL_PSYS", 3, 100, 15},         {"X_PSYS", 0, 5, 16, true}};
  std::vector<u8> e = build::counter_array(energy, true);
  u64 parts[4] = {9, 9, 9, 9}, stamps[4] = {9, 9, 9, 9};
  EXPECT_EQ(ntinfo::energy_decode(build::view(e), build::base_address, 6, parts, stamps), 3u);
  EXPECT_EQ(parts[0], 1200u);
  EXPECT_EQ(stamps[0], 12u);
  EXPECT_EQ(parts[1], 0u);
  EXPECT_EQ(stamps[1], 13u);
  EXPECT_EQ(parts[2], 0u);
  EXPECT_EQ(parts[3], 0u);
  EXPECT_EQ(ntinfo::meter_part(mem::lit("A_PSYS")), 3u);
  EXPECT_EQ(ntinfo::meter_part(mem::lit("A_GPU")), ntinfo::no_part);

  std::vector<build::Item> power = {{"_Total", 0, 999}, {"meter 1", 0, 15000}, {"meter 2", 1, -4}, {"m3", 5, 50}};
  std::vector<u8> p = build::counter_array(power, false);
  EXPECT_EQ(ntinfo::meter_milliwatt(build::view(p), build::base_address, 4), 15000u);
  EXPECT_EQ(ntinfo::meter_milliwatt(build::view(p), build::base_address, 1), ntinfo::none);
}

// A part's wrap value is known only when every counter summed into it wraps at the same known value.
TEST(NtCounters, EnergyWrapValues) {
  std::vector<build::Item> energy = {
      {"RAPL_Package0_PKG", 0, 500, 11, false, 7000}, {"RAPL_Package1_PKG", 0, 700, 12, false, 7000},
      {"RAPL_Package0_DRAM", 0, 9, 13, false, 3000},  {"RAPL_Package1_DRAM", 0, 9, 13, false, 4000},
      {"RAPL_PSYS", 0, 100, 15, false, 0},            {"RAPL_Package0_PP0", 0, 5, 16, false, 900},
      {"Bad_PSYS", 5, 100, 15, false, 8000},          {"Far_PSYS", 0, 5, 16, true, 8000}};
  std::vector<u8> e = build::counter_array(energy, true);
  u64 wraps[4] = {9, 9, 9, 9};
  EXPECT_EQ(ntinfo::energy_wraps(build::view(e), build::base_address, 8, wraps), 1u);
  EXPECT_EQ(wraps[0], 7000u);
  EXPECT_EQ(wraps[1], 0u);  // the two DRAM counters wrap at different values
  EXPECT_EQ(wraps[2], 0u);
  EXPECT_EQ(wraps[3], 0u);  // not known; the bad and the misplaced items do not count
  // A package whose range is unknown makes the sum's wrap unknown too.
  energy[1].second = 0;
  e = build::counter_array(energy, true);
  EXPECT_EQ(ntinfo::energy_wraps(build::view(e), build::base_address, 8, wraps), 0u);
  EXPECT_EQ(wraps[0], 0u);
  // Items beyond the bytes given are not read.
  EXPECT_EQ(ntinfo::energy_wraps(mem::Bytes(e.data(), 40), build::base_address, 8, wraps), 0u);
}

TEST(NtBattery, DrainOnlyWhenDischargingWithAKnownRate) {
  struct Case { u8 present, discharging; u32 rate; u64 len; u64 want; };
  const Case cases[] = {
      {1, 1, static_cast<u32>(-5000), 32, 5000},
      {1, 1, 0x80000000u, 32, ntinfo::none},
      {1, 1, 0x80000001u, 32, 2147483647u},
      {1, 1, 5000, 32, ntinfo::none},
      {1, 0, static_cast<u32>(-5000), 32, ntinfo::none},
      {0, 1, static_cast<u32>(-5000), 32, ntinfo::none},
      {1, 1, static_cast<u32>(-5000), 19, ntinfo::none},
  };
  for (const Case& c : cases) {
    sysrec::BatteryState s{};
    s.present = c.present;
    s.discharging = c.discharging;
    s.rate = c.rate;
    EXPECT_EQ(ntinfo::battery_drain(mem::Bytes(reinterpret_cast<u8*>(&s), c.len)), c.want) << c.rate;
  }
}

TEST(NtTcp, RowsAreBoundedByTheBytesAndTheCap) {
  std::vector<u8> t(4 + 5 * 24, 0);
  u32 listed = 9;
  std::memcpy(t.data(), &listed, 4);
  for (u32 r = 0; r < 5; ++r) {
    u32 pid = 100 + r;
    std::memcpy(t.data() + 4 + r * 24 + 20, &pid, 4);
  }
  EXPECT_EQ(ntinfo::tcp_listed(build::view(t)), 9u);
  EXPECT_EQ(ntinfo::tcp_listed(mem::Bytes(t.data(), 3)), 0u);
  EXPECT_EQ(ntinfo::tcp_rows(build::view(t), 24), 5u);
  EXPECT_EQ(ntinfo::tcp_rows(build::view(t), 0), 0u);
  EXPECT_EQ(ntinfo::tcp_rows(mem::Bytes(t.data(), 3), 24), 0u);
  EXPECT_EQ(ntinfo::tcp_bytes(5, 24), 124u);
  EXPECT_EQ(ntinfo::tcp_bytes(0xFFFFFFFFu, 56), 0xFFFFFFFFu);
  EXPECT_EQ(ntinfo::tcp_needed(4 + 3 * 56, 56), 3u);
  EXPECT_EQ(ntinfo::tcp_needed(3, 56), 0u);
  EXPECT_EQ(ntinfo::tcp_used(5, 24, true, 999), 999u);
  EXPECT_EQ(ntinfo::tcp_used(5, 24, false, 999), 124u);
  u32 list[8] = {};
  u32 n = ntinfo::tcp_take(build::view(t), 24, 20, list, 7, 3);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(list[3], 100u);
  EXPECT_EQ(list[6], 103u);
}

build::Proc proc(u32 pid, const std::string& name) {
  build::Proc p;
  p.pid = pid;
  p.parent = pid / 2;
  p.create_time = 1000000000ull + pid * 10000000ull;
  p.user_time = pid * 3;
  p.kernel_time = pid * 5;
  p.threads = pid % 7 + 1;
  p.handles = pid * 2;
  p.working_set = pid * 4096;
  p.private_bytes = pid * 8192;
  p.read_bytes = pid * 100;
  p.write_bytes = pid * 200;
  p.name = name;
  return p;
}

TEST(NtProcesses, WalkReadsEveryField) {
  build::Chain c;
  c.add(proc(0, ""));
  c.add(proc(4, "System"), 3);
  build::Proc last = proc(1234, "C:\\Program Files\\app.exe");
  last.read_bytes = sysrec::io_unreported;
  last.create_time = 10;  // before the boot time
  c.add(last, 1);
  auto w = std::make_unique<ntinfo::ProcWalk>();
  ntinfo::proc_walk(c.view(), build::base_address, 1000000000ull, w.get());
  EXPECT_EQ(w->stored, 3u);
  EXPECT_EQ(w->entries, 3u);
  EXPECT_EQ(w->flags, 0u);
  EXPECT_EQ(w->threads, 1u + 5 + 3);
  EXPECT_EQ(w->pid[1], 4u);
  EXPECT_EQ(w->parent[2], 617u);
  EXPECT_EQ(w->start[1], 4u);
  EXPECT_EQ(w->start[2], 0u);
  EXPECT_EQ(w->handles[2], 2468u);
  EXPECT_EQ(w->cpu[2], 1234u * 8);
  EXPECT_EQ(w->working_set[2], 1234u * 4096);
  EXPECT_EQ(w->private_bytes[2], 1234u * 8192);
  EXPECT_EQ(w->read_bytes[2], sysrec::io_unreported);
  EXPECT_EQ(w->write_bytes[2], 1234u * 200);
  u8 name[8];
  u64 n = ntinfo::name_take(c.view(), w->name_offset[2], w->name_units[2], false, mem::Slice{name, sizeof name});
  EXPECT_EQ(text_of(name, n), "app.exe");
  n = ntinfo::name_take(c.view(), w->name_offset[0], w->name_units[0], true, mem::Slice{name, sizeof name});
  EXPECT_EQ(text_of(name, n), "Idle");
  n = ntinfo::name_take(c.view(), w->name_offset[1], w->name_units[1], false, mem::Slice{name, 3});
  EXPECT_EQ(text_of(name, n), "Sys");
}

TEST(NtProcesses, MalformedAndOversizedChains) {
  auto w = std::make_unique<ntinfo::ProcWalk>();
  build::Chain c;
  c.add(proc(8, "a"));
  c.add(proc(9, "b"));
  c.add(proc(10, "c"));
  // A next offset of 12 ends the walk after that entry with the malformed bit.
  std::vector<u8> bad = c.bytes;
  u32 twelve = 12;
  std::memcpy(bad.data(), &twelve, 4);
  ntinfo::proc_walk(build::view(bad), build::base_address, 0, w.get());
  EXPECT_EQ(w->entries, 1u);
  EXPECT_EQ(w->flags, ntinfo::walk_malformed);
  // Unaligned step, a cut buffer, a buffer shorter than one head, an empty one.
  u32 unaligned = 260;
  std::memcpy(bad.data(), &unaligned, 4);
  ntinfo::proc_walk(build::view(bad), build::base_address, 0, w.get());
  EXPECT_EQ(w->flags, ntinfo::walk_malformed);
  ntinfo::proc_walk(mem::Bytes(c.bytes.data(), c.bytes.size() - 100), build::base_address, 0, w.get());
  EXPECT_EQ(w->entries, 2u);
  EXPECT_EQ(w->flags, ntinfo::walk_malformed);
  ntinfo::proc_walk(mem::Bytes(c.bytes.data(), 255), build::base_address, 0, w.get());
  EXPECT_EQ(w->entries, 0u);
  EXPECT_EQ(w->flags, ntinfo::walk_malformed);
  ntinfo::proc_walk(mem::Bytes(), build::base_address, 0, w.get());
  EXPECT_EQ(w->entries + w->flags, 0u);

  build::Chain big;
  for (u32 i = 0; i < 1030; ++i) big.add(proc(i + 1, "p"));
  ntinfo::proc_walk(big.view(), build::base_address, 0, w.get());
  EXPECT_EQ(w->entries, 1030u);
  EXPECT_EQ(w->stored, 1024u);
  EXPECT_EQ(w->flags, ntinfo::walk_more);
  EXPECT_EQ(w->pid[1023], 1024u);
  EXPECT_EQ(w->pid[1024], 1030u);  // the scratch slot holds the last one past the limit
}

TEST(NtProcesses, NameBoundsAndStartKeys) {
  EXPECT_EQ(ntinfo::name_inside(10, 5, 20), 5u);
  EXPECT_EQ(ntinfo::name_inside(10, 6, 20), 0u);
  EXPECT_EQ(ntinfo::name_inside(~0ull - 1, 1, 20), 0u);
  EXPECT_EQ(ntinfo::name_inside(0, 300, 1000), 256u);
  EXPECT_EQ(ntinfo::proc_slot(5000), 1024u);
  EXPECT_EQ(ntinfo::start_of(35000000, 10000000), 2u);
  EXPECT_EQ(ntinfo::start_of(5, 10), 0u);
  EXPECT_EQ(ntinfo::start_of(~0ull, 0), 0xFFFFFFFFu);
  std::vector<u8> b = utf16(u"x/y\\z\u00e9\u0001");
  u8 out[16];
  u64 n = ntinfo::name_take(build::view(b), 0, 7, false, mem::Slice{out, sizeof out});
  EXPECT_EQ(text_of(out, n), "z??");
  EXPECT_EQ(ntinfo::name_take(build::view(b), 2, 8, false, mem::Slice{out, sizeof out}), 0u);  // runs past the end
  std::vector<u8> thread = utf16(u"kworker/0:1");
  n = ntinfo::name_take(build::view(thread), 0, 11, false, mem::Slice{out, sizeof out});
  EXPECT_EQ(text_of(out, n), "kworker/0:1");
}

// Bytes the walk reads in a head, and the name: everything else must be zero after the scrub.
std::vector<bool> kept_bytes(const std::vector<u8>& b) {
  std::vector<bool> keep(b.size(), false);
  const u64 ranges[][2] = {{0, 8}, {32, 72}, {80, 100}, {144, 152}, {184, 192}, {232, 248}};
  u64 pos = 0;
  while (true) {
    for (const auto& r : ranges) for (u64 i = r[0]; i < r[1]; ++i) keep[pos + i] = true;
    sysrec::ProcEntry e;
    std::memcpy(&e, b.data() + pos, sizeof e);
    for (u64 i = 0; i < e.name_length; ++i) keep[e.name_address - build::base_address + i] = true;
    if (e.next == 0) break;
    pos += e.next;
  }
  return keep;
}

TEST(NtProcesses, ScrubKeepsExactlyWhatTheWalkReads) {
  build::Chain c;
  c.add(proc(4, "System"), 2);
  c.add(proc(88, "C:\\Windows\\explorer.exe"), 5);
  c.add(proc(99, "last.exe"), 1);
  // Junk in every byte that is not part of a kept field.
  std::vector<bool> keep = kept_bytes(c.bytes);
  for (size_t i = 0; i < c.bytes.size(); ++i) {
    if (!keep[i]) c.bytes[i] = static_cast<u8>(0x5A ^ i);
  }
  std::vector<u8> before = c.bytes;
  auto w1 = std::make_unique<ntinfo::ProcWalk>(), w2 = std::make_unique<ntinfo::ProcWalk>();
  ntinfo::proc_walk(c.view(), build::base_address, 0, w1.get());
  ntinfo::proc_scrub(mem::Slice{c.bytes.data(), c.bytes.size()}, build::base_address);
  for (size_t i = 0; i < c.bytes.size(); ++i) ASSERT_EQ(c.bytes[i], keep[i] ? before[i] : 0) << "byte " << i;
  ntinfo::proc_walk(c.view(), build::base_address, 0, w2.get());
  EXPECT_EQ(std::memcmp(w1.get(), w2.get(), sizeof(ntinfo::ProcWalk)), 0);
}

}  // namespace
