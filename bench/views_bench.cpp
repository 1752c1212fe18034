// What a resource page costs each second and on a resize: the chart synchronisation after one new sample (a shift
// and the uncovered columns of every chart), a full arrangement with its sheet fit, and the texts of a page.
#include <benchmark/benchmark.h>

#include <memory>

#include "sampling/machine.h"
#include "views/layout.h"
#include "views/views.h"

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

}  // namespace
