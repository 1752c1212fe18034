#pragma once
// A drawing surface on a headless window for the drawing-layer tests: the own renderer started with the Lato font
// (or left on the GDI road), a runtime folder of its own for the frame record, paints run the way the window runs
// them, and scenes of fills and text lines that tests change and draw again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drawing/draw.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace surface {

inline const std::string lato_folder = "/usr/share/fonts/truetype/lato";

inline std::vector<u16> units(const std::string& s) { return std::vector<u16>(s.begin(), s.end()); }

// One element of a scene: a fill, or a text line clipped to its box.
struct Element {
  draw::Rect box;  // logical px
  u32 colour;
  bool is_text;
  u32 role;
  std::string text;
};

using Scene = std::vector<Element>;

inline void draw_scene(draw::Surface* s, const Scene& scene) {
  for (const Element& e : scene) {
    if (e.is_text) {
      std::vector<u16> u = units(e.text);
      draw::text(s, e.role, u.data(), static_cast<u32>(u.size()), e.box.left, e.box.top, e.box, e.colour, nullptr);
    } else {
      draw::fill(s, e.box, e.colour);
    }
  }
}

struct Window {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  gdi::Handle window = 0;
  draw::Surface s{};
  i32 width = 0, height = 0;
  u32 partial_frames = 0, whole_frames = 0, reshows = 0;
  std::string folder = lato_folder;

  // The own renderer with the Lato font at width x height: the start code.
  u32 start(i32 w, i32 h, u32 dpi = 96) {
    start_gdi(w, h, dpi);
    s.test_fonts = 1;
    s.start_tried = 1;
    u32 code = draw::start_vimb(&s, w, h, 8, 16, 0, reinterpret_cast<const u8*>(folder.data()),
                                static_cast<u32>(folder.size()));
    s.status = static_cast<u8>(code);
    s.use_vimb = code == 0;
    return code;
  }
  // The GDI road only.
  void start_gdi(i32 w, i32 h, u32 dpi = 96) {
    width = w;
    height = h;
    window = gdi::open_headless(w, h);
    draw::init(&s, window, 0, harness::bytes(folder));
    draw::set_dpi(&s, dpi, 0);
  }
  ~Window() {
    draw::close(&s);
    gdi::close_window(window);
  }

  // One paint as the window runs it: the kept frame again, else begin, draw, present, and once more on failure.
  template <typename Draw>
  u32 paint(Draw&& draw_calls) {
    if (draw::again(&s, window, width, height)) {
      reshows += 1;
      return 1;
    }
    for (u32 attempt = 0; attempt < 2; ++attempt) {
      draw::begin(&s, window, width, height);
      partial_frames += s.partial;
      whole_frames += !s.partial;
      draw_calls();
      if (draw::present(&s, window, width, height)) return 1;
    }
    return 0;
  }
  u32 paint_scene(const Scene& scene) {
    return paint([&] { draw_scene(&s, scene); });
  }

  std::vector<u32> shown() const {
    i32 w = 0, h = 0;
    const u32* p = gdi::window_pixels(window, &w, &h);
    return std::vector<u32>(p, p + u64(w) * h);
  }
  std::vector<u32> kept() const {
    std::vector<u32> out;
    for (i32 y = 0; y < height; ++y)
      for (i32 x = 0; x < width; ++x) out.push_back(s.vimb->pixels[u64(y) * s.vimb->stride + x]);
    return out;
  }
  u32 word(u32 offset) const { return *reinterpret_cast<const u32*>(s.record.view + offset); }
};

// The first index where two pixel lists differ, or -1.
inline i64 first_difference(const std::vector<u32>& a, const std::vector<u32>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return static_cast<i64>(i);
  return -1;
}

}  // namespace surface
