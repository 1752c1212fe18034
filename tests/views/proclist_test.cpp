#include "views/proclist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/bits.h"
#include "platform/sysrec.h"

namespace {

mem::Bytes bytes_of(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

std::string folded(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
  return s;
}

std::string cell(const model::ProcTable* t, u32 row, u32 column) {
  words::Text text{};
  proclist::cell_text(t, row, column, &text);
  return std::string(reinterpret_cast<const char*>(text.bytes), text.len);
}

// A table filled the way the collector fills it: 1,100 processes offered, of which the first 1,024 fit. Names repeat,
// differ in case, and some share their first 32 bytes; the figures are spread so that every column has ties.
struct Fixture {
  std::unique_ptr<model::ProcTable> t = std::make_unique<model::ProcTable>();
  std::unique_ptr<proclist::ListState> list = std::make_unique<proclist::ListState>();

  static std::string name_for(u32 i) {
    static const char* stems[] = {"svchost.exe", "SvcHost.exe", "chrome.exe", "Code.exe", "explorer.exe",
                                  "a_process_with_a_name_of_32_byte", "zsh", "Z"};
    std::string name = stems[i % 8];
    // Names that differ only after byte 32 must sort as equal.
    if (i % 8 == 5) name += "_tail_" + std::to_string(i % 3);
    return name;
  }

  Fixture() {
    model::table_init(t.get());
    proclist::init(list.get());
    // The idle process first: it is never listed or counted.
    model::proc_upsert(t.get(), 0, 0, 1, mem::lit("System Idle Process"));
    for (u32 i = 1; i < 1100; ++i) {
      u32 pid = (i * 7919u) % 50000 + 4;  // scattered, distinct
      u64 h = model::proc_upsert(t.get(), pid, 1, 10 + i, bytes_of(name_for(i)));
      if (h == model::no_handle) continue;
      u32 row = model::proc_row(t.get(), h);
      t->cpu[row] = static_cast<u16>((i * 37) % 400);
      t->working_set[row] = (i * 101) % 5000;
      t->read_rate[row] = (i * 13) % 90;
      t->write_rate[row] = (i % 4 == 0) ? 0xFFFFFFF0u : i % 7;
      // Every ninth row's disk was not reported.
      if (i % 9 == 0) t->prev_read[row] = sysrec::io_unreported;
      t->gpu[row] = static_cast<u16>((i * 3) % 50);
      t->gpu_memory[row] = static_cast<u16>(i % 6);
      t->thread_count[row] = static_cast<u16>(i % 40);
      t->tcp[row] = static_cast<u16>(i % 5);
    }
  }

  // What the list should show, worked out independently: rows with a pid, the filter applied to the full name,
  // ordered by the effective column with ties in ascending pid in both directions.
  std::vector<u32> expected(u32 column, bool descending, u32 measuring, const std::string& filter) const {
    u32 c = column;
    if (measuring && (c == 2 || c == 4 || c == 5)) {
      c = 0;
      descending = false;
    }
    std::vector<u32> rows;
    for (u32 r = 0; r < t->count; ++r) {
      if (t->pid[r] == 0) continue;
      u8 buffer[model::name_max];
      std::string name(reinterpret_cast<const char*>(buffer),
                       model::proc_full_name(t.get(), r, mem::Slice{buffer, sizeof buffer}));
      if (folded(name).find(folded(filter)) == std::string::npos) continue;
      rows.push_back(r);
    }
    auto key_string = [&](u32 r) { return folded(str(model::proc_name(t.get(), r))).substr(0, 32); };
    auto value = [&](u32 r) -> u64 {
      switch (c) {
        case 1: return t->pid[r];
        case 2: return t->cpu[r];
        case 3: return t->working_set[r];
        case 4:
          return model::disk_unreported(t.get(), r) ? 0
                                                    : std::min<u64>(u64{t->read_rate[r]} + t->write_rate[r], 0xFFFFFFFFu);
        case 5: return t->gpu[r];
        case 6: return t->gpu_memory[r];
        case 7: return t->thread_count[r];
        default: return t->tcp[r];
      }
    };
    std::sort(rows.begin(), rows.end(), [&](u32 a, u32 b) {
      if (c == 0) {
        std::string ka = key_string(a), kb = key_string(b);
        if (ka != kb) return descending ? ka > kb : ka < kb;
      } else if (value(a) != value(b)) {
        return descending ? value(a) > value(b) : value(a) < value(b);
      }
      return t->pid[a] < t->pid[b];
    });
    return rows;
  }

  std::vector<u32> shown() const { return std::vector<u32>(list->rows, list->rows + list->shown); }
};

TEST(ProcList, SortsAndFiltersATableOf1100Processes) {
  Fixture f;
  ASSERT_EQ(f.t->count, 1024u);
  struct Case {
    u32 column;
    u8 descending;
    u8 measuring;
    const char* filter;
  } cases[] = {
      {2, 1, 0, ""},           // CPU, largest first
      {2, 1, 1, ""},           // CPU while measuring: by name, ascending
      {2, 1, 2, ""},           // an older table shown: still by name
      {0, 0, 0, ""},           // Name ascending; case and bytes past 32 do not count
      {0, 1, 0, ""},           // Name descending, ties still by ascending pid
      {1, 1, 0, ""},           // PID descending
      {3, 0, 0, ""},           // Memory ascending
      {4, 1, 0, ""},           // Disk: saturated sums and rows not reported
      {4, 1, 1, ""},           // Disk while measuring
      {5, 1, 0, "exe"},        // GPU, filtered
      {6, 1, 0, ""},           // VRAM
      {7, 0, 0, ""},           // Threads
      {8, 1, 0, "HOST"},       // TCP, capital filter on small names
      {3, 1, 0, "_tail_2"},    // a filter that only long names hold past byte 32
      {2, 1, 0, "no such"},    // nothing matches
      {0, 0, 0, "z"},          // one letter
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "column " << c.column << " descending " << int(c.descending) << " measuring "
                                    << int(c.measuring) << " filter '" << c.filter << "'");
    proclist::set_view(f.list.get(), c.column, bytes_of(c.filter));
    f.list->descending = c.descending;
    f.list->measuring = c.measuring;
    proclist::rebuild(f.list.get(), f.t.get());
    EXPECT_EQ(f.list->processes, 1023u);
    EXPECT_EQ(f.shown(), f.expected(c.column, c.descending, c.measuring, c.filter));
  }
}

TEST(ProcList, CountsCpuAndColumnMaximaOverEveryListedRow) {
  Fixture f;
  proclist::set_view(f.list.get(), 2, mem::lit("no such"));
  proclist::rebuild(f.list.get(), f.t.get());
  EXPECT_EQ(f.list->shown, 0u);
  u64 sum = 0;
  u32 most_memory = 0, most_disk = 0;
  for (u32 r = 0; r < f.t->count; ++r) {
    if (f.t->pid[r] == 0) continue;
    sum += f.t->cpu[r];
    most_memory = std::max(most_memory, f.t->working_set[r]);
    if (!model::disk_unreported(f.t.get(), r))
      most_disk = std::max<u32>(most_disk, std::min<u64>(u64{f.t->read_rate[r]} + f.t->write_rate[r], 0xFFFFFFFFu));
  }
  ASSERT_GT(sum, 10000u);
  EXPECT_EQ(f.list->cpu_total, 10000u);
  EXPECT_EQ(f.list->column_max[3], most_memory);
  EXPECT_EQ(f.list->column_max[4], most_disk);
  EXPECT_EQ(f.list->column_max[0], 0u);
  EXPECT_EQ(f.list->column_max[1], 0u);
}

TEST(ProcList, EmptyAndIdleOnlyTablesListNothing) {
  auto t = std::make_unique<model::ProcTable>();
  auto list = std::make_unique<proclist::ListState>();
  model::table_init(t.get());
  proclist::init(list.get());
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->shown, 0u);
  model::proc_upsert(t.get(), 0, 0, 1, mem::lit("Idle"));
  t->cpu[0] = 9000;
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->shown, 0u);
  EXPECT_EQ(list->processes, 0u);
  EXPECT_EQ(list->cpu_total, 0u);
}

