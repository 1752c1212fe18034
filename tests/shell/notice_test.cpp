// The urgent notice's own window on the headless backend: it stands over the window, shows the whole text wrapped
// to its width with the OK button, and is answered by OK, Enter, Escape or its close request, not by other keys or
// a press that leaves the button.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "drawing/chart.h"
#include "platform/gdi.h"
#include "shell/notice.h"
#include "tests/shell/shell_window.h"

namespace {

using shelltest::ShellWindow;

constexpr u32 wm_keydown = 0x0100, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202, wm_close = 0x0010;

struct Opened {
  ShellWindow w{false};
  std::unique_ptr<notice::Box> box = std::make_unique<notice::Box>();
  bool open(const std::string& text) {
    return w.made && notice::open(box.get(), &w.thread, w.s.window, 96, harness::bytes(text),
                                  harness::bytes(shelltest::lato));
  }
  // Takes every message waiting for the box (its paint first): whether one answered it.
  bool pump() {
    bool done = false;
    win::Msg m{};
    for (u32 i = 0; i < 16 && win::peek_message(&w.thread, &m, box->window, 0, 0, true); ++i)
      done = notice::take(box.get(), &w.thread, m) || done;
    return done;
  }
  bool send(u32 message, u64 wparam, i64 lparam = 0) {
    win::Msg m{box->window, message, wparam, lparam, 0, 0, 0};
    return notice::take(box.get(), &w.thread, m);
  }
  i64 at_button(i32 dx = 0) const {
    const draw::Rect ok = notice::ok_button(*box);
    return (i64{(ok.top + ok.bottom) / 2} << 16) | ((ok.left + ok.right) / 2 + dx);
  }
};

const std::string notice_text =
    "The program file is missing. Rename /home/someone/.local/share/Vimbrel/bin/a-folder-with-a-long-name/"
    "and-another-one-below-it/vimbrel.old-1 back to vimbrel before Vimbrel closes, or it cannot start again.";

TEST(Notice, ShowsTheWholeTextWrappedOverTheWindow) {
  Opened o;
  ASSERT_TRUE(o.open(notice_text));
  notice::Box& b = *o.box;
  EXPECT_TRUE(win::is_window(o.w.thread, b.window));
  const win::Window* box = win::find(&o.w.thread, b.window);
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->visible);
  const win::Rect owner = o.w.rect(), r = o.w.rect(b.window);
  EXPECT_TRUE(r.left >= owner.left && r.right <= owner.right && r.top >= owner.top && r.bottom <= owner.bottom)
      << shelltest::text(r) << " over " << shelltest::text(owner);
  EXPECT_EQ(r.right - r.left, notice::width);
  EXPECT_EQ(r.bottom - r.top, b.height);

  // Every line fits; together they hold every byte of the text but the blanks where a line was broken.
  ASSERT_GE(b.line_count, 3u);
  std::string joined;
  for (u32 i = 0; i < b.line_count; ++i) {
    const mem::Bytes line(b.text + b.line_start[i], b.line_end[i] - b.line_start[i]);
    EXPECT_LE(chart::measure(&b.surface, 3, line), notice::width - 84) << i;
    if (i > 0 && b.text[b.line_start[i] - 1] == ' ') joined += ' ';
    joined += std::string(reinterpret_cast<const char*>(line.ptr), line.len);
  }
  EXPECT_EQ(joined, notice_text);

  // Painted: the text's light pixels and the button.
  o.pump();
  i32 width = 0, height = 0;
  const u32* px = gdi::window_pixels(win::sink(o.w.thread, b.window), &width, &height);
  ASSERT_NE(px, nullptr);
  ASSERT_EQ(width, notice::width);
  u32 light = 0;
  for (i32 y = 20; y < 20 + 20 * static_cast<i32>(b.line_count); ++y)
    for (i32 x = 64; x < width - 20; ++x) light += (px[y * width + x] & 0xFFFFFF) > 0xC0C0C0;
  EXPECT_GT(light, 200u);
  const draw::Rect ok = notice::ok_button(b);
  EXPECT_EQ(px[(ok.top + 2) * width + ok.left + 2] & 0xFFFFFF, draw::bgra(0x3A3A3A) & 0xFFFFFF);
  notice::close(o.box.get(), &o.w.thread);
}

TEST(Notice, AnsweredByOkEnterEscapeOrClose) {
  struct Case {
    const char* name;
    u32 message;
    u64 wparam;
  };
  const Case answers[] = {{"Enter", wm_keydown, 0x0D}, {"Escape", wm_keydown, 0x1B}, {"close", wm_close, 0}};
  for (const Case& c : answers) {
    SCOPED_TRACE(c.name);
    Opened o;
    ASSERT_TRUE(o.open("Short."));
    EXPECT_FALSE(o.send(wm_keydown, 'A'));
    EXPECT_TRUE(o.send(c.message, c.wparam));
    const win::Handle box = o.box->window;
    notice::close(o.box.get(), &o.w.thread);
    EXPECT_FALSE(win::is_window(o.w.thread, box));
  }
  Opened o;
  ASSERT_TRUE(o.open("Short."));
  // A press on the button that is let go elsewhere does nothing; a click on it answers.
  EXPECT_FALSE(o.send(wm_lbuttondown, 1, o.at_button()));
  EXPECT_FALSE(o.send(wm_lbuttonup, 0, o.at_button(200)));
  EXPECT_FALSE(o.send(wm_lbuttonup, 0, o.at_button()));
  EXPECT_FALSE(o.send(wm_lbuttondown, 1, o.at_button()));
  EXPECT_TRUE(o.send(wm_lbuttonup, 0, o.at_button()));
  notice::close(o.box.get(), &o.w.thread);
}

}  // namespace
