// The Settings page as a user meets it: the built program under --test opens on it, draws its sections, and its
// internet probe buttons change the probe's settings file beside --settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

// The pages' window with the probe's settings file beside its own.
struct Window : pages::Window {
  std::string probe_file() { return testutil::read_file(d.settings() + ".internet"); }
};

// Pixels of the colour inside the rectangle.
u32 count(const driver::Frame& f, u32 argb, u32 x0, u32 y0, u32 x1, u32 y1) {
  u32 n = 0;
  for (u32 y = y0; y < y1; ++y)
    for (u32 x = x0; x < x1; ++x) n += f.at(x, y) == argb;
  return n;
}

TEST(SettingsPage, DrawsItsSectionsAndRoutesTheProbeButtons) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "33"}));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.value() & 0xFF, 1u) << "the Settings page";
  driver::Frame f = w.d.frame();
  // Section heads are underlined in 0x444444 from x 244 to the width less 24: Updates, Task Manager, Cluster,
  // Internet and Background.
  u32 heads = 0;
  for (u32 y = 41; y + 1 < f.height; ++y) heads += f.at(300, y) == 0xFF444444u && f.at(f.width - 30, y) == 0xFF444444u;
  EXPECT_EQ(heads, 5u);
  // The Measure button is drawn off: the plain fill, not the selected one.
  EXPECT_GT(count(f, 0xFF1C1C1Cu, 426, 668, 494, 692), 100u);

  ASSERT_TRUE(w.click(450, 680));
  ASSERT_TRUE(w.frame());
  EXPECT_NE(w.probe_file().find("internet on"), std::string::npos) << w.probe_file();
  f = w.d.frame();
  EXPECT_GT(count(f, 0xFF2C3A46u, 426, 668, 494, 692) + count(f, 0xFF384A5Au, 426, 668, 494, 692), 100u)
      << "drawn on";
  const std::string before = w.probe_file();
  ASSERT_TRUE(w.click(450, 716));
  ASSERT_TRUE(w.frame());
  EXPECT_NE(w.probe_file(), before) << "the speed-test schedule moved on";
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
