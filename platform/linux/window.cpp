#include "platform/window.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "base/path.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/linux/window_backend.h"
#include "platform/os.h"

// The queue, timers and regions are plain records of the Thread; the sockets and class files are the only things
// the layer keeps outside it, and each window removes its own when it goes.
namespace win {
namespace {

// ---- Paths of the window folder

// "<runtime>/windows" (made when missing) into out: false when the runtime folder is refused or the path is long.
bool windows_folder(char (&out)[store::path_capacity + 1]) {
  store::Path p;
  if (!kobj::runtime_folder(&p)) return false;
  store::path_join(&p, mem::lit("windows"));
  if (p.overflow) return false;
  memcpy(out, p.text, p.length);
  out[p.length] = 0;
  if (mkdir(out, 0700) != 0 && errno != EEXIST) return false;
  struct stat st{};
  return lstat(out, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// The socket address of a window: "<runtime>/windows/<handle in hex>". False when it does not fit an address.
bool socket_address(Handle window, sockaddr_un* out, socklen_t* length) {
  char folder[store::path_capacity + 1];
  if (!windows_folder(folder)) return false;
  *out = sockaddr_un{};
  out->sun_family = AF_UNIX;
  int n = snprintf(out->sun_path, sizeof out->sun_path, "%s/%llx", folder, static_cast<unsigned long long>(window));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof out->sun_path) return false;
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
  return true;
}

bool class_file(mem::Bytes class_name, u32 pid, char (&out)[store::path_capacity + 1]) {
  char folder[store::path_capacity + 1];
  if (!windows_folder(folder)) return false;
  int n = snprintf(out, sizeof out, "%s/%.*s.%u", folder, static_cast<int>(class_name.len),
                   reinterpret_cast<const char*>(class_name.ptr), pid);
  return n > 0 && static_cast<size_t>(n) < sizeof out;
}

// A datagram sent to the address: 0, or the errno.
int send_to(const sockaddr_un& address, socklen_t length, const u8* bytes, u64 count) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  int err = 0;
  if (sendto(fd, bytes, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length) < 0) err = errno;
  ::close(fd);
  return err;
}

// A socket file that no process has bound: its owner ended.
bool stale_socket(const sockaddr_un& address, socklen_t length) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool stale = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno == ECONNREFUSED;
  ::close(fd);
  return stale;
}

u64 parse_hex(const char* text, u64 length) {
  u64 value = 0;
  u64 digits = 0;
  for (u64 i = 0; i < length; ++i) {
    char c = text[i];
    u32 d = c >= '0' && c <= '9' ? u32(c - '0') : c >= 'a' && c <= 'f' ? u32(c - 'a' + 10) : 16;
    if (d == 16) break;
    if (++digits > 16) return 0;
    value = value << 4 | d;
  }
  return value;
}

i64 least(i64 a, i64 b) { return a < b ? a : b; }
i64 greatest(i64 a, i64 b) { return a > b ? a : b; }

// ---- Queue

bool matches(const Msg& m, Handle window, u32 first, u32 last) {
  if (window != 0 && m.window != window) return false;
  return (first == 0 && last == 0) || (m.message >= first && m.message <= last);
}

u32 enqueue(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam) {
  if (t->count == queue_most) {
    t->dropped += 1;
    return full;
  }
  t->queue[(t->head + t->count) % queue_most] = Msg{window, message, wparam, lparam, now_ms(*t), t->pointer_x, t->pointer_y};
  t->count += 1;
  return ok;
}

void remove_at(Thread* t, u32 index) {
  for (u32 i = index; i + 1 < t->count; ++i)
    t->queue[(t->head + i) % queue_most] = t->queue[(t->head + i + 1) % queue_most];
  t->count -= 1;
}

bool is_mouse(u32 message) { return message >= wm_mousemove && message <= 0x020E; }

i32 low_x(i64 lparam) { return static_cast<i16>(lparam & 0xFFFF); }
i32 high_y(i64 lparam) { return static_cast<i16>((lparam >> 16) & 0xFFFF); }

void unlist(Window* w, const Class& c) {
  char path[store::path_capacity + 1];
  if (!w->listed || !class_file(mem::Bytes(c.name, c.name_length), process_of(w->handle), path)) return;
  // Only while the file still names this window: a later window of the class may have taken it.
  u8 text[40];
  u64 n = fs::read_prefix(mem::Bytes(reinterpret_cast<const u8*>(path), strlen(path)), mem::Slice{text, sizeof text});
  if (parse_hex(reinterpret_cast<const char*>(text), n) == w->handle) unlink(path);
  w->listed = 0;
}

void list(Window* w, const Class& c) {
  char path[store::path_capacity + 1], temporary[store::path_capacity + 24];
  if (!class_file(mem::Bytes(c.name, c.name_length), process_of(w->handle), path)) return;
  char text[24];
  const int n = snprintf(text, sizeof text, "%llx\n", static_cast<unsigned long long>(w->handle));
  snprintf(temporary, sizeof temporary, "%s.%llx.new", path, static_cast<unsigned long long>(w->handle));
  // Written whole under another name, owner-only, then renamed: a reader never sees half a handle.
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  const bool written = write(fd, text, static_cast<size_t>(n)) == n;
  ::close(fd);
  w->listed = written && rename(temporary, path) == 0;
  if (!w->listed) unlink(temporary);
}

// The process an entry of the window folder belongs to: "<handle in hex>" (a socket), "<class>.<pid>" and its
// temporaries "<class>.<pid>.<handle>.new"; 0 when the name tells none.
u32 entry_owner(const char* name) {
  const u64 n = strlen(name);
  if (n > 0 && parse_hex(name, n) != 0 && strspn(name, "0123456789abcdef") == n) return process_of(parse_hex(name, n));
  const char* dot = strchr(name, '.');
  if (!dot || dot[1] < '0' || dot[1] > '9') return 0;
  char* end = nullptr;
  const unsigned long pid = strtoul(dot + 1, &end, 10);
  return (*end == 0 || *end == '.') && pid <= 0xFFFFFFFFul ? static_cast<u32>(pid) : 0;
}

// Entries left by windows whose processes were killed: the owner is gone and the entry is older than a minute (a
// window that just started may not be running its loop yet, but its process is alive).
void sweep_entries(const char* folder) {
  DIR* dir = opendir(folder);
  if (!dir) return;
  const time_t now = time(nullptr);
  while (dirent* e = readdir(dir)) {
    const u32 pid = entry_owner(e->d_name);
    if (pid == 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    char path[store::path_capacity + 1];
    const int length = snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
    struct stat st{};
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path || lstat(path, &st) != 0) continue;
    if (now - st.st_mtime >= 60) unlink(path);
  }
  closedir(dir);
}

// The window's socket, bound; -1 when it cannot be made.
int open_socket(Handle window) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!socket_address(window, &address, &length)) return -1;
  char folder[store::path_capacity + 1];
  if (windows_folder(folder)) sweep_entries(folder);
  // A file under the name is left by an ended process that had this process id.
  if (stale_socket(address, length)) unlink(address.sun_path);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    ::close(fd);
    return -1;
  }
  chmod(address.sun_path, 0600);
  return fd;
}

