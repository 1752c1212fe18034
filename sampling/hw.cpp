#include "sampling/hw.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "sampling/collect.h"
#include "sampling/ntinfo.h"

namespace hw {
namespace {

using bits::min32;
using bits::min64;
using ntinfo::rd32;
using ntinfo::rd64;

constexpr u32 max_records = 4096;    // topology records walked
constexpr u32 max_structures = 1024;  // SMBIOS structures walked
constexpr u32 max_steps = max_adapters + 1;
constexpr u32 max_unicast = 32;
constexpr u64 no_offset = ~0ull;

bool fits(u64 length, u64 position, u64 size) { return position <= length && length - position >= size; }

u32 rd8(mem::Bytes b, u64 position) { return fits(b.len, position, 1) ? b.ptr[position] : 0; }

u32 rd16(mem::Bytes b, u64 position) {
  if (!fits(b.len, position, 2)) return 0;
  return b.ptr[position] | (u32{b.ptr[position + 1]} << 8);
}

mem::Bytes part(mem::Bytes b, u64 position, u64 size) {
  return fits(b.len, position, size) ? mem::Bytes(b.ptr + position, size) : mem::Bytes();
}

u16 sat16(u64 v) { return static_cast<u16>(min64(v, 0xFFFF)); }
u8 sat8(u64 v) { return static_cast<u8>(min64(v, 0xFF)); }

// A pointer of the producer's process as an offset into its buffer; none for a null or lower pointer.
u64 offset_of(u64 pointer, u64 base) { return pointer == 0 || pointer < base ? no_offset : pointer - base; }

// The bytes before the first zero.
mem::Bytes until_zero(mem::Bytes b) {
  u64 n = 0;
  while (n < b.len && b.ptr[n] != 0) ++n;
  return mem::Bytes(b.ptr, n);
}

// A UTF-16 text of the raw record as ASCII in out; the text up to its first zero.
mem::Bytes ascii_of(const u16* units, u64 count, mem::Slice out) {
  ntinfo::name_ascii(mem::Bytes(reinterpret_cast<const u8*>(units), 2 * count), 0, out);
  return until_zero(out);
}

// A zero-ended text of a storage descriptor at offset, without leading and trailing spaces; empty for offset 0.
mem::Bytes descriptor_text(mem::Bytes d, u32 offset) {
  if (offset == 0 || offset >= d.len) return mem::Bytes();
  mem::Bytes text = until_zero(mem::Bytes(d.ptr + offset, d.len - offset));
  u64 start = ntinfo::trim_start(text);
  mem::Bytes rest(text.ptr + start, text.len - start);
  return mem::Bytes(rest.ptr, ntinfo::trim_end(rest));
}

u32 max_power_mhz(const collect::HardwareRaw* raw) {
  mem::Bytes power(raw->power, sizeof raw->power);
  u32 best = 0;
  for (u64 p = 0; p + at::power_step <= power.len; p += at::power_step) {
    best = bits::max32(best, rd32(power, p + at::power_max_mhz));
  }
  return best;
}

}  // namespace

// ---- Processor.

bool lpi_decode(mem::Bytes records, Hardware* hardware) {
  u64 level[4] = {};
  u64 cores = 0, logical = 0, sockets = 0;
  u64 pos = 0;
  for (u32 seen = 0; seen < max_records && records.len - pos > 7; ++seen) {
    u32 size = rd32(records, pos + at::lpi_size);
    if (size < 8 || size > records.len - pos) break;
    mem::Bytes record(records.ptr + pos, size);
    u32 relation = rd32(record, 0);
    if (relation == at::lpi_core) {
      ++cores;
      u32 groups = size >= 32 ? min32(rd16(record, at::lpi_group_count), (size - 32) / at::lpi_group_step) : 0;
      for (u32 g = 0; g < groups; ++g) {
        logical += bits::word_count(rd64(record, at::lpi_groups + at::lpi_group_step * g));
      }
    } else if (relation == at::lpi_package) {
      ++sockets;
    } else if (relation == at::lpi_cache && size > 15) {
      u32 which = rd8(record, at::lpi_level);
      if (which >= 1 && which <= 3) level[which] += rd32(record, at::lpi_cache_size);
    }
    pos += size;
  }
  hardware->l1_kib = min32(level[1] / 1024, 0xFFFFFFFF);
  hardware->l2_kib = min32(level[2] / 1024, 0xFFFFFFFF);
  hardware->l3_kib = min32(level[3] / 1024, 0xFFFFFFFF);
  hardware->cores = sat16(cores);
  hardware->logical = sat16(logical);
  hardware->sockets = sat8(sockets);
  u64 largest = bits::max64(level[1], bits::max64(level[2], level[3]));
  return largest > (u64{1} << 42) - 1 || cores > 0xFFFF || logical > 0xFFFF || sockets > 255;
}

u16 base_of(u32 power_mhz, u32 registry_mhz) { return sat16(power_mhz != 0 ? power_mhz : registry_mhz); }
bool base_over(u32 power_mhz, u32 registry_mhz) { return (power_mhz != 0 ? power_mhz : registry_mhz) > 0xFFFF; }

u16 speed_mhz(u32 base_mhz, u64 performance) {
  return sat16(u64{base_mhz} * min64(performance, 0xFFFFFFFF) / 100000);
}
bool speed_over(u32 base_mhz, u64 performance) {
  return u64{base_mhz} * min64(performance, 0xFFFFFFFF) / 100000 > 0xFFFF;
}

u8 vendor_of(mem::Bytes vendor) {
  if (vendor.len == 0) return vendor_none;
  if (mem::eq(vendor, mem::lit("GenuineIntel"))) return vendor_intel;
  if (mem::eq(vendor, mem::lit("AuthenticAMD"))) return vendor_amd;
  return vendor_other;
}

u32 number_after(mem::Bytes text, mem::Bytes keyword) {
  for (u64 p = 0; p + keyword.len <= text.len; ++p) {
    if (!ntinfo::tag_at(text, p, keyword)) continue;
    u32 n = 0;
    for (u64 q = p + keyword.len; q < text.len && text.ptr[q] >= '0' && text.ptr[q] <= '9'; ++q) {
      n = min32(u64{n} * 10 + (text.ptr[q] - '0'), 999999999);
    }
    return n;
  }
  return 0;
}

u32 features_of(u64 raw_features, u32 hypervisor) {
  // The system's feature number behind each feature index; 64 for AES and SHA, which it does not report.
  constexpr u32 numbers[f_hypervisor] = {10, 13, 36, 37, 38, 39, 40, 41, 64, 64, 12, 28, 21, 20};
  u32 present = 0;
  for (u32 i = 0; i < f_hypervisor; ++i) {
    if (numbers[i] < 64 && bits::word_test(raw_features, numbers[i])) present |= 1u << i;
  }
  return present | (hypervisor != 0 ? 1u << f_hypervisor : 0);
}

bool cpu_decode(const collect::HardwareRaw* raw, Hardware* hardware) {
  u64 topology = raw->flags & 1 ? min64(raw->topology_bytes, sizeof raw->topology) : 0;
  bool over = lpi_decode(mem::Bytes(raw->topology, topology), hardware);
  u32 power = raw->flags & 2 ? max_power_mhz(raw) : 0;
  hardware->base_mhz = base_of(power, raw->mhz);
  over |= base_over(power, raw->mhz);
  u8 text[64];
  hardware->vendor = vendor_of(ascii_of(raw->vendor, 64, mem::Slice{text, sizeof text}));
  mem::Bytes identifier = ascii_of(raw->identifier, 64, mem::Slice{text, sizeof text});
  u32 family = number_after(identifier, mem::lit("Family "));
  u32 model = number_after(identifier, mem::lit("Model "));
  u32 stepping = number_after(identifier, mem::lit("Stepping "));
  hardware->family = sat16(family);
  hardware->model = sat8(model);
  hardware->stepping = sat8(stepping);
  hardware->features = features_of(raw->features, raw->hypervisor);
  hardware->known = features_known;
  return over || family > 0xFFFF || model > 255 || stepping > 255;
}

// ---- Memory modules.

u32 field8(mem::Bytes structure, u64 position) { return rd8(structure, position); }
u32 field16(mem::Bytes structure, u64 position) { return rd16(structure, position); }
u32 field32(mem::Bytes structure, u64 position) { return rd32(structure, position); }

u64 strings_end(mem::Bytes table, u64 from) {
  for (u64 p = from; p < table.len && table.len - p >= 2; ++p) {
    if (table.ptr[p] == 0 && table.ptr[p + 1] == 0) return p + 2;
  }
  return table.len;
}

u32 slot_mib(u32 size, u32 extended) {
  if (size == 0xFFFF) return 0;
  if (size == 0x7FFF) return extended & 0x7FFFFFFF;
  if (size & 0x8000) return (size >> 10) & 0x1F;
  return size;
}

u32 slot_speed(mem::Bytes s) {
  u32 configured = field16(s, at::dev_configured);
  if (configured == 0xFFFF) configured = field32(s, at::dev_extended_configured);
  if (configured != 0) return configured;
  u32 speed = field16(s, at::dev_speed);
  return speed == 0xFFFF ? field32(s, at::dev_extended_speed) : speed;
}

u8 mem_kind(u32 type) {
  switch (type) {
    case 0: case 2: return mem_unknown;
    case 24: return mem_ddr3;
    case 26: return mem_ddr4;
    case 34: return mem_ddr5;
    case 29: return mem_lpddr3;
    case 30: return mem_lpddr4;
    case 35: return mem_lpddr5;
    default: return mem_other;
  }
}

u8 form_of(u32 form) {
  switch (form) {
    case 0: case 2: return form_unknown;
    case 9: return form_dimm;
    case 13: return form_sodimm;
    default: return form_other;
  }
}

void device_add(mem::Bytes s, Memory* memory, u64* installed) {
  memory->slots = sat16(u64{memory->slots} + 1);
  u32 size = field16(s, at::dev_size);
  if (size == 0) return;
  if (memory->slots_used == 0) {
    memory->kind = mem_kind(field8(s, at::dev_type));
    memory->form = form_of(field8(s, at::dev_form));
  }
  memory->slots_used = sat16(u64{memory->slots_used} + 1);
  *installed += slot_mib(size, field32(s, at::dev_extended_size));
  memory->speed = bits::max32(memory->speed, slot_speed(s));
}

bool smbios_decode(mem::Bytes data, Memory* memory) {
  *memory = Memory{};
  if (data.len < 8) return false;
  mem::Bytes table(data.ptr, min64(u64{rd32(data, 4)} + 8, data.len));
  u64 installed = 0;
  u64 pos = 8;
  for (u32 n = 0; n < max_structures && table.len - pos > 3; ++n) {
    u32 type = table.ptr[pos];
    u32 length = table.ptr[pos + 1];
    if (length < 4 || length > table.len - pos || type == 127) break;
    if (type == 17) device_add(mem::Bytes(table.ptr + pos, length), memory, &installed);
    pos = strings_end(table, pos + length);
  }
  memory->installed_mib = min32(installed, 0xFFFFFFFF);
  return installed > 0xFFFFFFFF;
}

// ---- Drives.

u8 bus_of(u32 bus_type) {
  switch (bus_type) {
    case 0: return bus_unknown;
    case 17: return bus_nvme;
    case 11: return bus_sata;
    case 10: return bus_sas;
    case 7: return bus_usb;
    case 1: return bus_scsi;
    case 8: return bus_raid;
    default: return bus_other;
  }
}

u64 ascii_put(mem::Slice out, u64 n, mem::Bytes text) {
  for (u64 k = 0; k < text.len && n < out.len; ++k, ++n) {
    u8 c = text.ptr[k];
    out.ptr[n] = c >= 32 && c <= 126 ? c : '?';
  }
  return n;
}

void storage_model(mem::Bytes descriptor, u8* out) {
  mem::Slice model{out, text_bytes};
  mem::fill(model, 0);
  if (descriptor.len < at::disk_head) return;
  mem::Bytes vendor = descriptor_text(descriptor, rd32(descriptor, at::disk_vendor));
  mem::Bytes product = descriptor_text(descriptor, rd32(descriptor, at::disk_product));
  u64 n = ascii_put(model, 0, vendor);
  if (vendor.len != 0 && product.len != 0) n = ascii_put(model, n, mem::lit(" "));
  ascii_put(model, n, product);
}

void disks_decode(const collect::HardwareRaw* raw, Hardware* hardware) {
  hardware->drive_mask = raw->drive_read & 0xFFFF;
  for (u32 i = 0; i < max_drives; ++i) {
    bool read = bits::word_test(raw->drive_read, i);
    bool answered = bits::word_test(raw->seek_answered, i);
    u32 media = read && answered ? (bits::word_test(raw->seek_penalty, i) ? media_hdd : media_ssd) : media_unknown;
    mem::Bytes descriptor(raw->drives[i], sizeof raw->drives[i]);
    plane_set(hardware->media, 2, i, media);
    plane_set(hardware->bus, 3, i, read ? u32{bus_of(rd32(descriptor, at::disk_bus))} : u32{bus_unknown});
    // An unread descriptor holds nothing of the drive, so it gives no model either.
    if (read) {
      storage_model(descriptor, hardware->drive_model[i]);
    } else {
      mem::fill(mem::Slice{hardware->drive_model[i], text_bytes}, 0);
    }
  }
}

// ---- Bit slices.

void plane_set(u64* words, u32 n, u32 i, u32 value) {
  for (u32 k = 0; k < n; ++k) words[k] = bits::word_put(words[k], i, value >> k);
}

u32 enum_of(u64 w0, u64 w1, u64 w2, u32 i) {
  return bits::word_test(w0, i) | (bits::word_test(w1, i) << 1) | (bits::word_test(w2, i) << 2);
}

u32 plane_value(const u64* words, u32 n, u32 i) {
  return enum_of(n > 0 ? words[0] : 0, n > 1 ? words[1] : 0, n > 2 ? words[2] : 0, i);
}

// ---- Adapters.

u64 mac_of(mem::Bytes address, u32 length) {
  u64 n = min64(min64(length, 6), address.len);
  u64 mac = 0;
  for (u64 k = 0; k < n; ++k) mac |= u64{address.ptr[k]} << (40 - 8 * k);
  return mac;
}

u8 conn_of(u32 if_type) { return if_type == 6 ? conn_ethernet : if_type == 71 ? conn_wifi : conn_other; }

void unicast_add(mem::Bytes chain, u64 offset, u32 sockaddr_length, Adapters* a, u32 i) {
  if (i >= max_adapters) return;
  u32 family = rd16(chain, offset);
  if (family == at::family_ipv4 && sockaddr_length >= at::sa_ipv4_bytes && fits(chain.len, offset, at::sa_ipv4_bytes)) {
    if (a->ipv4_count[i] >= max_addresses) return;
    const u8* p = chain.ptr + offset + at::sa_ipv4;
    a->ipv4[i][a->ipv4_count[i]++] = (u32{p[0]} << 24) | (u32{p[1]} << 16) | (u32{p[2]} << 8) | p[3];
  } else if (family == at::family_ipv6 && sockaddr_length >= at::sa_ipv6_bytes &&
             fits(chain.len, offset, at::sa_ipv6_bytes)) {
    if (a->ipv6_count[i] >= max_addresses) return;
    __builtin_memcpy(a->ipv6[i][a->ipv6_count[i]++], chain.ptr + offset + at::sa_ipv6, 16);
  }
}

void adapter_add(mem::Bytes chain, u64 node, u64 base, Adapters* a, u32 i) {
  if (i >= max_adapters) return;
  a->id[i] = rd64(chain, node + at::node_luid);
  a->mac[i] = mac_of(part(chain, node + at::node_mac, 8), rd32(chain, node + at::node_mac_length));
  plane_set(a->conn, 2, i, conn_of(rd32(chain, node + at::node_type)));
  a->ipv4_count[i] = 0;
  a->ipv6_count[i] = 0;
  __builtin_memset(a->ipv4[i], 0, sizeof a->ipv4[i]);
  __builtin_memset(a->ipv6[i], 0, sizeof a->ipv6[i]);
  u64 description = offset_of(rd64(chain, node + at::node_description), base);
  u64 suffix = offset_of(rd64(chain, node + at::node_dns_suffix), base);
  ntinfo::name_ascii(chain, description, mem::Slice{a->description[i], text_bytes});
  ntinfo::name_ascii(chain, suffix, mem::Slice{a->dns_suffix[i], text_bytes});
  u64 entry = offset_of(rd64(chain, node + at::node_unicast), base);
  for (u32 k = 0; k < max_unicast && fits(chain.len, entry, at::uni_bytes); ++k) {
    u64 address = offset_of(rd64(chain, entry + at::uni_address), base);
    unicast_add(chain, address, rd32(chain, entry + at::uni_length), a, i);
    entry = offset_of(rd64(chain, entry + at::uni_next), base);
  }
}

void adapters_decode(mem::Bytes chain, u64 base, Adapters* a) {
  a->count = 0;
  a->flags = 0;
  a->conn[0] = a->conn[1] = 0;
  u64 node = 0;
  for (u32 step = 0; step < max_steps && fits(chain.len, node, at::node_bytes); ++step) {
    if (a->count == max_adapters) {
      a->flags |= adapters_truncated;
      break;
    }
    adapter_add(chain, node, base, a, a->count++);
    node = offset_of(rd64(chain, node + at::node_next), base);
  }
}

u32 adapter_of(const Adapters* adapters, u64 id) {
  u32 n = min32(adapters->count, max_adapters);
  for (u32 i = 0; i < n; ++i) {
    if (adapters->id[i] == id) return i;
  }
  return no_adapter;
}

// ---- The whole record.

void decode(const collect::HardwareRaw* raw, Hardware* hardware, Adapters* adapters) {
  // Everything but the owner's texts starts from zero, whatever the caller left in the records.
  __builtin_memset(hardware, 0, offsetof(Hardware, host));
  __builtin_memset(adapters, 0, sizeof *adapters);
  bool over = cpu_decode(raw, hardware);
  u64 smbios = raw->flags & 4 ? min64(raw->smbios_bytes, sizeof raw->smbios) : 0;
  over |= smbios_decode(mem::Bytes(raw->smbios, smbios), &hardware->memory);
  bool compressed = raw->flags & collect::hw_compression;
  if (compressed) {
    hardware->memory.compressed_mib = ntinfo::mib_of_bytes(raw->compressed);
    over |= ntinfo::mib_over(raw->compressed);
  }
  disks_decode(raw, hardware);
  u64 list = raw->flags & 16 ? min64(raw->adapter_bytes, sizeof raw->adapters) : 0;
  adapters_decode(mem::Bytes(raw->adapters, list), raw->adapter_base, adapters);
  if (list == 0) adapters->flags |= adapters_missing;
  hardware->status = (raw->flags & 1 ? 0 : cpu_missing) | (raw->flags & 2 ? 0 : power_missing) |
                     (smbios == 0 ? smbios_missing : 0) | (compressed ? 0 : compressed_missing) |
                     (over ? saturated : 0);
}

// ---- Texts of codes.

mem::Bytes vendor_text(u32 vendor) {
  switch (vendor) {
    case vendor_intel: return mem::lit("Intel");
    case vendor_amd: return mem::lit("AMD");
    case vendor_other: return mem::lit("Other");
    default: return mem::lit("-");
  }
}

mem::Bytes mem_text(u32 kind) {
  switch (kind) {
    case mem_ddr3: return mem::lit("DDR3");
    case mem_ddr4: return mem::lit("DDR4");
    case mem_ddr5: return mem::lit("DDR5");
    case mem_lpddr3: return mem::lit("LPDDR3");
    case mem_lpddr4: return mem::lit("LPDDR4");
    case mem_lpddr5: return mem::lit("LPDDR5");
    case mem_other: return mem::lit("Other");
    default: return mem::lit("-");
  }
}

mem::Bytes form_text(u32 form) {
  switch (form) {
    case form_dimm: return mem::lit("DIMM");
    case form_sodimm: return mem::lit("SODIMM");
    case form_other: return mem::lit("Other");
    default: return mem::lit("-");
  }
}

mem::Bytes media_text(u32 media) {
  switch (media) {
    case media_ssd: return mem::lit("SSD");
    case media_hdd: return mem::lit("HDD");
    default: return mem::lit("-");
  }
}

mem::Bytes bus_text(u32 bus) {
  switch (bus) {
    case bus_nvme: return mem::lit("NVMe");
    case bus_sata: return mem::lit("SATA");
    case bus_sas: return mem::lit("SAS");
    case bus_usb: return mem::lit("USB");
    case bus_scsi: return mem::lit("SCSI");
    case bus_raid: return mem::lit("RAID");
    case bus_other: return mem::lit("Other");
    default: return mem::lit("-");
  }
}

mem::Bytes conn_text(u32 conn) {
  switch (conn) {
    case conn_ethernet: return mem::lit("Ethernet");
    case conn_wifi: return mem::lit("Wi-Fi");
    case conn_other: return mem::lit("Other");
    default: return mem::lit("-");
  }
}

mem::Bytes virt_text(u32 state) {
  switch (state) {
    case 1: return mem::lit("Enabled");
    case 2: return mem::lit("Disabled");
    default: return mem::lit("-");
  }
}

mem::Bytes power_part_text(u32 part) {
  switch (part) {
    case 0: return mem::lit("cpu");
    case 1: return mem::lit("dram");
    case 2: return mem::lit("gpu");
    default: return mem::lit("system");
  }
}

mem::Bytes battery_text(u32 state) {
  switch (state) {
    case 1: return mem::lit("charging");
    case 2: return mem::lit("discharging");
    case 3: return mem::lit("full");
    case 4: return mem::lit("not charging");
    default: return mem::lit("unknown");
  }
}

mem::Bytes feature_text(u32 index) {
  switch (index) {
    case f_sse2: return mem::lit("SSE2");
    case f_sse3: return mem::lit("SSE3");
    case f_ssse3: return mem::lit("SSSE3");
    case f_sse41: return mem::lit("SSE4.1");
    case f_sse42: return mem::lit("SSE4.2");
    case f_avx: return mem::lit("AVX");
    case f_avx2: return mem::lit("AVX2");
    case f_avx512: return mem::lit("AVX-512");
    case f_aes: return mem::lit("AES");
    case f_sha: return mem::lit("SHA");
    case f_nx: return mem::lit("NX");
    case f_rdrand: return mem::lit("RDRAND");
    case f_virt: return mem::lit("VT-x/AMD-V");
    case f_slat: return mem::lit("SLAT");
    default: return mem::lit("hypervisor");
  }
}

// ---- Values.

u32 virt_state(u32 present, u32 known) {
  constexpr u32 either = (1u << f_virt) | (1u << f_hypervisor);
  if ((known & either) == 0) return 0;
  return (present & known & either) != 0 ? 1 : 2;
}

u32 reserved_mib(u32 installed, u32 visible) { return bits::sub_sat32(installed, visible); }

// Negated as unsigned, so the most negative value has its magnitude too.
u32 deci_magnitude(i32 value) {
  u32 v = static_cast<u32>(value);
  return value < 0 ? 0u - v : v;
}

u32 plane_state(mem::Bytes bytes, u32 count, u32 entry) {
  if (entry >= 8) return 0;
  u32 n = min32(min64(count, bytes.len), 32);
  u32 state = 0;
  for (u32 k = 0; k < n; ++k) state |= ((u32{bytes.ptr[k]} >> entry) & 1) << k;
  return state;
}

// ---- Appending to a line.

void dash(words::Text* line) { words::put(line, mem::lit("-")); }

void known_text(words::Text* line, mem::Bytes text) {
  mem::Bytes shown = until_zero(text);
  if (shown.len == 0) return dash(line);
  words::put(line, shown);
}

void put_char(words::Text* line, u8 c) { words::put(line, mem::Bytes(&c, 1)); }

namespace {

// value x 10 / divisor, rounded, as tenths, then the unit.
void put_scaled(words::Text* line, u64 value, u64 divisor, mem::Bytes unit) {
  words::put_tenths(line, words::rounded(value * 10, divisor));
  words::put(line, unit);
}

void put_number(words::Text* line, u64 value, mem::Bytes unit) {
  words::put_u64(line, value);
  words::put(line, unit);
}

u32 nibble_char(u32 v) { return v < 10 ? '0' + v : 'A' + v - 10; }

}  // namespace

void cache_text(words::Text* line, u32 kib) {
  if (kib == 0) return dash(line);
  if (kib < 1024) return put_number(line, kib, mem::lit(" KB"));
  put_scaled(line, kib, 1024, mem::lit(" MB"));
}

void mts_text(words::Text* line, u32 mts) {
  if (mts == 0) return dash(line);
  put_number(line, mts, mem::lit(" MT/s"));
}

void slots_text(words::Text* line, u32 used, u32 total) {
  if (total == 0) return dash(line);
  put_number(line, used, mem::lit(" of "));
  words::put_u64(line, total);
}

void mb_text(words::Text* line, u32 mib, u32 state) {
  if (state != 1) return dash(line);
  if (mib < 1024) return put_number(line, mib, mem::lit(" MB"));
  put_scaled(line, mib, 1024, mem::lit(" GB"));
}

void bytes_text(words::Text* line, u64 bytes) {
  if (bytes < (u64{1} << 20)) return put_number(line, bytes / 1024, mem::lit(" KB"));
  if (bytes < (u64{1} << 30)) return put_scaled(line, bytes / 1024, 1024, mem::lit(" MB"));
  put_scaled(line, bytes >> 20, 1024, mem::lit(" GB"));
}

void total_text(words::Text* line, u64 bytes) {
  if (bytes == 0) return dash(line);
  bytes_text(line, bytes);
}

void link_text(words::Text* line, u32 mbps) {
  if (mbps == 0) return dash(line);
  if (mbps < 1000) return put_number(line, mbps, mem::lit(" Mbps"));
  put_scaled(line, mbps, 1000, mem::lit(" Gbps"));
}

void family_text(words::Text* line, const Hardware* hardware) {
  if (hardware->family == 0) return dash(line);
  words::put(line, mem::lit("family "));
  put_number(line, hardware->family, mem::lit(" model "));
  put_number(line, hardware->model, mem::lit(" stepping "));
  words::put_u64(line, hardware->stepping);
}

void disk_type(words::Text* line, u32 media, u32 bus) {
  if (media == 0 && bus == 0) return dash(line);
  if (bus == 0) return words::put(line, media_text(media));
  if (media == 0) return words::put(line, bus_text(bus));
  words::put(line, media_text(media));
  words::put(line, mem::lit(" ("));
  words::put(line, bus_text(bus));
  words::put(line, mem::lit(")"));
}

void features_line(words::Text* line, u32 present, u32 known, u32 selection) {
  if ((known & selection) == 0) return dash(line);
  u32 shown = present & known & selection;
  u32 named = 0;
  for (u32 i = 0; i < feature_count; ++i) {
    if (!bits::word_test(shown, i)) continue;
    if (named++ != 0) words::put(line, mem::lit(" "));
    words::put(line, feature_text(i));
  }
  if (named == 0) words::put(line, mem::lit("none"));
  u32 unknown = selection & ~known;
  u32 listed = 0;
  for (u32 i = 0; i < feature_count; ++i) {
    if (!bits::word_test(unknown, i)) continue;
    words::put(line, listed++ == 0 ? mem::lit(", ") : mem::lit("/"));
    words::put(line, feature_text(i));
  }
  if (listed != 0) words::put(line, mem::lit(" unknown"));
}

void mac_text(words::Text* line, u64 mac) {
  if (mac == 0) return dash(line);
  for (u32 k = 0; k < 6; ++k) {
    u32 byte = static_cast<u32>(mac >> (40 - 8 * k)) & 0xFF;
    if (k != 0) put_char(line, '-');
    put_char(line, static_cast<u8>(nibble_char(byte >> 4)));
    put_char(line, static_cast<u8>(nibble_char(byte & 15)));
  }
}

void ipv4_text(words::Text* line, u32 address) {
  for (u32 k = 0; k < 4; ++k) {
    if (k != 0) put_char(line, '.');
    words::put_u64(line, (address >> (24 - 8 * k)) & 0xFF);
  }
}

u32 zero_run_at(u32 zeros, u32 start) {
  u32 n = 0;
  while (start + n < 8 && bits::word_test(zeros, start + n)) ++n;
  return n;
}

u32 longest_zeros(u32 zeros) {
  u32 best = 8, best_length = 1;
  for (u32 s = 0; s < 8; ++s) {
    u32 length = zero_run_at(zeros, s);
    if (length > best_length) {
      best = s;
      best_length = length;
    }
  }
  return best;
}

void put_group(words::Text* line, u32 group) {
  u8 digits[fmt::hex_size];
  words::put(line, fmt::hex(group & 0xFFFF, digits));
}

void ipv6_text(words::Text* line, const u8* address16) {
  u32 groups[8];
  u32 zeros = 0;
  for (u32 k = 0; k < 8; ++k) {
    groups[k] = (u32{address16[2 * k]} << 8) | address16[2 * k + 1];
    if (groups[k] == 0) zeros |= 1u << k;
  }
  u32 run = longest_zeros(zeros);
  u32 run_end = run < 8 ? run + zero_run_at(zeros, run) : 8;
  for (u32 k = 0; k < 8; ++k) {
    if (k == run) {
      words::put(line, mem::lit("::"));
      k = run_end - 1;
      continue;
    }
    if (k != 0 && k != run_end) put_char(line, ':');
    put_group(line, groups[k]);
  }
}

}  // namespace hw
