#include "platform/sock.h"

#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"

namespace {

using harness::bytes;

const u32 loopback = 0x7F000001;

// Repeats step until it answers something other than "would block", waiting on the socket in between; the last
// answer. The deadline only guards against a hang.
template <typename Step>
u32 until_ready(sock::Socket s, u32 want_write, Step step) {
  long long deadline = forked::now_ms() + 30000;
  u32 r = step();
  while (r == sock::would_block && forked::now_ms() < deadline) {
    sock::poll_one(s, want_write, 100);
    r = step();
  }
  return r;
}

// A connected pair on loopback: client and the accepted server side.
struct Pair {
  sock::Socket listener = sock::invalid_socket, client = sock::invalid_socket, server = sock::invalid_socket;
  u16 port = 0;
  u32 peer = 0;
  Pair() {
    if (sock::listen(loopback, 0, &listener) != sock::done) return;
    port = sock::local_port(listener);
    if (sock::connect(loopback, port, &client) != sock::done) return;
    until_ready(listener, 0, [&] { return sock::accept(listener, &server, &peer); });
    until_ready(client, 1, [&] { return sock::connect_done(client); });
  }
  ~Pair() {
    sock::close(client);
    sock::close(server);
    sock::close(listener);
  }
};

TEST(Sockets, AddressesAndTexts) {
  sock::Ipv4Address a = sock::ipv4_address(0xC0A80102, 7420);
  const u8 expected[16] = {2, 0, 0x1C, 0xFC, 192, 168, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(&a, expected, 16), 0);
  EXPECT_EQ(sock::swap32(0xC0A80102), 0x0201A8C0u);
  EXPECT_EQ(sock::udp_swap32(0x01020304), 0x04030201u);

  const char* texts[] = {"done", "would block", "closed by the peer", "failed", "unknown"};
  for (u32 code = 0; code < 5; ++code) EXPECT_EQ(harness::text(sock::result_text(code)), texts[code]);
}

TEST(Sockets, NamesAndInterfaces) {
  EXPECT_EQ(sock::startup(), 1u);
  EXPECT_EQ(sock::resolve(bytes("localhost")), loopback);
  EXPECT_EQ(sock::resolve(bytes("127.0.0.1")), loopback);
  EXPECT_EQ(sock::udp_resolve(bytes("127.0.0.1")), loopback);
  EXPECT_EQ(sock::resolve(bytes("")), 0u);
  EXPECT_EQ(sock::resolve(bytes(std::string(256, 'a'))), 0u);  // refused before any lookup

  EXPECT_EQ(sock::local_address_toward(loopback), loopback);
  EXPECT_EQ(sock::udp_local_address_toward(loopback), loopback);
  EXPECT_EQ(sock::local_address_toward(0), 0u);

  // The loopback interface holds 127.0.0.1/8 on every Linux machine.
  EXPECT_EQ(sock::broadcast_address(loopback), 0x7FFFFFFFu);
  EXPECT_EQ(sock::broadcast_address(0x7F000002), 0u);  // inside the net, but no interface holds it
  EXPECT_EQ(sock::broadcast_address(0), 0u);
}

TEST(Sockets, TcpConnectAcceptSendReceive) {
  Pair p;
  ASSERT_NE(p.server, sock::invalid_socket);
  ASSERT_NE(p.port, 0);
  EXPECT_EQ(p.peer, loopback);
  EXPECT_EQ(sock::connect_done(p.client), sock::done);

  u8 buffer[64];
  u64 count = 99;
  EXPECT_EQ(sock::recv(p.server, mem::Slice{buffer, sizeof buffer}, &count), sock::would_block);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(sock::send(p.client, bytes("hello"), &count), sock::done);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(until_ready(p.server, 0, [&] { return sock::recv(p.server, mem::Slice{buffer, sizeof buffer}, &count); }),
            sock::done);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "hello");
  EXPECT_EQ(sock::send(p.server, mem::Bytes(), &count), sock::done);
  EXPECT_EQ(count, 0u);

