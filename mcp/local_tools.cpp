// machine_usage, top_processes and find_process, and this machine's data sampled on demand for them.
#include "mcp/local_tools.h"

#include "base/bits.h"
#include "mcp/cluster_tools.h"
#include "mcp/writers.h"
#include "platform/os.h"

namespace mcp {

// ======== machine_usage ========

namespace {

mem::Bytes display_name(const ToolContext* c) { return machine_label(c->name); }

hw::Hardware hardware_of(const machine::Machine* m) {
  hw::Hardware h;
  __builtin_memset(&h, 0, sizeof h);
  __builtin_memcpy(&h, m->hardware, machine::hardware_head);
  return h;
}

u32 logical_of(const machine::Machine* m, const hw::Hardware* h) { return bits::max32(m->cpus, h->logical); }

u32 battery_state_of(const machine::Machine* m, u32 i) {
  return hw::plane_state(mem::Bytes(m->battery_state, sizeof m->battery_state), 3, i);
}

void say_text(json::Writer* w, void (*fill)(words::Text*, u32), u32 value) {
  words::Text t{};
  fill(&t, value);
  write_span(w, &t);
}

void cpu_lines(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  say(w, mem::lit("\ncpu: "));
  say_fixed(w, row->load, 2);
  say(w, mem::lit(" % (kernel "));
  say_fixed(w, row->kernel, 2);
  say(w, mem::lit(" %), "));
  json::write_uint(w, logical_of(m, h));
  say(w, mem::lit(" logical processors, "));
  write_name_text(w, machine::name(m, machine::slot_cpu));
  say(w, mem::lit("\ncpu hardware: "));
  say(w, hw::vendor_text(h->vendor));
  say(w, mem::lit(", "));
  words::Text family{};
  hw::family_text(&family, h);
  write_span(w, &family);
  say(w, mem::lit(", sockets "));
  json::write_uint(w, h->sockets);
  say(w, mem::lit(", cores "));
  json::write_uint(w, h->cores);
  say(w, mem::lit(", base "));
  say_text(w, words::ghz_known, m->base_mhz);
  const mem::Bytes levels[3] = {mem::lit(", L1 "), mem::lit(", L2 "), mem::lit(", L3 ")};
  const u32 caches[3] = {h->l1_kib, h->l2_kib, h->l3_kib};
  for (u32 i = 0; i < 3; ++i) {
    say(w, levels[i]);
    say_text(w, hw::cache_text, caches[i]);
  }
  say(w, mem::lit(", virtualisation "));
  say(w, hw::virt_text(hw::virt_state(h->features, h->known)));
  say(w, mem::lit("\nper core %:"));
  u32 cores = bits::min32(m->cpus, machine::max_cpus);
  for (u32 i = 0; i < cores; ++i) {
    say(w, mem::lit(" "));
    say_fixed(w, u64{row->core_load[i]} * 5, 1);
  }
}

void memory_lines(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  say(w, mem::lit("\nmemory: "));
  say_fixed(w, gib_tenths(row->memory_mib), 1);
  say(w, mem::lit(" / "));
  write_gb(w, m->memory_total);
  say(w, mem::lit(" in use, "));
  write_gb(w, bits::sub_sat32(m->memory_total, row->memory_mib));
  say(w, mem::lit(" available, "));
  write_gb(w, row->commit_mib);
  say(w, mem::lit(" committed, "));
  write_gb(w, row->modified_mib);
  say(w, mem::lit(" modified, "));
  write_gb(w, row->standby_mib);
  say(w, mem::lit(" standby\nmemory hardware: "));
  say(w, hw::mem_text(h->memory.kind));
  say(w, mem::lit(" "));
  say_text(w, hw::mts_text, h->memory.speed);
  say(w, mem::lit(" "));
  say(w, hw::form_text(h->memory.form));
  say(w, mem::lit(", slots "));
  words::Text t{};
  hw::slots_text(&t, h->memory.slots_used, h->memory.slots);
  write_span(w, &t);
  say(w, mem::lit(", hardware reserved "));
  t.len = 0;
  hw::mb_text(&t, hw::reserved_mib(h->memory.installed_mib, m->memory_total), h->memory.installed_mib != 0);
  write_span(w, &t);
  say(w, mem::lit(", compressed "));
  t.len = 0;
  hw::mb_text(&t, h->memory.compressed_mib, h->memory.compressed_mib != 0);
  write_span(w, &t);
}

void disk_lines(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  u32 disks = bits::min32(m->disks, machine::max_disks);
  for (u32 i = 0; i < disks; ++i) {
    say(w, mem::lit("\ndisk "));
    write_name_text(w, machine::name(m, machine::slot_disks + i));
    say(w, mem::lit(", "));
    words::Text t{};
    hw::disk_type(&t, hw::plane_value(m->details.media, 2, i), hw::plane_value(m->details.bus, 3, i));
    write_span(w, &t);
    say(w, mem::lit(" - active "));
    say_fixed(w, u64{row->disk_busy[i]} * 5, 1);
    say(w, mem::lit(" %, read "));
    write_rate(w, row->disk_read[i]);
    say(w, mem::lit(", write "));
    write_rate(w, row->disk_write[i]);
    u32 size = m->disk_capacity[i];
    if (size == 0) {
      say(w, mem::lit(", space unknown"));
      continue;
    }
    say(w, mem::lit(", "));
    write_gb(w, row->disk_figure[i]);
    say(w, mem::lit(" used, "));
    write_gb(w, bits::sub_sat32(size, row->disk_figure[i]));
    say(w, mem::lit(" free of "));
    write_gb(w, size);
  }
  u32 nics = bits::min32(m->nics, machine::max_nics);
  for (u32 i = 0; i < nics; ++i) {
    say(w, mem::lit("\ninterface "));
    write_name_text(w, machine::name(m, machine::slot_nics + i));
    say(w, mem::lit(" - receive "));
    write_rate(w, row->receive[i]);
    say(w, mem::lit(", send "));
    write_rate(w, row->send[i]);
  }
}

void power_lines(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  if ((row->power_flags & 15) != 0) {
    say(w, mem::lit("\npower: "));
    say_fixed(w, row->power, 1);
    say(w, mem::lit(" W"));
    for (u32 p = 0; p < usage::parts; ++p) {
      if ((m->power_flags & (1u << p)) == 0) continue;
      say(w, mem::lit(", "));
      say(w, hw::power_part_text(p));
      say(w, mem::lit(" "));
      say_fixed(w, static_cast<u64>(m->power[p] < 0 ? 0 : m->power[p]), 1);
      say(w, mem::lit(" W"));
    }
    if (row->power_flags & usage::power_battery) say(w, mem::lit(", on battery"));
  }
  u32 batteries = bits::min32(m->batteries, usage::max_batteries);
  for (u32 i = 0; i < batteries; ++i) {
    say(w, mem::lit("\nbattery "));
    json::write_uint(w, i);
    say(w, mem::lit(": "));
    json::write_uint(w, m->battery_charge[i]);
    say(w, mem::lit(" %, "));
    say(w, hw::battery_text(battery_state_of(m, i)));
  }
  u32 zones = bits::min32(m->zones, usage::max_zones);
  for (u32 i = 0; i < zones; ++i) {
    say(w, mem::lit("\nthermal zone "));
    json::write_uint(w, m->zone_number[i]);
    say(w, mem::lit(": "));
    if (m->zone_temp[i] < 0) say(w, mem::lit("-"));
    say_fixed(w, hw::deci_magnitude(m->zone_temp[i]), 1);
    say(w, mem::lit(" C"));
  }
}

void cpu_json(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  json::key(w, mem::lit("cpu"));
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, machine::name(m, machine::slot_cpu));
  key_uint(w, mem::lit("logical_processors"), logical_of(m, h));
  key_fixed(w, mem::lit("total_percent"), row->load, 2);
  key_fixed(w, mem::lit("kernel_percent"), row->kernel, 2);
  u32 cores = bits::min32(m->cpus, machine::max_cpus);
  json::key(w, mem::lit("per_core_percent"));
  json::begin_array(w);
  for (u32 i = 0; i < cores; ++i) json::fixed_value(w, u64{row->core_load[i]} * 5, 1);
  json::end_array(w);
  json::key(w, mem::lit("per_core_kernel_percent"));
  json::begin_array(w);
  for (u32 i = 0; i < cores; ++i) json::fixed_value(w, u64{row->core_kernel[i]} * 5, 1);
  json::end_array(w);
  key_text_or_unknown(w, mem::lit("vendor"), hw::vendor_text(h->vendor));
  bool family = h->family != 0;
  key_uint_or_null(w, mem::lit("family"), h->family, family);
  key_uint_or_null(w, mem::lit("model"), h->model, family);
  key_uint_or_null(w, mem::lit("stepping"), h->stepping, family);
  key_uint_or_null(w, mem::lit("sockets"), h->sockets, h->sockets != 0);
  key_uint_or_null(w, mem::lit("cores"), h->cores, h->cores != 0);
  key_uint_or_null(w, mem::lit("base_mhz"), m->base_mhz, m->base_mhz != 0);
  key_uint_or_null(w, mem::lit("speed_mhz"), row->clock_mhz, row->clock_mhz != 0);
  key_uint_or_null(w, mem::lit("l1_cache_kib"), h->l1_kib, h->l1_kib != 0);
  key_uint_or_null(w, mem::lit("l2_cache_kib"), h->l2_kib, h->l2_kib != 0);
  key_uint_or_null(w, mem::lit("l3_cache_kib"), h->l3_kib, h->l3_kib != 0);
  json::key(w, mem::lit("instruction_sets"));
  json::begin_array(w);
  u32 sets = h->features & h->known & 0xBFF;
  for (u32 i = 0; i < 12; ++i)
    if (sets & (1u << i)) json::string_value(w, hw::feature_text(i));
  json::end_array(w);
  key_text_or_unknown(w, mem::lit("virtualisation"), hw::virt_text(hw::virt_state(h->features, h->known)));
  json::end_object(w);
}

void memory_json(json::Writer* w, const machine::Machine* m, const hw::Hardware* h, const ring::Row* row) {
  const hw::Memory* mm = &h->memory;
  json::key(w, mem::lit("memory"));
  json::begin_object(w);
  key_uint(w, mem::lit("total_mib"), m->memory_total);
  key_uint(w, mem::lit("used_mib"), row->memory_mib);
  key_uint(w, mem::lit("available_mib"), bits::sub_sat32(m->memory_total, row->memory_mib));
  key_uint(w, mem::lit("commit_mib"), row->commit_mib);
  key_uint(w, mem::lit("modified_mib"), row->modified_mib);
  key_uint(w, mem::lit("standby_mib"), row->standby_mib);
  key_text_or_unknown(w, mem::lit("memory_type"), hw::mem_text(mm->kind));
  key_uint_or_null(w, mem::lit("speed_mts"), mm->speed, mm->speed != 0);
  key_text_or_unknown(w, mem::lit("form_factor"), hw::form_text(mm->form));
  key_uint_or_null(w, mem::lit("slots_used"), mm->slots_used, mm->slots != 0);
  key_uint_or_null(w, mem::lit("slots_total"), mm->slots, mm->slots != 0);
  key_uint_or_null(w, mem::lit("installed_mib"), mm->installed_mib, mm->installed_mib != 0);
  key_uint_or_null(w, mem::lit("hardware_reserved_mib"), hw::reserved_mib(mm->installed_mib, m->memory_total),
                   mm->installed_mib != 0);
  key_uint_or_null(w, mem::lit("compressed_mib"), mm->compressed_mib, mm->compressed_mib != 0);
  key_uint_or_null(w, mem::lit("cached_mib"), u64{row->modified_mib} + row->standby_mib, m->ring.count != 0);
  key_uint_or_null(w, mem::lit("commit_limit_mib"), m->commit_limit, m->commit_limit != 0);
  key_uint_or_null(w, mem::lit("paged_pool_mib"), m->paged_pool, m->paged_pool != 0);
  key_uint_or_null(w, mem::lit("nonpaged_pool_mib"), m->nonpaged_pool, m->nonpaged_pool != 0);
  json::end_object(w);
}

void disks_json(json::Writer* w, const machine::Machine* m, const ring::Row* row) {
  json::key(w, mem::lit("disks"));
  json::begin_array(w);
  u32 disks = bits::min32(m->disks, machine::max_disks);
  for (u32 i = 0; i < disks; ++i) {
    u32 size = m->disk_capacity[i];
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    json::string_value(w, machine::name(m, machine::slot_disks + i));
    key_uint_or_null(w, mem::lit("size_mib"), size, size != 0);
    key_uint_or_null(w, mem::lit("used_mib"), row->disk_figure[i], size != 0);
    key_uint_or_null(w, mem::lit("free_mib"), bits::sub_sat32(size, row->disk_figure[i]), size != 0);
    key_uint(w, mem::lit("read_kib_per_s"), row->disk_read[i]);
    key_uint(w, mem::lit("write_kib_per_s"), row->disk_write[i]);
    key_fixed(w, mem::lit("active_percent"), u64{row->disk_busy[i]} * 5, 1);
    json::key(w, mem::lit("size_saturated"));
    json::write_bool(w, (m->capacity_saturated >> i) & 1);
    key_text_or_unknown(w, mem::lit("media"), hw::media_text(hw::plane_value(m->details.media, 2, i)));
    key_text_or_unknown(w, mem::lit("bus"), hw::bus_text(hw::plane_value(m->details.bus, 3, i)));
    mem::Bytes model = machine::name(m, machine::slot_drive_models + i);
    json::key(w, mem::lit("model"));
    if (model.len > 0) json::string_value(w, model);
    else json::write_null(w);
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("interfaces"));
  json::begin_array(w);
  u32 nics = bits::min32(m->nics, machine::max_nics);
  for (u32 i = 0; i < nics; ++i) {
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    json::string_value(w, machine::name(m, machine::slot_nics + i));
    key_uint(w, mem::lit("receive_kib_per_s"), row->receive[i]);
    key_uint(w, mem::lit("send_kib_per_s"), row->send[i]);
    json::end_object(w);
  }
  json::end_array(w);
}

void power_json(json::Writer* w, const machine::Machine* m, const ring::Row* row, bool remote) {
  json::key(w, mem::lit("batteries"));
  json::begin_array(w);
  u32 batteries = remote ? 0 : bits::min32(m->batteries, usage::max_batteries);
  for (u32 i = 0; i < batteries; ++i) {
    json::begin_object(w);
    key_uint(w, mem::lit("percent"), m->battery_charge[i]);
    key_text_or_unknown(w, mem::lit("state"), hw::battery_text(battery_state_of(m, i)));
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("thermal_zones"));
  json::begin_array(w);
  u32 zones = remote ? 0 : bits::min32(m->zones, usage::max_zones);
  for (u32 i = 0; i < zones; ++i) {
    json::begin_object(w);
    key_uint(w, mem::lit("zone"), m->zone_number[i]);
    json::key(w, mem::lit("tenths_celsius"));
    json::int_value(w, m->zone_temp[i]);
    json::end_object(w);
  }
  json::end_array(w);
  json::key(w, mem::lit("power"));
  json::begin_object(w);
  json::key(w, mem::lit("watts"));
  if (row->power_flags & 15) json::fixed_value(w, row->power, 1);
  else json::write_null(w);
  const mem::Bytes keys[usage::parts] = {mem::lit("cpu_watts"), mem::lit("dram_watts"), mem::lit("gpu_watts"),
                                         mem::lit("system_watts")};
  for (u32 p = 0; p < usage::parts; ++p) {
    json::key(w, keys[p]);
    if (m->power_flags & (1u << p)) json::fixed_value(w, static_cast<u64>(m->power[p] < 0 ? 0 : m->power[p]), 1);
    else json::write_null(w);
  }
  json::key(w, mem::lit("on_battery"));
  json::write_bool(w, (row->power_flags & usage::power_battery) != 0);
  json::end_object(w);
}

}  // namespace

