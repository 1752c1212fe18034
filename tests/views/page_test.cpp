// A resource page drawn into the own renderer's kept frame with the Lato font: the tiles and their give-way order,
// the texts of the tiles, the GPU and processor parts, the hover with its tooltip and top processes, and the bands a
// new second queues, checked against a whole redraw of the same state.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "drawing/curve.h"
#include "history/ptop.h"
#include "tests/drawing/surface.h"
#include "tests/views/machines.h"
#include "drawing/layout.h"
#include "views/views.h"
#include "views/histchart.h"
#include "views/plots.h"
#include "views/render.h"
#include "views/texts.h"
#include "views/tiles.h"

namespace {

using namespace fixtures;

constexpr i32 width = 1280, height = 800;

u32 argb(u32 colorref) { return draw::bgra(colorref); }

// One window with its view state, showing a machine.
struct Page {
  surface::Window w;
  State s;
  Machine* m;
  explicit Page(Machine* machine, bool whole_only = false) : m(machine) {
    EXPECT_EQ(w.start(width, height), 0u);
    w.s.whole_only = whole_only;
    views::set_frame_bottom(s.get(), height);
  }
  void show(u32 view, bool multiples = false) {
    views::select(s.get(), view);
    if (((s->flags & views::flag_multiples) != 0) != multiples) views::toggle(s.get());
    views::layout(s.get(), *m, width, height);
  }
  // One paint as the window runs it after queuing bands: a change is counted so that a frame is drawn.
  void paint() {
    if (w.s.redo_count || w.s.show_count) draw::changed(&w.s);
    w.paint([&] {
      draw::fill(&w.s, draw::Rect{0, 0, width, height}, 0x17120F);
      views::render(s.get(), &w.s, *m);
    });
  }
  void repaint_whole() {
    views::forget(s.get());
    draw::invalidate(&w.s);
    paint();
  }
  u32 at(i32 x, i32 y) const { return w.s.vimb->pixels[u64(y) * w.s.vimb->stride + x]; }
  using Box = std::array<i32, 4>;
  std::vector<Box> redo_list() const { return list(w.s.redo, w.s.redo_count); }
  std::vector<Box> show_list() const { return list(w.s.shows, w.s.show_count); }
  static std::vector<Box> list(const draw::List& l, u32 n) {
    std::vector<Box> out;
    for (u32 i = 0; i < n && i < draw::list_size; ++i) out.push_back(Box{l.left[i], l.top[i], l.right[i], l.bottom[i]});
    return out;
  }
};

// A row that moves every figure a page shows.
ring::Row busier(const Spec& spec, u32 i) {
  ring::Row r = row_of(spec, i);
  r.load = static_cast<u16>(2000 + 97 * (i % 60));
  r.kernel = static_cast<u16>(300 + 31 * (i % 40));
  r.clock_mhz = static_cast<u16>(2800 + i % 700);
  r.processes = static_cast<u16>(300 + i % 9);
  r.threads = 4000 + i % 17;
  r.uptime = 86400 + i;
  r.memory_mib = 9000 + 41 * (i % 90);
  for (u32 c = 0; c < 64; ++c) r.core_load[c] = static_cast<u8>((i * 7 + c * 13) % 200);
  for (u32 d = 0; d < 16; ++d) {
    r.disk_read[d] = 1000 + 211 * (i % 50);
    r.disk_busy[d] = static_cast<u8>(i % 200);
  }
  r.send[0] = 80 + 19 * (i % 30);
  r.receive[0] = 4000 + 1300 * (i % 11);
  for (u32 g = 0; g < 4; ++g) {
    r.gpu_load[g] = static_cast<u16>(1000 + 150 * (i % 40));
    for (u32 e = 0; e < 5; ++e) r.gpu_engines[g][e] = static_cast<u8>((i * 3 + e * 40) % 200);
    r.gpu_dedicated_mib[g] = 2000 + 10 * (i % 30);
  }
  return r;
}

std::vector<std::string> shown_labels(const State& s, const Machine& m) {
  const i32 w = s.s->content_right - s.s->content_left;
  const u32 n = layout::tile_cols(w, views::gpu_view(s.s->view) ? 5 : 6);
  const u32 count = views::tile_count(s.s->view);
  const u32 shown = layout::tiles_shown(n, views::tile_classes(m, s.s->view), count);
  std::vector<std::string> out;
  for (u32 i = 0; i < count; ++i) {
    if (!((shown >> i) & 1)) continue;
    mem::Bytes label;
    words::Text value{};
    views::tile_texts(*s.s, m, i, &label, &value);
    out.push_back(str(label));
  }
  return out;
}

// ---- Tiles and parts

TEST(ViewPage, TilesGiveWayOnNarrowPages) {
  using L = std::vector<std::string>;
  struct Case {
    const Spec* spec;
    u32 view;
    i32 window;  // the content is 268 px narrower
    L labels;
  } cases[] = {
      {&desktop, layout::view_cpu, 460, L{"Utilisation"}},
      {&desktop, layout::view_cpu, 900, L{"Utilisation", "Speed", "Processes", "Threads", "Handles", "Up time"}},
      {&desktop, layout::view_memory, 570, L{"In use", "Available", "Committed"}},
      {&laptop, layout::view_power, 460, L{"Now"}},
      {&laptop, layout::view_power, 500, L{"Now", "Energy"}},
      {&laptop, layout::view_power, 600, L{"Now", "Average", "Energy"}},
      {&laptop, layout::view_nics, 500, L{"Send", "Receive"}},
      {&laptop, layout::view_nics, 1400, L{"Send", "Receive", "Peak send", "Peak receive"}},
      {&desktop, layout::view_gpus, 460, L{"Utilisation"}},
      {&desktop, layout::view_gpus, 500, L{"Utilisation", "Dedicated"}},
      {&laptop, layout::view_gpus, 500, L{"Utilisation", "Shared"}},  // unified memory
      {&laptop, layout::view_gpus, 1400, L{"Utilisation", "Dedicated", "Shared", "Total memory", "Busiest"}},
  };
  for (const Case& c : cases) {
    auto m = make(*c.spec);
    State s;
    views::select(s.get(), c.view);
    views::arrange(s.get(), *m, c.window, 800);
    EXPECT_EQ(shown_labels(s, *m), c.labels) << c.spec->name << " view " << c.view << " at " << c.window;
  }
}

TEST(ViewPage, TileValues) {
  State s;
  auto value = [&](const Machine& m, u32 view, u32 i) {
    views::select(s.get(), view);
    mem::Bytes label;
    words::Text t{};
    views::tile_texts(*s.get(), m, i, &label, &t);
    return str(t);
  };
  auto m = make(desktop);
  EXPECT_EQ(value(*m, layout::view_memory, 1), "20.0 GB");
  // In use above the total, used above the capacity: nothing negative.
  ring::Row over = row_of(desktop, 70);
  over.memory_mib = 40000;
  over.disk_figure[0] = 2000000;
  machine::push(m.get(), &over);
  EXPECT_EQ(value(*m, layout::view_memory, 1), "0.0 GB");
  EXPECT_EQ(value(*m, layout::view_disks, 4), "0.0 GB");
  EXPECT_EQ(value(*m, layout::view_disks, 5), "931.5 GB");
  // The GPU's busiest engine: the first strictly highest.
  EXPECT_EQ(value(*m, layout::view_gpus, 4), "3D");
  ring::Row busy = row_of(desktop, 71);
  busy.gpu_engines[0][2] = 90;
  busy.gpu_engines[0][4] = 90;
  machine::push(m.get(), &busy);
  EXPECT_EQ(value(*m, layout::view_gpus, 4), "Video Decode");

  // Power over the ten-minute window: 600 readings of 12.5, 12.6 and 12.7 W.
  auto powered = make(laptop, 700);
  views::set_range(s.get(), 1);
  u32 counted = 0;
  EXPECT_EQ(views::ring_energy(*powered, 600, &counted), u64{126} * 600);
  EXPECT_EQ(counted, 600u);
  EXPECT_EQ(value(*powered, layout::view_power, 4), "2.10 Wh");
  EXPECT_EQ(value(*powered, layout::view_power, 5), "10 min");
  EXPECT_EQ(value(*powered, layout::view_power, 2), "12.6 W");
  // No reading in the window: energy and time measured are unknown.
  views::set_range(s.get(), 0);
  EXPECT_EQ(value(*m, layout::view_power, 4), "-");
  EXPECT_EQ(value(*m, layout::view_power, 5), "-");
  // An empty ring shows the placeholder in every live tile, but not in the fixed totals.
  auto empty = make(desktop, 0);
  EXPECT_EQ(value(*empty, layout::view_cpu, 0), "-");
  EXPECT_EQ(value(*empty, layout::view_gpus, 1), "-");
  EXPECT_EQ(value(*empty, layout::view_memory, 5), "32.0 GB");
}

TEST(ViewPage, EnergyTimeAndLabelTexts) {
  struct Energy {
    u64 tenths;
    const char* text;
  } energies[] = {{0, "0.00 Wh"}, {359999, "10.00 Wh"}, {360000, "10.0 Wh"}, {35999999, "1000.0 Wh"},
                  {36000000, "1.00 kWh"}, {1234567890, "34.29 kWh"}};
  for (const Energy& e : energies) {
    words::Text t{};
    views::energy_words(&t, e.tenths);
    EXPECT_EQ(str(t), e.text) << e.tenths;
  }
  struct Time {
    u32 seconds;
    const char* text;
  } times[] = {{0, "0 s"}, {90, "90 s"}, {119, "119 s"}, {120, "2 min"}, {7199, "119 min"},
               {7200, "2.0 h"}, {172799, "47.9 h"}, {172800, "2.0 days"}};
  for (const Time& c : times) {
    words::Text t{};
    views::measured_words(&t, c.seconds);
    EXPECT_EQ(str(t), c.text) << c.seconds;
  }
  struct Range {
    u32 row, columns, cores;
    const char* text;
  } ranges[] = {{0, 4, 6, "0-3"}, {1, 4, 6, "4-5"}, {7, 8, 64, "56-63"}, {2, 4, 9, "8-8"}};
  for (const Range& r : ranges) {
    words::Text t{};
    views::core_range(&t, r.row, r.columns, r.cores);
    EXPECT_EQ(str(t), r.text);
  }
  // Heat-strip numbers: every core from 12 px rows, else multiples of 4 far enough apart to be read.
  for (i32 h = 1; h <= 16; ++h) {
    const u32 k = views::label_every(h);
    if (h >= 12) {
      EXPECT_EQ(k, 1u);
    } else {
      EXPECT_EQ(k % 4, 0u) << h;
      EXPECT_GE(static_cast<i32>(k) * h, 14) << h;
      EXPECT_LT(static_cast<i32>(k - 4) * h, 14) << h;
    }
  }
}

// ---- Drawing

TEST(ViewPage, DrawsTheFurnitureOfTheCpuPage) {
  auto m = make(desktop);
  Page p(m.get());
  p.show(layout::view_cpu);
  p.paint();
  // The Overview item's four blocks, the chosen range button with its accent, the heat-strip toggle with its accent.
  EXPECT_EQ(p.at(20, 64), argb(0x959F0F));
  EXPECT_EQ(p.at(60, 88), argb(0xE04AB0));
  const draw::Rect chosen = views::range_rect(*p.s.get(), 0);
  EXPECT_EQ(p.at(chosen.left + 2, chosen.top + 2), argb(0x463A2C));
  EXPECT_EQ(p.at(chosen.left + 2, chosen.bottom - 1), argb(0xFFC14F));
  const draw::Rect other = views::range_rect(*p.s.get(), 1);
  EXPECT_EQ(p.at(other.left + 2, other.top + 2), argb(0x241C17));
  const i32 d = p.s->content_right - 240, y = p.s->cores_heading_y;
  EXPECT_EQ(p.at(d + 2, y + 4), argb(0x463A2C));
  EXPECT_EQ(p.at(d + 2, y + 21), argb(0xFFC14F));
  EXPECT_EQ(p.at(d + 126, y + 4), argb(0x17120F));
  // The heat legend's first and last swatches stand right of the heading.
  bool legend = false;
  for (i32 x = 244; x < d; ++x) legend |= p.at(x, y + 12) == argb(0x342A24);
  EXPECT_TRUE(legend);

  // Small multiples: the highlight moves to the second half of the toggle.
  p.show(layout::view_cpu, true);
  p.repaint_whole();
  EXPECT_EQ(p.at(d + 126, y + 4), argb(0x463A2C));
  EXPECT_EQ(p.at(d + 2, y + 4), argb(0x17120F));
}

TEST(ViewPage, HeadingGivesWayOnNarrowPages) {
  auto m = make(desktop);
  // Whether any pixel of a box differs from the page's background.
  auto inked = [](Page& p, i32 x0, i32 y0, i32 x1, i32 y1) {
    for (i32 y = y0; y < y1; ++y)
      for (i32 x = x0; x < x1; ++x)
        if (p.at(x, y) != argb(0x17120F)) return true;
    return false;
  };
  auto swatch = [](Page& p, u32 colour) {
    for (i32 x = p.s->content_left; x < p.s->content_right; ++x)
      if (p.at(x, 84 + 10) == argb(colour)) return true;
    return false;
  };
  struct Case {
    i32 window;
    u32 ranges, range;
    bool sub_title, legend;
  } cases[] = {
      {1280, 2, 0, true, true},
      {1280, 6, 2, true, false},  // a stored range: no legend
      {700, 6, 0, false, true},   // under 40 px of room with six ranges: the sub-title goes, title and buttons stay
      {700, 2, 0, true, true},
      {500, 2, 0, false, false},  // no room even for the ellipsis; the caption leaves none for the legend
  };
  for (const Case& c : cases) {
    Page p(m.get());
    views::set_ranges(p.s.get(), c.ranges);
    views::set_range(p.s.get(), c.range);
    views::select(p.s.get(), layout::view_disks);
    views::layout(p.s.get(), *m, c.window, height);
    p.repaint_whole();
    words::Text title{};
    views::title_of(*m, layout::view_disks, &title);
    const i32 after_title = p.s->content_left + chart::measure(&p.w.s, 0, mem::Bytes(title.bytes, title.len)) + 16;
    const i32 buttons = views::range_rect(*p.s.get(), 0).left;
    EXPECT_EQ(inked(p, after_title, 58, buttons, 82), c.sub_title) << c.window << " " << c.ranges;
    EXPECT_TRUE(inked(p, p.s->content_left, 58, after_title - 16, 82)) << c.window;
    EXPECT_EQ(swatch(p, 0xE65F5A), c.legend) << c.window << " range " << c.range;
  }
}

TEST(ViewPage, ANewSecondRedrawsWhatAWholeFrameWould) {
  // Every view of the desktop, the laptop and the 64-core server, both styles of the processor part and both live
  // ranges, with a tooltip: after a new row, a frame that redraws only the queued bands shows the same pixels as a
  // frame drawn whole.
  for (const Spec* spec : {&desktop, &laptop, &server}) {
    auto m = make(*spec, 100);
    Page part(m.get()), whole(m.get(), true);
    const u64 present = views::present(*m);
    for (u32 view = 0; view <= layout::view_power; ++view) {
      if (!((present >> view) & 1)) continue;
      for (u32 style = 0; style < (view == layout::view_cpu ? 4u : 2u); ++style) {
        for (Page* p : {&part, &whole}) {
          views::set_range(p->s.get(), style & 1);
          p->show(view, style >= 2);
          p->repaint_whole();
          // The pointer rests on the plot, so the tooltip is patched too.
          const bool gpu = views::gpu_view(view);
          views::hover_parts(p->s.get(), *m, &p->w.s, gpu ? p->s->grid.lx[32] + 50 : p->s->plot_x + 25 * p->s->step,
                             gpu ? p->s->grid.ly[32] + 10 : p->s->plot_y + 30);
          p->paint();
        }
        ring::Row r = busier(*spec, m->pushed);
        machine::push(m.get(), &r);
        views::tick_parts(part.s.get(), *m, &part.w.s);
        part.paint();
        draw::invalidate(&whole.w.s);
        whole.paint();
        const i64 at = surface::first_difference(part.w.kept(), whole.w.kept());
        ASSERT_EQ(at, -1) << spec->name << " view " << view << " style " << style << " at (" << at % width << ", "
                          << at / width << ")";
      }
    }
  }
}

TEST(ViewPage, AnUnchangedSecondQueuesNothing) {
  // The desktop's rows carry the same figures every second: with the page drawn and the pointer on the plot, a new
  // such row changes no text and no chart window, so nothing is queued. A changed row queues again.
  for (u32 view : {layout::view_cpu, layout::view_memory, layout::view_disks, layout::view_nics, layout::view_gpus}) {
    auto m = make(desktop, 100);
    Page p(m.get());
    p.show(view);
    p.repaint_whole();
    if (views::gpu_view(view)) {
      views::hover_parts(p.s.get(), *m, &p.w.s, p.s->grid.lx[32] + 100, p.s->grid.ly[32] + 10);
    } else {
      views::hover_parts(p.s.get(), *m, &p.w.s, p.s->plot_x + 200, p.s->plot_y + 50);
    }
    ASSERT_NE(p.s->hover_plot, 255) << view;
    p.paint();
    // The first tick after the page was laid out learns what the bands show.
    ring::Row same = row_of(desktop, m->pushed);
    machine::push(m.get(), &same);
    views::tick_parts(p.s.get(), *m, &p.w.s);
    p.paint();
    same = row_of(desktop, m->pushed);
    machine::push(m.get(), &same);
    views::tick_parts(p.s.get(), *m, &p.w.s);
    EXPECT_EQ(p.w.s.redo_count, 0) << view;
    EXPECT_EQ(p.w.s.show_count, 0) << view;
    ring::Row changed = busier(desktop, m->pushed);
    machine::push(m.get(), &changed);
    views::tick_parts(p.s.get(), *m, &p.w.s);
    EXPECT_GT(p.w.s.redo_count, 0) << view;
  }
}

TEST(ViewPage, ATickQueuesTheBandsThePageLists) {
  // A disk page with a temperature, rates that move the axis and a live tooltip: every band of the page changes.
  auto m = make(desktop, 100);
  m->temps.disk_mask = 1;
  Page p(m.get());
  p.show(layout::view_disks);
  p.repaint_whole();
  views::hover_parts(p.s.get(), *m, &p.w.s, p.s->plot_x + 30 * p.s->step, p.s->plot_y + 40);
  p.paint();
  ring::Row r = busier(desktop, m->pushed);
  machine::push(m.get(), &r);
  views::tick_parts(p.s.get(), *m, &p.w.s);
  p.paint();

  m->temps.disk[0] = 455;
  r = busier(desktop, m->pushed + 7);
  r.disk_read[0] = 700000;
  machine::push(m.get(), &r);
  views::tick_parts(p.s.get(), *m, &p.w.s);
  const std::vector<Page::Box> redo = p.redo_list(), shows = p.show_list();

  // What the page lists for a new row, queued on a clean surface.
  Page expected(m.get());
  const views::ViewState& s = *p.s.get();
  const i32 end = chart::span_end(s.grid, views::slot_main), right = std::max<i32>(s.content_right, end + 72);
  const i32 bottom = s.plot_y + s.plot_height;
  draw::Surface* e = &expected.w.s;
  // The rail: every row's figures moved.
  const u64 present = views::present(*m);
  for (u32 id = 0; id < 30; ++id) {
    if (!((present >> id) & 1)) continue;
    const i32 top = views::rail_row_top(s, id);
    views::redo(e, 84, top + 8, 220, top + 46);
  }
  views::show_box(e, 0, views::rail_row_top(s, layout::view_cpu), 220, views::rail_row_top(s, layout::view_gpus) + 56);
  views::redo(e, s.content_left, 56, right, 84);
  views::redo(e, s.content_left, s.plot_y - 20, s.plot_x, bottom + 20);
  views::redo(e, end, s.plot_y - 20, right, bottom + 20);
  views::show_box(e, s.content_left, 56, right, bottom + 20);
  views::redo_shown(e, draw::Rect{s.content_left, s.tiles_top, right, s.tiles_top + 52});
  // The tooltip stays where it was: its value column, its header, the band below the layer lines and the dots.
  const draw::Rect tip{s.tip_box[0], s.tip_box[1], s.tip_box[2], s.tip_box[3]};
  ASSERT_GT(tip.right, tip.left);
  views::redo_shown(e, draw::Rect{tip.right - 88, tip.top + 26, tip.right, tip.bottom});
  views::redo_shown(e, draw::Rect{tip.left, tip.top, tip.right, tip.top + 26});
  views::redo_shown(e, draw::Rect{tip.left, tip.top + 26 + 36, tip.right - 88, tip.bottom});
  chart::Look look;
  views::resource_plot(&look, *m, s.view, views::slot_main, true, false);
  const i32 x = views::anchor(s).x;
  for (u32 layer = 0; layer < 2; ++layer) {
    const i32 y = views::dot_y(s, *m, look, layer);
    views::redo_shown(e, draw::Rect{x - 6, y - 6, x + 6, y + 6});
  }
  EXPECT_EQ(redo, expected.redo_list());
  EXPECT_EQ(shows, expected.show_list());
}

// ---- Hover and tooltips

TEST(ViewPage, HoverFindsPlotColumnAndCell) {
  auto m = make(server, 600);
  State s;
  views::layout(s.get(), *m, width, height);
  const i32 x0 = s->plot_x, step = s->step;
  struct Case {
    i32 x, y;
    u32 plot, column, cell;
  } heat_cases[] = {
      {x0 + 30 * step, s->plot_y + 5, 0, 30, 0},                    // main plot, nearest boundary
      {x0 + 60 * step + 2, s->plot_y + 5, 0, 60, 0},                // right end: the newest sample
      {x0 + 30 * step + 1, s->cores_top + 2 * s->core_row_height, 1, 31, 2},  // heat strip cell
      {x0 - 1, s->plot_y + 5, 255, 0, 0},                           // left of the plot
      {x0 + 10, s->cores_top - 1, 255, 0, 0},                       // between plot and processors
  };
  for (const Case& c : heat_cases) {
    views::hover(s.get(), c.x, c.y);
    EXPECT_EQ(s->hover_plot, c.plot) << c.x << "," << c.y;
    if (c.plot == 255) continue;
    EXPECT_EQ(s->hover_column, c.column) << c.x << "," << c.y;
    EXPECT_EQ(s->hover_cell, c.cell) << c.x << "," << c.y;
  }
  EXPECT_FALSE(views::hover(s.get(), heat_cases[4].x, heat_cases[4].y));
  EXPECT_TRUE(views::hover(s.get(), heat_cases[0].x, heat_cases[0].y));

  // Small multiples: the 6-px gap under a chart still hovers it; right of a chart inside its cell hovers nothing.
  views::toggle(s.get());
  views::layout(s.get(), *m, width, height);
  const i32 pitch = s->small_pitch, top = s->cores_top, chart_h = s->small_height;
  views::hover(s.get(), x0 + pitch + 5, top + (chart_h + 6) + chart_h + 3);
  EXPECT_EQ(s->hover_plot, 32);
  EXPECT_EQ(s->hover_cell, 1 + s->small_columns);
  EXPECT_EQ(views::hovered_row(*s.get()), 32u + 1 + s->small_columns);
  const i32 chart_w = chart::span_end(s->grid, 32) - s->grid.lx[32];
  ASSERT_LT(chart_w, pitch - 1);
  views::hover(s.get(), x0 + pitch - 1, top + 5);
  EXPECT_EQ(s->hover_plot, 255);

  // A GPU page hovers its engine and memory charts, a later hit winning.
  auto g = make(gpus4);
  State t;
  views::select(t.get(), layout::view_gpus + 1);
  views::layout(t.get(), *g, width, height);
  for (u32 slot : {32u, 36u, 37u, 38u}) {
    views::hover(t.get(), t->grid.lx[slot] + 3, t->grid.ly[slot] + 3);
    EXPECT_EQ(t->hover_plot, slot);
    EXPECT_TRUE(views::gpu_hover(*t.get()));
  }
}

TEST(ViewPage, TooltipPlaceAndLines) {
  auto m = make(desktop, 30);  // thirty rows: half the chart holds data
  State s;
  views::layout(s.get(), *m, width, height);
  const i32 x0 = s->plot_x, step = s->step;
  // Older than the ring: nothing.
  views::hover(s.get(), x0 + 20 * step, s->plot_y + 5);
  EXPECT_EQ(views::hover_back(*s.get()), 40u);
  EXPECT_EQ(views::tip_rect(*s.get(), *m, 2).right, 0);
  // Within the ring: header, two layers and no processes (no ring of top processes bound).
  views::hover(s.get(), x0 + 40 * step, s->plot_y + 5);
  EXPECT_EQ(views::hover_back(*s.get()), 20u);
  draw::Rect tip = views::tip_rect(*s.get(), *m, 2);
  EXPECT_EQ(tip.left, views::anchor(*s.get()).x + 14);
  EXPECT_EQ(tip.top, s->plot_y + 8);
  EXPECT_EQ(tip.right - tip.left, 168);
  EXPECT_EQ(tip.bottom - tip.top, 16 + 18 * 3);
  // Close to the page's right edge the box opens to the left of the marker.
  State narrow;
  views::layout(narrow.get(), *m, 700, height);
  views::hover(narrow.get(), narrow->plot_x + 60 * narrow->step, narrow->plot_y + 5);
  const views::Anchor a = views::anchor(*narrow.get());
  ASSERT_GT(a.x + 182, narrow->content_right);
  EXPECT_EQ(views::tip_rect(*narrow.get(), *m, 2).left, a.x - 182);
  // A heat-strip cell of a processor the machine lacks shows nothing.
  views::hover(s.get(), x0 + 58 * step, s->cores_top + 1);
  EXPECT_EQ(s->hover_plot, 1);
  EXPECT_GT(views::tip_rect(*s.get(), *m, 2).right, 0);
  s->hover_cell = 40;
  EXPECT_EQ(views::tip_rect(*s.get(), *m, 2).right, 0);
}

TEST(ViewPage, TooltipAgesSurviveARestartOfTheStamps) {
  auto m = make(desktop, 30);
  // The collector restarted: its stamps begin again at 0.
  for (u32 i = 0; i < 5; ++i) {
    ring::Row r = row_of(desktop, i);
    machine::push(m.get(), &r);
  }
  EXPECT_EQ(views::seconds_back(*m, 3), 3u);
  EXPECT_EQ(views::seconds_back(*m, 10), 10u);  // across the restart: one second a row, not 4 billion
  EXPECT_EQ(views::seconds_back(*m, 0), 0u);
  // Gaps in the stamps still count as seconds.
  ring::Row late = row_of(desktop, 65);
  machine::push(m.get(), &late);
  EXPECT_EQ(views::seconds_back(*m, 1), 61u);
}

TEST(ViewPage, TopProcessesOfTheHoveredMoment) {
  auto m = make(desktop, 100);
  auto ring = std::make_unique<ptop::Ring>();
  ptop::ring_init(ring.get());
  // The slot of row counter 100 less 10 rows back: step 9.
  const u32 slot = 9 % ptop::ring_slots;
  ring->filled |= u64{1} << slot;
  ring->step[slot] = 9;
  const char* names[3] = {"chrome", "code", "make"};
  for (u32 i = 0; i < 3; ++i) {
    const u32 h = ptop::name_hash(mem::Bytes(reinterpret_cast<const u8*>(names[i]), __builtin_strlen(names[i])));
    ptop::pool_add(ring.get(), h, mem::Bytes(reinterpret_cast<const u8*>(names[i]), __builtin_strlen(names[i])), 9);
    for (u32 metric = 0; metric < ptop::ring_measures; ++metric) {
      ring->hash[slot][metric][i] = h;
      ring->pid[slot][metric][i] = 100 + i;
      ring->value[slot][metric][i] = static_cast<u16>(30 - i);
    }
  }
  EXPECT_EQ(views::top_slot(100, 10), 9u);
  EXPECT_EQ(views::top_slot(5, 10), 0u);
  EXPECT_EQ(views::top_at(ring.get(), *m, 10), static_cast<i32>(slot));
  EXPECT_EQ(views::top_at(ring.get(), *m, 100), -1);  // older than the ring
  EXPECT_EQ(views::top_at(nullptr, *m, 10), -1);

  struct Case {
    u32 view, plot, metric, lines;
    const char* first_value;
  } cases[] = {
      {layout::view_cpu, 0, 0, 3, nullptr},
      {layout::view_memory, 0, 1, 3, nullptr},
      {layout::view_disks, 0, 2, 4, nullptr},           // with the caption "Process I/O, all disks"
      {layout::view_nics, 0, 5, 4, "30 conn."},         // with the caption "TCP connections"
      {layout::view_gpus, 33, 3, 3, nullptr},
      {layout::view_gpus, 37, 4, 3, nullptr},
      {layout::view_gpus, 38, 255, 0, nullptr},         // shared memory: no list
      {layout::view_power, 0, 255, 0, nullptr},
      {layout::view_cpu, 1, 255, 0, nullptr},           // heat strip
  };
  for (const Case& c : cases) {
    EXPECT_EQ(views::top_metric_of(c.view, c.plot), c.metric) << c.view << "/" << c.plot;
    EXPECT_EQ(views::top_lines(ring.get(), static_cast<i32>(slot), c.metric), c.lines) << c.view << "/" << c.plot;
    if (c.first_value) {
      words::Text t{};
      views::top_value(&t, c.metric, 30);
      EXPECT_EQ(str(t), c.first_value);
    }
  }
  EXPECT_EQ(str(views::top_caption(2)), "Process I/O, all disks");
  EXPECT_EQ(str(views::top_caption(5)), "TCP connections");

  // On the page: the disk tooltip grows by the caption and three processes, and draws them.
  Page p(m.get());
  p.s->top_books = ring.get();
  p.show(layout::view_disks);
  views::hover(p.s.get(), p.s->plot_x + 50 * p.s->step, p.s->plot_y + 5);
  EXPECT_EQ(views::hover_top_lines(*p.s.get(), *m), 4u);
  EXPECT_EQ(views::tip_rect(*p.s.get(), *m, 2).bottom - p.s->plot_y - 8, 16 + 18 * 7);
  p.paint();
  const draw::Rect tip{p.s->tip_box[0], p.s->tip_box[1], p.s->tip_box[2], p.s->tip_box[3]};
  EXPECT_EQ(p.at(tip.left, tip.top + 20), argb(0x584C44));         // the frame
  EXPECT_EQ(p.at(tip.left + 3, tip.bottom - 3), argb(0x302620));   // the fill, down to the last process line
  const views::Anchor a = views::anchor(*p.s.get());
  EXPECT_EQ(p.at(a.x, p.s->plot_y + p.s->plot_height - 2), argb(0x908880));  // the marker
}

TEST(ViewPage, PointerMovesQueueTheOldAndNewTooltip) {
  auto m = make(desktop, 100);
  Page p(m.get());
  p.show(layout::view_cpu);
  p.repaint_whole();
  const i32 x = p.s->plot_x + 30 * p.s->step, y = p.s->plot_y + 20;
  EXPECT_TRUE(views::hover_parts(p.s.get(), *m, &p.w.s, x, y));
  p.paint();
  const draw::Rect first{p.s->tip_box[0], p.s->tip_box[1], p.s->tip_box[2], p.s->tip_box[3]};
  ASSERT_GT(first.right, first.left);
  EXPECT_TRUE(views::hover_parts(p.s.get(), *m, &p.w.s, x + 4 * p.s->step, y));
  // The old box and the new one are queued.
  const std::vector<Page::Box> shows = p.show_list();
  auto covers = [&](const draw::Rect& r) {
    return std::any_of(shows.begin(), shows.end(), [&](const Page::Box& q) {
      return q[0] <= r.left && q[1] <= r.top && q[2] >= r.right && q[3] >= r.bottom;
    });
  };
  EXPECT_TRUE(covers(first));
  const draw::Rect second = views::tip_rect(*p.s.get(), *m, 2);
  EXPECT_TRUE(covers(second));
  p.paint();
  EXPECT_TRUE(views::leave_parts(p.s.get(), *m, &p.w.s));
  EXPECT_FALSE(views::leave_parts(p.s.get(), *m, &p.w.s));
  p.paint();
  // Gone: the plot shows again where the box stood.
  EXPECT_NE(p.at(second.left + 3, second.top + 3), argb(0x302620));
}

}  // namespace

