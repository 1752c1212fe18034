// The kept viewer link to the cluster host and what each need of a tool call asks of it.
#include "mcp/cluster_link.h"

#include "base/bits.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "cluster/publish.h"
#include "mcp/cluster_tools.h"
#include "platform/os.h"

namespace mcp {

void reset_need(ClusterView* view) {
  __builtin_memset(view, 0, sizeof *view);
  view->status = cluster_unconfigured;
  view->last_event = 7;
  view->chosen = no_machine;
}

namespace {

constexpr u64 conn_bytes = sizeof(viewlink::ViewerConn);

bool wants_machine(u8 need) {
  return need == need_machine_usage || need == need_machine_processes || need == need_find_named ||
         need == need_find_all;
}
bool wants_table(u8 need) {
  return need == need_machine_processes || need == need_find_named || need == need_find_all;
}
bool wants_history(u8 need) { return need == need_history || need == need_process_history; }

}  // namespace

u64 link_size(u8 need) {
  u64 receive = wants_history(need) ? viewer::history_room : viewer::receive_room;
  u64 size = conn_bytes + 64 + receive + 64;
  if (wants_machine(need)) size += sizeof(viewer::Remote) + 64;
  if (wants_table(need)) size += sizeof(model::ProcTable) + 64 + sizeof(proclist::ListState) + 64;
  if (wants_history(need)) size += sizeof(viewer::HistView) + 64;
  if (need == need_process_history) size += sizeof(viewer::NameFilter) + 64;
  if (need == need_find_all) size += sizeof(FoundProcesses) + 64;
  return size + 64;
}

void wait_link(viewlink::ViewerConn* conn, u64 deadline) {
  u64 now = os::mcp_clock_ms();
  u32 wait = viewlink::tick(conn, now, 50);
  now = os::mcp_clock_ms();
  u64 left = deadline > now ? deadline - now : 0;
  u64 nap = wait < left ? wait : left;
  if (nap > 0) os::sleep_ms(static_cast<u32>(nap));
}

namespace {

// The cluster settings and key: true with a usable key in the state; else the view's status says what is missing.
bool configured(ClusterView* view, const ServerOptions* options, cluster::PublishSettings* settings,
                auth::KeyState* key) {
  cluster::read_publish(options->publish_path, settings);
  view->own_id_known = settings->id_present;
  __builtin_memcpy(view->own_id, settings->id, sizeof view->own_id);
  if (settings->target_kind == cluster::target_invalid) {
    view->status = cluster_unconfigured;
    return false;
  }
  cluster::KeyWork work;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(options->key_path, &work, key, &verdict);
  cluster::wipe_key_buffer(&work);
  if (loaded == cluster::key_loaded) return true;
  view->status = loaded == cluster::key_unreadable ? cluster_no_key : cluster_key_refused;
  return false;
}

}  // namespace

namespace {

bool same_target(const cluster::PublishSettings* a, const cluster::PublishSettings* b) {
  return a->target_kind == b->target_kind && a->address == b->address && a->port == b->port &&
         a->beacon_port == b->beacon_port && mem::eq(cluster::target_text(a), cluster::target_text(b));
}

// The kept link serves this call when it is aimed where the settings say, with the same key, and is still open after
// taking what the host sent while no call ran.
bool kept_serves(ClusterCall* call, const cluster::PublishSettings* settings, const auth::KeyState* key) {
  if (!call->open) return false;
  viewer::ViewerLink* link = &call->conn->link;
  if (!same_target(&call->target, settings) ||
      __builtin_memcmp(&link->peer.cluster_key, key, sizeof(auth::KeyState)) != 0) {
    return false;
  }
  viewlink::tick(call->conn, os::mcp_clock_ms(), 0);
  return viewer::ready(link);
}

// Reserves the arena, makes the connection in it and carves every need's areas; false when any does not fit.
bool open_link(ClusterCall* call, const auth::KeyState* key) {
  if (!mem::arena_init(&call->arena, kept_link_size())) return false;
  call->open = 1;
  call->conn = viewlink::create(&call->arena, key, viewer::history_room);
  mem::Arena* a = &call->arena;
  return call->conn != nullptr && carve(a, &call->remote) && carve(a, &call->table) && carve(a, &call->list) &&
         carve(a, &call->view) && carve(a, &call->names) && carve(a, &call->found);
}

// True once the open session brought a machine list. A list counted while the link was not open came on an earlier
// session, so the mark moves up to the count whenever the link is seen not open.
bool listed(ClusterCall* call) {
  const viewer::ViewerLink* link = &call->conn->link;
  if (!viewer::ready(link)) {
    call->lists_mark = link->lists;
    return false;
  }
  return link->lists > call->lists_mark;
}

}  // namespace

namespace {

// The host's clock in ms at a time of this server's clock: its time from the accept, carried forward for a link
// kept since then.
u64 host_ms(const viewer::ViewerLink* link, u64 at) {
  u64 since = link->opened_at != publish::never && at > link->opened_at ? at - link->opened_at : 0;
  return u64{link->peer.host_value} * 1000 + since;
}

}  // namespace

u64 kept_link_size() {
  return conn_bytes + 64 + viewer::history_room + 64 + sizeof(viewer::Remote) + 64 + sizeof(model::ProcTable) + 64 +
         sizeof(proclist::ListState) + 64 + sizeof(viewer::HistView) + 64 + sizeof(viewer::NameFilter) + 64 +
         sizeof(FoundProcesses) + 64 + 64;
}

bool connect_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need) {
  (void)need;  // a kept link carries every need's areas
  cluster::PublishSettings settings;
  auth::KeyState key;
  bool ready = configured(view, options, &settings, &key);
  // A share is followed to the host its beacons name, as the window follows it.
  if (ready && settings.target_kind == cluster::target_path && options->share_beacon) {
    settings = options->share_beacon(&settings);
  }
  if (!ready || !kept_serves(call, &settings, &key)) close_cluster(call);
  if (!ready || call->open) {
    // the view says what is missing, or the kept link serves
  } else if (!local->network_started && sock::startup() != 1) {
    view->status = cluster_unreachable;
    ready = false;
  } else {
    local->network_started = 1;
    ready = open_link(call, &key);
    if (ready) {
      viewlink::set_target(call->conn, &settings, os::mcp_clock_ms());
      call->target = settings;
    } else {
      close_cluster(call);
      view->status = cluster_no_memory;
    }
  }
  auth::wipe(&key, sizeof key);
  if (!ready) return false;
  u64 deadline = os::mcp_clock_ms() + options->connect_wait;
  const viewer::ViewerLink* link = &call->conn->link;
  while (!listed(call) && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
  view->host_clock = static_cast<u32>(bits::min64(host_ms(link, os::mcp_clock_ms()) / 1000, 0xFFFFFFFFull));
  const u16* v = link->peer.host_version;
  view->host_version = u32{v[0]} * 1000000 + u32{v[1]} * 1000 + v[2];
  view->machines = &link->list;
  if (!listed(call)) {
    view->status = cluster_no_answer;
    view->timeout_ms = options->connect_wait;
    view->last_event = static_cast<u8>(link->status != 0 ? link->status : u8{cluster::status_no_answer});
    return false;
  }
  view->status = cluster_ok;
  return true;
}

u8 resolve_machine(ClusterView* view, const json::Document* doc, mem::Bytes line, u16 arguments) {
  u8 text[64];
  u64 n = machine_argument(doc, line, arguments, text);
  mem::Bytes wanted(text, n < sizeof text ? n : sizeof text);
  u8 id[16];
  bool by_id = parse_id(wanted, id);
  const proto::MachineList* l = view->machines;
  u32 id_row = no_machine, name_row = no_machine, named = 0;
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (by_id && __builtin_memcmp(l->ids[i], id, 16) == 0) id_row = i;
    if (equals_nocase(machine_name(l->names[i]), wanted)) {
      name_row = i;
      ++named;
    }
  }
  u32 chosen = id_row != no_machine ? id_row : named == 1 ? name_row : no_machine;
  if (chosen == no_machine) return named > 1 ? cluster_ambiguous : cluster_unknown_machine;
  view->chosen = static_cast<u8>(chosen);
  mem::Bytes name = machine_name(l->names[chosen]);
  view->name_length = static_cast<u8>(name.len);
  __builtin_memcpy(view->name, name.ptr, name.len);
  return cluster_ok;
}

