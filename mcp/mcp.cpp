// The line loop of `--mcp` and the JSON-RPC dispatcher: classifying a line, the tool table, the argument readers
// and the answers that are not a tool's own.
#include "mcp/mcp.h"

#include "base/bits.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "cluster/publish.h"
#include "mcp/cluster_link.h"
#include "mcp/cluster_tools.h"
#include "mcp/local_tools.h"
#include "mcp/writers.h"
#include "platform/os.h"

namespace mcp {

// Word lists of the enumerated arguments, in index order.
mem::Bytes by_words() { return mem::lit("cpu,memory,disk,gpu,vram"); }
mem::Bytes state_words() { return mem::lit("online,stale,offline,missing,all"); }
mem::Bytes metric_words() { return mem::lit("cpu,memory,gpu,vram,net,disk"); }
mem::Bytes range_words() { return mem::lit("1h,24h,30d,2y"); }

namespace {

constexpr u16 none = json::none;
constexpr u8 process_history_tool = 6;

// JSON-RPC error codes.
constexpr i64 code_parse = -32700, code_invalid = -32600, code_method = -32601, code_params = -32602,
              code_internal = -32603;

// A string or number value exactly as it came, quotes and escapes included.
mem::Bytes as_received(const json::Document* doc, mem::Bytes line, u16 index) {
  mem::Bytes span = json::text_of(doc, line, index);
  if (json::type_of(doc, index) != json::type_string) return span;
  return mem::Bytes(span.ptr - 1, span.len + 2);
}

// "jsonrpc":"2.0","id":ID, leaving the answer object open.
void answer_head(json::Writer* w, const json::Document* doc, mem::Bytes line, u16 id) {
  json::begin_object(w);
  json::key(w, mem::lit("jsonrpc"));
  json::string_value(w, mem::lit("2.0"));
  json::key(w, mem::lit("id"));
  if (id == none) json::write_null(w);
  else json::raw_value(w, as_received(doc, line, id));
}

// "error":{"code":CODE,"message":PREFIX + TEXT + RAW} and the end of the answer; raw is JSON string content as it
// stands (a name as written in the request).
void error_tail(json::Writer* w, i64 code, mem::Bytes prefix, mem::Bytes text, mem::Bytes raw) {
  json::key(w, mem::lit("error"));
  json::begin_object(w);
  json::key(w, mem::lit("code"));
  json::int_value(w, code);
  json::key(w, mem::lit("message"));
  json::comma(w);
  json::put_byte(w, '"');
  json::write_string(w, prefix);
  json::write_string(w, text);
  json::put_raw(w, raw);
  json::put_byte(w, '"');
  json::end_object(w);
  json::end_object(w);
}

void error_answer(json::Writer* w, const json::Document* doc, mem::Bytes line, u16 id, i64 code, mem::Bytes text,
                  mem::Bytes suffix) {
  answer_head(w, doc, line, id);
  error_tail(w, code, text, mem::Bytes(), suffix);
}

u32 in_list(mem::Bytes names, mem::Bytes name) {
  for (u64 at = 0; at < names.len;)
    if (mem::eq(next_name(names, &at), name)) return 1;
  return 0;
}

// Schemas of the tools' arguments.

void string_property(json::Writer* w, mem::Bytes key, u64 max_length) {
  json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("string"));
  json::key(w, mem::lit("minLength"));
  json::uint_value(w, 1);
  json::key(w, mem::lit("maxLength"));
  json::uint_value(w, max_length);
}

void machine_property(json::Writer* w) {
  string_property(w, mem::lit("machine"), 64);
  json::key(w, mem::lit("description"));
  json::string_value(w, mem::lit("the name (ignoring ASCII case) or the 32-digit id of a machine from list_machines"));
  json::end_object(w);
}

void name_property(json::Writer* w, u64 max_length) {
  string_property(w, mem::lit("name"), max_length);
  json::end_object(w);
}

// KEY:{"type":"string","enum":[...]} from a comma-separated word list.
void enum_property(json::Writer* w, mem::Bytes key, mem::Bytes words) {
  json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("string"));
  json::key(w, mem::lit("enum"));
  json::begin_array(w);
  for (u64 at = 0; at < words.len;) json::string_value(w, next_name(words, &at));
  json::end_array(w);
  json::end_object(w);
}

void range_property(json::Writer* w) { enum_property(w, mem::lit("range"), range_words()); }

void machine_only_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  machine_property(w);
  schema_close(w, mem::Bytes());
}

