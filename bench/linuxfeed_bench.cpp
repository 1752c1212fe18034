// The cost of serving a Linux build: a 16 MiB build held by the host's build service, sent in chunks to an agent's
// download session through a hub slot, with no sockets between them (reading, sealing, opening and hashing are
// all counted; both ends run in this one thread).
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "wire/peer.h"
#include "host/hub.h"
#include "host/linuxfeed.h"
#include "cluster/remote_update.h"

namespace {

constexpr u32 build_size = 16 * 1024 * 1024;

void write(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

struct World {
  char folder[64] = "/tmp/vimbrel-feed-bench-XXXXXX";
  std::unique_ptr<linuxfeed::Feed> feed = std::make_unique<linuxfeed::Feed>();
  std::unique_ptr<hub::Hub> h = std::make_unique<hub::Hub>();
  auth::KeyState key;
  u8 release_key[crypto_sign_PUBLICKEYBYTES];
  const u16 version[3] = {0, 1, 81};

  World() {
    if (mkdtemp(folder) == nullptr || sodium_init() < 0) abort();
    std::string build(build_size, '\0');
    for (u32 i = 0; i < build_size; ++i) build[i] = static_cast<char>(i * 131 >> 3);
    const char head[] = {0x7F, 'E', 'L', 'F', 2, 1};
    memcpy(build.data(), head, sizeof head);
    build[18] = 62;
    build[19] = 0;
    u8 pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES], digest[32];
    crypto_sign_keypair(pk, sk);
    sha256::sha256(mem::Bytes(reinterpret_cast<const u8*>(build.data()), build.size()), digest);
    u64 packed = remote_update::pack_version(0, 1, 81);
    u8 v[remote_update::version_text_max], signed_line[remote_update::signed_line_max];
    u32 vn = remote_update::version_text(packed, mem::Slice{v, sizeof v});
    u32 ln = remote_update::signed_line(mem::Bytes(v, vn), remote_update::arch_word(remote_update::arch_x86_64), digest,
                                        mem::Slice{signed_line, sizeof signed_line});
    crypto_sign_detached(sig, nullptr, signed_line, ln, sk);
    u8 name[64], line[remote_update::sums_line_max];
    std::string n(reinterpret_cast<char*>(name), remote_update::build_name(packed, 1, mem::Slice{name, 64}));
    std::string f = folder;
    write(f + "/" + n, build);
    write(f + "/" + n + ".sig", std::string(reinterpret_cast<char*>(sig), sizeof sig));
    u32 len = remote_update::sums_line(digest, mem::Bytes(name, n.size()), mem::Slice{line, sizeof line});
    write(f + "/" + n + ".sha256", std::string(reinterpret_cast<char*>(line), len));
    linuxfeed::init(feed.get(), packed, mem::Bytes(reinterpret_cast<const u8*>(folder), strlen(folder)), mem::Bytes(),
                    pk);
    memcpy(release_key, pk, sizeof release_key);
    const char secret[] = "cluster secret";
    auth::key_init(&key, mem::Bytes(reinterpret_cast<const u8*>(secret), sizeof secret - 1));
    hub::init(h.get(), &key, 7, version);
  }
  ~World() {
    linuxfeed::close(feed.get());
    std::string cmd = std::string("rm -rf '") + folder + "'";
    if (system(cmd.c_str()) != 0) abort();
  }

  // One whole download; the bytes the session took.
  u64 download(remote_update::Session* s) {
    const u8 id[16] = {7};
    remote_update::start_session(s, &key, id, remote_update::arch_x86_64, remote_update::pack_version(0, 1, 80),
                                 release_key);
    u8 nonce[16] = {1};
    remote_update::send_hello(s, mem::Bytes(nonce, 16), true, 0);
    u8 challenge[32] = {9};
    u32 slot = hub::admit(h.get(), mem::Bytes(challenge, 32), 0x7F000001, 0);
    u64 taken = 0;
    while (s->phase != remote_update::session_done && s->phase != remote_update::session_failed) {
      mem::Bytes out = remote_update::output(s);
      hub::Slot* sl = &h->slot[slot];
      memcpy(sl->in + sl->in_fill, out.ptr, out.len);
      hub::take_frames(h.get(), slot, static_cast<u32>(out.len), 0, 0);
      remote_update::sent(s, static_cast<u32>(out.len));
      linuxfeed::serve_chunks(feed.get(), h.get(), 0, 0, 0);
      u32 at = 0;
      while (at < sl->out_fill) {
        mem::Slice room = remote_update::input_room(s);
        u32 n = static_cast<u32>(room.len < sl->out_fill - at ? room.len : sl->out_fill - at);
        memcpy(room.ptr, sl->out + at, n);
        at += n;
        if (!remote_update::take_frames(s, n, 0)) break;
      }
      hub::consume_out(h.get(), slot, sl->out_fill);
      while (s->phase == remote_update::session_chunk) {
        taken += remote_update::chunk_data(s).len;
        remote_update::finish(s, true, 0);
      }
    }
    hub::free_slot(h.get(), slot);
    return s->result == remote_update::result_installed ? taken : 0;
  }
};

void BM_LinuxBuildTransfer(benchmark::State& state) {
  World w;
  auto session = std::make_unique<remote_update::Session>();
  u64 bytes = 0;
  for (auto _ : state) {
    u64 n = w.download(session.get());
    if (n != build_size) state.SkipWithError("the download did not complete");
    bytes += n;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_LinuxBuildTransfer)->Unit(benchmark::kMillisecond);

}  // namespace