// ---- Stored ranges

namespace {

// A history table of a range in its own arena, every column filled with a known value when asked.
struct Stored {
  mem::Arena arena{};
  hist::Table* t = nullptr;
  Stored(u32 range, u8 measure0, u8 measure1 = hist::no_measure) {
    const u8 id[16] = {};
    EXPECT_EQ(mem::arena_init(&arena, hist::table_bytes(range, 2) + 4096), 1u);
    t = static_cast<hist::Table*>(hist::take(&arena, sizeof(hist::Table)));
    EXPECT_TRUE(hist::bind(t, &arena, range, measure0, measure1, id, 59961600));
  }
  ~Stored() { mem::release(&arena); }
  // Each column's bucket holds value (measures 0-5) with a spread of 1,000 around it.
  void fill(u32 value, u32 from = 0) {
    for (u32 c = from; c < t->columns; ++c) {
      store::Bucket b{};
      b.slot = t->first + c * t->column_seconds;
      for (u32 k = 0; k < 6; ++k) {
        b.min[k] = static_cast<u16>(value - 1000);
        b.mean[k] = static_cast<u16>(value);
        b.max[k] = static_cast<u16>(value + 1000);
      }
      EXPECT_TRUE(hist::fold(t, &b));
    }
    t->state = hist::state_data;
    ++t->changes;
  }
};

std::string text_of(void (*f)(words::Text*, u32), u32 v) {
  words::Text t{};
  f(&t, v);
  return str(t);
}

}  // namespace

