// The window's update controller on Linux: a failing notes child's words kept from the window's standard error, the
// release-notes child of the real program against the loopback server, and the whole road with the real program and
// a signed test release (the controller's rules on every system are in controller_test.cpp).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/os.h"
#include "release.h"
#include "tests/update/controller_desk.h"
#include "update/controller.h"

namespace {

using namespace desk;
using release::bytes;
using release::exists;

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
  const std::string log_path = w.dir.path + "/config/Vimbrel/update.log";
  // What a failure shows: the last worker's decoded result and every line the controller logged on the way.
  auto story = [&] {
    const update::Result& r = c->result;
    return "worker mode " + std::to_string(c->worker.mode) + ", result state " + std::to_string(r.state) +
           " reason " + std::to_string(r.reason) + ", http stage " + std::to_string(r.http.stage) + " status " +
           std::to_string(r.http.status) + ", install step " + std::to_string(r.paths.step) + " error " +
           std::to_string(r.paths.error) + "\nupdate.log:\n" +
           (exists(log_path) ? testutil::read_file(log_path) : std::string("(none)"));
  };
  auto settle = [&] {
    for (int i = 0; i < 6000 && update::activity(c.get()); i++) {
      update::tick(c.get(), start_time);
      usleep(20000);
    }
    ASSERT_EQ(update::activity(c.get()), 0u) << story();
  };
  EXPECT_TRUE(update::tick(c.get(), start_time));
  settle();
  ASSERT_EQ(c->settings.status, updstate::status_ready) << int(c->settings.failure_reason) << "; " << story();
  EXPECT_EQ(c->settings.last_version[2], 82);
  EXPECT_TRUE(exists(w.program + ".new"));

  ASSERT_TRUE(update::start_swap(c.get(), start_time)) << story();
  EXPECT_EQ(c->settings.status, updstate::status_installing);
  EXPECT_EQ(c->worker.child.job, 0u);  // outside any job: a window that ends meanwhile does not end the swap
  settle();
  ASSERT_EQ(c->result.state, u32(update::state_swapped)) << story();
  EXPECT_EQ(c->settings.status, updstate::status_ready) << story();
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
  const std::string log = testutil::read_file(log_path);
  const std::string last = log.substr(log.rfind('\n', log.size() - 3) + 1);
  EXPECT_NE(last.find("the new version did not start, the previous one is back"), std::string::npos) << log;

  // The next day's check finds the same version again: it is not downloaded.
  unlink((w.program + ".new").c_str());
  EXPECT_TRUE(update::tick(c.get(), start_time + day));
  settle();
  EXPECT_EQ(c->settings.status, updstate::status_available) << story();
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
