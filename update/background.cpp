#include "update/background.h"

#include "base/fmt.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "update/runkey.h"
#include "update/runner.h"

namespace taskmgr {

u32 folder_hash(mem::Bytes path) {
  u64 end = path.len;
  while (end > 0 && path.ptr[end - 1] != '/' && path.ptr[end - 1] != '\\') --end;
  u32 h = 0x811C9DC5u;
  for (u64 i = 0; i < end; ++i) {
    u8 c = path.ptr[i];
    if (c >= 'A' && c <= 'Z') c |= 0x20;
    h = (h ^ c) * 16777619u;
  }
  return h;
}

}  // namespace taskmgr

namespace background {
namespace {

// A text being built in a caller's buffer: what does not fit is dropped and remembered.
struct Out {
  u8* ptr;
  u64 capacity;
  u64 n;
  bool overflow;
};
Out out_of(mem::Slice s) { return Out{s.ptr, s.len, 0, false}; }
void put(Out* o, mem::Bytes b) {
  if (o->capacity - o->n < b.len) {
    o->overflow = true;
    return;
  }
  if (b.len) __builtin_memcpy(o->ptr + o->n, b.ptr, b.len);
  o->n += b.len;
}
// As put, but keeps the first bytes that fit (lines are cut, not dropped).
void put_cut(Out* o, mem::Bytes b) {
  u64 room = o->capacity - o->n;
  put(o, mem::Bytes(b.ptr, b.len < room ? b.len : room));
}
void put_dec(Out* o, u64 v) {
  u8 digits[fmt::dec_size];
  put(o, fmt::dec(v, digits));
}

bool starts_with(mem::Bytes text, mem::Bytes prefix) {
  return text.len >= prefix.len && mem::eq(mem::Bytes(text.ptr, prefix.len), prefix);
}
mem::Bytes rest_after(mem::Bytes text, u64 n) { return mem::Bytes(text.ptr + n, text.len - n); }

bool same_ignoring_case(mem::Bytes a, mem::Bytes b) {
  if (a.len != b.len) return false;
  for (u64 i = 0; i < a.len; ++i) {
    if ((a.ptr[i] | 0x20) != (b.ptr[i] | 0x20)) return false;
  }
  return true;
}

void set_path(Path* p, mem::Bytes text) {
  p->length = text.len <= path_max ? static_cast<u32>(text.len) : 0;
  if (p->length) __builtin_memcpy(p->text, text.ptr, p->length);
}

// The path with a suffix; false when it would not fit.
bool suffixed(Path* out, mem::Bytes path, mem::Bytes suffix) {
  out->length = 0;
  if (path.len + suffix.len > path_max) return false;
  __builtin_memcpy(out->text, path.ptr, path.len);
  __builtin_memcpy(out->text + path.len, suffix.ptr, suffix.len);
  out->length = static_cast<u32>(path.len + suffix.len);
  return true;
}

// 1 to 5 digits with a value from 1 to 65,535, else 0.
u16 parse_port(mem::Bytes text) {
  if (text.len == 0 || text.len > 5) return 0;
  u32 v = 0;
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] < '0' || text.ptr[i] > '9') return 0;
    v = v * 10 + (text.ptr[i] - '0');
  }
  return v >= 1 && v <= 65535 ? static_cast<u16>(v) : 0;
}

bool read_settings_file(mem::Bytes path, Settings* settings) {
  u8 text[settings_read_max];
  u64 n = 0;
  if (path.len == 0 || !cluster::read_small_file(path, mem::Slice{text, sizeof text}, &n)) n = 0;
  return parse_settings(mem::Bytes(text, n), settings);
}

bool has_child(const Slot* slot) { return slot->child.child.process != 0; }

void collect_output(void* state, mem::Bytes bytes) { take_output_line(static_cast<LastLine*>(state), bytes); }

void drain_slot(Slot* slot) {
  if (has_child(slot)) proc::drain(&slot->child, collect_output, &slot->line);
}

// What an ended child left in its pipe. The pipe holds at most 64 KiB and one drain takes as much, so a few drains
// take all of it; the pipe is not read until its last writer lets go, since that may be something the child started
// that outlives it (cut off from the child's group, or stuck in the kernel on a share that stopped answering).
void drain_ended(Slot* slot) {
  for (u32 i = 0; i < 4 && proc::drain(&slot->child, collect_output, &slot->line); ++i) {
  }
}

mem::Bytes line_without_prefix(const LastLine* line) {
  mem::Bytes last(line->last, line->last_length);
  return rest_after(last, log_prefix(last));
}

void set_note(State* s, mem::Bytes text) {
  u64 n = text.len < line_max ? text.len : line_max;
  __builtin_memcpy(s->note, text.ptr, n);
  s->note_length = static_cast<u16>(n);
}

}  // namespace

bool is_background_option(mem::Bytes word) { return mem::eq(word, mem::lit("--background")); }

// ---- background.txt.

