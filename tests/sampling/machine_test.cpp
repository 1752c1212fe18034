// The machine record: counts and names from usage frames, the hardware digest and its change counter, held power
// readings, and a fixture machine taken whole from its collector.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "sampling/collect.h"
#include "sampling/machine.h"
#include "tests/sampling/machines.h"

namespace {

std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }
const u8* bytes_of(const char* s) { return reinterpret_cast<const u8*>(s); }

template <typename T>
std::unique_ptr<T> zeroed() {
  auto p = std::make_unique<T>();
  std::memset(p.get(), 0, sizeof *p);
  return p;
}

void put_name(usage::Usage* u, u32 slot, const char* name) {
  std::memset(u->name[slot], 0, 32);
  std::memcpy(u->name[slot], name, std::min<size_t>(strlen(name), 32));
  u->names = std::max(u->names, slot + 1);
}

TEST(Machine, NamesAndCounts) {
  auto m = zeroed<machine::Machine>();
  machine::init(m.get());
  EXPECT_EQ(m->ring.capacity, 600u);
  machine::set_name(m.get(), 70, bytes_of("0123456789012345678901234567890123456789"), 40);
  EXPECT_EQ(text(machine::name(m.get(), 60)), "01234567890123456789012345678901");
  EXPECT_EQ(text(machine::name(m.get(), 99)).size(), 32u);
  machine::set_name(m.get(), 3, bytes_of("disk"), 4);
  EXPECT_EQ(text(machine::name(m.get(), 3)), "disk");
  struct Slot {
    u32 base, i, count, want;
  } slots[] = {{17, 0, 8, 17}, {17, 9, 8, 24}, {17, 3, 0, 17}, {53, 20, 30, 60}};
  for (const Slot& s : slots) EXPECT_EQ(machine::name_slot(s.base, s.i, s.count), s.want);

  machine::set_gpu(m.get(), 6, 8192, 4096, 0b110);
  EXPECT_EQ(m->gpus, 4);
  EXPECT_EQ(m->gpu_dedicated[3], 8192u);
  machine::set_counts(m.get(), 80, 16, 9);
  EXPECT_EQ(m->cpus, 64);
  EXPECT_EQ(m->disks, 16);
  EXPECT_EQ(m->nics, 8);
  EXPECT_EQ(m->count_flags, machine::more_cpus | machine::more_nics | machine::more_gpus);
  machine::set_gpu(m.get(), 1, 8192, 4096, 0b110);
  EXPECT_EQ(m->count_flags, machine::more_cpus | machine::more_nics);
  EXPECT_EQ(m->gpu_dedicated[1], 0u);
  EXPECT_EQ(m->gpu_classes[0], 0b110);
}

ring::Row power_row(u16 power, u8 flags) {
  ring::Row r{};
  r.power = power;
  r.power_flags = flags;
  return r;
}

TEST(Machine, PowerIsHeldBetweenReadings) {
  auto m = zeroed<machine::Machine>();
  machine::init(m.get());
  EXPECT_EQ(machine::power_present(m.get()), 0u);
  ring::Row none = power_row(0, 0);
  machine::push(m.get(), &none);  // nothing to hold yet
  ring::Row row;
  ASSERT_TRUE(ring::at(&m->ring, 0, &row));
  EXPECT_EQ(row.power, 0);
  struct Step {
    u16 power;
    u8 flags;
    u16 stored;
  } steps[] = {{120, 1, 120}, {0, 0, 120}, {999, 0x10, 120}, {80, 8, 80}, {0, 0, 80}};
  for (const Step& s : steps) {
    ring::Row r = power_row(s.power, s.flags);
    machine::push(m.get(), &r);
    ASSERT_TRUE(ring::at(&m->ring, 0, &row));
    EXPECT_EQ(row.power, s.stored);
  }
  EXPECT_EQ(m->pushed, 6u);
  EXPECT_EQ(machine::power_present(m.get()), 1u);
  EXPECT_EQ(machine::power_least(m.get(), 10), 80u);  // the held rows do not count
  EXPECT_EQ(machine::power_mean(m.get(), 10), 100u);
  EXPECT_EQ(machine::power_least(m.get(), 1), 0u);
  EXPECT_EQ(machine::power_mean(m.get(), 2), 80u);
  for (int i = 0; i < 5; ++i) machine::push(m.get(), &none);
  EXPECT_EQ(machine::power_present(m.get()), 0u);
  EXPECT_EQ(machine::back_row(m.get(), 0), 10u);
  EXPECT_EQ(machine::back_row(m.get(), 1000), 0u);
}