TEST(StoredRange, TextsAndMeasures) {
  const struct {
    u32 seconds;
    const char* text;
  } ages[] = {{59, "0 min ago"}, {3600, "1 h ago"}, {172799, "47 h ago"}, {172800, "2 days ago"}};
  for (const auto& a : ages) EXPECT_EQ(text_of(views::hist_ago, a.seconds), a.text) << a.seconds;

  const struct {
    u32 view;
    u8 first, second;
    const char* caption;
  } views_table[] = {
      {0, 0, 255, "% utilisation, average with lowest to highest shaded, stored, "},
      {1, 2, 255, "% of memory in use, average with lowest to highest shaded, stored, "},
      {3, 3, 255, "Busiest disk, % active time, average with lowest to highest shaded, stored, "},
      {19, 7, 6, "All adapters, send above, receive below, stored, "},
      {27, 4, 255, "Busiest GPU, % utilisation, average with lowest to highest shaded, stored, "},
      {34, 8, 255, "Average draw in watts per slot, energy in the tiles, stored, "},
  };
  for (const auto& v : views_table) {
    SCOPED_TRACE(v.view);
    EXPECT_EQ(views::hist_field(v.view, false), v.first);
    EXPECT_EQ(views::hist_field(v.view, true), v.second);
    words::Text caption{};
    views::hist_caption(&caption, v.view);
    EXPECT_EQ(str(caption), v.caption);
  }
  EXPECT_EQ(str(views::average_name(19, 1)), "Receive avg");
  EXPECT_EQ(str(views::span_name(19, 0)), "Send peak");
  EXPECT_EQ(str(views::span_name(0, 0)), "Lowest-highest");
  words::Text w{};
  views::hist_value(&w, 34, 1250);
  EXPECT_EQ(str(w), "125 W");
}

