// The history source of the window's charts: the settings word that decides when it reopens, the kind it chooses,
// the synthetic and silent test sources, this machine's own history files read back tier by tier, the host that is
// not there, and the live samples folded into an open table.
#include "views/histsource.h"

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "wire/auth.h"
#include "cluster/viewer.h"
#include "history/localhist.h"
#include "sampling/machine.h"
#include "tests/history/share_support.h"
#include "tests/platform/harness.h"

using namespace sharetest;

namespace {

constexpr u32 test_now = 59961600;  // the test clock at the window's start

localhist::Shown shown_of(u8 range, u8 view = 0, u8 test_source = 0, bool test = true) {
  localhist::Shown s{};
  s.page = 0;
  s.range = range;
  s.view = view;
  s.measure[0] = view == 34 ? 8 : 0;
  s.measure[1] = 255;
  s.machine = -1;
  s.test = test;
  s.test_source = test_source;
  return s;
}

struct Source {
  std::unique_ptr<localhist::Source> s = std::make_unique<localhist::Source>();
  localhist::HostLink link{};
  Source() { localhist::init(s.get()); }
  ~Source() { localhist::close_source(s.get(), &link); }
  localhist::Source* operator->() { return s.get(); }
  bool refresh(const localhist::Shown& shown, u32 now = test_now) { return localhist::refresh(s.get(), shown, &link, now); }
  u32 known() const {
    u32 n = 0;
    for (u32 c = 0; c < s->table->columns; ++c) n += s->table->count[c] != 0;
    return n;
  }
};

TEST(HistSource, SettingsWordAndKind) {
  const localhist::Shown base = shown_of(3, 18, 0, false);
  EXPECT_EQ(localhist::settings_word(base, 2), (3u * 2 + 1) | 18u << 4 | 255u << 13 | 2u << 24)
      << "no machine selected reads as 255";
  localhist::Shown other = base;
  other.page = 3;
  EXPECT_EQ(localhist::settings_word(other, 2), 0u) << "only the resource page keeps a source";
  for (u8 live : {0, 1}) {
    other = base;
    other.range = live;
    EXPECT_EQ(localhist::settings_word(other, 2), 0u) << "live range " << int(live);
  }
  EXPECT_NE(localhist::settings_word(base, 1), localhist::settings_word(base, 2)) << "a publish target reopens";

  const struct {
    bool test;
    u8 test_source;
    bool linked, publishing;
    u8 kind;
  } kinds[] = {
      {true, 0, false, false, localhist::source_none},    {true, 2, false, false, localhist::source_demo},
      {true, 3, false, false, localhist::source_silent},  {true, 4, false, false, localhist::source_unreachable},
      {true, 5, true, true, localhist::source_none},      {false, 0, false, false, localhist::source_files},
      {false, 0, true, false, localhist::source_host},    {false, 0, false, true, localhist::source_host},
  };
  for (const auto& k : kinds) {
    localhist::Shown s = shown_of(2, 0, k.test_source, k.test);
    s.linked = k.linked;
    s.publishing = k.publishing;
    EXPECT_EQ(localhist::source_kind(s), k.kind) << k.test << " " << int(k.test_source);
  }

  Source src;
  EXPECT_EQ(localhist::ranges_offered(*src.s, true), 2u);
  EXPECT_EQ(localhist::ranges_offered(*src.s, false), 6u);
  src->test_source = 2;
  EXPECT_EQ(localhist::ranges_offered(*src.s, true), 6u);
}

// Synthetic data fills every stored range, the same from run to run; power gets its energy.
TEST(HistSource, SyntheticDataFillsEachRange) {
  for (u8 range = 2; range <= 5; ++range) {
    SCOPED_TRACE(int(range));
    Source a, b;
    ASSERT_TRUE(a.refresh(shown_of(range, 0, 2)));
    ASSERT_TRUE(b.refresh(shown_of(range, 0, 2)));
    ASSERT_NE(a->table, nullptr);
    EXPECT_EQ(a->table->state, hist::state_data);
    EXPECT_GT(a.known(), a->table->columns / 2);
    EXPECT_EQ(a.known(), b.known());
    for (u32 c = 0; c < a->table->columns; ++c) ASSERT_EQ(a->table->mean[0][c], b->table->mean[0][c]) << c;
  }
  Source power;
  ASSERT_TRUE(power.refresh(shown_of(3, 34, 2)));
  EXPECT_TRUE(power->table->energy);
  EXPECT_GT(hist::most_watts(power->table), 4500u) << "tenths of a watt, at least 450 W";
}

// The test sources that never answer, whose host is away, and that make no table; the live ranges reserve nothing.
TEST(HistSource, TestSourcesAndLiveRanges) {
  const struct {
    u8 test_source;
    bool table;
    u8 state;
  } cases[] = {{3, true, hist::state_asking}, {4, true, hist::state_unreachable}, {5, false, 0},
               {0, true, hist::state_no_source}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.test_source));
    Source src;
    src->test_source = c.test_source;
    src.refresh(shown_of(2, 0, c.test_source));
    ASSERT_EQ(src->table != nullptr, c.table);
    if (c.table) {
      EXPECT_EQ(src->table->state, c.state);
    }
    EXPECT_FALSE(localhist::poll(src.s.get(), &src.link, 100)) << "nothing more comes";
  }
  Source live;
  for (u8 range : {0, 1}) {
    EXPECT_FALSE(live.refresh(shown_of(range, 0, 2)));
    EXPECT_EQ(live->table, nullptr);
    EXPECT_EQ(live->arena_bytes, 0u);
  }
}