TEST(ProcList, SelectionFollowsTheProcessThroughSortsFiltersAndItsEnd) {
  auto t = std::make_unique<model::ProcTable>();
  auto list = std::make_unique<proclist::ListState>();
  model::table_init(t.get());
  proclist::init(list.get());
  const char* names[] = {"alpha", "beta", "gamma", "delta"};
  for (u32 i = 0; i < 4; ++i) {
    model::proc_upsert(t.get(), 100 + i, 1, 5, bytes_of(names[i]));
    t->cpu[i] = static_cast<u16>(10 * (i + 1));
  }
  proclist::rebuild(list.get(), t.get());  // CPU descending: delta, gamma, beta, alpha
  ASSERT_EQ(proclist::select_at(list.get(), t.get(), 2), 2u);  // beta
  u64 beta = list->selected_handle;

  proclist::sort_by(list.get(), 0);  // Name ascending: alpha, beta, delta, gamma
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->selected, 1u);
  EXPECT_EQ(list->selected_handle, beta);

  proclist::typed(list.get(), 'M');  // only gamma holds an m
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->selected, proclist::none);  // hidden, still selected
  EXPECT_EQ(list->selected_handle, beta);
  proclist::cleared(list.get());
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->selected, 1u);

  // The pid is reused by another process: a different start key replaces the row, and the old handle is stale.
  model::proc_upsert(t.get(), 101, 1, 99, mem::lit("beta"));
  proclist::rebuild(list.get(), t.get());
  EXPECT_EQ(list->selected, proclist::none);
  EXPECT_EQ(list->selected_handle, proclist::no_handle);

  // Selecting past the end clears the selection.
  EXPECT_EQ(proclist::select_at(list.get(), t.get(), 4), proclist::none);
  EXPECT_EQ(list->selected_handle, proclist::no_handle);
}

