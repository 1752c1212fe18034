#include "sampling/model.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

mem::Bytes bytes_of(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

std::string full_name(const model::ProcTable* t, u32 row) {
  u8 out[model::name_max];
  u64 n = model::proc_full_name(t, row, mem::Slice{out, sizeof out});
  return std::string(reinterpret_cast<const char*>(out), n);
}

u32 hash_entries(const model::ProcTable* t) {
  u32 n = 0;
  for (u64 e : t->hash) n += e != 0;
  return n;
}

struct Table : ::testing::Test {
  std::unique_ptr<model::ProcTable> t = std::make_unique<model::ProcTable>();
  void SetUp() override { model::table_init(t.get()); }
  u64 add(u32 pid, u32 start = 1, const std::string& name = "p") {
    return model::proc_upsert(t.get(), pid, 1, start, bytes_of(name));
  }
  void expect_balanced() {
    EXPECT_EQ(t->count + t->free_count + t->retired, model::rows);
    EXPECT_EQ(hash_entries(t.get()), t->count);
  }
};

TEST_F(Table, FullTableRefusesTheNextProcess) {
  EXPECT_EQ(t->free_count, 1024u);
  for (u32 i = 0; i < 1024; ++i) ASSERT_NE(add(i * 7), model::no_handle) << i;
  EXPECT_EQ(add(99999), model::no_handle);
  EXPECT_EQ(t->count, 1024u);
  EXPECT_EQ(t->free_count, 0u);
  // Already present with the same start key: still answered when full.
  EXPECT_NE(add(7), model::no_handle);
  for (u32 i = 0; i < 1024; ++i) ASSERT_EQ(model::proc_find_row(t.get(), i * 7), i);
  expect_balanced();
}

TEST_F(Table, ReusedPidGetsANewRowAndTheOldHandleGoesStale) {
  u64 a = add(5, 100, "old");
  u64 b = add(6, 100, "other");
  EXPECT_EQ(add(5, 100, "renamed"), a);  // same process: the name stays
  EXPECT_EQ(str(model::proc_name(t.get(), model::proc_row(t.get(), a))), "old");
  t->fresh[0] = 0;
  u64 c = add(5, 200, "new");
  EXPECT_NE(c, a);
  EXPECT_EQ(model::proc_row(t.get(), a), model::no_row);
  EXPECT_FALSE(model::handle_ok(t.get(), a));
  u32 row = model::proc_row(t.get(), c);
  ASSERT_NE(row, model::no_row);
  EXPECT_EQ(t->start_key[row], 200u);
  EXPECT_EQ(str(model::proc_name(t.get(), row)), "new");
  EXPECT_TRUE((t->fresh[0] >> row) & 1);
  EXPECT_EQ(model::proc_row(t.get(), b), 0u);  // the last row moved into the hole
  EXPECT_EQ(model::proc_find(t.get(), 5), c);
  EXPECT_EQ(model::proc_find(t.get(), 77), model::no_handle);
  expect_balanced();
}

TEST_F(Table, RemovalMovesTheLastRowWithItsBits) {
  u64 h[4];
  for (u32 i = 0; i < 4; ++i) h[i] = add(10 + i, i, "n" + std::to_string(i));
  t->cpu[3] = 1234;
  t->prev_read[3] = 99;
  t->critical[0] = 1ull << 3;
  t->gpu_present[0] = 1ull << 1;
  model::remove_row(t.get(), 1);
  EXPECT_EQ(t->count, 3u);
  EXPECT_EQ(model::proc_row(t.get(), h[3]), 1u);
  EXPECT_EQ(t->pid[1], 13u);
  EXPECT_EQ(t->cpu[1], 1234);
  EXPECT_EQ(t->prev_read[1], 99u);
  EXPECT_EQ(t->critical[0], 1ull << 1);
  EXPECT_EQ(t->gpu_present[0], 0u);
  EXPECT_EQ(str(model::proc_name(t.get(), 1)), "n3");
  EXPECT_EQ(t->pid[3], 0u);
  EXPECT_EQ(t->cpu[3], 0);
  // The last row goes without moving anything.
  model::remove_row(t.get(), 2);
  EXPECT_EQ(t->count, 2u);
  EXPECT_EQ(model::proc_row(t.get(), h[0]), 0u);
  EXPECT_EQ(model::proc_row(t.get(), h[3]), 1u);
  EXPECT_EQ(model::proc_row(t.get(), h[2]), model::no_row);
  model::remove_row(t.get(), 7);  // beyond the rows: nothing
  EXPECT_EQ(t->count, 2u);
  expect_balanced();
}

TEST_F(Table, ExhaustedSlotIsRetiredForGood) {
  u64 h = add(42);
  u32 slot = model::handle_index(h);
  t->generation[slot] = 0xFFFFFFFEu;
  h = model::handle_make(slot, 0xFFFFFFFEu);
  EXPECT_EQ(model::proc_row(t.get(), h), 0u);
  model::remove_row(t.get(), 0);
  EXPECT_EQ(t->retired, 1u);
  EXPECT_EQ(t->free_count, 1023u);
  EXPECT_EQ(t->generation[slot], 0xFFFFFFFFu);
  expect_balanced();
  for (u32 i = 0; i < 1023; ++i) {
    u64 k = add(1000 + i);
    ASSERT_NE(k, model::no_handle);
    ASSERT_NE(model::handle_index(k), slot);
  }
  EXPECT_EQ(add(5000), model::no_handle);
  expect_balanced();
  EXPECT_EQ(model::next_generation(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_FALSE(model::reusable(0xFFFFFFFFu));
}

TEST_F(Table, LongNames) {
  std::string n33(33, 'a'), n260(260, 'b'), n300(300, 'c');
  n33[32] = 'Z';
  add(1, 1, n33);
  add(2, 1, n260);
  add(3, 1, n300);
  EXPECT_EQ(full_name(t.get(), 0), n33);
  EXPECT_EQ(t->tail_len[0], 1);
  EXPECT_FALSE(model::proc_name_cut(t.get(), 0));
  EXPECT_EQ(str(model::proc_name(t.get(), 0)), n33.substr(0, 32));
  EXPECT_EQ(full_name(t.get(), 1), n260);
  EXPECT_FALSE(model::proc_name_cut(t.get(), 1));
  EXPECT_EQ(full_name(t.get(), 2), n300.substr(0, 260));
  EXPECT_TRUE(model::proc_name_cut(t.get(), 2));
  EXPECT_EQ(model::tail_bytes(32), 0u);
  EXPECT_EQ(model::tail_bytes(300), 228u);

  // Fill the 64 long-name slots; the next long name keeps only its first 32 bytes.
  for (u32 i = 3; i < 64; ++i) add(100 + i, 1, std::string(40, 'x'));
  EXPECT_EQ(t->long_in_use, ~0ull);
  std::string late(50, 'L');
  add(500, 1, late);
  u32 row = model::proc_find_row(t.get(), 500);
  EXPECT_EQ(full_name(t.get(), row), late.substr(0, 32));
  EXPECT_TRUE(model::proc_name_cut(t.get(), row));
  // Removing a long name frees its slot for the next one.
  model::remove_row(t.get(), model::proc_find_row(t.get(), 2));
  add(501, 1, n260);
  EXPECT_EQ(full_name(t.get(), model::proc_find_row(t.get(), 501)), n260);
  EXPECT_EQ(full_name(t.get(), model::proc_find_row(t.get(), 1)), n33);
  // A caller's buffer shorter than the name gets what fits.
  u8 small[40];
  EXPECT_EQ(model::proc_full_name(t.get(), model::proc_find_row(t.get(), 501), mem::Slice{small, 40}), 40u);
  EXPECT_EQ(model::name_end(reinterpret_cast<const u8*>("ab\0c"), 4), 2u);
  EXPECT_EQ(model::name_end(reinterpret_cast<const u8*>("abcd"), 3), 3u);
}

TEST_F(Table, HashRemovalAcrossTheEndKeepsEveryPidFindable) {
  // Pids whose home is one of the last two entries or the first: their probes wrap around the end.
  std::vector<u32> pids;
  for (u32 pid = 0; pids.size() < 12; ++pid) {
    u32 home = model::hash_slot(pid);
    if (home >= 2046 || home == 0) pids.push_back(pid);
  }
  EXPECT_EQ(pids[0], 0u);  // pid 0 lives at home 0 and must not read as empty
  for (u32 pid : pids) add(pid);
  for (size_t k = 0; k < pids.size(); ++k) {
    u32 row = model::proc_find_row(t.get(), pids[k]);
    ASSERT_NE(row, model::no_row);
    model::remove_row(t.get(), row);
    EXPECT_EQ(model::proc_find_row(t.get(), pids[k]), model::no_row);
    for (size_t j = k + 1; j < pids.size(); ++j) {
      u32 r = model::proc_find_row(t.get(), pids[j]);
      ASSERT_NE(r, model::no_row) << "pid " << pids[j] << " lost after removing " << pids[k];
      ASSERT_EQ(t->pid[r], pids[j]);
    }
    expect_balanced();
  }
  EXPECT_TRUE(model::must_move(2047, 1, 0));
  EXPECT_FALSE(model::must_move(1, 2, 0));
  // A hash filled by something else than these functions still ends every probe.
  for (u64& e : t->hash) e = 0xFFFFFFFF00000001ull;
  EXPECT_EQ(model::hash_probe(t.get(), 5), model::hash_size);
  EXPECT_EQ(model::proc_find_row(t.get(), 5), model::no_row);
  EXPECT_EQ(add(5), model::no_handle);
}

TEST_F(Table, SweepRemovesWhatWasNotKept) {
  for (u32 i = 0; i < 200; ++i) add(i, 7);
  model::proc_sweep(t.get());  // clears the marks of the adds
  for (u32 i = 0; i < 200; i += 3) model::proc_keep(t.get(), i, 7);
  model::proc_keep(t.get(), 1, 8);  // another start key: not kept
  EXPECT_EQ(model::proc_sweep(t.get()), 200u - 67);
  EXPECT_EQ(t->count, 67u);
  for (u32 i = 0; i < 200; ++i) EXPECT_EQ(model::proc_find_row(t.get(), i) != model::no_row, i % 3 == 0) << i;
  for (u64 w : t->seen) EXPECT_EQ(w, 0u);
  EXPECT_EQ(model::proc_sweep(t.get()), 67u);
  EXPECT_EQ(t->count, 0u);
  expect_balanced();
}

// The table against a plain map over random operations: after every step the counts balance, every pid is found
// with its start key and name, every live handle resolves to its row and every handle of a removed row is stale.
struct Expect {
  u32 start;
  std::string stored;
  bool cut;
  bool long_slot;
  u64 handle;
  bool seen;
};

std::string random_name(std::mt19937_64& rng) {
  static const u32 lengths[] = {0, 1, 5, 31, 32, 33, 40, 200, 260, 261, 300};
  std::string s(lengths[rng() % std::size(lengths)], 'a');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

TEST_F(Table, AgreesWithAMapOverRandomOperations) {
  for (u64 seed : {1ull, 2ull, 3ull, 20240601ull}) {
    model::table_init(t.get());
    std::mt19937_64 rng(seed);
    std::map<u32, Expect> m;
    std::vector<u64> stale;
    u32 long_used = 0;
    auto drop = [&](u32 pid) {
      long_used -= m[pid].long_slot;
      stale.push_back(m[pid].handle);
      m.erase(pid);
    };
    for (int step = 0; step < 4000; ++step) {
      u32 op = rng() % 100;
      // A pid range larger than the table, so the table fills, and sweeps that thin it again.
      u32 pid = static_cast<u32>(rng() % 1400);
      u32 start = static_cast<u32>(rng() % 3);
      if (op < 60) {
        std::string name = random_name(rng);
        u64 h = add(pid, start, name);
        auto it = m.find(pid);
        if (it != m.end() && it->second.start == start) {
          EXPECT_EQ(h, it->second.handle);
          it->second.seen = true;
          continue;
        }
        if (it != m.end()) drop(pid);
        if (m.size() == model::rows) {
          ASSERT_EQ(h, model::no_handle);
          continue;
        }
        ASSERT_NE(h, model::no_handle);
        bool wants_tail = name.size() > 32, gets_tail = wants_tail && long_used < 64;
        long_used += gets_tail;
        std::string stored = gets_tail ? name.substr(0, 260) : name.substr(0, 32);
        m[pid] = Expect{start, stored, name.size() > 260 || (wants_tail && !gets_tail), gets_tail, h, true};
      } else if (op < 80) {
        model::proc_keep(t.get(), pid, start);
        auto it = m.find(pid);
        if (it != m.end() && it->second.start == start) it->second.seen = true;
      } else if (op < 85) {
        u32 gone = 0;
        for (auto it = m.begin(); it != m.end();) {
          auto here = it++;
          if (!here->second.seen) {
            drop(here->first);
            ++gone;
          }
        }
        for (auto& [p, e] : m) e.seen = false;
        ASSERT_EQ(model::proc_sweep(t.get()), gone);
      } else if (t->count > 0) {
        u32 row = static_cast<u32>(rng() % t->count);
        u32 victim = t->pid[row];
        model::remove_row(t.get(), row);
        drop(victim);
      }
      ASSERT_EQ(t->count, m.size());
      ASSERT_EQ(t->count + t->free_count + t->retired, model::rows);
      ASSERT_EQ(hash_entries(t.get()), t->count);
      for (const auto& [p, e] : m) {
        u32 row = model::proc_find_row(t.get(), p);
        ASSERT_NE(row, model::no_row) << "seed " << seed << " step " << step << " pid " << p;
        ASSERT_EQ(model::proc_row(t.get(), e.handle), row);
        ASSERT_EQ(t->start_key[row], e.start);
        ASSERT_EQ(full_name(t.get(), row), e.stored);
        ASSERT_EQ(model::proc_name_cut(t.get(), row), e.cut);
        ASSERT_EQ(((t->seen[row / 64] >> (row % 64)) & 1) != 0, e.seen);
      }
      for (u64 h : stale) ASSERT_EQ(model::proc_row(t.get(), h), model::no_row);
    }
  }
}

}  // namespace
