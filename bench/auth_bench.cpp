#include <benchmark/benchmark.h>

#include <vector>

#include "wire/auth.h"
#include "wire/proto.h"

// Sealing a frame costs hashing the frame and two more blocks: the key is absorbed once, at preparation. A ping
// (16 bytes), a sample (528) and the largest history frame (57,384) show the fixed part and the per-byte part.
static void BM_SealFrame(benchmark::State& state) {
  auth::KeyState key;
  auth::key_init(&key, mem::lit("benchmark key"));
  u32 frame = static_cast<u32>(state.range(0));
  std::vector<u8> buffer(frame + proto::tag_size);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<u8>(i * 31 + 3);
  u64 counter = 0;
  for (auto _ : state) {
    u32 n = auth::seal_frame(&key, auth::to_host, counter++, mem::Slice{buffer.data(), buffer.size()}, frame);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * frame);
}
BENCHMARK(BM_SealFrame)->Arg(16)->Arg(528)->Arg(57384);

// A connection's key: one HMAC and a key preparation per accepted handshake.
static void BM_SessionKey(benchmark::State& state) {
  auth::KeyState key, session;
  auth::key_init(&key, mem::lit("benchmark key"));
  u8 nonce[16] = {1}, challenge[32] = {2};
  for (auto _ : state) {
    auth::session_key(&key, nonce, challenge, &session);
    benchmark::DoNotOptimize(session);
  }
}
BENCHMARK(BM_SessionKey);
