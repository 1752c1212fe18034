#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cluster/publish.h"
#include "tests/cluster/link_host.h"

namespace {

using link_host::Bytes;

const u8 kId[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const u8 kNonce[16] = {0x33, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

using PublishPipe = link_host::Pipe<publish::PublishLink, publish::out_data, publish::sent, publish::in_room,
                                     publish::received>;

// A publishing link and the host it talks to.
struct Rig : PublishPipe {
  explicit Rig(const char* secret = "cluster secret") {
    auth::KeyState key;
    link_host::key_of(&key, secret);
    publish::init(link.get(), &key, kId, 16, proto::role_publisher);
  }

  void dial() {
    host.reset();
    ASSERT_TRUE(publish::due(link.get(), now));
    publish::dialing(link.get(), now);
    ASSERT_TRUE(publish::connected(link.get(), kNonce, 16, true, now));
  }

  // Dials and runs the handshake to the open state.
  void open() {
    dial();
    ASSERT_TRUE(exchange());  // hello -> reply -> proof queued
    ASSERT_TRUE(exchange());  // proof -> accept
    ASSERT_TRUE(publish::ready(link.get()));
  }
};

Bytes wire_with(Bytes b, size_t at, u8 value) {
  b.at(at) = value;
  return b;
}
// The frame with another payload length in its header.
Bytes wire_len(Bytes b, u32 length) {
  memcpy(b.data() + 8, &length, 4);
  return b;
}

proto::Inventory inventory_of(u8 cpus) {
  proto::Inventory inv = {};
  memcpy(inv.id, kId, 16);
  inv.version[2] = 81;
  inv.hw32[0] = 4096;
  inv.hw16[1] = cpus;
  inv.os_family = 2;
  memcpy(inv.names[proto::name_computer], "box", 3);
  return inv;
}

std::vector<u8> temps_block(u32 sequence) {
  std::vector<u8> block(proto::temps_block_size, 0);
  memcpy(block.data(), &sequence, 4);
  return block;
}

TEST(PublishLink, HandshakeOpensAndDataWaitsForTheInventory) {
  for (u32 chunk : {1u, 7u, 64u}) {
    Rig rig;
    rig.chunk = chunk;
    publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
    rig.open();
    SCOPED_TRACE(chunk);
    EXPECT_TRUE(rig.host.proved);
    EXPECT_EQ(rig.host.hello.role, proto::role_publisher);
    EXPECT_EQ(rig.host.hello.flags, 12);
    EXPECT_EQ(0, memcmp(rig.host.hello.id, kId, 16));
    EXPECT_EQ(0, memcmp(rig.host.hello.nonce, kNonce, 16));
    EXPECT_EQ(rig.link->status, cluster::status_connected);
    EXPECT_EQ(rig.link->term, 5u);
    EXPECT_EQ(rig.link->opens, 1u);

    std::vector<u8> row(proto::sample_size, 0x11);
    proto::ProcRecord procs = {};
    procs.count = 2;
    procs.rows[0].pid = 10;
    procs.rows[1].pid = 20;
    EXPECT_FALSE(publish::sample(rig.link.get(), row.data(), rig.now)) << "sample before the inventory";
    EXPECT_FALSE(publish::procs(rig.link.get(), &procs, rig.now));
    proto::Inventory inv = inventory_of(8);
    EXPECT_TRUE(publish::inventory(rig.link.get(), &inv, rig.now));
    EXPECT_FALSE(publish::inventory(rig.link.get(), &inv, rig.now)) << "unchanged inventory sent again";
    EXPECT_TRUE(publish::sample(rig.link.get(), row.data(), rig.now));
    EXPECT_FALSE(publish::temps(rig.link.get(), temps_block(0).data(), rig.now)) << "sequence 0";
    EXPECT_TRUE(publish::temps(rig.link.get(), temps_block(3).data(), rig.now));
    EXPECT_FALSE(publish::temps(rig.link.get(), temps_block(3).data(), rig.now)) << "same record twice";
    EXPECT_TRUE(publish::procs(rig.link.get(), &procs, rig.now));
    procs.rows[1].cpu = 500;
    EXPECT_TRUE(publish::procs(rig.link.get(), &procs, rig.now));
    inv.hw16[1] = 16;
    EXPECT_TRUE(publish::inventory(rig.link.get(), &inv, rig.now));
    EXPECT_FALSE(publish::idle(rig.link.get(), rig.now + 9999));
    EXPECT_TRUE(publish::idle(rig.link.get(), rig.now + 10000));
    ASSERT_TRUE(rig.exchange());
    EXPECT_FALSE(rig.host.bad);
    EXPECT_EQ(rig.host.kinds(), (std::vector<u32>{6, 7, 29, 8, 8, 6, 15}));
    // The first process frame carries every row, the second only the changed one.
    proto::ProcRecord seen = {};
    ASSERT_EQ(proto::decode_procs(mem::Bytes(rig.host.frames[3].data(), rig.host.frames[3].size()), &seen), 0u);
    EXPECT_EQ(seen.rows[1].pid, 20u);
    EXPECT_EQ(proto::frame_rows(8, rig.host.frames[4].size() - 16), 1u);
    EXPECT_EQ(rig.link->frames, 7u);
  }
}

TEST(PublishLink, TemperaturesWaitForAHostThatKnowsThem) {
  Rig rig;
  rig.host.version[2] = 80;
  publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.open();
  proto::Inventory inv = inventory_of(4);
  ASSERT_TRUE(publish::inventory(rig.link.get(), &inv, rig.now));
  EXPECT_FALSE(publish::temps(rig.link.get(), temps_block(9).data(), rig.now));
}

TEST(PublishLink, HostAnswersThatCloseTheLink) {
  u8 other[16] = {9};
  struct Case {
    const char* name;
    int phase;  // 0 answer to hello, 1 answer to the proof, 2 after opening
    u8 status;
    u16 reason;
  };
  const Case cases[] = {
      {"refuse wrong key", 0, cluster::status_refused, proto::reason_key},
      {"moved", 0, cluster::status_moved, 0},
      {"bad magic", 0, cluster::status_bad_frame, 0},
      {"announced too long", 0, cluster::status_bad_frame, 0},
      {"accept under another key", 1, cluster::status_host_proof, 0},
      {"ping instead of accept", 1, cluster::status_bad_frame, 0},
      {"tampered frame", 2, cluster::status_host_proof, 0},
      {"replayed counter", 2, cluster::status_host_proof, 0},
      {"update order for another machine", 2, cluster::status_bad_frame, 0},
      {"refuse after open", 2, cluster::status_refused, proto::reason_full},
      {"unexpected kind after open", 2, cluster::status_bad_frame, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    std::string name = c.name;
    publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
    rig.dial();
    mem::Bytes out = publish::out_data(rig.link.get());
    rig.host.take(out.ptr, out.len);
    publish::sent(rig.link.get(), out.len);
    Bytes answer;
    if (c.phase == 0) {
      if (name == "refuse wrong key") answer = rig.host.refuse(proto::reason_key);
      if (name == "moved") answer = rig.host.moved(0x0A000001, 7000, 9);
      if (name == "bad magic") answer = wire_with(rig.host.reply(), 0, 'X');
      if (name == "announced too long") answer = wire_len(rig.host.reply(), 60);
      EXPECT_FALSE(rig.deliver(answer));
    } else {
      ASSERT_TRUE(rig.deliver(rig.host.reply()));
      if (c.phase == 1) {
        out = publish::out_data(rig.link.get());
        Bytes accept = rig.host.take(out.ptr, out.len, name == "accept under another key" ? "other" : nullptr);
        if (name == "ping instead of accept") accept = link_host::Host::frame(proto::encode_ping);
        EXPECT_FALSE(rig.deliver(accept));
      } else {
        ASSERT_TRUE(rig.exchange());
        ASSERT_TRUE(publish::ready(rig.link.get()));
        Bytes bare = link_host::Host::frame(proto::encode_ping);
        if (name == "update order for another machine") bare = rig.host.id_frame(proto::kind_update_now, other);
        if (name == "refuse after open") bare = rig.host.refuse(proto::reason_full);
        if (name == "unexpected kind after open") bare = rig.host.id_frame(proto::kind_watch, kId);
        Bytes f = rig.host.seal(bare);
        if (name == "tampered frame") f[20] ^= 1;
        if (name == "replayed counter") {
          ASSERT_TRUE(rig.deliver(f));
        }
        EXPECT_FALSE(rig.deliver(f));
      }
    }
    EXPECT_EQ(rig.link->status, c.status);
    EXPECT_EQ(rig.link->refuse_reason, c.reason);
  }
}

TEST(PublishLink, UpdateOrderForThisMachineIsKeptForTheOwner) {
  Rig rig;
  publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.open();
  ASSERT_TRUE(rig.deliver(rig.host.seal(rig.host.id_frame(proto::kind_update_now, kId))));
  EXPECT_EQ(rig.link->update_now, 1);
  // Without the capability the same order is a fault.
  publish::set_caps(rig.link.get(), proto::hello_no_self_update);
  EXPECT_FALSE(rig.deliver(rig.host.seal(rig.host.id_frame(proto::kind_update_now, kId))));
}

TEST(PublishLink, FailuresBackOffAndAStableLinkStartsOver) {
  Rig rig;
  publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  std::vector<u32> delays;
  for (int i = 0; i < 7; ++i) {
    publish::dialing(rig.link.get(), rig.now);
    publish::failed(rig.link.get(), rig.now, 0, cluster::status_cannot_connect);
    delays.push_back(rig.link->backoff);
    EXPECT_EQ(rig.link->state, publish::waiting);
    EXPECT_EQ(rig.link->next_try, rig.now + rig.link->backoff - rig.link->backoff / 4) << "random 0: earliest";
    EXPECT_FALSE(publish::due(rig.link.get(), rig.link->next_try - 1));
    EXPECT_EQ(publish::wait_ms(rig.link.get(), rig.now), rig.link->next_try - rig.now);
    rig.now = rig.link->next_try;
  }
  EXPECT_EQ(delays, (std::vector<u32>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
  // Jitter stays within a quarter either way.
  EXPECT_EQ(publish::jittered(1000, 500), 1250u);
  EXPECT_EQ(publish::jittered(1000, 501), 750u);
  EXPECT_EQ(publish::jittered(0, 77), 0u);
  // A link that stayed open 30 s waits 1 s again.
  rig.open();
  rig.now += 30000;
  publish::failed(rig.link.get(), rig.now, 0, cluster::status_closed);
  EXPECT_EQ(rig.link->backoff, 1000u);
  EXPECT_EQ(rig.link->status, cluster::status_closed);
  EXPECT_EQ(publish::out_data(rig.link.get()).len, 0u);
}

TEST(PublishLink, AHandshakeWithoutAnswerExpires) {
  Rig rig;
  publish::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.dial();
  EXPECT_FALSE(publish::expired(rig.link->state, rig.link->state_since, rig.now + 9999));
  EXPECT_TRUE(publish::expired(rig.link->state, rig.link->state_since, rig.now + 10000));
  EXPECT_FALSE(publish::expired(publish::open, rig.now, rig.now + 99999));
  EXPECT_FALSE(publish::connected(rig.link.get(), kNonce, 16, false, rig.now)) << "no nonce, no hello";
}

cluster::Heard heard(u32 term, u32 counter, u32 address, u16 port, u16 flags = 0) {
  cluster::Heard h = {};
  h.from_lease = 1;
  h.flags = flags;
  h.term = term;
  h.counter = counter;
  h.address = address;
  h.port = port;
  return h;
}

TEST(PublishLink, LeasesMoveAShareTarget) {
  Rig rig;
  publish::share(rig.link.get(), rig.now);
  EXPECT_EQ(rig.link->status, cluster::status_no_lease);
  EXPECT_EQ(rig.link->lease_wanted, 1);
  EXPECT_FALSE(publish::due(rig.link.get(), rig.now)) << "a share waits for a lease";

  cluster::Heard first = heard(3, 10, 0x0A000005, 7420);
  EXPECT_FALSE(publish::lease(rig.link.get(), false, &first, rig.now, 0)) << "unreadable";
  EXPECT_EQ(rig.link->target_port, 0);
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &first, rig.now, 700));
  EXPECT_EQ(rig.link->target_address, 0x0A000005u);
  EXPECT_EQ(rig.link->status, cluster::status_new_host);
  EXPECT_EQ(rig.link->next_try, rig.now + 700 % 501);
  EXPECT_EQ(rig.link->lease_wanted, 0);

  // The same counter again is ignored and does not refresh the lease time.
  u64 taken = rig.link->last_lease;
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &first, rig.now + 5000, 0));
  EXPECT_EQ(rig.link->last_lease, taken);

  // Open on a host of term 5; a share that keeps serving the old lease raises the caching hint 15 s later.
  rig.now = rig.link->next_try;
  rig.host.term = 5;
  rig.open();
  EXPECT_FALSE(publish::caching(rig.link.get(), rig.now + 14999));
  EXPECT_TRUE(publish::caching(rig.link.get(), rig.now + 15000));

  // An older term is noted and left alone.
  cluster::Heard older = heard(4, 1, 0x0A000009, 7420);
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &older, rig.now, 0));
  EXPECT_EQ(rig.link->lease_older, 1);
  EXPECT_TRUE(publish::ready(rig.link.get()));

