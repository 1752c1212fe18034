// The whole update road in the window, as a user meets it: a copy of the program runs outside --test on an X server
// of the test's own, with its per-user folders in the test's folder and its update feed on a loopback server that
// offers a newer release signed by the test key. The window checks, the banner offers the version, Update now
// downloads and verifies it, and the window restarts into it (the swap replaces the program file): a release that
// comes up shows that it was updated; one that does not is put back and the window comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "drawing/draw.h"
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

template <typename Holds>
bool poll_until(Holds holds) {
  const long long deadline = forked::now_ms() + wait_ms;
  while (!holds()) {
    if (forked::now_ms() > deadline) return false;
    usleep(20000);
  }
  return true;
}

// The words as a process's command line in /proc reads: each ended by a NUL.
std::string command_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += w + std::string(1, '\0');
  return line;
}

// The window of the class that a process other than the first one shows; 0 while there is none.
u64 other_window(u32 first_pid) {
  for (u64 w = win::find_window(mem::lit("Vimbrel"), 0); w != 0; w = win::find_window(mem::lit("Vimbrel"), w))
    if (win::process_of(w) != first_pid) return w;
  return 0;
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

// The world, the X server and the window's session; the release is published before the window starts.
struct Road {
  release::World world;
  driver::Session d;
  xvfb::Server x{d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
  const std::string settings = d.folder() + "/cfg/Vimbrel/settings.txt";
  const std::string original = testutil::read_file(VIMBREL_EXE);

  updstate::Settings stored() const {
    updstate::Settings s;
    updstate::load(release::bytes(settings), &s);
    return s;
  }
  void start(const std::vector<std::string>& words = {}) {
    ASSERT_FALSE(x.display.empty());
    d.use_display(x.display);
    d.outside_test();
    ASSERT_TRUE(d.start(world.program, "", words));
    ASSERT_TRUE(d.find_window("Vimbrel", wait_ms));
  }
  // The first tick finds a check due (never checked): the ask setting offers the newer version on the banner. Then
  // Update now is clicked.
  void click(i32 x, i32 y) {
    ASSERT_TRUE(d.post(wm_lbuttondown, 1, driver::at(x, y)));
    ASSERT_TRUE(d.post(wm_lbuttonup, 0, driver::at(x, y)));
  }
  void offer_and_update_now(const std::vector<std::string>& words = {}) {
    start(words);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(poll_until([&] { return stored().status == updstate::status_available; }))
        << "status " << int(stored().status) << ", reason " << int(stored().failure_reason);
    EXPECT_EQ(stored().last_version[2], 82);
    driver::Frame f;
    ASSERT_TRUE(poll_until([&] {
      f = d.frame();
      return f.width > 500 && driver::count_near(f, banner_text, 0x18, 150, 0, f.width - 474, 40) > 20;
    })) << "the banner's text";
    EXPECT_TRUE(testutil::read_file(world.program) == original) << "nothing installed yet";
    click(static_cast<i32>(f.width) - 420, 20);
  }
};

TEST(WindowRoad, BannerOffersUpdateNowInstallsAndTheNewVersionComesUp) {
  Road r;
  const std::string release_body = r.original + "VIMBREL-TEST-VERSION 0.1.82\n";  // a build that says 0.1.82
  r.world.publish(release_body, "0.1.82");
  // The feed names release notes: the window fetches them as it offers the version.
  const std::string notes_path = "/downloads/vimbrel/v0.1.82/notes.txt";
  r.world.routes[notes_path] = release::Route{200, "- Faster start\n- Fewer wake-ups\n"};
  r.world.routes["/downloads/vimbrel/linux/x86_64/latest.txt"].body += "notes " + r.world.url(notes_path) + "\n";
  r.world.write_routes();
  r.offer_and_update_now();
  if (HasFatalFailure()) return;
  const std::string notes = r.d.folder() + "/cfg/Vimbrel/notes.txt";
  EXPECT_TRUE(poll_until([&] {
    return testutil::read_file(notes) == "vimbrel-notes 1 0.1.82\n- Faster start\n- Fewer wake-ups\n";
  })) << testutil::read_file(notes);

  // The release is downloaded and verified, and the window restarts into it as the user asked.
  Relaunched next;
  const long long clicked = forked::now_ms();
  ASSERT_TRUE(poll_until([&] { return other_window(static_cast<u32>(r.d.pid())) != 0; })) << "the new window";
  const u64 window = other_window(static_cast<u32>(r.d.pid()));
  RecordProperty("update_now_to_new_window_ms", std::to_string(forked::now_ms() - clicked));
  next.pid = static_cast<pid_t>(win::process_of(window));
  EXPECT_EQ(r.d.end(false, wait_ms), 0) << "the old window ends once the new one is up";
  EXPECT_TRUE(testutil::read_file(r.world.program) == release_body) << "the program file is the release";
  struct stat st{};
  ASSERT_EQ(stat(r.world.program.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // The new version takes the installed state: up to date, and says it was updated.
  ASSERT_TRUE(poll_until([&] { return r.stored().status == updstate::status_up_to_date; }))
      << "status " << int(r.stored().status);
  EXPECT_EQ(r.stored().last_version[2], 82);
  const std::string command = testutil::read_file("/proc/" + std::to_string(next.pid) + "/cmdline");
  EXPECT_EQ(command, command_line({r.world.program, "--view", "31"}))
      << "relaunched on the same view, not unattended: the user asked";
  auto badge = [&] {
    const driver::Frame f = driver::frame_of(window);
    u32 n = 0;
    for (u32 y = 8; y < 32 && y < f.height; ++y)
      for (u32 x = 900; x < f.width; ++x) n += f.at(x, y) == badge_fill;
    return n;
  };
  EXPECT_TRUE(poll_until([&] { return badge() > 200; })) << "the \"updated to\" badge";

  EXPECT_EQ(win::post_remote(window, wm_close, 0, 0), win::ok);
  EXPECT_TRUE(poll_until([&] { return next.gone(); })) << "the new version closes";
}

// In automatic mode nothing is asked: the release is downloaded at once, and the window restarts into it once it has
// had no input for 30 seconds (on the monotonic clock), unattended.
TEST(WindowRoad, AutomaticModeRestartsAfterThirtyIdleSecondsUnattended) {
  Road r;
  const std::string release_body = r.original + "VIMBREL-TEST-VERSION 0.1.82\n";
  r.world.publish(release_body, "0.1.82");
  updstate::Settings automatic;
  updstate::reset(&automatic);
  automatic.flags |= updstate::flag_automatic;
  mkdir((r.d.folder() + "/cfg/Vimbrel").c_str(), 0700);
  ASSERT_EQ(updstate::save(release::bytes(r.settings), &automatic), 0u);
  r.start();
  if (HasFatalFailure()) return;
  const long long started = forked::now_ms();  // the window's idle time began a moment before

  Relaunched next;
  ASSERT_TRUE(poll_until([&] { return other_window(static_cast<u32>(r.d.pid())) != 0; })) << "the new window";
  EXPECT_GE(forked::now_ms() - started, 30000) << "not before 30 idle seconds";
  const u64 window = other_window(static_cast<u32>(r.d.pid()));
  next.pid = static_cast<pid_t>(win::process_of(window));
  EXPECT_EQ(r.d.end(false, wait_ms), 0);
  EXPECT_TRUE(testutil::read_file(r.world.program) == release_body);
  const std::string command = testutil::read_file("/proc/" + std::to_string(next.pid) + "/cmdline");
  EXPECT_EQ(command, command_line({r.world.program, "--view", "31", "--unattended"}));
  ASSERT_TRUE(poll_until([&] { return r.stored().status == updstate::status_up_to_date; }));
  updstate::Settings after = r.stored();
  EXPECT_TRUE(updstate::is_automatic(&after)) << "the mode is kept";
  EXPECT_EQ(win::post_remote(window, wm_close, 0, 0), win::ok);
  EXPECT_TRUE(poll_until([&] { return next.gone(); })) << "the new version closes";
}

// A release that shows no window (it prints its version and ends) is put back: the program file is the one that ran
// before, the window comes back with the version marked failed, and a check asked on the Settings page finds the
// version again without offering it.
TEST(WindowRoad, ReleaseThatDoesNotComeUpIsPutBackAndTheWindowComesBack) {
  Road r;
  const release::FileId before = release::id_of(r.world.program);
  r.offer_and_update_now({"--view", "33"});  // the Settings page
  if (HasFatalFailure()) return;

  ASSERT_TRUE(poll_until([&] { return r.stored().status == updstate::status_failed; }))
      << "status " << int(r.stored().status);
  const updstate::Settings s = r.stored();
  EXPECT_EQ(s.failure_reason, updstate::reason_did_not_start);
  EXPECT_EQ(s.failed_version[2], 82);
  EXPECT_TRUE(release::id_of(r.world.program) == before) << "the very file that ran before is back";
  EXPECT_TRUE(testutil::read_file(r.world.program) == r.original);
  EXPECT_EQ(other_window(static_cast<u32>(r.d.pid())), 0u);
  // The window is back: shown and presenting again (it was hidden while the swap ran), and it ends on its close.
  const u32 frames = r.d.word(draw::word_frames);
  EXPECT_TRUE(poll_until([&] { return r.d.word(draw::word_frames) != frames; })) << "no frame since the put-back";
  EXPECT_EQ(kill(r.d.pid(), 0), 0);

  r.click(500, 250);  // "Check for updates"
  ASSERT_TRUE(poll_until([&] { return r.stored().status == updstate::status_available; }))
      << "status " << int(r.stored().status);
  updstate::Settings again = r.stored();
  EXPECT_EQ(again.failed_version[2], 82);
  EXPECT_TRUE(updstate::is_suppressed(&again)) << "found, not offered";
  EXPECT_TRUE(release::id_of(r.world.program) == before) << "and not downloaded";
  EXPECT_EQ(r.d.end(true, wait_ms), 0);
}

}  // namespace
