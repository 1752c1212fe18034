// The Machines page without a window: its link, status line, demo machines, clicks, keys, confirmations, the
// remote copy it opens and feeds, and the row arithmetic at the height thresholds.
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cluster/publish.h"
#include "pages/machines.h"
#include "tests/support/testutil.h"

namespace {

using machines::Env;

std::string text(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }
mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

struct PageRig {
  testutil::TempDir dir;
  std::string key_file = dir.path + "/cluster.key";
  std::string list_file = dir.path + "/machines.txt";
  std::unique_ptr<machines::Page> page = std::make_unique<machines::Page>();
  std::unique_ptr<machine::Machine> own = std::make_unique<machine::Machine>();
  std::unique_ptr<model::ProcTable> procs = std::make_unique<model::ProcTable>();
  cluster::PublishSettings settings;
  Env e{};

  PageRig() {
    machines::page_init(page.get());
    machine::init(own.get());
    own->memory_total = 16384;
    own->cpus = 4;
    ring::Row row = {};
    row.load = 4321;
    machine::push(own.get(), &row);
    model::table_init(procs.get());
    model::proc_add(procs.get(), 77, 1, 5, mem::lit("worker"));
    cluster::publish_reset(&settings);
    e.page = page.get();
    e.own = own.get();
    e.own_procs = procs.get();
    e.settings = &settings;
    e.key_path = bytes(key_file);
    e.machines_path = bytes(list_file);
    e.width = 1280;
    e.height = 800;
    e.shown_page = app::page_machines;
    e.test = true;
  }
  ~PageRig() { machines::close_link(&e); }

