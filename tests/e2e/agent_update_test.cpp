// An agent updating itself as a user meets it: a real "--host" on loopback serving a signed Linux build, and a real
// "--agent" started from a copy of the program in the test's own folder (never the build's own executable), run as
// the README's systemd unit runs it: before each start "--agent-trial" from the previous program when there is one.
// A good build is swapped in, restarts on trial and is confirmed; a build that cannot start is put back after its
// third start, and the host then hears that this version was put back.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cluster/remote_update.h"
#include "tests/host/build_fixture.h"
#include "tests/host/net.h"

namespace {

using Clock = std::chrono::steady_clock;

u64 program_version() {
  testutil::RunResult r = testutil::run_vimbrel("--version");
  unsigned a = 0, b = 0, c = 0;
  if (sscanf(r.out.c_str(), "vimbrel %u.%u.%u", &a, &b, &c) != 3) return 0;
  return remote_update::pack_version(static_cast<u16>(a), static_cast<u16>(b), static_cast<u16>(c));
}

std::string record(u64 version, u8 starts) {
  u8 r[remote_update::trial_size];
  remote_update::trial_record(version, starts, r);
  return std::string(reinterpret_cast<char*>(r), sizeof r);
}

bool exists(const std::string& p) { return std::filesystem::exists(std::filesystem::symlink_status(p)); }

// A host of this build's version with a Linux build placed and signed by a test key, and an agent whose program is
// a copy of this build in its own folder, made to report an older version until the update replaces it.
struct Cluster {
  testutil::TempDir host_home, agent_home;
  buildfix::Key release;
  net::Process host;
  u16 port = 0;
  u64 version = program_version();
  std::string program = agent_home.path + "/bin/vimbrel";
  std::string old_program;  // the agent's program as first installed
  std::string older = "0.1.0";

  Cluster() {
    net::make_home(host_home.path);
    net::make_home(agent_home.path);
    std::filesystem::create_directories(agent_home.path + "/bin");
    // The test key signs the placed build; a feed that could only fail keeps any fetch on this machine.
    setenv("VIMBREL_TEST_UPDATE_KEY", release.public_hex().c_str(), 1);
    setenv("VIMBREL_TEST_UPDATE_FEED", "http://127.0.0.1:1/downloads/vimbrel/linux/x86_64/latest.txt", 1);
    setenv("VIMBREL_TEST_UPDATE_FLAGS", "5", 1);
  }
  ~Cluster() {
    host.stop();
    for (const char* v : {"VIMBREL_TEST_UPDATE_KEY", "VIMBREL_TEST_UPDATE_FEED", "VIMBREL_TEST_UPDATE_FLAGS"}) {
      unsetenv(v);
    }
  }
  // This build without its debugging sections (the sanitized build is too large for a Linux build otherwise).
  std::string stripped() {
    std::string out = agent_home.path + "/stripped";
    std::string command = "strip -o '" + out + "' '" + std::string(VIMBREL_EXE) + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    return testutil::read_file(out);
  }
  void install(const std::string& bytes) {
    old_program = bytes;
    testutil::write_file(program, bytes);
    chmod(program.c_str(), 0755);
  }
  void serve(const std::string& build) {
    buildfix::place(host_home.path + "/data/Vimbrel/linux", buildfix::name(version), build, release);
  }
  bool start_host() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = net::free_port();
      host.start({"--host", host_home.path + "/share", "--port", std::to_string(port), "--listen", "127.0.0.1"},
                 host_home.path);
      if (host.wait_output("listening on port", 30)) return true;
      host.stop(SIGKILL);
    }
    return false;
  }
  // One start as the unit makes it: the trial counted from the previous program when there is one, then the agent.
  // The trial's output is added to trials.
  void start_agent(net::Process* agent, std::string* trials, const std::string& agent_version = "") {
    if (exists(program + ".prev")) {
      net::Process trial;
      trial.program = program + ".prev";
      trial.start({"--agent-trial", program}, agent_home.path);
      EXPECT_TRUE(trial.ended(60000));
      *trials += trial.out();
    }
    agent->program = program;
    if (!agent_version.empty()) agent->env.push_back("VIMBREL_TEST_AGENT_VERSION=" + agent_version);
    agent->start({"--agent", "--server", "127.0.0.1:" + std::to_string(port)}, agent_home.path);
  }
  // The agent of the older version takes the host's build and ends with 8 for its restart.
  void first_start(std::string* trials) {
    net::Process first;
    start_agent(&first, trials, older);
    ASSERT_TRUE(first.ended(120000)) << first.out();
    EXPECT_EQ(first.code, 8) << first.out();
    EXPECT_NE(first.out().find("vimbrel agent: self-update installed\n"), std::string::npos) << first.out();
  }
  bool agent_id(u8 id[16]) {
    std::string text = testutil::read_file(agent_home.path + "/config/Vimbrel/publish.txt");
    size_t at = text.find("\nid ");
    if (at == std::string::npos || text.size() < at + 4 + 32) return false;
    for (u32 i = 0; i < 16; ++i) id[i] = static_cast<u8>(std::stoi(text.substr(at + 4 + 2 * i, 2), nullptr, 16));
    return true;
  }
  // The host's update phase and reason of the machine as a viewer sees them, once they equal what is wanted or the
  // time is up.
  std::pair<u8, u8> wait_phase(const u8* id, u8 phase, u8 reason, int seconds) {
    net::Member viewer;
    std::pair<u8, u8> seen{255, 255};
    if (!viewer.join(port, proto::role_viewer, proto::hello_updates, nullptr)) return seen;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      net::Bytes f = viewer.next_of(proto::kind_updates, 2000);
      proto::Updates u;
      if (f.empty() || proto::decode_updates(mem::Bytes(f.data(), f.size()), &u) != proto::ok) continue;
      for (u32 i = 0; i < u.count && i < proto::list_rows; ++i) {
        if (memcmp(u.ids[i], id, 16) == 0) seen = {u.phases[i], u.details[i]};
      }
      if (seen == std::pair<u8, u8>{phase, reason}) break;
    }
    return seen;
  }
};