bool ask_machine(ClusterCall* call, ClusterView* view, const u8* id, bool with_processes, u32 timeout) {
  viewer::ViewerLink* link = &call->conn->link;
  viewer::Remote* remote = call->remote;
  viewer::reset_remote(remote);
  u64 now = os::mcp_clock_ms();
  bool sent = viewer::watch(link, id, remote, now);
  u64 deadline = now + timeout;
  auto complete = [&] {
    return remote->inventories > 0 && remote->sample_count > 0 && (!with_processes || remote->proc_frames > 0);
  };
  while (sent && !complete() && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
  bool unwatched = viewer::unwatch(link, os::mcp_clock_ms());
  viewlink::tick(call->conn, os::mcp_clock_ms(), 0);
  view->data_time = os::mcp_clock_ms();
  view->machine = &remote->machine;
  if (with_processes) {
    model::table_init(call->table);
    viewer::take_procs(&remote->procs, call->table);
    proclist::init(call->list);
    view->table = call->table;
    view->list = call->list;
  }
  return sent && unwatched && complete();
}

void ask_history(ClusterCall* call, ClusterView* view, const ServerOptions* options, u8 need,
                 const json::Document* doc, mem::Bytes line, u16 arguments) {
  u8 metric = 0, range = 1, cluster = 0;
  metric_range_arguments(doc, line, arguments, &metric, &range, &cluster);
  u8 id[16] = {};
  if (!cluster) {
    view->status = resolve_machine(view, doc, line, arguments);
    if (view->status != cluster_ok) return;
    __builtin_memcpy(id, view->machines->ids[view->chosen], sizeof id);
  }
  u8 name[32] = {};
  u64 name_length = need == need_process_history ? process_name_argument(doc, line, arguments, name) : 0;
  u32 span = range_seconds(range);
  u32 start = view->host_clock > span ? view->host_clock - span : 0;
  viewer::HistView* hist = call->view;
  viewer::ViewerLink* link = &call->conn->link;
  view->timeout_ms = options->history_wait;
  for (i32 tier = tier_of(range); tier >= 0; --tier) {
    viewer::hist_start(hist, start, span, history_column(metric, 0), history_column(metric, 1),
                       static_cast<u8>(tier), cluster ? 1 : 0, id);
    if (need == need_process_history) viewer::hist_want(hist, call->names, name, static_cast<u32>(name_length));
    u64 deadline = os::mcp_clock_ms() + options->history_wait;
    viewer::history(link, hist, os::mcp_clock_ms());
    while (!hist->done && os::mcp_clock_ms() < deadline) wait_link(call->conn, deadline);
    view->tier = static_cast<u8>(tier);
    if (!hist->done) break;
    if (hist->rows_taken != 0) break;
  }
  link->view = nullptr;  // nothing is asked again on this link
  view->hist = hist;
  view->names = need == need_process_history ? call->names : nullptr;
  view->status = hist->done ? cluster_ok : cluster_history_late;
}

namespace {

// The newest slot of a tier in [lo, hi), both whole slots: a range of up to 60 slots is asked as 60 rows of one
// slot each; a longer one as 60 wider rows, and then the newest of them as a range of its own.
u8 newest_in(RowAsk ask, void* source, u8 tier, u64 lo, u64 hi, u32* slot) {
  u64 len = tier_row_seconds(tier);
  for (u32 step = 0; step < 8 && lo < hi; ++step) {
    u64 start = lo, span = hi - lo;
    if (span <= viewer::hist_rows * len) {
      span = viewer::hist_rows * len;
      start = hi > span ? hi - span : 0;
    }
    u32 row = ask(source, tier, static_cast<u32>(start), static_cast<u32>(span));
    if (row == row_late) return slot_late;
    if (row >= viewer::hist_rows) return slot_none;
    u64 first = start + u64{row} * span / viewer::hist_rows;
    if (span == viewer::hist_rows * len) {
      *slot = static_cast<u32>(first);
      return slot_found;
    }
    u64 end = start + (u64{row + 1} * span + viewer::hist_rows - 1) / viewer::hist_rows;
    lo = first - first % len;
    hi = end + (len - end % len) % len;
  }
  return slot_none;
}

struct SilenceAsk {
  ClusterCall* call;
  const u8* id;
  u32 wait;
};

u32 ask_newest_row(void* source, u8 tier, u32 start, u32 span) {
  SilenceAsk* s = static_cast<SilenceAsk*>(source);
  viewer::HistView* hist = s->call->view;
  viewer::ViewerLink* link = &s->call->conn->link;
  viewer::hist_start(hist, start, span, 0, 255, tier, 0, s->id);
  u64 deadline = os::mcp_clock_ms() + s->wait;
  bool sent = viewer::history(link, hist, os::mcp_clock_ms());
  while (sent && !hist->done && os::mcp_clock_ms() < deadline) wait_link(s->call->conn, deadline);
  link->view = nullptr;
  if (!hist->done) return row_late;
  for (u32 r = viewer::hist_rows; r-- > 0;) {
    if (hist->count[r] != 0) return r;
  }
  return viewer::outside;
}

}  // namespace

u8 newest_slot(RowAsk ask, void* source, u32 host_clock, u32* slot) {
  for (u8 tier = 0; tier <= 2; ++tier) {
    u64 len = tier_row_seconds(tier);
    u64 hi = host_clock - host_clock % len + len;  // the end of the slot that holds now
    u64 kept = u64{store::capacity(tier)} * len;
    u64 recent = hi > viewer::hist_rows * len ? hi - viewer::hist_rows * len : 0;
    u8 found = newest_in(ask, source, tier, recent, hi, slot);
    if (found == slot_none) found = newest_in(ask, source, tier, hi > kept ? hi - kept : 0, recent, slot);
    if (found != slot_none) return found;
  }
  return slot_none;
}

void ask_silence(ClusterCall* call, ClusterView* view, const ServerOptions* options) {
  SilenceAsk source = {call, view->machines->ids[view->chosen], options->history_wait};
  u32 slot = 0;
  if (newest_slot(ask_newest_row, &source, view->host_clock, &slot) != slot_found) return;
  u64 host = host_ms(&call->conn->link, view->data_time);
  view->silence_ms = host > u64{slot} * 1000 ? host - u64{slot} * 1000 : 0;
  view->silence_known = 1;
}

void gather_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options, u8 need,
                    const json::Document* doc, mem::Bytes line, u16 arguments) {
  if (!connect_cluster(call, view, local, options, need)) return;
  if (need == need_find_all) {
    u8 name[260];
    u64 n = name_argument(doc, line, arguments, name);
    find_in_cluster(call, view, local, options, mem::Bytes(name, n));
    return;
  }
  if (need == need_history || need == need_process_history) {
    ask_history(call, view, options, need, doc, line, arguments);
    return;
  }
  if (need == need_machine_usage || need == need_machine_processes || need == need_find_named) {
    view->status = resolve_machine(view, doc, line, arguments);
    if (view->status != cluster_ok) return;
    bool processes = need != need_machine_usage;
    view->timeout_ms = options->machine_wait;
    if (!ask_machine(call, view, view->machines->ids[view->chosen], processes, options->machine_wait)) {
      view->status = cluster_machine_silent;
    } else if (u8 state = view->machines->summaries[view->chosen].state; state == 1 || state == 2) {
      ask_silence(call, view, options);
    }
  }
}

