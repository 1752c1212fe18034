// The process's own facilities on Windows: the console through the standard handles, the command line as the
// system keeps it (folded to 8 bits per unit, split by the system's quoting rules), pages, clocks and small queries.
#include "platform/os.h"

#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>

#include "platform/fs.h"
#include "platform/proc.h"
#include "platform/windows/wide.h"

namespace os {
namespace {

// The program is a desktop program: started by the shell it has no console, and started from a console it is not
// given that console's handles. A standard handle the starter gave (a pipe, a file, a console) is used as it is; a
// missing one is taken from the console of the parent when there is one, the first time it is wanted, so the console
// modes write to (and read from) the console they were started from and the window never opens one.
HANDLE std_handle(DWORD id) {
  HANDLE h = GetStdHandle(id);
  if (h != nullptr && h != INVALID_HANDLE_VALUE) return h;
  AttachConsole(ATTACH_PARENT_PROCESS);  // refused when attached already, or when the parent has no console
  h = CreateFileW(id == STD_INPUT_HANDLE ? L"CONIN$" : L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  SetStdHandle(id, h);
  return h;
}

}  // namespace

u32 write_std(u32 handle_id, mem::Bytes bytes) {
  const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (handle_id > 2) return fs::bad_handle;
  HANDLE h = std_handle(ids[handle_id]);
  if (h == nullptr) return fs::bad_handle;
  return write_handle(winwide::value(h), bytes) ? 0 : fs::error_class(GetLastError());
}

void write_out(mem::Bytes bytes) { write_std(std_output, bytes); }
void write_err(mem::Bytes bytes) { write_std(std_error, bytes); }

u64 stdin_handle() { return winwide::value(std_handle(STD_INPUT_HANDLE)); }
u64 stdout_handle() { return winwide::value(std_handle(STD_OUTPUT_HANDLE)); }

// A pipe has no waitable state of its own: it is looked at every 10 ms. A console is waited on; a file is always
// ready.
u32 input_ready(u64 handle, u32 timeout_ms) {
  HANDLE h = winwide::handle(handle);
  DWORD type = GetFileType(h);
  if (type == FILE_TYPE_CHAR) return WaitForSingleObject(h, timeout_ms) == WAIT_OBJECT_0 ? 1 : 0;
  if (type != FILE_TYPE_PIPE) return 1;
  ULONGLONG end = GetTickCount64() + timeout_ms;
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &waiting, nullptr) || waiting != 0) return 1;  // bytes, or the end
    if (GetTickCount64() >= end) return 0;
    Sleep(10);
  }
}

// A pipe whose writer has gone, and the end of a file, read as the end of input.
u64 read_handle(u64 handle, mem::Slice buffer) {
  DWORD got = 0;
  DWORD want = buffer.len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.len);
  if (!ReadFile(winwide::handle(handle), buffer.ptr, want, &got, nullptr)) return 0;
  return got;
}

