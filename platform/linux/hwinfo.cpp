// What the machine is made of, from /sys/devices/system/cpu (topology, caches, frequencies), /proc/cpuinfo
// (identity and the feature flags the kernel found through CPUID and left enabled) and /sys/firmware/dmi (SMBIOS).
#include "platform/hwinfo.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/linux/reader.h"
#include "platform/os.h"

namespace hwinfo {

using sysinfo::Reader;

namespace {

// "0-3,8" as a set of processor numbers.
std::set<u32> cpu_list(std::string_view text) {
  std::set<u32> cpus;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view part = text.substr(0, comma);
    size_t dash = part.find('-');
    u32 first = static_cast<u32>(sysinfo::number_of(part.substr(0, dash)));
    u32 last = dash == std::string_view::npos ? first : static_cast<u32>(sysinfo::number_of(part.substr(dash + 1)));
    for (u32 c = first; c <= last && c < 4096; ++c) cpus.insert(c);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return cpus;
}

// The logical processors of the topology folder, in number order.
std::vector<u32> processors(Reader* r) {
  std::vector<u32> cpus;
  for (const std::string& name : sysinfo::list_names(r->root, "sys/devices/system/cpu")) {
    if (name.size() > 3 && name.compare(0, 3, "cpu") == 0 &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      cpus.push_back(static_cast<u32>(sysinfo::number_of(std::string_view(name).substr(3))));
    }
  }
  std::sort(cpus.begin(), cpus.end());
  return cpus;
}

bool cpu_file(Reader* r, u32 cpu, const char* leaf, char* buffer, size_t size, std::string_view* text) {
  char path[160];
  snprintf(path, sizeof path, "sys/devices/system/cpu/cpu%u/%s", cpu, leaf);
  return sysinfo::read_small(r->root, path, buffer, size, text);
}

// Appends one record: head, body bytes, then one group affinity per processor group of the set.
void record(std::vector<u8>* out, u32 relation, const u8* body, u32 body_bytes, u32 count_at,
            const std::set<u32>& cpus) {
  std::map<u16, u64> groups;
  for (u32 c : cpus) groups[static_cast<u16>(c / 64)] |= 1ull << (c % 64);
  u32 size = 8 + body_bytes + 16 * static_cast<u32>(groups.size());
  size_t at = out->size();
  out->resize(at + size, 0);
  u8* p = out->data() + at;
  memcpy(p, &relation, 4);
  memcpy(p + 4, &size, 4);
  memcpy(p + 8, body, body_bytes);
  u16 count = static_cast<u16>(groups.size());
  memcpy(p + count_at, &count, 2);
  u8* g = p + 8 + body_bytes;
  for (const auto& [group, mask] : groups) {
    memcpy(g, &mask, 8);
    memcpy(g + 8, &group, 2);
    g += 16;
  }
}

u64 size_of(std::string_view text) {
  size_t at = 0;
  u64 n = sysinfo::number_at(text, &at);
  char unit = at < text.size() ? text[at] : 0;
  return unit == 'K' ? n << 10 : unit == 'M' ? n << 20 : unit == 'G' ? n << 30 : n;
}

// The first processor's block of /proc/cpuinfo.
std::string first_block(Reader* r) {
  std::string_view text;
  if (!sysinfo::read_file(r, r->proc, "cpuinfo", &text)) return std::string();
  size_t end = text.find("\n\n");
  return std::string(text.substr(0, end));
}

std::string field(const std::string& block, std::string_view key) {
  std::string value;
  sysinfo::each_line(block, [&](std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name != key) return true;
    std::string_view v = line.substr(colon + 1);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    value = std::string(v);
    return false;
  });
  return value;
}

bool has_word(const std::string& list, std::string_view word) {
  for (std::string_view w : sysinfo::words(list)) {
    if (w == word) return true;
  }
  return false;
}

}  // namespace

