#include "platform/gdi.h"

#include <string.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "drawing/cpu.h"
#include "drawing/font.h"
#include "drawing/raster.h"
#include "drawing/render.h"
#include "platform/fs.h"

// The software road draws glyphs exactly as the own renderer does (the same outlines, rasteriser, corrected
// coverage and blend, the pen on whole px), so a scene of fills, text and opaque images looks the same on both.
namespace gdi {
namespace {

constexpr i32 most_side = 16384;
constexpr u32 canvas_side = 256;  // the own renderer's glyph canvas: larger glyphs are drawn by neither road

const char* const system_folder = "/usr/share/fonts/truetype";
const char* const text_font = "lato/Lato-Regular.ttf";
const char* const fixed_font = "dejavu/DejaVuSansMono.ttf";
const char* const test_font = "Lato-Regular.ttf";

struct Bitmap {
  i32 width, height;
  std::vector<u32> pixels;
  bool window;
  u64 sends, sent;
};

struct Coverage {
  raster::GlyphBox box;
  std::vector<u8> bytes;  // corrected coverage, box.width x box.height
  bool drawn;
};

struct Font {
  std::vector<u8> file;
  mem::Arena arena;
  font::Face face;
  font::Outline outline;
  raster::Canvas canvas;
  u32 px;
  i32 ascent, height;
  u8 gamma[256];
  std::map<u32, Coverage> glyphs;
  ~Font() { mem::release(&arena); }
};

struct Icon {
  i32 width, height;
  std::vector<u32> pixels;
};

template <typename T>
T* of(Handle h) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(h));
}
template <typename T>
Handle handle(T* p) {
  return static_cast<Handle>(reinterpret_cast<uintptr_t>(p));
}

i64 least(i64 a, i64 b) { return a < b ? a : b; }
i64 greatest(i64 a, i64 b) { return a > b ? a : b; }

u32 pixel_of(u32 colorref) {
  return 0xFF000000u | (colorref & 0xFF) << 16 | (colorref & 0xFF00) | (colorref >> 16 & 0xFF);
}

// A block cut to the bitmap, copied row by row.
void copy_block(Bitmap* to, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  i64 x0 = greatest(x, 0), y0 = greatest(y, 0);
  i64 x1 = least(i64{x} + w, to->width), y1 = least(i64{y} + h, to->height);
  if (x0 >= x1) return;
  for (i64 row = y0; row < y1; ++row)
    memcpy(&to->pixels[u64(row) * to->width + x0], pixels + u64(row - y) * stride + (x0 - x), u64(x1 - x0) * 4);
}

bool read_whole(const std::string& path, std::vector<u8>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return !out->empty() && out->size() <= (64u << 20);
}

// ((value x px x 512 + upem) div (2 x upem) + 128) >> 8: font units to whole px, rounded.
i32 whole_px(i64 value, u32 px, u32 upem) {
  i64 scaled = raster::floor_div(value * px * 512 + upem, 2 * i64{upem});
  return static_cast<i32>((scaled + 128) >> 8);
}

// Whole-px advance of a glyph: the advance in 1/256 px rounded, then rounded to px.
i32 advance_px(const Font& f, u32 glyph) {
  u64 v = (u64{font::advance(f.face, glyph)} * f.px * 256 + f.face.units_per_em / 2) / f.face.units_per_em;
  return static_cast<i32>((v + 128) >> 8);
}

const Coverage& coverage_of(Font* f, u32 glyph) {
  auto found = f->glyphs.find(glyph);
  if (found != f->glyphs.end()) return found->second;
  Coverage& c = f->glyphs[glyph];
  c.drawn = raster::measure(f->face, glyph, f->px, &f->outline, &c.box) == font::ok && c.box.width <= canvas_side &&
            c.box.height <= canvas_side && raster::draw(&f->canvas, f->outline, c.box);
  if (c.drawn) {
    c.bytes.resize(u64{c.box.width} * c.box.height);
    for (u64 i = 0; i < c.bytes.size(); ++i) c.bytes[i] = f->gamma[f->canvas.coverage[i]];
  }
  return c;
}

// One unit or a surrogate pair: the code point and the units it takes.
u32 code_point(const u16* units, u32 count, u32 i, u32* step) {
  u32 hi = units[i], lo = i + 1 < count ? units[i + 1] : 0;
  *step = 1;
  if (hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF) {
    *step = 2;
    return (hi - 0xD800) * 1024 + (lo - 0xDC00) + 0x10000;
  }
  return hi;
}

}  // namespace