// The status sentence of each state of the table, and of no table at all.
TEST(StoredRange, StatusSentences) {
  State s;
  EXPECT_EQ(str(views::hist_status(*s.get())), "Not enough memory to show stored history.");
  Stored cpu(3, 0), power(3, hist::energy_measure);
  const struct {
    hist::Table* t;
    u8 state;
    const char* text;
  } cases[] = {
      {cpu.t, hist::state_asking, "Loading stored history..."},
      {cpu.t, hist::state_data, ""},
      {cpu.t, hist::state_empty, "No stored history in this range yet."},
      {power.t, hist::state_empty,
       "No energy history in this range yet: the host or this computer does not record it."},
      {cpu.t, hist::state_no_source, "No stored history: no host and no history files on this computer."},
      {cpu.t, hist::state_unreachable, "Stored history needs the host, which is not connected."},
  };
  for (const auto& c : cases) {
    c.t->state = c.state;
    views::set_hist(s.get(), c.t);
    EXPECT_EQ(str(views::hist_status(*s.get())), c.text);
  }
}

// Every range spreads its own columns over the whole chart: a full table leaves no blank share at its left, and a
// column under the pointer gives its tooltip while one without data gives none.
TEST(StoredRange, ChartsCoverTheirWidthAndTooltipsReadTheColumns) {
  auto m = make(desktop, 600);
  for (u32 range = 2; range <= 5; ++range) {
    SCOPED_TRACE(range);
    Page p(m.get());
    views::set_ranges(p.s.get(), 6);
    views::set_range(p.s.get(), range);
    Stored table(range, 0);
    table.fill(5000);
    views::set_hist(p.s.get(), table.t);
    p.show(layout::view_cpu);
    p.paint();
    const i32 y = p.s->plot_y + p.s->plot_height / 2;  // the 50 % line lies inside every column's band
    const i32 left = p.s->plot_x + 2, right = chart::span_end(p.s->grid, 0) - 3;
    const u32 empty = p.at(left, p.s->plot_y + 3);
    EXPECT_NE(p.at(left, y), empty) << "the oldest columns are drawn";
    EXPECT_NE(p.at(right, y), empty) << "the newest columns are drawn";

    views::hover(p.s.get(), (left + right) / 2, y);
    EXPECT_EQ(p.s->hover_plot, 0);
    views::HistValues v;
    ASSERT_TRUE(views::hist_values(*p.s.get(), 0, &v));
    EXPECT_EQ(v.mean, 5000u);
    EXPECT_EQ(v.min, 4000u);
    EXPECT_EQ(v.max, 6000u);
    const draw::Rect tip = views::tip_rect(*p.s.get(), *m, 3);
    EXPECT_EQ(tip.bottom - tip.top, 16 + 18 * 3);
  }
  // Half a table: the pointer over its empty half has no tooltip.
  Page p(m.get());
  views::set_ranges(p.s.get(), 6);
  views::set_range(p.s.get(), 2);
  Stored half(2, 0);
  half.fill(5000, 180);
  views::set_hist(p.s.get(), half.t);
  p.show(layout::view_cpu);
  views::hover(p.s.get(), p.s->plot_x + 3, p.s->plot_y + 5);
  EXPECT_FALSE(views::hist_known(*p.s.get()));
  EXPECT_EQ(views::tip_rect(*p.s.get(), *m, 3).right, 0);
}
