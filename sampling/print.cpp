#include "sampling/print.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "base/words.h"
#include "platform/os.h"

namespace print {
namespace {

constexpr u32 ranked = 10;  // processes listed by CPU
constexpr u32 no_cpu_pid = 0;  // the idle process: its share is idle time, not work
constexpr u32 hardware_flag_count = 7;
constexpr u32 engine_classes = 6;

void to_console(void*, mem::Bytes bytes) { os::write_out(bytes); }

mem::Bytes word(const char* text) { return mem::cstr(text); }

void label(Out out, const char* name) {
  text(out, word(name));
  text(out, mem::lit(": "));
}

void line(Out out, words::Text* t) { text(out, mem::Bytes(t->bytes, t->len)); }

// The text of a fixed field up to its first zero.
mem::Bytes field(const u8* bytes, u64 size) { return mem::Bytes(bytes, model::name_end(bytes, size)); }

mem::Bytes slot_name(const usage::Usage* u, u32 slot) {
  return field(u->name[slot < usage::name_slots ? slot : usage::name_slots - 1], usage::name_bytes);
}

void quoted(Out out, mem::Bytes name) {
  text(out, mem::lit("\""));
  text(out, name);
  text(out, mem::lit("\""));
}

bool bit(u64 mask, u32 i) { return (mask >> i) & 1; }

// "label: N unit", e.g. "memory total: 512 MiB".
void number_line(Out out, const char* name, u64 value, mem::Bytes unit) {
  label(out, name);
  number(out, value);
  text(out, unit);
  end_line(out);
}

// A memory size, or "n/a" when its source was missing.
void mib_line(Out out, const char* name, u64 mib, bool missing) {
  if (missing) {
    label(out, name);
    text(out, mem::lit("n/a"));
    end_line(out);
    return;
  }
  number_line(out, name, mib, mem::lit(" MiB"));
}

void percent_line(Out out, const char* name, u32 value) {
  label(out, name);
  hundredths(out, value);
  text(out, mem::lit(" %"));
  end_line(out);
}

void flag(Out out, bool set, const char* name) {
  if (set) text(out, word(name));
}

// ---- System section pieces.

void cores(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->cpus, usage::max_cpus);
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("core "));
    number(out, i);
    text(out, mem::lit(": "));
    level(out, row->core_load[i]);
    text(out, mem::lit(" % kernel "));
    level(out, u->core_kernel[i]);
    text(out, mem::lit(" %"));
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
    text(out, mem::lit("volume "));
    text(out, mem::Bytes(&letter, 1));
    text(out, mem::lit(": "));
    quoted(out, slot_name(u, u->volume_label[l]));
    text(out, mem::lit(" total "));
    number(out, u->volume_total[l]);
    text(out, mem::lit(" MiB used "));
    number(out, u->volume_used[l]);
    text(out, mem::lit(" MiB free "));
    number(out, u->volume_free[l]);
    text(out, mem::lit(" MiB"));
    flag(out, bit(u->volume_removable, l), " removable");
    flag(out, bit(u->volume_saturated, l), " saturated");
    end_line(out);
  }
}

void disks(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->disks, usage::max_disks);
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("disk "));
    text(out, slot_name(u, u->disk_name[i]));
    if (bit(u->disk_missing, i)) {
      text(out, mem::lit(" counters missing"));
      end_line(out);
      continue;
    }
    text(out, mem::lit(" read "));
    number(out, row->disk_read[i]);
    text(out, mem::lit(" KiB/s write "));
    number(out, row->disk_write[i]);
    text(out, mem::lit(" KiB/s active "));
    level(out, u->disk_level[i]);
    text(out, mem::lit(" % used "));
    if (u->disk_letters[i]) {
      number(out, row->disk_figure[i]);
      text(out, mem::lit(" MiB"));
    } else {
      text(out, mem::lit("-"));
    }
    flag(out, bit(u->disk_saturated, i), " saturated");
    end_line(out);
  }
}

