// The Windows build draws what the Linux build draws: the frames that the Windows window test left (tests/windows/run
// names their folder in VIMBREL_WINDOWS_FRAMES) are compared pixel by pixel with the Linux build's frames of the
// same steps: the start on the Overview, then a marked click on the CPU row of the rail. Then both builds run as
// users run them (vimbrel.exe under wine: VIMBREL_WINDOWS_EXE and the template prefix VIMBREL_WINE_PREFIX), driven
// by real keyboard and pointer input, and their screens are compared where the pages hold the same facts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/net.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;
constexpr u32 wm_mousemove = 0x0200, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;

// A frame as the Windows test keeps it: little-endian width and height, then the pixels.
driver::Frame read_frame(const std::string& path) {
  driver::Frame f;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return f;
  u32 size[2] = {};
  if (fread(size, sizeof size, 1, file) == 1 && size[0] <= 16384 && size[1] <= 16384) {
    f.pixels.resize(u64(size[0]) * size[1]);
    if (fread(f.pixels.data(), 4, f.pixels.size(), file) == f.pixels.size()) {
      f.width = size[0];
      f.height = size[1];
    } else {
      f.pixels.clear();
    }
  }
  fclose(file);
  return f;
}

u64 differences(const driver::Frame& a, const driver::Frame& b) {
  if (a.width != b.width || a.height != b.height) return ~u64{0};
  u64 wrong = 0;
  for (u64 i = 0; i < a.pixels.size(); ++i) wrong += a.pixels[i] != b.pixels[i];
  return wrong;
}

TEST(WindowsFrames, TheWindowsBuildDrawsTheLinuxBuildsFrames) {
  const char* folder = getenv("VIMBREL_WINDOWS_FRAMES");
  if (!folder) GTEST_SKIP() << "no frames of the Windows build (tests/windows/run makes them)";
  const driver::Frame overview = read_frame(std::string(folder) + "/overview.frame");
  const driver::Frame cpu = read_frame(std::string(folder) + "/cpu.frame");
  ASSERT_EQ(overview.width, 1280u);
  ASSERT_EQ(cpu.width, 1280u);

  driver::Session d;
  ASSERT_TRUE(d.start(VIMBREL_EXE, lato));
  ASSERT_TRUE(d.find_window("VimbrelTest", wait_ms));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(differences(d.frame(), overview), 0u) << "pixels of the Overview that the two builds draw differently";

  const i64 row = driver::at(100, 134);
  ASSERT_TRUE(d.input(wm_mousemove, 0, row));
  ASSERT_TRUE(d.input(wm_lbuttondown, 1, row));
  ASSERT_TRUE(d.input(wm_lbuttonup, 0, row));
  ASSERT_TRUE(d.request_frame(wait_ms));
  EXPECT_EQ(differences(d.frame(), cpu), 0u) << "pixels of the CPU view that the two builds draw differently";
  EXPECT_EQ(d.end(), 0);
}

// ---- vimbrel.exe under wine as a user runs it, driven with real X input

namespace screen {

// An X server of the test's own at 96 DPI (the DPI wine gives its windows), a connection to it and xdotool on it.
struct Screen {
  testutil::TempDir dir;
  xvfb::Server server{dir.path + "/xvfb.log", true, "1600x1000x24", "96"};
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  Screen() {
    if (server.display.empty()) return;
    c = xcb_connect(server.display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) return;
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  }
  ~Screen() {
    if (c) xcb_disconnect(c);
  }
  bool up() const { return root != 0; }

