#include "history/share.h"

#include "base/bits.h"
#include "history/hist.h"
#include "history/ptop.h"
#include "platform/netshare.h"
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

void zero(void* p, u64 n) { __builtin_memset(p, 0, n); }
bool same_id(const u8* a, const u8* b) { return __builtin_memcmp(a, b, 16) == 0; }
u32 inc_sat(u32 v) { return v == 0xFFFFFFFFu ? v : v + 1; }
void count(u32* v) { *v = inc_sat(*v); }
u32 add_sat(u32 v, u64 n) { return hstore::add_sat(v, n); }

// Paths under the share folder: the caller tests the overflow flag once.
store::Path under(const Share* s, mem::Bytes a) {
  store::Path p = s->folder;
  store::path_join(&p, a);
  return p;
}
void join(store::Path* p, mem::Bytes a) { store::path_join(p, a); }
store::Path term_folder(const Share* s, u32 term) {
  store::Path p = under(s, mem::lit("terms"));
  store::path_term(&p, term);
  return p;
}
store::Path machine_folder(const Share* s, u32 term, const u8* id) {
  store::Path p = term_folder(s, term);
  join(&p, mem::lit("machines"));
  store::path_id(&p, id);
  return p;
}
store::Path ring_path(const Share* s, u32 term, const u8* id, u32 type) {
  store::Path p = machine_folder(s, term, id);
  store::path_join(&p, store::ring_name(type));
  return p;
}
mem::Bytes text(const store::Path& p) { return store::path_of(&p); }


// The code of a file result, with its cause noted for the owner's output.
u32 noted(Share* s, u32 io, const store::Path& p) {
  note(&s->trouble, trouble_of(io), p);
  return code_of(io);
}

bool until_limit(const Share* s, u32 now) { return u64{now} < u64{s->renewed} + write_limit; }

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

void close_rings(Share* s) {
  for (u32 i = 0; i < handles; ++i) fs::io_close(&s->rings[i]);
}

// A folder made, or found: something else under its name (a file, a link) is in the way.
u32 folder_io(const store::Path& p) {
  if (p.overflow) return fs::io_not_found;
  u32 io = fs::io_make_directory(text(p));
  return io == fs::io_exists ? fs::io_not_plain : io;
}

u32 make_folder(Share* s, const store::Path& p) {
  if (p.overflow) return refused;
  u32 io = folder_io(p);
  note(&s->trouble, trouble_of(io), p);
  return code_of(io == fs::io_not_plain ? fs::io_exists : io);
}

// A failed write to a ring file: its cause noted at the ring's path.
u32 ring_noted(Share* s, u32 h, u32 io) {
  if (io == fs::io_ok || h / ring_types >= s->count) return code_of(io);
  return noted(s, io, ring_path(s, s->term, s->ids[h / ring_types], h % ring_types));
}

// A temporary name beside the final one: the name, ".tmp-" and 8 random hex digits. Every machine of the cluster
// may write the share, so a fixed name could be a link planted there in advance; a random name that must be
// created new never opens anything but a file of its own.
bool temporary_name(store::Path* tmp, mem::Bytes final_name) {
  u8 random[4];
  if (os::random_bytes(mem::Slice{random, sizeof random}) == 0) return false;
  u32 value = u32{random[0]} | u32{random[1]} << 8 | u32{random[2]} << 16 | u32{random[3]} << 24;
  u8 digits[8];
  for (u32 i = 0; i < 8; ++i) digits[i] = "0123456789abcdef"[(value >> (28 - 4 * i)) & 15];
  join(tmp, final_name);
  store::path_text(tmp, mem::lit(".tmp-"));
  store::path_text(tmp, mem::Bytes(digits, sizeof digits));
  return !tmp->overflow;
}

// Writes the bytes to a new temporary file in the folder and moves it over the final name, so a reader never sees
// a half-written file. A temporary file that cannot be finished is removed again.
u32 replace(Share* s, store::Path folder, mem::Bytes final_name, mem::Bytes bytes) {
  store::Path tmp = folder;
  store::Path to = folder;
  join(&to, final_name);
  if (to.overflow) return refused;
  u32 r = fs::io_exists;
  for (u32 attempt = 0; attempt < 4 && r == fs::io_exists; ++attempt) {
    tmp = folder;
    if (!temporary_name(&tmp, final_name)) return failed;
    r = fs::io_create_file(text(tmp), bytes);
  }
  pause(s);
  if (r != fs::io_ok) return noted(s, r, tmp);
  r = fs::io_replace(text(tmp), text(to));
  if (r != fs::io_ok) fs::io_delete(text(tmp));
  pause(s);
  return noted(s, r, to);
}

// A name temporary_name made: anything, ".tmp-" and 8 lower-case hex digits.
bool is_temporary(const u8* name, u32 length) {
  if (length <= 13 || !mem::eq(mem::Bytes(name + length - 13, 5), mem::lit(".tmp-"))) return false;
  for (u32 i = length - 8; i < length; ++i) {
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  }
  return true;
}

// Removes the temporaries a host that was killed while it replaced a file left in the folder: a replace takes
// moments, so one older than a minute has no writer any more.
void sweep_temporaries(Share* s, const store::Path& folder) {
  const u64 minute = 60ull * 10000000;
  u32 skip = 0;
  for (u32 page = 0; page < 4 && !folder.overflow; ++page) {
    if (fs::list_directory(text(folder), skip, &s->listing) != fs::io_ok) return;
    u32 deleted = 0;
    for (u32 i = 0; i < s->listing.count; ++i) {
      if ((s->listing.directories >> i & 1) || !is_temporary(s->listing.names[i], s->listing.lengths[i])) continue;
      store::Path p = folder;
      join(&p, mem::Bytes(s->listing.names[i], s->listing.lengths[i]));
      u64 size = 0, time = 0;
      if (!p.overflow && fs::size_and_time(text(p), &size, &time) && os::filetime_now() - time >= minute &&
          fs::io_delete(text(p)) == fs::io_ok) {
        ++deleted;
      }
    }
    skip += s->listing.count - deleted;
    if (!fs::listing_more(&s->listing)) return;
  }
}

// Reads a whole sealed file of exactly size bytes into the copy buffer; 0, or 6 when missing, else 7.
u32 read_whole(Share* s, const store::Path& p, u32 size) {
  if (p.overflow) return refused;
  u64 n = 0;
  u32 r = fs::io_read_file(text(p), mem::Slice{s->buffer, u64{size} + 1}, &n);
  pause(s);
  if (r != fs::io_ok) return code_of(r);
  return n == size ? done : failed;
}