bool parse_settings(mem::Bytes text, Settings* settings) {
  *settings = Settings{};
  u64 at = 0;
  bool first = true;
  while (at < text.len) {
    u64 end = at;
    while (end < text.len && text.ptr[end] != '\n') ++end;
    mem::Bytes line(text.ptr + at, end - at);
    if (line.len && line.ptr[line.len - 1] == '\r') --line.len;
    at = end + 1;
    if (first) {
      if (!mem::eq(line, mem::lit("vimbrel-background 1"))) {
        *settings = Settings{};
        return false;
      }
      first = false;
      continue;
    }
    if (mem::eq(line, mem::lit("host on"))) settings->flags |= role_host;
    if (mem::eq(line, mem::lit("agent on"))) settings->flags |= role_agent;
    if (starts_with(line, mem::lit("port "))) settings->port = parse_port(rest_after(line, 5));
    if (starts_with(line, mem::lit("listen "))) {
      mem::Bytes v = rest_after(line, 7);
      if (v.len < 16 && cluster::parse_ipv4(v) != 0) {
        __builtin_memcpy(settings->listen, v.ptr, v.len);
        settings->listen_length = static_cast<u8>(v.len);
      }
    }
    if (starts_with(line, mem::lit("source "))) {
      mem::Bytes v = rest_after(line, 7);
      if (v.len <= path_max) {
        __builtin_memcpy(settings->source, v.ptr, v.len);
        settings->source_length = static_cast<u32>(v.len);
      }
    }
  }
  if (first) *settings = Settings{};
  return !first;
}

