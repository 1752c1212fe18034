#include "sampling/collect.h"

#include "base/bits.h"
#include "platform/devices.h"
#include "platform/hwinfo.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/pdh.h"
#include "platform/power.h"
#include "platform/sysinfo.h"
#include "platform/volume.h"
#include "sampling/hw.h"
#include "sampling/ntinfo.h"

namespace collect {

namespace {

constexpr u64 page = 4096;

using bits::max64;
using bits::min64;
using bits::sat32;

template <typename T>
void zero(T* record) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(record), sizeof(T)}, 0);
}

template <typename T>
mem::Bytes bytes_of(const T& record) {
  return mem::Bytes(reinterpret_cast<const u8*>(&record), sizeof(T));
}

// The counter in ms, exact for any frequency.
u64 ms_of(const State* s, u64 counter) {
  u64 frequency = s->frequency ? s->frequency : 1;
  return static_cast<u64>(static_cast<unsigned __int128>(counter) * 1000 / frequency);
}

void time_slot(State* s, u32 slot, u64 start) { s->timings[slot] = micros_since(s, start); }

// Runs the work at the highest thread priority when the system lets the collector raise it.
struct Raised {
  i32 before;
  bool raised;
  explicit Raised(const State* s)
      : before(sysinfo::thread_priority()),
        raised(s->raise && sysinfo::set_thread_priority(sysinfo::priority_highest)) {}
  ~Raised() {
    if (raised) sysinfo::set_thread_priority(before);
  }
};

}  // namespace

mem::Bytes disk_path(u32 i) {
  switch (i) {
    case 0: return mem::lit("\\PhysicalDisk(*)\\Disk Read Bytes/sec");
    case 1: return mem::lit("\\PhysicalDisk(*)\\Disk Write Bytes/sec");
    case 2: return mem::lit("\\PhysicalDisk(*)\\% Idle Time");
    case 3: return mem::lit("\\Memory\\Modified Page List Bytes");
    case 4: return mem::lit("\\Memory\\Standby Cache Normal Priority Bytes");
    case 5: return mem::lit("\\Memory\\Standby Cache Reserve Bytes");
    case 6: return mem::lit("\\Memory\\Standby Cache Core Bytes");
    case 7: return mem::lit("\\Processor Information(_Total)\\% Processor Performance");
    default: return mem::Bytes();
  }
}

mem::Bytes gpu_path(u32 i) {
  switch (i) {
    case 0: return mem::lit("\\GPU Adapter Memory(*)\\Dedicated Usage");
    case 1: return mem::lit("\\GPU Adapter Memory(*)\\Shared Usage");
    case 2: return mem::lit("\\GPU Engine(*)\\Utilization Percentage");
    case 3: return mem::lit("\\GPU Process Memory(*)\\Local Usage");
    default: return mem::Bytes();
  }
}

// ---- Clocks and small helpers.

u64 qpc() { return os::ticks(); }
u64 now_ms(const State* s) { return ms_of(s, qpc()); }

u32 micros_since(const State* s, u64 start) {
  u64 now = qpc();
  u64 frequency = s->frequency ? s->frequency : 1;
  u64 elapsed = now > start ? now - start : 0;
  return sat32(static_cast<u64>(static_cast<unsigned __int128>(elapsed) * 1000000 / frequency));
}

void sleep(u32 ms) { os::sleep_ms(ms); }

void sample_clear(Sample* sample) { zero(sample); }

void procs_reset(ProcSample* procs) {
  zero(&procs->buffer);
  procs->head.used = 0;
}

u32 procs_used(const ProcSample* procs) { return sat32(min64(procs->head.used, procs->buffer.size)); }

// ---- Retained buffers.

u64 rounded(u64 need, u64 cap) {
  // Capped first, so the headroom cannot overflow whatever the need.
  u64 n = min64(need, cap);
  return min64((n + n / 16 + page - 1) / page * page, cap);
}

