// The key file chooser: the system's open-file dialog (GetOpenFileNameW), owned by the window and modal to it.
#include "platform/chooser.h"

#include <windows.h>
#include <commdlg.h>

#include "platform/windows/wide.h"

namespace chooser {

namespace {

// Appends the UTF-8 text and a terminating 0; false when it does not convert or fit.
bool put(wchar_t* out, u32 capacity, u32* at, mem::Bytes text) {
  if (*at >= capacity || !winwide::utf8(text, out + *at, capacity - *at)) return false;
  while (out[*at]) ++*at;
  ++*at;
  return true;
}

}  // namespace

u32 open_file(const Ask& ask, mem::Slice out, u32* length, u32* road) {
  *length = 0;
  if (road) *road = road_none;
  // The filter pairs, the given one first and selected, then every file; the list ends with a second 0.
  wchar_t filter[256];
  u32 at = 0;
  if (!put(filter, 255, &at, ask.filter_name) || !put(filter, 255, &at, ask.pattern) ||
      !put(filter, 255, &at, mem::lit("All files")) || !put(filter, 255, &at, mem::lit("*.*"))) {
    return failed;
  }
  filter[at] = 0;
  wchar_t title[128], folder[260], file[260] = {};
  const bool titled = ask.title.len && winwide::utf8(ask.title, title, 128);
  const bool started = ask.folder.len && winwide::utf8(ask.folder, folder, 260);
  OPENFILENAMEW o{};
  o.lStructSize = sizeof o;
  o.hwndOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(ask.owner));
  o.lpstrFilter = filter;
  o.nFilterIndex = 1;
  o.lpstrFile = file;
  o.nMaxFile = 260;
  o.lpstrInitialDir = started ? folder : nullptr;
  o.lpstrTitle = titled ? title : nullptr;
  o.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&o)) return CommDlgExtendedError() == 0 ? cancelled : failed;
  u32 units = 0;
  while (units < 260 && file[units]) ++units;
  const u32 n = winwide::to_utf8(file, units, out.ptr, out.len < 1024 ? static_cast<u32>(out.len) : 1024);
  SecureZeroMemory(file, sizeof file);
  if (n == 0) return failed;
  *length = n;
  if (road) *road = road_system;
  return picked;
}

}  // namespace chooser
