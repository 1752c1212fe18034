#include "cluster/publish.h"

#include "base/bits.h"

namespace publish {

namespace {

// The target changed: back to waiting (or stopped) with a fresh connection.
void leave(PublishLink* link) {
  link->state = link->state == stopped ? stopped : waiting;
  restart(link);
}

}  // namespace

void init(PublishLink* link, const auth::KeyState* key, const u8* id, u32 id_length, u8 role) {
  __builtin_memset(link, 0, sizeof *link);
  link->role = role;
  link->hello_flags = start_flags;
  link->opened_at = never;
  link->procs_full = 1;
  u32 n = id_length < proto::id_size ? id_length : proto::id_size;
  if (id != nullptr) __builtin_memcpy(link->machine_id, id, n);
  peer::init(&link->peer, key);
}

void restart(PublishLink* link) {
  link->in_used = 0;
  link->out_used = 0;
  link->inventory_sent = 0;
  link->procs_full = 1;
  link->last_procs.count = 0;
  link->opened_at = never;
}

void fixed(PublishLink* link, u32 address, u16 port, u64 now) {
  restart(link);
  aim_fixed(link, address, port, now);
}

void share(PublishLink* link, u64 now) {
  restart(link);
  link->target_kind = target_share;
  link->state = waiting;
  link->target_address = 0;
  link->target_port = 0;
  link->term = 0;
  link->lease_term = 0;
  link->lease_counter = 0;
  link->preferred_address = 0;
  link->preferred_port = 0;
  link->lease_address = 0;
  link->lease_port = 0;
  link->lease_older = 0;
  link->at_preferred = 0;
  link->preferred_failures = 0;
  link->backoff = 0;
  link->last_lease = now;
  link->next_try = now;
  link->lease_wanted = 1;
  link->status = cluster::status_no_lease;
}

void prefer(PublishLink* link, u32 address, u16 port, u64 now) {
  link->at_preferred = link->target_kind == target_share && port != 0;
  link->preferred_failures = 0;
  link->preferred_address = address;
  link->preferred_port = port;
  if (link->at_preferred) {
    link->target_address = address;
    link->target_port = port;
    link->next_try = now;
    link->status = cluster::status_waiting;
  }
}

void fall_back(PublishLink* link, u64 now) {
  link->at_preferred = 0;
  link->preferred_failures = 0;
  link->target_address = link->lease_address;
  link->target_port = link->lease_port;
  link->backoff = 0;
  link->next_try = now;
  link->lease_wanted = 1;
}

void stop(PublishLink* link) {
  restart(link);
  link->state = stopped;
  link->target_kind = target_none;
  link->status = cluster::status_waiting;
}

bool due(const PublishLink* link, u64 now) { return dial_due(link, now); }

bool linked(const PublishLink* link) { return link->state >= connecting; }
bool ready(const PublishLink* link) { return link->state == open; }

void dialing(PublishLink* link, u64 now) {
  restart(link);
  link->state = connecting;
  link->state_since = now;
  ++link->dials;
}

u32 next_backoff(u32 last) {
  if (last == 0) return 1000;
  return last >= backoff_max / 2 ? backoff_max : 2 * last;
}

u32 jittered(u32 delay, u32 random) {
  u32 quarter = delay / 4;
  return delay - quarter + random % (2 * quarter + 1);
}

u32 new_host_delay(u32 random) { return random % 501; }

bool stable(u64 opened_at, u64 now) { return opened_at != never && now >= opened_at && now - opened_at >= stable_ms; }

bool expired(u8 state, u64 since, u64 now) {
  return state >= connecting && state <= proof_sent && now >= since && now - since >= handshake_ms;
}

bool takes_term(u8 target_kind, u32 term, u32 known) { return target_kind != target_share || term >= known; }

bool new_target(u32 address, u16 port, u32 new_address, u16 new_port, bool forced) {
  return forced || address != new_address || port != new_port;
}

u32 lease_use(bool above, u32 lease_term, u32 term, u32 address, u16 port, bool no_address) {
  if (!above) return lease_ignore;
  if (lease_term < term) return lease_older_term;
  if (!no_address && port != 0 && address == 0) return lease_no_address;
  return lease_use_host;
}

bool share_caches(u8 target_kind, u8 state, u8 lease_older, u64 last_lease, u64 opened_at, u64 now) {
  if (target_kind != target_share) return false;
  if (lease_older) return true;
  if (state != open) return false;
  u64 since = bits::max64(last_lease, opened_at);
  return since <= ~0ull - caching_ms && now >= since + caching_ms;
}

bool at_local(const PublishLink* link) {
  return link->preferred_port != 0 && link->target_address == link->preferred_address &&
         link->target_port == link->preferred_port;
}

bool caching(const PublishLink* link, u64 now) {
  return !at_local(link) && share_caches(link->target_kind, link->state, link->lease_older, link->last_lease,
                                         link->opened_at, now);
}

void view(const PublishLink* link, u64 now, cluster::LinkView* out) {
  *out = cluster::LinkView{};
  out->phase = link->state;
  out->status = link->status;
  out->reason = link->refuse_reason;
  out->own_host = at_local(link) ? 1 : 0;
  out->caches = caching(link, now) ? 1 : 0;
  out->port = link->target_port;
  out->address = link->target_address;
  out->term = link->term;
  out->next_try = link->next_try;
}

void failed(PublishLink* link, u64 now, u32 random, u8 status) {
  bool counted = link->at_preferred && link->state >= connecting && link->state <= proof_sent;
  u32 tries = link->preferred_failures + (counted ? 1u : 0u);
  link->preferred_failures = static_cast<u8>(tries < preferred_tries ? tries : preferred_tries);
  // A moved frame arrives before the host has proved the key, so anyone who can answer on the preferred address
  // could send one: it counts as one ordinary failure and never makes the link leave its preferred host at once.
  bool back = counted && link->preferred_failures >= preferred_tries;
  back_off(link, now, random, status);
  leave(link);
  if (back) fall_back(link, now);
}

bool connected(PublishLink* link, const u8* nonce, u32 nonce_length, bool nonce_ok, u64 now) {
  proto::Hello hello = {};
  hello.role = link->role;
  hello.flags = link->hello_flags;
  __builtin_memcpy(hello.id, link->machine_id, proto::id_size);
  return queue_hello(link, &hello, nonce, nonce_length, nonce_ok, send_room, now);
}

LeaseJudgement judge_lease(bool readable, const cluster::Heard* record, u32 lease_term, u32 lease_counter, u32 term,
                           u32 target_address, u16 target_port) {
  LeaseJudgement j = {};
  u64 kept = (static_cast<u64>(lease_term) << 32) | lease_counter;
  u64 offered = (static_cast<u64>(record->term) << 32) | record->counter;
  // Bit 0 marks the last lease of an orderly give-up: it names no host to dial.
  bool released = (record->flags & proto::lease_released) != 0;
  j.verdict = lease_use(readable && offered > kept, record->term, term, record->address, record->port, released);
  if (j.verdict == lease_ignore || j.verdict == lease_older_term) return j;
  bool forced = record->term > bits::max32(lease_term, term);
  bool none = released || j.verdict == lease_no_address;
  j.address = none ? 0 : record->address;
  j.port = none ? 0 : record->port;
  j.keep = j.verdict == lease_no_address && record->term == term && target_port != 0;
  j.changed = !j.keep && new_target(target_address, target_port, j.address, j.port, forced);
  if (j.port != 0) {
    j.status = cluster::status_new_host;
  } else {
    j.status = j.verdict == lease_no_address ? cluster::status_no_address : cluster::status_no_lease;
  }
  return j;
}

u8 refusal(mem::Bytes frame, u16* reason) {
  *reason = 0;
  if (proto::frame_kind(frame) == proto::kind_refuse && proto::decode_refuse(frame, reason) == proto::ok) {
    return cluster::status_refused;
  }
  *reason = 0;
  return cluster::status_bad_frame;
}

bool lease(PublishLink* link, bool readable, const cluster::Heard* record, u64 now, u32 random) {
  link->lease_wanted = 0;
  if (link->target_kind != target_share) return false;
  LeaseJudgement j = judge_lease(readable, record, link->lease_term, link->lease_counter, link->term,
                                 link->target_address, link->target_port);
  if (j.verdict == lease_older_term) link->lease_older = 1;
  if (j.verdict == lease_use_host || j.verdict == lease_no_address) link->lease_older = 0;
  if (j.verdict == lease_ignore || j.verdict == lease_older_term) return false;
  link->lease_term = record->term;
  link->lease_counter = record->counter;
  link->last_lease = now;
  if (!j.keep) {
    link->lease_address = j.address;
    link->lease_port = j.port;
  }
  if (!j.changed || link->at_preferred) return false;
  bool was_linked = move_target(link, &j, now, random);
  leave(link);
  return was_linked;
}

mem::Bytes out_data(const PublishLink* link) { return mem::Bytes(link->out, link->out_used); }

void sent(PublishLink* link, u64 n) { drop_sent(link, n); }

mem::Slice in_room(PublishLink* link) { return mem::Slice{link->in + link->in_used, receive_room - link->in_used}; }

bool refused(PublishLink* link, mem::Bytes frame) {
  link->status = refusal(frame, &link->refuse_reason);
  if (link->status == cluster::status_refused) ++link->refusals;
  return false;
}

bool on_hello(PublishLink* link, mem::Bytes frame) {
  u32 kind = proto::frame_kind(frame);
  if (kind == proto::kind_reply) return take_reply(link, frame, send_room);
  proto::Moved moved;
  if (kind == proto::kind_moved && proto::decode_moved(frame, &moved) == proto::ok) {
    // Kept for the status only: an unauthenticated frame never chooses where the link dials.
    link->moved_address = moved.address;
    link->moved_term = moved.term;
    link->moved_port = moved.port;
    ++link->moves;
    link->lease_wanted = link->target_kind == target_share;
    link->status = cluster::status_moved;
    return false;
  }
  return refused(link, frame);
}

bool on_proof(PublishLink* link, mem::Bytes frame, u64 now) {
  if (proto::frame_kind(frame) != proto::kind_accept) return refused(link, frame);
  if (!take_accept(link, frame, now)) return false;
  link->temps_sent = 0;
  link->preferred_failures = 0;
  return true;
}

bool on_open(PublishLink* link, mem::Bytes frame) {
  if (!peer::opened(&link->peer, frame)) {
    link->status = cluster::status_host_proof;
    return false;
  }
  mem::Bytes bare(frame.ptr, frame.len - proto::tag_size);
  u32 kind = proto::frame_kind(bare);
  if (kind == proto::kind_ping) return true;
  if (kind == proto::kind_update_now) {
    u8 id[proto::id_size];
    bool mine = proto::decode_bytes(bare, kind, mem::Slice{id, sizeof id}) == proto::ok &&
                mem::eq(mem::Bytes(id, sizeof id), mem::Bytes(link->machine_id, sizeof id)) &&
                (link->hello_flags & proto::hello_update_orders) != 0;
    if (!mine) {
      link->status = cluster::status_bad_frame;
      return false;
    }
    link->update_now = 1;
    return true;
  }
  return refused(link, bare);
}

bool fits_in(const PublishLink*, u32 length) { return length >= 1 && length <= receive_room; }

bool received(PublishLink* link, u32 n, u64 now) {
  const Handlers<PublishLink> handlers = {on_hello, on_proof, on_open, nullptr, fits_in};
  return scan_frames(link, link->in, receive_room, n, now, &handlers);
}

mem::Slice stage(PublishLink* link) {
  u32 from = link->out_used < stage_end ? link->out_used : stage_end;
  return mem::Slice{link->out + from, stage_end - from};
}

bool commit(PublishLink* link, u32 n, u64 now) {
  if (!seal_staged(link, send_room, n, now)) return false;
  ++link->frames;
  return true;
}

void set_caps(PublishLink* link, u8 flags) { link->hello_flags = flags; }

bool inventory(PublishLink* link, const proto::Inventory* inventory, u64 now) {
  if (!ready(link)) return false;
  mem::Bytes fresh(reinterpret_cast<const u8*>(inventory), sizeof *inventory);
  mem::Bytes kept(reinterpret_cast<const u8*>(&link->last_inventory), sizeof link->last_inventory);
  if (link->inventory_sent && mem::eq(fresh, kept)) return false;
  // An inventory that does not fit now is tried again at the next call: neither counted nor kept.
  u32 n = proto::encode_inventory(inventory, stage(link));
  if (n == 0) return false;
  if (!commit(link, n, now)) return false;
  link->last_inventory = *inventory;
  link->inventory_sent = 1;
  return true;
}

bool sample(PublishLink* link, const u8* row, u64 now) {
  if (!ready(link) || !link->inventory_sent) return false;
  return commit(link, proto::encode_sample(row, stage(link)), now);
}

bool temps(PublishLink* link, const u8* block, u64 now) {
  if (!ready(link) || !link->inventory_sent) return false;
  const u16* v = link->peer.host_version;
  if (!proto::knows_temps(v[0], v[1], v[2])) return false;
  u32 sequence = proto::get32(mem::Bytes(block, proto::temps_block_size), 0);
  if (sequence == 0 || (link->temps_sent && sequence == link->last_temps_sequence)) return false;
  if (!commit(link, proto::encode_temps(block, stage(link)), now)) return false;
  link->temps_sent = 1;
  link->last_temps_sequence = sequence;
  return true;
}

bool procs(PublishLink* link, const proto::ProcRecord* record, u64 now) {
  if (!ready(link) || !link->inventory_sent) return false;
  u32 n = proto::encode_procs(record, &link->last_procs, link->procs_full, stage(link));
  // A dropped frame leaves the kept record alone, so the next one carries the changes against what went out.
  if (!commit(link, n, now)) return false;
  link->last_procs = *record;
  link->procs_full = 0;
  return true;
}

bool update_state(PublishLink* link, u8 phase, u8 value, u64 now) {
  if (!ready(link)) return false;
  return commit(link, proto::encode_update_state(phase, value, stage(link)), now);
}

bool idle(PublishLink* link, u64 now) {
  if (!ready(link) || now < link->last_send || now - link->last_send < idle_ms) return false;
  return commit(link, proto::encode_ping(stage(link)), now);
}

u32 wait_ms(const PublishLink* link, u64 now) { return dial_wait(link, now); }

}  // namespace publish