void close_socket(Window* w) {
  if (w->socket < 0) return;
  ::close(w->socket);
  w->socket = -1;
  sockaddr_un address;
  socklen_t length = 0;
  if (socket_address(w->handle, &address, &length)) unlink(address.sun_path);
}

void invalidate_all(Window* w) {
  region_clear(&w->invalid);
  region_add(&w->invalid, Rect{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top});
}

}  // namespace

mem::Bytes code_text(u32 code) {
  switch (code) {
    case ok: return mem::lit("ok");
    case no_display: return mem::lit("there is no display (DISPLAY is not set)");
    case no_x_library:
      return mem::lit("the window needs the X library libxcb.so.1: install the Debian package libxcb1");
    case refused: return mem::lit("the window, class or value is refused");
    case full: return mem::lit("no room left");
    case failed: return mem::lit("the system refused the window's socket or folder");
    case gone: return mem::lit("no such window");
    case busy: return mem::lit("another program holds the clipboard");
    case display_lost: return mem::lit("the display cannot be reached, or the connection to it broke");
  }
  return mem::lit("unknown window result");
}

// ---- Start and end

u32 start(Thread* t, u32 how) {
  *t = Thread{};
  t->cursor = cursor_arrow;
  t->next_sequence = 1;
  t->next_thread_timer = 1;
  for (Window& w : t->windows) w.socket = -1;
  if (how == start_headless) {
    t->backend = backend_headless;
    return ok;
  }
  const char* display = getenv("DISPLAY");
  if (!display || !*display) return no_display;
  u32 code = display_start(t);
  if (code == ok) t->backend = backend_display;
  return code;
}

