#include "mcp/mcp.h"

#include "base/bits.h"
#include "cluster/auth.h"
#include "cluster/cluster.h"
#include "cluster/publish.h"
#include "platform/os.h"

namespace mcp {

namespace {

constexpr u16 none = json::none;
constexpr u8 process_history_tool = 6;

// Word lists of the enumerated arguments, in index order.
mem::Bytes by_words() { return mem::lit("cpu,memory,disk,gpu,vram"); }
mem::Bytes state_words() { return mem::lit("online,stale,offline,missing,all"); }
mem::Bytes metric_words() { return mem::lit("cpu,memory,gpu,vram,net,disk"); }
mem::Bytes range_words() { return mem::lit("1h,24h,30d,2y"); }

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

// A comma-separated list, one name at a time: the name at *at, and *at moved past its comma.
mem::Bytes next_name(mem::Bytes names, u64* at) {
  u64 start = *at;
  u64 end = start;
  while (end < names.len && names.ptr[end] != ',') ++end;
  *at = end + 1;
  return mem::Bytes(names.ptr + start, end - start);
}

u32 in_list(mem::Bytes names, mem::Bytes name) {
  for (u64 at = 0; at < names.len;)
    if (mem::eq(next_name(names, &at), name)) return 1;
  return 0;
}

// Schemas of the tools' arguments.

void schema_close(json::Writer* w, mem::Bytes required) {
  json::end_object(w);
  if (required.len > 0) {
    json::key(w, mem::lit("required"));
    json::begin_array(w);
    for (u64 at = 0; at < required.len;) json::string_value(w, next_name(required, &at));
    json::end_array(w);
  }
  json::key(w, mem::lit("additionalProperties"));
  json::write_bool(w, 0);
  json::end_object(w);
}

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

// Ends a tool error result opened by text_content.
void error_result_end(json::Writer* w) {
  json::put_byte(w, '"');
  json::end_object(w);
  json::end_array(w);
  json::key(w, mem::lit("isError"));
  json::write_bool(w, 1);
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

void text_content(json::Writer* w) {
  json::begin_object(w);
  json::key(w, mem::lit("content"));
  json::begin_array(w);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("text"));
  json::key(w, mem::lit("text"));
  json::comma(w);
  json::put_byte(w, '"');
}

void structured_content(json::Writer* w) {
  json::put_byte(w, '"');
  json::end_object(w);
  json::end_array(w);
  json::key(w, mem::lit("structuredContent"));
  json::begin_object(w);
}

void is_error(json::Writer* w) {
  json::end_object(w);
  json::key(w, mem::lit("isError"));
  json::write_bool(w, 0);
  json::end_object(w);
}

void bad_arguments(json::Writer* w, mem::Bytes text) {
  text_content(w);
  json::write_string(w, text);
  error_result_end(w);
}

void schema_type(json::Writer* w, mem::Bytes key, mem::Bytes type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, type);
  json::end_object(w);
}

void schema_nullable(json::Writer* w, mem::Bytes key, mem::Bytes type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::begin_array(w);
  json::string_value(w, type);
  json::string_value(w, mem::lit("null"));
  json::end_array(w);
  json::end_object(w);
}

void schema_object(json::Writer* w, mem::Bytes key) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("object"));
  json::key(w, mem::lit("properties"));
  json::begin_object(w);
}

void schema_required(json::Writer* w, mem::Bytes names) {
  json::end_object(w);
  json::key(w, mem::lit("required"));
  json::begin_array(w);
  for (u64 at = 0; at < names.len;) json::string_value(w, next_name(names, &at));
  json::end_array(w);
  json::end_object(w);
}

void schema_array(json::Writer* w, mem::Bytes key, mem::Bytes item_type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("array"));
  json::key(w, mem::lit("items"));
  if (item_type.len == 0) return;
  schema_type(w, mem::Bytes(), item_type);
  json::end_object(w);
}

void no_arguments_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  schema_close(w, mem::Bytes());
}

void write_id_hex(json::Writer* w, const u8 (&id)[16]) {
  const char digits[] = "0123456789abcdef";
  for (u8 byte : id) {
    json::put_byte(w, static_cast<u8>(digits[byte >> 4]));
    json::put_byte(w, static_cast<u8>(digits[byte & 15]));
  }
}

void key_id(json::Writer* w, mem::Bytes key, const u8 (&id)[16]) {
  json::key(w, key);
  json::comma(w);
  json::put_byte(w, '"');
  write_id_hex(w, id);
  json::put_byte(w, '"');
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

}  // namespace mcp

// ======== Tool results: writers shared by the tools ========

namespace mcp {

namespace {

// Literal report text inside an open string.
void say(json::Writer* w, mem::Bytes text) { json::write_string(w, text); }

// value / 10^d with d decimals, inside an open string.
void say_fixed(json::Writer* w, u64 value, u32 d) {
  u64 scale = 1;
  for (u32 i = 0; i < d; ++i) scale *= 10;
  json::write_uint(w, value / scale);
  if (d == 0) return;
  json::put_byte(w, '.');
  for (u64 place = scale / 10; place > 0; place /= 10) json::put_byte(w, static_cast<u8>('0' + value % scale / place % 10));
}

u64 gib_tenths(u64 mib) { return words::rounded(mib * 10, 1024); }

// A text from hw or words, "-" written as "unknown" where the structured object needs a word.
mem::Bytes text_of(const words::Text* t) { return mem::Bytes(t->bytes, t->len); }

mem::Bytes display_name(const ToolContext* c) { return machine_label(c->name); }

u64 age_of(u64 now, u64 then) { return now > then ? now - then : 0; }

hw::Hardware hardware_of(const machine::Machine* m) {
  hw::Hardware h;
  __builtin_memset(&h, 0, sizeof h);
  __builtin_memcpy(&h, m->hardware, machine::hardware_head);
  return h;
}

u32 logical_of(const machine::Machine* m, const hw::Hardware* h) { return bits::max32(m->cpus, h->logical); }

u32 battery_state_of(const machine::Machine* m, u32 i) {
  return hw::plane_state(mem::Bytes(m->battery_state, sizeof m->battery_state), 3, i);
}

}  // namespace

void write_gb(json::Writer* w, u64 mib) {
  say_fixed(w, gib_tenths(mib), 1);
  say(w, mem::lit(" GB"));
}

void write_rate(json::Writer* w, u32 kib_per_s) {
  words::Text t{};
  words::byte_rate(&t, kib_per_s);
  write_span(w, &t);
}

void write_span(json::Writer* w, const words::Text* text) { json::write_string(w, text_of(text)); }

void write_name_text(json::Writer* w, mem::Bytes name) {
  u64 start = 0;
  for (u64 i = 0; i <= name.len; ++i) {
    bool control = i < name.len && (name.ptr[i] < 0x20 || name.ptr[i] == 0x7F);
    if (i < name.len && !control) continue;
    json::write_string(w, mem::Bytes(name.ptr + start, i - start));
    if (control) json::put_byte(w, '?');
    start = i + 1;
  }
}

void key_uint(json::Writer* w, mem::Bytes key, u64 value) {
  json::key(w, key);
  json::uint_value(w, value);
}

void key_uint_or_null(json::Writer* w, mem::Bytes key, u64 value, bool known) {
  json::key(w, key);
  if (known) json::uint_value(w, value);
  else json::write_null(w);
}

void key_text_or_unknown(json::Writer* w, mem::Bytes key, mem::Bytes text) {
  json::key(w, key);
  json::string_value(w, text.len == 1 && text.ptr[0] == '-' ? mem::lit("unknown") : text);
}

void key_fixed(json::Writer* w, mem::Bytes key, u64 value, u32 decimals) {
  json::key(w, key);
  json::fixed_value(w, value, decimals);
}

void reset_need(ClusterView* view) {
  __builtin_memset(view, 0, sizeof *view);
  view->status = cluster_unconfigured;
  view->last_event = 7;
  view->chosen = no_machine;
}

// How old a machine's data are at least when the host lists it in this state: stale after 5 s without a sample,
// offline after 60 s.
u64 state_age_ms(u8 state) { return state == 0 ? 0 : state == 1 ? 5000 : 60000; }

// How old the data of a cluster machine already were when they came through. The host answers a watch with what it
// holds, however old: for a machine it lists as stale or offline that is the time since its newest stored slot, or,
// when its history holds none, the least the state tells.
u64 behind_ms(const ToolContext* c) {
  u64 bound = state_age_ms(c->state);
  if (c->state == 0 || !c->silence_known) return bound;
  return c->silence_ms > bound ? c->silence_ms : bound;
}

// The age of data taken at then.
u64 data_age(const ToolContext* c, u64 then) { return age_of(c->now_ms, then) + behind_ms(c); }

ToolContext remote_context(const ToolContext* local) {
  ToolContext c = *local;
  const ClusterView* v = local->cluster;
  c.machine = v->machine;
  c.procs = v->table;
  c.list = v->list;
  const proto::MachineList* l = v->machines;
  bool known = l && v->chosen < bits::min32(l->count, proto::list_rows);
  u8 listed = known ? static_cast<u8>(bits::min32(l->summaries[v->chosen].state, 3)) : 0;
  // A machine is listed as missing until its first sample reaches the host; data that came through since are no
  // older than the list.
  c.state = listed == 3 ? 0 : listed;
  c.silence_known = v->silence_known;
  c.silence_ms = v->silence_ms;
  c.sample_ms = v->data_time;
  c.table_ms = v->data_time;
  c.sample_interval = 1000;
  c.table_interval = 2000;
  c.sample_held = 1;
  c.table_held = v->table != nullptr;
  c.name = mem::Bytes(v->name, bits::min32(v->name_length, sizeof v->name));
  return c;
}

mem::Bytes machine_as_written(const json::Document* doc, mem::Bytes line, u16 arguments) {
  return json::text_of(doc, line, json::member(doc, line, arguments, mem::lit("machine")));
}

// " <id> (<state>)" for every listed machine whose name is the "machine" argument, in the list's order.
void same_named(const ClusterView* v, const json::Document* doc, mem::Bytes line, u16 arguments, json::Writer* w) {
  const proto::MachineList* l = v->machines;
  if (!l) return;
  u8 text[64];
  u64 n = machine_argument(doc, line, arguments, text);
  mem::Bytes wanted(text, n < sizeof text ? n : sizeof text);
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (!equals_nocase(machine_name(l->names[i]), wanted)) continue;
    say(w, mem::lit(" "));
    write_id_hex(w, l->ids[i]);
    say(w, mem::lit(" ("));
    say(w, state_word(bits::min32(l->summaries[i].state, 3)));
    say(w, mem::lit(")"));
  }
}

// "sampled <age> ms ago", and for a cluster machine the host no longer hears from, its state, and that the age is
// only the least the state tells when its stored history did not tell more.
void sampled_ago(json::Writer* w, const ToolContext* c, u64 then) {
  say(w, mem::lit(" ms, sampled "));
  if (c->state != 0 && !c->silence_known) say(w, mem::lit("at least "));
  json::write_uint(w, data_age(c, then));
  say(w, mem::lit(" ms ago"));
  if (c->state == 0) return;
  say(w, mem::lit(" (the machine is "));
  say(w, state_word(c->state));
  say(w, mem::lit(")"));
}

// The remote machine's name and its listed state in the structured result.
void machine_keys(json::Writer* w, const ToolContext* c) {
  if (c->name.len == 0) return;
  json::key(w, mem::lit("machine"));
  json::string_value(w, c->name);
  json::key(w, mem::lit("state"));
  json::string_value(w, state_word(c->state));
}

void cluster_text(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                  json::Writer* w) {
  const ClusterView* v = context->cluster;
  u8 status = v ? v->status : cluster_unconfigured;
  switch (status) {
    case cluster_unconfigured:
      say(w, mem::lit("no server or share is configured for the cluster: set one in Vimbrel's Settings (Cluster) to "
                      "see other machines"));
      break;
    case cluster_no_key: say(w, mem::lit("no cluster key: import it in Vimbrel's Settings (Cluster)")); break;
    case cluster_key_refused: say(w, mem::lit("the cluster key file is refused")); break;
    case cluster_unreachable: say(w, mem::lit("other machines cannot be reached from this system yet")); break;
    case cluster_no_memory: say(w, mem::lit("no memory for the link to the server")); break;
    case cluster_no_answer:
      say(w, mem::lit("no answer from the server or share within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms (last event: "));
      say(w, cluster::link_status_text(v->last_event));
      say(w, mem::lit(")"));
      break;
    case cluster_unknown_machine:
      say(w, mem::lit("no machine is named "));
      json::put_raw(w, machine_as_written(doc, line, arguments));
      say(w, mem::lit(": call list_machines for the names and ids"));
      break;
    case cluster_ambiguous:
      say(w, mem::lit("more than one machine is named "));
      json::put_raw(w, machine_as_written(doc, line, arguments));
      say(w, mem::lit(": give one of their ids:"));
      same_named(v, doc, line, arguments, w);
      break;
    case cluster_machine_silent:
      write_name_text(w, mem::Bytes(v->name, bits::min32(v->name_length, sizeof v->name)));
      say(w, mem::lit(" sent no data within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms"));
      break;
    default:
      say(w, mem::lit("the history did not arrive within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms"));
      break;
  }
}

