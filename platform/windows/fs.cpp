// Files on Windows: the general layer over the system's file API with long paths taken into the "\\?\" form, and
// the share layer with explicit sharing modes and write-through.
#include "platform/fs.h"

#include <windows.h>

#include "base/path.h"
#include "platform/os.h"
#include "platform/windows/wide.h"

namespace fs {
namespace {

const u64 piece_max = 1 << 20;

struct Row {
  u32 code;
  u32 error_class;
};
// Windows and Winsock error codes by class. 109 and 232 (a pipe whose reader has gone) are a reset connection too:
// a console writer reports them as the class of a vanished reader.
const Row rows[] = {
    {123, bad_name},         {161, bad_name},      {206, bad_name},        {2, not_found},
    {3, not_found},          {15, not_found},      {203, not_found},       {80, exists},
    {183, exists},           {5, denied},          {32, denied},           {33, denied},
    {10013, denied},         {145, not_empty},     {10040, too_large},     {10014, invalid},
    {10022, invalid},        {10049, invalid},     {10056, invalid},       {267, not_directory},
    {10035, would_block},    {121, timed_out},     {10060, timed_out},     {10057, not_connected},
    {10058, not_connected},  {995, aborted},       {1225, refused},        {1234, refused},
    {10061, refused},        {64, reset},          {1236, reset},          {10053, reset},
    {10054, reset},          {109, reset},         {232, reset},           {1231, unreachable},
    {1232, unreachable},     {10050, unreachable}, {10051, unreachable},   {10065, unreachable},
    {10048, address_in_use}, {39, no_space},       {112, no_space},        {10055, no_space},
    {19, write_protected},   {4, too_many_open},   {10024, too_many_open}, {6, bad_handle},
    {10009, bad_handle},     {10038, bad_handle},  {10004, interrupted},   {10043, unsupported},
    {10045, unsupported},    {10047, unsupported},
};

inline bool is_separator(u8 c) { return c == '/' || c == '\\'; }

// A long path on the heap: 64 KiB is too much for a stack that holds two of them.
struct WidePath {
  wchar_t* units = nullptr;
  WidePath() { units = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, winwide::path_units * sizeof(wchar_t))); }
  ~WidePath() {
    if (units) HeapFree(GetProcessHeap(), 0, units);
  }
  bool set(mem::Bytes path) { return units && winwide::file_path(path, units); }
};

u32 last_class() { return error_class(GetLastError()); }

bool is_dir(const wchar_t* path) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

u32 write_all(HANDLE h, mem::Bytes bytes) {
  for (u64 done = 0; done < bytes.len;) {
    DWORD n = static_cast<DWORD>(bytes.len - done < piece_max ? bytes.len - done : piece_max), wrote = 0;
    if (!WriteFile(h, bytes.ptr + done, n, &wrote, nullptr)) return last_class();
    if (wrote == 0) return other;
    done += wrote;
  }
  return ok;
}

DWORD access_bits(u32 access) {
  DWORD bits = 0;
  if (access & access_read) bits |= GENERIC_READ;
  if (access & access_write) bits |= GENERIC_WRITE;
  if (access & access_append) bits |= FILE_APPEND_DATA | SYNCHRONIZE;
  return bits;
}

u64 filetime(FILETIME t) { return static_cast<u64>(t.dwHighDateTime) << 32 | t.dwLowDateTime; }

// Paths of 1,100 units at most as UTF-8 (the copy and the size query take names as the user typed them).
bool short_utf8(mem::Bytes path, wchar_t (&out)[1100]) { return path.len > 0 && winwide::utf8(path, out, 1100); }

}  // namespace

// ---- Classes.

u32 error_class(u32 system_error) {
  if (system_error == 0) return ok;
  for (const Row& r : rows) {
    if (r.code == system_error) return r.error_class;
  }
  return other;
}

u32 last_error() { return GetLastError(); }

bool absolute(mem::Bytes path) { return windows_absolute(path); }

// ---- Whole files.

u32 read_file(mem::Bytes path, mem::Arena* arena, mem::Slice* out) {
  *out = mem::Slice{nullptr, 0};
  File file{};
  u32 result = open_sized(path, &file);
  if (result != ok) return result;
  if (file.size == 0) {
    close(&file);
    return ok;
  }
  u64 used = arena->used;
  if (arena->capacity - arena->used < file.size) {
    close(&file);
    return no_room;
  }
  mem::Slice bytes = mem::alloc(arena, file.size, 1);
  u64 count = 0, size = file.size;
  result = bytes.ptr ? read_at(&file, 0, bytes, &count) : no_room;
  close(&file);
  if (result == ok && count != size) result = other;
  if (result != ok) {
    arena->used = used;
    return result;
  }
  *out = bytes;
  return ok;
}

u32 write_with(mem::Bytes path, mem::Bytes bytes, u32 access, u32 disposition) {
  WidePath w;
  if (!w.set(path)) return bad_name;
  HANDLE h =
      CreateFileW(w.units, access_bits(access), FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    u32 c = last_class();
    return c == denied && is_dir(w.units) ? not_plain_file : c;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return not_plain_file;
  }
  u32 result = write_all(h, bytes);
  if (!CloseHandle(h) && result == ok) result = other;
  return result;
}

