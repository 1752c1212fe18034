// Counter queries over /proc and /sys: disks from /proc/diskstats, memory lists from /proc/meminfo, processor
// performance from cpufreq, energy from powercap (RAPL), power meters from hwmon, memory compression from zram and
// zswap, thermal zones from /sys/class/thermal, graphics memory and engines from /sys/class/drm and the DRM clients'
// fdinfo. A query snapshots its sources at each collect; disk rates are
// computed between the query's last two collects.
#include "platform/pdh.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/linux/reader.h"
#include "platform/os.h"
#include "platform/volume.h"

namespace pdh {

using sysinfo::Reader;

namespace {

enum Kind : u32 {
  disk_read, disk_write, disk_idle, memory_modified, memory_standby_normal, memory_standby_reserve,
  memory_standby_core, processor_performance, energy, power_meter, compression, thermal, gpu_dedicated, gpu_shared,
  gpu_engine, gpu_process_memory,
};

struct Path {
  const char* text;
  Kind kind;
};
const Path paths[] = {
    {"\\PhysicalDisk(*)\\Disk Read Bytes/sec", disk_read},
    {"\\PhysicalDisk(*)\\Disk Write Bytes/sec", disk_write},
    {"\\PhysicalDisk(*)\\% Idle Time", disk_idle},
    {"\\Memory\\Modified Page List Bytes", memory_modified},
    {"\\Memory\\Standby Cache Normal Priority Bytes", memory_standby_normal},
    {"\\Memory\\Standby Cache Reserve Bytes", memory_standby_reserve},
    {"\\Memory\\Standby Cache Core Bytes", memory_standby_core},
    {"\\Processor Information(_Total)\\% Processor Performance", processor_performance},
    {"\\Energy Meter(*)\\Energy", energy},
    {"\\Power Meter(*)\\Power", power_meter},
    {"\\Process(Memory Compression)\\Working Set", compression},
    {"\\Thermal Zone Information(*)\\High Precision Temperature", thermal},
    {"\\GPU Adapter Memory(*)\\Dedicated Usage", gpu_dedicated},
    {"\\GPU Adapter Memory(*)\\Shared Usage", gpu_shared},
    {"\\GPU Engine(*)\\Utilization Percentage", gpu_engine},
    {"\\GPU Process Memory(*)\\Local Usage", gpu_process_memory},
};

// One instance after a collect: its value in thousandths of the counter's unit, or its raw reading.
struct Item {
  std::string name;
  u32 status = status_valid;
  __int128 milli = 0;
  i64 first = 0;
  i64 second = 0;
  u64 stamp = 0;
};

struct Query;
struct Counter {
  Query* query;
  Kind kind;
  std::vector<Item> items;
};

struct DiskRaw {
  u32 number;
  u64 read_sectors, write_sectors, busy_ms;
};

struct Query {
  Reader* reader;
  std::vector<Counter*> counters;
  u32 collects = 0;
  u64 now = 0, before = 0;  // 100 ns ticks of the last two collects
  std::vector<DiskRaw> disks, previous_disks;
  std::vector<sysinfo::GpuUse> gpu_uses;  // of the last collect
};

Query* query_of(u64 handle) { return reinterpret_cast<Query*>(handle); }
Counter* counter_of(u64 handle) { return reinterpret_cast<Counter*>(handle); }

// ---- Sources.

void read_disks(Query* q) {
  Reader* r = q->reader;
  if (r->disks.empty()) sysinfo::list_disks(r);
  q->previous_disks.swap(q->disks);
  q->disks.clear();
  std::string_view text;
  if (!sysinfo::read_fixed(r, "diskstats", false, &text)) return;
  sysinfo::each_line(text, [&](std::string_view line) {
    std::vector<std::string_view> w = sysinfo::words(line);
    // major minor name reads merged sectors ms writes merged sectors ms in-flight busy-ms ...
    auto found = w.size() < 13 ? r->disks.end() : std::find(r->disks.begin(), r->disks.end(), w[2]);
    if (found != r->disks.end()) {
      q->disks.push_back(DiskRaw{static_cast<u32>(found - r->disks.begin()), sysinfo::number_of(w[5]),
                                 sysinfo::number_of(w[9]), sysinfo::number_of(w[12])});
    }
    return true;
  });
  std::sort(q->disks.begin(), q->disks.end(), [](const DiskRaw& a, const DiskRaw& b) { return a.number < b.number; });
}

// "0 C: D:": the disk number and the letters of its volumes.
std::string disk_name(Reader* r, u32 number) {
  std::string name = std::to_string(number);
  u32 letters = volume::letters_of_disk(r, number);
  for (u32 l = 0; l < 26; ++l) {
    if (letters >> l & 1) {
      name += ' ';
      name += static_cast<char>('A' + l);
      name += ':';
    }
  }
  return name;
}

void disk_items(Query* q, Counter* c) {
  c->items.clear();
  u64 elapsed = q->now - q->before;
  bool rate = q->collects >= 2 && elapsed > 0;
  __int128 total = 0;
  u32 counted = 0;
  for (const DiskRaw& d : q->disks) {
    Item item;
    item.name = disk_name(q->reader, d.number);
    auto previous = std::find_if(q->previous_disks.begin(), q->previous_disks.end(),
                                 [&](const DiskRaw& p) { return p.number == d.number; });
    if (!rate || previous == q->previous_disks.end()) {
      item.status = status_invalid;  // a rate needs two collects that both saw the disk
    } else if (c->kind == disk_idle) {
      u64 busy = d.busy_ms >= previous->busy_ms ? d.busy_ms - previous->busy_ms : 0;
      __int128 busy_milli = static_cast<__int128>(busy) * 100000 * 10000 / elapsed;  // thousandths of a percent
      item.milli = 100000 - std::min<__int128>(busy_milli, 100000);
    } else {
      u64 now = c->kind == disk_read ? d.read_sectors : d.write_sectors;
      u64 then = c->kind == disk_read ? previous->read_sectors : previous->write_sectors;
      u64 bytes = (now >= then ? now - then : 0) * 512;
      item.milli = static_cast<__int128>(bytes) * 1000 * 10000000 / elapsed;
    }
    if (item.status == status_valid) {
      total += item.milli;
      ++counted;
    }
    c->items.push_back(item);
  }
  Item sum;
  sum.name = "_Total";
  if (counted == 0) {
    sum.status = status_invalid;
  } else {
    sum.milli = c->kind == disk_idle ? total / counted : total;
  }
  c->items.push_back(sum);
}

u64 meminfo_kib(std::string_view m, std::string_view key, bool* found) {
  std::string_view value;
  *found = sysinfo::field_after(m, key, &value);
  return *found ? sysinfo::number_of(value) * 1024 : 0;
}

void single(Counter* c, u32 status, __int128 milli, const char* name = "") {
  c->items.clear();
  Item item;
  item.name = name;
  item.status = status;
  item.milli = milli;
  c->items.push_back(item);
}

void memory_items(Query* q, Counter* c) {
  std::string_view m;
  if (!sysinfo::meminfo_of_sample(q->reader, &m)) {
    single(c, status_invalid, 0);
    return;
  }
  bool f1, f2, f3, f4, f5, f6, f7;
  u64 value = 0;
  if (c->kind == memory_modified) {
    // Pages written back or waiting to be written: the modified list.
    value = meminfo_kib(m, "Dirty:", &f1) + meminfo_kib(m, "Writeback:", &f2);
  } else if (c->kind == memory_standby_normal) {
    // The clean page cache, less shared memory (which cannot be dropped) and the modified pages.
    u64 cache = meminfo_kib(m, "Cached:", &f1) + meminfo_kib(m, "Buffers:", &f2) + meminfo_kib(m, "SReclaimable:", &f3);
    u64 held = meminfo_kib(m, "Shmem:", &f4) + meminfo_kib(m, "Dirty:", &f5) + meminfo_kib(m, "Writeback:", &f6);
    value = cache > held ? cache - held : 0;
    (void)f7;
  }
  // The reserve and core standby lists have no counterpart: the kernel keeps one page cache, all in the above.
  single(c, status_valid, static_cast<__int128>(value) * 1000);
}

// The logical processors with their nominal frequencies: the base frequency, else the highest.
void list_nominals(Reader* r) {
  r->nominals.clear();
  for (const std::string& name : sysinfo::list_names(r->root, "sys/devices/system/cpu")) {
    if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 || name[3] < '0' || name[3] > '9') continue;
    char buffer[64], path[128];
    std::string_view text;
    snprintf(path, sizeof path, "sys/devices/system/cpu/%s/cpufreq/base_frequency", name.c_str());
    bool known = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text);
    if (!known) {
      snprintf(path, sizeof path, "sys/devices/system/cpu/%s/cpufreq/cpuinfo_max_freq", name.c_str());
      known = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text);
    }
    r->nominals.push_back(sysinfo::CpuNominal{name, known ? sysinfo::number_of(text) : 0});
  }
}

