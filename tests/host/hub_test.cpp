// The host's member table without sockets: admission limits, the handshake and its refusals, forwarding re-sealed to
// watchers, the machine list, time-outs, forgetting, update orders and a viewer too slow to take its frames.
#include <gtest/gtest.h>

#include "tests/host/rig.h"

namespace {

using rig::Bytes;
using rig::Link;
using rig::Rig;

const u8 id_a[16] = {0xA1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const u8 id_b[16] = {0xB2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

u16 refusal_of(const Bytes& out) {
  u16 reason = 0;
  if (proto::decode_refuse(mem::Bytes(out.data(), out.size()), &reason) != proto::ok) return 0;
  return reason;
}

TEST(HubAdmission, HandshakeLimitsCountOnlyConnectionsNotYetOpen) {
  Rig r;
  // Eight handshakes from one address fill its share; a ninth from it finds no room as it is, another address does.
  for (u32 i = 0; i < 8; ++i) ASSERT_NE(r.admit(0x0A000001), hub::none);
  EXPECT_FALSE(hub::may_accept(r.h.get(), 0x0A000001));
  EXPECT_EQ(r.admit(0x0A000001), hub::none);
  EXPECT_TRUE(hub::may_accept(r.h.get(), 0x0A000002));
  // Open sessions from the address do not count: finish one handshake and the address may try again.
  Link l;
  r.h->slot[0].address = 0x0A000009;  // move one waiting slot away so the join below comes from a free address
  ASSERT_TRUE(l.join(&r, proto::role_viewer, 0, nullptr, 0x0A000001));
  EXPECT_EQ(hub::stage_of(r.h.get(), l.slot), hub::stage_open);
  EXPECT_TRUE(hub::may_accept(r.h.get(), 0x0A000001));
}

// A bound reached makes room at the cost of the group's connection that proved least: one closing, else one with
// its hello incomplete, else one waiting for its proof, the oldest of them. Open sessions never go, and browser links
// and member connections never make room for each other.
TEST(HubAdmission, AFullGroupMakesRoomFromItsLeastProvenConnection) {
  struct Case {
    const char* what;
    u32 fill_count;   // connections admitted before, one a unit of time: per_address from each address of a /24
    // counting up from fill_address, or with per_address 1 each from its own /24
    u32 fill_address;
    u32 per_address;
    u32 fill_relay;
    u32 newcomer;     // address
    u32 relay;
    u32 expect;       // the slot room_for names: room_free, or the index of a filled connection
  };
  const Case cases[] = {
      {"eight from one address", 8, 0x0A000001, 8, 0, 0x0A000001, 0, 0},
      {"eight from one address, a newcomer from another", 8, 0x0A000001, 8, 0, 0x0A000002, 0, hub::room_free},
      {"sixteen from one /24", 16, 0x0A000010, 4, 0, 0x0A0000F0, 0, 0},
      {"sixteen from one /24, a newcomer from another", 16, 0x0A000010, 4, 0, 0x0A000110, 0, hub::room_free},
      {"thirty-two in all", 32, 0x0A000010, 1, 0, 0x0B000001, 0, 0},
      {"thirty-two members leave room for a browser", 32, 0x0A000010, 1, 0, 0x0B000001, 1, hub::room_free},
      {"eight browser links", 8, 0x0A000010, 1, 1, 0x0B000001, 1, 0},
      {"eight browser links leave room for a member", 8, 0x0A000010, 1, 1, 0x0B000001, 0, hub::room_free},
      {"four browser links from one address", 4, 0x0A000010, 4, 1, 0x0A000010, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig r;
    std::vector<u32> slots;
    for (u32 i = 0; i < c.fill_count; ++i) {
      u32 address = c.per_address == 1 ? c.fill_address + (i << 8) : c.fill_address + i / c.per_address;
      slots.push_back(r.admit(address, 100 + i, c.fill_relay));
      ASSERT_NE(slots.back(), hub::none) << i;
    }
    u32 room = hub::room_for(r.h.get(), c.newcomer, c.relay);
    EXPECT_EQ(room, c.expect == hub::room_free ? hub::room_free : slots[c.expect]);
  }
  // Within a group the least proven goes first: closing, then no whole hello, then waiting for a proof; the oldest
  // of equals. An open session is never named.
  Rig r;
  Link proven, waiting;
  ASSERT_TRUE(proven.join(&r, proto::role_viewer, 0, nullptr, 0x0A000001, 10));
  u32 w = r.admit(0x0A000001, 11);
  r.feed(w, waiting.hello(proto::role_viewer, 0, nullptr), 11);
  ASSERT_EQ(hub::stage_of(r.h.get(), w), hub::stage_hello);
  std::vector<u32> fresh;
  for (u32 i = 0; i < 7; ++i) fresh.push_back(r.admit(0x0A000001, 20 + i));
  EXPECT_EQ(hub::room_for(r.h.get(), 0x0A000001, 0), fresh[0]);
  hub::mark_closing(r.h.get(), fresh[3], 30);
  EXPECT_EQ(hub::room_for(r.h.get(), 0x0A000001, 0), fresh[3]);
  for (u32 s : fresh) hub::free_slot(r.h.get(), s);
  for (u32 i = 0; i < 7; ++i) {
    u32 s = r.admit(0x0A000001, 40 + i);
    r.feed(s, waiting.hello(proto::role_viewer, 0, nullptr), 40 + i);
  }
  EXPECT_EQ(hub::room_for(r.h.get(), 0x0A000001, 0), w);
}

TEST(HubAdmission, NinetySixSlotsAtMost) {
  Rig r;
  for (u32 i = 0; i < hub::slots; ++i) {
    Link l;
    ASSERT_TRUE(l.join(&r, proto::role_viewer, 0, nullptr, 0x0A000000 + i)) << i;
  }
  EXPECT_FALSE(hub::may_accept(r.h.get(), 0x0C000001));
  EXPECT_EQ(r.admit(0x0C000001), hub::none);
  hub::free_slot(r.h.get(), 40);
  EXPECT_EQ(r.admit(0x0C000001), 40u);
}

TEST(HubHandshake, RefusalsByStageAndContent) {
  struct Case {
    const char* what;
    u8 role;
    u16 protocol;
    const char* secret;
    u16 reason;
  };
  const Case cases[] = {
      {"role 0", 0, 1, "cluster secret", proto::reason_role},
      {"role 5", 5, 1, "cluster secret", proto::reason_role},
      {"protocol 2", 1, 2, "cluster secret", proto::reason_protocol},
      {"wrong key", 2, 1, "another secret", proto::reason_key},
  };
  for (const Case& c : cases) {
    Rig r;
    Link l(c.secret);
    u32 s = r.admit(0x0A000001);
    r.feed(s, l.hello(c.role, 0, id_a, c.protocol));
    Bytes out = r.drain(s);
    if (proto::frame_kind(mem::Bytes(out.data(), out.size())) == proto::kind_reply) {
      Bytes proof(64);
      proof.resize(peer::proof(&l.p, mem::Bytes(out.data(), out.size()), mem::Slice{proof.data(), 64}));
      r.feed(s, proof);
      out = r.drain(s);
    }
    EXPECT_EQ(refusal_of(out), c.reason) << c.what;
    EXPECT_TRUE(r.closing(s)) << c.what;
  }
}

TEST(HubHandshake, WrongKindsBeforeTheSessionOpensAreUnexpected) {
  Rig r;
  u32 s = r.admit(1);
  r.feed(s, rig::encoded(proto::encode_ping));
  EXPECT_EQ(refusal_of(r.drain(s)), proto::reason_unexpected);
  // An election probe is only answered by a host inside an election.
  u32 t = r.admit(1);
  proto::Probe probe = {};
  Bytes f(64);
  f.resize(proto::encode_probe(&probe, mem::Slice{f.data(), 64}));
  r.feed(t, f);
  EXPECT_EQ(refusal_of(r.drain(t)), proto::reason_unexpected);
  // A header that does not check closes without an answer.
  u32 u = r.admit(1);
  r.feed(u, Bytes(16, 0x55));
  EXPECT_TRUE(r.drain(u).empty());
  EXPECT_TRUE(r.closing(u));
}

TEST(HubHandshake, NotServingAnswersMovedWithTheLiveHost) {
  Rig r;
  r.h->flags &= ~hub::hub_serving;
  r.h->moved_term = 9;
  r.h->moved_address = 0xC0A80105;
  r.h->moved_port = 7420;
  Link l;
  u32 s = r.admit(1);
  r.feed(s, l.hello(proto::role_publisher, 0, id_a));
  Bytes out = r.drain(s);
  proto::Moved m;
  ASSERT_EQ(proto::decode_moved(mem::Bytes(out.data(), out.size()), &m), proto::ok);
  EXPECT_EQ(m.term, 9u);
  EXPECT_EQ(m.address, 0xC0A80105u);
  EXPECT_EQ(m.port, 7420);
  EXPECT_TRUE(r.closing(s));
}

TEST(HubHandshake, SameMachineIdTwiceKeepsTheFirstSession) {
  Rig r;
  Link first, second;
  ASSERT_TRUE(first.join(&r, proto::role_publisher, 0, id_a));
  u32 s = r.admit(2);
  r.feed(s, second.hello(proto::role_publisher, 0, id_a));
  Bytes reply = r.drain(s);
  Bytes proof(64);
  proof.resize(peer::proof(&second.p, mem::Bytes(reply.data(), reply.size()), mem::Slice{proof.data(), 64}));
  r.feed(s, proof);
  EXPECT_EQ(refusal_of(r.drain(s)), proto::reason_same_id);
  EXPECT_TRUE(r.open(first.slot));
  EXPECT_EQ(r.h->m.slot[0], first.slot);
}

// A full machine table: a machine that went away (offline, no session) gives way to a new one, first one that never
// sent its inventory, else the one offline longest; while every row is live the new machine hears "full".
TEST(HubHandshake, AFullTableMakesRoomFromAMachineThatWentAway) {
  struct Gone {
    u32 row;
    bool inventory;
    u32 last_sample;
  };
  struct Case {
    const char* name;
    std::vector<Gone> gone;
    i32 gives_way;  // -1: refused as full
  } cases[] = {
      {"every row live", {}, -1},
      {"the one without an inventory", {{10, false, 900}, {20, true, 100}}, 10},
      {"the one offline longest", {{20, true, 500}, {30, true, 100}, {40, true, 300}}, 30},
  };
  for (const Case& c : cases) {
    Rig r;
    hub::Machines* m = &r.h->m;
    m->count = hub::machines;
    for (u32 i = 0; i < hub::machines; ++i) {
      memset(m->ids[i], 0, 16);
      m->ids[i][0] = static_cast<u8>(i + 1);
      m->slot[i] = static_cast<u8>(90 - i % 2);  // a session of its own (not a real slot: never looked at)
      m->last_sample[i] = 1000;
      hub::m_put(r.h.get(), hub::m_inventory, i, true);
    }
    u8 gone_id[16] = {};
    for (const Gone& g : c.gone) {
      m->slot[g.row] = hub::no_machine;
      m->last_sample[g.row] = g.last_sample;
      hub::m_put(r.h.get(), hub::m_offline, g.row, true);
      hub::m_put(r.h.get(), hub::m_inventory, g.row, g.inventory);
      if (static_cast<i32>(g.row) == c.gives_way) memcpy(gone_id, m->ids[g.row], 16);
    }
    Link l;
    bool joined = l.join(&r, proto::role_publisher, 0, id_a);
    EXPECT_EQ(joined, c.gives_way >= 0) << c.name;
    EXPECT_EQ(m->count, hub::machines) << c.name;
    bool has_new = false, has_gone = false;
    for (u32 i = 0; i < m->count; ++i) {
      has_new |= memcmp(m->ids[i], id_a, 16) == 0;
      has_gone |= memcmp(m->ids[i], gone_id, 16) == 0;
    }
    EXPECT_EQ(has_new, c.gives_way >= 0) << c.name;
    if (c.gives_way >= 0) {
      EXPECT_FALSE(has_gone) << c.name;
    } else {
      EXPECT_TRUE(r.closing(l.slot)) << c.name;
    }
  }
}

TEST(HubHandshake, FifthUpdateLinkIsRefused) {
  Rig r;
  for (u32 i = 0; i < 4; ++i) {
    Link l;
    ASSERT_TRUE(l.join(&r, proto::role_update, 0, nullptr, 10 + i));
  }
  Link fifth;
  EXPECT_FALSE(fifth.join(&r, proto::role_update, 0, nullptr, 20));
  EXPECT_TRUE(r.closing(fifth.slot));
}

TEST(HubSession, ForgedAndReplayedFramesCloseWithoutAnAnswer) {
  Rig r;
  Link l;
  ASSERT_TRUE(l.join(&r, proto::role_publisher, 0, id_a));
  Bytes good = l.seal(rig::encoded(proto::encode_ping));
  r.feed(l.slot, good);
  EXPECT_FALSE(r.closing(l.slot));
  r.feed(l.slot, good);  // the same frame again: its counter has passed
  EXPECT_TRUE(r.closing(l.slot));
  EXPECT_TRUE(r.drain(l.slot).empty());
  EXPECT_EQ(r.h->counters.bad_tags, 1u);

  Link m;
  ASSERT_TRUE(m.join(&r, proto::role_publisher, 0, id_b));
  Bytes forged = m.seal(rig::sample_frame(100, 200));
  forged[30] ^= 1;
  r.feed(m.slot, forged);
  EXPECT_TRUE(r.closing(m.slot));
  EXPECT_FALSE(hub::is_in(r.h.get(), hub::set_live, m.slot) && r.h->m.sets[hub::m_sample] != 0);
}

TEST(HubSession, KindsOutsideTheRoleAreRefused) {
  Rig r;
  Link viewer;
  ASSERT_TRUE(viewer.join(&r, proto::role_viewer, 0, nullptr));
  viewer.send(&r, rig::sample_frame(1, 1));
  ASSERT_TRUE(r.closing(viewer.slot));
  Link publisher;
  ASSERT_TRUE(publisher.join(&r, proto::role_publisher, 0, id_a));
  publisher.send(&r, rig::id_frame(proto::kind_watch, id_a));
  EXPECT_TRUE(r.closing(publisher.slot));
  // Inventory of another machine than the session's: a failed message, no refusal.
  Link other;
  ASSERT_TRUE(other.join(&r, proto::role_publisher, 0, id_b));
  other.send(&r, rig::inventory_frame(id_a, "impostor"));
  EXPECT_TRUE(r.closing(other.slot));
  EXPECT_EQ(r.h->counters.failed_dispatch, 1u);
}

TEST(HubForwarding, WatcherGetsWhatTheHostHoldsThenEachFrameResealed) {
  Rig r;
  Link pub, view, other;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a));
  pub.send(&r, rig::inventory_frame(id_a, "alpha"));
  pub.send(&r, rig::sample_frame(2500, 4096));
  ASSERT_TRUE(view.join(&r, proto::role_viewer, proto::hello_temps, nullptr, 2));
  ASSERT_TRUE(other.join(&r, proto::role_viewer, 0, nullptr, 3));
  view.take(&r);  // the machine list of the opening
  other.take(&r);
  view.send(&r, rig::id_frame(proto::kind_watch, id_a));
  EXPECT_EQ(rig::kinds_of(view.take(&r)), (std::vector<u32>{proto::kind_inventory, proto::kind_sample}));
  Bytes sample = rig::sample_frame(3300, 5000);
  pub.send(&r, sample);
  std::vector<Bytes> got = view.take(&r);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], sample);  // byte for byte as the publisher sent it, sealed anew for the viewer
  EXPECT_TRUE(other.take(&r).empty());
  // Unwatch stops the stream.
  view.send(&r, rig::encoded(+[](mem::Slice out) { return proto::begin(out, proto::kind_unwatch, 0, 0) ? 16u : 0u; }));
  pub.send(&r, rig::sample_frame(1, 1));
  EXPECT_TRUE(view.take(&r).empty());
}