u32 write_file(mem::Bytes path, mem::Bytes bytes) { return write_with(path, bytes, access_write, create_always); }
u32 append_file(mem::Bytes path, mem::Bytes bytes) { return write_with(path, bytes, access_append, open_always); }

// ---- Replacing: a temporary file "<path>.tmp-<8 hex>" beside the target, written, flushed and moved over it.
// The record keeps the target's whole path in name (so a path of 256 bytes or more is refused) and the temporary's.

u32 replace_begin(mem::Bytes path, u32, Replacement* r) {
  *r = Replacement{};
  if (path.len == 0 || path.len >= sizeof r->name) return r->failure = bad_name;
  WidePath w;
  if (!w.set(path)) return r->failure = bad_name;
  DWORD a = GetFileAttributesW(w.units);
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return r->failure = not_plain_file;
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return r->failure = denied;
  __builtin_memcpy(r->name, path.ptr, path.len);
  r->name_length = static_cast<u16>(path.len);
  u8 random[4];
  os::random_bytes(mem::Slice{random, 4});
  const char hex[] = "0123456789abcdef";
  u64 n = path.len;
  __builtin_memcpy(r->temporary, path.ptr, n);
  __builtin_memcpy(r->temporary + n, ".tmp-", 5);
  n += 5;
  for (u8 b : random) r->temporary[n++] = hex[b >> 4], r->temporary[n++] = hex[b & 15];
  r->temporary_length = static_cast<u16>(n);
  WidePath t;
  if (!t.set(mem::Bytes(r->temporary, n))) return r->failure = bad_name;
  HANDLE h = CreateFileW(t.units, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return r->failure = last_class();
  r->file = winwide::value(h);
  r->mode = 0600;
  return ok;
}

u32 replace_write(Replacement* r, mem::Bytes bytes) {
  if (r->failure) return r->failure;
  if (!r->file) return r->failure = bad_handle;
  return r->failure = write_all(winwide::handle(r->file), bytes);
}

u32 replace_commit(Replacement* r) {
  u32 result = r->failure ? r->failure : r->file ? ok : bad_handle;
  if (result == ok && !FlushFileBuffers(winwide::handle(r->file))) result = last_class();
  if (r->file && !CloseHandle(winwide::handle(r->file)) && result == ok) result = other;
  r->file = 0;
  WidePath from, to;
  if (result == ok &&
      (!from.set(mem::Bytes(r->temporary, r->temporary_length)) || !to.set(mem::Bytes(r->name, r->name_length)))) {
    result = bad_name;
  }
  if (result == ok && !MoveFileExW(from.units, to.units, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    result = last_class();
  }
  if (result != ok && r->temporary_length && from.set(mem::Bytes(r->temporary, r->temporary_length))) {
    DeleteFileW(from.units);
  }
  *r = Replacement{};
  return result;
}

void replace_abandon(Replacement* r) {
  if (r->file) CloseHandle(winwide::handle(r->file));
  WidePath t;
  if (r->temporary_length && t.set(mem::Bytes(r->temporary, r->temporary_length))) DeleteFileW(t.units);
  *r = Replacement{};
}

u32 replace_file(mem::Bytes path, mem::Bytes bytes) {
  Replacement r;
  if (replace_begin(path, 0, &r) != ok) {
    u32 failure = r.failure;
    replace_abandon(&r);
    return failure;
  }
  replace_write(&r, bytes);
  return replace_commit(&r);
}

namespace {
u32 make_parents(mem::Bytes path) {
  u64 end = path.len;
  while (end > 0 && !is_separator(path.ptr[end - 1])) --end;
  return end > root_length(path) ? make_directories(mem::Bytes(path.ptr, end)) : ok;
}
}  // namespace

u32 save_file(mem::Bytes path, mem::Bytes bytes) {
  u32 result = make_parents(path);
  return result != ok ? result : replace_file(path, bytes);
}

// The per-user folders are the user's own on Windows: the secret takes the folder's protection.
u32 save_private(mem::Bytes path, mem::Bytes bytes) {
  WidePath w;
  if (!w.set(path)) return bad_name;
  DWORD a = GetFileAttributesW(w.units);
  if (a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return not_plain_file;
  }
  return save_file(path, bytes);
}

u32 move_file(mem::Bytes from, mem::Bytes to) {
  WidePath a, b;
  if (!a.set(from) || !b.set(to)) return bad_name;
  if (MoveFileExW(a.units, b.units, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return ok;
  u32 c = last_class();
  return c == denied && !is_dir(a.units) && is_dir(b.units) ? not_plain_file : c;
}

u32 delete_file(mem::Bytes path) {
  WidePath w;
  if (!w.set(path)) return bad_name;
  if (DeleteFileW(w.units)) return ok;
  u32 c = last_class();
  if (is_dir(w.units)) return not_plain_file;
  DWORD a = GetFileAttributesW(w.units);
  if (c != denied || a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_READONLY)) return c;
  SetFileAttributesW(w.units, a & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(w.units)) return ok;
  c = last_class();
  SetFileAttributesW(w.units, a);
  return c;
}

// Windows keeps a running program's file from being replaced by a rename over it, but lets it be renamed: the
// program moves aside first, then the new file takes its name, and a failure puts the original back.
u32 swap_in(mem::Bytes new_path, mem::Bytes target, mem::Bytes backup, u32* target_missing) {
  if (target_missing) *target_missing = 0;
  if (move_file(target, backup) != ok) return 0;
  if (move_file(new_path, target) == ok) return 1;
  // Put the original back; one more try before the state is reported, since a caller that believes nothing
  // changed would otherwise start a program that is not there.
  if (move_file(backup, target) != ok && move_file(backup, target) != ok && target_missing) *target_missing = 1;
  return 0;
}

u32 link_path(mem::Bytes from, mem::Bytes to) {
  WidePath a, b;
  if (!a.set(from) || !b.set(to)) return ERROR_INVALID_NAME;
  return CreateHardLinkW(b.units, a.units, nullptr) ? 0 : GetLastError();
}

u64 path_lock_key(mem::Bytes path, mem::Slice out) {
  static constexpr u32 most = 1100;
  u16 units[most + 1];
  const u32 n = path.len == 0 || path.len >= most ? 0 : os::utf8_to_wide(path, units, most + 1);
  if (n == 0 || 2 * u64(n) > out.len) return 0;
  CharUpperBuffW(reinterpret_cast<wchar_t*>(units), n);
  for (u32 i = 0; i < n; ++i) out.ptr[2 * i] = u8(units[i]), out.ptr[2 * i + 1] = u8(units[i] >> 8);
  return 2 * u64(n);
}

// Windows lets a running program's file be renamed within its volume but not replaced or deleted: it moves aside.
u32 park_path(mem::Bytes from, mem::Bytes to) { return rename_path(from, to, 0); }

u32 delete_plain(mem::Bytes path) {
  u32 r = delete_file(path);
  return r == not_found ? ok : r;
}


u32 copy_file(mem::Bytes from, mem::Bytes to) {
  wchar_t a[1100], b[1100];
  if (!short_utf8(from, a) || !short_utf8(to, b)) return 0;
  return CopyFileW(a, b, FALSE) ? 1 : 0;
}

u32 size_and_time(mem::Bytes path, u64* size, u64* time) {
  *size = *time = 0;
  wchar_t w[1100];
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!short_utf8(path, w) || !GetFileAttributesExW(w, GetFileExInfoStandard, &data)) return 0;
  *size = static_cast<u64>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  *time = filetime(data.ftLastWriteTime);
  return 1;
}

// ---- Reading by offset.

u32 open(mem::Bytes path, u32 access, u64* handle) {
  *handle = 0;
  WidePath w;
  if (!w.set(path)) return bad_name;
  HANDLE h = CreateFileW(w.units, access_bits(access), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    u32 c = last_class();
    return c == denied && is_dir(w.units) ? not_plain_file : c;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return not_plain_file;
  }
  *handle = winwide::value(h);
  return ok;
}

u32 open_sized(mem::Bytes path, File* file) {
  *file = File{};
  u64 h = 0;
  u32 result = open(path, access_read, &h);
  if (result != ok) return result;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(winwide::handle(h), &size) || size.QuadPart < 0) {
    CloseHandle(winwide::handle(h));
    return other;
  }
  *file = File{h, static_cast<u64>(size.QuadPart)};
  return ok;
}

namespace {
// Reads at the offset until the buffer is full, a piece reads nothing or the end of the file comes.
u32 read_pieces(HANDLE h, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  while (*count < buffer.len) {
    u64 left = buffer.len - *count;
    DWORD want = static_cast<DWORD>(left < piece_max ? left : piece_max), got = 0;
    OVERLAPPED at{};
    u64 position = offset + *count;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    if (!ReadFile(h, buffer.ptr + *count, want, &got, &at)) {
      DWORD e = GetLastError();
      return e == ERROR_HANDLE_EOF ? 0u : static_cast<u32>(e);
    }
    *count += got;
    if (got < want) break;
  }
  return ok;
}
}  // namespace

u32 read_at(const File* file, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  if (!file->handle) return bad_handle;
  if (offset >= file->size) return ok;
  u64 left = file->size - offset;
  if (buffer.len > left) buffer.len = left;
  return error_class(read_pieces(winwide::handle(file->handle), offset, buffer, count));
}

void close(File* file) {
  if (file->handle) CloseHandle(winwide::handle(file->handle));
  *file = File{};
}

// ---- Folders.

u32 make_directory(mem::Bytes path) {
  WidePath w;
  if (!w.set(path)) return bad_name;
  return CreateDirectoryW(w.units, nullptr) ? ok : last_class();
}

u32 ensure_directory(mem::Bytes path) {
  u32 result = make_directory(path);
  return result == exists && kind(path) == 2 ? ok : result;
}

u32 make_directories(mem::Bytes path) {
  if (path.len == 0) return bad_name;
  u64 root = root_length(path);
  for (u64 i = root; i < path.len; ++i) {
    if (!is_separator(path.ptr[i]) || i == 0 || is_separator(path.ptr[i - 1])) continue;
    u32 result = make_directory(mem::Bytes(path.ptr, i));
    if (result == exists && kind(mem::Bytes(path.ptr, i)) == 2) continue;
    if (result != ok) return result;
  }
  u64 end = path.len;
  while (end > 1 && is_separator(path.ptr[end - 1])) --end;
  return end >= root && end > 0 ? ensure_directory(mem::Bytes(path.ptr, end)) : ok;
}

u32 attributes(mem::Bytes path) {
  WidePath w;
  if (!w.set(path)) return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(w.units);
}

u32 kind(mem::Bytes path) {
  u32 a = attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return 0;
  return a & FILE_ATTRIBUTE_DIRECTORY ? 2 : 1;
}

// Files under the user's profile carry the user's own access list on Windows; a plain file there is the user's.
u32 owner_only(mem::Bytes path) { return kind(path) == 1 ? 1 : 0; }

// ---- Environment and the temporary folder.

namespace {

// The variables that name the user's folders: their values are UTF-8, since a profile folder may be named with any
// letter; every other value keeps to ASCII.
bool names_folder(mem::Bytes name) {
  return mem::eq(name, mem::lit("APPDATA")) || mem::eq(name, mem::lit("LOCALAPPDATA"));
}

// A value of the system's UTF-16 as bytes: ASCII, or UTF-8 when utf8 is set. too_large when it does not fit,
// bad_name when it does not convert.
u32 value_bytes(const wchar_t* value, u32 n, bool utf8, mem::Slice buffer, u64* length) {
  *length = 0;
  if (n == 0) return ok;
  u32 need = utf8 ? winwide::utf8_length(value, n) : n;
  if (need == 0) return bad_name;
  if (need > buffer.len) return too_large;
  u32 got = utf8 ? winwide::to_utf8(value, n, buffer.ptr, static_cast<u32>(buffer.len))
                 : winwide::to_ascii(value, n, buffer.ptr, static_cast<u32>(buffer.len));
  if (got != need) return bad_name;
  *length = got;
  return ok;
}

// The variable's value in a block of the process heap (32,768 units): its unit count (the units it needs when it
// does not fit), or unset when it is not set or the block cannot be had (then *value is null, else the block is
// freed by the caller).
constexpr DWORD unset = 0xFFFFFFFF;
DWORD read_variable(const wchar_t* name, wchar_t** value) {
  *value = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, 32768 * sizeof(wchar_t)));
  if (!*value) return unset;
  SetLastError(0);
  DWORD n = GetEnvironmentVariableW(name, *value, 32768);
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return unset;
  return n;
}

}  // namespace

