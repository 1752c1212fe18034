#include "shell/settings_page.h"

#include "internet/internet.h"
#include "pages/clusterui.h"
#include "platform/chooser.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "widgets/clipboard.h"
#include "shell/fields.h"
#include "shell/pages.h"
#include "shell/quit.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "widgets/widgets.h"
#include "shell/replacement.h"

namespace app {
namespace {

mem::Bytes text_of(const cluster::Text& t) { return mem::Bytes(t.bytes, t.len); }
mem::Bytes text_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

// The long form when it fits in the note's two lines, else the short one.
void note_either(AppState* s, mem::Bytes long_form, mem::Bytes short_form, i32 x, i32 y) {
  const i32 room = s->width - x - content_margin;
  const u32 end = fit_words(s, long_form, 0, room);
  const bool fits = end >= long_form.len ||
                    text_width(&s->surface, role_small, mem::Bytes(long_form.ptr + end + 1, long_form.len - end - 1)) <=
                        room;
  note_wrapped(s, fits ? long_form : short_form, x, y);
}

void small_text(AppState* s, mem::Bytes text, i32 x, i32 y, i32 right, u32 colour) {
  text_in(&s->surface, role_small, text, draw::Rect{x, y, right, y + 32}, colour, 0);
}

// The text cut with "..." to the width.
void shortened(AppState* s, mem::Bytes text, i32 x, i32 y, i32 width) {
  draw::Surface* d = &s->surface;
  u64 n = text.len;
  if (text_width(d, role_body, text) > width) {
    words::Text line{};
    while (n > 0) {
      --n;
      line.len = 0;
      words::put(&line, mem::Bytes(text.ptr, n));
      words::put(&line, mem::lit("..."));
      if (text_width(d, role_body, text_of(line)) <= width) break;
    }
    text_in(d, role_body, text_of(line), draw::Rect{x, y, x + width, y + 32}, colour_text, 0);
    return;
  }
  text_in(d, role_body, text, draw::Rect{x, y, x + width, y + 32}, colour_text, 0);
}

void updates_section(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll, w = s->width;
  const updstate::Settings& u = s->model->updater.settings;
  section_head(c, mem::lit("Updates"), 100);
  row_pair(c, mem::lit("Version"), 124 - sc, s->version);
  row_label(c, mem::lit("Automatic check"), 160 - sc);
  const bool on = (u.flags & updstate::flag_checks_on) != 0;
  slot_button(c, slot_auto_check, on ? mem::lit("On") : mem::lit("Off"), on);
  // A build without a release key never checks: it promises no daily request, and says so instead of a state that
  // would never change.
  const bool keyed = s->model->updater.config.has_key != 0;
  words::Text check{};
  if (keyed)
    note_either(s, update_check_text(&check), update_check_short(), 508, 160 - sc);
  else
    note_either(s, mem::lit("No requests: this build has no release key."), mem::lit("No requests."), 508, 160 - sc);
  row_label(c, mem::lit("Last check"), 196 - sc);
  u8 bytes[512];
  updstate::Buf line = updstate::buf_of(mem::Slice{bytes, sizeof bytes});
  updstate::status_line(&u, now(*s), &line);
  shortened(s, keyed ? updstate::text_of(&line) : update::no_key_text(), value_column, 196 - sc, w - 448);
  slot_button(c, slot_check, mem::lit("Check for updates"), false);
  slot_button(c, slot_restart, mem::lit("Restart to update"), true);
  row_label(c, mem::lit("Update mode"), 300 - sc);
  const bool automatic = updstate::is_automatic(&u);
  slot_button(c, slot_update_mode, automatic ? mem::lit("Automatic") : mem::lit("Ask first"), automatic);
  note_either(s, update_mode_help(automatic), update_mode_word(automatic), 556, 300 - sc);
}

// Outside --test this system has no key to read (state 5, error 50): the row says so plainly instead of the unknown
// state's sentence.
void taskmgr_section(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll;
  const TaskManager& t = s->model->taskmgr;
  section_head(c, mem::lit("Task Manager"), 352);
  row_label(c, mem::lit("Replace Task Manager"), 376 - sc);
  slot_button(c, slot_taskmgr, taskmgr_button_text(t.state), t.state == tm_on);
  slot_button(c, slot_taskmgr_remove, mem::lit("Remove"), false);
  const i32 x = slot_empty(s->map, slot_taskmgr_remove) ? 572 : 672;
  const bool absent = taskmgr_absent(*s);
  if (absent) {
    note_wrapped(s, mem::lit("Not available on this system."), x, 376 - sc);
  } else {
    words::Text a{}, b{};
    const mem::Bytes path(t.text, t.text_length);
    note_either(s, taskmgr_status(&a, t.state, t.last_result, t.saved_file != 0, false, path, t.read_error),
                taskmgr_status(&b, t.state, t.last_result, t.saved_file != 0, true, path, t.read_error), x, 376 - sc);
  }
  // Without a system Task Manager there is nothing to open: the button stays grey and the row says so.
  row_label(c, absent ? mem::lit("Task Manager") : mem::lit("Windows Task Manager"), 412 - sc);
  slot_button(c, slot_taskmgr_open, mem::lit("Open"), false);
  if (absent) {
    note_wrapped(s, mem::lit("Not available on this system."), 524, 412 - sc);
  } else {
    note_either(s, taskmgr_original_text(t.last_result), taskmgr_original_short(t.last_result), 524, 412 - sc);
  }
}

void cluster_section(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll, m = narrow_offset(s->width);
  const clusterui::ClusterState& k = s->model->cluster_ui;
  cluster::Text t{};
  section_head(c, section_title(2), 452);
  row_label(c, mem::lit("Publish"), 476 - sc);
  const bool on = k.publish.publish != 0;
  slot_button_b(c, slot_publish, on ? mem::lit("On") : mem::lit("Off"), on);
  clusterui::publish_status(k, ticks(*s), &t);
  small_text(s, text_of(t), 508, 476 - sc, s->width - content_margin, colour_grey);
  row_label(c, mem::lit("Server or share"), target_row - sc);
  clusterui::target_text(k, &t);
  const textedit::Field* field = k.edit ? &k.edit->field : nullptr;
  slot_field(c, slot_target_field, text_of(t), k.editing == clusterui::edit_target, colour_text, field, false);
  row_label(c, mem::lit("Cluster key"), key_row - sc);
  clusterui::key_result(k, &t);
  slot_field(c, slot_key_field, text_of(t), k.editing == clusterui::edit_key, colour_text, field,
             clusterui::key_masked(k));
  slot_button_b(c, slot_generate, k.generate_armed ? mem::lit("Replace") : mem::lit("Generate key"),
                k.generate_armed != 0);
  slot_button_b(c, slot_copy_key, mem::lit("Copy key"), false);
  slot_button_b(c, slot_choose_file, mem::lit("Choose file..."), false);
  const i32 right = s->width - content_margin;
  small_text(s, settings::server_hint(), value_column, 584 + m - sc, right, colour_grey);
  if (k.generate_armed)
    small_text(s, settings::replace_warning(), value_column, 604 + m - sc, right, colour_text);
  else
    small_text(s, settings::key_hint(), value_column, 604 + m - sc, right, colour_grey);
}

void internet_section(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll, m = narrow_offset(s->width);
  const internet::Probe& p = s->model->probe;
  section_head(c, internet_nav_text(), 640 + m);
  row_label(c, mem::lit("Measure"), 664 + m - sc);
  slot_button_b(c, slot_measure, p.settings.on ? mem::lit("On") : mem::lit("Off"), p.settings.on != 0);
  words::Text line{};
  words::put(&line, mem::lit("Latency every 10 s and speed tests against Cloudflare ("));
  words::put(&line, mem::Bytes(p.endpoint.host, p.endpoint.host_length));
  words::put(&line, mem::lit(")."));
  note_wrapped(s, text_of(line), 508, 664 + m - sc);
  row_label(c, mem::lit("Speed test"), 700 + m - sc);
  slot_button_b(c, slot_speed, internet::schedule_label(p.settings.schedule), false);
  line.len = 0;
  internet::put_daily(&line, p.settings.schedule);
  words::put(&line, mem::lit(" (at most 25 MB down and 10 MB up per test)."));
  note_wrapped(s, text_of(line), 572, 700 + m - sc);
}

// The background copy: a host and an agent kept running after the window closes, and its start at log-on (an XDG
// autostart entry on this system, hence the label).
void background_section(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll, m = narrow_offset(s->width);
  const background::Control& b = s->model->background;
  section_head(c, mem::lit("Background"), 740 + m);
  u8 line[background::line_max];
  const u32 n = background::settings_text(&b, mem::Slice{line, sizeof line});
  small_text(s, mem::Bytes(line, n), 340, 740 + m - sc - 6, s->width - content_margin, colour_grey);
  const bool host = (b.roles & background::role_host) != 0, agent = (b.roles & background::role_agent) != 0;
  const mem::Bytes start_switch = registry::system_words().start_switch;  // the log-on entry in this system's words
  row_label(c, mem::lit("Can be the host"), 764 + m - sc);
  slot_button_b(c, slot_background0, host ? mem::lit("On") : mem::lit("Off"), host);
  if (s->width >= 1046) {
    settings::off_on(c, mem::lit("Publish when closed"), 520, 764 + m, slot_background0 + 1, agent);
    settings::off_on(c, start_switch, 786, 764 + m, slot_background0 + 2, b.run_present != 0);
    return;
  }
  row_label(c, mem::lit("Publish when closed"), 796 + m - sc);
  slot_button_b(c, slot_background0 + 1, agent ? mem::lit("On") : mem::lit("Off"), agent);
  row_label(c, start_switch, 828 + m - sc);
  slot_button_b(c, slot_background0 + 2, b.run_present ? mem::lit("On") : mem::lit("Off"), b.run_present != 0);
}

void notes_panel(AppState* s, const Canvas& c) {
  const i32 sc = s->page_scroll, g = notes_offset(s->width);
  const updstate::Settings& u = s->model->updater.settings;
  section_head(c, mem::lit("Release notes"), 804 + g);
  u8 bytes[96];
  updstate::Buf line = updstate::buf_of(mem::Slice{bytes, sizeof bytes});
  const bool failed = updstate::is_failed_version(&u);
  if (failed) {
    updstate::append_version(&line, u.failed_version);
    updstate::append(&line, mem::lit(" failed to start"));
  } else {
    updstate::append(&line, mem::lit("Version "));
    updstate::append_version(&line, u.last_version);
    if (u.status == updstate::status_available && updstate::is_skipped(&u)) updstate::append(&line, mem::lit(" (skipped)"));
  }
  text_in(&s->surface, role_body, updstate::text_of(&line), draw::Rect{content_left, 832 + g - sc, s->width, 864 + g - sc},
          colour_text, 0);
  slot_button(c, slot_notes, failed ? mem::lit("Try again") : mem::lit("Install skipped version"), false);
  const mem::Bytes text = release_notes(*s);
  const u8* notes = text.ptr;
  const u32 length = static_cast<u32>(text.len);
  if (!length) {
    small_text(s, notes_missing_text(), content_left, 864 + g - sc, s->width - content_margin, colour_grey);
    return;
  }
  // One row of 20 px for each piece of a line that fits the width; drawing stops at the window's bottom.
  const i32 width = s->width - 268;
  i32 y = 864 + g - sc;
  u32 start = 0;
  while (start < length && y < s->height) {
    u32 line_end = start;
    while (line_end < length && notes[line_end] != '\n') ++line_end;
    u32 at = start;
    do {
      const mem::Bytes rest(notes + at, line_end - at);
      const u32 end = at + fit_words(s, rest, 0, width);
      if (y + 20 > 40)
        text_in(&s->surface, role_small, mem::Bytes(notes + at, end - at), draw::Rect{content_left, y, s->width, y + 20},
                colour_text, 0);
      y += 20;
      at = end < line_end ? end + 1 : end;
    } while (at < line_end && y < s->height);
    start = line_end + 1;
  }
}

}  // namespace

bool notes_block_shown(const AppState& s) {
  const updstate::Settings& u = s.model->updater.settings;
  return u.status == updstate::status_ready || u.status == updstate::status_available ||
         updstate::is_failed_version(&u) || (s.flags & flag_restart_pending);
}

mem::Bytes release_notes(const AppState& s) {
  const Updater& u = s.model->updater;
  if (!(u.settings.flags & updstate::flag_notes_loaded)) return mem::Bytes();
  return mem::Bytes(u.notes, u.notes_length);
}

i32 settings_content_height(AppState* s) {
  const i32 g = notes_offset(s->width);
  if (!notes_block_shown(*s)) return 796 + g;
  const mem::Bytes text = release_notes(*s);
  const u8* notes = text.ptr;
  const u32 length = static_cast<u32>(text.len);
  if (!length) return 908 + g;
  const i32 width = s->width - 268;
  i32 y = 864 + g;
  u32 start = 0;
  while (start < length) {
    u32 line_end = start;
    while (line_end < length && notes[line_end] != '\n') ++line_end;
    u32 at = start;
    do {
      const u32 end = at + fit_words(s, mem::Bytes(notes + at, line_end - at), 0, width);
      y += 20;
      at = end < line_end ? end + 1 : end;
    } while (at < line_end);
    start = line_end + 1;
  }
  return y + 24;
}

void settings_draw(AppState* s) {
  const Canvas c = canvas_of(s);
  const i32 sc = s->page_scroll;
  text_in(&s->surface, role_body, section_title(3), draw::Rect{content_left, 56 - sc, s->width, 84 - sc}, colour_text,
          0);
  updates_section(s, c);
  taskmgr_section(s, c);
  cluster_section(s, c);
  internet_section(s, c);
  background_section(s, c);
  if (notes_block_shown(*s)) notes_panel(s, c);
  // The line under the update buttons: a missing program file first (the user must act on it), else a settings file
  // that could not be saved.
  const updstate::Settings& u = s->model->updater.settings;
  u8 bytes[3600];
  updstate::Buf missing = updstate::buf_of(mem::Slice{bytes, sizeof bytes});
  if (notice_text(*s, &missing))
    note_wrapped_in(s, updstate::text_of(&missing), value_column, 264 - sc, colour_badge_text);
  else if (u.flags & updstate::flag_save_failed)
    small_text(s, save_failed_text(), value_column, 264 - sc, s->width - content_margin, colour_grey);
}

}  // namespace app

