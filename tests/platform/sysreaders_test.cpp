// The Linux readers of /proc and /sys on fixture trees and hand-made supply folders: TCP rows in the system's byte
// order, counter queries that need two collects for a rate, graphics instances of DRM clients, battery states, the
// battery block with the thermal zones, volumes, interface rows read again through their kept files, and the proc
// folder's fixed files kept open.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/reader.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/pdh.h"
#include "platform/power.h"
#include "platform/sysinfo.h"
#include "platform/volume.h"
#include "sampling/ntinfo.h"
#include "tests/support/testutil.h"

namespace {

namespace fsys = std::filesystem;

std::string fixture(const std::string& machine) { return std::string(VIMBREL_FIXTURES) + "/sampling/" + machine; }
mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

struct Reader {
  sysinfo::Reader* r;
  explicit Reader(const std::string& root) : r(sysinfo::open(bytes(root))) { EXPECT_NE(r, nullptr); }
  ~Reader() { sysinfo::close(r); }
};

void put(const std::string& path, const std::string& text) {
  fsys::create_directories(fsys::path(path).parent_path());
  std::ofstream(path) << text;
}

// A tree whose power-supply class holds these files ("supply/attribute", value).
void supplies(const testutil::TempDir& dir, const std::vector<std::pair<std::string, std::string>>& files) {
  fsys::create_directories(dir.path + "/sys/class/power_supply");
  for (const auto& [file, value] : files) put(dir.path + "/sys/class/power_supply/" + file, value + "\n");
}

TEST(TcpTable, RowsInTheSystemsByteOrderWithOwners) {
  Reader reader(fixture("laptop"));
  std::vector<u8> table(4096);
  u32 size = 0;
  // A buffer too small for the table answers with the size it needs.
  EXPECT_EQ(net::tcp_table(reader.r, net::family_ipv4, mem::Slice{table.data(), 20}, &size), net::insufficient_buffer);
  EXPECT_EQ(size, 4u + 3 * sizeof(sysrec::TcpRow));
  ASSERT_EQ(net::tcp_table(reader.r, net::family_ipv4, mem::Slice{table.data(), table.size()}, &size), 0u);
  ASSERT_EQ(ntinfo::tcp_listed(mem::Bytes(table.data(), size)), 3u);
  sysrec::TcpRow rows[3];
  memcpy(rows, table.data() + sysrec::tcp_table_head, sizeof rows);
  EXPECT_EQ(rows[0].state, 2u);  // listening
  const u8* local = reinterpret_cast<const u8*>(&rows[0].local_address);
  EXPECT_EQ(local[0], 127);
  EXPECT_EQ(local[3], 1);
  EXPECT_EQ(rows[0].local_port, 0x7702u);  // port 631 in network order
  EXPECT_EQ(rows[1].state, 5u);            // established
  const u8* remote = reinterpret_cast<const u8*>(&rows[1].remote_address);
  EXPECT_EQ(remote[0], 0x5D);
  EXPECT_EQ(remote[3], 0x22);
  EXPECT_EQ(rows[1].remote_port, 0xBB01u);  // 443
  EXPECT_EQ(rows[1].pid, 1500u);
  EXPECT_EQ(rows[2].state, 11u);  // time wait, owned by nobody
  EXPECT_EQ(rows[2].pid, 0u);

  ASSERT_EQ(net::tcp_table(reader.r, net::family_ipv6, mem::Slice{table.data(), table.size()}, &size), 0u);
  sysrec::Tcp6Row row6;
  memcpy(&row6, table.data() + sysrec::tcp_table_head, sizeof row6);
  EXPECT_EQ(size, 4u + sizeof row6);
  EXPECT_EQ(row6.local_port, 0x1600u);  // 22
  EXPECT_EQ(row6.state, 2u);
  EXPECT_EQ(row6.pid, 1u);
  EXPECT_EQ(net::tcp_table(reader.r, 10, mem::Slice{table.data(), table.size()}, &size), net::not_supported);
}

// One array of a counter as name -> (status, value).
struct Array {
  std::vector<std::string> names;
  std::vector<u32> status;
  std::vector<i64> value;
};
Array read_array(u64 counter, u32 format) {
  std::vector<u8> buffer(2048);
  u32 bytes = 0, count = 0;
  Array a;
  if (pdh::array(counter, format, mem::Slice{buffer.data(), buffer.size()}, &bytes, &count) != pdh::success) return a;
  for (u32 k = 0; k < count; ++k) {
    sysrec::FmtItem item;
    memcpy(&item, buffer.data() + k * sizeof item, sizeof item);
    u64 offset = item.name_address - reinterpret_cast<u64>(buffer.data());
    std::string name;
    for (u64 i = offset; i + 1 < bytes && buffer[i]; i += 2) name += static_cast<char>(buffer[i]);
    a.names.push_back(name);
    a.status.push_back(item.status);
    a.value.push_back(item.value);
  }
  return a;
}

TEST(CounterQuery, RatesNeedTwoCollectsOfTheSameQuery) {
  testutil::TempDir dir;
  fsys::copy(fixture("laptop"), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  Reader reader(dir.path);
  volume::refresh(reader.r);
  u64 q = pdh::open_query(reader.r);
  u64 reads = pdh::add_counter(q, mem::lit("\\PhysicalDisk(*)\\Disk Read Bytes/sec"));
  u64 idle = pdh::add_counter(q, mem::lit("\\PhysicalDisk(*)\\% Idle Time"));
  u64 modified = pdh::add_counter(q, mem::lit("\\Memory\\Modified Page List Bytes"));
  ASSERT_NE(reads, 0u);
  EXPECT_EQ(pdh::add_counter(q, mem::lit("\\GPU Engine(*)\\Running Time")), 0u);
  EXPECT_EQ(read_array(reads, pdh::fmt_large).names.size(), 0u);  // nothing before a collect

  const u64 first_from = os::ticks();
  ASSERT_EQ(pdh::collect(q), pdh::success);
  const u64 first_to = os::ticks();
  Array first = read_array(reads, pdh::fmt_large);
  ASSERT_EQ(first.names.size(), 3u);
  EXPECT_EQ(first.names[0], "0 C: D:");
  EXPECT_EQ(first.status[0], pdh::status_invalid);  // a rate needs a second collect
  EXPECT_EQ(read_array(modified, pdh::fmt_large).status[0], pdh::status_valid);  // a size does not

  // A second query collected now does not disturb the first one's pair.
  u64 other = pdh::open_query(reader.r);
  pdh::add_counter(other, mem::lit("\\PhysicalDisk(*)\\Disk Read Bytes/sec"));
  pdh::collect(other);

  put(dir.path + "/proc/diskstats",
      "   8       0 sda 5000 0 404096 100 3000 0 200000 200 0 9100 300 0 0 0 0 0 0\n"
      "   8      16 sdb 10 0 2000 0 0 0 0 0 0 20 0 0 0 0 0 0 0\n");
  usleep(100000);
  const u64 second_from = os::ticks();
  ASSERT_EQ(pdh::collect(q), pdh::success);
  const u64 second_to = os::ticks();
  Array second = read_array(reads, pdh::fmt_large);
  ASSERT_EQ(second.names.size(), 3u);
  EXPECT_EQ(second.status[0], pdh::status_valid);
  // 4,096 sectors over the time between the two collects, which lies between the clock read just after the first
  // and just before the second, and the one just before the first and just after the second (however busy the
  // machine keeps this test).
  const double sectors_bytes = 4096.0 * 512 * static_cast<double>(os::ticks_per_second());
  EXPECT_GE(static_cast<double>(second.value[0]) + 1, sectors_bytes / static_cast<double>(second_to - first_from));
  EXPECT_LE(static_cast<double>(second.value[0]) - 1, sectors_bytes / static_cast<double>(second_from - first_to));
  EXPECT_EQ(second.value[1], 0);
  EXPECT_EQ(second.value[2], second.value[0]);  // _Total
  Array busy = read_array(idle, pdh::fmt_large | pdh::fmt_1000);
  EXPECT_LT(busy.value[0], 100000);  // 100 ms busy in about 100 ms
  EXPECT_EQ(busy.value[1], 100000);
  EXPECT_EQ(read_array(idle, pdh::fmt_large).value[1], 100);

  // A disk that appears between the collects has no rate yet.
  put(dir.path + "/proc/diskstats",
      "   8       0 sda 5000 0 404096 100 3000 0 200000 200 0 9100 300 0 0 0 0 0 0\n");
  ASSERT_EQ(pdh::collect(q), pdh::success);
  put(dir.path + "/proc/diskstats",
      "   8       0 sda 5000 0 404096 100 3000 0 200000 200 0 9100 300 0 0 0 0 0 0\n"
      "   8      16 sdb 10 0 2000 0 0 0 0 0 0 20 0 0 0 0 0 0 0\n");
  ASSERT_EQ(pdh::collect(q), pdh::success);
  Array third = read_array(reads, pdh::fmt_large);
  EXPECT_EQ(third.status[0], pdh::status_valid);
  EXPECT_EQ(third.status[1], pdh::status_invalid);

  // A buffer too small answers with the size it needs.
  u8 small[16];
  u32 bytes = 0, count = 0;
  EXPECT_EQ(pdh::array(reads, pdh::fmt_large, mem::Slice{small, sizeof small}, &bytes, &count), pdh::more_data);
  EXPECT_EQ(bytes, 3 * sizeof(sysrec::FmtItem) + 2 * (8 + 5 + 7));
  pdh::close_query(q);
  pdh::close_query(other);
  pdh::close_query(0);
}

TEST(Battery, StatesFromPowerSupplies) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // "supply/attribute", value
    u8 present, ac, charging, discharging;
    u32 rate;  // mW as the record keeps it
    u64 drain;
  } cases[] = {
      {"none", {}, 0, 0, 0, 0, sysrec::battery_rate_unknown, ntinfo::none},
      {"discharging by power",
       {{"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"}, {"BAT0/power_now", "9000000"}},
       1, 0, 0, 1, static_cast<u32>(-9000), 9000},
      {"discharging by current and voltage, signed by the driver",
       {{"BAT1/type", "Battery"}, {"BAT1/status", "Discharging"}, {"BAT1/current_now", "-1500000"},
        {"BAT1/voltage_now", "12000000"}},
       1, 0, 0, 1, static_cast<u32>(-18000), 18000},
      {"charging on mains",
       {{"AC/type", "Mains"}, {"AC/online", "1"}, {"BAT0/type", "Battery"}, {"BAT0/status", "Charging"},
        {"BAT0/power_now", "20000000"}},
       1, 1, 1, 0, 20000, ntinfo::none},
      {"discharging without a reading",
       {{"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"}}, 1, 0, 0, 1, sysrec::battery_rate_unknown,
       ntinfo::none},
      {"a battery that is not there",
       {{"BAT0/type", "Battery"}, {"BAT0/present", "0"}, {"BAT0/status", "Discharging"}}, 0, 0, 0, 0,
       sysrec::battery_rate_unknown, ntinfo::none},
      {"two batteries add up",
       {{"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"}, {"BAT0/power_now", "4000000"},
        {"BAT1/type", "Battery"}, {"BAT1/status", "Discharging"}, {"BAT1/power_now", "3000000"}},
       1, 0, 0, 1, static_cast<u32>(-7000), 7000},
  };
  for (const Case& c : cases) {
    testutil::TempDir dir;
    supplies(dir, c.files);
    Reader reader(dir.path);
    sysrec::BatteryState state;
    ASSERT_TRUE(power::battery_state(reader.r, &state)) << c.name;
    EXPECT_EQ(state.present, c.present) << c.name;
    EXPECT_EQ(state.ac_online, c.ac) << c.name;
    EXPECT_EQ(state.charging, c.charging) << c.name;
    EXPECT_EQ(state.discharging, c.discharging) << c.name;
    EXPECT_EQ(state.rate, c.rate) << c.name;
    EXPECT_EQ(ntinfo::battery_drain(mem::Bytes(reinterpret_cast<const u8*>(&state), sizeof state)), c.drain) << c.name;
  }
  sysrec::BatteryState state;
  EXPECT_FALSE(power::battery_state(nullptr, &state));
}