void buffer_fit(Buffer* b, u64 size) {
  if (size == b->size) return;
  if (b->block) os::pages_release(b->block, b->block_bytes);
  b->data = nullptr;
  b->block = nullptr;
  b->size = b->block_bytes = 0;
  if (size == 0) return;
  void* block = os::pages_reserve(size);
  if (!block) return;  // left empty: the next query answers "too small" and tries again
  b->block = block;
  b->block_bytes = size;
  b->data = static_cast<u8*>(block);
  b->size = size;
}

bool grow(Buffer* b, u64 need, u64 cap) {
  u64 size = min64(max64(rounded(need, cap), (b->size + page) / page * page), cap);
  if (size <= b->size) return false;
  buffer_fit(b, size);
  return b->size == size;
}

void note_use(Buffer* b, u32 used) {
  b->used = used;
  bool under_half = 2 * rounded(used, 0xFFFFFFFFull) < b->size;
  b->strikes = under_half ? static_cast<u8>(b->strikes < 30 ? b->strikes + 1 : 30) : 0;
}

void buffer_trim(Buffer* b, u64 cap) {
  // The strikes stay at 30 after the shrink; the next note_use recomputes them against the new size.
  if (b->strikes >= 30) buffer_fit(b, rounded(b->used, cap));
}

// ---- Counter sets.

void open_disk_set(State* s, u32 set) {
  close_disk_set(s, set);
  u64 q = pdh::open_query(s->reader);
  if (!q) return;
  for (u32 i = 0; i < counter_arrays; ++i) s->disk_counter[set][i] = pdh::add_counter(q, disk_path(i));
  s->performance_counter[set] = pdh::add_counter(q, disk_path(counter_arrays));
  // Collected once now, so that its rate counters have a first value before the set becomes active.
  pdh::collect(q);
  s->disk_query[set] = q;
}

void close_disk_set(State* s, u32 set) {
  pdh::close_query(s->disk_query[set]);
  s->disk_query[set] = 0;
  for (u64& c : s->disk_counter[set]) c = 0;
  s->performance_counter[set] = 0;
}

void open_gpu_set(State* s, u32 set) {
  close_gpu_set(s, set);
  u64 q = pdh::open_query(s->reader);
  if (!q) return;
  for (u32 i = 0; i < 4; ++i) s->gpu_counter[set][i] = pdh::add_counter(q, gpu_path(i));
  pdh::collect(q);
  s->gpu_query[set] = q;
}

void close_gpu_set(State* s, u32 set) {
  pdh::close_query(s->gpu_query[set]);
  s->gpu_query[set] = 0;
  for (u64& c : s->gpu_counter[set]) c = 0;
}

void open_energy(State* s) {
  close_energy(s);
  u64 q = pdh::open_query(s->reader);
  if (!q) return;
  s->energy_counter = pdh::add_counter(q, mem::lit("\\Energy Meter(*)\\Energy"));
  s->power_counter = pdh::add_counter(q, mem::lit("\\Power Meter(*)\\Power"));
  pdh::collect(q);
  s->energy_query = q;
}

void close_energy(State* s) {
  pdh::close_query(s->energy_query);
  s->energy_query = s->energy_counter = s->power_counter = 0;
}

void open_thermal(State* s) {
  close_thermal(s);
  u64 q = pdh::open_query(s->reader);
  if (!q) return;
  s->thermal_counter = pdh::add_counter(q, mem::lit("\\Thermal Zone Information(*)\\High Precision Temperature"));
  s->thermal_query = q;
}

void close_thermal(State* s) {
  pdh::close_query(s->thermal_query);
  s->thermal_query = s->thermal_counter = 0;
}

void read_zones(State* s) {
  u32 bytes = 0, count = 0;
  mem::Slice scratch{s->scratch, scratch_bytes};
  if (pdh::collect(s->thermal_query) != pdh::success ||
      pdh::array(s->thermal_counter, pdh::fmt_long, scratch, &bytes, &count) != pdh::success) {
    bytes = count = 0;
  }
  heat::zone_decode(mem::Bytes(s->scratch, min64(bytes, scratch_bytes)), reinterpret_cast<u64>(s->scratch), count,
                    &s->readings);
}

