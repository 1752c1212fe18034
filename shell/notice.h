#pragma once
// The urgent notice in a window of its own: a warning box titled "Vimbrel" over its owner, with the notice's text
// wrapped and an OK button: the system's own box where it has one (Windows), else drawn through the drawing
// layer's software road. It stays until the user answers it
// (OK, Enter, Escape or the window's close), so a user who started the window from a desktop sees what standard
// error would only tell a terminal.
#include "base/mem.h"
#include "drawing/draw.h"
#include "platform/window.h"

namespace notice {

inline constexpr u32 text_most = 3600;
inline constexpr u32 lines_most = 24;
inline constexpr i32 width = 520;  // logical px

struct Box {
  win::Handle window;
  draw::Surface surface;
  u16 dpi;
  i32 height;  // logical px
  i32 pixel_width, pixel_height;
  u8 pressed;  // the OK button is held
  u8 done;
  u32 length;
  u8 text[text_most];
  u32 line_count;
  u32 line_start[lines_most], line_end[lines_most];
};

// The class of the box's window; registered with the program's other classes.
mem::Bytes class_name();
// Makes and shows the box over the owner's window (centred on it, or at the screen's top left without one) at the
// DPI, with the fonts of the folder (empty: the system's). False when the window cannot be made.
bool open(Box* b, win::Thread* t, win::Handle owner, u32 dpi, mem::Bytes text, mem::Bytes font_folder);
// One message of the box's window: paints, presses and keys. True once the box is answered.
bool take(Box* b, win::Thread* t, const win::Msg& m);
// The OK button's rectangle in logical px.
draw::Rect ok_button(const Box& b);
void close(Box* b, win::Thread* t);
// Opens the box and waits for the answer. Messages of other windows are left alone except their paints, which
// paint_other gets (with its context) so that the owner stays drawn; a quit request ends the wait and is posted
// again. False when the box could not be shown.
bool show(win::Thread* t, win::Handle owner, u32 dpi, mem::Bytes text, mem::Bytes font_folder,
          void (*paint_other)(void* context, win::Handle window), void* context);

}  // namespace notice