void performance_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  const u64 at = os::clock_ms();
  if (!r->nominals_listed || at - r->nominals_ms >= r->nominal_ms) {
    list_nominals(r);
    r->nominals_listed = true;
    r->nominals_ms = at;
  }
  u64 current = 0, base = 0;
  for (const sysinfo::CpuNominal& cpu : r->nominals) {
    if (cpu.nominal == 0) continue;
    char buffer[64], path[128];
    std::string_view text;
    snprintf(path, sizeof path, "sys/devices/system/cpu/%s/cpufreq/scaling_cur_freq", cpu.name.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text)) continue;
    current += sysinfo::number_of(text);
    base += cpu.nominal;
  }
  // Without frequency scaling (virtual machines) the performance is not known.
  if (base == 0) {
    single(c, status_invalid, 0, "_Total");
  } else {
    single(c, status_valid, static_cast<__int128>(current) * 100 * 1000 / base, "_Total");
  }
}

// RAPL zones: "package-N" and, below a package, "dram", "core", "uncore"; "psys" for the platform.
void energy_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  c->items.clear();
  for (const std::string& zone : sysinfo::class_names(r, "sys/class/powercap")) {
    if (zone.rfind("intel-rapl:", 0) != 0) continue;
    char buffer[64], path[160];
    std::string_view text;
    snprintf(path, sizeof path, "sys/class/powercap/%s/name", zone.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text)) continue;
    std::string kind(text);
    snprintf(path, sizeof path, "sys/class/powercap/%s/energy_uj", zone.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text)) continue;  // root-only on most kernels
    u64 microjoules = sysinfo::number_of(text);
    // The counter runs up to its range and starts again at 0; the range is the zone's wrap value.
    snprintf(path, sizeof path, "sys/class/powercap/%s/max_energy_range_uj", zone.c_str());
    u64 range = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text) ? sysinfo::number_of(text) : 0;
    u32 package = static_cast<u32>(sysinfo::number_of(std::string_view(zone).substr(11)));
    std::string suffix = kind.rfind("package", 0) == 0 ? "_PKG"
                         : kind == "dram"             ? "_DRAM"
                         : kind == "psys"             ? "_PSYS"
                         : kind == "core"             ? "_PP0"
                         : kind == "uncore"           ? "_PP1"
                                                      : "_" + kind;
    Item item;
    item.name = "RAPL_Package" + std::to_string(package) + suffix;
    // Picowatt-hours: 1 uJ = 2,500 / 9 pWh.
    item.first = static_cast<i64>(static_cast<unsigned __int128>(microjoules) * 2500 / 9);
    item.second = static_cast<i64>(static_cast<unsigned __int128>(range) * 2500 / 9);
    item.stamp = q->now;
    c->items.push_back(item);
  }
}

