// The server's own pieces: the line reader, the freshness rule, the cluster gathering's statuses and arena sizes, the
// tools that answer for this machine on a fixture machine and process table, and the cluster tools on a fixture
// machine list and history folds. Every structured result is checked against the output schema that tools/list
// publishes for its tool.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wire/cluster.h"
#include "history/hstore.h"
#include "mcp/cluster_link.h"
#include "mcp/cluster_tools.h"
#include "mcp/local_tools.h"
#include "mcp/mcp.h"
#include "mcp/writers.h"
#include "platform/os.h"
#include "platform/sysrec.h"
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

// ---- Cluster gathering: the configuration is read and reported; a configured host that does not answer runs out
// the connect wait with the link's last event.
TEST(McpCluster, StatusFromTheClusterFiles) {
  testutil::TempDir dir;
  std::string publish = dir.path + "/publish.txt", key = dir.path + "/cluster.key";
  std::unique_ptr<mcp::LocalData> local = std::make_unique<mcp::LocalData>();
  *local = {};
  mcp::ServerOptions options = {view(key), view(publish), 500, 400, 400, 2000, 200};
  auto doc = std::make_unique<json::Document>();
  mcp::ClusterView v;
  auto gather = [&](u8 need) {
    mcp::reset_need(&v);
    mcp::ClusterCall call = {};
    mcp::gather_cluster(&call, &v, local.get(), &options, need, doc.get(), mem::Bytes(), json::none);
    mcp::close_cluster(&call);
    return v.status;
  };
  EXPECT_EQ(gather(mcp::need_machine_list), mcp::cluster_unconfigured);
  // Nobody listens on port 9 of this machine.
  testutil::write_file(publish, "vimbrel-publish 1\npublish 0\ntarget 127.0.0.1:9\nid 00112233445566778899aabbccddeeff\n");
  EXPECT_EQ(gather(mcp::need_machine_list), mcp::cluster_no_key);
  EXPECT_EQ(v.own_id_known, 1);
  EXPECT_EQ(v.own_id[15], 0xFF);
  testutil::write_file(key, "vimbrel-key 1 00\n");
  EXPECT_EQ(gather(mcp::need_machine_list), mcp::cluster_key_refused);
  cluster::KeyWork work;
  auth::KeyState state;
  ASSERT_EQ(cluster::new_key(view(key), os::random_bytes, &work, &state), cluster::new_key_done);
  EXPECT_EQ(gather(mcp::need_machine_list), mcp::cluster_no_answer);
  EXPECT_EQ(v.timeout_ms, 500u);
  EXPECT_EQ(v.last_event, cluster::status_cannot_connect);
  EXPECT_EQ(gather(mcp::need_find_all), mcp::cluster_no_answer);
}

// Arena sizes by need: the areas and 64 bytes each, and 64 more.
TEST(McpCluster, LinkSizesFollowTheNeed) {
  const u64 list = sizeof(viewlink::ViewerConn) + 64 + 20568 + 64 + 64;
  EXPECT_EQ(mcp::link_size(mcp::need_machine_list), list);
  EXPECT_EQ(mcp::link_size(mcp::need_machine_usage), list + 331552 + 64);
  EXPECT_EQ(mcp::link_size(mcp::need_machine_processes), list + 331552 + 143600 + 22872 + 3 * 64);
  EXPECT_EQ(mcp::link_size(mcp::need_history), list - 20568 + 57400 + 1608 + 64);
  EXPECT_EQ(mcp::link_size(mcp::need_process_history), mcp::link_size(mcp::need_history) + 154624 + 64);
}

// ---- The cluster tools on a fixture list and fixture history folds.

struct Cluster : Server {
  std::unique_ptr<proto::MachineList> list = std::make_unique<proto::MachineList>();
  std::unique_ptr<viewer::HistView> hist = std::make_unique<viewer::HistView>();
  std::unique_ptr<viewer::NameFilter> names = std::make_unique<viewer::NameFilter>();

