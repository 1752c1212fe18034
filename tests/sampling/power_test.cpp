// Batteries, thermal zones, wrapping energy counters and drive models, from fixture machines through the collector,
// the usage pass and the report, as `--print` shows them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "sampling/collect.h"
#include "sampling/hw.h"
#include "sampling/print.h"
#include "sampling/usage.h"
#include "tests/sampling/machines.h"
#include "tests/support/testutil.h"

namespace {

namespace fsys = std::filesystem;

void capture(void* context, mem::Bytes bytes) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes.ptr), bytes.len);
}

void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A collector on a machine's tree, with the usage of its last two samples.
struct Machine {
  std::unique_ptr<collect::State> state = std::make_unique<collect::State>();
  std::unique_ptr<collect::Sample> a = std::make_unique<collect::Sample>(), b = std::make_unique<collect::Sample>();
  usage::RateState rates{};
  std::unique_ptr<usage::Usage> u = std::make_unique<usage::Usage>();
  ring::Row row{};
  explicit Machine(const std::string& root) {
    EXPECT_TRUE(collect::open_at(state.get(), 10000, machines::bytes(root)));
  }
  ~Machine() { collect::close(state.get()); }
  void first() { EXPECT_TRUE(collect::sample(state.get(), a.get())); }
  void second() {
    EXPECT_TRUE(collect::sample(state.get(), b.get()));
    usage::reset(&rates);
    usage::system(&rates, a.get(), u.get(), &row);
    usage::system(&rates, b.get(), u.get(), &row);
  }
  std::string system_report() {
    std::string text;
    print::system(print::Out{capture, &text}, u.get(), &row);
    return text;
  }
  std::string hardware_report() {
    auto h = std::make_unique<hw::Hardware>();
    auto extra = std::make_unique<hw::Adapters>();
    collect::hardware(state.get(), h.get(), extra.get());
    std::string text;
    print::hardware(print::Out{capture, &text}, h.get(), extra.get(), u.get(), state->performance);
    return text;
  }
};

std::string copy_of(const std::string& machine, const testutil::TempDir& dir) {
  fsys::copy(machines::fixture(machine), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  return dir.path;
}

TEST(PowerReport, LaptopShowsItsBatteryAndThermalZones) {
  Machine m(machines::fixture("laptop"));
  m.first();
  m.second();
  std::string report = m.system_report();
  EXPECT_NE(report.find("\nbattery 0: 75 % discharging\nthermal zone 0: 45.0 C\nthermal zone 1: 52.5 C\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("battery 1"), std::string::npos);  // the mouse's battery is not the laptop's
  EXPECT_EQ(report.find("truncated"), std::string::npos);

  // A machine without either prints neither.
  Machine bare(machines::fixture("bare"));
  bare.first();
  bare.second();
  report = bare.system_report();
  EXPECT_EQ(report.find("battery"), std::string::npos);
  EXPECT_EQ(report.find("thermal zone"), std::string::npos);
}

// The package counter passes its range between two samples: the interval still has its power, computed over the
// wrap. The DRAM counter goes back too but says nothing of its range, so that part has no power this interval.
TEST(PowerReport, WrappingEnergyCounterGivesTheIntervalsPower) {
  testutil::TempDir dir;
  const std::string root = copy_of("laptop", dir);
  const std::string rapl = root + "/sys/class/powercap/";
  const u64 range = 262143328850;
  put(rapl + "intel-rapl:0/energy_uj", std::to_string(range - 1500000) + "\n");  // 1.5 J before the wrap
  Machine m(root);
  m.first();
  put(rapl + "intel-rapl:0/energy_uj", "500000\n");  // and 0.5 J after it
  put(rapl + "intel-rapl:0:2/energy_uj", "1000\n");
  usleep(100000);
  m.second();
  ASSERT_EQ(m.a->wraps[0], m.b->wraps[0]);
  ASSERT_GT(m.b->stamps[0], m.a->stamps[0]);
  // 2 J over the stamps' interval (100 ns units), in tenths of a watt.
  const double seconds = static_cast<double>(m.b->stamps[0] - m.a->stamps[0]) / 1e7;
  const double tenths = 2.0 / seconds * 10;
  EXPECT_NEAR(m.u->power[0], tenths, tenths / 1000 + 1);
  EXPECT_GT(m.u->power[0], 0);
  EXPECT_EQ(m.u->power[1], 0);
  EXPECT_EQ(m.u->power_flags & 0b1111, 0b1001);  // cpu from the wrap, system from the battery's drain
  // Without the range the same wrap leaves the part without power for the interval, never a huge figure.
  fsys::remove(rapl + "intel-rapl:0/max_energy_range_uj");
  Machine n(root);
  put(rapl + "intel-rapl:0/energy_uj", std::to_string(range - 1500000) + "\n");
  n.first();
  put(rapl + "intel-rapl:0/energy_uj", "500000\n");
  usleep(10000);
  n.second();
  EXPECT_EQ(n.b->wraps[0], 0u);
  EXPECT_EQ(n.u->power[0], 0);
  EXPECT_EQ(n.u->power_flags & 1, 0);
}

// A virtio disk's vendor attribute is its PCI vendor id: never a model. It reads its model file, else shows "-".
TEST(PowerReport, VirtioDiskModelIsNeverABusId) {
  testutil::TempDir dir;
  const std::string root = copy_of("bare", dir);
  {
    Machine m(root);
    m.first();
    m.second();
    ASSERT_EQ(m.u->disks, 1u);
    std::string report = m.hardware_report();
    EXPECT_NE(report.find(" type: HDD (Other) model: -\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("0x1af4"), std::string::npos) << report;
  }
  put(root + "/sys/devices/pci0000:00/0000:00:04.0/virtio2/model", "QEMU HARDDISK   \n");
  Machine m(root);
  m.first();
  m.second();
  std::string report = m.hardware_report();
  EXPECT_NE(report.find(" model: QEMU HARDDISK\n"), std::string::npos) << report;
}

}  // namespace
