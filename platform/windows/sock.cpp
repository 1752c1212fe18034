// IPv4 sockets over Winsock: non-blocking TCP without delay, UDP beacons and WSAPoll.
#include "platform/sock.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mstcpip.h>
#include <windows.h>

#include "platform/fs.h"

namespace sock {
namespace {

static_assert(sizeof(PollEntry) == sizeof(WSAPOLLFD) && sizeof(Ipv4Address) == sizeof(sockaddr_in));

SOCKET native(Socket s) { return static_cast<SOCKET>(s); }

// Closes a socket that failed during set-up, keeping the error that made it fail for error_class.
u32 fail_closing(SOCKET s, Socket* out) {
  int saved = WSAGetLastError();
  if (s != INVALID_SOCKET) closesocket(s);
  WSASetLastError(saved);
  if (out) *out = invalid_socket;
  return failed;
}

// A peer that vanished without a word is noticed within about ten seconds: keepalive probes after 5 s, each 1 s
// apart (the system sends ten before it gives up, so an unanswered connection ends within 15 s).
void keep_alive(SOCKET s) {
  tcp_keepalive values{1, 5000, 1000};
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

u32 resolve_as(mem::Bytes name, int type) {
  if (name.len == 0 || name.len > 255) return 0;
  char text[256];
  for (u64 i = 0; i < name.len; ++i) text[i] = static_cast<char>(name.ptr[i]);
  text[name.len] = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &found) != 0 || !found) return 0;
  u32 address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return address;
}

u32 local_toward(u32 address, u16 port) {
  if (address == 0) return 0;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return 0;
  Ipv4Address to = ipv4_address(address, port);
  sockaddr_in mine{};
  int length = sizeof mine;
  u32 result = 0;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&mine), &length) == 0) {
    result = ntohl(mine.sin_addr.s_addr);
  }
  closesocket(s);
  return result;
}

}  // namespace

u32 error_class() { return fs::error_class(static_cast<u32>(WSAGetLastError())); }

Ipv4Address ipv4_address(u32 address, u16 port) {
  Ipv4Address a{};
  a.family = AF_INET;
  a.port_be = htons(port);
  a.address_be = htonl(address);
  return a;
}

u32 startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 1 : 0;
}

u32 resolve(mem::Bytes name) { return resolve_as(name, SOCK_STREAM); }
u32 udp_resolve(mem::Bytes name) { return resolve_as(name, SOCK_DGRAM); }
u32 local_address_toward(u32 address) { return local_toward(address, 445); }
u32 udp_local_address_toward(u32 address) { return local_toward(address, 9); }

u32 broadcast_address(u32 address) {
  alignas(8) u8 buffer[2048];
  ULONG size = sizeof buffer;
  MIB_IPADDRTABLE* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer);
  if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return 0;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (ntohl(table->table[i].dwAddr) != address) continue;
    u32 mask = ntohl(table->table[i].dwMask);
    return mask == 0 ? 0 : address | ~mask;
  }
  return 0;
}

u16 local_port(Socket socket) {
  sockaddr_in mine{};
  int length = sizeof mine;
  if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&mine), &length) != 0) return 0;
  return ntohs(mine.sin_port);
}

u32 set_nonblocking(Socket socket) {
  u_long on = 1;
  BOOL no_delay = TRUE;
  return ioctlsocket(native(socket), FIONBIO, &on) == 0 &&
                 setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                            sizeof no_delay) == 0
             ? 1
             : 0;
}

u32 listen(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return failed;
  BOOL exclusive = TRUE;
  Ipv4Address at = ipv4_address(address, port);
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive) !=
          0 ||
      bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(s, SOMAXCONN) != 0 || !set_nonblocking(s)) {
    return fail_closing(s, out);
  }
  *out = s;
  return done;
}

