// The agent's self-update on real files, the same on every system: the trial and revert modes that count the starts
// of a new program and put the previous one back, and the answers of the update state to a host's order.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/cluster/trial_fixture.h"

namespace {

using namespace trialfix;

TEST(AgentTrial, ThreeStartsOnTrialThenTheFourthPutsThePreviousProgramBack) {
  Program f;
  f.put("", "new");
  f.put(".prev", "old");
  f.put(".trial", record(v81, 0));
  for (int start = 1; start <= 3; ++start) {
    printed.clear();
    EXPECT_EQ(agentupdate::trial_main(bytes(f.p), keep), 0u);
    EXPECT_EQ(printed, trial_text(start));
    EXPECT_EQ(f.get(".trial"), record(v81, static_cast<u8>(start)));
    EXPECT_EQ(f.get(""), "new");
  }
  printed.clear();
  EXPECT_EQ(agentupdate::trial_main(bytes(f.p), keep), 0u);
  EXPECT_EQ(printed, back_line);
  EXPECT_EQ(f.get(""), "old");
  EXPECT_FALSE(exists(f.at(".prev")));
  EXPECT_FALSE(exists(f.at(".trial")));
  EXPECT_EQ(f.get(".refused"), record(v81, 3));
}

TEST(AgentTrial, RecordsAndPathsDecideEachStart) {
  struct Case {
    const char* what;
    std::string trial;  // P.trial's bytes; "-" for none
    bool prev;
    u32 code;
    std::string out;
  } cases[] = {
      {"a count of 2 allows one more start", record(v81, 2), true, 0, trial_text(3)},
      {"a count of 3 reverts", record(v81, 3), true, 0, back_line},
      {"a count of 255 reverts", record(v81, 255), true, 0, back_line},
      {"a record of 8 bytes reads as no starts", std::string(8, '\x09'), true, 0, trial_text(1)},
      {"a record of 10 bytes reads as no starts", std::string(10, '\x09'), true, 0, trial_text(1)},
      {"no previous program to put back", record(v81, 3), false, 1, cannot_line},
  };
  for (const Case& c : cases) {
    Program f;
    f.put("", "new");
    if (c.prev) f.put(".prev", "old");
    f.put(".trial", c.trial);
    EXPECT_EQ(agentupdate::trial_main(bytes(f.p), keep), c.code) << c.what;
    EXPECT_EQ(printed, c.out) << c.what;
    EXPECT_EQ(f.get(""), c.code == 0 && c.out == back_line ? "old" : "new") << c.what;
  }
  // The revert mode on its own, and paths that do not fit: nothing is touched.
  Program f;
  f.put("", "new");
  f.put(".prev", "old");
  EXPECT_EQ(agentupdate::revert_main(bytes(f.p), keep), 0u);
  EXPECT_EQ(f.get(""), "old");
  EXPECT_EQ(agentupdate::revert_main(bytes(f.p), keep), 1u);
  EXPECT_EQ(f.get(""), "old");
  std::string too_long = f.dir.path + "/" + std::string(249 - f.dir.path.size() - 1, 'x');
  ASSERT_EQ(too_long.size(), 249u);
  EXPECT_EQ(agentupdate::trial_main(bytes(too_long), keep), 2u);
  EXPECT_EQ(agentupdate::revert_main(bytes(too_long), keep), 2u);
  EXPECT_EQ(agentupdate::trial_main(mem::Bytes(), keep), 2u);
  EXPECT_FALSE(exists(too_long + ".trial"));
  // A path where no program file is (nothing, or a folder) is refused with a word, and no trial record is made.
  for (const std::string& where : {f.dir.path + "/missing", f.dir.path}) {
    printed.clear();
    EXPECT_EQ(agentupdate::trial_main(bytes(where), keep), 2u) << where;
    EXPECT_EQ(printed, "vimbrel agent: no program file at " + where + "\n");
    EXPECT_FALSE(exists(where + ".trial")) << where;
  }
}

TEST(AgentUpdateState, OrdersAreAnsweredByWhatTheAgentCanDo) {
  using P = std::vector<std::pair<u8, u16>>;
  struct Case {
    const char* what;
    bool path;
    u8 arch;
    u64 offered;
    u64 refused;
    P phases;
    bool armed;
    bool keyed = true;
  } cases[] = {
      {"no program path", false, 1, v81, 0, {{7, 2}}, false},
      {"no architecture", true, 0, v81, 0, {{7, 2}}, false},
      {"a newer host", true, 1, v81, 0, {}, true},
      {"a host of the same version", true, 2, v80, 0, {{8, 0}}, false},
      {"the version that was put back", true, 1, v81, v81, {{7, 6}}, false},
      {"a build without a release key", true, 1, v81, 0, {{7, remote_update::reason_agent_no_key}}, false, false},
  };
  for (const Case& c : cases) {
    Agent a;
    agentupdate::init(&a.u, v80, c.path ? bytes(a.f.p) : mem::Bytes(), c.arch, os::random_bytes,
                      c.keyed ? some_key : nullptr);
    a.u.print = keep;
    a.u.retry.failed = c.refused;
    remote_update::note_offer(&a.u.retry, c.offered, 1000, 0);
    agentupdate::start(&a.u, 5000);
    EXPECT_EQ(a.phases(), c.phases) << c.what;
    EXPECT_EQ(agentupdate::idle(&a.u, 5000), c.armed) << c.what;
  }
}

TEST(AgentUpdateState, StartChecksTheFolderAndReadsTheRefusedVersion) {
  Agent a;
  a.f.put("", "program");
  a.f.put(".new", "left from a crash");
  a.f.put(".refused", record(v81, 3));
  agentupdate::check_writable(&a.u);
  EXPECT_TRUE(agentupdate::enabled(&a.u));
  EXPECT_EQ(a.u.refused, v81);
  EXPECT_EQ(a.u.retry.failed, v81);
  EXPECT_FALSE(exists(a.f.at(".new")));
  EXPECT_EQ(printed, "");

  // A new file that cannot be written (here a folder stands in its place) turns self-update off for the run.
  Agent b;
  std::filesystem::create_directories(b.f.at(".new") + "/inside");
  agentupdate::check_writable(&b.u);
  EXPECT_FALSE(agentupdate::enabled(&b.u));
  EXPECT_EQ(printed, "vimbrel agent: self-update off: cannot write next to the program file\n");
}

}  // namespace
