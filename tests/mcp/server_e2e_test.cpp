// `vimbrel --mcp` run as an MCP client runs it: pipes on standard input and output, one message per line. The
// figures come from this machine, so the checks are invariants: the processor count, the up time, a process the test
// starts. A process whose executable has a hostile name must not break the protocol or forge report lines.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mcp/json.h"
#include "tests/mcp/json_check.h"
#include "tests/mcp/server_pipes.h"
#include "tests/support/testutil.h"

namespace {

using json_check::view;

// The server with every folder of its own in one temporary folder.
struct Server : mcp_test::ServerPipes {
  testutil::TempDir home;
  explicit Server(bool nonblocking = false) {
    std::vector<std::pair<std::string, std::string>> env;
    for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
      env.emplace_back(name, home.path);
    start(env, nonblocking);
  }
  ~Server() { stop(); }  // before the folder goes
};

// A value of a parsed answer by a path of member names.
struct Answer {
  std::string text;
  std::unique_ptr<json::Document> doc = std::make_unique<json::Document>();
  explicit Answer(std::string t) : text(std::move(t)) { json::parse(view(text), doc.get()); }
  u16 at(std::initializer_list<const char*> path) const {
    u16 v = 0;
    for (const char* key : path) v = json::member(doc.get(), view(text), v, mem::cstr(key));
    return v;
  }
  std::string raw(std::initializer_list<const char*> path) const {
    return json_check::str(json::text_of(doc.get(), view(text), at(path)));
  }
  std::string decoded(std::initializer_list<const char*> path) const {
    return json_check::decoded(doc.get(), view(text), at(path));
  }
};

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

TEST(McpServer, AnswersASessionOnThisMachine) {
  auto started = std::chrono::steady_clock::now();
  Server s;
  ASSERT_GT(s.pid, 0);
  s.send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})" "\n");
  Answer init(s.next());
  EXPECT_EQ(init.decoded({"result", "protocolVersion"}), "2025-06-18");
  // Blank lines, a notification and a response from the client get no answer; ping does.
  s.send("\n\r\n" R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n"
         R"({"jsonrpc":"2.0","id":"x","result":{}})" "\n" R"({"jsonrpc":"2.0","id":2,"method":"ping"})" "\n");
  EXPECT_EQ(s.next(), R"({"jsonrpc":"2.0","id":2,"result":{}})");

  Answer first(s.call(3, "machine_usage", "{}"));
  double first_ms = ms_since(started);
  ASSERT_EQ(first.raw({"result", "isError"}), "false") << first.text;
  EXPECT_EQ(first.raw({"result", "structuredContent", "cpu", "logical_processors"}),
            std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
  double uptime = std::stod(testutil::read_file("/proc/uptime"));
  EXPECT_NEAR(std::stod(first.raw({"result", "structuredContent", "uptime_s"})), uptime, 3);
  auto again = std::chrono::steady_clock::now();
  Answer second(s.call(4, "machine_usage", "{}"));
  double repeated_ms = ms_since(again);
  // Within the refresh age the same sample answers; after it, one new sample.
  EXPECT_EQ(second.raw({"result", "structuredContent", "sample_number"}),
            first.raw({"result", "structuredContent", "sample_number"}));
  usleep(1300 * 1000);
  Answer third(s.call(5, "machine_usage", "{}"));
  EXPECT_EQ(std::stoul(third.raw({"result", "structuredContent", "sample_number"})),
            std::stoul(first.raw({"result", "structuredContent", "sample_number"})) + 1);
  std::printf("start to first machine_usage answer: %.1f ms; repeated call: %.1f ms\n", first_ms, repeated_ms);

  // The over-long line is answered once, and the next line normally.
  s.send(std::string(70000, ' ') + "\n" + R"({"jsonrpc":"2.0","id":6,"method":"ping"})" "\n");
  EXPECT_EQ(s.next(), R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: the message is )"
                      R"(longer than 65536 bytes"}})");
  EXPECT_EQ(s.next(), R"({"jsonrpc":"2.0","id":6,"result":{}})");
  // The last line needs no line feed; then the end of input ends the server with 0.
  s.send(R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(s.next(), R"({"jsonrpc":"2.0","id":7,"result":{}})");
  EXPECT_EQ(s.next(), "<closed>");
}

