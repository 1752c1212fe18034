// Building one line of text with units, as the views, tooltips and reports do many times a frame.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "base/words.h"

namespace {

// Values spread over every tier, so the figures are not one lucky branch.
std::vector<u32> spread_values() {
  std::mt19937 rng(3);
  std::vector<u32> values(1024);
  for (u32& v : values) v = rng() >> (rng() % 32);
  return values;
}

template <typename Fill>
void run_lines(benchmark::State& state, Fill fill) {
  std::vector<u32> values = spread_values();
  u64 i = 0;
  for (auto _ : state) {
    words::Text line{};
    u32 v = values[i++ & 1023];
    fill(&line, v, values[(i * 7) & 1023]);
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ByteRate(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32) { words::byte_rate(t, a); });
}
void BM_BitPair(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32 b) { words::bit_pair(t, a, b); });
}
void BM_CpuLine(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32 b) { words::cpu_line(t, a % 10001, b % 6000); });
}
void BM_Uptime(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32) { words::uptime(t, a); });
}
void BM_GibPair(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32 b) { words::gib_pair(t, a, b); });
}
// A detail panel's longest kind of line: several figures with their units and labels.
void BM_PanelLine(benchmark::State& state) {
  run_lines(state, [](words::Text* t, u32 a, u32 b) {
    words::put(t, mem::lit("Memory "));
    words::gib_pair(t, a, b);
    words::put(t, mem::lit(", disk "));
    words::byte_rate(t, a);
    words::put(t, mem::lit(", network "));
    words::bit_pair(t, a, b);
    words::put(t, mem::lit(", up "));
    words::uptime(t, b);
  });
}
// A name longer than the line: the cut path.
void BM_CutAt272(benchmark::State& state) {
  static const std::vector<u8> name(300, 'n');
  run_lines(state, [](words::Text* t, u32, u32) { words::put(t, mem::Bytes(name.data(), name.size())); });
}

}  // namespace

BENCHMARK(BM_ByteRate);
BENCHMARK(BM_BitPair);
BENCHMARK(BM_CpuLine);
BENCHMARK(BM_Uptime);
BENCHMARK(BM_GibPair);
BENCHMARK(BM_PanelLine);
BENCHMARK(BM_CutAt272);
