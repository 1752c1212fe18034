#pragma once
// The collector: the one module of the program that reads the machine. It owns one large state record (open counter
// queries, retained buffers, the staggered refresh schedule, raw hardware buffers, temperature turns) and fills two
// fixed-layout records, the system sample and the process sample. Both are plain memory that is copied between
// processes and written to snapshot files, so their layouts are exact and checked below.
// Rates are not computed here: the usage passes derive them from two samples.
#include <stddef.h>

#include "base/mem.h"
#include "sampling/gpu.h"
#include "sampling/heat.h"
#include "platform/sysrec.h"

namespace sysinfo {
struct Reader;
}
namespace hw {
struct Hardware;
struct Adapters;
}

namespace collect {

constexpr u32 proc_cap = 12582912;  // 12 MiB of process chain
constexpr u32 proc_class = 5;        // the system's process-list information class
constexpr u32 tcp_cap = 229380;      // 9,557 IPv4 rows or 4,096 IPv6 rows, with the count
constexpr u32 max_tcp_pids = 4096;
constexpr u32 max_nics = 8;
constexpr u32 letters = 26;
constexpr u32 label_units = 32;
constexpr u32 cpu_area = 12288;  // 256 processor entries of 48 bytes
constexpr u32 counter_arrays = 7;
constexpr u32 hardware_ms = 60000;
constexpr u32 turn_ms = 5000;         // between temperature turns
constexpr u32 drive_ms = 60000;       // between two queries of one drive
constexpr u64 gpu_cap = 2359296;      // of the graphics counter buffer
constexpr u32 scratch_bytes = 1024;

// Slots of the step timings (microseconds, saturated).
enum : u32 {
  time_refresh, time_cpu, time_memory, time_space, time_nics, time_counters, time_sample, time_procs, time_tcp,
  time_gpu, time_hardware, time_slots,
};

// A retained buffer: page blocks that follow use (1/16 headroom, page rounding, at least a page more per growth,
// shrunk after 30 samples in a row that used less than half).
struct Buffer {
  u8* data;
  u64 size;         // bytes, 0 when none
  void* block;      // the page block it lives in
  u64 block_bytes;
  u32 used;         // bytes the last sample used
  u8 strikes;       // samples in a row under half, 0..30
  u8 zero[11];
};
static_assert(sizeof(Buffer) == 48);

// The raw hardware part of the state, as its decoder reads it.
struct HardwareRaw {
  u32 changes;  // +1 at each raw read
  u32 flags;    // bit 0 topology, 1 processor power, 2 SMBIOS, 3 memory compression, 4 adapter addresses, 5 hypervisor
  u32 topology_bytes;
  u32 smbios_bytes;
  u32 mhz;
  u32 hypervisor;
  u32 adapter_bytes;
  u32 zero;
  u64 adapter_base;
  u64 features;
  u64 compressed;  // bytes of the memory-compression store
  u64 drive_read;
  u64 seek_answered;
  u64 seek_penalty;
  u16 vendor[64];
  u16 identifier[64];
  u8 power[6144];
  u8 topology[131072];
  u8 smbios[65536];
  u8 drives[16][4096];
  u8 adapters[262144];
};
static_assert(sizeof(HardwareRaw) == 530768);
// Flags of the raw hardware part: which sources were read.
enum : u32 { hw_topology = 1, hw_power = 2, hw_smbios = 4, hw_compression = 8, hw_adapters = 16, hw_hypervisor = 32 };

struct State {
  // Clock.
  u64 frequency;
  u64 boot_time;  // 100 ns since 1601, 0 when unknown
  u32 processors;
  // Caps.
  u32 proc_cap;
  u32 proc_class;
  u32 tcp_cap;
  // Refresh.
  u64 next_refresh;  // ms
  u32 refresh_ms;
  u32 active_set;  // 0 or 1
  i32 spare_open;
  u32 step;  // 0..5
  u32 cpu_name_bytes;
  // Interfaces.
  u32 nic_kept;
  i32 nic_passing;
  u32 zero_68;
  u64 nic_luid[max_nics];
  u32 raise;
  u32 timings[time_slots];
  u32 performance;  // the last processor performance, thousandths of a percent
  u64 next_hardware;  // ms
  // Counter queries and counters.
  u64 disk_query[2];
  u64 disk_counter[2][counter_arrays];
  u64 performance_counter[2];
  u64 compression_query;
  u64 compression_counter;
  u64 energy_query;
  u64 energy_counter;
  u64 power_counter;
  u64 gpu_query[2];
  u64 gpu_counter[2][4];
  sysinfo::Reader* reader;  // the system's files, opened on the collector's root folder
  // Volumes.
  u8 fixed[letters];
  u16 labels[letters][label_units];
  u16 cpu_name[64];
  Buffer tcp;
  gpu::AdapterList gpu_adapters;
  gpu::InstanceTable gpu_table;
  Buffer gpu;
  HardwareRaw hardware;
  u8 scratch[scratch_bytes];  // energy, power and thermal arrays
  u64 thermal_query;
  u64 thermal_counter;
  // Temperatures.
  u64 next_turn;  // ms
  u32 next_drive;
  u32 zero_temps;
  u64 drive_next[16];
  heat::Readings readings;
};
static_assert(sizeof(State) == 1851408);

// The system sample (little-endian; the offsets are part of the snapshot file and the collector feed).
struct Sample {
  u64 time_ms;
  u64 tick_ms;
  u32 cpu_bytes;
  u32 nic_rows;
  u32 nic_passing;
  u32 drive_mask;
  u32 cpu_name_bytes;
  u32 zero_36;
  u64 total[letters];
  u64 free[letters];
  u8 drive_flag[letters];
  u8 zero_482[6];
  sysrec::MemoryStatus memory;
  sysrec::PerfInfo performance;
  u16 cpu_name[64];
  u16 labels[letters][label_units];
  sysrec::IfRow nics[max_nics];
  u8 cpus[cpu_area];
  sysrec::CounterSlot counters[counter_arrays];
  gpu::Section gpu;
  gpu::AdapterList gpu_adapters;
  sysrec::BatteryBlock batteries;  // batteries and thermal zones; left zero where the system cannot list them
  u8 zero_146456[32];
  u32 energy_mask;
  u32 power_flags;  // bit 3: the power value is valid
  u32 power_read;
  u32 battery_alone;
  u64 energy[4];
  u64 stamps[4];
  u64 wraps[4];  // per energy part, the value at which its counter wraps back to 0; 0 when not known
  u8 zero_146600[12];
  u32 power;  // mW
};
enum : u32 { power_valid = 8 };
static_assert(sizeof(Sample) == 146616);
static_assert(offsetof(Sample, cpu_bytes) == 16 && offsetof(Sample, drive_mask) == 28);
static_assert(offsetof(Sample, cpu_name_bytes) == 32 && offsetof(Sample, total) == 40);
static_assert(offsetof(Sample, free) == 248 && offsetof(Sample, drive_flag) == 456);
static_assert(offsetof(Sample, memory) == 488 && offsetof(Sample, performance) == 552);
static_assert(offsetof(Sample, cpu_name) == 656 && offsetof(Sample, labels) == 784);
static_assert(offsetof(Sample, nics) == 2448 && offsetof(Sample, cpus) == 13264);
static_assert(offsetof(Sample, counters) == 25552 && offsetof(Sample, gpu) == 40000);
static_assert(offsetof(Sample, gpu_adapters) == 139976 && offsetof(Sample, batteries) == 145928);
static_assert(offsetof(Sample, zero_146456) == 146456 && offsetof(Sample, wraps) == 146568);
static_assert(offsetof(Sample, energy_mask) == 146488 && offsetof(Sample, power_flags) == 146492);
static_assert(offsetof(Sample, power_read) == 146496 && offsetof(Sample, battery_alone) == 146500);
static_assert(offsetof(Sample, energy) == 146504 && offsetof(Sample, stamps) == 146536);
static_assert(offsetof(Sample, power) == 146612);

// The process sample's head (the offsets are part of the snapshot file).
struct ProcHeader {
  u64 time_ms;    // midpoint of the counter around the successful query
  u64 boot_time;  // 100 ns units
  u64 address;    // the buffer's address as the collector saw it: name addresses minus this are offsets
  u32 status;     // of the process query
  u32 used;       // bytes of chain in the buffer, 0 when the query failed
  u32 processors;
  u32 tcp_pids;     // owner pids stored, at most 4,096
  i32 tcp_rows;     // rows of both families, also those that did not fit
  u32 tcp_missing;  // bit 0 IPv4 table missing, bit 1 IPv6
  u32 pids[max_tcp_pids];
};
static_assert(sizeof(ProcHeader) == 16432);
static_assert(offsetof(ProcHeader, status) == 24 && offsetof(ProcHeader, used) == 28);
static_assert(offsetof(ProcHeader, processors) == 32 && offsetof(ProcHeader, tcp_pids) == 36);
static_assert(offsetof(ProcHeader, tcp_rows) == 40 && offsetof(ProcHeader, tcp_missing) == 44);
static_assert(offsetof(ProcHeader, pids) == 48);
// In a snapshot a process sample is its head and the whole 12 MiB of buffer.
constexpr u64 proc_sample_bytes = sizeof(ProcHeader) + proc_cap;
static_assert(proc_sample_bytes == 12599344);

struct ProcSample {
  ProcHeader head;
  Buffer buffer;  // the chain lives in this buffer's block
};
static_assert(sizeof(ProcSample) == 16480);

// Process query statuses.
enum : u32 { status_success = 0, status_length_mismatch = 0xC0000004u };

// ---- Lifecycle.

// Opens on the live system. False only when the performance counter's frequency cannot be read (the state is then
// closed); every other source that fails leaves its part zero.
bool open(State* state, u32 refresh_ms);
// The same on another root folder (a fixture tree of /proc and /sys files).
bool open_at(State* state, u32 refresh_ms, mem::Bytes root);
// As open, for a state already all zero bytes (one just carved from an arena, whose memory comes zeroed): clearing
// its 1.8 MB by hand again would write every page of it for nothing.
bool open_zeroed(State* state, u32 refresh_ms);
// Releases every query and retained buffer; closing twice, or after a failed open, does nothing more.
void close(State* state);

// One system sample: true ("usable") when the processor times, the memory status and the performance information
// were all read.
bool sample(State* state, Sample* sample);
// As sample, into a sample already all zero bytes (carved from an arena and not used yet): not cleared again, so
// the pages of its 146 KB that this machine leaves empty (most of it: graphics, counters) are never touched.
bool sample_zeroed(State* state, Sample* sample);
// One process sample: true when the process query succeeded.
bool sample_procs(State* state, ProcSample* procs);

void sleep(u32 ms);
// Empties the buffer descriptor without freeing it and sets the bytes used to 0.
void procs_reset(ProcSample* procs);
u32 procs_used(const ProcSample* procs);
void sample_clear(Sample* sample);
u64 qpc();
u64 now_ms(const State* state);
// (now - start) in microseconds, saturated to u32.
u32 micros_since(const State* state, u64 start);

// One step of the staggered refresh, at the start of every system sample.
void refresh_step(State* state, u64 now);

// ---- Retained buffers.

// min((need + need / 16 + 4,095) rounded down to a page, cap).
u64 rounded(u64 need, u64 cap);
// Grows after a too-small answer; true when the buffer was replaced.
bool grow(Buffer* buffer, u64 need, u64 cap);
// Replaces the block by one of exactly size bytes (0 only releases); contents are not kept. A block that cannot be
// had leaves the buffer empty.
void buffer_fit(Buffer* buffer, u64 size);
void note_use(Buffer* buffer, u32 used);
void buffer_trim(Buffer* buffer, u64 cap);

// ---- Lists.

void read_volumes(State* state);
void read_interfaces(State* state);
void read_cpu_name(State* state);
void read_adapters(State* state);
// The raw hardware read (processor, firmware table, drives, adapter list, memory compression); +1 change.
void read_hardware(State* state, bool with_compression);
// The processor part of it: topology, power records, features, hypervisor, clock and identity.
void read_cpu(State* state);
// Decodes the raw hardware part into both records. The caller zeroes them first; the host and kernel texts of the
// hardware record are left as they are. Readers compare the raw part's change count to know when to call again.
void hardware(const State* state, hw::Hardware* record, hw::Adapters* extra);

// ---- Counter sets, power and battery.

void open_disk_set(State* state, u32 set);
void close_disk_set(State* state, u32 set);
void open_gpu_set(State* state, u32 set);
void close_gpu_set(State* state, u32 set);
void open_energy(State* state);
void close_energy(State* state);
void open_thermal(State* state);
void close_thermal(State* state);
// Collects the thermal query and decodes its zones into the state's temperature record.
void read_zones(State* state);
void read_compression(State* state);
// A single value: 0 unless it was read and its status is valid or new; negatives as 0.
u64 counter_value(u64 counter, u32 format);
// Battery drain, energy parts with their stamps and wrap values, power meters, and the battery block (each battery
// and the thermal zones), once per system sample; the meters win over the battery's drain.
void read_power(State* state, Sample* sample);

// ---- Graphics adapters and engines.

// The adapter lists: zeroed, then the adapter registry's entries and its display-class entries.
void read_directx(State* state);
void read_display_class(State* state);
// The graphics step of a sample: the four counter arrays into the sample's section, rates against the last sample.
void read_gpu(State* state, Sample* sample);

// ---- Temperatures and drives.

// One temperature turn when due (every 5,000 ms of sample time): adapters of this sample, thermal zones, and at
// most one drive.
void read_temps(State* state, Sample* sample);
i16 read_gpu_temp(State* state, u64 luid);
// Drive n's temperature: its NVMe health log when usable, else its storage temperature answer.
i16 drive_temp(State* state, u32 n);
// At most one drive per turn, each at most once a minute, never one that sleeps.
void disk_temps(State* state, u64 now);
// Descriptor and seek penalty of drive n into the raw hardware part.
void read_drives(State* state, u32 n);
// The readings placed by the usage record's GPU LUIDs and disk numbers.
void temps(const State* state, heat::Block* out, const u64* gpu_luids, u32 gpus, const u32* disk_numbers, u32 disks);

// The counter paths, in the order of their sets: the disk and memory set's 8 (the last one read as a single
// value), the graphics set's 4; an empty text past the end.
mem::Bytes disk_path(u32 i);
mem::Bytes gpu_path(u32 i);

}  // namespace collect
