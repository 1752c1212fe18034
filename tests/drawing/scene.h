#pragma once
// A renderer over an offscreen target for the renderer and compositing tests: set-up with small limits, a tiny
// font of box and curve glyphs, frames drawn end to end, pixel hashes, a reference compositor that applies the
// blending rules pixel by pixel over the whole frame, and a PPM dump for looking at a scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "drawing/cpu.h"
#include "drawing/render.h"
#include "sfnt_builder.h"

namespace scene {

// Glyph 1 a 400 x 700 unit box, glyph 2 a drop of two curves, glyph 3 a box too large for a 64 px canvas at 48 px.
inline sfnt::Buf test_font() {
  const sfnt::Contour box = {{50, 0, true}, {50, 700, true}, {450, 700, true}, {450, 0, true}};
  const sfnt::Contour drop = {{250, -100, true}, {0, 300, false}, {250, 700, true}, {500, 300, false}};
  const sfnt::Contour wide = {{0, 0, true}, {0, 700, true}, {1500, 700, true}, {1500, 0, true}};
  std::vector<sfnt::Buf> glyphs = {sfnt::Buf{}, sfnt::simple_glyph({box}), sfnt::simple_glyph({drop}),
                                   sfnt::simple_glyph({wide})};
  std::vector<sfnt::Metric> metrics = {{500, 0}, {500, 50}, {500, 0}, {1500, 0}};
  sfnt::Buf cmap = sfnt::cmap({{3, 1, sfnt::cmap_format4({{0xFFFF, 0xFFFF, 1, {}}})}});
  return sfnt::assemble(sfnt::tables(glyphs, metrics, 4, cmap, 1000));
}

inline render::Limits small_limits() {
  render::Limits l = render::defaults();
  l.max_width = 256;
  l.max_height = 256;
  l.rects = 1024;
  l.glyphs = 4096;
  l.images = 64;
  l.commands = 4096;
  l.layers = 4096;
  l.tile_entries = 1 << 16;
  l.image_bytes = 1 << 20;
  l.atlas_bytes = 1 << 20;
  l.canvas = 64;
  l.slices = 2;
  l.groups = 8;
  return l;
}

// FNV-1a over the visible pixels, row by row.
inline u64 fnv(const u32* pixels, u32 width, u32 height, u32 stride) {
  u64 h = 0xCBF29CE484222325ull;
  for (u32 y = 0; y < height; ++y)
    for (u32 x = 0; x < width; ++x) {
      u32 p = pixels[u64{y} * stride + x];
      for (u32 b = 0; b < 32; b += 8) h = (h ^ ((p >> b) & 0xFF)) * 0x100000001B3ull;
    }
  return h;
}

struct Frame {
  mem::Arena arena{};
  render::Renderer* r = nullptr;
  render::Target target{};
  sfnt::Buf font = test_font();

  ~Frame() { mem::release(&arena); }

  // Set-up with the limits, one face (the test font) and a target of width x height.
  bool open(const render::Limits& limits, u32 width, u32 height, u64 arena_bytes = 48 << 20) {
    if (!mem::arena_init(&arena, arena_bytes)) return false;
    r = mem::alloc_of<render::Renderer>(&arena);
    if (!r || !render::init(r, &arena, limits)) return false;
    if (render::face_add(r, &arena, font.data(), font.size()) != 0) return false;
    u32 stride = (width + 15) & ~15u, rows = (height + 15) & ~15u;
    u32* pixels = reinterpret_cast<u32*>(mem::alloc(&arena, u64{stride} * rows * 4, 64).ptr);
    if (!pixels) return false;
    target = render::Target{pixels, u64{stride} * rows, width, height, stride};
    return true;
  }
  bool begin() { return render::begin(r, target, 256) == 1; }
  // end + draw; the changed-tile count, or -1 when the frame could not be drawn.
  int finish() {
    if (!render::end(r)) return -1;
    u32 changed = r->changed_count;
    return cpu::draw(r) ? static_cast<int>(changed) : -1;
  }
  u32 at(u32 x, u32 y) const { return target.pixels[u64{y} * target.stride + x]; }
  u64 hash() const { return fnv(target.pixels, target.width, target.height, target.stride); }
  // Rows of the target up to the next multiple of 16, padding columns included.
  std::vector<u32> all_pixels() const {
    return std::vector<u32>(target.pixels, target.pixels + target.stride * ((target.height + 15) & ~15u));
  }
  void glyphs(u32 size, i32 x, i32 y, const std::vector<u32>& ids, u32 colour, i32 step = 0) {
    std::vector<i32> xs, ys(ids.size(), 0);
    for (size_t i = 0; i < ids.size(); ++i) xs.push_back(static_cast<i32>(i) * step);
    u32 n = static_cast<u32>(ids.size());
    render::glyph_run(r, 0, size, x, y, ids.data(), n, xs.data(), n, ys.data(), n, colour);
  }
};

// Writes the visible pixels as a binary PPM (colour over black, alpha dropped) when VIMBREL_RENDER_DUMP names a
// folder; for looking at a scene by eye.
inline void dump(const Frame& f, const std::string& name) {
  const char* folder = std::getenv("VIMBREL_RENDER_DUMP");
  if (!folder) return;
  std::string path = std::string(folder) + "/" + name + ".ppm";
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return;
  std::fprintf(out, "P6\n%u %u\n255\n", f.target.width, f.target.height);
  for (u32 y = 0; y < f.target.height; ++y)
    for (u32 x = 0; x < f.target.width; ++x) {
      u32 p = f.at(x, y);
      unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                              static_cast<unsigned char>(p)};
      std::fwrite(rgb, 1, 3, out);
    }
  std::fclose(out);
}

