#include "platform/netshare.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/path.h"
#include "platform/os.h"

namespace netshare {
namespace {

// Texts this layer reads are small; a bigger table is read up to this much.
constexpr u64 text_max = 1 << 20;

struct Cursor {
  const u8* p;
  u64 n;
  u64 at;
};

bool at_end(const Cursor* c) { return c->at >= c->n; }

// The next line without its end.
mem::Bytes next_line(Cursor* c) {
  u64 start = c->at;
  while (c->at < c->n && c->p[c->at] != '\n') ++c->at;
  mem::Bytes line(c->p + start, c->at - start);
  if (c->at < c->n) ++c->at;
  return line;
}

// The next blank-separated field of a line.
mem::Bytes next_field(mem::Bytes line, u64* at) {
  while (*at < line.len && (line.ptr[*at] == ' ' || line.ptr[*at] == '\t')) ++*at;
  u64 start = *at;
  while (*at < line.len && line.ptr[*at] != ' ' && line.ptr[*at] != '\t') ++*at;
  return mem::Bytes(line.ptr + start, *at - start);
}

// Copies a field, turning the table's octal escapes (\040 for a blank) back into bytes; false when it does not fit.
bool unescape(mem::Bytes field, u8* out, u32 capacity, u32* length) {
  u32 n = 0;
  for (u64 i = 0; i < field.len; ++i) {
    u8 c = field.ptr[i];
    if (c == '\\' && i + 3 < field.len && field.ptr[i + 1] >= '0' && field.ptr[i + 1] <= '3') {
      c = static_cast<u8>((field.ptr[i + 1] - '0') * 64 + (field.ptr[i + 2] - '0') * 8 + (field.ptr[i + 3] - '0'));
      i += 3;
    }
    if (n >= capacity) return false;
    out[n++] = c;
  }
  *length = n;
  return true;
}

bool same(mem::Bytes a, const char* b) { return a.len == strlen(b) && memcmp(a.ptr, b, a.len) == 0; }

u8 lower(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }

bool same_folded(mem::Bytes a, mem::Bytes b) {
  if (a.len != b.len) return false;
  for (u64 i = 0; i < a.len; ++i) {
    u8 x = lower(a.ptr[i] == '/' ? '\\' : a.ptr[i]), y = lower(b.ptr[i] == '/' ? '\\' : b.ptr[i]);
    if (x != y) return false;
  }
  return true;
}

u32 kind_of(mem::Bytes type) {
  if (same(type, "cifs") || same(type, "smb3")) return kind_smb;
  if (same(type, "nfs") || same(type, "nfs4")) return kind_nfs;
  return kind_none;
}

// The mount point lies over the path: equal, or a prefix that ends at a separator.
bool covers(mem::Bytes point, mem::Bytes path) {
  if (point.len > path.len || memcmp(point.ptr, path.ptr, point.len) != 0) return false;
  return point.len == path.len || (point.len > 0 && point.ptr[point.len - 1] == '/') || path.ptr[point.len] == '/';
}

// Reads one mountinfo line into a record: mount point, options, type, source. False for a line of another shape.
bool parse_line(mem::Bytes line, Mount* m) {
  u64 at = 0;
  for (u32 i = 0; i < 4; ++i) next_field(line, &at);  // id, parent, device, root
  mem::Bytes point = next_field(line, &at);
  mem::Bytes options = next_field(line, &at);
  mem::Bytes f;
  do {
    f = next_field(line, &at);
  } while (f.len != 0 && !same(f, "-"));
  if (f.len == 0) return false;
  mem::Bytes type = next_field(line, &at);
  mem::Bytes source = next_field(line, &at);
  mem::Bytes super = next_field(line, &at);
  *m = Mount{};
  m->kind = kind_of(type);
  if (!unescape(point, m->point, sizeof m->point, &m->point_len)) return false;
  if (!unescape(source, m->source, sizeof m->source, &m->source_len)) return false;
  if (options.len + 1 + super.len > sizeof m->options) return false;
  memcpy(m->options, options.ptr, options.len);
  m->options[options.len] = ',';
  memcpy(m->options + options.len + 1, super.ptr, super.len);
  m->options_len = static_cast<u32>(options.len + 1 + super.len);
  return true;
}

bool has_option(const Mount* m, const char* option) {
  mem::Bytes all(m->options, m->options_len);
  u64 start = 0;
  for (u64 i = 0; i <= all.len; ++i) {
    if (i == all.len || all.ptr[i] == ',') {
      if (same(mem::Bytes(all.ptr + start, i - start), option)) return true;
      start = i + 1;
    }
  }
  return false;
}

// A whole small text file of the system (procfs files have no size), at most text_max bytes, in pages the caller
// gives back with done_text.
u8* read_text(const char* path, u64* length) {
  *length = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  u8* buffer = static_cast<u8*>(os::pages_reserve(text_max));
  if (buffer == nullptr) {
    close(fd);
    return nullptr;
  }
  u64 n = 0;
  for (;;) {
    ssize_t r = read(fd, buffer + n, text_max - n);
    if (r <= 0) break;
    n += static_cast<u64>(r);
    if (n == text_max) break;
  }
  close(fd);
  *length = n;
  return buffer;
}

void done_text(u8* text) {
  if (text != nullptr) os::pages_release(text, text_max);
}

// The first decimal number after the label in the line; false when the label is not there.
bool number_after(mem::Bytes line, const char* label, u64* value) {
  u64 k = strlen(label);
  for (u64 i = 0; i + k <= line.len; ++i) {
    if (memcmp(line.ptr + i, label, k) != 0) continue;
    u64 at = i + k;
    while (at < line.len && (line.ptr[at] == ' ' || line.ptr[at] == '\t')) ++at;
    if (at >= line.len || line.ptr[at] < '0' || line.ptr[at] > '9') return false;
    u64 v = 0;
    while (at < line.len && line.ptr[at] >= '0' && line.ptr[at] <= '9') v = v * 10 + (line.ptr[at++] - '0');
    *value = v;
    return true;
  }
  return false;
}

mem::Bytes trimmed(mem::Bytes line) {
  u64 at = 0;
  while (at < line.len && (line.ptr[at] == ' ' || line.ptr[at] == '\t')) ++at;
  return mem::Bytes(line.ptr + at, line.len - at);
}

bool starts(mem::Bytes line, const char* word) {
  u64 k = strlen(word);
  return line.len >= k && memcmp(line.ptr, word, k) == 0;
}

// "\\server\share" of a longer "\\server\share\folder": the client connects to the share, whatever folder of it
// is mounted.
mem::Bytes share_part(mem::Bytes unc) {
  u32 separators = 0;
  for (u64 i = 2; i < unc.len; ++i) {
    if ((unc.ptr[i] == '\\' || unc.ptr[i] == '/') && ++separators == 2) return mem::Bytes(unc.ptr, i);
  }
  return unc;
}

// cifs statistics: the block of the share's tree name ("N) \\server\share"), then its request and byte lines.
bool smb_counter(mem::Bytes stats, const Mount* m, u32 which, u64* value) {
  store::Path unc;
  if (!unc_of(m, &unc)) return false;
  mem::Bytes name = share_part(store::path_of(&unc));
  Cursor c{stats.ptr, stats.len, 0};
  bool inside = false;
  while (!at_end(&c)) {
    mem::Bytes line = trimmed(next_line(&c));
    u64 at = 0;
    while (at < line.len && line.ptr[at] >= '0' && line.ptr[at] <= '9') ++at;
    if (at > 0 && at + 1 < line.len && line.ptr[at] == ')') {
      // The tree name is the rest of the line (it may hold blanks), up to a tab that marks a lost connection.
      mem::Bytes tree = trimmed(mem::Bytes(line.ptr + at + 1, line.len - at - 1));
      u64 end = 0;
      while (end < tree.len && tree.ptr[end] != '\t') ++end;
      while (end > 0 && tree.ptr[end - 1] == ' ') --end;
      inside = same_folded(mem::Bytes(tree.ptr, end), name);
      continue;
    }
    if (!inside) continue;
    if (which == 0 && starts(line, "Reads:")) return number_after(line, "Reads:", value);
    if (which == 1 && starts(line, "Writes:")) return number_after(line, "Writes:", value);
    if (which == 2 && number_after(line, "Bytes read:", value)) return true;
    if (which == 3 && number_after(line, "Bytes written:", value)) return true;
  }
  return false;
}

// nfs statistics: the mount's "device <source> mounted on <point>" block, its "bytes:" line (server read and write
// bytes are the fifth and sixth numbers) and its per-operation READ and WRITE counts.
bool nfs_counter(mem::Bytes stats, const Mount* m, u32 which, u64* value) {
  Cursor c{stats.ptr, stats.len, 0};
  bool inside = false;
  while (!at_end(&c)) {
    mem::Bytes line = next_line(&c);
    if (starts(line, "device ")) {
      u64 at = 7;
      mem::Bytes source = next_field(line, &at);
      next_field(line, &at);  // "mounted"
      next_field(line, &at);  // "on"
      u8 point[256];
      u32 n = 0;
      inside = unescape(next_field(line, &at), point, sizeof point, &n) && same(source, "") == false &&
               source.len == m->source_len && memcmp(source.ptr, m->source, source.len) == 0 &&
               n == m->point_len && memcmp(point, m->point, n) == 0;
      continue;
    }
    if (!inside) continue;
    mem::Bytes t = trimmed(line);
    if ((which == 0 && starts(t, "READ:")) || (which == 1 && starts(t, "WRITE:"))) {
      return number_after(t, which == 0 ? "READ:" : "WRITE:", value);
    }
    if ((which == 2 || which == 3) && starts(t, "bytes:")) {
      u64 at = 6;
      mem::Bytes f;
      for (u32 k = 0; k < (which == 2 ? 5u : 6u); ++k) f = next_field(t, &at);
      if (f.len == 0) return false;
      u64 v = 0;
      for (u64 i = 0; i < f.len; ++i) {
        if (f.ptr[i] < '0' || f.ptr[i] > '9') return false;
        v = v * 10 + (f.ptr[i] - '0');
      }
      *value = v;
      return true;
    }
  }
  return false;
}

}  // namespace

bool mount_in(mem::Bytes table, mem::Bytes path, Mount* out) {
  *out = Mount{};
  if (path.len == 0 || path.ptr[0] != '/') return false;
  Cursor c{table.ptr, table.len, 0};
  Mount m;
  u32 best = 0;
  bool found = false;
  while (!at_end(&c)) {
    if (!parse_line(next_line(&c), &m)) continue;
    mem::Bytes point(m.point, m.point_len);
    if (!covers(point, path) || (found && m.point_len < best)) continue;
    best = m.point_len;
    found = true;
    *out = m;
  }
  if (!found || out->kind == kind_none) {
    *out = Mount{};
    return false;
  }
  return true;
}

bool resolve(mem::Bytes path, store::Path* out) {
  store::path_set(out, mem::Bytes());
  char given[4096], real[PATH_MAX];
  if (path.len == 0 || path.len >= sizeof given) return false;
  memcpy(given, path.ptr, path.len);
  given[path.len] = 0;
  if (realpath(given, real)) {
    store::path_set(out, mem::Bytes(reinterpret_cast<const u8*>(real), strlen(real)));
    return !out->overflow;
  }
  // A folder not made yet: its parent resolved, and its own name after it.
  char* slash = strrchr(given, '/');
  const char* leaf = slash ? slash + 1 : given;
  if (slash == given) {
    strcpy(real, "/");
  } else {
    if (slash) *slash = 0;
    if (!realpath(slash ? given : ".", real)) return false;
  }
  store::path_set(out, mem::Bytes(reinterpret_cast<const u8*>(real), strlen(real)));
  if (*leaf) store::path_join(out, mem::Bytes(reinterpret_cast<const u8*>(leaf), strlen(leaf)));
  return !out->overflow;
}

bool mount_of(mem::Bytes path, Mount* out) {
  *out = Mount{};
  // Matched as the system sees the folder: a relative path, or one through a symbolic link, lies where it leads.
  store::Path real;
  if (!resolve(path, &real)) return false;
  u64 n = 0;
  u8* text = read_text("/proc/self/mountinfo", &n);
  bool r = text != nullptr && mount_in(mem::Bytes(text, n), store::path_of(&real), out);
  done_text(text);
  return r;
}

bool unc_of(const Mount* m, store::Path* out) {
  mem::Bytes s(m->source, m->source_len);
  store::path_set(out, mem::lit("\\\\"));
  if (m->kind == kind_smb) {
    if (s.len < 3 || s.ptr[0] != '/' || s.ptr[1] != '/') return false;
    for (u64 i = 2; i < s.len; ++i) {
      u8 c = s.ptr[i] == '/' ? '\\' : s.ptr[i];
      store::path_text(out, mem::Bytes(&c, 1));
    }
  } else if (m->kind == kind_nfs) {
    u64 colon = 0;
    while (colon < s.len && s.ptr[colon] != ':') ++colon;
    if (colon == 0 || colon >= s.len) return false;
    store::path_text(out, mem::Bytes(s.ptr, colon));
    u8 sep = '\\';
    store::path_text(out, mem::Bytes(&sep, 1));
    for (u64 i = colon + 1; i < s.len; ++i) {
      if (i == colon + 1 && s.ptr[i] == '/') continue;
      u8 c = s.ptr[i] == '/' ? '\\' : s.ptr[i];
      store::path_text(out, mem::Bytes(&c, 1));
    }
  } else {
    return false;
  }
  return !out->overflow;
}

bool mount_by_unc_in(mem::Bytes table, mem::Bytes unc, Mount* out) {
  *out = Mount{};
  Cursor c{table.ptr, table.len, 0};
  Mount m;
  u64 best = 0;
  while (!at_end(&c)) {
    if (!parse_line(next_line(&c), &m) || m.kind == kind_none) continue;
    store::Path name;
    if (!unc_of(&m, &name)) continue;
    mem::Bytes n = store::path_of(&name);
    // The given name may go on below the share: "\\server\share\cluster". Of a share mounted whole and a folder
    // of it mounted on its own, the folder's mount is the one the name lies on.
    if (unc.len >= n.len && same_folded(mem::Bytes(unc.ptr, n.len), n) &&
        (unc.len == n.len || unc.ptr[n.len] == '\\' || unc.ptr[n.len] == '/') && n.len > best) {
      best = n.len;
      *out = m;
    }
  }
  return best != 0;
}

bool mount_by_unc(mem::Bytes unc, Mount* out) {
  u64 n = 0;
  u8* text = read_text("/proc/self/mountinfo", &n);
  bool r = text != nullptr && mount_by_unc_in(mem::Bytes(text, n), unc, out);
  done_text(text);
  return r;
}

u32 flags_of(const Mount* m) {
  if (m->kind == kind_smb) return has_option(m, "cache=none") ? flags_no_caching : flags_caching;
  if (m->kind == kind_nfs) {
    bool no_attribute_cache = has_option(m, "noac") || has_option(m, "actimeo=0") ||
                              (has_option(m, "acregmin=0") && has_option(m, "acregmax=0") &&
                               has_option(m, "acdirmin=0") && has_option(m, "acdirmax=0"));
    return no_attribute_cache ? flags_no_caching : flags_caching;
  }
  return flags_caching;
}

bool counter_in(mem::Bytes stats, const Mount* m, u32 which, u64* value) {
  *value = 0;
  if (which > 3) return false;
  if (m->kind == kind_smb) return smb_counter(stats, m, which, value);
  if (m->kind == kind_nfs) return nfs_counter(stats, m, which, value);
  return false;
}

bool counter(const Mount* m, u32 which, u64* value) {
  *value = 0;
  u64 n = 0;
  u8* text = read_text(m->kind == kind_smb ? "/proc/fs/cifs/Stats" : "/proc/self/mountstats", &n);
  bool r = text != nullptr && counter_in(mem::Bytes(text, n), m, which, value);
  done_text(text);
  return r;
}

}  // namespace netshare
