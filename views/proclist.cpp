#include "views/proclist.h"

#include "base/bits.h"

namespace proclist {

namespace {

constexpr u32 name_least = 180;
constexpr u32 cpu_cap = 10000;

mem::Bytes row_name(const model::ProcTable* table, u32 row, u8 (&buffer)[model::name_max]) {
  u64 n = model::proc_full_name(table, row, mem::Slice{buffer, sizeof buffer});
  return mem::Bytes(buffer, n);
}

// a x b / max(c, 1) without a wrapped product: when a x b does not fit, the quotient is taken first.
u64 scaled(u64 a, u64 b, u64 c) {
  c = bits::max64(c, 1);
  u64 product = 0;
  if (!__builtin_mul_overflow(a, b, &product)) return product / c;
  return a / c * b + a % c * (b / c);
}

// The shown position of a table row, none when it is not shown.
u32 position_of(const ListState* list, u32 row) {
  for (u32 i = 0; i < list->shown; ++i)
    if (list->rows[i] == row) return i;
  return none;
}

// Sorts the first n table rows into order_a: by process id, then stably by the effective column.
void sort_rows(ListState* list, const model::ProcTable* table, u32 n) {
  for (u32 i = 0; i < n; ++i) {
    list->keys_a[i] = table->pid[i];
    list->order_a[i] = static_cast<u16>(i);
  }
  radix(list->keys_a, list->order_a, list->keys_b, list->order_b, n, 4);
  u32 c = sort_column(list->sort_column, list->measuring);
  bool down = list->descending == 1 && c == list->sort_column;
  bool by_name = c == col_name;
  // Names: the last chunk first, so that each stable sweep refines the one before it.
  u32 sweeps = by_name ? 4 : 1;
  for (u32 s = 0; s < sweeps; ++s) {
    u32 chunk = sweeps - 1 - s;
    for (u32 i = 0; i < n; ++i) {
      u32 row = list->order_a[i];
      u64 key = by_name ? name_key(model::proc_name(table, row), chunk) : value_of(table, row, c);
      list->keys_a[i] = order_key(key, by_name, down);
    }
    radix(list->keys_a, list->order_a, list->keys_b, list->order_b, n, passes_for(c));
  }
}

u64 row_value(const model::ProcTable* table, u32 row, u32 column) {
  switch (column) {
    case col_pid: return table->pid[row];
    case col_cpu: return table->cpu[row];
    case col_memory: return table->working_set[row];
    case col_disk: return disk_rate(table->read_rate[row], table->write_rate[row], model::disk_unreported(table, row));
    case col_gpu: return table->gpu[row];
    case col_vram: return table->gpu_memory[row];
    case col_threads: return table->thread_count[row];
    default: return table->tcp[row];
  }
}

}  // namespace

void init(ListState* list) {
  __builtin_memset(list, 0, sizeof *list);
  list->selected = none;
  list->selected_handle = no_handle;
  list->sort_column = col_cpu;
  list->descending = 1;
}

// ---- Columns and geometry.

mem::Bytes title(u32 column) {
  switch (column) {
    case col_name: return mem::lit("Name");
    case col_pid: return mem::lit("PID");
    case col_cpu: return mem::lit("CPU");
    case col_memory: return mem::lit("Memory");
    case col_disk: return mem::lit("Disk");
    case col_gpu: return mem::lit("GPU");
    case col_vram: return mem::lit("VRAM");
    case col_threads: return mem::lit("Threads");
    default: return mem::lit("TCP");
  }
}

u32 column_width(u32 column) {
  constexpr u32 widths[columns] = {0, 72, 76, 96, 96, 68, 84, 76, 60};
  return column < columns ? widths[column] : 0;
}

bool rate_column(u32 column) { return column == col_cpu || column == col_disk || column == col_gpu; }

u32 fixed_width(u32 mask) {
  u32 sum = 0;
  for (u32 i = 1; i < columns; ++i)
    if (mask & (1u << i)) sum += column_width(i);
  return sum;
}

u32 drop_order(u32 k) {
  constexpr u32 order[6] = {col_tcp, col_threads, col_vram, col_gpu, col_disk, col_pid};
  return order[k < 6 ? k : 5];
}

u32 columns_shown(i64 width) {
  u32 mask = all_columns;
  for (u32 k = 0; k < 6; ++k)
    if (name_width(width, mask) < name_least) mask &= ~(1u << drop_order(k));
  return mask;
}

i64 name_width(i64 width, u32 mask) { return width - static_cast<i64>(fixed_width(mask)); }

i64 column_left(i64 left, i64 width, u32 mask, u32 column) {
  if (column == col_name) return left;
  i64 x = left + name_width(width, mask);
  for (u32 i = 1; i < column && i < columns; ++i)
    if (mask & (1u << i)) x += column_width(i);
  return x;
}

// ---- Ordering and filtering.

u8 fold(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c | 0x20) : c; }

