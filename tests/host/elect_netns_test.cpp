// Candidates on separate machines, as far as one machine can make them: three --elect processes, each in a network
// namespace of its own joined to the others by veth pairs on a bridge, with addresses of the loopback range, and one
// share folder. The test makes and heals a partition of the host, pauses the host past its lease, and checks after
// each fault that exactly one host serves and that an agent follows it. Making namespaces needs the right to; where
// it is missing the test says so and skips (the loopback election tests run the same faults over local ports).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "tests/host/net.h"

namespace {

using net::Clock;

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string ip_tool() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (std::filesystem::exists(p)) return p;
  }
  return "";
}

// The namespaces, veth pairs and the bridge of one test, removed again however the test ends. Names carry the test
// process id, so parallel runs never meet.
struct Network {
  std::string ip = ip_tool();
  std::string tag = "vbt" + std::to_string(getpid() % 1000000);
  std::vector<std::string> made;
  std::string why;

  std::string hub() const { return tag + "h"; }
  std::string ns(u32 i) const { return tag + "c" + std::to_string(i); }
  std::string inner(u32 i) const { return tag + "x" + std::to_string(i); }
  std::string outer(u32 i) const { return tag + "y" + std::to_string(i); }
  static std::string address(u32 i) { return "127.1.0." + std::to_string(10 + i); }

  bool add(const std::string& name) {
    if (!shell(ip + " netns add " + name)) return false;
    made.push_back(name);
    return true;
  }
  explicit Network(u32 n) {
    if (ip.empty()) {
      why = "no ip tool";
      return;
    }
    if (!add(hub()) || !shell(ip + " -n " + hub() + " link add br0 type bridge") ||
        !shell(ip + " -n " + hub() + " link set br0 up")) {
      why = "network namespaces cannot be made here (they need CAP_SYS_ADMIN and CAP_NET_ADMIN)";
      return;
    }
    for (u32 i = 0; i < n; ++i) {
      std::string in = " -n " + ns(i) + " ";
      // Loopback-range addresses on a veth need route_localnet, in the namespace and on the device.
      std::string sysctl = ip + " netns exec " + ns(i) + " sysctl -qw ";
      bool ok = add(ns(i)) && shell(ip + " link add " + inner(i) + " type veth peer name " + outer(i)) &&
                shell(ip + " link set " + inner(i) + " netns " + ns(i)) &&
                shell(ip + " link set " + outer(i) + " netns " + hub()) &&
                shell(ip + " -n " + hub() + " link set " + outer(i) + " master br0 up") &&
                shell(sysctl + "net.ipv4.conf.all.route_localnet=1") && shell(ip + in + "link set lo up") &&
                shell(ip + in + "addr add " + address(i) + "/24 brd + dev " + inner(i)) &&
                shell(ip + in + "link set " + inner(i) + " up") &&
                shell(sysctl + "net.ipv4.conf." + inner(i) + ".route_localnet=1");
      if (!ok) {
        why = "the veth pair of namespace " + ns(i) + " could not be set up";
        return;
      }
    }
  }
  ~Network() {
    for (auto it = made.rbegin(); it != made.rend(); ++it) shell(ip + " netns del " + *it);
  }
  bool ready() const { return why.empty(); }
  std::vector<std::string> in(u32 i) const { return {ip, "netns", "exec", ns(i)}; }
  // Cuts candidate i off the others (its end of the bridge goes down), or joins it again.
  bool cut(u32 i, bool off) { return shell(ip + " -n " + hub() + " link set " + outer(i) + (off ? " down" : " up")); }
};

// A candidate serves when its last role line says so.
bool serves(const net::Agent& c) {
  std::string out = c.process.out();
  size_t won = out.rfind("vimbrel host: listening on port");
  size_t left = out.rfind("; a candidate again");
  return won != std::string::npos && (left == std::string::npos || left < won);
}

