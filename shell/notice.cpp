#include "shell/notice.h"

#include "drawing/chart.h"
#include "platform/dialog.h"

namespace notice {

namespace {

// Colours 0x00BBGGRR, as the window's own.
constexpr u32 colour_back = 0x201814, colour_text = 0xE8E8E8, colour_mark = 0x0BB4F5, colour_mark_text = 0x201814,
              colour_button = 0x3A3A3A, colour_button_held = 0x525252, colour_outline = 0x444444;
constexpr u32 role_text = 3, role_mark = 1;
constexpr i32 text_left = 64, margin = 20, line_height = 20, button_width = 88, button_height = 28;
constexpr i32 text_width = width - text_left - margin;
constexpr u32 vk_return = 0x0D, vk_escape = 0x1B, vk_space = 0x20;

i32 measure(Box* b, u32 start, u32 end) {
  return chart::measure(&b->surface, role_text, mem::Bytes(b->text + start, end - start));
}

bool continuation(u8 c) { return (c & 0xC0) == 0x80; }

// The end of the longest run of whole characters from start that fits the width (at least one character).
u32 fitting(Box* b, u32 start, u32 end) {
  u32 fit = start + 1;
  while (fit < end && continuation(b->text[fit])) ++fit;
  for (u32 at = fit; at <= end; ++at) {
    if (at < end && continuation(b->text[at])) continue;
    if (at - start > chart::text_most || measure(b, start, at) > text_width) break;
    fit = at;
  }
  return fit;
}

// The end of the next word after from: blanks, then everything up to a blank or a line feed.
u32 word_end(const Box* b, u32 from) {
  while (from < b->length && b->text[from] == ' ') ++from;
  while (from < b->length && b->text[from] != ' ' && b->text[from] != '\n') ++from;
  return from;
}

// Lines of whole words that fit the text's width; a word wider than a line is cut between characters.
void wrap(Box* b) {
  b->line_count = 0;
  u32 at = 0;
  while (at < b->length && b->line_count < lines_most) {
    while (at < b->length && b->text[at] == ' ') ++at;
    if (at >= b->length) break;
    u32 end = at;
    while (end < b->length && b->text[end] != '\n') {
      const u32 next = word_end(b, end);
      if (next - at > chart::text_most || measure(b, at, next) > text_width) break;
      end = next;
    }
    if (end == at) end = fitting(b, at, word_end(b, at));
    b->line_start[b->line_count] = at;
    b->line_end[b->line_count] = end;
    ++b->line_count;
    at = end;
    if (at < b->length && b->text[at] == '\n') ++at;
  }
}

void paint(Box* b, win::Thread* t) {
  win::Rect area{};
  win::begin_paint(t, b->window, &area);
  const gdi::Handle sink = win::sink(*t, b->window);
  draw::Surface* s = &b->surface;
  draw::begin(s, sink, b->pixel_width, b->pixel_height);
  draw::fill(s, draw::Rect{0, 0, width, b->height}, colour_back);
  chart::frame(s, 0, 0, width, b->height, colour_outline);
  // The warning mark: a filled square with an exclamation mark.
  chart::rect(s, margin, margin, 28, 28, colour_mark);
  chart::text(s, role_mark, mem::lit("!"), margin, margin, 28, 28, colour_mark_text, 2);
  for (u32 i = 0; i < b->line_count; ++i) {
    const mem::Bytes line(b->text + b->line_start[i], b->line_end[i] - b->line_start[i]);
    chart::text(s, role_text, line, text_left, margin + static_cast<i32>(i) * line_height, text_width, line_height,
                colour_text, 0);
  }
  const draw::Rect ok = ok_button(*b);
  chart::rect(s, ok.left, ok.top, ok.right - ok.left, ok.bottom - ok.top,
              b->pressed ? colour_button_held : colour_button);
  chart::text(s, role_text, mem::lit("OK"), ok.left, ok.top, ok.right - ok.left, ok.bottom - ok.top, colour_text, 2);
  draw::present(s, sink, b->pixel_width, b->pixel_height);
  win::end_paint(t, b->window);
}

bool on_button(const Box& b, i64 lparam) {
  const i32 x = draw::to_logical(static_cast<i16>(lparam & 0xFFFF), b.dpi);
  const i32 y = draw::to_logical(static_cast<i16>((lparam >> 16) & 0xFFFF), b.dpi);
  const draw::Rect ok = ok_button(b);
  return x >= ok.left && x < ok.right && y >= ok.top && y < ok.bottom;
}

void redraw(Box* b, win::Thread* t) { win::invalidate(t, b->window, nullptr); }

}  // namespace

mem::Bytes class_name() { return mem::lit("VimbrelNotice"); }

draw::Rect ok_button(const Box& b) {
  const i32 bottom = b.height - 16;
  return draw::Rect{width - margin - button_width, bottom - button_height, width - margin, bottom};
}

bool open(Box* b, win::Thread* t, win::Handle owner, u32 dpi, mem::Bytes text, mem::Bytes font_folder) {
  __builtin_memset(static_cast<void*>(b), 0, sizeof *b);
  b->dpi = draw::dpi_of(dpi);
  b->length = static_cast<u32>(text.len < text_most ? text.len : text_most);
  mem::copy(mem::Slice{b->text, b->length}, mem::Bytes(text.ptr, b->length));
  // The box is made at its widest first, so that its surface can measure the text; then it takes its height.
  b->pixel_width = draw::to_px(width, b->dpi);
  b->pixel_height = draw::to_px(140, b->dpi);
  win::Rect at{0, 0, 0, 0};
  if (owner && win::window_rect(*t, owner, &at)) {
    at.left += ((at.right - at.left) - b->pixel_width) / 2;
    at.top += ((at.bottom - at.top) - b->pixel_height) / 3;
  }
  const u32 popup_with_menu = 0x80000000u | 0x00080000u;
  b->window = win::create_window(t, class_name(), popup_with_menu, 0, at.left, at.top, b->pixel_width,
                                 b->pixel_height);
  if (!b->window) return false;
  win::set_title(t, b->window, mem::lit("Vimbrel"));
  draw::init(&b->surface, win::sink(*t, b->window), 0, font_folder);
  draw::set_dpi(&b->surface, b->dpi, 0);
  wrap(b);
  const i32 lines = static_cast<i32>(b->line_count < 2 ? 2 : b->line_count);
  b->height = margin + lines * line_height + margin + button_height + 16;
  b->pixel_height = draw::to_px(b->height, b->dpi);
  win::set_window_pos(t, b->window, at.left, at.top, b->pixel_width, b->pixel_height);
  win::show_window(t, b->window, win::sw_show);
  redraw(b, t);
  return true;
}

bool take(Box* b, win::Thread* t, const win::Msg& m) {
  switch (m.message) {
    case win::wm_paint: paint(b, t); break;
    case win::wm_close: b->done = 1; break;
    case win::wm_keydown:
      if (m.wparam == vk_return || m.wparam == vk_escape || m.wparam == vk_space) b->done = 1;
      break;
    case win::wm_lbuttondown:
      b->pressed = on_button(*b, m.lparam) ? 1 : 0;
      redraw(b, t);
      break;
    case win::wm_lbuttonup:
      if (b->pressed && on_button(*b, m.lparam)) b->done = 1;
      b->pressed = 0;
      redraw(b, t);
      break;
  }
  return b->done != 0;
}

void close(Box* b, win::Thread* t) {
  if (b->window) {
    draw::close(&b->surface);
    win::destroy_window(t, b->window);
  }
  b->window = 0;
}

bool show(win::Thread* t, win::Handle owner, u32 dpi, mem::Bytes text, mem::Bytes font_folder,
          void (*paint_other)(void* context, win::Handle window), void* context) {
  // Where the system has its own warning box, the notice is that box.
  if (dialog::native()) {
    return dialog::box(owner, mem::lit("Vimbrel"), text, dialog::box_warning) != dialog::answer_none;
  }
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(Box) + 64)) return false;
  Box* b = mem::alloc_of<Box>(&arena);
  if (!b || !open(b, t, owner, dpi, text, font_folder)) {
    mem::release(&arena);
    return false;
  }
  for (;;) {
    win::Msg m{};
    const i32 got = win::get_message(t, &m);
    if (got <= 0) {
      if (got == 0) win::post_quit(t, static_cast<i32>(m.wparam));
      break;
    }
    if (m.window == b->window) {
      if (take(b, t, m)) break;
    } else if (m.message == win::wm_paint) {
      if (paint_other) paint_other(context, m.window);
      else win::validate(t, m.window, nullptr);
    }
  }
  close(b, t);
  mem::release(&arena);
  return true;
}

}  // namespace notice
