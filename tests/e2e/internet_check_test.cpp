// `vimbrel --internet-check` as a user runs it, pointed (through the test build's seam) at a loopback speed-test
// service: three lines and exit 0 when all three measurements succeed; a dead service gives its status on every line
// and exit 1 within the time-outs; a standard output that refuses the lines ends the mode with exit 1. The request
// child started by hand without its section ends at once.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/internet/service.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The line is head, digits, middle ... : each fixed piece in order, with only digits, dots and unit letters between.
bool shaped(const std::string& line, const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (size_t i = 0; i < pieces.size(); i++) {
    size_t found = line.find(pieces[i], at);
    if (found == std::string::npos || (i == 0 && found != 0)) return false;
    for (size_t k = at; k < found; k++)
      if (!isdigit(static_cast<unsigned char>(line[k])) && line[k] != '.') return false;
    at = found + pieces[i].size();
  }
  return at == line.size();
}

TEST(InternetCheck, MeasuresTheLoopbackService) {
  service::Service svc(R"({"rate": 20000000})");  // paced: each direction lasts long enough to count
  ASSERT_NE(svc.port, 0);
  harness::EnvVar endpoint("VIMBREL_TEST_INTERNET", "127.0.0.1:" + std::to_string(svc.port));
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--internet-check", home.path);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_TRUE(shaped(lines[0], {"probe Reachable, latency ", " ms"})) << lines[0];
  EXPECT_TRUE(shaped(lines[1], {"download Reachable, 25000000 bytes in ", " ms: ", " Mbps"})) << lines[1];
  EXPECT_TRUE(shaped(lines[2], {"upload Reachable, 10000000 bytes in ", " ms: ", " Mbps"})) << lines[2];
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(svc.log().size(), 4u);  // warm-up, timed probe, download, upload

  testutil::RunResult full = testutil::run_vimbrel_to("--internet-check", home.path, ">/dev/full");
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_NE(full.err.find("could not be written"), std::string::npos) << full.err;
}

TEST(InternetCheck, DeadServiceFailsEveryLine) {
  service::ClosedPort closed;
  harness::EnvVar endpoint("VIMBREL_TEST_INTERNET", "127.0.0.1:" + std::to_string(closed.port));
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--internet-check", home.path);
  EXPECT_EQ(r.exit_code, 1);
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0], "probe No connection to Cloudflare, latency 0.0 ms");
  EXPECT_TRUE(shaped(lines[1], {"download No connection to Cloudflare, 0 bytes in ", " ms: 0 Kbps"})) << lines[1];
  EXPECT_TRUE(shaped(lines[2], {"upload No connection to Cloudflare, 0 bytes in ", " ms: 0 Kbps"})) << lines[2];
}

// The request child started by hand with a section that does not exist ends at once with exit code 3.
TEST(InternetCheck, ChildWithoutItsSectionEndsAtOnce) {
  testutil::TempDir home;
  testutil::RunResult r =
      testutil::run_vimbrel("--internet 'Local\\Vimbrel-feed-0123456789abcdef0123456789abcdef'", home.path);
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(testutil::run_vimbrel("--internet", home.path).exit_code, 2);  // the usage
}

}  // namespace
