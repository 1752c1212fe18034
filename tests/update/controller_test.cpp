// The window's update controller driven as the window drives it: a stand-in program answers each worker start with
// a scripted packed report through the exit-word channel (and copies scripted release notes when started for
// them), so the status table, the notes child's lifetime, the missing-program recovery and update.log are seen
// without a network. The whole road with the real program and a signed test release is at the end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/os.h"
#include "release.h"
#include "update/controller.h"

namespace {

using release::bytes;
using release::exists;

std::string text_of(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

// The packed report as printf escapes of its four bytes, low byte first (the channel's order).
std::string escapes(u32 code) {
  std::string s;
  char part[8];
  for (u32 i = 0; i < 4; i++) {
    snprintf(part, sizeof part, "\\%03o", (code >> (8 * i)) & 0xFF);
    s += part;
  }
  return s;
}

u32 pack(u32 state, u32 reason, u32 step = 0, u32 detail = 0) {
  return update::pack_exit_code(state, reason, step, detail);
}

// "--vimb-update <verb>" answers the next line of "<exe>.codes" (the word, and its low byte as the exit status that
// the channel's word must agree with) and leaves "<exe>.manifest" as "<exe>.latest";
// "--update-notes" waits while "<exe>.notes-wait" exists and then copies "<exe>.notes" next to itself; with
// "<exe>.notes-error" it says that file's text on standard error and ends with 1 instead.
const char* const stub_program = R"(#!/bin/bash
echo "$*" >> "$0.calls"
if [ "$1" = "--update-notes" ]; then
  while [ -f "$0.notes-wait" ]; do sleep 0.05; done
  if [ -f "$0.notes-error" ]; then cat "$0.notes-error" >&2; exit 1; fi
  if [ -f "$0.notes" ]; then cp "$0.notes" "$(dirname "$0")/notes.txt"; fi
  exit 0
fi
if [ -f "$0.manifest" ]; then cp "$0.manifest" "$0.latest"; fi
read -r word low < "$0.codes"
sed -i 1d "$0.codes"
printf "$word" >&"${VIMBREL_EXIT_FD%%.*}"
exit "${low:-0}"
)";

const std::string offered_manifest =
    "vimbrel-latest 1\nversion 0.1.82\nfile vimbrel-0.1.82-x86_64-linux\nsha256 " + std::string(64, '0') +
    "\nurl https://updates.quillmere.com/downloads/vimbrel/v0.1.82/vimbrel-0.1.82-x86_64-linux\n";

constexpr u32 day = 86400;
constexpr u32 start_time = 50 * day;

struct Desk {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  std::string program, settings;
  update::Config config = keyed(update::make_config(mem::lit("0.1.81")));
  std::unique_ptr<update::Controller> c = std::make_unique<update::Controller>();

  // The scripted worker stands for a build with a release key.
  static update::Config keyed(update::Config c) {
    c.has_key = 1;
    return c;
  }
  Desk() {
    setenv("XDG_RUNTIME_DIR", (dir.path + "/run").c_str(), 1);
    mkdir((dir.path + "/run").c_str(), 0700);
    program = dir.path + "/vimbrel";
    settings = dir.path + "/settings.txt";
    testutil::write_file(program, stub_program);
    chmod(program.c_str(), 0755);
  }
  void script(const std::vector<u32>& codes) {
    std::string text;
    for (u32 code : codes) text += escapes(code) + " " + std::to_string(code & 0xFF) + "\n";
    testutil::write_file(program + ".codes", text);
  }
  void store(const updstate::Settings& s) {
    u8 text[512];
    u32 n = updstate::format_settings(&s, mem::Slice{text, sizeof text});
    testutil::write_file(settings, std::string(reinterpret_cast<char*>(text), n));
  }
  void init() { update::init_controller(c.get(), &config, bytes(program), bytes(settings), start_time); }
  // Ticks until nothing runs (a minute at most).
  void settle(u32 now) {
    for (int i = 0; i < 3000 && update::activity(c.get()); i++) {
      update::tick(c.get(), now);
      usleep(20000);
    }
    ASSERT_EQ(update::activity(c.get()), 0u);
  }
  std::string calls() const { return testutil::read_file(program + ".calls"); }
  std::string log() const { return testutil::read_file(dir.path + "/update.log"); }
  updstate::Settings stored() const {
    updstate::Settings s;
    updstate::load(bytes(settings), &s);
    return s;
  }
};

updstate::Settings fresh(u8 flags) {
  updstate::Settings s;
  updstate::reset(&s);
  s.flags = flags;
  return s;
}

size_t lines_of(const std::string& text) {
  size_t n = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) n++;
  return n;
}

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
    usleep(20000);
  }
  EXPECT_EQ(c->settings.status, updstate::status_up_to_date);
  EXPECT_NE(update::activity(c), 0u);  // the abandoned child still waits
  unlink((d.program + ".notes-wait").c_str());
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

