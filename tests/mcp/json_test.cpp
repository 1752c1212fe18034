// The JSON reader's table, its refusals with their offsets, its limits, the decoding helpers, and the writer's exact
// output and its overflow and nesting flags. A seeded mutation loop runs the shared checks over damaged messages.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "tests/mcp/json_check.h"

namespace {

using json_check::str;
using json_check::view;

using json_check::Parsed;

TEST(JsonReader, BuildsTheTableInTextOrder) {
  Parsed p(R"( {"id": 7, "params": {"name": "cpu", "list": [true, false, null, -1.5e3]}, "e": {}} )");
  ASSERT_EQ(p.doc->error, json::error_none);
  ASSERT_EQ(p.doc->count, 15);
  const u8 types[] = {1, 4, 5, 4, 1, 4, 3, 4, 2, 6, 7, 8, 5, 4, 1};
  for (u16 i = 0; i < sizeof types; ++i) EXPECT_EQ(json::type_of(p.doc.get(), i), types[i]) << i;
  EXPECT_EQ(str(p.span(0)), p.text.substr(1, p.text.size() - 2));
  EXPECT_EQ(str(p.span(1)), "id");  // a key without its quotes
  EXPECT_EQ(str(p.span(6)), "cpu");
  EXPECT_EQ(str(p.span(8)), "[true, false, null, -1.5e3]");
  EXPECT_EQ(str(p.span(12)), "-1.5e3");
  EXPECT_EQ(str(p.span(14)), "{}");
  const u16 ends[] = {15, 2, 3, 4, 13, 6, 7, 8, 13, 10, 11, 12, 13, 14, 15};
  for (u16 i = 0; i < sizeof ends / 2; ++i) EXPECT_EQ(p.doc->ends[i], ends[i]) << i;
  EXPECT_EQ(p.doc->parents[0], json::none);
  EXPECT_EQ(p.doc->parents[4], 0);
  EXPECT_EQ(p.doc->parents[9], 8);
  EXPECT_EQ(p.doc->parents[14], 0);
  EXPECT_EQ(json::type_of(p.doc.get(), 15), json::type_none);
  EXPECT_EQ(json::type_of(p.doc.get(), json::none), json::type_none);
  EXPECT_EQ(p.span(json::none).len, 0u);

  // Lookups pass over direct members only: "name" inside params is not a member of the root.
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 0, mem::lit("params")), 4);
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 0, mem::lit("e")), 14);
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 0, mem::lit("name")), json::none);
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 4, mem::lit("list")), 8);
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 8, mem::lit("list")), json::none);  // an array
  EXPECT_EQ(json::member(p.doc.get(), view(p.text), 14, mem::lit("x")), json::none);
}

TEST(JsonReader, FindsKeysThroughTheirEscapesAndOnlyUpTo64Bytes) {
  std::string long_key(65, 'k');
  Parsed p("{\"a\\u0062\\/c\":1,\"" + long_key + "\":2,\"" + long_key.substr(1) + "\":3,\"dup\":4,\"dup\":5}");
  ASSERT_EQ(p.doc->error, json::error_none);
  mem::Bytes t = view(p.text);
  EXPECT_EQ(json::member(p.doc.get(), t, 0, mem::lit("ab/c")), 2);
  EXPECT_EQ(json::member(p.doc.get(), t, 0, view(long_key)), json::none);
  EXPECT_EQ(str(p.span(json::member(p.doc.get(), t, 0, view(long_key.substr(1))))), "3");
  EXPECT_EQ(str(p.span(json::member(p.doc.get(), t, 0, mem::lit("dup")))), "4");
  EXPECT_TRUE(json::string_equals(p.doc.get(), t, 1, mem::lit("ab/c")));
  EXPECT_FALSE(json::string_equals(p.doc.get(), t, 2, mem::lit("1")));  // a number is not a string
}