void top_processes_input_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  enum_property(w, mem::lit("by"), by_words());
  json::key(w, mem::lit("count"));
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("integer"));
  json::key(w, mem::lit("minimum"));
  json::uint_value(w, 1);
  json::key(w, mem::lit("maximum"));
  json::uint_value(w, 50);
  json::end_object(w);
  machine_property(w);
  schema_close(w, mem::Bytes());
}

void find_process_input_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  name_property(w, 260);
  machine_property(w);
  schema_close(w, mem::lit("name"));
}

void list_machines_input_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  enum_property(w, mem::lit("state"), state_words());
  schema_close(w, mem::Bytes());
}

void usage_history_input_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  machine_property(w);
  schema_type(w, mem::lit("cluster"), mem::lit("boolean"));
  enum_property(w, mem::lit("metric"), metric_words());
  range_property(w);
  schema_close(w, mem::Bytes());
}

void process_history_input_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  name_property(w, 32);
  machine_property(w);
  range_property(w);
  schema_close(w, mem::lit("name,machine"));
}

mem::Bytes tool_description(u32 index) {
  switch (index) {
    case 0:
      return mem::lit(
          "Resource usage of this machine now: CPU total and per core, memory (used, available, committed, modified, "
          "standby), each disk (read and write rate, active time, used and free space), each network interface "
          "(receive and send rate), each battery (charge and state) and thermal zone (temperature in tenths of a "
          "degree Celsius) where the system reports them, the power draw in watts (the system figure, or the sum of "
          "the CPU package, DRAM and GPU meters, each null where no meter or battery reports it), process, thread "
          "and handle count, up time; and the hardware: CPU vendor, family, sockets, cores, base and current speed, "
          "caches, instruction sets, virtualisation; memory type, speed, form factor, slots, hardware reserved, "
          "compressed, cached, pools; each disk's type, bus and model. A value the machine does not report is null "
          "or \"unknown\". Network addresses are not included. Rates cover about the last second. With machine (a "
          "name or an id from list_machines) it answers for that machine of the cluster instead, from what it "
          "publishes (no batteries, thermal zones or pools).");
    case 1:
      return mem::lit(
          "The heaviest processes of this machine now, sorted by one column: by is cpu, memory, disk, gpu or vram "
          "(default cpu), count is 1 to 50 (default 10). Each row has the process name (the image file name, up to "
          "260 bytes, never a path, a command line or a user; name_cut is true when the collector kept only its "
          "first 32 bytes), the process id, CPU %, memory (working set), disk read plus write rate, GPU % (the "
          "busiest engine), VRAM, threads and TCP connections. CPU, disk and GPU are rates over about the last "
          "second; disk is null where the system did not report it. With machine (a name or an id from "
          "list_machines) it answers for that machine of the cluster, from the 256 heaviest processes it publishes.");
    case 2:
      return mem::lit(
          "Processes whose name contains the given text, ignoring ASCII case, heaviest CPU first, at most 50, with "
          "the same columns as top_processes and the machine each runs on. Without machine it searches this machine "
          "and, when a server or share is configured, every online or stale machine of the cluster (each for at most "
          "2 s); with machine (a name or an id from list_machines) only that machine. Names only: no paths, command "
          "lines or users.");
    case 3:
      return mem::lit(
          "The machines of the cluster that publish to the configured Vimbrel server or share: name, id, state "
          "(online: a sample in the last 5 s, stale: up to 60 s, offline, missing), CPU, memory, busiest disk, GPU, "
          "VRAM, disk and network rates, processes and threads, as the server last saw them. state filters them "
          "(online, stale, offline, missing or all; default all). Needs a configured server or share and the "
          "cluster key; nothing about this machine is sent.");
    case 4:
      return mem::lit(
          "The cluster at a glance from the server's list: how many machines are online, stale, offline and "
          "missing, and the sums over the online and stale ones: logical processors and how many are busy, memory, "
          "VRAM, disk and network rates, processes and threads. For processes call top_processes or find_process.");
    case 5:
      return mem::lit(
          "Minimum, average and maximum of one metric per time slot over a range, from the server's history: "
          "machine (a name or an id from list_machines) or cluster: true; metric cpu, memory, gpu, vram, net "
          "(receive and send) or disk (busiest disk active time), default cpu; range 1h, 24h, 30d or 2y, default "
          "24h. At most 60 rows, oldest first, times in UTC. The server keeps 10 s buckets for 24 h, 5 min buckets "
          "for 30 days and 1 h buckets for 2 years; a range whose tier is not written yet falls back to a finer one. "
          "from_s and to_s are seconds since 2025-01-01 UTC. For one machine and metric cpu or memory each row also "
          "lists top_processes: the heaviest processes by that metric in the slot (their peak), as far as the "
          "server keeps them (5 per bucket; process names only).");
    default:
      return mem::lit(
          "CPU and memory of one process over a range, from the history of the heaviest processes the server keeps: "
          "name (the process name as top_processes shows it, ignoring ASCII case, at most 32 bytes), machine (a "
          "name or an id from list_machines), range 1h, 24h, 30d or 2y, default 24h. The server keeps the 5 "
          "heaviest processes by CPU and the 5 by memory of every bucket (10 s for 24 h, 5 min for 30 days, 1 h for "
          "2 years), so a row says in how many buckets the process was among them and its highest CPU and memory "
          "there; a time slot in which it was never among them has no row. Process names only: no command line, "
          "user or path is kept. At most 60 rows, oldest first, times in UTC.");
  }
}