u32 read_registry(Share* s, u32 term, store::Registry* out) {
  store::Path p = term_folder(s, term);
  join(&p, mem::lit("registry"));
  u32 r = read_whole(s, p, store::registry_file_bytes);
  if (r != done) return r;
  store::Registry reg;
  if (store::decode_registry(&s->key, mem::Bytes(s->buffer, store::registry_file_bytes), &reg) != 1) return failed;
  if (reg.term != term) return failed;
  *out = reg;
  return done;
}

void setup_failed(Share* s, u32 flag) {
  s->setup_failures = inc_sat(s->setup_failures);
  if (s->setup_failures >= setup_tries) s->flags |= flag;
}

// Every write checks the index, then stopped, leased and the writing limit before touching a file.
u32 write_check(const Share* s, u32 index, bool in_range, u32 now) {
  if (index >= s->count || !in_range) return refused;
  if (s->flags & stopped) return lost;
  if (!(s->flags & leased)) return refused;
  if (!until_limit(s, now)) return too_late;
  return done;
}

u32 handle_of(u32 index, u32 type) { return index * ring_types + type; }

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
  if (fs::io_read_uncached(text(p), mem::Slice{b, 64}, &n) != fs::io_ok || n != 64) return false;
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

// ---- The machine table and ring writing.

i32 find_machine(const Share* s, const u8* id) {
  for (u32 i = 0; i < s->count; ++i) {
    if (same_id(s->ids[i], id)) return static_cast<i32>(i);
  }
  return -1;
}

i32 add_machine(Share* s, const u8* id, mem::Bytes name, u32 now) {
  i32 found = find_machine(s, id);
  if (found >= 0) return found;
  if (s->count >= machines || !may_write(s, now) || !(s->flags & set_up)) return -1;
  u32 i = s->count;
  __builtin_memcpy(s->ids[i], id, 16);
  zero(s->names[i], 32);
  __builtin_memcpy(s->names[i], name.ptr, bits::min64(name.len, 32));
  s->inventory_written &= ~(u64{1} << i);
  s->buckets_queued[i] = Queue{};
  s->energy_queued[i] = Queue{};
  if (open_rings(s, i, false) != done) {
    for (u32 t = 0; t < ring_types; ++t) fs::io_close(&s->rings[handle_of(i, t)]);
    return -1;
  }
  s->count = i + 1;
  if (s->flags & complete) write_registry(s, now);
  return static_cast<i32>(i);
}

u32 open_rings(Share* s, u32 index, bool no_heads) {
  store::Path folder = machine_folder(s, s->term, s->ids[index]);
  u32 r = make_folder(s, folder);
  if (r != done) return r;
  u32 last = done;
  for (u32 t = 0; t < ring_types; ++t) {
    u32 h = handle_of(index, t);
    s->counters[h] = RingCounters{};
    fs::io_close(&s->rings[h]);
    store::Path p = folder;
    store::path_join(&p, store::ring_name(t));
    r = p.overflow ? refused : noted(s, fs::io_open_rw(text(p), 1, &s->rings[h]), p);
    // A ring file has its whole length from the start, so that any reader may check it.
    if (r == done) r = noted(s, fs::io_grow(s->rings[h], store::ring_bytes(t)), p);
    pause(s);
    if (r == done && !no_heads) r = write_head(s, h);
    if (r != done) last = r;
  }
  return last;
}

u32 write_head(Share* s, u32 h) {
  u32 type = h % ring_types;
  store::RingHead head;
  store::head_init(&head, type, s->term);
  head.next = s->counters[h].next;
  head.filled = s->counters[h].filled;
  head.last_slot = s->counters[h].last_slot;
  u8 b[64];
  if (store::encode_head(&s->key, &head, mem::Slice{b, 64}) != 64) return failed;
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], 0, mem::Bytes(b, 64)));
  pause(s);
  return r;
}

u32 append(Share* s, u32 h, u8* record) {
  u32 type = h % ring_types;
  RingCounters old = s->counters[h];
  u32 slot = store::get32(record);
  if (slot < old.last_slot) count(&s->stats.raised);
  slot = store::clamp_time(slot, old.last_slot);
  store::put32(record, slot);
  store::put32(record + 4, s->term);
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], store::record_at(type, old.next),
                                           mem::Bytes(record, store::record_bytes(type))));
  pause(s);
  if (r != done) return r;
  s->counters[h] = RingCounters{store::next_index(old.next, type), store::filled(old.filled, type), slot};
  r = write_head(s, h);
  if (r != done) s->counters[h] = old;
  return r;
}

u32 write_record(Share* s, u32 h, u8* record, bool append_flag) {
  RingCounters c = s->counters[h];
  if (append_flag || c.filled == 0) return append(s, h, record);
  u32 type = h % ring_types;
  store::put32(record, c.last_slot);
  store::put32(record + 4, s->term);
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], store::record_at(type, store::prev_index(c.next, type)),
                                           mem::Bytes(record, store::record_bytes(type))));
  pause(s);
  return r;
}

bool is_carrying(const Share* s, u32 index) { return index < machines && (s->carry.carrying >> index & 1); }

namespace {

template <typename T>
void queue_push(Share* s, T (&q)[queue_size], Queue* at, const T* item) {
  if (at->count == queue_size) {
    at->start = static_cast<u8>((at->start + 1) % queue_size);
    at->count--;
    count(&s->stats.dropped);
  }
  q[(at->start + at->count) % queue_size] = *item;
  at->count++;
}

u32 append_bucket(Share* s, u32 index, u32 tier, const store::Bucket* b, bool append_flag) {
  u8 rec[store::bucket_bytes];
  store::encode_bucket(b, mem::Slice{rec, sizeof rec}, 0);
  return write_record(s, handle_of(index, tier), rec, append_flag);
}

u32 write_energy(Share* s, u32 index, u32 tier, const store::Energy* e) {
  u32 h = handle_of(index, store::ring_e0 + tier);
  u8 rec[store::energy_bytes];
  store::encode_energy(e, mem::Slice{rec, sizeof rec}, 0);
  bool append_flag = tier == 0 || e->slot != s->counters[h].last_slot;
  return write_record(s, h, rec, append_flag);
}

// Writes what was queued for a machine while it was carried, in order.
void flush_queues(Share* s, u32 index) {
  Queue* qb = &s->buckets_queued[index];
  for (u32 i = 0; i < qb->count; ++i) {
    if (append_bucket(s, index, 0, &s->bucket_queue[index][(qb->start + i) % queue_size], true) != done) {
      count(&s->stats.dropped);
    }
  }
  Queue* qe = &s->energy_queued[index];
  for (u32 i = 0; i < qe->count; ++i) {
    if (write_energy(s, index, 0, &s->energy_queue[index][(qe->start + i) % queue_size]) != done) {
      count(&s->stats.dropped);
    }
  }
  *qb = Queue{};
  *qe = Queue{};
}

}  // namespace

