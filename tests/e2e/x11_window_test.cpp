// The desktop window on an X server: the built program under --test shows on Xvfb what its frame record holds, and
// the same steps give the same frame on the headless backend.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <filesystem>
#include <string>
#include <vector>

#include "drawing/draw.h"
#include "tests/host/net.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;  // the sanitized program on a loaded machine
constexpr u32 wm_keydown = 0x0100, wm_mousemove = 0x0200, vk_up = 0x26, vk_down = 0x28;
constexpr u32 driver_redraw = driver::app + 0x14;  // forgets what was drawn and draws the whole window again

// The top-level window of the process on the display, 0 while there is none.
xcb_window_t window_of(xcb_connection_t* c, xcb_window_t root, pid_t pid) {
  auto* pid_atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "_NET_WM_PID"), nullptr);
  auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
  xcb_window_t found = 0;
  for (int i = 0; tree && pid_atom && i < xcb_query_tree_children_length(tree) && !found; ++i) {
    const xcb_window_t w = xcb_query_tree_children(tree)[i];
    auto* p = xcb_get_property_reply(c, xcb_get_property(c, 0, w, pid_atom->atom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    if (p && xcb_get_property_value_length(p) == 4 && *static_cast<u32*>(xcb_get_property_value(p)) == u32(pid))
      found = w;
    free(p);
  }
  free(tree);
  free(pid_atom);
  return found;
}

// Pixels of the frame that the screen (the root window, as a screenshot takes it) shows otherwise.
u64 differences(xcb_connection_t* c, xcb_window_t root, const driver::Frame& f, i16 x, i16 y) {
  auto* image = xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, x, y, f.width, f.height, ~0u), nullptr);
  u64 wrong = u64(f.width) * f.height;
  if (image && xcb_get_image_data_length(image) == int(f.width * f.height * 4)) {
    const u32* shown = reinterpret_cast<const u32*>(xcb_get_image_data(image));
    wrong = 0;
    for (u64 i = 0; i < f.pixels.size(); ++i) wrong += (shown[i] & 0xFFFFFF) != (f.pixels[i] & 0xFFFFFF);
  }
  free(image);
  return wrong;
}

// An X server of the test's own at 96 DPI and a connection to it (no root window when either failed).
struct Display {
  testutil::TempDir dir;
  xvfb::Server server;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  explicit Display(const std::string& screen) : server(dir.path + "/xvfb.log", true, screen, "96") {
    if (server.display.empty()) return;
    c = xcb_connect(server.display.c_str(), nullptr);
    if (!xcb_connection_has_error(c)) root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  }
  ~Display() {
    if (c) xcb_disconnect(c);
  }
};

// The screen position of the program's window, once it has one.
bool place_of(xcb_connection_t* c, xcb_window_t root, pid_t pid, i16* x, i16* y) {
  const xcb_window_t native = window_of(c, root, pid);
  if (!native) return false;
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, native), nullptr);
  if (!g) return false;
  *x = g->x;
  *y = g->y;
  free(g);
  return true;
}

// Whether the screen comes to show the frame (within the time-out): the window takes presents a little later.
bool screen_shows(xcb_connection_t* c, xcb_window_t root, pid_t pid, const driver::Frame& f) {
  i16 x = 0, y = 0;
  return driver::until([&] { return place_of(c, root, pid, &x, &y) && differences(c, root, f, x, y) == 0; }, wait_ms);
}

