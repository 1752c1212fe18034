#pragma once
// What the end-to-end tests of the window's pages share: the built window under --test driven through the driver
// library, and readings of its frames (colours, the process table's drawn rows and sort mark, the Machines page's
// rows).
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/driver.h"

namespace pages {

inline const std::string lato = "/usr/share/fonts/truetype/lato";
inline constexpr u32 wait_ms = 60000;
inline constexpr u32 wm_keydown = 0x0100, wm_char = 0x0102, wm_mousemove = 0x0200, wm_lbuttondown = 0x0201,
                     wm_lbuttonup = 0x0202;
inline constexpr u32 vk_return = 0x0D, vk_up = 0x26;

// A frame pixel of a colour written 0x00BBGGRR.
inline u32 pixel(u32 colorref) {
  return 0xFF000000u | ((colorref & 0xFF) << 16) | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}
// The page byte of the frame record's model word.
inline u32 page_of(u32 value) { return value & 0xFF; }
// The middle of the Machines page's table row r.
inline i32 machine_row_y(u32 r) { return 152 + 28 * static_cast<i32>(r) + 14; }

// Rows of the process table whose Name column holds anything but the plain row colour (the empty-list messages are
// centred further right and count as none).
inline u32 rows_drawn(const driver::Frame& f) {
  u32 rows = 0;
  for (u32 y = 144; y + 16 <= 144 + 16 * 39; y += 16) {
    bool any = false;
    for (u32 yy = y; yy < y + 16 && !any; ++yy)
      for (u32 x = 250; x < 600 && !any; ++x) any = f.at(x, yy) != pixel(0x201814);
    rows += any;
  }
  return rows;
}

// The x of the sort mark's widest row in the process table's header band, -1 when there is none.
inline i32 sort_mark_x(const driver::Frame& f) {
  for (u32 x = 244; x + 24 < f.width; ++x)
    if (f.at(x, 122) == pixel(0xFFC14F)) return static_cast<i32>(x);
  return -1;
}

struct Window {
  driver::Session d;
  bool open(const std::vector<std::string>& extra = {}) {
    return d.start(VIMBREL_EXE, lato, extra) && d.find_window("VimbrelTest", wait_ms);
  }
  // On the Settings page, from where Up moves the keyboard to the Machines entry.
  bool open_on_settings(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> words = {"--view", "33"};
    words.insert(words.end(), extra.begin(), extra.end());
    return open(words);
  }
  bool frame() { return d.request_frame(wait_ms); }
  bool key(u32 k, u32 times = 1) {
    for (u32 i = 0; i < times; ++i)
      if (!d.input(wm_keydown, k)) return false;
    return true;
  }
  bool type(const std::string& text) {
    for (char c : text)
      if (!d.input(wm_char, static_cast<u8>(c))) return false;
    return true;
  }
  // From Settings: Up to the Machines entry, Enter.
  bool to_machines() { return key(vk_up) && key(vk_return) && frame() && page_of(d.value()) == 4; }
  // Press and release at (x, y); with move, the pointer goes there first.
  bool click(i32 x, i32 y, bool move = true) {
    return (!move || d.input(wm_mousemove, 0, driver::at(x, y))) && d.input(wm_lbuttondown, 1, driver::at(x, y)) &&
           d.input(wm_lbuttonup, 0, driver::at(x, y));
  }
  // Frames until the test holds, at most 90 s.
  bool until(const std::function<bool(const driver::Frame&)>& test) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < end) {
      if (frame() && test(d.frame())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
};

}  // namespace pages
