#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "history/hist.h"
#include "history/hstore.h"
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

}  // namespace