void finish(Thread* t) {
  for (Window& w : t->windows)
    if (w.handle) destroy_window(t, w.handle);
  if (t->backend == backend_display) display_finish(t);
  *t = Thread{};
}

// ---- Classes and windows

u32 register_class(Thread* t, mem::Bytes name, u32 style, gdi::Handle icon, u32 cursor, u32 highlight) {
  return keep_class(t, name, style, icon, cursor, highlight);
}

Handle create_window(Thread* t, mem::Bytes class_name, u32 style, u32 ex_style, i32 x, i32 y, i32 width, i32 height,
                     u32* code) {
  u32 dummy = 0;
  if (!code) code = &dummy;
  *code = refused;
  if (t->backend == backend_none || width < 1 || height < 1 || width > 16384 || height > 16384) return 0;
  u32 class_index = classes_most;
  for (u32 i = 0; i < t->class_count; ++i)
    if (mem::eq(mem::Bytes(t->classes[i].name, t->classes[i].name_length), class_name)) class_index = i;
  if (class_index == classes_most) return 0;
  Window* w = nullptr;
  for (Window& slot : t->windows)
    if (!slot.handle && !w) w = &slot;
  *code = full;
  if (!w) return 0;
  // The sequence skips numbers that a live window of this thread holds.
  Handle handle = 0;
  for (u32 tries = 0; tries < 0x10000 && !handle; ++tries) {
    u32 seq = t->next_sequence;
    t->next_sequence = seq >= 0xFFFF ? 1 : seq + 1;
    Handle h = (u64{os::process_id()} << 16) | seq;
    if (!find(t, h)) handle = h;
  }
  *w = Window{};
  w->handle = handle;
  w->class_index = class_index;
  w->style = style;
  w->ex_style = ex_style;
  w->rect = Rect{x, y, static_cast<i32>(i64{x} + width), static_cast<i32>(i64{y} + height)};
  w->big_icon = t->classes[class_index].icon;
  w->alpha = 255;
  *code = failed;
  w->sink = gdi::open_headless(width, height);
  w->socket = open_socket(handle);
  if (!w->sink || w->socket < 0) {
    if (w->sink) gdi::close_window(w->sink);
    close_socket(w);
    *w = Window{};
    w->socket = -1;
    return 0;
  }
  gdi::set_window_id(w->sink, handle);
  if (t->backend == backend_display && display_create(t, w) != ok) {
    gdi::close_window(w->sink);
    close_socket(w);
    *w = Window{};
    w->socket = -1;
    return 0;
  }
  list(w, t->classes[class_index]);
  *code = ok;
  return handle;
}

Window* find(Thread* t, Handle window) {
  if (window == 0) return nullptr;
  for (Window& w : t->windows)
    if (w.handle == window) return &w;
  return nullptr;
}

namespace {
const Window* find_const(const Thread& t, Handle window) { return find(const_cast<Thread*>(&t), window); }
}  // namespace

u32 destroy_window(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w) return refused;
  for (Timer& timer : t->timers)
    if (timer.live && timer.window == window) timer = Timer{};
  for (u32 i = 0; i < t->count;) {
    if (t->queue[(t->head + i) % queue_most].window == window) {
      remove_at(t, i);
    } else {
      ++i;
    }
  }
  if (t->capture == window) t->capture = 0;
  if (t->focus == window) t->focus = 0;
  // The text stays on the clipboard without an owner, as it does when a Windows owner goes.
  if (t->clipboard.opener == window) t->clipboard.opener = 0;
  if (t->clipboard.owner == window) t->clipboard.owner = 0;
  if (t->press_window == window) t->press_window = 0;
  unlist(w, t->classes[w->class_index]);
  close_socket(w);
  if (t->backend == backend_display) display_destroy(t, w);
  gdi::close_window(w->sink);
  *w = Window{};
  w->socket = -1;
  return ok;
}

bool is_window(const Thread& t, Handle window) { return find_const(t, window) != nullptr; }

u32 process_of(Handle window) { return static_cast<u32>(window >> 16); }

gdi::Handle sink(const Thread& t, Handle window) {
  const Window* w = find_const(t, window);
  return w ? w->sink : 0;
}

// ---- Posting and the queue

u32 post(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam) {
  if (window == 0) return enqueue(t, 0, message, wparam, lparam);
  if (find(t, window)) return enqueue(t, window, message, wparam, lparam);
  return post_remote(window, message, wparam, lparam);
}

