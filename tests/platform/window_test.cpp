// The window layer: queue order, timers, regions, input state, and posting between processes through the window
// folder of the runtime folder.
#include "platform/window.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;
using win::Msg;
using win::Rect;

struct WindowTest : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  std::unique_ptr<win::Thread> t = std::make_unique<win::Thread>();

  // A headless thread with a test clock at 1,000 ms and one shown window of a double-click class.
  win::Handle open(const std::string& cls = "WinTest", u32 style = win::cs_dblclks) {
    EXPECT_EQ(win::start(t.get(), win::start_headless), win::ok);
    t->clock_ms = 1000;
    EXPECT_EQ(win::register_class(t.get(), bytes(cls), style, 0, win::cursor_arrow, win::no_colour), win::ok);
    win::Handle h = win::create_window(t.get(), bytes(cls), 0, 0, 120, 80, 640, 400);
    EXPECT_NE(h, 0u);
    return h;
  }
  ~WindowTest() override { win::finish(t.get()); }

  // Every message that is due now, in order, removed.
  std::vector<u32> drain() {
    std::vector<u32> seen;
    Msg m{};
    while (win::peek_message(t.get(), &m, 0, 0, 0, true) && seen.size() < 20) {
      seen.push_back(m.message);
      if (m.message == win::wm_paint) {
        Rect paint{};
        win::begin_paint(t.get(), m.window, &paint);
        win::end_paint(t.get(), m.window);
      }
    }
    return seen;
  }
  std::string folder() const { return dir.path + "/vimbrel/windows"; }
};

TEST_F(WindowTest, PostedThenQuitThenTimersThenPaint) {
  win::Handle w = open();
  win::show_window(t.get(), w, win::sw_shownoactivate);  // showing invalidates the whole client area
  ASSERT_EQ(win::set_timer(t.get(), w, 9, 100), 9u);
  t->clock_ms += 100;
  win::post(t.get(), w, win::wm_app + 0x11, 0, 0);
  win::post(t.get(), 0, win::wm_app + 0x12, 0, 0);
  win::post_quit(t.get(), 7);
  // A filter for paints alone finds the paint behind the posted messages, and does not take it away.
  Msg m{};
  ASSERT_EQ(win::peek_message(t.get(), &m, 0, win::wm_paint, win::wm_paint, true), 1u);
  EXPECT_EQ(m.window, w);
  EXPECT_EQ(win::peek_message(t.get(), &m, 0, win::wm_paint, win::wm_paint, true), 1u);
  EXPECT_EQ(drain(), (std::vector<u32>{win::wm_app + 0x11, win::wm_app + 0x12, win::wm_quit, win::wm_timer,
                                       win::wm_paint}));
  // Painting validated the region: nothing is left until something is invalidated again.
  EXPECT_EQ(drain(), std::vector<u32>{});
  Rect r{10, 10, 20, 20};
  win::invalidate(t.get(), w, &r);
  EXPECT_EQ(drain(), std::vector<u32>{win::wm_paint});
  // A hidden window is not painted.
  win::invalidate(t.get(), w, nullptr);
  win::show_window(t.get(), w, win::sw_hide);
  EXPECT_EQ(drain(), std::vector<u32>{});
}

TEST_F(WindowTest, GetMessageReturnsZeroOnQuitAndFailsWithNothingToWaitFor) {
  win::Handle w = open();
  win::post(t.get(), w, win::wm_close, 0, 0);
  win::post_quit(t.get(), 3);
  Msg m{};
  EXPECT_EQ(win::get_message(t.get(), &m), 1);
  EXPECT_EQ(m.message, win::wm_close);
  EXPECT_EQ(win::get_message(t.get(), &m), 0);
  EXPECT_EQ(m.wparam, 3u);
  win::destroy_window(t.get(), w);
  EXPECT_EQ(win::get_message(t.get(), &m), -1);
}

