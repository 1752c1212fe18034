#include "pages/procpage.h"

#include "base/bits.h"
#include "drawing/chart.h"
#include "sampling/machine.h"

namespace procpage {

namespace {

constexpr u64 fnv_prime = 0x100000001B3ull;
constexpr u64 key_tag = u64{0x5642} << 48;
constexpr i32 half = (box_width - 32) / 2;

i16 clamp16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
i32 least(i32 a, i32 b) { return a < b ? a : b; }
i32 most(i32 a, i32 b) { return a > b ? a : b; }

mem::Bytes text_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

bool meets(const draw::Rect& a, const draw::Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
bool inside(const draw::Rect& a, const draw::Rect& outer) {
  return a.left >= outer.left && a.right <= outer.right && a.top >= outer.top && a.bottom <= outer.bottom;
}
bool empty(const draw::Rect& r) { return r.left >= r.right || r.top >= r.bottom; }

void queue(draw::Surface* s, draw::Rect r) {
  if (empty(r)) return;
  draw::redo(s, r);
  draw::show(s, r);
}

draw::Rect old_box(const PageLayout* page) {
  return draw::Rect{page->box[0], page->box[1], page->box[2], page->box[3]};
}

i32 table_bottom(const PageLayout* page) { return rows_top + row_height * page->visible; }

u32 background(const proclist::ListState* list, const PageLayout* page, u32 position) {
  const bool hovered = position == page->hovered && position != none;
  const bool selected = position == list->selected && position != none;
  if (hovered && selected) return colour_row_both;
  if (selected) return colour_row_selected;
  if (hovered) return colour_row_hover;
  return colour_row;
}

// A column's left edge and width.
void column_box(const PageLayout* page, u32 column, i32* x, i32* width) {
  *x = static_cast<i32>(proclist::column_left(page->left, page->area, page->columns, column));
  *width = column == proclist::col_name ? static_cast<i32>(proclist::name_width(page->area, page->columns))
                                       : static_cast<i32>(proclist::column_width(column));
}

bool shown_column(const PageLayout* page, u32 column) { return (page->columns >> column) & 1; }

// ---- Cells and rows

struct CellDraw {
  words::Text text;
  u32 tint;
  u64 key;
};

u32 tint_fill(u32 background, u32 tint) { return proclist::blend(background, colour_tint, tint); }

// Where a name's text ends from its column's left edge: its margin, its width within the cell and a little beyond
// for a last glyph that reaches past its advance.
i16 name_end(i32 text_width, i32 column_width) {
  return static_cast<i16>(8 + most(least(text_width, column_width - 16), 0) + 4);
}

void draw_cell(draw::Surface* s, PageLayout* page, u32 column, u32 slot, i32 y, u32 bg, const CellDraw& c) {
  i32 x = 0, w = 0;
  column_box(page, column, &x, &w);
  if (c.tint) draw::fill(s, draw::Rect{x + 1, y, x + w - 1, y + row_height}, tint_fill(bg, c.tint));
  const u32 colour = column == proclist::col_pid ? colour_title : colour_bright;
  const i32 width = chart::text(s, role_small, text_of(c.text), x + 8, y, w - 16, row_height, colour,
                                column == proclist::col_name ? 0 : 1);
  if (column == proclist::col_name) page->name_ends[slot] = name_end(width, w);
}

// What slot i (position top + i) shows: its handle, background and the change key of every cell.
struct RowKeys {
  u64 handle;
  u32 position;  // none for an empty slot
  u32 background;
  u64 keys[proclist::columns];
};

void row_state(const PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, u32 slot,
               RowKeys* r) {
  const u64 p = u64{list->top} + slot;
  r->position = p < list->shown ? static_cast<u32>(p) : none;
  r->background = background(list, page, r->position);
  r->handle = r->position == none ? no_handle : handle_at(list, table, r->position);
  for (u32 c = 0; c < proclist::columns; ++c) {
    if (r->position == none) {
      r->keys[c] = empty_key(list, slot);
    } else if (shown_column(page, c)) {
      words::Text text;
      u32 tint = 0;
      r->keys[c] = cell(list, table, proclist::row_at(list, r->position), c, r->background, &text, &tint);
    } else {
      r->keys[c] = 0;
    }
  }
}

CellDraw cell_of(const proclist::ListState* list, const model::ProcTable* table, const RowKeys& r, u32 column) {
  CellDraw d;
  d.key = cell(list, table, proclist::row_at(list, r.position), column, r.background, &d.text, &d.tint);
  return d;
}

void draw_row(draw::Surface* s, PageLayout* page, const proclist::ListState* list, const model::ProcTable* table,
              u32 slot, const RowKeys& r) {
  const i32 y = rows_top + row_height * static_cast<i32>(slot);
  if (r.background != colour_row) draw::fill(s, draw::Rect{page->left, y, page->right - 8, y + row_height}, r.background);
  for (u32 c = 0; c < proclist::columns; ++c)
    if (shown_column(page, c)) draw_cell(s, page, c, slot, y, r.background, cell_of(list, table, r, c));
}

// ---- Header, status, messages

void sort_mark(draw::Surface* s, i32 centre, bool down) {
  for (i32 k = 0; k < 5; ++k) {
    const i32 half_width = down ? 4 - k : k;
    draw::fill(s, draw::Rect{centre - half_width, 118 + k, centre + half_width + 1, 119 + k}, colour_mark);
  }
}

void header(draw::Surface* s, const PageLayout* page, const proclist::ListState* list, u32 hover) {
  draw::fill(s, draw::Rect{page->left, header_top, page->right, rows_top}, colour_band);
  const u32 key = sort_key(list);
  const u32 sorted = key & 0xFF;
  for (u32 c = 0; c < proclist::columns; ++c) {
    if (!shown_column(page, c)) continue;
    i32 x = 0, w = 0;
    column_box(page, c, &x, &w);
    const bool hovered = (hover >> c) & 1;
    draw::fill(s, draw::Rect{x, header_top, x + w, rows_top}, hovered ? colour_band_hover : colour_band);
    if (c != proclist::col_name) draw::fill(s, draw::Rect{x, header_top, x + 1, rows_top}, colour_line);
    chart::text(s, role_small, proclist::title(c), x + 8, header_top, w - 16, rows_top - header_top,
                c == sorted ? colour_bright : colour_title, c == proclist::col_name ? 0 : 1);
    if (c == sorted) sort_mark(s, x + w / 2, key >= 256);
  }
  draw::fill(s, draw::Rect{page->left, rows_top - 1, page->right, rows_top}, colour_line);
}

void loading(draw::Surface* s, const PageLayout* page, const proclist::ListState* list) {
  const mem::Bytes text = mem::lit("Loading processes...");
  const i32 w = chart::measure(s, role_body, text);
  const i32 x = most(page->left + ((page->right - page->left) - w - 28) / 2, page->left);
  chart::text(s, role_body, text, x, rows_top, w, 32, colour_hint, 0);
  const u32 lit = proclist::spin_phase(list->spin);
  for (u32 k = 0; k < 3; ++k) {
    const i32 dx = x + w + 8 + 8 * static_cast<i32>(k);
    draw::fill(s, draw::Rect{dx, 158, dx + 4, 162}, k == lit ? colour_mark : colour_dot_off);
  }
}

void empty_message(draw::Surface* s, const PageLayout* page, const proclist::ListState* list) {
  if (list->waiting == 1) {
    loading(s, page, list);
    return;
  }
  const mem::Bytes text = list->filter_length ? mem::lit("No process matches the filter") : mem::lit("No processes");
  chart::text(s, role_body, text, page->left, rows_top, page->right - page->left, 32, colour_hint, 2);
}

void scroll_bar(draw::Surface* s, const PageLayout* page, const proclist::ListState* list) {
  if (page->visible >= list->shown) return;
  const i32 track = row_height * page->visible;
  const i32 x = page->right - 6;
  draw::fill(s, draw::Rect{x, rows_top, x + 4, rows_top + track}, colour_track);
  const u64 thumb = proclist::thumb_h(page->visible, list->shown, static_cast<u64>(track), 16);
  const u64 y = proclist::thumb_y(list->top, list->shown, page->visible, static_cast<u64>(track), thumb);
  const i32 top = rows_top + static_cast<i32>(y);
  draw::fill(s, draw::Rect{x, top, x + 4, top + static_cast<i32>(thumb)}, colour_thumb);
}

u64 hash_of(mem::Bytes text) { return machine::bytes_of(machine::fnv_basis, text.ptr, text.len); }

// ---- Details box

// The longest end (from start) whose text fits the width, at least start + 1 and at most start + most.
u32 fit_end(draw::Surface* s, const u8* text, u32 start, u32 length, u32 most, i32 width) {
  u32 low = start + 1, high = start + most < length ? start + most : length;
  while (low < high) {
    const u32 mid = low + (high - low + 1) / 2;
    if (chart::measure(s, role_small, mem::Bytes(text + start, mid - start)) <= width)
      low = mid;
    else
      high = mid - 1;
  }
  return low;
}

// The shortest tail start whose "..." and tail fit the width (at most 93 bytes of tail).
u32 fit_tail(draw::Surface* s, const u8* text, u32 length, i32 width) {
  u32 low = length > 93 ? length - 93 : 0, high = length;
  u8 line[96];
  while (low < high) {
    const u32 mid = low + (high - low) / 2;
    line[0] = line[1] = line[2] = '.';
    __builtin_memcpy(line + 3, text + mid, length - mid);
    if (chart::measure(s, role_small, mem::Bytes(line, 3 + length - mid)) <= width)
      high = mid;
    else
      low = mid + 1;
  }
  return low;
}

void wrap_name(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s,
               u64 handle, u32 budget) {
  if (handle == page->wrapped_handle && budget == page->line_budget) return;
  page->wrapped_handle = handle;
  page->line_budget = static_cast<u8>(budget);
  u8 name[proclist::filter_max + 3];
  const u32 row = model::proc_row(table, handle);
  const u32 length = row == model::no_row ? 0 : static_cast<u32>(proclist::shown_name(table, row, name));
  (void)list;
  u32 at = 0, lines = 0, out = 0;
  while (at < length && lines < budget) {
    const u32 end = fit_end(s, name, at, length, 96, box_width - 16);
    if (lines + 1 == budget && end < length) {
      // The last line keeps the name's end: "..." and the longest tail that fits.
      const u32 tail = fit_tail(s, name, length, box_width - 16);
      page->wrapped[out] = page->wrapped[out + 1] = page->wrapped[out + 2] = '.';
      __builtin_memcpy(page->wrapped + out + 3, name + tail, length - tail);
      out += 3 + (length - tail);
      page->line_ends[lines++] = static_cast<u16>(out);
      at = length;
      break;
    }
    __builtin_memcpy(page->wrapped + out, name + at, end - at);
    out += end - at;
    page->line_ends[lines++] = static_cast<u16>(out);
    at = end;
  }
  page->wrapped_length = static_cast<u16>(out);
  page->name_lines = static_cast<u8>(lines ? lines : 1);
  if (!lines) page->line_ends[0] = 0;
}

// The box for the hovered row, or an empty one.
draw::Rect details_place(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table,
                         draw::Surface* s) {
  if (!row_visible(page, list, page->hovered)) return draw::Rect{};
  const u64 handle = handle_at(list, table, page->hovered);
  wrap_name(page, list, table, s, handle, line_budget(page->height));
  const i32 h = 94 + 18 * page->name_lines;
  draw::Rect row{};
  row_rect(page, list, page->hovered, &row);
  const i32 x = box_x(page, page->pointer_x), y = box_y(page, row.top, row.bottom, h);
  return draw::Rect{x, y, x + box_width, y + h};
}

void details_draw(draw::Surface* s, const PageLayout* page, const proclist::ListState* list,
                  const model::ProcTable* table, draw::Rect b) {
  draw::fill(s, b, colour_field);
  chart::frame(s, b.left, b.top, b.right - b.left, b.bottom - b.top, colour_box_frame);
  u32 start = 0;
  for (u32 line = 0; line < page->name_lines; ++line) {
    const u32 end = page->line_ends[line];
    chart::text(s, role_small, mem::Bytes(page->wrapped + start, end - start), b.left + 8,
                b.top + 8 + 18 * static_cast<i32>(line), box_width - 16, 18, colour_bright, 0);
    start = end;
  }
  const u32 row = proclist::row_at(list, page->hovered);
  for (u32 c = 1; c < proclist::columns; ++c) {
    const i32 k = static_cast<i32>(c - 1);
    const i32 x = b.left + 8 + (k / 4) * (half + 16), y = b.top + 8 + 18 * (page->name_lines + k % 4);
    words::Text text{};
    u32 tint = 0;
    cell(list, table, row, c, colour_row, &text, &tint);
    chart::text(s, role_small, proclist::title(c), x, y, 64, 18, colour_title, 0);
    chart::text(s, role_small, text_of(text), x, y, half, 18, colour_bright, 1);
  }
}

// ---- In-place repaint

// Draws text in place; when it cannot, queues its extent (one pixel beyond each end, inside the cell's margins).
void ink_or_queue(draw::Surface* s, mem::Bytes text, i32 x, i32 y, i32 w, i32 h, u32 colour, u32 align) {
  if (text.len == 0 || chart::ink(s, role_small, text, x, y, w, h, colour, align)) return;
  const i32 tw = chart::measure(s, role_small, text);
  const i32 start = align == 1 ? x + w - tw : x;
  queue(s, draw::Rect{most(start - 1, x), y, least(start + tw + 1, x + w), y + h});
}

// One cell in place; its background too unless the whole row's band was just painted. Of a name cell that lay clear
// of the details box only as far as the old or the new name reaches: the rest of the wide cell is background in both.
// Returns where the name ends (0 for other cells).
i16 paint_cell(draw::Surface* s, const PageLayout* page, u32 column, i32 y, u32 bg, const CellDraw& c,
               bool with_background, i32 old_end) {
  i32 x = 0, w = 0;
  column_box(page, column, &x, &w);
  const bool name = column == proclist::col_name;
  const i16 end = name ? name_end(chart::measure(s, role_small, text_of(c.text)), w) : 0;
  if (with_background) {
    const i32 right = name && old_end > 0 ? x + least(w, most(old_end, end)) : x + w;
    draw::paint(s, draw::Rect{x, y, right, y + row_height}, bg);
    draw::show(s, draw::Rect{x, y, right, y + row_height});
  }
  if (c.tint) draw::paint(s, draw::Rect{x + 1, y, x + w - 1, y + row_height}, tint_fill(bg, c.tint));
  ink_or_queue(s, text_of(c.text), x + 8, y, w - 16, row_height,
               column == proclist::col_pid ? colour_title : colour_bright, name ? 0 : 1);
  return end;
}

bool details_in_place(draw::Surface* s, const PageLayout* page, const proclist::ListState* list,
                      const model::ProcTable* table, draw::Rect b) {
  draw::paint(s, b, colour_field);
  draw::paint(s, draw::Rect{b.left, b.top, b.right, b.top + 1}, colour_box_frame);
  draw::paint(s, draw::Rect{b.left, b.bottom - 1, b.right, b.bottom}, colour_box_frame);
  draw::paint(s, draw::Rect{b.left, b.top, b.left + 1, b.bottom}, colour_box_frame);
  draw::paint(s, draw::Rect{b.right - 1, b.top, b.right, b.bottom}, colour_box_frame);
  bool all = true;
  u32 start = 0;
  for (u32 line = 0; line < page->name_lines; ++line) {
    const u32 end = page->line_ends[line];
    const mem::Bytes t(page->wrapped + start, end - start);
    if (t.len)
      all = all && chart::ink(s, role_small, t, b.left + 8, b.top + 8 + 18 * static_cast<i32>(line), box_width - 16,
                              18, colour_bright, 0);
    start = end;
  }
  const u32 row = proclist::row_at(list, page->hovered);
  for (u32 c = 1; c < proclist::columns && all; ++c) {
    const i32 k = static_cast<i32>(c - 1);
    const i32 x = b.left + 8 + (k / 4) * (half + 16), y = b.top + 8 + 18 * (page->name_lines + k % 4);
    words::Text text{};
    u32 tint = 0;
    cell(list, table, row, c, colour_row, &text, &tint);
    all = chart::ink(s, role_small, proclist::title(c), x, y, 64, 18, colour_title, 0) &&
          chart::ink(s, role_small, text_of(text), x, y, half, 18, colour_bright, 1);
  }
  draw::show(s, b);
  return all;
}

bool scratch_for(PageLayout* page, u64 pixels) {
  if (pixels > scratch_most) return false;
  if (!page->scratch) {
    if (!page->scratch_arena.base && !mem::arena_init(&page->scratch_arena, scratch_most * 4)) return false;
    page->scratch = mem::alloc_of<u32>(&page->scratch_arena, scratch_most);
    page->scratch_pixels = page->scratch ? scratch_most : 0;
  }
  return page->scratch != nullptr;
}

}  // namespace

// ---- Set-up

void init(PageLayout* page) {
  __builtin_memset(static_cast<void*>(page), 0, offsetof(PageLayout, scratch_arena));
  page->hovered = none;
  page->drawn_top = none;
  page->wrapped_handle = no_handle;
  page->name_lines = 1;
}

void close(PageLayout* page) {
  if (page->scratch_arena.base) mem::release(&page->scratch_arena);
  page->scratch_arena = mem::Arena{};
  page->scratch = nullptr;
  page->scratch_pixels = 0;
}

void layout(PageLayout* page, i32 width, i32 height) {
  page->width = clamp16(width);
  page->height = clamp16(height);
  page->left = 244;
  page->right = clamp16(i64{page->width} - 24);
  page->area = clamp16(i64{page->width} - 276);
  page->rows_top = rows_top;
  const i32 rows = most(page->height - 168, 0) / row_height;
  page->visible = static_cast<u16>(least(rows, static_cast<i32>(visible_most)));
  page->columns = static_cast<u16>(proclist::columns_shown(page->area));
  page->drawn_top = none;
}

// ---- Geometry

u32 row_at_y(const PageLayout* page, const proclist::ListState* list, i32 y) {
  if (y < rows_top || y >= table_bottom(page)) return none;
  const u64 p = u64{list->top} + static_cast<u64>((y - rows_top) / row_height);
  return p < list->shown ? static_cast<u32>(p) : none;
}

bool row_visible(const PageLayout* page, const proclist::ListState* list, u32 p) {
  return p != none && p >= list->top && u64{p} < u64{list->top} + page->visible && p < list->shown;
}

bool row_rect(const PageLayout* page, const proclist::ListState* list, u32 p, draw::Rect* r) {
  const bool on = row_visible(page, list, p);
  const i32 y = on ? rows_top + row_height * static_cast<i32>(p - list->top) : rows_top;
  *r = draw::Rect{page->left, y, on ? page->right : page->left, y + row_height};
  return on;
}

u64 handle_at(const proclist::ListState* list, const model::ProcTable* table, u32 p) {
  if (p >= list->shown) return no_handle;
  const u32 row = proclist::row_at(list, p);
  return model::handle_make(table->slot[row], table->generation[table->slot[row]]);
}

void header_rect(const PageLayout* page, u32 column, bool on, draw::Rect* r) {
  i32 x = page->left, w = 0;
  if (on && column < proclist::columns && shown_column(page, column)) column_box(page, column, &x, &w);
  *r = draw::Rect{x, header_top, x + w, rows_top};
}

void table_rect(const PageLayout* page, bool on, draw::Rect* r) {
  *r = draw::Rect{page->left, rows_top, on ? page->right : page->left, table_bottom(page)};
}

draw::Rect filter_rect(const PageLayout* page) { return draw::Rect{page->right - 260, 57, page->right, 83}; }
draw::Rect status_rect(const PageLayout* page) {
  return draw::Rect{page->left, 80, least(page->left + 480, page->right - 268), 96};
}
draw::Rect body_rect(const PageLayout* page) {
  return draw::Rect{page->left, rows_top, page->right, table_bottom(page)};
}

i32 box_x(const PageLayout* page, i32 pointer_x) {
  i64 x = proclist::align_up(i64{pointer_x} + 8, 16);
  if (x + box_width > page->right - 8) x = proclist::align_down(i64{pointer_x} - 328, 16);
  return static_cast<i32>(x < page->left ? page->left : x);
}

i32 box_y(const PageLayout* page, i32 row_top, i32 row_bottom, i32 h) {
  const i32 bottom = table_bottom(page);
  i32 y = page->height - 1 - row_bottom >= row_top - 40 ? row_bottom : row_top - h;
  if (row_top - h >= rows_top) y = row_top - h;
  if (row_bottom + h <= bottom) y = row_bottom;
  const i64 above = proclist::align_down(i64{row_top} - 8 - h, 16);
  if (above >= rows_top) y = static_cast<i32>(above);
  const i64 below = proclist::align_up(i64{row_bottom} + 8, 16);
  if (below + h <= bottom) y = static_cast<i32>(below);
  y = most(y, 40);
  return least(y, page->height - 1 - h);
}

u32 line_budget(i32 height) {
  const i32 room = most((height - 57) / 2 - 112, 0) / 18;
  return 1 + static_cast<u32>(least(9, room));
}

// ---- Cells

u64 cell(const proclist::ListState* list, const model::ProcTable* table, u32 row, u32 column, u32 bg,
         words::Text* text, u32* tint) {
  const bool blank = list->measuring != 0 && proclist::rate_column(column);
  *tint = column == proclist::col_name || column == proclist::col_pid || blank
              ? 0
              : proclist::tint_alpha(static_cast<u32>(proclist::value_of(table, row, column)), list->column_max[column]);
  proclist::cell_text(table, row, column, text);
  if (blank) text->len = 0;
  if (proclist::dashed(list->measuring, column)) words::put(text, mem::lit("-"));
  const u64 h = machine::bytes_of(machine::fnv_basis, text->bytes, text->len);
  return (h ^ (u64{*tint} << 32) ^ bg) * fnv_prime;
}

u64 empty_key(const proclist::ListState* list, u32 slot) {
  if (list->shown == 0 && slot < 2)
    return key_tag + 2 + 256 * (list->waiting == 1 ? proclist::spin_phase(list->spin) + 1 : 0);
  return key_tag + 1;
}

u32 sort_key(const proclist::ListState* list) {
  const u32 c = proclist::sort_column(list->sort_column, list->measuring);
  return c + (list->descending == 1 && c == list->sort_column ? 256 : 0);
}

void status_line(const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s, i32 room,
                 words::Text* out) {
  out->len = 0;
  if (list->waiting == 1) return;
  for (u32 piece = 0; piece < 4; ++piece) {
    words::Text t{};
    switch (piece) {
      case 0:
        words::put_u64(&t, list->processes);
        words::put(&t, mem::lit(" processes"));
        break;
      case 1:
        words::put_u64(&t, table->threads);
        words::put(&t, mem::lit(" threads"));
        break;
      case 2:
        words::put(&t, mem::lit("CPU "));
        if (list->measuring == proclist::rates_old_table) {
          words::put(&t, mem::lit("-"));
        } else if (list->measuring == proclist::rates_measuring) {
          words::put(&t, mem::lit("measuring..."));
        } else {
          words::put_tenths(&t, proclist::tenths_of(list->cpu_total));
          words::put(&t, mem::lit(" %"));
        }
        break;
      default:
        if (!list->filter_length) continue;
        words::put_u64(&t, list->shown);
        words::put(&t, mem::lit(" shown"));
        break;
    }
    words::Text line = *out;
    if (line.len) words::put(&line, mem::lit("  -  "));
    words::put(&line, text_of(t));
    if (chart::measure(s, role_small, text_of(line)) <= room) *out = line;
  }
}

// ---- Drawing

void render(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s,
            u32 header_hover) {
  chart::text(s, role_body, mem::lit("Processes"), page->left, 56, page->right - 260 - page->left, 28, colour_bright,
              0);
  const draw::Rect f = filter_rect(page);
  draw::fill(s, f, colour_field);
  chart::frame(s, f.left, f.top, f.right - f.left, f.bottom - f.top, colour_line);
  const bool typed = list->filter_length != 0;
  chart::text(s, role_small, typed ? proclist::filter_text(list) : mem::lit("Type to filter by name"), f.left + 8,
              f.top + 1, f.right - f.left - 16, f.bottom - f.top - 2, typed ? colour_bright : colour_hint, 0);

  const draw::Rect st = status_rect(page);
  words::Text status{};
  status_line(list, table, s, st.right - st.left, &status);
  page->status_hash = hash_of(text_of(status));
  chart::text(s, role_small, text_of(status), st.left, st.top, st.right - st.left, st.bottom - st.top, colour_hint,
              0);

  header(s, page, list, header_hover);
  page->drawn_sort = sort_key(list);

  for (u32 slot = 0; slot < page->visible; ++slot) {
    const i32 y = rows_top + row_height * static_cast<i32>(slot);
    if (!draw::wanted(*s, page->left, y, page->right, y + row_height)) continue;
    RowKeys r;
    row_state(page, list, table, slot, &r);
    page->name_ends[slot] = 0;
    if (r.position != none) draw_row(s, page, list, table, slot, r);
    page->row_handles[slot] = r.handle;
    for (u32 c = 0; c < proclist::columns; ++c) page->cell_hashes[slot][c] = r.keys[c];
  }
  page->drawn_top = list->top;
  page->drawn_shown = list->shown;
  page->drawn_visible = page->visible;
  if (list->shown == 0) empty_message(s, page, list);
  scroll_bar(s, page, list);

  const draw::Rect b = details_place(page, list, table, s);
  if (!empty(b)) details_draw(s, page, list, table, b);
  page->box[0] = b.left, page->box[1] = b.top, page->box[2] = b.right, page->box[3] = b.bottom;
}

void repaint_rows(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table,
                  draw::Surface* s) {
  const draw::Rect was_box = old_box(page);
  if (page->drawn_top == none || page->visible != page->drawn_visible) {
    queue(s, draw::Rect{page->left, 80, page->right, table_bottom(page)});
    queue(s, was_box);
    return;
  }
  const draw::Rect body = body_rect(page);
  bool in_place = draw::touchable(*s, body);

  static_assert(visible_most <= draw::move_most);
  RowKeys rows[visible_most];
  i16 ends[visible_most];
  i32 source[visible_most];
  bool taken[visible_most] = {};
  bool moved = false;
  for (u32 i = 0; i < page->visible; ++i) {
    row_state(page, list, table, i, &rows[i]);
    source[i] = rows[i].handle == page->row_handles[i] ? static_cast<i32>(i) : -1;
    if (source[i] >= 0) taken[i] = true;
  }
  for (u32 i = 0; i < page->visible; ++i) {
    if (source[i] >= 0 || rows[i].handle == no_handle) continue;
    for (u32 j = 0; j < page->visible; ++j) {
      if (taken[j] || page->row_handles[j] != rows[i].handle) continue;
      // A row none of whose cells would survive is drawn afresh rather than moved first.
      bool any_same = false;
      for (u32 c = 0; c < proclist::columns && !any_same; ++c)
        any_same = shown_column(page, c) && rows[i].keys[c] == page->cell_hashes[j][c];
      if (!any_same) break;
      source[i] = static_cast<i32>(j);
      taken[j] = true;
      moved = true;
      break;
    }
  }
  bool moved_in_place = false;
  if (moved && in_place) {
    const draw::Rect region{page->left, rows_top, page->right - 8, table_bottom(page)};
    const u64 need = draw::move_pixels(*s, region, row_height);
    moved_in_place = scratch_for(page, need) &&
                     draw::move_rows(s, region, row_height, source, page->visible, page->scratch, page->scratch_pixels);
  }

  // A slot compares its cells with what it shows: the row moved into it in place, else what it showed before, whose
  // cells a row that could not be moved (its rows are not whole pixels) may share, all but its name and PID often.
  for (u32 i = 0; i < page->visible; ++i) {
    const RowKeys& r = rows[i];
    const i32 y = rows_top + row_height * static_cast<i32>(i);
    const bool kept = source[i] >= 0 && moved_in_place;
    const u32 from = kept ? static_cast<u32>(source[i]) : i;
    ends[i] = page->name_ends[from];
    bool name_clear = true;
    const bool message = ((r.keys[0] & ~u64{0xFF00}) == key_tag + 2) ||
                         ((page->cell_hashes[i][0] & ~u64{0xFF00}) == key_tag + 2);
    u32 dirty = 0, columns_shown = 0;
    for (u32 c = 0; c < proclist::columns; ++c) {
      if (!shown_column(page, c)) continue;
      columns_shown |= 1u << c;
      i32 x = 0, w = 0;
      column_box(page, c, &x, &w);
      // A row moved in place brings along what lay on it, pieces of the old details box among them.
      const i32 y_from = rows_top + row_height * static_cast<i32>(from);
      const bool under_box = meets(draw::Rect{x, y, x + w, y + row_height}, was_box) ||
                             (kept && meets(draw::Rect{x, y_from, x + w, y_from + row_height}, was_box));
      if (under_box || r.keys[c] != page->cell_hashes[from][c]) dirty |= 1u << c;
      if (under_box && c == proclist::col_name) name_clear = false;
    }
    if (!dirty) continue;
    const draw::Rect band{page->left, y, page->right - 8, y + row_height};
    if (message || !in_place) {
      ends[i] = 0;  // the frame that draws the queued cells tells
      if (dirty == columns_shown || message) {
        queue(s, draw::Rect{page->left, y, page->right, y + row_height});
      } else {
        for (u32 c = 0; c < proclist::columns; ++c) {
          if (!((dirty >> c) & 1)) continue;
          i32 x = 0, w = 0;
          column_box(page, c, &x, &w);
          queue(s, draw::Rect{x, y, x + w, y + row_height});
        }
      }
      continue;
    }
    // A slot past the end of the list is a blank band: it has no cells to ink.
    const bool blank = r.position == none;
    const bool whole = dirty == columns_shown || blank;
    if (whole) {
      draw::paint(s, band, r.background);
      draw::show(s, band);
    }
    if (blank) {
      ends[i] = 0;
      continue;
    }
    for (u32 c = 0; c < proclist::columns; ++c) {
      if (!((dirty >> c) & 1)) continue;
      const i16 end =
          paint_cell(s, page, c, y, r.background, cell_of(list, table, r, c), !whole, name_clear ? ends[i] : 0);
      if (c == proclist::col_name) ends[i] = end;
    }
  }

  // Status line.
  const draw::Rect st = status_rect(page);
  words::Text status{};
  status_line(list, table, s, st.right - st.left, &status);
  const u64 status_hash = hash_of(text_of(status));
  if (status_hash != page->status_hash) {
    bool done = draw::touchable(*s, st) && draw::paint(s, st, colour_row);
    if (done) {
      draw::show(s, st);
      done = chart::ink(s, role_small, text_of(status), st.left, st.top, st.right - st.left, st.bottom - st.top,
                        colour_hint, 0);
    }
    if (!done) queue(s, st);
    page->status_hash = status_hash;
  }
  if (sort_key(list) != page->drawn_sort) queue(s, draw::Rect{page->left, header_top, page->right, rows_top});
  if (list->top != page->drawn_top || list->shown != page->drawn_shown)
    queue(s, draw::Rect{page->right - 6, rows_top, page->right - 2, table_bottom(page)});

  // Details box: the old one goes, the new one is drawn over the repainted cells.
  const draw::Rect b = details_place(page, list, table, s);
  if (!empty(was_box) && !(in_place && inside(was_box, body))) queue(s, was_box);
  if (!empty(b)) {
    const bool drawn = in_place && inside(b, body) && details_in_place(s, page, list, table, b);
    if (!drawn) queue(s, b);
  }
  page->box[0] = b.left, page->box[1] = b.top, page->box[2] = b.right, page->box[3] = b.bottom;

  if (moved_in_place) draw::show(s, body);
  for (u32 i = 0; i < page->visible; ++i) {
    page->row_handles[i] = rows[i].handle;
    page->name_ends[i] = ends[i];
    for (u32 c = 0; c < proclist::columns; ++c) page->cell_hashes[i][c] = rows[i].keys[c];
  }
  page->drawn_top = list->top;
  page->drawn_shown = list->shown;
}

// ---- Pointer and scrolling

void hover_update(PageLayout* page, const proclist::ListState* list) {
  page->hovered = page->pointer_inside ? row_at_y(page, list, page->pointer_y) : none;
}

u32 hover_row(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s,
              i32 x, i32 y, bool in) {
  page->pointer_y = clamp16(y);
  page->pointer_inside = in ? 1 : 0;
  const u32 now = in ? row_at_y(page, list, y) : none;
  if (now == page->hovered) return 0;
  page->pointer_x = clamp16(x);
  page->hovered = now;
  repaint_rows(page, list, table, s);
  return 1;
}

u32 scroll(PageLayout* page, proclist::ListState* list, const model::ProcTable* table, draw::Surface* s, i64 n) {
  const u32 top = static_cast<u32>(proclist::scroll_by(list->top, n, list->shown, page->visible));
  if (top == list->top) return 0;
  list->top = top;
  hover_update(page, list);
  repaint_rows(page, list, table, s);
  return 1;
}

void clamp_scroll(PageLayout* page, proclist::ListState* list) {
  list->top = static_cast<u32>(proclist::clamp_top(list->top, list->shown, page->visible));
  hover_update(page, list);
}

}  // namespace procpage
