#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/bits.h"
#include "history/hstore.h"
#include "history/ptop.h"
#include "history/store.h"
#include "sampling/model.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

TEST(PtopLists, NameHash) {
  EXPECT_EQ(ptop::name_hash(bytes("a")), 0xE40C292Cu);  // published FNV-1a 32 vector
  EXPECT_EQ(ptop::name_hash(bytes("foobar")), 0xBF9CF968u);
  EXPECT_EQ(ptop::name_hash(bytes("")), 1u);
  EXPECT_EQ(ptop::name_hash(mem::Bytes(reinterpret_cast<const u8*>("\0abc"), 4)), 1u);
  EXPECT_EQ(ptop::name_hash(mem::Bytes(reinterpret_cast<const u8*>("foobar\0xyz"), 10)), 0xBF9CF968u);
  std::string long_name(40, 'x');
  EXPECT_EQ(ptop::name_hash(bytes(long_name)), ptop::name_hash(bytes(long_name.substr(0, 32))));
}

// The list as (hash, pid, value) triples, empty entries left out.
std::vector<std::vector<u32>> entries(const ptop::List& l) {
  std::vector<std::vector<u32>> out;
  for (u32 k = 0; k < ptop::top; ++k)
    if (l.hash[k] != 0) out.push_back({l.hash[k], l.pid[k], l.value[k]});
  return out;
}

TEST(PtopLists, OfferKeepsFiveHighestAndNeverLowers) {
  ptop::List l{};
  EXPECT_FALSE(ptop::offer(&l, 0, 1, 100));  // empty hash
  EXPECT_FALSE(ptop::offer(&l, 7, 1, 0));    // nothing to show
  EXPECT_TRUE(ptop::offer(&l, 7, 1, 100));
  EXPECT_FALSE(ptop::offer(&l, 7, 1, 50));  // a process keeps its highest value
  EXPECT_TRUE(ptop::offer(&l, 7, 2, 100));  // same name, another process: a second entry, below the equal first
  EXPECT_TRUE(ptop::offer(&l, 8, 3, 300));
  EXPECT_TRUE(ptop::offer(&l, 9, 4, 20));
  EXPECT_TRUE(ptop::offer(&l, 10, 5, 10));
  EXPECT_EQ(entries(l), (std::vector<std::vector<u32>>{{8, 3, 300}, {7, 1, 100}, {7, 2, 100}, {9, 4, 20}, {10, 5, 10}}));
  EXPECT_FALSE(ptop::offer(&l, 11, 6, 10));  // equal to the last: does not enter
  EXPECT_TRUE(ptop::offer(&l, 11, 6, 11));   // replaces the last
  EXPECT_TRUE(ptop::offer(&l, 9, 4, 150));   // rises past equals? no: 150 passes the two 100s
  EXPECT_EQ(entries(l), (std::vector<std::vector<u32>>{{8, 3, 300}, {9, 4, 150}, {7, 1, 100}, {7, 2, 100}, {11, 6, 11}}));

  ptop::Row row;
  ptop::clear(&row, 40);
  EXPECT_FALSE(ptop::offer_row(&row, 5, 0, 100, 100));  // process id 0 never enters
  EXPECT_TRUE(ptop::wants(&row, 1, 0));
  EXPECT_FALSE(ptop::wants(&row, 0, 0));
  EXPECT_TRUE(ptop::offer_row(&row, 5, 9, 0, 100));  // memory only
  EXPECT_EQ(row.a.hash[0], 0u);
  EXPECT_EQ(row.b.hash[0], 5u);

  ptop::Row other;
  ptop::clear(&other, 40);
  ptop::offer_row(&other, 5, 9, 70, 50);
  ptop::offer_row(&other, 6, 1, 80, 200);
  ptop::merge(&row, &other);
  EXPECT_EQ(entries(row.a), (std::vector<std::vector<u32>>{{6, 1, 80}, {5, 9, 70}}));
  EXPECT_EQ(entries(row.b), (std::vector<std::vector<u32>>{{6, 1, 200}, {5, 9, 100}}));
}