// System power meters (ACPI power meter devices); a graphics card's own sensor is not one.
void power_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  c->items.clear();
  u32 n = 0;
  for (const std::string& device : sysinfo::class_names(r, "sys/class/hwmon")) {
    char buffer[64], path[160];
    std::string_view text;
    snprintf(path, sizeof path, "sys/class/hwmon/%s/name", device.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text) || text != "power_meter") continue;
    snprintf(path, sizeof path, "sys/class/hwmon/%s/power1_average", device.c_str());
    bool known = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text);
    if (!known) {
      snprintf(path, sizeof path, "sys/class/hwmon/%s/power1_input", device.c_str());
      known = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text);
    }
    Item item;
    item.name = "power_meter_" + std::to_string(n++);
    item.status = known ? status_valid : status_invalid;
    item.milli = static_cast<__int128>(sysinfo::number_of(text)) / 1000 * 1000;  // uW -> mW
    c->items.push_back(item);
  }
}

void compression_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  bool any = false;
  u64 bytes = 0;
  for (const std::string& device : sysinfo::list_names(r->root, "sys/block")) {
    if (device.rfind("zram", 0) != 0) continue;
    char buffer[256], path[160];
    std::string_view text;
    snprintf(path, sizeof path, "sys/block/%s/mm_stat", device.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text)) continue;
    size_t at = 0;
    sysinfo::number_at(text, &at);  // original size
    sysinfo::number_at(text, &at);  // compressed size
    bytes += sysinfo::number_at(text, &at);  // memory used, with the allocator's overhead
    any = true;
  }
  std::string_view m;
  bool found = false;
  if (sysinfo::meminfo_of_sample(r, &m)) bytes += meminfo_kib(m, "Zswap:", &found);
  if (!any && !found) {
    c->items.clear();  // no compressed memory store on this system
  } else {
    single(c, status_valid, static_cast<__int128>(bytes) * 1000, "Memory Compression");
  }
}

