#include "platform/kobj.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/fmt.h"
#include "base/path.h"
#include "platform/fs.h"
#include "platform/os.h"

// An event is a FIFO "<name>.event" that its owner holds open for reading and writing: setting it writes a byte,
// and the event is set while bytes wait. A manual-reset event is never read, so it stays set; an auto-reset event
// is read empty by the wait that sees it. A signaller that finds no FIFO, or one that no process holds open, finds
// no event. A mutex is an open-file lock on "<name>.mutex": the system lets it go when its holder ends.
namespace kobj {
namespace {

const u8 local_prefix[] = {'L', 'o', 'c', 'a', 'l', '\\'};

enum : u64 { kind_manual_event = 1, kind_auto_event = 2, kind_mutex = 3, kind_opened_event = 4 };

Handle handle_of(int fd, u64 kind) { return (kind << 32) | (static_cast<u64>(fd) + 1); }
int fd_of(Handle h) { return static_cast<int>((h & 0xFFFFFFFFu) - 1); }
u64 kind_of(Handle h) { return h >> 32; }

// The part after "Local\" when the whole name is acceptable, else empty.
mem::Bytes own_part(mem::Bytes name) {
  const u64 prefix = sizeof local_prefix;
  if (name.len <= prefix || name.len > name_max || !mem::eq(mem::Bytes(name.ptr, prefix), mem::Bytes(local_prefix, prefix)))
    return mem::Bytes();
  mem::Bytes rest(name.ptr + prefix, name.len - prefix);
  for (u64 i = 0; i < rest.len; ++i) {
    u8 c = rest.ptr[i];
    if (c < 32 || c > 126 || c == '/' || c == '\\') return mem::Bytes();
    if (c == '.' && i + 1 < rest.len && rest.ptr[i + 1] == '.') return mem::Bytes();
  }
  if (rest.len == 1 && rest.ptr[0] == '.') return mem::Bytes();
  return rest;
}

// The path as a C string; false when it overflowed.
bool c_path(const store::Path& p, char (&out)[store::path_capacity + 1]) {
  if (p.overflow) return false;
  memcpy(out, p.text, p.length);
  out[p.length] = 0;
  return true;
}

bool object_c_path(mem::Bytes name, const char* suffix, char (&out)[store::path_capacity + 1]) {
  store::Path p;
  return object_path(name, mem::Bytes(reinterpret_cast<const u8*>(suffix), strlen(suffix)), &p) && c_path(p, out);
}

bool same_file(int fd, const char* path) {
  struct stat a{}, b{};
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the file the descriptor has open, when its name still leads to it (another owner may have made a new
// object under the name since).
void unlink_own(int fd) {
  char link[32], path[store::path_capacity + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path - 1) return;
  path[n] = 0;
  if (same_file(fd, path)) unlink(path);
}

// A FIFO that some process holds open for reading: an owned event.
bool owned_fifo(const char* path, int* writer) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if (writer) {
    *writer = fd;
  } else {
    ::close(fd);
  }
  return true;
}

// Events whose owner ended: no process holds the FIFO open for reading, and it is older than a minute. A killed
// owner leaves its FIFO behind, and an owner with a random name (a feed) never comes back for it.
void sweep_events(const char* folder) {
  DIR* dir = opendir(folder);
  if (!dir) return;
  const time_t now = time(nullptr);
  while (dirent* e = readdir(dir)) {
    const size_t n = strlen(e->d_name);
    if (n <= 6 || strcmp(e->d_name + n - 6, ".event") != 0) continue;
    char path[store::path_capacity + 1];
    const int length = snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
    struct stat st{};
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path || lstat(path, &st) != 0) continue;
    if (!S_ISFIFO(st.st_mode) || now - st.st_mtime < 60 || owned_fifo(path, nullptr)) continue;
    unlink(path);
  }
  closedir(dir);
}

Handle create(mem::Bytes name, u64 kind) {
  char path[store::path_capacity + 1];
  store::Path folder;
  if (!object_c_path(name, ".event", path) || !runtime_folder(&folder)) return 0;
  char folder_text[store::path_capacity + 1];
  c_path(folder, folder_text);
  // Creators of one name take turns, so that two cannot both find the name free and replace each other's FIFO.
  int lock = open(folder_text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) ::close(lock);
    return 0;
  }
  sweep_events(folder_text);
  int fd = -1;
  if (!owned_fifo(path, nullptr)) {
    // Whatever is left under the name belonged to an owner that ended.
    if ((unlink(path) == 0 || errno == ENOENT) && mkfifo(path, 0600) == 0) {
      fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    }
  }
  ::close(lock);
  return fd < 0 ? 0 : handle_of(fd, kind);
}

}  // namespace

