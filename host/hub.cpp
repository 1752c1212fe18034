#include "host/hub.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "cluster/cluster.h"
#include "history/sharering.h"
#include "history/shareprobe.h"
#include "history/store.h"
#include "host/linuxfeed.h"
#include "host/web.h"
#include "platform/fs.h"

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

u32 m_has(const Hub* h, u32 set, u32 machine) { return bits::word_test(h->m.sets[set], machine); }
void m_put(Hub* h, u32 set, u32 machine, bool on) { h->m.sets[set] = bits::word_put(h->m.sets[set], machine, on); }

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

// Room for a frame that will be sealed: the tag's 16 bytes are kept free, so an encoder that fills the room leaves
// a frame that still seals.
mem::Slice frame_room(Hub* h, u32 s) {
  mem::Slice r = out_room(h, s);
  if (stage_of(h, s) == stage_open) r.len = r.len > proto::tag_size ? r.len - proto::tag_size : 0;
  return r;
}

}  // namespace

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

// The publisher's machine: found or appended. 0 ok, else a refuse reason.
u16 note_session(Hub* h, u32 s, u32 now) {
  Slot* sl = &h->slot[s];
  const u8* id = sl->hello + 8;
  u32 i = find_machine(h, id);
  if (i == none) {
    if (h->m.count >= machines) return proto::reason_full;
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

}  // namespace hub

// ---- The host process: sockets, rounds, life cycle.

namespace hub {

namespace {

void silent(mem::Bytes) {}

}  // namespace

u64 arena_size() {
  // The records carved at start, each rounded to 64 bytes, and a page of slack.
  auto up = [](u64 n) { return (n + 63) & ~u64{63}; };
  return up(sizeof(Host)) + up(sizeof(Hub)) + up(sizeof(share::Share)) + up(sizeof(linuxfeed::Feed)) + 4096;
}

u64 web_arena_size(u32 flags) { return (flags & flag_web) ? web::arena_size() : 0; }

u32 create(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick) {
  __builtin_memset(host, 0, sizeof *host);
  host->listener = sock::invalid_socket;
  for (u32 s = 0; s < slots; ++s) host->sockets[s] = sock::invalid_socket;
  host->verdict = store::verdict_not_share;
  host->random = os::random_bytes;
  host->writer = silent;
  host->options = *options;
  host->start_tick = start_tick;
  host->answer.slot = none;
  hstore::watch_init(&host->watch);
  host->hub = mem::alloc_of<Hub>(arena);
  if (host->hub == nullptr) return 0;
  init(host->hub, key, 0, options->version);
  host->feed = mem::alloc_of<linuxfeed::Feed>(arena);
  if (host->feed == nullptr) return 0;
  const u16* v = options->version;
  linuxfeed::create(host->feed, remote_update::pack_version(v[0], v[1], v[2]));
  return 1;
}

u32 open(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick) {
  if (!create(host, arena, key, options, start_tick)) return 0;
  if (!sock::startup()) return 0;
  if (sock::listen(options->listen, options->port, &host->listener) != sock::done) return 0;
  host->port = sock::local_port(host->listener);
  if (host->port == 0) return 0;
  return (options->flags & flag_web) == 0 || web::open(host, arena);
}

u32 open_elected(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick,
                 sock::Socket listener) {
  if (!create(host, arena, key, options, start_tick)) return 0;
  host->listener = listener;
  host->port = sock::local_port(listener);
  return host->port != 0;
}

u32 live_count(const Hub* h) {
  u64 open[2] = {h->sets[set_live][0] & h->sets[set_stage1][0], h->sets[set_live][1] & h->sets[set_stage1][1]};
  return count_set(open);
}

void log(const Host* host, mem::Bytes text) { host->writer(text); }

void log_dec(const Host* host, u64 value) {
  u8 digits[fmt::dec_size];
  host->writer(fmt::dec(value, digits));
}

u32 seconds_since_2025(u64 filetime) {
  u64 seconds = filetime / 10000000;
  if (seconds < 13380163200ull) return 0;
  return bits::min32(seconds - 13380163200ull, 0xFFFFFFFF);
}

u32 elapsed_units(u64 earlier, u64 later) {
  return later < earlier ? 0 : bits::min32((later - earlier) / 100, 0xFFFFFFFF);
}

u32 ratio_x10000(u64 part, u64 whole) {
  if (whole == 0) return 0;
  // 128-bit-free: a part that would overflow the product is at least the whole already.
  if (part >= whole) return 10000;
  return static_cast<u32>(part * 10000 / whole);
}

u32 now_units(const Host* host) {
  // One clock for the whole round: the share's test clock when it runs one, else the round's own tick, so that a
  // round driven with a given tick never mixes in the time of day.
  u64 t = host->share != nullptr && host->share->virtual_clock ? share::now_ms(host->share) : host->tick;
  return elapsed_units(host->start_tick, t);
}

void drop_member(Host* host, u32 s) {
  if (host->sockets[s] != sock::invalid_socket) sock::close(host->sockets[s]);
  host->sockets[s] = sock::invalid_socket;
  free_slot(host->hub, s);
}

void accept_members(Host* host, u32 now) {
  for (u32 n = 0; n < accepts_per_round; ++n) {
    sock::Socket socket = sock::invalid_socket;
    u32 peer = 0;
    if (sock::accept(host->listener, &socket, &peer) != sock::done) return;
    u32 room = (host->options.flags & flag_no_members) ? none : room_for(host->hub, peer, 0);
    if (room == none) {
      sock::close(socket);
      ++host->refused_at_accept;
      continue;
    }
    u8 challenge[proto::challenge_size];
    if (!host->random(mem::Slice{challenge, sizeof challenge})) {
      sock::close(socket);
      ++host->no_random;
      continue;
    }
    if (room != room_free) {
      drop_member(host, room);
      ++host->evicted;
    }
    u32 s = admit(host->hub, mem::Bytes(challenge, sizeof challenge), peer, now);
    if (s == none) {
      sock::close(socket);
      continue;
    }
    host->sockets[s] = socket;
    ++host->accepted;
    // A member sends its hello right after it connects: taken at once, it is past the stage that newer
    // connections evict first before they arrive.
    read_member(host, s, now);
    if (host->sockets[s] == socket) flush_member(host, s, now);
  }
}

void read_member(Host* host, u32 s, u32 now) {
  Slot* sl = &host->hub->slot[s];
  u64 n = 0;
  u32 r = sock::recv(host->sockets[s], mem::Slice{sl->in + sl->in_fill, buffer_size - sl->in_fill}, &n);
  if (r == sock::closed || r == sock::failed) {
    ++host->receive_failures;
    drop_member(host, s);
    return;
  }
  if (r == sock::done && n > 0) take_frames(host->hub, s, static_cast<u32>(n), now, host->wall);
}

void flush_member(Host* host, u32 s, u32 now) {
  (void)now;
  Slot* sl = &host->hub->slot[s];
  if (sl->out_fill == 0 || host->sockets[s] == sock::invalid_socket) return;
  u64 n = 0;
  u32 r = sock::send(host->sockets[s], mem::Bytes(sl->out, sl->out_fill), &n);
  if (r == sock::failed || r == sock::closed) {
    ++host->send_failures;
    drop_member(host, s);
    return;
  }
  if (r == sock::done && n > 0) consume_out(host->hub, s, static_cast<u32>(n));
}

void close_finished(Host* host, u32 now) {
  Hub* h = host->hub;
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w] & h->sets[set_closing][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      if (s >= slots) break;
      // A browser's link has no socket: the dashboard frees its slot once the browser has fetched what is queued.
      if (h->slot[s].out_fill != 0 || (host->web != nullptr && web::is_link(host->web, s))) continue;
      if (is_in(h, set_close_due, s)) {
        drop_member(host, s);
      } else if (!is_in(h, set_shut, s)) {
        if (host->sockets[s] != sock::invalid_socket && sock::shutdown_send(host->sockets[s]) != sock::done) {
          ++host->send_failures;
          drop_member(host, s);
          continue;
        }
        put_in(h, set_shut, s, true);
        h->slot[s].activity = now;
      }
    }
  }
}

