#pragma once
// The host election. Candidates that share one folder choose the cluster's host among themselves: each watches the
// share's lease and the host's UDP beacons, and when no host has shown progress for 15 s it stands after a delay of
// its rank, checks by a probe over TCP that the latest claimant really is gone, and claims the next term with a
// claim file that only one machine can create. The winner runs the host server in this same process, on the
// listener it already holds, beacons once a second, rewrites the roster every 10 s and watches whether the other
// candidates can reach it; it steps down when the share says another host is newer, and yields when more machines
// can reach another member. A candidate again, it keeps watching.
//
// Safety rests on the share alone: claims are created exclusively and the host's writing stops 10 s after its last
// renewal, while a watcher waits 15 s without progress before it stands. Beacons and probes only make the choice
// faster or better; a claim, lease, beacon or member record whose seal does not check is never believed.
//
// Time is counted in 100 ms units since the process started ("units"). One thread; the process waits only in its
// poll (at most 100 ms per round).
#include "base/mem.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "wire/proto.h"
#include "history/share.h"
#include "history/store.h"
#include "host/hubloop.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/sock.h"

namespace elect {

// Flag of Config::flags: the candidate goes on although the share's self-test fails.
constexpr u32 flag_force_share = 16;

// The candidate's configuration, 32 bytes, little-endian; every byte not named is zero.
struct Config {
  u32 listen;          // listen IPv4 address, host order; 0 = any
  u16 port;            // TCP member port
  u16 beacon_port;     // first UDP port that beacons are sent to
  u16 beacon_ports;    // consecutive UDP ports, from beacon_port, that each beacon goes to (at least 1)
  u16 bind_port;       // UDP port the beacon socket binds (0 = beacon_port)
  u8 priority;         // 1 to 255
  u8 zero13[3];
  u32 flags;           // flag_force_share; other bits 0
  u32 announce;        // the address announced to peers: the listen address again
  u8 start_attempts;
  u8 zero25;
  u16 version[3];      // the program's version parts
};
static_assert(sizeof(Config) == 32, "the election configuration is 32 bytes");
static_assert(__builtin_offsetof(Config, port) == 4 && __builtin_offsetof(Config, beacon_port) == 6 &&
                  __builtin_offsetof(Config, beacon_ports) == 8 && __builtin_offsetof(Config, bind_port) == 10 &&
                  __builtin_offsetof(Config, priority) == 12 && __builtin_offsetof(Config, flags) == 16 &&
                  __builtin_offsetof(Config, announce) == 20 && __builtin_offsetof(Config, start_attempts) == 24 &&
                  __builtin_offsetof(Config, version) == 26,
              "election configuration offsets");

// Timers, in units.
constexpr u32 lease_period = 10;        // lease read while a candidate; beacon while host
constexpr u32 probe_period = 50;
constexpr u32 member_period = 100;      // member record and roster read; the host's isolation check
constexpr u32 host_missing = 150;
constexpr u32 link_limit = 20;          // an outgoing probe or incoming link without an answer
constexpr u32 claim_retry = 20;
constexpr u32 live_window = 350;        // a live member; a fresh good host probe
constexpr u32 yield_wait = 600;
constexpr u32 recent_yield = 3000;
constexpr u32 reach_window = 4800;
constexpr u32 hold_extra = 36000;       // beyond the hold time, the share's yield count returns to 0
constexpr u32 beacon_fresh = 50;

constexpr u32 rows = 64;
constexpr u32 links = 8;
// Claims older than this many terms below the host's own are removed, so the claim scan always reaches the newest.
constexpr u32 claims_kept = share::claims_kept;

// Member record flags.
constexpr u16 member_announces = 1, member_reaches_host = 2, member_heard_beacon = 4, member_yielded = 16;
// Roster flags and roster row flags.
constexpr u16 roster_isolated = 1, roster_yielding = 2;
constexpr u8 row_listed = 3, row_reaches = 4, row_yielded = 8, row_self = 7;

struct Seen {
  u32 term;
  u32 counter;
  u32 time;  // units
  u8 changed;
};

// The host's view of the candidates, from their member records.
struct CandidateTable {
  u32 count;
  u8 ids[rows][16];
  u32 sequence[rows];
  u32 seen[rows];  // units when the record last advanced
  u32 address[rows];
  u16 port[rows];
  u16 reach[rows];
  u8 priority[rows];
  u64 can_serve, reaches, yielded;
  // Rows not yet seen to advance twice: a record that was there when this host won may be an old one (written by a
  // member that is gone), and the next one may have been written before the member's first probe of the new host,
  // so neither says yet who is alive and whom they reach. advanced_once marks the rows half way.
  u64 unproven, advanced_once;
};

// The machines whose probe proof this candidate accepted, and when.
struct ReachList {
  u32 count;
  u8 ids[rows][16];
  u32 time[rows];
};

// Incoming TCP connections of other machines while this process is a candidate.
struct Links {
  auth::KeyState key;
  u8 id[16];
  u32 host_term, host_address;  // told to a hello in a moved frame
  u16 host_port;
  u64 in_use, answered, closing;
  sock::Socket sockets[links];
  u32 accepted[links];
  u32 received[links];
  u32 waiting[links];
  u8 challenge[links][16];
  u8 prober[links][16];
  u8 in[links][64];
  u8 out[links][64];
  ReachList reach;
  u32 moved_sent, probes_answered, proofs_accepted, refused;
};

// The outgoing probe.
enum : u8 { probe_idle = 0, probe_connecting = 1, probe_sent = 2 };
struct ProbeLink {
  sock::Socket socket;
  u8 state;
  u8 host_round;
  u32 started;
  u8 nonce[16];
  u8 target[16];
  u32 received;
  u8 in[64];
};

struct Counters {
  u32 beacons_sent, beacons_accepted, beacons_refused;
  u32 probes, probe_failures;
  u32 claims_won, claims_lost;
  u32 steps_down, yields, roster_writes;
  u32 leases_absent, rosters_absent, members_absent;
  u32 back_offs;
};

using Writer = void (*)(mem::Bytes bytes);

struct Election {
  auth::KeyState key;
  u8 id[16];
  store::Path share;
  Config config;
  u64 start_tick, tick;
  u32 now, wall;
  sock::Socket listener, udp;
  u32 beacon_to, address;
  u8 role;  // 0 candidate, 1 host
  u32 verdict;
  Seen seen;
  cluster::Heard host;  // the noted host
  u8 host_known, released;
  u32 highest;
  u8 standing;
  u32 stand_time;
  u32 lease_due, member_due, probe_due;
  u32 member_sequence;
  proto::Roster roster;
  u8 roster_read;
  u32 reach_round;
  Links links;
  ProbeLink probe;
  u32 good_probe;
  u8 ever_probed;
  u32 last_beacon;
  u8 ever_beacon;
  u8 yielded;
  u32 yield_time;
  // The claim check.
  u8 check_pending, ready;
  u32 probed_term;
  u32 target_term, target_address;
  u16 target_port;
  u8 target_id[16];
  // The host role.
  mem::Arena arena;
  u8 reserved;
  hub::Host* hosting;
  share::Share* share_state;
  CandidateTable* table;
  u32 term;  // the term this process serves
  u32 host_since, hold_time;
  u8 yield_condition;
  u32 yield_since;
  u8 isolated;
  u32 next_beacon, next_check;
  u32 roster_sequence;
  u32 beacon_counter, lease_written;
  u32 printed_term, printed_address;
  // Why the last claim failed as printed ("cannot claim a term: ..."), said again only when it changes.
  u32 claim_said;
  store::Path claim_said_path;
  Counters counters;
  os::RandomSource random;
  Writer writer;
  kobj::Handle quit;
  sock::PollSet poll;
  u32 meaning[sock::poll_capacity];
  fs::Listing listing;
};

// The arena of the host role: the fixed host's and the candidate table.
u64 host_arena_size();

// ---- Records.

// Each seals with the cluster key or checks the seal; a wrong length is refused before the seal is looked at.
bool seal_member(const auth::KeyState* key, const proto::Member* member, mem::Slice out);
bool open_member(const auth::KeyState* key, mem::Bytes record, proto::Member* out);
bool seal_beacon(const auth::KeyState* key, const proto::Beacon* beacon, mem::Slice out);
// A 64-byte datagram that is a sealed lease or a sealed beacon.
bool open_beacon(const auth::KeyState* key, mem::Bytes record, cluster::Heard* out);
bool seal_roster(const auth::KeyState* key, const proto::Roster* roster, mem::Slice out);
bool open_roster(const auth::KeyState* key, mem::Bytes record, proto::Roster* out);

// ---- Probe frames: probe (kind 17), reply (18), proof (19).

u32 encode_probe(const u8* nonce, const u8* prober, mem::Slice out);
// The reply to a probe frame; 0 when the frame is not a probe. The prober's id is copied out.
u32 answer_probe(const auth::KeyState* key, mem::Bytes frame, const u8* challenge, const u8* own_id, u8* prober,
                 mem::Slice out);
// True when the reply checks for this prober and target: the responder's term is set from the challenge.
bool check_probe_reply(const auth::KeyState* key, mem::Bytes frame, const u8* nonce, const u8* own_id,
                       const u8* target, u32* term, u8* challenge);
u32 proof_frame(const auth::KeyState* key, const u8* challenge, const u8* responder, const u8* prober,
                mem::Slice out);
bool check_proof(const auth::KeyState* key, mem::Bytes frame, const u8* challenge, const u8* own_id,
                 const u8* prober);

// ---- Ranks.

u32 priority_rank(u32 priority);
u32 stand_rank(bool yielded_lately, bool roster_known, u32 position, u32 count, u32 priority);
u32 rank_now(const Election* e);

// ---- The process.

// Whether another program listens on the port (a connection to the listen address, else to loopback, is taken).
bool port_held(u32 listen, u16 port);
u32 main(mem::Bytes key_path, mem::Bytes share, const u8* id, const Config* config, u64 rounds);
void init(Election* e, mem::Bytes share, const auth::KeyState* key, const u8* id, const Config* config, u64 tick);
// 0, 3 (no listener) or 5 (the self-test failed without the force flag).
u32 start(Election* e);
void run(Election* e, u64 rounds);
void step(Election* e, u64 tick, u32 wall, u32 timeout_ms);
void close(Election* e);

void candidate_step(Election* e, u32 timeout_ms);
void host_step(Election* e, u32 timeout_ms);
void decide(Election* e);
void take_host(Election* e);
void become_host(Election* e);
void isolation_step(Election* e);
void yield_host(Election* e);
void back_off(Election* e, u32 term, u32 time);
void step_down(Election* e, mem::Bytes reason);
bool no_host(const Election* e);
// A lease or beacon; noted only when its (term, counter) is newer than the seen mark.
void note_host(Election* e, const cluster::Heard* heard);
// 1 when a valid beacon above the host's own term arrived (the host must stop).
u32 take_beacons(Election* e);
void lease_step(Election* e);
void member_step(Election* e);
u32 find_address(const Election* e);
u32 server_address(mem::Bytes server);

// Records on the share.
void write_member(Election* e);
void read_roster(Election* e, u32 term);
bool read_member(const Election* e, const u8* id, u32* address, u16* port);
// The highest claim term on the share whose claim verifies (0 when none), with the claim.
u32 count_claims(Election* e, proto::Lease* claim);
void latest_claimant(Election* e);

// Reach probes.
void reach_step(Election* e);
void peer_io(Election* e, u16 returned);
// The outgoing link once the poll reported its socket: a finished connect sends the probe; a sent probe awaits the
// 64-byte reply, answers it with the proof and ends the link with the result.
void dial_host(Election* e);
void host_link_io(Election* e);
void drop_host_link(Election* e, bool ok, u32 term);
void accept_links(Election* e);
void read_link(Election* e, u32 link);
void serve_links(Election* e);
void take_link_frames(Election* e, u32 link);
void close_link(Links* l, u32 link);
void note_reach(ReachList* list, const u8* id, u32 now);
u32 reach_count(const ReachList* list, u32 now);

// Host side.
void read_members(Election* e);
void update_candidate(CandidateTable* t, const proto::Member* m, u32 host_term, u32 now);
u64 roster_live(const CandidateTable* t, const u8* own_id, u32 now);
void build_roster(const Election* e, bool yielding, proto::Roster* out);
void write_roster(Election* e, bool yielding);
void send_beacon(Election* e);

}  // namespace elect
