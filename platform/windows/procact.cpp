// Acting on a process of the live table: a handle that pins it, checked against the start key of its row (seconds
// from boot to its creation), then queried, ended or shown.
#include "platform/procact.h"

#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include "platform/windows/procfacts.h"
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

u32 open_code() { return procfacts::open_code(GetLastError()); }

// A process that has not ended answers STILL_ACTIVE as its exit code.
bool still_running(HANDLE h) {
  DWORD code = 0;
  return GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
}

// Opens the process with the rights (and query) and checks its start key: 0 with the handle, else 3, 4 or 5.
u32 open_with(u32 pid, u32 start, DWORD rights, HANDLE* out) {
  *out = nullptr;
  HANDLE h = OpenProcess(rights | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return open_code();
  u32 key = 0;
  u32 code = !still_running(h) ? ended : key_of(h, &key);
  if (code == same && key != start) code = reused;
  if (code != same) {
    CloseHandle(h);
    return code;
  }
  *out = h;
  return same;
}

using QueryProcess = LONG(WINAPI*)(HANDLE, u32, void*, ULONG, ULONG*);

QueryProcess query_process() {
  return winwide::function<QueryProcess>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess"));
}

// The protection level byte (information class 61): false when the system does not answer.
bool protection_of(HANDLE h, u8* level) {
  QueryProcess query = query_process();
  ULONG got = 0;
  *level = 0;
  return query && query(h, 61, level, 1, &got) == 0;
}

// The flags word of the extended basic information (class 0 with the 64-byte record): false when not answered.
bool extended_flags(HANDLE h, u32* flags) {
  QueryProcess query = query_process();
  alignas(8) u8 record[64] = {};
  const u64 size = sizeof record;
  __builtin_memcpy(record, &size, 8);
  ULONG got = 0;
  *flags = 0;
  if (!query || query(h, 0, record, sizeof record, &got) != 0) return false;
  __builtin_memcpy(flags, record + 56, 4);
  return true;
}

// IsProcessCritical, looked up by name: the cross compiler's headers do not declare it.
bool critical_of(HANDLE h) {
  using IsCritical = BOOL(WINAPI*)(HANDLE, BOOL*);
  IsCritical ask = winwide::function<IsCritical>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsProcessCritical"));
  BOOL critical = FALSE;
  return ask && ask(h, &critical) && critical;
}

// The image path into 2,047 units and a terminating 0, as UTF-8: 0, 12 too long, 5 failed.
u32 image_units(HANDLE h, u8* buffer, u32 capacity, u32* length) {
  *length = 0;
  wchar_t path[2048];
  DWORD units = 2048;
  if (!QueryFullProcessImageNameW(h, 0, path, &units)) return procfacts::path_code(GetLastError());
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  u32 code = refused;
  if (bytes > 0 && static_cast<u32>(bytes) > capacity) code = too_long;
  if (bytes > 0 && static_cast<u32>(bytes) <= capacity) {
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(units), reinterpret_cast<char*>(buffer), bytes, nullptr,
                        nullptr);
    *length = static_cast<u32>(bytes);
    code = same;
  }
  SecureZeroMemory(path, sizeof path);
  return code;
}

}  // namespace

u32 start_key(u32 pid, u32* key) {
  *key = 0;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return open_code();
  u32 code = still_running(h) ? key_of(h, key) : ended;
  CloseHandle(h);
  return code;
}

u32 open_checked(u32 pid, u32 start, Handle* out) {
  *out = Handle{};
  HANDLE h = nullptr;
  u32 code = open_with(pid, start, 0, &h);
  if (code == same) *out = Handle{winwide::value(h), pid};
  return code;
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
  return image_units(winwide::handle(h.fd), buffer, capacity, length);
}

bool is_critical(u32 pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  bool critical = critical_of(h);
  CloseHandle(h);
  return critical;
}

bool is_protected(u32 pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  u8 level = 0;
  bool yes = protection_of(h, &level) && procfacts::is_protected_level(level);
  CloseHandle(h);
  return yes;
}

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
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  u32 flags = 0;
  bool deleting = extended_flags(h, &flags) && procfacts::is_deleting(flags);
  CloseHandle(h);
  return deleting;
}

u32 end_access(u32 pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!h) return open_code();
  CloseHandle(h);
  return same;
}