  Cluster() {
    *list = {};
    cluster.status = mcp::cluster_ok;
    cluster.machines = list.get();
    cluster.host_version = 1081;
  }
  void add(const char* name, u8 state, u16 logical, u16 cpu, u32 receive) {
    u32 i = list->count++;
    list->ids[i][0] = static_cast<u8>(0xA0 + i);
    memcpy(list->names[i], name, strlen(name));
    proto::Summary& m = list->summaries[i];
    m.state = state;
    m.value = logical;
    m.cpu = cpu;
    m.kernel = 25;
    m.memory_used = 2048;
    m.memory_total = 8192;
    m.receive = receive;
    m.send = 3;
    m.processes = 100;
    m.threads = 1000;
  }
  void choose(u32 i) {
    cluster.chosen = static_cast<u8>(i);
    mem::Bytes n = mcp::machine_name(list->names[i]);
    cluster.name_length = static_cast<u8>(n.len);
    memcpy(cluster.name, n.ptr, n.len);
  }
};

TEST(McpClusterTools, ListMachinesByStateWithThisComputerMarked) {
  Cluster s;
  s.add("alpha", 0, 8, 5000, 10);
  s.add("beta\nforged: line", 1, 4, 100, 0);
  s.add("gamma", 2, 2, 0, 0);
  s.cluster.own_id_known = 1;
  s.cluster.own_id[0] = 0xA0;
  Result r = read_result(s, "list_machines", s.call("list_machines", "{}"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text,
            "list_machines: 3 of 3 machines, state all\n"
            "alpha (this computer): online, CPU 50.00 % of 8 logical processors, memory 2.0 / 8.0 GB, GPU 0.00 %, "
            "VRAM 0.0 / 0.0 GB, disk read 0 KB/s write 0 KB/s, network receive 10 KB/s send 3 KB/s, 100 processes, "
            "id a0000000000000000000000000000000\n"
            "beta?forged: line: stale, CPU 1.00 % of 4 logical processors, memory 2.0 / 8.0 GB, GPU 0.00 %, "
            "VRAM 0.0 / 0.0 GB, disk read 0 KB/s write 0 KB/s, network receive 0 KB/s send 3 KB/s, 100 processes, "
            "id a1000000000000000000000000000000\n"
            "gamma: offline, CPU 0.00 % of 2 logical processors, memory 2.0 / 8.0 GB, GPU 0.00 %, VRAM 0.0 / 0.0 GB, "
            "disk read 0 KB/s write 0 KB/s, network receive 0 KB/s send 3 KB/s, 100 processes, "
            "id a2000000000000000000000000000000");
  EXPECT_NE(r.structured.find(R"({"name":"beta\nforged: line","id":"a1000000000000000000000000000000",)"
                              R"("state":"stale","this_machine":false,"logical_processors":4,"cpu_percent":1.00,)"),
            std::string::npos)
      << r.structured;
  r = read_result(s, "list_machines", s.call("list_machines", R"({"state":"missing"})"));
  EXPECT_EQ(r.text, "list_machines: 0 of 3 machines, state missing");
  EXPECT_EQ(r.structured, R"({"machines_listed":3,"machines_shown":0,"machines":[]})");
  r = read_result(s, "list_machines", s.call("list_machines", R"({"state":"busy"})"));
  EXPECT_TRUE(r.error);
  s.cluster.status = mcp::cluster_unconfigured;
  r = read_result(s, "list_machines", s.call("list_machines", "{}"));
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text.rfind("no server or share is configured", 0), 0u);
}

