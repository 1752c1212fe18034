// Drawing calls on both roads, the fonts by role, the own renderer's start and the frame record.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/section.h"
#include "tests/drawing/surface.h"

namespace {

using draw::Rect;
using surface::Element;
using surface::Scene;
using surface::units;

const std::string system_fonts = "/usr/share/fonts/truetype";

i32 extent(soft::Font* font, const std::string& s) {
  std::vector<u16> u = units(s);
  i32 w = 0, h = 0;
  soft::text_extent(font, u.data(), static_cast<u32>(u.size()), &w, &h);
  return w;
}

// The text roles are Lato (proportional), the fixed role DejaVu Sans Mono; a test folder's Lato serves every role.
TEST(DrawFonts, RolesFromTheSystemFontsAndATestFolder) {
  testutil::TempDir dir;
  std::filesystem::copy_file(surface::lato_folder + "/Lato-Regular.ttf", dir.path + "/Lato-Regular.ttf");
  draw::Surface system{}, test{}, none{};
  draw::init(&system, 0, 0, mem::Bytes());
  draw::init(&test, 0, 0, harness::bytes(dir.path));
  const std::string missing = dir.path + "/none";
  draw::init(&none, 0, 0, harness::bytes(missing));
  for (u32 role = 0; role < draw::roles; ++role) {
    ASSERT_NE(system.fonts[role], nullptr) << role;
    ASSERT_NE(test.fonts[role], nullptr) << role;
    EXPECT_EQ(extent(system.fonts[role], "iii") == extent(system.fonts[role], "MMM"), role == 1) << role;
    EXPECT_LT(extent(test.fonts[role], "iii"), extent(test.fonts[role], "MMM")) << role;
    EXPECT_EQ(test.fonts[role]->px, static_cast<u32>(draw::font_px(role, 96)));
    EXPECT_GT(test.fonts[role]->ascent, 8);
    EXPECT_GT(test.fonts[role]->height, test.fonts[role]->ascent);
    EXPECT_EQ(none.fonts[role], nullptr) << role;
  }
  // Roles named by one file share its face.
  EXPECT_EQ(test.fonts[0]->face, test.fonts[1]->face);
  EXPECT_NE(system.fonts[0]->face, system.fonts[1]->face);
  EXPECT_EQ(system.fonts[0]->face, system.fonts[3]->face);
  // A size outside 1..2,048 px is refused.
  mem::Arena arena{};
  ASSERT_TRUE(mem::arena_init(&arena, 4u << 20));
  auto f = std::make_unique<soft::Font>();
  EXPECT_EQ(soft::font_init(f.get(), test.fonts[0]->face, &arena, 0), 0u);
  EXPECT_EQ(soft::font_init(f.get(), test.fonts[0]->face, &arena, 2049), 0u);
  EXPECT_EQ(soft::font_init(f.get(), test.fonts[0]->face, &arena, 16), 1u);
  mem::release(&arena);
  draw::close(&system);
  draw::close(&test);
  draw::close(&none);
}

TEST(DrawFonts, OwnRendererRolesMatchTheSoftwareRoad) {
  for (bool test_fonts : {false, true}) {
    surface::Window w;
    if (!test_fonts) w.folder = "";
    w.start_gdi(64, 64);
    w.s.test_fonts = test_fonts;
    ASSERT_EQ(draw::start_vimb(&w.s, 64, 64, 8, 16, 0, reinterpret_cast<const u8*>(w.folder.data()),
                               static_cast<u32>(w.folder.size())),
              0u);
    const draw::Vimb& v = *w.s.vimb;
    // A file named by several roles is read and parsed once.
    EXPECT_EQ(v.face[0], v.face[2]);
    EXPECT_EQ(v.face[0], v.face[3]);
    EXPECT_EQ(v.face[0] == v.face[1], test_fonts);
    for (u32 role = 0; role < draw::roles; ++role) {
      EXPECT_EQ(v.ascent[role], w.s.fonts[role]->ascent) << role;
      EXPECT_EQ(v.line_height[role], w.s.fonts[role]->height) << role;
      EXPECT_EQ(v.px[role], draw::font_px(role, 96));
    }
    const draw::Size cell = draw::cell(w.s);
    EXPECT_EQ(cell.width, extent(w.s.fonts[1], "M"));
    EXPECT_EQ(cell.height, v.line_height[1]);
  }
}

// The same scene on the GDI road and on the own renderer: fills, text in every role (with and without advances),
// the icon and an opaque sheet come out the same.
TEST(DrawRoads, SoftwareRoadMatchesTheOwnRenderer) {
  std::vector<u32> icon_pixels(20 * 20);
  for (u32 i = 0; i < icon_pixels.size(); ++i)
    icon_pixels[i] = (i % 7 ? 0xFF000000u : 0x80000000u) | (i * 2654435761u >> 8);
  std::vector<u32> sheet_pixels(40 * 30);
  for (u32 i = 0; i < sheet_pixels.size(); ++i) sheet_pixels[i] = 0xFF000000u | (i * 40503u);
  for (u32 dpi : {96u, 120u, 144u, 192u}) {
    surface::Window own, soft;
    ASSERT_EQ(own.start(300, 200), 0u);
    soft.start_gdi(300, 200);
    gdi::Handle icon = gdi::icon_create(icon_pixels.data(), 20, 20);
    draw::set_dpi(&own.s, dpi, icon);
    draw::set_dpi(&soft.s, dpi, icon);
    draw::Sheet sheet{sheet_pixels.data(), 40, 40, 30, -1};
    draw::bind_sheet(&own.s, &sheet);
    ASSERT_GE(sheet.slot, 0);
    const std::vector<u16> mixed = {'W', 0xD83D, 0xDE00, 'a', 'g', '%'};
    const i32 advances[] = {9, 5, 5, 7, 8, 12};
    auto calls = [&](draw::Surface* s) {
      draw::fill(s, Rect{0, 0, 400, 400}, 0x00281E14);
      draw::fill(s, Rect{5, 5, 60, 30}, 0x0000C0FF);
      for (u32 role = 0; role < draw::roles; ++role) {
        std::vector<u16> u = units("Processes 12.5 % gjy");
        const i32 top = 35 + static_cast<i32>(role) * 20;
        draw::text(s, role, u.data(), static_cast<u32>(u.size()), 8, top, Rect{4, top, 150, top + 18}, 0x00E0F0FF,
                   nullptr);
      }
      draw::text(s, 0, mixed.data(), static_cast<u32>(mixed.size()), 160, 10, Rect{160, 10, 230, 40}, 0x0040FF40,
                 advances);
      draw::icon(s, 160, 50, 24);
      draw::sheet_show(s, sheet, 3, 2, 30, 20, draw::to_px(170, dpi), draw::to_px(90, dpi), false, Rect{}, 0, 0, 0);
    };
    ASSERT_TRUE(own.paint([&] { calls(&own.s); }));
    ASSERT_TRUE(soft.paint([&] { calls(&soft.s); }));
    EXPECT_EQ(own.word(draw::word_mode), 1u);
    EXPECT_EQ(surface::first_difference(own.shown(), soft.shown()), -1) << dpi;
    draw::close(&own.s);
    draw::close(&soft.s);
    gdi::icon_delete(icon);
  }
}

TEST(DrawCalls, MeasureScalesBackToLogical) {
  surface::Window own, soft;
  ASSERT_EQ(own.start(64, 64, 144), 0u);
  soft.start_gdi(64, 64, 144);
  std::vector<u16> u = units("Memory 8.1 GiB");
  draw::begin(&own.s, own.window, 64, 64);
  draw::begin(&soft.s, soft.window, 64, 64);
  const draw::Size a = draw::measure(&own.s, 0, u.data(), static_cast<u32>(u.size()));
  const draw::Size b = draw::measure(&soft.s, 0, u.data(), static_cast<u32>(u.size()));
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.height, draw::logical_up(own.s.vimb->line_height[0], 144));
  EXPECT_GT(a.width, 60);
}