u64 name_key(mem::Bytes name, u32 chunk) {
  u64 key = 0;
  for (u64 i = 0; i < 8; ++i) {
    u64 at = u64{chunk} * 8 + i;
    u8 c = at < name.len ? fold(name.ptr[at]) : 0;
    key = key << 8 | c;
  }
  return key;
}

u32 disk_rate(u32 read, u32 write, bool not_measured) {
  if (not_measured) return 0;
  return bits::min32(u64{read} + write, 0xFFFFFFFFu);
}

u64 value_of(const model::ProcTable* table, u32 row, u32 column) {
  if (column == col_name) return name_key(model::proc_name(table, row), 0);
  return row_value(table, row, column);
}

u32 sort_column(u32 column, u32 measuring) { return measuring != 0 && rate_column(column) ? col_name : column; }

u64 order_key(u64 key, bool name, bool descending) {
  if (!descending) return key;
  return name ? ~key : key ^ 0xFFFFFFFFull;
}

u32 passes_for(u32 column) { return column == col_name ? 8 : 4; }

u32 digit(u64 key, u32 pass) { return static_cast<u32>(key >> (8 * (pass & 7))) & 0xFF; }

void radix_pass(const u64* keys, const u16* rows, u64* keys_out, u16* rows_out, u32 count, u32 pass) {
  u32 counts[256] = {};
  for (u32 i = 0; i < count; ++i) ++counts[digit(keys[i], pass)];
  u32 sum = 0;
  for (u32& c : counts) {
    u32 n = c;
    c = sum;
    sum += n;
  }
  for (u32 i = 0; i < count; ++i) {
    u32 at = counts[digit(keys[i], pass)]++;
    keys_out[at] = keys[i];
    rows_out[at] = rows[i];
  }
}

void radix(u64* keys_a, u16* rows_a, u64* keys_b, u16* rows_b, u32 count, u32 passes) {
  for (u32 r = 0; r < passes / 2; ++r) {
    radix_pass(keys_a, rows_a, keys_b, rows_b, count, 2 * r);
    radix_pass(keys_b, rows_b, keys_a, rows_a, count, 2 * r + 1);
  }
}

bool matches(mem::Bytes name, mem::Bytes filter) {
  if (filter.len > name.len) return false;
  for (u64 start = 0; start + filter.len <= name.len; ++start) {
    u64 i = 0;
    while (i < filter.len && fold(name.ptr[start + i]) == fold(filter.ptr[i])) ++i;
    if (i == filter.len) return true;
  }
  return false;
}

void rebuild(ListState* list, const model::ProcTable* table) {
  u32 n = bits::min32(table->count, max_rows);
  sort_rows(list, table, n);
  __builtin_memset(list->column_max, 0, sizeof list->column_max);
  list->processes = 0;
  list->shown = 0;
  u64 cpu_sum = 0;
  mem::Bytes filter = filter_text(list);
  for (u32 i = 0; i < n; ++i) {
    u32 row = list->order_a[i];
    if (table->pid[row] == 0) continue;
    ++list->processes;
    cpu_sum += table->cpu[row];
    for (u32 c = col_cpu; c < columns; ++c)
      list->column_max[c] = bits::max32(list->column_max[c], row_value(table, row, c));
    u8 buffer[model::name_max];
    if (matches(row_name(table, row, buffer), filter)) list->rows[list->shown++] = static_cast<u16>(row);
  }
  list->cpu_total = bits::min32(cpu_sum, cpu_cap);
  list->selected = none;
  if (list->selected_handle == no_handle) return;
  u32 row = model::proc_row(table, list->selected_handle);
  if (row == model::no_row) {
    list->selected_handle = no_handle;
    return;
  }
  list->selected = position_of(list, row);
}