u32 cluster_result(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                   json::Writer* w) {
  if (context->cluster && context->cluster->status == cluster_ok) return 0;
  text_content(w);
  cluster_text(context, doc, line, arguments, w);
  error_result_end(w);
  return 1;
}

}  // namespace mcp

// ======== machine_usage ========

namespace mcp {

namespace {

void say_text(json::Writer* w, void (*fill)(words::Text*, u32), u32 value) {
  words::Text t{};
  fill(&t, value);
  write_span(w, &t);
}

void cpu_lines(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  say(w, mem::lit("\ncpu: "));
  say_fixed(w, row->load, 2);
  say(w, mem::lit(" % (kernel "));
  say_fixed(w, row->kernel, 2);
  say(w, mem::lit(" %), "));
  json::write_uint(w, logical_of(m, h));
  say(w, mem::lit(" logical processors, "));
  write_name_text(w, machine::name(m, machine::slot_cpu));
  say(w, mem::lit("\ncpu hardware: "));
  say(w, hw::vendor_text(h->vendor));
  say(w, mem::lit(", "));
  words::Text family{};
  hw::family_text(&family, h);
  write_span(w, &family);
  say(w, mem::lit(", sockets "));
  json::write_uint(w, h->sockets);
  say(w, mem::lit(", cores "));
  json::write_uint(w, h->cores);
  say(w, mem::lit(", base "));
  say_text(w, words::ghz_known, m->base_mhz);
  const mem::Bytes levels[3] = {mem::lit(", L1 "), mem::lit(", L2 "), mem::lit(", L3 ")};
  const u32 caches[3] = {h->l1_kib, h->l2_kib, h->l3_kib};
  for (u32 i = 0; i < 3; ++i) {
    say(w, levels[i]);
    say_text(w, hw::cache_text, caches[i]);
  }
  say(w, mem::lit(", virtualisation "));
  say(w, hw::virt_text(hw::virt_state(h->features, h->known)));
  say(w, mem::lit("\nper core %:"));
  u32 cores = bits::min32(m->cpus, machine::max_cpus);
  for (u32 i = 0; i < cores; ++i) {
    say(w, mem::lit(" "));
    say_fixed(w, u64{row->core_load[i]} * 5, 1);
  }
}

void memory_lines(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  say(w, mem::lit("\nmemory: "));
  say_fixed(w, gib_tenths(row->memory_mib), 1);
  say(w, mem::lit(" / "));
  write_gb(w, m->memory_total);
  say(w, mem::lit(" in use, "));
  write_gb(w, bits::sub_sat32(m->memory_total, row->memory_mib));
  say(w, mem::lit(" available, "));
  write_gb(w, row->commit_mib);
  say(w, mem::lit(" committed, "));
  write_gb(w, row->modified_mib);
  say(w, mem::lit(" modified, "));
  write_gb(w, row->standby_mib);
  say(w, mem::lit(" standby\nmemory hardware: "));
  say(w, hw::mem_text(h->memory.kind));
  say(w, mem::lit(" "));
  say_text(w, hw::mts_text, h->memory.speed);
  say(w, mem::lit(" "));
  say(w, hw::form_text(h->memory.form));
  say(w, mem::lit(", slots "));
  words::Text t{};
  hw::slots_text(&t, h->memory.slots_used, h->memory.slots);
  write_span(w, &t);
  say(w, mem::lit(", hardware reserved "));
  t.len = 0;
  hw::mb_text(&t, hw::reserved_mib(h->memory.installed_mib, m->memory_total), h->memory.installed_mib != 0);
  write_span(w, &t);
  say(w, mem::lit(", compressed "));
  t.len = 0;
  hw::mb_text(&t, h->memory.compressed_mib, h->memory.compressed_mib != 0);
  write_span(w, &t);
}

void disk_lines(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  u32 disks = bits::min32(m->disks, machine::max_disks);
  for (u32 i = 0; i < disks; ++i) {
    say(w, mem::lit("\ndisk "));
    write_name_text(w, machine::name(m, machine::slot_disks + i));
    say(w, mem::lit(", "));
    words::Text t{};
    hw::disk_type(&t, hw::plane_value(m->details.media, 2, i), hw::plane_value(m->details.bus, 3, i));
    write_span(w, &t);
    say(w, mem::lit(" - active "));
    say_fixed(w, u64{row->disk_busy[i]} * 5, 1);
    say(w, mem::lit(" %, read "));
    write_rate(w, row->disk_read[i]);
    say(w, mem::lit(", write "));
    write_rate(w, row->disk_write[i]);
    u32 size = m->disk_capacity[i];
    if (size == 0) {
      say(w, mem::lit(", space unknown"));
      continue;
    }
    say(w, mem::lit(", "));
    write_gb(w, row->disk_figure[i]);
    say(w, mem::lit(" used, "));
    write_gb(w, bits::sub_sat32(size, row->disk_figure[i]));
    say(w, mem::lit(" free of "));
    write_gb(w, size);
  }
  u32 nics = bits::min32(m->nics, machine::max_nics);
  for (u32 i = 0; i < nics; ++i) {
    say(w, mem::lit("\ninterface "));
    write_name_text(w, machine::name(m, machine::slot_nics + i));
    say(w, mem::lit(" - receive "));
    write_rate(w, row->receive[i]);
    say(w, mem::lit(", send "));
    write_rate(w, row->send[i]);
  }
}

void power_lines(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  if ((row->power_flags & 15) != 0) {
    say(w, mem::lit("\npower: "));
    say_fixed(w, row->power, 1);
    say(w, mem::lit(" W"));
    for (u32 p = 0; p < usage::parts; ++p) {
      if ((m->power_flags & (1u << p)) == 0) continue;
      say(w, mem::lit(", "));
      say(w, hw::power_part_text(p));
      say(w, mem::lit(" "));
      say_fixed(w, static_cast<u64>(m->power[p] < 0 ? 0 : m->power[p]), 1);
      say(w, mem::lit(" W"));
    }
    if (row->power_flags & usage::power_battery) say(w, mem::lit(", on battery"));
  }
  u32 batteries = bits::min32(m->batteries, usage::max_batteries);
  for (u32 i = 0; i < batteries; ++i) {
    say(w, mem::lit("\nbattery "));
    json::write_uint(w, i);
    say(w, mem::lit(": "));
    json::write_uint(w, m->battery_charge[i]);
    say(w, mem::lit(" %, "));
    say(w, hw::battery_text(battery_state_of(m, i)));
  }
  u32 zones = bits::min32(m->zones, usage::max_zones);
  for (u32 i = 0; i < zones; ++i) {
    say(w, mem::lit("\nthermal zone "));
    json::write_uint(w, m->zone_number[i]);
    say(w, mem::lit(": "));
    if (m->zone_temp[i] < 0) say(w, mem::lit("-"));
    say_fixed(w, hw::deci_magnitude(m->zone_temp[i]), 1);
    say(w, mem::lit(" C"));
  }
}

void cpu_json(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  json::key(w, mem::lit("cpu"));
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, machine::name(m, machine::slot_cpu));
  key_uint(w, mem::lit("logical_processors"), logical_of(m, h));
  key_fixed(w, mem::lit("total_percent"), row->load, 2);
  key_fixed(w, mem::lit("kernel_percent"), row->kernel, 2);
  u32 cores = bits::min32(m->cpus, machine::max_cpus);
  json::key(w, mem::lit("per_core_percent"));
  json::begin_array(w);
  for (u32 i = 0; i < cores; ++i) json::fixed_value(w, u64{row->core_load[i]} * 5, 1);
  json::end_array(w);
  json::key(w, mem::lit("per_core_kernel_percent"));
  json::begin_array(w);
  for (u32 i = 0; i < cores; ++i) json::fixed_value(w, u64{row->core_kernel[i]} * 5, 1);
  json::end_array(w);
  key_text_or_unknown(w, mem::lit("vendor"), hw::vendor_text(h->vendor));
  bool family = h->family != 0;
  key_uint_or_null(w, mem::lit("family"), h->family, family);
  key_uint_or_null(w, mem::lit("model"), h->model, family);
  key_uint_or_null(w, mem::lit("stepping"), h->stepping, family);
  key_uint_or_null(w, mem::lit("sockets"), h->sockets, h->sockets != 0);
  key_uint_or_null(w, mem::lit("cores"), h->cores, h->cores != 0);
  key_uint_or_null(w, mem::lit("base_mhz"), m->base_mhz, m->base_mhz != 0);
  key_uint_or_null(w, mem::lit("speed_mhz"), row->clock_mhz, row->clock_mhz != 0);
  key_uint_or_null(w, mem::lit("l1_cache_kib"), h->l1_kib, h->l1_kib != 0);
  key_uint_or_null(w, mem::lit("l2_cache_kib"), h->l2_kib, h->l2_kib != 0);
  key_uint_or_null(w, mem::lit("l3_cache_kib"), h->l3_kib, h->l3_kib != 0);
  json::key(w, mem::lit("instruction_sets"));
  json::begin_array(w);
  u32 sets = h->features & h->known & 0xBFF;
  for (u32 i = 0; i < 12; ++i)
    if (sets & (1u << i)) json::string_value(w, hw::feature_text(i));
  json::end_array(w);
  key_text_or_unknown(w, mem::lit("virtualisation"), hw::virt_text(hw::virt_state(h->features, h->known)));
  json::end_object(w);
}

void memory_json(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  const hw::Memory* mm = &h->memory;
  json::key(w, mem::lit("memory"));
  json::begin_object(w);
  key_uint(w, mem::lit("total_mib"), m->memory_total);
  key_uint(w, mem::lit("used_mib"), row->memory_mib);
  key_uint(w, mem::lit("available_mib"), bits::sub_sat32(m->memory_total, row->memory_mib));
  key_uint(w, mem::lit("commit_mib"), row->commit_mib);
  key_uint(w, mem::lit("modified_mib"), row->modified_mib);
  key_uint(w, mem::lit("standby_mib"), row->standby_mib);
  key_text_or_unknown(w, mem::lit("memory_type"), hw::mem_text(mm->kind));
  key_uint_or_null(w, mem::lit("speed_mts"), mm->speed, mm->speed != 0);
  key_text_or_unknown(w, mem::lit("form_factor"), hw::form_text(mm->form));
  key_uint_or_null(w, mem::lit("slots_used"), mm->slots_used, mm->slots != 0);
  key_uint_or_null(w, mem::lit("slots_total"), mm->slots, mm->slots != 0);
  key_uint_or_null(w, mem::lit("installed_mib"), mm->installed_mib, mm->installed_mib != 0);
  key_uint_or_null(w, mem::lit("hardware_reserved_mib"), hw::reserved_mib(mm->installed_mib, m->memory_total),
                   mm->installed_mib != 0);
  key_uint_or_null(w, mem::lit("compressed_mib"), mm->compressed_mib, mm->compressed_mib != 0);
  key_uint_or_null(w, mem::lit("cached_mib"), u64{row->modified_mib} + row->standby_mib, m->ring.count != 0);
  key_uint_or_null(w, mem::lit("commit_limit_mib"), m->commit_limit, m->commit_limit != 0);
  key_uint_or_null(w, mem::lit("paged_pool_mib"), m->paged_pool, m->paged_pool != 0);
  key_uint_or_null(w, mem::lit("nonpaged_pool_mib"), m->nonpaged_pool, m->nonpaged_pool != 0);
  json::end_object(w);
}

void disks_json(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  json::key(w, mem::lit("disks"));
  json::begin_array(w);
  u32 disks = bits::min32(m->disks, machine::max_disks);
  for (u32 i = 0; i < disks; ++i) {
    u32 size = m->disk_capacity[i];
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    json::string_value(w, machine::name(m, machine::slot_disks + i));
    key_uint_or_null(w, mem::lit("size_mib"), size, size != 0);
    key_uint_or_null(w, mem::lit("used_mib"), row->disk_figure[i], size != 0);
    key_uint_or_null(w, mem::lit("free_mib"), bits::sub_sat32(size, row->disk_figure[i]), size != 0);
    key_uint(w, mem::lit("read_kib_per_s"), row->disk_read[i]);
    key_uint(w, mem::lit("write_kib_per_s"), row->disk_write[i]);
    key_fixed(w, mem::lit("active_percent"), u64{row->disk_busy[i]} * 5, 1);
    json::key(w, mem::lit("size_saturated"));
    json::write_bool(w, (m->capacity_saturated >> i) & 1);
    key_text_or_unknown(w, mem::lit("media"), hw::media_text(hw::plane_value(m->details.media, 2, i)));
    key_text_or_unknown(w, mem::lit("bus"), hw::bus_text(hw::plane_value(m->details.bus, 3, i)));
    mem::Bytes model = machine::name(m, machine::slot_drive_models + i);
    json::key(w, mem::lit("model"));
    if (model.len > 0) json::string_value(w, model);
    else json::write_null(w);
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("interfaces"));
  json::begin_array(w);
  u32 nics = bits::min32(m->nics, machine::max_nics);
  for (u32 i = 0; i < nics; ++i) {
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    json::string_value(w, machine::name(m, machine::slot_nics + i));
    key_uint(w, mem::lit("receive_kib_per_s"), row->receive[i]);
    key_uint(w, mem::lit("send_kib_per_s"), row->send[i]);
    json::end_object(w);
  }
  json::end_array(w);
}

void power_json(json::Writer* w, const machine::Machine* m, const ring::Row* row, bool remote) {
  json::key(w, mem::lit("batteries"));
  json::begin_array(w);
  u32 batteries = remote ? 0 : bits::min32(m->batteries, usage::max_batteries);
  for (u32 i = 0; i < batteries; ++i) {
    json::begin_object(w);
    key_uint(w, mem::lit("percent"), m->battery_charge[i]);
    key_text_or_unknown(w, mem::lit("state"), hw::battery_text(battery_state_of(m, i)));
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("thermal_zones"));
  json::begin_array(w);
  u32 zones = remote ? 0 : bits::min32(m->zones, usage::max_zones);
  for (u32 i = 0; i < zones; ++i) {
    json::begin_object(w);
    key_uint(w, mem::lit("zone"), m->zone_number[i]);
    json::key(w, mem::lit("tenths_celsius"));
    json::int_value(w, m->zone_temp[i]);
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("power"));
  json::begin_object(w);
  json::key(w, mem::lit("watts"));
  if (row->power_flags & 15) json::fixed_value(w, row->power, 1);
  else json::write_null(w);
  const mem::Bytes keys[usage::parts] = {mem::lit("cpu_watts"), mem::lit("dram_watts"), mem::lit("gpu_watts"),
                                         mem::lit("system_watts")};
  for (u32 p = 0; p < usage::parts; ++p) {
    json::key(w, keys[p]);
    if (m->power_flags & (1u << p)) json::fixed_value(w, static_cast<u64>(m->power[p] < 0 ? 0 : m->power[p]), 1);
    else json::write_null(w);
  }
  json::key(w, mem::lit("on_battery"));
  json::write_bool(w, (row->power_flags & usage::power_battery) != 0);
  json::end_object(w);
}

}  // namespace