TEST(PtopLists, RowIsByteExact) {
  ptop::Row row;
  ptop::clear(&row, 0x01020304);
  row.term = 9;
  for (u32 k = 0; k < 5; ++k) {
    row.a.hash[k] = 0x100 + k, row.a.pid[k] = 0x200 + k, row.a.value[k] = static_cast<u16>(0x300 + k);
    row.b.hash[k] = 0x400 + k, row.b.pid[k] = 0x500 + k, row.b.value[k] = static_cast<u16>(0x600 + k);
  }
  std::vector<u8> buf(2 + 112, 0xEE);
  ASSERT_EQ(ptop::encode(&row, mem::Slice{buf.data(), buf.size()}, 2), 112u);
  const u8* p = buf.data() + 2;
  EXPECT_EQ(store::get32(p), 0x01020304u);
  EXPECT_EQ(store::get32(p + 4), 9u);
  EXPECT_EQ(store::get32(p + 8), 0x100u);
  EXPECT_EQ(store::get32(p + 28 + 16), 0x204u);
  EXPECT_EQ(store::get32(p + 48), 0x400u);
  EXPECT_EQ(store::get32(p + 68 + 4), 0x501u);
  EXPECT_EQ(store::get16(p + 88 + 8), 0x304u);
  EXPECT_EQ(store::get16(p + 98), 0x600u);
  EXPECT_EQ(store::get32(p + 108), 0u);
  ptop::Row back{};
  ASSERT_EQ(ptop::decode(mem::Bytes(buf.data(), buf.size()), 2, &back), 1u);
  EXPECT_EQ(__builtin_memcmp(&back, &row, sizeof row), 0);
  EXPECT_EQ(ptop::decode(mem::Bytes(buf.data(), buf.size()), 3, &back), 0u);
  EXPECT_EQ(ptop::encode(&row, mem::Slice{buf.data(), 111}, 0), 0u);
  EXPECT_EQ(ptop::mib_of(hstore::rate_code(100000)), hstore::rate_of(hstore::rate_code(100000)));
}

// A member's process rows as the host keeps them.
struct Rows {
  std::vector<u8> b = std::vector<u8>(20, 0);
  void add(u32 pid, u16 cpu, u32 memory_pages, const std::string& name) {
    std::vector<u8> r(76, 0);
    store::put32(r.data(), pid);
    store::put16(r.data() + 12, cpu);
    store::put32(r.data() + 16, memory_pages);
    __builtin_memcpy(r.data() + 44, name.data(), name.size() < 32 ? name.size() : 32);
    b.insert(b.end(), r.begin(), r.end());
    store::put32(b.data(), store::get32(b.data()) + 1);
  }
  mem::Bytes view() const { return mem::Bytes(b.data(), b.size()); }
};

std::unique_ptr<ptop::Book> book() {
  auto b = std::make_unique<ptop::Book>();
  ptop::book_init(b.get());
  return b;
}

TEST(PtopBook, ObserveClosesRollsUpAndNotesNames) {
  auto bk = book();
  Rows rows;
  rows.add(10, 500, 256 * 100, "alpha");
  rows.add(11, 9000, 256, "beta");
  rows.add(12, 0, 0, "idle");  // enters neither list
  ptop::observe(bk.get(), 4, rows.view(), 1005);
  EXPECT_EQ(bk->open, u64{1} << 4);
  EXPECT_EQ(bk->open_row[4].slot, 1000u);
  EXPECT_EQ(bk->open_row[4].a.pid[0], 11u);
  EXPECT_EQ(bk->open_row[4].b.pid[0], 10u);
  EXPECT_EQ(bk->open_row[4].b.value[0], 100);
  EXPECT_EQ(bk->pending_count[4], 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bk->pending[4][0])), "alpha");

  ptop::observe(bk.get(), 4, rows.view(), 1009);  // same slot, names known already
  EXPECT_EQ(bk->pending_count[4], 2);
  ptop::close_due(bk.get(), 1009);
  EXPECT_EQ(bk->closed_pending, 0u);
  ptop::observe(bk.get(), 4, Rows().view(), 1010);  // a new slot closes the open row
  EXPECT_EQ(bk->closed_pending, u64{1} << 4);
  EXPECT_EQ(bk->closed[4].slot, 1000u);
  EXPECT_EQ(bk->tier_row[0][4].slot, 900u);
  EXPECT_EQ(bk->tier_row[1][4].slot, 0u);
  EXPECT_EQ(bk->tier_row[1][4].a.pid[0], 11u);
  EXPECT_EQ(bk->tier_started[0], u64{1} << 4);
  EXPECT_EQ(bk->upper_changed, u64{1} << 4);
  ptop::close_all(bk.get());
  EXPECT_EQ(bk->overwritten, 1);  // the writer did not take the first closed row
  EXPECT_EQ(bk->closed[4].slot, 1010u);
  EXPECT_EQ(bk->tier_row[0][4].a.pid[0], 11u);  // the empty row merged into the same 5-minute row

  ptop::names_written(bk.get(), 4, 1);
  EXPECT_EQ(bk->pending_count[4], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bk->pending[4][0])), "beta");
  ptop::names_written(bk.get(), 4, 8);
  EXPECT_EQ(bk->pending_count[4], 0);

  ptop::move_row(bk.get(), 9, 4);
  EXPECT_EQ(bk->closed_pending, u64{1} << 9);
  EXPECT_EQ(bk->tier_row[1][9].a.pid[0], 11u);
  EXPECT_EQ(bk->known_count[9], 2);
  EXPECT_EQ(bk->known_count[4], 0);
  ptop::row_reset(bk.get(), 9);
  EXPECT_EQ(bk->closed_pending | bk->upper_changed | bk->tier_open[0] | bk->tier_open[1], 0u);

  auto before = std::make_unique<ptop::Book>(*bk);
  ptop::observe(bk.get(), 64, rows.view(), 2000);
  EXPECT_EQ(__builtin_memcmp(before.get(), bk.get(), sizeof *bk), 0);
}

