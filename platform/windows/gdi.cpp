// The drawing road's system side: present targets (in-memory bitmaps, or a window's client area that presents are
// sent to with SetDIBitsToDevice straight from the caller's pixels), the fonts folder and files by role, the
// virtual screen, and icons kept as their pixels with the system icon made from them when a window needs it.
#include "platform/gdi.h"

#include <windows.h>

#include "platform/windows/paint.h"
#include "platform/windows/wide.h"

namespace gdi {
namespace {

constexpr i32 most_side = 16384;

// A present target. Bound to a window it sends what is presented there and keeps no pixels; unbound it is an
// in-memory bitmap (rows of width pixels after the record).
struct Target {
  i32 width, height;
  HWND window;
  u64 id;
  u64 sends, sent;
  PresentHook hook;
  void* hook_context;
  i32 screen_width, screen_height;
  u32* pixels;
};

// An icon: its size, the system icon made from it (null until asked for), and its straight-alpha pixels.
struct Icon {
  i32 width, height;
  HICON system;
  u32 pixels[1];
};

template <typename T>
T* of(Handle h) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(h));
}
template <typename T>
Handle handle(T* p) {
  return static_cast<Handle>(reinterpret_cast<uintptr_t>(p));
}

bool usable_size(i32 width, i32 height) {
  return width >= 1 && height >= 1 && width <= most_side && height <= most_side;
}

void* heap_take(u64 bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }
void heap_give(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

void fill_black(Target* t) {
  const u64 count = u64(t->width) * u64(t->height);
  for (u64 i = 0; i < count; ++i) t->pixels[i] = 0xFF000000u;
}

// A bound target is as large as its window's client area now (the window may have been sized by the system).
void follow_window(Target* t) {
  RECT r{};
  if (t->window && GetClientRect(t->window, &r)) {
    t->width = r.right - r.left;
    t->height = r.bottom - r.top;
  }
}

// One top-down 32-bit block to the window's client area.
bool send_block(HWND window, const Block& b) {
  HDC dc = GetDC(window);
  if (!dc) return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = static_cast<LONG>(b.stride);
  info.bmiHeader.biHeight = -b.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const int lines = SetDIBitsToDevice(dc, b.x, b.y, static_cast<DWORD>(b.width), static_cast<DWORD>(b.height), 0, 0,
                                      0, static_cast<UINT>(b.height), b.pixels, &info, DIB_RGB_COLORS);
  ReleaseDC(window, dc);
  return lines == b.height;
}

}  // namespace

// ---- Windows

Handle open_headless(i32 width, i32 height) {
  if (!usable_size(width, height)) return 0;
  Target* t = static_cast<Target*>(heap_take(sizeof(Target)));
  if (!t) return 0;
  t->width = width;
  t->height = height;
  t->pixels = static_cast<u32*>(heap_take(u64(width) * u64(height) * 4));
  if (!t->pixels) {
    heap_give(t);
    return 0;
  }
  fill_black(t);
  return handle(t);
}

Handle open_window(i32, i32) { return 0; }

void close_window(Handle window) {
  Target* t = of<Target>(window);
  if (!t) return;
  heap_give(t->pixels);
  heap_give(t);
}

u32 resize_window(Handle window, i32 width, i32 height) {
  Target* t = of<Target>(window);
  if (!t || !usable_size(width, height)) return 0;
  if (!t->window) {
    u32* pixels = static_cast<u32*>(heap_take(u64(width) * u64(height) * 4));
    if (!pixels) return 0;
    heap_give(t->pixels);
    t->pixels = pixels;
  }
  t->width = width;
  t->height = height;
  if (!t->window) fill_black(t);
  return 1;
}

u64 window_id(Handle window) {
  Target* t = of<Target>(window);
  return t && t->id ? t->id : window;
}

void set_window_id(Handle window, u64 id) {
  if (Target* t = of<Target>(window)) t->id = id;
}

const u32* window_pixels(Handle window, i32* width, i32* height) {
  *width = *height = 0;
  Target* t = of<Target>(window);
  if (!t) return nullptr;
  follow_window(t);
  *width = t->width;
  *height = t->height;
  return t->pixels;
}

u64 window_sends(Handle window, u64* pixels_sent) {
  Target* t = of<Target>(window);
  *pixels_sent = t ? t->sent : 0;
  return t ? t->sends : 0;
}

