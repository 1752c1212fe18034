// What a resource page costs each second and on a resize: the chart synchronisation after one new sample (a shift
// and the uncovered columns of every chart), a full arrangement with its sheet fit, and the texts of a page.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "drawing/draw.h"
#include "platform/gdi.h"
#include "sampling/machine.h"
#include "drawing/layout.h"
#include "views/histsource.h"
#include "views/overview.h"
#include "views/views.h"
#include "views/histchart.h"
#include "views/plots.h"
#include "views/render.h"
#include "views/texts.h"

namespace {

ring::Row row_at(u32 i) {
  ring::Row r{};
  r.load = static_cast<u16>(1000 + i * 37 % 8000);
  r.kernel = static_cast<u16>(500 + i * 13 % 2000);
  r.clock_mhz = 3400;
  r.memory_mib = 12288 + i % 512;
  r.power = static_cast<u16>(300 + i % 50);
  r.power_flags = 3;
  for (u32 c = 0; c < 64; ++c) r.core_load[c] = static_cast<u8>((i * 7 + c * 11) % 200);
  for (u32 d = 0; d < 16; ++d) r.disk_read[d] = (i * 97 + d) % 90000;
  for (u32 a = 0; a < 8; ++a) r.receive[a] = (i * 131 + a) % 120000;
  return r;
}

// A 64-core server with 4 disks, 2 adapters and power, 600 rows in its ring.
std::unique_ptr<machine::Machine> server() {
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  machine::set_counts(m.get(), 64, 4, 2);
  m->memory_total = 262144;
  for (u32 i = 0; i < 600; ++i) {
    ring::Row r = row_at(i);
    machine::push(m.get(), &r);
  }
  return m;
}

void tick(benchmark::State& state) {
  auto m = server();
  auto s = std::make_unique<views::ViewState>();
  views::init(s.get());
  if (state.range(0)) views::toggle(s.get());
  views::layout(s.get(), *m, 1280, 800);
  views::sync_all(s.get(), *m, false);
  u32 i = 600;
  for (auto _ : state) {
    ring::Row r = row_at(i++);
    machine::push(m.get(), &r);
    benchmark::DoNotOptimize(views::sync_all(s.get(), *m, false));
  }
  mem::release(&s->sheet_arena);
}
BENCHMARK(tick)->Arg(0)->Arg(1)->ArgName("small_multiples");

void resize(benchmark::State& state) {
  auto m = server();
  auto s = std::make_unique<views::ViewState>();
  views::init(s.get());
  views::toggle(s.get());
  i32 width = 1280;
  for (auto _ : state) {
    width = width == 1280 ? 1300 : 1280;
    views::layout(s.get(), *m, width, 800);
    benchmark::DoNotOptimize(s->sheet.pixels);
  }
  mem::release(&s->sheet_arena);
}
BENCHMARK(resize);

void texts(benchmark::State& state) {
  auto m = server();
  const u64 present = views::present(*m);
  for (auto _ : state) {
    for (u32 id = 0; id <= layout::view_power; ++id) {
      if (!((present >> id) & 1)) continue;
      words::Text t{};
      views::title_of(*m, id, &t);
      views::value_of(*m, id, &t);
      for (u32 row = 0; row < views::detail_count(id); ++row) {
        words::Text v{};
        views::detail_value(*m, id, row, &v);
        benchmark::DoNotOptimize(v.len);
      }
      benchmark::DoNotOptimize(t.len);
    }
  }
}
BENCHMARK(texts);

// A headless window drawn by the own renderer with the Lato font, as the window draws a resource page.
struct Window {
  static constexpr i32 width = 1280, height = 800;
  gdi::Handle window = 0;
  draw::Surface s{};

