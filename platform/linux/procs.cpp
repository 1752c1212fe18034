// The process chain from /proc/<pid>: stat, statm and io of each process (status too while swap is in use) and the
// count of its open files, written in the chain layout of sysrec::ProcEntry; the holders of sockets, found
// through the open files; and the graphics use of the processes that hold DRM devices open.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "platform/linux/reader.h"
#include "platform/os.h"
#include "platform/sysinfo.h"

namespace sysinfo {
namespace {

// The longest entry of a process's fd folder: the entry head and a name of at most 10 digits, 8-byte aligned.
constexpr long fd_entry_most = 32;

// Calls f(name) for each entry of an open folder, from its start, until f answers false. A folder kept open is
// rewound first; a fresh one is at its start already. The kernel fills a listing of a process's fd folder until
// the next entry does not fit: when the last listing left room for the longest one (fd_folder), it was the end,
// and the call that would answer nothing is spared.
template <typename F>
void each_entry(int folder, F f, bool fresh = false, bool fd_folder = false) {
  alignas(8) char buffer[16384];
  if (!fresh) lseek(folder, 0, SEEK_SET);
  for (;;) {
    long n = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (n <= 0) return;
    for (long at = 0; at < n;) {
      const char* entry = buffer + at;
      uint16_t length;
      memcpy(&length, entry + 16, 2);
      const char* name = entry + 19;
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !f(name)) return;
      at += length;
    }
    if (fd_folder && n <= static_cast<long>(sizeof buffer) - fd_entry_most) return;
  }
}

// A pid from a folder name of digits only; 0 otherwise.
uint32_t pid_of(const char* name) {
  uint64_t v = 0;
  for (const char* c = name; *c; ++c) {
    if (*c < '0' || *c > '9' || v > 0xFFFFFFFFull) return 0;
    v = v * 10 + static_cast<uint64_t>(*c - '0');
  }
  return v <= 0xFFFFFFFFull ? static_cast<uint32_t>(v) : 0;
}

std::vector<uint32_t> list_pids(int proc) {
  std::vector<uint32_t> pids;
  each_entry(proc, [&](const char* name) {
    if (uint32_t pid = pid_of(name)) pids.push_back(pid);
    return true;
  });
  std::sort(pids.begin(), pids.end());  // the kernel lists them so; a copied tree may not
  return pids;
}

// "<pid>/<leaf>" into out (at least 48 bytes).
const char* pid_path(char* out, uint32_t pid, const char* leaf) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + pid % 10);
    pid /= 10;
  } while (pid);
  char* p = out;
  while (n) *p++ = digits[--n];
  *p++ = '/';
  size_t len = strlen(leaf);
  memcpy(p, leaf, len + 1);
  return out;
}

struct Facts {
  uint32_t pid = 0, parent = 0, threads = 0, handles = 0;
  uint64_t user = 0, kernel = 0, started = 0;  // kernel clock ticks
  uint64_t flags = 0, minor_faults = 0, major_faults = 0, virtual_size = 0, resident = 0;  // as the stat line says
  uint64_t working_set = 0, private_bytes = 0;
  uint64_t read = sysrec::io_unreported, written = sysrec::io_unreported;
  size_t comm_length = 0;  // of the short name in the stat line
  size_t name_length = 0;
  char name[256];
};

// A kernel thread has no memory of its own (its statm is all zeros).
constexpr uint64_t kernel_thread_flag = 0x00200000;

// "pid (comm) state ppid ...": the name between the first '(' and the last ')', then the numbered fields.
bool parse_stat(std::string_view text, Facts* f) {
  size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
  f->name_length = std::min(close - open - 1, sizeof f->name - 1);
  f->comm_length = f->name_length;
  memcpy(f->name, text.data() + open + 1, f->name_length);
  // Field k (from 3, the state letter) is word k - 3 after the name.
  size_t at = close + 2;
  uint64_t field[22] = {};
  for (int k = 0; k < 22 && at < text.size(); ++k) {
    while (at < text.size() && text[at] == ' ') ++at;
    size_t before = at;
    field[k] = number_at(text, &at);
    if (at == before) {  // the state letter, or a negative field
      while (at < text.size() && text[at] != ' ') ++at;
    }
  }
  f->parent = static_cast<uint32_t>(field[4 - 3]);
  f->flags = field[9 - 3];
  f->minor_faults = field[10 - 3];
  f->major_faults = field[12 - 3];
  f->user = field[14 - 3];
  f->kernel = field[15 - 3];
  f->threads = static_cast<uint32_t>(field[20 - 3]);
  f->started = field[22 - 3];
  f->virtual_size = field[23 - 3];
  f->resident = field[24 - 3];
  return true;
}

uint64_t kib_field(std::string_view text, std::string_view key) {
  std::string_view value;
  if (!field_after(text, key, &value)) return 0;
  uint64_t kb = number_of(value);
  return kb > UINT64_MAX / 1024 ? UINT64_MAX : kb * 1024;
}