u32 put_bucket(Share* s, u32 index, u32 tier, const store::Bucket* bucket, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    if (tier == 0) queue_push(s, s->bucket_queue[index], &s->buckets_queued[index], bucket);
    return done;
  }
  return append_bucket(s, index, tier, bucket, true);
}

u32 put_energy(Share* s, u32 index, u32 tier, const store::Energy* energy, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    if (tier == 0) queue_push(s, s->energy_queue[index], &s->energy_queued[index], energy);
    return done;
  }
  return write_energy(s, index, tier, energy);
}

u32 put_tier_bucket(Share* s, u32 index, u32 tier, const store::Bucket* bucket, bool append_flag, u32 now) {
  u32 r = write_check(s, index, tier == 1 || tier == 2, now);
  if (r != done || is_carrying(s, index)) return r;
  return append_bucket(s, index, tier, bucket, append_flag);
}

u32 put_top(Share* s, u32 index, u32 tier, const ptop::Row* row, bool append_flag, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    count(&s->stats.tops_skipped);
    return done;
  }
  u32 h = handle_of(index, store::ring_p0 + tier);
  u8 rec[store::top_bytes];
  if (ptop::encode(row, mem::Slice{rec, sizeof rec}, 0) != sizeof rec) return failed;
  bool new_slot = store::get32(rec) != s->counters[h].last_slot;
  if (!append_flag && tier != 0 && new_slot) count(&s->stats.tops_appended);
  return write_record(s, h, rec, append_flag || tier == 0 || new_slot);
}

u32 put_names(Share* s, u32 index, const u8* names, u32 n, u32 slot, u32 now) {
  if (index >= s->count || !may_write(s, now) || is_carrying(s, index) || (s->flags & stopped)) return 0;
  u32 h = handle_of(index, store::ring_names);
  u32 written = 0;
  for (; written < bits::min32(n, 8); ++written) {
    u8 rec[store::name_bytes] = {};
    store::put32(rec, slot);
    __builtin_memcpy(rec + 8, names + written * 32, 32);
    if (append(s, h, rec) != done) break;
  }
  return written;
}

namespace {

// The newest record of a ring that was carried over from an older term and holds the slot.
bool read_newest_carried(Share* s, u32 index, u32 type, u32 slot, u8* rec) {
  if (index >= s->count || is_carrying(s, index) || !(s->flags & leased)) return false;
  u32 h = handle_of(index, type);
  RingCounters c = s->counters[h];
  if (c.filled == 0 || c.last_slot != slot) return false;
  u32 bytes = store::record_bytes(type);
  u64 n = 0;
  u32 r = fs::io_read_at(s->rings[h], store::record_at(type, store::prev_index(c.next, type)),
                         mem::Slice{rec, bytes}, &n);
  pause(s);
  if (r != fs::io_ok || n != bytes) return false;
  u32 term = store::get32(rec + 4);
  return store::get32(rec) == slot && term != 0 && term < s->term;
}

}  // namespace

bool read_top(Share* s, u32 index, u32 tier, u32 slot, ptop::Row* out) {
  ptop::clear(out, slot);
  u8 rec[store::top_bytes];
  if (tier < 1 || tier > 2 || !read_newest_carried(s, index, store::ring_p0 + tier, slot, rec)) return false;
  return ptop::decode(mem::Bytes(rec, sizeof rec), 0, out) == sizeof rec;
}

bool read_energy(Share* s, u32 index, u32 tier, u32 slot, store::Energy* out) {
  zero(out, sizeof *out);
  out->slot = slot;
  u8 rec[store::energy_bytes];
  if (tier < 1 || tier > 2 || !read_newest_carried(s, index, store::ring_e0 + tier, slot, rec)) return false;
  return store::decode_energy(mem::Bytes(rec, sizeof rec), 0, out) == 1;
}

namespace {

// Reads the newest k records of a ring, oldest first, into the copy buffer (k x record bytes fit it); false when
// a read came back short.
bool read_newest(Share* s, u32 h, u32 k) {
  u32 type = h % ring_types;
  u32 cap = store::capacity(type), bytes = store::record_bytes(type);
  RingCounters c = s->counters[h];
  u32 first = static_cast<u32>((u64{c.next} + cap - k) % cap);
  u32 got = 0;
  while (got < k) {
    u32 at = (first + got) % cap;
    u32 run = bits::min32(k - got, cap - at);
    u64 n = 0;
    u32 r = fs::io_read_at(s->rings[h], store::record_at(type, at), mem::Slice{s->buffer + u64{got} * bytes,
                           u64{run} * bytes}, &n);
    pause(s);
    count(&s->stats.rollup_reads);
    if (r != fs::io_ok || n != u64{run} * bytes) return false;
    got += run;
  }
  return true;
}

bool in_window(const u8* rec, u32 start, u32 end) {
  u32 slot = store::get32(rec);
  return store::get32(rec + 4) != 0 && slot >= start && slot < end;
}

// Sums tier-0 energy over [start, end) among the newest min(filled, n, 4096) records.
bool sum_energy(Share* s, u32 index, u32 start, u32 end, u32 n, store::Energy* e) {
  u32 h = handle_of(index, store::ring_e0);
  u32 k = bits::min32(bits::min32(s->counters[h].filled, n), copy_bytes / store::energy_bytes);
  if (!read_newest(s, h, k)) return false;
  for (u32 i = 0; i < k; ++i) {
    const u8* rec = s->buffer + i * store::energy_bytes;
    if (!in_window(rec, start, end)) continue;
    store::Energy one;
    store::decode_energy(mem::Bytes(rec, store::energy_bytes), 0, &one);
    u64 sum = u64{e->energy} + one.energy;
    if (sum > 0xFFFFFFFFu || one.energy == 0xFFFFFFFFu || (one.flags & 1)) e->flags |= 1;
    e->energy = sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(sum);
    u32 secs = u32{e->seconds} + one.seconds;
    if (secs > 0xFFFF) e->flags |= 1;
    e->seconds = static_cast<u16>(secs > 0xFFFF ? 0xFFFF : secs);
  }
  return true;
}

}  // namespace

bool sum_buckets(Share* s, u32 index, u32 start, u32 end, u32 n, hstore::BucketSum* sum) {
  u32 h = handle_of(index, store::ring_t0);
  u32 k = bits::min32(bits::min32(s->counters[h].filled, n), copy_bytes / store::bucket_bytes);
  if (!read_newest(s, h, k)) return false;
  for (u32 i = 0; i < k; ++i) {
    const u8* rec = s->buffer + i * store::bucket_bytes;
    if (!in_window(rec, start, end)) continue;
    store::Bucket b;
    store::decode_bucket(mem::Bytes(rec, store::bucket_bytes), 0, &b);
    hstore::part_add(sum, &b);
  }
  return true;
}

