#include "platform/windows/wide.h"

namespace winwide {

bool ascii(mem::Bytes bytes, wchar_t* out, u32 capacity) {
  if (bytes.len >= capacity) return false;
  for (u64 i = 0; i < bytes.len; ++i) {
    u8 c = bytes.ptr[i];
    if (c == 0 || c >= 128) return false;
    out[i] = c;
  }
  out[bytes.len] = 0;
  return true;
}

bool utf8(mem::Bytes bytes, wchar_t* out, u32 capacity) {
  if (capacity == 0 || bytes.len >= 0x7FFFFFFF) return false;
  if (bytes.len == 0) {
    out[0] = 0;
    return true;
  }
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(bytes.ptr),
                              static_cast<int>(bytes.len), out, static_cast<int>(capacity - 1));
  if (n <= 0) return false;
  for (int i = 0; i < n; ++i) {
    if (out[i] == 0) return false;
  }
  out[n] = 0;
  return true;
}

u32 to_ascii(const wchar_t* units, u32 count, u8* out, u32 capacity) {
  if (count > capacity) return 0;
  for (u32 i = 0; i < count; ++i) {
    if (units[i] >= 128) return 0;
    out[i] = static_cast<u8>(units[i]);
  }
  return count;
}

u32 to_utf8(const wchar_t* units, u32 count, u8* out, u32 capacity) {
  if (count == 0) return 0;
  int n = WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(count), reinterpret_cast<char*>(out),
                              static_cast<int>(capacity), nullptr, nullptr);
  return n > 0 ? static_cast<u32>(n) : 0;
}

u32 utf8_length(const wchar_t* units, u32 count) {
  if (count == 0) return 0;
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, static_cast<int>(count), nullptr, 0, nullptr,
                              nullptr);
  return n > 0 ? static_cast<u32>(n) : 0;
}

// Paths are UTF-8, as the user's folders are named: a profile folder may hold any letter. A full path of 240 units
// or more takes the long-path prefix: "\\?\" before a drive path, "\\?\UNC\" in place of the two backslashes of a
// UNC path; a device path ("\\.\") stays as it is.
bool file_path(mem::Bytes path, wchar_t* out) {
  if (path.len == 0 || path.len > 32767) return false;
  if (!utf8(path, out, path_units)) return false;
  if (path.len >= 4 && out[0] == '\\' && out[1] == '\\' && out[2] == '?' && out[3] == '\\') return true;
  static_assert(path_units == 32768);
  wchar_t* full = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, path_units * sizeof(wchar_t)));
  if (!full) return false;
  DWORD n = GetFullPathNameW(out, 32757, full, nullptr);
  bool ok = n != 0 && n < 32757;
  if (ok && n >= 240) {
    if (full[0] == '\\' && full[1] == '\\' && full[2] == '.' && full[3] == '\\') {
      ok = true;
    } else if (full[0] == '\\' && full[1] == '\\') {
      const wchar_t prefix[] = L"\\\\?\\UNC\\";
      for (u32 i = 0; i < 8; ++i) out[i] = prefix[i];
      for (u32 i = 2; i <= n; ++i) out[6 + i] = full[i];
    } else if (full[1] == ':') {
      const wchar_t prefix[] = L"\\\\?\\";
      for (u32 i = 0; i < 4; ++i) out[i] = prefix[i];
      for (u32 i = 0; i <= n; ++i) out[4 + i] = full[i];
    } else {
      ok = false;
    }
  }
  HeapFree(GetProcessHeap(), 0, full);
  return ok;
}

}  // namespace winwide
