#include "platform/registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fs.h"

namespace registry {
namespace {

u32 error_of(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return not_found;
    case EACCES:
    case EPERM:
    case EROFS: return denied;
    case ENOSPC:
    case EDQUOT: return disk_full;
    case ENAMETOOLONG: return too_long;
    default: return general_failure;
  }
}

u32 error_of_class(u32 fs_class) {
  switch (fs_class) {
    case fs::ok: return ok;
    case fs::not_found:
    case fs::not_directory: return not_found;
    case fs::denied:
    case fs::write_protected: return denied;
    case fs::no_space: return disk_full;
    case fs::bad_name:
    case fs::too_large: return too_long;
    default: return general_failure;
  }
}

// One part of a key path or a value name: a name the folder can hold as it is.
bool usable_part(const char* p, u64 n) {
  if (n == 0 || n > 255 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return false;
  for (u64 i = 0; i < n; ++i) {
    if (p[i] == '/' || p[i] == 0) return false;
  }
  return true;
}

// The folder of the per-user root and of a key below it; false (with the error) when the path cannot be one.
bool key_folder(u32 root, mem::Bytes key, std::string* out, u32* error) {
  if (root != root_user) {
    *error = not_supported;
    return false;
  }
  u8 base[1024];
  u64 length = 0;
  if (fs::env_var(mem::lit("APPDATA"), mem::Slice{base, sizeof base}, &length) != fs::ok || length == 0) {
    *error = not_found;
    return false;
  }
  out->assign(reinterpret_cast<const char*>(base), length);
  *out += "/Vimbrel/registry";
  const char* p = reinterpret_cast<const char*>(key.ptr);
  u64 start = 0;
  for (u64 i = 0; i <= key.len; ++i) {
    if (i < key.len && p[i] != '\\') continue;
    if (!usable_part(p + start, i - start)) {
      *error = not_found;
      return false;
    }
    *out += '/';
    out->append(p + start, i - start);
    start = i + 1;
  }
  return true;
}

bool value_file(u32 root, mem::Bytes key, mem::Bytes name, std::string* out, u32* error) {
  if (!key_folder(root, key, out, error)) return false;
  if (!usable_part(reinterpret_cast<const char*>(name.ptr), name.len)) {
    *error = not_found;
    return false;
  }
  *out += '/';
  out->append(reinterpret_cast<const char*>(name.ptr), name.len);
  return true;
}

// A replace's temporary file left by a crash ("<name>.tmp-" and 8 hex digits) is not a value of the key.
bool is_leftover(const char* name) {
  const char* mark = strstr(name, ".tmp-");
  if (mark == nullptr || strlen(mark) != 13) return false;
  for (const char* c = mark + 5; *c; ++c) {
    if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
  }
  return true;
}

// Values and subkeys in the key's folder; false with the error when it cannot be listed.
bool count_entries(const std::string& folder, u32* count, u32* error) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = error_of(errno);
    return false;
  }
  *count = 0;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || is_leftover(e->d_name)) continue;
    *count += 1;
  }
  closedir(dir);
  return true;
}

// Removes everything below the open folder; 0 or the first failure.
int remove_below(int folder) {
  const int copy = dup(folder);
  if (copy < 0) return errno;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    const int failure = errno;
    close(copy);
    return failure;
  }
  int failure = 0;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(folder, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      int child = openat(folder, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        failure = failure ? failure : errno;
        continue;
      }
      int below = remove_below(child);
      close(child);
      if (below) failure = failure ? failure : below;
      if (unlinkat(folder, e->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT) failure = failure ? failure : errno;
    } else if (unlinkat(folder, e->d_name, 0) != 0 && errno != ENOENT) {
      failure = failure ? failure : errno;
    }
  }
  closedir(dir);
  return failure;
}

}  // namespace

u32 read_value(u32 root, mem::Bytes key, mem::Bytes name, u32* type, mem::Slice buffer, u64* length) {
  *type = 0;
  *length = 0;
  std::string path;
  u32 error = ok;
  if (!value_file(root, key, name, &path, &error)) return error;
  // Never waits on a pipe planted in a value's place; a subkey of that name is no value.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return error_of(errno);
  struct stat st;
  const bool stated = fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const bool folder = stated && S_ISDIR(st.st_mode);
    ::close(fd);
    return folder ? not_found : general_failure;
  }
  // The type line, then at most one byte more than the buffer holds, so that more data is seen.
  std::string bytes;
  char chunk[4096];
  const u64 most = 24 + buffer.len + 1;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = error_of(errno);
      break;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
    if (bytes.size() > most) break;
  }
  ::close(fd);
  if (error != ok) return error;
  const size_t line = bytes.find('\n');
  if (line == std::string::npos || line == 0 || line > 10) return general_failure;
  u64 number = 0;
  for (size_t i = 0; i < line; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return general_failure;
    number = number * 10 + static_cast<u64>(bytes[i] - '0');
  }
  if (number > 0xFFFFFFFFu) return general_failure;
  const u64 data = bytes.size() - line - 1;
  if (data > buffer.len) return more_data;
  if (data) memcpy(buffer.ptr, bytes.data() + line + 1, data);
  *type = static_cast<u32>(number);
  *length = data;
  return ok;
}