u32 post_remote(Handle window, u32 message, u64 wparam, i64 lparam) {
  sockaddr_un address;
  socklen_t length = 0;
  if (window == 0) return gone;
  if (!socket_address(window, &address, &length)) return failed;
  u8 record[wire_bytes];
  wire_put(record, message, wparam, lparam);
  int err = send_to(address, length, record, sizeof record);
  if (err == 0) return ok;
  if (err == ECONNREFUSED) {
    // The socket of a window whose process ended: nobody will read it.
    unlink(address.sun_path);
    return gone;
  }
  if (err == ENOENT) return gone;
  if (err == EAGAIN || err == ENOBUFS) return full;
  return failed;
}

void post_quit(Thread* t, i32 code) {
  t->quit = 1;
  t->quit_code = code;
}

void pump(Thread* t) {
  // Input and exposes from the display; a broken connection shows in get_message.
  if (t->backend == backend_display) display_pump(t);
  for (Window& w : t->windows) {
    if (!w.handle || w.socket < 0) continue;
    // At most what the queue can take; the rest waits in the socket for the next turn.
    while (t->count < queue_most) {
      u8 bytes[wire_bytes + 1];
      ssize_t n = recv(w.socket, bytes, sizeof bytes, MSG_DONTWAIT);
      if (n < 0) break;
      u32 message = 0;
      u64 wparam = 0;
      i64 lparam = 0;
      if (wire_get(bytes, static_cast<u64>(n), &message, &wparam, &lparam))
        enqueue(t, w.handle, message, wparam, lparam);
    }
  }
}

u32 peek_message(Thread* t, Msg* out, Handle window, u32 first, u32 last, bool remove) {
  pump(t);
  for (u32 i = 0; i < t->count; ++i) {
    const Msg& m = t->queue[(t->head + i) % queue_most];
    if (!matches(m, window, first, last)) continue;
    *out = m;
    if (remove) {
      if (i == 0) {
        t->head = (t->head + 1) % queue_most;
        t->count -= 1;
      } else {
        remove_at(t, i);
      }
    }
    return 1;
  }
  const u64 now = now_ms(*t);
  if (t->quit && window == 0 && ((first == 0 && last == 0) || (wm_quit >= first && wm_quit <= last))) {
    *out = Msg{0, wm_quit, static_cast<u64>(static_cast<i64>(t->quit_code)), 0, now};
    if (remove) t->quit = 0;
    return 1;
  }
  const Msg timer_probe{window, wm_timer, 0, 0, 0};
  if (matches(timer_probe, 0, first, last)) {
    Timer* due = nullptr;
    for (Timer& timer : t->timers) {
      if (!timer.live || timer.due_ms > now || (window != 0 && timer.window != window)) continue;
      if (!due || timer.due_ms < due->due_ms) due = &timer;
    }
    if (due) {
      *out = Msg{due->window, wm_timer, due->id, 0, now};
      // However many periods passed, one WM_TIMER stands for them; the next comes a whole period later.
      if (remove) due->due_ms = now + due->period_ms;
      return 1;
    }
  }
  const Msg paint_probe{window, wm_paint, 0, 0, 0};
  if (matches(paint_probe, 0, first, last)) {
    for (Window& w : t->windows) {
      if (!w.handle || !w.visible || region_empty(w.invalid) || (window != 0 && w.handle != window)) continue;
      *out = Msg{w.handle, wm_paint, 0, 0, now};
      return 1;
    }
  }
  return 0;
}

i32 get_message(Thread* t, Msg* out) {
  for (;;) {
    if (t->backend == backend_display && display_pump(t) != ok) return -1;
    if (peek_message(t, out, 0, 0, 0, true)) return out->message == wm_quit ? 0 : 1;
    const u64 now = now_ms(*t);
    u64 next = ~u64{0};
    for (const Timer& timer : t->timers)
      if (timer.live && timer.due_ms < next) next = timer.due_ms;
    pollfd fds[windows_most + 1];
    nfds_t n = 0;
    for (const Window& w : t->windows)
      if (w.handle && w.socket >= 0) fds[n++] = pollfd{w.socket, POLLIN, 0};
    const int display = t->backend == backend_display ? display_fd(t) : -1;
    if (display >= 0) fds[n++] = pollfd{display, POLLIN, 0};
    if (n == 0 && next == ~u64{0}) return -1;  // nothing could ever arrive
    if (t->clock_ms != 0 && next != ~u64{0}) {
      // A test clock does not move by itself: jump to the next timer once what waits was taken.
      if (n == 0 || poll(fds, n, 0) == 0) t->clock_ms = next > now ? next : now;
      continue;
    }
    const u64 wait = next == ~u64{0} ? ~u64{0} : next > now ? next - now : 0;
    const int timeout = wait == ~u64{0} ? -1 : wait > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wait);
    if (poll(fds, n, timeout) < 0 && errno != EINTR) return -1;
    if (display >= 0 && display_pump(t) != ok) return -1;
  }
}

