#pragma once
// What the drawing layer needs from the window system: a window whose pixels are presented from 32-bit images, the
// "GDI road" (a back buffer that fills, draws text in the system fonts by role, takes pixel blocks and draws the
// program icon, then is copied whole to the window), the system fonts by role, the icon's pixels and the size of
// the virtual screen.
//
// Colours given here are COLORREF values 0x00BBGGRR; images are 32-bit pixels 0xAARRGGBB, rows top-down. Handles
// are 0 for none. On Linux the road is a small software one that draws with the program's own font parser and
// rasteriser into an in-memory back buffer; the fonts are Lato for the text roles and DejaVu Sans Mono for the
// fixed role (with a test font folder, its "Lato-Regular.ttf" for every role). A headless window is an in-memory
// bitmap that presents land in and that tests read back; the X11 window comes with the window layer and is not
// built yet, so opening one fails.
#include "base/mem.h"

namespace gdi {

using Handle = u64;

// ---- Windows

// A headless window: an in-memory bitmap of width x height (1..16,384 each), black. 0 on failure.
Handle open_headless(i32 width, i32 height);
// A window on the display; the X11 window is not built yet: always 0.
Handle open_window(i32 width, i32 height);
void close_window(Handle window);
// The presented pixels of a headless window, rows of *width pixels; null for any other handle.
const u32* window_pixels(Handle window, i32* width, i32* height);
// Count of presents that reached the window, and the pixels they carried (for tests of what is sent).
u64 window_sends(Handle window, u64* pixels_sent);

// Copies a w x h block of a top-down 32-bit image (stride in pixels; pixels points at the block's first pixel) to
// (x, y) of the window, cut to the window: 1 when the window took it, 0 when it failed.
u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride);
// The whole back buffer to the window's top-left corner: 1 when the window took it.
u32 present_back(Handle window, Handle back);

// Width and height of the virtual screen (every monitor); 0 when there is no display.
i32 virtual_width();
i32 virtual_height();

// ---- The back buffer

// A back buffer of at least 1 x 1 for the window, cleared black; 0 on failure.
Handle back_create(Handle window, i32 width, i32 height);
void back_delete(Handle back);
// Its pixels (0xFFRRGGBB), rows of *width pixels.
const u32* back_pixels(Handle back, i32* width, i32* height);

// A solid rectangle (right and bottom exclusive), cut to the buffer.
void fill(Handle back, i32 left, i32 top, i32 right, i32 bottom, u32 colorref);
// Text in the font with its top-left corner at (x, y), clipped to the rectangle; advances, when not null, give
// each unit's advance in px.
void text(Handle back, Handle font, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right, i32 clip_bottom,
          u32 colorref, const u16* units, u32 count, const i32* advances);
// A w x h block of a top-down 32-bit image at (x, y), replacing the pixels under it, cut to the buffer.
void blit(Handle back, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride);
// The icon stretched to side x side at (x, y), blended over the pixels.
void draw_icon(Handle back, Handle icon, i32 x, i32 y, i32 side);

// ---- Fonts by role: 0 body text, 1 fixed pitch, 2 icon glyphs, 3 small text

// The role's font at a character height of px (1..2,048), from the system fonts or, when test_folder is not empty,
// from its "Lato-Regular.ttf". 0 when the file cannot be read or parsed.
Handle font_create(u32 role, i32 px, mem::Bytes test_folder);
void font_delete(Handle font);
// Ascent and line height in px.
void font_metrics(Handle font, i32* ascent, i32* height);
// Width and height in px of the units (width: the sum of whole-px advances).
void text_extent(Handle font, const u16* units, u32 count, i32* width, i32* height);

// The folder of the system fonts into the buffer: its length, 0 when it does not fit.
u32 system_fonts(u8* buffer, u32 capacity);
// The file of a role's system font inside that folder.
mem::Bytes system_font_file(u32 role);
// 1 when the folder lies on a local file system (not a network one): the only kind fonts are read from.
u32 local_drive(mem::Bytes folder);

// ---- Icons

// An icon from packed 0xAARRGGBB pixels (not premultiplied), 1..256 a side; 0 on failure.
Handle icon_create(const u32* pixels, i32 width, i32 height);
void icon_delete(Handle icon);
// The icon's size and its rows (straight alpha, top-down) into out (width x height pixels, packed) when out is
// not null: 1, or 0 for no icon.
u32 icon_pixels(Handle icon, u32* out, u64 capacity, i32* width, i32* height);

}  // namespace gdi
