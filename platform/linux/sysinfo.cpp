// System information from /proc and /sys below the reader's root.
#include "platform/sysinfo.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/linux/reader.h"
#include "platform/os.h"

namespace sysinfo {

// ---- Reader and file helpers.

namespace {

void drop_fixed(FixedFile* f) {
  if (f->fd >= 0) ::close(f->fd);
  *f = FixedFile{};
}

}  // namespace

Reader* open(mem::Bytes root) {
  std::string path(reinterpret_cast<const char*>(root.ptr), root.len);
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  int folder = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return nullptr;
  Reader* r = new (std::nothrow) Reader;
  if (!r) {
    ::close(folder);
    return nullptr;
  }
  r->root = folder;
  r->proc = open_folder(folder, "proc");
  struct statfs kind {};
  r->procfs = r->proc >= 0 && fstatfs(r->proc, &kind) == 0 && kind.f_type == PROC_SUPER_MAGIC;
  // Kernels since 6.2 tell the open files of a process as its fd folder's size. Our own folder always holds some,
  // so a size above 0 there shows that a 0 elsewhere means none (kernel threads), not "not told".
  struct stat own {};
  r->fd_sizes = r->procfs && fstatat(r->proc, "self/fd", &own, 0) == 0 && own.st_size > 0;
  long hz = sysconf(_SC_CLK_TCK);
  r->clock_hz = hz > 0 ? static_cast<uint64_t>(hz) : 100;
  long page = sysconf(_SC_PAGESIZE);
  r->page = page > 0 ? static_cast<uint64_t>(page) : 4096;
  r->buffer.resize(65536);
  if (r->procfs) r->keep_most = keep_budget();
  return r;
}

void close(Reader* r) {
  if (!r) return;
  close_kept(r);
  for (FixedFile& f : r->fixed) drop_fixed(&f);
  for (NicFiles& n : r->nic_files) drop_nic_files(&n);
  if (r->proc >= 0) ::close(r->proc);
  if (r->root >= 0) ::close(r->root);
  delete r;
}

void begin_sample(Reader* r) {
  if (!r) return;
  ++r->sample; }

int open_folder(int folder, const char* path) {
  if (folder < 0) return -1;
  return openat(folder, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

namespace {

// Reads an open file into the vector from its start, growing it while reads fill it; the byte count or -1. A file made record by record (a connection table, a mount list) comes at most one
// page per read, so a short read is no end; one made in one piece (whole_first) is whole after a read that leaves
// room in the buffer, which spares the busiest reads, those of every process, a second call.
// With from_start the reads are made at their offsets from the file's start, whatever was read through it before.
ssize_t read_all(int fd, std::vector<char>* into, bool whole_first, bool from_start = false) {
  size_t used = 0;
  for (;;) {
    if (used == into->size()) into->resize(into->size() * 2);
    const size_t room = into->size() - used;
    ssize_t n = from_start ? pread(fd, into->data() + used, room, static_cast<off_t>(used))
                           : read(fd, into->data() + used, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    used += static_cast<size_t>(n);
    if (n == 0 || (whole_first && used < into->size())) return static_cast<ssize_t>(used);
  }
}

bool read_into(Reader* r, int folder, const char* path, bool whole_first, std::string_view* out) {
  if (folder < 0) return false;
  int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = read_all(fd, &r->buffer, whole_first);
  ::close(fd);
  if (n < 0) return false;
  *out = std::string_view(r->buffer.data(), static_cast<size_t>(n));
  return true;
}

}  // namespace

bool read_file(Reader* r, int folder, const char* path, std::string_view* out) {
  return read_into(r, folder, path, false, out);
}

bool read_record(Reader* r, int folder, const char* path, std::string_view* out) {
  return read_into(r, folder, path, true, out);
}

namespace {

bool small_text(ssize_t n, char* buffer, std::string_view* out) {
  if (n < 0) return false;
  size_t len = static_cast<size_t>(n);
  while (len > 0 && (buffer[len - 1] == '\n' || buffer[len - 1] == ' ')) --len;
  *out = std::string_view(buffer, len);
  return true;
}

}  // namespace

bool read_small(int folder, const char* path, char* buffer, size_t size, std::string_view* out) {
  if (folder < 0) return false;
  int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return small_text(n, buffer, out);
}

void drop_nic_files(NicFiles* f) {
  for (int fd : f->fd) {
    if (fd >= 0) ::close(fd);
  }
  *f = NicFiles{};
}

bool read_small_open(int fd, char* buffer, size_t size, std::string_view* out) {
  ssize_t n;
  do {
    n = pread(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return small_text(n, buffer, out);
}

namespace {

// The kept file of a fixed path, opened at its first read; null when it is not kept (not the kernel's proc folder,
// no room left, or it cannot be opened).
FixedFile* fixed_file(Reader* r, const char* path) {
  if (!r->procfs) return nullptr;
  FixedFile* free = nullptr;
  FixedFile* found = nullptr;
  for (FixedFile& f : r->fixed) {
    if (f.path && strcmp(f.path, path) == 0) found = &f;
    if (!f.path && !free) free = &f;
  }
  // A file of "self" opened before a fork tells of the parent.
  if (found && strncmp(path, "self/", 5) == 0 && found->pid != getpid()) drop_fixed(found);
  if (found && found->path) return found;
  FixedFile* f = found ? found : free;
  if (!f) return nullptr;
  f->fd = openat(r->proc, path, O_RDONLY | O_CLOEXEC);
  if (f->fd < 0) {
    *f = FixedFile{};
    return nullptr;
  }
  f->path = path;
  f->pid = getpid();
  return f;
}

}  // namespace

bool read_fixed(Reader* r, const char* path, bool whole_first, std::string_view* out) {
  FixedFile* f = fixed_file(r, path);
  if (f) {
    ssize_t n = read_all(f->fd, &r->buffer, whole_first, true);
    if (n >= 0) {
      *out = std::string_view(r->buffer.data(), static_cast<size_t>(n));
      return true;
    }
    drop_fixed(f);  // read by path instead, which tells whatever is wrong
  }
  return read_into(r, r->proc, path, whole_first, out);
}

bool read_fixed_small(Reader* r, const char* path, char* buffer, size_t size, std::string_view* out) {
  FixedFile* f = fixed_file(r, path);
  if (f) {
    if (read_small_open(f->fd, buffer, size, out)) return true;
    drop_fixed(f);
  }
  return read_small(r->proc, path, buffer, size, out);
}

namespace {

// The names in an open folder, sorted; the folder is closed.
std::vector<std::string> names_in(int fd) {
  std::vector<std::string> names;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return names;
  }
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> list_names(int folder, const char* path) {
  int fd = open_folder(folder, path);
  return fd < 0 ? std::vector<std::string>{} : names_in(fd);
}

std::vector<std::string> class_names(Reader* r, const char* path) {
  ClassList* c = nullptr;
  for (ClassList& known : r->classes)
    if (known.path == path) c = &known;
  if (!c) {
    r->classes.push_back(ClassList{path, {}, ~0ull, false, 0});
    c = &r->classes.back();
  }
  const uint64_t now = os::clock_ms();
  const bool resting = c->missing && now >= c->missing_ms && now - c->missing_ms < r->absent_ms;
  if (c->sample != r->sample && !resting) {
    int fd = open_folder(r->root, path);
    c->missing = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
    c->missing_ms = now;
    c->names = fd < 0 ? std::vector<std::string>{} : names_in(fd);
    c->sample = r->sample;
  }
  return c->names;
}

bool field_after(std::string_view text, std::string_view key, std::string_view* value) {
  bool found = false;
  each_line(text, [&](std::string_view line) {
    found = line.substr(0, key.size()) == key;
    if (found) *value = line.substr(key.size());
    return !found;
  });
  return found;
}

uint64_t number_at(std::string_view text, size_t* at) {
  size_t i = *at;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  uint64_t v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    uint64_t d = static_cast<uint64_t>(text[i] - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    ++i;
  }
  *at = i;
  return v;
}

uint64_t number_of(std::string_view text) {
  size_t at = 0;
  return number_at(text, &at);
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

uint32_t to_wide(std::string_view text, uint16_t* out, uint32_t units) {
  if (units == 0) return 0;
  if (text.empty() || text.size() >= units) {
    // os::utf8_to_wide converts only what surely fits; a longer text is cut at a whole code point below.
    while (!text.empty() && text.size() >= units) {
      size_t cut = units - 1;
      while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
      text = text.substr(0, cut);
    }
    if (text.empty()) {
      out[0] = 0;
      return 0;
    }
  }
  return os::utf8_to_wide(mem::Bytes(reinterpret_cast<const u8*>(text.data()), text.size()), out, units);
}

// ---- Clock, processors and name.

namespace {

constexpr uint64_t seconds_1601_to_1970 = 11644473600ull;
constexpr uint64_t ticks_per_second = 10000000ull;


bool is_cpu_line(std::string_view line, size_t* after) {
  if (line.size() < 4 || line.substr(0, 3) != "cpu" || line[3] < '0' || line[3] > '9') return false;
  size_t i = 3;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  *after = i;
  return true;
}

}  // namespace

u64 boot_time(Reader* r) {
  if (!r) return 0;
  if (r->boot) return r->boot;
  std::string_view text, value;
  if (!read_file(r, r->proc, "stat", &text) || !field_after(text, "btime ", &value)) return 0;
  uint64_t seconds = number_of(value);
  r->boot = seconds == 0 ? 0 : (seconds + seconds_1601_to_1970) * ticks_per_second;
  return r->boot;
}

u32 processor_count(Reader* r) {
  if (!r) return 0;
  char buffer[256];
  std::string_view text;
  if (read_small(r->root, "sys/devices/system/cpu/online", buffer, sizeof buffer, &text) && !text.empty()) {
    // Ranges "0-3,6,8-11".
    uint64_t count = 0;
    size_t at = 0;
    while (at < text.size()) {
      uint64_t first = number_at(text, &at), last = first;
      if (at < text.size() && text[at] == '-') {
        ++at;
        last = number_at(text, &at);
      }
      if (last >= first) count += last - first + 1;
      if (at < text.size() && text[at] != ',') break;
      ++at;
    }
    if (count) return static_cast<u32>(std::min<uint64_t>(count, UINT32_MAX));
  }
  std::string_view stat;
  if (!read_file(r, r->proc, "stat", &stat)) return 0;
  u32 count = 0;
  each_line(stat, [&](std::string_view line) {
    size_t after;
    if (is_cpu_line(line, &after)) ++count;
    return true;
  });
  return count;
}

u32 cpu_name(Reader* r, u16* out, u32 units) {
  if (units) out[0] = 0;
  if (!r) return 0;
  std::string_view text, value;
  if (!read_file(r, r->proc, "cpuinfo", &text)) return 0;
  if (!field_after(text, "model name", &value) && !field_after(text, "Model", &value)) return 0;
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return 0;
  value = value.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (value.empty()) return 0;
  u32 n = to_wide(value, out, units);
  return n ? (n + 1) * 2 : 0;
}

u32 cpu_times(Reader* r, mem::Slice out) {
  if (!r) return 0;
  std::string_view text;
  if (!read_fixed(r, "stat", true, &text)) return 0;
  u64 capacity = out.len / sizeof(sysrec::CpuEntry), n = 0;
  each_line(text, [&](std::string_view line) {
    size_t at;
    if (!is_cpu_line(line, &at)) return n == 0 || line.substr(0, 3) == "cpu";
    if (n == capacity) return false;
    uint64_t v[8];  // user nice system idle iowait irq softirq steal
    for (uint64_t& x : v) x = number_at(line, &at);
    sysrec::CpuEntry e{};
    // Idle counts waiting for I/O; kernel time includes idle time, as the record wants. Steal is time the
    // processor did not get, so it is in no column: shares are of the time this machine really ran.
    e.idle = ticks_of(r, v[3] + v[4]);
    e.kernel = ticks_of(r, v[2] + v[5] + v[6] + v[3] + v[4]);
    e.user = ticks_of(r, v[0] + v[1]);
    e.dpc = ticks_of(r, v[6]);
    e.interrupt = ticks_of(r, v[5]);
    __builtin_memcpy(out.ptr + n * sizeof e, &e, sizeof e);
    ++n;
    return true;
  });
  return static_cast<u32>(n * sizeof(sysrec::CpuEntry));
}

// ---- Memory.

namespace {

// kB value of a memory-file line, in bytes; false when the line is missing.
bool meminfo_bytes(std::string_view text, std::string_view key, uint64_t* bytes) {
  std::string_view value;
  if (!field_after(text, key, &value)) return false;
  uint64_t kb = number_of(value);
  *bytes = kb > UINT64_MAX / 1024 ? UINT64_MAX : kb * 1024;
  return true;
}

uint64_t meminfo_or_zero(std::string_view text, std::string_view key) {
  uint64_t b = 0;
  meminfo_bytes(text, key, &b);
  return b;
}

}  // namespace

bool meminfo_of_sample(Reader* r, std::string_view* text) {
  if (r->meminfo_sample != r->sample) {
    std::string_view fresh;
    if (!read_fixed(r, "meminfo", true, &fresh)) return false;
    r->meminfo.assign(fresh.begin(), fresh.end());
    r->meminfo_sample = r->sample;
  }
  *text = std::string_view(r->meminfo.data(), r->meminfo.size());
  return true;
}

u32 memory(Reader* r, sysrec::MemoryStatus* status, sysrec::PerfInfo* perf) {
  if (!r) return 0;
  std::string_view m;
  if (!meminfo_of_sample(r, &m)) return 0;
  uint64_t total = 0, available = 0;
  if (!meminfo_bytes(m, "MemTotal:", &total) || total == 0) return 0;
  if (!meminfo_bytes(m, "MemAvailable:", &available)) available = meminfo_or_zero(m, "MemFree:");
  available = std::min(available, total);
  uint64_t swap = meminfo_or_zero(m, "SwapTotal:");
  uint64_t committed = meminfo_or_zero(m, "Committed_AS:");
  u32 answer = 0;

  status->load = static_cast<u32>((total - available) * 100 / total);
  status->total_physical = total;
  status->available_physical = available;
  // The commit limit is the memory plus the swap space, whatever overcommit rule the kernel applies.
  status->total_page_file = total + swap;
  status->available_page_file = total + swap > committed ? total + swap - committed : 0;
  // The x86-64 user address space, less what this process has mapped.
  const uint64_t user_space = (1ull << 47) - 4096;
  uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  char statm[128];
  std::string_view own;
  uint64_t mapped = read_fixed_small(r, "self/statm", statm, sizeof statm, &own) ? number_of(own) * page : 0;
  status->total_virtual = user_space;
  status->available_virtual = user_space > mapped ? user_space - mapped : 0;
  status->available_extended_virtual = 0;
  answer |= memory_status_ok;

  uint64_t commit_pages = committed / page;
  r->commit_peak = std::max(r->commit_peak, commit_pages);
  perf->commit_total = commit_pages;
  perf->commit_limit = (total + swap) / page;
  perf->commit_peak = r->commit_peak;
  perf->physical_total = total / page;
  perf->physical_available = available / page;
  perf->system_cache = (meminfo_or_zero(m, "Cached:") + meminfo_or_zero(m, "Buffers:")) / page;
  // Reclaimable slab stands for the paged pool, the rest of the kernel's own memory for the non-paged pool.
  perf->kernel_paged = meminfo_or_zero(m, "SReclaimable:") / page;
  perf->kernel_nonpaged =
      (meminfo_or_zero(m, "SUnreclaim:") + meminfo_or_zero(m, "KernelStack:") + meminfo_or_zero(m, "PageTables:")) /
      page;
  perf->kernel_total = perf->kernel_paged + perf->kernel_nonpaged;
  perf->page_size = page;
  char buffer[128];
  std::string_view text;
  perf->handle_count =
      read_fixed_small(r, "sys/fs/file-nr", buffer, sizeof buffer, &text) ? static_cast<u32>(number_of(text)) : 0;
  perf->thread_count = 0;
  if (read_fixed_small(r, "loadavg", buffer, sizeof buffer, &text)) {
    size_t slash = text.find('/');
    if (slash != std::string_view::npos) perf->thread_count = static_cast<u32>(number_of(text.substr(slash + 1)));
  }
  perf->process_count = process_count(r);
  answer |= performance_ok;
  return answer;
}

// ---- Thread priority.

i32 thread_priority() {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  return errno ? 0 : -nice;
}

bool set_thread_priority(i32 priority) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -priority) == 0;
}

}  // namespace sysinfo
