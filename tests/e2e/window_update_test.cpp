// The window's side of an update, driven as the test driver does it: the updater's state set by its message, the
// restart decided on the test clock, the wait for the swap (the swap event stands for the updater), the relaunch
// written to restart.txt, the window that comes back when the new program would not start, urgent notices in
// urgent.txt, wakes in woken.txt, and the driver's steps of the sample source and the views.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/fmt.h"
#include "platform/kobj.h"
#include "platform/window.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;  // the sanitized program on a loaded machine

constexpr u32 wm_keydown = 0x0100, wm_mousemove = 0x0200;
constexpr u32 vk_down = 0x28;
constexpr u32 driver_update_state = driver::app + 0x12;

// wParam of the update-state message: status, failure reason, and the flags byte with bit 0 inverted.
u64 update_state(u32 status, u32 reason, u32 flags) { return status | (reason << 8) | ((flags ^ 1u) << 16); }
constexpr u32 checks_on = 1, automatic = 0x10;

struct Window {
  driver::Session d;
  bool open(const std::vector<std::string>& extra = {}) {
    return d.start(VIMBREL_EXE, lato, extra) && d.find_window("VimbrelTest", wait_ms);
  }
  bool frame() { return d.request_frame(wait_ms); }
  bool ticks(int n) {
    for (int i = 0; i < n; ++i)
      if (!d.post(driver::tick)) return false;
    return true;
  }
  // Sets the swap event: the updater is done.
  bool swapped() {
    u8 hex[fmt::hex_size];
    const mem::Slice digits = fmt::hex(d.window(), hex);
    const std::string name = "Local\\VimbrelSwap-" + std::string(reinterpret_cast<char*>(digits.ptr), digits.len);
    return kobj::signal_event(harness::bytes(name)) != 0;
  }
  bool alive() { return waitpid(d.pid(), nullptr, WNOHANG) == 0; }
  // Waits for a test file to hold exactly the text.
  bool file_is(const std::string& name, const std::string& text) {
    const long long deadline = forked::now_ms() + wait_ms;
    while (d.test_file(name) != text) {
      if (forked::now_ms() > deadline) return false;
      usleep(5000);
    }
    return true;
  }
};

// Automatic mode with a ready update: 29 idle seconds are not enough; at 30 the window hides, waits for the swap
// and relaunches unattended on the view it showed.
TEST(WindowUpdate, AutomaticRestartWaitsForTheSwapAndRelaunches) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "30"}));
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(3, 0, checks_on | automatic)));
  ASSERT_TRUE(w.ticks(29));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.test_file("restart.txt"), "");
  ASSERT_TRUE(w.ticks(1));
  // The window waits for the updater: no relaunch before the swap event is set.
  usleep(200000);
  EXPECT_TRUE(w.alive());
  EXPECT_EQ(w.d.test_file("restart.txt"), "");
  ASSERT_TRUE(w.swapped());
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
  EXPECT_EQ(w.d.test_file("restart.txt"), "--view 30 --unattended");
  EXPECT_NE(w.d.test_file("settings.txt"), "") << "the settings were saved before the relaunch";
}

// The Internet page is a view a relaunch comes back to: --view 65 opens it, and the restart asks for it again.
TEST(WindowUpdate, RelaunchFromTheInternetPage) {
  Window w;
  // The Internet entry of the rail shows while the probe is on; under --test its settings sit beside --settings.
  testutil::write_file(w.d.settings() + ".internet", "vimbrel-internet 1\ninternet on\nspeed off\n");
  ASSERT_TRUE(w.open({"--view", "65"}));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.status() >> 24, 65u);
  EXPECT_EQ(w.d.value() & 0xFF, 5u) << "the Internet page";
  ASSERT_TRUE(w.swapped());
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(3, 0, automatic)));
  ASSERT_TRUE(w.ticks(30));
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
  EXPECT_EQ(w.d.test_file("restart.txt"), "--view 65 --unattended");
}

// A minimized window with a ready update in automatic mode restarts at the next tick, and comes back minimized.
TEST(WindowUpdate, MinimizedWindowRestartsAtTheNextTick) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.swapped());
  ASSERT_TRUE(w.d.input(wm_keydown, vk_down, 0, driver::windows_key));  // Win+Down minimizes
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(3, 0, automatic)));
  ASSERT_TRUE(w.ticks(1));
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
  EXPECT_EQ(w.d.test_file("restart.txt"), "--view 31 --unattended --minimized");
}

