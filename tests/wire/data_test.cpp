// The machine data kinds: inventory, sample, process rows and temperatures.
#include <stdio.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wire/proto.h"
#include "tests/wire/refusals.h"
#include "tests/wire/wire_util.h"

namespace {

using namespace wire_util;

void set_name(u8* slot, const char* text) {
  memset(slot, 0, 32);
  memcpy(slot, text, strlen(text));
}

proto::Inventory sample_inventory() {
  proto::Inventory inv;
  memset(&inv, 0, sizeof inv);
  for (u32 i = 0; i < 16; ++i) inv.id[i] = static_cast<u8>(0xA0 + i);
  inv.version[0] = 0, inv.version[1] = 1, inv.version[2] = 81;
  inv.hw_flags = 0x1F;  // only the low 4 bits travel
  inv.hw32[0] = 32768;
  inv.hw16[1] = 16;
  inv.gpu_count = 1, inv.disk_count = 3, inv.adapter_count = 2;
  inv.os_family = 2, inv.os_major = 6, inv.os_minor = 1, inv.os_value = 2, inv.os_build = 55;
  inv.disk_bits[0] = 0xFF;  // bits at and above 3 are cleared on the wire
  inv.disk_bits[6] = 0x5;
  inv.gpu_dedicated[0] = 8192;
  inv.gpu_type[0] = 0x41;  // the low 6 bits travel
  inv.gpu_type[2] = 5;     // beyond the GPU count: not sent
  set_name(inv.names[proto::name_computer], "build-01");
  set_name(inv.names[proto::name_os], "Linux 6.1.55");
  set_name(inv.names[proto::name_cpu], "Some CPU @ 3.40GHz");
  set_name(inv.names[proto::name_gpu], "GPU zero");
  set_name(inv.names[proto::name_gpu + 1], "unused GPU slot");
  for (u32 d = 0; d < 3; ++d) set_name(inv.names[proto::name_disk + d], "disk");
  set_name(inv.names[proto::name_disk_second + 2], "model");
  set_name(inv.names[proto::name_adapter + 1], "eth1");
  set_name(inv.names[proto::name_adapter + 2], "unused adapter");
  return inv;
}

TEST(Inventory, EncodesByteExactWithNamesAt288) {
  proto::Inventory inv = sample_inventory();
  Bytes out(1808);
  ASSERT_EQ(proto::encode_inventory(&inv, slice(out)), 1808u);
  EXPECT_EQ(proto::encode_inventory(&inv, mem::Slice{out.data(), 1807}), 0u);
  const u8* p = out.data() + 16;
  EXPECT_EQ(hexs(out.data(), 16), "5642503101000600" "0007000000000000");
  EXPECT_EQ(hexs(p + 16, 8), "000001005100" "0f00");
  EXPECT_EQ(hexs(p + 82, 14), "010302" "02" "0600" "0100" "02" "00" "37000000");
  EXPECT_EQ(hexs(p + 96, 8), "0700000000000000");
  EXPECT_EQ(hexs(p + 96 + 48, 8), "0500000000000000");
  EXPECT_EQ(hexs(p + 280, 8), "0100000000000000");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 288)), "build-01");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 288 + 32 * 2)), "Some CPU @ 3.40GHz");
  EXPECT_EQ(p[288 + 32 * 4], 0) << "GPU 1 does not exist";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 288 + 32 * 40)), "eth1");
  EXPECT_EQ(p[288 + 32 * 41], 0) << "adapter 2 does not exist";

  proto::Inventory back;
  ASSERT_EQ(proto::decode_inventory(view(out), &back), proto::ok);
  EXPECT_EQ(back.hw_flags, 15);
  EXPECT_EQ(back.disk_bits[0], 7u);
  EXPECT_EQ(back.gpu_type[0], 1);
  EXPECT_EQ(back.gpu_type[2], 0);
  EXPECT_EQ(back.hw32[0], 32768u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.names[proto::name_disk_second + 2])), "model");
  EXPECT_EQ(back.names[proto::name_gpu + 1][0], 0);
}

