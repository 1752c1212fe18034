// The display backend: the window layer's windows on an X11 display, over XCB loaded with dlopen when a display is
// started, so that modes without a window never need the X libraries. MIT-SHM (libxcb-shm, also loaded) carries
// presents when the server shares memory with us; a remote display takes plain put-image requests in strips.
//
// Presents of a window go to the X window without an in-memory copy of their own (the sink keeps only the size):
// from the frame record itself when the server maps it (MIT-SHM 1.2, by descriptor), else copied once into a
// segment the server shares; an expose is answered from those kept pixels at once. Geometry, the DPI and the work
// area are cached and refreshed from events, so handling a message costs no round trip to the server.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <time.h>
#include <xcb/randr.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "platform/gdi.h"
#include "platform/linux/window_backend.h"

namespace win {
namespace {

// The calls used, looked up by name; each member has the type of the function it stands for.
#define WIN_XCB_CALLS(X)                                                                                          \
  X(xcb_connect) X(xcb_disconnect) X(xcb_connection_has_error) X(xcb_get_setup) X(xcb_setup_roots_iterator)      \
  X(xcb_screen_next) X(xcb_screen_allowed_depths_iterator) X(xcb_depth_next) X(xcb_depth_visuals_iterator)       \
  X(xcb_visualtype_next) X(xcb_setup_pixmap_formats_iterator) X(xcb_format_next) X(xcb_generate_id)              \
  X(xcb_get_file_descriptor) X(xcb_flush) X(xcb_poll_for_event) X(xcb_intern_atom) X(xcb_intern_atom_reply)      \
  X(xcb_create_window_checked) X(xcb_destroy_window) X(xcb_map_window) X(xcb_unmap_window) X(xcb_configure_window)       \
  X(xcb_change_property) X(xcb_delete_property) X(xcb_change_window_attributes) X(xcb_create_gc) X(xcb_free_gc)  \
  X(xcb_put_image) X(xcb_get_property) X(xcb_get_property_reply) X(xcb_get_property_value)                       \
  X(xcb_get_property_value_length) X(xcb_get_keyboard_mapping) X(xcb_get_keyboard_mapping_reply)                 \
  X(xcb_get_keyboard_mapping_keysyms) X(xcb_send_event) X(xcb_set_selection_owner) X(xcb_get_selection_owner)    \
  X(xcb_get_selection_owner_reply) X(xcb_convert_selection) X(xcb_grab_pointer) X(xcb_ungrab_pointer)            \
  X(xcb_discard_reply) X(xcb_open_font) X(xcb_close_font) X(xcb_create_glyph_cursor) X(xcb_free_cursor)          \
  X(xcb_translate_coordinates) X(xcb_translate_coordinates_reply) X(xcb_get_maximum_request_length)              \
  X(xcb_set_input_focus) X(xcb_request_check) X(xcb_get_extension_data) X(xcb_query_tree)                       \
  X(xcb_query_tree_reply)
#define WIN_SHM_CALLS(X) \
  X(xcb_shm_query_version) X(xcb_shm_query_version_reply) X(xcb_shm_attach_checked) X(xcb_shm_detach) X(xcb_shm_put_image) \
  X(xcb_shm_attach_fd_checked)

#define WIN_SHAPE_CALLS(X) X(xcb_shape_rectangles)

#define WIN_RANDR_CALLS(X)                                                                                        \
  X(xcb_randr_query_version) X(xcb_randr_query_version_reply) X(xcb_randr_get_monitors)                          \
  X(xcb_randr_get_monitors_reply) X(xcb_randr_get_monitors_monitors_iterator) X(xcb_randr_monitor_info_next)     \
  X(xcb_randr_select_input)

#define WIN_MEMBER(name) decltype(&::name) name;
struct Xcb {
  WIN_XCB_CALLS(WIN_MEMBER)
};
struct Shm {
  WIN_SHM_CALLS(WIN_MEMBER)
};
struct Randr {
  WIN_RANDR_CALLS(WIN_MEMBER)
};
struct Shape {
  WIN_SHAPE_CALLS(WIN_MEMBER)
};
#undef WIN_MEMBER

template <typename F>
bool look_up(void* library, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(library, name));
  return *out != nullptr;
}

// The atoms the backend uses, interned together at the start.
enum Atom : u32 {
  a_wm_protocols, a_wm_delete_window, a_wm_change_state, a_net_wm_name, a_utf8_string, a_net_wm_icon,
  a_motif_wm_hints, a_net_workarea, a_net_current_desktop, a_net_wm_window_type, a_net_wm_window_type_utility,
  a_net_wm_window_type_normal, a_net_wm_state, a_net_wm_state_skip_taskbar, a_net_wm_user_time,
  a_net_active_window, a_net_wm_pid, a_clipboard, a_targets, a_text, a_password_hint, a_paste,
  a_net_wm_window_opacity, a_wm_s0, a_net_supporting_wm_check, atom_count
};
const char* const atom_names[atom_count] = {
    "WM_PROTOCOLS", "WM_DELETE_WINDOW", "WM_CHANGE_STATE", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_ICON",
    "_MOTIF_WM_HINTS", "_NET_WORKAREA", "_NET_CURRENT_DESKTOP", "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_USER_TIME", "_NET_ACTIVE_WINDOW", "_NET_WM_PID", "CLIPBOARD", "TARGETS", "TEXT",
    "x-kde-passwordManagerHint", "VIMBREL_PASTE", "_NET_WM_WINDOW_OPACITY", "WM_S0", "_NET_SUPPORTING_WM_CHECK",
};

// The cursor font's glyphs for the system cursors, in the order of cursor_ids.
constexpr u32 cursor_ids[5] = {cursor_arrow, cursor_size_nwse, cursor_size_nesw, cursor_size_we, cursor_size_ns};
constexpr u16 cursor_glyphs[5] = {68 /* left_ptr */, 14 /* bottom_right_corner */, 12 /* bottom_left_corner */,
                                  108 /* sb_h_double_arrow */, 116 /* sb_v_double_arrow */};

constexpr u32 clipboard_bytes_most = 16384;
constexpr u32 monitors_most = 16;
constexpr u64 paste_wait_ms = 1000;

// Where the pixels an X window shows are kept, so that an expose is answered from them at once: memory the
// server maps itself (the frame record the program draws into, attached by its descriptor), else a copy of our
// own (a SysV segment the server shares, or plain memory for a server that shares none).
struct Segment {
  u32 id;  // the server's segment, 0 none
  int key;
  u8* memory;
  u64 bytes;
};
struct Kept {
  Segment own;        // the copy: rows of `own_stride` pixels
  u32 own_stride;
  u32 shared_id;      // the server's segment of the shared memory, 0 none
  u64 share;          // the share number (gdi::Block) it was attached for
  u64 shared_bytes;
  const u32* origin;  // the window's pixel (0, 0) inside the shared memory, its byte offset there and the stride
  u64 origin_offset;
  u32 origin_stride;
  u8 from_shared;     // the last present came from the shared memory: an expose is answered from there
};

}  // namespace

struct DisplayState {
  void* library;
  void* shm_library;
  void* randr_library;
  void* shape_library;
  Xcb x;
  Shm s;
  Randr r;
  Shape p;
  xcb_extension_t* shape_id;
  bool shape;        // overlays can be given an empty input area
  xcb_extension_t* randr_id;
  bool randr;        // monitors come from RandR
  u8 randr_events;   // the first event number of RandR
  xcb_extension_t* shm_id;
  bool shm;     // presents go through shared memory
  bool shm_fd;  // the server maps memory we pass by descriptor (a local connection, MIT-SHM 1.2)
  xcb_connection_t* c;
  xcb_window_t root;
  xcb_visualid_t visual;
  u8 depth;
  u16 screen_width, screen_height, screen_mm_width;
  u32 request_bytes;  // the largest request the server takes
  xcb_gcontext_t gc;
  xcb_atom_t atoms[atom_count];
  xcb_cursor_t cursors[5];
  u8 min_keycode, max_keycode, per_keycode;
  xcb_keysym_t* keysyms;
  u32 dpi;
  Rect work;  // the desktop's work area over all monitors
  u32 monitor_count;
  Rect monitors[monitors_most];
  xcb_timestamp_t time;          // the last server time an event carried
  xcb_generic_event_t* held;     // an event read ahead while telling key repeats from releases
  Kept kept[windows_most];
  // The CLIPBOARD selection while a window of ours owns it.
  xcb_window_t clip_owner;
  u8 clip_secret;
  u32 clip_length;
  u8 clip[clipboard_bytes_most];
};