TEST(Battery, BlockHoldsEachSystemBattery) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // "supply/attribute", value
    u32 count;
    std::vector<std::pair<u8, u8>> entries;  // charge, state
  } cases[] = {
      {"none", {}, 0, {}},
      {"the driver's percentage wins",
       {{"BAT0/type", "Battery"}, {"BAT0/capacity", "64"}, {"BAT0/energy_now", "1"}, {"BAT0/energy_full", "2"},
        {"BAT0/status", "Charging"}},
       1, {{64, sysrec::battery_charging}}},
      {"energy, then charge, over full; half up",
       {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "42750000"}, {"BAT0/energy_full", "57000000"},
        {"BAT0/status", "Full"}, {"BAT1/type", "Battery"}, {"BAT1/charge_now", "1005"},
        {"BAT1/charge_full", "2000"}, {"BAT1/status", "Not charging"}},
       2, {{75, sysrec::battery_full}, {50, sysrec::battery_not_charging}}},
      {"nothing tells the charge or the state",
       {{"BAT0/type", "Battery"}, {"BAT0/status", "Unknown"}, {"BAT1/type", "Battery"}, {"BAT1/energy_now", "5"},
        {"BAT1/energy_full", "0"}},
       2, {{0, sysrec::battery_unknown}, {0, sysrec::battery_unknown}}},
      {"mains, a mouse and an empty bay are no batteries of the system",
       {{"AC/type", "Mains"}, {"AC/online", "1"}, {"mouse/type", "Battery"}, {"mouse/scope", "Device"},
        {"mouse/capacity", "20"}, {"BAT1/type", "Battery"}, {"BAT1/present", "0"}, {"BAT2/type", "Battery"},
        {"BAT2/capacity", "250"}, {"BAT2/status", "Discharging"}},
       1, {{250, sysrec::battery_discharging}}},
      {"five batteries: all counted, four kept",
       {{"B0/type", "Battery"}, {"B0/capacity", "10"}, {"B1/type", "Battery"}, {"B1/capacity", "11"},
        {"B2/type", "Battery"}, {"B2/capacity", "12"}, {"B3/type", "Battery"}, {"B3/capacity", "13"},
        {"B4/type", "Battery"}, {"B4/capacity", "14"}},
       5, {{10, 0}, {11, 0}, {12, 0}, {13, 0}}},
  };
  for (const Case& c : cases) {
    testutil::TempDir dir;
    supplies(dir, c.files);
    Reader reader(dir.path);
    sysrec::BatteryBlock block;
    std::memset(&block, 0xAB, sizeof block);
    power::battery_block(reader.r, 0, &block);
    EXPECT_EQ(block.batteries, c.count) << c.name;
    EXPECT_EQ(block.zones, 0u) << c.name;
    for (u32 i = 0; i < sysrec::block_batteries; ++i) {
      std::pair<u8, u8> want = i < c.entries.size() ? c.entries[i] : std::pair<u8, u8>{0, 0};
      EXPECT_EQ(block.battery[i].charge, want.first) << c.name << " " << i;
      EXPECT_EQ(block.battery[i].state, want.second) << c.name << " " << i;
    }
  }
  sysrec::BatteryBlock block;
  std::memset(&block, 0xAB, sizeof block);
  power::battery_block(nullptr, 0, &block);
  EXPECT_EQ(block.batteries | block.zones, 0u);
}

