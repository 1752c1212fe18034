// The clipboard writer on a headless window: what lands on the clipboard and is read back, private marks, a busy
// clipboard, limits, and that a replaced secret does not stay behind.
#include "widgets/clipboard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

std::vector<u16> units(const std::string& s) { return std::vector<u16>(s.begin(), s.end()); }

struct Clip : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  std::unique_ptr<win::Thread> t = std::make_unique<win::Thread>();
  win::Handle window = 0, other = 0;

  void SetUp() override {
    ASSERT_EQ(win::start(t.get(), win::start_headless), win::ok);
    ASSERT_EQ(win::register_class(t.get(), mem::lit("ClipTest"), 0, 0, win::cursor_arrow, win::no_colour), win::ok);
    window = win::create_window(t.get(), mem::lit("ClipTest"), 0, 0, 0, 0, 200, 100);
    other = win::create_window(t.get(), mem::lit("ClipTest"), 0, 0, 0, 0, 200, 100);
    ASSERT_NE(window, 0u);
    ASSERT_NE(other, 0u);
  }
  void TearDown() override { win::finish(t.get()); }

  u32 copy(const std::string& s, bool is_private = false) {
    std::vector<u16> u = units(s);
    return clipboard::put_text(t.get(), window, u.data(), static_cast<u32>(u.size()), is_private);
  }
  // What the clipboard holds, without its ending 0.
  std::vector<u16> held() const {
    const win::Clipboard& c = t->clipboard;
    if (c.count == 0) return {};
    EXPECT_EQ(c.text[c.count - 1], 0);
    return std::vector<u16>(c.text, c.text + c.count - 1);
  }
  std::string pasted() {
    u8 paste[app::paste_most + 8] = {};
    const u32 n = app::read_clipboard(t.get(), window, paste);
    return std::string(reinterpret_cast<const char*>(paste), n);
  }
  std::vector<u32> marks() const {
    return std::vector<u32>(t->clipboard.marks, t->clipboard.marks + t->clipboard.mark_count);
  }
};

TEST_F(Clip, PlainAndPrivateCopiesRoundTrip) {
  EXPECT_EQ(copy("C:\\tools\\top.exe"), clipboard::done);
  EXPECT_EQ(held(), units("C:\\tools\\top.exe"));
  EXPECT_TRUE(marks().empty());
  EXPECT_EQ(pasted(), "C:\\tools\\top.exe");
  EXPECT_EQ(t->clipboard.opener, 0u) << "the clipboard is closed after each use";

  // A secret carries the three marks in order; they go with it when something else is copied.
  EXPECT_EQ(copy("vimbrel-key 1 00112233", true), clipboard::done);
  std::vector<u32> expected;
  for (u32 i = 0; i < clipboard::marks; ++i) expected.push_back(win::clipboard_format(clipboard::mark_name(i)));
  EXPECT_EQ(marks(), expected);
  EXPECT_EQ(harness::text(clipboard::mark_name(1)), "CanIncludeInClipboardHistory");
  EXPECT_EQ(copy("ab"), clipboard::done);
  EXPECT_TRUE(marks().empty());
  // Nothing of the secret is left past the new text.
  for (u32 i = 3; i < win::clipboard_most; ++i) ASSERT_EQ(t->clipboard.text[i], 0) << i;

  // An empty text is a lone ending 0, and is done.
  EXPECT_EQ(copy(""), clipboard::done);
  EXPECT_EQ(t->clipboard.count, 1u);
  EXPECT_EQ(pasted(), "");
}

TEST_F(Clip, BusyAndRefusedCopiesChangeNothing) {
  ASSERT_EQ(copy("kept"), clipboard::done);
  struct Case {
    const char* name;
    u32 refusals;
    u32 result;
    const char* after;
  };
  const Case cases[] = {
      {"held through all five tries", 5, clipboard::busy, "kept"},
      {"held far longer", 50, clipboard::busy, "kept"},
      {"free at the fifth try", 4, clipboard::done, "new"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(copy("kept"), clipboard::done);
    t->clipboard.refuse_opens = c.refusals;
    EXPECT_EQ(copy("new"), c.result) << c.name;
    EXPECT_EQ(held(), units(c.after)) << c.name;
    t->clipboard.refuse_opens = 0;
  }

  // Another window of the program holding it open is busy too; reading then gets nothing.
  ASSERT_EQ(copy("kept"), clipboard::done);
  ASSERT_EQ(win::clipboard_open(t.get(), other), win::ok);
  EXPECT_EQ(copy("new"), clipboard::busy);
  EXPECT_EQ(pasted(), "");
  win::clipboard_close(t.get());
  EXPECT_EQ(pasted(), "kept");

  // A text with no room for its ending 0 fails before the clipboard is touched.
  std::vector<u16> huge(win::clipboard_most, 'x');
  EXPECT_EQ(clipboard::copy(t.get(), window, huge.data(), win::clipboard_most), clipboard::failure);
  EXPECT_EQ(clipboard::copy(t.get(), window, huge.data(), win::clipboard_most - 1), clipboard::done);
  EXPECT_EQ(held().size(), win::clipboard_most - 1);
}

TEST_F(Clip, ShellEndsKeepToTheirLimits) {
  // copy_text takes at most 256 bytes.
  const std::string long_text = std::string(200, 'a') + std::string(100, 'b');
  EXPECT_TRUE(app::copy_text(t.get(), window, bytes(long_text)));
  EXPECT_EQ(held(), units(long_text.substr(0, 256)));

  // Paste reads the 8-bit form: at most 256 bytes, up to the first zero, other characters as '?'.
  EXPECT_EQ(copy(std::string(300, 'p')), clipboard::done);
  EXPECT_EQ(pasted(), std::string(256, 'p'));
  std::vector<u16> mixed = {'a', 0x00E9, 'b', 0, 'c'};
  EXPECT_EQ(clipboard::copy(t.get(), window, mixed.data(), 5), clipboard::done);
  EXPECT_EQ(pasted(), "a?b");

  // The shell's widened copy of a secret is zeroed again.
  u16 block[4] = {'k', 'e', 'y', '!'};
  clipboard::wipe_free(block, 3);
  EXPECT_EQ(std::vector<u16>(block, block + 4), (std::vector<u16>{0, 0, 0, '!'}));

  // The text outlives its window, as it does on the desktop, and is gone with the thread.
  ASSERT_EQ(copy("after"), clipboard::done);
  ASSERT_EQ(win::destroy_window(t.get(), window), win::ok);
  EXPECT_EQ(held(), units("after"));
  EXPECT_EQ(app::read_clipboard(t.get(), window, nullptr), 0u) << "a window that is gone cannot open it";
}

}  // namespace