void find_in_cluster(ClusterCall* call, ClusterView* view, LocalData* local, const ServerOptions* options,
                     mem::Bytes name) {
  FoundProcesses* set = call->found;
  __builtin_memset(set, 0, sizeof *set);
  if (local->table_held) {
    filter_list(local->list, local->table, name);
    found_add_list(set, this_machine_index, local->table, local->list);
  }
  const proto::MachineList* l = view->machines;
  u64 end = os::mcp_clock_ms() + options->find_budget;
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (view->own_id_known && __builtin_memcmp(view->own_id, l->ids[i], 16) == 0) continue;
    if (l->summaries[i].state >= 2) continue;
    u64 now = os::mcp_clock_ms();
    u64 left = end > now ? end - now : 0;
    u32 wait = static_cast<u32>(left < options->find_machine_cap ? left : options->find_machine_cap);
    if (wait == 0 || !ask_machine(call, view, l->ids[i], true, wait)) {
      ++view->unanswered;
      continue;
    }
    ++view->answered;
    filter_list(call->list, call->table, name);
    found_add_list(set, static_cast<u8>(i), call->table, call->list);
  }
  view->found = set;
  view->status = cluster_ok;
}

void close_cluster(ClusterCall* call) {
  if (!call->open) return;
  if (call->conn != nullptr) viewlink::stop(call->conn);
  mem::release(&call->arena);
  __builtin_memset(call, 0, sizeof *call);
}

void keep_cluster(ClusterCall* call, u64 now) {
  if (!call->open) return;
  if (call->conn == nullptr || !viewer::ready(&call->conn->link)) return close_cluster(call);
  call->last_used = now;
}

void wait_input(ClusterCall* call, u64 input) {
  while (call->open) {
    u64 now = os::mcp_clock_ms();
    if (now - call->last_used >= kept_idle_ms) return close_cluster(call);
    viewlink::tick(call->conn, now, 0);
    if (!viewer::ready(&call->conn->link)) return close_cluster(call);
    if (os::input_ready(input, 1000)) return;
  }
}

}  // namespace mcp
