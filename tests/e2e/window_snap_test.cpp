// Moving and snapping the window as the test driver does it to the built program: Windows key + arrows and a drag
// of the title strip to the work area's edge, with the preview behind the window while the pointer is there. On the
// headless backend the preview is a window record found through the runtime folder; on an X server it is a real
// override-redirect window directly below the program's window.
#include <gtest/gtest.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <string>
#include <vector>

#include "platform/window.h"
#include "tests/platform/harness.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;  // the sanitized program on a loaded machine

constexpr u32 wm_keydown = 0x0100, wm_mousemove = 0x0200, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202,
              wm_lbuttondblclk = 0x0203;
constexpr u32 vk_left = 0x25, vk_right = 0x27, vk_up = 0x26;
constexpr u32 driver_work_area = driver::app + 0x27;
constexpr u32 mk_lbutton = 1;

// The preview window of the program: 0 while none is listed.
u64 preview_of(const driver::Session& d) {
  for (u64 w = win::find_window(harness::bytes("VimbrelSnap"), 0); w; w = win::find_window(harness::bytes("VimbrelSnap"), w))
    if (win::process_of(w) == static_cast<u32>(d.pid())) return w;
  return 0;
}

struct Steps {
  driver::Session& d;
  bool frame() { return d.request_frame(wait_ms); }
  bool size_is(u32 width, u32 height) {
    if (!frame()) return false;
    const u32 w = d.word(12), h = d.word(16);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    return w == width && h == height;
  }
  bool win_key(u32 key) { return d.input(wm_keydown, key, 0, driver::windows_key); }
  // A press on the empty title strip at client (600, 20), the window at screen (left, top), moved so that the
  // pointer is at the screen point (x, y).
  bool drag_to(i32 left, i32 top, i32 x, i32 y) {
    return d.input(wm_lbuttondown, mk_lbutton, driver::at(600, 20)) &&
           d.input(wm_mousemove, mk_lbutton, driver::at(x - left, y - top));
  }
};

TEST(WindowSnap, KeysDragPreviewAndDoubleClickOnTheHeadlessBackend) {
  driver::Session d;
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  Steps s{d};
  ASSERT_TRUE(s.size_is(1280, 800));
  // Without the driver's work area nothing snaps.
  ASSERT_TRUE(s.win_key(vk_left));
  ASSERT_TRUE(s.size_is(1280, 800));

  ASSERT_TRUE(d.post(driver_work_area, 0, (i64{1040} << 16) | 1920));
  ASSERT_TRUE(s.win_key(vk_left));
  ASSERT_TRUE(s.size_is(960, 1040));
  ASSERT_TRUE(s.win_key(vk_up));
  ASSERT_TRUE(s.size_is(960, 520));
  ASSERT_TRUE(s.win_key(vk_right));
  ASSERT_TRUE(s.size_is(1280, 800)) << "back to floating";
  // An unmarked Windows key + arrow is swallowed like all unmarked input.
  ASSERT_TRUE(d.post(wm_keydown, (u64{1} << 19) | vk_left));
  ASSERT_TRUE(s.size_is(1280, 800));

  // The window is back at (120, 80). Dragged to the left edge, the preview of the left half shows; away from the
  // edge it goes; released at the edge, the window snaps.
  ASSERT_TRUE(s.drag_to(120, 80, 3, 500));
  ASSERT_TRUE(s.frame());
  EXPECT_NE(preview_of(d), 0u);
  ASSERT_TRUE(d.input(wm_mousemove, mk_lbutton, driver::at(900, 20)));  // the window follows: screen (900-597, 500)
  ASSERT_TRUE(s.frame());
  EXPECT_EQ(preview_of(d), 0u);
  ASSERT_TRUE(d.input(wm_mousemove, mk_lbutton, driver::at(300, 20)));  // back at screen x 3
  ASSERT_TRUE(s.frame());
  EXPECT_NE(preview_of(d), 0u);
  ASSERT_TRUE(d.input(wm_lbuttonup, 0, driver::at(600, 20)));
  ASSERT_TRUE(s.size_is(960, 1040));
  EXPECT_EQ(preview_of(d), 0u);

  // A move without the button held ends the drag where it is: nothing snaps.
  ASSERT_TRUE(d.input(wm_lbuttondown, mk_lbutton, driver::at(600, 20)));
  ASSERT_TRUE(d.input(wm_mousemove, 0, driver::at(700, 400)));
  ASSERT_TRUE(s.size_is(960, 1040));

  // A double-click on the empty title strip maximizes; another restores the floating size.
  ASSERT_TRUE(d.input(wm_lbuttondblclk, mk_lbutton, driver::at(600, 20)));
  ASSERT_TRUE(d.input(wm_lbuttonup, 0, driver::at(600, 20)));
  ASSERT_TRUE(s.size_is(1920, 1040));
  ASSERT_TRUE(d.input(wm_lbuttondblclk, mk_lbutton, driver::at(600, 20)));
  ASSERT_TRUE(d.input(wm_lbuttonup, 0, driver::at(600, 20)));
  ASSERT_TRUE(s.size_is(1280, 800));
  EXPECT_EQ(d.end(), 0);
}

// ---- On an X server

struct Native {
  xcb_window_t window = 0;
  bool override_redirect = false;
  i32 x = 0, y = 0;
  u32 width = 0, height = 0;
  u32 opacity = 0;  // _NET_WM_WINDOW_OPACITY, 0 when unset
  u32 stack = 0;    // place among the root's children, bottom first
  i32 input_rectangles = -1;  // of its input shape; -1 when not asked
};

