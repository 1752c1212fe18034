// The Overview page: its card layout by the window's size, the top five processes, what a click on each card opens,
// the disk list and ring, hover over a chart and the ring, and the bands a new second marks.
#include "views/overview.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sampling/model.h"
#include "tests/drawing/surface.h"
#include "tests/views/machines.h"
#include "drawing/layout.h"
#include "views/render.h"

namespace {

using namespace fixtures;

struct Page {
  State v;
  std::unique_ptr<overview::OverviewState> o = std::make_unique<overview::OverviewState>();
  Machine* m;
  explicit Page(Machine* machine) : m(machine) {
    overview::init(o.get());
    views::set_overview(v.get(), true);
  }
  bool layout(i32 width, i32 height) {
    views::set_frame_bottom(v.get(), height);
    return overview::layout(o.get(), v.get(), *m, width, height);
  }
  // The card of a kind (and index), or -1.
  i32 card(u8 kind, u8 index = 0) const {
    for (u32 c = 0; c < o->card_count; ++c)
      if (o->card_kind[c] == kind && o->card_index[c] == index) return static_cast<i32>(c);
    return -1;
  }
  u32 count(u8 kind) const {
    u32 n = 0;
    for (u32 c = 0; c < o->card_count; ++c) n += o->card_kind[c] == kind;
    return n;
  }
};

void connect(Machine* m, u32 adapters) {
  for (u32 i = 0; i < adapters; ++i) m->link_mbps[i] = 1000;
}

TEST(Overview, CardsBySize) {
  auto m = make(gpus4);
  connect(m.get(), 1);
  Page p(m.get());
  // H = height - 128: 519 has no row of small cards, 520 has it.
  EXPECT_TRUE(p.layout(1280, 647));
  EXPECT_EQ(p.count(overview::card_gpu), 0u);
  EXPECT_TRUE(p.layout(1280, 648));
  EXPECT_EQ(p.count(overview::card_gpu), 4u);
  EXPECT_EQ(p.count(overview::card_adapter), 0u) << "four columns hold the four GPUs";
  EXPECT_FALSE(p.layout(1280, 648)) << "nothing changed";
  connect(m.get(), 0);
  m->link_mbps[0] = 0;
  EXPECT_TRUE(p.layout(1280, 648)) << "the connected adapters changed";
  machine::set_counts(m.get(), m->cpus, m->disks + 1, m->nics);
  EXPECT_TRUE(p.layout(1280, 648)) << "a new arrangement of the views lays the cards out again";
  EXPECT_TRUE(chart::has_row(p.v->grid.bound, overview::slot_cpu)) << "and places their charts again";

  // Content 559 px: the disks card across the page and no top-processes card; 560: both side by side.
  EXPECT_TRUE(p.layout(559 + 268, 900));
  ASSERT_GE(p.card(overview::card_disks), 0);
  EXPECT_EQ(p.o->card_w[p.card(overview::card_disks)], 559);
  EXPECT_EQ(p.card(overview::card_tops), -1);
  EXPECT_TRUE(p.layout(560 + 268, 900));
  EXPECT_EQ(p.o->card_w[p.card(overview::card_disks)], 272);
  EXPECT_GE(p.card(overview::card_tops), 0);

  // A wide window centres a band of 2,056 px between 244 and width - 24.
  EXPECT_TRUE(p.layout(3000, 900));
  EXPECT_EQ(p.o->content_left, 244 + (3000 - 268 - 2056) / 2);
  EXPECT_EQ(p.o->content_right - p.o->content_left, 2056);
}

// Four GPUs, eight connected adapters and power in five columns: the GPUs and the first adapter get cards.
TEST(Overview, SmallCardsTakeTheColumnsInOrder) {
  auto m = make(gpus4);
  machine::set_counts(m.get(), 32, 2, 8);
  connect(m.get(), 8);
  m->ring.power_flags[machine::back_row(m.get(), 0)] = 1;
  m->power_flags = 1;
  Page p(m.get());
  const i32 width = 5 * 216 - 16 + 268;  // (w + 16) / 216 = 5
  p.layout(width, 900);
  EXPECT_EQ(p.count(overview::card_gpu), 4u);
  EXPECT_EQ(p.count(overview::card_adapter), 1u);
  EXPECT_GE(p.card(overview::card_adapter, 0), 0);
  EXPECT_EQ(p.count(overview::card_power), 0u);
}

TEST(Overview, TopFiveByCpuThenLowerPid) {
  auto t = std::make_unique<model::ProcTable>();
  model::table_init(t.get());
  model::proc_upsert(t.get(), 0, 0, 1, mem::lit("Idle"));
  const struct {
    u32 pid;
    u16 cpu;
  } procs[] = {{500, 300}, {40, 900}, {41, 900}, {7, 10}, {900, 2000}, {66, 0}, {12, 300}};
  for (const auto& p : procs) {
    const u64 h = model::proc_upsert(t.get(), p.pid, 1, 5, mem::lit("p"));
    t->cpu[model::proc_row(t.get(), h)] = p.cpu;
  }
  auto o = std::make_unique<overview::OverviewState>();
  overview::init(o.get());
  overview::take_tops(o.get(), t.get(), false);
  ASSERT_EQ(o->top_count, 5);
  const u32 order[] = {900, 40, 41, 12, 500};
  for (u32 i = 0; i < 5; ++i) {
    const u32 row = static_cast<u32>(o->top_keys[i] & 0xFFFF);
    EXPECT_EQ(t->pid[row], order[i]) << i;
    EXPECT_EQ(model::proc_row(t.get(), overview::top_row(*o, t.get(), i)), row);
  }
  EXPECT_EQ(overview::top_row(*o, t.get(), 5), model::no_handle);
}

// Each card opens its view; the top list its rows (not while measuring); the disks their view by list row.
TEST(Overview, ClickTargets) {
  auto m = make(desktop);
  connect(m.get(), 1);
  Page p(m.get());
  p.layout(1280, 800);
  auto inside = [&](i32 c, i32 dx, i32 dy) { return overview::view_at(*p.o, p.o->card_x[c] + dx, p.o->card_y[c] + dy); };
  EXPECT_EQ(inside(p.card(overview::card_cpu), 30, 60), 0);
  EXPECT_EQ(inside(p.card(overview::card_memory), 30, 60), 1);
  EXPECT_EQ(inside(p.card(overview::card_gpu, 0), 30, 60), 26);
  EXPECT_EQ(inside(p.card(overview::card_adapter, 0), 30, 60), 18);
  EXPECT_EQ(overview::view_at(*p.o, 230, 300), -1) << "the rail is no card";

  const i32 tops = p.card(overview::card_tops);
  p.o->top_count = 2;
  p.o->flags = 0;
  EXPECT_EQ(inside(tops, 10, 24 + 18 + 3), overview::target_rows + 1);
  EXPECT_EQ(inside(tops, 10, 24 + 36 + 3), overview::target_other) << "below the last process";
  EXPECT_EQ(inside(tops, 10, 5), overview::target_other) << "the header";
  p.o->flags = overview::flag_measuring;
  EXPECT_EQ(inside(tops, 10, 24 + 3), overview::target_other) << "while measuring";

  EXPECT_EQ(overview::view_at(*p.o, p.o->list_x + 5, p.o->list_y + 18 + 3), 3) << "disk 1's row";
  EXPECT_EQ(overview::view_at(*p.o, p.o->list_x + 5, p.o->list_y + 36 + 3), 2) << "below the list";
}

TEST(Overview, DiskListRowsAndLabels) {
  auto m = make(desktop);
  machine::set_counts(m.get(), 16, 6, 1);
  Page p(m.get());
  p.layout(1280, 800);
  const i32 c = p.card(overview::card_disks);
  EXPECT_EQ(p.o->disk_rows, 6) << "room for all";
  EXPECT_EQ(p.o->more_disks, 0);
  // Room for 4 rows ((card height - 24) / 18): 3 disks and a line for the other 3.
  p.o->card_h[c] = 24 + 4 * 18 + 5;
  overview::place_card(p.o.get(), p.v.get(), *m, static_cast<u32>(c));
  EXPECT_EQ(p.o->disk_rows, 3);
  EXPECT_EQ(p.o->more_disks, 3);
  const struct {
    const char* name;
    const char* label;
  } labels[] = {{"Disk 0 (C:)", "C:"}, {"Samsung SSD", "Samsung SSD"}, {"(D:) (E:)", "D:"}, {"x (open", "x (open"}};
  for (const auto& l : labels) EXPECT_EQ(str(overview::disk_label(mem::cstr(l.name))), l.label);
  EXPECT_EQ(overview::disk_colour(5), overview::disk_colour(4)) << "disks 4 and up share the fifth colour";
  words::Text other{};
  overview::other_disks_text(&other, *m, 4);
  EXPECT_EQ(str(other), "Other disks");
  EXPECT_EQ(overview::pie_radius(1), 0);
  EXPECT_EQ(overview::pie_radius(200), 200 * 128 - 256);
}

// Drawn on the own renderer: a refused chart shows its note, the ring answers the pointer with its owner, a chart
// column gives its tooltip, and a new second marks the bands the page lists and nothing else.
// The ring's square is filled at every DPI, also where the rounded width and height of its slot differ by a pixel:
// no black row or column under or beside it.
TEST(Overview, RingSquareHasNoEmptyEdgeAtAnyDpi) {
  for (const u32 dpi : {96u, 100u, 120u, 144u}) {
    SCOPED_TRACE(dpi);
    auto m = make(desktop, 600);
    connect(m.get(), 1);
    for (u32 d = 0; d < 2; ++d) m->ring.disk_figure[machine::back_row(m.get(), 0)][d] = 400000;
    surface::Window w;
    const i32 width = draw::to_px(1280, dpi), height = draw::to_px(800, dpi);
    ASSERT_EQ(w.start(width, height, dpi), 0u);
    Page p(m.get());
    views::set_dpi(p.v.get(), dpi);
    p.layout(1280, 800);
    w.paint([&] {
      draw::fill(&w.s, draw::Rect{0, 0, 1280, 800}, 0x201814);
      overview::render(p.o.get(), p.v.get(), &w.s, *m, nullptr);
    });
    ASSERT_NE(p.o->flags & overview::flag_pie_current, 0);
    i32 fw = 0, fh = 0;
    const u32* px = gdi::window_pixels(w.window, &fw, &fh);
    ASSERT_NE(px, nullptr);
    u32 black = 0;
    const i32 x0 = draw::to_px(p.o->pie_x, dpi), x1 = draw::to_px(p.o->pie_x + p.o->pie_size, dpi);
    const i32 y0 = draw::to_px(p.o->pie_y, dpi), y1 = draw::to_px(p.o->pie_y + p.o->pie_size, dpi);
    for (i32 y = y0; y < y1 && y < fh; ++y)
      for (i32 x = x0; x < x1 && x < fw; ++x) black += (px[u64(y) * fw + x] & 0xFFFFFF) == 0;
    EXPECT_EQ(black, 0u);
  }
}

TEST(Overview, DrawnPageHoverAndSecond) {
  auto m = make(desktop, 600);
  connect(m.get(), 1);
  for (u32 d = 0; d < 2; ++d) m->ring.disk_figure[machine::back_row(m.get(), 0)][d] = 400000;
  surface::Window w;
  ASSERT_EQ(w.start(1280, 800), 0u);
  Page p(m.get());
  p.layout(1280, 800);
  auto paint = [&] {
    if (w.s.redo_count || w.s.show_count) draw::changed(&w.s);
    w.paint([&] {
      draw::fill(&w.s, draw::Rect{0, 0, 1280, 800}, 0x201814);
      overview::render(p.o.get(), p.v.get(), &w.s, *m, nullptr);
    });
  };
  paint();
  ASSERT_NE(p.o->flags & overview::flag_pie_current, 0);

  // The CPU chart: its column under the pointer, a tooltip of header and one line.
  const u32 slot = overview::slot_cpu;
  const i32 x = p.v->grid.lx[slot] + 30 * p.v->grid.step[slot], y = p.v->grid.ly[slot] + 5;
  EXPECT_TRUE(overview::hover_at(p.o.get(), *p.v.get(), x, y));
  EXPECT_EQ(p.o->hovered_chart, slot);
  EXPECT_EQ(p.o->hovered_column, 30);
  EXPECT_FALSE(overview::hover_at(p.o.get(), *p.v.get(), x, y));
  draw::Rect tip = overview::tip_rect(*p.o, *p.v.get(), *m);
  EXPECT_EQ(tip.bottom - tip.top, 16 + 18 * 2);
  EXPECT_EQ(tip.left, overview::marker(*p.o, *p.v.get()).left + 14);

  // The ring: a point on disk 0's sector names its owner and a three-row tooltip.
  const i32 cx = p.o->pie_x + p.o->pie_size / 2, r = p.o->pie_size * 2 / 5;
  EXPECT_TRUE(overview::hover_at(p.o.get(), *p.v.get(), cx + 2, p.o->pie_y + p.o->pie_size / 2 - r));
  EXPECT_EQ(p.o->hovered_chart, overview::slot_pie);
  EXPECT_EQ(p.o->pie.series[p.o->hovered_sector], 0);
  tip = overview::tip_rect(*p.o, *p.v.get(), *m);
  EXPECT_EQ(tip.bottom - tip.top, 16 + 18 * 3);
  EXPECT_EQ(overview::view_at(*p.o, cx + 2, p.o->pie_y + p.o->pie_size / 2 - r), 2);
  EXPECT_TRUE(overview::leave(p.o.get(), p.v.get(), *m, &w.s));
  EXPECT_EQ(p.o->hovered_chart, overview::none);

  // A second: the heading band, each card's header and footer, the ring and list, the top card's rows.
  w.s.redo_count = w.s.show_count = 0;
  overview::tick_parts(p.o.get(), p.v.get(), *m, &w.s);
  EXPECT_FALSE(w.s.overflow);
  auto queued = [&](i32 left, i32 top, i32 right, i32 bottom) {
    for (u32 i = 0; i < w.s.redo_count; ++i)
      if (w.s.redo.left[i] <= left && w.s.redo.top[i] <= top && w.s.redo.right[i] >= right &&
          w.s.redo.bottom[i] >= bottom)
        return true;
    return false;
  };
  EXPECT_TRUE(queued(p.o->content_left, 56, p.o->content_right, 84)) << "the heading";
  const i32 cpu = p.card(overview::card_cpu);
  const i32 cx0 = p.o->card_x[cpu], cy0 = p.o->card_y[cpu], cx1 = cx0 + p.o->card_w[cpu], cy1 = cy0 + p.o->card_h[cpu];
  EXPECT_TRUE(queued(cx0, cy0, cx1, cy0 + 24)) << "the CPU card's header";
  EXPECT_TRUE(queued(cx0, cy1 - 20, cx1, cy1)) << "and its footer";
  EXPECT_FALSE(queued(cx0, cy0 + 30, cx0 + 20, cy0 + 40)) << "its chart is only shown again";
  EXPECT_TRUE(queued(p.o->pie_x, p.o->pie_y, p.o->pie_x + p.o->pie_size, p.o->pie_y + p.o->pie_size)) << "the ring";
  paint();

  // A chart the grid refuses shows the note in its place.
  p.o->not_placed = 1u << p.card(overview::card_memory);
  draw::invalidate(&w.s);
  paint();
  const i32 mem = p.card(overview::card_memory);
  u32 lit = 0;
  for (i32 yy = p.o->card_y[mem] + 24; yy < p.o->card_y[mem] + p.o->card_h[mem] - 20; ++yy)
    for (i32 xx = p.o->card_x[mem]; xx < p.o->card_x[mem] + p.o->card_w[mem]; ++xx)
      lit += w.s.vimb->pixels[u64(yy) * w.s.vimb->stride + xx] != draw::bgra(0x201814);
  EXPECT_GT(lit, 50u) << "the note is drawn";
  EXPECT_LT(lit, 5000u) << "and no chart";
}

TEST(Overview, ANewSecondShowsWhatAWholeFrameWould) {
  // Seconds that scroll the charts, with the disks' ring left alone or changed: a frame that redraws only what the
  // second queued shows the same pixels as a frame drawn whole, at the window's size and at full screen.
  for (const i32 width : {1280, 1920}) {
    const i32 height = width == 1280 ? 800 : 1080;
    auto m = make(desktop, 30);
    connect(m.get(), 1);
    surface::Window part_window, whole_window;
    ASSERT_EQ(part_window.start(width, height), 0u);
    ASSERT_EQ(whole_window.start(width, height), 0u);
    Page part(m.get()), whole(m.get());
    part.layout(width, height);
    whole.layout(width, height);
    auto paint = [&](surface::Window& w, Page& p) {
      if (w.s.redo_count || w.s.show_count) draw::changed(&w.s);
      w.paint([&] {
        draw::fill(&w.s, draw::Rect{0, 0, width, height}, 0x201814);
        overview::render(p.o.get(), p.v.get(), &w.s, *m, nullptr);
      });
    };
    paint(part_window, part);
    for (u32 second = 0; second < 5; ++second) {
      ring::Row r = row_of(desktop, m->pushed);
      r.load = static_cast<u16>(1000 + 1700 * second);
      r.receive[0] = 5000 + 900 * second;
      r.disk_figure[0] = second >= 3 ? 700000 : 400000;  // the ring changes once, on the fourth second
      machine::push(m.get(), &r);
      part_window.s.redo_count = part_window.s.show_count = 0;
      overview::tick_parts(part.o.get(), part.v.get(), *m, &part_window.s);
      paint(part_window, part);
      draw::invalidate(&whole_window.s);
      paint(whole_window, whole);
      const i64 at = surface::first_difference(part_window.kept(), whole_window.kept());
      ASSERT_EQ(at, -1) << width << " second " << second << " at (" << at % width << ", " << at / width << ")";
    }
  }
}

}  // namespace
