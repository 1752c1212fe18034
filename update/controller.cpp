#include "update/controller.h"

#include "platform/fs.h"
#include "platform/os.h"

namespace update {

namespace {

mem::Bytes program_of(const Controller* c) { return view(c->result.paths.program); }
mem::Bytes settings_of(const Controller* c) { return mem::Bytes(c->settings_path, c->settings_length); }

u16 clamp16(u32 v) { return v > 65535 ? u16(65535) : u16(v); }

void set_version(u16 out[3], Version v) {
  out[0] = clamp16(v.major), out[1] = clamp16(v.minor), out[2] = clamp16(v.patch);
}

bool same_version(const u16 a[3], Version v) {
  return a[0] == v.major && a[1] == v.minor && a[2] == v.patch;
}

bool at_least(Version running, const u16 v[3]) {
  const u16 r[3] = {clamp16(running.major), clamp16(running.minor), clamp16(running.patch)};
  return updstate::version_number(r) >= updstate::version_number(v);
}

void prepare(Controller* c) {
  if (c->program_length) prepare_for_path(&c->config, mem::Bytes(c->program, c->program_length), &c->result);
  else prepare_own(&c->config, &c->result);
}

void append_log(const Controller* c, mem::Bytes line) {
  u8 path[controller_path_max];
  u32 n = sibling_path(settings_of(c), mem::lit("update.log"), path);
  if (!n) return;
  u8 bytes[512];
  updstate::Buf b = updstate::buf_of(mem::Slice{bytes, 510});
  updstate::append(&b, line);
  b.cap = sizeof bytes;
  updstate::append(&b, mem::lit("\r\n"));
  fs::append_file(mem::Bytes(path, n), updstate::text_of(&b));
}

// One line in update.log for each outcome that changes the stored status or its reason.
void log_change(Controller* c, u32 now) {
  const updstate::Settings* s = &c->settings;
  if (s->status == c->logged[0] && s->failure_reason == c->logged[1]) return;
  c->logged[0] = s->status, c->logged[1] = s->failure_reason;
  u8 bytes[512];
  updstate::Buf b = updstate::buf_of(mem::Slice{bytes, 510});
  updstate::log_line(s, now, &b);
  append_log(c, updstate::text_of(&b));
}

void record_failure(Controller* c, u32 reason, u32 step, u32 code) {
  updstate::Settings* s = &c->settings;
  s->failure_reason = u8(reason > 127 ? 127 : reason);
  if (reason_has_step(reason)) {
    s->failure_step = u8(step < 8 ? step : 0);
    s->failure_code = clamp16(code);
  } else {
    s->failure_step = 0, s->failure_code = 0;
  }
  c->failure_step = s->failure_step, c->failure_code = s->failure_code;
}

// What the notes child wrote, kept up to one log line's room.
struct Said {
  u8 bytes[400];
  u32 length;
};

void keep_said(void* state, mem::Bytes bytes) {
  Said* said = static_cast<Said*>(state);
  for (u64 i = 0; i < bytes.len && said->length < sizeof said->bytes; ++i) said->bytes[said->length++] = bytes.ptr[i];
}

// Takes what the notes child said and writes it to update.log, a dated line for each of its lines.
void log_notes_child(Controller* c) {
  Said said{};
  // One drain takes all that a small pipe holds; a few more cover a child that wrote while it ended.
  for (u32 i = 0; i < 4 && proc::drain(&c->notes_child.child, keep_said, &said); ++i) {
  }
  u32 start = 0;
  for (u32 i = 0; i <= said.length; ++i) {
    if (i < said.length && said.bytes[i] != '\n' && said.bytes[i] != '\r') continue;
    if (i > start) {
      u8 bytes[512];
      updstate::Buf b = updstate::buf_of(mem::Slice{bytes, 510});
      updstate::append_date(&b, now_seconds());
      updstate::append(&b, mem::lit(": "));
      updstate::append(&b, mem::Bytes(said.bytes + start, i - start));
      append_log(c, updstate::text_of(&b));
    }
    start = i + 1;
  }
}

void close_notes_child(Controller* c) {
  log_notes_child(c);
  proc::piped_close(&c->notes_child.child);
}

// A notes child that ended is reaped; one that still runs is let go and waited for later.
void let_go_of_notes(Controller* c) {
  NotesChild* n = &c->notes_child;
  if (!n->running && !n->abandoned) return;
  if (proc::piped_running(&n->child)) {
    n->running = 0, n->abandoned = 1;
    return;
  }
  close_notes_child(c);
  n->running = n->abandoned = 0;
}

}  // namespace

u32 sibling_path(mem::Bytes settings_path, mem::Bytes name, u8* out) {
  if (settings_path.len == 0) return 0;
  u64 folder = settings_path.len;
  while (folder > 0 && settings_path.ptr[folder - 1] != '/' && settings_path.ptr[folder - 1] != '\\') folder--;
  if (folder + name.len > controller_path_max) return 0;
  mem::copy(mem::Slice{out, folder}, mem::Bytes(settings_path.ptr, folder));
  mem::copy(mem::Slice{out + folder, name.len}, name);
  return u32(folder + name.len);
}

u32 now_seconds() { return updstate::now_from_filetime(os::filetime_now()); }

void read_settings(Controller* c) {
  updstate::reset(&c->settings);
  if (c->settings_length) updstate::load(settings_of(c), &c->settings);
}

void save_settings(Controller* c) {
  if (!c->settings_length) {
    c->settings.flags |= updstate::flag_save_failed;
    return;
  }
  updstate::save(settings_of(c), &c->settings);
}

void load_for_gui(Controller* c, mem::Bytes version_text, u32 now) {
  Config config = make_config(version_text);
  take_test_seams(&config, &c->seams);
  u8 path[controller_path_max + 8];
  u32 n = updstate::settings_path(mem::Slice{path, sizeof path});
  init_controller(c, &config, mem::Bytes(), mem::Bytes(path, n), now);
}

void init_controller(Controller* c, const Config* config, mem::Bytes program, mem::Bytes settings_path, u32 now) {
  (void)now;
  c->config = *config;
  c->program_length = program.len <= controller_path_max ? u32(program.len) : 0;
  mem::copy(mem::Slice{c->program, c->program_length}, mem::Bytes(program.ptr, c->program_length));
  c->settings_length = settings_path.len <= controller_path_max ? u32(settings_path.len) : 0;
  mem::copy(mem::Slice{c->settings_path, c->settings_length}, mem::Bytes(settings_path.ptr, c->settings_length));
  c->worker = Worker{};
  c->notes_child = NotesChild{};
  c->notes_length = 0;
  c->missing = c->suffix_length = c->failure_step = 0;
  c->failure_code = 0;
  read_settings(c);
  c->logged[0] = c->settings.status, c->logged[1] = c->settings.failure_reason;
  reset_result(&c->result);
  prepare(c);
  if (c->result.state == state_none) clean_leftovers(&c->config, &c->result);
  updstate::Settings* s = &c->settings;
  if (s->status == updstate::status_failed && s->failure_reason == reason_program_missing)
    s->failure_reason = updstate::reason_put_back;
  const Version running = c->result.running;
  if (s->status == updstate::status_available) {
    if (at_least(running, s->last_version)) s->status = updstate::status_up_to_date;
    else read_notes(c);
  } else if (s->status == updstate::status_ready) {
    if (same_version(s->last_version, running)) {
      s->status = updstate::status_up_to_date;
      s->flags |= updstate::flag_first_start;
      read_notes(c);
      save_settings(c);
    } else {
      s->status = updstate::status_unchecked;
      s->last_check = 0;
    }
  }
  // Leftovers cleaned above may have found the program file gone: nothing else can run now.
  if (c->result.state == state_failed && c->result.reason == reason_program_missing) c->missing = 1;
}

bool check_due(const updstate::Settings* s, bool worker_running, u32 now) {
  // A last check in the future counts as just made, unless it lies more than a day ahead: a clock that was wrong
  // (or a hand-edited file) must not stop the checks until that date.
  u64 age = 0;
  if (now >= s->last_check) age = u64(now - s->last_check);
  else if (u64(s->last_check) - now > 86400) age = 86400;
  return check_age_due((s->flags & updstate::flag_checks_on) != 0, worker_running, s->last_check != 0, age * 1000);
}

bool tick(Controller* c, u32 now) {
  NotesChild* n = &c->notes_child;
  if (c->worker.running) return !poll(c, now);
  if (n->running) {
    if (proc::piped_running(&n->child)) return false;
    close_notes_child(c);
    n->running = 0;
    read_notes(c);
    return true;
  }
  if (n->abandoned || n->wanted) {
    if (n->abandoned && proc::piped_running(&n->child)) return false;
    if (n->abandoned) close_notes_child(c);
    n->abandoned = 0;
    bool wanted = n->wanted != 0;
    n->wanted = 0;
    if (wanted) start_notes(c);
    return wanted;
  }
  if (c->config.has_key && check_due(&c->settings, false, now)) {
    start_check(c, now);
    return true;
  }
  return false;
}

void start_check(Controller* c, u32 now) { run_worker(c, 1, now); }

bool start_fetch(Controller* c, u32 now) {
  if (!c->worker.running) run_worker(c, 2, now);
  return c->worker.running != 0;
}

bool start_swap(Controller* c, u32 now) {
  if (c->worker.running || c->result.state != state_staged) return false;
  run_worker(c, 3, now);
  return c->worker.running != 0;
}

void run_worker(Controller* c, u32 mode, u32 now) {
  // A build without a release key does not update itself: it asks the update server nothing.
  if (c->worker.running || !c->config.has_key) return;
  if (c->missing) {
    c->settings.last_check = now;
    recover_program(c);
    save_settings(c);
    return;
  }
  // The worker rewrites "<exe>.latest", which a notes child reads: a child that still runs is let go.
  let_go_of_notes(c);
  if (mode == 1 || mode == 2) prepare(c);
  start_worker(&c->config, mode, &c->worker, &c->result);
  c->worker.mode = mode;
  if (!c->worker.running) {
    apply_result(c, now);
    return;
  }
  c->settings.status = mode == 3 ? updstate::status_installing : updstate::status_checking;
  save_settings(c);
}

bool poll(Controller* c, u32 now) {
  if (!c->worker.running) return false;
  if (poll_worker(&c->config, &c->worker, &c->result)) return true;
  apply_result(c, now);
  if (c->worker.mode == 1 &&
      updstate::should_fetch_now(c->settings.status, c->settings.flags, updstate::is_suppressed(&c->settings)))
    run_worker(c, 2, now);
  return false;
}

void apply_result(Controller* c, u32 now) {
  const Result* r = &c->result;
  updstate::Settings* s = &c->settings;
  const u32 mode = c->worker.mode;
  s->status = updstate::status_of_result(r->state, mode != 1);
  u32 step = reason_has_step(r->reason) ? r->paths.step : 0;
  record_failure(c, r->reason, step, r->paths.error);
  set_version(s->last_version, r->offered);
  if (updstate::version_out_of_range(r->offered.major, r->offered.minor, r->offered.patch, r->reason))
    s->flags |= updstate::flag_version_clamped;
  else
    s->flags &= u8(~updstate::flag_version_clamped);
  if (mode != 3) s->last_check = now;
  // The missing program file writes its own line, once for each new state of it.
  if (r->reason == reason_program_missing) recover_program(c);
  else log_change(c, now);
  save_settings(c);
  const bool ask = !updstate::is_automatic(s);
  const bool downloaded = s->status == updstate::status_ready && mode != 3;
  bool notes = false;
  if (s->status == updstate::status_available && !updstate::is_suppressed(s) && ask) notes = true;
  if (downloaded && !ask) notes = true;
  if (downloaded && ask) {
    read_notes(c);
    notes = (s->flags & updstate::flag_notes_loaded) == 0;
  }
  if (notes) start_notes(c);
}

bool start_new_program(Controller* c, mem::Bytes arguments, u32 timeout_ms) {
  proc::ExePath exe{};
  exe.length = os::utf8_to_wide(program_of(c), exe.units, proc::path_units);
  proc::Child child{};
  bool good = false;
  if (exe.length && proc::start(&exe, arguments, 1, &child)) {
    good = proc::wait_window(mem::lit("Vimbrel"), &child, timeout_ms) != 0 || proc::is_running(&child);
    proc::close(&child);  // started without a job: a running program is left running
  }
  if (good) return true;
  updstate::Settings* s = &c->settings;
  if (c->result.state == state_swapped) revert_swap(&c->config, &c->result);
  s->status = updstate::status_failed;
  if (c->result.state == state_failed) {
    record_failure(c, c->result.reason, c->result.paths.step, c->result.paths.error);
  } else {
    record_failure(c, 0, 0, 0);
    s->failure_reason = updstate::reason_did_not_start;
  }
  mark_failed_version(c, false);
  log_change(c, now_seconds());
  save_settings(c);
  return false;
}

void recover_program(Controller* c) {
  Result* r = &c->result;
  restore_program(&c->config, r);
  updstate::Settings* s = &c->settings;
  s->status = updstate::status_failed;
  const u8 was_missing = c->missing;
  u8 suffix[16];
  const u8 old_length = c->suffix_length;
  mem::copy(mem::Slice{suffix, old_length}, mem::Bytes(c->suffix, old_length));
  if (file_exists(program_of(c))) {
    c->missing = 0;
    c->suffix_length = 0;
    s->failure_reason = updstate::reason_put_back;
    s->failure_step = c->failure_step, s->failure_code = c->failure_code;
    return;
  }
  c->missing = 1;
  s->failure_reason = u8(reason_program_missing);
  s->failure_step = u8(r->paths.step < 8 ? r->paths.step : 0);
  s->failure_code = clamp16(r->paths.error);
  c->failure_step = s->failure_step, c->failure_code = s->failure_code;
  c->suffix_length = u8(parked_suffix(r, c->suffix, sizeof c->suffix));
  const bool same = was_missing && old_length == c->suffix_length &&
                    mem::eq(mem::Bytes(suffix, old_length), mem::Bytes(c->suffix, c->suffix_length));
  if (same) return;
  mem::Bytes program = program_of(c);
  u64 name = program.len;
  while (name > 0 && program.ptr[name - 1] != '/' && program.ptr[name - 1] != '\\') name--;
  u8 bytes[512];
  updstate::Buf b = updstate::buf_of(mem::Slice{bytes, 510});
  updstate::missing_program_log(mem::Bytes(program.ptr + name, program.len - name),
                                mem::Bytes(c->suffix, c->suffix_length), &b);
  append_log(c, updstate::text_of(&b));
}

void skip_version(Controller* c, bool save) {
  for (u32 i = 0; i < 3; i++) c->settings.skip_version[i] = c->settings.last_version[i];
  if (save) save_settings(c);
}

void clear_skips(Controller* c, bool save) {
  for (u32 i = 0; i < 3; i++) c->settings.skip_version[i] = c->settings.failed_version[i] = 0;
  if (save) save_settings(c);
}

void mark_failed_version(Controller* c, bool save) {
  for (u32 i = 0; i < 3; i++) c->settings.failed_version[i] = c->settings.last_version[i];
  if (save) save_settings(c);
}

u32 activity(const Controller* c) {
  const NotesChild& n = c->notes_child;
  return u32(c->worker.running) | u32(n.running) << 1 | u32(n.abandoned || n.wanted) << 2;
}

void failure_text(const Controller* c, updstate::Buf* out) {
  if (!c->missing) return;
  mem::Bytes program = program_of(c);
  u64 name = program.len;
  while (name > 0 && program.ptr[name - 1] != '/' && program.ptr[name - 1] != '\\') name--;
  updstate::missing_program_text(program, mem::Bytes(c->suffix, c->suffix_length),
                                 mem::Bytes(program.ptr + name, program.len - name), out);
}

void start_notes(Controller* c) {
  NotesChild* n = &c->notes_child;
  let_go_of_notes(c);
  if (n->abandoned) {
    n->wanted = 1;
    return;
  }
  c->notes_length = 0;
  c->settings.flags &= u8(~updstate::flag_notes_loaded);
  u8 path[controller_path_max];
  u32 len = sibling_path(settings_of(c), mem::lit("notes.txt"), path);
  if (len) fs::delete_file(mem::Bytes(path, len));
  n->running = proc::start_piped(&n->child, program_of(c), notes_option()) ? 1 : 0;
}

void read_notes(Controller* c) {
  c->notes_length = 0;
  c->settings.flags &= u8(~updstate::flag_notes_loaded);
  u8 path[controller_path_max];
  u32 len = sibling_path(settings_of(c), mem::lit("notes.txt"), path);
  if (!len) return;
  // The file is read into the notes' own room plus the header's: the header is checked, then the body moved down.
  u8 file[notes_file_max];
  u64 n = fs::read_prefix(mem::Bytes(path, len), mem::Slice{file, sizeof file});
  const u16* v = c->settings.last_version;
  u64 header = updstate::check_notes(mem::Bytes(file, n), v[0], v[1], v[2]);
  if (header == updstate::notes_other) return;
  u64 body = n - header > notes_capacity ? notes_capacity : n - header;
  mem::copy(mem::Slice{c->notes, body}, mem::Bytes(file + header, body));
  c->notes_length = u32(body);
  if (body) c->settings.flags |= updstate::flag_notes_loaded;
}

// ---- The notes child.

namespace {

// The value of the manifest's "notes" line: empty when there is none.
mem::Bytes notes_url(mem::Bytes text) {
  u64 offset = 0;
  while (offset < text.len) {
    u64 start = 0, end = 0;
    if (key_line(text, offset, mem::lit("notes"), &start, &end) != no_line)
      return mem::Bytes(text.ptr + start, end - start);
    while (offset < text.len && text.ptr[offset] != '\n') offset++;
    offset++;
  }
  return mem::Bytes();
}

struct NotesWork {
  Result result;
  u8 body[notes_capacity];
  u8 file[notes_file_max];
};

u32 fetch_into(const Config* config, mem::Bytes program, mem::Bytes settings_path, NotesWork* w) {
  Result* r = &w->result;
  reset_result(r);
  bool paths = program.len ? paths_for(program, &r->paths) != 0 : own_paths(&r->paths) != 0;
  if (!paths || !load_saved_manifest(config, view(r->paths.latest), r)) return 1;
  mem::Bytes url = notes_url(mem::Bytes(r->text, r->text_length));
  if (url.len == 0) return 2;
  if (!same_origin(url, config->feed_url, (config->flags & flag_local) != 0)) return 3;
  HttpResult http{};
  if (!http_get_to_memory(config, url, mem::Slice{w->body, notes_capacity}, notes_capacity, &http) ||
      http.status != 200)
    return 4;
  u8 path[controller_path_max];
  u32 len = sibling_path(settings_path, mem::lit("notes.txt"), path);
  if (!len) return 5;
  updstate::Buf b = updstate::buf_of(mem::Slice{w->file, sizeof w->file});
  updstate::notes_header(r->offered.major, r->offered.minor, r->offered.patch, &b);
  u64 body = http.received < notes_capacity ? http.received : notes_capacity;
  b.len += updstate::sanitise_notes(mem::Bytes(w->body, body), mem::Slice{w->file + b.len, b.cap - b.len});
  return fs::save_file(mem::Bytes(path, len), updstate::text_of(&b)) == fs::ok ? 0 : 5;
}

}  // namespace

u32 fetch_notes(const Config* config, mem::Bytes program, mem::Bytes settings_path) {
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(NotesWork))) return 5;
  u32 code = fetch_into(config, program, settings_path, mem::alloc_of<NotesWork>(&arena));
  mem::release(&arena);
  return code;
}

mem::Bytes notes_failure_word(u32 code) {
  switch (code) {
    case 1: return mem::lit("there is no saved update manifest beside the program; an update check writes one");
    case 2: return mem::lit("the saved update manifest names no release notes");
    case 3: return mem::lit("the release notes are not on the update feed's server");
    case 4: return mem::lit("the release notes could not be downloaded");
    case 5: return mem::lit("notes.txt cannot be written");
    default: return mem::Bytes();
  }
}

u32 notes_main(const Config* config) {
  u8 path[controller_path_max + 8];
  u32 n = updstate::settings_path(mem::Slice{path, sizeof path});
  return fetch_notes(config, mem::Bytes(), mem::Bytes(path, n));
}

}  // namespace update