u32 env_var(mem::Bytes name, mem::Slice buffer, u64* length) {
  *length = 0;
  wchar_t wide_name[256];
  if (!winwide::ascii(name, wide_name, 256)) return bad_name;
  wchar_t* value = nullptr;
  DWORD n = read_variable(wide_name, &value);
  u32 result = ok;
  if (!value) {
    result = other;
  } else if (n == unset) {
    result = not_found;
  } else if (n >= 32768 || n > buffer.len) {
    result = too_large;
  } else {
    result = value_bytes(value, n, names_folder(name), buffer, length);
  }
  if (value) HeapFree(GetProcessHeap(), 0, value);
  return result;
}

namespace {

void put_text(mem::Slice out, u64* at, mem::Bytes text) {
  for (u64 i = 0; i < text.len && *at < out.len; ++i) out.ptr[(*at)++] = text.ptr[i];
}

// The value as a reader sees it: printable ASCII as it is, every other unit as "\\u" and four hex digits.
void put_shown(mem::Slice out, u64* at, const wchar_t* value, u32 n) {
  const char digits[] = "0123456789abcdef";
  for (u32 i = 0; i < n; ++i) {
    wchar_t c = value[i];
    if (c >= 32 && c < 127) {
      u8 b = static_cast<u8>(c);
      put_text(out, at, mem::Bytes(&b, 1));
    } else {
      u8 escaped[6] = {'\\', 'u', static_cast<u8>(digits[(c >> 12) & 15]), static_cast<u8>(digits[(c >> 8) & 15]),
                       static_cast<u8>(digits[(c >> 4) & 15]), static_cast<u8>(digits[c & 15])};
      put_text(out, at, mem::Bytes(escaped, 6));
    }
  }
}

}  // namespace