void machine_usage_text(json::Writer* w, const ToolContext* c, const ring::Row* row) {
  const machine::Machine* m = c->machine;
  hw::Hardware h = hardware_of(m);
  say(w, mem::lit("machine_usage of "));
  write_name_text(w, display_name(c));
  say(w, mem::lit(": rates over the last "));
  json::write_uint(w, c->sample_interval);
  sampled_ago(w, c, c->sample_ms);
  cpu_lines(w, m, &h, row);
  memory_lines(w, m, &h, row);
  disk_lines(w, m, row);
  power_lines(w, m, row);
  say(w, mem::lit("\nprocesses "));
  json::write_uint(w, row->processes);
  say(w, mem::lit(", threads "));
  json::write_uint(w, row->threads);
  say(w, mem::lit(", up time "));
  words::Text t{};
  words::uptime(&t, row->uptime);
  write_span(w, &t);
  say(w, mem::lit(" (days:hours:minutes:seconds)"));
}

void machine_usage_json(json::Writer* w, const ToolContext* c, const ring::Row* row) {
  const machine::Machine* m = c->machine;
  hw::Hardware h = hardware_of(m);
  machine_keys(w, c);
  key_uint(w, mem::lit("sample_number"), m->pushed);
  key_uint(w, mem::lit("sample_age_ms"), data_age(c, c->sample_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->sample_interval);
  key_uint(w, mem::lit("uptime_s"), row->uptime);
  key_uint(w, mem::lit("processes"), row->processes);
  key_uint(w, mem::lit("threads"), row->threads);
  key_uint_or_null(w, mem::lit("handles"), row->handles, row->handles != 0);
  cpu_json(w, m, &h, row);
  memory_json(w, m, &h, row);
  disks_json(w, m, row);
  power_json(w, m, row, c->name.len > 0);
  json::key(w, mem::lit("truncated"));
  json::begin_object(w);
  json::key(w, mem::lit("cores"));
  json::write_bool(w, (m->count_flags & machine::more_cpus) != 0);
  json::key(w, mem::lit("disks"));
  json::write_bool(w, (m->count_flags & machine::more_disks) != 0);
  json::key(w, mem::lit("interfaces"));
  json::write_bool(w, (m->count_flags & machine::more_nics) != 0);
  json::end_object(w);
}

void machine_usage(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  ToolContext remote;
  const ToolContext* c = context;
  if (kind == 1) {
    if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
    remote = remote_context(context);
    c = &remote;
  }
  if (!c->sample_held || c->machine == nullptr || c->machine->pushed == 0)
    return bad_arguments(w, mem::lit("no data: the collector is not available on this system"));
  ring::Row row;
  ring::at(&c->machine->ring, 0, &row);
  text_content(w);
  machine_usage_text(w, c, &row);
  structured_content(w);
  machine_usage_json(w, c, &row);
  is_error(w);
}

// ======== top_processes and find_process ========

namespace {

constexpr u32 found_max = 50;

mem::Bytes full_name(const model::ProcTable* t, u32 row, u8 (&buffer)[model::name_max]) {
  return mem::Bytes(buffer, model::proc_full_name(t, row, mem::Slice{buffer, sizeof buffer}));
}

void no_table(json::Writer* w) {
  bad_arguments(w, mem::lit("no data: the process table is not available on this system"));
}

}  // namespace

void filter_list(proclist::ListState* list, const model::ProcTable* table, mem::Bytes text) {
  proclist::set_view(list, proclist::col_cpu, text);
  proclist::rebuild(list, table);
}

void process_row_text(json::Writer* w, const model::ProcTable* table, u32 row) {
  words::Text t{};
  say(w, mem::lit("\n"));
  proclist::cell_text(table, row, proclist::col_name, &t);
  write_name_text(w, text_of(&t));
  for (u32 c = 1; c < proclist::columns; ++c) {
    say(w, mem::lit(", "));
    say(w, proclist::title(c));
    say(w, mem::lit(" "));
    proclist::cell_text(table, row, c, &t);
    write_span(w, &t);
  }
}

void process_rows(json::Writer* w, const model::ProcTable* table, u32 row) {
  u8 buffer[model::name_max];
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, full_name(table, row, buffer));
  json::key(w, mem::lit("name_cut"));
  json::write_bool(w, model::proc_name_cut(table, row));
  key_uint(w, mem::lit("pid"), table->pid[row]);
  key_fixed(w, mem::lit("cpu_percent"), table->cpu[row], 2);
  key_fixed(w, mem::lit("memory_mib"), proclist::mib_tenths(table->working_set[row]), 1);
  bool unreported = model::disk_unreported(table, row);
  key_uint_or_null(w, mem::lit("disk_kib_per_s"), proclist::disk_rate(table->read_rate[row], table->write_rate[row],
                                                                      unreported), !unreported);
  key_fixed(w, mem::lit("gpu_percent"), table->gpu[row], 2);
  key_uint(w, mem::lit("vram_mib"), u64{table->gpu_memory[row]} * 4);
  key_uint(w, mem::lit("threads"), table->thread_count[row]);
  key_uint(w, mem::lit("tcp"), table->tcp[row]);
  json::end_object(w);
}

