#pragma once
// A member's link to a running host for the load and soak drivers: a TCP connection on loopback, the cluster
// handshake in a given role, and sealed frames out, built from the cluster's own codecs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "wire/auth.h"
#include "wire/peer.h"
#include "wire/proto.h"

namespace memberlink {

inline u64 now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return u64(t.tv_sec) * 1000 + u64(t.tv_nsec) / 1000000;
}

struct Link {
  int fd = -1;
  peer::PeerState p;
  std::vector<u8> in;
  u64 sent = 0;

  bool write_all(const u8* b, size_t n) {
    size_t at = 0;
    while (at < n) {
      ssize_t w = ::send(fd, b + at, n - at, MSG_NOSIGNAL);
      if (w <= 0) return false;
      at += size_t(w);
    }
    sent += n;
    return true;
  }
  // The next whole frame as it came (the handshake's plain frames), waiting up to 10 s; empty when none came.
  std::vector<u8> plain() {
    for (u64 end = now_ms() + 10000; now_ms() < end;) {
      if (in.size() >= proto::header_size) {
        u32 n = proto::frame_len(mem::Bytes(in.data(), in.size()));
        if (n == 0) return {};
        if (in.size() >= n) {
          std::vector<u8> f(in.begin(), in.begin() + n);
          in.erase(in.begin(), in.begin() + n);
          return f;
        }
      }
      pollfd pf{fd, POLLIN, 0};
      poll(&pf, 1, 200);
      u8 buf[4096];
      ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (r == 0) return {};
      if (r > 0) in.insert(in.end(), buf, buf + r);
    }
    return {};
  }
  // Connects to the host's port on loopback and runs the handshake in the role, with the machine id (a viewer's
  // id is zeros when none is given).
  bool join(u16 port, const auth::KeyState* key, u8 role, const u8* id) {
    peer::init(&p, key);
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    proto::Hello h = {};
    h.role = role;
    h.protocol = 1;
    if (id) memcpy(h.id, id, 16);
    for (u32 i = 0; i < 16; ++i) h.nonce[i] = u8(rand());
    u8 out[128];
    u32 n = peer::hello(&p, &h, mem::Slice{out, sizeof out});
    if (!write_all(out, n)) return false;
    std::vector<u8> reply = plain();
    n = peer::proof(&p, mem::Bytes(reply.data(), reply.size()), mem::Slice{out, sizeof out});
    if (n == 0 || !write_all(out, n)) return false;
    std::vector<u8> accept = plain();
    return peer::accepted(&p, mem::Bytes(accept.data(), accept.size()));
  }
  // Seals the frame of n bytes at the start of a buffer of room bytes and sends it.
  bool send_sealed(u8* frame, u32 n, u32 room) {
    u32 total = peer::seal(&p, mem::Slice{frame, room}, n);
    return total != 0 && write_all(frame, total);
  }
};

}  // namespace memberlink
