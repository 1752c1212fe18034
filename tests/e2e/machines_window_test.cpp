// The Machines page in the built window under --test: opened from the rail with the keyboard, the demo machines
// drawn as a table of groups and rows, a header click saved to the test folder's machines file, a row opened into
// the resource views; and the same page against a real host with three agents on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e/page_window.h"
#include "tests/host/net.h"
#include "tests/support/testutil.h"

namespace {

using pages::pixel, pages::page_of, pages::wait_ms;
constexpr u32 driver_machines = driver::app + 0x1F;

u32 view_of(u32 status) { return status >> 24; }
i32 row_y(u32 r) { return pages::machine_row_y(r); }

struct Window : pages::Window {
  bool open(const std::vector<std::string>& extra = {}) { return open_on_settings(extra); }
  bool click(i32 x, i32 y) { return pages::Window::click(x, y, false); }
};

TEST(MachinesWindow, DemoMachinesTableHeaderClickAndOpeningOne) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.to_machines());
  driver::Frame empty = w.d.frame();
  EXPECT_EQ(empty.at(300, row_y(0)), pixel(0x201814)) << "no key, no table";

  // Six demo machines, build-01 the host: Windows (render-02, this-pc), Linux (build-01, nas), Android, iOS.
  ASSERT_TRUE(w.d.post(driver_machines, 6 | (2 << 12)));
  ASSERT_TRUE(w.frame());
  driver::Frame table = w.d.frame();
  EXPECT_EQ(table.at(600, row_y(0)), pixel(0x281F18)) << "group header";
  EXPECT_EQ(table.at(600, row_y(1) - 12), pixel(0x463A2C)) << "the first member selected";
  EXPECT_EQ(table.at(247, row_y(1)), pixel(0x4DD3FC)) << "render-02 stale";
  EXPECT_EQ(table.at(239, row_y(4)), pixel(0x1AA2E0)) << "the host's bar at build-01";
  EXPECT_EQ(table.at(247, row_y(4)), pixel(0x4DD3FC)) << "build-01 stale";
  EXPECT_EQ(table.at(247, row_y(5)), pixel(0x707070)) << "nas offline";
  EXPECT_EQ(table.at(247, row_y(2)), pixel(0xD4EA5E)) << "this-pc online";
  // The same state draws the same frame.
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.frame().pixels, table.pixels);

  // A click on the Name header sorts descending and is kept in the test folder's machines file.
  ASSERT_TRUE(w.click(244 + 120, 138));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(testutil::read_file(w.d.settings() + ".machines"),
            "vimbrel-machines 1\nsort_column 1\nsort_descending 1\ncollapsed 00\nfilter \n");
  EXPECT_NE(driver::hash_of(w.d.frame(), 244, 152, 1256, 152 + 28 * 10),
            driver::hash_of(table, 244, 152, 1256, 152 + 28 * 10));

  // A click on this-pc (now the first Windows row) opens it in the resource views: the CPU view of the copy.
  ASSERT_TRUE(w.click(400, row_y(1)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(page_of(w.d.value()), 0u);
  EXPECT_EQ(view_of(w.d.status()), 0u) << "the CPU view";
  driver::Frame remote = w.d.frame();
  // Ticks feed the copy with this computer's demo rows: the view changes with them.
  ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());
  EXPECT_NE(w.d.frame().pixels, remote.pixels);
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

// The real host with three agents on this machine; the window under --test with live data reads the cluster files
// of its test folder, lists the three machines and opens one into the CPU view, fed by the host.
TEST(MachinesWindow, RealHostThreeAgentsAndARemoteCpuView) {
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  net::make_home(dir.path + "/host");
  u16 port = net::free_port();
  net::Process host;
  host.start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"}, dir.path + "/host");
  ASSERT_TRUE(host.wait_output("vimbrel host: listening on port " + std::to_string(port) + ", term 1", 30))
      << host.out();
  net::Agent agents[3];
  std::vector<std::string> to_host = {"--agent", "--server", "127.0.0.1:" + std::to_string(port)};
  for (u32 i = 0; i < 3; ++i) agents[i].start(dir.path + "/agent" + std::to_string(i), to_host);
  for (net::Agent& a : agents) {
    ASSERT_TRUE(a.process.wait_output("vimbrel agent: publishing to", 60)) << a.process.out();
  }

  Window w;
  std::string base = w.d.settings();
  testutil::write_file(base + ".key", net::key_text());
  chmod((base + ".key").c_str(), 0600);
  testutil::write_file(base + ".publish", "vimbrel-publish 1\npublish off\ntarget 127.0.0.1:" + std::to_string(port) + "\n");
  ASSERT_TRUE(w.open({"--live"}));
  ASSERT_TRUE(w.to_machines());
  // One group (Linux) with three online machines, then the footer of the update controls.
  const u32 online = pixel(0xD4EA5E), header = pixel(0x281F18);
  ASSERT_TRUE(w.until([&](const driver::Frame& f) {
    return f.at(600, row_y(0)) == header && f.at(247, row_y(1)) == online && f.at(247, row_y(2)) == online &&
           f.at(247, row_y(3)) == online && f.at(247, row_y(4)) != online && f.at(600, row_y(4)) != header;
  })) << host.out();

  // The first machine opens in the CPU view; the host's samples keep changing it while this computer's own figures
  // stand still (no ticks are posted).
  ASSERT_TRUE(w.click(400, row_y(1)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(page_of(w.d.value()), 0u);
  EXPECT_EQ(view_of(w.d.status()), 0u);
  const driver::Frame opened = w.d.frame();
  const u64 first = driver::hash_of(opened, 244, 60, opened.width - 24, opened.height - 24);
  ASSERT_TRUE(w.until(
      [&](const driver::Frame& f) { return driver::hash_of(f, 244, 60, f.width - 24, f.height - 24) != first; }));
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
  for (net::Agent& a : agents) EXPECT_EQ(a.process.stop(SIGTERM), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0);
}

}  // namespace