// A usage frame of a machine with one disk (C: and D:), one adapter and one GPU.
struct Frame {
  std::unique_ptr<usage::Usage> u = zeroed<usage::Usage>();
  std::unique_ptr<hw::Hardware> h = zeroed<hw::Hardware>();
  std::unique_ptr<hw::Adapters> a = zeroed<hw::Adapters>();
  ring::Row row{};
  Frame() {
    u->cpus = 80;
    u->truncated = usage::cut_cpus;
    u->disks = 1;
    u->nics = 1;
    u->gpus = 1;
    u->memory_total = 32768;
    put_name(u.get(), 0, "Test CPU");
    u->volume_total[2] = 0xFFFFFFF0u;
    u->volume_total[3] = 0x20;
    u->disk_letters[0] = 0b1100;
    u->disk_number[0] = 1;
    put_name(u.get(), 1, "1 C: D:");
    u->disk_name[0] = 1;
    u->nic_id[0] = 0x77;
    u->received[0] = 123456;
    u->nic_mbps[0] = 2500;
    put_name(u.get(), 2, "eth0");
    u->nic_name[0] = 2;
    u->gpu_dedicated[0] = 8192;
    u->gpu_shared_limit[0] = 16384;
    u->gpu_classes[0] = 0b10;
    put_name(u.get(), 3, "Test GPU");
    u->gpu_name[0] = 3;
    u->kernel = 1234;
    u->uptime = 99;
    u->modified = 10;
    u->standby = 20;
    u->core_kernel[5] = 7;
    u->disk_level[0] = 150;
    u->power[0] = 40000;  // beyond the signed reading
    u->power_flags = 1;
    h->base_mhz = 3000;
    h->cores = 8;
    h->drive_mask = 0b10;
    hw::plane_set(h->media, 2, 1, hw::media_ssd);
    hw::plane_set(h->bus, 3, 1, hw::bus_nvme);
    std::memcpy(h->drive_model[1], "Fast SSD", 8);
    a->count = 2;
    a->id[1] = 0x77;
    a->mac[1] = 0x0011223344556677;
    a->ipv4_count[1] = 1;
    a->ipv4[1][0] = 0x0A000001;
    std::memcpy(a->description[1], "Test NIC", 8);
    std::memcpy(a->dns_suffix[1], "lan", 3);
    hw::plane_set(a->conn, 2, 1, hw::conn_wifi);
    row.load = 5000;
    row.power = 4000;
    row.power_flags = 1;
  }
};

// A disk whose volumes are mounted folders is named by them; one with drive letters keeps its counters' name.
TEST(Machine, DiskNamesFromMountedFolders) {
  struct Case {
    const char* name;
    const char* labels[2];  // of C: and D:; null: that letter is not the disk's
    const char* want;
  };
  const Case cases[] = {
      {"root", {"/", nullptr}, "Disk 1 (/)"},
      {"two folders", {"/", "/home"}, "Disk 1 (/, /home)"},
      {"cut to the slot", {"/media/someone/a-long-label", "/srv"}, "Disk 1 (/media/someone/a-long-l)"},
      {"drive letters", {"System", nullptr}, "1 C: D:"},
      {"one folder, one letter", {"/", "Data"}, "1 C: D:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = zeroed<machine::Machine>();
    machine::init(m.get());
    Frame f;
    f.u->disk_letters[0] = (c.labels[0] ? 0b100 : 0) | (c.labels[1] ? 0b1000 : 0);
    for (u32 l = 0; l < 2; ++l) {
      if (!c.labels[l]) continue;
      put_name(f.u.get(), 4 + l, c.labels[l]);
      f.u->volume_label[2 + l] = static_cast<u16>(4 + l);
    }
    machine::take(m.get(), f.u.get(), &f.row, f.h.get(), f.a.get(), 120000);
    EXPECT_EQ(text(machine::name(m.get(), machine::slot_disks)), c.want);
  }
}

TEST(Machine, TakeFoldsAUsageFrame) {
  auto m = zeroed<machine::Machine>();
  machine::init(m.get());
  Frame f;
  machine::take(m.get(), f.u.get(), &f.row, f.h.get(), f.a.get(), 120000);
  EXPECT_EQ(m->cpus, 64);
  EXPECT_EQ(m->count_flags, machine::more_cpus);
  EXPECT_EQ(m->memory_total, 32768u);
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_cpu)), "Test CPU");
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_disks)), "1 C: D:");
  EXPECT_EQ(m->disk_capacity[0], 0xFFFFFFFFu);
  EXPECT_EQ(m->capacity_saturated, 1u);
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_nics)), "eth0");
  EXPECT_EQ(m->received[0], 123456u);
  EXPECT_EQ(m->link_mbps[0], 2500u);
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_gpus)), "Test GPU");
  EXPECT_EQ(m->gpu_shared[0], 16384u);
  EXPECT_EQ(m->power[0], 0x7FFF);
  EXPECT_EQ(m->power_flags, 1 | usage::power_saturated);
  // The disk sits on drive 1; the adapter is the second entry of the adapter list.
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_drive_models)), "Fast SSD");
  EXPECT_EQ(hw::plane_value(m->details.media, 2, 0), hw::media_ssd);
  EXPECT_EQ(hw::plane_value(m->details.bus, 3, 0), hw::bus_nvme);
  EXPECT_EQ(m->details.mac[0], 0x0011223344556677u);
  EXPECT_EQ(m->details.ipv4[0][0], 0x0A000001u);
  EXPECT_EQ(hw::plane_value(m->details.conn, 2, 0), hw::conn_wifi);
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_descriptions)), "Test NIC");
  EXPECT_EQ(text(machine::name(m.get(), machine::slot_suffixes)), "lan");
  EXPECT_EQ(m->base_mhz, 3000);
  EXPECT_EQ(u32{m->hardware[20]}, 8u);  // cores
  ring::Row r;
  ASSERT_TRUE(ring::at(&m->ring, 0, &r));
  EXPECT_EQ(r.load, 5000);
  EXPECT_EQ(r.kernel, 1234);
  EXPECT_EQ(r.clock_mhz, 3600);
  EXPECT_EQ(r.uptime, 99u);
  EXPECT_EQ(r.modified_mib, 10u);
  EXPECT_EQ(r.standby_mib, 20u);
  EXPECT_EQ(r.core_kernel[5], 7);
  EXPECT_EQ(r.disk_busy[0], 150);
  EXPECT_EQ(m->changes, 1u);

  // The same hardware again leaves the counter; a drive model text alone moves it; a clock beyond 16 bits is noted.
  u64 hash = m->hash;
  machine::take(m.get(), f.u.get(), &f.row, f.h.get(), f.a.get(), 120000);
  EXPECT_EQ(m->changes, 1u);
  EXPECT_EQ(m->hash, hash);
  f.h->drive_model[1][0] = 'S';
  machine::take(m.get(), f.u.get(), &f.row, f.h.get(), f.a.get(), 120000);
  EXPECT_EQ(m->changes, 2u);
  EXPECT_NE(m->hash, hash);
  machine::take(m.get(), f.u.get(), &f.row, f.h.get(), f.a.get(), 10000000);
  EXPECT_EQ(m->status & machine::clock_over, machine::clock_over);
  ASSERT_TRUE(ring::at(&m->ring, 0, &r));
  EXPECT_EQ(r.clock_mhz, 0xFFFF);
  EXPECT_EQ(m->pushed, 4u);
}