u32 row_at(const ListState* list, u32 position) { return list->rows[bits::min32(position, max_rows - 1)]; }

u32 select_at(ListState* list, const model::ProcTable* table, u32 position) {
  if (position >= list->shown) {
    list->selected = none;
    list->selected_handle = no_handle;
    return none;
  }
  u32 row = list->rows[position];
  u32 slot = table->slot[row];
  list->selected = position;
  list->selected_handle = model::handle_make(slot, table->generation[slot]);
  return position;
}

u8 next_descending(u32 current, u32 descending, u32 column) {
  if (column == current) return descending ? 0 : 1;
  return column == col_name ? 0 : 1;
}

void sort_by(ListState* list, u32 column) {
  list->descending = next_descending(list->sort_column, list->descending, column);
  list->sort_column = static_cast<u8>(column < columns ? column : col_tcp);
}

void set_view(ListState* list, u32 column, mem::Bytes text) {
  u64 n = bits::min64(text.len, filter_max);
  mem::copy(mem::Slice{list->filter, n}, text);
  list->filter_length = static_cast<u16>(n);
  list->sort_column = static_cast<u8>(column < columns ? column : col_tcp);
  list->descending = 1;
  list->top = 0;
}

u32 shown_most(u32 a, u32 b) { return bits::min32(a, b); }

// ---- Filter typing.

bool printable(u32 c) { return c >= 32 && c <= 126; }

u32 typed(ListState* list, u32 c) {
  if (list->filter_length >= typed_max || !printable(c)) return 0;
  list->filter[list->filter_length++] = static_cast<u8>(c);
  return 1;
}

u32 erased(ListState* list) {
  if (list->filter_length == 0) return 0;
  --list->filter_length;
  return 1;
}

u32 cleared(ListState* list) {
  u32 held = list->filter_length != 0;
  list->filter_length = 0;
  return held;
}

mem::Bytes filter_text(const ListState* list) {
  return mem::Bytes(list->filter, bits::min32(list->filter_length, filter_max));
}

// ---- Cells.

mem::Bytes cut_mark() { return mem::lit("..."); }

u64 tenths_of(u64 value) { return words::rounded(value, 10); }

u64 mib_tenths(u64 pages) { return words::rounded(pages * 10, 256); }

void cell_text(const model::ProcTable* table, u32 row, u32 column, words::Text* text) {
  text->len = 0;
  switch (column) {
    case col_name: {
      u8 buffer[filter_max + 3];
      words::put(text, mem::Bytes(buffer, shown_name(table, row, buffer)));
      return;
    }
    case col_cpu:
    case col_gpu:
      words::put_tenths(text, tenths_of(row_value(table, row, column)));
      words::put(text, mem::lit(" %"));
      return;
    case col_memory:
      words::put_tenths(text, mib_tenths(table->working_set[row]));
      words::put(text, mem::lit(" MB"));
      return;
    case col_disk:
      if (model::disk_unreported(table, row)) words::put(text, mem::lit("-"));
      else words::byte_rate(text, static_cast<u32>(row_value(table, row, column)));
      return;
    case col_vram:
      words::put_u64(text, u64{table->gpu_memory[row]} * 4);
      words::put(text, mem::lit(" MB"));
      return;
    default: words::put_u64(text, row_value(table, row, column)); return;
  }
}

u64 shown_name(const model::ProcTable* table, u32 row, u8 (&buffer)[filter_max + 3]) {
  u64 n = model::proc_full_name(table, row, mem::Slice{buffer, model::name_max});
  if (!model::proc_name_cut(table, row)) return n;
  mem::copy(mem::Slice{buffer + n, 3}, cut_mark());
  return n + 3;
}

u32 tint_alpha(u32 value, u32 column_max) {
  u64 v = bits::min64(value, column_max);
  return static_cast<u32>(v * 16 / bits::max64(column_max, 1) * 10);
}

