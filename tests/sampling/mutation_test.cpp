// Seeded mutation loops over the decoders that read process chains, counter arrays and graphics sections from
// snapshot files and other processes. Each mutated buffer sits in a heap block of exactly its length, so under the
// sanitizers any read past its end fails the test; the checks after each decode hold whatever the bytes were.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sampling/gpu.h"
#include "sampling/heat.h"
#include "sampling/ntinfo.h"
#include "platform/sysrec.h"
#include "tests/sampling/builders.h"

namespace {

// A copy of the bytes in a block of exactly their length.
struct Exact {
  std::unique_ptr<u8[]> block;
  u64 len;
  explicit Exact(const std::vector<u8>& b) : block(new u8[b.empty() ? 1 : b.size()]), len(b.size()) {
    if (len) std::memcpy(block.get(), b.data(), len);
  }
  mem::Bytes view() const { return mem::Bytes(block.get(), len); }
  mem::Slice slice() { return mem::Slice{block.get(), len}; }
};

struct Mutator {
  std::mt19937_64 rng;
  explicit Mutator(u64 seed) : rng(seed) {}
  u64 below(u64 n) { return n ? rng() % n : 0; }

  // Values that sit on the decoders' edges: entry and item sizes, buffer ends, signs, wrap-arounds.
  u64 edgy(u64 len) {
    const u64 picks[] = {0, 1, 8, 12, 24, 48, 255, 256, 264, len, len - 8, len + 8, 0x7FFFFFFF, 0xFFFFFFFF,
                         0x80000000, ~0ull, build::base_address, build::base_address + len - 2, below(len)};
    return picks[below(std::size(picks))];
  }

