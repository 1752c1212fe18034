// The Processes page drawn into the own renderer's kept frame with the Lato font: what a tick, a selection, a hover,
// a scroll or a re-sort repaints, checked against a whole redraw of the same state; the geometry, the status line,
// the empty-list keys and the details box.
#include "pages/procpage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "drawing/chart.h"
#include "tests/drawing/surface.h"

namespace {

constexpr i32 width = 1280, height = 800;

mem::Bytes bytes_of(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

using Box = std::array<i32, 4>;

i32 chart_width(draw::Surface* s, const std::string& text) { return chart::measure(s, procpage::role_small, bytes_of(text)); }

// A window showing a page over a small table of n processes.
struct Page {
  surface::Window w;
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();
  std::unique_ptr<procpage::PageLayout> page = std::make_unique<procpage::PageLayout>();
  i32 w_px, h_px;

  // wide and high are logical px; the window has them at the DPI.
  explicit Page(u32 n, i32 wide = width, i32 high = height, u32 dpi = 96) : w_px(wide), h_px(high) {
    EXPECT_EQ(w.start(draw::to_px(wide, dpi), draw::to_px(high, dpi), dpi), 0u);
    model::table_init(table.get());
    proclist::init(list.get());
    procpage::init(page.get());
    for (u32 i = 0; i < n; ++i) add(100 + 4 * i, "proc" + std::to_string(i) + ".exe", i);
    proclist::rebuild(list.get(), table.get());
    procpage::layout(page.get(), wide, high);
  }
  ~Page() { procpage::close(page.get()); }

  u32 add(u32 pid, const std::string& name, u32 i) {
    const u64 h = model::proc_upsert(table.get(), pid, 1, 1000 + pid, bytes_of(name));
    const u32 row = model::proc_row(table.get(), h);
    table->cpu[row] = static_cast<u16>((i * 131) % 900);
    table->working_set[row] = 1000 + 77 * i;
    table->thread_count[row] = static_cast<u16>(i % 30 + 1);
    table->tcp[row] = static_cast<u16>(i % 3);
    return row;
  }
  u32 row_of_pid(u32 pid) const { return model::proc_find_row(table.get(), pid); }

  void rebuild() {
    proclist::rebuild(list.get(), table.get());
    procpage::clamp_scroll(page.get(), list.get());
  }
  // One paint as the window runs it after queuing: a change is counted so that a frame is drawn.
  void paint(u32 header_hover = 0) {
    if (w.s.redo_count || w.s.show_count) draw::changed(&w.s);
    w.paint([&] {
      draw::fill(&w.s, draw::Rect{0, 0, w_px, h_px}, procpage::colour_row);
      procpage::render(page.get(), list.get(), table.get(), &w.s, header_hover);
    });
  }
  void repaint() { procpage::repaint_rows(page.get(), list.get(), table.get(), &w.s); }
  void repaint_whole() {
    procpage::layout(page.get(), w_px, h_px);
    draw::invalidate(&w.s);
    paint();
  }
  std::vector<Box> shows() const { return list_of(w.s.shows, w.s.show_count); }
  std::vector<Box> redos() const { return list_of(w.s.redo, w.s.redo_count); }
  static std::vector<Box> list_of(const draw::List& l, u32 n) {
    std::vector<Box> out;
    for (u32 i = 0; i < n && i < draw::list_size; ++i) out.push_back(Box{l.left[i], l.top[i], l.right[i], l.bottom[i]});
    return out;
  }
  // The incremental result (repaint, then the paint of what it queued) equals a whole redraw of the same state.
  void expect_same_as_whole(const char* what) {
    paint();
    const std::vector<u32> part = w.kept();
    repaint_whole();
    const i64 at = surface::first_difference(part, w.kept());
    EXPECT_EQ(at, -1) << what << ": first differing pixel at x " << (at % w.width) << ", y " << (at / w.width);
  }
};

i32 row_y(u32 slot) { return procpage::rows_top + procpage::row_height * static_cast<i32>(slot); }

// Every rectangle lies inside one of the given row bands (table width, or narrower).
// Every box lies within the given rows; one box may span several of them (the lists join the same cells of
// neighbouring rows).
bool inside_rows(const std::vector<Box>& boxes, const std::vector<u32>& slots) {
  for (const Box& b : boxes) {
    for (i32 y = b[1]; y < b[3]; ++y) {
      bool found = false;
      for (u32 s : slots) found = found || (y >= row_y(s) && y < row_y(s) + procpage::row_height);
      if (!found) return false;
    }
  }
  return true;
}

TEST(ProcPage, LayoutGeometry) {
  struct Case {
    i32 height;
    u16 visible;
  } cases[] = {{168, 0}, {183, 0}, {184, 1}, {800, 39}, {2200, 127}, {2300, 128}, {4000, 128}, {-5, 0}};
  procpage::PageLayout page;
  procpage::init(&page);
  for (const Case& c : cases) {
    procpage::layout(&page, 1280, c.height);
    EXPECT_EQ(page.visible, c.visible) << c.height;
    EXPECT_EQ(page.drawn_top, procpage::none);
  }
  procpage::layout(&page, 1280, 800);
  EXPECT_EQ(page.left, 244);
  EXPECT_EQ(page.right, 1256);
  EXPECT_EQ(page.area, 1004);
  EXPECT_EQ(page.columns, proclist::all_columns);
  procpage::layout(&page, 100000, 800);  // sizes beyond 16 bits are clamped, never wrapped
  EXPECT_EQ(page.width, 32767);
  EXPECT_GT(page.right, page.left);

  proclist::ListState list{};
  proclist::init(&list);
  list.shown = 50;
  list.top = 10;
  EXPECT_EQ(procpage::row_at_y(&page, &list, 143), procpage::none);
  EXPECT_EQ(procpage::row_at_y(&page, &list, 144), 10u);
  EXPECT_EQ(procpage::row_at_y(&page, &list, 144 + 16 * 5 + 15), 15u);
  EXPECT_EQ(procpage::row_at_y(&page, &list, 144 + 16 * page.visible), procpage::none);
  list.shown = 12;  // past the last shown row
  EXPECT_EQ(procpage::row_at_y(&page, &list, 144 + 16 * 3), procpage::none);
  draw::Rect r{};
  EXPECT_TRUE(procpage::row_rect(&page, &list, 11, &r));
  EXPECT_EQ(r.top, 144 + 16);
  EXPECT_FALSE(procpage::row_rect(&page, &list, 9, &r));
  EXPECT_EQ(r.right - r.left, 0);
  procpage::header_rect(&page, 3, false, &r);
  EXPECT_EQ(r.right - r.left, 0);
  procpage::header_rect(&page, 3, true, &r);
  EXPECT_EQ(r.right - r.left, 96);
  EXPECT_EQ(r.top, 116);
  EXPECT_EQ(r.bottom, 144);
}

TEST(ProcPage, DetailsBoxPlacement) {
  procpage::PageLayout page;
  procpage::init(&page);
  procpage::layout(&page, 1280, 800);  // table rows 144 .. 768
  struct XCase {
    i32 pointer, x;
  } xs[] = {{300, 320}, {900, 912}, {1000, 672}, {250, 272}, {1240, 912}};
  for (const XCase& c : xs) EXPECT_EQ(procpage::box_x(&page, c.pointer), c.x) << c.pointer;
  procpage::layout(&page, 600, 800);  // a narrow table: never left of the table
  EXPECT_EQ(procpage::box_x(&page, 300), 244);
  procpage::layout(&page, 1280, 800);
  const i32 h = 94 + 18;
  struct YCase {
    i32 row_top, y;
  } ys[] = {{144, 176}, {400, 432}, {700, 576}, {752, 624}};
  for (const YCase& c : ys) EXPECT_EQ(procpage::box_y(&page, c.row_top, c.row_top + 16, h), c.y) << c.row_top;
  EXPECT_EQ(procpage::line_budget(800), 1u + 9u);
  EXPECT_EQ(procpage::line_budget(400), 1u + 3u);
  EXPECT_EQ(procpage::line_budget(200), 1u);
}

TEST(ProcPage, UnchangedTickQueuesNothing) {
  Page p(60);
  p.paint();
  p.repaint();
  EXPECT_TRUE(p.redos().empty());
  EXPECT_TRUE(p.shows().empty());
}

TEST(ProcPage, SelectionRepaintsTwoRows) {
  Page p(60);
  proclist::select_at(p.list.get(), p.table.get(), 3);
  p.paint();
  p.repaint();  // settles the drawn state
  proclist::select_at(p.list.get(), p.table.get(), 5);
  p.repaint();
  const std::vector<Box> shows = p.shows();
  EXPECT_FALSE(shows.empty());
  EXPECT_TRUE(inside_rows(shows, {3, 5}));
  EXPECT_TRUE(inside_rows(p.redos(), {3, 5}));
  p.expect_same_as_whole("selection");
}

TEST(ProcPage, HoverRepaintsRowsAndDrawsTheDetailsBox) {
  Page p(60);
  p.paint();
  EXPECT_EQ(procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 400, row_y(4) + 3, true), 1u);
  EXPECT_EQ(p.page->hovered, 4u);
  EXPECT_GT(p.page->box[2], p.page->box[0]);
  p.expect_same_as_whole("hover");
  // Moving within the same row changes nothing.
  EXPECT_EQ(procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 500, row_y(4) + 9, true), 0u);
  EXPECT_EQ(procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 400, row_y(20) + 1, true), 1u);
  p.expect_same_as_whole("hover moved");
  EXPECT_EQ(procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 0, 0, false), 1u);
  EXPECT_EQ(p.page->hovered, procpage::none);
  EXPECT_EQ(p.page->box[2], p.page->box[0]);
  p.expect_same_as_whole("hover left");
}

