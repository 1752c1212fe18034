// What the window's pages show as seconds pass, with no input: the Sensors and Settings pages follow the
// once-a-second sample (a whole redraw draws nothing else), and a build without a release key promises no request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"

namespace {

using pages::lato;
using pages::wait_ms;

// The box around the pixels in which two frames of one size differ ("none" when they agree).
std::string differing_box(const driver::Frame& a, const driver::Frame& b) {
  u32 left = a.width, top = a.height, right = 0, bottom = 0;
  for (u32 y = 0; y < a.height && a.width == b.width && a.height == b.height; ++y)
    for (u32 x = 0; x < a.width; ++x)
      if (a.at(x, y) != b.at(x, y)) {
        left = x < left ? x : left, top = y < top ? y : top;
        right = x + 1 > right ? x + 1 : right, bottom = y + 1 > bottom ? y + 1 : bottom;
      }
  if (right == 0) return "none";
  return std::to_string(left) + "," + std::to_string(top) + " to " + std::to_string(right) + "," + std::to_string(bottom);
}

constexpr u32 driver_dpi = driver::app + 0x1D;  // a DPI change lays out and draws the whole window again

TEST(PageRefresh, TicksRedrawTheSensorsAndSettingsPages) {
  const struct {
    const char* name;
    std::vector<std::string> words;
    bool moves;  // the demo data change what the page shows
  } cases[] = {
      {"sensors", {"--view", "67", "--temps"}, true},
      {"settings", {"--view", "33"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pages::Window w;
    ASSERT_TRUE(w.open(c.words));
    ASSERT_TRUE(w.frame());
    const driver::Frame first = w.d.frame();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(w.d.post(driver::tick));
    ASSERT_TRUE(w.frame());
    const driver::Frame ticked = w.d.frame();
    // The whole window drawn afresh from the same state: there and back from another DPI.
    ASSERT_TRUE(w.d.post(driver_dpi, 120));
    ASSERT_TRUE(w.frame());
    ASSERT_TRUE(w.d.post(driver_dpi, 96));
    ASSERT_TRUE(w.frame());
    EXPECT_EQ(differing_box(ticked, w.d.frame()), "none") << "pixels the ticks left stale";
    if (c.moves) {
      EXPECT_FALSE(first.pixels == ticked.pixels) << "the temperatures stood still";
    }
    EXPECT_EQ(w.d.end(true, wait_ms), 0);
  }
}

// The Settings page's "Automatic check" row: the keyed build says what it asks for once a day; a build without a
// release key never asks, and its row says something else.
TEST(PageRefresh, ABuildWithoutAReleaseKeyPromisesNoDailyRequest) {
  auto row = [](const std::string& program, std::vector<u32>* pixels) {
    driver::Session d;
    ASSERT_TRUE(d.start(program, lato, {"--view", "33"}));
    ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
    ASSERT_TRUE(d.request_frame(wait_ms));
    const driver::Frame f = d.frame();
    ASSERT_EQ(f.width, 1280u);
    for (u32 y = 160; y < 192; ++y)
      for (u32 x = 508; x < 1270; ++x) pixels->push_back(f.at(x, y));
    EXPECT_EQ(d.end(true, wait_ms), 0);
  };
  std::vector<u32> keyless, keyed;
  row(VIMBREL_EXE, &keyless);
  row(VIMBREL_KEYED_EXE, &keyed);
  ASSERT_FALSE(keyless.empty());
  ASSERT_EQ(keyless.size(), keyed.size());
  EXPECT_FALSE(keyless == keyed) << "the build without a key shows the keyed build's daily request";
}

}  // namespace
