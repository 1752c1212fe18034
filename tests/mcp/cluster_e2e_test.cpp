// `vimbrel --mcp` against a real cluster on loopback: the built executable as the host, two --agent processes with
// their own settings folders and computer names, and the server with a key and publish.txt of its own, asked over
// its standard input and output as an MCP client asks it. The figures are live, so the checks are what the cluster
// must show: both machines listed online by name, one machine's usage and processes by name, a process found on
// every machine, the cluster's counts, and stored history after the host has closed its first buckets.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "mcp/json.h"
#include "tests/host/net.h"
#include "tests/mcp/json_check.h"
#include "tests/mcp/server_pipes.h"
#include "tests/support/testutil.h"

namespace {

using json_check::view;

// The server over pipes, its home made like an agent's (key file) with publish.txt naming the host.
struct McpServer : mcp_test::ServerPipes {
  McpServer(const std::string& home, u16 port) {
    net::make_home(home);
    testutil::write_file(home + "/config/Vimbrel/publish.txt",
                         "vimbrel-publish 1\npublish off\ntarget 127.0.0.1:" + std::to_string(port) + "\n");
    start({{"HOME", home},
           {"XDG_RUNTIME_DIR", home + "/run"},
           {"XDG_CONFIG_HOME", home + "/config"},
           {"XDG_DATA_HOME", home + "/data"}});
  }
  // One tools/call and its answer line; "<timeout>" after 60 s.
  std::string call(int id, const std::string& tool, const std::string& arguments) {
    return ServerPipes::call(id, tool, arguments, 60000);
  }
};

// The text and the structured content of a tool result.
struct Result {
  std::string line, text, structured;
  bool error = true;
  explicit Result(std::string answer) : line(std::move(answer)) {
    auto doc = std::make_unique<json::Document>();
    json::parse(view(line), doc.get());
    if (doc->error != json::error_none) return;
    u16 result = json::member(doc.get(), view(line), 0, mem::lit("result"));
    u16 content = json::member(doc.get(), view(line), result, mem::lit("content"));
    text = json_check::decoded(doc.get(), view(line),
                               json::member(doc.get(), view(line), static_cast<u16>(content + 1), mem::lit("text")));
    error = json::type_of(doc.get(), json::member(doc.get(), view(line), result, mem::lit("isError"))) ==
            json::type_true;
    u16 s = json::member(doc.get(), view(line), result, mem::lit("structuredContent"));
    if (s != json::none) structured = json_check::str(json::text_of(doc.get(), view(line), s));
  }
  bool has(const std::string& piece) const { return text.find(piece) != std::string::npos; }
};

// Calls until the answer passes, at most the seconds given; the last answer.
template <typename Test>
Result until(McpServer& s, int* id, const std::string& tool, const std::string& args, int seconds, Test test) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  Result r(s.call(++*id, tool, args));
  while (!test(r) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    r = Result(s.call(++*id, tool, args));
  }
  return r;
}

// A host on loopback serving the share folder under dir, until it says it listens.
bool start_host(net::Process* host, const std::string& dir, u16 port) {
  net::make_home(dir + "/host");
  host->start({"--host", dir + "/share", "--port", std::to_string(port), "--listen", "127.0.0.1"}, dir + "/host");
  return host->wait_output("vimbrel host: listening on port " + std::to_string(port) + ", term 1", 30);
}

// The sockets the process holds open, by the kernel's names ("socket:[inode]").
std::set<std::string> sockets_of(pid_t pid) {
  std::set<std::string> found;
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return found;
  while (dirent* e = readdir(d)) {
    char target[128];
    ssize_t n = readlink((folder + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, n).rfind("socket:", 0) == 0) found.insert(std::string(target, n));
  }
  closedir(d);
  return found;
}

