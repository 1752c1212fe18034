// The desktop window on an X server: the built program under --test shows on Xvfb what its frame record holds, and
// the same steps give the same frame on the headless backend.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <string>
#include <vector>

#include "drawing/draw.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;  // the sanitized program on a loaded machine

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

}  // namespace
