#pragma once
// The viewer link on the network: one non-blocking TCP socket to the host, stepped by its owner (the Machines page
// every 100 ms, the tool server while it waits for an answer). A viewer never reads the share's lease itself: for a
// share target the lease-reading child does (and relays the host's beacons); without it the link waits for a lease.
#include "base/mem.h"
#include "wire/cluster.h"
#include "cluster/viewer.h"
#include "platform/os.h"
#include "platform/sock.h"
#include "sampling/child.h"

namespace viewlink {

// Starts the lease-reading child on a share folder with the beacon socket's address and port; false with nothing
// left running.
using LeaseStarter = bool (*)(child::Section* section, mem::Bytes share_path, u32 beacon_address, u16 beacon_port);

struct ViewerConn {
  viewer::ViewerLink link;
  sock::Socket socket;
  u32 child_count;  // the lease child's record sequence last taken
  u32 leases_seen, leases_opened;
  u32 read_now;
  u8 child_failed;
  u8 child_running;
  os::RandomSource random;
  LeaseStarter start_lease;  // the lease child of this executable; tests start the built program instead
  child::Section lease_child;
};

// The connection and a receive buffer of the given length from the arena, both 64-byte aligned and initialised;
// null when either does not fit.
ViewerConn* create(mem::Arena* arena, const auth::KeyState* key, u32 receive_length);
void init(ViewerConn* v, const auth::KeyState* key, u8* receive, u32 receive_length);
void set_target(ViewerConn* v, const cluster::PublishSettings* settings, u64 now);
// One step; the milliseconds the caller may sleep before the next.
u32 tick(ViewerConn* v, u64 now, u32 wait);
void stop(ViewerConn* v);

void close_link(ViewerConn* v);
u32 random32(const ViewerConn* v);
void fail(ViewerConn* v, u64 now, u8 status);
void take_lease(ViewerConn* v, const u8* record, u64 length, u64 now);
// Asks the child for a read when the link wants one and hands the link every record it wrote since the last call.
void take_child_records(ViewerConn* v, u64 now);
void stop_lease_child(ViewerConn* v);
void dial(ViewerConn* v, u64 now);
void finish_connect(ViewerConn* v, u64 now, u32 wait);
void pump(ViewerConn* v, u64 now, u32 wait);
// Sends what it can of the out buffer; a send error fails the link (closed).
void flush(ViewerConn* v, u64 now);

}  // namespace viewlink
