// The host's two ports under a crowd that holds them: the built executable on loopback, and connections from many
// loopback source addresses (127.0.x.y) that open and then never finish, trickle a byte a second, or arrive by the
// hundred at once. Members still join, a restarted agent comes back, and the dashboard still serves a page.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>

#include "tests/host/net.h"

namespace {

using net::Bytes;
using net::Clock;

// One loopback source address: 127.0.net.host.
u32 loopback(u32 net_part, u32 host_part) { return 0x7F000000u | (net_part & 0xFF) << 8 | (host_part & 0xFF); }

// A non-blocking connection from the source address to the port on 127.0.0.1; -1 when it could not be started.
// A receive buffer other than 0 is set small before connecting, so that what the server sends backs up.
int open_from(u32 source, u16 port, int receive_buffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receive_buffer != 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True while the server has not closed the connection; nothing it sent is read.
bool still_open(int fd) {
  pollfd pf{fd, POLLRDHUP, 0};
  return poll(&pf, 1, 0) == 0 || (pf.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

// Connections that hold a port: each comes from its own source address and, once a second, sends the next byte of
// what it trickles (nothing for a flood). A connection the host closes is opened again at once, so the pressure
// stays. With burst set, every round closes them all and opens them anew at once.
struct Crowd {
  u16 port = 0;
  std::vector<u32> sources;
  std::string trickle;  // sent a byte a second; never all of it
  std::string request;  // sent whole once connected; what comes back is never read
  int receive_buffer = 0;
  bool burst = false;
  std::atomic<bool> stop{false};
  std::atomic<u32> opened{0};
  std::thread thread;

  void start() {
    thread = std::thread([this] { run(); });
  }
  void finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  ~Crowd() { finish(); }

  void run() {
    std::vector<int> fds(sources.size(), -1);
    std::vector<size_t> sent(sources.size(), 0);
    while (!stop) {
      for (size_t i = 0; i < fds.size(); ++i) {
        bool gone = fds[i] < 0 || burst || !still_open(fds[i]);
        if (gone) {
          if (fds[i] >= 0) ::close(fds[i]);
          fds[i] = open_from(sources[i], port, receive_buffer);
          sent[i] = 0;
          ++opened;
          if (fds[i] >= 0 && !request.empty()) {
            pollfd pf{fds[i], POLLOUT, 0};
            poll(&pf, 1, 200);
            ::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          }
        }
        if (fds[i] >= 0 && !trickle.empty() && sent[i] + 1 < trickle.size()) {
          if (::send(fds[i], trickle.data() + sent[i], 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++sent[i];
        }
      }
      for (int k = 0; k < 10 && !stop; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

// A cluster hello as a member would send it.
std::string hello_bytes() {
  net::Member m;
  proto::Hello h = {};
  h.role = proto::role_viewer;
  h.protocol = 1;
  Bytes b(64);
  b.resize(peer::hello(&m.p, &h, mem::Slice{b.data(), b.size()}));
  return std::string(b.begin(), b.end());
}

// How long a new viewer takes to finish its handshake; a negative figure when it never did within the bound.
double join_seconds(u16 port, int bound_seconds) {
  auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(bound_seconds)) {
    net::Member m;
    if (m.join(port, proto::role_viewer, 0, nullptr)) return std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return -1;
}

// Source addresses: count of them, spread over nets of per_net addresses each, starting at net first_net.
std::vector<u32> sources(u32 count, u32 per_net, u32 first_net) {
  std::vector<u32> out;
  for (u32 i = 0; i < count; ++i) out.push_back(loopback(first_net + i / per_net, 10 + i % per_net));
  return out;
}

TEST(CrowdedMemberPort, MembersJoinAndARestartedAgentComesBackWhileTheHandshakesAreHeld) {
  net::HostRun h(false);
  ASSERT_TRUE(h.listening()) << h.p.out();
  net::Agent agent;
  agent.start(h.dir.path + "/agent", {"--agent", "--server", "127.0.0.1:" + std::to_string(h.port)});
  const std::string joined = "publishing to 127.0.0.1:" + std::to_string(h.port) + ", term ";
  ASSERT_TRUE(agent.process.wait_output(joined, 30))
      << agent.process.out();

  struct Case {
    const char* what;
    u32 count, per_net;
    bool trickle, burst;
  };
  const Case cases[] = {
      {"200 addresses sending a hello a byte a second", 200, 1, true, false},
      {"500 connections opened at once, again and again", 500, 10, false, true},
      {"one /24 network of 200 addresses", 200, 200, true, false},
  };
  u32 net_base = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Crowd crowd;
    crowd.port = h.port;
    crowd.sources = sources(c.count, c.per_net, net_base);
    net_base += c.count / c.per_net + 1;
    if (c.trickle) crowd.trickle = hello_bytes();
    crowd.burst = c.burst;
    crowd.start();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the crowd holds every place it can by now
    ASSERT_GT(crowd.opened.load(), c.count - 1);
    for (int k = 0; k < 3; ++k) {
      double took = join_seconds(h.port, 10);
      EXPECT_GE(took, 0) << "a new viewer never joined";
      printf("[ crowd    ] %s: a new viewer joined in %.2f s\n", c.what, took);
    }
    // The agent, a member already, is restarted and must find its way back in.
    agent.process.stop();
    agent.process.start({"--agent", "--server", "127.0.0.1:" + std::to_string(h.port)}, agent.home);
    auto restarted = Clock::now();
    EXPECT_TRUE(agent.process.wait_output(joined, 20))
        << agent.process.out();
    printf("[ crowd    ] %s: the restarted agent was back in %.2f s\n", c.what,
           std::chrono::duration<double>(Clock::now() - restarted).count());
    crowd.finish();
  }
  EXPECT_FALSE(h.p.ended(0)) << h.p.out();
}

// A page as a browser loads it: the page, the loader and the module, each whole with status 200. The time-out only
// ends a load that hangs; how long a load takes on a busy machine is for the benchmarks to say.
double page_seconds(u16 web) {
  auto start = Clock::now();
  for (const char* path : {"/", "/vimbrel.js", "/vimbrel.wasm"}) {
    std::string command = "curl -sS --max-time 90 -o /dev/null -w '%{http_code}' 'http://127.0.0.1:" +
                          std::to_string(web) + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char code[16] = {};
    size_t n = fread(code, 1, sizeof code - 1, pipe);
    pclose(pipe);
    if (std::string(code, n) != "200") return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(CrowdedDashboard, APageLoadsWhileSlowClientsHoldTheDashboard) {
  net::HostRun h(true);
  ASSERT_TRUE(h.listening()) << h.p.out();
  const std::string slow_head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: " + std::string(200, 'a');
  struct Case {
    const char* what;
    u32 count, per_net;
    bool same_address;
    const char* request;  // sent whole once a connection opens, and never read; else a request head trickles
  };
  const Case cases[] = {
      {"30 slow heads from one address", 30, 1, true, nullptr},
      {"30 slow heads from 30 addresses", 30, 1, false, nullptr},
      {"30 addresses asking for the module and never reading", 30, 1, false,
       "GET /vimbrel.wasm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
      {"30 addresses opening browser links that never say hello", 30, 1, false,
       "POST /link HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"},
  };
  u32 net_base = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Crowd crowd;
    crowd.port = h.web;
    crowd.sources = c.same_address ? std::vector<u32>(c.count, loopback(net_base, 10)) : sources(c.count, 1, net_base);
    net_base += c.count + 1;
    if (c.request != nullptr) {
      crowd.request = c.request;
      crowd.receive_buffer = 4096;
    } else {
      crowd.trickle = slow_head;
    }
    crowd.start();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (int k = 0; k < 3; ++k) {
      double took = page_seconds(h.web);
      EXPECT_GE(took, 0) << "the page did not load";
      printf("[ crowd    ] %s: the page, its loader and its module loaded in %.2f s\n", c.what, took);
    }
    // The member port is not touched by any of it, browser links included: they have places of their own.
    EXPECT_GE(join_seconds(h.port, 10), 0);
    crowd.finish();
  }
  EXPECT_FALSE(h.p.ended(0)) << h.p.out();
}

}  // namespace

namespace {

// What the server sent on the connection until it closed it, or "reset" when it reset it; waits at most 10 s.
std::string answer_of(int fd) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    pollfd pf{fd, POLLIN, 200};
    if (poll(&pf, 1, 200) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return got;
    if (n < 0 && errno == ECONNRESET) return "reset";
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// A browser opens connections ahead of its requests. When the host is busy while they arrive, it finds the
// requests and a further connection from the same address waiting together, and must answer every one: a
// connection closed on an unread request is reset, and the browser shows the resource as failed.
TEST(CrowdedDashboard, RequestsThatArriveWhileTheHostIsBusyAreAllAnswered) {
  net::HostRun h(true);
  ASSERT_TRUE(h.listening()) << h.p.out();
  const std::string request = "GET /manifest.webmanifest HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<int> fds;
  for (int i = 0; i < 2; ++i) fds.push_back(open_from(loopback(0, 1), h.web));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // both accepted, both still to send
  kill(h.p.pid, SIGSTOP);
  for (int i = 0; i < 3; ++i) {
    if (i == 2) fds.push_back(open_from(loopback(0, 1), h.web));
    pollfd pf{fds[i], POLLOUT, 0};
    poll(&pf, 1, 1000);
    EXPECT_EQ(::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(h.p.pid, SIGCONT);
  for (size_t i = 0; i < fds.size(); ++i) {
    std::string got = answer_of(fds[i]);
    EXPECT_EQ(got.substr(0, 12), "HTTP/1.1 200") << "connection " << i << ": " << got.substr(0, 40);
    ::close(fds[i]);
  }
  EXPECT_FALSE(h.p.ended(0)) << h.p.out();
}

}  // namespace