bool answer_ready(const Host* host) {
  const Hub* h = host->hub;
  u32 s = host->answer.slot;
  if (s >= slots || !is_in(h, set_history, s) || h->slot[s].admitted != host->answer.admitted) {
    s = none;
    for (u32 w = 0; w < 2 && s == none; ++w) {
      u64 m = h->sets[set_live][w] & h->sets[set_history][w];
      if (m != 0) s = w * 64 + bits::word_first(m);
    }
  }
  return s != none && out_free(h, s) > answer_room - 1;
}

void step(Host* host, u32 timeout_ms, u64 tick_ms, u32 wall) {
  ++host->rounds;
  if (host->stop_reason != stop_none || host->closed) return;
  Hub* h = host->hub;
  host->wall = wall;
  host->tick = tick_ms;
  if (host->share != nullptr) {
    if (host->share->virtual_clock) share::advance_clock(host->share, tick_ms);
    host->share->wall = wall;
  }
  u32 u = elapsed_units(host->start_tick, tick_ms);
  if (host->feed != nullptr) {
    linuxfeed::step(host->feed, h, tick_ms, u, wall);
  } else {
    answer_update_asks(h, u, wall);
  }

  sock::PollSet* poll = &host->poll;
  poll->count = 0;
  if (host->listener != sock::invalid_socket) {
    u32 at = sock::poll_add(poll, host->listener, 0);
    if (at < sock::poll_capacity) host->meaning[at] = entry_listener;
  }
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      if (s >= slots) break;
      if (host->sockets[s] == sock::invalid_socket) continue;
      u32 at = sock::poll_add(poll, host->sockets[s], h->slot[s].out_fill != 0);
      if (at >= sock::poll_capacity) continue;
      // A full in-buffer waits for the share duties; asking to read it again would only wake the poll at once.
      if (h->slot[s].in_fill >= buffer_size) poll->entries[at].events &= ~sock::poll_read;
      host->meaning[at] = s;
    }
  }
  if (host->web != nullptr) web::add_to_poll(host);
  // A stop request ends the wait, however long it is.
  if (host->stop_event != 0) {
    u32 at = sock::poll_add(poll, kobj::pollable(host->stop_event), 0);
    if (at < sock::poll_capacity) host->meaning[at] = entry_stop;
  }
  sock::poll_wait(poll, answer_ready(host) ? 0 : timeout_ms);
  const u16 any = sock::poll_read | sock::poll_error | sock::poll_hangup | sock::poll_invalid;
  for (u32 e = 0; e < poll->count; ++e) {
    u16 returned = poll->entries[e].returned;
    u32 meaning = host->meaning[e];
    if (meaning == entry_listener) {
      if (returned & any) accept_members(host, u);
      continue;
    }
    if (meaning == entry_web) {
      if (returned & any) web::accept(host, u);
      continue;
    }
    if (meaning == entry_stop) continue;  // the loop looks at the event before the next round
    if ((meaning & ~0xFFFFu) == entry_web_client) {
      web::client_io(host, meaning & 0xFFFF, (returned & any) != 0, u, wall);
      continue;
    }
    u32 s = meaning;
    if (!is_in(h, set_live, s)) continue;
    flush_member(host, s, u);
    if ((returned & any) && is_in(h, set_live, s)) read_member(host, s, u);
    if (is_in(h, set_live, s)) flush_member(host, s, u);
  }
  if (u >= host->next_tick) {
    tick(host, u, wall);
    if (host->stop_reason != stop_none || host->closed) return;
    upkeep(h, u);
    host->next_tick = u - u % 10 + 10;
    for (u32 s = 0; s < slots; ++s) {
      if (is_in(h, set_live, s)) flush_member(host, s, u);
    }
  }
  share_step(host, u, wall);
  if (host->stop_reason != stop_none || host->closed) return;
  if (host->web != nullptr) web::upkeep(host, u);
  close_finished(host, u);
}