TEST(ProcList, SortClicksFilterTypingAndView) {
  auto list = std::make_unique<proclist::ListState>();
  proclist::init(list.get());
  EXPECT_EQ(list->sort_column, 2);
  EXPECT_EQ(list->descending, 1);
  proclist::sort_by(list.get(), 2);  // the same column flips
  EXPECT_EQ(list->descending, 0);
  proclist::sort_by(list.get(), 0);  // Name first sorts ascending
  EXPECT_EQ(list->descending, 0);
  proclist::sort_by(list.get(), 3);  // Memory first sorts descending
  EXPECT_EQ(list->descending, 1);
  EXPECT_EQ(list->sort_column, 3);

  EXPECT_EQ(proclist::erased(list.get()), 0u);
  EXPECT_EQ(proclist::typed(list.get(), 10), 0u);
  for (u32 i = 0; i < 32; ++i) EXPECT_EQ(proclist::typed(list.get(), 'a' + i % 26), 1u);
  EXPECT_EQ(proclist::typed(list.get(), 'x'), 0u);  // the 33rd is refused
  EXPECT_EQ(list->filter_length, 32u);
  EXPECT_EQ(proclist::erased(list.get()), 1u);
  EXPECT_EQ(list->filter_length, 31u);
  EXPECT_EQ(proclist::cleared(list.get()), 1u);
  EXPECT_EQ(proclist::cleared(list.get()), 0u);

  list->top = 40;
  std::string long_text(300, 'q');
  proclist::set_view(list.get(), 5, bytes_of(long_text));
  EXPECT_EQ(list->filter_length, 260u);
  EXPECT_EQ(list->top, 0u);
  EXPECT_EQ(list->sort_column, 5);
  EXPECT_EQ(list->descending, 1);
}