u32 blend(u32 base, u32 tint, u32 alpha) {
  u32 a = bits::min32(alpha, 255);
  u32 out = 0;
  for (u32 shift = 0; shift < 24; shift += 8) {
    u32 b = (base >> shift) & 0xFF, t = (tint >> shift) & 0xFF;
    out |= ((b * (255 - a) + t * a + 127) / 255) << shift;
  }
  return out;
}

// ---- Measuring state.

u8 opened_measure(u32 answer) { return answer == 2 ? rates_old_table : rates_measuring; }

u8 after_table(u32 state, bool lacks_rates) {
  if (!lacks_rates) return rates_valid;
  return state == rates_old_table ? rates_old_table : rates_measuring;
}

bool dashed(u32 state, u32 column) { return state == rates_old_table && rate_column(column); }

u8 spin_next(u32 phase) { return static_cast<u8>((phase + 1) % 12); }

u32 spin_phase(u32 phase) { return (phase / 4) % 3; }

bool due(u32 a, u32 b) { return u64{a} + b >= 2; }

// ---- Scrolling and selection arithmetic.

u64 clamp_top(u64 top, u64 count, u64 visible) {
  u64 last = count > visible ? count - visible : 0;
  return bits::min64(top, last);
}

u64 scroll_by(u64 top, i64 n, u64 count, u64 visible) {
  // top is at most a row count, so the signed sum cannot overflow for any step a caller can make.
  i64 wide = static_cast<i64>(bits::min64(top, u64{1} << 62)) + n;
  return clamp_top(wide < 0 ? 0 : static_cast<u64>(wide), count, visible);
}

i64 step_at(u64 position, u64 count, bool down) {
  if (count == 0) return -1;
  if (position >= none) return 0;
  u64 next = down ? position + 1 : (position > 0 ? position - 1 : 0);
  return static_cast<i64>(bits::min64(next, count - 1));
}

u64 keep_visible(u64 top, u64 position, u64 visible) {
  if (position >= none) return top;
  if (position < top) return position;
  if (position >= top + visible) return position + 1 - bits::max64(visible, 1);
  return top;
}

u64 thumb_h(u64 visible, u64 total, u64 track, u64 least) {
  u64 h = scaled(track, visible, total);
  return bits::max64(bits::min64(h, track), least);
}

u64 thumb_y(u64 top, u64 total, u64 visible, u64 track, u64 thumb) {
  u64 room = track > thumb ? track - thumb : 0;
  u64 range = total > visible ? total - visible : 0;
  return scaled(room, top, range);
}

i64 align_down(i64 a, i64 m) {
  if (m <= 0) m = 1;
  i64 q = a / m;
  if (a % m != 0 && a < 0) --q;
  return q * m;
}

i64 align_up(i64 a, i64 m) {
  if (m <= 0) m = 1;
  return align_down(a + m - 1, m);
}

i64 wheel_total(i32 kept, i32 delta) {
  if ((kept ^ delta) >= 0) return i64{kept} + delta;
  return delta;
}

i64 wheel_rows(i64 total) { return -(total / 40); }

i64 wheel_take(ListState* list, i32 delta) {
  i64 total = wheel_total(list->wheel_kept, delta);
  i64 rows = wheel_rows(total);
  list->wheel_kept = static_cast<i32>(total + rows * 40);
  return rows;
}

}  // namespace proclist

