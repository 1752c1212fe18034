// The desktop window as a user and the test driver meet it: the built program under --test on the headless
// backend, steered with posted driver messages and marked input and watched through its frame record; and a second
// start that finds a running copy and hands over to it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/kobj.h"
#include "platform/window.h"
#include "tests/platform/harness.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

const std::string lato = "/usr/share/fonts/truetype/lato";
// Generous: the sanitized program on a machine loaded by other test processes.
constexpr u32 wait_ms = 60000;

constexpr u32 wm_keydown = 0x0100, wm_char = 0x0102, wm_mousemove = 0x0200, wm_lbuttondown = 0x0201,
              wm_lbuttonup = 0x0202;
constexpr u32 vk_escape = 0x1B, vk_return = 0x0D, vk_down = 0x28;
constexpr u32 driver_dpi = driver::app + 0x1D, driver_work_area = driver::app + 0x27;

u32 view_of(u32 status) { return status >> 24; }
u32 page_of(u32 value) { return value & 0xFF; }

// 0x00BBGGRR as the frame holds it.
u32 pixel(u32 colorref) {
  return 0xFF000000u | ((colorref & 0xFF) << 16) | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}

// Pixels of the page's content area (right of the rail, under the title strip) that are not the background.
u32 drawn(const driver::Frame& f) {
  u32 n = 0;
  for (u32 y = 60; y + 20 < f.height; ++y)
    for (u32 x = 244; x + 24 < f.width; ++x) n += f.at(x, y) != pixel(0x201814);
  return n;
}

struct Window {
  driver::Session d;
  bool open(const std::vector<std::string>& extra = {}) {
    return d.start(VIMBREL_EXE, lato, extra) && d.find_window("VimbrelTest", wait_ms);
  }
  bool frame() { return d.request_frame(wait_ms); }
};

// Start, a frame, the status bits, a key, a pointer, a click and a marked Escape that ends it with 0.
TEST(Window, StartKeysPointerAndEscape) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.frame());
  const u32 status = w.d.status();
  EXPECT_EQ(status & 0x800, 0x800u);
  EXPECT_EQ(view_of(status), 31u) << "starts on the Overview";
  EXPECT_EQ(status & 0x200, 0u) << "demo data: no collector child";
  EXPECT_EQ(page_of(w.d.value()), 3u);
  driver::Frame f = w.d.frame();
  ASSERT_EQ(f.width, 1280u);
  ASSERT_EQ(f.height, 800u);
  EXPECT_EQ(f.at(750, 500), pixel(0x201814)) << "page background between the Overview's cards";
  EXPECT_EQ(f.at(1280 - 150, 4), pixel(0x262525)) << "title strip";
  EXPECT_EQ(f.at(0, 500), pixel(0x444444)) << "window outline";

  // Ticks move the clock and keep the window alive.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());

  // An unmarked Escape is swallowed under --test.
  ASSERT_TRUE(w.d.post(wm_keydown, vk_escape));
  ASSERT_TRUE(w.frame());

  // Down moves the keyboard selection to the first view row; Enter opens it.
  ASSERT_TRUE(w.d.input(wm_keydown, vk_down));
  ASSERT_TRUE(w.d.input(wm_keydown, vk_return));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(view_of(w.d.status()), 0u) << "the CPU view";
  EXPECT_EQ(page_of(w.d.value()), 0u);
  // The resource page draws its charts, and a tick's new sample changes them.
  const driver::Frame before = w.d.frame();
  EXPECT_GT(drawn(before), 10000u);
  ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());
  EXPECT_NE(w.d.frame().pixels, before.pixels);

  // The pointer over the close button lights it.
  const i64 close_at = driver::at(1280 - 23, 20);
  ASSERT_TRUE(w.d.input(wm_mousemove, 0, close_at));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.frame().at(1280 - 10, 5), pixel(0x1C2BC4));

  // A click on maximize fills the work area the driver gave; a second one restores.
  ASSERT_TRUE(w.d.post(driver_work_area, (u64{20} << 16) | 10, (i64{1000} << 16) | 1500));
  const i64 maximize_at = driver::at(1280 - 69, 20);
  ASSERT_TRUE(w.d.input(wm_lbuttondown, 1, maximize_at));
  ASSERT_TRUE(w.d.input(wm_lbuttonup, 0, maximize_at));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.width, 1490u);
  EXPECT_EQ(f.height, 980u);
  // A press on one slot and a release on another does nothing.
  ASSERT_TRUE(w.d.input(wm_lbuttondown, 1, driver::at(1490 - 69, 20)));
  ASSERT_TRUE(w.d.input(wm_lbuttonup, 0, driver::at(1490 - 115, 20)));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.frame().width, 1490u);

  ASSERT_TRUE(w.d.input(wm_keydown, vk_escape));
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
}

// The rail row asked with --view opens at start; rows that are not there leave the Overview.
TEST(Window, StartRows) {
  const struct {
    const char* row;
    u32 view, page;
  } cases[] = {{"31", 31, 3}, {"33", 33, 1}, {"30", 30, 2}, {"1", 1, 0}, {"66", 31, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    Window w;
    ASSERT_TRUE(w.open({"--view", c.row}));
    ASSERT_TRUE(w.frame());
    EXPECT_EQ(view_of(w.d.status()), c.view);
    EXPECT_EQ(page_of(w.d.value()), c.page);
    EXPECT_EQ(w.d.end(true, wait_ms), 0);
  }
}

// The test mode's words with values and switches reach the window: real samples through the collector child.
TEST(Window, LiveSamplesThroughTheCollectorChild) {
  Window w;
  ASSERT_TRUE(w.open({"--live", "--feed", "--support", w.d.folder() + "/payment.txt", "--dpi", "120"}));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.status() & 0x200, 0x200u) << "the collector child is in use";
  EXPECT_EQ(w.d.frame().width, 1600u);
  ASSERT_TRUE(w.d.post(driver::tick));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

// "--test <fonts>" alone is a form of the usage text: the window runs without a settings file, draws and closes
// cleanly, the sanitized build's checks silent.
TEST(Window, TestFolderWithoutSettingsFile) {
  Window w;
  w.d.without_settings();
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.frame());
  EXPECT_GT(drawn(w.d.frame()), 0u);
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
  EXPECT_EQ(testutil::read_file(w.d.folder() + "/err.txt"), "");
}