// A class folder that is missing (no driver made it yet) is looked for again only after its pause, so a battery whose
// driver loads later shows then; a folder that is there is listed again at every sample.
TEST(Battery, SupplyClassMissingAtFirstIsFoundAfterItsPause) {
  testutil::TempDir dir;
  Reader reader(dir.path);
  reader.r->absent_ms = 3600000;
  sysrec::BatteryBlock block;
  power::battery_block(reader.r, 0, &block);
  EXPECT_EQ(block.batteries, 0u);

  supplies(dir, {{"BAT0/type", "Battery"}, {"BAT0/capacity", "40"}});
  sysinfo::begin_sample(reader.r);
  power::battery_block(reader.r, 0, &block);
  EXPECT_EQ(block.batteries, 0u) << "looked for again within its pause";
  reader.r->absent_ms = 0;
  sysinfo::begin_sample(reader.r);
  power::battery_block(reader.r, 0, &block);
  ASSERT_EQ(block.batteries, 1u);
  EXPECT_EQ(block.battery[0].charge, 40);

  reader.r->absent_ms = 3600000;
  supplies(dir, {{"BAT1/type", "Battery"}, {"BAT1/capacity", "70"}});
  sysinfo::begin_sample(reader.r);
  power::battery_block(reader.r, 0, &block);
  ASSERT_EQ(block.batteries, 2u);
  EXPECT_EQ(block.battery[1].charge, 70);
  sysrec::BatteryState state;
  ASSERT_TRUE(power::battery_state(reader.r, &state));
  EXPECT_EQ(state.present, 1);
}

