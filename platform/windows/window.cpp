// The window layer on the system's own windows: a window handle is the HWND, the queue and the timers are the
// thread's, painting follows the system's update region, and the program's classes take DefWindowProcW as their
// procedure (what the system sends reaches only it; everything the program does happens in its own loop). Each
// window's presents go to its client area through a bound present target (platform/windows/gdi.cpp).
#include "platform/window.h"

#include <windows.h>

#include "platform/windows/paint.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

HWND hwnd(Handle h) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(h)); }
Handle handle_of(HWND h) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(h)); }

using winwide::function;

// The class name as the system takes it (letters, digits, '-' and '_' only, so one unit per byte).
void wide_class(mem::Bytes name, wchar_t (&out)[class_name_most + 1]) {
  u64 n = name.len > class_name_most ? class_name_most : name.len;
  for (u64 i = 0; i < n; ++i) out[i] = name.ptr[i];
  out[n] = 0;
}

i32 find_class(const Thread& t, mem::Bytes name) {
  for (u32 i = 0; i < t.class_count; ++i)
    if (mem::eq(mem::Bytes(t.classes[i].name, t.classes[i].name_length), name)) return static_cast<i32>(i);
  return -1;
}

const Window* find_const(const Thread& t, Handle window) {
  if (!window) return nullptr;
  for (const Window& w : t.windows)
    if (w.handle == window) return &w;
  return nullptr;
}

Msg message_of(const MSG& m) {
  return Msg{handle_of(m.hwnd), m.message, static_cast<u64>(m.wParam), static_cast<i64>(m.lParam),
             GetTickCount64(), m.pt.x, m.pt.y};
}

// A window whose class has a background colour (the snap preview) shows only that colour: the system fills it, and
// the program never sees its paint.
bool paints_itself(const Thread& t, const MSG& m) {
  if (m.message != WM_PAINT || !m.hwnd) return false;
  const Window* w = find_const(t, handle_of(m.hwnd));
  if (!w || t.classes[w->class_index].highlight == no_colour) return false;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m.hwnd, &ps);
  if (dc) FillRect(dc, &ps.rcPaint, GetSysColorBrush(COLOR_HIGHLIGHT));
  EndPaint(m.hwnd, &ps);
  return true;
}

// The system draws a window at physical pixels, and tells it the DPI of each monitor, only when the process says it
// can: per monitor (version 2) where the system knows it, else the system DPI.
void declare_dpi_awareness() {
  HMODULE user = GetModuleHandleW(L"user32.dll");
  using ContextFn = BOOL(WINAPI*)(HANDLE);
  auto context = user ? function<ContextFn>(GetProcAddress(user, "SetProcessDpiAwarenessContext")) : nullptr;
  if (context && context(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)))) return;
  SetProcessDPIAware();
}

RECT rect_of(const Rect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
Rect from_rect(const RECT& r) { return Rect{r.left, r.top, r.right, r.bottom}; }

void forget_text(Clipboard* c) {
  for (u32 i = 0; i < clipboard_most; ++i) c->text[i] = 0;
  c->count = 0;
  c->mark_count = 0;
}

// A movable block of the bytes for the clipboard, or null.
HGLOBAL block_of(const void* bytes, u64 count) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, count);
  if (!block) return nullptr;
  void* at = GlobalLock(block);
  if (!at) {
    GlobalFree(block);
    return nullptr;
  }
  __builtin_memcpy(at, bytes, count);
  GlobalUnlock(block);
  return block;
}

// A block that did not end on the clipboard is zeroed before it is freed: no copy of a secret stays in freed memory.
void wipe_free(HGLOBAL block) {
  if (void* at = GlobalLock(block)) {
    volatile u8* p = static_cast<volatile u8*>(at);
    for (u64 i = 0, n = GlobalSize(block); i < n; ++i) p[i] = 0;
    GlobalUnlock(block);
  }
  GlobalFree(block);
}

}  // namespace