// A fill outside every redo rectangle of a partial frame records nothing; a mark records an invisible rectangle
// whose value reaches the tile hashes.
TEST(DrawCalls, PartialFramesRecordOnlyWhatIsWanted) {
  surface::Window w;
  ASSERT_EQ(w.start(128, 64), 0u);
  Scene scene{Element{Rect{0, 0, 128, 64}, 0x00101010, false, 0, ""}};
  ASSERT_TRUE(w.paint_scene(scene));
  draw::redo(&w.s, Rect{0, 0, 16, 16});
  draw::show(&w.s, Rect{0, 0, 16, 16});
  draw::changed(&w.s);
  draw::begin(&w.s, w.window, 128, 64);
  ASSERT_EQ(w.s.partial, 1);
  const render::Renderer& r = *w.s.vimb->renderer;
  draw::fill(&w.s, Rect{64, 32, 80, 48}, 0x00FFFFFF);
  EXPECT_EQ(r.rect_count, 0u);
  draw::fill(&w.s, Rect{0, 0, 128, 64}, 0x00101010);
  EXPECT_EQ(r.rect_count, 1u);
  draw::mark(&w.s, Rect{2, 2, 10, 10}, 5);
  ASSERT_EQ(r.rect_count, 2u);
  EXPECT_EQ(r.rects[1].colour, 0u);
  EXPECT_EQ(r.rects[1].y1, 10 * 256 - 5 - 1);
  ASSERT_TRUE(draw::present(&w.s, w.window, 128, 64));
  EXPECT_EQ(r.changed_count, 1u);  // the mark changed the tile's hash, and nothing else changed
}

