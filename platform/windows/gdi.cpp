// The drawing road's system side: the fonts folder and files by role, the virtual screen, and icons kept as their
// pixels. This build makes no windows (see window.cpp), so no window takes a present.
#include "platform/gdi.h"

#include <windows.h>

#include "platform/windows/wide.h"

namespace gdi {

Handle open_headless(i32, i32) { return 0; }
Handle open_window(i32, i32) { return 0; }
void close_window(Handle) {}
u32 resize_window(Handle, i32, i32) { return 0; }
u64 window_id(Handle window) { return window; }
void set_window_id(Handle, u64) {}
const u32* window_pixels(Handle, i32* width, i32* height) {
  *width = *height = 0;
  return nullptr;
}
u64 window_sends(Handle, u64* pixels_sent) {
  *pixels_sent = 0;
  return 0;
}
void set_present_hook(Handle, PresentHook, void*) {}
u32 present(Handle, i32, i32, i32, i32, const u32*, u32) { return 0; }

void share_memory(Handle, const section::Section&) {}

i32 virtual_width(Handle) { return GetSystemMetrics(SM_CXVIRTUALSCREEN); }
i32 virtual_height(Handle) { return GetSystemMetrics(SM_CYVIRTUALSCREEN); }

u32 system_fonts(u8* buffer, u32 capacity) {
  wchar_t folder[1036 + 8];
  UINT n = GetSystemWindowsDirectoryW(folder, 1036);
  if (n == 0 || n >= 1036) return 0;
  const wchar_t fonts[] = L"\\Fonts";
  for (u32 i = 0; i < 7; ++i) folder[n + i] = fonts[i];
  return winwide::to_utf8(folder, n + 6, buffer, capacity);
}

mem::Bytes system_font_file(u32 role) { return role == 1 ? mem::lit("consola.ttf") : mem::lit("segoeui.ttf"); }

u32 local_drive(mem::Bytes folder) {
  if (folder.len < 2 || folder.ptr[1] != ':' || folder.ptr[0] >= 128) return 0;
  wchar_t root[4] = {static_cast<wchar_t>(folder.ptr[0]), ':', '\\', 0};
  UINT type = GetDriveTypeW(root);
  return type == DRIVE_FIXED || type == DRIVE_REMOVABLE ? 1 : 0;
}

// An icon: its size and its straight-alpha pixels in one block of the process heap.
struct Icon {
  i32 width, height;
  u32 pixels[1];
};

Handle icon_create(const u32* pixels, i32 width, i32 height) {
  if (!pixels || width < 1 || height < 1 || width > 256 || height > 256) return 0;
  u64 count = static_cast<u64>(width) * static_cast<u64>(height);
  Icon* icon = static_cast<Icon*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Icon) + count * sizeof(u32)));
  if (!icon) return 0;
  icon->width = width;
  icon->height = height;
  __builtin_memcpy(icon->pixels, pixels, count * sizeof(u32));
  return reinterpret_cast<Handle>(icon);
}

void icon_delete(Handle icon) {
  if (icon) HeapFree(GetProcessHeap(), 0, reinterpret_cast<Icon*>(icon));
}

u32 icon_pixels(Handle handle, u32* out, u64 capacity, i32* width, i32* height) {
  *width = *height = 0;
  if (!handle) return 0;
  const Icon* icon = reinterpret_cast<const Icon*>(handle);
  *width = icon->width;
  *height = icon->height;
  u64 count = static_cast<u64>(icon->width) * static_cast<u64>(icon->height);
  if (out) {
    if (capacity < count) return 0;
    __builtin_memcpy(out, icon->pixels, count * sizeof(u32));
  }
  return 1;
}

}  // namespace gdi
