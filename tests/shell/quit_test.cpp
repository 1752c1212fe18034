// The quit road and the update buttons on the shell's own state: the relaunch command line, the restart decision
// on the idle time, the buttons' effects on the update settings, and where the test files go.
#include <gtest/gtest.h>

#include <string>

#include "widgets/hitmap.h"
#include "shell/loop.h"
#include "shell/quit.h"
#include "shell/snap.h"
#include "tests/shell/shell_window.h"
#include "update/updstate.h"

namespace {

using shelltest::ShellWindow;

std::string args(bool gdi, u32 view, bool unattended, bool minimized, u32 capacity = app::relaunch_most) {
  u8 buffer[app::relaunch_most];
  const u32 n = app::relaunch_args(gdi, view, unattended, minimized, buffer, capacity);
  return std::string(reinterpret_cast<char*>(buffer), n);
}

TEST(Quit, RelaunchArguments) {
  EXPECT_EQ(args(true, 3, true, false), "--gdi --view 3 --unattended");
  EXPECT_EQ(args(false, 3, false, true), "--view 3") << "minimized only together with unattended";
  EXPECT_EQ(args(false, 31, true, true), "--view 31 --unattended --minimized");
  EXPECT_EQ(args(false, 66, false, false), "--view 66");
  EXPECT_EQ(args(true, 34, true, true, 20), "--gdi --view 34") << "a word that does not fit is left out whole";
}

// A ready update in automatic mode restarts after 30 s without input, not 29; in ask mode only when asked.
TEST(Quit, RestartWaitsForThirtyIdleSeconds) {
  const struct {
    u8 flags;
    u32 idle;
    bool asked, restarts;
  } cases[] = {
      {updstate::flag_automatic, 29, false, false},
      {updstate::flag_automatic, 30, false, true},
      {0, 3600, false, false},
      {0, 0, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.idle);
    ShellWindow w;
    ASSERT_TRUE(w.made);
    w.no_updater();
    updstate::Settings& u = w.s.model->updater.settings;
    u.status = updstate::status_ready;
    u.flags = c.flags;
    if (c.asked) w.s.flags |= app::flag_restart_pending;
    w.s.last_input = app::now(w.s) - c.idle;
    app::check_update_road(&w.s);
    EXPECT_EQ(w.s.window == 0, c.restarts);
  }
}

// Outside --test the idle time runs on the monotonic clock from the last input.
TEST(Quit, IdleTimeOnTheMonotonicClock) {
  ShellWindow w(false);
  ASSERT_TRUE(w.made);
  w.s.input_ticks = app::ticks(w.s) - 31500;
  EXPECT_EQ(app::idle_seconds(w.s), 31u);
  w.s.input_ticks = app::ticks(w.s) + 5000;  // ahead of the clock: no idle time
  EXPECT_EQ(app::idle_seconds(w.s), 0u);
}

TEST(Quit, UpdateButtons) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  w.no_updater();
  const std::string settings = w.dir.path + "/settings.txt";
  w.s.settings = harness::bytes(settings);
  app::load_settings(&w.s, w.s.settings);
  updstate::Settings& u = w.s.model->updater.settings;
  const u8 checks = u.flags & updstate::flag_checks_on;
  u.last_version[1] = 2;
  u.failed_version[1] = 1;

  EXPECT_FALSE(app::update_click(&w.s, app::bit_a(app::slot_close)));
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_auto_check)));
  EXPECT_EQ(u.flags & updstate::flag_checks_on, checks ^ updstate::flag_checks_on);
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_check)));
  EXPECT_EQ(u.status, updstate::status_checking);
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_banner0 + 1)));
  EXPECT_NE(w.s.flags & app::flag_banner_dismissed, 0);
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_banner0 + 2)));
  EXPECT_EQ(u.skip_version[1], 2) << "this version skipped";
  EXPECT_NE(testutil::read_file(settings), "") << "and saved";
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_banner0)));
  EXPECT_NE(w.s.flags & app::flag_restart_pending, 0) << "download and restart: the check stands for the worker";
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_update_mode)));
  EXPECT_EQ(u.flags & updstate::flag_automatic, updstate::flag_automatic);
  EXPECT_EQ(w.s.flags & app::flag_restart_pending, 0);
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_notes)));
  EXPECT_EQ(u.skip_version[1], 0);
  EXPECT_EQ(u.failed_version[1], 0);
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_notice)));
  EXPECT_EQ(w.s.page, app::page_settings);

  // Restart pending lasts only while a check runs, an update is ready or installing.
  w.s.flags |= app::flag_restart_pending;
  u.status = updstate::status_up_to_date;
  app::sync_restart_flag(&w.s);
  EXPECT_EQ(w.s.flags & app::flag_restart_pending, 0);

  // Update now with a ready update relaunches as the user asked: not unattended.
  u.status = updstate::status_ready;
  ASSERT_TRUE(app::update_click(&w.s, app::bit_a(app::slot_restart)));
  EXPECT_EQ(w.s.window, 0u);
  EXPECT_EQ(testutil::read_file(w.dir.path + "/restart.txt"), "--view 33");
}

