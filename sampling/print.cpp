#include "sampling/print.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "base/words.h"
#include "platform/os.h"

namespace print {
namespace {

constexpr u32 no_cpu_pid = 0;  // the idle process: its share is idle time, not work
constexpr u32 hardware_flag_count = 7;
constexpr u32 engine_classes = 6;

void flush(Console* c) {
  if (c->failure == 0 && c->held) c->failure = os::write_std(os::std_output, mem::Bytes(c->bytes, c->held));
  c->held = 0;
}

void to_console(void* context, mem::Bytes bytes) {
  auto* c = static_cast<Console*>(context);
  if (c->failure) return;
  if (c->held + bytes.len > console_bytes) flush(c);
  // A piece larger than the whole hold goes out on its own, after what was held before it.
  if (bytes.len > console_bytes) {
    if (c->failure == 0) c->failure = os::write_std(os::std_output, bytes);
    return;
  }
  __builtin_memcpy(c->bytes + c->held, bytes.ptr, bytes.len);
  c->held += static_cast<u32>(bytes.len);
}

mem::Bytes word(const char* text) { return mem::cstr(text); }

// The text of a fixed field up to its first zero.
mem::Bytes field(const u8* bytes, u64 size) { return mem::Bytes(bytes, model::name_end(bytes, size)); }

mem::Bytes slot_name(const usage::Usage* u, u32 slot) {
  return field(u->name[slot < usage::name_slots ? slot : usage::name_slots - 1], usage::name_bytes);
}

bool bit(u64 mask, u32 i) { return (mask >> i) & 1; }

void flag(Out out, bool set, const char* name) {
  if (set) text(out, word(name));
}

// ---- Pieces of a line: texts, numbers and the value forms, written in the order given.

struct F2 {
  u64 value;
};
struct F1 {
  u64 value;
};
struct L {
  u32 value;
};
struct T {
  i32 value;
};
struct Quoted {
  mem::Bytes name;
};

void put(Out out, mem::Bytes bytes) { text(out, bytes); }
void put(Out out, const char* piece) { text(out, word(piece)); }
void put(Out out, u64 value) { number(out, value); }
void put(Out out, F2 v) { hundredths(out, v.value); }
void put(Out out, F1 v) { tenths(out, v.value); }
void put(Out out, L v) { level(out, v.value); }
void put(Out out, T v) { temp(out, v.value); }
void put(Out out, const words::Text& t) { text(out, mem::Bytes(t.bytes, t.len)); }
void put(Out out, Quoted q) {
  text(out, mem::lit("\""));
  text(out, q.name);
  text(out, mem::lit("\""));
}

template <typename... Pieces>
void say(Out out, const Pieces&... pieces) {
  (put(out, pieces), ...);
}

// "label: N unit", e.g. "memory total: 512 MiB".
void number_line(Out out, const char* name, u64 value, mem::Bytes unit) { say(out, name, ": ", value, unit, "\n"); }

// A memory size, or "n/a" when its source was missing.
void mib_line(Out out, const char* name, u64 mib, bool missing) {
  if (missing) return say(out, name, ": n/a\n");
  number_line(out, name, mib, mem::lit(" MiB"));
}

void percent_line(Out out, const char* name, u32 value) { say(out, name, ": ", F2{value}, " %\n"); }

// ---- System section pieces.

void cores(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->cpus, usage::max_cpus);
  for (u32 i = 0; i < n; ++i) {
    say(out, "core ", u64{i}, ": ", L{row->core_load[i]}, " % kernel ", L{u->core_kernel[i]}, " %");
    flag(out, bit(row->core_saturated, i), " saturated");
    end_line(out);
  }
}

void memory(Out out, const usage::Usage* u, const ring::Row* row) {
  mib_line(out, "memory total", u->memory_total, false);
  mib_line(out, "memory used", row->memory_mib, false);
  mib_line(out, "memory available", u->memory_available, false);
  mib_line(out, "memory cache", u->system_cache, false);
  mib_line(out, "memory modified", u->modified, u->flags & usage::modified_missing);
  mib_line(out, "memory standby", u->standby, u->flags & usage::standby_missing);
  mib_line(out, "commit used", row->commit_mib, false);
  mib_line(out, "commit limit", u->commit_limit, false);
  mib_line(out, "memory paged pool", u->paged_pool, false);
  mib_line(out, "memory non-paged pool", u->nonpaged_pool, false);
}

void volumes(Out out, const usage::Usage* u) {
  for (u32 l = 0; l < usage::letters; ++l) {
    if (!bit(u->volume_present, l)) continue;
    const u8 letter = static_cast<u8>('A' + l);
    say(out, "volume ", mem::Bytes(&letter, 1), ": ", Quoted{slot_name(u, u->volume_label[l])}, " total ",
        u64{u->volume_total[l]}, " MiB used ", u64{u->volume_used[l]}, " MiB free ", u64{u->volume_free[l]}, " MiB");
    flag(out, bit(u->volume_removable, l), " removable");
    flag(out, bit(u->volume_saturated, l), " saturated");
    end_line(out);
  }
}

void disks(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->disks, usage::max_disks);
  for (u32 i = 0; i < n; ++i) {
    say(out, "disk ", slot_name(u, u->disk_name[i]));
    if (bit(u->disk_missing, i)) {
      say(out, " counters missing\n");
      continue;
    }
    say(out, " read ", u64{row->disk_read[i]}, " KiB/s write ", u64{row->disk_write[i]}, " KiB/s active ",
        L{u->disk_level[i]}, " % used ");
    if (u->disk_letters[i]) {
      say(out, u64{row->disk_figure[i]}, " MiB");
    } else {
      say(out, "-");
    }
    flag(out, bit(u->disk_saturated, i), " saturated");
    end_line(out);
  }
}

