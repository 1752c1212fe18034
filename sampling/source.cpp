#include "sampling/source.h"

#include "base/bits.h"
#include "platform/os.h"

namespace source {
namespace {

u8* view(Source* s) { return s->child.view; }
u64 view_size(Source* s) { return s->child.view_size; }
u32 word(Source* s, u64 at) { return feed::get32(view(s), view_size(s), at); }

u8 plus_one(u8 v) { return v == 255 ? v : static_cast<u8>(v + 1); }

void clear_child(Source* s) { __builtin_memset(&s->child, 0, sizeof s->child); }

template <typename T>
T* carve(mem::Arena* arena) {
  return reinterpret_cast<T*>(mem::alloc(arena, sizeof(T), 64).ptr);
}

void release_local(Source* s) {
  if (s->local_present) mem::release(&s->arena);
  s->local_present = 0;
  s->collector = nullptr;
  s->sample = nullptr;
  s->procs = nullptr;
  s->walk = nullptr;
  s->counters = nullptr;
}

bool carve_local(Source* s) {
  if (s->local_present) return true;
  if (!mem::arena_init(&s->arena, local_arena_bytes)) return false;
  s->local_present = 1;
  s->collector = carve<collect::State>(&s->arena);
  s->sample = carve<collect::Sample>(&s->arena);
  s->procs = carve<collect::ProcSample>(&s->arena);
  s->walk = carve<usage::ProcWalk>(&s->arena);
  s->counters = carve<usage::ProcCounters>(&s->arena);
  if (s->collector && s->sample && s->procs && s->walk && s->counters) return true;
  release_local(s);
  return false;
}

bool child_mode(const Source* s) { return s->phase != phase_none; }

}  // namespace

// ---- Start and stop.

void start(Source* s, machine::Machine* m, bool demo_only, u32 gpus, bool child_wanted) {
  s->demo_gpus = static_cast<u8>(bits::min64(gpus, machine::max_gpus));
  s->compute = s->integrated = s->churn = s->longest = s->temps_mode = 0;
  s->misses = s->restarted = s->launches = s->suspended = s->strikes = s->wait_ticks = 0;
  s->rates_restart = s->suspends = s->hold_ticks = s->proc_flags = 0;
  s->ticks = s->last_table_tick = 0;
  s->phase = phase_none;
  s->wanted = child_wanted ? 1 : 0;
  s->last_usage = s->last_hardware = s->last_table = s->last_heartbeat = 0;
  feed::layout_init(&s->layout);
  clear_child(s);
  demo_begin(s, m);
  if (demo_only) return;
  usage::reset(&s->rates);
  s->proc_rates = usage::ProcRateState{};
  if (child_wanted) {
    child_begin(s, m);
  } else if (!local_open(s, m) && !s->demo_allowed) {
    unsupplied(s, m);
  }
}

void start_child(Source* s, machine::Machine* m, bool demo_only, u32 gpus) { start(s, m, demo_only, gpus, true); }
void start_local(Source* s, machine::Machine* m, bool demo_only, u32 gpus) { start(s, m, demo_only, gpus, false); }

void close(Source* s) {
  if (s->local_present && s->collector) collect::close(s->collector);
  release_local(s);
  if (child_mode(s) || s->child.view) child::stop(&s->child);
  s->phase = phase_none;
}

void stop(Source* s) {
  close(s);
  s->mode = mode_demo;
}

void suspend(Source* s) {
  bool ran = child_mode(s);
  if (ran) {
    child::finish(&s->child, 1000);
    ++s->suspends;
    s->mode = mode_demo;
  }
  s->suspended = ran ? 1 : 0;
  s->phase = phase_none;
}

void resume(Source* s) {
  if (!s->suspended) return;
  s->suspended = 0;
  s->mode = mode_live;
  s->phase = phase_launched;
  child_launch(s);
}

// ---- Demo data.

void demo_begin(Source* s, machine::Machine* m) {
  s->mode = mode_demo;
  s->misses = 0;
  s->proc_flags &= static_cast<u8>(~table_taken);
  demo::machine_init(&s->demo, m, s->demo_gpus);
  if (s->compute) demo::compute_gpu(&s->demo, m);
  if (s->integrated) demo::add_igpu(&s->demo, m);
  s->demo.churn = s->churn;
  s->demo.longest = s->longest;
  s->demo.temps_mode = s->temps_mode;
}

void to_demo(Source* s, machine::Machine* m) {
  demo_begin(s, m);
  // Enough rows that the charts are not empty.
  demo::ticks(&s->demo, m, demo_warm_ticks);
}

void restart_demo(Source* s, machine::Machine* m) {
  close(s);
  to_demo(s, m);
}

void unsupplied(Source* s, machine::Machine* m) {
  close(s);
  machine::init(m);
  s->mode = mode_live;
}

void give_up(Source* s, machine::Machine* m) {
  if (s->demo_allowed) {
    restart_demo(s, m);
  } else {
    unsupplied(s, m);
  }
}

// ---- The collector in this process.

bool local_open(Source* s, machine::Machine* m) {
  if (!carve_local(s)) return false;
  bool opened = collect::open(s->collector, 10000);
  bool sampled = opened && collect::sample(s->collector, s->sample);
  usage::reset(&s->rates);
  s->proc_rates = usage::ProcRateState{};
  if (!sampled) {
    if (opened) collect::close(s->collector);
    release_local(s);
    return false;
  }
  s->hardware_changes = 0;
  local_usage(s);
  machine::init(m);
  local_machine(s, m);
  // The first sample has no rates: its row is not kept.
  ring::init(&m->ring, ring::max_rows);
  s->mode = mode_due;
  return true;
}

void local_usage(Source* s) {
  __builtin_memset(&s->usage, 0, sizeof s->usage);
  __builtin_memset(&s->row, 0, sizeof s->row);
  usage::system(&s->rates, s->sample, &s->usage, &s->row);
  collect::temps(s->collector, &s->usage.temps, s->usage.gpu_id, s->usage.gpus, s->usage.disk_number,
                 s->usage.disks);
}

void local_machine(Source* s, machine::Machine* m) {
  u32 changes = s->collector->hardware.changes;
  if (changes != s->hardware_changes) {
    __builtin_memset(&s->hardware, 0, sizeof s->hardware);
    __builtin_memset(&s->adapters, 0, sizeof s->adapters);
    collect::hardware(s->collector, &s->hardware, &s->adapters);
    s->hardware_changes = changes;
  }
  machine::take(m, &s->usage, &s->row, &s->hardware, &s->adapters, s->collector->performance);
}

void local_take(Source* s, machine::Machine* m) {
  local_usage(s);
  local_machine(s, m);
}

// ---- Ticks.

void count_miss(Source* s, bool ok) { s->misses = ok ? 0 : plus_one(s->misses); }

void tick(Source* s, machine::Machine* m) {
  ++s->ticks;
  if (s->mode == mode_due) {
    sample(s, m, true);
  } else if (s->mode == mode_demo) {
    demo::tick(&s->demo, m);
    s->misses = 0;
  } else if (child_mode(s)) {
    child_tick(s, m);
  } else if (s->local_present) {
    bool ok = collect::sample(s->collector, s->sample);
    if (ok) local_take(s, m);
    count_miss(s, ok);
  } else {
    count_miss(s, false);
    if (s->ticks % retry_ticks == 0) local_open(s, m);
  }
}

void sample_now(Source* s, machine::Machine* m) { sample(s, m, false); }

void sample(Source* s, machine::Machine* m, bool on_tick) {
  if (s->mode != mode_due) return;
  if (child_mode(s)) {
    child_sample(s, m, on_tick);
    return;
  }
  if (s->local_present && collect::sample(s->collector, s->sample)) {
    local_take(s, m);
    s->mode = mode_live;
    return;
  }
  give_up(s, m);
}

void tick_missed(Source* s) {
  s->misses = plus_one(s->misses);
  if (s->mode == mode_demo) ++s->demo.clock;
}

bool waiting_first(const Source* s) { return s->phase == phase_launched; }
bool failing(const Source* s) { return s->misses > 2; }

void demo_warm(Source* s, machine::Machine* m, u32 n) {
  if (s->mode == mode_demo) demo::ticks(&s->demo, m, n);
}

// ---- The collector child.

void child_begin(Source* s, machine::Machine* m) {
  machine::init(m);
  s->mode = mode_due;
  s->phase = phase_launched;
  child_launch(s);
}

bool child_launch(Source* s) {
  s->last_usage = s->last_hardware = s->last_table = s->last_heartbeat = 0;
  s->strikes = s->wait_ticks = s->rates_restart = 0;
  s->proc_flags &= static_cast<u8>(~table_taken);
  bool ok = child::create_section(&s->child, s->layout.size);
  if (ok) {
    feed::header_init(view(s), view_size(s), s->layout, os::process_id());
    // Without its request event the child still works, looking at the request words every round.
    child::make_requests(&s->child);
    ok = child::start_collector(&s->child);
    if (!ok) child::unmap(&s->child);
  }
  s->launches = static_cast<u8>(s->launches + (ok ? 1 : 0));
  return ok;
}

bool child_alive(Source* s) {
  if (!child::is_running(&s->child)) return false;
  u32 state = word(s, feed::state_at);
  return state != feed::state_failed && state != feed::state_stopped;
}

void child_wait_first(Source* s, machine::Machine* m, bool on_tick) {
  if (word(s, feed::usage_published_at) != 0) {
    child_first(s, m);
    return;
  }
  if (on_tick) {
    s->misses = plus_one(s->misses);
    s->wait_ticks = plus_one(s->wait_ticks);
  }
  if (!child_alive(s) || s->wait_ticks > 9) child_restart(s, m);
}

void child_first(Source* s, machine::Machine* m) {
  machine::init(m);
  read_usage(s, m, 1);
  s->last_usage = 1;
  // Frame 1 has no rates: its row is not kept.
  ring::init(&m->ring, ring::max_rows);
  ask_usage(s);
  s->mode = mode_due;
  s->phase = phase_running;
  s->misses = 0;
  s->strikes = 0;
  s->last_heartbeat = word(s, feed::heartbeat_at);
}

void child_tick(Source* s, machine::Machine* m) { child_sample(s, m, true); }

void child_sample(Source* s, machine::Machine* m, bool on_tick) {
  if (s->phase == phase_launched) {
    child_wait_first(s, m, on_tick);
    return;
  }
  u32 folded = read_new(s, m);
  if (folded > 0) {
    s->misses = 0;
    s->mode = mode_live;
  } else if (on_tick) {
    s->misses = plus_one(s->misses);
  }
  ask_usage(s);
  if (!child_alive(s) || (on_tick && child_stalled(s))) child_restart(s, m);
}

u32 read_new(Source* s, machine::Machine* m) {
  u32 newest = word(s, feed::usage_published_at);
  u32 folded = 0;
  for (u32 n = feed::first_unread(s->last_usage, newest, s->layout.usage.slots); n != 0 && n <= newest; ++n)
    folded += read_usage(s, m, n) ? 1 : 0;
  s->last_usage = newest > s->last_usage ? newest : s->last_usage;
  return folded;
}

bool read_usage(Source* s, machine::Machine* m, u32 n) {
  feed::UsageFrame frame;
  bool good = feed::slot_read(view(s), view_size(s), s->layout.usage, n,
                              mem::Slice{reinterpret_cast<u8*>(&frame), sizeof frame}) &&
              feed::usage_frame_ok(&frame);
  u32 hardware = word(s, feed::hardware_published_at);
  if (good && hardware != s->last_hardware) read_hardware(s, hardware);
  if (good) machine::take(m, &frame.usage, &frame.row, &s->hardware, &s->adapters, frame.performance);
  return good;
}

bool read_hardware(Source* s, u32 n) {
  feed::HardwareFrame frame;
  if (!feed::slot_read(view(s), view_size(s), s->layout.hardware, n,
                       mem::Slice{reinterpret_cast<u8*>(&frame), sizeof frame}) ||
      !feed::hardware_frame_ok(&frame))
    return false;
  s->hardware = frame.hardware;
  s->adapters = frame.adapters;
  s->last_hardware = n;
  return true;
}

void ask_usage(Source* s) { child::ask(&s->child, feed::usage_request_at, s->last_usage + 1); }

bool child_stalled(Source* s) {
  u32 beat = word(s, feed::heartbeat_at);
  u64 sequence = feed::get64(view(s), view_size(s), feed::slot_offset(s->layout.usage, s->last_usage + 1));
  bool strike = beat == s->last_heartbeat || (sequence & 1) != 0;
  s->strikes = strike ? static_cast<u8>(bits::min64(s->strikes + 1u, 3)) : 0;
  s->last_heartbeat = beat;
  return s->strikes > 2;
}

void child_restart(Source* s, machine::Machine* m) {
  child::stop(&s->child);
  bool launched = false;
  if (!s->restarted) {
    launched = child_launch(s);
    s->restarted = 1;
  }
  s->phase = launched ? phase_launched : phase_none;
  if (!launched) fall_back(s, m);
}

void fall_back(Source* s, machine::Machine* m) {
  child::stop(&s->child);
  s->phase = phase_none;
  s->launches = plus_one(s->launches);
  s->proc_flags &= static_cast<u8>(~table_taken);
  s->mode = mode_live;
  if (!local_open(s, m) || s->mode != mode_due) give_up(s, m);
}

// ---- Processes.

u32 child_procs(Source* s, model::ProcTable* table) {
  u32 p = word(s, feed::table_published_at);
  bool fresh = p == s->last_table + 1;
  bool good = false;
  if (fresh) {
    good = feed::slot_read(view(s), view_size(s), s->layout.table, p,
                           mem::Slice{reinterpret_cast<u8*>(table), sizeof *table}) &&
           feed::table_frame_ok(table);
    if (!good) model::table_init(table);
    s->rates_restart = good && p == word(s, feed::epoch_at) ? 1 : 0;
    s->proc_flags = static_cast<u8>(good ? s->proc_flags | table_taken : s->proc_flags & ~table_taken);
    if (good) s->last_table_tick = s->ticks;
    s->last_table = p;
  }
  child::ask(&s->child, feed::table_request_at, s->last_table + 1);
  return fresh ? (good ? 1 : 2) : 0;
}

void take_procs(Source* s, model::ProcTable* table) {
  if (child_mode(s)) {
    child_procs(s, table);
    return;
  }
  s->proc_flags |= table_taken;
  s->last_table_tick = s->ticks;
  s->rates_restart = 0;
  if (s->mode == mode_demo) {
    demo::take_procs(&s->demo, table);
  } else if (s->local_present) {
    collect::sample_procs(s->collector, s->procs);
    usage::procs(&s->proc_rates, s->procs, &s->sample->gpu, &s->sample->gpu_adapters, s->walk, table,
                 s->counters);
  }
}

u32 procs_request(Source* s, model::ProcTable* table) {
  if (!child_mode(s) && s->hold_ticks == 0) {
    take_procs(s, table);
    return 0;
  }
  bool fresh = (s->proc_flags & table_taken) && s->ticks - s->last_table_tick <= 60;
  if (!fresh) model::table_init(table);
  s->proc_flags = static_cast<u8>(fresh ? s->proc_flags | table_taken : s->proc_flags & ~table_taken);
  s->rates_restart = 0;
  if (child_mode(s)) {
    u32 p = word(s, feed::table_published_at);
    if (p == s->last_table || p == s->last_table + 1) s->last_table = p;
    child::ask(&s->child, feed::table_request_at, s->last_table + 1);
  }
  return fresh ? 2 : 1;
}

u32 procs_tick(Source* s, model::ProcTable* table) {
  if (child_mode(s)) return child_procs(s, table);
  if (s->hold_ticks > 0) {
    --s->hold_ticks;
    return 0;
  }
  if (s->proc_flags & reset_pending) {
    s->proc_flags &= static_cast<u8>(~(table_taken | reset_pending));
    model::table_init(table);
    return 2;
  }
  bool recent = (s->proc_flags & table_taken) && s->ticks - s->last_table_tick < 6;
  take_procs(s, table);
  s->rates_restart = recent ? 0 : 1;
  return 1;
}

// ---- Test switches and drivers.

void set_churn(Source* s, bool on) {
  s->churn = on ? 1 : 0;
  if (s->mode == mode_demo) s->demo.churn = s->churn;
}

void set_temps_mode(Source* s, machine::Machine* m, u32 mode) {
  s->temps_mode = static_cast<u8>(bits::min64(mode, 3));
  s->demo.temps_mode = s->temps_mode;
  ring::Row newest;
  __builtin_memset(&newest, 0, sizeof newest);
  if (s->mode == mode_demo) {
    ring::at(&m->ring, 0, &newest);
    demo::sensors(&s->demo, m, &newest);
  }
}

void set_longest_name(Source* s, bool on) {
  s->longest = on ? 1 : 0;
  if (s->mode == mode_demo) s->demo.longest = s->longest;
}

void set_compute(Source* s, machine::Machine* m, bool on) {
  s->compute = on ? 1 : 0;
  if (on && s->mode == mode_demo) demo::compute_gpu(&s->demo, m);
}

void set_integrated(Source* s, machine::Machine* m, bool on) {
  s->integrated = on ? 1 : 0;
  if (on && s->mode == mode_demo) demo::add_igpu(&s->demo, m);
}

void procs_hold(Source* s, u32 ticks, bool reset) {
  s->hold_ticks = static_cast<u8>(bits::min64(ticks, 255));
  if (reset) s->proc_flags |= reset_pending;
}

void restart_if_child(Source* s, machine::Machine* m) {
  if (child_mode(s)) child_restart(s, m);
}

}  // namespace source