TEST(McpClusterEndToEnd, ToolsAnswerForTheMachinesOfARealHost) {
  testutil::TempDir dir;
  u16 port = net::free_port();
  net::Process host;
  ASSERT_TRUE(start_host(&host, dir.path, port)) << host.out();
  net::Agent agents[2];
  const char* names[2] = {"alpha-node", "beta-node"};
  for (u32 i = 0; i < 2; ++i) {
    agents[i].start(dir.path + "/" + names[i], {"--agent", "--server", "127.0.0.1:" + std::to_string(port)}, 0x11,
                    {"/usr/bin/env", std::string("COMPUTERNAME=") + names[i]});
  }
  for (net::Agent& a : agents) ASSERT_TRUE(a.process.wait_output("vimbrel agent: publishing to", 60)) << a.process.out();
  auto started = std::chrono::steady_clock::now();

  McpServer s(dir.path + "/mcp", port);
  int id = 0;
  Result list = until(s, &id, "list_machines", "{}", 60, [](const Result& r) {
    return r.has("list_machines: 2 of 2 machines") && r.has("alpha-node: online") && r.has("beta-node: online");
  });
  EXPECT_TRUE(list.has("list_machines: 2 of 2 machines, state all")) << list.line;
  EXPECT_NE(list.structured.find(R"("name":"alpha-node",)"), std::string::npos) << list.structured;
  // The link stays open between calls: the next calls find the host on the same connection.
  std::set<std::string> link = sockets_of(s.pid);
  EXPECT_FALSE(link.empty());

  Result usage(s.call(++id, "machine_usage", R"({"machine":"ALPHA-NODE"})"));
  EXPECT_FALSE(usage.error) << usage.line;
  EXPECT_TRUE(usage.has("machine_usage of alpha-node")) << usage.text;

  Result top(s.call(++id, "top_processes", R"({"machine":"beta-node","count":3})"));
  EXPECT_FALSE(top.error) << top.line;
  EXPECT_TRUE(top.has("top_processes of beta-node by cpu: 3 of ")) << top.text;
  EXPECT_EQ(sockets_of(s.pid), link);

  Result sums(s.call(++id, "cluster_usage", "{}"));
  EXPECT_TRUE(sums.has("cluster_usage of 2 machines: 2 online, 0 stale, 0 offline, 0 missing")) << sums.text;

  // Across the cluster: this machine's own processes and both agents', each a "vimbrel". The answer keeps the
  // heaviest 50, and a machine running a parallel test suite has more vimbrel processes than that, all heavier than
  // an idle agent's: the agents' rows are looked for there only when every match was kept, and asked of each agent's
  // machine alone in any case.
  Result found(s.call(++id, "find_process", R"({"name":"VIMBREL"})"));
  EXPECT_FALSE(found.error) << found.line;
  EXPECT_TRUE(found.has("find_process on this machine and 2 other machines (0 online or stale machines sent no table "
                        "in time)"))
      << found.text;
  EXPECT_TRUE(found.has("\nthis machine: vimbrel, PID ")) << found.text;
  unsigned kept = 0, matched = 0;
  const size_t counts = found.text.find("in time): ");
  ASSERT_NE(counts, std::string::npos) << found.text;
  ASSERT_EQ(std::sscanf(found.text.c_str() + counts, "in time): %u of %u matching", &kept, &matched), 2) << found.text;
  if (kept == matched) {
    EXPECT_TRUE(found.has("\nalpha-node: vimbrel, PID ")) << found.text;
    EXPECT_TRUE(found.has("\nbeta-node: vimbrel, PID ")) << found.text;
  }
  for (const char* agent : {"alpha-node", "beta-node"}) {
    Result one(s.call(++id, "find_process", std::string(R"({"name":"VIMBREL","machine":")") + agent + "\"}"));
    EXPECT_FALSE(one.error) << one.line;
    EXPECT_TRUE(one.has(std::string("find_process on ") + agent)) << one.text;
    EXPECT_TRUE(one.has("vimbrel, PID ")) << one.text;
  }

  Result unknown(s.call(++id, "machine_usage", R"({"machine":"gamma"})"));
  EXPECT_TRUE(unknown.error);
  EXPECT_EQ(unknown.text, "no machine is named gamma: call list_machines for the names and ids");

  // History: the host closes 10-second buckets; about 25 s in, the last hour holds some of each machine's.
  std::this_thread::sleep_until(started + std::chrono::seconds(25));
  Result history = until(s, &id, "usage_history", R"({"machine":"alpha-node","range":"1h"})", 60,
                         [](const Result& r) { return !r.error && !r.has(" 0 buckets in "); });
  EXPECT_FALSE(history.error) << history.line;
  EXPECT_TRUE(history.has("usage_history of alpha-node: cpu in percent over the last 1h, tier 0 (10 s buckets)"))
      << history.text;
  EXPECT_FALSE(history.has(" 0 buckets in ")) << history.text;
  Result cluster = until(s, &id, "usage_history", R"({"cluster":true,"metric":"net","range":"1h"})", 60,
                         [](const Result& r) { return !r.error && !r.has(" 0 buckets in "); });
  EXPECT_TRUE(cluster.has("usage_history of the cluster: net in KiB/s")) << cluster.text;
  Result process(s.call(++id, "process_history", R"({"machine":"beta-node","name":"vimbrel","range":"1h"})"));
  EXPECT_FALSE(process.error) << process.line;
  EXPECT_TRUE(process.has("process_history of vimbrel on beta-node over the last 1h")) << process.text;

  // Settings that name another server end the kept link: the next call asks the new target (nobody listens there).
  testutil::write_file(dir.path + "/mcp/config/Vimbrel/publish.txt", "vimbrel-publish 1\npublish off\ntarget 127.0.0.1:" +
                                                                          std::to_string(net::free_port()) + "\n");
  Result moved(s.call(++id, "list_machines", "{}"));
  EXPECT_TRUE(moved.error);
  EXPECT_TRUE(moved.has("no answer from the server or share within 8000 ms")) << moved.text;
  for (const std::string& socket : sockets_of(s.pid)) EXPECT_EQ(link.count(socket), 0u) << socket;

  for (net::Agent& a : agents) EXPECT_EQ(a.process.stop(SIGTERM), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0);
}