namespace {

u64 clock_now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return u64(t.tv_sec) * 1000 + u64(t.tv_nsec) / 1000000;
}

Window* by_native(Thread* t, xcb_window_t native) {
  for (Window& w : t->windows)
    if (w.handle && w.native == native) return &w;
  return nullptr;
}

Window* by_sink(Thread* t, gdi::Handle sink) {
  for (Window& w : t->windows)
    if (w.handle && w.sink == sink) return &w;
  return nullptr;
}

void wipe(DisplayState* d) {
  explicit_bzero(d->clip, sizeof d->clip);
  d->clip_length = 0;
  d->clip_secret = 0;
  d->clip_owner = 0;
}

// ---- Loading and connecting

bool load(DisplayState* d) {
  d->library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!d->library) return false;
  bool found = true;
#define WIN_FIND(name) found = look_up(d->library, #name, &d->x.name) && found;
  WIN_XCB_CALLS(WIN_FIND)
#undef WIN_FIND
  if (!found) return false;
  // Shared memory is only a faster road: without its library presents take put-image.
  d->shm_library = dlopen("libxcb-shm.so.0", RTLD_NOW | RTLD_LOCAL);
  bool shm = d->shm_library != nullptr;
#define WIN_FIND(name) shm = shm && look_up(d->shm_library, #name, &d->s.name);
  WIN_SHM_CALLS(WIN_FIND)
#undef WIN_FIND
  d->shm_id = shm ? static_cast<xcb_extension_t*>(dlsym(d->shm_library, "xcb_shm_id")) : nullptr;
  d->shm = d->shm_id != nullptr;
  // Without RandR the screen is one monitor.
  d->randr_library = dlopen("libxcb-randr.so.0", RTLD_NOW | RTLD_LOCAL);
  bool randr = d->randr_library != nullptr;
#define WIN_FIND(name) randr = randr && look_up(d->randr_library, #name, &d->r.name);
  WIN_RANDR_CALLS(WIN_FIND)
#undef WIN_FIND
  d->randr_id = randr ? static_cast<xcb_extension_t*>(dlsym(d->randr_library, "xcb_randr_id")) : nullptr;
  // Without SHAPE an overlay keeps its input area; the pointer grab of the drag that shows it still keeps the
  // pointer away from it.
  d->shape_library = dlopen("libxcb-shape.so.0", RTLD_NOW | RTLD_LOCAL);
  bool shape = d->shape_library != nullptr;
#define WIN_FIND(name) shape = shape && look_up(d->shape_library, #name, &d->p.name);
  WIN_SHAPE_CALLS(WIN_FIND)
#undef WIN_FIND
  d->shape_id = shape ? static_cast<xcb_extension_t*>(dlsym(d->shape_library, "xcb_shape_id")) : nullptr;
  return true;
}

void intern_atoms(DisplayState* d) {
  xcb_intern_atom_cookie_t cookies[atom_count];
  for (u32 i = 0; i < atom_count; ++i)
    cookies[i] = d->x.xcb_intern_atom(d->c, 0, static_cast<u16>(strlen(atom_names[i])), atom_names[i]);
  for (u32 i = 0; i < atom_count; ++i) {
    xcb_intern_atom_reply_t* r = d->x.xcb_intern_atom_reply(d->c, cookies[i], nullptr);
    d->atoms[i] = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(r);
  }
}

// The screen's own visual must be 24-bit true colour with red, green and blue in the bytes a 0xAARRGGBB pixel keeps
// them in, so the kept pixels go to the server as they are.
bool usable_visual(DisplayState* d, const xcb_setup_t* setup, xcb_screen_t* screen) {
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool visual = false;
  for (auto depths = d->x.xcb_screen_allowed_depths_iterator(screen); depths.rem; d->x.xcb_depth_next(&depths)) {
    if (depths.data->depth != screen->root_depth) continue;
    for (auto v = d->x.xcb_depth_visuals_iterator(depths.data); v.rem; d->x.xcb_visualtype_next(&v))
      if (v.data->visual_id == screen->root_visual)
        visual = v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR && v.data->red_mask == 0xFF0000 &&
                 v.data->green_mask == 0xFF00 && v.data->blue_mask == 0xFF;
  }
  bool format = false;
  for (auto f = d->x.xcb_setup_pixmap_formats_iterator(setup); f.rem; d->x.xcb_format_next(&f))
    if (f.data->depth == screen->root_depth) format = f.data->bits_per_pixel == 32;
  return visual && format;
}

void make_cursors(DisplayState* d) {
  const xcb_font_t font = d->x.xcb_generate_id(d->c);
  d->x.xcb_open_font(d->c, font, 6, "cursor");
  for (u32 i = 0; i < 5; ++i) {
    d->cursors[i] = d->x.xcb_generate_id(d->c);
    d->x.xcb_create_glyph_cursor(d->c, d->cursors[i], font, font, cursor_glyphs[i], cursor_glyphs[i] + 1, 0, 0, 0,
                                 0xFFFF, 0xFFFF, 0xFFFF);
  }
  d->x.xcb_close_font(d->c, font);
}

xcb_cursor_t cursor_of(const DisplayState* d, u32 cursor) {
  for (u32 i = 0; i < 5; ++i)
    if (cursor_ids[i] == cursor) return d->cursors[i];
  return d->cursors[0];
}

void read_keymap(DisplayState* d) {
  free(d->keysyms);
  d->keysyms = nullptr;
  d->per_keycode = 0;
  const u8 count = static_cast<u8>(d->max_keycode - d->min_keycode + 1);
  auto* r = d->x.xcb_get_keyboard_mapping_reply(
      d->c, d->x.xcb_get_keyboard_mapping(d->c, d->min_keycode, count), nullptr);
  if (!r) return;
  const u64 n = u64(count) * r->keysyms_per_keycode;
  d->keysyms = static_cast<xcb_keysym_t*>(malloc(n * sizeof(xcb_keysym_t)));
  if (d->keysyms) {
    memcpy(d->keysyms, d->x.xcb_get_keyboard_mapping_keysyms(r), n * sizeof(xcb_keysym_t));
    d->per_keycode = r->keysyms_per_keycode;
  }
  free(r);
}

// A property of a window into out (at most `most` bytes): its length, or -1 when it is missing.
i64 read_property(DisplayState* d, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, u8* out, u64 most,
                  bool remove = false) {
  auto* r = d->x.xcb_get_property_reply(
      d->c, d->x.xcb_get_property(d->c, remove, window, property, type, 0, static_cast<u32>((most + 3) / 4)), nullptr);
  if (!r) return -1;
  i64 n = -1;
  if (r->type != XCB_ATOM_NONE) {
    const u64 length = static_cast<u64>(d->x.xcb_get_property_value_length(r));
    n = static_cast<i64>(length < most ? length : most);
    memcpy(out, d->x.xcb_get_property_value(r), static_cast<u64>(n));
  }
  free(r);
  return n;
}

u32 clamp_dpi(u64 dpi) { return dpi < 96 ? 96 : dpi > 960 ? 960 : static_cast<u32>(dpi); }

// The DPI desktop scaling sets in the Xft.dpi resource; without one, the one the screen's size gives.
void read_dpi(DisplayState* d) {
  static constexpr u64 most = 65536;
  u8* text = static_cast<u8*>(malloc(most));
  i64 n = text ? read_property(d, d->root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, text, most) : -1;
  const char key[] = "Xft.dpi:";
  const u64 key_length = sizeof key - 1;
  for (i64 i = 0; i + static_cast<i64>(key_length) <= n; ++i) {
    if ((i > 0 && text[i - 1] != '\n') || memcmp(text + i, key, key_length) != 0) continue;
    i64 k = i + static_cast<i64>(key_length);
    while (k < n && (text[k] == ' ' || text[k] == '\t')) ++k;
    u64 whole = 0, tenths = 0;
    bool digits = false;
    for (; k < n && text[k] >= '0' && text[k] <= '9' && whole < 100000; ++k, digits = true) whole = whole * 10 + (text[k] - '0');
    if (k + 1 < n && text[k] == '.' && text[k + 1] >= '0' && text[k + 1] <= '9') tenths = text[k + 1] - '0';
    if (digits) {
      free(text);
      d->dpi = clamp_dpi(whole + (tenths >= 5 ? 1 : 0));
      return;
    }
  }
  free(text);
  d->dpi = d->screen_mm_width ? clamp_dpi((u64{d->screen_width} * 254 + d->screen_mm_width * 5) / (u64{d->screen_mm_width} * 10)) : 96;
}

