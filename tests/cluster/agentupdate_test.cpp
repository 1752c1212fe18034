// The agent's self-update on Linux, on real files and real loopback sockets: a swap cut off before its rename,
// confirmation by the first link, and whole downloads from a host running in this process that serves a placed
// build, with the new program swapped in, or a damaged transfer refused and the program left as it was (the trial
// and revert modes and the answers to a host's order, the same on every system, are in agenttrial_test.cpp).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cluster/agentupdate.h"
#include "host/hubloop.h"
#include "host/linuxfeed.h"
#include "tests/cluster/trial_fixture.h"
#include "tests/host/build_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace trialfix;

// An agent killed between giving its program a second name (P.prev) and renaming P.new over it leaves the old
// program with two names and a trial record of a build that never ran. Whichever comes next, the trial start, the
// revert or the first link to a host, sees that nothing is on trial: the second name and the record go, the
// program stays, nothing is counted, confirmed or refused.
TEST(AgentTrial, ASwapCutOffBeforeItsRenameLeavesNothingOnTrial) {
  const std::string cut_line = "vimbrel agent: the last update was cut off before it was installed; nothing is on "
                               "trial\n";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> run;
  } cases[] = {
      {"trial start", [](const std::string& p) { EXPECT_EQ(agentupdate::trial_main(bytes(p), keep), 0u); }},
      {"revert", [](const std::string& p) { EXPECT_EQ(agentupdate::revert_main(bytes(p), keep), 0u); }},
      {"the first link to a host", [](const std::string& p) {
         agentupdate::UpdateState u;
         agentupdate::init(&u, v80, bytes(p), remote_update::arch_x86_64, os::random_bytes, some_key);
         u.print = keep;
         publisher::Publisher pub;
         auth::KeyState key;
         auth::key_init(&key, bytes("k"));
         publisher::init(&pub, &key, reinterpret_cast<const u8*>("0123456789abcdef"), 16, proto::role_publisher);
         pub.link.opens = 1;
         pub.link.peer.host_version[1] = 1;
         pub.link.peer.host_version[2] = 80;
         agentupdate::step(&u, &pub, 1000, 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Program f;
    f.put("", "old");
    ASSERT_EQ(link(f.p.c_str(), f.at(".prev").c_str()), 0);
    f.put(".new", "new");
    f.put(".trial", record(v81, 0));
    c.run(f.p);
    EXPECT_EQ(printed, cut_line);
    EXPECT_EQ(f.get(""), "old");
    EXPECT_FALSE(exists(f.at(".prev")));
    EXPECT_FALSE(exists(f.at(".trial")));
    EXPECT_FALSE(exists(f.at(".refused")));
    // Every later start finds nothing to count.
    printed.clear();
    EXPECT_EQ(agentupdate::revert_main(bytes(f.p), keep), 1u);
    EXPECT_EQ(f.get(""), "old");
  }
}

TEST(AgentUpdateState, TheFirstOpenLinkConfirmsAndSaysSoOnlyOnTrial) {
  for (bool on_trial : {true, false}) {
    Agent a;
    a.f.put("", "new");
    a.f.put(".prev", "old");
    if (on_trial) a.f.put(".trial", record(v81, 1));
    publisher::Publisher p;
    auth::KeyState key;
    auth::key_init(&key, bytes("k"));
    publisher::init(&p, &key, reinterpret_cast<const u8*>("0123456789abcdef"), 16, proto::role_publisher);
    p.link.opens = 1;
    p.link.peer.host_version[1] = 1;
    p.link.peer.host_version[2] = 80;
    agentupdate::step(&a.u, &p, 1000, 0);
    EXPECT_EQ(printed, on_trial ? "vimbrel agent: self-update confirmed, the previous binary is deleted\n" : "");
    EXPECT_FALSE(exists(a.f.at(".prev")));
    EXPECT_FALSE(exists(a.f.at(".trial")));
    EXPECT_EQ(a.f.get(""), "new");
    // A host of the agent's own version offers nothing.
    EXPECT_FALSE(agentupdate::idle(&a.u, 1000 + 20000));
  }
}

// ---- Downloads from a host in this process.

// A TCP relay on loopback between the agent and the host that can damage the host's bytes on the way.
struct Relay {
  int listener = -1, agent = -1, host = -1;
  u16 port = 0;
  u64 host_bytes = 0;
  u64 flip_at = ~0ull;  // the host byte to damage

  explicit Relay(u16 host_port) : host_port_(host_port) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = loopback(0);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 4);
    socklen_t n = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  // The port stays this relay's, but nothing is accepted on it.
  void listener_only_bound() {
    ::close(listener);
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = loopback(0);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Relay() {
    for (int fd : {listener, agent, host}) {
      if (fd >= 0) ::close(fd);
    }
  }
  static sockaddr_in loopback(u16 port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  void step() {
    if (agent < 0) {
      agent = accept(listener, nullptr, nullptr);
      if (agent < 0) return;
      host = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a = loopback(host_port_);
      connect(host, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    move(agent, host, false);
    move(host, agent, true);
  }
  void move(int from, int to, bool from_host) {
    if (from < 0 || to < 0) return;
    pollfd pf{from, POLLIN, 0};
    if (poll(&pf, 1, 0) <= 0) return;
    char b[65536];
    ssize_t n = recv(from, b, sizeof b, 0);
    if (n <= 0) {
      ::close(agent);
      ::close(host);
      agent = host = -1;
      return;
    }
    if (from_host && flip_at >= host_bytes && flip_at < host_bytes + u64(n)) b[flip_at - host_bytes] ^= 0x40;
    if (from_host) host_bytes += u64(n);
    for (ssize_t at = 0; at < n;) {
      ssize_t w = send(to, b + at, size_t(n - at), MSG_NOSIGNAL);
      if (w <= 0) return;
      at += w;
    }
  }

 private:
  u16 host_port_;
};

u64 now_ms() {
  return u64(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// A host of version 0.1.81 on a loopback port that serves the build placed in its Linux folder, signed with a test
// key, and an agent of version 0.1.80 whose program file is P, aimed at the host (or at a relay before it).
struct Download {
  testutil::TempDir home;
  buildfix::Key release;
  mem::Arena arena{};
  std::unique_ptr<hub::Host> host = std::make_unique<hub::Host>();
  auth::KeyState key;
  std::string folder = home.path + "/linux";
  std::string n = buildfix::name(v81);
  Agent a;
  publisher::Publisher p;
  std::unique_ptr<Relay> relay;
  std::function<void(Download*)> each_step;

  explicit Download(const std::string& build) {
    auth::key_init(&key, bytes("cluster key"));
    EXPECT_TRUE(mem::arena_init(&arena, hub::arena_size()));
    hub::Options o = {};
    o.listen = 0x7F000001;
    o.version[2] = 81;
    o.version[1] = 1;
    EXPECT_TRUE(hub::open(host.get(), &arena, &key, &o, 0));
    // No fetch child: the build is the one placed here.
    linuxfeed::init(host->feed, v81, bytes(folder), mem::Bytes(), release.pk);
    buildfix::place(folder, n, build, release);
    agentupdate::init(&a.u, v80, bytes(a.f.p), remote_update::arch_x86_64, os::random_bytes, release.pk);
    a.u.print = keep;
    a.f.put("", "the running program");
    chmod(a.f.p.c_str(), 0751);
    publisher::init(&p, &key, reinterpret_cast<const u8*>("agent machine id"), 16, proto::role_publisher);
    agentupdate::check_writable(&a.u);
  }
  ~Download() {
    agentupdate::stop(&a.u);
    hub::close(host.get());
    mem::release(&arena);
  }
  void through_relay() { relay = std::make_unique<Relay>(host->port); }
  // As the agent sees its publishing link open to the host: the host's version noted, the first try armed now.
  void linked() {
    p.link.target_address = 0x7F000001;
    p.link.target_port = relay ? relay->port : host->port;
    p.link.opens = 1;
    p.link.peer.host_version[1] = 1;
    p.link.peer.host_version[2] = 81;
    agentupdate::step(&a.u, &p, now_ms(), 0);
    agentupdate::start(&a.u, now_ms());
  }
  // Steps both ends until the try ends (installed or failed) or 60 s pass.
  void run() {
    linked();
    auto end = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < end && !agentupdate::exit_wanted(&a.u) && a.u.retry.tries == 0) {
      hub::step(host.get(), 1, now_ms(), 1000000);
      if (relay) relay->step();
      agentupdate::step(&a.u, &p, now_ms(), 1);
      if (each_step) each_step(this);
    }
  }
};

TEST(AgentDownload, AHostServesItsBuildAndTheAgentSwapsItInOnTrial) {
  const std::string build = buildfix::elf(40000);
  Download d(build);
  d.run();
  ASSERT_TRUE(agentupdate::exit_wanted(&d.a.u)) << printed;
  EXPECT_EQ(printed, "vimbrel agent: self-update installed\n");
  EXPECT_EQ(d.a.f.get(""), build);
  EXPECT_EQ(d.a.f.get(".prev"), "the running program");
  EXPECT_EQ(d.a.f.get(".trial"), record(v81, 0));
  EXPECT_FALSE(exists(d.a.f.at(".new")));
  struct stat st {};
  stat(d.a.f.p.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0751u);  // the old program's mode
  using P = std::vector<std::pair<u8, u16>>;
  EXPECT_EQ(d.a.phases(), (P{{2, 0}, {3, 0}, {4, 0}, {5, 0}}));
  EXPECT_EQ(d.a.u.blocks, 3u);
  EXPECT_FALSE(agentupdate::busy(&d.a.u));
  // Nothing more happens once the program is swapped: the agent is to end.
  EXPECT_EQ(agentupdate::step(&d.a.u, &d.p, now_ms(), 0), 0xFFFFFFFFu);
}

TEST(AgentDownload, AFailedTryLeavesTheProgramAndWaitsForTheNext) {
  const std::string build = buildfix::elf(40000);
  struct Case {
    const char* what;
    u8 result;
    const char* word;
    void (*prepare)(Download*);
  } cases[] = {
      {"a chunk damaged on the way", remote_update::result_bad_tag, "a frame tag failed",
       [](Download* d) {
         d->through_relay();
         d->relay->flip_at = 48 + 48 + 16 + 56 + 1000;  // after the reply and the accept: the first chunk's data
       }},
      {"the host's file changed under it", remote_update::result_mismatch, "SHA-256 mismatch",
       [](Download* d) {
         d->each_step = [](Download* x) {
           if (x->a.u.blocks != 1) return;
           std::string changed = buildfix::elf(40000, 62, 9);
           FILE* f = fopen((x->folder + "/" + x->n).c_str(), "r+b");
           fseek(f, 30000, SEEK_SET);
           fwrite(changed.data() + 30000, 1, 10000, f);
           fclose(f);
           x->each_step = nullptr;
         };
       }},
      {"nothing listens at the host's address", remote_update::result_unreachable, "unreachable",
       [](Download* d) {
         // A port held by a socket that does not listen: a dial there is refused.
         d->through_relay();
         d->relay->listener_only_bound();
       }},
      {"the program file cannot be replaced", remote_update::result_cannot_replace,
       "cannot replace the program file",
       [](Download* d) {
         // A folder with something in it where the previous program would go: the first move is refused.
         std::filesystem::create_directories(d->a.f.at(".prev") + "/inside");
       }},
  };
  for (const Case& c : cases) {
    printed.clear();
    Download d(build);
    c.prepare(&d);
    u64 started = now_ms();
    d.run();
    EXPECT_FALSE(agentupdate::exit_wanted(&d.a.u)) << c.what;
    EXPECT_EQ(d.a.u.retry.last_result, c.result) << c.what;
    EXPECT_EQ(printed, std::string("vimbrel agent: self-update failed: ") + c.word + "\n") << c.what;
    EXPECT_EQ(d.a.f.get(""), "the running program") << c.what;
    EXPECT_FALSE(exists(d.a.f.at(".new"))) << c.what;
    EXPECT_FALSE(exists(d.a.f.at(".trial"))) << c.what;
    std::vector<std::pair<u8, u16>> phases = d.a.phases();
    ASSERT_FALSE(phases.empty()) << c.what;
    EXPECT_EQ(phases.back(), (std::pair<u8, u16>{7, u16(16 + c.result)})) << c.what;
    // The next try comes 45 to 75 s later, and only then.
    u64 wait = agentupdate::step(&d.a.u, &d.p, now_ms(), 0);
    EXPECT_GE(wait + (now_ms() - started), 45000u) << c.what;
    EXPECT_LE(wait, 75000u) << c.what;
    EXPECT_FALSE(agentupdate::busy(&d.a.u)) << c.what;
  }
}

}  // namespace