void interfaces(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->nics, usage::max_nics);
  u64 rx = 0, tx = 0;
  for (u32 i = 0; i < n; ++i) {
    say(out, "interface ", slot_name(u, u->nic_name[i]), " link ", u64{u->nic_mbps[i]}, " Mbit/s rx ",
        u64{row->receive[i]}, " KiB/s tx ", u64{row->send[i]}, " KiB/s total rx ", u->received[i], " bytes tx ",
        u->sent[i], " bytes");
    flag(out, !bit(u->nic_up, i), " down");
    flag(out, bit(u->nic_virtual, i), " virtual");
    flag(out, bit(u->nic_saturated, i), " saturated");
    end_line(out);
    if (!bit(u->nic_virtual, i)) {
      rx += row->receive[i];
      tx += row->send[i];
    }
  }
  say(out, "network total: rx ", rx, " KiB/s tx ", tx, " KiB/s (virtual interfaces not counted)\n");
}

void gpus(Out out, const usage::Usage* u, const ring::Row* row) {
  say(out, "gpus: ", u64{u->gpus});
  flag(out, u->gpus == 0, " (no GPU reported)");
  end_line(out);
  u32 n = bits::min32(u->gpus, usage::max_gpus);
  for (u32 i = 0; i < n; ++i) {
    say(out, "gpu ", u64{i}, ": ", Quoted{slot_name(u, u->gpu_name[i])}, " utilisation ", F2{row->gpu_load[i]}, " %");
    for (u32 c = 1; c < engine_classes; ++c) {
      if (bit(u->gpu_classes[i], c)) say(out, " ", engine_name(c), " ", F2{u->gpu_class[i][c]}, " %");
    }
    flag(out, bit(u->gpu_saturated, i), " saturated");
    end_line(out);
    say(out, "gpu ", u64{i}, " memory: dedicated ", u64{row->gpu_dedicated_mib[i]}, " / ", u64{u->gpu_dedicated[i]},
        " MiB shared ", u64{u->gpu_shared_used[i]}, " / ", u64{u->gpu_shared_limit[i]}, " MiB\n");
  }
}

void power(Out out, const usage::Usage* u, const ring::Row* row) {
  const u32 valid = u->power_flags & 15;
  if (!valid) return;
  say(out, "power: ", F1{row->power}, " W (");
  bool first = true;
  for (u32 p = 0; p < usage::parts; ++p) {
    if (!bit(valid, p)) continue;
    say(out, first ? "" : " ", hw::power_part_text(p), " ", F1{u->power[p]}, " W");
    first = false;
  }
  say(out, ")");
  flag(out, u->power_flags & usage::power_battery, " on battery");
  flag(out, u->power_flags & usage::power_saturated, " saturated");
  end_line(out);
}

void batteries(Out out, const usage::Usage* u) {
  u32 n = bits::min32(u->batteries, usage::max_batteries);
  for (u32 i = 0; i < n; ++i) {
    const u32 state = hw::plane_state(mem::Bytes(u->battery_state, sizeof u->battery_state), 3, i);
    say(out, "battery ", u64{i}, ": ", u64{u->battery_charge[i]}, " % ", hw::battery_text(state), "\n");
  }
  n = bits::min32(u->zones, usage::max_zones);
  for (u32 i = 0; i < n; ++i) say(out, "thermal zone ", u64{u->zone_number[i]}, ": ", T{u->zone_temp[i]}, " C\n");
}

