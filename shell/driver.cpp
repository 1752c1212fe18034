#include "shell/driver.h"

#include "shell/loop.h"
#include "shell/quit.h"
#include "shell/replacement.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "update/taskmgr.h"
#include "update/updstate.h"
#include "views/render.h"

namespace app {
namespace {

// The driver's release notes: the fixed stand-in, with --long-notes repeated (joined by a line feed) for as long
// as the whole stays within the notes' room.
u32 test_notes(u8* out, bool long_notes) {
  u8 one[1024];
  const mem::Bytes part = test_release_notes(one);
  u32 n = 0;
  do {
    if (n) out[n++] = '\n';
    __builtin_memcpy(out + n, part.ptr, part.len);
    n += static_cast<u32>(part.len);
  } while (long_notes && n + 1 + part.len <= update::notes_capacity);
  return n;
}

// The test key's values by the driver's kind. The values name programs in the test drives: the command interpreter
// stands there as an empty file, so that "another copy" names one that exists; the missing copy never does.
void write_test_value(u32 kind) {
  const mem::Bytes other_program = test_debugger_value(3);
  if (kind == 0) taskmgr::delete_test_tree();
  if (kind == 2 || kind == 3 || kind == 7 || kind == 8) taskmgr::make_test_program(other_program);
  if (kind >= 1 && kind <= 3) taskmgr::write_test_debugger(test_debugger_value(kind));
  if (kind == 7) taskmgr::write_test_debugger(other_program);
  if (kind == 8) taskmgr::write_test_replaced(other_program);
  if (kind == 6) {
    u8 long_value[2047];
    mem::fill(mem::Slice{long_value, sizeof long_value}, 'x');
    taskmgr::write_test_debugger(mem::Bytes(long_value, sizeof long_value));
  }
}

}  // namespace

bool test_message(AppState* s, const win::Msg& m) {
  switch (m.message) {
    case driver_update_state: test_update_state(s, m.wparam, m.lparam); return true;
    case driver_collect_step: test_collect_step(s); return true;
    case driver_reset_views: test_reset_views(s); return true;
    case driver_sample_step: test_sample_step(s); return true;
    case driver_ring_step: test_ring_step(s, static_cast<u32>(m.wparam)); return true;
    case driver_sample_step_b: test_sample_step_b(s); return true;
    case driver_taskmgr: taskmgr_action(s, static_cast<u32>(m.wparam)); return true;
    default: return false;
  }
}

void test_update_state(AppState* s, u64 wparam, i64 lparam) {
  updstate::Settings& u = s->model->updater.settings;
  u.status = static_cast<u8>(wparam & 0xFF);
  u.failure_reason = static_cast<u8>((wparam >> 8) & 0xFF);
  u.flags = static_cast<u8>(((wparam >> 16) & 0xFF) ^ 1);  // bit 16 clear: checks on
  u.failure_step = static_cast<u8>(lparam & 0xFF);
  u.failure_code = static_cast<u16>((lparam >> 8) & 0xFFFF);
  u.last_version[0] = 0;
  u.last_version[1] = 1;
  u.last_version[2] = 1;
  u.last_check = u.status ? s->test_clock : 0;
  Updater* c = &s->model->updater;
  c->notes_length = (u.flags & updstate::flag_notes_loaded) ? test_notes(c->notes, s->options & opt_long_notes) : 0;
  // The urgent notice: a missing program file (status 5, reason 24). It stays marked shown only if it was.
  u8* notices = s->model->updater.notices;
  notices[0] = u.status == updstate::status_failed && u.failure_reason == 24 ? 1 : 0;
  notices[1] = notices[0] ? notices[1] : 0;
  sync_restart_flag(s);
  show_notice_once(s);
  s->flags &= static_cast<u8>(~flag_banner_dismissed);
  relayout(s);
  check_update_road(s);
}

void test_collect_step(AppState* s) {
  source::Source* source = &s->model->source;
  const bool before = source::failing(source);
  source::tick_missed(source);
  if (source::failing(source) != before) relayout(s);
}

void test_reset_views(AppState* s) {
  views::forget(&s->model->views);
  redraw_all(s);
}

void test_sample_step(AppState* s) {
  const Noted before = note(*s);
  source::restart_demo(&s->model->source, &s->model->machine);
  after_sample(s, before);
}

void test_ring_step(AppState* s, u32 processors) {
  const Noted before = note(*s);
  machine::Machine* m = &s->model->machine;
  machine::set_counts(m, processors, m->disks, m->nics);
  after_sample(s, before);
}

void test_sample_step_b(AppState* s) {
  const Noted before = note(*s);
  source::restart_if_child(&s->model->source, &s->model->machine);
  after_sample(s, before);
}

void taskmgr_action(AppState* s, u32 kind) {
  TaskManager* t = &s->model->taskmgr;
  t->test_result = static_cast<u8>(kind == 4 || kind == 5 ? kind : 0);
  t->last_result = 0;
  if (in_test(*s) && taskmgr_in_use(*s)) write_test_value(kind);
  // Kind 7 is another program's value appearing behind the window's back: the state is not read again.
  if (kind == 7) return;
  taskmgr_refresh(s);
  relayout(s);
}

}  // namespace app