// A user folder's variable that is unset or empty names no folder; one whose value is not whole UTF-16 (a lone
// surrogate) cannot be turned into the program's UTF-8 paths.
u64 folder_refusal(mem::Bytes name, mem::Slice out) {
  if (!names_folder(name)) return 0;
  wchar_t wide_name[16];
  if (!winwide::ascii(name, wide_name, 16)) return 0;
  wchar_t* value = nullptr;
  DWORD n = read_variable(wide_name, &value);
  u64 at = 0;
  if (value && n < 32768) {
    put_text(out, &at, mem::lit("%"));
    put_text(out, &at, name);
    put_text(out, &at, mem::lit("%"));
    if (n == 0) {
      put_text(out, &at, mem::lit(" is empty"));
    } else if (winwide::utf8_length(value, n) == 0) {
      put_text(out, &at, mem::lit(" ("));
      put_shown(out, &at, value, n);
      put_text(out, &at, mem::lit(") is not whole Unicode text"));
    } else {
      at = 0;
    }
  } else if (value && n == unset) {
    put_text(out, &at, mem::lit("%"));
    put_text(out, &at, name);
    put_text(out, &at, mem::lit("% is not set"));
  }
  if (value) HeapFree(GetProcessHeap(), 0, value);
  return at;
}

// The temporary folder lies in the user's profile, so it is UTF-8 as the profile's name is.
u32 temp_folder(mem::Slice buffer, u64* length) {
  *length = 0;
  wchar_t* value = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, 32768 * sizeof(wchar_t)));
  if (!value) return other;
  DWORD n = GetTempPathW(32768, value);
  u32 result = ok;
  if (n == 0 || n >= 32768) {
    result = other;
  } else if (value_bytes(value, n, true, buffer, length) != ok) {
    result = too_large;
  }
  HeapFree(GetProcessHeap(), 0, value);
  return result;
}