// Another range or another view reopens the source; the same one keeps it.
TEST(HistSource, ReopensWhenWhatIsShownChanges) {
  Source src;
  ASSERT_TRUE(src.refresh(shown_of(2, 0, 2)));
  const u32 word = src->word;
  EXPECT_FALSE(src.refresh(shown_of(2, 0, 2)));
  EXPECT_TRUE(src.refresh(shown_of(3, 0, 2)));
  EXPECT_NE(src->word, word);
  EXPECT_EQ(src->table->range, 3);
  EXPECT_TRUE(src.refresh(shown_of(3, 1, 2)));
  localhist::Shown away = shown_of(3, 1, 2);
  away.page = 3;
  EXPECT_TRUE(src.refresh(away));
  EXPECT_EQ(src->table, nullptr);
  EXPECT_EQ(src->arena_bytes, 0u);
}

// A host source without a viewer link, or with a link that lost its connection, shows the host as not reachable;
// a request that went out on the lost connection is kept to be sent again.
TEST(HistSource, HostThatIsNotThere) {
  Source src;
  localhist::Shown s = shown_of(2, 0, 0, false);
  s.publishing = true;
  src.refresh(s);
  ASSERT_NE(src->table, nullptr);
  EXPECT_EQ(src->kind, localhist::source_host);
  EXPECT_EQ(src->wants_link, 1);
  EXPECT_EQ(src->table->state, hist::state_unreachable);

  hist::Table* t = src->table;
  t->state = hist::state_asking;
  ASSERT_TRUE(hist::ask(t, 100));
  t->sent = 1;
  localhist::HostLink lost{reinterpret_cast<viewer::ViewerLink*>(&lost), false, true};
  localhist::pump_link(src.s.get(), &lost, 0);
  EXPECT_EQ(t->state, hist::state_unreachable);
  EXPECT_EQ(t->asking, 1);
  EXPECT_EQ(t->sent, 0);
}

// A request that went out and was never answered is opened again for sending after a while, from the same start.
TEST(HistSource, AnUnansweredRequestIsAskedAgain) {
  Source src;
  localhist::Shown s = shown_of(2, 0, 0, false);
  s.publishing = true;
  src.refresh(s);
  hist::Table* t = src->table;
  t->state = hist::state_asking;
  ASSERT_TRUE(hist::ask(t, 100));
  t->sent = 1;
  const u32 start = t->ask_start;
  src->asked_ms = 1000;
  auth::KeyState key;
  auth::key_init(&key, bytes("cluster"));
  auto viewer_link = std::make_unique<viewer::ViewerLink>();
  u8 receive[4096];
  viewer::init(viewer_link.get(), &key, receive, sizeof receive);
  localhist::HostLink link{viewer_link.get(), true, true};
  localhist::pump_link(src.s.get(), &link, 1000 + localhist::answer_wait_ms - 1);
  EXPECT_EQ(t->asking, 1) << "still waiting";
  localhist::pump_link(src.s.get(), &link, 1000 + localhist::answer_wait_ms);
  EXPECT_EQ(t->sent, 0);
  EXPECT_EQ(t->next_start, start) << "the same request goes out again once the link is ready";
  EXPECT_EQ(t->state, hist::state_asking);

  // A request sent as the source opened has no time of its own (0): its wait starts at the first poll, so a window
  // or page whose clock is far from 0 does not ask a second time while the first answer is on its way.
  ASSERT_TRUE(hist::ask(t, 100));
  t->sent = 1;
  src->asked_ms = 0;
  const u64 later = 5000000;
  localhist::pump_link(src.s.get(), &link, later);
  EXPECT_EQ(t->sent, 1);
  localhist::pump_link(src.s.get(), &link, later + localhist::answer_wait_ms - 1);
  EXPECT_EQ(t->sent, 1) << "still waiting";
  localhist::pump_link(src.s.get(), &link, later + localhist::answer_wait_ms);
  EXPECT_EQ(t->sent, 0);
}