TEST(Inventory, Refusals) {
  proto::Inventory inv = sample_inventory();
  Bytes good(1808);
  proto::encode_inventory(&inv, slice(good));
  const u32 p = 16;
  std::vector<wire_check::Case> cases = {
      {"good", good, proto::ok},
      {"5 GPUs", with(good, p + 82, 5), proto::bad_content},
      {"17 disks", with(good, p + 83, 17), proto::bad_content},
      {"9 adapters", with(good, p + 84, 9), proto::bad_content},
      {"family 4", with(good, p + 85, 4), proto::bad_content},
      {"hardware flags 16", with16(good, p + 22, 16), proto::bad_content},
      {"system value 6", with(good, p + 90, 6), proto::bad_content},
      {"disk bit 3 with 3 disks", with64(good, p + 96, 0x8), proto::bad_content},
      {"disk bit in the last set", with64(good, p + 96 + 48, 0x10), proto::bad_content},
      {"GPU type 64", with(good, p + 280, 64), proto::bad_content},
      {"a type beyond the GPU count", with(good, p + 281, 1), proto::bad_content},
      {"a name for disk 3 of 3", with(good, p + 288 + 32 * 10, 'x'), proto::bad_content},
      {"a tab in the computer name", with(good, p + 288 + 1, '\t'), proto::bad_content},
      {"a byte after the name's end", with(good, p + 288 + 20, 'x'), proto::bad_content},
      {"bytes at 284 are not a name", with32(good, p + 284, 0x6c697562), proto::ok},
      {"a kind-7 frame", with16(good, 6, 7), proto::bad_length},
  };
  wire_check::refusals<proto::Inventory>(cases, proto::decode_inventory);
}

Bytes sample_row() {
  Bytes row(512);
  for (u32 i = 0; i < 512; ++i) row[i] = static_cast<u8>(i % 97);
  le(row, 4, 10000, 2);
  for (u32 at : {96u, 98u, 100u, 102u, 376u}) le(row, at, 2500, 2);
  for (u32 i = 32; i < 96; ++i) row[i] = 200;
  for (u32 i = 396; i < 496; ++i) row[i] = static_cast<u8>(i % 201);
  row[22] = 0xC1;  // a source bit and two high bits that never travel
  row[23] = 0x55;
  return row;
}

TEST(Sample, TheRowTravelsAtItsOwnOffsets) {
  Bytes row = sample_row();
  Bytes out(528);
  ASSERT_EQ(proto::encode_sample(row.data(), slice(out)), 528u);
  EXPECT_EQ(out[16 + 22], 0x01);
  EXPECT_EQ(out[16 + 23], 0);
  EXPECT_EQ(proto::get16(view(out), 16 + 20), proto::get16(view(row), 20));
  EXPECT_EQ(memcmp(out.data() + 16 + 24, row.data() + 24, 512 - 24), 0);
  Bytes back(512, 0);
  ASSERT_EQ(proto::decode_sample(view(out), back.data()), proto::ok);
  EXPECT_EQ(memcmp(back.data(), out.data() + 16, 512), 0);

  // Without a source bit the power value is 0 on the wire, whatever the row held.
  row[22] = 0x30;
  ASSERT_EQ(proto::encode_sample(row.data(), slice(out)), 528u);
  EXPECT_EQ(proto::get16(view(out), 16 + 20), 0);
  EXPECT_EQ(out[16 + 22], 0x30);
}