  void good_key(mode_t mode = 0600) {
    testutil::write_file(key_file, "vimbrel-key 1 " + std::string(64, 'a') + "\n");
    chmod(key_file.c_str(), mode);
  }
  std::string status() {
    words::Text t{};
    machines::status_text(&e, &t);
    machines::host_line(page.get(), &t);
    return text(t);
  }
  const proto::MachineList& list() { return page->link->link.list; }
  std::string member(u32 m) {
    mem::Bytes n = machines::member_name(&list(), m);
    return std::string(reinterpret_cast<const char*>(n.ptr), n.len);
  }
  // y of table row r.
  static i32 row_y(u32 r) { return machines::rows_top + machines::row_height * static_cast<i32>(r) + 5; }
  u32 click_table(u32 row, i32 x = 400) { return machines::click(&e, u64{1} << (app::slot_machine_table - 64), x, row_y(row)); }
};

TEST(MachinesPage, StatusLineNamesWhatStandsInTheWay) {
  PageRig rig;
  EXPECT_EQ(rig.status(), "Not enough memory to view the machines.");
  machines::open(&rig.e);
  ASSERT_NE(rig.page->link, nullptr);
  EXPECT_EQ(rig.status(), "Waiting for a cluster key: import it under Settings, Cluster.");
  machines::close_link(&rig.e);

  rig.good_key(0644);  // readable by others: refused
  machines::open(&rig.e);
  EXPECT_EQ(rig.status(), "The cluster key file is refused: import a key under Settings, Cluster.");
  machines::close_link(&rig.e);

  rig.good_key();
  machines::open(&rig.e);
  EXPECT_EQ(rig.status(), "No server or share: set one under Settings, Cluster.");
  ASSERT_TRUE(cluster::set_target(&rig.settings, mem::lit("127.0.0.1:9")));
  EXPECT_EQ(rig.status(), "Not connected under --test.");
  rig.e.dial = true;
  EXPECT_EQ(rig.status(), "Not connected: " + std::string(reinterpret_cast<const char*>(
                                                   cluster::link_status_text(cluster::status_waiting).ptr),
                                               cluster::link_status_text(cluster::status_waiting).len));
  rig.page->link->child_failed = 1;
  EXPECT_EQ(rig.status(), "The lease reader could not start, so the share is not read.");
  rig.page->link->child_failed = 0;
  rig.page->link->link.state = publish::open;
  rig.page->link->link.term = 3;
  EXPECT_EQ(rig.status(), "Connected to the host, term 3. No machine has published yet.");
  // A host holding 64 machines, none offline, refuses the next one; one offline row would give way to it.
  proto::MachineList* full = &rig.page->link->link.list;
  full->count = machines::members_max;
  for (u32 m = 0; m < machines::members_max; ++m) full->summaries[m].state = m % 2 ? machines::state_stale : 0;
  EXPECT_EQ(rig.status(), "Connected to the host, term 3. The host is full: a new machine is refused until one of "
                          "these is offline.");
  full->summaries[40].state = machines::state_offline;
  EXPECT_EQ(rig.status(), "Connected to the host, term 3.");
  full->count = machines::members_max - 1;
  full->summaries[40].state = 0;
  EXPECT_EQ(rig.status(), "Connected to the host, term 3.");
  full->count = 0;

  machines::demo_list(&rig.e, 3, false, 2);
  EXPECT_EQ(rig.status(), "Demo machines under --test. Current host: build-01.");
  EXPECT_EQ(machines::test_message(&rig.e, 0x2) & machines::act_relayout, machines::act_relayout);
  EXPECT_EQ(rig.status(), "Demo machines under --test.") << "no host";
}

TEST(MachinesPage, DemoMachinesOpenIntoTheRemoteCopyAndAreFed) {
  PageRig rig;
  rig.settings.id_present = 1;
  memset(rig.settings.id, 0x5A, 16);
  machines::open(&rig.e);
  machines::test_message(&rig.e, 6 | (3 << 12));
  const proto::MachineList& l = rig.list();
  ASSERT_EQ(l.count, 6u);
  EXPECT_EQ(l.ids[0][0], 0x5A) << "member 0 is this computer";
  EXPECT_EQ(l.ids[4][3], 0xA4);
  EXPECT_EQ(l.host_mask, 4u);
  EXPECT_EQ(l.summaries[3].cpu, (2311 * 3 + 700) % 10000);
  EXPECT_EQ(l.summaries[1].video_total, 0u) << "odd members have no video memory without --integrated";
  EXPECT_EQ(rig.page->link->link.peers.address_kinds[2], 0);

  // Windows: this-pc, render-02; Linux: build-01, nas; Android: laptop; iOS: media.
  EXPECT_EQ(machines::visible_count(&rig.page->list), 10u);
  // Rows: Windows, render-02, this-pc, Linux, build-01, nas, ...
  u32 acts = rig.click_table(5);
  EXPECT_EQ(acts & machines::act_open_view, machines::act_open_view);
  ASSERT_TRUE(rig.page->remote_shown);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rig.page->copy->name), rig.page->copy->name_length), "nas");
  const machine::Machine* shown = machines::shown_machine(rig.page.get(), rig.own.get());
  EXPECT_EQ(shown, &rig.page->copy->remote.machine);
  EXPECT_EQ(shown->memory_total, 16384u) << "this computer's inventory stands in under --test";
  EXPECT_EQ(shown->cpus, 4);
  EXPECT_EQ(rig.page->link->link.watching, 1);

  // Each tick copies this computer's newest row, every second tick its processes, which reach the copy's table.
  machines::feed_remote(&rig.e);
  acts = machines::feed_remote(&rig.e);
  EXPECT_EQ(acts & machines::act_refresh, machines::act_refresh);
  ring::Row newest;
  ASSERT_TRUE(ring::at(&shown->ring, 0, &newest));
  EXPECT_EQ(newest.load, 4321);
  const model::ProcTable* table = machines::shown_table(rig.page.get(), rig.procs.get());
  EXPECT_NE(model::proc_find_row(table, 77), model::no_row);

  // Opening the page again shows this computer again.
  acts = machines::open(&rig.e);
  EXPECT_EQ(acts & machines::act_reset_views, machines::act_reset_views);
  EXPECT_EQ(machines::shown_machine(rig.page.get(), rig.own.get()), rig.own.get());
  EXPECT_EQ(rig.page->copy, nullptr);

  // Not fed: the copy stays empty until released.
  machines::test_message(&rig.e, 6 | 0x100);
  rig.click_table(1);
  ASSERT_TRUE(rig.page->remote_shown);
  EXPECT_EQ(rig.page->copy->remote.machine.memory_total, 0u);
  EXPECT_EQ(machines::feed_remote(&rig.e), 0u);
  machines::test_message(&rig.e, 0x200);
  EXPECT_EQ(rig.page->copy->remote.machine.memory_total, 16384u);
}

