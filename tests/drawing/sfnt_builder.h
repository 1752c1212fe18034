#pragma once
// Builds small TrueType files for the font tests: a table map that a test can break on purpose, glyph encoders that
// use every coordinate form of the format, and code-point map subtables of formats 4 and 12.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sfnt {

using Buf = std::vector<uint8_t>;

inline void put8(Buf& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(Buf& b, uint32_t v) {
  put8(b, v >> 8);
  put8(b, v);
}
inline void put32(Buf& b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v);
}
inline void set16(Buf& b, size_t at, uint32_t v) {
  b.at(at) = static_cast<uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<uint8_t>(v);
}
inline void set32(Buf& b, size_t at, uint32_t v) {
  set16(b, at, v >> 16);
  set16(b, at + 2, v);
}

struct Point {
  int32_t x, y;
  bool on;
};
using Contour = std::vector<Point>;

// A simple glyph. Deltas of 0 use the "same" form, deltas within ±255 the one-byte form, others two bytes; runs of
// equal flags use the repeat byte.
inline Buf simple_glyph(const std::vector<Contour>& contours, uint32_t instruction_bytes = 0) {
  Buf b;
  std::vector<Point> pts;
  for (const Contour& c : contours) pts.insert(pts.end(), c.begin(), c.end());
  int32_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    if (i == 0 || pts[i].x < xmin) xmin = pts[i].x;
    if (i == 0 || pts[i].y < ymin) ymin = pts[i].y;
    if (i == 0 || pts[i].x > xmax) xmax = pts[i].x;
    if (i == 0 || pts[i].y > ymax) ymax = pts[i].y;
  }
  put16(b, static_cast<uint32_t>(contours.size()));
  for (int32_t v : {xmin, ymin, xmax, ymax}) put16(b, static_cast<uint32_t>(v));
  uint32_t end = 0;
  for (const Contour& c : contours) {
    end += static_cast<uint32_t>(c.size());
    put16(b, end - 1);
  }
  put16(b, instruction_bytes);
  for (uint32_t i = 0; i < instruction_bytes; ++i) put8(b, 0xB0);
  std::vector<uint8_t> flags;
  Buf xs, ys;
  int32_t px = 0, py = 0;
  for (const Point& p : pts) {
    uint8_t f = p.on ? 1 : 0;
    auto encode = [&f](Buf& out, int32_t d, uint8_t short_bit, uint8_t same_bit) {
      if (d == 0) {
        f |= same_bit;
      } else if (d >= -255 && d <= 255) {
        f |= short_bit;
        if (d > 0) f |= same_bit;
        put8(out, static_cast<uint32_t>(d > 0 ? d : -d));
      } else {
        put16(out, static_cast<uint32_t>(d));
      }
    };
    encode(xs, p.x - px, 2, 0x10);
    encode(ys, p.y - py, 4, 0x20);
    px = p.x;
    py = p.y;
    flags.push_back(f);
  }
  for (size_t i = 0; i < flags.size();) {
    size_t run = 1;
    while (i + run < flags.size() && flags[i + run] == flags[i] && run < 256) ++run;
    if (run > 2) {
      put8(b, flags[i] | 8);
      put8(b, static_cast<uint32_t>(run - 1));
    } else {
      for (size_t k = 0; k < run; ++k) put8(b, flags[i]);
    }
    i += run;
  }
  b.insert(b.end(), xs.begin(), xs.end());
  b.insert(b.end(), ys.begin(), ys.end());
  return b;
}

// One composite component. flags bit 0 (16-bit arguments) is set by the encoder when a or b needs it, and bit 5
// (more components) on every component but the last; scale holds 0, 1, 2 or 4 values in 2.14 to match the flags.
struct Component {
  uint32_t flags;
  uint32_t glyph;
  int32_t a, b;
  std::vector<int32_t> scale;
};

inline Buf composite_glyph(const std::vector<Component>& parts) {
  Buf b;
  put16(b, 0xFFFF);
  for (int i = 0; i < 4; ++i) put16(b, 0);
  for (size_t i = 0; i < parts.size(); ++i) {
    const Component& c = parts[i];
    bool offsets = c.flags & 2;
    bool wide = offsets ? (c.a < -128 || c.a > 127 || c.b < -128 || c.b > 127) : (c.a > 255 || c.b > 255);
    uint32_t flags = c.flags | (wide ? 1 : 0) | (i + 1 < parts.size() ? 0x20 : 0);
    if (c.scale.size() == 1) flags |= 8;
    if (c.scale.size() == 2) flags |= 0x40;
    if (c.scale.size() == 4) flags |= 0x80;
    put16(b, flags);
    put16(b, c.glyph);
    if (wide) {
      put16(b, static_cast<uint32_t>(c.a));
      put16(b, static_cast<uint32_t>(c.b));
    } else {
      put8(b, static_cast<uint32_t>(c.a));
      put8(b, static_cast<uint32_t>(c.b));
    }
    for (int32_t s : c.scale) put16(b, static_cast<uint32_t>(s));
  }
  return b;
}

// A format 4 segment; glyphs, when given, fill the glyph-id array for first..last (idRangeOffset form).
struct Segment {
  uint32_t first, last, delta;
  std::vector<uint32_t> glyphs;
};

