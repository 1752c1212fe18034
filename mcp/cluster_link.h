#pragma once
// What a tool call asks of the cluster host: the viewer link, kept between calls, that brings the host's machine
// list, one machine's data, stored history and the matches of find_process across the cluster.
#include "cluster/viewlink.h"
#include "mcp/local_tools.h"

namespace mcp {

// status 1, nothing chosen.
void reset_need(ClusterView* view);

// The link to the cluster host: its arena and the areas every need carves from it. Made by connect_cluster and
// kept between calls while the host answers, so that a call does not wait for a handshake and the host's first list;
// close_cluster tears it down.
struct ClusterCall {
  mem::Arena arena;
  u8 open;
  viewlink::ViewerConn* conn;
  viewer::Remote* remote;
  model::ProcTable* table;
  proclist::ListState* list;
  viewer::HistView* view;
  viewer::NameFilter* names;
  FoundProcesses* found;
  u32 lists_mark;  // the link's list count when it was last seen not open: a list above it came on this session
  u64 last_used;   // ms, when the last call that used the link ended
  cluster::PublishSettings target;  // what the link was aimed at
};
// The cluster arena of a need: its areas and 64 bytes for each, and 64 more.
u64 link_size(u8 need);
// The arena of a kept link: every need's areas at once, with room for a history answer.
u64 kept_link_size();
// A kept link no call used for this long is closed, and the server waits for input without waking.
constexpr u32 kept_idle_ms = 300000;
// After an answer: a link that is no longer open is closed, an open one is kept for the next call.
void keep_cluster(ClusterCall* call, u64 now);
// Waits until standard input has bytes (or ends) while a link is kept: the link is stepped once a second, which
// takes the host's lists and sends its pings. The link is closed when it fails or stayed unused for kept_idle_ms;
// from then on the read alone waits.
void wait_input(ClusterCall* call, u64 input);
// One step of the link, then a sleep until it next needs to act: at most 50 ms, never past the deadline.
void wait_link(viewlink::ViewerConn* conn, u64 deadline);
// True when the link is open and the host's machine list arrived; the view's status says why not.
bool connect_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need);
// cluster_ok with the chosen row and name in the view, cluster_unknown_machine or cluster_ambiguous.
u8 resolve_machine(ClusterView* view, const json::Document* doc, mem::Bytes line, u16 arguments);
// True when the machine's inventory, a sample and (when asked) its process rows arrived within the time-out.
bool ask_machine(ClusterCall* call, ClusterView* view, const u8* id, bool with_processes, u32 timeout);
// The history the tool asks for, finer tiers tried while a tier holds no buckets; sets the view's status.
void ask_history(ClusterCall* call, ClusterView* view, const ServerOptions* options, u8 need,
                 const json::Document* doc, mem::Bytes line, u16 arguments);
void close_cluster(ClusterCall* call);
// The newest time slot a machine's stored history holds. The ask folds a tier's buckets of [start, start + span)
// into 60 rows and answers the newest row that holds one, viewer::outside when none does, row_late when the host
// did not answer. Recent slots are asked first, finer tiers before coarser ones; a row wider than the tier's slot is
// narrowed by asking for its own range.
constexpr u32 row_late = 0xFFFFFFFF;
using RowAsk = u32 (*)(void* source, u8 tier, u32 start, u32 span);
constexpr u8 slot_none = 0, slot_found = 1, slot_late = 2;
u8 newest_slot(RowAsk ask, void* source, u32 host_clock, u32* slot);
// For a stale or offline chosen machine: how long the host had heard nothing of it, from its newest stored slot.
void ask_silence(ClusterCall* call, ClusterView* view, const ServerOptions* options);
// find_process without a machine: this machine's matches, then each online or stale machine's within the budget.
void find_in_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options,
                     mem::Bytes name);
// What a need from 1 to 7 asks of the cluster host, into the view; the call keeps the link until close_cluster.
void gather_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need,
                    const json::Document* doc, mem::Bytes line, u16 arguments);

}  // namespace mcp
