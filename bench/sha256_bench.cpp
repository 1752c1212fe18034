#include <benchmark/benchmark.h>

#include <vector>

#include "base/sha256.h"

// Throughput of whole buffers: the update path that digests files and update images.
static void BM_Sha256_64KiB(benchmark::State& state) {
  std::vector<u8> buffer(64 * 1024);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<u8>(i * 131 + 7);
  u8 digest[32];
  for (auto _ : state) {
    sha256::sha256(mem::Bytes(buffer.data(), buffer.size()), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_Sha256_64KiB);
