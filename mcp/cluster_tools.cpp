// list_machines, cluster_usage, usage_history and process_history, the answers for a failed cluster call, and the
// state and age of a cluster machine's data.
#include "mcp/cluster_tools.h"

#include "base/bits.h"
#include "wire/cluster.h"
#include "mcp/writers.h"

namespace mcp {

// ======== The state and age of a cluster machine's data, and failed cluster calls ========

// How old a machine's data are at least when the host lists it in this state: stale after 5 s without a sample,
// offline after 60 s.
u64 state_age_ms(u8 state) { return state == 0 ? 0 : state == 1 ? 5000 : 60000; }

// How old the data of a cluster machine already were when they came through. The host answers a watch with what it
// holds, however old: for a machine it lists as stale or offline that is the time since its newest stored slot, or,
// when its history holds none, the least the state tells.
u64 behind_ms(const ToolContext* c) {
  u64 bound = state_age_ms(c->state);
  if (c->state == 0 || !c->silence_known) return bound;
  return c->silence_ms > bound ? c->silence_ms : bound;
}

// The age of data taken at then.
u64 data_age(const ToolContext* c, u64 then) { return age_of(c->now_ms, then) + behind_ms(c); }

ToolContext remote_context(const ToolContext* local) {
  ToolContext c = *local;
  const ClusterView* v = local->cluster;
  c.machine = v->machine;
  c.procs = v->table;
  c.list = v->list;
  const proto::MachineList* l = v->machines;
  bool known = l && v->chosen < bits::min32(l->count, proto::list_rows);
  u8 listed = known ? static_cast<u8>(bits::min32(l->summaries[v->chosen].state, 3)) : 0;
  // A machine is listed as missing until its first sample reaches the host; data that came through since are no
  // older than the list.
  c.state = listed == 3 ? 0 : listed;
  c.silence_known = v->silence_known;
  c.silence_ms = v->silence_ms;
  c.sample_ms = v->data_time;
  c.table_ms = v->data_time;
  c.sample_interval = 1000;
  c.table_interval = 2000;
  c.sample_held = 1;
  c.table_held = v->table != nullptr;
  c.name = mem::Bytes(v->name, bits::min32(v->name_length, sizeof v->name));
  return c;
}

mem::Bytes machine_as_written(const json::Document* doc, mem::Bytes line, u16 arguments) {
  return json::text_of(doc, line, json::member(doc, line, arguments, mem::lit("machine")));
}

// " <id> (<state>)" for every listed machine whose name is the "machine" argument, in the list's order.
void same_named(const ClusterView* v, const json::Document* doc, mem::Bytes line, u16 arguments, json::Writer* w) {
  const proto::MachineList* l = v->machines;
  if (!l) return;
  u8 text[64];
  u64 n = machine_argument(doc, line, arguments, text);
  mem::Bytes wanted(text, n < sizeof text ? n : sizeof text);
  for (u32 i = 0; i < bits::min32(l->count, proto::list_rows); ++i) {
    if (!equals_nocase(machine_name(l->names[i]), wanted)) continue;
    say(w, mem::lit(" "));
    write_id_hex(w, l->ids[i]);
    say(w, mem::lit(" ("));
    say(w, state_word(bits::min32(l->summaries[i].state, 3)));
    say(w, mem::lit(")"));
  }
}

// "sampled <age> ms ago", and for a cluster machine the host no longer hears from, its state, and that the age is
// only the least the state tells when its stored history did not tell more.
void sampled_ago(json::Writer* w, const ToolContext* c, u64 then) {
  say(w, mem::lit(" ms, sampled "));
  if (c->state != 0 && !c->silence_known) say(w, mem::lit("at least "));
  json::write_uint(w, data_age(c, then));
  say(w, mem::lit(" ms ago"));
  if (c->state == 0) return;
  say(w, mem::lit(" (the machine is "));
  say(w, state_word(c->state));
  say(w, mem::lit(")"));
}

// The remote machine's name and its listed state in the structured result.
void machine_keys(json::Writer* w, const ToolContext* c) {
  if (c->name.len == 0) return;
  json::key(w, mem::lit("machine"));
  json::string_value(w, c->name);
  json::key(w, mem::lit("state"));
  json::string_value(w, state_word(c->state));
}

void cluster_text(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                  json::Writer* w) {
  const ClusterView* v = context->cluster;
  u8 status = v ? v->status : cluster_unconfigured;
  switch (status) {
    case cluster_unconfigured:
      say(w, mem::lit("no server or share is configured for the cluster: set one in Vimbrel's Settings (Cluster) to "
                      "see other machines"));
      break;
    case cluster_no_key: say(w, mem::lit("no cluster key: import it in Vimbrel's Settings (Cluster)")); break;
    case cluster_key_refused: say(w, mem::lit("the cluster key file is refused")); break;
    case cluster_unreachable: say(w, mem::lit("other machines cannot be reached from this system yet")); break;
    case cluster_no_memory: say(w, mem::lit("no memory for the link to the server")); break;
    case cluster_no_answer:
      say(w, mem::lit("no answer from the server or share within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms (last event: "));
      say(w, cluster::link_status_text(v->last_event));
      say(w, mem::lit(")"));
      break;
    case cluster_unknown_machine:
      say(w, mem::lit("no machine is named "));
      json::put_raw(w, machine_as_written(doc, line, arguments));
      say(w, mem::lit(": call list_machines for the names and ids"));
      break;
    case cluster_ambiguous:
      say(w, mem::lit("more than one machine is named "));
      json::put_raw(w, machine_as_written(doc, line, arguments));
      say(w, mem::lit(": give one of their ids:"));
      same_named(v, doc, line, arguments, w);
      break;
    case cluster_machine_silent:
      write_name_text(w, mem::Bytes(v->name, bits::min32(v->name_length, sizeof v->name)));
      say(w, mem::lit(" sent no data within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms"));
      break;
    default:
      say(w, mem::lit("the history did not arrive within "));
      json::write_uint(w, v->timeout_ms);
      say(w, mem::lit(" ms"));
      break;
  }
}

u32 cluster_result(const ToolContext* context, const json::Document* doc, mem::Bytes line, u16 arguments,
                   json::Writer* w) {
  if (context->cluster && context->cluster->status == cluster_ok) return 0;
  text_content(w);
  cluster_text(context, doc, line, arguments, w);
  error_result_end(w);
  return 1;
}

// ======== The cluster tools ========

// The cluster tools answer from the host's list and history. A call reaches a handler only after the loop's gathering
// has set the cluster view's status; every failure of it is answered by cluster_result.

mem::Bytes state_word(u32 index) {
  switch (index) {
    case 0: return mem::lit("online");
    case 1: return mem::lit("stale");
    case 2: return mem::lit("offline");
    case 3: return mem::lit("missing");
    default: return mem::lit("all");
  }
}

bool is_this_machine(const ClusterView* v, u32 i) {
  return v->own_id_known && __builtin_memcmp(v->own_id, v->machines->ids[i], 16) == 0;
}

namespace {

// The state word of a summary: values past missing count as missing.
mem::Bytes summary_state(const proto::Summary& s) { return state_word(s.state < 3 ? s.state : 3); }

u32 listed_count(const proto::MachineList* l) { return bits::min32(l->count, proto::list_rows); }

void say_uint(json::Writer* w, u64 value) { json::write_uint(w, value); }

u32 saturated(u64 value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(value); }

// The figures that close both a machine's row and the cluster's sums, under the same keys and in this order: video
// memory used and total, disk read and write, network receive and send, processes and threads.
void volume_keys(json::Writer* w, const u64 (&figures)[8]) {
  const mem::Bytes keys[8] = {mem::lit("vram_used_mib"),       mem::lit("vram_total_mib"),
                              mem::lit("disk_read_kib_per_s"), mem::lit("disk_write_kib_per_s"),
                              mem::lit("receive_kib_per_s"),   mem::lit("send_kib_per_s"),
                              mem::lit("processes"),           mem::lit("threads")};
  for (u32 i = 0; i < 8; ++i) key_uint(w, keys[i], figures[i]);
}

// The four rates of a machine's row and of the cluster's sums in text, each after its label: disk read and write,
// network receive and send.
void rates_text(json::Writer* w, const mem::Bytes (&labels)[4], const u32 (&rates)[4]) {
  for (u32 i = 0; i < 4; ++i) {
    say(w, labels[i]);
    write_rate(w, rates[i]);
  }
}

}  // namespace

void machine_row_text(json::Writer* w, const ClusterView* v, u32 i) {
  const proto::MachineList* l = v->machines;
  const proto::Summary& s = l->summaries[i];
  say(w, mem::lit("\n"));
  write_name_text(w, machine_name(l->names[i]));
  if (is_this_machine(v, i)) say(w, mem::lit(" (this computer)"));
  say(w, mem::lit(": "));
  say(w, summary_state(s));
  say(w, mem::lit(", CPU "));
  say_fixed(w, s.cpu, 2);
  say(w, mem::lit(" % of "));
  say_uint(w, s.value);
  say(w, mem::lit(" logical processors, memory "));
  say_fixed(w, gib_tenths(s.memory_used), 1);
  say(w, mem::lit(" / "));
  write_gb(w, s.memory_total);
  say(w, mem::lit(", GPU "));
  say_fixed(w, s.gpu, 2);
  say(w, mem::lit(" %, VRAM "));
  say_fixed(w, gib_tenths(s.video_used), 1);
  say(w, mem::lit(" / "));
  write_gb(w, s.video_total);
  rates_text(w, {mem::lit(", disk read "), mem::lit(" write "), mem::lit(", network receive "), mem::lit(" send ")},
             {s.disk_read, s.disk_write, s.receive, s.send});
  say(w, mem::lit(", "));
  say_uint(w, s.processes);
  say(w, mem::lit(" processes, id "));
  write_id_hex(w, l->ids[i]);
}

void machine_row_json(json::Writer* w, const ClusterView* v, u32 i) {
  const proto::MachineList* l = v->machines;
  const proto::Summary& s = l->summaries[i];
  json::begin_object(w);
  json::key(w, mem::lit("name"));
  json::string_value(w, machine_name(l->names[i]));
  key_id(w, mem::lit("id"), l->ids[i]);
  json::key(w, mem::lit("state"));
  json::string_value(w, summary_state(s));
  json::key(w, mem::lit("this_machine"));
  json::write_bool(w, is_this_machine(v, i));
  key_uint(w, mem::lit("logical_processors"), s.value);
  key_fixed(w, mem::lit("cpu_percent"), s.cpu, 2);
  key_fixed(w, mem::lit("kernel_percent"), s.kernel, 2);
  key_uint(w, mem::lit("memory_used_mib"), s.memory_used);
  key_uint(w, mem::lit("memory_total_mib"), s.memory_total);
  key_fixed(w, mem::lit("busiest_disk_percent"), s.disk, 2);
  key_fixed(w, mem::lit("gpu_percent"), s.gpu, 2);
  volume_keys(w, {s.video_used, s.video_total, s.disk_read, s.disk_write, s.receive, s.send, s.processes, s.threads});
  json::end_object(w);
}

void list_machines(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 state = state_argument(call->doc, call->line, call->arguments);
  if (state == 255)
    return bad_arguments(w, mem::lit("Invalid arguments: state must be one of online, stale, offline, missing, all"));
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* v = context->cluster;
  u32 listed = listed_count(v->machines);
  auto shown = [&](u32 i) { return state == 4 || v->machines->summaries[i].state == state; };
  u32 count = 0;
  for (u32 i = 0; i < listed; ++i) count += shown(i) ? 1 : 0;
  text_content(w);
  say(w, mem::lit("list_machines: "));
  say_uint(w, count);
  say(w, mem::lit(" of "));
  say_uint(w, listed);
  say(w, mem::lit(" machines, state "));
  say(w, state_word(state));
  for (u32 i = 0; i < listed; ++i) {
    if (shown(i)) machine_row_text(w, v, i);
  }
  structured_content(w);
  key_uint(w, mem::lit("machines_listed"), listed);
  key_uint(w, mem::lit("machines_shown"), count);
  json::key(w, mem::lit("machines"));
  json::begin_array(w);
  for (u32 i = 0; i < listed; ++i) {
    if (shown(i)) machine_row_json(w, v, i);
  }
  json::end_array(w);
  is_error(w);
}

void cluster_sums(const proto::MachineList* l, ClusterSums* s) {
  __builtin_memset(s, 0, sizeof *s);
  for (u32 i = 0; i < listed_count(l); ++i) {
    const proto::Summary& m = l->summaries[i];
    ++s->counts[m.state < 3 ? m.state : 3];
    if (m.state > 1) continue;
    s->logical += m.value;
    s->busy += u64{m.value} * m.cpu;
    s->memory_used += m.memory_used;
    s->memory_total += m.memory_total;
    s->vram_used += m.video_used;
    s->vram_total += m.video_total;
    s->disk_read += m.disk_read;
    s->disk_write += m.disk_write;
    s->receive += m.receive;
    s->send += m.send;
    s->processes += m.processes;
    s->threads += m.threads;
  }
}

void cluster_usage(const ToolContext* context, const Call* call, json::Writer* w) {
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  ClusterSums s;
  cluster_sums(context->cluster->machines, &s);
  u32 machines = listed_count(context->cluster->machines);
  u64 busy = s.busy / 100;
  u64 percent = s.busy / (s.logical > 1 ? s.logical : 1);
  text_content(w);
  say(w, mem::lit("cluster_usage of "));
  say_uint(w, machines);
  say(w, mem::lit(" machines: "));
  const mem::Bytes states[4] = {mem::lit(" online, "), mem::lit(" stale, "), mem::lit(" offline, "),
                                mem::lit(" missing; sums over the online and stale ones\ncpu: ")};
  for (u32 i = 0; i < 4; ++i) {
    say_uint(w, s.counts[i]);
    say(w, states[i]);
  }
  say_fixed(w, busy, 2);
  say(w, mem::lit(" of "));
  say_uint(w, s.logical);
  say(w, mem::lit(" logical processors busy ("));
  say_fixed(w, percent, 2);
  say(w, mem::lit(" %)\nmemory: "));
  write_gb(w, s.memory_used);
  say(w, mem::lit(" of "));
  write_gb(w, s.memory_total);
  say(w, mem::lit(" in use\nvram: "));
  write_gb(w, s.vram_used);
  say(w, mem::lit(" of "));
  write_gb(w, s.vram_total);
  rates_text(w,
             {mem::lit(" in use\ndisk: read "), mem::lit(", write "), mem::lit("\nnetwork: receive "),
              mem::lit(", send ")},
             {saturated(s.disk_read), saturated(s.disk_write), saturated(s.receive), saturated(s.send)});
  say(w, mem::lit("\nprocesses "));
  say_uint(w, s.processes);
  say(w, mem::lit(", threads "));
  say_uint(w, s.threads);
  structured_content(w);
  key_uint(w, mem::lit("machines"), machines);
  const mem::Bytes count_keys[4] = {mem::lit("online"), mem::lit("stale"), mem::lit("offline"), mem::lit("missing")};
  for (u32 i = 0; i < 4; ++i) key_uint(w, count_keys[i], s.counts[i]);
  key_uint(w, mem::lit("logical_processors"), s.logical);
  key_fixed(w, mem::lit("busy_processors"), busy, 2);
  key_fixed(w, mem::lit("cpu_percent"), percent, 2);
  key_uint(w, mem::lit("memory_used_mib"), s.memory_used);
  key_uint(w, mem::lit("memory_total_mib"), s.memory_total);
  volume_keys(w, {s.vram_used, s.vram_total, s.disk_read, s.disk_write, s.receive, s.send, s.processes, s.threads});
  is_error(w);
}

mem::Bytes metric_word(u32 index) {
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= index && i < 6; ++i) word = next_name(metric_words(), &at);
  return word;
}

