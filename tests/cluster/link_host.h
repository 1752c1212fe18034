#pragma once
// The host's side of a cluster link for the link tests, written from the same codecs and authentication functions:
// it reads the link end's byte stream frame by frame, answers the hello with a challenge, checks the proof, sends a
// tagged accept, and from then on opens the link's sealed frames and seals its own. Bytes cross as vectors, so the
// same host serves the socket-free tests and the loopback socket tests.
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "wire/auth.h"
#include "wire/proto.h"
#include "platform/sock.h"

namespace link_host {

using Bytes = std::vector<u8>;

inline void key_of(auth::KeyState* key, const char* secret) {
  auth::key_init(key, mem::Bytes(reinterpret_cast<const u8*>(secret), strlen(secret)));
}

struct Host {
  auth::KeyState key;
  auth::KeyState session;
  u8 challenge[32];
  proto::Hello hello = {};
  u8 hello_payload[40] = {};
  bool proved = false;   // the proof held
  bool opened = false;   // accept sent
  bool bad = false;      // a frame from the link did not decode or open
  u64 send_counter = 0;
  u64 receive_counter = 0;
  u32 term = 5;
  u16 version[3] = {0, 1, 81};
  Bytes pending;              // bytes from the link not yet a whole frame
  std::vector<Bytes> frames;  // frames taken after the accept, tags removed

  explicit Host(const char* secret = "cluster secret") {
    key_of(&key, secret);
    for (u32 i = 0; i < 32; ++i) challenge[i] = static_cast<u8>(0xA0 + i);
  }

  // A new connection: the handshake starts over.
  void reset() {
    proved = opened = bad = false;
    send_counter = receive_counter = 0;
    pending.clear();
    frames.clear();
  }

  static Bytes frame(u32 (*encode)(mem::Slice), u32 size = 64) {
    Bytes out(size);
    out.resize(encode(mem::Slice{out.data(), out.size()}));
    return out;
  }

  Bytes reply() const {
    Bytes out(64);
    out.resize(proto::encode_bytes(proto::kind_reply, mem::Bytes(challenge, 32), mem::Slice{out.data(), 64}));
    return out;
  }

  Bytes accept(const char* secret = nullptr) {
    auth::KeyState k = key;
    if (secret != nullptr) key_of(&k, secret);
    proto::Accept a = {term, 42, version[0], version[1], version[2], {}};
    Bytes out(64);
    out.resize(proto::encode_accept(&a, mem::Slice{out.data(), 64}));
    auth::accept_tag(&k, hello_payload, challenge, out.data() + 16, out.data() + 32);
    auth::session_key(&key, hello_payload + 24, challenge, &session);
    opened = true;
    return out;
  }

  // Seals a frame towards the link with the host's next counter.
  Bytes seal(Bytes f) {
    u32 n = static_cast<u32>(f.size());
    f.resize(n + 16);
    auth::seal_frame(&session, auth::to_link, send_counter++, mem::Slice{f.data(), f.size()}, n);
    return f;
  }

  Bytes refuse(u16 reason) const {
    Bytes out(64);
    out.resize(proto::encode_refuse(reason, mem::Slice{out.data(), 64}));
    return out;
  }

  Bytes moved(u32 address, u16 port, u32 moved_term) const {
    proto::Moved m = {moved_term, address, port};
    Bytes out(64);
    out.resize(proto::encode_moved(&m, mem::Slice{out.data(), 64}));
    return out;
  }

  Bytes id_frame(u32 kind, const u8* id) const {
    Bytes out(64);
    out.resize(proto::encode_bytes(kind, mem::Bytes(id, 16), mem::Slice{out.data(), 64}));
    return out;
  }

