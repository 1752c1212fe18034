// The collector's graphics adapters, engines, temperature turns and drive descriptors on fixture trees: a laptop
// with an integrated Intel adapter, a desktop with an AMD card, an NVMe drive and a SATA disk under drivetemp, and a
// bare virtual machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/hwinfo.h"
#include "platform/net.h"
#include "sampling/collect.h"
#include "tests/sampling/machines.h"
#include "tests/support/testutil.h"

namespace {

namespace fsys = std::filesystem;

using machines::ascii;
using machines::bytes;
using machines::fixture;

struct Collector {
  std::unique_ptr<collect::State> state = std::make_unique<collect::State>();
  std::unique_ptr<collect::Sample> sample = std::make_unique<collect::Sample>();
  explicit Collector(const std::string& root) { EXPECT_TRUE(collect::open_at(state.get(), 10000, bytes(root))); }
  ~Collector() { collect::close(state.get()); }
  bool take() { return collect::sample(state.get(), sample.get()); }
  // A temperature turn at a given sample time.
  void turn_at(u64 ms) {
    sample->time_ms = ms;
    collect::read_temps(state.get(), sample.get());
  }
};

// A private copy of a fixture machine, to change its files between samples.
struct Copy {
  testutil::TempDir dir;
  explicit Copy(const std::string& machine) {
    fsys::copy(fixture(machine), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  }
  void write(const std::string& path, const std::string& text) { std::ofstream(dir.path + "/" + path) << text; }
};

std::string text_at(const u8* drive, u32 offset) {
  return offset ? std::string(reinterpret_cast<const char*>(drive + offset)) : std::string();
}

TEST(CollectGraphics, LaptopIntegratedAdapterAndItsClient) {
  Collector c(fixture("laptop"));
  ASSERT_TRUE(c.take());
  const gpu::AdapterList& list = c.sample->gpu_adapters;
  // One adapter, not its connector: the PCI address 0000:00:02.0 is its identity.
  ASSERT_EQ(list.listed, 1u);
  EXPECT_EQ(list.luid[0], 0x200u);
  EXPECT_EQ(list.vendor[0], 0x8086u);
  EXPECT_EQ(list.device[0], 0x9A49u);
  EXPECT_EQ(list.type[0], 0u);
  EXPECT_EQ(list.dedicated[0], 0u);
  EXPECT_EQ(ascii(list.description[0], 64), "i915");
  EXPECT_EQ(list.display, 0u);  // no memory of its own

  const gpu::Section& s = c.sample->gpu;
  ASSERT_EQ(s.adapters, 1u);
  EXPECT_EQ(s.luid[0], 0x200u);
  EXPECT_EQ(s.dedicated[0], 0u);
  // Render, copy, video and video enhance of firefox; the first sample has no rates yet.
  ASSERT_EQ(s.engine_rows, 4u);
  for (u32 r = 0; r < 4; ++r) {
    EXPECT_EQ(s.engine_pid[r], 1500u);
    EXPECT_EQ(s.engine_adapter[r], 0);
    EXPECT_EQ(s.util[r], 0);
  }
  EXPECT_EQ(s.class_bits[0][0] & 0xF, 0b0001u);  // only render is 3D; copy is class 2
  EXPECT_EQ(s.class_bits[1][0] & 0xF, 0b0010u);
  ASSERT_EQ(s.memory_rows, 1u);
  EXPECT_EQ(s.memory_bytes[0], 0u);  // system memory is not the adapter's own
  // The integrated adapter has no sensor: its slot stays empty.
  EXPECT_EQ(c.state->readings.gpu_mask, 0);
}

TEST(CollectGraphics, DesktopCardMemoryRatesAndSharedClients) {
  Copy m("desktop");
  Collector c(m.dir.path);
  ASSERT_TRUE(c.take());
  const gpu::AdapterList& list = c.sample->gpu_adapters;
  ASSERT_EQ(list.listed, 1u);
  EXPECT_EQ(list.luid[0], 0x30000u);
  EXPECT_EQ(list.dedicated[0], 17163091968ull);
  EXPECT_EQ(ascii(list.description[0], 64), "AMD Radeon RX 6800/6800 XT / 6900 XT");
  ASSERT_EQ(list.display, 1u);
  EXPECT_EQ(list.display_vendor[0], 0x1002u);
  EXPECT_EQ(list.display_device[0], 0x73BFu);
  EXPECT_EQ(list.display_memory[0], 17163091968ull);

  const gpu::Section& s = c.sample->gpu;
  ASSERT_EQ(s.adapters, 1u);
  EXPECT_EQ(s.dedicated[0], 1073741824u);
  EXPECT_EQ(s.shared[0], 268435456u);
  // Client 17 is open twice and counts once; client 18 names no PCI device and is found through its node.
  ASSERT_EQ(s.engine_rows, 5u);
  ASSERT_EQ(s.memory_rows, 1u);
  EXPECT_EQ(s.memory_pid[0], 4000u);
  EXPECT_EQ(s.memory_bytes[0], 13612ull * 1024 + 2 * 1024 * 1024);

  // Busy far beyond the interval: the gfx engine shows 100 %, the others stay idle.
  for (const char* fd : {"proc/4000/fdinfo/4", "proc/4000/fdinfo/5"})
    m.write(fd,
          "drm-driver:\tamdgpu\ndrm-client-id:\t17\ndrm-pdev:\t0000:03:00.0\ndrm-memory-vram:\t13612 KiB\n"
          "drm-engine-gfx:\t999999197406000 ns\ndrm-engine-compute:\t0 ns\ndrm-engine-dma:\t6220000 ns\n"
          "drm-engine-dec:\t0 ns\ndrm-engine-enc:\t0 ns\n");
  ASSERT_TRUE(c.take());
  u32 busy = 0;
  for (u32 r = 0; r < s.engine_rows; ++r) busy += s.util[r] != 0;
  EXPECT_EQ(busy, 1u);
  EXPECT_EQ(s.util[0], 10000);
  auto kept = std::make_unique<gpu::Kept>();
  gpu::fold_procs(&s, &list, kept.get());
  auto engines = std::make_unique<gpu::Engines>();
  gpu::fold_engines(&s, kept.get(), engines.get());
  EXPECT_EQ(gpu::adapter_peak(engines.get(), 0), 10000u);
  EXPECT_EQ(engines->mask[0], 0b111110);  // 3D, copy, decode, encode, compute
}

TEST(CollectGraphics, BareMachineHasNone) {
  Collector c(fixture("bare"));
  c.take();
  EXPECT_EQ(c.sample->gpu_adapters.listed, 0u);
  EXPECT_EQ(c.sample->gpu.adapters, 0u);
  EXPECT_EQ(c.sample->gpu.engine_rows, 0u);
  EXPECT_EQ(c.sample->gpu.flags, 0u);
  EXPECT_EQ(c.state->readings.gpu_mask, 0);
  // Its virtual disk is described (with the seek penalty the kernel reports for it), but has no sensor.
  EXPECT_EQ(c.state->readings.disk_mask, 0);
  EXPECT_EQ(c.state->hardware.drive_read, 1u);
  EXPECT_EQ(c.state->hardware.seek_penalty, 1u);
  devices::DriveDescriptor d;
  memcpy(&d, c.state->hardware.drives[0], sizeof d);
  EXPECT_EQ(d.bus, u32{devices::bus_virtual});
  EXPECT_EQ(d.product_offset, 0u);
}

TEST(CollectDrives, DescriptorsAndSeekPenalty) {
  Collector c(fixture("desktop"));
  const collect::HardwareRaw& h = c.state->hardware;
  // Drive 0 the NVMe drive, drive 1 the SATA disk; the mapper device is no drive.
  EXPECT_EQ(h.drive_read, 0b11u);
  EXPECT_EQ(h.seek_answered, 0b11u);
  EXPECT_EQ(h.seek_penalty, 0b10u);
  devices::DriveDescriptor d0, d1;
  memcpy(&d0, h.drives[0], sizeof d0);
  memcpy(&d1, h.drives[1], sizeof d1);
  EXPECT_EQ(d0.bus, u32{devices::bus_nvme});
  EXPECT_EQ(d0.vendor_offset, 0u);
  EXPECT_EQ(text_at(h.drives[0], d0.product_offset), "Samsung SSD 980 PRO 1TB");
  EXPECT_EQ(text_at(h.drives[0], d0.serial_offset), "S5GXNF0R123456");
  EXPECT_EQ(text_at(h.drives[0], d0.revision_offset), "5B2QGXA7");
  EXPECT_EQ(d1.bus, u32{devices::bus_sata});
  EXPECT_EQ(text_at(h.drives[1], d1.vendor_offset), "ATA");
  EXPECT_EQ(text_at(h.drives[1], d1.product_offset), "WDC WD40EFRX-68N");
  EXPECT_EQ(d1.size, d1.revision_offset + 5);
  EXPECT_EQ(h.changes, 1u);
}

TEST(CollectTemps, TurnsDrivesAndSleepingDisks) {
  Copy m("desktop");
  Collector c(m.dir.path);
  const u64 t0 = 1000000;
  c.sample->gpu.adapters = 1;
  c.sample->gpu.luid[0] = 0x30000;
  c.turn_at(t0);
  const heat::Readings& r = c.state->readings;
  EXPECT_EQ(r.turn, 1u);
  EXPECT_EQ(r.gpu_mask, 1);
  EXPECT_EQ(r.gpu_luid[0], 0x30000u);
  EXPECT_EQ(r.gpu[0], 520);
  // The NVMe drive first: 41.85 degrees through its health log in whole kelvins.
  EXPECT_EQ(r.disk_mask, 0b01);
  EXPECT_EQ(r.disk[0], 419);
  // A second sample a second later takes no turn.
  c.turn_at(t0 + 1000);
  EXPECT_EQ(r.turn, 1u);
  // The spinning disk at its first look is not touched: nothing tells whether it is asleep.
  c.turn_at(t0 + 5000);
  EXPECT_EQ(r.turn, 2u);
  EXPECT_EQ(r.disk_mask, 0b01);
  // Both drives were queried: turns within the minute read none.
  for (u64 t = t0 + 10000; t < t0 + 60000; t += 5000) c.turn_at(t);
  EXPECT_EQ(r.disk_mask, 0b01);
  EXPECT_EQ(c.state->drive_next[0], t0 + 60000);
  // The disk did I/O since: it spins, and its drivetemp sensor is read.
  m.write("proc/diskstats", "    8       0 sda 3100 0 600000 100 1000 0 300000 200 0 70000 300 0 0 0 0 0 0\n"
                            "  259       0 nvme0n1 90000 0 9000000 100 60000 0 7000000 200 0 40000 300 0 0 0 0 0 0\n");
  m.write("sys/devices/pci0000:00/0000:00:01.1/0000:01:00.0/nvme/nvme0/hwmon1/temp1_input", "45000\n");
  c.turn_at(t0 + 60000);  // drive 0 again; 318 whole kelvins
  EXPECT_EQ(r.disk[0], 449);
  c.turn_at(t0 + 65000);
  EXPECT_EQ(r.disk_mask, 0b11);
  EXPECT_EQ(r.disk_id[1], 1u);
  EXPECT_EQ(r.disk[1], 380);
  // No I/O in the next minute: asleep or not, it is left alone and keeps its reading.
  m.write("sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/hwmon/hwmon3/temp1_input", "41000\n");
  c.turn_at(t0 + 120000);
  c.turn_at(t0 + 125000);
  EXPECT_EQ(r.disk_mask, 0b11);
  EXPECT_EQ(r.disk[1], 380);
  // A drive that is gone records no reading.
  fsys::remove(m.dir.path + "/sys/block/nvme0n1/device");
  c.turn_at(t0 + 180000);
  EXPECT_EQ(r.disk_mask, 0b10);

  // Placed by the usage record's own order of GPUs and disks.
  heat::Block b;
  u64 luids[] = {0x30000};
  u32 disks[] = {1, 0};
  collect::temps(c.state.get(), &b, luids, 1, disks, 2);
  EXPECT_EQ(b.gpu_mask, 1);
  EXPECT_EQ(b.disk_mask, 0b01);
  EXPECT_EQ(b.disk[0], 380);
}

}  // namespace

namespace {

u32 rd32(const u8* p) {
  u32 v;
  memcpy(&v, p, 4);
  return v;
}
u64 rd64(const u8* p) {
  u64 v;
  memcpy(&v, p, 8);
  return v;
}

struct Topology {
  u32 cores = 0, packages = 0, threads = 0, records = 0;
  u64 cache[4] = {};  // bytes per level
  u32 caches[4] = {};
};

Topology walk(const collect::HardwareRaw& h) {
  Topology t;
  for (u32 at = 0; at + 8 <= h.topology_bytes;) {
    u32 relation = rd32(h.topology + at), size = rd32(h.topology + at + 4);
    if (size < 8) break;
    ++t.records;
    if (relation == hwinfo::relation_core) {
      ++t.cores;
      u16 groups;
      memcpy(&groups, h.topology + at + 30, 2);
      for (u32 g = 0; g < groups; ++g) t.threads += __builtin_popcountll(rd64(h.topology + at + 32 + 16 * g));
    }
    if (relation == hwinfo::relation_package) ++t.packages;
    if (relation == hwinfo::relation_cache) {
      u8 level = h.topology[at + 8];
      if (level < 4) {
        t.cache[level] += rd32(h.topology + at + 12);
        ++t.caches[level];
      }
    }
    at += size;
  }
  return t;
}

// The adapter chain as a decoder follows it: node offsets from the recorded base.
std::vector<u64> chain(const collect::HardwareRaw& h) {
  std::vector<u64> nodes;
  for (u64 at = 0; nodes.size() < 65 && at + net::adapter_node_bytes <= h.adapter_bytes;) {
    nodes.push_back(at);
    u64 next = rd64(h.adapters + at + 8);
    if (next == 0) break;
    at = next - h.adapter_base;
  }
  return nodes;
}

std::string wide_at(const collect::HardwareRaw& h, u64 address) {
  return address ? ascii(reinterpret_cast<const u16*>(h.adapters + (address - h.adapter_base)), 64) : std::string();
}

}  // namespace

TEST(CollectHardware, LaptopProcessorAndAdapters) {
  Collector c(fixture("laptop"));
  const collect::HardwareRaw& h = c.state->hardware;
  EXPECT_EQ(h.changes, 1u);
  EXPECT_EQ(h.flags, u32{collect::hw_topology | collect::hw_power | collect::hw_compression | collect::hw_adapters |
                         collect::hw_hypervisor});
  // Two cores of two threads in one package; per core 32 KiB data and 32 KiB instruction L1 and 256 KiB L2, one
  // shared 8 MiB L3.
  Topology t = walk(h);
  EXPECT_EQ(t.cores, 2u);
  EXPECT_EQ(t.threads, 4u);
  EXPECT_EQ(t.packages, 1u);
  EXPECT_EQ(t.caches[1], 4u);
  EXPECT_EQ(t.cache[1], 4u * 32768);
  EXPECT_EQ(t.cache[2], 2u * 262144);
  EXPECT_EQ(t.caches[3], 1u);
  EXPECT_EQ(t.cache[3], 8u << 20);
  EXPECT_EQ(t.records, 2u + 1 + 4 + 2 + 1);
  // Power records: the nominal clock (base frequency) and the current one.
  hwinfo::PowerRecord p0, p3, p4;
  memcpy(&p0, h.power, sizeof p0);
  memcpy(&p3, h.power + 3 * sizeof p0, sizeof p0);
  memcpy(&p4, h.power + 4 * sizeof p0, sizeof p0);
  EXPECT_EQ(p0.max_mhz, 1900u);
  EXPECT_EQ(p3.number, 3u);
  EXPECT_EQ(p3.current_mhz, 1900u);
  EXPECT_EQ(p4.max_mhz, 0u);
  // Features by the system's numbers: SSE2 10, NX 12, SSE3 13, RDRAND 28, SSSE3..AVX2 36..40, virtualisation 21 and
  // second-level translation 20; no AVX-512 (41).
  for (u32 bit : {10u, 12u, 13u, 20u, 21u, 28u, 36u, 37u, 38u, 39u, 40u}) EXPECT_TRUE(h.features >> bit & 1) << bit;
  EXPECT_FALSE(h.features >> 41 & 1);
  EXPECT_EQ(h.hypervisor, 0u);
  EXPECT_EQ(h.mhz, 2400u);
  EXPECT_EQ(ascii(h.vendor, 64), "GenuineIntel");
  EXPECT_EQ(ascii(h.identifier, 64), "Intel64 Family 6 Model 142 Stepping 10");
  EXPECT_EQ(h.smbios_bytes, 0u);

  // Every interface, in index order, joined to its interface row by the LUID; no addresses off the live system.
  std::vector<u64> nodes = chain(h);
  ASSERT_EQ(nodes.size(), 4u);
  u64 luids[8];
  ASSERT_EQ(net::interfaces(c.state->reader, luids, 8), 4u);
  for (u32 i = 0; i < 4; ++i) {
    const u8* node = h.adapters + nodes[i];
    EXPECT_EQ(rd64(node + 224), luids[i]);
    EXPECT_EQ(rd64(node + 24), 0u);
    EXPECT_EQ(wide_at(h, rd64(node + 56)), "home.lan");
  }
  const u8* ethernet = h.adapters + nodes[1];
  EXPECT_EQ(rd32(ethernet + 100), 6u);
  EXPECT_EQ(rd32(ethernet + 88), 6u);
  EXPECT_EQ(wide_at(h, rd64(ethernet + 72)), "enp0s31f6");

  collect::read_hardware(c.state.get(), true);
  EXPECT_EQ(h.changes, 2u);
}

TEST(CollectHardware, FirmwareTableAndMachinesWithout) {
  Copy m("desktop");
  Collector c(m.dir.path);
  const collect::HardwareRaw& h = c.state->hardware;
  ASSERT_NE(h.flags & collect::hw_smbios, 0u);
  EXPECT_EQ(h.smbios_bytes, 8u + 99);
  EXPECT_EQ(h.smbios[1], 3);  // version 3.3
  EXPECT_EQ(h.smbios[2], 3);
  EXPECT_EQ(rd32(h.smbios + 4), 99u);
  EXPECT_EQ(h.smbios[8], 17);
  // A table beyond the buffer is absent, not cut.
  std::string big(70000, '\0');
  m.write("sys/firmware/dmi/tables/DMI", big);
  collect::read_hardware(c.state.get(), true);
  EXPECT_EQ(h.smbios_bytes, 0u);
  EXPECT_EQ(h.flags & collect::hw_smbios, 0u);
  EXPECT_EQ(h.changes, 2u);

  // The bare machine: no topology, frequencies, identity or firmware table; the hypervisor question unanswered.
  Collector bare(fixture("bare"));
  const collect::HardwareRaw& b = bare.state->hardware;
  EXPECT_EQ(b.flags & ~u32{collect::hw_adapters}, 0u);
  EXPECT_EQ(b.topology_bytes, 0u);
  EXPECT_EQ(b.hypervisor, 0u);
  EXPECT_EQ(b.changes, 1u);
}
