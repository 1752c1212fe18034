// The single-line text field: insertion limits, word motions, deletion, masking, selection, scroll, clicks and
// drawing.
#include "widgets/textedit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

std::string text_of(const textedit::Field& f) { return std::string(reinterpret_cast<const char*>(f.text), f.length); }

textedit::Field field(const std::string& text, u32 caret, u32 anchor, u8 flags = 0) {
  textedit::Field f{};
  textedit::set_text(&f, bytes(text), flags);
  f.caret = static_cast<u16>(caret);
  f.anchor = static_cast<u16>(anchor);
  return f;
}

// The freed bytes are zero and the invariants hold.
void expect_sound(const textedit::Field& f) {
  EXPECT_LE(f.caret, f.length);
  EXPECT_LE(f.anchor, f.length);
  for (u32 i = 0; i < f.length; ++i) EXPECT_TRUE(f.text[i] >= 32 && f.text[i] <= 126) << i;
  for (u32 i = f.length; i < textedit::text_most; ++i) ASSERT_EQ(f.text[i], 0) << i;
}

TEST(TextEdit, InsertKeepsPrintableBytesWithinTheLimit) {
  struct Case {
    const char* name;
    std::string text;
    u32 caret, anchor;
    std::string input;
    std::string result;
    u32 caret_after;
    bool changed;
  };
  const std::string full(256, 'f');
  const std::vector<Case> cases = {
      {"300 bytes into an empty field keep the first 256", "", 0, 0, std::string(150, 'a') + std::string(150, 'b'),
       std::string(150, 'a') + std::string(106, 'b'), 256, true},
      {"a full field takes nothing", full, 10, 10, "xyz", full, 10, false},
      {"a full field with a selection takes what fits", full, 10, 13, "xy",
       full.substr(0, 10) + "xy" + full.substr(13), 12, true},
      {"other bytes are dropped and the rest close up", "", 0, 0, "a\tb\r\nc\xC3\xA9" "d", "abcd", 4, true},
      {"insertion at the caret", "hello world", 5, 5, ",", "hello, world", 6, true},
      {"a selection is replaced (either direction)", "hello world", 11, 6, "there", "hello there", 11, true},
      {"nothing printable into no selection", "abc", 1, 1, "\x01\x7F", "abc", 1, false},
      {"nothing printable still deletes the selection", "abc", 0, 2, "\n", "c", 0, true},
  };
  for (const Case& c : cases) {
    textedit::Field f = field(c.text, c.caret, c.anchor);
    EXPECT_EQ(textedit::insert(&f, bytes(c.input)), c.changed) << c.name;
    EXPECT_EQ(text_of(f), c.result) << c.name;
    EXPECT_EQ(f.caret, c.caret_after) << c.name;
    EXPECT_EQ(f.anchor, f.caret) << c.name;
    expect_sound(f);
  }
  textedit::Field f{};
  EXPECT_FALSE(textedit::type_char(&f, 9));
  EXPECT_FALSE(textedit::type_char(&f, 127));
  EXPECT_FALSE(textedit::type_char(&f, 0x20AC));
  EXPECT_TRUE(textedit::type_char(&f, '~'));
  EXPECT_EQ(text_of(f), "~");
  // set_text keeps at most 256 bytes.
  textedit::set_text(&f, bytes(std::string(300, 'k')), textedit::masked);
  EXPECT_EQ(f.length, 256);
  EXPECT_EQ(f.caret, 256);
  EXPECT_EQ(f.flags, textedit::masked);
}

