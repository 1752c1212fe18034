// The Internet page: its texts and scales as tables, the traffic figure, the layout arithmetic on the views' chart
// grid, and the page drawn into the software back buffer of a headless window, checked by its pixels: where the
// charts hold data and where not, the endpoint line that needs room, the tooltip and the hover mark.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "internet/page.h"
#include "internet/request.h"
#include "sampling/machine.h"
#include "sampling/ring.h"
#include "tests/drawing/surface.h"
#include "tests/support/testutil.h"
#include "drawing/layout.h"
#include "views/views.h"

namespace {

std::string str(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

template <typename F>
std::string text_of(F&& put) {
  words::Text t{};
  put(&t);
  return str(t);
}

// A probe with data but no file: its record set by hand, as the schedule would leave it.
struct Held {
  internet::Probe p{};
  std::unique_ptr<internet::ProbeData> data = std::make_unique<internet::ProbeData>();
  explicit Held(bool with_data = true) {
    memset(data.get(), 0, sizeof *data);
    internet::ring_clear(&data->ring);
    internet::table_clear(&data->tests);
    internet::schedule_init(&data->schedule, 1000);
    p.settings.on = 1;
    p.settings.schedule = internet::schedule_hourly;
    p.endpoint = internet::default_endpoint();
    if (with_data) p.data = data.get();
  }
};

TEST(InternetPage, AgesAndNextTest) {
  struct Age {
    u32 seconds;
    const char* ago;
    const char* age;
  } ages[] = {
      {0, "less than a minute ago", "now"},
      {59, "less than a minute ago", "59 s ago"},
      {60, "1 min ago", "1 min ago"},
      {3599, "59 min ago", "59 min ago"},
      {3600, "1 h 0 min ago", "1 h 0 min ago"},
      {3725, "1 h 2 min ago", "1 h 2 min ago"},
  };
  for (const Age& a : ages) {
    EXPECT_EQ(text_of([&](words::Text* t) { internet::put_ago(t, a.seconds); }), a.ago);
    EXPECT_EQ(text_of([&](words::Text* t) { internet::put_age(t, a.seconds); }), a.age);
  }
  Held h;
  struct Next {
    u32 next_test, now;
    u8 schedule;
    const char* text;
  } nexts[] = {
      {2000, 1960, internet::schedule_hourly, "Next test in 40 s"},
      {2000, 1941, internet::schedule_hourly, "Next test in 59 s"},
      {2000, 1940, internet::schedule_hourly, "Next test in 1 min"},
      {2000, 1939, internet::schedule_hourly, "Next test in 2 min"},  // minutes rounded up
      {2000, 2500, internet::schedule_hourly, "Next test in 0 s"},    // come already
      {2000, 1000, internet::schedule_off, "Speed test off"},
  };
  for (const Next& n : nexts) {
    h.p.settings.schedule = n.schedule;
    h.data->schedule.next_test = n.next_test;
    EXPECT_EQ(text_of([&](words::Text* t) { internet::put_next(t, &h.p, n.now); }), n.text);
  }
}

TEST(InternetPage, StatusAndTestLines) {
  Held h;
  auto status = [&] { return text_of([&](words::Text* t) { internet::page_status(t, &h.p); }); };
  EXPECT_EQ(status(), "Waiting for the first probe");
  h.data->schedule.probe_status = internet::probe_no_connection;
  EXPECT_EQ(status(), "No connection to Cloudflare");
  h.data->start_failed = 1;
  EXPECT_EQ(status(), "The internet probe could not start.");
  h.p.data = nullptr;
  EXPECT_EQ(status(), "Not enough memory for the internet probe.");
  h.p.settings.on = 0;
  EXPECT_EQ(status(), "Off: nothing is sent.");
  h.p.save_failed = 1;
  EXPECT_EQ(status(), "The internet settings file could not be saved.");  // the first that applies

  Held t;
  internet::Schedule& s = t.data->schedule;
  s.next_test = 1060;
  auto line = [&](u32 now) { return text_of([&](words::Text* x) { internet::page_test_line(x, &t.p, now); }); };
  EXPECT_EQ(line(1000), "No test yet. Next test in 1 min");
  s.flags |= internet::flag_last_test_known;
  s.last_test = 700;
  EXPECT_EQ(line(1000), "Last test 5 min ago. Next test in 1 min");
  s.test_status = internet::test_busy;
  s.next_test = 1300;
  EXPECT_EQ(line(1000),
            "Skipped: the network was busy; trying again in 5 min, last test 5 min ago. Next test in 5 min");
  s.pending = internet::request_speed;
  EXPECT_EQ(line(1000), "Testing.... Next test in 5 min");
  s.pending = internet::request_none;
  s.last_test = 1200;  // a clock that went back: the age reads 0
  s.test_status = internet::test_done_ok;
  EXPECT_EQ(line(1000), "Done, last test less than a minute ago. Next test in 5 min");
}

TEST(InternetPage, ScalesAndAxisLabels) {
  struct Scale {
    u32 v, latency, rate;
  } scales[] = {
      {0, 200, 1000},          {200, 200, 1000},       {201, 500, 1000},      {1001, 2000, 2000},
      {3000, 5000, 5000},      {15000, 20000, 20000},  {20001, 65535, 50000}, {4294967295u, 65535, 4294967295u},
  };
  for (const Scale& s : scales) {
    EXPECT_EQ(internet::latency_scale(s.v), s.latency) << s.v;
    EXPECT_EQ(internet::rate_scale(s.v), s.rate) << s.v;
  }
  struct Every {
    i32 height;
    u32 k;
  } everies[] = {{200, 1}, {80, 1}, {79, 2}, {40, 2}, {39, 4}, {30, 4}, {20, 4}, {19, 5}, {0, 5}};
  for (const Every& e : everies) EXPECT_EQ(internet::axis_every(e.height), e.k) << e.height;

  struct Label {
    u32 slot, scale, level;
    const char* text;
  } labels[] = {
      {internet::slot_latency, 200, 0, "20 ms"},     {internet::slot_latency, 500, 1, "37.5 ms"},
      {internet::slot_latency, 500, 4, "0 ms"},      {internet::slot_loss, 100, 2, "50 %"},
      {internet::slot_speed, 1000, 0, "1 Mbps"},     {internet::slot_speed, 1000, 1, "0.5 Mbps"},
      {internet::slot_speed, 1000, 2, "0 Mbps"},     {internet::slot_speed, 1000, 4, "1 Mbps"},
      {internet::slot_speed, 2000000, 0, "2 Gbps"},  {internet::slot_speed, 5000000, 3, "2.5 Gbps"},
      {internet::slot_speed, 500000, 3, "250 Mbps"},
  };
  for (const Label& l : labels) {
    u32 value = internet::axis_value(l.slot, l.scale, l.level);
    EXPECT_EQ(text_of([&](words::Text* t) { internet::put_axis(t, l.slot, value, l.scale); }), l.text);
  }
}

TEST(InternetPage, ChartHeadersAndScalesFollowTheData) {
  Held h;
  words::Text title{}, value{};
  internet::chart_title(&title, &value, internet::slot_speed, h.p.data);
  EXPECT_EQ(str(title), "Download above, upload below (last 61 completed tests)");
  EXPECT_EQ(str(value), "");  // no test yet: no value
  chart::Look look;
  internet::speed_chart(&look, &h.data->tests);
  EXPECT_EQ(look.max, 1000u);

  internet::put_test(&h.data->tests, 900, 95000, 21000);
  internet::put_test(&h.data->tests, 950, 4294967295u, 12);
  internet::speed_chart(&look, &h.data->tests);
  EXPECT_EQ(look.max, 4294967295u);  // 64-bit steps, saturated
  value = words::Text{};
  internet::chart_title(&title, &value, internet::slot_speed, h.p.data);
  EXPECT_EQ(str(value), "down 4295.0 Gbps, up 12 Kbps");

  internet::put_latency(&h.data->ring, 0, 12345);
  internet::put_latency(&h.data->ring, 0, 250000);
  internet::put_latency(&h.data->ring, 1, 0);  // lost: repeats the latency and jitter
  value = words::Text{};
  internet::chart_title(&title, &value, internet::slot_latency, h.p.data);
  EXPECT_EQ(str(value), "250.0 ms, jitter 14.8 ms");  // the jitter moves a sixteenth of the way
  value = words::Text{};
  internet::chart_title(&title, &value, internet::slot_loss, h.p.data);
  EXPECT_EQ(str(value), "33 % of the last minute's probes");
  internet::latency_chart(&look, &h.data->ring);
  EXPECT_EQ(internet::max_latency(&h.data->ring), 2500u + 148u);
  EXPECT_EQ(look.max, 5000u);
  EXPECT_EQ(internet::loss_over(&h.data->ring, 0, 3, 0), 2500u);
  EXPECT_EQ(internet::loss_over(&h.data->ring, 0, 3, 2), 33u);
  EXPECT_EQ(internet::loss_over(&h.data->ring, 2, 5, 0), 123u);  // only what the ring holds
}

TEST(InternetPage, TrafficFigure) {
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  machine::set_counts(m.get(), 4, 1, 3);
  EXPECT_EQ(internet::net_rate(*m), 0u);  // no row yet
  ring::Row r{};
  r.receive[0] = 5000, r.send[0] = 100, r.receive[2] = 900;
  r.receive[3] = 0xFFFFFFFF;  // beyond the adapter count: not counted
  machine::push(m.get(), &r);
  EXPECT_EQ(internet::net_rate(*m), 6000u * 8192 / 1000);
  for (u32 a = 0; a < 3; a++) r.receive[a] = r.send[a] = 0xFFFFFFFF;
  machine::push(m.get(), &r);
  EXPECT_EQ(internet::net_rate(*m), 0xFFFFFFFFu);  // saturated
}

// ---- Layout and drawing on a headless window.

std::unique_ptr<machine::Machine> small_machine() {
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  machine::set_counts(m.get(), 4, 1, 1);
  ring::Row r{};
  for (u32 i = 0; i < 5; i++) machine::push(m.get(), &r);
  return m;
}

struct Page {
  std::unique_ptr<views::ViewState> views = std::make_unique<views::ViewState>();
  std::unique_ptr<machine::Machine> m = small_machine();
  internet::PageState page;
  Page() {
    views::init(views.get());
    internet::page_init(&page);
  }
  ~Page() { mem::release(&views->sheet_arena); }
  void layout(i32 w, i32 h, bool shown = true) { internet::page_layout(&page, views.get(), *m, w, h, shown); }
};

TEST(InternetPage, LayoutOfTheThreeBlocks) {
  Page p;
  p.layout(1000, 882);
  EXPECT_EQ(p.page.left, 244);
  EXPECT_EQ(p.page.right, 976);
  // 500 spare pixels: 2/5, 1/5 and 2/5 of them.
  EXPECT_EQ(p.page.tops[0], 160);
  EXPECT_EQ(p.page.tops[1], 160 + 200 + 66);
  EXPECT_EQ(p.page.tops[2], 426 + 100 + 66);
  const chart::Grid& g = p.views->grid;
  EXPECT_EQ(g.lx[internet::slot_latency], 316);
  EXPECT_EQ(g.ly[internet::slot_latency], 190);
  EXPECT_EQ(g.lheight[internet::slot_latency], 200);
  EXPECT_EQ(g.lwidth[internet::slot_latency], 600);  // 60 columns of (1000 - 348) / 60 = 10 px
  EXPECT_EQ(g.lwidth[internet::slot_speed], 608);
  EXPECT_EQ(g.lheight[internet::slot_loss], 100);

  u16 arranged = p.views->arrangements;
  p.layout(1000, 882);  // nothing changed: nothing done
  EXPECT_EQ(p.views->arrangements, arranged);
  internet::page_unhover(&p.page, p.views.get());
  p.layout(1000, 882);  // after an unhover the layout runs in full
  EXPECT_NE(p.views->arrangements, arranged);

  p.layout(4000, 382);  // the fixed parts alone: charts of height 0
  EXPECT_EQ(p.page.chart_h[0], 0);
  EXPECT_EQ(p.page.chart_h[2], 0);
  EXPECT_EQ(p.page.tops[1], 160 + 66);
  p.layout(1000, 300);
  EXPECT_EQ(p.page.chart_h[1], 0);  // never negative

  Page hidden;
  hidden.layout(1000, 882, false);  // without data the charts are not placed
  EXPECT_FALSE(chart::has_row(hidden.views->grid.bound, internet::slot_latency));
}

struct Drawn : Page {
  surface::Window win;
  testutil::TempDir dir;
  mem::Arena shell{};
  internet::Probe probe{};
  i32 width, height;
  static constexpr u32 now = 4000000;
  static constexpr u32 back = 0x101010;

  // The probe under --test (synthetic data: 360 probes and 24 tests) on a window of the size.
  Drawn(i32 w, i32 h) : width(w), height(h) {
    win.start_gdi(w, h);
    EXPECT_EQ(mem::arena_init(&shell, 4096), 1u);
    internet::window_start(&probe, &page, &shell, harness::bytes(dir.path + "/t"), true, now);
    internet::toggle(&probe, now);
    layout(w, h, probe.data != nullptr);
  }
  ~Drawn() {
    internet::stop(&probe);
    mem::release(&shell);
  }
  void paint() {
    ASSERT_EQ(win.paint([&] {
      draw::fill(&win.s, draw::Rect{0, 0, width, height}, back);
      internet::draw_page(&page, views.get(), &win.s, &probe, now);
    }), 1u);
  }
  u32 at(i32 x, i32 y) const {
    i32 w = 0, h = 0;
    const u32* px = gdi::window_pixels(win.window, &w, &h);
    return px[u64(y) * w + x] & 0xFFFFFF;
  }
  static u32 colour(u32 colorref) { return draw::bgra(colorref) & 0xFFFFFF; }
  // Pixels of the rectangle that differ from the colour.
  u32 differing(i32 x0, i32 y0, i32 x1, i32 y1, u32 colorref) const {
    u32 n = 0;
    for (i32 y = y0; y < y1; y++)
      for (i32 x = x0; x < x1; x++) n += at(x, y) != colour(colorref);
    return n;
  }
  // A chart's x of column c (of 60) and its y range.
  i32 column_x(u32 slot, i32 c) const { return views->grid.lx[slot] + c * views->grid.step[slot]; }
};

TEST(InternetPage, ChartsShowTheStoredProbesAndTests) {
  Drawn d(1000, 882);
  ASSERT_NE(d.probe.data, nullptr);
  d.paint();
  const chart::Grid& g = d.views->grid;
  const u32 bg = 0x241C17;
  for (u32 slot : {internet::slot_latency, internet::slot_loss, internet::slot_speed}) {
    SCOPED_TRACE(slot);
    const i32 y0 = g.ly[slot] + 4, y1 = g.ly[slot] + g.lheight[slot] - 4;
    // 360 probes of 600: the oldest 24 of the 60 columns are empty; 24 tests: only the newest 24 columns hold one.
    const i32 empty_to = slot == internet::slot_speed ? 60 - 24 - 1 : 23;
    for (i32 c = 1; c < empty_to - 1; c += 5) {
      i32 x = d.column_x(slot, c) + 1;
      for (i32 y = y0; y < y1; y++) {
        u32 p = d.at(x, y);
        ASSERT_TRUE(p == Drawn::colour(bg) || p == Drawn::colour(0x342A24)) << "column " << c << " y " << y;
      }
    }
    u32 filled = 0;
    for (i32 c = empty_to + 3; c < 58; c++) filled += d.differing(d.column_x(slot, c), y0, d.column_x(slot, c) + 1, y1,
                                                                   bg) > u32(y1 - y0) / 16;
    EXPECT_GT(filled, 10u);
  }
  // The mirrored chart: downloads above the middle, uploads below it.
  const i32 mid = g.ly[internet::slot_speed] + g.lheight[internet::slot_speed] / 2;
  const i32 x = d.column_x(internet::slot_speed, 55);
  EXPECT_GT(d.differing(x, mid - 30, x + 1, mid - 5, bg), 10u);
  EXPECT_GT(d.differing(x, mid + 5, x + 1, mid + 30, bg), 10u);
  // Header, status and axis texts are drawn.
  EXPECT_GT(d.differing(244, 56, 330, 84, Drawn::back), 20u);   // "Internet"
  EXPECT_GT(d.differing(244, 84, 400, 104, Drawn::back), 20u);  // the status line
  EXPECT_GT(d.differing(244, g.ly[internet::slot_latency] - 10, 310, g.ly[internet::slot_latency] + 10,
                        Drawn::back), 10u);  // the top axis label
}

// The status and test lines are drawn whole, however long: after a failed test the test line says when the next one
// comes, past the 96 units that one text call takes.
TEST(InternetPage, LongTestLineIsDrawnWhole) {
  Drawn d(1600, 882);
  ASSERT_NE(d.probe.data, nullptr);
  internet::Schedule& s = d.probe.data->schedule;
  s.pending = internet::request_none;
  s.test_status = internet::test_failed;
  s.flags |= internet::flag_last_test_known;
  s.last_test = Drawn::now - 20;
  s.next_test = Drawn::now + 300;
  const std::string line = text_of([&](words::Text* t) { internet::page_test_line(t, &d.probe, Drawn::now); });
  ASSERT_GT(line.size(), 96u) << line;
  EXPECT_EQ(line.substr(line.size() - 18), "Next test in 5 min");
  d.paint();
  const i32 cut = 244 + chart::measure(&d.win.s, 3, harness::bytes(line.substr(0, 96)));
  const i32 whole = cut + chart::measure(&d.win.s, 3, harness::bytes(line.substr(96)));
  EXPECT_GT(d.differing(cut + 2, 104, whole, 124, Drawn::back), 20u) << "the end of the line";
  EXPECT_EQ(d.differing(whole + 4, 104, 1600, 124, Drawn::back), 0u) << "nothing drawn past it";
}

TEST(InternetPage, EndpointLineNeedsRoom) {
  Drawn wide(1000, 500), narrow(420, 500);
  wide.paint();
  narrow.paint();
  EXPECT_GT(wide.differing(500, 56, 976, 84, Drawn::back), 50u);
  const i32 after_title = 244 + chart::measure(&narrow.win.s, 0, mem::lit("Internet")) + 4;
  EXPECT_EQ(narrow.differing(after_title, 56, 396, 84, Drawn::back), 0u);  // too narrow for the whole line: none
}

TEST(InternetPage, HoverShowsTheColumnsTooltip) {
  Drawn d(1000, 882);
  d.paint();
  const chart::Grid& g = d.views->grid;
  const i32 x = d.column_x(internet::slot_latency, 30) + 3, y = g.ly[internet::slot_latency] + 50;
  EXPECT_TRUE(internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, x, y));
  EXPECT_EQ(d.page.hovered, internet::slot_latency);
  EXPECT_FALSE(internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, x, y));  // no change
  u32 back = 0, count = 0;
  ASSERT_TRUE(internet::hover_pick(&d.page, d.views.get(), d.probe.data, &back, &count));
  EXPECT_EQ(count, 1u);  // 600 probes over 600 pixels: one each
  EXPECT_EQ(back, 600u - 303 - 1);
  draw::Rect box{};
  i32 mark = 0;
  ASSERT_TRUE(internet::hover_box(&d.page, d.views.get(), d.probe.data, &box, &mark));
  EXPECT_EQ(box.left, mark + 14);
  EXPECT_EQ(box.top, g.ly[internet::slot_latency] + 8);
  EXPECT_EQ(box.right - box.left, 168);
  EXPECT_EQ(box.bottom - box.top, 70);
  d.paint();
  EXPECT_EQ(d.at(mark, y), Drawn::colour(0x908880));                    // the hover mark
  EXPECT_EQ(d.at(box.left + 100, box.bottom - 3), Drawn::colour(0x342A24));  // the box
  EXPECT_GT(d.differing(box.left + 8, box.top + 8, box.right - 8, box.top + 26, 0x342A24), 20u);  // its first line

