#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>

#include <cstdio>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "drawing/chart.h"
#include "drawing/curve.h"
#include "history/hist.h"
#include "tests/drawing/surface.h"
#include "drawing/layout.h"

namespace {

// A chart canvas with its grid and scratch, and a ring that samples are pushed into.
struct Bench {
  mem::Arena arena{};
  chart::Grid g{};
  std::vector<u32> pixels;
  draw::Sheet sheet{};
  ring::Ring* r = new ring::Ring;
  u32 total = 0;

  Bench() {
    EXPECT_EQ(mem::arena_init(&arena, 1 << 20), 1u);
    chart::init(&g);
    ring::init(r, 600);
  }
  ~Bench() {
    delete r;
    mem::release(&arena);
  }
  // Lays out slots (logical x, y, width, height, step each) and sizes the canvas for them.
  void layout(const std::vector<std::vector<i32>>& slots, u32 dpi = 96) {
    g.dpi = static_cast<u16>(dpi);
    for (u32 i = 0; i < slots.size(); i++) {
      const std::vector<i32>& s = slots[i];
      ASSERT_EQ(chart::place(&g, i, s[0], s[1], s[2], s[3], s[4]), 1u);
    }
    draw::Size size = chart::pack(&g);
    pixels.assign(u64(size.width) * size.height, 0xFF123456);
    sheet = draw::Sheet{pixels.data(), static_cast<u32>(size.width), static_cast<u32>(size.width),
                        static_cast<u32>(size.height), -1};
    ASSERT_EQ(chart::scratch(&g, &arena, size.width, size.height), 1u);
  }
  void push(u16 load, u8 core0 = 0, u32 memory = 0) {
    ring::Row row{};
    row.load = load;
    row.core_load[0] = core0;
    row.core_load[1] = static_cast<u8>(200 - core0);
    row.memory_mib = memory;
    ring::push(r, &row);
    total++;
  }
  u32 sync(const chart::Look& look) { return chart::sync(&g, &sheet, look, *r, total); }
  u32 at(u32 slot, i32 x, i32 y) const {
    return pixels[u64(g.canvas_y[slot] + y) * sheet.stride + chart::drawing_x(g, slot) + x];
  }
  // The pixels of one slot's area, row by row.
  std::vector<u32> area(u32 slot) const {
    std::vector<u32> out;
    for (i32 y = 0; y < g.height[slot]; y++)
      for (i32 x = 0; x < g.width[slot]; x++) out.push_back(at(slot, x, y));
    return out;
  }
  std::string digest(u32 slot) const {
    std::vector<u32> a = area(slot);
    u8 d[32];
    sha256::sha256(mem::Bytes{reinterpret_cast<const u8*>(a.data()), a.size() * 4}, d);
    char hex[17];
    for (u32 i = 0; i < 8; i++) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
  }
  // A PPM of the slot for looking at a chart, only when asked: VIMBREL_RENDER_DUMP names the folder it goes to.
  void dump(u32 slot, const std::string& name) const {
    const char* folder = std::getenv("VIMBREL_RENDER_DUMP");
    if (!folder) return;
    FILE* f = std::fopen((std::string(folder) + "/" + name + ".ppm").c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "P6\n%d %d\n255\n", g.width[slot], g.height[slot]);
    for (u32 p : area(slot)) {
      u8 rgb[3] = {static_cast<u8>(p >> 16), static_cast<u8>(p >> 8), static_cast<u8>(p)};
      std::fwrite(rgb, 1, 3, f);
    }
    std::fclose(f);
  }
};

// Processor load over memory, stacked, with grid rows and a dot on the top series.
chart::Look load_look(const ring::Ring& r) {
  chart::Look l{};
  l.count = 2;
  l.flags = chart::flag_grid;
  l.dot_mask = 2;
  l.margin = 2;
  l.thick = 192;
  l.thin = 128;
  l.max = 20000;
  l.background = 0xFFFFFF;
  l.grid = 0xE0E0E0;
  l.sources[0] = chart::Source{reinterpret_cast<const u8*>(r.load), 2, 0, 2};
  l.sources[1] = chart::Source{reinterpret_cast<const u8*>(r.load), 2, 0, 2};
  l.line[0] = 0x0000C0;
  l.line[1] = 0xC06000;
  l.fill[0] = 0x8080FF;
  l.fill[1] = 0xFFC080;
  l.alpha[0] = 200;
  l.alpha[1] = 120;
  return l;
}

chart::Look heat_look(const ring::Ring& r) {
  chart::Look l{};
  l.kind = chart::kind_heat;
  l.rows = 2;
  l.background = 0x202020;
  l.grid = 0x000000;
  l.ramp_middle = 0x00FFFF;
  l.ramp_last = 0x0000FF;
  l.sources[0] = chart::Source{&r.core_load[0][0], 64, 1, 1};
  return l;
}

u16 wave(u32 i) { return static_cast<u16>(5000 + 4000 * __builtin_sin(i * 0.37) + (i % 7) * 150); }

bool column_is(const Bench& b, u32 slot, i32 x, u32 colour, const chart::Look& l) {
  for (i32 y = 0; y < b.g.height[slot]; y++) {
    u32 p = b.at(slot, x, y);
    if (p != colour && p != draw::bgra(l.grid)) return false;
  }
  return true;
}

TEST(ChartDraw, DrawsOnlyOnAChangeOfLookOrTrack) {
  Bench b;
  b.layout({{0, 0, 300, 60, 5}});
  for (u32 i = 0; i < 100; i++) b.push(wave(i));
  chart::Look l = load_look(*b.r);
  EXPECT_EQ(b.sync(l), 1u);
  EXPECT_EQ(b.sync(l), 0u);
  std::string first = b.digest(0);
  l.slot = 0;
  l.fill[1] ^= 0x000100;  // any colour changes the hash and redraws all 60 columns
  EXPECT_NE(chart::look_of(l), chart::look_of(load_look(*b.r)));
  EXPECT_EQ(b.sync(l), 1u);
  EXPECT_NE(b.digest(0), first);
  chart::Look moved = l;
  moved.sources[1].first += 2;
  EXPECT_NE(chart::look_of(moved), chart::look_of(l));
  // Back to the first look: the same pixels as the first drawing.
  EXPECT_EQ(b.sync(load_look(*b.r)), 1u);
  EXPECT_EQ(b.digest(0), first);
  // The slot number is not part of the look's identity; unbound slots and a sheet without pixels draw nothing.
  chart::Look other = load_look(*b.r);
  other.slot = 5;
  EXPECT_EQ(chart::look_of(other), chart::look_of(load_look(*b.r)));
  EXPECT_EQ(b.sync(other), 0u);
  draw::Sheet none{};
  b.push(1);
  EXPECT_EQ(chart::sync(&b.g, &none, l, *b.r, b.total), 0u);
}

TEST(ChartDraw, FewRowsLeaveTheOlderColumnsBlank) {
  Bench b;
  b.layout({{0, 0, 300, 60, 5}, {0, 0, 300, 40, 5}});
  for (u32 i = 0; i < 30; i++) b.push(wave(i), static_cast<u8>(i * 6));
  chart::Look area = load_look(*b.r);
  area.dot_mask = 0;
  chart::Look heat = heat_look(*b.r);
  heat.slot = 1;
  ASSERT_EQ(b.sync(area), 1u);
  ASSERT_EQ(b.sync(heat), 1u);
  u32 white = draw::bgra(area.background), dark = draw::bgra(heat.background);
  // 30 rows: the area chart draws columns 31 to 59, the heat strip 30 to 59.
  EXPECT_EQ(layout::first_segment(30), 31u);
  EXPECT_EQ(layout::first_cell(30), 30u);
  for (i32 x = 0; x < 31 * 5; x++) EXPECT_TRUE(column_is(b, 0, x, white, area)) << x;
  EXPECT_FALSE(column_is(b, 0, 31 * 5 + 2, white, area));
  for (i32 x = 0; x < 30 * 5; x++) EXPECT_TRUE(column_is(b, 1, x, dark, heat)) << x;
  // Heat cells: the ramp colour of the value, a 1-px gap right of and below each cell (step 5, cells of 20 px).
  u32 v = 29 * 6;
  u32 expect = 0xFF000000u | curve::ramp(draw::bgra(0), draw::bgra(0x00FFFF), draw::bgra(0x0000FF), v, 200);
  EXPECT_EQ(b.at(1, 59 * 5, 0), expect);
  EXPECT_EQ(b.at(1, 59 * 5 + 3, 18), expect);
  EXPECT_EQ(b.at(1, 59 * 5 + 4, 5), dark);
  EXPECT_EQ(b.at(1, 59 * 5, 19), dark);
  u32 low = 0xFF000000u | curve::ramp(draw::bgra(0), draw::bgra(0x00FFFF), draw::bgra(0x0000FF), 200 - v, 200);
  EXPECT_EQ(b.at(1, 59 * 5, 25), low);
  EXPECT_EQ(b.at(1, 30 * 5, 0), 0xFF000000u | curve::ramp(0, draw::bgra(0x00FFFF), draw::bgra(0x0000FF), 0, 200));
}

TEST(ChartDraw, ANewSampleShiftsAndRedrawsOnlyTheNamedColumns) {
  for (bool dot : {false, true}) {
    Bench b, whole;
    b.layout({{0, 0, 300, 60, 5}});
    whole.layout({{0, 0, 300, 60, 5}});
    for (u32 i = 0; i < 80; i++) b.push(wave(i));
    chart::Look l = load_look(*b.r);
    l.dot_mask = dot ? 2 : 0;
    ASSERT_EQ(b.sync(l), 1u);
    // Mark a pixel in every column; those the shift keeps must move one column left untouched.
    for (i32 c = 0; c < 60; c++)
      b.pixels[u64(b.g.canvas_y[0] + 30) * b.sheet.stride + chart::drawing_x(b.g, 0) + c * 5 + 1] = 0xFF00FF00u;
    b.push(wave(80));
    ASSERT_EQ(b.sync(l), 1u);
    u32 from = layout::redo_from(1, 5, dot ? 1 : 0);
    EXPECT_EQ(from, dot ? 57u : 58u);
    for (i32 c = 0; c < 59; c++) {
      bool kept = b.at(0, c * 5 + 1, 30) == 0xFF00FF00u;
      EXPECT_EQ(kept, c < static_cast<i32>(from)) << "column " << c;
    }
    // Without the marks, the shifted chart equals one drawn whole from the same ring.
    for (u32 i = 0; i <= 80; i++) whole.push(wave(i));
    chart::Look lw = load_look(*whole.r);
    lw.dot_mask = l.dot_mask;
    ASSERT_EQ(whole.sync(lw), 1u);
    ring::Ring* keep = b.r;
    b.r = whole.r;  // same samples, the other ring's address: a new look, so drawn whole
    ASSERT_EQ(b.sync(lw), 1u);
    b.r = keep;
    EXPECT_EQ(b.area(0), whole.area(0));
  }
}

TEST(ChartDraw, WithoutWholePxColumnsEverySampleRedrawsAll) {
  Bench b;
  b.layout({{0, 0, 300, 60, 5}}, 120);  // 6.25 px columns fall on rounded positions
  ASSERT_EQ(b.g.px_step[0], 0);
  for (u32 i = 0; i < 80; i++) b.push(wave(i));
  chart::Look l = load_look(*b.r);
  ASSERT_EQ(b.sync(l), 1u);
  for (i32 x = 0; x < b.g.width[0]; x++) b.pixels[u64(b.g.canvas_y[0] + 40) * b.sheet.stride + x] = 0xFF00FF00u;
  b.push(wave(80));
  ASSERT_EQ(b.sync(l), 1u);
  for (i32 x = 0; x < b.g.width[0]; x++) EXPECT_NE(b.at(0, x, 40), 0xFF00FF00u) << x;
}

// From the first sample on, a chart kept by shifting equals one drawn whole from the same ring, whatever the kind of
// chart and however many samples come between two drawings: a new window scrolls its charts from its first second.
TEST(ChartDraw, IncrementalDrawingMatchesAWholeDrawing) {
  struct Case {
    const char* name;
    u32 kind, dot_mask;
    std::vector<u32> steps;  // samples pushed before each drawing
  };
  const std::vector<Case> cases = {
      {"area, one at a time", 0, 2, std::vector<u32>(80, 1)},
      {"area, no dot, bursts", 0, 0, {1, 2, 3, 1, 5, 1, 1, 2, 30, 1, 1, 4, 1, 20, 1}},
      {"mirrored", chart::kind_mirrored, 3, {2, 1, 1, 3, 1, 1, 50, 1, 1}},
      {"heat", chart::kind_heat, 0, std::vector<u32>(70, 1)},
  };
  auto push = [](Bench& b, u32 i) { b.push(wave(i), static_cast<u8>(i * 7 % 200), i * 311 % 20000); };
  for (const Case& k : cases) {
    auto look = [&k](const Bench& b) {
      chart::Look l = k.kind == chart::kind_heat ? heat_look(*b.r) : load_look(*b.r);
      l.kind = k.kind;
      l.dot_mask = k.dot_mask;
      if (k.kind == chart::kind_mirrored)
        l.sources[1] = chart::Source{reinterpret_cast<const u8*>(b.r->memory_mib), 4, 0, 4};
      return l;
    };
    Bench b;
    b.layout({{0, 0, 300, 60, 5}});
    u32 pushed = 0;
    for (u32 step : k.steps) {
      for (u32 i = 0; i < step; i++) push(b, pushed++);
      ASSERT_EQ(b.sync(look(b)), 1u) << k.name;
      Bench whole;
      whole.layout({{0, 0, 300, 60, 5}});
      for (u32 i = 0; i < pushed; i++) push(whole, i);
      ASSERT_EQ(whole.sync(look(whole)), 1u);
      ASSERT_EQ(b.area(0), whole.area(0)) << k.name << " after " << pushed << " samples";
    }
  }
}

TEST(ChartDraw, OutlinesWidenWithTheSlope) {
  EXPECT_EQ(curve::thickness(128, 0), 128);
  EXPECT_EQ(curve::thickness(128, 256), 181);
  // A flat line of half-width 128 through the middle of a pixel row covers that row exactly: one opaque row.
  Bench b;
  b.layout({{0, 0, 300, 40, 5}});
  for (u32 i = 0; i < 70; i++) b.push(10000);
  chart::Look l = load_look(*b.r);
  l.count = 1;
  l.flags = 0;
  l.dot_mask = 0;
  l.margin = 0;
  l.alpha[0] = 0;
  l.thick = 128;
  l.max = 20000;
  // 10000 of 20000 in 40 rows with no margin is y = 20 px: the line covers 19.5 .. 20.5, half of two rows.
  ASSERT_EQ(b.sync(l), 1u);
  u32 half = curve::blend(draw::bgra(l.background), draw::bgra(l.line[0]), 128);
  u32 rows_touched = 0;
  for (i32 y = 0; y < 40; y++) rows_touched += b.at(0, 100, y) != draw::bgra(l.background);
  EXPECT_EQ(rows_touched, 2u);
  EXPECT_EQ(b.at(0, 100, 19), half);
  EXPECT_EQ(b.at(0, 100, 20), half);
}

// A stored-history table of the 720-column range, filled column by column (0 the oldest).
struct History {
  mem::Arena arena{};
  hist::Table table{};
  History() {
    u8 id[16] = {};
    EXPECT_EQ(mem::arena_init(&arena, 1 << 20), 1u);
    EXPECT_TRUE(hist::bind(&table, &arena, 4, 0, 255, id, 1000));
    EXPECT_EQ(table.columns, 720u);
  }
  ~History() { mem::release(&arena); }
  void set(u32 c, u32 max, u32 min, u32 count) {
    u32 phys = (table.start + c) % table.columns;
    table.max[0][phys] = max;
    table.min[0][phys] = min;
    table.count[phys] = static_cast<u16>(count);
  }
  chart::Track track() const {
    return chart::Track{table.columns, table.start, table.columns, table.changes, chart::long_rows, table.count};
  }
};

// One series of the table's maxima over a long range, with grid rows.
chart::Look long_look(const hist::Table& table, u32 max, u32 fill) {
  chart::Look l{};
  l.count = 1;
  l.flags = chart::flag_long | chart::flag_grid;
  l.thick = 128;
  l.max = max;
  l.background = 0xFFFFFF;
  l.grid = 0xE0E0E0;
  l.line[0] = 0x004000;
  l.fill[0] = fill;
  l.alpha[0] = 255;
  l.sources[0] = chart::Source{reinterpret_cast<const u8*>(table.max[0]), 4, 0, 4};
  return l;
}

TEST(ChartDraw, LongRangesFromAHistoryTable) {
  History h;
  hist::Table& table = h.table;
  // The newest 600 columns hold samples except a stretch without any; the max climbs, the min stays low.
  for (u32 c = 0; c < table.columns; c++) h.set(c, c * 20, c * 5, c >= 300 && c < 330 ? 0 : 1);
  table.changes = 1;
  Bench b;
  b.layout({{0, 0, 300, 60, 5}, {0, 0, 300, 60, 5}});
  chart::Look l = long_look(table, 720 * 20, 0xA0A0FF);
  chart::Track t = h.track();
  ASSERT_EQ(chart::sync_track(&b.g, &b.sheet, l, t), 1u);
  EXPECT_EQ(chart::sync_track(&b.g, &b.sheet, l, t), 0u);
  b.dump(0, "chart_long_area");
  // Column x of 300 covers rows 598 - 2x and 599 - 2x back; the hole (table columns 300..329, 390..419 rows back)
  // lies under columns 90..104, which show background and grid rows only.
  chart::Look scaled = l;
  u32 white = draw::bgra(l.background);
  for (i32 x = 90; x < 105; x++) EXPECT_TRUE(column_is(b, 0, x, white, scaled)) << x;
  EXPECT_FALSE(column_is(b, 0, 89, white, scaled));
  EXPECT_FALSE(column_is(b, 0, 105, white, scaled));
  // Low in a column lies the opaque fill colour, above the line background.
  EXPECT_EQ(b.at(0, 299, 58), draw::bgra(l.fill[0]));
  EXPECT_EQ(b.at(0, 150, 1), white);
  // The max grows to the right: the filled area's top row rises.
  auto top = [&](i32 x) {
    for (i32 y = 0; y < 60; y++)
      if (b.at(0, x, y) == draw::bgra(l.fill[0])) return y;
    return 60;
  };
  EXPECT_GT(top(150), top(250));

  // A heat strip of the same table reads one byte per item.
  std::vector<u8> levels(720 * 2);
  for (u32 c = 0; c < 720; c++) {
    levels[c * 2] = static_cast<u8>(c % 201);
    levels[c * 2 + 1] = 250;
  }
  chart::Look strip{};
  strip.slot = 1;
  strip.kind = chart::kind_heat;
  strip.flags = chart::flag_long;
  strip.rows = 2;
  strip.background = 0x202020;
  strip.ramp_middle = 0x00FFFF;
  strip.ramp_last = 0x0000FF;
  strip.sources[0] = chart::Source{levels.data(), 2, 1, 4};
  ASSERT_EQ(chart::sync_track(&b.g, &b.sheet, strip, t), 1u);
  b.dump(1, "chart_long_heat");
  u32 ramp_last = 0xFF000000u | curve::ramp(0, draw::bgra(0x00FFFF), draw::bgra(0x0000FF), 200, 200);
  EXPECT_EQ(b.at(1, 200, 35), ramp_last);  // item 1: 250 is cut at 200
  EXPECT_EQ(b.at(1, 200, 59), draw::bgra(strip.background));  // one row less per cell (cells of 30 rows)
  // Column 10 covers table columns 140 and 141: the larger level.
  EXPECT_EQ(b.at(1, 10, 10), 0xFF000000u | curve::ramp(0, draw::bgra(0x00FFFF), draw::bgra(0x0000FF), 141, 200));
}

TEST(ChartDraw, LongRangesRedrawOnlyTheRowsThatChanged) {
  History h;
  hist::Table& table = h.table;
  auto set = [&](u32 c, u32 max, u32 count) { h.set(c, max, 0, count); };
  for (u32 c = 0; c < table.columns; c++) set(c, 3000 + (c * 37) % 5000, c >= 400 && c < 420 ? 0 : 1);
  table.changes = 1;
  chart::Look l = long_look(table, 10000, 0x80FF80);
  l.dot_mask = 1;
  l.margin = 1;
  l.alpha[0] = 160;
  Bench b, whole;
  b.layout({{0, 0, 300, 60, 5}});
  whole.layout({{0, 0, 300, 60, 5}});
  ASSERT_EQ(chart::sync_track(&b.g, &b.sheet, l, h.track()), 1u);
  // Column 20 covers table columns 160 and 161: a mark deep inside its fill must survive a change elsewhere.
  b.pixels[u64(57) * b.sheet.stride + 20] = 0xFF00FF00u;
  set(700, 9900, 1);  // a new peak
  set(710, 0, 0);     // a new gap
  set(405, 100, 1);   // the old gap partly filled
  set(500, 3000, 1);
  table.changes = 2;
  ASSERT_EQ(chart::sync_track(&b.g, &b.sheet, l, h.track()), 1u);
  EXPECT_EQ(b.pixels[u64(57) * b.sheet.stride + 20], 0xFF00FF00u);
  ASSERT_EQ(chart::sync_track(&whole.g, &whole.sheet, l, h.track()), 1u);
  b.pixels[u64(57) * b.sheet.stride + 20] = whole.pixels[u64(57) * whole.sheet.stride + 20];
  EXPECT_EQ(b.area(0), whole.area(0));
  b.dump(0, "chart_long_changed");
}

TEST(ChartDraw, AWholeLongDrawingEqualsOneComposedColumnByColumn) {
  // Three stacked series with grid rows, half-transparent fills and lines, and holes. A whole drawing fills the areas
  // a block of columns at a time; a drawing that follows an all-gap one composes every column on its own (and must
  // clear the gap columns under the newest-value dot, which it draws again). Widths that are not a multiple of the
  // block, mirrored charts and higher DPIs are in the table.
  struct Case {
    const char* name;
    i32 width, step;
    u32 dpi, kind;
  } cases[] = {{"300 px", 300, 5, 96, 0}, {"98 dpi, ragged columns", 180, 3, 98, 0}, {"mirrored", 240, 4, 96, 1},
               {"144 dpi", 120, 2, 144, 0}};
  for (const Case& k : cases) {
    std::vector<u32> series[3];
    std::vector<u16> presence(720, 0), none(720, 0);
    for (u32 c = 0; c < 720; c++) {
      presence[c] = (c / 37) % 5 == 3 ? 0 : 1;
    }
    for (u32 s = 0; s < 3; s++) {
      series[s].resize(720);
      for (u32 c = 0; c < 720; c++) series[s][c] = 400 + (c * (13 + 7 * s) + s * 900) % 2600;
    }
    chart::Look l{};
    l.kind = k.kind;
    l.count = k.kind == 1 ? 2 : 3;
    l.flags = chart::flag_long | chart::flag_grid;
    l.dot_mask = 1;
    l.margin = 2;
    l.thick = 256;
    l.thin = 128;
    l.max = 9000;
    l.background = 0x241C17;
    l.grid = 0x342A24;
    for (u32 s = 0; s < 3; s++) {
      l.sources[s] = chart::Source{reinterpret_cast<const u8*>(series[s].data()), 4, 0, 4};
      l.line[s] = 0x959F0F + s * 0x101010;
      l.fill[s] = 0xD4EA5E - s * 0x202020;
      l.alpha[s] = 38 + 64 * s;
    }
    Bench whole, columns;
    whole.layout({{0, 0, k.width, 90, k.step}}, k.dpi);
    columns.layout({{0, 0, k.width, 90, k.step}}, k.dpi);
    const chart::Track filled{720, 0, 720, 2, chart::long_rows, presence.data()};
    ASSERT_EQ(chart::sync_track(&whole.g, &whole.sheet, l, filled), 1u) << k.name;
    ASSERT_EQ(chart::sync_track(&columns.g, &columns.sheet, l, chart::Track{720, 0, 720, 1, chart::long_rows, none.data()}), 1u);
    ASSERT_EQ(chart::sync_track(&columns.g, &columns.sheet, l, filled), 1u);
    EXPECT_EQ(whole.area(0), columns.area(0)) << k.name;
    // Both drew something: filled columns and holes.
    const std::vector<u32> a = whole.area(0);
    EXPECT_NE(std::count(a.begin(), a.end(), draw::bgra(l.background)), static_cast<long>(a.size())) << k.name;
  }
}

TEST(ChartDraw, MirroredSeriesRiseAndFallFromTheMiddle) {
  Bench b;
  b.layout({{0, 0, 300, 60, 5}});
  for (u32 i = 0; i < 80; i++) b.push(15000, 0, 15000);
  chart::Look l = load_look(*b.r);
  l.kind = chart::kind_mirrored;
  l.flags = 0;
  l.dot_mask = 0;
  l.margin = 0;
  l.alpha[0] = l.alpha[1] = 255;
  l.sources[1] = chart::Source{reinterpret_cast<const u8*>(b.r->memory_mib), 4, 0, 4};
  ASSERT_EQ(b.sync(l), 1u);
  // 15000 of 20000 in half of 60 rows: series 0 fills rows 8..29 upward, series 1 rows 30..51 downward.
  EXPECT_EQ(b.at(0, 150, 20), draw::bgra(l.fill[0]));
  EXPECT_EQ(b.at(0, 150, 40), draw::bgra(l.fill[1]));
  EXPECT_EQ(b.at(0, 150, 3), draw::bgra(l.background));
  EXPECT_EQ(b.at(0, 150, 56), draw::bgra(l.background));
}

TEST(ChartDraw, CanvasShownOnBothRoadsAgrees) {
  Bench b;
  b.layout({{10, 10, 300, 60, 5}, {10, 80, 300, 40, 5}});
  for (u32 i = 0; i < 100; i++) b.push(wave(i), static_cast<u8>(i * 2));
  chart::Look area = load_look(*b.r);
  chart::Look heat = heat_look(*b.r);
  heat.slot = 1;
  ASSERT_EQ(b.sync(area), 1u);
  ASSERT_EQ(b.sync(heat), 1u);
  b.dump(0, "chart_area");
  b.dump(1, "chart_heat");
  // Checked by eye from the dumped images: two stacked waves with grid rows and a dot; a strip of two items.
  EXPECT_EQ(b.digest(0), "4b4e06a8c0e79db5");
  EXPECT_EQ(b.digest(1), "ff2a824951c73365");

  std::vector<u32> roads[2];
  for (u32 own = 0; own < 2; own++) {
    surface::Window w;
    if (own) ASSERT_EQ(w.start(330, 140), 0u);
    else w.start_gdi(330, 140);
    draw::Sheet sheet = b.sheet;
    if (own) draw::bind_sheet(&w.s, &sheet);
    w.paint([&] {
      draw::fill(&w.s, draw::Rect{0, 0, 330, 140}, 0x000000);
      for (u32 slot = 0; slot < 2; slot++) chart::show(&w.s, b.g, sheet, slot, false, draw::Rect{}, 0, 0, 0);
    });
    roads[own] = w.shown();
  }
  ASSERT_EQ(roads[0].size(), roads[1].size());
  EXPECT_EQ(surface::first_difference(roads[0], roads[1]), -1);
  // The shown pixels are the canvas's.
  EXPECT_EQ(roads[0][u64(10 + 30) * 330 + 10 + 100] & 0xFFFFFF, b.at(0, 100, 30) & 0xFFFFFF);
}

}  // namespace