TEST(PtopBook, RowsAreBoundedByCountBytesAndLimit) {
  auto bk = book();
  Rows rows;
  for (u32 k = 0; k < 300; ++k) rows.add(100 + k, static_cast<u16>(k + 1), 0, "p" + std::to_string(k));
  ptop::observe(bk.get(), 0, rows.view(), 10);
  EXPECT_EQ(bk->open_row[0].a.value[0], 256);  // rows beyond 256 are not looked at
  Rows lying = rows;
  store::put32(lying.b.data(), 100000);
  lying.b.resize(20 + 76 * 3 + 10);  // the count promises more than the bytes hold
  ptop::observe(bk.get(), 1, lying.view(), 10);
  EXPECT_EQ(bk->open_row[1].a.value[0], 3);
  ptop::observe(bk.get(), 2, mem::Bytes(lying.b.data(), 3), 10);
  EXPECT_EQ(bk->open & 4, 4u);
}

TEST(PtopBook, NamesOverflowAndTheKnownTableResets) {
  auto bk = book();
  std::vector<std::string> names;
  for (u32 k = 0; k < 97; ++k) names.push_back("name-" + std::to_string(k));
  for (u32 k = 0; k < 8; ++k) EXPECT_TRUE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[k])), bytes(names[k])));
  EXPECT_FALSE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[8])), bytes(names[8])));
  EXPECT_EQ(bk->name_overflow, 1);
  EXPECT_TRUE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[0])), bytes(names[0])));  // known: nothing to do
  EXPECT_EQ(bk->name_overflow, 1);
  for (u32 k = 8; k < 96; ++k) {
    ptop::names_written(bk.get(), 3, 8);
    ASSERT_TRUE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[k])), bytes(names[k])));
  }
  EXPECT_EQ(bk->known_count[3], 96);
  EXPECT_EQ(bk->resets, 0);
  ptop::names_written(bk.get(), 3, 8);
  ASSERT_TRUE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[96])), bytes(names[96])));
  EXPECT_EQ(bk->resets, 1);
  EXPECT_EQ(bk->known_count[3], 1);
  ASSERT_TRUE(ptop::intern(bk.get(), 3, ptop::name_hash(bytes(names[0])), bytes(names[0])));
  EXPECT_EQ(bk->pending_count[3], 2);  // written again after the reset
  std::string long_name(40, 'z');
  ASSERT_TRUE(ptop::intern(bk.get(), 3, 5, bytes(long_name)));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bk->pending[3][2]), 32), std::string(32, 'z'));
}

struct Table {
  std::unique_ptr<model::ProcTable> t = std::make_unique<model::ProcTable>();
  Table() { model::table_init(t.get()); }
  u32 add(u32 pid, const std::string& name) {
    model::proc_add(t.get(), pid, 0, 1, bytes(name));
    return model::proc_find_row(t.get(), pid);
  }
};

