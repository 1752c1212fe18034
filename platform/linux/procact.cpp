#include "platform/procact.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace procact {
namespace {

// proclist's codes and fact bits, as this layer reports them.
enum : u32 { same = 0, done = 1, reused = 3, ended = 4, refused = 5, failed = 6, too_long = 12, gone = 13,
             is_exiting = 15 };
enum : u32 {
  fact_ended = 0x008, fact_exiting = 0x010, fact_system = 0x020, fact_protected = 0x040, fact_elevated = 0x080,
  fact_query_denied = 0x100, fact_end_denied = 0x200, fact_path_failed = 0x400, fact_path_long = 0x800,
};
constexpr u64 kernel_thread = 0x00200000;  // PF_KTHREAD
constexpr u64 kernel_exiting = 0x4;        // PF_EXITING
constexpr u32 cap_kill = 5;

int fd_of(const Handle& h) { return static_cast<int>(h.fd - 1); }

std::string proc_file(u32 pid, const char* name) { return "/proc/" + std::to_string(pid) + "/" + name; }

// The whole of a small /proc file: 0, ENOENT/ESRCH as 4, anything else as 5.
u32 read_small(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH ? ended : refused;
  char buffer[4096];
  out->clear();
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : 0;
      ::close(fd);
      if (n < 0) return error == ESRCH ? ended : refused;
      return out->empty() ? ended : same;
    }
    out->append(buffer, static_cast<size_t>(n));
    if (out->size() > 65536) break;
  }
  ::close(fd);
  return same;
}

// The fields of /proc/<pid>/stat after the name: state, flags and the start in clock ticks.
struct Stat {
  char state;
  u64 flags;
  u64 started;
};

u32 read_stat(u32 pid, Stat* st) {
  std::string text;
  const u32 got = read_small(proc_file(pid, "stat"), &text);
  if (got) return got;
  const size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= text.size()) return refused;
  // Field 3 is the state; fields are counted from 3 after the name.
  std::string_view rest(text.data() + close_paren + 2, text.size() - close_paren - 2);
  u32 field = 3;
  size_t at = 0;
  *st = Stat{};
  while (at < rest.size() && field <= 22) {
    size_t end = rest.find(' ', at);
    if (end == std::string_view::npos) end = rest.size();
    const std::string_view word = rest.substr(at, end - at);
    if (field == 3 && !word.empty()) st->state = word[0];
    if (field == 9) st->flags = strtoull(std::string(word).c_str(), nullptr, 10);
    if (field == 22) st->started = strtoull(std::string(word).c_str(), nullptr, 10);
    at = end + 1;
    ++field;
  }
  return field > 22 ? same : refused;
}

u32 key_of(u64 started) {
  const long hz = sysconf(_SC_CLK_TCK);
  const u64 seconds = started / static_cast<u64>(hz > 0 ? hz : 100);
  return seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(seconds);
}

// The numbers after "key" at the start of a line of a status text.
bool line_numbers(const std::string& text, const char* key, u64* values, u32 count) {
  const std::string k = std::string("\n") + key;
  size_t at = ("\n" + text).find(k);
  if (at == std::string::npos) return false;
  const char* p = text.c_str() + at + strlen(key);
  for (u32 i = 0; i < count; ++i) {
    char* end = nullptr;
    values[i] = strtoull(p, &end, 10);
    if (end == p) return false;
    p = end;
  }
  return true;
}

bool has_cap_kill() {
  std::string text;
  if (read_small("/proc/self/status", &text)) return false;
  const size_t at = text.find("\nCapEff:");
  if (at == std::string::npos) return false;
  const u64 caps = strtoull(text.c_str() + at + 8, nullptr, 16);
  return (caps >> cap_kill) & 1;
}

bool alive(const Handle& h) {
  pollfd p{fd_of(h), POLLIN, 0};
  // A process descriptor turns readable when its process has ended.
  return ::poll(&p, 1, 0) == 0;
}