void machine_usage_text(json::Writer* w, const ToolContext* c, const ring::Row* row) {
  const machine::Machine* m = c->machine;
  hw::Hardware h = hardware_of(m);
  say(w, mem::lit("machine_usage of "));
  write_name_text(w, display_name(c));
  say(w, mem::lit(": rates over the last "));
  json::write_uint(w, c->sample_interval);
  sampled_ago(w, c, c->sample_ms);
  cpu_lines(w, m, &h, row);
  memory_lines(w, m, &h, row);
  disk_lines(w, m, row);
  power_lines(w, m, row);
  say(w, mem::lit("\nprocesses "));
  json::write_uint(w, row->processes);
  say(w, mem::lit(", threads "));
  json::write_uint(w, row->threads);
  say(w, mem::lit(", up time "));
  words::Text t{};
  words::uptime(&t, row->uptime);
  write_span(w, &t);
  say(w, mem::lit(" (days:hours:minutes:seconds)"));
}

void machine_usage_json(json::Writer* w, const ToolContext* c, const ring::Row* row) {
  const machine::Machine* m = c->machine;
  hw::Hardware h = hardware_of(m);
  machine_keys(w, c);
  key_uint(w, mem::lit("sample_number"), m->pushed);
  key_uint(w, mem::lit("sample_age_ms"), data_age(c, c->sample_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->sample_interval);
  key_uint(w, mem::lit("uptime_s"), row->uptime);
  key_uint(w, mem::lit("processes"), row->processes);
  key_uint(w, mem::lit("threads"), row->threads);
  key_uint_or_null(w, mem::lit("handles"), row->handles, row->handles != 0);
  cpu_json(w, m, &h, row);
  memory_json(w, m, &h, row);
  disks_json(w, m, row);
  power_json(w, m, row, c->name.len > 0);
  json::key(w, mem::lit("truncated"));
  json::begin_object(w);
  json::key(w, mem::lit("cores"));
  json::write_bool(w, (m->count_flags & machine::more_cpus) != 0);
  json::key(w, mem::lit("disks"));
  json::write_bool(w, (m->count_flags & machine::more_disks) != 0);
  json::key(w, mem::lit("interfaces"));
  json::write_bool(w, (m->count_flags & machine::more_nics) != 0);
  json::end_object(w);
}

void machine_usage(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  ToolContext remote;
  const ToolContext* c = context;
  if (kind == 1) {
    if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
    remote = remote_context(context);
    c = &remote;
  }
  if (!c->sample_held || c->machine == nullptr || c->machine->pushed == 0)
    return bad_arguments(w, mem::lit("no data: the collector is not available on this system"));
  ring::Row row;
  ring::at(&c->machine->ring, 0, &row);
  text_content(w);
  machine_usage_text(w, c, &row);
  structured_content(w);
  machine_usage_json(w, c, &row);
  is_error(w);
}

}  // namespace mcp

// ======== top_processes and find_process ========

namespace mcp {

namespace {

constexpr u32 found_max = 50;

mem::Bytes full_name(const model::ProcTable* t, u32 row, u8 (&buffer)[model::name_max]) {
  return mem::Bytes(buffer, model::proc_full_name(t, row, mem::Slice{buffer, sizeof buffer}));
}

void no_table(json::Writer* w) {
  bad_arguments(w, mem::lit("no data: the process table is not available on this system"));
}

}  // namespace

void filter_list(proclist::ListState* list, const model::ProcTable* table, mem::Bytes text) {
  proclist::set_view(list, proclist::col_cpu, text);
  proclist::rebuild(list, table);
}

void process_row_text(json::Writer* w, const model::ProcTable* table, u32 row) {
  words::Text t{};
  say(w, mem::lit("\n"));
  proclist::cell_text(table, row, proclist::col_name, &t);
  write_name_text(w, text_of(&t));
  for (u32 c = 1; c < proclist::columns; ++c) {
    say(w, mem::lit(", "));
    say(w, proclist::title(c));
    say(w, mem::lit(" "));
    proclist::cell_text(table, row, c, &t);
    write_span(w, &t);
  }
}

void process_rows(json::Writer* w, const model::ProcTable* table, u32 row) {
  u8 buffer[model::name_max];
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, full_name(table, row, buffer));
  json::key(w, mem::lit("name_cut"));
  json::write_bool(w, model::proc_name_cut(table, row));
  key_uint(w, mem::lit("pid"), table->pid[row]);
  key_fixed(w, mem::lit("cpu_percent"), table->cpu[row], 2);
  key_fixed(w, mem::lit("memory_mib"), proclist::mib_tenths(table->working_set[row]), 1);
  bool unreported = model::disk_unreported(table, row);
  key_uint_or_null(w, mem::lit("disk_kib_per_s"), proclist::disk_rate(table->read_rate[row], table->write_rate[row],
                                                                      unreported), !unreported);
  key_fixed(w, mem::lit("gpu_percent"), table->gpu[row], 2);
  key_uint(w, mem::lit("vram_mib"), u64{table->gpu_memory[row]} * 4);
  key_uint(w, mem::lit("threads"), table->thread_count[row]);
  key_uint(w, mem::lit("tcp"), table->tcp[row]);
  json::end_object(w);
}

void processes_answer(const ToolContext* c, const Call* call, json::Writer* w, mem::Bytes heading, u32 count,
                      bool note) {
  const proclist::ListState* list = c->list;
  const model::ProcTable* table = c->procs;
  bool filtered = list->filter_length > 0;
  u32 rows = proclist::shown_most(list->shown, count);
  text_content(w);
  write_name_text(w, heading);
  say(w, mem::lit(": "));
  json::write_uint(w, rows);
  say(w, mem::lit(" of "));
  if (filtered) {
    json::write_uint(w, list->shown);
    say(w, mem::lit(" matching processes ("));
  }
  json::write_uint(w, list->processes);
  say(w, mem::lit(" processes"));
  if (filtered) say(w, mem::lit(" in all)"));
  say(w, mem::lit(", rates over the last "));
  json::write_uint(w, c->table_interval);
  sampled_ago(w, c, c->table_ms);
  if (note) {
    say(w, mem::lit("\nother machines not searched: "));
    cluster_text(c, call->doc, call->line, call->arguments, w);
  }
  for (u32 i = 0; i < rows; ++i) process_row_text(w, table, proclist::row_at(list, i));
  structured_content(w);
  key_uint(w, mem::lit("sample_age_ms"), data_age(c, c->table_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->table_interval);
  key_uint(w, mem::lit("processes_listed"), list->processes);
  key_uint(w, mem::lit("processes_matched"), list->shown);
  json::key(w, mem::lit("table_truncated"));
  json::write_bool(w, (table->flags & model::flag_truncated) != 0);
  machine_keys(w, c);
  json::key(w, mem::lit("processes"));
  json::begin_array(w);
  for (u32 i = 0; i < rows; ++i) process_rows(w, table, proclist::row_at(list, i));
  json::end_array(w);
  is_error(w);
}

namespace {

// The heading of one machine's answer: the tool's words, the machine's name and, for top_processes, the column.
void heading_of(words::Text* t, mem::Bytes start, const ToolContext* c, mem::Bytes by) {
  t->len = 0;
  words::put(t, start);
  words::put(t, display_name(c));
  if (by.len == 0) return;
  words::put(t, mem::lit(" by "));
  words::put(t, by);
}

// The context of the machine a process tool answers for: this machine, or the cluster machine the view holds;
// null when a cluster failure was written.
const ToolContext* process_context(const ToolContext* context, const Call* call, u8 kind, ToolContext* remote,
                                   json::Writer* w) {
  if (kind != 1) return context;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return nullptr;
  *remote = remote_context(context);
  return remote;
}

}  // namespace

void top_processes(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 by = 0;
  u32 count = 0;
  by_count_arguments(call->doc, call->line, call->arguments, &by, &count);
  if (by == 5) return bad_arguments(w, mem::lit("Invalid arguments: by must be one of cpu, memory, disk, gpu, vram"));
  if (count == 0) return bad_arguments(w, mem::lit("Invalid arguments: count must be an integer from 1 to 50"));
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  ToolContext remote;
  const ToolContext* c = process_context(context, call, kind, &remote, w);
  if (c == nullptr) return;
  if (!c->table_held || c->procs == nullptr || c->list == nullptr) return no_table(w);
  proclist::set_view(c->list, by + 2u, mem::Bytes());
  proclist::rebuild(c->list, c->procs);
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= by; ++i) word = next_name(by_words(), &at);
  words::Text heading{};
  heading_of(&heading, mem::lit("top_processes of "), c, word);
  processes_answer(c, call, w, text_of(&heading), count, false);
}

namespace {

mem::Bytes found_machine_name(const ClusterView* v, u8 machine) {
  if (machine == this_machine_index || v->machines == nullptr) return mem::lit("this machine");
  return machine_name(v->machines->names[machine]);
}

}  // namespace

