#include "cluster/agentupdate.h"

#include "platform/fs.h"

namespace agentupdate {
namespace {

constexpr u8 phase_bits = 16;

struct Name {
  u8 text[suffixed_max];
  u32 length;
  mem::Bytes bytes() const { return mem::Bytes(text, length); }
};

Name name_of(mem::Bytes path, mem::Bytes suffix) {
  Name n;
  n.length = with_suffix(path, suffix, mem::Slice{n.text, sizeof n.text});
  return n;
}

Name own_name(const UpdateState* s, mem::Bytes suffix) { return name_of(program_path(s), suffix); }

void say(Print print, mem::Bytes first, mem::Bytes second = mem::Bytes()) {
  print(mem::lit("vimbrel agent: "));
  print(first);
  print(second);
  print(mem::lit("\n"));
}

// The 9-byte record of a trial file; a missing file or one of another length reads as version 0 and no starts.
mem::Bytes read_record(mem::Bytes path, u8 (&buffer)[16]) {
  return mem::Bytes(buffer, fs::read_prefix(path, mem::Slice{buffer, sizeof buffer}));
}

bool write_record(mem::Bytes path, u64 version, u8 starts) {
  u8 record[remote_update::trial_size];
  remote_update::trial_record(version, starts, record);
  return fs::replace_file(path, mem::Bytes(record, sizeof record)) == fs::ok;
}

// A swap cut off between giving the program its second name and renaming the new file over it leaves P.prev as a
// second name of P itself, beside a trial record of a build that never ran. Then nothing is on trial: the second
// name and the record go (the program keeps its own name), and the update is simply fetched again.
bool swap_cut_off(mem::Bytes path, Print print) {
  Name prev = name_of(path, prev_suffix());
  if (prev.length == 0) return false;
  u64 device = 0, inode = 0, prev_device = 0, prev_inode = 0;
  fs::identity(path, &device, &inode);
  fs::identity(prev.bytes(), &prev_device, &prev_inode);
  if (inode == 0 || device != prev_device || inode != prev_inode) return false;
  fs::remove(prev.bytes());
  fs::remove(name_of(path, trial_suffix()).bytes());
  say(print, mem::lit("the last update was cut off before it was installed; nothing is on trial"));
  return true;
}

// P.new made afresh: a leftover of an earlier run goes first, so the file is always this download's alone. The new
// program must run as the old one did, so it gets P's permission bits (set-id bits are never carried over to a
// file that came over the network).
bool create_new(UpdateState* s) {
  Name n = own_name(s, new_suffix());
  if (n.length == 0) return false;
  fs::remove(n.bytes());
  u32 mode = fs::mode_bits(program_path(s)) & 0777;
  return fs::create_exclusive(n.bytes(), mode | 0600, &s->new_file) == 0;
}

void drop_new(UpdateState* s) {
  if (s->new_file != 0) fs::close_handle(s->new_file);
  s->new_file = 0;
  s->written = 0;
  Name n = own_name(s, new_suffix());
  if (n.length != 0) fs::remove(n.bytes());
}

bool send_output(UpdateState* s) {
  u64 count = 0;
  if (publisher::write_step(s->socket, remote_update::output(session_of(s)), &count) == publisher::io_failed) {
    return false;
  }
  remote_update::sent(session_of(s), static_cast<u32>(count));
  return true;
}

}  // namespace

bool fits(mem::Bytes path) { return path.len <= path_max && path_fits(static_cast<u32>(path.len)); }

bool path_fits(u32 length) { return length >= 1 && length <= path_max; }

u32 with_suffix(mem::Bytes path, mem::Bytes suffix, mem::Slice out) {
  if (!fits(path) || path.len + suffix.len > out.len) return 0;
  mem::copy(out, path);
  mem::copy(mem::Slice{out.ptr + path.len, suffix.len}, suffix);
  return static_cast<u32>(path.len + suffix.len);
}

void no_op(mem::Bytes) {}

void init(UpdateState* s, u64 version, mem::Bytes path, u8 arch, os::RandomSource random, const u8* release_key) {
  __builtin_memset(s, 0, sizeof *s);
  remote_update::init_retry(&s->retry, version);
  s->socket = sock::invalid_socket;
  if (fits(path)) {
    mem::copy(mem::Slice{s->path, path_max}, path);
    s->path_length = static_cast<u32>(path.len);
  }
  s->arch = arch;
  s->random = random;
  s->print = no_op;
  if (release_key != nullptr) {
    __builtin_memcpy(s->release_key, release_key, sizeof s->release_key);
    s->keyed = 1;
  }
}

bool enabled(const UpdateState* s) {
  return s->path_length != 0 && (s->arch == remote_update::arch_x86_64 || s->arch == remote_update::arch_aarch64);
}
bool exit_wanted(const UpdateState* s) { return s->exit_flag != 0; }
mem::Bytes program_path(const UpdateState* s) { return mem::Bytes(s->path, s->path_length); }
u32 new_path(const UpdateState* s, mem::Slice out) { return with_suffix(program_path(s), new_suffix(), out); }

void check_writable(UpdateState* s) {
  if (!enabled(s)) return;
  // The probe is written over whatever is there: another agent started from the same file at the same moment must
  // not make this one believe the folder is closed to it.
  Name probe = own_name(s, new_suffix());
  bool writable = fs::write_file(probe.bytes(), mem::Bytes()) == fs::ok;
  fs::remove(probe.bytes());
  if (!writable) {
    s->path_length = 0;
    say(s->print, mem::lit("self-update off: cannot write next to the program file"));
    return;
  }
  u8 buffer[16];
  s->refused = remote_update::trial_version(read_record(own_name(s, refused_suffix()).bytes(), buffer));
  s->retry.failed = s->refused;
}

void report(UpdateState* s, u8 phase, u16 value) {
  if (phase >= phase_bits) return;
  s->pending = static_cast<u16>(s->pending | (1u << phase));
  if (phase == remote_update::phase_failed) s->value = value;
}

void start(UpdateState* s, u64 now) {
  if (!enabled(s)) {
    report(s, remote_update::phase_failed, reason_unavailable);
    return;
  }
  if (!s->keyed) {
    report(s, remote_update::phase_failed, remote_update::reason_agent_no_key);
    return;
  }
  switch (remote_update::arm_now(&s->retry, now)) {
    case remote_update::offer_running: report(s, remote_update::phase_started, 0); break;
    case remote_update::offer_not_newer: report(s, remote_update::phase_current, 0); break;
    case remote_update::offer_failed_version: report(s, remote_update::phase_failed, reason_put_back); break;
    default: break;  // armed: phase 2 goes out when the download opens
  }
}

bool idle(const UpdateState* s, u64 now) {
  return enabled(s) && s->keyed && session_of(s) == nullptr && remote_update::try_due(&s->retry, now);
}
bool busy(const UpdateState* s) { return session_of(s) != nullptr; }

bool next_phase(const UpdateState* s, u8* phase, u16* value) {
  for (u8 p = 0; p < phase_bits; ++p) {
    if ((s->pending & (1u << p)) == 0) continue;
    *phase = p;
    *value = p == remote_update::phase_failed ? s->value : 0;
    return true;
  }
  return false;
}

void phase_sent(UpdateState* s, u8 phase) {
  if (phase < phase_bits) s->pending = static_cast<u16>(s->pending & ~(1u << phase));
}

u32 step(UpdateState* s, const publisher::Publisher* p, u64 now, u32 wait) {
  if (!enabled(s) || s->exit_flag) return 0xFFFFFFFF;
  const publish::PublishLink* link = &p->link;
  if (link->opens != s->opens_seen) {
    if (!s->confirmed) confirm(s);
    s->opens_seen = link->opens;
    const u16* v = link->peer.host_version;
    // Without a release key no build could be checked: no offer is taken.
    if (s->keyed) remote_update::note_offer(&s->retry, remote_update::pack_version(v[0], v[1], v[2]), now, random32(s));
  }
  if (session_of(s) == nullptr) {
    if (!remote_update::try_due(&s->retry, now)) return remote_update::wait_ms(&s->retry, now);
    open(s, p, now);
    return 0;
  }
  if (remote_update::stalled(session_of(s), now)) {
    fail(s, remote_update::result_timed_out, now);
  } else if (s->connecting) {
    finish_connect(s, now, wait);
  } else {
    pump(s, now, wait);
  }
  return 0;
}

void stop(UpdateState* s) {
  if (session_of(s) != nullptr) drop_new(s);
  close(s);
}

void confirm(UpdateState* s) {
  s->confirmed = 1;
  Name trial = own_name(s, trial_suffix());
  Name prev = own_name(s, prev_suffix());
  // A swap makes P.prev before it puts the new program in place: a trial record without it is one of a swap that
  // never happened.
  bool on_trial = trial.length != 0 && fs::present(trial.bytes()) && prev.length != 0 && fs::present(prev.bytes()) &&
                  !swap_cut_off(program_path(s), s->print);
  if (prev.length != 0) fs::remove(prev.bytes());
  if (trial.length != 0) fs::remove(trial.bytes());
  if (on_trial) say(s->print, mem::lit("self-update confirmed, the previous binary is deleted"));
}

void open(UpdateState* s, const publisher::Publisher* p, u64 now) {
  ++s->sessions;
  s->pending = 0;
  report(s, remote_update::phase_started, 0);
  s->retry.state = 2;  // a download runs
  const publish::PublishLink* link = &p->link;
  if (link->target_port == 0) return fail(s, remote_update::result_unreachable, now);
  if (!mem::arena_init(&s->arena, download_arena)) return fail(s, remote_update::result_no_memory, now);
  remote_update::Session* session = mem::alloc_of<remote_update::Session>(&s->arena);
  if (session == nullptr) return fail(s, remote_update::result_no_memory, now);
  remote_update::start_session(session, &link->peer.cluster_key, link->machine_id, s->arch, s->retry.own,
                               s->release_key);
  session->progress = now;
  if (sock::connect(link->target_address, link->target_port, &s->socket) != sock::done) {
    s->socket = sock::invalid_socket;
    return fail(s, remote_update::result_unreachable, now);
  }
  s->connecting = 1;
  session->phase = remote_update::session_hello;  // the connect counts against the stall limit too
}

void finish_connect(UpdateState* s, u64 now, u32 wait) {
  u32 r = publisher::connect_step(s->socket, wait);
  if (r == publisher::io_idle) return;
  if (r == publisher::io_failed) return fail(s, remote_update::result_unreachable, now);
  s->connecting = 0;
  s->retry.state = 3;
  u8 nonce[16];
  bool drawn = s->random != nullptr && s->random(mem::Slice{nonce, sizeof nonce}) != 0;
  if (!remote_update::send_hello(session_of(s), mem::Bytes(nonce, sizeof nonce), drawn, now)) {
    return fail(s, session_of(s)->result, now);
  }
  if (!send_output(s)) fail(s, remote_update::result_closed, now);
}

void pump(UpdateState* s, u64 now, u32 wait) {
  remote_update::Session* session = session_of(s);
  u64 count = 0;
  bool want_write = remote_update::output(session).len != 0;
  u32 r = publisher::read_step(s->socket, remote_update::input_room(session), want_write, wait, &count);
  if (r == publisher::io_failed) return fail(s, remote_update::result_closed, now);
  if (r == publisher::io_done && !remote_update::take_frames(session, static_cast<u32>(count), now)) {
    return fail(s, session->result, now);
  }
  while (session->phase == remote_update::session_chunk) {
    if (!write_new(s, now)) return;
  }
  if (session->phase == remote_update::session_done) return swap(s, now);
  if (!send_output(s)) fail(s, remote_update::result_closed, now);
}

bool write_new(UpdateState* s, u64 now) {
  remote_update::Session* session = session_of(s);
  mem::Bytes data = remote_update::chunk_data(session);
  bool ok = (s->new_file != 0 || create_new(s)) && fs::write_handle(s->new_file, data) == 0;
  if (ok) {
    s->written += static_cast<u32>(data.len);
    ++s->blocks;
  }
  // The whole file reaches the disk before it is checked, so what is swapped in later is what was checked.
  if (ok && s->written >= session->total) {
    report(s, remote_update::phase_downloaded, 0);
    ok = fs::sync_handle(s->new_file) == 0;
  }
  if (!remote_update::finish(session, ok, now)) {
    fail(s, session->result, now);
    return false;
  }
  if (session->phase == remote_update::session_done) report(s, remote_update::phase_verified, 0);
  return true;
}

void swap(UpdateState* s, u64 now) {
  fs::close_handle(s->new_file);
  s->new_file = 0;
  Name next = own_name(s, new_suffix());
  Name prev = own_name(s, prev_suffix());
  Name trial = own_name(s, trial_suffix());
  bool recorded = trial.length != 0 && write_record(trial.bytes(), session_of(s)->binary, 0);
  if (!recorded || fs::swap_in(next.bytes(), program_path(s), prev.bytes()) == 0) {
    if (trial.length != 0) fs::remove(trial.bytes());
    return fail(s, remote_update::result_cannot_replace, now);
  }
  close(s);
  report(s, remote_update::phase_restarting, 0);
  s->exit_flag = 1;
  say(s->print, mem::lit("self-update "), remote_update::result_word(remote_update::result_installed));
}

void fail(UpdateState* s, u8 reason, u64 now) {
  drop_new(s);
  close(s);
  remote_update::retry_later(&s->retry, reason, now, random32(s));
  report(s, remote_update::phase_failed, remote_update::reason_of_result(reason));
  print_failure(s, reason);
}

void close(UpdateState* s) {
  if (s->socket != sock::invalid_socket) sock::close(s->socket);
  s->socket = sock::invalid_socket;
  s->connecting = 0;
  if (s->arena.base != nullptr) mem::release(&s->arena);
}

u32 random32(const UpdateState* s) { return publisher::random_of(s->random); }

void print_failure(const UpdateState* s, u8 reason) {
  s->print(mem::lit("vimbrel agent: self-update "));
  s->print(remote_update::phase_word(remote_update::phase_failed));
  s->print(remote_update::result_word(reason));
  s->print(mem::lit("\n"));
}

u32 trial_main(mem::Bytes path, Print print) {
  if (!fits(path)) return trial_bad_path;
  // The trial counts the starts of a program file: where none is, nothing is counted and nothing is written.
  u64 program = 0;
  if (fs::open(path, fs::access_read, &program) != fs::ok) {
    say(print, mem::lit("no program file at "), path);
    return trial_bad_path;
  }
  fs::close_handle(program);
  if (swap_cut_off(path, print)) return trial_ok;
  Name trial = name_of(path, trial_suffix());
  u8 buffer[16];
  mem::Bytes record = read_record(trial.bytes(), buffer);
  u8 starts = remote_update::trial_starts(record);
  if (remote_update::trial_expired(starts) ||
      !write_record(trial.bytes(), remote_update::trial_version(record), static_cast<u8>(starts + 1))) {
    return revert(path, print);
  }
  const u8 digit[1] = {static_cast<u8>('0' + starts + 1)};
  print(mem::lit("vimbrel agent: the update is on trial, start "));
  print(mem::Bytes(digit, 1));
  print(mem::lit(" of 3 before the previous binary comes back\n"));
  return trial_ok;
}

u32 revert_main(mem::Bytes path, Print print) {
  if (!fits(path)) return trial_bad_path;
  return revert(path, print);
}

u32 revert(mem::Bytes path, Print print) {
  if (swap_cut_off(path, print)) return trial_ok;
  Name prev = name_of(path, prev_suffix());
  if (prev.length == 0 || fs::move_file(prev.bytes(), path) != fs::ok) {
    say(print, mem::lit("cannot put the previous binary back"));
    return trial_cannot_revert;
  }
  fs::move_file(name_of(path, trial_suffix()).bytes(), name_of(path, refused_suffix()).bytes());
  say(print, mem::lit("the update was not confirmed; the previous binary is back"));
  return trial_ok;
}

bool is_trial_option(mem::Bytes word) { return mem::eq(word, trial_option()); }
bool is_revert_option(mem::Bytes word) { return mem::eq(word, revert_option()); }

}  // namespace agentupdate
