#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "drawing/chart.h"
#include "drawing/cpu.h"
#include "drawing/draw.h"
#include "drawing/font.h"
#include "drawing/render.h"

namespace {

const char* const kLato = "/usr/share/fonts/truetype/lato/Lato-Regular.ttf";
constexpr u32 kWidth = 1280, kHeight = 800, kLineHeight = 16, kPx = 13;

// A 1280 x 800 window of text and rectangles: a background, a side rail, panels, and 48 lines of 13 px text across
// the frame (about 8,000 glyphs).
struct Window {
  mem::Arena arena{};
  render::Renderer* r = nullptr;
  render::Target target{};
  std::vector<u8> font;
  std::vector<u32> advances;  // 1/256 px per glyph id, at kPx

  bool open(u32 slices) {
    std::ifstream in(kLato, std::ios::binary);
    font.assign(std::istreambuf_iterator<char>(in), {});
    if (font.empty() || !mem::arena_init(&arena, 256ull << 20)) return false;
    render::Limits l = render::defaults();
    l.slices = slices;
    l.rects = 16384;
    l.commands = l.layers = 65536;
    r = mem::alloc_of<render::Renderer>(&arena);
    if (!r || !render::init(r, &arena, l) || render::face_add(r, &arena, font.data(), font.size()) != 0) return false;
    const font::Face& face = r->faces[0];
    for (u32 g = 0; g < face.glyph_count; ++g)
      advances.push_back(static_cast<u32>((font::advance(face, g) * kPx * 256 + face.units_per_em / 2) /
                                          face.units_per_em / 256 * 256));
    u32 stride = kWidth, rows = kHeight;
    u32* pixels = reinterpret_cast<u32*>(mem::alloc(&arena, u64{stride} * rows * 4, 64).ptr);
    target = render::Target{pixels, u64{stride} * rows, kWidth, kHeight, stride};
    shape_lines();
    return pixels != nullptr;
  }
  ~Window() { mem::release(&arena); }

  // A text line as glyph ids and pen offsets, as the drawing layer hands it over.
  struct Line {
    std::vector<u32> ids;
    std::vector<i32> xs, ys;
  };
  std::vector<Line> lines[2];

  Line shape(const std::string& s) const {
    const font::Face& face = r->faces[0];
    Line line;
    i32 pen = 0;
    for (char c : s) {
      u32 g = font::glyph_of(face, static_cast<u8>(c));
      line.ids.push_back(g);
      line.xs.push_back(pen);
      line.ys.push_back(0);
      pen += static_cast<i32>(advances[g]);
    }
    return line;
  }

  // 48 lines across the frame; the second set differs in one letter of line 20.
  void shape_lines() {
    const std::string words = "Processes  chrome.exe  12.4 %  1,024.5 MiB  Disk 0 (C:)  Ethernet 2  GPU 3D  ";
    for (u32 line = 0; line < 48; ++line) {
      std::string s;
      while (s.size() < 190) s += words.substr(line % 7, words.size() - line % 7);
      s.resize(190);
      lines[0].push_back(shape(s));
      if (line == 20) s[3] = 'x';
      lines[1].push_back(shape(s));
    }
  }

  // One frame; `variant` changes the text of line 20 only.
  void record(u32 variant) {
    render::begin(r, target, 256);
    render::fill_rect(r, 0, 0, kWidth * 256, kHeight * 256, 0xFF1E1F24);
    render::fill_rect(r, 0, 0, 56 * 256, kHeight * 256, 0xFF2A2C33);
    for (u32 p = 0; p < 6; ++p)
      render::fill_rect(r, (80 + p * 200) * 256, 20 * 256, (260 + p * 200) * 256 + 128, 60 * 256, 0xFF30343C);
    for (u32 line = 0; line < 48; ++line) {
      const Line& l = lines[variant % 2][line];
      u32 n = static_cast<u32>(l.ids.size());
      render::push_clip(r, 64 * 256, 0, (kWidth - 8) * 256, kHeight * 256);
      render::glyph_run(r, 0, kPx, 64 * 256, static_cast<i32>(28 + line * kLineHeight) * 256, l.ids.data(), n,
                        l.xs.data(), n, l.ys.data(), n, line % 5 ? 0xFFE8E8E8 : 0xFF7FB2FF);
      render::pop_clip(r);
    }
  }