// Starts the program with the argument list, with nothing of this process but its environment; a detached start
// forks twice so the program outlives this one and is never this process's zombie. Returns the child's pid for an
// attached start (0 for a detached one), or -1 when the program could not be started.
pid_t start_program(const char* const* argv, bool detached) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t first = ::fork();
  if (first < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return -1;
  }
  if (first == 0) {
    ::setsid();
    if (detached) {
      const pid_t second = ::fork();
      if (second < 0) {
        const int error = errno;
        ssize_t unused = ::write(report[1], &error, sizeof error);
        (void)unused;
        ::_exit(127);
      }
      if (second > 0) ::_exit(0);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    // Nothing else of this process reaches the program; the report pipe closes on exec as well.
    if (syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0)
      for (int fd = 3; fd < 65536; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::execvp(argv[0], const_cast<char* const*>(argv));
    const int error = errno;
    ssize_t unused = ::write(report[1], &error, sizeof error);
    (void)unused;
    ::_exit(127);
  }
  ::close(report[1]);
  int error = 0;
  ssize_t n;
  do n = ::read(report[0], &error, sizeof error);
  while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (detached) {
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (n > 0) {
    if (!detached) {
      int status = 0;
      while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
      }
    }
    return -1;
  }
  return detached ? 0 : first;
}

// Waits up to the time for the attached child: its exit code, or -1 after killing it when it did not end.
int wait_program(pid_t pid, u32 timeout_ms) {
  for (u32 waited = 0;; waited += 10) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0 && errno != EINTR) return -1;
    if (waited >= timeout_ms) {
      ::kill(pid, SIGKILL);  // our own child, not yet reaped: the number cannot have passed to another process
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    timespec t{0, 10 * 1000 * 1000};
    ::nanosleep(&t, nullptr);
  }
}

void wipe(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace

u32 start_key(u32 pid, u32* key) {
  Stat st;
  const u32 got = read_stat(pid, &st);
  if (got) return got;
  *key = key_of(st.started);
  return same;
}

u32 open_checked(u32 pid, u32 start, Handle* out) {
  *out = Handle{};
  if (pid == 0) return ended;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) return errno == ESRCH || errno == EINVAL ? ended : refused;
  Handle h{static_cast<u64>(fd) + 1, pid};
  // The facts are read after the descriptor pins the process: a reused number shows another start.
  u32 key = 0;
  u32 code = start_key(pid, &key);
  if (code == same && !alive(h)) code = ended;
  if (code == same && key != start) code = reused;
  if (code != same) {
    ::close(fd);
    return code;
  }
  *out = h;
  return same;
}

void close(Handle* h) {
  if (h->fd) ::close(fd_of(*h));
  *h = Handle{};
}

u32 check_alive(u32 pid, u32 start) {
  Handle h;
  const u32 code = open_checked(pid, start, &h);
  close(&h);
  return code;
}

u32 image_path(const Handle& h, u8* buffer, u32 capacity, u32* length) {
  *length = 0;
  char link[path_most + 16];
  const ssize_t n = ::readlink(proc_file(h.pid, "exe").c_str(), link, sizeof link);
  if (n < 0) return refused;
  std::string_view path(link, static_cast<size_t>(n));
  if (static_cast<size_t>(n) >= sizeof link) return too_long;
  // A program file that was deleted or replaced is named with this mark; the file check then finds it gone.
  constexpr std::string_view deleted = " (deleted)";
  if (path.size() > deleted.size() && path.substr(path.size() - deleted.size()) == deleted)
    path.remove_suffix(deleted.size());
  if (path.size() >= capacity) {
    wipe(link, sizeof link);
    return too_long;
  }
  memcpy(buffer, path.data(), path.size());
  *length = static_cast<u32>(path.size());
  wipe(link, sizeof link);
  return same;
}

bool is_critical(u32 pid) {
  if (pid == 1) return true;
  Stat st;
  return read_stat(pid, &st) == same && (st.flags & kernel_thread);
}

bool is_protected(u32 pid) {
  Stat st;
  return pid == 2 || (read_stat(pid, &st) == same && (st.flags & kernel_thread));
}

bool elevated() { return ::geteuid() == 0 || has_cap_kill(); }

bool exiting(u32 pid) {
  Stat st;
  if (read_stat(pid, &st) != same) return false;
  return st.state == 'Z' || st.state == 'X' || (st.flags & kernel_exiting);
}

u32 end_access(u32 pid) {
  std::string text;
  const u32 got = read_small(proc_file(pid, "status"), &text);
  if (got) return got;
  if (elevated()) return same;
  u64 ids[4];
  if (!line_numbers(text, "Uid:", ids, 4)) return refused;
  const u64 real = ::getuid(), effective = ::geteuid();
  // The system's rule for signals: the sender's real or effective user is the target's real or saved user.
  return real == ids[0] || real == ids[2] || effective == ids[0] || effective == ids[2] ? same : refused;
}