bool read_buckets(Share* s, u32 index, u32 tier, u32 slot, hstore::BucketSum* sum) {
  hstore::sum_clear(sum);
  if (index >= s->count || tier < 1 || tier > 2 || is_carrying(s, index) || !(s->flags & leased)) return false;
  RingCounters c = s->counters[handle_of(index, tier)];
  if (c.filled == 0 || c.last_slot != slot) return false;
  u32 interval = hstore::interval(tier);
  return sum_buckets(s, index, slot, slot + interval, interval / 10 * 2 + 8, sum);
}

u32 roll_up(Share* s, u32 index, u32 tier, u32 start, u32 now) {
  u32 r = write_check(s, index, tier == 1 || tier == 2, now);
  if (r != done) return r;
  if (is_carrying(s, index)) return refused;
  u32 interval = hstore::interval(tier);
  u32 end = start + interval, n = interval / 10 * 2 + 8;
  hstore::BucketSum sum;
  hstore::sum_clear(&sum);
  if (!sum_buckets(s, index, start, end, n, &sum)) return failed;
  RingCounters c = s->counters[handle_of(index, tier)];
  bool same = c.filled != 0 && c.last_slot == start;
  bool newer = c.filled == 0 || c.last_slot < start;
  if (sum.count > 0 && (same || newer)) {
    store::Bucket b;
    hstore::part_bucket(&sum, start, &b);
    if ((r = append_bucket(s, index, tier, &b, !same)) != done) return r;
  }
  store::Energy e{};
  e.slot = start;
  if (!sum_energy(s, index, start, end, n, &e)) return failed;
  if (e.seconds > interval) e.seconds = static_cast<u16>(interval);
  RingCounters ce = s->counters[handle_of(index, store::ring_e0 + tier)];
  bool e_same = ce.filled != 0 && ce.last_slot == start;
  bool e_newer = ce.filled == 0 || ce.last_slot < start;
  if (e.seconds == 0 || !(e_same || e_newer)) return done;
  return write_energy(s, index, tier, &e);
}

// ---- Carry-over.

u32 carry_over(Share* s, u32 term, u64 now_ms) {
  store::Registry reg;
  if (read_registry(s, term, &reg) != done) {
    s->flags = (s->flags & ~set_up) | setup_pending;
    return failed;
  }
  s->count = reg.count;
  for (u32 i = 0; i < reg.count; ++i) {
    __builtin_memcpy(s->ids[i], reg.ids[i], 16);
    __builtin_memcpy(s->names[i], reg.names[i], 32);
  }
  s->inventory_written = 0;
  sweep_temporaries(s, term_folder(s, term));
  for (u32 i = 0; i < s->count; ++i) sweep_temporaries(s, machine_folder(s, term, s->ids[i]));
  u32 failure = done;
  for (u32 i = 0; i < s->count; ++i) {
    s->buckets_queued[i] = Queue{};
    s->energy_queued[i] = Queue{};
    u32 r = open_rings(s, i, true);
    if (r != done) {
      failure = r;
      continue;
    }
    store::Path old = machine_folder(s, term, s->ids[i]);
    join(&old, mem::lit("inventory"));
    proto::Inventory inv;
    if (read_whole(s, old, store::inventory_file_bytes) == done &&
        store::decode_inventory_file(&s->key, mem::Bytes(s->buffer, store::inventory_file_bytes), &inv)) {
      write_inventory(s, i, &inv, s->renewed);
    }
  }
  if (failure != done) {
    close_rings(s);
    s->count = 0;
    s->flags = (s->flags & ~set_up) | setup_pending;
    setup_failed(s, lost_folders);
    return failure;
  }
  s->carry = Carry{};
  s->carry.term = term;
  s->carry.carrying = s->count == 64 ? ~u64{0} : (u64{1} << s->count) - 1;
  s->carry.last_ms = now_ms;
  return done;
}

u32 step(Share* s, u32 now, u64 now_ms_arg, u64 deadline_ms) {
  if (!(s->flags & leased)) return refused;
  if (s->flags & complete) return done;
  if (!until_limit(s, now)) return too_late;
  if (!(s->flags & set_up)) {
    // A failing set-up is tried at most once a second, so its 30 tries span half a minute of trouble rather than
    // a few fast loop passes.
    if (s->setup_tried && now_ms_arg < s->setup_ms + 1000) return failed;
    s->setup_tried = 1;
    s->setup_ms = now_ms_arg;
    return setup_term(s, now, now_ms_arg);
  }
  Carry* c = &s->carry;
  u64 elapsed = now_ms_arg > c->last_ms ? now_ms_arg - c->last_ms : 0;
  c->budget = store::budget(c->budget, elapsed);
  c->last_ms = now_ms_arg;
  u64 copied = 0, began = now_ms(s);
  while (c->budget > 0 && copied < (u64{1} << 20) && now_ms(s) < deadline_ms) {
    u64 spent = (now_ms(s) - began + 99) / 100;
    if (u64{now} + spent >= u64{s->renewed} + write_limit) return too_late;
    if (c->machine >= s->count) {
      u32 r = write_registry(s, now);
      if (r != done) return r;
      s->flags |= complete;
      remove_old_terms(s);
      return done;
    }
    u64 len = store::copy_len(c->offset, store::ring_bytes(c->type), c->budget, store::record_bytes(c->type));
    if (len == 0) return done;
    u64 before = c->copied;
    u32 r = copy_chunk(s, len);
    copied += c->copied - before;
    if (r != done) return r;
  }
  return done;
}

namespace {

void reset_run(Carry* c) {
  c->newest_index = c->newest_slot = c->newest_term = c->plausible = 0;
  c->run = 0xFFFFFFFFu;
}

bool plausible(const Share* s, u32 slot, u32 term) {
  return term != 0 && term <= s->carry.term && slot <= store::latest_time(s->wall);
}

// Takes the records of a chunk into the plausibility run.
void scan_chunk(Share* s, u64 offset, u64 n) {
  Carry* c = &s->carry;
  u32 bytes = store::record_bytes(c->type);
  u64 first = offset < store::head_bytes ? store::head_bytes : offset;
  for (u64 at = first; at + bytes <= offset + n; at += bytes) {
    const u8* rec = s->buffer + (at - offset);
    u32 slot = store::get32(rec), term = store::get32(rec + 4);
    if (!plausible(s, slot, term)) continue;
    u32 index = static_cast<u32>((at - store::head_bytes) / bytes);
    bool newer = c->plausible == 0 || slot > c->newest_slot || (slot == c->newest_slot && term > c->newest_term);
    bool equal = c->plausible != 0 && slot == c->newest_slot && term == c->newest_term;
    c->plausible = inc_sat(c->plausible);
    if (newer) {
      c->run = index == 0 ? 1 : 0xFFFFFFFFu;
    } else if (equal && c->run == index) {
      c->run++;
    }
    if (newer || equal) {
      c->newest_index = index;
      c->newest_slot = slot;
      c->newest_term = term;
    }
  }
}

}  // namespace

