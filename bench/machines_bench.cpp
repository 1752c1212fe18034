// What the Machines page does with the host's frames: a full list of 64 members rebuilt (by name: four sweeps of
// eight passes, then the group pass), a watched machine's process record of 256 rows applied to the copy's table,
// and the names of a history answer taken into a full name filter (each name looked for among those held).
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <memory>

#include "cluster/viewer.h"
#include "pages/machines.h"

namespace {

void BM_MachinesRebuild64(benchmark::State& state) {
  auto list = std::make_unique<proto::MachineList>();
  auto peers = std::make_unique<proto::Peers>();
  *list = {};
  *peers = {};
  list->count = 64;
  peers->count = 64;
  for (u32 i = 0; i < 64; ++i) {
    list->ids[i][0] = static_cast<u8>(i + 1);
    snprintf(reinterpret_cast<char*>(list->names[i]), 32, "node-%02u-rack-%u", (i * 37) % 64, i % 4);
    list->summaries[i].os = static_cast<u8>(1 + i % 3);
    list->summaries[i].cpu = static_cast<u16>(i * 131 % 10000);
    memcpy(peers->ids[i], list->ids[i], 16);
    peers->address_kinds[i] = 1;
    peers->addresses[i][0] = static_cast<u8>(i);
  }
  machines::ListState s;
  machines::list_init(&s);
  for (auto _ : state) {
    machines::rebuild(&s, list.get(), peers.get());
    benchmark::DoNotOptimize(s.shown_count);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}

void BM_ViewerTakeProcs256(benchmark::State& state) {
  auto record = std::make_unique<proto::ProcRecord>();
  auto table = std::make_unique<model::ProcTable>();
  *record = {};
  model::table_init(table.get());
  record->count = proto::proc_rows_max;
  for (u32 i = 0; i < proto::proc_rows_max; ++i) {
    record->rows[i].pid = 1000 + 4 * i;
    record->rows[i].start[0] = i;
    record->rows[i].cpu = static_cast<u16>(i * 7);
    snprintf(reinterpret_cast<char*>(record->rows[i].name), 32, "process-%u", i);
  }
  u32 round = 0;
  for (auto _ : state) {
    // A tenth of the processes change every frame, as new ones come and old ones go.
    for (u32 i = 0; i < 26; ++i) record->rows[(round * 26 + i) % proto::proc_rows_max].start[0] += 1;
    ++round;
    viewer::take_procs(record.get(), table.get());
    benchmark::DoNotOptimize(table->count);
  }
  state.SetItemsProcessed(state.iterations() * proto::proc_rows_max);
}

void BM_ViewerTakeNames4096(benchmark::State& state) {
  auto filter = std::make_unique<viewer::NameFilter>();
  u8 names[viewer::filter_names_max][ptop::name_bytes] = {};
  for (u32 i = 0; i < viewer::filter_names_max; ++i) {
    snprintf(reinterpret_cast<char*>(names[i]), ptop::name_bytes, "name-%u", i);
  }
  for (auto _ : state) {
    *filter = {};
    for (u32 i = 0; i < viewer::filter_names_max; ++i) viewer::take_name(filter.get(), names[i]);
    benchmark::DoNotOptimize(filter->names_count);
  }
  state.SetItemsProcessed(state.iterations() * viewer::filter_names_max);
}

BENCHMARK(BM_MachinesRebuild64);
BENCHMARK(BM_ViewerTakeProcs256);
BENCHMARK(BM_ViewerTakeNames4096);

}  // namespace