TEST(HubForwarding, ViewerWithAFullOutBufferIsClosedOthersGoOn) {
  Rig r;
  Link pub, slow, fast;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a));
  ASSERT_TRUE(slow.join(&r, proto::role_viewer, 0, nullptr, 2));
  ASSERT_TRUE(fast.join(&r, proto::role_viewer, 0, nullptr, 3));
  fast.take(&r);  // the machine list of the opening
  slow.send(&r, rig::id_frame(proto::kind_watch, id_a));
  fast.send(&r, rig::id_frame(proto::kind_watch, id_a));
  r.h->slot[slow.slot].out_fill = hub::buffer_size - 100;
  pub.send(&r, rig::sample_frame(10, 10));
  EXPECT_TRUE(r.closing(slow.slot));
  EXPECT_EQ(fast.take(&r).size(), 1u);
  EXPECT_TRUE(r.open(fast.slot));
}

TEST(HubUpkeep, AViewerHearsTheListAsItsSessionOpens) {
  Rig r;
  Link pub, quiet, plain, peers, updates;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a));
  pub.send(&r, rig::inventory_frame(id_a, "alpha"), 0);
  pub.send(&r, rig::sample_frame(5000, 8192), 0);
  ASSERT_TRUE(quiet.join(&r, proto::role_publisher, 0, id_b, 0x0A000005));
  quiet.send(&r, rig::inventory_frame(id_b, "beta"), 0);
  // No upkeep has run: the list each viewer hears comes with its accept, and what follows it is what the viewer
  // asked for in its hello. A machine that sent no sample yet is not shown online.
  struct Case {
    Link* link;
    u8 flags;
    std::vector<u32> kinds;
  };
  const Case cases[] = {
      {&plain, 0, {proto::kind_list}},
      {&peers, proto::hello_peers, {proto::kind_list, proto::kind_peers}},
      {&updates, proto::hello_updates, {proto::kind_list, proto::kind_updates}},
  };
  u32 address = 2;
  for (const Case& c : cases) {
    ASSERT_TRUE(c.link->join(&r, proto::role_viewer, c.flags, nullptr, address++));
    std::vector<Bytes> got = c.link->take(&r);
    ASSERT_EQ(rig::kinds_of(got), c.kinds) << int(c.flags);
    auto list = std::make_unique<proto::MachineList>();
    ASSERT_EQ(proto::decode_list(mem::Bytes(got[0].data(), got[0].size()), list.get()), proto::ok);
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(memcmp(list->names[0], "alpha", 5), 0);
    EXPECT_EQ(list->summaries[0].cpu, 5000);
    EXPECT_EQ(list->summaries[0].state, 0);
    EXPECT_EQ(memcmp(list->names[1], "beta", 4), 0);
    EXPECT_EQ(list->summaries[1].state, hub::state_stale | hub::state_offline);
  }
  EXPECT_TRUE(pub.take(&r).empty());  // a publisher is sent no list
  // A watch is answered at once with what the host holds of the machine.
  plain.send(&r, rig::id_frame(proto::kind_watch, id_a));
  EXPECT_EQ(rig::kinds_of(plain.take(&r)), (std::vector<u32>{proto::kind_inventory, proto::kind_sample}));
}