u64 counter_value(u64 counter, u32 format) {
  u32 status = 0;
  i64 value = 0;
  if (pdh::value(counter, format, &status, &value) != pdh::success) return 0;
  if (status != pdh::status_valid && status != pdh::status_new) return 0;
  return ntinfo::nonneg(value);
}

void read_compression(State* s) {
  if (!s->compression_query) {
    s->compression_query = pdh::open_query(s->reader);
    s->compression_counter =
        pdh::add_counter(s->compression_query, mem::lit("\\Process(Memory Compression)\\Working Set"));
  }
  bool collected = s->compression_query && pdh::collect(s->compression_query) == pdh::success;
  u64 value = collected ? counter_value(s->compression_counter, pdh::fmt_large) : 0;
  s->hardware.compressed = value;
  if (collected && value != 0) s->hardware.flags |= hw_compression;
}

void read_power(State* s, Sample* sample) {
  sysrec::BatteryState battery{};
  u64 drain = power::battery_state(s->reader, &battery) ? ntinfo::battery_drain(bytes_of(battery)) : ntinfo::none;
  sample->power_read = 1;
  pdh::collect(s->energy_query);
  mem::Slice scratch{s->scratch, scratch_bytes};
  u64 base = reinterpret_cast<u64>(s->scratch);
  u32 bytes = 0, count = 0;
  if (pdh::raw_array(s->energy_counter, scratch, &bytes, &count) != pdh::success) bytes = count = 0;
  mem::Bytes energy(s->scratch, min64(bytes, scratch_bytes));
  sample->energy_mask = ntinfo::energy_decode(energy, base, count, sample->energy, sample->stamps);
  ntinfo::energy_wraps(energy, base, count, sample->wraps);
  power::battery_block(s->reader, sample->time_ms, &sample->batteries);
  if (pdh::array(s->power_counter, pdh::fmt_large, scratch, &bytes, &count) != pdh::success) bytes = count = 0;
  u64 meters = ntinfo::meter_milliwatt(mem::Bytes(s->scratch, min64(bytes, scratch_bytes)), base, count);
  // Power meters win over the battery's drain.
  u64 value = meters != ntinfo::none ? meters : drain;
  sample->battery_alone = meters == ntinfo::none && drain != ntinfo::none;
  if (value != ntinfo::none) {
    sample->power_flags |= power_valid;
    sample->power = sat32(value);
  }
}

// ---- Graphics adapters and engines.

void read_directx(State* s) {
  gpu::AdapterList* list = &s->gpu_adapters;
  for (u32 i = 0; i < 64; ++i) {
    devices::GpuEntry e{};
    if (!devices::gpu_entry(s->reader, i, &e)) break;
    if (e.luid == 0 || list->listed >= gpu::listed_max) continue;
    u32 n = list->listed++;
    list->luid[n] = e.luid;
    list->dedicated[n] = e.dedicated;
    list->last_seen[n] = e.last_seen;
    list->type[n] = e.type;
    list->vendor[n] = e.vendor;
    list->device[n] = e.device;
    __builtin_memcpy(list->description[n], e.description, sizeof list->description[n]);
  }
}

void read_display_class(State* s) {
  gpu::AdapterList* list = &s->gpu_adapters;
  for (u32 i = 0; i < 64; ++i) {
    devices::GpuEntry e{};
    if (!devices::display_entry(s->reader, i, &e)) break;
    u16 wide[64];
    for (u32 k = 0; k < 64; ++k) wide[k] = e.matching_id[k];
    u8 id[32];
    u64 n = ntinfo::name_ascii(mem::Bytes(reinterpret_cast<const u8*>(wide), sizeof wide), 0, mem::Slice{id, 32});
    i32 vendor = gpu::id_after(mem::Bytes(id, n), mem::lit("ven_"));
    i32 device = gpu::id_after(mem::Bytes(id, n), mem::lit("dev_"));
    if (vendor < 0 || e.dedicated == 0 || list->display >= gpu::listed_max) continue;
    u32 at = list->display++;
    list->display_memory[at] = e.dedicated;
    list->display_vendor[at] = static_cast<u32>(vendor);
    list->display_device[at] = device < 0 ? 0 : static_cast<u32>(device);
  }
}

