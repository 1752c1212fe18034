// Graphics adapters from the DirectX adapter registry and the display drivers' class key, an adapter's temperature
// from the Direct3D kernel adapter query, and the physical drives through their device names and the storage
// property queries.
#include "platform/devices.h"

#include <windows.h>
#include <winioctl.h>

#include "platform/windows/reader.h"
#include "platform/windows/wide.h"
#include "platform/sysrec.h"

namespace devices {
namespace {

const wchar_t directx_key[] = L"SOFTWARE\\Microsoft\\DirectX";
const wchar_t display_class_key[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e968-e325-11ce-bfc1-08002be10318}";

// Subkey `index` of a key under the machine's root: its name (96 units), false when the key cannot be opened or has
// no such subkey. The key stays open in *key only on success.
bool subkey(const wchar_t* path, u32 index, HKEY* key, wchar_t (&name)[96]) {
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key) != ERROR_SUCCESS) return false;
  DWORD units = 96;
  if (RegEnumKeyExW(*key, index, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return true;
  RegCloseKey(*key);
  return false;
}

// A value of the subkey into `bytes` bytes of out, zeroed when it cannot be read (missing, another type, too long).
void value(HKEY key, const wchar_t* sub, const wchar_t* name, DWORD types, void* out, DWORD bytes) {
  DWORD size = bytes;
  if (RegGetValueW(key, sub, name, types, nullptr, out, &size) != ERROR_SUCCESS) __builtin_memset(out, 0, bytes);
}

// The records of the Direct3D kernel adapter calls (the compiler's headers have none of them).
using KmtHandle = u32;
struct OpenFromLuid {
  u32 low;
  i32 high;
  KmtHandle adapter;
};
struct QueryInfo {
  KmtHandle adapter;
  u32 type;
  void* data;
  u32 bytes;
};
struct CloseInfo {
  KmtHandle adapter;
};
static_assert(sizeof(OpenFromLuid) == 12 && sizeof(QueryInfo) == 24 && offsetof(QueryInfo, data) == 8);
constexpr u32 adapter_perf_data = 62;  // the query type of the adapter's performance data

using OpenFn = LONG(WINAPI*)(OpenFromLuid*);
using QueryFn = LONG(WINAPI*)(const QueryInfo*);
using CloseFn = LONG(WINAPI*)(const CloseInfo*);

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

// One storage query of drive n; `in` bytes of the question stand at the start of `out`, or a standard query of the
// property is asked when in is 0.
bool ask(u32 n, u32 id, void* out, u32 bytes, u32 in, DWORD* got) {
  *got = 0;
  HANDLE h = open_drive(n);
  if (h == INVALID_HANDLE_VALUE) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = static_cast<STORAGE_PROPERTY_ID>(id);
  query.QueryType = PropertyStandardQuery;
  void* question = in ? out : &query;
  DWORD question_bytes = in ? in : sizeof query;
  BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, question, question_bytes, out, bytes, got, nullptr);
  CloseHandle(h);
  return ok != 0;
}

bool property(u32 n, u32 id, void* out, u32 bytes, DWORD* got) { return ask(n, id, out, bytes, 0, got); }

// The question's protocol data sits where the system's own records put it.
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) ==
              health_log_at);

}  // namespace

bool gpu_entry(sysinfo::Reader* reader, u32 index, GpuEntry* out) {
  *out = GpuEntry{};
  HKEY key;
  wchar_t sub[96];
  if (!reader || !subkey(directx_key, index, &key, sub)) return false;
  value(key, sub, L"AdapterLuid", RRF_RT_ANY, &out->luid, sizeof out->luid);
  value(key, sub, L"AdapterType", RRF_RT_REG_DWORD, &out->type, sizeof out->type);
  value(key, sub, L"VendorId", RRF_RT_REG_DWORD, &out->vendor, sizeof out->vendor);
  value(key, sub, L"DeviceId", RRF_RT_REG_DWORD, &out->device, sizeof out->device);
  value(key, sub, L"DedicatedVideoMemory", RRF_RT_ANY, &out->dedicated, sizeof out->dedicated);
  value(key, sub, L"LastSeen", RRF_RT_ANY, &out->last_seen, sizeof out->last_seen);
  value(key, sub, L"Description", RRF_RT_REG_SZ, out->description, sizeof out->description);
  out->description[63] = 0;
  RegCloseKey(key);
  return true;
}

