// The file layer's rules that need no system: the error-class texts, path roots, folder-listing pages, and the
// answers built on the layer's own calls. Both backends share them.
#include "platform/fs.h"

namespace fs {
namespace {

const char* const class_texts[class_count] = {
    "success",        "bad name",       "not found",         "already exists", "access denied or in use",
    "directory not empty", "too large", "no room in the arena", "not a plain file", "unknown",
    "failed",         "invalid argument", "not a directory", "would block",    "timed out",
    "not connected",  "aborted",        "refused",           "reset",          "unreachable",
    "address in use", "no space",       "write protected",   "too many open files", "bad handle",
    "interrupted",    "unsupported",
};

const char* const io_code_texts[] = {"success", "already exists", "not found", "in use", "access denied", "failed",
                                     "no space", "not a plain file"};

inline bool is_separator(u8 c) { return c == '/' || c == '\\'; }

bool usable_byte(u8 c) {
  if (c < 32 || c >= 128) return false;
  for (const char* p = "\\/:*?\"<>|"; *p; ++p) {
    if (c == static_cast<u8>(*p)) return false;
  }
  return true;
}

}  // namespace

bool usable_name(mem::Bytes name) {
  if (name.len == 0 || name.len > 32) return false;
  for (u64 i = 0; i < name.len; ++i) {
    if (!usable_byte(name.ptr[i])) return false;
  }
  return true;
}

mem::Bytes class_text(u32 error_class) {
  if (error_class >= class_count || error_class == 9) return mem::lit("unknown");
  return mem::cstr(class_texts[error_class]);
}

mem::Bytes share_text(u32 result) {
  if (result == not_directory) return mem::lit("not a folder");
  if (result == unreachable) return mem::lit("cannot reach the share");
  return class_text(result);
}

mem::Bytes io_code_text(u32 code) {
  return code <= io_not_plain ? mem::cstr(io_code_texts[code]) : mem::lit("unknown");
}

u64 root_length(mem::Bytes path) {
  const u8* p = path.ptr;
  u64 n = path.len;
  // Past a server or share name and the separators after it.
  auto skip_component = [&](u64 at) {
    while (at < n && !is_separator(p[at])) ++at;
    while (at < n && is_separator(p[at])) ++at;
    return at;
  };
  auto drive_at = [&](u64 at) { return n >= at + 2 && p[at + 1] == ':'; };
  bool long_prefix = n >= 4 && p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\';
  if (long_prefix) {
    if (n >= 8 && (p[4] == 'U' || p[4] == 'u') && (p[5] == 'N' || p[5] == 'n') && (p[6] == 'C' || p[6] == 'c') &&
        p[7] == '\\') {
      return skip_component(skip_component(8));
    }
    if (drive_at(4)) return n > 6 && is_separator(p[6]) ? 7 : 6;
    return 4;
  }
  if (n >= 2 && is_separator(p[0]) && is_separator(p[1])) return skip_component(skip_component(2));
  if (drive_at(0)) return n > 2 && is_separator(p[2]) ? 3 : 2;
  if (n >= 1 && is_separator(p[0])) return 1;
  return 0;
}

bool windows_absolute(mem::Bytes path) {
  const u8* p = path.ptr;
  const u64 n = path.len, root = root_length(path);
  auto letter = [&](u64 at) { return at < n && ((p[at] | 0x20) >= 'a' && (p[at] | 0x20) <= 'z'); };
  // A server or share name: one or more bytes up to the next separator.
  auto name_end = [&](u64 at) {
    u64 end = at;
    while (end < n && !is_separator(p[end])) ++end;
    return end;
  };
  auto share_named = [&](u64 at) {
    u64 server = name_end(at);
    if (server == at || server >= n) return false;
    return name_end(server + 1) > server + 1;
  };
  bool long_prefix = n >= 4 && p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\';
  if (long_prefix) {
    if (root == 7) return letter(4);
    bool unc = n >= 8 && (p[4] | 0x20) == 'u' && (p[5] | 0x20) == 'n' && (p[6] | 0x20) == 'c' && p[7] == '\\';
    return unc && share_named(8);
  }
  if (n >= 2 && is_separator(p[0]) && is_separator(p[1])) return share_named(2);
  return root == 3 && letter(0);
}

u32 remove(mem::Bytes path) { return delete_file(path); }

u32 touch(mem::Bytes path) { return write_file(path, mem::Bytes()) == ok ? 1 : 0; }

u32 write_ok(mem::Bytes path, mem::Bytes bytes) { return write_file(path, bytes) == ok ? 1 : 0; }

u32 append_ok(mem::Bytes path, mem::Bytes bytes) { return append_file(path, bytes) == ok ? 1 : 0; }

u32 move_ok(mem::Bytes from, mem::Bytes to) { return move_file(from, to) == ok ? 1 : 0; }

// A whole small file through the share layer: open, one read, close.
u32 io_read_file(mem::Bytes path, mem::Slice buffer, u64* count) {
  *count = 0;
  u64 slot = 0;
  u32 code = io_open_read(path, &slot);
  if (code != io_ok) return code;
  code = io_read_at(slot, 0, buffer, count);
  io_close(&slot);
  return code;
}

u64 read_prefix(mem::Bytes path, mem::Slice buffer) {
  File file{};
  if (open_sized(path, &file) != ok) return 0;
  u64 count = 0;
  u32 result = read_at(&file, 0, buffer, &count);
  close(&file);
  return result == ok ? count : 0;
}

bool is_dot_name(mem::Bytes name) {
  return (name.len == 1 && name.ptr[0] == '.') || (name.len == 2 && name.ptr[0] == '.' && name.ptr[1] == '.');
}

void listing_add(Listing* listing, mem::Bytes name, bool directory) {
  auto bump = [](u32* counter) {
    if (*counter != 0xFFFFFFFF) ++*counter;
  };
  if (is_dot_name(name)) return;
  if (!usable_name(name)) {
    bump(&listing->unusable);
    return;
  }
  u32 before = listing->seen;
  bump(&listing->seen);
  if (before < listing->start) return;
  if (listing->count == listing_page) {
    bump(&listing->full);
    return;
  }
  u32 i = listing->count++;
  mem::fill(mem::Slice{listing->names[i], sizeof listing->names[i]}, 0);
  __builtin_memcpy(listing->names[i], name.ptr, name.len);
  listing->lengths[i] = static_cast<u8>(name.len);
  if (directory) listing->directories |= u64{1} << i;
}

}  // namespace fs
