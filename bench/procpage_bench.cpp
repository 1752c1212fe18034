// One tick of the Processes page with 1,000 processes, as the window runs it: the new table's figures, the list
// rebuilt (sorted by CPU), the page's incremental repaint (cells compared by change key, changed ones painted into the
// kept frame) and the paint that presents what it queued. Also a tick where nothing changed, and a scroll by one row.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "drawing/draw.h"
#include "pages/procpage.h"
#include "platform/gdi.h"

namespace {

constexpr u32 procs = 1000;
constexpr i32 width = 1280, height = 800;

struct Page {
  gdi::Handle window = 0;
  draw::Surface s{};
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();
  std::unique_ptr<procpage::PageLayout> page = std::make_unique<procpage::PageLayout>();
  bool ready = false;

  Page() {
    window = gdi::open_headless(width, height);
    const std::string folder = "/usr/share/fonts/truetype/lato";
    draw::init(&s, window, 0, mem::Bytes(reinterpret_cast<const u8*>(folder.data()), folder.size()));
    s.test_fonts = 1;
    if (draw::start_vimb(&s, width, height, 8, 16, 0, reinterpret_cast<const u8*>(folder.data()),
                         static_cast<u32>(folder.size())) != 0)
      return;
    s.use_vimb = 1;
    model::table_init(table.get());
    proclist::init(list.get());
    procpage::init(page.get());
    for (u32 i = 0; i < procs; ++i) {
      const std::string name = "application-" + std::to_string((i * 7919u) % procs) + ".exe";
      const u64 h = model::proc_upsert(table.get(), 4 * (i + 1), 4, i,
                                       mem::Bytes(reinterpret_cast<const u8*>(name.data()), name.size()));
      const u32 row = model::proc_row(table.get(), h);
      table->working_set[row] = (i * 101) % 50000;
      table->thread_count[row] = static_cast<u16>(i % 60 + 1);
    }
    figures(0, 1);
    proclist::rebuild(list.get(), table.get());
    procpage::layout(page.get(), width, height);
    ready = paint();
  }
  ~Page() {
    procpage::close(page.get());
    draw::close(&s);
    gdi::close_window(window);
  }

  // A new table. Mode 1, a usual second: every CPU figure moves a little and a tenth of the memory figures change, so
  // cells change and rows swap places. Mode 2, the worst: a different tenth of the processes leads each second, so
  // every shown row is another process. Mode 0: nothing changed.
  void figures(u32 tick, u32 mode) {
    for (u32 row = 0; row < table->count; ++row) {
      if (mode == 2) {
        table->cpu[row] = static_cast<u16>(row % 10 == tick % 10 ? (row * 37 + tick * 101) % 900 : row % 7);
      } else if (mode == 1) {
        table->cpu[row] = static_cast<u16>((row * 37) % 900 + (row * 7 + tick) % 5);
        if (row % 10 == tick % 10) table->working_set[row] += 1 + tick % 3;
      }
    }
  }
  bool paint() {
    if (s.redo_count || s.show_count) draw::changed(&s);
    if (draw::again(&s, window, width, height)) return true;
    draw::begin(&s, window, width, height);
    draw::fill(&s, draw::Rect{0, 0, width, height}, procpage::colour_row);
    procpage::render(page.get(), list.get(), table.get(), &s, 0);
    return draw::present(&s, window, width, height) != 0;
  }
};

// The page's work of one tick (rebuild and incremental repaint); the paint that presents what it queued runs outside
// the timing (it is the drawing layer's and the window's).
void BM_ProcPageTick(benchmark::State& state) {
  Page p;
  if (!p.ready) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  const u32 mode = static_cast<u32>(state.range(0));
  u32 tick = 1;
  for (auto _ : state) {
    p.figures(tick++, mode);
    proclist::rebuild(p.list.get(), p.table.get());
    procpage::clamp_scroll(p.page.get(), p.list.get());
    procpage::repaint_rows(p.page.get(), p.list.get(), p.table.get(), &p.s);
    state.PauseTiming();
    p.paint();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * procs);
}
BENCHMARK(BM_ProcPageTick)->Arg(0)->Arg(1)->Arg(2)->ArgName("changes")->Unit(benchmark::kMicrosecond);

void BM_ProcPageScrollOneRow(benchmark::State& state) {
  Page p;
  if (!p.ready) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  i64 step = 1;
  for (auto _ : state) {
    if (!procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.s, step)) {
      step = -step;
      procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.s, step);
    }
    p.paint();
  }
}
BENCHMARK(BM_ProcPageScrollOneRow)->Unit(benchmark::kMicrosecond);

}  // namespace
