#include "pages/machines.h"

#include "base/words.h"
#include "wire/payload.h"
#include "cluster/publish.h"
#include "cluster/remote_update.h"
#include "widgets/texts.h"

namespace machines {

namespace {

bool same_id(const u8* a, const u8* b) { return __builtin_memcmp(a, b, proto::id_size) == 0; }

bool same_name_folded(mem::Bytes a, mem::Bytes b) {
  if (a.len != b.len) return false;
  for (u64 i = 0; i < a.len; ++i) {
    if (proclist::fold(a.ptr[i]) != proclist::fold(b.ptr[i])) return false;
  }
  return true;
}

u32 group_of_member(const proto::MachineList* list, u32 member) { return group_of(list->summaries[member].os); }

u32 saturated_sum(u32 a, u32 b) { return a > 0xFFFFFFFFu - b ? 0xFFFFFFFFu : a + b; }

// Stable passes over the rows in their present order, by one key per row.
struct Sorter {
  u64 keys_a[members_max], keys_b[members_max];
  u16 rows_a[members_max], rows_b[members_max];
  u32 count;
};

template <typename Key>
void sort_pass(Sorter* t, u32 passes, Key key) {
  for (u32 i = 0; i < t->count; ++i) t->keys_a[i] = key(t->rows_a[i]);
  proclist::radix(t->keys_a, t->rows_a, t->keys_b, t->rows_b, t->count, passes);
}

}  // namespace

void list_init(ListState* s) {
  __builtin_memset(s, 0, sizeof *s);
  s->sort_column = col_name;
  __builtin_memset(s->peer_row, no_peer, sizeof s->peer_row);
}

u32 member_count(const proto::MachineList* list) { return list->count < members_max ? list->count : members_max; }

bool host_full(const proto::MachineList* list) {
  if (list->count < members_max) return false;
  for (u32 m = 0; m < members_max; ++m) {
    if (list->summaries[m].state & state_offline) return false;  // it would give way to a new machine
  }
  return true;
}

u32 group_of(u32 os) { return os >= 1 && os <= 5 ? os - 1 : 5; }

mem::Bytes os_name(u32 group) {
  switch (group) {
    case 0: return mem::lit("Windows");
    case 1: return mem::lit("Linux");
    case 2: return mem::lit("macOS");
    case 3: return mem::lit("Android");
    case 4: return mem::lit("iOS");
    default: return mem::lit("Unknown");
  }
}

mem::Bytes member_name(const proto::MachineList* list, u32 member) {
  if (member >= member_count(list)) return mem::Bytes(nullptr, 0);
  const u8* name = list->names[member];
  u32 n = 0;
  while (n < proto::name_size && name[n] != 0) ++n;
  return mem::Bytes(name, n);
}

u32 peer_row(const proto::MachineList* list, const proto::Peers* peers, u32 member) {
  u32 n = peers->count < members_max ? peers->count : members_max;
  for (u32 r = 0; r < n; ++r) {
    if (same_id(peers->ids[r], list->ids[member])) return r;
  }
  return no_peer;
}

namespace {

void put_dec(u8 (&out)[address_max], u32* at, u32 value) {
  u8 digits[10];
  u32 n = 0;
  do {
    digits[n++] = static_cast<u8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0 && *at < address_max) out[(*at)++] = digits[--n];
}

void put_hex(u8 (&out)[address_max], u32* at, u32 value) {
  bool started = false;
  for (i32 shift = 12; shift >= 0; shift -= 4) {
    u32 d = (value >> shift) & 15;
    if (d == 0 && !started && shift != 0) continue;
    started = true;
    if (*at < address_max) out[(*at)++] = static_cast<u8>(d < 10 ? '0' + d : 'a' + d - 10);
  }
}

u32 ipv4_of(const u8* address) {
  return u32{address[0]} | u32{address[1]} << 8 | u32{address[2]} << 16 | u32{address[3]} << 24;
}

}  // namespace

u32 address_text(u32 kind, const u8* address, u8 (&out)[address_max]) {
  u32 at = 0;
  if (kind == 1) {
    u32 v = ipv4_of(address);
    for (u32 i = 0; i < 4; ++i) {
      if (i != 0) out[at++] = '.';
      put_dec(out, &at, (v >> (24 - 8 * i)) & 0xFF);
    }
  } else if (kind == 2) {
    for (u32 g = 0; g < 8; ++g) {
      if (g != 0) out[at++] = ':';
      put_hex(out, &at, u32{address[2 * g]} << 8 | address[2 * g + 1]);
    }
  }
  return at;
}

u32 member_address(const ListState* s, const proto::Peers* peers, u32 member, u8 (&out)[address_max]) {
  if (member >= members_max || s->peer_row[member] == no_peer) return 0;
  u32 r = s->peer_row[member];
  return address_text(peers->address_kinds[r], peers->addresses[r], out);
}

u32 member_value(const ListState* s, const proto::MachineList* list, const proto::Peers* peers, u32 member,
                 u32 column) {
  const proto::Summary& m = list->summaries[member];
  switch (column) {
    case col_state: return m.state;
    case col_cpu: return m.cpu;
    case col_memory: return m.memory_used;
    case col_gpu: return m.gpu;
    case col_vram: return m.video_used;
    case col_network: return saturated_sum(m.receive, m.send);
    case col_address: {
      if (s->peer_row[member] == no_peer) return 0;
      u32 r = s->peer_row[member];
      return peers->address_kinds[r] == 1 ? ipv4_of(peers->addresses[r]) : 0;
    }
    default: return 0;
  }
}

void rebuild(ListState* s, const proto::MachineList* list, const proto::Peers* peers) {
  u32 n = member_count(list);
  s->duplicates = 0;
  __builtin_memset(s->peer_row, no_peer, sizeof s->peer_row);
  for (u32 i = 0; i < n; ++i) {
    s->peer_row[i] = static_cast<u8>(peer_row(list, peers, i));
    for (u32 j = 0; j < n; ++j) {
      if (j != i && same_name_folded(member_name(list, i), member_name(list, j))) s->duplicates |= u64{1} << i;
    }
  }

  Sorter t;
  t.count = 0;
  mem::Bytes filter = filter_text(s);
  for (u32 i = 0; i < n; ++i) {
    u8 address[address_max];
    u32 length = member_address(s, peers, i, address);
    if (proclist::matches(member_name(list, i), filter) || proclist::matches(mem::Bytes(address, length), filter)) {
      t.rows_a[t.count++] = static_cast<u16>(i);
    }
  }

  bool descending = (s->flags & flag_descending) != 0;
  if (s->sort_column == col_name) {
    for (u32 chunk = 4; chunk-- > 0;) {
      sort_pass(&t, 8, [&](u16 m) {
        u64 key = proclist::name_key(member_name(list, m), chunk);
        return descending ? ~key : key;
      });
    }
  } else {
    sort_pass(&t, 4, [&](u16 m) {
      u64 key = member_value(s, list, peers, m, s->sort_column);
      return descending ? key ^ 0xFFFFFFFFull : key;
    });
  }
  sort_pass(&t, 2, [&](u16 m) { return u64{group_of_member(list, m)}; });

  __builtin_memset(s->group_counts, 0, sizeof s->group_counts);
  __builtin_memset(s->order, 0, sizeof s->order);
  u32 shown = 0;
  for (u32 i = 0; i < t.count; ++i) {
    u32 g = group_of_member(list, t.rows_a[i]);
    ++s->group_counts[g];
    if (!is_collapsed(s, g)) s->order[shown++] = static_cast<u8>(t.rows_a[i]);
  }
  s->shown_count = static_cast<u8>(shown);
  keep_selection(s, list);
}

void keep_selection(ListState* s, const proto::MachineList* list) {
  if (s->flags & flag_selected) {
    for (u32 p = 0; p < s->shown_count; ++p) {
      if (same_id(list->ids[s->order[p]], s->selected_id)) {
        select_member(s, list, p);
        return;
      }
    }
  }
  select_member(s, list, 0);
}

void sort_by(ListState* s, u32 column) {
  if (column > col_address) column = col_address;
  if (column == s->sort_column) {
    s->flags ^= flag_descending;
  } else {
    s->flags &= flag_selected;
  }
  s->sort_column = static_cast<u8>(column);
}

bool set_filter(ListState* s, const u8* text, u32 length) {
  u32 n = length < filter_max ? length : filter_max;
  bool same = n == s->filter_length && (n == 0 || __builtin_memcmp(text, s->filter, n) == 0);
  __builtin_memset(s->filter, 0, sizeof s->filter);
  if (n != 0) __builtin_memcpy(s->filter, text, n);
  s->filter_length = static_cast<u8>(n);
  return !same;
}

bool clear_filter(ListState* s) {
  bool had = s->filter_length != 0;
  __builtin_memset(s->filter, 0, sizeof s->filter);
  s->filter_length = 0;
  return had;
}

mem::Bytes filter_text(const ListState* s) { return mem::Bytes(s->filter, s->filter_length); }

void toggle_group(ListState* s, u32 group) {
  if (group < groups) s->collapsed = static_cast<u8>(s->collapsed ^ (1u << group));
}

bool is_collapsed(const ListState* s, u32 group) { return group < groups && ((s->collapsed >> group) & 1); }

u32 group_count(const ListState* s, u32 group) { return group < groups ? s->group_counts[group] : 0; }

u32 row_of(const ListState* s, u32 position) { return position < s->shown_count ? s->order[position] : none; }

u32 visible_count(const ListState* s) {
  u32 rows = 0;
  for (u32 g = 0; g < groups; ++g) {
    if (s->group_counts[g] == 0) continue;
    rows += 1 + (is_collapsed(s, g) ? 0 : s->group_counts[g]);
  }
  return rows;
}

u32 row_kind(const ListState* s, u32 row) {
  u32 before = 0;  // members shown in earlier groups
  for (u32 g = 0; g < groups; ++g) {
    if (s->group_counts[g] == 0) continue;
    if (row == 0) return header_row + g;
    u32 m = is_collapsed(s, g) ? 0 : s->group_counts[g];
    if (row - 1 < m) return before + row - 1;
    row -= m + 1;
    before += m;
  }
  return none;
}

u32 member_rows(const ListState* s, u32 n) {
  u32 count = 0;
  for (u32 r = 0; r < n; ++r) {
    u32 kind = row_kind(s, r);
    if (kind == none) break;
    count += kind < header_row ? 1 : 0;
  }
  return count;
}

bool select_member(ListState* s, const proto::MachineList* list, u32 position) {
  bool valid = position < s->shown_count;
  u32 p = valid ? position : 0;
  bool was_selected = (s->flags & flag_selected) != 0;
  bool was_armed = (s->flags & flag_forget_armed) != 0;
  bool same = valid && was_selected && same_id(s->selected_id, list->ids[s->order[p]]);
  s->selected = static_cast<u8>(p);
  s->flags &= static_cast<u8>(~(flag_selected | flag_forget_armed));
  __builtin_memset(s->selected_id, 0, sizeof s->selected_id);
  if (valid) {
    s->flags |= flag_selected;
    __builtin_memcpy(s->selected_id, list->ids[s->order[p]], proto::id_size);
  }
  bool forgettable = can_forget(s, list);
  if (was_armed && same && forgettable) s->flags |= flag_forget_armed;
  return forgettable;
}

bool step_select(ListState* s, const proto::MachineList* list, u32 rows, bool down) {
  u64 position = (s->flags & flag_selected) ? s->selected : proclist::none;
  i64 next = proclist::step_at(position, rows, down);
  return select_member(s, list, next < 0 ? none : static_cast<u32>(next));
}

bool can_forget(const ListState* s, const proto::MachineList* list) {
  if (!(s->flags & flag_selected)) return false;
  u32 m = row_of(s, s->selected);
  return m != none && m < member_count(list) && list->summaries[m].state == state_offline;
}

bool arm_forget(ListState* s, const proto::MachineList* list) {
  bool on = can_forget(s, list);
  s->flags = static_cast<u8>(on ? s->flags | flag_forget_armed : s->flags & ~flag_forget_armed);
  return on;
}

// ---- The settings file.

namespace {

constexpr const char header[] = "vimbrel-machines 1";

u32 put(u8 (&out)[settings_max], u32 at, mem::Bytes text) {
  for (u64 i = 0; i < text.len && at < settings_max; ++i) out[at++] = text.ptr[i];
  return at;
}

u32 put_byte(u8 (&out)[settings_max], u32 at, u8 c) { return at < settings_max ? (out[at] = c, at + 1) : at; }

// The value after a key standing at the start of a line (the first such line), up to the end of the text.
bool find_key(mem::Bytes text, mem::Bytes key, u64* value_at) {
  for (u64 at = 0; at + key.len <= text.len; ++at) {
    if (at != 0 && text.ptr[at - 1] != '\n') continue;
    if (__builtin_memcmp(text.ptr + at, key.ptr, key.len) == 0) {
      *value_at = at + key.len;
      return true;
    }
  }
  return false;
}

// 1 to 10 decimal digits ending at LF, CR, "." or the end, below 2^32.
bool number_at(mem::Bytes text, u64 at, u32* out) {
  u64 value = 0, digits = 0;
  while (at < text.len && text.ptr[at] >= '0' && text.ptr[at] <= '9') {
    value = value * 10 + (text.ptr[at] - '0');
    if (++digits > 10) return false;
    ++at;
  }
  if (digits == 0 || value > 0xFFFFFFFFull) return false;
  if (at < text.len && text.ptr[at] != '\n' && text.ptr[at] != '\r' && text.ptr[at] != '.') return false;
  *out = static_cast<u32>(value);
  return true;
}

bool key_number(mem::Bytes text, mem::Bytes key, u32 below, u32* out) {
  u64 at = 0;
  u32 v = 0;
  if (!find_key(text, key, &at) || !number_at(text, at, &v) || v >= below) return false;
  *out = v;
  return true;
}

}  // namespace

u32 format_settings(const ListState* s, u8 (&out)[settings_max]) {
  u32 at = put(out, 0, mem::lit(header));
  at = put(out, at, mem::lit("\nsort_column "));
  at = put_byte(out, at, static_cast<u8>('0' + (s->sort_column & 7)));
  at = put(out, at, mem::lit("\nsort_descending "));
  at = put_byte(out, at, (s->flags & flag_descending) ? '1' : '0');
  at = put(out, at, mem::lit("\ncollapsed "));
  u32 mask = s->collapsed & 63;
  at = put_byte(out, at, static_cast<u8>('0' + mask / 10));
  at = put_byte(out, at, static_cast<u8>('0' + mask % 10));
  at = put(out, at, mem::lit("\nfilter "));
  at = put(out, at, filter_text(s));
  return put_byte(out, at, '\n');
}

// The header line may end in CR LF as an editor saves it: the program's other readers take either line end, and
// refusing it would silently throw the user's choices away. The writer keeps LF alone.
void parse_settings(mem::Bytes text, ListState* s) {
  list_init(s);
  mem::Bytes head = mem::lit(header);
  if (text.len < head.len + 1 || __builtin_memcmp(text.ptr, head.ptr, head.len) != 0) return;
  u64 end = head.len;
  if (text.ptr[end] == '\r' && end + 1 < text.len) ++end;
  if (text.ptr[end] != '\n') return;
  u32 v = 0;
  if (key_number(text, mem::lit("sort_column "), columns, &v)) s->sort_column = static_cast<u8>(v);
  if (key_number(text, mem::lit("sort_descending "), 2, &v)) s->flags = static_cast<u8>(v);
  if (key_number(text, mem::lit("collapsed "), 64, &v)) s->collapsed = static_cast<u8>(v);
  u64 at = 0;
  if (!find_key(text, mem::lit("filter "), &at)) return;
  u64 stop = at;
  while (stop < text.len && text.ptr[stop] != '\n') ++stop;
  if (stop > at && text.ptr[stop - 1] == '\r') --stop;
  if (stop - at > filter_max) return;
  for (u64 i = at; i < stop; ++i) {
    if (text.ptr[i] < 0x20 || text.ptr[i] > 0x7E) return;
  }
  set_filter(s, text.ptr + at, static_cast<u32>(stop - at));
}


// ---- The page.

namespace {

viewer::ViewerLink* link_of(const Page* p) { return p->link != nullptr ? &p->link->link : nullptr; }

const proto::MachineList* members(const Page* p) { return &p->link->link.list; }

bool has_members(const Page* p) { return p->link != nullptr && p->link->link.list.count != 0; }

void set_confirm(Page* p, u8 kind, const u8* id) {
  p->confirm = kind;
  __builtin_memset(p->confirm_id, 0, sizeof p->confirm_id);
  if (id != nullptr) __builtin_memcpy(p->confirm_id, id, proto::id_size);
}

u32 cancel_pending(Page* p) {
  if (p->confirm == confirm_none) return 0;
  set_confirm(p, confirm_none, nullptr);
  return act_relayout;
}

u32 list_changed(Page* p) {
  rebuild_list(p);
  return act_relayout | act_save;
}

u64 host_version_of(const viewer::ViewerLink* link) {
  const u16* v = link->peer.host_version;
  return remote_update::pack_version(v[0], v[1], v[2]);
}

void end_edit(Page* p) { p->editing = 0; }

}  // namespace

const machine::Machine* shown_machine(const Page* p, const machine::Machine* own, views::ViewState* views,
                                      const ptop::Ring* own_tops) {
  const bool remote = p->remote_shown && p->copy != nullptr;
  if (views != nullptr) views->top_books = remote ? &p->copy->tops : own_tops;
  return remote ? &p->copy->remote.machine : own;
}
const model::ProcTable* shown_table(const Page* p, const model::ProcTable* own) {
  return p->remote_shown && p->copy != nullptr ? &p->copy->table : own;
}
const proclist::ListState* shown_list(const Page* p, const proclist::ListState* own) {
  return p->remote_shown && p->copy != nullptr ? &p->copy->list : own;
}
mem::Bytes remote_name(const Page* p) {
  if (!p->remote_shown || p->copy == nullptr) return mem::Bytes(nullptr, 0);
  return mem::Bytes(p->copy->name, p->copy->name_length);
}

void page_init(Page* p) {
  __builtin_memset(p, 0, sizeof *p);
  list_init(&p->list);
}

void rebuild_list(Page* p) {
  if (p->link == nullptr) return;
  rebuild(&p->list, &p->link->link.list, &p->link->link.peers);
}

bool save_list(const Env* e) {
  u8 text[settings_max];
  u32 n = format_settings(&e->page->list, text);
  return e->machines_path.len != 0 && cluster::write_machines(e->machines_path, mem::Bytes(text, n));
}

void load_list(Page* p, mem::Bytes path) {
  u8 text[settings_max];
  u64 n = 0;
  if (path.len == 0 || !cluster::read_machines(path, mem::Slice{text, sizeof text}, &n)) n = 0;
  parse_settings(mem::Bytes(text, n), &p->list);
}

u32 open_link(Env* e) {
  Page* p = e->page;
  if (p->link != nullptr) return 0;
  if (!mem::arena_init(&p->link_arena, link_arena_bytes)) return act_relayout;
  cluster::KeyWork work;
  auth::KeyState key;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(e->key_path, &work, &key, &verdict);
  p->link = viewlink::create(&p->link_arena, &key, viewer::receive_room);
  cluster::wipe_key_buffer(&work);
  auth::wipe(&key, sizeof key);
  if (p->link == nullptr) {
    mem::release(&p->link_arena);
    return act_relayout;
  }
  p->key_status = loaded == cluster::key_loaded ? key_ready
                  : loaded == cluster::key_unreadable ? key_missing
                                                      : key_refused;
  p->demo_flags = 0;
  set_confirm(p, confirm_none, nullptr);
  p->host_version = 0;
  viewer::want_peers(&p->link->link);
  viewer::want_updates(&p->link->link);
  rebuild_list(p);
  select_member(&p->list, members(p), none);
  p->seen_lists = p->seen_link = p->seen_peers = p->seen_updates = 0;
  if (p->key_status == key_ready && e->dial) {
    const bool share = e->share_target != nullptr && e->settings->target_kind == cluster::target_path;
    const cluster::PublishSettings target = share ? e->share_target(e->settings) : *e->settings;
    viewlink::set_target(p->link, &target, e->ticks);
  }
  return act_relayout;
}

u32 close_link(Env* e) {
  Page* p = e->page;
  u32 acts = stop_remote(e);
  if (p->link == nullptr) return acts;
  viewlink::ViewerConn* link = p->link;
  p->link = nullptr;  // nothing reaches the link through the page from here on
  viewer::drop_rows(&link->link);
  viewlink::stop(link);
  mem::release(&p->link_arena);
  p->demo_flags = 0;
  end_edit(p);
  return acts | act_relayout;
}

u32 open(Env* e) {
  Page* p = e->page;
  end_edit(p);
  u32 acts = stop_remote(e);
  acts |= open_link(e);
  if (p->link != nullptr) p->list.flags &= static_cast<u8>(~flag_forget_armed);
  set_confirm(p, confirm_none, nullptr);
  return acts | act_show_page | act_relayout;
}

u32 stop_remote(Env* e) {
  Page* p = e->page;
  bool was = p->remote_shown != 0;
  p->remote_shown = 0;
  if (was && p->link != nullptr) viewer::unwatch(&p->link->link, e->ticks);
  if (p->copy != nullptr) {
    p->copy = nullptr;
    mem::release(&p->remote_arena);
  }
  return was ? act_reset_views | act_relayout : 0;
}

u32 show_remote(Env* e, u32 m) {
  Page* p = e->page;
  if (p->link == nullptr || m >= member_count(members(p))) return 0;
  u32 acts = stop_remote(e);
  if (!mem::arena_init(&p->remote_arena, remote_arena_bytes)) return acts;
  RemoteCopy* copy = mem::alloc_of<RemoteCopy>(&p->remote_arena);
  if (copy == nullptr) {
    mem::release(&p->remote_arena);
    return acts;
  }
  viewer::reset_remote(&copy->remote);
  model::table_init(&copy->table);
  ptop::ring_init(&copy->tops);
  proclist::init(&copy->list);
  copy->seen_frames = copy->seen_samples = 0;
  copy->seen_changes = copy->remote.machine.changes;
  copy->seen_present = views::present(copy->remote.machine);
  mem::Bytes name = viewer::list_name(&p->link->link, m);
  copy->name_length = static_cast<u32>(name.len < name_most ? name.len : name_most);
  __builtin_memset(copy->name, 0, sizeof copy->name);
  if (copy->name_length != 0) __builtin_memcpy(copy->name, name.ptr, copy->name_length);
  p->copy = copy;
  viewer::watch(&p->link->link, p->link->link.list.ids[m], &copy->remote, e->ticks);
  p->remote_shown = 1;
  if (e->test && !(p->demo_flags & demo_not_fed)) remote_inventory(e);
  return acts | act_reset_views;
}

u32 view_row(Env* e, u32 position) {
  Page* p = e->page;
  u32 m = row_of(&p->list, position);
  if (m == none) return 0;
  u32 acts = show_remote(e, m);
  if (!p->remote_shown) return acts;
  select_member(&p->list, members(p), position);
  end_edit(p);
  return acts | act_open_view | act_relayout;
}

bool forget_enabled(const Page* p) {
  bool reachable = (p->demo_flags & demo_list_on) || (p->link != nullptr && p->link->link.state == publish::open);
  return p->link != nullptr && reachable && can_forget(&p->list, members(p));
}

u32 forget(Env* e) {
  Page* p = e->page;
  if (!forget_enabled(p)) return 0;
  if (!(p->list.flags & flag_forget_armed)) {
    arm_forget(&p->list, members(p));
    return act_relayout;
  }
  p->list.flags &= static_cast<u8>(~flag_forget_armed);
  if (p->demo_flags & demo_list_on) return demo_forget(e) | act_relayout;
  viewer::forget(&p->link->link, p->list.selected_id, e->ticks);
  return act_relayout;
}

u32 update_now(Env* e, const u8* id) {
  Page* p = e->page;
  if (p->link == nullptr) return 0;
  if (viewer::update_now(&p->link->link, id, e->ticks) || !e->test) return act_relayout;
  // Under --test the link never sends: the rows asked for show that they were.
  proto::Updates* u = &p->link->link.updates;
  const u8 zero[proto::id_size] = {};
  bool all = __builtin_memcmp(id, zero, proto::id_size) == 0;
  for (u32 i = 0; i < u->count && i < proto::list_rows; ++i) {
    bool match = all || __builtin_memcmp(u->ids[i], id, proto::id_size) == 0;
    if (match && remote_update::can_update(members(p), u, i, p->host_version)) u->phases[i] = 1;
  }
  ++p->link->link.update_frames;
  return refresh(e) | act_relayout;
}

u32 footer_click(Env* e, i32 x) {
  Page* p = e->page;
  u32 n = remote_update::count_updatable(members(p), &p->link->link.updates, p->host_version);
  u32 acts = act_relayout;
  if (p->updates_view && x >= e->width - 244 && n > 0) {
    if (p->confirm == confirm_all) {
      const u8 zero[proto::id_size] = {};
      set_confirm(p, confirm_none, nullptr);
      acts |= update_now(e, zero);
    } else {
      set_confirm(p, confirm_all, nullptr);
    }
  } else {
    set_confirm(p, confirm_none, nullptr);
  }
  if (x < 376) p->updates_view = p->updates_view ? 0 : 1;
  return acts;
}

u32 row_update_click(Env* e, u32 m) {
  Page* p = e->page;
  const proto::MachineList* list = members(p);
  u32 row = viewer::update_row(&p->link->link, list->ids[m]);
  bool can = row != viewer::none_row && remote_update::can_update(list, &p->link->link.updates, row, p->host_version);
  if (!can) {
    set_confirm(p, confirm_none, nullptr);
    return act_relayout;
  }
  if (p->confirm == confirm_one && __builtin_memcmp(p->confirm_id, list->ids[m], proto::id_size) == 0) {
    set_confirm(p, confirm_none, nullptr);
    return update_now(e, list->ids[m]) | act_relayout;
  }
  set_confirm(p, confirm_one, list->ids[m]);
  return act_relayout;
}

bool wide(i32 width) { return width >= wide_width; }
u32 column_count(i32 width) { return wide(width) ? 8 : 7; }

namespace {

struct ColumnSet {
  u8 order[columns];
  i16 left[columns];
  u32 count;
};

ColumnSet column_set(i32 width) {
  const u32 count = column_count(width);
  if (wide(width)) return ColumnSet{{0, 1, 7, 2, 3, 4, 5, 6}, {0, 104, 284, 414, 478, 598, 662, 822}, count};
  return ColumnSet{{0, 1, 2, 3, 4, 5, 6, 0}, {0, 104, 324, 404, 544, 614, 784, 0}, count};
}

}  // namespace

i32 column_left(u32 column, i32 width) {
  ColumnSet set = column_set(width);
  for (u32 i = 0; i < set.count; ++i) {
    if (set.order[i] == column) return set.left[i];
  }
  return 0;
}

i32 column_right(u32 column, i32 width) {
  ColumnSet set = column_set(width);
  for (u32 i = 0; i < set.count; ++i) {
    if (set.order[i] != column) continue;
    return i + 1 < set.count ? set.left[i + 1] - 12 : width - 24 - app::content_left;
  }
  return 0;
}

bool table_shown(const Page* p) {
  return p->link != nullptr && p->link->link.updates.count != 0 && p->link->link.list.count != 0;
}

// Rows that fit between the headers and the bottom (less the footer): never below 0, so a short window draws no
// row over the footer.
u32 visible_rows(const Page* p, i32 height) {
  if (p->link == nullptr) return 0;
  i32 room = ((height > 176 ? height : 176) - 176) / row_height - (table_shown(p) ? 1 : 0);
  u32 fit = room > 0 ? static_cast<u32>(room) : 0;
  u32 count = visible_count(&p->list);
  return count < fit ? count : fit;
}

i32 table_height(const Page* p, i32 height) {
  u32 rows = visible_rows(p, height);
  return rows_top + row_height * static_cast<i32>(rows > 1 ? rows : 1);
}

bool members_only(const Page* p) { return p->updates_view && p->link != nullptr && p->link->link.updates.count != 0; }

bool in_update_column(const Page* p, i32 x, i32 width) { return p->updates_view && x >= width - 136; }

void lay_facts(const Page* p, i32 width, i32 height, app::Facts* f) {
  f->machine_list = has_members(p);
  f->machine_selected = forget_enabled(p);
  f->machines_bottom = table_height(p, height) + (table_shown(p) ? row_height : 0);
  f->members_only = members_only(p);
  for (u32 c = 0; c < columns; ++c) {
    i32 left = column_left(c, width), right = column_right(c, width);
    bool shown = c != col_address || wide(width);
    f->column_left[c] = static_cast<i16>(shown ? left : 0);
    f->column_right[c] = static_cast<i16>(shown ? right : 0);
  }
}

u32 cancel_confirm(Env* e, u64 bits_b) {
  Page* p = e->page;
  if (!(p->list.flags & flag_forget_armed) || (bits_b >> (app::slot_machine_button - 64) & 1)) return 0;
  p->list.flags &= static_cast<u8>(~flag_forget_armed);
  return act_relayout;
}

u32 click(Env* e, u64 bits, i32 x, i32 y) {
  Page* p = e->page;
  u32 acts = cancel_confirm(e, bits);
  if (bits >> (app::slot_machines - 64) & 1) return acts | open(e);
  if (e->shown_page != app::page_machines) return acts;
  if (bits >> (app::slot_machine_button - 64) & 1) acts |= forget(e);
  if (bits >> (app::slot_filter - 64) & 1) {
    p->editing = 1;
    textedit::set_text(&p->field, filter_text(&p->list), 0);
    acts |= act_relayout;
  } else if (p->editing) {
    end_edit(p);
    acts |= act_save | act_relayout;
  }
  for (u32 c = 0; c < columns; ++c) {
    if (!(bits >> (app::slot_machine_header0 - 64 + c) & 1)) continue;
    sort_by(&p->list, c);
    acts |= list_changed(p);
  }
  if (!(bits >> (app::slot_machine_table - 64) & 1)) return acts | cancel_pending(p);
  if (p->link == nullptr) return acts;
  i32 table_bottom = table_height(p, e->height);
  if (table_shown(p) && y >= table_bottom) return acts | footer_click(e, x);
  u32 row = static_cast<u32>(((y > rows_top ? y : rows_top) - rows_top) / row_height);
  if (row >= visible_rows(p, e->height)) return acts;
  u32 kind = row_kind(&p->list, row);
  if (kind == none) return acts;
  if (kind >= header_row) {
    toggle_group(&p->list, kind - header_row);
    return acts | list_changed(p);
  }
  if (in_update_column(p, x, e->width)) return acts | row_update_click(e, row_of(&p->list, kind));
  acts |= cancel_pending(p);
  return acts | view_row(e, kind);
}

u32 key(Env* e, u32 vk, bool* used) {
  Page* p = e->page;
  *used = true;
  const u32 escape = 0x1B, enter = 0x0D, up = 0x26, down = 0x28, back = 0x08;
  if (p->editing && vk == back) {
    if (!textedit::backspace_delete(&p->field, false, false)) return 0;
    set_filter(&p->list, p->field.text, p->field.length);
    return list_changed(p) & ~u32{act_save};
  }
  if (p->editing && vk == enter) {
    end_edit(p);
    return act_save | act_relayout;
  }
  if (vk == escape && (p->list.flags & flag_forget_armed)) {
    p->list.flags &= static_cast<u8>(~flag_forget_armed);
    return act_relayout;
  }
  if (vk == escape && p->confirm != confirm_none) return cancel_pending(p);
  if (vk == escape && (p->list.filter_length != 0 || p->editing)) {
    end_edit(p);
    clear_filter(&p->list);
    return list_changed(p);
  }
  u32 member_rows_shown = member_rows(&p->list, visible_rows(p, e->height));
  if (vk == enter && p->link != nullptr) {
    if ((p->list.flags & flag_selected) && p->list.selected < member_rows_shown) return view_row(e, p->list.selected);
    return 0;
  }
  if ((vk == up || vk == down) && p->link != nullptr) {
    step_select(&p->list, members(p), member_rows_shown, vk == down);
    return act_relayout;
  }
  *used = false;
  return 0;
}

u32 on_char(Env* e, u32 c) {
  Page* p = e->page;
  if (!p->editing || !textedit::type_char(&p->field, c)) return 0;
  set_filter(&p->list, p->field.text, p->field.length);
  return list_changed(p) & ~u32{act_save};
}

u32 refresh(Env* e) {
  Page* p = e->page;
  if (p->link == nullptr) return 0;
  const viewer::ViewerLink* link = &p->link->link;
  u32 state = u32{link->state} | u32{link->status} << 8 | u32{p->link->child_failed} << 16;
  bool changed = link->lists != p->seen_lists || state != p->seen_link || link->peer_frames != p->seen_peers ||
                 link->update_frames != p->seen_updates;
  p->seen_lists = link->lists;
  p->seen_link = state;
  p->seen_peers = link->peer_frames;
  p->seen_updates = link->update_frames;
  if (!p->demo_flags) p->host_version = link->state == publish::open ? host_version_of(link) : 0;
  u32 acts = 0;
  if (changed) {
    rebuild_list(p);
    if (e->shown_page == app::page_machines) acts |= act_relayout;
  }
  RemoteCopy* copy = p->copy;
  if (!p->remote_shown || copy == nullptr) return acts;
  machine::Machine* m = &copy->remote.machine;
  bool new_frame = copy->remote.proc_frames != copy->seen_frames;
  bool new_sample = copy->remote.sample_count != copy->seen_samples;
  copy->seen_frames = copy->remote.proc_frames;
  copy->seen_samples = copy->remote.sample_count;
  if (new_frame) {
    viewer::take_procs(&copy->remote.procs, &copy->table);
    if (!e->test || e->tops) ptop::ring_take(&copy->tops, m->pushed / 10, &copy->table);
    proclist::rebuild(&copy->list, &copy->table);
    copy->list.top = static_cast<u32>(proclist::clamp_top(copy->list.top, copy->list.shown, 1));
  }
  u64 present = views::present(*m);
  if (m->changes != copy->seen_changes || present != copy->seen_present) {
    copy->seen_changes = m->changes;
    copy->seen_present = present;
    return acts | act_reset_views | act_relayout;
  }
  if (new_sample || new_frame) acts |= act_refresh;
  return acts;
}

u32 timer(Env* e) {
  Page* p = e->page;
  if (p->link == nullptr) return 0;
  if (e->dial) viewlink::tick(p->link, e->ticks, 0);  // under --test only with live data
  return refresh(e);
}

// ---- Demo data under --test.

namespace {

mem::Bytes demo_name(u32 i) {
  switch (i) {
    case 0: return mem::lit("this-pc");
    case 1: return mem::lit("build-01");
    case 2: return mem::lit("nas");
    case 3: return mem::lit("laptop");
    case 4: return mem::lit("render-02");
    case 5: return mem::lit("media");
    case 6:
    case 7: return mem::lit("PC0002");
    case 8: return mem::lit("phone");
    default: return mem::Bytes();
  }
}

u8 demo_os(u32 i) {
  static constexpr u8 codes[] = {1, 2, 2, 3, 1, 4, 1, 1, 5};
  return i < 9 ? codes[i] : 0;
}

void remove_row(u8* base, u32 row_bytes, u32 row, u32 count) {
  for (u32 i = row; i + 1 < count; ++i) __builtin_memcpy(base + i * row_bytes, base + (i + 1) * row_bytes, row_bytes);
}

}  // namespace

u32 demo_list(Env* e, u32 count, bool not_fed, u32 host) {
  Page* p = e->page;
  if (p->link == nullptr) return 0;
  viewer::ViewerLink* link = &p->link->link;
  proto::MachineList* list = &link->list;
  proto::Peers* peers = &link->peers;
  __builtin_memset(list, 0, sizeof *list);
  __builtin_memset(peers, 0, sizeof *peers);
  list->count = count;
  for (u32 i = 0; i < count; ++i) {
    __builtin_memset(list->ids[i], static_cast<u8>(0xA0 + i), proto::id_size);
    if (i == 0 && e->settings->id_present) __builtin_memcpy(list->ids[0], e->settings->id, proto::id_size);
    mem::Bytes name = demo_name(i);
    __builtin_memcpy(list->names[i], name.ptr, name.len);
    proto::Summary& m = list->summaries[i];
    m.state = static_cast<u8>(i % 3);
    m.cpu = static_cast<u16>((2311 * i + 700) % 10000);
    m.gpu = static_cast<u16>(1777 * i % 10000);
    m.memory_used = 4608 * i + 4096;
    m.memory_total = 16384 * (i + 1);
    if (i % 2 == 0) {
      m.video_used = 1024 * (i + 1);
      m.video_total = 8192;
    } else if (e->integrated) {
      m.video_used = 768 * i;
      m.video_total = 8192 * (i + 1);
      m.shared_video = 1;
    }
    m.receive = 120 * i;
    m.send = 48 * i;
    m.os = demo_os(i);
    __builtin_memcpy(peers->ids[i], list->ids[i], proto::id_size);
    if (i != 2) {
      peers->address_kinds[i] = 1;
      u32 address = 0xC0A80100u | (20 + i);
      for (u32 b = 0; b < 4; ++b) peers->addresses[i][b] = static_cast<u8>(address >> (8 * b));
    }
  }
  peers->count = count;
  list->host_mask = host != 0 && host <= count ? u64{1} << (host - 1) : 0;
  p->demo_flags = static_cast<u8>((not_fed ? demo_not_fed : 0) | demo_list_on);
  ++link->lists;
  ++link->peer_frames;
  return refresh(e) | act_relayout;
}

u32 demo_release(Env* e) {
  Page* p = e->page;
  p->demo_flags &= static_cast<u8>(~demo_not_fed);
  if (p->remote_shown) remote_inventory(e);
  return refresh(e) | act_relayout;
}

u32 demo_forget(Env* e) {
  Page* p = e->page;
  viewer::ViewerLink* link = &p->link->link;
  proto::MachineList* list = &link->list;
  u32 n = member_count(list);
  u32 m = row_of(&p->list, p->list.selected);
  if (m == none || m >= n) return 0;
  u32 peer = p->list.peer_row[m];
  remove_row(&list->ids[0][0], proto::id_size, m, n);
  remove_row(&list->names[0][0], proto::name_size, m, n);
  remove_row(reinterpret_cast<u8*>(list->summaries), sizeof(proto::Summary), m, n);
  list->count = n - 1;
  u64 below = list->host_mask & ((u64{1} << m) - 1);
  u64 above = m + 1 < 64 ? (list->host_mask >> (m + 1)) << m : 0;
  list->host_mask = below | above;
  proto::Peers* peers = &link->peers;
  if (peer != no_peer && peer < peers->count) {
    remove_row(&peers->ids[0][0], proto::id_size, peer, peers->count);
    remove_row(peers->address_kinds, 1, peer, peers->count);
    remove_row(&peers->addresses[0][0], 16, peer, peers->count);
    --peers->count;
  }
  ++link->lists;
  ++link->peer_frames;
  return refresh(e);
}

u32 test_rows(Env* e, u32 a) {
  Page* p = e->page;
  if (p->link == nullptr) return 0;
  viewer::ViewerLink* link = &p->link->link;
  proto::Updates* u = &link->updates;
  p->host_version = remote_update::pack_version(0, 1, 80);
  if (a == 0) {
    __builtin_memset(u, 0, sizeof *u);
    u32 n = member_count(&link->list);
    u->count = n;
    for (u32 i = 0; i < n; ++i) {
      __builtin_memcpy(u->ids[i], link->list.ids[i], proto::id_size);
      u->minor[i] = 1;
      u->patch[i] = i == 0 || i == 5 ? 80 : i == 1 ? 78 : i == 3 ? 75 : 79;
      u->phases[i] = i == 0 ? 8 : 0;
      u->details[i] = i == 2 ? 5 : i == 3 ? 1 : i == 4 ? 3 : 0;
    }
  } else {
    for (u32 i = 0; i < u->count && i < proto::list_rows; ++i) {
      if (u->phases[i] < 1 || u->phases[i] > 5) continue;
      u->phases[i] = static_cast<u8>(a);
      if (a == 7) u->details[i] = 25;
      if (a == 6) u->patch[i] = 80;
    }
  }
  ++link->update_frames;
  // The demo keeps its own host version: the link's accept record says nothing under --test.
  p->demo_flags |= demo_list_on;
  return refresh(e) | act_relayout;
}

u32 test_message(Env* e, u64 word) {
  if (word & 0x200) return demo_release(e);
  u32 count = static_cast<u32>(word & 0xFF);
  return demo_list(e, count < 9 ? count : 9, ((word >> 8) & 1) != 0, static_cast<u32>((word >> 12) & 0xF));
}

void remote_inventory(Env* e) {
  Page* p = e->page;
  if (p->copy == nullptr) return;
  os::WindowsVersion version = {};
  version.family = 2;
  const u8* id = p->link != nullptr ? p->link->link.watched_id : e->settings->id;
  payload::inventory(e->own, id, p->copy->name, p->copy->name_length, &version, 0, 1, 81, &p->copy->remote.inventory);
  viewer::take_inventory(&p->copy->remote.machine, &p->copy->remote.inventory);
  ++p->copy->remote.inventories;
}

u32 feed_remote(Env* e) {
  Page* p = e->page;
  if (!p->remote_shown || p->copy == nullptr || (p->demo_flags & demo_not_fed)) return 0;
  ring::Row row;
  if (ring::at(&e->own->ring, 0, &row)) {
    machine::push(&p->copy->remote.machine, &row);
    ++p->copy->remote.sample_count;
  }
  if (++p->feeds % 2 == 0) {
    u32 scratch[payload::scratch_words];
    payload::procs(e->own_procs, e->own->memory_total, scratch, &p->copy->remote.procs);
    ++p->copy->remote.proc_frames;
  }
  return refresh(e);
}

// ---- Drawing.

namespace {

enum : u32 {
  colour_rule = 0x444444,
  colour_group = 0x281F18,
  colour_host = 0x1AA2E0,
  colour_online = 0xD4EA5E,
  colour_stale = 0x4DD3FC,
  colour_amber = 0x4DD3FC,
  colour_badge_text = 0x201814,
  colour_arrow = 0xFFC14F,
};

mem::Bytes line_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

void put_version(words::Text* t, u64 packed) {
  u8 text[remote_update::version_text_max];
  u32 n = remote_update::version_text(packed, mem::Slice{text, sizeof text});
  words::put(t, mem::Bytes(text, n));
}

void fill(const app::Canvas& c, i32 l, i32 t, i32 r, i32 b, u32 colour) { app::fill_xy(c.surface, l, t, r, b, colour); }

// A button drawn on its own rectangle (the rows' and footer's, which have no hit slot of their own).
void button(const app::Canvas& c, i32 left, i32 top, i32 right, mem::Bytes text, bool highlighted) {
  if (left >= right) return;
  fill(c, left, top, right, top + row_height, app::state_fill(false, highlighted));
  app::outline(c.surface, draw::Rect{left, top, right, top + row_height}, colour_rule);
  i32 w = app::text_width(c.surface, app::role_body, text);
  i32 x = left + (right - left - w) / 2;
  app::text_in(c.surface, app::role_body, text, draw::Rect{x > left ? x : left, top, right, top + row_height},
               app::colour_text, 0);
}

// Five rows 1, 3, 5, 7 and 9 px wide from y 135, the tip up when ascending.
void sort_arrow(const app::Canvas& c, i32 x, bool descending) {
  for (i32 r = 0; r < 5; ++r) {
    i32 half = descending ? 4 - r : r;
    fill(c, x + 4 - half, 135 + r, x + 5 + half, 136 + r, colour_arrow);
  }
}

// 9 px: pointing down (expanded) or right (collapsed).
void group_triangle(const app::Canvas& c, i32 x, i32 y, bool collapsed) {
  for (i32 r = 0; r < 9; ++r) {
    if (collapsed) {
      i32 w = 5 - (r < 4 ? 4 - r : r - 4);
      fill(c, x, y + r, x + w, y + r + 1, app::colour_label);
    } else if (r < 5) {
      fill(c, x + r, y + r, x + 9 - r, y + r + 1, app::colour_label);
    }
  }
}

// 11 px tall: a 2-px stem 7 px long and a head of rows 2, 4, 6 and 8 px wide, the narrowest at the tip.
void rate_arrow(const app::Canvas& c, i32 x, i32 y, bool up) {
  for (i32 r = 0; r < 4; ++r) {
    i32 row = up ? y + r : y + 10 - r;
    fill(c, x + 3 - r, row, x + 5 + r, row + 1, app::colour_text);
  }
  i32 stem = up ? y + 4 : y;
  fill(c, x + 3, stem, x + 5, stem + 7, app::colour_text);
}

// 11 x 8: a small house, the host's mark.
void host_icon(const app::Canvas& c, i32 x, i32 y) {
  for (i32 r = 0; r < 4; ++r) fill(c, x + 4 - r, y + r, x + 7 + r, y + r + 1, colour_host);
  fill(c, x + 1, y + 4, x + 10, y + 8, colour_host);
}

void host_mark(const app::Canvas& c, i32 x, i32 right, i32 y) {
  mem::Bytes word = mem::lit("host");
  i32 w = app::text_width(c.surface, app::role_small, word);
  if (x + w + 20 <= right) {
    fill(c, x, y + 6, x + w + 20, y + 22, colour_host);
    app::text_in(c.surface, app::role_small, word, draw::Rect{x + 10, y + 6, x + w + 20, y + 22}, colour_badge_text, 0);
  } else if (x + 19 <= right) {
    host_icon(c, x + 4, y + 10);
  }
}

void network_cell(const app::Canvas& c, const proto::Summary& m, i32 x0, i32 x1, i32 y) {
  if (x1 >= x0 + 8) rate_arrow(c, x0, y + 8, true);
  words::Text up{}, down{};
  words::bitFigure(&up, m.send, m.receive, 0);
  words::bitFigure(&down, m.send, m.receive, 1);
  i32 x = x0 + 12 < x1 ? x0 + 12 : x1;
  i32 w = app::text_in(c.surface, app::role_body, line_of(up), draw::Rect{x, y, x1, y + row_height}, app::colour_text, 0);
  i32 arrow = x + w + 8;
  if (arrow + 8 > x1) return;
  rate_arrow(c, arrow, y + 8, false);
  app::text_in(c.surface, app::role_body, line_of(down), draw::Rect{arrow + 12, y, x1, y + row_height},
               app::colour_text, 0);
}

void cell_text(const Env* e, u32 m, u32 column, words::Text* t) {
  const Page* p = e->page;
  const proto::MachineList* list = members(p);
  const proto::Summary& v = list->summaries[m];
  switch (column) {
    case col_name: {
      words::put(t, member_name(list, m));
      u8 address[address_max];
      u32 n = member_address(&p->list, &p->link->link.peers, m, address);
      if ((p->list.duplicates >> m & 1) && n != 0) {
        words::put(t, mem::lit(" ("));
        words::put(t, mem::Bytes(address, n));
        words::put(t, mem::lit(")"));
      }
      if (e->settings->id_present && __builtin_memcmp(e->settings->id, list->ids[m], proto::id_size) == 0) {
        words::put(t, mem::lit(" (this computer)"));
      }
      return;
    }
    case col_address: {
      u8 address[address_max];
      u32 n = member_address(&p->list, &p->link->link.peers, m, address);
      words::put(t, n != 0 ? mem::Bytes(address, n) : mem::lit("-"));
      return;
    }
    case col_cpu: words::percent(t, v.cpu); return;
    case col_memory: words::gib_pair(t, v.memory_used, v.memory_total); return;
    case col_gpu: words::percent(t, v.gpu); return;
    case col_vram:
      if (v.video_total == 0) {
        words::put(t, mem::lit("-"));
        return;
      }
      words::gib_pair(t, v.video_used, v.video_total);
      if (v.shared_video & 1) words::put(t, mem::lit(" shared"));
      return;
    default: return;
  }
}

void update_panel(const Env* e, const app::Canvas& c, u32 m, i32 y) {
  const Page* p = e->page;
  const viewer::ViewerLink* link = &p->link->link;
  u32 row = viewer::update_row(link, members(p)->ids[m]);
  if (row == viewer::none_row) return;
  const proto::Updates& u = link->updates;
  u64 version = remote_update::member_version(&u, row);
  i32 w = c.width;
  if (w - 136 > 580) {
    words::Text t{};
    // Behind the newer of the host's version and the one this window's updater found.
    u64 newest = p->host_version > e->offered_version ? p->host_version : e->offered_version;
    bool behind = version != 0 && version < newest;
    if (version == 0) {
      words::put(&t, mem::lit("-"));
    } else {
      put_version(&t, version);
      if (behind) words::put(&t, mem::lit(" (behind)"));
    }
    i32 right = (w - 136 < 718 ? w - 136 : 718) - 12;
    app::text_in(c.surface, app::role_body, line_of(t), draw::Rect{568, y, right, y + row_height},
                 behind ? u32{colour_amber} : u32{app::colour_text}, 0);
  }
  if (w - 148 > 718) {
    words::Text t{};
    words::put(&t, remote_update::phase_word(u.phases[row]));
    if (u.phases[row] == 6) {
      words::put(&t, mem::lit(" "));
      put_version(&t, version);
    }
    mem::Bytes reason = remote_update::reason_text(u.details[row]);
    if (reason.len != 0) {
      words::put(&t, mem::lit(" "));
      words::put(&t, reason);
    }
    app::text_in(c.surface, app::role_body, line_of(t), draw::Rect{718, y, w - 148, y + row_height},
                 u.phases[row] == 7 ? u32{colour_amber} : u32{app::colour_grey}, 0);
  }
  if (remote_update::can_update(members(p), &u, row, p->host_version)) {
    bool armed = p->confirm == confirm_one && __builtin_memcmp(p->confirm_id, u.ids[row], proto::id_size) == 0;
    button(c, w - 136, y, w - 24, armed ? mem::lit("Confirm") : mem::lit("Update"), armed);
  }
}

void member_row(const Env* e, const app::Canvas& c, u32 position, i32 y) {
  const Page* p = e->page;
  const proto::MachineList* list = members(p);
  u32 m = row_of(&p->list, position);
  if (m == none) return;
  i32 w = c.width, left = app::content_left;
  if ((p->list.flags & flag_selected) && p->list.selected == position) fill(c, left, y, w - 24, y + row_height, app::colour_selected);
  bool host = (list->host_mask >> m) & 1;
  if (host) fill(c, 238, y, 241, y + row_height, colour_host);
  u8 state = list->summaries[m].state;
  u32 square = state == state_online ? u32{colour_online} : state == state_stale ? u32{colour_stale} : u32{app::colour_grey};
  fill(c, left, y + 10, left + 8, y + 18, square);
  app::text_in(c.surface, app::role_body, state_word(state),
               draw::Rect{260, y, left + column_right(col_state, w), y + row_height}, app::colour_text, 0);
  bool updates = members_only(p);
  for (u32 col = col_name; col < columns; ++col) {
    if (col == col_address && !wide(w)) continue;
    if (updates && col != col_name) break;
    i32 x0 = left + column_left(col, w), x1 = left + column_right(col, w);
    if (col == col_network) {
      network_cell(c, list->summaries[m], x0, x1, y);
      continue;
    }
    words::Text t{};
    cell_text(e, m, col, &t);
    i32 tw = app::text_in(c.surface, app::role_body, line_of(t), draw::Rect{x0, y, x1, y + row_height}, app::colour_text, 0);
    if (col == col_name && host) host_mark(c, x0 + tw + 8, x1, y);
  }
  if (updates) update_panel(e, c, m, y);
}

void group_row(const app::Canvas& c, const Page* p, u32 g, i32 y) {
  fill(c, app::content_left, y, c.width - 24, y + row_height, colour_group);
  group_triangle(c, 252, y + 11, is_collapsed(&p->list, g));
  words::Text t{};
  words::put(&t, os_name(g));
  words::put(&t, mem::lit(" ("));
  words::put_u64(&t, group_count(&p->list, g));
  words::put(&t, mem::lit(")"));
  app::text_in(c.surface, app::role_body, line_of(t), draw::Rect{265, y, c.width - 24, y + row_height},
               app::colour_label, 0);
}

// While the shell's text field edits the filter it is drawn focused; else the filter, or a hint when there is none.
void filter_field(const app::Canvas& c, const Page* p) {
  mem::Bytes filter = filter_text(&p->list);
  bool empty = filter.len == 0 && !p->editing;
  app::slot_field(c, app::slot_filter, empty ? mem::lit("Filter by name or address") : filter, p->editing,
                  empty ? app::colour_grey : app::colour_text, &p->field, false);
}

void headers(const app::Canvas& c, const Page* p) {
  i32 w = c.width, left = app::content_left;
  bool updates = members_only(p);
  for (u32 col = 0; col < columns; ++col) {
    if ((col == col_address && !wide(w)) || (updates && col > col_name)) continue;
    i32 x0 = left + column_left(col, w), x1 = left + column_right(col, w);
    bool sorted = p->list.sort_column == col;
    i32 tw = app::text_in(c.surface, app::role_body, column_title(col), draw::Rect{x0, 124, x1, 152},
                          sorted ? app::colour_text : app::colour_label, 0);
    if (sorted && x0 + tw + 17 <= x1) sort_arrow(c, x0 + tw + 8, (p->list.flags & flag_descending) != 0);
  }
  if (!updates) return;
  i32 version_right = (w - 136 < 718 ? w - 136 : 718) - 12;
  if (version_right + 12 >= 581) {
    app::text_in(c.surface, app::role_body, mem::lit("Version"), draw::Rect{568, 124, version_right, 152},
                 app::colour_label, 0);
  }
  if (w - 136 >= 731) {
    app::text_in(c.surface, app::role_body, mem::lit("Update"), draw::Rect{718, 124, w - 136 - 12, 152},
                 app::colour_label, 0);
  }
}

void updates_panel(const Env* e, const app::Canvas& c, i32 y) {
  const Page* p = e->page;
  i32 w = c.width;
  button(c, app::content_left, y, 376, p->updates_view ? mem::lit("Show usage") : mem::lit("Show updates"), false);
  u32 n = remote_update::count_updatable(members(p), &p->link->link.updates, p->host_version);
  words::Text t{};
  words::put(&t, mem::lit("Host version "));
  put_version(&t, p->host_version);
  words::put(&t, mem::lit(", "));
  words::put_u64(&t, n);
  words::put(&t, mem::lit(" can be updated"));
  app::text_in(c.surface, app::role_body, line_of(t), draw::Rect{388, y, w - 256, y + row_height}, app::colour_grey, 0);
  if (!p->updates_view || n == 0) return;
  words::Text b{};
  if (p->confirm == confirm_all) {
    words::put(&b, mem::lit("Confirm: update "));
    words::put_u64(&b, n);
  } else {
    words::put(&b, mem::lit("Update all outdated ("));
    words::put_u64(&b, n);
    words::put(&b, mem::lit(")"));
  }
  button(c, w - 244, y, w - 24, line_of(b), p->confirm == confirm_all);
}

}  // namespace

mem::Bytes column_title(u32 column) {
  switch (column) {
    case col_state: return mem::lit("State");
    case col_name: return mem::lit("Name");
    case col_cpu: return mem::lit("CPU");
    case col_memory: return mem::lit("Memory");
    case col_gpu: return mem::lit("GPU");
    case col_vram: return mem::lit("VRAM");
    case col_network: return mem::lit("Network");
    case col_address: return mem::lit("Address");
    default: return mem::Bytes();
  }
}

mem::Bytes state_word(u32 state) {
  switch (state) {
    case state_online: return mem::lit("online");
    case state_stale: return mem::lit("stale");
    case state_offline: return mem::lit("offline");
    default: return mem::lit("missing");
  }
}

void status_text(const Env* e, words::Text* t) {
  const Page* p = e->page;
  const viewer::ViewerLink* link = link_of(p);
  if (link == nullptr) return words::put(t, mem::lit("Not enough memory to view the machines."));
  if (p->demo_flags) return words::put(t, mem::lit("Demo machines under --test."));
  if (p->key_status == key_refused) {
    return words::put(t, mem::lit("The cluster key file is refused: import a key under Settings, Cluster."));
  }
  if (p->key_status == key_missing) {
    return words::put(t, mem::lit("Waiting for a cluster key: import it under Settings, Cluster."));
  }
  if (e->settings->target_kind == cluster::target_invalid) {
    return words::put(t, mem::lit("No server or share: set one under Settings, Cluster."));
  }
  if (!e->dial) return words::put(t, mem::lit("Not connected under --test."));
  if (p->link->child_failed) return words::put(t, mem::lit("The lease reader could not start, so the share is not read."));
  if (link->state == publish::open) {
    words::put(t, mem::lit("Connected to the host, term "));
    words::put_u64(t, link->term);
    words::put(t, mem::lit("."));
    if (link->list.count == 0) words::put(t, mem::lit(" No machine has published yet."));
    if (host_full(&link->list)) {
      words::put(t, mem::lit(" The host is full: a new machine is refused until one of these is offline."));
    }
    return;
  }
  words::put(t, mem::lit("Not connected: "));
  words::put(t, cluster::link_status_text(link->status));
}

void forget_text(const Page* p, words::Text* t) {
  words::put(t, mem::lit("Forget "));
  u32 m = row_of(&p->list, p->list.selected);
  if (p->link != nullptr && m != none) words::put(t, member_name(members(p), m));
  words::put(t, mem::lit("? It leaves the list and its history is kept. Confirm, or Escape."));
}

void host_line(const Page* p, words::Text* t) {
  if (p->link == nullptr) return;
  const proto::MachineList* list = members(p);
  u64 mask = list->host_mask & (member_count(list) >= 64 ? ~u64{0} : (u64{1} << member_count(list)) - 1);
  if (mask == 0) return;
  words::put(t, mem::lit(" Current host: "));
  words::put(t, member_name(list, static_cast<u32>(__builtin_ctzll(mask))));
  words::put(t, mem::lit("."));
}

void render(const Env* e, const app::Canvas& c) {
  const Page* p = e->page;
  i32 w = c.width;
  app::text_in(c.surface, app::role_body, app::section_title(1), draw::Rect{app::content_left, 56, w, 84},
               app::colour_text, 0);
  words::Text line{};
  bool armed = (p->list.flags & flag_forget_armed) != 0 && p->link != nullptr;
  if (armed) {
    forget_text(p, &line);
  } else {
    status_text(e, &line);
    host_line(p, &line);
  }
  app::text_in(c.surface, app::role_small, line_of(line), draw::Rect{app::content_left, 92, w - 24, 112},
               armed ? app::colour_text : app::colour_grey, 0);
  if (!has_members(p)) return;

  filter_field(c, p);
  app::slot_button_b(c, app::slot_machine_button, (p->list.flags & flag_forget_armed) ? mem::lit("Confirm")
                                                                                     : mem::lit("Forget"),
                     false);
  headers(c, p);
  fill(c, app::content_left, 151, w - 24, 152, colour_rule);
  i32 bottom = table_height(p, c.height);
  if (table_shown(p)) updates_panel(e, c, bottom);
  u32 rows = visible_rows(p, c.height);
  if (rows == 0) {
    app::text_in(c.surface, app::role_body, mem::lit("No machines match."),
                 draw::Rect{app::content_left, rows_top, w - 24, rows_top + row_height}, app::colour_grey, 0);
    return;
  }
  for (u32 r = 0; r < rows; ++r) {
    i32 y = rows_top + row_height * static_cast<i32>(r);
    u32 kind = row_kind(&p->list, r);
    if (kind == none) break;
    if (kind >= header_row) {
      group_row(c, p, kind - header_row, y);
    } else {
      member_row(e, c, kind, y);
    }
  }
}

}  // namespace machines