mem::Bytes range_word(u32 index) {
  u64 at = 0;
  mem::Bytes word;
  for (u32 i = 0; i <= index && i < 4; ++i) word = next_name(range_words(), &at);
  return word;
}

u32 range_seconds(u8 range) {
  const u32 seconds[4] = {3600, 86400, 2592000, 63072000};
  return seconds[range < 4 ? range : 1];
}

u8 tier_of(u8 range) { return range < 2 ? range : 2; }

u32 tier_row_seconds(u8 tier) { return tier == 0 ? 10 : tier == 1 ? 300 : 3600; }

u8 history_column(u8 metric, u32 second) {
  const u8 first[6] = {0, 2, 4, 5, 6, 3};
  if (second) return metric == 4 ? 7 : 255;
  return first[metric < 6 ? metric : 0];
}

// Days since 2025-01-01 to the proleptic Gregorian date (days from civil, inverted).
void civil_date(u32 days, u32* year, u32* month, u32* day) {
  i64 z = i64{days} + 20089 + 719468;  // 2025-01-01 is day 20,089 after 1970-01-01
  i64 era = z / 146097;
  i64 doe = z - era * 146097;
  i64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  i64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  i64 mp = (5 * doy + 2) / 153;
  i64 d = doy - (153 * mp + 2) / 5 + 1;
  i64 m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<u32>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  *month = static_cast<u32>(m);
  *day = static_cast<u32>(d);
}

