#pragma once
// Windows, their message queue, timers, invalid regions and input state, with the message semantics the shell is
// written against: a queue of posted messages per thread, GetMessage/PeekMessage order (posted messages, then the
// quit request, then due timers, then a synthesised paint while a window's invalid region is not empty), timers
// that never pile up (one pending WM_TIMER per timer however late the loop is), capture, leave tracking, key state,
// double-click synthesis, show state, window and client rectangles, and presents of the kept 32-bit top-down frame.
//
// Everything lives in one Thread record that the caller owns and passes to every call; nothing is global. Window
// handles are (process id << 16) | a sequence number, unique among the live windows of the user. Each window takes
// posted messages from other processes through a datagram socket "<runtime>/windows/<handle in hex>" and is listed
// in "<runtime>/windows/<class>.<process id>", a file holding its handle in hex (what proc::find_window reads).
//
// Backends: headless (no display: the same queue, timers and presents; pixels land in an in-memory window that
// tests read back, and the own renderer's kept frame sits in the frame record), and the display backend: X11 over
// XCB, loaded with dlopen when a display is started, so modes without a window never need the X libraries. On a
// display the presents go to the X window straight from where they lie: memory the server maps (the frame record)
// is read by the server itself, anything else is copied once into a segment it shares; an expose is answered from
// those kept pixels at once.
#include "base/mem.h"
#include "platform/gdi.h"