u32 wide_name(mem::Bytes name, u16* buffer100) {
  buffer100[0] = 0;
  if (name.len == 0 || name.len > name_max) return 0;
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] >= 128) return 0;
  }
  for (u64 i = 0; i < name.len; ++i) buffer100[i] = name.ptr[i];
  buffer100[name.len] = 0;
  return static_cast<u32>(name.len);
}

Handle create_quit_event() {
  u8 name[96];
  u32 n = quit_event_name(os::process_id(), name);
  return create(mem::Bytes(name, n), kind_manual_event);
}

namespace {
// The descriptor the stop signals write to. A signal handler can reach nothing else, so this one value is kept for
// the process.
volatile sig_atomic_t stop_fd = -1;

void on_stop_signal(int) {
  int saved = errno;
  int fd = stop_fd;
  if (fd >= 0) {
    u8 one = 1;
    ssize_t w = write(fd, &one, 1);
    (void)w;
  }
  errno = saved;
}
}  // namespace

u32 stop_on_signals(Handle quit_event) {
  if (quit_event == 0 || kind_of(quit_event) != kind_manual_event) return 0;
  stop_fd = fd_of(quit_event);
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0 ? 1 : 0;
}

Handle create_event(mem::Bytes name) { return create(name, kind_auto_event); }

Handle open_event(mem::Bytes name) {
  char path[store::path_capacity + 1];
  if (!object_c_path(name, ".event", path) || !owned_fifo(path, nullptr)) return 0;
  // Read and write, so the descriptor never sees the end of the FIFO while the owner briefly has it closed.
  int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  struct stat st{};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid())) {
    ::close(fd);
    fd = -1;
  }
  return fd < 0 ? 0 : handle_of(fd, kind_opened_event);
}

u32 signal_event(mem::Bytes name) {
  char path[store::path_capacity + 1];
  int fd = -1;
  if (!object_c_path(name, ".event", path) || !owned_fifo(path, &fd)) return 0;
  u8 one = 1;
  // A full FIFO is an event that is set already.
  ssize_t w = write(fd, &one, 1);
  u32 result = w == 1 || errno == EAGAIN ? 1 : 0;
  ::close(fd);
  return result;
}

u32 set(Handle event) {
  const u64 kind = kind_of(event);
  if (event == 0 || (kind != kind_manual_event && kind != kind_auto_event && kind != kind_opened_event)) return 0;
  u8 one = 1;
  // A full FIFO is an event that is set already.
  return write(fd_of(event), &one, 1) == 1 || errno == EAGAIN ? 1 : 0;
}

u32 wait(Handle event, u32 timeout_ms) {
  u64 kind = kind_of(event);
  if (event == 0 || (kind != kind_manual_event && kind != kind_auto_event && kind != kind_opened_event)) return 0;
  pollfd p{fd_of(event), POLLIN, 0};
  int timeout = timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
  if (poll(&p, 1, timeout) != 1 || (p.revents & POLLIN) == 0) return 0;
  if (kind == kind_auto_event || kind == kind_opened_event) {
    u8 drained[256];
    while (read(fd_of(event), drained, sizeof drained) > 0) {
    }
  }
  return 1;
}

u64 pollable(Handle event) {
  u64 kind = kind_of(event);
  if (event == 0 || (kind != kind_manual_event && kind != kind_auto_event && kind != kind_opened_event)) return ~0ull;
  return static_cast<u64>(fd_of(event));
}