u32 format_settings(const Settings* s, mem::Slice out) {
  Out o = out_of(out);
  put(&o, mem::lit("vimbrel-background 1\n"));
  put(&o, s->flags & role_host ? mem::lit("host on\n") : mem::lit("host off\n"));
  put(&o, s->flags & role_agent ? mem::lit("agent on\n") : mem::lit("agent off\n"));
  if (s->port) {
    put(&o, mem::lit("port "));
    put_dec(&o, s->port);
    put(&o, mem::lit("\n"));
  }
  if (s->listen_length) {
    put(&o, mem::lit("listen "));
    put(&o, mem::Bytes(s->listen, s->listen_length));
    put(&o, mem::lit("\n"));
  }
  if (s->source_length) {
    put(&o, mem::lit("source "));
    put(&o, mem::Bytes(s->source, s->source_length));
    put(&o, mem::lit("\n"));
  }
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

// ---- Output lines.

void take_output_line(LastLine* line, mem::Bytes bytes) {
  for (u64 i = 0; i < bytes.len; ++i) {
    u8 c = bytes.ptr[i];
    if (c == '\n') {
      __builtin_memcpy(line->last, line->reading, line->reading_length);
      line->last_length = line->reading_length;
      line->reading_length = 0;
    } else if (c >= 0x20 && c <= 0x7E && line->reading_length < line_max) {
      line->reading[line->reading_length++] = c;
    }
  }
}

u32 log_prefix(mem::Bytes line) {
  if (starts_with(line, mem::lit("vimbrel host: "))) return 14;
  if (starts_with(line, mem::lit("vimbrel agent: "))) return 15;
  return 0;
}

bool saw_share_caches(mem::Bytes line) {
  const mem::Bytes needle = mem::lit("the share caches");
  for (u64 i = 0; i + needle.len <= line.len; ++i) {
    if (mem::eq(mem::Bytes(line.ptr + i, needle.len), needle)) return true;
  }
  return false;
}

// ---- Back-off.

u32 restart_delay(u32 attempt) {
  if (attempt == 0) return 0;
  if (attempt <= 6) return 1u << (attempt - 1);
  return 60;
}

u8 next_attempt(u8 attempt, u64 ran_ms) {
  if (ran_ms > 59999) return 1;
  return attempt == 255 ? 255 : static_cast<u8>(attempt + 1);
}

u64 next_start_time(u64 now, u8 attempt) { return now + u64{restart_delay(attempt)} * 1000; }

// ---- Versions.

u32 parse_version_line(mem::Bytes text) {
  if (!starts_with(text, mem::lit("vimbrel "))) return 0;
  mem::Bytes v = rest_after(text, 8);
  while (v.len && (v.ptr[v.len - 1] == '\n' || v.ptr[v.len - 1] == '\r')) --v.len;
  u32 parts[3] = {};
  u32 part = 0, digits = 0;
  for (u64 i = 0; i < v.len; ++i) {
    u8 c = v.ptr[i];
    if (c == '.') {
      if (digits == 0 || part == 2) return 0;
      ++part;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return 0;
      parts[part] = parts[part] * 10 + (c - '0');
      if (parts[part] > 255) return 0;
    } else {
      return 0;
    }
  }
  if (part != 2 || digits == 0) return 0;
  return parts[0] << 16 | parts[1] << 8 | parts[2];
}

u32 append_version(u32 packed, u8* out) {
  Out o{out, 12, 0, false};
  put_dec(&o, packed >> 16 & 0xFF);
  put(&o, mem::lit("."));
  put_dec(&o, packed >> 8 & 0xFF);
  put(&o, mem::lit("."));
  put_dec(&o, packed & 0xFF);
  return static_cast<u32>(o.n);
}

u32 keep_copy_message(u32 probed, u32 own, mem::Slice out160) {
  u8 a[12], b[12];
  Out o = out_of(out160);
  put_cut(&o, mem::lit("Update check: the program is version "));
  put_cut(&o, mem::Bytes(a, append_version(probed, a)));
  put_cut(&o, mem::lit(", not newer than the background copy's "));
  put_cut(&o, mem::Bytes(b, append_version(own, b)));
  put_cut(&o, mem::lit("; the copy is kept."));
  return static_cast<u32>(o.n);
}

// ---- Status.

u32 status_of(const Slot* slot, bool force_share, mem::Slice out160) {
  Out o = out_of(mem::Slice{out160.ptr, out160.len < line_max ? out160.len : line_max});
  mem::Bytes line = line_without_prefix(&slot->line);
  switch (slot->state) {
    case slot_started:
      put_cut(&o, line.len ? line : mem::lit("Started."));
      if (force_share) put_cut(&o, mem::lit(" (--force-share: the share self-test says the share caches)"));
      break;
    case slot_exited: {
      put_cut(&o, mem::lit("Exited, code "));
      u8 digits[fmt::dec_size];
      put_cut(&o, fmt::dec(slot->exit_code, digits));
      if (line.len) {
        put_cut(&o, mem::lit(": "));
        put_cut(&o, line);
      }
      put_cut(&o, mem::lit("; again in "));
      put_cut(&o, fmt::dec(restart_delay(slot->attempt), digits));
      put_cut(&o, mem::lit(" s."));
      break;
    }
    case slot_needs_share: put_cut(&o, mem::lit("Needs a share under Server or share.")); break;
    case slot_start_failed: put_cut(&o, mem::lit("Could not start the background copy.")); break;
    case slot_not_publishing:
      put_cut(&o, mem::lit("Not publishing: Publish is off, or no server or share is set."));
      break;
    default: put_cut(&o, mem::lit("Off.")); break;
  }
  return static_cast<u32>(o.n);
}

u32 status_text(mem::Bytes host, mem::Bytes agent, mem::Bytes note, mem::Slice out) {
  Out o = out_of(out);
  mem::Bytes lines[3] = {host, agent, note};
  for (mem::Bytes l : lines) {
    put(&o, mem::Bytes(l.ptr, l.len < line_max ? l.len : line_max));
    put(&o, mem::lit("\n"));
  }
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

mem::Bytes status_line(mem::Bytes text, u32 n) {
  u64 at = 0;
  for (u32 i = 0; i < n; ++i) {
    while (at < text.len && text.ptr[at] != '\n') ++at;
    if (at >= text.len) return mem::Bytes();
    ++at;
  }
  u64 end = at;
  while (end < text.len && text.ptr[end] != '\n') ++end;
  if (end > at && text.ptr[end - 1] == '\r') --end;
  return mem::Bytes(text.ptr + at, end - at);
}

// ---- Command lines.

u32 quote_path(mem::Bytes text, mem::Slice out) {
  Out o = out_of(out);
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] == '"') return 0;
  }
  put(&o, mem::lit("\""));
  put(&o, text);
  for (u64 i = text.len; i > 0 && text.ptr[i - 1] == '\\'; --i) put(&o, mem::lit("\\"));
  put(&o, mem::lit("\""));
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

namespace {
bool put_quoted(Out* o, mem::Bytes text) {
  u32 n = quote_path(text, mem::Slice{o->ptr + o->n, o->capacity - o->n});
  o->n += n;
  return n != 0;
}
}  // namespace