// The work area of the current desktop as the window manager publishes it; without one, the whole screen.
void read_work_area(DisplayState* d) {
  d->work = Rect{0, 0, d->screen_width, d->screen_height};
  u32 desktop = 0;
  if (read_property(d, d->root, d->atoms[a_net_current_desktop], XCB_ATOM_CARDINAL, reinterpret_cast<u8*>(&desktop),
                    4) != 4)
    desktop = 0;
  u32 areas[4 * 32];
  const i64 n = read_property(d, d->root, d->atoms[a_net_workarea], XCB_ATOM_CARDINAL, reinterpret_cast<u8*>(areas),
                              sizeof areas);
  if (desktop >= 32 || n < static_cast<i64>((desktop + 1) * 16)) desktop = 0;
  if (n < 16) return;
  const u32* a = areas + desktop * 4;
  if (a[2] == 0 || a[3] == 0 || a[2] > 65535 || a[3] > 65535) return;
  d->work = Rect{static_cast<i32>(a[0]), static_cast<i32>(a[1]), static_cast<i32>(a[0] + a[2]),
                 static_cast<i32>(a[1] + a[3])};
}

// The monitors as RandR lists them (active ones), else the whole screen as one.
void read_monitors(DisplayState* d) {
  d->monitor_count = 0;
  auto* r = d->randr ? d->r.xcb_randr_get_monitors_reply(d->c, d->r.xcb_randr_get_monitors(d->c, d->root, 1), nullptr)
                     : nullptr;
  if (r) {
    for (auto m = d->r.xcb_randr_get_monitors_monitors_iterator(r); m.rem && d->monitor_count < monitors_most;
         d->r.xcb_randr_monitor_info_next(&m))
      if (m.data->width > 0 && m.data->height > 0)
        d->monitors[d->monitor_count++] =
            Rect{m.data->x, m.data->y, m.data->x + m.data->width, m.data->y + m.data->height};
    free(r);
  }
  if (d->monitor_count == 0) d->monitors[d->monitor_count++] = Rect{0, 0, d->screen_width, d->screen_height};
}

// The virtual screen: the root window, and every monitor (one may lie beyond the root while RandR changes).
void screen_size(const DisplayState* d, i32* width, i32* height) {
  *width = d->screen_width;
  *height = d->screen_height;
  for (u32 i = 0; i < d->monitor_count; ++i) {
    if (d->monitors[i].right > *width) *width = d->monitors[i].right;
    if (d->monitors[i].bottom > *height) *height = d->monitors[i].bottom;
  }
}

void tell_screen(Thread* t) {
  i32 width = 0, height = 0;
  screen_size(t->display, &width, &height);
  for (Window& w : t->windows)
    if (w.handle && w.native) gdi::set_screen(w.sink, width, height);
}

// The monitor nearest the point: the one holding it, else the one the shortest way off.
const Rect& nearest_monitor(const DisplayState* d, i32 x, i32 y) {
  u32 best = 0;
  i64 best_distance = -1;
  for (u32 i = 0; i < d->monitor_count; ++i) {
    const Rect& m = d->monitors[i];
    const i64 dx = x < m.left ? i64{m.left} - x : x >= m.right ? i64{x} - m.right + 1 : 0;
    const i64 dy = y < m.top ? i64{m.top} - y : y >= m.bottom ? i64{y} - m.bottom + 1 : 0;
    const i64 distance = dx * dx + dy * dy;
    if (best_distance < 0 || distance < best_distance) {
      best = i;
      best_distance = distance;
    }
  }
  return d->monitors[best];
}

// ---- Presents

void drop_own(DisplayState* d, Segment* s) {
  if (s->id) {
    if (!d->x.xcb_connection_has_error(d->c)) d->s.xcb_shm_detach(d->c, s->id);
    shmdt(s->memory);
  } else {
    free(s->memory);
  }
  *s = Segment{};
}

void drop_shared(DisplayState* d, Kept* k) {
  if (k->shared_id && !d->x.xcb_connection_has_error(d->c)) d->s.xcb_shm_detach(d->c, k->shared_id);
  k->shared_id = 0;
  k->share = 0;
  k->from_shared = 0;
}

// Our own copy's memory of at least `bytes`: a segment the server shares, or plain memory when it shares none.
u8* own_memory(DisplayState* d, Kept* k, u64 bytes) {
  Segment& s = k->own;
  if (s.memory && s.bytes >= bytes) return s.memory;
  drop_own(d, &s);
  if (!d->shm) {
    s.memory = static_cast<u8*>(malloc(bytes));
    s.bytes = s.memory ? bytes : 0;
    return s.memory;
  }
  const int key = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (key < 0) return nullptr;
  void* memory = shmat(key, nullptr, 0);
  if (memory == reinterpret_cast<void*>(-1)) {
    shmctl(key, IPC_RMID, nullptr);
    return nullptr;
  }
  const u32 id = d->x.xcb_generate_id(d->c);
  xcb_generic_error_t* error = d->x.xcb_request_check(d->c, d->s.xcb_shm_attach_checked(d->c, id, key, 1));
  // Marked for removal at once: the segment goes when both sides let go, even if this process is killed.
  shmctl(key, IPC_RMID, nullptr);
  if (error) {
    free(error);
    shmdt(memory);
    d->shm = false;  // the server cannot share our memory (a remote display): plain requests from now on
    return own_memory(d, k, bytes);
  }
  s = Segment{id, key, static_cast<u8*>(memory), bytes};
  return s.memory;
}

// The server's segment for the shared memory of the block (attached read-only, once per share): 0 when the server
// cannot map it, and then never asked again.
u32 shared_segment(DisplayState* d, Kept* k, const gdi::Block& b) {
  if (!d->shm_fd || b.share == 0 || b.share_fd < 0) return 0;
  if (k->shared_id && k->share == b.share) return k->shared_id;
  drop_shared(d, k);
  const int fd = fcntl(b.share_fd, F_DUPFD_CLOEXEC, 0);  // the library closes what it passes
  if (fd < 0) return 0;
  const u32 id = d->x.xcb_generate_id(d->c);
  xcb_generic_error_t* error = d->x.xcb_request_check(d->c, d->s.xcb_shm_attach_fd_checked(d->c, id, fd, 1));
  if (error) {
    free(error);
    d->shm_fd = false;
    return 0;
  }
  k->shared_id = id;
  k->share = b.share;
  k->shared_bytes = b.share_bytes;
  return id;
}

// Puts rows of pixels held in a server segment: the block at (x, y) of an image of `stride` pixels a row that
// starts at byte `offset` of the segment.
void put_from(DisplayState* d, Window* w, u32 segment, u64 offset, u32 stride, i32 x, i32 y, i32 width, i32 height) {
  d->s.xcb_shm_put_image(d->c, w->native, d->gc, static_cast<u16>(stride), static_cast<u16>(y + height),
                         static_cast<u16>(x), static_cast<u16>(y), static_cast<u16>(width), static_cast<u16>(height),
                         static_cast<i16>(x), static_cast<i16>(y), d->depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment,
                         static_cast<u32>(offset));
}

// Sends rows top..top+count of our own copy with plain requests, in strips the server takes.
void put_plain(DisplayState* d, Window* w, const Kept& k, i32 top, i32 count) {
  const u64 row_bytes = u64(k.own_stride) * 4;
  const u64 room = d->request_bytes > 64 ? d->request_bytes - 64 : 0;
  const i32 strip = room / row_bytes > 0 ? static_cast<i32>(room / row_bytes < 65535 ? room / row_bytes : 65535) : 1;
  for (i32 y = top; y < top + count; y += strip) {
    const i32 rows = top + count - y < strip ? top + count - y : strip;
    d->x.xcb_put_image(d->c, XCB_IMAGE_FORMAT_Z_PIXMAP, w->native, d->gc, static_cast<u16>(k.own_stride),
                       static_cast<u16>(rows), 0, static_cast<i16>(y), 0, d->depth,
                       static_cast<u32>(row_bytes * rows), k.own.memory + row_bytes * y);
  }
}

