// The election as users run it: three real --elect processes with their own settings folders on one temporary
// share folder, and an agent that follows the share. One candidate becomes the host and the others name it; the
// host is killed outright and another candidate takes over with the next term and the history of the first, and
// the agent publishes to it. Each run draws its own cluster key, so beacons of other tests on this machine (the
// beacon port is fixed) are refused by their seal.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "tests/host/net.h"

namespace {

using net::Clock;

u8 random_key_first() {
  std::random_device device;
  return static_cast<u8>(0x20 + device() % 0xC0);
}

// The candidate whose output says it serves; -1 while none does.
int serving(net::Agent* candidates, u32 n, const std::string& line) {
  for (u32 i = 0; i < n; ++i) {
    if (candidates[i].process.pid > 0 && candidates[i].process.out().find(line) != std::string::npos) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int wait_serving(net::Agent* candidates, u32 n, const std::string& line, int seconds) {
  auto end = Clock::now() + std::chrono::seconds(seconds);
  int who = -1;
  while ((who = serving(candidates, n, line)) < 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return who;
}

// Candidates on the share, each with a folder of its own under the test's, a free port and its priority.
void start_candidates(net::Agent* candidates, u32 n, const char* const* priorities, const std::string& dir,
                      const std::string& share, u8 key, u16* ports) {
  for (u32 i = 0; i < n; ++i) {
    ports[i] = net::free_port();
    candidates[i].start(dir + "/candidate" + std::to_string(i),
                        {"--elect", share, "--port", std::to_string(ports[i]), "--priority", priorities[i]}, key);
  }
}

TEST(ElectionEndToEnd, CandidatesElectOneHostAndAnotherTakesOverWithTheHistory) {
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  u8 key = random_key_first();
  constexpr u32 n = 3;
  net::Agent candidates[n];
  u16 ports[n];
  const char* priorities[n] = {"255", "200", "100"};
  start_candidates(candidates, n, priorities, dir.path, share, key, ports);
  for (net::Agent& c : candidates) {
    ASSERT_TRUE(c.process.wait_output("; waiting for the host\n", 30)) << c.process.out();
    ASSERT_TRUE(c.read_id());
  }

  // On an empty share every candidate waits 15 s, then stands by its rank; exactly one wins term 1.
  int first = wait_serving(candidates, n, ", term 1, share self-test not a share\n", 90);
  ASSERT_GE(first, 0);
  std::string where = "; the host is 127.0.0.1:" + std::to_string(ports[first]) + ", term 1\n";
  for (u32 i = 0; i < n; ++i) {
    if (static_cast<int>(i) == first) continue;
    EXPECT_TRUE(candidates[i].process.wait_output(where, 30)) << candidates[i].process.out();
    EXPECT_EQ(candidates[i].process.out().find("listening on port"), std::string::npos) << candidates[i].process.out();
  }

  // An agent that follows the share finds the host through the lease and publishes to it.
  net::Agent agent;
  agent.start(dir.path + "/agent", {"--agent", "--share", share}, key);
  std::string publishing = "vimbrel agent: publishing to 127.0.0.1:";
  ASSERT_TRUE(agent.process.wait_output(publishing + std::to_string(ports[first]) + ", term 1\n", 60))
      << agent.process.out();
  ASSERT_TRUE(agent.read_id());
  u32 before = 0;
  auto end = Clock::now() + std::chrono::seconds(120);
  while ((before = net::stored_buckets(ports[first], agent.id, key)) == 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_GT(before, 0u);

  // The host vanishes without a word. 15 s without progress of the lease, the rank's wait and one probe later, a
  // remaining candidate claims term 2; its term carries the first one's rings over.
  candidates[first].process.stop(SIGKILL);
  int second = wait_serving(candidates, n, ", term 2, share self-test not a share\n", 90);
  ASSERT_GE(second, 0);
  EXPECT_NE(second, first);
  for (u32 i = 0; i < n; ++i) {
    if (static_cast<int>(i) != first && static_cast<int>(i) != second) {
      EXPECT_TRUE(candidates[i].process.wait_output(
          "; the host is 127.0.0.1:" + std::to_string(ports[second]) + ", term 2\n", 30))
          << candidates[i].process.out();
    }
  }
  EXPECT_TRUE(agent.process.wait_output(publishing + std::to_string(ports[second]) + ", term 2\n", 90))
      << agent.process.out();
  u32 after = 0;
  end = Clock::now() + std::chrono::seconds(60);
  while ((after = net::stored_buckets(ports[second], agent.id, key)) < before && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_GE(after, before);

  EXPECT_EQ(agent.process.stop(SIGTERM), 0) << agent.process.out();
  // The host closes in order: its last line, exit 0 and a released lease.
  EXPECT_EQ(candidates[second].process.stop(SIGTERM), 0) << candidates[second].process.out();
  EXPECT_NE(candidates[second].process.out().find("vimbrel host: closed; a candidate again\n"), std::string::npos);
  EXPECT_TRUE(net::lease_released(share, key));
  for (u32 i = 0; i < n; ++i) {
    if (static_cast<int>(i) != first && static_cast<int>(i) != second) {
      EXPECT_EQ(candidates[i].process.stop(SIGTERM), 0);
    }
  }
}

TEST(ElectionEndToEnd, AHostPausedPastItsLeaseStepsDownWhenItRunsAgain) {
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  u8 key = random_key_first();
  net::Agent candidates[2];
  u16 ports[2];
  for (u32 i = 0; i < 2; ++i) {
    ports[i] = net::free_port();
    candidates[i].start(dir.path + "/candidate" + std::to_string(i),
                        {"--elect", share, "--port", std::to_string(ports[i]), "--priority", i == 0 ? "255" : "100"},
                        key);
  }
  int first = wait_serving(candidates, 2, ", term 1, share self-test", 90);
  ASSERT_GE(first, 0);
  int other = 1 - first;
  ASSERT_TRUE(candidates[other].process.wait_output(", term 1\n", 30)) << candidates[other].process.out();

  // Stopped as a debugger or a suspended laptop would stop it: the other candidate takes term 2.
  ASSERT_EQ(kill(candidates[first].process.pid, SIGSTOP), 0);
  bool taken = candidates[other].process.wait_output(", term 2, share self-test", 90);
  kill(candidates[first].process.pid, SIGCONT);
  ASSERT_TRUE(taken) << candidates[other].process.out();
  // Running again, the old host finds a newer term on the share before it writes, steps down and follows.
  EXPECT_TRUE(candidates[first].process.wait_output("vimbrel host: stepped down; a candidate again\n", 30))
      << candidates[first].process.out() << "ended by signal " << candidates[first].process.ended_by;
  EXPECT_TRUE(candidates[first].process.wait_output(
      "; the host is 127.0.0.1:" + std::to_string(ports[other]) + ", term 2\n", 30))
      << candidates[first].process.out();
  EXPECT_EQ(candidates[first].process.out().find(", term 3"), std::string::npos);
  EXPECT_EQ(candidates[other].process.out().find("a candidate again"), std::string::npos);
  for (net::Agent& c : candidates) EXPECT_EQ(c.process.stop(SIGTERM), 0) << c.process.out();
}

TEST(ElectionEndToEnd, StartFailuresSayWhy) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home";
  std::filesystem::create_directories(home + "/run");
  testutil::RunResult r = testutil::run_vimbrel("--elect " + dir.path + "/share", home);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "vimbrel host: no cluster key file\n");
  net::make_home(home);
  r = testutil::run_vimbrel("--elect ''", home);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.out, "vimbrel host: no share or folder\n");
}

// A candidate makes its share folder as the fixed host does, every missing folder along the path, and says why
// when it cannot: a mistyped path must not only ever read "waiting for the host".
TEST(ElectionEndToEnd, TheShareFolderIsMadeAlongItsPathOrTheCandidateSaysWhy) {
  testutil::TempDir dir;
  testutil::write_file(dir.path + "/afile", "not a folder");
  struct Case {
    std::string share;
    std::string said;  // the line before the candidate's own, or nothing
  } cases[] = {
      {dir.path + "/missing/deeper/share", ""},
      {dir.path + "/afile/share", "vimbrel host: cannot make the share folder: not a folder\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.share);
    net::Agent candidate;
    candidate.start(dir.path + "/home" + std::to_string(&c - cases),
                    {"--elect", c.share, "--port", std::to_string(net::free_port()), "--listen", "127.0.0.1"},
                    random_key_first());
    ASSERT_TRUE(candidate.process.wait_output("; waiting for the host\n", 20)) << candidate.process.out();
    const std::string out = candidate.process.out();
    EXPECT_EQ(out.rfind(c.said + "vimbrel host: candidate, priority ", 0), 0u) << out;
    EXPECT_EQ(std::filesystem::is_directory(c.share), c.said.empty());
    EXPECT_EQ(candidate.process.stop(SIGTERM), 0) << candidate.process.out();
  }
  // The fixed host makes it by the same rule, and refuses a path where it cannot.
  net::Process host;
  net::make_home(dir.path + "/host");
  host.start({"--host", dir.path + "/afile/share", "--port", std::to_string(net::free_port()), "--listen",
              "127.0.0.1"},
             dir.path + "/host");
  ASSERT_TRUE(host.ended(20000));
  EXPECT_EQ(host.code, 4);
  EXPECT_EQ(host.out(), "vimbrel host: cannot make the share folder: not a folder\n");
  // An agent on the share goes by the same rule: it makes the folder, or says why and waits on the path as given.
  const u8 key = random_key_first();
  struct AgentCase {
    std::string share, said;
  } agents[] = {
      {dir.path + "/agents/deeper/share", ""},
      {dir.path + "/afile/agents", "vimbrel agent: cannot make the share folder: not a folder\n"},
  };
  for (const AgentCase& c : agents) {
    SCOPED_TRACE(c.share);
    net::Agent agent;
    agent.start(dir.path + "/agent" + std::to_string(&c - agents), {"--agent", "--share", c.share}, key);
    ASSERT_TRUE(agent.process.wait_output("vimbrel agent: publishing to " + c.share, 20)) << agent.process.out();
    EXPECT_EQ(agent.process.out().rfind(c.said + "vimbrel agent: publishing to ", 0), 0u) << agent.process.out();
    EXPECT_EQ(std::filesystem::is_directory(c.share), c.said.empty());
    EXPECT_EQ(agent.process.stop(SIGTERM), 0) << agent.process.out();
  }
}

// A port that another program listens on: the candidate says so at once and ends with the fixed host's code, as a
// fixed host on that port does.
TEST(ElectionEndToEnd, APortAnotherProgramHoldsEndsTheStartAsTheHostsDoes) {
  testutil::TempDir dir;
  const int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(held, 8), 0);
  ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr*>(&a), &length), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));
  for (const char* mode : {"--host", "--elect"}) {
    SCOPED_TRACE(mode);
    net::Agent run;
    run.start(dir.path + "/" + (mode + 2), {mode, dir.path + "/share", "--port", port, "--listen", "127.0.0.1"},
              random_key_first());
    EXPECT_TRUE(run.process.wait_output("vimbrel host: cannot listen on the port\n", 30)) << run.process.out();
    ASSERT_TRUE(run.process.ended(30000)) << "still waiting on a taken port";
    EXPECT_EQ(run.process.code, 3);
    EXPECT_EQ(run.process.out(), "vimbrel host: cannot listen on the port\n");
  }
  close(held);
}

