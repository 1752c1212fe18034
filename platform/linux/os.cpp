#include "platform/os.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include "base/words.h"
#include "platform/fs.h"
#include "platform/linux/entry.h"
#include "platform/proc.h"

namespace os {
namespace {
// Written once by the entry, read-only afterwards.
int saved_argc = 0;
char** saved_argv = nullptr;
}  // namespace

void set_args(int argc, char** argv) {
  saved_argc = argc;
  saved_argv = argv;
}

u32 write_std(u32 handle_id, mem::Bytes bytes) {
  const u64 chunk_max = 0x40000000;
  u64 done = 0;
  while (done < bytes.len) {
    u64 n = bytes.len - done < chunk_max ? bytes.len - done : chunk_max;
    ssize_t w = write(static_cast<int>(handle_id), bytes.ptr + done, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return fs::error_class(static_cast<u32>(errno));
    if (w == 0) return fs::other;
    done += static_cast<u64>(w);
  }
  return 0;
}

void write_out(mem::Bytes bytes) { write_std(std_output, bytes); }
void write_err(mem::Bytes bytes) { write_std(std_error, bytes); }

u64 arg_count() { return saved_argc > 0 ? static_cast<u64>(saved_argc) : 1; }

mem::Bytes arg(u64 i) {
  if (!saved_argv || i >= static_cast<u64>(saved_argc) || !saved_argv[i]) return mem::Bytes();
  return mem::Bytes(reinterpret_cast<const u8*>(saved_argv[i]), strlen(saved_argv[i]));
}

u64 stdin_handle() { return STDIN_FILENO; }

u32 input_ready(u64 handle, u32 timeout_ms) {
  pollfd p{static_cast<int>(handle), POLLIN, 0};
  int n;
  do n = poll(&p, 1, static_cast<int>(timeout_ms < 0x7FFFFFFF ? timeout_ms : 0x7FFFFFFF));
  while (n < 0 && errno == EINTR);
  return n > 0 ? 1 : 0;
}
u64 stdout_handle() { return STDOUT_FILENO; }

u64 read_handle(u64 handle, mem::Slice buffer) {
  int fd = static_cast<int>(handle);
  for (;;) {
    ssize_t n = read(fd, buffer.ptr, buffer.len);
    if (n >= 0) return static_cast<u64>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0 && errno != EINTR) return 0;
  }
}

bool write_handle(u64 handle, mem::Bytes bytes) {
  int fd = static_cast<int>(handle);
  u64 done = 0;
  while (done < bytes.len) {
    ssize_t w = write(fd, bytes.ptr + done, bytes.len - done);
    if (w > 0) {
      done += static_cast<u64>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return false;
  }
  return true;
}

namespace {

bool is_blank(u8 c) { return c == ' ' || c == '\t'; }

// Writes one argument so that next_token reads it back: bare when it can be, else quoted with each backslash run
// doubled where a quote (or the closing quote) follows it.
u64 put_quoted(u8* out, mem::Bytes a) {
  bool bare = a.len > 0;
  for (u64 i = 0; i < a.len; ++i) bare = bare && !is_blank(a.ptr[i]) && a.ptr[i] != '"';
  if (bare) {
    memcpy(out, a.ptr, a.len);
    return a.len;
  }
  u64 n = 0, run = 0;
  out[n++] = '"';
  for (u64 i = 0; i < a.len; ++i) {
    u8 c = a.ptr[i];
    if (c == '"') {
      for (u64 k = 0; k < run + 1; ++k) out[n++] = '\\';
      out[n++] = '"';
    } else {
      out[n++] = c;
    }
    run = c == '\\' ? run + 1 : 0;
  }
  for (u64 k = 0; k < run; ++k) out[n++] = '\\';
  out[n++] = '"';
  return n;
}

}  // namespace

mem::Slice command_line() {
  u64 count = arg_count(), size = 0;
  for (u64 i = 0; i < count; ++i) size += 2 * arg(i).len + 3;
  u8* text = static_cast<u8*>(malloc(size));
  if (!text) return mem::Slice{nullptr, 0};
  u64 n = 0;
  text[n++] = '"';
  mem::Bytes name = arg(0);
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] != '"') text[n++] = name.ptr[i];
  }
  text[n++] = '"';
  for (u64 i = 1; i < count; ++i) {
    text[n++] = ' ';
    n += put_quoted(text + n, arg(i));
  }
  return mem::Slice{text, n};
}

void free_command_line(u8* text) {
  if (text) heap_free(text);
}

void heap_free(void* block) {
  int saved = errno;
  free(block);
  errno = saved;
}