u32 register_message(mem::Bytes name) {
  u32 h = 0x811C9DC5u;
  for (u64 i = 0; i < name.len; ++i) h = (h ^ name.ptr[i]) * 0x01000193u;
  return registered_first + h % 0x3FFF;
}

u32 allow_message(Handle, u32) { return 1; }

// ---- Timers

u64 now_ms(const Thread& t) { return t.clock_ms != 0 ? t.clock_ms : os::clock_ms(); }

u32 set_timer(Thread* t, Handle window, u32 id, u32 period_ms) {
  if (window != 0 && !find(t, window)) return 0;
  if (window == 0 && id == 0) {
    id = t->next_thread_timer;
    t->next_thread_timer = id == 0x7FFF ? 1 : id + 1;
  }
  if (period_ms == 0) period_ms = 1;  // as USER_TIMER_MINIMUM lifts it
  Timer* slot = nullptr;
  for (Timer& timer : t->timers)
    if (timer.live && timer.window == window && timer.id == id) slot = &timer;
  for (Timer& timer : t->timers)
    if (!slot && !timer.live) slot = &timer;
  if (!slot) return 0;
  *slot = Timer{window, id, period_ms, now_ms(*t) + period_ms, 1};
  return id;
}

u32 kill_timer(Thread* t, Handle window, u32 id) {
  for (Timer& timer : t->timers) {
    if (timer.live && timer.window == window && timer.id == id) {
      timer = Timer{};
      return 1;
    }
  }
  return 0;
}

// ---- Painting

