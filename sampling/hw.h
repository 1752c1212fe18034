#pragma once
// The machine's hardware as two fixed-size, pointer-free records decoded from the collector's raw buffers
// (processor topology and power records, registry identity, the SMBIOS table, storage descriptors, the adapter
// list), and the one family of text functions that every report, view and tool uses to show hardware and power
// values, so that a value reads the same everywhere and an unknown one is always "-".
//
// The raw buffers come from the collector, from snapshot files and from other processes: no length, offset or
// pointer in them is trusted. Every read is bounded by the buffer's recorded length, every walk has a step limit, a
// value too wide for its field is clamped and sets the saturated bit, and a list longer than its record keeps its
// first entries and sets the truncated bit.
#include <stddef.h>

#include "base/mem.h"
#include "base/words.h"

namespace collect {
struct HardwareRaw;
}

namespace hw {

constexpr u32 max_drives = 16;
constexpr u32 max_adapters = 64;
constexpr u32 max_addresses = 4;  // of each family per adapter
constexpr u32 text_bytes = 32;
constexpr u32 features_known = 0x7CFF;  // AES and SHA (bits 8, 9) are never known

// Status bits of Hardware.
constexpr u32 cpu_missing = 1, power_missing = 2, smbios_missing = 4, compressed_missing = 8, saturated = 16;
// Flag bits of Adapters.
constexpr u32 adapters_missing = 32, adapters_truncated = 64;

// Feature indexes (bit i of the features fields).
enum : u32 {
  f_sse2, f_sse3, f_ssse3, f_sse41, f_sse42, f_avx, f_avx2, f_avx512, f_aes, f_sha, f_nx, f_rdrand, f_virt, f_slat,
  f_hypervisor, feature_count,
};

// Codes of the small enumerations.
enum : u8 { vendor_none, vendor_intel, vendor_amd, vendor_other };
enum : u8 { mem_unknown, mem_ddr3, mem_ddr4, mem_ddr5, mem_lpddr3, mem_lpddr4, mem_lpddr5, mem_other };
enum : u8 { form_unknown, form_dimm, form_sodimm, form_other };
enum : u8 { media_unknown, media_ssd, media_hdd };
enum : u8 { bus_unknown, bus_nvme, bus_sata, bus_sas, bus_usb, bus_scsi, bus_raid, bus_other };
enum : u8 { conn_unknown, conn_ethernet, conn_wifi, conn_other };

// The memory part of Hardware, from the SMBIOS memory devices (and the compression store's size).
struct Memory {
  u32 installed_mib;
  u32 compressed_mib;
  u32 speed;  // MT/s, highest over all modules
  u16 slots_used;
  u16 slots;
  u8 kind;  // of the first used slot
  u8 form;  // of the first used slot
  u8 zero[2];
};
static_assert(sizeof(Memory) == 20);

struct Hardware {
  u32 l1_kib;  // sums over all cache instances of the level
  u32 l2_kib;
  u32 l3_kib;
  u32 features;  // present
  u32 known;     // always features_known
  u16 cores;
  u16 logical;
  u16 base_mhz;
  u16 family;
  u8 sockets;
  u8 vendor;
  u8 model;
  u8 stepping;
  Memory memory;
  u32 status;
  u64 drive_mask;  // bit i: drive i's descriptor was read
  u64 media[2];    // bit slices of the media kinds
  u64 bus[3];      // bit slices of the bus kinds
  u8 drive_model[max_drives][text_bytes];  // printable ASCII, zero-filled
  u8 host[text_bytes];    // left to the record's owner
  u8 kernel[text_bytes];  // left to the record's owner
};
static_assert(sizeof(Hardware) == 680);
static_assert(offsetof(Hardware, cores) == 20 && offsetof(Hardware, sockets) == 28);
static_assert(offsetof(Hardware, memory) == 32 && offsetof(Hardware, status) == 52);
static_assert(offsetof(Hardware, drive_mask) == 56 && offsetof(Hardware, media) == 64);
static_assert(offsetof(Hardware, bus) == 80 && offsetof(Hardware, drive_model) == 104);
static_assert(offsetof(Hardware, host) == 616 && offsetof(Hardware, kernel) == 648);

struct Adapters {
  u32 count;  // at most 64
  u32 flags;  // adapters_missing, adapters_truncated
  u64 conn[2];  // bit slices of the connection kinds
  u64 id[max_adapters];   // interface LUID
  u64 mac[max_adapters];  // first byte in bits 40-47
  u8 ipv4_count[max_adapters];
  u8 ipv6_count[max_adapters];
  u32 ipv4[max_adapters][max_addresses];  // first octet in the high byte
  u8 ipv6[max_adapters][max_addresses][16];  // network order
  u8 description[max_adapters][text_bytes];
  u8 dns_suffix[max_adapters][text_bytes];
};
static_assert(sizeof(Adapters) == 10392);
static_assert(offsetof(Adapters, id) == 24 && offsetof(Adapters, mac) == 536);
static_assert(offsetof(Adapters, ipv4_count) == 1048 && offsetof(Adapters, ipv6_count) == 1112);
static_assert(offsetof(Adapters, ipv4) == 1176 && offsetof(Adapters, ipv6) == 2200);
static_assert(offsetof(Adapters, description) == 6296 && offsetof(Adapters, dns_suffix) == 8344);

// Where the decoder reads the system's records (64-bit layouts). The producers of the raw buffers write the same.
namespace at {
// Topology records: relationship and size, then the relationship's body.
constexpr u64 lpi_size = 4, lpi_level = 8, lpi_cache_size = 12, lpi_group_count = 30, lpi_groups = 32;
constexpr u64 lpi_group_step = 16;
enum : u32 { lpi_core = 0, lpi_cache = 2, lpi_package = 3 };
// Processor power records: 24 bytes, the maximum MHz second.
constexpr u64 power_step = 24, power_max_mhz = 4;
// SMBIOS memory device (type 17).
constexpr u64 dev_size = 12, dev_form = 14, dev_type = 18, dev_speed = 21, dev_extended_size = 28;
constexpr u64 dev_configured = 32, dev_extended_speed = 84, dev_extended_configured = 88;
// Storage device descriptor.
constexpr u64 disk_vendor = 12, disk_product = 16, disk_bus = 28, disk_head = 32;
// Adapter node: pointers are addresses in the producer's process.
constexpr u64 node_next = 8, node_unicast = 24, node_dns_suffix = 56, node_description = 64, node_mac = 80;
constexpr u64 node_mac_length = 88, node_type = 100, node_luid = 224, node_bytes = 232;
// Unicast entry: next, then the socket address pointer and its length.
constexpr u64 uni_next = 8, uni_address = 16, uni_length = 24, uni_bytes = 28;
// Socket addresses with the system's family numbers.
constexpr u32 family_ipv4 = 2, family_ipv6 = 23;
constexpr u64 sa_ipv4 = 4, sa_ipv4_bytes = 8, sa_ipv6 = 8, sa_ipv6_bytes = 24;
}  // namespace at

// ---- Decoding.

// Fills both records (which the caller zeroed) from the raw record; host and kernel texts are left as they are.
void decode(const collect::HardwareRaw* raw, Hardware* hardware, Adapters* adapters);
// Processor identity, topology and features; true when a value was saturated.
bool cpu_decode(const collect::HardwareRaw* raw, Hardware* hardware);
// Caches, cores, logical processors and sockets from the topology records; true when a value was saturated.
bool lpi_decode(mem::Bytes records, Hardware* hardware);
// Memory modules from the raw SMBIOS data (8-byte header, then structures); true when the installed size overflowed
// 32 bits. The compressed size is cleared with the rest.
bool smbios_decode(mem::Bytes data, Memory* memory);
void disks_decode(const collect::HardwareRaw* raw, Hardware* hardware);
// The adapter chain, whose pointers are addresses in the producer's process: an address minus base is an offset.
void adapters_decode(mem::Bytes chain, u64 base, Adapters* adapters);
// The node at offset of the chain (the caller checked that it has room) into adapter slot i.
void adapter_add(mem::Bytes chain, u64 node, u64 base, Adapters* adapters, u32 i);
// Index of the first adapter with this id, or 0xFFFFFFFF.
constexpr u32 no_adapter = 0xFFFFFFFFu;
u32 adapter_of(const Adapters* adapters, u64 id);

// Current speed: base x min(performance, 0xFFFFFFFF) / 100,000 (performance in thousandths of a percent),
// saturated to 16 bits; speed_over tells that it was.
u16 speed_mhz(u32 base_mhz, u64 performance);
bool speed_over(u32 base_mhz, u64 performance);
// The base speed: the power records' maximum, else the registry's; saturated to 16 bits.
u16 base_of(u32 power_mhz, u32 registry_mhz);
bool base_over(u32 power_mhz, u32 registry_mhz);

// Bounded readers of one SMBIOS structure's formatted area: 0 when the value does not lie wholly inside it.
u32 field8(mem::Bytes structure, u64 position);
u32 field16(mem::Bytes structure, u64 position);
u32 field32(mem::Bytes structure, u64 position);
// The position after the double zero that ends the strings behind a formatted area; the table's end when none.
u64 strings_end(mem::Bytes table, u64 from);
// One memory device: a slot, and when used its size, speed and (first used only) kind and form.
void device_add(mem::Bytes structure, Memory* memory, u64* installed);
u32 slot_mib(u32 size, u32 extended);
u32 slot_speed(mem::Bytes structure);
u8 mem_kind(u32 type);
u8 form_of(u32 form);
u8 bus_of(u32 bus_type);

// Bit slices: entry i's value has bit k in bit i of word k.
void plane_set(u64* words, u32 n, u32 i, u32 value);
u32 plane_value(const u64* words, u32 n, u32 i);
u32 enum_of(u64 w0, u64 w1, u64 w2, u32 i);

// "vendor product" of a storage descriptor into out (32 bytes, zero-filled).
void storage_model(mem::Bytes descriptor, u8* out);
// Appends text at position n of out, bytes outside 32..126 as '?', stopping at the end of out; the new position.
u64 ascii_put(mem::Slice out, u64 n, mem::Bytes text);
// Up to 6 bytes of a hardware address, first byte in bits 40-47.
u64 mac_of(mem::Bytes address, u32 length);
u8 conn_of(u32 if_type);
// One unicast entry's socket address (sockaddr_length bytes at offset of the chain) into adapter i.
void unicast_add(mem::Bytes chain, u64 offset, u32 sockaddr_length, Adapters* adapters, u32 i);
u8 vendor_of(mem::Bytes vendor);
// The decimal number right after the first occurrence of keyword (saturating at 999,999,999); 0 when none.
u32 number_after(mem::Bytes text, mem::Bytes keyword);
// Feature bits from the system's feature numbers and the hypervisor flag.
u32 features_of(u64 raw_features, u32 hypervisor);

// ---- Texts of codes.

mem::Bytes vendor_text(u32 vendor);
mem::Bytes mem_text(u32 kind);
mem::Bytes form_text(u32 form);
mem::Bytes media_text(u32 media);
mem::Bytes bus_text(u32 bus);
mem::Bytes conn_text(u32 conn);
mem::Bytes virt_text(u32 state);
mem::Bytes power_part_text(u32 part);
mem::Bytes battery_text(u32 state);
mem::Bytes feature_text(u32 index);

// ---- Values.

// 0 unknown, 1 enabled, 2 disabled: from the virtualisation and hypervisor features.
u32 virt_state(u32 present, u32 known);
// Installed minus visible, 0 when visible is not smaller.
u32 reserved_mib(u32 installed, u32 visible);
u32 deci_magnitude(i32 value);
// Bit k: bit `entry` of byte k, for k below count (at most 32, within the bytes).
u32 plane_state(mem::Bytes bytes, u32 count, u32 entry);

// ---- Appending to a line.

void dash(words::Text* line);
// The text up to its first zero byte, or "-" when that is empty.
void known_text(words::Text* line, mem::Bytes text);
void put_char(words::Text* line, u8 c);
void cache_text(words::Text* line, u32 kib);
void mts_text(words::Text* line, u32 mts);
void slots_text(words::Text* line, u32 used, u32 total);
void mb_text(words::Text* line, u32 mib, u32 state);
void bytes_text(words::Text* line, u64 bytes);
void total_text(words::Text* line, u64 bytes);
void link_text(words::Text* line, u32 mbps);
void family_text(words::Text* line, const Hardware* hardware);
void disk_type(words::Text* line, u32 media, u32 bus);
void features_line(words::Text* line, u32 present, u32 known, u32 selection);
void mac_text(words::Text* line, u64 mac);
void ipv4_text(words::Text* line, u32 address);
void ipv6_text(words::Text* line, const u8* address16);
// The IPv6 pieces: the length of the run of zero groups (bits of zeros) from start, the start of the longest run of
// at least 2 (8 when none), and one group in hex.
u32 zero_run_at(u32 zeros, u32 start);
u32 longest_zeros(u32 zeros);
void put_group(words::Text* line, u32 group);

}  // namespace hw