TEST(ProcPage, ScrollMovesRowsInPlace) {
  Page p(120);
  p.paint();
  p.repaint();
  EXPECT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 1), 1u);
  // The rows moved inside the kept frame: only the row that entered the view (and the scroll bar) is drawn.
  const u32 last = p.page->visible - 1;
  for (const Box& b : p.redos()) {
    const bool bar = b[0] >= p.page->right - 8;
    EXPECT_TRUE(bar || (b[1] >= row_y(last) && b[3] <= row_y(last) + 16)) << b[0] << "," << b[1];
  }
  p.expect_same_as_whole("scroll by one");
  EXPECT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, -1000), 1u);
  EXPECT_EQ(p.list->top, 0u);
  EXPECT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, -1), 0u);
  p.expect_same_as_whole("scroll to the top");
  EXPECT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 1000), 1u);
  EXPECT_EQ(p.list->top, 120u - p.page->visible);
  p.expect_same_as_whole("scroll to the end");
  // The scratch for moving rows is taken once and kept through resizes.
  const u32* scratch = p.page->scratch;
  const u64 used = p.page->scratch_arena.used;
  ASSERT_NE(scratch, nullptr);
  for (i32 wide : {1100, 1280}) {
    procpage::layout(p.page.get(), wide, height);
    p.paint();
    procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, -3);
    EXPECT_EQ(p.page->scratch, scratch);
    EXPECT_EQ(p.page->scratch_arena.used, used);
  }
}

