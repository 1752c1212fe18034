// Acting on a process of the live table: a handle that pins it, checked against the start key of its row (seconds
// from boot to its creation), then queried, ended or shown.
#include "platform/procact.h"

#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include "platform/windows/wide.h"

namespace procact {
namespace {

enum : u32 {
  same = 0,
  done = 1,
  reused = 3,
  ended = 4,
  refused = 5,
  failed = 6,
  too_long = 12,
  gone = 13,
  is_exiting = 15
};
enum : u32 {
  fact_ended = 0x008,
  fact_exiting = 0x010,
  fact_system = 0x020,
  fact_protected = 0x040,
  fact_elevated = 0x080,
  fact_query_denied = 0x100,
  fact_end_denied = 0x200,
  fact_path_failed = 0x400,
  fact_path_long = 0x800,
};

u64 boot_time() {
  alignas(8) u8 record[48] = {};
  ULONG got = 0;
  if (NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(3), record, sizeof record, &got) != 0) return 0;
  u64 boot = 0;
  __builtin_memcpy(&boot, record, 8);
  return boot;
}

u32 key_of(HANDLE h, u32* key) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(h, &created, &exited, &kernel, &user)) return refused;
  u64 c = static_cast<u64>(created.dwHighDateTime) << 32 | created.dwLowDateTime, boot = boot_time();
  u64 seconds = c < boot ? 0 : (c - boot) / 10000000;
  *key = seconds > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<u32>(seconds);
  return same;
}

u32 open_code() { return GetLastError() == ERROR_INVALID_PARAMETER ? ended : refused; }

bool still_running(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_TIMEOUT; }

}  // namespace

u32 start_key(u32 pid, u32* key) {
  *key = 0;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (!h) return open_code();
  u32 code = still_running(h) ? key_of(h, key) : ended;
  CloseHandle(h);
  return code;
}

u32 open_checked(u32 pid, u32 start, Handle* out) {
  *out = Handle{};
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (!h) return open_code();
  u32 key = 0;
  u32 code = !still_running(h) ? ended : key_of(h, &key);
  if (code == same && key != start) code = reused;
  if (code != same) {
    CloseHandle(h);
    return code;
  }
  *out = Handle{winwide::value(h), pid};
  return same;
}

void close(Handle* h) {
  if (h->fd) CloseHandle(winwide::handle(h->fd));
  *h = Handle{};
}

u32 check_alive(u32 pid, u32 start) {
  Handle h;
  u32 code = open_checked(pid, start, &h);
  close(&h);
  return code;
}

u32 image_path(const Handle& h, u8* buffer, u32 capacity, u32* length) {
  *length = 0;
  wchar_t path[1100];
  DWORD units = 1100;
  if (!QueryFullProcessImageNameW(winwide::handle(h.fd), 0, path, &units)) return refused;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return refused;
  if (static_cast<u32>(bytes) > capacity) return too_long;
  WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(units), reinterpret_cast<char*>(buffer), bytes, nullptr,
                      nullptr);
  *length = static_cast<u32>(bytes);
  return same;
}

// The idle process (0) and the system process (4) are the system's own.
bool is_critical(u32 pid) { return pid == 0 || pid == 4; }
bool is_protected(u32 pid) { return pid == 0 || pid == 4; }

bool elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION e{};
  DWORD got = 0;
  bool yes = GetTokenInformation(token, TokenElevation, &e, sizeof e, &got) && e.TokenIsElevated;
  CloseHandle(token);
  return yes;
}

bool exiting(u32 pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  bool signalled = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
  CloseHandle(h);
  return signalled;
}

u32 end_access(u32 pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!h) return open_code();
  CloseHandle(h);
  return same;
}

