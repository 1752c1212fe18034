#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/entry.h"
#include "platform/os.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// Splits a whole line the way a child's argument text is split: the program name first, then every argument.
std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> words;
  u64 position = 0, length = 0;
  u32 first = 1;
  while (os::next_token(bytes(line), &position, first, nullptr, 0, &length)) {
    words.push_back(std::string(length, '?'));
    first = 0;
  }
  // Second pass copies: measuring and copying must agree on every length.
  position = 0;
  first = 1;
  for (std::string& word : words) {
    u64 copied = 0;
    EXPECT_EQ(os::next_token(bytes(line), &position, first, reinterpret_cast<u8*>(word.data()), word.size(), &copied),
              1u);
    EXPECT_EQ(copied, word.size());
    first = 0;
  }
  EXPECT_EQ(os::next_token(bytes(line), &position, 0, nullptr, 0, &length), 0u);
  EXPECT_EQ(position, line.size());
  return words;
}

struct SplitCase {
  const char* line;
  std::vector<std::string> words;
};

TEST(NextToken, WindowsQuotingRules) {
  const SplitCase cases[] = {
      {R"("C:\Program Files\v.exe" x)", {R"(C:\Program Files\v.exe)", "x"}},
      {R"(C:\a\b.exe)", {R"(C:\a\b.exe)"}},
      {R"("a b"c d)", {"a bc", "d"}},                         // the program name's quotes only toggle
      {R"(p a\\\"b)", {"p", R"(a\"b)"}},                      // odd run: half the backslashes and a quote
      {R"(p a\\"b c")", {"p", R"(a\b c)"}},                   // even run: the quote opens quoting
      {R"(p a\\\\"b")", {"p", R"(a\\b)"}},
      {R"(p "a""b")", {"p", R"(a"b)"}},                       // "" inside quotes is one quote
      {R"(p a\\b c\)", {"p", R"(a\\b)", R"(c\)"}},            // backslashes before no quote are literal
      {R"(p x"y z"w)", {"p", "xy zw"}},
      {R"(p "")", {"p", ""}},
      {R"(p "" "")", {"p", "", ""}},
      {R"(p "open to the end)", {"p", "open to the end"}},
      {"p", {"p"}},
      {"p   ", {"p"}},
      {"p \t a\tb  ", {"p", "a", "b"}},
      {"", {""}},                                             // the program name always counts
      {"p caf\xc3\xa9", {"p", "caf\xc3\xa9"}},
  };
  for (const SplitCase& c : cases) EXPECT_EQ(split(c.line), c.words) << c.line;
}

TEST(NextToken, CopiesAtMostTheCapacityButReportsTheFullLength) {
  std::string line = "p abcde f";
  u64 position = 1, length = 0;
  u8 out[4] = {'.', '.', '.', '.'};
  ASSERT_EQ(os::next_token(bytes(line), &position, 0, out, 2, &length), 1u);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "ab..");
  EXPECT_EQ(position, 7u);  // at the blank after the argument
}

// The command line that Linux builds from the argument vector splits back into the same words.
TEST(CommandLine, SplitsBackIntoTheArgumentVector) {
  std::vector<std::string> words = {
      "/opt/my \"tools\"/vimbrel", "plain", "", "two words", "tab\there", R"(a"b)", R"(a\)", R"(a\\)",
      R"(a\"b)",                   R"(end\\")", R"(C:\dir\)", "\"\"", "caf\xc3\xa9",
  };
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  os::set_args(static_cast<int>(argv.size()), argv.data());
  mem::Slice text = os::command_line();
  ASSERT_NE(text.ptr, nullptr);
  std::vector<std::string> back = split(std::string(reinterpret_cast<char*>(text.ptr), text.len));
  errno = EACCES;
  os::free_command_line(text.ptr);
  EXPECT_EQ(errno, EACCES);  // freeing keeps the caller's last error
  os::set_args(0, nullptr);

  std::vector<std::string> expected = words;
  expected[0] = "/opt/my tools/vimbrel";  // a quote in the program name cannot be written
  EXPECT_EQ(back, expected);
}

}  // namespace