TEST(Machine, HashIsFnv1aOfTheHardwareView) {
  auto m = zeroed<machine::Machine>();
  EXPECT_EQ(machine::bytes_of(machine::fnv_basis, "", 0), machine::fnv_basis);
  EXPECT_EQ(machine::bytes_of(machine::fnv_basis, "a", 1), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(machine::bytes_of(machine::fnv_basis, "foobar", 6), 0x85944171f73967e8ull);
  u64 h = machine::bytes_of(machine::fnv_basis, m->hardware, 52);
  h = machine::bytes_of(h, &m->details, sizeof m->details);
  h = machine::bytes_of(h, m->name[29], 32 * 32);
  m->status = 5;
  EXPECT_EQ(machine::hardware_hash_of(m.get()), h ^ 5);
  m->name[28][0] = 'x';  // a GPU name is no hardware
  EXPECT_EQ(machine::hardware_hash_of(m.get()), h ^ 5);
}

// The desktop fixture end to end: two samples, the usage pass, the decoded hardware, one machine record.
TEST(Machine, FixtureMachineTakenWhole) {
  auto state = std::make_unique<collect::State>();
  ASSERT_TRUE(collect::open_at(state.get(), 10000, machines::bytes(machines::fixture("desktop"))));
  auto a = zeroed<collect::Sample>(), b = zeroed<collect::Sample>();
  collect::sample(state.get(), a.get());
  collect::sample(state.get(), b.get());
  usage::RateState st{};
  auto u = zeroed<usage::Usage>();
  ring::Row row;
  usage::system(&st, a.get(), u.get(), &row);
  usage::system(&st, b.get(), u.get(), &row);
  auto h = zeroed<hw::Hardware>();
  auto ad = zeroed<hw::Adapters>();
  collect::hardware(state.get(), h.get(), ad.get());
  EXPECT_EQ(h->drive_mask, 0b11u);
  EXPECT_GT(h->base_mhz, 0);  // from the power records (this fixture has no topology)
  auto m = zeroed<machine::Machine>();
  machine::init(m.get());
  machine::take(m.get(), u.get(), &row, h.get(), ad.get(), 100000);
  EXPECT_EQ(m->cpus, u->cpus);
  EXPECT_EQ(m->base_mhz, h->base_mhz);
  EXPECT_EQ(m->changes, 1u);
  ring::Row r;
  ASSERT_TRUE(ring::at(&m->ring, 0, &r));
  EXPECT_EQ(r.clock_mhz, h->base_mhz);
  bool nvme = false;
  for (u32 i = 0; i < m->disks; ++i) {
    if (u->disk_number[i] != 0) continue;
    nvme = true;
    EXPECT_EQ(text(machine::name(m.get(), machine::slot_drive_models + i)), "Samsung SSD 980 PRO 1TB");
    EXPECT_EQ(hw::plane_value(m->details.bus, 3, i), hw::bus_nvme);
  }
  EXPECT_TRUE(nvme) << "disk 0 among " << u32{m->disks};
  collect::close(state.get());
}

}  // namespace