  bool open() {
    window = gdi::open_headless(width, height);
    const std::string folder = "/usr/share/fonts/truetype/lato";
    draw::init(&s, window, 0, mem::Bytes(reinterpret_cast<const u8*>(folder.data()), folder.size()));
    s.test_fonts = 1;
    if (draw::start_vimb(&s, width, height, 8, 16, 0, reinterpret_cast<const u8*>(folder.data()),
                         static_cast<u32>(folder.size())) != 0)
      return false;
    s.use_vimb = 1;
    return true;
  }
  ~Window() {
    draw::close(&s);
    gdi::close_window(window);
  }
  // True when the frame redrew only the queued bands.
  bool frame(views::ViewState* v, const machine::Machine& m) {
    return frame_of([&] { views::render(v, &s, m); });
  }
  template <typename Page>
  bool frame_of(Page page) {
    // As the window paints after a tick: the box of the queued shows is what it invalidated.
    if (s.show_count > 0) draw::limit_box(&s, draw::shows_box(s), true);
    if (draw::again(&s, window, width, height)) return true;
    draw::begin(&s, window, width, height);
    const bool partial = s.partial;
    draw::fill(&s, draw::Rect{0, 0, width, height}, 0x17120F);
    page();
    draw::present(&s, window, width, height);
    return partial;
  }
};

// One second of the CPU page of the 64-processor server as the window spends it: the new row, the bands it queues
// and the frame that redraws them, with the charts' catch-up (heat strip, or 64 small multiples).
void page_tick(benchmark::State& state) {
  auto m = server();
  Window w;
  if (!w.open()) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  auto s = std::make_unique<views::ViewState>();
  views::init(s.get());
  if (state.range(0)) views::toggle(s.get());
  views::set_frame_bottom(s.get(), Window::height);
  views::layout(s.get(), *m, Window::width, Window::height);
  draw::invalidate(&w.s);
  w.frame(s.get(), *m);
  u32 i = 600, partial = 0, bands = 0;
  for (auto _ : state) {
    ring::Row r = row_at(i++);
    machine::push(m.get(), &r);
    views::tick_parts(s.get(), *m, &w.s);
    bands += w.s.redo_count;
    draw::changed(&w.s);
    partial += w.frame(s.get(), *m);
  }
  state.counters["partial_frames"] = benchmark::Counter(partial, benchmark::Counter::kAvgIterations);
  state.counters["redo_bands"] = benchmark::Counter(bands, benchmark::Counter::kAvgIterations);
  mem::release(&s->sheet_arena);
}
BENCHMARK(page_tick)->Arg(0)->Arg(1)->ArgName("small_multiples")->Unit(benchmark::kMicrosecond);

// One second of the Overview page of the 64-processor server: the new row, the bands it marks and the frame that
// draws them (every card's chart caught up, the ring only when its disks changed).
void overview_tick(benchmark::State& state) {
  auto m = server();
  for (u32 a = 0; a < 2; ++a) m->link_mbps[a] = 1000;
  for (u32 d = 0; d < 4; ++d) m->disk_capacity[d] = 953869;
  Window w;
  if (!w.open()) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  auto s = std::make_unique<views::ViewState>();
  auto o = std::make_unique<overview::OverviewState>();
  views::init(s.get());
  overview::init(o.get());
  views::set_overview(s.get(), true);
  views::set_frame_bottom(s.get(), Window::height);
  overview::layout(o.get(), s.get(), *m, Window::width, Window::height);
  auto page = [&] { overview::render(o.get(), s.get(), &w.s, *m, nullptr); };
  draw::invalidate(&w.s);
  w.frame_of(page);
  u32 i = 600, partial = 0, bands = 0;
  for (auto _ : state) {
    ring::Row r = row_at(i++);
    machine::push(m.get(), &r);
    overview::tick_parts(o.get(), s.get(), *m, &w.s);
    bands += w.s.redo_count;
    draw::changed(&w.s);
    partial += w.frame_of(page);
  }
  state.counters["partial_frames"] = benchmark::Counter(partial, benchmark::Counter::kAvgIterations);
  state.counters["redo_bands"] = benchmark::Counter(bands, benchmark::Counter::kAvgIterations);
  mem::release(&s->sheet_arena);
}
BENCHMARK(overview_tick)->Unit(benchmark::kMicrosecond);

// A stored range's chart drawn again after its table changed (a live sample or an answer), for each range: the
// whole chart is redrawn from the table's columns. Also what filling a table from synthetic buckets costs.
// The CPU view's stored range as the test mode's synthetic source fills it.
localhist::Shown synthetic_cpu(u8 range) {
  localhist::Shown shown{};
  shown.range = range;
  shown.measure[0] = 0;
  shown.measure[1] = 255;
  shown.machine = -1;
  shown.test = true;
  shown.test_source = 2;
  return shown;
}

void stored_chart(benchmark::State& state) {
  auto m = server();
  auto s = std::make_unique<views::ViewState>();
  auto source = std::make_unique<localhist::Source>();
  views::init(s.get());
  localhist::init(source.get());
  source->test_source = 2;
  views::set_ranges(s.get(), 6);
  views::set_range(s.get(), static_cast<u32>(state.range(0)));
  const localhist::Shown shown = synthetic_cpu(static_cast<u8>(state.range(0)));
  localhist::HostLink link{};
  localhist::refresh(source.get(), shown, &link, 59961600);
  views::set_hist(s.get(), source->table);
  views::layout(s.get(), *m, 1280, 800);
  views::sync_all(s.get(), *m, false);
  for (auto _ : state) {
    ++source->table->changes;
    benchmark::DoNotOptimize(views::hist_sync(s.get(), *m));
  }
  localhist::close_source(source.get(), &link);
  mem::release(&s->sheet_arena);
}
BENCHMARK(stored_chart)->DenseRange(2, 5)->ArgName("range")->Unit(benchmark::kMicrosecond);

void synthetic_fill(benchmark::State& state) {
  auto source = std::make_unique<localhist::Source>();
  localhist::init(source.get());
  const localhist::Shown shown = synthetic_cpu(static_cast<u8>(state.range(0)));
  localhist::HostLink link{};
  for (auto _ : state) {
    localhist::refresh(source.get(), shown, &link, 59961600);
    benchmark::DoNotOptimize(source->table);
    localhist::close_source(source.get(), &link);
  }
}
BENCHMARK(synthetic_fill)->Arg(5)->ArgName("range")->Unit(benchmark::kMicrosecond);

}  // namespace