bool chunk_ready(const Hub* h) {
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w] & h->sets[set_chunk_asked][w] & ~h->sets[set_closing][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      // A full out-buffer wakes the poll itself once the socket takes bytes again.
      if (s < slots && h->slot[s].out_fill == 0) return true;
    }
  }
  return false;
}

u32 wait_ms(const Host* host, u64 tick_ms) {
  if (host->stop_reason != stop_none || host->closed) return 0;
  if (answer_ready(host) || chunk_ready(host->hub)) return 0;
  u64 due = host->start_tick + u64{host->next_tick} * 100;
  u64 wait = due > tick_ms ? due - tick_ms : 0;
  if (wait > tick_wait_max) wait = tick_wait_max;
  // Carrying an older term's history over goes on in small steps, each round.
  const share::Share* sh = host->share;
  if (sh != nullptr && (sh->flags & share::leased) && !(sh->flags & share::complete) && wait > carry_wait) {
    wait = carry_wait;
  }
  return static_cast<u32>(wait);
}

void run(Host* host, u64 round_limit) {
  while (host->rounds < round_limit && host->stop_reason == stop_none && !host->closed) {
    if (host->stop_event != 0 && kobj::wait(host->stop_event, 0)) break;
    u64 now = os::clock_ms();
    step(host, wait_ms(host, now), now, seconds_since_2025(os::filetime_now()));
  }
}

void close(Host* host) {
  // Once only: an election that steps down after a stop must not close sockets whose numbers were reused since.
  if (host->closed || host->hub == nullptr) return;
  if (host->share != nullptr) flush_all(host);
  for (u32 s = 0; s < slots; ++s) {
    if (host->sockets[s] != sock::invalid_socket) sock::close(host->sockets[s]);
    host->sockets[s] = sock::invalid_socket;
    if (is_in(host->hub, set_live, s)) free_slot(host->hub, s);
  }
  if (host->listener != sock::invalid_socket && !(host->options.flags & flag_election_listener)) {
    sock::close(host->listener);
  }
  if (host->web != nullptr) web::close(host);
  if (host->feed != nullptr) linuxfeed::close(host->feed);
  host->listener = sock::invalid_socket;
  host->closed = 1;
}

void stop(Host* host, u32 reason) {
  host->stop_reason = reason;
  close(host);
}

}  // namespace hub

// ---- Share duties: the address toward the share, registration, the lease, flushes and history answers.

