// Fuzzing the host as a browser's link reaches it: the bytes of POST bodies fed into a relay member slot, as the
// dashboard hands them over. The first byte chooses the road: bit 0 runs the cluster handshake with the key first,
// so that what follows reaches the member's sealed frames (each piece becomes one frame of the kind its first byte
// names, with the rest as its payload, sealed as a browser seals it); without it the pieces are raw bytes, as an
// unauthenticated page sends them. Bit 1 makes the member a publisher rather than a viewer. Each piece is a length
// byte and that many bytes. The host never queues past its buffer and its slot is freed afterwards; any memory
// fault the sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "wire/peer.h"
#include "host/hubloop.h"
#include "host/web.h"
#include "tests/fuzz/fault.h"

namespace {

void fail(const char* what) { fuzz::fault("browser link", what); }

const u8 key_bytes[32] = {7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1};

struct Rig {
  mem::Arena arena{};
  hub::Host* host = nullptr;
  auth::KeyState key;
  u32 now = 1;
  Rig() {
    auth::key_init(&key, mem::Bytes(key_bytes, sizeof key_bytes));
    if (!mem::arena_init(&arena, hub::arena_size() + web::arena_size())) fail("no arena");
    hub::Options o = {};
    o.listen = 0x7F000001;
    o.flags = hub::flag_web;
    o.version[1] = 1;
    o.version[2] = 81;
    host = mem::alloc_of<hub::Host>(&arena);
    if (!hub::create(host, &arena, &key, &o, 0) || !web::open(host, &arena)) fail("no host");
    hub::set_term(host->hub, 3);
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

// What the host queued for the slot, taken out of its out-buffer.
mem::Bytes take_out(hub::Hub* h, u32 m, u8* into) {
  const u32 n = h->slot[m].out_fill;
  if (n > hub::buffer_size) fail("an out-buffer past its size");
  memcpy(into, h->slot[m].out, n);
  hub::consume_out(h, m, n);
  return mem::Bytes(into, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Rig& r = rig();
  hub::Hub* h = r.host->hub;
  const u8 mode = data[0];
  u8 challenge[32];
  memset(challenge, mode, sizeof challenge);
  const u32 m = hub::admit(h, mem::Bytes(challenge, sizeof challenge), 0x7F000001, r.now, 1);
  if (m == web::none) fail("no member slot for a link");
  static u8 out[hub::buffer_size];
  peer::PeerState p;
  bool open = true;
  if (mode & 1) {
    peer::init(&p, &r.key);
    proto::Hello hello = {};
    hello.role = (mode & 2) ? proto::role_publisher : proto::role_viewer;
    hello.protocol = 1;
    hello.id[0] = (mode & 2) ? 1 : 0;
    u8 frame[128];
    u32 n = peer::hello(&p, &hello, mem::Slice{frame, sizeof frame});
    open = web::feed_link(r.host, m, mem::Bytes(frame, n), r.now, 1000000) != 0;
    n = open ? peer::proof(&p, take_out(h, m, out), mem::Slice{frame, sizeof frame}) : 0;
    open = n != 0 && web::feed_link(r.host, m, mem::Bytes(frame, n), r.now, 1000000) != 0;
    open = open && peer::accepted(&p, take_out(h, m, out));
    if (!open) fail("the key's handshake was not accepted");
  }
  static u8 sealed[hub::buffer_size];
  for (size_t at = 1; at < size && hub::is_in(h, hub::set_live, m);) {
    const size_t n = data[at] < size - at - 1 ? data[at] : size - at - 1;
    const mem::Bytes piece(data + at + 1, n);
    at += 1 + n;
    ++r.now;
    if (mode & 1) {
      const u32 kind = n > 0 ? piece.ptr[0] % (proto::kind_last + 1) : u32{proto::kind_ping};
      const mem::Bytes payload = n > 0 ? mem::Bytes(piece.ptr + 1, n - 1) : mem::Bytes();
      if (!proto::begin(mem::Slice{sealed, sizeof sealed}, kind, static_cast<u32>(payload.len), 0)) continue;
      if (payload.len != 0) memcpy(sealed + proto::header_size, payload.ptr, payload.len);
      const u32 total = peer::seal(&p, mem::Slice{sealed, sizeof sealed}, proto::header_size + u32(payload.len));
      web::feed_link(r.host, m, mem::Bytes(sealed, total), r.now, 1000000);
    } else {
      web::feed_link(r.host, m, piece, r.now, 1000000);
    }
    if (hub::is_in(h, hub::set_live, m)) take_out(h, m, out);
  }
  if (hub::is_in(h, hub::set_live, m)) hub::free_slot(h, m);
  return 0;
}