TEST(X11Window, TheScreenShowsTheFrameRecordAndTheHeadlessRunDrawsTheSame) {
  testutil::TempDir dir;
  xvfb::Server server(dir.path + "/xvfb.log", true, "1600x1000x24", "96");
  if (server.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  xcb_connection_t* c = xcb_connect(server.display.c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

  driver::Frame shown;
  {
    driver::Session d;
    d.use_display(server.display);
    ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
    ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
    ASSERT_TRUE(d.request_frame(wait_ms));
    shown = d.frame();
    ASSERT_EQ(shown.width, 1280u);
    xcb_window_t native = 0;
    xcb_get_geometry_reply_t* g = nullptr;
    u64 wrong = ~u64{0};
    const long long deadline = forked::now_ms() + wait_ms;
    while (forked::now_ms() < deadline && wrong != 0) {
      if (!native) native = window_of(c, root, d.pid());
      if (native && !g) g = xcb_get_geometry_reply(c, xcb_get_geometry(c, native), nullptr);
      if (g) wrong = differences(c, root, shown, g->x, g->y);
      if (wrong != 0) usleep(50000);
    }
    ASSERT_NE(native, 0u) << "no window of the program on the display";
    // The title that a task bar shows is the program's name, under --test as well.
    auto* name_atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 12, "_NET_WM_NAME"), nullptr);
    auto* utf8_atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "UTF8_STRING"), nullptr);
    ASSERT_TRUE(name_atom && utf8_atom);
    for (const xcb_atom_t property : {name_atom->atom, xcb_atom_t{XCB_ATOM_WM_NAME}}) {
      auto* p = xcb_get_property_reply(c, xcb_get_property(c, 0, native, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
                                       nullptr);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(std::string(static_cast<const char*>(xcb_get_property_value(p)), xcb_get_property_value_length(p)),
                "Vimbrel");
      free(p);
    }
    free(name_atom);
    free(utf8_atom);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->x, 120);
    EXPECT_EQ(g->y, 80);
    EXPECT_EQ(wrong, 0u) << "pixels on the screen that differ from the frame record";
    free(g);
    EXPECT_EQ(d.end(), 0);
  }
  xcb_disconnect(c);

  driver::Session headless;
  ASSERT_TRUE(headless.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(headless.find_window("VimbrelTest", wait_ms));
  ASSERT_TRUE(headless.request_frame(wait_ms));
  const driver::Frame drawn = headless.frame();
  ASSERT_EQ(drawn.width, shown.width);
  ASSERT_EQ(drawn.height, shown.height);
  EXPECT_TRUE(drawn.pixels == shown.pixels) << "the headless and the X11 runs drew different frames";
  EXPECT_EQ(headless.end(), 0);
}

