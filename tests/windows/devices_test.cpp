// Graphics adapters, drive health and the share client's counters of the Windows backend: the registry's adapter
// entries as the collector lists them, and what a system without GPU data, drive logs or SMB counters (wine) answers:
// no reading and nothing listed, never a crash.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "history/shareprobe.h"
#include "history/store.h"
#include "platform/devices.h"
#include "platform/netshare.h"
#include "platform/sysinfo.h"
#include "sampling/collect.h"
#include "sampling/heat.h"
#include "tests/windows/support.h"

namespace {

using winsupport::bytes;

const wchar_t directx[] = L"SOFTWARE\\Microsoft\\DirectX";
const wchar_t display_class[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e968-e325-11ce-bfc1-08002be10318}";

// Subkeys of the machine's registry made for a test and deleted with everything in them after it.
struct TestKeys {
  std::wstring made[4];
  u32 count = 0;
  bool make(const wchar_t* parent, const wchar_t* name) {
    std::wstring path = std::wstring(parent) + L"\\" + name;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    made[count++] = path;
    return true;
  }
  void set(u32 i, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, made[i].c_str(), name, type, data, size);
  }
  void text(u32 i, const wchar_t* name, const std::wstring& value) {
    set(i, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
  }
  void dword(u32 i, const wchar_t* name, DWORD value) { set(i, name, REG_DWORD, &value, sizeof value); }
  void qword(u32 i, const wchar_t* name, u64 value) { set(i, name, REG_QWORD, &value, sizeof value); }
  ~TestKeys() {
    for (u32 i = 0; i < count; ++i) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, made[i].c_str());
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, made[i].c_str());
    }
  }
};

std::string narrow(const u16* units) {
  std::string s;
  for (u32 i = 0; i < 64 && units[i]; ++i) s += static_cast<char>(units[i] < 128 ? units[i] : '?');
  return s;
}

struct Collector {
  std::unique_ptr<collect::State> state = std::make_unique<collect::State>();
  bool opened = collect::open(state.get(), 10000);
  ~Collector() { collect::close(state.get()); }
};

TEST(WindowsDevices, AdaptersOfTheDirectXRegistryAndTheDisplayDrivers) {
  TestKeys keys;
  if (!keys.make(directx, L"{vimbrel-test-adapter-a}")) GTEST_SKIP() << "the machine's registry is not writable here";
  ASSERT_TRUE(keys.make(directx, L"{vimbrel-test-adapter-b}"));
  ASSERT_TRUE(keys.make(display_class, L"9917"));
  // A hardware adapter with its LUID as a number, and a software one whose LUID is 8 raw bytes and whose description
  // is too long for its 64 units.
  keys.qword(0, L"AdapterLuid", 0x0000000700012345ull);
  keys.dword(0, L"AdapterType", 0);
  keys.dword(0, L"VendorId", 0x10DE);
  keys.dword(0, L"DeviceId", 0x2684);
  keys.qword(0, L"DedicatedVideoMemory", 24ull << 30);
  keys.qword(0, L"LastSeen", 0x01DB000000000000ull);
  keys.text(0, L"Description", L"Test Adapter A");
  const u8 luid_b[8] = {0x11, 0x22, 0x33, 0x44, 0x05, 0, 0, 0};
  keys.set(1, L"AdapterLuid", REG_BINARY, luid_b, sizeof luid_b);
  keys.dword(1, L"AdapterType", devices::software_device);
  keys.text(1, L"Description", std::wstring(80, L'x'));
  keys.text(2, L"MatchingDeviceId", L"PCI\\VEN_10DE&DEV_2684&SUBSYS_16F11043");
  keys.qword(2, L"HardwareInformation.qwMemorySize", 24ull << 30);

  auto reader = sysinfo::open(mem::lit("/"));
  ASSERT_NE(reader, nullptr);
  devices::GpuEntry e;
  bool found_a = false, found_b = false;
  for (u32 i = 0; devices::gpu_entry(reader, i, &e); ++i) {
    if (e.luid == 0x0000000700012345ull) {
      found_a = true;
      EXPECT_EQ(e.type, 0u);
      EXPECT_EQ(e.vendor, 0x10DEu);
      EXPECT_EQ(e.device, 0x2684u);
      EXPECT_EQ(e.dedicated, 24ull << 30);
      EXPECT_EQ(e.last_seen, 0x01DB000000000000ull);
      EXPECT_EQ(narrow(e.description), "Test Adapter A");
    }
    if (e.luid == 0x0000000544332211ull) {
      found_b = true;
      EXPECT_EQ(e.type, devices::software_device);
      EXPECT_EQ(e.vendor, 0u);
      EXPECT_EQ(narrow(e.description), "");
    }
  }
  EXPECT_TRUE(found_a && found_b);
  bool found_display = false;
  for (u32 i = 0; devices::display_entry(reader, i, &e); ++i) {
    if (std::string(reinterpret_cast<const char*>(e.matching_id)) != "PCI\\VEN_10DE&DEV_2684&SUBSYS_16F11043") continue;
    found_display = true;
    EXPECT_EQ(e.dedicated, 24ull << 30);
    EXPECT_EQ(e.luid, 0u);
  }
  EXPECT_TRUE(found_display);
  sysinfo::close(reader);

  // The collector's lists: both DirectX adapters, the display driver with the ids of its matching id.
  Collector c;
  ASSERT_TRUE(c.opened);
  const gpu::AdapterList& list = c.state->gpu_adapters;
  u32 listed = 0;
  for (u32 i = 0; i < list.listed; ++i) {
    if (list.luid[i] == 0x0000000700012345ull && list.dedicated[i] == 24ull << 30 && list.type[i] == 0) ++listed;
    if (list.luid[i] == 0x0000000544332211ull && list.type[i] == devices::software_device) ++listed;
  }
  EXPECT_EQ(listed, 2u);
  bool display = false;
  for (u32 i = 0; i < list.display; ++i) {
    display = display || (list.display_vendor[i] == 0x10DE && list.display_device[i] == 0x2684 &&
                          list.display_memory[i] == 24ull << 30);
  }
  EXPECT_TRUE(display);
}