void interfaces(Out out, const usage::Usage* u, const ring::Row* row) {
  u32 n = bits::min32(u->nics, usage::max_nics);
  u64 rx = 0, tx = 0;
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("interface "));
    text(out, slot_name(u, u->nic_name[i]));
    text(out, mem::lit(" link "));
    number(out, u->nic_mbps[i]);
    text(out, mem::lit(" Mbit/s rx "));
    number(out, row->receive[i]);
    text(out, mem::lit(" KiB/s tx "));
    number(out, row->send[i]);
    text(out, mem::lit(" KiB/s total rx "));
    number(out, u->received[i]);
    text(out, mem::lit(" bytes tx "));
    number(out, u->sent[i]);
    text(out, mem::lit(" bytes"));
    flag(out, !bit(u->nic_up, i), " down");
    flag(out, bit(u->nic_virtual, i), " virtual");
    flag(out, bit(u->nic_saturated, i), " saturated");
    end_line(out);
    if (!bit(u->nic_virtual, i)) {
      rx += row->receive[i];
      tx += row->send[i];
    }
  }
  text(out, mem::lit("network total: rx "));
  number(out, rx);
  text(out, mem::lit(" KiB/s tx "));
  number(out, tx);
  text(out, mem::lit(" KiB/s (virtual interfaces not counted)"));
  end_line(out);
}

void gpus(Out out, const usage::Usage* u, const ring::Row* row) {
  text(out, mem::lit("gpus: "));
  number(out, u->gpus);
  flag(out, u->gpus == 0, " (no GPU reported)");
  end_line(out);
  u32 n = bits::min32(u->gpus, usage::max_gpus);
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("gpu "));
    number(out, i);
    text(out, mem::lit(": "));
    quoted(out, slot_name(u, u->gpu_name[i]));
    text(out, mem::lit(" utilisation "));
    hundredths(out, row->gpu_load[i]);
    text(out, mem::lit(" %"));
    for (u32 c = 1; c < engine_classes; ++c) {
      if (!bit(u->gpu_classes[i], c)) continue;
      text(out, mem::lit(" "));
      text(out, engine_name(c));
      text(out, mem::lit(" "));
      hundredths(out, u->gpu_class[i][c]);
      text(out, mem::lit(" %"));
    }
    flag(out, bit(u->gpu_saturated, i), " saturated");
    end_line(out);
    text(out, mem::lit("gpu "));
    number(out, i);
    text(out, mem::lit(" memory: dedicated "));
    number(out, row->gpu_dedicated_mib[i]);
    text(out, mem::lit(" / "));
    number(out, u->gpu_dedicated[i]);
    text(out, mem::lit(" MiB shared "));
    number(out, u->gpu_shared_used[i]);
    text(out, mem::lit(" / "));
    number(out, u->gpu_shared_limit[i]);
    text(out, mem::lit(" MiB"));
    end_line(out);
  }
}

void power(Out out, const usage::Usage* u, const ring::Row* row) {
  const u32 valid = u->power_flags & 15;
  if (!valid) return;
  text(out, mem::lit("power: "));
  tenths(out, row->power);
  text(out, mem::lit(" W ("));
  bool first = true;
  for (u32 p = 0; p < usage::parts; ++p) {
    if (!bit(valid, p)) continue;
    if (!first) text(out, mem::lit(" "));
    first = false;
    text(out, hw::power_part_text(p));
    text(out, mem::lit(" "));
    tenths(out, u->power[p]);
    text(out, mem::lit(" W"));
  }
  text(out, mem::lit(")"));
  flag(out, u->power_flags & usage::power_battery, " on battery");
  flag(out, u->power_flags & usage::power_saturated, " saturated");
  end_line(out);
}

