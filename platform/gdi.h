#pragma once
// What the drawing layer needs from the window system: windows whose pixels are presented from 32-bit images, the
// system fonts by role, icons, the size of the virtual screen, and the system's own GDI road where there is one.
// Drawing itself (the own renderer, and the software GDI road of drawing/soft) belongs to the drawing layer; the
// platform presents pixels, and draws only where the system's GDI does the drawing.
//
// Images are 32-bit pixels 0xAARRGGBB, rows top-down. Handles are 0 for none. The system's font files by role are
// Lato and DejaVu Sans Mono on Linux, segoeui.ttf and consola.ttf on Windows. A headless window is an in-memory bitmap that presents land in and that
// tests read back; the window layer (platform/window.h) makes one for each of its windows, and on a display it
// passes what is presented there on to the display's window through the window's present hook.
#include "base/mem.h"
#include "platform/section.h"

namespace gdi {

using Handle = u64;

// ---- Windows

// A headless window: an in-memory bitmap of width x height (1..16,384 each), black. 0 on failure.
Handle open_headless(i32 width, i32 height);
// Display windows come from the window layer (a headless window with a present hook): always 0.
Handle open_window(i32 width, i32 height);
void close_window(Handle window);
// Gives a headless window a new size, cleared black: 1, or 0 for another handle or a size out of range.
u32 resize_window(Handle window, i32 width, i32 height);
// The number that names the window to other processes (the window layer's handle; the frame record is named after
// it): the number given with set_window_id, else the handle itself.
u64 window_id(Handle window);
void set_window_id(Handle window, u64 id);
// The presented pixels of a headless window, rows of *width pixels; null for a display window and any other handle
// (the size is given for a display window too).
const u32* window_pixels(Handle window, i32* width, i32* height);
// Count of presents that reached the window, and the pixels they carried (for tests of what is sent).
u64 window_sends(Handle window, u64* pixels_sent);

// What a present sends: the block of the window (cut to it, not empty) and where its pixels are.
struct Block {
  i32 x, y, width, height;
  const u32* pixels;  // the block's first pixel
  u32 stride;         // pixels per row of the source
  u64 share;          // the shared memory (share_memory) holding the pixels, 0 when they lie in private memory
  i32 share_fd;       // a descriptor of that memory that a window system may map, -1 none
  u64 share_bytes;    // its size, and the byte offset of the block's first pixel inside it
  u64 share_offset;
  u8 held;  // 1 inside a frame (begin_frame): the hook may keep what it sends until end_frame
};

// The part of a w x h block of pixels (stride in pixels; pixels at the block's first one) placed at (x, y) that lies
// inside a window of width x height: true and that part, its pixels in private memory, when any of it does.
bool clip_block(i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride, i32 width, i32 height, Block* out);

// A window with a present hook is shown by the hook's owner (a display window): each present goes to the hook and
// the window keeps no pixels of its own (window_pixels gives null). The hook answers 1 when the block reached the
// display, or, for a held block, when it was taken to be sent. An empty block (width 0) at the end of a frame asks
// it to send what it holds.
using PresentHook = u32 (*)(void* context, Handle window, const Block& block);
void set_present_hook(Handle window, PresentHook hook, void* context);

// Copies a w x h block of a top-down 32-bit image (stride in pixels; pixels points at the block's first pixel) to
// (x, y) of the window, cut to the window: 1 when the window took it, 0 when it failed.
u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride);

// The presents of one frame go as one: between begin_frame and end_frame a window system that buffers what it sends
// (a display connection, a device context) may keep the blocks and sends them all at end_frame, once a frame
// rather than once a block. end_frame answers 1 when what was kept reached the display (also when nothing was).
void begin_frame(Handle window);
u32 end_frame(Handle window);

// Names a section whose pixels the window presents from (the frame record): a window system that can map it takes
// presents from inside it where they are, with no copy. A closed section ends the sharing.
void share_memory(Handle window, const section::Section& memory);

// The size of the screen the window is on, every monitor included, as its window system gives it (0 x 0 for a
// headless window); the window system sets it.
void set_screen(Handle window, i32 width, i32 height);
// Width and height of the virtual screen (every monitor) of the window's display; 0 when there is no display.
i32 virtual_width(Handle window);
i32 virtual_height(Handle window);

// ---- System fonts by role: 0 body text, 1 fixed pitch, 2 icon glyphs, 3 small text

// The folder of the system fonts into the buffer: its length, 0 when it does not fit.
u32 system_fonts(u8* buffer, u32 capacity);
// The file of a role's system font inside that folder.
mem::Bytes system_font_file(u32 role);
// 1 when the folder lies on a local file system (not a network one): the only kind fonts are read from.
u32 local_drive(mem::Bytes folder);

// ---- The system's own GDI road

// Where the system draws text itself (Windows), the GDI road is its GDI: fonts by role, a back buffer made for the
// window, opaque fills, text and its measure, the icon, blocks of pixels, and the whole buffer copied to the window.
// A system without one (Linux, the browser) answers road_open with 0 and the drawing layer draws the road itself.
// Coordinates are px, colours 0x00BBGGRR.
Handle road_open(Handle window);
void road_close(Handle road);
// (Re)makes a role's font: the face's name, its character height in px, and the pitch-and-family value.
void road_font(Handle road, u32 role, const char* face, i32 px, u32 pitch_family);
// Gives the back buffer the size (at least 1 x 1); a buffer of that size is kept as it is.
void road_back(Handle road, i32 width, i32 height);
void road_fill(Handle road, i32 left, i32 top, i32 right, i32 bottom, u32 colorref);
// Text with its top-left corner at (x, y), clipped to the rectangle; advances, when not null, give each unit's
// advance in px.
void road_text(Handle road, u32 role, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right, i32 clip_bottom,
               u32 colorref, const u16* units, u32 count, const i32* advances);
void road_extent(Handle road, u32 role, const u16* units, u32 count, i32* width, i32* height);
// The icon at (x, y), side x side.
void road_icon(Handle road, Handle icon, i32 x, i32 y, i32 side);
// A w x h block of a top-down 32-bit image at (x, y), replacing the pixels under it.
void road_image(Handle road, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride);
// The whole back buffer to the window: 1 when it got there.
u32 road_present(Handle road, Handle window);

// ---- Icons

// An icon from packed 0xAARRGGBB pixels (not premultiplied), 1..256 a side; 0 on failure.
Handle icon_create(const u32* pixels, i32 width, i32 height);
void icon_delete(Handle icon);
// The icon's size and its rows (straight alpha, top-down) into out (width x height pixels, packed) when out is
// not null: 1, or 0 for no icon.
u32 icon_pixels(Handle icon, u32* out, u64 capacity, i32* width, i32* height);

}  // namespace gdi