u32 topology(Reader* r, mem::Slice out) {
  if (!r) return 0;
  std::vector<u8> records;
  std::map<std::string, std::set<u32>> cores;
  std::map<u64, std::set<u32>> packages;
  std::set<std::string> caches;
  char buffer[256];
  std::string_view text;
  for (u32 cpu : processors(r)) {
    if (!cpu_file(r, cpu, "topology/core_cpus_list", buffer, sizeof buffer, &text) &&
        !cpu_file(r, cpu, "topology/thread_siblings_list", buffer, sizeof buffer, &text)) {
      continue;
    }
    cores[std::string(text)] = cpu_list(text);
    u64 package = cpu_file(r, cpu, "topology/physical_package_id", buffer, sizeof buffer, &text)
                      ? sysinfo::number_of(text) : 0;
    packages[package].insert(cpu);
    for (u32 index = 0; index < 16; ++index) {
      char leaf[64];
      std::string_view level, type, size, shared;
      std::string l, t, z;
      snprintf(leaf, sizeof leaf, "cache/index%u/level", index);
      if (!cpu_file(r, cpu, leaf, buffer, sizeof buffer, &level)) break;
      l = level;
      snprintf(leaf, sizeof leaf, "cache/index%u/type", index);
      t = cpu_file(r, cpu, leaf, buffer, sizeof buffer, &type) ? std::string(type) : std::string();
      snprintf(leaf, sizeof leaf, "cache/index%u/size", index);
      z = cpu_file(r, cpu, leaf, buffer, sizeof buffer, &size) ? std::string(size) : std::string();
      snprintf(leaf, sizeof leaf, "cache/index%u/shared_cpu_list", index);
      if (!cpu_file(r, cpu, leaf, buffer, sizeof buffer, &shared)) continue;
      std::string key = l + "/" + t + "/" + std::string(shared);
      if (!caches.insert(key).second) continue;
      // Cache body: level u8, associativity u8, line size u16, size u32, type u32, 18 reserved, group count u16.
      u8 body[32] = {};
      body[0] = static_cast<u8>(sysinfo::number_of(l));
      u32 bytes = static_cast<u32>(std::min<u64>(size_of(z), 0xFFFFFFFFu));
      u32 kind = t == "Instruction" ? 1 : t == "Data" ? 2 : 0;
      memcpy(body + 4, &bytes, 4);
      memcpy(body + 8, &kind, 4);
      record(&records, relation_cache, body, sizeof body, 38, cpu_list(shared));
    }
  }
  if (cores.empty()) return 0;
  // Processor body: flags u8 (1 when the core runs more than one thread), efficiency class, 20 reserved, group count.
  for (const auto& [key, cpus] : cores) {
    u8 body[24] = {};
    body[0] = cpus.size() > 1;
    record(&records, relation_core, body, sizeof body, 30, cpus);
  }
  for (const auto& [id, cpus] : packages) {
    u8 body[24] = {};
    record(&records, relation_package, body, sizeof body, 30, cpus);
  }
  if (records.size() > out.len) return 0;
  memcpy(out.ptr, records.data(), records.size());
  return static_cast<u32>(records.size());
}

u32 processor_power(Reader* r, mem::Slice out) {
  if (!r) return 0;
  u32 n = 0;
  char buffer[64];
  std::string_view text;
  for (u32 cpu : processors(r)) {
    if ((n + 1) * sizeof(PowerRecord) > out.len) break;
    PowerRecord p{};
    p.number = cpu;
    bool known = cpu_file(r, cpu, "cpufreq/base_frequency", buffer, sizeof buffer, &text) ||
                 cpu_file(r, cpu, "cpufreq/cpuinfo_max_freq", buffer, sizeof buffer, &text);
    if (!known) continue;
    p.max_mhz = static_cast<u32>(sysinfo::number_of(text) / 1000);
    if (cpu_file(r, cpu, "cpufreq/scaling_cur_freq", buffer, sizeof buffer, &text)) {
      p.current_mhz = static_cast<u32>(sysinfo::number_of(text) / 1000);
    }
    p.limit_mhz = cpu_file(r, cpu, "cpufreq/scaling_max_freq", buffer, sizeof buffer, &text)
                      ? static_cast<u32>(sysinfo::number_of(text) / 1000) : p.max_mhz;
    memcpy(out.ptr + n * sizeof p, &p, sizeof p);
    ++n;
  }
  return n * static_cast<u32>(sizeof(PowerRecord));
}