void processes_answer(const ToolContext* c, const Call* call, json::Writer* w, mem::Bytes heading, u32 count,
                      bool note) {
  const proclist::ListState* list = c->list;
  const model::ProcTable* table = c->procs;
  bool filtered = list->filter_length > 0;
  u32 rows = proclist::shown_most(list->shown, count);
  text_content(w);
  write_name_text(w, heading);
  say(w, mem::lit(": "));
  json::write_uint(w, rows);
  say(w, mem::lit(" of "));
  if (filtered) {
    json::write_uint(w, list->shown);
    say(w, mem::lit(" matching processes ("));
  }
  json::write_uint(w, list->processes);
  say(w, mem::lit(" processes"));
  if (filtered) say(w, mem::lit(" in all)"));
  say(w, mem::lit(", rates over the last "));
  json::write_uint(w, c->table_interval);
  sampled_ago(w, c, c->table_ms);
  if (note) {
    say(w, mem::lit("\nother machines not searched: "));
    cluster_text(c, call->doc, call->line, call->arguments, w);
  }
  for (u32 i = 0; i < rows; ++i) process_row_text(w, table, proclist::row_at(list, i));
  structured_content(w);
  key_uint(w, mem::lit("sample_age_ms"), data_age(c, c->table_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->table_interval);
  key_uint(w, mem::lit("processes_listed"), list->processes);
  key_uint(w, mem::lit("processes_matched"), list->shown);
  json::key(w, mem::lit("table_truncated"));
  json::write_bool(w, (table->flags & model::flag_truncated) != 0);
  machine_keys(w, c);
  json::key(w, mem::lit("processes"));
  json::begin_array(w);
  for (u32 i = 0; i < rows; ++i) process_rows(w, table, proclist::row_at(list, i));
  json::end_array(w);
  is_error(w);
}

namespace {

// The heading of one machine's answer: the tool's words, the machine's name and, for top_processes, the column.
void heading_of(words::Text* t, mem::Bytes start, const ToolContext* c, mem::Bytes by) {
  t->len = 0;
  words::put(t, start);
  words::put(t, display_name(c));
  if (by.len == 0) return;
  words::put(t, mem::lit(" by "));
  words::put(t, by);
}

// The context of the machine a process tool answers for: this machine, or the cluster machine the view holds;
// null when a cluster failure was written.
const ToolContext* process_context(const ToolContext* context, const Call* call, u8 kind, ToolContext* remote,
                                   json::Writer* w) {
  if (kind != 1) return context;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return nullptr;
  *remote = remote_context(context);
  return remote;
}

}  // namespace

void top_processes(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 by = 0;
  u32 count = 0;
  by_count_arguments(call->doc, call->line, call->arguments, &by, &count);
  if (by == 5) return bad_arguments(w, mem::lit("Invalid arguments: by must be one of cpu, memory, disk, gpu, vram"));
  if (count == 0) return bad_arguments(w, mem::lit("Invalid arguments: count must be an integer from 1 to 50"));
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  ToolContext remote;
  const ToolContext* c = process_context(context, call, kind, &remote, w);
  if (c == nullptr) return;
  if (!c->table_held || c->procs == nullptr || c->list == nullptr) return no_table(w);
  proclist::set_view(c->list, by + 2u, mem::Bytes());
  proclist::rebuild(c->list, c->procs);
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= by; ++i) word = next_name(by_words(), &at);
  words::Text heading{};
  heading_of(&heading, mem::lit("top_processes of "), c, word);
  processes_answer(c, call, w, text_of(&heading), count, false);
}