// ---- Windows

Handle open_headless(i32 width, i32 height) {
  if (width < 1 || height < 1 || width > most_side || height > most_side) return 0;
  Bitmap* b = new Bitmap{width, height, std::vector<u32>(u64(width) * height, 0xFF000000u), true, 0, 0};
  return handle(b);
}

Handle open_window(i32, i32) { return 0; }

void close_window(Handle window) { delete of<Bitmap>(window); }

const u32* window_pixels(Handle window, i32* width, i32* height) {
  Bitmap* b = of<Bitmap>(window);
  if (!b || !b->window) return nullptr;
  *width = b->width;
  *height = b->height;
  return b->pixels.data();
}

u64 window_sends(Handle window, u64* pixels_sent) {
  Bitmap* b = of<Bitmap>(window);
  *pixels_sent = b ? b->sent : 0;
  return b ? b->sends : 0;
}

u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  Bitmap* b = of<Bitmap>(window);
  if (!b || !b->window || !pixels || w < 0 || h < 0) return 0;
  copy_block(b, x, y, w, h, pixels, stride);
  b->sends += 1;
  b->sent += u64(w) * u64(h);
  return 1;
}

u32 present_back(Handle window, Handle back) {
  Bitmap* b = of<Bitmap>(back);
  if (!b) return 0;
  return present(window, 0, 0, b->width, b->height, b->pixels.data(), static_cast<u32>(b->width));
}

i32 virtual_width() { return 0; }
i32 virtual_height() { return 0; }

// ---- Back buffer

Handle back_create(Handle, i32 width, i32 height) {
  width = static_cast<i32>(least(greatest(width, 1), most_side));
  height = static_cast<i32>(least(greatest(height, 1), most_side));
  return handle(new Bitmap{width, height, std::vector<u32>(u64(width) * height, 0xFF000000u), false, 0, 0});
}

void back_delete(Handle back) { delete of<Bitmap>(back); }

const u32* back_pixels(Handle back, i32* width, i32* height) {
  Bitmap* b = of<Bitmap>(back);
  if (!b) return nullptr;
  *width = b->width;
  *height = b->height;
  return b->pixels.data();
}

void fill(Handle back, i32 left, i32 top, i32 right, i32 bottom, u32 colorref) {
  Bitmap* b = of<Bitmap>(back);
  if (!b) return;
  const u32 p = pixel_of(colorref);
  for (i64 y = greatest(top, 0); y < least(bottom, b->height); ++y)
    for (i64 x = greatest(left, 0); x < least(right, b->width); ++x) b->pixels[u64(y) * b->width + x] = p;
}

void text(Handle back, Handle font_handle, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right,
          i32 clip_bottom, u32 colorref, const u16* units, u32 count, const i32* advances) {
  Bitmap* b = of<Bitmap>(back);
  Font* f = of<Font>(font_handle);
  if (!b || !f || !units) return;
  const i64 cx0 = greatest(clip_left, 0), cy0 = greatest(clip_top, 0);
  const i64 cx1 = least(clip_right, b->width), cy1 = least(clip_bottom, b->height);
  const u32 colour = pixel_of(colorref);
  const i64 baseline = i64{y} + f->ascent;
  i64 pen = x;
  for (u32 i = 0, step = 1; i < count; i += step) {
    const u32 glyph = font::glyph_of(f->face, code_point(units, count, i, &step));
    const Coverage& c = coverage_of(f, glyph);
    if (c.drawn) {
      const i64 gx = pen + c.box.left, gy = baseline + c.box.top;
      for (i64 row = greatest(gy, cy0); row < least(gy + c.box.height, cy1); ++row)
        for (i64 col = greatest(gx, cx0); col < least(gx + c.box.width, cx1); ++col) {
          u32 k = c.bytes[u64(row - gy) * c.box.width + u64(col - gx)];
          if (k == 0) continue;
          u32& d = b->pixels[u64(row) * b->width + col];
          u32 keep = 255 - cpu::div255(k * 255), out = 0;
          for (u32 s = 0; s < 32; s += 8) {
            u32 v = cpu::div255(((colour >> s) & 0xFF) * k) + cpu::div255(((d >> s) & 0xFF) * keep);
            out |= (v > 255 ? 255 : v) << s;
          }
          d = out;
        }
    }
    if (advances) {
      pen += advances[i] + (step == 2 ? advances[i + 1] : 0);
    } else {
      pen += advance_px(*f, glyph);
    }
  }
}