void invalidate(Thread* t, Handle window, const Rect* rect) {
  Window* w = find(t, window);
  if (!w) return;
  const Rect client{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  if (!rect) {
    region_add(&w->invalid, client);
    return;
  }
  // Only the part inside the client area can ever be painted.
  Rect r{static_cast<i32>(greatest(rect->left, 0)), static_cast<i32>(greatest(rect->top, 0)),
         static_cast<i32>(least(rect->right, client.right)), static_cast<i32>(least(rect->bottom, client.bottom))};
  region_add(&w->invalid, r);
}

void validate(Thread* t, Handle window, const Rect* rect) {
  Window* w = find(t, window);
  if (!w) return;
  if (!rect) {
    region_clear(&w->invalid);
  } else {
    region_subtract(&w->invalid, *rect);
  }
}

u32 update_region(const Thread& t, Handle window, Region* out) {
  const Window* w = find_const(t, window);
  if (!w) {
    region_clear(out);
    return 0;
  }
  *out = w->invalid;
  return region_empty(*out) ? 0 : 1;
}

u32 begin_paint(Thread* t, Handle window, Rect* paint) {
  Window* w = find(t, window);
  if (!w) return 0;
  *paint = region_box(w->invalid);
  region_clear(&w->invalid);
  return 1;
}

void end_paint(Thread*, Handle) {}

// ---- Geometry and show state

u32 window_rect(const Thread& t, Handle window, Rect* out) {
  const Window* w = find_const(t, window);
  if (!w) return 0;
  *out = w->rect;
  return 1;
}

u32 client_rect(const Thread& t, Handle window, Rect* out) {
  const Window* w = find_const(t, window);
  if (!w) return 0;
  *out = Rect{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  return 1;
}

u32 set_window_pos(Thread* t, Handle window, i32 x, i32 y, i32 width, i32 height) {
  Window* w = find(t, window);
  if (!w || width < 1 || height < 1 || width > 16384 || height > 16384) return 0;
  if (!moved(t, w, Rect{x, y, static_cast<i32>(i64{x} + width), static_cast<i32>(i64{y} + height)})) return 0;
  if (t->backend == backend_display) display_move(t, w);
  return 1;
}

bool moved(Thread*, Window* w, Rect rect) {
  const i32 width = rect.right - rect.left, height = rect.bottom - rect.top;
  const bool resized = width != w->rect.right - w->rect.left || height != w->rect.bottom - w->rect.top;
  if (resized && !gdi::resize_window(w->sink, width, height)) return false;
  w->rect = rect;
  if (resized) invalidate_all(w);
  return true;
}

u32 show_window(Thread* t, Handle window, u32 command) {
  Window* w = find(t, window);
  if (!w) return 0;
  const u32 was_visible = w->visible;
  const bool was_shown = w->visible && !w->iconic;
  switch (command) {
    case sw_hide: w->visible = 0; break;
    case sw_showminimized:
    case sw_minimize:
    case sw_showminnoactive:
      w->visible = 1;
      w->iconic = 1;
      break;
    case sw_maximize:
      w->visible = 1;
      w->iconic = 0;
      w->maximized = 1;
      break;
    case sw_restore:
      w->visible = 1;
      if (w->iconic) {
        w->iconic = 0;
      } else {
        w->maximized = 0;
      }
      break;
    case sw_shownormal:
    case sw_showdefault:
      w->visible = 1;
      w->iconic = 0;
      w->maximized = 0;
      break;
    default:  // sw_show, sw_shownoactivate, sw_showna and unknown commands show as they are
      w->visible = 1;
      break;
  }
  // What comes into view must be painted.
  if (!was_shown && w->visible && !w->iconic) invalidate_all(w);
  if (t->backend == backend_display) display_show(t, w);
  return was_visible;
}

bool is_visible(const Thread& t, Handle window) {
  const Window* w = find_const(t, window);
  return w && w->visible;
}

bool is_iconic(const Thread& t, Handle window) {
  const Window* w = find_const(t, window);
  return w && w->iconic;
}

u32 set_foreground(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w) return 0;
  t->focus = window;
  if (t->backend == backend_display) display_activate(t, w);
  return 1;
}

u32 set_title(Thread* t, Handle window, mem::Bytes title) {
  Window* w = find(t, window);
  if (!w) return 0;
  if (t->backend == backend_display) display_title(t, w, title);
  return 1;
}

u32 set_opacity(Thread* t, Handle window, u8 alpha) {
  Window* w = find(t, window);
  if (!w || !(w->ex_style & ws_ex_layered)) return 0;
  w->alpha = alpha;
  if (t->backend == backend_display) display_opacity(t, w);
  return 1;
}

u32 place_below(Thread* t, Handle window, Handle above) {
  Window* w = find(t, window);
  const Window* a = find(t, above);
  if (!w || !a || w == a) return 0;
  w->below_of = above;
  if (t->backend == backend_display) display_place_below(t, w, a);
  return 1;
}

gdi::Handle set_icon(Thread* t, Handle window, u32 which, gdi::Handle icon) {
  Window* w = find(t, window);
  if (!w) return 0;
  gdi::Handle& slot = which == 1 ? w->big_icon : w->small_icon;
  gdi::Handle old = slot;
  slot = icon;
  if (t->backend == backend_display) display_icons(t, w);
  return old;
}

// ---- Input state

Handle set_capture(Thread* t, Handle window) {
  Handle before = t->capture;
  if (find(t, window)) t->capture = window;
  if (t->backend == backend_display && t->capture != before) display_capture(t);
  return before;
}

void release_capture(Thread* t) {
  const Handle before = t->capture;
  t->capture = 0;
  if (t->backend == backend_display && before != 0) display_capture(t);
}

Handle get_capture(const Thread& t) { return t.capture; }

u32 set_cursor(Thread* t, u32 cursor) {
  u32 before = t->cursor;
  t->cursor = cursor;
  if (t->backend == backend_display && cursor != before) display_cursor(t);
  return before;
}

u32 get_cursor(const Thread& t) { return t.cursor; }

i16 key_state(const Thread& t, u32 virtual_key) {
  if (virtual_key > 255) return 0;
  const u8 k = t.keys[virtual_key];
  return static_cast<i16>(((k & 0x80) ? 0x8000 : 0) | (k & 1));
}

u32 track_leave(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w) return 0;
  w->tracking_leave = 1;
  return 1;
}

u32 cursor_pos(const Thread& t, i32* x, i32* y) {
  *x = t.pointer_x;
  *y = t.pointer_y;
  return 1;
}

void input(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam) {
  const Window* w = find(t, window);
  if (!w) return;
  // A mouse message's client point is the pointer's place on the screen, taken from the window's rectangle.
  i32 x = t->pointer_x, y = t->pointer_y;
  if (is_mouse(message) && message != wm_mousewheel) {
    x = w->rect.left + low_x(lparam);
    y = w->rect.top + high_y(lparam);
  }
  input_at(t, window, message, wparam, lparam, x, y);
}

