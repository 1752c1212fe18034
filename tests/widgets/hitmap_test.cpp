// The hit map: slot rectangles at the width breakpoints of the Settings page, the title strip that hides scrolled
// controls, the rail's fixed entries, enabled masks by page and update state, drawn box against clickable box at
// several DPIs, frame edges and cursors, the minimum size, invalidation, rail focus order and the Support geometry.
#include "widgets/hitmap.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sampling/machine.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "update/updstate.h"
#include "drawing/layout.h"

namespace {

using app::bit_a;
using app::bit_b;

struct Map : ::testing::Test {
  std::unique_ptr<machine::Machine> m = std::make_unique<machine::Machine>();
  std::unique_ptr<views::ViewState> v = std::make_unique<views::ViewState>();
  app::HitMap map{};

  Map() {
    machine::init(m.get());
    machine::set_counts(m.get(), 8, 2, 1);  // views 0-3 and 18
    views::init(v.get());
  }
  ~Map() override { mem::release(&v->sheet_arena); }

  app::Facts facts(u8 page, i32 width, i32 height = 800) {
    app::Facts f{};
    f.page = page;
    f.width = width;
    f.height = height;
    f.shown = m.get();
    f.probe = true;
    f.support = true;
    return f;
  }
  void lay(const app::Facts& f) { app::layout_hits(&map, v.get(), f); }
  draw::Rect rect(u32 slot) const { return app::slot_rect(map, slot); }
  bool enabled(u32 slot) const { return slot < 64 ? (map.enabled_a >> slot & 1) : (map.enabled_b >> (slot - 64) & 1); }
};

std::string str(draw::Rect r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

TEST_F(Map, SettingsSlotsAtTheWidthBreakpoints) {
  struct Case {
    i32 width;
    draw::Rect key_field, generate, choose, toggle1, toggle2, measure, notes;
  };
  // F = width - 448 below 1060, else - 820, at most 360; m = 32 below 1060; g = m + 64 below 1046. Narrow: the key
  // buttons in a row of their own ending at the key field's right edge; toggles stacked below 1046.
  const Case cases[] = {
      {640, {424, 550, 616, 578}, {256, 582, 368, 610}, {504, 582, 616, 610}, {424, 830, 496, 858},
       {424, 862, 496, 890}, {424, 698, 496, 726}, {424, 930, 624, 958}},
      {1045, {424, 550, 784, 578}, {424, 582, 536, 610}, {672, 582, 784, 610}, {424, 830, 496, 858},
       {424, 862, 496, 890}, {424, 698, 496, 726}, {424, 930, 624, 958}},
      {1046, {424, 550, 784, 578}, {424, 582, 536, 610}, {672, 582, 784, 610}, {690, 798, 762, 826},
       {950, 798, 1022, 826}, {424, 698, 496, 726}, {424, 866, 624, 894}},
      {1059, {424, 550, 784, 578}, {424, 582, 536, 610}, {672, 582, 784, 610}, {690, 798, 762, 826},
       {950, 798, 1022, 826}, {424, 698, 496, 726}, {424, 866, 624, 894}},
      {1060, {424, 550, 664, 578}, {676, 550, 788, 578}, {924, 550, 1036, 578}, {690, 766, 762, 794},
       {950, 766, 1022, 794}, {424, 666, 496, 694}, {424, 834, 624, 862}},
      {1280, {424, 550, 784, 578}, {796, 550, 908, 578}, {1044, 550, 1156, 578}, {690, 766, 762, 794},
       {950, 766, 1022, 794}, {424, 666, 496, 694}, {424, 834, 624, 862}},
  };
  for (const Case& c : cases) {
    app::Facts f = facts(app::page_settings, c.width);
    f.update.notices[1] = 1;  // the notes block shows
    lay(f);
    SCOPED_TRACE(c.width);
    EXPECT_EQ(str(rect(app::slot_key_field)), str(c.key_field));
    EXPECT_EQ(str(rect(app::slot_target_field)), str({424, 514, c.key_field.right, 542}));
    EXPECT_EQ(str(rect(app::slot_generate)), str(c.generate));
    EXPECT_EQ(str(rect(app::slot_copy_key)), str({c.generate.left + 124, c.generate.top, c.generate.left + 236,
                                                  c.generate.bottom}));
    EXPECT_EQ(str(rect(app::slot_choose_file)), str(c.choose));
    EXPECT_EQ(str(rect(app::slot_background0 + 1)), str(c.toggle1));
    EXPECT_EQ(str(rect(app::slot_background0 + 2)), str(c.toggle2));
    EXPECT_EQ(str(rect(app::slot_measure)), str(c.measure));
    EXPECT_EQ(str(rect(app::slot_notes)), str(c.notes));
    // Caption buttons at the right edge, whatever the page.
    EXPECT_EQ(str(rect(app::slot_close)), str({c.width - 46, 0, c.width, 40}));
    EXPECT_EQ(app::machines_wide(c.width), c.width > 1269);
  }
  EXPECT_FALSE(app::machines_wide(1269));
  EXPECT_TRUE(app::machines_wide(1270));
}

TEST_F(Map, ScrolledControlsAreNotHitUnderTheTitleStrip) {
  app::Facts f = facts(app::page_settings, 1280);
  f.scroll = 220;  // "Check for updates" now spans y 16..44, the publish toggle 258..286
  f.update.flags |= updstate::flag_first_start;  // the title strip shows the update notice at W-304..W-154, y 10..30
  lay(f);
  struct Case {
    i32 x, y;
    u64 a, b;
  };
  const Case cases[] = {
      {430, 30, 0, 0},                                  // under the strip: nothing
      {430, 41, bit_a(app::slot_check), 0},             // just below it: the button
      {430, 39, 0, 0},
      {1270, 30, bit_a(app::slot_close), 0},            // caption buttons still work
      {1000, 20, bit_a(app::slot_notice), 0},           // and so do the title-strip slots
      {430, 270, 0, bit_b(app::slot_publish)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::hits_at(map, c.x, c.y), c.a) << c.x << "," << c.y;
    EXPECT_EQ(app::hits_at_b(map, c.x, c.y), c.b) << c.x << "," << c.y;
  }
  f.scroll = 500;  // the target field (514..542) now at 14..42
  lay(f);
  EXPECT_EQ(app::hits_at_b(map, 430, 30), 0u);
  EXPECT_EQ(app::hits_at_b(map, 430, 41), bit_b(app::slot_target_field));
}

TEST_F(Map, RailKeepsItsFixedEntriesInPlace) {
  struct Case {
    bool probe, support, heat;
    i32 internet, support_y, sensors, settings;  // offsets from r; -1: empty
  };
  const Case cases[] = {
      {true, true, false, 64, 96, -1, 128},
      {false, true, false, -1, 96, -1, 128},  // probe off: Internet empty, the rest stays
      {true, true, true, 64, 96, 128, 160},
      {true, false, true, 64, -1, 96, 128},
      {false, false, false, -1, -1, -1, 96},
  };
  for (const Case& c : cases) {
    app::Facts f = facts(app::page_overview, 1280);
    f.probe = c.probe;
    f.support = c.support;
    f.heat = c.heat;
    lay(f);
    const i32 r = views::views_top(*v);
    SCOPED_TRACE(std::to_string(c.probe) + std::to_string(c.support) + std::to_string(c.heat));
    EXPECT_EQ(v->rail_fixed, 5u + c.heat - !c.support);
    auto top_or_empty = [&](u32 slot) { return app::slot_empty(map, slot) ? -1 : rect(slot).top - r; };
    EXPECT_EQ(rect(app::slot_processes).top - r, 0);
    EXPECT_EQ(rect(app::slot_machines).top - r, 32);
    EXPECT_EQ(top_or_empty(app::slot_internet), c.internet);
    EXPECT_EQ(top_or_empty(app::slot_support), c.support_y);
    EXPECT_EQ(top_or_empty(app::slot_sensors), c.sensors);
    EXPECT_EQ(top_or_empty(app::slot_settings), c.settings);
    EXPECT_EQ(enabled(app::slot_internet), c.probe);
    EXPECT_EQ(enabled(app::slot_sensors), c.heat);
    EXPECT_EQ(enabled(app::slot_support), c.support) << "a shown Support entry can be clicked";
    EXPECT_TRUE(enabled(app::slot_settings) && enabled(app::slot_machines) && enabled(app::slot_processes));
  }
}

TEST_F(Map, EnabledSlotsFollowThePageAndTheUpdateState) {
  struct Case {
    const char* name;
    u8 page;
    u8 status;
    u8 taskmgr;
    std::vector<u32> on, off, empty;
  };
  const Case cases[] = {
      {"settings, idle", app::page_settings, 0, 0, {40, 41, 58, 61, 63, 64, 65, 66, 69, 70, 72, 77}, {42, 62},
       {42, 62}},
      {"settings, a check runs", app::page_settings, 1, 2, {41, 61, 62}, {40, 42}, {42}},
      {"settings, restart due", app::page_settings, 3, 5, {40, 42, 63}, {61, 62}, {62}},
      {"processes", app::page_processes, 3, 0, {45, 53, 54}, {40, 42, 64, 65, 82}, {40, 42, 61, 65, 77}},
      {"machines", app::page_machines, 0, 0, {68, 82, 83, 90}, {96, 40, 45}, {96, 40}},
      {"overview", app::page_overview, 0, 0, {32, 30, 31, 33, 34}, {37, 45, 68}, {68, 82}},
  };
  for (const Case& c : cases) {
    app::Facts f = facts(c.page, 1280);
    f.update.status = c.status;
    f.taskmgr_state = c.taskmgr;
    f.overview = {244, 56, 1256, 700};
    for (u32 i = 0; i < 9; ++i) f.headers[i] = {244 + 100 * static_cast<i32>(i), 100, 340 + 100 * static_cast<i32>(i), 128};
    f.table = {244, 128, 1256, 700};
    f.machine_list = true;
    f.machines_bottom = 500;
    for (u32 i = 0; i < 8; ++i) {
      f.column_left[i] = static_cast<i16>(120 * i);
      f.column_right[i] = static_cast<i16>(120 * i + 110);
    }
    lay(f);
    for (u32 s : c.on) EXPECT_TRUE(enabled(s)) << c.name << " slot " << s;
    for (u32 s : c.off) EXPECT_FALSE(enabled(s)) << c.name << " slot " << s;
    for (u32 s : c.empty) EXPECT_TRUE(app::slot_empty(map, s)) << c.name << " slot " << s;
  }

  // The member table of a remote machine keeps only its first two headers.
  app::Facts f = facts(app::page_machines, 1280);
  f.machine_list = true;
  f.members_only = true;
  for (u32 i = 0; i < 8; ++i) f.column_right[i] = static_cast<i16>(120 * i + 110), f.column_left[i] = static_cast<i16>(120 * i);
  f.machine_selected = true;
  lay(f);
  EXPECT_EQ(str(rect(app::slot_machine_header0 + 1)), str({364, 124, 474, 152}));
  EXPECT_TRUE(app::slot_empty(map, app::slot_machine_header0 + 2));
  EXPECT_EQ(str(rect(app::slot_machine_button)), str({952, 56, 1024, 84}));
  EXPECT_TRUE(enabled(app::slot_machine_button));

  // The banner's buttons, wide and narrow, only while it offers a version.
  f = facts(app::page_view, 1280);
  f.update.status = 7;  // a version is available
  lay(f);
  ASSERT_TRUE(app::banner_kind(f.update));
  EXPECT_EQ(str(rect(55)), str({814, 8, 914, 32}));
  EXPECT_TRUE(enabled(55) && enabled(56) && enabled(57));
  f.banner_narrow = true;
  lay(f);
  EXPECT_EQ(str(rect(55)), str({918, 8, 990, 32}));
  EXPECT_EQ(str(rect(57)), str({1070, 8, 1126, 32}));
  f.update.dismissed = true;
  lay(f);
  EXPECT_TRUE(app::slot_empty(map, 55) && app::slot_empty(map, 57));
  EXPECT_FALSE(enabled(55));
}

TEST_F(Map, EdgesSaturateAndChangesAreNoticed) {
  app::set_hit(&map, 5, 40000, -40000, 70000, 12);
  EXPECT_EQ(str(rect(5)), str({32767, -32768, 32767, 12}));
  EXPECT_TRUE(app::slot_empty(map, 5));
  EXPECT_TRUE(map.changed);
  map.changed = 0;
  app::set_hit(&map, 5, 32767, -32768, 32767, 12);
  EXPECT_FALSE(map.changed) << "the same edges again change nothing";
  app::set_hit(&map, 98, 1, 2, 3, 4);
  EXPECT_FALSE(map.changed) << "no slot 98";

  const app::Facts f = facts(app::page_settings, 1280);
  lay(f);
  map.changed = 0;
  lay(f);
  EXPECT_FALSE(map.changed) << "the same layout twice";
  lay(facts(app::page_settings, 1060));
  EXPECT_TRUE(map.changed);
}

TEST_F(Map, DrawnBoxIsTheClickableBoxAtEveryDpi) {
  app::Facts f = facts(app::page_settings, 1059);
  f.scroll = 37;
  lay(f);
  u32 checked = 0;
  for (u32 dpi : {96u, 120u, 144u, 192u}) {
    for (u32 slot = 0; slot < app::slot_count; ++slot) {
      if (app::slot_empty(map, slot)) continue;
      const draw::Rect logical = rect(slot), px = draw::scale_rect(dpi, logical);
      if (logical.top < app::title_height) continue;  // the strip hides some; tested above
      const i32 mid_x = (px.left + px.right) / 2, mid_y = (px.top + px.bottom) / 2;
      // The first and last device pixels inside the drawn box hit the slot; the ones just outside do not.
      const std::vector<std::pair<i32, i32>> inside = {{px.left, mid_y}, {px.right - 1, mid_y}, {mid_x, px.top},
                                                       {mid_x, px.bottom - 1}};
      const std::vector<std::pair<i32, i32>> outside = {{px.left - 1, mid_y}, {px.right, mid_y}, {mid_x, px.top - 1},
                                                        {mid_x, px.bottom}};
      auto hits = [&](std::pair<i32, i32> p) {
        const i32 x = draw::to_logical(p.first, dpi), y = draw::to_logical(p.second, dpi);
        return slot < 64 ? (app::hits_at(map, x, y) >> slot & 1) : (app::hits_at_b(map, x, y) >> (slot - 64) & 1);
      };
      for (auto p : inside) EXPECT_TRUE(hits(p)) << "slot " << slot << " at " << dpi << " dpi";
      for (auto p : outside) EXPECT_FALSE(hits(p)) << "slot " << slot << " at " << dpi << " dpi";
      ++checked;
    }
  }
  EXPECT_GT(checked, 4u * 25) << "the rail, the captions and the Settings controls";
}

TEST(Frame, EdgesAndCursors) {
  struct Case {
    i32 x, y;
    bool maximized;
    u32 edges, cursor;
  };
  const i32 w = 1280, h = 800;
  const Case cases[] = {
      {2, 10, false, 5, 1},    {10, 2, false, 5, 1},     {10, 10, false, 0, 0},  {10, 300, false, 0, 0},
      {2, 300, false, 1, 3},   {1279, 400, false, 2, 3}, {600, 0, false, 4, 4},  {600, 796, false, 8, 4},
      {600, 795, false, 0, 0}, {15, 2, false, 5, 1},     {16, 2, false, 4, 4},   {1270, 3, false, 6, 2},
      {3, 790, false, 9, 2},   {1279, 799, false, 10, 1}, {1264, 797, false, 10, 1}, {1263, 797, false, 8, 4},
      {2, 10, true, 0, 0},     {1279, 799, true, 0, 0},
  };
  for (const Case& c : cases) {
    const u32 e = app::edge_at(c.x, c.y, w, h, c.maximized);
    EXPECT_EQ(e, c.edges) << c.x << "," << c.y;
    EXPECT_EQ(app::cursor_of(e), c.cursor) << c.x << "," << c.y;
  }
  EXPECT_EQ(app::cursor_id(1), win::cursor_size_nwse);
  EXPECT_EQ(app::cursor_id(4), win::cursor_size_ns);
  EXPECT_EQ(app::cursor_id(9), win::cursor_arrow);
  EXPECT_EQ(app::dpi_choice(144), 144u);
  EXPECT_EQ(app::dpi_choice(168), 96u);
  EXPECT_EQ(app::dpi_choice(0), 96u);
}

TEST(Frame, MinimumSizeAndInvalidationInDevicePixels) {
  testutil::TempDir dir;
  harness::EnvVar runtime("XDG_RUNTIME_DIR", dir.path);
  auto t = std::make_unique<win::Thread>();
  ASSERT_EQ(win::start(t.get(), win::start_headless), win::ok);
  ASSERT_EQ(win::register_class(t.get(), mem::lit("HitTest"), 0, 0, win::cursor_arrow, win::no_colour), win::ok);
  const win::Handle w = win::create_window(t.get(), mem::lit("HitTest"), 0, 0, 50, 60, 500, 300);
  ASSERT_NE(w, 0u);
  struct Case {
    u32 dpi;
    i32 width, height;  // client px before
    bool minimized, maximized;
    i32 want_width, want_height;
  };
  const Case cases[] = {
      {96, 500, 300, false, false, 640, 400},   {144, 900, 500, false, false, 960, 600},
      {144, 1000, 700, false, false, 1000, 700}, {192, 1280, 800, false, false, 1280, 800},
      {192, 1278, 900, false, false, 1280, 900}, {120, 700, 400, false, false, 800, 500},
      {96, 300, 200, true, false, 300, 200},    {96, 300, 200, false, true, 300, 200},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(win::set_window_pos(t.get(), w, 50, 60, c.width, c.height), 1u);
    const draw::Rect got = app::enforce_min_size(t.get(), w, {0, 0, c.width, c.height}, c.dpi, c.minimized, c.maximized);
    EXPECT_EQ(str(got), str({0, 0, c.want_width, c.want_height})) << c.dpi << " " << c.width;
    win::Rect outer{};
    win::window_rect(*t, w, &outer);
    EXPECT_EQ(outer.left, 50) << "never moved";
    EXPECT_EQ(outer.top, 60);
  }

  // Invalidating slots covers their scaled bounding box; an empty mask invalidates nothing.
  ASSERT_EQ(win::set_window_pos(t.get(), w, 0, 0, 1920, 1200), 1u);
  draw::Surface s{};
  s.dpi = 144;
  app::HitMap map{};
  app::set_hit(&map, 34, 1142, 0, 1188, 40);
  app::set_hit(&map, 36, 1234, 0, 1280, 40);
  win::Rect paint{};
  win::begin_paint(t.get(), w, &paint);
  app::invalidate_slots(t.get(), w, &s, map, 0);
  win::Region region{};
  EXPECT_EQ(win::update_region(*t, w, &region), 0u);
  app::invalidate_slots(t.get(), w, &s, map, bit_a(34) | bit_a(36));
  ASSERT_EQ(win::update_region(*t, w, &region), 1u);
  const win::Rect box = win::region_box(region);
  EXPECT_EQ(box.left, 1713);
  EXPECT_EQ(box.right, 1920);
  EXPECT_EQ(box.bottom, 60);
  win::begin_paint(t.get(), w, &paint);
  app::invalidate_below_title(t.get(), w, &s);
  ASSERT_EQ(win::update_region(*t, w, &region), 1u);
  EXPECT_EQ(win::region_box(region).top, 60);
  EXPECT_EQ(win::region_box(region).bottom, 1200);
  win::finish(t.get());
}

TEST(Rail, FocusWalksTheRailInOrder) {
  // Views 0, 1 and 3 (no view 2), the board item, Processes and Settings.
  const u64 available = bit_a(0) | bit_a(1) | bit_a(3) | bit_a(app::slot_board) | bit_a(app::slot_processes) |
                        bit_a(app::slot_settings);
  auto step = [&](u64 focus, bool down) {
    const u64 jump = app::rail_jump(focus, down);
    return jump ? jump : app::rail_next(focus, available, down);
  };
  const std::vector<u64> order = {bit_a(31), bit_a(0), bit_a(1), bit_a(3), bit_a(30), app::focus_machines, bit_a(33)};
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    EXPECT_EQ(step(order[i], true), order[i + 1]) << "down from " << i;
    EXPECT_EQ(step(order[i + 1], false), order[i]) << "up from " << i + 1;
  }
  EXPECT_EQ(step(bit_a(33), true), bit_a(33)) << "the last entry keeps the focus";
  EXPECT_EQ(step(bit_a(31), false), bit_a(31)) << "the first entry keeps the focus";
  EXPECT_EQ(app::rail_jump(bit_a(0), true), 0u);
  EXPECT_EQ(app::rail_next(0, available, true), 0u) << "no focus, no step";
}

TEST(Support, BlockGeometry) {
  app::SupportFacts b{};
  b.modules[0] = 25;  // box 4 x 33 = 132
  b.modules[1] = 33;  // box 4 x 41 = 164
  b.scale[0] = b.scale[1] = 1;
  b.shown = 7;
  b.note = true;
  EXPECT_EQ(app::support_qr_box(b, 2), 132) << "block 2 takes block 0's symbol";
  EXPECT_EQ(app::support_widest_qr(b), 164);
  EXPECT_FALSE(app::support_stacked(b, 816));
  EXPECT_TRUE(app::support_stacked(b, 815));
  // Side by side at 1280: heights 176, 32 + 164 + 16, 176.
  EXPECT_EQ(app::support_block_height(b, 1, 1280), 212);
  EXPECT_EQ(app::support_content_height(b, 1280, app::page_support), 176 + 212 + 176 + 192);
  EXPECT_EQ(app::support_content_height(b, 1280, app::page_settings), 0);
  EXPECT_EQ(app::support_block_top(b, 2, 1280), 168 + 176 + 212);
  EXPECT_EQ(app::support_text_x(b, 1280), 244 + 164 + 24);
  EXPECT_EQ(app::support_text_top(b, 1, 1280), 344);
  EXPECT_EQ(app::support_after_qr(b, 1, 1280), 344 + 164);
  // Stacked at 800: the QR above the text.
  EXPECT_EQ(app::support_block_height(b, 0, 800), 132 + 184);
  EXPECT_EQ(app::support_block_height(b, 1, 800), 164 + 32 + 184);
  EXPECT_EQ(app::support_text_top(b, 1, 800), 168 + 316 + 164 + 32 + 8);
  EXPECT_EQ(app::support_text_x(b, 800), 244);
  EXPECT_EQ(app::support_after_qr(b, 0, 800), 168 + 132 + 8);
  // Block 0 without a code while block 1 has one: stacked with no room for a box.
  b.scale[0] = 0;
  EXPECT_EQ(app::support_block_height(b, 0, 800), 176);
  EXPECT_EQ(app::support_text_top(b, 0, 800), 168);
  // No codes at all: never stacked; a hidden block takes no room.
  b.scale[1] = 0;
  b.shown = 5;
  EXPECT_FALSE(app::support_stacked(b, 640));
  EXPECT_EQ(app::support_blocks_height(b, 640), 2 * 176);
  EXPECT_EQ(app::support_block_top(b, 2, 640), 168 + 176);
  EXPECT_EQ(app::support_text_x(b, 640), 268);
}

TEST_F(Map, SupportCopyButtonsSitOnTheirBlocks) {
  app::Facts f = facts(app::page_support, 1280);
  f.blocks.modules[0] = 25;
  f.blocks.scale[0] = 1;
  f.blocks.shown = 5;  // blocks 0 and 2
  f.scroll = 10;
  lay(f);
  const i32 x = app::support_text_x(f.blocks, 1280);
  EXPECT_EQ(str(rect(app::slot_support_copy0)), str({x, 168 - 10 + 130, x + 96, 168 - 10 + 158}));
  EXPECT_TRUE(app::slot_empty(map, app::slot_support_copy0 + 1));
  const i32 top2 = app::support_text_top(f.blocks, 2, 1280) - 10 + 130;
  EXPECT_EQ(str(rect(app::slot_support_copy0 + 2)), str({x, top2, x + 96, top2 + 28}));
  EXPECT_TRUE(enabled(93) && !enabled(94) && enabled(95));
  lay(facts(app::page_settings, 1280));
  EXPECT_TRUE(app::slot_empty(map, 93));
  EXPECT_FALSE(enabled(93));
}

}  // namespace
