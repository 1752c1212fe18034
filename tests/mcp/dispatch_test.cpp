// The dispatcher: how lines are classified and answered byte for byte, the tool list with its schemas, the answer
// that does not fit, and a seeded mutation loop that every damaged request still gets one well-formed answer or none.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mcp/mcp.h"
#include "mcp/writers.h"
#include "tests/mcp/json_check.h"

namespace {

using json_check::str;
using json_check::view;

struct Server {
  std::unique_ptr<mcp::ToolTable> table = std::make_unique<mcp::ToolTable>();
  std::unique_ptr<json::Document> doc = std::make_unique<json::Document>();
  std::vector<u8> buffer = std::vector<u8>(json::max_bytes);
  mcp::Request request{};
  std::string line;
  Server() { mcp::tool_table(table.get()); }

  std::string answer(const std::string& text, u32 capacity = json::max_bytes) {
    line = text;
    mcp::classify(view(line), table.get(), doc.get(), &request);
    json::Writer w;
    json::writer_init(&w, mem::Slice{buffer.data(), capacity});
    mcp::ToolContext context{mem::lit("0.1.81"), table.get()};
    mcp::answer(view(line), doc.get(), &request, &context, &w);
    return std::string(reinterpret_cast<const char*>(buffer.data()), w.length);
  }
};

std::string head(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id; }
std::string error(const std::string& id, int code, const std::string& message) {
  return head(id) + R"(,"error":{"code":)" + std::to_string(code) + R"(,"message":")" + message + "\"}}";
}
std::string tool_error(const std::string& id, const std::string& text) {
  return head(id) + R"(,"result":{"content":[{"type":"text","text":")" + text + R"("}],"isError":true}})";
}

// The "outputSchema" value of each tool of a tools/list answer, as written; empty for a tool without one.
std::vector<std::string> output_schemas(const std::string& answer) {
  auto doc = std::make_unique<json::Document>();
  json::parse(view(answer), doc.get());
  std::vector<std::string> out;
  u16 result = json::member(doc.get(), view(answer), 0, mem::lit("result"));
  u16 list = json::member(doc.get(), view(answer), result, mem::lit("tools"));
  if (json::type_of(doc.get(), list) != json::type_array) return out;
  for (u16 t = static_cast<u16>(list + 1); t < doc->ends[list]; t = doc->ends[t])
    out.push_back(str(json::text_of(doc.get(), view(answer), json::member(doc.get(), view(answer), t,
                                                                          mem::lit("outputSchema")))));
  return out;
}

const char instructions[] =
    "Read-only resource usage of this machine and, when a Vimbrel server or share is configured, of the other "
    "machines of the cluster. Call machine_usage for CPU, memory, disks, network and up time, top_processes for the "
    "heaviest processes, find_process to look processes up by name (on every machine unless one is named), "
    "list_machines and cluster_usage for the cluster and usage_history for minimum, average and maximum over the "
    "last hour, day, month or two years.";

std::string initialized(const std::string& id, const std::string& version) {
  return head(id) + R"(,"result":{"protocolVersion":")" + version +
         R"(","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"vimbrel","title":"Vimbrel",)"
         R"("version":"0.1.81"},"instructions":")" + instructions + "\"}}";
}

struct Case {
  const char* line;
  std::string answer;
};