// Zones in tenths of a kelvin, named by their type.
void thermal_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  c->items.clear();
  std::vector<std::string> zones = sysinfo::class_names(r, "sys/class/thermal");
  // thermal_zone2 before thermal_zone10.
  std::sort(zones.begin(), zones.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  for (const std::string& zone : zones) {
    if (zone.rfind("thermal_zone", 0) != 0) continue;
    char buffer[64], path[160];
    std::string_view text;
    snprintf(path, sizeof path, "sys/class/thermal/%s/type", zone.c_str());
    Item item;
    item.name = sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text) ? std::string(text) : zone;
    snprintf(path, sizeof path, "sys/class/thermal/%s/temp", zone.c_str());
    if (sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text) && !text.empty()) {
      bool negative = text[0] == '-';
      i64 millidegrees = static_cast<i64>(sysinfo::number_of(negative ? text.substr(1) : text));
      if (negative) millidegrees = -millidegrees;
      item.milli = static_cast<__int128>(millidegrees / 100 + 2731) * 1000;
    } else {
      item.status = status_invalid;
    }
    c->items.push_back(item);
  }
}

// ---- Graphics.

std::string adapter_name(u64 luid) {
  char name[48];
  snprintf(name, sizeof name, "luid_0x%08X_0x%08X_phys_0", static_cast<u32>(luid >> 32), static_cast<u32>(luid));
  return name;
}

// Adapter memory in use, per card: what the driver tells (amdgpu), else the instance alone, so that the adapter is
// still listed.
void adapter_items(Query* q, Counter* c) {
  Reader* r = q->reader;
  c->items.clear();
  sysinfo::sample_cards(r);
  const char* leaf = c->kind == gpu_dedicated ? "mem_info_vram_used" : "mem_info_gtt_used";
  for (const sysinfo::Card& card : r->cards) {
    char buffer[64], path[160];
    std::string_view text;
    snprintf(path, sizeof path, "sys/class/drm/%s/device/%s", card.name.c_str(), leaf);
    Item item;
    item.name = adapter_name(card.luid);
    if (sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text)) {
      item.milli = static_cast<__int128>(sysinfo::number_of(text)) * 1000;
    } else {
      item.status = status_invalid;
    }
    c->items.push_back(item);
  }
}

