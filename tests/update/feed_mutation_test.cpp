// Seeded mutations of valid manifests and URLs through the feed readers: whatever the network sends, a reader
// refuses with a reset record or accepts something that agrees with the rules, and nothing reads out of bounds (the
// test build runs under the address and undefined-behaviour sanitizers).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/update/feed_check.h"

namespace {

std::vector<std::string> seeds() {
  std::string sha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  return {
      "vimbrel-latest 1\nversion 1.2.3\nfile vimbrel.exe\nsha256 " + sha +
          "\nurl https://u.example.com/downloads/vimbrel/v1.2.3/vimbrel.exe\nnotes https://u.example.com/n.txt\n",
      "vimbrel-latest 1\nversion 0.1.82-beta.7\nfile v_1-2.exe\nsha256 " + sha +
          "\nurl http://127.0.0.1:8080/v_1-2.exe\n",
      "https://u.example.com:8443/downloads/vimbrel/latest.txt",
      "1.2.3-beta.10",
  };
}

TEST(FeedMutation, SeedsAreAccepted) {
  std::vector<std::string> s = seeds();
  update::Manifest m;
  update::Url u;
  EXPECT_EQ(update::parse_manifest(mem::cstr(s[0].c_str()), mem::lit("vimbrel"), false, &m), 1u);
  EXPECT_EQ(update::parse_beta_manifest(mem::cstr(s[1].c_str()), mem::lit("vimbrel"), true, &m), 1u);
  EXPECT_EQ(update::parse_url(mem::cstr(s[2].c_str()), false, &u), 1u);
  EXPECT_EQ(update::check_feed_url(mem::cstr(s[2].c_str())), s[2].size() + 5);
  EXPECT_EQ(update::is_version_text(mem::cstr(s[3].c_str())), 1u);
  for (const std::string& seed : s) EXPECT_EQ(feed_check::check_all(mem::cstr(seed.c_str())), "");
}

TEST(FeedMutation, FlippedBytesCutsAndSplicesNeverBreakTheReaders) {
  std::mt19937_64 rng(20261209);
  std::vector<std::string> all = seeds();
  const char edge[] = {'\n', '\r', ' ', '.', '/', ':', '0', '9', 'a', 'f', 'g', '-', '?', 0, '\x7f', '\xff'};
  for (u32 round = 0; round < 20000; ++round) {
    std::string b = all[rng() % all.size()];
    for (u32 k = 1 + rng() % 3; k > 0 && !b.empty(); --k) {
      size_t at = rng() % b.size();
      switch (rng() % 5) {
        case 0: b[at] = static_cast<char>(rng()); break;
        case 1: b[at] = edge[rng() % sizeof edge]; break;
        case 2: b.resize(at); break;
        case 3: b.erase(at, 1 + rng() % 4); break;
        default: {
          const std::string& other = all[rng() % all.size()];
          b = b.substr(0, at) + other.substr(rng() % other.size());
        }
      }
    }
    std::string faults = feed_check::check_all(mem::Bytes(reinterpret_cast<const u8*>(b.data()), b.size()));
    ASSERT_EQ(faults, "") << "round " << round << ": " << b;
  }
}

}  // namespace