void read_adapters(State* s) {
  s->gpu_adapters = gpu::AdapterList{};
  read_directx(s);
  read_display_class(s);
}

void read_gpu(State* s, Sample* sample) {
  const u64 cap = gpu_cap;
  u32 set = s->active_set;
  pdh::collect(s->gpu_query[set]);
  gpu::table_reset(&s->gpu_table);
  buffer_trim(&s->gpu, cap);
  u32 most = 0;
  for (u32 a = 0; a < 4; ++a) {
    u64 counter = s->gpu_counter[set][a];
    u32 bytes = 0, count = 0;
    auto read = [&]() {
      mem::Slice into{s->gpu.data, min64(s->gpu.size, cap)};
      return a == 2 ? pdh::raw_array(counter, into, &bytes, &count)
                    : pdh::array(counter, pdh::fmt_large, into, &bytes, &count);
    };
    u32 answer = read();
    if (answer == pdh::more_data && grow(&s->gpu, bytes, cap)) answer = read();
    bool ok = answer == pdh::success;
    u32 used = ok ? sat32(min64(bytes, s->gpu.size)) : 0;
    gpu::build(a, ok, s->gpu.data, used, reinterpret_cast<u64>(s->gpu.data), ok ? count : 0, &s->gpu_table,
               &sample->gpu);
    most = used > most ? used : most;
  }
  note_use(&s->gpu, most);
}

// ---- Temperatures and drives.

i16 read_gpu_temp(State* s, u64 luid) {
  u8 record[sizeof(sysrec::AdapterPerf)] = {};
  u32 bytes = devices::gpu_perf(s->reader, luid, mem::Slice{record, sizeof record});
  return heat::from_perf(mem::Bytes(record, bytes));
}

i16 drive_temp(State* s, u32 n) {
  u8 answer[sysrec::health_log_bytes];
  u32 bytes = devices::drive_health_log(s->reader, n, mem::Slice{answer, sizeof answer});
  i16 t = heat::from_health(mem::Bytes(answer, bytes));
  if (heat::usable(t, true)) return t;
  bytes = devices::drive_temperature(s->reader, n, mem::Slice{answer, sizeof answer});
  return heat::from_storage(mem::Bytes(answer, bytes));
}

void disk_temps(State* s, u64 now) {
  u32 chosen = heat::disk_slots;
  for (u32 k = 0; k < heat::disk_slots; ++k) {
    u32 n = (s->next_drive + k) % heat::disk_slots;
    if ((s->hardware.drive_read >> n & 1) && s->drive_next[n] <= now) {
      chosen = n;
      break;
    }
  }
  if (chosen == heat::disk_slots) return;
  s->next_drive = (chosen + 1) % heat::disk_slots;
  s->drive_next[chosen] = now + drive_ms;
  u32 power = devices::drive_power(s->reader, chosen);
  // A drive that is gone records no reading; one that sleeps is not woken and keeps its last reading.
  if (power == devices::drive_none) heat::take_disk(&s->readings, chosen, chosen, heat::no_reading);
  if (power == devices::drive_on) heat::take_disk(&s->readings, chosen, chosen, drive_temp(s, chosen));
}

void read_temps(State* s, Sample* sample) {
  if (sample->time_ms < s->next_turn) return;
  s->next_turn = sample->time_ms + turn_ms;
  heat::Readings previous = s->readings;
  heat::Readings* r = &s->readings;
  ++r->turn;
  r->cpu = 0;
  r->cpu_kind = 0;
  r->named = 0;
  r->gpu_mask = 0;
  u32 adapters = sample->gpu.adapters < heat::gpu_slots ? sample->gpu.adapters : heat::gpu_slots;
  for (u32 i = 0; i < adapters; ++i) heat::take_gpu(r, i, sample->gpu.luid[i], read_gpu_temp(s, sample->gpu.luid[i]));
  read_zones(s);
  disk_temps(s, sample->time_ms);
  heat::same_turn(r, &previous);
}