TEST(Battery, ThermalZonesByNumberReadAgainAfterFiveSeconds) {
  testutil::TempDir dir;
  const std::string zones = dir.path + "/sys/class/thermal/";
  put(zones + "thermal_zone10/temp", "61000\n");
  put(zones + "thermal_zone2/temp", "-4500\n");
  put(zones + "thermal_zone3/temp", "");          // a zone that cannot say its temperature is left out
  put(zones + "thermal_zone4/type", "acpitz\n");  // no temp file at all
  put(zones + "cooling_device0/temp", "1000\n");
  put(zones + "thermal_zonex/temp", "1000\n");
  Reader reader(dir.path);
  sysrec::BatteryBlock block;
  power::battery_block(reader.r, 100000, &block);
  ASSERT_EQ(block.zones, 2u);
  EXPECT_EQ(block.zone[0].number, 2u);
  EXPECT_EQ(block.zone[0].value, -4500);
  EXPECT_EQ(block.zone[1].number, 10u);
  EXPECT_EQ(block.zone[1].value, 61000);
  EXPECT_EQ(block.zone[2].number, 0u);
  // Within five seconds of sample time the zones are not read again; then they are.
  put(zones + "thermal_zone10/temp", "62000\n");
  power::battery_block(reader.r, 104999, &block);
  EXPECT_EQ(block.zone[1].value, 61000);
  power::battery_block(reader.r, 105000, &block);
  EXPECT_EQ(block.zone[1].value, 62000);
  // A clock that went back reads them again at once.
  put(zones + "thermal_zone10/temp", "63000\n");
  power::battery_block(reader.r, 50, &block);
  EXPECT_EQ(block.zone[1].value, 63000);

  // 70 zones: all counted, the 64 lowest numbers kept.
  testutil::TempDir many;
  for (int z = 69; z >= 0; --z) put(many.path + "/sys/class/thermal/thermal_zone" + std::to_string(z) + "/temp", "1000\n");
  Reader more(many.path);
  power::battery_block(more.r, 0, &block);
  EXPECT_EQ(block.zones, 70u);
  EXPECT_EQ(block.zone[63].number, 63u);
}