void find_answer_cluster(const ToolContext* c, json::Writer* w) {
  const ClusterView* v = c->cluster;
  const FoundProcesses* f = v->found;
  text_content(w);
  say(w, mem::lit("find_process on this machine and "));
  json::write_uint(w, v->answered);
  say(w, mem::lit(" other machines ("));
  json::write_uint(w, v->unanswered);
  say(w, mem::lit(" online or stale machines sent no table in time): "));
  json::write_uint(w, f->kept);
  say(w, mem::lit(" of "));
  json::write_uint(w, f->matched);
  say(w, mem::lit(" matching processes ("));
  json::write_uint(w, f->listed);
  say(w, mem::lit(" processes in all), heaviest CPU first; remote machines publish their 256 heaviest processes"));
  for (u32 i = 0; i < f->kept; ++i) {
    const FoundRow& r = f->rows[i];
    say(w, mem::lit("\n"));
    write_name_text(w, found_machine_name(v, r.machine));
    say(w, mem::lit(": "));
    write_name_text(w, mem::Bytes(r.name, r.name_length));
    say(w, mem::lit(", PID "));
    json::write_uint(w, r.pid);
    say(w, mem::lit(", CPU "));
    say_fixed(w, r.cpu, 2);
    say(w, mem::lit(" %, memory "));
    say_fixed(w, proclist::mib_tenths(r.memory), 1);
    say(w, mem::lit(" MB, disk "));
    if ((f->unreported >> i) & 1) say(w, mem::lit("denied"));
    else write_rate(w, r.disk);
    say(w, mem::lit(", GPU "));
    say_fixed(w, r.gpu, 2);
    say(w, mem::lit(" %, VRAM "));
    json::write_uint(w, u64{r.vram} * 4);
    say(w, mem::lit(" MB, threads "));
    json::write_uint(w, r.threads);
    say(w, mem::lit(", TCP "));
    json::write_uint(w, r.tcp);
  }
  structured_content(w);
  key_uint(w, mem::lit("sample_age_ms"), age_of(c->now_ms, c->table_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->table_interval);
  key_uint(w, mem::lit("processes_listed"), f->listed);
  key_uint(w, mem::lit("processes_matched"), f->matched);
  json::key(w, mem::lit("table_truncated"));
  json::write_bool(w, f->truncated);
  key_uint(w, mem::lit("machines_searched"), u64{v->answered} + 1);
  key_uint(w, mem::lit("machines_skipped"), v->unanswered);
  json::key(w, mem::lit("processes"));
  json::begin_array(w);
  for (u32 i = 0; i < f->kept; ++i) {
    const FoundRow& r = f->rows[i];
    json::begin_object(w);
    json::key(w, mem::lit("machine"));
    json::string_value(w, found_machine_name(v, r.machine));
    json::key(w, mem::lit("name"));
    json::string_value(w, mem::Bytes(r.name, r.name_length));
    json::key(w, mem::lit("name_cut"));
    json::write_bool(w, (f->cut >> i) & 1);
    key_uint(w, mem::lit("pid"), r.pid);
    key_fixed(w, mem::lit("cpu_percent"), r.cpu, 2);
    key_fixed(w, mem::lit("memory_mib"), proclist::mib_tenths(r.memory), 1);
    key_uint_or_null(w, mem::lit("disk_kib_per_s"), r.disk, !((f->unreported >> i) & 1));
    key_fixed(w, mem::lit("gpu_percent"), r.gpu, 2);
    key_uint(w, mem::lit("vram_mib"), u64{r.vram} * 4);
    key_uint(w, mem::lit("threads"), r.threads);
    key_uint(w, mem::lit("tcp"), r.tcp);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

void find_process(const ToolContext* context, const Call* call, json::Writer* w) {
  u16 value = json::member(call->doc, call->line, call->arguments, mem::lit("name"));
  if (json::type_of(call->doc, value) != json::type_string)
    return bad_arguments(w, mem::lit("Invalid arguments: name must be a string"));
  u8 name[260];
  u64 n = json::unescape(json::text_of(call->doc, call->line, value), mem::Slice{name, sizeof name});
  if (n == 0) return bad_arguments(w, mem::lit("Invalid arguments: name must not be empty"));
  if (n > sizeof name)
    return bad_arguments(w, mem::lit("Invalid arguments: name is longer than 260 bytes, the longest process name"));
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  const ClusterView* view = context->cluster;
  if (kind == 0 && view != nullptr && view->status == cluster_ok && view->found != nullptr)
    return find_answer_cluster(context, w);
  ToolContext remote;
  const ToolContext* c = process_context(context, call, kind, &remote, w);
  if (c == nullptr) return;
  if (!c->table_held || c->procs == nullptr || c->list == nullptr) return no_table(w);
  filter_list(c->list, c->procs, mem::Bytes(name, n));
  words::Text heading{};
  heading_of(&heading, mem::lit("find_process on "), c, mem::Bytes());
  u8 status = c->cluster ? c->cluster->status : cluster_unconfigured;
  bool note = kind == 0 && status != cluster_ok && status != cluster_unconfigured;
  processes_answer(c, call, w, text_of(&heading), found_max, note);
}

}  // namespace mcp

// ======== The cluster tools ========

namespace mcp {

// The cluster tools answer from the host's list and history. A call reaches a handler only after the loop's gathering
// has set the cluster view's status; every failure of it is answered by cluster_result.

mem::Bytes state_word(u32 index) {
  switch (index) {
    case 0: return mem::lit("online");
    case 1: return mem::lit("stale");
    case 2: return mem::lit("offline");
    case 3: return mem::lit("missing");
    default: return mem::lit("all");
  }
}

bool is_this_machine(const ClusterView* v, u32 i) {
  return v->own_id_known && __builtin_memcmp(v->own_id, v->machines->ids[i], 16) == 0;
}

namespace {

// The state word of a summary: values past missing count as missing.
mem::Bytes summary_state(const proto::Summary& s) { return state_word(s.state < 3 ? s.state : 3); }

u32 listed_count(const proto::MachineList* l) { return bits::min32(l->count, proto::list_rows); }

void say_uint(json::Writer* w, u64 value) { json::write_uint(w, value); }

u32 saturated(u64 value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(value); }

// The figures that close both a machine's row and the cluster's sums, under the same keys and in this order: video
// memory used and total, disk read and write, network receive and send, processes and threads.
void volume_keys(json::Writer* w, const u64 (&figures)[8]) {
  const mem::Bytes keys[8] = {mem::lit("vram_used_mib"),       mem::lit("vram_total_mib"),
                              mem::lit("disk_read_kib_per_s"), mem::lit("disk_write_kib_per_s"),
                              mem::lit("receive_kib_per_s"),   mem::lit("send_kib_per_s"),
                              mem::lit("processes"),           mem::lit("threads")};
  for (u32 i = 0; i < 8; ++i) key_uint(w, keys[i], figures[i]);
}

// The four rates of a machine's row and of the cluster's sums in text, each after its label: disk read and write,
// network receive and send.
void rates_text(json::Writer* w, const mem::Bytes (&labels)[4], const u32 (&rates)[4]) {
  for (u32 i = 0; i < 4; ++i) {
    say(w, labels[i]);
    write_rate(w, rates[i]);
  }
}

}  // namespace

void machine_row_text(json::Writer* w, const ClusterView* v, u32 i) {
  const proto::MachineList* l = v->machines;
  const proto::Summary& s = l->summaries[i];
  say(w, mem::lit("\n"));
  write_name_text(w, machine_name(l->names[i]));
  if (is_this_machine(v, i)) say(w, mem::lit(" (this computer)"));
  say(w, mem::lit(": "));
  say(w, summary_state(s));
  say(w, mem::lit(", CPU "));
  say_fixed(w, s.cpu, 2);
  say(w, mem::lit(" % of "));
  say_uint(w, s.value);
  say(w, mem::lit(" logical processors, memory "));
  say_fixed(w, gib_tenths(s.memory_used), 1);
  say(w, mem::lit(" / "));
  write_gb(w, s.memory_total);
  say(w, mem::lit(", GPU "));
  say_fixed(w, s.gpu, 2);
  say(w, mem::lit(" %, VRAM "));
  say_fixed(w, gib_tenths(s.video_used), 1);
  say(w, mem::lit(" / "));
  write_gb(w, s.video_total);
  rates_text(w, {mem::lit(", disk read "), mem::lit(" write "), mem::lit(", network receive "), mem::lit(" send ")},
             {s.disk_read, s.disk_write, s.receive, s.send});
  say(w, mem::lit(", "));
  say_uint(w, s.processes);
  say(w, mem::lit(" processes, id "));
  write_id_hex(w, l->ids[i]);
}

void machine_row_json(json::Writer* w, const ClusterView* v, u32 i) {
  const proto::MachineList* l = v->machines;
  const proto::Summary& s = l->summaries[i];
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, machine_name(l->names[i]));
  key_id(w, mem::lit("id"), l->ids[i]);
  json::key(w, mem::lit("state"));
  json::string_value(w, summary_state(s));
  json::key(w, mem::lit("this_machine"));
  json::write_bool(w, is_this_machine(v, i));
  key_uint(w, mem::lit("logical_processors"), s.value);
  key_fixed(w, mem::lit("cpu_percent"), s.cpu, 2);
  key_fixed(w, mem::lit("kernel_percent"), s.kernel, 2);
  key_uint(w, mem::lit("memory_used_mib"), s.memory_used);
  key_uint(w, mem::lit("memory_total_mib"), s.memory_total);
  key_fixed(w, mem::lit("busiest_disk_percent"), s.disk, 2);
  key_fixed(w, mem::lit("gpu_percent"), s.gpu, 2);
  volume_keys(w, {s.video_used, s.video_total, s.disk_read, s.disk_write, s.receive, s.send, s.processes, s.threads});
  json::end_object(w);
}

void list_machines(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 state = state_argument(call->doc, call->line, call->arguments);
  if (state == 255)
    return bad_arguments(w, mem::lit("Invalid arguments: state must be one of online, stale, offline, missing, all"));
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* v = context->cluster;
  u32 listed = listed_count(v->machines);
  auto shown = [&](u32 i) { return state == 4 || v->machines->summaries[i].state == state; };
  u32 count = 0;
  for (u32 i = 0; i < listed; ++i) count += shown(i) ? 1 : 0;
  text_content(w);
  say(w, mem::lit("list_machines: "));
  say_uint(w, count);
  say(w, mem::lit(" of "));
  say_uint(w, listed);
  say(w, mem::lit(" machines, state "));
  say(w, state_word(state));
  for (u32 i = 0; i < listed; ++i) {
    if (shown(i)) machine_row_text(w, v, i);
  }
  structured_content(w);
  key_uint(w, mem::lit("machines_listed"), listed);
  key_uint(w, mem::lit("machines_shown"), count);
  json::key(w, mem::lit("machines"));
  json::begin_array(w);
  for (u32 i = 0; i < listed; ++i) {
    if (shown(i)) machine_row_json(w, v, i);
  }
  json::end_array(w);
  is_error(w);
}

void cluster_sums(const proto::MachineList* l, ClusterSums* s) {
  __builtin_memset(s, 0, sizeof *s);
  for (u32 i = 0; i < listed_count(l); ++i) {
    const proto::Summary& m = l->summaries[i];
    ++s->counts[m.state < 3 ? m.state : 3];
    if (m.state > 1) continue;
    s->logical += m.value;
    s->busy += u64{m.value} * m.cpu;
    s->memory_used += m.memory_used;
    s->memory_total += m.memory_total;
    s->vram_used += m.video_used;
    s->vram_total += m.video_total;
    s->disk_read += m.disk_read;
    s->disk_write += m.disk_write;
    s->receive += m.receive;
    s->send += m.send;
    s->processes += m.processes;
    s->threads += m.threads;
  }
}

void cluster_usage(const ToolContext* context, const Call* call, json::Writer* w) {
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  ClusterSums s;
  cluster_sums(context->cluster->machines, &s);
  u32 machines = listed_count(context->cluster->machines);
  u64 busy = s.busy / 100;
  u64 percent = s.busy / (s.logical > 1 ? s.logical : 1);
  text_content(w);
  say(w, mem::lit("cluster_usage of "));
  say_uint(w, machines);
  say(w, mem::lit(" machines: "));
  const mem::Bytes states[4] = {mem::lit(" online, "), mem::lit(" stale, "), mem::lit(" offline, "),
                                mem::lit(" missing; sums over the online and stale ones\ncpu: ")};
  for (u32 i = 0; i < 4; ++i) {
    say_uint(w, s.counts[i]);
    say(w, states[i]);
  }
  say_fixed(w, busy, 2);
  say(w, mem::lit(" of "));
  say_uint(w, s.logical);
  say(w, mem::lit(" logical processors busy ("));
  say_fixed(w, percent, 2);
  say(w, mem::lit(" %)\nmemory: "));
  write_gb(w, s.memory_used);
  say(w, mem::lit(" of "));
  write_gb(w, s.memory_total);
  say(w, mem::lit(" in use\nvram: "));
  write_gb(w, s.vram_used);
  say(w, mem::lit(" of "));
  write_gb(w, s.vram_total);
  rates_text(w,
             {mem::lit(" in use\ndisk: read "), mem::lit(", write "), mem::lit("\nnetwork: receive "),
              mem::lit(", send ")},
             {saturated(s.disk_read), saturated(s.disk_write), saturated(s.receive), saturated(s.send)});
  say(w, mem::lit("\nprocesses "));
  say_uint(w, s.processes);
  say(w, mem::lit(", threads "));
  say_uint(w, s.threads);
  structured_content(w);
  key_uint(w, mem::lit("machines"), machines);
  const mem::Bytes count_keys[4] = {mem::lit("online"), mem::lit("stale"), mem::lit("offline"), mem::lit("missing")};
  for (u32 i = 0; i < 4; ++i) key_uint(w, count_keys[i], s.counts[i]);
  key_uint(w, mem::lit("logical_processors"), s.logical);
  key_fixed(w, mem::lit("busy_processors"), busy, 2);
  key_fixed(w, mem::lit("cpu_percent"), percent, 2);
  key_uint(w, mem::lit("memory_used_mib"), s.memory_used);
  key_uint(w, mem::lit("memory_total_mib"), s.memory_total);
  volume_keys(w, {s.vram_used, s.vram_total, s.disk_read, s.disk_write, s.receive, s.send, s.processes, s.threads});
  is_error(w);
}

mem::Bytes metric_word(u32 index) {
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= index && i < 6; ++i) word = next_name(metric_words(), &at);
  return word;
}

mem::Bytes range_word(u32 index) {
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= index && i < 4; ++i) word = next_name(range_words(), &at);
  return word;
}