namespace hub {

namespace {

// 1 for a "\\server\rest" path, with the server part.
bool unc_server(mem::Bytes path, mem::Bytes* server) {
  u32 end = store::unc_server_end(path);
  if (end == 0) return false;
  *server = mem::Bytes(path.ptr + 2, end - 2);
  return true;
}

u32 address_of_server(mem::Bytes server) {
  u64 literal = cluster::parse_ipv4(server);
  u32 address = literal != 0 ? static_cast<u32>(literal) : sock::resolve(server);
  return address == 0 ? 0 : sock::local_address_toward(address);
}

}  // namespace

u32 share_address(mem::Bytes path, u32 listen) {
  if (listen != 0) return listen;
  mem::Bytes server;
  if (unc_server(path, &server)) return address_of_server(server);
  u32 type = fs::drive_type(path);
  if (type == fs::drive_remote) {
    store::Path network;
    if (fs::unc_of_drive(path, &network) && !network.overflow && unc_server(store::path_of(&network), &server)) {
      return address_of_server(server);
    }
    return 0;
  }
  if (type == fs::drive_removable || type == fs::drive_fixed || type == fs::drive_optical || type == fs::drive_ram) {
    return 0x7F000001;
  }
  return 0;
}

u32 register_share(Host* host, mem::Arena* arena, mem::Bytes path, u32 address, u64 now_tick) {
  (void)now_tick;
  share::Share* s = mem::alloc_of<share::Share>(arena);
  if (s == nullptr) return stop_no_term;
  u8 id[16];
  bool have_id = host->random(mem::Slice{id, sizeof id}) != 0;
  fs::make_directories(path);
  share::init(s, path, &host->hub->key, id, address, host->port, 1);
  store::Path members;
  store::path_set(&members, path);
  store::path_join(&members, mem::lit("members"));
  fs::io_make_directory(store::path_of(&members));
  // The probe file of the self-test lies beside the member records, named after this run's id; it is removed again.
  store::Path base = members;
  store::path_id(&base, id);
  host->verdict = share::selftest(path, store::path_of(&base));
  host->share = s;
  Hub* h = host->hub;
  h->flags &= ~hub_serving;
  h->moved_term = 0;
  h->moved_address = 0;
  h->moved_port = 0;
  h->flags |= hub_share_attached;
  return hstore::refusal(have_id, host->verdict, (host->options.flags & flag_force_share) != 0);
}

void check_stop(Host* host, u32 result) {
  share::Share* s = host->share;
  u32 reason = hstore::stop_of((s->flags & share::stopped) != 0, result, s->lease_failures, s->flags);
  if (reason != stop_none) stop(host, reason);
}

void decide_lease(Host* host, u32 now) {
  share::Share* s = host->share;
  Hub* h = host->hub;
  store::Path lease;
  store::path_set(&lease, store::path_of(&s->folder));
  store::path_join(&lease, mem::lit("lease"));
  u64 file = 0;
  u32 opened = fs::io_open_read(store::path_of(&lease), &file);
  if (opened == fs::io_ok) fs::io_close(&file);
  bool missing = opened == fs::io_not_found;
  proto::Lease record = {};
  bool good = share::read_lease(s, &h->key, &record);
  u32 verdict = hstore::observe(&host->watch, missing, good, record.term, record.counter,
                                (record.flags & proto::lease_released) != 0, now);
  h->moved_term = host->watch.term;
  h->moved_address = good ? record.address : 0;
  h->moved_port = good ? record.port : 0;
  h->flags &= ~hub_serving;
  if (verdict == 1) {
    if (host->options.flags & flag_refuse_if_live) return stop(host, stop_live);
    if (!host->waiting_printed) {
      host->waiting_printed = 1;
      log(host, mem::lit("vimbrel host: waiting: a host of term "));
      log_dec(host, record.term);
      log(host, mem::lit(" is live\n"));
    }
    return;
  }
  if (verdict != 2) return;
  if (share::claim_next(s, now) != share::done) {
    if (s->claim_trouble.kind != share::trouble_none) {
      say_trouble(host->writer, mem::lit("vimbrel host: cannot claim a term: "), &s->claim_trouble, false);
    }
    return stop(host, stop_no_term);
  }
  report_share(host);
  set_term(h, s->term);
  log(host, mem::lit("vimbrel host: listening on port "));
  log_dec(host, host->port);
  log(host, mem::lit(", term "));
  log_dec(host, s->term);
  log(host, mem::lit(", share self-test "));
  log(host, hstore::verdict_word(host->verdict));
  log(host, mem::lit("\n"));
  if (host->feed != nullptr && !host->feed->keyed) {
    log(host, mem::lit("vimbrel host: "));
    log(host, linuxfeed::no_key_text());
    log(host, mem::lit("\n"));
  }
}

void say_trouble(Writer writer, mem::Bytes lead, const share::Note* t, bool every_file) {
  writer(lead);
  bool at_file = t->kind == share::trouble_planted || t->kind == share::trouble_foreign;
  if (at_file && t->path.length != 0 && !t->path.overflow) {
    writer(store::path_of(&t->path));
    writer(mem::lit(" is in the way: "));
  }
  writer(share::trouble_text(t->kind));
  if (every_file && !at_file && t->path.length != 0 && !t->path.overflow) {
    writer(mem::lit(" ("));
    writer(store::path_of(&t->path));
    writer(mem::lit(")"));
  }
  writer(mem::lit("\n"));
}

void report_share(Host* host) {
  const share::Share* s = host->share;
  if (s == nullptr) return;
  const share::Trouble* t = &s->trouble;
  u32 from = t->sequence - host->trouble_said > share::trouble_memory ? t->sequence - share::trouble_memory
                                                                      : host->trouble_said;
  for (u32 n = from; n != t->sequence; ++n) {
    say_trouble(host->writer, mem::lit("vimbrel host: on the share: "), &t->notes[n % share::trouble_memory], true);
  }
  host->trouble_said = t->sequence;
}

void tick(Host* host, u32 now, u32 wall) {
  share::Share* s = host->share;
  if (s == nullptr) return;
  report_share(host);
  if (!(s->flags & share::claimed)) {
    decide_lease(host, now);
    if (host->stop_reason != stop_none || !(s->flags & share::claimed)) return;
  }
  u32 r = (s->flags & share::leased) ? share::renew_lease(s, now) : share::take_lease(s, now, share::now_ms(s));
  check_stop(host, r);
  if (host->stop_reason != stop_none) return;
  hstore::close_due(&host->hub->history, wall);
  ptop::close_due(&host->hub->tops, wall);
  flush_history(host, 16);
  flush_top(host, 16);
}

namespace {

bool may_flush(const Host* host) {
  const share::Share* s = host->share;
  return s != nullptr && (s->flags & share::leased) && (s->flags & share::set_up);
}

bool table_full(const Host* host) { return host->share->count >= share::machines; }

// The share's index of a machine, added when missing; all ones when refused.
u32 share_index(Host* host, u32 i, u32 now) {
  i32 k = share::add_machine(host->share, host->hub->m.ids[i],
                             mem::Bytes(host->hub->m.inventory[i].names[proto::name_computer], 32), now);
  return k < 0 ? none : static_cast<u32>(k);
}

void count(u32* counter) {
  if (*counter != 0xFFFFFFFF) ++*counter;
}

void flush_inventories(Host* host, u32 budget, u32 now) {
  Hub* h = host->hub;
  u64 changed = h->m.sets[m_inventory_changed];
  u64 picked = hstore::pick_from(changed, budget, host->cursors[0]);
  host->cursors[0] = static_cast<u8>(hstore::start_after(changed, budget, host->cursors[0]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    m_put(h, m_inventory_changed, i, false);
    u32 k = share_index(host, i, now);
    u32 r = k == none ? share::refused : share::rename_machine(host->share, k, &h->m.inventory[i], now);
    if (r == share::done) {
      count(&host->written.inventories);
    } else if (!table_full(host)) {
      m_put(h, m_inventory_changed, i, true);
      hstore::count_failure(h->history.failures, i, 1);
    }
  }
}

// Tiers 1 and 2 of one machine; true when every write worked.
bool flush_tiers(Host* host, u32 i, u32 k, u32 now) {
  Hub* h = host->hub;
  share::Share* s = host->share;
  if (share::is_carrying(s, k)) return false;
  bool all = true;
  for (u32 tier = 1; tier <= 2; ++tier) {
    hstore::Upper* u = &h->history.upper[tier - 1];
    u64 bit = u64{1} << i;
    if (u->close_pending & bit) {
      if (share::roll_up(s, k, tier, u->previous[i], now) != share::done) {
        all = false;
        continue;
      }
      u->close_pending &= ~bit;
    }
    u32 slot = hstore::slot_time(u->start[i], tier);
    if ((u->started & bit) && !(u->seeded & bit)) {
      hstore::BucketSum stored;
      bool held = share::read_buckets(s, k, tier, slot, &stored);
      hstore::seed(&h->history, i, tier, &stored);
      // The share holds this slot already (a restart within it): rewrite that record rather than add one.
      if (held) u->started &= ~bit;
    }
    store::Energy energy;
    if (!(u->energy_looked_up & bit)) {
      store::Energy stored;
      if (share::read_energy(s, k, tier, slot, &stored)) hstore::energy_seed(&h->history, i, tier, &stored);
      u->energy_looked_up |= bit;
    }
    hstore::tier_energy(&h->history, i, tier, &energy);
    if (energy.seconds != 0) {
      if (share::put_energy(s, k, tier, &energy, now) == share::done) {
        count(&host->written.energy);
      } else {
        all = false;
      }
    }
    store::Bucket bucket;
    hstore::tier_bucket(&h->history, i, tier, &bucket);
    if (share::put_tier_bucket(s, k, tier, &bucket, (u->started & bit) != 0, now) == share::done) {
      u->started &= ~bit;
      u->unwritten &= ~bit;
      count(&host->written.tier_buckets);
    } else {
      all = false;
    }
  }
  return all;
}

}  // namespace

void flush_history(Host* host, u32 budget) {
  if (!may_flush(host)) return;
  Hub* h = host->hub;
  share::Share* s = host->share;
  u32 now = now_units(host);
  flush_inventories(host, budget, now);
  hstore::Store* st = &h->history;
  u64 wanting = st->bucket_pending | st->upper_changed;
  wanting &= bits::low_mask(h->m.count);
  u64 picked = hstore::pick_from(wanting, budget, host->cursors[1]);
  host->cursors[1] = static_cast<u8>(hstore::start_after(wanting, budget, host->cursors[1]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    u64 bit = u64{1} << i;
    u32 k = share_index(host, i, now);
    if (st->bucket_pending & bit) {
      u32 r = k == none ? share::refused : share::put_bucket(s, k, 0, &st->closed[i], now);
      if (r == share::done && st->closed_energy[i].seconds != 0) {
        share::put_energy(s, k, 0, &st->closed_energy[i], now);
      }
      if (r == share::done) {
        count(&host->written.buckets);
        st->bucket_pending &= ~bit;
      } else if (table_full(host)) {
        count(&host->written.buckets_table_full);
        st->bucket_pending &= ~bit;
      } else {
        hstore::count_failure(st->failures, i, 1);
      }
    }
    if (st->upper_changed & bit) {
      bool ok = k != none && flush_tiers(host, i, k, now);
      if (ok || table_full(host)) {
        st->upper_changed &= ~bit;
      } else {
        hstore::count_failure(st->failures, i, 1);
      }
    }
  }
}

void flush_top(Host* host, u32 budget) {
  if (!may_flush(host)) return;
  Hub* h = host->hub;
  share::Share* s = host->share;
  ptop::Book* b = &h->tops;
  u32 now = now_units(host);
  u64 names = 0;
  for (u32 i = 0; i < h->m.count; ++i) {
    if (b->pending_count[i] != 0) names |= u64{1} << i;
  }
  u64 wanting = (names | b->closed_pending | b->upper_changed) & bits::low_mask(h->m.count);
  u64 picked = hstore::pick_from(wanting, budget, host->cursors[2]);
  host->cursors[2] = static_cast<u8>(hstore::start_after(wanting, budget, host->cursors[2]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    u64 bit = u64{1} << i;
    i32 found = share::find_machine(s, h->m.ids[i]);
    bool full = table_full(host);
    if (found < 0 && !full) continue;
    u32 k = found < 0 ? none : static_cast<u32>(found);
    if (b->pending_count[i] != 0) {
      u32 written = k == none ? 0
                              : share::put_names(s, k, &b->pending[i][0][0], b->pending_count[i], host->wall, now);
      ptop::names_written(b, i, full && k == none ? ptop::pending_max : written);
    }
    if (b->closed_pending & bit) {
      u32 r = k == none ? share::refused : share::put_top(s, k, 0, &b->closed[i], true, now);
      if (r == share::done || full) b->closed_pending &= ~bit;
    }
    if (b->upper_changed & bit) {
      bool all = k != none && !share::is_carrying(s, k);
      for (u32 tier = 1; all && tier <= 2; ++tier) {
        ptop::Row* row = &b->tier_row[tier - 1][i];
        bool fresh = (b->tier_started[tier - 1] & bit) != 0;
        if (fresh) {
          ptop::Row stored;
          if (share::read_top(s, k, tier, row->slot, &stored)) {
            ptop::merge(row, &stored);
            fresh = false;
          }
        }
        if (share::put_top(s, k, tier, row, fresh, now) == share::done) {
          b->tier_started[tier - 1] &= ~bit;
          count(&host->written.tops);
        } else {
          all = false;
        }
      }
      if (all || full) b->upper_changed &= ~bit;
    }
  }
}

namespace {

void finish_answer(Host* host, u32 s, u32 now, u32 wall) {
  put_in(host->hub, set_history, s, false);
  host->answer.slot = none;
  take_frames(host->hub, s, 0, now, wall);
}

// The final buckets frame of an answer, with no rows: what an ask that cannot be answered, or is cut short, gets.
void send_empty_final(Host* host, u32 s, u32 now) {
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  proto::BucketAnswer a = {ask->tier, ask->scope, {}, mem::Bytes()};
  __builtin_memcpy(a.id, ask->id, 16);
  send_frame(host->hub, s, proto::encode_buckets(&a, 0, frame_room(host->hub, s)), now);
}

bool others_wait(const Hub* h, u32 s) {
  for (u32 w = 0; w < 2; ++w) {
    u64 m = h->sets[set_live][w] & h->sets[set_history][w];
    if (w == s / 64) m &= ~(u64{1} << (s % 64));
    if (m != 0) return true;
  }
  return false;
}

u32 pick_answer(Host* host, u32 now) {
  Hub* h = host->hub;
  Answering* a = &host->answer;
  u32 s = a->slot;
  if (s < slots && is_in(h, set_live, s) && is_in(h, set_history, s) && h->slot[s].admitted == a->admitted) return s;
  s = none;
  for (u32 w = 0; w < 2 && s == none; ++w) {
    u64 m = h->sets[set_live][w] & h->sets[set_history][w] & ~h->sets[set_closing][w];
    if (m != 0) s = w * 64 + bits::word_first(m);
  }
  a->slot = s;
  if (s == none) return none;
  const proto::HistoryAsk* ask = &h->slot[s].history;
  a->admitted = h->slot[s].admitted;
  i32 k = share::find_machine(host->share, ask->id);
  a->machine = k < 0 ? none : static_cast<u32>(k);
  bool known = ask->scope == 0 && k >= 0 && ask->tier <= 2;
  a->energy = known && (ask->options & 2) != 0;
  a->step = known && (ask->options & 1) ? step_names : a->energy ? step_energy : step_buckets;
  a->names_cursor = 0;
  a->cursor_open = 0;
  a->waiting = 0;
  a->waiting_since = now;
  host->rows.head.rows = 0;
  return s;
}

void send_rows(Host* host, u32 s, u32 kind, const u8* rows, u32 count, u32 now) {
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  u32 bytes = count * proto::kind_row(kind);
  send_frame(host->hub, s,
             proto::encode_rows(kind, ask->tier, ask->id, mem::Bytes(rows, bytes), count, frame_room(host->hub, s)),
             now);
}

void answer_step(Host* host, u32 s, u32 now, u32 wall) {
  Answering* a = &host->answer;
  share::Share* sh = host->share;
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  if (a->step == step_names) {
    u32 n = share::read_names(sh, a->machine, a->names_cursor, host->area, 409 * 32, 409 * store::name_bytes);
    if (n == 0) {
      a->step = step_tops;
      return;
    }
    a->names_cursor += n;
    send_rows(host, s, proto::kind_names, host->area, n, now);
    return;
  }
  if (a->step == step_tops || a->step == step_energy) {
    bool tops = a->step == step_tops;
    if (!a->cursor_open) {
      if (tops) {
        share::open_top_cursor(sh, a->machine, ask->tier, ask->first, ask->last, &a->cursor);
      } else {
        share::open_energy_cursor(sh, a->machine, ask->tier, ask->first, ask->last, &a->cursor);
      }
      a->cursor_open = 1;
    }
    u32 count = 0;
    bool done = share::read_records(sh, &a->cursor, host->area, tops ? 16352 : 16384, &count, 16384);
    // Every step that read rows sends them; the last one goes out even when empty, so each asked kind appears.
    if (count != 0 || done) send_rows(host, s, tops ? proto::kind_tops : proto::kind_energy, host->area, count, now);
    if (done) {
      a->cursor_open = 0;
      a->step = tops && a->energy ? step_energy : step_buckets;
    }
    return;
  }
  if (!a->cursor_open) {
    if (ask->scope == 1) {
      share::open_cluster_reader(sh, ask->tier, ask->first, ask->last, &a->cursor, &host->rows.head);
    } else {
      share::open_reader(sh, a->machine == none ? share::machines : a->machine, ask->tier, ask->first, ask->last,
                         &a->cursor, &host->rows.head);
    }
    host->rows.head.rows = 0;
    a->cursor_open = 1;
  }
  if (!share::read_range(sh, &a->cursor, &host->rows, 16384)) return;
  bool more = !a->cursor.done;
  proto::BucketAnswer b = {ask->tier, ask->scope, {}, mem::Bytes()};
  __builtin_memcpy(b.id, ask->id, 16);
  b.buckets = mem::Bytes(reinterpret_cast<const u8*>(host->rows.rows), u64{host->rows.head.rows} * proto::bucket_size);
  send_frame(host->hub, s, proto::encode_buckets(&b, more, frame_room(host->hub, s)), now);
  host->rows.head.rows = 0;
  if (more) {
    count(&host->written.parts);
    return;
  }
  a->cursor_open = 0;
  finish_answer(host, s, now, wall);
}

}  // namespace

void answer_history(Host* host, u32 now, u32 wall) {
  u32 s = pick_answer(host, now);
  if (s == none) return;
  Answering* a = &host->answer;
  if (out_free(host->hub, s) < answer_room) {
    if (!a->waiting) {
      a->waiting = 1;
      a->waiting_since = now;
      return;
    }
    // A member that does not take its answer must not hold the others up; its answer ends here, as an answer ends,
    // so that its held-back frames run again and it is not picked a second time.
    if (now - a->waiting_since >= 20 && others_wait(host->hub, s)) {
      send_empty_final(host, s, now);
      count(&host->written.cut_short);
      a->cursor_open = 0;
      finish_answer(host, s, now, wall);
    }
    return;
  }
  a->waiting = 0;
  if (is_in(host->hub, set_closing, s)) {
    finish_answer(host, s, now, wall);
    return;
  }
  answer_step(host, s, now, wall);
}

void share_step(Host* host, u32 now, u32 wall) {
  if (host->share == nullptr || host->stop_reason != stop_none) return;
  answer_history(host, now, wall);
  u64 ms = share::now_ms(host->share);
  u32 r = share::step(host->share, now, ms, ms + 50);
  // A term still waiting for its lease, or a step with nothing to do, is no stop.
  if (r == share::refused || r == share::failed) return;
  check_stop(host, r);
}

void flush_all(Host* host) {
  if (host->share == nullptr) return;
  if (host->stop_reason == stop_none) {
    hstore::close_all(&host->hub->history);
    ptop::close_all(&host->hub->tops);
    flush_history(host, 64);
    flush_top(host, 64);
  }
  share::drop(host->share, now_units(host), hstore::yields_on(host->stop_reason));
}

// ---- The --host process.

namespace {

void standard_output(mem::Bytes bytes) { os::write_out(bytes); }

void line(mem::Bytes a, mem::Bytes b = mem::Bytes()) {
  os::write_out(a);
  os::write_out(b);
  os::write_out(mem::lit("\n"));
}

}  // namespace

u32 host_command(mem::Bytes share, mem::Bytes key_path, u32 listen, u16 port, u32 flags, const u16* version) {
  if (share.len == 0) {
    line(mem::lit("vimbrel host: no share or folder"));
    return 4;
  }
  Options o = {};
  o.listen = listen;
  o.port = port;
  o.flags = flags;
  o.web_port = web_port(port, flags);
  for (u32 i = 0; i < 3; ++i) o.version[i] = version[i];
  o.round_limit = ~u64{0};
  return main(share, key_path, &o);
}

u32 main(mem::Bytes share_path, mem::Bytes key_path, const Options* options) {
  mem::Arena arena;
  if (!mem::arena_init(&arena, arena_size() + web_arena_size(options->flags))) return 2;
  cluster::KeyWork work;
  auth::KeyState key;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(key_path, &work, &key, &verdict);
  cluster::wipe_key_buffer(&work);
  if (loaded == cluster::key_unreadable) {
    line(mem::lit("vimbrel host: no cluster key file"));
    mem::release(&arena);
    return 2;
  }
  if (loaded == cluster::key_exposed) {
    line(mem::lit("vimbrel host: the cluster key file can be read by others; allow only its owner (chmod 600)"));
    mem::release(&arena);
    return 2;
  }
  if (loaded != cluster::key_loaded) {
    line(mem::lit("vimbrel host: the cluster key file is refused: "), cluster::key_verdict_name(verdict));
    mem::release(&arena);
    return 2;
  }
  Host* host = mem::alloc_of<Host>(&arena);
  u64 start = os::clock_ms();
  if (host == nullptr || !open(host, &arena, &key, options, start)) {
    line(mem::lit("vimbrel host: cannot listen on the port"));
    if (host != nullptr) close(host);
    auth::wipe(&key, sizeof key);
    mem::release(&arena);
    return 3;
  }
  auth::wipe(&key, sizeof key);
  host->writer = standard_output;
  u32 address = share_address(share_path, options->listen);
  if (address == 0) {
    line(mem::lit("vimbrel host: cannot tell this machine's address toward the share; publishers need --listen "
                  "<ipv4>"));
  }
  if (host->web != nullptr) {
    u8 digits[fmt::dec_size];
    line(mem::lit("vimbrel host: web dashboard on port "), fmt::dec(host->web->port, digits));
  }
  u32 refused = register_share(host, &arena, share_path, address, start);
  if (refused != stop_none) {
    stop(host, refused);
  } else {
    host->stop_event = kobj::create_quit_event();
    kobj::stop_on_signals(host->stop_event);
    run(host, options->round_limit);
    kobj::close(host->stop_event);
    host->stop_event = 0;
    close(host);
  }
  u32 reason = host->stop_reason;
  u32 code = hstore::exit_of(reason);
  if (code != 0) {
    line(code == 5 ? mem::lit("vimbrel host: cannot serve: ") : mem::lit("vimbrel host: stepped down: "),
         hstore::stop_word(reason));
  }
  mem::release(&arena);
  return code;
}

}  // namespace hub