void input_at(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam, i32 screen_x, i32 screen_y) {
  Window* w = find(t, window);
  if (!w) return;
  const u32 key = static_cast<u32>(wparam & 0xFF);
  switch (message) {
    case wm_keydown:
    case wm_syskeydown:
      if (!(t->keys[key] & 0x80)) t->keys[key] ^= 1;
      t->keys[key] |= 0x80;
      break;
    case wm_keyup:
    case wm_syskeyup: t->keys[key] &= 0x7F; break;
    case wm_lbuttondown: t->keys[vk_lbutton] |= 0x80; break;
    case wm_lbuttonup: t->keys[vk_lbutton] &= 0x7F; break;
    default: break;
  }
  if (is_mouse(message) && message != wm_mousewheel) {
    t->pointer_x = screen_x;
    t->pointer_y = screen_y;
  }
  if ((message == wm_lbuttondown || message == wm_rbuttondown) && (t->classes[w->class_index].style & cs_dblclks)) {
    const u64 now = now_ms(*t);
    const i32 x = low_x(lparam), y = high_y(lparam);
    const bool second = t->press_window == window && t->press_message == message &&
                        now - t->press_time <= double_click_ms && x - t->press_x <= double_click_box / 2 &&
                        t->press_x - x <= double_click_box / 2 && y - t->press_y <= double_click_box / 2 &&
                        t->press_y - y <= double_click_box / 2;
    if (second) {
      // The double-click ends the pair: a third press starts a new one.
      message += 2;
      t->press_window = 0;
    } else {
      t->press_window = window;
      t->press_message = message;
      t->press_time = now;
      t->press_x = x;
      t->press_y = y;
    }
  }
  enqueue(t, window, message, wparam, lparam);
}

void pointer_left(Thread* t, Handle window) {
  Window* w = find(t, window);
  if (!w || !w->tracking_leave) return;
  w->tracking_leave = 0;
  enqueue(t, window, wm_mouseleave, 0, 0);
}

// ---- Screen facts

u32 monitor_dpi(const Thread& t, i32 x, i32 y) {
  return t.backend == backend_display ? display_dpi(&t, x, y) : 96;
}

u32 work_area(const Thread& t, i32 x, i32 y, Rect* out) {
  return t.backend == backend_display ? display_work_area(&t, x, y, out) : 0;
}

// ---- Clipboard

namespace {

void forget_text(Clipboard* c) {
  for (u32 i = 0; i < c->count; ++i) c->text[i] = 0;
  c->count = 0;
  c->mark_count = 0;
}

bool opened_by_owner(const Clipboard& c) { return c.opener != 0 && c.opener == c.owner; }

// UTF-16 units as UTF-8 (a lone surrogate becomes U+FFFD) into out, which holds 3 bytes a unit: the length.
u32 utf16_to_utf8(const u16* text, u32 count, u8* out) {
  u32 n = 0;
  for (u32 i = 0; i < count; ++i) {
    u32 code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out[n++] = static_cast<u8>(code);
    } else if (code < 0x800) {
      out[n++] = static_cast<u8>(0xC0 | code >> 6);
      out[n++] = static_cast<u8>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out[n++] = static_cast<u8>(0xE0 | code >> 12);
      out[n++] = static_cast<u8>(0x80 | ((code >> 6) & 0x3F));
      out[n++] = static_cast<u8>(0x80 | (code & 0x3F));
    } else {
      out[n++] = static_cast<u8>(0xF0 | code >> 18);
      out[n++] = static_cast<u8>(0x80 | ((code >> 12) & 0x3F));
      out[n++] = static_cast<u8>(0x80 | ((code >> 6) & 0x3F));
      out[n++] = static_cast<u8>(0x80 | (code & 0x3F));
    }
  }
  return n;
}

}  // namespace

u32 clipboard_open(Thread* t, Handle window) {
  Clipboard& c = t->clipboard;
  if (!find(t, window)) return refused;
  if (c.opener != 0 && c.opener != window) return busy;
  if (c.refuse_opens > 0) {
    c.refuse_opens -= 1;
    return busy;
  }
  c.opener = window;
  return ok;
}

u32 clipboard_empty(Thread* t) {
  Clipboard& c = t->clipboard;
  if (c.opener == 0) return refused;
  forget_text(&c);
  c.owner = c.opener;
  if (t->backend == backend_display) display_clipboard_forget(t);
  return ok;
}

