// Graphics cards from /sys/class/drm and their hwmon sensors; physical drives from /sys/block with the hwmon
// sensors of NVMe controllers and of the drivetemp driver.
#include "platform/devices.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "platform/linux/reader.h"
#include "platform/os.h"
#include "platform/sysrec.h"

namespace sysinfo {

// The real path of a path below a folder (links resolved); empty when it does not exist.
std::string real_path(int folder, const char* path) {
  int fd = openat(folder, path, O_PATH | O_CLOEXEC);
  if (fd < 0) return std::string();
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  ::close(fd);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

namespace {

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool card_name(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "card") != 0) return false;
  return std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Drivers that draw in system memory with no graphics hardware behind them.
bool software_driver(const std::string& driver) {
  return driver == "simpledrm" || driver == "vkms" || driver == "vgem" || driver == "efifb";
}

}  // namespace

u32 hex_of(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  u32 v = 0;
  for (char c : text) {
    int h = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (h < 0) break;
    v = v << 4 | static_cast<u32>(h);
  }
  return v;
}

uint64_t luid_of_address(std::string_view a) {
  // dddd:bb:dd.f
  if (a.size() != 12 || a[4] != ':' || a[7] != ':' || a[10] != '.') return 0;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11}) {
    if (!isxdigit(static_cast<unsigned char>(a[i]))) return 0;
  }
  uint64_t domain = hex_of(a.substr(0, 4)), bus = hex_of(a.substr(5, 2)), device = hex_of(a.substr(8, 2));
  uint64_t function = hex_of(a.substr(11, 1));
  return domain << 32 | bus << 16 | device << 8 | function;
}