TEST(McpClusterTools, ClusterUsageCountsEveryStateAndSumsTheLiveOnes) {
  Cluster s;
  s.add("a", 0, 8, 5000, 0xFFFFFFFF);
  s.add("b", 1, 0, 0, 0xFFFFFFFF);
  s.add("c", 2, 64, 10000, 7);
  s.add("d", 9, 64, 10000, 7);  // an unknown state counts as missing
  Result r = read_result(s, "cluster_usage", s.call("cluster_usage", "{}"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text,
            "cluster_usage of 4 machines: 1 online, 1 stale, 1 offline, 1 missing; sums over the online and stale "
            "ones\ncpu: 4.00 of 8 logical processors busy (50.00 %)\nmemory: 4.0 GB of 16.0 GB in use\n"
            "vram: 0.0 GB of 0.0 GB in use\ndisk: read 0 KB/s, write 0 KB/s\n"
            "network: receive 4096.0 GB/s, send 6 KB/s\nprocesses 200, threads 2000");
  EXPECT_NE(r.structured.find(R"("receive_kib_per_s":8589934590,)"), std::string::npos) << "not saturated";
  EXPECT_NE(r.structured.find(R"("logical_processors":8,"busy_processors":4.00,"cpu_percent":50.00,)"),
            std::string::npos);
  Cluster empty;
  empty.add("x", 0, 0, 3000, 0);
  r = read_result(empty, "cluster_usage", empty.call("cluster_usage", "{}"));
  EXPECT_NE(r.structured.find(R"("busy_processors":0.00,"cpu_percent":0.00)"), std::string::npos);
}

TEST(McpClusterTools, HistoryWordsTimesAndValues) {
  struct TimeCase {
    u32 seconds;
    std::string text;
  } times[] = {{0, "2025-01-01 00:00"},  {86399, "2025-01-01 23:59"}, {59 * 86400, "2025-03-01 00:00"},
               {365 * 86400, "2026-01-01 00:00"}, {1154 * 86400 + 3600 * 13 + 60 * 7, "2028-02-29 13:07"}};
  for (const TimeCase& t : times) {
    std::vector<u8> buffer(64);
    json::Writer w;
    json::writer_init(&w, mem::Slice{buffer.data(), buffer.size()});
    mcp::write_time(&w, t.seconds);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), w.length), t.text);
  }
  EXPECT_EQ(mcp::memory_of_code(4095), 4095u);
  EXPECT_EQ(mcp::memory_of_code(4096), 4096u);
  EXPECT_EQ(mcp::memory_of_code(0x2001), 8194u);
  EXPECT_EQ(mcp::tier_of(0), 0);
  EXPECT_EQ(mcp::tier_of(2), 2);
  EXPECT_EQ(mcp::tier_of(3), 2);
  EXPECT_EQ(mcp::range_seconds(3), 63072000u);
  EXPECT_EQ(mcp::history_column(4, 0), 6);
  EXPECT_EQ(mcp::history_column(4, 1), 7);
  EXPECT_EQ(mcp::history_column(5, 0), 3);
  EXPECT_EQ(mcp::history_column(1, 1), 255);
  auto v = std::make_unique<viewer::HistView>();
  u8 id[16] = {};
  viewer::hist_start(v.get(), 0, 3600, 0, 255, 0, 0, id);
  v->count[3] = 2;
  v->sum[0][3] = 5;
  v->min[0][3] = 1;
  v->max[0][3] = 4;
  EXPECT_EQ(mcp::row_value(v.get(), 0, 3, 1), 3u) << "5 over 2 buckets rounds to 3";
  EXPECT_EQ(mcp::row_value(v.get(), 0, 4, 1), 0u);
  EXPECT_EQ(mcp::row_value(v.get(), 0, 3, 0), 1u);
}

