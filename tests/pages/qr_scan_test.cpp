// Symbols read by an outside decoder (zbarimg, from tools/deps): the encoder and the reader in qr_test share their
// reading of the symbol's rules, so a third party checks that both read them as scanners do.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "pages/qr.h"
#include "tests/support/testutil.h"

namespace {

// The symbol as a grey-map image: four modules of light margin, four pixels a module.
std::string pgm_of(const qr::Symbol& s) {
  const u32 scale = 4, margin = 4, side = (s.size + 2 * margin) * scale;
  std::string image = "P5\n" + std::to_string(side) + " " + std::to_string(side) + "\n255\n";
  for (u32 y = 0; y < side; ++y) {
    for (u32 x = 0; x < side; ++x) {
      i32 r = static_cast<i32>(y / scale) - static_cast<i32>(margin), c = static_cast<i32>(x / scale) - static_cast<i32>(margin);
      bool inside = r >= 0 && c >= 0 && r < s.size && c < s.size;
      image.push_back(inside && ((s.rows[r] >> c) & 1) ? '\0' : '\xff');
    }
  }
  return image;
}

std::string scan(const std::string& path) {
  std::string command = "zbarimg --raw -q " + path + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "<no pipe>";
  std::string out;
  char chunk[512];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  pclose(pipe);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(QrScan, AnOutsideDecoderReadsEveryVersion) {
  testutil::TempDir dir;
  std::string letters = "vimbrel support payment 0123456789 ";
  std::string texts[] = {"",
                         "https://vimbrel.example/support",
                         "bitcoin:bc1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh?amount=0.001"};
  std::string all[13];
  u32 count = 0;
  for (const std::string& t : texts) all[count++] = t;
  for (u32 length : {14u, 15u, 40u, 60u, 80u, 106u, 120u, 150u, 180u, 213u}) {
    std::string t;
    while (t.size() < length) t += letters;
    all[count++] = t.substr(0, length);
  }
  u32 versions_seen = 0;
  for (u32 i = 0; i < count; ++i) {
    const std::string& t = all[i];
    qr::Symbol s;
    ASSERT_EQ(qr::encode(&s, mem::Bytes(reinterpret_cast<const u8*>(t.data()), t.size())), 1u);
    versions_seen |= 1u << s.version;
    std::string path = dir.path + "/symbol" + std::to_string(i) + ".pgm";
    testutil::write_file(path, pgm_of(s));
    if (t.empty()) continue;  // scanners report nothing for an empty symbol
    EXPECT_EQ(scan(path), t) << "version " << int(s.version) << ", mask " << int(s.mask);
  }
  EXPECT_EQ(versions_seen, 0x7FEu);  // versions 1 to 10
}

}  // namespace
