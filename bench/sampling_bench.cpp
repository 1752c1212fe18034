// Decoding a process chain of 1,000 processes and refreshing the process table from it, as the process pass does
// once a second.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "sampling/model.h"
#include "sampling/ntinfo.h"
#include "sampling/rate.h"
#include "tests/sampling/builders.h"

namespace {

constexpr u32 procs = 1000;

build::Chain chain_of(u32 n) {
  build::Chain c;
  for (u32 i = 0; i < n; ++i) {
    build::Proc p;
    p.pid = 4 * (i + 1);
    p.parent = 4;
    p.create_time = 1000000000ull + i * 10000000ull;
    p.user_time = i * 1000;
    p.threads = 8;
    p.working_set = (i + 1) << 20;
    p.name = "C:\\Program Files\\Vendor\\application-" + std::to_string(i) + ".exe";
    c.add(p, 8);  // thread records sit between the head and the name, as they do on Windows
  }
  return c;
}

struct Fixture {
  build::Chain chain = chain_of(procs);
  std::unique_ptr<ntinfo::ProcWalk> walk = std::make_unique<ntinfo::ProcWalk>();
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<rate::ProcCounters> counters = std::make_unique<rate::ProcCounters>();

  // keep, sweep, then upsert every walked process with its name; returns the rows added or found.
  u32 refresh() {
    ntinfo::proc_walk(chain.view(), build::base_address, 0, walk.get());
    for (u32 s = 0; s < walk->stored; ++s) model::proc_keep(table.get(), walk->pid[s], walk->start[s]);
    model::proc_sweep(table.get());
    u32 placed = 0;
    for (u32 s = 0; s < walk->stored; ++s) {
      u8 name[model::name_max];
      u64 n = 0;
      if (model::proc_find_row(table.get(), walk->pid[s]) == model::no_row) {
        n = ntinfo::name_take(chain.view(), walk->name_offset[s], walk->name_units[s], walk->pid[s] == 0,
                              mem::Slice{name, sizeof name});
      }
      u64 h = model::proc_upsert(table.get(), walk->pid[s], walk->parent[s], walk->start[s], mem::Bytes(name, n));
      placed += h != model::no_handle;
    }
    for (u64& w : table->seen) w = 0;
    return placed;
  }
};

void BM_ProcWalk1000(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    ntinfo::proc_walk(f.chain.view(), build::base_address, 0, f.walk.get());
    benchmark::DoNotOptimize(f.walk->threads);
  }
  state.SetItemsProcessed(state.iterations() * procs);
  state.SetBytesProcessed(state.iterations() * f.chain.bytes.size());
}
BENCHMARK(BM_ProcWalk1000);

// Every process is new: names are converted and every row is added.
void BM_TableFill1000(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    model::table_init(f.table.get());
    benchmark::DoNotOptimize(f.refresh());
  }
  state.SetItemsProcessed(state.iterations() * procs);
}
BENCHMARK(BM_TableFill1000);

// The steady state: the same 1,000 processes again; nothing is added or removed.
void BM_TableRefresh1000(benchmark::State& state) {
  Fixture f;
  model::table_init(f.table.get());
  f.refresh();
  for (auto _ : state) benchmark::DoNotOptimize(f.refresh());
  state.SetItemsProcessed(state.iterations() * procs);
}
BENCHMARK(BM_TableRefresh1000);

void BM_RatePasses1000(benchmark::State& state) {
  Fixture f;
  model::table_init(f.table.get());
  f.refresh();
  rate::Tick tick{};
  rate::tick_make(10000000, 1000, 8, &tick);
  for (auto _ : state) {
    rate::update(f.table.get(), f.counters.get(), &tick);
    benchmark::DoNotOptimize(f.table->cpu[0]);
  }
  state.SetItemsProcessed(state.iterations() * procs);
}
BENCHMARK(BM_RatePasses1000);

}  // namespace