// However long the loop was away, a timer gives one WM_TIMER, and the next comes a whole period later.
TEST_F(WindowTest, TimersCoalesceAndKeepTheirPeriod) {
  win::Handle w = open();
  ASSERT_EQ(win::set_timer(t.get(), w, 1, 1000), 1u);
  ASSERT_EQ(win::set_timer(t.get(), w, 9, 100), 9u);
  const u32 thread_timer = win::set_timer(t.get(), 0, 0, 50);
  ASSERT_NE(thread_timer, 0u);
  t->clock_ms += 5000;
  Msg m{};
  std::vector<std::pair<win::Handle, u64>> fired;
  while (win::peek_message(t.get(), &m, 0, win::wm_timer, win::wm_timer, true)) fired.push_back({m.window, m.wparam});
  // Oldest deadline first; each once.
  EXPECT_EQ(fired, (std::vector<std::pair<win::Handle, u64>>{{0, thread_timer}, {w, 9}, {w, 1}}));
  t->clock_ms += 49;
  EXPECT_EQ(win::peek_message(t.get(), &m, 0, 0, 0, true), 0u);
  t->clock_ms += 1;
  ASSERT_EQ(win::peek_message(t.get(), &m, 0, 0, 0, true), 1u);
  EXPECT_EQ(m.wparam, thread_timer);
  // Setting a timer again restarts it rather than adding one; a killed timer is silent.
  ASSERT_EQ(win::set_timer(t.get(), w, 9, 100), 9u);
  EXPECT_EQ(win::kill_timer(t.get(), w, 1), 1u);
  EXPECT_EQ(win::kill_timer(t.get(), w, 1), 0u);
  t->clock_ms += 10000;
  fired.clear();
  while (win::peek_message(t.get(), &m, 0, win::wm_timer, win::wm_timer, true)) fired.push_back({m.window, m.wparam});
  EXPECT_EQ(fired, (std::vector<std::pair<win::Handle, u64>>{{0, thread_timer}, {w, 9}}));
  // get_message with a test clock moves the clock to the next deadline instead of sleeping.
  const u64 before = t->clock_ms;
  ASSERT_EQ(win::get_message(t.get(), &m), 1);
  EXPECT_EQ(m.message, win::wm_timer);
  EXPECT_EQ(t->clock_ms, before + 50);
  // Timers of a destroyed window go with it.
  win::destroy_window(t.get(), w);
  EXPECT_EQ(win::set_timer(t.get(), w, 2, 10), 0u);
}

// A region compared with a bitmap of the same pixels after random unions and differences: the list covers exactly
// the pixels, never overlaps, and a collapse past the capacity only ever keeps more.
TEST(WindowRegion, MatchesAPixelMapUnderUnionAndDifference) {
  constexpr int side = 48;
  std::mt19937 random(12345);
  for (int round = 0; round < 300; ++round) {
    win::Region r{};
    std::vector<u8> map(side * side, 0);
    bool collapsed = false;
    for (int op = 0; op < 24; ++op) {
      int x0 = static_cast<int>(random() % side), y0 = static_cast<int>(random() % side);
      int x1 = x0 + static_cast<int>(random() % 20), y1 = y0 + static_cast<int>(random() % 20);
      Rect rect{x0, y0, std::min(x1, side), std::min(y1, side)};
      const bool add = random() % 3 != 0;
      if (add) {
        win::region_add(&r, rect);
      } else {
        win::region_subtract(&r, rect);
      }
      for (int y = rect.top; y < rect.bottom; ++y)
        for (int x = rect.left; x < rect.right; ++x) map[y * side + x] = add ? 1 : 0;
      u64 covered = 0;
      bool superset = true, exact = true;
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
          const bool in = win::region_contains(r, x, y);
          covered += in;
          if (map[y * side + x] && !in) superset = false;
          if (map[y * side + x] != in) exact = false;
        }
      // Rectangles never overlap: their areas add up to the pixels covered.
      ASSERT_EQ(win::region_area(r), covered) << round << " " << op;
      ASSERT_TRUE(superset) << round << " " << op;
      if (!exact) collapsed = true;
      if (!collapsed) {
        ASSERT_TRUE(exact) << round << " " << op;
      }
      ASSERT_EQ(win::region_empty(r), covered == 0);
      ASSERT_LE(r.count, win::region_most);
    }
  }
}