mem::Bytes code_text(u32 code) {
  switch (code) {
    case ok: return mem::lit("ok");
    case no_display: return mem::lit("there is no desktop to show a window on");
    case no_x_library: return mem::lit("the window library cannot be loaded");
    case refused: return mem::lit("the window, class or value is refused");
    case full: return mem::lit("no room left");
    case failed: return mem::lit("the system refused the window");
    case gone: return mem::lit("no such window");
    case busy: return mem::lit("another program holds the clipboard");
    case display_lost: return mem::lit("the desktop cannot be reached");
  }
  return mem::lit("unknown window result");
}

// ---- Start and end

// Every road is the system's windows: a desktop is there for any program with a window station, and a test's window
// is an ordinary one that is never activated.
u32 start(Thread* t, u32) {
  *t = Thread{};
  if (!GetProcessWindowStation() || !GetThreadDesktop(GetCurrentThreadId())) return no_display;
  declare_dpi_awareness();
  t->backend = backend_display;
  return ok;
}

void finish(Thread* t) {
  for (Window& w : t->windows)
    if (w.handle) destroy_window(t, w.handle);
  wchar_t name[class_name_most + 1];
  for (u32 i = 0; i < t->class_count; ++i) {
    wide_class(mem::Bytes(t->classes[i].name, t->classes[i].name_length), name);
    UnregisterClassW(name, GetModuleHandleW(nullptr));
  }
  if (t->clipboard.opener) CloseClipboard();
  forget_text(&t->clipboard);
  *t = Thread{};
}

// ---- Classes and windows

u32 register_class(Thread* t, mem::Bytes name, u32 style, gdi::Handle icon, u32 cursor, u32 highlight) {
  const u32 kept = keep_class(t, name, style, icon, cursor, highlight);
  if (kept != ok) return kept;
  // The procedure is the system's default one itself, so no code of the program runs inside a sent message.
  HMODULE user = GetModuleHandleW(L"user32.dll");
  FARPROC procedure = user ? GetProcAddress(user, "DefWindowProcW") : nullptr;
  wchar_t wide[class_name_most + 1];
  wide_class(name, wide);
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.style = style;
  c.lpfnWndProc = function<WNDPROC>(procedure);
  c.hInstance = GetModuleHandleW(nullptr);
  c.hIcon = winpaint::icon_handle(icon);
  c.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(cursor));
  c.hbrBackground = highlight == no_colour ? nullptr : GetSysColorBrush(COLOR_HIGHLIGHT);
  c.lpszClassName = wide;
  if (procedure && RegisterClassExW(&c)) return ok;
  const u32 code = procedure && GetLastError() == ERROR_CLASS_ALREADY_EXISTS ? refused : failed;
  t->class_count -= 1;
  return code;
}

Handle create_window(Thread* t, mem::Bytes class_name, u32 style, u32 ex_style, i32 x, i32 y, i32 width, i32 height,
                     u32* code) {
  u32 dummy = 0;
  if (!code) code = &dummy;
  *code = refused;
  const i32 class_index = find_class(*t, class_name);
  if (t->backend == backend_none || class_index < 0 || width < 1 || height < 1 || width > 16384 || height > 16384)
    return 0;
  Window* w = nullptr;
  for (Window& slot : t->windows)
    if (!slot.handle && !w) w = &slot;
  *code = full;
  if (!w) return 0;
  *code = failed;
  const gdi::Handle target = gdi::open_headless(1, 1);
  if (!target) return 0;
  wchar_t wide[class_name_most + 1];
  wide_class(class_name, wide);
  // A window starts named after its class.
  HWND made = CreateWindowExW(ex_style, wide, wide, style, x, y, width, height, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  if (!made) {
    gdi::close_window(target);
    return 0;
  }
  *w = Window{};
  w->handle = handle_of(made);
  w->class_index = static_cast<u32>(class_index);
  w->style = style;
  w->ex_style = ex_style;
  w->socket = -1;
  w->alpha = 255;
  w->sink = target;
  winpaint::bind(target, made);
  gdi::set_window_id(target, w->handle);
  window_rect(*t, w->handle, &w->rect);
  *code = ok;
  return w->handle;
}

u32 destroy_window(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w) return 0;
  if (t->capture == window) release_capture(t);
  if (t->focus == window) t->focus = 0;
  if (t->clipboard.opener == window) clipboard_close(t);
  DestroyWindow(hwnd(window));
  gdi::close_window(w->sink);
  *w = Window{};
  return 1;
}

