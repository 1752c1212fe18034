// vimbrel --agent as a user runs it: its own settings folders, a cluster key, and a test host on loopback that
// speaks the cluster protocol. What the host receives must agree with --print on the same machine.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wire/proto.h"
#include "platform/kobj.h"
#include "tests/cluster/link_host.h"
#include "tests/support/testutil.h"

namespace {

const char* const secret_line = "vimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n";

// The key the test host holds: the same 32 bytes as the key file above.
void host_key(auth::KeyState* key) {
  u8 k[32];
  for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>((i % 16) * 0x11);
  auth::key_init(key, mem::Bytes(k, 32));
}

double seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The user's folders of one agent: settings (with the key), data and runtime.
struct Home {
  testutil::TempDir dir;
  std::string root = dir.path;  // the folder the user's folders are made in
  std::string config() const { return root + "/config/Vimbrel"; }
  void write_key(mode_t mode = 0600) const {
    std::filesystem::create_directories(config());
    std::string path = config() + "/cluster.key";
    testutil::write_file(path, secret_line);
    chmod(path.c_str(), mode);
  }
  std::vector<std::string> env() const {
    return {"HOME=" + root, "XDG_CONFIG_HOME=" + root + "/config", "XDG_DATA_HOME=" + root + "/data",
            "XDG_RUNTIME_DIR=" + root + "/run", "PATH=/usr/bin:/bin"};
  }
};

// A running vimbrel with its standard output in a file.
struct Agent {
  pid_t pid = -1;
  std::string out_path;
  Agent(const Home& home, const std::vector<std::string>& args) {
    out_path = home.dir.path + "/agent.out";
    std::vector<std::string> argv = {VIMBREL_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs = home.env();
    std::filesystem::create_directories(home.root + "/run");
    chmod((home.root + "/run").c_str(), 0700);
    pid = fork();
    if (pid == 0) {
      int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      std::vector<char*> a, e;
      for (auto& s : argv) a.push_back(s.data());
      for (auto& s : envs) e.push_back(s.data());
      a.push_back(nullptr);
      e.push_back(nullptr);
      execve(VIMBREL_EXE, a.data(), e.data());
      _exit(127);
    }
  }
  std::string out() const { return testutil::read_file(out_path); }
  // The exit code after the signal, waiting at most the seconds given; -1 when it did not end.
  int stop(int signal, double within = 5) {
    if (pid <= 0) return -1;
    if (signal != 0) kill(pid, signal);
    double end = seconds() + within;
    int status = 0;
    while (seconds() < end) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }
  ~Agent() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// The test host on a loopback port, served until the condition holds or the time is up.
struct TestHost {
  link_host::SocketHost socket;
  std::vector<link_host::Bytes> frames;  // every frame taken, across connections
  // port 0: an ephemeral one; else that port, as a restarted host takes its port again.
  explicit TestHost(bool right_key = true, u16 port = 0) {
    if (right_key) host_key(&socket.host.key);
    if (port != 0) {
      if (socket.listener != sock::invalid_socket) sock::close(socket.listener);
      socket.port = sock::listen(0x7F000001, port, &socket.listener) == sock::done ? port : 0;
    }
  }
  template <typename Done>
  bool serve_until(Done done, double within) {
    double end = seconds() + within;
    while (seconds() < end) {
      socket.serve();
      for (auto& f : socket.host.frames) frames.push_back(f);
      socket.host.frames.clear();
      if (done()) return true;
      usleep(5000);
    }
    return false;
  }
  const link_host::Bytes* last(u32 kind) const {
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
      if (proto::frame_kind(mem::Bytes(it->data(), it->size())) == kind) return &*it;
    }
    return nullptr;
  }
  u32 count(u32 kind) const {
    u32 n = 0;
    for (auto& f : frames) n += proto::frame_kind(mem::Bytes(f.data(), f.size())) == kind;
    return n;
  }
};

std::string name_of(const proto::Inventory& inv, u32 slot) {
  return std::string(reinterpret_cast<const char*>(inv.names[slot]), strnlen(reinterpret_cast<const char*>(inv.names[slot]), 32));
}

// "key: value" lines of --print, the first of each key.
std::map<std::string, std::string> print_report() {
  testutil::RunResult r = testutil::run_vimbrel("--print");
  std::map<std::string, std::string> lines;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t end = r.out.find('\n', at);
    if (end == std::string::npos) end = r.out.size();
    std::string one = r.out.substr(at, end - at);
    size_t colon = one.find(": ");
    if (colon != std::string::npos && !lines.count(one.substr(0, colon))) lines[one.substr(0, colon)] = one.substr(colon + 2);
    at = end + 1;
  }
  return lines;
}

TEST(AgentMode, PublishesThisMachineToTheHostAndStopsOnSigterm) {
  Home home;
  home.write_key();
  TestHost host;
  ASSERT_NE(host.socket.port, 0);
  std::string target = "127.0.0.1:" + std::to_string(host.socket.port);
  Agent agent(home, {"--agent", "--server", target});
  // Inventory and samples each second, temperatures with the first sample, processes every two seconds.
  ASSERT_TRUE(host.serve_until([&] { return host.count(proto::kind_procs) >= 2 && host.count(proto::kind_sample) >= 3; },
                               20))
      << agent.out();
  EXPECT_FALSE(host.socket.host.bad);
  EXPECT_EQ(host.socket.host.hello.role, proto::role_publisher);
  EXPECT_EQ(host.count(proto::kind_inventory), 1u) << "the inventory goes again only when it changes";
  EXPECT_GE(host.count(proto::kind_temps), 1u);

  proto::Inventory inv{};
  const link_host::Bytes* f = host.last(proto::kind_inventory);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(proto::decode_inventory(mem::Bytes(f->data(), f->size()), &inv), proto::ok);
  EXPECT_EQ(memcmp(inv.id, host.socket.host.hello.id, 16), 0);
  EXPECT_EQ(inv.version[0], 0);
  EXPECT_EQ(inv.version[1], 1);
  EXPECT_EQ(inv.version[2], 81);
  EXPECT_EQ(inv.os_family, 2);
  EXPECT_EQ(name_of(inv, proto::name_os).rfind("Linux ", 0), 0u) << name_of(inv, proto::name_os);
  std::map<std::string, std::string> report = print_report();
  EXPECT_EQ("cpu: " + report["cpu"], "cpu: " + name_of(inv, proto::name_cpu));
  EXPECT_EQ(report["cores"], std::to_string(inv.hw16[1]) + " logical processors");
  EXPECT_EQ(report["memory total"], std::to_string(inv.hw32[0]) + " MiB");
  EXPECT_EQ(report["commit limit"], std::to_string(inv.hw32[9]) + " MiB");

  // The process rows: this machine has fewer than 256 processes, so the agent itself is among them.
  proto::ProcRecord record{};
  for (auto& frame : host.frames) {
    if (proto::frame_kind(mem::Bytes(frame.data(), frame.size())) != proto::kind_procs) continue;
    ASSERT_EQ(proto::decode_procs(mem::Bytes(frame.data(), frame.size()), &record), proto::ok);
  }
  bool found = false;
  for (u32 i = 0; i < record.count; ++i) {
    if (record.rows[i].pid != static_cast<u32>(agent.pid)) continue;
    found = true;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.rows[i].name)), "vimbrel");
    EXPECT_GT(record.rows[i].memory, 0u);
  }
  EXPECT_TRUE(found) << record.count << " rows";
  EXPECT_GT(record.totals[0], 1u);

  EXPECT_EQ(agent.stop(SIGTERM), 0);
  std::string out = agent.out();
  EXPECT_EQ(out.rfind("vimbrel agent: publishing to " + target + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("vimbrel agent: publishing to " + target + ", term 5\n"), std::string::npos) << out;
  // A steady open link prints its line once.
  EXPECT_EQ(out.find("term 5\n"), out.rfind("term 5\n")) << out;
  // publish.txt gained a machine id, the one the hello carried.
  std::string publish = testutil::read_file(home.config() + "/publish.txt");
  EXPECT_NE(publish.find("\nid "), std::string::npos) << publish;
}

