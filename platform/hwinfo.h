#pragma once
// What the machine is made of, in the system's own record layouts: the processor topology records, the processor
// power records, the processor feature bits and identity, the hypervisor answer and the SMBIOS firmware table.
// Each answer goes through the sysinfo reader of the collector's root folder; a source that cannot be read answers
// 0 or false and the caller keeps its "not read" state.
#include <stddef.h>

#include "base/mem.h"
#include "platform/sysinfo.h"

namespace hwinfo {

// Topology records ({relationship u32, size u32, ...}: 0 core, 2 cache, 3 package) into out; the bytes written,
// 0 when the topology is not known or does not fit.
enum : u32 { relation_core = 0, relation_cache = 2, relation_package = 3 };
u32 topology(sysinfo::Reader* reader, mem::Slice out);

// One processor power record per logical processor (24 bytes each, as many as fit); the bytes written, 0 when the
// processors' frequencies are not known.
struct PowerRecord {
  u32 number;
  u32 max_mhz;  // nominal
  u32 current_mhz;
  u32 limit_mhz;
  u32 max_idle;
  u32 current_idle;
};
static_assert(sizeof(PowerRecord) == 24);
u32 processor_power(sysinfo::Reader* reader, mem::Slice out);

// Bit i: processor feature i of the system's feature numbering is present.
u64 features(sysinfo::Reader* reader);
// The hypervisor answer (16 bytes, byte 2 nonzero when a hypervisor is present); false when not answered.
bool hypervisor(sysinfo::Reader* reader, u8 out[16]);

// The processor's nominal clock in MHz, 0 when unknown; its vendor identifier ("GenuineIntel") and identifier text
// ("Intel64 Family 6 Model 142 Stepping 10") in UTF-16, zero-filled when unknown.
u32 cpu_mhz(sysinfo::Reader* reader);
void cpu_vendor(sysinfo::Reader* reader, u16* out, u32 units);
void cpu_identifier(sysinfo::Reader* reader, u16* out, u32 units);

// The raw SMBIOS table with its 8-byte head (version bytes, u32 length at 4) into out; the bytes it takes (also when
// they do not fit, then nothing usable is written), 0 when the table cannot be read.
u32 smbios(sysinfo::Reader* reader, mem::Slice out);

}  // namespace hwinfo