// ---- Flag answers.

// ---- Files of the updater: answers are the system's error numbers.

u32 create_exclusive(mem::Bytes path, u32, u64* handle) {
  *handle = 0;
  WidePath w;
  if (!w.set(path)) return ERROR_INVALID_NAME;
  HANDLE h = CreateFileW(w.units, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  *handle = winwide::value(h);
  return 0;
}

u32 open_plain_read(mem::Bytes path, u64* handle) {
  u32 result = open(path, access_read, handle);
  return result == ok ? 0 : result == not_plain_file ? ERROR_ACCESS_DENIED : GetLastError() ? GetLastError() : 1;
}

u32 handle_size(u64 handle, u64* size) {
  *size = 0;
  LARGE_INTEGER s;
  if (!GetFileSizeEx(winwide::handle(handle), &s)) return GetLastError();
  *size = static_cast<u64>(s.QuadPart);
  return 0;
}

u32 write_handle(u64 handle, mem::Bytes bytes) {
  return write_all(winwide::handle(handle), bytes) == ok ? 0 : GetLastError() ? GetLastError() : 1;
}

u32 sync_handle(u64 handle) { return FlushFileBuffers(winwide::handle(handle)) ? 0 : GetLastError(); }

void close_handle(u64 handle) {
  if (handle) CloseHandle(winwide::handle(handle));
}

u32 rename_path(mem::Bytes from, mem::Bytes to, u32 replace) {
  WidePath a, b;
  if (!a.set(from) || !b.set(to)) return ERROR_INVALID_NAME;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExW(a.units, b.units, flags) ? 0 : GetLastError();
}

// The open handle names the file: the system renames the very file the handle holds.
u32 rename_open(u64 handle, mem::Bytes, mem::Bytes to) {
  WidePath b;
  if (!b.set(to)) return ERROR_INVALID_NAME;
  u64 units = 0;
  while (b.units[units]) ++units;
  u64 size = sizeof(FILE_RENAME_INFO) + units * sizeof(wchar_t);
  FILE_RENAME_INFO* info = static_cast<FILE_RENAME_INFO*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (!info) return ERROR_NOT_ENOUGH_MEMORY;
  info->ReplaceIfExists = TRUE;
  info->FileNameLength = static_cast<DWORD>(units * sizeof(wchar_t));
  __builtin_memcpy(info->FileName, b.units, (units + 1) * sizeof(wchar_t));
  BOOL done = SetFileInformationByHandle(winwide::handle(handle), FileRenameInfo, info, static_cast<DWORD>(size));
  DWORD e = done ? 0 : GetLastError();
  HeapFree(GetProcessHeap(), 0, info);
  return e;
}

u32 delete_unused(mem::Bytes path) {
  WidePath w;
  if (!w.set(path)) return ERROR_INVALID_NAME;
  if (DeleteFileW(w.units)) return 0;
  DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : e;
}

u32 present(mem::Bytes path) { return attributes(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0; }

void identity(mem::Bytes path, u64* device, u64* inode) {
  *device = *inode = 0;
  WidePath w;
  if (!w.set(path)) return;
  HANDLE h = CreateFileW(w.units, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    *device = info.dwVolumeSerialNumber;
    *inode = static_cast<u64>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  }
  CloseHandle(h);
}

// Windows keeps no permission bits: a file reads as the owner's, writable unless it is read-only.
u32 mode_bits(mem::Bytes path) {
  u32 a = attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return 0;
  return a & FILE_ATTRIBUTE_READONLY ? 0400 : 0600;
}

// ---- Share file I/O.

namespace {

// The names the program makes inside a share are ASCII; the folders above it (this machine's own, such as the
// local history under the profile) may be named in UTF-8.
bool short_path(mem::Bytes path, wchar_t (&out)[300]) {
  return path.len <= short_path_max && winwide::utf8(path, out, 300) && path.len > 0;
}

u32 io_last() { return io_error_class(GetLastError()); }

}  // namespace

u32 io_error_class(u32 system_error) {
  switch (system_error) {
    case 0:
      return io_failed;
    case 80:
    case 183:
      return io_exists;
    case 2:
    case 3:
      return io_not_found;
    case 32:
    case 33:
      return io_in_use;
    case 5:
      return io_denied;
    default:
      return io_failed;
  }
}

u32 io_open(mem::Bytes path, u32 access, u32 share, u32 disposition, u32 flags, u64* slot) {
  *slot = 0;
  wchar_t w[300];
  if (!short_path(path, w)) return io_not_found;
  DWORD extra =
      (flags & io_write_through ? FILE_FLAG_WRITE_THROUGH : 0) | (flags & io_no_buffering ? FILE_FLAG_NO_BUFFERING : 0);
  DWORD sharing = (share & share_read ? FILE_SHARE_READ : 0) | (share & share_write ? FILE_SHARE_WRITE : 0) |
                  (share & share_delete ? FILE_SHARE_DELETE : 0);
  HANDLE h = CreateFileW(w, access_bits(access), sharing, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | extra, nullptr);
  if (h == INVALID_HANDLE_VALUE) return io_last();
  *slot = winwide::value(h);
  return io_ok;
}

u32 io_create_file(mem::Bytes path, mem::Bytes bytes) {
  u64 slot = 0;
  u32 code = io_open(path, access_write, share_read, create_new, io_write_through, &slot);
  if (code != io_ok) return code;
  code = io_write_at(slot, 0, bytes);
  if (!CloseHandle(winwide::handle(slot)) && code == io_ok) code = io_failed;
  if (code != io_ok) io_delete(path);
  return code;
}

u32 io_open_rw(mem::Bytes path, u32 truncate, u64* slot) {
  return io_open(path, access_read | access_write, share_read, truncate ? create_always : open_always, io_write_through,
                 slot);
}

u32 io_open_shared(mem::Bytes path, u64* slot) {
  return io_open(path, access_read | access_write, share_read | share_write, open_always, io_write_through, slot);
}

u32 io_open_read(mem::Bytes path, u64* slot) {
  return io_open(path, access_read, share_read | share_write | share_delete, open_existing, 0, slot);
}

void io_close(u64* slot) {
  if (io_handle_ok(*slot)) CloseHandle(winwide::handle(*slot));
  *slot = 0;
}

u32 io_write_at(u64 slot, u64 offset, mem::Bytes bytes) {
  if (!io_handle_ok(slot)) return io_failed;
  for (u64 done = 0; done < bytes.len;) {
    DWORD n = static_cast<DWORD>(bytes.len - done < piece_max ? bytes.len - done : piece_max), wrote = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    if (!WriteFile(winwide::handle(slot), bytes.ptr + done, n, &wrote, &at) || wrote != n) return io_last();
    done += wrote;
  }
  return io_ok;
}

u32 io_read_at(u64 slot, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  if (!io_handle_ok(slot)) return io_failed;
  u32 e = read_pieces(winwide::handle(slot), offset, buffer, count);
  return e == 0 || e == ERROR_HANDLE_EOF ? io_ok : io_error_class(e);
}

u32 io_size(u64 slot, u64* size) {
  *size = 0;
  if (!io_handle_ok(slot)) return io_failed;
  LARGE_INTEGER n;
  if (!GetFileSizeEx(winwide::handle(slot), &n)) return io_last();
  *size = static_cast<u64>(n.QuadPart);
  return io_ok;
}

u32 io_grow(u64 slot, u64 length) {
  u64 size = 0;
  u32 code = io_size(slot, &size);
  if (code != io_ok) return code;
  if (size > length) return io_ok;  // an allocation below the file's end would cut it
  // The clusters are reserved, so that no later write inside the length meets a full disk. A file system that
  // cannot reserve (it answers that it does not know the request) still gets its length, as a sparse grow did.
  FILE_ALLOCATION_INFO reserve;
  reserve.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFileInformationByHandle(winwide::handle(slot), FileAllocationInfo, &reserve, sizeof reserve)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_CALL_NOT_IMPLEMENTED &&
        error != ERROR_INVALID_FUNCTION) {
      return io_last();
    }
  }
  if (size == length) return io_ok;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return SetFileInformationByHandle(winwide::handle(slot), FileEndOfFileInfo, &end, sizeof end) ? io_ok : io_last();
}