// Wine has no GPU counters, no adapter performance query and no physical drives' logs: every one of them reads as no
// reading, and the collector's temperature turns record none.
TEST(WindowsDevices, MissingGpuAndDriveDataReadsAsNoReading) {
  auto reader = sysinfo::open(mem::lit("/"));
  ASSERT_NE(reader, nullptr);
  alignas(8) u8 record[600];
  // An adapter the system does not know has no performance data, on any system.
  EXPECT_EQ(devices::gpu_perf(reader, 0x7FFFFFF0DEADBEEFull, mem::Slice{record, 64}), 0u);
  EXPECT_EQ(devices::gpu_perf(reader, 0x7FFFFFF0DEADBEEFull, mem::Slice{record, 63}), 0u);
  EXPECT_EQ(devices::drive_health_log(reader, 0, mem::Slice{record, 511}), 0u);
  if (winsupport::under_wine()) {
    for (u32 n = 0; n < 16; ++n) {
      EXPECT_EQ(devices::drive_health_log(reader, n, mem::Slice{record, sizeof record}), 0u) << n;
      EXPECT_EQ(devices::drive_temperature(reader, n, mem::Slice{record, sizeof record}), 0u) << n;
      EXPECT_NE(devices::drive_power(reader, n), devices::drive_on) << n;
    }
  }
  sysinfo::close(reader);

  Collector c;
  ASSERT_TRUE(c.opened);
  auto sample = std::make_unique<collect::Sample>();
  ASSERT_TRUE(collect::sample(c.state.get(), sample.get()));
  collect::sleep(200);
  ASSERT_TRUE(collect::sample(c.state.get(), sample.get()));
  const heat::Readings& r = c.state->readings;
  EXPECT_EQ(r.turn, 1u);  // the first sample's turn; the next is 5 s away
  if (winsupport::under_wine()) {
    EXPECT_EQ(sample->gpu.adapters, 0u);
    EXPECT_EQ(sample->gpu.engine_rows, 0u);
    EXPECT_EQ(sample->gpu.flags & 7u, 7u);  // the engine, adapter-memory and process-memory arrays failed
    EXPECT_EQ(r.gpu_mask, 0u);
    EXPECT_EQ(r.disk_mask, 0u);
    for (i16 t : r.gpu) EXPECT_EQ(t, 0);
  }
}

// A share this client never reached has no request counters on any system; wine has no SMB client counters at all,
// so there the self-test cannot count and fails instead of passing.
TEST(WindowsShares, ClientCountersOfShares) {
  netshare::Mount mount;
  ASSERT_TRUE(netshare::mount_by_unc(mem::lit("\\\\vimbrel-no-such-server\\cluster\\terms"), &mount));
  for (u32 counter = 0; counter < 2; ++counter) {
    u64 value = 7;
    EXPECT_FALSE(netshare::counter(&mount, counter, &value)) << counter;
    EXPECT_EQ(value, 0u);
  }
  u64 value = 7;
  EXPECT_FALSE(netshare::counter(&mount, 4, &value));
  EXPECT_EQ(value, 0u);
  netshare::Mount local{};
  EXPECT_FALSE(netshare::counter(&local, 2, &value));
  if (!winsupport::under_wine()) return;
  for (u32 counter = 2; counter < 4; ++counter) EXPECT_FALSE(netshare::counter(&mount, counter, &value)) << counter;
  share::Sample s{};
  share::smb_sample(mem::lit("\\\\vimbrel-no-such-server\\cluster"), true, &s);
  EXPECT_FALSE(s.valid);
  EXPECT_EQ(share::selftest(mem::lit("\\\\vimbrel-no-such-server\\cluster"),
                            mem::lit("\\\\vimbrel-no-such-server\\cluster\\members\\0123")),
            store::verdict_fail);
}

}  // namespace
