#include "platform/section.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "history/store.h"
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
  if (code != ok) ::close(fd);
  return code;
}

void close(Section* s) {
  if (s->handle == 0) return;
  int fd = static_cast<int>(s->handle - 1);
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