u32 range_seconds(u8 range) {
  const u32 seconds[4] = {3600, 86400, 2592000, 63072000};
  return seconds[range < 4 ? range : 1];
}

u8 tier_of(u8 range) { return range < 2 ? range : 2; }

u32 tier_row_seconds(u8 tier) { return tier == 0 ? 10 : tier == 1 ? 300 : 3600; }

u8 history_column(u8 metric, u32 second) {
  const u8 first[6] = {0, 2, 4, 5, 6, 3};
  if (second) return metric == 4 ? 7 : 255;
  return first[metric < 6 ? metric : 0];
}

// Days since 2025-01-01 to the proleptic Gregorian date (days from civil, inverted).
void civil_date(u32 days, u32* year, u32* month, u32* day) {
  i64 z = i64{days} + 20089 + 719468;  // 2025-01-01 is day 20,089 after 1970-01-01
  i64 era = z / 146097;
  i64 doe = z - era * 146097;
  i64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  i64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  i64 mp = (5 * doy + 2) / 153;
  i64 d = doy - (153 * mp + 2) / 5 + 1;
  i64 m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<u32>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  *month = static_cast<u32>(m);
  *day = static_cast<u32>(d);
}

namespace {

void two_digits(json::Writer* w, u32 v) {
  json::put_byte(w, static_cast<u8>('0' + v / 10 % 10));
  json::put_byte(w, static_cast<u8>('0' + v % 10));
}

}  // namespace

void write_time(json::Writer* w, u32 seconds) {
  u32 year = 0, month = 0, day = 0;
  civil_date(seconds / 86400, &year, &month, &day);
  u32 rest = seconds % 86400;
  json::write_uint(w, year);
  json::put_byte(w, '-');
  two_digits(w, month);
  json::put_byte(w, '-');
  two_digits(w, day);
  json::put_byte(w, ' ');
  two_digits(w, rest / 3600);
  json::put_byte(w, ':');
  two_digits(w, rest / 60 % 60);
}

u64 memory_of_code(u16 code) {
  if (code < 4096) return code;
  return u64{(code & 0xFFFu) | 0x1000u} << (code / 4096 - 1);
}

u64 row_value(const viewer::HistView* v, u32 column, u32 row, u32 which) {
  if (row >= viewer::hist_rows || column > 1) return 0;
  if (which == 0) return v->count[row] == 0 ? 0 : v->min[column][row];
  if (which == 2) return v->max[column][row];
  return v->count[row] == 0 ? 0 : words::rounded(v->sum[column][row], v->count[row]);
}

namespace {

bool range_error(json::Writer* w, u8 error) {
  if (error == 3) bad_arguments(w, mem::lit("Invalid arguments: range must be one of 1h, 24h, 30d, 2y"));
  return error == 3;
}

u32 row_time(const viewer::HistView* v, u32 row) {
  return v->start + static_cast<u32>(u64{v->span} * row / viewer::hist_rows);
}

void key_time(json::Writer* w, u32 seconds) {
  json::key(w, mem::lit("time"));
  json::comma(w);
  json::put_byte(w, '"');
  write_time(w, seconds);
  json::put_byte(w, '"');
}

// A value of a column: hundredths with two decimals for percentages, whole KiB/s for net.
void say_value(json::Writer* w, u64 value, bool net) {
  if (net) json::write_uint(w, value);
  else say_fixed(w, value, 2);
}

void key_value(json::Writer* w, mem::Bytes key, u64 value, bool net) {
  if (net) key_uint(w, key, value);
  else key_fixed(w, key, value, 2);
}

u32 folded_buckets(const viewer::HistView* v) {
  u32 n = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) n += v->count[r];
  return n;
}

// The kept name of a top entry's hash; empty when the host sent none for it.
mem::Bytes top_name(const viewer::NameFilter* f, u32 hash) {
  for (u32 i = 0; i < f->names_count && i < viewer::filter_names_max; ++i) {
    if (f->name_hashes[i] == hash) return machine_name(f->names[i]);
  }
  return mem::Bytes();
}

const ptop::List* top_list(const viewer::NameFilter* f, u32 row, u8 metric) {
  return metric == 0 ? &f->tops[row].a : &f->tops[row].b;
}

void top_text(json::Writer* w, const viewer::NameFilter* f, u32 row, u8 metric) {
  const ptop::List* list = top_list(f, row, metric);
  bool first = true;
  for (u32 e = 0; e < ptop::top; ++e) {
    if (list->hash[e] == 0) continue;
    say(w, first ? mem::lit(", top ") : mem::lit(", "));
    first = false;
    mem::Bytes name = top_name(f, list->hash[e]);
    if (name.len == 0) say(w, mem::lit("(name not kept)"));
    else write_name_text(w, name);
    say(w, mem::lit(" "));
    if (metric == 0) {
      say_fixed(w, list->value[e], 2);
      say(w, mem::lit(" %"));
    } else {
      json::write_uint(w, memory_of_code(list->value[e]));
      say(w, mem::lit(" MiB"));
    }
  }
}

void top_json(json::Writer* w, const viewer::NameFilter* f, u32 row, u8 metric) {
  const ptop::List* list = top_list(f, row, metric);
  json::key(w, mem::lit("top_processes"));
  json::begin_array(w);
  for (u32 e = 0; e < ptop::top; ++e) {
    if (list->hash[e] == 0) continue;
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    mem::Bytes name = top_name(f, list->hash[e]);
    json::string_value(w, name.len == 0 ? mem::lit("(name not kept)") : name);
    key_uint(w, mem::lit("pid"), list->pid[e]);
    if (metric == 0) key_fixed(w, mem::lit("cpu_percent"), list->value[e], 2);
    else key_uint(w, mem::lit("memory_mib"), memory_of_code(list->value[e]));
    json::end_object(w);
  }
  json::end_array(w);
}

// The heading's common part: " over the last " + range + ", tier " + t + " (" + bucket length + " s buckets)".
void tier_words(json::Writer* w, u8 range, u8 tier) {
  say(w, mem::lit(" over the last "));
  say(w, range_word(range));
  say(w, mem::lit(", tier "));
  json::write_uint(w, tier);
  say(w, mem::lit(" ("));
  json::write_uint(w, tier_row_seconds(tier));
  say(w, mem::lit(" s buckets)"));
}

void history_keys(json::Writer* w, const viewer::HistView* v, u8 range, u8 tier) {
  json::key(w, mem::lit("range"));
  json::string_value(w, range_word(range));
  key_uint(w, mem::lit("tier"), tier);
  key_uint(w, mem::lit("bucket_s"), tier_row_seconds(tier));
  key_uint(w, mem::lit("row_s"), v->span / viewer::hist_rows);
  key_uint(w, mem::lit("from_s"), v->start);
  key_uint(w, mem::lit("to_s"), u64{v->start} + v->span);
}

}  // namespace

void usage_history(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 metric = 0, range = 0, cluster = 0;
  u8 error = metric_range_arguments(call->doc, call->line, call->arguments, &metric, &range, &cluster);
  if (error == 1)
    return bad_arguments(w, mem::lit("Invalid arguments: usage_history needs machine (a name or an id of 1 to 64 "
                                     "bytes) or cluster: true, not both"));
  if (error == 2)
    return bad_arguments(w, mem::lit("Invalid arguments: metric must be one of cpu, memory, gpu, vram, net, disk"));
  if (range_error(w, error)) return;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* c = context->cluster;
  const viewer::HistView* v = c->hist;
  bool net = metric == 4;
  bool tops = metric <= 1 && !cluster && c->names != nullptr;
  mem::Bytes name = cluster ? mem::lit("the cluster") : mem::Bytes(c->name, c->name_length);
  mem::Bytes unit = net ? mem::lit("KiB/s") : mem::lit("percent");
  u32 rows = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) rows += v->count[r] != 0 ? 1 : 0;
  text_content(w);
  say(w, mem::lit("usage_history of "));
  write_name_text(w, name);
  say(w, mem::lit(": "));
  say(w, metric_word(metric));
  say(w, mem::lit(" in "));
  say(w, unit);
  tier_words(w, range, c->tier);
  say(w, mem::lit(", "));
  json::write_uint(w, folded_buckets(v));
  say(w, mem::lit(" buckets in "));
  json::write_uint(w, rows);
  say(w, mem::lit(" rows of "));
  json::write_uint(w, v->span / viewer::hist_rows);
  say(w, mem::lit(" s, times UTC"));
  if (rows == 0 && cluster && c->host_version < 1063) {
    say(w, mem::lit("\nno buckets for the cluster: this server does not serve cluster history yet (it comes with "
                    "Vimbrel 0.1.63); ask for one machine instead"));
  } else if (rows == 0 && cluster) {
    say(w, mem::lit("\nno buckets for the cluster in that range: the server has kept no history of its machines yet"));
  } else if (rows == 0) {
    say(w, mem::lit("\nno buckets in that range: the server has kept no history of it yet"));
  }
  const mem::Bytes marks[3] = {mem::lit(" min "), mem::lit(" avg "), mem::lit(" max ")};
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (v->count[r] == 0) continue;
    say(w, mem::lit("\n"));
    write_time(w, row_time(v, r));
    if (net) say(w, mem::lit(" receive"));
    for (u32 k = 0; k < 3; ++k) {
      say(w, marks[k]);
      say_value(w, row_value(v, 0, r, k), net);
    }
    if (net) {
      say(w, mem::lit(", send"));
      for (u32 k = 0; k < 3; ++k) {
        say(w, marks[k]);
        say_value(w, row_value(v, 1, r, k), net);
      }
    }
    if (tops) top_text(w, c->names, r, metric);
  }
  structured_content(w);
  json::key(w, mem::lit("machine"));
  json::string_value(w, name);
  json::key(w, mem::lit("metric"));
  json::string_value(w, metric_word(metric));
  json::key(w, mem::lit("unit"));
  json::string_value(w, unit);
  history_keys(w, v, range, c->tier);
  key_uint(w, mem::lit("buckets"), folded_buckets(v));
  json::key(w, mem::lit("rows"));
  json::begin_array(w);
  const mem::Bytes keys[2][3] = {{mem::lit("min"), mem::lit("average"), mem::lit("max")},
                                 {mem::lit("send_min"), mem::lit("send_average"), mem::lit("send_max")}};
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (v->count[r] == 0) continue;
    json::begin_object(w);
    key_time(w, row_time(v, r));
    key_uint(w, mem::lit("buckets"), v->count[r]);
    for (u32 col = 0; col < (net ? 2u : 1u); ++col) {
      for (u32 k = 0; k < 3; ++k) key_value(w, keys[col][k], row_value(v, col, r, k), net);
    }
    if (tops) top_json(w, c->names, r, metric);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

