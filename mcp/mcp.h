#pragma once
// The MCP dispatcher: turns one JSON-RPC line into at most one answer line. It keeps no state between lines; the
// tool table is filled once and only read afterwards, and the document, request and writer are reused per line.
#include "base/mem.h"
#include "base/words.h"
#include "cluster/viewer.h"
#include "cluster/viewlink.h"
#include "mcp/json.h"
#include "views/proclist.h"
#include "sampling/collect.h"
#include "sampling/hw.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/usage.h"

namespace mcp {

// Message kinds.
constexpr u8 kind_parse_error = 0, kind_invalid = 1, kind_batch = 2, kind_request = 3, kind_notification = 4,
             kind_response = 5;
// Methods.
constexpr u8 method_none = 0, method_initialize = 1, method_ping = 2, method_tools_list = 3, method_tools_call = 4,
             method_other = 5;
// Errors of a request, found while classifying it.
constexpr u8 error_none = 0, error_params = 1, error_name = 2, error_unknown_tool = 3, error_arguments = 4,
             error_argument = 5;
constexpr u8 no_tool = 255;
constexpr u32 max_tools = 8;

// One classified line. The u16 fields are value indexes into the document, json::none when absent.
struct Request {
  u8 kind;
  u8 method;
  u8 tool;
  u8 error;
  u16 id;        // kept only when a string or a number
  u16 params;
  u16 method_value;  // the tool "name" for tools/call
  u16 argument;  // the key of the first argument the tool does not take
};

struct ToolTable;

// The cluster-wide find_process result: the 50 rows of highest CPU over this machine (machine 254) and the machines
// of the host's list (their positions), largest first, and the totals over every list searched.
constexpr u32 found_max_rows = 50;
constexpr u8 this_machine_index = 254;
struct FoundRow {
  u8 machine;
  u8 name_length;
  u8 name[64];
  u32 pid;
  u16 cpu;  // hundredths
  u32 memory;  // 4 KiB pages
  u32 disk;    // KiB/s
  u16 gpu;
  u16 vram;  // 4 MiB steps
  u16 threads;
  u16 tcp;
};
struct FoundProcesses {
  FoundRow rows[found_max_rows];
  u64 unreported;  // bit per row: the disk rate was not reported
  u64 cut;         // bit per row: the name was cut
  u32 kept, matched, listed;
  u8 truncated;
};

// What a call that needs the cluster brought back: a status (cluster_ok when the data arrived, else the reason the
// tool reports) and what the answer's texts need. Reset before every line.
constexpr u8 cluster_ok = 0, cluster_unconfigured = 1, cluster_no_key = 2, cluster_key_refused = 3,
             cluster_unreachable = 4, cluster_no_memory = 5, cluster_no_answer = 6, cluster_unknown_machine = 7,
             cluster_ambiguous = 8, cluster_machine_silent = 9, cluster_history_late = 10;
constexpr u8 no_machine = 255;
struct ClusterView {
  u8 status;
  u8 last_event;  // the link's status word, 7 when it reported none
  u8 chosen;      // index of the chosen machine in the host's list, no_machine when none
  u8 tier;        // history tier that answered
  u8 own_id_known;
  u8 name_length;
  u32 timeout_ms;  // the wait that ran out
  u32 host_clock;  // seconds since 2025-01-01
  u32 answered;    // machines that sent their table (find_process)
  u32 unanswered;
  u32 host_version;  // major x 1,000,000 + minor x 1,000 + patch
  u64 data_time;     // ms, when the machine's data arrived
  u64 silence_ms;    // how long the host had heard nothing of the chosen machine when its data arrived
  u8 silence_known;  // silence_ms was read from its stored history; else only its state bounds it
  u8 name[32];       // the chosen machine's name
  u8 own_id[16];
  machine::Machine* machine;  // the watched machine's copy
  model::ProcTable* table;
  proclist::ListState* list;
  const proto::MachineList* machines;  // the host's list, once it arrived
  const viewer::HistView* hist;        // the history answer as folded
  const viewer::NameFilter* names;     // its names and top rows, when asked for
  const FoundProcesses* found;         // the cluster-wide find_process result
};
// status 1, nothing chosen.
void reset_need(ClusterView* view);

// What a tool call sees while it runs. The loop fills it per line, after sampling.
struct ToolContext {
  mem::Bytes version;
  const ToolTable* table;
  const machine::Machine* machine;  // null when there is none
  u64 now_ms;
  u64 sample_ms;        // time of the newest system sample
  u32 sample_interval;  // ms between the samples the rates came from
  u8 sample_held;
  u8 table_held;
  u32 table_interval;
  u64 table_ms;
  const model::ProcTable* procs;
  proclist::ListState* list;  // the list the process tools sort and filter
  mem::Bytes name;            // the machine's display name; empty for this machine
  const ClusterView* cluster;  // null: no cluster data were gathered (status 1)
  u8 state;                    // a cluster machine's listed state (0 online, 1 stale, 2 offline, 3 missing); 0 here
  u8 silence_known;            // a stale or offline machine's silence is known from its stored history
  u64 silence_ms;              // and how long it had lasted when the data arrived
};
// The context of the cluster machine the view holds: its record, table and list, both data times the time the
// data arrived, rate windows of 1,000 ms (sample) and 2,000 ms (table), its name, state and silence.
ToolContext remote_context(const ToolContext* local);

// The request as a handler reads it.
struct Call {
  const json::Document* doc;
  mem::Bytes line;
  u16 arguments;  // json::none when absent
};

using Handler = void (*)(const ToolContext* context, const Call* call, json::Writer* w);
using SchemaWriter = void (*)(json::Writer* w);

struct Tool {
  mem::Bytes name;
  mem::Bytes title;
  mem::Bytes description;
  mem::Bytes arguments;  // comma-separated names
  SchemaWriter input_schema;
  SchemaWriter output_schema;  // null when the tool has none
  Handler handler;             // null until the tool's handler exists
  u8 need;                     // data-need code
};

struct ToolTable {
  u32 count;
  u64 needs_sample;     // bit per tool
  u64 needs_processes;  // bit per tool
  Tool tools[max_tools];
};

// Fills the table with the seven tools, in their fixed order.
void tool_table(ToolTable* table);
// The index of the tool whose name (decoded) equals the string value, or no_tool.
u8 tool_index(const ToolTable* table, const json::Document* doc, mem::Bytes line, u16 name);
// The method code of a method name value (decoded).
u8 method_of(const json::Document* doc, mem::Bytes line, u16 name);
// The key of the first member of the arguments object that is not in the comma-separated names, or json::none.
u16 check_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, mem::Bytes names);
// The "arguments" member of the request's params, or json::none.
u16 arguments_of(const json::Document* doc, mem::Bytes line, const Request* request);

