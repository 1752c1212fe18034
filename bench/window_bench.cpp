// The window layer's costs per message: a post and its take within the thread, a post through the window's socket
// (what another process pays, plus the take), and the region work of one paint with a full dirty list.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/window.h"

namespace {

struct Headless {
  std::string folder;
  std::unique_ptr<win::Thread> t = std::make_unique<win::Thread>();
  win::Handle window = 0;
  Headless() {
    char pattern[] = "/tmp/vimbrel-bench-XXXXXX";
    folder = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    win::start(t.get(), win::start_headless);
    win::register_class(t.get(), mem::lit("Bench"), 0, 0, win::cursor_arrow, win::no_colour);
    window = win::create_window(t.get(), mem::lit("Bench"), 0, 0, 0, 0, 1280, 800);
  }
  ~Headless() {
    win::finish(t.get());
    std::string command = "rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0) return;
  }
};

void BM_PostAndTake(benchmark::State& state) {
  Headless h;
  win::Msg m{};
  for (auto _ : state) {
    win::post(h.t.get(), h.window, win::wm_app + 0x11, 1, 2);
    benchmark::DoNotOptimize(win::peek_message(h.t.get(), &m, 0, 0, 0, true));
  }
}
BENCHMARK(BM_PostAndTake);

void BM_PostThroughSocketAndTake(benchmark::State& state) {
  Headless h;
  win::Msg m{};
  for (auto _ : state) {
    win::post_remote(h.window, win::wm_app + 0x11, 0x5642000000000001ull, 2);
    benchmark::DoNotOptimize(win::peek_message(h.t.get(), &m, 0, 0, 0, true));
  }
}
BENCHMARK(BM_PostThroughSocketAndTake);

// A paint's question "does the update region hold more than the dirty rectangles": 64 rectangles in, 64 out.
void BM_RegionOfOnePaint(benchmark::State& state) {
  win::Rect rects[64];
  for (i32 i = 0; i < 64; ++i) rects[i] = win::Rect{(i % 8) * 160, (i / 8) * 100, (i % 8) * 160 + 150, (i / 8) * 100 + 90};
  for (auto _ : state) {
    win::Region r{};
    for (const win::Rect& rect : rects) win::region_add(&r, rect);
    for (const win::Rect& rect : rects) win::region_subtract(&r, rect);
    benchmark::DoNotOptimize(win::region_empty(r));
  }
}
BENCHMARK(BM_RegionOfOnePaint);

}  // namespace
