#include "host/hubshare.h"

#include "base/bits.h"
#include "wire/cluster.h"
#include "history/shareprobe.h"
#include "history/shareread.h"
#include "history/sharering.h"
#include "history/store.h"
#include "host/linuxfeed.h"
#include "platform/fs.h"

// ---- Share duties: the address toward the share, registration, the lease, flushes and history answers.

namespace hub {

namespace {

// 1 for a "\\server\rest" path, with the server part.
bool unc_server(mem::Bytes path, mem::Bytes* server) {
  u32 end = store::unc_server_end(path);
  if (end == 0) return false;
  *server = mem::Bytes(path.ptr + 2, end - 2);
  return true;
}

u32 address_of_server(mem::Bytes server) {
  u64 literal = cluster::parse_ipv4(server);
  u32 address = literal != 0 ? static_cast<u32>(literal) : sock::resolve(server);
  return address == 0 ? 0 : sock::local_address_toward(address);
}

}  // namespace

u32 share_address(mem::Bytes path, u32 listen) {
  if (listen != 0) return listen;
  mem::Bytes server;
  if (unc_server(path, &server)) return address_of_server(server);
  u32 type = fs::drive_type(path);
  if (type == fs::drive_remote) {
    store::Path network;
    if (fs::unc_of_drive(path, &network) && !network.overflow && unc_server(store::path_of(&network), &server)) {
      return address_of_server(server);
    }
    return 0;
  }
  if (type == fs::drive_removable || type == fs::drive_fixed || type == fs::drive_optical || type == fs::drive_ram) {
    return 0x7F000001;
  }
  return 0;
}

u32 register_share(Host* host, mem::Arena* arena, mem::Bytes path, u32 address, u64 now_tick) {
  (void)now_tick;
  share::Share* s = mem::alloc_of<share::Share>(arena);
  if (s == nullptr) return stop_no_term;
  u8 id[16];
  bool have_id = host->random(mem::Slice{id, sizeof id}) != 0;
  fs::make_directories(path);
  share::init(s, path, &host->hub->key, id, address, host->port, 1);
  store::Path members;
  store::path_set(&members, path);
  store::path_join(&members, mem::lit("members"));
  fs::io_make_directory(store::path_of(&members));
  // The probe file of the self-test lies beside the member records, named after this run's id; it is removed again.
  store::Path base = members;
  store::path_id(&base, id);
  host->verdict = share::selftest(path, store::path_of(&base));
  host->share = s;
  Hub* h = host->hub;
  h->flags &= ~hub_serving;
  h->moved_term = 0;
  h->moved_address = 0;
  h->moved_port = 0;
  h->flags |= hub_share_attached;
  return hstore::refusal(have_id, host->verdict, (host->options.flags & flag_force_share) != 0);
}

void check_stop(Host* host, u32 result) {
  share::Share* s = host->share;
  u32 reason = hstore::stop_of((s->flags & share::stopped) != 0, result, s->lease_failures, s->flags);
  if (reason != stop_none) stop(host, reason);
}

void decide_lease(Host* host, u32 now) {
  share::Share* s = host->share;
  Hub* h = host->hub;
  store::Path lease;
  store::path_set(&lease, store::path_of(&s->folder));
  store::path_join(&lease, mem::lit("lease"));
  u64 file = 0;
  u32 opened = fs::io_open_read(store::path_of(&lease), &file);
  if (opened == fs::io_ok) fs::io_close(&file);
  bool missing = opened == fs::io_not_found;
  proto::Lease record = {};
  bool good = share::read_lease(s, &h->key, &record);
  u32 verdict = hstore::observe(&host->watch, missing, good, record.term, record.counter,
                                (record.flags & proto::lease_released) != 0, now);
  h->moved_term = host->watch.term;
  h->moved_address = good ? record.address : 0;
  h->moved_port = good ? record.port : 0;
  h->flags &= ~hub_serving;
  if (verdict == 1) {
    if (host->options.flags & flag_refuse_if_live) return stop(host, stop_live);
    if (!host->waiting_printed) {
      host->waiting_printed = 1;
      log(host, mem::lit("vimbrel host: waiting: a host of term "));
      log_dec(host, record.term);
      log(host, mem::lit(" is live\n"));
    }
    return;
  }
  if (verdict != 2) return;
  if (share::claim_next(s, now) != share::done) {
    if (s->claim_trouble.kind != share::trouble_none) {
      say_trouble(host->writer, mem::lit("vimbrel host: cannot claim a term: "), &s->claim_trouble, false);
    }
    return stop(host, stop_no_term);
  }
  report_share(host);
  set_term(h, s->term);
  log(host, mem::lit("vimbrel host: listening on port "));
  log_dec(host, host->port);
  log(host, mem::lit(", term "));
  log_dec(host, s->term);
  log(host, mem::lit(", share self-test "));
  log(host, hstore::verdict_word(host->verdict));
  log(host, mem::lit("\n"));
  if (host->feed != nullptr && !host->feed->keyed) {
    log(host, mem::lit("vimbrel host: "));
    log(host, linuxfeed::no_key_text());
    log(host, mem::lit("\n"));
  }
}

void say_trouble(Writer writer, mem::Bytes lead, const share::Note* t, bool every_file) {
  writer(lead);
  bool at_file = t->kind == share::trouble_planted || t->kind == share::trouble_foreign;
  if (at_file && t->path.length != 0 && !t->path.overflow) {
    writer(store::path_of(&t->path));
    writer(mem::lit(" is in the way: "));
  }
  writer(share::trouble_text(t->kind));
  if (every_file && !at_file && t->path.length != 0 && !t->path.overflow) {
    writer(mem::lit(" ("));
    writer(store::path_of(&t->path));
    writer(mem::lit(")"));
  }
  writer(mem::lit("\n"));
}

void report_share(Host* host) {
  const share::Share* s = host->share;
  if (s == nullptr) return;
  const share::Trouble* t = &s->trouble;
  u32 from = t->sequence - host->trouble_said > share::trouble_memory ? t->sequence - share::trouble_memory
                                                                      : host->trouble_said;
  for (u32 n = from; n != t->sequence; ++n) {
    say_trouble(host->writer, mem::lit("vimbrel host: on the share: "), &t->notes[n % share::trouble_memory], true);
  }
  host->trouble_said = t->sequence;
  if (s->stats.stepped != 0 && !host->step_said) {
    // A host that took over from one whose clock ran ahead, or whose own clock stepped back, writes at its own time.
    host->step_said = 1;
    log(host, mem::lit("vimbrel host: the newest stored history is "));
    log_dec(host, s->stats.ahead);
    log(host, mem::lit(" s ahead of this host's clock; new history is stored at this host's time, and the history "
                       "ahead is kept\n"));
  }
}

void tick(Host* host, u32 now, u32 wall) {
  share::Share* s = host->share;
  if (s == nullptr) return;
  report_share(host);
  if (!(s->flags & share::claimed)) {
    decide_lease(host, now);
    if (host->stop_reason != stop_none || !(s->flags & share::claimed)) return;
  }
  u32 r = (s->flags & share::leased) ? share::renew_lease(s, now) : share::take_lease(s, now, share::now_ms(s));
  check_stop(host, r);
  if (host->stop_reason != stop_none) return;
  hstore::close_due(&host->hub->history, wall);
  ptop::close_due(&host->hub->tops, wall);
  flush_history(host, 16);
  flush_top(host, 16);
}

namespace {

bool may_flush(const Host* host) {
  const share::Share* s = host->share;
  return s != nullptr && (s->flags & share::leased) && (s->flags & share::set_up);
}

bool table_full(const Host* host) { return host->share->count >= share::machines; }

// The share's index of a machine, added when missing; all ones when refused.
u32 share_index(Host* host, u32 i, u32 now) {
  i32 k = share::add_machine(host->share, host->hub->m.ids[i],
                             mem::Bytes(host->hub->m.inventory[i].names[proto::name_computer], 32), now);
  return k < 0 ? none : static_cast<u32>(k);
}

void count(u32* counter) {
  if (*counter != 0xFFFFFFFF) ++*counter;
}

void flush_inventories(Host* host, u32 budget, u32 now) {
  Hub* h = host->hub;
  u64 changed = h->m.sets[m_inventory_changed];
  u64 picked = hstore::pick_from(changed, budget, host->cursors[0]);
  host->cursors[0] = static_cast<u8>(hstore::start_after(changed, budget, host->cursors[0]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    m_put(h, m_inventory_changed, i, false);
    u32 k = share_index(host, i, now);
    u32 r = k == none ? share::refused : share::rename_machine(host->share, k, &h->m.inventory[i], now);
    if (r == share::done) {
      count(&host->written.inventories);
    } else if (!table_full(host)) {
      m_put(h, m_inventory_changed, i, true);
      hstore::count_failure(h->history.failures, i, 1);
    }
  }
}

// Tiers 1 and 2 of one machine; true when every write worked.
bool flush_tiers(Host* host, u32 i, u32 k, u32 now) {
  Hub* h = host->hub;
  share::Share* s = host->share;
  if (share::is_carrying(s, k)) return false;
  bool all = true;
  for (u32 tier = 1; tier <= 2; ++tier) {
    hstore::Upper* u = &h->history.upper[tier - 1];
    u64 bit = u64{1} << i;
    if (u->close_pending & bit) {
      if (share::roll_up(s, k, tier, u->previous[i], now) != share::done) {
        all = false;
        continue;
      }
      u->close_pending &= ~bit;
    }
    u32 slot = hstore::slot_time(u->start[i], tier);
    if ((u->started & bit) && !(u->seeded & bit)) {
      hstore::BucketSum stored;
      bool held = share::read_buckets(s, k, tier, slot, &stored);
      hstore::seed(&h->history, i, tier, &stored);
      // The share holds this slot already (a restart within it): rewrite that record rather than add one.
      if (held) u->started &= ~bit;
    }
    store::Energy energy;
    if (!(u->energy_looked_up & bit)) {
      store::Energy stored;
      if (share::read_energy(s, k, tier, slot, &stored)) hstore::energy_seed(&h->history, i, tier, &stored);
      u->energy_looked_up |= bit;
    }
    hstore::tier_energy(&h->history, i, tier, &energy);
    if (energy.seconds != 0) {
      if (share::put_energy(s, k, tier, &energy, now) == share::done) {
        count(&host->written.energy);
      } else {
        all = false;
      }
    }
    store::Bucket bucket;
    hstore::tier_bucket(&h->history, i, tier, &bucket);
    if (share::put_tier_bucket(s, k, tier, &bucket, (u->started & bit) != 0, now) == share::done) {
      u->started &= ~bit;
      u->unwritten &= ~bit;
      count(&host->written.tier_buckets);
    } else {
      all = false;
    }
  }
  return all;
}

}  // namespace

void flush_history(Host* host, u32 budget) {
  if (!may_flush(host)) return;
  Hub* h = host->hub;
  share::Share* s = host->share;
  u32 now = now_units(host);
  flush_inventories(host, budget, now);
  hstore::Store* st = &h->history;
  u64 wanting = st->bucket_pending | st->upper_changed;
  wanting &= bits::low_mask(h->m.count);
  u64 picked = hstore::pick_from(wanting, budget, host->cursors[1]);
  host->cursors[1] = static_cast<u8>(hstore::start_after(wanting, budget, host->cursors[1]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    u64 bit = u64{1} << i;
    u32 k = share_index(host, i, now);
    if (st->bucket_pending & bit) {
      u32 r = k == none ? share::refused : share::put_bucket(s, k, 0, &st->closed[i], now);
      if (r == share::done && st->closed_energy[i].seconds != 0) {
        share::put_energy(s, k, 0, &st->closed_energy[i], now);
      }
      if (r == share::done) {
        count(&host->written.buckets);
        st->bucket_pending &= ~bit;
      } else if (table_full(host)) {
        count(&host->written.buckets_table_full);
        st->bucket_pending &= ~bit;
      } else {
        hstore::count_failure(st->failures, i, 1);
      }
    }
    if (st->upper_changed & bit) {
      bool ok = k != none && flush_tiers(host, i, k, now);
      if (ok || table_full(host)) {
        st->upper_changed &= ~bit;
      } else {
        hstore::count_failure(st->failures, i, 1);
      }
    }
  }
}

void flush_top(Host* host, u32 budget) {
  if (!may_flush(host)) return;
  Hub* h = host->hub;
  share::Share* s = host->share;
  ptop::Book* b = &h->tops;
  u32 now = now_units(host);
  u64 names = 0;
  for (u32 i = 0; i < h->m.count; ++i) {
    if (b->pending_count[i] != 0) names |= u64{1} << i;
  }
  u64 wanting = (names | b->closed_pending | b->upper_changed) & bits::low_mask(h->m.count);
  u64 picked = hstore::pick_from(wanting, budget, host->cursors[2]);
  host->cursors[2] = static_cast<u8>(hstore::start_after(wanting, budget, host->cursors[2]));
  for (u64 m = picked; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    u64 bit = u64{1} << i;
    i32 found = share::find_machine(s, h->m.ids[i]);
    bool full = table_full(host);
    if (found < 0 && !full) continue;
    u32 k = found < 0 ? none : static_cast<u32>(found);
    if (b->pending_count[i] != 0) {
      u32 written = k == none ? 0
                              : share::put_names(s, k, &b->pending[i][0][0], b->pending_count[i], host->wall, now);
      ptop::names_written(b, i, full && k == none ? ptop::pending_max : written);
    }
    if (b->closed_pending & bit) {
      u32 r = k == none ? share::refused : share::put_top(s, k, 0, &b->closed[i], true, now);
      if (r == share::done || full) b->closed_pending &= ~bit;
    }
    if (b->upper_changed & bit) {
      bool all = k != none && !share::is_carrying(s, k);
      for (u32 tier = 1; all && tier <= 2; ++tier) {
        ptop::Row* row = &b->tier_row[tier - 1][i];
        bool fresh = (b->tier_started[tier - 1] & bit) != 0;
        // A row no merge has changed since its write is what the share holds already: writing it again would
        // only put the same bytes over themselves.
        if (!fresh && !(b->tier_unwritten[tier - 1] & bit)) continue;
        if (fresh) {
          ptop::Row stored;
          if (share::read_top(s, k, tier, row->slot, &stored)) {
            ptop::merge(row, &stored);
            fresh = false;
          }
        }
        if (share::put_top(s, k, tier, row, fresh, now) == share::done) {
          b->tier_started[tier - 1] &= ~bit;
          b->tier_unwritten[tier - 1] &= ~bit;
          count(&host->written.tops);
        } else {
          all = false;
        }
      }
      if (all || full) b->upper_changed &= ~bit;
    }
  }
}

namespace {

void finish_answer(Host* host, u32 s, u32 now, u32 wall) {
  put_in(host->hub, set_history, s, false);
  host->answer.slot = none;
  take_frames(host->hub, s, 0, now, wall);
}

// The final buckets frame of an answer, with no rows: what an ask that cannot be answered, or is cut short, gets.
void send_empty_final(Host* host, u32 s, u32 now) {
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  proto::BucketAnswer a = {ask->tier, ask->scope, {}, mem::Bytes()};
  __builtin_memcpy(a.id, ask->id, 16);
  send_frame(host->hub, s, proto::encode_buckets(&a, 0, frame_room(host->hub, s)), now);
}

bool others_wait(const Hub* h, u32 s) {
  for (u32 w = 0; w < 2; ++w) {
    u64 m = h->sets[set_live][w] & h->sets[set_history][w];
    if (w == s / 64) m &= ~(u64{1} << (s % 64));
    if (m != 0) return true;
  }
  return false;
}

u32 pick_answer(Host* host, u32 now) {
  Hub* h = host->hub;
  Answering* a = &host->answer;
  u32 s = a->slot;
  if (s < slots && is_in(h, set_live, s) && is_in(h, set_history, s) && h->slot[s].admitted == a->admitted) return s;
  s = none;
  for (u32 w = 0; w < 2 && s == none; ++w) {
    u64 m = h->sets[set_live][w] & h->sets[set_history][w] & ~h->sets[set_closing][w];
    if (m != 0) s = w * 64 + bits::word_first(m);
  }
  a->slot = s;
  if (s == none) return none;
  const proto::HistoryAsk* ask = &h->slot[s].history;
  a->admitted = h->slot[s].admitted;
  i32 k = share::find_machine(host->share, ask->id);
  a->machine = k < 0 ? none : static_cast<u32>(k);
  bool known = ask->scope == 0 && k >= 0 && ask->tier <= 2;
  a->energy = known && (ask->options & 2) != 0;
  a->step = known && (ask->options & 1) ? step_names : a->energy ? step_energy : step_buckets;
  a->names_cursor = 0;
  a->cursor_open = 0;
  a->waiting = 0;
  a->waiting_since = now;
  host->rows.head.rows = 0;
  return s;
}

void send_rows(Host* host, u32 s, u32 kind, const u8* rows, u32 count, u32 now) {
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  u32 bytes = count * proto::kind_row(kind);
  send_frame(host->hub, s,
             proto::encode_rows(kind, ask->tier, ask->id, mem::Bytes(rows, bytes), count, frame_room(host->hub, s)),
             now);
}

void answer_step(Host* host, u32 s, u32 now, u32 wall) {
  Answering* a = &host->answer;
  share::Share* sh = host->share;
  const proto::HistoryAsk* ask = &host->hub->slot[s].history;
  if (a->step == step_names) {
    u32 n = share::read_names(sh, a->machine, a->names_cursor, host->area, 409 * 32, 409 * store::name_bytes);
    if (n == 0) {
      a->step = step_tops;
      return;
    }
    a->names_cursor += n;
    send_rows(host, s, proto::kind_names, host->area, n, now);
    return;
  }
  if (a->step == step_tops || a->step == step_energy) {
    bool tops = a->step == step_tops;
    if (!a->cursor_open) {
      if (tops) {
        share::open_top_cursor(sh, a->machine, ask->tier, ask->first, ask->last, &a->cursor);
      } else {
        share::open_energy_cursor(sh, a->machine, ask->tier, ask->first, ask->last, &a->cursor);
      }
      a->cursor_open = 1;
    }
    u32 count = 0;
    bool done = share::read_records(sh, &a->cursor, host->area, tops ? 16352 : 16384, &count, 16384);
    // Every step that read rows sends them; the last one goes out even when empty, so each asked kind appears.
    if (count != 0 || done) send_rows(host, s, tops ? proto::kind_tops : proto::kind_energy, host->area, count, now);
    if (done) {
      a->cursor_open = 0;
      a->step = tops && a->energy ? step_energy : step_buckets;
    }
    return;
  }
  if (!a->cursor_open) {
    if (ask->scope == 1) {
      share::open_cluster_reader(sh, ask->tier, ask->first, ask->last, &a->cursor, &host->rows.head);
    } else {
      share::open_reader(sh, a->machine == none ? share::machines : a->machine, ask->tier, ask->first, ask->last,
                         &a->cursor, &host->rows.head);
    }
    host->rows.head.rows = 0;
    a->cursor_open = 1;
  }
  if (!share::read_range(sh, &a->cursor, &host->rows, 16384)) return;
  bool more = !a->cursor.done;
  proto::BucketAnswer b = {ask->tier, ask->scope, {}, mem::Bytes()};
  __builtin_memcpy(b.id, ask->id, 16);
  b.buckets = mem::Bytes(reinterpret_cast<const u8*>(host->rows.rows), u64{host->rows.head.rows} * proto::bucket_size);
  send_frame(host->hub, s, proto::encode_buckets(&b, more, frame_room(host->hub, s)), now);
  host->rows.head.rows = 0;
  if (more) {
    count(&host->written.parts);
    return;
  }
  a->cursor_open = 0;
  finish_answer(host, s, now, wall);
}

}  // namespace

void answer_history(Host* host, u32 now, u32 wall) {
  u32 s = pick_answer(host, now);
  if (s == none) return;
  Answering* a = &host->answer;
  if (out_free(host->hub, s) < answer_room) {
    if (!a->waiting) {
      a->waiting = 1;
      a->waiting_since = now;
      return;
    }
    // A member that does not take its answer must not hold the others up; its answer ends here, as an answer ends,
    // so that its held-back frames run again and it is not picked a second time.
    if (now - a->waiting_since >= 20 && others_wait(host->hub, s)) {
      send_empty_final(host, s, now);
      count(&host->written.cut_short);
      a->cursor_open = 0;
      finish_answer(host, s, now, wall);
    }
    return;
  }
  a->waiting = 0;
  if (is_in(host->hub, set_closing, s)) {
    finish_answer(host, s, now, wall);
    return;
  }
  answer_step(host, s, now, wall);
}

void share_step(Host* host, u32 now, u32 wall) {
  if (host->share == nullptr || host->stop_reason != stop_none) return;
  answer_history(host, now, wall);
  u64 ms = share::now_ms(host->share);
  u32 r = share::step(host->share, now, ms, ms + 50);
  // A term still waiting for its lease, or a step with nothing to do, is no stop.
  if (r == share::refused || r == share::failed) return;
  check_stop(host, r);
}

void flush_all(Host* host) {
  if (host->share == nullptr) return;
  if (host->stop_reason == stop_none) {
    hstore::close_all(&host->hub->history);
    ptop::close_all(&host->hub->tops);
    flush_history(host, 64);
    flush_top(host, 64);
  }
  share::drop(host->share, now_units(host), hstore::yields_on(host->stop_reason));
}

}  // namespace hub