// "" when equal, else where the first difference lies, for test messages.
inline std::string first_difference(const std::vector<u32>& a, const std::vector<u32>& b, u32 stride) {
  if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) {
      char text[96];
      std::snprintf(text, sizeof text, "at %zu,%zu: %08X and %08X", i % stride, i / stride, a[i], b[i]);
      return text;
    }
  return "";
}

// ---- The blending rules applied pixel by pixel over the whole frame, from the prepared items in command order.

inline u32 div255(u32 x) { return (x + 128 + ((x + 128) >> 8)) >> 8; }

inline u32 through(u32 colour, u32 k, u32 d) {
  u32 a = colour >> 24, keep = 255 - div255(a * k), out = 0;
  for (u32 s = 0; s < 32; s += 8) {
    u32 v = div255(((colour >> s) & 0xFF) * k) + div255(((d >> s) & 0xFF) * keep);
    out |= std::min(v, 255u) << s;
  }
  return out;
}

inline u32 source_over(u32 s, u32 d) {
  u32 keep = 255 - (s >> 24), out = 0;
  for (u32 b = 0; b < 32; b += 8) out |= std::min(((s >> b) & 0xFF) + div255(((d >> b) & 0xFF) * keep), 255u) << b;
  return out;
}

inline u32 edge(int64_t lo, int64_t hi, int64_t at) {
  int64_t overlap = std::min(hi, at + 256) - std::max(lo, at);
  return static_cast<u32>((std::clamp<int64_t>(overlap, 0, 256) * 255 + 128) >> 8);
}

inline std::vector<u32> reference(const render::Renderer& r) {
  const u32 stride = r.target.stride;
  std::vector<u32> out(u64{stride} * ((r.height + 15) & ~15u), 0);
  for (u32 c = 0; c < r.command_count; ++c) {
    const render::Command& cmd = r.commands[c];
    for (u32 i = cmd.first; i < cmd.first + cmd.count; ++i) {
      if (cmd.kind == render::kind_rect) {
        const render::Rect& q = r.rects[i];
        for (int64_t y = q.y0 >> 8; y < (q.y1 + 255) >> 8; ++y)
          for (int64_t x = q.x0 >> 8; x < (q.x1 + 255) >> 8; ++x) {
            u32 k = div255(edge(q.x0, q.x1, 256 * x) * edge(q.y0, q.y1, 256 * y));
            u32& p = out[y * stride + x];
            p = through(q.colour, k, p);
          }
      } else if (cmd.kind == render::kind_glyph) {
        const render::Glyph& g = r.glyphs[i];
        if (g.width == 0) continue;
        int64_t x = g.pixel_x, y = g.pixel_y;
        int64_t x0 = std::max<int64_t>(x, g.clip.x0), x1 = std::min<int64_t>(x + g.width, g.clip.x1);
        int64_t y0 = std::max<int64_t>(y, g.clip.y0), y1 = std::min<int64_t>(y + g.height, g.clip.y1);
        for (int64_t row = y0; row < y1; ++row)
          for (int64_t column = x0; column < x1; ++column) {
            u32 k = r.atlas.store[g.offset + (column - x) + g.stride * (row - y)];
            u32& p = out[row * stride + column];
            p = through(g.colour, k, p);
          }
      } else {
        const render::ImageDraw& d = r.draws[i];
        const render::Image& im = r.images[d.image];
        int64_t w = d.x1 - d.x0, h = d.y1 - d.y0;
        for (int64_t y = std::max(d.y0, d.clip.y0); y < std::min(d.y1, d.clip.y1); ++y)
          for (int64_t x = std::max(d.x0, d.clip.x0); x < std::min(d.x1, d.clip.x1); ++x) {
            int64_t sx = d.sx + d.sw * std::min(w - 1, x - d.x0) / w, sy = d.sy + (y - d.y0) * d.sh / h;
            u32& p = out[y * stride + x];
            p = source_over(im.pixels[sy * im.stride + sx], p);
          }
      }
    }
  }
  return out;
}

}  // namespace scene