u32 write_value(u32 root, mem::Bytes key, mem::Bytes name, u32 type, mem::Bytes data) {
  std::string path;
  u32 error = ok;
  if (!value_file(root, key, name, &path, &error)) return error == not_found ? too_long : error;
  std::string bytes = std::to_string(type);
  bytes += '\n';
  bytes.append(reinterpret_cast<const char*>(data.ptr), data.len);
  return error_of_class(fs::save_file(mem::Bytes(reinterpret_cast<const u8*>(path.data()), path.size()),
                                      mem::Bytes(reinterpret_cast<const u8*>(bytes.data()), bytes.size())));
}

u32 delete_value(u32 root, mem::Bytes key, mem::Bytes name) {
  std::string path;
  u32 error = ok;
  if (!value_file(root, key, name, &path, &error)) return error;
  if (unlink(path.c_str()) == 0) return ok;
  return errno == EISDIR ? not_found : error_of(errno);
}

u32 count(u32 root, mem::Bytes key, u32* entries) {
  *entries = 0;
  std::string folder;
  u32 error = ok;
  if (!key_folder(root, key, &folder, &error)) return error;
  return count_entries(folder, entries, &error) ? ok : error;
}

u32 delete_key(u32 root, mem::Bytes key) {
  std::string folder;
  u32 error = ok;
  if (!key_folder(root, key, &folder, &error)) return error;
  u32 count = 0;
  if (!count_entries(folder, &count, &error)) return error;
  if (count != 0) return denied;
  // Leftover temporary files go with the key.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    remove_below(fd);
    close(fd);
  }
  return rmdir(folder.c_str()) == 0 ? ok : error_of(errno);
}

u32 delete_tree(u32 root, mem::Bytes key) {
  std::string folder;
  u32 error = ok;
  if (!key_folder(root, key, &folder, &error)) return error;
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return error_of(errno);
  int failure = remove_below(fd);
  close(fd);
  if (failure) return error_of(failure);
  return rmdir(folder.c_str()) == 0 ? ok : error_of(errno);
}

u32 windows_folder(u8*, u32* error) {
  *error = not_supported;
  return 0;
}

u32 start_real_taskmgr(mem::Bytes, mem::Bytes) { return not_supported; }

u32 run_elevated(mem::Bytes, mem::Bytes, u32, u32* exit_code) {
  *exit_code = 1;
  return 0;
}

bool program_file(mem::Bytes path) {
  if (path.len == 0 || path.len >= 4096 || memchr(path.ptr, 0, path.len) != nullptr) return false;
  std::string p(reinterpret_cast<const char*>(path.ptr), path.len);
  struct stat st;
  return stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool same_file(mem::Bytes a, mem::Bytes b) {
  struct stat sa, sb;
  for (mem::Bytes x : {a, b}) {
    if (x.len == 0 || x.len >= 4096 || memchr(x.ptr, 0, x.len) != nullptr) return false;
  }
  std::string pa(reinterpret_cast<const char*>(a.ptr), a.len), pb(reinterpret_cast<const char*>(b.ptr), b.len);
  if (stat(pa.c_str(), &sa) != 0 || stat(pb.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool shutting_down() { return false; }

SystemWords system_words() {
  SystemWords w{};
  w.start_switch = mem::lit("Start at log-on");
  w.copy_name = mem::lit("bin/vimbrel");
  w.separator = '/';
  w.no_data_folder = mem::lit("vimbrel background: no data folder: set $XDG_DATA_HOME or $HOME (~/.local/share)");
  w.firewall = mem::lit("Allow TCP ");
  w.firewall_tail = mem::lit(" and UDP 7421 in the firewall if it filters them; Vimbrel never changes firewall rules.");
  w.taskmgr_denied = mem::lit("not available: this system has no Task Manager to replace");
  w.taskmgr_failed = w.taskmgr_denied;
  w.test_drives = 1;
  return w;
}

}  // namespace registry
