// The publish settings as a user changes them in the running window, outside --test on an X server of the test's
// own: switching publishing off in Settings starts this computer's own history at once, and a target typed in
// Settings is the one the Machines page dials, without a restart.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

using driver::until;

constexpr u32 wait_ms = 90000;  // the sanitized program on a loaded machine
constexpr u32 wm_keydown = 0x0100, wm_char = 0x0102, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;
constexpr u32 vk_return = 0x0D, vk_up = 0x26;
// Where the Settings page's controls are at 1280 x 800 with the page at its top.
constexpr i32 publish_x = 460, publish_y = 492, field_x = 600, target_y = 528;
const std::string key_line = "vimbrel-key 1 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n";

// A loopback listener on a free port that tells whether anybody connected.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  u16 port = 0;
  Listener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 8) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  std::string target() const { return "127.0.0.1:" + std::to_string(port); }
  bool dialled(u32 timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_ms)) != 1) return false;
    const int c = accept(fd, nullptr, nullptr);
    if (c >= 0) close(c);
    return c >= 0;
  }
};

// The path of this machine's newest-tier ring under the data folder; empty while there is none.
std::string ring_path(const std::string& data) {
  std::error_code e;
  if (!std::filesystem::exists(data + "/Vimbrel/history", e)) return "";
  for (const auto& f : std::filesystem::recursive_directory_iterator(data + "/Vimbrel/history", e))
    if (f.path().filename() == "t0.ring") return f.path().string();
  return "";
}

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  chmod(path.c_str(), 0600);
}

TEST(PublishSettings, SettingsChangesReachTheHistoryWriterAndTheMachinesPageAtOnce) {
  driver::Session d;
  xvfb::Server x{d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
  if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  Listener first, typed;
  ASSERT_NE(first.port, 0);
  ASSERT_NE(typed.port, 0);
  const std::string cfg = d.folder() + "/cfg/Vimbrel";
  std::filesystem::create_directories(cfg);
  write(cfg + "/cluster.key", key_line);
  write(cfg + "/publish.txt", "vimbrel-publish 1\npublish on\ntarget " + first.target() + "\n");

  d.use_display(x.display);
  d.outside_test();
  ASSERT_TRUE(d.start(VIMBREL_EXE, "", {"--view", "33"}));
  ASSERT_TRUE(d.find_window("Vimbrel", wait_ms));
  auto input = [&](u32 message, u32 wparam, i64 lparam = 0) { return d.post(message, wparam, lparam); };
  auto click = [&](i32 cx, i32 cy) {
    return input(wm_lbuttondown, 1, driver::at(cx, cy)) && input(wm_lbuttonup, 0, driver::at(cx, cy));
  };
  ASSERT_TRUE(first.dialled(wait_ms)) << "the window publishes to the target it started with";
  EXPECT_EQ(ring_path(d.folder() + "/data"), "") << "no local history while publishing";

  // Publishing off: the window keeps this computer's history itself from the next ticks on.
  ASSERT_TRUE(click(publish_x, publish_y));
  // The ring is made at its full length, so what grows is what it holds: its bytes change as records come in.
  std::string ring;
  ASSERT_TRUE(until([&] { return !(ring = ring_path(d.folder() + "/data")).empty(); }))
      << "t0.ring was not made after publishing was switched off";
  const std::string before = testutil::read_file(ring);
  EXPECT_TRUE(until([&] { return testutil::read_file(ring) != before; })) << "t0.ring takes no records";

  // A target typed in Settings is the one the Machines page dials.
  ASSERT_TRUE(click(field_x, target_y));
  for (char c : "\x01" + typed.target()) ASSERT_TRUE(input(wm_char, static_cast<u8>(c)));
  ASSERT_TRUE(input(wm_keydown, vk_return));
  ASSERT_TRUE(until([&] {
    return testutil::read_file(cfg + "/publish.txt").find("target " + typed.target()) != std::string::npos;
  })) << testutil::read_file(cfg + "/publish.txt");
  ASSERT_TRUE(input(wm_keydown, vk_up) && input(wm_keydown, vk_return));
  EXPECT_TRUE(typed.dialled(wait_ms)) << "the Machines page did not dial the typed target";
  EXPECT_EQ(d.end(), 0);
}

}  // namespace