// A notes child that fails says why: the sentence goes to update.log with its date, not to the window's own standard
// error (a window started from a desktop has nobody reading it).
TEST(Controller, NotesChildFailureGoesToTheUpdateLog) {
  Desk d;
  d.store(fresh(0));
  testutil::write_file(d.program + ".notes-error", "vimbrel: --update-notes: no notes here\n");
  d.init();
  const std::string caught = d.dir.path + "/stderr.txt";
  const int kept = dup(2);
  const int file = open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, 2);
  update::start_notes(d.c.get());
  ASSERT_EQ(d.c->notes_child.running, 1);
  d.settle(start_time);
  dup2(kept, 2);
  close(kept);
  close(file);
  EXPECT_EQ(testutil::read_file(caught), "");
  const std::string log = d.log();
  EXPECT_EQ(lines_of(log), 1u) << log;
  EXPECT_NE(log.find(": vimbrel: --update-notes: no notes here\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.rfind("20", 0), 0u) << "dated: " << log;
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
  ASSERT_EQ(rename(d.program.c_str(), (d.program + ".old").c_str()), 0);
  report_missing();
  EXPECT_TRUE(exists(d.program));
  EXPECT_EQ(c->missing, 0);
  EXPECT_EQ(c->settings.status, updstate::status_failed);
  EXPECT_EQ(c->settings.failure_reason, updstate::reason_put_back);
  EXPECT_EQ(d.log(), "");

  // Gone with no parked copy: the user is told, once, however often it is found again.
  ASSERT_EQ(unlink(d.program.c_str()), 0);
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

namespace {

// The release-notes child, the real program against the loopback server: each exit code and the file it leaves.
TEST(NotesChild, FetchesTheSavedManifestsNotesIntoNotesFile) {
  release::World w;
  const std::string folder = w.dir.path + "/config/Vimbrel", notes = folder + "/notes.txt";
  const std::string notes_path = "/downloads/vimbrel/v0.1.82/notes.txt";
  w.routes[notes_path] = release::Route{200, "- Faster start\r\n\tTabs\x01\n"};
  w.write_routes();
  const std::string manifest = w.manifest(w.release_body, "0.1.82");
  struct Case {
    const char* name;
    std::string latest;  // empty: no saved manifest
    bool folder_blocked;
    u32 code;
    std::string file;  // what notes.txt holds afterwards; "-" when there is none
  };
  std::string other_port = w.url(notes_path);
  other_port.replace(other_port.find(std::to_string(w.port)), std::to_string(w.port).size(),
                     std::to_string(w.port == 65535 ? 1 : w.port + 1));
  const Case cases[] = {
      {"written, cleaned", manifest + "notes " + w.url(notes_path) + "\n", false, 0,
       "vimbrel-notes 1 0.1.82\n- Faster start\n Tabs?\n"},
      {"no saved manifest", "", false, 1, "-"},
      {"no notes line", manifest, false, 2, "-"},
      {"notes of another origin", manifest + "notes " + other_port + "\n", false, 3, "-"},
      {"notes not found", manifest + "notes " + w.url("/downloads/vimbrel/v0.1.82/none.txt") + "\n", false, 4,
       "-"},
      {"notes file cannot be written", manifest + "notes " + w.url(notes_path) + "\n", true, 5, "-"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove_all(folder);
    unlink((w.program + ".latest").c_str());
    if (!k.latest.empty()) testutil::write_file(w.program + ".latest", k.latest);
    if (k.folder_blocked) testutil::write_file(folder, "a file where the folder goes");
    proc::ExePath exe{};
    exe.length = os::utf8_to_wide(bytes(w.program), exe.units, proc::path_units);
    proc::Child child{};
    ASSERT_EQ(proc::start_in_job(&exe, update::notes_option(), &child), 1u);
    ASSERT_EQ(proc::wait_end(&child, 60000), 1u);
    u32 code = 99;
    ASSERT_EQ(proc::exit_code(&child, &code), 1u);
    proc::close(&child);
    EXPECT_EQ(code, k.code);
    EXPECT_EQ(exists(notes) ? testutil::read_file(notes) : std::string("-"), k.file);
    std::filesystem::remove_all(folder);
  }
}

// The whole road with the real program as its worker and a release signed by the test key: the daily check finds
// it, the automatic setting downloads and verifies it, the install swaps it in as the window closes, and a new
// version that does not come up is put back and never offered again.
TEST(ControllerRoad, SignedReleaseIsInstalledAndPutBackWhenItDoesNotStart) {
  release::World w;
  const release::FileId original = release::id_of(w.program);
  update::TestSeams seams;
  const update::Config config = release::config_of_world(&seams);
  const std::string settings = w.dir.path + "/config/Vimbrel/settings.txt";
  auto c = std::make_unique<update::Controller>();
  update::init_controller(c.get(), &config, bytes(w.program), bytes(settings), start_time);
  c->settings.flags = updstate::flag_checks_on | updstate::flag_automatic;
  auto settle = [&] {
    for (int i = 0; i < 6000 && update::activity(c.get()); i++) {
      update::tick(c.get(), start_time);
      usleep(20000);
    }
    ASSERT_EQ(update::activity(c.get()), 0u);
  };
  EXPECT_TRUE(update::tick(c.get(), start_time));
  settle();
  ASSERT_EQ(c->settings.status, updstate::status_ready) << int(c->settings.failure_reason);
  EXPECT_EQ(c->settings.last_version[2], 82);
  EXPECT_TRUE(exists(w.program + ".new"));

  ASSERT_TRUE(update::start_swap(c.get(), start_time));
  EXPECT_EQ(c->settings.status, updstate::status_installing);
  EXPECT_EQ(c->worker.child.job, 0u);  // outside any job: a window that ends meanwhile does not end the swap
  settle();
  ASSERT_EQ(c->result.state, u32(update::state_swapped));
  EXPECT_EQ(c->settings.status, updstate::status_ready);
  EXPECT_EQ(testutil::read_file(w.program), w.release_body);

  // The release prints a line and ends: no window comes up.
  EXPECT_FALSE(update::start_new_program(c.get(), mem::lit("--unattended"), 2000));
  EXPECT_EQ(release::id_of(w.program), original);
  EXPECT_EQ(c->settings.status, updstate::status_failed);
  EXPECT_EQ(c->settings.failure_reason, updstate::reason_did_not_start);
  EXPECT_EQ(c->settings.failed_version[2], 82);
  updstate::Settings on_disk;
  updstate::load(bytes(settings), &on_disk);
  EXPECT_EQ(on_disk.failure_reason, updstate::reason_did_not_start);
  EXPECT_EQ(on_disk.failed_version[2], 82);
  const std::string log = testutil::read_file(w.dir.path + "/config/Vimbrel/update.log");
  const std::string last = log.substr(log.rfind('\n', log.size() - 3) + 1);
  EXPECT_NE(last.find("the new version did not start, the previous one is back"), std::string::npos) << log;

  // The next day's check finds the same version again: it is not downloaded.
  unlink((w.program + ".new").c_str());
  EXPECT_TRUE(update::tick(c.get(), start_time + day));
  settle();
  EXPECT_EQ(c->settings.status, updstate::status_available);
  EXPECT_FALSE(exists(w.program + ".new"));
}

// A swap that the window lets go of (as a window that ends does) still completes: the program file is the release
// afterwards, and the parked copy is beside it.
TEST(ControllerRoad, SwapOutlivesTheWindowThatStartedIt) {
  release::World w;
  update::TestSeams seams;
  const update::Config config = release::config_of_world(&seams);
  auto c = std::make_unique<update::Controller>();
  update::init_controller(c.get(), &config, bytes(w.program), bytes(w.dir.path + "/config/settings.txt"), 0);
  c->settings.flags = updstate::flag_checks_on | updstate::flag_automatic;
  update::start_check(c.get(), start_time);
  for (int i = 0; i < 6000 && update::activity(c.get()); i++) {
    update::tick(c.get(), start_time);
    usleep(20000);
  }
  ASSERT_EQ(c->settings.status, updstate::status_ready);
  ASSERT_TRUE(update::start_swap(c.get(), start_time));
  proc::close(&c->worker.child);
  c->worker.running = 0;
  bool swapped = false;
  for (int i = 0; i < 3000 && !swapped; i++) {
    swapped = exists(w.program) && testutil::read_file(w.program) == w.release_body && exists(w.program + ".old");
    if (!swapped) usleep(20000);
  }
  EXPECT_TRUE(swapped);
}

}  // namespace