TEST(MachinesPage, HeadersAndGroupsAreSavedAndForgetTakesTwoClicks) {
  PageRig rig;
  machines::open(&rig.e);
  machines::demo_list(&rig.e, 6, false, 4);  // laptop (member 3) is the host
  const u64 header_name = u64{1} << (app::slot_machine_header0 - 64 + machines::col_name);
  u32 acts = machines::click(&rig.e, header_name, 400, 130);
  EXPECT_EQ(acts & machines::act_save, machines::act_save);
  ASSERT_TRUE(machines::save_list(&rig.e));
  EXPECT_EQ(testutil::read_file(rig.list_file),
            "vimbrel-machines 1\nsort_column 1\nsort_descending 1\ncollapsed 00\nfilter \n");
  acts = rig.click_table(0);  // the Windows header
  EXPECT_EQ(acts & machines::act_save, machines::act_save);
  EXPECT_TRUE(machines::is_collapsed(&rig.page->list, 0));
  EXPECT_EQ(machines::group_count(&rig.page->list, 0), 2u);

  // nas (member 2, offline) selected with the keys: the Forget button arms, any other click disarms, two clicks
  // forget it and the host mark moves down with the rows.
  machines::ListState* s = &rig.page->list;
  bool used = false;
  while (rig.member(machines::row_of(s, s->selected)) != "nas") {
    machines::key(&rig.e, 0x28, &used);
    ASSERT_TRUE(used);
  }
  EXPECT_TRUE(machines::forget_enabled(rig.page.get()));
  const u64 forget = u64{1} << (app::slot_machine_button - 64);
  machines::click(&rig.e, forget, 0, 0);
  EXPECT_EQ(s->flags & machines::flag_forget_armed, machines::flag_forget_armed);
  words::Text t{};
  machines::forget_text(rig.page.get(), &t);
  EXPECT_EQ(text(t), "Forget nas? It leaves the list and its history is kept. Confirm, or Escape.");
  machines::key(&rig.e, 0x1B, &used);
  EXPECT_EQ(s->flags & machines::flag_forget_armed, 0);
  machines::click(&rig.e, forget, 0, 0);
  machines::click(&rig.e, forget, 0, 0);
  EXPECT_EQ(rig.list().count, 5u);
  for (u32 m = 0; m < 5; ++m) EXPECT_NE(rig.member(m), "nas");
  EXPECT_EQ(rig.list().host_mask, 4u) << "laptop's bit moved down with it";
  EXPECT_EQ(rig.page->link->link.peers.count, 5u);

  // An online machine offers no Forget.
  machines::select_member(s, &rig.list(), 0);
  EXPECT_FALSE(machines::forget_enabled(rig.page.get()));
}

TEST(MachinesPage, UpdatesViewConfirmsBeforeItOrders) {
  PageRig rig;
  machines::open(&rig.e);
  machines::demo_list(&rig.e, 9, false, 0);
  machines::test_rows(&rig.e, 0);
  EXPECT_EQ(rig.page->host_version, (u64{1} << 16) | 80);
  const proto::Updates& u = rig.page->link->link.updates;
  ASSERT_EQ(u.count, 9u);
  EXPECT_TRUE(machines::table_shown(rig.page.get()));
  const u64 table = u64{1} << (app::slot_machine_table - 64);
  i32 footer = machines::table_height(rig.page.get(), rig.e.height) + 5;
  machines::click(&rig.e, table, 300, footer);
  EXPECT_TRUE(rig.page->updates_view);
  EXPECT_TRUE(machines::members_only(rig.page.get()));

  // build-01 (member 1: 0.1.78, online) can be updated; the first click arms, the second orders it.
  u32 row = 0;
  while (machines::row_kind(&rig.page->list, row) == machines::none ||
         machines::row_kind(&rig.page->list, row) >= machines::header_row ||
         machines::row_of(&rig.page->list, machines::row_kind(&rig.page->list, row)) != 1) {
    ASSERT_LT(++row, 20u);
  }
  i32 x = rig.e.width - 100;
  rig.click_table(row, x);
  EXPECT_EQ(rig.page->confirm, machines::confirm_one);
  EXPECT_EQ(u.phases[1], 0);
  rig.click_table(row, x);
  EXPECT_EQ(rig.page->confirm, machines::confirm_none);
  EXPECT_EQ(u.phases[1], 1) << "under --test the rows asked for show it";

  // Update all (PC0002 twice are left): two clicks on the footer's right button; Escape disarms in between.
  machines::click(&rig.e, table, rig.e.width - 100, footer);
  EXPECT_EQ(rig.page->confirm, machines::confirm_all);
  bool used = false;
  machines::key(&rig.e, 0x1B, &used);
  EXPECT_EQ(rig.page->confirm, machines::confirm_none);
  machines::click(&rig.e, table, rig.e.width - 100, footer);
  machines::click(&rig.e, table, rig.e.width - 100, footer);
  for (u32 i = 0; i < u.count; ++i) {
    bool older = i != 0 && i != 5;
    bool ruled_out = u.details[i] != 0;
    if (older && !ruled_out && rig.list().summaries[i].state != 2) {
      EXPECT_EQ(u.phases[i], 1) << i;
    }
  }
  machines::test_rows(&rig.e, 7);
  EXPECT_EQ(u.phases[1], 7);
  EXPECT_EQ(u.details[1], 25);
}

