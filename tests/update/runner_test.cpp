// The version probe's command line, the same on every system: the program's path quoted as one word.
#include <gtest/gtest.h>

#include <string>

#include "update/runner.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

TEST(VersionProbe, QuotesThePathAsOneWord) {
  u8 line[512];
  struct Case {
    std::string path, line;
  } cases[] = {
      {"/opt/v/vimbrel", "\"/opt/v/vimbrel\" --version"},
      {"C:\\Vimbrel\\bin\\", "\"C:\\Vimbrel\\bin\\\\\" --version"},
      {"/odd \"name\"", ""},
      {std::string(501, 'a'), ""},
  };
  for (const Case& c : cases) {
    u32 n = runner::probe_command(bytes(c.path), line);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(line), n), c.line) << c.path;
  }
}

}  // namespace