  // One whole frame: recorded, prepared, binned, hashed and composited. 0 when it could not be drawn.
  u32 frame(u32 variant, bool every_tile) {
    record(variant);
    if (every_tile) r->all_changed = 1;
    return render::end(r) && cpu::draw(r);
  }
};

// The window set up and its first frame drawn; false (the benchmark skipped) when that fails.
bool start(benchmark::State& state, Window* w, u32 slices) {
  if (w->open(slices) && w->frame(0, true)) return true;
  state.SkipWithError("set-up failed (is fonts-lato installed?)");
  return false;
}

// Recording, preparation, binning, hashing and compositing of every tile (the atlas already holds the glyphs).
void BM_FullFrame(benchmark::State& state) {
  Window w;
  if (!start(state, &w, static_cast<u32>(state.range(0)))) return;
  for (auto _ : state) w.frame(0, true);
  state.counters["glyphs"] = w.r->glyph_count;
  state.counters["tiles"] = w.r->tile_count;
}
BENCHMARK(BM_FullFrame)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

// The first frame: every glyph rasterised into an empty atlas, then the whole frame.
void BM_FullFrameColdAtlas(benchmark::State& state) {
  Window w;
  if (!start(state, &w, 1)) return;
  for (auto _ : state) {
    atlas::clear(&w.r->atlas);
    w.frame(0, true);
  }
  state.counters["claimed"] = w.r->claim_count;
}
BENCHMARK(BM_FullFrameColdAtlas)->Unit(benchmark::kMillisecond);

// The whole frame recorded again with one text line changed: only that line's tiles are composited, but preparation,
// binning and tile hashing still run over every item of the frame. (A partial frame of the drawing layer records and
// bins only the commands under its redo list.)
void BM_ChangedLine(benchmark::State& state) {
  Window w;
  if (!start(state, &w, static_cast<u32>(state.range(0)))) return;
  u32 variant = 0, changed = 0;
  for (auto _ : state) {
    w.record(++variant);
    render::end(w.r);
    changed = w.r->changed_count;
    cpu::draw(w.r);
  }
  state.counters["changed_tiles"] = changed;
}
BENCHMARK(BM_ChangedLine)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// The same window through the drawing layer: a partial frame that records only the commands under the redo list
// (the changed line's box), bins and hashes only its tiles, composites the changed ones and sends the line's box.
struct Surface {
  gdi::Handle window = 0;
  draw::Surface s{};
  std::vector<std::vector<u16>> lines[2];

  bool open() {
    window = gdi::open_headless(kWidth, kHeight);
    const std::string folder = "/usr/share/fonts/truetype/lato";
    draw::init(&s, window, 0, mem::Bytes(reinterpret_cast<const u8*>(folder.data()), folder.size()));
    s.test_fonts = 1;
    if (draw::start_vimb(&s, kWidth, kHeight, 8, 16, 0, reinterpret_cast<const u8*>(folder.data()),
                         static_cast<u32>(folder.size())) != 0)
      return false;
    s.use_vimb = 1;
    const std::string words = "Processes  chrome.exe  12.4 %  1,024.5 MiB  Disk 0 (C:)  Ethernet 2  GPU 3D  ";
    for (u32 line = 0; line < 48; ++line) {
      std::string t;
      while (t.size() < 190) t += words.substr(line % 7, words.size() - line % 7);
      t.resize(190);
      lines[0].emplace_back(t.begin(), t.end());
      if (line == 20) t[3] = 'x';
      lines[1].emplace_back(t.begin(), t.end());
    }
    return frame(0);
  }
  ~Surface() {
    draw::close(&s);
    gdi::close_window(window);
  }

  static draw::Rect line_box(u32 line) {
    const i32 top = static_cast<i32>(28 + line * kLineHeight);
    return draw::Rect{64, top, static_cast<i32>(kWidth) - 8, top + static_cast<i32>(kLineHeight)};
  }

  void record(u32 variant) {
    draw::fill(&s, draw::Rect{0, 0, kWidth, kHeight}, 0x00241F1E);
    draw::fill(&s, draw::Rect{0, 0, 56, kHeight}, 0x00332C2A);
    for (i32 p = 0; p < 6; ++p) draw::fill(&s, draw::Rect{80 + p * 200, 20, 260 + p * 200, 60}, 0x003C3430);
    for (u32 line = 0; line < 48; ++line) {
      const std::vector<u16>& t = lines[variant % 2][line];
      const draw::Rect box = line_box(line);
      const u32 colour = line % 5 ? 0x00E8E8E8 : 0x00FFB27F;
      draw::text(&s, 0, t.data(), static_cast<u32>(t.size()), box.left, box.top, box, colour, nullptr);
    }
  }