  // Real input through the XTEST extension, as a user's keyboard and pointer give it: xdotool's words.
  bool xdotool(const std::string& words) const {
    return std::system(("DISPLAY=" + server.display + " xdotool " + words + " >/dev/null 2>&1").c_str()) == 0;
  }
};

struct Place {
  xcb_window_t window = 0;
  i32 x = 0, y = 0;
  u32 width = 0, height = 0;
};

// The shown top-level windows of the process (by the pid its windows carry), the largest first.
std::vector<Place> windows_of(const Screen& s, pid_t pid) {
  std::vector<Place> found;
  auto* pid_atom = xcb_intern_atom_reply(s.c, xcb_intern_atom(s.c, 0, 11, "_NET_WM_PID"), nullptr);
  auto* tree = xcb_query_tree_reply(s.c, xcb_query_tree(s.c, s.root), nullptr);
  for (int i = 0; tree && pid_atom && i < xcb_query_tree_children_length(tree); ++i) {
    const xcb_window_t w = xcb_query_tree_children(tree)[i];
    auto* p = xcb_get_property_reply(s.c, xcb_get_property(s.c, 0, w, pid_atom->atom, XCB_ATOM_CARDINAL, 0, 1),
                                     nullptr);
    auto* a = xcb_get_window_attributes_reply(s.c, xcb_get_window_attributes(s.c, w), nullptr);
    auto* g = xcb_get_geometry_reply(s.c, xcb_get_geometry(s.c, w), nullptr);
    if (p && a && g && xcb_get_property_value_length(p) == 4 &&
        *static_cast<u32*>(xcb_get_property_value(p)) == u32(pid) && a->map_state == XCB_MAP_STATE_VIEWABLE)
      found.push_back(Place{w, g->x, g->y, g->width, g->height});
    free(p);
    free(a);
    free(g);
  }
  free(tree);
  free(pid_atom);
  std::sort(found.begin(), found.end(),
            [](const Place& a, const Place& b) { return u64(a.width) * a.height > u64(b.width) * b.height; });
  return found;
}

// The screen's pixels of the place, as a screenshot takes them (0xFFRRGGBB).
driver::Frame shot(const Screen& s, const Place& p) {
  driver::Frame f;
  auto* image = xcb_get_image_reply(
      s.c, xcb_get_image(s.c, XCB_IMAGE_FORMAT_Z_PIXMAP, s.root, i16(p.x), i16(p.y), u16(p.width), u16(p.height), ~0u),
      nullptr);
  if (image && xcb_get_image_data_length(image) == int(p.width * p.height * 4)) {
    const u32* shown = reinterpret_cast<const u32*>(xcb_get_image_data(image));
    f.width = p.width;
    f.height = p.height;
    f.pixels.assign(shown, shown + u64(p.width) * p.height);
    for (u32& px : f.pixels) px |= 0xFF000000u;
  }
  free(image);
  return f;
}

}  // namespace screen

// vimbrel.exe started as a user starts it (`wine vimbrel.exe`, outside the test mode) in a wine prefix of its own,
// linked from the template prefix of tests/windows/run, whose Fonts folder holds the fonts the Linux build draws
// with under the names the Windows build reads (text: segoeui.ttf, fixed: consola.ttf): both builds then draw
// with the same glyphs. The profile's roaming folder holds the window's settings and cluster files.
struct WineWindow {
  std::string prefix, roaming;
  pid_t pid = -1;

  WineWindow(const std::string& template_prefix, const std::string& name) {
    prefix = std::filesystem::path(template_prefix).parent_path().string() + "/" + name + "-" +
             std::to_string(getpid());
    std::filesystem::remove_all(prefix);
    if (std::system(("cp -al '" + template_prefix + "' '" + prefix + "'").c_str()) != 0) return;
    const std::string fonts = prefix + "/drive_c/windows/Fonts";
    std::error_code e;
    std::filesystem::create_directories(fonts, e);
    if (!std::filesystem::copy_file(lato + "/Lato-Regular.ttf", fonts + "/segoeui.ttf", e) ||
        !std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", fonts + "/consola.ttf", e))
      return;
    for (const auto& user : std::filesystem::directory_iterator(prefix + "/drive_c/users", e)) {
      const std::filesystem::path profile = user.path() / "AppData" / "Roaming";
      if (std::filesystem::exists(profile, e)) roaming = (profile / "Vimbrel").string();
    }
    if (!roaming.empty()) std::filesystem::create_directories(roaming, e);
  }
  ~WineWindow() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    wineserver("-k");
    std::filesystem::remove_all(prefix);
  }
  bool made() const { return !roaming.empty(); }

