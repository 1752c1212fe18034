#include "widgets/textedit.h"

namespace textedit {
namespace {

u32 least(u32 a, u32 b) { return a < b ? a : b; }

bool printable(u8 c) { return c >= 32 && c <= 126; }

bool is_masked(const Field& f) { return (f.flags & masked) != 0; }

}  // namespace

u32 char_class(u8 c) {
  if (c == ' ' || c == '\t') return blank;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') return word;
  return other;
}

void clear(Field* f) { *f = Field{}; }

void set_text(Field* f, mem::Bytes text, u8 flags) {
  clear(f);
  const u32 n = static_cast<u32>(text.len < text_most ? text.len : text_most);
  __builtin_memcpy(f->text, text.ptr, n);
  f->length = f->caret = f->anchor = static_cast<u16>(n);
  f->flags = flags;
}

u16 sel_start(const Field& f) { return f.caret < f.anchor ? f.caret : f.anchor; }
u16 sel_end(const Field& f) { return f.caret < f.anchor ? f.anchor : f.caret; }

bool has_selection(const Field& f) { return f.caret != f.anchor && !is_masked(f); }

mem::Bytes copy_from(const Field& f) {
  if (!has_selection(f)) return mem::Bytes();
  return mem::Bytes(f.text + sel_start(f), sel_end(f) - sel_start(f));
}

bool cut(Field* f) {
  if (!has_selection(*f)) return false;
  delete_range(f, sel_start(*f), sel_end(*f));
  return true;
}

void delete_range(Field* f, u32 start, u32 end) {
  end = least(end, f->length);
  start = least(start, end);
  const u32 gap = end - start;
  for (u32 i = start; i + gap < f->length; ++i) f->text[i] = f->text[i + gap];
  for (u32 i = f->length - gap; i < f->length; ++i) f->text[i] = 0;
  f->length = static_cast<u16>(f->length - gap);
  f->caret = f->anchor = static_cast<u16>(start);
}

bool insert(Field* f, mem::Bytes bytes) {
  const u32 start = sel_start(*f), end = sel_end(*f);
  const bool replaced = start != end;
  delete_range(f, start, end);
  f->caret = f->anchor = static_cast<u16>(start);
  u32 printable_count = 0;
  for (u64 i = 0; i < bytes.len; ++i) printable_count += printable(bytes.ptr[i]);
  const u32 k = least(printable_count, text_most - f->length);
  if (k > 0) {
    for (u32 i = f->length; i-- > start;) f->text[i + k] = f->text[i];
    u32 put = 0;
    for (u64 i = 0; i < bytes.len && put < k; ++i)
      if (printable(bytes.ptr[i])) f->text[start + put++] = bytes.ptr[i];
    f->length = static_cast<u16>(f->length + k);
    f->caret = f->anchor = static_cast<u16>(start + k);
  }
  return replaced || k > 0;
}

bool type_char(Field* f, u32 code) {
  if (code < 32 || code > 126) return false;
  const u8 c = static_cast<u8>(code);
  return insert(f, mem::Bytes(&c, 1));
}

bool backspace_delete(Field* f, bool forward, bool by_word) {
  if (f->caret != f->anchor) {
    delete_range(f, sel_start(*f), sel_end(*f));
    return true;
  }
  const u32 c = f->caret;
  u32 start = c, end = c;
  if (forward) {
    end = !by_word ? least(c + 1, f->length) : is_masked(*f) ? f->length : word_end(*f, c);
  } else {
    start = !by_word ? (c > 0 ? c - 1 : 0) : is_masked(*f) ? 0 : word_start(*f, c);
  }
  if (start >= end) return false;
  delete_range(f, start, end);
  return true;
}

u32 key_kind(u32 virtual_key, bool control) {
  switch (virtual_key) {
    case 0x23: return end;
    case 0x24: return home;
    case 0x25: return control ? word_left : left;
    case 0x27: return control ? word_right : right;
  }
  return no_move;
}

u32 move_kind(u32 kind, bool is_masked_field) {
  if (!is_masked_field) return kind;
  return kind == word_left ? home : kind == word_right ? end : kind;
}

u16 word_end(const Field& f, u32 p) {
  const u32 n = f.length;
  if (p >= n) return static_cast<u16>(n);
  if (char_class(f.text[p]) != blank) {
    const u32 cls = char_class(f.text[p]);
    while (p < n && char_class(f.text[p]) == cls) ++p;
  }
  while (p < n && char_class(f.text[p]) == blank) ++p;
  return static_cast<u16>(p);
}

u16 word_start(const Field& f, u32 p) {
  p = least(p, f.length);
  while (p > 0 && char_class(f.text[p - 1]) == blank) --p;
  if (p == 0) return 0;
  const u32 cls = char_class(f.text[p - 1]);
  while (p > 0 && char_class(f.text[p - 1]) == cls) --p;
  return static_cast<u16>(p);
}

u16 move_target(const Field& f, u32 kind, bool extend) {
  const u32 c = f.caret, n = f.length;
  if (f.caret != f.anchor && !extend) {
    if (kind == left) return sel_start(f);
    if (kind == right) return sel_end(f);
  }
  switch (kind) {
    case left: return static_cast<u16>(c > 0 ? c - 1 : 0);
    case right: return static_cast<u16>(least(c + 1, n));
    case word_left: return word_start(f, c);
    case word_right: return word_end(f, c);
    case home: return 0;
    case end: return static_cast<u16>(n);
  }
  return static_cast<u16>(c);
}

void move(Field* f, u32 kind, bool extend) {
  if (kind > end) return;
  put_caret(f, move_target(*f, kind, extend), extend);
}

void put_caret(Field* f, u32 position, bool extend) {
  f->caret = static_cast<u16>(least(position, f->length));
  if (!extend) f->anchor = f->caret;
}

void select_word(Field* f, u32 p) {
  const u32 n = f->length;
  if (is_masked(*f)) {
    f->anchor = 0;
    f->caret = static_cast<u16>(n);
    return;
  }
  if (n == 0) {
    f->anchor = f->caret = 0;
    return;
  }
  p = least(p, n - 1);
  const u32 cls = char_class(f->text[p]);
  u32 a = p, b = p + 1;
  while (a > 0 && char_class(f->text[a - 1]) == cls) --a;
  while (b < n && char_class(f->text[b]) == cls) ++b;
  f->anchor = static_cast<u16>(a);
  f->caret = static_cast<u16>(b);
}

bool truncate(Field* f, u32 n) {
  if (n >= f->length) return false;
  for (u32 i = n; i < f->length; ++i) f->text[i] = 0;
  f->length = static_cast<u16>(n);
  f->caret = static_cast<u16>(least(f->caret, n));
  f->anchor = static_cast<u16>(least(f->anchor, n));
  return true;
}

u32 shown_text(const Field& f, bool is_masked_field, u16* buffer256) {
  for (u32 i = 0; i < f.length; ++i) buffer256[i] = is_masked_field ? u16{'*'} : u16{f.text[i]};
  return f.length;
}

draw::Rect inner(draw::Rect box) { return draw::Rect{box.left + 8, box.top, box.right - 8, box.bottom}; }

i32 width_of(draw::Surface* s, u32 role, const u16* units, u32 count) {
  return count == 0 ? 0 : draw::measure(s, role, units, count).width;
}

i32 scroll_for(i32 caret_x, i32 s, i32 box_width, i32 text_width) {
  if (caret_x > s + box_width - 1) s = caret_x - box_width + 1;
  if (caret_x < s) s = caret_x;
  const i32 most = text_width + 1 - box_width;
  if (s > most) s = most;
  if (s < 0) s = 0;
  return s;
}

i32 fit_scroll(draw::Surface* s, u32 role, const Field& f, bool is_masked_field, draw::Rect box) {
  u16 units[text_most];
  const u32 n = shown_text(f, is_masked_field, units);
  const draw::Rect b = inner(box);
  return scroll_for(width_of(s, role, units, f.caret), f.scroll, b.right - b.left, width_of(s, role, units, n));
}

void scroll(draw::Surface* s, u32 role, Field* f, bool is_masked_field, draw::Rect box) {
  f->scroll = fit_scroll(s, role, *f, is_masked_field, box);
}

u16 click_at(draw::Surface* s, u32 role, const Field& f, bool is_masked_field, draw::Rect box, i32 x) {
  u16 units[text_most];
  const u32 n = shown_text(f, is_masked_field, units);
  const i32 e = x + fit_scroll(s, role, f, is_masked_field, box) - inner(box).left;
  // The longest prefix whose width is at most e.
  u32 low = 0, high = n;
  while (low < high) {
    const u32 mid = (low + high + 1) / 2;
    if (width_of(s, role, units, mid) <= e) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  if (low >= n) return static_cast<u16>(n);
  const i32 here = width_of(s, role, units, low), next = width_of(s, role, units, low + 1);
  return static_cast<u16>(next - e < e - here ? low + 1 : low);
}

void draw(draw::Surface* s, u32 role, const Field& f, bool is_masked_field, draw::Rect box, u32 text_colour,
          u32 selection_colour) {
  u16 units[text_most];
  const u32 n = shown_text(f, is_masked_field, units);
  const draw::Rect b = inner(box);
  const i32 x0 = b.left - fit_scroll(s, role, f, is_masked_field, box);
  const i32 band_top = b.top + 6, band_bottom = b.bottom - 6;
  if (f.caret != f.anchor) {
    i32 from = x0 + width_of(s, role, units, sel_start(f)), to = x0 + width_of(s, role, units, sel_end(f));
    if (from < b.left) from = b.left;
    if (to > b.right) to = b.right;
    if (from < to) draw::fill(s, draw::Rect{from, band_top, to, band_bottom}, selection_colour);
  }
  const i32 line = draw::measure(s, role, units, n).height;
  const i32 y = b.top + (b.bottom - b.top - line) / 2;
  if (n > 0) draw::text(s, role, units, n, x0, y, b, text_colour, nullptr);
  const i32 caret_x = x0 + width_of(s, role, units, f.caret);
  if (caret_x >= b.left && caret_x < b.right)
    draw::fill(s, draw::Rect{caret_x, band_top, caret_x + 1, band_bottom}, text_colour);
}

}  // namespace textedit