u32 assess(u32 pid, u32 start) {
  u32 facts = elevated() ? u32{fact_elevated} : 0u;
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened == ended || opened == reused) facts |= fact_ended;
  if (opened == refused) facts |= fact_query_denied;
  if (opened != same) return facts;
  u8 path[path_most];
  u32 length = 0;
  const u32 read = image_path(h, path, sizeof path, &length);
  if (read == too_long) facts |= fact_path_long;
  if (read == refused) facts |= fact_path_failed;
  if (is_protected(pid)) facts |= fact_protected;
  if (is_critical(pid)) facts |= fact_system;
  close(&h);
  const u32 end = end_access(pid);
  if (end == refused) facts |= fact_end_denied;
  if (end == ended) facts |= fact_ended;
  return facts;
}

u32 path_of(u32 pid, u32 start, u8* buffer, u32 capacity, u32* length) {
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened) return opened;
  const u32 read = image_path(h, buffer, capacity, length);
  close(&h);
  return read;
}

u32 open_location(u32 pid, u32 start, bool real) {
  u8 path[path_most];
  u32 length = 0;
  u32 code = path_of(pid, start, path, sizeof path, &length);
  if (code != same) return code;
  wchar_t w[1100];
  if (!winwide::utf8(mem::Bytes(path, length), w, 1100) || GetFileAttributesW(w) == INVALID_FILE_ATTRIBUTES)
    return gone;
  return real ? show_file(mem::Bytes(path, length)) : u32{done};
}

u32 end_process(u32 pid, u32 start) {
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened) return opened;
  HANDLE killer = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  u32 code = done;
  if (!killer) {
    code = open_code();
  } else {
    if (!TerminateProcess(killer, 1)) code = exiting(pid) ? u32{is_exiting} : u32{refused};
    CloseHandle(killer);
  }
  close(&h);
  return code;
}

u32 file_uri(mem::Bytes path, u8* out, u32 capacity) {
  const char hex[] = "0123456789ABCDEF";
  bool drive = path.len >= 3 && path.ptr[1] == ':';
  if (!drive && (path.len == 0 || path.ptr[0] != '/')) return 0;
  u32 n = 0;
  auto put = [&](u8 c) {
    if (n < capacity) out[n] = c;
    ++n;
  };
  const char* head = drive ? "file:///" : "file://";
  for (const char* p = head; *p; ++p) put(static_cast<u8>(*p));
  for (u64 i = 0; i < path.len; ++i) {
    u8 c = path.ptr[i] == '\\' ? '/' : path.ptr[i];
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~' || c == '/' || (drive && i == 1 && c == ':');
    if (plain) {
      put(c);
    } else {
      put('%');
      put(static_cast<u8>(hex[c >> 4]));
      put(static_cast<u8>(hex[c & 15]));
    }
  }
  return n <= capacity ? n : 0;
}

mem::Bytes folder_of(mem::Bytes path) {
  u64 end = path.len;
  while (end > 0 && path.ptr[end - 1] != '/' && path.ptr[end - 1] != '\\') --end;
  if (end == 0) return mem::Bytes();
  if (end == 1 || (end == 3 && path.ptr[1] == ':')) return mem::Bytes(path.ptr, end);
  return mem::Bytes(path.ptr, end - 1);
}

// The Explorer selects the file; when it cannot be started, its folder is opened instead.
u32 show_file(mem::Bytes path) {
  wchar_t w[1100], parameters[1200];
  if (!winwide::utf8(path, w, 1100)) return failed;
  const wchar_t select[] = L"/select,\"";
  u32 n = 0;
  for (const wchar_t* p = select; *p; ++p) parameters[n++] = *p;
  for (const wchar_t* p = w; *p && n < 1197; ++p) parameters[n++] = *p;
  parameters[n++] = '"';
  parameters[n] = 0;
  if (reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", L"explorer.exe", parameters, nullptr, SW_SHOWNORMAL)) >
      32) {
    return done;
  }
  mem::Bytes folder = folder_of(path);
  wchar_t f[1100];
  if (folder.len && winwide::utf8(folder, f, 1100) &&
      reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", f, nullptr, nullptr, SW_SHOWNORMAL)) > 32) {
    return done;
  }
  return failed;
}

}  // namespace procact