TEST(WindowRegion, CasesOfUnionDifferenceAndEmptiness) {
  struct Case {
    const char* name;
    std::vector<Rect> add, subtract;
    u64 area;
    Rect box;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, {}, 0, {0, 0, 0, 0}},
      {"empty rectangles change nothing", {{5, 5, 5, 9}, {3, 3, 2, 8}}, {}, 0, {0, 0, 0, 0}},
      {"overlap counted once", {{0, 0, 10, 10}, {5, 5, 15, 15}}, {}, 175, {0, 0, 15, 15}},
      {"same rectangle twice", {{0, 0, 10, 10}, {0, 0, 10, 10}}, {}, 100, {0, 0, 10, 10}},
      {"hole in the middle", {{0, 0, 10, 10}}, {{3, 3, 7, 7}}, 84, {0, 0, 10, 10}},
      {"difference of everything is empty", {{0, 0, 10, 10}, {20, 0, 30, 5}}, {{-5, -5, 40, 40}}, 0, {0, 0, 0, 0}},
      {"dirty parts cover the update region", {{0, 0, 100, 40}, {0, 40, 30, 80}},
       {{0, 0, 60, 40}, {60, 0, 100, 40}, {0, 40, 30, 80}}, 0, {0, 0, 0, 0}},
      {"one pixel left", {{0, 0, 100, 40}}, {{0, 0, 99, 40}, {99, 0, 100, 39}}, 1, {99, 39, 100, 40}},
  };
  for (const Case& c : cases) {
    win::Region r{};
    for (const Rect& a : c.add) win::region_add(&r, a);
    for (const Rect& s : c.subtract) win::region_subtract(&r, s);
    EXPECT_EQ(win::region_area(r), c.area) << c.name;
    EXPECT_EQ(win::region_empty(r), c.area == 0) << c.name;
    const Rect box = win::region_box(r);
    EXPECT_EQ(std::vector<i32>({box.left, box.top, box.right, box.bottom}),
              std::vector<i32>({c.box.left, c.box.top, c.box.right, c.box.bottom}))
        << c.name;
  }
  // Past the capacity the union keeps the bounding box: nothing invalid is lost.
  win::Region r{};
  for (i32 i = 0; i < 100; ++i) win::region_add(&r, Rect{i * 3, 0, i * 3 + 1, 1});
  EXPECT_LE(r.count, win::region_most);
  for (i32 i = 0; i < 100; ++i) EXPECT_TRUE(win::region_contains(r, i * 3, 0)) << i;
}

TEST_F(WindowTest, PaintTakesTheBoundingBoxAndInvalidationIsCutToTheClient) {
  win::Handle w = open();
  win::show_window(t.get(), w, win::sw_show);
  Rect paint{};
  ASSERT_EQ(win::begin_paint(t.get(), w, &paint), 1u);
  EXPECT_EQ(paint.right, 640);
  EXPECT_EQ(paint.bottom, 400);
  Rect a{600, 390, 700, 500}, b{-10, -10, 5, 5};
  win::invalidate(t.get(), w, &a);
  win::invalidate(t.get(), w, &b);
  win::Region region{};
  ASSERT_EQ(win::update_region(*t, w, &region), 1u);
  EXPECT_EQ(win::region_area(region), 40u * 10 + 25);
  win::validate(t.get(), w, &b);
  ASSERT_EQ(win::begin_paint(t.get(), w, &paint), 1u);
  EXPECT_EQ(std::vector<i32>({paint.left, paint.top, paint.right, paint.bottom}),
            std::vector<i32>({600, 390, 640, 400}));
  EXPECT_EQ(win::update_region(*t, w, &region), 0u);
}

