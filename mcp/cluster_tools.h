#pragma once
// The tools that read the cluster host's list and history: list_machines, cluster_usage, usage_history and
// process_history; the answers for a failed cluster call; and the context, state and age of a cluster machine's
// data that the tools of one machine answer from.
#include "mcp/mcp.h"

namespace mcp {

// The context of the cluster machine the view holds: its record, table and list, both data times the time the
// data arrived, rate windows of 1,000 ms (sample) and 2,000 ms (table), its name, state and silence.
ToolContext remote_context(const ToolContext* local);
// How old data taken at then are, a cluster machine's silence included.
u64 data_age(const ToolContext* context, u64 then);
// " ms, sampled <age> ms ago" and, for a machine the host no longer hears from, its state.
void sampled_ago(json::Writer* w, const ToolContext* context, u64 then);
// A cluster machine's name and listed state as keys of the structured result; nothing for this machine.
void machine_keys(json::Writer* w, const ToolContext* context);

// A cluster failure as a tool error result; 1 when written, 0 when the cluster data arrived. A context without
// cluster data counts as status 1.
u32 cluster_result(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                   json::Writer* w);
// The failure text alone, inside an open string.
void cluster_text(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                  json::Writer* w);
// The machine argument exactly as written, or nothing when the request has none.
mem::Bytes machine_as_written(const json::Document* doc, mem::Bytes line, u16 arguments);

// The words of states (4 "all"), metrics and ranges.
mem::Bytes state_word(u32 index);
mem::Bytes metric_word(u32 index);
mem::Bytes range_word(u32 index);
// This machine's id is known and equals machine i's.
bool is_this_machine(const ClusterView* view, u32 i);
void machine_row_text(json::Writer* w, const ClusterView* view, u32 i);
void machine_row_json(json::Writer* w, const ClusterView* view, u32 i);
// Counts by state and sums over the online and stale machines.
struct ClusterSums {
  u32 counts[4];  // online, stale, offline, missing (any larger state)
  u64 logical, busy;  // busy: logical processors x CPU hundredths
  u64 memory_used, memory_total, vram_used, vram_total;
  u64 disk_read, disk_write, receive, send, processes, threads;
};
void cluster_sums(const proto::MachineList* list, ClusterSums* sums);
void list_machines(const ToolContext* context, const Call* call, json::Writer* w);
void cluster_usage(const ToolContext* context, const Call* call, json::Writer* w);
// History: the range's seconds, the tier asked for it, a tier's bucket length, the bucket measure of a metric's
// first or second column (255 none), and times as "YYYY-MM-DD hh:mm" UTC from seconds since 2025-01-01.
u32 range_seconds(u8 range);
u8 tier_of(u8 range);
u32 tier_row_seconds(u8 tier);
u8 history_column(u8 metric, u32 second);
void civil_date(u32 days, u32* year, u32* month, u32* day);
void write_time(json::Writer* w, u32 seconds);
// A memory rate code in MiB: below 4,096 itself, else (low 12 bits | 0x1000) << (code / 4,096 - 1).
u64 memory_of_code(u16 code);
// Row values of a folded history: which 0 minimum, 1 average (rounded; 0 without buckets), 2 maximum.
u64 row_value(const viewer::HistView* view, u32 column, u32 row, u32 which);
void usage_history(const ToolContext* context, const Call* call, json::Writer* w);
void process_history(const ToolContext* context, const Call* call, json::Writer* w);

}  // namespace mcp