void set_tool(ToolTable* table, mem::Bytes name, mem::Bytes title, mem::Bytes arguments, SchemaWriter input,
              u8 need) {
  u32 i = table->count++;
  Tool* tool = &table->tools[i];
  tool->name = name;
  tool->title = title;
  tool->description = tool_description(i);
  tool->arguments = arguments;
  tool->input_schema = input;
  tool->output_schema = nullptr;
  tool->handler = nullptr;
  tool->need = need;
}

// Steps 3 to 7 of classifying an object root: the kind, and the kept id.
struct Head {
  u16 id;
  u16 method;
  u8 has_id;
  u8 version_ok;
  u8 result_or_error;
};

Head read_head(const json::Document* doc, mem::Bytes line) {
  Head head = {none, none, 0, 0, 0};
  u16 id = json::member(doc, line, 0, mem::lit("id"));
  head.has_id = id != none;
  u8 id_type = json::type_of(doc, id);
  if (id_type == json::type_string || id_type == json::type_number) head.id = id;
  head.version_ok = static_cast<u8>(json::string_equals(doc, line, json::member(doc, line, 0, mem::lit("jsonrpc")),
                                                        mem::lit("2.0")));
  u16 method = json::member(doc, line, 0, mem::lit("method"));
  if (json::type_of(doc, method) == json::type_string) head.method = method;
  head.result_or_error = json::member(doc, line, 0, mem::lit("result")) != none ||
                         json::member(doc, line, 0, mem::lit("error")) != none;
  return head;
}

u8 kind_of(const Head& head) {
  if (!head.version_ok) return kind_invalid;
  if (head.method != none && !head.has_id) return kind_notification;
  if (head.method == none && head.result_or_error && head.id != none) return kind_response;
  if (head.method == none || head.id == none) return kind_invalid;
  return kind_request;
}

// Step 10: the tool of a tools/call and its arguments.
void classify_call(mem::Bytes line, const ToolTable* table, const json::Document* doc, Request* r) {
  u16 name = json::member(doc, line, r->params, mem::lit("name"));
  if (json::type_of(doc, name) != json::type_string) {
    r->error = error_name;
    return;
  }
  r->method_value = name;
  r->tool = tool_index(table, doc, line, name);
  if (r->tool == no_tool) {
    r->error = error_unknown_tool;
    return;
  }
  u16 arguments = json::member(doc, line, r->params, mem::lit("arguments"));
  if (arguments == none) return;
  if (json::type_of(doc, arguments) != json::type_object) {
    r->error = error_arguments;
    return;
  }
  r->argument = check_arguments(doc, line, arguments, table->tools[r->tool].arguments);
  if (r->argument != none) r->error = error_argument;
}

void initialize_result(json::Writer* w, const json::Document* doc, mem::Bytes line, const Request* r,
                       mem::Bytes version) {
  const mem::Bytes known[] = {mem::lit("2025-11-25"), mem::lit("2025-06-18"), mem::lit("2025-03-26"),
                              mem::lit("2024-11-05")};
  u16 asked = json::member(doc, line, r->params, mem::lit("protocolVersion"));
  mem::Bytes chosen = known[0];
  for (const mem::Bytes& date : known)
    if (json::string_equals(doc, line, asked, date)) {
      chosen = date;
      break;
    }
  json::begin_object(w);
  json::key(w, mem::lit("protocolVersion"));
  json::string_value(w, chosen);
  json::key(w, mem::lit("capabilities"));
  json::raw_value(w, mem::lit("{\"tools\":{\"listChanged\":false}}"));
  json::key(w, mem::lit("serverInfo"));
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, mem::lit("vimbrel"));
  json::key(w, mem::lit("title"));
  json::string_value(w, mem::lit("Vimbrel"));
  json::key(w, mem::lit("version"));
  json::string_value(w, version);
  json::end_object(w);
  json::key(w, mem::lit("instructions"));
  json::string_value(
      w, mem::lit("Read-only resource usage of this machine and, when a Vimbrel server or share is configured, of the "
                  "other machines of the cluster. Call machine_usage for CPU, memory, disks, network and up time, "
                  "top_processes for the heaviest processes, find_process to look processes up by name (on every "
                  "machine unless one is named), list_machines and cluster_usage for the cluster and usage_history "
                  "for minimum, average and maximum over the last hour, day, month or two years."));
  json::end_object(w);
}