// A live sample goes into the newest column of an open table.
TEST(HistSource, LiveSamplesReachTheTable) {
  Source src;
  src.refresh(shown_of(2, 0, 3));  // silent: loading, so only live data comes
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  machine::set_counts(m.get(), 4, 1, 1);
  m->memory_total = 16384;
  ring::Row row{};
  row.load = 4200;
  machine::push(m.get(), &row);
  localhist::take_live(src.s.get(), *m, test_now);
  const hist::Table* t = src->table;
  u32 lo, mean, hi;
  ASSERT_TRUE(hist::row_values(t, t->columns - 1, 0, &lo, &mean, &hi));
  EXPECT_EQ(mean, 4200u);
}

// This machine's own files, written by the local history writer, read back into a table.
struct OwnFiles : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar data{"XDG_DATA_HOME", dir.path};
  Id id{0x51};
  std::string folder = dir.path + "/Vimbrel";
  u32 now = localhist::now();

  // Two hours of samples, one every 10 s, CPU at 20 % in the first hour and 60 % in the second.
  void write() {
    auto w = std::make_unique<localhist::Writer>();
    ASSERT_EQ(localhist::open(w.get(), bytes(folder), mem::Bytes(id.b, 16)), localhist::ok);
    u32 sequence = 0;
    for (u32 t = now - 7200; t <= now; t += 10) {
      u8 summary[64] = {};
      store::put16(summary + 8, static_cast<u16>(t < now - 3600 ? 2000 : 6000));
      localhist::tick(w.get(), ++sequence, summary, t);
    }
    localhist::close(w.get());
  }
  localhist::Shown shown(u8 range) {
    localhist::Shown s = shown_of(range, 0, 0, false);
    s.own_id = id.b;
    return s;
  }
  void fill(Source* src) {
    for (u32 i = 0; i < 1000 && src->s->table->state == hist::state_asking; ++i)
      localhist::poll(src->s.get(), &src->link, i);
  }
};

TEST_F(OwnFiles, TheHourAndTheDayComeBackFromTheFiles) {
  write();
  EXPECT_TRUE(localhist::has_files(id.b));
  Source hour;
  hour.refresh(shown(2), now);
  ASSERT_NE(hour->table, nullptr);
  EXPECT_EQ(hour->kind, localhist::source_files);
  fill(&hour);
  EXPECT_EQ(hour->table->state, hist::state_data);
  EXPECT_GE(hour.known(), 350u) << "the whole hour, 10 s a column";
  u32 lo, mean, hi;
  ASSERT_TRUE(hist::row_values(hour->table, 180, 0, &lo, &mean, &hi));
  EXPECT_EQ(mean, 6000u);

  // The day reads the five-minute tier: two hours of it, and no column mixes in the ten-second tier.
  Source day;
  day.refresh(shown(3), now);
  fill(&day);
  EXPECT_EQ(day->table->state, hist::state_data);
  EXPECT_GE(day.known(), 23u);
  EXPECT_LE(day.known(), 26u);
  EXPECT_EQ(day->table->tier, 1);
  ASSERT_TRUE(hist::row_values(day->table, day->table->columns - 18, 0, &lo, &mean, &hi));
  EXPECT_EQ(mean, 2000u);
  ASSERT_TRUE(hist::row_values(day->table, day->table->columns - 3, 0, &lo, &mean, &hi));
  EXPECT_EQ(mean, 6000u);
}

// No folder, or files sealed with another key: no history to show.
TEST_F(OwnFiles, MissingOrForeignFiles) {
  Source none;
  none.refresh(shown(2), now);
  ASSERT_NE(none->table, nullptr);
  EXPECT_EQ(none->table->state, hist::state_no_source);

  write();
  const std::string ring0 = folder + "/history/" + id_text(0x51) + "/t0.ring";
  auth::KeyState other;
  auth::key_init(&other, bytes("another key"));
  store::RingHead h{};
  ASSERT_TRUE(head_of(ring0, [] {
    auth::KeyState k;
    auth::key_init(&k, localhist::key_text());
    return k;
  }(), &h));
  std::vector<u8> file = read_all(ring0);
  ASSERT_GE(file.size(), 64u);
  store::encode_head(&other, &h, mem::Slice{file.data(), 64});
  write_all(ring0, file);
  EXPECT_FALSE(localhist::has_files(id.b));
  Source foreign;
  foreign.refresh(shown(2), now);
  EXPECT_EQ(foreign->table->state, hist::state_no_source);
}

}  // namespace