// The own renderer's frame covers the whole screen the X server has, so a window wider than 3,840 px (on a wide
// monitor) is still drawn by it, and its frame record says so.
TEST(X11Window, AWindowWiderThanFourKStaysOnTheOwnRenderer) {
  testutil::TempDir dir;
  xvfb::Server server(dir.path + "/xvfb.log", true, "5120x1200x24", "96");
  if (server.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  xcb_connection_t* c = xcb_connect(server.display.c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  driver::Session d;
  d.use_display(server.display);
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(d.word(draw::word_stride), 5120u);
  xcb_window_t native = 0;
  const long long deadline = forked::now_ms() + wait_ms;
  while (forked::now_ms() < deadline && !native) {
    native = window_of(c, root, d.pid());
    if (!native) usleep(50000);
  }
  ASSERT_NE(native, 0u);
  // Sized by the user (as a window manager passes it on) to 4,400 x 900.
  const u32 geometry[4] = {100, 100, 4400, 900};
  xcb_configure_window(c, native, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                      XCB_CONFIG_WINDOW_HEIGHT, geometry);
  xcb_flush(c);
  bool wide = false;
  while (forked::now_ms() < deadline && !wide) {
    ASSERT_TRUE(d.request_frame(wait_ms));
    wide = d.word(draw::word_width) == 4400;
    if (!wide) usleep(50000);
  }
  ASSERT_TRUE(wide);
  EXPECT_EQ(d.word(draw::word_mode), 1u) << "the wide window went down the GDI road";
  EXPECT_EQ(d.word(draw::word_status), 0u);
  EXPECT_EQ(d.end(), 0);
  xcb_disconnect(c);
}

// Up and Down move the rail's keyboard outline, also along the fixed steps between Processes, Machines and Settings
// that change nothing but the outline: each step is drawn (its frame is what a whole redraw draws) and reaches the
// screen.
TEST(X11Window, ArrowKeysMoveTheRailOutlineOnTheScreen) {
  Display x("1600x1000x24");
  if (x.server.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  ASSERT_NE(x.root, 0u);
  driver::Session d;
  d.use_display(x.server.display);
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato, {"--view", "33"}));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  ASSERT_TRUE(d.request_frame(wait_ms));
  driver::Frame before = d.frame();
  // From Settings: Machines, Processes, the last view row, and back down the same way.
  for (const u32 key : {vk_up, vk_up, vk_up, vk_down, vk_down, vk_down}) {
    SCOPED_TRACE(key == vk_up ? "Up" : "Down");
    ASSERT_TRUE(d.input(wm_keydown, key));
    ASSERT_TRUE(d.request_frame(wait_ms));
    const driver::Frame moved = d.frame();
    EXPECT_FALSE(moved.pixels == before.pixels) << "the outline did not move";
    ASSERT_TRUE(d.post(driver_redraw));
    ASSERT_TRUE(d.request_frame(wait_ms));
    const driver::Frame whole = d.frame();
    EXPECT_TRUE(moved.pixels == whole.pixels) << "the key's frame differs from a whole redraw";
    EXPECT_TRUE(screen_shows(x.c, x.root, d.pid(), whole)) << "the screen does not show the frame";
    before = whole;
  }
  EXPECT_EQ(d.end(), 0);
}

// Rows of the Settings page's publish status line (logical px at 96 DPI, the page at its top).
std::vector<u32> status_rows(const driver::Frame& f) {
  std::vector<u32> rows;
  for (u32 y = 476; y < 508; ++y)
    for (u32 x = 508; x < 1270; ++x) rows.push_back(f.at(x, y));
  return rows;
}

// A frame read whole: not while the window writes its pixels.
driver::Frame settled_frame(const driver::Session& d) {
  driver::Frame f;
  driver::until([&] {
    if (d.word(draw::word_busy) != 0) return false;
    const u32 frames = d.word(draw::word_frames);
    f = d.frame();
    return d.word(draw::word_busy) == 0 && d.word(draw::word_frames) == frames;
  });
  return f;
}

// Frames presented from now on reach the count.
bool frames_pass(const driver::Session& d, u32 more) {
  const u32 start = d.word(draw::word_frames);
  return driver::until([&] { return d.word(draw::word_frames) - start >= more; }, wait_ms);
}

// The window as a user runs it (outside --test), publishing to a host that starts after it: once the host has taken
// the window's machine, the Settings page's status line shows the link as a whole redraw (here after a pointer move)
// draws it, with no input before.
TEST(X11Window, ThePublishStatusFollowsTheLinkWithoutInput) {
  driver::Session d;
  xvfb::Server x{d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
  if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  const std::string home = d.folder() + "/host", share = d.folder() + "/share";
  net::make_home(home);
  const u16 port = net::free_port();
  const std::string cfg = d.folder() + "/cfg/Vimbrel";
  std::filesystem::create_directories(cfg);
  testutil::write_file(cfg + "/cluster.key", net::key_text());
  testutil::write_file(cfg + "/publish.txt",
                       "vimbrel-publish 1\npublish on\ntarget 127.0.0.1:" + std::to_string(port) + "\n");
  chmod((cfg + "/cluster.key").c_str(), 0600);
  chmod((cfg + "/publish.txt").c_str(), 0600);
  d.use_display(x.display);
  d.outside_test();
  ASSERT_TRUE(d.start(VIMBREL_EXE, "", {"--view", "33"}));
  ASSERT_TRUE(d.find_window("Vimbrel", wait_ms));
  ASSERT_TRUE(frames_pass(d, 1));
  const std::vector<u32> without_host = status_rows(settled_frame(d));

  net::Process host;
  host.start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"}, home);
  ASSERT_TRUE(host.wait_output("vimbrel host: listening on port " + std::to_string(port), 30)) << host.out();
  const std::string machines = share + "/terms/00000001/machines";
  ASSERT_TRUE(driver::until([&] {
    std::error_code e;
    return std::filesystem::exists(machines, e) && !std::filesystem::is_empty(machines, e);
  })) << "the host never took the window's machine";
  ASSERT_TRUE(frames_pass(d, 2));
  const std::vector<u32> linked = status_rows(settled_frame(d));
  EXPECT_FALSE(linked == without_host) << "the status line still shows the time before the link";

  // The pointer over the Publish button: the whole page below the title strip is drawn again.
  const u32 frames = d.word(draw::word_frames);
  ASSERT_TRUE(d.post(wm_mousemove, 0, driver::at(460, 492)));
  ASSERT_TRUE(driver::until([&] { return d.word(draw::word_frames) != frames; }, wait_ms));
  EXPECT_TRUE(status_rows(settled_frame(d)) == linked) << "the status line was stale until the pointer moved";
  EXPECT_EQ(d.end(), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.out();
}

}  // namespace