u32 accept(Socket listener, Socket* out, u32* peer) {
  *out = invalid_socket;
  sockaddr_in from{};
  int length = sizeof from;
  SOCKET s = ::accept(native(listener), reinterpret_cast<sockaddr*>(&from), &length);
  if (s == INVALID_SOCKET) {
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAECONNRESET ? would_block : failed;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (!set_nonblocking(s)) return fail_closing(s, out);
  keep_alive(s);
  *out = s;
  if (peer) *peer = ntohl(from.sin_addr.s_addr);
  return done;
}

u32 connect(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return failed;
  if (!set_nonblocking(s)) return fail_closing(s, out);
  keep_alive(s);
  Ipv4Address to = ipv4_address(address, port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    return fail_closing(s, out);
  }
  *out = s;
  return done;
}

u32 connect_done(Socket socket) {
  WSAPOLLFD p{native(socket), POLLWRNORM, 0};
  int n = WSAPoll(&p, 1, 0);
  if (n == 0) return would_block;
  if (n != 1 || !(p.revents & POLLWRNORM)) return failed;
  int error = 0, length = sizeof error;
  if (getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0) {
    return failed;
  }
  return done;
}

u32 recv(Socket socket, mem::Slice buffer, u64* count) {
  *count = 0;
  if (buffer.len == 0) return done;
  int want = buffer.len > 0x40000000 ? 0x40000000 : static_cast<int>(buffer.len);
  int n = ::recv(native(socket), reinterpret_cast<char*>(buffer.ptr), want, 0);
  if (n == 0) return closed;
  if (n < 0) return WSAGetLastError() == WSAEWOULDBLOCK ? would_block : failed;
  *count = static_cast<u64>(n);
  return done;
}

u32 send(Socket socket, mem::Bytes bytes, u64* count) {
  *count = 0;
  if (bytes.len == 0) return done;
  int want = bytes.len > 0x40000000 ? 0x40000000 : static_cast<int>(bytes.len);
  int n = ::send(native(socket), reinterpret_cast<const char*>(bytes.ptr), want, 0);
  if (n < 0) return WSAGetLastError() == WSAEWOULDBLOCK ? would_block : failed;
  *count = static_cast<u64>(n);
  return done;
}

void close(Socket socket) {
  if (socket != invalid_socket) closesocket(native(socket));
}

u32 shutdown_send(Socket socket) { return ::shutdown(native(socket), SD_SEND) == 0 ? done : failed; }

u32 udp_open(u32 address, u16 port, Socket* out) {
  *out = invalid_socket;
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return failed;
  BOOL on = TRUE;
  u_long nonblocking = 1;
  Ipv4Address at = ipv4_address(address, port);
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    return fail_closing(s, out);
  }
  *out = s;
  return done;
}

u32 udp_send_to(Socket socket, u32 address, u16 port, mem::Bytes bytes) {
  Ipv4Address to = ipv4_address(address, port);
  int n = sendto(native(socket), reinterpret_cast<const char*>(bytes.ptr), static_cast<int>(bytes.len), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n >= 0 && static_cast<u64>(n) == bytes.len ? 1 : 0;
}

// A datagram longer than the buffer reports WSAEMSGSIZE with the buffer filled; its true length is asked first.
u32 udp_recv_from(Socket socket, mem::Slice buffer, u64* length, u32* sender) {
  *length = 0;
  u_long waiting = 0;
  ioctlsocket(native(socket), FIONREAD, &waiting);
  sockaddr_in from{};
  int from_length = sizeof from;
  int n = recvfrom(native(socket), reinterpret_cast<char*>(buffer.ptr), static_cast<int>(buffer.len), 0,
                   reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n < 0) {
    int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAECONNRESET) return would_block;
    if (e != WSAEMSGSIZE) return failed;
    n = static_cast<int>(waiting > buffer.len ? waiting : buffer.len + 1);
  }
  *length = static_cast<u64>(n);
  if (sender) *sender = ntohl(from.sin_addr.s_addr);
  return done;
}

u32 poll_wait(PollSet* set, u32 timeout_ms) {
  u32 n = set->count < poll_capacity ? set->count : poll_capacity;
  if (n == 0) return 0;
  for (u32 i = 0; i < n; ++i) set->entries[i].returned = 0;
  int timeout = timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
  int ready = WSAPoll(reinterpret_cast<WSAPOLLFD*>(set->entries), n, timeout);
  return ready > 0 ? static_cast<u32>(ready) : 0;
}

}  // namespace sock