namespace {

mem::Bytes found_machine_name(const ClusterView* v, u8 machine) {
  if (machine == this_machine_index || v->machines == nullptr) return mem::lit("this machine");
  return machine_name(v->machines->names[machine]);
}

}  // namespace

void find_answer_cluster(const ToolContext* c, json::Writer* w) {
  const ClusterView* v = c->cluster;
  const FoundProcesses* f = v->found;
  text_content(w);
  say(w, mem::lit("find_process on this machine and "));
  json::write_uint(w, v->answered);
  say(w, mem::lit(" other machines ("));
  json::write_uint(w, v->unanswered);
  say(w, mem::lit(" online or stale machines sent no table in time): "));
  json::write_uint(w, f->kept);
  say(w, mem::lit(" of "));
  json::write_uint(w, f->matched);
  say(w, mem::lit(" matching processes ("));
  json::write_uint(w, f->listed);
  say(w, mem::lit(" processes in all), heaviest CPU first; remote machines publish their 256 heaviest processes"));
  for (u32 i = 0; i < f->kept; ++i) {
    const FoundRow& r = f->rows[i];
    say(w, mem::lit("\n"));
    write_name_text(w, found_machine_name(v, r.machine));
    say(w, mem::lit(": "));
    write_name_text(w, mem::Bytes(r.name, r.name_length));
    say(w, mem::lit(", PID "));
    json::write_uint(w, r.pid);
    say(w, mem::lit(", CPU "));
    say_fixed(w, r.cpu, 2);
    say(w, mem::lit(" %, memory "));
    say_fixed(w, proclist::mib_tenths(r.memory), 1);
    say(w, mem::lit(" MB, disk "));
    if ((f->unreported >> i) & 1) say(w, mem::lit("denied"));
    else write_rate(w, r.disk);
    say(w, mem::lit(", GPU "));
    say_fixed(w, r.gpu, 2);
    say(w, mem::lit(" %, VRAM "));
    json::write_uint(w, u64{r.vram} * 4);
    say(w, mem::lit(" MB, threads "));
    json::write_uint(w, r.threads);
    say(w, mem::lit(", TCP "));
    json::write_uint(w, r.tcp);
  }
  structured_content(w);
  key_uint(w, mem::lit("sample_age_ms"), age_of(c->now_ms, c->table_ms));
  key_uint(w, mem::lit("rate_window_ms"), c->table_interval);
  key_uint(w, mem::lit("processes_listed"), f->listed);
  key_uint(w, mem::lit("processes_matched"), f->matched);
  json::key(w, mem::lit("table_truncated"));
  json::write_bool(w, f->truncated);
  key_uint(w, mem::lit("machines_searched"), u64{v->answered} + 1);
  key_uint(w, mem::lit("machines_skipped"), v->unanswered);
  json::key(w, mem::lit("processes"));
  json::begin_array(w);
  for (u32 i = 0; i < f->kept; ++i) {
    const FoundRow& r = f->rows[i];
    json::begin_object(w);
    json::key(w, mem::lit("machine"));
    json::string_value(w, found_machine_name(v, r.machine));
    json::key(w, mem::lit("name"));
    json::string_value(w, mem::Bytes(r.name, r.name_length));
    json::key(w, mem::lit("name_cut"));
    json::write_bool(w, (f->cut >> i) & 1);
    key_uint(w, mem::lit("pid"), r.pid);
    key_fixed(w, mem::lit("cpu_percent"), r.cpu, 2);
    key_fixed(w, mem::lit("memory_mib"), proclist::mib_tenths(r.memory), 1);
    key_uint_or_null(w, mem::lit("disk_kib_per_s"), r.disk, !((f->unreported >> i) & 1));
    key_fixed(w, mem::lit("gpu_percent"), r.gpu, 2);
    key_uint(w, mem::lit("vram_mib"), u64{r.vram} * 4);
    key_uint(w, mem::lit("threads"), r.threads);
    key_uint(w, mem::lit("tcp"), r.tcp);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

void find_process(const ToolContext* context, const Call* call, json::Writer* w) {
  u16 value = json::member(call->doc, call->line, call->arguments, mem::lit("name"));
  if (json::type_of(call->doc, value) != json::type_string)
    return bad_arguments(w, mem::lit("Invalid arguments: name must be a string"));
  u8 name[260];
  u64 n = json::unescape(json::text_of(call->doc, call->line, value), mem::Slice{name, sizeof name});
  if (n == 0) return bad_arguments(w, mem::lit("Invalid arguments: name must not be empty"));
  if (n > sizeof name)
    return bad_arguments(w, mem::lit("Invalid arguments: name is longer than 260 bytes, the longest process name"));
  u8 kind = machine_argument_kind(call->doc, call->line, call->arguments);
  if (kind == 2) return bad_arguments(w, machine_argument_error());
  const ClusterView* view = context->cluster;
  if (kind == 0 && view != nullptr && view->status == cluster_ok && view->found != nullptr)
    return find_answer_cluster(context, w);
  ToolContext remote;
  const ToolContext* c = process_context(context, call, kind, &remote, w);
  if (c == nullptr) return;
  if (!c->table_held || c->procs == nullptr || c->list == nullptr) return no_table(w);
  filter_list(c->list, c->procs, mem::Bytes(name, n));
  words::Text heading{};
  heading_of(&heading, mem::lit("find_process on "), c, mem::Bytes());
  u8 status = c->cluster ? c->cluster->status : cluster_unconfigured;
  bool note = kind == 0 && status != cluster_ok && status != cluster_unconfigured;
  processes_answer(c, call, w, text_of(&heading), found_max, note);
}

void found_insert(FoundProcesses* set, u8 machine, const model::ProcTable* table, u32 row) {
  u16 cpu = table->cpu[row];
  u32 at = 0;
  while (at < set->kept && set->rows[at].cpu >= cpu) ++at;
  if (at >= found_max_rows) return;
  u32 last = set->kept < found_max_rows ? set->kept : found_max_rows - 1;
  for (u32 i = last; i > at; --i) set->rows[i] = set->rows[i - 1];
  const u64 mask = (u64{1} << found_max_rows) - 1;
  auto shifted = [&](u64 bits, bool on) {
    u64 low = bits & ((u64{1} << at) - 1);
    u64 high = (bits >> at) << (at + 1);
    return (low | high | (on ? u64{1} << at : 0)) & mask;
  };
  FoundRow* r = &set->rows[at];
  u8 buffer[model::name_max];
  u64 length = model::proc_full_name(table, row, mem::Slice{buffer, sizeof buffer});
  r->machine = machine;
  r->name_length = static_cast<u8>(length < sizeof r->name ? length : sizeof r->name);
  __builtin_memcpy(r->name, buffer, r->name_length);
  r->pid = table->pid[row];
  r->cpu = cpu;
  r->memory = table->working_set[row];
  bool unreported = model::disk_unreported(table, row);
  r->disk = proclist::disk_rate(table->read_rate[row], table->write_rate[row], unreported);
  r->gpu = table->gpu[row];
  r->vram = table->gpu_memory[row];
  r->threads = table->thread_count[row];
  r->tcp = table->tcp[row];
  set->unreported = shifted(set->unreported, unreported);
  set->cut = shifted(set->cut, model::proc_name_cut(table, row) || length > sizeof r->name);
  set->kept = set->kept + 1 < found_max_rows ? set->kept + 1 : found_max_rows;
}

void found_add_list(FoundProcesses* set, u8 machine, const model::ProcTable* table, const proclist::ListState* list) {
  u32 n = list->shown < found_max_rows ? list->shown : found_max_rows;
  for (u32 i = 0; i < n; ++i) found_insert(set, machine, table, proclist::row_at(list, i));
  set->matched += list->shown;
  set->listed += list->processes;
  if (table->flags & model::flag_truncated) set->truncated = 1;
}

// ======== This machine's data, sampled on demand ========

u32 freshness(u32 tried, u32 held, u64 now, u64 then, u32 refresh_age) {
  if (!tried || !held) return 2;
  u64 age = age_of(now, then);
  if (age >= 2000) return 2;
  return age >= refresh_age ? 1 : 0;
}

namespace {

u32 interval_to(u64 now, u64 then) { return bits::min32(age_of(now, then), 0xFFFFFFFFu); }

// Usage from the newest system sample, and the temperatures read beside it.
void local_usage(LocalData* local) {
  __builtin_memset(&local->usage, 0, sizeof local->usage);
  __builtin_memset(&local->row, 0, sizeof local->row);
  usage::system(&local->rates, local->sample, &local->usage, &local->row);
  collect::temps(local->collector, &local->usage.temps, local->usage.gpu_id, local->usage.gpus,
                 local->usage.disk_number, local->usage.disks);
}

void fold_sample(LocalData* local) {
  u64 now = os::mcp_clock_ms();
  local_usage(local);
  local->sample_interval = interval_to(now, local->sample_ms);
  u32 changes = local->collector->hardware.changes;
  if (changes != local->hardware_changes) {
    __builtin_memset(&local->hardware, 0, sizeof local->hardware);
    __builtin_memset(&local->adapters, 0, sizeof local->adapters);
    collect::hardware(local->collector, &local->hardware, &local->adapters);
    local->hardware_changes = changes;
  }
  machine::take(local->machine, &local->usage, &local->row, &local->hardware, &local->adapters,
                local->collector->performance);
  local->sample_ms = now;
}

bool take_procs(LocalData* local) {
  bool ok = collect::sample_procs(local->collector, local->procs);
  ok = usage::procs(&local->proc_rates, local->procs, &local->sample->gpu, &local->sample->gpu_adapters, local->walk,
                    local->table, local->counters) &&
       ok;
  u64 now = os::mcp_clock_ms();
  local->table_interval = interval_to(now, local->table_ms);
  local->table_ms = now;
  return ok;
}

void open_local(LocalData* local) {
  local->open_tried = 1;
  machine::init(local->machine);
  usage::reset(&local->rates);
  local->proc_rates = usage::ProcRateState{};
  model::table_init(local->table);
  proclist::init(local->list);
  local->collector_open = collect::open(local->collector, 10000);
}

// Two samples a second apart: the first sets the rate base, the second gives the rates.
void sample_step(LocalData* local, bool with_processes) {
  if (!local->open_tried) open_local(local);
  local->sample_held = 0;
  if (!local->collector_open || !collect::sample(local->collector, local->sample)) return;
  local_usage(local);
  local->sample_ms = os::mcp_clock_ms();
  if (with_processes) {
    local->proc_rates = usage::ProcRateState{};
    model::table_init(local->table);
    local->table_held = 0;
    take_procs(local);
  }
  collect::sleep(1000);
  if (!collect::sample(local->collector, local->sample)) return;
  fold_sample(local);
  if (with_processes) local->table_held = take_procs(local);
  local->sample_held = 1;
}

}  // namespace

void refresh_local(LocalData* local, u32 refresh_age, bool with_processes) {
  u64 now = os::mcp_clock_ms();
  u32 verdict = freshness(local->open_tried, local->sample_held, now, local->sample_ms, refresh_age);
  if (with_processes)
    verdict = bits::max32(verdict, freshness(local->open_tried, local->table_held, now, local->table_ms, refresh_age));
  if (verdict == 2) return sample_step(local, with_processes);
  if (verdict == 0 || !collect::sample(local->collector, local->sample)) return;
  fold_sample(local);
  if (with_processes) local->table_held = take_procs(local);
}

}  // namespace mcp