// Sends a block of the window's kept pixels again (an expose): from the shared memory when the last present came
// from there, else from our own copy.
void resend(Thread* t, Window* w, i32 x, i32 y, i32 width, i32 height) {
  DisplayState* d = t->display;
  Kept& k = d->kept[w - t->windows];
  const i32 window_width = w->rect.right - w->rect.left, window_height = w->rect.bottom - w->rect.top;
  if (x < 0) width += x, x = 0;
  if (y < 0) height += y, y = 0;
  if (x + width > window_width) width = window_width - x;
  if (y + height > window_height) height = window_height - y;
  if (width <= 0 || height <= 0) return;
  if (k.from_shared && k.shared_id) {
    put_from(d, w, k.shared_id, k.origin_offset, k.origin_stride, x, y, width, height);
  } else if (k.own.memory && k.own_stride == static_cast<u32>(window_width) &&
             u64(y + height) * k.own_stride * 4 <= k.own.bytes) {
    if (k.own.id) put_from(d, w, k.own.id, 0, k.own_stride, x, y, width, height);
    else put_plain(d, w, k, y, height);
  }
  d->x.xcb_flush(d->c);
}

// A present: pixels in memory the server maps go from where they are; others are copied once into our own copy
// and go from there. The server reads a put when it takes the request, within the same paint; a frame drawn
// before that could only show its own newer pixels early, which its own present then sends anyway. The blocks of
// one frame go out in one write of the connection, at the frame's end (the empty block).
u32 on_present(void* context, gdi::Handle sink, const gdi::Block& b) {
  Thread* t = static_cast<Thread*>(context);
  Window* w = by_sink(t, sink);
  if (!w || !w->native) return 0;
  DisplayState* d = t->display;
  if (b.width <= 0) return d->x.xcb_flush(d->c) > 0 ? 1 : 0;
  Kept& k = d->kept[w - t->windows];
  if (const u32 segment = shared_segment(d, &k, b)) {
    const u64 corner = (u64(b.y) * b.stride + u64(b.x)) * 4;
    if (b.share_offset >= corner) {
      k.origin = b.pixels - (u64(b.y) * b.stride + u64(b.x));
      k.origin_offset = b.share_offset - corner;
      k.origin_stride = b.stride;
      k.from_shared = 1;
      put_from(d, w, segment, k.origin_offset, k.origin_stride, b.x, b.y, b.width, b.height);
      if (!b.held) d->x.xcb_flush(d->c);
      return 1;
    }
  }
  const i32 width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
  if (b.x + b.width > width || b.y + b.height > height) return 0;
  u8* memory = own_memory(d, &k, u64(width) * u64(height) * 4);
  if (!memory) return 0;
  if (k.own_stride != static_cast<u32>(width) || k.from_shared) {
    // A new layout of the copy, or a copy that falls behind the shared memory: what it held is no longer shown.
    k.own_stride = static_cast<u32>(width);
    k.from_shared = 0;
  }
  for (i32 row = 0; row < b.height; ++row)
    memcpy(memory + (u64(b.y + row) * k.own_stride + u64(b.x)) * 4, b.pixels + u64(row) * b.stride, u64(b.width) * 4);
  if (k.own.id) put_from(d, w, k.own.id, 0, k.own_stride, b.x, b.y, b.width, b.height);
  else put_plain(d, w, k, b.y, b.height);
  if (!b.held) d->x.xcb_flush(d->c);
  return 1;
}

// ---- Keys

xcb_keysym_t keysym(const DisplayState* d, u8 code, u32 level) {
  if (!d->keysyms || code < d->min_keycode || code > d->max_keycode) return 0;
  const xcb_keysym_t* row = d->keysyms + u64(code - d->min_keycode) * d->per_keycode;
  const xcb_keysym_t plain = d->per_keycode > 0 ? row[0] : 0;
  if (level == 0) return plain;
  const xcb_keysym_t shifted = d->per_keycode > 1 ? row[1] : 0;
  if (shifted) return shifted;
  // One symbol listed for a letter means its shifted form is the capital.
  return plain >= 'a' && plain <= 'z' ? plain - 32 : plain;
}

struct KeyName {
  u16 keysym;
  u8 vk;
};
constexpr KeyName named_keys[] = {
    {0xFF08, 0x08}, {0xFF09, 0x09}, {0xFF0D, 0x0D}, {0xFF8D, 0x0D}, {0xFF1B, 0x1B}, {0xFF13, 0x13},
    {0xFF50, 0x24}, {0xFF51, 0x25}, {0xFF52, 0x26}, {0xFF53, 0x27}, {0xFF54, 0x28}, {0xFF55, 0x21},
    {0xFF56, 0x22}, {0xFF57, 0x23}, {0xFF63, 0x2D}, {0xFFFF, 0x2E}, {0xFF67, 0x5D}, {0xFFE1, vk_shift},
    {0xFFE2, vk_shift}, {0xFFE3, vk_control}, {0xFFE4, vk_control}, {0xFFE9, vk_menu}, {0xFFEA, vk_menu},
    {0xFE03, vk_menu}, {0xFFEB, vk_lwin}, {0xFFEC, vk_rwin}, {0xFFE5, 0x14}, {0xFF7F, 0x90}, {0xFF14, 0x91},
    {0xFF61, 0x2C}, {0xFF95, 0x24}, {0xFF96, 0x25}, {0xFF97, 0x26}, {0xFF98, 0x27}, {0xFF99, 0x28},
    {0xFF9A, 0x21}, {0xFF9B, 0x22}, {0xFF9C, 0x23}, {0xFF9E, 0x2D}, {0xFF9F, 0x2E}, {0xFFAA, 0x6A},
    {0xFFAB, 0x6B}, {0xFFAD, 0x6D}, {0xFFAE, 0x6E}, {0xFFAF, 0x6F},
    {' ', 0x20}, {';', 0xBA}, {':', 0xBA}, {'=', 0xBB}, {'+', 0xBB}, {',', 0xBC}, {'<', 0xBC}, {'-', 0xBD},
    {'_', 0xBD}, {'.', 0xBE}, {'>', 0xBE}, {'/', 0xBF}, {'?', 0xBF}, {'`', 0xC0}, {'~', 0xC0}, {'[', 0xDB},
    {'{', 0xDB}, {'\\', 0xDC}, {'|', 0xDC}, {']', 0xDD}, {'}', 0xDD}, {'\'', 0xDE}, {'"', 0xDE},
};

// The virtual key of a key's plain symbol, 0 for none.
u32 virtual_key(xcb_keysym_t sym) {
  if (sym >= 'a' && sym <= 'z') return sym - 32;
  if ((sym >= 'A' && sym <= 'Z') || (sym >= '0' && sym <= '9')) return sym;
  if (sym >= 0xFFBE && sym <= 0xFFD5) return 0x70 + (sym - 0xFFBE);  // F1 to F24
  if (sym >= 0xFFB0 && sym <= 0xFFB9) return 0x60 + (sym - 0xFFB0);  // keypad digits
  for (const KeyName& k : named_keys)
    if (k.keysym == sym) return k.vk;
  return 0;
}

// The character a symbol types (a Unicode code point), 0 for none.
u32 character(xcb_keysym_t sym) {
  if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) return sym;
  if ((sym & 0xFF000000u) == 0x01000000u) return sym & 0x00FFFFFFu;
  if (sym >= 0xFFB0 && sym <= 0xFFB9) return '0' + (sym - 0xFFB0);
  switch (sym) {
    case 0xFF08: return 8;
    case 0xFF09: return 9;
    case 0xFF0D:
    case 0xFF8D: return 13;
    case 0xFF1B: return 27;
    case 0xFFAA: return '*';
    case 0xFFAB: return '+';
    case 0xFFAD: return '-';
    case 0xFFAE: return '.';
    case 0xFFAF: return '/';
  }
  return 0;
}

// The modifiers and buttons an event's state names, as key state and as the MK_ flags of mouse messages.
void sync_modifiers(Thread* t, u16 state) {
  const u8 down[4] = {u8(state & XCB_MOD_MASK_SHIFT), u8(state & XCB_MOD_MASK_CONTROL), u8(state & XCB_MOD_MASK_1),
                      u8(state & XCB_MOD_MASK_4)};
  const u32 keys[4] = {vk_shift, vk_control, vk_menu, vk_lwin};
  for (u32 i = 0; i < 4; ++i) {
    if (down[i]) {
      t->keys[keys[i]] |= 0x80;
    } else {
      t->keys[keys[i]] &= 0x7F;
    }
  }
  if (!(state & XCB_MOD_MASK_4)) t->keys[vk_rwin] &= 0x7F;
}

u64 mouse_flags(u16 state) {
  u64 f = 0;
  if (state & XCB_BUTTON_MASK_1) f |= 0x01;
  if (state & XCB_BUTTON_MASK_3) f |= 0x02;
  if (state & XCB_MOD_MASK_SHIFT) f |= 0x04;
  if (state & XCB_MOD_MASK_CONTROL) f |= 0x08;
  if (state & XCB_BUTTON_MASK_2) f |= 0x10;
  return f;
}