u32 assess(u32 pid, u32 start) {
  procfacts::Answers a{};
  a.pid = pid;
  a.elevated = elevated();
  HANDLE h = nullptr;
  a.opened = open_with(pid, start, 0, &h);
  if (a.opened == same) {
    u8 path[path_most];
    u32 length = 0;
    a.path = image_units(h, path, sizeof path, &length);
    SecureZeroMemory(path, sizeof path);
    a.protection_read = protection_of(h, &a.protection);
    a.extended_read = extended_flags(h, &a.extended_flags);
    a.critical = critical_of(h);
    CloseHandle(h);
    HANDLE killer = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    a.terminate_error = killer ? 0 : GetLastError();
    if (killer) CloseHandle(killer);
  }
  return procfacts::facts(a);
}

u32 path_of(u32 pid, u32 start, u8* buffer, u32 capacity, u32* length) {
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened) return opened;
  const u32 read = image_path(h, buffer, capacity, length);
  close(&h);
  return read;
}

// The file browser of the system's own folder, started with the page's select line.
u32 open_location(u32 pid, u32 start, bool real, SelectLine line) {
  u8 path[path_most];
  u32 length = 0;
  u32 code = path_of(pid, start, path, sizeof path, &length);
  if (code != same) return code;
  wchar_t w[2048];
  wchar_t command[2080];
  if (!winwide::utf8(mem::Bytes(path, length), w, 2048)) code = failed;
  SecureZeroMemory(path, sizeof path);
  u32 units = 0;
  while (code == same && w[units]) ++units;
  if (code == same && (!line || line(reinterpret_cast<const u16*>(w), units, reinterpret_cast<u16*>(command),
                                     2080) == 0)) {
    code = failed;
  }
  if (code == same && GetFileAttributesW(w) == INVALID_FILE_ATTRIBUTES) code = gone;
  if (code == same && !real) code = done;
  if (code == same) {
    wchar_t application[288];
    UINT n = GetSystemWindowsDirectoryW(application, 288);
    const wchar_t tail[] = L"\\explorer.exe";
    code = failed;
    if (n != 0 && n + 13 < 288) {
      for (u32 i = 0; i <= 13; ++i) application[n + i] = tail[i];
      STARTUPINFOW info{};
      info.cb = sizeof info;
      PROCESS_INFORMATION child{};
      if (CreateProcessW(application, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &info, &child)) {
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        code = done;
      }
    }
  }
  SecureZeroMemory(w, sizeof w);
  SecureZeroMemory(command, sizeof command);
  return code;
}

u32 end_process(u32 pid, u32 start) {
  HANDLE h = nullptr;
  const u32 opened = open_with(pid, start, PROCESS_TERMINATE, &h);
  if (opened) return opened;
  u32 code = done;
  if (!TerminateProcess(h, 1)) {
    const DWORD error = GetLastError();
    u32 flags = 0;
    code = procfacts::end_code(error, extended_flags(h, &flags) && procfacts::is_deleting(flags));
  }
  CloseHandle(h);
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

namespace procfacts {

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

u32 facts(const Answers& a) {
  u32 f = a.elevated ? u32{fact_elevated} : 0u;
  if (a.pid == 4) f |= fact_system;
  if (a.opened == 3 || a.opened == 4) f |= fact_ended;
  if (a.opened == 5) f |= fact_query_denied;
  if (a.opened != 0) return f;
  if (a.path == 12) f |= fact_path_long;
  if (a.path == 5) f |= fact_path_failed;
  if (a.protection_read && is_protected_level(a.protection)) f |= fact_protected;
  if (a.extended_read && is_deleting(a.extended_flags)) f |= fact_exiting;
  if (a.critical) f |= fact_system;
  if (a.terminate_error == ERROR_ACCESS_DENIED) f |= fact_end_denied;
  else if (a.terminate_error != 0) f |= fact_ended;
  return f;
}

u32 open_code(u32 error) { return error == ERROR_ACCESS_DENIED ? 5 : 4; }
u32 path_code(u32 error) { return error == ERROR_INSUFFICIENT_BUFFER ? 12 : 5; }

u32 end_code(u32 error, bool exiting) {
  if (error == ERROR_ACCESS_DENIED) return exiting ? 15 : 5;
  return 6;
}

bool is_protected_level(u8 protection) { return (protection & 7) != 0; }
bool is_deleting(u32 flags) { return (flags & 4) != 0; }

}  // namespace procfacts