namespace {

void two_digits(json::Writer* w, u32 v) {
  json::put_byte(w, static_cast<u8>('0' + v / 10 % 10));
  json::put_byte(w, static_cast<u8>('0' + v % 10));
}

}  // namespace

void write_time(json::Writer* w, u32 seconds) {
  u32 year = 0, month = 0, day = 0;
  civil_date(seconds / 86400, &year, &month, &day);
  u32 rest = seconds % 86400;
  json::write_uint(w, year);
  json::put_byte(w, '-');
  two_digits(w, month);
  json::put_byte(w, '-');
  two_digits(w, day);
  json::put_byte(w, ' ');
  two_digits(w, rest / 3600);
  json::put_byte(w, ':');
  two_digits(w, rest / 60 % 60);
}

u64 memory_of_code(u16 code) {
  if (code < 4096) return code;
  return u64{(code & 0xFFFu) | 0x1000u} << (code / 4096 - 1);
}

u64 row_value(const viewer::HistView* v, u32 column, u32 row, u32 which) {
  if (row >= viewer::hist_rows || column > 1) return 0;
  // The fold keeps the least and the largest as stored: rates as their codes, which grow with the rate, so the
  // code of the least is the least code. They are decoded as the sum was.
  u32 measure = v->measure[column];
  if (which == 0) return v->count[row] == 0 ? 0 : viewer::field_value(measure, v->min[column][row]);
  if (which == 2) return v->count[row] == 0 ? 0 : viewer::field_value(measure, v->max[column][row]);
  return v->count[row] == 0 ? 0 : words::rounded(v->sum[column][row], v->count[row]);
}