void batteries(Out out, const usage::Usage* u) {
  u32 n = bits::min32(u->batteries, usage::max_batteries);
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("battery "));
    number(out, i);
    text(out, mem::lit(": "));
    number(out, u->battery_charge[i]);
    text(out, mem::lit(" % "));
    text(out, hw::battery_text(hw::plane_state(mem::Bytes(u->battery_state, sizeof u->battery_state), 3, i)));
    end_line(out);
  }
  n = bits::min32(u->zones, usage::max_zones);
  for (u32 i = 0; i < n; ++i) {
    text(out, mem::lit("thermal zone "));
    number(out, u->zone_number[i]);
    text(out, mem::lit(": "));
    temp(out, u->zone_temp[i]);
    text(out, mem::lit(" C"));
    end_line(out);
  }
}

void temperature(Out out, mem::Bytes name, mem::Bytes more, i32 value, bool fixed) {
  text(out, mem::lit("temperature "));
  text(out, name);
  text(out, more);
  text(out, mem::lit(": "));
  temp(out, value);
  text(out, mem::lit(" C"));
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
    text(out, mem::lit("truncated:"));
    const char* names[] = {" cores", " disks", " interfaces", " gpus", " batteries", " thermal-zones"};
    for (u32 b = 0; b < 6; ++b) flag(out, bit(cut, b), names[b]);
    end_line(out);
  }
  if (u->flags & 0x1CF) {
    text(out, mem::lit("saturated: values at the limit of their type"));
    end_line(out);
  }
}

// ---- Hardware section pieces.

// "label: N unit", or "label: -" for 0.
void known_line(Out out, const char* name, u64 value, mem::Bytes unit) {
  if (value) return number_line(out, name, value, unit);
  label(out, name);
  text(out, mem::lit("-"));
  end_line(out);
}

void text_line(Out out, const char* name, words::Text* t) {
  label(out, name);
  line(out, t);
  end_line(out);
}

void cpu_lines(Out out, const hw::Hardware* h, u64 performance) {
  mem::Bytes host = field(h->host, hw::text_bytes), kernel = field(h->kernel, hw::text_bytes);
  if (host.len) {
    label(out, "host");
    text(out, host);
    end_line(out);
  }
  if (kernel.len) {
    label(out, "kernel");
    text(out, kernel);
    end_line(out);
  }
  label(out, "cpu vendor");
  text(out, hw::vendor_text(h->vendor));
  end_line(out);
  words::Text t{};
  hw::family_text(&t, h);
  text_line(out, "cpu identity", &t);
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
  text_line(out, "cpu instruction sets", &t);
  label(out, "cpu virtualisation");
  text(out, hw::virt_text(hw::virt_state(h->features, h->known)));
  end_line(out);
}

void memory_lines(Out out, const hw::Hardware* h, const usage::Usage* u) {
  const hw::Memory* m = &h->memory;
  label(out, "memory type");
  text(out, hw::mem_text(m->kind));
  text(out, mem::lit(" form factor: "));
  text(out, hw::form_text(m->form));
  end_line(out);
  known_line(out, "memory speed", m->speed, mem::lit(" MT/s"));
  words::Text t{};
  hw::slots_text(&t, m->slots_used, m->slots);
  text_line(out, "memory slots used", &t);
  known_line(out, "memory installed", m->installed_mib, mem::lit(" MiB"));
  label(out, "memory hardware reserved");
  if (m->installed_mib) {
    number(out, hw::reserved_mib(m->installed_mib, u->memory_total));
    text(out, mem::lit(" MiB"));
  } else {
    text(out, mem::lit("-"));
  }
  end_line(out);
  known_line(out, "memory compressed", m->compressed_mib, mem::lit(" MiB"));
}