TEST(Dispatch, ClassifiesAndAnswersEachKindOfLine) {
  const std::string rpc = R"({"jsonrpc":"2.0",)";
  const Case cases[] = {
      // Roots that are not one request object.
      {"{}", error("null", -32600, "Invalid Request")},
      {"\"text\"", error("null", -32600, "Invalid Request")},
      {"12", error("null", -32600, "Invalid Request")},
      {"true", error("null", -32600, "Invalid Request")},
      {"[]", error("null", -32600, "Invalid Request: batches are not supported")},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", error("null", -32600, "Invalid Request: batches are not supported")},
      {R"({"jsonrpc":"2.0","id":1,"method":"ping")", error("null", -32700, "Parse error: the message ends early at byte 39")},
      {"{\"a\" 1}", error("null", -32700, "Parse error: unexpected character at byte 5")},
      // Ids: kept when a string or a number and written back exactly as they came.
      {R"({"jsonrpc":"2.0","id":"a\"b","method":"ping"})", head(R"("a\"b")") + R"(,"result":{}})"},
      {R"({"jsonrpc":"2.0","id":-1.50,"method":"ping"})", head("-1.50") + R"(,"result":{}})"},
      {R"({"jsonrpc":"2.0","id":"\u00e9","method":"ping"})", head(R"("\u00e9")") + R"(,"result":{}})"},
      {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", error("null", -32600, "Invalid Request")},
      {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", error("null", -32600, "Invalid Request")},
      {R"({"jsonrpc":"2.0","id":{},"method":"ping"})", error("null", -32600, "Invalid Request")},
      {R"({"jsonrpc":"2.0","id":7})", error("7", -32600, "Invalid Request")},
      {R"({"jsonrpc":"2.0","id":7,"method":3})", error("7", -32600, "Invalid Request")},
      // The version must be the string 2.0, escapes allowed.
      {R"({"jsonrpc":"2\u002e0","id":1,"method":"ping"})", head("1") + R"(,"result":{}})"},
      {R"({"jsonrpc":2.0,"id":1,"method":"ping"})", error("1", -32600, "Invalid Request")},
      {R"({"id":1,"method":"ping"})", error("1", -32600, "Invalid Request")},
      // Notifications and responses get no answer.
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", ""},
      {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"nothing"}})", ""},
      {R"({"jsonrpc":"2.0","method":"ping","params":5})", ""},
      {R"({"jsonrpc":"2.0","id":4,"result":{}})", ""},
      {R"({"jsonrpc":"2.0","id":"x","error":{"code":1,"message":"m"}})", ""},
      {R"({"jsonrpc":"2.0","id":null,"result":{}})", error("null", -32600, "Invalid Request")},
      // A request that also carries a result is still a request.
      {R"({"jsonrpc":"2.0","id":2,"method":"ping","result":1})", head("2") + R"(,"result":{}})"},
      // Methods.
      {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})", head("1") + R"(,"result":{}})"},
      {R"({"jsonrpc":"2.0","id":1,"method":"p\u0069ng"})", head("1") + R"(,"result":{}})"},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", error("1", -32601, "Method not found: resources/list")},
      {R"({"jsonrpc":"2.0","id":1,"method":"a\"\u0062"})", error("1", -32601, R"(Method not found: a\"\u0062)")},
      {R"({"jsonrpc":"2.0","id":1,"method":"nope","params":[]})",
       error("1", -32602, "Invalid params: params must be an object")},
      {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":"x"})",
       error("1", -32602, "Invalid params: params must be an object")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       initialized("1", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       initialized("1", "2024-11-05")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})",
       initialized("1", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":20250618}})",
       initialized("1", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":"i","method":"initialize"})", initialized(R"("i")", "2025-11-25")},
      // tools/call faults found while classifying.
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})",
       error("1", -32602, "Invalid params: params must be an object")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":7}})",
       error("1", -32602, "Invalid params: name must be a string")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})",
       error("1", -32602, "Invalid params: name must be a string")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"top\u005fprocesse\"s"}})",
       error("1", -32602, R"(Unknown tool: top\u005fprocesse\"s)")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"top_processes","arguments":[]}})",
       tool_error("1", "Invalid arguments: top_processes takes its arguments as an object")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"top_processes","arguments":{"count":5,"sort":"cpu"}}})",
       tool_error("1", "Invalid arguments: top_processes does not take the argument sort")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"cluster_usage","arguments":{"s\"\u00e9":1}}})",
       tool_error("1", R"(Invalid arguments: cluster_usage does not take the argument s\"\u00e9)")},
      // Keys and names are compared decoded.
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"t\u006fp_processes","arguments":{"b\u0079":"cpu","count":5,"machine":"x"}}})",
       tool_error("1", "no server or share is configured for the cluster: set one in Vimbrel's Settings (Cluster) "
                       "to see other machines")},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"machine_usage"}})",
       tool_error("1", "no data: the collector is not available on this system")},
  };
  Server server;
  for (const Case& c : cases) EXPECT_EQ(server.answer(c.line), c.answer) << c.line;
}