// The engine number and type text of a driver's engine name. The numbers are fixed per name, so an engine keeps its
// instance from one collect to the next; engines that do the same work share a type.
struct Engine {
  const char* name;
  u32 number;
  const char* type;
};
const Engine engines[] = {
    {"gfx", 0, "3D"},           {"render", 0, "3D"},       {"compute", 1, "Compute"},
    {"copy", 2, "Copy"},        {"dma", 2, "Copy"},        {"dec", 3, "VideoDecode"},
    {"enc", 4, "VideoEncode"},  {"enc_1", 5, "VideoEncode"}, {"video", 6, "Video"},
    {"video-enhance", 7, "Video"}, {"video_enhance", 7, "Video"}, {"jpeg", 8, "Video"},
};

std::string engine_name(const sysinfo::GpuUse& u) {
  u32 number = 0;
  std::string type;
  for (const Engine& e : engines) {
    if (u.engine == e.name) {
      number = e.number;
      type = e.type;
    }
  }
  if (type.empty()) {
    // Another engine: a number from its name above the known ones, and its name as the type.
    u32 h = 0;
    for (char ch : u.engine) h = h * 31 + static_cast<u8>(ch);
    number = 16 + h % 200;
    type = u.engine;
  }
  char head[40];
  snprintf(head, sizeof head, "pid_%u_", u.pid);
  return head + adapter_name(u.luid) + "_eng_" + std::to_string(number) + "_engtype_" + type;
}

void engine_items(Query* q, Counter* c) {
  c->items.clear();
  for (const sysinfo::GpuUse& u : q->gpu_uses) {
    if (u.engine.empty()) continue;
    Item item;
    item.name = engine_name(u);
    item.first = static_cast<i64>(std::min<u64>(u.busy_ns / 100, INT64_MAX));  // 100 ns units, as the time
    item.second = static_cast<i64>(q->now);
    item.stamp = os::filetime_now();
    c->items.push_back(item);
  }
}

void process_memory_items(Query* q, Counter* c) {
  c->items.clear();
  for (const sysinfo::GpuUse& u : q->gpu_uses) {
    if (!u.engine.empty()) continue;
    char head[40];
    snprintf(head, sizeof head, "pid_%u_", u.pid);
    Item item;
    item.name = head + adapter_name(u.luid);
    item.milli = static_cast<__int128>(u.bytes) * 1000;
    c->items.push_back(item);
  }
}

void refresh(Query* q, Counter* c) {
  switch (c->kind) {
    case disk_read: case disk_write: case disk_idle: disk_items(q, c); break;
    case memory_modified: case memory_standby_normal: case memory_standby_reserve: case memory_standby_core:
      memory_items(q, c);
      break;
    case processor_performance: performance_items(q, c); break;
    case energy: energy_items(q, c); break;
    case power_meter: power_items(q, c); break;
    case compression: compression_items(q, c); break;
    case thermal: thermal_items(q, c); break;
    case gpu_dedicated: case gpu_shared: adapter_items(q, c); break;
    case gpu_engine: engine_items(q, c); break;
    case gpu_process_memory: process_memory_items(q, c); break;
  }
}

i64 formatted(const Item& item, u32 format) {
  __int128 v = format & fmt_1000 ? item.milli : item.milli / 1000;
  if (format & fmt_long) {
    i32 small = static_cast<i32>(std::clamp<__int128>(v, INT32_MIN, INT32_MAX));
    return static_cast<i64>(static_cast<u32>(small));  // the long value lives in the low half
  }
  return static_cast<i64>(std::clamp<__int128>(v, INT64_MIN, INT64_MAX));
}

