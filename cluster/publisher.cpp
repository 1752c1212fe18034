#include "cluster/publisher.h"

#include "cluster/lease.h"
#include "platform/fs.h"

namespace publisher {

namespace {

bool share_target(const Publisher* p) { return p->link.target_kind == publish::target_share; }

void close_beacons(Publisher* p) {
  if (p->beacon_socket != sock::invalid_socket) sock::udp_close(p->beacon_socket);
  p->beacon_socket = sock::invalid_socket;
}

}  // namespace

u32 random_of(os::RandomSource source) {
  u8 bytes[4];
  if (source == nullptr || source(mem::Slice{bytes, sizeof bytes}) == 0) return 0;
  return u32{bytes[0]} | u32{bytes[1]} << 8 | u32{bytes[2]} << 16 | u32{bytes[3]} << 24;
}

u32 connect_step(sock::Socket socket, u32 wait) {
  sock::poll_one(socket, 1, wait);
  u32 r = sock::connect_done(socket);
  if (r == sock::would_block) return io_idle;
  return r == sock::done ? io_done : io_failed;
}

u32 read_step(sock::Socket socket, mem::Slice room, bool want_write, u32 wait, u64* count) {
  *count = 0;
  if ((sock::poll_one(socket, want_write ? 1 : 0, wait) & 1) == 0) return io_idle;
  u32 r = sock::recv(socket, room, count);
  if (r == sock::would_block) return io_idle;
  if (r != sock::done) return io_failed;
  // A full buffer reads as 0 bytes without touching the socket; the link then refuses the frame it cannot hold.
  return io_done;
}

u32 write_step(sock::Socket socket, mem::Bytes out, u64* count) {
  *count = 0;
  if (out.len == 0) return io_done;
  u32 r = sock::send(socket, out, count);
  if (r == sock::would_block) return io_done;
  return r == sock::done ? io_done : io_failed;
}

void init(Publisher* p, const auth::KeyState* key, const u8* id, u32 id_length, u8 role) {
  publish::init(&p->link, key, id, id_length, role);
  p->socket = sock::invalid_socket;
  p->share_path = {};
  p->next_lease_read = 0;
  p->leases_seen = p->leases_opened = 0;
  p->last_sample_count = 0;
  p->in_process = 1;
  p->child_running = 0;
  p->lease_child = {};
  p->child_count = 0;
  p->read_now = 0;
  p->child_failed = 0;
  p->random = os::random_bytes;
  p->read_file = fs::io_read_uncached;
  p->beacon_socket = sock::invalid_socket;
  p->beacon_address = 0;
  p->beacon_port = beacon_port_default;
  p->beacons_read = 0;
}

void close_link(Publisher* p) {
  if (p->socket != sock::invalid_socket) sock::close(p->socket);
  p->socket = sock::invalid_socket;
}

// The child reads the lease past the file cache and relays beacons; a target change starts a new one on the new
// path, so no record of the old share can reach the link afterwards.
bool start_lease_reader(Publisher* p) {
  stop_lease_reader(p);
  if (!start_lease_child(&p->lease_child, store::path_of(&p->share_path), 0, p->beacon_port)) return false;
  p->child_running = 1;
  p->child_count = 0;
  return true;
}

void stop_lease_reader(Publisher* p) {
  if (!p->child_running) return;
  // The child looks at its stop word every 100 ms.
  child::finish(&p->lease_child, 1000);
  p->child_running = 0;
}

void poll_lease_child(Publisher* p, u64 now) {
  u8* block = p->lease_child.view;
  u64 size = p->lease_child.view_size;
  if (p->link.lease_wanted) {
    lease::ask_read(block, size);
    ++p->read_now;
    p->link.lease_wanted = 0;
  }
  u8 record[lease::record_size];
  u64 length = 0;
  for (u32 i = 0; i < 4 && lease_child_read(&p->lease_child, &p->child_count, record, &length); ++i) {
    take_lease(p, record, length, now);
  }
}

bool start_lease_child(child::Section* s, mem::Bytes share_path, u32 beacon_address, u16 beacon_port) {
  if (!child::create_section(s, lease::block_size)) return false;
  lease::init_block(s->view, s->view_size, os::process_id());
  lease::post_beacon(s->view, s->view_size, beacon_address, beacon_port);
  lease::post_path(s->view, s->view_size, share_path);
  if (child::start(s, cluster::lease_option())) return true;
  child::unmap(s);
  return false;
}

bool lease_child_read(const child::Section* s, u32* count, u8 (&record)[lease_record_size], u64* length) {
  static_assert(lease_record_size == lease::record_size);
  if (!lease::take(s->view, s->view_size, count, record)) return false;
  u32 n = proto::get32(mem::Bytes(record, sizeof record), lease::data_size);
  u32 status = proto::get32(mem::Bytes(record, sizeof record), lease::data_size + 4);
  *length = status == 0 ? n : 0;
  return true;
}

void stop_share_watch(Publisher* p) {
  stop_lease_reader(p);
  p->child_count = 0;
  close_beacons(p);
}

void stop(Publisher* p) {
  close_link(p);
  stop_share_watch(p);
  publish::stop(&p->link);
}

void set_target(Publisher* p, const cluster::PublishSettings* settings, u64 now) {
  close_link(p);
  p->next_lease_read = now;
  if (!settings->publish || settings->target_kind == cluster::target_invalid) {
    stop_share_watch(p);
    publish::stop(&p->link);
    return;
  }
  if (settings->target_kind == cluster::target_server) {
    stop_share_watch(p);
    publish::fixed(&p->link, settings->address, static_cast<u16>(settings->port), now);
    return;
  }
  store::path_set(&p->share_path, cluster::target_text(settings));
  publish::share(&p->link, now);
  p->beacon_address = settings->beacon_address;
  p->beacon_port = settings->beacon_port;
  if (p->in_process) {
    // A beacon socket that cannot be opened leaves the lease file reading alone.
    if (p->beacon_socket == sock::invalid_socket) p->beacon_socket = lease::open_beacon_socket(p->beacon_port);
  } else {
    p->child_failed = start_lease_reader(p) ? 0 : 1;
  }
}

u32 random32(const Publisher* p) { return random_of(p->random); }

void fail(Publisher* p, u64 now, u8 status) {
  close_link(p);
  publish::failed(&p->link, now, random32(p), status);
}

void take_lease(Publisher* p, const u8* record, u64 length, u64 now) {
  cluster::Heard heard = {};
  bool readable = length == proto::record_size &&
                  cluster::take_beacon(mem::Bytes(record, length), &p->link.peer.cluster_key, &heard);
  ++p->leases_seen;
  p->leases_opened += readable ? 1 : 0;
  if (publish::lease(&p->link, readable, &heard, now, random32(p))) close_link(p);
}

void read_lease(Publisher* p, u64 now) {
  store::Path path = p->share_path;
  store::path_join(&path, mem::lit("lease"));
  u8 record[proto::record_size];
  u64 count = 0;
  bool read = !path.overflow && p->read_file != nullptr &&
              p->read_file(mem::Bytes(path.text, path.length), mem::Slice{record, sizeof record}, &count) == fs::io_ok;
  p->next_lease_read = now + lease_period_ms;
  take_lease(p, record, read ? count : 0, now);
}

void read_beacons(Publisher* p, u64 now) {
  for (u32 i = 0; i < beacons_per_step && p->beacon_socket != sock::invalid_socket; ++i) {
    u8 record[lease::record_size];
    const u64 length = lease::read_beacon(p->beacon_socket, record);
    if (length == 0) return;
    ++p->beacons_read;
    take_lease(p, record, length, now);
  }
}

void dial(Publisher* p, u64 now) {
  publish::dialing(&p->link, now);
  if (sock::connect(p->link.target_address, p->link.target_port, &p->socket) != sock::done) {
    p->socket = sock::invalid_socket;
    fail(p, now, cluster::status_cannot_connect);
  }
}

void finish_connect(Publisher* p, u64 now, u32 wait) {
  u32 r = connect_step(p->socket, wait);
  if (r == io_idle) return;
  if (r == io_failed) {
    fail(p, now, cluster::status_cannot_connect);
    return;
  }
  u8 nonce[proto::nonce_size];
  bool drawn = p->random != nullptr && p->random(mem::Slice{nonce, sizeof nonce}) != 0;
  if (!publish::connected(&p->link, nonce, sizeof nonce, drawn, now)) {
    fail(p, now, cluster::status_no_random);
    return;
  }
  flush(p, now);  // the hello leaves in the step that saw the connect finish
}

void flush(Publisher* p, u64 now) {
  u64 count = 0;
  if (write_step(p->socket, publish::out_data(&p->link), &count) == io_failed) {
    fail(p, now, cluster::status_closed);
    return;
  }
  publish::sent(&p->link, count);
}

void pump(Publisher* p, u64 now, u32 wait) {
  u64 count = 0;
  u32 r = read_step(p->socket, publish::in_room(&p->link), p->link.out_used != 0, wait, &count);
  if (r == io_failed) {
    fail(p, now, cluster::status_closed);
    return;
  }
  if (r == io_done && !publish::received(&p->link, static_cast<u32>(count), now)) {
    fail(p, now, p->link.status);
    return;
  }
  flush(p, now);
}

u32 next_wait(const Publisher* p, u64 now, u32 wait) {
  u32 least = wait;
  u32 dial_in = publish::wait_ms(&p->link, now);
  if (p->link.state == publish::waiting && p->link.target_port != 0 && dial_in < least) least = dial_in;
  if (share_target(p) && p->in_process) {
    u64 lease_in = p->next_lease_read > now ? p->next_lease_read - now : 0;
    if (lease_in < least) least = static_cast<u32>(lease_in);
  }
  return least;
}

u32 tick(Publisher* p, u64 now, u32 wait) {
  if (share_target(p) && p->in_process) {
    if (now >= p->next_lease_read || p->link.lease_wanted) read_lease(p, now);
    read_beacons(p, now);
  } else if (share_target(p) && p->child_running) {
    poll_lease_child(p, now);
  } else if (share_target(p)) {
    // No child could be started: the link waits for a lease that never comes (status 8), as without a share.
    p->read_now += p->link.lease_wanted;
    p->link.lease_wanted = 0;
  }
  if (publish::expired(p->link.state, p->link.state_since, now)) fail(p, now, cluster::status_no_answer);
  if (publish::due(&p->link, now)) dial(p, now);
  if (p->link.state == publish::connecting) {
    finish_connect(p, now, wait);
    return 0;
  }
  publish::idle(&p->link, now);
  if (p->link.state >= publish::hello_sent) {
    pump(p, now, wait);
    return 0;
  }
  return next_wait(p, now, wait);
}

void send_data(Publisher* p, const ring::Ring* samples, u32 sample_count, const u8* temps,
               const proto::Inventory* inventory, u64 now) {
  // Until the collector delivered its first sample the machine record is empty: its inventory would tell the host
  // that the machine has no processors and no memory, and the host would keep and show that.
  if (sample_count == 0) return;
  publish::inventory(&p->link, inventory, now);
  if (sample_count == p->last_sample_count) return;
  p->last_sample_count = sample_count;
  ring::Row row;
  if (!ring::at(samples, 0, &row)) return;
  publish::sample(&p->link, reinterpret_cast<const u8*>(&row), now);
  publish::temps(&p->link, temps, now);
}

}  // namespace publisher