TEST(Dispatch, RecordsTheRequestForTheLoop) {
  Server s;
  s.answer(R"({"jsonrpc":"2.0","id":"q","method":"tools/call","params":{"name":"find_process","arguments":{"name":"x","machine":"m","by":1}}})");
  EXPECT_EQ(s.request.kind, mcp::kind_request);
  EXPECT_EQ(s.request.method, mcp::method_tools_call);
  EXPECT_EQ(s.request.tool, 2);
  EXPECT_EQ(s.request.error, mcp::error_argument);
  EXPECT_EQ(json::type_of(s.doc.get(), s.request.argument), json::type_key);
  EXPECT_EQ(str(json::text_of(s.doc.get(), view(s.line), s.request.argument)), "by");
  EXPECT_EQ(str(json::text_of(s.doc.get(), view(s.line), s.request.method_value)), "find_process");
  u16 arguments = mcp::arguments_of(s.doc.get(), view(s.line), &s.request);
  EXPECT_EQ(str(json::text_of(s.doc.get(), view(s.line), arguments)), R"({"name":"x","machine":"m","by":1})");
  EXPECT_EQ(mcp::check_arguments(s.doc.get(), view(s.line), arguments, mem::lit("name,machine,by")), json::none);
  EXPECT_EQ(mcp::check_arguments(s.doc.get(), view(s.line), arguments, mem::lit("nam,machine,by")), arguments + 1);
}

struct NeedCase {
  const char* call;  // the tool name and its arguments, inside "params"
  u8 need;
};

TEST(Dispatch, WorksOutWhatACallNeedsGathered) {
  const NeedCase cases[] = {
      {R"("name":"machine_usage")", mcp::need_local},
      {R"("name":"machine_usage","arguments":{"machine":"Box"})", mcp::need_machine_usage},
      {R"("name":"machine_usage","arguments":{"machine":""})", mcp::need_local},
      {R"("name":"machine_usage","arguments":{"machine":7})", mcp::need_local},
      {R"("name":"top_processes","arguments":{"by":"vram","count":50})", mcp::need_local},
      {R"("name":"top_processes","arguments":{"by":"vram","count":50,"machine":"b\u006fx"})",
       mcp::need_machine_processes},
      {R"("name":"top_processes","arguments":{"count":51,"machine":"box"})", mcp::need_local},
      {R"("name":"top_processes","arguments":{"count":5.0,"machine":"box"})", mcp::need_local},
      {R"("name":"top_processes","arguments":{"by":"CPU","machine":"box"})", mcp::need_local},
      {R"("name":"top_processes","arguments":{"machine":""})", mcp::need_local},
      {R"("name":"find_process","arguments":{"name":"sh"})", mcp::need_find_all},
      {R"("name":"find_process","arguments":{"name":"sh","machine":"box"})", mcp::need_find_named},
      {R"("name":"find_process","arguments":{"machine":"box"})", mcp::need_local},
      {R"("name":"list_machines")", mcp::need_machine_list},
      {R"("name":"list_machines","arguments":{"state":"stale"})", mcp::need_machine_list},
      {R"("name":"list_machines","arguments":{"state":"gone"})", mcp::need_local},
      {R"("name":"cluster_usage","arguments":{})", mcp::need_machine_list},
      {R"("name":"usage_history","arguments":{"cluster":true})", mcp::need_history},
      {R"("name":"usage_history","arguments":{"cluster":true,"metric":"memory"})", mcp::need_history},
      {R"("name":"usage_history","arguments":{"machine":"box","metric":"net","range":"2y"})", mcp::need_history},
      {R"("name":"usage_history","arguments":{"machine":"box","cluster":false})", mcp::need_process_history},
      {R"("name":"usage_history","arguments":{"machine":"box","metric":"memory"})", mcp::need_process_history},
      {R"("name":"usage_history","arguments":{"machine":"box","cluster":true})", mcp::need_local},
      {R"("name":"usage_history","arguments":{"cluster":1})", mcp::need_local},
      {R"("name":"usage_history")", mcp::need_local},
      {R"("name":"usage_history","arguments":{"cluster":true,"range":"1d"})", mcp::need_local},
      {R"("name":"process_history","arguments":{"name":"sh","machine":"box"})", mcp::need_process_history},
      {R"("name":"process_history","arguments":{"name":"sh"})", mcp::need_local},
      {R"("name":"process_history","arguments":{"name":"012345678901234567890123456789012","machine":"box"})",
       mcp::need_local},
      // Faults of the request itself need nothing.
      {R"("name":"process_history","arguments":{"name":"sh","machine":"box","cluster":true})", mcp::need_local},
      {R"("name":"machine_usage","arguments":[])", mcp::need_local},
  };
  Server s;
  for (const NeedCase& c : cases) {
    std::string line = std::string(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{)") + c.call + "}}";
    s.answer(line);
    EXPECT_EQ(mcp::tool_needs(&s.request, s.table.get(), s.doc.get(), view(line)), c.need) << c.call;
  }
  s.answer(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"list_machines"}})");
  EXPECT_EQ(mcp::tool_needs(&s.request, s.table.get(), s.doc.get(), view(s.line)), mcp::need_local);
}