// Data needs of a tool call beyond this machine's own data.
constexpr u8 need_local = 0, need_machine_list = 1, need_machine_usage = 2, need_machine_processes = 3,
             need_history = 4, need_find_named = 5, need_find_all = 6, need_process_history = 7;

// What a classified line needs gathered before it is answered: need_local for anything but a valid tools/call, and
// for a call whose arguments are wrong (its handler reports them).
u8 tool_needs(const Request* request, const ToolTable* table, const json::Document* doc, mem::Bytes line);

// Argument readers; arguments is the "arguments" object or json::none.
// "machine": 0 absent, 1 a string of 1 to 64 decoded bytes, 2 anything else.
u8 machine_argument_kind(const json::Document* doc, mem::Bytes line, u16 arguments);
// Decodes "machine" into out (what does not fit is dropped) and returns its full decoded length, 0 when not a string.
u64 machine_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[64]);
// The decoded "name" and its length, 0 when not a string or longer than 260 bytes.
u64 name_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[260]);
// "by": 0 cpu, 1 memory, 2 disk, 3 gpu, 4 vram, 0 when absent, 5 for anything else. "count": 10 when absent, the
// value of a plain integer from 1 to 50, else 0.
void by_count_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, u8* by, u32* count);
// The index of the word (of a comma-separated list) that a string member equals, the default when the member is
// absent, 255 otherwise.
u8 enum_argument(const json::Document* doc, mem::Bytes line, u16 arguments, mem::Bytes key, mem::Bytes words,
                 u8 fallback);