  // Near the right edge the box turns to the left of the mark.
  const i32 right_x = d.column_x(internet::slot_loss, 59) + 2;
  internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, right_x, g.ly[internet::slot_loss] + 20);
  ASSERT_TRUE(internet::hover_box(&d.page, d.views.get(), d.probe.data, &box, &mark));
  EXPECT_EQ(box.left, mark - 182);
  EXPECT_EQ(box.bottom - box.top, 52);

  // The oldest columns hold no probe: no tooltip.
  internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, d.column_x(internet::slot_latency, 2),
                    g.ly[internet::slot_latency] + 20);
  EXPECT_EQ(d.page.hovered, internet::slot_latency);
  EXPECT_FALSE(internet::hover_box(&d.page, d.views.get(), d.probe.data, &box, &mark));
  // Outside the charts nothing is hovered.
  EXPECT_TRUE(internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, 100, 100));
  EXPECT_EQ(d.page.hovered, internet::no_chart);
}

// The speed-test chart's tooltip names the hovered test; without tests it shows none.
TEST(InternetPage, SpeedTestTooltip) {
  Drawn d(1000, 882);
  const chart::Grid& g = d.views->grid;
  const i32 y = g.ly[internet::slot_speed] + 20;
  internet::pointer(&d.page, d.views.get(), d.probe.data, &d.win.s, d.column_x(internet::slot_speed, 60) - 1, y);
  u32 back = 99, count = 0;
  ASSERT_TRUE(internet::hover_pick(&d.page, d.views.get(), d.probe.data, &back, &count));
  EXPECT_EQ(back, 0u);  // the newest test
  EXPECT_EQ(count, 1u);
  internet::table_clear(&d.probe.data->tests);
  EXPECT_FALSE(internet::hover_pick(&d.page, d.views.get(), d.probe.data, &back, &count));
}

}  // namespace