TEST(ProcList, Matching) {
  struct Case {
    const char* name;
    const char* filter;
    bool match;
  } cases[] = {
      {"chrome.exe", "CHROME", true}, {"chrome.exe", "", true},   {"", "", true},        {"ab", "abc", false},
      {"Code.exe", "e.E", true},      {"zzz", "zy", false},       {"a\xC3\xA9", "\xC3\x89", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(proclist::matches(bytes_of(c.name), bytes_of(c.filter)), c.match) << c.name << " / " << c.filter;
}

TEST(ProcList, CellTexts) {
  auto t = std::make_unique<model::ProcTable>();
  model::table_init(t.get());
  std::string long_name(40, 'n');
  model::proc_upsert(t.get(), 4242, 1, 1, bytes_of(long_name));
  t->cpu[0] = 1234;          // 12.34 % -> 12.3 %
  t->gpu[0] = 5;             // 0.05 % -> 0.1 %
  t->working_set[0] = 2560;  // 10 MiB
  t->read_rate[0] = 1500;
  t->write_rate[0] = 100;
  t->gpu_memory[0] = 3;
  t->thread_count[0] = 17;
  t->tcp[0] = 0;
  EXPECT_EQ(cell(t.get(), 0, 0), long_name);
  EXPECT_EQ(cell(t.get(), 0, 1), "4242");
  EXPECT_EQ(cell(t.get(), 0, 2), "12.3 %");
  EXPECT_EQ(cell(t.get(), 0, 3), "10.0 MB");
  EXPECT_EQ(cell(t.get(), 0, 4), "1.6 MB/s");
  EXPECT_EQ(cell(t.get(), 0, 5), "0.1 %");
  EXPECT_EQ(cell(t.get(), 0, 6), "12 MB");
  EXPECT_EQ(cell(t.get(), 0, 7), "17");
  EXPECT_EQ(cell(t.get(), 0, 8), "0");
  t->prev_read[0] = sysrec::io_unreported;
  EXPECT_EQ(cell(t.get(), 0, 4), "-");
  // A name the table had to cut shows the cut mark.
  bits::set(t->name_cut, 0);
  EXPECT_EQ(cell(t.get(), 0, 0), long_name + "...");
  EXPECT_EQ(proclist::mib_tenths(1), 0u);
  EXPECT_EQ(proclist::mib_tenths(13), 1u);  // 130 / 256 rounds up
}

TEST(ProcList, ColumnsGiveWayOnNarrowTables) {
  u32 all = proclist::all_columns;
  u32 fixed = proclist::fixed_width(all);
  EXPECT_EQ(fixed, 628u);
  struct Case {
    i64 width;
    u32 mask;
  } cases[] = {
      {fixed + 180, all},
      {fixed + 179, all & ~(1u << 8)},  // TCP goes first
      {fixed + 179 - 76, all & ~(1u << 8) & ~(1u << 7)},
      {100, 1u | 1u << 2 | 1u << 3},  // only Name, CPU and Memory remain
      {-5, 1u | 1u << 2 | 1u << 3},
  };
  for (const Case& c : cases) EXPECT_EQ(proclist::columns_shown(c.width), c.mask) << c.width;
  u32 mask = proclist::columns_shown(900);
  EXPECT_EQ(proclist::column_left(10, 900, mask, 0), 10);
  EXPECT_EQ(proclist::column_left(10, 900, mask, 1), 10 + 900 - 628);
  EXPECT_EQ(proclist::column_left(10, 900, mask, 3), 10 + 900 - 628 + 72 + 76);
  EXPECT_EQ(str(proclist::title(0)), "Name");
  EXPECT_EQ(str(proclist::title(8)), "TCP");
  EXPECT_EQ(str(proclist::title(200)), "TCP");
}

TEST(ProcList, ScrollAndWheelArithmetic) {
  auto list = std::make_unique<proclist::ListState>();
  proclist::init(list.get());
  EXPECT_EQ(proclist::wheel_take(list.get(), 60), -1);
  EXPECT_EQ(list->wheel_kept, 20);
  EXPECT_EQ(proclist::wheel_take(list.get(), 60), -2);
  EXPECT_EQ(list->wheel_kept, 0);
  EXPECT_EQ(proclist::wheel_take(list.get(), 60), -1);
  EXPECT_EQ(proclist::wheel_take(list.get(), -60), 1);  // a turn back drops what was kept
  EXPECT_EQ(list->wheel_kept, -20);
  EXPECT_EQ(proclist::wheel_take(list.get(), -2147483647 - 1), 53687091);
  EXPECT_GT(list->wheel_kept, -40);

  const u64 big = u64{1} << 40;
  struct Clamp {
    u64 top, count, visible, out;
  } clamps[] = {{5, 3, 10, 0}, {50, 100, 20, 50}, {90, 100, 20, 80}, {big, big + 10, 4, big}};
  for (const Clamp& c : clamps) EXPECT_EQ(proclist::clamp_top(c.top, c.count, c.visible), c.out);
  EXPECT_EQ(proclist::scroll_by(3, -10, 100, 20), 0u);
  EXPECT_EQ(proclist::scroll_by(3, 1000, 100, 20), 80u);
  EXPECT_EQ(proclist::scroll_by(big, -1, big * 2, 10), big - 1);

  EXPECT_EQ(proclist::step_at(0, 0, true), -1);
  EXPECT_EQ(proclist::step_at(proclist::none, 5, true), 0);
  EXPECT_EQ(proclist::step_at(4, 5, true), 4);
  EXPECT_EQ(proclist::step_at(0, 5, false), 0);
  EXPECT_EQ(proclist::step_at(9, 5, false), 4);

  EXPECT_EQ(proclist::keep_visible(10, proclist::none, 5), 10u);
  EXPECT_EQ(proclist::keep_visible(10, 3, 5), 3u);
  EXPECT_EQ(proclist::keep_visible(10, 15, 5), 11u);
  EXPECT_EQ(proclist::keep_visible(10, 14, 5), 10u);
  EXPECT_EQ(proclist::keep_visible(10, 15, 0), 15u);

  EXPECT_EQ(proclist::thumb_h(20, 100, 400, 16), 80u);
  EXPECT_EQ(proclist::thumb_h(1, 100000, 400, 16), 16u);
  EXPECT_EQ(proclist::thumb_h(200, 100, 400, 16), 400u);
  EXPECT_EQ(proclist::thumb_h(big, big, big, 1), big);  // no wrapped product
  EXPECT_EQ(proclist::thumb_y(80, 100, 20, 400, 80), 320u);
  EXPECT_EQ(proclist::thumb_y(0, 10, 20, 400, 500), 0u);

  EXPECT_EQ(proclist::align_down(-1, 8), -8);
  EXPECT_EQ(proclist::align_down(17, 8), 16);
  EXPECT_EQ(proclist::align_down(5, 0), 5);
  EXPECT_EQ(proclist::align_up(17, 8), 24);
  EXPECT_EQ(proclist::align_up(-9, 8), -8);
}

TEST(ProcList, MeasuringStateAndTints) {
  EXPECT_EQ(proclist::opened_measure(2), 2);
  EXPECT_EQ(proclist::opened_measure(0), 1);
  EXPECT_EQ(proclist::after_table(2, true), 2);
  EXPECT_EQ(proclist::after_table(0, true), 1);
  EXPECT_EQ(proclist::after_table(2, false), 0);
  EXPECT_TRUE(proclist::dashed(2, 4));
  EXPECT_FALSE(proclist::dashed(1, 4));
  EXPECT_FALSE(proclist::dashed(2, 3));
  EXPECT_EQ(proclist::spin_next(11), 0);
  EXPECT_EQ(proclist::spin_phase(11), 2u);
  EXPECT_TRUE(proclist::due(1, 1));
  EXPECT_FALSE(proclist::due(1, 0));
  EXPECT_EQ(proclist::tint_alpha(50, 100), 80u);
  EXPECT_EQ(proclist::tint_alpha(500, 100), 160u);
  EXPECT_EQ(proclist::tint_alpha(0, 0), 0u);
  EXPECT_EQ(proclist::blend(0x00000000, 0x00FFFFFF, 255), 0x00FFFFFFu);
  EXPECT_EQ(proclist::blend(0xFF102030, 0x00102030, 999), 0x00102030u);
  EXPECT_EQ(proclist::blend(0x000000FF, 0x00000000, 128), 0x0000007Fu);
}

}  // namespace

namespace {

std::string label(u32 item, u32 reason) {
  u8 buffer[proclist::label_most];
  return std::string(reinterpret_cast<const char*>(buffer), proclist::item_label(item, reason, buffer));
}

// The greyed items and their reasons for the facts of the cases the menu meets.
TEST(ProcActions, FactsGreyItemsWithTheirReasons) {
  using namespace proclist;
  struct Case {
    const char* what;
    u32 facts;
    u32 why_end, why_path, mask;
  } cases[] = {
      {"an ordinary process", 0, 0, 0, 7},
      {"the idle process", fact_idle | fact_elevated, 1, 1, 0},
      {"this program", fact_own, 2, 0, 3},
      {"demo data", fact_demo, 3, 3, 0},
      {"ended", fact_ended, 4, 4, 0},
      {"exiting", fact_exiting, 5, 0, 3},
      {"critical, elevated, may be ended", fact_system | fact_elevated, 0, 0, 7},
      {"critical, not elevated", fact_system | fact_end_denied, 6, 0, 3},
      {"protected, query refused", fact_protected | fact_query_denied, 7, 7, 0},
      {"end refused, not elevated", fact_end_denied, 8, 0, 3},
      {"end refused, elevated", fact_end_denied | fact_elevated, 9, 0, 3},
      {"path unreadable", fact_path_failed, 0, 8, 4},
      {"path too long", fact_path_long, 0, 10, 4},
      {"own and exiting keep the path", fact_own | fact_exiting, 2, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(why_end(c.facts), c.why_end);
    EXPECT_EQ(why_path(c.facts), c.why_path);
    EXPECT_EQ(facts_mask(c.facts), c.mask);
    EXPECT_EQ(why_of(item_end, c.facts), c.why_end);
    EXPECT_EQ(why_of(item_copy, c.facts), c.why_path);
    EXPECT_EQ(why_of(9, c.facts), 0u);
    EXPECT_EQ(chosen(c.mask, item_end), (c.mask & 4) ? 3u : 0u);
  }
  EXPECT_EQ(label(item_location, 0), "Open file location");
  EXPECT_EQ(label(item_copy, 1), "Copy path (System Idle Process)");
  EXPECT_EQ(label(item_end, 2), "End process (Vimbrel itself)");
  EXPECT_EQ(label(item_end, 5), "End process (already exiting)");
  EXPECT_EQ(label(item_copy, 3), "Copy path (demo process)");
  EXPECT_TRUE(critical(4, mem::lit("anything")));
  EXPECT_TRUE(critical(77, mem::lit("LSASS.EXE")));
  EXPECT_FALSE(critical(77, mem::lit("lsass.exe2")));
  EXPECT_TRUE(own(500, 500, 0));
  EXPECT_TRUE(own(600, 500, 600));
  EXPECT_FALSE(own(0, 500, 0)) << "no collector is not pid 0";
}

TEST(ProcActions, OutcomesAndSentences) {
  using namespace proclist;
  EXPECT_EQ(refusal(true, false, false), 8u);
  EXPECT_EQ(refusal(false, false, true), 4u);
  EXPECT_EQ(refusal(false, true, false), 3u);
  EXPECT_EQ(refusal(false, true, true), 0u);
  EXPECT_EQ(unavailable(14, true, 5), 14u);
  EXPECT_EQ(unavailable(0, true, 2), 9u);
  EXPECT_EQ(unavailable(0, false, 5), 15u);
  EXPECT_EQ(unavailable(0, false, 8), 5u);
  EXPECT_EQ(open_error(error_access_denied), 5u);
  EXPECT_EQ(open_error(87), 4u);
  EXPECT_EQ(action_error(error_access_denied, true), 15u);
  EXPECT_EQ(action_error(error_access_denied, false), 5u);
  EXPECT_EQ(action_error(6, false), 6u);
  EXPECT_EQ(path_error(error_insufficient_buffer), 12u);
  EXPECT_EQ(path_error(2), 5u);
  EXPECT_TRUE(same_target(true, 10, 20, 10, 20));
  EXPECT_FALSE(same_target(true, 10, 20, 10, 21));
  EXPECT_FALSE(same_target(false, 10, 20, 10, 20));
  for (u32 code = 0; code < 16; ++code)
    EXPECT_EQ(shows_message(code), code >= 3 && code != 7) << code;
  // The sentences name what the system the build runs on does: each build its own words, none of the other's.
  const struct {
    u32 code, reason;
    const char* text;
  } sentences[] = {
#if defined(_WIN32)
      {5, 6, "This is a Windows system process: Windows does not let Vimbrel do this to it."},
      {5, 7, "This is a protected process: Windows only lets its own components do this to it."},
      {5, 8, "Windows needs administrator rights for this: start Vimbrel as administrator."},
      {5, 9, "Access denied: Windows does not let Vimbrel do this to the process."},
      {6, 0, "Windows could not do this for the process."},
      {15, 0, "The process is already exiting: Windows is ending it. Nothing was done."},
#else
      {5, 6, "This is a system process (init or a kernel thread): Linux does not let Vimbrel do this to it."},
      {5, 7, "This is a kernel thread: it has no program file, and only the kernel can end it."},
      {5, 8, "The process belongs to another user: only that user or root can do this to it."},
      {5, 9, "Access denied: Linux does not let Vimbrel do this to the process."},
      {6, 0, "Linux could not do this for the process."},
      {15, 0, "The process is already exiting: Linux is ending it. Nothing was done."},
#endif
  };
  for (const auto& s : sentences) EXPECT_EQ(str(result_message(s.code, s.reason)), s.text) << s.code << " " << s.reason;
  EXPECT_EQ(str(result_message(14, 0)),
            "The System Idle Process is not a program: there is nothing to open, copy or end.");
  EXPECT_EQ(str(result_message(10, 0)), "The process changed while the menu was open. Nothing was done.");

  u8 text[message_most];
  std::string q(reinterpret_cast<const char*>(text), confirm_text(mem::lit("notepad.exe"), 4242, false, text));
  EXPECT_EQ(q, "End \"notepad.exe\" (PID 4242)? Anything it has not saved is lost.");
  q.assign(reinterpret_cast<const char*>(text), confirm_text(mem::lit("x"), 4294967295u, true, text));
#if defined(_WIN32)
  const char* needs = " Windows needs this process";
#else
  const char* needs = " The system needs this process";
#endif
  EXPECT_EQ(q, std::string("End \"x\" (PID 4294967295)? Anything it has not saved is lost.") + needs +
                   ": ending it can make the system unstable or shut it down.");
  const std::string long_name(300, 'a');
  const u32 n = confirm_text(bytes_of(long_name), 1, true, text);
  EXPECT_LE(n, message_most);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), n).find(std::string(261, 'a')), std::string::npos)
      << "the name is cut at 260 bytes";
}