u32 io_read_uncached(mem::Bytes path, mem::Slice buffer, u64* count) {
  *count = 0;
  u64 slot = 0;
  u32 code = io_open(path, access_read, share_read | share_write | share_delete, open_existing, io_no_buffering, &slot);
  if (code != io_ok) return code;
  u8* aligned = static_cast<u8*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  u64 got = 0;
  code = aligned ? io_read_at(slot, 0, mem::Slice{aligned, 4096}, &got) : io_failed;
  io_close(&slot);
  if (code == io_failed) {
    if (aligned) VirtualFree(aligned, 0, MEM_RELEASE);
    return io_read_file(path, buffer, count);
  }
  mem::copy(buffer, mem::Bytes(aligned, got));
  *count = got;
  VirtualFree(aligned, 0, MEM_RELEASE);
  return code;
}

// Every read goes by the name here: the uncached read is what tells a share's newest record.
void io_mark(u64, FileMark* mark) { *mark = FileMark{}; }

u32 io_read_named(mem::Bytes path, const FileMark*, u64, mem::Slice buffer, u64* count) {
  return io_read_uncached(path, buffer, count);
}

u32 io_make_directory(mem::Bytes path) {
  wchar_t w[300];
  if (!short_path(path, w)) return io_not_found;
  if (CreateDirectoryW(w, nullptr)) return io_ok;
  u32 code = io_last();
  return code == io_exists ? io_ok : code;
}

