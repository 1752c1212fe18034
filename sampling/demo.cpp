#include "sampling/demo.h"

#include "base/bits.h"
#include "sampling/heat.h"

namespace demo {
namespace {

constexpr u32 golden = 0x9E3779B1u;

const char* const names[procs] = {
    "Idle",          "System",         "Registry",          "smss.exe",        "csrss.exe",
    "wininit.exe",   "services.exe",   "lsass.exe",         "svchost.exe",     "svchost.exe",
    "svchost.exe",   "svchost.exe",    "dwm.exe",           "explorer.exe",    "MsMpEng.exe",
    "SearchHost.exe", "RuntimeBroker.exe", "sihost.exe",    "taskhostw.exe",   "ctfmon.exe",
    "fontdrvhost.exe", "audiodg.exe",  "spoolsv.exe",       "conhost.exe",     "WmiPrvSE.exe",
    "vimbrel.exe",   "firefox.exe",    "firefox.exe",       "firefox.exe",     "firefox.exe",
    "Code.exe",      "Code.exe",       "game.exe",          "backup.exe",      "compiler.exe",
    "OneDrive.exe",  "mail.exe",       "music.exe",
    "a-very-long-process-name-from-a-vendor-that-ships-a-helper-service.exe",
    "Memory Compression", "updater.exe", "notepad.exe",     "setup.exe",       "installer.exe",
};

// The longest name a file may have (255 UTF-16 units), for the tooltip that must cut it.
const char longest_name[] =
    "the.tooltip.of.this.process.name.is.much.too.narrow.to.show.it.whole.so.it.has.to.cut.out.the.middle.and.keep."
    "the.beginning.and.the.end.because.the.end.of.any.name.tells.which.program.it.is.and.the.beginning.tells.who."
    "made.it.so.both.ends.stay.in.view.exe";
static_assert(sizeof longest_name - 1 == 255);

mem::Bytes text(const char* s) {
  u64 n = 0;
  while (s[n] != 0) ++n;
  return mem::Bytes(reinterpret_cast<const u8*>(s), n);
}

void put_text(u8* out, u64 capacity, const char* s) {
  mem::Bytes b = text(s);
  __builtin_memcpy(out, b.ptr, bits::min64(b.len, capacity));
}

void name(machine::Machine* m, u32 slot, const char* s) {
  mem::Bytes b = text(s);
  machine::set_name(m, slot, b.ptr, b.len);
}

// Scales a load in hundredths of a percent (capped at 100 %) onto span.
u32 scaled(u32 base, u32 span, u32 load) { return base + span * bits::min32(load, 10000) / 10000; }

}  // namespace

// ---- Value functions.

u32 hash(u32 a, u32 b, u32 c, u32 d) {
  // d + 1 in 64 bits: with d = 2^32 - 1 it would wrap to a division by zero.
  return static_cast<u32>(u64{((a ^ b * golden ^ c * 40503u) * 1664525u + 1013904223u) >> 24} % (u64{d} + 1));
}

u32 mix(u32 a, u32 b) { return ((a ^ b) * 1664525u + 1013904223u) >> 24; }

u32 wave(u32 x, u32 period, u32 amplitude) {
  u32 p = period > 1 ? period : 1;
  u32 r = x % p;
  u32 up = r < p / 2 ? r : p - r;
  return amplitude * up / (p < 2 ? 1 : p / 2);
}

bool in_window(u32 a, u32 b, u32 c, u32 from, u32 to) {
  u32 at = (a + b) % (c > 1 ? c : 1);
  return at >= from && at < to;
}

u32 window_value(u32 a, u32 b, u32 c, u32 length, u32 value) { return in_window(a, b, c, 0, length) ? value : 0; }

u16 pct(u32 sum, u32 n) {
  u32 k = n > 1 ? n : 1;
  return static_cast<u16>((bits::min32(sum, 200 * k) * 10000 + 100 * k) / (200 * k));
}

// ---- The machine.

void hardware(hw::Hardware* h, hw::Adapters* a) {
  __builtin_memset(h, 0, sizeof *h);
  __builtin_memset(a, 0, sizeof *a);
  h->l1_kib = 512;
  h->l2_kib = 8192;
  h->l3_kib = 32768;
  h->features = 0x3CFF;
  h->known = 0x7CFF;
  h->cores = 8;
  h->logical = 16;
  h->base_mhz = 4200;
  h->family = 25;
  h->sockets = 1;
  h->vendor = hw::vendor_amd;
  h->model = 97;
  h->stepping = 2;
  h->memory = hw::Memory{65728, 1200, 6000, 2, 4, hw::mem_ddr5, hw::form_dimm, {0, 0}};
  h->drive_mask = 3;
  // Kinds are bit-sliced: bit i of slice k is bit k of drive i's kind.
  h->media[0] = 1;  // drive 0 SSD (1)
  h->media[1] = 2;  // drive 1 HDD (2)
  h->bus[0] = 1;    // drive 0 NVMe (1)
  h->bus[1] = 2;    // drive 1 SATA (2)
  put_text(h->drive_model[0], hw::text_bytes, "Demo NVMe SSD 1TB");
  put_text(h->drive_model[1], hw::text_bytes, "Demo SATA HDD 2TB");

  a->count = 2;
  a->conn[0] = 1;  // adapter 0 Ethernet (1)
  a->conn[1] = 2;  // adapter 1 Wi-Fi (2)
  for (u32 i = 0; i < 2; ++i) {
    a->id[i] = i + 1;
    a->mac[i] = 0x020000000000ull | (i + 1);  // locally administered
    a->ipv4_count[i] = 1;
  }
  a->ipv4[0][0] = 0xC000020Au;  // 192.0.2.10
  a->ipv4[1][0] = 0xC6336407u;  // 198.51.100.7
  a->ipv6_count[0] = 1;
  const u8 v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};  // 2001:db8::10
  __builtin_memcpy(a->ipv6[0][0], v6, 16);
  put_text(a->description[0], hw::text_bytes, "Demo Ethernet Adapter");
  put_text(a->description[1], hw::text_bytes, "Demo Wi-Fi Adapter");
  put_text(a->dns_suffix[0], hw::text_bytes, "example.com");
}