std::vector<Card> list_cards(Reader* r) {
  std::vector<Card> cards;
  for (const std::string& name : class_names(r, "sys/class/drm")) {
    if (!card_name(name)) continue;
    Card c;
    c.name = name;
    std::string device = "sys/class/drm/" + name + "/device";
    std::string address = base_name(real_path(r->root, device.c_str()));
    c.driver = base_name(real_path(r->root, (device + "/driver").c_str()));
    c.luid = luid_of_address(address);
    if (c.luid != 0 || address == "0000:00:00.0") c.address = address;
    c.software = c.address.empty() || software_driver(c.driver);
    cards.push_back(c);
  }
  std::sort(cards.begin(), cards.end(), [](const Card& a, const Card& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  // A card without a PCI address still needs an identity of its own: the top half all ones, then its number.
  for (Card& c : cards) {
    if (c.address.empty()) c.luid = 0xFFFFFFFF00000000ull | number_of(std::string_view(c.name).substr(4));
  }
  return cards;
}

const std::vector<Card>& sample_cards(Reader* r) {
  if (r->cards_sample != r->sample) {
    r->cards = list_cards(r);
    r->cards_sample = r->sample;
  }
  return r->cards;
}

}  // namespace sysinfo

namespace devices {

using sysinfo::Reader;

namespace {

// The first temp1_input of an hwmon device in a folder's "hwmon" subfolder or among its own entries, in
// millidegrees; `name` (when not empty) must match the device's name.
bool hwmon_milli(Reader* r, const std::string& folder, std::string_view name, i64* milli) {
  std::vector<std::string> places;
  for (const std::string& h : sysinfo::list_names(r->root, (folder + "/hwmon").c_str())) places.push_back(folder + "/hwmon/" + h);
  for (const std::string& h : sysinfo::list_names(r->root, folder.c_str())) {
    if (h.rfind("hwmon", 0) == 0 && h.size() > 5) places.push_back(folder + "/" + h);
  }
  char buffer[64];
  std::string_view text;
  for (const std::string& place : places) {
    if (!name.empty() && (!sysinfo::read_small(r->root, (place + "/name").c_str(), buffer, sizeof buffer, &text) ||
                          text != name)) {
      continue;
    }
    if (!sysinfo::read_small(r->root, (place + "/temp1_input").c_str(), buffer, sizeof buffer, &text) || text.empty()) {
      continue;
    }
    bool negative = text[0] == '-';
    i64 v = static_cast<i64>(sysinfo::number_of(negative ? text.substr(1) : text));
    *milli = negative ? -v : v;
    return true;
  }
  return false;
}

const sysinfo::Card* card_of(Reader* r, u64 luid) {
  if (r->cards.empty()) r->cards = sysinfo::list_cards(r);
  for (const sysinfo::Card& c : r->cards) {
    if (c.luid == luid) return &c;
  }
  return nullptr;
}

// Drive n's name ("nvme0n1", "sda"); empty when there is none.
std::string drive_name(Reader* r, u32 n) {
  if (r->disks.empty()) sysinfo::list_disks(r);
  return n < r->disks.size() ? r->disks[n] : std::string();
}

bool attribute(Reader* r, const std::string& path, char* buffer, size_t size, std::string_view* out) {
  return sysinfo::read_small(r->root, path.c_str(), buffer, size, out);
}

std::string_view trimmed(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\n')) t.remove_suffix(1);
  return t;
}

u32 bus_of(const std::string& path) {
  if (path.find("/nvme") != std::string::npos) return bus_nvme;
  if (path.find("/usb") != std::string::npos) return bus_usb;
  if (path.find("/ata") != std::string::npos) return bus_sata;
  if (path.find("/sas_") != std::string::npos || path.find("/end_device-") != std::string::npos) return bus_sas;
  if (path.find("/virtio") != std::string::npos) return bus_virtual;
  return bus_scsi;
}

// "0x" and hex digits only: an id of the bus, never a maker's or a model's name.
bool bus_number(std::string_view t) {
  if (t.size() < 3 || t[0] != '0' || (t[1] != 'x' && t[1] != 'X')) return false;
  return std::all_of(t.begin() + 2, t.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool rotating(Reader* r, const std::string& name) {
  char buffer[16];
  std::string_view text;
  return attribute(r, "sys/block/" + name + "/queue/rotational", buffer, sizeof buffer, &text) && text == "1";
}

// Reads and writes completed on the disk since boot; false when /proc/diskstats does not list it.
bool disk_ios(Reader* r, const std::string& name, u64* ios) {
  std::string_view text;
  bool found = false;
  if (!sysinfo::read_fixed(r, "diskstats", false, &text)) return false;
  sysinfo::each_line(text, [&](std::string_view line) {
    std::vector<std::string_view> w = sysinfo::words(line);
    if (w.size() < 8 || w[2] != name) return true;
    *ios = sysinfo::number_of(w[3]) + sysinfo::number_of(w[7]);
    found = true;
    return false;
  });
  return found;
}

// Short vendor names for the adapter names.
const char* vendor_short(u32 vendor) {
  switch (vendor) {
    case 0x1002: return "AMD";
    case 0x8086: return "Intel";
    case 0x10DE: return "NVIDIA";
    default: return nullptr;
  }
}

// The adapter's name from the PCI id list (the marketing name in brackets when it has one, after the vendor's short
// name); empty when the list is not installed or does not know the device.
std::string device_name(Reader* r, u32 vendor, u32 device) {
  u32 key = (vendor & 0xFFFF) << 16 | (device & 0xFFFF);
  auto known = r->device_names.find(key);
  if (known != r->device_names.end()) return known->second;
  std::string name;
  std::string_view text;
  char head[8], line_head[8];
  snprintf(head, sizeof head, "%04x ", vendor & 0xFFFF);
  snprintf(line_head, sizeof line_head, "\t%04x ", device & 0xFFFF);
  if (sysinfo::read_file(r, r->root, "usr/share/misc/pci.ids", &text)) {
    bool in_vendor = false;
    sysinfo::each_line(text, [&](std::string_view line) {
      if (!line.empty() && line[0] != '\t' && line[0] != '#') in_vendor = line.substr(0, 5) == head;
      if (!in_vendor || line.substr(0, 6) != line_head) return true;
      std::string_view full = trimmed(line.substr(6));
      size_t open = full.find('['), close = full.rfind(']');
      if (open != std::string_view::npos && close != std::string_view::npos && close > open + 1) {
        full = full.substr(open + 1, close - open - 1);
      }
      const char* short_name = vendor_short(vendor);
      name = short_name ? std::string(short_name) + " " + std::string(full) : std::string(full);
      return false;
    });
  }
  r->device_names[key] = name;
  return name;
}

}  // namespace

bool gpu_entry(Reader* r, u32 index, GpuEntry* out) {
  *out = GpuEntry{};
  if (!r) return false;
  if (index == 0) sysinfo::sample_cards(r);
  if (index >= r->cards.size()) return false;
  const sysinfo::Card& c = r->cards[index];
  out->luid = c.luid;
  out->type = c.software ? software_device : 0;
  out->last_seen = os::filetime_now();
  std::string device = "sys/class/drm/" + c.name + "/device/";
  char buffer[64];
  std::string_view text;
  if (attribute(r, device + "vendor", buffer, sizeof buffer, &text)) out->vendor = sysinfo::hex_of(text);
  if (attribute(r, device + "device", buffer, sizeof buffer, &text)) out->device = sysinfo::hex_of(text);
  if (attribute(r, device + "mem_info_vram_total", buffer, sizeof buffer, &text)) {
    out->dedicated = sysinfo::number_of(text);
  }
  // Named as the PCI id list names it, else by its driver.
  std::string name = c.address.empty() ? std::string() : device_name(r, out->vendor, out->device);
  if (name.empty()) name = c.driver.empty() ? c.name : c.driver;
  sysinfo::to_wide(name, out->description, 64);
  if (!c.address.empty()) {
    snprintf(reinterpret_cast<char*>(out->matching_id), sizeof out->matching_id, "pci\\ven_%04x&dev_%04x",
             out->vendor & 0xFFFF, out->device & 0xFFFF);
  }
  return true;
}

// Linux keeps one list of graphics cards: the display drivers' list is the same.
bool display_entry(Reader* r, u32 index, GpuEntry* out) { return gpu_entry(r, index, out); }

// The card's first hwmon temperature, in the layout of the adapter performance data.
u32 gpu_perf(Reader* r, u64 luid, mem::Slice out) {
  if (!r || out.len < sizeof(sysrec::AdapterPerf)) return 0;
  const sysinfo::Card* c = card_of(r, luid);
  i64 milli = 0;
  if (!c || !hwmon_milli(r, "sys/class/drm/" + c->name + "/device", "", &milli) || milli <= 0) return 0;
  sysrec::AdapterPerf perf{};
  perf.temperature = static_cast<u32>(std::min<i64>(milli / 100, 0xFFFFFFFFll));
  memcpy(out.ptr, &perf, sizeof perf);
  return sizeof perf;
}

u32 drive_power(Reader* r, u32 n) {
  if (!r) return drive_none;
  std::string name = drive_name(r, n);
  if (name.empty()) return drive_none;
  char buffer[32];
  std::string_view text;
  if (attribute(r, "sys/block/" + name + "/device/power/runtime_status", buffer, sizeof buffer, &text) &&
      text == "suspended") {
    return drive_off;
  }
  if (!rotating(r, name)) return drive_on;
  // A spinning disk may have stopped, and a temperature query would start it again: look only at a disk that
  // did some I/O since the last look, which it cannot have done asleep.
  u64 ios = 0;
  if (!disk_ios(r, name, &ios)) return drive_off;
  auto last = r->drive_io.find(name);
  bool moved = last != r->drive_io.end() && last->second != ios;
  r->drive_io[name] = ios;
  return moved ? drive_on : drive_off;
}

u32 drive_health_log(Reader* r, u32 n, mem::Slice out) {
  if (!r || out.len < sysrec::health_log_bytes) return 0;
  std::string name = drive_name(r, n);
  i64 milli = 0;
  // The sensor hangs below the controller, or on older kernels below its PCI device.
  std::string controller = "sys/block/" + name + "/device";
  if (name.rfind("nvme", 0) != 0 || (!hwmon_milli(r, controller, "nvme", &milli) &&
                                     !hwmon_milli(r, controller + "/device", "nvme", &milli))) {
    return 0;
  }
  i64 kelvin = (milli + 273150 + 500) / 1000;
  if (kelvin <= 0 || kelvin > 0xFFFF) return 0;
  memset(out.ptr, 0, sysrec::health_log_bytes);
  out.ptr[sysrec::health_temperature] = static_cast<u8>(kelvin);
  out.ptr[sysrec::health_temperature + 1] = static_cast<u8>(kelvin >> 8);
  return sysrec::health_log_bytes;
}

u32 drive_temperature(Reader* r, u32 n, mem::Slice out) {
  if (!r || out.len < sizeof(sysrec::StorageTemps)) return 0;
  std::string name = drive_name(r, n);
  i64 milli = 0;
  if (name.empty() || !hwmon_milli(r, "sys/block/" + name + "/device", "drivetemp", &milli)) return 0;
  sysrec::StorageTemps answer{};
  answer.version = answer.size = sizeof answer;
  answer.count = 1;
  i64 celsius = (milli + (milli < 0 ? -500 : 500)) / 1000;
  answer.first.temperature = static_cast<i16>(std::clamp<i64>(celsius, -32768, 32767));
  memcpy(out.ptr, &answer, sizeof answer);
  return sizeof answer;
}

u32 drive_descriptor(Reader* r, u32 n, mem::Slice out) {
  if (!r) return 0;
  std::string name = drive_name(r, n);
  if (name.empty() || out.len < sizeof(DriveDescriptor)) return 0;
  std::string block = "sys/block/" + name + "/", device = block + "device/";
  DriveDescriptor d{};
  d.version = sizeof d;
  char buffer[256];
  std::string_view text;
  d.removable = attribute(r, block + "removable", buffer, sizeof buffer, &text) && text == "1";
  d.bus = bus_of(sysinfo::real_path(r->root, device.c_str()));
  memset(out.ptr, 0, out.len);
  u64 at = sizeof d;
  // Each string zero-terminated after the head; a string that does not fit is left out, and so is a bus's
  // number ("0x1af4": a virtio device's vendor attribute is its PCI vendor id, not a name).
  auto put = [&](const char* leaf, u32* offset) {
    if (!attribute(r, device + leaf, buffer, sizeof buffer, &text)) return;
    text = trimmed(text);
    if (text.empty() || bus_number(text) || at + text.size() + 1 > out.len) return;
    memcpy(out.ptr + at, text.data(), text.size());
    *offset = static_cast<u32>(at);
    at += text.size() + 1;
  };
  if (d.bus != bus_nvme) put("vendor", &d.vendor_offset);
  put("model", &d.product_offset);
  put(d.bus == bus_nvme ? "firmware_rev" : "rev", &d.revision_offset);
  put("serial", &d.serial_offset);
  d.size = static_cast<u32>(at);
  memcpy(out.ptr, &d, sizeof d);
  return static_cast<u32>(at);
}

u32 drive_seek(Reader* r, u32 n) {
  if (!r) return seek_unanswered;
  std::string name = drive_name(r, n);
  char buffer[16];
  std::string_view text;
  if (name.empty() || !attribute(r, "sys/block/" + name + "/queue/rotational", buffer, sizeof buffer, &text)) {
    return seek_unanswered;
  }
  return text == "1" ? seek_incurred : seek_none;
}

}  // namespace devices
