#pragma once
// The drawing layer that every page calls. It takes rectangles, text and images in logical px at 96 DPI and colours
// as 0x00BBGGRR, scales them to the monitor's DPI and sends them either down the GDI road (a back buffer copied
// whole to the window) or into the own tile renderer, whose kept frame lives in the shared frame record.
//
// A paint runs: draw::limit_box, then draw::again (the kept frame shown as it is) or draw::begin, the page's calls,
// draw::present. Between paints the pages fill two dirty lists: the redo list (areas to draw again) and the show
// list (areas to send to the window). When both say the change is small, the frame is partial: only commands under
// the redo list are recorded, only their tiles are binned and hashed again, and only the show rectangles are sent.
// Between frames the kept frame can also be changed in place (paint, short texts, moved rows); each such change
// clears the hashes of the tiles it touched so that the next real frame composes them again.
#include "base/mem.h"
#include "drawing/render.h"
#include "drawing/soft.h"
#include "platform/gdi.h"
#include "platform/section.h"

namespace draw {

// Edges in px (logical when passed to draw, physical after scale_rect); right and bottom exclusive.
struct Rect {
  i32 left, top, right, bottom;
};

struct Size {
  i32 width, height;
};

constexpr u32 list_size = 64;
constexpr u32 roles = 4;
constexpr u32 no_role = 0xFFFFFFFF;
constexpr u32 run_size = 4096;     // glyphs per recorded run
constexpr u32 icon_side = 128;     // the icon image is 128 x 128
constexpr u32 ink_most = 96;       // units of one in-place text
constexpr u32 move_most = 128;     // rows of one move
constexpr u32 folder_most = 1036;  // units of a font folder

// Start and frame results: the surface's status and the frame record's status word.
enum : u8 {
  fine = 0,
  font_refused = 1,    // a font file cannot be read or its face was refused (bad_font names the role)
  no_memory = 2,       // memory, the renderer's set-up or the record's mapping failed
  frame_failed = 3,    // the last own-renderer frame failed and the GDI road drew it
  record_refused = 4,  // the record cannot be made owner-only, or one of that name exists
  no_fonts = 5,        // no usable font folder
  hash_disagrees = 6,  // frames succeed but the tile hash check failed, so partial frames are off
};
mem::Bytes status_text(u32 status);

// The frame record: a named shared section "Local\VimbrelFrame-<window handle in hex>" read by an outside test
// driver. u32 little-endian words at these byte offsets, then the kept frame's pixels from byte 64.
enum : u32 {
  word_magic = 0,
  word_frames = 4,    // +1 at each successful present and each re-show
  word_mode = 8,      // 1 own renderer, 0 GDI
  word_width = 12,
  word_height = 16,
  word_stride = 20,   // pixels per row of the pixel area
  word_micros = 24,   // present time of the last drawn frame
  word_status = 28,
  word_busy = 32,     // 1 while the kept pixels are written
  word_request = 36,  // words 36 to 60 belong to the window
  word_window = 40,
  word_inputs = 44,
  word_input = 48,
  word_value1 = 52,
  word_value2 = 56,
  word_model = 60,
  frame_header = 64,
};
constexpr u32 frame_magic = 0x5646524D;  // "MRFV"

// A dirty list: edges as int16 in px.
struct List {
  i16 left[list_size], top[list_size], right[list_size], bottom[list_size];
};

// What the own renderer needs beside render::Renderer, taken from the same arena.
struct Vimb {
  render::Renderer* renderer;
  i32 face[roles];  // face index per role, -1 until added
  i32 px[roles], ascent[roles], line_height[roles];
  u32 icon_image;  // render::none when there is none
  i32 icon_width, icon_height;
  u32* icon_pixels;   // 128 x 128, premultiplied
  u32* icon_scratch;  // the icon's rows as read
  u32* run_ids;
  i32* run_x;
  i32* run_y;          // stays 0
  u32* marks;          // per tile: the part epoch that marked it
  u32 epoch;
  // Per tile: the send epoch in which its kept pixels were written other than by composing (a sheet written through,
  // an in-place change); such tiles go to the window with the next send, with the tiles that were composed.
  u32* touched;
  u32 send_epoch;
  i32 sheet_slot;      // the image slot sheets are shown through, -1 none
  u32* pixels;         // the kept frame: the record's pixel area
  u64 pixel_count;
  u32 frame_width, frame_height, stride, rows;
};

struct Surface {
  soft::Font* fonts[roles];  // the GDI road's fonts by role (null when a font cannot be read)
  soft::Back back;           // the GDI road's back buffer
  gdi::Handle system;        // the system's GDI road, 0 where the road is drawn in software
  mem::Arena road;           // the GDI road's font files, faces, fonts and icon scratch
  u32* icon_scratch;         // the window icon's pixels as read for the GDI road
  gdi::Handle window, icon;
  u16 dpi;
  u8 use_vimb;  // the own renderer started and is used
  u8 mode;      // path of the current frame: 1 own renderer, 0 GDI
  u8 status;
  u8 failed, failed_before;
  u32 failed_count;  // change count, width and height of the last failed own-renderer frame
  i32 failed_width, failed_height;
  u32 bad_font;  // role whose font failed at start, no_role when none
  u64 frame_start;
  u64 frame_ticks[2];  // duration of the last frame per mode
  section::Section record;
  mem::Arena arena;  // the own renderer's
  Vimb* vimb;        // null when the own renderer never started
  u8 test_fonts;     // fonts come from a test folder
  u8 start_tried;    // a start ran; a failed one is not tried again
  u8 kept;           // the last frame was presented by the own renderer: its pixels stay valid
  u8 whole_only;     // draw every frame whole (to compare partial frames against whole ones)
  u32 present_count;
  i32 present_width, present_height;
  u8 box_set;
  i32 box_top, box_bottom, box_left, box_right;
  u8 partial, overflow, shows_cover, dirty_only, hash_mismatch;
  u8 redo_count, show_count;
  List redo, shows;
  mem::Bytes test_folder;  // the caller's, for the GDI road's fonts
};

// ---- Coordinates (integers; the DPI is normalised first)

u16 dpi_of(u32 dpi);
// Ceiling of x * dpi / 96.
i32 to_px(i32 x, u32 dpi);
// Floor and ceiling of x * 96 / dpi.
i32 to_logical(i32 x, u32 dpi);
i32 logical_up(i32 x, u32 dpi);
Rect scale_rect(u32 dpi, Rect r);
i32 tile_floor(i32 x);
i32 tile_ceil(i32 x);
i32 band_top(i32 limit, u32 row);
i32 band_bottom(i32 low, u32 row, u32 any, i32 height);
bool rows_even(i32 x, u32 dpi);

// ---- Dirty lists

void redo(Surface* s, Rect r);
void redo_px(Surface* s, Rect r);
void show(Surface* s, Rect r);
void show_px(Surface* s, Rect r);
bool wanted(const Surface& s, i32 left, i32 top, i32 right, i32 bottom);
bool wanted_px(const Surface& s, i32 left, i32 top, i32 right, i32 bottom);
Rect shows_box(const Surface& s);
// The 16-px tile at (x, y), cut at the frame's size, lies inside one show rectangle.
bool covered(const Surface& s, i32 x, i32 y, i32 width, i32 height);
void changed(Surface* s);
void invalidate(Surface* s);

// ---- Paint pipeline

void limit_box(Surface* s, Rect paint, bool dirty_only);
u32 again(Surface* s, gdi::Handle window, i32 width, i32 height);
void begin(Surface* s, gdi::Handle window, i32 width, i32 height);
u32 present(Surface* s, gdi::Handle window, i32 width, i32 height);
u32 blit(Surface* s, gdi::Handle window, Rect r, i32 width, i32 height);
bool hash_agrees(const render::Renderer& r);
u64 tile_sum(const render::Renderer& r, u32 tile);

// Partial binning: only the tiles under the redo list get new lists and hashes. 0 when the lists do not fit.
u32 bin_parts(Surface* s);
Rect mark_parts(Surface* s);  // the box of marked tiles, in tiles
void count_parts(Surface* s, Rect box);
u32 place_parts(Surface* s, Rect box);
void scatter_parts(Surface* s, Rect box);
void hash_parts(Surface* s, Rect box);

// ---- Drawing calls, fonts and colours

i32 font_height(u32 role);
i32 font_px(u32 role, u32 dpi);
// The GDI road's font of a role: the face's name and the pitch-and-family value.
const char* font_face(u32 role);
u32 font_pitch(u32 role);
u32 bgra(u32 colorref);
u32 premultiply(u32 pixel);
u32 div255(u32 x);
u32 code_point(u32 hi, u32 lo);

// A GDI surface for the window; test_folder (may be empty) gives the fonts of the GDI road under a test.
void init(Surface* s, gdi::Handle window, gdi::Handle icon, mem::Bytes test_folder);
// Releases fonts, back buffer, record and renderer; the record's name is removed.
void close(Surface* s);
Size cell(const Surface& s);
void set_dpi(Surface* s, u32 dpi, gdi::Handle icon);
void fill(Surface* s, Rect r, u32 colour);
void text(Surface* s, u32 role, const u16* text, u32 count, i32 x, i32 y, Rect clip, u32 colour,
          const i32* advances);
Size measure(Surface* s, u32 role, const u16* text, u32 count);
void icon(Surface* s, i32 x, i32 y, i32 size);
void mark(Surface* s, Rect r, u32 value);
void ensure_back(Surface* s, gdi::Handle window, i32 width, i32 height);
void make_fonts(Surface* s);

// ---- Own-renderer start, text and the frame record

u32 select(Surface* s, u32 use_own, const u8* folder, u32 folder_length, i32 cell_width, i32 cell_height,
           u32 rect_limit);
i32 virtual_side(i32 metric, i32 floor);
// The font folder into out (folder_most bytes): its length, 0 when there is none that may be used.
u32 fonts_dir(const u8* folder, u32 length, u8* out);
bool local_folder(mem::Bytes path);
mem::Bytes font_file(u32 role, bool test_fonts);
// The file's bytes from the arena, or empty when it cannot be read or is empty or above 64 MiB.
mem::Bytes read_font(mem::Arena* arena, mem::Bytes folder, mem::Bytes name);
u32 frame_cells(i32 width, i32 height, i32 cell_width, i32 cell_height);
render::Limits vimb_limits(i32 width, i32 height, i32 cell_width, i32 cell_height, u32 rect_limit);
u64 arena_bytes(const render::Limits& limits);
u32 start_vimb(Surface* s, i32 width, i32 height, i32 cell_width, i32 cell_height, u32 rect_limit,
               const u8* folder, u32 folder_length);
u32 open_frame(Surface* s, u64 bytes);
// The record's name for a window handle into 64 bytes: its length.
u32 frame_name(gdi::Handle window, u8* out64);
void vimb_metrics(Vimb* v, const Surface& s);
void vimb_text(Vimb* v, u32 role, const u16* text, u32 count, i32 x, i32 y, Rect clip, u32 colour,
               const i32* advances);
Size vimb_measure(const Vimb& v, u32 role, const u16* text, u32 count);
u32 load_icon(Surface* s);
u32 fill_icon(Vimb* v, gdi::Handle icon, bool update);
u32 copy_icon(Surface* s);

// ---- Sheets and in-place changes of the kept frame

// A pixel buffer the caller owns (0xAARRGGBB premultiplied), shown as an image without copying.
struct Sheet {
  u32* pixels;
  u32 stride, width, height;  // stride in pixels
  i32 slot;                   // renderer image slot, -1 when not bound
};

i32 sheet_add(render::Renderer* r);
void bind_sheet(Surface* s, Sheet* sheet);
void sheet_show(Surface* s, const Sheet& sheet, i32 source_x, i32 source_y, i32 width, i32 height, i32 x, i32 y,
                bool write_through, Rect keep_out, i32 band_left, i32 band_right, i32 row_limit);
void copy_rows(Surface* s, const Sheet& sheet, i32 source_x, i32 source_y, i32 width, i32 height, i32 x, i32 y,
               Rect keep_out, i32 band_left, i32 band_right, i32 row_limit);
void copy_span(u32* to, const u32* from, u32 count);
bool touchable(const Surface& s, Rect r);
bool pending_in(const Surface& s, Rect px);
u32 paint(Surface* s, Rect r, u32 colour);
u32 ink(Surface* s, u32 role, const u16* text, u32 count, i32 x, i32 y, Rect clip, u32 colour);
u32 ink_mix(u32 pixel, u32 colour, u32 c);
u32 move_rows(Surface* s, Rect region, i32 row_height, const i32* order, u32 count, u32* scratch,
              u64 scratch_pixels);
u64 move_pixels(const Surface& s, Rect region, i32 row_height);
u64 band_pixels(i32 left, i32 right, i32 last_width, i32 row_px);
void poison(Surface* s, i32 left, i32 top, i32 right, i32 bottom);
// The tiles under a px rectangle were written in the kept frame: the next send takes them.
void touch(Surface* s, i32 left, i32 top, i32 right, i32 bottom);
// The sheet's pixels changed: every tile that shows it is composed again in the next frame.
void sheet_changed(Surface* s, const Sheet& sheet);

}  // namespace draw
