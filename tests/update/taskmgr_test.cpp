// The Task Manager replacement's rules that hold on every system: the forms of our value, the state and click
// tables, the elevated start's arguments and verdicts, the instance mutex's verdicts and the real Task Manager's
// command line.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "tests/support/env.h"
#include "tests/support/testutil.h"
#include "update/taskmgr.h"

namespace {

using harness::bytes;
using harness::text;

taskmgr::Value value(const std::string& t, bool present = true, bool expandable = false, u32 error = 0) {
  taskmgr::Value v{};
  v.present = present;
  v.expandable = expandable;
  v.error = error;
  v.length = static_cast<u32>(t.size());
  memcpy(v.text, t.data(), t.size());
  return v;
}

std::string ours_for(const std::string& path) { return "\"" + path + "\" --as-taskmgr"; }

TEST(TaskmgrForms, OurValueIsRecognisedOnlyInItsExactForm) {
  struct Case {
    std::string value;
    bool ours;
    std::string shown;  // what the Settings page shows
  };
  const Case cases[] = {
      {"\"C:\\Vimbrel\\vimbrel.exe\" --as-taskmgr", true, "C:\\Vimbrel\\vimbrel.exe"},
      {"\"/usr/bin/vimbrel\" --as-taskmgr", true, "/usr/bin/vimbrel"},
      {"\"x\" --as-taskmgr", true, "x"},  // 16 bytes, the shortest
      {"\"\" --as-taskmgr", false, "\"\" --as-taskmgr"},
      {"C:\\Vimbrel\\vimbrel.exe --as-taskmgr", false, "C:\\Vimbrel\\vimbrel.exe --as-taskmgr"},  // no quotes
      {"\"C:\\v.exe\" --as-taskmgr --view 0", false, "\"C:\\v.exe\" --as-taskmgr --view 0"},       // more after it
      {"\"C:\\v.exe\"  --as-taskmgr", false, "\"C:\\v.exe\"  --as-taskmgr"},
      {"\"C:\\a\"b.exe\" --as-taskmgr", false, "\"C:\\a\"b.exe\" --as-taskmgr"},
      {"\"C:\\Windows\\System32\\cmd.exe\" /k", false, "\"C:\\Windows\\System32\\cmd.exe\" /k"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(taskmgr::is_our_debugger_value(bytes(c.value)), c.ours) << c.value;
    EXPECT_EQ(text(taskmgr::is_ours(value(c.value))), c.shown) << c.value;
    EXPECT_EQ(taskmgr::classify_debugger(value(c.value)), c.ours ? taskmgr::kind_ours : taskmgr::kind_foreign);
  }
  EXPECT_EQ(taskmgr::classify_debugger(value("", false)), taskmgr::kind_none);
  EXPECT_EQ(taskmgr::classify_debugger(value("", true)), taskmgr::kind_foreign) << "a value of another type";

  u8 out[taskmgr::value_most];
  const u32 n = taskmgr::our_debugger_value(bytes("/opt/vimbrel"), out);
  EXPECT_EQ(text(mem::Bytes(out, n)), "\"/opt/vimbrel\" --as-taskmgr");
  EXPECT_EQ(taskmgr::our_debugger_value(bytes(""), out), 0u);
  EXPECT_EQ(taskmgr::our_debugger_value(bytes("/opt/a\"b"), out), 0u);
  // The whole is at most 2,048 bytes: quotes and " --as-taskmgr" take 15.
  EXPECT_EQ(taskmgr::our_debugger_value(bytes(std::string(2033, 'p')), out), 2048u);
  EXPECT_EQ(taskmgr::our_debugger_value(bytes(std::string(2034, 'p')), out), 0u);
}

TEST(TaskmgrForms, StatesClicksAndVerdicts) {
  using namespace taskmgr;
  struct State {
    Value v;
    bool exists, same;
    u32 state;
  };
  const State states[] = {
      {value("", false, false, 5), true, true, state_unknown},
      {value("", false, false, 234), false, false, state_unknown},
      {value("", false), false, false, state_off},
      {value("\"C:\\t.exe\" /x"), true, true, state_other_program},
      {value(ours_for("C:\\gone.exe")), false, false, state_broken},
      {value(ours_for("C:\\v.exe")), true, true, state_on},
      {value(ours_for("C:\\v.exe")), true, false, state_other_copy},
  };
  for (const State& s : states) EXPECT_EQ(state_of(s.v, s.exists, s.same), s.state) << text(s.v.bytes());

  // The click's mode by state, for the replacement button and for "Remove".
  const u32 button[6] = {mode_on, mode_off, mode_on, mode_on, mode_takeover, mode_invalid};
  for (u32 state = 0; state < 6; ++state) {
    EXPECT_EQ(command_mode(state, false), button[state]) << state;
    EXPECT_EQ(command_mode(state, true), state == state_unknown ? mode_invalid : mode_off) << state;
  }

  // An elevated run's outcome as the window reports it.
  EXPECT_EQ(elevation_result(run_ended, 0), result_done);
  EXPECT_EQ(elevation_result(run_ended, 3), result_refused);
  EXPECT_EQ(elevation_result(run_ended, 1), result_failed);
  EXPECT_EQ(elevation_result(run_ended, 2), result_failed);
  EXPECT_EQ(elevation_result(run_cancelled, 0), result_cancelled);
  EXPECT_EQ(elevation_result(run_not_started, 0), result_failed);
  EXPECT_EQ(elevation_result(run_timed_out, 0), result_failed);

  u8 args[64];
  EXPECT_EQ(text(mem::Bytes(args, elevated_arguments(mode_takeover, false, args))), "--replace-taskmgr takeover");
  EXPECT_EQ(text(mem::Bytes(args, elevated_arguments(mode_off, true, args))), "--replace-taskmgr off --test");
  EXPECT_EQ(elevated_arguments(mode_invalid, false, args), 0u);
  for (u32 mode = mode_on; mode <= mode_takeover; ++mode) EXPECT_EQ(parse_mode(mode_word(mode)), mode);
  EXPECT_EQ(parse_mode(bytes("ON")), mode_invalid);

  // The instance mutex: a handle to an existing mutex or a denied one hands over, unless no hand-off is wanted.
  EXPECT_EQ(mutex_verdict(true, false, false), verdict_created);
  EXPECT_EQ(mutex_verdict(true, true, false), verdict_exists);
  EXPECT_EQ(mutex_verdict(false, false, true), verdict_denied);
  EXPECT_EQ(mutex_verdict(false, false, false), verdict_failed);
  EXPECT_TRUE(runs_alone(verdict_created, true));
  EXPECT_TRUE(runs_alone(verdict_failed, true));
  EXPECT_FALSE(runs_alone(verdict_exists, true));
  EXPECT_FALSE(runs_alone(verdict_denied, true));
  EXPECT_TRUE(runs_alone(verdict_exists, false));
}

TEST(TaskmgrForms, RealTaskManagerCommandLine) {
  u8 out[taskmgr::value_most];
  auto command = [&](const std::string& folder) {
    return text(mem::Bytes(out, taskmgr::real_taskmgr_command(bytes(folder), out)));
  };
  EXPECT_EQ(command("C:\\Windows"), "\"C:\\Windows\\System32\\taskmgr.exe\"");
  EXPECT_EQ(command("C:\\Windows\\"), "\"C:\\Windows\\System32\\taskmgr.exe\"");
  EXPECT_EQ(command(""), "");
  EXPECT_EQ(command("C:\\Win\"dows"), "");
  EXPECT_EQ(command(std::string(2025, 'w')).size(), 2048u);
  EXPECT_EQ(command(std::string(2026, 'w')), "");

  testutil::TempDir dir;
  const std::string file = dir.path + "/taskmgr.txt";
  EXPECT_EQ(taskmgr::open_real_taskmgr(bytes("C:\\Windows"), bytes(file)), 0u);
  EXPECT_EQ(testutil::read_file(file), "\"C:\\Windows\\System32\\taskmgr.exe\"") << "a test file stands in for the start";
}

}  // namespace
