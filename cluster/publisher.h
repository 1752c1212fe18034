#pragma once
// The publishing link on the network: one non-blocking TCP socket to the host, the share's lease read from the
// share itself or by a lease-reading child, and the host beacons on UDP. Each tick runs one bounded step (lease,
// handshake time-out, dial, finish the connect, ping, receive and send) and never blocks longer than the wait its
// caller passes; every socket failure becomes a link status with the link's back-off, never an end of the owner.
#include "base/mem.h"
#include "wire/cluster.h"
#include "cluster/publish.h"
#include "history/store.h"
#include "platform/os.h"
#include "platform/sock.h"
#include "sampling/child.h"
#include "sampling/ring.h"

namespace publisher {

constexpr u32 lease_period_ms = 1000;
constexpr u32 beacons_per_step = 8;
constexpr u16 beacon_port_default = 7421;
constexpr u32 lease_record_size = 72;  // a record of the lease child

// Reads the start of a small file past the system's cache: a result code of the file layer, the bytes copied into
// the buffer and the count read.
using FileReader = u32 (*)(mem::Bytes path, mem::Slice buffer, u64* count);

struct Publisher {
  publish::PublishLink link;
  sock::Socket socket;
  store::Path share_path;
  u64 next_lease_read;
  u32 leases_seen, leases_opened;  // records handed to the link, and those that opened with the cluster key
  u32 last_sample_count;           // the sample count when a sample was last sent
  u8 in_process;                   // this process reads the lease and beacons itself (tests; the agent uses the child)
  u8 child_running;                // the lease child runs on lease_child
  child::Section lease_child;      // the lease-reading child's block and process
  u32 child_count;                 // the lease child's record sequence last taken
  u32 read_now;                    // raised each time the link wants a lease at once
  u8 child_failed;                 // the lease child could not be started
  os::RandomSource random;
  FileReader read_file;
  sock::Socket beacon_socket;
  u32 beacon_address;
  u16 beacon_port;
  u32 beacons_read;
};

void init(Publisher* p, const auth::KeyState* key, const u8* id, u32 id_length, u8 role);
void set_target(Publisher* p, const cluster::PublishSettings* settings, u64 now);
// One step; the milliseconds the caller may sleep before the next.
u32 tick(Publisher* p, u64 now, u32 wait);
// The inventory when it changed; the newest sample and the temperatures when the sample count moved since the last
// call. samples is the machine's ring, sample_count its push count, temps its 260-byte temperature block.
void send_data(Publisher* p, const ring::Ring* samples, u32 sample_count, const u8* temps,
               const proto::Inventory* inventory, u64 now);
void stop(Publisher* p);
void stop_share_watch(Publisher* p);

// Steps of tick, for the driver's owner and tests.
void close_link(Publisher* p);
bool start_lease_reader(Publisher* p);
// Asks the lease child to end, waits for it briefly and unmaps its block.
void stop_lease_reader(Publisher* p);
// Hands every record the lease child wrote since the last call to the link; asks for a read when the link wants one.
void poll_lease_child(Publisher* p, u64 now);
void read_lease(Publisher* p, u64 now);
void read_beacons(Publisher* p, u64 now);
void take_lease(Publisher* p, const u8* record, u64 length, u64 now);
void dial(Publisher* p, u64 now);
void finish_connect(Publisher* p, u64 now, u32 wait);
// Waits for the socket, takes what came and sends what is queued.
void pump(Publisher* p, u64 now, u32 wait);
void flush(Publisher* p, u64 now);
void fail(Publisher* p, u64 now, u8 status);
u32 random32(const Publisher* p);
u32 next_wait(const Publisher* p, u64 now, u32 wait);

// Socket steps shared with the viewer driver.
enum Io : u32 { io_idle = 0, io_done = 1, io_failed = 2 };
// Waits up to wait ms for the connect to finish: io_idle still pending, io_done connected, io_failed.
u32 connect_step(sock::Socket socket, u32 wait);
// Waits up to wait ms (for writing too when want_write) and reads what came into room: io_done with the count,
// io_idle when nothing came, io_failed when the peer closed or the socket failed.
u32 read_step(sock::Socket socket, mem::Slice room, bool want_write, u32 wait, u64* count);
// Sends what it can of out: io_done with the count sent (0 when it would block), io_failed on an error.
u32 write_step(sock::Socket socket, mem::Bytes out, u64* count);
// The lease child's next record since *count: true with its 64 bytes in record and the length to judge (0 when the
// child's read failed).
bool lease_child_read(const child::Section* s, u32* count, u8 (&record)[lease_record_size], u64* length);
// Creates a lease block, writes its words (path, beacon socket) and starts this executable as "--lease <name>".
// False with nothing left running.
bool start_lease_child(child::Section* s, mem::Bytes share_path, u32 beacon_address, u16 beacon_port);
// Four bytes of the source as a little-endian u32; 0 when the source failed.
u32 random_of(os::RandomSource source);

}  // namespace publisher