namespace win {

using Handle = u64;  // a window; 0 none

// ---- Message numbers, keys, commands

enum : u32 {
  wm_null = 0x0000,
  wm_destroy = 0x0002,
  wm_paint = 0x000F,
  wm_close = 0x0010,
  wm_quit = 0x0012,
  wm_keydown = 0x0100,
  wm_keyup = 0x0101,
  wm_char = 0x0102,
  wm_syskeydown = 0x0104,
  wm_syskeyup = 0x0105,
  wm_syscommand = 0x0112,
  wm_timer = 0x0113,
  wm_mousemove = 0x0200,
  wm_lbuttondown = 0x0201,
  wm_lbuttonup = 0x0202,
  wm_lbuttondblclk = 0x0203,
  wm_rbuttondown = 0x0204,
  wm_rbuttonup = 0x0205,
  wm_rbuttondblclk = 0x0206,
  wm_mousewheel = 0x020A,
  wm_mouseleave = 0x02A3,
  wm_app = 0x8000,
  registered_first = 0xC000,  // numbers of registered messages: 0xC000 to 0xFFFE
};

// Show commands.
enum : u32 {
  sw_hide = 0,
  sw_shownormal = 1,
  sw_showminimized = 2,
  sw_maximize = 3,
  sw_shownoactivate = 4,
  sw_show = 5,
  sw_minimize = 6,
  sw_showminnoactive = 7,
  sw_showna = 8,
  sw_restore = 9,
  sw_showdefault = 10,
};

// Class styles and cursors (the system cursor ids).
enum : u32 { cs_dblclks = 0x8 };
// Extended window styles the layer reads. A transparent window never takes the pointer (an overlay: on a display it
// is left to itself by the window manager and has no input area); a layered one can be given an opacity.
enum : u32 {
  ws_ex_transparent = 0x20,
  ws_ex_toolwindow = 0x80,
  ws_ex_layered = 0x80000,
  ws_ex_noactivate = 0x08000000,
};
enum : u32 {
  cursor_arrow = 32512,
  cursor_size_nwse = 32642,
  cursor_size_nesw = 32643,
  cursor_size_we = 32644,
  cursor_size_ns = 32645,
};

// Virtual keys whose state the layer keeps for key_state.
enum : u32 { vk_lbutton = 0x01, vk_shift = 0x10, vk_control = 0x11, vk_menu = 0x12, vk_lwin = 0x5B, vk_rwin = 0x5C };

// The double-click rule: the second press within this time and this box around the first.
inline constexpr u32 double_click_ms = 500;
inline constexpr i32 double_click_box = 4;

// ---- Results

enum : u32 {
  ok = 0,
  no_display = 1,         // no display, and a headless window was not asked for
  no_x_library = 2,       // the X client library cannot be loaded
  refused = 3,            // a bad argument: unknown class or window, a name that cannot be used, a size out of range
  full = 4,               // a fixed capacity is used up
  failed = 5,             // the system refused (socket, runtime folder, memory)
  gone = 6,               // the window is not there (posting: no live window of that handle)
  busy = 7,               // the clipboard is held open by another program
  display_lost = 8,       // the display cannot be reached, or the connection to it broke
};
mem::Bytes code_text(u32 code);

// ---- Records

struct Rect {
  i32 left, top, right, bottom;  // right and bottom exclusive
};

struct Msg {
  Handle window;  // 0 for a thread message (the thread timer, the quit request)
  u32 message;
  u64 wparam;
  i64 lparam;
  u64 time;  // milliseconds of the layer's clock when it was queued
  i32 pt_x, pt_y;  // where the pointer was (screen px) when it was queued
};

// A region as a list of rectangles that never overlap. Past the capacity a union keeps the bounding box of the
// whole (a region only ever grows that way, so no part is lost).
inline constexpr u32 region_most = 64;
struct Region {
  u32 count;
  Rect rects[region_most];
};

inline constexpr u32 class_name_most = 63;
inline constexpr u32 classes_most = 8;
inline constexpr u32 windows_most = 8;
inline constexpr u32 queue_most = 512;
inline constexpr u32 timers_most = 32;
inline constexpr u32 wire_bytes = 24;  // a posted message on a window's socket

struct Class {
  u8 name[class_name_most];
  u8 name_length;
  u32 style;
  u32 cursor;
  gdi::Handle icon;
  u32 highlight;  // background colour 0x00BBGGRR, or no_colour
};
inline constexpr u32 no_colour = 0xFFFFFFFF;

struct Window {
  Handle handle;  // 0: the slot is free
  u32 class_index;
  u32 style, ex_style;
  Rect rect;                    // screen px
  Region invalid;               // client px
  gdi::Handle sink;             // where presents land
  gdi::Handle big_icon, small_icon;
  i32 socket;                   // -1 none
  u8 visible, iconic, maximized;
  u8 tracking_leave;            // a WM_MOUSELEAVE is owed when the pointer leaves
  u8 listed;                    // the class file names this window
  u8 alpha;                     // a layered window's opacity, 0-255 (255 until set)
  Handle below_of;              // the window this one was last placed directly below, 0 none
  u32 native;                   // the display's window, 0 on the headless backend
};

struct Timer {
  Handle window;
  u32 id;
  u32 period_ms;
  u64 due_ms;
  u8 live;
};

// The clipboard as the shell knows it: one window opens it, empties it (and so owns what it holds), sets text and
// marks, and closes it. The text is kept here on both backends: a display backend serves the CLIPBOARD selection
// from it while this thread owns it, and a headless thread simply keeps it, where tests read it back. Whatever it
// held is zeroed when it is emptied or replaced, so no copied secret outlives its place on the clipboard.
inline constexpr u32 clipboard_most = 4096;  // 16-bit units of one text, its ending 0 included
inline constexpr u32 clipboard_marks_most = 4;
struct Clipboard {
  Handle opener;  // the window that has it open, 0 while closed
  Handle owner;   // the window that emptied it last, 0 when what it holds is not ours
  u32 count;      // units held, the ending 0 included; 0: no text
  u16 text[clipboard_most];
  u32 marks[clipboard_marks_most];  // registered formats set beside the text (each with a 4-byte zero value)
  u32 mark_count;
  u32 refuse_opens;  // the next opens fail as if another program held it (headless only; tests set it)
};
struct DisplayState;  // the display backend's connection and caches (platform/linux/window_display.cpp)

struct Thread {
  u8 backend;          // backend_headless or backend_display; 0 before start
  u8 quit;             // a quit request waits
  i32 quit_code;
  u64 clock_ms;        // when not 0, the layer's clock (tests move it); else the system's monotonic clock
  u32 next_sequence;
  u32 next_thread_timer;
  Handle capture;
  Handle focus;
  u32 cursor;
  i32 pointer_x, pointer_y;  // last pointer position in screen px
  // The last button press, for double-click synthesis.
  Handle press_window;
  u32 press_message;
  u64 press_time;
  i32 press_x, press_y;
  u8 keys[256];        // bit 7 down, bit 0 toggled
  u32 head, count;     // the posted queue, a ring
  Msg queue[queue_most];
  u32 dropped;         // posts refused because the queue was full
  Timer timers[timers_most];
  Class classes[classes_most];
  u32 class_count;
  Window windows[windows_most];
  Clipboard clipboard;
  DisplayState* display;  // null on the headless backend
};

enum : u8 { backend_none = 0, backend_headless = 1, backend_display = 2 };
enum : u32 { start_any = 0, start_headless = 1, start_display = 2 };

// ---- Start and end

// Chooses the backend: start_headless always works; start_display needs a display (DISPLAY); start_any takes the
// display when there is one, else fails with no_display. A display whose X library is missing answers no_x_library
// (its text names the Debian package), one that cannot be reached display_lost. The record is cleared first.
u32 start(Thread* t, u32 how);
// Destroys every window (their files and sockets go) and clears the record.
void finish(Thread* t);

// ---- Classes and windows

// The class name: 1 to 63 bytes of letters, digits, '-' and '_' (it names files). ok, refused or full.
u32 register_class(Thread* t, mem::Bytes name, u32 style, gdi::Handle icon, u32 cursor, u32 highlight);
// For the backends: whether the class name is one register_class takes, and the class kept in the thread's record
// (refused for a name it cannot take or already holds, full without room).
bool usable_class(mem::Bytes name);
u32 keep_class(Thread* t, mem::Bytes name, u32 style, gdi::Handle icon, u32 cursor, u32 highlight);
// A window of the class at (x, y) in screen px with the size in px (1..16,384 each), hidden. Its handle, or 0 with
// the reason in *code when code is not null.
Handle create_window(Thread* t, mem::Bytes class_name, u32 style, u32 ex_style, i32 x, i32 y, i32 width, i32 height,
                     u32* code = nullptr);
// The window goes: its timers, its posted messages, its socket and its class file; capture and focus let go.
u32 destroy_window(Thread* t, Handle window);
bool is_window(const Thread& t, Handle window);
// The process id a window handle names.
u32 process_of(Handle window);
// Where the window's presents go (the drawing surface's window), 0 for none.
gdi::Handle sink(const Thread& t, Handle window);
// The record of a live window of this thread, or null.
Window* find(Thread* t, Handle window);

// ---- Posting and the queue

// Posts to a window of this thread (queued at once) or of another process (through its socket): ok, gone (no such
// window: a stale class file or socket of an ended process is removed) or full. A window of 0 posts a thread
// message.
u32 post(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam);
// Posts to a window of any process through its socket, without a thread record (a test driver, a second start).
u32 post_remote(Handle window, u32 message, u64 wparam, i64 lparam);
void post_quit(Thread* t, i32 code);

// Waits for the next message: 1 with a message, 0 for the quit request (wparam holds its code), -1 when the wait
// failed. Never returns while nothing is due; with no timer and no window it would wait forever, so it answers -1.
i32 get_message(Thread* t, Msg* out);
// The next message within the filter (window 0 = any; first and last 0 = any number) without waiting: 1 and the
// message, removed when remove is true (a paint is never removed: it lasts until the region is validated).
u32 peek_message(Thread* t, Msg* out, Handle window, u32 first, u32 last, bool remove);
// Reads what waits on the windows' sockets into the queue without blocking.
void pump(Thread* t);
// The number a registered message name gives, the same in every process: 0xC000 + FNV-1a-32(name) mod 0x3FFF.
u32 register_message(mem::Bytes name);
// Lets the message through the window's message filter, so that a process of a lower integrity level (a second
// start that is not elevated, when this window is) may post it to the window: 1 when it worked. Nothing filters
// posted messages on Linux, so there it always works.
u32 allow_message(Handle window, u32 message);

// ---- Timers

// Starts or restarts a timer of the window (id as given) or a thread timer (window 0, id 0: a new id is chosen):
// the id, 0 when no room. Its WM_TIMER comes at most once per period however late the loop is.
u32 set_timer(Thread* t, Handle window, u32 id, u32 period_ms);
u32 kill_timer(Thread* t, Handle window, u32 id);
u64 now_ms(const Thread& t);

// ---- Regions

void region_clear(Region* r);
bool region_empty(const Region& r);
// Union with a rectangle (empty rectangles change nothing).
void region_add(Region* r, Rect rect);
void region_add_region(Region* r, const Region& other);
// Difference: what lies under the rectangle (or the other region) is removed.
void region_subtract(Region* r, Rect rect);
void region_subtract_region(Region* r, const Region& other);
Rect region_box(const Region& r);
// The area covered, in px.
u64 region_area(const Region& r);
bool region_contains(const Region& r, i32 x, i32 y);

// ---- Painting

// Adds the rectangle (client px; null: the whole client area) to the window's invalid region.
void invalidate(Thread* t, Handle window, const Rect* rect);
void validate(Thread* t, Handle window, const Rect* rect);
// A copy of the invalid region: 1 when it is not empty.
u32 update_region(const Thread& t, Handle window, Region* out);
// Starts a paint: the bounding box of the invalid region into *paint, and the region is cleared. 0 for no window.
u32 begin_paint(Thread* t, Handle window, Rect* paint);
void end_paint(Thread* t, Handle window);

// ---- Geometry and show state

u32 window_rect(const Thread& t, Handle window, Rect* out);
// (0, 0, width, height) of the client area; the popup has no frame, so it is the window's size.
u32 client_rect(const Thread& t, Handle window, Rect* out);
// Moves and sizes the window (screen px); a new size invalidates the whole client area and resizes the presents.
u32 set_window_pos(Thread* t, Handle window, i32 x, i32 y, i32 width, i32 height);
// Applies the show command: 1 when the window was visible before.
u32 show_window(Thread* t, Handle window, u32 command);
bool is_visible(const Thread& t, Handle window);
// The window's title (UTF-8; a window starts with its class name): 1, or 0 for no such window. A headless window
// has nowhere to show it.
u32 set_title(Thread* t, Handle window, mem::Bytes title);
// The constant opacity of a layered window (ws_ex_layered), 0 clear to 255 opaque: 1, or 0 for no such window or
// one without the style. A display shows it where a compositor runs; without one the window stays opaque.
u32 set_opacity(Thread* t, Handle window, u8 alpha);
// Puts the window directly below `above` in the stacking order: 1, or 0 when either window is not there.
u32 place_below(Thread* t, Handle window, Handle above);
bool is_iconic(const Thread& t, Handle window);
u32 set_foreground(Thread* t, Handle window);
// Sets the window's big (which 1) or small (which 0) icon: the icon it had.
gdi::Handle set_icon(Thread* t, Handle window, u32 which, gdi::Handle icon);

// ---- Input state

Handle set_capture(Thread* t, Handle window);  // the window that had it
void release_capture(Thread* t);
Handle get_capture(const Thread& t);
u32 set_cursor(Thread* t, u32 cursor);  // the cursor before
u32 get_cursor(const Thread& t);
// Negative when the key is down (bit 15), bit 0 toggled, as GetKeyState.
i16 key_state(const Thread& t, u32 virtual_key);
// Asks for one WM_MOUSELEAVE when the pointer next leaves the window.
u32 track_leave(Thread* t, Handle window);
u32 cursor_pos(const Thread& t, i32* x, i32* y);

// Real input from the backend: updates key state and the pointer, turns a second left or right press within the
// double-click rule into a double-click for classes with cs_dblclks, and queues the message. Mouse messages carry
// client coordinates in lParam (signed 16-bit x low, y high), except WM_MOUSEWHEEL, which carries screen
// coordinates and the signed delta (120 a notch) in the high word of wParam. A key press comes as WM_KEYDOWN (or
// WM_SYSKEYDOWN with Alt held, and for F10) followed by one WM_CHAR per UTF-16 unit of the character it types; with
// Control held a letter types its control code (Ctrl+C is 3).
void input(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam);
// The pointer left the window: the owed WM_MOUSELEAVE, once.
void pointer_left(Thread* t, Handle window);

// ---- Screen facts

// The DPI of the monitor nearest the point, 96 when unknown (headless: 96).
u32 monitor_dpi(const Thread& t, i32 x, i32 y);
// The work area of the monitor nearest the point: 1 and the rectangle, 0 when there is no monitor (headless).
u32 work_area(const Thread& t, i32 x, i32 y, Rect* out);

// ---- Clipboard

// Opens the clipboard for the window: ok, busy (another window or program has it open) or refused (no such window).
u32 clipboard_open(Thread* t, Handle window);
// Empties the open clipboard (what it held is zeroed) and makes the opener its owner: ok or refused (not open).
u32 clipboard_empty(Thread* t);
// Puts count units and an ending 0 on the emptied clipboard: ok, refused (not open or not emptied by the opener) or
// full (longer than clipboard_most - 1 units). What it held before is zeroed.
u32 clipboard_set_text(Thread* t, const u16* text, u32 count);
// Sets a registered format (clipboard_format) with a 4-byte zero value beside the text: ok, refused (not open, no
// text) or full. The marks ask clipboard histories and monitors to leave the text alone.
u32 clipboard_mark(Thread* t, u32 format);
void clipboard_close(Thread* t);
// The number of a registered clipboard format; formats and messages share one numbering, as on Windows.
u32 clipboard_format(mem::Bytes name);
// The 8-bit text form of the open clipboard's text into out: bytes up to the first 0 and at most `most`, each unit
// above 0x7F as '?'. ok (even with no text: length 0) or refused (not open).
// On a display, text another program holds is asked of it (waiting up to a second for its answer).
u32 clipboard_read(Thread* t, u8* out, u32 most, u32* length);

// ---- Wire format of a posted message (24 bytes, little-endian: u32 message, u32 0, u64 wParam, i64 lParam)

void wire_put(u8* out24, u32 message, u64 wparam, i64 lparam);
// 1 when the bytes are one well-formed record.
u32 wire_get(const u8* bytes, u64 length, u32* message, u64* wparam, i64* lparam);

// ---- Finding windows of other processes

// The next live window of the class after `after` (0: the first), in the order of process ids; entries of ended
// processes are removed on the way. 0 when there is none.
Handle find_window(mem::Bytes class_name, Handle after);

}  // namespace win
