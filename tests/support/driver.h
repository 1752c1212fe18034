#pragma once
// The test driver of the window: starts a program under --test with XDG folders of its own and no display (or the
// X display the test names), finds its window through the runtime folder, posts driver messages and marked input to
// it, asks for frames and waits for them through the frame record's words, and reads the status words and pixels. A
// test that fails keeps its folder and leaves the last frame there as a PNG.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/mem.h"
#include "platform/section.h"
#include "tests/platform/harness.h"

namespace driver {

inline constexpr u64 mark = 0x5642;
inline constexpr u32 app = 0x8000;  // WM_APP
inline constexpr u32 frame_request = app + 0x10;
inline constexpr u32 tick = app + 0x11;
inline constexpr u64 shift = 1u << 16;
inline constexpr u64 windows_key = 1u << 19;

// lParam of a mouse message at client (x, y).
i64 at(i32 x, i32 y);

struct Frame {
  u32 width = 0, height = 0;
  std::vector<u32> pixels;  // 0xAARRGGBB, rows top-down, width x height
  u32 at(u32 x, u32 y) const { return pixels[u64(y) * width + x]; }
};

// FNV-1a over the pixels of a rectangle (clipped to the frame): tells whether a part of the page changed.
u64 hash_of(const Frame& f, u32 left, u32 top, u32 right, u32 bottom);

// Polls every 50 ms until holds() is true or the time-out passes: whether it held.
template <typename Holds>
bool until(Holds holds, u32 timeout_ms = 90000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!holds()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Pixels in [x0, x1) x [y0, y1) whose red, green and blue each lie within tolerance of the colour's: small text is
// blended into its background, so its colour is met only nearly.
u32 count_near(const Frame& f, u32 argb, u32 tolerance, u32 x0, u32 y0, u32 x1, u32 y1);

// The frame that a window (of any process of this user) last presented, read from its frame record; empty when it
// has none.
Frame frame_of(u64 window);

// Writes the frame as an 8-bit RGB PNG (stored deflate blocks): true when the file was written.
bool write_png(const std::string& path, const Frame& frame);

class Session {
 public:
  // A folder of its own with rt/, cfg/ and data/; this process's XDG_RUNTIME_DIR points at rt/ for the session's
  // life, so that the window folder and the frame record are found where the program makes them.
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& folder() const { return folder_; }
  std::string settings() const { return folder_ + "/set/settings.txt"; }
  // A test file beside the settings file ("" when missing).
  std::string test_file(const std::string& name) const;

  // Starts the program with "--test <fonts> --settings <settings()>" and the extra words; false when it did not
  // start. Standard output and error go to out.txt and err.txt in the folder.
  bool start(const std::string& program, const std::string& fonts, const std::vector<std::string>& extra = {});
  // The program started next sees this X display (DISPLAY) instead of none.
  void use_display(const std::string& display) { display_ = display; }
  // The program started next runs as a user starts it: without "--test <fonts> --settings <file>" (it needs a
  // display then), its settings under the session's cfg/ folder.
  void outside_test() { outside_test_ = true; }
  // The program started next sees the variable with this value (PATH, for a stand-in program of the desktop).
  void set_env(const std::string& name, const std::string& value) { env_.emplace_back(name, value); }
  // The program started next runs under "--test <fonts>" alone, with no settings file named.
  void without_settings() { without_settings_ = true; }
  pid_t pid() const { return pid_; }
  // Waits (up to the time-out) for the program's window of the class and maps its frame record.
  bool find_window(const std::string& class_name, u32 timeout_ms = 10000);
  u64 window() const { return window_; }

  // A driver message (no mark) and an input message with the mark and the modifier bits in wParam.
  bool post(u32 message, u64 wparam = 0, i64 lparam = 0);
  bool input(u32 message, u32 wparam = 0, i64 lparam = 0, u64 modifiers = 0);

  // Posts a frame request with the next number and waits until the record's request word holds it and no pixel
  // write is under way; false on time-out.
  bool request_frame(u32 timeout_ms = 10000);
  u32 word(u32 offset) const;
  u32 status() const;
  u32 value() const;
  // The presented frame from the record.
  Frame frame() const;

  // Posts WM_CLOSE (or nothing with post_close false) and waits for the end: the exit code, -1 when the program was
  // killed after the time-out or ended by a signal.
  int end(bool post_close = true, u32 timeout_ms = 10000);

 private:
  std::string folder_;
  harness::EnvVar runtime_;
  pid_t pid_ = -1;
  u64 window_ = 0;
  std::string display_;
  bool outside_test_ = false;
  std::vector<std::pair<std::string, std::string>> env_;
  bool without_settings_ = false;
  u32 requests_ = 0;
  section::Section record_{};
};

}  // namespace driver