void tools_list_result(json::Writer* w, const ToolTable* table) {
  json::begin_object(w);
  json::key(w, mem::lit("tools"));
  json::begin_array(w);
  for (u32 i = 0; i < table->count; ++i) {
    const Tool* tool = &table->tools[i];
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    json::string_value(w, tool->name);
    json::key(w, mem::lit("title"));
    json::string_value(w, tool->title);
    json::key(w, mem::lit("description"));
    json::string_value(w, tool->description);
    json::key(w, mem::lit("inputSchema"));
    tool->input_schema(w);
    if (tool->output_schema) {
      json::key(w, mem::lit("outputSchema"));
      tool->output_schema(w);
    }
    json::key(w, mem::lit("annotations"));
    json::raw_value(w, mem::lit("{\"readOnlyHint\":true,\"openWorldHint\":false}"));
    json::end_object(w);
  }
  json::end_array(w);
  json::end_object(w);
}

// A tool error result: "Invalid arguments: " + tool name + middle + raw, which is JSON string content as written.
void argument_error(json::Writer* w, mem::Bytes tool, mem::Bytes middle, mem::Bytes raw) {
  text_content(w);
  json::write_string(w, mem::lit("Invalid arguments: "));
  json::write_string(w, tool);
  json::write_string(w, middle);
  json::put_raw(w, raw);
  error_result_end(w);
}

void call_result(json::Writer* w, mem::Bytes line, const json::Document* doc, const Request* r,
                 const ToolContext* context) {
  const Tool* tool = &context->table->tools[r->tool];
  if (r->error == error_arguments) {
    argument_error(w, tool->name, mem::lit(" takes its arguments as an object"), mem::Bytes());
  } else if (r->error == error_argument) {
    argument_error(w, tool->name, mem::lit(" does not take the argument "), json::text_of(doc, line, r->argument));
  } else {
    Call call = {doc, line, arguments_of(doc, line, r)};
    tool->handler(context, &call, w);
  }
}

// A string member decoded into out; its full decoded length, or none_length when absent or not a string.
constexpr u64 none_length = ~0ull;
u64 string_argument(const json::Document* doc, mem::Bytes line, u16 arguments, mem::Bytes key, mem::Slice out) {
  u16 value = json::member(doc, line, arguments, key);
  if (json::type_of(doc, value) != json::type_string) return none_length;
  return json::unescape(json::text_of(doc, line, value), out);
}

// Whether the call's own arguments are valid, as far as the loop must know before gathering.
u32 arguments_valid(const json::Document* doc, mem::Bytes line, u16 args, u8 tool, u8 need, u8* metric,
                    u8* cluster) {
  u8 by = 0, range = 0;
  u32 count = 0;
  by_count_arguments(doc, line, args, &by, &count);
  if (need == 2) return by != 5 && count != 0;
  if (need == 3) {
    u8 name[260];
    return name_argument(doc, line, args, name) != 0;
  }
  if (need == 4) return state_argument(doc, line, args) != 255;
  if (need != 5) return 1;
  if (metric_range_arguments(doc, line, args, metric, &range, cluster) != 0) return 0;
  u8 name[32];
  return tool != process_history_tool || (process_name_argument(doc, line, args, name) != 0 && !*cluster);
}

void write_answer(mem::Bytes line, const json::Document* doc, const Request* r, const ToolContext* context,
                  json::Writer* w) {
  switch (r->kind) {
    case kind_notification:
    case kind_response: return;
    case kind_parse_error: {
      u8 at[24];
      json::Writer number;
      json::writer_init(&number, mem::Slice{at, sizeof at});
      json::put_raw(&number, mem::lit(" at byte "));
      json::write_uint(&number, doc->error_at);
      answer_head(w, doc, line, none);
      error_tail(w, code_parse, mem::lit("Parse error: "), json::error_text(doc->error), mem::Bytes(at, number.length));
      return;
    }
    case kind_batch:
      return error_answer(w, doc, line, none, code_invalid, mem::lit("Invalid Request: batches are not supported"),
                          mem::Bytes());
    case kind_invalid: return error_answer(w, doc, line, r->id, code_invalid, mem::lit("Invalid Request"), mem::Bytes());
    default: break;
  }
  if (r->error == error_params)
    return error_answer(w, doc, line, r->id, code_params, mem::lit("Invalid params: params must be an object"),
                        mem::Bytes());
  if (r->error == error_name)
    return error_answer(w, doc, line, r->id, code_params, mem::lit("Invalid params: name must be a string"),
                        mem::Bytes());
  if (r->error == error_unknown_tool)
    return error_answer(w, doc, line, r->id, code_params, mem::lit("Unknown tool: "),
                        json::text_of(doc, line, r->method_value));
  if (r->method == method_other)
    return error_answer(w, doc, line, r->id, code_method, mem::lit("Method not found: "),
                        json::text_of(doc, line, r->method_value));
  answer_head(w, doc, line, r->id);
  json::key(w, mem::lit("result"));
  if (r->method == method_initialize) initialize_result(w, doc, line, r, context->version);
  else if (r->method == method_ping) json::raw_value(w, mem::lit("{}"));
  else if (r->method == method_tools_list) tools_list_result(w, context->table);
  else call_result(w, line, doc, r, context);
  json::end_object(w);
}