TEST(TextEdit, WordMotions) {
  struct Case {
    std::string text;
    u32 from;
    u32 kind;
    u32 expected;
  };
  using namespace textedit;
  const std::vector<Case> cases = {
      {"abc  def", 8, word_left, 5},  {"abc  def", 0, word_right, 5}, {"abc  def", 5, word_left, 0},
      {"abc  def", 4, word_left, 0},  {"abc  def", 5, word_right, 8}, {"abc  def", 8, word_right, 8},
      {"foo.bar baz", 0, word_right, 3}, {"foo.bar baz", 3, word_right, 4}, {"foo.bar baz", 7, word_right, 8},
      {"foo.bar baz", 8, word_left, 4},  {"foo.bar baz", 4, word_left, 3}, {"  x", 0, word_right, 2},
      {"a_1 b", 0, word_right, 4},      {"abc", 2, left, 1}, {"abc", 0, left, 0}, {"abc", 3, right, 3},
      {"abc", 1, home, 0},             {"abc", 1, end, 3},  {"", 0, word_left, 0}, {"", 0, word_right, 0},
  };
  for (const Case& c : cases) {
    textedit::Field f = field(c.text, c.from, c.from);
    textedit::move(&f, c.kind, false);
    EXPECT_EQ(f.caret, c.expected) << c.text << " from " << c.from << " kind " << c.kind;
    EXPECT_EQ(f.anchor, f.caret);
  }
  // Keys give the kinds; a masked field sends word motions to the ends.
  EXPECT_EQ(textedit::key_kind(0x25, false), textedit::left);
  EXPECT_EQ(textedit::key_kind(0x25, true), textedit::word_left);
  EXPECT_EQ(textedit::key_kind(0x27, true), textedit::word_right);
  EXPECT_EQ(textedit::key_kind(0x24, true), textedit::home);
  EXPECT_EQ(textedit::key_kind(0x23, false), textedit::end);
  EXPECT_EQ(textedit::key_kind(0x26, false), textedit::no_move);
  EXPECT_EQ(textedit::move_kind(textedit::word_left, true), textedit::home);
  EXPECT_EQ(textedit::move_kind(textedit::word_right, true), textedit::end);
  EXPECT_EQ(textedit::move_kind(textedit::word_left, false), textedit::word_left);
  // Moving with no move kind changes nothing.
  textedit::Field f = field("abc", 1, 1);
  textedit::move(&f, textedit::no_move, false);
  EXPECT_EQ(f.caret, 1);
}

TEST(TextEdit, SelectionsCollapseExtendAndSelectWords) {
  // Left or Right without Shift collapse a selection to its edge and go no further.
  textedit::Field f = field("hello world", 8, 3);
  textedit::move(&f, textedit::left, false);
  EXPECT_EQ(f.caret, 3);
  EXPECT_EQ(f.anchor, 3);
  f = field("hello world", 3, 8);
  textedit::move(&f, textedit::right, false);
  EXPECT_EQ(f.caret, 8);
  // With Shift the caret moves and the anchor stays.
  f = field("hello world", 8, 3);
  textedit::move(&f, textedit::left, true);
  EXPECT_EQ(f.caret, 7);
  EXPECT_EQ(f.anchor, 3);
  EXPECT_EQ(harness::text(textedit::copy_from(f)), "lo w");
  textedit::put_caret(&f, 400, true);
  EXPECT_EQ(f.caret, 11);
  EXPECT_EQ(f.anchor, 3);
  // Double-click: the run around the point, blanks included; past the end the last run; empty gives 0 and 0.
  struct Case {
    std::string text;
    u32 at, anchor, caret;
  };
  const std::vector<Case> cases = {{"foo  bar.baz", 1, 0, 3}, {"foo  bar.baz", 3, 3, 5}, {"foo  bar.baz", 8, 8, 9},
                                   {"foo  bar.baz", 50, 9, 12}, {"", 0, 0, 0}};
  for (const Case& c : cases) {
    f = field(c.text, 0, 0);
    textedit::select_word(&f, c.at);
    EXPECT_EQ(f.anchor, c.anchor) << c.text << " " << c.at;
    EXPECT_EQ(f.caret, c.caret) << c.text << " " << c.at;
  }
}