  // A renewal of the same host keeps the link; a new host closes it.
  cluster::Heard renewed = heard(5, 1, 0x0A000005, 7420);
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &renewed, rig.now, 0));
  EXPECT_EQ(rig.link->lease_older, 0);
  EXPECT_TRUE(publish::ready(rig.link.get()));
  cluster::Heard moved = heard(6, 1, 0x0A000007, 7421);
  EXPECT_TRUE(publish::lease(rig.link.get(), true, &moved, rig.now, 0));
  EXPECT_EQ(rig.link->state, publish::waiting);
  EXPECT_EQ(rig.link->target_port, 7421);
  EXPECT_EQ(publish::out_data(rig.link.get()).len, 0u);

  // A released lease names no host; a port without an address is told apart.
  cluster::Heard released = heard(7, 1, 0x0A000007, 7421, proto::lease_released);
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &released, rig.now, 0));
  EXPECT_EQ(rig.link->status, cluster::status_no_lease);
  EXPECT_EQ(rig.link->target_port, 0);
  cluster::Heard nowhere = heard(8, 1, 0, 7421);
  EXPECT_FALSE(publish::lease(rig.link.get(), true, &nowhere, rig.now, 0));
  EXPECT_EQ(rig.link->status, cluster::status_no_address);

  // A host of a term below the lease's is refused at the accept.
  cluster::Heard next = heard(8, 2, 0x0A000008, 7420);
  publish::lease(rig.link.get(), true, &next, rig.now, 0);
  rig.now = rig.link->next_try;
  rig.host.term = 7;
  rig.dial();
  ASSERT_TRUE(rig.exchange());
  EXPECT_FALSE(rig.exchange());
  EXPECT_EQ(rig.link->status, cluster::status_older_term);
}