TEST(Dispatch, ReadsTheToolArguments) {
  Server s;
  s.answer(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"find_process","arguments":{"name":"a\u00e9\"","machine":")" +
           std::string(70, 'm') + R"("}}})");
  u16 args = mcp::arguments_of(s.doc.get(), view(s.line), &s.request);
  u8 machine[64];
  EXPECT_EQ(mcp::machine_argument(s.doc.get(), view(s.line), args, machine), 70u);
  EXPECT_EQ(mcp::machine_argument_kind(s.doc.get(), view(s.line), args), 2);
  u8 name[260];
  ASSERT_EQ(mcp::name_argument(s.doc.get(), view(s.line), args, name), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 4), "a\xc3\xa9\"");
  u8 by = 9;
  u32 count = 9;
  mcp::by_count_arguments(s.doc.get(), view(s.line), args, &by, &count);
  EXPECT_EQ(by, 0);
  EXPECT_EQ(count, 10u);
}

TEST(Dispatch, WritesAndReadsMachineIdsAndNames) {
  const u8 id[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x00, 0xff, 0x10, 0x0f, 0xa0, 0x0a, 0x5c, 0xc5};
  std::vector<u8> buffer(64);
  json::Writer w;
  json::writer_init(&w, mem::Slice{buffer.data(), buffer.size()});
  json::begin_object(&w);
  mcp::key_id(&w, mem::lit("id"), id);
  json::key(&w, mem::lit("n"));
  json::uint_value(&w, 1);
  json::end_object(&w);
  const std::string hex = "0123456789abcdef00ff100fa00a5cc5";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), w.length), R"({"id":")" + hex + R"(","n":1})");

  u8 back[16] = {};
  ASSERT_TRUE(mcp::parse_id(view("0123456789ABCDEF00FF100FA00A5CC5"), back));
  EXPECT_EQ(std::memcmp(back, id, 16), 0);
  EXPECT_FALSE(mcp::parse_id(view(hex.substr(1)), back));
  EXPECT_FALSE(mcp::parse_id(view(hex + "0"), back));
  EXPECT_FALSE(mcp::parse_id(view("g" + hex.substr(1)), back));
  EXPECT_FALSE(mcp::parse_id(view(":" + hex.substr(1)), back));

  u8 name[32] = {'B', 'o', 'x', 0, 'z'};
  EXPECT_EQ(str(mcp::machine_name(name)), "Box");
  u8 full[32];
  std::memset(full, 'a', 32);
  EXPECT_EQ(mcp::machine_name(full).len, 32u);
  EXPECT_TRUE(mcp::equals_nocase(view("Box-7"), view("bOX-7")));
  EXPECT_FALSE(mcp::equals_nocase(view("box@"), view("box`")));  // only letters fold
  EXPECT_FALSE(mcp::equals_nocase(view("box"), view("boxes")));
  EXPECT_EQ(str(mcp::machine_label(mem::Bytes())), "this machine");
  EXPECT_EQ(str(mcp::machine_label(view("box"))), "box");
}

// The input schemas, as tools/list shows them.
const char* const machine_schema =
    R"("machine":{"type":"string","minLength":1,"maxLength":64,"description":"the name (ignoring ASCII case) or the 32-digit id of a machine from list_machines"})";
const char* const range_schema = R"("range":{"type":"string","enum":["1h","24h","30d","2y"]})";

std::string object_schema(const std::string& properties, const std::string& required = "") {
  return R"({"type":"object","properties":{)" + properties + "}" + (required.empty() ? "" : ",\"required\":" + required) +
         R"(,"additionalProperties":false})";
}

struct ToolRow {
  const char* name;
  const char* title;
  std::string input_schema;
};

std::string json_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