// An icon whose size scales to an odd number of px is a square of that side, on both roads.
TEST(DrawCalls, IconIsASquareOfItsScaledSide) {
  std::vector<u32> pixels(16 * 16, 0xFFFF0000u);
  gdi::Handle icon = gdi::icon_create(pixels.data(), 16, 16);
  surface::Window own, soft;
  ASSERT_EQ(own.start(32, 32, 120), 0u);
  soft.start_gdi(32, 32, 120);
  for (surface::Window* w : {&own, &soft}) {
    draw::set_dpi(&w->s, 120, icon);
    ASSERT_TRUE(w->paint([&] {
      draw::fill(&w->s, Rect{0, 0, 40, 40}, 0);
      draw::icon(&w->s, 2, 2, 4);  // 3 px to 8 px: a side of 5
    }));
    const std::vector<u32> shown = w->shown();
    for (i32 y = 0; y < 32; ++y)
      for (i32 x = 0; x < 32; ++x)
        ASSERT_EQ(shown[u64(y) * 32 + x], x >= 3 && x < 8 && y >= 3 && y < 8 ? 0xFFFF0000u : 0xFF000000u)
            << x << "," << y;
  }
  EXPECT_EQ(own.s.vimb->icon_width, 16);
  draw::close(&own.s);
  draw::close(&soft.s);
  gdi::icon_delete(icon);
}

TEST(DrawText, LongTextIsSeveralRunsWithContinuousOffsets) {
  surface::Window w;
  ASSERT_EQ(w.start(64, 64), 0u);
  draw::begin(&w.s, w.window, 64, 64);
  std::vector<u16> u(5000, 'i');
  draw::text(&w.s, 0, u.data(), 5000, 0, 0, Rect{0, 0, 64, 64}, 0, nullptr);
  const render::Renderer& r = *w.s.vimb->renderer;
  ASSERT_EQ(r.glyph_count, 5000u);
  EXPECT_EQ(r.command_count, 2u);
  const i32 step = r.glyphs[1].x - r.glyphs[0].x;
  EXPECT_GT(step, 0);
  EXPECT_EQ(step % 256, 0);
  EXPECT_EQ(r.glyphs[4096].x - r.glyphs[4095].x, step);
  EXPECT_EQ(r.glyphs[4999].x, 4999 * step);
}

// ---- Start and the frame record

