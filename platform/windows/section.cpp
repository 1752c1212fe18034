// Named shared memory: a paging-file-backed mapping under a "Local\" name, alive while any process holds it.
#include "platform/section.h"

#include <windows.h>

#include "platform/kobj.h"
#include "platform/windows/wide.h"

namespace section {

mem::Bytes code_text(u32 code) {
  const char* const texts[] = {"ok", "bad name", "in use", "failed", "not found"};
  return code <= not_found ? mem::cstr(texts[code]) : mem::lit("unknown");
}

u32 create(mem::Bytes name, u64 size, Section* out) {
  *out = Section{};
  u16 wide[100];
  if (size == 0 || !kobj::wide_name(name, wide)) return bad_name;
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                static_cast<DWORD>(size), reinterpret_cast<const wchar_t*>(wide));
  if (!h) return failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return in_use;
  }
  void* view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (!view) {
    CloseHandle(h);
    return failed;
  }
  *out = Section{static_cast<u8*>(view), size, winwide::value(h), 1};
  return ok;
}

// The size is the owner's, as the mapping's region reports it (whole pages).
u32 open(mem::Bytes name, Section* out) {
  *out = Section{};
  u16 wide[100];
  if (!kobj::wide_name(name, wide)) return bad_name;
  HANDLE h = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, reinterpret_cast<const wchar_t*>(wide));
  if (!h) return GetLastError() == ERROR_FILE_NOT_FOUND ? not_found : failed;
  void* view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info{};
  if (!view || VirtualQuery(view, &info, sizeof info) == 0) {
    if (view) UnmapViewOfFile(view);
    CloseHandle(h);
    return failed;
  }
  *out = Section{static_cast<u8*>(view), info.RegionSize, winwide::value(h), 0};
  return ok;
}

void close(Section* section) {
  if (section->view) UnmapViewOfFile(section->view);
  if (section->handle) CloseHandle(winwide::handle(section->handle));
  *section = Section{};
}

}  // namespace section