namespace settings {

u32 fixed_random(mem::Slice buffer) {
  for (u64 i = 0; i < buffer.len; ++i) buffer.ptr[i] = static_cast<u8>(32 + i);
  return 1;
}

void copy_key(app::AppState* s) {
  clusterui::ClusterState* k = &s->model->cluster_ui;
  cluster::KeyWork work;
  const u32 n = clusterui::key_text(k, &work);
  if (n) {
    const mem::Bytes text(work.formatted, n);
    bool done = false;
    if (app::in_test(*s)) {
      done = app::write_beside_settings(*s, app::clipboard_file(), text);
    } else {
      u16 wide[80];
      for (u32 i = 0; i < n && i < 80; ++i) wide[i] = work.formatted[i];
      done = clipboard::copy_private(s->thread, s->window, wide, n < 80 ? n : 80) == clipboard::done;
      clipboard::wipe_free(wide, 80);
    }
    k->last_action = done ? clusterui::action_copied : clusterui::action_busy;
  }
  cluster::wipe_key_buffer(&work);
}

u32 test_chosen_file(app::AppState* s, u8* out1024) {
  u8 path[560];
  const u32 length = app::beside_settings(*s, app::chosen_file(), path, sizeof path);
  if (!length) return 0;
  const mem::Bytes where(path, length);
  const u64 n = fs::read_prefix(where, mem::Slice{out1024, 1024});
  fs::delete_file(where);
  return static_cast<u32>(n);
}

namespace {

// While the chooser is open the window is still drawn.
void keep_drawn(void* context) {
  app::AppState* s = static_cast<app::AppState*>(context);
  win::pump(s->thread);
  win::Msg m{};
  for (u32 i = 0; i < 4 && win::peek_message(s->thread, &m, s->window, win::wm_paint, win::wm_paint, false); ++i)
    app::paint(s);
}

// The desktop's chooser, starting in the key file's folder: the path's length, 0 when none was chosen (the key
// field then says why, unless the user cancelled).
u32 ask_desktop(app::AppState* s, u8* out1024) {
  clusterui::ClusterState* k = &s->model->cluster_ui;
  u64 folder = k->key_path.len;
  while (folder > 0 && k->key_path.ptr[folder - 1] != '/') --folder;
  chooser::Ask ask{};
  ask.title = mem::lit("Choose the cluster key file");
  ask.folder = mem::Bytes(k->key_path.ptr, folder > 1 ? folder - 1 : folder);
  ask.filter_name = mem::lit("Cluster key (*.key)");
  ask.pattern = mem::lit("*.key");
  ask.idle = keep_drawn;
  ask.context = s;
  ask.owner = s->window;
  u32 length = 0;
  const u32 r = chooser::open_file(ask, mem::Slice{out1024, 1024}, &length);
  if (r == chooser::unavailable) k->last_action = clusterui::action_type_path;
  if (r == chooser::failed) k->last_action = clusterui::action_no_choice;
  return r == chooser::picked ? length : 0;
}

}  // namespace

// Under --test the answer comes from chosen.txt; otherwise the desktop's chooser is asked, and where it has none
// the key field takes the typed path.
void choose_key_file(app::AppState* s) {
  u8 chosen[1024];
  const u32 n = app::in_test(*s) ? test_chosen_file(s, chosen) : ask_desktop(s, chosen);
  u32 length = n;
  while (length > 0 && (chosen[length - 1] == '\n' || chosen[length - 1] == '\r')) --length;
  if (length) clusterui::import_file(&s->model->cluster_ui, mem::Bytes(chosen, length), app::ticks(*s));
  __builtin_memset(chosen, 0, sizeof chosen);
}

void background_click(app::AppState* s, u64 mask_b) {
  const u64 bits = (mask_b >> (app::slot_background0 - 64)) & 7;
  if (s->page != app::page_settings || !bits) return;
  app::end_field_edit(s);
  background::Control* b = &s->model->background;
  if (bits & 1) background::toggle_role(b, 0);
  if (bits & 2) background::toggle_role(b, 1);
  if (bits & 4) background::set_run_entry(b);
  clusterui::set_background(&s->model->cluster_ui, background::agent_on(b), app::ticks(*s));
  app::relayout(s);
}

mem::Bytes server_hint() {
  return mem::lit("Server: an IPv4 address, port 7420 unless :port follows, or the share of a migrating cluster.");
}
mem::Bytes key_hint() {
  return mem::lit("Key: its 64 hex digits, its text, or the path of its cluster.key. Enter saves, Escape cancels.");
}
mem::Bytes replace_warning() {
  return mem::lit("Replace the cluster key? Every machine with the old key disconnects. Click Replace to confirm.");
}

}  // namespace settings
