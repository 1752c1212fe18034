// The Processes page as a user meets it: the built program under --test on the headless backend, its demo process
// table drawn as a table, sorted by a click on a header, filtered by typing, selected by a click and scrolled.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/page_window.h"

namespace {

using pages::pixel, pages::rows_drawn, pages::sort_mark_x, pages::wait_ms, pages::wm_char, pages::wm_keydown,
    pages::wm_mousemove;
using Window = pages::Window;
constexpr u32 wm_mousewheel = 0x020A;
constexpr u32 vk_escape = 0x1B, vk_down = 0x28, vk_end = 0x23;

u32 count_colour(const driver::Frame& f, u32 colorref, u32 x0, u32 x1) {
  u32 n = 0;
  for (u32 y = 144; y < 144 + 16 * 39; ++y)
    for (u32 x = x0; x < x1; ++x) n += f.at(x, y) == pixel(colorref);
  return n;
}

TEST(ProcessesPage, DrawsSortsFiltersSelectsAndScrolls) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "30"}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.value() & 0xFF, 2u) << "the Processes page";
  driver::Frame f = w.d.frame();
  EXPECT_EQ(f.at(300, 130), pixel(0x262525)) << "header band";
  EXPECT_EQ(f.at(300, 143), pixel(0x444444)) << "header line";
  EXPECT_EQ(f.at(1256 - 130, 60), pixel(0x302620)) << "filter box";
  const u32 full = rows_drawn(f);
  EXPECT_GE(full, 30u) << "the demo's processes are listed";
  const i32 cpu_mark = sort_mark_x(f);
  ASSERT_GT(cpu_mark, 600) << "sorted by CPU at first";

  // A click on the Name header sorts by name: the mark moves into the Name column.
  ASSERT_TRUE(w.click(300, 130));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  const i32 name_mark = sort_mark_x(f);
  EXPECT_GT(name_mark, 244);
  EXPECT_LT(name_mark, cpu_mark);

  // A filter that matches nothing empties the table; Escape brings every row back.
  for (char c : std::string("qqzz")) ASSERT_TRUE(w.d.input(wm_char, static_cast<u8>(c)));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_LE(rows_drawn(f), 2u) << "only the message";
  ASSERT_TRUE(w.d.input(wm_keydown, vk_escape));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(rows_drawn(w.d.frame()), full);

  // The pointer over a row lights it and opens the details box beside it; off the table both go.
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(400, 144 + 16 * 6 + 5)));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, 144 + 16 * 6 + 8), pixel(0x373737)) << "hovered row";
  EXPECT_EQ(f.at(420, 144 + 16 * 8 + 20), pixel(0x302620)) << "details box";
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(100, 600)));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, 144 + 16 * 6 + 8), pixel(0x201814));
  EXPECT_NE(f.at(420, 144 + 16 * 8 + 20), pixel(0x302620));

  // A click selects a row; Down moves the selection to the next one.
  ASSERT_TRUE(w.click(400, 144 + 16 * 2 + 5));
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(100, 600)));  // off the table: no hover
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, 144 + 16 * 2 + 8), pixel(0x463A2C)) << "selected row";
  ASSERT_TRUE(w.d.input(wm_keydown, vk_down));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, 144 + 16 * 2 + 8), pixel(0x201814));
  EXPECT_EQ(f.at(250, 144 + 16 * 3 + 8), pixel(0x463A2C));

  // The wheel and End scroll when there is more to show; a short list keeps its place.
  ASSERT_TRUE(w.d.input(wm_mousewheel, static_cast<u32>(static_cast<u16>(-120)) << 16, driver::at(600, 300)));
  ASSERT_TRUE(w.d.input(wm_keydown, vk_end));
  ASSERT_TRUE(w.frame());
  EXPECT_GT(count_colour(w.d.frame(), 0x201814, 250, 600), 0u);
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

}  // namespace

namespace {

constexpr u32 wm_rbuttonup = 0x0205;
constexpr u32 driver_menu_choice = driver::app + 0x19, driver_menu_flag = driver::app + 0x1A;

// A program of the test's own, under a name no other process has, that sleeps until it is ended.
struct Target {
  pid_t pid = -1;
  Target(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    {
      std::ifstream in("/usr/bin/sleep", std::ios::binary);
      std::ofstream out(path, std::ios::binary);
      out << in.rdbuf();
    }
    chmod(path.c_str(), 0755);
    pid = fork();
    if (pid == 0) {
      execl(path.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Target() {
    if (pid > 0) {
      kill(pid, SIGKILL);  // our own child, not yet reaped
      waitpid(pid, nullptr, 0);
    }
  }
  // Waits for the end (polling, generous): the status, or -1.
  int ended(u32 seconds = 60) {
    for (u32 i = 0; i < seconds * 50; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return status;
      }
      usleep(20000);
    }
    return -1;
  }
};

// With live data the page acts on real processes: the test's own child is found by its name, its path copied and
// then it is ended from the context menu, and the outcomes reach the driver through the frame record.
TEST(ProcessesPage, EndsTheTestsOwnChildFromTheMenu) {
  Window w;
  const std::string name = "p1target" + std::to_string(getpid() % 100000);
  Target target(w.d.folder(), name);
  ASSERT_GT(target.pid, 0);
  ASSERT_TRUE(w.open({"--live", "--view", "30"}));
  // A few messages at a time: the window's queue is short while it takes its first live samples.
  for (char c : name) {
    ASSERT_TRUE(w.d.input(wm_char, static_cast<u8>(c)));
    ASSERT_TRUE(w.frame());
  }
  // Ticks until the live table lists the child (one row).
  bool listed = false;
  for (int i = 0; i < 120 && !listed; ++i) {
    ASSERT_TRUE(w.d.post(driver::tick));
    ASSERT_TRUE(w.frame());
    listed = rows_drawn(w.d.frame()) == 1;
  }
  ASSERT_TRUE(listed) << "the child is listed";

  // Copy path, then End process with the confirmation answered OK.
  ASSERT_TRUE(w.d.post(driver_menu_choice, 2));
  ASSERT_TRUE(w.d.input(wm_rbuttonup, 0, driver::at(400, 152)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.word(44), 1u) << "one outcome";
  EXPECT_EQ((w.d.word(48) >> 8) & 0xF, 1u) << "the path was copied";
  EXPECT_EQ(w.d.word(52), static_cast<u32>(target.pid));

  ASSERT_TRUE(w.d.post(driver_menu_choice, 3));
  ASSERT_TRUE(w.d.post(driver_menu_flag, 0x100));
  ASSERT_TRUE(w.d.input(wm_rbuttonup, 0, driver::at(400, 152)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.word(44), 2u);
  const u32 packed = w.d.word(48);
  EXPECT_EQ(packed & 0xF, 3u) << "End process";
  EXPECT_EQ((packed >> 8) & 0xF, 1u) << "done";
  EXPECT_EQ((packed >> 16) & 0xFF, 7u) << "every item was offered";
  const int status = target.ended();
  ASSERT_NE(status, -1) << "the child ended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  // The row is gone with the next table; Delete on nothing selected does nothing.
  bool cleared = false;
  for (int i = 0; i < 120 && !cleared; ++i) {
    ASSERT_TRUE(w.d.post(driver::tick));
    ASSERT_TRUE(w.frame());
    cleared = rows_drawn(w.d.frame()) <= 2 && w.d.word(44) == 2u;
  }
  EXPECT_TRUE(cleared);
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

}  // namespace