// "state": 0 online, 1 stale, 2 offline, 3 missing, 4 all (also when absent), 255 for anything else.
u8 state_argument(const json::Document* doc, mem::Bytes line, u16 arguments);
// "metric" (default cpu), "range" (default 24h) and whether the cluster is meant: 0 valid, 1 neither a valid machine
// nor cluster true (or both), 2 an unknown metric, 3 an unknown range.
u8 metric_range_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, u8* metric, u8* range,
                          u8* cluster);
// The decoded "name" of a process and its length when it is 1 to 32 bytes, else 0.
u64 process_name_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[32]);

// Parses the line into the document and classifies it.
void classify(mem::Bytes line, const ToolTable* table, json::Document* doc, Request* request);
// Writes the answer of a classified line; nothing for notifications and responses. An answer that does not fit
// becomes the internal error, and when even that does not fit the writer is left empty.
void answer(mem::Bytes line, const json::Document* doc, const Request* request, const ToolContext* context,
            json::Writer* w);
// The answer to a line longer than the reader takes.
void answer_too_long(json::Writer* w, const json::Document* doc);

// Pieces of a tool result. text_content opens the result and leaves the text string open for the handler's text;
// structured_content closes it and opens "structuredContent"; is_error closes that and ends the result.
void text_content(json::Writer* w);
void structured_content(json::Writer* w);
void is_error(json::Writer* w);
// A whole error result holding one text.
void bad_arguments(json::Writer* w, mem::Bytes text);

// Schema pieces. A null key writes no key.
void schema_type(json::Writer* w, mem::Bytes key, mem::Bytes type);
void schema_nullable(json::Writer* w, mem::Bytes key, mem::Bytes type);
// KEY:{"type":"object","properties":{ with both left open.
void schema_object(json::Writer* w, mem::Bytes key);
// Closes the properties, writes "required" from a comma-separated list and closes the object.
void schema_required(json::Writer* w, mem::Bytes names);
// KEY:{"type":"array","items":{"type":T}} with an item type, else KEY:{"type":"array","items": left open.
void schema_array(json::Writer* w, mem::Bytes key, mem::Bytes item_type);
void no_arguments_schema(json::Writer* w);

// A cluster failure as a tool error result; 1 when written, 0 when the cluster data arrived. A context without
// cluster data counts as status 1.
u32 cluster_result(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                   json::Writer* w);
// The failure text alone, inside an open string.
void cluster_text(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                  json::Writer* w);
// The machine argument exactly as written, or nothing when the request has none.
mem::Bytes machine_as_written(const json::Document* doc, mem::Bytes line, u16 arguments);

// ---- The tools.

void machine_usage(const ToolContext* context, const Call* call, json::Writer* w);
void machine_usage_text(json::Writer* w, const ToolContext* context, const ring::Row* row);
void machine_usage_json(json::Writer* w, const ToolContext* context, const ring::Row* row);
void machine_usage_output_schema(json::Writer* w);
void top_processes(const ToolContext* context, const Call* call, json::Writer* w);
void find_process(const ToolContext* context, const Call* call, json::Writer* w);
void processes_output_schema(json::Writer* w);
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
void list_machines_output_schema(json::Writer* w);
void cluster_usage_output_schema(json::Writer* w);
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
void usage_history_output_schema(json::Writer* w);
void process_history_output_schema(json::Writer* w);

