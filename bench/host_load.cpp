// Load for a running host: N publishers on loopback, each sending a sample and its changed process rows once a
// second and temperatures every five seconds, as an agent does, plus one viewer that watches the first machine. Built
// from the cluster's own codecs and handshake. Prints the bytes each publisher sent per second at the end.
//   host_load <port> <publishers> <seconds> <key hex (64 digits)>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "bench/memberlink.h"
#include "sampling/ring.h"

namespace {


using memberlink::now_ms;

struct Link : memberlink::Link {
  std::unique_ptr<proto::ProcRecord> procs = std::make_unique<proto::ProcRecord>();
  std::unique_ptr<proto::ProcRecord> previous;

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