i64 point(i32 x, i32 y) { return static_cast<i64>((u32(u16(x))) | (u32(u16(y)) << 16)); }

void key_press(Thread* t, Window* w, const xcb_key_press_event_t* e, bool repeat) {
  const DisplayState* d = t->display;
  sync_modifiers(t, e->state);
  const bool alt = e->state & XCB_MOD_MASK_1, control = e->state & XCB_MOD_MASK_CONTROL;
  const xcb_keysym_t plain = keysym(d, e->detail, 0);
  const u32 vk = virtual_key(plain);
  const i64 info = 1 | (i64{static_cast<u8>(e->detail - 8)} << 16) | (alt ? i64{1} << 29 : 0) |
                   (repeat ? i64{1} << 30 : 0);
  if (vk) input(t, w->handle, alt || vk == 0x79 ? wm_syskeydown : wm_keydown, vk, info);
  if (alt) return;
  const bool shift = e->state & XCB_MOD_MASK_SHIFT;
  xcb_keysym_t sym = keysym(d, e->detail, shift ? 1 : 0);
  // Caps Lock changes letters only.
  if ((e->state & XCB_MOD_MASK_LOCK) && ((sym >= 'a' && sym <= 'z') || (sym >= 'A' && sym <= 'Z'))) sym ^= 0x20;
  u32 code = character(sym);
  if (control) {
    if ((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z')) {
      code &= 0x1F;
    } else if (code != 8 && code != 9 && code != 13 && code != 27) {
      code = 0;  // Control with anything but a letter types nothing
    }
  }
  if (code == 0) return;
  if (code < 0x10000) {
    input(t, w->handle, wm_char, code, info);
  } else {
    input(t, w->handle, wm_char, 0xD800 + ((code - 0x10000) >> 10), info);
    input(t, w->handle, wm_char, 0xDC00 + ((code - 0x10000) & 0x3FF), info);
  }
}

void key_release(Thread* t, Window* w, const xcb_key_release_event_t* e) {
  sync_modifiers(t, e->state);
  const bool alt = e->state & XCB_MOD_MASK_1;
  const u32 vk = virtual_key(keysym(t->display, e->detail, 0));
  const i64 info = 1 | (i64{static_cast<u8>(e->detail - 8)} << 16) | (alt ? i64{1} << 29 : 0) | (i64{3} << 30);
  if (vk) input(t, w->handle, alt || vk == 0x79 ? wm_syskeyup : wm_keyup, vk, info);
}

void button(Thread* t, Window* w, const xcb_button_press_event_t* e, bool press) {
  sync_modifiers(t, e->state);
  u64 flags = mouse_flags(e->state);
  if (e->detail == 4 || e->detail == 5) {
    // A wheel notch comes as a press and a release; the press is the notch.
    if (!press) return;
    const u64 delta = e->detail == 4 ? 120 : static_cast<u16>(-120);
    input_at(t, w->handle, wm_mousewheel, delta << 16 | flags, point(e->root_x, e->root_y), e->root_x, e->root_y);
    return;
  }
  u32 message = 0;
  const u64 own = e->detail == 1 ? 0x01 : e->detail == 3 ? 0x02 : 0;
  if (e->detail == 1) message = press ? wm_lbuttondown : wm_lbuttonup;
  if (e->detail == 3) message = press ? wm_rbuttondown : wm_rbuttonup;
  if (!message) return;
  flags = press ? flags | own : flags & ~own;
  input_at(t, w->handle, message, flags, point(e->event_x, e->event_y), e->root_x, e->root_y);
}

// ---- Clipboard

void answer_request(Thread* t, const xcb_selection_request_event_t* e) {
  DisplayState* d = t->display;
  xcb_atom_t property = e->property != XCB_ATOM_NONE ? e->property : e->target;
  const bool ours = d->clip_owner != 0 && e->owner == d->clip_owner && e->selection == d->atoms[a_clipboard];
  bool served = false;
  if (ours && e->target == d->atoms[a_targets]) {
    xcb_atom_t targets[5] = {d->atoms[a_targets], d->atoms[a_utf8_string], XCB_ATOM_STRING, d->atoms[a_text],
                             d->atoms[a_password_hint]};
    d->x.xcb_change_property(d->c, XCB_PROP_MODE_REPLACE, e->requestor, property, XCB_ATOM_ATOM, 32,
                             d->clip_secret ? 5 : 4, targets);
    served = true;
  } else if (ours && (e->target == d->atoms[a_utf8_string] || e->target == d->atoms[a_text])) {
    d->x.xcb_change_property(d->c, XCB_PROP_MODE_REPLACE, e->requestor, property, d->atoms[a_utf8_string], 8,
                             d->clip_length, d->clip);
    served = true;
  } else if (ours && e->target == XCB_ATOM_STRING) {
    // Latin-1: what UTF-8 cannot say in it becomes '?'.
    u8 latin[clipboard_bytes_most];
    u32 n = 0;
    for (u32 i = 0; i < d->clip_length;) {
      const u8 b = d->clip[i];
      u32 length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : 4;
      if (i + length > d->clip_length) length = d->clip_length - i;
      u8 out = '?';
      if (length == 1) out = b;
      if (length == 2 && b <= 0xC3) out = static_cast<u8>(((b & 0x1F) << 6) | (d->clip[i + 1] & 0x3F));
      latin[n++] = out;
      i += length;
    }
    d->x.xcb_change_property(d->c, XCB_PROP_MODE_REPLACE, e->requestor, property, XCB_ATOM_STRING, 8, n, latin);
    explicit_bzero(latin, n);
    served = true;
  } else if (ours && d->clip_secret && e->target == d->atoms[a_password_hint]) {
    d->x.xcb_change_property(d->c, XCB_PROP_MODE_REPLACE, e->requestor, property, d->atoms[a_password_hint], 8, 6,
                             "secret");
    served = true;
  }
  xcb_selection_notify_event_t n{};
  n.response_type = XCB_SELECTION_NOTIFY;
  n.time = e->time;
  n.requestor = e->requestor;
  n.selection = e->selection;
  n.target = e->target;
  n.property = served ? property : xcb_atom_t{XCB_ATOM_NONE};
  d->x.xcb_send_event(d->c, 0, e->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&n));
  d->x.xcb_flush(d->c);
}

// ---- Events

u32 event_time(const xcb_generic_event_t* e) {
  switch (e->response_type & 0x7F) {
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE:
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE:
    case XCB_MOTION_NOTIFY:
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY: return reinterpret_cast<const xcb_key_press_event_t*>(e)->time;
    case XCB_PROPERTY_NOTIFY: return reinterpret_cast<const xcb_property_notify_event_t*>(e)->time;
  }
  return 0;
}

void configure(Thread* t, Window* w, const xcb_configure_notify_event_t* e) {
  DisplayState* d = t->display;
  i32 x = e->x, y = e->y;
  // A real event's position is inside the parent, which a window manager's frame may be: ask where that is.
  if (!(e->response_type & 0x80)) {
    auto* r = d->x.xcb_translate_coordinates_reply(
        d->c, d->x.xcb_translate_coordinates(d->c, w->native, d->root, 0, 0), nullptr);
    if (r) {
      x = r->dst_x;
      y = r->dst_y;
      free(r);
    }
  }
  moved(t, w, Rect{x, y, x + e->width, y + e->height});
}

