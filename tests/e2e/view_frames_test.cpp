// Whole frames of the window's pages under --test, opened with --view and compared by a hash of their pixels: the
// demo machine and the test clock make every frame the same from run to run, so a hash that moves means the page
// draws differently. When a page is changed on purpose the failing case prints the new hash and leaves the frame as
// a PNG in its kept folder, to be looked at before the table takes the new value.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/driver.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;

u32 view_of(u32 status) { return status >> 24; }
u32 page_of(u32 value) { return value & 0xFF; }

// FNV-1a over the page's own area: right of the rail, below the title strip, inside the window outline. The title
// strip and the rail's fixed entries belong to the shell and change with its own work.
u64 page_hash(const driver::Frame& f) {
  u64 h = 0xCBF29CE484222325ull;
  for (u32 y = 40; y + 1 < f.height; ++y)
    for (u32 x = 220; x + 1 < f.width; ++x) {
      const u32 p = f.at(x, y);
      for (u32 i = 0; i < 4; ++i) h = (h ^ ((p >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
  return h;
}

std::string hex(u64 v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(v));
  return text;
}

struct Case {
  const char* name;
  std::vector<std::string> words;
  u32 view, page;
  u64 hash;
};

// One frame per kind of resource page, each opened at start with --view and a full sample ring.
TEST(ViewFrames, EachViewKindOpensAndDraws) {
  const Case cases[] = {
      {"cpu", {"--view", "0"}, 0, 0, 0x02FB7F2ECCCB049Aull},
      {"memory", {"--view", "1"}, 1, 0, 0x77307BAD912A3288ull},
      {"disk", {"--view", "2"}, 2, 0, 0x7082E2C0AEEAC931ull},
      {"adapter", {"--view", "18"}, 18, 0, 0xD240545BBDD70E13ull},
      {"gpu", {"--view", "26"}, 26, 0, 0x9FFAE6503B7CFB39ull},
      {"gpu with a compute engine", {"--view", "26", "--compute"}, 26, 0, 0xFF0C492453E44A01ull},
      {"integrated gpu", {"--view", "26", "--integrated"}, 26, 0, 0x4AFE3DDE53A4BC09ull},
      {"power", {"--view", "34", "--power"}, 34, 0, 0x2E9EE40D0B805FF2ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver::Session d;
    std::vector<std::string> words = c.words;
    words.push_back("--full-ring");
    ASSERT_TRUE(d.start(VIMBREL_EXE, lato, words));
    ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
    ASSERT_TRUE(d.request_frame(wait_ms));
    EXPECT_EQ(view_of(d.status()), c.view);
    EXPECT_EQ(page_of(d.value()), c.page);
    const driver::Frame f = d.frame();
    ASSERT_EQ(f.width, 1280u);
    EXPECT_EQ(hex(page_hash(f)), hex(c.hash));
    EXPECT_EQ(d.end(true, wait_ms), 0);
  }
}

}  // namespace