namespace {

bool range_error(json::Writer* w, u8 error) {
  if (error == 3) bad_arguments(w, mem::lit("Invalid arguments: range must be one of 1h, 24h, 30d, 2y"));
  return error == 3;
}

u32 row_time(const viewer::HistView* v, u32 row) {
  return v->start + static_cast<u32>(u64{v->span} * row / viewer::hist_rows);
}

void key_time(json::Writer* w, u32 seconds) {
  json::key(w, mem::lit("time"));
  json::comma(w);
  json::put_byte(w, '"');
  write_time(w, seconds);
  json::put_byte(w, '"');
}

// A value of a column: hundredths with two decimals for percentages, whole KiB/s for net.
void say_value(json::Writer* w, u64 value, bool net) {
  if (net) json::write_uint(w, value);
  else say_fixed(w, value, 2);
}

void key_value(json::Writer* w, mem::Bytes key, u64 value, bool net) {
  if (net) key_uint(w, key, value);
  else key_fixed(w, key, value, 2);
}

u32 folded_buckets(const viewer::HistView* v) {
  u32 n = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) n += v->count[r];
  return n;
}

// The kept name of a top entry's hash; empty when the host sent none for it.
mem::Bytes top_name(const viewer::NameFilter* f, u32 hash) {
  for (u32 i = 0; i < f->names_count && i < viewer::filter_names_max; ++i) {
    if (f->name_hashes[i] == hash) return machine_name(f->names[i]);
  }
  return mem::Bytes();
}

