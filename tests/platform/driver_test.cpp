// The test driver against a small window program of its own: this test program, started with "--test <fonts>
// --settings <file>", opens a headless window of class "VimbrelTest" that paints with the own renderer, counts
// marked input, answers frame requests through the frame record, and ends on Escape or WM_CLOSE.
#include "tests/support/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "drawing/draw.h"
#include "platform/window.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

constexpr u32 background_colours[2] = {0x00201814, 0x004080C0};

struct Program {
  win::Thread t;
  win::Handle window;
  draw::Surface s;
  u32 clicks, inputs;

  void put(u32 offset, u32 value, int order = __ATOMIC_RELAXED) {
    __atomic_store_n(reinterpret_cast<u32*>(s.record.view + offset), value, order);
  }

  void paint() {
    win::Rect box{}, client{};
    win::begin_paint(&t, window, &box);
    win::client_rect(t, window, &client);
    const gdi::Handle sink = win::sink(t, window);
    draw::limit_box(&s, draw::Rect{box.left, box.top, box.right, box.bottom}, false);
    if (!draw::again(&s, sink, client.right, client.bottom)) {
      for (int attempt = 0; attempt < 2; ++attempt) {
        draw::begin(&s, sink, client.right, client.bottom);
        draw::fill(&s, draw::Rect{0, 0, client.right, client.bottom}, background_colours[clicks % 2]);
        const u16 title[] = {'V', 'i', 'm', 'b', 'r', 'e', 'l'};
        draw::text(&s, 0, title, 7, 36, 12, draw::Rect{36, 0, 200, 40}, 0x00E8E8E8, nullptr);
        if (draw::present(&s, sink, client.right, client.bottom)) break;
      }
    }
    win::end_paint(&t, window);
  }

  // Input counts only with the driver mark in the high 32 bits of wParam.
  bool input(const win::Msg& m) {
    const bool is_input = (m.message >= 0x100 && m.message <= 0x109) || (m.message >= 0x200 && m.message <= 0x20E) ||
                          m.message == win::wm_mouseleave;
    if (!is_input) return false;
    if ((m.wparam >> 32) != driver::mark) return true;
    inputs += 1;
    put(draw::word_inputs, inputs);
    put(draw::word_input, m.message);
    put(draw::word_value1, static_cast<u32>(m.wparam));
    put(draw::word_value2, static_cast<u32>(m.lparam));
    if (m.message == win::wm_lbuttondown) {
      clicks += 1;
      draw::invalidate(&s);
      win::invalidate(&t, window, nullptr);
    }
    if (m.message == win::wm_keydown && (m.wparam & 0xFF) == 0x1B) {
      win::destroy_window(&t, window);
      win::post_quit(&t, 0);
    }
    return true;
  }

  void frame_request(u32 number) {
    win::Msg pending{};
    if (win::peek_message(&t, &pending, window, win::wm_paint, win::wm_paint, true)) paint();
    put(draw::word_window, 0x800);
    put(draw::word_model, clicks);
    put(draw::word_request, number, __ATOMIC_RELEASE);  // last, after everything it stands for
  }

  int run(const std::string& fonts) {
    if (win::start(&t, win::start_headless) != win::ok) return 3;
    if (win::register_class(&t, bytes("VimbrelTest"), win::cs_dblclks, 0, win::cursor_arrow, win::no_colour) !=
        win::ok)
      return 3;
    window = win::create_window(&t, bytes("VimbrelTest"), 0, 0, 120, 80, 320, 200);
    if (!window) return 3;
    draw::init(&s, win::sink(t, window), 0, bytes(fonts));
    const draw::Size cell = draw::cell(s);
    if (draw::select(&s, 1, reinterpret_cast<const u8*>(fonts.data()), static_cast<u32>(fonts.size()), cell.width,
                     cell.height, 0) != 0)
      return 5;
    win::show_window(&t, window, win::sw_shownoactivate);
    win::set_timer(&t, 0, 0, 50);
    win::Msg m{};
    int got = 0;
    while ((got = win::get_message(&t, &m)) > 0) {
      if (m.window != window || input(m)) continue;
      if (m.message == win::wm_paint) paint();
      if (m.message == driver::frame_request) frame_request(static_cast<u32>(m.wparam));
      if (m.message == win::wm_close) {
        win::destroy_window(&t, window);
        win::post_quit(&t, 0);
      }
    }
    draw::close(&s);
    win::finish(&t);
    return got < 0 ? 4 : 0;
  }
};

struct WindowProgram {
  WindowProgram() {
    std::vector<std::string> args = testutil::own_arguments();
    if (args.size() != 5 || args[1] != "--test" || args[3] != "--settings") return;
    auto p = std::make_unique<Program>();
    _exit(p->run(args[2]));
  }
} window_program;

const std::string lato = "/usr/share/fonts/truetype/lato";

std::string self() { return testutil::own_arguments()[0]; }

