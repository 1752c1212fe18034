#pragma once
// The process list model: which rows of a process table are shown, in which order, which process is selected, how
// far the list is scrolled and which filter applies; the table's columns with their titles, widths and cell texts;
// and the scrolling arithmetic that other scrolled pages share. It reads a model::ProcTable and never changes it.
// The Processes page holds one list for this machine, the Machines page one for the remote machine it shows, and the
// MCP server fills one to rank or search processes. Nothing allocates; every operation works on records passed in.
#include <stddef.h>

#include "base/mem.h"
#include "base/words.h"
#include "sampling/model.h"

namespace proclist {

constexpr u32 max_rows = model::rows;  // 1,024
constexpr u32 columns = 9;
constexpr u32 filter_max = 260;   // what set_view keeps
constexpr u32 typed_max = 32;     // what typing on the page may fill
constexpr u32 none = 0xFFFFFFFFu;
constexpr u64 no_handle = model::no_handle;

// Column indexes.
enum : u32 {
  col_name = 0, col_pid = 1, col_cpu = 2, col_memory = 3, col_disk = 4, col_gpu = 5, col_vram = 6, col_threads = 7,
  col_tcp = 8,
};
constexpr u32 all_columns = 0x1FF;

// Measuring states: rates valid; rates being measured (rate cells blank); an older table shown while new rates are
// measured (rate cells "-").
enum : u8 { rates_valid = 0, rates_measuring = 1, rates_old_table = 2 };

struct ListState {
  u32 shown;      // rows in the shown order, after the filter
  u32 processes;  // rows with a process id other than 0, shown or not
  u32 cpu_total;  // sum of their CPU values, hundredths of a percent, capped at 10,000
  u32 selected;   // shown position of the selected process, none when it is not shown
  u32 top;        // first shown position in view
  u64 selected_handle;  // handle of the selected process, all ones when none
  u8 sort_column;
  u8 descending;
  u16 filter_length;
  u8 measuring;
  u8 waiting;  // the table source's answer when process sampling started; 0 when no table is awaited
  u8 spin;     // phase 0..11 of the loading dots
  i32 wheel_kept;  // wheel units not yet turned into rows
  u32 column_max[columns];  // largest value of columns 2..8 over every row, filtered rows included
  u8 filter[filter_max];
  u16 rows[max_rows];  // table row of each shown position
  u16 order_a[max_rows];
  u16 order_b[max_rows];
  u64 keys_a[max_rows];
  u64 keys_b[max_rows];
};
static_assert(sizeof(ListState) == 22872);
static_assert(offsetof(ListState, selected_handle) == 24 && offsetof(ListState, wheel_kept) == 40);
static_assert(offsetof(ListState, filter) == 80 && offsetof(ListState, rows) == 340);
static_assert(offsetof(ListState, keys_a) == 6488);

void init(ListState* list);

// ---- Columns and geometry.

mem::Bytes title(u32 column);
// The fixed width in logical pixels; 0 for Name, which takes the rest.
u32 column_width(u32 column);
// CPU, Disk and GPU: values that need two samples.
bool rate_column(u32 column);
// Sum of the fixed widths of the shown columns 1..8.
u32 fixed_width(u32 mask);
// The column given up k-th (k 0..5) when the table is narrow: TCP, Threads, VRAM, GPU, Disk, PID.
u32 drop_order(u32 k);
// The columns that fit: columns are given up in drop order while Name would get less than 180 pixels.
u32 columns_shown(i64 width);
i64 name_width(i64 width, u32 mask);
i64 column_left(i64 left, i64 width, u32 mask, u32 column);

// ---- Ordering and filtering.

u8 fold(u8 c);
// Bytes 8 x chunk .. 8 x chunk + 7 of the name, folded, 0 past the end, big-endian.
u64 name_key(mem::Bytes name, u32 chunk);
// Read plus write saturated to 32 bits; 0 when the row's disk rate was not measured.
u32 disk_rate(u32 read, u32 write, bool not_measured);
// The sort value of a row in a column; Name gives the first name chunk of the short name.
u64 value_of(const model::ProcTable* table, u32 row, u32 column);
// The column actually sorted by: Name for a rate column while rates are measured.
u32 sort_column(u32 column, u32 measuring);
u64 order_key(u64 key, bool name, bool descending);
u32 passes_for(u32 column);
u32 digit(u64 key, u32 pass);
// One stable counting pass on byte pass of the keys.
void radix_pass(const u64* keys, const u16* rows, u64* keys_out, u16* rows_out, u32 count, u32 pass);
// passes (even) stable passes; the result ends in the a buffers.
void radix(u64* keys_a, u16* rows_a, u64* keys_b, u16* rows_b, u32 count, u32 passes);
// The filter occurs in the name, ASCII case folded on both sides; an empty filter matches everything.
bool matches(mem::Bytes name, mem::Bytes filter);
// Sorts, filters and counts the table's rows; keeps the selection by handle. The scroll position is left alone.
void rebuild(ListState* list, const model::ProcTable* table);
u32 row_at(const ListState* list, u32 position);
// Selects the shown position (or nothing when it is not shown); the new selected.
u32 select_at(ListState* list, const model::ProcTable* table, u32 position);
u8 next_descending(u32 current, u32 descending, u32 column);
void sort_by(ListState* list, u32 column);
// The MCP server's view: column, descending, the first 260 bytes of text as the filter, scrolled to the top.
void set_view(ListState* list, u32 column, mem::Bytes text);
u32 shown_most(u32 a, u32 b);

// ---- Filter typing.

bool printable(u32 c);
// Appends a printable byte while fewer than 32 are in use; 1 when it did.
u32 typed(ListState* list, u32 c);
u32 erased(ListState* list);
u32 cleared(ListState* list);
mem::Bytes filter_text(const ListState* list);

// ---- Cells.

mem::Bytes cut_mark();
// Value / 10 rounded, and value x 10 / 256 rounded (4 KiB pages as tenths of a MiB).
u64 tenths_of(u64 value);
u64 mib_tenths(u64 pages);
// Clears the line and writes the cell as the Processes page shows it.
void cell_text(const model::ProcTable* table, u32 row, u32 column, words::Text* text);
// The full name, with the cut mark when the table cut it; the length (at most 263 bytes).
u64 shown_name(const model::ProcTable* table, u32 row, u8 (&buffer)[filter_max + 3]);
u32 tint_alpha(u32 value, u32 column_max);
u32 blend(u32 base, u32 tint, u32 alpha);

// ---- Measuring state.

u8 opened_measure(u32 answer);
u8 after_table(u32 state, bool lacks_rates);
bool dashed(u32 state, u32 column);
u8 spin_next(u32 phase);
u32 spin_phase(u32 phase);
bool due(u32 a, u32 b);

// ---- Scrolling and selection arithmetic, in 64 bits.

u64 clamp_top(u64 top, u64 count, u64 visible);
u64 scroll_by(u64 top, i64 n, u64 count, u64 visible);
// The position a key step leads to: -1 when the list is empty, 0 when nothing is selected.
i64 step_at(u64 position, u64 count, bool down);
u64 keep_visible(u64 top, u64 position, u64 visible);
u64 thumb_h(u64 visible, u64 total, u64 track, u64 least);
u64 thumb_y(u64 top, u64 total, u64 visible, u64 track, u64 thumb);
i64 align_down(i64 a, i64 m);
i64 align_up(i64 a, i64 m);
i64 wheel_total(i32 kept, i32 delta);
i64 wheel_rows(i64 total);
// Turns a wheel delta into rows (positive scrolls down), keeping what is left over.
i64 wheel_take(ListState* list, i32 delta);

}  // namespace proclist

