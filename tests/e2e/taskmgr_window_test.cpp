// The Settings page's Task Manager row of the built program under --test --taskmgr: the driver's test values bring
// each state onto the page, the replacement button changes the test key the way --replace-taskmgr does, "Open"
// records the real Task Manager's command line in taskmgr.txt, and a cancelled prompt changes nothing.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/platform/harness.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"
#include "update/taskmgr.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;
constexpr u32 wm_mousemove = 0x0200, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;
constexpr u32 driver_taskmgr = driver::app + 0x1C;

struct Window {
  driver::Session d;
  bool open() { return d.start(VIMBREL_EXE, lato, {"--view", "33", "--taskmgr"}) && d.find_window("VimbrelTest", wait_ms); }
  bool frame() { return d.request_frame(wait_ms); }
  bool click(i32 x, i32 y) {
    return d.input(wm_mousemove, 0, driver::at(x, y)) && d.input(wm_lbuttondown, 1, driver::at(x, y)) &&
           d.input(wm_lbuttonup, 0, driver::at(x, y)) && d.input(wm_mousemove, 0, driver::at(5, 300)) && frame();
  }
  bool kind(u32 k) { return d.post(driver_taskmgr, k) && frame(); }
  // The program's test key as files in the session's configuration folder.
  std::string key_folder() const {
    char resolved[PATH_MAX];
    const std::string program = realpath(VIMBREL_EXE, resolved) ? resolved : VIMBREL_EXE;
    u8 key[taskmgr::key_most];
    const u32 n = taskmgr::test_key_path(harness::bytes(program), true, key);
    std::string folder = d.folder() + "/cfg/Vimbrel/registry/";
    for (char c : harness::text(mem::Bytes(key, n))) folder += c == '\\' ? '/' : c;
    return folder;
  }
  std::string debugger() const { return testutil::read_file(key_folder() + "/Debugger"); }
};

// FNV-1a of the pixels in the rectangle: the row's buttons and sentences.
u64 hash(const driver::Frame& f, u32 x0, u32 y0, u32 x1, u32 y1) {
  u64 h = 0xCBF29CE484222325ull;
  for (u32 y = y0; y < y1; ++y)
    for (u32 x = x0; x < x1; ++x) h = (h ^ f.at(x, y)) * 0x100000001B3ull;
  return h;
}
u32 count(const driver::Frame& f, u32 argb, u32 x0, u32 y0, u32 x1, u32 y1) {
  u32 n = 0;
  for (u32 y = y0; y < y1; ++y)
    for (u32 x = x0; x < x1; ++x) n += f.at(x, y) == argb;
  return n;
}
constexpr u32 button_fill = 0xFF1C1C1Cu;
// The "Remove" button's inside, and the replacement button's.
u32 remove_fill(const driver::Frame& f) { return count(f, button_fill, 580, 382, 652, 402); }
u32 selected_fill(const driver::Frame& f) {
  return count(f, 0xFF2C3A46u, 430, 382, 554, 402) + count(f, 0xFF384A5Au, 430, 382, 554, 402);
}

TEST(TaskmgrWindow, DriverValuesGiveEachStateAndTheButtonsAct) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.frame());
  ASSERT_EQ(w.d.value() & 0xFF, 1u) << "the Settings page";

  // Each driver value draws its own row; "Remove" stands only beside a copy of ours (missing or another).
  struct Case {
    u32 kind;
    bool remove;
  };
  const Case cases[] = {{0, false}, {1, true}, {2, true}, {3, false}, {6, false}};
  std::set<u64> rows;
  for (const Case& c : cases) {
    ASSERT_TRUE(w.kind(c.kind));
    const driver::Frame f = w.d.frame();
    rows.insert(hash(f, 244, 370, f.width - 24, 446));
    if (c.remove) {
      EXPECT_GT(remove_fill(f), 1000u) << c.kind;
    } else {
      EXPECT_LT(remove_fill(f), 100u) << c.kind;
    }
  }
  EXPECT_EQ(rows.size(), 5u) << "every state reads differently";

  // Off: the button writes our value naming the program, and the row shows it on; a second press gives it back.
  ASSERT_TRUE(w.kind(0));
  ASSERT_TRUE(w.click(492, 392));
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(VIMBREL_EXE, resolved), nullptr);
  EXPECT_EQ(w.debugger(), std::string("1\n\"") + resolved + "\" --as-taskmgr");
  EXPECT_GT(selected_fill(w.d.frame()), 1000u) << "drawn on";
  ASSERT_TRUE(w.click(492, 392));
  EXPECT_FALSE(std::filesystem::exists(w.key_folder())) << "off removed the value and the emptied key";

  // Another program's value: the button takes over and keeps it; "Remove" beside a missing copy clears ours.
  ASSERT_TRUE(w.kind(3));
  ASSERT_TRUE(w.click(492, 392));
  EXPECT_EQ(testutil::read_file(w.key_folder() + "/VimbrelReplaced"), "1\n\"C:\\Windows\\System32\\cmd.exe\" /k");
  ASSERT_TRUE(w.kind(1));
  ASSERT_TRUE(w.click(616, 392));
  EXPECT_EQ(w.debugger(), "1\n\"C:\\Windows\\System32\\cmd.exe\" /k") << "the saved program exists: it is put back";

  // A cancelled prompt changes nothing and says so.
  ASSERT_TRUE(w.kind(0));
  const u64 off_row = hash(w.d.frame(), 244, 370, w.d.frame().width - 24, 446);
  ASSERT_TRUE(w.kind(4));
  ASSERT_TRUE(w.click(492, 392));
  EXPECT_EQ(w.debugger(), "");
  EXPECT_NE(hash(w.d.frame(), 244, 370, w.d.frame().width - 24, 446), off_row);

  // Open: the real Task Manager's command line goes to taskmgr.txt beside the settings file.
  ASSERT_TRUE(w.click(468, 428));
  EXPECT_EQ(w.d.test_file("taskmgr.txt"), "\"C:\\Windows\\System32\\taskmgr.exe\"");
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