TEST_F(WindowTest, ShowStateGeometryAndPresents) {
  win::Handle w = open();
  EXPECT_FALSE(win::is_visible(*t, w));
  EXPECT_EQ(win::show_window(t.get(), w, win::sw_showminnoactive), 0u);
  EXPECT_TRUE(win::is_visible(*t, w));
  EXPECT_TRUE(win::is_iconic(*t, w));
  EXPECT_EQ(win::show_window(t.get(), w, win::sw_restore), 1u);
  EXPECT_FALSE(win::is_iconic(*t, w));
  win::show_window(t.get(), w, win::sw_hide);
  EXPECT_FALSE(win::is_visible(*t, w));
  Rect r{};
  ASSERT_EQ(win::window_rect(*t, w, &r), 1u);
  EXPECT_EQ(std::vector<i32>({r.left, r.top, r.right, r.bottom}), std::vector<i32>({120, 80, 760, 480}));
  ASSERT_EQ(win::set_window_pos(t.get(), w, -5, 7, 800, 500), 1u);
  ASSERT_EQ(win::client_rect(*t, w, &r), 1u);
  EXPECT_EQ(std::vector<i32>({r.left, r.top, r.right, r.bottom}), std::vector<i32>({0, 0, 800, 500}));
  EXPECT_EQ(win::set_window_pos(t.get(), w, 0, 0, 0, 500), 0u);
  // Presents land in the window's pixels at its new size, and the frame record is named after its handle.
  gdi::Handle sink = win::sink(*t, w);
  ASSERT_NE(sink, 0u);
  EXPECT_EQ(gdi::window_id(sink), w);
  std::vector<u32> block(4, 0xFF123456u);
  ASSERT_EQ(gdi::present(sink, 798, 499, 2, 2, block.data(), 2), 1u);
  i32 width = 0, height = 0;
  const u32* pixels = gdi::window_pixels(sink, &width, &height);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(width, 800);
  EXPECT_EQ(height, 500);
  EXPECT_EQ(pixels[499 * 800 + 799], 0xFF123456u);
  EXPECT_EQ(win::process_of(w), static_cast<u32>(getpid()));
  EXPECT_EQ(win::monitor_dpi(*t, 0, 0), 96u);
  EXPECT_EQ(win::work_area(*t, 0, 0, &r), 0u);
}

TEST_F(WindowTest, DoubleClicksKeysCaptureCursorAndLeave) {
  win::Handle w = open();
  struct Press {
    u64 after_ms;
    i32 x, y;
    u32 message;
    u32 expected;
  };
  const auto at = [](i32 x, i32 y) { return static_cast<i64>((u32(u16(y)) << 16) | u16(x)); };
  const std::vector<Press> presses = {
      {0, 10, 10, win::wm_lbuttondown, win::wm_lbuttondown},
      {400, 12, 8, win::wm_lbuttondown, win::wm_lbuttondblclk},  // within 500 ms and 2 px
      {100, 12, 8, win::wm_lbuttondown, win::wm_lbuttondown},    // a third press starts again
      {501, 12, 8, win::wm_lbuttondown, win::wm_lbuttondown},    // too late
      {10, 15, 8, win::wm_lbuttondown, win::wm_lbuttondown},     // too far
      {10, 15, 8, win::wm_rbuttondown, win::wm_rbuttondown},     // another button
      {10, 15, 8, win::wm_rbuttondown, win::wm_rbuttondblclk},
  };
  Msg m{};
  for (const Press& p : presses) {
    t->clock_ms += p.after_ms;
    win::input(t.get(), w, p.message, 0, at(p.x, p.y));
    ASSERT_EQ(win::peek_message(t.get(), &m, 0, 0, 0, true), 1u);
    EXPECT_EQ(m.message, p.expected) << p.after_ms << " " << p.x;
  }
  // Without the class style no double-click is made.
  win::register_class(t.get(), bytes("Plain"), 0, 0, win::cursor_arrow, win::no_colour);
  win::Handle plain = win::create_window(t.get(), bytes("Plain"), 0, 0, 0, 0, 10, 10);
  win::input(t.get(), plain, win::wm_lbuttondown, 0, 0);
  win::input(t.get(), plain, win::wm_lbuttondown, 0, 0);
  std::vector<u32> seen = drain();
  EXPECT_EQ(seen, (std::vector<u32>{win::wm_lbuttondown, win::wm_lbuttondown}));
  // Key state follows real input; the pointer is kept in screen px.
  win::input(t.get(), w, win::wm_keydown, win::vk_shift, 0);
  EXPECT_LT(win::key_state(*t, win::vk_shift), 0);
  win::input(t.get(), w, win::wm_keyup, win::vk_shift, 0);
  EXPECT_EQ(win::key_state(*t, win::vk_shift), 1);  // up, toggled once
  win::input(t.get(), w, win::wm_mousemove, 0, at(-3, 20));
  i32 x = 0, y = 0;
  win::cursor_pos(*t, &x, &y);
  EXPECT_EQ(x, 117);
  EXPECT_EQ(y, 100);
  drain();
  // Capture and cursor hand back what was there.
  EXPECT_EQ(win::set_capture(t.get(), w), 0u);
  EXPECT_EQ(win::get_capture(*t), w);
  EXPECT_EQ(win::set_cursor(t.get(), win::cursor_size_we), u32{win::cursor_arrow});
  EXPECT_EQ(win::get_cursor(*t), u32{win::cursor_size_we});
  win::destroy_window(t.get(), w);
  EXPECT_EQ(win::get_capture(*t), 0u);
  // Leave tracking gives one WM_MOUSELEAVE per request.
  win::pointer_left(t.get(), plain);
  EXPECT_EQ(drain(), std::vector<u32>{});
  win::track_leave(t.get(), plain);
  win::pointer_left(t.get(), plain);
  win::pointer_left(t.get(), plain);
  EXPECT_EQ(drain(), std::vector<u32>{win::wm_mouseleave});
}

