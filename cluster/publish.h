#pragma once
// The sending end of one cluster link, the end a publisher holds towards the cluster host. It owns no socket: every
// operation takes the time in milliseconds of a monotonic clock and, where it needs them, received bytes or a random
// value; frames to send pile up in the link's out buffer and the result tells the driver what to do (dial, close).
// The module decides when to dial and how long to back off, which host to use (a fixed server, this machine's own
// host, or the one the share's lease names), runs the handshake, checks every frame the host sends, and builds the
// sealed data frames only once the link is open.
#include "base/mem.h"
#include "wire/cluster.h"
#include "wire/peer.h"
#include "wire/proto.h"

namespace publish {

enum State : u8 { stopped = 0, waiting = 1, connecting = 2, hello_sent = 3, proof_sent = 4, open = 5 };
enum TargetKind : u8 { target_none = 0, target_fixed = 1, target_share = 2 };

constexpr u32 receive_room = 64;
constexpr u32 largest_received = 48;
constexpr u32 send_room = 22968;
constexpr u32 stage_end = send_room - proto::tag_size;  // 16 bytes always stay free for the tag
constexpr u64 never = ~0ull;
constexpr u32 backoff_max = 30000;
constexpr u32 handshake_ms = 10000;
constexpr u32 idle_ms = 10000;
constexpr u32 stable_ms = 30000;
constexpr u32 caching_ms = 15000;
constexpr u8 preferred_tries = 5;
constexpr u8 start_flags = proto::hello_update_orders | proto::hello_no_self_update;

struct PublishLink {
  u8 state;
  u8 target_kind;
  u8 role;
  u8 status;
  u8 inventory_sent;  // sample, temperature and process frames wait for it
  u8 procs_full;      // the next process frame carries every row
  u8 lease_wanted;    // the driver should read the share's lease at once
  u8 lease_older;     // the last lease read named an older term than the one known
  u8 hello_flags;
  u8 update_now;      // an update order for this machine arrived; the owner reads and clears it
  u16 refuse_reason;
  u32 term;           // highest host term accepted so far
  u32 lease_term;
  u32 lease_counter;
  u32 target_address;
  u16 target_port;    // 0: nothing to dial
  u8 temps_sent;
  u32 moved_address, moved_term;
  u16 moved_port;
  u32 preferred_address;
  u16 preferred_port;
  u8 at_preferred;
  u8 preferred_failures;
  u32 lease_address;
  u16 lease_port;
  u32 backoff;
  u64 next_try;
  u64 state_since;
  u64 opened_at;      // never while not open
  u64 last_send;
  u64 last_lease;
  u32 dials, opens, failures, refusals, moves, frames, dropped;
  u32 last_temps_sequence;
  u32 in_used;
  u32 out_used;
  u8 machine_id[proto::id_size];
  peer::PeerState peer;
  proto::Inventory last_inventory;
  proto::ProcRecord last_procs;
  u8 in[receive_room];
  u8 out[send_room];
};

void init(PublishLink* link, const auth::KeyState* key, const u8* id, u32 id_length, u8 role);
void restart(PublishLink* link);
void fixed(PublishLink* link, u32 address, u16 port, u64 now);
void share(PublishLink* link, u64 now);
void prefer(PublishLink* link, u32 address, u16 port, u64 now);
void fall_back(PublishLink* link, u64 now);
void stop(PublishLink* link);
bool due(const PublishLink* link, u64 now);
bool linked(const PublishLink* link);
bool ready(const PublishLink* link);
void dialing(PublishLink* link, u64 now);
void failed(PublishLink* link, u64 now, u32 random, u8 status);
// False (nothing changes) when the nonce could not be drawn; else the hello is queued and the state is hello sent.
bool connected(PublishLink* link, const u8* nonce, u32 nonce_length, bool nonce_ok, u64 now);
// Applies a lease or beacon record the driver opened; true when the driver must close the socket.
bool lease(PublishLink* link, bool readable, const cluster::Heard* record, u64 now, u32 random);

mem::Bytes out_data(const PublishLink* link);
void sent(PublishLink* link, u64 n);
mem::Slice in_room(PublishLink* link);
// Takes n bytes just placed in in_room; false when the driver must close the link (the status says why).
bool received(PublishLink* link, u32 n, u64 now);
mem::Slice stage(PublishLink* link);
bool commit(PublishLink* link, u32 n, u64 now);
void set_caps(PublishLink* link, u8 flags);

// Data frames; each false when nothing was queued.
bool inventory(PublishLink* link, const proto::Inventory* inventory, u64 now);
bool sample(PublishLink* link, const u8* row, u64 now);
bool temps(PublishLink* link, const u8* block, u64 now);
bool procs(PublishLink* link, const proto::ProcRecord* record, u64 now);
bool update_state(PublishLink* link, u8 phase, u8 value, u64 now);
bool idle(PublishLink* link, u64 now);
u32 wait_ms(const PublishLink* link, u64 now);

// Rules shared with the viewer link and the host side.
u32 next_backoff(u32 last);
u32 jittered(u32 delay, u32 random);
u32 new_host_delay(u32 random);
bool stable(u64 opened_at, u64 now);
bool expired(u8 state, u64 since, u64 now);
bool takes_term(u8 target_kind, u32 term, u32 known);
bool new_target(u32 address, u16 port, u32 new_address, u16 new_port, bool forced);
// 0 ignore (not newer), 1 use, 2 older term than the one known, 3 a port without an address.
enum LeaseVerdict : u32 { lease_ignore = 0, lease_use_host = 1, lease_older_term = 2, lease_no_address = 3 };
u32 lease_use(bool above, u32 lease_term, u32 term, u32 address, u16 port, bool no_address);
bool share_caches(u8 target_kind, u8 state, u8 lease_older, u64 last_lease, u64 opened_at, u64 now);
bool at_local(const PublishLink* link);
bool caching(const PublishLink* link, u64 now);
// What the status line shows of the link.
void view(const PublishLink* link, u64 now, cluster::LinkView* out);

// ---- Steps shared with the viewer link, whose record has the same names for the fields they touch.

// What a lease does to a share target.
struct LeaseJudgement {
  u32 verdict;      // LeaseVerdict
  bool changed;     // the target moves to (address, port)
  bool keep;        // an address-less lease of the current term: the lease host is left as it was
  u32 address;
  u16 port;
  u8 status;        // the status when the target moves
};
LeaseJudgement judge_lease(bool readable, const cluster::Heard* record, u32 lease_term, u32 lease_counter, u32 term,
                           u32 target_address, u16 target_port);
// The status of a frame that is not what the state expects: refused with its reason, or a bad frame.
u8 refusal(mem::Bytes frame, u16* reason);

template <typename L>
bool dial_due(const L* link, u64 now) {
  return link->state == waiting && link->target_port != 0 && now >= link->next_try;
}

template <typename L>
u32 dial_wait(const L* link, u64 now) {
  if (link->state != waiting || link->target_port == 0 || now >= link->next_try) return 0;
  u64 left = link->next_try - now;
  return left < 0xFFFFFFFFull ? static_cast<u32>(left) : 0xFFFFFFFFu;
}

// A fixed host to dial at once; the caller has restarted the link.
template <typename L>
void aim_fixed(L* link, u32 address, u16 port, u64 now) {
  link->target_kind = target_fixed;
  link->state = waiting;
  link->target_address = address;
  link->target_port = port;
  link->backoff = 0;
  link->next_try = now;
  link->status = cluster::status_waiting;
}

// The delay before the next dial after a failure: 1 s after a stable link, else twice the last, jittered.
template <typename L>
void back_off(L* link, u64 now, u32 random, u8 status) {
  link->backoff = next_backoff(stable(link->opened_at, now) ? 0 : link->backoff);
  link->next_try = now + jittered(link->backoff, random);
  link->status = status;
  ++link->failures;
}

// Moves the target as judged; true when the link was connecting or connected and its socket must close.
template <typename L>
bool move_target(L* link, const LeaseJudgement* j, u64 now, u32 random) {
  bool was_linked = link->state >= connecting;
  link->target_address = j->address;
  link->target_port = j->port;
  link->backoff = 0;
  link->next_try = now + new_host_delay(random);
  link->status = j->status;
  return was_linked;
}

// A new connection: the peer state starts over, so counters and connection keys are never reused, and the hello
// goes at the start of the out buffer.
template <typename L>
bool queue_hello(L* link, proto::Hello* hello, const u8* nonce, u32 nonce_length, bool nonce_ok, u32 room, u64 now) {
  if (!nonce_ok || nonce == nullptr || nonce_length < proto::nonce_size) return false;
  hello->protocol = proto::protocol_version;
  hello->term = link->term;
  __builtin_memcpy(hello->nonce, nonce, proto::nonce_size);
  auth::KeyState key = link->peer.cluster_key;
  peer::init(&link->peer, &key);
  auth::wipe(&key, sizeof key);
  link->out_used = peer::hello(&link->peer, hello, mem::Slice{link->out, room});
  link->state = hello_sent;
  link->state_since = now;
  return true;
}

// The reply to the hello: the proof goes behind what is queued.
template <typename L>
bool take_reply(L* link, mem::Bytes frame, u32 room) {
  u32 n = peer::proof(&link->peer, frame, mem::Slice{link->out + link->out_used, room - link->out_used});
  if (n == 0) {
    link->status = cluster::status_bad_frame;
    return false;
  }
  link->out_used += n;
  link->state = proof_sent;
  return true;
}

// The accept: its tag must hold, and a share's host must not be of an older term than the link knows.
template <typename L>
bool take_accept(L* link, mem::Bytes frame, u64 now) {
  if (!peer::accepted(&link->peer, frame)) {
    link->status = cluster::status_host_proof;
    return false;
  }
  u32 accepted = link->peer.host_term;
  u32 known = link->term > link->lease_term ? link->term : link->lease_term;
  if (!takes_term(link->target_kind, accepted, known)) {
    link->status = cluster::status_older_term;
    return false;
  }
  link->term = link->term > accepted ? link->term : accepted;
  link->state = open;
  link->opened_at = now;
  link->last_send = now;
  ++link->opens;
  link->status = cluster::status_connected;
  link->refuse_reason = 0;
  return true;
}

// Seals the n bytes staged behind what is queued; n = 0 (the encoder had no room or refused) counts a dropped frame.
template <typename L>
bool seal_staged(L* link, u32 room, u32 n, u64 now) {
  u32 end = room - proto::tag_size;
  u32 sealed = 0;
  if (n != 0 && link->out_used + n <= end) {
    sealed = peer::seal(&link->peer, mem::Slice{link->out + link->out_used, room - link->out_used}, n);
  }
  if (sealed == 0) {
    ++link->dropped;
    return false;
  }
  link->out_used += sealed;
  link->last_send = now;
  return true;
}

template <typename L>
void drop_sent(L* link, u64 n) {
  u32 drop = n < link->out_used ? static_cast<u32>(n) : link->out_used;
  __builtin_memmove(link->out, link->out + drop, link->out_used - drop);
  link->out_used -= drop;
}

// Takes n received bytes into the in buffer and hands every whole frame (with its tag once open) to handle; false
// when a frame is announced longer than the buffer or a handler wants the link closed (nothing is compacted then).
template <typename L>
struct Handlers {
  bool (*hello)(L*, mem::Bytes);        // hello sent: the reply, a moved frame or a refusal
  bool (*proof)(L*, mem::Bytes, u64);   // proof sent: the accept
  bool (*open)(L*, mem::Bytes);         // open: sealed frames
  void (*oversize)(L*, mem::Bytes);     // a frame announced longer than the buffer, before the link closes; or none
  bool (*fits)(const L*, u32);          // a received frame's length (its tag counted once open) is one it takes
};

template <typename L>
bool hand_on(L* link, const Handlers<L>* h, mem::Bytes frame, u64 now) {
  if (link->state == hello_sent) return h->hello(link, frame);
  if (link->state == proof_sent) return h->proof(link, frame, now);
  if (link->state == open) return h->open(link, frame);
  link->status = cluster::status_bad_frame;
  return false;
}

template <typename L>
bool scan_frames(L* link, u8* in, u32 limit, u32 n, u64 now, const Handlers<L>* h) {
  u32 room = limit - link->in_used;
  link->in_used += n < room ? n : room;
  u32 at = 0;
  while (link->in_used - at >= proto::header_size) {
    mem::Bytes rest(in + at, link->in_used - at);
    u32 length = proto::frame_len(rest);
    if (length != 0 && link->state == open) length += proto::tag_size;
    if (!h->fits(link, length)) {
      if (length != 0 && h->oversize != nullptr) h->oversize(link, rest);
      link->status = cluster::status_bad_frame;
      return false;
    }
    if (length > rest.len) break;
    if (!hand_on(link, h, mem::Bytes(rest.ptr, length), now)) return false;
    at += length;
  }
  __builtin_memmove(in, in + at, link->in_used - at);
  link->in_used -= at;
  return true;
}

// Frame handlers of received(): each false when the link must close.
bool on_hello(PublishLink* link, mem::Bytes frame);
// A received frame is 1 to 64 bytes long: the largest a publisher is sent is 48.
bool fits_in(const PublishLink* link, u32 length);
bool on_proof(PublishLink* link, mem::Bytes frame, u64 now);
bool on_open(PublishLink* link, mem::Bytes frame);
bool refused(PublishLink* link, mem::Bytes frame);

}  // namespace publish
