#include "shell/replacement.h"

#include "widgets/hitmap.h"
#include "shell/quit.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "update/taskmgr.h"

namespace app {

bool taskmgr_in_use(const AppState& s) { return !in_test(s) || (s.options & opt_taskmgr) != 0; }
bool taskmgr_absent(const AppState& s) { return !in_test(s) && s.model->taskmgr.state == tm_unknown; }

void taskmgr_refresh(AppState* s) {
  TaskManager* t = &s->model->taskmgr;
  t->state = tm_off;
  t->saved_file = 0;
  t->read_error = 0;
  t->text_length = 0;
  if (!taskmgr_in_use(*s)) return;
  const bool test = in_test(*s);
  const taskmgr::Value debugger = taskmgr::read_debugger(test);
  const taskmgr::Value replaced = taskmgr::read_replaced(test);
  u8 own[taskmgr::path_most];
  const u32 own_length = taskmgr::own_path(own);
  t->state = static_cast<u8>(taskmgr::debugger_state(debugger, mem::Bytes(own, own_length), test));
  t->saved_file = taskmgr::replaced_exists(replaced, test) ? 1 : 0;
  t->read_error = static_cast<i32>(debugger.error);
  const mem::Bytes shown = taskmgr::is_ours(debugger);
  const u64 n = shown.len < debugger_text_most ? shown.len : debugger_text_most;
  mem::copy(mem::Slice{t->text, n}, shown);
  t->text_length = static_cast<u16>(n);
}

u32 taskmgr_change(AppState* s, u32 mode) {
  TaskManager* t = &s->model->taskmgr;
  u8 own[taskmgr::path_most];
  const mem::Bytes own_path(own, taskmgr::own_path(own));
  if (!in_test(*s)) {
    u8 arguments[64];
    const u32 n = taskmgr::elevated_arguments(mode, false, arguments);
    return taskmgr::run_elevated(own_path, mem::Bytes(arguments, n), taskmgr::elevated_wait_ms);
  }
  // The driver's one-shot answer stands for the prompt: 4 the user cancelled it, 5 the run did not complete.
  const u8 one_shot = t->test_result;
  t->test_result = 0;
  if (one_shot == 4) return taskmgr::result_cancelled;
  if (one_shot == 5) return taskmgr::result_failed;
  if (!taskmgr_in_use(*s)) return taskmgr::result_done;
  const u32 code = taskmgr::exit_code(taskmgr::apply(true, mode, own_path));
  return taskmgr::elevation_result(taskmgr::run_ended, code);
}

void taskmgr_click(AppState* s, bool turn_off) {
  TaskManager* t = &s->model->taskmgr;
  const u32 mode = taskmgr::command_mode(t->state, turn_off);
  if (mode == taskmgr::mode_invalid) return;
  const u32 result = taskmgr_change(s, mode);
  t->last_result = static_cast<u8>(result == taskmgr::result_done ? tm_none : result);
  taskmgr_refresh(s);
  relayout(s);
}

void taskmgr_open(AppState* s) {
  u32 error = 0;
  if (in_test(*s)) {
    // Never the system's own program under --test: without a test file nothing starts.
    u8 file[sibling_most];
    const u32 n = s->settings.len ? sibling_path(s->settings, taskmgr_file(), file) : 0;
    error = n ? taskmgr::open_real_taskmgr(test_windows_folder(), mem::Bytes(file, n)) : taskmgr::error_not_found;
  } else {
    u8 folder[taskmgr::path_most];
    const u32 n = taskmgr::windows_folder(folder, &error);
    if (n) error = taskmgr::open_real_taskmgr(mem::Bytes(folder, n), mem::Bytes());
  }
  s->model->taskmgr.last_result = static_cast<u8>(error ? tm_no_start : tm_none);
  relayout(s);
}

bool taskmgr_buttons(AppState* s, u64 bits) {
  bits &= bit_a(slot_taskmgr) | bit_a(slot_taskmgr_remove) | bit_a(slot_taskmgr_open);
  if (!bits || s->page != page_settings) return false;
  if (bits & bit_a(slot_taskmgr)) taskmgr_click(s, false);
  if (bits & bit_a(slot_taskmgr_remove)) taskmgr_click(s, true);
  if (bits & bit_a(slot_taskmgr_open)) taskmgr_open(s);
  return true;
}

}  // namespace app