// The process's own file name when its short name may have been cut at 15 bytes: the executable's last component,
// else the first argument's, when it begins with the short name.
void full_name(Reader* r, uint32_t pid, Facts* f) {
  // A kernel thread has neither an executable nor arguments: its short name is all there is.
  if (f->name_length != 15 || (f->flags & kernel_thread_flag)) return;
  char path[48], target[512];
  ssize_t n = readlinkat(r->proc, pid_path(path, pid, "exe"), target, sizeof target - 1);
  std::string_view candidate;
  if (n > 0) {
    candidate = std::string_view(target, static_cast<size_t>(n));
    const std::string_view deleted = " (deleted)";
    if (candidate.size() > deleted.size() && candidate.substr(candidate.size() - deleted.size()) == deleted) {
      candidate.remove_suffix(deleted.size());
    }
  } else {
    std::string_view text;
    if (!read_record(r, r->proc, pid_path(path, pid, "cmdline"), &text)) return;
    candidate = text.substr(0, text.find('\0'));
  }
  size_t slash = candidate.rfind('/');
  if (slash != std::string_view::npos) candidate.remove_prefix(slash + 1);
  if (candidate.size() > 15 && candidate.substr(0, 15) == std::string_view(f->name, 15)) {
    f->name_length = std::min(candidate.size(), sizeof f->name - 1);
    memcpy(f->name, candidate.data(), f->name_length);
  }
}

// The number of open files: the kernel tells it as the folder's size; a copied tree (or an older kernel, which
// tells 0) is counted. Another user's folder cannot be read, and the count stays 0. A kernel thread has no files of
// its own (its folder is always empty), so it costs no look: on most machines they are half the processes.
uint32_t open_files(Reader* r, const Facts& f, const Kept& k) {
  if (f.flags & kernel_thread_flag) return 0;
  const uint32_t pid = f.pid;
  char path[48];
  pid_path(path, pid, "fd");
  if (r->procfs) {
    struct stat st {};
    int told = k.fds >= 0 ? fstat(k.fds, &st) : fstatat(r->proc, path, &st, 0);
    if (told == 0 && (st.st_size > 0 || r->fd_sizes)) return static_cast<uint32_t>(st.st_size);
  }
  const bool fresh = k.fds < 0;
  int folder = fresh ? open_folder(r->proc, path) : k.fds;
  if (folder < 0) return 0;
  uint32_t count = 0;
  each_entry(folder, [&](const char*) {
    ++count;
    return true;
  }, fresh, r->procfs);
  if (fresh) ::close(folder);
  return count;
}