void machine_init(State* st, machine::Machine* m, u32 gpu_count) {
  *st = State{};
  st->seed = seed;
  st->processors = processors;
  st->gpus = bits::min32(gpu_count, machine::max_gpus);
  st->engines = engines_start;
  machine::init(m);
  machine::set_counts(m, processors, 2, 2);
  machine::set_gpu(m, st->gpus, 8192, 32768, static_cast<u8>(st->engines));
  m->base_mhz = 4200;
  m->memory_total = 65536;
  m->disk_capacity[0] = 953869;
  m->disk_capacity[1] = 1907729;
  name(m, machine::slot_cpu, "Demo CPU");
  name(m, machine::slot_disks, "Disk 0 (C:)");
  name(m, machine::slot_disks + 1, "Disk 1 (D:)");
  name(m, machine::slot_nics, "Ethernet");
  name(m, machine::slot_nics + 1, "Wi-Fi");
  name(m, machine::slot_gpus, "Demo GPU");
  hw::Hardware h;
  hw::Adapters a;
  hardware(&h, &a);
  const u32 drives[2] = {0, 1};
  const u64 ids[2] = {1, 2};
  machine::take_hardware(m, &h, &a, drives, ids);
  m->commit_limit = 73728;
  m->paged_pool = 900;
  m->nonpaged_pool = 600;
  m->received[0] = 9999220736ull;
  m->received[1] = 1249902592ull;
  m->sent[0] = 1677721600ull;
  m->sent[1] = 209715200ull;
  m->link_mbps[0] = 1000;
  m->link_mbps[1] = 1200;
}

void compute_gpu(State* st, machine::Machine* m) {
  st->engines = engines_compute | (st->engines & integrated);
  machine::set_gpu(m, st->gpus, 8192, 32768, static_cast<u8>(st->engines));
}

void add_igpu(State* st, machine::Machine* m) {
  st->engines |= integrated;
  machine::set_gpu(m, st->gpus, 128, 32768, static_cast<u8>(st->engines));
  name(m, machine::slot_gpus, "Demo iGPU");
}

u32 core_load(u32 s, u32 t, u32 i) {
  if (i == 5 && t % 40 < 25) return 0;
  if (i == 2 && t % 50 >= 20 && t % 50 < 35) return 200;
  return bits::min32(wave(t + 11 * i, 4 * i + 30, 70) + hash(s, t, i, 30) + 60 * in_window(t, 13 * i, 47, 0, 6) + 20, 200);
}

u32 gpu_engine(u32 s, u32 t, u32 k) {
  u32 v = 0;
  switch (k) {
    case 1: v = wave(t, 36, 90) + hash(s, t, 180, 20) + window_value(t, 0, 53, 7, 60) + 20; break;
    case 2: v = hash(s, t, 181, 6) + window_value(t, 3, 29, 3, 40); break;
    case 3: v = (hash(s, t, 182, 8) + 36) * in_window(t, 0, 90, 30, 75); break;
    case 4: v = window_value(t, 10, 120, 20, hash(s, t, 183, 10) + 50); break;
    case 5: v = wave(t, 70, 100) + hash(s, t, 186, 10) + 30; break;
    default: break;
  }
  return bits::min32(v, 200);
}

