#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/sha256.h"
#include "cluster/remote_update.h"
#include "platform/fs.h"
#include "update/update.h"

// Verifying a release: SHA-256 of the whole file through its handle, then the Ed25519 signature over the short line
// that names its version, architecture and digest. A 64 MiB release, the download limit, is the worst case a check at
// install meets.
static void BM_VerifyRelease(benchmark::State& state) {
  u64 size = u64(state.range(0)) << 20;
  std::string folder = "/tmp/vimbrel-bench-XXXXXX";
  if (!mkdtemp(folder.data())) return state.SkipWithError("no temporary folder");
  std::string path = folder + "/release";
  std::vector<u8> body(size);
  for (u64 i = 0; i < size; i++) body[i] = u8(i * 131 + (i >> 9));
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 || write(fd, body.data(), size) != ssize_t(size)) return state.SkipWithError("cannot write");
  u8 pk[32], sk[64], sig[64], digest[32];
  if (sodium_init() < 0) return state.SkipWithError("no libsodium");
  crypto_sign_keypair(pk, sk);
  sha256::sha256(mem::Bytes(body.data(), size), digest);
  u8 line[remote_update::signed_line_max];
  u32 n = remote_update::signed_line(mem::lit("0.1.82"), update::build_arch(), digest, mem::Slice{line, sizeof line});
  crypto_sign_detached(sig, nullptr, line, n, sk);
  update::Config config = update::make_config(mem::lit("0.1.81"));
  for (int i = 0; i < 32; i++) config.public_key[i] = pk[i];
  config.has_key = 1;
  update::Verdict verdict;
  for (auto _ : state) {
    u32 v = update::verify_file(&config, u64(fd) + 1, digest, update::Version{0, 1, 82, -1},
                                update::Version{0, 1, 81, -1}, sig, &verdict);
    if (v != 0) state.SkipWithError("verdict");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
  close(fd);
  unlink(path.c_str());
  rmdir(folder.c_str());
}
BENCHMARK(BM_VerifyRelease)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);
