// The Settings page's Task Manager row in this process: the driver's test values give each state, the buttons change
// the test key and keep their result, and outside --test the row is unknown with error 50 and its buttons do
// nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "shell/driver.h"
#include "widgets/hitmap.h"
#include "shell/replacement.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "tests/shell/shell_window.h"
#include "update/taskmgr.h"

namespace {

using shelltest::ShellWindow;

std::string shown(const app::TaskManager& t) { return std::string(reinterpret_cast<const char*>(t.text), t.text_length); }

std::string own_program() {
  u8 own[taskmgr::path_most];
  return std::string(reinterpret_cast<const char*>(own), taskmgr::own_path(own));
}

TEST(TaskmgrRow, DriverValuesGiveEveryState) {
  ShellWindow w(true, app::opt_taskmgr);
  ASSERT_TRUE(w.made);
  w.s.page = app::page_settings;
  const app::TaskManager& t = w.s.model->taskmgr;
  struct Case {
    u32 kind;
    u32 state;
    std::string text;
    i32 error;
  };
  const Case cases[] = {
      {0, app::tm_off, "", 0},
      {1, app::tm_broken, "C:\\VimbrelTest\\missing\\vimbrel.exe", 0},
      {2, app::tm_other_copy, "C:\\Windows\\System32\\cmd.exe", 0},
      {3, app::tm_other_program, "\"C:\\Windows\\System32\\cmd.exe\" /k", 0},
      {6, app::tm_unknown, "", 234},
      {0, app::tm_off, "", 0},
  };
  for (const Case& c : cases) {
    app::taskmgr_action(&w.s, c.kind);
    EXPECT_EQ(t.state, c.state) << c.kind;
    EXPECT_EQ(shown(t), c.text) << c.kind;
    EXPECT_EQ(t.read_error, c.error) << c.kind;
    // The replacement button acts in every state but the unknown one, "Remove" only for a copy of ours.
    EXPECT_EQ((w.s.map.enabled_a >> app::slot_taskmgr) & 1, c.state != app::tm_unknown ? 1u : 0u) << c.kind;
    EXPECT_EQ((w.s.map.enabled_a >> app::slot_taskmgr_remove) & 1,
              c.state == app::tm_broken || c.state == app::tm_other_copy ? 1u : 0u)
        << c.kind;
  }

  // The button over another program takes over; ours then names this program, and the saved value is kept.
  app::taskmgr_action(&w.s, 3);
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.last_result, app::tm_none);
  EXPECT_EQ(t.state, app::tm_on);
  EXPECT_EQ(shown(t), own_program());
  EXPECT_EQ(t.saved_file, 1) << "the other program's file exists in the test drives";
  // Off gives the key back to the program it replaced.
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.state, app::tm_other_program);
  EXPECT_EQ(t.saved_file, 0);
  // A missing copy is repaired by the button and removed by "Remove".
  app::taskmgr_action(&w.s, 1);
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.state, app::tm_on);
  app::taskmgr_action(&w.s, 2);
  app::taskmgr_click(&w.s, true);
  EXPECT_EQ(t.state, app::tm_off);
}

TEST(TaskmgrRow, ResultsOfChangesAndOpening) {
  ShellWindow w(true, app::opt_taskmgr);
  ASSERT_TRUE(w.made);
  const app::TaskManager& t = w.s.model->taskmgr;
  const std::string settings = w.dir.path + "/set/settings.txt";
  w.s.settings = harness::bytes(settings);
  app::taskmgr_action(&w.s, 0);

  // The one-shot answers of the prompt: cancelled, not completed; nothing is written either way.
  app::taskmgr_action(&w.s, 4);
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.last_result, app::tm_cancelled);
  EXPECT_EQ(t.state, app::tm_off);
  app::taskmgr_action(&w.s, 5);
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.last_result, app::tm_incomplete);
  EXPECT_EQ(t.state, app::tm_off);
  // The one-shot answer is used once.
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.last_result, app::tm_none);
  EXPECT_EQ(t.state, app::tm_on);

  // Another program's value appears while the row still shows ours: the change is refused as "changed meanwhile"
  // and the row reads the value again.
  app::taskmgr_action(&w.s, 7);
  EXPECT_EQ(t.state, app::tm_on) << "not read again";
  app::taskmgr_click(&w.s, false);
  EXPECT_EQ(t.last_result, app::tm_changed);
  EXPECT_EQ(t.state, app::tm_other_program);

  // Opening the real Task Manager writes its command line beside the settings file.
  app::taskmgr_open(&w.s);
  EXPECT_EQ(t.last_result, app::tm_none);
  EXPECT_EQ(testutil::read_file(w.dir.path + "/set/taskmgr.txt"), "\"C:\\Windows\\System32\\taskmgr.exe\"");
  // Without a settings file nothing stands for it: it did not start.
  w.s.settings = mem::Bytes();
  app::taskmgr_open(&w.s);
  EXPECT_EQ(t.last_result, app::tm_no_start);
  // A driver value clears the last result.
  app::taskmgr_action(&w.s, 0);
  EXPECT_EQ(t.last_result, app::tm_none);
}

TEST(TaskmgrRow, NotInUseAndNotAvailable) {
  // Under --test without --taskmgr the row is off and a change touches nothing.
  ShellWindow test(true);
  ASSERT_TRUE(test.made);
  app::taskmgr_refresh(&test.s);
  app::taskmgr_action(&test.s, 3);
  EXPECT_EQ(test.s.model->taskmgr.state, app::tm_off);
  app::taskmgr_click(&test.s, false);
  EXPECT_EQ(test.s.model->taskmgr.last_result, app::tm_none);
  EXPECT_EQ(test.s.model->taskmgr.state, app::tm_off);
  EXPECT_FALSE(std::filesystem::exists(test.dir.path + "/Vimbrel/registry"));

  // Outside --test this system has no key: unknown, error 50; the button asks for nothing and Open does not start.
  ShellWindow plain(false);
  ASSERT_TRUE(plain.made);
  app::taskmgr_refresh(&plain.s);
  const app::TaskManager& t = plain.s.model->taskmgr;
  EXPECT_EQ(t.state, app::tm_unknown);
  EXPECT_EQ(t.read_error, 50);
  app::taskmgr_click(&plain.s, false);
  EXPECT_EQ(t.last_result, app::tm_none);
  app::taskmgr_open(&plain.s);
  EXPECT_EQ(t.last_result, app::tm_no_start);
  // So the Settings page offers no "Open" there that could only fail; under --test the stand-in still opens.
  plain.s.page = app::page_settings;
  app::relayout(&plain.s);
  EXPECT_EQ((plain.s.map.enabled_a >> app::slot_taskmgr_open) & 1, 0u);
  test.s.page = app::page_settings;
  app::relayout(&test.s);
  EXPECT_EQ((test.s.map.enabled_a >> app::slot_taskmgr_open) & 1, 1u);
}

}  // namespace
