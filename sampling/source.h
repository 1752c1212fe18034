#pragma once
// The sample source of the window and the agent: one controller that keeps the machine record and the process table
// supplied from demo data, the collector in this process, or the `--collector` child through the feed block. It
// takes one frame per tick, watches the child's health (heartbeat, half-written slots, first-frame wait), relaunches
// it once, then falls back to the in-process collector and, when that fails too, to demo data under the test mode.
// Outside the test mode made-up figures would pass for this machine's (and reach its history and the host), so a
// source without a working collector shows an empty record, reports itself failing and retries the collector
// every minute.
#include "base/mem.h"
#include "sampling/child.h"
#include "sampling/collect.h"
#include "sampling/demo.h"
#include "sampling/feed.h"
#include "sampling/hw.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/ring.h"
#include "sampling/usage.h"

namespace source {

enum : u8 { mode_demo = 0, mode_live = 1, mode_due = 2 };
enum : u8 { phase_none = 0, phase_launched = 1, phase_running = 2 };
enum : u8 { table_taken = 1, reset_pending = 2 };
inline constexpr u64 local_arena_bytes = 2341144;
inline constexpr u32 demo_warm_ticks = 120;

// Zeroed by its owner.
struct Source {
  u8 mode;
  u8 misses;  // failed samples in a row, saturating
  u8 demo_gpus;
  u8 compute;
  u8 integrated;
  u8 churn;
  u8 longest;
  u8 temps_mode;
  u8 phase;  // of the child
  u8 wanted;
  u8 restarted;
  u8 launches;
  u8 suspended;
  u8 local_present;
  u8 strikes;
  u8 wait_ticks;
  u8 rates_restart;
  u8 suspends;
  u8 hold_ticks;
  u8 proc_flags;
  u8 demo_allowed;  // set by the owner under the test mode; start leaves it as it is
  u8 zero[3];
  u32 ticks;
  u32 last_table_tick;
  demo::State demo;
  collect::State* collector;
  collect::Sample* sample;
  usage::RateState rates;
  usage::Usage usage;
  ring::Row row;
  u32 hardware_changes;
  hw::Hardware hardware;
  hw::Adapters adapters;
  usage::ProcRateState proc_rates;
  collect::ProcSample* procs;
  usage::ProcWalk* walk;
  usage::ProcCounters* counters;
  mem::Arena arena;
  u32 last_usage;
  u32 last_hardware;
  u32 last_table;
  u32 last_heartbeat;
  feed::Layout layout;
  child::Section child;
};

// ---- Start and stop.

void start(Source* s, machine::Machine* m, bool demo_only, u32 gpus, bool child_wanted);
void start_child(Source* s, machine::Machine* m, bool demo_only, u32 gpus);
void start_local(Source* s, machine::Machine* m, bool demo_only, u32 gpus);
void stop(Source* s);
void close(Source* s);
// Around an update install: the child is finished (1 s of grace) and relaunched by resume.
void suspend(Source* s);
void resume(Source* s);

// ---- Ticks and samples.

void tick(Source* s, machine::Machine* m);
void sample_now(Source* s, machine::Machine* m);
void sample(Source* s, machine::Machine* m, bool on_tick);
void tick_missed(Source* s);
bool waiting_first(const Source* s);
bool failing(const Source* s);
void demo_warm(Source* s, machine::Machine* m, u32 n);
void count_miss(Source* s, bool ok);

// The steps of the three supplies.
void demo_begin(Source* s, machine::Machine* m);
void to_demo(Source* s, machine::Machine* m);
void restart_demo(Source* s, machine::Machine* m);
// Where demo data is not allowed: no supply, an empty record, mode 1 (every tick a miss until a retry succeeds).
void unsupplied(Source* s, machine::Machine* m);
// Demo data when allowed, else unsupplied.
void give_up(Source* s, machine::Machine* m);
inline constexpr u32 retry_ticks = 60;
bool local_open(Source* s, machine::Machine* m);
void local_usage(Source* s);
void local_machine(Source* s, machine::Machine* m);
void local_take(Source* s, machine::Machine* m);
void child_begin(Source* s, machine::Machine* m);
bool child_launch(Source* s);
void child_wait_first(Source* s, machine::Machine* m, bool on_tick);
void child_first(Source* s, machine::Machine* m);
void child_tick(Source* s, machine::Machine* m);
void child_sample(Source* s, machine::Machine* m, bool on_tick);
// Folds every unread usage frame, at most three back; the number folded.
u32 read_new(Source* s, machine::Machine* m);
bool read_usage(Source* s, machine::Machine* m, u32 n);
bool read_hardware(Source* s, u32 n);
void ask_usage(Source* s);
bool child_alive(Source* s);
bool child_stalled(Source* s);
void child_restart(Source* s, machine::Machine* m);
void fall_back(Source* s, machine::Machine* m);

// ---- Processes (the table is the caller's).

// 0 nothing new, 1 a new good table, 2 a new bad one (cleared).
u32 child_procs(Source* s, model::ProcTable* table);
void take_procs(Source* s, model::ProcTable* table);
// 0 taken at once; else 2 when the table is fresh, 1 when it was cleared.
u32 procs_request(Source* s, model::ProcTable* table);
u32 procs_tick(Source* s, model::ProcTable* table);

// ---- Test switches and drivers.

void set_churn(Source* s, bool on);
void set_temps_mode(Source* s, machine::Machine* m, u32 mode);
void set_longest_name(Source* s, bool on);
void set_compute(Source* s, machine::Machine* m, bool on);
void set_integrated(Source* s, machine::Machine* m, bool on);
void procs_hold(Source* s, u32 ticks, bool reset);
void restart_if_child(Source* s, machine::Machine* m);

}  // namespace source