void clear(json::Writer* w) {
  w->length = 0;
  w->commas = 0;
  w->depth = 0;
  w->flags = 0;
}

}  // namespace

void tool_table(ToolTable* table) {
  table->count = 0;
  set_tool(table, mem::lit("machine_usage"), mem::lit("Machine usage"), mem::lit("machine"), machine_only_schema, 1);
  set_tool(table, mem::lit("top_processes"), mem::lit("Top processes"), mem::lit("by,count,machine"),
           top_processes_input_schema, 2);
  set_tool(table, mem::lit("find_process"), mem::lit("Find process"), mem::lit("name,machine"),
           find_process_input_schema, 3);
  set_tool(table, mem::lit("list_machines"), mem::lit("List machines"), mem::lit("state"),
           list_machines_input_schema, 4);
  set_tool(table, mem::lit("cluster_usage"), mem::lit("Cluster usage"), mem::Bytes(), no_arguments_schema, 4);
  set_tool(table, mem::lit("usage_history"), mem::lit("Usage history"), mem::lit("machine,cluster,metric,range"),
           usage_history_input_schema, 5);
  set_tool(table, mem::lit("process_history"), mem::lit("Process history"), mem::lit("machine,name,range"),
           process_history_input_schema, 5);
  const Handler handlers[] = {machine_usage, top_processes, find_process, list_machines, cluster_usage,
                              usage_history, process_history};
  const SchemaWriter outputs[] = {machine_usage_output_schema,  processes_output_schema,
                                  processes_output_schema,      list_machines_output_schema,
                                  cluster_usage_output_schema,  usage_history_output_schema,
                                  process_history_output_schema};
  for (u32 i = 0; i < table->count; ++i) {
    table->tools[i].handler = handlers[i];
    table->tools[i].output_schema = outputs[i];
  }
  table->needs_sample = 0b111;
  table->needs_processes = 0b110;
}

u8 tool_index(const ToolTable* table, const json::Document* doc, mem::Bytes line, u16 name) {
  for (u32 i = 0; i < table->count; ++i)
    if (json::string_equals(doc, line, name, table->tools[i].name)) return static_cast<u8>(i);
  return no_tool;
}

u8 method_of(const json::Document* doc, mem::Bytes line, u16 name) {
  if (json::string_equals(doc, line, name, mem::lit("initialize"))) return method_initialize;
  if (json::string_equals(doc, line, name, mem::lit("ping"))) return method_ping;
  if (json::string_equals(doc, line, name, mem::lit("tools/list"))) return method_tools_list;
  if (json::string_equals(doc, line, name, mem::lit("tools/call"))) return method_tools_call;
  return method_other;
}

u16 check_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, mem::Bytes names) {
  if (json::type_of(doc, arguments) != json::type_object) return none;
  u16 end = doc->ends[arguments];
  for (u16 k = static_cast<u16>(arguments + 1); k < end; k = doc->ends[k + 1]) {
    u8 decoded[64];
    u64 n = json::unescape(json::text_of(doc, line, k), mem::Slice{decoded, sizeof decoded});
    if (n > sizeof decoded || !in_list(names, mem::Bytes(decoded, n))) return k;
  }
  return none;
}

