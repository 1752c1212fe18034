#pragma once
// The receiving end of a cluster link: reads the host's machine list, peers and update tables, watches one
// machine's live data into a remote copy, and asks for stored history. Like the publishing link it owns no socket:
// operations take the time in milliseconds and received bytes, frames to send wait in a small out buffer, and the
// receive buffer is the owner's. It shares the publishing link's states, status codes, back-off, handshake and lease
// rules; it has role 2, no machine id of its own and no preferred host.
#include "base/mem.h"
#include "wire/cluster.h"
#include "wire/peer.h"
#include "wire/proto.h"
#include "history/hist.h"
#include "history/ptop.h"
#include "history/store.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/ring.h"

namespace viewer {

constexpr u32 receive_room = 20568;
constexpr u32 history_room = 57400;
constexpr u32 send_room = 176;
constexpr u32 stage_end = send_room - proto::tag_size;
constexpr u32 hist_rows = 60;
constexpr u32 outside = hist_rows;
constexpr u8 start_flags = proto::hello_temps;
constexpr u32 none_row = 0xFFFFFFFFu;

// One watched machine's copy, owned by the caller: its inventory and process rows as received, and the machine
// record the views draw, fed like this computer's own (ring, temperatures, counts and names).
struct Remote {
  proto::Inventory inventory;  // the last one taken
  proto::ProcRecord procs;     // as kind 8 frames applied it
  machine::Machine machine;
  u32 inventories, sample_count, proc_frames;
};
constexpr u64 remote_bytes = 331552;
static_assert(sizeof(Remote) == remote_bytes);

constexpr u32 filter_text_max = 32;
constexpr u32 filter_matches_max = 8;
constexpr u32 filter_names_max = 4096;

// The process names and top rows that come with a history answer, and how much the processes of one name weighed,
// row by row. Owned by the caller.
struct NameFilter {
  u32 text_length;  // at most 32
  u32 text_hash;
  u8 text[filter_text_max];
  u32 tops_taken;
  u32 matched_count;  // at most 8
  u32 matched[filter_matches_max];
  u16 most[60][2];    // per row, the highest processor and memory values of a matched process
  u16 matches[60];    // per row, the top rows in which a matched process stood
  ptop::Row tops[60]; // per row, the merged top rows
  u32 names_count;    // at most 4,096
  u32 overflow;       // distinct names beyond that, counted and not kept
  u32 name_hashes[filter_names_max];
  u8 names[filter_names_max][ptop::name_bytes];
};
constexpr u64 names_bytes = 154624;
static_assert(sizeof(NameFilter) == names_bytes);

// One stored-history view: 60 rows over [start, start + span) of two measures, owned by the caller.
struct HistView {
  u32 start, span;
  u32 rows_taken, frames_taken;
  u8 tier, scope, asked, done;
  u8 measure[2];
  u8 id[proto::id_size];
  u16 count[hist_rows];
  u16 min[2][hist_rows];  // 0xFFFF when empty
  u16 max[2][hist_rows];
  u64 sum[2][hist_rows];
  NameFilter* filter;  // none when no names were asked for
};
constexpr u64 hist_bytes = 1608;
static_assert(sizeof(HistView) == hist_bytes);

struct ViewerLink {
  u8 state;  // as publish::State
  u8 target_kind;
  u8 status;
  u8 lease_wanted;
  u8 watching;
  u8 watched_known;  // the watched machine's inventory arrived on this connection
  u8 hello_flags;
  u16 refuse_reason;
  u32 term, lease_term, lease_counter;
  u32 target_address;
  u16 target_port;
  u32 backoff;
  u64 next_try, state_since, opened_at, last_send;
  u32 dials, opens, failures, lists, peer_frames, update_frames, dropped;
  u32 in_used, out_used;
  u8 watched_id[proto::id_size];
  peer::PeerState peer;
  Remote* watched;        // none when not watching
  HistView* view;         // the current history view; none
  hist::Table* pending;   // the open stored-history request; none
  proto::MachineList list;
  proto::Peers peers;
  proto::Updates updates;
  u8* in;                 // the owner's receive buffer
  u32 in_length;
  u8 out[send_room];
};

void init(ViewerLink* link, const auth::KeyState* key, u8* receive, u32 length);
void want_peers(ViewerLink* link);
void want_updates(ViewerLink* link);
void restart(ViewerLink* link);
void fixed(ViewerLink* link, u32 address, u16 port, u64 now);
void share(ViewerLink* link, u64 now);
void stop(ViewerLink* link);
bool due(const ViewerLink* link, u64 now);
bool ready(const ViewerLink* link);
void dialing(ViewerLink* link, u64 now);
u32 wait_ms(const ViewerLink* link, u64 now);
bool idle(ViewerLink* link, u64 now);
mem::Bytes out_data(const ViewerLink* link);
void sent(ViewerLink* link, u64 n);
mem::Slice in_room(ViewerLink* link);
u32 kind_of(mem::Bytes frame);
void failed(ViewerLink* link, u64 now, u32 random, u8 status);
bool connected(ViewerLink* link, const u8* nonce, u32 nonce_length, bool nonce_ok, u64 now);
// True when the driver must close the socket (the lease named another host while linked).
bool lease(ViewerLink* link, bool readable, const cluster::Heard* record, u64 now, u32 random);
mem::Slice stage(ViewerLink* link);
bool commit(ViewerLink* link, u32 n, u64 now);
bool received(ViewerLink* link, u32 n, u64 now);
// A received frame is 1 byte up to the receive buffer's length.
bool fits_in(const ViewerLink* link, u32 length);

// Requests.
bool ask(ViewerLink* link, u32 kind, const u8* payload, u32 length, u64 now);
bool ask_own(ViewerLink* link, u32 kind, u64 now);
bool watch(ViewerLink* link, const u8* id, Remote* model, u64 now);
bool unwatch(ViewerLink* link, u64 now);
bool forget(ViewerLink* link, const u8* id, u64 now);
bool update_now(ViewerLink* link, const u8* id, u64 now);
u32 find(const ViewerLink* link, const u8* id);
mem::Bytes list_name(const ViewerLink* link, u32 n);
u32 update_row(const ViewerLink* link, const u8* id);
// Clears the machine record (its ring included), the process record's head and the three counts.
void reset_remote(Remote* remote);
// Inventory name n (0..46) up to its first zero byte; empty past the last.
mem::Bytes name_of(const proto::Inventory* inventory, u32 n);
// Fills a machine record from an inventory: capped counts, the part names, the hardware values; then rehash.
void take_inventory(machine::Machine* m, const proto::Inventory* inventory);
// Applies a process record to a process table: its rows kept or added by process id and start key, the rest swept,
// the columns and flags set, the totals and table flags copied (truncated added when a row found no room).
void take_procs(const proto::ProcRecord* record, model::ProcTable* table);

// History views and stored-history requests.
void hist_clear(HistView* view);
// Fills the view without a name filter and clears it.
void hist_start(HistView* view, u32 start, u32 span, u8 measure1, u8 measure2, u8 tier, u8 scope, const u8* id);
// Sets the view's name filter (the text cut to 32 bytes) and clears the view.
void hist_want(HistView* view, NameFilter* filter, const u8* text, u32 length);
bool history(ViewerLink* link, HistView* view, u64 now);
bool ask_history(ViewerLink* link, u64 now);
bool ask_rows(ViewerLink* link, hist::Table* request, u64 now);
void drop_rows(ViewerLink* link);
u32 hist_row(u32 time, u32 start, u32 span);
u32 field_value(u32 measure, u32 value);
void hist_fold(HistView* view, const store::Bucket* bucket);
bool hist_mine(const ViewerLink* link, mem::Bytes frame);
void names_clear(NameFilter* filter);
u8 fold_case(u8 c);
// The name up to its first zero has the text's length and equal bytes, letters compared without case.
bool name_is(const u8* name, const u8* text, u32 length);
void take_name(NameFilter* filter, const u8* name);
bool matched(const NameFilter* filter, u32 hash);
void take_tops(NameFilter* filter, u32 slot, const ptop::Row* row);

// Frame handlers of received(): each false when the link must close.
bool on_hello(ViewerLink* link, mem::Bytes frame);
bool on_proof(ViewerLink* link, mem::Bytes frame, u64 now);
bool on_open(ViewerLink* link, mem::Bytes frame);
bool refused(ViewerLink* link, mem::Bytes frame);
bool on_watched(ViewerLink* link, mem::Bytes frame);
bool on_buckets(ViewerLink* link, mem::Bytes frame);
// Serves the pending stored-history request with a kind 13 frame meant for it: its rows folded in, its row count
// grown and, without the more-parts flag, answered. False when a row cannot be decoded.
bool rows_fold(ViewerLink* link, mem::Bytes frame, u32 count, u32 more);
bool on_rows(ViewerLink* link, mem::Bytes frame);
bool on_energy(ViewerLink* link, mem::Bytes frame);

}  // namespace viewer