void disk_lines(Out out, const hw::Hardware* h, const usage::Usage* u) {
  u32 n = bits::min32(u->disks, usage::max_disks);
  for (u32 i = 0; i < n; ++i) {
    const u32 number_of = u->disk_number[i];
    const bool matched = number_of < hw::max_drives && bit(h->drive_mask, number_of);
    words::Text t{};
    text(out, mem::lit("disk "));
    quoted(out, slot_name(u, u->disk_name[i]));
    text(out, mem::lit(" type: "));
    if (matched) {
      hw::disk_type(&t, hw::plane_value(h->media, 2, number_of), hw::plane_value(h->bus, 3, number_of));
    } else {
      hw::dash(&t);
    }
    line(out, &t);
    text(out, mem::lit(" model: "));
    t = words::Text{};
    if (matched) {
      hw::known_text(&t, mem::Bytes(h->drive_model[number_of], hw::text_bytes));
    } else {
      hw::dash(&t);
    }
    line(out, &t);
    end_line(out);
  }
}

// "interface "name" item: ", the line's start for one item of an interface.
void nic_item(Out out, mem::Bytes name, const char* item) {
  text(out, mem::lit("interface "));
  quoted(out, name);
  text(out, mem::lit(" "));
  label(out, item);
}

void address_line(Out out, mem::Bytes name, const hw::Adapters* a, u32 k, bool v6) {
  nic_item(out, name, v6 ? "ipv6" : "ipv4");
  words::Text t{};
  u32 n = k == hw::no_adapter ? 0 : bits::min32(v6 ? a->ipv6_count[k] : a->ipv4_count[k], hw::max_addresses);
  for (u32 j = 0; j < n; ++j) {
    if (j) words::put(&t, mem::lit(" "));
    if (v6) {
      hw::ipv6_text(&t, a->ipv6[k][j]);
    } else {
      hw::ipv4_text(&t, a->ipv4[k][j]);
    }
  }
  if (n == 0) hw::dash(&t);
  line(out, &t);
  end_line(out);
}

void nic_lines(Out out, const hw::Adapters* a, const usage::Usage* u) {
  u32 n = bits::min32(u->nics, usage::max_nics);
  for (u32 i = 0; i < n; ++i) {
    const mem::Bytes name = slot_name(u, u->nic_name[i]);
    const u32 k = hw::adapter_of(a, u->nic_id[i]);
    const bool found = k != hw::no_adapter && k < hw::max_adapters;
    words::Text t{};
    nic_item(out, name, "adapter");
    if (found) {
      hw::known_text(&t, mem::Bytes(a->description[k], hw::text_bytes));
      words::put(&t, mem::lit(" type: "));
      words::put(&t, hw::conn_text(hw::plane_value(a->conn, 2, k)));
    } else {
      words::put(&t, mem::lit("- type: -"));
    }
    line(out, &t);
    end_line(out);
    nic_item(out, name, "mac");
    t = words::Text{};
    if (found) {
      hw::mac_text(&t, a->mac[k]);
    } else {
      hw::dash(&t);
    }
    line(out, &t);
    end_line(out);
    address_line(out, name, a, found ? k : hw::no_adapter, false);
    address_line(out, name, a, found ? k : hw::no_adapter, true);
    nic_item(out, name, "dns suffix");
    t = words::Text{};
    if (found) {
      hw::known_text(&t, mem::Bytes(a->dns_suffix[k], hw::text_bytes));
    } else {
      hw::dash(&t);
    }
    line(out, &t);
    end_line(out);
  }
}

// ---- Process section pieces.

// The ranking key: CPU descending, then row ascending; the idle process ranks as 0 % CPU.
u32 rank_key(const model::ProcTable* t, u32 row) {
  const u64 cpu = t->pid[row] == no_cpu_pid ? 0 : t->cpu[row];
  return static_cast<u32>((1ull << 32) - (cpu + 1) * 65536 + row);
}

}  // namespace

