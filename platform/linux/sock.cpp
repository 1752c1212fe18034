#include "platform/sock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/fs.h"

namespace sock {
namespace {

const u64 transfer_max = 0x40000000;

inline int fd_of(Socket s) { return static_cast<int>(s); }

sockaddr_in native_address(u32 address, u16 port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(address);
  return a;
}

// Closes a socket that failed during set-up, keeping the error that made it fail for error_class.
u32 fail_closing(int fd) {
  int saved = errno;
  if (fd >= 0) ::close(fd);
  errno = saved;
  return failed;
}

// Nothing now, but the socket is sound: the caller tries again on a later turn.
bool transient(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

// An accept that found no connection to take: none waited, or the one that did went away or met a network error
// that concerns only it.
bool accept_transient(int e) {
  return transient(e) || e == ECONNABORTED || e == EPROTO || e == ENETDOWN || e == ENOPROTOOPT || e == EHOSTDOWN ||
         e == ENONET || e == EHOSTUNREACH || e == EOPNOTSUPP || e == ENETUNREACH;
}

u32 no_delay(int fd) {
  int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 1 : 0;
}

// A peer that vanishes without a word (its machine lost power or its network) must not keep a connection "open"
// for the quarter of an hour the system's defaults allow: data unacknowledged for 10 s ends the connection, and an
// idle one is probed after 5 s, three times 2 s apart. The connection then fails as any other. Best effort: a
// system without these options keeps its defaults.
constexpr int unacked_ms = 10000, idle_s = 5, probe_s = 2, probes = 3;
void watch_peer(int fd) {
  int on = 1, idle = idle_s, interval = probe_s, count = probes, unacked = unacked_ms;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked, sizeof unacked);
}

u32 set_option(int fd, int option) {
  int one = 1;
  return setsockopt(fd, SOL_SOCKET, option, &one, sizeof one) == 0 ? 1 : 0;
}

u32 lookup(mem::Bytes name, int type) {
  if (name.len == 0 || name.len > 255) return 0;
  char text[256];
  memcpy(text, name.ptr, name.len);
  text[name.len] = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &found) != 0 || !found) return 0;
  u32 address = 0;
  for (addrinfo* a = found; a && address == 0; a = a->ai_next) {
    if (a->ai_family == AF_INET) address = ntohl(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
  }
  freeaddrinfo(found);
  return address;
}

u32 local_toward(u32 address, u16 port) {
  if (address == 0) return 0;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in to = native_address(address, port), local{};
  socklen_t size = sizeof local;
  u32 result = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    result = ntohl(local.sin_addr.s_addr);
  }
  ::close(fd);
  return result;
}

// The program's poll bits and the system's, translated in one place.
struct EventPair {
  u16 own;
  short native;
};
const EventPair event_pairs[] = {
    {poll_read_normal, POLLIN}, {poll_read_band, POLLPRI}, {poll_write, POLLOUT},
    {poll_error, POLLERR},      {poll_hangup, POLLHUP},    {poll_invalid, POLLNVAL},
};

short native_events(u16 own) {
  short native = 0;
  for (const EventPair& p : event_pairs) {
    if (own & p.own) native = static_cast<short>(native | p.native);
  }
  return native;
}

u16 own_events(short native) {
  u16 own = 0;
  for (const EventPair& p : event_pairs) {
    if (native & p.native) own = static_cast<u16>(own | p.own);
  }
  return own;
}

}  // namespace

u32 error_class() { return fs::error_class(fs::last_error()); }

Ipv4Address ipv4_address(u32 address, u16 port) {
  Ipv4Address a{};
  a.family = AF_INET;
  a.port_be = htons(port);
  a.address_be = htonl(address);
  return a;
}

u32 startup() { return 1; }

u32 resolve(mem::Bytes name) { return lookup(name, SOCK_STREAM); }
u32 udp_resolve(mem::Bytes name) { return lookup(name, SOCK_DGRAM); }

u32 local_address_toward(u32 address) { return local_toward(address, 445); }
u32 udp_local_address_toward(u32 address) { return local_toward(address, 9); }

u32 broadcast_address(u32 address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  u32 result = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
    u32 own = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    u32 mask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    if (own != address) continue;
    result = mask == 0 ? 0 : (own | ~mask);
    break;
  }
  freeifaddrs(list);
  return result;
}

u16 local_port(Socket socket) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  if (getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&a), &size) != 0 || a.sin_family != AF_INET) return 0;
  return ntohs(a.sin_port);
}

u32 set_nonblocking(Socket socket) {
  int fd = fd_of(socket);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return 0;
  return no_delay(fd);
}