void read_drives(State* s, u32 n) {
  mem::Slice slot{s->hardware.drives[n], sizeof s->hardware.drives[n]};
  mem::fill(slot, 0);
  if (devices::drive_descriptor(s->reader, n, slot) != 0) s->hardware.drive_read |= 1ull << n;
  u32 seek = devices::drive_seek(s->reader, n);
  if (seek != devices::seek_unanswered) s->hardware.seek_answered |= 1ull << n;
  if (seek == devices::seek_incurred) s->hardware.seek_penalty |= 1ull << n;
}

void temps(const State* s, heat::Block* out, const u64* gpu_luids, u32 gpus, const u32* disk_numbers, u32 disks) {
  heat::place(out, &s->readings, gpu_luids, gpus, disk_numbers, disks);
}

void read_cpu(State* s) {
  HardwareRaw* h = &s->hardware;
  h->topology_bytes = hwinfo::topology(s->reader, mem::Slice{h->topology, sizeof h->topology});
  if (h->topology_bytes) h->flags |= hw_topology;
  mem::fill(mem::Slice{h->power, sizeof h->power}, 0);
  if (hwinfo::processor_power(s->reader, mem::Slice{h->power, sizeof h->power})) h->flags |= hw_power;
  h->features = hwinfo::features(s->reader);
  u8 answer[16];
  bool answered = hwinfo::hypervisor(s->reader, answer);
  if (answered) h->flags |= hw_hypervisor;
  h->hypervisor = answered && answer[2] != 0;
  h->mhz = hwinfo::cpu_mhz(s->reader);
  hwinfo::cpu_vendor(s->reader, h->vendor, 64);
  hwinfo::cpu_identifier(s->reader, h->identifier, 64);
}

void hardware(const State* s, hw::Hardware* record, hw::Adapters* extra) { hw::decode(&s->hardware, record, extra); }

void read_hardware(State* s, bool with_compression) {
  HardwareRaw* h = &s->hardware;
  h->flags = 0;
  read_cpu(s);
  // A firmware table larger than the buffer is absent, not cut.
  u32 smbios = hwinfo::smbios(s->reader, mem::Slice{h->smbios, sizeof h->smbios});
  h->smbios_bytes = smbios >= 1 && smbios <= sizeof h->smbios ? smbios : 0;
  if (h->smbios_bytes) h->flags |= hw_smbios;
  h->drive_read = h->seek_answered = h->seek_penalty = 0;
  for (u32 n = 0; n < heat::disk_slots; ++n) read_drives(s, n);
  u32 size = 0;
  bool listed = net::adapter_addresses(s->reader, mem::Slice{h->adapters, sizeof h->adapters}, &size) == 0;
  h->adapter_bytes = listed ? sizeof h->adapters : 0;
  h->adapter_base = listed ? reinterpret_cast<u64>(h->adapters) : 0;
  if (listed) h->flags |= hw_adapters;
  h->compressed = 0;
  if (with_compression) read_compression(s);
  h->changes += 1;
}

// ---- Lists.

void read_cpu_name(State* s) { s->cpu_name_bytes = sysinfo::cpu_name(s->reader, s->cpu_name, 64); }

void read_volumes(State* s) {
  u32 mask = volume::refresh(s->reader);
  for (u32 l = 0; l < letters; ++l) {
    s->fixed[l] = 0;
    for (u16& u : s->labels[l]) u = 0;
    if (!(mask >> l & 1) || volume::drive_type(s->reader, l) != 3) continue;
    s->fixed[l] = 1;
    volume::label(s->reader, l, s->labels[l], label_units);
  }
}