TEST(Dispatch, ListsTheSevenToolsWithTheirSchemas) {
  const ToolRow rows[] = {
      {"machine_usage", "Machine usage", object_schema(machine_schema)},
      {"top_processes", "Top processes",
       object_schema(std::string(R"("by":{"type":"string","enum":["cpu","memory","disk","gpu","vram"]},)"
                                 R"("count":{"type":"integer","minimum":1,"maximum":50},)") + machine_schema)},
      {"find_process", "Find process",
       object_schema(std::string(R"("name":{"type":"string","minLength":1,"maxLength":260},)") + machine_schema,
                     R"(["name"])")},
      {"list_machines", "List machines",
       object_schema(R"("state":{"type":"string","enum":["online","stale","offline","missing","all"]})")},
      {"cluster_usage", "Cluster usage", R"({"type":"object","properties":{},"additionalProperties":false})"},
      {"usage_history", "Usage history",
       object_schema(std::string(machine_schema) + R"(,"cluster":{"type":"boolean"},)" +
                     R"("metric":{"type":"string","enum":["cpu","memory","gpu","vram","net","disk"]},)" + range_schema)},
      {"process_history", "Process history",
       object_schema(std::string(R"("name":{"type":"string","minLength":1,"maxLength":32},)") + machine_schema + "," +
                         range_schema,
                     R"(["name","machine"])")},
  };
  const char* const descriptions[] = {
    "Resource usage of this machine now: CPU total and per core, memory (used, available, committed, "
    "modified, standby), each disk (read and write rate, active time, used and free space), each network "
    "interface (receive and send rate), each battery (charge and state) and thermal zone (temperature in "
    "tenths of a degree Celsius) where the system reports them, the power draw in watts (the system "
    "figure, or the sum of the CPU package, DRAM and GPU meters, each null where no meter or battery "
    "reports it), process, thread and handle count, up time; and the hardware: CPU vendor, family, "
    "sockets, cores, base and current speed, caches, instruction sets, virtualisation; memory type, "
    "speed, form factor, slots, hardware reserved, compressed, cached, pools; each disk's type, bus and "
    "model. A value the machine does not report is null or \"unknown\". Network addresses are not "
    "included. Rates cover about the last second. With machine (a name or an id from list_machines) it "
    "answers for that machine of the cluster instead, from what it publishes (no batteries, thermal zones "
    "or pools).",
    "The heaviest processes of this machine now, sorted by one column: by is cpu, memory, disk, gpu or "
    "vram (default cpu), count is 1 to 50 (default 10). Each row has the process name (the image file "
    "name, up to 260 bytes, never a path, a command line or a user; name_cut is true when the collector "
    "kept only its first 32 bytes), the process id, CPU %, memory (working set), disk read plus write "
    "rate, GPU % (the busiest engine), VRAM, threads and TCP connections. CPU, disk and GPU are rates "
    "over about the last second; disk is null where the system did not report it. With machine (a name or "
    "an id from list_machines) it answers for that machine of the cluster, from the 256 heaviest "
    "processes it publishes.",
    "Processes whose name contains the given text, ignoring ASCII case, heaviest CPU first, at most 50, "
    "with the same columns as top_processes and the machine each runs on. Without machine it searches "
    "this machine and, when a server or share is configured, every online or stale machine of the cluster "
    "(each for at most 2 s); with machine (a name or an id from list_machines) only that machine. Names "
    "only: no paths, command lines or users.",
    "The machines of the cluster that publish to the configured Vimbrel server or share: name, id, state "
    "(online: a sample in the last 5 s, stale: up to 60 s, offline, missing), CPU, memory, busiest disk, "
    "GPU, VRAM, disk and network rates, processes and threads, as the server last saw them. state filters "
    "them (online, stale, offline, missing or all; default all). Needs a configured server or share and "
    "the cluster key; nothing about this machine is sent.",
    "The cluster at a glance from the server's list: how many machines are online, stale, offline and "
    "missing, and the sums over the online and stale ones: logical processors and how many are busy, "
    "memory, VRAM, disk and network rates, processes and threads. For processes call top_processes or "
    "find_process.",
    "Minimum, average and maximum of one metric per time slot over a range, from the server's history: "
    "machine (a name or an id from list_machines) or cluster: true; metric cpu, memory, gpu, vram, net "
    "(receive and send) or disk (busiest disk active time), default cpu; range 1h, 24h, 30d or 2y, "
    "default 24h. At most 60 rows, oldest first, times in UTC. The server keeps 10 s buckets for 24 h, 5 "
    "min buckets for 30 days and 1 h buckets for 2 years; a range whose tier is not written yet falls "
    "back to a finer one. from_s and to_s are seconds since 2025-01-01 UTC. For one machine and metric "
    "cpu or memory each row also lists top_processes: the heaviest processes by that metric in the slot "
    "(their peak), as far as the server keeps them (5 per bucket; process names only).",
    "CPU and memory of one process over a range, from the history of the heaviest processes the server "
    "keeps: name (the process name as top_processes shows it, ignoring ASCII case, at most 32 bytes), "
    "machine (a name or an id from list_machines), range 1h, 24h, 30d or 2y, default 24h. The server "
    "keeps the 5 heaviest processes by CPU and the 5 by memory of every bucket (10 s for 24 h, 5 min for "
    "30 days, 1 h for 2 years), so a row says in how many buckets the process was among them and its "
    "highest CPU and memory there; a time slot in which it was never among them has no row. Process names "
    "only: no command line, user or path is kept. At most 60 rows, oldest first, times in UTC.",
  };
  Server s;
  const std::string answer = s.answer(R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"cursor":"x"}})");
  // The output schemas are checked on their own (OutputSchemas); here they sit between inputSchema and annotations.
  std::vector<std::string> outputs = output_schemas(answer);
  ASSERT_EQ(outputs.size(), 7u);
  std::string tools;
  for (u32 i = 0; i < 7; ++i) {
    if (i > 0) tools += ",";
    tools += std::string(R"({"name":")") + rows[i].name + R"(","title":")" + rows[i].title + R"(","description":")" +
             json_escaped(descriptions[i]) + R"(","inputSchema":)" + rows[i].input_schema + R"(,"outputSchema":)" +
             outputs[i] + R"(,"annotations":{"readOnlyHint":true,"openWorldHint":false}})";
  }
  EXPECT_EQ(answer, head("3") + R"(,"result":{"tools":[)" + tools + "]}}");
  EXPECT_LT(answer.size(), 40000u);  // well inside the 65,536 bytes of one answer
  EXPECT_EQ(s.table->count, 7u);
  EXPECT_EQ(s.table->needs_sample, 0b111u);
  EXPECT_EQ(s.table->needs_processes, 0b110u);
  const u8 needs[] = {1, 2, 3, 4, 4, 5, 5};
  for (u32 i = 0; i < 7; ++i) EXPECT_EQ(s.table->tools[i].need, needs[i]) << i;
}