u64 features(Reader* r) {
  if (!r) return 0;
  std::string block = first_block(r);
  std::string flags = field(block, "flags"), vmx = field(block, "vmx flags");
  struct Feature {
    const char* flag;
    u32 bit;
  } const table[] = {
      {"cx8", 2},     {"mmx", 3},     {"sse", 6},       {"tsc", 8},       {"pae", 9},       {"sse2", 10},
      {"nx", 12},     {"pni", 13},    {"cx16", 14},     {"xsave", 17},    {"fsgsbase", 22}, {"rdrand", 28},
      {"ssse3", 36},  {"sse4_1", 37}, {"sse4_2", 38},   {"avx", 39},      {"avx2", 40},     {"avx512f", 41},
      {"vmx", 21},    {"svm", 21},    {"npt", 20},
  };
  u64 mask = 0;
  for (const Feature& f : table) {
    if (has_word(flags, f.flag)) mask |= 1ull << f.bit;
  }
  if (has_word(vmx, "ept")) mask |= 1ull << 20;
  return mask;
}

bool hypervisor(Reader* r, u8 out[16]) {
  memset(out, 0, 16);
  if (!r) return false;
  std::string flags = field(first_block(r), "flags");
  if (flags.empty()) return false;
  out[2] = has_word(flags, "hypervisor");
  return true;
}

u32 cpu_mhz(Reader* r) {
  if (!r) return 0;
  std::string mhz = field(first_block(r), "cpu MHz");
  return static_cast<u32>(sysinfo::number_of(mhz));
}

void cpu_vendor(Reader* r, u16* out, u32 units) {
  memset(out, 0, units * 2);
  if (r) sysinfo::to_wide(field(first_block(r), "vendor_id"), out, units);
}

void cpu_identifier(Reader* r, u16* out, u32 units) {
  memset(out, 0, units * 2);
  if (!r) return;
  std::string block = first_block(r);
  std::string vendor = field(block, "vendor_id"), family = field(block, "cpu family");
  if (family.empty()) return;
  std::string id = (vendor == "AuthenticAMD" ? "AMD64" : vendor == "GenuineIntel" ? "Intel64" : vendor) + " Family " +
                   family + " Model " + field(block, "model") + " Stepping " + field(block, "stepping");
  sysinfo::to_wide(id, out, units);
}

u32 smbios(Reader* r, mem::Slice out) {
  if (!r || out.len < 8) return 0;
  char entry[32];
  std::string_view head;
  if (!sysinfo::read_small(r->root, "sys/firmware/dmi/tables/smbios_entry_point", entry, sizeof entry, &head)) return 0;
  u8 major = 0, minor = 0, revision = 0;
  if (head.size() >= 10 && head.substr(0, 5) == "_SM3_") {
    major = static_cast<u8>(head[7]);
    minor = static_cast<u8>(head[8]);
    revision = static_cast<u8>(head[9]);
  } else if (head.size() >= 8 && head.substr(0, 4) == "_SM_") {
    major = static_cast<u8>(head[6]);
    minor = static_cast<u8>(head[7]);
  } else {
    return 0;
  }
  std::string_view table;
  if (!sysinfo::read_file(r, r->root, "sys/firmware/dmi/tables/DMI", &table)) return 0;
  u64 need = 8 + table.size();
  if (need > 0xFFFFFFFFu) return 0;
  if (need > out.len) return static_cast<u32>(need);
  u32 length = static_cast<u32>(table.size());
  out.ptr[0] = 0;
  out.ptr[1] = major;
  out.ptr[2] = minor;
  out.ptr[3] = revision;
  memcpy(out.ptr + 4, &length, 4);
  memcpy(out.ptr + 8, table.data(), table.size());
  return static_cast<u32>(need);
}

}  // namespace hwinfo