inline Buf cmap_format4(const std::vector<Segment>& segs) {
  uint32_t n = static_cast<uint32_t>(segs.size());
  Buf b;
  put16(b, 4);
  put16(b, 0);  // length, set below
  put16(b, 0);
  put16(b, 2 * n);
  put16(b, 0);
  put16(b, 0);
  put16(b, 0);
  for (const Segment& s : segs) put16(b, s.last);
  put16(b, 0);
  for (const Segment& s : segs) put16(b, s.first);
  for (const Segment& s : segs) put16(b, s.delta);
  uint32_t array_words = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (segs[i].glyphs.empty()) {
      put16(b, 0);
    } else {
      put16(b, 2 * (n - i) + 2 * array_words);
      array_words += static_cast<uint32_t>(segs[i].glyphs.size());
    }
  }
  for (const Segment& s : segs)
    for (uint32_t g : s.glyphs) put16(b, g);
  set16(b, 2, static_cast<uint32_t>(b.size()));
  return b;
}

struct Group {
  uint32_t first, last, start_glyph;
};

inline Buf cmap_format12(const std::vector<Group>& groups) {
  Buf b;
  put16(b, 12);
  put16(b, 0);
  put32(b, static_cast<uint32_t>(16 + 12 * groups.size()));
  put32(b, 0);
  put32(b, static_cast<uint32_t>(groups.size()));
  for (const Group& g : groups) {
    put32(b, g.first);
    put32(b, g.last);
    put32(b, g.start_glyph);
  }
  return b;
}

struct Encoding {
  uint32_t platform, encoding;
  Buf subtable;
};

inline Buf cmap(const std::vector<Encoding>& records) {
  Buf b;
  put16(b, 0);
  put16(b, static_cast<uint32_t>(records.size()));
  uint32_t offset = 4 + 8 * static_cast<uint32_t>(records.size());
  for (const Encoding& e : records) {
    put16(b, e.platform);
    put16(b, e.encoding);
    put32(b, offset);
    offset += static_cast<uint32_t>(e.subtable.size());
  }
  for (const Encoding& e : records) b.insert(b.end(), e.subtable.begin(), e.subtable.end());
  return b;
}

using Tables = std::map<std::string, Buf>;

struct Metric {
  uint32_t advance;
  int32_t bearing;
};

// The seven tables the parser needs, from glyph data, metrics (one per glyph, the first long_metrics of them long)
// and a cmap table.
inline Tables tables(const std::vector<Buf>& glyphs, const std::vector<Metric>& metrics, uint32_t long_metrics,
                     const Buf& cmap_table, uint32_t units_per_em = 1000, uint32_t loca_format = 1) {
  Tables t;
  Buf head;
  put32(head, 0x00010000);
  put32(head, 0x00010000);
  put32(head, 0);  // checksum adjustment
  put32(head, 0x5F0F3CF5);
  put16(head, 0);
  put16(head, units_per_em);
  while (head.size() < 50) put8(head, 0);
  put16(head, loca_format);
  put16(head, 0);
  t["head"] = head;

  Buf hhea;
  put32(hhea, 0x00010000);
  put16(hhea, 800);
  put16(hhea, static_cast<uint32_t>(-200));
  put16(hhea, 90);
  while (hhea.size() < 34) put8(hhea, 0);
  put16(hhea, long_metrics);
  t["hhea"] = hhea;

  Buf maxp;
  put32(maxp, 0x00005000);
  put16(maxp, static_cast<uint32_t>(glyphs.size()));
  t["maxp"] = maxp;

  Buf hmtx;
  for (size_t i = 0; i < metrics.size(); ++i) {
    if (i < long_metrics) put16(hmtx, metrics[i].advance);
    put16(hmtx, static_cast<uint32_t>(metrics[i].bearing));
  }
  t["hmtx"] = hmtx;

  Buf glyf, loca;
  for (const Buf& g : glyphs) {
    loca_format ? put32(loca, static_cast<uint32_t>(glyf.size())) : put16(loca, static_cast<uint32_t>(glyf.size() / 2));
    glyf.insert(glyf.end(), g.begin(), g.end());
    if (glyf.size() % 2) put8(glyf, 0);
  }
  loca_format ? put32(loca, static_cast<uint32_t>(glyf.size())) : put16(loca, static_cast<uint32_t>(glyf.size() / 2));
  t["glyf"] = glyf;
  t["loca"] = loca;
  t["cmap"] = cmap_table;
  return t;
}

// The file: directory sorted by tag, tables 4-aligned.
inline Buf assemble(const Tables& t, uint32_t version = 0x00010000) {
  Buf b;
  put32(b, version);
  put16(b, static_cast<uint32_t>(t.size()));
  put16(b, 0);
  put16(b, 0);
  put16(b, 0);
  size_t offset = 12 + 16 * t.size();
  for (const auto& [tag, data] : t) {
    for (int i = 0; i < 4; ++i) put8(b, i < static_cast<int>(tag.size()) ? tag[i] : ' ');
    put32(b, 0);
    put32(b, static_cast<uint32_t>(offset));
    put32(b, static_cast<uint32_t>(data.size()));
    offset += (data.size() + 3) & ~size_t{3};
  }
  for (const auto& [tag, data] : t) {
    b.insert(b.end(), data.begin(), data.end());
    while (b.size() % 4) put8(b, 0);
  }
  return b;
}

}  // namespace sfnt