std::vector<Native> windows_of(xcb_connection_t* c, xcb_window_t root, pid_t pid) {
  auto atom = [&](const char* name) {
    auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<u16>(strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : 0;
    free(r);
    return a;
  };
  auto cardinal = [&](xcb_window_t w, xcb_atom_t a, u32* out) {
    auto* p = xcb_get_property_reply(c, xcb_get_property(c, 0, w, a, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    const bool got = p && xcb_get_property_value_length(p) == 4;
    if (got) *out = *static_cast<u32*>(xcb_get_property_value(p));
    free(p);
    return got;
  };
  const xcb_atom_t pid_atom = atom("_NET_WM_PID"), opacity_atom = atom("_NET_WM_WINDOW_OPACITY");
  std::vector<Native> found;
  auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
  for (int i = 0; tree && i < xcb_query_tree_children_length(tree); ++i) {
    Native n;
    n.window = xcb_query_tree_children(tree)[i];
    u32 owner = 0;
    if (!cardinal(n.window, pid_atom, &owner) || owner != u32(pid)) continue;
    auto* a = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, n.window), nullptr);
    const bool mapped = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    n.override_redirect = a && a->override_redirect;
    free(a);
    if (!mapped) continue;
    auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, n.window), nullptr);
    if (g) n.x = g->x, n.y = g->y, n.width = g->width, n.height = g->height;
    free(g);
    cardinal(n.window, opacity_atom, &n.opacity);
    auto* shape = xcb_shape_get_rectangles_reply(c, xcb_shape_get_rectangles(c, n.window, XCB_SHAPE_SK_INPUT), nullptr);
    if (shape) n.input_rectangles = static_cast<i32>(shape->rectangles_len);
    free(shape);
    n.stack = static_cast<u32>(i);
    found.push_back(n);
  }
  free(tree);
  return found;
}

// Polls the display until the program's mapped windows are as many as asked (the server applies requests a moment
// after the program sends them).
std::vector<Native> wait_windows(xcb_connection_t* c, xcb_window_t root, pid_t pid, u32 count, i32 main_x) {
  const long long deadline = forked::now_ms() + wait_ms;
  std::vector<Native> got;
  while (forked::now_ms() < deadline) {
    got = windows_of(c, root, pid);
    bool placed = false;
    for (const Native& n : got) placed = placed || (!n.override_redirect && n.x == main_x);
    if (got.size() == count && placed) break;
    usleep(20000);
  }
  return got;
}

TEST(WindowSnap, ThePreviewIsAnOverrideRedirectWindowBelowTheProgramsOnX11) {
  testutil::TempDir dir;
  xvfb::Server server(dir.path + "/xvfb.log", true, "1920x1080x24", "96");
  if (server.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  xcb_connection_t* c = xcb_connect(server.display.c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

  driver::Session d;
  d.use_display(server.display);
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  Steps s{d};
  ASSERT_TRUE(d.post(driver_work_area, 0, (i64{1040} << 16) | 1920));
  ASSERT_TRUE(s.drag_to(120, 80, 1915, 30));  // the top-right corner region: the top-right quarter
  ASSERT_TRUE(s.frame());
  std::vector<Native> shown = wait_windows(c, root, d.pid(), 2, 1915 - 600);
  ASSERT_EQ(shown.size(), 2u);
  const Native& preview = shown[0].override_redirect ? shown[0] : shown[1];
  const Native& main = shown[0].override_redirect ? shown[1] : shown[0];
  ASSERT_TRUE(preview.override_redirect);
  EXPECT_FALSE(main.override_redirect);
  EXPECT_EQ(main.x, 1915 - 600);
  EXPECT_EQ(main.y, 30 - 20);
  EXPECT_EQ(preview.x, 960);
  EXPECT_EQ(preview.y, 0);
  EXPECT_EQ(preview.width, 960u);
  EXPECT_EQ(preview.height, 520u);
  EXPECT_EQ(preview.opacity, static_cast<u32>(72ull * 0xFFFFFFFFull / 255));
  EXPECT_EQ(preview.stack + 1, main.stack) << "directly below the program's window";
  EXPECT_EQ(preview.input_rectangles, 0) << "the pointer goes through it";
  EXPECT_GT(main.input_rectangles, 0);
  // The part of the preview that the program's window leaves free shows the highlight colour (0x0078D7) on the
  // screen; with no compositor the opacity is not applied.
  auto shown_at = [&](i16 px, i16 py) {
    auto* image =
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, px, py, 1, 1, ~0u), nullptr);
    const u32 rgb = image && xcb_get_image_data_length(image) == 4
                        ? *reinterpret_cast<const u32*>(xcb_get_image_data(image)) & 0xFFFFFF
                        : 0xFFFFFFFFu;
    free(image);
    return rgb;
  };
  u32 colour = 0;
  const long long deadline = forked::now_ms() + wait_ms;
  while ((colour = shown_at(1100, 300)) != 0x0078D7u && forked::now_ms() < deadline) usleep(20000);
  EXPECT_EQ(colour, 0x0078D7u) << "the preview's pixels";

  ASSERT_TRUE(d.input(wm_lbuttonup, 0, driver::at(600, 20)));
  ASSERT_TRUE(s.frame());
  shown = wait_windows(c, root, d.pid(), 1, 960);
  ASSERT_EQ(shown.size(), 1u) << "the preview is gone";
  EXPECT_EQ(shown[0].x, 960);
  EXPECT_EQ(shown[0].y, 0);
  EXPECT_EQ(shown[0].width, 960u);
  EXPECT_EQ(shown[0].height, 520u);
  EXPECT_EQ(d.end(), 0);
  xcb_disconnect(c);
}

}  // namespace