TEST(MachinesPage, RowsFitTheHeightAndNeverRunOverTheFooter) {
  PageRig rig;
  EXPECT_EQ(machines::visible_rows(rig.page.get(), 800), 0u) << "no link";
  machines::open(&rig.e);
  machines::demo_list(&rig.e, 9, false, 0);
  u32 count = machines::visible_count(&rig.page->list);
  struct Case {
    i32 height;
    bool footer;
    u32 rows;
  } cases[] = {{100, false, 0}, {176, false, 0}, {203, false, 0}, {204, false, 1}, {176, true, 0},
               {203, true, 0},  {204, true, 0},  {231, true, 0},  {232, true, 1},  {2000, true, count}};
  for (const Case& k : cases) {
    rig.page->link->link.updates.count = k.footer ? 1 : 0;
    EXPECT_EQ(machines::visible_rows(rig.page.get(), k.height), k.rows) << k.height << " " << k.footer;
    EXPECT_EQ(machines::table_height(rig.page.get(), k.height),
              machines::rows_top + machines::row_height * static_cast<i32>(k.rows > 1 ? k.rows : 1));
  }
  // Address only in the wide layout.
  EXPECT_FALSE(machines::wide(1269));
  EXPECT_TRUE(machines::wide(1270));
  EXPECT_EQ(machines::column_left(machines::col_address, 1270), 284);
  EXPECT_EQ(machines::column_left(machines::col_cpu, 1269), 324);
  EXPECT_EQ(machines::column_right(machines::col_network, 1269), 1269 - 24 - 244);
  app::Facts f{};
  machines::lay_facts(rig.page.get(), 1269, 800, &f);
  EXPECT_EQ(f.column_left[machines::col_address], f.column_right[machines::col_address]);
  EXPECT_TRUE(f.machine_list);
}

TEST(MachinesPage, FilterTypedEscapeAndEnter) {
  PageRig rig;
  machines::open(&rig.e);
  machines::demo_list(&rig.e, 9, false, 0);
  const u64 filter = u64{1} << (app::slot_filter - 64);
  machines::click(&rig.e, filter, 0, 0);
  ASSERT_TRUE(rig.page->editing);
  for (char c : std::string("pc00")) machines::on_char(&rig.e, static_cast<u8>(c));
  EXPECT_EQ(rig.page->list.shown_count, 2) << "PC0002 twice";
  EXPECT_EQ(rig.page->list.duplicates, (u64{1} << 6) | (u64{1} << 7));
  bool used = false;
  EXPECT_EQ(machines::key(&rig.e, 0x0D, &used) & machines::act_save, machines::act_save) << "Enter commits";
  EXPECT_FALSE(rig.page->editing);
  // Enter again opens the selected machine; Escape on the page clears the filter first.
  EXPECT_EQ(machines::key(&rig.e, 0x0D, &used) & machines::act_open_view, machines::act_open_view);
  machines::open(&rig.e);
  EXPECT_EQ(machines::key(&rig.e, 0x1B, &used) & machines::act_save, machines::act_save);
  EXPECT_EQ(rig.page->list.filter_length, 0);
  EXPECT_EQ(machines::key(&rig.e, 0x1B, &used), 0u);
  EXPECT_FALSE(used) << "nothing left for Escape: the window's own handling";
}

}  // namespace