u8 tool_needs(const Request* r, const ToolTable* table, const json::Document* doc, mem::Bytes line) {
  if (r->kind != kind_request || r->method != method_tools_call || r->error != error_none) return need_local;
  u8 need = table->tools[r->tool].need;
  u16 args = arguments_of(doc, line, r);
  u8 metric = 0, cluster = 0;
  u32 valid = arguments_valid(doc, line, args, r->tool, need, &metric, &cluster);
  u8 machine = machine_argument_kind(doc, line, args);
  // History names its machine inside the history ask; the machine was checked with the other arguments.
  if (need == 5 && machine == 1) machine = 0;
  if (!valid || machine == 2) return need_local;
  u32 named = machine == 1;
  switch (need) {
    case 1: return named ? need_machine_usage : need_local;
    case 2: return named ? need_machine_processes : need_local;
    case 3: return named ? need_find_named : need_find_all;
    case 4: return need_machine_list;
    default:
      if (r->tool == process_history_tool || (metric <= 1 && !cluster)) return need_process_history;
      return need_history;
  }
}

u8 machine_argument_kind(const json::Document* doc, mem::Bytes line, u16 arguments) {
  if (json::member(doc, line, arguments, mem::lit("machine")) == none) return 0;
  u8 name[64];
  u64 n = machine_argument(doc, line, arguments, name);
  return n >= 1 && n <= sizeof name ? 1 : 2;
}

u64 machine_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[64]) {
  u64 n = string_argument(doc, line, arguments, mem::lit("machine"), mem::Slice{out, sizeof out});
  return n == none_length ? 0 : n;
}

u64 name_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[260]) {
  u64 n = string_argument(doc, line, arguments, mem::lit("name"), mem::Slice{out, sizeof out});
  return n == none_length || n > sizeof out ? 0 : n;
}

u64 process_name_argument(const json::Document* doc, mem::Bytes line, u16 arguments, u8 (&out)[32]) {
  u64 n = string_argument(doc, line, arguments, mem::lit("name"), mem::Slice{out, sizeof out});
  return n == none_length || n > sizeof out ? 0 : n;
}

void by_count_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, u8* by, u32* count) {
  u8 word = enum_argument(doc, line, arguments, mem::lit("by"), by_words(), 0);
  *by = word == 255 ? 5 : word;
  u16 value = json::member(doc, line, arguments, mem::lit("count"));
  *count = value == none ? 10 : 0;
  if (json::type_of(doc, value) != json::type_number) return;
  mem::Bytes number = json::text_of(doc, line, value);
  u64 n = json::integer(number, nullptr);
  if (json::number_flags(number) == 0 && n >= 1 && n <= 50) *count = static_cast<u32>(n);
}

u8 enum_argument(const json::Document* doc, mem::Bytes line, u16 arguments, mem::Bytes key, mem::Bytes words,
                 u8 fallback) {
  u16 value = json::member(doc, line, arguments, key);
  if (value == none) return fallback;
  u8 index = 0;
  for (u64 at = 0; at < words.len; ++index)
    if (json::string_equals(doc, line, value, next_name(words, &at))) return index;
  return 255;
}

u8 state_argument(const json::Document* doc, mem::Bytes line, u16 arguments) {
  return enum_argument(doc, line, arguments, mem::lit("state"), state_words(), 4);
}

u8 metric_range_arguments(const json::Document* doc, mem::Bytes line, u16 arguments, u8* metric, u8* range,
                          u8* cluster) {
  u8 flag = json::type_of(doc, json::member(doc, line, arguments, mem::lit("cluster")));
  u8 machine = machine_argument_kind(doc, line, arguments);
  *cluster = flag == json::type_true && machine == 0;
  *metric = enum_argument(doc, line, arguments, mem::lit("metric"), metric_words(), 0);
  *range = enum_argument(doc, line, arguments, mem::lit("range"), range_words(), 1);
  u32 flag_ok = flag == json::type_none || flag == json::type_false;
  if (!*cluster && !(machine == 1 && flag_ok)) return 1;
  if (*metric == 255) return 2;
  if (*range == 255) return 3;
  return 0;
}

u16 arguments_of(const json::Document* doc, mem::Bytes line, const Request* request) {
  return json::member(doc, line, request->params, mem::lit("arguments"));
}

void classify(mem::Bytes line, const ToolTable* table, json::Document* doc, Request* r) {
  json::parse(line, doc);
  *r = Request{kind_parse_error, method_none, no_tool, error_none, none, none, none, none};
  if (doc->error != json::error_none) return;
  r->kind = kind_invalid;
  u8 root = json::type_of(doc, 0);
  if (root == json::type_array) r->kind = kind_batch;
  if (root != json::type_object) return;
  Head head = read_head(doc, line);
  r->id = head.id;
  r->kind = kind_of(head);
  if (r->kind != kind_request) return;
  r->method_value = head.method;
  r->method = method_of(doc, line, head.method);
  r->params = json::member(doc, line, 0, mem::lit("params"));
  u8 params_type = json::type_of(doc, r->params);
  if ((r->params != none && params_type != json::type_object) ||
      (r->method == method_tools_call && params_type != json::type_object)) {
    r->error = error_params;
    return;
  }
  if (r->method == method_tools_call) classify_call(line, table, doc, r);
}

