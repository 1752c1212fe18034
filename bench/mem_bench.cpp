#include <benchmark/benchmark.h>

#include "base/mem.h"

static void BM_ArenaAlloc(benchmark::State& state) {
  mem::Arena arena{};
  mem::arena_init(&arena, 1 << 24);
  for (auto _ : state) {
    mem::Slice s = mem::alloc(&arena, 64, 16);
    if (!s.ptr) arena.used = 0;
    benchmark::DoNotOptimize(s.ptr);
  }
  mem::release(&arena);
}
BENCHMARK(BM_ArenaAlloc);