namespace proclist {

// ---- Actions on a process

mem::Bytes item_text(u32 item) {
  switch (item) {
    case item_location: return mem::lit("Open file location");
    case item_copy: return mem::lit("Copy path");
    case item_end: return mem::lit("End process");
  }
  return mem::Bytes();
}

u32 item_bit(u32 item) { return item >= 1 && item <= 3 ? 1u << (item - 1) : 0; }

mem::Bytes why_text(u32 reason) {
  switch (reason) {
    case 1: return mem::lit("System Idle Process");
    case 2: return mem::lit("Vimbrel itself");
    case 3: return mem::lit("demo process");
    case 4: return mem::lit("already ended");
    case 5: return mem::lit("already exiting");
    case 6: return mem::lit("system process");
    case 7: return mem::lit("protected process");
    case 8: return mem::lit("needs administrator");
    case 9: return mem::lit("access denied");
    case 10: return mem::lit("path too long");
  }
  return mem::Bytes();
}

mem::Bytes critical_name(u32 i) {
  switch (i) {
    case 0: return mem::lit("smss.exe");
    case 1: return mem::lit("csrss.exe");
    case 2: return mem::lit("wininit.exe");
    case 3: return mem::lit("services.exe");
    case 4: return mem::lit("lsass.exe");
    case 5: return mem::lit("winlogon.exe");
  }
  return mem::Bytes();
}

bool same_folded(mem::Bytes a, mem::Bytes b) {
  if (a.len != b.len) return false;
  for (u64 i = 0; i < a.len; ++i)
    if (fold(a.ptr[i]) != fold(b.ptr[i])) return false;
  return true;
}

bool critical(u32 pid, mem::Bytes name) {
  if (pid == 4) return true;
  for (u32 i = 0; i < critical_names; ++i)
    if (same_folded(name, critical_name(i))) return true;
  return false;
}

u32 refused_why(u32 facts, u32 access_mask) {
  if (facts & fact_idle) return 1;
  if (facts & fact_own) return 2;
  if (facts & fact_demo) return 3;
  if (facts & fact_ended) return 4;
  if (facts & fact_exiting) return 5;
  if (!(facts & access_mask)) return 0;
  if (facts & fact_system) return 6;
  if (facts & fact_protected) return 7;
  return (facts & fact_elevated) ? 9 : 8;
}

u32 why_end(u32 facts) { return refused_why(facts, 0x300); }

u32 why_path(u32 facts) {
  const u32 why = refused_why(facts & ~u32{fact_own | fact_exiting}, 0x500);
  return why == 0 && (facts & fact_path_long) ? 10 : why;
}

u32 why_of(u32 item, u32 facts) {
  if (item == item_end) return why_end(facts);
  if (item == item_location || item == item_copy) return why_path(facts);
  return 0;
}

u32 facts_mask(u32 facts) { return (why_path(facts) == 0 ? 3u : 0u) | (why_end(facts) == 0 ? 4u : 0u); }

u32 chosen(u32 mask, u32 item) { return (mask & item_bit(item)) ? item : 0; }

u32 item_label(u32 item, u32 reason, u8* buffer64) {
  words::Text t{};
  words::put(&t, item_text(item));
  if (reason) {
    words::put(&t, mem::lit(" ("));
    words::put(&t, why_text(reason));
    words::put(&t, mem::lit(")"));
  }
  const u32 n = t.len < label_most ? t.len : label_most;
  __builtin_memcpy(buffer64, t.bytes, n);
  return n;
}

u32 refusal(bool demo, bool alive, bool same) {
  if (demo) return result_demo;
  if (!alive) return result_ended;
  return same ? 0u : u32{result_reused};
}

u32 unavailable(u32 identity, bool is_own, u32 reason) {
  if (identity) return identity;
  if (is_own) return result_own;
  return reason == 5 ? result_exiting : result_denied;
}

bool own(u32 pid, u32 own_pid, u32 collector_pid) {
  return pid == own_pid || (collector_pid != 0 && pid == collector_pid);
}

bool same_target(bool still_there, u32 pid, u32 start, u32 table_pid, u32 table_start) {
  return still_there && pid == table_pid && start == table_start;
}

u32 open_error(u32 error) { return error == error_access_denied ? result_denied : result_ended; }

u32 action_error(u32 error, bool exiting) {
  if (error == error_access_denied) return exiting ? result_exiting : result_denied;
  return result_failed;
}

u32 path_error(u32 error) { return error == error_insufficient_buffer ? result_path_long : result_denied; }

u32 select_line(const u16* path, u32 length, u16* buffer, u32 capacity) {
  // "\\?\X:" keeps a drive path; the file browser takes the path without the prefix.
  const bool long_drive = length > 5 && path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\' &&
                          path[4] >= 32 && path[4] <= 126 && path[5] == ':';
  const u32 skip = long_drive ? 4 : 0;
  const u16* rest = path + skip;
  const u32 n = length - skip;
  if (n == 0) return 0;
  for (u32 i = 0; i < n; ++i)
    if (rest[i] == '"' || rest[i] == '?' || rest[i] < 32) return 0;
  const mem::Bytes prefix = mem::lit("explorer.exe /select,");
  const u64 units = prefix.len + 1 + n + 1;  // the prefix, the quotes and the path
  if (units >= capacity) return 0;
  u32 at = 0;
  for (u64 i = 0; i < prefix.len; ++i) buffer[at++] = prefix.ptr[i];
  buffer[at++] = '"';
  for (u32 i = 0; i < n; ++i) buffer[at++] = rest[i];
  buffer[at++] = '"';
  buffer[at] = 0;
  return at;
}

u32 digit_count(u32 value) {
  u32 n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

namespace {

// The sentences that name the system the program runs on and what it does: each build speaks of its own.
struct SystemWords {
  mem::Bytes warning, failed, exiting, system, protected_process, needs_rights, denied;
};

SystemWords system_words() {
#if defined(_WIN32)
  return SystemWords{
      mem::lit(" Windows needs this process: ending it can make the system unstable or shut it down."),
      mem::lit("Windows could not do this for the process."),
      mem::lit("The process is already exiting: Windows is ending it. Nothing was done."),
      mem::lit("This is a Windows system process: Windows does not let Vimbrel do this to it."),
      mem::lit("This is a protected process: Windows only lets its own components do this to it."),
      mem::lit("Windows needs administrator rights for this: start Vimbrel as administrator."),
      mem::lit("Access denied: Windows does not let Vimbrel do this to the process."),
  };
#else
  return SystemWords{
      mem::lit(" The system needs this process: ending it can make the system unstable or shut it down."),
      mem::lit("Linux could not do this for the process."),
      mem::lit("The process is already exiting: Linux is ending it. Nothing was done."),
      mem::lit("This is a system process (init or a kernel thread): Linux does not let Vimbrel do this to it."),
      mem::lit("This is a kernel thread: it has no program file, and only the kernel can end it."),
      mem::lit("The process belongs to another user: only that user or root can do this to it."),
      mem::lit("Access denied: Linux does not let Vimbrel do this to the process."),
  };
#endif
}

}  // namespace

u32 confirm_text(mem::Bytes name, u32 pid, bool warning, u8* buffer640) {
  u32 at = 0;
  auto put = [&](mem::Bytes b) {
    for (u64 i = 0; i < b.len && at < message_most; ++i) buffer640[at++] = b.ptr[i];
  };
  put(mem::lit("End \""));
  put(mem::Bytes(name.ptr, name.len < name_most ? name.len : name_most));
  put(mem::lit("\" (PID "));
  u8 digits[10];
  u32 n = digit_count(pid);
  for (u32 i = 0, v = pid; i < n; ++i, v /= 10) digits[n - 1 - i] = static_cast<u8>('0' + v % 10);
  put(mem::Bytes(digits, n));
  put(mem::lit(")? Anything it has not saved is lost."));
  if (warning) put(system_words().warning);
  return at;
}

mem::Bytes result_text(u32 code) {
  switch (code) {
    case 3: return mem::lit("The process ended and its PID now belongs to another process. Nothing was done.");
    case 4: return mem::lit("The process has already ended.");
    case 6: return system_words().failed;
    case 8: return mem::lit("These are demo processes: there is no real process to act on.");
    case 9: return mem::lit("Vimbrel does not end itself or its collector: close the window instead.");
    case 10: return mem::lit("The process changed while the menu was open. Nothing was done.");
    case 11: return mem::lit("The clipboard is busy: another program holds it. Try again.");
    case 12: return mem::lit("The path of the program is too long to show.");
    case 13: return mem::lit("The program file no longer exists.");
    case 14: return mem::lit("The System Idle Process is not a program: there is nothing to open, copy or end.");
    case 15: return system_words().exiting;
  }
  return mem::Bytes();
}

mem::Bytes denied_text(u32 reason) {
  const SystemWords w = system_words();
  switch (reason) {
    case 6: return w.system;
    case 7: return w.protected_process;
    case 8: return w.needs_rights;
  }
  return w.denied;
}

mem::Bytes result_message(u32 code, u32 reason) { return code == result_denied ? denied_text(reason) : result_text(code); }

bool shows_message(u32 code) { return code >= 3 && code != result_refused_item; }

}  // namespace proclist
