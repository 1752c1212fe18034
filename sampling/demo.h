#pragma once
// The made-up machine of the test mode: a machine record, one sample row per tick and a process table of 44
// processes, all pure functions of a seed, the demo clock and a few test switches, so that the same clock always
// gives the same pictures. Arithmetic is on u32 with wrap-around.
#include "base/mem.h"
#include "sampling/hw.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/ring.h"

namespace demo {

constexpr u32 seed = 19533;
constexpr u32 processors = 16;
constexpr u32 procs = 44;
constexpr u32 engines_start = 30;  // bits 1..5: 3D, Copy, Video Decode, Video Encode, Compute
constexpr u32 engines_compute = 62;
constexpr u32 integrated = 0x100;

struct State {
  u32 seed;
  u32 clock;       // + 1 per tick and per missed tick
  u32 processors;  // of the made-up machine
  u32 gpus;        // at most 4
  u32 engines;     // engine code
  u32 calls;       // process fills so far
  u32 churn;
  u32 longest;     // row 37 carries a 255-byte name
  u32 power_mode;  // 1 processor and GPU meters, 2 system meter, else none
  u32 temps_mode;  // 0..3
};

// ---- Value functions.

// 0..d.
u32 hash(u32 a, u32 b, u32 c, u32 d);
// 0..255.
u32 mix(u32 a, u32 b);
// A triangle of the period rising to the amplitude.
u32 wave(u32 x, u32 period, u32 amplitude);
// (a + b) mod max(c, 1) lies in [from, to).
bool in_window(u32 a, u32 b, u32 c, u32 from, u32 to);
u32 window_value(u32 a, u32 b, u32 c, u32 length, u32 value);
// The mean of n half-percent bytes summing to sum, in hundredths of a percent.
u16 pct(u32 sum, u32 n);

// ---- The machine.

void machine_init(State* state, machine::Machine* m, u32 gpus);
void hardware(hw::Hardware* hardware, hw::Adapters* adapters);
void compute_gpu(State* state, machine::Machine* m);
void add_igpu(State* state, machine::Machine* m);

// One tick: a row, power and sensors, pushed into the machine's ring; the adapters' totals run on; clock + 1.
void tick(State* state, machine::Machine* m);
void ticks(State* state, machine::Machine* m, u32 n);
// The row of clock t into a zeroed row.
void row(u32 s, u32 t, u32 processors, u32 gpus, u32 engines, ring::Row* out);
u32 core_load(u32 s, u32 t, u32 i);
void gpus(u32 s, u32 t, u32 count, u32 engines, ring::Row* out);
u32 gpu_engine(u32 s, u32 t, u32 k);
void power(const State* state, machine::Machine* m, ring::Row* r);
// The temperature part from a row (the newest one when the mode changes).
void sensors(const State* state, machine::Machine* m, const ring::Row* r);

// ---- Processes.

void take_procs(State* state, model::ProcTable* table);
u32 pid_of(u32 i);
bool row_present(u32 i, u32 v);
u32 start_key(u32 i);
mem::Bytes proc_name(u32 i, bool longest);
u16 cpu(u32 s, u32 v, u32 i, bool churn);
u32 memory(u32 s, u32 v, u32 i, bool churn);  // MiB
u16 threads(u32 i);
u16 tcp(u32 s, u32 v, u32 i);
u16 gpu_pct(u32 s, u32 v, u32 i);
u16 gpu_mem(u32 s, u32 v, u32 i);  // 4 MiB units
u32 read(u32 s, u32 v, u32 i);     // KiB/s
u32 write(u32 s, u32 v, u32 i);    // KiB/s
// The pid belongs to a critical row (4, 7 or 14).
bool is_critical(u32 pid);
// Test flags of the rows with that pid.
u32 proc_flags(u32 pid);
// The start key of the row with that pid present in call v; all ones when none.
u32 proc_value(u32 v, u32 pid);

}  // namespace demo