u32 io_replace(mem::Bytes from, mem::Bytes to) {
  wchar_t a[300], b[300];
  if (!short_path(from, a) || !short_path(to, b)) return io_not_found;
  return MoveFileExW(a, b, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? io_ok : io_last();
}

u32 io_delete(mem::Bytes path) {
  wchar_t w[300];
  if (!short_path(path, w)) return io_not_found;
  return DeleteFileW(w) ? io_ok : io_last();
}

u32 io_remove_directory(mem::Bytes path) {
  wchar_t w[300];
  if (!short_path(path, w)) return io_not_found;
  return RemoveDirectoryW(w) ? io_ok : io_last();
}

// The system lists a folder in its own order: the names are gathered, then handed to the page in byte order.
u32 list_directory(mem::Bytes folder, u32 skip, Listing* listing) {
  *listing = Listing{};
  listing->start = skip;
  store::Path pattern;
  store::path_set(&pattern, folder);
  store::path_join(&pattern, mem::lit("*"));
  wchar_t w[300];
  if (pattern.overflow || !short_path(store::path_of(&pattern), w)) return io_not_found;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(w, &found);
  if (find == INVALID_HANDLE_VALUE) return io_last();
  struct Entry {
    u8 name[33];
    u8 length;
    u8 directory;
  };
  u32 capacity = 256, count = 0;
  Entry* entries = static_cast<Entry*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(Entry)));
  u32 code = entries ? io_ok : io_failed;
  do {
    if (code != io_ok) break;
    u32 units = 0;
    while (units < 260 && found.cFileName[units]) ++units;
    u8 name[33];
    u32 kept = units < 33 ? units : 33;
    bool ascii = true;
    for (u32 i = 0; i < units; ++i) ascii = ascii && found.cFileName[i] < 128;
    for (u32 i = 0; i < kept; ++i) name[i] = found.cFileName[i] < 128 ? static_cast<u8>(found.cFileName[i]) : '?';
    bool directory =
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!ascii || units > 32) {
      listing_add(listing, mem::Bytes(name, units > 32 ? 33 : units), false);  // counted as unusable, never kept
      continue;
    }
    if (count == capacity) {
      Entry* more = static_cast<Entry*>(HeapReAlloc(GetProcessHeap(), 0, entries, capacity * 2 * sizeof(Entry)));
      if (!more) {
        code = io_failed;
        break;
      }
      entries = more;
      capacity *= 2;
    }
    Entry& e = entries[count++];
    __builtin_memcpy(e.name, name, units);
    e.length = static_cast<u8>(units);
    e.directory = directory ? 1 : 0;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  for (u32 i = 1; code == io_ok && i < count; ++i) {
    Entry e = entries[i];
    u32 j = i;
    auto less = [](const Entry& a, const Entry& b) {
      u32 n = a.length < b.length ? a.length : b.length;
      for (u32 k = 0; k < n; ++k) {
        if (a.name[k] != b.name[k]) return a.name[k] < b.name[k];
      }
      return a.length < b.length;
    };
    while (j > 0 && less(e, entries[j - 1])) entries[j] = entries[j - 1], --j;
    entries[j] = e;
  }
  for (u32 i = 0; code == io_ok && i < count; ++i) {
    listing_add(listing, mem::Bytes(entries[i].name, entries[i].length), entries[i].directory != 0);
  }
  if (entries) HeapFree(GetProcessHeap(), 0, entries);
  return code;
}

u32 delete_tree(mem::Bytes folder) {
  Listing* listing = static_cast<Listing*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Listing)));
  if (!listing) return io_failed;
  u32 result = io_ok;
  for (u32 round = 0; round < 16; ++round) {
    u32 code = list_directory(folder, 0, listing);
    if (code == io_not_found) {
      HeapFree(GetProcessHeap(), 0, listing);
      return io_ok;
    }
    if (code != io_ok || listing->count == 0) break;
    for (u32 i = 0; i < listing->count; ++i) {
      store::Path entry;
      store::path_set(&entry, folder);
      store::path_join(&entry, mem::Bytes(listing->names[i], listing->lengths[i]));
      u32 one = entry.overflow                         ? io_failed
                : (listing->directories >> i & 1) != 0 ? delete_tree(store::path_of(&entry))
                                                       : io_delete(store::path_of(&entry));
      if (one != io_ok) result = one;
    }
    if (result != io_ok) break;
  }
  HeapFree(GetProcessHeap(), 0, listing);
  return result != io_ok ? result : io_remove_directory(folder);
}

// ---- Share folders.

