#pragma once
// The window of the shell in this process: its model on demo data and its window on the headless backend, so a
// test calls the shell's functions and reads the window layer's records (rectangles, show state, other windows)
// directly. The runtime and settings folders are the test's own.
#include <gtest/gtest.h>

#include <string>

#include "platform/kobj.h"
#include "platform/window.h"
#include "shell/app.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace shelltest {

inline const std::string lato = "/usr/share/fonts/truetype/lato";

struct ShellWindow {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  harness::EnvVar config{"XDG_CONFIG_HOME", dir.path};
  harness::EnvVar data{"XDG_DATA_HOME", dir.path};
  win::Thread thread{};
  app::AppState s{};
  bool made = false;

  // test: the window runs under --test (its work area is the driver's; see work_area).
  explicit ShellWindow(bool test = true, u32 options = 0) {
    if (win::start(&thread, win::start_headless) != win::ok) return;
    s.thread = &thread;
    s.options = options | (test ? u32{app::opt_test} : 0u);
    if (test) s.flags |= app::flag_test;
    if (app::init(&s, mem::lit("0.1.81"), true, 10, false, false, false, false, 0) != 1) return;
    made = app::create_window(&s, s.options, harness::bytes(lato)) == 1;
  }
  ~ShellWindow() {
    app::tear_down(&s);
    win::finish(&thread);
    mem::release(&s.arena);
  }
  // The driver's work area for snapping.
  void work_area(i16 left, i16 top, i16 right, i16 bottom) {
    s.test_work[0] = left;
    s.test_work[1] = top;
    s.test_work[2] = right;
    s.test_work[3] = bottom;
  }
  // No updater stands behind the window: a staged update is not waited for.
  void no_updater() {
    if (s.swap_event) kobj::close(s.swap_event);
    s.swap_event = 0;
  }
  win::Rect rect(win::Handle w = 0) const {
    win::Rect r{};
    win::window_rect(thread, w ? w : s.window, &r);
    return r;
  }
  const win::Window* record(win::Handle w) { return win::find(&thread, w); }
};

inline bool same(win::Rect a, win::Rect b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline std::string text(win::Rect r) {
  return "{" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + "}";
}

}  // namespace shelltest