u32 listen(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed;
  // Linux refuses a second listener on a bound address and port in any case (no port sharing is asked for); the
  // option only lets a restarted program bind while its predecessor's connections linger in their last state.
  sockaddr_in a = native_address(address, port);
  if (!set_option(fd, SO_REUSEADDR) || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd, SOMAXCONN) != 0 || !set_nonblocking(static_cast<Socket>(fd))) {
    return fail_closing(fd);
  }
  *out = static_cast<Socket>(fd);
  return done;
}

u32 accept(Socket listener, Socket* out, u32* peer) {
  *out = invalid_socket;
  *peer = 0;
  sockaddr_in a{};
  socklen_t size = sizeof a;
  int fd = accept4(fd_of(listener), reinterpret_cast<sockaddr*>(&a), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return accept_transient(errno) ? would_block : failed;
  if (!no_delay(fd)) return fail_closing(fd);
  watch_peer(fd);
  *out = static_cast<Socket>(fd);
  *peer = ntohl(a.sin_addr.s_addr);
  return done;
}

u32 connect(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed;
  if (!no_delay(fd)) return fail_closing(fd);
  watch_peer(fd);
  sockaddr_in a = native_address(address, port);
  // In progress (or interrupted, which goes on in the background too) is the normal answer of a socket that
  // never blocks.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS && errno != EINTR) {
    return fail_closing(fd);
  }
  *out = static_cast<Socket>(fd);
  return done;
}

u32 connect_done(Socket socket) {
  pollfd p{fd_of(socket), POLLOUT, 0};
  int ready = poll(&p, 1, 0);
  if (ready == 0) return would_block;
  if (ready != 1 || (p.revents & POLLOUT) == 0) return failed;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return failed;
  if (error != 0) {
    errno = error;
    return failed;
  }
  // A failed connection can still read as writable with no error left when its hang-up was seen first.
  if (p.revents & (POLLERR | POLLHUP)) return failed;
  return done;
}

u32 recv(Socket socket, mem::Slice buffer, u64* count) {
  *count = 0;
  if (buffer.len == 0) return done;
  ssize_t n = ::recv(fd_of(socket), buffer.ptr, buffer.len < transfer_max ? buffer.len : transfer_max, 0);
  if (n == 0) return closed;
  if (n < 0) return transient(errno) ? would_block : failed;
  *count = static_cast<u64>(n);
  return done;
}

u32 send(Socket socket, mem::Bytes bytes, u64* count) {
  *count = 0;
  if (bytes.len == 0) return done;
  ssize_t n = ::send(fd_of(socket), bytes.ptr, bytes.len < transfer_max ? bytes.len : transfer_max, MSG_NOSIGNAL);
  if (n < 0) return transient(errno) ? would_block : failed;
  *count = static_cast<u64>(n);
  return done;
}

void close(Socket socket) {
  if (socket != invalid_socket) ::close(fd_of(socket));
}

u32 shutdown_send(Socket socket) {
  if (socket == invalid_socket) return failed;
  return ::shutdown(fd_of(socket), SHUT_WR) == 0 ? done : failed;
}

u32 udp_open(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed;
  sockaddr_in a = native_address(address, port);
  if (!set_option(fd, SO_REUSEADDR) || !set_option(fd, SO_BROADCAST) ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return fail_closing(fd);
  }
  *out = static_cast<Socket>(fd);
  return done;
}

u32 udp_send_to(Socket socket, u32 address, u16 port, mem::Bytes bytes) {
  sockaddr_in a = native_address(address, port);
  ssize_t n = sendto(fd_of(socket), bytes.ptr, bytes.len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return n >= 0 && static_cast<u64>(n) == bytes.len ? 1 : 0;
}

u32 udp_recv_from(Socket socket, mem::Slice buffer, u64* length, u32* sender) {
  *length = 0;
  *sender = 0;
  sockaddr_in from{};
  socklen_t size = sizeof from;
  // The true length even when the datagram was longer than the buffer, so a decoder sees an oversized record as
  // oversized instead of as a shorter one cut to fit.
  ssize_t n = recvfrom(fd_of(socket), buffer.ptr, buffer.len, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &size);
  if (n < 0) return transient(errno) ? would_block : failed;
  *length = static_cast<u64>(n);
  *sender = ntohl(from.sin_addr.s_addr);
  return done;
}

u32 poll_wait(PollSet* set, u32 timeout_ms) {
  u32 n = set->count < poll_capacity ? set->count : poll_capacity;
  if (n == 0) return 0;
  pollfd native[poll_capacity];
  for (u32 i = 0; i < n; ++i) {
    native[i] = pollfd{fd_of(set->entries[i].socket), native_events(set->entries[i].events), 0};
    set->entries[i].returned = 0;
  }
  int timeout = timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
  int ready = poll(native, n, timeout);
  if (ready <= 0) return 0;
  for (u32 i = 0; i < n; ++i) set->entries[i].returned = own_events(native[i].revents);
  return static_cast<u32>(ready);
}

}  // namespace sock