TEST(Volumes, LettersLabelsAndMountsThatWentAway) {
  Reader reader(fixture("laptop"));
  EXPECT_EQ(volume::drives(reader.r), 0u);  // nothing before the first read of the mounts
  ASSERT_EQ(volume::refresh(reader.r), 0b11100u);
  EXPECT_EQ(volume::drive_type(reader.r, 2), 3u);
  EXPECT_EQ(volume::drive_type(reader.r, 4), 2u);  // removable
  EXPECT_EQ(volume::drive_type(reader.r, 5), 1u);  // no such letter
  u16 label[32];
  ASSERT_TRUE(volume::label(reader.r, 4, label, 32));
  std::string text;
  for (int i = 0; label[i]; ++i) text += static_cast<char>(label[i]);
  EXPECT_EQ(text, "My Stick");
  EXPECT_EQ(volume::letters_of_disk(reader.r, 0), 0b1100u);
  EXPECT_EQ(volume::letters_of_disk(reader.r, 1), 0b10000u);
  u64 total = 0, free = 0;
  EXPECT_TRUE(volume::free_space(reader.r, 3, &total, &free));
  EXPECT_FALSE(volume::free_space(reader.r, 7, &total, &free));

  // A mount point that now lies on another file system is not the volume any more.
  testutil::TempDir dir;
  fsys::copy(fixture("bare"), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  put(dir.path + "/proc/self/mountinfo",
      "20 1 254:0 / / rw - ext4 /dev/vda rw\n21 20 254:1 / /dev/shm rw - ext4 /dev/vdb rw\n");
  fsys::create_directories(dir.path + "/dev/shm");
  Reader moved(dir.path);
  ASSERT_EQ(volume::refresh(moved.r), 0b1100u);
  EXPECT_TRUE(volume::free_space(moved.r, 3, &total, &free));
  fsys::remove_all(dir.path + "/dev/shm");
  fsys::create_directory_symlink("/dev/shm", dir.path + "/dev/shm");
  EXPECT_FALSE(volume::free_space(moved.r, 3, &total, &free));
}

TEST(Interfaces, LuidsNameOneInterfaceEverywhere) {
  Reader reader(fixture("laptop"));
  u64 luids[8];
  ASSERT_EQ(net::interfaces(reader.r, luids, 8), 4u);
  EXPECT_EQ(luids[0], net::luid_of(24, 1));  // loopback first, by index
  EXPECT_EQ(net::index_of_luid(luids[2]), 3u);
  sysrec::IfRow row{};
  row.luid = net::luid_of(6, 2);
  ASSERT_TRUE(net::interface_row(reader.r, &row));
  EXPECT_EQ(row.oper_status, 2u);
  EXPECT_EQ(row.media_connect, 2u);
  EXPECT_FALSE(ntinfo::nic_wanted(mem::Bytes(reinterpret_cast<const u8*>(&row), sizeof row)));
  row.luid = net::luid_of(71, 2);  // the index with another type is not that interface
  EXPECT_FALSE(net::interface_row(reader.r, &row));
  row.luid = net::luid_of(6, 99);
  EXPECT_FALSE(net::interface_row(reader.r, &row));
}


// An interface folder as sysfs shows it.
void interface(const std::string& root, const std::string& name, u32 index, u64 rx) {
  const std::string at = root + "/sys/class/net/" + name + "/";
  for (const auto& [file, value] : std::vector<std::pair<std::string, std::string>>{
           {"ifindex", std::to_string(index)}, {"type", "1"}, {"carrier", "1"}, {"operstate", "up"}, {"speed", "1000"},
           {"statistics/rx_bytes", std::to_string(rx)}, {"statistics/tx_bytes", "7"}, {"mtu", "1500"},
           {"address", "02:00:00:00:00:01"}}) {
    put(at + file, value + "\n");
  }
  fsys::create_directories(at + "device");
}

u32 open_descriptors() {
  u32 n = 0;
  for (const auto& e : fsys::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

// Rows read again through the interface's kept files see the attributes as they are now, and a name that passed to
// another interface (or went) is not read as the interface it named: the row is gone, as when read by path.
TEST(Interfaces, RowsReadAgainFollowTheNameNotTheFilesKept) {
  testutil::TempDir dir;
  interface(dir.path, "eth0", 4, 100);
  Reader reader(dir.path);
  u64 luids[8];
  ASSERT_EQ(net::interfaces(reader.r, luids, 8), 1u);
  sysrec::IfRow row{};
  auto read = [&](u64 luid) {
    row = sysrec::IfRow{};
    row.luid = luid;
    return net::interface_row(reader.r, &row);
  };
  ASSERT_TRUE(read(luids[0]));
  EXPECT_EQ(row.in_octets, 100u);
  EXPECT_EQ(row.receive_speed, 1000000000u);
  put(dir.path + "/sys/class/net/eth0/statistics/rx_bytes", "250\n");
  put(dir.path + "/sys/class/net/eth0/operstate", "down\n");
  ASSERT_TRUE(read(luids[0]));
  EXPECT_EQ(row.in_octets, 250u);
  EXPECT_EQ(row.oper_status, 2u);

  // Renamed, and another interface takes the name: neither is the row of index 4 under that name.
  fsys::rename(dir.path + "/sys/class/net/eth0", dir.path + "/sys/class/net/eth1");
  interface(dir.path, "eth0", 9, 5);
  EXPECT_FALSE(read(luids[0]));
  // The name back on the first interface: its row again, read from what its files hold now.
  fsys::remove_all(dir.path + "/sys/class/net/eth0");
  fsys::rename(dir.path + "/sys/class/net/eth1", dir.path + "/sys/class/net/eth0");
  put(dir.path + "/sys/class/net/eth0/statistics/rx_bytes", "300\n");
  ASSERT_TRUE(read(luids[0]));
  EXPECT_EQ(row.in_octets, 300u);
  fsys::remove_all(dir.path + "/sys/class/net/eth0");
  EXPECT_FALSE(read(luids[0]));
}

// However many interfaces are read, the files kept stay within their bound, and closing the reader closes them all.
TEST(Interfaces, FilesKeptAreBoundedAndClosedWithTheReader) {
  testutil::TempDir dir;
  for (u32 i = 0; i < 12; ++i) interface(dir.path, "veth" + std::to_string(i), i + 2, i);
  const u32 before = open_descriptors();
  {
    Reader reader(dir.path);
    u64 luids[16];
    ASSERT_EQ(net::interfaces(reader.r, luids, 16), 12u);
    for (u32 pass = 0; pass < 3; ++pass) {
      sysinfo::begin_sample(reader.r);
      for (u32 i = 0; i < 12; ++i) {
        sysrec::IfRow row{};
        row.luid = luids[i];
        ASSERT_TRUE(net::interface_row(reader.r, &row));
        EXPECT_EQ(row.in_octets, i);
      }
    }
    EXPECT_LE(open_descriptors(), before + 2 + sysinfo::nic_files_most * sysinfo::nic_attributes);
  }
  EXPECT_EQ(open_descriptors(), before);
}

// A kept file below the proc folder's "self" tells of the process that reads it, also in a child forked after it was
// opened.
TEST(FixedFiles, SelfIsTheReaderAfterAForkAndEachReadIsWhole) {
  Reader reader("/");
  char buffer[512];
  std::string_view text;
  ASSERT_TRUE(sysinfo::read_fixed_small(reader.r, "self/stat", buffer, sizeof buffer, &text));
  EXPECT_EQ(sysinfo::number_of(text), static_cast<u64>(getpid()));
  pid_t child = fork();
  if (child == 0) {
    bool own = sysinfo::read_fixed_small(reader.r, "self/stat", buffer, sizeof buffer, &text) &&
               sysinfo::number_of(text) == static_cast<u64>(getpid());
    _exit(own ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // A file made record by record, read again from its start: the whole file each time, as a read by path has it.
  auto lines = [](std::string_view t) { return std::count(t.begin(), t.end(), '\n'); };
  std::string_view got;
  ASSERT_TRUE(sysinfo::read_file(reader.r, reader.r->proc, "diskstats", &got));
  const auto by_path = lines(got);
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(sysinfo::read_fixed(reader.r, "diskstats", false, &got));
    EXPECT_EQ(lines(got), by_path);
  }
}

}  // namespace

namespace {

// The raw array of a counter as name -> (first, second).
struct RawArray {
  std::vector<std::string> names;
  std::vector<i64> first, second;
};
RawArray read_raw(u64 counter) {
  std::vector<u8> buffer(8192);
  u32 bytes = 0, count = 0;
  RawArray a;
  if (pdh::raw_array(counter, mem::Slice{buffer.data(), buffer.size()}, &bytes, &count) != pdh::success) return a;
  for (u32 k = 0; k < count; ++k) {
    sysrec::RawItem item;
    memcpy(&item, buffer.data() + k * sizeof item, sizeof item);
    std::string name;
    for (u64 i = item.name_address - reinterpret_cast<u64>(buffer.data()); i + 1 < bytes && buffer[i]; i += 2) {
      name += static_cast<char>(buffer[i]);
    }
    a.names.push_back(name);
    a.first.push_back(item.first);
    a.second.push_back(item.second);
  }
  return a;
}

}  // namespace

TEST(CounterQuery, GraphicsInstancesFromDrmClients) {
  Reader reader(fixture("laptop"));
  u64 q = pdh::open_query(reader.r);
  u64 dedicated = pdh::add_counter(q, mem::lit("\\GPU Adapter Memory(*)\\Dedicated Usage"));
  u64 engines = pdh::add_counter(q, mem::lit("\\GPU Engine(*)\\Utilization Percentage"));
  u64 memory = pdh::add_counter(q, mem::lit("\\GPU Process Memory(*)\\Local Usage"));
  ASSERT_EQ(pdh::collect(q), pdh::success);
  // The adapter is listed though its driver tells no memory use.
  Array adapters = read_array(dedicated, pdh::fmt_large);
  ASSERT_EQ(adapters.names.size(), 1u);
  EXPECT_EQ(adapters.names[0], "luid_0x00000000_0x00000200_phys_0");
  EXPECT_EQ(adapters.status[0], pdh::status_invalid);
  // Busy time in 100 ns units; the video engine has two instances, so its busy time counts half.
  RawArray e = read_raw(engines);
  std::vector<std::string> names = {
      "pid_1500_luid_0x00000000_0x00000200_phys_0_eng_0_engtype_3D",
      "pid_1500_luid_0x00000000_0x00000200_phys_0_eng_2_engtype_Copy",
      "pid_1500_luid_0x00000000_0x00000200_phys_0_eng_6_engtype_Video",
      "pid_1500_luid_0x00000000_0x00000200_phys_0_eng_7_engtype_Video",
  };
  EXPECT_EQ(e.names, names);
  ASSERT_EQ(e.first.size(), 4u);
  EXPECT_EQ(e.first[0], 92888647);
  EXPECT_EQ(e.first[2], 2000000);
  EXPECT_GT(e.second[0], 0);
  Array m = read_array(memory, pdh::fmt_large);
  ASSERT_EQ(m.names.size(), 1u);
  EXPECT_EQ(m.names[0], "pid_1500_luid_0x00000000_0x00000200_phys_0");
  EXPECT_EQ(m.value[0], 0);
  pdh::close_query(q);

  // A process whose file is no DRM client (no client id) and one whose info is gone add nothing.
  testutil::TempDir dir;
  fsys::copy(fixture("laptop"), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  put(dir.path + "/proc/1500/fdinfo/9", "pos:\t0\nflags:\t02100002\ndrm-driver:\ti915\n");
  Reader copy(dir.path);
  q = pdh::open_query(copy.r);
  engines = pdh::add_counter(q, mem::lit("\\GPU Engine(*)\\Utilization Percentage"));
  ASSERT_EQ(pdh::collect(q), pdh::success);
  EXPECT_TRUE(read_raw(engines).names.empty());
  pdh::close_query(q);
}