TEST(HubUpkeep, ListOnceASecondStaleOfflineAndTimeOuts) {
  Rig r;
  Link pub, view;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a));
  pub.send(&r, rig::inventory_frame(id_a, "alpha"), 0);
  pub.send(&r, rig::sample_frame(5000, 8192), 0);
  ASSERT_TRUE(view.join(&r, proto::role_viewer, proto::hello_peers, nullptr, 2));
  view.take(&r);  // what the opening sent
  hub::upkeep(r.h.get(), 10);
  std::vector<Bytes> got = view.take(&r);
  ASSERT_EQ(rig::kinds_of(got), (std::vector<u32>{proto::kind_list, proto::kind_peers}));
  auto list = std::make_unique<proto::MachineList>();
  ASSERT_EQ(proto::decode_list(mem::Bytes(got[0].data(), got[0].size()), list.get()), proto::ok);
  ASSERT_EQ(list->count, 1u);
  EXPECT_EQ(memcmp(list->names[0], "alpha", 5), 0);
  EXPECT_EQ(list->summaries[0].state, 0);
  EXPECT_EQ(list->summaries[0].cpu, 5000);
  EXPECT_EQ(list->summaries[0].memory, 5000);  // 8,192 of 16,384 MiB

  // The publisher goes quiet: stale at 5 s, offline at 60 s; its session closes after 60 s without a frame, while
  // the viewer's pings keep it open.
  struct Step {
    u32 now;
    u8 state;
  };
  for (Step st : {Step{49, 0}, Step{50, hub::state_stale}, Step{599, hub::state_stale}, Step{600, hub::state_offline}}) {
    view.send(&r, rig::encoded(proto::encode_ping), st.now);
    hub::upkeep(r.h.get(), st.now);
    got = view.take(&r);
    ASSERT_FALSE(got.empty());
    ASSERT_EQ(proto::decode_list(mem::Bytes(got[0].data(), got[0].size()), list.get()), proto::ok);
    EXPECT_EQ(list->summaries[0].state, st.state) << st.now;
  }
  EXPECT_TRUE(r.closing(pub.slot));
  EXPECT_FALSE(r.closing(view.slot));
  // A connection without its whole hello closes after 2 s; one whose hello was taken has 10 s for its proof.
  u32 s = r.admit(9, 600);
  Link slow;
  u32 t = r.admit(10, 600);
  r.feed(t, slow.hello(proto::role_viewer, 0, nullptr), 600);
  hub::upkeep(r.h.get(), 619);
  EXPECT_FALSE(r.closing(s));
  hub::upkeep(r.h.get(), 620);
  EXPECT_TRUE(r.closing(s));
  hub::upkeep(r.h.get(), 699);
  EXPECT_FALSE(r.closing(t));
  hub::upkeep(r.h.get(), 700);
  EXPECT_TRUE(r.closing(t));
}