const ptop::List* top_list(const viewer::NameFilter* f, u32 row, u8 metric) {
  return metric == 0 ? &f->tops[row].a : &f->tops[row].b;
}

void top_text(json::Writer* w, const viewer::NameFilter* f, u32 row, u8 metric) {
  const ptop::List* list = top_list(f, row, metric);
  bool first = true;
  for (u32 e = 0; e < ptop::top; ++e) {
    if (list->hash[e] == 0) continue;
    say(w, first ? mem::lit(", top ") : mem::lit(", "));
    first = false;
    mem::Bytes name = top_name(f, list->hash[e]);
    if (name.len == 0) say(w, mem::lit("(name not kept)"));
    else write_name_text(w, name);
    say(w, mem::lit(" "));
    if (metric == 0) {
      say_fixed(w, list->value[e], 2);
      say(w, mem::lit(" %"));
    } else {
      json::write_uint(w, memory_of_code(list->value[e]));
      say(w, mem::lit(" MiB"));
    }
  }
}

void top_json(json::Writer* w, const viewer::NameFilter* f, u32 row, u8 metric) {
  const ptop::List* list = top_list(f, row, metric);
  json::key(w, mem::lit("top_processes"));
  json::begin_array(w);
  for (u32 e = 0; e < ptop::top; ++e) {
    if (list->hash[e] == 0) continue;
    json::begin_object(w);
    json::key(w, mem::lit("name"));
    mem::Bytes name = top_name(f, list->hash[e]);
    json::string_value(w, name.len == 0 ? mem::lit("(name not kept)") : name);
    key_uint(w, mem::lit("pid"), list->pid[e]);
    if (metric == 0) key_fixed(w, mem::lit("cpu_percent"), list->value[e], 2);
    else key_uint(w, mem::lit("memory_mib"), memory_of_code(list->value[e]));
    json::end_object(w);
  }
  json::end_array(w);
}