void temperature(Out out, mem::Bytes name, mem::Bytes more, i32 value, bool fixed) {
  say(out, "temperature ", name, more, ": ", T{value}, " C");
  flag(out, fixed, " (fixed)");
  end_line(out);
}

void counts(Out out, const usage::Usage* u, const ring::Row* row) {
  number_line(out, "uptime", u->uptime, mem::lit(" s"));
  number_line(out, "processes", row->processes, mem::Bytes());
  number_line(out, "threads", row->threads, mem::Bytes());
  number_line(out, "handles", row->handles, mem::Bytes());
  const u32 cut = u->truncated & 63;
  if (cut) {
    say(out, "truncated:");
    const char* names[] = {" cores", " disks", " interfaces", " gpus", " batteries", " thermal-zones"};
    for (u32 b = 0; b < 6; ++b) flag(out, bit(cut, b), names[b]);
    end_line(out);
  }
  if (u->flags & 0x1CF) say(out, "saturated: values at the limit of their type\n");
}

// ---- Hardware section pieces.

// "label: N unit", or "label: -" for 0.
void known_line(Out out, const char* name, u64 value, mem::Bytes unit) {
  if (value) return number_line(out, name, value, unit);
  say(out, name, ": -\n");
}

void cpu_lines(Out out, const hw::Hardware* h, u64 performance) {
  mem::Bytes host = field(h->host, hw::text_bytes), kernel = field(h->kernel, hw::text_bytes);
  if (host.len) say(out, "host: ", host, "\n");
  if (kernel.len) say(out, "kernel: ", kernel, "\n");
  say(out, "cpu vendor: ", hw::vendor_text(h->vendor), "\n");
  words::Text t{};
  hw::family_text(&t, h);
  say(out, "cpu identity: ", t, "\n");
  known_line(out, "cpu sockets", h->sockets, mem::Bytes());
  known_line(out, "cpu cores", h->cores, mem::Bytes());
  known_line(out, "cpu logical processors", h->logical, mem::Bytes());
  known_line(out, "cpu base speed", h->base_mhz, mem::lit(" MHz"));
  known_line(out, "cpu speed", hw::speed_mhz(h->base_mhz, performance), mem::lit(" MHz"));
  known_line(out, "cpu L1 cache", h->l1_kib, mem::lit(" KiB"));
  known_line(out, "cpu L2 cache", h->l2_kib, mem::lit(" KiB"));
  known_line(out, "cpu L3 cache", h->l3_kib, mem::lit(" KiB"));
  constexpr u32 selection = 0x0BFF;  // SSE2 to SHA, and RDRAND
  t = words::Text{};
  hw::features_line(&t, h->features, h->known, selection);
  const u32 known = h->known & selection;
  if (known != 0 && known != selection) words::put(&t, mem::lit(" (no CPUID)"));
  say(out, "cpu instruction sets: ", t, "\n");
  say(out, "cpu virtualisation: ", hw::virt_text(hw::virt_state(h->features, h->known)), "\n");
}

void memory_lines(Out out, const hw::Hardware* h, const usage::Usage* u) {
  const hw::Memory* m = &h->memory;
  say(out, "memory type: ", hw::mem_text(m->kind), " form factor: ", hw::form_text(m->form), "\n");
  known_line(out, "memory speed", m->speed, mem::lit(" MT/s"));
  words::Text t{};
  hw::slots_text(&t, m->slots_used, m->slots);
  say(out, "memory slots used: ", t, "\n");
  known_line(out, "memory installed", m->installed_mib, mem::lit(" MiB"));
  if (m->installed_mib) {
    say(out, "memory hardware reserved: ", u64{hw::reserved_mib(m->installed_mib, u->memory_total)}, " MiB\n");
  } else {
    say(out, "memory hardware reserved: -\n");
  }
  known_line(out, "memory compressed", m->compressed_mib, mem::lit(" MiB"));
}

void disk_lines(Out out, const hw::Hardware* h, const usage::Usage* u) {
  u32 n = bits::min32(u->disks, usage::max_disks);
  for (u32 i = 0; i < n; ++i) {
    const u32 d = u->disk_number[i];
    const bool matched = d < hw::max_drives && bit(h->drive_mask, d);
    words::Text type{}, model_text{};
    if (matched) {
      hw::disk_type(&type, hw::plane_value(h->media, 2, d), hw::plane_value(h->bus, 3, d));
      hw::known_text(&model_text, mem::Bytes(h->drive_model[d], hw::text_bytes));
    } else {
      hw::dash(&type);
      hw::dash(&model_text);
    }
    say(out, "disk ", Quoted{slot_name(u, u->disk_name[i])}, " type: ", type, " model: ", model_text, "\n");
  }
}

