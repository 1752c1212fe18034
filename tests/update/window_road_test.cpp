// The whole update road in the window, as a user meets it: a copy of the program runs outside --test on an X server
// of the test's own, with its per-user folders in the test's folder and its update feed on a loopback server that
// offers a newer release signed by the test key (a copy of this build that reports 0.1.82). The window checks,
// the banner offers the version, Update now downloads and verifies it, the window restarts into it (the swap
// replaces the program file), and the new version comes up and shows that it was updated.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "drawing/draw.h"
#include "platform/section.h"
#include "platform/window.h"
#include "release.h"
#include "tests/platform/forked.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "update/updstate.h"

namespace {

constexpr u32 wait_ms = 180000;  // the sanitized program, a 34 MB release and a loaded machine
constexpr u32 wm_close = 0x0010, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;
// Colours as the frame record holds them (0xAARRGGBB): the banner's text and the "updated to" badge's fill.
constexpr u32 banner_text = 0xFFFCD34Du, badge_fill = 0xFF5C3A10u;

u32 count(const driver::Frame& f, u32 argb, u32 x0, u32 y0, u32 x1, u32 y1) {
  u32 n = 0;
  for (u32 y = y0; y < y1 && y < f.height; ++y)
    for (u32 x = x0; x < x1 && x < f.width; ++x) n += f.at(x, y) == argb;
  return n;
}



template <typename Holds>
bool poll_until(Holds holds) {
  const long long deadline = forked::now_ms() + wait_ms;
  while (!holds()) {
    if (forked::now_ms() > deadline) return false;
    usleep(20000);
  }
  return true;
}

updstate::Settings stored(const std::string& path) {
  updstate::Settings s;
  updstate::load(release::bytes(path), &s);
  return s;
}

// The window of the class that a process other than the first one shows; 0 while there is none.
u64 other_window(u32 first_pid) {
  for (u64 w = win::find_window(mem::lit("Vimbrel"), 0); w != 0; w = win::find_window(mem::lit("Vimbrel"), w))
    if (win::process_of(w) != first_pid) return w;
  return 0;
}

// Counts pixels of the colour in the frame that a window last presented (its frame record); 0 when it has none yet.
u32 count_in_record(u64 window, u32 argb, u32 x0, u32 y0, u32 x1, u32 y1) {
  u8 name[64];
  const u32 n = draw::frame_name(window, name);
  section::Section record{};
  if (section::open(mem::Bytes(name, n), &record) != section::ok) return 0;
  auto word = [&](u32 offset) { return __atomic_load_n(reinterpret_cast<const u32*>(record.view + offset), __ATOMIC_ACQUIRE); };
  driver::Frame f;
  f.width = word(draw::word_width);
  f.height = word(draw::word_height);
  const u32 stride = word(draw::word_stride);
  if (stride >= f.width && draw::frame_header + u64(stride) * f.height * 4 <= record.size) {
    const u32* p = reinterpret_cast<const u32*>(record.view + draw::frame_header);
    for (u32 y = 0; y < f.height; ++y) f.pixels.insert(f.pixels.end(), p + u64(y) * stride, p + u64(y) * stride + f.width);
  } else {
    f = driver::Frame{};
  }
  section::close(&record);
  return f.width ? count(f, argb, x0 < f.width ? x0 : 0, y0, x1, y1) : 0;
}

// The new version is started by the window, not by this test: it is closed here, and ended when it does not go.
struct Relaunched {
  pid_t pid = 0;
  ~Relaunched() { stop(); }
  bool gone() const { return pid <= 0 || kill(pid, 0) != 0; }
  void stop() {
    if (gone()) return;
    kill(pid, SIGKILL);
    poll_until([&] { return gone(); });
  }
};

TEST(WindowRoad, BannerOffersUpdateNowInstallsAndTheNewVersionComesUp) {
  release::World world;
  const std::string release_body = testutil::read_file(VIMBREL_EXE) + "VIMBREL-TEST-VERSION 0.1.82\n";
  world.publish(release_body, "0.1.82");
  driver::Session d;
  xvfb::Server x(d.folder() + "/xvfb.log", true, "1600x1000x24", "96");
  ASSERT_FALSE(x.display.empty());
  d.use_display(x.display);
  d.outside_test();
  const std::string settings = d.folder() + "/cfg/Vimbrel/settings.txt";

  // The first tick finds a check due (never checked): the ask setting offers the newer version on the banner.
  ASSERT_TRUE(d.start(world.program, ""));
  ASSERT_TRUE(d.find_window("Vimbrel", wait_ms));
  ASSERT_TRUE(poll_until([&] { return stored(settings).status == updstate::status_available; }))
      << "status " << int(stored(settings).status) << ", reason " << int(stored(settings).failure_reason);
  EXPECT_EQ(stored(settings).last_version[2], 82);
  driver::Frame f;
  ASSERT_TRUE(poll_until([&] {
    f = d.frame();
    return f.width > 500 && driver::count_near(f, banner_text, 0x18, 150, 0, f.width - 474, 40) > 20;
  })) << "the banner's text";
  EXPECT_EQ(testutil::read_file(world.program), testutil::read_file(VIMBREL_EXE)) << "nothing installed yet";

  // Update now: the release is downloaded and verified, and the window restarts into it as the user asked.
  const i64 update_now = driver::at(static_cast<i32>(f.width) - 420, 20);
  ASSERT_TRUE(d.post(wm_lbuttondown, 1, update_now));
  ASSERT_TRUE(d.post(wm_lbuttonup, 0, update_now));
  Relaunched next;
  ASSERT_TRUE(poll_until([&] { return other_window(static_cast<u32>(d.pid())) != 0; })) << "the new version's window";
  const u64 window = other_window(static_cast<u32>(d.pid()));
  next.pid = static_cast<pid_t>(win::process_of(window));
  EXPECT_EQ(d.end(false, wait_ms), 0) << "the old window ends once the new one is up";
  EXPECT_TRUE(testutil::read_file(world.program) == release_body) << "the program file is the release";
  struct stat st{};
  ASSERT_EQ(stat(world.program.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // The new version takes the installed state: up to date, and says it was updated.
  ASSERT_TRUE(poll_until([&] { return stored(settings).status == updstate::status_up_to_date; }))
      << "status " << int(stored(settings).status);
  EXPECT_EQ(stored(settings).last_version[2], 82);
  const std::string command = testutil::read_file("/proc/" + std::to_string(next.pid) + "/cmdline");
  EXPECT_EQ(command, world.program + std::string("\0--view\0" "31\0", 11))
      << "relaunched on the same view, not unattended: the user asked";
  EXPECT_TRUE(poll_until([&] { return count_in_record(window, badge_fill, 900, 8, 1280, 32) > 200; }))
      << "the \"updated to\" badge";

  EXPECT_EQ(win::post_remote(window, wm_close, 0, 0), win::ok);
  EXPECT_TRUE(poll_until([&] { return next.gone(); })) << "the new version closes";
}

}  // namespace