// A whole record read again through an open file; false when it cannot be read (its process ended).
bool read_open(Reader* r, int fd, std::string_view* out) {
  ssize_t n;
  do {
    n = pread(fd, r->buffer.data(), r->buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || static_cast<size_t>(n) == r->buffer.size()) return false;
  *out = std::string_view(r->buffer.data(), static_cast<size_t>(n));
  return true;
}

// The stat line through the kept file; false when the file is not kept or its process has ended (the caller then
// reads by path: the number may belong to a new process).
bool read_kept_stat(Reader* r, const Kept& k, std::string_view* out) { return k.stat >= 0 && read_open(r, k.stat, out); }

// Another record of a process whose stat line was just read: through its kept file; by path when there is none.
// The file is opened to be kept only for a process read again (`again`): most processes are read once and then
// sleep, and every kept file costs each owner search that lists this process's open files.
bool read_kept(Reader* r, const Kept& k, bool again, int* fd, const char* leaf, std::string_view* out) {
  char path[48];
  pid_path(path, k.pid, leaf);
  if (again && k.stat >= 0 && *fd == -1) {
    *fd = openat(r->proc, path, O_RDONLY | O_CLOEXEC);
    if (*fd < 0) *fd = -2;
  }
  return *fd >= 0 ? read_open(r, *fd, out) : read_record(r, r->proc, path, out);
}

void close_files(Kept* k) {
  for (int* fd : {&k->stat, &k->fds, &k->statm, &k->io}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void open_files_of(Reader* r, Kept* k) {
  char path[48];
  k->stat = openat(r->proc, pid_path(path, k->pid, "stat"), O_RDONLY | O_CLOEXEC);
  if (k->stat < 0) return;
  k->fds = open_folder(r->proc, pid_path(path, k->pid, "fd"));
  if (k->fds < 0) k->fds = -2;
}

// The stat line shows no activity since the memo was made: nothing ran in the process that could have changed its
// memory or I/O counts (or renamed it), but for short runs below one clock tick.
bool quiet_since(const ProcMemo& m, const Facts& f) {
  return m.started == f.started && m.user == f.user && m.kernel == f.kernel && m.minor_faults == f.minor_faults &&
         m.major_faults == f.major_faults && m.virtual_size == f.virtual_size && m.resident == f.resident &&
         m.threads == f.threads && m.comm == std::string_view(f.name, f.comm_length);
}

// Memory, I/O counts, the full name and the open files, from the process's files (`again`: it was read before).
void read_details(Reader* r, uint32_t pid, bool swap_used, bool again, Kept* k, Facts* f) {
  char path[48];
  std::string_view text;
  // Resident and shared pages: the working set, and the private (anonymous) part of it. A kernel thread has none.
  if (!(f->flags & kernel_thread_flag) && read_kept(r, *k, again, &k->statm, "statm", &text)) {
    size_t at = 0;
    number_at(text, &at);
    uint64_t resident = number_at(text, &at), shared = number_at(text, &at);
    f->working_set = resident * r->page;
    f->private_bytes = (resident > shared ? resident - shared : 0) * r->page;
  }
  // Private bytes also count what went to swap; only the longer status file tells it, and only when swap is used.
  if (swap_used && read_record(r, r->proc, pid_path(path, pid, "status"), &text)) {
    f->private_bytes += kib_field(text, "VmSwap:");
  }
  std::string_view read_value, write_value;
  if (read_kept(r, *k, again, &k->io, "io", &text) && field_after(text, "read_bytes:", &read_value) &&
      field_after(text, "write_bytes:", &write_value)) {
    f->read = std::min(number_of(read_value), sysrec::io_unreported - 1);
    f->written = std::min(number_of(write_value), sysrec::io_unreported - 1);
  }
  full_name(r, pid, f);
  f->handles = open_files(r, *f, *k);
}

// Reads one process: its stat line always; its other files only when the memo of the last pass (null for a process
// not seen then) cannot stand for them. The memo for the next pass goes to *memo. False when the process is gone.
bool read_process(Reader* r, uint32_t pid, bool swap_used, const ProcMemo* before, uint64_t now, Kept* k, Facts* f,
                  ProcMemo* memo) {
  char path[48];
  std::string_view text;
  if (!read_kept_stat(r, *k, &text)) {
    if (k->stat >= 0) {
      close_files(k);  // its process ended: a process of the same number is a new one
      before = nullptr;
    }
    if (!read_record(r, r->proc, pid_path(path, pid, "stat"), &text)) return false;  // gone
  }
  if (!parse_stat(text, f)) return false;
  f->pid = pid;
  const uint64_t carry = f->flags & kernel_thread_flag ? r->kernel_carry_ms : r->carry_ms;
  if (before && now - before->read_ms < carry && quiet_since(*before, *f)) {
    *memo = *before;
    f->name_length = std::min(memo->name.size(), sizeof f->name - 1);
    memcpy(f->name, memo->name.data(), f->name_length);
    f->working_set = memo->working_set;
    f->private_bytes = memo->private_bytes;
    f->read = memo->read;
    f->written = memo->written;
    // The count of open files costs one look and tells the owner search which processes changed: always read.
    f->handles = memo->handles = open_files(r, *f, *k);
    return true;
  }
  memo->comm.assign(f->name, f->comm_length);
  read_details(r, pid, swap_used, before != nullptr, k, f);
  memo->pid = pid;
  memo->threads = f->threads;
  memo->started = f->started;
  memo->user = f->user;
  memo->kernel = f->kernel;
  memo->minor_faults = f->minor_faults;
  memo->major_faults = f->major_faults;
  memo->virtual_size = f->virtual_size;
  memo->resident = f->resident;
  memo->read_ms = now;
  memo->name.assign(f->name, f->name_length);
  memo->working_set = f->working_set;
  memo->private_bytes = f->private_bytes;
  memo->read = f->read;
  memo->written = f->written;
  memo->handles = f->handles;
  return true;
}

uint64_t entry_size(const Facts& f) { return (sizeof(sysrec::ProcEntry) + 2 * (f.name_length + 1) + 7) / 8 * 8; }
// The most one process's entry takes (a name of 255 units).
constexpr uint64_t entry_most = (sizeof(sysrec::ProcEntry) + 2 * sizeof Facts::name + 7) / 8 * 8;

void write_entry(const Reader* r, const Facts& f, uint64_t boot, mem::Slice at, uint64_t address) {
  memset(at.ptr, 0, at.len);
  sysrec::ProcEntry e{};
  uint16_t* name = reinterpret_cast<uint16_t*>(at.ptr + sizeof e);
  uint32_t units = os::utf8_to_wide(mem::Bytes(reinterpret_cast<const u8*>(f.name), f.name_length), name,
                                    static_cast<u32>(f.name_length + 1));
  e.threads = f.threads;
  e.create_time = boot ? boot + ticks_of(r, f.started) : 0;
  e.user_time = ticks_of(r, f.user);
  e.kernel_time = ticks_of(r, f.kernel);
  e.name_length = static_cast<u16>(2 * units);
  e.name_capacity = static_cast<u16>(2 * units + 2);
  e.name_address = units ? address + sizeof e : 0;
  e.pid = f.pid;
  e.parent_pid = f.parent;
  e.handles = f.handles;
  e.working_set = f.working_set;
  e.private_bytes = f.private_bytes;
  e.read_bytes = f.read;
  e.write_bytes = f.written;
  memcpy(at.ptr, &e, sizeof e);
}

// The socket inode an open file names ("socket:[12345]"), 0 for any other file. *denied tells that this user may
// not look at the process's open files at all.
uint64_t socket_of(int folder, const char* path, bool* denied = nullptr) {
  char target[64];
  ssize_t n = readlinkat(folder, path, target, sizeof target - 1);
  if (denied) *denied = n < 0 && errno == EACCES;
  if (n <= 9 || memcmp(target, "socket:[", 8) != 0) return 0;
  size_t at = 8;
  return number_at(std::string_view(target, static_cast<size_t>(n)), &at);
}

// The inode number the kernel gives the first PID namespace.
constexpr uint64_t first_pid_namespace = 0xEFFFFFFCu;
// Links beyond the processes by more than this are not the folder's own subfolders (a proc mount that hides other
// users' processes from the listing, say): the links are not used then.
constexpr uint64_t links_less_most = 4096;

// The proc folder's link count; 0 where it does not tell the processes the folder lists.
uint64_t proc_links(Reader* r) {
  if (!r->procfs) return 0;
  if (r->first_namespace < 0) {
    struct stat ns {};
    r->first_namespace = fstatat(r->proc, "self/ns/pid", &ns, 0) == 0 && ns.st_ino == first_pid_namespace;
  }
  struct stat st {};
  if (!r->first_namespace || fstat(r->proc, &st) != 0) return 0;
  return st.st_nlink;
}

// A pass listed count processes between two looks at the links: what lies beyond them is measured, and trusted when
// the measure before gave the same. A process that came or went during the listing spoils a measure (the looks
// differ): it changes nothing, so that a machine where processes come and go all the time keeps its trust.
void measure_links(Reader* r, uint64_t before, uint64_t after, size_t count) {
  if (before == 0) {
    r->links_trusted = false;
    r->links_less = 0;
    return;
  }
  if (before != after) return;
  const bool good = before >= count && before - count <= links_less_most;
  const uint64_t less = good ? before - count : 0;
  r->links_trusted = good && r->links_less == less;
  r->links_less = less;
}

}  // namespace

uint32_t process_entries(int proc) {
  uint32_t count = 0;
  if (proc < 0) return 0;
  each_entry(proc, [&](const char* name) {
    count += pid_of(name) != 0;
    return true;
  });
  return count;
}

uint32_t process_count(Reader* r) {
  // Listing the proc folder costs as much as a good part of a process pass; a pass a moment ago counted it already.
  if (r->listed && os::clock_ms() - r->listed_ms <= r->count_ms) return r->listed_count;
  if (r->links_trusted) {
    const uint64_t links = proc_links(r);
    if (links >= r->links_less) return static_cast<uint32_t>(std::min<uint64_t>(links - r->links_less, UINT32_MAX));
  }
  return process_entries(r->proc);
}

namespace {

// The kept files of a listed process: those of the last pass (the files of processes passed over on the way, which
// have ended, are closed), else newly opened while fewer than keep_most processes have theirs.
Kept take_kept(Reader* r, uint32_t pid, size_t* old, size_t kept) {
  while (*old < r->kept.size() && r->kept[*old].pid < pid) close_files(&r->kept[(*old)++]);
  if (*old < r->kept.size() && r->kept[*old].pid == pid) return r->kept[(*old)++];
  Kept k;
  k.pid = pid;
  if (r->procfs && kept < r->keep_most) open_files_of(r, &k);
  return k;
}

}  // namespace

uint32_t keep_budget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t most = 65536;
  if (limit.rlim_cur < most && limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = std::min(limit.rlim_max, most);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const rlim_t spare = 512;
  return limit.rlim_cur > spare ? static_cast<uint32_t>(std::min<rlim_t>(limit.rlim_cur, most) - spare) / 4 : 0;
}

void close_kept(Reader* r) {
  for (Kept& k : r->kept) close_files(&k);
  r->kept.clear();
}

u32 processes(Reader* r, mem::Slice buffer, u32* returned) {
  *returned = 0;
  if (!r || r->proc < 0) return status_unsuccessful;
  // An empty buffer only asks for the size: after a pass, half as many processes again (each at its largest) is
  // plenty, and answered without listing them.
  if (buffer.len == 0 && !r->memos.empty()) {
    *returned = static_cast<u32>(std::min<uint64_t>((r->memos.size() * 3 / 2 + 64) * entry_most, UINT32_MAX));
    return status_length_mismatch;
  }
  uint64_t boot = boot_time(r);
  std::string_view memory;
  uint64_t swap_total = 0, swap_free = 0;
  if (read_fixed(r, "meminfo", true, &memory)) {
    swap_total = kib_field(memory, "SwapTotal:");
    swap_free = kib_field(memory, "SwapFree:");
  }
  const bool swap_used = swap_total > swap_free;
  const uint64_t now = os::clock_ms();
  const uint64_t links = proc_links(r);
  const std::vector<uint32_t> pids = list_pids(r->proc);
  measure_links(r, links, proc_links(r), pids.size());
  r->listed = true;
  r->listed_count = static_cast<uint32_t>(pids.size());
  r->listed_ms = now;
  std::vector<ProcMemo> memos;
  memos.reserve(pids.size());
  size_t old = 0;  // the memos of the last pass run by pid too
  uint64_t needed = 0, last = 0;
  uint32_t seen = 0;
  // Once an entry does not fit, the rest is not read: each process left counts at its largest, so that the size
  // answered is enough for the next try (an empty buffer reads nothing at all).
  bool short_buffer = buffer.len == 0;
  std::vector<Kept> kept;
  kept.reserve(std::min<size_t>(pids.size(), r->keep_most));
  size_t old_kept = 0;
  for (uint32_t pid : pids) {
    Kept k = take_kept(r, pid, &old_kept, kept.size());
    if (short_buffer) {
      needed += entry_most;
      if (k.stat >= 0) kept.push_back(k);
      continue;
    }
    while (old < r->memos.size() && r->memos[old].pid < pid) ++old;
    const ProcMemo* before = old < r->memos.size() && r->memos[old].pid == pid ? &r->memos[old] : nullptr;
    Facts f;
    ProcMemo memo;
    const bool read = read_process(r, pid, swap_used, before, now, &k, &f, &memo);
    if (!read) {
      close_files(&k);
      continue;
    }
    if (k.stat >= 0) kept.push_back(k);
    uint64_t size = entry_size(f);
    needed += size;
    if (needed > buffer.len) {
      short_buffer = true;
      continue;
    }
    const uint64_t at = needed - size;
    write_entry(r, f, boot, mem::Slice{buffer.ptr + at, size}, reinterpret_cast<uint64_t>(buffer.ptr) + at);
    if (seen) {
      uint32_t next = static_cast<uint32_t>(at - last);
      memcpy(buffer.ptr + last, &next, 4);
    }
    last = at;
    ++seen;
    memos.push_back(std::move(memo));
  }
  // The files of processes that were not listed again go.
  for (; old_kept < r->kept.size(); ++old_kept) close_files(&r->kept[old_kept]);
  r->kept.swap(kept);
  if (short_buffer) {
    *returned = static_cast<u32>(std::min<uint64_t>(needed, UINT32_MAX));
    return status_length_mismatch;
  }
  r->memos.swap(memos);
  *returned = static_cast<u32>(needed);
  return seen ? status_success : status_unsuccessful;
}

namespace {

// The process of the last pass with this pid; null when it was not in it.
const ProcMemo* memo_of(const Reader* r, uint32_t pid) {
  auto at = std::lower_bound(r->memos.begin(), r->memos.end(), pid,
                             [](const ProcMemo& m, uint32_t p) { return m.pid < p; });
  return at != r->memos.end() && at->pid == pid ? &*at : nullptr;
}

// The start of a process of the last pass; ~0 when it was not in it.
uint64_t start_of(const Reader* r, uint32_t pid) {
  const ProcMemo* m = memo_of(r, pid);
  return m ? m->started : ~0ull;
}

// A listing taken with this start and count of open files still stands for the process as the last pass saw it.
bool stands(const Reader* r, uint32_t pid, uint64_t start, uint32_t files) {
  const ProcMemo* m = memo_of(r, pid);
  return m && m->started == start && m->handles == files;
}

bool stands(const Reader* r, const std::unordered_map<uint32_t, Listing>& listed, uint32_t pid) {
  auto at = listed.find(pid);
  return at != listed.end() && stands(r, pid, at->second.start, at->second.files);
}

// The fd folder of a process of the last pass that the pass keeps open; -1 when there is none.
int kept_folder(const Reader* r, uint32_t pid) {
  auto at = std::lower_bound(r->kept.begin(), r->kept.end(), pid, [](const Kept& k, uint32_t p) { return k.pid < p; });
  return at != r->kept.end() && at->pid == pid && at->fds >= 0 ? at->fds : -1;
}

bool refused(const OwnerLooks& looks, uint32_t pid, uint64_t start) {
  auto at = std::lower_bound(looks.refused.begin(), looks.refused.end(), std::make_pair(pid, uint64_t{0}));
  return at != looks.refused.end() && at->first == pid && at->second == start;
}

// Adds the credit earned since the last search.
void earn(LookCredit* c, uint64_t now) {
  if (!c->started) {
    c->started = true;
    c->credit = c->most;
  } else if (now > c->at_ms) {
    c->credit = std::min<int64_t>(c->most, c->credit + static_cast<int64_t>((now - c->at_ms) * c->rate / 1000));
  }
  c->at_ms = now;
}

// The first family searched in a process pass starts its looks afresh: the listings that no longer stand and the
// sockets seen in them are dropped, and so are the refusals of processes that ended.
void start_looks(Reader* r, int family) {
  OwnerLooks& looks = r->looks;
  const uint8_t bit = static_cast<uint8_t>(1u << family);
  if (looks.pass_ms == r->listed_ms && looks.pass_count == r->listed_count && !(looks.families & bit)) {
    looks.families |= bit;
    return;
  }
  looks.pass_ms = r->listed_ms;
  looks.pass_count = r->listed_count;
  looks.families = bit;
  looks.looked.clear();
  for (auto at = looks.listed.begin(); at != looks.listed.end();) {
    at = stands(r, at->first, at->second.start, at->second.files) ? std::next(at) : looks.listed.erase(at);
  }
  for (auto at = looks.seen.begin(); at != looks.seen.end();) {
    auto listing = looks.listed.find(at->second.pid);
    const bool good = listing != looks.listed.end() && listing->second.start == at->second.start &&
                      listing->second.files == at->second.files;
    at = good ? std::next(at) : looks.seen.erase(at);
  }
  std::vector<std::pair<uint32_t, uint64_t>> still;
  for (const auto& p : looks.refused) {
    if (start_of(r, p.first) == p.second) still.push_back(p);
  }
  looks.refused.swap(still);
}

// This process's own descriptors that are proc files kept open by the process pass (up to four per process
// listed): they hold no socket, so the owner search need not look at them.
std::vector<bool> own_kept(const Reader* r) {
  std::vector<bool> out;
  for (const Kept& k : r->kept) {
    for (int fd : {k.stat, k.fds, k.statm, k.io}) {
      if (fd < 0) continue;
      if (static_cast<size_t>(fd) >= out.size()) out.resize(static_cast<size_t>(fd) + 1);
      out[static_cast<size_t>(fd)] = true;
    }
  }
  return out;
}

// Reads the link of each of a process's open files and calls f(fd, inode) for each socket among them; stops at a
// process whose files may be listed but not looked at (another user's, another container's: *denied). The fd folder
// the process pass keeps open is listed again from its start, another one is opened for the look. This process
// lists itself often (its own count of open files moves whenever processes come or go), and its kept proc files
// hold no socket: they are passed over. Answers the links read, -1 when the folder cannot be opened.
template <typename F>
int64_t each_socket(Reader* r, uint32_t pid, bool* denied, F f) {
  char path[48];
  const int kept = kept_folder(r, pid);
  const int folder = kept >= 0 ? kept : open_folder(r->proc, pid_path(path, pid, "fd"));
  if (folder < 0) {
    *denied = errno == EACCES;
    return -1;
  }
  const std::vector<bool> skip = pid == static_cast<uint32_t>(getpid()) ? own_kept(r) : std::vector<bool>{};
  int64_t links = 0;
  each_entry(folder, [&](const char* name) {
    const uint32_t fd = pid_of(name);
    if (fd < skip.size() && skip[fd]) return true;
    ++links;
    if (uint64_t inode = socket_of(folder, name, denied)) f(fd, inode);
    return !*denied;
  }, kept < 0, r->procfs);
  if (kept < 0) ::close(folder);
  return links;
}

// Lists a process's open files to the end, keeping every socket among them with its holder (the sockets in
// `sockets`); a process whose files this user may not look at is remembered and passed over from then on. Answers
// the links read.
uint32_t look_into(Reader* r, uint32_t pid, std::vector<uint64_t>* sockets) {
  OwnerLooks& looks = r->looks;
  looks.looked.insert(pid);
  sockets->clear();
  const ProcMemo* memo = memo_of(r, pid);
  const uint64_t start = memo ? memo->started : ~0ull;
  const uint32_t files = memo ? memo->handles : 0;
  bool denied = false;
  const int64_t read = each_socket(r, pid, &denied, [&](uint32_t fd, uint64_t inode) {
    looks.seen.insert_or_assign(inode, Owner{pid, fd, true, start, files});
    sockets->push_back(inode);
  });
  if (denied && start != ~0ull) {
    auto at = std::lower_bound(looks.refused.begin(), looks.refused.end(), std::make_pair(pid, uint64_t{0}));
    looks.refused.insert(at, std::make_pair(pid, start));
  } else if (read >= 0 && memo) {
    looks.listed.insert_or_assign(pid, Listing{start, files});
  }
  const uint32_t links = read > 0 ? static_cast<uint32_t>(read) : 0;
  looks.links += links;
  looks.credit.credit -= links;
  return links;
}

bool looked(const OwnerLooks& looks, uint32_t pid) { return looks.looked.count(pid) != 0; }

}  // namespace

void sockets_held(Reader* r, uint32_t pid, std::unordered_set<uint64_t>* inodes) {
  inodes->clear();
  if (r->proc < 0) return;
  bool denied = false;
  const int64_t read = each_socket(r, pid, &denied, [&](uint32_t, uint64_t inode) { inodes->insert(inode); });
  if (read > 0) r->looks.links += static_cast<uint64_t>(read);
}

namespace {

// A holder known from before, when it holds the socket still: trusted while its start and count stay, else
// confirmed with one look at its open file (while there is credit for it; without, it is trusted until the next
// search). False when it no longer holds it, or ended.
bool still_holds(Reader* r, uint64_t inode, Owner* o) {
  if (o->pid == 0) return true;
  const ProcMemo* m = memo_of(r, o->pid);
  if (m && m->started == o->start && m->handles == o->files) return true;
  if (m && m->started != o->start) return false;
  LookCredit& credit = r->looks.credit;
  if (m && credit.credit <= 0) return true;
  char path[64], fd[16];
  snprintf(fd, sizeof fd, "fd/%u", o->fd);
  credit.credit -= 1;
  r->looks.links += 1;
  if (socket_of(r->proc, pid_path(path, o->pid, fd)) != inode) return false;
  if (m) o->files = m->handles;
  return true;
}

}  // namespace

void find_owners(Reader* r, int family, const std::vector<uint64_t>& inodes) {
  start_looks(r, family);
  earn(&r->looks.credit, os::clock_ms());
  OwnerLooks& looks = r->looks;
  std::unordered_map<uint64_t, Owner>& owners = r->owners[family];
  std::unordered_map<uint64_t, Owner> found;
  std::unordered_set<uint64_t> missing, stayed;
  // A socket seen in a listing that stands needs no look of its own.
  auto seen = [&](uint64_t inode) {
    auto at = looks.seen.find(inode);
    if (at == looks.seen.end()) return false;
    found.emplace(inode, at->second);
    return true;
  };
  for (uint64_t inode : inodes) {
    if (inode == 0 || found.count(inode) || missing.count(inode)) continue;
    auto known = owners.find(inode);
    if (known != owners.end() && known->second.settled) {
      Owner o = known->second;
      if (still_holds(r, inode, &o)) {
        found.emplace(inode, o);
        continue;
      }
    }
    if (seen(inode)) continue;
    missing.insert(inode);
    // Listed at the search before too: its holder is looked for everywhere this time.
    if (known != owners.end()) stayed.insert(inode);
  }
  bool everywhere = false;  // every process was looked into
  bool spent = false;       // the credit ran out first
  if (!missing.empty() && r->proc >= 0) {
    // The processes of the last pass (open files, pid), or every listed one when there was none; a process known
    // to hold no open file is passed over, and so is one already listed in this pass or refused before. Those
    // whose listing no longer stands come first, and within each group those with the fewest open files: a look
    // costs one read per open file, and a process holding thousands (a collector keeps two per process open, and
    // its count moves whenever processes come or go) would otherwise be listed before the one that opened the
    // connection.
    std::vector<std::pair<uint32_t, uint32_t>> first, rest;
    if (r->memos.empty()) {
      for (uint32_t pid : list_pids(r->proc)) {
        if (!looked(looks, pid)) first.emplace_back(~0u, pid);
      }
    } else {
      for (const ProcMemo& m : r->memos) {
        if (m.handles == 0 || looked(looks, m.pid) || refused(looks, m.pid, m.started)) continue;
        (stands(r, looks.listed, m.pid) ? rest : first).emplace_back(m.handles, m.pid);
      }
    }
    auto fewest_first = [](const std::pair<uint32_t, uint32_t>& a, const std::pair<uint32_t, uint32_t>& b) {
      return a.first < b.first;
    };
    std::stable_sort(first.begin(), first.end(), fewest_first);
    std::stable_sort(rest.begin(), rest.end(), fewest_first);
    // A socket whose holder's count did not move is most often one a server accepted while it closed another file,
    // and a server holds listed sockets already: among the rest, those holders come first. Only the order changes;
    // the walk still ends where every socket is found, or at the last process.
    if (!stayed.empty()) {
      std::unordered_set<uint32_t> holders;
      for (const auto& known : r->owners)
        for (const auto& o : known)
          if (o.second.pid != 0) holders.insert(o.second.pid);
      std::stable_partition(rest.begin(), rest.end(),
                            [&](const std::pair<uint32_t, uint32_t>& p) { return holders.count(p.second) != 0; });
    }
    // A process's open files are looked through to the end: a count taken earlier cannot bound the listing, since
    // the process may have opened files since (this one has, the folder being listed among them).
    std::vector<uint64_t> sockets;
    auto look = [&](const std::pair<uint32_t, uint32_t>& process) {
      look_into(r, process.second, &sockets);
      for (uint64_t inode : sockets) {
        if (missing.erase(inode) && seen(inode)) stayed.erase(inode);
      }
    };
    // Sockets that closed since the table was read leave the search: a short connection is often gone before the
    // walk reaches its holder, and would otherwise send the walk through every process.
    // Asking costs about one link read per socket asked for, so it comes after at least that many reads.
    uint64_t checked = looks.links;
    auto go_on = [&](bool wanted) {
      if (!wanted || looks.credit.credit <= 0) return false;
      std::unordered_set<uint64_t> now;
      const uint64_t every = r->recheck_links ? std::max<uint64_t>(r->recheck_links, missing.size()) : 0;
      if (looks.links - checked >= every && still_listed(r, family, missing, &now)) {
        checked = looks.links;
        for (auto at = missing.begin(); at != missing.end();) {
          if (now.count(*at)) {
            ++at;
            continue;
          }
          stayed.erase(*at);
          found.emplace(*at, Owner{0, 0, false});
          at = missing.erase(at);
        }
      }
      return !missing.empty();
    };
    size_t i = 0, j = 0;
    for (; i < first.size() && go_on(true); ++i) look(first[i]);
    for (; j < rest.size() && go_on(!stayed.empty()) && !stayed.empty(); ++j) look(rest[j]);
    spent = !missing.empty() && looks.credit.credit <= 0 &&
            (i < first.size() || (j < rest.size() && !stayed.empty()));
    everywhere = !spent && j == rest.size();
  }
  // Not found: nobody's when every process was searched; else looked for again at the next search, which comes at
  // the next sample when the credit ran out.
  for (uint64_t inode : missing) {
    found.emplace(inode, Owner{0, 0, !spent && (everywhere || stayed.count(inode) != 0)});
  }
  r->tcp[family].owners_pending = spent;
  owners.swap(found);
}

namespace {

// "13612 KiB" in bytes.
uint64_t bytes_of_amount(std::string_view value) {
  size_t at = 0;
  uint64_t n = number_at(value, &at);
  std::string_view unit = value.substr(std::min(at, value.size()));
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  if (unit == "KiB") return n << 10;
  if (unit == "MiB") return n << 20;
  if (unit == "GiB") return n << 30;
  return n;
}

bool starts(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// One DRM client's usage statistics.
struct Client {
  std::string pdev, id;
  std::vector<std::pair<std::string, uint64_t>> busy;  // engine, ns
  std::vector<std::pair<std::string, uint64_t>> capacity;
  uint64_t resident = 0, memory = 0;
  bool has_resident = false;
};

Client client_of(std::string_view text) {
  Client c;
  each_line(text, [&](std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    std::string_view key = line.substr(0, colon), value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (key == "drm-pdev") {
      c.pdev = std::string(value);
    } else if (key == "drm-client-id") {
      c.id = std::string(value);
    } else if (starts(key, "drm-engine-capacity-")) {
      c.capacity.emplace_back(std::string(key.substr(20)), number_of(value));
    } else if (starts(key, "drm-engine-")) {
      // Busy time in nanoseconds; drivers that count cycles instead name those keys otherwise.
      if (value.size() > 3 && value.substr(value.size() - 3) == " ns") {
        c.busy.emplace_back(std::string(key.substr(11)), number_of(value));
      }
    } else if (starts(key, "drm-resident-vram") || starts(key, "drm-resident-local")) {
      c.resident += bytes_of_amount(value);
      c.has_resident = true;
    } else if (starts(key, "drm-memory-vram") || starts(key, "drm-memory-local")) {
      c.memory += bytes_of_amount(value);
    }
    return true;
  });
  return c;
}

void add_use(std::vector<GpuUse>* uses, uint32_t pid, uint64_t luid, const std::string& engine, uint64_t busy,
             uint64_t bytes) {
  for (GpuUse& u : *uses) {
    if (u.pid == pid && u.luid == luid && u.engine == engine) {
      u.busy_ns += busy;
      u.bytes += bytes;
      return;
    }
  }
  uses->push_back(GpuUse{pid, luid, engine, busy, bytes});
}

// The LUID of the card behind a device node ("/dev/dri/renderD128") when its client names no PCI device.
uint64_t luid_of_node(Reader* r, const char* target) {
  const char* node = strrchr(target, '/');
  std::string device = real_path(r->root, (std::string("sys/class/drm/") + (node ? node + 1 : target) + "/device").c_str());
  size_t slash = device.rfind('/');
  return luid_of_address(slash == std::string::npos ? device : device.substr(slash + 1));
}

}  // namespace

namespace {

// Lists a process's open files for DRM device nodes into out; answers the links read.
uint32_t drm_files_of(Reader* r, uint32_t pid, const std::vector<bool>& skip, std::vector<DrmFile>* out) {
  char path[64];
  int folder = open_folder(r->proc, pid_path(path, pid, "fd"));
  if (folder < 0) return 0;
  uint32_t links = 0;
  each_entry(folder, [&](const char* name) {
    const uint32_t fd = pid_of(name);
    if (fd < skip.size() && skip[fd]) return true;
    char target[64];
    ++links;
    ssize_t n = readlinkat(folder, name, target, sizeof target - 1);
    if (n > 9 && memcmp(target, "/dev/dri/", 9) == 0) {
      out->push_back(DrmFile{pid, name, std::string(target, static_cast<size_t>(n))});
    }
    return true;
  }, true, r->procfs);
  ::close(folder);
  return links;
}

// Walks the open files of the processes whose listing no longer stands, while there is credit; the others keep
// the DRM files found before. True when every process was walked.
bool find_drm_files(Reader* r) {
  earn(&r->drm_credit, os::clock_ms());
  std::vector<uint32_t> pids;
  if (r->memos.empty()) {
    pids = list_pids(r->proc);
  } else {
    for (const ProcMemo& m : r->memos) pids.push_back(m.pid);
  }
  const uint32_t self = static_cast<uint32_t>(getpid());
  const std::vector<bool> own = own_kept(r);
  std::vector<DrmFile> files;
  std::unordered_map<uint32_t, Listing> listed;
  bool whole = true;
  auto before = r->drm_files.begin();
  for (uint32_t pid : pids) {
    while (before != r->drm_files.end() && before->pid < pid) ++before;
    auto end = before;
    while (end != r->drm_files.end() && end->pid == pid) ++end;
    const ProcMemo* m = memo_of(r, pid);
    auto listing = r->drm_listed.find(pid);
    const bool standing = m && listing != r->drm_listed.end() && listing->second.start == m->started &&
                          listing->second.files == m->handles;
    if (standing || (m && m->handles == 0) || r->drm_credit.credit <= 0) {
      whole = whole && (standing || (m && m->handles == 0));
      files.insert(files.end(), before, end);
      if (listing != r->drm_listed.end()) listed.insert(*listing);
      continue;
    }
    const uint32_t links = drm_files_of(r, pid, pid == self ? own : std::vector<bool>{}, &files);
    r->drm_credit.credit -= links;
    r->drm_links += links;
    if (m) listed.emplace(pid, Listing{m->started, m->handles});
  }
  r->drm_files.swap(files);
  r->drm_listed.swap(listed);
  return whole;
}

}  // namespace

void gpu_uses(Reader* r, std::vector<GpuUse>* uses) {
  uses->clear();
  if (r->proc < 0) return;
  sample_cards(r);
  // With no graphics card no process can hold one open: the walk is skipped.
  if (r->cards.empty()) return;
  // Walking every open file of every process costs far more than a sample may; new clients are found by the walk
  // every 10 s (of the processes that opened or closed files since, within the credit), and known ones are read at
  // each sample.
  const uint64_t now = os::clock_ms();
  if (!r->drm_walked || now - r->drm_walk_ms >= 10000 || r->drm_pending) {
    if (!r->drm_pending) r->drm_walk_ms = now;
    r->drm_pending = !find_drm_files(r);
    r->drm_walked = true;
  }
  std::unordered_set<std::string> clients;
  std::vector<DrmFile> kept;
  for (const DrmFile& file : r->drm_files) {
    std::string info = std::to_string(file.pid) + "/fdinfo/" + file.fd;
    std::string_view text;
    // A file closed or a process ended since the walk is dropped until the next walk finds it again.
    if (!read_file(r, r->proc, info.c_str(), &text)) continue;
    Client c = client_of(text);
    if (c.id.empty()) continue;
    kept.push_back(file);
    // Clients shared by several open files (or passed to another process) count once.
    if (!clients.insert(c.pdev + "/" + c.id).second) continue;
    uint64_t luid = c.pdev.empty() ? luid_of_node(r, file.target.c_str()) : luid_of_address(c.pdev);
    if (luid == 0) continue;
    for (const auto& [engine, ns] : c.busy) {
      uint64_t capacity = 1;
      for (const auto& [name, n] : c.capacity) capacity = name == engine && n > 1 ? n : capacity;
      add_use(uses, file.pid, luid, engine, ns / capacity, 0);
    }
    add_use(uses, file.pid, luid, std::string(), 0, c.has_resident ? c.resident : c.memory);
  }
  r->drm_files.swap(kept);
}

}  // namespace sysinfo