TEST(DrawStart, LimitsAndArenaFollowTheFrame) {
  EXPECT_EQ(draw::virtual_side(1920, 3840), 3840);
  EXPECT_EQ(draw::virtual_side(20000, 3840), 16384);
  EXPECT_EQ(draw::virtual_side(4000, 2160), 4000);
  EXPECT_EQ(draw::frame_cells(3840, 2160, 9, 19), (3840u / 9 + 2) * (2160u / 19 + 2));
  EXPECT_EQ(draw::frame_cells(100, 100, 0, -3), 102u * 102u);
  const render::Limits l = draw::vimb_limits(3840, 2160, 8, 16, 0);
  const u32 cells = (3840 / 8 + 2) * (2160 / 16 + 2);
  EXPECT_EQ(l.slices, 1u);
  EXPECT_EQ(l.max_width, 3840u);
  EXPECT_EQ(l.rects, cells + 4096);
  EXPECT_EQ(l.glyphs, cells + 16384);
  EXPECT_EQ(l.commands, cells * 2 + 8192);
  EXPECT_EQ(l.layers, l.commands);
  EXPECT_EQ(l.tile_entries, (l.rects + l.glyphs) * 6 + 32400u * 64);
  EXPECT_EQ(l.image_bytes, 1048576u);
  const render::Limits fixed = draw::vimb_limits(640, 480, 8, 16, 500);
  EXPECT_EQ(fixed.rects, 500u);
  EXPECT_EQ(fixed.glyphs, 500u);
  EXPECT_EQ(fixed.commands, 500u);
  const u64 tiles = 32400;
  EXPECT_EQ(draw::arena_bytes(l), 4194304 + 1048576 + 3 * tiles * 12 + tiles * 64 + u64{l.tile_entries} * 4 +
                                      (u64{l.rects} + l.glyphs + 256) * 192 + u64{l.commands} * 16 + 33554432);
}

TEST(DrawStart, FoldersAndFontFiles) {
  EXPECT_FALSE(draw::local_folder(harness::bytes("C:")));
  EXPECT_FALSE(draw::local_folder(harness::bytes("C:fonts")));
  EXPECT_TRUE(draw::local_folder(harness::bytes("C:\\fonts")));
  EXPECT_TRUE(draw::local_folder(harness::bytes("c:/fonts")));
  EXPECT_TRUE(draw::local_folder(harness::bytes("/usr/share/fonts")));
  EXPECT_FALSE(draw::local_folder(harness::bytes("fonts")));
  EXPECT_FALSE(draw::local_folder(harness::bytes("/f\xC3\xB6nts")));
  EXPECT_FALSE(draw::local_folder(harness::bytes("/" + std::string(900, 'a'))));
  EXPECT_EQ(harness::text(draw::font_file(2, true)), "Lato-Regular.ttf");
  u8 out[draw::folder_most];
  EXPECT_EQ(draw::fonts_dir(nullptr, 0, out), system_fonts.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), system_fonts.size()), system_fonts);
  const std::string lato = surface::lato_folder;
  EXPECT_EQ(draw::fonts_dir(reinterpret_cast<const u8*>(lato.data()), static_cast<u32>(lato.size()), out), lato.size());
  EXPECT_EQ(draw::fonts_dir(reinterpret_cast<const u8*>("C:"), 2, out), 0u);
}

struct Start {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  testutil::TempDir fonts;
  draw::Surface s{};
  gdi::Handle window = gdi::open_headless(64, 64);
  Start() { draw::init(&s, window, 0, mem::Bytes()); }
  ~Start() {
    draw::close(&s);
    gdi::close_window(window);
  }
  u32 select(const std::string& folder) {
    return draw::select(&s, 1, reinterpret_cast<const u8*>(folder.data()), static_cast<u32>(folder.size()), 8, 16, 0);
  }
  std::string record_file() const {
    u8 name[64];
    const u32 n = draw::frame_name(window, name);
    return dir.path + "/vimbrel/" + std::string(reinterpret_cast<char*>(name) + 6, n - 6) + ".section";
  }
  u32 status_word() const { return *reinterpret_cast<const u32*>(s.record.view + draw::word_status); }
};