TEST(ProcActions, SelectLineQuotesOnlySafePaths) {
  auto line = [](const std::string& path, u32 capacity) {
    std::vector<u16> p(path.begin(), path.end());
    std::vector<u16> out(capacity + 1, 0xFFFF);
    const u32 n = proclist::select_line(p.data(), static_cast<u32>(p.size()), out.data(), capacity);
    return n ? std::string(out.begin(), out.begin() + n) + (out[n] == 0 ? "" : "<no end>") : std::string("<refused>");
  };
  EXPECT_EQ(line("C:\\Apps\\a b.exe", 2080), "explorer.exe /select,\"C:\\Apps\\a b.exe\"");
  EXPECT_EQ(line("\\\\?\\C:\\Long\\x.exe", 2080), "explorer.exe /select,\"C:\\Long\\x.exe\"");
  EXPECT_EQ(line("\\\\?\\UNC\\server\\x.exe", 2080), "<refused>")
      << "only a drive path loses the prefix; any other keeps its '?'";
  EXPECT_EQ(line("C:\\a\"b.exe", 2080), "<refused>");
  EXPECT_EQ(line("C:\\a?b.exe", 2080), "<refused>");
  EXPECT_EQ(line(std::string("C:\\a\x01.exe"), 2080), "<refused>");
  EXPECT_EQ(line("", 2080), "<refused>");
  EXPECT_EQ(line("C:\\x", 27), "<refused>") << "22 + 4 + 1 units need a capacity above 27";
  EXPECT_EQ(line("C:\\x", 28), "explorer.exe /select,\"C:\\x\"");
}

}  // namespace
