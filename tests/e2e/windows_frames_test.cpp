// The Windows build draws what the Linux build draws: the frames that the Windows window test left (tests/windows/run
// names their folder in VIMBREL_WINDOWS_FRAMES) are compared pixel by pixel with the Linux build's frames of the
// same steps: the start on the Overview, then a marked click on the CPU row of the rail.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/support/driver.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;
constexpr u32 wm_mousemove = 0x0200, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;

// A frame as the Windows test keeps it: little-endian width and height, then the pixels.
driver::Frame read_frame(const std::string& path) {
  driver::Frame f;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return f;
  u32 size[2] = {};
  if (fread(size, sizeof size, 1, file) == 1 && size[0] <= 16384 && size[1] <= 16384) {
    f.pixels.resize(u64(size[0]) * size[1]);
    if (fread(f.pixels.data(), 4, f.pixels.size(), file) == f.pixels.size()) {
      f.width = size[0];
      f.height = size[1];
    } else {
      f.pixels.clear();
    }
  }
  fclose(file);
  return f;
}

u64 differences(const driver::Frame& a, const driver::Frame& b) {
  if (a.width != b.width || a.height != b.height) return ~u64{0};
  u64 wrong = 0;
  for (u64 i = 0; i < a.pixels.size(); ++i) wrong += a.pixels[i] != b.pixels[i];
  return wrong;
}

TEST(WindowsFrames, TheWindowsBuildDrawsTheLinuxBuildsFrames) {
  const char* folder = getenv("VIMBREL_WINDOWS_FRAMES");
  if (!folder) GTEST_SKIP() << "no frames of the Windows build (tests/windows/run makes them)";
  const driver::Frame overview = read_frame(std::string(folder) + "/overview.frame");
  const driver::Frame cpu = read_frame(std::string(folder) + "/cpu.frame");
  ASSERT_EQ(overview.width, 1280u);
  ASSERT_EQ(cpu.width, 1280u);

  driver::Session d;
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(differences(d.frame(), overview), 0u) << "pixels of the Overview that the two builds draw differently";

  const i64 row = driver::at(100, 134);
  ASSERT_TRUE(d.input(wm_mousemove, 0, row));
  ASSERT_TRUE(d.input(wm_lbuttondown, 1, row));
  ASSERT_TRUE(d.input(wm_lbuttonup, 0, row));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(differences(d.frame(), cpu), 0u) << "pixels of the CPU view that the two builds draw differently";
  EXPECT_EQ(d.end(), 0);
}

}  // namespace