// Two healthy candidates on loopback: the winner's isolation checks find the other member alive and reaching it, so
// it never says it is isolated (the first check after the win read records written before it).
TEST(ElectionEndToEnd, AHealthyPairNeverSaysItIsIsolated) {
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  u8 key = random_key_first();
  constexpr u32 n = 2;
  net::Agent candidates[n];
  u16 ports[n];
  const char* priorities[n] = {"255", "200"};
  start_candidates(candidates, n, priorities, dir.path, share, key, ports);
  const int host = wait_serving(candidates, n, ", term 1, share self-test not a share\n", 90);
  ASSERT_GE(host, 0);
  // Six isolation checks, one each 10 s from the tenth second after the win.
  const auto end = Clock::now() + std::chrono::seconds(61);
  while (Clock::now() < end && candidates[host].process.out().find("isolated") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(candidates[host].process.out().find("isolated"), std::string::npos) << candidates[host].process.out();
  for (net::Agent& c : candidates) EXPECT_EQ(c.process.stop(SIGTERM), 0) << c.process.out();
}

// A candidate that cannot claim a term says why, once however often it tries, and goes on trying: a share with no
// room left, and (run as root) a share this user may not write. Once room is made, it serves.
TEST(ElectionEndToEnd, ACandidateThatCannotClaimATermSaysWhyOnce) {
  testutil::TempDir dir;
  chmod(dir.path.c_str(), 0755);  // the candidate run as nobody reaches its home and share below
  std::string full = dir.path + "/full", locked = dir.path + "/locked";
  std::filesystem::create_directories(full);
  std::filesystem::create_directories(locked);
  std::vector<std::string> wrapper = net::full_share_wrapper(full);
  if (wrapper.empty()) GTEST_SKIP() << "no mount namespace for a full share here";
  auto args = [](const std::string& share) {
    return std::vector<std::string>{"--elect", share, "--port", std::to_string(net::free_port()), "--listen",
                                    "127.0.0.1", "--priority", "255"};
  };
  net::Agent on_full;
  on_full.start(dir.path + "/a", args(full), random_key_first(), wrapper);
  // Root writes anywhere: the other candidate runs as nobody, with a home of its own.
  bool as_nobody = geteuid() == 0;
  net::Agent on_locked;
  if (as_nobody) {
    on_locked.home = dir.path + "/b";
    net::make_home(on_locked.home, random_key_first());
    ASSERT_EQ(system(("chown -R 65534:65534 " + on_locked.home).c_str()), 0);
    on_locked.process.start(args(locked), on_locked.home,
                            {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  const std::string no_space = "vimbrel host: cannot claim a term: no space on the share\n";
  const std::string denied = "vimbrel host: cannot claim a term: access denied\n";
  ASSERT_TRUE(on_full.process.wait_output(no_space, 40)) << on_full.process.out();
  if (as_nobody) {
    EXPECT_TRUE(on_locked.process.wait_output(denied, 20)) << on_locked.process.out();
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));  // two more tries each
  EXPECT_EQ(net::count_of(on_full.process.out(), no_space), 1u) << on_full.process.out();
  if (as_nobody) {
    EXPECT_EQ(net::count_of(on_locked.process.out(), denied), 1u) << on_locked.process.out();
  }
  EXPECT_EQ(on_full.process.out().find("listening on port"), std::string::npos);

  // Room made (the filler is seen through the candidate's own view of the file systems): the next try serves.
  std::string filler = "/proc/" + std::to_string(on_full.process.pid) + "/root" + full + "/filler";
  ASSERT_TRUE(std::filesystem::remove(filler)) << filler;
  EXPECT_TRUE(on_full.process.wait_output("vimbrel host: listening on port ", 15)) << on_full.process.out();
  EXPECT_EQ(on_full.process.stop(), 0);
  if (as_nobody) {
    EXPECT_EQ(on_locked.process.stop(), 0);
  }
}

}  // namespace
