#include "sampling/ring.h"

namespace ring {
namespace {

// Visits every stored field of row i as (column entry, row field); byte 23 of the row is not among them.
template <typename RingT, typename RowT, typename Op>
void each_field(RingT* r, u32 i, RowT* row, Op op) {
  op(r->seconds[i], row->seconds);
  op(r->load[i], row->load);
  op(r->processes[i], row->processes);
  op(r->threads[i], row->threads);
  op(r->memory_mib[i], row->memory_mib);
  op(r->commit_mib[i], row->commit_mib);
  op(r->power[i], row->power);
  op(r->power_flags[i], row->power_flags);
  op(r->core_saturated[i], row->core_saturated);
  op(r->core_load[i], row->core_load);
  op(r->gpu_load[i], row->gpu_load);
  op(r->gpu_dedicated_mib[i], row->gpu_dedicated_mib);
  op(r->disk_read[i], row->disk_read);
  op(r->disk_write[i], row->disk_write);
  op(r->disk_figure[i], row->disk_figure);
  op(r->receive[i], row->receive);
  op(r->send[i], row->send);
  op(r->kernel[i], row->kernel);
  op(r->clock_mhz[i], row->clock_mhz);
  op(r->handles[i], row->handles);
  op(r->uptime[i], row->uptime);
  op(r->modified_mib[i], row->modified_mib);
  op(r->standby_mib[i], row->standby_mib);
  op(r->core_kernel[i], row->core_kernel);
  op(r->disk_busy[i], row->disk_busy);
  op(r->gpu_engines[i], row->gpu_engines);
  op(r->gpu_shared_mib[i], row->gpu_shared_mib);
}

}  // namespace

u32 clamp_cap(u32 capacity) { return capacity < 1 ? 1 : capacity > max_rows ? max_rows : capacity; }

void init(Ring* r, u32 capacity) {
  __builtin_memset(r, 0, sizeof *r);
  r->capacity = clamp_cap(capacity);
}

u32 wrap_next(u32 position, u32 capacity) { return position + 1 >= capacity ? 0 : position + 1; }

u32 count_after(u32 count, u32 capacity) { return count + 1 < capacity ? count + 1 : capacity; }

u32 push(Ring* r, const Row* row) {
  // Indexes are kept inside the arrays even for a record that init never touched.
  u32 cap = clamp_cap(r->capacity);
  u32 i = r->next % cap;
  each_field(r, i, row, [](auto& column, const auto& field) {
    static_assert(sizeof column == sizeof field);
    __builtin_memcpy(&column, &field, sizeof field);
  });
  r->next = wrap_next(i, cap);
  r->count = count_after(r->count < cap ? r->count : cap, cap);
  return r->count;
}

u32 back_row(u32 position, u32 capacity, u32 n) {
  u32 cap = clamp_cap(capacity);
  u32 back = n < cap - 1 ? n : cap - 1;
  return (position % cap + cap - back - 1) % cap;
}

bool at(const Ring* r, u32 n, Row* row) {
  *row = Row{};
  each_field(r, back_row(r->next, r->capacity, n), row,
             [](const auto& column, auto& field) { __builtin_memcpy(&field, &column, sizeof field); });
  return n < r->count;
}

}  // namespace ring
