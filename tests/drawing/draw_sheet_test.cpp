// Sheets shown through the own renderer and written through into the kept frame, and in-place changes of the kept
// frame (paint, text from the atlas, moved rows) checked against frames drawn whole.
#include "platform/section.h"
#include "tests/drawing/surface.h"

namespace {

using draw::Rect;
using surface::Element;
using surface::Scene;
using surface::units;

constexpr i32 kWidth = 160, kHeight = 120, kRow = 20;

const char* const names[] = {"chrome.exe 12.5 %", "svchost.exe 0.4 %", "explorer.exe 3.1 %", "vimbrel.exe 1.0 %"};

// Four rows of a process list, in the given order: a background per row and its text.
Scene rows(const std::vector<u32>& order) {
  Scene scene{Element{Rect{0, 0, kWidth, kHeight}, 0x00201810, false, 0, ""}};
  for (size_t i = 0; i < order.size(); ++i) {
    const i32 top = 10 + static_cast<i32>(i) * kRow;
    scene.push_back(Element{Rect{0, top, kWidth, top + kRow}, 0x00302820 + order[i] * 0x10, false, 0, ""});
    scene.push_back(Element{Rect{4, top + 2, kWidth - 4, top + kRow}, 0x00F0F0F0, true, 0, names[order[i]]});
  }
  return scene;
}

// The kept frame of a window that drew the scene whole.
std::vector<u32> whole(const Scene& scene, u32 dpi = 96) {
  surface::Window w;
  EXPECT_EQ(w.start(kWidth * static_cast<i32>(dpi) / 96, kHeight * static_cast<i32>(dpi) / 96, dpi), 0u);
  EXPECT_TRUE(w.paint_scene(scene));
  return w.kept();
}

TEST(DrawSheets, SlotsAndBinding) {
  surface::Window w;
  ASSERT_EQ(w.start(64, 64), 0u);
  render::Renderer* r = w.s.vimb->renderer;
  EXPECT_EQ(w.s.vimb->icon_image, 0u);
  EXPECT_EQ(w.s.vimb->sheet_slot, 1);
  for (i32 expect = 2; expect < 256; ++expect) ASSERT_EQ(draw::sheet_add(r), expect);
  EXPECT_EQ(draw::sheet_add(r), -1);
  std::vector<u32> pixels(48 * 10, 0xFF00FF00);
  draw::Sheet sheet{pixels.data(), 48, 40, 10, -1};
  const u32 version = r->images[1].version;
  draw::bind_sheet(&w.s, &sheet);
  EXPECT_EQ(sheet.slot, 1);
  // The slot reads the sheet's own pixels: no common base with the renderer's store.
  EXPECT_EQ(r->images[1].pixels, pixels.data());
  EXPECT_EQ(r->images[1].stride, 48u);
  EXPECT_EQ(r->images[1].width, 40u);
  EXPECT_EQ(r->images[1].version, version + 1);
  draw::Sheet empty{nullptr, 0, 0, 0, 7};
  draw::bind_sheet(&w.s, &empty);
  EXPECT_EQ(empty.slot, -1);
  surface::Window gdi_only;
  gdi_only.start_gdi(64, 64);
  draw::Sheet other{pixels.data(), 48, 40, 10, 3};
  draw::bind_sheet(&gdi_only.s, &other);
  EXPECT_EQ(other.slot, -1);
}

// A sheet shown with write-through lands in the kept frame at once, except under the keep-out rectangle, the band
// and below the row limit; its source rectangle is cut to the sheet.
TEST(DrawSheets, WriteThroughLeavesOutKeepOutAndBand) {
  surface::Window w;
  ASSERT_EQ(w.start(kWidth, kHeight), 0u);
  std::vector<u32> pixels(64 * 40);
  for (u32 i = 0; i < pixels.size(); ++i) pixels[i] = 0xFF000000u | i;
  draw::Sheet sheet{pixels.data(), 64, 60, 40, -1};
  draw::bind_sheet(&w.s, &sheet);
  Scene background{Element{Rect{0, 0, kWidth, kHeight}, 0x00000000, false, 0, ""}};
  ASSERT_TRUE(w.paint_scene(background));
  draw::begin(&w.s, w.window, kWidth, kHeight);
  draw::sheet_show(&w.s, sheet, 2, 3, 100, 100, 10, 20, true, Rect{20, 25, 30, 30}, 40, 45, 50);
  const std::vector<u32> kept = w.kept();
  for (i32 y = 0; y < kHeight; ++y)
    for (i32 x = 0; x < kWidth; ++x) {
      const bool in_sheet = x >= 10 && x < 10 + 58 && y >= 20 && y < 20 + 37 && y < 50;
      const bool left_out = (x >= 20 && x < 30 && y >= 25 && y < 30) || (x >= 40 && x < 45);
      const u32 expect = in_sheet && !left_out ? pixels[u64(y - 20 + 3) * 64 + (x - 10 + 2)] : 0xFF000000u;
      ASSERT_EQ(kept[u64(y) * kWidth + x], expect) << x << "," << y;
    }
  EXPECT_EQ(w.s.vimb->renderer->draw_count, 1u);
  EXPECT_EQ(w.s.vimb->renderer->draws[0].sw, 58);
  EXPECT_EQ(w.s.vimb->renderer->draws[0].sh, 37);
  ASSERT_TRUE(draw::present(&w.s, w.window, kWidth, kHeight));
}

TEST(DrawInPlace, TouchableOnlyOverAnUnchangedKeptFrame) {
  surface::Window w;
  ASSERT_EQ(w.start(kWidth, kHeight), 0u);
  const Rect row{0, 10, kWidth, 30};
  EXPECT_FALSE(draw::touchable(w.s, row));
  EXPECT_EQ(draw::paint(&w.s, row, 0), 0u);
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  EXPECT_TRUE(draw::touchable(w.s, row));
  draw::redo(&w.s, Rect{0, 40, 16, 50});
  EXPECT_TRUE(draw::touchable(w.s, row));
  draw::show(&w.s, Rect{0, 25, 16, 35});
  EXPECT_FALSE(draw::touchable(w.s, row));
  // A re-show keeps the lists; the next drawn frame takes them.
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  EXPECT_FALSE(draw::touchable(w.s, row));
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  EXPECT_TRUE(draw::touchable(w.s, row));
  draw::changed(&w.s);
  EXPECT_FALSE(draw::touchable(w.s, row));
}

// Painted and inked in place, the kept frame equals a frame drawn whole with the new row; the touched tiles lose
// their hashes, so the next frame composes them again from the commands.
TEST(DrawInPlace, PaintAndInkEqualAWholeFrame) {
  surface::Window w;
  ASSERT_EQ(w.start(kWidth, kHeight), 0u);
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  // Row 1 shows the text of row 2 instead: its glyphs are all in the atlas already.
  const i32 top = 10 + kRow;
  ASSERT_TRUE(draw::touchable(w.s, Rect{0, top, kWidth, top + kRow}));
  ASSERT_EQ(draw::paint(&w.s, Rect{0, top, kWidth, top + kRow}, 0x00302820 + 0x10), 1u);
  std::vector<u16> text = units(names[2]);
  const Rect clip{4, top + 2, kWidth - 4, top + kRow};
  ASSERT_EQ(draw::ink(&w.s, 0, text.data(), static_cast<u32>(text.size()), 4, top + 2, clip, 0x00F0F0F0), 1u);
  Scene changed = rows({0, 1, 2, 3});
  changed[4].text = names[2];
  EXPECT_EQ(surface::first_difference(w.kept(), whole(changed)), -1);
  const render::Renderer& r = *w.s.vimb->renderer;
  for (u32 t = 0; t < r.tile_count; ++t) {
    const u32 ty = t / r.tile_columns;
    EXPECT_EQ(r.previous_hashes[t] == 0, ty >= 1 && ty <= 3) << t;
  }
  // The next frame of the old scene composes the poisoned tiles again.
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  EXPECT_EQ(surface::first_difference(w.kept(), whole(rows({0, 1, 2, 3}))), -1);
  EXPECT_EQ(surface::first_difference(w.shown(), w.kept()), -1);
  // A character whose glyph is not in the atlas: nothing is written.
  const std::vector<u32> before = w.kept();
  std::vector<u16> unknown = units("Q");
  EXPECT_EQ(draw::ink(&w.s, 0, unknown.data(), 1, 4, 12, Rect{0, 10, kWidth, 30}, 0), 0u);
  std::vector<u16> long_text(97, 'c');
  EXPECT_EQ(draw::ink(&w.s, 0, long_text.data(), 97, 4, 12, Rect{0, 10, kWidth, 30}, 0), 0u);
  EXPECT_EQ(w.kept(), before);
}

TEST(DrawInPlace, InkMixIsTheCompositingBlend) {
  EXPECT_EQ(draw::ink_mix(0xFF102030, 0xFFFFFFFF, 0), 0xFF102030u);
  EXPECT_EQ(draw::ink_mix(0xFF102030, 0xFFC0C0C0, 255), 0xFFC0C0C0u);
  EXPECT_EQ(draw::ink_mix(0xFF000000, 0xFFFFFFFF, 128), 0xFF808080u);
}

TEST(DrawInPlace, MovedRowsEqualAWholeFrame) {
  struct Case {
    std::vector<i32> order;
    std::vector<u32> shown;
  };
  const Case cases[] = {
      {{1, 0, 2, 3}, {1, 0, 2, 3}},    // a swap through the scratch
      {{1, 2, 0, 3}, {1, 2, 0, 3}},    // a rotation of three
      {{0, 1, 2, 3}, {0, 1, 2, 3}},    // nothing moves
      {{3, 0, 0, -1}, {3, 0, 0, 3}},   // a row copied twice, a row kept
      {{-7, 9, 2, 1}, {0, 1, 2, 1}},   // sources outside the rows move nothing
      {{2, 3, 0, 1}, {2, 3, 0, 1}},    // two cycles
  };
  for (const Case& c : cases) {
    surface::Window w;
    ASSERT_EQ(w.start(kWidth, kHeight), 0u);
    ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
    const Rect region{0, 10, kWidth, 10 + 4 * kRow};
    std::vector<u32> scratch(draw::move_pixels(w.s, region, kRow));
    ASSERT_EQ(scratch.size(), u64{kWidth} * kRow);
    ASSERT_EQ(draw::move_rows(&w.s, region, kRow, c.order.data(), 4, scratch.data(), scratch.size()), 1u);
    EXPECT_EQ(surface::first_difference(w.kept(), whole(rows(c.shown))), -1) << c.order[0] << c.order[1];
    const render::Renderer& r = *w.s.vimb->renderer;
    // The region's tile rows 0 to 5 are poisoned, also when nothing moved.
    EXPECT_EQ(r.previous_hashes[r.tile_columns * 5], 0u);
    EXPECT_NE(r.previous_hashes[r.tile_columns * 6], 0u);
  }
}

TEST(DrawInPlace, MoveRowsRefusals) {
  surface::Window w;
  ASSERT_EQ(w.start(kWidth * 5 / 4, kHeight * 5 / 4, 120), 0u);
  ASSERT_TRUE(w.paint_scene(rows({0, 1, 2, 3})));
  const i32 order[] = {1, 0};
  std::vector<u32> scratch(kWidth * 2 * kRow * 2);
  // 5 logical px at 120 DPI are 6.25 px: rows cannot move by whole pixels.
  EXPECT_EQ(draw::move_rows(&w.s, Rect{0, 10, kWidth, 20}, 5, order, 2, scratch.data(), scratch.size()), 0u);
  EXPECT_EQ(draw::move_rows(&w.s, Rect{0, 8, kWidth, 48}, 20, order, 2, scratch.data(), 10), 0u);
  std::vector<i32> many(129, 0);
  EXPECT_EQ(draw::move_rows(&w.s, Rect{0, 8, kWidth, 48}, 20, many.data(), 129, scratch.data(), scratch.size()), 0u);
  EXPECT_EQ(draw::move_rows(&w.s, Rect{0, 8, kWidth, 48}, 20, order, 2, scratch.data(), scratch.size()), 1u);
  EXPECT_EQ(draw::move_pixels(w.s, Rect{kWidth * 2, 0, kWidth * 3, 10}, 20), 0u);
}

// ---- The named sections under the frame record

TEST(Sections, OwnerReaderAndLeftovers) {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  const std::string text = "Local\\VimbrelFrame-test";
  const mem::Bytes name = harness::bytes(text);
  section::Section owner, reader, second;
  EXPECT_EQ(section::open(name, &reader), section::not_found);
  ASSERT_EQ(section::create(name, 4096, &owner), section::ok);
  EXPECT_EQ(section::create(name, 64, &second), section::in_use);
  ASSERT_EQ(section::open(name, &reader), section::ok);
  EXPECT_EQ(reader.size, 4096u);
  owner.view[100] = 7;
  EXPECT_EQ(reader.view[100], 7);
  section::close(&reader);  // a reader leaves the name
  ASSERT_EQ(section::open(name, &reader), section::ok);
  section::close(&reader);
  section::close(&owner);
  EXPECT_EQ(section::open(name, &reader), section::not_found);
  // A file left by an owner that ended (nobody holds it) is taken over.
  testutil::write_file(dir.path + "/vimbrel/VimbrelFrame-test.section", "left over");
  ASSERT_EQ(section::create(name, 64, &owner), section::ok);
  EXPECT_EQ(owner.view[0], 0);
  section::close(&owner);
  EXPECT_EQ(section::create(harness::bytes("Global\\x"), 64, &owner), section::bad_name);
  EXPECT_EQ(section::create(harness::bytes("Local\\a/b"), 64, &owner), section::bad_name);
}

}  // namespace
