#include "cluster/viewlink.h"

#include "cluster/publisher.h"
#include "history/store.h"
#include "cluster/lease.h"

namespace viewlink {

ViewerConn* create(mem::Arena* arena, const auth::KeyState* key, u32 receive_length) {
  mem::Slice conn = mem::alloc(arena, sizeof(ViewerConn), 64);
  if (conn.ptr == nullptr) return nullptr;
  mem::Slice receive = mem::alloc(arena, receive_length, 64);
  if (receive.ptr == nullptr || receive_length == 0) return nullptr;
  ViewerConn* v = reinterpret_cast<ViewerConn*>(conn.ptr);
  init(v, key, receive.ptr, receive_length);
  return v;
}

void init(ViewerConn* v, const auth::KeyState* key, u8* receive, u32 receive_length) {
  viewer::init(&v->link, key, receive, receive_length);
  v->socket = sock::invalid_socket;
  v->child_count = 0;
  v->leases_seen = v->leases_opened = 0;
  v->read_now = 0;
  v->child_failed = 0;
  v->child_running = 0;
  v->random = os::random_bytes;
  v->start_lease = publisher::start_lease_child;
  v->lease_child = {};
}

void close_link(ViewerConn* v) {
  if (v->socket != sock::invalid_socket) sock::close(v->socket);
  v->socket = sock::invalid_socket;
}

void stop_lease_child(ViewerConn* v) {
  if (v->child_running) child::finish(&v->lease_child, 1000);  // the child looks at its stop word every 100 ms
  v->child_running = 0;
  v->child_count = 0;
}

void stop(ViewerConn* v) {
  close_link(v);
  stop_lease_child(v);
  viewer::stop(&v->link);
}

void set_target(ViewerConn* v, const cluster::PublishSettings* settings, u64 now) {
  stop(v);
  v->child_failed = 0;
  if (settings->target_kind == cluster::target_server) {
    viewer::fixed(&v->link, settings->address, static_cast<u16>(settings->port), now);
  } else if (settings->target_kind == cluster::target_path) {
    viewer::share(&v->link, now);
    // The child reads the lease file (the share joined with "lease") and hears the beacons on every address.
    store::Path share;
    store::path_set(&share, cluster::target_text(settings));
    bool started = v->start_lease != nullptr &&
                   v->start_lease(&v->lease_child, store::path_of(&share), 0, settings->beacon_port);
    v->child_running = started ? 1 : 0;
    v->child_failed = started ? 0 : 1;
  }
}

void take_child_records(ViewerConn* v, u64 now) {
  if (v->link.lease_wanted) {
    lease::ask_read(v->lease_child.view, v->lease_child.view_size);
    ++v->read_now;
    v->link.lease_wanted = 0;
  }
  u8 record[publisher::lease_record_size];
  u64 length = 0;
  for (u32 i = 0; i < 4 && publisher::lease_child_read(&v->lease_child, &v->child_count, record, &length); ++i) {
    take_lease(v, record, length, now);
  }
}

u32 random32(const ViewerConn* v) { return publisher::random_of(v->random); }

void fail(ViewerConn* v, u64 now, u8 status) {
  close_link(v);
  viewer::failed(&v->link, now, random32(v), status);
}

void take_lease(ViewerConn* v, const u8* record, u64 length, u64 now) {
  cluster::Heard heard = {};
  bool readable = length == proto::record_size &&
                  cluster::take_beacon(mem::Bytes(record, length), &v->link.peer.cluster_key, &heard);
  ++v->leases_seen;
  v->leases_opened += readable ? 1 : 0;
  if (viewer::lease(&v->link, readable, &heard, now, random32(v))) close_link(v);
}

void dial(ViewerConn* v, u64 now) {
  viewer::dialing(&v->link, now);
  if (sock::connect(v->link.target_address, v->link.target_port, &v->socket) != sock::done) {
    v->socket = sock::invalid_socket;
    fail(v, now, cluster::status_cannot_connect);
  }
}

void flush(ViewerConn* v, u64 now) {
  u64 count = 0;
  if (publisher::write_step(v->socket, viewer::out_data(&v->link), &count) == publisher::io_failed) {
    fail(v, now, cluster::status_closed);
    return;
  }
  viewer::sent(&v->link, count);
}

void finish_connect(ViewerConn* v, u64 now, u32 wait) {
  u32 r = publisher::connect_step(v->socket, wait);
  if (r == publisher::io_idle) return;
  if (r == publisher::io_failed) {
    fail(v, now, cluster::status_cannot_connect);
    return;
  }
  u8 nonce[proto::nonce_size];
  bool drawn = v->random != nullptr && v->random(mem::Slice{nonce, sizeof nonce}) != 0;
  if (!viewer::connected(&v->link, nonce, sizeof nonce, drawn, now)) {
    fail(v, now, cluster::status_no_random);
    return;
  }
  flush(v, now);  // the hello leaves in the step that saw the connect finish
}

void pump(ViewerConn* v, u64 now, u32 wait) {
  u64 count = 0;
  u32 r = publisher::read_step(v->socket, viewer::in_room(&v->link), v->link.out_used != 0, wait, &count);
  if (r == publisher::io_failed) {
    fail(v, now, cluster::status_closed);
    return;
  }
  if (r == publisher::io_done && !viewer::received(&v->link, static_cast<u32>(count), now)) {
    fail(v, now, v->link.status);
    return;
  }
  flush(v, now);
}

u32 tick(ViewerConn* v, u64 now, u32 wait) {
  if (v->link.target_kind == publish::target_share && v->child_running) take_child_records(v, now);
  if (publish::expired(v->link.state, v->link.state_since, now)) fail(v, now, cluster::status_no_answer);
  if (viewer::due(&v->link, now)) dial(v, now);
  if (v->link.state == publish::connecting) {
    finish_connect(v, now, wait);
    return 0;
  }
  viewer::idle(&v->link, now);
  if (v->link.state < publish::hello_sent) {
    u32 dial_in = viewer::wait_ms(&v->link, now);
    bool waiting = v->link.state == publish::waiting && v->link.target_port != 0;
    return waiting && dial_in < wait ? dial_in : wait;
  }
  pump(v, now, wait);
  return 0;
}

}  // namespace viewlink