TEST(DrawStart, FailuresKeepTheGdiRoadWithTheirCode) {
  {
    Start t;
    EXPECT_EQ(t.select("C:"), u32{draw::no_fonts});
    EXPECT_EQ(t.s.use_vimb, 0);
    ASSERT_EQ(t.s.record.size, 64u);
    EXPECT_EQ(t.status_word(), u32{draw::no_fonts});
    EXPECT_EQ(*reinterpret_cast<const u32*>(t.s.record.view), draw::frame_magic);
    // No second attempt, even with a good folder.
    EXPECT_EQ(t.select(surface::lato_folder), u32{draw::no_fonts});
    EXPECT_EQ(t.s.vimb, nullptr);
  }
  {
    Start t;  // a folder without the font
    EXPECT_EQ(t.select(t.fonts.path), u32{draw::font_refused});
    EXPECT_EQ(t.s.bad_font, 0u);
    EXPECT_EQ(t.status_word(), u32{draw::font_refused});
  }
  {
    Start t;  // an empty font file
    testutil::write_file(t.fonts.path + "/Lato-Regular.ttf", "");
    EXPECT_EQ(t.select(t.fonts.path), u32{draw::font_refused});
  }
  {
    Start t;  // a file that is not a font
    testutil::write_file(t.fonts.path + "/Lato-Regular.ttf", std::string(4096, 'x'));
    EXPECT_EQ(t.select(t.fonts.path), u32{draw::font_refused});
    EXPECT_EQ(t.s.bad_font, 0u);
  }
  {
    Start t;  // a record of that name held by a live owner
    u8 name[64];
    const u32 n = draw::frame_name(t.window, name);
    section::Section other;
    ASSERT_EQ(section::create(mem::Bytes(name, n), 64, &other), section::ok);
    EXPECT_EQ(t.select(surface::lato_folder), u32{draw::record_refused});
    EXPECT_EQ(t.s.use_vimb, 0);
    section::close(&other);
  }
  {
    Start t;  // --gdi: nothing starts
    EXPECT_EQ(draw::select(&t.s, 0, nullptr, 0, 8, 16, 0), 0u);
    EXPECT_EQ(t.s.use_vimb, 0);
    EXPECT_EQ(t.s.record.view, nullptr);
  }
}

// A start with the virtual screen's floor; the frame record is read back through a second mapping.
TEST(DrawStart, RecordReadsBackThroughASecondMapping) {
  Start t;
  ASSERT_EQ(t.select(surface::lato_folder), 0u);
  EXPECT_EQ(t.s.use_vimb, 1);
  EXPECT_EQ(t.s.vimb->frame_width, 3840u);
  EXPECT_EQ(t.s.vimb->frame_height, 2160u);
  struct stat st{};
  ASSERT_EQ(stat(t.record_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3840 * 2160 * 4 + 64);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Scene scene{Element{Rect{0, 0, 64, 64}, 0x00112233, false, 0, ""},
              Element{Rect{4, 20, 60, 40}, 0x00FFFFFF, true, 0, "Abc"}};
  for (u32 frame = 0; frame < 3; ++frame) {
    draw::begin(&t.s, t.window, 64, 48);
    surface::draw_scene(&t.s, scene);
    ASSERT_TRUE(draw::present(&t.s, t.window, 64, 48));
    draw::changed(&t.s);
  }
  u8 name[64];
  const u32 n = draw::frame_name(t.window, name);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), n).rfind("Local\\VimbrelFrame-", 0), 0u);
  section::Section reader;
  ASSERT_EQ(section::open(mem::Bytes(name, n), &reader), section::ok);
  const u32* words = reinterpret_cast<const u32*>(reader.view);
  EXPECT_EQ(words[0], 0x5646524Du);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.view), 4), "MRFV");
  EXPECT_EQ(words[1], 3u);
  EXPECT_EQ(words[2], 1u);
  EXPECT_EQ(words[3], 64u);
  EXPECT_EQ(words[4], 48u);
  EXPECT_EQ(words[5], 3840u);
  EXPECT_EQ(words[7], 0u);
  EXPECT_EQ(words[8], 0u);
  i32 w = 0, h = 0;
  const u32* shown = gdi::window_pixels(t.window, &w, &h);
  const u32* pixels = words + 16;
  for (i32 y = 0; y < 48; ++y)
    for (i32 x = 0; x < 64; ++x) ASSERT_EQ(pixels[u64(y) * 3840 + x], shown[y * w + x]) << x << "," << y;
  EXPECT_EQ(pixels[0], 0xFF332211u);
  section::close(&reader);
  // The owner removes the name when the window ends.
  draw::close(&t.s);
  EXPECT_NE(stat(t.record_file().c_str(), &st), 0);
}

}  // namespace
