// The radix sort must stay linear in the number of keys, and rank must not depend on the data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "base/bits.h"

namespace {

std::vector<u32> random_keys(u32 count) {
  std::mt19937 rng(17);
  std::vector<u32> keys(count);
  for (u32& k : keys) k = rng();
  return keys;
}

void BM_Radix32(benchmark::State& state) {
  u32 count = static_cast<u32>(state.range(0));
  std::vector<u32> original = random_keys(count), keys(count), scratch(count);
  for (auto _ : state) {
    state.PauseTiming();
    keys = original;
    state.ResumeTiming();
    bits::radix32(keys.data(), count, scratch.data(), count);
    benchmark::DoNotOptimize(keys.data());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_Rank(benchmark::State& state) {
  u32 count = static_cast<u32>(state.range(0));
  std::vector<u32> keys = random_keys(count), probes = random_keys(1024);
  std::sort(keys.begin(), keys.end());
  u64 i = 0;
  for (auto _ : state) {
    ++i;
    benchmark::DoNotOptimize(bits::rank(keys.data(), count, probes[i & 1023], static_cast<u32>(i & 1)));
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Radix32)->Arg(1024)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_Rank)->Arg(1024)->Arg(1 << 20);
