#include "cluster/lease.h"

#include "wire/cluster.h"
#include "history/store.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace lease {
namespace {

u32 word(const u8* block, u64 size, u64 at) { return feed::get32(block, size, at); }

// Only the parent writes its counters, so a read and a write make the increment.
void raise(u8* block, u64 size, u64 at) { feed::put32(block, size, at, word(block, size, at) + 1); }

void put_record(Child* c, const u8* data, u64 length, u64 count, u32 status) {
  u8 record[record_size] = {};
  __builtin_memcpy(record, data, length < data_size ? length : data_size);
  u32 shown = count > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(count);
  __builtin_memcpy(record + data_size, &shown, 4);
  __builtin_memcpy(record + data_size + 4, &status, 4);
  u32 n = c->records + 1;
  if (feed::frame_put(c->view, c->view_size, c->ring, record_seq_at, n, mem::Bytes(record, record_size)))
    c->records = n;
}

void take_path(Child* c) {
  u32 length = word(c->view, c->view_size, path_length_at);
  c->path_length = length < path_capacity ? length : path_capacity;
  __builtin_memcpy(c->path, c->view + path_at, c->path_length);
  // The posted beacon address stays in the block: the socket listens on every address at the beacon port.
  if (c->beacons == sock::invalid_socket)
    c->beacons = open_beacon_socket(static_cast<u16>(word(c->view, c->view_size, beacon_port_at)));
}

void relay_beacons(Child* c) {
  for (u32 i = 0; i < beacons_per_round && c->beacons != sock::invalid_socket; ++i) {
    u8 record[record_size];
    const u64 length = read_beacon(c->beacons, record);
    if (length == 0) return;
    put_record(c, record, length, length, 0);
  }
}

void read_lease(Child* c, u64 now) {
  store::Path path;
  store::path_set(&path, mem::Bytes(c->path, c->path_length));
  store::path_join(&path, mem::lit("lease"));
  u8 data[data_size] = {};
  u64 count = 0;
  u32 status = path.overflow ? u32{fs::io_failed}
                             : fs::io_read_uncached(mem::Bytes(path.text, path.length), mem::Slice{data, sizeof data},
                                                    &count);
  if (status != fs::io_ok) count = 0;
  put_record(c, data, count, count, status);
  c->next_read = now + read_period_ms;
}

}  // namespace

void init_block(u8* block, u64 size, u32 parent_pid) {
  if (block == nullptr) return;
  __builtin_memset(block, 0, size < block_size ? size : block_size);
  feed::put32(block, size, feed::magic_at, block_magic);
  feed::put32(block, size, feed::parent_pid_at, parent_pid);
}

void post_path(u8* block, u64 size, mem::Bytes path) {
  if (block == nullptr || size < block_size) return;
  u32 length = path.len <= path_capacity ? static_cast<u32>(path.len) : 0;
  __builtin_memset(block + path_at, 0, path_capacity);
  __builtin_memcpy(block + path_at, path.ptr, length);
  feed::put32(block, size, path_length_at, length);
  os::fence();
  raise(block, size, path_seq_at);
}

void post_beacon(u8* block, u64 size, u32 address, u16 port) {
  feed::put32(block, size, bind_address_at, address);
  feed::put32(block, size, beacon_port_at, port);
}

void ask_read(u8* block, u64 size) { raise(block, size, read_now_at); }

feed::Region ring_layout() { return feed::Region{ring_at, 128, 2, record_size}; }

sock::Socket open_beacon_socket(u16 port) {
  sock::Socket s;
  return port != 0 && sock::udp_open(0, port, &s) == sock::done ? s : sock::invalid_socket;
}

u64 read_beacon(sock::Socket socket, u8 (&record)[record_size]) {
  __builtin_memset(record, 0, record_size);
  u64 length = 0;
  u32 sender = 0;
  if (sock::udp_recv_from(socket, mem::Slice{record, data_size}, &length, &sender) != sock::done) return 0;
  const u32 shown = static_cast<u32>(length);
  __builtin_memcpy(record + data_size, &shown, 4);
  return length;
}

bool take(const u8* block, u64 size, u32* last, u8 (&record)[record_size]) {
  feed::Region ring = ring_layout();
  u32 newest = word(block, size, record_seq_at);
  if (newest == *last) return false;
  // Every slot still in the ring is worth a try: the sequence word refuses a copy that a rewrite overtook.
  u32 first = newest >= ring.slots ? newest - ring.slots + 1 : 1;
  if (newest > *last && *last + 1 > first) first = *last + 1;
  for (u32 n = first; n != newest + 1; ++n) {
    if (feed::slot_read(block, size, ring, n, mem::Slice{record, record_size})) {
      *last = n;
      return true;
    }
  }
  *last = newest;
  return false;
}

bool open(Child* c, u8* view, u64 view_size, u64 parent) {
  __builtin_memset(c, 0, sizeof *c);
  c->beacons = sock::invalid_socket;
  if (view == nullptr || view_size < block_size || word(view, view_size, feed::magic_at) != block_magic) return false;
  c->view = view;
  c->view_size = view_size;
  c->ring = ring_layout();
  c->parent = parent;
  c->read_now = word(view, view_size, read_now_at);
  return true;
}

u32 step(Child* c, u64 now) {
  raise(c->view, c->view_size, feed::heartbeat_at);
  if (word(c->view, c->view_size, feed::stop_at) != 0) return stopped;
  if (child::process_ended(c->parent)) return orphaned;
  u32 seq = word(c->view, c->view_size, path_seq_at);
  bool changed = seq != c->path_seq;
  if (changed) {
    os::fence();
    take_path(c);
    c->path_seq = seq;
  }
  relay_beacons(c);
  u32 asked = word(c->view, c->view_size, read_now_at);
  bool due = changed || now >= c->next_read || asked != c->read_now;
  c->read_now = asked;
  if (due && c->path_length != 0) read_lease(c, now);
  return go_on;
}

void close(Child* c) {
  if (c->beacons != sock::invalid_socket) sock::udp_close(c->beacons);
  c->beacons = sock::invalid_socket;
  child::close_handle(c->parent);
  c->parent = 0;
}

u32 child_main(mem::Bytes section_name) {
  child::Section s;
  if (!child::open_section(section_name, &s)) return exit_bad_section;
  Child c;
  if (!open(&c, s.view, s.view_size, 0)) {
    child::unmap(&s);
    return exit_bad_section;
  }
  // A parent that cannot be watched has already gone: waiting for its stop word would never end.
  c.parent = child::open_parent(feed::get32(s.view, s.view_size, feed::parent_pid_at));
  if (c.parent == 0) {
    child::unmap(&s);
    return exit_ended;
  }
  sock::startup();
  while (step(&c, os::clock_ms()) == go_on) os::sleep_ms(round_ms);
  close(&c);
  child::unmap(&s);
  return exit_ended;
}

}  // namespace lease