TEST(AgentSelfUpdate, AnOlderAgentTakesTheHostsBuildRestartsOnTrialAndIsConfirmed) {
  Cluster c;
  std::string build = c.stripped();
  ASSERT_LE(build.size(), size_t{remote_update::build_max}) << "the stripped test build no longer fits a Linux build";
  c.serve(build);
  c.install(build + std::string(64, 'o'));  // the same program with bytes of its own behind it
  ASSERT_TRUE(c.start_host()) << c.host.out();

  std::string trials;
  c.first_start(&trials);
  EXPECT_EQ(testutil::read_file(c.program), build);
  EXPECT_EQ(testutil::read_file(c.program + ".prev"), c.old_program);
  EXPECT_EQ(testutil::read_file(c.program + ".trial"), record(c.version, 0));
  EXPECT_FALSE(exists(c.program + ".new"));
  struct stat st {};
  stat(c.program.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // Restarted by the unit: one start on trial, then the first link to the host confirms the new program.
  net::Process second;
  c.start_agent(&second, &trials);
  EXPECT_EQ(trials, "vimbrel agent: the update is on trial, start 1 of 3 before the previous binary comes back\n");
  EXPECT_TRUE(second.wait_output("vimbrel agent: self-update confirmed, the previous binary is deleted", 60))
      << second.out();
  EXPECT_FALSE(exists(c.program + ".prev"));
  EXPECT_FALSE(exists(c.program + ".trial"));
  u8 id[16];
  ASSERT_TRUE(c.agent_id(id));
  EXPECT_EQ(c.wait_phase(id, remote_update::phase_done, 0, 60).first, remote_update::phase_done);
  EXPECT_EQ(second.stop(), 0) << second.out();
  EXPECT_EQ(c.host.stop(), 0);
}

TEST(AgentSelfUpdate, ANewBuildThatCannotStartIsPutBackAndNotTakenAgain) {
  Cluster c;
  c.serve(buildfix::elf(50000));  // an ELF head for this machine over bytes that do not run
  c.install(c.stripped());
  ASSERT_TRUE(c.start_host()) << c.host.out();

  std::string trials;
  c.first_start(&trials);

  // Three starts on trial fail (the program cannot be run); before the fourth the previous program comes back.
  for (int start = 1; start <= 3; ++start) {
    net::Process failing;
    c.start_agent(&failing, &trials);
    ASSERT_TRUE(failing.ended(60000));
    EXPECT_EQ(failing.code, 127) << start;
  }
  net::Process back;
  c.start_agent(&back, &trials, c.older);
  EXPECT_EQ(trials,
            "vimbrel agent: the update is on trial, start 1 of 3 before the previous binary comes back\n"
            "vimbrel agent: the update is on trial, start 2 of 3 before the previous binary comes back\n"
            "vimbrel agent: the update is on trial, start 3 of 3 before the previous binary comes back\n"
            "vimbrel agent: the update was not confirmed; the previous binary is back\n");
  EXPECT_EQ(testutil::read_file(c.program), c.old_program);
  EXPECT_EQ(testutil::read_file(c.program + ".refused"), record(c.version, 3));
  EXPECT_FALSE(exists(c.program + ".prev"));
  EXPECT_FALSE(exists(c.program + ".trial"));

  // The host saw the old version come back; an order to update now is answered that this version was put back.
  u8 id[16];
  ASSERT_TRUE(c.agent_id(id));
  EXPECT_EQ(c.wait_phase(id, remote_update::phase_failed, 7, 60), (std::pair<u8, u8>{7, 7})) << back.out();
  net::Member viewer;
  ASSERT_TRUE(viewer.join(c.port, proto::role_viewer, proto::hello_updates, nullptr));
  ASSERT_TRUE(viewer.send(net::id_frame(proto::kind_update_now, id)));
  EXPECT_EQ(c.wait_phase(id, remote_update::phase_failed, 6, 60), (std::pair<u8, u8>{7, 6})) << back.out();
  EXPECT_EQ(back.out().find("self-update installed"), std::string::npos) << back.out();
  EXPECT_EQ(back.stop(), 0) << back.out();
  EXPECT_EQ(c.host.stop(), 0);
}

// A host holds the cluster key, not the release key: an agent whose own release key did not sign the host's build
// refuses it before its program is touched, and the Machines page hears why; an agent built without a release key
// takes no build at all and says so when it is ordered to update.
TEST(AgentSelfUpdate, AnAgentTakesOnlyWhatItsOwnReleaseKeySigned) {
  struct Case {
    const char* what;
    const char* agent_key;  // the agent's VIMBREL_TEST_UPDATE_KEY; empty: a build without a release key
    u8 reason;
    const char* said;
  } cases[] = {
      {"the host's build is signed by another key", "other", remote_update::reason_bad_signature,
       "vimbrel agent: self-update failed: not signed by the release key\n"},
      {"the agent has no release key", "", remote_update::reason_agent_no_key, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Cluster c2;
    const std::string build = c2.stripped();
    c2.serve(build);
    c2.install(build + std::string(64, 'o'));
    ASSERT_TRUE(c2.start_host()) << c2.host.out();
    buildfix::Key other;
    std::string trials;
    net::Process agent;
    agent.env.push_back("VIMBREL_TEST_UPDATE_KEY=" + (std::string(c.agent_key) == "other" ? other.public_hex() : ""));
    c2.start_agent(&agent, &trials, c2.older);
    u8 id[16];
    ASSERT_TRUE(agent.wait_output("publishing to", 60)) << agent.out();
    for (int i = 0; i < 500 && !c2.agent_id(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (c.said != nullptr) {
      EXPECT_TRUE(agent.wait_output(c.said, 120)) << agent.out();
    } else {
      ASSERT_EQ(c2.wait_phase(id, 0, 0, 60), (std::pair<u8, u8>{0, 0})) << "the machine is listed";
      // The order is sent again until the host takes it: one sent on the heels of the viewer's handshake may come
      // before the host counts the link as a viewer's.
      net::Member viewer;
      ASSERT_TRUE(viewer.join(c2.port, proto::role_viewer, proto::hello_updates, nullptr));
      for (int i = 0; i < 12 && c2.wait_phase(id, remote_update::phase_failed, c.reason, 5).first == 0; ++i) {
        ASSERT_TRUE(viewer.send(net::id_frame(proto::kind_update_now, id)));
      }
    }
    EXPECT_EQ(c2.wait_phase(id, remote_update::phase_failed, c.reason, 60),
              (std::pair<u8, u8>{remote_update::phase_failed, c.reason}))
        << agent.out();
    EXPECT_TRUE(testutil::read_file(c2.program) == c2.old_program) << "the program is untouched";
    EXPECT_FALSE(exists(c2.program + ".new"));
    EXPECT_EQ(agent.out().find("self-update installed"), std::string::npos) << agent.out();
    EXPECT_EQ(agent.stop(), 0) << agent.out();
    EXPECT_EQ(c2.host.stop(), 0);
  }
}

}  // namespace