TEST(AgentMode, ReconnectsWhenTheHostComesBackAndStopsOnItsQuitEvent) {
  Home home;
  home.write_key();
  u16 port = 0;
  std::string target;
  Agent* running = nullptr;
  {
    TestHost first;
    port = first.socket.port;
    target = "127.0.0.1:" + std::to_string(port);
    running = new Agent(home, {"--agent", "--server", target});
    ASSERT_TRUE(first.serve_until([&] { return first.count(proto::kind_sample) >= 1; }, 20)) << running->out();
  }  // the host goes away: its listener and the connection close
  TestHost second(true, port);
  ASSERT_EQ(second.socket.port, port);
  double start = seconds();
  ASSERT_TRUE(second.serve_until([&] { return second.count(proto::kind_sample) >= 1; }, 20)) << running->out();
  EXPECT_LT(seconds() - start, 8.0) << "within the back-off of a link that failed once or twice";
  EXPECT_EQ(second.count(proto::kind_inventory), 1u) << "a new connection starts with the inventory";

  // The quit event of the agent's process stops it as SIGTERM does.
  setenv("XDG_RUNTIME_DIR", (home.root + "/run").c_str(), 1);
  u8 name[96];
  u32 n = kobj::quit_event_name(static_cast<u32>(running->pid), name);
  EXPECT_EQ(kobj::signal_event(mem::Bytes(name, n)), 1u);
  EXPECT_EQ(running->stop(0), 0);
  delete running;
}