// Rows that move in place under the details box carry pieces of it along: wherever they land, the frame is the
// one a whole redraw draws, at every DPI (in place where the rows are whole pixels high, queued elsewhere).
TEST(ProcPage, RowsMovedUnderTheDetailsBoxLeaveNoPiecesOfIt) {
  for (const u32 dpi : {96u, 100u, 120u, 144u, 192u}) {
    SCOPED_TRACE(dpi);
    Page p(120, width, height, dpi);
    p.paint();
    p.repaint();
    const struct {
      const char* what;
      i64 rows;  // scrolled by; 0: re-sorted instead
      u32 sort;
    } steps[] = {{"one down", 1, 0},  {"one up", -1, 0},   {"three down", 3, 0},
                 {"by memory", 0, proclist::col_memory}, {"back by name", 0, proclist::col_name},
                 {"two up", -2, 0}};
    for (const u32 hovered_slot : {4u, 20u}) {
      EXPECT_EQ(procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 400,
                                    row_y(hovered_slot) + 3, true),
                1u);
      p.expect_same_as_whole("hover");
      for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.rows != 0) {
          ASSERT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, step.rows), 1u);
        } else {
          proclist::sort_by(p.list.get(), step.sort);
          p.rebuild();
          p.repaint();
        }
        p.expect_same_as_whole(step.what);
      }
    }
  }
}