void gpus(u32 s, u32 t, u32 count, u32 engines, ring::Row* r) {
  bool igpu = (engines & integrated) != 0;
  for (u32 i = 0; i < machine::max_gpus; ++i) {
    bool present = i < count;
    u32 top = 0;
    for (u32 k = 1; k <= 5; ++k) {
      u32 e = present && ((engines >> k) & 1) ? gpu_engine(s, t, k) : 0;
      r->gpu_engines[i][k - 1] = static_cast<u8>(e);
      top = e > top ? e : top;
    }
    r->gpu_load[i] = static_cast<u16>(50 * top);
    u32 dedicated = wave(t + 5, 80, 1200) + hash(s, t, 184, 64) + 2400;
    r->gpu_dedicated_mib[i] = present && !igpu ? dedicated : 0;
    r->gpu_shared_mib[i] = present ? wave(t, 110, 160) + hash(s, t, 185, 16) + 280 + (igpu ? dedicated : 0) : 0;
  }
}

void row(u32 s, u32 t, u32 n, u32 gpu_count, u32 engines, ring::Row* r) {
  u32 d = s ^ t * golden;
  r->seconds = t;
  u32 loads = 0, kernels = 0;
  for (u32 i = 0; i < 64; ++i) {
    u32 f = i < n ? core_load(s, t, i) : 0;
    u32 k = f * (20 + (mix(d, 40503 * i + 2592192) & 15)) / 100;
    r->core_load[i] = static_cast<u8>(f);
    r->core_kernel[i] = static_cast<u8>(k);
    loads += f;
    kernels += k;
  }
  r->load = pct(loads, n);
  r->kernel = pct(kernels, n);
  r->clock_mhz = static_cast<u16>(wave(t, 20, 480) + 4200);
  r->processes = static_cast<u16>(hash(s, t, 128, 24) + 300);
  r->threads = hash(s, t, 129, 300) + 4000;
  r->handles = wave(t, 70, 4000) + 140000;
  r->uptime = t + 93784;
  r->memory_mib = wave(t, 90, 6000) + hash(s, t, 130, 300) + 30000;
  r->commit_mib = r->memory_mib + 6000;
  r->modified_mib = hash(s, t, 131, 300) + 400;
  r->standby_mib = wave(t + 30, 120, 2000) + 18000;
  gpus(s, t, gpu_count, engines, r);
  for (u32 j = 0; j < 2; ++j) {
    u32 read = ((t + 5 * j) % 23 < 4 ? mix(d, 40503 * j + 5670420) + 40000 : 0) + mix(d, 40503 * j + 5710923);
    u32 write = ((j + t + 9) % 31 < 3 ? mix(d, 40503 * j + 5751426) + 25000 : 0) + mix(d, 40503 * j + 5791929);
    r->disk_read[j] = read >> (2 * j);
    r->disk_write[j] = write >> (2 * j);
    r->disk_busy[j] = static_cast<u8>(bits::min32((r->disk_read[j] + r->disk_write[j]) / 400, 200));
    r->disk_figure[j] = j == 0 ? 512000 : 1210000;
    u32 burst = (t + j) % 37 < 5 ? mix(d, 40503 * j + 6480480) + 12200 : 200;
    r->receive[j] = (wave(t + j, 25, 1500) + burst) >> (3 * j);
    r->send[j] = (wave(t + 7, 33, 600) + mix(d, 40503 * j + 6520983) + 80) >> (3 * j);
  }
}

void power(const State* st, machine::Machine* m, ring::Row* r) {
  u32 b = scaled(180, 770, r->load);
  u32 c = scaled(150, 1050, r->gpu_load[0]);
  u32 e = 90 + wave(st->clock, 40, 70);
  bool meters = st->power_mode == 1, system = st->power_mode == 2;
  bool gpu = meters && st->gpus > 0;
  u32 parts[4] = {meters ? b : 0, 0, gpu ? c : 0, system ? e : 0};
  r->power = static_cast<u16>(parts[0] + parts[2] + parts[3]);
  r->power_flags = static_cast<u8>(u32{meters} | u32{gpu} << 2 | u32{system} << 3 | u32{system} << 4);
  for (u32 i = 0; i < 4; ++i) m->power[i] = static_cast<i16>(parts[i]);
  m->power_flags = r->power_flags;
}

