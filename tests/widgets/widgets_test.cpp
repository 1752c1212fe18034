// The shell's widgets drawn on both drawing roads: caption glyph pixel maps, buttons in their states (disabled,
// hovered, selected), the text field focused and not, the rail with its selection stripe and fixed entries, focus
// outlines, empty slots, text limits, and golden hashes of one whole scene at 96 and 144 DPI.
#include "widgets/widgets.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/drawing/surface.h"
#include "tests/support/driver.h"

namespace {

using draw::Rect;
using harness::bytes;

// One window of each road at a DPI; pixels read back from what was presented.
struct Roads {
  surface::Window own, soft;
  i32 width, height;
  u32 dpi;
  Roads(i32 w, i32 h, u32 d) : width(w), height(h), dpi(d) {
    EXPECT_EQ(own.start(draw::to_px(w, d), draw::to_px(h, d)), 0u);
    soft.start_gdi(draw::to_px(w, d), draw::to_px(h, d));
    draw::set_dpi(&own.s, d, 0);
    draw::set_dpi(&soft.s, d, 0);
  }
  // Paints the same calls on both roads; true when they agree pixel for pixel.
  template <typename Calls>
  bool paint(Calls&& calls) {
    EXPECT_TRUE(own.paint([&] { calls(&own.s); }));
    EXPECT_TRUE(soft.paint([&] { calls(&soft.s); }));
    return surface::first_difference(own.shown(), soft.shown()) == -1;
  }
  u32 at(i32 x, i32 y) const {  // device px
    const std::vector<u32> p = own.shown();
    return p[u64(y) * draw::to_px(width, dpi) + x];
  }
};

u32 px(u32 colorref) { return draw::bgra(colorref); }

// The brightest channel over a device-pixel box: tells a grey label from a bright one without reading glyphs.
u32 brightest(const Roads& r, Rect box) {
  u32 most = 0;
  const std::vector<u32> p = r.own.shown();
  const i32 stride = draw::to_px(r.width, r.dpi);
  for (i32 y = box.top; y < box.bottom; ++y)
    for (i32 x = box.left; x < box.right; ++x) {
      const u32 v = p[u64(y) * stride + x];
      for (u32 shift : {0u, 8u, 16u}) most = std::max(most, v >> shift & 0xFF);
    }
  return most;
}

TEST(Widgets, FillOfButtonStates) {
  EXPECT_EQ(app::state_fill(false, false), 0x1C1C1Cu);
  EXPECT_EQ(app::state_fill(true, false), 0x373737u);
  EXPECT_EQ(app::state_fill(false, true), 0x463A2Cu);
  EXPECT_EQ(app::state_fill(true, true), 0x5A4A38u);
}

TEST(Widgets, CaptionGlyphPixelMaps) {
  // '#' the glyph's colour within its 10 x 10 box.
  const std::vector<std::vector<std::string>> maps = {
      {"..........", "..........", "..........", "..........", "..........", "##########", "..........",
       "..........", "..........", ".........."},
      {"##########", "#........#", "#........#", "#........#", "#........#", "#........#", "#........#",
       "#........#", "#........#", "##########"},
      {"..########", "..#......#", "########.#", "#......#.#", "#......#.#", "#......#.#", "#......#.#",
       "#......###", "#......#..", "########.."},
      {"#........#", ".#......#.", "..#....#..", "...#..#...", "....##....", "....##....", "...#..#...",
       "..#....#..", ".#......#.", "#........#"},
  };
  for (u32 dpi : {96u, 144u}) {
    for (u32 kind = 0; kind < 4; ++kind) {
      Roads r(60, 50, dpi);
      const Rect button{7, 3, 53, 43};  // 46 x 40: the box starts at (25, 18)
      ASSERT_TRUE(r.paint([&](draw::Surface* s) {
        draw::fill(s, Rect{0, 0, 60, 50}, 0x202020);
        app::caption_glyph(s, kind, button, 0xFFFFFF);
      })) << "roads differ, kind " << kind << " at " << dpi;
      // Each logical pixel of the map covers the device pixels that a fill of it covers.
      for (i32 y = 0; y < 10; ++y)
        for (i32 x = 0; x < 10; ++x) {
          const Rect cell = draw::scale_rect(dpi, Rect{25 + x, 18 + y, 26 + x, 19 + y});
          const u32 want = maps[kind][y][x] == '#' ? px(0xFFFFFF) : px(0x202020);
          for (i32 dy = cell.top; dy < cell.bottom; ++dy)
            for (i32 dx = cell.left; dx < cell.right; ++dx)
              ASSERT_EQ(r.at(dx, dy), want) << "kind " << kind << " at " << dpi << " dpi, cell " << x << "," << y;
        }
    }
  }
}

// A small page of widgets on a laid-out hit map.
struct Page {
  app::HitMap map{};
  app::Canvas canvas(draw::Surface* s, i32 w = 400, i32 h = 300) { return app::Canvas{s, &map, w, h, 0}; }
};

TEST(Widgets, ButtonsShowDisabledHoveredAndSelectedStates) {
  Page p;
  // Slot 40 disabled but hovered, slot 41 enabled and hovered, slot 58 enabled and selected, slot 64 (second word)
  // hovered but disabled.
  app::set_hit(&p.map, 40, 10, 10, 130, 40);
  app::set_hit(&p.map, 41, 10, 50, 130, 80);
  app::set_hit(&p.map, 58, 10, 90, 130, 120);
  app::set_hit(&p.map, 64, 10, 130, 130, 160);
  p.map.enabled_a = app::bit_a(41) | app::bit_a(58);
  p.map.hover_a = app::bit_a(40) | app::bit_a(41);
  p.map.hover_b = app::bit_b(64);
  for (u32 dpi : {96u, 144u}) {
    Roads r(200, 200, dpi);
    ASSERT_TRUE(r.paint([&](draw::Surface* s) {
      draw::fill(s, Rect{0, 0, 200, 200}, 0x000000);
      const app::Canvas c = p.canvas(s, 200, 200);
      app::slot_button(c, 40, mem::lit("Check"), false);
      app::slot_button(c, 41, mem::lit("Check"), false);
      app::slot_button(c, 58, mem::lit("Check"), true);
      app::slot_button_b(c, 64, mem::lit("Check"), false);
    })) << dpi;
    auto d = [&](i32 v) { return draw::to_px(v, dpi); };
    // Fill just inside the outline, outline on the edge.
    EXPECT_EQ(r.at(d(11), d(11)), px(0x1C1C1C)) << "a disabled button shows no hover";
    EXPECT_EQ(r.at(d(10), d(10)), px(0x444444));
    EXPECT_EQ(r.at(d(11), d(51)), px(0x373737));
    EXPECT_EQ(r.at(d(11), d(91)), px(0x463A2C));
    EXPECT_EQ(r.at(d(11), d(131)), px(0x1C1C1C)) << "a disabled second-word button shows no hover either";
    // The label: grey when disabled (never brighter than 0x70), bright when enabled; always bright on slot 64.
    const Rect label_40 = draw::scale_rect(dpi, Rect{12, 12, 128, 38});
    const Rect label_41 = draw::scale_rect(dpi, Rect{12, 52, 128, 78});
    const Rect label_64 = draw::scale_rect(dpi, Rect{12, 132, 128, 158});
    EXPECT_LE(brightest(r, label_40), 0x70u);
    EXPECT_GT(brightest(r, label_40), 0x40u) << "the grey label is drawn";
    EXPECT_GE(brightest(r, label_41), 0xA0u);
    EXPECT_GE(brightest(r, label_64), 0xA0u);
  }
}

TEST(Widgets, EmptySlotsDrawNothing) {
  Page p;
  app::set_hit(&p.map, 41, 50, 50, 50, 80);  // zero width
  app::set_hit(&p.map, 65, 50, 50, 40, 80);  // left beyond right
  p.map.enabled_a = ~u64{0};
  p.map.enabled_b = ~u64{0};
  p.map.hover_a = ~u64{0};
  Roads r(120, 120, 96);
  ASSERT_TRUE(r.paint([&](draw::Surface* s) {
    draw::fill(s, Rect{0, 0, 120, 120}, 0x102030);
    const app::Canvas c = p.canvas(s, 120, 120);
    app::slot_button(c, 41, mem::lit("Gone"), true);
    app::slot_button_b(c, 65, mem::lit("Gone"), true);
    app::slot_field(c, 65, mem::lit("gone"), true, 0xE8E8E8, nullptr, false);
    app::rail_entry(c, 41, true, true, mem::lit("Gone"), 0xE8E8E8);
    app::slot_button(c, 70, mem::lit("no slot 0-63"), true);
  }));
  for (u32 v : r.own.shown()) ASSERT_EQ(v, px(0x102030));
}

TEST(Widgets, TextFieldFocusedAndNot) {
  Page p;
  app::set_hit(&p.map, 65, 20, 20, 220, 48);
  app::set_hit(&p.map, 66, 20, 60, 220, 88);
  p.map.enabled_b = app::bit_b(65) | app::bit_b(66);
  textedit::Field f{};
  textedit::set_text(&f, bytes("10.0.0.7:4477"), 0);
  f.anchor = 0;
  f.caret = 7;  // "10.0.0." selected
  for (u32 dpi : {96u, 144u}) {
    Roads r(240, 100, dpi);
    ASSERT_TRUE(r.paint([&](draw::Surface* s) {
      draw::fill(s, Rect{0, 0, 240, 100}, 0);
      const app::Canvas c = p.canvas(s, 240, 100);
      app::slot_field(c, 65, mem::lit("ignored"), true, 0xE8E8E8, &f, false);
      app::slot_field(c, 66, mem::lit("secret"), false, 0x707070, &f, false);
    })) << dpi;
    auto d = [&](i32 v) { return draw::to_px(v, dpi); };
    EXPECT_EQ(r.at(d(20), d(20)), px(0xFFC14F)) << "a focused field has the accent outline";
    EXPECT_EQ(r.at(d(21), d(45)), px(0x373737));
    EXPECT_EQ(r.at(d(20), d(60)), px(0x444444));
    EXPECT_EQ(r.at(d(21), d(85)), px(0x1C1C1C));
    // The selection band from the text's left edge, on the focused field only.
    u32 band_65 = 0, band_66 = 0;
    const std::vector<u32> shown = r.own.shown();
    const i32 stride = d(240);
    for (i32 y = d(20); y < d(48); ++y)
      for (i32 x = d(20); x < d(220); ++x) band_65 += shown[u64(y) * stride + x] == px(0x805A26);
    for (i32 y = d(60); y < d(88); ++y)
      for (i32 x = d(20); x < d(220); ++x) band_66 += shown[u64(y) * stride + x] == px(0x805A26);
    EXPECT_GT(band_65, 20u);
    EXPECT_EQ(band_66, 0u);
    EXPECT_EQ(r.at(d(28), d(27)), px(0x805A26)) << "the band starts at the inner box's left";
    // The unfocused value is drawn in its given colour, no brighter.
    EXPECT_LE(brightest(r, draw::scale_rect(dpi, Rect{22, 62, 218, 86})), 0x70u);
  }
}

TEST(Widgets, RailSelectionStripeAndFixedEntries) {
  Page p;
  const i32 r0 = 120;  // the fixed entries' top
  app::set_hit(&p.map, 0, 0, 48, 220, 104);   // a view row
  app::set_hit(&p.map, 1, 0, 104, 220, 120);  // another, short for the test
  app::set_hit(&p.map, app::slot_processes, 0, r0, 220, r0 + 32);
  app::set_hit(&p.map, app::slot_machines, 0, r0 + 32, 220, r0 + 64);
  app::set_hit(&p.map, app::slot_internet, 0, r0 + 64, 0, r0 + 96);  // probe off
  app::set_hit(&p.map, app::slot_support, 0, r0 + 96, 220, r0 + 128);
  app::set_hit(&p.map, app::slot_settings, 0, r0 + 128, 220, r0 + 160);
  p.map.enabled_a = app::bit_a(0) | app::bit_a(1) | app::bit_a(30) | app::bit_a(33);
  p.map.enabled_b = app::bit_b(app::slot_machines);
  p.map.selected = app::bit_a(1);
  p.map.hover_a = app::bit_a(0);
  p.map.hover_b = app::bit_b(app::slot_support);
  p.map.focus = app::focus_machines | app::bit_a(0);
  app::RailFacts rail{};
  rail.page = app::page_view;
  rail.support = true;
  rail.remote = true;
  rail.remote_name = mem::lit("build-7 \xC3\xA9t\xC3\xA9");
  rail.fixed_top = r0;
  for (u32 dpi : {96u, 144u}) {
    Roads r(240, 300, dpi);
    ASSERT_TRUE(r.paint([&](draw::Surface* s) {
      draw::fill(s, Rect{0, 0, 240, 300}, 0x000000);
      const app::Canvas c = p.canvas(s, 240, 300);
      app::draw_rail(c, rail);
      app::draw_focus(c);
    })) << dpi;
    auto d = [&](i32 v) { return draw::to_px(v, dpi); };
    EXPECT_EQ(r.at(d(1), d(44)), px(0x1C1C1C)) << "the rail background";
    EXPECT_EQ(r.at(d(1), d(110)), px(0xFFC14F)) << "the selected row's stripe";
    EXPECT_EQ(r.at(d(5), d(110)), px(0x463A2C));
    EXPECT_EQ(r.at(d(5), d(60)), px(0x373737)) << "a hovered row";
    EXPECT_NE(r.at(d(1), d(60)), px(0xFFC14F)) << "no stripe on a row not selected";
    EXPECT_EQ(r.at(d(1), d(r0 + 40)), px(0xFFC14F)) << "Machines is selected while a remote machine shows";
    EXPECT_EQ(r.at(d(5), d(r0 + 100)), px(0x373737)) << "the hovered Support entry";
    EXPECT_EQ(r.at(d(0), d(r0 + 32)), px(0xC8C8C8)) << "focus bit 32 outlines Machines";
    EXPECT_EQ(r.at(d(219), d(80)), px(0xC8C8C8)) << "and the focused view row";
    EXPECT_EQ(r.at(d(5), d(r0 + 130)), px(0x1C1C1C));
    // "Cluster" in grey where the Internet entry would be; the Machines words bright.
    EXPECT_LE(brightest(r, draw::scale_rect(dpi, Rect{20, r0 + 66, 218, r0 + 94})), 0x70u);
    EXPECT_GT(brightest(r, draw::scale_rect(dpi, Rect{20, r0 + 66, 218, r0 + 94})), 0x40u);
    EXPECT_GE(brightest(r, draw::scale_rect(dpi, Rect{20, r0 + 34, 218, r0 + 62})), 0xA0u);
  }
  // With the probe on, the Internet entry is drawn instead of "Cluster".
  rail.probe = true;
  app::set_hit(&p.map, app::slot_internet, 0, r0 + 64, 220, r0 + 96);
  Roads r(240, 300, 96);
  ASSERT_TRUE(r.paint([&](draw::Surface* s) {
    draw::fill(s, Rect{0, 0, 240, 300}, 0x000000);
    app::draw_rail(p.canvas(s, 240, 300), rail);
  }));
  EXPECT_GE(brightest(r, Rect{20, r0 + 66, 218, r0 + 94}), 0xA0u);
}

TEST(Widgets, TextLimitsAndViewIds) {
  u16 units[app::text_in_most];
  const std::string ascii(200, 'a');
  EXPECT_EQ(app::widen(bytes(ascii), units), 160u);
  // A two-byte character across the 160-byte limit is left out whole.
  const std::string cut = std::string(159, 'a') + "\xC3\xA9";
  EXPECT_EQ(app::widen(bytes(cut), units), 159u);
  const std::string fits = std::string(158, 'a') + "\xC3\xA9";
  EXPECT_EQ(app::widen(bytes(fits), units), 159u);
  EXPECT_EQ(units[158], 0xE9);
  EXPECT_EQ(app::widen(bytes("\xF0\x9F\x98\x80!"), units), 3u) << "a surrogate pair";
  EXPECT_EQ(units[0], 0xD83D);
  EXPECT_EQ(app::widen(bytes("a\xFF" "b"), units), 3u);
  EXPECT_EQ(units[1], 0xFFFD);
  u16 name[app::name_units];
  EXPECT_EQ(app::widen_name(bytes(std::string(70, 'V')), name), 63u);
  EXPECT_EQ(name[63], 0);

  surface::Window w;
  ASSERT_EQ(w.start(100, 40), 0u);
  draw::begin(&w.s, w.window, 100, 40);
  EXPECT_EQ(app::text_width(&w.s, 0, bytes(std::string(200, 'W'))), app::text_width(&w.s, 0, bytes(std::string(160, 'W'))));
  EXPECT_EQ(app::text_width(&w.s, 0, mem::Bytes()), 0);

  struct Case {
    u64 selected;
    u8 page;
    bool power;
    u32 id;
  };
  const Case cases[] = {
      {app::bit_a(3), app::page_view, false, 3},      {0, app::page_settings, false, 64},
      {app::bit_a(30) | app::bit_a(5), 0, false, 5}, {app::bit_a(31), app::page_internet, false, 65},
      {app::bit_a(0), app::page_view, true, 34},      {0, app::page_sensors, false, 67},
      {app::bit_a(33), app::page_support, false, 66},
  };
  for (const Case& c : cases) EXPECT_EQ(app::view_id(c.selected, c.page, c.power), c.id) << int(c.page);
}

// The whole set drawn once: title badges, caption glyphs, rows, a section head, Off/On toggles, buttons, a field,
// the rail and its focus. The hashes were fixed after the scene was checked by eye.
TEST(Widgets, GoldenSceneOnBothRoads) {
  Page p;
  app::set_hit(&p.map, 0, 0, 48, 220, 104);
  app::set_hit(&p.map, app::slot_processes, 0, 104, 220, 136);
  app::set_hit(&p.map, app::slot_machines, 0, 136, 220, 168);
  app::set_hit(&p.map, app::slot_internet, 0, 168, 220, 200);
  app::set_hit(&p.map, app::slot_settings, 0, 200, 220, 232);
  app::set_hit(&p.map, app::slot_close, 594, 0, 640, 40);
  app::set_hit(&p.map, app::slot_auto_check, 424, 162, 496, 190);
  app::set_hit(&p.map, app::slot_check, 424, 236, 592, 264);
  app::set_hit(&p.map, app::slot_publish, 424, 298, 496, 326);
  app::set_hit(&p.map, app::slot_target_field, 424, 334, 616, 362);
  p.map.enabled_a = app::bit_a(0) | app::bit_a(30) | app::bit_a(33) | app::bit_a(36) | app::bit_a(41);
  p.map.enabled_b = app::bit_b(64) | app::bit_b(65) | app::bit_b(67) | app::bit_b(71);
  p.map.selected = app::bit_a(app::slot_settings);
  p.map.hover_a = app::bit_a(app::slot_processes);
  p.map.focus = app::bit_a(0);
  textedit::Field f{};
  textedit::set_text(&f, bytes("cluster.example:4477"), 0);
  f.anchor = 8;
  app::RailFacts rail{};
  rail.page = app::page_settings;
  rail.probe = true;
  rail.fixed_top = 104;
  auto scene = [&](draw::Surface* s) {
    draw::fill(s, Rect{0, 0, 640, 400}, 0x181818);
    app::Canvas c = p.canvas(s, 640, 400);
    const i32 x = app::title_badge(c, mem::lit("demo data"), 240);
    app::title_badge(c, mem::lit("stale"), x + 6);
    app::caption_glyph(s, app::glyph_close, app::slot_rect(p.map, app::slot_close), 0xE8E8E8);
    app::caption_glyph(s, app::glyph_restore, Rect{548, 0, 594, 40}, 0xE8E8E8);
    app::section_head(c, mem::lit("Updates"), 132);
    app::row_label(c, mem::lit("Automatic check"), 162);
    app::slot_button(c, app::slot_auto_check, mem::lit("On"), true);
    app::slot_button(c, app::slot_check, mem::lit("Check for updates"), false);
    app::row_pair(c, mem::lit("Update mode"), 268, mem::lit("Asks first."));
    settings::off_on(c, mem::lit("Publish"), 244, 298, app::slot_publish, false);
    app::row_label(c, mem::lit("Server or share"), 332);
    app::slot_field(c, app::slot_target_field, mem::Bytes(), true, 0xE8E8E8, &f, false);
    app::draw_rail(c, rail);
    app::draw_focus(c);
  };
  struct Golden {
    u32 dpi;
    u64 hash;
  };
  const Golden goldens[] = {{96, 0x9843195EC108C70Full}, {144, 0xAA0B9F4B48A7A813ull}};
  for (const Golden& g : goldens) {
    Roads r(640, 400, g.dpi);
    ASSERT_TRUE(r.paint(scene)) << "the roads differ at " << g.dpi;
    u64 hash = 0xCBF29CE484222325ull;
    for (u32 v : r.own.shown())
      for (u32 k = 0; k < 4; ++k) hash = (hash ^ (v >> (8 * k) & 0xFF)) * 0x100000001B3ull;
    EXPECT_EQ(hash, g.hash) << std::hex << "0x" << hash << " at " << std::dec << g.dpi << " dpi";
    if (const char* folder = getenv("VIMBREL_RENDER_DUMP")) {
      driver::Frame frame;
      frame.width = static_cast<u32>(draw::to_px(640, g.dpi));
      frame.height = static_cast<u32>(draw::to_px(400, g.dpi));
      frame.pixels = r.own.shown();
      driver::write_png(std::string(folder) + "/shell-widgets-" + std::to_string(g.dpi) + ".png", frame);
    }
  }
}

}  // namespace