TEST(JsonReader, AcceptsWhatJsonAllows) {
  const char* accepted[] = {
      "-0", "0.5e-3", "1E9", "1e+10", "[]", "{}", " \t\r\n[ ] ", "\"\"", "true", "null", "[[],{},\"\",0]",
      "\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\ud83d\\ude00 \\uABCD\"", "\"\xc3\xa9 \xe0\xa0\x80 \xf4\x8f\xbf\xbf\x7f\"",
  };
  for (const char* text : accepted) {
    Parsed p(text);
    EXPECT_EQ(p.doc->error, json::error_none) << text << ": " << str(json::error_text(p.doc->error));
    EXPECT_EQ(json_check::check_all(view(p.text)), "") << text;
  }
}

struct Refusal {
  std::string text;
  u8 error;
  u32 at;
};

TEST(JsonReader, RefusesWithTheFirstErrorAndItsOffset) {
  const Refusal cases[] = {
      {"", json::error_ends_early, 0},
      {" \n\t ", json::error_ends_early, 4},
      {"tru", json::error_ends_early, 0},
      {"trux", json::error_unexpected, 0},
      {"[nul", json::error_ends_early, 1},
      {"{} {}", json::error_unexpected, 3},
      {"[1,]", json::error_unexpected, 3},
      {"{\"a\":1,}", json::error_unexpected, 7},
      {"{\"a\" 1}", json::error_unexpected, 5},
      {"{\"a\":}", json::error_unexpected, 5},
      {"{1:2}", json::error_unexpected, 1},
      {"[1 2]", json::error_unexpected, 3},
      {"[}", json::error_unexpected, 1},
      {"{]", json::error_unexpected, 1},
      {"]", json::error_unexpected, 0},
      {"[1", json::error_ends_early, 2},
      {"{\"a\"", json::error_ends_early, 4},
      {"01", json::error_unexpected, 1},
      {"1.", json::error_number, 0},
      {"-", json::error_number, 0},
      {"[-x]", json::error_number, 1},
      {"1e", json::error_number, 0},
      {"1e+", json::error_number, 0},
      {".5", json::error_unexpected, 0},
      {"+1", json::error_unexpected, 0},
      {"\"a\tb\"", json::error_control, 2},
      {"\"a\\x\"", json::error_escape, 2},
      {"\"\\u12g4\"", json::error_escape, 1},
      {"\"\\udc00\"", json::error_escape, 1},
      {"\"\\ud83d\"", json::error_escape, 1},
      {"\"\\ud83d\\u0041\"", json::error_escape, 1},
      {"\"\\ud83d\\n\"", json::error_escape, 1},
      {"\"\\u00", json::error_ends_early, 5},
      {"\"\\", json::error_ends_early, 2},
      {"\"\\ud83d\\ud", json::error_ends_early, 10},
      {"\"abc", json::error_ends_early, 4},
      {"\"\xc0\x80\"", json::error_utf8, 1},
      {"\"\xed\xa0\x80\"", json::error_utf8, 1},
      {"\"\xf5\x80\x80\x80\"", json::error_utf8, 1},
      {"\"a\xe0\x80\xbf\"", json::error_utf8, 2},
      {"\"\xf0\x80\x80\x80\"", json::error_utf8, 1},
      {"\"\xf4\x90\x80\x80\"", json::error_utf8, 1},
      {"\"\x80\"", json::error_utf8, 1},
      {"\"\xc3", json::error_utf8, 1},
      {"\"\xe2\x82\"", json::error_utf8, 1},
      {std::string("\"a\0b\"", 5), json::error_control, 2},
      {"\xef\xbb\xbf{}", json::error_unexpected, 0},
  };
  for (const Refusal& c : cases) {
    Parsed p(c.text);
    EXPECT_EQ(p.doc->error, c.error) << c.text << ": " << str(json::error_text(p.doc->error));
    EXPECT_EQ(p.doc->error_at, c.at) << c.text;
    EXPECT_EQ(json_check::check_table(p.doc.get(), view(p.text)), "") << c.text;
  }
  EXPECT_EQ(str(json::error_text(json::error_too_deep)), "nested deeper than 16 levels");
  EXPECT_EQ(str(json::error_text(json::error_utf8)), "invalid UTF-8 in a string");
  EXPECT_EQ(str(json::error_text(json::error_none)), "no error");
}