void handle(Thread* t, xcb_generic_event_t* e, xcb_generic_event_t** next) {
  DisplayState* d = t->display;
  if (const u32 time = event_time(e)) d->time = time;
  switch (e->response_type & 0x7F) {
    case XCB_EXPOSE: {
      auto* x = reinterpret_cast<xcb_expose_event_t*>(e);
      Window* w = by_native(t, x->window);
      if (!w) break;
      const Rect r{x->x, x->y, x->x + x->width, x->y + x->height};
      invalidate(t, w->handle, &r);
      // An overlay (the snap preview) draws nothing: the server fills it with its background colour, which the
      // empty image behind it would otherwise cover in black.
      if (!(w->ex_style & ws_ex_transparent)) resend(t, w, x->x, x->y, x->width, x->height);
      break;
    }
    case XCB_KEY_PRESS: {
      auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
      if (Window* w = by_native(t, k->event)) key_press(t, w, k, false);
      break;
    }
    case XCB_KEY_RELEASE: {
      auto* k = reinterpret_cast<xcb_key_release_event_t*>(e);
      Window* w = by_native(t, k->event);
      if (!w) break;
      // A held key repeats as a release and a press at the same time: that is one more WM_KEYDOWN, not a release.
      xcb_generic_event_t* after = d->x.xcb_poll_for_event(d->c);
      auto* p = reinterpret_cast<xcb_key_press_event_t*>(after);
      if (after && (after->response_type & 0x7F) == XCB_KEY_PRESS && p->detail == k->detail && p->time == k->time &&
          p->event == k->event) {
        key_press(t, w, p, true);
        free(after);
        break;
      }
      *next = after;
      key_release(t, w, k);
      break;
    }
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE: {
      auto* b = reinterpret_cast<xcb_button_press_event_t*>(e);
      if (Window* w = by_native(t, b->event)) button(t, w, b, (e->response_type & 0x7F) == XCB_BUTTON_PRESS);
      break;
    }
    case XCB_MOTION_NOTIFY: {
      auto* m = reinterpret_cast<xcb_motion_notify_event_t*>(e);
      Window* w = by_native(t, m->event);
      if (!w) break;
      sync_modifiers(t, m->state);
      input_at(t, w->handle, wm_mousemove, mouse_flags(m->state), point(m->event_x, m->event_y), m->root_x, m->root_y);
      break;
    }
    case XCB_LEAVE_NOTIFY: {
      auto* l = reinterpret_cast<xcb_leave_notify_event_t*>(e);
      Window* w = by_native(t, l->event);
      // Leaving because a grab began or ended is not the pointer going.
      if (w && l->mode == XCB_NOTIFY_MODE_NORMAL && l->detail != XCB_NOTIFY_DETAIL_INFERIOR) pointer_left(t, w->handle);
      break;
    }
    case XCB_FOCUS_IN:
    case XCB_FOCUS_OUT: {
      auto* f = reinterpret_cast<xcb_focus_in_event_t*>(e);
      Window* w = by_native(t, f->event);
      if (!w || f->detail == XCB_NOTIFY_DETAIL_POINTER) break;
      if ((e->response_type & 0x7F) == XCB_FOCUS_IN) {
        t->focus = w->handle;
      } else if (t->focus == w->handle) {
        t->focus = 0;
      }
      break;
    }
    case XCB_UNMAP_NOTIFY: {
      // Unmapped while the program shows it: the window manager iconified it.
      auto* u = reinterpret_cast<xcb_unmap_notify_event_t*>(e);
      Window* w = by_native(t, u->window);
      if (w && w->visible) w->iconic = 1;
      break;
    }
    case XCB_MAP_NOTIFY: {
      auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
      Window* w = by_native(t, m->window);
      if (w && w->visible && w->iconic) {
        w->iconic = 0;
        invalidate(t, w->handle, nullptr);
      }
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      auto* c = reinterpret_cast<xcb_configure_notify_event_t*>(e);
      if (Window* w = by_native(t, c->window)) configure(t, w, c);
      break;
    }
    case XCB_PROPERTY_NOTIFY: {
      auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
      if (p->window != d->root) break;
      if (p->atom == XCB_ATOM_RESOURCE_MANAGER) read_dpi(d);
      if (p->atom == d->atoms[a_net_workarea] || p->atom == d->atoms[a_net_current_desktop]) read_work_area(d);
      break;
    }
    case XCB_SELECTION_CLEAR: {
      auto* s = reinterpret_cast<xcb_selection_clear_event_t*>(e);
      if (s->selection != d->atoms[a_clipboard] || s->owner != d->clip_owner) break;
      // Another program put something on the clipboard: what we held there is gone, on both sides.
      wipe(d);
      Clipboard& c = t->clipboard;
      explicit_bzero(c.text, sizeof c.text);
      c.count = 0;
      c.mark_count = 0;
      c.owner = 0;
      break;
    }
    case XCB_SELECTION_REQUEST: answer_request(t, reinterpret_cast<xcb_selection_request_event_t*>(e)); break;
    case XCB_CLIENT_MESSAGE: {
      auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
      Window* w = by_native(t, m->window);
      if (w && m->type == d->atoms[a_wm_protocols] && m->format == 32 &&
          m->data.data32[0] == d->atoms[a_wm_delete_window])
        post(t, w->handle, wm_close, 0, 0);
      break;
    }
    case XCB_MAPPING_NOTIFY: {
      auto* m = reinterpret_cast<xcb_mapping_notify_event_t*>(e);
      if (m->request == XCB_MAPPING_KEYBOARD) read_keymap(d);
      break;
    }
    default: {
      const u8 type = e->response_type & 0x7F;
      if (d->randr && type == d->randr_events + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
        auto* c = reinterpret_cast<xcb_randr_screen_change_notify_event_t*>(e);
        d->screen_width = c->width;
        d->screen_height = c->height;
        d->screen_mm_width = static_cast<u16>(c->mwidth);
        read_dpi(d);
        read_work_area(d);
      }
      if (d->randr && (type == d->randr_events + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == d->randr_events + XCB_RANDR_NOTIFY)) {
        read_monitors(d);
        tell_screen(t);
      }
      break;  // also errors of requests sent without a check, shared-memory completions
    }
  }
}

void set_property(DisplayState* d, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, u8 format, u32 count,
                  const void* data) {
  d->x.xcb_change_property(d->c, XCB_PROP_MODE_REPLACE, window, property, type, format, count, data);
}

void send_to_root(DisplayState* d, xcb_window_t window, xcb_atom_t type, u32 a, u32 b, u32 c) {
  xcb_client_message_event_t m{};
  m.response_type = XCB_CLIENT_MESSAGE;
  m.format = 32;
  m.window = window;
  m.type = type;
  m.data.data32[0] = a;
  m.data.data32[1] = b;
  m.data.data32[2] = c;
  d->x.xcb_send_event(d->c, 0, d->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                      reinterpret_cast<const char*>(&m));
}

}  // namespace

// ---- The hooks of the window layer

u32 display_start(Thread* t) {
  DisplayState* d = new DisplayState{};
  if (!load(d)) {
    if (d->library) dlclose(d->library);
    if (d->shm_library) dlclose(d->shm_library);
    if (d->randr_library) dlclose(d->randr_library);
    if (d->shape_library) dlclose(d->shape_library);
    delete d;
    return no_x_library;
  }
  t->display = d;
  int screen_number = 0;
  d->c = d->x.xcb_connect(nullptr, &screen_number);
  const xcb_setup_t* setup = d->c && !d->x.xcb_connection_has_error(d->c) ? d->x.xcb_get_setup(d->c) : nullptr;
  xcb_screen_t* screen = nullptr;
  if (setup) {
    auto roots = d->x.xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screen_number && roots.rem; ++i) d->x.xcb_screen_next(&roots);
    if (roots.rem) screen = roots.data;
  }
  if (!screen || !usable_visual(d, setup, screen)) {
    display_finish(t);
    return display_lost;
  }
  d->root = screen->root;
  d->visual = screen->root_visual;
  d->depth = screen->root_depth;
  d->screen_width = screen->width_in_pixels;
  d->screen_height = screen->height_in_pixels;
  d->screen_mm_width = screen->width_in_millimeters;
  d->min_keycode = setup->min_keycode;
  d->max_keycode = setup->max_keycode;
  d->request_bytes = d->x.xcb_get_maximum_request_length(d->c) * 4;
  intern_atoms(d);
  d->gc = d->x.xcb_generate_id(d->c);
  const u32 no_exposures = 0;
  d->x.xcb_create_gc(d->c, d->gc, d->root, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  make_cursors(d);
  read_keymap(d);
  // A request of an extension the server lacks would close the connection: ask whether it has it first.
  const xcb_query_extension_reply_t* extension = d->shm ? d->x.xcb_get_extension_data(d->c, d->shm_id) : nullptr;
  d->shm = extension && extension->present;
  if (d->shm) {
    auto* r = d->s.xcb_shm_query_version_reply(d->c, d->s.xcb_shm_query_version(d->c), nullptr);
    d->shm = r != nullptr;
    // Descriptors travel only over a local socket; over TCP passing one would break the connection.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const bool local = getsockname(d->x.xcb_get_file_descriptor(d->c), reinterpret_cast<sockaddr*>(&address),
                                   &length) == 0 && address.ss_family == AF_UNIX;
    d->shm_fd = r && local && (r->major_version > 1 || r->minor_version >= 2);
    free(r);
  }
  const xcb_query_extension_reply_t* randr = d->randr_id ? d->x.xcb_get_extension_data(d->c, d->randr_id) : nullptr;
  if (randr && randr->present) {
    // Monitors need version 1.5 of the extension.
    auto* v = d->r.xcb_randr_query_version_reply(d->c, d->r.xcb_randr_query_version(d->c, 1, 5), nullptr);
    d->randr = v && (v->major_version > 1 || v->minor_version >= 5);
    free(v);
    d->randr_events = randr->first_event;
  }
  const xcb_query_extension_reply_t* shape = d->shape_id ? d->x.xcb_get_extension_data(d->c, d->shape_id) : nullptr;
  d->shape = shape && shape->present;
  if (d->randr)
    d->r.xcb_randr_select_input(d->c, d->root,
                                XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                    XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
  read_monitors(d);
  const u32 root_events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  d->x.xcb_change_window_attributes(d->c, d->root, XCB_CW_EVENT_MASK, &root_events);
  read_dpi(d);
  read_work_area(d);
  d->x.xcb_flush(d->c);
  if (d->x.xcb_connection_has_error(d->c)) {
    display_finish(t);
    return display_lost;
  }
  return ok;
}

