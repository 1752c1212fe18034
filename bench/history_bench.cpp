#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "history/hist.h"
#include "history/hstore.h"
#include "history/share.h"
#include "history/shareread.h"
#include "history/sharering.h"
#include "history/store.h"

namespace {

// One sample of each of 64 machines folded into the host's store, one second apart, so every tenth pass closes the
// buckets and feeds the upper tiers as a running host does.
void BM_HistoryFold64(benchmark::State& state) {
  auto s = std::make_unique<hstore::Store>();
  hstore::init(s.get());
  std::vector<u8> summaries(64 * 64, 0);
  for (u32 i = 0; i < 64; ++i) {
    u8* p = summaries.data() + 64 * i;
    for (u32 m = 0; m < 6; ++m) store::put16(p + 8 + 2 * m, static_cast<u16>(100 * i + m));
    store::put32(p + 48, 1000 * i);
    store::put32(p + 52, 70000 * i);
    store::put16(p + 60, 500);
    p[62] = 1;
  }
  u32 now = 1000000;
  for (auto _ : state) {
    for (u32 i = 0; i < 64; ++i) hstore::add(s.get(), i, summaries.data() + 64 * i, now);
    s->bucket_pending = 0;  // the writer took them
    ++now;
  }
  benchmark::DoNotOptimize(s->closed[63]);
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_HistoryFold64);

// A two-year chart of one machine from its hourly ring file: 17,520 buckets decoded from the file's bytes and
// folded into the 730 daily columns of a bound table, chunk by chunk as the source asks.
void BM_HistoryRead2Years(benchmark::State& state) {
  const u32 now = 70000000;
  std::vector<u8> file(store::ring_bytes(store::ring_t2));
  mem::Slice all{file.data(), file.size()};
  for (u32 k = 0; k < 17520; ++k) {
    store::Bucket b{now - now % 3600 - (17519 - k) * 3600, 1, {}, {}, {}};
    for (u32 m = 0; m < 8; ++m) b.min[m] = b.mean[m] = b.max[m] = static_cast<u16>((k * 7 + m) % 10000);
    store::encode_bucket(&b, all, store::record_at(store::ring_t2, k));
  }
  std::vector<u8> block(hist::table_bytes(5, 2));
  const u8 id[16] = {};
  u32 folded = 0;
  for (auto _ : state) {
    mem::Arena arena{block.data(), 0, block.size()};
    hist::Table t;
    hist::bind(&t, &arena, 5, 0, 6, id, now);
    u32 k = 0;
    while (t.state == hist::state_asking && hist::ask(&t, 8640)) {
      u32 rows = 0;
      for (; k < 17520; ++k) {
        store::Bucket b;
        store::decode_bucket(mem::Bytes(file.data(), file.size()), store::record_at(store::ring_t2, k), &b);
        if (b.slot > t.ask_end) break;
        if (b.slot >= t.ask_start) rows += hist::fold(&t, &b);
      }
      hist::answered(&t, rows);
    }
    folded = t.folded;
    benchmark::DoNotOptimize(folded);
  }
  state.counters["folded"] = folded;
  state.SetItemsProcessed(state.iterations() * 17520);
}
BENCHMARK(BM_HistoryRead2Years);

// A day of one machine's ten-second buckets answered from its ring on the share, the way the host answers a viewer:
// calls of a 16,384-byte work budget, a new answer whenever one is full. The folder is in memory when the system
// has one, so the figure is the share code's own cost rather than the disk's.
void BM_ShareAnswerDay(benchmark::State& state) {
  std::string pattern = std::filesystem::exists("/dev/shm") ? "/dev/shm/" : "/tmp/";
  pattern += "vimbrel-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    state.SkipWithError("no temporary folder");
    return;
  }
  u8 k[32] = {1};
  auth::KeyState key;
  auth::key_init(&key, mem::Bytes(k, 32));
  u8 id[16] = {7};
  auto s = std::make_unique<share::Share>();
  share::init(s.get(), mem::Bytes(reinterpret_cast<const u8*>(pattern.data()), pattern.size()), &key, id, 0, 7420, 0);
  share::advance_clock(s.get(), 1);
  bool ready = share::claim_next(s.get(), 0) == share::done && share::take_lease(s.get(), 0, 1) == share::done &&
               share::add_machine(s.get(), id, mem::lit("bench"), 0) == 0;
  for (u32 i = 0; ready && i < 8640; ++i) {
    store::Bucket b{};
    b.slot = 1000000 + 10 * i;
    ready = share::put_bucket(s.get(), 0, 0, &b, 0) == share::done;
  }
  if (!ready) {
    state.SkipWithError("the share could not be set up");
    std::filesystem::remove_all(pattern);
    return;
  }
  auto answer = std::make_unique<share::Answer>();
  share::Cursor cursor;
  u64 rows = 0;
  for (auto _ : state) {
    share::open_reader(s.get(), 0, 0, 1000000, 1000000 + 86400, &cursor, &answer->head);
    while (!cursor.done) {
      if (share::read_range(s.get(), &cursor, answer.get(), 16384)) {
        rows += answer->head.rows;
        answer->head.rows = 0;
      }
    }
  }
  state.SetItemsProcessed(static_cast<i64>(rows));
  share::drop(s.get(), 0, true);
  std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_ShareAnswerDay);

}  // namespace