bool display_entry(sysinfo::Reader* reader, u32 index, GpuEntry* out) {
  *out = GpuEntry{};
  HKEY key;
  wchar_t sub[96];
  if (!reader || !subkey(display_class_key, index, &key, sub)) return false;
  u16 id[64];
  value(key, sub, L"MatchingDeviceId", RRF_RT_REG_SZ, id, sizeof id);
  // Narrowed unit by unit; a unit past ASCII can be no part of a hex id, so it becomes '?'.
  for (u32 i = 0; i + 1 < 64 && id[i]; ++i) out->matching_id[i] = static_cast<u8>(id[i] < 128 ? id[i] : '?');
  value(key, sub, L"HardwareInformation.qwMemorySize", RRF_RT_ANY, &out->dedicated, sizeof out->dedicated);
  RegCloseKey(key);
  return true;
}

// The adapter opened by its LUID, its performance data asked for physical adapter 0, the adapter closed. The calls
// are looked up when needed: a system without them (wine has no adapter query) still runs the program.
u32 gpu_perf(sysinfo::Reader* reader, u64 luid, mem::Slice out) {
  if (!reader || out.len < sizeof(sysrec::AdapterPerf)) return 0;
  HMODULE gdi = GetModuleHandleW(L"gdi32.dll");
  auto open = gdi ? winwide::function<OpenFn>(GetProcAddress(gdi, "D3DKMTOpenAdapterFromLuid")) : nullptr;
  auto query = gdi ? winwide::function<QueryFn>(GetProcAddress(gdi, "D3DKMTQueryAdapterInfo")) : nullptr;
  auto close = gdi ? winwide::function<CloseFn>(GetProcAddress(gdi, "D3DKMTCloseAdapter")) : nullptr;
  if (!open || !query || !close) return 0;
  OpenFromLuid adapter{static_cast<u32>(luid), static_cast<i32>(luid >> 32), 0};
  if (open(&adapter) != 0) return 0;
  sysrec::AdapterPerf perf{};
  QueryInfo ask_perf{adapter.adapter, adapter_perf_data, &perf, sizeof perf};
  LONG status = query(&ask_perf);
  CloseInfo done{adapter.adapter};
  close(&done);
  if (status != 0) return 0;
  __builtin_memcpy(out.ptr, &perf, sizeof perf);
  return sizeof perf;
}

// A drive that does not say it is on is left alone: asking a sleeping disk for its temperature would spin it up.
u32 drive_power(sysinfo::Reader* reader, u32 n) {
  if (!reader) return drive_none;
  HANDLE h = open_drive(n);
  if (h == INVALID_HANDLE_VALUE) return drive_none;
  BOOL on = FALSE;
  BOOL answered = GetDevicePowerState(h, &on);
  CloseHandle(h);
  return answered && on ? drive_on : drive_off;
}

u32 drive_health_log(sysinfo::Reader* reader, u32 n, mem::Slice out) {
  alignas(8) u8 buffer[health_request_bytes];
  if (!reader || out.len < sysrec::health_log_bytes || !health_request(mem::Slice{buffer, sizeof buffer})) return 0;
  DWORD got = 0;
  if (!ask(n, StorageDeviceProtocolSpecificProperty, buffer, sizeof buffer, sizeof buffer, &got)) return 0;
  return health_log_of(mem::Bytes(buffer, sizeof buffer), got, out);
}

u32 drive_temperature(sysinfo::Reader* reader, u32 n, mem::Slice out) {
  alignas(8) u8 answer[64] = {};
  DWORD got = 0;
  if (!reader || out.len < sizeof(sysrec::StorageTemps) ||
      !property(n, StorageDeviceTemperatureProperty, answer, sizeof answer, &got)) {
    return 0;
  }
  u32 bytes = got < sizeof answer ? got : sizeof answer;
  if (bytes > out.len) bytes = static_cast<u32>(out.len);
  __builtin_memcpy(out.ptr, answer, bytes);
  return bytes;
}

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
