#pragma once
// What the share tests have in common: a cluster key, hosts on one temporary folder with virtual clocks, and byte
// helpers over the files the hosts write.
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "wire/auth.h"
#include "history/share.h"
#include "history/shareprobe.h"
#include "history/shareread.h"
#include "history/sharering.h"
#include "tests/support/testutil.h"

namespace sharetest {

inline mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

inline auth::KeyState key_of(u8 seed) {
  u8 k[32];
  for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>(seed + i);
  auth::KeyState ks;
  auth::key_init(&ks, mem::Bytes(k, 32));
  return ks;
}

struct Id {
  u8 b[16];
  explicit Id(u8 v) {
    for (u32 i = 0; i < 16; ++i) b[i] = static_cast<u8>(v + i);
  }
};

// A host on the folder, with the virtual clock on so that pauses and deadlines do not depend on the machine.
inline std::unique_ptr<share::Share> host(const std::string& folder, u8 id, const auth::KeyState& key) {
  auto s = std::make_unique<share::Share>();
  Id i(id);
  share::init(s.get(), bytes(folder), &key, i.b, 0x0A000001, 7420, 0);
  share::advance_clock(s.get(), 1);
  return s;
}

inline std::vector<u8> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}

inline void write_all(const std::string& path, const std::vector<u8>& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline std::string term_text(u32 t) {
  u8 n[8];
  store::term_name(t, n);
  return std::string(reinterpret_cast<const char*>(n), 8);
}

inline std::string id_text(u8 id) {
  Id i(id);
  u8 n[32];
  store::id_name(i.b, n);
  return std::string(reinterpret_cast<const char*>(n), 32);
}

inline std::string ring_file(const std::string& folder, u32 term, u8 id, u32 type) {
  mem::Bytes n = store::ring_name(type);
  return folder + "/terms/" + term_text(term) + "/machines/" + id_text(id) + "/" +
         std::string(reinterpret_cast<const char*>(n.ptr), n.len);
}

inline store::Bucket bucket(u32 slot, u16 level) {
  store::Bucket b{};
  b.slot = slot;
  for (u32 m = 0; m < store::measures; ++m) b.min[m] = b.mean[m] = b.max[m] = level;
  return b;
}

// The head of a ring file on disk (decoded with the key); false when it does not decode.
inline bool head_of(const std::string& path, const auth::KeyState& key, store::RingHead* h) {
  std::vector<u8> b = read_all(path);
  return b.size() >= 64 && store::decode_head(&key, mem::Bytes(b.data(), 64), h) == 1;
}

// The slots of a ring's records oldest first, by its head.
inline std::vector<u32> slots_of(const std::string& path, const auth::KeyState& key) {
  store::RingHead h{};
  std::vector<u32> out;
  if (!head_of(path, key, &h)) return out;
  std::vector<u8> b = read_all(path);
  u32 first = store::oldest(h.next, h.filled, h.type);
  for (u32 i = 0; i < h.filled; ++i) {
    u64 at = store::record_at(h.type, store::slot_of(first, i, h.type));
    out.push_back(store::bucket_time(mem::Bytes(b.data(), b.size()), at));
  }
  return out;
}

// Takes the lease and steps the carry-over until the term is complete (or a step fails).
inline u32 serve(share::Share* s, u32* now) {
  u32 r = share::take_lease(s, *now, share::now_ms(s));
  for (u32 i = 0; i < 2000 && r == share::done && !(s->flags & share::complete); ++i) {
    share::advance_clock(s, share::now_ms(s) + 100);
    r = share::step(s, *now, share::now_ms(s), share::now_ms(s) + 50);
  }
  return r;
}

}  // namespace sharetest