// The addresses of one family of adapter k, separated by one blank; "-" when none.
words::Text addresses(const hw::Adapters* a, u32 k, bool v6) {
  words::Text t{};
  u32 n = bits::min32(v6 ? a->ipv6_count[k] : a->ipv4_count[k], hw::max_addresses);
  for (u32 j = 0; j < n; ++j) {
    if (j) words::put(&t, mem::lit(" "));
    if (v6) {
      hw::ipv6_text(&t, a->ipv6[k][j]);
    } else {
      hw::ipv4_text(&t, a->ipv4[k][j]);
    }
  }
  if (n == 0) hw::dash(&t);
  return t;
}

void nic_lines(Out out, const hw::Adapters* a, const usage::Usage* u) {
  u32 n = bits::min32(u->nics, usage::max_nics);
  for (u32 i = 0; i < n; ++i) {
    const Quoted name{slot_name(u, u->nic_name[i])};
    const u32 k = hw::adapter_of(a, u->nic_id[i]);
    if (k >= hw::max_adapters) {
      const char* items[] = {" adapter: - type: -\n", " mac: -\n", " ipv4: -\n", " ipv6: -\n", " dns suffix: -\n"};
      for (const char* item : items) say(out, "interface ", name, item);
      continue;
    }
    words::Text description{}, mac{}, suffix{};
    hw::known_text(&description, mem::Bytes(a->description[k], hw::text_bytes));
    hw::mac_text(&mac, a->mac[k]);
    hw::known_text(&suffix, mem::Bytes(a->dns_suffix[k], hw::text_bytes));
    say(out, "interface ", name, " adapter: ", description, " type: ", hw::conn_text(hw::plane_value(a->conn, 2, k)),
        "\n");
    say(out, "interface ", name, " mac: ", mac, "\n");
    say(out, "interface ", name, " ipv4: ", addresses(a, k, false), "\n");
    say(out, "interface ", name, " ipv6: ", addresses(a, k, true), "\n");
    say(out, "interface ", name, " dns suffix: ", suffix, "\n");
  }
}

// ---- Process section pieces.

// The ranking key: CPU descending, then row ascending; the idle process ranks as 0 % CPU.
u32 rank_key(const model::ProcTable* t, u32 row) {
  const u64 cpu = t->pid[row] == no_cpu_pid ? 0 : t->cpu[row];
  return static_cast<u32>((1ull << 32) - (cpu + 1) * 65536 + row);
}

}  // namespace

Out console(Console* console) {
  console->failure = 0;
  console->held = 0;
  return Out{to_console, console};
}

u32 finish(Console* console) {
  flush(console);
  return console->failure;
}

void text(Out out, mem::Bytes bytes) {
  if (bytes.len) out.write(out.context, bytes);
}

void number(Out out, u64 value) {
  u8 digits[fmt::dec_size];
  text(out, fmt::dec(value, digits));
}

void end_line(Out out) { text(out, mem::lit("\n")); }

void hundredths(Out out, u64 value) {
  number(out, value / 100);
  text(out, mem::lit("."));
  if (value % 100 < 10) text(out, mem::lit("0"));
  number(out, value % 100);
}

void tenths(Out out, u64 value) {
  number(out, value / 10);
  text(out, mem::lit("."));
  number(out, value % 10);
}

void level(Out out, u32 value) { tenths(out, static_cast<u64>(value) * 5); }

void temp(Out out, i32 value) {
  if (value < 0) text(out, mem::lit("-"));
  tenths(out, hw::deci_magnitude(value));
}

mem::Bytes engine_name(u32 engine_class) {
  switch (engine_class) {
    case 1: return mem::lit("3D");
    case 2: return mem::lit("Copy");
    case 3: return mem::lit("Video Decode");
    case 4: return mem::lit("Video Encode");
    case 5: return mem::lit("Compute");
    default: return mem::Bytes();
  }
}

void system(Out out, const usage::Usage* u, const ring::Row* row) {
  say(out, "Vimbrel snapshot\ncpu: ", slot_name(u, 0), "\n");
  number_line(out, "cores", u->cpus, mem::lit(" logical processors"));
  percent_line(out, "cpu total", row->load);
  percent_line(out, "cpu kernel", u->kernel);
  percent_line(out, "cpu interrupt", u->interrupt);
  cores(out, u, row);
  memory(out, u, row);
  volumes(out, u);
  disks(out, u, row);
  interfaces(out, u, row);
  gpus(out, u, row);
  power(out, u, row);
  batteries(out, u);
  temperatures(out, u);
  counts(out, u, row);
}

