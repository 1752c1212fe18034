#include "platform/os.h"

#include <stdio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/harness.h"

namespace {

using harness::bytes;
using harness::EnvVar;

u64 boot_ms() {
  timespec t{};
  clock_gettime(CLOCK_BOOTTIME, &t);
  return static_cast<u64>(t.tv_sec) * 1000 + static_cast<u64>(t.tv_nsec) / 1000000;
}

TEST(Clocks, MonotonicAndInAgreeingUnits) {
  EXPECT_EQ(os::ticks_per_second(), 10000000u);
  u64 ms_before = boot_ms();
  u64 t0 = os::ticks();
  u64 us = os::micros();
  u64 t1 = os::ticks();
  u64 ms = os::clock_ms();
  u64 ms_after = boot_ms();
  // Each reading lies between the ones taken around it, in its own unit.
  EXPECT_LE(t0, t1);
  EXPECT_LE(t0 / 10, us);
  EXPECT_LE(us, t1 / 10);
  EXPECT_LE(ms_before, ms);
  EXPECT_LE(ms, ms_after);
  EXPECT_GE(os::mcp_clock_ms(), ms);

  u64 previous = os::ticks();
  for (int i = 0; i < 1000; ++i) {
    u64 now = os::ticks();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(Clocks, FileTimeCountsFrom1601) {
  // The bounds come from the same precise wall clock: time() reads a coarse copy that can lag a tick behind, and at
  // the turn of a second that lag made the upper bound fail.
  timespec before, after;
  clock_gettime(CLOCK_REALTIME, &before);
  u64 ft = os::filetime_now();
  clock_gettime(CLOCK_REALTIME, &after);
  const u64 offset = 11644473600ull;
  EXPECT_GE(ft, (static_cast<u64>(before.tv_sec) + offset) * 10000000ull + static_cast<u64>(before.tv_nsec) / 100);
  EXPECT_LE(ft, (static_cast<u64>(after.tv_sec) + offset) * 10000000ull + static_cast<u64>(after.tv_nsec) / 100);
}

TEST(Clocks, SleepLastsAtLeastItsTime) {
  u64 t0 = os::ticks();
  os::sleep_ms(20);
  // The sleep is measured on the same monotonic clock, so this bound is the kernel's promise, not a timing guess.
  EXPECT_GE(os::ticks() - t0, 20u * 10000 - 1);
}

TEST(Random, FillsAndZeroLengthSucceeds) {
  u8 a[64] = {}, b[64] = {};
  ASSERT_EQ(os::random_bytes(mem::Slice{a, sizeof a}), 1u);
  ASSERT_EQ(os::random_bytes(mem::Slice{b, sizeof b}), 1u);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
  EXPECT_EQ(os::random_bytes(mem::Slice{nullptr, 0}), 1u);
  os::RandomSource source = os::random_bytes;  // the callback form the cluster code takes
  EXPECT_EQ(source(mem::Slice{a, 16}), 1u);
}

TEST(Version, FamilyLinuxAndTheKernelRelease) {
  os::WindowsVersion v{};
  ASSERT_EQ(os::windows_version(&v), 0u);
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  unsigned major = 0, minor = 0, build = 0;
  sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  EXPECT_EQ(v.family, 2);
  EXPECT_EQ(v.value, 2) << "the finer system byte says Linux too";
  EXPECT_EQ(v.major, major & 0xFFFF);
  EXPECT_EQ(v.minor, minor & 0xFFFF);
  EXPECT_EQ(v.build, build);
}

TEST(ComputerName, FromTheVariableElseTheHostName) {
  struct Case {
    std::string value;
    u32 length;
  };
  const std::vector<Case> cases = {
      {"box-1", 5},
      {std::string(64, 'n'), 64},
      {std::string(65, 'n'), 0},
      {"tab\there", 0},      // a control character would make the host refuse the inventory
      {"caf\xc3\xa9", 0},    // not ASCII
      {"", 0},
  };
  for (const Case& c : cases) {
    EnvVar name("COMPUTERNAME", c.value);
    u8 buffer[64] = {};
    EXPECT_EQ(os::computer_name(buffer), c.length) << c.value;
    if (c.length) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), c.length), c.value);
    }
  }
  EnvVar unset("COMPUTERNAME", std::nullopt);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  u8 buffer[64] = {};
  u32 n = os::computer_name(buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), host);
}

struct SetterLog {
  static inline std::vector<std::string> texts;
  static u32 set(cluster::PublishSettings*, mem::Bytes text) {
    texts.push_back(harness::text(text));
    return text.len == 3 ? 1 : 0;
  }
};

TEST(Beacon, ReadFailuresNeverLookLikeStored) {
  struct Case {
    std::optional<std::string> value;
    u32 result;
    bool setter_called;
  };
  const std::vector<Case> cases = {
      {std::nullopt, 2, false},
      {std::string(25, '1'), 6, false},
      {"10.0.0.\xc3\xa9:7421", 0, false},
      {"off", 1, true},
      {"10.0.0.1:7421", 0, true},  // the setter's refusal passes through
  };
  for (const Case& c : cases) {
    EnvVar beacon("VIMBREL_BEACON", c.value);
    SetterLog::texts.clear();
    EXPECT_EQ(os::beacon_override(nullptr, SetterLog::set), c.result) << c.value.value_or("(unset)");
    EXPECT_EQ(SetterLog::texts.size(), c.setter_called ? 1u : 0u);
  }
}

TEST(Utf8ToWide, ConvertsAndAlwaysTerminates) {
  struct Case {
    std::string in;
    u32 capacity;
    std::vector<u16> out;
  };
  const std::vector<Case> cases = {
      {"", 8, {}},
      {"abc", 3, {}},  // as many bytes as the capacity: empty
      {"abc", 4, {'a', 'b', 'c'}},
      {"\xc3\xa9", 8, {0xE9}},
      {"\xe2\x82\xac", 8, {0x20AC}},
      {"\xf0\x9f\x98\x80", 8, {0xD83D, 0xDE00}},
      {"a\xff" "b", 8, {'a', 0xFFFD, 'b'}},
      {"\xc0\xaf", 8, {0xFFFD, 0xFFFD}},          // overlong
      {"\xed\xa0\x80", 8, {0xFFFD, 0xFFFD, 0xFFFD}},  // a surrogate in UTF-8
      {"\xe2\x82", 8, {0xFFFD, 0xFFFD}},          // cut short
  };
  for (const Case& c : cases) {
    std::vector<u16> buffer(c.capacity, 0x5555);
    u32 n = os::utf8_to_wide(bytes(c.in), buffer.data(), c.capacity);
    ASSERT_EQ(n, c.out.size()) << c.in;
    EXPECT_EQ(std::vector<u16>(buffer.begin(), buffer.begin() + n), c.out) << c.in;
    EXPECT_EQ(buffer[n], 0) << c.in;
  }
}

}  // namespace