TEST(HubUpkeep, ForgetOnlyAnOfflineDisconnectedMachine) {
  Rig r;
  Link a, b, view;
  ASSERT_TRUE(a.join(&r, proto::role_publisher, 0, id_a));
  ASSERT_TRUE(b.join(&r, proto::role_publisher, 0, id_b));
  a.send(&r, rig::sample_frame(1, 1), 0);
  b.send(&r, rig::sample_frame(2, 2), 0);
  ASSERT_TRUE(view.join(&r, proto::role_viewer, 0, nullptr, 3));
  view.send(&r, rig::id_frame(proto::kind_watch, id_b));
  // Connected: nothing happens.
  view.send(&r, rig::id_frame(proto::kind_forget, id_a), 700);
  hub::upkeep(r.h.get(), 700);
  EXPECT_EQ(r.h->m.count, 2u);
  hub::free_slot(r.h.get(), a.slot);
  // Disconnected but its last sample less than 60 s old: still kept.
  r.h->m.last_sample[0] = 650;
  hub::upkeep(r.h.get(), 700);
  view.send(&r, rig::id_frame(proto::kind_forget, id_a), 700);
  EXPECT_EQ(r.h->m.count, 2u);
  r.h->m.last_sample[0] = 0;
  hub::upkeep(r.h.get(), 700);
  view.send(&r, rig::id_frame(proto::kind_forget, id_a), 700);
  ASSERT_EQ(r.h->m.count, 1u);
  // The last entry moved into the gap; the viewer still watches it and its publisher still points at it.
  EXPECT_EQ(memcmp(r.h->m.ids[0], id_b, 16), 0);
  EXPECT_EQ(r.h->slot[view.slot].watched, 0);
  EXPECT_EQ(r.h->slot[b.slot].machine, 0);
  EXPECT_EQ(r.h->m.slot[0], b.slot);
}