void sensors(const State* st, machine::Machine* m, const ring::Row* r) {
  heat::Block* b = &m->temps;
  __builtin_memset(b, 0, sizeof *b);
  if (st->temps_mode == 0) return;
  for (u32 i = 0; i < heat::gpu_slots; ++i) b->gpu[i] = heat::no_reading;
  for (u32 i = 0; i < heat::disk_slots; ++i) b->disk[i] = heat::no_reading;
  for (u32 i = 0; i < heat::sensors; ++i) b->sensor[i] = heat::no_reading;
  b->turn = st->clock / 5 + 1;
  i16 cpu = static_cast<i16>(scaled(400, 450, r->load));
  if (st->temps_mode == 1) {
    b->cpu = cpu;
    b->cpu_kind = 1;
  }
  if (st->gpus > 0) {
    b->gpu[0] = static_cast<i16>(scaled(350, 500, r->gpu_load[0]));
    b->gpu_mask = 1;
  }
  b->disk[0] = 412;
  b->disk[1] = 365;
  b->disk_mask = 3;
  b->named = 2;
  if (st->temps_mode == 1) {
    b->sensor[0] = 480;
    heat::put_name(b->name[0], mem::lit("acpitz"), mem::Bytes());
    b->sensor[1] = static_cast<i16>(cpu - 20);
    heat::put_name(b->name[1], mem::lit("coretemp"), mem::lit("Core 0"));
  } else {
    b->sensor[0] = 279;
    heat::put_name(b->name[0], mem::lit("ACPI zone"), mem::lit("TZ00"));
    b->sensor[1] = 912;
    heat::put_name(b->name[1], mem::lit("Demo VRM"), mem::Bytes());
  }
}

void tick(State* st, machine::Machine* m) {
  ring::Row r;
  __builtin_memset(&r, 0, sizeof r);
  row(st->seed, st->clock, st->processors, st->gpus, st->engines, &r);
  power(st, m, &r);
  sensors(st, m, &r);
  machine::push(m, &r);
  for (u32 j = 0; j < machine::max_nics; ++j) {
    m->received[j] += u64{r.receive[j]} * 1024;
    m->sent[j] += u64{r.send[j]} * 1024;
  }
  ++st->clock;
}

void ticks(State* st, machine::Machine* m, u32 n) {
  for (u32 i = 0; i < n; ++i) tick(st, m);
}

// ---- Processes.

u32 pid_of(u32 i) {
  if (i == 0) return 0;
  if (i == 1) return 4;
  return ((i - (i == 43 ? 1 : 0)) * 97 % 1000 + 25) * 4;
}

bool row_present(u32 i, u32 v) {
  if (i < 40) return true;
  if (i == 40) return v < 2;
  if (i == 41) return v >= 2;
  if (i == 42) return v <= 2;
  return i == 43 && v >= 3;
}

u32 start_key(u32 i) { return i == 43 ? 5000 : 7 * i + 10; }

mem::Bytes proc_name(u32 i, bool longest) {
  if (i >= procs) return mem::Bytes();
  return longest && i == 37 ? mem::lit(longest_name) : text(names[i]);
}

u16 cpu(u32 s, u32 v, u32 i, bool churn) {
  u32 base = 0, span = 0;
  switch (i) {
    case 0: base = 6000; break;
    case 12: base = 120; span = 80; break;
    case 13: base = 10; span = 40; break;
    case 14: span = 300; break;
    case 25: base = 20; span = 10; break;
    case 26: base = 300; span = 400; break;
    case 32: base = 1800; span = 600; break;
    case 34: base = 900; span = 1200; break;
    default: span = (churn || (i != 0 && i % 3 == 0)) ? 6 : 0; break;
  }
  return static_cast<u16>(base + hash(s, v, i + 300, span));
}

u32 memory(u32 s, u32 v, u32 i, bool churn) {
  u32 base;
  switch (i) {
    case 13: base = 160; break;
    case 14: base = 240; break;
    case 26: base = 1400; break;
    case 30: base = 900; break;
    case 32: base = 3100; break;
    case 34: base = 2200; break;
    case 39: base = 1200; break;
    default: base = i * (131 * i + 17) % 380 + 2; break;
  }
  return base + hash(s, (v + i) / (churn ? 1 : 4), i + 400, 8);
}

u16 threads(u32 i) {
  switch (i) {
    case 0: return 24;
    case 1: return 230;
    case 32: return 96;
    case 34: return 64;
    default: return static_cast<u16>(29 * i % 70 + 1);
  }
}