// Where rows are not whole pixels high (100 DPI) they cannot move in place: each slot then paints in place only the
// cells that differ from what it shows, here the names and PIDs of rows whose other figures are all alike.
TEST(ProcPage, RowsThatCannotMoveRepaintOnlyTheCellsThatDiffer) {
  const u32 dpi = 100;
  Page p(120, width, height, dpi);
  for (u32 row = 0; row < p.table->count; ++row) {
    p.table->cpu[row] = 0;
    p.table->working_set[row] = 5000;
    p.table->thread_count[row] = 4;
    p.table->tcp[row] = 1;
  }
  p.rebuild();
  p.paint();
  p.repaint();
  ASSERT_EQ(procpage::scroll(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 1), 1u);
  draw::Rect name{}, pid{};
  procpage::header_rect(p.page.get(), proclist::col_name, true, &name);
  procpage::header_rect(p.page.get(), proclist::col_pid, true, &pid);
  const i32 left = draw::to_px(std::min(name.left, pid.left), dpi), right = draw::to_px(std::max(name.right, pid.right), dpi);
  const i32 bar = draw::to_px(p.page->right - 8, dpi);
  EXPECT_FALSE(p.shows().empty());
  for (const Box& b : p.shows()) EXPECT_TRUE(b[0] >= bar || (b[0] >= left && b[2] <= right)) << b[0] << "," << b[2];
  for (const Box& b : p.redos()) EXPECT_GE(b[2], bar) << "only the scroll bar is drawn by a frame";
  p.expect_same_as_whole("scroll by one at 100 DPI");
}

TEST(ProcPage, NewTableAndResortRepaintOnlyWhatChanged) {
  Page p(60);
  p.paint();
  p.repaint();
  // One process's CPU changes without moving it in a sort by Name.
  proclist::sort_by(p.list.get(), proclist::col_name);
  p.rebuild();
  p.repaint_whole();
  const u32 row = p.row_of_pid(100 + 4 * 7);
  p.table->cpu[row] = static_cast<u16>(p.table->cpu[row] + 1);
  p.rebuild();
  p.repaint();
  u32 at = 0;
  while (p.list->rows[at] != row) ++at;
  EXPECT_TRUE(inside_rows(p.redos(), {at}));
  EXPECT_TRUE(inside_rows(p.shows(), {at}));
  p.expect_same_as_whole("one cell");
  // A re-sort moves rows and redraws the header.
  proclist::sort_by(p.list.get(), proclist::col_memory);
  p.rebuild();
  p.repaint();
  bool header = false;
  for (const Box& b : p.redos()) header = header || (b[1] <= 116 && b[3] >= 144 && b[0] <= p.page->left && b[2] >= p.page->right);
  EXPECT_TRUE(header);
  p.expect_same_as_whole("re-sort");
  // A process ends and another starts.
  model::remove_row(p.table.get(), p.row_of_pid(100));
  p.add(9999, "late.exe", 3);
  p.rebuild();
  p.repaint();
  p.expect_same_as_whole("churn");
}

// Typing a filter shortens the list in place: the slots it empties are blank rows, as a whole redraw leaves them,
// and clearing it brings every row back.
TEST(ProcPage, FilterRepaintsInPlaceLikeAWholeRedraw) {
  struct Case {
    const char* typed;  // appended to the filter; "" clears it
    u32 shown;
  } cases[] = {{"proc1", 11}, {"1", 1}, {"", 60}, {"proc5", 11}, {"qqzz", 0}, {"", 60}};
  Page p(60);
  p.paint();
  p.repaint();
  for (const Case& c : cases) {
    if (*c.typed == 0) proclist::cleared(p.list.get());
    for (const char* t = c.typed; *t; ++t) proclist::typed(p.list.get(), static_cast<u8>(*t));
    // The window queues the filter box itself; the page repaints the rows and the status line.
    draw::redo(&p.w.s, procpage::filter_rect(p.page.get()));
    draw::show(&p.w.s, procpage::filter_rect(p.page.get()));
    p.rebuild();
    EXPECT_EQ(p.list->shown, c.shown) << c.typed;
    p.repaint();
    p.expect_same_as_whole(*c.typed ? c.typed : "cleared");
  }
}

TEST(ProcPage, EmptyListsAndLoadingDots) {
  Page p(0);
  p.paint();
  EXPECT_EQ(procpage::empty_key(p.list.get(), 0) >> 48, 0x5642u);
  EXPECT_EQ(procpage::empty_key(p.list.get(), 0) & 0xFFFF, 2u);
  EXPECT_EQ(procpage::empty_key(p.list.get(), 2) & 0xFFFF, 1u);
  p.list->waiting = 1;
  std::vector<u64> keys;
  for (u32 spin = 0; spin < 12; ++spin) {
    p.list->spin = static_cast<u8>(spin);
    keys.push_back(procpage::empty_key(p.list.get(), 1));
  }
  // The key moves with the lit dot (every fourth phase).
  EXPECT_EQ(keys[0], keys[3]);
  EXPECT_NE(keys[3], keys[4]);
  EXPECT_NE(keys[4], keys[8]);
  p.list->spin = 0;
  p.repaint();
  p.paint();
  p.list->spin = 4;
  p.repaint();
  EXPECT_FALSE(p.redos().empty());
  EXPECT_TRUE(inside_rows(p.redos(), {0, 1}));
  p.expect_same_as_whole("loading dots");
  words::Text status{};
  procpage::status_line(p.list.get(), p.table.get(), &p.w.s, 480, &status);
  EXPECT_EQ(str(status), "");  // nothing while an emptied table waits
}