void read_interfaces(State* s) {
  s->nic_kept = 0;
  s->nic_passing = 0;
  u64 luids[256];
  u32 n = net::interfaces(s->reader, luids, 256);
  for (u32 i = 0; i < n; ++i) {
    sysrec::IfRow row{};
    row.luid = luids[i];
    if (!net::interface_row(s->reader, &row) || !ntinfo::nic_wanted(bytes_of(row))) continue;
    ++s->nic_passing;
    if (s->nic_kept < max_nics) s->nic_luid[s->nic_kept++] = luids[i];
  }
}

// ---- Lifecycle.

namespace {

bool open_clear(State* s, u32 refresh_ms, mem::Bytes root) {
  s->proc_cap = proc_cap;
  s->proc_class = proc_class;
  s->tcp_cap = tcp_cap;
  s->frequency = os::ticks_per_second();
  if (s->frequency == 0) {
    close(s);
    return false;
  }
  s->refresh_ms = refresh_ms;
  s->raise = 1;
  s->reader = sysinfo::open(root);
  s->boot_time = sysinfo::boot_time(s->reader);
  s->processors = sysinfo::processor_count(s->reader);
  read_cpu_name(s);
  read_volumes(s);
  read_interfaces(s);
  read_adapters(s);
  read_hardware(s, true);
  open_disk_set(s, 0);
  open_gpu_set(s, 0);
  open_energy(s);
  open_thermal(s);
  u64 now = now_ms(s);
  s->next_refresh = now + refresh_ms;
  s->next_hardware = now + hardware_ms;
  return true;
}

}  // namespace

bool open(State* s, u32 refresh_ms) { return open_at(s, refresh_ms, mem::lit("/")); }

bool open_at(State* s, u32 refresh_ms, mem::Bytes root) {
  zero(s);
  return open_clear(s, refresh_ms, root);
}

bool open_zeroed(State* s, u32 refresh_ms) { return open_clear(s, refresh_ms, mem::lit("/")); }

void close(State* s) {
  for (u32 set = 0; set < 2; ++set) {
    close_disk_set(s, set);
    close_gpu_set(s, set);
  }
  pdh::close_query(s->compression_query);
  s->compression_query = s->compression_counter = 0;
  close_energy(s);
  close_thermal(s);
  buffer_fit(&s->tcp, 0);
  buffer_fit(&s->gpu, 0);
  sysinfo::close(s->reader);
  s->reader = nullptr;
}

void refresh_step(State* s, u64 now) {
  if (s->step == 0 && now >= s->next_refresh) {
    s->step = 1;
    s->next_refresh = now + s->refresh_ms;
  }
  u32 spare = 1 - s->active_set;
  switch (s->step) {
    case 1:
      open_disk_set(s, spare);
      open_gpu_set(s, spare);
      s->spare_open = 1;
      break;
    case 2:
      // A spare set that could not be opened leaves the active sets in place.
      if (s->spare_open && s->disk_query[spare]) {
        close_disk_set(s, s->active_set);
        close_gpu_set(s, s->active_set);
        s->active_set = spare;
      } else {
        close_disk_set(s, spare);
        close_gpu_set(s, spare);
      }
      s->spare_open = 0;
      break;
    case 3: read_interfaces(s); break;
    case 4: read_volumes(s); break;
    case 5: read_adapters(s); break;
    default: break;
  }
  if (s->step != 0) s->step = (s->step + 1) % 6;
}

// ---- Sampling.

