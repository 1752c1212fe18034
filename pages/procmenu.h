#pragma once
// The Processes page's actions on the selected process: the context menu (right button on a row, the menu key or
// Shift+F10 on the selection), the Delete key, the confirmation before a process is ended and the box that reports
// an outcome other than success. Where the system has its own popup menu and message boxes (Windows) they are the
// system's, modal to the window; elsewhere the page draws them in the window, over the table, and while one is open
// it takes the pointer and the keys, and nothing else of the page acts.
//
// Before the menu opens the facts of the process are gathered and the items that cannot work are greyed with the
// reason; the process's identity is checked again before any action, so an action never reaches a process that
// ended and whose id was reused. Under the test mode no menu or box is shown: the driver's preset item and answer
// are taken, and each outcome is counted for the driver.
#include "base/mem.h"
#include "drawing/draw.h"
#include "views/proclist.h"
#include "pages/procpage.h"
#include "platform/window.h"
#include "sampling/model.h"

namespace procmenu {

// What is shown over the page.
enum : u8 { shown_none = 0, shown_menu = 1, shown_confirm = 2, shown_result = 3 };

// The process an action is for, taken from the list's selected row.
struct Target {
  u8 valid;
  u32 pid;
  u32 start;
  u16 name_length;
  u8 name[proclist::name_most];
};

// The driver's presets (test mode): bits 0-7 of the flag are the new process tables taken while the menu is "open"
// (so the table can change under it), bit 8 answers the confirmation with OK (else Cancel).
inline constexpr u32 flag_tables = 0xFF, flag_confirm_ok = 0x100;
inline constexpr i32 menu_width = 240, item_height = 26, separator_height = 9;
inline constexpr i32 box_width = 440;
inline constexpr u32 box_lines = 12;
inline constexpr i32 line_height = 18;

struct Menu {
  u8 running;  // a menu, confirmation or result box is open: the re-entry guard
  u8 shown;
  u8 warning;
  u8 hovered;  // item under the pointer or chosen by the keys (1..3), 0 none; 1 Cancel / 2 OK in the confirmation
  u32 facts;
  u32 item;  // the item being carried out
  i32 x, y;  // the menu's top-left corner
  Target target;
  u16 text_length;
  u8 text[proclist::message_most];  // the confirmation's question or the result's sentence
  u8 lines;                         // the text wrapped to the box
  u16 line_ends[box_lines];
  // Test mode.
  i32 test_choice;
  u32 test_flag;
  u32 outcomes;  // outcomes so far
  u32 packed;    // item 0-3, why_end 4-7, result 8-11, why_path 12-15, facts 16-23, warning 24-31
  u32 last_pid, last_start;
};

// What the flow needs of the window: where it runs and what the list shows.
struct Context {
  proclist::ListState* list;
  const model::ProcTable* table;
  const procpage::PageLayout* page;
  draw::Surface* surface;  // text is measured on it
  win::Thread* thread;
  win::Handle window;
  bool test;   // the test mode: presets, counters, no boxes
  bool demo;   // the table holds demo data
  bool act;    // actions reach the system (outside the test mode, or in it with live data)
  u32 own_pid, collector_pid;
  const u32* demo_calls;  // the demo world's table number now (the newest table's plus one)
  // Takes a new process table and rebuilds the list (the test mode's table changes while the menu is open).
  void (*retake)(void* owner);
  void* owner;
};

void init(Menu* m);

// ---- Input from the shell (each returns true when it took the event)

// Right button released on the table at (x, y): the row is selected and the menu opens there.
bool right_click(Menu* m, const Context& c, i32 x, i32 y);
// The menu key or Shift+F10: the menu at the selected row's bottom-left corner.
bool menu_key(Menu* m, const Context& c);
// Delete (ends the selected process after the confirmation) and the menu key.
bool key_command(Menu* m, const Context& c, bool is_delete);
// While a menu or box is shown: a press of the left button, the pointer, keys.
bool pointer_down(Menu* m, const Context& c, i32 x, i32 y);
bool pointer_move(Menu* m, i32 x, i32 y);
bool key(Menu* m, const Context& c, u32 virtual_key);

// ---- The flow

Target selected_name(const proclist::ListState* list, const model::ProcTable* table);
void open_at(Menu* m, const Context& c, i32 x, i32 y);
u32 assess(const Context& c, const Target& t);
u32 identity(const Context& c, const Target& t);
u32 demo_facts(const Context& c, const Target& t);
bool still_selected(const Context& c, const Target& t);
void choose(Menu* m, const Context& c, u32 item);
void end_by_key(Menu* m, const Context& c);
// The confirmation was answered.
void confirmed(Menu* m, const Context& c, bool ok);
void show_result(Menu* m, const Context& c, u32 code, u32 reason);

// ---- Drawing

// The box shown (the menu, the confirmation or the result), empty when none.
draw::Rect shown_rect(const Menu& m, const procpage::PageLayout* page);
void draw(const Menu& m, const Context& c, draw::Surface* s);
// The rectangle of item 1..3 in the menu.
draw::Rect item_rect(const Menu& m, u32 item);
// The confirmation's or result's buttons: 1 Cancel (or the result's OK), 2 OK.
draw::Rect button_rect(const Menu& m, const procpage::PageLayout* page, u32 button);

}  // namespace procmenu
