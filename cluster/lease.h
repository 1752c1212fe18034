#pragma once
// The lease reader: a child process beside a member whose target is a share folder. Once a second, or at once when
// its parent asks, it reads the share's lease record past the file cache, and it relays the host's UDP beacons; both
// reach the parent as 72-byte records through a two-slot ring of its worker block. The child judges nothing: the
// parent opens every record with the cluster key.
//
// The block (1,024 bytes, u32 words, little-endian) after the common words of every worker block:
//   64 path sequence, raised by the parent after it wrote a new share path; 68 path length (0 none, at most 260);
//   72 read-now counter, raised by the parent for a read in the next round; 76 number of the newest record (child);
//   80 IPv4 address and 84 UDP port (low 16 bits, 0 none) of the beacon socket; 128 the share path;
//   448 the ring: 2 slots of 128 bytes, each a u64 sequence word and one record.
// A record: 64 data bytes (zero-filled), u32 length at 64, u32 status at 68. A lease record holds the start of the
// lease file, the count read and the file layer's result of the read; a beacon record the datagram, its length and 0.
#include "base/mem.h"
#include "platform/sock.h"
#include "sampling/child.h"

namespace lease {

inline constexpr u64 block_size = 1024;
inline constexpr u32 block_magic = 0x534C4256;  // "VBLS"
enum : u32 {
  path_seq_at = 64,
  path_length_at = 68,
  read_now_at = 72,
  record_seq_at = 76,
  bind_address_at = 80,
  beacon_port_at = 84,
  path_at = 128,
  ring_at = 448,
};
inline constexpr u32 path_capacity = 260;
inline constexpr u32 data_size = 64;
inline constexpr u32 record_size = 72;
inline constexpr u32 beacons_per_round = 8;
inline constexpr u32 read_period_ms = 1000;
inline constexpr u32 round_ms = 100;

// Exit codes of the child.
enum : u32 { exit_ended = 0, exit_bad_section = 7 };
// What a round asks of the loop.
enum : u32 { go_on = 0, stopped = 1, orphaned = 2 };

// ---- Parent side.

// Zeroes the block's first 1,024 bytes (all of it when smaller) and writes the magic and the parent's process id.
void init_block(u8* block, u64 size, u32 parent_pid);
// Posts a new share path: a path over 260 bytes is posted as empty. Path, then length, a fence, then the sequence.
void post_path(u8* block, u64 size, mem::Bytes path);
// Where the beacon socket binds; read by the child when the next path is posted.
void post_beacon(u8* block, u64 size, u32 address, u16 port);
// Asks the child to read the lease in its next round.
void ask_read(u8* block, u64 size);
// The ring: 448, stride 128, 2 slots, records of 72 bytes.
feed::Region ring_layout();
// A UDP socket that receives beacons at the port on every address of this machine: one bound to a single unicast
// address hears no broadcast. Invalid when it cannot be opened.
sock::Socket open_beacon_socket(u16 port);
// Receives one waiting datagram of up to 64 bytes as a record (data zero-filled, its length at 64, status 0 at 68):
// its length, 0 when none waits.
u64 read_beacon(sock::Socket socket, u8 (&record)[record_size]);
// The next record after *last that is still in the ring and reads whole: true with it copied into record and *last
// moved to its number; false when none is newer (a torn or overwritten one is skipped for a newer one).
bool take(const u8* block, u64 size, u32* last, u8 (&record)[record_size]);

// ---- Child side.

struct Child {
  u8* view;
  u64 view_size;
  feed::Region ring;
  u32 path_seq;  // the sequence and read-now counter seen last
  u32 read_now;
  u8 path[path_capacity];
  u32 path_length;
  u64 next_read;  // ms
  sock::Socket beacons;
  u64 parent;     // a handle to watch the parent, 0 when none
  u32 records;    // the number of the newest record written
};

// Checks the block (at least 1,024 bytes, the magic) and sets up the child's state on it; false when it is not a
// lease block.
bool open(Child* c, u8* view, u64 view_size, u64 parent);
// One round: go_on, stopped (the stop word is set) or orphaned (the parent ended).
u32 step(Child* c, u64 now);
void close(Child* c);
// The --lease process: exit_bad_section when the named section is missing or no lease block, else exit_ended once
// it is stopped or orphaned.
u32 child_main(mem::Bytes section_name);

}  // namespace lease