  // An orderly close reads as 2; an empty buffer still gives 0 without a look at the socket.
  sock::close(p.client);
  p.client = sock::invalid_socket;
  EXPECT_EQ(until_ready(p.server, 0, [&] { return sock::recv(p.server, mem::Slice{buffer, sizeof buffer}, &count); }),
            sock::closed);
  EXPECT_EQ(sock::recv(p.server, mem::Slice{buffer, 0}, &count), sock::done);
  EXPECT_EQ(count, 0u);
}

TEST(Sockets, RefusedConnectFailsInTheBackground) {
  sock::Socket listener = sock::invalid_socket, client = sock::invalid_socket;
  ASSERT_EQ(sock::listen(loopback, 0, &listener), sock::done);
  u16 port = sock::local_port(listener);
  sock::close(listener);

  ASSERT_EQ(sock::connect(loopback, port, &client), sock::done);
  EXPECT_EQ(until_ready(client, 1, [&] { return sock::connect_done(client); }), sock::failed);
  EXPECT_EQ(sock::error_class(), fs::refused);
  sock::close(client);
}

TEST(Sockets, HeldPortIsRefusedAndARestartBindsAtOnce) {
  sock::Socket first = sock::invalid_socket, second = sock::invalid_socket;
  u16 port = 0;
  {
    Pair p;
    ASSERT_NE(p.server, sock::invalid_socket);
    port = p.port;
    EXPECT_EQ(sock::listen(loopback, p.port, &second), sock::failed);
    EXPECT_EQ(sock::error_class(), fs::address_in_use);
    EXPECT_EQ(second, sock::invalid_socket);
    // The server side closes first, so its end of the connection lingers on the port.
    sock::close(p.server);
    p.server = sock::invalid_socket;
  }
  EXPECT_EQ(sock::listen(loopback, port, &first), sock::done);
  sock::close(first);
}

TEST(Sockets, PeerThatGoesAwayMidSendIsAFailureNotASignal) {
  // A broken connection must not end the process: the test runs with the default signal handling.
  Pair p;
  ASSERT_NE(p.server, sock::invalid_socket);
  u64 count = 0;
  ASSERT_EQ(sock::send(p.client, bytes("unread"), &count), sock::done);
  // Closing with unread bytes resets the connection.
  until_ready(p.server, 0, [&] { return sock::poll_one(p.server, 0, 0) ? sock::done : sock::would_block; });
  sock::close(p.server);
  p.server = sock::invalid_socket;

  std::vector<u8> block(65536, 'x');
  u32 r = sock::done;
  for (int i = 0; i < 10000 && r != sock::failed; ++i) {
    r = sock::send(p.client, mem::Bytes(block.data(), block.size()), &count);
    if (r == sock::would_block) sock::poll_one(p.client, 1, 100);
  }
  EXPECT_EQ(r, sock::failed);
  EXPECT_EQ(sock::error_class(), fs::reset);
  // Once the reset is taken, a send meets a broken pipe, which is where a signal would end the process.
  EXPECT_EQ(sock::send(p.client, bytes("more"), &count), sock::failed);
  EXPECT_EQ(sock::error_class(), fs::reset);
}

TEST(Sockets, UdpDatagramsKeepTheirTrueLength) {
  sock::Socket receiver = sock::invalid_socket, sender = sock::invalid_socket;
  ASSERT_EQ(sock::udp_open(loopback, 0, &receiver), sock::done);
  ASSERT_EQ(sock::udp_open(loopback, 0, &sender), sock::done);
  u16 port = sock::local_port(receiver);

  u8 small[64];
  u64 length = 7;
  u32 from = 7;
  EXPECT_EQ(sock::udp_recv_from(receiver, mem::Slice{small, sizeof small}, &length, &from), sock::would_block);

  std::string datagram(100, 'd');
  datagram[0] = 'D';
  ASSERT_EQ(sock::udp_send_to(sender, loopback, port, bytes(datagram)), 1u);
  ASSERT_EQ(until_ready(receiver, 0,
                        [&] { return sock::udp_recv_from(receiver, mem::Slice{small, sizeof small}, &length, &from); }),
            sock::done);
  EXPECT_EQ(length, 100u);  // longer than the buffer: the caller sees it did not fit
  EXPECT_EQ(from, loopback);
  EXPECT_EQ(small[0], 'D');

  // Another socket may bind the same port (beacons are shared by the processes of a machine).
  sock::Socket again = sock::invalid_socket;
  EXPECT_EQ(sock::udp_open(loopback, port, &again), sock::done);
  sock::udp_close(again);
  sock::udp_close(sender);
  sock::udp_close(receiver);
}