TEST(ProcPage, StatusLinePieces) {
  Page p(30);
  p.table->threads = 412;
  struct Case {
    u8 measuring;
    std::string filter;
    i32 room;
    std::string want;
  } cases[] = {
      {0, "", 480, "30 processes  -  412 threads  -  CPU "},
      {1, "", 480, "30 processes  -  412 threads  -  CPU measuring..."},
      {2, "", 480, "30 processes  -  412 threads  -  CPU -"},
      {2, "proc1", 480, "30 processes  -  412 threads  -  CPU -  -  11 shown"},
      {2, "", 0, ""},
  };
  for (const Case& c : cases) {
    p.list->measuring = c.measuring;
    proclist::cleared(p.list.get());
    for (char ch : c.filter) proclist::typed(p.list.get(), static_cast<u8>(ch));
    p.rebuild();
    words::Text status{};
    procpage::status_line(p.list.get(), p.table.get(), &p.w.s, c.room, &status);
    EXPECT_EQ(str(status).substr(0, c.want.size()), c.want) << int{c.measuring} << " " << c.filter;
  }
  // A line too narrow for the threads piece still takes the CPU piece when it fits.
  p.list->measuring = 2;
  proclist::cleared(p.list.get());
  p.rebuild();
  const i32 two = chart_width(&p.w.s, "30 processes  -  CPU -");
  words::Text status{};
  procpage::status_line(p.list.get(), p.table.get(), &p.w.s, two, &status);
  EXPECT_EQ(str(status), "30 processes  -  CPU -");
}

TEST(ProcPage, MeasuringCellsAndLongNames) {
  Page p(3);
  const u32 row = p.add(7000, std::string(247, 'n') + "END", 1);
  p.rebuild();
  words::Text text{};
  u32 tint = 0;
  struct Case {
    u8 measuring;
    u32 column;
    std::string want;
  } cases[] = {{1, proclist::col_cpu, ""}, {2, proclist::col_cpu, "-"}, {2, proclist::col_gpu, "-"},
               {2, proclist::col_memory, "4.2 MB"}, {0, proclist::col_threads, "2"}};
  for (const Case& c : cases) {
    p.list->measuring = c.measuring;
    procpage::cell(p.list.get(), p.table.get(), row, c.column, procpage::colour_row, &text, &tint);
    EXPECT_EQ(str(text), c.want) << int{c.measuring} << " " << c.column;
    if (c.measuring && proclist::rate_column(c.column)) {
      EXPECT_EQ(tint, 0u);
    }
  }
  // The key changes with the background, so a selection or hover repaints the row.
  p.list->measuring = 0;
  const u64 a = procpage::cell(p.list.get(), p.table.get(), row, 3, procpage::colour_row, &text, &tint);
  const u64 b = procpage::cell(p.list.get(), p.table.get(), row, 3, procpage::colour_row_hover, &text, &tint);
  EXPECT_NE(a, b);

  // A 250-byte name in a short window: first lines, then "..." and the name's end.
  procpage::layout(p.page.get(), width, 400);
  u32 at = 0;
  while (p.list->rows[at] != row) ++at;
  procpage::hover_row(p.page.get(), p.list.get(), p.table.get(), &p.w.s, 400, row_y(at - p.list->top) + 1, true);
  p.paint();
  const procpage::PageLayout& pg = *p.page;
  ASSERT_EQ(pg.name_lines, procpage::line_budget(400));
  const std::string wrapped(reinterpret_cast<const char*>(pg.wrapped), pg.wrapped_length);
  const u32 last_start = pg.line_ends[pg.name_lines - 2];
  EXPECT_EQ(wrapped.substr(last_start, 3), "...");
  EXPECT_EQ(wrapped.substr(wrapped.size() - 3), "END");
  EXPECT_EQ(wrapped.substr(0, 4), "nnnn");
  EXPECT_EQ(pg.box[3] - pg.box[1], 94 + 18 * pg.name_lines);
}

}  // namespace