void process_history(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 metric = 0, range = 0, cluster = 0;
  u8 error = metric_range_arguments(call->doc, call->line, call->arguments, &metric, &range, &cluster);
  u8 name[32];
  u64 name_length = process_name_argument(call->doc, call->line, call->arguments, name);
  if (name_length == 0 || error == 1 || cluster)
    return bad_arguments(w, mem::lit("Invalid arguments: process_history needs name (a process name of 1 to 32 "
                                     "bytes) and machine (a name or an id of 1 to 64 bytes)"));
  if (range_error(w, error)) return;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* c = context->cluster;
  const viewer::HistView* v = c->hist;
  const viewer::NameFilter* f = c->names;
  u32 seen = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) seen += f->matches[r];
  mem::Bytes process(name, name_length);
  text_content(w);
  say(w, mem::lit("process_history of "));
  write_name_text(w, process);
  say(w, mem::lit(" on "));
  write_name_text(w, mem::Bytes(c->name, c->name_length));
  tier_words(w, range, c->tier);
  say(w, mem::lit(": among the 5 heaviest by CPU or memory in "));
  json::write_uint(w, seen);
  say(w, mem::lit(" of "));
  json::write_uint(w, f->tops_taken);
  say(w, mem::lit(" buckets, rows of "));
  json::write_uint(w, v->span / viewer::hist_rows);
  say(w, mem::lit(" s, times UTC"));
  if (f->tops_taken == 0) {
    say(w, mem::lit("\nno process history in that range: the server keeps none (a server older than process "
                    "history, or none closed yet)"));
  } else if (seen == 0) {
    say(w, mem::lit("\nnever among the 5 heaviest by CPU or memory in that range"));
  }
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (f->matches[r] == 0) continue;
    say(w, mem::lit("\n"));
    write_time(w, row_time(v, r));
    say(w, mem::lit(" in "));
    json::write_uint(w, f->matches[r]);
    say(w, mem::lit(" buckets, CPU peak "));
    if (f->most[r][0] == 0) {
      say(w, mem::lit("not in the top 5"));
    } else {
      say_fixed(w, f->most[r][0], 2);
      say(w, mem::lit(" %"));
    }
    say(w, mem::lit(", memory peak "));
    if (f->most[r][1] == 0) {
      say(w, mem::lit("not in the top 5"));
    } else {
      json::write_uint(w, memory_of_code(f->most[r][1]));
      say(w, mem::lit(" MiB"));
    }
  }
  structured_content(w);
  json::key(w, mem::lit("machine"));
  json::string_value(w, mem::Bytes(c->name, c->name_length));
  json::key(w, mem::lit("name"));
  json::string_value(w, process);
  history_keys(w, v, range, c->tier);
  key_uint(w, mem::lit("buckets"), f->tops_taken);
  key_uint(w, mem::lit("buckets_seen"), seen);
  json::key(w, mem::lit("rows"));
  json::begin_array(w);
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (f->matches[r] == 0) continue;
    json::begin_object(w);
    key_time(w, row_time(v, r));
    key_uint(w, mem::lit("buckets_seen"), f->matches[r]);
    json::key(w, mem::lit("cpu_peak_percent"));
    if (f->most[r][0] == 0) json::write_null(w);
    else json::fixed_value(w, f->most[r][0], 2);
    key_uint_or_null(w, mem::lit("memory_peak_mib"), memory_of_code(f->most[r][1]), f->most[r][1] != 0);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

// ======== Output schemas ========

namespace {

// Writes KEY:{"type":T} (or nullable) for each name of a comma-separated list.
void typed_keys(json::Writer* w, mem::Bytes names, mem::Bytes type, bool nullable) {
  for (u64 at = 0; at < names.len;) {
    mem::Bytes name = next_name(names, &at);
    if (nullable) schema_nullable(w, name, type);
    else schema_type(w, name, type);
  }
}

void array_of_objects(json::Writer* w, mem::Bytes key) {
  schema_array(w, key, mem::Bytes());
  schema_object(w, mem::Bytes());
}

// Closes an object item opened by array_of_objects, with its required list, and the array around it.
void close_array_item(json::Writer* w, mem::Bytes required) {
  schema_required(w, required);
  json::end_object(w);
}

}  // namespace