// Writers shared by the tools. Texts from the machine (names of processes, disks, interfaces) may hold any byte:
// JSON escaping keeps the protocol whole, and in the text report control bytes become '?' so that a name cannot
// forge lines of the report.
void write_gb(json::Writer* w, u64 mib);
void write_rate(json::Writer* w, u32 kib_per_s);
void write_span(json::Writer* w, const words::Text* text);
void write_name_text(json::Writer* w, mem::Bytes name);
void key_uint(json::Writer* w, mem::Bytes key, u64 value);
void key_uint_or_null(json::Writer* w, mem::Bytes key, u64 value, bool known);
void key_text_or_unknown(json::Writer* w, mem::Bytes key, mem::Bytes text);
void key_fixed(json::Writer* w, mem::Bytes key, u64 value, u32 decimals);
// The sort, filter and rebuild the process tools use: CPU, largest first, the text as the filter.
void filter_list(proclist::ListState* list, const model::ProcTable* table, mem::Bytes text);
// The answer for one machine's list; note adds the line that says why other machines were not searched.
void processes_answer(const ToolContext* context, const Call* call, json::Writer* w, mem::Bytes heading, u32 count,
                      bool note);
void process_row_text(json::Writer* w, const model::ProcTable* table, u32 row);
void process_rows(json::Writer* w, const model::ProcTable* table, u32 row);

// ---- The server loop.

constexpr u32 line_max = 65536;
constexpr u32 read_max = 65536;
constexpr u32 reader_bytes = 131072;

struct LineReader {
  u32 start;   // first byte not consumed
  u32 filled;  // bytes held
  u32 scan;    // where the search for the next line feed resumes
  u8 overlong;
  u8 ended;
  u8 buffer[reader_bytes];
};
static_assert(sizeof(LineReader) == 131088);

constexpr u8 line_more = 0, line_ready = 1, line_too_long = 2, line_end = 3;
// Moves what is not consumed to the front; the free space behind it.
mem::Slice line_start(LineReader* reader);
u8 next_line(LineReader* reader, mem::Bytes* line);

struct ServerOptions {
  mem::Bytes key_path;
  mem::Bytes publish_path;
  u32 connect_wait;
  u32 machine_wait;
  u32 history_wait;
  u32 find_budget;
  u32 find_machine_cap;
  cluster::ShareBeacon share_beacon;  // a share target's beacon as the window follows it; null: as read
};

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

// The link to the cluster host: its arena and the areas every need carves from it. Made by connect_cluster and
// kept between calls while the host answers, so that a call does not wait for a handshake and the host's first list;
// close_cluster tears it down.
struct ClusterCall {
  mem::Arena arena;
  u8 open;
  viewlink::ViewerConn* conn;
  viewer::Remote* remote;
  model::ProcTable* table;
  proclist::ListState* list;
  viewer::HistView* view;
  viewer::NameFilter* names;
  FoundProcesses* found;
  u32 lists_mark;  // the link's list count when it was last seen not open: a list above it came on this session
  u64 last_used;   // ms, when the last call that used the link ended
  cluster::PublishSettings target;  // what the link was aimed at
};
// The cluster arena of a need: its areas and 64 bytes for each, and 64 more.
u64 link_size(u8 need);
// The arena of a kept link: every need's areas at once, with room for a history answer.
u64 kept_link_size();
// A kept link no call used for this long is closed, and the server waits for input without waking.
constexpr u32 kept_idle_ms = 300000;
// After an answer: a link that is no longer open is closed, an open one is kept for the next call.
void keep_cluster(ClusterCall* call, u64 now);
// Waits until standard input has bytes (or ends) while a link is kept: the link is stepped once a second, which
// takes the host's lists and sends its pings. The link is closed when it fails or stayed unused for kept_idle_ms;
// from then on the read alone waits.
void wait_input(ClusterCall* call, u64 input);
// One step of the link, then a sleep until it next needs to act: at most 50 ms, never past the deadline.
void wait_link(viewlink::ViewerConn* conn, u64 deadline);
// True when the link is open and the host's machine list arrived; the view's status says why not.
bool connect_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need);
// cluster_ok with the chosen row and name in the view, cluster_unknown_machine or cluster_ambiguous.
u8 resolve_machine(ClusterView* view, const json::Document* doc, mem::Bytes line, u16 arguments);
// True when the machine's inventory, a sample and (when asked) its process rows arrived within the time-out.
bool ask_machine(ClusterCall* call, ClusterView* view, const u8* id, bool with_processes, u32 timeout);
// The history the tool asks for, finer tiers tried while a tier holds no buckets; sets the view's status.
void ask_history(ClusterCall* call, ClusterView* view, const ServerOptions* options, u8 need,
                 const json::Document* doc, mem::Bytes line, u16 arguments);