void set_present_hook(Handle window, PresentHook hook, void* context) {
  if (Target* t = of<Target>(window)) {
    t->hook = hook;
    t->hook_context = context;
  }
}

u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  Target* t = of<Target>(window);
  if (!t || !pixels || w < 0 || h < 0) return 0;
  follow_window(t);
  Block block{};
  if (!clip_block(x, y, w, h, pixels, stride, t->width, t->height, &block)) {
    // Nothing of it lies inside the window.
  } else if (t->hook) {
    if (!t->hook(t->hook_context, window, block)) return 0;
  } else if (t->window) {
    if (!send_block(t->window, block)) return 0;
  } else {
    for (i32 row = 0; row < block.height; ++row)
      __builtin_memcpy(t->pixels + u64(block.y + row) * u64(t->width) + u64(block.x), block.pixels + u64(row) * stride,
                       u64(block.width) * 4);
  }
  t->sends += 1;
  t->sent += u64(w) * u64(h);
  return 1;
}

// The window system reads the pixels where the caller keeps them (SetDIBitsToDevice takes them from the frame
// record itself), so a shared section adds nothing here.
void share_memory(Handle, const section::Section&) {}

void set_screen(Handle window, i32 width, i32 height) {
  if (Target* t = of<Target>(window)) {
    t->screen_width = width;
    t->screen_height = height;
  }
}

// The virtual screen of every monitor; an unbound target has the size set for it.
i32 virtual_width(Handle window) {
  Target* t = of<Target>(window);
  return t && !t->window ? t->screen_width : GetSystemMetrics(SM_CXVIRTUALSCREEN);
}
i32 virtual_height(Handle window) {
  Target* t = of<Target>(window);
  return t && !t->window ? t->screen_height : GetSystemMetrics(SM_CYVIRTUALSCREEN);
}

// ---- System fonts

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

// ---- Icons

Handle icon_create(const u32* pixels, i32 width, i32 height) {
  if (!pixels || width < 1 || height < 1 || width > 256 || height > 256) return 0;
  u64 count = static_cast<u64>(width) * static_cast<u64>(height);
  Icon* icon = static_cast<Icon*>(heap_take(sizeof(Icon) + count * sizeof(u32)));
  if (!icon) return 0;
  icon->width = width;
  icon->height = height;
  __builtin_memcpy(icon->pixels, pixels, count * sizeof(u32));
  return handle(icon);
}

void icon_delete(Handle handle) {
  Icon* icon = of<Icon>(handle);
  if (!icon) return;
  if (icon->system) DestroyIcon(icon->system);
  heap_give(icon);
}

u32 icon_pixels(Handle handle, u32* out, u64 capacity, i32* width, i32* height) {
  *width = *height = 0;
  if (!handle) return 0;
  const Icon* icon = of<Icon>(handle);
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

namespace winpaint {

void bind(gdi::Handle target, HWND window) {
  gdi::Target* t = gdi::of<gdi::Target>(target);
  if (!t) return;
  gdi::heap_give(t->pixels);
  t->pixels = nullptr;
  t->window = window;
  gdi::follow_window(t);
}

// The program's icon (number 1 of its resources) at the icon's size, so that the window and the taskbar show what
// Explorer shows for the file; a program without one (a test program) gets the icon's pixels: a 32-bit top-down
// colour bitmap with the icon's alpha (the mask is then ignored by the system) and an empty mask.
HICON icon_handle(gdi::Handle handle) {
  gdi::Icon* icon = gdi::of<gdi::Icon>(handle);
  if (!icon) return nullptr;
  if (icon->system) return icon->system;
  icon->system = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, icon->width,
                                               icon->height, LR_DEFAULTCOLOR));
  if (icon->system) return icon->system;
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = icon->width;
  header.bV5Height = -icon->height;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  HBITMAP mask = CreateBitmap(icon->width, icon->height, 1, 1, nullptr);
  if (colour && mask && bits) {
    __builtin_memcpy(bits, icon->pixels, u64(icon->width) * u64(icon->height) * 4);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    icon->system = CreateIconIndirect(&info);
  }
  if (colour) DeleteObject(colour);
  if (mask) DeleteObject(mask);
  return icon->system;
}

}  // namespace winpaint