TEST(WindowNames, RegisteredMessagesAndWireRecords) {
  // FNV-1a 32 of "a" is 0xE40C292C.
  EXPECT_EQ(win::register_message(bytes("a")), 0xC000u + 0xE40C292Cu % 0x3FFF);
  const u32 wake = win::register_message(bytes("Vimbrel-Wake"));
  EXPECT_EQ(wake, win::register_message(bytes("Vimbrel-Wake")));
  EXPECT_GE(wake, 0xC000u);
  EXPECT_LE(wake, 0xFFFEu);
  EXPECT_NE(wake, win::register_message(bytes("Vimbrel-wake")));
  u8 record[win::wire_bytes];
  win::wire_put(record, 0x8010, 0x5642000000000102ull, -2);
  const std::vector<u8> expected = {0x10, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0, 0, 0, 0, 0x42, 0x56,
                                    0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<u8>(record, record + sizeof record), expected);
  u32 message = 0;
  u64 wparam = 0;
  i64 lparam = 0;
  ASSERT_EQ(win::wire_get(record, sizeof record, &message, &wparam, &lparam), 1u);
  EXPECT_EQ(message, 0x8010u);
  EXPECT_EQ(wparam, 0x5642000000000102ull);
  EXPECT_EQ(lparam, -2);
  EXPECT_EQ(win::wire_get(record, sizeof record - 1, &message, &wparam, &lparam), 0u);
  record[5] = 1;
  EXPECT_EQ(win::wire_get(record, sizeof record, &message, &wparam, &lparam), 0u);
}

TEST_F(WindowTest, StartRefusesWithoutADisplayAndSaysAnUnreachableOneIsSo) {
  {
    harness::EnvVar display("DISPLAY", std::nullopt);
    EXPECT_EQ(win::start(t.get(), win::start_any), win::no_display);
  }
  {
    harness::EnvVar display("DISPLAY", ":65500");  // no server has that number
    EXPECT_EQ(win::start(t.get(), win::start_display), win::display_lost);
    EXPECT_EQ(t->display, nullptr);
  }
  ASSERT_EQ(win::start(t.get(), win::start_headless), win::ok);
  EXPECT_EQ(win::register_class(t.get(), bytes("bad/name"), 0, 0, 0, 0), win::refused);
  EXPECT_EQ(win::register_class(t.get(), bytes(""), 0, 0, 0, 0), win::refused);
  EXPECT_EQ(win::register_class(t.get(), bytes(std::string(64, 'a')), 0, 0, 0, 0), win::refused);
  EXPECT_EQ(win::register_class(t.get(), bytes("Ok"), 0, 0, 0, 0), win::ok);
  EXPECT_EQ(win::register_class(t.get(), bytes("Ok"), 0, 0, 0, 0), win::refused);
  u32 code = 0;
  EXPECT_EQ(win::create_window(t.get(), bytes("Missing"), 0, 0, 0, 0, 10, 10, &code), 0u);
  EXPECT_EQ(code, win::refused);
  EXPECT_EQ(win::create_window(t.get(), bytes("Ok"), 0, 0, 0, 0, 16385, 10, &code), 0u);
  for (u32 i = 0; i < win::windows_most; ++i) EXPECT_NE(win::create_window(t.get(), bytes("Ok"), 0, 0, 0, 0, 8, 8), 0u);
  EXPECT_EQ(win::create_window(t.get(), bytes("Ok"), 0, 0, 0, 0, 8, 8, &code), 0u);
  EXPECT_EQ(code, win::full);
}

