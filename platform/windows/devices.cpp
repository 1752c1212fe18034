// Storage devices through the physical-drive device names and the storage property queries. GPU adapters and the
// drives' health and temperature logs are not read by this build: their entries answer "none".
#include "platform/devices.h"

#include <windows.h>
#include <winioctl.h>

#include "platform/windows/reader.h"

namespace devices {
namespace {

HANDLE open_drive(u32 n) {
  wchar_t name[32] = L"\\\\.\\PhysicalDrive";
  u32 at = 17;
  wchar_t digits[10];
  u32 d = 0;
  do digits[d++] = static_cast<wchar_t>('0' + n % 10), n /= 10;
  while (n);
  while (d) name[at++] = digits[--d];
  name[at] = 0;
  return CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool property(u32 n, u32 id, void* out, u32 bytes, DWORD* got) {
  HANDLE h = open_drive(n);
  if (h == INVALID_HANDLE_VALUE) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = static_cast<STORAGE_PROPERTY_ID>(id);
  query.QueryType = PropertyStandardQuery;
  BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out, bytes, got, nullptr);
  CloseHandle(h);
  return ok != 0;
}

}  // namespace

bool gpu_entry(sysinfo::Reader*, u32, GpuEntry*) { return false; }
u32 gpu_temperature(sysinfo::Reader*, u64) { return 0; }

u32 drive_power(sysinfo::Reader* reader, u32 n) {
  if (!reader) return drive_none;
  HANDLE h = open_drive(n);
  if (h == INVALID_HANDLE_VALUE) return drive_none;
  CloseHandle(h);
  return drive_on;
}

u32 drive_health_log(sysinfo::Reader*, u32, mem::Slice) { return 0; }
u32 drive_temperature(sysinfo::Reader*, u32, mem::Slice) { return 0; }

u32 drive_descriptor(sysinfo::Reader* reader, u32 n, mem::Slice out) {
  static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == sizeof(DriveDescriptor));
  DWORD got = 0;
  if (!reader || out.len < sizeof(DriveDescriptor) ||
      !property(n, StorageDeviceProperty, out.ptr, static_cast<u32>(out.len > 0xFFFFFFFF ? 0xFFFFFFFF : out.len),
                &got)) {
    return 0;
  }
  return got;
}

u32 drive_seek(sysinfo::Reader* reader, u32 n) {
  DEVICE_SEEK_PENALTY_DESCRIPTOR seek{};
  DWORD got = 0;
  if (!reader || !property(n, 7, &seek, sizeof seek, &got) || got < sizeof seek) return seek_unanswered;
  return seek.IncursSeekPenalty ? seek_incurred : seek_none;
}

}  // namespace devices