u32 write_items(const Counter* c, u32 format, bool raw, mem::Slice buffer, u32* bytes, u32* count) {
  *count = 0;
  if (c->query->collects == 0) {
    *bytes = 0;
    return no_data;
  }
  const u64 item_size = raw ? sizeof(sysrec::RawItem) : sizeof(sysrec::FmtItem);
  u64 needed = c->items.size() * item_size;
  for (const Item& item : c->items) needed += 2 * (item.name.size() + 1);
  if (needed > UINT32_MAX || needed > buffer.len) {
    *bytes = static_cast<u32>(std::min<u64>(needed, UINT32_MAX));
    return more_data;
  }
  if (needed) memset(buffer.ptr, 0, needed);
  u64 names = c->items.size() * item_size;
  for (size_t k = 0; k < c->items.size(); ++k) {
    const Item& item = c->items[k];
    u64 address = reinterpret_cast<u64>(buffer.ptr) + names;
    if (raw) {
      sysrec::RawItem r{};
      r.name_address = address;
      r.status = item.status;
      r.stamp_low = static_cast<u32>(item.stamp);
      r.stamp_high = static_cast<u32>(item.stamp >> 32);
      r.first = item.first;
      r.second = item.second;
      memcpy(buffer.ptr + k * item_size, &r, sizeof r);
    } else {
      sysrec::FmtItem f{};
      f.name_address = address;
      f.status = item.status;
      f.value = item.status <= status_new ? formatted(item, format) : 0;
      memcpy(buffer.ptr + k * item_size, &f, sizeof f);
    }
    u16* name = reinterpret_cast<u16*>(buffer.ptr + names);
    for (size_t i = 0; i < item.name.size(); ++i) name[i] = static_cast<u8>(item.name[i]);
    names += 2 * (item.name.size() + 1);
  }
  *bytes = static_cast<u32>(needed);
  *count = static_cast<u32>(c->items.size());
  return success;
}

}  // namespace

u64 open_query(Reader* reader) {
  if (!reader) return 0;
  Query* q = new (std::nothrow) Query;
  if (!q) return 0;
  q->reader = reader;
  return reinterpret_cast<u64>(q);
}

u64 add_counter(u64 query, mem::Bytes path) {
  Query* q = query_of(query);
  if (!q) return 0;
  std::string_view text(reinterpret_cast<const char*>(path.ptr), path.len);
  for (const Path& p : paths) {
    if (text == p.text) {
      Counter* c = new (std::nothrow) Counter{q, p.kind, {}};
      if (!c) return 0;
      q->counters.push_back(c);
      return reinterpret_cast<u64>(c);
    }
  }
  return 0;  // not a counter this system has
}

u32 collect(u64 query) {
  Query* q = query_of(query);
  if (!q) return invalid_handle;
  if (q->counters.empty()) return no_data;
  q->before = q->now;
  q->now = os::ticks();
  if (q->collects < 2) ++q->collects;
  bool disks = false;
  for (Counter* c : q->counters) disks = disks || c->kind <= disk_idle;
  if (disks) read_disks(q);
  bool clients = false;
  for (Counter* c : q->counters) clients = clients || c->kind == gpu_engine || c->kind == gpu_process_memory;
  if (clients) sysinfo::gpu_uses(q->reader, &q->gpu_uses);
  for (Counter* c : q->counters) refresh(q, c);
  return success;
}

void close_query(u64 query) {
  Query* q = query_of(query);
  if (!q) return;
  for (Counter* c : q->counters) delete c;
  delete q;
}

u32 array(u64 counter, u32 format, mem::Slice buffer, u32* bytes, u32* count) {
  Counter* c = counter_of(counter);
  if (!c) {
    *bytes = *count = 0;
    return invalid_handle;
  }
  return write_items(c, format, false, buffer, bytes, count);
}

u32 raw_array(u64 counter, mem::Slice buffer, u32* bytes, u32* count) {
  Counter* c = counter_of(counter);
  if (!c) {
    *bytes = *count = 0;
    return invalid_handle;
  }
  return write_items(c, 0, true, buffer, bytes, count);
}

u32 value(u64 counter, u32 format, u32* status, i64* out) {
  *status = status_invalid;
  *out = 0;
  Counter* c = counter_of(counter);
  if (!c) return invalid_handle;
  if (c->query->collects == 0 || c->items.empty()) return no_data;
  *status = c->items[0].status;
  if (*status <= status_new) *out = formatted(c->items[0], format);
  return success;
}

}  // namespace pdh
