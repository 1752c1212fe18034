#include "host/hub.h"

#include "base/bits.h"

namespace hub {

// The web port must itself be a port: 65534 + 2 would wrap.
u16 web_port(u16 port, u32 flags) {
  if ((flags & flag_web) == 0 || port < 1 || port > 65533) return 0;
  return static_cast<u16>(port + 2);
}

}  // namespace hub

// ---- The member and machine tables.

namespace hub {

namespace {

u32 word_of(u32 slot) { return slot >> 6; }

u32 count_set(const u64* set) { return bits::word_count(set[0]) + bits::word_count(set[1]); }

bool same_id(const u8* a, const u8* b) {
  u8 d = 0;
  for (u32 i = 0; i < 16; ++i) d |= a[i] ^ b[i];
  return d == 0;
}

bool all_zero(const u8* a, u32 n) {
  u8 d = 0;
  for (u32 i = 0; i < n; ++i) d |= a[i];
  return d == 0;
}

u32 find_machine(const Hub* h, const u8* id) {
  for (u32 i = 0; i < h->m.count; ++i) {
    if (same_id(h->m.ids[i], id)) return i;
  }
  return none;
}

// Slots that are live and open and not closing: the ones that may receive data.
bool open_and_live(const Hub* h, u32 s) {
  return is_in(h, set_live, s) && stage_of(h, s) == stage_open && !is_in(h, set_closing, s);
}

u64 version_packed(u16 major, u16 minor, u16 patch) {
  return (u64{major} << 32) | (u64{minor} << 16) | patch;
}

}  // namespace

u32 m_has(const Hub* h, u32 set, u32 machine) { return bits::word_test(h->m.sets[set], machine); }
void m_put(Hub* h, u32 set, u32 machine, bool on) { h->m.sets[set] = bits::word_put(h->m.sets[set], machine, on); }

// Room for a frame that will be sealed: the tag's 16 bytes are kept free, so an encoder that fills the room leaves
// a frame that still seals.
mem::Slice frame_room(Hub* h, u32 s) {
  mem::Slice r = out_room(h, s);
  if (stage_of(h, s) == stage_open) r.len = r.len > proto::tag_size ? r.len - proto::tag_size : 0;
  return r;
}

u32 is_in(const Hub* h, u32 set, u32 s) { return s < slots ? bits::word_test(h->sets[set][word_of(s)], s) : 0; }

void put_in(Hub* h, u32 set, u32 s, bool on) {
  if (s < slots) h->sets[set][word_of(s)] = bits::word_put(h->sets[set][word_of(s)], s, on);
}

u32 stage_of(const Hub* h, u32 s) { return is_in(h, set_stage0, s) | is_in(h, set_stage1, s) << 1; }

void init(Hub* h, const auth::KeyState* key, u32 term, const u16* version) {
  __builtin_memset(h, 0, sizeof *h);
  h->key = *key;
  h->term = term;
  h->highest_term = term;
  for (u32 i = 0; i < 3; ++i) h->version[i] = version[i];
  h->flags = hub_serving;
  for (u32 i = 0; i < machines; ++i) {
    h->m.slot[i] = no_machine;
    h->m.last_order[i] = none;
  }
  for (u32 s = 0; s < slots; ++s) {
    h->slot[s].machine = no_machine;
    h->slot[s].watched = no_machine;
  }
  hstore::init(&h->history);
  ptop::book_init(&h->tops);
}

void set_term(Hub* h, u32 term) {
  h->term = term;
  h->flags |= hub_serving;
  if (term > h->highest_term) h->highest_term = term;
}

void set_host_id(Hub* h, const u8* id) {
  __builtin_memcpy(h->host_id, id, 16);
  h->flags |= hub_host_id;
}

namespace {

// The slots of one group that have not finished the handshake, and the one of them to evict first.
struct Group {
  u32 count;
  u32 evict;
  u32 rank;  // of evict: lower goes first
  u32 admitted;
};

void group_add(Group* g, const Hub* h, u32 s) {
  ++g->count;
  u32 rank = is_in(h, set_closing, s) ? 0 : stage_of(h, s) == stage_new ? 1 : 2;
  u32 admitted = h->slot[s].admitted;
  if (g->evict == none || rank < g->rank || (rank == g->rank && admitted < g->admitted)) {
    g->evict = s;
    g->rank = rank;
    g->admitted = admitted;
  }
}

u32 make_way(const Group* g, u32 bound) { return g->count < bound ? room_free : g->evict; }

}  // namespace

u32 room_for(const Hub* h, u32 address, u32 relay) {
  Group all = {0, none, 0, 0}, net = all, one = all;
  for (u32 w = 0; w < 2; ++w) {
    u64 kind = relay ? h->sets[set_relay][w] : ~h->sets[set_relay][w];
    for (u64 m = h->sets[set_live][w] & ~h->sets[set_stage1][w] & kind; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      if (s >= slots) break;
      group_add(&all, h, s);
      if ((h->slot[s].address ^ address) >> 8 == 0) group_add(&net, h, s);
      if (h->slot[s].address == address) group_add(&one, h, s);
    }
  }
  u32 r = make_way(&one, relay ? relay_handshakes_per_address : handshakes_per_address);
  if (r == room_free) r = make_way(&net, relay ? relay_handshakes_per_net : handshakes_per_net);
  if (r == room_free) r = make_way(&all, relay ? relay_handshakes_max : handshakes_max);
  if (r == room_free && count_set(h->sets[set_live]) >= slots) r = all.evict;
  return r;
}

bool may_accept(const Hub* h, u32 address) { return room_for(h, address, 0) == room_free; }

u32 admit(Hub* h, mem::Bytes challenge, u32 address, u32 now, u32 relay) {
  if (room_for(h, address, relay) != room_free || challenge.len != proto::challenge_size) {
    ++h->counters.refused_admissions;
    return none;
  }
  u32 s = none;
  for (u32 w = 0; w < 2 && s == none; ++w) {
    u64 free = ~h->sets[set_live][w];
    if (w == 1) free &= bits::low_mask(slots - 64);
    if (free != 0) s = w * 64 + bits::word_first(free);
  }
  if (s == none) return none;
  for (u32 set = 0; set < slot_sets; ++set) put_in(h, set, s, false);
  put_in(h, set_live, s, true);
  put_in(h, set_relay, s, relay != 0);
  Slot* sl = &h->slot[s];
  sl->admitted = now;
  sl->activity = now;
  sl->address = address;
  sl->machine = no_machine;
  sl->watched = no_machine;
  sl->role = 0;
  sl->receive_counter = 0;
  sl->send_counter = 0;
  sl->in_fill = 0;
  sl->out_fill = 0;
  __builtin_memcpy(sl->challenge, challenge.ptr, proto::challenge_size);
  return s;
}

void free_slot(Hub* h, u32 s) {
  if (s >= slots) return;
  Slot* sl = &h->slot[s];
  if (sl->machine < h->m.count && h->m.slot[sl->machine] == s) {
    h->m.slot[sl->machine] = no_machine;
    m_put(h, m_connected, sl->machine, false);
  }
  for (u32 set = 0; set < slot_sets; ++set) put_in(h, set, s, false);
  sl->machine = no_machine;
  sl->watched = no_machine;
  sl->in_fill = 0;
  sl->out_fill = 0;
  // The session key is a secret of a connection that is gone.
  auth::wipe(&sl->session, sizeof sl->session);
}

u32 out_free(const Hub* h, u32 s) { return s < slots ? buffer_size - h->slot[s].out_fill : 0; }

u32 next_update_member(const Hub* h, u32 start) {
  for (u32 k = 0; k < slots; ++k) {
    const u32 s = (start + k) % slots;
    if (is_in(h, set_live, s) && is_in(h, set_chunk_asked, s) && !is_in(h, set_closing, s) &&
        stage_of(h, s) == stage_open)
      return s;
  }
  return none;
}

u32 send_chunk(Hub* h, u32 s, const proto::UpdateChunk* chunk, mem::Bytes data, u32 now, u32 wall) {
  if (s >= slots || !is_in(h, set_live, s) || !is_in(h, set_chunk_asked, s) || is_in(h, set_closing, s)) return 0;
  mem::Slice room = out_room(h, s);
  room.len = room.len > proto::tag_size ? room.len - proto::tag_size : 0;
  send_frame(h, s, proto::encode_update_chunk(chunk, data, room), now);
  put_in(h, set_chunk_asked, s, false);
  ++h->counters.chunks;
  take_frames(h, s, 0, now, wall);  // frames held back behind the ask run now
  return 1;
}

mem::Slice out_room(Hub* h, u32 s) {
  if (s >= slots) return mem::Slice{nullptr, 0};
  return mem::Slice{h->slot[s].out + h->slot[s].out_fill, buffer_size - h->slot[s].out_fill};
}

void consume_out(Hub* h, u32 s, u32 n) {
  if (s >= slots) return;
  Slot* sl = &h->slot[s];
  if (n >= sl->out_fill) {
    sl->out_fill = 0;
    return;
  }
  __builtin_memmove(sl->out, sl->out + n, sl->out_fill - n);
  sl->out_fill -= n;
}

void mark_closing(Hub* h, u32 s, u32 now) {
  if (s >= slots) return;
  put_in(h, set_closing, s, true);
  h->slot[s].activity = now;
  h->slot[s].in_fill = 0;
}

u32 send_frame(Hub* h, u32 s, u32 length, u32 now) {
  Slot* sl = &h->slot[s];
  u32 total = length;
  if (length != 0 && stage_of(h, s) == stage_open) {
    total = auth::seal_frame(&sl->session, auth::to_link, sl->send_counter,
                             mem::Slice{sl->out + sl->out_fill, buffer_size - sl->out_fill}, length);
    if (total != 0) ++sl->send_counter;
  }
  if (total == 0 || total > buffer_size - sl->out_fill) {
    ++h->counters.not_queued;
    mark_closing(h, s, now);
    return 0;
  }
  sl->out_fill += total;
  ++h->counters.frames_sent;
  return 1;
}

void refuse(Hub* h, u32 s, u16 reason, u32 now) {
  u32 n = proto::encode_refuse(reason, out_room(h, s));
  if (reason < 7) ++h->counters.refusals[reason];
  send_frame(h, s, n, now);
  mark_closing(h, s, now);
}

bool kind_allowed(u32 kind, u8 role) {
  switch (kind) {
    case proto::kind_inventory:
    case proto::kind_sample:
    case proto::kind_procs:
    case proto::kind_backfill:
    case proto::kind_update_state:
    case proto::kind_temps:
      return (role & proto::role_publisher) != 0;
    case proto::kind_watch:
    case proto::kind_unwatch:
    case proto::kind_history:
    case proto::kind_forget:
    case proto::kind_update_now:
      return (role & proto::role_viewer) != 0;
    case proto::kind_ping:
      return true;
    case proto::kind_update_ask:
      return role == proto::role_update;
    default:
      return false;
  }
}

void update_summary(Hub* h, u32 i) {
  if (i >= h->m.count) return;
  SummaryInputs in = summary_inputs(&h->m.inventory[i]);
  u32 state = (m_has(h, m_stale, i) ? state_stale : 0) | (m_has(h, m_offline, i) ? state_offline : 0);
  h->m.summary[i] = summary_row(&h->m.sample[i], state, &in);
}

namespace {

// ---- Handshake stages.

void take_probe(Hub* h, u32 s, mem::Bytes frame, u32 now) {
  proto::Probe probe;
  if (proto::decode_probe(frame, &probe) != proto::ok) {
    mark_closing(h, s, now);
    return;
  }
  proto::ProbeReply reply;
  __builtin_memcpy(reply.first, h->slot[s].challenge, 16);
  u32 term = (h->flags & hub_serving) ? h->term : 0;
  for (u32 i = 0; i < 4; ++i) reply.first[12 + i] = static_cast<u8>(term >> (8 * i));
  __builtin_memcpy(reply.second, h->host_id, 16);
  auth::reply_tag(&h->key, mem::Bytes(probe.first, 16), mem::Bytes(probe.second, 16), mem::Bytes(h->host_id, 16),
                  mem::Bytes(reply.first, 16), reply.tag);
  ++h->counters.probes;
  send_frame(h, s, proto::encode_probe_reply(&reply, out_room(h, s)), now);
  mark_closing(h, s, now);
}

void take_hello(Hub* h, u32 s, mem::Bytes frame, u32 now) {
  mem::Bytes payload = proto::payload_of(frame);
  u8 role = proto::get8(payload, 0);
  if (role < 1 || role > 4) return refuse(h, s, proto::reason_role, now);
  if (proto::get16(payload, 2) != proto::protocol_version) return refuse(h, s, proto::reason_protocol, now);
  if (!(h->flags & hub_serving)) {
    proto::Moved moved = {h->moved_term, h->moved_address, h->moved_port};
    ++h->counters.moved;
    send_frame(h, s, proto::encode_moved(&moved, out_room(h, s)), now);
    mark_closing(h, s, now);
    return;
  }
  Slot* sl = &h->slot[s];
  proto::get_bytes(payload, 0, mem::Slice{sl->hello, proto::hello_size});
  sl->role = role;
  u32 n = proto::encode_bytes(proto::kind_reply, mem::Bytes(sl->challenge, 32), out_room(h, s));
  if (send_frame(h, s, n, now)) put_in(h, set_stage0, s, true);
}

// The row that gives way when the table is full: an offline machine without a session, first one that never sent
// its inventory, else the one whose last sample is oldest; none when every row is live.
u32 give_way(const Hub* h) {
  u32 best = none;
  for (u32 i = 0; i < h->m.count; ++i) {
    if (h->m.slot[i] != no_machine || !m_has(h, m_offline, i)) continue;
    if (best == none) {
      best = i;
      continue;
    }
    bool bare = !m_has(h, m_inventory, i), best_bare = !m_has(h, m_inventory, best);
    if (bare != best_bare ? bare : h->m.last_sample[i] < h->m.last_sample[best]) best = i;
  }
  return best;
}

// The publisher's machine: found or appended. 0 ok, else a refuse reason.
u16 note_session(Hub* h, u32 s, u32 now) {
  Slot* sl = &h->slot[s];
  const u8* id = sl->hello + 8;
  u32 i = find_machine(h, id);
  if (i == none && h->m.count >= machines) {
    // A full table is not held for ever by machines that went away: one of them gives way to the new one.
    u32 gone = give_way(h);
    if (gone == none) return proto::reason_full;
    forget(h, gone);
  }
  if (i == none) {
    i = h->m.count++;
    __builtin_memcpy(h->m.ids[i], id, 16);
    for (u32 set = 0; set < machine_sets; ++set) m_put(h, set, i, false);
    __builtin_memset(&h->m.inventory[i], 0, sizeof h->m.inventory[i]);
    __builtin_memset(&h->m.sample[i], 0, sizeof h->m.sample[i]);
    __builtin_memset(h->m.temps[i], 0, sizeof h->m.temps[i]);
    h->m.summary[i] = proto::Summary{};
    h->m.last_sample[i] = now;
    h->m.slot[i] = no_machine;
    ptop::row_reset(&h->tops, i);
    h->m.address[i] = 0;
    h->m.phase[i] = phase_none;
    h->m.reason[i] = 0;
    h->m.last_order[i] = none;
  }
  if (h->m.slot[i] != no_machine) return proto::reason_same_id;
  // An update that was under way when the machine went away did not finish.
  if (h->m.phase[i] >= 1 && h->m.phase[i] <= 4) {
    h->m.phase[i] = phase_failed;
    h->m.reason[i] = 8;
  }
  h->m.slot[i] = static_cast<u8>(s);
  h->m.address[i] = sl->address;
  m_put(h, m_connected, i, true);
  __builtin_memset(&h->m.procs[i], 0, sizeof h->m.procs[i]);
  m_put(h, m_procs, i, false);
  sl->machine = static_cast<u8>(i);
  return 0;
}

u32 live_update_links(const Hub* h) {
  u32 n = 0;
  for (u32 w = 0; w < 2; ++w) n += bits::word_count(h->sets[set_live][w] & h->sets[set_update_link][w]);
  return n;
}

// Stale after 5 s without a sample, offline after 60 s; a machine that never sent one is both.
void mark_states(Hub* h, u32 now) {
  Machines* m = &h->m;
  for (u32 i = 0; i < m->count; ++i) {
    bool sampled = m_has(h, m_sample, i);
    u32 d = now - m->last_sample[i];
    m_put(h, m_stale, i, !sampled || (d >= 50 && d < 600));
    m_put(h, m_offline, i, !sampled || d >= 600);
  }
}

// The list record (and the peers record) from the machine table as it stands.
void build_list(Hub* h) {
  Machines* m = &h->m;
  proto::MachineList* list = &h->list;
  list->host_mask = 0;
  list->count = m->count;
  h->peers.count = m->count;
  for (u32 i = 0; i < m->count; ++i) {
    update_summary(h, i);
    __builtin_memcpy(list->ids[i], m->ids[i], 16);
    __builtin_memcpy(list->names[i], m->inventory[i].names[proto::name_computer], 32);
    list->summaries[i] = m->summary[i];
    if ((h->flags & hub_host_id) && same_id(m->ids[i], h->host_id)) list->host_mask |= u64{1} << i;
    __builtin_memcpy(h->peers.ids[i], m->ids[i], 16);
    __builtin_memset(h->peers.addresses[i], 0, 16);
    h->peers.address_kinds[i] = m->address[i] != 0 ? 1 : 0;
    proto::put32(mem::Slice{h->peers.addresses[i], 16}, 0, m->address[i]);
  }
}

bool any_wants_updates(const Hub* h) {
  bool any = false;
  for (u32 w = 0; w < 2; ++w) any = any || (h->sets[set_wants_updates][w] & h->sets[set_live][w] & ~h->sets[set_closing][w]);
  return any;
}

void build_updates(Hub* h) {
  Machines* m = &h->m;
  proto::Updates* u = &h->updates;
  u->count = m->count;
  for (u32 i = 0; i < m->count; ++i) {
    __builtin_memcpy(u->ids[i], m->ids[i], 16);
    u->major[i] = m->inventory[i].version[0];
    u->minor[i] = m->inventory[i].version[1];
    u->patch[i] = m->inventory[i].version[2];
    u->phases[i] = m->phase[i];
    u8 reason = m->reason[i];
    if (m->phase[i] == phase_none) {
      bool takes = m_has(h, m_takes_orders, i), unavailable = m_has(h, m_no_self_update, i);
      reason = !takes ? 1 : unavailable ? (m->summary[i].os == 2 ? 2 : 3) : 0;
    }
    u->details[i] = reason;
  }
}

// The list to one open viewer, then the peers and the updates when it asked for them.
void send_lists(Hub* h, u32 s, u32 now) {
  if (!send_frame(h, s, proto::encode_list(&h->list, frame_room(h, s)), now)) return;
  if (is_in(h, set_wants_peers, s) && !send_frame(h, s, proto::encode_peers(&h->peers, frame_room(h, s)), now)) return;
  if (is_in(h, set_wants_updates, s)) send_frame(h, s, proto::encode_updates(&h->updates, frame_room(h, s)), now);
}

void take_proof(Hub* h, u32 s, mem::Bytes frame, u32 now, u32 wall) {
  if (s >= slots) return;
  Slot* sl = &h->slot[s];
  u8 proof[32];
  if (proto::decode_bytes(frame, proto::kind_proof, mem::Slice{proof, 32}) != proto::ok ||
      !auth::hello_ok(&h->key, sl->challenge, sl->hello, mem::Bytes(proof, 32))) {
    return refuse(h, s, proto::reason_key, now);
  }
  if (sl->role & proto::role_publisher) {
    u16 reason = note_session(h, s, now);
    if (reason != 0) return refuse(h, s, reason, now);
  }
  if (sl->role == proto::role_update && live_update_links(h) >= update_links_max) {
    return refuse(h, s, proto::reason_full, now);
  }
  u32 hello_term = proto::get32(mem::Bytes(sl->hello, 40), 4);
  if (hello_term > h->highest_term) h->highest_term = hello_term;
  proto::Accept accept = {h->term, wall, h->version[0], h->version[1], h->version[2], {}};
  mem::Slice room = out_room(h, s);
  u32 n = proto::encode_accept(&accept, room);
  if (n != 0) auth::accept_tag(&h->key, sl->hello, sl->challenge, room.ptr + 16, room.ptr + 32);
  if (!send_frame(h, s, n, now)) return;
  auth::session_key(&h->key, sl->hello + 24, sl->challenge, &sl->session);
  sl->receive_counter = 0;
  sl->send_counter = 0;
  u8 flags = sl->hello[1];
  bool viewer = (sl->role & proto::role_viewer) != 0;
  put_in(h, set_publisher, s, (sl->role & proto::role_publisher) != 0);
  put_in(h, set_viewer, s, viewer);
  put_in(h, set_update_link, s, sl->role == proto::role_update);
  put_in(h, set_wants_peers, s, viewer && (flags & proto::hello_peers));
  put_in(h, set_wants_temps, s, viewer && (flags & proto::hello_temps));
  put_in(h, set_wants_updates, s, viewer && (flags & proto::hello_updates));
  if ((sl->role & proto::role_publisher) && sl->machine < h->m.count) {
    m_put(h, m_takes_orders, sl->machine, (flags & proto::hello_update_orders) != 0);
    m_put(h, m_no_self_update, sl->machine, (flags & proto::hello_no_self_update) != 0);
  }
  put_in(h, set_stage0, s, false);
  put_in(h, set_stage1, s, true);
  // A viewer hears the machine list at once rather than at the next whole second: a tool call that opens a link
  // for one answer would otherwise wait for it.
  if (viewer) {
    mark_states(h, now);
    build_list(h);
    if (is_in(h, set_wants_updates, s)) build_updates(h);
    send_lists(h, s, now);
  }
}

// ---- Forwarding.

void copy_to(Hub* h, u32 viewer, mem::Bytes frame, u32 now) {
  mem::Slice room = frame_room(h, viewer);
  if (room.len < frame.len) {
    mark_closing(h, viewer, now);
    return;
  }
  __builtin_memcpy(room.ptr, frame.ptr, frame.len);
  send_frame(h, viewer, static_cast<u32>(frame.len), now);
}

void forward(Hub* h, u32 machine, mem::Bytes frame, bool temps, u32 now) {
  for (u32 w = 0; w < 2; ++w) {
    u64 m = h->sets[set_viewer][w] & h->sets[set_live][w] & ~h->sets[set_closing][w];
    if (temps) m &= h->sets[set_wants_temps][w];
    for (; m != 0; m &= m - 1) {
      u32 v = w * 64 + bits::word_first(m);
      if (v >= slots) break;
      if (h->slot[v].watched == machine && stage_of(h, v) == stage_open) copy_to(h, v, frame, now);
    }
  }
}

// What a new watcher is sent at once: inventory, sample, the whole process table, temperatures.
void send_current(Hub* h, u32 v, u32 i, u32 now) {
  if (m_has(h, m_inventory, i)) send_frame(h, v, proto::encode_inventory(&h->m.inventory[i], frame_room(h, v)), now);
  if (m_has(h, m_sample, i) && !is_in(h, set_closing, v)) {
    send_frame(h, v, proto::encode_sample(reinterpret_cast<const u8*>(&h->m.sample[i]), frame_room(h, v)), now);
  }
  if (m_has(h, m_procs, i) && !is_in(h, set_closing, v)) {
    send_frame(h, v, proto::encode_procs(&h->m.procs[i], nullptr, 1, frame_room(h, v)), now);
  }
  if (m_has(h, m_temps, i) && is_in(h, set_wants_temps, v) && !is_in(h, set_closing, v)) {
    send_frame(h, v, proto::encode_temps(h->m.temps[i], frame_room(h, v)), now);
  }
}

u32 answer_local_history(Hub* h, u32 s, mem::Bytes frame, u32 now) {
  hstore::AnswerHead head;
  if (!hstore::history(&h->history.history_requests, proto::payload_of(frame), &head)) return 0;
  proto::BucketAnswer answer = {head.tier, head.scope, {}, mem::Bytes()};
  __builtin_memcpy(answer.id, head.id, 16);
  send_frame(h, s, proto::encode_buckets(&answer, 0, frame_room(h, s)), now);
  return 1;
}

}  // namespace

void forget(Hub* h, u32 e) {
  Machines* m = &h->m;
  if (e >= m->count) return;
  u32 last = m->count - 1;
  if (e != last) {
    __builtin_memcpy(m->ids[e], m->ids[last], 16);
    m->inventory[e] = m->inventory[last];
    m->sample[e] = m->sample[last];
    m->procs[e] = m->procs[last];
    __builtin_memcpy(m->temps[e], m->temps[last], sizeof m->temps[e]);
    m->summary[e] = m->summary[last];
    m->last_sample[e] = m->last_sample[last];
    m->slot[e] = m->slot[last];
    m->address[e] = m->address[last];
    m->phase[e] = m->phase[last];
    m->reason[e] = m->reason[last];
    m->last_order[e] = m->last_order[last];
  }
  for (u32 s = 0; s < slots; ++s) {
    Slot* sl = &h->slot[s];
    if (sl->machine == e) sl->machine = no_machine;
    if (sl->watched == e) sl->watched = no_machine;
    if (e != last && sl->machine == last) sl->machine = static_cast<u8>(e);
    if (e != last && sl->watched == last) sl->watched = static_cast<u8>(e);
  }
  for (u32 set = 0; set < machine_sets; ++set) m->sets[set] = hstore::swap_bit(m->sets[set], e, last);
  for (u32 set = 0; set < machine_sets; ++set) m_put(h, set, last, false);
  hstore::move_row(&h->history, e, last);
  ptop::move_row(&h->tops, e, last);
  ptop::row_reset(&h->tops, last);
  m->slot[last] = no_machine;
  m->count = last;
}

u32 forward_update_now(Hub* h, u32 i, u32 now) {
  if (i >= h->m.count) return 0;
  bool reachable = m_has(h, m_connected, i) && m_has(h, m_inventory, i);
  u8 phase = h->m.phase[i];
  if (!reachable || !m_has(h, m_takes_orders, i) || m_has(h, m_no_self_update, i) ||
      !(phase == phase_none || phase > phase_restarting)) {
    return 0;
  }
  const u16* v = h->m.inventory[i].version;
  if (version_packed(v[0], v[1], v[2]) >= version_packed(h->version[0], h->version[1], h->version[2])) {
    h->m.phase[i] = phase_current;
    h->m.reason[i] = 0;
    return 2;
  }
  if (h->m.last_order[i] != none && now - h->m.last_order[i] < 600) return 0;
  u32 s = h->m.slot[i];
  if (s >= slots || !open_and_live(h, s)) return 0;
  u32 n = proto::encode_bytes(proto::kind_update_now, mem::Bytes(h->m.ids[i], 16), frame_room(h, s));
  if (!send_frame(h, s, n, now)) return 0;
  h->m.phase[i] = phase_asked;
  h->m.reason[i] = 0;
  h->m.last_order[i] = now;
  ++h->m.orders_sent;
  return 1;
}

u32 handle_message(Hub* h, u32 s, mem::Bytes frame, u32 now, u32 wall) {
  Slot* sl = &h->slot[s];
  u32 kind = proto::frame_kind(frame);
  u32 i = sl->machine;
  bool publisher_kind = kind == proto::kind_inventory || kind == proto::kind_sample || kind == proto::kind_procs ||
                        kind == proto::kind_temps || kind == proto::kind_update_state;
  if (publisher_kind && i >= h->m.count) return 0;
  u8 id[16];
  switch (kind) {
    case proto::kind_inventory:
      if (proto::decode_inventory(frame, &h->scratch_inventory) != proto::ok) return 0;
      if (!same_id(h->scratch_inventory.id, h->m.ids[i])) return 0;
      h->m.inventory[i] = h->scratch_inventory;
      m_put(h, m_inventory, i, true);
      if (h->m.phase[i] == phase_restarting) {
        const u16* v = h->m.inventory[i].version;
        bool current = version_packed(v[0], v[1], v[2]) >=
                       version_packed(h->version[0], h->version[1], h->version[2]);
        h->m.phase[i] = current ? phase_done : phase_failed;
        h->m.reason[i] = current ? 0 : 7;
      }
      m_put(h, m_inventory_changed, i, true);
      forward(h, i, frame, false, now);
      return 1;
    case proto::kind_sample: {
      if (proto::decode_sample(frame, reinterpret_cast<u8*>(&h->m.sample[i])) != proto::ok) return 0;
      m_put(h, m_sample, i, true);
      m_put(h, m_stale, i, false);
      m_put(h, m_offline, i, false);
      h->m.last_sample[i] = now;
      update_summary(h, i);
      u8 row[proto::summary_size];
      proto::put_summary(mem::Slice{row, sizeof row}, 0, &h->m.summary[i]);
      hstore::add(&h->history, i, row, wall);
      forward(h, i, frame, false, now);
      return 1;
    }
    case proto::kind_procs:
      if (proto::decode_procs(frame, &h->m.procs[i]) != proto::ok) return 0;
      m_put(h, m_procs, i, true);
      ptop::observe(&h->tops, i, mem::Bytes(reinterpret_cast<const u8*>(&h->m.procs[i]), sizeof h->m.procs[i]), wall);
      forward(h, i, frame, false, now);
      return 1;
    case proto::kind_temps:
      if (proto::decode_temps(frame, h->m.temps[i]) != proto::ok) return 0;
      m_put(h, m_temps, i, true);
      forward(h, i, frame, true, now);
      return 1;
    case proto::kind_backfill:
      if (proto::decode_backfill(frame, &h->scratch_backfill) != proto::ok) return 0;
      hstore::backfill(&h->history, 16, h->scratch_backfill.count);
      return 1;
    case proto::kind_watch:
      if (proto::decode_bytes(frame, proto::kind_watch, mem::Slice{id, 16}) != proto::ok) return 0;
      i = find_machine(h, id);
      sl->watched = i == none ? no_machine : static_cast<u8>(i);
      if (i != none) send_current(h, s, i, now);
      return 1;
    case proto::kind_unwatch:
      sl->watched = no_machine;
      return 1;
    case proto::kind_update_state: {
      u8 phase = 0, reason = 0;
      if (!m_has(h, m_takes_orders, i) || proto::decode_update_state(frame, &phase, &reason) != proto::ok) return 0;
      h->m.phase[i] = phase;
      h->m.reason[i] = reason == 18 && h->m.no_binary_reason ? h->m.no_binary_reason : reason;
      return 1;
    }
    case proto::kind_update_now:
      if (!is_in(h, set_wants_updates, s)) return 0;
      if (proto::decode_bytes(frame, proto::kind_update_now, mem::Slice{id, 16}) != proto::ok) return 0;
      ++h->m.orders_received;
      if (all_zero(id, 16)) {
        for (u32 k = 0; k < h->m.count; ++k) forward_update_now(h, k, now);
      } else if ((i = find_machine(h, id)) != none) {
        forward_update_now(h, i, now);
      }
      return 1;
    case proto::kind_update_ask:
      if (proto::decode_update_ask(frame, &sl->update) != proto::ok) return 0;
      put_in(h, set_chunk_asked, s, true);
      return 1;
    case proto::kind_history:
      if (proto::decode_history(frame, &sl->history) != proto::ok) return 0;
      ++sl->history_asks;
      if (h->flags & hub_share_attached) {
        put_in(h, set_history, s, true);
        if (h->history.history_requests != 0xFFFFFFFF) ++h->history.history_requests;
        return 1;
      }
      return answer_local_history(h, s, frame, now);
    case proto::kind_forget:
      if (proto::decode_bytes(frame, proto::kind_forget, mem::Slice{id, 16}) != proto::ok) return 0;
      i = find_machine(h, id);
      if (i != none && m_has(h, m_offline, i) && !m_has(h, m_stale, i) && !m_has(h, m_connected, i)) forget(h, i);
      return 1;
    case proto::kind_ping:
      return 1;
    default:
      return 0;
  }
}

namespace {

void take_open(Hub* h, u32 s, mem::Bytes frame, u32 now, u32 wall) {
  Slot* sl = &h->slot[s];
  u32 plain = static_cast<u32>(frame.len) - proto::tag_size;
  if (!auth::frame_sealed(&sl->session, auth::to_host, sl->receive_counter, frame, plain)) {
    ++h->counters.bad_tags;
    mark_closing(h, s, now);
    return;
  }
  ++sl->receive_counter;
  mem::Bytes message(frame.ptr, plain);
  if (!kind_allowed(proto::frame_kind(message), sl->role)) return refuse(h, s, proto::reason_unexpected, now);
  if (!handle_message(h, s, message, now, wall)) {
    ++h->counters.failed_dispatch;
    mark_closing(h, s, now);
  }
}

}  // namespace

void take_frames(Hub* h, u32 s, u32 received, u32 now, u32 wall) {
  if (s >= slots || !is_in(h, set_live, s) || is_in(h, set_closing, s)) return;
  Slot* sl = &h->slot[s];
  sl->in_fill = bits::min32(u64{sl->in_fill} + received, buffer_size);
  sl->activity = now;
  u32 used = 0;
  while (!is_in(h, set_closing, s) && !is_in(h, set_history, s) && !is_in(h, set_chunk_asked, s) &&
         sl->in_fill - used >= proto::header_size) {
    mem::Bytes head(sl->in + used, sl->in_fill - used);
    u32 stage = stage_of(h, s);
    u32 length = proto::head_check(mem::Bytes(head.ptr, proto::header_size)) == proto::ok
                     ? proto::header_size + proto::get32(head, 8) + (stage == stage_open ? proto::tag_size : 0)
                     : 0;
    if (length == 0) {
      ++h->counters.bad_frames;
      mark_closing(h, s, now);
      return;
    }
    u32 kind = proto::get16(head, 6);
    bool probe = stage == stage_new && kind == proto::kind_probe && (h->flags & hub_host_id);
    if (!probe && ((stage == stage_new && kind != proto::kind_hello) ||
                   (stage == stage_hello && kind != proto::kind_proof))) {
      return refuse(h, s, proto::reason_unexpected, now);
    }
    if (head.len < length) break;
    ++h->counters.frames_taken;
    mem::Bytes frame(head.ptr, length);
    if (probe) {
      take_probe(h, s, frame, now);
    } else if (stage == stage_new) {
      take_hello(h, s, frame, now);
    } else if (stage == stage_hello) {
      take_proof(h, s, frame, now, wall);
    } else {
      take_open(h, s, frame, now, wall);
    }
    used += length;
  }
  if (is_in(h, set_closing, s)) return;
  __builtin_memmove(sl->in, sl->in + used, sl->in_fill - used);
  sl->in_fill -= used;
}

void answer_update_asks(Hub* h, u32 now, u32 wall) {
  u32 served = 0;
  for (u32 s = 0; s < slots && served < update_links_max; ++s) {
    if (!is_in(h, set_live, s) || !is_in(h, set_chunk_asked, s) || is_in(h, set_closing, s)) continue;
    // No build is held here: the head says so, and the agent asks again on its own schedule.
    proto::UpdateChunk chunk = {};
    chunk.type = h->slot[s].update.type;
    chunk.flag = 1;
    put_in(h, set_chunk_asked, s, false);
    send_frame(h, s, proto::encode_update_chunk(&chunk, mem::Bytes(), frame_room(h, s)), now);
    ++h->counters.chunks;
    ++served;
    take_frames(h, s, 0, now, wall);
  }
}

void upkeep(Hub* h, u32 now) {
  mark_states(h, now);
  for (u32 s = 0; s < slots; ++s) {
    if (!is_in(h, set_live, s)) continue;
    Slot* sl = &h->slot[s];
    u32 d = now - sl->activity;
    if (is_in(h, set_closing, s)) {
      if (d >= 20) {
        sl->out_fill = 0;
        if (is_in(h, set_shut, s)) put_in(h, set_close_due, s, true);
      }
    } else if (stage_of(h, s) == stage_new && now - sl->admitted >= hello_units) {
      // A whole hello is one small frame: a connection that has not sent it by now only holds a place.
      mark_closing(h, s, now);
    } else if (stage_of(h, s) != stage_open && now - sl->admitted >= handshake_units) {
      mark_closing(h, s, now);
    } else if (d >= 600) {
      mark_closing(h, s, now);
    }
  }
  build_list(h);
  if (any_wants_updates(h)) build_updates(h);
  for (u32 w = 0; w < 2; ++w) {
    for (u64 v = h->sets[set_viewer][w] & h->sets[set_live][w]; v != 0; v &= v - 1) {
      u32 s = w * 64 + bits::word_first(v);
      if (s >= slots) break;
      if (is_in(h, set_closing, s) || stage_of(h, s) != stage_open) continue;
      send_lists(h, s, now);
    }
  }
}

u32 live_count(const Hub* h) {
  u64 open[2] = {h->sets[set_live][0] & h->sets[set_stage1][0], h->sets[set_live][1] & h->sets[set_stage1][1]};
  return count_set(open);
}

}  // namespace hub