TEST(TextEdit, BackspaceAndDelete) {
  struct Case {
    const char* name;
    std::string text;
    u32 caret, anchor;
    bool forward, by_word;
    u8 flags;
    std::string result;
    u32 caret_after;
    bool changed;
  };
  const std::vector<Case> cases = {
      {"backspace", "abc", 2, 2, false, false, 0, "ac", 1, true},
      {"backspace at the start", "abc", 0, 0, false, false, 0, "abc", 0, false},
      {"delete", "abc", 1, 1, true, false, 0, "ac", 1, true},
      {"delete at the end", "abc", 3, 3, true, false, 0, "abc", 3, false},
      {"control backspace to the word start", "abc  def gh", 8, 8, false, true, 0, "abc   gh", 5, true},
      {"control delete to the next word", "abc  def gh", 0, 0, true, true, 0, "def gh", 0, true},
      {"a selection goes whole", "abc  def", 1, 6, false, true, 0, "aef", 1, true},
      {"masked control backspace clears before the caret", "secret", 4, 4, false, true, textedit::masked, "et", 0,
       true},
      {"masked control delete clears to the end", "secret", 2, 2, true, true, textedit::masked, "se", 2, true},
      {"masked plain backspace takes one byte", "secret", 4, 4, false, false, textedit::masked, "secet", 3, true},
  };
  for (const Case& c : cases) {
    textedit::Field f = field(c.text, c.caret, c.anchor, c.flags);
    EXPECT_EQ(textedit::backspace_delete(&f, c.forward, c.by_word), c.changed) << c.name;
    EXPECT_EQ(text_of(f), c.result) << c.name;
    EXPECT_EQ(f.caret, c.caret_after) << c.name;
    expect_sound(f);
  }
}

TEST(TextEdit, MaskedFieldsHideAndGiveNothingAway) {
  textedit::Field f = field("hunter2 key", 0, 0, textedit::masked);
  textedit::select_word(&f, 3);
  EXPECT_EQ(f.anchor, 0);
  EXPECT_EQ(f.caret, 11);
  EXPECT_FALSE(textedit::has_selection(f));
  EXPECT_EQ(textedit::copy_from(f).len, 0u);
  EXPECT_FALSE(textedit::cut(&f));
  EXPECT_EQ(text_of(f), "hunter2 key");
  u16 units[256];
  ASSERT_EQ(textedit::shown_text(f, true, units), 11u);
  for (u32 i = 0; i < 11; ++i) EXPECT_EQ(units[i], '*');
  ASSERT_EQ(textedit::shown_text(f, false, units), 11u);
  EXPECT_EQ(units[0], 'h');
  // Unmasked, the same selection copies and cuts.
  f.flags = 0;
  EXPECT_EQ(harness::text(textedit::copy_from(f)), "hunter2 key");
  EXPECT_TRUE(textedit::cut(&f));
  EXPECT_EQ(f.length, 0);
  expect_sound(f);
  // Truncation clamps caret and anchor.
  f = field("abcdef", 6, 4);
  EXPECT_FALSE(textedit::truncate(&f, 6));
  EXPECT_TRUE(textedit::truncate(&f, 3));
  EXPECT_EQ(text_of(f), "abc");
  EXPECT_EQ(f.caret, 3);
  EXPECT_EQ(f.anchor, 3);
  expect_sound(f);
}

TEST(TextEdit, ScrollKeepsTheCaretInTheBox) {
  struct Case {
    i32 caret_x, scroll, box, text, expected;
  };
  const std::vector<Case> cases = {
      {10, 0, 100, 50, 0},      // narrow text: no scroll
      {150, 0, 100, 300, 51},   // caret right of the box: it stands at the right edge
      {20, 80, 100, 300, 20},   // caret left of the box
      {290, 250, 100, 300, 201},  // never beyond text + 1 - box
      {60, 40, 100, 300, 40},   // visible: unchanged
      {0, 500, 100, 80, 0},     // shrunken text
  };
  for (const Case& c : cases)
    EXPECT_EQ(textedit::scroll_for(c.caret_x, c.scroll, c.box, c.text), c.expected) << c.caret_x << " " << c.scroll;
}