void temperatures(Out out, const usage::Usage* u) {
  const heat::Block* b = &u->temps;
  const char* cpu_kinds[] = {"", "", " (hottest core)", " (SoC)"};
  if (b->cpu_kind >= 1 && b->cpu_kind <= 3) {
    temperature(out, mem::lit("cpu"), word(cpu_kinds[b->cpu_kind]), b->cpu, false);
  }
  for (u32 i = 0; i < heat::gpu_slots; ++i) {
    const u8 digit = static_cast<u8>('0' + i);
    if (bit(b->gpu_mask, i)) temperature(out, mem::lit("gpu "), mem::Bytes(&digit, 1), b->gpu[i], false);
  }
  for (u32 i = 0; i < heat::disk_slots; ++i) {
    u8 digits[fmt::dec_size];
    if (bit(b->disk_mask, i)) temperature(out, mem::lit("disk "), fmt::dec(i, digits), b->disk[i], false);
  }
  u32 named = bits::min32(b->named, heat::sensors);
  for (u32 i = 0; i < named; ++i) {
    temperature(out, mem::lit("sensor "), field(b->name[i], heat::name_bytes), b->sensor[i],
                bit(b->frozen_mask, i));
  }
}

void hardware(Out out, const hw::Hardware* h, const hw::Adapters* a, const usage::Usage* u, u64 performance) {
  say(out, "hardware (read now, not recorded):\n");
  cpu_lines(out, h, performance);
  memory_lines(out, h, u);
  disk_lines(out, h, u);
  nic_lines(out, a, u);
  const u32 flags = (h->status | a->flags) & ((1u << hardware_flag_count) - 1);
  if (flags) {
    say(out, "hardware flags:");
    const char* names[] = {" processor-information-missing", " power-information-missing", " smbios-missing",
                           " compressed-missing", " saturated", " adapters-missing", " adapters-truncated"};
    for (u32 b = 0; b < hardware_flag_count; ++b) flag(out, bit(flags, b), names[b]);
    end_line(out);
  }
}

void proc_row(Out out, const model::ProcTable* t, u32 row) {
  u8 name[model::name_max];
  u64 n = model::proc_full_name(t, row, mem::Slice{name, sizeof name});
  say(out, "pid ", u64{t->pid[row]}, " ", Quoted{mem::Bytes(name, n)}, " cpu ", F2{t->cpu[row]}, " % memory ",
      u64{t->working_set[row] / 256u}, " MiB io ");  // working set in 4 KiB units
  if (model::disk_unreported(t, row)) {
    say(out, "not reported");
  } else {
    say(out, static_cast<u64>(t->read_rate[row]) + t->write_rate[row], " KiB/s");
  }
  // GPU memory in 4 MiB units.
  say(out, " threads ", u64{t->thread_count[row]}, " tcp ", u64{t->tcp[row]}, " gpu ", F2{t->gpu[row]}, " % vram ",
      static_cast<u64>(t->gpu_memory[row]) * 4, " MiB");
  flag(out, bit(t->clipped[row / 64], row % 64), " saturated");
  end_line(out);
}

u32 ranked_rows(const model::ProcTable* t, u32* rows) {
  u32 keys[model::rows], scratch[model::rows];
  const u32 count = bits::min32(t->count, model::rows);
  for (u32 r = 0; r < count; ++r) keys[r] = rank_key(t, r);
  bits::radix32(keys, count, scratch, model::rows);
  const u32 top = bits::min32(count, ranked_most);
  for (u32 i = 0; i < top; ++i) rows[i] = keys[i] & 0xFFFF;
  return top;
}

void procs(Out out, const model::ProcTable* t) {
  say(out, "process table: ", u64{t->processes}, " processes ", u64{t->threads}, " threads ", u64{t->tcp_total},
      " tcp connections\n");
  u32 rows[ranked_most];
  const u32 top = ranked_rows(t, rows);
  say(out, "top ", u64{top}, " by cpu (Idle not ranked):\n");
  for (u32 i = 0; i < top; ++i) proc_row(out, t, rows[i]);
  const u32 flags = t->flags & 31;
  if (flags) {
    say(out, "process table flags:");
    const char* names[] = {" truncated", " corrupt", " stale", " tcp-truncated", " tcp-missing"};
    for (u32 b = 0; b < 5; ++b) flag(out, bit(flags, b), names[b]);
    end_line(out);
  }
}

}  // namespace print
