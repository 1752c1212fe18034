#include "platform/section.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/path.h"
#include "platform/kobj.h"

namespace section {
namespace {

bool file_path(mem::Bytes name, char (&out)[store::path_capacity + 1]) {
  store::Path p;
  if (!kobj::object_path(name, mem::lit(".section"), &p) || p.overflow) return false;
  memcpy(out, p.text, p.length);
  out[p.length] = 0;
  return true;
}

// Our own file, mode 0600, and a plain file: never map what another user made under the name.
bool trusted(int fd) {
  struct stat st{};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

u32 map(int fd, u64 size, u8 owner, Section* out) {
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return failed;
  *out = Section{static_cast<u8*>(view), size, static_cast<u64>(fd) + 1, owner};
  return ok;
}

// ---- Views of other processes' sections that shrink under this one.
//
// A page of a mapped file beyond the file's end faults with SIGBUS. The owner never shrinks its section, but any
// process of the user could cut the file short; a process that opened the section then ends at once with
// lost_exit instead of dying on the signal. The table of watched views is the one state of this module that lives
// outside the callers' records: a signal handler has nothing else to read.
constexpr u32 watched_max = 8;
struct Watched {
  uintptr_t start, end;
};
Watched watched[watched_max];
bool handler_set = false;

void on_bus_error(int signal_number, siginfo_t* info, void*) {
  uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (const Watched& w : watched) {
    if (at >= w.start && at < w.end) _exit(static_cast<int>(lost_exit));
  }
  // Any other bus error is a fault of this process: it ends as it would have without the handler.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void watch(const Section* s) {
  if (!handler_set) {
    struct sigaction action{};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    handler_set = sigaction(SIGBUS, &action, nullptr) == 0;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(s->view);
  for (Watched& w : watched) {
    if (w.start == 0) {
      w = Watched{start, start + s->size};
      return;
    }
  }
}

void unwatch(const Section* s) {
  uintptr_t start = reinterpret_cast<uintptr_t>(s->view);
  for (Watched& w : watched) {
    if (w.start == start) w = Watched{};
  }
}

// ---- Names left behind.

// 1 when the file under the name is left behind by an owner that ended (nobody holds its lock), and it was removed.
bool remove_stale(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT;
  bool stale = false;
  struct stat st{};
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    struct stat now{};
    // Removed only while it is still the file under the name.
    stale = stat(path, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino && unlink(path) == 0;
  }
  ::close(fd);
  return stale;
}

// Sections of owners that ended without removing them (killed ones): every section file of the runtime folder that
// no owner holds locked goes. A file touched in the last seconds is passed over, since its creator may not have
// taken the lock yet; a file of this process's own is locked by it and stays. At most 256 names are looked at.
void sweep_stale(const char* section_path) {
  const i64 young_seconds = 5;
  char folder[store::path_capacity + 1];
  const char* slash = strrchr(section_path, '/');
  if (!slash) return;
  memcpy(folder, section_path, static_cast<u64>(slash - section_path));
  folder[slash - section_path] = 0;
  DIR* dir = opendir(folder);
  if (!dir) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const char suffix[] = ".section";
  u32 looked = 0;
  for (const dirent* e = readdir(dir); e && looked < 256; e = readdir(dir), ++looked) {
    u64 n = strlen(e->d_name);
    if (n <= sizeof suffix - 1 || strcmp(e->d_name + n - (sizeof suffix - 1), suffix) != 0) continue;
    char path[store::path_capacity + 1];
    int m = snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
    struct stat st{};
    if (m <= 0 || static_cast<u64>(m) >= sizeof path || lstat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
        now.tv_sec - st.st_mtim.tv_sec < young_seconds) {
      continue;
    }
    remove_stale(path);
  }
  closedir(dir);
}

}  // namespace

mem::Bytes code_text(u32 code) {
  switch (code) {
    case ok: return mem::lit("ok");
    case bad_name: return mem::lit("the section name or the runtime folder is refused");
    case in_use: return mem::lit("a section of that name exists");
    case failed: return mem::lit("the section cannot be made or mapped");
    case not_found: return mem::lit("no section of that name");
  }
  return mem::lit("");
}

u32 create(mem::Bytes name, u64 size, Section* out) {
  *out = Section{};
  char path[store::path_capacity + 1];
  if (!file_path(name, path)) return bad_name;
  if (size == 0) return failed;
  sweep_stale(path);
  int fd = -1;
  for (u32 attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST) return failed;
    if (!remove_stale(path)) return in_use;
  }
  if (fd < 0) return in_use;
  // The lock tells later creators that the owner lives; the name is ours from here on.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    unlink(path);
    ::close(fd);
    return failed;
  }
  u32 code = map(fd, size, 1, out);
  if (code != ok) {
    unlink(path);
    ::close(fd);
  }
  return code;
}

u32 open(mem::Bytes name, Section* out) {
  *out = Section{};
  char path[store::path_capacity + 1];
  if (!file_path(name, path)) return bad_name;
  int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? not_found : failed;
  struct stat st{};
  bool ours = trusted(fd);
  if (!ours || fstat(fd, &st) != 0 || st.st_size <= 0) {
    ::close(fd);
    return ours ? failed : in_use;
  }
  u32 code = map(fd, static_cast<u64>(st.st_size), 0, out);
  if (code != ok) {
    ::close(fd);
  } else {
    watch(out);
  }
  return code;
}

void close(Section* s) {
  if (s->handle == 0) return;
  int fd = static_cast<int>(s->handle - 1);
  if (!s->owner) unwatch(s);
  if (s->view) munmap(s->view, s->size);
  if (s->owner) {
    // Removed only when the name still leads to this file.
    char link[32], path[store::path_capacity + 1];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    struct stat a{}, b{};
    if (n > 0 && static_cast<size_t>(n) < sizeof path - 1) {
      path[n] = 0;
      if (fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) unlink(path);
    }
  }
  ::close(fd);
  *s = Section{};
}

}  // namespace section