Out console() { return Out{to_console, nullptr}; }

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
  text(out, mem::lit("Vimbrel snapshot"));
  end_line(out);
  text(out, mem::lit("cpu: "));
  text(out, slot_name(u, 0));
  end_line(out);
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
    if (!bit(b->disk_mask, i)) continue;
    u8 digits[fmt::dec_size];
    temperature(out, mem::lit("disk "), fmt::dec(i, digits), b->disk[i], false);
  }
  u32 named = bits::min32(b->named, heat::sensors);
  for (u32 i = 0; i < named; ++i) {
    temperature(out, mem::lit("sensor "), field(b->name[i], heat::name_bytes), b->sensor[i],
                bit(b->frozen_mask, i));
  }
}

void hardware(Out out, const hw::Hardware* h, const hw::Adapters* a, const usage::Usage* u, u64 performance) {
  text(out, mem::lit("hardware (read now, not recorded):"));
  end_line(out);
  cpu_lines(out, h, performance);
  memory_lines(out, h, u);
  disk_lines(out, h, u);
  nic_lines(out, a, u);
  const u32 flags = (h->status | a->flags) & ((1u << hardware_flag_count) - 1);
  if (flags) {
    text(out, mem::lit("hardware flags:"));
    const char* names[] = {" processor-information-missing", " power-information-missing", " smbios-missing",
                           " compressed-missing", " saturated", " adapters-missing", " adapters-truncated"};
    for (u32 b = 0; b < hardware_flag_count; ++b) flag(out, bit(flags, b), names[b]);
    end_line(out);
  }
}

void proc_row(Out out, const model::ProcTable* t, u32 row) {
  u8 name[model::name_max];
  u64 n = model::proc_full_name(t, row, mem::Slice{name, sizeof name});
  text(out, mem::lit("pid "));
  number(out, t->pid[row]);
  text(out, mem::lit(" "));
  quoted(out, mem::Bytes(name, n));
  text(out, mem::lit(" cpu "));
  hundredths(out, t->cpu[row]);
  text(out, mem::lit(" % memory "));
  number(out, t->working_set[row] / 256);  // 4 KiB units
  text(out, mem::lit(" MiB io "));
  if (model::disk_unreported(t, row)) {
    text(out, mem::lit("not reported"));
  } else {
    number(out, static_cast<u64>(t->read_rate[row]) + t->write_rate[row]);
    text(out, mem::lit(" KiB/s"));
  }
  text(out, mem::lit(" threads "));
  number(out, t->thread_count[row]);
  text(out, mem::lit(" tcp "));
  number(out, t->tcp[row]);
  text(out, mem::lit(" gpu "));
  hundredths(out, t->gpu[row]);
  text(out, mem::lit(" % vram "));
  number(out, static_cast<u64>(t->gpu_memory[row]) * 4);  // 4 MiB units
  text(out, mem::lit(" MiB"));
  flag(out, bit(t->clipped[row / 64], row % 64), " saturated");
  end_line(out);
}

void procs(Out out, const model::ProcTable* t) {
  text(out, mem::lit("process table: "));
  number(out, t->processes);
  text(out, mem::lit(" processes "));
  number(out, t->threads);
  text(out, mem::lit(" threads "));
  number(out, t->tcp_total);
  text(out, mem::lit(" tcp connections"));
  end_line(out);
  u32 keys[model::rows], scratch[model::rows];
  const u32 count = bits::min32(t->count, model::rows);
  for (u32 r = 0; r < count; ++r) keys[r] = rank_key(t, r);
  bits::radix32(keys, count, scratch, model::rows);
  const u32 top = bits::min32(count, ranked);
  text(out, mem::lit("top "));
  number(out, top);
  text(out, mem::lit(" by cpu (Idle not ranked):"));
  end_line(out);
  for (u32 i = 0; i < top; ++i) proc_row(out, t, keys[i] & 0xFFFF);
  const u32 flags = t->flags & 31;
  if (flags) {
    text(out, mem::lit("process table flags:"));
    const char* names[] = {" truncated", " corrupt", " stale", " tcp-truncated", " tcp-missing"};
    for (u32 b = 0; b < 5; ++b) flag(out, bit(flags, b), names[b]);
    end_line(out);
  }
}

}  // namespace print
