#include "base/sha256.h"

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/support/testutil.h"

namespace {

mem::Bytes bytes_of(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

std::string hex_of(const u8 digest[32]) {
  u8 text[64];
  sha256::hex(digest, text);
  return std::string(reinterpret_cast<const char*>(text), 64);
}

std::string finish_hex(sha256::Context* ctx) {
  u8 digest[32];
  sha256::finish(ctx, digest);
  return hex_of(digest);
}

std::string one_shot(const std::string& message) {
  u8 digest[32];
  sha256::sha256(bytes_of(message), digest);
  return hex_of(digest);
}

// Feeds the message through one context in consecutive pieces of the given lengths, the last piece taking the rest.
std::string in_pieces(const std::string& message, const std::vector<u64>& lengths) {
  sha256::Context ctx;
  sha256::init(&ctx);
  u64 at = 0;
  for (u64 n : lengths) {
    n = std::min<u64>(n, message.size() - at);
    sha256::update(&ctx, mem::Bytes(reinterpret_cast<const u8*>(message.data()) + at, n));
    at += n;
  }
  sha256::update(&ctx, mem::Bytes(reinterpret_cast<const u8*>(message.data()) + at, message.size() - at));
  return finish_hex(&ctx);
}

std::string random_bytes(std::mt19937_64& rng, u64 n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(Sha256, PublishedVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits behind the 0x80 byte, so padding takes a second block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(one_shot(c.message), c.digest) << "length " << c.message.size();
    sha256::Context ctx;
    sha256::init(&ctx);
    sha256::update(&ctx, bytes_of(c.message));
    EXPECT_EQ(finish_hex(&ctx), c.digest);
    EXPECT_EQ(ctx.buffered, 0u);
    EXPECT_EQ(ctx.total, c.message.size());
  }
}

TEST(Sha256, TwoPiecesSplitAroundBlockEdges) {
  std::mt19937_64 rng(7);
  std::string message = random_bytes(rng, 300);
  std::string whole = one_shot(message);
  for (u64 split : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 191, 192, 193, 299, 300})
    EXPECT_EQ(in_pieces(message, {split}), whole) << "split at " << split;
}

TEST(Sha256, EqualPiecesOfEverySizeAroundABlock) {
  std::mt19937_64 rng(11);
  for (u64 length : {0, 1, 63, 64, 65, 200, 1000}) {
    std::string message = random_bytes(rng, length);
    std::string whole = one_shot(message);
    for (u64 piece : {1, 7, 55, 56, 63, 64, 65, 128}) {
      std::vector<u64> lengths(length / piece, piece);
      EXPECT_EQ(in_pieces(message, lengths), whole) << "length " << length << " in pieces of " << piece;
    }
  }
}

TEST(Sha256, RandomPiecesIncludingEmptyOnes) {
  std::mt19937_64 rng(20240601);
  for (int round = 0; round < 300; ++round) {
    std::string message = random_bytes(rng, rng() % 700);
    std::vector<u64> lengths;
    for (u64 sum = 0; sum < message.size(); sum += lengths.back()) lengths.push_back(rng() % 140);
    EXPECT_EQ(in_pieces(message, lengths), one_shot(message)) << "round " << round;
  }
}

// A keyed hash prepares a context once and copies it for every message; each copy, and the context itself, must go
// on from the common prefix without disturbing the others.
TEST(Sha256, CopiedContextResumesOnItsOwn) {
  std::mt19937_64 rng(3);
  for (u64 prefix_length : {0, 30, 64, 100}) {
    std::string prefix = random_bytes(rng, prefix_length);
    sha256::Context prepared;
    sha256::init(&prepared);
    sha256::update(&prepared, bytes_of(prefix));
    std::vector<std::string> suffixes = {"", "x", random_bytes(rng, 33), random_bytes(rng, 64),
                                         random_bytes(rng, 150)};
    for (const std::string& suffix : suffixes) {
      sha256::Context copy = prepared;
      sha256::update(&copy, bytes_of(suffix));
      EXPECT_EQ(finish_hex(&copy), one_shot(prefix + suffix)) << prefix_length << " + " << suffix.size();
    }
    sha256::update(&prepared, bytes_of("tail"));
    EXPECT_EQ(finish_hex(&prepared), one_shot(prefix + "tail"));
  }
}

TEST(Sha256, CompressTakesTheCallersBlockOrItsOwn) {
  // "abc" padded by hand: the message, 0x80, zeros, and the bit length 24 in the last byte.
  u8 block[64] = {'a', 'b', 'c', 0x80};
  block[63] = 24;
  sha256::Context given, own;
  sha256::init(&given);
  sha256::init(&own);
  sha256::compress(&given, block);
  __builtin_memcpy(own.block, block, 64);
  sha256::compress_buffered(&own);
  for (const sha256::Context* ctx : {&given, &own}) {
    u8 digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<u8>(ctx->state[i / 4] >> (24 - 8 * (i % 4)));
    EXPECT_EQ(hex_of(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}

TEST(Sha256, HexIsLowerCaseHighNibbleFirst) {
  // Every nibble value in both halves of a byte.
  const u8 half[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  u8 digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = half[i % 16];
  u8 text[66];
  __builtin_memset(text, '#', sizeof text);
  sha256::hex(digest, text);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), 66),
            "0123456789abcdeffedcba9876543210" "0123456789abcdeffedcba9876543210" "##");
}

// An independent reference: the system's own sha256sum over a few random files whose lengths sit at the padding
// edges and beyond.
TEST(Sha256, AgreesWithSystemSha256sum) {
  testutil::TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::mt19937_64 rng(99);
  std::vector<std::string> expected;
  std::string command = "sha256sum";
  const u64 lengths[] = {0, 55, 56, 63, 64, 65, 1000, 100003};
  for (u64 n : lengths) {
    std::string message = random_bytes(rng, n);
    std::string path = dir.path + "/m" + std::to_string(n);
    testutil::write_file(path, message);
    expected.push_back(one_shot(message));
    command += " '" + path + "'";
  }
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512];
  std::vector<std::string> got;
  while (fgets(line, sizeof line, pipe)) got.push_back(std::string(line).substr(0, 64));
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(got, expected);
}

// Where the processor's SHA-256 instructions compress, every state and block comes out as the portable rounds make
// it: blocks of every byte value and of no bits, and random states (the instructions keep the state in another
// order, so each word's place matters).
TEST(Sha256, TheProcessorsInstructionsAgreeWithThePortableRounds) {
  std::mt19937_64 rng(49);
  std::vector<std::string> blocks = {std::string(64, '\0'), std::string(64, '\xFF'), std::string(64, '\x80')};
  for (int i = 0; i < 2000; ++i) blocks.push_back(random_bytes(rng, 64));
  for (const std::string& block : blocks) {
    sha256::Context fast;
    sha256::init(&fast);
    for (u32& word : fast.state) word = static_cast<u32>(rng());
    sha256::Context portable = fast;
    sha256::compress(&fast, reinterpret_cast<const u8*>(block.data()));
    sha256::compress_portable(&portable, reinterpret_cast<const u8*>(block.data()));
    ASSERT_EQ(memcmp(fast.state, portable.state, sizeof fast.state), 0);
  }
#if SHA256_INSTRUCTIONS
  if (!__builtin_cpu_supports("sha")) GTEST_SKIP() << "this processor has no SHA-256 instructions: both were portable";
#endif
}

}  // namespace
