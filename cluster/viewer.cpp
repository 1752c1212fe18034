#include "cluster/viewer.h"

#include "cluster/publish.h"
#include "history/hstore.h"

namespace viewer {

namespace {

constexpr u32 rows_head = 24;  // count, tier, scope and machine id before the rows of kinds 13, 21, 22 and 30

bool same_id(const u8* a, const u8* b) { return __builtin_memcmp(a, b, proto::id_size) == 0; }

void leave(ViewerLink* link) {
  link->state = link->state == publish::stopped ? publish::stopped : publish::waiting;
  restart(link);
}

u8 head_tier(mem::Bytes frame) { return proto::get8(proto::payload_of(frame), 2); }
u8 head_scope(mem::Bytes frame) { return proto::get8(proto::payload_of(frame), 3); }

}  // namespace

void init(ViewerLink* link, const auth::KeyState* key, u8* receive, u32 length) {
  __builtin_memset(link, 0, sizeof *link);
  link->opened_at = publish::never;
  link->hello_flags = start_flags;
  link->in = receive;
  link->in_length = receive == nullptr ? 0 : length;
  peer::init(&link->peer, key);
}

void want_peers(ViewerLink* link) { link->hello_flags = start_flags | proto::hello_peers; }
void want_updates(ViewerLink* link) { link->hello_flags |= proto::hello_updates; }

void restart(ViewerLink* link) {
  link->list.count = 0;
  link->list.host_mask = 0;
  link->in_used = 0;
  link->out_used = 0;
  link->watched_known = 0;
  link->updates.count = 0;
  link->opened_at = publish::never;
}

void fixed(ViewerLink* link, u32 address, u16 port, u64 now) {
  restart(link);
  publish::aim_fixed(link, address, port, now);
}

void share(ViewerLink* link, u64 now) {
  restart(link);
  link->target_kind = publish::target_share;
  link->state = publish::waiting;
  link->target_address = 0;
  link->target_port = 0;
  link->term = 0;
  link->lease_term = 0;
  link->lease_counter = 0;
  link->backoff = 0;
  link->next_try = now;
  link->lease_wanted = 1;
  link->status = cluster::status_no_lease;
}

void stop(ViewerLink* link) {
  restart(link);
  link->state = publish::stopped;
  link->target_kind = publish::target_none;
  link->status = cluster::status_waiting;
}

bool due(const ViewerLink* link, u64 now) { return publish::dial_due(link, now); }

bool ready(const ViewerLink* link) { return link->state == publish::open; }

void dialing(ViewerLink* link, u64 now) {
  restart(link);
  link->state = publish::connecting;
  link->state_since = now;
  ++link->dials;
}

u32 wait_ms(const ViewerLink* link, u64 now) { return publish::dial_wait(link, now); }

bool idle(ViewerLink* link, u64 now) {
  if (!ready(link) || now < link->last_send || now - link->last_send < publish::idle_ms) return false;
  return commit(link, proto::encode_ping(stage(link)), now);
}

mem::Bytes out_data(const ViewerLink* link) { return mem::Bytes(link->out, link->out_used); }

void sent(ViewerLink* link, u64 n) { publish::drop_sent(link, n); }

mem::Slice in_room(ViewerLink* link) { return mem::Slice{link->in + link->in_used, link->in_length - link->in_used}; }

u32 kind_of(mem::Bytes frame) { return proto::frame_kind(frame); }

void failed(ViewerLink* link, u64 now, u32 random, u8 status) {
  publish::back_off(link, now, random, status);
  leave(link);
}

bool connected(ViewerLink* link, const u8* nonce, u32 nonce_length, bool nonce_ok, u64 now) {
  proto::Hello hello = {};
  hello.role = proto::role_viewer;
  hello.flags = link->hello_flags;
  return publish::queue_hello(link, &hello, nonce, nonce_length, nonce_ok, send_room, now);
}

bool lease(ViewerLink* link, bool readable, const cluster::Heard* record, u64 now, u32 random) {
  link->lease_wanted = 0;
  if (link->target_kind != publish::target_share) return false;
  publish::LeaseJudgement j = publish::judge_lease(readable, record, link->lease_term, link->lease_counter,
                                                   link->term, link->target_address, link->target_port);
  if (j.verdict == publish::lease_ignore || j.verdict == publish::lease_older_term) return false;
  link->lease_term = record->term;
  link->lease_counter = record->counter;
  if (!j.changed) return false;
  bool was_linked = publish::move_target(link, &j, now, random);
  leave(link);
  return was_linked;
}

mem::Slice stage(ViewerLink* link) {
  u32 from = link->out_used < stage_end ? link->out_used : stage_end;
  return mem::Slice{link->out + from, stage_end - from};
}

bool commit(ViewerLink* link, u32 n, u64 now) { return publish::seal_staged(link, send_room, n, now); }

// ---- Requests.

bool ask(ViewerLink* link, u32 kind, const u8* payload, u32 length, u64 now) {
  if (!ready(link)) return false;
  return commit(link, proto::encode_bytes(kind, mem::Bytes(payload, length), stage(link)), now);
}

bool ask_own(ViewerLink* link, u32 kind, u64 now) { return ask(link, kind, link->watched_id, proto::id_size, now); }

bool watch(ViewerLink* link, const u8* id, Remote* model, u64 now) {
  __builtin_memcpy(link->watched_id, id, proto::id_size);
  link->watching = 1;
  link->watched_known = 0;
  link->watched = model;
  return ask_own(link, proto::kind_watch, now);
}

bool unwatch(ViewerLink* link, u64 now) {
  link->watching = 0;
  link->watched_known = 0;
  link->watched = nullptr;
  return ask_own(link, proto::kind_unwatch, now);
}

bool forget(ViewerLink* link, const u8* id, u64 now) { return ask(link, proto::kind_forget, id, proto::id_size, now); }

bool update_now(ViewerLink* link, const u8* id, u64 now) {
  return ask(link, proto::kind_update_now, id, proto::id_size, now);
}

u32 find(const ViewerLink* link, const u8* id) {
  for (u32 i = 0; i < link->list.count && i < proto::list_rows; ++i) {
    if (same_id(link->list.ids[i], id)) return i;
  }
  return none_row;
}

mem::Bytes list_name(const ViewerLink* link, u32 n) {
  if (n >= link->list.count || n >= proto::list_rows) return mem::Bytes(nullptr, 0);
  const u8* name = link->list.names[n];
  u32 length = 0;
  while (length < proto::name_size && name[length] != 0) ++length;
  return mem::Bytes(name, length);
}

u32 update_row(const ViewerLink* link, const u8* id) {
  for (u32 i = 0; i < link->updates.count && i < proto::list_rows; ++i) {
    if (same_id(link->updates.ids[i], id)) return i;
  }
  return none_row;
}

void reset_remote(Remote* remote) {
  machine::init(&remote->machine);
  remote->procs.count = 0;
  remote->procs.flags = 0;
  remote->procs.totals[0] = remote->procs.totals[1] = remote->procs.totals[2] = 0;
  remote->inventories = 0;
  remote->sample_count = 0;
  remote->proc_frames = 0;
}

mem::Bytes name_of(const proto::Inventory* inventory, u32 n) {
  if (n >= proto::inventory_names) return mem::Bytes(nullptr, 0);
  const u8* name = inventory->names[n];
  u32 length = 0;
  while (length < proto::name_size && name[length] != 0) ++length;
  return mem::Bytes(name, length);
}

namespace {

void put_hw32(machine::Machine* m, u32 at, u32 value) { __builtin_memcpy(m->hardware + at, &value, 4); }
void put_hw16(machine::Machine* m, u32 at, u16 value) { __builtin_memcpy(m->hardware + at, &value, 2); }

void name_run(machine::Machine* m, const proto::Inventory* inv, u32 slot, u32 first, u32 count) {
  for (u32 i = 0; i < count; ++i) {
    mem::Bytes name = name_of(inv, first + i);
    machine::set_name(m, slot + i, name.ptr, name.len);
  }
}

}  // namespace

// The inverse of the publisher's inventory: the same fields, read back into the places they were taken from.
void take_inventory(machine::Machine* m, const proto::Inventory* inv) {
  machine::set_counts(m, inv->hw16[1], inv->disk_count, inv->adapter_count);
  bool over = false;
  m->gpus = static_cast<u8>(machine::capped(inv->gpu_count, machine::max_gpus, &over));
  m->count_flags = static_cast<u8>((m->count_flags & ~machine::more_gpus) | (over ? machine::more_gpus : 0));
  name_run(m, inv, machine::slot_cpu, proto::name_cpu, 1);
  name_run(m, inv, machine::slot_disks, proto::name_disk, machine::max_disks);
  name_run(m, inv, machine::slot_nics, proto::name_adapter, machine::max_nics);
  name_run(m, inv, machine::slot_gpus, proto::name_gpu, machine::max_gpus);
  name_run(m, inv, machine::slot_drive_models, proto::name_disk_second, machine::max_disks);

  m->memory_total = inv->hw32[0];
  for (u32 i = 0; i < 5; ++i) put_hw32(m, 4 * i, inv->hw32[1 + i]);
  for (u32 i = 0; i < 3; ++i) put_hw32(m, 32 + 4 * i, inv->hw32[6 + i]);
  m->commit_limit = inv->hw32[9];
  for (u32 i = 0; i < 4; ++i) put_hw16(m, 20 + 2 * i, inv->hw16[i]);
  m->base_mhz = inv->hw16[2];
  __builtin_memcpy(m->hardware + 28, inv->hw8, 4);
  m->hardware[48] = inv->hw8[4];
  m->hardware[49] = inv->hw8[5];
  put_hw16(m, 44, inv->hw16b[0]);
  put_hw16(m, 46, inv->hw16b[1]);
  m->status = (m->status & ~u32{15}) | (inv->hw_flags & 15u);
  m->capacity_saturated = inv->disk_bits[0];
  m->details.media[0] = inv->disk_bits[1];
  m->details.media[1] = inv->disk_bits[2];
  for (u32 i = 0; i < 3; ++i) m->details.bus[i] = inv->disk_bits[3 + i];
  for (u32 g = 0; g < machine::max_gpus; ++g) {
    m->gpu_dedicated[g] = inv->gpu_dedicated[g];
    m->gpu_shared[g] = inv->gpu_shared[g];
    m->gpu_classes[g] = inv->gpu_type[g];
  }
  for (u32 i = 0; i < machine::max_disks; ++i) m->disk_capacity[i] = inv->disk_value[i];
  for (u32 i = 0; i < machine::max_nics; ++i) m->link_mbps[i] = inv->adapter_value[i];
  machine::rehash(m);
}

namespace {

void put_bit(u64* set, u32 row, bool on) {
  u64 bit = u64{1} << (row % 64);
  set[row / 64] = on ? set[row / 64] | bit : set[row / 64] & ~bit;
}

}  // namespace

void take_procs(const proto::ProcRecord* record, model::ProcTable* table) {
  u32 n = record->count < proto::proc_rows_max ? record->count : proto::proc_rows_max;
  for (u32 i = 0; i < n; ++i) model::proc_keep(table, record->rows[i].pid, record->rows[i].start[0]);
  model::proc_sweep(table);
  bool full = false;
  for (u32 i = 0; i < n; ++i) {
    const proto::ProcRow& r = record->rows[i];
    mem::Bytes name(r.name, model::name_end(r.name, sizeof r.name));
    u64 handle = model::proc_upsert(table, r.pid, 0, r.start[0], name);
    u32 row = model::proc_row(table, handle);
    if (row == model::no_row) {
      full = true;
      continue;
    }
    table->cpu[row] = r.cpu;
    table->gpu[row] = r.gpu;
    table->working_set[row] = r.memory;
    table->private_bytes[row] = r.value20;
    table->read_rate[row] = r.disk_read;
    table->write_rate[row] = r.disk_write;
    table->handles[row] = r.value32;
    table->gpu_memory[row] = r.vram;
    table->thread_count[row] = r.threads;
    table->tcp[row] = r.tcp;
    put_bit(table->gpu_present, row, (r.flags & 1) != 0);
    // The sender measured no disk rate: the row shows "not reported" as a local one would.
    u64 previous = (r.flags & 2) != 0 ? ~u64{0} : 0;
    table->prev_read[row] = table->prev_written[row] = previous;
    put_bit(table->clipped, row, (r.flags & 4) != 0);
  }
  // As after a local update: the next record's sweep keeps only what it names, and no row counts as new.
  __builtin_memset(table->seen, 0, sizeof table->seen);
  __builtin_memset(table->fresh, 0, sizeof table->fresh);
  table->processes = record->totals[0];
  table->threads = record->totals[1];
  table->tcp_total = record->totals[2];
  table->flags = (record->flags & 0x1F) | (full ? u32{model::flag_truncated} : 0u);
}

// ---- History views.

void names_clear(NameFilter* filter) {
  filter->tops_taken = 0;
  filter->matched_count = 0;
  filter->names_count = 0;
  filter->overflow = 0;
  __builtin_memset(filter->most, 0, sizeof filter->most);
  __builtin_memset(filter->matches, 0, sizeof filter->matches);
  __builtin_memset(filter->tops, 0, sizeof filter->tops);
}

void hist_clear(HistView* view) {
  if (view->filter != nullptr) names_clear(view->filter);
  view->rows_taken = 0;
  view->frames_taken = 0;
  for (u32 r = 0; r < hist_rows; ++r) {
    view->count[r] = 0;
    for (u32 m = 0; m < 2; ++m) {
      view->min[m][r] = 0xFFFF;
      view->max[m][r] = 0;
      view->sum[m][r] = 0;
    }
  }
}

void hist_start(HistView* view, u32 start, u32 span, u8 measure1, u8 measure2, u8 tier, u8 scope, const u8* id) {
  view->start = start;
  view->span = span;
  view->measure[0] = measure1;
  view->measure[1] = measure2;
  view->tier = tier;
  view->scope = scope;
  view->asked = 0;
  view->done = 0;
  view->filter = nullptr;  // a name filter comes with hist_want
  __builtin_memcpy(view->id, id, proto::id_size);
  hist_clear(view);
}

void hist_want(HistView* view, NameFilter* filter, const u8* text, u32 length) {
  view->filter = filter;
  if (filter != nullptr) {
    u32 n = length < filter_text_max ? length : filter_text_max;
    __builtin_memset(filter->text, 0, sizeof filter->text);
    if (n != 0) __builtin_memcpy(filter->text, text, n);
    filter->text_length = n;
    filter->text_hash = n == 0 ? 0 : ptop::name_hash(mem::Bytes(filter->text, n));
  }
  hist_clear(view);
}

bool history(ViewerLink* link, HistView* view, u64 now) {
  link->view = view;
  view->asked = 1;
  view->done = 0;
  return ask_history(link, now);
}

bool ask_history(ViewerLink* link, u64 now) {
  HistView* view = link->view;
  if (!ready(link) || view == nullptr) return false;
  hist_clear(view);
  proto::HistoryAsk ask = {};
  __builtin_memcpy(ask.id, view->id, proto::id_size);
  ask.tier = view->tier;
  ask.scope = view->scope;
  ask.options = view->filter != nullptr ? 1 : 0;  // names and top rows come with the buckets
  ask.first = view->start;
  ask.last = view->start + view->span - (view->span < 1 ? view->span : 1);
  return commit(link, proto::encode_history(&ask, stage(link)), now);
}

bool ask_rows(ViewerLink* link, hist::Table* request, u64 now) {
  if (!ready(link) || !hist::ask(request, hist::chunk_buckets(link->in_length))) return false;
  proto::HistoryAsk ask = {};
  __builtin_memcpy(ask.id, request->id, proto::id_size);
  ask.tier = request->tier;
  ask.scope = 0;
  ask.options = request->energy ? 2 : 0;
  ask.first = request->ask_start;
  ask.last = request->ask_end;
  request->sent = commit(link, proto::encode_history(&ask, stage(link)), now) ? 1 : 0;
  link->pending = request;
  return request->sent != 0;
}

void drop_rows(ViewerLink* link) { link->pending = nullptr; }

// In 64 bits: a span chosen by a tool may be long enough for (time - start) x 60 to pass 32 bits.
u32 hist_row(u32 time, u32 start, u32 span) {
  if (time < start || time - start >= span) return outside;
  return static_cast<u32>(u64{time - start} * hist_rows / (span < 1 ? 1 : span));
}

u32 field_value(u32 measure, u32 value) {
  return measure == 6 || measure == 7 ? hstore::rate_of(static_cast<u16>(value)) : value;
}

void hist_fold(HistView* view, const store::Bucket* bucket) {
  u32 row = hist_row(bucket->slot, view->start, view->span);
  if (row == outside) return;
  if (view->count[row] < 0xFFFF) ++view->count[row];
  for (u32 s = 0; s < 2; ++s) {
    u32 m = view->measure[s] > 7 ? 7 : view->measure[s];
    if (bucket->min[m] < view->min[s][row]) view->min[s][row] = bucket->min[m];
    if (bucket->max[m] > view->max[s][row]) view->max[s][row] = bucket->max[m];
    view->sum[s][row] += field_value(m, bucket->mean[m]);
  }
}

u8 fold_case(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }

bool name_is(const u8* name, const u8* text, u32 length) {
  u32 n = 0;
  while (n < ptop::name_bytes && name[n] != 0) ++n;
  if (n != length) return false;
  for (u32 i = 0; i < n; ++i) {
    if (fold_case(name[i]) != fold_case(text[i])) return false;
  }
  return true;
}

namespace {

bool holds(const u32* hashes, u32 count, u32 hash) {
  for (u32 i = 0; i < count; ++i) {
    if (hashes[i] == hash) return true;
  }
  return false;
}

}  // namespace

void take_name(NameFilter* f, const u8* name) {
  u32 hash = ptop::name_hash(mem::Bytes(name, ptop::name_bytes));
  if (f->text_length != 0 && f->matched_count < filter_matches_max && name_is(name, f->text, f->text_length) &&
      !holds(f->matched, f->matched_count, hash)) {
    f->matched[f->matched_count++] = hash;
  }
  if (f->names_count >= filter_names_max) {
    ++f->overflow;
    return;
  }
  if (holds(f->name_hashes, f->names_count, hash)) return;
  f->name_hashes[f->names_count] = hash;
  __builtin_memcpy(f->names[f->names_count], name, ptop::name_bytes);
  ++f->names_count;
}

bool matched(const NameFilter* f, u32 hash) {
  if (hash == 0) return false;
  return holds(f->matched, f->matched_count, hash) || (f->text_length != 0 && hash == f->text_hash);
}

void take_tops(NameFilter* f, u32 slot, const ptop::Row* row) {
  if (slot >= hist_rows) return;
  ptop::merge(&f->tops[slot], row);
  const ptop::List* lists[2] = {&row->a, &row->b};
  bool any = false;
  for (u32 l = 0; l < 2; ++l) {
    for (u32 e = 0; e < ptop::top; ++e) {
      if (!matched(f, lists[l]->hash[e])) continue;
      any = true;
      if (lists[l]->value[e] > f->most[slot][l]) f->most[slot][l] = lists[l]->value[e];
    }
  }
  if (any && f->matches[slot] < 0xFFFF) ++f->matches[slot];
  ++f->tops_taken;
}

// ---- Received frames.

bool refused(ViewerLink* link, mem::Bytes frame) {
  link->status = publish::refusal(frame, &link->refuse_reason);
  return false;
}

bool on_hello(ViewerLink* link, mem::Bytes frame) {
  u32 kind = kind_of(frame);
  if (kind == proto::kind_reply) return publish::take_reply(link, frame, send_room);
  if (kind == proto::kind_moved) {
    link->lease_wanted = link->target_kind == publish::target_share;
    link->status = cluster::status_moved;
    return false;
  }
  return refused(link, frame);
}

bool on_proof(ViewerLink* link, mem::Bytes frame, u64 now) {
  if (kind_of(frame) != proto::kind_accept) return refused(link, frame);
  if (!publish::take_accept(link, frame, now)) return false;
  // What the owner asked for lives on across connections and is asked for again.
  if (link->watching) ask_own(link, proto::kind_watch, now);
  if (link->view != nullptr && link->view->asked && !link->view->done) ask_history(link, now);
  if (link->pending != nullptr) link->pending->sent = 0;
  return true;
}

bool on_watched(ViewerLink* link, mem::Bytes frame) {
  u32 kind = kind_of(frame);
  Remote* model = link->watched;
  bool known = link->watching && link->watched_known && model != nullptr;
  if (kind == proto::kind_inventory) {
    proto::Inventory inv;
    if (proto::decode_inventory(frame, &inv) != proto::ok) return false;
    if (!link->watching || model == nullptr || !same_id(inv.id, link->watched_id)) return true;
    model->inventory = inv;
    take_inventory(&model->machine, &inv);
    ++model->inventories;
    link->watched_known = 1;
    return true;
  }
  if (kind == proto::kind_sample) {
    ring::Row row;
    if (proto::decode_sample(frame, reinterpret_cast<u8*>(&row)) != proto::ok) return false;
    if (!known) return true;
    machine::push(&model->machine, &row);
    ++model->sample_count;
    return true;
  }
  if (kind == proto::kind_temps) {
    u8 block[proto::temps_block_size];
    if (proto::decode_temps(frame, block) != proto::ok) return false;
    if (known) __builtin_memcpy(&model->machine.temps, block, sizeof block);
    return true;
  }
  if (!known) return true;
  if (proto::decode_procs(frame, &model->procs) != proto::ok) return false;
  ++model->proc_frames;
  return true;
}

namespace {

bool bucket_of(mem::Bytes frame, u32 i, store::Bucket* bucket) {
  u8 raw[proto::bucket_size];
  return proto::bucket_at(frame, i, raw) && store::decode_bucket(mem::Bytes(raw, sizeof raw), 0, bucket);
}

}  // namespace

bool rows_fold(ViewerLink* link, mem::Bytes frame, u32 count, u32 more) {
  hist::Table* request = link->pending;
  if (request == nullptr || !hist::wants(request, head_tier(frame), head_scope(frame), proto::buckets_id(frame))) {
    return true;
  }
  for (u32 i = 0; i < count; ++i) {
    store::Bucket bucket;
    if (!bucket_of(frame, i, &bucket)) return false;
    hist::fold(request, &bucket);
  }
  request->answered_rows = hist::add_sat(request->answered_rows, count);
  if (!more) hist::answered(request, 0);
  return true;
}

bool on_buckets(ViewerLink* link, mem::Bytes frame) {
  u32 count = 0, more = 0;
  if (proto::check_buckets(frame, &count, &more) != proto::ok) return false;
  if (!rows_fold(link, frame, count, more)) return false;
  if (!hist_mine(link, frame)) return true;
  HistView* view = link->view;
  for (u32 i = 0; i < count; ++i) {
    store::Bucket bucket;
    if (!bucket_of(frame, i, &bucket)) return false;
    hist_fold(view, &bucket);
  }
  view->rows_taken += count;
  ++view->frames_taken;
  view->done = more ? 0 : 1;
  return true;
}

bool hist_mine(const ViewerLink* link, mem::Bytes frame) {
  const HistView* view = link->view;
  const u8* id = proto::buckets_id(frame);
  return view != nullptr && view->asked && !view->done && id != nullptr && head_tier(frame) == view->tier &&
         head_scope(frame) == view->scope && same_id(id, view->id);
}

bool on_rows(ViewerLink* link, mem::Bytes frame) {
  u32 kind = kind_of(frame);
  u32 count = 0;
  if (proto::check_rows(frame, kind, &count) != proto::ok) return false;
  if (!hist_mine(link, frame) || link->view->filter == nullptr) return true;
  HistView* view = link->view;
  mem::Bytes payload = proto::payload_of(frame);
  for (u32 i = 0; i < count; ++i) {
    u64 at = rows_head + u64{i} * proto::kind_row(kind);
    if (kind == proto::kind_names) {
      take_name(view->filter, payload.ptr + at);
      continue;
    }
    ptop::Row row;
    if (!ptop::decode(payload, at, &row)) return false;
    take_tops(view->filter, hist_row(row.slot, view->start, view->span), &row);
  }
  return true;
}

bool on_energy(ViewerLink* link, mem::Bytes frame) {
  u32 count = 0;
  if (proto::check_rows(frame, proto::kind_energy, &count) != proto::ok) return false;
  hist::Table* request = link->pending;
  if (request == nullptr || !hist::wants(request, head_tier(frame), head_scope(frame), proto::buckets_id(frame))) {
    return true;
  }
  mem::Bytes payload = proto::payload_of(frame);
  for (u32 i = 0; i < count; ++i) {
    store::Energy energy;
    if (!store::decode_energy(payload, rows_head + u64{i} * proto::kind_row(proto::kind_energy), &energy)) {
      return false;
    }
    hist::fold_energy(request, &energy);
  }
  return true;
}

bool on_open(ViewerLink* link, mem::Bytes frame) {
  if (!peer::opened(&link->peer, frame)) {
    link->status = cluster::status_host_proof;
    return false;
  }
  mem::Bytes bare(frame.ptr, frame.len - proto::tag_size);
  bool good = true;
  switch (kind_of(bare)) {
    case proto::kind_inventory:
    case proto::kind_sample:
    case proto::kind_procs:
    case proto::kind_temps:
      good = on_watched(link, bare);
      break;
    case proto::kind_list:
      good = proto::decode_list(bare, &link->list) == proto::ok;
      link->lists += good;
      break;
    case proto::kind_buckets:
      good = on_buckets(link, bare);
      break;
    case proto::kind_ping:
      break;
    case proto::kind_names:
    case proto::kind_tops:
      good = on_rows(link, bare);
      break;
    case proto::kind_peers:
      good = proto::decode_peers(bare, &link->peers) == proto::ok;
      link->peer_frames += good;
      break;
    case proto::kind_updates:
      good = proto::decode_updates(bare, &link->updates) == proto::ok;
      link->update_frames += good;
      break;
    case proto::kind_energy:
      good = on_energy(link, bare);
      break;
    default:
      return refused(link, bare);
  }
  if (!good) link->status = cluster::status_bad_frame;
  return good;
}

namespace {

bool history_kind(u32 kind) {
  return kind == proto::kind_buckets || kind == proto::kind_names || kind == proto::kind_tops ||
         kind == proto::kind_energy;
}

// A history answer larger than the receive buffer would come again after every reconnect, as the view and the
// request are asked again when the link opens: both are given up first, so the link closes once, not forever.
void give_up_history(ViewerLink* link, mem::Bytes frame) {
  if (!history_kind(proto::frame_kind(frame))) return;
  if (link->view != nullptr) link->view->done = 1;
  if (link->pending != nullptr) {
    link->pending->asking = 0;
    link->pending->state = hist::state_unreachable;
    ++link->pending->changes;
    link->pending = nullptr;
  }
}

}  // namespace

bool fits_in(const ViewerLink* link, u32 length) { return length >= 1 && length <= link->in_length; }

bool received(ViewerLink* link, u32 n, u64 now) {
  const publish::Handlers<ViewerLink> handlers = {on_hello, on_proof, on_open, give_up_history, fits_in};
  return publish::scan_frames(link, link->in, link->in_length, n, now, &handlers);
}

}  // namespace viewer