u32 host_command(const cluster::PublishSettings* publish, const Settings* settings, mem::Slice out512) {
  if (publish->target_kind != cluster::target_path) return 0;
  Out o = out_of(mem::Slice{out512.ptr, out512.len < command_max ? out512.len : command_max});
  put(&o, mem::lit("--elect "));
  if (!put_quoted(&o, mem::Bytes(publish->target, publish->target_length))) return 0;
  put(&o, settings->flags & role_agent ? mem::lit(" --priority 200") : mem::lit(" --priority 100"));
  if (settings->port) {
    put(&o, mem::lit(" --port "));
    put_dec(&o, settings->port);
  }
  if (settings->listen_length) {
    put(&o, mem::lit(" --listen "));
    put(&o, mem::Bytes(settings->listen, settings->listen_length));
  }
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

u32 agent_arguments(const cluster::PublishSettings* publish, mem::Slice out512) {
  u32 kind = publish->publish ? publish->target_kind : cluster::target_invalid;
  if (kind == cluster::target_invalid || publish->target_length + 20 > command_max) return 0;
  Out o = out_of(mem::Slice{out512.ptr, out512.len < command_max ? out512.len : command_max});
  put(&o, kind == cluster::target_server ? mem::lit("--agent --server ") : mem::lit("--agent --share "));
  if (!put_quoted(&o, mem::Bytes(publish->target, publish->target_length))) return 0;
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

u32 agent_command(const cluster::PublishSettings* publish, const Settings* settings, mem::Slice out512) {
  u32 n = agent_arguments(publish, out512);
  if (n == 0 || !publish->publish || publish->target_kind != cluster::target_path ||
      !(settings->flags & role_host) || n + 32 > command_max) {
    return n;
  }
  Out o{out512.ptr, out512.len < command_max ? out512.len : command_max, n, false};
  mem::Bytes listen(settings->listen, settings->listen_length);
  put(&o, mem::lit(" --local "));
  put(&o, listen.len && cluster::parse_ipv4(listen) ? listen : mem::lit("127.0.0.1"));
  if (settings->port) {
    put(&o, mem::lit(":"));
    put_dec(&o, settings->port);
  }
  return o.overflow ? n : static_cast<u32>(o.n);
}

// ---- Paths.

void hex8(u32 value, u8* out8) {
  const char digits[] = "0123456789abcdef";
  for (u32 i = 0; i < 8; ++i) out8[i] = static_cast<u8>(digits[value >> (28 - 4 * i) & 0xF]);
}

bool join_path(Path* out, mem::Bytes folder, mem::Bytes name) {
  out->length = 0;
  u64 f = folder.len;
  while (f > 1 && (folder.ptr[f - 1] == '/' || folder.ptr[f - 1] == '\\')) --f;
  if (f == 0 || f + 1 + name.len > path_max) return false;
  __builtin_memcpy(out->text, folder.ptr, f);
  out->text[f] = registry::system_words().separator;
  __builtin_memcpy(out->text + f + 1, name.ptr, name.len);
  out->length = static_cast<u32>(f + 1 + name.len);
  return true;
}

bool paths(Paths* out, mem::Bytes base) {
  *out = Paths{};
  u8 data[path_max];
  u64 n = 0;
  if (base.len == 0) {
    if (fs::env_var(mem::lit("LOCALAPPDATA"), mem::Slice{data, sizeof data}, &n) != fs::ok) return false;
    base = mem::Bytes(data, n);
  }
  if (base.len == 0 || !join_path(&out->folder, base, mem::lit("Vimbrel")) ||
      !join_path(&out->copy, out->folder.bytes(), registry::system_words().copy_name) ||
      !join_path(&out->settings, out->folder.bytes(), mem::lit("background.txt")) ||
      !join_path(&out->status, out->folder.bytes(), mem::lit("background.status"))) {
    *out = Paths{};
    return false;
  }
  u8 hex[8];
  hex8(taskmgr::folder_hash(out->copy.bytes()), hex);
  Out m{out->mutex_name, sizeof out->mutex_name, 0, false};
  put(&m, mem::lit("Local\\Vimbrel-background-"));
  put(&m, mem::Bytes(hex, 8));
  out->mutex_length = static_cast<u32>(m.n);
  Out w{out->wake_name, sizeof out->wake_name, 0, false};
  put(&w, mem::lit("Local\\Vimbrel-background-wake-"));
  put(&w, mem::Bytes(hex, 8));
  out->wake_length = static_cast<u32>(w.n);
  return true;
}

// ---- The supervisor.

u32 main(mem::Bytes version) {
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(State))) return 4;
  State* s = mem::alloc_of<State>(&arena);
  if (s == nullptr) {
    mem::release(&arena);
    return 4;
  }
  if (!paths(&s->paths, mem::Bytes())) {
    os::write_line(registry::system_words().no_data_folder);
    mem::release(&arena);
    return 3;
  }
  s->own.length = proc::own_path(s->own.text);
  u8 line[32];
  Out v{line, sizeof line, 0, false};
  put(&v, mem::lit("vimbrel "));
  put(&v, version);
  s->own_version = parse_version_line(mem::Bytes(line, v.n));
  s->key_path.length = static_cast<u32>(cluster::key_path(mem::Slice{s->key_path.text, path_max}));
  s->publish_path.length = static_cast<u32>(cluster::publish_path(mem::Slice{s->publish_path.text, path_max}));
  s->mutex = kobj::take_mutex(s->paths.mutex(), 15000);
  if (s->mutex == 0) {
    mem::release(&arena);
    return 0;
  }
  s->wake = kobj::create_event(s->paths.wake());
  remove_old(s);
  u32 code = loop(s);
  for (u32 i = 0; i < 2; ++i) stop_child(s, i);
  if (s->mutex) kobj::release_mutex(s->mutex);
  kobj::close(s->wake);
  mem::release(&arena);
  return code;
}

