#pragma once
// The cluster host's server: the centre of a cluster. It takes TCP connections from members (publishers, viewers,
// update links), runs the cluster key handshake with each, keeps every publishing machine's newest inventory,
// sample, process table and temperatures, forwards them re-sealed to the viewers that watch, sends every viewer the
// machine list once a second, relays update orders, holds the share through its lease and writes every machine's
// history into the share's ring files, and answers history asks from them a frame at a time.
//
// One process, one loop, one poll per round; all memory comes from one arena carved at start. Time inside the host
// is counted in 100 ms units since its start ("host units").
//
// This module holds the member and machine tables, the slots with their admission and buffers, and the sessions:
// the handshake, the messages and what is forwarded. The process and its rounds are in hubloop, the share duties
// in hubshare.
#include "base/mem.h"
#include "wire/hub_wire.h"
#include "wire/auth.h"
#include "wire/proto.h"
#include "history/hstore.h"
#include "history/ptop.h"
#include "sampling/ring.h"

namespace hub {

// Flags of the host: refuse to start while another host holds a live lease, go on although the share's self-test
// fails, serve the web dashboard beside the member port.
constexpr u32 flag_refuse_if_live = 1, flag_force_share = 2, flag_web = 16;
// Flags an election sets: the member listener is the election's (closing the host leaves it open), and every
// accepted connection is closed at once.
constexpr u32 flag_election_listener = 4, flag_no_members = 8;

// The dashboard's port, two above the member port: port + 2 when flags has flag_web and port is 1 to 65533, else 0.
u16 web_port(u16 port, u32 flags);

// ---- The member and machine tables.

constexpr u32 slots = 96;
constexpr u32 buffer_size = 65536;
constexpr u32 machines = 64;
constexpr u32 none = 0xFFFFFFFF;
constexpr u8 no_machine = 255;
// Connections that have not finished the handshake: in all, from one address and from one /24 network. A browser's
// link through the dashboard counts apart, with bounds of its own, so that neither kind can use up the other's.
constexpr u32 handshakes_max = 32;
constexpr u32 handshakes_per_address = 8;
constexpr u32 handshakes_per_net = 16;
constexpr u32 relay_handshakes_max = 8;
constexpr u32 relay_handshakes_per_address = 4;
constexpr u32 relay_handshakes_per_net = 8;
// Host units a new connection has for its whole hello (checked once a second, so it goes after 2 to 3 s), and for
// the rest of the handshake.
constexpr u32 hello_units = 20;
constexpr u32 handshake_units = 100;
// What room_for answers when a connection may be admitted as it is.
constexpr u32 room_free = 0xFFFFFFFE;
// Connections accepted in one round at most: the members already in the handshake get their turn in between.
constexpr u32 accepts_per_round = slots;
constexpr u32 update_links_max = 4;
// The room one whole buckets frame of 1,024 buckets takes: header, head, buckets, tag.
constexpr u32 answer_room = 16 + 24 + 1024 * 56 + 16;

// Slot sets: a pair of words over the 96 slots.
enum SlotSet : u32 {
  set_live,
  set_stage0,      // the hello was accepted, the proof is awaited
  set_stage1,      // the session is open
  set_closing,     // nothing more is read or dispatched
  set_publisher,
  set_viewer,
  set_shut,        // a send shutdown was issued
  set_close_due,   // the socket may now be closed
  set_history,     // a history ask waits for its answer
  set_update_link,
  set_chunk_asked,
  set_wants_peers,
  set_wants_temps,
  set_wants_updates,
  set_relay,       // a browser's link through the dashboard
  slot_sets,
};
// Session stages: the two stage bits read as a number.
enum : u32 { stage_new = 0, stage_hello = 1, stage_open = 2 };
// Hub flags.
constexpr u32 hub_serving = 1, hub_share_attached = 2, hub_host_id = 4;

struct Slot {
  u32 admitted;   // host units
  u32 address;    // peer IPv4
  u32 activity;   // host units of the last receive, admission, closing mark or shutdown
  u8 machine;     // of a publishing slot, 255 none
  u8 watched;     // the machine a viewer watches, 255 none
  u8 role;        // the hello's role byte
  u64 receive_counter;
  u64 send_counter;
  u32 history_asks;
  proto::HistoryAsk history;
  proto::UpdateAsk update;
  u8 hello[40];
  u8 challenge[32];
  auth::KeyState session;
  u32 in_fill;
  u32 out_fill;
  alignas(64) u8 in[buffer_size];
  alignas(64) u8 out[buffer_size];
};

// Machine sets, one word each.
enum MachineSet : u32 {
  m_inventory,
  m_sample,
  m_procs,
  m_temps,
  m_connected,
  m_stale,
  m_offline,
  m_takes_orders,    // hello flag 0x04
  m_no_self_update,  // hello flag 0x08
  m_inventory_changed,  // to be written to the share
  machine_sets,
};

// Update phases of a machine.
enum : u8 { phase_none = 0, phase_asked = 1, phase_restarting = 5, phase_done = 6, phase_failed = 7, phase_current = 8 };

struct Machines {
  u32 count;
  u64 sets[machine_sets];
  u32 last_sample[machines];  // host units
  u8 slot[machines];          // 255 when not connected
  u32 address[machines];      // the publisher's IPv4
  u8 phase[machines];
  u8 reason[machines];
  u32 last_order[machines];   // host units, all ones for none
  u8 no_binary_reason;  // what "the host has no binary yet" reads as: 0 itself, or a reason that says why
  u32 orders_received;
  u32 orders_sent;
  u8 ids[machines][16];
  proto::Summary summary[machines];
  proto::Inventory inventory[machines];
  ring::Row sample[machines];
  proto::ProcRecord procs[machines];
  u8 temps[machines][proto::temps_block_size];
};

struct Counters {
  u64 frames_sent;
  u32 bad_tags;
  u32 failed_dispatch;
  u32 not_queued;
  u32 moved;
  u32 refused_admissions;
  u32 probes;
  u32 chunks;
  u32 frames_taken;
  u32 bad_frames;
  u32 refusals[7];  // by reason 1 to 6
};

struct Hub {
  auth::KeyState key;
  u32 term;
  u32 highest_term;
  u16 version[3];
  u32 flags;
  u32 moved_term;
  u32 moved_address;
  u16 moved_port;
  u64 sets[slot_sets][2];
  Machines m;
  proto::Inventory scratch_inventory;
  proto::Backfill scratch_backfill;
  proto::MachineList list;
  proto::Peers peers;
  proto::Updates updates;
  hstore::Store history;
  ptop::Book tops;
  Counters counters;
  u8 host_id[16];
  alignas(64) Slot slot[slots];
};

void init(Hub* hub, const auth::KeyState* key, u32 term, const u16* version);
void set_term(Hub* hub, u32 term);
void set_host_id(Hub* hub, const u8* id);

// Slot operations.
u32 is_in(const Hub* hub, u32 set, u32 slot);
void put_in(Hub* hub, u32 set, u32 slot, bool on);
u32 stage_of(const Hub* hub, u32 slot);
// Whether a new connection from the address (a browser's link with relay set) finds room: room_free, or the slot
// to evict first, or none. When a bound is reached (the slots, the kind's handshakes in all, from the /24 network,
// from the address), the place goes to the newcomer at the cost of the group's slot that proved least: one already
// closing, else one whose hello is incomplete, else one waiting for its proof; the oldest of those. Open sessions
// are never evicted.
u32 room_for(const Hub* hub, u32 address, u32 relay);
// True when a member connection from the address may be admitted without evicting anyone.
bool may_accept(const Hub* hub, u32 address);
// A slot for a member connection, or for a browser's link with relay set; none when there is no room as it is.
u32 admit(Hub* hub, mem::Bytes challenge, u32 address, u32 now, u32 relay = 0);
void free_slot(Hub* hub, u32 slot);
void take_frames(Hub* hub, u32 slot, u32 received, u32 now, u32 wall);
u32 send_frame(Hub* hub, u32 slot, u32 length, u32 now);
u32 out_free(const Hub* hub, u32 slot);
void consume_out(Hub* hub, u32 slot, u32 n);
mem::Slice out_room(Hub* hub, u32 slot);
// Update chunks for the Linux builds: the first slot from start round the 96 that is open, live, has a chunk asked
// and is not closing (none when none); and the kind 24 frame that answers its ask, queued (a frame that does
// not fit closes the slot, like any frame that cannot be queued), the ask cleared and counted, and the frames held
// back behind it run. 1 when the slot was waiting for it, else 0 and nothing sent.
u32 next_update_member(const Hub* hub, u32 start);
u32 send_chunk(Hub* hub, u32 slot, const proto::UpdateChunk* chunk, mem::Bytes data, u32 now, u32 wall);
void mark_closing(Hub* hub, u32 slot, u32 now);
void refuse(Hub* hub, u32 slot, u16 reason, u32 now);
bool kind_allowed(u32 kind, u8 role);
// 1 when dispatched, 0 when the message failed (the slot then closes).
u32 handle_message(Hub* hub, u32 slot, mem::Bytes frame, u32 now, u32 wall);
// 0 nothing, 1 ordered, 2 marked up to date.
u32 forward_update_now(Hub* hub, u32 machine, u32 now);
void forget(Hub* hub, u32 machine);
void upkeep(Hub* hub, u32 now);
// Answers every pending update ask with "no binary": what a hub without a Linux build service says.
void answer_update_asks(Hub* hub, u32 now, u32 wall);
void update_summary(Hub* hub, u32 machine);
// Members whose session is open.
u32 live_count(const Hub* hub);
// Machine set bits.
u32 m_has(const Hub* hub, u32 set, u32 machine);
void m_put(Hub* hub, u32 set, u32 machine, bool on);
// The out room of a slot less a tag's 16 bytes in an open session, so a frame that fills it still seals.
mem::Slice frame_room(Hub* hub, u32 slot);

}  // namespace hub
