#pragma once
// The MCP server's line loop and JSON-RPC dispatcher: one line of standard input in, at most one answer line out.
// The dispatcher keeps no state between lines; the tool table is filled once and only read afterwards, and the
// document, request and writer are reused per line. This header also holds what every tool reads: the request,
// the tool context and the cluster view a call gathered, and the argument readers.
#include "base/mem.h"
#include "cluster/viewer.h"
#include "mcp/json.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "views/proclist.h"

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

// Word lists of the enumerated arguments, comma-separated in index order.
mem::Bytes by_words();
mem::Bytes state_words();
mem::Bytes metric_words();
mem::Bytes range_words();

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

// The mode's entry: exit code 0 at the end of standard input, 1 when the arena or a write failed.
u32 main(mem::Bytes version, mem::Bytes key_path, mem::Bytes publish_path, cluster::ShareBeacon share_beacon);
u32 serve(u64 input, u64 output, mem::Bytes version, u32 refresh_age, const ServerOptions* options);

// Small pieces shared by the tools.
// 32 hex digits of either case into 16 bytes; false unless the text is exactly 32 digits.
bool parse_id(mem::Bytes text, u8 (&id)[16]);
// A machine-list name: 32 bytes cut at the first zero byte.
mem::Bytes machine_name(const u8 (&name)[32]);
// Two texts of equal length, ASCII letters folded.
bool equals_nocase(mem::Bytes a, mem::Bytes b);
// The name, or "this machine" when it is empty.
mem::Bytes machine_label(mem::Bytes name);
mem::Bytes machine_argument_error();

// Carves one area of T (or of bytes) from an arena, aligned to 64 bytes; false when the arena is full.
template <typename T>
bool carve(mem::Arena* arena, T** out, u64 bytes = sizeof(T)) {
  *out = reinterpret_cast<T*>(mem::alloc(arena, bytes, 64).ptr);
  return *out != nullptr;
}

}  // namespace mcp
