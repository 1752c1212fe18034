#include "shell/quit.h"

#include "base/fmt.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "widgets/hitmap.h"
#include "shell/loop.h"
#include "shell/notice.h"
#include "shell/snap.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "widgets/widgets.h"
#include "update/update.h"
#include "update/updstate.h"

namespace app {
namespace {

constexpr u64 rail_rows = 0x2FFFFFFFFull;
constexpr u32 wait_rounds = 2400, wait_round_ms = 50;  // two minutes for the updater
constexpr u32 new_program_wait_ms = 10000;           // for the new version's window
constexpr u32 urgent_most = 3600;
constexpr i32 update_section_y = 748;
// The update buttons of mask A: 40-42 and 55-60.
constexpr u64 update_bits = (u64{7} << slot_check) | (u64{0x3F} << slot_banner0);

updstate::Settings& update_settings(AppState* s) { return s->model->updater.settings; }
Updater* updater(AppState* s) { return &s->model->updater; }

void destroy(AppState* s) {
  if (!s->window) return;
  win::destroy_window(s->thread, s->window);
  s->window = 0;
  win::post_quit(s->thread, 0);
}

// While the notice box waits, the window under it is still painted.
void paint_owner(void* context, win::Handle window) {
  AppState* s = static_cast<AppState*>(context);
  if (window == s->window) {
    paint(s);
  } else {
    win::validate(s->thread, window, nullptr);
  }
}

mem::Bytes after_last_separator(mem::Bytes path) {
  u64 start = 0;
  for (u64 i = 0; i < path.len; ++i)
    if (path.ptr[i] == '/' || path.ptr[i] == '\\') start = i + 1;
  return mem::Bytes(path.ptr + start, path.len - start);
}

// The urgent notice follows the controller's missing program file (outside --test); a notice that went away is
// shown again when it comes back.
void sync_notice(AppState* s) {
  u8* notices = s->model->updater.notices;
  notices[0] = s->model->updater.missing;
  if (!notices[0]) notices[1] = 0;
}

void layout_again(AppState* s) {
  if (s->window) relayout(s);
}

// Download and restart (bit 55, and after clearing the skips, 60).
void download_and_restart(AppState* s) {
  updstate::Settings& u = update_settings(s);
  s->flags |= flag_restart_pending;
  // Under --test the check stands for the worker: nothing starts, and the status says a check runs.
  if (in_test(*s)) u.status = updstate::status_checking;
  const bool worker_runs =
      in_test(*s) ? u.status == updstate::status_checking : update::start_fetch(updater(s), now(*s));
  if (!worker_runs) s->flags &= static_cast<u8>(~flag_restart_pending);
}

}  // namespace

// ---- The relaunch command line

u32 append_arg(u8* buffer, u32 length, u32 capacity, mem::Bytes text) {
  const u64 space = length ? 1 : 0;
  if (length + space + text.len > capacity) return length;
  if (space) buffer[length++] = ' ';
  __builtin_memcpy(buffer + length, text.ptr, text.len);
  return static_cast<u32>(length + text.len);
}

u32 relaunch_args(bool gdi, u32 view, bool unattended, bool minimized, u8* buffer, u32 capacity) {
  u32 n = 0;
  if (gdi) n = append_arg(buffer, n, capacity, relaunch_option(0));
  n = append_arg(buffer, n, capacity, relaunch_option(1));
  u8 digits[fmt::dec_size];
  const mem::Slice number = fmt::dec(view, digits);
  n = append_arg(buffer, n, capacity, mem::Bytes(number.ptr, number.len));
  if (unattended) {
    n = append_arg(buffer, n, capacity, relaunch_option(2));
    if (minimized) n = append_arg(buffer, n, capacity, relaunch_option(3));
  }
  return n;
}

u32 view_id(const AppState& s) {
  return view_id(s.map.selected & rail_rows, s.page, power_shown(s.page, s.model->views));
}

// ---- Facts of the road

u32 idle_seconds(const AppState& s) {
  if (in_test(s)) {
    const u32 now_s = now(s);
    return now_s >= s.last_input ? now_s - s.last_input : 0;
  }
  const u64 t = ticks(s);
  const u64 idle = t >= s.input_ticks ? (t - s.input_ticks) / 1000 : 0;
  return idle > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(idle);
}

// The system's own word, or the quit event another process of ours set.
bool shutting_down(const AppState& s) {
  return (!in_test(s) && registry::shutting_down()) || (s.quit_event && kobj::wait(s.quit_event, 0));
}

bool settings_in_use(const AppState& s) { return !in_test(s) || s.settings.len != 0; }

u32 save_settings(AppState* s) {
  if (!settings_in_use(*s)) return 0;
  update::save_settings(updater(s));
  return (update_settings(s).flags & updstate::flag_save_failed) ? 1 : 0;
}

u32 sibling_path(mem::Bytes path, mem::Bytes name, u8* out) {
  const mem::Bytes last = after_last_separator(path);
  if (last.ptr == path.ptr) return 0;  // no folder part
  const u64 folder = path.len - last.len;
  if (folder + name.len > sibling_most) return 0;
  __builtin_memcpy(out, path.ptr, folder);
  __builtin_memcpy(out + folder, name.ptr, name.len);
  return static_cast<u32>(folder + name.len);
}

bool write_test_file(const AppState& s, mem::Bytes name, mem::Bytes text) {
  if (!in_test(s)) return false;
  u8 path[sibling_most];
  const u32 length = sibling_path(s.settings, name, path);
  return length && fs::replace_file(mem::Bytes(path, length), text) == 0;
}

// ---- Quit

void close(AppState* s) { quit(s, 0); }

void quit(AppState* s, u32 restart) {
  if (!s->window || s->quitting) return;
  Model* m = s->model;
  if (s->drag) cancel_drag(s);
  drop_snap_preview(s);
  s->quitting = 1;
  final_notice(s);
  localhist::close(&m->history);
  const bool notice_before = notice_pending(*s);
  instance::close(&m->instance);
  if (stage_update(s)) {
    win::show_window(s->thread, s->window, win::sw_hide);
    wait_updater(s);
  }
  const bool new_notice = notice_pending(*s) && !notice_before;
  if (!new_notice && (!restart || relaunch(s))) {
    destroy(s);
    return;
  }
  // The window comes back: visible, not quitting, holding the instance mutex again.
  show_notice_once(s);
  s->quitting = 0;
  if (!in_test(*s)) instance::lock(&m->instance, instance::mutex_name());
  const bool was_pending = (s->flags & flag_restart_pending) != 0;
  s->flags &= static_cast<u8>(~(flag_restart_pending | flag_minimized_at_restart));
  source::resume(&m->source);
  u32 show = win::sw_showna;
  if (was_pending) show = in_test(*s) ? win::sw_shownoactivate : win::sw_show;
  win::show_window(s->thread, s->window, show);
  layout_again(s);
}

void update_step(AppState* s) {
  if (in_test(*s) || !s->model) return;
  if (!update::tick(updater(s), now(*s))) return;
  sync_notice(s);
  s->flags &= static_cast<u8>(~flag_banner_dismissed);
  sync_restart_flag(s);
  show_notice_once(s);
  layout_again(s);
}

void check_update_road(AppState* s) {
  if (s->quitting || !s->window || shutting_down(*s)) return;
  if (!in_test(*s) && update::activity(updater(s)) != 0) return;
  const bool iconic = win::is_iconic(*s->thread, s->window);
  const bool away = iconic || !win::is_visible(*s->thread, s->window);
  const updstate::Settings& u = update_settings(s);
  const bool asked = (s->flags & flag_restart_pending) != 0;
  if (!updstate::should_restart_now(u.status, u.flags, idle_seconds(*s), away, asked)) return;
  s->flags = static_cast<u8>(iconic ? s->flags | flag_minimized_at_restart : s->flags & ~flag_minimized_at_restart);
  quit(s, 1);
}

bool stage_update(AppState* s) {
  updstate::Settings& u = update_settings(s);
  if (shutting_down(*s) || u.status != updstate::status_ready) return false;
  source::suspend(&s->model->source);
  if (!in_test(*s)) return update::start_swap(updater(s), now(*s));
  u.status = updstate::status_installing;
  return s->swap_event != 0;
}

bool updater_running(AppState* s) {
  // Under --test the swap event stands for the updater: it runs until the driver sets the event.
  if (in_test(*s)) return s->swap_event != 0 && !kobj::wait(s->swap_event, 0);
  return update::poll(updater(s), now(*s));
}

void wait_updater(AppState* s) {
  for (u32 round = 0; round < wait_rounds && updater_running(s); ++round) os::sleep_ms(wait_round_ms);
}

bool relaunch(AppState* s) {
  updstate::Settings& u = update_settings(s);
  u8 args[relaunch_most];
  const bool asked = (s->flags & flag_restart_pending) != 0;
  const u32 n = relaunch_args((s->options & opt_gdi) != 0, view_id(*s), !asked,
                              (s->flags & flag_minimized_at_restart) != 0, args, sizeof args);
  if (!in_test(*s)) {
    // Only a program file that the swap replaced is started; one that did not come up is put back.
    Updater* c = updater(s);
    return c->result.state == update::state_swapped &&
           update::start_new_program(c, mem::Bytes(args, n), new_program_wait_ms);
  }
  save_settings(s);
  write_test_file(*s, restart_file(), mem::Bytes(args, n));
  if (u.failure_reason == updstate::reason_did_not_start) {
    u.status = updstate::status_failed;
    update::mark_failed_version(updater(s), settings_in_use(*s));
    return false;
  }
  u.status = updstate::status_installing;
  return true;
}

// ---- Notices

bool notice_pending(const AppState& s) { return s.model->updater.notices[0] != 0; }

void show_notice_once(AppState* s) {
  u8* notices = s->model->updater.notices;
  if (!notices[0] || notices[1]) return;
  notice_box(s);
  notices[1] = 1;
}

void final_notice(AppState* s) {
  // Outside --test the controller first tries once more to put the program file back, and saves what it found.
  Updater* c = updater(s);
  if (!in_test(*s) && c->missing) {
    update::recover_program(c);
    update::save_settings(c);
    sync_notice(s);
  }
  if (notice_pending(*s)) notice_box(s);
}

u32 notice_text(const AppState& s, updstate::Buf* out) {
  const u32 before = out->len;
  if (!in_test(s)) {
    update::failure_text(&s.model->updater, out);
  } else if (notice_pending(s)) {
    const mem::Bytes program = test_program_path();
    updstate::missing_program_text(program, old_suffix(), after_last_separator(program), out);
  }
  return out->len - before;
}

void notice_box(AppState* s) {
  u8 text[urgent_most];
  updstate::Buf b = updstate::buf_of(mem::Slice{text, sizeof text});
  notice_text(*s, &b);
  s->notices += 1;
  if (!in_test(*s)) {
    if (shutting_down(*s)) return;
    // A terminal that started the window reads it there; a desktop that started it sees the box.
    os::write_err(mem::lit("vimbrel: "));
    os::write_err(updstate::text_of(&b));
    os::write_err(mem::lit("\n"));
    const win::Handle owner = s->window && win::is_window(*s->thread, s->window) ? s->window : 0;
    notice::show(s->thread, owner, s->dpi, updstate::text_of(&b), mem::Bytes(), paint_owner, s);
    return;
  }
  save_settings(s);
  u8 line[urgent_most];
  updstate::Buf out = updstate::buf_of(mem::Slice{line, sizeof line});
  updstate::append_dec(&out, s->notices);
  updstate::append(&out, mem::lit(" "));
  updstate::append(&out, updstate::text_of(&b));
  write_test_file(*s, urgent_file(), updstate::text_of(&out));
}

// ---- Update actions

void sync_restart_flag(AppState* s) {
  const u8 status = update_settings(s).status;
  if (status != updstate::status_checking && status != updstate::status_ready &&
      status != updstate::status_installing)
    s->flags &= static_cast<u8>(~flag_restart_pending);
}

bool update_click(AppState* s, u64 bits) {
  bits &= update_bits;
  if (!bits) return false;
  updstate::Settings& u = update_settings(s);
  if (bits & bit_a(slot_check)) {
    // Under --test the status stands for the check; a check that runs already is not started twice.
    if (in_test(*s))
      u.status = updstate::status_checking;
    else
      update::start_check(updater(s), now(*s));
  }
  if (bits & bit_a(slot_auto_check)) {
    u.flags ^= updstate::flag_checks_on;
    if (!in_test(*s)) save_settings(s);
  }
  if ((bits & bit_a(slot_restart)) && u.status == updstate::status_ready) {
    s->flags |= flag_restart_pending;
    quit(s, 1);
    return true;
  }
  if (bits & bit_a(slot_banner0)) download_and_restart(s);
  if (bits & bit_a(slot_banner0 + 1)) s->flags |= flag_banner_dismissed;
  if (bits & bit_a(slot_banner0 + 2)) update::skip_version(updater(s), settings_in_use(*s));
  if (bits & bit_a(slot_update_mode)) {
    u.flags ^= updstate::flag_automatic;
    s->flags &= static_cast<u8>(~flag_restart_pending);
    save_settings(s);
  }
  if (bits & bit_a(slot_notice)) {
    click(s, bit_a(slot_settings));
    s->page_scroll = update_section_y + narrow_offset(s->width);
    const i32 range = scroll_range(*s);
    if (s->page_scroll > range) s->page_scroll = range;
  }
  if (bits & bit_a(slot_notes)) {
    update::clear_skips(updater(s), settings_in_use(*s));
    download_and_restart(s);
  }
  layout_again(s);
  return true;
}

}  // namespace app