namespace {

u8 lower_ascii(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }

// A name the system takes for a device wherever it stands in a path: CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to
// LPT9, in any case, whatever follows a dot or a colon, with blanks before that dropped.
bool device_name(mem::Bytes name) {
  u64 n = 0;
  while (n < name.len && name.ptr[n] != '.' && name.ptr[n] != ':') ++n;
  while (n > 0 && name.ptr[n - 1] == ' ') --n;
  if (n != 3 && n != 4) return false;
  u8 w[4] = {};
  for (u64 i = 0; i < n; ++i) w[i] = lower_ascii(name.ptr[i]);
  const mem::Bytes word(w, 3);
  if (n == 3) {
    return mem::eq(word, mem::lit("con")) || mem::eq(word, mem::lit("prn")) || mem::eq(word, mem::lit("aux")) ||
           mem::eq(word, mem::lit("nul"));
  }
  return (mem::eq(word, mem::lit("com")) || mem::eq(word, mem::lit("lpt"))) && w[3] >= '1' && w[3] <= '9';
}

bool has_device_part(mem::Bytes path, u64 from) {
  for (u64 at = from; at < path.len;) {
    u64 end = at;
    while (end < path.len && !is_separator(path.ptr[end])) ++end;
    if (device_name(mem::Bytes(path.ptr + at, end - at))) return true;
    at = end + 1;
  }
  return false;
}

bool starts(mem::Bytes path, const char* prefix) {
  const mem::Bytes p = mem::cstr(prefix);
  return path.len >= p.len && mem::eq(mem::Bytes(path.ptr, p.len), p);
}

bool drive_at(mem::Bytes path, u64 at) {
  return path.len >= at + 2 && path.ptr[at + 1] == ':' &&
         ((path.ptr[at] >= 'A' && path.ptr[at] <= 'Z') || (path.ptr[at] >= 'a' && path.ptr[at] <= 'z'));
}

}  // namespace

u32 prepare_share(mem::Bytes path, store::Path* out) {
  store::path_set(out, mem::Bytes());
  // The local forms name a drive path; "\\?\UNC\" names a share. Any other "\\.\" path is a device.
  u8 plain[store::path_capacity];
  u64 n = 0;
  if ((starts(path, "\\\\?\\") || starts(path, "\\\\.\\")) && drive_at(path, 4)) {
    n = path.len - 4;
    if (n > sizeof plain) return too_large;
    __builtin_memcpy(plain, path.ptr + 4, n);
  } else if (starts(path, "\\\\?\\UNC\\") || starts(path, "\\\\?\\unc\\")) {
    n = path.len - 6;
    if (n > sizeof plain) return too_large;
    plain[0] = plain[1] = '\\';
    __builtin_memcpy(plain + 2, path.ptr + 8, n - 2);
  } else if (starts(path, "\\\\.\\") || starts(path, "\\\\?\\")) {
    return not_directory;
  } else {
    n = path.len;
    if (n > sizeof plain) return too_large;
    __builtin_memcpy(plain, path.ptr, n);
  }
  const mem::Bytes local(plain, n);
  if (has_device_part(local, 0)) return not_directory;
  wchar_t wide[store::path_capacity + 1], full[store::path_capacity + 1];
  if (!winwide::ascii(local, wide, store::path_capacity + 1)) return bad_name;
  DWORD units = GetFullPathNameW(wide, store::path_capacity + 1, full, nullptr);
  if (units == 0) return last_class();
  if (units > store::path_capacity) return too_large;
  u8 resolved[store::path_capacity];
  const u32 length = winwide::to_ascii(full, units, resolved, sizeof resolved);
  if (length == 0) return bad_name;
  const mem::Bytes folder(resolved, length);
  if (starts(folder, "\\\\.\\") || starts(folder, "\\\\?\\")) return not_directory;
  // A share's root must answer before anything is made on it.
  const u64 root = root_length(folder);
  if (root > 2 && is_separator(folder.ptr[0]) && is_separator(folder.ptr[1])) {
    wchar_t share_root[store::path_capacity + 2];
    u32 k = 0;
    for (; k < root && k < store::path_capacity; ++k) share_root[k] = full[k];
    if (!is_separator(folder.ptr[k - 1])) share_root[k++] = L'\\';
    share_root[k] = 0;
    if (GetFileAttributesW(share_root) == INVALID_FILE_ATTRIBUTES) return unreachable;
  }
  const u32 made = make_directories(folder);
  if (made != ok && kind(folder) != 2) return made == exists ? not_directory : made;
  store::path_set(out, folder);
  return out->overflow ? too_large : ok;
}

u32 drive_type(mem::Bytes path) {
  wchar_t root[4] = {0, ':', '\\', 0};
  if (path.len >= 2 && path.ptr[1] == ':' && path.ptr[0] < 128) {
    root[0] = path.ptr[0];
    return GetDriveTypeW(root);
  }
  return GetDriveTypeW(nullptr);
}

bool unc_of_drive(mem::Bytes path, store::Path* out) {
  if (path.len < 2 || path.ptr[1] != ':' || path.ptr[0] >= 128) return false;
  wchar_t local[3] = {static_cast<wchar_t>(path.ptr[0]), ':', 0}, remote[300];
  DWORD length = 300;
  if (WNetGetConnectionW(local, remote, &length) != NO_ERROR) return false;
  u32 n = 0;
  while (n < 300 && remote[n]) ++n;
  u8 bytes[300];
  if (n == 0 || n > 299 || winwide::to_ascii(remote, n, bytes, sizeof bytes) != n) return false;
  store::path_set(out, mem::Bytes(bytes, n));
  return !out->overflow;
}

}  // namespace fs