TEST(Sample, Refusals) {
  Bytes row = sample_row();
  Bytes good(528);
  proto::encode_sample(row.data(), slice(good));
  std::vector<wire_check::Case> cases = {
      {"good", good, proto::ok},
      {"load 10,001", with16(good, 16 + 4, 10001), proto::bad_content},
      {"kernel load 10,001", with16(good, 16 + 376, 10001), proto::bad_content},
  };
  for (u32 at : {96u, 98u, 100u, 102u}) cases.push_back({"GPU load", with16(good, 16 + at, 10001), proto::bad_content});
  for (u32 at : {32u, 95u, 396u, 459u, 460u, 475u, 476u, 495u}) {
    cases.push_back({"half units 201", with(good, 16 + at, 201), proto::bad_content});
  }
  cases.push_back({"201 outside the half-unit ranges", with(good, 16 + 496, 201), proto::ok});
  wire_check::refusals<wire_check::Sample>(cases, [](mem::Bytes f, wire_check::Sample* out) { return proto::decode_sample(f, out->b); });
}

proto::ProcRecord* proc_table(u32 rows) {
  auto* t = new proto::ProcRecord;
  memset(t, 0, sizeof *t);
  t->count = rows;
  t->flags = 0x13;
  t->totals[0] = 100, t->totals[1] = 200, t->totals[2] = 300;
  for (u32 i = 0; i < rows && i < 256; ++i) {
    proto::ProcRow& r = t->rows[i];
    r.pid = 1000 + i;
    r.start[0] = i, r.start[1] = 7;
    r.cpu = static_cast<u16>(i * 10);
    r.gpu = 5;
    r.memory = 4096 + i;
    r.disk_read = i;
    r.vram = 2;
    r.threads = 3;
    r.tcp = 1;
    r.flags = i % 8;
    snprintf(reinterpret_cast<char*>(r.name), 32, "proc-%u", i);
  }
  return t;
}

TEST(Procs, FullTableAndChangedRows) {
  std::unique_ptr<proto::ProcRecord> table(proc_table(5)), previous(proc_table(5));
  Bytes out(20552);
  // A full table carries every row and the full bit.
  u32 n = proto::encode_procs(table.get(), previous.get(), 1, slice(out));
  ASSERT_EQ(n, 16u + 56 + 80 * 5);
  EXPECT_EQ(hexs(out.data() + 16, 24), "0500" "0500" "13010000" "64000000" "c8000000" "2c010000" "00000000");
  EXPECT_EQ(proto::get64(view(out), 16 + 24), 0x1Fu);
  // Row 0 on the wire: the name moves from 44 to 48 behind four zero bytes.
  EXPECT_EQ(hexs(out.data() + 72, 48), "e8030000" "00000000" "07000000" "0000" "0500" "00100000" "00000000"
                                       "00000000" "00000000" "00000000" "0200" "0300" "0100" "0000" "00000000");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data() + 72 + 48)), "proc-0");

  // Against an equal copy, only changed rows and rows beyond the copy's count go.
  table->rows[3].cpu = 9999;
  table->count = 7;
  table->rows[5].pid = 5, table->rows[6].pid = 6;
  n = proto::encode_procs(table.get(), previous.get(), 0, slice(out));
  ASSERT_EQ(n, 16u + 56 + 80 * 3);
  EXPECT_EQ(proto::get64(view(out), 16 + 24), 0x68u);
  EXPECT_EQ(proto::get32(view(out), 16 + 4), 0x13u);

  // Applied to a receiver that holds the previous table, the result is the new table.
  std::unique_ptr<proto::ProcRecord> receiver(proc_table(5));
  ASSERT_EQ(proto::decode_procs(mem::Bytes(out.data(), n), receiver.get()), proto::ok);
  EXPECT_EQ(memcmp(receiver.get(), table.get(), sizeof *table), 0);

  // Nothing changed: an empty frame that still carries the head.
  n = proto::encode_procs(table.get(), table.get(), 0, slice(out));
  EXPECT_EQ(n, 16u + 56);
  EXPECT_EQ(proto::encode_procs(table.get(), nullptr, 0, mem::Slice{out.data(), 16 + 56 + 80 * 7 - 1}), 0u);
}

