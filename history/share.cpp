#include "history/share.h"

#include "base/bits.h"
#include "history/sharefile.h"
#include "history/sharering.h"
#include "platform/os.h"

namespace share {
namespace {

const char* const code_words[] = {
    "done",
    "the file exists",
    "no next term",
    "past the writing limit",
    "stopped, or a host of a newer term holds the lease",
    "another machine holds the lease of the same term",
    "refused",
    "failed",
    "too large",
};

void fill_record(const Share* s, u32 term, bool released, proto::Lease* r) {
  zero(r, sizeof *r);
  // The decoders refuse flag words of 32 and above: only the isolation bit of the owner's word is ours to carry.
  r->flags = static_cast<u16>((s->extra_flags & 0x1C) | (s->fixed ? 2 : 0) | (released ? proto::lease_released : 0));
  r->term = term;
  r->counter = s->counter;
  r->period = lease_period;
  r->port = s->port;
  r->address = s->address;
  r->writer = s->owner;
  __builtin_memcpy(r->host_id, s->id, 16);
}

u32 write_lease(Share* s, bool released) {
  proto::Lease r;
  fill_record(s, s->term, released, &r);
  u8 b[64];
  if (proto::encode_lease(&r, mem::Slice{b, 64}) != 64 || !auth::seal(&s->key, mem::Slice{b, 64})) return failed;
  u32 io = fs::io_write_at(s->lease, 0, mem::Bytes(b, 64));
  return io == fs::io_ok ? done : noted(s, io, under(s, mem::lit("lease")));
}

}  // namespace

mem::Bytes code_text(u32 code) { return mem::cstr(code_words[code < 9 ? code : failed]); }

u32 code_of(u32 io_code) {
  switch (io_code) {
    case 0: return done;
    case 1: return taken;
    case 2: return refused;
    case 6: return too_large;
    default: return failed;
  }
}

void init(Share* s, mem::Bytes folder, const auth::KeyState* key, const u8* id, u32 address, u16 port, u8 fixed) {
  zero(s, sizeof *s);
  store::path_set(&s->folder, folder);
  if (folder.len > folder_max || folder.len == 0) s->folder.overflow = 1;
  s->key = *key;
  __builtin_memcpy(s->id, id, 16);
  s->address = address;
  s->port = port;
  s->fixed = fixed;
  s->wall = 0xFFFFFFFFu;
  store::registry_clear(&s->registry, 0);
}

bool may_write(const Share* s, u32 now) { return (s->flags & leased) && until_limit(s, now); }

u64 now_ms(const Share* s) { return s->virtual_clock ? s->clock_ms : os::share_clock_ms(); }

void advance_clock(Share* s, u64 t) {
  s->virtual_clock = 1;
  if (s->clock_ms < t) s->clock_ms = t;
}

void pause(Share* s) {
  if (s->pause_ms == 0) return;
  if (s->virtual_clock) {
    s->clock_ms += s->pause_ms;
  } else {
    os::sleep_ms(s->pause_ms);
  }
}

// ---- Claims and the lease.

// A name counts as a term only in the exact lower-case form every path is rebuilt in; an upper-case name on
// a case-sensitive share would be read and deleted under another name.
u32 exact_term(const fs::Listing* l, u32 i) {
  mem::Bytes name(l->names[i], l->lengths[i]);
  u32 t = store::term_of_name(name);
  if (t == 0) return 0;
  u8 lower[8];
  store::term_name(t, lower);
  return mem::eq(name, mem::Bytes(lower, 8)) ? t : 0;
}

namespace {

// Why a claim failed, kept until the next claim works; the code of the file result.
u32 claim_failed(Share* s, u32 kind, const store::Path& p, u32 code) {
  s->claim_trouble.kind = kind;
  s->claim_trouble.path = p;
  return code;
}

bool same_note(const Note* n, u32 kind, const store::Path& p) {
  return n->kind == kind && mem::eq(text(n->path), text(p));
}

// The terms listed under names in the folder, largest last; at most room of them, the largest kept.
u32 list_terms(const store::Path& folder, fs::Listing* listing, u32* terms, u32 room) {
  u32 n = 0, skip = 0;
  for (u32 page = 0; page < 64 && room != 0; ++page) {
    if (fs::list_directory(text(folder), skip, listing) != fs::io_ok) break;
    for (u32 i = 0; i < listing->count; ++i) {
      u32 t = exact_term(listing, i);
      if (t == 0) continue;
      if (n == room) {
        // Full: the smallest makes way for a larger one.
        if (t <= terms[0]) continue;
        for (u32 k = 0; k + 1 < n; ++k) terms[k] = terms[k + 1];
        --n;
      }
      u32 k = n++;
      for (; k > 0 && terms[k - 1] > t; --k) terms[k] = terms[k - 1];
      terms[k] = t;
    }
    skip += listing->count;
    if (!fs::listing_more(listing)) break;
  }
  return n;
}

}  // namespace

void note(Trouble* t, u32 kind, const store::Path& p) {
  if (kind == trouble_none) return;
  u32 kept = bits::min32(t->sequence, trouble_memory);
  for (u32 i = 0; i < kept; ++i) {
    if (same_note(&t->notes[i], kind, p)) return;
  }
  note_anew(t, kind, p);
}

void note_anew(Trouble* t, u32 kind, const store::Path& p) {
  if (kind == trouble_none) return;
  Note* n = &t->notes[t->sequence % trouble_memory];
  n->kind = kind;
  n->path = p;
  ++t->sequence;
}

const Note* last_note(const Trouble* t) {
  static constexpr Note nothing = {};
  return t->sequence == 0 ? &nothing : &t->notes[(t->sequence - 1) % trouble_memory];
}

mem::Bytes trouble_text(u32 kind) {
  switch (kind) {
    case trouble_no_space: return mem::lit("no space on the share");
    case trouble_denied: return mem::lit("access denied");
    case trouble_planted: return mem::lit("a link or something else than a plain file or folder, left alone");
    case trouble_foreign: return mem::lit("not a claim of this cluster, left alone");
    default: return mem::lit("failed");
  }
}

u32 trouble_of(u32 io) {
  switch (io) {
    case fs::io_no_space: return trouble_no_space;
    case fs::io_denied: return trouble_denied;
    case fs::io_not_plain: return trouble_planted;
    default: return trouble_none;
  }
}

u32 claim_term(Share* s, u32 seen, u32 now) {
  if (s->folder.overflow) return refused;
  u32 next = store::next_claim(seen);
  if (next == 0) return no_term;
  store::Path p = under(s, mem::lit("claims"));
  u32 io = folder_io(p);
  if (io != fs::io_ok) return claim_failed(s, trouble_of(io), p, noted(s, io, p));
  store::path_term(&p, next);
  if (p.overflow) return refused;
  proto::Lease rec;
  u32 keep = s->counter;
  s->counter = 0;
  fill_record(s, next, false, &rec);
  s->counter = keep;
  u8 b[64];
  if (proto::encode_claim(&rec, mem::Slice{b, 64}) != 64 || !auth::seal(&s->key, mem::Slice{b, 64})) return failed;
  io = fs::io_create_file(text(p), mem::Bytes(b, 64));
  pause(s);
  if ((io == fs::io_ok || io == fs::io_exists) && next > s->highest) s->highest = next;
  if (io == fs::io_exists && !read_claim(text(s->folder), &s->key, next, &rec)) {
    // The name is taken by something no key of this cluster sealed: the term is passed over, and the file named.
    note(&s->trouble, trouble_foreign, p);
    return claim_failed(s, trouble_foreign, p, taken);
  }
  if (io != fs::io_ok) return claim_failed(s, trouble_of(io), p, noted(s, io, p));
  s->claim_trouble.kind = trouble_none;
  s->term = next;
  s->counter = 0;
  s->renewed = now;
  s->flags = claimed;
  // Claims of ended terms go, so that the claims folder never outgrows the pages a claim lists.
  if (next > claims_kept) remove_old_claims(text(s->folder), next - claims_kept, &s->listing);
  return done;
}

u32 newest_claim(mem::Bytes folder, const auth::KeyState* key, fs::Listing* listing, u32* scratch, u32 room,
                 proto::Lease* claim, Trouble* trouble) {
  store::Path p;
  store::path_set(&p, folder);
  join(&p, mem::lit("claims"));
  if (p.overflow || folder.len == 0 || folder.len > folder_max) return 0;
  u32 n = list_terms(p, listing, scratch, room);
  for (u32 k = n; k > 0; --k) {
    if (read_claim(folder, key, scratch[k - 1], claim)) return scratch[k - 1];
    if (trouble == nullptr) continue;
    store::Path f = p;
    store::path_term(&f, scratch[k - 1]);
    note(trouble, trouble_foreign, f);
  }
  return 0;
}

u32 remove_old_claims(mem::Bytes folder, u32 below, fs::Listing* listing) {
  store::Path p;
  store::path_set(&p, folder);
  join(&p, mem::lit("claims"));
  if (p.overflow) return 0;
  // At most a page of removals a call; names that stay (newer claims, other files) are skipped on the next page.
  u32 removed = 0, skip = 0;
  for (u32 page = 0; page < 64 && removed < fs::listing_page; ++page) {
    if (fs::list_directory(text(p), skip, listing) != fs::io_ok) break;
    for (u32 i = 0; i < listing->count; ++i) {
      u32 t = exact_term(listing, i);
      store::Path f = p;
      store::path_term(&f, t);
      if (t != 0 && t < below && !f.overflow && fs::io_delete(text(f)) == fs::io_ok) {
        ++removed;
      } else {
        ++skip;
      }
    }
    if (!fs::listing_more(listing)) break;
  }
  return removed;
}

u32 claim_next(Share* s, u32 now) {
  if (s->folder.overflow) return refused;
  proto::Lease record;
  constexpr u32 room = copy_bytes / sizeof(u32);
  u32 newest = newest_claim(text(s->folder), &s->key, &s->listing, reinterpret_cast<u32*>(s->buffer), room,
                            &record, &s->trouble);
  if (newest > s->highest) s->highest = newest;
  // The lease names the term of the last host even when claims were lost: the next term never goes below it.
  if (read_lease(s, &s->key, &record) && record.term > s->highest) s->highest = record.term;
  for (u32 i = 0; i < 64; ++i) {
    u32 r = claim_term(s, s->highest, now);
    if (r != taken) return r;
  }
  return taken;
}

bool read_lease(Share* s, const auth::KeyState* key, proto::Lease* out) {
  store::Path p = under(s, mem::lit("lease"));
  if (p.overflow) return false;
  alignas(8) u8 b[64];
  u64 n = 0;
  if (fs::io_read_named(text(p), &s->lease_mark, s->lease, mem::Slice{b, 64}, &n) != fs::io_ok || n != 64) {
    return false;
  }
  if (!auth::sealed(key, mem::Bytes(b, 64))) return false;
  return proto::decode_lease(mem::Bytes(b, 64), out) == 0;
}

bool read_claim(mem::Bytes folder, const auth::KeyState* key, u32 term, proto::Lease* out) {
  store::Path p;
  store::path_set(&p, folder);
  join(&p, mem::lit("claims"));
  store::path_term(&p, term);
  if (p.overflow || folder.len == 0 || folder.len > folder_max || term == 0) return false;
  u8 b[65];
  u64 n = 0;
  if (fs::io_read_file(text(p), mem::Slice{b, 65}, &n) != fs::io_ok || n != 64) return false;
  if (!auth::sealed(key, mem::Bytes(b, 64))) return false;
  proto::Lease r;
  if (proto::decode_claim(mem::Bytes(b, 64), &r) != 0 || r.term != term) return false;
  *out = r;
  return true;
}

u32 check_lease(Share* s) {
  proto::Lease r;
  bool valid = read_lease(s, &s->key, &r);
  pause(s);
  if (s->always_keep) return 0;
  return store::lease_action(valid, r.term, valid && same_id(r.host_id, s->id), s->term);
}

namespace {

// Gives the share up when the lease check found another holder: the code of that, else 0 to go on.
u32 give_up_on(Share* s, u32 verdict, u32 now) {
  if (verdict == 0) return done;
  drop(s, now, false);
  return verdict == 1 ? lost : same_term;
}

u32 lease_step(Share* s, u32 now) {
  if (!fs::io_is_open(s->lease)) {
    store::Path p = under(s, mem::lit("lease"));
    if (p.overflow) return refused;
    u32 r = fs::io_open_shared(text(p), &s->lease);
    pause(s);
    if (r != fs::io_ok) return noted(s, r, p);
    fs::io_mark(s->lease, &s->lease_mark);
  }
  u32 r = give_up_on(s, check_lease(s), now);
  if (r != done) return r;
  s->counter = inc_sat(s->counter);
  r = write_lease(s, false);
  pause(s);
  if (r != done) return r;
  s->renewed = now;
  store::Path t = under(s, mem::lit("terms"));
  if ((r = make_folder(s, t)) != done) return r;
  store::path_term(&t, s->term);
  if ((r = make_folder(s, t)) != done) return r;
  join(&t, mem::lit("machines"));
  if ((r = make_folder(s, t)) != done) return r;
  s->flags |= leased | setup_pending;
  return done;
}

}  // namespace

u32 take_lease(Share* s, u32 now, u64 now_ms) {
  if (!(s->flags & claimed) || (s->flags & (leased | stopped))) return refused;
  if (!until_limit(s, now)) return too_late;
  u32 r = lease_step(s, now);
  if (r == done) return setup_term(s, now, now_ms);
  if (s->flags & stopped) return r;
  s->lease_failures = static_cast<u8>(s->lease_failures < 255 ? s->lease_failures + 1 : 255);
  if (s->lease_failures < 3) return r;
  drop(s, now, false);
  return lost;
}

u32 renew_lease(Share* s, u32 now) {
  if (s->flags & stopped) return lost;
  if (!(s->flags & leased)) return refused;
  if (!until_limit(s, now)) {
    drop(s, now, false);
    return too_late;
  }
  u32 r = give_up_on(s, check_lease(s), now);
  if (r != done) return r;
  s->counter = inc_sat(s->counter);
  r = write_lease(s, false);
  pause(s);
  if (r == done) s->renewed = now;
  return r;
}

void drop(Share* s, u32 now, bool release) {
  if (release && (s->flags & leased) && until_limit(s, now)) {
    // The released record goes out only while the lease is still ours: a newer host that took over in the last
    // second must not find its record replaced by one that invites every watcher to claim.
    proto::Lease r;
    bool valid = read_lease(s, &s->key, &r);
    if (!valid || (same_id(r.host_id, s->id) && r.term <= s->term)) {
      s->counter = inc_sat(s->counter);
      write_lease(s, true);
      pause(s);
    }
  }
  fs::io_close(&s->lease);
  fs::io_close(&s->carry.source);
  close_rings(s);
  s->flags = (s->flags & ~leased) | stopped;
}

// ---- Set-up, registry and inventory.

u32 setup_term(Share* s, u32 now, u64 now_ms) {
  if (s->flags & (lost_registry | lost_folders)) return failed;
  store::Path terms = under(s, mem::lit("terms"));
  if (terms.overflow) return refused;
  u32 newest_complete = 0, newest_unreadable = 0, skip = 0;
  s->older_count = 0;
  for (u32 page = 0; page < 64; ++page) {
    if (fs::list_directory(text(terms), skip, &s->listing) != fs::io_ok) break;
    for (u32 i = 0; i < s->listing.count; ++i) {
      u32 t = exact_term(&s->listing, i);
      if (t == 0 || t >= s->term || !(s->listing.directories >> i & 1)) continue;
      if (s->older_count < 64) s->older[s->older_count++] = t;
      u32 r = read_registry(s, t, &s->registry);
      if (r == done && t > newest_complete) newest_complete = t;
      if (r != done && r != refused && t > newest_unreadable) newest_unreadable = t;
    }
    skip += s->listing.count;
    if (!fs::listing_more(&s->listing)) break;
  }
  if (newest_unreadable > newest_complete) {
    s->unreadable = newest_unreadable;
    setup_failed(s, lost_registry);
    return failed;
  }
  s->flags = (s->flags & ~setup_pending) | set_up;
  if (newest_complete == 0) {
    s->older_count = 0;
    s->flags |= complete;
    return write_registry(s, now);
  }
  return carry_over(s, newest_complete, now_ms);
}

u32 write_registry(Share* s, u32 now) {
  if (s->flags & stopped) return lost;
  if (!(s->flags & leased)) return refused;
  if (!until_limit(s, now)) return too_late;
  store::Registry reg;
  store::registry_clear(&reg, s->term);
  reg.count = s->count;
  for (u32 i = 0; i < s->count; ++i) {
    __builtin_memcpy(reg.ids[i], s->ids[i], 16);
    __builtin_memcpy(reg.names[i], s->names[i], 32);
    reg.flags[i] = static_cast<u8>(s->inventory_written >> i & 1);
  }
  u8 b[store::registry_file_bytes];
  if (store::encode_registry(&s->key, &reg, mem::Slice{b, sizeof b}) != sizeof b) return failed;
  return replace(s, term_folder(s, s->term), mem::lit("registry"), mem::Bytes(b, sizeof b));
}

u32 write_inventory(Share* s, u32 index, const proto::Inventory* inventory, u32 now) {
  u32 r = write_check(s, index, true, now);
  if (r != done) return r;
  u8 b[store::inventory_file_bytes];
  r = store::encode_inventory_file(&s->key, s->term, inventory, mem::Slice{b, sizeof b}) == sizeof b ? done : failed;
  store::Path folder = machine_folder(s, s->term, s->ids[index]);
  if (r == done) r = replace(s, folder, mem::lit("inventory"), mem::Bytes(b, sizeof b));
  u64 bit = u64{1} << index;
  s->inventory_written = r == done ? s->inventory_written | bit : s->inventory_written & ~bit;
  return r;
}

u32 rename_machine(Share* s, u32 index, const proto::Inventory* inventory, u32 now) {
  u32 r = write_inventory(s, index, inventory, now);
  if (r != done) return r;
  const u8* name = inventory->names[proto::name_computer];
  bool empty = true;
  for (u32 i = 0; i < 32; ++i) empty = empty && name[i] == 0;
  if (!empty) __builtin_memcpy(s->names[index], name, 32);
  if (s->flags & complete) r = write_registry(s, now);
  return r;
}

}  // namespace share
