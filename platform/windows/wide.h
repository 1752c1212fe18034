#pragma once
// Text between the program's bytes and the system's UTF-16, shared by the Windows backend's modules.
#include <windows.h>

#include "base/mem.h"

namespace winwide {

// Units of the long paths the general file layer hands the system.
constexpr u32 path_units = 32768;

// ASCII bytes widened one unit per byte, NUL-terminated: false for a NUL byte, a byte of 128 or more, or a text that
// does not leave room for the terminator.
bool ascii(mem::Bytes bytes, wchar_t* out, u32 capacity);
// UTF-8 bytes to UTF-16, NUL-terminated; false when they do not convert or fit.
bool utf8(mem::Bytes bytes, wchar_t* out, u32 capacity);
// UTF-16 to ASCII bytes: the length, or 0 when a unit is 128 or more or it does not fit.
u32 to_ascii(const wchar_t* units, u32 count, u8* out, u32 capacity);
// UTF-16 to UTF-8 bytes: the length, 0 when it does not convert or fit.
u32 to_utf8(const wchar_t* units, u32 count, u8* out, u32 capacity);
// The UTF-8 length of exact UTF-16 text: 0 when it holds a lone surrogate (or nothing).
u32 utf8_length(const wchar_t* units, u32 count);

// The general file layer's path: UTF-8, then the long-path form where the full path needs it. False refuses it.
bool file_path(mem::Bytes path, wchar_t* out);

// The handle a u64 of the platform interfaces holds.
inline HANDLE handle(u64 value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }
inline u64 value(HANDLE h) { return static_cast<u64>(reinterpret_cast<uintptr_t>(h)); }

// An entry point looked up by name (GetProcAddress), as the type it has.
template <typename Fn>
Fn function(FARPROC found) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(found));
}

// Makes Ctrl-C, Ctrl-Break and the console's close set the event (a manual-reset one stays set), besides the events
// given before: one console handler serves every caller, so none of them hides the request from another. False when
// the handler cannot be set or four events are already given.
bool stop_sets(HANDLE event);

}  // namespace winwide