namespace proclist {

// ---- Actions on a process: facts, refusals, labels and sentences (the platform-free rules of the Processes page's
// context menu).

// Facts of a process, a 12-bit mask.
enum : u32 {
  fact_idle = 0x001,        // process id 0
  fact_own = 0x002,         // this program or its collector child
  fact_demo = 0x004,        // the list shows demo data
  fact_ended = 0x008,       // ended, its id reused, or opening it to end it failed for another reason than access
  fact_exiting = 0x010,     // the system is ending it
  fact_system = 0x020,      // a process the system needs
  fact_protected = 0x040,   // the system does not let other programs act on it
  fact_elevated = 0x080,    // this program runs with the right to act on other users' processes
  fact_query_denied = 0x100,
  fact_end_denied = 0x200,
  fact_path_failed = 0x400,
  fact_path_long = 0x800,
};

// Menu items.
enum : u32 { item_location = 1, item_copy = 2, item_end = 3 };
// Result codes of an action.
enum : u32 {
  result_none = 0, result_done = 1, result_cancelled = 2, result_reused = 3, result_ended = 4, result_denied = 5,
  result_failed = 6, result_refused_item = 7, result_demo = 8, result_own = 9, result_changed = 10,
  result_clipboard_busy = 11, result_path_long = 12, result_file_gone = 13, result_idle = 14, result_exiting = 15,
};
// The system's error words that the rules take.
enum : u32 { error_access_denied = 5, error_insufficient_buffer = 122 };

inline constexpr u32 label_most = 64;
inline constexpr u32 message_most = 640;
inline constexpr u32 name_most = 260;

mem::Bytes item_text(u32 item);
u32 item_bit(u32 item);
mem::Bytes why_text(u32 reason);
mem::Bytes critical_name(u32 i);
inline constexpr u32 critical_names = 6;
bool same_folded(mem::Bytes a, mem::Bytes b);
bool critical(u32 pid, mem::Bytes name);

u32 refused_why(u32 facts, u32 access_mask);
u32 why_end(u32 facts);
u32 why_path(u32 facts);
u32 why_of(u32 item, u32 facts);
u32 facts_mask(u32 facts);
u32 chosen(u32 mask, u32 item);
// The item's text, with " (reason)" when reason is not 0; at most 64 bytes. The length.
u32 item_label(u32 item, u32 reason, u8* buffer64);
u32 refusal(bool demo, bool alive, bool same);
u32 unavailable(u32 identity, bool own, u32 reason);
bool own(u32 pid, u32 own_pid, u32 collector_pid);
bool same_target(bool still_there, u32 pid, u32 start, u32 table_pid, u32 table_start);
u32 open_error(u32 error);
u32 action_error(u32 error, bool exiting);
u32 path_error(u32 error);

// The command line that shows a file selected in the system's file browser, in 16-bit units with a terminating 0:
// "explorer.exe /select," and the path in double quotes. The long-path prefix of a drive path is left out; an empty
// rest, a double quote, "?" or a unit below 32 refuses the path. The units written without the 0, or 0.
u32 select_line(const u16* path, u32 length, u16* buffer, u32 capacity);
// The confirmation question; warning adds the sentence about a process the system needs. The length (at most 640).
u32 confirm_text(mem::Bytes name, u32 pid, bool warning, u8* buffer640);
mem::Bytes result_text(u32 code);
mem::Bytes denied_text(u32 reason);
mem::Bytes result_message(u32 code, u32 reason);
bool shows_message(u32 code);
u32 digit_count(u32 value);

}  // namespace proclist