TEST(Sockets, UdpBroadcastOnLoopback) {
  sock::Socket receiver = sock::invalid_socket, sender = sock::invalid_socket;
  ASSERT_EQ(sock::udp_open(0, 0, &receiver), sock::done);
  ASSERT_EQ(sock::udp_open(loopback, 0, &sender), sock::done);
  u16 port = sock::local_port(receiver);
  u32 broadcast = sock::broadcast_address(loopback);
  if (!sock::udp_send_to(sender, broadcast, port, bytes("beacon"))) {
    sock::close(sender);
    sock::close(receiver);
    GTEST_SKIP() << "this machine does not let a broadcast out on loopback";
  }
  u8 buffer[16];
  u64 length = 0;
  u32 from = 0;
  EXPECT_EQ(until_ready(receiver, 0,
                        [&] { return sock::udp_recv_from(receiver, mem::Slice{buffer, sizeof buffer}, &length, &from); }),
            sock::done);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "beacon");
  sock::close(sender);
  sock::close(receiver);
}

TEST(PollSet, CapacityAndAnEmptySet) {
  sock::PollSet set;
  set.count = 0;
  for (u32 i = 0; i < sock::poll_capacity; ++i) ASSERT_EQ(sock::poll_add(&set, 1000 + i, i & 1), i);
  EXPECT_EQ(sock::poll_add(&set, 5, 0), sock::poll_capacity);
  EXPECT_EQ(set.count, sock::poll_capacity);
  EXPECT_EQ(set.entries[127].socket, 1127u);
  EXPECT_EQ(set.entries[1].events, 0x310);
  EXPECT_EQ(set.entries[2].events, 0x300);

  // An empty set answers at once whatever the time-out (the guard only catches a wait).
  int code = harness::in_child([] {
    sock::PollSet empty;
    empty.count = 0;
    return sock::poll_wait(&empty, 600000) == 0 ? 0 : 1;
  }, 20);
  EXPECT_EQ(code, 0);
}

TEST(PollSet, ReadyEntriesCarryTheProgramsEventBits) {
  Pair p;
  ASSERT_NE(p.server, sock::invalid_socket);
  u64 count = 0;
  ASSERT_EQ(sock::send(p.client, bytes("x"), &count), sock::done);

  sock::PollSet set;
  set.count = 0;
  u32 quiet = sock::poll_add(&set, p.listener, 0);
  u32 readable = sock::poll_add(&set, p.server, 0);
  u32 writable = sock::poll_add(&set, p.client, 1);
  u32 ready = 0;
  for (int i = 0; i < 300 && ready < 2; ++i) ready = sock::poll_wait(&set, 100);
  EXPECT_EQ(ready, 2u);
  EXPECT_EQ(set.entries[quiet].returned, 0);
  EXPECT_EQ(set.entries[readable].returned, sock::poll_read_normal);
  EXPECT_EQ(set.entries[writable].returned, sock::poll_write);

  EXPECT_EQ(sock::poll_one(p.server, 0, 0), 1u);
  EXPECT_EQ(sock::poll_one(p.client, 1, 0), 2u);
  EXPECT_EQ(sock::poll_one(p.listener, 0, 0), 0u);
  // A socket that is not one shows as both readable and writable, so the next call meets the error.
  EXPECT_EQ(sock::poll_one(1000000, 0, 0), 3u);
}

}  // namespace