  void mutate(std::vector<u8>& b) {
    for (u64 k = 1 + below(4); k > 0; --k) {
      if (b.empty()) return;
      switch (below(5)) {
        case 0:  // a random byte
          b[below(b.size())] = static_cast<u8>(rng());
          break;
        case 1:  // a u32 with an edge value, anywhere
        case 2: {
          u64 at = below(b.size());
          u32 v = static_cast<u32>(edgy(b.size()));
          std::memcpy(b.data() + at, &v, std::min<u64>(4, b.size() - at));
          break;
        }
        case 3: {  // a u64 (an address) with an edge value, 8-aligned
          u64 at = below(b.size()) & ~7ull;
          u64 v = edgy(b.size());
          std::memcpy(b.data() + at, &v, std::min<u64>(8, b.size() - at));
          break;
        }
        default:  // cut the buffer
          b.resize(below(b.size() + 1));
      }
    }
  }
};

std::vector<u8> base_chain() {
  build::Chain c;
  for (u32 i = 0; i < 30; ++i) {
    build::Proc p;
    p.pid = i * 4;
    p.create_time = 1000 + i;
    p.threads = i % 5 + 1;
    p.read_bytes = i % 7 ? i * 100 : sysrec::io_unreported;
    p.name = i % 3 ? "C:\\dir\\proc" + std::to_string(i) + ".exe" : "";
    c.add(p, i % 4);
  }
  return c.bytes;
}

TEST(Mutation, ProcessChainWalkAndScrub) {
  const std::vector<u8> base = base_chain();
  Mutator m(0x5EED0001);
  auto w1 = std::make_unique<ntinfo::ProcWalk>(), w2 = std::make_unique<ntinfo::ProcWalk>();
  for (int iter = 0; iter < 20000; ++iter) {
    std::vector<u8> b = base;
    m.mutate(b);
    u64 address = m.below(4) ? build::base_address : m.edgy(b.size());
    Exact e(b);
    ntinfo::proc_walk(e.view(), address, 1000, w1.get());
    ASSERT_EQ(w1->stored, ntinfo::proc_slot(w1->entries));
    ASSERT_LE(w1->entries, b.size() / 256);  // every entry walked has its whole head inside
    ASSERT_EQ(w1->flags & ~3u, 0u);
    for (u32 s = 0; s < w1->stored; ++s) {
      u8 name[40];
      u64 n = ntinfo::name_take(e.view(), w1->name_offset[s], w1->name_units[s], s == 0, mem::Slice{name, sizeof name});
      ASSERT_LE(n, sizeof name);
      for (u64 i = 0; i < n; ++i) ASSERT_TRUE(name[i] >= 32 && name[i] <= 126);
    }
    // The scrub keeps every field the walk reads, and a second scrub changes nothing.
    ntinfo::proc_scrub(e.slice(), address);
    ntinfo::proc_walk(e.view(), address, 1000, w2.get());
    ASSERT_EQ(w2->entries, w1->entries) << "iteration " << iter;
    ASSERT_EQ(w2->flags, w1->flags);
    u32 slots = std::min<u32>(w1->entries, ntinfo::walk_slots);
    ASSERT_EQ(std::memcmp(w1->pid, w2->pid, slots * 4), 0);
    ASSERT_EQ(std::memcmp(w1->cpu, w2->cpu, slots * 8), 0);
    ASSERT_EQ(std::memcmp(w1->write_bytes, w2->write_bytes, slots * 8), 0);
    std::vector<u8> once(e.block.get(), e.block.get() + e.len);
    ntinfo::proc_scrub(e.slice(), address);
    ASSERT_TRUE(e.len == 0 || std::memcmp(once.data(), e.block.get(), e.len) == 0);
  }
}

bool printable_or_zero(const u8* text, u64 n) {
  for (u64 i = 0; i < n; ++i) {
    if (text[i] != 0 && (text[i] < 32 || text[i] > 126)) return false;
  }
  return true;
}

TEST(Mutation, CounterArrays) {
  std::vector<build::Item> disks = {{"0 C:", 0, 1 << 20}, {"1 D: E:", 0, 5}, {"_Total", 0, 99}, {"2 F:", 1, 7}};
  std::vector<build::Item> energy = {{"RAPL_PKG", 0, 500, 11}, {"RAPL_DRAM", 0, 40, 12}, {"X_PSYS", 1, 8, 13}};
  std::vector<build::Item> zones = {{"\\_TZ.CPUZ", 0, 3100}, {"\\_TZ.GFXZ", 0, 3200}, {"\\_TZ.BATZ", 0, 2900}};
  const std::vector<u8> bases[] = {build::counter_array(disks, false), build::counter_array(energy, true),
                                   build::counter_array(zones, false)};
  Mutator m(0x5EED0002);
  for (int iter = 0; iter < 60000; ++iter) {
    std::vector<u8> b = bases[iter % 3];
    m.mutate(b);
    Exact e(b);
    u64 base = m.below(4) ? build::base_address : m.edgy(b.size());
    u32 count = static_cast<u32>(m.below(3) ? m.below(40) : m.edgy(b.size()));

    ntinfo::Items items;
    u32 n = ntinfo::pdh_decode(e.view(), base, count, &items);
    ASSERT_LE(n, std::min<u64>({count, 17, b.size() / 24}));
    for (u32 k = 0; k < n; ++k) ASSERT_TRUE(printable_or_zero(items.name[k], 32));

    u64 parts[4], stamps[4];
    u32 mask = ntinfo::energy_decode(e.view(), base, count, parts, stamps);
    ASSERT_EQ(mask & 4u, 0u);  // no name gives part 2
    ntinfo::meter_milliwatt(e.view(), base, count);

    heat::Readings r{};
    heat::zone_decode(e.view(), base, count, &r);
    ASSERT_LE(r.named, heat::sensors);
    for (u32 s = 0; s < r.named; ++s) {
      ASSERT_TRUE(heat::usable(r.sensor[s], true));
      ASSERT_TRUE(printable_or_zero(r.name[s], heat::name_bytes));
      ASSERT_EQ(r.name[s][heat::name_bytes - 1], 0);
    }

    // The same bytes read as interface rows, a TCP table and a battery answer.
    ntinfo::Nics nics;
    ASSERT_LE(ntinfo::nic_decode(e.view(), count, &nics), b.size() / 1352);
    u32 pids[64];
    ASSERT_LE(ntinfo::tcp_take(e.view(), 24, 20, pids, 64, 0), 64u);
    ntinfo::battery_drain(e.view());
  }
}

TEST(Mutation, GraphicsArraysAndSections) {
  const std::string luid = "luid_0x00000000_0x0000D1F0_phys_0";
  std::vector<build::Item> adapters = {{luid, 0, 1 << 30}, {"luid_0x00000001_0x00000002_phys_1", 0, 5}, {"_Total", 0, 1}};
  std::vector<build::Item> engines, memory;
  for (u32 i = 0; i < 12; ++i) {
    build::Item it{"pid_" + std::to_string(100 + i) + "_" + luid + "_eng_" + std::to_string(i) + "_engtype_3D", 0, 1000};
    it.second = 5000;
    engines.push_back(it);
    memory.push_back({"pid_" + std::to_string(100 + i) + "_" + luid, 0, 4096});
  }
  const std::vector<u8> bases[] = {build::counter_array(adapters, false), build::counter_array(engines, true),
                                   build::counter_array(memory, false)};
  auto table = std::make_unique<gpu::InstanceTable>();
  auto section = std::make_unique<gpu::Section>();
  auto list = std::make_unique<gpu::AdapterList>();
  auto folded = std::make_unique<gpu::Engines>();
  *table = gpu::InstanceTable{};
  Mutator m(0x5EED0003);
  for (int iter = 0; iter < 6000; ++iter) {
    *section = gpu::Section{};
    gpu::table_reset(table.get());
    for (u32 a = 0; a < 4; ++a) {
      std::vector<u8> b = bases[a == 0 || a == 1 ? 0 : a - 1];
      m.mutate(b);
      Exact e(b);
      u64 base = m.below(4) ? build::base_address : m.edgy(b.size());
      u32 count = static_cast<u32>(m.below(3) ? m.below(40) : m.edgy(b.size()));
      gpu::build(a, m.below(8) != 0, e.block.get(), static_cast<u32>(e.len), base, count, table.get(), section.get());
    }
    ASSERT_LE(section->adapters, gpu::adapters_max);
    ASSERT_LE(section->engine_rows, gpu::engines_max);
    ASSERT_LE(section->memory_rows, gpu::memory_max);
    for (u32 r = 0; r < section->engine_rows; ++r) ASSERT_TRUE(section->util[r] >= 0 && section->util[r] <= 10000);
    ASSERT_LE(table->count[table->generation], gpu::keys_max);

    // A section and adapter list from a file or another process: any bytes at all.
    u8* raw = reinterpret_cast<u8*>(section.get());
    for (u32 k = 0; k < 64; ++k) raw[m.below(sizeof(gpu::Section))] = static_cast<u8>(m.rng());
    for (u32 k = 0; k < 8; ++k) {
      u32 v = static_cast<u32>(m.edgy(sizeof(gpu::Section)));
      std::memcpy(raw + (m.below(6) * 4), &v, 4);  // the counts and flags
    }
    u8* lb = reinterpret_cast<u8*>(list.get());
    for (u32 k = 0; k < 64; ++k) lb[m.below(sizeof(gpu::AdapterList))] = static_cast<u8>(m.rng());
    gpu::Kept kept;
    gpu::fold_procs(section.get(), list.get(), &kept);
    ASSERT_LE(kept.count, gpu::kept_max);
    gpu::fold_engines(section.get(), &kept, folded.get());
    for (u32 slot = 0; slot < gpu::kept_max; ++slot) ASSERT_LE(folded->mask[slot], 63);
  }
}

}  // namespace