u32 copy_chunk(Share* s, u64 length) {
  Carry* c = &s->carry;
  u32 h = handle_of(c->machine, c->type);
  if (c->offset == 0) reset_run(c);
  if (!fs::io_is_open(c->source)) {
    store::Path p = ring_path(s, c->term, s->ids[c->machine], c->type);
    u32 r = p.overflow ? fs::io_not_found : fs::io_open_read(text(p), &c->source);
    pause(s);
    if (r == fs::io_not_found) return carry_ring(s, false);
    if (r != fs::io_ok) return code_of(r);
  }
  u64 n = 0;
  u32 r = code_of(fs::io_read_at(c->source, c->offset, mem::Slice{s->buffer, length}, &n));
  pause(s);
  count(&s->stats.carry_reads);
  if (r != done) return r;
  r = code_of(fs::io_write_at(s->rings[h], c->offset, mem::Bytes(s->buffer, n)));
  pause(s);
  if (r != done) return r;
  scan_chunk(s, c->offset, n);
  c->budget -= bits::min64(c->budget, length);
  c->copied += n;
  s->stats.bytes = add_sat(s->stats.bytes, n);
  c->offset += n;
  if (n < length || c->offset >= store::ring_bytes(c->type)) return carry_ring(s, true);
  return done;
}

u32 carry_ring(Share* s, bool copied) {
  Carry* c = &s->carry;
  u32 type = c->type, h = handle_of(c->machine, type), cap = store::capacity(type);
  u32 bytes = store::record_bytes(type);
  u8 b[store::top_bytes];
  u64 n = 0;
  store::RingHead head;
  bool valid = fs::io_read_at(s->rings[h], 0, mem::Slice{b, 64}, &n) == fs::io_ok && n == 64 &&
               store::decode_head(&s->key, mem::Bytes(b, 64), &head) == 1 && head.type == type;
  pause(s);
  RingCounters rc{};
  u32 head_term = 0;
  if (valid) {
    rc = RingCounters{head.next, head.filled, head.last_slot};
    head_term = head.term;
  } else if (copied && c->plausible > 0) {
    count(&s->stats.rebuilt);
    rc.last_slot = c->newest_slot;
    head_term = c->newest_term;
    rc.next = store::next_index(c->newest_index, type);
    if (c->newest_index == cap - 1 && c->run < cap) rc.next = c->run;
    rc.filled = bits::min32(c->plausible, cap);
  }
  bool rewrite = !valid;
  // Records an older host wrote after its last head write continue the ring: take up to eight of them.
  for (u32 i = 0; copied && i < 8; ++i) {
    u64 at = store::record_at(type, rc.next);
    if (fs::io_read_at(c->source, at, mem::Slice{b, bytes}, &n) != fs::io_ok || n != bytes) break;
    u32 slot = store::get32(b), term = store::get32(b + 4);
    if (term == 0 || term < head_term || term > c->term || slot <= rc.last_slot ||
        slot > store::latest_time(s->wall)) {
      break;
    }
    u32 r = code_of(fs::io_write_at(s->rings[h], at, mem::Bytes(b, bytes)));
    pause(s);
    if (r != done) return r;
    rc = RingCounters{store::next_index(rc.next, type), bits::min32(rc.filled + 1, cap), slot};
    rewrite = true;
  }
  s->counters[h] = rc;
  if (rewrite) {
    u32 r = write_head(s, h);
    if (r != done) return r;
  }
  fs::io_close(&c->source);
  c->offset = 0;
  if (++c->type < ring_types) return done;
  c->type = 0;
  s->carry.carrying &= ~(u64{1} << c->machine);
  flush_queues(s, c->machine);
  c->machine++;
  return done;
}

u32 remove_old_terms(Share* s) {
  u32 kept = 0, result = done;
  for (u32 i = 0; i < s->older_count; ++i) {
    u32 t = s->older[i];
    if (t < s->carry.term) {
      store::Path p = term_folder(s, t);
      u32 r = p.overflow ? fs::io_failed : fs::delete_tree(text(p));
      pause(s);
      if (r == fs::io_ok) continue;
      result = failed;
    }
    s->older[kept++] = t;
  }
  s->older_count = kept;
  return result;
}

}  // namespace share


// ---- Reading for history answers.