u32 loop(State* s) {
  bool woken = true;
  for (;;) {
    u64 now = os::clock_ms();
    u32 changed = watch_files(s);
    if (woken || changed) restart_changed(s, now, (changed & 1) != 0);
    keep_child(s, 0, now);
    keep_child(s, 1, now);
    if (woken || now >= s->next_check) {
      s->next_check = now + 10000;
      if (s->old_pending) remove_old(s);
      if (self_update(s, now) || s->mutex == 0) return 0;
    }
    write_status(s);
    if ((s->settings.flags & (role_host | role_agent)) == 0 && !has_child(&s->slot[0]) && !has_child(&s->slot[1])) {
      return 0;
    }
    if (s->wake) {
      woken = kobj::wait(s->wake, 1000) != 0;
    } else {
      os::sleep_ms(1000);
      woken = false;
    }
  }
}

u32 watch_files(State* s) {
  Path* files[2] = {&s->key_path, &s->publish_path};
  u32 changed = 0;
  for (u32 i = 0; i < 2; ++i) {
    u64 size = 0, time = 0;
    if (files[i]->length) fs::size_and_time(files[i]->bytes(), &size, &time);
    if (size != s->seen_size[i] || time != s->seen_time[i]) changed |= 1u << i;
    s->seen_size[i] = size;
    s->seen_time[i] = time;
  }
  return changed;
}

void restart_changed(State* s, u64 now, bool key_changed) {
  read_settings_file(s->paths.settings.bytes(), &s->settings);
  for (u32 i = 0; i < 2; ++i) {
    Slot* slot = &s->slot[i];
    u8 command[command_max];
    u32 n = child_command(s, i, mem::Slice{command, sizeof command});
    bool differs = !mem::eq(mem::Bytes(command, n), mem::Bytes(slot->command, slot->command_length));
    bool restart = differs || key_changed;
    if (restart && has_child(slot)) stop_child(s, i);
    if (i == 0 && differs) s->force_share = 0;
    if (restart) {
      slot->next_start = now;
      slot->attempt = 0;
    }
  }
}

u32 child_command(State* s, u32 slot, mem::Slice out512) {
  cluster::PublishSettings publish;
  if (s->publish_path.length == 0 || !cluster::read_publish(s->publish_path.bytes(), &publish)) {
    cluster::publish_reset(&publish);
  }
  return slot == 0 ? host_command(&publish, &s->settings, out512) : agent_command(&publish, &s->settings, out512);
}

void keep_child(State* s, u32 i, u64 now) {
  Slot* slot = &s->slot[i];
  bool wanted = (s->settings.flags & (i == 0 ? role_host : role_agent)) != 0;
  if (has_child(slot)) {
    drain_slot(slot);
    if (!proc::piped_running(&slot->child)) reap_child(s, i, now);
  }
  if (!wanted) {
    stop_child(s, i);
    slot->state = slot_off;
    if (i == 0) s->force_share = 0;
    slot->command_length = 0;
    slot->attempt = 0;
    slot->next_start = now;
    return;
  }
  if (has_child(slot) || now < slot->next_start) return;
  u8 args[command_max + 16];
  u32 n = child_command(s, i, mem::Slice{args, command_max});
  if (n == 0) {
    slot->state = i == 0 ? slot_needs_share : slot_not_publishing;
    slot->command_length = 0;
    return;
  }
  __builtin_memcpy(slot->command, args, n);
  slot->command_length = static_cast<u16>(n);
  Out o{args, sizeof args, n, false};
  if (i == 0 && s->force_share) put(&o, mem::lit(" --force-share"));
  slot->line = LastLine{};
  slot->last_start = now;
  if (proc::start_piped(&slot->child, s->own.bytes(), mem::Bytes(args, o.n))) {
    slot->state = slot_started;
  } else {
    slot->state = slot_start_failed;
    slot->attempt = next_attempt(slot->attempt, 0);
    slot->next_start = next_start_time(now, slot->attempt);
  }
}

void reap_child(State* s, u32 i, u64 now) {
  Slot* slot = &s->slot[i];
  drain_ended(slot);
  slot->exit_code = proc::piped_exit_code(&slot->child);
  proc::piped_close(&slot->child);
  slot->state = slot_exited;
  if (i == 0 && !s->force_share && saw_share_caches(mem::Bytes(slot->line.last, slot->line.last_length))) {
    // The election refuses a share that caches unless told to serve anyway: the host starts again at once so.
    s->force_share = 1;
    slot->next_start = now;
    return;
  }
  slot->attempt = next_attempt(slot->attempt, now - slot->last_start);
  slot->next_start = next_start_time(now, slot->attempt);
}

void stop_child(State* s, u32 i) {
  Slot* slot = &s->slot[i];
  if (!has_child(slot)) return;
  u8 name[96];
  mem::Bytes quit(name, kobj::quit_event_name(slot->child.child.process_id, name));
  for (u32 attempt = 0; attempt < 100; ++attempt) {
    kobj::signal_event(quit);
    if (proc::wait_end(&slot->child.child, 100)) break;
    drain_slot(slot);
  }
  if (proc::piped_running(&slot->child)) proc::terminate(&slot->child);
  drain_ended(slot);
  slot->exit_code = proc::piped_exit_code(&slot->child);
  proc::piped_close(&slot->child);
}