  void wineserver(const std::string& words) const {
    std::system(("WINEPREFIX='" + prefix + "' wineserver " + words + " >/dev/null 2>&1").c_str());
  }

  bool start(const std::string& program, const std::string& display, const std::vector<std::string>& words) {
    pid = fork();
    if (pid == 0) {
      setenv("WINEPREFIX", prefix.c_str(), 1);
      setenv("WINEDEBUG", "-all", 1);
      setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
      setenv("DISPLAY", display.c_str(), 1);
      const int out = open((prefix + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv{const_cast<char*>("wine"), const_cast<char*>(program.c_str())};
      for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
      argv.push_back(nullptr);
      execvp("wine", argv.data());
      _exit(127);
    }
    return pid > 0;
  }

  // The exit code once the program ended within the time, -1 otherwise.
  int ended(u32 ms) {
    int status = 0;
    if (pid <= 0) return -1;
    const bool gone = driver::until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms);
    if (!gone) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// The program's main window on the screen once it is shown at its size (1280 x 800 at 96 DPI).
bool main_window(const screen::Screen& s, pid_t pid, screen::Place* out) {
  return driver::until([&] {
    const std::vector<screen::Place> shown = screen::windows_of(s, pid);
    if (shown.empty() || shown[0].width != 1280 || shown[0].height != 800) return false;
    *out = shown[0];
    return true;
  }, wait_ms);
}

struct Area {
  u32 left, top, right, bottom;
};

bool same_in(const driver::Frame& a, const driver::Frame& b, Area r) {
  if (a.width != b.width || a.height != b.height || r.right > a.width || r.bottom > a.height) return false;
  for (u32 y = r.top; y < r.bottom; ++y)
    for (u32 x = r.left; x < r.right; ++x)
      if ((a.at(x, y) & 0xFFFFFF) != (b.at(x, y) & 0xFFFFFF)) return false;
  return true;
}

// One build's window on its screen: real keys and clicks, and what the screen shows of it.
struct Side {
  const screen::Screen& s;
  pid_t pid;
  const char* name;
  std::string folder;
  screen::Place at;
  bool find() { return main_window(s, pid, &at); }
  driver::Frame shot() const { return screen::shot(s, at); }
  bool keys(const std::string& names) const { return s.xdotool("key --delay 20 " + names); }
  // A click of the button at client (x, y).
  bool click(i32 x, i32 y, u32 button = 1) const {
    return s.xdotool("mousemove " + std::to_string(at.x + x) + " " + std::to_string(at.y + y) + " click " +
                     std::to_string(button));
  }
  // The screen as a PNG in the folder that a failed test keeps.
  void keep(const std::string& step) const { driver::write_png(folder + "/" + step + "-" + name + ".png", shot()); }
};

// A shown window of the program beside its main window (a menu or a box), the first found.
bool popup_of(const Side& side, screen::Place* out) {
  for (const screen::Place& p : screen::windows_of(side.s, side.pid))
    if (p.window != side.at.window && p.width > 8 && p.height > 8) return *out = p, true;
  return false;
}

// Both screens come to show the same pixels in the area (each window draws as its data arrives).
bool both_show_alike(const Side& w, const Side& l, Area area) {
  const bool alike = driver::until([&] { return same_in(w.shot(), l.shot(), area); }, wait_ms);
  if (!alike) w.keep("differs"), l.keep("differs");  // the last shots of both
  return alike;
}

constexpr u32 outline = 0xC8C8C8;  // the rail's keyboard outline

// The top of the rail entry whose background is the selected entry's (the current page; its top row is the
// keyboard outline's when it has that too), 0 when none.
u32 selected_entry_top(const driver::Frame& f) {
  constexpr u32 selected = 0x2C3A46;  // 0x1C1C1C + 0x2A1E10 as the system's colour word (blue, green, red) writes it
  for (u32 y = 40; y + 1 < f.height; ++y)
    if ((f.at(200, y) & 0xFFFFFF) == selected && (f.at(200, y - 1) & 0xFFFFFF) != selected)
      return (f.at(200, y - 1) & 0xFFFFFF) == outline ? y - 1 : y;
  return 0;
}

// The rail's keyboard outline (1 px, 0xC8C8C8) stands around the 32 px entry whose top is given (its sides under
// the window's own outline).
bool outlined(const driver::Frame& f, u32 top) {
  return top >= 41 && (f.at(2, top) & 0xFFFFFF) == outline && (f.at(110, top) & 0xFFFFFF) == outline &&
         (f.at(110, top + 31) & 0xFFFFFF) == outline && (f.at(110, top + 16) & 0xFFFFFF) != outline;
}

void write_cluster_files(const std::string& folder, const std::string& publish) {
  std::filesystem::create_directories(folder);
  testutil::write_file(folder + "/cluster.key", net::key_text());
  testutil::write_file(folder + "/publish.txt", publish);
  chmod((folder + "/cluster.key").c_str(), 0600);
  chmod((folder + "/publish.txt").c_str(), 0600);
}

// vimbrel.exe under wine and the Linux build, each started as a user starts it on an X server of its own, both
// publishing to one Linux host on loopback with the cluster's key, driven by the same real keys and clicks
// (XTEST). Where the pages hold the same facts the two screens show the same pixels: the title strip, the pages'
// headings, the Settings page's cluster rows with the link's status; the rails differ by the machines' views.
TEST(WindowsFrames, RealInputTakesBothBuildsThroughTheSamePages) {
  const char* exe = getenv("VIMBREL_WINDOWS_EXE");
  const char* prefix = getenv("VIMBREL_WINE_PREFIX");
  if (!exe || !prefix) GTEST_SKIP() << "no Windows build (tests/windows/run names it)";
  screen::Screen xw, xl;
  ASSERT_TRUE(xw.up() && xl.up()) << "Xvfb could not start";
  ASSERT_EQ(std::system("command -v xdotool >/dev/null"), 0) << "xdotool is missing (tools/deps installs it)";
  driver::Session d;
  const std::string home = d.folder() + "/host", share = d.folder() + "/share";
  net::make_home(home);
  const u16 port = net::free_port();
  const std::string publish = "vimbrel-publish 1\npublish on\ntarget 127.0.0.1:" + std::to_string(port) + "\n";
  write_cluster_files(d.folder() + "/cfg/Vimbrel", publish);
  WineWindow wine(prefix, "input");
  ASSERT_TRUE(wine.made());
  write_cluster_files(wine.roaming, publish);
  d.use_display(xl.server.display);
  d.outside_test();
  ASSERT_TRUE(d.start(VIMBREL_EXE, "", {}));
  ASSERT_TRUE(wine.start(exe, xw.server.display, {}));
  Side w{xw, wine.pid, "windows", d.folder(), {}}, l{xl, d.pid(), "linux", d.folder(), {}};
  ASSERT_TRUE(l.find()) << "no window of the Linux build";
  ASSERT_TRUE(w.find()) << "no window of vimbrel.exe: " << testutil::read_file(wine.prefix + "/out.txt");
  EXPECT_EQ(w.at.x, l.at.x);
  EXPECT_EQ(w.at.y, l.at.y);

  // The Overview: the title strip and the page's heading.
  EXPECT_TRUE(both_show_alike(w, l, Area{0, 0, 1280, 40})) << "the title strip";
  EXPECT_TRUE(both_show_alike(w, l, Area{220, 40, 640, 110})) << "the Overview's heading";

  // Down to the last rail entry (Settings) whatever the views above it, and Enter opens the page.
  std::string down;
  for (int i = 0; i < 40; ++i) down += "Down ";
  for (const Side* side : {&w, &l}) ASSERT_TRUE(side->keys(down + "Return"));
  const Area heading{220, 40, 640, 82};
  EXPECT_TRUE(both_show_alike(w, l, heading)) << "the Settings page's heading";
  // The current entry's place on each rail (the rails differ by the machines' views above the fixed entries).
  u32 settings_top = 0, linux_settings_top = 0;
  ASSERT_TRUE(driver::until([&] { return (settings_top = selected_entry_top(w.shot())) != 0; }, wait_ms));
  ASSERT_TRUE(driver::until([&] { return (linux_settings_top = selected_entry_top(l.shot())) != 0; }, wait_ms));
  const Area cluster_rows{220, 452, 1280, 636}, status{508, 476, 1270, 508};
  const driver::Frame before_link = w.shot();

  // The host starts: once it holds both machines, each window's status line says so with no input.
  net::Process host;
  host.start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"}, home);
  ASSERT_TRUE(host.wait_output("vimbrel host: listening on port " + std::to_string(port), 60)) << host.out();
  const std::string machines = share + "/terms/00000001/machines";
  ASSERT_TRUE(driver::until([&] {
    std::error_code e;
    u32 n = 0;
    for (auto it = std::filesystem::directory_iterator(machines, e); !e && it != std::filesystem::directory_iterator();
         it.increment(e))
      ++n;
    return n >= 2;
  }, wait_ms)) << "the host did not take both machines";
  EXPECT_TRUE(both_show_alike(w, l, cluster_rows)) << "the cluster rows and the link's status";
  EXPECT_FALSE(same_in(w.shot(), before_link, status)) << "vimbrel.exe's status line kept the time before the link";

  // Up and Down move the rail's keyboard outline on the screen: Settings, Machines, Processes and back to Machines,
  // the fixed entries 32 px apart with the grey Cluster word between Machines and Settings. (The Settings page is
  // drawn again each second, so a move that the window failed to draw would still show within a second: the test
  // mode's frames, which have no timers, check that each move is drawn at once.)
  const struct {
    const char* key;
    u32 above_settings;
  } moves[] = {{"Up", 64}, {"Up", 96}, {"Down", 64}};
  for (const auto& m : moves) {
    SCOPED_TRACE(m.key);
    ASSERT_TRUE(w.keys(m.key));
    EXPECT_TRUE(driver::until([&] { return outlined(w.shot(), settings_top - m.above_settings); }, wait_ms))
        << "the outline is not around the entry " << m.above_settings << " px above Settings";
  }
  ASSERT_TRUE(l.keys("Up"));

  // Enter on Machines opens the Machines page: both connect to the host and list its machines by system, this
  // computer's row marked on each.
  for (const Side* side : {&w, &l}) ASSERT_TRUE(side->keys("Return"));
  EXPECT_TRUE(both_show_alike(w, l, Area{220, 40, 1280, 180})) << "the Machines page's heading, state and columns";

  // A click on the rail's Processes entry opens the Processes page; a right click on a row opens the system's menu
  // there (a window of the program's own at the point), which Escape closes.
  ASSERT_TRUE(w.click(50, i32(settings_top) - 96 + 16));
  ASSERT_TRUE(l.click(50, i32(linux_settings_top) - 96 + 16));
  EXPECT_TRUE(both_show_alike(w, l, heading)) << "the Processes page's heading";
  EXPECT_TRUE(both_show_alike(w, l, Area{244, 116, 1240, 144})) << "the table's columns";
  ASSERT_TRUE(driver::until([&] {
    const driver::Frame f = w.shot();
    u32 marked = 0;
    for (u32 y = 146; y < 158; ++y)
      for (u32 x = 248; x < 420; ++x) marked += (f.at(x, y) & 0xFFFFFF) != (f.at(246, 152) & 0xFFFFFF);
    return marked > 8;
  }, wait_ms)) << "no first row in the table";
  ASSERT_TRUE(w.click(400, 160, 3));
  screen::Place menu;
  EXPECT_TRUE(driver::until([&] { return popup_of(w, &menu); }, wait_ms)) << "no menu window";
  EXPECT_EQ(menu.x, w.at.x + 400);
  EXPECT_EQ(menu.y, w.at.y + 160);
  ASSERT_TRUE(w.keys("Escape"));
  EXPECT_TRUE(driver::until([&] { return !popup_of(w, &menu); }, wait_ms)) << "the menu stayed";

  // The close button ends both programs with 0.
  for (const Side* side : {&w, &l}) ASSERT_TRUE(side->click(1257, 20));
  EXPECT_EQ(wine.ended(wait_ms), 0);
  EXPECT_EQ(d.end(false, wait_ms), 0);
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.out();
}

// An unattended start (the program's own restart after an update while nobody used it) shows the window without
// activating it: keys that arrive before anyone touches it go nowhere, even with the pointer over it, and a click
// activates it so that the keys after it are the window's. The pointer's hover, which an inactive window takes too,
// is drawn only after the keys sent before it were handled; the page opened by the click only after the activation.
TEST(WindowsFrames, AnUnattendedWindowTakesKeysOnceClicked) {
  const char* exe = getenv("VIMBREL_WINDOWS_EXE");
  const char* prefix = getenv("VIMBREL_WINE_PREFIX");
  if (!exe || !prefix) GTEST_SKIP() << "no Windows build (tests/windows/run names it)";
  screen::Screen x;
  ASSERT_TRUE(x.up()) << "Xvfb could not start";
  ASSERT_EQ(std::system("command -v xdotool >/dev/null"), 0) << "xdotool is missing (tools/deps installs it)";
  WineWindow wine(prefix, "unattended");
  ASSERT_TRUE(wine.made());
  ASSERT_TRUE(wine.start(exe, x.server.display, {"--unattended"}));
  Side w{x, wine.pid, "windows", "", {}};
  ASSERT_TRUE(w.find()) << "no window of vimbrel.exe: " << testutil::read_file(wine.prefix + "/out.txt");
  u32 overview = 0;
  ASSERT_TRUE(driver::until([&] { return (overview = selected_entry_top(w.shot())) != 0; }, wait_ms));
  constexpr u32 view_entry = 56;  // the rail's view entries (Overview, CPU, Memory, ...) stand 56 px apart
  const u32 memory = overview + 2 * view_entry;

  // Down Down Enter would open the Memory page; the pointer then rests on the Memory entry.
  ASSERT_TRUE(x.xdotool("mousemove " + std::to_string(w.at.x + 640) + " " + std::to_string(w.at.y + 400)));
  ASSERT_TRUE(w.keys("Down Down Return"));
  const u32 unlit = w.shot().at(200, memory + 28);
  ASSERT_TRUE(x.xdotool("mousemove " + std::to_string(w.at.x + 100) + " " + std::to_string(w.at.y + memory + 28)));
  ASSERT_TRUE(driver::until([&] { return w.shot().at(200, memory + 28) != unlit; }, wait_ms)) << "no hover";
  EXPECT_EQ(selected_entry_top(w.shot()), overview) << "the window took keys before anyone clicked it";

  // A click on the Memory entry opens its page (seen with the pointer off the rail); Up Enter then opens the CPU page.
  ASSERT_TRUE(x.xdotool("click 1 mousemove " + std::to_string(w.at.x + 640) + " " + std::to_string(w.at.y + 400)));
  ASSERT_TRUE(driver::until([&] { return selected_entry_top(w.shot()) == memory; }, wait_ms)) << "the click";
  ASSERT_TRUE(w.keys("Up Return"));
  EXPECT_TRUE(driver::until([&] { return selected_entry_top(w.shot()) == overview + view_entry; }, wait_ms))
      << "the keys after the click did not open the CPU page: the entry at " << selected_entry_top(w.shot())
      << " is selected, the Overview's is at " << overview;
  ASSERT_TRUE(w.click(1257, 20));
  EXPECT_EQ(wine.ended(wait_ms), 0);
}

}  // namespace
