#pragma once
// A host hub driven without sockets, and link ends built from the cluster codecs: bytes go into a slot's in-buffer
// through take_frames, and what the hub queued is read from the slot's out-buffer.
#include <string.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "wire/auth.h"
#include "wire/peer.h"
#include "wire/proto.h"
#include "host/hubshare.h"

namespace rig {

using Bytes = std::vector<u8>;

inline void key_of(auth::KeyState* key, const char* secret) {
  auth::key_init(key, mem::Bytes(reinterpret_cast<const u8*>(secret), strlen(secret)));
}

inline const u16 host_version[3] = {0, 1, 81};

struct Rig {
  std::unique_ptr<hub::Hub> h = std::make_unique<hub::Hub>();
  auth::KeyState key;
  u32 next_challenge = 1;

  explicit Rig(u32 term = 7) {
    key_of(&key, "cluster secret");
    hub::init(h.get(), &key, term, host_version);
  }

  u32 admit(u32 address, u32 now = 0, u32 relay = 0) {
    u8 challenge[32];
    for (u32 i = 0; i < 32; ++i) challenge[i] = static_cast<u8>(next_challenge * 31 + i);
    ++next_challenge;
    return hub::admit(h.get(), mem::Bytes(challenge, 32), address, now, relay);
  }

  void feed(u32 s, const Bytes& bytes, u32 now = 0, u32 wall = 1000000) {
    hub::Slot* sl = &h->slot[s];
    ASSERT_LE(sl->in_fill + bytes.size(), hub::buffer_size);
    memcpy(sl->in + sl->in_fill, bytes.data(), bytes.size());
    hub::take_frames(h.get(), s, static_cast<u32>(bytes.size()), now, wall);
  }

  Bytes drain(u32 s) {
    hub::Slot* sl = &h->slot[s];
    Bytes out(sl->out, sl->out + sl->out_fill);
    hub::consume_out(h.get(), s, sl->out_fill);
    return out;
  }

  bool closing(u32 s) const { return hub::is_in(h.get(), hub::set_closing, s); }
  bool open(u32 s) const { return hub::stage_of(h.get(), s) == hub::stage_open && !closing(s); }
};

// One link end: hello, proof, accept, then sealed frames each way.
struct Link {
  peer::PeerState p;
  u32 slot = hub::none;
  Bytes pending;  // bytes from the host not yet taken

  Link(const char* secret = "cluster secret") {
    auth::KeyState k;
    key_of(&k, secret);
    peer::init(&p, &k);
  }

  static Bytes sized(u32 n) { return Bytes(n); }

  Bytes hello(u8 role, u8 flags, const u8* id, u16 protocol = 1) {
    proto::Hello hl = {};
    hl.role = role;
    hl.flags = flags;
    hl.protocol = protocol;
    if (id != nullptr) memcpy(hl.id, id, 16);
    for (u32 i = 0; i < 16; ++i) hl.nonce[i] = static_cast<u8>(0x40 + i + role);
    Bytes out(64);
    out.resize(peer::hello(&p, &hl, mem::Slice{out.data(), out.size()}));
    return out;
  }

  // Admits, says hello, proves and checks the accept; false when any step failed.
  bool join(Rig* r, u8 role, u8 flags, const u8* id, u32 address = 0x0A000001, u32 now = 0) {
    slot = r->admit(address, now);
    if (slot == hub::none) return false;
    r->feed(slot, hello(role, flags, id), now);
    Bytes reply = r->drain(slot);
    Bytes proof(64);
    proof.resize(peer::proof(&p, mem::Bytes(reply.data(), reply.size()), mem::Slice{proof.data(), proof.size()}));
    if (proof.empty()) return false;
    r->feed(slot, proof, now);
    Bytes accept = r->drain(slot);
    // A viewer's first list follows the accept at once: it waits, sealed, for take().
    u32 n = proto::frame_len(mem::Bytes(accept.data(), accept.size()));
    if (n != 0 && n < accept.size()) {
      pending.assign(accept.begin() + n, accept.end());
      accept.resize(n);
    }
    return peer::accepted(&p, mem::Bytes(accept.data(), accept.size()));
  }

  Bytes seal(Bytes frame) {
    u32 n = static_cast<u32>(frame.size());
    frame.resize(n + 16);
    u32 total = peer::seal(&p, mem::Slice{frame.data(), frame.size()}, n);
    frame.resize(total);
    return frame;
  }

  void send(Rig* r, Bytes frame, u32 now = 0, u32 wall = 1000000) { r->feed(slot, seal(std::move(frame)), now, wall); }

  // Every sealed frame the host queued for this link, tags checked and removed; a bad tag fails the test.
  std::vector<Bytes> take(Rig* r) {
    Bytes more = r->drain(slot);
    pending.insert(pending.end(), more.begin(), more.end());
    std::vector<Bytes> frames;
    size_t at = 0;
    while (pending.size() - at >= 16) {
      u32 n = proto::frame_len(mem::Bytes(pending.data() + at, pending.size() - at));
      EXPECT_NE(n, 0u);
      if (n == 0 || pending.size() - at < n + 16u) break;
      EXPECT_TRUE(peer::opened(&p, mem::Bytes(pending.data() + at, n + 16)));
      frames.emplace_back(pending.begin() + at, pending.begin() + at + n);
      at += n + 16;
    }
    pending.erase(pending.begin(), pending.begin() + at);
    return frames;
  }
};

inline std::vector<u32> kinds_of(const std::vector<Bytes>& frames) {
  std::vector<u32> k;
  for (const Bytes& f : frames) k.push_back(proto::frame_kind(mem::Bytes(f.data(), f.size())));
  return k;
}

inline Bytes encoded(u32 (*encode)(mem::Slice), u32 size = 64) {
  Bytes out(size);
  out.resize(encode(mem::Slice{out.data(), out.size()}));
  return out;
}

inline Bytes id_frame(u32 kind, const u8* id) {
  Bytes out(64);
  out.resize(proto::encode_bytes(kind, mem::Bytes(id, 16), mem::Slice{out.data(), out.size()}));
  return out;
}

inline Bytes inventory_frame(const u8* id, const char* name, u16 major = 0, u16 minor = 1, u16 patch = 81) {
  proto::Inventory inv = {};
  memcpy(inv.id, id, 16);
  inv.version[0] = major;
  inv.version[1] = minor;
  inv.version[2] = patch;
  inv.hw32[0] = 16384;
  inv.hw16[1] = 8;
  inv.os_family = 2;
  memcpy(inv.names[proto::name_computer], name, strlen(name));
  Bytes out(proto::inventory_size + 64);
  out.resize(proto::encode_inventory(&inv, mem::Slice{out.data(), out.size()}));
  return out;
}

inline Bytes sample_frame(u16 load, u32 memory_mib, u32 seconds = 100) {
  ring::Row row = {};
  row.seconds = seconds;
  row.load = load;
  row.processes = 120;
  row.threads = 900;
  row.memory_mib = memory_mib;
  Bytes out(proto::sample_size + 64);
  out.resize(proto::encode_sample(reinterpret_cast<const u8*>(&row), mem::Slice{out.data(), out.size()}));
  return out;
}

}  // namespace rig