// ---- Between processes

// A child process that opens a window of the class, writes its handle as a line, then reports each message it
// takes as "message wparam lparam" until WM_CLOSE; with `crash` it ends at once without letting go of anything.
int window_child(int out, const std::string& cls, bool crash) {
  auto t = std::make_unique<win::Thread>();
  if (win::start(t.get(), win::start_headless) != win::ok) return 10;
  if (win::register_class(t.get(), bytes(cls), 0, 0, win::cursor_arrow, win::no_colour) != win::ok) return 11;
  win::Handle w = win::create_window(t.get(), bytes(cls), 0, 0, 0, 0, 32, 32);
  if (!w) return 12;
  std::string line = std::to_string(w) + "\n";
  if (write(out, line.data(), line.size()) < 0) return 13;
  if (crash) _exit(0);
  Msg m{};
  while (win::get_message(t.get(), &m) == 1) {
    line = std::to_string(m.message) + " " + std::to_string(m.wparam) + " " + std::to_string(m.lparam) + "\n";
    if (write(out, line.data(), line.size()) < 0) return 14;
    if (m.message == win::wm_close) break;
  }
  win::finish(t.get());
  return 0;
}

struct Child {
  int pipe_read = -1;
  pid_t pid = -1;
  Child(const std::string& cls, bool crash) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      ::close(fds[0]);
      _exit(window_child(fds[1], cls, crash));
    }
    ::close(fds[1]);
    pipe_read = fds[0];
  }
  int end() {
    int status = 0;
    long long deadline = forked::now_ms() + 30000;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (forked::now_ms() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
      }
      usleep(2000);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (pipe_read >= 0) ::close(pipe_read);
  }
};

