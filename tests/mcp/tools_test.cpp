// The server's own pieces: the line reader, the freshness rule, the cluster gathering as far as this build reaches,
// and the tools that answer for this machine, on a fixture machine and process table. Every structured result is
// checked against the output schema that tools/list publishes for its tool.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cluster/cluster.h"
#include "mcp/mcp.h"
#include "platform/os.h"
#include "sampling/sysrec.h"
#include "tests/mcp/json_check.h"
#include "tests/support/testutil.h"

namespace {

using json_check::Parsed;
using json_check::str;
using json_check::view;

// ---- A small JSON Schema checker for the parts the server's schemas use: type (a word or a list of words),
// properties, required and items.

bool type_matches(const Parsed& v, u16 value, const std::string& type) {
  u8 t = json::type_of(v.doc.get(), value);
  std::string number = str(json::text_of(v.doc.get(), view(v.text), value));
  if (type == "object") return t == json::type_object;
  if (type == "array") return t == json::type_array;
  if (type == "string") return t == json::type_string;
  if (type == "boolean") return t == json::type_true || t == json::type_false;
  if (type == "null") return t == json::type_null;
  if (type == "number") return t == json::type_number;
  if (type == "integer") return t == json::type_number && number.find_first_of(".eE") == std::string::npos;
  return false;
}

std::string conforms(const Parsed& v, u16 value, const Parsed& s, u16 schema, const std::string& where) {
  std::string faults;
  u16 type = s.member(schema, "type");
  bool ok = false;
  if (json::type_of(s.doc.get(), type) == json::type_string) {
    ok = type_matches(v, value, s.decoded(type));
  } else {
    for (u16 k = static_cast<u16>(type + 1); k < s.doc->ends[type]; k = s.doc->ends[k])
      ok = ok || type_matches(v, value, s.decoded(k));
  }
  if (!ok) return where + ": wrong type\n";
  u16 properties = s.member(schema, "properties");
  if (json::type_of(v.doc.get(), value) == json::type_object && properties != json::none) {
    u16 required = s.member(schema, "required");
    if (required != json::none)
      for (u16 k = static_cast<u16>(required + 1); k < s.doc->ends[required]; k = s.doc->ends[k])
        if (v.member(value, s.decoded(k).c_str()) == json::none) faults += where + ": " + s.decoded(k) + " missing\n";
    for (u16 k = static_cast<u16>(value + 1); k < v.doc->ends[value]; k = v.doc->ends[k + 1]) {
      std::string key = v.decoded(k);
      u16 sub = s.member(properties, key.c_str());
      if (sub == json::none) faults += where + ": " + key + " not in the schema\n";
      else faults += conforms(v, static_cast<u16>(k + 1), s, sub, where + "." + key);
    }
  }
  u16 items = s.member(schema, "items");
  if (json::type_of(v.doc.get(), value) == json::type_array && items != json::none)
    for (u16 k = static_cast<u16>(value + 1); k < v.doc->ends[value]; k = v.doc->ends[k])
      faults += conforms(v, k, s, items, where + "[]");
  return faults;
}

// ---- The dispatcher with a context the test fills.
struct Server {
  std::unique_ptr<mcp::ToolTable> table = std::make_unique<mcp::ToolTable>();
  std::unique_ptr<json::Document> doc = std::make_unique<json::Document>();
  std::unique_ptr<machine::Machine> m = std::make_unique<machine::Machine>();
  std::unique_ptr<model::ProcTable> procs = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();
  std::vector<u8> buffer = std::vector<u8>(json::max_bytes);
  mcp::ClusterView cluster{};
  mcp::ToolContext context{};
  std::string line;

  Server() {
    mcp::tool_table(table.get());
    machine::init(m.get());
    model::table_init(procs.get());
    proclist::init(list.get());
    mcp::reset_need(&cluster);
    context.version = mem::lit("0.1.81");
    context.table = table.get();
    context.machine = m.get();
    context.now_ms = 10250;
    context.sample_ms = 10000;
    context.sample_interval = 1000;
    context.table_ms = 9000;
    context.table_interval = 1003;
    context.procs = procs.get();
    context.list = list.get();
    context.cluster = &cluster;
  }