TEST(AgentMode, WrongKeyNeverPublishes) {
  Home home;
  home.write_key();
  TestHost host(false);  // the host holds another key
  std::string target = "127.0.0.1:" + std::to_string(host.socket.port);
  Agent agent(home, {"--agent", "--server", target});
  host.serve_until([&] { return agent.out().find("failed its proof") != std::string::npos; }, 10);
  EXPECT_EQ(agent.stop(SIGINT), 0);
  EXPECT_NE(agent.out().find("vimbrel agent: the host failed its proof"), std::string::npos) << agent.out();
  EXPECT_TRUE(host.frames.empty()) << "no data frame crossed";
}

// Settings, data and runtime folders named in UTF-8 serve as any others: the key is found, publish.txt gains its
// id, and the quit event lives in the runtime folder. A folder whose name is no UTF-8 is named in the refusal.
TEST(AgentMode, FoldersNamedInUtf8) {
  Home home;
  home.root = home.dir.path + "/j\xc3\xb6s\xc3\xa9 \xe6\x97\xa5";
  home.write_key();
  TestHost host;
  std::string target = "127.0.0.1:" + std::to_string(host.socket.port);
  Agent agent(home, {"--agent", "--server", target});
  ASSERT_TRUE(host.serve_until([&] { return host.count(proto::kind_sample) >= 1; }, 20)) << agent.out();
  EXPECT_NE(testutil::read_file(home.config() + "/publish.txt").find("\nid "), std::string::npos);
  setenv("XDG_RUNTIME_DIR", (home.root + "/run").c_str(), 1);
  u8 name[96];
  u32 n = kobj::quit_event_name(static_cast<u32>(agent.pid), name);
  EXPECT_EQ(kobj::signal_event(mem::Bytes(name, n)), 1u);
  EXPECT_EQ(agent.stop(0), 0);
  unsetenv("XDG_RUNTIME_DIR");

  Home refused;
  refused.root = refused.dir.path + "/caf\xe9";
  refused.write_key();
  testutil::RunResult r = testutil::run_vimbrel("--agent --server 127.0.0.1:9", refused.root);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "vimbrel agent: no cluster key file\n");
  const std::string shown = refused.dir.path + "/caf\\xe9";
  EXPECT_EQ(r.err, "vimbrel: the settings folder cannot be used: $XDG_CONFIG_HOME (" + shown +
                       "/config) is not UTF-8\n"
                       "vimbrel: the data folder cannot be used: $XDG_DATA_HOME (" + shown + "/data) is not UTF-8\n"
                       "vimbrel: the runtime folder cannot be used: $XDG_RUNTIME_DIR (" + shown +
                       "/run) is not UTF-8\n");
}

struct StartCase {
  const char* name;
  mode_t key_mode;       // 0: no key file
  const char* publish;   // publish.txt, or null for none
  bool kept;             // publish.txt stays byte for byte (a good file without an id gains one)
  const char* args;
  int code;
  const char* out;
};

TEST(AgentMode, StartRefusalsAndTheirExitCodes) {
  const StartCase cases[] = {
      {"no key", 0, nullptr, false, "--agent --server 127.0.0.1:9", 2, "vimbrel agent: no cluster key file\n"},
      {"key readable by others", 0644, nullptr, false, "--agent --server 127.0.0.1:9", 2,
       "vimbrel agent: the cluster key file can be read by others; allow only its owner (chmod 600)\n"},
      {"key readable by the group", 0640, nullptr, false, "--agent --server 127.0.0.1:9", 2,
       "vimbrel agent: the cluster key file can be read by others; allow only its owner (chmod 600)\n"},
      {"no target", 0600, nullptr, false, "--agent", 4, "vimbrel agent: no server or share to publish to\n"},
      {"publishing off", 0600, "vimbrel-publish 1\npublish off\ntarget 10.0.0.1\n", false, "--agent", 4,
       "vimbrel agent: no server or share to publish to\n"},
      {"damaged publish.txt", 0600, "vimbrel-publish 9\npublish on\ntarget 10.0.0.1\n", true,
       "--agent --server 127.0.0.1:9",
       4,
       "vimbrel agent: publish.txt cannot be read; it is left as it is (mend or remove it) and no machine id is "
       "made\n"},
  };
  for (const StartCase& c : cases) {
    Home home;
    if (c.key_mode != 0) home.write_key(c.key_mode);
    std::filesystem::create_directories(home.config());
    if (c.publish) testutil::write_file(home.config() + "/publish.txt", c.publish);
    testutil::RunResult r = testutil::run_vimbrel(c.args, home.dir.path);
    EXPECT_EQ(r.exit_code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    if (c.kept) {
      EXPECT_EQ(testutil::read_file(home.config() + "/publish.txt"), c.publish) << c.name;
    }
  }
}

}  // namespace