u32 assess(u32 pid, u32 start) {
  u32 facts = elevated() ? u32{fact_elevated} : 0u;
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened == ended || opened == reused) facts |= fact_ended;
  if (opened == refused) facts |= fact_query_denied;
  if (opened != same) return facts;
  u8 path[path_most];
  u32 length = 0;
  const u32 read = image_path(h, path, sizeof path, &length);
  wipe(path, sizeof path);
  if (read == too_long) facts |= fact_path_long;
  if (read == refused) facts |= fact_path_failed;
  if (is_protected(pid)) facts |= fact_protected;
  if (exiting(pid)) facts |= fact_exiting;
  if (is_critical(pid)) facts |= fact_system;
  close(&h);
  const u32 end = end_access(pid);
  if (end == refused) facts |= fact_end_denied;
  if (end == ended) facts |= fact_ended;
  return facts;
}

u32 path_of(u32 pid, u32 start, u8* buffer, u32 capacity, u32* length) {
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened) return opened;
  const u32 read = image_path(h, buffer, capacity, length);
  close(&h);
  return read;
}

u32 open_location(u32 pid, u32 start, bool real, SelectLine) {
  u8 path[path_most];
  u32 length = 0;
  u32 code = path_of(pid, start, path, sizeof path, &length);
  if (code == same) {
    struct stat st{};
    std::string name(reinterpret_cast<const char*>(path), length);
    if (::stat(name.c_str(), &st) != 0) code = gone;
    else code = real ? show_file(mem::Bytes(path, length)) : done;
    wipe(name.data(), name.size());
  }
  wipe(path, sizeof path);
  return code;
}

u32 end_process(u32 pid, u32 start) {
  Handle h;
  const u32 opened = open_checked(pid, start, &h);
  if (opened) return opened;
  u32 code = done;
  if (syscall(SYS_pidfd_send_signal, fd_of(h), SIGKILL, nullptr, 0) != 0) {
    if (errno == ESRCH) code = ended;
    else if (errno == EPERM) code = exiting(pid) ? is_exiting : refused;
    else code = failed;
  }
  close(&h);
  return code;
}

u32 file_uri(mem::Bytes path, u8* out, u32 capacity) {
  if (path.len == 0 || path.ptr[0] != '/') return 0;
  static const char hex[] = "0123456789ABCDEF";
  const char prefix[] = "file://";
  u64 at = 0;
  auto put = [&](u8 c) {
    if (at < capacity) out[at] = c;
    ++at;
  };
  for (const char* p = prefix; *p; ++p) put(static_cast<u8>(*p));
  for (u64 i = 0; i < path.len; ++i) {
    const u8 c = path.ptr[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      put(c);
    } else {
      put('%');
      put(static_cast<u8>(hex[c >> 4]));
      put(static_cast<u8>(hex[c & 15]));
    }
  }
  return at <= capacity ? static_cast<u32>(at) : 0;
}

mem::Bytes folder_of(mem::Bytes path) {
  u64 last = path.len;
  for (u64 i = 0; i < path.len; ++i)
    if (path.ptr[i] == '/') last = i;
  if (last == path.len) return mem::Bytes();
  return mem::Bytes(path.ptr, last == 0 ? 1 : last);
}

u32 show_file(mem::Bytes path) {
  u8 uri[3 * path_most + 16];
  const u32 n = file_uri(path, uri, sizeof uri);
  if (!n) return failed;
  u32 code = failed;
  {
    std::string item = "array:string:" + std::string(reinterpret_cast<const char*>(uri), n);
    const char* argv[] = {"dbus-send", "--session", "--print-reply", "--reply-timeout=2000",
                          "--dest=org.freedesktop.FileManager1", "--type=method_call", "/org/freedesktop/FileManager1",
                          "org.freedesktop.FileManager1.ShowItems", item.c_str(), "string:", nullptr};
    const pid_t pid = start_program(argv, false);
    if (pid > 0 && wait_program(pid, 3000) == 0) code = done;
    wipe(item.data(), item.size());
  }
  if (code != done) {
    const mem::Bytes folder = folder_of(path);
    std::string dir = folder.len ? std::string(reinterpret_cast<const char*>(folder.ptr), folder.len) : std::string();
    const char* argv[] = {"xdg-open", dir.c_str(), nullptr};
    if (!dir.empty() && start_program(argv, true) == 0) code = done;
    wipe(dir.data(), dir.size());
  }
  wipe(uri, sizeof uri);
  return code;
}

}  // namespace procact