void answer(mem::Bytes line, const json::Document* doc, const Request* request, const ToolContext* context,
            json::Writer* w) {
  write_answer(line, doc, request, context, w);
  if (json::writer_ok(w)) return;
  // The client matches answers by id: the internal error keeps it, and falls back to null only when even the short
  // answer with the id does not fit.
  const u16 ids[2] = {request->id, none};
  for (u16 id : ids) {
    clear(w);
    error_answer(w, doc, line, id, code_internal, mem::lit("Internal error: the answer does not fit"), mem::Bytes());
    if (json::writer_ok(w)) return;
  }
  clear(w);
}

void answer_too_long(json::Writer* w, const json::Document* doc) {
  error_answer(w, doc, mem::Bytes(), none, code_parse, mem::lit("Parse error: the message is longer than 65536 bytes"),
               mem::Bytes());
}

bool parse_id(mem::Bytes text, u8 (&id)[16]) {
  if (text.len != 32) return false;
  for (u32 i = 0; i < 32; ++i) {
    u8 c = text.ptr[i];
    u8 folded = c | 0x20;
    u8 digit = c >= '0' && c <= '9' ? c - '0' : folded >= 'a' && folded <= 'f' ? folded - 'a' + 10 : 16;
    if (digit == 16) return false;
    id[i / 2] = static_cast<u8>(i % 2 ? (id[i / 2] & 0xF0) | digit : digit << 4);
  }
  return true;
}

mem::Bytes machine_name(const u8 (&name)[32]) {
  u64 n = 0;
  while (n < sizeof name && name[n] != 0) ++n;
  return mem::Bytes(name, n);
}

bool equals_nocase(mem::Bytes a, mem::Bytes b) {
  if (a.len != b.len) return false;
  for (u64 i = 0; i < a.len; ++i) {
    u8 x = a.ptr[i], y = b.ptr[i];
    if (x >= 'A' && x <= 'Z') x |= 0x20;
    if (y >= 'A' && y <= 'Z') y |= 0x20;
    if (x != y) return false;
  }
  return true;
}

mem::Bytes machine_label(mem::Bytes name) { return name.len > 0 ? name : mem::lit("this machine"); }

mem::Bytes machine_argument_error() {
  return mem::lit("Invalid arguments: machine must be a name or an id of 1 to 64 bytes");
}

// ======== The server loop ========

mem::Slice line_start(LineReader* r) {
  u32 held = r->filled - r->start;
  if (r->start > 0) __builtin_memmove(r->buffer, r->buffer + r->start, held);
  r->scan -= r->start;
  r->filled = held;
  r->start = 0;
  return mem::Slice{r->buffer + held, reader_bytes - held};
}

namespace {

// The bytes from start to end as a line, a final carriage return dropped: line_too_long when the line was
// dropped or is too long, line_ready when it holds bytes, line_more (skip) when it is empty.
u8 take_line(LineReader* r, u32 start, u32 end, mem::Bytes* line) {
  if (end > start && r->buffer[end - 1] == '\r') --end;
  if (r->overlong || end - start > line_max) {
    r->overlong = 0;
    return line_too_long;
  }
  if (end == start) return line_more;
  *line = mem::Bytes(r->buffer + start, end - start);
  return line_ready;
}

}  // namespace

u8 next_line(LineReader* r, mem::Bytes* line) {
  for (;;) {
    u32 i = r->scan;
    while (i < r->filled && r->buffer[i] != '\n') ++i;
    if (i < r->filled) {
      u32 start = r->start;
      r->start = r->scan = i + 1;
      u8 got = take_line(r, start, i, line);
      if (got != line_more) return got;
      continue;
    }
    r->scan = r->filled;
    if (r->filled - r->start > line_max + 1) {
      // Too long to be a line: its bytes are dropped and it is answered once, when it ends.
      r->overlong = 1;
      r->start = r->filled;
    }
    if (!r->ended) return line_more;
    u32 start = r->start;
    r->start = r->filled;
    u8 got = take_line(r, start, r->filled, line);
    return got == line_more ? line_end : got;
  }
}

