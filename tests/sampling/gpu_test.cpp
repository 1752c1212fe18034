// Graphics counters: instance names, engine classes, rates from the double-buffered table, the section rows and
// the folds the usage passes read.
#include "sampling/gpu.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/sampling/builders.h"

namespace {

mem::Bytes text(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

const char* const luid_a = "luid_0x00000000_0x0000D1F0_phys_0";
const char* const luid_b = "luid_0x00000001_0x00030000_phys_0";
constexpr u64 a_luid = 0xD1F0, b_luid = 0x100030000ull;

struct Gpu {
  std::unique_ptr<gpu::InstanceTable> table = std::make_unique<gpu::InstanceTable>();
  std::unique_ptr<gpu::Section> section = std::make_unique<gpu::Section>();
  Gpu() {
    *table = gpu::InstanceTable{};
    *section = gpu::Section{};
  }
  // A new sample: a fresh section and a new table generation.
  void next() {
    *section = gpu::Section{};
    gpu::table_reset(table.get());
  }
  void put(u32 array, const std::vector<build::Item>& items) {
    std::vector<u8> b = build::counter_array(items, array == 2);
    gpu::build(array, true, b.data(), static_cast<u32>(b.size()), build::base_address, static_cast<u32>(items.size()),
               table.get(), section.get());
  }
};

build::Item raw(const std::string& name, u32 status, i64 busy, i64 time) {
  build::Item it{name, status, busy};
  it.second = time;
  return it;
}

std::string engine(u32 pid, const char* luid, u32 eng, const char* type) {
  return "pid_" + std::to_string(pid) + "_" + luid + "_eng_" + std::to_string(eng) + "_engtype_" + type;
}

TEST(GpuNames, InstanceGrammar) {
  struct Case {
    const char* name;
    u8 parts;
    u32 pid;
    u64 luid;
    u32 phys, engine;
    u8 engine_class;
  } cases[] = {
      {"pid_1234_luid_0x00000000_0x0000D1F0_phys_0_eng_3_engtype_3D", 7, 1234, 0xD1F0, 0, 3, 1},
      {"luid_0x00000001_0x00030000_phys_2", 2, 0, 0x100030000ull, 2, 0, 0},
      {"pid_77_luid_0xABCDEF01_0xabcdef02_phys_1", 3, 77, 0xABCDEF01ABCDEF02ull, 1, 0, 0},
      // Digits not followed by "_": no process part, and then no adapter at 0 either.
      {"pid_12x_luid_0x00000000_0x0000D1F0_phys_0", 0, 0, 0, 0, 0, 0},
      // Eleven digits are not a process number.
      {"pid_12345678901_luid_0x00000000_0x0000D1F0_phys_0", 0, 0, 0, 0, 0, 0},
      // Ten digits saturate.
      {"pid_9999999999_luid_0x00000000_0x0000D1F0_phys_0_eng_4294967296_engtype_Copy", 7, 0xFFFFFFFFu, 0xD1F0, 0,
       0xFFFFFFFFu, 2},
      {"luid_0x0000000G_0x0000D1F0_phys_0", 0, 0, 0, 0, 0, 0},
      {"luid_0x00000000_0x0000D1F0_phys_", 0, 0, 0, 0, 0, 0},
      // An engine part without its type is not one.
      {"luid_0x00000000_0x0000D1F0_phys_0_eng_2", 2, 0, 0xD1F0, 0, 0, 0},
      {"luid_0x00000000_0x0000D1F0_phys_0_eng_2_engtype_", 6, 0, 0xD1F0, 0, 2, 0},
      {"", 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    gpu::Instance i = gpu::parse_instance(text(c.name));
    SCOPED_TRACE(c.name);
    EXPECT_EQ(i.parts, c.parts);
    EXPECT_EQ(i.pid, c.pid);
    EXPECT_EQ(i.luid, c.luid);
    EXPECT_EQ(i.phys, c.phys);
    EXPECT_EQ(i.engine, c.engine);
    EXPECT_EQ(i.engine_class, c.engine_class);
  }
}

TEST(GpuNames, EngineClassesAndIds) {
  struct {
    const char* type;
    u8 expected;
  } classes[] = {
      {"3D", 1},           {"3DRender", 1},          {"Copy", 2},        {"VideoDecode", 3},
      {"Video Encode", 4}, {"VideoEncodeDecode", 0}, {"VideoProcessing", 0}, {"Video", 0},
      {"Compute_1", 5},    {"3DCompute", 5},         {"copy", 0},        {"", 0},
  };
  for (auto& c : classes) EXPECT_EQ(gpu::engine_class(text(c.type)), c.expected) << c.type;

  EXPECT_EQ(gpu::id_after(text("PCI\\VEN_10DE&DEV_2484&SUBSYS"), text("ven_")), 0x10DE);
  EXPECT_EQ(gpu::id_after(text("pci\\ven_1002&dev_73bf"), text("DEV_")), 0x73BF);
  // The first match lacks its digits; the second has them.
  EXPECT_EQ(gpu::id_after(text("ven_zz ven_8086"), text("ven_")), 0x8086);
  EXPECT_EQ(gpu::id_after(text("ven_123"), text("ven_")), -1);
  EXPECT_EQ(gpu::id_after(text(""), text("ven_")), -1);
}

TEST(GpuRates, UtilisationOfTwoDeltas) {
  EXPECT_EQ(gpu::util_of(0, 0), 0u);
  EXPECT_EQ(gpu::util_of(5, 0), 0u);
  EXPECT_EQ(gpu::util_of(1, 3), 3333u);
  EXPECT_EQ(gpu::util_of(2, 3), 6667u);
  EXPECT_EQ(gpu::util_of(9, 4), 10000u);  // busy above the interval is capped
  // Above 2^40 both shift by 24 bits and still give the percentage.
  u64 b = (1ull << 41) + 12345;
  EXPECT_EQ(gpu::util_of(b / 4, b), 2500u);
  EXPECT_EQ(gpu::util_of(~0ull / 2, ~0ull), 5000u);
}

TEST(GpuBuild, AdaptersFromTheMemoryArrays) {
  Gpu g;
  std::vector<build::Item> dedicated = {{"_Total", 0, 5}, {luid_a, 0, 1000}, {luid_b, 0, -7},
                                        {engine(4, luid_a, 0, "3D"), 0, 99}};
  for (u32 i = 0; i < 7; ++i) {
    char name[64];
    snprintf(name, sizeof name, "luid_0x00000000_0x000000%02X_phys_0", i + 16);
    dedicated.push_back({name, 0, 1});
  }
  g.put(0, dedicated);
  g.put(1, {{luid_b, 0, 4096}, {"luid_0x00000000_0x00000099_phys_0", 0, 1}, {luid_a, sysrec::counter_new + 1, 5}});
  const gpu::Section& s = *g.section;
  EXPECT_EQ(s.adapters, 8u);
  EXPECT_EQ(s.flags, u32{gpu::adapters_over});  // the ninth
  EXPECT_EQ(s.luid[0], a_luid);
  EXPECT_EQ(s.dedicated[0], 1000u);
  EXPECT_EQ(s.luid[1], b_luid);
  EXPECT_EQ(s.dedicated[1], 0u);  // negative
  EXPECT_EQ(s.shared[1], 4096u);
  EXPECT_EQ(s.shared[0], 0u);  // bad status
  EXPECT_EQ(gpu::adapter_index(&s, b_luid), 1);
  EXPECT_EQ(gpu::adapter_index(&s, 0x99), gpu::not_listed);

  Gpu failed;
  for (u32 a = 0; a < 4; ++a) gpu::build(a, false, nullptr, 0, 0, 0, failed.table.get(), failed.section.get());
  EXPECT_EQ(failed.section->flags, u32{gpu::engines_failed | gpu::memory_failed | gpu::process_failed});
  EXPECT_EQ(failed.section->engine_rows, 0u);
}

TEST(GpuBuild, EnginesGetARateFromTheirSecondSample) {
  Gpu g;
  auto sample = [&](i64 busy, i64 time, u32 status) {
    g.next();
    g.put(0, {{luid_a, 0, 0}});
    g.put(2, {raw(engine(10, luid_a, 0, "3D"), status, busy, time),
              raw("not an engine", 0, 5, time),
              raw(engine(11, luid_b, 7, "VideoDecode"), 0, busy / 2, time),
              raw(engine(12, "luid_0x00000000_0x0000D1F0_phys_9", 300, "Compute"), 0, busy, time)});
    g.put(3, {{"pid_10_" + std::string(luid_a), 0, 1 << 20}, {luid_a, 0, 5}, {engine(10, luid_a, 1, "Copy"), 0, 1}});
  };
  sample(1000, 10000, 0);
  const gpu::Section& s = *g.section;
  ASSERT_EQ(s.engine_rows, 3u);
  EXPECT_EQ(s.engines_seen, 3u);
  EXPECT_EQ(s.util[0], 0);  // first sighting
  EXPECT_EQ(g.table->parsed, 4u + 3u);
  sample(4000, 20000, 0);
  EXPECT_EQ(g.table->found, 7u);    // no name parsed twice
  EXPECT_EQ(g.table->parsed, 7u);
  EXPECT_EQ(s.util[0], 3000);       // 3,000 of 10,000
  EXPECT_EQ(s.engine_pid[0], 10u);
  EXPECT_EQ(s.engine_adapter[0], 0);
  EXPECT_EQ(s.util[1], 1500);
  EXPECT_EQ(s.engine_adapter[1], gpu::not_listed);
  EXPECT_EQ(s.engine_number[1], 7);
  EXPECT_EQ(s.engine_number[2], 255);  // capped
  EXPECT_EQ(s.engine_phys[2], 3);
  EXPECT_EQ(s.class_bits[0][0], 0b111u);  // classes 1, 3, 5 of rows 0..2
  EXPECT_EQ(s.class_bits[1][0], 0b010u);
  EXPECT_EQ(s.class_bits[2][0], 0b100u);
  ASSERT_EQ(s.memory_rows, 1u);
  EXPECT_EQ(s.memory_pid[0], 10u);
  EXPECT_EQ(s.memory_bytes[0], 1u << 20);
  EXPECT_EQ(s.memory_adapter[0], 0);
  // A bad status this sample gives no rate; a counter that went back gives 0.
  sample(3000, 30000, 7);
  EXPECT_EQ(s.util[0], 0);
  EXPECT_EQ(s.util[1], 0);
  // A name not seen in the last sample starts over.
  g.next();
  g.next();
  g.put(2, {raw(engine(10, luid_a, 0, "3D"), 0, 9000, 40000)});
  EXPECT_EQ(s.util[0], 0);
}

TEST(GpuBuild, CapsOfRowsAndOfTheTable) {
  Gpu g;
  std::vector<build::Item> items;
  for (u32 i = 0; i < gpu::keys_max + 100; ++i) items.push_back(raw(engine(i, luid_a, 0, "3D"), 0, 10, 100));
  std::vector<build::Item> memory;
  for (u32 i = 0; i < gpu::memory_max + 3; ++i) memory.push_back({"pid_" + std::to_string(i) + "_" + luid_a, 0, 1});
  for (u32 round = 0; round < 2; ++round) {
    g.next();
    g.put(2, items);
    for (auto& it : items) it.value += 50, it.second += 100;
  }
  const gpu::Section& s = *g.section;
  EXPECT_EQ(s.engine_rows, gpu::engines_max);
  EXPECT_EQ(s.engines_seen, gpu::keys_max + 100);
  EXPECT_EQ(s.flags, u32{gpu::engines_truncated});
  EXPECT_EQ(g.table->count[g.table->generation], gpu::keys_max);
  // The stored ones have their rate; the rest, past the table's keys, show 0.
  EXPECT_EQ(s.util[0], 5000);
  EXPECT_EQ(s.util[gpu::engines_max - 1], 5000);
  g.next();
  g.put(3, memory);
  EXPECT_EQ(s.memory_rows, gpu::memory_max);
  EXPECT_EQ(s.memory_seen, gpu::memory_max + 3);
  EXPECT_EQ(s.flags, u32{gpu::process_truncated});
}

TEST(GpuFolds, KeptAdaptersSkipSoftwareDevices) {
  auto list = std::make_unique<gpu::AdapterList>();
  *list = gpu::AdapterList{};
  gpu::Section s{};
  s.adapters = 7;
  for (u32 a = 0; a < 7; ++a) s.luid[a] = 100 + a;
  // Adapter 101 is listed twice: the newer entry (a software device) counts.
  u64 luids[] = {101, 101, 102, 103};
  u32 types[] = {0, gpu::software_device, 0, 0};
  u64 seen[] = {5, 9, 1, 1};
  for (u32 j = 0; j < 4; ++j) {
    list->luid[j] = luids[j];
    list->type[j] = types[j];
    list->last_seen[j] = seen[j];
  }
  list->listed = 4;
  gpu::Kept k;
  gpu::fold_procs(&s, list.get(), &k);
  EXPECT_EQ(k.count, 4u);
  EXPECT_EQ(k.overflow, 1u);
  u8 sections[] = {0, 2, 3, 4};
  i32 listed[] = {-1, 2, 3, -1};
  for (u32 i = 0; i < 4; ++i) {
    EXPECT_EQ(k.section[i], sections[i]);
    EXPECT_EQ(k.listed[i], listed[i]);
  }
  u8 slot_of[] = {0, 255, 1, 2, 3, 255, 255, 255};
  for (u32 a = 0; a < 8; ++a) EXPECT_EQ(k.slot_of[a], slot_of[a]) << a;

  // A hostile count is clamped to the section's 8.
  s.adapters = 1000;
  gpu::fold_procs(&s, list.get(), &k);
  EXPECT_EQ(k.count, 4u);
}

TEST(GpuFolds, BusiestEngineOfEachClass) {
  auto s = std::make_unique<gpu::Section>();
  *s = gpu::Section{};
  for (u8& a : s->engine_adapter) a = gpu::not_listed;
  s->adapters = 2;
  gpu::Kept k{};
  k.count = 2;
  for (u8& m : k.slot_of) m = gpu::not_listed;
  k.slot_of[0] = 1;  // section adapter 0 is kept slot 1
  k.slot_of[1] = 0;
  struct Row {
    u8 adapter, phys, number, engine_class;
    i16 util;
  } rows[] = {
      {0, 0, 0, 1, 3000}, {0, 0, 0, 1, 2000},  // two processes on one engine add up
      {0, 0, 1, 1, 4000}, {0, 1, 0, 2, 700},   // another 3D engine; a copy engine on physical adapter 1
      {1, 0, 5, 3, 100},  {1, 0, 6, 7, 900},   // class 7 counts as compute
      {1, 0, 6, 7, -5},   {2, 0, 0, 1, 9999},  // negative adds nothing; adapter 2 is not kept
      // Hostile indexes: physical index and adapter index out of their ranges stay inside the cells.
      {0, 255, 255, 1, 100}, {200, 255, 255, 1, 10000},
  };
  u32 n = 0;
  for (const Row& r : rows) {
    s->engine_adapter[n] = r.adapter;
    s->engine_phys[n] = r.phys;
    s->engine_number[n] = r.number;
    s->util[n] = r.util;
    for (u32 b = 0; b < 3; ++b) s->class_bits[b][0] |= static_cast<u64>(r.engine_class >> b & 1) << n;
    ++n;
  }
  s->engine_rows = 0xFFFFFFFFu;  // clamped to the rows a section can hold
  auto e = std::make_unique<gpu::Engines>();
  gpu::fold_engines(s.get(), &k, e.get());
  EXPECT_EQ(e->max[1][1], 5000u);
  EXPECT_EQ(e->max[1][2], 700u);
  EXPECT_EQ(e->mask[1], 0b110);
  EXPECT_EQ(e->max[0][3], 100u);
  EXPECT_EQ(e->max[0][5], 900u);
  EXPECT_EQ(e->mask[0], 0b101000);
  EXPECT_EQ(gpu::adapter_peak(e.get(), 1), 5000u);
  EXPECT_EQ(gpu::adapter_peak(e.get(), 0), 900u);
  EXPECT_EQ(gpu::adapter_peak(e.get(), 2), 0u);
  EXPECT_EQ(gpu::adapter_peak(e.get(), 9), 0u);
}

}  // namespace