TEST(McpClusterTools, UsageHistoryOfAMachineWithItsTopProcesses) {
  Cluster s;
  s.add("alpha", 0, 8, 0, 0);
  s.choose(0);
  viewer::hist_start(s.hist.get(), 86400, 3600, 0, 255, 0, 0, s.list->ids[0]);
  const u8 first[] = "worker\tone";
  viewer::hist_want(s.hist.get(), s.names.get(), nullptr, 0);
  s.hist->count[0] = 2;
  s.hist->min[0][0] = 1000;
  s.hist->max[0][0] = 3000;
  s.hist->sum[0][0] = 4001;
  u8 name[32] = {};
  memcpy(name, first, sizeof first - 1);
  viewer::take_name(s.names.get(), name);
  s.names->tops[0].a.hash[0] = s.names->name_hashes[0];
  s.names->tops[0].a.pid[0] = 42;
  s.names->tops[0].a.value[0] = 2500;
  s.names->tops[0].a.hash[1] = 0x1234;  // a name the host did not send
  s.names->tops[0].a.pid[1] = 43;
  s.names->tops[0].a.value[1] = 5;
  s.cluster.hist = s.hist.get();
  s.cluster.names = s.names.get();
  Result r = read_result(s, "usage_history", s.call("usage_history", R"({"machine":"alpha","range":"1h"})"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text,
            "usage_history of alpha: cpu in percent over the last 1h, tier 0 (10 s buckets), 2 buckets in 1 rows of "
            "60 s, times UTC\n2025-01-02 00:00 min 10.00 avg 20.01 max 30.00, top worker?one 25.00 %, "
            "(name not kept) 0.05 %");
  EXPECT_EQ(r.structured,
            R"({"machine":"alpha","metric":"cpu","unit":"percent","range":"1h","tier":0,"bucket_s":10,"row_s":60,)"
            R"("from_s":86400,"to_s":90000,"buckets":2,"rows":[{"time":"2025-01-02 00:00","buckets":2,"min":10.00,)"
            R"("average":20.01,"max":30.00,"top_processes":[{"name":"worker\tone","pid":42,"cpu_percent":25.00},)"
            R"j({"name":"(name not kept)","pid":43,"cpu_percent":0.05}]}]})j");

  // The network: receive and send triples, whole KiB/s; an empty cluster answer explains itself.
  viewer::hist_start(s.hist.get(), 0, 86400, 6, 7, 1, 1, s.list->ids[0]);
  s.cluster.names = nullptr;
  s.cluster.host_version = 1062;
  r = read_result(s, "usage_history", s.call("usage_history", R"({"cluster":true,"metric":"net"})"));
  EXPECT_EQ(r.text,
            "usage_history of the cluster: net in KiB/s over the last 24h, tier 0 (10 s buckets), 0 buckets in 0 rows "
            "of 1440 s, times UTC\nno buckets for the cluster: this server does not serve cluster history yet (it "
            "comes with Vimbrel 0.1.63); ask for one machine instead");
  s.hist->count[59] = 1;
  s.hist->sum[0][59] = 7;
  s.hist->max[0][59] = 7;
  s.hist->min[0][59] = 7;
  s.hist->sum[1][59] = 2;
  s.hist->min[1][59] = 0;
  r = read_result(s, "usage_history", s.call("usage_history", R"({"cluster":true,"metric":"net"})"));
  EXPECT_NE(r.text.find("\n2025-01-01 23:36 receive min 7 avg 7 max 7, send min 0 avg 2 max 0"), std::string::npos)
      << r.text;
  EXPECT_NE(r.structured.find(R"("min":7,"average":7,"max":7,"send_min":0,"send_average":2,"send_max":0)"),
            std::string::npos);

  s.cluster.status = mcp::cluster_history_late;
  s.cluster.timeout_ms = 15000;
  r = read_result(s, "usage_history", s.call("usage_history", R"({"cluster":true})"));
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text, "the history did not arrive within 15000 ms");
}

