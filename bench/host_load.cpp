// Load for a running host: N publishers on loopback, each sending a sample and its changed process rows once a
// second and temperatures every five seconds, as an agent does, plus one viewer that watches the first machine. Built
// from the cluster's own codecs and handshake. Prints the bytes each publisher sent per second at the end.
//   host_load <port> <publishers> <seconds> <key hex (64 digits)>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "cluster/auth.h"
#include "cluster/peer.h"
#include "cluster/proto.h"
#include "sampling/ring.h"

namespace {

using Bytes = std::vector<u8>;

u64 now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return u64(t.tv_sec) * 1000 + u64(t.tv_nsec) / 1000000;
}

struct Link {
  int fd = -1;
  peer::PeerState p;
  Bytes in;
  u64 sent = 0;
  std::unique_ptr<proto::ProcRecord> procs = std::make_unique<proto::ProcRecord>();
  std::unique_ptr<proto::ProcRecord> previous;

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
  Bytes plain() {
    for (;;) {
      if (in.size() >= 16) {
        u32 n = proto::frame_len(mem::Bytes(in.data(), in.size()));
        if (n == 0) return {};
        if (in.size() >= n) {
          Bytes f(in.begin(), in.begin() + n);
          in.erase(in.begin(), in.begin() + n);
          return f;
        }
      }
      u8 buf[4096];
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) return {};
      in.insert(in.end(), buf, buf + r);
    }
  }
  bool join(u16 port, const auth::KeyState* key, u8 role, const u8* id) {
    peer::init(&p, key);
    fd = socket(AF_INET, SOCK_STREAM, 0);
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
    Bytes reply = plain();
    n = peer::proof(&p, mem::Bytes(reply.data(), reply.size()), mem::Slice{out, sizeof out});
    if (n == 0 || !write_all(out, n)) return false;
    Bytes accept = plain();
    return peer::accepted(&p, mem::Bytes(accept.data(), accept.size()));
  }
  bool send_sealed(u8* frame, u32 n, u32 room) {
    u32 total = peer::seal(&p, mem::Slice{frame, room}, n);
    return total != 0 && write_all(frame, total);
  }
  // Reads whatever waits without blocking; the bytes are dropped.
  void drain() {
    u8 buf[65536];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
};

void fill_procs(proto::ProcRecord* t, u32 second, u32 machine) {
  t->count = 180;
  for (u32 i = 0; i < t->count; ++i) {
    proto::ProcRow* r = &t->rows[i];
    r->pid = 1000 + i;
    r->start[0] = i;
    // About a fifth of the rows change each second, as busy processes do.
    r->cpu = u16((i % 5 == second % 5) ? (second * 37 + i * 11 + machine) % 2000 : i % 50);
    r->memory = 2560 + i * 16;
    r->threads = u16(1 + i % 40);
    snprintf(reinterpret_cast<char*>(r->name), sizeof r->name, "process-%u", i);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || strlen(argv[4]) != 64) {
    fprintf(stderr, "usage: host_load <port> <publishers> <seconds> <key hex>\n");
    return 2;
  }
  u16 port = u16(atoi(argv[1]));
  u32 count = u32(atoi(argv[2]));
  u32 seconds = u32(atoi(argv[3]));
  u8 key_bytes[32];
  for (u32 i = 0; i < 32; ++i) sscanf(argv[4] + 2 * i, "%2hhx", &key_bytes[i]);
  auth::KeyState key;
  auth::key_init(&key, mem::Bytes(key_bytes, 32));

  std::vector<Link> links(count);
  static u8 frame[80000];
  for (u32 m = 0; m < count; ++m) {
    u8 id[16] = {0xEE, u8(m), u8(m >> 8)};
    if (!links[m].join(port, &key, proto::role_publisher, id)) {
      fprintf(stderr, "publisher %u could not join\n", m);
      return 1;
    }
    proto::Inventory inv = {};
    memcpy(inv.id, id, 16);
    inv.version[1] = 1;
    inv.version[2] = 81;
    inv.hw32[0] = 32768;
    inv.hw16[1] = 16;
    inv.os_family = 2;
    snprintf(reinterpret_cast<char*>(inv.names[proto::name_computer]), 32, "load-%u", m);
    u32 n = proto::encode_inventory(&inv, mem::Slice{frame, sizeof frame});
    links[m].send_sealed(frame, n, sizeof frame);
  }
  Link viewer;
  if (!viewer.join(port, &key, proto::role_viewer, nullptr)) return 1;
  {
    u8 id[16] = {0xEE, 0, 0};
    u32 n = proto::encode_bytes(proto::kind_watch, mem::Bytes(id, 16), mem::Slice{frame, sizeof frame});
    viewer.send_sealed(frame, n, sizeof frame);
  }
  u64 start = now_ms();
  u64 base_sent = 0;
  for (Link& l : links) base_sent += l.sent;
  for (u32 s = 0; s < seconds; ++s) {
    for (u32 m = 0; m < count; ++m) {
      Link& l = links[m];
      ring::Row row = {};
      row.seconds = s;
      row.load = u16((s * 131 + m * 17) % 10000);
      row.processes = 180;
      row.threads = 2400;
      row.memory_mib = 12000 + m;
      row.disk_busy[0] = u8(s % 200);
      row.receive[0] = 100 + s;
      u32 n = proto::encode_sample(reinterpret_cast<const u8*>(&row), mem::Slice{frame, sizeof frame});
      if (!l.send_sealed(frame, n, sizeof frame)) return 1;
      fill_procs(l.procs.get(), s, m);
      n = proto::encode_procs(l.procs.get(), l.previous.get(), l.previous ? 0 : 1, mem::Slice{frame, sizeof frame});
      if (!l.previous) l.previous = std::make_unique<proto::ProcRecord>();
      *l.previous = *l.procs;
      if (!l.send_sealed(frame, n, sizeof frame)) return 1;
      if (s % 5 == 0) {
        u8 temps[proto::temps_block_size] = {};
        n = proto::encode_temps(temps, mem::Slice{frame, sizeof frame});
        if (n != 0 && !l.send_sealed(frame, n, sizeof frame)) return 1;
      }
      l.drain();
    }
    if (s % 20 == 0) {
      u32 n = proto::encode_ping(mem::Slice{frame, sizeof frame});
      viewer.send_sealed(frame, n, sizeof frame);
    }
    viewer.drain();
    u64 next = start + u64(s + 1) * 1000;
    u64 t = now_ms();
    if (next > t) usleep(useconds_t((next - t) * 1000));
  }
  u64 total = 0;
  for (Link& l : links) total += l.sent;
  double elapsed = double(now_ms() - start) / 1000.0;
  printf("publishers %u, seconds %.1f, bytes per publisher per second %.0f\n", count, elapsed,
         double(total - base_sent) / count / elapsed);
  return 0;
}