TEST_F(WindowTest, PostsReachAWindowOfAnotherProcess) {
  Child a("WinPeer", false), b("WinPeer", false);
  const win::Handle wa = std::stoull(forked::read_line(a.pipe_read));
  const win::Handle wb = std::stoull(forked::read_line(b.pipe_read));
  ASSERT_NE(wa, 0u);
  ASSERT_NE(wb, 0u);
  EXPECT_EQ(win::process_of(wa), static_cast<u32>(a.pid));
  // The class files list both windows in the order of their process ids, and the driver's lookup agrees.
  const win::Handle first = win::find_window(bytes("WinPeer"), 0);
  const win::Handle second = win::find_window(bytes("WinPeer"), first);
  EXPECT_EQ(std::min(wa, wb) >> 16, first >> 16);
  EXPECT_EQ(std::max(wa, wb) >> 16, second >> 16);
  EXPECT_EQ(win::find_window(bytes("WinPeer"), second), 0u);
  EXPECT_EQ(win::find_window(bytes("Other"), 0), 0u);
  struct stat st{};
  ASSERT_EQ(stat((folder() + "/WinPeer." + std::to_string(a.pid)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  // Wide wParam values and negative lParam values arrive whole and in order.
  ASSERT_EQ(win::post_remote(wa, win::wm_app + 0x10, 0x5642000000000007ull, -123456789), win::ok);
  ASSERT_EQ(win::post_remote(wa, win::wm_keydown, 0x1B, 0), win::ok);
  ASSERT_EQ(win::post_remote(wa, win::wm_close, 0, 0), win::ok);
  EXPECT_EQ(forked::read_line(a.pipe_read), std::to_string(win::wm_app + 0x10) + " " +
                                                std::to_string(0x5642000000000007ull) + " -123456789");
  EXPECT_EQ(forked::read_line(a.pipe_read), std::to_string(win::wm_keydown) + " 27 0");
  EXPECT_EQ(forked::read_line(a.pipe_read), std::to_string(win::wm_close) + " 0 0");
  EXPECT_EQ(a.end(), 0);
  // A window that went away cleanly took its files along.
  EXPECT_NE(stat((folder() + "/WinPeer." + std::to_string(wa >> 16)).c_str(), &st), 0);
  EXPECT_EQ(win::post_remote(wa, win::wm_close, 0, 0), win::gone);
  EXPECT_EQ(win::find_window(bytes("WinPeer"), 0), wb);
  // A thread posts to the other process's window through the same socket.
  auto t2 = std::make_unique<win::Thread>();
  ASSERT_EQ(win::start(t2.get(), win::start_headless), win::ok);
  ASSERT_EQ(win::post(t2.get(), wb, win::wm_close, 1, 2), win::ok);
  EXPECT_EQ(forked::read_line(b.pipe_read), std::to_string(win::wm_close) + " 1 2");
  EXPECT_EQ(b.end(), 0);
}

// A window that starts sweeps what killed windows left in the folder: entries, sockets and temporaries of processes
// that are gone, once older than a minute. Young leftovers, and those of live processes, stay.
TEST_F(WindowTest, LeftoversOfKilledWindowsAreSweptByTheNextWindow) {
  Child crashed("WinLeft", true);
  const win::Handle w = std::stoull(forked::read_line(crashed.pipe_read));
  ASSERT_NE(w, 0u);
  const u32 dead = static_cast<u32>(w >> 16);
  EXPECT_EQ(crashed.end(), 0);
  char hex[32];
  snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(w));
  const std::string own = std::to_string(getpid());
  testutil::write_file(folder() + "/WinLeft." + std::to_string(dead) + ".1f.new", "1f\n");
  testutil::write_file(folder() + "/WinYoung." + std::to_string(dead), "1f\n");
  testutil::write_file(folder() + "/WinAlive." + own, "1f\n");
  const timespec old_times[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  const struct {
    std::string name;
    bool old, kept;
  } cases[] = {
      {"WinLeft." + std::to_string(dead), true, false},
      {hex, true, false},
      {"WinLeft." + std::to_string(dead) + ".1f.new", true, false},
      {"WinYoung." + std::to_string(dead), false, true},
      {"WinAlive." + own, true, true},
  };
  for (const auto& c : cases) {
    if (c.old) {
      ASSERT_EQ(utimensat(AT_FDCWD, (folder() + "/" + c.name).c_str(), old_times, AT_SYMLINK_NOFOLLOW), 0) << c.name;
    }
  }
  Child next("WinNext", false);
  const win::Handle started = std::stoull(forked::read_line(next.pipe_read));
  ASSERT_NE(started, 0u);
  struct stat st{};
  for (const auto& c : cases) EXPECT_EQ(lstat((folder() + "/" + c.name).c_str(), &st) == 0, c.kept) << c.name;
  ASSERT_EQ(win::post_remote(started, win::wm_close, 0, 0), win::ok);
  EXPECT_EQ(next.end(), 0);
}

TEST_F(WindowTest, AStaleEntryOfAnEndedProcessIsIgnoredAndRemoved) {
  Child crashed("WinStale", true);
  const win::Handle w = std::stoull(forked::read_line(crashed.pipe_read));
  ASSERT_NE(w, 0u);
  EXPECT_EQ(crashed.end(), 0);
  const std::string entry = folder() + "/WinStale." + std::to_string(w >> 16);
  char hex[32];
  snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(w));
  const std::string socket_file = folder() + "/" + hex;
  struct stat st{};
  ASSERT_EQ(stat(entry.c_str(), &st), 0);
  ASSERT_EQ(stat(socket_file.c_str(), &st), 0);
  EXPECT_EQ(win::find_window(bytes("WinStale"), 0), 0u);
  EXPECT_NE(stat(entry.c_str(), &st), 0);
  EXPECT_NE(stat(socket_file.c_str(), &st), 0);
  // An entry naming a window that never had a socket, and one with garbage, are removed too; a live one stays.
  testutil::write_file(folder() + "/WinStale.1", "10001\n");
  testutil::write_file(folder() + "/WinStale.2", "zz\n");
  Child live("WinStale", false);
  const win::Handle alive = std::stoull(forked::read_line(live.pipe_read));
  EXPECT_EQ(win::find_window(bytes("WinStale"), 0), alive);
  EXPECT_NE(stat((folder() + "/WinStale.1").c_str(), &st), 0);
  EXPECT_NE(stat((folder() + "/WinStale.2").c_str(), &st), 0);
  // Posting to the crashed window's handle finds nobody.
  EXPECT_EQ(win::post_remote(w, win::wm_close, 0, 0), win::gone);
  ASSERT_EQ(win::post_remote(alive, win::wm_close, 0, 0), win::ok);
  EXPECT_EQ(live.end(), 0);
}

}  // namespace