TEST(Procs, EmptyAndOversizedTables) {
  std::unique_ptr<proto::ProcRecord> empty(proc_table(0)), big(proc_table(300)), got(proc_table(3));
  Bytes out(20552);
  u32 n = proto::encode_procs(empty.get(), nullptr, 1, slice(out));
  ASSERT_EQ(n, 16u + 56);
  ASSERT_EQ(proto::decode_procs(mem::Bytes(out.data(), n), got.get()), proto::ok);
  EXPECT_EQ(got->count, 0u);
  EXPECT_EQ(got->flags, 0x13u);
  EXPECT_EQ(got->rows[2].pid, 1002u) << "unmentioned rows stay";
  n = proto::encode_procs(big.get(), nullptr, 1, slice(out));
  EXPECT_EQ(n, 16u + 56 + 80 * 256);
  EXPECT_EQ(proto::get16(view(out), 16), 256);
}

TEST(Procs, Refusals) {
  std::unique_ptr<proto::ProcRecord> table(proc_table(3));
  Bytes full(16 + 56 + 240);
  proto::encode_procs(table.get(), nullptr, 1, slice(full));
  Bytes part(16 + 56 + 160);
  table->rows[1].cpu = 1;
  std::unique_ptr<proto::ProcRecord> prev(proc_table(3));
  table->rows[2].cpu = 2;
  proto::encode_procs(table.get(), prev.get(), 0, slice(part));  // rows 1 and 2
  const u32 row0 = 16 + 56;
  std::vector<wire_check::Case> cases = {
      {"full", full, proto::ok},
      {"changed rows", part, proto::ok},
      {"N 3 with two rows", with16(part, 18, 3), proto::bad_length},
      {"T 257", with16(full, 16, 257), proto::bad_content},
      {"flag bit 5", with32(full, 20, 0x133), proto::bad_content},
      {"flag bit 9", with32(full, 20, 0x213), proto::bad_content},
      {"mask bit at T", with64(part, 40, 0xE), proto::bad_content},
      {"mask bit far above T", with64(part, 40 + 24, 1), proto::bad_content},
      {"mask bits differ from N", with64(part, 40, 0x2), proto::bad_content},
      {"full table missing a row", with32(with64(part, 40, 0x6), 20, 0x113), proto::bad_content},
      {"CPU 10,001", with16(full, row0 + 12, 10001), proto::bad_content},
      {"GPU 10,001", with16(full, row0 + 80 + 14, 10001), proto::bad_content},
      {"row flags 8", with16(full, row0 + 42, 8), proto::bad_content},
      {"a control byte in a name", with(full, row0 + 160 + 48 + 2, 7), proto::bad_content},
      {"CPU 10,000", with16(full, row0 + 12, 10000), proto::ok},
  };
  wire_check::refusals<proto::ProcRecord>(cases, proto::decode_procs);
}

// A temperature block as the machine record holds it: names at 68.
Bytes temps_block() {
  Bytes b(260, 0);
  le(b, 0, 1234, 4);
  le(b, 4, 655, 2);
  b[6] = 2;
  b[7] = 2;       // two named sensors
  b[8] = 0x5;     // values 0 and 2 of the four
  b[9] = 0xFF;    // frozen bits beyond the count never travel
  le(b, 10, 0x8001, 2);
  le(b, 12, 450, 2);
  le(b, 14, 999, 2);  // absent: not sent
  le(b, 16, -2729, 2);
  le(b, 20, 1500, 2);
  le(b, 50, 310, 2);
  le(b, 52, 420, 2);
  le(b, 54, -5, 2);
  memcpy(b.data() + 68, "ACPI zone TZ00", 14);
  memcpy(b.data() + 68 + 24, "exactly 23 characters!!", 23);
  memcpy(b.data() + 68 + 48, "third, not counted", 18);
  return b;
}