int serving_now(const net::Agent* candidates, u32 n) {
  int who = -1;
  for (u32 i = 0; i < n; ++i) {
    if (!serves(candidates[i])) continue;
    if (who >= 0) return -2;  // two
    who = static_cast<int>(i);
  }
  return who;
}

TEST(ElectionNetworks, PartitionsAndAPausedHostLeaveExactlyOneHostThatAgentsFollow) {
  constexpr u32 n = 3;
  Network net_(n + 1);  // the last namespace holds the agent
  if (!net_.ready()) {
    GTEST_SKIP() << net_.why << "; the loopback election tests cover the same faults";
  }
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  std::random_device device;
  u8 key = static_cast<u8>(0x20 + device() % 0xC0);
  net::Agent candidates[n];
  const char* priorities[n] = {"255", "200", "100"};
  for (u32 i = 0; i < n; ++i) {
    candidates[i].start(dir.path + "/candidate" + std::to_string(i),
                        {"--elect", share, "--listen", Network::address(i), "--priority", priorities[i]}, key,
                        net_.in(i));
  }
  auto wait_one = [&](int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    int who = -1;
    while ((who = serving_now(candidates, n)) < 0 && who != -2 && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return who;
  };
  int host = wait_one(90);
  ASSERT_GE(host, 0) << candidates[0].process.out() << candidates[1].process.out() << candidates[2].process.out();
  std::string named = "; the host is " + Network::address(host) + ":7420, term 1\n";
  for (u32 i = 0; i < n; ++i) {
    if (static_cast<int>(i) != host) {
      EXPECT_TRUE(candidates[i].process.wait_output(named, 30)) << i;
    }
  }
  net::Agent agent;
  agent.start(dir.path + "/agent", {"--agent", "--share", share}, key, net_.in(n));
  std::string publishing = "vimbrel agent: publishing to ";
  EXPECT_TRUE(agent.process.wait_output(publishing + Network::address(host) + ":7420, term 1\n", 60))
      << agent.process.out();

  // The host cut off from the others: the share still sees its lease renewed, so nobody stands for it.
  ASSERT_TRUE(net_.cut(host, true));
  std::this_thread::sleep_for(std::chrono::seconds(25));
  EXPECT_EQ(serving_now(candidates, n), host);
  for (const net::Agent& c : candidates) EXPECT_EQ(c.process.out().find("term 2"), std::string::npos);
  ASSERT_TRUE(net_.cut(host, false));

  // A candidate cut off changes nothing either.
  u32 quiet = (static_cast<u32>(host) + 1) % n;
  ASSERT_TRUE(net_.cut(quiet, true));
  std::this_thread::sleep_for(std::chrono::seconds(20));
  EXPECT_EQ(serving_now(candidates, n), host);
  ASSERT_TRUE(net_.cut(quiet, false));

  // The host paused past its lease: another candidate takes term 2, the old host steps down when it runs again,
  // and the agent follows the new host.
  ASSERT_EQ(kill(candidates[host].process.pid, SIGSTOP), 0);
  int next = -1;
  auto end = Clock::now() + std::chrono::seconds(90);
  while (Clock::now() < end && next < 0) {
    for (u32 i = 0; i < n; ++i) {
      if (static_cast<int>(i) != host && candidates[i].process.out().find(", term 2, share self-test") !=
                                             std::string::npos) {
        next = static_cast<int>(i);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(candidates[host].process.pid, SIGCONT);
  ASSERT_GE(next, 0);
  EXPECT_TRUE(candidates[host].process.wait_output("vimbrel host: stepped down; a candidate again\n", 30))
      << candidates[host].process.out();
  EXPECT_EQ(serving_now(candidates, n), next);
  EXPECT_TRUE(agent.process.wait_output(publishing + Network::address(next) + ":7420, term 2\n", 90))
      << agent.process.out();

  EXPECT_EQ(agent.process.stop(SIGTERM), 0);
  for (net::Agent& c : candidates) EXPECT_EQ(c.process.stop(SIGTERM), 0) << c.process.out();
}

}  // namespace