// The chart range is one of the update settings' lasting preferences: a change is saved at once.
TEST(Quit, ChartRangeIsSaved) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  const std::string settings = w.dir.path + "/settings.txt";
  w.s.settings = harness::bytes(settings);
  app::load_settings(&w.s, w.s.settings);
  app::set_option(&w.s, 1);
  EXPECT_NE(testutil::read_file(settings).find("\nchart_range 600\n"), std::string::npos) << testutil::read_file(settings);
  app::set_option(&w.s, 0);
  EXPECT_NE(testutil::read_file(settings).find("\nchart_range 60\n"), std::string::npos);
}

// The quit road drops the snap preview first, and a close during a drag lets the pointer go.
TEST(Quit, CloseDropsThePreviewAndTheCapture) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  w.work_area(0, 0, 1920, 1040);
  app::begin_drag(&w.s, app::drag_moving, 720, 100);
  app::drag_move(&w.s, 3, 500);
  const win::Handle preview = w.s.snap_preview;
  ASSERT_NE(preview, 0u);
  app::close(&w.s);
  EXPECT_EQ(w.s.window, 0u);
  EXPECT_EQ(w.record(preview), nullptr);
  EXPECT_EQ(win::get_capture(w.thread), 0u);
}

TEST(Quit, SiblingPaths) {
  const struct {
    std::string path, want;
  } cases[] = {
      {"/a/b/settings.txt", "/a/b/chosen.txt"},
      {"C:\\Vimbrel\\settings.txt", "C:\\Vimbrel\\chosen.txt"},
      {"/settings.txt", "/chosen.txt"},
      {"settings.txt", ""},  // no folder part
      {"", ""},
      {"/" + std::string(508, 'x') + "/s", "/" + std::string(508, 'x') + "/chosen.txt"},  // 520 bytes
      {"/" + std::string(509, 'x') + "/s", ""},                                         // 521
  };
  for (const auto& c : cases) {
    u8 out[app::sibling_most];
    const u32 n = app::sibling_path(harness::bytes(c.path), mem::lit("chosen.txt"), out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.want) << c.path.size();
  }
}

TEST(Quit, TestFilesGoBesideTheSettingsFile) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  EXPECT_FALSE(app::write_test_file(w.s, mem::lit("woken.txt"), mem::lit("1"))) << "no settings file";
  w.s.settings = mem::lit("settings.txt");
  EXPECT_FALSE(app::write_test_file(w.s, mem::lit("woken.txt"), mem::lit("1"))) << "no folder part";
  const std::string long_path = w.dir.path + "/" + std::string(520, 'x') + "/settings.txt";
  w.s.settings = harness::bytes(long_path);
  EXPECT_FALSE(app::write_test_file(w.s, mem::lit("woken.txt"), mem::lit("1"))) << "over 520 bytes";
  const std::string settings = w.dir.path + "/settings.txt";
  w.s.settings = harness::bytes(settings);
  EXPECT_TRUE(app::write_test_file(w.s, mem::lit("woken.txt"), mem::lit("1")));
  EXPECT_EQ(testutil::read_file(w.dir.path + "/woken.txt"), "1");

  ShellWindow plain(false);
  ASSERT_TRUE(plain.made);
  plain.s.settings = harness::bytes(settings);
  EXPECT_FALSE(app::write_test_file(plain.s, mem::lit("woken.txt"), mem::lit("2"))) << "only under --test";
}

}  // namespace
