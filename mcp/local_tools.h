#pragma once
// The tools that read one machine's usage and processes: machine_usage, top_processes and find_process, for this
// machine or for one machine of the cluster, and this machine's data they read, sampled on demand.
#include "mcp/mcp.h"
#include "sampling/collect.h"
#include "sampling/hw.h"
#include "sampling/usage.h"

namespace mcp {

// This machine's data for the tools.
struct LocalData {
  collect::State* collector;
  collect::Sample* sample;
  machine::Machine* machine;
  collect::ProcSample* procs;
  usage::ProcWalk* walk;
  model::ProcTable* table;
  usage::ProcCounters* counters;
  proclist::ListState* list;
  usage::RateState rates;
  usage::ProcRateState proc_rates;
  usage::Usage usage;
  ring::Row row;
  hw::Hardware hardware;
  hw::Adapters adapters;
  u32 hardware_changes;
  u32 sample_interval;
  u64 sample_ms;
  u64 table_ms;
  u32 table_interval;
  u8 open_tried;
  u8 collector_open;
  u8 sample_held;
  u8 table_held;
  u8 network_started;
};

// 0 fresh, 1 one new sample suffices, 2 cold (two samples a second apart).
u32 freshness(u32 tried, u32 held, u64 now, u64 then, u32 refresh_age);
// Brings the sample (and the process table) up to date for one tool call.
void refresh_local(LocalData* local, u32 refresh_age, bool with_processes);

void machine_usage(const ToolContext* context, const Call* call, json::Writer* w);
void machine_usage_text(json::Writer* w, const ToolContext* context, const ring::Row* row);
void machine_usage_json(json::Writer* w, const ToolContext* context, const ring::Row* row);
void top_processes(const ToolContext* context, const Call* call, json::Writer* w);
void find_process(const ToolContext* context, const Call* call, json::Writer* w);
// The sort, filter and rebuild the process tools use: CPU, largest first, the text as the filter.
void filter_list(proclist::ListState* list, const model::ProcTable* table, mem::Bytes text);
// The answer for one machine's list; note adds the line that says why other machines were not searched.
void processes_answer(const ToolContext* context, const Call* call, json::Writer* w, mem::Bytes heading, u32 count,
                      bool note);
void process_row_text(json::Writer* w, const model::ProcTable* table, u32 row);
void process_rows(json::Writer* w, const model::ProcTable* table, u32 row);
void found_insert(FoundProcesses* set, u8 machine, const model::ProcTable* table, u32 row);
void found_add_list(FoundProcesses* set, u8 machine, const model::ProcTable* table, const proclist::ListState* list);
// The find_process answer over the cluster.
void find_answer_cluster(const ToolContext* context, json::Writer* w);

}  // namespace mcp
