#include "history/sharefile.h"

#include "platform/os.h"

namespace share {

// Paths under the share folder: the caller tests the overflow flag once.
store::Path under(const Share* s, mem::Bytes a) {
  store::Path p = s->folder;
  store::path_join(&p, a);
  return p;
}

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

// The code of a file result, with its cause noted for the owner's output.
u32 noted(Share* s, u32 io, const store::Path& p) {
  u32 kind = trouble_of(io);
  if (kind != trouble_no_space) {
    note(&s->trouble, kind, p);
  } else if (!s->full) {
    // A full disk is said once while it lasts, at whichever file meets it first.
    s->full = 1;
    note_anew(&s->trouble, kind, p);
  }
  return code_of(io);
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

namespace {

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

}  // namespace

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

namespace {

// A name temporary_name made: anything, ".tmp-" and 8 lower-case hex digits.
bool is_temporary(const u8* name, u32 length) {
  if (length <= 13 || !mem::eq(mem::Bytes(name + length - 13, 5), mem::lit(".tmp-"))) return false;
  for (u32 i = length - 8; i < length; ++i) {
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  }
  return true;
}

}  // namespace

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

}  // namespace share