void write_status(State* s) {
  u8 host[line_max], agent[line_max], text[status_max];
  u32 h = status_of(&s->slot[0], s->force_share != 0, mem::Slice{host, sizeof host});
  u32 a = status_of(&s->slot[1], false, mem::Slice{agent, sizeof agent});
  u32 n = status_text(mem::Bytes(host, h), mem::Bytes(agent, a), mem::Bytes(s->note, s->note_length),
                      mem::Slice{text, sizeof text});
  if (s->status_length != 0 && mem::eq(mem::Bytes(text, n), mem::Bytes(s->status, s->status_length))) return;
  // All or nothing: the window never reads half a status; a failed write is tried again at the next pass.
  if (fs::save_file(s->paths.status.bytes(), mem::Bytes(text, n)) != fs::ok) return;
  __builtin_memcpy(s->status, text, n);
  s->status_length = n;
}

void remove_old(State* s) {
  Path old;
  if (!suffixed(&old, s->own.bytes(), mem::lit(".old"))) return;
  // While the program file itself is missing the old copy is the only one left: it stays.
  if (fs::kind(s->own.bytes()) != 1) {
    s->old_pending = fs::kind(old.bytes()) != 0;
    return;
  }
  u32 e = fs::delete_file(old.bytes());
  s->old_pending = e != fs::ok && e != fs::not_found;
}

void note_kept(State* s, u32 probed) {
  u8 text[line_max];
  set_note(s, mem::Bytes(text, keep_copy_message(probed, s->own_version, mem::Slice{text, sizeof text})));
}

bool self_update(State* s, u64 now) {
  mem::Bytes source(s->settings.source, s->settings.source_length);
  if (source.len == 0 || same_ignoring_case(source, s->own.bytes())) return false;
  u64 size = 0, time = 0;
  if (!fs::size_and_time(source, &size, &time)) return false;
  bool retry = s->retry_probe != 0 && now >= s->retry_probe;
  if (!retry && size == s->seen_size[2] && time == s->seen_time[2]) return false;
  s->seen_size[2] = size;
  s->seen_time[2] = time;
  s->retry_probe = 0;
  u64 own_size = 0, own_time = 0;
  fs::size_and_time(s->own.bytes(), &own_size, &own_time);
  if (own_size == size && own_time == time) return false;
  // The file probed is the file installed: a copy taken first, so a source replaced meanwhile is never put in
  // place unprobed. Its name is not "<own>.new": an agent started from this same file stages its own updates, and
  // probes that it may write, under that name.
  Path fresh, old;
  if (!suffixed(&fresh, s->own.bytes(), mem::lit(".update")) || !suffixed(&old, s->own.bytes(), mem::lit(".old"))) {
    return false;
  }
  if (!fs::copy_file(source, fresh.bytes())) return false;
  u32 probed = runner::probe_version(fresh.bytes());
  if (probed == 0) {
    // A busy machine or a source being written may fail the probe: try again within the hour, not never.
    set_note(s, mem::lit("Update check: the program's version could not be read; the copy is kept."));
    s->retry_probe = now + 3600 * 1000;
    fs::delete_file(fresh.bytes());
    return false;
  }
  if (probed <= s->own_version) {
    note_kept(s, probed);
    fs::delete_file(fresh.bytes());
    return false;
  }
  for (u32 i = 0; i < 2; ++i) stop_child(s, i);
  u32 missing = 0;
  if (!fs::swap_in(fresh.bytes(), s->own.bytes(), old.bytes(), &missing)) {
    if (missing) {
      // Neither the new copy nor the old one is at the program's path: a copy of the old one goes there, so the
      // next log-on still finds a program.
      fs::copy_file(old.bytes(), s->own.bytes());
      set_note(s, mem::lit("Update failed: the background copy could not be put back in place."));
    }
    fs::delete_file(fresh.bytes());
    return false;
  }
  kobj::release_mutex(s->mutex);
  s->mutex = 0;
  if (proc::start_detached(s->own.bytes(), mem::lit("--background"))) return true;
  s->mutex = kobj::take_mutex(s->paths.mutex(), 0);
  return false;
}

// ---- The window's side.

bool publishes_to_share(const cluster::PublishSettings* publish) {
  return publish->publish && publish->target_kind == cluster::target_path;
}

