#include "widgets/texts.h"

#include "update/update.h"
#include "update/updstate.h"

namespace app {
namespace {

// One word of a small table, empty outside it.
template <u32 N>
mem::Bytes pick(const char* const (&table)[N], u32 i) {
  if (i >= N) return mem::Bytes();
  u64 n = 0;
  while (table[i][n] != 0) ++n;
  return mem::Bytes(reinterpret_cast<const u8*>(table[i]), n);
}

mem::Bytes put_all(words::Text* out, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d) {
  out->len = 0;
  words::put(out, a);
  words::put(out, b);
  words::put(out, c);
  words::put(out, d);
  return mem::Bytes(out->bytes, out->len);
}

}  // namespace

mem::Bytes class_name() { return mem::lit("Vimbrel"); }
mem::Bytes test_class_name() { return mem::lit("VimbrelTest"); }
mem::Bytes snap_class_name() { return mem::lit("VimbrelSnap"); }
mem::Bytes title_text() { return mem::lit("Vimbrel"); }
mem::Bytes shipped_version() { return mem::lit("255.255.255"); }

mem::Bytes badge_text(u32 kind) {
  static constexpr const char* table[] = {"demo data", "stale", "in-process", "update ready"};
  return pick(table, kind);
}

mem::Bytes renderer_text(bool own_renderer) {
  return own_renderer ? mem::lit("CPU renderer") : mem::lit("GDI renderer");
}

mem::Bytes section_title(u32 index) {
  static constexpr const char* table[] = {"Processes", "Machines", "Cluster", "Settings"};
  return pick(table, index);
}

mem::Bytes support_nav_text() { return mem::lit("Support us"); }
mem::Bytes internet_nav_text() { return mem::lit("Internet"); }

mem::Bytes update_check_text(words::Text* out) {
  return put_all(out, mem::lit("Once a day: one request for "), update::server_host(), update::feed_path(),
                 mem::lit(" (and the notes of a newer version), with no identifiers."));
}

mem::Bytes update_check_short() { return mem::lit("Once a day, with no identifiers."); }

mem::Bytes update_mode_word(bool automatic) {
  return automatic ? mem::lit("Restarts when idle.") : mem::lit("Asks first.");
}

mem::Bytes update_mode_help(bool automatic) {
  return automatic ? mem::lit("Downloads, installs and restarts on its own after 30 s without input, or at once when "
                              "minimized.")
                   : mem::lit("Shows the version and its release notes first; downloads only on Update now.");
}

mem::Bytes notes_missing_text() { return mem::lit("Release notes unavailable."); }
mem::Bytes save_failed_text() { return mem::lit("The settings file could not be saved."); }

mem::Bytes relaunch_option(u32 i) {
  static constexpr const char* table[] = {"--gdi", "--view", "--unattended", "--minimized"};
  return pick(table, i);
}

mem::Bytes old_suffix() { return mem::lit(".old-1"); }

// ---- Task Manager replacement

mem::Bytes taskmgr_button_text(u32 state) {
  static constexpr const char* table[] = {"Off", "On", "Repair", "Use this copy", "Use Vimbrel", "Unknown"};
  return pick(table, state);
}

mem::Bytes taskmgr_status_text(u32 state, u32 result, bool replaced_another) {
  switch (result) {
    case tm_cancelled: return mem::lit("Cancelled at the administrator prompt; nothing changed.");
    case tm_incomplete: return mem::lit("The change did not complete.");
    case tm_changed: return mem::lit("Another program changed the value meanwhile; nothing was changed.");
  }
  switch (state) {
    case tm_unknown:
      return mem::lit("Unknown: the value cannot be read, so it cannot be changed safely. Error ");
    case tm_on:
      return replaced_another
                 ? mem::lit("Ctrl+Shift+Esc opens Vimbrel. Off gives it back to the program it replaced.")
                 : mem::lit("Ctrl+Shift+Esc and Task Manager open Vimbrel. Off gives them back to Windows.");
    case tm_broken: return mem::lit("Broken, Ctrl+Shift+Esc opens nothing: missing ");
    case tm_other_copy: return mem::lit("Set to another copy: ");
    case tm_other_program: return mem::lit("Set to another program: ");
  }
  return mem::lit("Ctrl+Shift+Esc opens Windows Task Manager. On asks once for administrator rights.");
}

mem::Bytes taskmgr_status_short(u32 state, u32 result) {
  switch (result) {
    case tm_cancelled: return mem::lit("Cancelled; nothing changed.");
    case tm_incomplete: return mem::lit("Not completed.");
    case tm_changed: return mem::lit("Changed meanwhile; nothing changed.");
  }
  switch (state) {
    case tm_unknown: return mem::lit("Unknown, error ");
    case tm_on: return mem::lit("Ctrl+Shift+Esc opens Vimbrel.");
    case tm_broken: return mem::lit("Broken: missing ");
    case tm_other_copy: return mem::lit("Another copy: ");
    case tm_other_program: return mem::lit("Another program: ");
  }
  return mem::lit("One UAC prompt.");
}

u32 taskmgr_status_tail(u32 state, u32 result) {
  if (result == tm_cancelled || result == tm_incomplete || result == tm_changed) return tail_none;
  if (state == tm_broken || state == tm_other_copy || state == tm_other_program) return tail_path;
  return state == tm_unknown ? tail_error : tail_none;
}

mem::Bytes taskmgr_status(words::Text* out, u32 state, u32 result, bool replaced_another, bool short_form,
                          mem::Bytes path, i32 error) {
  out->len = 0;
  words::put(out, short_form ? taskmgr_status_short(state, result)
                             : taskmgr_status_text(state, result, replaced_another));
  const u32 tail = taskmgr_status_tail(state, result);
  if (tail == tail_path) words::put(out, path);
  if (tail == tail_error) {
    if (error < 0) words::put(out, mem::lit("-"));
    words::put_u64(out, error < 0 ? u64{0} - static_cast<u64>(static_cast<i64>(error)) : static_cast<u64>(error));
  }
  return mem::Bytes(out->bytes, out->len);
}

mem::Bytes taskmgr_original_text(u32 result) {
  return result == tm_no_start ? mem::lit("Windows Task Manager did not start.")
                               : mem::lit("The original, also while Vimbrel replaces it.");
}

mem::Bytes taskmgr_original_short(u32 result) {
  return result == tm_no_start ? mem::lit("Did not start.") : mem::lit("The original one.");
}

// ---- Test-mode substitutes

mem::Bytes restart_file() { return mem::lit("restart.txt"); }
mem::Bytes urgent_file() { return mem::lit("urgent.txt"); }
mem::Bytes taskmgr_file() { return mem::lit("taskmgr.txt"); }
mem::Bytes woken_file() { return mem::lit("woken.txt"); }
mem::Bytes clipboard_file() { return mem::lit("clipboard.txt"); }
mem::Bytes chosen_file() { return mem::lit("chosen.txt"); }
mem::Bytes test_program_path() { return mem::lit("C:\\Vimbrel\\vimbrel.exe"); }
mem::Bytes test_windows_folder() { return mem::lit("C:\\Windows"); }
mem::Bytes swap_event_prefix() { return mem::lit("Local\\VimbrelSwap-"); }

mem::Bytes test_debugger_value(u32 kind) {
  if (kind == 1) return mem::lit("\"C:\\VimbrelTest\\missing\\vimbrel.exe\" --as-taskmgr");
  if (kind == 2) return mem::lit("\"C:\\Windows\\System32\\cmd.exe\" --as-taskmgr");
  return mem::lit("\"C:\\Windows\\System32\\cmd.exe\" /k");
}

mem::Bytes test_release_notes(u8* out1024) {
  const mem::Bytes parts[] = {
      mem::lit("Vimbrel 0.1.1 for Linux, signed by "),
      updstate::signer_name(),
      mem::lit("\n\n- Automatic updates download, install and restart on their own when the window is idle; "
               "Ask first shows the version and these notes and waits for Update now.\n"
               "- Every update shows its release notes before anything is downloaded.\n"
               "- Markup such as <b>bold</b>, **stars** or `code` stays plain text.\n"
               "- This item is one long line that has to wrap: it goes on past the width of any window the "
               "Settings page fits in on a usual screen, so the notes panel must break it into rows of words that fit, "
               "and every row after the first starts at the same left edge as the first."),
  };
  u32 n = 0;
  for (const mem::Bytes& p : parts)
    for (u64 i = 0; i < p.len && n < 1024; ++i) out1024[n++] = p.ptr[i];
  return mem::Bytes(out1024, n);
}

}  // namespace app