// A surface on the software road with the system fonts: the fixed role has one advance for every character.
struct FieldSurface : ::testing::Test {
  draw::Surface s{};
  FieldSurface() { draw::init(&s, 0, 0, mem::Bytes()); }
  ~FieldSurface() override { draw::close(&s); }
};

TEST_F(FieldSurface, ClicksFindTheNearestBoundaryAndTiesGoLeft) {
  const u32 mono = 1;
  const draw::Rect box{100, 20, 300, 48};
  textedit::Field f = field("abcdefgh", 0, 0);
  const u16 one = 'a';
  const i32 w = textedit::width_of(&s, mono, &one, 1);
  ASSERT_GT(w, 2);
  const i32 left = box.left + 8;
  EXPECT_EQ(textedit::click_at(&s, mono, f, false, box, left - 30), 0);
  EXPECT_EQ(textedit::click_at(&s, mono, f, false, box, left + 3 * w + 1), 3);
  EXPECT_EQ(textedit::click_at(&s, mono, f, false, box, left + 3 * w + w - 1), 4);
  EXPECT_EQ(textedit::click_at(&s, mono, f, false, box, left + 1000), 8);
  // Exactly halfway between two boundaries the caret goes left (the proportional role has gaps of even width).
  textedit::Field p = field("Wide mill of iii and MMM", 0, 0);
  u16 units[256];
  const u32 n = textedit::shown_text(p, false, units);
  u32 ties = 0;
  for (u32 k = 0; k < n; ++k) {
    const i32 here = textedit::width_of(&s, 0, units, k), next = textedit::width_of(&s, 0, units, k + 1);
    if (next == here || (next - here) % 2 != 0) continue;
    ties += 1;
    EXPECT_EQ(textedit::click_at(&s, 0, p, false, box, left + (here + next) / 2), k) << k;
    EXPECT_EQ(textedit::click_at(&s, 0, p, false, box, left + (here + next) / 2 + 1), k + 1) << k;
  }
  EXPECT_GT(ties, 0u);
  // With the text scrolled, the click and the drawing agree on where the text is.
  textedit::set_text(&f, bytes(std::string(100, 'x')), 0);
  textedit::scroll(&s, mono, &f, false, box);
  EXPECT_GT(f.scroll, 0);
  EXPECT_EQ(textedit::click_at(&s, mono, f, false, box, box.right - 8), 100);
}

TEST_F(FieldSurface, DrawsSelectionTextAndCaret) {
  const gdi::Handle window = gdi::open_headless(320, 80);
  draw::close(&s);
  draw::init(&s, window, 0, mem::Bytes());
  const draw::Rect box{10, 10, 300, 40};
  textedit::Field f = field("select me", 7, 0);
  draw::begin(&s, window, 320, 80);
  draw::fill(&s, draw::Rect{0, 0, 320, 80}, 0x00000000);
  textedit::draw(&s, 1, f, false, box, 0x00FFFFFF, 0x00FF0000);
  ASSERT_TRUE(draw::present(&s, window, 320, 80));
  i32 width = 0, height = 0;
  const u32* p = gdi::window_pixels(window, &width, &height);
  const u16 one = 'a';
  const i32 w = textedit::width_of(&s, 1, &one, 1);
  // The selection band starts at the inner box and runs under the first seven characters; the caret is a white
  // column at its end; outside the band's rows there is no selection colour.
  EXPECT_EQ(p[16 * width + 18], 0xFF0000FFu);
  EXPECT_EQ(p[16 * width + 18 + 7 * w - 1], 0xFF0000FFu);
  EXPECT_EQ(p[16 * width + 18 + 7 * w], 0xFFFFFFFFu);
  EXPECT_EQ(p[33 * width + 18 + 7 * w], 0xFFFFFFFFu);
  EXPECT_EQ(p[16 * width + 17], 0xFF000000u);
  EXPECT_EQ(p[15 * width + 18], 0xFF000000u);
  EXPECT_EQ(p[34 * width + 18], 0xFF000000u);
  gdi::close_window(window);
}

}  // namespace