TEST(JsonReader, HoldsItsLimitsExactly) {
  // Size: 65,536 bytes parse, one more is refused before any reading.
  std::string big = "\"" + std::string(json::max_bytes - 2, 'x') + "\"";
  EXPECT_EQ(Parsed(big).doc->error, json::error_none);
  Parsed too_big(big + " ");
  EXPECT_EQ(too_big.doc->error, json::error_too_long);
  EXPECT_EQ(too_big.doc->error_at, 65536u);
  EXPECT_EQ(too_big.doc->count, 0);

  // Depth: 16 open containers parse; the 17th opener is refused at its offset.
  EXPECT_EQ(Parsed(std::string(16, '[') + std::string(16, ']')).doc->error, json::error_none);
  Parsed deep(std::string(8, '[') + "{\"a\":" + std::string(7, '[') + "[[]" + std::string(8, ']') + "}" +
              std::string(8, ']'));
  EXPECT_EQ(deep.doc->error, json::error_too_deep);
  EXPECT_EQ(deep.doc->error_at, 8u + 1u + 4u + 7u);
  Parsed many_deep(std::string(60000, '['));  // stops at the 17th, no deeper
  EXPECT_EQ(many_deep.doc->error, json::error_too_deep);
  EXPECT_EQ(many_deep.doc->error_at, 16u);

  // Values: the array and 2,047 numbers make 2,048; one more is refused at its start.
  std::string values = "[0";
  for (u32 i = 1; i < json::max_values - 1; ++i) values += ",0";
  Parsed full(values + "]");
  EXPECT_EQ(full.doc->error, json::error_none);
  EXPECT_EQ(full.doc->count, json::max_values);
  EXPECT_EQ(full.doc->ends[0], json::max_values);
  Parsed over(values + ",\"s\"]");
  EXPECT_EQ(over.doc->error, json::error_too_many);
  EXPECT_EQ(over.doc->error_at, values.size() + 1);
  Parsed over_container(values + ",{}]");
  EXPECT_EQ(over_container.doc->error, json::error_too_many);
}