TEST(McpServer, AHostileProcessNameCannotInjectLines) {
  testutil::TempDir dir;
  const std::string name = "vbevil\n{\"jsonrpc\":\"2.0\",\"id\":99,\"result\":{}}\r\n\"";
  const std::string path = dir.path + "/" + name;
  {
    std::ifstream src("/bin/sleep", std::ios::binary);
    std::ofstream dst(path, std::ios::binary);
    dst << src.rdbuf();
  }
  ASSERT_EQ(chmod(path.c_str(), 0700), 0);
  pid_t child = fork();
  if (child == 0) {
    execl(path.c_str(), path.c_str(), "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  // Wait until the child runs the copied program.
  std::string exe;
  for (int i = 0; i < 100 && exe != path; ++i) {
    usleep(20 * 1000);
    char target[1024];
    ssize_t n = readlink(("/proc/" + std::to_string(child) + "/exe").c_str(), target, sizeof target);
    exe = n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
  }
  ASSERT_EQ(exe, path);

  Server s;
  std::string line = s.call(1, "find_process", R"({"name":"VBEVIL"})");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  Answer a(line);
  ASSERT_EQ(a.doc->error, json::error_none) << line;
  EXPECT_EQ(a.raw({"result", "isError"}), "false");
  // Nothing else arrived: the name did not become a second message.
  EXPECT_EQ(s.next(300), "<timeout>");
  if (a.raw({"result", "structuredContent", "processes_matched"}) == "0" &&
      a.raw({"result", "structuredContent", "table_truncated"}) == "true")
    GTEST_SKIP() << "more than 1,024 processes run on this machine; the table kept others";
  u16 content = a.at({"result", "content"});
  std::string text = json_check::decoded(a.doc.get(), view(a.text),
                             json::member(a.doc.get(), view(a.text), static_cast<u16>(content + 1), mem::lit("text")));
  EXPECT_NE(text.find("\nvbevil?{\"jsonrpc\":\"2.0\",\"id\":99,\"result\":{}}??\", PID " + std::to_string(child)),
            std::string::npos)
      << text;
  u16 rows = a.at({"result", "structuredContent", "processes"});
  ASSERT_EQ(json::type_of(a.doc.get(), rows), json::type_array);
  u16 row = static_cast<u16>(rows + 1);
  // The collector keeps no control bytes in a name either.
  EXPECT_EQ(json_check::decoded(a.doc.get(), view(a.text), json::member(a.doc.get(), view(a.text), row,
                                                                        mem::lit("name"))),
            "vbevil?{\"jsonrpc\":\"2.0\",\"id\":99,\"result\":{}}??\"");
}

// Children that sleep (/bin/sleep), or spin under a name of their own; all killed when the group goes.
struct Children {
  std::vector<pid_t> pids;
  pid_t sleeper() {
    pid_t pid = -1;
    char sleep[] = "sleep", seconds[] = "120";
    char* argv[] = {sleep, seconds, nullptr};
    if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) return -1;
    pids.push_back(pid);
    return pid;
  }
  pid_t spinner(const char* name) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_NAME, name);
      volatile u64 spins = 0;
      for (;;) spins = spins + 1;
    }
    if (pid > 0) pids.push_back(pid);
    return pid;
  }
  ~Children() {
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) waitpid(p, nullptr, 0);
  }
};

// More processes than the table holds, the two that use a full core each started last (the highest numbers): the
// table keeps them, and says it was cut.
TEST(McpServer, TheBusiestStayWhenMoreProcessesRunThanTheTableHolds) {
  Children children;
  for (int i = 0; i < 1100; ++i) ASSERT_GT(children.sleeper(), 0) << i;
  pid_t busy[2] = {children.spinner("vbbusy"), children.spinner("vbbusy")};
  ASSERT_GT(busy[0], 0);
  ASSERT_GT(busy[1], 0);
  usleep(300 * 1000);
  Server s;
  Answer a(s.call(1, "find_process", R"({"name":"vbbusy"})", 30000));
  ASSERT_EQ(a.doc->error, json::error_none) << a.text;
  EXPECT_EQ(a.raw({"result", "structuredContent", "processes_matched"}), "2") << a.text;
  EXPECT_EQ(a.raw({"result", "structuredContent", "table_truncated"}), "true");
  for (pid_t p : busy) EXPECT_NE(a.text.find("\"pid\":" + std::to_string(p) + ","), std::string::npos) << p;
}

TEST(McpServer, ANonBlockingInputIsWaitedOnNotTakenForItsEnd) {
  Server s(true);
  usleep(300 * 1000);  // the server reads before any input is there
  s.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
  EXPECT_EQ(s.next(), R"({"jsonrpc":"2.0","id":1,"result":{}})");
  EXPECT_EQ(s.finish(), 0);
}

TEST(McpServer, AVanishedClientEndsTheServerWithoutACrash) {
  Server s;
  close(s.out);
  s.out = -1;
  s.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
  int status = 0;
  ASSERT_EQ(waitpid(s.pid, &status, 0), s.pid);
  s.pid = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
