// The process chain from /proc/<pid>: stat, status, io and the open-file folder of each process, written in the
// chain layout of sysrec::ProcEntry. The same walk notes which process holds each socket, for the TCP owners.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/linux/reader.h"
#include "platform/os.h"
#include "platform/sysinfo.h"

namespace sysinfo {
namespace {

constexpr uint64_t ticks_per_second = 10000000ull;

// Calls f(name, type) for each entry of an open folder, from its start.
template <typename F>
void each_entry(int folder, F f) {
  alignas(8) char buffer[16384];
  lseek(folder, 0, SEEK_SET);
  for (;;) {
    long n = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (n <= 0) return;
    for (long at = 0; at < n;) {
      const char* entry = buffer + at;
      uint16_t length;
      memcpy(&length, entry + 16, 2);
      const char* name = entry + 19;
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) f(name, static_cast<uint8_t>(entry[18]));
      at += length;
    }
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

struct Facts {
  uint32_t pid = 0, parent = 0, threads = 0, handles = 0;
  uint64_t user = 0, kernel = 0, started = 0;  // jiffies
  uint64_t working_set = 0, private_bytes = 0;
  uint64_t read = sysrec::io_unreported, written = sysrec::io_unreported;
  char name[256];
  size_t name_length = 0;
};

uint64_t ticks_of_jiffies(uint64_t jiffies) {
  uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  if (hz == 0) hz = 100;
  return jiffies / hz * ticks_per_second + jiffies % hz * ticks_per_second / hz;
}

// "pid (comm) state ppid ...": the name between the first '(' and the last ')', then the numbered fields.
bool parse_stat(std::string_view text, Facts* f) {
  size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
  f->name_length = std::min(close - open - 1, sizeof f->name - 1);
  memcpy(f->name, text.data() + open + 1, f->name_length);
  // Fields from 3 (state) on; field k is at index k - 3.
  size_t at = close + 2;
  uint64_t field[22] = {};
  for (int k = 0; k < 22 && at < text.size(); ++k) {
    while (at < text.size() && text[at] == ' ') ++at;
    if (k == 0) {
      while (at < text.size() && text[at] != ' ') ++at;  // the state letter
      continue;
    }
    size_t before = at;
    field[k] = number_at(text, &at);
    if (at == before) {  // a negative or other field: skip it
      while (at < text.size() && text[at] != ' ') ++at;
    }
  }
  f->parent = static_cast<uint32_t>(field[4 - 3]);
  f->user = field[14 - 3];
  f->kernel = field[15 - 3];
  f->threads = static_cast<uint32_t>(field[20 - 3]);
  f->started = field[22 - 3];
  return true;
}

uint64_t kib_field(std::string_view text, std::string_view key) {
  std::string_view value;
  if (!field_after(text, key, &value)) return 0;
  uint64_t kb = number_of(value);
  return kb > UINT64_MAX / 1024 ? UINT64_MAX : kb * 1024;
}

// The process's own file name when its short name may have been cut at 15 bytes: the executable's last component,
// else the first argument's when it begins with the short name.
void full_name(Reader* r, uint32_t pid, Facts* f) {
  if (f->name_length != 15) return;
  char path[48], target[512];
  snprintf(path, sizeof path, "%u/exe", pid);
  ssize_t n = readlinkat(r->proc, path, target, sizeof target - 1);
  std::string_view candidate;
  if (n > 0) {
    candidate = std::string_view(target, static_cast<size_t>(n));
    const std::string_view deleted = " (deleted)";
    if (candidate.size() > deleted.size() && candidate.substr(candidate.size() - deleted.size()) == deleted) {
      candidate.remove_suffix(deleted.size());
    }
  } else {
    snprintf(path, sizeof path, "%u/cmdline", pid);
    std::string_view text;
    if (!read_file(r, r->proc, path, &text)) return;
    candidate = text.substr(0, text.find('\0'));
  }
  size_t slash = candidate.rfind('/');
  if (slash != std::string_view::npos) candidate.remove_prefix(slash + 1);
  if (candidate.size() > 15 && candidate.substr(0, 15) == std::string_view(f->name, 15)) {
    f->name_length = std::min(candidate.size(), sizeof f->name - 1);
    memcpy(f->name, candidate.data(), f->name_length);
  }
}

// Counts the open files and notes the sockets among them.
void open_files(Reader* r, uint32_t pid, Facts* f) {
  char path[48];
  snprintf(path, sizeof path, "%u/fd", pid);
  int folder = open_folder(r->proc, path);
  if (folder < 0) return;  // another user's process: the handle count stays 0
  uint32_t count = 0;
  each_entry(folder, [&](const char* name, uint8_t) {
    ++count;
    char target[64];
    ssize_t n = readlinkat(folder, name, target, sizeof target - 1);
    if (n > 9 && memcmp(target, "socket:[", 8) == 0) {
      size_t at = 8;
      uint64_t inode = number_at(std::string_view(target, static_cast<size_t>(n)), &at);
      r->socket_owner.emplace(inode, pid);
    }
  });
  ::close(folder);
  f->handles = count;
}

bool read_process(Reader* r, uint32_t pid, Facts* f) {
  char path[48];
  std::string_view text;
  snprintf(path, sizeof path, "%u/stat", pid);
  if (!read_file(r, r->proc, path, &text) || !parse_stat(text, f)) return false;  // gone meanwhile
  f->pid = pid;
  snprintf(path, sizeof path, "%u/status", pid);
  if (read_file(r, r->proc, path, &text)) {
    f->working_set = kib_field(text, "VmRSS:");
    f->private_bytes = kib_field(text, "RssAnon:") + kib_field(text, "VmSwap:");
  }
  snprintf(path, sizeof path, "%u/io", pid);
  std::string_view read_value, write_value;
  if (read_file(r, r->proc, path, &text) && field_after(text, "read_bytes:", &read_value) &&
      field_after(text, "write_bytes:", &write_value)) {
    f->read = std::min(number_of(read_value), sysrec::io_unreported - 1);
    f->written = std::min(number_of(write_value), sysrec::io_unreported - 1);
  }
  full_name(r, pid, f);
  open_files(r, pid, f);
  return true;
}

uint64_t entry_size(const Facts& f) {
  return (sizeof(sysrec::ProcEntry) + 2 * (f.name_length + 1) + 7) / 8 * 8;
}

void write_entry(const Facts& f, uint64_t boot, mem::Slice at, uint64_t address) {
  memset(at.ptr, 0, at.len);
  sysrec::ProcEntry e{};
  uint16_t* name = reinterpret_cast<uint16_t*>(at.ptr + sizeof e);
  uint32_t units = os::utf8_to_wide(mem::Bytes(reinterpret_cast<const u8*>(f.name), f.name_length), name,
                                    static_cast<u32>(f.name_length + 1));
  e.threads = f.threads;
  e.create_time = boot ? boot + ticks_of_jiffies(f.started) : 0;
  e.user_time = ticks_of_jiffies(f.user);
  e.kernel_time = ticks_of_jiffies(f.kernel);
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

}  // namespace

uint32_t process_entries(int proc) {
  uint32_t count = 0;
  if (proc < 0) return 0;
  each_entry(proc, [&](const char* name, uint8_t) { count += pid_of(name) != 0; });
  return count;
}

u32 processes(Reader* r, mem::Slice buffer, u32* returned) {
  *returned = 0;
  if (!r || r->proc < 0) return status_unsuccessful;
  uint64_t boot = boot_time(r);
  r->socket_owner.clear();
  uint64_t needed = 0, last = 0;
  bool any = false;
  uint32_t pids_seen = 0;
  std::vector<uint32_t> pids;
  each_entry(r->proc, [&](const char* name, uint8_t) {
    if (uint32_t pid = pid_of(name)) pids.push_back(pid);
  });
  for (uint32_t pid : pids) {
    Facts f;
    if (!read_process(r, pid, &f)) continue;
    ++pids_seen;
    uint64_t size = entry_size(f);
    if (needed + size <= buffer.len) {
      write_entry(f, boot, mem::Slice{buffer.ptr + needed, size}, reinterpret_cast<uint64_t>(buffer.ptr) + needed);
      if (any) {
        uint32_t next = static_cast<uint32_t>(needed - last);
        memcpy(buffer.ptr + last, &next, 4);
      }
      last = needed;
      any = true;
    }
    needed += size;
  }
  r->owners_known = true;
  if (needed > buffer.len) {
    *returned = static_cast<u32>(std::min<uint64_t>(needed, UINT32_MAX));
    return status_length_mismatch;
  }
  *returned = static_cast<u32>(needed);
  return pids_seen ? status_success : status_unsuccessful;
}

void find_socket_owners(Reader* r) {
  r->socket_owner.clear();
  if (r->proc < 0) return;
  std::vector<uint32_t> pids;
  each_entry(r->proc, [&](const char* name, uint8_t) {
    if (uint32_t pid = pid_of(name)) pids.push_back(pid);
  });
  for (uint32_t pid : pids) {
    Facts f;
    open_files(r, pid, &f);
  }
  r->owners_known = true;
}

}  // namespace sysinfo