TEST(PublishLink, ThePreferredHostFallsBackToTheLeaseHost) {
  for (bool by_moved : {false, true}) {
    SCOPED_TRACE(by_moved);
    Rig rig;
    publish::share(rig.link.get(), rig.now);
    cluster::Heard l = heard(1, 1, 0x0A000005, 7420);
    publish::lease(rig.link.get(), true, &l, rig.now, 0);
    publish::prefer(rig.link.get(), 0x7F000001, 7500, rig.now);
    EXPECT_TRUE(publish::at_local(rig.link.get()));
    EXPECT_EQ(rig.link->target_port, 7500);
    // A newer lease does not move a link at its own host.
    cluster::Heard newer = heard(1, 2, 0x0A000006, 7420);
    EXPECT_FALSE(publish::lease(rig.link.get(), true, &newer, rig.now, 0));
    EXPECT_EQ(rig.link->target_port, 7500);
    int tries = 0;
    while (rig.link->at_preferred && tries < 10) {
      ++tries;
      publish::dialing(rig.link.get(), rig.now);
      u8 status = cluster::status_cannot_connect;
      if (by_moved) {
        ASSERT_TRUE(publish::connected(rig.link.get(), kNonce, 16, true, rig.now));
        EXPECT_FALSE(rig.deliver(rig.host.moved(0x0A0000FF, 1, 9)));
        status = rig.link->status;
        EXPECT_EQ(rig.link->lease_wanted, 1);
      }
      publish::failed(rig.link.get(), rig.now, 0, status);
    }
    // A moved frame comes before the host has proved the key, so it counts as one failure like any other.
    EXPECT_EQ(tries, 5);
    EXPECT_EQ(rig.link->target_address, 0x0A000006u) << "the lease's host, never the moved frame's";
    EXPECT_EQ(rig.link->lease_wanted, 1);
    EXPECT_EQ(rig.link->next_try, rig.now);
  }
}

}  // namespace
