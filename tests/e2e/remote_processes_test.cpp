// The Processes page of a machine opened on the Machines page, in the built window under --test: the page lists the
// copy of that machine's processes (sorted, filtered, hovered and selected as this computer's), refuses the context
// menu and the Delete key on them, and gives this computer's list back once the window returns to this computer.
// Once with a demo machine fed from this computer's demo table, once with a real host and agent on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/page_window.h"
#include "tests/host/net.h"
#include "tests/support/testutil.h"

namespace {

using pages::machine_row_y, pages::page_of, pages::pixel, pages::rows_drawn, pages::sort_mark_x, pages::vk_return,
    pages::vk_up, pages::wait_ms, pages::wm_mousemove;
constexpr u32 wm_rbuttonup = 0x0205;
constexpr u32 vk_escape = 0x1B, vk_down = 0x28, vk_delete = 0x2E;
constexpr u32 driver_menu_choice = driver::app + 0x19, driver_machines = driver::app + 0x1F;
constexpr u32 word_outcomes = 44;

i32 process_row_y(u32 r) { return 144 + 16 * static_cast<i32>(r) + 8; }

struct Window : pages::Window {
  bool open(const std::vector<std::string>& extra = {}) { return open_on_settings(extra); }
  bool pointer_away() { return d.input(wm_mousemove, 0, driver::at(100, 700)); }
  // The keyboard down the rail past its last entry (Settings), then up over Machines to Processes, Enter.
  bool to_processes() {
    return key(vk_down, 48) && key(vk_up, 2) && key(vk_return) && frame() && page_of(d.value()) == 2;
  }
  // The rail's board entry goes back to this computer's Overview.
  bool to_this_computer() { return click(100, 76) && frame() && page_of(d.value()) == 3; }
};

// A demo machine is fed from this computer's demo table every second tick: before its first process frame its page
// lists nothing, afterwards the copy's rows are listed and answer to the page's input, while the context menu and
// Delete do nothing on them.
TEST(RemoteProcesses, DemoMachinesPageListsItsCopyAndRefusesActions) {
  Window w;
  ASSERT_TRUE(w.open({"--tops"}));  // this computer's table is taken on ticks while its Processes page is not shown
  ASSERT_TRUE(w.to_machines());
  // Six demo machines; the first member row opens its machine, fed with this computer's demo rows.
  ASSERT_TRUE(w.d.post(driver_machines, 6 | (2 << 12)));
  ASSERT_TRUE(w.click(400, machine_row_y(1)));
  ASSERT_TRUE(w.frame());
  ASSERT_EQ(page_of(w.d.value()), 0u);
  ASSERT_TRUE(w.to_processes());
  ASSERT_TRUE(w.pointer_away());
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(rows_drawn(w.d.frame()), 0u) << "no process frame of the machine yet";

  for (int i = 0; i < 2; ++i) ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());
  driver::Frame f = w.d.frame();
  const u32 copy_rows = rows_drawn(f);
  EXPECT_GE(copy_rows, 30u) << "the copy's rows";
  const i32 cpu_mark = sort_mark_x(f);
  EXPECT_GT(cpu_mark, 600) << "sorted by CPU at first";

  // Header, filter, hover and selection work on the copy's list.
  ASSERT_TRUE(w.click(300, 130));
  ASSERT_TRUE(w.frame());
  const i32 name_mark = sort_mark_x(w.d.frame());
  EXPECT_GT(name_mark, 244);
  EXPECT_LT(name_mark, cpu_mark);
  ASSERT_TRUE(w.type("qqzz"));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(rows_drawn(w.d.frame()), 0u);
  ASSERT_TRUE(w.key(vk_escape));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(rows_drawn(w.d.frame()), copy_rows);
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(400, process_row_y(6) - 3)));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, process_row_y(6)), pixel(0x373737)) << "hovered row";
  EXPECT_EQ(f.at(420, process_row_y(8) + 12), pixel(0x302620)) << "details box";
  ASSERT_TRUE(w.click(400, process_row_y(2)));
  ASSERT_TRUE(w.key(vk_down));
  ASSERT_TRUE(w.pointer_away());
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(250, process_row_y(2)), pixel(0x201814));
  EXPECT_EQ(f.at(250, process_row_y(3)), pixel(0x463A2C)) << "selected by the click, then Down";

  // Another machine's processes cannot be acted on: no menu, no outcome, Delete does nothing.
  ASSERT_TRUE(w.d.post(driver_menu_choice, 2));
  ASSERT_TRUE(w.d.input(wm_rbuttonup, 0, driver::at(400, process_row_y(3))));
  ASSERT_TRUE(w.key(vk_delete));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.word(word_outcomes), 0u);

  // A filter left on the copy's list stays with it: back on this computer its own list is whole, and acts.
  ASSERT_TRUE(w.type("qqzz"));
  ASSERT_TRUE(w.to_this_computer());
  ASSERT_TRUE(w.to_processes());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.pointer_away());
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(rows_drawn(w.d.frame()), copy_rows);
  ASSERT_TRUE(w.d.input(wm_rbuttonup, 0, driver::at(400, process_row_y(3))));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.word(word_outcomes), 1u) << "the menu acts on this computer's rows again";
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

