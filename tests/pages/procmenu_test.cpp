// The context menu's flow over the demo process table, as the test mode runs it (the driver's preset item and
// answer, outcomes counted): greyed items and their reasons, the confirmation, a process that changed or whose id
// was reused while the menu was open, the Delete key, and demo data outside the test mode.
#include "pages/procmenu.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sampling/demo.h"

namespace {

constexpr u32 tables_ok = procmenu::flag_confirm_ok;

struct Flow {
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();
  std::unique_ptr<procpage::PageLayout> page = std::make_unique<procpage::PageLayout>();
  std::unique_ptr<procmenu::Menu> menu = std::make_unique<procmenu::Menu>();
  demo::State world{};
  procmenu::Context c{};

  explicit Flow(u32 tables = 1, bool test = true) {
    model::table_init(table.get());
    proclist::init(list.get());
    proclist::sort_by(list.get(), proclist::col_pid);
    procpage::init(page.get());
    procpage::layout(page.get(), 1280, 800);
    procmenu::init(menu.get());
    world.seed = demo::seed;
    for (u32 i = 0; i < tables; ++i) take(this);
    c.list = list.get();
    c.table = table.get();
    c.page = page.get();
    c.test = test;
    c.demo = true;
    c.act = false;
    c.own_pid = 99999;
    c.demo_calls = &world.calls;
    c.retake = take;
    c.owner = this;
  }
  static void take(void* owner) {
    Flow* f = static_cast<Flow*>(owner);
    demo::take_procs(&f->world, f->table.get());
    proclist::rebuild(f->list.get(), f->table.get());
  }
  bool select(u32 pid) {
    for (u32 p = 0; p < list->shown; ++p)
      if (table->pid[list->rows[p]] == pid) return proclist::select_at(list.get(), table.get(), p) == p;
    return false;
  }
  // The menu opened on the selected row with the preset item and flag: the packed outcome.
  u32 menu_on(u32 pid, u32 item, u32 flag) {
    EXPECT_TRUE(select(pid)) << pid;
    menu->test_choice = static_cast<i32>(item);
    menu->test_flag = flag;
    const u32 before = menu->outcomes;
    procmenu::open_at(menu.get(), c, 300, 300);
    EXPECT_EQ(menu->outcomes, before + 1);
    EXPECT_EQ(menu->shown, procmenu::shown_none) << "the test mode shows no menu or box";
    EXPECT_EQ(menu->running, 0);
    return menu->packed;
  }
  u32 delete_on(u32 pid) {
    EXPECT_TRUE(select(pid)) << pid;
    const u32 before = menu->outcomes;
    EXPECT_TRUE(procmenu::key_command(menu.get(), c, true));
    EXPECT_EQ(menu->outcomes, before + 1);
    return menu->packed;
  }
};

u32 item_of(u32 packed) { return packed & 0xF; }
u32 why_end_of(u32 packed) { return (packed >> 4) & 0xF; }
u32 result_of(u32 packed) { return (packed >> 8) & 0xF; }
u32 why_path_of(u32 packed) { return (packed >> 12) & 0xF; }
u32 mask_of(u32 packed) { return (packed >> 16) & 0xFF; }
u32 warning_of(u32 packed) { return packed >> 24; }

TEST(ProcMenu, TestModeOutcomesOverTheDemoTable) {
  struct Case {
    const char* what;
    u32 row;  // demo row
    u32 item, flag;
    u32 result, why_end, why_path, mask;
  } cases[] = {
      {"ordinary, ended after OK", 20, 3, tables_ok, 1, 0, 0, 7},
      {"ordinary, Cancel", 20, 3, 0, 2, 0, 0, 7},
      {"ordinary, copy path", 20, 2, 0, 1, 0, 0, 7},
      {"nothing chosen", 20, 0, 0, 0, 0, 0, 7},
      {"this program refuses End", 25, 3, tables_ok, 7, 2, 0, 3},
      {"this program offers its path", 25, 1, 0, 1, 2, 0, 3},
      {"exiting", 35, 3, tables_ok, 7, 5, 0, 3},
      {"end refused, elevated", 33, 3, tables_ok, 7, 9, 0, 3},
      {"end refused, not elevated", 36, 3, tables_ok, 7, 8, 0, 3},
      {"path too long", 34, 2, 0, 7, 0, 10, 4},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Flow f;
    const u32 packed = f.menu_on(demo::pid_of(k.row), k.item, k.flag);
    EXPECT_EQ(item_of(packed), k.item);
    EXPECT_EQ(result_of(packed), k.result);
    EXPECT_EQ(why_end_of(packed), k.why_end);
    EXPECT_EQ(why_path_of(packed), k.why_path);
    EXPECT_EQ(mask_of(packed), k.mask);
    EXPECT_EQ(f.menu->last_pid, demo::pid_of(k.row));
  }
}

TEST(ProcMenu, CriticalProcessesWarnBeforeTheyEnd) {
  Flow f;
  // Row 7 is a critical process the demo lets this program open: End asks with the warning.
  u32 packed = f.menu_on(demo::pid_of(7), 3, tables_ok);
  if (result_of(packed) == 1) {
    EXPECT_EQ(warning_of(packed), 1u);
  } else {
    EXPECT_EQ(result_of(packed), 7u) << "greyed with its reason";
    EXPECT_NE(why_end_of(packed), 0u);
  }
  packed = f.menu_on(demo::pid_of(20), 3, tables_ok);
  EXPECT_EQ(warning_of(packed), 0u);
}

TEST(ProcMenu, TheTableChangesWhileTheMenuIsOpen) {
  // Row 40 leaves the demo table at its third fill: taken twice while the menu is open, the selected process is
  // gone when the item is chosen.
  Flow gone(1);
  u32 packed = gone.menu_on(demo::pid_of(40), 3, tables_ok | 2);
  EXPECT_EQ(result_of(packed), 10u);
  // Rows 42 and 43 share a pid with another start: the demo world has moved on to the new process, so the listed
  // one counts as ended and its id as reused.
  Flow reused(3);
  packed = reused.menu_on(demo::pid_of(42), 3, tables_ok);
  EXPECT_EQ(result_of(packed), 7u);
  EXPECT_EQ(why_end_of(packed), 4u);
  EXPECT_EQ(reused.menu->last_start, 42u * 7 + 10);
  EXPECT_EQ(result_of(reused.delete_on(demo::pid_of(42))), 3u);
  // After the next table the same pid is the new process, which can be ended.
  Flow::take(&reused);
  packed = reused.menu_on(demo::pid_of(43), 3, tables_ok);
  EXPECT_EQ(result_of(packed), 1u);
  EXPECT_EQ(reused.menu->last_start, 5000u);
}

TEST(ProcMenu, DeleteKey) {
  Flow f;
  EXPECT_EQ(result_of(f.delete_on(demo::pid_of(25))), 9u);
  EXPECT_EQ(result_of(f.delete_on(demo::pid_of(35))), 15u);
  f.menu->test_flag = tables_ok;
  EXPECT_EQ(result_of(f.delete_on(demo::pid_of(20))), 1u) << "after the confirmation";
  f.menu->test_flag = 0;
  EXPECT_EQ(result_of(f.delete_on(demo::pid_of(20))), 2u);
  // While the filter holds text Delete belongs to nobody.
  proclist::typed(f.list.get(), 'e');
  proclist::rebuild(f.list.get(), f.table.get());
  const u32 before = f.menu->outcomes;
  EXPECT_FALSE(procmenu::key_command(f.menu.get(), f.c, true));
  EXPECT_EQ(f.menu->outcomes, before);
}

// Outside the test mode a box opens: the menu with greyed items, the confirmation, the result sentence.
TEST(ProcMenu, BoxesOutsideTheTestMode) {
  Flow f(1, false);
  ASSERT_TRUE(f.select(demo::pid_of(20)));
  procmenu::open_at(f.menu.get(), f.c, 400, 300);
  ASSERT_EQ(f.menu->shown, procmenu::shown_menu);
  EXPECT_EQ(proclist::facts_mask(f.menu->facts), 0u) << "demo data: every item greyed";
  EXPECT_EQ(proclist::why_of(3, f.menu->facts), 3u);
  // A greyed item does nothing; the menu stays until a press elsewhere or Escape.
  const draw::Rect end = procmenu::item_rect(*f.menu, 3);
  EXPECT_TRUE(procmenu::pointer_down(f.menu.get(), f.c, end.left + 5, end.top + 5));
  EXPECT_EQ(f.menu->shown, procmenu::shown_menu);
  procmenu::open_at(f.menu.get(), f.c, 10, 10);  // the re-entry guard
  EXPECT_EQ(f.menu->x, 400);
  EXPECT_TRUE(procmenu::key(f.menu.get(), f.c, 0x1B));
  EXPECT_EQ(f.menu->shown, procmenu::shown_none);
  EXPECT_EQ(f.menu->running, 0);
  // Near the window's right and bottom edges the menu opens to the left of and above the point.
  procmenu::open_at(f.menu.get(), f.c, 1200, 780);
  const draw::Rect r = procmenu::shown_rect(*f.menu, f.page.get());
  EXPECT_EQ(r.right, 1200);
  EXPECT_EQ(r.bottom, 780);
  EXPECT_TRUE(procmenu::pointer_down(f.menu.get(), f.c, 10, 10)) << "a press elsewhere dismisses it";
  EXPECT_EQ(f.menu->shown, procmenu::shown_none);

  // Delete on demo data: the demo sentence at once, in its box, closed by Enter.
  EXPECT_TRUE(procmenu::key_command(f.menu.get(), f.c, true));
  ASSERT_EQ(f.menu->shown, procmenu::shown_result);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.menu->text), f.menu->text_length),
            "These are demo processes: there is no real process to act on.");
  EXPECT_TRUE(procmenu::key_command(f.menu.get(), f.c, true)) << "ignored while the box is open";
  EXPECT_TRUE(procmenu::key(f.menu.get(), f.c, 0x0D));
  EXPECT_EQ(f.menu->shown, procmenu::shown_none);
  EXPECT_EQ(f.menu->outcomes, 0u) << "outcomes are counted only for the driver";
}

}  // namespace
