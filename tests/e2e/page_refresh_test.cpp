// What the window's pages show as seconds pass, with no input: the Sensors and Settings pages follow the
// once-a-second sample (a whole redraw draws nothing else), and a build without a release key promises no request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"

namespace {

using pages::lato;
using pages::wait_ms;

constexpr u32 driver_redraw = driver::app + 0x14;  // forgets what was drawn and draws the whole window again

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
    ASSERT_TRUE(w.d.post(driver_redraw));
    ASSERT_TRUE(w.frame());
    EXPECT_TRUE(ticked.pixels == w.d.frame().pixels) << "pixels the ticks left stale";
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