void machine_usage_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,state"), mem::lit("string"), false);
  typed_keys(w, mem::lit("sample_number,sample_age_ms,rate_window_ms,uptime_s,processes,threads"),
             mem::lit("integer"), false);
  schema_nullable(w, mem::lit("handles"), mem::lit("integer"));
  schema_object(w, mem::lit("cpu"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  schema_type(w, mem::lit("logical_processors"), mem::lit("integer"));
  typed_keys(w, mem::lit("total_percent,kernel_percent"), mem::lit("number"), false);
  schema_array(w, mem::lit("per_core_percent"), mem::lit("number"));
  schema_array(w, mem::lit("per_core_kernel_percent"), mem::lit("number"));
  schema_type(w, mem::lit("vendor"), mem::lit("string"));
  typed_keys(w, mem::lit("family,model,stepping,sockets,cores,base_mhz,speed_mhz,l1_cache_kib,l2_cache_kib,l3_cache_kib"),
             mem::lit("integer"), true);
  schema_array(w, mem::lit("instruction_sets"), mem::lit("string"));
  schema_type(w, mem::lit("virtualisation"), mem::lit("string"));
  schema_required(w, mem::lit("name,logical_processors,total_percent,kernel_percent,per_core_percent,"
                              "per_core_kernel_percent,vendor,family,model,stepping,sockets,cores,base_mhz,speed_mhz,"
                              "l1_cache_kib,l2_cache_kib,l3_cache_kib,instruction_sets,virtualisation"));
  schema_object(w, mem::lit("memory"));
  typed_keys(w, mem::lit("total_mib,used_mib,available_mib,commit_mib,modified_mib,standby_mib"), mem::lit("integer"),
             false);
  schema_type(w, mem::lit("memory_type"), mem::lit("string"));
  schema_nullable(w, mem::lit("speed_mts"), mem::lit("integer"));
  schema_type(w, mem::lit("form_factor"), mem::lit("string"));
  typed_keys(w, mem::lit("slots_used,slots_total,installed_mib,hardware_reserved_mib,compressed_mib,cached_mib,"
                         "commit_limit_mib,paged_pool_mib,nonpaged_pool_mib"),
             mem::lit("integer"), true);
  schema_required(w, mem::lit("total_mib,used_mib,available_mib,commit_mib,modified_mib,standby_mib,memory_type,"
                              "speed_mts,form_factor,slots_used,slots_total,installed_mib,hardware_reserved_mib,"
                              "compressed_mib,cached_mib,commit_limit_mib,paged_pool_mib,nonpaged_pool_mib"));
  array_of_objects(w, mem::lit("disks"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  typed_keys(w, mem::lit("size_mib,used_mib,free_mib"), mem::lit("integer"), true);
  typed_keys(w, mem::lit("read_kib_per_s,write_kib_per_s"), mem::lit("integer"), false);
  schema_type(w, mem::lit("active_percent"), mem::lit("number"));
  schema_type(w, mem::lit("size_saturated"), mem::lit("boolean"));
  typed_keys(w, mem::lit("media,bus"), mem::lit("string"), false);
  schema_nullable(w, mem::lit("model"), mem::lit("string"));
  close_array_item(w, mem::lit("name,size_mib,used_mib,free_mib,read_kib_per_s,write_kib_per_s,active_percent,"
                               "size_saturated,media,bus,model"));
  array_of_objects(w, mem::lit("interfaces"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  typed_keys(w, mem::lit("receive_kib_per_s,send_kib_per_s"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,receive_kib_per_s,send_kib_per_s"));
  array_of_objects(w, mem::lit("batteries"));
  schema_type(w, mem::lit("percent"), mem::lit("integer"));
  schema_type(w, mem::lit("state"), mem::lit("string"));
  close_array_item(w, mem::lit("percent,state"));
  array_of_objects(w, mem::lit("thermal_zones"));
  typed_keys(w, mem::lit("zone,tenths_celsius"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("zone,tenths_celsius"));
  schema_object(w, mem::lit("power"));
  typed_keys(w, mem::lit("watts,cpu_watts,dram_watts,gpu_watts,system_watts"), mem::lit("number"), true);
  schema_type(w, mem::lit("on_battery"), mem::lit("boolean"));
  schema_required(w, mem::lit("watts,cpu_watts,dram_watts,gpu_watts,system_watts,on_battery"));
  schema_object(w, mem::lit("truncated"));
  typed_keys(w, mem::lit("cores,disks,interfaces"), mem::lit("boolean"), false);
  schema_required(w, mem::lit("cores,disks,interfaces"));
  schema_required(w, mem::lit("sample_number,sample_age_ms,rate_window_ms,uptime_s,processes,threads,handles,cpu,"
                              "memory,disks,interfaces,batteries,thermal_zones,power,truncated"));
}

void processes_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("sample_age_ms,rate_window_ms,processes_listed,processes_matched"), mem::lit("integer"),
             false);
  schema_type(w, mem::lit("table_truncated"), mem::lit("boolean"));
  typed_keys(w, mem::lit("machine,state"), mem::lit("string"), false);
  typed_keys(w, mem::lit("machines_searched,machines_skipped"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("processes"));
  typed_keys(w, mem::lit("machine,name"), mem::lit("string"), false);
  schema_type(w, mem::lit("name_cut"), mem::lit("boolean"));
  schema_type(w, mem::lit("pid"), mem::lit("integer"));
  typed_keys(w, mem::lit("cpu_percent,memory_mib"), mem::lit("number"), false);
  schema_nullable(w, mem::lit("disk_kib_per_s"), mem::lit("integer"));
  schema_type(w, mem::lit("gpu_percent"), mem::lit("number"));
  typed_keys(w, mem::lit("vram_mib,threads,tcp"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,name_cut,pid,cpu_percent,memory_mib,disk_kib_per_s,gpu_percent,vram_mib,threads,"
                               "tcp"));
  schema_required(w, mem::lit("sample_age_ms,rate_window_ms,processes_listed,processes_matched,table_truncated,"
                              "processes"));
}

void list_machines_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machines_listed,machines_shown"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("machines"));
  typed_keys(w, mem::lit("name,id,state"), mem::lit("string"), false);
  schema_type(w, mem::lit("this_machine"), mem::lit("boolean"));
  schema_type(w, mem::lit("logical_processors"), mem::lit("integer"));
  typed_keys(w, mem::lit("cpu_percent,kernel_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("memory_used_mib,memory_total_mib"), mem::lit("integer"), false);
  typed_keys(w, mem::lit("busiest_disk_percent,gpu_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("vram_used_mib,vram_total_mib,disk_read_kib_per_s,disk_write_kib_per_s,receive_kib_per_s,"
                         "send_kib_per_s,processes,threads"),
             mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,id,state,this_machine,logical_processors,cpu_percent,kernel_percent,"
                               "memory_used_mib,memory_total_mib,busiest_disk_percent,gpu_percent,vram_used_mib,"
                               "vram_total_mib,disk_read_kib_per_s,disk_write_kib_per_s,receive_kib_per_s,"
                               "send_kib_per_s,processes,threads"));
  schema_required(w, mem::lit("machines_listed,machines_shown,machines"));
}

void cluster_usage_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machines,online,stale,offline,missing,logical_processors"), mem::lit("integer"), false);
  typed_keys(w, mem::lit("busy_processors,cpu_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("memory_used_mib,memory_total_mib,vram_used_mib,vram_total_mib,disk_read_kib_per_s,"
                         "disk_write_kib_per_s,receive_kib_per_s,send_kib_per_s,processes,threads"),
             mem::lit("integer"), false);
  schema_required(w, mem::lit("machines,online,stale,offline,missing,logical_processors,busy_processors,cpu_percent,"
                              "memory_used_mib,memory_total_mib,vram_used_mib,vram_total_mib,disk_read_kib_per_s,"
                              "disk_write_kib_per_s,receive_kib_per_s,send_kib_per_s,processes,threads"));
}

void usage_history_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,metric,unit,range"), mem::lit("string"), false);
  typed_keys(w, mem::lit("tier,bucket_s,row_s,from_s,to_s,buckets"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("rows"));
  schema_type(w, mem::lit("time"), mem::lit("string"));
  schema_type(w, mem::lit("buckets"), mem::lit("integer"));
  typed_keys(w, mem::lit("min,average,max,send_min,send_average,send_max"), mem::lit("number"), false);
  array_of_objects(w, mem::lit("top_processes"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  schema_type(w, mem::lit("pid"), mem::lit("integer"));
  schema_type(w, mem::lit("cpu_percent"), mem::lit("number"));
  schema_type(w, mem::lit("memory_mib"), mem::lit("integer"));
  close_array_item(w, mem::lit("name,pid"));
  close_array_item(w, mem::lit("time,buckets,min,average,max"));
  schema_required(w, mem::lit("machine,metric,unit,range,tier,bucket_s,row_s,from_s,to_s,buckets,rows"));
}

void process_history_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,name,range"), mem::lit("string"), false);
  typed_keys(w, mem::lit("tier,bucket_s,row_s,from_s,to_s,buckets,buckets_seen"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("rows"));
  schema_type(w, mem::lit("time"), mem::lit("string"));
  schema_type(w, mem::lit("buckets_seen"), mem::lit("integer"));
  schema_nullable(w, mem::lit("cpu_peak_percent"), mem::lit("number"));
  schema_nullable(w, mem::lit("memory_peak_mib"), mem::lit("integer"));
  close_array_item(w, mem::lit("time,buckets_seen,cpu_peak_percent,memory_peak_mib"));
  schema_required(w, mem::lit("machine,name,range,tier,bucket_s,row_s,from_s,to_s,buckets,buckets_seen,rows"));
}

}  // namespace mcp

// ======== The server loop ========

namespace mcp {

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

u32 freshness(u32 tried, u32 held, u64 now, u64 then, u32 refresh_age) {
  if (!tried || !held) return 2;
  u64 age = age_of(now, then);
  if (age >= 2000) return 2;
  return age >= refresh_age ? 1 : 0;
}

namespace {

u32 interval_to(u64 now, u64 then) { return bits::min32(age_of(now, then), 0xFFFFFFFFu); }

// Usage from the newest system sample, and the temperatures read beside it.
void local_usage(LocalData* local) {
  __builtin_memset(&local->usage, 0, sizeof local->usage);
  __builtin_memset(&local->row, 0, sizeof local->row);
  usage::system(&local->rates, local->sample, &local->usage, &local->row);
  collect::temps(local->collector, &local->usage.temps, local->usage.gpu_id, local->usage.gpus,
                 local->usage.disk_number, local->usage.disks);
}

void fold_sample(LocalData* local) {
  u64 now = os::mcp_clock_ms();
  local_usage(local);
  local->sample_interval = interval_to(now, local->sample_ms);
  u32 changes = local->collector->hardware.changes;
  if (changes != local->hardware_changes) {
    __builtin_memset(&local->hardware, 0, sizeof local->hardware);
    __builtin_memset(&local->adapters, 0, sizeof local->adapters);
    collect::hardware(local->collector, &local->hardware, &local->adapters);
    local->hardware_changes = changes;
  }
  machine::take(local->machine, &local->usage, &local->row, &local->hardware, &local->adapters,
                local->collector->performance);
  local->sample_ms = now;
}

bool take_procs(LocalData* local) {
  bool ok = collect::sample_procs(local->collector, local->procs);
  ok = usage::procs(&local->proc_rates, local->procs, &local->sample->gpu, &local->sample->gpu_adapters, local->walk,
                    local->table, local->counters) &&
       ok;
  u64 now = os::mcp_clock_ms();
  local->table_interval = interval_to(now, local->table_ms);
  local->table_ms = now;
  return ok;
}

void open_local(LocalData* local) {
  local->open_tried = 1;
  machine::init(local->machine);
  usage::reset(&local->rates);
  local->proc_rates = usage::ProcRateState{};
  model::table_init(local->table);
  proclist::init(local->list);
  local->collector_open = collect::open(local->collector, 10000);
}

// Two samples a second apart: the first sets the rate base, the second gives the rates.
void sample_step(LocalData* local, bool with_processes) {
  if (!local->open_tried) open_local(local);
  local->sample_held = 0;
  if (!local->collector_open || !collect::sample(local->collector, local->sample)) return;
  local_usage(local);
  local->sample_ms = os::mcp_clock_ms();
  if (with_processes) {
    local->proc_rates = usage::ProcRateState{};
    model::table_init(local->table);
    local->table_held = 0;
    take_procs(local);
  }
  collect::sleep(1000);
  if (!collect::sample(local->collector, local->sample)) return;
  fold_sample(local);
  if (with_processes) local->table_held = take_procs(local);
  local->sample_held = 1;
}

}  // namespace

void refresh_local(LocalData* local, u32 refresh_age, bool with_processes) {
  u64 now = os::mcp_clock_ms();
  u32 verdict = freshness(local->open_tried, local->sample_held, now, local->sample_ms, refresh_age);
  if (with_processes)
    verdict = bits::max32(verdict, freshness(local->open_tried, local->table_held, now, local->table_ms, refresh_age));
  if (verdict == 2) return sample_step(local, with_processes);
  if (verdict == 0 || !collect::sample(local->collector, local->sample)) return;
  fold_sample(local);
  if (with_processes) local->table_held = take_procs(local);
}

namespace {

constexpr u64 conn_bytes = sizeof(viewlink::ViewerConn);

template <typename T>
bool carve(mem::Arena* arena, T** out, u64 bytes = sizeof(T)) {
  *out = reinterpret_cast<T*>(mem::alloc(arena, bytes, 64).ptr);
  return *out != nullptr;
}

bool wants_machine(u8 need) {
  return need == need_machine_usage || need == need_machine_processes || need == need_find_named ||
         need == need_find_all;
}
bool wants_table(u8 need) {
  return need == need_machine_processes || need == need_find_named || need == need_find_all;
}
bool wants_history(u8 need) { return need == need_history || need == need_process_history; }

}  // namespace

u64 link_size(u8 need) {
  u64 receive = wants_history(need) ? viewer::history_room : viewer::receive_room;
  u64 size = conn_bytes + 64 + receive + 64;
  if (wants_machine(need)) size += sizeof(viewer::Remote) + 64;
  if (wants_table(need)) size += sizeof(model::ProcTable) + 64 + sizeof(proclist::ListState) + 64;
  if (wants_history(need)) size += sizeof(viewer::HistView) + 64;
  if (need == need_process_history) size += sizeof(viewer::NameFilter) + 64;
  if (need == need_find_all) size += sizeof(FoundProcesses) + 64;
  return size + 64;
}

void wait_link(viewlink::ViewerConn* conn, u64 deadline) {
  u64 now = os::mcp_clock_ms();
  u32 wait = viewlink::tick(conn, now, 50);
  now = os::mcp_clock_ms();
  u64 left = deadline > now ? deadline - now : 0;
  u64 nap = wait < left ? wait : left;
  if (nap > 0) os::sleep_ms(static_cast<u32>(nap));
}

namespace {

// The cluster settings and key: true with a usable key in the state; else the view's status says what is missing.
bool configured(ClusterView* view, const ServerOptions* options, cluster::PublishSettings* settings,
                auth::KeyState* key) {
  cluster::read_publish(options->publish_path, settings);
  view->own_id_known = settings->id_present;
  __builtin_memcpy(view->own_id, settings->id, sizeof view->own_id);
  if (settings->target_kind == cluster::target_invalid) {
    view->status = cluster_unconfigured;
    return false;
  }
  cluster::KeyWork work;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(options->key_path, &work, key, &verdict);
  cluster::wipe_key_buffer(&work);
  if (loaded == cluster::key_loaded) return true;
  view->status = loaded == cluster::key_unreadable ? cluster_no_key : cluster_key_refused;
  return false;
}

}  // namespace

namespace {

bool same_target(const cluster::PublishSettings* a, const cluster::PublishSettings* b) {
  return a->target_kind == b->target_kind && a->address == b->address && a->port == b->port &&
         a->beacon_port == b->beacon_port && mem::eq(cluster::target_text(a), cluster::target_text(b));
}

// The kept link serves this call when it is aimed where the settings say, with the same key, and is still open after
// taking what the host sent while no call ran.
bool kept_serves(ClusterCall* call, const cluster::PublishSettings* settings, const auth::KeyState* key) {
  if (!call->open) return false;
  viewer::ViewerLink* link = &call->conn->link;
  if (!same_target(&call->target, settings) ||
      __builtin_memcmp(&link->peer.cluster_key, key, sizeof(auth::KeyState)) != 0) {
    return false;
  }
  viewlink::tick(call->conn, os::mcp_clock_ms(), 0);
  return viewer::ready(link);
}

// Reserves the arena, makes the connection in it and carves every need's areas; false when any does not fit.
bool open_link(ClusterCall* call, const auth::KeyState* key) {
  if (!mem::arena_init(&call->arena, kept_link_size())) return false;
  call->open = 1;
  call->conn = viewlink::create(&call->arena, key, viewer::history_room);
  mem::Arena* a = &call->arena;
  return call->conn != nullptr && carve(a, &call->remote) && carve(a, &call->table) && carve(a, &call->list) &&
         carve(a, &call->view) && carve(a, &call->names) && carve(a, &call->found);
}

// True once the open session brought a machine list. A list counted while the link was not open came on an earlier
// session, so the mark moves up to the count whenever the link is seen not open.
bool listed(ClusterCall* call) {
  const viewer::ViewerLink* link = &call->conn->link;
  if (!viewer::ready(link)) {
    call->lists_mark = link->lists;
    return false;
  }
  return link->lists > call->lists_mark;
}

}  // namespace

namespace {

// The host's clock in ms at a time of this server's clock: its time from the accept, carried forward for a link
// kept since then.
u64 host_ms(const viewer::ViewerLink* link, u64 at) {
  u64 since = link->opened_at != publish::never && at > link->opened_at ? at - link->opened_at : 0;
  return u64{link->peer.host_value} * 1000 + since;
}

}  // namespace

u64 kept_link_size() {
  return conn_bytes + 64 + viewer::history_room + 64 + sizeof(viewer::Remote) + 64 + sizeof(model::ProcTable) + 64 +
         sizeof(proclist::ListState) + 64 + sizeof(viewer::HistView) + 64 + sizeof(viewer::NameFilter) + 64 +
         sizeof(FoundProcesses) + 64 + 64;
}

bool connect_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need) {
  (void)need;  // a kept link carries every need's areas
  cluster::PublishSettings settings;
  auth::KeyState key;
  bool ready = configured(view, options, &settings, &key);
  // A share is followed to the host its beacons name, as the window follows it.
  if (ready && settings.target_kind == cluster::target_path && options->share_beacon) {
    settings = options->share_beacon(&settings);
  }
  if (!ready || !kept_serves(call, &settings, &key)) close_cluster(call);
  if (!ready || call->open) {
    // the view says what is missing, or the kept link serves
  } else if (!local->network_started && sock::startup() != 1) {
    view->status = cluster_unreachable;
    ready = false;
  } else {
    local->network_started = 1;
    ready = open_link(call, &key);
    if (ready) {
      viewlink::set_target(call->conn, &settings, os::mcp_clock_ms());
      call->target = settings;
    } else {
      close_cluster(call);
      view->status = cluster_no_memory;
    }
  }
  auth::wipe(&key, sizeof key);
  if (!ready) return false;
  u64 deadline = os::mcp_clock_ms() + options->connect_wait;
  const viewer::ViewerLink* link = &call->conn->link;
  while (!listed(call) && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
  view->host_clock = static_cast<u32>(bits::min64(host_ms(link, os::mcp_clock_ms()) / 1000, 0xFFFFFFFFull));
  const u16* v = link->peer.host_version;
  view->host_version = u32{v[0]} * 1000000 + u32{v[1]} * 1000 + v[2];
  view->machines = &link->list;
  if (!listed(call)) {
    view->status = cluster_no_answer;
    view->timeout_ms = options->connect_wait;
    view->last_event = static_cast<u8>(link->status != 0 ? link->status : u8{cluster::status_no_answer});
    return false;
  }
  view->status = cluster_ok;
  return true;
}

u8 resolve_machine(ClusterView* view, const json::Document* doc, mem::Bytes line, u16 arguments) {
  u8 text[64];
  u64 n = machine_argument(doc, line, arguments, text);
  mem::Bytes wanted(text, n < sizeof text ? n : sizeof text);
  u8 id[16];
  bool by_id = parse_id(wanted, id);
  const proto::MachineList* l = view->machines;
  u32 id_row = no_machine, name_row = no_machine, named = 0;
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (by_id && __builtin_memcmp(l->ids[i], id, 16) == 0) id_row = i;
    if (equals_nocase(machine_name(l->names[i]), wanted)) {
      name_row = i;
      ++named;
    }
  }
  u32 chosen = id_row != no_machine ? id_row : named == 1 ? name_row : no_machine;
  if (chosen == no_machine) return named > 1 ? cluster_ambiguous : cluster_unknown_machine;
  view->chosen = static_cast<u8>(chosen);
  mem::Bytes name = machine_name(l->names[chosen]);
  view->name_length = static_cast<u8>(name.len);
  __builtin_memcpy(view->name, name.ptr, name.len);
  return cluster_ok;
}

bool ask_machine(ClusterCall* call, ClusterView* view, const u8* id, bool with_processes, u32 timeout) {
  viewer::ViewerLink* link = &call->conn->link;
  viewer::Remote* remote = call->remote;
  viewer::reset_remote(remote);
  u64 now = os::mcp_clock_ms();
  bool sent = viewer::watch(link, id, remote, now);
  u64 deadline = now + timeout;
  auto complete = [&] {
    return remote->inventories > 0 && remote->sample_count > 0 && (!with_processes || remote->proc_frames > 0);
  };
  while (sent && !complete() && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
  bool unwatched = viewer::unwatch(link, os::mcp_clock_ms());
  viewlink::tick(call->conn, os::mcp_clock_ms(), 0);
  view->data_time = os::mcp_clock_ms();
  view->machine = &remote->machine;
  if (with_processes) {
    model::table_init(call->table);
    viewer::take_procs(&remote->procs, call->table);
    proclist::init(call->list);
    view->table = call->table;
    view->list = call->list;
  }
  return sent && unwatched && complete();
}

void ask_history(ClusterCall* call, ClusterView* view, const ServerOptions* options, u8 need,
                 const json::Document* doc, mem::Bytes line, u16 arguments) {
  u8 metric = 0, range = 1, cluster = 0;
  metric_range_arguments(doc, line, arguments, &metric, &range, &cluster);
  u8 id[16] = {};
  if (!cluster) {
    view->status = resolve_machine(view, doc, line, arguments);
    if (view->status != cluster_ok) return;
    __builtin_memcpy(id, view->machines->ids[view->chosen], sizeof id);
  }
  u8 name[32] = {};
  u64 name_length = need == need_process_history ? process_name_argument(doc, line, arguments, name) : 0;
  u32 span = range_seconds(range);
  u32 start = view->host_clock > span ? view->host_clock - span : 0;
  viewer::HistView* hist = call->view;
  viewer::ViewerLink* link = &call->conn->link;
  view->timeout_ms = options->history_wait;
  for (i32 tier = tier_of(range); tier >= 0; --tier) {
    viewer::hist_start(hist, start, span, history_column(metric, 0), history_column(metric, 1),
                       static_cast<u8>(tier), cluster ? 1 : 0, id);
    if (need == need_process_history) viewer::hist_want(hist, call->names, name, static_cast<u32>(name_length));
    u64 deadline = os::mcp_clock_ms() + options->history_wait;
    viewer::history(link, hist, os::mcp_clock_ms());
    while (!hist->done && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
    view->tier = static_cast<u8>(tier);
    if (!hist->done) break;
    if (hist->rows_taken != 0) break;
  }
  link->view = nullptr;  // nothing is asked again on this link
  view->hist = hist;
  view->names = need == need_process_history ? call->names : nullptr;
  view->status = hist->done ? cluster_ok : cluster_history_late;
}

namespace {

// The newest slot of a tier in [lo, hi), both whole slots: a range of up to 60 slots is asked as 60 rows of one
// slot each; a longer one as 60 wider rows, and then the newest of them as a range of its own.
u8 newest_in(RowAsk ask, void* source, u8 tier, u64 lo, u64 hi, u32* slot) {
  u64 len = tier_row_seconds(tier);
  for (u32 step = 0; step < 8 && lo < hi; ++step) {
    u64 start = lo, span = hi - lo;
    if (span <= viewer::hist_rows * len) {
      span = viewer::hist_rows * len;
      start = hi > span ? hi - span : 0;
    }
    u32 row = ask(source, tier, static_cast<u32>(start), static_cast<u32>(span));
    if (row == row_late) return slot_late;
    if (row >= viewer::hist_rows) return slot_none;
    u64 first = start + u64{row} * span / viewer::hist_rows;
    if (span == viewer::hist_rows * len) {
      *slot = static_cast<u32>(first);
      return slot_found;
    }
    u64 end = start + (u64{row + 1} * span + viewer::hist_rows - 1) / viewer::hist_rows;
    lo = first - first % len;
    hi = end + (len - end % len) % len;
  }
  return slot_none;
}

struct SilenceAsk {
  ClusterCall* call;
  const u8* id;
  u32 wait;
};

u32 ask_newest_row(void* source, u8 tier, u32 start, u32 span) {
  SilenceAsk* s = static_cast<SilenceAsk*>(source);
  viewer::HistView* hist = s->call->view;
  viewer::ViewerLink* link = &s->call->conn->link;
  viewer::hist_start(hist, start, span, 0, 255, tier, 0, s->id);
  u64 deadline = os::mcp_clock_ms() + s->wait;
  bool sent = viewer::history(link, hist, os::mcp_clock_ms());
  while (sent && !hist->done && os::mcp_clock_ms() < deadline) wait_link(s->call->conn, deadline);
  link->view = nullptr;
  if (!hist->done) return row_late;
  for (u32 r = viewer::hist_rows; r-- > 0;) {
    if (hist->count[r] != 0) return r;
  }
  return viewer::outside;
}

}  // namespace

u8 newest_slot(RowAsk ask, void* source, u32 host_clock, u32* slot) {
  for (u8 tier = 0; tier <= 2; ++tier) {
    u64 len = tier_row_seconds(tier);
    u64 hi = host_clock - host_clock % len + len;  // the end of the slot that holds now
    u64 kept = u64{store::capacity(tier)} * len;
    u64 recent = hi > viewer::hist_rows * len ? hi - viewer::hist_rows * len : 0;
    u8 found = newest_in(ask, source, tier, recent, hi, slot);
    if (found == slot_none) found = newest_in(ask, source, tier, hi > kept ? hi - kept : 0, recent, slot);
    if (found != slot_none) return found;
  }
  return slot_none;
}

void ask_silence(ClusterCall* call, ClusterView* view, const ServerOptions* options) {
  SilenceAsk source = {call, view->machines->ids[view->chosen], options->history_wait};
  u32 slot = 0;
  if (newest_slot(ask_newest_row, &source, view->host_clock, &slot) != slot_found) return;
  u64 host = host_ms(&call->conn->link, view->data_time);
  view->silence_ms = host > u64{slot} * 1000 ? host - u64{slot} * 1000 : 0;
  view->silence_known = 1;
}

void gather_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need,
                    const json::Document* doc, mem::Bytes line, u16 arguments) {
  if (!connect_cluster(call, view, local, options, need)) return;
  if (need == need_find_all) {
    u8 name[260];
    u64 n = name_argument(doc, line, arguments, name);
    find_in_cluster(call, view, local, options, mem::Bytes(name, n));
    return;
  }
  if (need == need_history || need == need_process_history) {
    ask_history(call, view, options, need, doc, line, arguments);
    return;
  }
  if (need == need_machine_usage || need == need_machine_processes || need == need_find_named) {
    view->status = resolve_machine(view, doc, line, arguments);
    if (view->status != cluster_ok) return;
    bool processes = need != need_machine_usage;
    view->timeout_ms = options->machine_wait;
    if (!ask_machine(call, view, view->machines->ids[view->chosen], processes, options->machine_wait)) {
      view->status = cluster_machine_silent;
    } else if (u8 state = view->machines->summaries[view->chosen].state; state == 1 || state == 2) {
      ask_silence(call, view, options);
    }
  }
}

void found_insert(FoundProcesses* set, u8 machine, const model::ProcTable* table, u32 row) {
  u16 cpu = table->cpu[row];
  u32 at = 0;
  while (at < set->kept && set->rows[at].cpu >= cpu) ++at;
  if (at >= found_max_rows) return;
  u32 last = set->kept < found_max_rows ? set->kept : found_max_rows - 1;
  for (u32 i = last; i > at; --i) set->rows[i] = set->rows[i - 1];
  const u64 mask = (u64{1} << found_max_rows) - 1;
  auto shifted = [&](u64 bits, bool on) {
    u64 low = bits & ((u64{1} << at) - 1);
    u64 high = (bits >> at) << (at + 1);
    return (low | high | (on ? u64{1} << at : 0)) & mask;
  };
  FoundRow* r = &set->rows[at];
  u8 buffer[model::name_max];
  u64 length = model::proc_full_name(table, row, mem::Slice{buffer, sizeof buffer});
  r->machine = machine;
  r->name_length = static_cast<u8>(length < sizeof r->name ? length : sizeof r->name);
  __builtin_memcpy(r->name, buffer, r->name_length);
  r->pid = table->pid[row];
  r->cpu = cpu;
  r->memory = table->working_set[row];
  bool unreported = model::disk_unreported(table, row);
  r->disk = proclist::disk_rate(table->read_rate[row], table->write_rate[row], unreported);
  r->gpu = table->gpu[row];
  r->vram = table->gpu_memory[row];
  r->threads = table->thread_count[row];
  r->tcp = table->tcp[row];
  set->unreported = shifted(set->unreported, unreported);
  set->cut = shifted(set->cut, model::proc_name_cut(table, row) || length > sizeof r->name);
  set->kept = set->kept + 1 < found_max_rows ? set->kept + 1 : found_max_rows;
}

void found_add_list(FoundProcesses* set, u8 machine, const model::ProcTable* table, const proclist::ListState* list) {
  u32 n = list->shown < found_max_rows ? list->shown : found_max_rows;
  for (u32 i = 0; i < n; ++i) found_insert(set, machine, table, proclist::row_at(list, i));
  set->matched += list->shown;
  set->listed += list->processes;
  if (table->flags & model::flag_truncated) set->truncated = 1;
}

void find_in_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options,
                     mem::Bytes name) {
  FoundProcesses* set = call->found;
  __builtin_memset(set, 0, sizeof *set);
  if (local->table_held) {
    filter_list(local->list, local->table, name);
    found_add_list(set, this_machine_index, local->table, local->list);
  }
  const proto::MachineList* l = view->machines;
  u64 end = os::mcp_clock_ms() + options->find_budget;
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (view->own_id_known && __builtin_memcmp(view->own_id, l->ids[i], 16) == 0) continue;
    if (l->summaries[i].state >= 2) continue;
    u64 now = os::mcp_clock_ms();
    u64 left = end > now ? end - now : 0;
    u32 wait = static_cast<u32>(left < options->find_machine_cap ? left : options->find_machine_cap);
    if (wait == 0 || !ask_machine(call, view, l->ids[i], true, wait)) {
      ++view->unanswered;
      continue;
    }
    ++view->answered;
    filter_list(call->list, call->table, name);
    found_add_list(set, static_cast<u8>(i), call->table, call->list);
  }
  view->found = set;
  view->status = cluster_ok;
}

void close_cluster(ClusterCall* call) {
  if (!call->open) return;
  if (call->conn != nullptr) viewlink::stop(call->conn);
  mem::release(&call->arena);
  __builtin_memset(call, 0, sizeof *call);
}

void keep_cluster(ClusterCall* call, u64 now) {
  if (!call->open) return;
  if (call->conn == nullptr || !viewer::ready(&call->conn->link)) return close_cluster(call);
  call->last_used = now;
}

void wait_input(ClusterCall* call, u64 input) {
  while (call->open) {
    u64 now = os::mcp_clock_ms();
    if (now - call->last_used >= kept_idle_ms) return close_cluster(call);
    viewlink::tick(call->conn, now, 0);
    if (!viewer::ready(&call->conn->link)) return close_cluster(call);
    if (os::input_ready(input, 1000)) return;
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