TEST(Dispatch, AnAnswerThatDoesNotFitBecomesTheInternalError) {
  Server s;
  const std::string list = R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})";
  // The internal error keeps the id, so the client can match it; when even that does not fit, the writer is empty.
  const std::string internal = error("3", -32603, "Internal error: the answer does not fit");
  EXPECT_EQ(s.answer(list, 300), internal);
  EXPECT_EQ(s.answer(list, static_cast<u32>(internal.size())), internal);
  EXPECT_EQ(s.answer(list, static_cast<u32>(internal.size() - 1)), "");
  // An id too long for the short answer gives way to null rather than to no answer at all.
  const std::string long_id = "\"" + std::string(40, 'i') + "\"";
  const std::string with_null = error("null", -32603, "Internal error: the answer does not fit");
  EXPECT_EQ(s.answer(R"({"jsonrpc":"2.0","id":)" + long_id + R"(,"method":"tools/list"})",
                     static_cast<u32>(with_null.size())),
            with_null);
  // An unknown method name that fills the line cannot be echoed back within 65,536 bytes.
  std::string line = R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(json::max_bytes - 40, 'm') + "\"}";
  ASSERT_LE(line.size(), json::max_bytes);
  EXPECT_TRUE(s.answer(line) == error("1", -32603, "Internal error: the answer does not fit"));
}

TEST(Dispatch, AnswersAnOverLongLine) {
  Server s;
  json::Writer w;
  json::writer_init(&w, mem::Slice{s.buffer.data(), s.buffer.size()});
  mcp::answer_too_long(&w, s.doc.get());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.buffer.data()), w.length),
            error("null", -32700, "Parse error: the message is longer than 65536 bytes"));
}

std::string written(void (*write)(json::Writer*)) {
  std::vector<u8> buffer(4096);
  json::Writer w;
  json::writer_init(&w, mem::Slice{buffer.data(), buffer.size()});
  json::begin_object(&w);
  write(&w);
  json::end_object(&w);
  EXPECT_TRUE(json::writer_ok(&w));
  return std::string(reinterpret_cast<const char*>(buffer.data()), w.length);
}