u32 clipboard_set_text(Thread* t, const u16* text, u32 count) {
  Clipboard& c = t->clipboard;
  if (!opened_by_owner(c)) return refused;
  if (count >= clipboard_most) return full;
  forget_text(&c);
  for (u32 i = 0; i < count; ++i) c.text[i] = text[i];
  c.text[count] = 0;
  c.count = count + 1;
  if (t->backend == backend_display) {
    // Other programs take the text from the display as UTF-8.
    u8 utf8[clipboard_most * 3];
    const u32 n = utf16_to_utf8(text, count, utf8);
    const u32 code = display_clipboard_put(t, find(t, c.opener), mem::Bytes(utf8, n), false);
    explicit_bzero(utf8, n);
    if (code != ok) {
      forget_text(&c);
      return failed;
    }
  }
  return ok;
}

u32 clipboard_mark(Thread* t, u32 format) {
  Clipboard& c = t->clipboard;
  if (!opened_by_owner(c) || c.count == 0) return refused;
  if (c.mark_count >= clipboard_marks_most) return full;
  c.marks[c.mark_count++] = format;
  if (t->backend == backend_display) display_clipboard_secret(t);
  return ok;
}

void clipboard_close(Thread* t) { t->clipboard.opener = 0; }

u32 clipboard_format(mem::Bytes name) { return register_message(name); }

u32 clipboard_read(Thread* t, u8* out, u32 most, u32* length) {
  const Clipboard& c = t->clipboard;
  *length = 0;
  if (c.opener == 0) return refused;
  if (t->backend == backend_display && c.owner == 0) {
    // Another program's text, asked of the display; each character beyond ASCII reads as '?'.
    u8 utf8[clipboard_most];
    u32 got = 0;
    const u32 code = display_clipboard_get(t, find(t, c.opener), utf8, sizeof utf8, &got);
    u32 n = 0;
    for (u32 i = 0; i < got && n < most && utf8[i] != 0; ++i)
      if (utf8[i] < 0x80 || (utf8[i] & 0xC0) == 0xC0) out[n++] = utf8[i] < 0x80 ? utf8[i] : u8{'?'};
    explicit_bzero(utf8, got);
    *length = n;
    return code == display_lost ? display_lost : ok;
  }
  u32 n = 0;
  while (n < most && n < c.count && c.text[n] != 0) {
    out[n] = c.text[n] < 0x80 ? static_cast<u8>(c.text[n]) : u8{'?'};
    ++n;
  }
  *length = n;
  return ok;
}

// ---- Finding windows of other processes

Handle find_window(mem::Bytes class_name, Handle after) {
  char folder[store::path_capacity + 1];
  if (!usable_class(class_name) || !windows_folder(folder)) return 0;
  DIR* dir = opendir(folder);
  if (!dir) return 0;
  const u32 after_pid = process_of(after);
  Handle best = 0;
  u32 best_pid = 0;
  while (dirent* e = readdir(dir)) {
    const u64 n = strlen(e->d_name);
    if (n <= class_name.len + 1 || memcmp(e->d_name, class_name.ptr, class_name.len) != 0 ||
        e->d_name[class_name.len] != '.')
      continue;
    const char* digits = e->d_name + class_name.len + 1;
    char* end = nullptr;
    const unsigned long pid = strtoul(digits, &end, 10);
    if (*digits < '0' || *digits > '9' || *end != 0 || pid == 0 || pid > 0xFFFFFFFFul) continue;
    if (after != 0 && pid <= after_pid) continue;
    char path[store::path_capacity + 1];
    int length = snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) continue;
    u8 text[40];
    u64 got = fs::read_prefix(mem::Bytes(reinterpret_cast<const u8*>(path), static_cast<u64>(length)),
                              mem::Slice{text, sizeof text});
    const Handle window = parse_hex(reinterpret_cast<const char*>(text), got);
    sockaddr_un address;
    socklen_t address_length = 0;
    const bool named = window != 0 && process_of(window) == pid && socket_address(window, &address, &address_length);
    // The entry of a process that ended: its socket is gone or nobody has it bound.
    if (!named || access(address.sun_path, F_OK) != 0 || stale_socket(address, address_length)) {
      if (named) unlink(address.sun_path);
      unlink(path);
      continue;
    }
    if (!best || pid < best_pid) {
      best = window;
      best_pid = static_cast<u32>(pid);
    }
  }
  closedir(dir);
  return best;
}

}  // namespace win