void blit(Handle back, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  Bitmap* b = of<Bitmap>(back);
  if (b && pixels && w > 0 && h > 0) copy_block(b, x, y, w, h, pixels, stride);
}

void draw_icon(Handle back, Handle icon, i32 x, i32 y, i32 side) {
  Bitmap* b = of<Bitmap>(back);
  Icon* ic = of<Icon>(icon);
  if (!b || !ic || side <= 0) return;
  for (i64 row = greatest(y, 0); row < least(i64{y} + side, b->height); ++row)
    for (i64 col = greatest(x, 0); col < least(i64{x} + side, b->width); ++col) {
      u64 sx = u64(ic->width) * u64(col - x) / u64(side), sy = u64(ic->height) * u64(row - y) / u64(side);
      u32 p = ic->pixels[sy * ic->width + sx], a = p >> 24, pre = p & 0xFF000000u;
      for (u32 s = 0; s < 24; s += 8) pre |= cpu::div255(((p >> s) & 0xFF) * a) << s;
      u32& d = b->pixels[u64(row) * b->width + col];
      d = cpu::over(pre, d);
    }
}

// ---- Fonts

Handle font_create(u32 role, i32 px, mem::Bytes test_folder) {
  if (role > 3 || px < 1 || px > static_cast<i32>(raster::largest_px)) return 0;
  std::string path;
  if (test_folder.len > 0) {
    path.assign(reinterpret_cast<const char*>(test_folder.ptr), test_folder.len);
    path += "/";
    path += test_font;
  } else {
    path = std::string(system_folder) + "/" + (role == 1 ? fixed_font : text_font);
  }
  Font* f = new Font{};
  f->px = static_cast<u32>(px);
  bool ok = read_whole(path, &f->file) && mem::arena_init(&f->arena, (8u << 20) + f->file.size() * 4) &&
            font::parse(&f->face, f->file.data(), f->file.size(), &f->arena) == font::ok &&
            font::outline_init(&f->outline, &f->arena, 4096, 512) &&
            raster::canvas_init(&f->canvas, &f->arena, canvas_side, canvas_side);
  if (!ok) {
    delete f;
    return 0;
  }
  for (u32 c = 0; c < 256; ++c) f->gamma[c] = render::gamma_level(c);
  const u32 upem = f->face.units_per_em;
  f->ascent = whole_px(f->face.ascender, f->px, upem);
  f->height = whole_px(i64{f->face.ascender} - f->face.descender, f->px, upem);
  return handle(f);
}

void font_delete(Handle font) { delete of<Font>(font); }

void font_metrics(Handle font, i32* ascent, i32* height) {
  Font* f = of<Font>(font);
  *ascent = f ? f->ascent : 0;
  *height = f ? f->height : 0;
}

void text_extent(Handle font, const u16* units, u32 count, i32* width, i32* height) {
  Font* f = of<Font>(font);
  *width = 0;
  *height = f ? f->height : 0;
  if (!f || !units) return;
  for (u32 i = 0, step = 1; i < count; i += step)
    *width += advance_px(*f, font::glyph_of(f->face, code_point(units, count, i, &step)));
}

u32 system_fonts(u8* buffer, u32 capacity) {
  u32 n = static_cast<u32>(strlen(system_folder));
  if (n >= capacity) return 0;
  memcpy(buffer, system_folder, n);
  return n;
}

mem::Bytes system_font_file(u32 role) {
  const char* name = role == 1 ? fixed_font : text_font;
  return mem::Bytes(reinterpret_cast<const u8*>(name), strlen(name));
}

u32 local_drive(mem::Bytes folder) {
  u32 type = fs::drive_type(folder);
  return type != fs::drive_remote && type != fs::drive_no_root ? 1 : 0;
}

// ---- Icons

Handle icon_create(const u32* pixels, i32 width, i32 height) {
  if (!pixels || width < 1 || height < 1 || width > 256 || height > 256) return 0;
  return handle(new Icon{width, height, std::vector<u32>(pixels, pixels + u64(width) * height)});
}

void icon_delete(Handle icon) { delete of<Icon>(icon); }

u32 icon_pixels(Handle icon, u32* out, u64 capacity, i32* width, i32* height) {
  Icon* ic = of<Icon>(icon);
  if (!ic) return 0;
  *width = ic->width;
  *height = ic->height;
  if (out && capacity >= ic->pixels.size()) memcpy(out, ic->pixels.data(), ic->pixels.size() * 4);
  return 1;
}

}  // namespace gdi
