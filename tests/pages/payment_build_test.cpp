// The build step that carries a payment text into the program (CMake VIMBREL_PAYMENT_TEXT_FILE): the text comes out
// as a C++ string of the same bytes, which the Support page parses into its blocks; a missing, empty, oversized or
// binary file stops the build with a sentence that names the option.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "pages/support.h"
#include "tests/support/testutil.h"

namespace {

struct StepRun {
  int code;
  std::string said;
};

StepRun payment_step(const std::string& input, const std::string& output) {
  const std::string command = "cmake -DINPUT='" + input + "' -DOUTPUT='" + output + "' -P '" VIMBREL_SOURCE_DIR
                              "/tools/payment.cmake' 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string said;
  char buffer[512];
  for (size_t n; p && (n = fread(buffer, 1, sizeof buffer, p)) > 0;) said.append(buffer, n);
  const int status = p ? pclose(p) : -1;
  // CMake wraps its messages: one blank between words, so that a sentence is found whole.
  std::string flat;
  for (char ch : said)
    if (!(ch == ' ' || ch == '\n') || (!flat.empty() && flat.back() != ' ')) flat.push_back(ch == '\n' ? ' ' : ch);
  said = flat;
  return StepRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}

// The bytes of the string literal(s) in the written source: every byte is a \xHH escape.
std::string carried_of(const std::string& source) {
  std::string bytes;
  for (size_t at = source.find("\\x"); at != std::string::npos; at = source.find("\\x", at + 4))
    bytes.push_back(static_cast<char>(std::stoi(source.substr(at + 2, 2), nullptr, 16)));
  return bytes;
}

TEST(PaymentBuild, TheTextIsCarriedByteForByteAndParses) {
  testutil::TempDir dir;
  const std::string text =
      "CZK CZ6508000000192000145399 GIBACZPX Example Company s.r.o.\n"
      "EUR DE89370400440532013000 COBADEFFXXX Example Company\n"
      "USD GB29NWBK60161331926819 NWBKGB2L Example Company\n";
  testutil::write_file(dir.path + "/payment.txt", text);
  const StepRun run = payment_step(dir.path + "/payment.txt", dir.path + "/carried.inc");
  ASSERT_EQ(run.code, 0) << run.said;
  const std::string source = testutil::read_file(dir.path + "/carried.inc");
  EXPECT_NE(source.find("constexpr char carried[] ="), std::string::npos) << source;
  const std::string carried = carried_of(source);
  EXPECT_EQ(carried, text);
  support::SupportState s{};
  support::parse(&s, mem::Bytes(reinterpret_cast<const u8*>(carried.data()), carried.size()));
  EXPECT_EQ(s.currencies, 7u) << "CZK, EUR and USD";
}

TEST(PaymentBuild, FilesThatAreNoPaymentTextStopTheBuild) {
  testutil::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;  // "-" for no file
    const char* said;
  };
  const Case cases[] = {
      {"missing", "-", "no such file"},
      {"empty", "", "holds 0 bytes"},
      {"513 bytes", std::string(513, 'a'), "holds 513 bytes"},
      {"a zero byte", std::string("CZK \0 x\n", 8), "zero byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = dir.path + "/" + c.name;
    if (c.bytes != "-") testutil::write_file(input, c.bytes);
    const StepRun run = payment_step(input, dir.path + "/out.inc");
    EXPECT_NE(run.code, 0);
    EXPECT_NE(run.said.find("VIMBREL_PAYMENT_TEXT_FILE"), std::string::npos) << run.said;
    EXPECT_NE(run.said.find(c.said), std::string::npos) << run.said;
    EXPECT_EQ(testutil::read_file(dir.path + "/out.inc"), "") << "nothing written";
  }
}

}  // namespace
