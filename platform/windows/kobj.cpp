// Named events and mutexes in the session's "Local\" namespace of kernel objects.
#include "platform/kobj.h"

#include <windows.h>

#include "platform/os.h"
#include "platform/windows/wide.h"

namespace kobj {

// Names are "Local\" and printable characters without a separator or "..": one name can never reach another
// namespace of the system's objects.
u32 wide_name(mem::Bytes name, u16* buffer100) {
  buffer100[0] = 0;
  const mem::Bytes local = mem::lit("Local\\");
  if (name.len <= local.len || name.len > name_max || !mem::eq(mem::Bytes(name.ptr, local.len), local)) return 0;
  for (u64 i = local.len; i < name.len; ++i) {
    u8 c = name.ptr[i];
    if (c < 32 || c > 126 || c == '/' || c == '\\' || (c == '.' && i + 1 < name.len && name.ptr[i + 1] == '.'))
      return 0;
  }
  for (u64 i = 0; i < name.len; ++i) buffer100[i] = name.ptr[i];
  buffer100[name.len] = 0;
  return static_cast<u32>(name.len);
}

namespace {

const wchar_t* wide(mem::Bytes name, u16 (&buffer)[100]) {
  return wide_name(name, buffer) ? reinterpret_cast<const wchar_t*>(buffer) : nullptr;
}

// An event of the name, made new: one that exists already is another live process's, and is refused.
Handle create(mem::Bytes name, BOOL manual) {
  u16 buffer[100];
  const wchar_t* w = wide(name, buffer);
  if (!w) return 0;
  HANDLE h = CreateEventW(nullptr, manual, FALSE, w);
  if (h && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return 0;
  }
  return winwide::value(h);
}

}  // namespace

Handle create_quit_event() {
  u8 name[96];
  u32 n = quit_event_name(os::process_id(), name);
  return create(mem::Bytes(name, n), TRUE);
}

u32 stop_on_signals(Handle quit_event) { return quit_event && winwide::stop_sets(winwide::handle(quit_event)) ? 1 : 0; }

Handle create_event(mem::Bytes name) { return create(name, FALSE); }

Handle open_event(mem::Bytes name) {
  u16 buffer[100];
  const wchar_t* w = wide(name, buffer);
  return w ? winwide::value(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, w)) : 0;
}

u32 signal_event(mem::Bytes name) {
  u16 buffer[100];
  const wchar_t* w = wide(name, buffer);
  HANDLE h = w ? OpenEventW(EVENT_MODIFY_STATE, FALSE, w) : nullptr;
  if (!h) return 0;
  BOOL set = SetEvent(h);
  CloseHandle(h);
  return set ? 1 : 0;
}

u32 set(Handle event) { return event && SetEvent(winwide::handle(event)) ? 1 : 0; }

u32 wait(Handle event, u32 timeout_ms) {
  return event && WaitForSingleObject(winwide::handle(event), timeout_ms) == WAIT_OBJECT_0 ? 1 : 0;
}

// Windows waits on events with the wait functions; a poll set holds sockets only.
u64 pollable(Handle) { return ~0ull; }

Handle take_mutex(mem::Bytes name, u32 timeout_ms) {
  u16 buffer[100];
  const wchar_t* w = wide(name, buffer);
  HANDLE h = w ? CreateMutexW(nullptr, FALSE, w) : nullptr;
  if (!h) return 0;
  DWORD r = WaitForSingleObject(h, timeout_ms);
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return winwide::value(h);
  CloseHandle(h);
  return 0;
}

u32 mutex_exists(mem::Bytes name) {
  u16 buffer[100];
  const wchar_t* w = wide(name, buffer);
  HANDLE h = w ? OpenMutexW(SYNCHRONIZE, FALSE, w) : nullptr;
  if (!h) return 0;
  CloseHandle(h);
  return 1;
}

void release_mutex(Handle mutex) {
  if (!mutex) return;
  ReleaseMutex(winwide::handle(mutex));
  CloseHandle(winwide::handle(mutex));
}

void close(Handle handle) {
  if (handle) CloseHandle(winwide::handle(handle));
}

// Named objects live in the session's own namespace here, with no folder that could be refused.
u64 runtime_refusal(mem::Slice) { return 0; }

}  // namespace kobj
