// The Support page as a user meets it: the built program under --test reads its payment text from --support, draws
// the CZK and EUR codes, and an outside decoder (zbarimg) reads the payloads back from the frame's own pixels; the
// Copy button puts the account beside the settings file.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

using pages::wm_mousemove;
constexpr u32 wm_mousewheel = 0x020A;

const std::string cz = "CZ6508000000192000145399", de = "DE89370400440532013000", gb = "GB29NWBK60161331926819";

using Window = pages::Window;

// The frame as a grey map for the decoder.
std::string pgm_of(const driver::Frame& f) {
  std::string image = "P5\n" + std::to_string(f.width) + " " + std::to_string(f.height) + "\n255\n";
  for (u32 p : f.pixels) {
    const u32 r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    image.push_back(static_cast<char>((r * 30 + g * 59 + b * 11) / 100));
  }
  return image;
}

// Every symbol zbarimg finds, one payload each (the decoder separates them by its own marker line).
std::vector<std::string> scan(const std::string& path) {
  const std::string command = "zbarimg --raw -q " + path + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  if (pipe) {
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    pclose(pipe);
  }
  std::vector<std::string> found;
  if (!out.empty()) found.push_back(out);
  return found;
}

std::string decode_one(const driver::Frame& f, u32 left, u32 top, u32 side, const std::string& path) {
  driver::Frame crop;
  crop.width = crop.height = side;
  for (u32 y = top; y < top + side; ++y)
    for (u32 x = left; x < left + side; ++x) crop.pixels.push_back(f.at(x, y));
  testutil::write_file(path, pgm_of(crop));
  std::vector<std::string> found = scan(path);
  return found.empty() ? std::string() : found[0];
}

TEST(SupportPage, DrawnCodesDecodeToThePayloadsAndCopyWritesTheAccount) {
  Window w;
  const std::string payment = w.d.folder() + "/payment.txt";
  testutil::write_file(payment, "CZK " + cz + " GIBACZPX Example Company s.r.o.\nEUR " + de +
                                    " COBADEFFXXX Example Company\nUSD " + gb + " NWBKGB2L Example Company\n");
  ASSERT_TRUE(w.open({"--support", payment, "--view", "66"}));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.value() & 0xFF, 6u) << "the Support page";
  const driver::Frame f = w.d.frame();
  ASSERT_GE(f.width, 1000u);
  // Each code is a white square with a 16-px quiet zone at x 244 and its block's top; find both by their white.
  std::vector<u32> tops;
  for (u32 y = 150; y + 1 < f.height && tops.size() < 2; ++y)
    if (f.at(250, y) == 0xFFFFFFFFu && f.at(250, y - 1) != 0xFFFFFFFFu) tops.push_back(y);
  ASSERT_EQ(tops.size(), 2u) << "two codes drawn";
  u32 side = 0;
  while (244 + side < f.width && f.at(244 + side, tops[0] + 2) == 0xFFFFFFFFu) ++side;
  ASSERT_GT(side, 100u);
  const std::string spd = decode_one(f, 230, tops[0] - 14, side + 28, w.d.folder() + "/czk.pgm");
  const std::string epc = decode_one(f, 230, tops[1] - 14, side + 28, w.d.folder() + "/eur.pgm");
  EXPECT_EQ(spd, "SPD*1.0*ACC:" + cz + "+GIBACZPX*CC:CZK*MSG:Vimbrel support\n");
  EXPECT_EQ(epc, "BCD\n002\n1\nSCT\nCOBADEFFXXX\nExample Company\n" + de + "\n\n\n\nVimbrel support\n");

  // The Copy button of the first block stands 130 px below its text top, right of the widest code.
  const i32 x = 244 + static_cast<i32>(side) + 24 + 48, y = static_cast<i32>(tops[0]) + 130 + 14;
  ASSERT_TRUE(w.click(x, y));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.test_file("clipboard.txt"), cz);

  // Three blocks are taller than the window by a little: the wheel scrolls the page that far and no further, and
  // the bar's track shows at the right edge.
  const u32 content = (side + 16) + (32 + side + 16) + (side + 16) + 192;
  ASSERT_GT(content, f.height);
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(700, 400)));
  ASSERT_TRUE(w.d.input(wm_mousewheel, static_cast<u32>(static_cast<u16>(-1200)) << 16, driver::at(700, 400)));
  ASSERT_TRUE(w.frame());
  const driver::Frame scrolled = w.d.frame();
  EXPECT_EQ(scrolled.at(250, tops[0] - (content - f.height)), 0xFFFFFFFFu) << "moved up by the whole range";
  EXPECT_NE(scrolled.at(250, tops[0] - (content - f.height) - 1), 0xFFFFFFFFu) << "and no further";
  EXPECT_EQ(scrolled.at(f.width - 4, 42), 0xFF303030u) << "the scroll bar's track above its thumb";
  EXPECT_EQ(scrolled.at(f.width - 4, f.height - 3), 0xFF808080u) << "the thumb at the end";
  EXPECT_EQ(w.d.end(), 0);
}

TEST(SupportPage, WithoutPaymentDataThereIsNoSupportEntry) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "66"}));
  ASSERT_TRUE(w.frame());
  EXPECT_NE(w.d.value() & 0xFF, 6u) << "no Support page without payment data";
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