  bool frame(u32 variant) {
    if (draw::again(&s, window, kWidth, kHeight)) return true;
    draw::begin(&s, window, kWidth, kHeight);
    record(variant);
    return draw::present(&s, window, kWidth, kHeight) == 1;
  }
};

void BM_PartialChangedLine(benchmark::State& state) {
  Surface w;
  if (!w.open()) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  u32 variant = 0, partial = 0, changed = 0;
  for (auto _ : state) {
    const draw::Rect box = Surface::line_box(20);
    draw::redo(&w.s, box);
    draw::show(&w.s, box);
    draw::changed(&w.s);
    draw::limit_box(&w.s, box, true);
    draw::begin(&w.s, w.window, kWidth, kHeight);
    partial += w.s.partial;
    w.record(++variant);
    draw::present(&w.s, w.window, kWidth, kHeight);
    changed = w.s.vimb->renderer->changed_count;
  }
  state.counters["partial"] = benchmark::Counter(partial, benchmark::Counter::kAvgIterations);
  state.counters["changed_tiles"] = changed;
  state.counters["glyphs"] = w.s.vimb->renderer->glyph_count;
}
BENCHMARK(BM_PartialChangedLine)->Unit(benchmark::kMicrosecond);

// A whole frame through the drawing layer: every tile recomposited, the tile hash check, the whole frame sent.
void BM_SurfaceWholeFrame(benchmark::State& state) {
  Surface w;
  if (!w.open()) {
    state.SkipWithError("set-up failed (is fonts-lato installed?)");
    return;
  }
  for (auto _ : state) {
    draw::invalidate(&w.s);
    w.frame(0);
  }
  state.counters["glyphs"] = w.s.vimb->renderer->glyph_count;
}
BENCHMARK(BM_SurfaceWholeFrame)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// One 300 x 60 chart slot of two stacked series with grid rows and a dot, over a full 600-row ring.
struct ChartSlot {
  mem::Arena arena{};
  chart::Grid g{};
  std::vector<u32> pixels;
  draw::Sheet sheet{};
  std::vector<ring::Ring> r = std::vector<ring::Ring>(1);
  std::vector<u16> presence = std::vector<u16>(chart::long_rows, 1);
  chart::Look look{};
  u32 total = 0;

  explicit ChartSlot(bool long_range) {
    mem::arena_init(&arena, 1 << 20);
    chart::init(&g);
    chart::place(&g, 0, 0, 0, 300, 60, 5);
    draw::Size size = chart::pack(&g);
    pixels.assign(u64(size.width) * size.height, 0);
    sheet = draw::Sheet{pixels.data(), static_cast<u32>(size.width), static_cast<u32>(size.width),
                        static_cast<u32>(size.height), -1};
    chart::scratch(&g, &arena, size.width, size.height);
    ring::init(&r[0], 600);
    for (u32 i = 0; i < 600; ++i) push();
    look.count = 2;
    look.flags = chart::flag_grid | (long_range ? chart::flag_long : 0);
    look.dot_mask = 2;
    look.margin = 2;
    look.thick = 192;
    look.thin = 128;
    look.max = 20000;
    look.background = 0xFFFFFF;
    look.grid = 0xE0E0E0;
    for (u32 s = 0; s < 2; ++s) {
      look.sources[s] = chart::Source{reinterpret_cast<const u8*>(r[0].load), 2, 0, 2};
      look.line[s] = 0x0000C0u << (8 * s);
      look.fill[s] = 0x8080FFu;
      look.alpha[s] = 160;
    }
  }
  ~ChartSlot() { mem::release(&arena); }
  void push() {
    ring::Row row{};
    row.load = static_cast<u16>(5000 + (total * 7919) % 5000);
    ring::push(&r[0], &row);
    ++total;
  }
  chart::Track track() {
    chart::Track t = chart::track_of(r[0], total);
    t.presence = look.flags & chart::flag_long ? presence.data() : nullptr;
    return t;
  }
};

// A new live sample: the slot shifts by one column and draws the uncovered columns and those under the dot.
void BM_ChartLiveSample(benchmark::State& state) {
  ChartSlot c(false);
  chart::sync_track(&c.g, &c.sheet, c.look, c.track());
  for (auto _ : state) {
    c.push();
    benchmark::DoNotOptimize(chart::sync_track(&c.g, &c.sheet, c.look, c.track()));
  }
}
BENCHMARK(BM_ChartLiveSample)->Unit(benchmark::kMicrosecond);

// The whole live chart, as after a change of look or layout.
void BM_ChartLiveWhole(benchmark::State& state) {
  ChartSlot c(false);
  for (auto _ : state) {
    chart::forget(&c.g);
    benchmark::DoNotOptimize(chart::sync_track(&c.g, &c.sheet, c.look, c.track()));
  }
}
BENCHMARK(BM_ChartLiveWhole)->Unit(benchmark::kMicrosecond);

// A long range over 600 rows: Arg 1 after a new row (only the changed rows of each column), Arg 0 whole.
void BM_ChartLongRange(benchmark::State& state) {
  ChartSlot c(true);
  chart::sync_track(&c.g, &c.sheet, c.look, c.track());
  for (auto _ : state) {
    c.push();
    if (state.range(0) == 0) chart::forget(&c.g);
    benchmark::DoNotOptimize(chart::sync_track(&c.g, &c.sheet, c.look, c.track()));
  }
}
BENCHMARK(BM_ChartLongRange)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