// A process of the test's own under a name no other process has, holding enough memory to stay among the rows an
// agent sends (the host's table keeps the busiest and largest ones); it sleeps until it is killed.
struct Marker {
  pid_t pid = -1;
  explicit Marker(const std::string& name) {
    pid = fork();
    if (pid != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_NAME, name.c_str());
    const size_t bytes = size_t{96} << 20;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block != MAP_FAILED) memset(block, 1, bytes);
    for (;;) pause();
  }
  void kill_now() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);  // our own child
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~Marker() { kill_now(); }
};

// The real host with one agent on this machine; the window under --test with live data opens the agent's machine
// and its Processes page. No tick is posted, so this computer's own table never changes: the marker process appears
// and, once killed, disappears only through the tables the agent publishes and the host relays.
TEST(RemoteProcesses, RealAgentsProcessesComeThroughTheHost) {
  testutil::TempDir dir;
  net::make_home(dir.path + "/host");
  u16 port = 0;
  net::Process host;
  for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
    const u16 tried = net::free_port();
    host.start({"--host", dir.path + "/share", "--port", std::to_string(tried), "--listen", "127.0.0.1"},
               dir.path + "/host");
    if (host.wait_output("vimbrel host: listening on port " + std::to_string(tried) + ", term 1", 30)) port = tried;
    else host.stop(SIGTERM);  // the port was taken meanwhile: another one
  }
  ASSERT_NE(port, 0) << host.out();
  net::Agent agent;
  agent.start(dir.path + "/agent", {"--agent", "--server", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(agent.process.wait_output("vimbrel agent: publishing to", 60)) << agent.process.out();

  Window w;
  const std::string base = w.d.settings();
  testutil::write_file(base + ".key", net::key_text());
  chmod((base + ".key").c_str(), 0600);
  testutil::write_file(base + ".publish",
                       "vimbrel-publish 1\npublish off\ntarget 127.0.0.1:" + std::to_string(port) + "\n");
  ASSERT_TRUE(w.open({"--live"}));
  ASSERT_TRUE(w.to_machines());
  const u32 online = pixel(0xD4EA5E);
  ASSERT_TRUE(w.until([&](const driver::Frame& f) { return f.at(247, machine_row_y(1)) == online; })) << host.out();

  const std::string name = "r1mark" + std::to_string(getpid() % 100000);
  Marker marker(name);
  ASSERT_GT(marker.pid, 0);
  ASSERT_TRUE(w.click(400, machine_row_y(1)));
  ASSERT_TRUE(w.frame());
  ASSERT_EQ(page_of(w.d.value()), 0u);
  ASSERT_TRUE(w.to_processes());
  ASSERT_TRUE(w.pointer_away());
  ASSERT_TRUE(w.type(name));
  ASSERT_TRUE(w.until([](const driver::Frame& f) { return rows_drawn(f) == 1; })) << "the marker is listed";

  const auto killed = std::chrono::steady_clock::now();
  marker.kill_now();
  ASSERT_TRUE(w.until([](const driver::Frame& f) { return rows_drawn(f) == 0; })) << "the host's next table drops it";
  // For the record (no bound is checked): how long a process's end takes to reach another machine's page.
  std::printf("a killed process left the remote list after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count());
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
  EXPECT_EQ(agent.process.stop(SIGTERM), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0);
}

}  // namespace