// The age an answer tells in its text ("sampled <n> ms ago"), -1 when it tells none.
long long age_in_text(const std::string& text) {
  size_t at = text.find(", sampled ");
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + 10);
}

// An agent killed outright is answered, once the host lists it offline, with the age of its last data as the
// host's history tells it: at least the time since the kill, not a fixed bound nor the moment the data came through.
TEST(McpClusterEndToEnd, AnOfflineMachineIsAnsweredWithTheAgeOfItsLastData) {
  testutil::TempDir dir;
  u16 port = net::free_port();
  net::Process host;
  ASSERT_TRUE(start_host(&host, dir.path, port)) << host.out();
  net::Agent agent;
  agent.start(dir.path + "/gone", {"--agent", "--server", "127.0.0.1:" + std::to_string(port)}, 0x11,
              {"/usr/bin/env", "COMPUTERNAME=gone-node"});
  ASSERT_TRUE(agent.process.wait_output("vimbrel agent: publishing to", 60)) << agent.process.out();
  McpServer s(dir.path + "/mcp", port);
  int id = 0;
  Result online = until(s, &id, "machine_usage", R"({"machine":"gone-node"})", 60,
                        [](const Result& r) { return !r.error; });
  EXPECT_FALSE(online.has("(the machine is")) << online.text;

  agent.process.stop(SIGKILL);
  auto killed = std::chrono::steady_clock::now();
  Result list = until(s, &id, "list_machines", "{}", 120, [](const Result& r) { return r.has("gone-node: offline"); });
  ASSERT_TRUE(list.has("gone-node: offline")) << list.text;
  // Some seconds more, so that the age of the data and the state's bound of 60 s differ plainly.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::seconds(12));

  for (const char* tool : {"machine_usage", "top_processes"}) {
    SCOPED_TRACE(tool);
    auto asked = std::chrono::steady_clock::now();
    Result r(s.call(++id, tool, R"({"machine":"gone-node"})"));
    auto answered = std::chrono::steady_clock::now();
    ASSERT_FALSE(r.error) << r.line;
    long long silent = std::chrono::duration_cast<std::chrono::milliseconds>(asked - killed).count();
    long long most = std::chrono::duration_cast<std::chrono::milliseconds>(answered - killed).count();
    long long age = age_in_text(r.text);
    EXPECT_TRUE(r.has(" ms ago (the machine is offline)\n")) << r.text;
    EXPECT_FALSE(r.has("at least")) << r.text;
    // The host's history keeps 10 s slots: the age is that of the slot the last data lie in, so it may pass the
    // silence by up to a slot, and by the seconds an agent held back by a busy machine sampled before the kill. The
    // host's clock is learnt in whole seconds at the accept, which a busy machine may take in seconds late; even so
    // the age stays well above the state's bound of 60 s.
    EXPECT_GE(age, silent - 6000) << r.text;
    EXPECT_LE(age, most + 25000) << r.text;
    EXPECT_NE(r.structured.find("\"sample_age_ms\":" + std::to_string(age) + ","), std::string::npos) << r.structured;
    EXPECT_NE(r.structured.find(R"("machine":"gone-node","state":"offline")"), std::string::npos) << r.structured;
  }
  EXPECT_EQ(host.stop(SIGTERM), 0);
}