bool is_window(const Thread& t, Handle window) { return find_const(t, window) && IsWindow(hwnd(window)); }

u32 process_of(Handle window) {
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd(window), &process);
  return process;
}

gdi::Handle sink(const Thread& t, Handle window) {
  const Window* w = find_const(t, window);
  return w ? w->sink : 0;
}

Window* find(Thread* t, Handle window) { return const_cast<Window*>(find_const(*t, window)); }

// ---- Posting and the queue

namespace {

u32 post_result(BOOL posted, HWND target) {
  if (posted) return ok;
  if (target && !IsWindow(target)) return gone;
  return GetLastError() == ERROR_NOT_ENOUGH_QUOTA ? full : failed;
}

}  // namespace

u32 post(Thread*, Handle window, u32 message, u64 wparam, i64 lparam) {
  if (!window) return post_result(PostThreadMessageW(GetCurrentThreadId(), message, wparam, lparam), nullptr);
  return post_result(PostMessageW(hwnd(window), message, wparam, lparam), hwnd(window));
}

// A window of another process woken this way may come to the front (the system lets it only when the sender allows).
u32 post_remote(Handle window, u32 message, u64 wparam, i64 lparam) {
  if (!window) return gone;
  AllowSetForegroundWindow(process_of(window));
  return post_result(PostMessageW(hwnd(window), message, wparam, lparam), hwnd(window));
}

void post_quit(Thread* t, i32 code) {
  t->quit = 1;
  t->quit_code = code;
  PostQuitMessage(code);
}

void pump(Thread*) {}

u32 peek_message(Thread* t, Msg* out, Handle window, u32 first, u32 last, bool remove) {
  *out = Msg{};
  MSG m{};
  if (!PeekMessageW(&m, hwnd(window), first, last, remove ? PM_REMOVE : PM_NOREMOVE)) return 0;
  if (m.message == WM_QUIT && remove) t->quit = 0;
  *out = message_of(m);
  return 1;
}

// A key press comes with the characters it types: the system turns it into WM_CHAR messages that follow it.
i32 get_message(Thread* t, Msg* out) {
  *out = Msg{};
  MSG m{};
  for (;;) {
    const BOOL got = GetMessageW(&m, nullptr, 0, 0);
    if (got == -1) return -1;
    if (got == 0) {
      t->quit = 0;
      out->message = wm_quit;
      out->wparam = static_cast<u64>(m.wParam);
      return 0;
    }
    if (!paints_itself(*t, m)) break;
  }
  if (m.message == WM_KEYDOWN || m.message == WM_SYSKEYDOWN) TranslateMessage(&m);
  *out = message_of(m);
  return 1;
}

u32 register_message(mem::Bytes name) {
  wchar_t wide[256];
  if (name.len == 0 || !winwide::utf8(name, wide, 256)) return 0;
  return RegisterWindowMessageW(wide);
}

// A window that is gone has no filter to open: it answers 0 before the system is asked (wine answers yes to any
// handle).
u32 allow_message(Handle window, u32 message) {
  if (!IsWindow(hwnd(window))) return 0;
  return ChangeWindowMessageFilterEx(hwnd(window), message, MSGFLT_ALLOW, nullptr) ? 1 : 0;
}

// ---- Timers