// The heading's common part: " over the last " + range + ", tier " + t + " (" + bucket length + " s buckets)".
void tier_words(json::Writer* w, u8 range, u8 tier) {
  say(w, mem::lit(" over the last "));
  say(w, range_word(range));
  say(w, mem::lit(", tier "));
  json::write_uint(w, tier);
  say(w, mem::lit(" ("));
  json::write_uint(w, tier_row_seconds(tier));
  say(w, mem::lit(" s buckets)"));
}

void history_keys(json::Writer* w, const viewer::HistView* v, u8 range, u8 tier) {
  json::key(w, mem::lit("range"));
  json::string_value(w, range_word(range));
  key_uint(w, mem::lit("tier"), tier);
  key_uint(w, mem::lit("bucket_s"), tier_row_seconds(tier));
  key_uint(w, mem::lit("row_s"), v->span / viewer::hist_rows);
  key_uint(w, mem::lit("from_s"), v->start);
  key_uint(w, mem::lit("to_s"), u64{v->start} + v->span);
}

}  // namespace

void usage_history(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 metric = 0, range = 0, cluster = 0;
  u8 error = metric_range_arguments(call->doc, call->line, call->arguments, &metric, &range, &cluster);
  if (error == 1)
    return bad_arguments(w, mem::lit("Invalid arguments: usage_history needs machine (a name or an id of 1 to 64 "
                                     "bytes) or cluster: true, not both"));
  if (error == 2)
    return bad_arguments(w, mem::lit("Invalid arguments: metric must be one of cpu, memory, gpu, vram, net, disk"));
  if (range_error(w, error)) return;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* c = context->cluster;
  const viewer::HistView* v = c->hist;
  bool net = metric == 4;
  bool tops = metric <= 1 && !cluster && c->names != nullptr;
  mem::Bytes name = cluster ? mem::lit("the cluster") : mem::Bytes(c->name, c->name_length);
  mem::Bytes unit = net ? mem::lit("KiB/s") : mem::lit("percent");
  u32 rows = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) rows += v->count[r] != 0 ? 1 : 0;
  text_content(w);
  say(w, mem::lit("usage_history of "));
  write_name_text(w, name);
  say(w, mem::lit(": "));
  say(w, metric_word(metric));
  say(w, mem::lit(" in "));
  say(w, unit);
  tier_words(w, range, c->tier);
  say(w, mem::lit(", "));
  json::write_uint(w, folded_buckets(v));
  say(w, mem::lit(" buckets in "));
  json::write_uint(w, rows);
  say(w, mem::lit(" rows of "));
  json::write_uint(w, v->span / viewer::hist_rows);
  say(w, mem::lit(" s, times UTC"));
  if (rows == 0 && cluster && c->host_version < 1063) {
    say(w, mem::lit("\nno buckets for the cluster: this server does not serve cluster history yet (it comes with "
                    "Vimbrel 0.1.63); ask for one machine instead"));
  } else if (rows == 0 && cluster) {
    say(w, mem::lit("\nno buckets for the cluster in that range: the server has kept no history of its machines yet"));
  } else if (rows == 0) {
    say(w, mem::lit("\nno buckets in that range: the server has kept no history of it yet"));
  }
  const mem::Bytes marks[3] = {mem::lit(" min "), mem::lit(" avg "), mem::lit(" max ")};
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (v->count[r] == 0) continue;
    say(w, mem::lit("\n"));
    write_time(w, row_time(v, r));
    if (net) say(w, mem::lit(" receive"));
    for (u32 k = 0; k < 3; ++k) {
      say(w, marks[k]);
      say_value(w, row_value(v, 0, r, k), net);
    }
    if (net) {
      say(w, mem::lit(", send"));
      for (u32 k = 0; k < 3; ++k) {
        say(w, marks[k]);
        say_value(w, row_value(v, 1, r, k), net);
      }
    }
    if (tops) top_text(w, c->names, r, metric);
  }
  structured_content(w);
  json::key(w, mem::lit("machine"));
  json::string_value(w, name);
  json::key(w, mem::lit("metric"));
  json::string_value(w, metric_word(metric));
  json::key(w, mem::lit("unit"));
  json::string_value(w, unit);
  history_keys(w, v, range, c->tier);
  key_uint(w, mem::lit("buckets"), folded_buckets(v));
  json::key(w, mem::lit("rows"));
  json::begin_array(w);
  const mem::Bytes keys[2][3] = {{mem::lit("min"), mem::lit("average"), mem::lit("max")},
                                 {mem::lit("send_min"), mem::lit("send_average"), mem::lit("send_max")}};
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (v->count[r] == 0) continue;
    json::begin_object(w);
    key_time(w, row_time(v, r));
    key_uint(w, mem::lit("buckets"), v->count[r]);
    for (u32 col = 0; col < (net ? 2u : 1u); ++col) {
      for (u32 k = 0; k < 3; ++k) key_value(w, keys[col][k], row_value(v, col, r, k), net);
    }
    if (tops) top_json(w, c->names, r, metric);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

