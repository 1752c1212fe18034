// A stored range of a remote machine opened on the Machines page: the live edge of its chart follows that machine's
// samples, one column entry per sample it sent, never this computer's.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "history/hist.h"
#include "pages/machines.h"
#include "shell/loop.h"
#include "shell/machinespage.h"
#include "shell/title.h"
#include "tests/shell/shell_window.h"

namespace {

constexpr u32 driver_machines = win::wm_app + 0x1F;
constexpr u32 test_source_silent = 3;  // the host never answers: only live samples reach the table
constexpr u32 range_hour = 2;

struct RemoteWindow : shelltest::ShellWindow {
  RemoteWindow() {
    if (!made) return;
    app::machines_start(&s, mem::Bytes());
    app::machines_open(&s);
    // Six demo machines, not fed from this computer; the first member row opens its machine.
    app::machines_driver(&s, driver_machines, 6 | (1 << 8) | (2 << 12));
    post(win::wm_lbuttondown, 1, 400, 152 + 28 + 14);
    post(win::wm_lbuttonup, 0, 400, 152 + 28 + 14);
    post(app::driver_history_source, test_source_silent, 0, 0);
    views::select(&s.model->views, 0);
    app::set_option(&s, range_hour);
    app::refresh_history(&s);
  }
  void post(u32 message, u64 wparam, i32 x, i32 y) {
    win::Msg m{};
    m.window = s.window;
    m.message = message;
    m.wparam = wparam | (message < win::wm_app ? app::driver_mark << 32 : 0);
    m.lparam = static_cast<i64>(u32(u16(x)) | (u32(u16(y)) << 16));
    app::pre_dispatch(&s, m);
  }
  machine::Machine* remote() {
    machines::RemoteCopy* copy = s.model->machines.page.copy;
    return copy ? &copy->remote.machine : nullptr;
  }
  // A sample of the remote machine with the processor load given, as the viewer link brings one.
  void remote_sample(u32 load) {
    ring::Row row{};
    row.load = static_cast<u16>(load);
    machine::push(remote(), &row);
    ++s.model->machines.page.copy->remote.sample_count;
  }
  const hist::Table* table() const { return s.model->chart_source.table; }
};

struct Live {
  u32 samples = 0;
  std::set<u32> values;  // every column's lowest and highest processor load
};

Live live_of(const hist::Table& t) {
  Live l;
  for (u32 c = 0; c < t.columns; ++c) {
    u32 lo, mean, hi;
    if (!hist::row_values(&t, c, 0, &lo, &mean, &hi)) continue;
    l.samples += t.count[hist::physical(&t, c)];
    l.values.insert(lo);
    l.values.insert(hi);
  }
  return l;
}

std::string text(const std::set<u32>& values) {
  std::string out;
  for (u32 v : values) out += std::to_string(v) + " ";
  return out;
}

TEST(RemoteHistory, LiveColumnCarriesTheShownMachinesOwnSamples) {
  RemoteWindow w;
  ASSERT_TRUE(w.made);
  ASSERT_TRUE(app::remote_shown(w.s)) << "the member row opens its machine";
  ASSERT_EQ(w.s.page, app::page_view);
  ASSERT_NE(w.remote(), nullptr);
  ASSERT_NE(w.table(), nullptr) << "the hour range opens a table";
  ASSERT_EQ(w.table()->state, hist::state_asking);

  // This computer goes on sampling its demo loads, which are never these.
  const u32 first = 7777, second = 3333;
  w.remote_sample(first);
  app::tick(&w.s);
  Live l = live_of(*w.table());
  EXPECT_EQ(l.samples, 1u);
  EXPECT_EQ(text(l.values), "7777 ") << "the remote machine's sample, not this computer's";

  // Ticks without a new sample of the remote machine add nothing: its last sample is not counted again.
  for (int i = 0; i < 3; ++i) app::tick(&w.s);
  l = live_of(*w.table());
  EXPECT_EQ(l.samples, 1u);
  EXPECT_EQ(text(l.values), "7777 ");

  w.remote_sample(second);
  app::tick(&w.s);
  l = live_of(*w.table());
  EXPECT_EQ(l.samples, 2u);
  EXPECT_EQ(text(l.values), "3333 7777 ");
}

}  // namespace
