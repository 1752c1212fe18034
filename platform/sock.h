#pragma once
// IPv4 sockets for single-threaded loops: TCP listeners and connections that never block, UDP beacons, name
// lookups, a few address queries and one poll set per loop turn. Addresses cross this interface as u32 in host
// order (192.168.1.2 is 0xC0A80102), ports as u16 in host order. No call retries or sleeps; a socket that fails
// while being set up is closed before the call returns.
#include "base/mem.h"

namespace sock {

// Result codes of the TCP and UDP calls.
enum : u32 { done = 0, would_block = 1, closed = 2, failed = 3 };
// "done", "would block", "closed by the peer", "failed"; "unknown" for any other code.
mem::Bytes result_text(u32 code);
// The file layer's error class (fs.h) of the system error behind the last failed call of this thread, for a caller
// that wants to say more than "failed".
u32 error_class();

// A socket handle; invalid_socket when none.
using Socket = u64;
inline constexpr Socket invalid_socket = ~0ull;

// The 16-byte IPv4 socket address: family, port and address in network order, eight zero bytes.
struct Ipv4Address {
  u16 family;
  u16 port_be;
  u32 address_be;
  u8 zero[8];
};
static_assert(sizeof(Ipv4Address) == 16, "the system's IPv4 socket address is 16 bytes");

inline u32 swap32(u32 v) { return __builtin_bswap32(v); }
Ipv4Address ipv4_address(u32 address, u16 port);
inline u32 udp_swap32(u32 v) { return swap32(v); }
inline Ipv4Address udp_address(u32 address, u16 port) { return ipv4_address(address, port); }

// ---- Start-up and names.

// Nothing to start on Linux: 1.
u32 startup();
// The first IPv4 address of the name (1 to 255 bytes) for a stream socket, or 0 when the name is empty, too long or
// has none. The lookup may wait on the network: call it at start or on a slow schedule, never every loop turn.
u32 resolve(mem::Bytes name);
// The same for a datagram socket.
u32 udp_resolve(mem::Bytes name);
// This machine's address on the way to the address (a UDP socket connected to it on port 445; nothing is sent);
// 0 when the address is 0 or a step fails.
u32 local_address_toward(u32 address);
// The same through port 9.
u32 udp_local_address_toward(u32 address);
// The directed broadcast address (address OR NOT mask) of the interface that holds the address; 0 when no
// interface holds it or its mask is 0.
u32 broadcast_address(u32 address);
// The bound local port, 0 on failure (a listener bound to port 0 learns its port this way).
u16 local_port(Socket socket);

// ---- TCP. Every socket is non-blocking with Nagle's algorithm off and is not inherited by children.

// 1 when the socket was made non-blocking with no delay.
u32 set_nonblocking(Socket socket);
// A listener on the address and port (0 any). A second live listener on the same address and port is refused,
// while a restarted program binds at once although connections of its predecessor linger: 0 or 3.
u32 listen(u32 address, u16 port, Socket* out);
// 0 with a new connection and the peer's address; 1 when none waits (or one vanished before it was taken); 3 on
// another error, among them too many open files: the connection stays queued, so the caller rests the listener
// for a turn rather than polling it again at once.
u32 accept(Socket listener, Socket* out, u32* peer);
// Starts connecting in the background: 0 (check with connect_done) or 3. Connections made and accepted here fail
// within about ten seconds when the peer vanishes silently (unacknowledged data or unanswered keepalive probes).
u32 connect(u32 address, u16 port, Socket* out);
// 0 connected, 1 still connecting, 3 failed (refused, unreachable).
u32 connect_done(Socket socket);
// 0 with the count received, 1 nothing now, 2 the peer closed the connection, 3 failed. An empty buffer gives 0 and
// a count of 0 without looking at the socket. At most 1 GiB per call.
u32 recv(Socket socket, mem::Slice buffer, u64* count);
// 0 with the count sent (it may be short: the caller keeps the rest), 1 nothing could be sent now, 3 failed (a peer
// that went away is a failure, never a signal that ends the process). Nothing to send gives 0. At most 1 GiB.
u32 send(Socket socket, mem::Bytes bytes, u64* count);
void close(Socket socket);
// Ends the sending direction: the peer reads the end of the stream once what was sent has arrived; reading goes on.
// 0, or 3 when the socket is no longer connected.
u32 shutdown_send(Socket socket);

// ---- UDP.

// A non-blocking datagram socket that may broadcast, bound to the address and port; other sockets may bind the
// same port. 0 or 3.
u32 udp_open(u32 address, u16 port, Socket* out);
// 1 when the whole datagram was sent, else 0.
u32 udp_send_to(Socket socket, u32 address, u16 port, mem::Bytes bytes);
// 0 with the datagram's true length (which exceeds the buffer when the datagram did not fit; only the buffer's
// length was kept) and the sender's address; 1 when none waits; 3 on another error.
u32 udp_recv_from(Socket socket, mem::Slice buffer, u64* length, u32* sender);
inline void udp_close(Socket socket) { close(socket); }

// ---- Polling.

// Event bits of a poll entry, as the program's other backends define them: reading (normal and priority data),
// writing, error, hang-up, invalid socket.
enum : u16 {
  poll_read_normal = 0x100,
  poll_read_band = 0x200,
  poll_read = 0x300,
  poll_write = 0x10,
  poll_error = 0x1,
  poll_hangup = 0x2,
  poll_invalid = 0x4,
};

struct PollEntry {
  Socket socket;
  u16 events;    // requested
  u16 returned;  // reported by poll_wait
};

inline constexpr u32 poll_capacity = 128;

// The sockets of one wait. Callers set count to 0 at the start of each loop turn and add their sockets again.
struct PollSet {
  PollEntry entries[poll_capacity];
  u32 count;
};

// 0x300 (reading), or 0x310 (reading and writing) for a caller with bytes to send.
inline u16 poll_events(u32 want_write) { return want_write ? poll_read | poll_write : poll_read; }
// Appends the socket with cleared returned events; its index, or 128 without adding when the set is full.
u32 poll_add(PollSet* set, Socket socket, u32 want_write);
// Waits at most the time-out for any entry to be ready; the number of ready entries, their returned events set.
// An empty set gives 0 at once (no wait happens, so a loop with nothing to poll paces itself); a failure gives 0.
u32 poll_wait(PollSet* set, u32 timeout_ms);
// Waits on one socket: bit 0 when it can be read or has an error, hang-up or is invalid; bit 1 when it can be
// written or has an error, hang-up or is invalid. An error shows as both, so the next read or write meets it.
u32 poll_one(Socket socket, u32 want_write, u32 timeout_ms);

}  // namespace sock