TEST(Driver, FramesMarkedInputAndTheEnd) {
  driver::Session d;
  ASSERT_TRUE(d.start(self(), lato));
  ASSERT_TRUE(d.find_window("VimbrelTest"));
  EXPECT_EQ(win::process_of(d.window()), static_cast<u32>(d.pid()));
  ASSERT_TRUE(d.request_frame());
  EXPECT_EQ(d.status() & 0x800, 0x800u);
  EXPECT_EQ(d.value(), 0u);
  driver::Frame f = d.frame();
  ASSERT_EQ(f.width, 320u);
  ASSERT_EQ(f.height, 200u);
  EXPECT_EQ(f.at(5, 100), 0xFF141820u);
  // Input without the mark is swallowed; with it, it counts and changes what is drawn by the next frame.
  ASSERT_TRUE(d.post(win::wm_lbuttondown, 0, driver::at(50, 60)));
  ASSERT_TRUE(d.request_frame());
  EXPECT_EQ(d.value(), 0u);
  EXPECT_EQ(d.word(draw::word_inputs), 0u);
  ASSERT_TRUE(d.input(win::wm_lbuttondown, 1, driver::at(50, 60), driver::shift));
  ASSERT_TRUE(d.request_frame());
  EXPECT_EQ(d.value(), 1u);
  EXPECT_EQ(d.word(draw::word_inputs), 1u);
  EXPECT_EQ(d.word(draw::word_input), u32{win::wm_lbuttondown});
  EXPECT_EQ(d.word(draw::word_value1), (1u << 16) | 1u);
  EXPECT_EQ(d.word(draw::word_value2), (60u << 16) | 50u);
  f = d.frame();
  EXPECT_EQ(f.at(5, 100), 0xFFC08040u);
  // A marked Escape ends the program with 0, and its window entry goes with it.
  ASSERT_TRUE(d.input(win::wm_keydown, 0x1B));
  EXPECT_EQ(d.end(false), 0);
  struct stat st{};
  EXPECT_NE(stat((d.folder() + "/rt/vimbrel/windows/VimbrelTest." + std::to_string(win::process_of(d.window())))
                     .c_str(),
                 &st),
            0);
  EXPECT_FALSE(d.post(driver::tick));
}

TEST(Driver, WmCloseEndsTheProgram) {
  driver::Session d;
  ASSERT_TRUE(d.start(self(), lato));
  ASSERT_TRUE(d.find_window("VimbrelTest"));
  EXPECT_EQ(d.end(), 0);
}

// The PNG of a frame decodes to the same pixels (checked with Python's zlib when it is there).
TEST(Driver, PngOfAFrame) {
  testutil::TempDir dir;
  driver::Frame f;
  f.width = 300;  // rows of 901 bytes: more than one stored block in all
  f.height = 100;
  for (u32 i = 0; i < f.width * f.height; ++i) f.pixels.push_back(0xFF000000u | (i * 2654435761u >> 8));
  const std::string path = dir.path + "/frame.png";
  ASSERT_TRUE(driver::write_png(path, f));
  const std::string png = testutil::read_file(path);
  ASSERT_GT(png.size(), 8u + 25u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));
  EXPECT_FALSE(driver::write_png(dir.path + "/empty.png", driver::Frame{}));
  if (system("python3 -c 'import zlib' 2>/dev/null") != 0) GTEST_SKIP() << "python3 is not installed";
  const std::string script = dir.path + "/check.py";
  testutil::write_file(script,
                       "import sys, struct, zlib\n"
                       "d = open(sys.argv[1], 'rb').read()\n"
                       "at, idat, w, h = 8, b'', 0, 0\n"
                       "while at < len(d):\n"
                       "  n, = struct.unpack('>I', d[at:at+4]); t = d[at+4:at+8]; body = d[at+8:at+8+n]\n"
                       "  assert zlib.crc32(t + body) == struct.unpack('>I', d[at+8+n:at+12+n])[0]\n"
                       "  if t == b'IHDR': w, h = struct.unpack('>II', body[:8])\n"
                       "  if t == b'IDAT': idat += body\n"
                       "  at += 12 + n\n"
                       "raw = zlib.decompress(idat)\n"
                       "row = 1 + 3 * w\n"
                       "x, y = int(sys.argv[2]), int(sys.argv[3])\n"
                       "print('%d %d %02x%02x%02x' % ((w, h) + tuple(raw[y*row+1+3*x : y*row+4+3*x])))\n");
  const std::string out = dir.path + "/out.txt";
  ASSERT_EQ(system(("python3 '" + script + "' '" + path + "' 123 77 > '" + out + "'").c_str()), 0);
  char expected[32];
  snprintf(expected, sizeof expected, "300 100 %06x\n", f.at(123, 77) & 0xFFFFFF);
  EXPECT_EQ(testutil::read_file(out), expected);
}

}  // namespace