namespace {

void read_space(State* s, Sample* sample) {
  sample->drive_mask = volume::drives(s->reader);
  for (u32 l = 0; l < letters; ++l) {
    if (!(sample->drive_mask >> l & 1) || !s->fixed[l]) continue;
    if (!volume::free_space(s->reader, l, &sample->total[l], &sample->free[l])) continue;
    sample->drive_flag[l] = s->fixed[l];
    __builtin_memcpy(sample->labels[l], s->labels[l], sizeof sample->labels[l]);
  }
}

void read_rows(State* s, Sample* sample) {
  u32 kept = 0;
  const u32 tried = bits::min32(s->nic_kept, max_nics);
  for (u32 i = 0; i < tried; ++i) {
    sysrec::IfRow* row = &sample->nics[kept];
    zero(row);
    row->luid = s->nic_luid[i];
    // An interface that is gone or no longer wanted leaves no gap: the next one takes its row.
    if (net::interface_row(s->reader, row) && ntinfo::nic_wanted(bytes_of(*row))) ++kept;
  }
  // The sample starts all zero: only the row after the kept ones may hold an interface that was not kept.
  if (kept < tried) zero(&sample->nics[kept]);
  sample->nic_rows = kept;
  sample->nic_passing = static_cast<u32>(s->nic_passing);
}

void read_counters(State* s, Sample* sample) {
  u32 set = s->active_set;
  pdh::collect(s->disk_query[set]);
  for (u32 i = 0; i < counter_arrays; ++i) {
    sysrec::CounterSlot* slot = &sample->counters[i];
    u32 format = i == 2 ? pdh::fmt_large | pdh::fmt_1000 : pdh::fmt_large;
    u32 bytes = 0, count = 0;
    mem::Slice items{slot->items, sysrec::counter_array_bytes};
    // Instances that do not fit leave the slot empty for this sample.
    if (pdh::array(s->disk_counter[set][i], format, items, &bytes, &count) != pdh::success) continue;
    slot->address = reinterpret_cast<u64>(slot->items);
    slot->count = count;
    slot->bytes = bytes;
  }
  s->performance = sat32(counter_value(s->performance_counter[set], pdh::fmt_large | pdh::fmt_1000));
}

// One system sample, into a sample cleared first or already all zero.
bool take(State* s, Sample* sample, bool clear) {
  Raised raised(s);
  u64 start = qpc();
  if (clear) sample_clear(sample);
  sample->time_ms = ms_of(s, start);
  sample->tick_ms = os::clock_ms();
  sysinfo::begin_sample(s->reader);

  u64 t = qpc();
  refresh_step(s, sample->time_ms);
  time_slot(s, time_refresh, t);

  t = qpc();
  sample->cpu_bytes = sysinfo::cpu_times(s->reader, mem::Slice{sample->cpus, cpu_area});
  time_slot(s, time_cpu, t);

  t = qpc();
  sample->memory.length = sizeof(sysrec::MemoryStatus);
  sample->performance.cb = sizeof(sysrec::PerfInfo);
  u32 memory = sysinfo::memory(s->reader, &sample->memory, &sample->performance);
  __builtin_memcpy(sample->cpu_name, s->cpu_name, sizeof sample->cpu_name);
  sample->cpu_name_bytes = s->cpu_name_bytes;
  time_slot(s, time_memory, t);

  t = qpc();
  read_space(s, sample);
  time_slot(s, time_space, t);

  t = qpc();
  read_rows(s, sample);
  time_slot(s, time_nics, t);

  t = qpc();
  read_counters(s, sample);
  read_power(s, sample);
  time_slot(s, time_counters, t);

  if (sample->time_ms >= s->next_hardware) {
    t = qpc();
    s->next_hardware = sample->time_ms + hardware_ms;
    read_hardware(s, true);
    time_slot(s, time_hardware, t);
  }

  t = qpc();
  read_gpu(s, sample);
  sample->gpu_adapters = s->gpu_adapters;
  read_temps(s, sample);
  time_slot(s, time_gpu, t);

  time_slot(s, time_sample, start);
  const u32 both = sysinfo::memory_status_ok | sysinfo::performance_ok;
  return sample->cpu_bytes != 0 && (memory & both) == both;
}

}  // namespace

bool sample(State* s, Sample* sample) { return take(s, sample, true); }

bool sample_zeroed(State* s, Sample* sample) { return take(s, sample, false); }

