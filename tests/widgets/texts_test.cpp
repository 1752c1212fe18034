// The shell's fixed texts as the window shows them, and the Task Manager status sentence with its precedence and
// its path or error code.
#include "widgets/texts.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/platform/harness.h"
#include "update/update.h"

namespace {

using harness::text;

TEST(ShellTexts, TaskManagerSentences) {
  struct Case {
    u32 state, result;
    bool replaced, short_form;
    const char* expected;
  };
  const Case cases[] = {
      {0, 0, false, false, "Ctrl+Shift+Esc opens Windows Task Manager. On asks once for administrator rights."},
      {0, 0, false, true, "One UAC prompt."},
      {1, 0, false, false, "Ctrl+Shift+Esc and Task Manager open Vimbrel. Off gives them back to Windows."},
      {1, 0, true, false, "Ctrl+Shift+Esc opens Vimbrel. Off gives it back to the program it replaced."},
      {1, 0, true, true, "Ctrl+Shift+Esc opens Vimbrel."},
      {2, 0, false, false, "Broken, Ctrl+Shift+Esc opens nothing: missing C:\\old\\vimbrel.exe"},
      {2, 0, false, true, "Broken: missing C:\\old\\vimbrel.exe"},
      {3, 0, false, false, "Set to another copy: C:\\old\\vimbrel.exe"},
      {3, 0, false, true, "Another copy: C:\\old\\vimbrel.exe"},
      {4, 0, false, false, "Set to another program: C:\\old\\vimbrel.exe"},
      {4, 0, false, true, "Another program: C:\\old\\vimbrel.exe"},
      {5, 0, false, false, "Unknown: the value cannot be read, so it cannot be changed safely. Error -5"},
      {5, 0, false, true, "Unknown, error -5"},
      // A result of 2, 3 or 5 stands instead of the state, without path or code.
      {4, 2, false, false, "Cancelled at the administrator prompt; nothing changed."},
      {5, 2, false, true, "Cancelled; nothing changed."},
      {2, 3, false, false, "The change did not complete."},
      {3, 3, false, true, "Not completed."},
      {4, 5, false, false, "Another program changed the value meanwhile; nothing was changed."},
      {5, 5, false, true, "Changed meanwhile; nothing changed."},
      // Result 4 (did not start) leaves the sentence to the state.
      {3, 4, false, true, "Another copy: C:\\old\\vimbrel.exe"},
  };
  for (const Case& c : cases) {
    words::Text out{};
    EXPECT_EQ(text(app::taskmgr_status(&out, c.state, c.result, c.replaced, c.short_form,
                                       mem::lit("C:\\old\\vimbrel.exe"), -5)),
              c.expected)
        << c.state << " " << c.result << " " << c.short_form;
  }
  words::Text out{};
  EXPECT_EQ(text(app::taskmgr_status(&out, 5, 0, false, true, mem::Bytes(), 1314)), "Unknown, error 1314");

  const char* buttons[] = {"Off", "On", "Repair", "Use this copy", "Use Vimbrel", "Unknown"};
  for (u32 i = 0; i < 6; ++i) EXPECT_EQ(text(app::taskmgr_button_text(i)), buttons[i]);
  EXPECT_EQ(text(app::taskmgr_button_text(6)), "");
  EXPECT_EQ(text(app::taskmgr_original_text(4)), "Windows Task Manager did not start.");
  EXPECT_EQ(text(app::taskmgr_original_short(4)), "Did not start.");
  EXPECT_EQ(text(app::taskmgr_original_text(0)), "The original, also while Vimbrel replaces it.");
  EXPECT_EQ(text(app::taskmgr_original_short(5)), "The original one.");
}

TEST(ShellTexts, WordsOfTheWindow) {
  EXPECT_EQ(text(app::class_name()), "Vimbrel");
  EXPECT_EQ(text(app::test_class_name()), "VimbrelTest");
  EXPECT_EQ(text(app::snap_class_name()), "VimbrelSnap");
  EXPECT_EQ(text(app::title_text()), "Vimbrel");
  EXPECT_EQ(text(app::shipped_version()), "255.255.255");
  const char* badges[] = {"demo data", "stale", "in-process", "update ready", ""};
  for (u32 i = 0; i < 5; ++i) EXPECT_EQ(text(app::badge_text(i)), badges[i]);
  EXPECT_EQ(text(app::renderer_text(true)), "CPU renderer");
  EXPECT_EQ(text(app::renderer_text(false)), "GDI renderer");
  const char* sections[] = {"Processes", "Machines", "Cluster", "Settings", ""};
  for (u32 i = 0; i < 5; ++i) EXPECT_EQ(text(app::section_title(i)), sections[i]);
  EXPECT_EQ(text(app::support_nav_text()), "Support us");
  EXPECT_EQ(text(app::update_check_short()), "Once a day, with no identifiers.");
  EXPECT_EQ(text(app::update_mode_word(true)), "Restarts when idle.");
  EXPECT_EQ(text(app::update_mode_word(false)), "Asks first.");
  EXPECT_EQ(text(app::update_mode_help(true)),
            "Downloads, installs and restarts on its own after 30 s without input, or at once when minimized.");
  EXPECT_EQ(text(app::update_mode_help(false)),
            "Shows the version and its release notes first; downloads only on Update now.");
  EXPECT_EQ(text(app::notes_missing_text()), "Release notes unavailable.");
  EXPECT_EQ(text(app::save_failed_text()), "The settings file could not be saved.");
  const char* options[] = {"--gdi", "--view", "--unattended", "--minimized", ""};
  for (u32 i = 0; i < 5; ++i) EXPECT_EQ(text(app::relaunch_option(i)), options[i]);
  EXPECT_EQ(text(app::old_suffix()), ".old-1");

  // The long form names the very request the check makes.
  words::Text out{};
  EXPECT_EQ(text(app::update_check_text(&out)),
            "Once a day: one request for " + text(update::server_host()) + text(update::feed_path()) +
                " (and the notes of a newer version), with no identifiers.");
  EXPECT_NE(text(update::feed_path()).find("/downloads/vimbrel/"), std::string::npos);
}

TEST(ShellTexts, TestModeSubstitutes) {
  EXPECT_EQ(text(app::restart_file()), "restart.txt");
  EXPECT_EQ(text(app::urgent_file()), "urgent.txt");
  EXPECT_EQ(text(app::taskmgr_file()), "taskmgr.txt");
  EXPECT_EQ(text(app::woken_file()), "woken.txt");
  EXPECT_EQ(text(app::clipboard_file()), "clipboard.txt");
  EXPECT_EQ(text(app::chosen_file()), "chosen.txt");
  EXPECT_EQ(text(app::test_program_path()), "C:\\Vimbrel\\vimbrel.exe");
  EXPECT_EQ(text(app::test_windows_folder()), "C:\\Windows");
  EXPECT_EQ(text(app::swap_event_prefix()), "Local\\VimbrelSwap-");
  EXPECT_EQ(text(app::test_debugger_value(1)), "\"C:\\VimbrelTest\\missing\\vimbrel.exe\" --as-taskmgr");
  EXPECT_EQ(text(app::test_debugger_value(2)), "\"C:\\Windows\\System32\\cmd.exe\" --as-taskmgr");
  EXPECT_EQ(text(app::test_debugger_value(0)), "\"C:\\Windows\\System32\\cmd.exe\" /k");
  EXPECT_EQ(text(app::test_debugger_value(9)), "\"C:\\Windows\\System32\\cmd.exe\" /k");

  // The stand-in notes: a heading line with the version, an empty line, four items, one of them too long for a row.
  u8 notes[1024];
  const std::string n = text(app::test_release_notes(notes));
  ASSERT_LT(n.size(), 1024u);
  EXPECT_EQ(n.rfind("Vimbrel 0.1.1 ", 0), 0u);
  EXPECT_EQ(n.find("\n\n- "), n.find('\n'));
  size_t items = 0, longest = 0, start = 0;
  for (size_t end = n.find('\n'); start <= n.size(); end = n.find('\n', start)) {
    const std::string line = n.substr(start, end == std::string::npos ? std::string::npos : end - start);
    items += line.rfind("- ", 0) == 0;
    longest = std::max(longest, line.size());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  EXPECT_EQ(items, 4u);
  EXPECT_GT(longest, 200u);
}

}  // namespace