// On an X server with no window manager nothing iconifies the window: Win+Down leaves it mapped and on view, so it
// is not taken as minimized, and a ready update waits for 30 idle seconds as for a window on view.
TEST(WindowUpdate, WindowThatStaysOnViewWithoutAWindowManagerIsNotMinimized) {
  Window w;
  xvfb::Server x{w.d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
  if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  w.d.use_display(x.display);
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.swapped());
  ASSERT_TRUE(w.d.input(wm_keydown, vk_down, 0, driver::windows_key));
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(3, 0, automatic)));
  ASSERT_TRUE(w.ticks(1));
  EXPECT_TRUE(w.d.request_frame(20000)) << "the window went down for the update";
  EXPECT_TRUE(w.alive());
  EXPECT_EQ(w.d.test_file("restart.txt"), "");
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

// When the new version would not start (reason 128), the relaunch fails: the window comes back, the version is
// marked failed, and the next ticks do not try again.
TEST(WindowUpdate, FailedRelaunchBringsTheWindowBack) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.swapped());
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(3, 128, automatic)));
  ASSERT_TRUE(w.ticks(30));
  ASSERT_TRUE(w.file_is("restart.txt", "--view 31 --unattended"));
  ASSERT_TRUE(w.frame()) << "the window is back";
  const std::string settings = w.d.test_file("settings.txt");
  EXPECT_NE(settings.find("0.1.1"), std::string::npos) << settings;
  std::remove((w.d.folder() + "/set/restart.txt").c_str());
  ASSERT_TRUE(w.ticks(40));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.test_file("restart.txt"), "") << "a failed version is not restarted again";
  EXPECT_EQ(w.d.end(), 0);
}

// An urgent notice (a missing program file) is written once when it appears and again at the close; a second start's
// wake message is counted; nothing of it blocks the loop.
TEST(WindowUpdate, NoticesAndWakesAreFiles) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(5, 24, checks_on)));
  const std::string notice =
      "The program file is missing. Rename C:\\Vimbrel\\vimbrel.exe.old-1 back to vimbrel.exe before Vimbrel closes, "
      "or it cannot start again.";
  ASSERT_TRUE(w.file_is("urgent.txt", "1 " + notice));
  ASSERT_TRUE(w.d.post(driver_update_state, update_state(5, 24, checks_on)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.test_file("urgent.txt"), "1 " + notice) << "shown once";

  const u32 wake = win::register_message(harness::bytes("Vimbrel-Wake"));
  ASSERT_TRUE(w.d.post(wake));
  ASSERT_TRUE(w.file_is("woken.txt", "1"));
  ASSERT_TRUE(w.d.post(wake));
  ASSERT_TRUE(w.file_is("woken.txt", "2"));
  ASSERT_TRUE(w.frame());

  EXPECT_EQ(w.d.end(), 0);
  EXPECT_EQ(w.d.test_file("urgent.txt"), "2 " + notice) << "the final notice at the close";
}

// Driver messages 0x21-0x26 are not handled and change nothing.
TEST(WindowUpdate, UnhandledDriverMessages) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, driver::at(300, 400)));
  ASSERT_TRUE(w.frame());
  const driver::Frame before = w.d.frame();
  const u32 status = w.d.status(), value = w.d.value();
  for (u32 n = 0x21; n <= 0x26; ++n) ASSERT_TRUE(w.d.post(driver::app + n, 1, 1));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.status(), status);
  EXPECT_EQ(w.d.value(), value);
  EXPECT_TRUE(w.d.frame().pixels == before.pixels);
  EXPECT_EQ(w.d.end(), 0);
}

// The driver's steps of the sample source and the views: a reset of the views redraws the same frame; a new
// processor count and an added disk change what the rail and the page show; the other steps keep the window serving.
TEST(WindowUpdate, SampleAndViewSteps) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "0"}));
  ASSERT_TRUE(w.frame());
  const driver::Frame first = w.d.frame();
  ASSERT_TRUE(w.d.post(driver::app + 0x14));  // reset the views
  ASSERT_TRUE(w.frame());
  EXPECT_TRUE(w.d.frame().pixels == first.pixels) << "everything drawn again, the same";

  ASSERT_TRUE(w.d.post(driver::app + 0x16, 8));  // eight processors
  ASSERT_TRUE(w.frame());
  const driver::Frame eight = w.d.frame();
  EXPECT_FALSE(eight.pixels == first.pixels);

  auto rail = [](const driver::Frame& f) {
    std::vector<u32> p;
    for (u32 y = 40; y < f.height; ++y)
      for (u32 x = 0; x < 220; ++x) p.push_back(f.at(x, y));
    return p;
  };
  ASSERT_TRUE(w.d.post(driver::app + 0x1E, u64{500} << 30));  // a third disk of 500 GiB
  ASSERT_TRUE(w.frame());
  EXPECT_FALSE(rail(w.d.frame()) == rail(eight)) << "the rail lists the new disk";

  for (u32 n : {0x13u, 0x15u, 0x18u, 0x19u, 0x1Au, 0x1Cu}) ASSERT_TRUE(w.d.post(driver::app + n, 4));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.status() >> 24, 0u) << "still the CPU view";
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