TEST(JsonDecoding, UnescapesToUtf8AndReportsTheFullLength) {
  struct Case {
    const char* content;
    std::string decoded;
  } cases[] = {
      {"a\\u00e9b", "a\xc3\xa9" "b"},
      {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
      {"\\u0041\\u07ff\\u0800\\uffff", "A\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
      {"\\b\\f\\n\\r\\t\\\"\\\\\\/", "\b\f\n\r\t\"\\/"},
      {"\\u0000", std::string(1, '\0')},
      {"\\udc00|\\ud800", "\xef\xbf\xbd|\xef\xbf\xbd"},  // never reaches here from the reader; stays valid UTF-8
      {"\\q\\u12", "\\q\\u12"},
  };
  for (const Case& c : cases) {
    u8 out[32];
    u64 n = json::unescape(mem::Bytes(reinterpret_cast<const u8*>(c.content), strlen(c.content)), mem::Slice{out, 32});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.decoded) << c.content;
  }
  u8 small[3] = {0, 0, 0};
  EXPECT_EQ(json::unescape(mem::lit("ab\\u00e9"), mem::Slice{small, 3}), 4u);
  EXPECT_EQ(small[2], 0xc3);  // what fits is stored
}

TEST(JsonDecoding, ReadsIntegersAndNumberFlags) {
  struct Case {
    const char* text;
    u64 value;
    u32 flags;
  } cases[] = {
      {"0", 0, 0},
      {"42", 42, 0},
      {"-7", 7, json::number_negative},
      {"18446744073709551615", UINT64_MAX, 0},
      {"18446744073709551616", UINT64_MAX, json::number_overflow},
      {"99999999999999999999999", UINT64_MAX, json::number_overflow},
      {"12.5", 12, json::number_fraction},
      {"-3e2", 3, json::number_negative | json::number_exponent},
      {"1E9", 1, json::number_exponent},
      {"-0.5e-3", 0, json::number_negative | json::number_fraction | json::number_exponent},
  };
  for (const auto& c : cases) {
    u32 overflow = 9;
    mem::Bytes t(reinterpret_cast<const u8*>(c.text), strlen(c.text));
    EXPECT_EQ(json::integer(t, &overflow), c.value) << c.text;
    EXPECT_EQ(overflow, (c.flags & json::number_overflow) ? 1u : 0u) << c.text;
    EXPECT_EQ(json::number_flags(t), c.flags) << c.text;
  }
}

// The buffer starts filled with a marker byte, so a write past the capacity shows.
constexpr u8 untouched = 0xA5;
struct Output {
  u8 buffer[256];
  json::Writer w;
  explicit Output(u32 capacity = 256) {
    memset(buffer, untouched, sizeof buffer);
    json::writer_init(&w, mem::Slice{buffer, capacity});
  }
  std::string text() const { return std::string(reinterpret_cast<const char*>(buffer), w.length); }
};

TEST(JsonWriter, WritesAnAnswerByteForByte) {
  Output o;
  json::begin_object(&o.w);
  json::key(&o.w, mem::lit("jsonrpc"));
  json::string_value(&o.w, mem::lit("2.0"));
  json::key(&o.w, mem::lit("id"));
  json::raw_value(&o.w, mem::lit("\"x-1\""));
  json::key(&o.w, mem::lit("result"));
  json::begin_object(&o.w);
  json::key(&o.w, mem::lit("list"));
  json::begin_array(&o.w);
  json::uint_value(&o.w, 0);
  json::int_value(&o.w, -12);
  json::int_value(&o.w, INT64_MIN);
  json::fixed_value(&o.w, 1234, 2);
  json::write_bool(&o.w, 1);
  json::write_bool(&o.w, 0);
  json::write_null(&o.w);
  json::begin_array(&o.w);
  json::end_array(&o.w);
  json::begin_object(&o.w);
  json::end_object(&o.w);
  json::end_array(&o.w);
  json::key(&o.w, mem::lit("text"));
  json::comma(&o.w);
  json::put_byte(&o.w, '"');
  json::write_string(&o.w, mem::lit("up "));
  json::write_uint(&o.w, 18446744073709551615u);
  json::put_raw(&o.w, mem::lit(" %"));
  json::put_byte(&o.w, '"');
  json::end_object(&o.w);
  json::end_object(&o.w);
  EXPECT_TRUE(json::writer_ok(&o.w));
  EXPECT_EQ(o.text(),
            "{\"jsonrpc\":\"2.0\",\"id\":\"x-1\",\"result\":{\"list\":[0,-12,-9223372036854775808,12.34,true,false,"
            "null,[],{}],\"text\":\"up 18446744073709551615 %\"}}");
  EXPECT_EQ(json_check::check_all(view(o.text())), "");
}

TEST(JsonWriter, EscapesStringsAndReplacesBadUtf8) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"A\xff" "B", "A\\ufffdB"},
      {std::string("\x01", 1), "\\u0001"},
      {std::string("\0\x1f", 2), "\\u0000\\u001f"},
      {"/", "/"},
      {"\x7f", "\x7f"},
      {"\"\\\b\t\n\f\r", "\\\"\\\\\\b\\t\\n\\f\\r"},
      {"\xc3\xa9\xf0\x9f\x98\x80", "\xc3\xa9\xf0\x9f\x98\x80"},
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},  // an encoded surrogate: each byte on its own
      {"\xe2\x82", "\\ufffd\\ufffd"},             // cut off
      {"\xc0\xaf", "\\ufffd\\ufffd"},             // overlong slash
  };
  for (const Case& c : cases) {
    Output o;
    json::write_string(&o.w, view(c.in));
    EXPECT_EQ(o.text(), c.out) << c.in;
    EXPECT_EQ(json_check::check_written(view(c.in)), "");
  }
}