namespace share {
namespace {

constexpr u32 none = 0xFFFFFFFFu;
constexpr u32 probe_work = 2048;

u32 read_cost(u64 bytes) { return bytes > probe_work ? static_cast<u32>(bytes) : probe_work; }

u32 physical(u32 oldest, u32 position, u32 type) { return store::slot_of(oldest, position, type); }

// The host appends between the calls of one answer: when the ring moved on, the positions that counted from the
// oldest record move back with it, so the cursor keeps pointing at the same records instead of newer ones that
// took their place.
void follow(const Share* s, Cursor* c) {
  if (c->done || c->cluster) return;
  RingCounters rc = s->counters[c->handle];
  u32 oldest = store::oldest(rc.next, rc.filled, c->type);
  u32 shift = static_cast<u32>((u64{oldest} + store::modulus(c->type) - c->oldest) % store::modulus(c->type));
  c->oldest = oldest;
  c->filled = rc.filled;
  c->low -= bits::min32(c->low, shift);
  c->high -= bits::min32(c->high, shift);
  c->position -= bits::min32(c->position, shift);
  if (c->high > c->filled) c->high = c->filled;
}

}  // namespace

void open_cursor(Share* s, u32 index, u32 type, u32 start, u32 end, Cursor* c) {
  zero(c, sizeof *c);
  c->last_column = -1;
  bool valid = index < s->count && type < ring_types && (s->flags & leased);
  c->handle = valid ? handle_of(index, type) : 0;
  c->type = valid ? type : 0;
  c->start = start;
  c->end = end;
  if (!valid) {
    c->done = 1;
    return;
  }
  RingCounters rc = s->counters[c->handle];
  c->oldest = store::oldest(rc.next, rc.filled, type);
  c->filled = rc.filled;
  c->high = rc.filled;
  c->searching = 1;
}

void open_reader(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c, hstore::AnswerHead* head) {
  bool valid = index < s->count && tier < 3;
  open_cursor(s, valid ? index : machines, tier, start, end, c);
  zero(head, sizeof *head);
  head->tier = static_cast<u8>(tier);
  if (valid) __builtin_memcpy(head->id, s->ids[index], 16);
}

void open_top_cursor(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c) {
  open_cursor(s, tier < 3 ? index : machines, store::ring_p0 + tier, start, end, c);
}

void open_energy_cursor(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c) {
  open_cursor(s, tier < 3 ? index : machines, store::ring_e0 + tier, start, end, c);
}

void open_cluster_reader(Share* s, u32 tier, u32 start, u32 end, Cursor* c, hstore::AnswerHead* head) {
  zero(c, sizeof *c);
  zero(head, sizeof *head);
  bool valid = tier < 3 && (s->flags & leased);
  c->cluster = 1;
  c->type = valid ? tier : 0;
  c->start = start;
  c->end = end;
  c->interval = hstore::interval(c->type);
  c->count = valid ? s->count : 0;
  c->last_column = -1;
  c->done = valid ? 0 : 1;
  head->tier = static_cast<u8>(tier);
  head->scope = 1;
}

u32 time_at(Share* s, u32 handle, u32 oldest, u32 position, u32 type) {
  u8 b[8];
  u64 n = 0;
  u32 r = fs::io_read_at(s->rings[handle], store::record_at(type, physical(oldest, position, type)),
                         mem::Slice{b, 8}, &n);
  return r == fs::io_ok && n == 8 ? store::get32(b) : 0;
}

u32 seek_time(Share* s, Cursor* c, u32 budget) {
  u32 work = 0;
  while (!c->done && c->searching && c->low < c->high && work < budget) {
    u32 mid = c->low + (c->high - c->low) / 2;
    if (time_at(s, c->handle, c->oldest, mid, c->type) < c->start) {
      c->low = mid + 1;
    } else {
      c->high = mid;
    }
    work += probe_work;
  }
  if (c->searching && c->low >= c->high) {
    c->position = c->low;
    c->searching = 0;
  }
  return work;
}

bool read_range(Share* s, Cursor* c, Answer* a, u32 budget) {
  if (c->cluster) return read_cluster(s, c, a, budget);
  c->full = 0;
  if (!(s->flags & leased)) c->done = 1;
  follow(s, c);
  u32 work = seek_time(s, c, budget);
  const u32 cap = store::capacity(c->type);
  while (!c->done && !c->searching && work < budget) {
    if (a->head.rows >= max_answer_rows) {
      if (c->position < c->filled) c->full = 1;
      else c->done = 1;
      break;
    }
    u32 at = physical(c->oldest, c->position, c->type);
    u32 n = bits::min32(c->filled - bits::min32(c->position, c->filled), max_answer_rows - a->head.rows);
    n = bits::min32(n, cap - at);
    n = bits::min32(n, (budget - work) / store::bucket_bytes > 0 ? (budget - work) / store::bucket_bytes : 1);
    n = bits::min32(n, copy_bytes / store::bucket_bytes);
    u64 got = 0;
    if (n == 0 || fs::io_read_at(s->rings[c->handle], store::record_at(c->type, at),
                                 mem::Slice{s->buffer, u64{n} * store::bucket_bytes}, &got) != fs::io_ok ||
        got != u64{n} * store::bucket_bytes) {
      c->done = 1;
      break;
    }
    for (u32 i = 0; i < n; ++i) {
      if (store::get32(s->buffer + i * store::bucket_bytes) > c->end) {
        c->done = 1;
        break;
      }
      store::decode_bucket(mem::Bytes(s->buffer, got), u64{i} * store::bucket_bytes, &a->rows[a->head.rows++]);
    }
    c->position += n;
    work += read_cost(u64{n} * store::bucket_bytes);
  }
  return c->done || c->full;
}

bool read_records(Share* s, Cursor* c, u8* buffer, u32 buffer_bytes, u32* count, u32 budget) {
  *count = 0;
  if (!(s->flags & leased)) c->done = 1;
  follow(s, c);
  u32 work = seek_time(s, c, budget);
  if (c->done || c->searching) return c->done;
  u32 bytes = store::record_bytes(c->type), at = physical(c->oldest, c->position, c->type);
  u32 left = budget > work ? budget - work : 0;
  u32 n = bits::min32(c->filled - bits::min32(c->position, c->filled), store::capacity(c->type) - at);
  n = bits::min32(bits::min32(n, left / bytes > 0 ? left / bytes : 1), buffer_bytes / bytes);
  u64 got = 0;
  if (n == 0 || fs::io_read_at(s->rings[c->handle], store::record_at(c->type, at), mem::Slice{buffer, u64{n} * bytes},
                               &got) != fs::io_ok || got != u64{n} * bytes) {
    c->done = 1;
    return true;
  }
  u32 k = 0;
  while (k < n && store::get32(buffer + k * bytes) <= c->end) ++k;
  *count = k;
  c->position += n;
  if (k < n || c->position >= c->filled) c->done = 1;
  return c->done;
}

u32 read_names(Share* s, u32 index, u32 first, u8* buffer, u32 buffer_bytes, u32 budget) {
  if (index >= s->count || !(s->flags & leased)) return 0;
  u32 h = handle_of(index, store::ring_names);
  RingCounters rc = s->counters[h];
  if (first >= rc.filled) return 0;
  const u32 type = store::ring_names;
  u32 at = physical(store::oldest(rc.next, rc.filled, type), first, type);
  u32 n = bits::min32(bits::min32(rc.filled - first, store::capacity(type) - at), buffer_bytes / 32);
  n = bits::min32(bits::min32(n, budget / store::name_bytes > 0 ? budget / store::name_bytes : 1),
                  copy_bytes / store::name_bytes);
  u64 got = 0;
  u64 want = u64{n} * store::name_bytes;
  u32 io = n == 0 ? fs::io_failed : fs::io_read_at(s->rings[h], store::record_at(type, at), {s->buffer, want}, &got);
  if (io != fs::io_ok || got != want) return 0;
  // Names come from agents: a byte a viewer would refuse is shown as '?' instead of spoiling the whole answer.
  for (u32 i = 0; i < n; ++i) {
    const u8* from = s->buffer + i * store::name_bytes + 8;
    for (u32 j = 0; j < 32; ++j) {
      u8 ch = from[j];
      buffer[i * 32 + j] = ch == 0 || (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
  }
  return n;
}

namespace {

u32 column_of(const Cursor* c, u32 slot) { return slot < c->base ? 0 : (slot - c->base) / c->interval; }

void pick_window(Cursor* c) {
  u32 base = none;
  for (u32 m = 0; m < c->count; ++m) base = bits::min32(base, c->reads[m].slot);
  if (base == none) {
    c->done = 1;
    return;
  }
  c->base = base;
  zero(c->columns, sizeof c->columns);
  c->machine = 0;
  c->last_column = -1;
  c->phase = 1;
}

// Positioning: finds each machine's first record at or after the start, a bounded number of probes per call.
u32 position_machine(Share* s, Cursor* c, u32 budget, u32 work) {
  u32 m = c->machine, h = handle_of(m, c->type);
  if (!c->searching) {
    RingCounters rc = s->counters[h];
    c->handle = h;
    c->oldest = store::oldest(rc.next, rc.filled, c->type);
    c->filled = rc.filled;
    c->low = 0;
    c->high = rc.filled;
    c->searching = 1;
  }
  work += seek_time(s, c, budget - work);
  if (c->searching) return work;
  MachineRead r{0, 0, none};
  if (c->position < c->filled) {
    u32 slot = time_at(s, h, c->oldest, c->position, c->type);
    work += probe_work;
    if (slot <= c->end) {
      r.index = static_cast<u16>(physical(c->oldest, c->position, c->type));
      r.remaining = static_cast<u16>(c->filled - c->position);
      r.slot = slot;
    }
  }
  c->reads[m] = r;
  c->machine++;
  if (c->machine >= c->count) pick_window(c);
  return work;
}

void fold_column(Column* col, const store::Bucket* b) {
  col->machines++;
  for (u32 k = 0; k < 6; ++k) {
    col->min[k] += b->min[k];
    col->mean[k] += b->mean[k];
    col->max[k] += b->max[k];
  }
  for (u32 k = 0; k < 2; ++k) col->rate[k] += hstore::rate_of(b->mean[6 + k]);
}

// Gathering: folds one machine's buckets of the window into their columns, the first bucket of each column only.
u32 gather_machine(Share* s, Cursor* c) {
  MachineRead* r = &c->reads[c->machine];
  const u32 cap = store::capacity(c->type);
  bool next_machine = r->slot == none || column_of(c, r->slot) >= 32;
  u32 cost = 0;
  if (!next_machine) {
    u32 k = bits::min32(bits::min32(r->remaining, 32), cap - r->index);
    u64 got = 0;
    u32 io = fs::io_read_at(s->rings[handle_of(c->machine, c->type)], store::record_at(c->type, r->index),
                            mem::Slice{s->buffer, u64{k} * store::bucket_bytes}, &got);
    cost = read_cost(u64{k} * store::bucket_bytes);
    if (k == 0 || io != fs::io_ok || got != u64{k} * store::bucket_bytes) {
      *r = MachineRead{0, 0, none};
      next_machine = true;
    }
    for (u32 i = 0; !next_machine && i < k; ++i) {
      store::Bucket b;
      store::decode_bucket(mem::Bytes(s->buffer, got), u64{i} * store::bucket_bytes, &b);
      r->slot = b.slot > c->end ? none : b.slot;
      if (r->slot == none || column_of(c, b.slot) >= 32) {
        next_machine = true;
        break;
      }
      i32 col = static_cast<i32>(column_of(c, b.slot));
      if (col != c->last_column) fold_column(&c->columns[col], &b);
      c->last_column = col;
      r->index = static_cast<u16>((r->index + 1u) % cap);
      if (--r->remaining == 0) {
        r->slot = none;
        next_machine = true;
      }
    }
  }
  if (next_machine) {
    c->machine++;
    c->last_column = -1;
    if (c->machine >= c->count) {
      c->phase = 2;
      c->emit_column = 0;
    }
  }
  return cost;
}

u16 mean_of(u64 sum, u32 k) {
  u64 v = (sum + k / 2) / k;
  return static_cast<u16>(v > 0xFFFF ? 0xFFFF : v);
}

// Emitting: one row per column that any machine folded into; the means of the machines for levels, the sum of
// the rates.
void emit_columns(Cursor* c, Answer* a) {
  for (; c->emit_column < 32; ++c->emit_column) {
    const Column* col = &c->columns[c->emit_column];
    if (col->machines == 0) continue;
    if (a->head.rows >= max_answer_rows) {
      c->full = 1;
      return;
    }
    store::Bucket* row = &a->rows[a->head.rows++];
    zero(row, sizeof *row);
    row->slot = c->base + c->emit_column * c->interval;
    for (u32 k = 0; k < 6; ++k) {
      row->min[k] = mean_of(col->min[k], col->machines);
      row->mean[k] = mean_of(col->mean[k], col->machines);
      row->max[k] = mean_of(col->max[k], col->machines);
    }
    for (u32 k = 0; k < 2; ++k) {
      u16 code = hstore::rate_code(bits::min64(col->rate[k], 0xFFFFFFFFu));
      row->min[6 + k] = row->mean[6 + k] = row->max[6 + k] = code;
    }
  }
  pick_window(c);
}

}  // namespace

bool read_cluster(Share* s, Cursor* c, Answer* a, u32 budget) {
  c->full = 0;
  if (!(s->flags & leased)) c->done = 1;
  if (!c->done && c->phase == 0 && c->count == 0) c->done = 1;
  u32 work = 0;
  while (!c->done && !c->full && work < budget) {
    if (c->phase == 0) {
      work = position_machine(s, c, budget, work);
    } else if (c->phase == 1) {
      work += gather_machine(s, c);
    } else {
      emit_columns(c, a);
    }
  }
  return c->done || c->full;
}

// ---- Self-test.

bool caching_flags(mem::Bytes unc, u32* flags) {
  // The server's own answer is not to be had here; the client's mount of the share says how it caches, in the same
  // flags word. A share that is not mounted gives no answer, which the verdict counts as a failure.
  *flags = 0;
  netshare::Mount mount;
  if (!netshare::mount_by_unc(unc, &mount)) return false;
  *flags = netshare::flags_of(&mount);
  return true;
}

bool smb_counters(mem::Bytes unc, u32 counter, u64* value) {
  *value = 0;
  netshare::Mount mount;
  return netshare::mount_by_unc(unc, &mount) && netshare::counter(&mount, counter, value);
}

void smb_sample(mem::Bytes unc, bool writing, Sample* sample) {
  sample->requests = 0;
  sample->bytes = 0;
  bool a = smb_counters(unc, writing ? 1 : 0, &sample->requests);
  bool b = smb_counters(unc, writing ? 3 : 2, &sample->bytes);
  sample->valid = a && b;
}

namespace {

void system_sample(void*, mem::Bytes unc, bool writing, Sample* sample) { smb_sample(unc, writing, sample); }

}  // namespace

u32 probe_writes(mem::Bytes unc, mem::Bytes test_file, bool writing) {
  const CounterSource system = {system_sample, nullptr};
  return probe_counted(unc, test_file, writing, &system);
}

u32 probe_counted(mem::Bytes unc, mem::Bytes test_file, bool writing, const CounterSource* source) {
  alignas(8) u8 block[4096];
  __builtin_memset(block, 'Z', sizeof block);
  u64 file = 0;
  bool opened = fs::io_open_shared(test_file, &file) == fs::io_ok &&
                fs::io_write_at(file, 0, mem::Bytes(block, sizeof block)) == fs::io_ok;
  Sample s0, s1, s2;
  source->take(source->context, unc, writing, &s0);
  u64 t0 = os::micros();
  os::sleep_ms(50);
  source->take(source->context, unc, writing, &s1);
  u64 t1 = os::micros();
  for (u32 i = 0; opened && i < 32; ++i) {
    u64 n = 0;
    if (writing) {
      fs::io_write_at(file, 0, mem::Bytes(block, sizeof block));
    } else {
      fs::io_read_file(test_file, mem::Slice{block, sizeof block}, &n);
    }
  }
  u64 t2 = os::micros();
  source->take(source->context, unc, writing, &s2);
  fs::io_close(&file);
  if (!opened || !s0.valid || !s1.valid || !s2.valid) return store::verdict_fail;
  // Counters that went backwards (a reconnect) count as still.
  u64 base_q = store::scaled_base(store::scaled_result(s1.requests, s0.requests), t1 - t0, t2 - t1);
  u64 base_b = store::scaled_base(store::scaled_result(s1.bytes, s0.bytes), t1 - t0, t2 - t1);
  u64 ops_q = store::scaled_result(store::scaled_result(s2.requests, s1.requests), base_q);
  u64 ops_b = store::scaled_result(store::scaled_result(s2.bytes, s1.bytes), base_b);
  if (s2.requests == s0.requests) return store::result_verdict(ops_b, base_b, 4096);
  return store::result_verdict(ops_q, base_q, 1);
}

u32 probe(mem::Bytes unc, mem::Bytes test_file, bool writing) {
  bool inconclusive = false;
  for (u32 i = 0; i < 3; ++i) {
    u32 v = probe_writes(unc, test_file, writing);
    if (v == store::verdict_pass) return v;
    inconclusive = inconclusive || v == store::verdict_inconclusive;
  }
  return inconclusive ? store::verdict_inconclusive : store::verdict_fail;
}

u32 selftest(mem::Bytes share_path, mem::Bytes test_base) {
  store::Path network;
  mem::Bytes unc = share_path;
  if (store::unc_share_end(share_path) == 0) {
    // A folder is a share when it lies on a network mount, and is measured under the share's name; a local folder
    // is not one, and nothing is touched.
    if (!fs::unc_of_drive(share_path, &network) || network.overflow) return store::verdict_not_share;
    unc = text(network);
  }
  u32 flags = 0;
  bool flags_read = caching_flags(unc, &flags);
  store::Path file;
  store::path_set(&file, test_base);
  store::path_text(&file, mem::lit(".selftest"));
  if (file.overflow) return store::verdict_fail;
  u32 writes = probe(unc, text(file), true);
  u32 reads = probe(unc, text(file), false);
  fs::io_delete(text(file));
  return store::verdict(true, flags_read, flags, writes, reads);
}

// ---- The folder ring reader.

bool open_folder_ring(FolderRing* r, mem::Bytes folder, u32 type, const auth::KeyState* key) {
  zero(r, sizeof *r);
  r->done = 1;
  store::Path p;
  store::path_set(&p, folder);
  store::path_join(&p, store::ring_name(type));
  if (p.overflow || type >= ring_types || fs::io_open_read(text(p), &r->file) != fs::io_ok) return false;
  u8 b[65];
  u64 n = 0, size = 0;
  store::RingHead h;
  bool ok = fs::io_size(r->file, &size) == fs::io_ok && size == store::ring_bytes(type) &&
            fs::io_read_at(r->file, 0, mem::Slice{b, 64}, &n) == fs::io_ok && n == 64 &&
            store::decode_head(key, mem::Bytes(b, 64), &h) == 1 && h.type == type;
  if (!ok) {
    fs::io_close(&r->file);
    return false;
  }
  r->head = h;
  r->oldest = store::oldest(h.next, h.filled, type);
  return true;
}

u32 folder_time_at(FolderRing* r, u32 position) {
  u8 b[8];
  u64 n = 0;
  u32 type = r->head.type;
  bool ok = fs::io_read_at(r->file, store::record_at(type, physical(r->oldest, position, type)), mem::Slice{b, 8},
                           &n) == fs::io_ok && n == 8;
  return ok ? store::get32(b) : 0;
}

bool read_folder_buckets(FolderRing* r, u8* buffer, u32 buffer_bytes, hist::Table* table, u32 budget) {
  u32 work = 0;
  while (!r->done && r->searching && r->low < r->high && work < budget) {
    u32 mid = r->low + (r->high - r->low) / 2;
    if (folder_time_at(r, mid) < r->start) {
      r->low = mid + 1;
    } else {
      r->high = mid;
    }
    work += store::bucket_bytes;
  }
  if (r->searching && r->low >= r->high) {
    r->position = r->low;
    r->searching = 0;
  }
  const u32 type = r->head.type, cap = store::capacity(type);
  while (!r->done && !r->searching && work < budget) {
    u32 at = physical(r->oldest, r->position, type);
    u32 n = bits::min32(r->head.filled - bits::min32(r->position, r->head.filled), cap - at);
    u32 left = (budget - work) / store::bucket_bytes;
    n = bits::min32(bits::min32(n, left > 0 ? left : 1), buffer_bytes / store::bucket_bytes);
    u64 got = 0;
    if (n == 0 || fs::io_read_at(r->file, store::record_at(type, at), mem::Slice{buffer, u64{n} * store::bucket_bytes},
                                 &got) != fs::io_ok || got != u64{n} * store::bucket_bytes) {
      r->done = 1;
      break;
    }
    for (u32 i = 0; i < n; ++i) {
      store::Bucket b;
      store::decode_bucket(mem::Bytes(buffer, got), u64{i} * store::bucket_bytes, &b);
      if (b.slot > r->end) {
        r->done = 1;
        break;
      }
      hist::fold(table, &b);  // counts what it folds into the table
    }
    r->position += n;
    work += n * store::bucket_bytes;
  }
  return r->done;
}

void close_folder_ring(FolderRing* r) {
  fs::io_close(&r->file);
  r->done = 1;
}

}  // namespace share