// Network rates are stored as 16-bit codes: as they are below 4,096 KiB/s, 13 significant bits above, the largest
// code from 2^27 on. The least, the average and the largest of a row are all rates in KiB/s.
TEST(McpClusterTools, NetworkHistoryGivesRatesNotTheirCodes) {
  struct Case {
    u32 rate, shown;
  } cases[] = {
      {0, 0},
      {4095, 4095},
      {4096, 4096},
      {4097, 4097},
      {8193, 8192},  // from 8,192 on the code keeps 13 significant bits
      {100000, 100000},
      {(1u << 27) - 1, 134201344},
      {1u << 27, 134201344},
      {0xFFFFFFFF, 134201344},
  };
  for (const Case& c : cases) {
    auto v = std::make_unique<viewer::HistView>();
    u8 id[16] = {};
    viewer::hist_start(v.get(), 0, 3600, 6, 7, 0, 0, id);
    store::Bucket b{};
    b.slot = 600;
    b.min[6] = b.mean[6] = b.max[6] = hstore::rate_code(c.rate);
    b.min[7] = hstore::rate_code(c.rate / 2);
    b.mean[7] = b.max[7] = hstore::rate_code(c.rate);
    viewer::hist_fold(v.get(), &b);
    u32 row = 10;
    for (u32 which = 0; which < 3; ++which) {
      EXPECT_EQ(mcp::row_value(v.get(), 0, row, which), c.shown) << c.rate << " which " << which;
    }
    EXPECT_EQ(mcp::row_value(v.get(), 1, row, 0), hstore::rate_of(hstore::rate_code(c.rate / 2))) << c.rate;
    EXPECT_EQ(mcp::row_value(v.get(), 1, row, 2), c.shown) << c.rate;
    EXPECT_EQ(mcp::row_value(v.get(), 0, row + 1, 2), 0u) << "an empty row";
  }
  // Through the tool: the text and the structured rows.
  Cluster s;
  s.add("alpha", 0, 8, 0, 0);
  s.choose(0);
  viewer::hist_start(s.hist.get(), 0, 3600, 6, 7, 0, 0, s.list->ids[0]);
  store::Bucket b{};
  b.slot = 60;
  b.min[6] = b.mean[6] = b.max[6] = hstore::rate_code(100000);
  b.min[7] = b.mean[7] = b.max[7] = hstore::rate_code(10000);
  viewer::hist_fold(s.hist.get(), &b);
  s.cluster.hist = s.hist.get();
  Result r = read_result(s, "usage_history", s.call("usage_history", R"({"machine":"alpha","metric":"net"})"));
  EXPECT_NE(r.text.find("receive min 100000 avg 100000 max 100000, send min 10000 avg 10000 max 10000"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.structured.find(R"("min":100000,"average":100000,"max":100000,"send_min":10000,)"
                              R"("send_average":10000,"send_max":10000)"),
            std::string::npos)
      << r.structured;
}

TEST(McpClusterTools, ProcessHistoryCountsTheBucketsAProcessStoodIn) {
  Cluster s;
  s.add("alpha", 0, 8, 0, 0);
  s.choose(0);
  viewer::hist_start(s.hist.get(), 0, 86400, 0, 255, 1, 0, s.list->ids[0]);
  viewer::hist_want(s.hist.get(), s.names.get(), reinterpret_cast<const u8*>("worker"), 6);
  s.cluster.hist = s.hist.get();
  s.cluster.names = s.names.get();
  s.cluster.tier = 1;
  Result r = read_result(s, "process_history", s.call("process_history", R"({"machine":"alpha","name":"worker"})"));
  EXPECT_EQ(r.text,
            "process_history of worker on alpha over the last 24h, tier 1 (300 s buckets): among the 5 heaviest by CPU "
            "or memory in 0 of 0 buckets, rows of 1440 s, times UTC\nno process history in that range: the server "
            "keeps none (a server older than process history, or none closed yet)");
  s.names->tops_taken = 30;
  r = read_result(s, "process_history", s.call("process_history", R"({"machine":"alpha","name":"worker"})"));
  EXPECT_NE(r.text.find("\nnever among the 5 heaviest by CPU or memory in that range"), std::string::npos);
  s.names->matches[1] = 3;
  s.names->most[1][0] = 1234;
  s.names->matches[2] = 1;
  s.names->most[2][1] = 0x2001;
  r = read_result(s, "process_history", s.call("process_history", R"({"machine":"alpha","name":"worker"})"));
  EXPECT_NE(r.text.find("in 4 of 30 buckets"), std::string::npos);
  EXPECT_NE(r.text.find("\n2025-01-01 00:24 in 3 buckets, CPU peak 12.34 %, memory peak not in the top 5\n"
                        "2025-01-01 00:48 in 1 buckets, CPU peak not in the top 5, memory peak 8194 MiB"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.structured.find(R"({"time":"2025-01-01 00:24","buckets_seen":3,"cpu_peak_percent":12.34,)"
                              R"("memory_peak_mib":null})"),
            std::string::npos)
      << r.structured;
  r = read_result(s, "process_history", s.call("process_history", R"({"machine":"alpha","name":")" +
                                                                      std::string(33, 'x') + R"("})"));
  EXPECT_TRUE(r.error);
}

// The cluster-wide find keeps the 50 rows of highest CPU over every list offered, earlier offers first among equals,
// with the per-row marks moving with their rows.
TEST(McpClusterTools, FoundSetKeepsTheHeaviestFiftyAndAnswersByMachine) {
  Cluster s;
  s.add("alpha", 0, 8, 0, 0);
  auto set = std::make_unique<mcp::FoundProcesses>();
  *set = {};
  auto table = std::make_unique<model::ProcTable>();
  model::table_init(table.get());
  for (u32 i = 0; i < 60; ++i) {
    u32 row = add_process(table.get(), 100 + i, "worker", static_cast<u16>(i % 30 * 10), 256);
    if (i == 59) table->prev_read[row] = table->prev_written[row] = ~0ull;  // its disk was not reported
  }
  auto list = std::make_unique<proclist::ListState>();
  proclist::init(list.get());
  mcp::filter_list(list.get(), table.get(), mem::lit("WORK"));
  mcp::found_add_list(set.get(), mcp::this_machine_index, table.get(), list.get());
  // A second machine's list of one process, as heavy as the heaviest: it stands after this machine's equals.
  auto other = std::make_unique<model::ProcTable>();
  model::table_init(other.get());
  add_process(other.get(), 7, "worker-b", 290, 512);
  auto other_list = std::make_unique<proclist::ListState>();
  proclist::init(other_list.get());
  mcp::filter_list(other_list.get(), other.get(), mem::lit("work"));
  mcp::found_add_list(set.get(), 0, other.get(), other_list.get());
  EXPECT_EQ(set->kept, 50u);
  EXPECT_EQ(set->matched, 61u);
  EXPECT_EQ(set->listed, 61u);
  EXPECT_EQ(set->rows[0].cpu, 290);
  EXPECT_EQ(set->rows[0].machine, mcp::this_machine_index);
  EXPECT_EQ(set->rows[2].pid, 7u) << "after this machine's two rows of the same CPU";
  u32 denied = 0;
  for (u32 i = 0; i < set->kept; ++i) denied += set->rows[i].pid == 159 ? i : 0;
  EXPECT_EQ((set->unreported >> denied) & 1, 1u) << "the mark moved with its row";
  EXPECT_EQ(__builtin_popcountll(set->unreported), 1);

  s.cluster.found = set.get();
  s.cluster.answered = 1;
  s.cluster.unanswered = 2;
  s.context.table_ms = 10000;
  Result r = read_result(s, "find_process", s.call("find_process", R"({"name":"work"})"));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text.substr(0, r.text.find('\n')),
            "find_process on this machine and 1 other machines (2 online or stale machines sent no table in time): 50 "
            "of 61 matching processes (61 processes in all), heaviest CPU first; remote machines publish their 256 "
            "heaviest processes");
  EXPECT_NE(r.text.find("\nalpha: worker-b, PID 7, CPU 2.90 %, memory 2.0 MB, disk 0 KB/s, GPU 0.00 %, VRAM 0 MB"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find("disk denied"), std::string::npos);
  EXPECT_NE(r.structured.find(R"("machines_searched":2,"machines_skipped":2,"processes":[{"machine":"this machine",)"),
            std::string::npos)
      << r.structured;
}

TEST(McpClusterTools, MachinesAreChosenByIdBeforeName) {
  Cluster s;
  s.add("twin", 0, 1, 0, 0);
  s.add("TWIN", 1, 1, 0, 0);
  s.add("a1000000000000000000000000000000", 0, 1, 0, 0);  // a name that reads as the second one's id
  auto pick = [&](const std::string& machine) {
    s.line = R"({"machine":")" + machine + R"("})";
    json::parse(view(s.line), s.doc.get());
    mcp::reset_need(&s.cluster);
    s.cluster.machines = s.list.get();
    u8 status = mcp::resolve_machine(&s.cluster, s.doc.get(), view(s.line), 0);
    return std::to_string(status) + ":" + std::to_string(s.cluster.chosen);
  };
  EXPECT_EQ(pick("A1000000000000000000000000000000"), "0:1") << "the id wins over the name";
  EXPECT_EQ(pick("twin"), "8:255");
  EXPECT_EQ(pick("nobody"), "7:255");
  EXPECT_EQ(pick("a1000000000000000000000000000000"), "0:1");
  s.list->count = 1;
  EXPECT_EQ(pick("Twin"), "0:0");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(s.cluster.name), s.cluster.name_length), "twin");
}