void display_finish(Thread* t) {
  DisplayState* d = t->display;
  if (!d) return;
  if (d->c) {
    for (Kept& k : d->kept) {
      drop_own(d, &k.own);
      drop_shared(d, &k);
    }
    free(d->held);
    d->x.xcb_disconnect(d->c);
  }
  free(d->keysyms);
  wipe(d);
  if (d->shm_library) dlclose(d->shm_library);
  if (d->randr_library) dlclose(d->randr_library);
  if (d->shape_library) dlclose(d->shape_library);
  if (d->library) dlclose(d->library);
  delete d;
  t->display = nullptr;
}

int display_fd(Thread* t) { return t->display ? t->display->x.xcb_get_file_descriptor(t->display->c) : -1; }

u32 display_pump(Thread* t) {
  DisplayState* d = t->display;
  if (!d) return display_lost;
  for (;;) {
    xcb_generic_event_t* e = d->held ? d->held : d->x.xcb_poll_for_event(d->c);
    d->held = nullptr;
    if (!e) break;
    handle(t, e, &d->held);
    free(e);
  }
  d->x.xcb_flush(d->c);
  return d->x.xcb_connection_has_error(d->c) ? display_lost : ok;
}

u32 display_create(Thread* t, Window* w) {
  DisplayState* d = t->display;
  const Class& cls = t->classes[w->class_index];
  const u32 width = static_cast<u32>(w->rect.right - w->rect.left), height = static_cast<u32>(w->rect.bottom - w->rect.top);
  const u32 background = cls.highlight == no_colour ? 0 : ((cls.highlight & 0xFF) << 16) | (cls.highlight & 0xFF00) |
                                                              ((cls.highlight >> 16) & 0xFF);
  const u32 events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                     XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION |
                     XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                     XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_PROPERTY_CHANGE;
  // An overlay (a transparent window: the snap preview) is placed, stacked and shown by the program alone, takes
  // no input and so asks for no input events.
  const bool overlay = w->ex_style & ws_ex_transparent;
  const u32 values[4] = {background, overlay ? 1u : 0u,
                         overlay ? u32{XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY} : events,
                         cursor_of(d, t->cursor)};
  w->native = d->x.xcb_generate_id(d->c);
  xcb_generic_error_t* error = d->x.xcb_request_check(
      d->c, d->x.xcb_create_window_checked(d->c, d->depth, w->native, d->root, static_cast<i16>(w->rect.left),
                                           static_cast<i16>(w->rect.top), static_cast<u16>(width),
                                           static_cast<u16>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, d->visual,
                                           XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK |
                                               XCB_CW_CURSOR,
                                           values));
  if (error) {
    free(error);
    w->native = 0;
    return failed;
  }
  const xcb_atom_t protocols = d->atoms[a_wm_delete_window];
  set_property(d, w->native, d->atoms[a_wm_protocols], XCB_ATOM_ATOM, 32, 1, &protocols);
  // The window draws its own title strip and frame: no decorations from the window manager.
  const u32 motif[5] = {2, 0, 0, 0, 0};
  set_property(d, w->native, d->atoms[a_motif_wm_hints], d->atoms[a_motif_wm_hints], 32, 5, motif);
  const u32 pid = process_of(w->handle);
  set_property(d, w->native, d->atoms[a_net_wm_pid], XCB_ATOM_CARDINAL, 32, 1, &pid);
  const char instance_and_class[] = "vimbrel\0Vimbrel";
  set_property(d, w->native, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof instance_and_class, instance_and_class);
  const bool tool = w->ex_style & ws_ex_toolwindow;
  const xcb_atom_t type = d->atoms[tool ? a_net_wm_window_type_utility : a_net_wm_window_type_normal];
  set_property(d, w->native, d->atoms[a_net_wm_window_type], XCB_ATOM_ATOM, 32, 1, &type);
  if (tool) {
    const xcb_atom_t state = d->atoms[a_net_wm_state_skip_taskbar];
    set_property(d, w->native, d->atoms[a_net_wm_state], XCB_ATOM_ATOM, 32, 1, &state);
  }
  // A window that must not take the focus says so twice: no input hint, and no user time to be raised for.
  const bool noactivate = w->ex_style & ws_ex_noactivate;
  const u32 hints[9] = {1, noactivate ? 0u : 1u, 0, 0, 0, 0, 0, 0, 0};
  set_property(d, w->native, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
  if (noactivate) {
    const u32 zero = 0;
    set_property(d, w->native, d->atoms[a_net_wm_user_time], XCB_ATOM_CARDINAL, 32, 1, &zero);
  }
  display_title(t, w, mem::Bytes(cls.name, cls.name_length));
  display_icons(t, w);
  if (overlay && d->shape)
    d->p.xcb_shape_rectangles(d->c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, w->native, 0, 0,
                              0, nullptr);
  gdi::set_present_hook(w->sink, on_present, t);
  i32 screen_width = 0, screen_height = 0;
  screen_size(d, &screen_width, &screen_height);
  gdi::set_screen(w->sink, screen_width, screen_height);
  d->x.xcb_flush(d->c);
  return ok;
}

void display_destroy(Thread* t, Window* w) {
  DisplayState* d = t->display;
  Kept& k = d->kept[w - t->windows];
  drop_own(d, &k.own);
  drop_shared(d, &k);
  k = Kept{};
  if (d->clip_owner == w->native) wipe(d);
  gdi::set_present_hook(w->sink, nullptr, nullptr);
  d->x.xcb_destroy_window(d->c, w->native);
  d->x.xcb_flush(d->c);
  w->native = 0;
}

// A window manager announces itself by owning the WM_S0 selection or by naming its check window on the root.
bool window_manager_runs(DisplayState* d) {
  auto* r = d->x.xcb_get_selection_owner_reply(d->c, d->x.xcb_get_selection_owner(d->c, d->atoms[a_wm_s0]), nullptr);
  const bool owned = r && r->owner != XCB_NONE;
  free(r);
  if (owned) return true;
  u32 check = 0;
  return read_property(d, d->root, d->atoms[a_net_supporting_wm_check], XCB_ATOM_WINDOW,
                       reinterpret_cast<u8*>(&check), sizeof check) == 4 &&
         check != 0;
}

void display_show(Thread* t, Window* w) {
  DisplayState* d = t->display;
  // Only a window manager iconifies a window: without one it stays mapped and on view, so it is not minimized.
  if (w->visible && w->iconic && !window_manager_runs(d)) {
    w->iconic = 0;
    invalidate(t, w->handle, nullptr);
  }
  if (!w->visible) {
    d->x.xcb_unmap_window(d->c, w->native);
  } else {
    // The hints say how a window mapped from nothing starts; one already on view is asked to go iconic.
    const u32 hints[9] = {3, w->ex_style & ws_ex_noactivate ? 0u : 1u, w->iconic ? 3u : 1u, 0, 0, 0, 0, 0, 0};
    set_property(d, w->native, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
    d->x.xcb_map_window(d->c, w->native);
    if (w->iconic) send_to_root(d, w->native, d->atoms[a_wm_change_state], 3, 0, 0);
  }
  d->x.xcb_flush(d->c);
}

void display_move(Thread* t, Window* w) {
  DisplayState* d = t->display;
  const u32 values[4] = {static_cast<u32>(w->rect.left), static_cast<u32>(w->rect.top),
                         static_cast<u32>(w->rect.right - w->rect.left), static_cast<u32>(w->rect.bottom - w->rect.top)};
  d->x.xcb_configure_window(d->c, w->native,
                            XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                XCB_CONFIG_WINDOW_HEIGHT,
                            values);
  d->x.xcb_flush(d->c);
}

void display_title(Thread* t, Window* w, mem::Bytes title) {
  DisplayState* d = t->display;
  const u32 n = static_cast<u32>(title.len < 4096 ? title.len : 4096);
  set_property(d, w->native, d->atoms[a_net_wm_name], d->atoms[a_utf8_string], 8, n, title.ptr);
  set_property(d, w->native, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, n, title.ptr);
  d->x.xcb_flush(d->c);
}

void display_icons(Thread* t, Window* w) {
  DisplayState* d = t->display;
  // _NET_WM_ICON holds each size as width, height and its 0xAARRGGBB pixels, which is how icons keep them.
  const gdi::Handle icons[2] = {w->big_icon, w->small_icon};
  u64 words = 0;
  for (gdi::Handle icon : icons) {
    i32 width = 0, height = 0;
    if (icon && gdi::icon_pixels(icon, nullptr, 0, &width, &height)) words += 2 + u64(width) * height;
  }
  if (words == 0) {
    d->x.xcb_delete_property(d->c, w->native, d->atoms[a_net_wm_icon]);
    d->x.xcb_flush(d->c);
    return;
  }
  u32* data = static_cast<u32*>(malloc(words * 4));
  if (!data) return;
  u64 at = 0;
  for (gdi::Handle icon : icons) {
    i32 width = 0, height = 0;
    if (!icon || !gdi::icon_pixels(icon, nullptr, 0, &width, &height)) continue;
    data[at] = static_cast<u32>(width);
    data[at + 1] = static_cast<u32>(height);
    gdi::icon_pixels(icon, data + at + 2, u64(width) * height, &width, &height);
    at += 2 + u64(width) * height;
  }
  set_property(d, w->native, d->atoms[a_net_wm_icon], XCB_ATOM_CARDINAL, 32, static_cast<u32>(words), data);
  free(data);
  d->x.xcb_flush(d->c);
}

void display_activate(Thread* t, Window* w) {
  DisplayState* d = t->display;
  send_to_root(d, w->native, d->atoms[a_net_active_window], 2, d->time, 0);
  // Without a window manager nobody answers that: take the focus directly when the window is on view.
  if (w->visible && !w->iconic)
    d->x.xcb_set_input_focus(d->c, XCB_INPUT_FOCUS_POINTER_ROOT, w->native, XCB_CURRENT_TIME);
  d->x.xcb_flush(d->c);
}

void display_opacity(Thread* t, Window* w) {
  DisplayState* d = t->display;
  // The compositor's scale: 0xFFFFFFFF is opaque.
  const u32 opacity = static_cast<u32>(u64{w->alpha} * 0xFFFFFFFFull / 255);
  set_property(d, w->native, d->atoms[a_net_wm_window_opacity], XCB_ATOM_CARDINAL, 32, 1, &opacity);
  d->x.xcb_flush(d->c);
}

void display_place_below(Thread* t, Window* w, const Window* above) {
  DisplayState* d = t->display;
  // Stacking is among siblings: a window manager may have put the other window inside a frame of its own, so the
  // sibling is the child of the root that holds it.
  xcb_window_t sibling = above->native;
  for (u32 depth = 0; depth < 8; ++depth) {
    auto* r = d->x.xcb_query_tree_reply(d->c, d->x.xcb_query_tree(d->c, sibling), nullptr);
    if (!r) break;
    const xcb_window_t parent = r->parent;
    free(r);
    if (parent == d->root || parent == XCB_NONE) break;
    sibling = parent;
  }
  const u32 values[2] = {sibling, XCB_STACK_MODE_BELOW};
  d->x.xcb_configure_window(d->c, w->native, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
  d->x.xcb_flush(d->c);
}

void display_capture(Thread* t) {
  DisplayState* d = t->display;
  const Window* w = find(t, t->capture);
  if (w) {
    const u16 events = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION |
                       XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW;
    auto cookie = d->x.xcb_grab_pointer(d->c, 0, w->native, events, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                        XCB_NONE, cursor_of(d, t->cursor), XCB_CURRENT_TIME);
    d->x.xcb_discard_reply(d->c, cookie.sequence);
  } else {
    d->x.xcb_ungrab_pointer(d->c, XCB_CURRENT_TIME);
  }
  d->x.xcb_flush(d->c);
}

void display_cursor(Thread* t) {
  DisplayState* d = t->display;
  const u32 cursor = cursor_of(d, t->cursor);
  for (const Window& w : t->windows)
    if (w.handle && w.native) d->x.xcb_change_window_attributes(d->c, w.native, XCB_CW_CURSOR, &cursor);
  d->x.xcb_flush(d->c);
}

u32 display_clipboard_put(Thread* t, Window* w, mem::Bytes utf8, bool secret) {
  DisplayState* d = t->display;
  if (!w) return refused;
  if (utf8.len > clipboard_bytes_most) return full;
  wipe(d);
  memcpy(d->clip, utf8.ptr, utf8.len);
  d->clip_length = static_cast<u32>(utf8.len);
  d->clip_secret = secret;
  d->clip_owner = w->native;
  const xcb_atom_t clipboard = d->atoms[a_clipboard];
  d->x.xcb_set_selection_owner(d->c, w->native, clipboard, d->time);
  auto* r = d->x.xcb_get_selection_owner_reply(d->c, d->x.xcb_get_selection_owner(d->c, clipboard), nullptr);
  const bool owner = r && r->owner == w->native;
  free(r);
  if (!owner) wipe(d);
  return owner ? ok : failed;
}

void display_clipboard_forget(Thread* t) { wipe(t->display); }

void display_clipboard_secret(Thread* t) {
  if (t->display->clip_owner != 0) t->display->clip_secret = 1;
}

u32 display_clipboard_get(Thread* t, Window* w, u8* out, u32 most, u32* length) {
  DisplayState* d = t->display;
  *length = 0;
  if (!w) return refused;
  if (d->clip_owner != 0) {
    *length = d->clip_length < most ? d->clip_length : most;
    memcpy(out, d->clip, *length);
    return ok;
  }
  const xcb_atom_t clipboard = d->atoms[a_clipboard], paste = d->atoms[a_paste];
  auto* r = d->x.xcb_get_selection_owner_reply(d->c, d->x.xcb_get_selection_owner(d->c, clipboard), nullptr);
  const bool owned = r && r->owner != XCB_NONE;
  free(r);
  if (!owned) return ok;  // nothing on the clipboard
  d->x.xcb_delete_property(d->c, w->native, paste);
  d->x.xcb_convert_selection(d->c, w->native, clipboard, d->atoms[a_utf8_string], paste, d->time);
  d->x.xcb_flush(d->c);
  // The owner answers through the server; what else comes meanwhile is handled as the loop would.
  const u64 deadline = clock_now_ms() + paste_wait_ms;
  for (;;) {
    xcb_generic_event_t* e = d->held ? d->held : d->x.xcb_poll_for_event(d->c);
    d->held = nullptr;
    if (e && (e->response_type & 0x7F) == XCB_SELECTION_NOTIFY) {
      auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
      const bool mine = n->requestor == w->native && n->selection == clipboard;
      const bool given = n->property != XCB_ATOM_NONE;
      free(e);
      if (!mine) continue;
      if (!given) return ok;  // the owner has no text form
      const i64 n_read = read_property(d, w->native, paste, d->atoms[a_utf8_string], out, most, true);
      *length = n_read > 0 ? static_cast<u32>(n_read) : 0;
      return ok;
    }
    if (e) {
      handle(t, e, &d->held);
      free(e);
      continue;
    }
    if (d->x.xcb_connection_has_error(d->c)) return display_lost;
    const u64 now = clock_now_ms();
    if (now >= deadline) return failed;
    pollfd p{d->x.xcb_get_file_descriptor(d->c), POLLIN, 0};
    poll(&p, 1, static_cast<int>(deadline - now));
  }
}

// X has one DPI for the desktop, not one per monitor.
u32 display_dpi(const Thread* t, i32, i32) { return t->display ? t->display->dpi : 96; }

// The nearest monitor's part of the desktop's work area (the window manager publishes one work area over all
// monitors); the whole monitor when the two do not meet.
u32 display_work_area(const Thread* t, i32 x, i32 y, Rect* out) {
  const DisplayState* d = t->display;
  if (!d) return 0;
  const Rect& m = nearest_monitor(d, x, y);
  const Rect& w = d->work;
  const Rect both{m.left > w.left ? m.left : w.left, m.top > w.top ? m.top : w.top,
                  m.right < w.right ? m.right : w.right, m.bottom < w.bottom ? m.bottom : w.bottom};
  *out = both.left < both.right && both.top < both.bottom ? both : m;
  return 1;
}

}  // namespace win