TEST(HubUpdates, OrderEveryMachineOnceAMinute) {
  Rig r;
  Link old_agent, new_agent, view;
  ASSERT_TRUE(old_agent.join(&r, proto::role_publisher, proto::hello_update_orders, id_a));
  ASSERT_TRUE(new_agent.join(&r, proto::role_publisher, proto::hello_update_orders, id_b, 2));
  old_agent.send(&r, rig::inventory_frame(id_a, "old", 0, 1, 70));
  new_agent.send(&r, rig::inventory_frame(id_b, "new", 0, 1, 81));
  ASSERT_TRUE(view.join(&r, proto::role_viewer, proto::hello_updates, nullptr, 3));
  const u8 all[16] = {};
  view.send(&r, rig::id_frame(proto::kind_update_now, all), 10);
  EXPECT_EQ(rig::kinds_of(old_agent.take(&r)), std::vector<u32>{proto::kind_update_now});
  EXPECT_TRUE(new_agent.take(&r).empty());
  EXPECT_EQ(r.h->m.phase[0], hub::phase_asked);
  EXPECT_EQ(r.h->m.phase[1], hub::phase_current);
  // The agent reports it could not start; another order within 60 s is not sent, one after it is.
  old_agent.send(&r, rig::encoded(+[](mem::Slice out) { return proto::encode_update_state(7, 6, out); }), 20);
  view.send(&r, rig::id_frame(proto::kind_update_now, id_a), 300);
  EXPECT_TRUE(old_agent.take(&r).empty());
  view.send(&r, rig::id_frame(proto::kind_update_now, id_a), 610);
  EXPECT_EQ(old_agent.take(&r).size(), 1u);
  // A viewer that did not ask for updates may not order them.
  Link plain;
  ASSERT_TRUE(plain.join(&r, proto::role_viewer, 0, nullptr, 4));
  plain.send(&r, rig::id_frame(proto::kind_update_now, id_a), 700);
  EXPECT_TRUE(r.closing(plain.slot));
}

