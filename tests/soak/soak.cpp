// A cluster host under a steady load for a while: the built program as a host on a folder of its own, agents (the
// program again, each with its own settings folder, machine id and computer name) publishing once a second on
// loopback, one of them killed (SIGKILL) and started again every 10 s, a viewer that watches the machine list and
// asks for stored history, and an MCP server asked all along. At the end it prints the host's resident memory after
// the warm-up and at the end, the longest time any member went without a new sample in the list, and the stored
// seconds missing from the history of an agent that ran throughout.
//   soak <vimbrel> <seconds> [<agents>] [--check]
// With --check it ends with 1 when a member went more than 15 s without a sample, a stored second is missing, a
// member is not online at the end, or the MCP server answered nothing; the memory figures are printed, not judged.
// Such a run (or its warm-up) failing on a machine whose load average passed its processor count at any time of the
// run ends with 77 instead (not judged); the highest load average seen is printed with the figures either way.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/memberlink.h"
#include "bench/procstat.h"

namespace {


constexpr u32 restart_every_ms = 10000;
constexpr u64 gap_limit_ms = 15000;
constexpr u32 bucket_seconds = 10;
// Seconds since 2025-01-01 00:00 UTC, the cluster's clock.
constexpr i64 epoch_2025 = 1735689600;

using memberlink::now_ms;

u32 wall_seconds() { return u32(time(nullptr) - epoch_2025); }

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---- Processes of the run.

struct Home {
  std::string dir;
  std::string name;  // the computer name, empty for the host and the MCP server
};

Home make_home(const std::string& root, const std::string& folder, const std::string& key_line,
               const std::string& name = "") {
  Home h{root + "/" + folder, name};
  std::filesystem::create_directories(h.dir + "/config/Vimbrel");
  std::filesystem::create_directories(h.dir + "/data");
  std::filesystem::create_directories(h.dir + "/run");
  chmod((h.dir + "/run").c_str(), 0700);
  const std::string key = h.dir + "/config/Vimbrel/cluster.key";
  int fd = open(key.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    if (write(fd, key_line.data(), key_line.size()) < 0) perror("key file");
    close(fd);
  }
  return h;
}

// Starts the program in the home with its output appended to the home's log; with pipes, its standard input and
// output are the pipes' ends (in_fd to write to it, out_fd to read from it). The child dies with this process.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const Home& home, int* in_fd = nullptr,
            int* out_fd = nullptr) {
  int to_child[2] = {-1, -1}, from_child[2] = {-1, -1};
  if (in_fd && (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)) return -1;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) {
    if (in_fd) {
      close(to_child[0]);
      close(from_child[1]);
      *in_fd = to_child[1];
      *out_fd = from_child[0];
    }
    return pid;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  setenv("HOME", home.dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.dir + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home.dir + "/data").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home.dir + "/run").c_str(), 1);
  unsetenv("DISPLAY");
  if (!home.name.empty()) setenv("COMPUTERNAME", home.name.c_str(), 1);
  int log = open((home.dir + "/log.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  int null_in = open("/dev/null", O_RDONLY);
  dup2(in_fd ? to_child[0] : null_in, 0);
  dup2(in_fd ? from_child[1] : log, 1);
  dup2(log, 2);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(100000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

u16 free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  u16 port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

double load_average() {
  double load = 0;
  std::istringstream(read_text("/proc/loadavg")) >> load;
  return load;
}

long processors() { return sysconf(_SC_NPROCESSORS_ONLN); }

// The highest one-minute load average of the machine while the soak runs, read once a second: a load that passed
// the processors for a while and fell again before the end still starved the agents.
struct LoadWatch {
  double peak = 0;
  u64 next_ms = 0;
  void sample(u64 now) {
    if (now < next_ms) return;
    peak = std::max(peak, load_average());
    next_ms = now + 1000;
  }
};

// Agents that could not sample in time on a machine busy beyond its processors say nothing about the host: a run
// that fails there, in its warm-up or after, is reported as not judged (ctest shows it skipped). True, with the
// reason printed, when the load average has passed the processor count at any time of the run.
bool not_judged(LoadWatch* load) {
  load->peak = std::max(load->peak, load_average());
  if (load->peak <= double(processors())) return false;
  printf("soak not judged: the load average reached %.1f on %ld processors; the agents could not keep their second\n",
         load->peak, processors());
  return true;
}


// ---- The viewer: a cluster link with the viewer role, as the window's Machines page opens one.

struct Member {
  std::string name;
  u32 stamp = 0;
  u64 changed_ms = 0;  // when the stamp last changed (0: not seen yet)
  u64 longest_ms = 0;
  u32 first_seen = 0;  // wall seconds
  u8 state = 3;
};

struct Viewer : memberlink::Link {
  u64 lists = 0;
  std::map<std::string, Member> members;  // by machine id
  bool measuring = false;
  std::set<u32> slots;  // bucket slots of the history answer being read
  bool answered = false;

  bool ping() {
    u8 frame[64];
    return send_sealed(frame, proto::encode_ping(mem::Slice{frame, sizeof frame}), sizeof frame);
  }
  bool ask_history(const std::string& id, u32 first, u32 last) {
    proto::HistoryAsk ask{};
    memcpy(ask.id, id.data(), 16);
    ask.first = first;
    ask.last = last;
    u8 frame[256];
    slots.clear();
    answered = false;
    return send_sealed(frame, proto::encode_history(&ask, mem::Slice{frame, sizeof frame}), sizeof frame);
  }
  void take_list(mem::Bytes frame, u64 now) {
    static proto::MachineList list;
    if (proto::decode_list(frame, &list) != 0) return;
    ++lists;
    for (u32 i = 0; i < list.count; ++i) {
      const char* name = reinterpret_cast<const char*>(list.names[i]);
      Member& m = members[std::string(reinterpret_cast<const char*>(list.ids[i]), 16)];
      m.name.assign(name, strnlen(name, 32));
      const proto::Summary& s = list.summaries[i];
      m.state = s.state;
      if (s.state == 0 && m.first_seen == 0) m.first_seen = wall_seconds();
      if (s.state == 0 && s.stamp != m.stamp) {
        if (measuring && m.changed_ms != 0) m.longest_ms = std::max(m.longest_ms, now - m.changed_ms);
        m.changed_ms = now;
        m.stamp = s.stamp;
      }
    }
  }
  void take_buckets(mem::Bytes frame) {
    u32 count = 0, more = 0;
    if (proto::check_buckets(frame, &count, &more) != 0) return;
    for (u32 i = 0; i < count; ++i) {
      u8 bucket[proto::bucket_size];
      if (proto::bucket_at(frame, i, bucket)) slots.insert(proto::get32(mem::Bytes(bucket, sizeof bucket), 0));
    }
    if (!more) answered = true;
  }
  // Takes what arrived; false when the link ended.
  bool pump(u64 now) {
    u8 buf[65536];
    for (;;) {
      ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (r == 0) return false;
      if (r < 0) break;
      in.insert(in.end(), buf, buf + r);
    }
    for (;;) {
      if (in.size() < proto::header_size) return true;
      u32 n = proto::frame_len(mem::Bytes(in.data(), in.size()));
      if (n == 0) return false;
      if (in.size() < n + proto::tag_size) return true;
      mem::Bytes frame(in.data(), n);
      if (!peer::opened(&p, mem::Bytes(in.data(), n + proto::tag_size))) return false;
      if (proto::frame_kind(frame) == proto::kind_list) take_list(frame, now);
      if (proto::frame_kind(frame) == proto::kind_buckets) take_buckets(frame);
      in.erase(in.begin(), in.begin() + n + proto::tag_size);
    }
  }
};

// ---- The MCP server, asked one request at a time.

struct Mcp {
  pid_t pid = -1;
  int to = -1, from = -1;
  std::string pending;
  u32 next_id = 1;
  u32 waiting = 0;  // the id asked and not answered yet, 0 none
  u64 asked_ms = 0;
  u32 answers = 0, failures = 0;
  u64 slowest_ms = 0;

  void write_line(const std::string& line) {
    std::string l = line + "\n";
    if (write(to, l.data(), l.size()) < 0) ++failures;
  }
  void ask(const std::string& method, const std::string& params, u64 now) {
    waiting = next_id++;
    asked_ms = now;
    write_line("{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(waiting) + ",\"method\":\"" + method +
               "\",\"params\":" + params + "}");
  }
  void start(const std::string& program, const Home& home, u64 now) {
    pid = spawn(program, {"--mcp"}, home, &to, &from);
    fcntl(from, F_SETFL, O_NONBLOCK);
    ask("initialize",
        "{\"protocolVersion\":\"2025-06-18\",\"capabilities\":{},\"clientInfo\":{\"name\":\"soak\",\"version\":\"1\"}}",
        now);
  }
  void pump(u64 now) {
    char buf[65536];
    for (;;) {
      ssize_t r = read(from, buf, sizeof buf);
      if (r <= 0) break;
      pending.append(buf, size_t(r));
    }
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (waiting == 0 || line.find("\"id\":" + std::to_string(waiting) + ",") == std::string::npos) continue;
      bool good = line.find("\"result\"") != std::string::npos && line.find("\"isError\":true") == std::string::npos;
      good ? ++answers : ++failures;
      if (waiting == 1) write_line("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}");
      slowest_ms = std::max(slowest_ms, now - asked_ms);
      waiting = 0;
    }
  }
};

struct Run {
  std::string program;
  u32 seconds = 60;
  u32 agents = 64;
  bool check = false;
};

// The viewer joins before the agents come, and tries again for a while: a host taking the handshakes of many agents
// from this one address may close a join that has not proved itself yet to make room for them.
bool join_viewer(Viewer* viewer, u16 port, const auth::KeyState* key) {
  for (u32 attempt = 0; attempt < 20; ++attempt) {
    if (viewer->fd >= 0) close(viewer->fd);
    viewer->fd = -1;
    viewer->in.clear();
    if (viewer->join(port, key, proto::role_viewer, nullptr)) return true;
    sleep(1);
  }
  return false;
}

int soak(const Run& run) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-soak-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 2;
  const std::string root = pattern;
  u8 key_bytes[32];
  std::string key_line = "vimbrel-key 1 ";
  for (u32 i = 0; i < 32; ++i) {
    key_bytes[i] = u8(0x5A ^ (i * 7));
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", key_bytes[i]);
    key_line += hex;
  }
  key_line += "\n";
  auth::KeyState key;
  auth::key_init(&key, mem::Bytes(key_bytes, 32));

  const u16 port = free_port();
  const std::string server = "127.0.0.1:" + std::to_string(port);
  Home host_home = make_home(root, "host", key_line);
  pid_t host = spawn(run.program, {"--host", root + "/share", "--port", std::to_string(port), "--listen", "127.0.0.1"},
                     host_home);
  std::vector<Home> homes;
  std::vector<pid_t> agents;
  Viewer viewer;
  Mcp mcp;
  int result = 0;
  LoadWatch load;
  auto finish = [&](int code) {
    mcp.waiting = 0;
    if (mcp.to >= 0) close(mcp.to);
    stop(mcp.pid);
    for (pid_t a : agents) stop(a);
    stop(host);
    if (viewer.fd >= 0) close(viewer.fd);
    std::error_code ignored;
    if (code == 0 || !getenv("SOAK_KEEP")) std::filesystem::remove_all(root, ignored);
    return code;
  };
  const std::string listening = "listening on port " + std::to_string(port);
  for (u64 end = now_ms() + 60000; read_text(host_home.dir + "/log.txt").find(listening) == std::string::npos;) {
    if (now_ms() > end || waitpid(host, nullptr, WNOHANG) == host) {
      fprintf(stderr, "soak: the host did not start:\n%s", read_text(host_home.dir + "/log.txt").c_str());
      host = -1;
      return finish(2);
    }
    usleep(100000);
  }
  if (!join_viewer(&viewer, port, &key)) {
    fprintf(stderr, "soak: the viewer could not join\n");
    return finish(run.check && not_judged(&load) ? 77 : 2);
  }
  for (u32 i = 0; i < run.agents; ++i) {
    char name[16];
    snprintf(name, sizeof name, "soak-%02u", i);
    homes.push_back(make_home(root, name, key_line, name));
    agents.push_back(spawn(run.program, {"--agent", "--server", server}, homes.back()));
    // Read while the agents start: a viewer that lets the lists pile up is closed by the host as too slow.
    if (!viewer.pump(now_ms())) {
      fprintf(stderr, "soak: the viewer's link ended while the agents started\n");
      return finish(run.check && not_judged(&load) ? 77 : 2);
    }
  }
  Home mcp_home = make_home(root, "mcp", key_line);
  {
    std::ofstream publish(mcp_home.dir + "/config/Vimbrel/publish.txt");
    publish << "vimbrel-publish 1\npublish off\ntarget " << server << "\n";
  }
  mcp.start(run.program, mcp_home, now_ms());

  // Warm-up: every agent listed online, then 10 s more (the last of them sends its first samples, the host's
  // history takes its first buckets). At most two minutes.
  u64 start = now_ms();
  auto online = [&] {
    u32 n = 0;
    for (auto& [id, m] : viewer.members) n += m.state == 0;
    return n;
  };
  u64 all_online = 0;
  // The host closes a member silent for a minute, and a loaded machine's warm-up can last longer: like the window's
  // link, which pings after 10 s without a send, the viewer pings every 15 s from its join on.
  u64 next_ping = start + 15000;
  for (;;) {
    u64 now = now_ms();
    if (!viewer.pump(now)) {
      fprintf(stderr, "soak: the viewer's link ended\n");
      return finish(2);
    }
    mcp.pump(now);
    load.sample(now);
    if (now >= next_ping) {
      viewer.ping();
      next_ping += 15000;
    }
    if (all_online == 0 && online() == run.agents) all_online = now;
    if (all_online != 0 && now - all_online >= 10000) break;
    if (now - start > 120000) {
      fprintf(stderr, "soak: %u of %u agents online after two minutes\n", online(), run.agents);
      return finish(run.check && not_judged(&load) ? 77 : 2);
    }
    usleep(100000);
  }
  printf("warm-up: %u agents online after %.1f s\n", run.agents, double(all_online - start) / 1000);
  const u64 rss_start = procstat::rss_kib(host);
  viewer.measuring = true;
  for (auto& [id, m] : viewer.members) m.changed_ms = now_ms();

  // The run: a kill and restart every 10 s (never agent 0, whose history is checked), a ping every 15 s, the MCP
  // server asked for the machine list and agent 0's history in turn whenever it is free, at most twice a second.
  const u64 begun = now_ms();
  u64 next_restart = begun + restart_every_ms, next_ask = begun;
  next_ping = begun;
  u32 restarts = 0, asks = 0;
  while (now_ms() - begun < u64(run.seconds) * 1000) {
    u64 now = now_ms();
    if (!viewer.pump(now)) {
      fprintf(stderr, "soak: the viewer's link ended\n");
      result = 1;
      break;
    }
    mcp.pump(now);
    load.sample(now);
    if (now >= next_restart && run.agents > 1) {
      u32 i = 1 + restarts % (run.agents - 1);
      kill(agents[i], SIGKILL);
      waitpid(agents[i], nullptr, 0);
      agents[i] = spawn(run.program, {"--agent", "--server", server}, homes[i]);
      ++restarts;
      next_restart += restart_every_ms;
    }
    if (now >= next_ping) {
      viewer.ping();
      next_ping += 15000;
    }
    if (mcp.waiting == 0 && now >= next_ask) {
      if (asks++ % 2 == 0) {
        mcp.ask("tools/call", "{\"name\":\"list_machines\",\"arguments\":{}}", now);
      } else {
        mcp.ask("tools/call", "{\"name\":\"usage_history\",\"arguments\":{\"machine\":\"soak-00\",\"range\":\"1h\"}}",
                now);
      }
      next_ask = now + 500;
    }
    usleep(50000);
  }
  const u64 rss_end = procstat::rss_kib(host);
  double agents_cpu = 0;
  for (pid_t a : agents) agents_cpu += procstat::cpu_seconds(a) + procstat::cpu_seconds(procstat::first_child(a));
  const u64 ended = now_ms();

  // The gaps as they stand when the run ends (the history answer below may bring more lists).
  u64 longest = 0;
  std::string longest_name;
  u32 listed = 0;
  std::string behind;
  for (auto& [id, m] : viewer.members) {
    if (m.state != 0) behind += " " + m.name + (m.state == 1 ? " (stale)" : m.state == 2 ? " (offline)" : " (no sample)");
    u64 gap = std::max(m.longest_ms, m.changed_ms ? ended - m.changed_ms : ended - begun);
    if (gap > longest) {
      longest = gap;
      longest_name = m.name;
    }
    listed += m.state == 0;
  }
  // Agent 0's stored buckets: every 10-second slot from the first whole one after it came online to the last one
  // the host has surely closed and written (a tick after the slot passed) must be there.
  u32 missing = 0, expected = 0;
  std::string gaps;  // the missing slots, in seconds from the first
  std::string first_id;
  u32 first_seen = 0;
  u64 first_gap = 0;
  for (auto& [id, m] : viewer.members) {
    if (m.name == "soak-00") first_id = id, first_seen = m.first_seen, first_gap = m.longest_ms;
  }
  const u32 from = (first_seen / bucket_seconds + 1) * bucket_seconds;
  const u32 to = (wall_seconds() - 5) / bucket_seconds * bucket_seconds - bucket_seconds;
  if (!first_id.empty() && to >= from && viewer.ask_history(first_id, from, to)) {
    for (u64 end = now_ms() + 20000; !viewer.answered && now_ms() < end;) {
      if (!viewer.pump(now_ms())) break;
      usleep(20000);
    }
    for (u32 slot = from; slot <= to; slot += bucket_seconds) {
      ++expected;
      if (viewer.slots.count(slot) != 0) continue;
      ++missing;
      gaps += " " + std::to_string(slot - from);
    }
  }
  printf("run: %u s, %u agents, %u restarts, %llu machine lists, %u MCP answers (%u failed, slowest %.1f s)\n",
         run.seconds, run.agents, restarts, static_cast<unsigned long long>(viewer.lists), mcp.answers, mcp.failures,
         double(mcp.slowest_ms) / 1000);
  printf("host RSS: %llu KiB after the warm-up, %llu KiB at the end, growth %lld KiB\n",
         static_cast<unsigned long long>(rss_start), static_cast<unsigned long long>(rss_end),
         static_cast<long long>(rss_end) - static_cast<long long>(rss_start));
  printf("longest gap of any member: %.1f s (%s); online at the end: %u of %u\n", double(longest) / 1000,
         longest_name.c_str(), listed, run.agents);
  if (!behind.empty()) printf("not online at the end:%s\n", behind.c_str());
  printf("stored history of soak-00 (longest gap %.1f s): %u of %u 10-second buckets, %u s missing%s%s%s\n",
         double(first_gap) / 1000, expected - missing, expected, missing * bucket_seconds,
         viewer.answered ? "" : " (no whole answer)", gaps.empty() ? "" : "; at s", gaps.c_str());
  printf("processor time: host %.1f s, agents %.1f s\n", procstat::cpu_seconds(host), agents_cpu);
  load.peak = std::max(load.peak, load_average());
  printf("machine: load average up to %.1f on %ld processors\n", load.peak, processors());
  if (run.check) {
    if (longest > gap_limit_ms) result = 1;
    if (missing != 0 || !viewer.answered || expected == 0) result = 1;
    if (listed != run.agents || mcp.answers == 0) result = 1;
  }
  if (result != 0 && run.check && not_judged(&load)) return finish(77);
  printf("%s\n", result == 0 ? "soak passed" : "soak FAILED");
  return finish(result);
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  std::vector<std::string> words(argv + 1, argv + argc);
  if (!words.empty() && words.back() == "--check") {
    run.check = true;
    words.pop_back();
  }
  if (words.size() < 2 || words.size() > 3) {
    fprintf(stderr, "usage: soak <vimbrel> <seconds> [<agents>] [--check]\n");
    return 2;
  }
  run.program = std::filesystem::absolute(words[0]).string();
  run.seconds = u32(std::stoul(words[1]));
  if (words.size() == 3) run.agents = std::clamp(u32(std::stoul(words[2])), 1u, 64u);
  signal(SIGPIPE, SIG_IGN);
  return soak(run);
}
