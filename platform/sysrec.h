#pragma once
// Byte layouts of the operating system's answer records that the sampling code decodes: processor times, the process
// chain, interface rows, counter items, TCP rows, memory status, battery state and the temperature answers.
// The Windows collector receives these from the system; the Linux platform layer builds the very same bytes from
// /proc and /sys, so one set of decoders serves both, and a sample taken on one system replays on the other.
// These bytes travel in samples, snapshot files and the collector feed: every offset is fixed and checked below.
// Decoders never cast a buffer to these records (buffers come from files and other processes and may be short or
// hostile); they read single fields at the offsets these records define, within the buffer's length.
#include <stddef.h>

#include "base/mem.h"

namespace sysrec {

// Processor times, one entry per logical processor; times in 100 ns ticks, kernel time includes idle time.
struct CpuEntry {
  u64 idle;
  u64 kernel;
  u64 user;
  u64 dpc;
  u64 interrupt;
  u32 interrupt_count;
  u32 pad;
};

// One entry of the process chain: a 256-byte head, then the thread records (which nothing here reads), then the
// image name in UTF-16 somewhere inside the entry. `next` is the byte distance to the next entry, 0 for the last.
// The spare ranges hold fields the decoders never read; the snapshot scrub zeroes them.
struct ProcEntry {
  u32 next;
  u32 threads;
  u8 spare_8[24];
  u64 create_time;  // 100 ns units since 1601
  u64 user_time;    // 100 ns ticks
  u64 kernel_time;  // 100 ns ticks
  u16 name_length;  // bytes, not units
  u16 name_capacity;
  u32 pad_60;
  u64 name_address;  // address of the name as the producer saw it; minus the buffer's address gives its offset
  u8 spare_72[8];
  u64 pid;
  u64 parent_pid;
  u32 handles;
  u8 spare_100[44];
  u64 working_set;  // bytes
  u8 spare_152[32];
  u64 private_bytes;  // bytes (the pagefile usage field)
  u8 spare_192[40];
  u64 read_bytes;   // read transfer count; io_unreported when this user may not read it
  u64 write_bytes;  // write transfer count; io_unreported likewise
  u8 spare_248[8];
};

// A read or write transfer count of all ones means "not reported": the producer could not read the process's I/O
// (on Linux, another user's /proc/<pid>/io). A real counter never reaches it.
constexpr u64 io_unreported = ~0ull;

// Thread record that follows the process head, one per thread (only its size matters here).
constexpr u64 thread_entry_bytes = 80;

// An interface row. Texts are UTF-16, zero-terminated within their arrays.
struct IfRow {
  u64 luid;
  u32 index;
  u8 guid[16];
  u16 alias[257];
  u16 description[257];
  u32 physical_length;
  u8 physical[32];
  u8 permanent_physical[32];
  u32 mtu;
  u32 type;
  u32 tunnel_type;
  u32 media_type;
  u32 physical_medium;
  u32 access_type;
  u32 direction_type;
  u8 flags;  // bit 0 hardware interface, bit 1 filter interface
  u8 pad_1153[3];
  u32 oper_status;  // 1 up
  u32 admin_status;
  u32 media_connect;  // 1 connected
  u8 network_guid[16];
  u32 connection_type;
  u32 pad_1188;
  u64 transmit_speed;  // bit/s
  u64 receive_speed;   // bit/s
  u64 in_octets;
  u64 in_counts[8];
  u64 out_octets;
  u64 out_counts[8];
};

// Interface types the filter looks at, and the flag bits.
enum : u32 {
  if_ppp = 23,
  if_loopback = 24,
  if_proprietary_virtual = 53,
  if_tunnel = 131,
  if_hardware = 1,  // flags bit 0
  if_filter = 2,    // flags bit 1
  if_up = 1,
  if_connected = 1,
};

// A table of interface rows: a u32 count, then rows from byte 8.
constexpr u64 if_table_head = 8;

// A formatted counter item: the name's address, its status and the value (a 64-bit value, or a 32-bit one in the low
// half for the long format). Names are UTF-16 after the items, inside the same array.
struct FmtItem {
  u64 name_address;
  u32 status;
  u32 pad;
  i64 value;
};

// A raw counter item: the stamp is a 100 ns time since 1601 stored as two u32 halves (at 12, not 8-aligned).
struct RawItem {
  u64 name_address;
  u32 status;
  u32 stamp_low;
  u32 stamp_high;
  u32 pad;
  i64 first;
  i64 second;
  u32 multi_count;
  u32 pad_44;
};

// Counter item status: valid data and new data are the two good answers.
enum : u32 { counter_valid = 0, counter_new = 1 };

// One counter array as a system sample stores it: the array's address as its producer saw it, the item count, the
// bytes the producer wrote and the items with their names.
constexpr u64 counter_array_bytes = 2048;
struct CounterSlot {
  u64 address;
  u32 count;
  u32 bytes;
  u8 items[counter_array_bytes];
};
// The slot's items as the decoders must see them: the stored byte count comes from a file or another process and
// is never trusted beyond the slot.
inline mem::Bytes items_of(const CounterSlot& s) {
  return mem::Bytes(s.items, s.bytes < counter_array_bytes ? s.bytes : counter_array_bytes);
}

// TCP tables: a u32 row count, then rows from byte 4 (IPv4 and IPv6 alike).
constexpr u64 tcp_table_head = 4;
struct TcpRow {
  u32 state;
  u32 local_address;
  u32 local_port;
  u32 remote_address;
  u32 remote_port;
  u32 pid;
};
struct Tcp6Row {
  u8 local_address[16];
  u32 local_scope;
  u32 local_port;
  u8 remote_address[16];
  u32 remote_scope;
  u32 remote_port;
  u32 state;
  u32 pid;
};

// Memory status (length 64) and performance information (cb 104, counts in pages).
struct MemoryStatus {
  u32 length;
  u32 load;
  u64 total_physical;
  u64 available_physical;
  u64 total_page_file;
  u64 available_page_file;
  u64 total_virtual;
  u64 available_virtual;
  u64 available_extended_virtual;
};
struct PerfInfo {
  u32 cb;
  u32 pad;
  u64 commit_total;
  u64 commit_limit;
  u64 commit_peak;
  u64 physical_total;
  u64 physical_available;
  u64 system_cache;
  u64 kernel_total;
  u64 kernel_paged;
  u64 kernel_nonpaged;
  u64 page_size;
  u32 handle_count;
  u32 process_count;
  u32 thread_count;
  u32 pad_100;
};

// Battery state: rate in mW as a signed value, negative while discharging; 0x80000000 means unknown.
struct BatteryState {
  u8 ac_online;
  u8 present;
  u8 charging;
  u8 discharging;
  u8 spare[3];
  u8 tag;
  u32 max_capacity;
  u32 remaining_capacity;
  u32 rate;
  u32 estimated_time;
  u32 alert_1;
  u32 alert_2;
};
constexpr u32 battery_rate_unknown = 0x80000000u;

// The batteries and thermal zones of a system sample, as a producer that can list them reports them. The counts
// are what the system reported, so they may exceed the entries kept; a reader caps them. Battery states: 0 unknown,
// 1 charging, 2 discharging, 3 full, 4 not charging. A zone's value is in thousandths of a degree Celsius.
struct BatteryEntry {
  u8 charge;  // percent
  u8 state;
};
struct ZoneEntry {
  u32 number;
  i32 value;
};
constexpr u32 block_batteries = 4;
constexpr u32 block_zones = 64;
enum : u8 { battery_unknown, battery_charging, battery_discharging, battery_full, battery_not_charging };
struct BatteryBlock {
  u32 batteries;
  u32 zones;
  BatteryEntry battery[block_batteries];
  ZoneEntry zone[block_zones];
};

// Temperature answers. A GPU adapter's performance data (temperature in tenths of a degree Celsius).
struct AdapterPerf {
  u32 physical_index;
  u32 pad;
  u64 memory_frequency;
  u64 max_memory_frequency;
  u64 max_memory_frequency_oc;
  u64 memory_bandwidth;
  u64 pcie_bandwidth;
  u32 fan_rpm;
  u32 power;
  u32 temperature;
  u8 power_state_override;
  u8 pad_61[3];
};

// An NVMe health log (512 bytes); the composite temperature is a u16 in kelvin at byte 1 (not 2-aligned).
constexpr u64 health_log_bytes = 512;
constexpr u64 health_temperature = 1;

// A storage temperature answer: a head and its entries; temperatures in whole degrees Celsius.
struct StorageTemp {
  u16 index;
  i16 temperature;
  i16 over_threshold;
  i16 under_threshold;
  u8 over_changeable;
  u8 under_changeable;
  u8 event_generated;
  u8 reserved;
  u32 reserved_2;
};
struct StorageTemps {
  u32 version;
  u32 size;
  i16 critical;
  i16 warning;
  u16 count;
  u8 reserved[2];
  u32 reserved_2[2];
  StorageTemp first;
};

// -- Every offset that a decoder or producer relies on.

static_assert(sizeof(CpuEntry) == 48);
static_assert(offsetof(CpuEntry, kernel) == 8 && offsetof(CpuEntry, user) == 16 && offsetof(CpuEntry, interrupt) == 32);
static_assert(offsetof(CpuEntry, interrupt_count) == 40);

static_assert(sizeof(ProcEntry) == 256);
static_assert(offsetof(ProcEntry, threads) == 4 && offsetof(ProcEntry, spare_8) == 8);
static_assert(offsetof(ProcEntry, create_time) == 32 && offsetof(ProcEntry, user_time) == 40);
static_assert(offsetof(ProcEntry, kernel_time) == 48 && offsetof(ProcEntry, name_length) == 56);
static_assert(offsetof(ProcEntry, name_address) == 64 && offsetof(ProcEntry, spare_72) == 72);
static_assert(offsetof(ProcEntry, pid) == 80 && offsetof(ProcEntry, parent_pid) == 88);
static_assert(offsetof(ProcEntry, handles) == 96 && offsetof(ProcEntry, spare_100) == 100);
static_assert(offsetof(ProcEntry, working_set) == 144 && offsetof(ProcEntry, spare_152) == 152);
static_assert(offsetof(ProcEntry, private_bytes) == 184 && offsetof(ProcEntry, spare_192) == 192);
static_assert(offsetof(ProcEntry, read_bytes) == 232 && offsetof(ProcEntry, write_bytes) == 240);
static_assert(offsetof(ProcEntry, spare_248) == 248);

static_assert(sizeof(IfRow) == 1352);
static_assert(offsetof(IfRow, index) == 8 && offsetof(IfRow, guid) == 12 && offsetof(IfRow, alias) == 28);
static_assert(offsetof(IfRow, description) == 542 && offsetof(IfRow, physical_length) == 1056);
static_assert(offsetof(IfRow, physical) == 1060 && offsetof(IfRow, permanent_physical) == 1092);
static_assert(offsetof(IfRow, mtu) == 1124 && offsetof(IfRow, type) == 1128 && offsetof(IfRow, flags) == 1152);
static_assert(offsetof(IfRow, oper_status) == 1156 && offsetof(IfRow, media_connect) == 1164);
static_assert(offsetof(IfRow, network_guid) == 1168 && offsetof(IfRow, transmit_speed) == 1192);
static_assert(offsetof(IfRow, receive_speed) == 1200 && offsetof(IfRow, in_octets) == 1208);
static_assert(offsetof(IfRow, out_octets) == 1280);

static_assert(sizeof(FmtItem) == 24 && offsetof(FmtItem, status) == 8 && offsetof(FmtItem, value) == 16);
static_assert(sizeof(RawItem) == 48 && offsetof(RawItem, status) == 8 && offsetof(RawItem, stamp_low) == 12);
static_assert(offsetof(RawItem, first) == 24 && offsetof(RawItem, second) == 32);
static_assert(offsetof(RawItem, multi_count) == 40);
static_assert(sizeof(CounterSlot) == 2064 && offsetof(CounterSlot, items) == 16);

static_assert(sizeof(TcpRow) == 24 && offsetof(TcpRow, pid) == 20);
static_assert(sizeof(Tcp6Row) == 56 && offsetof(Tcp6Row, remote_address) == 24 && offsetof(Tcp6Row, state) == 48);
static_assert(offsetof(Tcp6Row, pid) == 52);

static_assert(sizeof(MemoryStatus) == 64 && offsetof(MemoryStatus, total_physical) == 8);
static_assert(sizeof(PerfInfo) == 104 && offsetof(PerfInfo, commit_total) == 8 && offsetof(PerfInfo, page_size) == 80);
static_assert(offsetof(PerfInfo, handle_count) == 88 && offsetof(PerfInfo, thread_count) == 96);

static_assert(sizeof(BatteryState) == 32 && offsetof(BatteryState, present) == 1);
static_assert(offsetof(BatteryState, discharging) == 3 && offsetof(BatteryState, rate) == 16);
static_assert(sizeof(BatteryEntry) == 2 && sizeof(ZoneEntry) == 8 && offsetof(ZoneEntry, value) == 4);
static_assert(sizeof(BatteryBlock) == 528 && offsetof(BatteryBlock, battery) == 8 && offsetof(BatteryBlock, zone) == 16);

static_assert(sizeof(AdapterPerf) == 64 && offsetof(AdapterPerf, temperature) == 56);
static_assert(sizeof(StorageTemp) == 16 && offsetof(StorageTemp, temperature) == 2);
static_assert(sizeof(StorageTemps) == 40 && offsetof(StorageTemps, count) == 12);
static_assert(offsetof(StorageTemps, first) + offsetof(StorageTemp, temperature) == 26);

}  // namespace sysrec
