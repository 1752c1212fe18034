#pragma once
// Devices the collector asks about one by one: the graphics adapters as the system's adapter registry lists them,
// an adapter's temperature, and the physical drives (power state, temperature answers, descriptors, seek penalty).
// Drive n is the disk number n of the counter queries and volumes. Answers keep the system's own record layouts so
// that the decoders above them stay one code base. Every query goes through the sysinfo reader of the collector's
// root folder.
#include <stddef.h>

#include "base/mem.h"
#include "platform/sysinfo.h"

namespace devices {

constexpr u32 software_device = 4;  // adapter type bit

// One adapter of the adapter registry.
struct GpuEntry {
  u64 luid;       // high part << 32 | low part
  u64 dedicated;  // bytes of video memory of its own, 0 when none or unknown
  u64 last_seen;  // 100 ns since 1601
  u32 type;       // bit 2: a software device
  u32 vendor;
  u32 device;
  u32 zero;
  u16 description[64];  // UTF-16, zero-terminated
  u8 matching_id[64];   // "pci\ven_XXXX&dev_YYYY", ASCII, zero-terminated
};

// Entry `index` of the adapter registry (0, 1, ... in order); false past the last one. Its matching id is empty
// where the registry keeps none.
bool gpu_entry(sysinfo::Reader* reader, u32 index, GpuEntry* out);
// Entry `index` of the display drivers' list (0, 1, ... in order): its matching id and, in `dedicated`, the memory
// size its driver reports; the other fields zero where that list has none of them. False past the last one. A
// system that keeps a single list answers with the adapter registry's entries.
bool display_entry(sysinfo::Reader* reader, u32 index, GpuEntry* out);
// The adapter's performance data (sysrec::AdapterPerf, temperature in tenths of a degree) into out (at least 64
// bytes): the bytes written, 0 when the adapter is unknown or does not answer.
u32 gpu_perf(sysinfo::Reader* reader, u64 luid, mem::Slice out);

// The storage device descriptor's head; its strings follow it within the same answer.
struct DriveDescriptor {
  u32 version;
  u32 size;
  u8 device_type;
  u8 type_modifier;
  u8 removable;
  u8 queueing;
  u32 vendor_offset;  // 0 when none
  u32 product_offset;
  u32 revision_offset;
  u32 serial_offset;
  u32 bus;
  u32 raw_length;
  u8 raw[4];
};
static_assert(sizeof(DriveDescriptor) == 40 && offsetof(DriveDescriptor, vendor_offset) == 12);
static_assert(offsetof(DriveDescriptor, product_offset) == 16 && offsetof(DriveDescriptor, bus) == 28);
enum : u32 { bus_scsi = 1, bus_usb = 7, bus_raid = 8, bus_sas = 10, bus_sata = 11, bus_virtual = 14, bus_nvme = 17 };

// Drive n's power: none (no such drive), on, or off (spun down, or not to be touched: a look could wake it).
enum : u32 { drive_none, drive_on, drive_off };
u32 drive_power(sysinfo::Reader* reader, u32 n);
// The NVMe health log (512 bytes) of drive n into out (at least 512 bytes); the bytes written, 0 when the drive has
// none.
u32 drive_health_log(sysinfo::Reader* reader, u32 n, mem::Slice out);
// The storage temperature answer of drive n into out (at least 40 bytes); the bytes written, 0 when none.
u32 drive_temperature(sysinfo::Reader* reader, u32 n, mem::Slice out);
// The descriptor with its strings; the bytes written, 0 when there is no drive n or out is too small.
u32 drive_descriptor(sysinfo::Reader* reader, u32 n, mem::Slice out);
// Seek penalty: none when not answered.
enum : u32 { seek_unanswered, seek_none, seek_incurred };
u32 drive_seek(sysinfo::Reader* reader, u32 n);

// The health log asked through the storage property query: one buffer carries the question (the query, the NVMe
// protocol data naming the health log page) and takes the answer (the protocol data, then the log).
constexpr u32 health_request_bytes = 560;
constexpr u32 health_log_at = 48;  // where the log begins, in the question and in the answer
// Writes the question into request (at least health_request_bytes; false when shorter), the log's room zeroed.
bool health_request(mem::Slice request);
// The log of an answer of `returned` bytes copied into out: the bytes copied, min(returned, 560) - 48, 0 when the
// answer ends before the log or out is shorter than 512 bytes.
u32 health_log_of(mem::Bytes answer, u32 returned, mem::Slice out);

}  // namespace devices