TEST(HubUpdates, ReconnectDuringAnUpdateIsAFailureAndARestartIsJudgedByVersion) {
  Rig r;
  Link a;
  ASSERT_TRUE(a.join(&r, proto::role_publisher, proto::hello_update_orders, id_a));
  r.h->m.phase[0] = 3;
  hub::free_slot(r.h.get(), a.slot);
  Link again;
  ASSERT_TRUE(again.join(&r, proto::role_publisher, proto::hello_update_orders, id_a));
  EXPECT_EQ(r.h->m.phase[0], hub::phase_failed);
  EXPECT_EQ(r.h->m.reason[0], 8);
  r.h->m.phase[0] = hub::phase_restarting;
  again.send(&r, rig::inventory_frame(id_a, "a", 0, 1, 80));
  EXPECT_EQ(r.h->m.phase[0], hub::phase_failed);
  EXPECT_EQ(r.h->m.reason[0], 7);
  r.h->m.phase[0] = hub::phase_restarting;
  again.send(&r, rig::inventory_frame(id_a, "a", 0, 1, 81));
  EXPECT_EQ(r.h->m.phase[0], hub::phase_done);
}

TEST(HubUpdates, UpdateAskWithoutABuildHearsNoBinaryAndHeldFramesRun) {
  Rig r;
  Link l;
  ASSERT_TRUE(l.join(&r, proto::role_update, 0, nullptr));
  proto::UpdateAsk ask = {1, 0, 0, 0, 0};
  Bytes f(64);
  f.resize(proto::encode_update_ask(&ask, mem::Slice{f.data(), 64}));
  Bytes both = l.seal(f);
  Bytes ping = l.seal(rig::encoded(proto::encode_ping));
  both.insert(both.end(), ping.begin(), ping.end());
  r.feed(l.slot, both);
  EXPECT_TRUE(hub::is_in(r.h.get(), hub::set_chunk_asked, l.slot));
  EXPECT_GT(r.h->slot[l.slot].in_fill, 0u);  // the ping waits behind the ask
  hub::answer_update_asks(r.h.get(), 0, 0);
  std::vector<Bytes> got = l.take(&r);
  ASSERT_EQ(got.size(), 1u);
  proto::UpdateChunk chunk;
  ASSERT_EQ(proto::decode_update_chunk(mem::Bytes(got[0].data(), got[0].size()), &chunk), proto::ok);
  EXPECT_EQ(chunk.flag, 1);
  EXPECT_EQ(r.h->slot[l.slot].in_fill, 0u);
  EXPECT_FALSE(r.closing(l.slot));
}

