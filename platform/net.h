#pragma once
// Network interfaces and TCP connections: interface rows (sysrec::IfRow) found by their 64-bit LUID, and TCP
// tables with the owning process of each row. A LUID carries the interface type in bits 48..63 and the interface
// index in bits 24..47, so one interface keeps one identity wherever it is named.
#include "base/mem.h"
#include "platform/sysinfo.h"

namespace net {

u64 luid_of(u32 type, u32 index);
inline u32 index_of_luid(u64 luid) { return static_cast<u32>(luid >> 24) & 0xFFFFFF; }

// The LUIDs of every interface, in index order; the count stored (at most cap).
u32 interfaces(sysinfo::Reader* reader, u64* luids, u32 cap);
// Fills the row of the interface named by row->luid (everything else is overwritten); false when it is gone.
bool interface_row(sysinfo::Reader* reader, sysrec::IfRow* row);

// A TCP table of one family (2 IPv4, 23 IPv6) with owning process ids: a u32 row count, then rows
// (sysrec::TcpRow or sysrec::Tcp6Row). Answers 0; insufficient_buffer with *size = the bytes needed; or another
// error. Owners are found through the processes' open files (a holder found before holds it while its count of open
// files stays, and is confirmed with one look when it moved; the search spends a bounded credit per sample);
// sockets of processes this user may not look into, and rows in time-wait, have owner 0.
// On Linux a table is read from the system at most every 5 s (each read walks the kernel's whole connection hash)
// and answered as last read in between; a new socket usually has its owner from the first read that lists it, at
// the latest from the one after (see sysinfo::find_owners).
enum : u32 { family_ipv4 = 2, family_ipv6 = 23 };
enum : u32 { insufficient_buffer = 122, not_supported = 50, file_error = 2 };
u32 tcp_table(sysinfo::Reader* reader, u32 family, mem::Slice buffer, u32* size);
// A report that shows the connections of a few processes only need not find the holder of every socket (on a busy
// machine, or where one holder cannot be looked into, that means listing every open file of every process): after
// defer_owners the rows carry owner 0, and held_rows counts, for one process, the rows of both tables as last read
// whose socket it holds now. True when the owners are deferred; false where the system's tables name their owners
// anyway (Windows), and nothing changes.
// Time-wait entries have no holder, and a machine whose connections come and go keeps thousands of them: with the
// owners deferred the tables leave them out, and time_wait_left counts those the tables as last read left out (0
// where they list every entry).
bool defer_owners(sysinfo::Reader* reader);
u32 held_rows(sysinfo::Reader* reader, u32 pid);
u32 time_wait_left(sysinfo::Reader* reader);

// The adapter list of every interface with its unicast addresses, in the system's chain layout (448-byte adapter
// nodes, 64-byte address entries, absolute addresses inside the buffer; families 2 and 23). Answers 0 with *size
// the bytes written, or insufficient_buffer with *size the bytes needed. Addresses come only from the live system;
// on another root the adapters are listed without them.
constexpr u32 adapter_node_bytes = 448;
constexpr u32 unicast_entry_bytes = 64;
u32 adapter_addresses(sysinfo::Reader* reader, mem::Slice buffer, u32* size);

}  // namespace net