// Sealed beacons of a host, sent to a loopback port every 250 ms while it lives, as a host of an elected cluster
// announces itself on the port the cluster uses.
struct BeaconSender {
  std::atomic<bool> running{true};
  std::thread thread;
  BeaconSender(u16 to_port, u16 host_port) {
    thread = std::thread([this, to_port, host_port] {
      auth::KeyState key;
      net::key_state(&key);
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(to_port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      proto::Beacon b{};
      b.flags = 8;
      b.term = 1;
      b.port = host_port;
      b.address = 0x7F000001;
      while (running) {
        ++b.counter;
        u8 raw[64];
        if (proto::encode_beacon(&b, mem::Slice{raw, sizeof raw}) == proto::record_size &&
            auth::seal(&key, mem::Slice{raw, sizeof raw})) {
          sendto(fd, raw, sizeof raw, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
      ::close(fd);
    });
  }
  ~BeaconSender() {
    running = false;
    thread.join();
  }
};

// A share folder that holds no lease: its host is found only by the beacons on the port VIMBREL_BEACON names, which
// the agent and the MCP server follow as the window does.
TEST(McpClusterEndToEnd, AgentAndServerFollowBeaconsOnTheOverriddenPort) {
  testutil::TempDir dir;
  u16 port = net::free_port();
  net::Process host;
  ASSERT_TRUE(start_host(&host, dir.path, port)) << host.out();
  const std::string empty_share = dir.path + "/no-lease";
  std::filesystem::create_directories(empty_share);
  u16 beacon_port = net::free_port();
  BeaconSender beacons(beacon_port, port);
  const std::string beacon = "VIMBREL_BEACON=127.0.0.1:" + std::to_string(beacon_port);

  net::Agent agent;
  agent.process.env = {beacon};
  agent.start(dir.path + "/agent", {"--agent", "--share", empty_share}, 0x11,
              {"/usr/bin/env", "COMPUTERNAME=beacon-node"});
  EXPECT_TRUE(agent.process.wait_output("publishing to 127.0.0.1:" + std::to_string(port), 30)) << agent.process.out();

  const std::string home = dir.path + "/mcp";
  net::make_home(home);
  testutil::write_file(home + "/config/Vimbrel/publish.txt",
                       "vimbrel-publish 1\npublish off\ntarget " + empty_share + "\n");
  mcp_test::ServerPipes s;
  s.start({{"HOME", home},
           {"XDG_RUNTIME_DIR", home + "/run"},
           {"XDG_CONFIG_HOME", home + "/config"},
           {"XDG_DATA_HOME", home + "/data"},
           {"VIMBREL_BEACON", "127.0.0.1:" + std::to_string(beacon_port)}});
  Result list(s.call(1, "list_machines", "{}", 60000));
  for (int id = 2; id < 40 && !list.has("beacon-node: online"); ++id) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    list = Result(s.call(id, "list_machines", "{}", 60000));
  }
  EXPECT_TRUE(list.has("list_machines: 1 of 1 machines")) << list.line;
  EXPECT_TRUE(list.has("beacon-node: online")) << list.line;
  EXPECT_EQ(agent.process.stop(SIGTERM), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0);
}

}  // namespace
