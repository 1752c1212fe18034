// Volumes from the mounts of block devices in /proc/self/mountinfo, sized with statvfs.
#include "platform/volume.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "platform/fs.h"
#include "platform/linux/reader.h"

namespace sysinfo {

void list_disks(Reader* r) {
  static const char* const skipped[] = {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"};
  r->disks.clear();
  int block = open_folder(r->root, "sys/block");
  if (block < 0) return;
  for (const std::string& name : list_names(r->root, "sys/block")) {
    bool skip = false;
    for (const char* prefix : skipped) skip = skip || name.rfind(prefix, 0) == 0;
    std::string device = name + "/device";
    if (!skip && faccessat(block, device.c_str(), F_OK, 0) == 0) r->disks.push_back(name);
  }
  ::close(block);
}

}  // namespace sysinfo

namespace volume {

using sysinfo::Reader;
using sysinfo::Volume;

namespace {

// Mount points and labels escape blanks and a few other bytes as \ooo (octal) or \xhh.
std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto octal = [&](size_t k) { return text[k] >= '0' && text[k] <= '7'; };
    auto hex = [&](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
      i += 3;
    } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hex(text[i + 2]) && hex(text[i + 3])) {
      auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
      out.push_back(static_cast<char>(value(text[i + 2]) * 16 + value(text[i + 3])));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool remote_or_user_space(std::string_view type) {
  static const char* const types[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "ceph", "glusterfs", "afs",
                                      "sshfs", "fuse", "fuseblk"};
  if (type.rfind("fuse.", 0) == 0) return true;
  for (const char* t : types) {
    if (type == t) return true;
  }
  return false;
}

std::string last_component(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The block device's name in /sys/class/block: through the device number when the kernel names it, else the
// source path's own name (after its link, for /dev/mapper and /dev/disk names).
std::string device_name(Reader* r, std::string_view numbers, std::string_view source) {
  char target[512];
  std::string path = "sys/dev/block/" + std::string(numbers);
  ssize_t n = readlinkat(r->root, path.c_str(), target, sizeof target - 1);
  if (n > 0) return last_component(std::string_view(target, static_cast<size_t>(n)));
  std::string relative(source.substr(1));
  n = readlinkat(r->root, relative.c_str(), target, sizeof target - 1);
  if (n > 0) return last_component(std::string_view(target, static_cast<size_t>(n)));
  return last_component(source);
}

// The physical disk a block device lies on: itself, its parent for a partition, or the first device below a
// mapper or RAID device.
u32 disk_of(Reader* r, const std::string& device, int depth = 0) {
  for (size_t i = 0; i < r->disks.size(); ++i) {
    if (r->disks[i] == device) return static_cast<u32>(i);
  }
  if (depth > 4) return ~0u;
  char target[512];
  std::string path = "sys/class/block/" + device;
  ssize_t n = readlinkat(r->root, path.c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string_view link(target, static_cast<size_t>(n));
    size_t slash = link.rfind('/');
    if (slash != std::string_view::npos && slash > 0) {
      std::string parent = last_component(link.substr(0, slash));
      if (parent != "block" && parent != device) {
        u32 d = disk_of(r, parent, depth + 1);
        if (d != ~0u) return d;
      }
    }
  }
  std::vector<std::string> below = sysinfo::list_names(r->root, ("sys/block/" + device + "/slaves").c_str());
  return below.empty() ? ~0u : disk_of(r, below[0], depth + 1);
}

u32 type_of(Reader* r, const Volume& v) {
  if (v.device.rfind("zram", 0) == 0 || v.device.rfind("ram", 0) == 0) return fs::drive_ram;
  if (v.disk == ~0u) return fs::drive_fixed;
  const std::string& disk = r->disks[v.disk];
  char buffer[16], target[512];
  std::string_view text;
  std::string path = "sys/block/" + disk + "/removable";
  if (sysinfo::read_small(r->root, path.c_str(), buffer, sizeof buffer, &text) && text == "1") {
    return fs::drive_removable;
  }
  path = "sys/class/block/" + disk;
  ssize_t n = readlinkat(r->root, path.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string_view(target, static_cast<size_t>(n)).find("/usb") != std::string_view::npos) {
    return fs::drive_removable;
  }
  return fs::drive_fixed;
}

std::string label_of(Reader* r, const std::string& device) {
  for (const std::string& name : sysinfo::list_names(r->root, "dev/disk/by-label")) {
    char target[512];
    std::string path = "dev/disk/by-label/" + name;
    ssize_t n = readlinkat(r->root, path.c_str(), target, sizeof target - 1);
    if (n > 0 && last_component(std::string_view(target, static_cast<size_t>(n))) == device) return unescape(name);
  }
  return std::string();
}

// Opens a mount point below the root without following it anywhere else; -1 on failure.
int open_mount(Reader* r, const std::string& mount) {
  const char* relative = mount.size() > 1 ? mount.c_str() + 1 : ".";
  return openat(r->root, relative, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

u32 refresh(Reader* r) {
  if (!r) return 0;
  sysinfo::list_disks(r);
  for (Volume& v : r->volumes) v = Volume{};
  r->letters = 0;
  std::string_view text;
  if (!sysinfo::read_file(r, r->proc, "self/mountinfo", &text)) return 0;
  std::vector<Volume> found;
  sysinfo::each_line(text, [&](std::string_view line) {
    // id parent major:minor root mount-point options [optional fields] - type source super-options
    std::vector<std::string_view> w = sysinfo::words(line);
    auto dash = std::find(w.begin(), w.end(), std::string_view("-"));
    if (w.size() < 5 || dash == w.end() || w.end() - dash < 3) return true;
    std::string_view numbers = w[2], type = dash[1], source = dash[2];
    if (source.rfind("/dev/", 0) != 0 || remote_or_user_space(type)) return true;
    Volume v;
    v.mount = unescape(w[4]);
    v.device = device_name(r, numbers, source);
    auto same = std::find_if(found.begin(), found.end(), [&](const Volume& o) { return o.device == v.device; });
    if (same == found.end()) {
      found.push_back(v);
    } else if (v.mount.size() < same->mount.size()) {
      same->mount = v.mount;  // one file system mounted twice (bind mounts, subvolumes): the shortest path stands
    }
    return true;
  });
  std::sort(found.begin(), found.end(), [](const Volume& a, const Volume& b) {
    return (a.mount == "/") != (b.mount == "/") ? a.mount == "/" : a.mount < b.mount;
  });
  u32 letter = 2;  // C:
  for (Volume& v : found) {
    if (v.mount != "/" && letter == 2) letter = 3;  // C: is kept for the root
    if (letter >= 26) break;
    int fd = open_mount(r, v.mount);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) close(fd);
      continue;
    }
    close(fd);
    v.dev = st.st_dev;
    v.disk = disk_of(r, v.device);
    v.type = type_of(r, v);
    v.label = label_of(r, v.device);
    if (v.label.empty()) v.label = v.mount;
    r->volumes[letter] = v;
    r->letters |= 1u << letter;
    ++letter;
  }
  return r->letters;
}

u32 drives(Reader* r) { return r ? r->letters : 0; }

u32 drive_type(Reader* r, u32 letter) {
  if (!r) return fs::drive_no_root;
  if (letter >= 26 || !(r->letters >> letter & 1)) return fs::drive_no_root;
  return r->volumes[letter].type;
}

bool label(Reader* r, u32 letter, u16* out, u32 units) {
  if (units) out[0] = 0;
  if (!r || letter >= 26 || !(r->letters >> letter & 1)) return false;
  sysinfo::to_wide(r->volumes[letter].label, out, units);
  return true;
}

bool free_space(Reader* r, u32 letter, u64* total, u64* free) {
  *total = *free = 0;
  if (!r || letter >= 26 || !(r->letters >> letter & 1)) return false;
  const Volume& v = r->volumes[letter];
  int fd = open_mount(r, v.mount);
  if (fd < 0) return false;
  struct stat st {};
  struct statvfs sv {};
  // Unmounted since: the folder now lies on another file system, whose sizes are not this volume's.
  bool ok = fstat(fd, &st) == 0 && st.st_dev == v.dev && fstatvfs(fd, &sv) == 0;
  close(fd);
  if (!ok) return false;
  *total = static_cast<u64>(sv.f_blocks) * sv.f_frsize;
  *free = static_cast<u64>(sv.f_bfree) * sv.f_frsize;
  return true;
}

u32 letters_of_disk(Reader* r, u32 disk) {
  if (!r) return 0;
  u32 mask = 0;
  for (u32 letter = 0; letter < 26; ++letter) {
    if ((r->letters >> letter & 1) && r->volumes[letter].disk == disk) mask |= 1u << letter;
  }
  return mask;
}

}  // namespace volume