u16 tcp(u32 s, u32 v, u32 i) {
  if (i == 26) return static_cast<u16>(hash(s, v, 500, 6) + 40);
  if (i == 35) return 12;
  if (i == 36) return 8;
  return static_cast<u16>(i % 4 == 1 ? i * i % 7 : 0);
}

u16 gpu_pct(u32 s, u32 v, u32 i) {
  switch (i) {
    case 32: return static_cast<u16>(hash(s, v, 600, 1500) + 6500);
    case 12: return static_cast<u16>(hash(s, v, 601, 200) + 400);
    case 26: return static_cast<u16>(hash(s, v, 602, 100) + 150);
    case 30: return 20;
    default: return 0;
  }
}

u16 gpu_mem(u32 s, u32 v, u32 i) {
  switch (i) {
    case 32: return static_cast<u16>(hash(s, v, 603, 20) + 900);
    case 12: return 40;
    case 26: return 120;
    case 30: return 30;
    default: return 0;
  }
}

u32 read(u32 s, u32 v, u32 i) {
  switch (i) {
    case 33: return hash(s, v, 700, 12000) + 30000;
    case 14: return 900;
    case 35: return hash(s, v, 701, 800) + 400;
    case 34: return hash(s, v, 702, 3000) + 2000;
    default: return i % 5 == 2 ? hash(s, v, i + 700, 20) : 0;
  }
}

u32 write(u32 s, u32 v, u32 i) {
  switch (i) {
    case 33: return hash(s, v, 800, 4000) + 8000;
    case 34: return hash(s, v, 801, 1500) + 1500;
    default: return i % 5 == 2 ? hash(s, v, i + 800, 10) : 0;
  }
}

void take_procs(State* st, model::ProcTable* t) {
  u32 s = st->seed, v = st->calls;
  bool churn = st->churn != 0;
  for (u32 i = 0; i < procs; ++i)
    if (row_present(i, v)) model::proc_keep(t, pid_of(i), start_key(i));
  model::proc_sweep(t);
  u32 present = 0, thread_sum = 0, tcp_sum = 0;
  for (u32 i = 0; i < procs; ++i) {
    if (!row_present(i, v)) continue;
    u32 r = model::proc_row(t, model::proc_upsert(t, pid_of(i), 4, start_key(i), proc_name(i, st->longest != 0)));
    ++present;
    thread_sum += threads(i);
    tcp_sum += tcp(s, v, i);
    if (r == model::no_row) continue;
    u32 mib = memory(s, v, i, churn);
    t->cpu[r] = cpu(s, v, i, churn);
    t->working_set[r] = mib * 256;
    t->private_bytes[r] = mib * 256;
    t->thread_count[r] = threads(i);
    t->tcp[r] = tcp(s, v, i);
    t->gpu[r] = gpu_pct(s, v, i);
    t->gpu_memory[r] = gpu_mem(s, v, i);
    t->read_rate[r] = read(s, v, i);
    t->write_rate[r] = write(s, v, i);
    u64 bit = u64{1} << (r % 64);
    t->gpu_present[r / 64] = t->gpu[r] != 0 ? t->gpu_present[r / 64] | bit : t->gpu_present[r / 64] & ~bit;
    bool critical = i == 4 || i == 7 || i == 14;
    t->critical[r / 64] = critical ? t->critical[r / 64] | bit : t->critical[r / 64] & ~bit;
  }
  __builtin_memset(t->seen, 0, sizeof t->seen);
  __builtin_memset(t->fresh, 0, sizeof t->fresh);
  t->processes = present;
  t->threads = thread_sum;
  t->tcp_total = tcp_sum;
  t->flags = 0;
  ++st->calls;
}

bool is_critical(u32 pid) { return pid == pid_of(4) || pid == pid_of(7) || pid == pid_of(14); }

u32 proc_flags(u32 pid) {
  u32 flags = 0;
  for (u32 i = 0; i < procs; ++i) {
    if (pid_of(i) != pid) continue;
    if (i == 14) flags |= 1;
    if (i == 35) flags |= 2;
    if (i == 33 || i == 36) flags |= 4;
    if (i == 33) flags |= 8;
    if (i == 34) flags |= 16;
  }
  return flags;
}

u32 proc_value(u32 v, u32 pid) {
  for (u32 i = 0; i < procs; ++i)
    if (pid_of(i) == pid && row_present(i, v)) return start_key(i);
  return 0xFFFFFFFFu;
}

}  // namespace demo
