// The window's update controller with a stand-in program for its children (tests/update/controller_desk.h): the
// daily check, the status each report leads to, the stored status taken forward at start, the notes child's
// lifetime, the recovery of a missing program file and the files beside the settings file.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/update/controller_desk.h"

namespace {

using namespace desk;

bool exists(const std::string& path) { return std::filesystem::exists(path); }

TEST(Controller, DailyCheckIsDueOncePerDayAndAFutureCheckIsClamped) {
  struct Case {
    const char* name;
    u32 last_check, now;
    bool checks_on, worker_running, due;
  };
  const Case cases[] = {
      {"never checked", 0, start_time, true, false, true},
      {"86,399 s ago", start_time - 86399, start_time, true, false, false},
      {"86,400 s ago", start_time - 86400, start_time, true, false, true},
      {"longer ago than 32-bit milliseconds hold", 1, 60 * day, true, false, true},
      {"an hour ahead: counts as just made", start_time + 3600, start_time, true, false, false},
      {"a day ahead", start_time + 86400, start_time, true, false, false},
      {"more than a day ahead: a wrong clock", start_time + 86401, start_time, true, false, true},
      {"checks off", 0, start_time, false, false, false},
      {"a worker runs", 0, start_time, true, true, false},
  };
  for (const Case& k : cases) {
    updstate::Settings s = fresh(k.checks_on ? updstate::flag_checks_on : 0);
    s.last_check = k.last_check;
    EXPECT_EQ(update::check_due(&s, k.worker_running, k.now), k.due) << k.name;
  }
}

TEST(Controller, WorkerReportsDriveTheStatus) {
  const u32 ask = updstate::flag_checks_on, automatic = updstate::flag_checks_on | updstate::flag_automatic;
  struct Case {
    const char* name;
    u32 flags;
    std::vector<u32> codes;
    bool manifest, skipped;
    u8 status, reason, step;
    u16 code;
    const char* calls;
    size_t log_lines;
  };
  const Case cases[] = {
      {"up to date", ask, {pack(1, 0, 0, 200)}, true, false, 2, 0, 0, 0, "--vimb-update check\n", 1},
      {"offered in ask mode: the notes are fetched", ask, {pack(2, 0, 0, 200)}, true, false, 7, 0, 0, 0,
       "--vimb-update check\n--update-notes\n", 1},
      {"automatic: downloaded at once", automatic, {pack(2, 0, 0, 200), pack(4, 0, 0, 200)}, true, false, 3, 0, 0,
       0, "--vimb-update check\n--vimb-update fetch\n--update-notes\n", 2},
      {"automatic but skipped: neither fetched nor offered", automatic, {pack(2, 0, 0, 200)}, true, true, 7, 0, 0,
       0, "--vimb-update check\n", 1},
      {"not installable here", ask, {pack(3, 20, 0, 200)}, true, false, 4, 20, 0, 0, "--vimb-update check\n", 1},
      {"feed unreachable: the HTTP status is no step", ask, {pack(7, 6, 0, 404)}, false, false, 5, 6, 0, 0,
       "--vimb-update check\n", 1},
      {"install step failure keeps step and code", automatic, {pack(2, 0, 0, 200), pack(7, 17, 4, 5)}, true,
       false, 5, 17, 4, 5, "--vimb-update check\n--vimb-update fetch\n", 2},
      {"a report without the tag", ask, {0x12345678}, true, false, 5, 22, 0, 0, "--vimb-update check\n", 1},
      {"an offer without a saved manifest", ask, {pack(2, 0, 0, 200)}, false, false, 5, 23, 0, 0,
       "--vimb-update check\n", 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Desk d;
    updstate::Settings s = fresh(u8(k.flags));
    if (k.skipped) s.skip_version[0] = 0, s.skip_version[1] = 1, s.skip_version[2] = 82;
    d.store(s);
    d.script(k.codes);
    if (k.manifest) testutil::write_file(d.program + ".manifest", offered_manifest);
    d.init();
    // The first tick finds the check due (never checked before).
    EXPECT_TRUE(update::tick(d.c.get(), start_time));
    EXPECT_EQ(d.c->settings.status, updstate::status_checking);
    d.settle(start_time);
    const updstate::Settings& got = d.c->settings;
    EXPECT_EQ(got.status, k.status);
    EXPECT_EQ(got.failure_reason, k.reason);
    EXPECT_EQ(got.failure_step, k.step);
    EXPECT_EQ(got.failure_code, k.code);
    EXPECT_EQ(got.last_check, start_time);
    EXPECT_EQ(d.calls(), k.calls);
    EXPECT_EQ(lines_of(d.log()), k.log_lines) << d.log();
    updstate::Settings on_disk = d.stored();
    EXPECT_EQ(on_disk.status, k.status);
    EXPECT_EQ(on_disk.last_check, start_time);
    if (k.manifest && k.reason == 0) {
      EXPECT_EQ(on_disk.last_version[2], 82);
    }
    // Checked now: the next day's check is not due yet, and the tick starts nothing.
    EXPECT_FALSE(update::tick(d.c.get(), start_time + day - 1));
    EXPECT_EQ(update::activity(d.c.get()), 0u);
  }
}

TEST(Controller, UserCheckRunsWithChecksOff) {
  Desk d;
  d.store(fresh(0));
  d.script({pack(1, 0, 0, 200)});
  testutil::write_file(d.program + ".manifest", offered_manifest);
  d.init();
  EXPECT_FALSE(update::tick(d.c.get(), start_time));
  update::start_check(d.c.get(), start_time);
  d.settle(start_time);
  EXPECT_EQ(d.c->settings.status, updstate::status_up_to_date);
  EXPECT_EQ(d.calls(), "--vimb-update check\n");
}

// A build without a release key never starts the worker: no daily check, no check, fetch or swap asked for by hand.
TEST(Controller, ABuildWithoutAReleaseKeyAsksTheServerNothing) {
  Desk d;
  d.config.has_key = 0;
  d.store(fresh(updstate::flag_checks_on));
  d.script({pack(1, 0, 0, 200)});
  d.init();
  EXPECT_FALSE(update::tick(d.c.get(), start_time));
  update::start_check(d.c.get(), start_time);
  EXPECT_FALSE(update::start_fetch(d.c.get(), start_time));
  d.settle(start_time);
  EXPECT_EQ(d.calls(), "");
  EXPECT_EQ(d.c->settings.status, updstate::status_unchecked);
}

TEST(Controller, StartTakesTheStoredStatusForward) {
  struct Case {
    const char* name;
    u8 status, reason;
    u16 last[3];
    u8 want_status, want_reason;
    bool first_start, notes, saved;
    u32 last_check;
  };
  const Case cases[] = {
      {"ready and the new version runs", 3, 0, {0, 1, 81}, 2, 0, true, true, true, start_time - 10},
      {"ready but another version runs", 3, 0, {0, 1, 82}, 0, 0, false, false, false, 0},
      {"offered a version already running", 7, 0, {0, 1, 80}, 2, 0, false, false, false, start_time - 10},
      {"offered a newer version: its notes are read", 7, 0, {0, 1, 82}, 7, 0, false, true, false, start_time - 10},
      {"a missing program file that is back", 5, 24, {0, 1, 82}, 5, 129, false, false, false, start_time - 10},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Desk d;
    updstate::Settings s = fresh(updstate::flag_checks_on);
    s.status = k.status, s.failure_reason = k.reason, s.last_check = start_time - 10;
    for (int i = 0; i < 3; i++) s.last_version[i] = k.last[i];
    d.store(s);
    std::string header = "vimbrel-notes 1 0.1." + std::to_string(k.last[2]) + "\n";
    testutil::write_file(d.dir.path + "/notes.txt", header + "- Faster start\n");
    d.init();
    const updstate::Settings& got = d.c->settings;
    EXPECT_EQ(got.status, k.want_status);
    EXPECT_EQ(got.failure_reason, k.want_reason);
    EXPECT_EQ((got.flags & updstate::flag_first_start) != 0, k.first_start);
    EXPECT_EQ(got.last_check, k.last_check);
    EXPECT_EQ(text_of(mem::Bytes(d.c->notes, d.c->notes_length)), k.notes ? "- Faster start\n" : "");
    EXPECT_EQ(d.stored().status, k.saved ? k.want_status : k.status);
  }
}

TEST(Controller, NotesChildStillRunningIsLetGoAndAnotherWaitsForIt) {
  Desk d;
  d.store(fresh(0));
  d.script({pack(1, 0, 0, 200)});
  testutil::write_file(d.program + ".manifest", offered_manifest);
  testutil::write_file(d.program + ".notes", "vimbrel-notes 1 0.1.82\n- Faster start\n");
  testutil::write_file(d.program + ".notes-wait", "");
  d.init();
  update::Controller* c = d.c.get();
  c->settings.last_version[0] = 0, c->settings.last_version[1] = 1, c->settings.last_version[2] = 82;
  update::start_notes(c);
  ASSERT_EQ(c->notes_child.running, 1);
  // A worker rewrites the manifest the notes child reads: the child is let go, and a new one only marked wanted.
  update::start_check(c, start_time);
  EXPECT_EQ(c->notes_child.abandoned, 1);
  update::start_notes(c);
  EXPECT_EQ(c->notes_child.wanted, 1);
  for (int i = 0; i < 3000 && c->worker.running; i++) {
    update::tick(c, start_time);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(c->settings.status, updstate::status_up_to_date);
  EXPECT_NE(update::activity(c), 0u);  // the abandoned child still waits
  std::filesystem::remove(d.program + ".notes-wait");
  d.settle(start_time);
  // The first notes child and the worker run side by side (either may note its start first); the second notes child
  // starts only after the first has ended.
  const std::string calls = d.calls();
  EXPECT_TRUE(calls == "--update-notes\n--vimb-update check\n--update-notes\n" ||
              calls == "--vimb-update check\n--update-notes\n--update-notes\n")
      << calls;
  EXPECT_EQ(text_of(mem::Bytes(c->notes, c->notes_length)), "- Faster start\n");
  EXPECT_NE(c->settings.flags & updstate::flag_notes_loaded, 0);

  // Notes for another version are not taken.
  testutil::write_file(d.program + ".notes", "vimbrel-notes 1 0.1.99\n- Something else\n");
  update::start_notes(c);
  d.settle(start_time);
  EXPECT_EQ(c->notes_length, 0u);
  EXPECT_EQ(c->settings.flags & updstate::flag_notes_loaded, 0);
}

TEST(Controller, MissingProgramIsPutBackOrReportedOnce) {
  Desk d;
  d.store(fresh(0));
  d.init();
  update::Controller* c = d.c.get();
  auto report_missing = [&] {
    c->worker.mode = 3;
    c->result.state = update::state_failed, c->result.reason = update::reason_program_missing;
    c->result.paths.step = update::step_rollback, c->result.paths.error = 2;
    update::apply_result(c, start_time);
  };
  // Parked by a swap that was cut short: put back, and said so.
  std::filesystem::rename(d.program, d.program + ".old");
  report_missing();
  EXPECT_TRUE(exists(d.program));
  EXPECT_EQ(c->missing, 0);
  EXPECT_EQ(c->settings.status, updstate::status_failed);
  EXPECT_EQ(c->settings.failure_reason, updstate::reason_put_back);
  EXPECT_EQ(d.log(), "");

  // Gone with no parked copy: the user is told, once, however often it is found again.
  ASSERT_TRUE(std::filesystem::remove(d.program));
  report_missing();
  EXPECT_EQ(c->missing, 1);
  EXPECT_EQ(c->settings.failure_reason, update::reason_program_missing);
  EXPECT_EQ(c->settings.failure_step, update::step_rollback);
  EXPECT_EQ(lines_of(d.log()), 1u);
  update::start_check(c, start_time + day);  // starts no worker: the recovery runs again instead
  EXPECT_EQ(c->worker.running, 0);
  EXPECT_EQ(c->settings.last_check, start_time + day);
  EXPECT_EQ(lines_of(d.log()), 1u);
  EXPECT_EQ(d.stored().failure_reason, update::reason_program_missing);
  u8 text[3600];
  updstate::Buf b = updstate::buf_of(mem::Slice{text, sizeof text});
  update::failure_text(c, &b);
  EXPECT_NE(text_of(updstate::text_of(&b)).find(d.program), std::string::npos);
}

TEST(Controller, NotesFileBesideTheSettingsFile) {
  u8 out[update::controller_path_max];
  struct Case {
    const char* settings;
    const char* want;
  };
  const Case cases[] = {{"/a/b/settings.txt", "/a/b/notes.txt"},
                        {"C:\\x\\Vimbrel\\settings.txt", "C:\\x\\Vimbrel\\notes.txt"},
                        {"settings.txt", "notes.txt"},
                        {"", ""}};
  for (const Case& k : cases) {
    u32 n = update::sibling_path(mem::Bytes(reinterpret_cast<const u8*>(k.settings), strlen(k.settings)),
                                 mem::lit("notes.txt"), out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), k.want) << k.settings;
  }
  const std::string folder = "/" + std::string(511, 'a') + "/";
  EXPECT_EQ(update::sibling_path(bytes(folder + "settings.txt"), mem::lit("notes.txt"), out), 0u);
  EXPECT_EQ(update::sibling_path(bytes(folder + "settings.txt"), mem::lit("update.log"), out), 0u);
  EXPECT_EQ(update::sibling_path(bytes(folder + "settings.txt"), mem::lit("a.txt"), out), 518u);
}

}  // namespace
