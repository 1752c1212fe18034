// The Support page's payment data: lines parsed and checked (IBAN, BIC, holder), the SPD and EPC payloads, and the
// symbols built from them.
#include <gtest/gtest.h>

#include <string>

#include "pages/support.h"

namespace {

mem::Bytes b(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes x) { return std::string(reinterpret_cast<const char*>(x.ptr), x.len); }
std::string str(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

// Valid accounts (their check digits verified by the mod-97 rule).
const std::string cz = "CZ6508000000192000145399", de = "DE89370400440532013000", gb = "GB29NWBK60161331926819";
const std::string text =
    "CZK " + cz + " GIBACZPX Example Company s.r.o.\n"
    "EUR\t" + de + "\tCOBADEFFXXX   Example Company  \r\n"
    "USD " + gb + " NWBKGB2L Example Company\n";

TEST(SupportParse, IbanCheck) {
  struct Case {
    std::string iban;
    bool ok;
  } cases[] = {
      {cz, true},
      {de, true},
      {gb, true},
      {"NO9386011117947", true},               // 15 characters, the shortest country
      {"cz6508000000192000145399", false},     // lower case
      {"CZ6508000000192000145398", false},     // one digit changed
      {"DE00370400440532013000", false},       // check digits 00
      {"DE01370400440532013000", false},       // 01
      {"DE99370400440532013000", false},       // 99
      {"NO938601111794", false},               // 14 characters
      {"1289370400440532013000", false},       // no country letters
      {"DE8937040044053201300-", false},       // a sign
      {"DE8937040044053201300012345678901234", false},  // 36 characters
  };
  for (const Case& c : cases) EXPECT_EQ(support::parse_iban(b(c.iban)), c.ok) << c.iban;
}

TEST(SupportParse, BicAndHolder) {
  struct Case {
    std::string text;
    bool ok;
  } bics[] = {{"GIBACZPX", true}, {"COBADEFFXXX", true}, {"COBADEFF1X2", true}, {"GIBACZP", false},
              {"COBADEFFXXXX", false}, {"GIBAC1PX", false}, {"gibaczpx", false}, {"COBADEFFXX", false}};
  for (const Case& c : bics) EXPECT_EQ(support::parse_bic(b(c.text)), c.ok) << c.text;
  EXPECT_TRUE(support::parse_holder(b("A")));
  EXPECT_TRUE(support::parse_holder(b(std::string(70, 'x'))));
  EXPECT_FALSE(support::parse_holder(b(std::string(71, 'x'))));
  EXPECT_FALSE(support::parse_holder(b("")));
  EXPECT_FALSE(support::parse_holder(b("Caf\xC3\xA9")));
}

TEST(SupportParse, LinesFillTheirBlocks) {
  support::SupportState s{};
  support::parse(&s, b(text));
  EXPECT_EQ(s.currencies, 7u);
  EXPECT_EQ(str(support::copy_text(s, support::czk)), cz);
  EXPECT_EQ(str(support::holder_text(s, support::czk)), "Example Company s.r.o.");
  EXPECT_EQ(str(support::bic_text(s, support::eur)), "COBADEFFXXX");
  EXPECT_EQ(str(support::holder_text(s, support::eur)), "Example Company") << "CR and blanks trimmed";
  EXPECT_EQ(str(support::copy_text(s, support::usd)), gb);
  EXPECT_EQ(str(support::holder_text(s, support::usd)), "Example Company") << "the last line";
}

TEST(SupportParse, FirstValidLineOfACurrencyCountsAndBadLinesDropWhole) {
  const std::string bad_cz = "CZ6508000000192000145398";
  struct Case {
    std::string text;
    u8 currencies;
    std::string czk_iban;
  } cases[] = {
      {"CZK " + cz + " GIBACZPX First\nCZK " + de + " COBADEFF Second\n", 1, cz},
      {"CZK " + bad_cz + " GIBACZPX First\nCZK " + cz + " GIBACZPX Second", 1, cz},
      {"CZK " + cz + " GIBACZP Short BIC\n", 0, ""},
      {"CZK " + cz + " GIBACZPX\n", 0, ""},  // no holder
      {"GBP " + gb + " NWBKGB2L Someone\n", 0, ""},
      {"czk " + cz + " GIBACZPX Someone\n", 0, ""},
      {"", 0, ""},
      {"\n\n\r\n", 0, ""},
      {"EUR " + de + " COBADEFF Holder\n", 2, ""},
  };
  for (const Case& c : cases) {
    support::SupportState s{};
    s.copied = 7;
    support::parse(&s, b(c.text));
    EXPECT_EQ(s.currencies, c.currencies) << c.text;
    EXPECT_EQ(str(support::copy_text(s, support::czk)), c.czk_iban) << c.text;
    EXPECT_EQ(s.copied, 0u);
  }
}

TEST(SupportPayload, SpdEscapesAndTexts) {
  struct Case {
    std::string in, out;
  } cases[] = {{"*", "%2A"}, {"%", "%25"}, {"\xC3", "%C3"}, {"\x1F~ ", "%1F~ "}, {"a*b", "a%2Ab"}};
  for (const Case& c : cases) {
    words::Text t{};
    support::spd_escape(&t, b(c.in));
    EXPECT_EQ(str(t), c.out);
  }
  support::SupportState s{};
  support::parse(&s, b(text));
  words::Text t{};
  support::spd_text(s, &t);
  EXPECT_EQ(str(t), "SPD*1.0*ACC:" + cz + "+GIBACZPX*CC:CZK*MSG:Vimbrel support");
  support::epc_text(s, &t);
  EXPECT_EQ(str(t), "BCD\n002\n1\nSCT\nCOBADEFFXXX\nExample Company\n" + de + "\n\n\n\nVimbrel support");
}

TEST(SupportPayload, SymbolsFollowTheBlocks) {
  struct Case {
    std::string text;
    u8 built;
  } cases[] = {
      {text, 3},
      {"USD " + gb + " NWBKGB2L Example Company\n", 0},
      {"CZK " + cz + " GIBACZPX X\nUSD " + gb + " NWBKGB2L Y\n", 1},
      {"EUR " + de + " COBADEFF X\n", 2},
  };
  for (const Case& c : cases) {
    support::SupportState s{};
    support::parse(&s, b(c.text));
    s.copied = 5;
    support::refresh(&s);
    EXPECT_EQ(s.built, c.built) << c.text;
    EXPECT_EQ(s.copied, 0u);
    EXPECT_TRUE(support::has_qr(s, 0) == ((c.built & 1) != 0));
  }
}

}  // namespace
