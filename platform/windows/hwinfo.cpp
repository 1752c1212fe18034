// What the machine is made of: topology, processor power records, feature bits, the hypervisor answer, the
// processor's registry identity and the raw SMBIOS table, each from the call that gives it in its own layout.
#include "platform/hwinfo.h"

#include <windows.h>
#include <powrprof.h>
#include <winternl.h>

#include "platform/windows/reader.h"

namespace hwinfo {

u32 topology(sysinfo::Reader* reader, mem::Slice out) {
  if (!reader) return 0;
  DWORD length = static_cast<DWORD>(out.len > 0xFFFFFFFF ? 0xFFFFFFFF : out.len);
  if (!GetLogicalProcessorInformationEx(RelationAll,
                                        reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(out.ptr), &length)) {
    return 0;
  }
  return length;
}

u32 processor_power(sysinfo::Reader* reader, mem::Slice out) {
  if (!reader) return 0;
  u32 count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  u64 bytes = static_cast<u64>(count) * sizeof(PowerRecord);
  if (count == 0 || bytes > out.len) return 0;
  LONG status = CallNtPowerInformation(ProcessorInformation, nullptr, 0, out.ptr, static_cast<ULONG>(bytes));
  return status == 0 ? static_cast<u32>(bytes) : 0;
}

u64 features(sysinfo::Reader* reader) {
  if (!reader) return 0;
  u64 bits = 0;
  for (u32 i = 0; i < 64; ++i) {
    if (IsProcessorFeaturePresent(i)) bits |= 1ull << i;
  }
  return bits;
}

bool hypervisor(sysinfo::Reader* reader, u8 out[16]) {
  if (!reader) return false;
  ULONG got = 0;
  const u32 hypervisor_information = 91;
  return NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(hypervisor_information), out, 16, &got) == 0;
}

u32 cpu_mhz(sysinfo::Reader* reader) {
  DWORD mhz = 0;
  return reader && winreg::processor_value(L"~MHz", RRF_RT_REG_DWORD, &mhz, sizeof mhz) ? mhz : 0;
}

namespace {
void text_value(sysinfo::Reader* reader, const wchar_t* name, u16* out, u32 units) {
  if (units == 0) return;
  for (u32 i = 0; i < units; ++i) out[i] = 0;
  if (!reader || !winreg::processor_value(name, RRF_RT_REG_SZ, out, units * 2)) {
    for (u32 i = 0; i < units; ++i) out[i] = 0;
  }
  out[units - 1] = 0;
}
}  // namespace

void cpu_vendor(sysinfo::Reader* reader, u16* out, u32 units) { text_value(reader, L"VendorIdentifier", out, units); }
void cpu_identifier(sysinfo::Reader* reader, u16* out, u32 units) { text_value(reader, L"Identifier", out, units); }

u32 smbios(sysinfo::Reader* reader, mem::Slice out) {
  if (!reader) return 0;
  const DWORD raw_smbios = 'R' << 24 | 'S' << 16 | 'M' << 8 | 'B';
  DWORD length = static_cast<DWORD>(out.len > 0xFFFFFFFF ? 0xFFFFFFFF : out.len);
  return GetSystemFirmwareTable(raw_smbios, 0, out.ptr, length);
}

}  // namespace hwinfo