TEST(McpClusterTools, SameNamedMachinesAreListedWithTheirIdsAndStates) {
  Cluster s;
  s.add("twin", 0, 1, 0, 0);
  s.add("other", 0, 1, 0, 0);
  s.add("TWIN", 2, 1, 0, 0);
  s.cluster.status = mcp::cluster_ambiguous;
  Result r = read_result(s, "machine_usage", s.call("machine_usage", R"({"machine":"Twin"})"));
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text,
            "more than one machine is named Twin: give one of their ids: a0000000000000000000000000000000 "
            "(online) a2000000000000000000000000000000 (offline)");
}

// A watched machine's data come from the host as it holds them: a machine it no longer hears from is answered with
// its state and the time since its newest stored data, or, when its history holds none, no fresher age than its
// state allows.
TEST(McpClusterTools, RemoteAnswersTellTheStateAndAgeOfTheData) {
  struct Case {
    u8 state;
    u8 silence_known;
    u64 silence_ms;
    const char* usage_head;
    const char* usage_keys;
    const char* processes_head;
  } cases[] = {
      {0, 0, 0, "machine_usage of vm: rates over the last 1000 ms, sampled 0 ms ago\n",
       R"({"machine":"vm","state":"online","sample_number":1,"sample_age_ms":0,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled 0 ms ago\n"},
      {1, 0, 0,
       "machine_usage of vm: rates over the last 1000 ms, sampled at least 5000 ms ago (the machine is stale)\n",
       R"({"machine":"vm","state":"stale","sample_number":1,"sample_age_ms":5000,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled at least 5000 ms ago (the "
       "machine is stale)\n"},
      {2, 0, 0,
       "machine_usage of vm: rates over the last 1000 ms, sampled at least 60000 ms ago (the machine is offline)\n",
       R"({"machine":"vm","state":"offline","sample_number":1,"sample_age_ms":60000,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled at least 60000 ms ago "
       "(the machine is offline)\n"},
      {1, 1, 12345, "machine_usage of vm: rates over the last 1000 ms, sampled 12345 ms ago (the machine is stale)\n",
       R"({"machine":"vm","state":"stale","sample_number":1,"sample_age_ms":12345,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled 12345 ms ago (the machine "
       "is stale)\n"},
      {2, 1, 7384000,
       "machine_usage of vm: rates over the last 1000 ms, sampled 7384000 ms ago (the machine is offline)\n",
       R"({"machine":"vm","state":"offline","sample_number":1,"sample_age_ms":7384000,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled 7384000 ms ago (the "
       "machine is offline)\n"},
      // Listed before its first sample reached the host, the machine's data came through after the list.
      {3, 0, 0, "machine_usage of vm: rates over the last 1000 ms, sampled 0 ms ago\n",
       R"({"machine":"vm","state":"online","sample_number":1,"sample_age_ms":0,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled 0 ms ago\n"},
      // A history that reads younger than the state allows (a host clock set back) is not believed below the state.
      {2, 1, 30000,
       "machine_usage of vm: rates over the last 1000 ms, sampled 60000 ms ago (the machine is offline)\n",
       R"({"machine":"vm","state":"offline","sample_number":1,"sample_age_ms":60000,)",
       "top_processes of vm by cpu: 1 of 1 processes, rates over the last 2000 ms, sampled 60000 ms ago (the "
       "machine is offline)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.state) + " " + std::to_string(c.silence_ms));
    Cluster s;
    fill_machine(s.m.get());
    add_process(s.procs.get(), 40, "worker", 250, 256);
    s.add("vm", c.state, 2, 1234, 0);
    s.choose(0);
    s.cluster.machine = s.m.get();
    s.cluster.table = s.procs.get();
    s.cluster.list = s.Server::list.get();
    s.cluster.data_time = s.context.now_ms;
    s.cluster.silence_known = c.silence_known;
    s.cluster.silence_ms = c.silence_ms;
    Result usage = read_result(s, "machine_usage", s.call("machine_usage", R"({"machine":"vm"})"));
    EXPECT_FALSE(usage.error);
    EXPECT_EQ(usage.text.substr(0, usage.text.find('\n') + 1), c.usage_head);
    EXPECT_EQ(usage.structured.find(c.usage_keys), 0u) << usage.structured;
    Result top = read_result(s, "top_processes", s.call("top_processes", R"({"machine":"vm"})"));
    EXPECT_FALSE(top.error);
    EXPECT_EQ(top.text.substr(0, top.text.find('\n') + 1), c.processes_head);
    EXPECT_NE(top.structured.find(R"("machine":"vm","state":")"), std::string::npos) << top.structured;
  }
}

// The newest slot a machine's stored history holds, against a host that keeps the last data times given in every
// tier as far back as the tier reaches and folds what is asked as the viewer link folds it. The search must find the
// newest slot of the finest tier that still holds it, whether it lies in the last minutes or years back.
struct StoredSlots {
  std::vector<u32> times;  // last data times, seconds
  u32 host_clock;
  bool late = false;
  u32 asks = 0;
};

u32 fake_newest_row(void* source, u8 tier, u32 start, u32 span) {
  StoredSlots* s = static_cast<StoredSlots*>(source);
  ++s->asks;
  if (s->late) return mcp::row_late;
  u32 len = mcp::tier_row_seconds(tier);
  u32 newest = viewer::outside;
  for (u32 t : s->times) {
    if (s->host_clock - t >= store::capacity(tier) * len) continue;  // the tier no longer keeps it
    u32 row = viewer::hist_row(t - t % len, start, span);
    if (row != viewer::outside && (newest == viewer::outside || row > newest)) newest = row;
  }
  return newest;
}

TEST(McpClusterTools, TheNewestStoredSlotIsFoundInTheFinestTierThatKeepsIt) {
  const u32 now = 120000000;  // about 1,389 days after the epoch
  struct Case {
    std::vector<u32> ages;  // seconds before now
    u8 expected;
    u32 slot;  // expected slot
  } cases[] = {
      {{}, mcp::slot_none, 0},
      {{65}, mcp::slot_found, (now - 65) - (now - 65) % 10},
      {{65, 3000, 90000}, mcp::slot_found, (now - 65) - (now - 65) % 10},
      {{3 * 3600 + 7}, mcp::slot_found, (now - 3 * 3600 - 7) - (now - 3 * 3600 - 7) % 10},
      {{86400 - 15}, mcp::slot_found, (now - 86400 + 15) - (now - 86400 + 15) % 10},
      {{2 * 86400 + 40}, mcp::slot_found, (now - 2 * 86400 - 40) - (now - 2 * 86400 - 40) % 300},
      {{100 * 86400 + 123}, mcp::slot_found, (now - 100 * 86400 - 123) - (now - 100 * 86400 - 123) % 3600},
      {{3 * 365 * 86400}, mcp::slot_none, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ages.empty() ? 0 : c.ages[0]);
    StoredSlots s{{}, now};
    for (u32 age : c.ages) s.times.push_back(now - age);
    u32 slot = 0;
    EXPECT_EQ(mcp::newest_slot(fake_newest_row, &s, now, &slot), c.expected);
    if (c.expected == mcp::slot_found) {
      EXPECT_EQ(slot, c.slot);
    }
    EXPECT_LE(s.asks, 12u);
  }
  // A machine that went quiet a minute ago costs one ask.
  StoredSlots recent{{now - 65}, now};
  u32 slot = 0;
  mcp::newest_slot(fake_newest_row, &recent, now, &slot);
  EXPECT_EQ(recent.asks, 1u);
  // A host that does not answer ends the search at once; so does a host clock near the epoch without data.
  StoredSlots late{{now - 65}, now, true};
  EXPECT_EQ(mcp::newest_slot(fake_newest_row, &late, now, &slot), mcp::slot_late);
  EXPECT_EQ(late.asks, 1u);
  StoredSlots young{{}, 5};
  EXPECT_EQ(mcp::newest_slot(fake_newest_row, &young, 5, &slot), mcp::slot_none);
}

}  // namespace