u32 run_command(mem::Bytes copy_path, mem::Slice out512) {
  if (copy_path.len + 16 > command_max) return 0;
  Out o = out_of(mem::Slice{out512.ptr, out512.len < command_max ? out512.len : command_max});
  if (!put_quoted(&o, copy_path)) return 0;
  put(&o, mem::lit(" --background"));
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

bool save_file(Control* c, mem::Bytes path, const Settings* settings) {
  u8 text[settings_read_max];
  u32 n = format_settings(settings, mem::Slice{text, sizeof text});
  bool ok = n != 0 && path.len != 0 && fs::save_file(path, mem::Bytes(text, n)) == fs::ok;
  c->errors = static_cast<u8>(ok ? c->errors & ~error_settings : c->errors | error_settings);
  return ok;
}

void read_status(Control* c, const Paths* p) {
  u64 n = 0;
  if (!cluster::read_small_file(p->status.bytes(), mem::Slice{c->status, sizeof c->status}, &n)) n = 0;
  c->status_length = static_cast<u16>(n);
}

bool sync_source(Control* c, const Paths* p) {
  mem::Bytes program = c->program.bytes();
  Settings settings;
  read_settings_file(p->settings.bytes(), &settings);
  mem::Bytes recorded(settings.source, settings.source_length);
  if (program.len == 0 || same_ignoring_case(program, p->copy.bytes()) || same_ignoring_case(program, recorded)) {
    return true;
  }
  if (program.len > path_max) {
    settings.source_length = 0;
  } else {
    __builtin_memcpy(settings.source, program.ptr, program.len);
    settings.source_length = static_cast<u32>(program.len);
  }
  return save_file(c, p->settings.bytes(), &settings);
}

bool install_copy(mem::Bytes program, const Paths* p) {
  if (fs::attributes(p->copy.bytes()) != 0xFFFFFFFFu) return true;
  Path fresh, bin;
  if (program.len == 0 || !suffixed(&fresh, p->copy.bytes(), mem::lit(".new")) ||
      !join_path(&bin, p->folder.bytes(), mem::lit("bin"))) {
    return false;
  }
  fs::make_directories(bin.bytes());
  return fs::copy_file(program, fresh.bytes()) && fs::move_file(fresh.bytes(), p->copy.bytes()) == fs::ok;
}

void start_copy(Control* c, const Paths* p) {
  sync_source(c, p);
  bool running = kobj::mutex_exists(p->mutex()) != 0;
  bool woken = running && kobj::wake(p->wake()) != 0;
  bool started = false;
  // A running copy is never installed over: it replaces itself through its own update check.
  if (!running && install_copy(c->program.bytes(), p)) {
    started = proc::start_detached(p->copy.bytes(), mem::lit("--background")) != 0;
  }
  c->copy_running = running || started;
  c->errors = static_cast<u8>(woken || started ? c->errors & ~error_start : c->errors | error_start);
}

void start_at_launch(Control* c, mem::Bytes program, mem::Bytes test_base, u32 mode) {
  *c = Control{};
  c->mode = static_cast<u8>(mode);
  if (program.len) {
    set_path(&c->program, program);
  } else {
    c->program.length = proc::own_path(c->program.text);
  }
  Settings settings;
  if (mode == mode_test) {
    if (test_base.len) {
      suffixed(&c->test_background, test_base, mem::lit(".background"));
      suffixed(&c->test_runkey, test_base, mem::lit(".runkey"));
    }
    read_settings_file(c->test_background.bytes(), &settings);
    c->roles = settings.flags & (role_host | role_agent);
    c->port = settings.port;
    u8 text[512];
    u64 n = 0;
    bool read = c->test_runkey.length &&
                cluster::read_small_file(c->test_runkey.bytes(), mem::Slice{text, sizeof text}, &n);
    c->run_present = read && n > 0 && text[0] == '"';
    return;
  }
  Paths p;
  if (!paths(&p, mem::Bytes())) return;
  read_settings_file(p.settings.bytes(), &settings);
  if (fs::kind(p.settings.bytes()) != 1) {
    u8 path[path_max];
    cluster::PublishSettings publish;
    u64 n = cluster::publish_path(mem::Slice{path, sizeof path});
    if (n && cluster::read_publish(mem::Bytes(path, n), &publish) && publishes_to_share(&publish)) {
      settings.flags |= role_host;
      save_file(c, p.settings.bytes(), &settings);
    }
  }
  c->roles = settings.flags & (role_host | role_agent);
  c->port = settings.port;
  u8 data[512];
  c->run_present = runkey::read(mem::lit("Vimbrel"), data) > 0;
  read_status(c, &p);
  if (c->roles) start_copy(c, &p);
}

bool refresh(Control* c, bool page_shown) {
  Paths p;
  if (c->mode == mode_test || c->roles == 0 || !paths(&p, mem::Bytes())) return false;
  if (++c->refresh_count >= 10) {
    c->refresh_count = 0;
    start_copy(c, &p);
  }
  if (!page_shown) return false;
  u8 before[sizeof c->status];
  u16 length = c->status_length;
  u8 running = c->copy_running;
  __builtin_memcpy(before, c->status, length);
  read_status(c, &p);
  c->copy_running = kobj::mutex_exists(p.mutex()) != 0;
  return running != c->copy_running || !mem::eq(mem::Bytes(before, length), mem::Bytes(c->status, c->status_length));
}

void toggle_role(Control* c, u32 role) {
  Paths p;
  mem::Bytes file = c->test_background.bytes();
  if (c->mode != mode_test) {
    if (!paths(&p, mem::Bytes())) {
      c->errors |= error_settings;
      return;
    }
    file = p.settings.bytes();
  }
  Settings settings;
  read_settings_file(file, &settings);
  settings.flags = static_cast<u8>((settings.flags ^ (role == 0 ? role_host : role_agent)) & (role_host | role_agent));
  if (!save_file(c, file, &settings)) return;
  c->roles = settings.flags;
  c->port = settings.port;
  if (c->mode == mode_test) return;
  if (c->roles) {
    start_copy(c, &p);
  } else {
    // With no role left the copy stops its children and ends when it reads the file again.
    kobj::wake(p.wake());
  }
}

void set_run_entry(Control* c) {
  bool wish = !c->run_present;
  u8 command[command_max];
  bool ok = false;
  if (c->mode == mode_test) {
    u32 n = run_command(mem::lit("C:\\Vimbrel\\bin\\vimbrel.exe"), mem::Slice{command, sizeof command});
    mem::Bytes text = wish ? mem::Bytes(command, n) : mem::lit("none");
    ok = c->test_runkey.length && fs::save_file(c->test_runkey.bytes(), text) == fs::ok;
  } else {
    Paths p;
    u32 n = paths(&p, mem::Bytes()) ? run_command(p.copy.bytes(), mem::Slice{command, sizeof command}) : 0;
    if (n != 0) {
      ok = wish ? install_copy(c->program.bytes(), &p) && runkey::write(mem::lit("Vimbrel"), mem::Bytes(command, n))
                : runkey::remove(mem::lit("Vimbrel"));
    }
  }
  if (ok) c->run_present = wish;
  c->errors = static_cast<u8>(ok ? c->errors & ~error_run_entry : c->errors | error_run_entry);
}

void wake(Control* c) {
  Paths p;
  if (c->mode != mode_test && c->roles && paths(&p, mem::Bytes())) kobj::wake(p.wake());
}

bool agent_on(const Control* c) { return (c->roles & role_agent) != 0; }

u32 slot_text(const Control* c, u32 n, mem::Slice out160) {
  Out o = out_of(mem::Slice{out160.ptr, out160.len < line_max ? out160.len : line_max});
  mem::Bytes line = status_line(mem::Bytes(c->status, c->status_length), n);
  if (c->mode == mode_test) {
    put_cut(&o, mem::lit("Not started under --test."));
  } else if (c->errors & error_start) {
    put_cut(&o, mem::lit("Could not start the background copy."));
  } else if (c->copy_running && line.len) {
    put_cut(&o, line);
  } else {
    put_cut(&o, mem::lit("Starting."));
  }
  return static_cast<u32>(o.n);
}

u32 settings_text(const Control* c, mem::Slice out160) {
  Out o = out_of(mem::Slice{out160.ptr, out160.len < line_max ? out160.len : line_max});
  if (c->errors & error_settings) {
    put_cut(&o, mem::lit("The background settings file could not be saved."));
  } else if ((c->errors & error_run_entry) || c->roles == 0) {
    // Where the system asks no firewall question of its own, the line says what the host's port needs instead.
    const registry::SystemWords words = registry::system_words();
    if (c->errors & error_run_entry) {
      put_cut(&o, mem::lit("The Run entry could not be written."));
    } else {
      u8 digits[fmt::dec_size];
      put_cut(&o, words.firewall);
      if (words.firewall_tail.len) {
        put_cut(&o, fmt::dec(c->port ? c->port : cluster::default_port, digits));
        put_cut(&o, words.firewall_tail);
      }
    }
  } else {
    u8 line[line_max];
    if (c->roles & role_host) {
      put_cut(&o, mem::lit("Host: "));
      put_cut(&o, mem::Bytes(line, slot_text(c, 0, mem::Slice{line, sizeof line})));
    }
    if (c->roles & role_agent) {
      if (o.n) put_cut(&o, mem::lit("   "));
      put_cut(&o, mem::lit("Publishing: "));
      put_cut(&o, mem::Bytes(line, slot_text(c, 1, mem::Slice{line, sizeof line})));
    }
  }
  return static_cast<u32>(o.n);
}

u32 read_host_flag() {
  Paths p;
  if (!paths(&p, mem::Bytes())) return 0;
  Settings settings;
  read_settings_file(p.settings.bytes(), &settings);
  return settings.flags & role_host;
}

cluster::PublishSettings prefer_own_host(const cluster::PublishSettings* publish) {
  cluster::PublishSettings copy = *publish;
  if (!read_host_flag()) copy.beacon_port = 0;
  os::beacon_override(&copy, cluster::set_beacon);
  return copy;
}

}  // namespace background
