#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "drawing/font.h"
#include "drawing/raster.h"

namespace {

const char* const kLato = "/usr/share/fonts/truetype/lato/Lato-Regular.ttf";

std::vector<u8> lato_bytes() {
  std::ifstream in(kLato, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(in), {});
}

// Parsing the text font, as the renderer does once at start.
void BM_ParseLato(benchmark::State& state) {
  std::vector<u8> bytes = lato_bytes();
  mem::Arena arena{};
  mem::arena_init(&arena, 1 << 20);
  for (auto _ : state) {
    arena.used = 0;
    font::Face face;
    u32 code = font::parse(&face, bytes.data(), bytes.size(), &arena);
    if (code != font::ok) state.SkipWithError("Lato does not parse");
    benchmark::DoNotOptimize(face.range_count);
  }
  mem::release(&arena);
}
BENCHMARK(BM_ParseLato)->Unit(benchmark::kMicrosecond);

// A glyph entering the atlas: decode, measure and rasterise it, over the printable ASCII of Lato in turn.
void BM_RasteriseGlyph(benchmark::State& state) {
  const u32 px = static_cast<u32>(state.range(0));
  std::vector<u8> bytes = lato_bytes();
  mem::Arena arena{};
  mem::arena_init(&arena, 4 << 20);
  font::Face face;
  font::Outline outline;
  raster::Canvas canvas;
  if (font::parse(&face, bytes.data(), bytes.size(), &arena) != font::ok ||
      !font::outline_init(&outline, &arena, 4096, 512) || !raster::canvas_init(&canvas, &arena, 256, 256)) {
    state.SkipWithError("set-up failed");
    return;
  }
  std::vector<u32> glyphs;
  for (u32 cp = 0x21; cp < 0x7F; ++cp) glyphs.push_back(font::glyph_of(face, cp));
  size_t next = 0;
  for (auto _ : state) {
    raster::GlyphBox box;
    raster::measure(face, glyphs[next], px, &outline, &box);
    raster::draw(&canvas, outline, box);
    benchmark::DoNotOptimize(canvas.coverage[0]);
    next = next + 1 == glyphs.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
  mem::release(&arena);
}
BENCHMARK(BM_RasteriseGlyph)->Arg(12)->Arg(16)->Arg(48);

}  // namespace