Handle take_mutex(mem::Bytes name, u32 timeout_ms) {
  char path[store::path_capacity + 1];
  if (!object_c_path(name, ".mutex", path)) return 0;
  u64 deadline = os::clock_ms() + timeout_ms;
  int fd = -1;
  for (;;) {
    if (fd < 0) fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return 0;
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
      if (same_file(fd, path)) return handle_of(fd, kind_mutex);
      // The holder before us let go and removed the file: take the mutex under the name as it is now.
      ::close(fd);
      fd = -1;
      continue;
    }
    if (errno != EAGAIN && errno != EACCES) break;
    u64 now = os::clock_ms();
    if (now >= deadline) break;
    os::sleep_ms(static_cast<u32>(deadline - now < 10 ? deadline - now : 10));
  }
  ::close(fd);
  return 0;
}

u32 mutex_exists(mem::Bytes name) {
  char path[store::path_capacity + 1];
  if (!object_c_path(name, ".mutex", path)) return 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  struct flock whole{};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  // A test that takes nothing, so a process taking the mutex at this moment is not turned away.
  u32 held = fcntl(fd, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK ? 1 : 0;
  ::close(fd);
  return held;
}

void release_mutex(Handle mutex) {
  if (mutex == 0 || kind_of(mutex) != kind_mutex) return;
  // Removed while still held, so no other process can have taken this file; one waiting on it sees the name gone.
  unlink_own(fd_of(mutex));
  ::close(fd_of(mutex));
}

void close(Handle handle) {
  if (handle == 0) return;
  if (kind_of(handle) == kind_mutex) {
    release_mutex(handle);
    return;
  }
  // A signal after this close must not write into whatever reuses the descriptor.
  if (stop_fd == fd_of(handle)) stop_fd = -1;
  if (kind_of(handle) != kind_opened_event) unlink_own(fd_of(handle));
  ::close(fd_of(handle));
}

u32 runtime_folder(store::Path* out) {
  u8 value[store::path_capacity];
  u64 length = 0;
  u32 found = fs::env_var(mem::lit("XDG_RUNTIME_DIR"), mem::Slice{value, sizeof value}, &length);
  // A set value that cannot be used is refused rather than passed over: the objects must not land in another
  // folder than the one other processes of the session look in. An empty or relative value counts as unset.
  if (found != fs::ok && found != fs::not_found) return 0;
  if (found == fs::ok && length > 0 && value[0] == '/') {
    store::path_set(out, mem::Bytes(value, length));
    store::path_join(out, mem::lit("vimbrel"));
  } else {
    u8 digits[fmt::dec_size];
    store::path_set(out, mem::lit("/tmp/vimbrel-"));
    store::path_text(out, fmt::dec(geteuid(), digits));
  }
  char text[store::path_capacity + 1];
  if (!c_path(*out, text)) return 0;
  if (mkdir(text, 0700) != 0 && errno != EEXIST) return 0;
  // Another user could have made the folder first (in /tmp anyone can), to read or squat the objects in it.
  struct stat st{};
  if (lstat(text, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) return 0;
  return 1;
}

u64 runtime_refusal(mem::Slice out) {
  u64 n = fs::folder_refusal(mem::lit("XDG_RUNTIME_DIR"), out);
  store::Path folder;
  if (n != 0 || runtime_folder(&folder)) return n;
  // A session without its runtime folder (none made for it) is no refusal of ours; a folder that is there but
  // another's, or open to others, is.
  char text[store::path_capacity + 1];
  struct stat st{};
  if (!c_path(folder, text) || lstat(text, &st) != 0) return 0;
  mem::Bytes path = store::path_of(&folder);
  const mem::Bytes why = mem::lit(" is not a folder of this user alone (mode 700)");
  for (u64 i = 0; i < path.len && n < out.len; ++i) out.ptr[n++] = path.ptr[i];
  for (u64 i = 0; i < why.len && n < out.len; ++i) out.ptr[n++] = why.ptr[i];
  return n;
}

u32 object_path(mem::Bytes name, mem::Bytes suffix, store::Path* out) {
  mem::Bytes own = own_part(name);
  if (own.len == 0 || !runtime_folder(out)) return 0;
  store::path_join(out, own);
  store::path_text(out, suffix);
  return out->overflow ? 0 : 1;
}

}  // namespace kobj