namespace {

// One family's TCP table into the state's buffer: its rows' owners join the pid list.
u32 read_tcp_family(State* s, ProcHeader* head, u32 family, u32 row_size, u32 pid_offset, u32 missing_bit) {
  const u64 cap = min64(s->tcp_cap, tcp_cap);
  u32 asked = 0;
  u64 size = min64(s->tcp.size, cap);
  u32 answer = net::tcp_table(s->reader, family, mem::Slice{s->tcp.data, size}, &asked);
  if (answer == net::insufficient_buffer && grow(&s->tcp, asked, cap)) {
    size = min64(s->tcp.size, cap);
    answer = net::tcp_table(s->reader, family, mem::Slice{s->tcp.data, size}, &asked);
  }
  bool short_buffer = answer == net::insufficient_buffer;
  mem::Bytes table(s->tcp.data, answer == 0 ? size : 0);
  u32 rows = ntinfo::tcp_rows(table, row_size);
  u64 total = static_cast<u64>(static_cast<u32>(head->tcp_rows)) + rows +
              (short_buffer ? ntinfo::tcp_needed(asked, row_size) : 0);
  head->tcp_rows = static_cast<i32>(min64(total, 0x7FFFFFFF));
  head->tcp_pids = ntinfo::tcp_take(table, row_size, pid_offset, head->pids, max_tcp_pids, head->tcp_pids);
  if (answer != 0 && !short_buffer) head->tcp_missing |= missing_bit;
  return ntinfo::tcp_used(rows, row_size, short_buffer, asked);
}

// Time-wait entries the tables counted without listing them: rows of owner 0, as they would have been listed.
void add_left_out(ProcHeader* head, u32 rows) {
  head->tcp_rows = static_cast<i32>(min64(static_cast<u64>(static_cast<u32>(head->tcp_rows)) + rows, 0x7FFFFFFF));
  for (u32 i = 0; i < rows && head->tcp_pids < max_tcp_pids; ++i) head->pids[head->tcp_pids++] = 0;
}

}  // namespace

bool sample_procs(State* s, ProcSample* procs) {
  Raised raised(s);
  ProcHeader* head = &procs->head;
  head->boot_time = s->boot_time;
  head->processors = s->processors;

  u64 t = qpc();
  const u64 cap = min64(s->proc_cap, proc_cap);
  Buffer* b = &procs->buffer;
  buffer_trim(b, cap);
  u32 returned = 0;
  u64 before = qpc();
  u32 status = sysinfo::processes(s->reader, mem::Slice{b->data, min64(b->size, cap)}, &returned);
  u64 after = qpc();
  if (status == status_length_mismatch && grow(b, returned, cap)) {
    before = qpc();
    status = sysinfo::processes(s->reader, mem::Slice{b->data, min64(b->size, cap)}, &returned);
    after = qpc();
  }
  // Still too small (the list grew meanwhile): the next sample starts with a larger buffer.
  if (status == status_length_mismatch) grow(b, returned, cap);
  head->time_ms = ms_of(s, ntinfo::midpoint(before, after));
  head->address = reinterpret_cast<u64>(b->data);
  head->status = status;
  head->used = status == status_success ? sat32(min64(returned, b->size)) : 0;
  if (status == status_success) note_use(b, head->used);
  time_slot(s, time_procs, t);

  t = qpc();
  buffer_trim(&s->tcp, min64(s->tcp_cap, tcp_cap));
  head->tcp_pids = 0;
  head->tcp_rows = 0;
  head->tcp_missing = 0;
  u32 v4 = read_tcp_family(s, head, net::family_ipv4, sizeof(sysrec::TcpRow), offsetof(sysrec::TcpRow, pid), 1);
  u32 v6 = read_tcp_family(s, head, net::family_ipv6, sizeof(sysrec::Tcp6Row), offsetof(sysrec::Tcp6Row, pid), 2);
  note_use(&s->tcp, v4 > v6 ? v4 : v6);
  add_left_out(head, net::time_wait_left(s->reader));
  time_slot(s, time_tcp, t);
  return status == status_success;
}

}  // namespace collect