u32 set_timer(Thread*, Handle window, u32 id, u32 period_ms) {
  const UINT_PTR made = SetTimer(hwnd(window), window ? id : 0, period_ms, nullptr);
  if (!made) return 0;
  return window ? id : static_cast<u32>(made);
}

u32 kill_timer(Thread*, Handle window, u32 id) { return KillTimer(hwnd(window), id) ? 1 : 0; }

u64 now_ms(const Thread& t) { return t.clock_ms ? t.clock_ms : GetTickCount64(); }

// ---- Painting

void invalidate(Thread* t, Handle window, const Rect* rect) {
  if (!find(t, window)) return;
  const RECT r = rect ? rect_of(*rect) : RECT{};
  InvalidateRect(hwnd(window), rect ? &r : nullptr, FALSE);
}

void validate(Thread* t, Handle window, const Rect* rect) {
  if (!find(t, window)) return;
  const RECT r = rect ? rect_of(*rect) : RECT{};
  ValidateRect(hwnd(window), rect ? &r : nullptr);
}

// The system's update region as rectangles; past the record's capacity the union keeps their bounding box.
u32 update_region(const Thread& t, Handle window, Region* out) {
  region_clear(out);
  if (!find_const(t, window)) return 0;
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  if (!region) return 0;
  if (GetUpdateRgn(hwnd(window), region, FALSE) > NULLREGION) {
    const DWORD bytes = GetRegionData(region, 0, nullptr);
    RGNDATA* data = bytes ? static_cast<RGNDATA*>(HeapAlloc(GetProcessHeap(), 0, bytes)) : nullptr;
    if (data && GetRegionData(region, bytes, data) == bytes) {
      const RECT* rects = reinterpret_cast<const RECT*>(data->Buffer);
      for (DWORD i = 0; i < data->rdh.nCount; ++i) region_add(out, from_rect(rects[i]));
    } else {
      RECT box{};
      GetRgnBox(region, &box);
      region_add(out, from_rect(box));
    }
    if (data) HeapFree(GetProcessHeap(), 0, data);
  }
  DeleteObject(region);
  return region_empty(*out) ? 0 : 1;
}

u32 begin_paint(Thread* t, Handle window, Rect* paint) {
  *paint = Rect{};
  if (!find(t, window)) return 0;
  RECT box{};
  GetUpdateRect(hwnd(window), &box, FALSE);
  ValidateRect(hwnd(window), nullptr);
  *paint = from_rect(box);
  return 1;
}

void end_paint(Thread*, Handle) {}

// ---- Geometry and show state

u32 window_rect(const Thread& t, Handle window, Rect* out) {
  RECT r{};
  if (!find_const(t, window) || !GetWindowRect(hwnd(window), &r)) return 0;
  *out = from_rect(r);
  return 1;
}

u32 client_rect(const Thread& t, Handle window, Rect* out) {
  RECT r{};
  if (!find_const(t, window) || !GetClientRect(hwnd(window), &r)) return 0;
  *out = from_rect(r);
  return 1;
}

// A new size is painted whole: the class does not ask the system to redraw on sizing.
u32 set_window_pos(Thread* t, Handle window, i32 x, i32 y, i32 width, i32 height) {
  Window* w = find(t, window);
  if (!w || width < 1 || height < 1 || width > 16384 || height > 16384) return 0;
  Rect before{};
  window_rect(*t, window, &before);
  if (!SetWindowPos(hwnd(window), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE)) return 0;
  window_rect(*t, window, &w->rect);
  if (before.right - before.left != width || before.bottom - before.top != height) invalidate(t, window, nullptr);
  return 1;
}

u32 show_window(Thread* t, Handle window, u32 command) {
  Window* w = find(t, window);
  if (!w) return 0;
  const u32 was_visible = ShowWindow(hwnd(window), static_cast<int>(command)) ? 1 : 0;
  w->visible = IsWindowVisible(hwnd(window)) ? 1 : 0;
  w->iconic = IsIconic(hwnd(window)) ? 1 : 0;
  w->maximized = IsZoomed(hwnd(window)) ? 1 : 0;
  window_rect(*t, window, &w->rect);
  return was_visible;
}