  std::string call(const std::string& tool, const std::string& arguments) {
    line = R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" +
           arguments + "}}";
    mcp::Request r;
    mcp::classify(view(line), table.get(), doc.get(), &r);
    json::Writer w;
    json::writer_init(&w, mem::Slice{buffer.data(), json::max_bytes});
    mcp::answer(view(line), doc.get(), &r, &context, &w);
    return std::string(reinterpret_cast<const char*>(buffer.data()), w.length);
  }

  std::string output_schema(const std::string& tool) {
    line = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
    mcp::Request r;
    mcp::classify(view(line), table.get(), doc.get(), &r);
    json::Writer w;
    json::writer_init(&w, mem::Slice{buffer.data(), json::max_bytes});
    mcp::answer(view(line), doc.get(), &r, &context, &w);
    Parsed list(std::string(reinterpret_cast<const char*>(buffer.data()), w.length));
    u16 tools = list.member(list.member(0, "result"), "tools");
    for (u16 t = static_cast<u16>(tools + 1); t < list.doc->ends[tools]; t = list.doc->ends[t])
      if (list.decoded(list.member(t, "name")) == tool) return str(json::text_of(list.doc.get(), view(list.text),
                                                                                 list.member(t, "outputSchema")));
    return "";
  }
};

// The text and the structured content of a tool result, after checking the answer's shape and the schema.
struct Result {
  std::string text;
  std::string structured;
  bool error = false;
};

Result read_result(Server& s, const std::string& tool, const std::string& answer) {
  Result out;
  Parsed a(answer);
  EXPECT_EQ(a.doc->error, json::error_none) << answer;
  u16 result = a.member(0, "result");
  u16 content = a.member(result, "content");
  out.text = a.decoded(a.member(static_cast<u16>(content + 1), "text"));
  out.error = json::type_of(a.doc.get(), a.member(result, "isError")) == json::type_true;
  u16 structured = a.member(result, "structuredContent");
  if (structured != json::none) {
    out.structured = str(json::text_of(a.doc.get(), view(a.text), structured));
    Parsed schema(s.output_schema(tool));
    Parsed value(out.structured);
    EXPECT_EQ(conforms(value, 0, schema, 0, tool), "") << out.structured;
  }
  return out;
}

// ---- Line reader.

struct Reads {
  std::unique_ptr<mcp::LineReader> reader = std::make_unique<mcp::LineReader>();
  Reads() { *reader = mcp::LineReader{}; }
  // Feeds the input in reads of at most 65,536 bytes, the end of input after it, and lists what came out:
  // "L:<length>" for a line, "long" for an over-long one, "end" at the end.
  std::vector<std::string> run(const std::string& input) {
    std::vector<std::string> out;
    u64 at = 0;
    for (u32 guard = 0; guard < 1000; ++guard) {
      mem::Bytes line;
      u8 got = mcp::next_line(reader.get(), &line);
      if (got == mcp::line_end) {
        out.push_back("end");
        return out;
      }
      if (got == mcp::line_ready) out.push_back("L:" + std::to_string(line.len));
      if (got == mcp::line_too_long) out.push_back("long");
      if (got != mcp::line_more) continue;
      mem::Slice room = mcp::line_start(reader.get());
      u64 n = std::min<u64>({room.len, mcp::read_max, input.size() - at});
      memcpy(room.ptr, input.data() + at, n);
      at += n;
      reader->filled += static_cast<u32>(n);
      reader->ended = n == 0;
    }
    out.push_back("stuck");
    return out;
  }
};

TEST(McpLines, SplitsLinesAndAnswersOverLongOnesOnce) {
  const std::string max(65536, 'x');
  struct Case {
    std::string input;
    std::vector<std::string> out;
  } cases[] = {
      {"", {"end"}},
      {"a\nbc\n", {"L:1", "L:2", "end"}},
      {"last without a line feed", {"L:24", "end"}},
      {"\n\r\n\n  \r\nx\r", {"L:2", "L:1", "end"}},  // blank and CR-only lines are skipped
      {max + "\n", {"L:65536", "end"}},
      {max + "\r\n" + max, {"L:65536", "L:65536", "end"}},
      {max + "y\nnext\n", {"long", "L:4", "end"}},
      {max + "yz", {"long", "end"}},  // over-long at the end of input, no line feed
      {std::string(200000, 'q') + "\n{}\n", {"long", "L:2", "end"}},
  };
  for (const Case& c : cases) {
    Reads r;
    EXPECT_EQ(r.run(c.input), c.out) << c.input.substr(0, 40);
  }
}

TEST(McpLines, Freshness) {
  struct Case {
    u32 tried, held;
    u64 now, then;
    u32 verdict;
  } cases[] = {
      {0, 0, 5000, 0, 2},    {1, 0, 5000, 4500, 2}, {1, 1, 5000, 4500, 0}, {1, 1, 5000, 4000, 1},
      {1, 1, 5000, 3001, 1}, {1, 1, 5000, 3000, 2}, {1, 1, 5000, 9000, 0},  // a clock that lies ahead: age 0
  };
  for (const Case& c : cases)
    EXPECT_EQ(mcp::freshness(c.tried, c.held, c.now, c.then, 1000), c.verdict) << c.now << " " << c.then;
}

// ---- machine_usage.

void fill_machine(machine::Machine* m) {
  machine::set_counts(m, 2, 1, 1);
  const char* names[][2] = {{"0", "Test CPU"}, {"1", "disk0"}, {"17", "eth0"}};
  for (auto& n : names) machine::set_name(m, std::stoul(n[0]), reinterpret_cast<const u8*>(n[1]), strlen(n[1]));
  m->memory_total = 8192;
  m->base_mhz = 2500;
  hw::Hardware h{};
  h.vendor = hw::vendor_intel;
  h.family = 6;
  h.model = 85;
  h.stepping = 4;
  h.sockets = 1;
  h.cores = 2;
  h.logical = 2;
  h.l1_kib = 64;
  h.l2_kib = 1024;
  h.features = 1u << hw::f_sse2 | 1u << hw::f_avx2 | 1u << hw::f_nx | 1u << hw::f_virt;
  h.known = hw::features_known;
  h.memory.kind = hw::mem_ddr4;
  h.memory.form = hw::form_dimm;
  h.memory.speed = 3200;
  h.memory.slots_used = 2;
  h.memory.slots = 4;
  h.memory.installed_mib = 8192;
  memcpy(m->hardware, &h, machine::hardware_head);
  m->batteries = 1;
  m->battery_charge[0] = 80;
  m->battery_state[1] = 1;  // state 2, discharging, in bit planes
  m->zones = 1;
  m->zone_number[0] = 3;
  m->zone_temp[0] = -5;
  m->power_flags = 1;  // a CPU meter part is known...
  m->power[0] = 123;
  ring::Row row{};
  row.load = 1234;
  row.kernel = 5;
  row.core_load[0] = 200;
  row.core_load[1] = 1;
  row.memory_mib = 9000;  // above the total
  row.commit_mib = 100;
  row.modified_mib = 10;
  row.standby_mib = 20;
  row.disk_busy[0] = 3;
  row.disk_read[0] = 1500;
  row.receive[0] = 1;
  row.send[0] = 2048;
  row.processes = 42;
  row.threads = 420;
  row.uptime = 90061;
  machine::push(m, &row);  // ...but the row has no power reading
}

TEST(McpTools, MachineUsageOfAFixtureMachine) {
  Server s;
  fill_machine(s.m.get());
  s.context.sample_held = 1;
  Result r = read_result(s, "machine_usage", s.call("machine_usage", "{}"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text,
            "machine_usage of this machine: rates over the last 1000 ms, sampled 250 ms ago\n"
            "cpu: 12.34 % (kernel 0.05 %), 2 logical processors, Test CPU\n"
            "cpu hardware: Intel, family 6 model 85 stepping 4, sockets 1, cores 2, base 2.50 GHz, L1 64 KB, L2 1.0 MB, "
            "L3 -, virtualisation Enabled\n"
            "per core %: 100.0 0.5\n"
            "memory: 8.8 / 8.0 GB in use, 0.0 GB available, 0.1 GB committed, 0.0 GB modified, 0.0 GB standby\n"
            "memory hardware: DDR4 3200 MT/s DIMM, slots 2 of 4, hardware reserved 0 MB, compressed -\n"
            "disk disk0, - - active 1.5 %, read 1.5 MB/s, write 0 KB/s, space unknown\n"
            "interface eth0 - receive 1 KB/s, send 2.0 MB/s\n"
            "battery 0: 80 %, discharging\n"
            "thermal zone 3: -0.5 C\n"
            "processes 42, threads 420, up time 1:01:01:01 (days:hours:minutes:seconds)");
  const std::string pieces[] = {
      R"({"sample_number":1,"sample_age_ms":250,"rate_window_ms":1000,"uptime_s":90061,"processes":42,)"
      R"("threads":420,"handles":null,"cpu":{"name":"Test CPU","logical_processors":2,"total_percent":12.34,)"
      R"("kernel_percent":0.05,"per_core_percent":[100.0,0.5],"per_core_kernel_percent":[0.0,0.0],)"
      R"("vendor":"Intel","family":6,"model":85,"stepping":4,"sockets":1,"cores":2,"base_mhz":2500,)"
      R"("speed_mhz":null,"l1_cache_kib":64,"l2_cache_kib":1024,"l3_cache_kib":null,)"
      R"("instruction_sets":["SSE2","AVX2"],"virtualisation":"Enabled"})",
      R"("memory":{"total_mib":8192,"used_mib":9000,"available_mib":0,"commit_mib":100,)",
      R"("disks":[{"name":"disk0","size_mib":null,"used_mib":null,"free_mib":null,"read_kib_per_s":1500,)"
      R"("write_kib_per_s":0,"active_percent":1.5,"size_saturated":false,"media":"unknown","bus":"unknown",)"
      R"("model":null}])",
      R"("batteries":[{"percent":80,"state":"discharging"}],"thermal_zones":[{"zone":3,"tenths_celsius":-5}],)"
      R"("power":{"watts":null,"cpu_watts":12.3,"dram_watts":null,"gpu_watts":null,"system_watts":null,)"
      R"("on_battery":false},"truncated":{"cores":false,"disks":false,"interfaces":false}})",
  };
  for (const std::string& piece : pieces) EXPECT_NE(r.structured.find(piece), std::string::npos) << piece;
}

TEST(McpTools, MachineUsageWithoutDataOrWithABadMachine) {
  Server s;
  struct Case {
    const char* arguments;
    const char* text;
  } cases[] = {
      {"{}", "no data: the collector is not available on this system"},
      {R"({"machine":""})", "Invalid arguments: machine must be a name or an id of 1 to 64 bytes"},
      {R"({"machine":7})", "Invalid arguments: machine must be a name or an id of 1 to 64 bytes"},
      {R"({"machine":"box"})",
       "no server or share is configured for the cluster: set one in Vimbrel's Settings (Cluster) to see other "
       "machines"},
  };
  for (const Case& c : cases) {
    Result r = read_result(s, "machine_usage", s.call("machine_usage", c.arguments));
    EXPECT_TRUE(r.error) << c.arguments;
    EXPECT_EQ(r.text, c.text) << c.arguments;
    EXPECT_EQ(r.structured, "") << c.arguments;
  }
}

// ---- top_processes and find_process.

u32 add_process(model::ProcTable* t, u32 pid, const std::string& name, u16 cpu, u32 pages) {
  u64 h = model::proc_upsert(t, pid, 1, 1, view(name));
  u32 row = model::proc_row(t, h);
  t->cpu[row] = cpu;
  t->working_set[row] = pages;
  t->thread_count[row] = 3;
  return row;
}

struct Processes : Server {
  Processes() {
    context.table_held = 1;
    add_process(procs.get(), 0, "System Idle Process", 9000, 0);
    add_process(procs.get(), 40, "chrome.exe", 250, 25600);
    add_process(procs.get(), 12, "Chrome.exe", 250, 512);
    u32 evil = add_process(procs.get(), 66, "evil\n\"}]}\r\nfake\x7f\xff.exe", 990, 1);
    procs->read_rate[evil] = 3;
    procs->write_rate[evil] = 4;
    u32 quiet = add_process(procs.get(), 8, "svchost.exe", 0, 2560);
    procs->prev_read[quiet] = sysrec::io_unreported;
  }
};

TEST(McpTools, TopProcessesSortsAndCuts) {
  Processes s;
  Result r = read_result(s, "top_processes", s.call("top_processes", R"({"by":"memory","count":2})"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text,
            "top_processes of this machine by memory: 2 of 4 processes, rates over the last 1003 ms, sampled 1250 ms "
            "ago\n"
            "chrome.exe, PID 40, CPU 2.5 %, Memory 100.0 MB, Disk 0 KB/s, GPU 0.0 %, VRAM 0 MB, Threads 3, TCP 0\n"
            "svchost.exe, PID 8, CPU 0.0 %, Memory 10.0 MB, Disk -, GPU 0.0 %, VRAM 0 MB, Threads 3, TCP 0");
  EXPECT_EQ(r.structured,
            R"({"sample_age_ms":1250,"rate_window_ms":1003,"processes_listed":4,"processes_matched":4,)"
            R"("table_truncated":false,"processes":[{"name":"chrome.exe","name_cut":false,"pid":40,)"
            R"("cpu_percent":2.50,"memory_mib":100.0,"disk_kib_per_s":0,"gpu_percent":0.00,"vram_mib":0,"threads":3,)"
            R"("tcp":0},{"name":"svchost.exe","name_cut":false,"pid":8,"cpu_percent":0.00,"memory_mib":10.0,)"
            R"("disk_kib_per_s":null,"gpu_percent":0.00,"vram_mib":0,"threads":3,"tcp":0}]})");
}

TEST(McpTools, HostileNamesForgeNoLinesAndKeepTheJson) {
  Processes s;
  std::string answer = s.call("top_processes", R"({"count":1})");
  EXPECT_EQ(answer.find('\n'), std::string::npos);
  EXPECT_EQ(answer.find('\r'), std::string::npos);
  Result r = read_result(s, "top_processes", answer);
  // In the report the control bytes are '?', so the name stays on its own line; the structured name is exact.
  EXPECT_EQ(r.text.substr(r.text.find('\n') + 1),
            "evil?\"}]}??fake?\xEF\xBF\xBD.exe, PID 66, CPU 9.9 %, Memory 0.0 MB, Disk 7 KB/s, GPU 0.0 %, VRAM 0 MB, "
            "Threads 3, TCP 0");
  EXPECT_NE(r.structured.find("\"name\":\"evil\\n\\\"}]}\\r\\nfake\x7f\\ufffd.exe\""), std::string::npos)
      << r.structured;
}

TEST(McpTools, FindProcessMatchesWithoutCaseAndTiesByPid) {
  Processes s;
  Result r = read_result(s, "find_process", s.call("find_process", R"({"name":"CHROME"})"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text.substr(0, r.text.find('\n')),
            "find_process on this machine: 2 of 2 matching processes (4 processes in all), rates over the last 1003 "
            "ms, sampled 1250 ms ago");
  EXPECT_LT(r.text.find("Chrome.exe, PID 12"), r.text.find("chrome.exe, PID 40"));
  // With a configured cluster that cannot be reached, the answer says why other machines were not searched.
  s.cluster.status = mcp::cluster_unreachable;
  r = read_result(s, "find_process", s.call("find_process", R"({"name":"svc"})"));
  EXPECT_NE(r.text.find("\nother machines not searched: other machines cannot be reached from this system yet\n"
                        "svchost.exe, PID 8"),
            std::string::npos)
      << r.text;
}

TEST(McpTools, ProcessToolArgumentErrors) {
  Processes s;
  std::string long_name(261, 'n');
  struct Case {
    const char* tool;
    std::string arguments;
    const char* text;
  } cases[] = {
      {"top_processes", R"({"by":"name","count":0})", "Invalid arguments: by must be one of cpu, memory, disk, gpu, vram"},
      {"top_processes", R"({"count":0})", "Invalid arguments: count must be an integer from 1 to 50"},
      {"top_processes", R"({"count":51})", "Invalid arguments: count must be an integer from 1 to 50"},
      {"top_processes", R"({"count":2.5})", "Invalid arguments: count must be an integer from 1 to 50"},
      {"top_processes", R"({"count":"10"})", "Invalid arguments: count must be an integer from 1 to 50"},
      {"top_processes", R"({"machine":""})", "Invalid arguments: machine must be a name or an id of 1 to 64 bytes"},
      {"find_process", R"({"name":5})", "Invalid arguments: name must be a string"},
      {"find_process", R"({})", "Invalid arguments: name must be a string"},
      {"find_process", R"({"name":""})", "Invalid arguments: name must not be empty"},
      {"find_process", R"({"name":")" + long_name + "\"}",
       "Invalid arguments: name is longer than 260 bytes, the longest process name"},
      {"usage_history", R"({})",
       "Invalid arguments: usage_history needs machine (a name or an id of 1 to 64 bytes) or cluster: true, not both"},
      {"usage_history", R"({"cluster":true,"metric":"x"})",
       "Invalid arguments: metric must be one of cpu, memory, gpu, vram, net, disk"},
      {"usage_history", R"({"cluster":true,"range":"1y"})", "Invalid arguments: range must be one of 1h, 24h, 30d, 2y"},
      {"process_history", R"({"machine":"m"})",
       "Invalid arguments: process_history needs name (a process name of 1 to 32 bytes) and machine (a name or an id "
       "of 1 to 64 bytes)"},
      {"list_machines", R"({"state":"up"})",
       "Invalid arguments: state must be one of online, stale, offline, missing, all"},
  };
  for (const Case& c : cases) {
    Result r = read_result(s, c.tool, s.call(c.tool, c.arguments));
    EXPECT_TRUE(r.error) << c.arguments;
    EXPECT_EQ(r.text, c.text) << c.tool << " " << c.arguments;
  }
  // A name of exactly 260 bytes is taken.
  Result r = read_result(s, "find_process", s.call("find_process", R"({"name":")" + long_name.substr(1) + "\"}"));
  EXPECT_FALSE(r.error);
  // No table: the tools say so.
  s.context.table_held = 0;
  r = read_result(s, "top_processes", s.call("top_processes", "{}"));
  EXPECT_EQ(r.text, "no data: the process table is not available on this system");
}

TEST(McpTools, OutputSchemasListEveryRequiredProperty) {
  Server s;
  for (const char* tool : {"machine_usage", "top_processes", "find_process", "list_machines", "cluster_usage",
                           "usage_history", "process_history"}) {
    Parsed schema(s.output_schema(tool));
    ASSERT_EQ(schema.doc->error, json::error_none) << tool;
    for (u16 i = 0; i < schema.doc->count; ++i) {
      if (schema.doc->types[i] != json::type_object) continue;
      u16 required = schema.member(i, "required");
      u16 properties = schema.member(i, "properties");
      if (required == json::none) continue;
      for (u16 k = static_cast<u16>(required + 1); k < schema.doc->ends[required]; k = schema.doc->ends[k])
        EXPECT_NE(schema.member(properties, schema.decoded(k).c_str()), json::none) << tool << " " << schema.decoded(k);
    }
  }
}

// ---- Cluster gathering in this build: the configuration is read and reported; a configured cluster cannot be
// reached yet.
TEST(McpCluster, StatusFromTheClusterFiles) {
  testutil::TempDir dir;
  std::string publish = dir.path + "/publish.txt", key = dir.path + "/cluster.key";
  std::unique_ptr<mcp::LocalData> local = std::make_unique<mcp::LocalData>();
  mcp::ServerOptions options = {view(key), view(publish), 8000, 4000, 15000, 20000, 2000};
  mcp::ClusterView v;
  auto gather = [&]() {
    mcp::reset_need(&v);
    mcp::gather_cluster(&v, local.get(), &options, mcp::need_machine_list);
    return v.status;
  };
  EXPECT_EQ(gather(), mcp::cluster_unconfigured);
  testutil::write_file(publish, "vimbrel-publish 1\npublish 0\ntarget 127.0.0.1:7420\n");
  EXPECT_EQ(gather(), mcp::cluster_no_key);
  testutil::write_file(key, "vimbrel-key 1 00\n");
  EXPECT_EQ(gather(), mcp::cluster_key_refused);
  cluster::KeyWork work;
  auth::KeyState state;
  ASSERT_EQ(cluster::new_key(view(key), os::random_bytes, &work, &state), cluster::new_key_done);
  EXPECT_EQ(gather(), mcp::cluster_unreachable);
}

}  // namespace
