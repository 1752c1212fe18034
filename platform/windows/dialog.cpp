// The system's popup menu (CreatePopupMenu, AppendMenuW, TrackPopupMenuEx) and message boxes (MessageBoxW).
#include "platform/dialog.h"

#include <windows.h>

#include "platform/windows/wide.h"

namespace dialog {

namespace {

HWND hwnd(u64 owner) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(owner)); }

// UTF-8 text widened; bytes that are not UTF-8 are widened one unit each, so nothing is lost from view.
void widen(mem::Bytes text, wchar_t* out, u32 capacity) {
  if (winwide::utf8(text, out, capacity)) return;
  u32 n = 0;
  for (u64 i = 0; i < text.len && n + 1 < capacity; ++i) out[n++] = text.ptr[i] ? text.ptr[i] : L' ';
  out[n] = 0;
}

}  // namespace

bool native() { return true; }

u32 menu(u64 owner, i32 x, i32 y, const Item* items, u32 count) {
  HMENU popup = CreatePopupMenu();
  if (!popup) return 0;
  for (u32 i = 0; i < count; ++i) {
    if (items[i].label.len == 0) {
      AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    wchar_t label[128];
    widen(items[i].label, label, 128);
    AppendMenuW(popup, MF_STRING | (items[i].greyed ? MF_GRAYED : 0), items[i].id, label);
  }
  POINT at{x, y};
  ClientToScreen(hwnd(owner), &at);
  // The owner comes to the front first, or the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(hwnd(owner));
  const BOOL chosen = TrackPopupMenuEx(popup, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y,
                                       hwnd(owner), nullptr);
  DestroyMenu(popup);
  return chosen > 0 ? static_cast<u32>(chosen) : 0;
}

u32 box_flags(u32 kind) {
  if (kind == box_question) return MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2;
  return kind == box_error ? u32{MB_ICONERROR} : u32{MB_ICONWARNING};
}

u32 box(u64 owner, mem::Bytes caption, mem::Bytes text, u32 kind) {
  wchar_t title[64], words[text_most + 1];
  widen(caption, title, 64);
  widen(mem::Bytes(text.ptr, text.len < text_most ? text.len : text_most), words, text_most + 1);
  const int answer = MessageBoxW(owner ? hwnd(owner) : nullptr, words, title, box_flags(kind));
  if (answer == IDOK) return answer_ok;
  return answer == IDCANCEL ? u32{answer_cancel} : u32{answer_none};
}

}  // namespace dialog