TEST(HubHistory, WithoutAShareAnAskGetsOneEmptyFinalPart) {
  Rig r;
  Link view;
  ASSERT_TRUE(view.join(&r, proto::role_viewer, 0, nullptr));
  view.take(&r);  // the machine list of the opening
  proto::HistoryAsk ask = {};
  memcpy(ask.id, id_a, 16);
  ask.tier = 1;
  ask.first = 0;
  ask.last = 3000;
  Bytes f(64);
  f.resize(proto::encode_history(&ask, mem::Slice{f.data(), 64}));
  view.send(&r, f);
  std::vector<Bytes> got = view.take(&r);
  ASSERT_EQ(got.size(), 1u);
  u32 count = 9, more = 9;
  ASSERT_EQ(proto::check_buckets(mem::Bytes(got[0].data(), got[0].size()), &count, &more), proto::ok);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(more, 0u);
}

TEST(HubClose, ClosingTwiceClosesNothingTwice) {
  mem::Arena arena;
  ASSERT_TRUE(mem::arena_init(&arena, hub::arena_size()));
  auto host = std::make_unique<hub::Host>();
  auth::KeyState key;
  rig::key_of(&key, "k");
  hub::Options o = {};
  o.listen = 0x7F000001;
  o.version[2] = 81;
  ASSERT_TRUE(hub::open(host.get(), &arena, &key, &o, 0));
  EXPECT_NE(host->port, 0);
  hub::close(host.get());
  EXPECT_EQ(host->listener, sock::invalid_socket);
  // A descriptor opened after the close may get the listener's old number; a second close must leave it alone.
  sock::Socket probe = sock::invalid_socket;
  ASSERT_EQ(sock::listen(0x7F000001, 0, &probe), sock::done);
  hub::close(host.get());
  EXPECT_NE(sock::local_port(probe), 0);
  sock::close(probe);
  mem::release(&arena);
}

}  // namespace