void process_history(const ToolContext* context, const Call* call, json::Writer* w) {
  u8 metric = 0, range = 0, cluster = 0;
  u8 error = metric_range_arguments(call->doc, call->line, call->arguments, &metric, &range, &cluster);
  u8 name[32];
  u64 name_length = process_name_argument(call->doc, call->line, call->arguments, name);
  if (name_length == 0 || error == 1 || cluster)
    return bad_arguments(w, mem::lit("Invalid arguments: process_history needs name (a process name of 1 to 32 "
                                     "bytes) and machine (a name or an id of 1 to 64 bytes)"));
  if (range_error(w, error)) return;
  if (cluster_result(context, call->doc, call->line, call->arguments, w)) return;
  const ClusterView* c = context->cluster;
  const viewer::HistView* v = c->hist;
  const viewer::NameFilter* f = c->names;
  u32 seen = 0;
  for (u32 r = 0; r < viewer::hist_rows; ++r) seen += f->matches[r];
  mem::Bytes process(name, name_length);
  text_content(w);
  say(w, mem::lit("process_history of "));
  write_name_text(w, process);
  say(w, mem::lit(" on "));
  write_name_text(w, mem::Bytes(c->name, c->name_length));
  tier_words(w, range, c->tier);
  say(w, mem::lit(": among the 5 heaviest by CPU or memory in "));
  json::write_uint(w, seen);
  say(w, mem::lit(" of "));
  json::write_uint(w, f->tops_taken);
  say(w, mem::lit(" buckets, rows of "));
  json::write_uint(w, v->span / viewer::hist_rows);
  say(w, mem::lit(" s, times UTC"));
  if (f->tops_taken == 0) {
    say(w, mem::lit("\nno process history in that range: the server keeps none (a server older than process "
                    "history, or none closed yet)"));
  } else if (seen == 0) {
    say(w, mem::lit("\nnever among the 5 heaviest by CPU or memory in that range"));
  }
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (f->matches[r] == 0) continue;
    say(w, mem::lit("\n"));
    write_time(w, row_time(v, r));
    say(w, mem::lit(" in "));
    json::write_uint(w, f->matches[r]);
    say(w, mem::lit(" buckets, CPU peak "));
    if (f->most[r][0] == 0) {
      say(w, mem::lit("not in the top 5"));
    } else {
      say_fixed(w, f->most[r][0], 2);
      say(w, mem::lit(" %"));
    }
    say(w, mem::lit(", memory peak "));
    if (f->most[r][1] == 0) {
      say(w, mem::lit("not in the top 5"));
    } else {
      json::write_uint(w, memory_of_code(f->most[r][1]));
      say(w, mem::lit(" MiB"));
    }
  }
  structured_content(w);
  json::key(w, mem::lit("machine"));
  json::string_value(w, mem::Bytes(c->name, c->name_length));
  json::key(w, mem::lit("name"));
  json::string_value(w, process);
  history_keys(w, v, range, c->tier);
  key_uint(w, mem::lit("buckets"), f->tops_taken);
  key_uint(w, mem::lit("buckets_seen"), seen);
  json::key(w, mem::lit("rows"));
  json::begin_array(w);
  for (u32 r = 0; r < viewer::hist_rows; ++r) {
    if (f->matches[r] == 0) continue;
    json::begin_object(w);
    key_time(w, row_time(v, r));
    key_uint(w, mem::lit("buckets_seen"), f->matches[r]);
    json::key(w, mem::lit("cpu_peak_percent"));
    if (f->most[r][0] == 0) json::write_null(w);
    else json::fixed_value(w, f->most[r][0], 2);
    key_uint_or_null(w, mem::lit("memory_peak_mib"), memory_of_code(f->most[r][1]), f->most[r][1] != 0);
    json::end_object(w);
  }
  json::end_array(w);
  is_error(w);
}

}  // namespace mcp