  // Takes bytes the link sent; returns what the host answers during the handshake (reply, accept), or nothing.
  // With a wrong_secret the accept is tagged under another key.
  Bytes take(const u8* p, size_t n, const char* wrong_secret = nullptr) {
    pending.insert(pending.end(), p, p + n);
    Bytes answer;
    for (;;) {
      mem::Bytes rest(pending.data(), pending.size());
      if (rest.len < 16) break;
      u32 length = proto::frame_len(rest);
      if (length == 0) {
        bad = true;
        break;
      }
      u32 whole = length + (opened ? 16u : 0u);
      if (rest.len < whole) break;
      mem::Bytes f(pending.data(), length);
      if (!opened && proto::frame_kind(f) == proto::kind_hello) {
        if (proto::decode_hello(f, &hello) != proto::ok) bad = true;
        memcpy(hello_payload, pending.data() + 16, 40);
        Bytes r = reply();
        answer.insert(answer.end(), r.begin(), r.end());
      } else if (!opened && proto::frame_kind(f) == proto::kind_proof) {
        proved = auth::hello_ok(&key, challenge, hello_payload, mem::Bytes(pending.data() + 16, 32));
        if (!proved) bad = true;
        Bytes a = accept(wrong_secret);
        answer.insert(answer.end(), a.begin(), a.end());
      } else if (opened) {
        if (!auth::frame_sealed(&session, auth::to_host, receive_counter, mem::Bytes(pending.data(), whole),
                                length)) {
          bad = true;
        }
        ++receive_counter;
        frames.emplace_back(pending.begin(), pending.begin() + length);
      } else {
        bad = true;
      }
      pending.erase(pending.begin(), pending.begin() + whole);
    }
    return answer;
  }

  // Kinds of the frames taken after the accept.
  std::vector<u32> kinds() const {
    std::vector<u32> k;
    for (const Bytes& f : frames) k.push_back(proto::frame_kind(mem::Bytes(f.data(), f.size())));
    return k;
  }
};

// The host on a real loopback socket: a listener on an ephemeral port, one connection at a time, and what it does
// with the link's bytes chosen by the test.
struct SocketHost {
  enum Mode { answer, refuse_key, silent, close_mid_frame };
  Host host;
  sock::Socket listener = sock::invalid_socket;
  sock::Socket conn = sock::invalid_socket;
  u16 port = 0;
  Mode mode = answer;
  u32 accepted = 0;

  SocketHost() {
    if (sock::listen(0x7F000001, 0, &listener) == sock::done) port = sock::local_port(listener);
  }
  ~SocketHost() {
    drop();
    if (listener != sock::invalid_socket) sock::close(listener);
  }
  void drop() {
    if (conn != sock::invalid_socket) sock::close(conn);
    conn = sock::invalid_socket;
  }

  void send(const Bytes& bytes) {
    size_t at = 0;
    for (int tries = 0; at < bytes.size() && tries < 1000; ++tries) {
      u64 n = 0;
      if (sock::send(conn, mem::Bytes(bytes.data() + at, bytes.size() - at), &n) == sock::failed) return;
      at += n;
    }
  }

  // One round: takes a waiting connection (a new one replaces the old), reads what came and answers.
  void serve() {
    sock::Socket next;
    u32 peer = 0;
    if (sock::accept(listener, &next, &peer) == sock::done) {
      drop();
      conn = next;
      host.reset();
      ++accepted;
    }
    if (conn == sock::invalid_socket) return;
    u8 buffer[4096];
    u64 n = 0;
    u32 r = sock::recv(conn, mem::Slice{buffer, sizeof buffer}, &n);
    if (r == sock::closed || r == sock::failed) {
      drop();
      return;
    }
    if (n == 0) return;
    Bytes reply = host.take(buffer, n);
    if (mode == silent || reply.empty()) return;
    if (mode == refuse_key) {
      send(host.refuse(proto::reason_key));
    } else if (mode == close_mid_frame) {
      send(Bytes(reply.begin(), reply.begin() + reply.size() / 2));
      drop();
    } else {
      send(reply);
    }
  }
};

// A link end and the host, joined without sockets: the link's queued bytes go to the host, the host's answers come
// back in chunks of a chosen size. Time moves only when a test moves it.
template <typename L, mem::Bytes (*Out)(const L*), void (*Sent)(L*, u64), mem::Slice (*Room)(L*),
          bool (*Received)(L*, u32, u64)>
struct Pipe {
  std::unique_ptr<L> link = std::make_unique<L>();
  Host host;
  u64 now = 1000000;
  u32 chunk = 1 << 20;

  // Sends the link's queued bytes to the host and its answer back; false when the link wants closing.
  bool exchange(const char* wrong_secret = nullptr) {
    mem::Bytes out = Out(link.get());
    Bytes answer = host.take(out.ptr, out.len, wrong_secret);
    Sent(link.get(), out.len);
    return deliver(answer);
  }

  bool deliver(const Bytes& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      mem::Slice room = Room(link.get());
      size_t n = std::min<size_t>({bytes.size() - at, room.len, chunk});
      memcpy(room.ptr, bytes.data() + at, n);
      at += n;
      if (!Received(link.get(), static_cast<u32>(n), now)) return false;
    }
    return true;
  }
};

}  // namespace link_host