bool is_visible(const Thread& t, Handle window) { return find_const(t, window) && IsWindowVisible(hwnd(window)); }
bool is_iconic(const Thread& t, Handle window) { return find_const(t, window) && IsIconic(hwnd(window)); }

u32 set_foreground(Thread* t, Handle window) {
  if (!find(t, window)) return 0;
  t->focus = window;
  return SetForegroundWindow(hwnd(window)) ? 1 : 0;
}

u32 set_title(Thread* t, Handle window, mem::Bytes title) {
  wchar_t wide[512];
  if (!find(t, window) || !winwide::utf8(title, wide, 512)) return 0;
  return SetWindowTextW(hwnd(window), wide) ? 1 : 0;
}

u32 set_opacity(Thread* t, Handle window, u8 alpha) {
  Window* w = find(t, window);
  if (!w || !(w->ex_style & ws_ex_layered)) return 0;
  if (!SetLayeredWindowAttributes(hwnd(window), 0, alpha, LWA_ALPHA)) return 0;
  w->alpha = alpha;
  return 1;
}

u32 place_below(Thread* t, Handle window, Handle above) {
  Window* w = find(t, window);
  if (!w || !IsWindow(hwnd(above))) return 0;
  if (!SetWindowPos(hwnd(window), hwnd(above), 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE)) return 0;
  w->below_of = above;
  return 1;
}

gdi::Handle set_icon(Thread* t, Handle window, u32 which, gdi::Handle icon) {
  Window* w = find(t, window);
  if (!w) return 0;
  gdi::Handle& slot = which == 1 ? w->big_icon : w->small_icon;
  const gdi::Handle before = slot;
  slot = icon;
  SendMessageW(hwnd(window), WM_SETICON, which == 1 ? ICON_BIG : ICON_SMALL,
               reinterpret_cast<LPARAM>(winpaint::icon_handle(icon)));
  return before;
}

// ---- Input state

Handle set_capture(Thread* t, Handle window) {
  const Handle before = handle_of(GetCapture());
  t->capture = window;
  SetCapture(hwnd(window));
  return before;
}

void release_capture(Thread* t) {
  t->capture = 0;
  ReleaseCapture();
}

Handle get_capture(const Thread&) { return handle_of(GetCapture()); }

u32 set_cursor(Thread* t, u32 cursor) {
  const u32 before = t->cursor;
  t->cursor = cursor;
  SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(cursor)));
  return before;
}

u32 get_cursor(const Thread& t) { return t.cursor; }

i16 key_state(const Thread&, u32 virtual_key) {
  return virtual_key > 255 ? 0 : static_cast<i16>(GetKeyState(static_cast<int>(virtual_key)));
}

u32 track_leave(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w) return 0;
  TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd(window), 0};
  if (!TrackMouseEvent(&track)) return 0;
  w->tracking_leave = 1;
  return 1;
}

u32 cursor_pos(const Thread& t, i32* x, i32* y) {
  POINT p{t.pointer_x, t.pointer_y};
  const BOOL got = GetCursorPos(&p);
  *x = p.x;
  *y = p.y;
  return got ? 1 : 0;
}

// The system's own input needs nothing of the program; these queue a message as if it had come from there.
void input(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam) { post(t, window, message, wparam, lparam); }

void pointer_left(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w || !w->tracking_leave) return;
  w->tracking_leave = 0;
  post(t, window, wm_mouseleave, 0, 0);
}

// ---- Screen facts