void close_cluster(ClusterCall* call);
// The newest time slot a machine's stored history holds. The ask folds a tier's buckets of [start, start + span)
// into 60 rows and answers the newest row that holds one, viewer::outside when none does, row_late when the host
// did not answer. Recent slots are asked first, finer tiers before coarser ones; a row wider than the tier's slot is
// narrowed by asking for its own range.
constexpr u32 row_late = 0xFFFFFFFF;
using RowAsk = u32 (*)(void* source, u8 tier, u32 start, u32 span);
constexpr u8 slot_none = 0, slot_found = 1, slot_late = 2;
u8 newest_slot(RowAsk ask, void* source, u32 host_clock, u32* slot);
// For a stale or offline chosen machine: how long the host had heard nothing of it, from its newest stored slot.
void ask_silence(ClusterCall* call, ClusterView* view, const ServerOptions* options);
// find_process without a machine: this machine's matches, then each online or stale machine's within the budget.
void find_in_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options,
                     mem::Bytes name);
void found_insert(FoundProcesses* set, u8 machine, const model::ProcTable* table, u32 row);
void found_add_list(FoundProcesses* set, u8 machine, const model::ProcTable* table, const proclist::ListState* list);
void find_answer_cluster(const ToolContext* context, json::Writer* w);

// 0 fresh, 1 one new sample suffices, 2 cold (two samples a second apart).
u32 freshness(u32 tried, u32 held, u64 now, u64 then, u32 refresh_age);
// Brings the sample (and the process table) up to date for one tool call.
void refresh_local(LocalData* local, u32 refresh_age, bool with_processes);
// What a need from 1 to 7 asks of the cluster host, into the view; the call keeps the link until close_cluster.
void gather_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need,
                    const json::Document* doc, mem::Bytes line, u16 arguments);

// The mode's entry: exit code 0 at the end of standard input, 1 when the arena or a write failed.
u32 main(mem::Bytes version, mem::Bytes key_path, mem::Bytes publish_path, cluster::ShareBeacon share_beacon);
u32 serve(u64 input, u64 output, mem::Bytes version, u32 refresh_age, const ServerOptions* options);

// Small pieces shared by the tools.
// A 16-byte machine id as 32 lower-case hex digits (raw, no quotes), and KEY:"<id>".
void write_id_hex(json::Writer* w, const u8 (&id)[16]);
void key_id(json::Writer* w, mem::Bytes key, const u8 (&id)[16]);
// 32 hex digits of either case into 16 bytes; false unless the text is exactly 32 digits.
bool parse_id(mem::Bytes text, u8 (&id)[16]);
// A machine-list name: 32 bytes cut at the first zero byte.
mem::Bytes machine_name(const u8 (&name)[32]);
// Two texts of equal length, ASCII letters folded.
bool equals_nocase(mem::Bytes a, mem::Bytes b);
// The name, or "this machine" when it is empty.
mem::Bytes machine_label(mem::Bytes name);
mem::Bytes machine_argument_error();

}  // namespace mcp
