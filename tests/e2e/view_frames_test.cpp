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

// Starts the window with the words and a full sample ring, and finds it.
bool open_full(driver::Session* d, std::vector<std::string> words) {
  words.push_back("--full-ring");
  return d->start(VIMBREL_EXE, lato, words) && d->find_window("VimbrelTest", wait_ms);
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
      {"sensors", {"--view", "67", "--temps"}, 67, 7, 0x1A662E413C210696ull},
      {"sensors without temperatures: the Overview", {"--view", "67"}, 31, 3, 0xBBC38C6CB7F7A5BDull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver::Session d;
    ASSERT_TRUE(open_full(&d, c.words));
    ASSERT_TRUE(d.request_frame(wait_ms));
    EXPECT_EQ(view_of(d.status()), c.view);
    EXPECT_EQ(page_of(d.value()), c.page);
    const driver::Frame f = d.frame();
    ASSERT_EQ(f.width, 1280u);
    EXPECT_EQ(hex(page_hash(f)), hex(c.hash));
    EXPECT_EQ(d.end(true, wait_ms), 0);
  }
}

constexpr u32 wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;
constexpr u32 driver_history_source = driver::app + 0x28;

// The centre of range button i (of six) at the default window width.
i64 range_button(u32 i) {
  const i32 right = 1280 - 24 - 52 * static_cast<i32>(5 - i);
  return driver::at(right - 24, 70);
}

struct Stored {
  const char* name;
  std::vector<std::string> words;
  u32 source, range;
  u64 hash;
};

// The stored ranges drawn from the test sources: synthetic data over each range, adapters mirrored, power from
// energy, and the sentences of a source that never answers, a host that is not there and no table at all.
TEST(ViewFrames, StoredRangesFromTheTestSources) {
  const Stored cases[] = {
      {"cpu, 1 hour", {"--view", "0"}, 2, 2, 0x7D3214436F0B7E90ull},
      {"cpu, 24 hours", {"--view", "0"}, 2, 3, 0xD2FD1F69401BD353ull},
      {"cpu, 30 days", {"--view", "0"}, 2, 4, 0x218C38D12D0EF2F5ull},
      {"cpu, 2 years", {"--view", "0"}, 2, 5, 0xBD512ACDB136EC6Eull},
      {"adapter, 24 hours", {"--view", "18"}, 2, 3, 0x2BFB9799181238BCull},
      {"power, 30 days", {"--view", "34", "--power"}, 2, 4, 0xAF59F66BF2126AD5ull},
      {"memory, loading", {"--view", "1"}, 3, 2, 0x8F97650340B80944ull},
      {"memory, host not connected", {"--view", "1"}, 4, 2, 0x8F585F399709FA1Dull},
      {"memory, no table", {"--view", "1"}, 5, 2, 0x7A9B0F276687C6D5ull},
  };
  for (const Stored& c : cases) {
    SCOPED_TRACE(c.name);
    driver::Session d;
    ASSERT_TRUE(open_full(&d, c.words));
    ASSERT_TRUE(d.post(driver_history_source, c.source));
    ASSERT_TRUE(d.request_frame(wait_ms));
    const u64 live = page_hash(d.frame());
    ASSERT_TRUE(d.input(wm_lbuttondown, 1, range_button(c.range)));
    ASSERT_TRUE(d.input(wm_lbuttonup, 0, range_button(c.range)));
    ASSERT_TRUE(d.request_frame(wait_ms));
    const driver::Frame f = d.frame();
    EXPECT_NE(page_hash(f), live) << "the stored range is shown";
    EXPECT_EQ(hex(page_hash(f)), hex(c.hash));
    EXPECT_EQ(d.end(true, wait_ms), 0);
  }
}

constexpr u32 driver_add_disk = driver::app + 0x1E;

// The Overview with the driver's extra disk: the ring takes its share and the disk list grows by a row; a hover on
// the ring shows its tooltip.
TEST(ViewFrames, OverviewWithAnExtraDisk) {
  driver::Session d;
  ASSERT_TRUE(open_full(&d, {}));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(view_of(d.status()), 31u);
  const driver::Frame before = d.frame();
  ASSERT_TRUE(d.post(driver_add_disk, u64{2000} << 30));
  ASSERT_TRUE(d.request_frame(wait_ms));
  const driver::Frame after = d.frame();
  EXPECT_EQ(hex(page_hash(after)), hex(0x5A56A5800E4C664Full));
  // The list's third row: its colour square.
  u32 square = 0;
  for (u32 y = 600; y < 700; ++y)
    for (u32 x = 430; x < 445; ++x) square += after.at(x, y) == 0xFFD97706u;  // 0x0677D9 as the frame holds it
  EXPECT_GT(square, 20u) << "the third disk's square in its colour";
  EXPECT_NE(page_hash(after), page_hash(before));
  EXPECT_EQ(d.end(true, wait_ms), 0);
}

}  // namespace