// The effective DPI of the monitor nearest the point, from the system's DPI library; 96 when it cannot be read.
u32 monitor_dpi(const Thread&, i32 x, i32 y) {
  HMONITOR monitor = MonitorFromPoint(POINT{x, y}, MONITOR_DEFAULTTONEAREST);
  HMODULE shcore = monitor ? LoadLibraryW(L"shcore.dll") : nullptr;
  using DpiFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  auto dpi_for = shcore ? function<DpiFn>(GetProcAddress(shcore, "GetDpiForMonitor")) : nullptr;
  UINT dpi_x = 0, dpi_y = 0;
  const bool read = dpi_for && dpi_for(monitor, 0, &dpi_x, &dpi_y) == S_OK && dpi_x != 0;
  if (shcore) FreeLibrary(shcore);
  return read ? dpi_x : 96;
}

u32 work_area(const Thread&, i32 x, i32 y, Rect* out) {
  *out = Rect{};
  HMONITOR monitor = MonitorFromPoint(POINT{x, y}, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!monitor || !GetMonitorInfoW(monitor, &info)) return 0;
  *out = from_rect(info.rcWork);
  return 1;
}

// ---- Clipboard

u32 clipboard_open(Thread* t, Handle window) {
  if (!find(t, window)) return refused;
  if (t->clipboard.opener) return busy;
  if (!OpenClipboard(hwnd(window))) return busy;
  t->clipboard.opener = window;
  return ok;
}

u32 clipboard_empty(Thread* t) {
  Clipboard* c = &t->clipboard;
  if (!c->opener) return refused;
  if (!EmptyClipboard()) return failed;
  forget_text(c);
  c->owner = c->opener;
  return ok;
}

u32 clipboard_set_text(Thread* t, const u16* text, u32 count) {
  Clipboard* c = &t->clipboard;
  if (!c->opener || c->owner != c->opener) return refused;
  if (count >= clipboard_most) return full;
  forget_text(c);
  for (u32 i = 0; i < count; ++i) c->text[i] = text[i];
  c->text[count] = 0;
  HGLOBAL block = block_of(c->text, (u64{count} + 1) * 2);
  if (!block) {
    forget_text(c);
    return failed;
  }
  if (!SetClipboardData(CF_UNICODETEXT, block)) {
    wipe_free(block);
    forget_text(c);
    return failed;
  }
  c->count = count + 1;
  return ok;
}

u32 clipboard_mark(Thread* t, u32 format) {
  Clipboard* c = &t->clipboard;
  if (!c->opener || c->count == 0 || format == 0) return refused;
  if (c->mark_count == clipboard_marks_most) return full;
  const u32 zero = 0;
  HGLOBAL block = block_of(&zero, sizeof zero);
  if (!block) return failed;
  if (!SetClipboardData(format, block)) {
    GlobalFree(block);
    return failed;
  }
  c->marks[c->mark_count++] = format;
  return ok;
}

void clipboard_close(Thread* t) {
  if (!t->clipboard.opener) return;
  CloseClipboard();
  t->clipboard.opener = 0;
}

u32 clipboard_format(mem::Bytes name) {
  wchar_t wide[65];
  if (name.len == 0 || name.len > 64 || !winwide::ascii(name, wide, 65)) return 0;
  return RegisterClipboardFormatW(wide);
}

u32 clipboard_read(Thread* t, u8* out, u32 most, u32* length) {
  *length = 0;
  if (!t->clipboard.opener) return refused;
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  const wchar_t* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
  if (!text) return ok;
  const u64 units = GlobalSize(data) / 2;
  u32 n = 0;
  while (n < most && n < units && text[n] != 0) {
    out[n] = text[n] > 0x7F ? '?' : static_cast<u8>(text[n]);
    ++n;
  }
  GlobalUnlock(data);
  *length = n;
  return ok;
}

// ---- Finding windows of other processes

Handle find_window(mem::Bytes class_name, Handle after) {
  if (!usable_class(class_name)) return 0;
  wchar_t wide[class_name_most + 1];
  wide_class(class_name, wide);
  return handle_of(FindWindowExW(nullptr, hwnd(after), wide, nullptr));
}

}  // namespace win
