// Rebuilding the process list of 1,000 processes, as the Processes page does after every new table and the MCP
// server does for every process tool call: by a number column, by name (four sweeps of eight passes), and filtered.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "views/proclist.h"

namespace {

constexpr u32 procs = 1000;

struct Fixture {
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();

  Fixture() {
    model::table_init(table.get());
    proclist::init(list.get());
    for (u32 i = 0; i < procs; ++i) {
      std::string name = "application-" + std::to_string((i * 7919u) % procs) + ".exe";
      u64 h = model::proc_upsert(table.get(), 4 * (i + 1), 4, i, mem::Bytes(reinterpret_cast<const u8*>(name.data()),
                                                                            name.size()));
      u32 row = model::proc_row(table.get(), h);
      table->cpu[row] = static_cast<u16>((i * 37) % 800);
      table->working_set[row] = (i * 101) % 50000;
    }
  }
};

void run(benchmark::State& state, u32 column, const char* filter) {
  Fixture f;
  std::string text = filter;
  proclist::set_view(f.list.get(), column, mem::Bytes(reinterpret_cast<const u8*>(text.data()), text.size()));
  for (auto _ : state) {
    proclist::rebuild(f.list.get(), f.table.get());
    benchmark::DoNotOptimize(f.list->shown);
  }
  state.SetItemsProcessed(state.iterations() * procs);
}

void BM_ProcListRebuildCpu(benchmark::State& state) { run(state, proclist::col_cpu, ""); }
void BM_ProcListRebuildName(benchmark::State& state) { run(state, proclist::col_name, ""); }
void BM_ProcListRebuildFiltered(benchmark::State& state) { run(state, proclist::col_memory, "ION-9"); }

BENCHMARK(BM_ProcListRebuildCpu);
BENCHMARK(BM_ProcListRebuildName);
BENCHMARK(BM_ProcListRebuildFiltered);

}  // namespace