TEST(JsonWriter, FixedPointNumbers) {
  struct Case {
    u64 value;
    u32 decimals;
    const char* out;
  } cases[] = {
      {1234, 2, "12.34"}, {5, 2, "0.05"}, {0, 0, "0"}, {7, 0, "7"}, {0, 3, "0.000"},
      {1000000000, 12, "1.000000000"}, {UINT64_MAX, 1, "1844674407370955161.5"},
  };
  for (const auto& c : cases) {
    Output o;
    json::fixed_value(&o.w, c.value, c.decimals);
    EXPECT_EQ(o.text(), c.out);
  }
}

TEST(JsonWriter, StopsAtItsCapacityAndFlagsNesting) {
  Output four(4);
  json::begin_object(&four.w);
  json::key(&four.w, mem::lit("ab"));
  json::uint_value(&four.w, 1);
  json::end_object(&four.w);
  EXPECT_EQ(four.text(), "{\"ab");
  EXPECT_EQ(four.buffer[4], untouched);  // nothing past the capacity
  EXPECT_TRUE(four.w.flags & json::flag_overflow);
  EXPECT_FALSE(json::writer_ok(&four.w));

  Output extra;
  json::begin_array(&extra.w);
  json::end_array(&extra.w);
  json::end_array(&extra.w);
  EXPECT_EQ(extra.text(), "[]]");
  EXPECT_EQ(extra.w.flags, json::flag_nesting);
  EXPECT_FALSE(json::writer_ok(&extra.w));

  Output deep;
  for (u32 i = 0; i < 16; ++i) json::begin_array(&deep.w);
  EXPECT_EQ(deep.w.flags, 0);
  json::begin_array(&deep.w);
  EXPECT_EQ(deep.w.flags, json::flag_nesting);

  Output open;
  json::begin_object(&open.w);
  EXPECT_FALSE(json::writer_ok(&open.w));  // left open
  json::end_object(&open.w);
  EXPECT_TRUE(json::writer_ok(&open.w));
}

// Valid messages, damaged by flipped and inserted bytes, cuts and splices: the table stays well formed, and what is
// still accepted survives a round through the writer.
TEST(JsonMutation, DamagedMessagesNeverBreakTheReader) {
  const std::string seeds[] = {
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"top_processes","arguments":{"count":5}}})",
      R"([{"a":[1,-2.5e-3,true,false,null]},"\u00e9\ud83d\ude00\n",{"":{}},[[[]]]])",
      "{\"k\\\"ey\":\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\",\"n\":-0.0E+1}",
      "[" + std::string(15, '[') + std::string(15, ']') + "]",
  };
  std::mt19937_64 rng(20261209);
  const u8 interesting[] = {'"', '\\', '{', '}', '[', ']', ',', ':', 'u', '0', 'e', '-', '.', 0x80, 0xc3, 0xed, 0xf4, 0xff, 0, '\t'};
  u32 accepted = 0, runs = 0;
  for (u32 round = 0; round < 20000; ++round) {
    std::string text = seeds[rng() % 4];
    u32 edits = 1 + rng() % 4;
    for (u32 e = 0; e < edits && !text.empty(); ++e) {
      size_t at = rng() % text.size();
      switch (rng() % 5) {
        case 0: text[at] = static_cast<char>(rng()); break;
        case 1: text[at] = static_cast<char>(interesting[rng() % sizeof interesting]); break;
        case 2: text.insert(at, 1, static_cast<char>(interesting[rng() % sizeof interesting])); break;
        case 3: text.resize(at); break;
        default: text.insert(at, seeds[rng() % 4].substr(0, rng() % 40)); break;
      }
    }
    std::string faults = json_check::check_all(view(text)) + json_check::check_written(view(text));
    ASSERT_EQ(faults, "") << text;
    auto doc = std::make_unique<json::Document>();
    json::parse(view(text), doc.get());
    accepted += doc->error == json::error_none;
    ++runs;
  }
  EXPECT_GT(accepted, runs / 50);  // the damage leaves enough accepted messages for the round trip to mean something
}

}  // namespace