bool write_handle(u64 handle, mem::Bytes bytes) {
  const u64 chunk_max = 0x40000000;
  u64 done = 0;
  while (done < bytes.len) {
    DWORD n = static_cast<DWORD>(bytes.len - done < chunk_max ? bytes.len - done : chunk_max), wrote = 0;
    if (!WriteFile(winwide::handle(handle), bytes.ptr + done, n, &wrote, nullptr)) return false;
    if (wrote == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += wrote;
  }
  return true;
}

// The command line as UTF-8, as the Linux build receives its arguments: a path may name a folder with any letter,
// and no option word has a byte above 127, so a non-ASCII word never matches one. A line that is not whole UTF-16
// (a lone surrogate) has each unit beyond ASCII folded to 0xFF instead, which no path or option takes.
mem::Slice command_line() {
  const wchar_t* text = GetCommandLineW();
  u64 n = 0;
  while (text[n]) ++n;
  u32 length = n < 0x10000000 ? winwide::utf8_length(text, static_cast<u32>(n)) : 0;
  u64 size = length != 0 ? length : n;
  u8* copy = static_cast<u8*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
  if (!copy) return mem::Slice{nullptr, 0};
  if (length == 0 || winwide::to_utf8(text, static_cast<u32>(n), copy, length) != length) {
    for (u64 i = 0; i < n; ++i) copy[i] = text[i] < 0x80 ? static_cast<u8>(text[i]) : 0xFF;
    size = n;
  }
  copy[size] = 0;
  return mem::Slice{copy, size};
}

void free_command_line(u8* text) {
  if (text) heap_free(text);
}

void heap_free(void* block) {
  DWORD saved = GetLastError();
  HeapFree(GetProcessHeap(), 0, block);
  SetLastError(saved);
}

u64 arg_count() {
  mem::Slice text = command_line();
  if (!text.ptr) return 1;
  u64 position = 0, length = 0, count = 0;
  while (next_token(mem::Bytes(text), &position, count == 0 ? 1 : 0, nullptr, 0, &length)) ++count;
  free_command_line(text.ptr);
  return count > 0 ? count : 1;
}

// Each argument is a block of its own on the process heap that lives as long as the process.
mem::Bytes arg(u64 i) {
  mem::Slice text = command_line();
  if (!text.ptr) return mem::Bytes();
  u64 position = 0, length = 0;
  mem::Bytes result;
  for (u64 k = 0;; ++k) {
    u64 start = position;
    if (!next_token(mem::Bytes(text), &position, k == 0 ? 1 : 0, nullptr, 0, &length)) break;
    if (k < i) continue;
    u8* block = static_cast<u8*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (block) {
      next_token(mem::Bytes(text), &start, k == 0 ? 1 : 0, block, length, &length);
      block[length] = 0;
      result = mem::Bytes(block, length);
    }
    break;
  }
  free_command_line(text.ptr);
  return result;
}

void* pages_reserve(u64 size) { return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

u32 pages_release(void* block, u64) { return VirtualFree(block, 0, MEM_RELEASE) ? 1 : 0; }

void exit_process(u32 code) {
  proc::put_exit_word(code);
  ExitProcess(code);
}

// ---- Requests to stop: Ctrl-C, Ctrl-Break and the console's close set manual-reset events that the loops poll.
// The handler runs on a thread of the system's, so the events it sets are kept here, outside the callers.

}  // namespace os

namespace winwide {
namespace {
HANDLE stop_events[4] = {};

BOOL WINAPI on_console_stop(DWORD) {
  for (HANDLE e : stop_events) {
    if (e) SetEvent(e);
  }
  return TRUE;
}
}  // namespace

bool stop_sets(HANDLE event) {
  for (HANDLE& slot : stop_events) {
    if (slot == event) return true;
    if (!slot) {
      slot = event;
      return SetConsoleCtrlHandler(on_console_stop, TRUE) != 0;
    }
  }
  return false;
}
}  // namespace winwide

namespace os {

u64 stop_requests_open() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return 0;
  if (!winwide::stop_sets(event)) {
    CloseHandle(event);
    return 0;
  }
  return winwide::value(event);
}

u32 stop_requested(u64 handle) {
  if (handle == 0) return 0;
  if (WaitForSingleObject(winwide::handle(handle), 0) != WAIT_OBJECT_0) return 0;
  ResetEvent(winwide::handle(handle));
  return 1;
}

// The event stays: the console handler may still set it.
void stop_requests_close(u64) {}

// ---- Clocks, random bytes and small system queries.

u64 clock_ms() { return GetTickCount64(); }

u64 ticks() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return static_cast<u64>(count.QuadPart);
}

u64 ticks_per_second() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<u64>(frequency.QuadPart);
}

u64 micros() {
  u64 count = ticks(), frequency = ticks_per_second();
  return count / frequency * 1000000 + count % frequency * 1000000 / frequency;
}

u64 filetime_now() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return static_cast<u64>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

void sleep_ms(u32 ms) { Sleep(ms); }

u32 random_bytes(mem::Slice buffer) {
  const u64 chunk_max = 0x10000000;
  for (u64 done = 0; done < buffer.len;) {
    ULONG n = static_cast<ULONG>(buffer.len - done < chunk_max ? buffer.len - done : chunk_max);
    if (BCryptGenRandom(nullptr, buffer.ptr + done, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
      mem::fill(buffer, 0);
      return 0;
    }
    done += n;
  }
  return 1;
}

extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW info);

u32 windows_version(WindowsVersion* version) {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  static_assert(sizeof(RTL_OSVERSIONINFOW) == 276);
  NTSTATUS status = RtlGetVersion(&info);
  *version = WindowsVersion{family_windows, 1, static_cast<u16>(info.dwMajorVersion),
                            static_cast<u16>(info.dwMinorVersion), info.dwBuildNumber};
  return static_cast<u32>(status);
}

u32 computer_name(u8* buffer64) {
  u64 length = 0;
  if (fs::env_var(mem::lit("COMPUTERNAME"), mem::Slice{buffer64, 64}, &length) != fs::ok) return 0;
  for (u64 i = 0; i < length; ++i) {
    if (buffer64[i] < 32 || buffer64[i] > 126) return 0;
  }
  return static_cast<u32>(length);
}

// The processor architecture the system reports for its own native programs.
u32 machine_word(u8* buffer64) {
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  const char* word = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x86_64"
                     : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "aarch64"
                     : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "i686"
                                                                                   : nullptr;
  if (!word) return 0;
  mem::Bytes text = mem::cstr(word);
  __builtin_memcpy(buffer64, text.ptr, text.len);
  return static_cast<u32>(text.len);
}

u32 process_id() { return GetCurrentProcessId(); }

u32 utf8_to_wide(mem::Bytes bytes, u16* buffer, u32 capacity) {
  if (capacity == 0) return 0;
  int units = 0;
  if (bytes.len != 0 && bytes.len < capacity) {
    units = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.ptr), static_cast<int>(bytes.len),
                                reinterpret_cast<wchar_t*>(buffer), static_cast<int>(capacity - 1));
    if (units < 0) units = 0;
  }
  buffer[units] = 0;
  return static_cast<u32>(units);
}

}  // namespace os