namespace {

struct Areas {
  LineReader* reader;
  json::Document* doc;
  ToolTable* table;
  LocalData* local;
  u8* answer;
};

constexpr u64 server_areas = 13;
constexpr u64 server_bytes = sizeof(LineReader) + sizeof(json::Document) + sizeof(ToolTable) + sizeof(LocalData) +
                             (line_max + 1) + sizeof(collect::State) + sizeof(collect::Sample) +
                             sizeof(machine::Machine) + sizeof(collect::ProcSample) + sizeof(usage::ProcWalk) +
                             sizeof(model::ProcTable) + sizeof(usage::ProcCounters) + sizeof(proclist::ListState) +
                             64 * server_areas + 64;

bool carve_areas(mem::Arena* arena, Areas* a) {
  LocalData* local = nullptr;
  bool ok = carve(arena, &a->reader) && carve(arena, &a->doc) && carve(arena, &a->table) && carve(arena, &local) &&
            carve(arena, &a->answer, line_max + 1);
  if (!ok) return false;
  a->local = local;
  return carve(arena, &local->collector) && carve(arena, &local->sample) && carve(arena, &local->machine) &&
         carve(arena, &local->procs) && carve(arena, &local->walk) && carve(arena, &local->table) &&
         carve(arena, &local->counters) && carve(arena, &local->list);
}

ToolContext context_of(const Areas* a, mem::Bytes version, const ClusterView* view) {
  const LocalData* local = a->local;
  ToolContext c{};
  c.version = version;
  c.table = a->table;
  c.machine = local->machine;
  c.now_ms = os::mcp_clock_ms();
  c.sample_ms = local->sample_ms;
  c.sample_interval = local->sample_interval;
  c.sample_held = local->sample_held;
  c.table_held = local->table_held;
  c.table_interval = local->table_interval;
  c.table_ms = local->table_ms;
  c.procs = local->table;
  c.list = local->list;
  c.cluster = view;
  return c;
}

// One line in, at most one answer out; false when the answer could not be written.
bool serve_line(const Areas* a, u64 output, mem::Bytes version, u32 refresh_age, const ServerOptions* options,
                u8 got, mem::Bytes line, ClusterCall* kept) {
  json::Writer w;
  json::writer_init(&w, mem::Slice{a->answer, line_max});
  Request r = {};
  u8 need = need_local;
  if (got == line_too_long) {
    answer_too_long(&w, a->doc);
  } else {
    classify(line, a->table, a->doc, &r);
    need = tool_needs(&r, a->table, a->doc, line);
    bool call = r.kind == kind_request && r.method == method_tools_call && r.error == error_none;
    bool wants_sample = call && ((a->table->needs_sample >> r.tool) & 1);
    if (wants_sample && (need == need_local || need == need_find_all))
      refresh_local(a->local, refresh_age, (a->table->needs_processes >> r.tool) & 1);
  }
  ClusterView view;
  reset_need(&view);
  if (need != need_local) {
    gather_cluster(kept, &view, a->local, options, need, a->doc, line, arguments_of(a->doc, line, &r));
  }
  ToolContext context = context_of(a, version, &view);
  if (got == line_ready) answer(line, a->doc, &r, &context, &w);
  bool written = w.length == 0;
  if (!written) {
    a->answer[w.length] = '\n';
    written = os::write_handle(output, mem::Bytes(a->answer, w.length + 1));
  }
  if (need != need_local) keep_cluster(kept, os::mcp_clock_ms());
  return written;
}

}  // namespace

u32 serve(u64 input, u64 output, mem::Bytes version, u32 refresh_age, const ServerOptions* options) {
  mem::Arena arena;
  if (!mem::arena_init(&arena, server_bytes)) return 1;
  Areas a;
  if (!carve_areas(&arena, &a)) {
    mem::release(&arena);
    return 1;
  }
  collect::procs_reset(a.local->procs);
  tool_table(a.table);
  u32 result = 0;
  ClusterCall kept = {};
  for (;;) {
    mem::Bytes line;
    u8 got = next_line(a.reader, &line);
    if (got == line_end) break;
    if (got == line_more) {
      wait_input(&kept, input);
      mem::Slice room = line_start(a.reader);
      u64 n = os::read_handle(input, mem::Slice{room.ptr, bits::min64(room.len, read_max)});
      a.reader->filled += static_cast<u32>(n);
      a.reader->ended = n == 0;
      continue;
    }
    if (!serve_line(&a, output, version, refresh_age, options, got, line, &kept)) {
      result = 1;
      break;
    }
  }
  close_cluster(&kept);
  if (a.local->collector_open) collect::close(a.local->collector);
  mem::release(&arena);
  return result;
}

u32 main(mem::Bytes version, mem::Bytes key_path, mem::Bytes publish_path, cluster::ShareBeacon share_beacon) {
  ServerOptions options = {key_path, publish_path, 8000, 4000, 15000, 20000, 2000, share_beacon};
  return serve(os::stdin_handle(), os::stdout_handle(), version, 1000, &options);
}

}  // namespace mcp