// On the Processes page Escape first clears a typed filter, and only then closes the window.
TEST(Window, EscapeClearsTheFilterFirst) {
  Window w;
  ASSERT_TRUE(w.open({"--view", "30"}));
  ASSERT_TRUE(w.d.input(wm_char, 'x'));
  ASSERT_TRUE(w.d.input(wm_keydown, vk_escape));
  ASSERT_TRUE(w.frame()) << "the first Escape only cleared the filter";
  ASSERT_TRUE(w.d.input(wm_keydown, vk_escape));
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
}

// --dpi scales the window; the driver's DPI message rescales it around its centre; anything but the four DPIs is 96.
TEST(Window, Dpi) {
  Window w;
  ASSERT_TRUE(w.open({"--dpi", "144"}));
  ASSERT_TRUE(w.frame());
  driver::Frame f = w.d.frame();
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1200u);
  const struct {
    u32 asked, width, height;
  } steps[] = {{120, 1600, 1000}, {192, 2560, 1600}, {100, 1280, 800}, {96, 1280, 800}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.asked);
    ASSERT_TRUE(w.d.post(driver_dpi, step.asked));
    ASSERT_TRUE(w.frame());
    f = w.d.frame();
    EXPECT_EQ(f.width, step.width);
    EXPECT_EQ(f.height, step.height);
    EXPECT_EQ(f.at(f.width / 2, f.height * 3 / 4), pixel(0x201814));
  }
  EXPECT_EQ(w.d.end(true, wait_ms), 0);
}

// SIGTERM ends the window the way its close does: exit 0, its window entry and frame record gone.
TEST(Window, SigtermEndsLikeClose) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.frame());
  const std::string entry =
      w.d.folder() + "/rt/vimbrel/windows/VimbrelTest." + std::to_string(win::process_of(w.d.window()));
  struct stat st{};
  ASSERT_EQ(stat(entry.c_str(), &st), 0);
  ASSERT_EQ(kill(w.d.pid(), SIGTERM), 0);
  EXPECT_EQ(w.d.end(false, wait_ms), 0);
  EXPECT_NE(stat(entry.c_str(), &st), 0);
  EXPECT_FALSE(w.d.post(driver::tick));
}

// Runs the program outside --test with the session's folders and no display: its exit code, -1 on time-out.
int run_plain(const driver::Session& d, const std::vector<std::string>& extra, std::string* err) {
  const std::string err_path = d.folder() + "/plain-err.txt";
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setenv("XDG_RUNTIME_DIR", (d.folder() + "/rt").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (d.folder() + "/cfg").c_str(), 1);
    setenv("XDG_DATA_HOME", (d.folder() + "/data").c_str(), 1);
    setenv("HOME", d.folder().c_str(), 1);
    unsetenv("DISPLAY");
    const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(e, 2);
    std::vector<std::string> words = {VIMBREL_EXE};
    words.insert(words.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(VIMBREL_EXE, argv.data());
    _exit(127);
  }
  for (int waited = 0; waited < static_cast<int>(wait_ms) / 10; ++waited) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *err = testutil::read_file(err_path);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A second start finds the running copy (here this test, holding the instance mutex and a window of the class),
// posts the wake message to it and ends with 0; with --unattended it does not hand off and, having no display,
// says that the window cannot be made.
TEST(Window, SecondStartHandsOff) {
  driver::Session d;  // its folders; this process's runtime folder points into it
  const kobj::Handle mutex = kobj::take_mutex(bytes("Local\\Vimbrel-Instance"), 0);
  ASSERT_NE(mutex, 0u);
  win::Thread t;
  ASSERT_EQ(win::start(&t, win::start_headless), win::ok);
  ASSERT_EQ(win::register_class(&t, bytes("Vimbrel"), win::cs_dblclks, 0, win::cursor_arrow, win::no_colour),
            win::ok);
  const win::Handle first = win::create_window(&t, bytes("Vimbrel"), 0, 0, 0, 0, 640, 400);
  ASSERT_NE(first, 0u);

  std::string err;
  EXPECT_EQ(run_plain(d, {}, &err), 0) << err;
  win::pump(&t);
  const u32 wake = win::register_message(bytes("Vimbrel-Wake"));
  win::Msg m{};
  EXPECT_EQ(win::peek_message(&t, &m, first, wake, wake, true), 1u);

  EXPECT_EQ(run_plain(d, {"--unattended"}, &err), 3);
  EXPECT_NE(err.find("the window cannot be made"), std::string::npos) << err;
  win::pump(&t);
  EXPECT_EQ(win::peek_message(&t, &m, first, wake, wake, true), 0u);

  win::finish(&t);
  kobj::release_mutex(mutex);
}

// With no copy running and no display, the window mode ends with 3 and says why.
TEST(Window, NoDisplayOutsideTest) {
  driver::Session d;
  std::string err;
  EXPECT_EQ(run_plain(d, {}, &err), 3);
  EXPECT_NE(err.find("the window cannot be made"), std::string::npos) << err;
}

}  // namespace
