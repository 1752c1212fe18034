// The tooltip of a resource page lists the top processes of the hovered moment from the shown machine's
// top-process ring, in the built window under --test: for this computer, and for a machine opened on the Machines
// page (whose copy keeps a ring of its own). The ring is kept with --tops; without it the same hover shows only the
// layer lines, so the box is shorter by the process lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"

namespace {

using pages::machine_row_y, pages::page_of, pages::pixel, pages::wait_ms, pages::wm_mousemove;
constexpr u32 driver_machines = driver::app + 0x1F;

// The height of the tooltip box (its fill colour's rows), 0 when none shows.
u32 tip_height(const driver::Frame& f) {
  u32 top = f.height, bottom = 0;
  for (u32 y = 0; y < f.height; ++y)
    for (u32 x = 240; x < f.width; ++x)
      if (f.at(x, y) == pixel(0x302620)) {
        top = y < top ? y : top;
        bottom = y + 1;
        break;
      }
  return bottom > top ? bottom - top : 0;
}

struct Shown {
  const char* name;
  bool remote;
};

// Opens the CPU view of the machine, lets 20 seconds pass (the ring takes a row of processes every other second),
// hovers the main plot a few seconds back and measures the tooltip.
u32 hovered_tip(const Shown& c, bool tops) {
  pages::Window w;
  std::vector<std::string> words = {"--view", c.remote ? "33" : "0"};
  if (tops) words.push_back("--tops");
  if (!w.open(words)) return 0;
  if (c.remote) {
    if (!w.to_machines() || !w.d.post(driver_machines, 6 | (2 << 12)) || !w.click(400, machine_row_y(1)) ||
        !w.frame() || page_of(w.d.value()) != 0)
      return 0;
  }
  for (int i = 0; i < 20; ++i)
    if (!w.d.post(driver::tick)) return 0;
  if (!w.d.input(wm_mousemove, 0, driver::at(1100, 200)) || !w.frame()) return 0;
  const u32 height = tip_height(w.d.frame());
  w.d.end(true, wait_ms);
  return height;
}

TEST(TooltipTops, TheShownMachinesTopProcessesAreListed) {
  const Shown cases[] = {{"this computer", false}, {"a machine opened on the Machines page", true}};
  for (const Shown& c : cases) {
    SCOPED_TRACE(c.name);
    const u32 plain = hovered_tip(c, false), with = hovered_tip(c, true);
    ASSERT_GT(plain, 16u) << "a tooltip of layer lines";
    EXPECT_GE(with, plain + 18 * 2) << "process lines below the layer lines";
    EXPECT_EQ((with - plain) % 18, 0u);
  }
}

}  // namespace