TEST(Temps, WireHasAZeroWordAndNamesAt72) {
  Bytes block = temps_block();
  Bytes out(280);
  ASSERT_EQ(proto::encode_temps(block.data(), slice(out)), 280u);
  const u8* p = out.data() + 16;
  EXPECT_EQ(hexs(p, 20), "d2040000" "8f02" "02" "02" "05" "03" "0180" "c201" "0000" "57f5" "0000");
  EXPECT_EQ(proto::get32(view(out), 16 + 68), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 72)), "ACPI zone TZ00");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 96)), "exactly 23 characters!!");
  EXPECT_EQ(p[120], 0) << "the third name is beyond the count";

  Bytes back(260, 0xEE);
  ASSERT_EQ(proto::decode_temps(view(out), back.data()), proto::ok);
  Bytes expect = block;
  expect[9] = 0x3;
  le(expect, 14, 0, 2);
  memset(expect.data() + 68 + 48, 0, 24);
  EXPECT_EQ(hexs(back.data(), 260), hexs(expect.data(), 260));

  // No source: neither the processor value nor its source travel.
  block[6] = 0;
  ASSERT_EQ(proto::encode_temps(block.data(), slice(out)), 280u);
  EXPECT_EQ(hexs(out.data() + 16 + 4, 3), "000000");
  block[6] = 4;
  ASSERT_EQ(proto::encode_temps(block.data(), slice(out)), 280u);
  EXPECT_EQ(hexs(out.data() + 16 + 4, 3), "000000");
}

TEST(Temps, Refusals) {
  Bytes block = temps_block();
  Bytes good(280);
  proto::encode_temps(block.data(), slice(good));
  const u32 p = 16;
  std::vector<wire_check::Case> cases = {
      {"good", good, proto::ok},
      {"source 4", with(good, p + 6, 4), proto::bad_content},
      {"9 named sensors", with(good, p + 7, 9), proto::bad_content},
      {"presence 16", with(good, p + 8, 16), proto::bad_content},
      {"a named bit at the count", with(good, p + 9, 4), proto::bad_content},
      {"the zero word", with(good, p + 68, 1), proto::bad_content},
      {"-2,730", with16(good, p + 12, -2730), proto::bad_content},
      {"1,501", with16(good, p + 20, 1501), proto::bad_content},
      {"-2,729", with16(good, p + 12, -2729), proto::ok},
      {"an absent value of 1", with16(good, p + 14, 1), proto::bad_content},
      {"an absent sixteenth value", with16(good, p + 22, 1), proto::bad_content},
      {"an absent named value", with16(good, p + 56, 1), proto::bad_content},
      {"a processor value without a source", with(with16(good, p + 4, 100), p + 6, 0), proto::bad_content},
      {"a 24-character name", with(good, p + 96 + 23, 'x'), proto::bad_content},
      {"a control byte in a name", with(good, p + 72, 1), proto::bad_content},
      {"a name beyond the count", with(good, p + 120, 'x'), proto::bad_content},
  };
  wire_check::refusals<wire_check::Temps>(cases, [](mem::Bytes f, wire_check::Temps* out) { return proto::decode_temps(f, out->b); });
}

TEST(Temps, HostsAbove0180TakeThem) {
  EXPECT_FALSE(proto::knows_temps(0, 1, 80));
  EXPECT_TRUE(proto::knows_temps(0, 1, 81));
  EXPECT_TRUE(proto::knows_temps(0, 2, 0));
  EXPECT_TRUE(proto::knows_temps(1, 0, 0));
  EXPECT_FALSE(proto::knows_temps(0, 0, 65535));
  EXPECT_TRUE(proto::temp_ok(0, 0));
  EXPECT_FALSE(proto::temp_ok(1, 0));
  EXPECT_TRUE(proto::temp_ok(-2729, 1));
  EXPECT_FALSE(proto::temp_ok(1501, 1));
}

}  // namespace
