#include "host/elect.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "history/hstore.h"
#include "history/shareprobe.h"
#include "host/hubshare.h"

namespace elect {

namespace {

bool same_id(const u8* a, const u8* b) {
  for (u32 i = 0; i < 16; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

void copy(void* to, const void* from, u64 n) { __builtin_memcpy(to, from, n); }

// The row of an id in a table of at most 64: its own, else a new one, else the one with the oldest time (the first
// of equals). A row that is new or taken over still holds another id; the caller stores the id.
u32 row_of(u8 (*ids)[16], u32* count, const u32* times, const u8* id) {
  for (u32 i = 0; i < *count; ++i) {
    if (same_id(ids[i], id)) return i;
  }
  if (*count < rows) return (*count)++;
  u32 at = 0;
  for (u32 i = 1; i < rows; ++i) {
    if (times[i] < times[at]) at = i;
  }
  return at;
}

u32 u32_at(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }

// a - b for times in units that may lie before the start (0): never below 0.
u32 since(u32 now, u32 then) { return now >= then ? now - then : 0; }

void say(const Election* e, mem::Bytes text) { e->writer(text); }
void say_dec(const Election* e, u64 value) {
  u8 digits[fmt::dec_size];
  e->writer(fmt::dec(value, digits));
}
void say_address(const Election* e, u32 address) {
  for (u32 i = 0; i < 4; ++i) {
    if (i != 0) say(e, mem::lit("."));
    say_dec(e, (address >> (24 - 8 * i)) & 0xFF);
  }
}

void standard_output(mem::Bytes bytes) { os::write_out(bytes); }

void line(mem::Bytes a, mem::Bytes b = mem::Bytes()) {
  os::write_out(a);
  os::write_line(b);
}

store::Path under(const Election* e, mem::Bytes name) {
  store::Path p = e->share;
  store::path_join(&p, name);
  return p;
}

bool read_record(const store::Path& p, u8* buffer, u32 size) {
  u64 n = 0;
  return !p.overflow && fs::io_read_uncached(store::path_of(&p), mem::Slice{buffer, size}, &n) == fs::io_ok &&
         n == size;
}

bool write_record(const store::Path& p, mem::Bytes bytes) {
  if (p.overflow) return false;
  u64 file = 0;
  if (fs::io_open_rw(store::path_of(&p), 0, &file) != fs::io_ok) return false;
  bool ok = fs::io_write_at(file, 0, bytes) == fs::io_ok;
  fs::io_close(&file);
  return ok;
}

void close_socket(sock::Socket* s) {
  if (*s != sock::invalid_socket) sock::close(*s);
  *s = sock::invalid_socket;
}

// Larger (term, counter) pairs are newer; the term decides first.
bool newer(u32 term, u32 counter, const Seen* seen) {
  return term > seen->term || (term == seen->term && counter > seen->counter);
}

void raise_highest(Election* e, u32 term) {
  if (term > e->highest) e->highest = term;
}

void release_host_arena(Election* e) {
  if (e->reserved) mem::release(&e->arena);
  e->reserved = 0;
  e->hosting = nullptr;
  e->share_state = nullptr;
  e->table = nullptr;
}

void close_all_links(Election* e) {
  for (u32 i = 0; i < links; ++i) {
    if (bits::word_test(e->links.in_use, i)) close_link(&e->links, i);
  }
  close_socket(&e->probe.socket);
  e->probe.state = probe_idle;
}

}  // namespace

u64 host_arena_size() {
  // What the fixed host carves (host, hub, share and the services of its round), and the candidate table.
  return hub::arena_size() + ((sizeof(CandidateTable) + 63) & ~u64{63});
}

// ---- Records.

bool seal_member(const auth::KeyState* key, const proto::Member* member, mem::Slice out) {
  return proto::encode_member(member, out) == proto::record_size && auth::seal(key, mem::Slice{out.ptr, 64});
}

bool open_member(const auth::KeyState* key, mem::Bytes record, proto::Member* out) {
  return record.len == proto::record_size && auth::sealed(key, record) &&
         proto::decode_member(record, out) == proto::ok;
}

bool seal_beacon(const auth::KeyState* key, const proto::Beacon* beacon, mem::Slice out) {
  return proto::encode_beacon(beacon, out) == proto::record_size && auth::seal(key, mem::Slice{out.ptr, 64});
}

bool open_beacon(const auth::KeyState* key, mem::Bytes record, cluster::Heard* out) {
  return cluster::take_beacon(record, key, out);
}

bool seal_roster(const auth::KeyState* key, const proto::Roster* roster, mem::Slice out) {
  return proto::encode_roster(roster, out) == proto::roster_size &&
         auth::seal(key, mem::Slice{out.ptr, proto::roster_size});
}

bool open_roster(const auth::KeyState* key, mem::Bytes record, proto::Roster* out) {
  return record.len == proto::roster_size && auth::sealed(key, record) &&
         proto::decode_roster(record, out) == proto::ok;
}

// ---- Probe frames.

u32 encode_probe(const u8* nonce, const u8* prober, mem::Slice out) {
  proto::Probe p;
  copy(p.first, nonce, 16);
  copy(p.second, prober, 16);
  return proto::encode_probe(&p, out);
}

u32 answer_probe(const auth::KeyState* key, mem::Bytes frame, const u8* challenge, const u8* own_id, u8* prober,
                 mem::Slice out) {
  proto::Probe p;
  if (proto::decode_probe(frame, &p) != proto::ok) return 0;
  copy(prober, p.second, 16);
  proto::ProbeReply r;
  copy(r.first, challenge, 16);
  copy(r.second, own_id, 16);
  auth::reply_tag(key, mem::Bytes(p.first, 16), mem::Bytes(p.second, 16), mem::Bytes(own_id, 16),
                  mem::Bytes(challenge, 16), r.tag);
  return proto::encode_probe_reply(&r, out);
}

bool check_probe_reply(const auth::KeyState* key, mem::Bytes frame, const u8* nonce, const u8* own_id,
                       const u8* target, u32* term, u8* challenge) {
  proto::ProbeReply r;
  if (proto::decode_probe_reply(frame, &r) != proto::ok) return false;
  if (same_id(r.second, own_id) || !same_id(r.second, target)) return false;
  if (!auth::reply_ok(key, mem::Bytes(nonce, 16), mem::Bytes(own_id, 16), mem::Bytes(r.second, 16),
                      mem::Bytes(r.first, 16), mem::Bytes(r.tag, 16))) {
    return false;
  }
  *term = u32_at(r.first + 12);
  copy(challenge, r.first, 16);
  return true;
}

u32 proof_frame(const auth::KeyState* key, const u8* challenge, const u8* responder, const u8* prober,
                mem::Slice out) {
  u8 tag[16];
  auth::proof_tag(key, mem::Bytes(challenge, 16), mem::Bytes(responder, 16), mem::Bytes(prober, 16), tag);
  return proto::encode_bytes(proto::kind_probe_proof, mem::Bytes(tag, 16), out);
}

bool check_proof(const auth::KeyState* key, mem::Bytes frame, const u8* challenge, const u8* own_id,
                 const u8* prober) {
  u8 tag[16];
  if (proto::decode_bytes(frame, proto::kind_probe_proof, mem::Slice{tag, 16}) != proto::ok) return false;
  return auth::proof_ok(key, mem::Bytes(challenge, 16), mem::Bytes(own_id, 16), mem::Bytes(prober, 16), mem::Bytes(tag, 16));
}

// ---- Ranks.

u32 priority_rank(u32 priority) { return (255 - bits::min32(priority, 255)) >> 5; }

u32 stand_rank(bool yielded_lately, bool roster_known, u32 position, u32 count, u32 priority) {
  if (yielded_lately) return 9;
  if (roster_known && count != 0) return bits::min32(bits::min32(position, count), 8);
  return priority_rank(priority);
}

u32 rank_now(const Election* e) {
  bool recent = e->yielded && since(e->now, e->yield_time) < recent_yield;
  u32 position = e->roster.count;
  for (u32 i = 0; i < e->roster.count && i < proto::roster_rows; ++i) {
    if (same_id(e->roster.rows[i].id, e->id)) {
      position = i;
      break;
    }
  }
  return stand_rank(recent, e->roster_read != 0, position, e->roster.count, e->config.priority);
}

// ---- Addresses.

u32 server_address(mem::Bytes server) {
  u64 literal = cluster::parse_ipv4(server);
  u32 address = literal != 0 ? static_cast<u32>(literal) : sock::udp_resolve(server);
  return address == 0 ? 0 : sock::udp_local_address_toward(address);
}

u32 find_address(const Election* e) {
  if (e->config.announce != 0) return e->config.announce;
  mem::Bytes path = store::path_of(&e->share);
  u32 end = store::unc_server_end(path);
  if (end != 0) return server_address(mem::Bytes(path.ptr + 2, end - 2));
  return hub::share_address(path, 0);
}

// ---- Records on the share.

void write_member(Election* e) {
  proto::Member m = {};
  u32 now = e->now;
  m.flags = static_cast<u16>((e->address != 0 ? member_announces : 0) |
                             (e->ever_probed && since(now, e->good_probe) < live_window ? member_reaches_host : 0) |
                             (e->ever_beacon && since(now, e->last_beacon) < beacon_fresh ? member_heard_beacon : 0) |
                             (e->yielded && since(now, e->yield_time) < recent_yield ? member_yielded : 0));
  m.term = e->highest;
  m.sequence = ++e->member_sequence;
  m.priority = e->config.priority;
  m.port = e->config.port;
  m.address = e->address;
  m.reach = static_cast<u16>(reach_count(&e->links.reach, now));
  copy(m.id, e->id, 16);
  u8 b[64];
  if (!seal_member(&e->key, &m, mem::Slice{b, 64})) return;
  store::Path p = under(e, mem::lit("members"));
  store::path_id(&p, e->id);
  write_record(p, mem::Bytes(b, 64));
}

void read_roster(Election* e, u32 term) {
  store::Path p = under(e, mem::lit("terms"));
  store::path_term(&p, term);
  store::path_join(&p, mem::lit("roster"));
  alignas(8) u8 b[proto::roster_size];
  proto::Roster r;
  if (!read_record(p, b, sizeof b) || !open_roster(&e->key, mem::Bytes(b, sizeof b), &r)) {
    ++e->counters.rosters_absent;
    return;
  }
  if (e->roster_read && (r.term < e->roster.term || (r.term == e->roster.term && r.sequence <= e->roster.sequence))) {
    return;
  }
  e->roster = r;
  e->roster_read = 1;
}

bool read_member(const Election* e, const u8* id, u32* address, u16* port) {
  store::Path p = under(e, mem::lit("members"));
  store::path_id(&p, id);
  u8 b[64];
  proto::Member m;
  if (!read_record(p, b, 64) || !open_member(&e->key, mem::Bytes(b, 64), &m) || !same_id(m.id, id)) return false;
  *address = m.address;
  *port = m.port;
  return m.address != 0 && m.port != 0;
}

u32 count_claims(Election* e, proto::Lease* claim) {
  // A name alone proves nothing: only a claim whose seal checks counts, so a stray file named like a high term
  // cannot hold the election back. The newest few names are tried from the top.
  u32 terms[claims_kept];
  return share::newest_claim(store::path_of(&e->share), &e->key, &e->listing, terms, claims_kept, claim, nullptr);
}

void latest_claimant(Election* e) {
  proto::Lease claim;
  u32 b = count_claims(e, &claim);
  if (b != 0 && b > e->host.term) {
    e->target_term = b;
    e->target_address = claim.address;
    e->target_port = claim.port;
    copy(e->target_id, claim.host_id, 16);
    return;
  }
  bool reachable = e->host_known && !e->released;
  e->target_term = e->seen.term;
  e->target_address = reachable ? e->host.address : 0;
  e->target_port = reachable ? e->host.port : 0;
  copy(e->target_id, e->host.host_id, 16);
}

// ---- Reach list.

void note_reach(ReachList* list, const u8* id, u32 now) {
  u32 at = row_of(list->ids, &list->count, list->time, id);
  copy(list->ids[at], id, 16);
  list->time[at] = now;
}

u32 reach_count(const ReachList* list, u32 now) {
  u32 n = 0;
  for (u32 i = 0; i < list->count; ++i) n += since(now, list->time[i]) < reach_window ? 1 : 0;
  return bits::min32(n, 63);
}

// ---- Outgoing probe.

void reach_step(Election* e) {
  u32 now = e->now;
  e->probe_due = now + probe_period;
  u32 t = e->reach_round++;
  bool host_round = (t % 2) == 0 || e->check_pending;
  u32 address = 0;
  u16 port = 0;
  u8 target[16];
  if (host_round) {
    if (e->check_pending) {
      address = e->target_address;
      port = e->target_port;
      copy(target, e->target_id, 16);
    } else {
      bool reachable = e->host_known && !e->released;
      address = reachable ? e->host.address : 0;
      port = reachable ? e->host.port : 0;
      copy(target, e->host.host_id, 16);
    }
    if (address == 0 || port == 0 || same_id(target, e->id)) {
      if (e->check_pending) {
        e->check_pending = 0;
        e->ready = 1;
      }
      return;
    }
  } else {
    if ((e->ever_probed && since(now, e->good_probe) < live_window) || !e->roster_read || e->roster.count == 0) {
      return;
    }
    const proto::RosterRow* row = &e->roster.rows[(t / 2) % e->roster.count];
    if (same_id(row->id, e->id) || (e->host_known && same_id(row->id, e->host.host_id))) return;
    if (!read_member(e, row->id, &address, &port)) return;
    copy(target, row->id, 16);
  }
  ProbeLink* p = &e->probe;
  if (e->random(mem::Slice{p->nonce, 16}) == 0 || sock::connect(address, port, &p->socket) != sock::done) {
    p->socket = sock::invalid_socket;
    ++e->counters.probe_failures;
    if (e->check_pending) {
      e->check_pending = 0;
      e->ready = 1;
    }
    return;
  }
  ++e->counters.probes;
  copy(p->target, target, 16);
  p->host_round = host_round ? 1 : 0;
  p->state = probe_connecting;
  p->started = now;
  p->received = 0;
}

void drop_host_link(Election* e, bool ok, u32 term) {
  ProbeLink* p = &e->probe;
  close_socket(&p->socket);
  p->state = probe_idle;
  if (!ok) ++e->counters.probe_failures;
  if (!p->host_round) return;
  if (ok) {
    e->good_probe = e->now;
    e->ever_probed = 1;
  }
  u32 probed = e->check_pending ? e->target_term : e->seen.term;
  bool seen = ok && term != 0 && term >= probed;
  if (seen) {
    if (probed > e->seen.term || (probed == e->seen.term && e->seen.counter == 0)) {
      if (probed > e->seen.term) e->seen.counter = 0;
      e->seen.term = probed;
    }
    e->seen.time = e->now;
    e->seen.changed = 1;
    e->released = 0;
    raise_highest(e, term);
  }
  if (e->check_pending) {
    e->check_pending = 0;
    e->ready = seen ? 0 : 1;
    if (seen) e->standing = 0;
  }
}

void peer_io(Election* e, u16 returned) {
  ProbeLink* p = &e->probe;
  if (p->state == probe_idle) return;
  if (since(e->now, p->started) >= link_limit) return drop_host_link(e, false, 0);
  if (returned == 0) return;
  if (p->state == probe_connecting) return dial_host(e);
  host_link_io(e);
}

void dial_host(Election* e) {
  ProbeLink* p = &e->probe;
  u32 r = sock::connect_done(p->socket);
  if (r == 1) return;
  if (r != 0) return drop_host_link(e, false, 0);
  u8 frame[64];
  u32 n = encode_probe(p->nonce, e->id, mem::Slice{frame, sizeof frame});
  u64 sent = 0;
  if (n == 0 || sock::send(p->socket, mem::Bytes(frame, n), &sent) != sock::done || sent != n) {
    return drop_host_link(e, false, 0);
  }
  p->state = probe_sent;
}

void host_link_io(Election* e) {
  ProbeLink* p = &e->probe;
  u64 n = 0;
  u32 r = sock::recv(p->socket, mem::Slice{p->in + p->received, 64 - p->received}, &n);
  if (r == sock::would_block) return;
  if (r != sock::done) return drop_host_link(e, false, 0);
  p->received += static_cast<u32>(n);
  if (p->received < 64) return;
  u32 term = 0;
  u8 challenge[16];
  if (!check_probe_reply(&e->key, mem::Bytes(p->in, 64), p->nonce, e->id, p->target, &term, challenge)) {
    return drop_host_link(e, false, 0);
  }
  u8 proof[32];
  u32 length = proof_frame(&e->key, challenge, p->target, e->id, mem::Slice{proof, sizeof proof});
  u64 sent = 0;
  sock::send(p->socket, mem::Bytes(proof, length), &sent);
  drop_host_link(e, true, term);
}

// ---- Incoming links.

void close_link(Links* l, u32 i) {
  close_socket(&l->sockets[i]);
  l->in_use = bits::word_put(l->in_use, i, 0);
  l->answered = bits::word_put(l->answered, i, 0);
  l->closing = bits::word_put(l->closing, i, 0);
  l->received[i] = 0;
  l->waiting[i] = 0;
}

void accept_links(Election* e) {
  Links* l = &e->links;
  for (;;) {
    sock::Socket s = sock::invalid_socket;
    u32 peer = 0;
    if (sock::accept(e->listener, &s, &peer) != sock::done) return;
    u32 i = 0;
    while (i < links && bits::word_test(l->in_use, i)) ++i;
    if (i == links || e->random(mem::Slice{l->challenge[i], 16}) == 0) {
      sock::close(s);
      continue;
    }
    for (u32 k = 12; k < 16; ++k) l->challenge[i][k] = 0;
    l->sockets[i] = s;
    l->in_use = bits::word_put(l->in_use, i, 1);
    l->accepted[i] = e->now;
    l->received[i] = 0;
    l->waiting[i] = 0;
  }
}

void queue(Links* l, u32 i, u32 length) {
  l->waiting[i] = length;
}

void take_link_frames(Election* e, u32 i) {
  Links* l = &e->links;
  mem::Bytes got(l->in[i], l->received[i]);
  if (got.len < proto::header_size) return;
  u32 n = proto::frame_len(got);
  u32 kind = n != 0 ? proto::frame_kind(got) : 0;
  bool answered = bits::word_test(l->answered, i) != 0;
  bool expected = answered ? kind == proto::kind_probe_proof
                           : kind == proto::kind_probe || kind == proto::kind_hello;
  if (n == 0 || n > 64 || !expected) {
    ++l->refused;
    return close_link(l, i);
  }
  if (got.len < n) return;
  mem::Bytes frame(l->in[i], n);
  if (kind == proto::kind_hello) {
    proto::Moved moved = {l->host_term, l->host_address, l->host_port};
    queue(l, i, proto::encode_moved(&moved, mem::Slice{l->out[i], 64}));
    ++l->moved_sent;
    l->closing = bits::word_put(l->closing, i, 1);
  } else if (kind == proto::kind_probe) {
    u32 length = answer_probe(&l->key, frame, l->challenge[i], l->id, l->prober[i], mem::Slice{l->out[i], 64});
    if (length == 0) {
      ++l->refused;
      return close_link(l, i);
    }
    queue(l, i, length);
    ++l->probes_answered;
    l->answered = bits::word_put(l->answered, i, 1);
  } else {
    if (check_proof(&l->key, frame, l->challenge[i], l->id, l->prober[i])) {
      note_reach(&l->reach, l->prober[i], e->now);
      ++l->proofs_accepted;
    } else {
      ++l->refused;
    }
    return close_link(l, i);
  }
  l->received[i] = 0;
}

void read_link(Election* e, u32 i) {
  Links* l = &e->links;
  u64 n = 0;
  u32 r = sock::recv(l->sockets[i], mem::Slice{l->in[i] + l->received[i], 64 - l->received[i]}, &n);
  if (r == sock::would_block) return;
  if (r != sock::done) return close_link(l, i);
  l->received[i] += static_cast<u32>(n);
  take_link_frames(e, i);
}

void serve_links(Election* e) {
  Links* l = &e->links;
  for (u32 i = 0; i < links; ++i) {
    if (!bits::word_test(l->in_use, i)) continue;
    if (l->waiting[i] != 0) {
      u64 sent = 0;
      u32 r = sock::send(l->sockets[i], mem::Bytes(l->out[i], l->waiting[i]), &sent);
      if (r == sock::failed || r == sock::closed) {
        close_link(l, i);
        continue;
      }
      if (r == sock::done && sent != 0) {
        for (u32 k = static_cast<u32>(sent); k < l->waiting[i]; ++k) l->out[i][k - sent] = l->out[i][k];
        l->waiting[i] -= static_cast<u32>(sent);
      }
    }
    bool done_sending = bits::word_test(l->closing, i) && l->waiting[i] == 0;
    if (done_sending || since(e->now, l->accepted[i]) >= link_limit) close_link(l, i);
  }
}

// ---- Candidate.

void note_host(Election* e, const cluster::Heard* heard) {
  raise_highest(e, heard->term);
  if (!newer(heard->term, heard->counter, &e->seen)) return;
  e->seen.term = heard->term;
  e->seen.counter = heard->counter;
  e->seen.time = e->now;
  e->seen.changed = 1;
  e->host = *heard;
  e->host_known = 1;
  e->released = (heard->flags & proto::lease_released) ? 1 : 0;
  if (e->released) read_roster(e, heard->term);
  e->links.host_term = heard->term;
  e->links.host_address = e->released ? 0 : heard->address;
  e->links.host_port = e->released ? 0 : heard->port;
  bool changed = heard->term != e->printed_term || heard->address != e->printed_address;
  if (changed && !e->released && e->role == 0 && !same_id(heard->host_id, e->id)) {
    e->printed_term = heard->term;
    e->printed_address = heard->address;
    say(e, mem::lit("vimbrel host: candidate, priority "));
    say_dec(e, e->config.priority);
    say(e, mem::lit("; the host is "));
    say_address(e, heard->address);
    say(e, mem::lit(":"));
    say_dec(e, heard->port);
    say(e, mem::lit(", term "));
    say_dec(e, heard->term);
    say(e, mem::lit("\n"));
  }
}

bool no_host(const Election* e) { return e->released || e->now >= e->seen.time + host_missing; }

u32 take_beacons(Election* e) {
  u32 stop = 0;
  for (u32 i = 0; i < 16 && e->udp != sock::invalid_socket; ++i) {
    u8 datagram[128];
    u64 length = 0;
    u32 sender = 0;
    if (sock::udp_recv_from(e->udp, mem::Slice{datagram, sizeof datagram}, &length, &sender) != sock::done) break;
    cluster::Heard heard;
    proto::Beacon beacon;
    bool valid = length == proto::record_size && auth::sealed(&e->key, mem::Bytes(datagram, 64)) &&
                 proto::decode_beacon(mem::Bytes(datagram, 64), &beacon) == proto::ok &&
                 open_beacon(&e->key, mem::Bytes(datagram, 64), &heard);
    if (!valid) {
      ++e->counters.beacons_refused;
      continue;
    }
    raise_highest(e, heard.term);
    if (e->role == 1 && e->hosting != nullptr && heard.term > e->hosting->hub->term) stop = 1;
    if (heard.term < e->seen.term || (heard.term == e->seen.term && heard.counter < e->seen.counter)) continue;
    ++e->counters.beacons_accepted;
    e->last_beacon = e->now;
    e->ever_beacon = 1;
    if (e->role == 0) note_host(e, &heard);
  }
  return stop;
}

void lease_step(Election* e) {
  e->lease_due = e->now + lease_period;
  store::Path p = under(e, mem::lit("lease"));
  u8 b[64];
  cluster::Heard heard;
  if (!read_record(p, b, 64) || !open_beacon(&e->key, mem::Bytes(b, 64), &heard) || !heard.from_lease) {
    ++e->counters.leases_absent;
    return;
  }
  note_host(e, &heard);
}

void member_step(Election* e) {
  e->member_due = e->now + member_period;
  e->address = find_address(e);
  write_member(e);
  read_roster(e, e->seen.term);
}

void decide(Election* e) {
  bool a = no_host(e);
  if (a && !e->standing && e->role == 0) {
    e->standing = 1;
    e->stand_time = e->now + rank_now(e) * 20;
    e->ready = 0;
  }
  if (!a || e->role != 0) {
    e->standing = 0;
    return;
  }
  if (e->now < e->stand_time) return;
  if (!e->ready) {
    if (e->probe.state == probe_idle && !e->check_pending) {
      latest_claimant(e);
      e->check_pending = 1;
      reach_step(e);
    }
    return;
  }
  take_host(e);
}

void back_off(Election* e, u32 term, u32 time) {
  release_host_arena(e);
  e->standing = 0;
  ++e->counters.back_offs;
  ++e->counters.claims_lost;
  e->seen.term = term;
  e->seen.counter = 0;
  e->seen.time = time;
  e->seen.changed = 1;
  e->released = 0;
}

namespace {

// Says once why claims fail, and again when the cause changes; a claim that works clears it.
void tell_claim(Election* e, const share::Note* t, u32 result) {
  u32 kind = result == share::done ? share::trouble_none : t->kind;
  if (kind == e->claim_said && (kind == share::trouble_none || mem::eq(store::path_of(&t->path),
                                                                       store::path_of(&e->claim_said_path)))) {
    return;
  }
  e->claim_said = kind;
  e->claim_said_path = t->path;
  if (kind != share::trouble_none) hub::say_trouble(e->writer, mem::lit("vimbrel host: cannot claim a term: "), t, false);
}

}  // namespace

void take_host(Election* e) {
  e->stand_time = e->now + claim_retry;
  lease_step(e);
  e->address = find_address(e);
  if (!no_host(e)) {
    e->standing = 0;
    return;
  }
  if (e->address == 0) return;
  if (!e->reserved) {
    if (!mem::arena_init(&e->arena, host_arena_size())) return;
    e->reserved = 1;
  }
  e->hosting = mem::alloc_of<hub::Host>(&e->arena);
  e->share_state = mem::alloc_of<share::Share>(&e->arena);
  e->table = mem::alloc_of<CandidateTable>(&e->arena);
  if (e->hosting == nullptr || e->share_state == nullptr || e->table == nullptr) return release_host_arena(e);
  share::Share* s = e->share_state;
  share::init(s, store::path_of(&e->share), &e->key, e->id, e->address, e->config.port, 0);
  s->owner = static_cast<u8>(bits::min32(e->host.yields, 255));
  proto::Lease claim;
  u32 c = e->highest;
  u32 b = count_claims(e, &claim);
  raise_highest(e, b);
  if (b > c) return back_off(e, b, e->now);
  u32 r = share::claim_term(s, e->highest, e->now);
  tell_claim(e, &s->claim_trouble, r);
  if (r == share::done) {
    ++e->counters.claims_won;
    return become_host(e);
  }
  release_host_arena(e);
  if (r != share::taken) return;
  u32 term = store::next_claim(e->highest);
  proto::Lease winner;
  store::Path p = under(e, mem::lit("claims"));
  store::path_term(&p, term);
  u8 raw[64];
  u64 n = 0;
  u32 io = p.overflow ? fs::io_failed : fs::io_read_uncached(store::path_of(&p), mem::Slice{raw, 64}, &n);
  // A claim being written may still be short: its claimant is waited for. A link or the like under the name is no
  // claim in the making, and is passed over like an unsealed file.
  if (io != fs::io_not_plain && (io != fs::io_ok || n != 64)) return back_off(e, term, e->now);
  if (io == fs::io_not_plain || !share::read_claim(store::path_of(&e->share), &e->key, term, &winner)) {
    // A file under the claim's name that no cluster key sealed holds no term: the next try claims past it, so a
    // stray file can never stop the election.
    raise_highest(e, term);
    return;
  }
  raise_highest(e, term);
  back_off(e, term, e->now);
}

void become_host(Election* e) {
  hub::Options o = {};
  o.listen = e->config.listen;
  o.port = e->config.port;
  o.flags = hub::flag_election_listener;
  for (u32 i = 0; i < 3; ++i) o.version[i] = e->config.version[i];
  o.round_limit = ~u64{0};
  hub::Host* h = e->hosting;
  share::Share* s = e->share_state;
  if (!hub::open_elected(h, &e->arena, &e->key, &o, e->start_tick, e->listener)) {
    share::drop(s, e->now, false);
    return release_host_arena(e);
  }
  *e->table = {};
  h->share = s;
  h->verdict = e->verdict;
  h->writer = e->writer;
  h->random = e->random;
  h->hub->flags |= hub::hub_share_attached;
  hub::set_term(h->hub, s->term);
  e->term = s->term;
  hub::set_host_id(h->hub, e->id);
  raise_highest(e, s->term);
  e->beacon_to = e->address != 0 ? sock::broadcast_address(e->address) : 0;
  if (e->beacon_to == 0) e->beacon_to = e->address;
  close_all_links(e);
  e->role = 1;
  e->host_since = e->now;
  e->hold_time = bits::min32(u64{3000} << bits::min32(s->owner, 7), 288000);
  e->next_beacon = e->now;
  e->next_check = e->now + member_period;
  e->roster_sequence = 0;
  e->standing = 0;
  e->isolated = 0;
  e->yield_condition = 0;
  e->lease_written = s->renewed;
  e->beacon_counter = s->counter;
  say(e, mem::lit("vimbrel host: listening on port "));
  say_dec(e, e->config.port);
  say(e, mem::lit(", term "));
  say_dec(e, s->term);
  say(e, mem::lit(", share self-test "));
  say(e, hstore::verdict_word(e->verdict));
  say(e, mem::lit("\n"));
}

void step_down(Election* e, mem::Bytes reason) {
  // Closing flushes the history and gives the share up (a last released lease when it is still ours), but leaves
  // the election's listener open.
  if (e->hosting != nullptr) hub::close(e->hosting);
  release_host_arena(e);
  e->role = 0;
  e->standing = 0;
  e->printed_term = 0;
  e->printed_address = 0;
  ++e->counters.steps_down;
  say(e, mem::lit("vimbrel host: "));
  say(e, reason);
  say(e, mem::lit("; a candidate again\n"));
}

void candidate_step(Election* e, u32 timeout_ms) {
  sock::PollSet* poll = &e->poll;
  poll->count = 0;
  enum : u32 { m_listener = 0x100, m_probe = 0x200, m_udp = 0x300 };
  auto add = [&](sock::Socket s, u32 write, u32 meaning) {
    u32 at = sock::poll_add(poll, s, write);
    if (at < sock::poll_capacity) e->meaning[at] = meaning;
  };
  if (e->listener != sock::invalid_socket) add(e->listener, 0, m_listener);
  for (u32 i = 0; i < links; ++i) {
    if (bits::word_test(e->links.in_use, i)) add(e->links.sockets[i], e->links.waiting[i] != 0, i);
  }
  if (e->probe.state != probe_idle) add(e->probe.socket, e->probe.state == probe_connecting, m_probe);
  if (e->udp != sock::invalid_socket) add(e->udp, 0, m_udp);
  sock::poll_wait(poll, timeout_ms);
  u16 probe_events = 0;
  bool accept = false;
  for (u32 k = 0; k < poll->count; ++k) {
    u16 r = poll->entries[k].returned;
    if (r == 0) continue;
    u32 m = e->meaning[k];
    if (m == m_listener) accept = true;
    if (m == m_probe) probe_events = r;
    if (m < links && bits::word_test(e->links.in_use, m) && (r & ~sock::poll_write) != 0) read_link(e, m);
  }
  serve_links(e);
  if (accept) accept_links(e);
  peer_io(e, probe_events);
  take_beacons(e);
  if (e->now >= e->lease_due) lease_step(e);
  if (e->now >= e->member_due) member_step(e);
  if (e->probe.state == probe_idle && e->now >= e->probe_due) reach_step(e);
  decide(e);
}

// ---- Host.

void send_beacon(Election* e) {
  proto::Beacon b = {};
  b.flags = e->isolated ? 8 : 0;
  b.term = e->hosting->hub->term;
  b.counter = e->beacon_counter;
  b.port = e->config.port;
  b.members = static_cast<u16>(bits::min32(hub::live_count(e->hosting->hub), 64));
  b.priority = e->config.priority;
  b.address = e->address;
  copy(b.host_id, e->id, 16);
  u8 raw[64];
  e->next_beacon = e->now + lease_period;
  if (e->udp == sock::invalid_socket || e->beacon_to == 0 || !seal_beacon(&e->key, &b, mem::Slice{raw, 64})) return;
  u32 ports = e->config.beacon_ports != 0 ? e->config.beacon_ports : 1;
  for (u32 i = 0; i < ports; ++i) {
    if (sock::udp_send_to(e->udp, e->beacon_to, static_cast<u16>(e->config.beacon_port + i), mem::Bytes(raw, 64))) {
      ++e->counters.beacons_sent;
    }
  }
}

void update_candidate(CandidateTable* t, const proto::Member* m, u32 host_term, u32 now) {
  // A record that changed at all was written again: a candidate that restarted counts its sequence from 1 anew and
  // is as alive as one that counts up.
  u32 count = t->count;
  u32 at = row_of(t->ids, &t->count, t->seen, m->id);
  bool added = t->count != count || !same_id(t->ids[at], m->id);
  bool fresh = added || t->sequence[at] != m->sequence;
  copy(t->ids[at], m->id, 16);
  if (fresh) t->seen[at] = now;
  const bool halfway = bits::word_test(t->advanced_once, at);
  t->unproven = bits::word_put(t->unproven, at, added || (bits::word_test(t->unproven, at) && !(fresh && halfway)));
  t->advanced_once = bits::word_put(t->advanced_once, at, !added && (halfway || fresh));
  t->sequence[at] = m->sequence;
  t->address[at] = m->address;
  t->port[at] = m->port;
  t->reach[at] = m->reach;
  t->priority[at] = m->priority;
  t->can_serve = bits::word_put(t->can_serve, at, (m->flags & member_announces) && m->priority > 0);
  t->reaches = bits::word_put(t->reaches, at, (m->flags & member_reaches_host) && m->term == host_term);
  t->yielded = bits::word_put(t->yielded, at, (m->flags & member_yielded) != 0);
}

void read_members(Election* e) {
  store::Path folder = under(e, mem::lit("members"));
  fs::Listing* listing = &e->listing;
  if (folder.overflow || fs::list_directory(store::path_of(&folder), 0, listing) != fs::io_ok) return;
  for (u32 i = 0; i < listing->count; ++i) {
    store::Path p = folder;
    store::path_join(&p, mem::Bytes(listing->names[i], listing->lengths[i]));
    u8 b[64];
    proto::Member m;
    if (!read_record(p, b, 64) || !open_member(&e->key, mem::Bytes(b, 64), &m)) {
      ++e->counters.members_absent;
      continue;
    }
    update_candidate(e->table, &m, e->term, e->now);
  }
}

u64 roster_live(const CandidateTable* t, const u8* own_id, u32 now) {
  u64 live = 0;
  for (u32 i = 0; i < t->count; ++i) {
    if (!same_id(t->ids[i], own_id) && since(now, t->seen[i]) < live_window) live = bits::word_put(live, i, 1);
  }
  return live;
}

void build_roster(const Election* e, bool yielding, proto::Roster* out) {
  const CandidateTable* t = e->table;
  u64 live = roster_live(t, e->id, e->now) & t->can_serve;
  u32 keys[rows];
  u32 order[rows];
  u32 n = 0;
  for (u32 i = 0; i < t->count; ++i) {
    if (!bits::word_test(live, i)) continue;
    u32 key = 255u - t->priority[i];
    if (yielding) {
      key |= bits::word_test(t->reaches, i) << 16 | (63u - bits::min32(t->reach[i], 63)) << 8;
    }
    keys[n] = key;
    order[n++] = i;
  }
  // Insertion sort: at most 64 rows, ties by id.
  for (u32 a = 1; a < n; ++a) {
    for (u32 b = a; b > 0; --b) {
      u32 x = order[b - 1], y = order[b];
      bool swap = keys[b - 1] > keys[b];
      if (keys[b - 1] == keys[b]) {
        for (u32 k = 0; k < 16; ++k) {
          if (t->ids[x][k] != t->ids[y][k]) {
            swap = t->ids[x][k] > t->ids[y][k];
            break;
          }
        }
      }
      if (!swap) break;
      order[b - 1] = y;
      order[b] = x;
      u32 kk = keys[b - 1];
      keys[b - 1] = keys[b];
      keys[b] = kk;
    }
  }
  *out = {};
  n = bits::min32(n, rows - 1);
  for (u32 r = 0; r < n; ++r) {
    u32 i = order[r];
    copy(out->rows[r].id, t->ids[i], 16);
    out->rows[r].priority = t->priority[i];
    out->rows[r].flags = static_cast<u8>(row_listed | (bits::word_test(t->reaches, i) ? row_reaches : 0) |
                                         (bits::word_test(t->yielded, i) ? row_yielded : 0));
    out->rows[r].reach = static_cast<u16>(bits::min32(t->reach[i], 63));
  }
  copy(out->rows[n].id, e->id, 16);
  out->rows[n].priority = e->config.priority;
  out->rows[n].flags = row_self;
  out->rows[n].reach = 0;
  out->count = static_cast<u16>(n + 1);
  out->term = e->term;
  out->sequence = e->roster_sequence + 1;
  out->flags = static_cast<u16>((e->isolated ? roster_isolated : 0) | (yielding ? roster_yielding : 0));
}

void write_roster(Election* e, bool yielding) {
  proto::Roster r;
  build_roster(e, yielding, &r);
  alignas(8) u8 raw[proto::roster_size];
  if (!seal_roster(&e->key, &r, mem::Slice{raw, sizeof raw})) return;
  store::Path p = under(e, mem::lit("terms"));
  if (!p.overflow) fs::io_make_directory(store::path_of(&p));
  store::path_term(&p, r.term);
  if (!p.overflow) fs::io_make_directory(store::path_of(&p));
  store::path_join(&p, mem::lit("roster"));
  if (write_record(p, mem::Bytes(raw, sizeof raw))) {
    ++e->roster_sequence;
    ++e->counters.roster_writes;
  }
}

void yield_host(Election* e) {
  write_roster(e, true);
  share::Share* s = e->share_state;
  if (s->owner < 255) ++s->owner;
  // The raised count goes out with the last lease, which the share writes when the host gives it up.
  e->yielded = 1;
  e->yield_time = e->now;
  ++e->counters.yields;
  step_down(e, mem::lit("yielded: more machines can reach another member"));
}

void isolation_step(Election* e) {
  e->next_check = e->now + member_period;
  read_members(e);
  const CandidateTable* t = e->table;
  u64 live = roster_live(t, e->id, e->now) & ~t->unproven;
  u64 reaching = live & t->reaches;
  u32 reach = bits::word_count(reaching) + 1;
  u32 most = 0;
  bool yield = false;
  for (u32 i = 0; i < t->count; ++i) {
    if (!bits::word_test(live, i)) continue;
    if (t->reach[i] > most) most = t->reach[i];
    if (!bits::word_test(t->reaches, i) && bits::word_test(t->can_serve, i) && reach <= t->reach[i]) yield = true;
  }
  bool isolated = live != 0 && reaching == 0 && most == 0;
  share::Share* s = e->share_state;
  if (isolated && !e->isolated) {
    say(e, mem::lit("vimbrel host: host of term "));
    say_dec(e, e->term);
    say(e, mem::lit(", isolated: other machines cannot connect to this host or to each other: allow inbound TCP 7420 "
                    "and UDP 7421 (see the README), or turn off client isolation on the Wi-Fi\n"));
  }
  if (!isolated && e->isolated) {
    say(e, mem::lit("vimbrel host: host of term "));
    say_dec(e, e->term);
    say(e, mem::lit(", no longer isolated\n"));
  }
  e->isolated = isolated ? 1 : 0;
  s->extra_flags = static_cast<u16>(isolated ? (s->extra_flags | 8) : (s->extra_flags & ~8));
  if (yield && !e->yield_condition) e->yield_since = e->now;
  e->yield_condition = yield ? 1 : 0;
  u32 held = since(e->now, e->host_since);
  if (held >= e->hold_time + hold_extra) s->owner = 0;
  if (yield && since(e->now, e->yield_since) >= yield_wait && held >= e->hold_time) return yield_host(e);
  write_roster(e, false);
  // Old claims go, so that the claim scan (a bounded number of listing pages) always reaches the newest ones.
  if (s->term > claims_kept) share::remove_old_claims(store::path_of(&e->share), s->term - claims_kept, &e->listing);
}

void host_step(Election* e, u32 timeout_ms) {
  hub::Host* h = e->hosting;
  share::Share* s = e->share_state;
  hub::step(h, timeout_ms, e->tick, e->wall);
  if (s->renewed != e->lease_written && h->stop_reason == hub::stop_none) {
    e->lease_written = s->renewed;
    e->beacon_counter = s->counter;
  }
  if (take_beacons(e) && h->stop_reason == hub::stop_none) hub::stop(h, hub::stop_newer_term);
  if (h->stop_reason != hub::stop_none || h->closed) {
    raise_highest(e, h->hub->term);
    return step_down(e, mem::lit("stepped down"));
  }
  if (!(s->flags & share::leased)) return;
  if (e->now >= e->next_beacon) send_beacon(e);
  if (e->now >= e->next_check) isolation_step(e);
}

// ---- The process.

void init(Election* e, mem::Bytes share, const auth::KeyState* key, const u8* id, const Config* config, u64 tick) {
  __builtin_memset(e, 0, sizeof *e);
  e->key = *key;
  copy(e->id, id, 16);
  store::path_set(&e->share, share);
  e->config = *config;
  e->start_tick = e->tick = tick;
  e->listener = e->udp = sock::invalid_socket;
  e->verdict = store::verdict_not_share;
  e->probe_due = probe_period;
  e->probe.socket = sock::invalid_socket;
  for (u32 i = 0; i < links; ++i) e->links.sockets[i] = sock::invalid_socket;
  e->links.key = *key;
  copy(e->links.id, id, 16);
  e->random = os::random_bytes;
  e->writer = standard_output;
}

u32 start(Election* e) {
  if (!sock::startup()) return 3;
  if (e->listener == sock::invalid_socket) {
    if (sock::listen(e->config.listen, e->config.port, &e->listener) != sock::done) return 3;
    e->config.port = sock::local_port(e->listener);
    if (e->config.port == 0) {
      close_socket(&e->listener);
      return 3;
    }
  }
  if (e->udp == sock::invalid_socket) {
    u16 bind = e->config.bind_port != 0 ? e->config.bind_port : e->config.beacon_port;
    if (sock::udp_open(0, bind, &e->udp) != sock::done) e->udp = sock::invalid_socket;
  }
  e->address = find_address(e);
  // Made as the fixed host makes it, every missing folder along the resolved path, which is the one used from here
  // on. A candidate that cannot make it says why once, and waits as it would for a share that is not there yet:
  // otherwise a mistyped path only ever reads "waiting for the host".
  store::Path prepared;
  const u32 made = fs::prepare_share(store::path_of(&e->share), &prepared);
  if (made == fs::ok) {
    e->share = prepared;
  } else {
    say(e, mem::lit("vimbrel host: cannot make the share folder: "));
    say(e, fs::share_text(made));
    say(e, mem::lit("\n"));
  }
  mem::Bytes folder = store::path_of(&e->share);
  store::Path members = under(e, mem::lit("members"));
  if (!members.overflow) fs::io_make_directory(store::path_of(&members));
  store::Path test = members;
  store::path_id(&test, e->id);
  e->verdict = share::selftest(folder, store::path_of(&test));
  if (e->verdict == store::verdict_fail && !(e->config.flags & flag_force_share)) return 5;
  say(e, mem::lit("vimbrel host: candidate, priority "));
  say_dec(e, e->config.priority);
  say(e, mem::lit(", share self-test "));
  say(e, hstore::verdict_word(e->verdict));
  say(e, mem::lit("; waiting for the host\n"));
  return 0;
}

void step(Election* e, u64 tick, u32 wall, u32 timeout_ms) {
  e->tick = tick;
  e->wall = wall;
  e->now = hub::elapsed_units(e->start_tick, tick);
  if (e->role == 1) {
    host_step(e, timeout_ms);
  } else {
    candidate_step(e, timeout_ms);
  }
}

void run(Election* e, u64 rounds) {
  for (u64 r = 0; r < rounds; ++r) {
    if (e->quit != 0 && kobj::wait(e->quit, 0)) return;
    step(e, os::clock_ms(), hub::seconds_since_2025(os::filetime_now()), 100);
  }
}

void close(Election* e) {
  if (e->role == 1) step_down(e, mem::lit("closed"));
  close_all_links(e);
  close_socket(&e->listener);
  close_socket(&e->udp);
}

// A port that another program listens on stays taken, so the start says so at once instead of trying again for
// 150 s in silence; the retries are for an address that is not up yet.
bool port_held(u32 listen, u16 port) {
  if (port == 0 || !sock::startup()) return false;
  sock::Socket s = sock::invalid_socket;
  if (sock::connect(listen != 0 ? listen : 0x7F000001, port, &s) != sock::done) return false;
  u32 r = 1;
  for (u32 i = 0; i < 50 && r == 1; ++i) {
    r = sock::connect_done(s);
    if (r == 1) os::sleep_ms(20);
  }
  sock::close(s);
  return r == 0;
}

u32 main(mem::Bytes key_path, mem::Bytes share, const u8* id, const Config* config, u64 rounds) {
  if (share.len == 0) {
    line(mem::lit("vimbrel host: no share or folder"));
    return 4;
  }
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(Election) + 4096)) return 2;
  cluster::KeyWork work;
  auth::KeyState key;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(key_path, &work, &key, &verdict);
  cluster::wipe_key_buffer(&work);
  if (loaded != cluster::key_loaded) {
    if (loaded == cluster::key_unreadable) line(mem::lit("vimbrel host: no cluster key file"));
    if (loaded == cluster::key_exposed) {
      line(mem::lit("vimbrel host: the cluster key file can be read by others; allow only its owner (chmod 600)"));
    }
    if (loaded == cluster::key_refused) {
      line(mem::lit("vimbrel host: the cluster key file is refused: "), cluster::key_verdict_name(verdict));
    }
    mem::release(&arena);
    return 2;
  }
  Election* e = mem::alloc_of<Election>(&arena);
  if (e == nullptr) {
    mem::release(&arena);
    return 2;
  }
  init(e, share, &key, id, config, os::clock_ms());
  auth::wipe(&key, sizeof key);
  e->quit = kobj::create_quit_event();
  if (e->quit == 0) {
    // Nothing could stop a candidate whose quit event another process holds: it does not start.
    u8 name[96];
    line(mem::lit("vimbrel host: cannot serve: another process holds this process's quit event "),
         mem::Bytes(name, kobj::quit_event_name(os::process_id(), name)));
    close(e);
    auth::wipe(e, sizeof *e);
    mem::release(&arena);
    return 5;
  }
  // Taken before the start says the candidate waits, so that a stop which follows that line is an orderly one.
  kobj::stop_on_signals(e->quit);
  u32 attempts = config->start_attempts != 0 ? config->start_attempts : 1;
  u32 r = 3;
  for (u32 i = 0; i < attempts; ++i) {
    r = start(e);
    if (r != 3 || port_held(config->listen, config->port) || kobj::wait(e->quit, 0)) break;
    if (i + 1 < attempts) os::sleep_ms(1000);
  }
  if (r != 0) {
    if (r == 5) line(mem::lit("vimbrel host: cannot serve: "), hstore::stop_word(hub::stop_selftest));
    if (r == 3) line(mem::lit("vimbrel host: cannot listen on the port"));
    close(e);
    kobj::close(e->quit);
    mem::release(&arena);
    return r;
  }
  run(e, rounds);
  close(e);
  kobj::close(e->quit);
  auth::wipe(e, sizeof *e);
  mem::release(&arena);
  return 0;
}

}  // namespace elect