void* pages_reserve(u64 size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

u32 pages_release(void* block, u64 size) { return munmap(block, size) == 0 ? 1 : 0; }

// The system keeps 8 bits of the code; a parent that gave this process an exit channel gets all 32 there first.
void exit_process(u32 code) {
  proc::put_exit_word(code);
  exit(static_cast<int>(code & 0xFF));
}

// ---- Clocks, random bytes and small system queries.

namespace {

u64 clock_ns(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<u64>(t.tv_sec) * 1000000000ull + static_cast<u64>(t.tv_nsec);
}

// Leading decimal digits of text at *at, moved past them; the low 16 bits are what the record keeps.
u32 parse_number(const char* text, u32* at) {
  u32 value = 0;
  while (text[*at] >= '0' && text[*at] <= '9') value = value * 10 + static_cast<u32>(text[(*at)++] - '0');
  return value;
}

u32 printable(mem::Bytes text) {
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] < 32 || text.ptr[i] > 126) return 0;
  }
  return 1;
}

}  // namespace

u64 clock_ms() { return clock_ns(CLOCK_BOOTTIME) / 1000000; }

// 100 ns ticks: a u64 lasts 58,000 years, and ms = ticks / 10,000 never overflows an intermediate product.
u64 ticks() { return clock_ns(CLOCK_MONOTONIC) / 100; }
u64 ticks_per_second() { return 10000000; }

u64 micros() {
  u64 count = ticks(), frequency = ticks_per_second();
  // Whole seconds and the remainder apart, so the count is exact for any frequency and nothing overflows.
  return count / frequency * 1000000 + count % frequency * 1000000 / frequency;
}

u64 filetime_now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  const u64 seconds_1601_to_1970 = 11644473600ull;
  return (static_cast<u64>(t.tv_sec) + seconds_1601_to_1970) * 10000000ull + static_cast<u64>(t.tv_nsec) / 100;
}

void sleep_ms(u32 ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

u32 random_bytes(mem::Slice buffer) {
  const u64 chunk_max = 0x10000000;
  u64 done = 0;
  while (done < buffer.len) {
    u64 n = buffer.len - done < chunk_max ? buffer.len - done : chunk_max;
    ssize_t got = getrandom(buffer.ptr + done, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      mem::fill(buffer, 0);
      return 0;
    }
    done += static_cast<u64>(got);
  }
  return 1;
}

// Both system bytes name Linux: the host lists a machine by the second when it is not 0, so a 1 there (Windows)
// would group every Linux machine under Windows.
u32 windows_version(WindowsVersion* version) {
  *version = WindowsVersion{family_linux, family_linux, 0, 0, 0};
  utsname names{};
  if (uname(&names) != 0) return 0xC0000001;  // the system's "unsuccessful"
  u32 at = 0;
  version->major = static_cast<u16>(parse_number(names.release, &at));
  if (names.release[at] == '.') ++at;
  version->minor = static_cast<u16>(parse_number(names.release, &at));
  if (names.release[at] == '.') ++at;
  version->build = parse_number(names.release, &at);
  return 0;
}

u32 computer_name(u8* buffer64) {
  u64 length = 0;
  u32 result = fs::env_var(mem::lit("COMPUTERNAME"), mem::Slice{buffer64, 64}, &length);
  if (result == fs::not_found) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return 0;
    length = strlen(host);
    if (length > 64) return 0;
    __builtin_memcpy(buffer64, host, length);
  } else if (result != fs::ok) {
    return 0;
  }
  return printable(mem::Bytes(buffer64, length)) ? static_cast<u32>(length) : 0;
}

u32 machine_word(u8* buffer64) {
  utsname names{};
  if (uname(&names) != 0) return 0;
  u64 length = strnlen(names.machine, sizeof names.machine);
  if (length == 0 || length > 64) return 0;
  __builtin_memcpy(buffer64, names.machine, length);
  return static_cast<u32>(length);
}

u32 process_id() { return static_cast<u32>(getpid()); }

u32 utf8_to_wide(mem::Bytes bytes, u16* buffer, u32 capacity) {
  if (capacity == 0) return 0;
  u32 units = 0;
  if (bytes.len != 0 && bytes.len < capacity) {
    // At most one unit per byte, so capacity - 1 units always hold the result. A malformed sequence gives one
    // U+FFFD per byte it spoils, as the system converter does.
    for (u64 at = 0; at < bytes.len;) {
      u32 cp = words::next_code_point(bytes, &at);
      if (cp >= 0x10000) {
        buffer[units++] = static_cast<u16>(0xD800 + ((cp - 0x10000) >> 10));
        buffer[units++] = static_cast<u16>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        buffer[units++] = static_cast<u16>(cp);
      }
    }
  }
  buffer[units] = 0;
  return units;
}

// ---- Requests to stop: SIGTERM and SIGINT blocked and read from a signal descriptor, which needs no handler and
// no global state. The descriptor is the handle minus 1.

u64 stop_requests_open() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return 0;
  int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  return fd < 0 ? 0 : static_cast<u64>(fd) + 1;
}

u32 stop_requested(u64 handle) {
  if (handle == 0) return 0;
  signalfd_siginfo info;
  u32 seen = 0;
  while (read(static_cast<int>(handle - 1), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) seen = 1;
  return seen;
}

void stop_requests_close(u64 handle) {
  if (handle != 0) close(static_cast<int>(handle - 1));
}

}  // namespace os