TEST(PtopRing, TakesTheTopThreeOfSixMeasures) {
  auto ring = std::make_unique<ptop::Ring>();
  ptop::ring_init(ring.get());
  Table tb;
  model::ProcTable* t = tb.t.get();
  for (u32 k = 0; k < 5; ++k) {
    u32 r = tb.add(100 + k, "proc" + std::to_string(k));
    t->cpu[r] = static_cast<u16>(1000 * (k + 1));
    t->working_set[r] = 256 * 5000 * (k + 1);  // MiB x 256
    t->read_rate[r] = 0xFFFFFFF0;
    t->write_rate[r] = 100 * k;
    t->tcp[r] = static_cast<u16>(k);
  }
  bits::set(t->critical, model::proc_find_row(t, 104));  // a critical process shows no disk rate
  EXPECT_EQ(ptop::ring_find(ring.get(), 0), -1);
  ptop::ring_take(ring.get(), 61, t);
  ASSERT_EQ(ptop::ring_find(ring.get(), 61), 1);
  EXPECT_EQ(ptop::ring_find(ring.get(), 1), -1);
  EXPECT_EQ(ring->pid[1][0][0], 104u);
  EXPECT_EQ(ring->pid[1][0][2], 102u);
  EXPECT_EQ(ring->value[1][1][0], hstore::rate_code(25000));
  EXPECT_EQ(ring->value[1][2][0], 0xFFFF);  // saturated sum of read and write
  EXPECT_NE(ring->pid[1][2][0], 104u);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 5), 3u);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 3), 0u);  // no GPU load
  EXPECT_EQ(ptop::ring_filled(ring.get(), 60, 0), 0u);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 6), 0u);
  EXPECT_EQ(str(ptop::ring_name(ring.get(), ptop::name_hash(bytes("proc4")))), "proc4");
  EXPECT_EQ(str(ptop::ring_name(ring.get(), 12345)), "");
  EXPECT_EQ(str(ptop::ring_name(ring.get(), 0)), "");

  // A third entry at code 0xFFFF lets nothing more in; a lower value of a listed process changes nothing.
  EXPECT_EQ(ptop::code_floor(0xFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(ptop::code_floor(4095), 4095u);
  EXPECT_EQ(ptop::code_floor(0x2000), 8193u);  // 8192 and 8193 share the code
  EXPECT_EQ(ptop::code_floor(0), 0u);
  u32 r = tb.add(200, "late");
  t->read_rate[r] = 0xFFFFFFFF;
  t->cpu[r] = 1;
  ptop::ring_take(ring.get(), 61, t);
  for (u32 k = 0; k < 3; ++k) EXPECT_NE(ring->pid[1][2][k], 200u);
  EXPECT_EQ(ring->pid[1][0][2], 102u);

  // The same slot 60 steps later starts over: values that would never go down in one step are gone.
  for (u32 k = 0; k < t->count; ++k) t->tcp[k] = 0;
  ptop::ring_take(ring.get(), 61, t);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 5), 3u);
  ptop::ring_take(ring.get(), 121, t);
  EXPECT_EQ(ptop::ring_find(ring.get(), 61), -1);
  EXPECT_EQ(ptop::ring_find(ring.get(), 121), 1);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 5), 0u);
  EXPECT_EQ(ptop::ring_filled(ring.get(), 1, 0), 3u);
}

TEST(PtopRing, PoolReplacesTheLeastRecentlyUsedName) {
  auto ring = std::make_unique<ptop::Ring>();
  ptop::ring_init(ring.get());
  for (u32 k = 0; k < 64; ++k) ptop::pool_add(ring.get(), 1000 + k, bytes("n" + std::to_string(k)), k);
  ptop::pool_add(ring.get(), 1000, bytes("n0"), 70);  // n0 used again: n1 is now the oldest
  ptop::pool_add(ring.get(), 5000, bytes("new"), 71);
  EXPECT_EQ(str(ptop::ring_name(ring.get(), 1000)), "n0");
  EXPECT_EQ(str(ptop::ring_name(ring.get(), 1001)), "");
  EXPECT_EQ(str(ptop::ring_name(ring.get(), 5000)), "new");
  EXPECT_EQ(ring->pool[1].last_use, 72u);
}

}  // namespace
