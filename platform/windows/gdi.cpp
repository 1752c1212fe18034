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
  u8 in_frame;  // inside begin_frame / end_frame
  HDC frame_dc;  // the window's device context, kept from a frame's first block to its end
};

// An icon: its size, the system icons made for it (null until asked for: the one a window shows, and the one made
// from its pixels that the GDI road draws), and its straight-alpha pixels.
struct Icon {
  i32 width, height;
  HICON system, drawn;
  u32 pixels[1];
};

// The system's GDI road of one window: a memory device context with the back buffer selected into it, the bitmap
// it held before, and the four fonts by role.
struct Road {
  Handle window;
  HDC dc;
  HBITMAP back, before;
  i32 width, height;
  HFONT fonts[4];
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

// One top-down 32-bit block to the window's client area: inside a frame through the device context its first
// block took, else through one of its own.
bool send_block(Target* t, const Block& b) {
  HDC dc = t->frame_dc ? t->frame_dc : GetDC(t->window);
  if (!dc) return false;
  if (t->in_frame) t->frame_dc = dc;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = static_cast<LONG>(b.stride);
  info.bmiHeader.biHeight = -b.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const int lines = SetDIBitsToDevice(dc, b.x, b.y, static_cast<DWORD>(b.width), static_cast<DWORD>(b.height), 0, 0,
                                      0, static_cast<UINT>(b.height), b.pixels, &info, DIB_RGB_COLORS);
  if (!t->in_frame) ReleaseDC(t->window, dc);
  return lines == b.height;
}

// A 32-bit top-down colour bitmap with the icon's alpha (the mask is then ignored by the system) and an empty mask.
HICON icon_of_pixels(const Icon& icon) {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = icon.width;
  header.bV5Height = -icon.height;
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
  HBITMAP mask = CreateBitmap(icon.width, icon.height, 1, 1, nullptr);
  HICON made = nullptr;
  if (colour && mask && bits) {
    __builtin_memcpy(bits, icon.pixels, u64(icon.width) * u64(icon.height) * 4);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    made = CreateIconIndirect(&info);
  }
  if (colour) DeleteObject(colour);
  if (mask) DeleteObject(mask);
  return made;
}

// The system window a target is bound to; none for a target in memory, whose buffers are made for the screen.
HWND window_of(Handle window) {
  Target* t = of<Target>(window);
  return t ? t->window : nullptr;
}

BITMAPINFO top_down(i32 width, i32 height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

HFONT role_font(const Road& r, u32 role) {
  HFONT f = role < 4 ? r.fonts[role] : nullptr;
  // A font that could not be made is the system's default one.
  return f ? f : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
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
    block.held = t->in_frame;
    if (!t->hook(t->hook_context, window, block)) return 0;
  } else if (t->window) {
    if (!send_block(t, block)) return 0;
  } else {
    for (i32 row = 0; row < block.height; ++row)
      __builtin_memcpy(t->pixels + u64(block.y + row) * u64(t->width) + u64(block.x), block.pixels + u64(row) * stride,
                       u64(block.width) * 4);
  }
  t->sends += 1;
  t->sent += u64(w) * u64(h);
  return 1;
}

void begin_frame(Handle window) {
  if (Target* t = of<Target>(window)) t->in_frame = 1;
}

// The frame's blocks leave GDI's batch together; the device context goes back to the window.
u32 end_frame(Handle window) {
  Target* t = of<Target>(window);
  if (!t) return 0;
  const bool hooked = t->in_frame && t->hook;
  t->in_frame = 0;
  if (t->frame_dc) {
    const BOOL flushed = GdiFlush();
    ReleaseDC(t->window, t->frame_dc);
    t->frame_dc = nullptr;
    return flushed ? 1 : 0;
  }
  return hooked ? t->hook(t->hook_context, window, Block{}) : 1;
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

// ---- The system's own GDI road

Handle road_open(Handle window) {
  Road* r = static_cast<Road*>(heap_take(sizeof(Road)));
  if (!r) return 0;
  r->window = window;
  // A memory device context from the start: text is measured in it before the first frame makes the back buffer.
  r->dc = CreateCompatibleDC(nullptr);
  if (!r->dc) {
    heap_give(r);
    return 0;
  }
  SetBkMode(r->dc, TRANSPARENT);
  return handle(r);
}

void road_close(Handle road) {
  Road* r = of<Road>(road);
  if (!r) return;
  if (r->before) SelectObject(r->dc, r->before);
  if (r->back) DeleteObject(r->back);
  SelectObject(r->dc, GetStockObject(SYSTEM_FONT));
  for (HFONT f : r->fonts)
    if (f) DeleteObject(f);
  DeleteDC(r->dc);
  heap_give(r);
}

void road_font(Handle road, u32 role, const char* face, i32 px, u32 pitch_family) {
  Road* r = of<Road>(road);
  if (!r || role >= 4) return;
  if (r->fonts[role]) {
    SelectObject(r->dc, GetStockObject(SYSTEM_FONT));
    DeleteObject(r->fonts[role]);
  }
  // A character height of px (a negative height), regular weight, ClearType quality.
  r->fonts[role] = CreateFontA(-px, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, static_cast<BYTE>(pitch_family), face);
}

void road_back(Handle road, i32 width, i32 height) {
  Road* r = of<Road>(road);
  if (!r) return;
  width = width < 1 ? 1 : width;
  height = height < 1 ? 1 : height;
  if (r->back && width == r->width && height == r->height) return;
  // Made for the window's device context, so that the copy to the window is a plain one.
  HWND window = window_of(r->window);
  HDC window_dc = GetDC(window);
  HBITMAP back = CreateCompatibleBitmap(window_dc, width, height);
  ReleaseDC(window, window_dc);
  if (!back) return;
  HGDIOBJ old = SelectObject(r->dc, back);
  if (r->back) {
    DeleteObject(r->back);
  } else {
    r->before = static_cast<HBITMAP>(old);
  }
  r->back = back;
  r->width = width;
  r->height = height;
}

void road_fill(Handle road, i32 left, i32 top, i32 right, i32 bottom, u32 colorref) {
  Road* r = of<Road>(road);
  if (!r) return;
  const RECT box{left, top, right, bottom};
  SetBkColor(r->dc, colorref);
  ExtTextOutW(r->dc, 0, 0, ETO_OPAQUE, &box, nullptr, 0, nullptr);
}

void road_text(Handle road, u32 role, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right, i32 clip_bottom,
               u32 colorref, const u16* units, u32 count, const i32* advances) {
  Road* r = of<Road>(road);
  if (!r || count == 0) return;
  const RECT clip{clip_left, clip_top, clip_right, clip_bottom};
  SelectObject(r->dc, role_font(*r, role));
  SetTextColor(r->dc, colorref);
  ExtTextOutW(r->dc, x, y, ETO_CLIPPED, &clip, reinterpret_cast<const wchar_t*>(units), count,
              const_cast<INT*>(reinterpret_cast<const INT*>(advances)));
}

void road_extent(Handle road, u32 role, const u16* units, u32 count, i32* width, i32* height) {
  *width = *height = 0;
  Road* r = of<Road>(road);
  if (!r) return;
  SIZE size{};
  SelectObject(r->dc, role_font(*r, role));
  if (GetTextExtentPoint32W(r->dc, reinterpret_cast<const wchar_t*>(units), static_cast<int>(count), &size)) {
    *width = size.cx;
    *height = size.cy;
  }
}

void road_icon(Handle road, Handle icon_handle, i32 x, i32 y, i32 side) {
  Road* r = of<Road>(road);
  Icon* icon = of<Icon>(icon_handle);
  if (!r || !icon) return;
  // The icon's own pixels, as the own renderer draws them.
  if (!icon->drawn) icon->drawn = icon_of_pixels(*icon);
  if (icon->drawn) DrawIconEx(r->dc, x, y, icon->drawn, side, side, 0, nullptr, DI_NORMAL);
}

void road_image(Handle road, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  Road* r = of<Road>(road);
  if (!r || !pixels || w <= 0 || h <= 0) return;
  BITMAPINFO info = top_down(static_cast<i32>(stride), h);
  SetDIBitsToDevice(r->dc, x, y, static_cast<DWORD>(w), static_cast<DWORD>(h), 0, 0, 0, static_cast<UINT>(h), pixels,
                    &info, DIB_RGB_COLORS);
}

u32 road_present(Handle road, Handle window) {
  Road* r = of<Road>(road);
  Target* t = of<Target>(window);
  if (!r || !r->back || !t) return 0;
  follow_window(t);
  bool ok = false;
  if (t->window) {
    HDC dc = GetDC(t->window);
    ok = dc && BitBlt(dc, 0, 0, r->width, r->height, r->dc, 0, 0, SRCCOPY);
    if (dc) ReleaseDC(t->window, dc);
  } else if (t->pixels) {
    // A target in memory takes the buffer's rows as they are, cut to its size.
    BITMAPINFO info = top_down(r->width, r->height);
    const i32 rows = r->height < t->height ? r->height : t->height;
    const i32 columns = r->width < t->width ? r->width : t->width;
    u32* all = static_cast<u32*>(heap_take(u64(r->width) * u64(r->height) * 4));
    // The bitmap is read while no device context holds it.
    SelectObject(r->dc, r->before);
    const bool read = all && GetDIBits(r->dc, r->back, 0, static_cast<UINT>(r->height), all, &info, DIB_RGB_COLORS);
    SelectObject(r->dc, r->back);
    if (read) {
      for (i32 y = 0; y < rows; ++y)
        for (i32 x = 0; x < columns; ++x)
          t->pixels[u64(y) * u64(t->width) + u64(x)] = 0xFF000000u | all[u64(y) * u64(r->width) + u64(x)];
      ok = true;
    }
    heap_give(all);
  }
  if (!ok) return 0;
  t->sends += 1;
  t->sent += u64(r->width) * u64(r->height);
  return 1;
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
  if (icon->drawn) DestroyIcon(icon->drawn);
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
// Explorer shows for the file; a program without one (a test program) gets the icon made from its pixels.
HICON icon_handle(gdi::Handle handle) {
  gdi::Icon* icon = gdi::of<gdi::Icon>(handle);
  if (!icon) return nullptr;
  if (icon->system) return icon->system;
  icon->system = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, icon->width,
                                               icon->height, LR_DEFAULTCOLOR));
  if (!icon->system) icon->system = gdi::icon_of_pixels(*icon);
  return icon->system;
}

}  // namespace winpaint