TEST(Dispatch, SchemaAndResultPiecesWriteTheirParts) {
  EXPECT_EQ(written([](json::Writer* w) {
              mcp::schema_object(w, mem::lit("o"));
              mcp::schema_type(w, mem::lit("a"), mem::lit("integer"));
              mcp::schema_nullable(w, mem::lit("b"), mem::lit("number"));
              mcp::schema_array(w, mem::lit("c"), mem::lit("string"));
              mcp::schema_array(w, mem::lit("d"), mem::Bytes());
              mcp::schema_object(w, mem::Bytes());
              mcp::schema_type(w, mem::lit("e"), mem::lit("boolean"));
              mcp::schema_required(w, mem::lit("e"));
              json::end_object(w);
              mcp::schema_required(w, mem::lit("a,b,c,d"));
            }),
            R"({"o":{"type":"object","properties":{"a":{"type":"integer"},"b":{"type":["number","null"]},)"
            R"("c":{"type":"array","items":{"type":"string"}},"d":{"type":"array","items":{"type":"object",)"
            R"("properties":{"e":{"type":"boolean"}},"required":["e"]}}},"required":["a","b","c","d"]}})");
  EXPECT_EQ(written([](json::Writer* w) {
              json::key(w, mem::lit("ok"));
              mcp::text_content(w);
              json::write_string(w, mem::lit("line \"one\"\n"));
              mcp::structured_content(w);
              json::key(w, mem::lit("n"));
              json::uint_value(w, 1);
              mcp::is_error(w);
              json::key(w, mem::lit("bad"));
              mcp::bad_arguments(w, mem::lit("Invalid arguments: x"));
            }),
            R"({"ok":{"content":[{"type":"text","text":"line \"one\"\n"}],"structuredContent":{"n":1},"isError":false},)"
            R"("bad":{"content":[{"type":"text","text":"Invalid arguments: x"}],"isError":true}})");
}

// Whatever a damaged request becomes, the answer is one well-formed JSON-RPC object, or nothing for a
// notification or a response.
TEST(Dispatch, DamagedRequestsGetOneWellFormedAnswerOrNone) {
  const std::string seeds[] = {
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
      R"({"jsonrpc":"2.0","id":"p","method":"ping"})",
      R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"top_processes","arguments":{"by":"cpu","count":5}}})",
      R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"usage_history","arguments":{"cluster":true}}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
  };
  const char alphabet[] = "{}[]\",:\\u0123456789-.eEtrufalsn \x7f\xc3\xa9\xff";
  Server s;
  std::mt19937 random(20261209);
  for (u32 round = 0; round < 20000; ++round) {
    std::string line = seeds[random() % 6];
    for (u32 edits = 1 + random() % 4; edits > 0; --edits) {
      u32 at = random() % (line.size() + 1);
      char c = alphabet[random() % (sizeof alphabet - 1)];
      u32 op = random() % 3;
      if (op == 0 && at < line.size()) line[at] = c;
      else if (op == 1) line.insert(line.begin() + at, c);
      else if (at < line.size()) line.erase(at, 1);
    }
    std::string out = s.answer(line);
    u8 kind = s.request.kind;
    if (kind == mcp::kind_notification || kind == mcp::kind_response) {
      EXPECT_EQ(out, "") << line;
      continue;
    }
    ASSERT_FALSE(out.empty()) << line;
    ASSERT_EQ(json_check::check_all(view(out)), "") << line << "\n" << out;
    auto doc = std::make_unique<json::Document>();
    json::parse(view(out), doc.get());
    ASSERT_EQ(out.find('\n'), std::string::npos);
    EXPECT_EQ(json::string_equals(doc.get(), view(out), json::member(doc.get(), view(out), 0, mem::lit("jsonrpc")),
                                  mem::lit("2.0")), 1u);
    EXPECT_NE(json::member(doc.get(), view(out), 0, mem::lit("id")), json::none);
    u32 results = (json::member(doc.get(), view(out), 0, mem::lit("result")) != json::none) +
                  (json::member(doc.get(), view(out), 0, mem::lit("error")) != json::none);
    EXPECT_EQ(results, 1u) << out;
  }
}

}  // namespace
