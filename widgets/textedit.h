#pragma once
// The one single-line text input of the window: an editable record of at most 256 bytes of printable ASCII with a
// caret, a selection, word motions, insertion and deletion rules, optional masking for secrets, horizontal scroll,
// hit-testing and drawing. It knows nothing of windows or keys: the shell turns key presses, characters and pointer
// events into these operations, and the field's owner decides when its text counts.
#include "base/mem.h"
#include "drawing/draw.h"

namespace textedit {

inline constexpr u32 text_most = 256;

enum : u8 {
  masked = 0x1,    // shown as '*', cannot be copied or cut, word motions go to the ends
  dragging = 0x2,  // the button is held after a click: moves extend the selection
};

// Move kinds.
enum : u32 { left = 0, right = 1, word_left = 2, word_right = 3, home = 4, end = 5, no_move = 6 };

// Character classes.
enum : u32 { blank = 0, word = 1, other = 2 };

struct Field {
  i32 scroll;   // px the text is shifted left inside its box
  u16 length;   // bytes of text, 0..256
  u16 caret;    // the moving end of the selection, 0..length
  u16 anchor;   // the other end; caret = anchor: no selection
  u8 flags;
  u8 text[text_most];  // bytes from length on are zero
};
static_assert(sizeof(Field) == 268);
static_assert(__builtin_offsetof(Field, text) == 11);

u32 char_class(u8 c);

void clear(Field* f);
// Clears the record, takes the first 256 bytes at most, puts caret and anchor at the end and sets the flags.
void set_text(Field* f, mem::Bytes text, u8 flags);
u16 sel_start(const Field& f);
u16 sel_end(const Field& f);
// A non-empty selection in a field that is not masked.
bool has_selection(const Field& f);
// The selected bytes when has_selection holds, else empty.
mem::Bytes copy_from(const Field& f);
// Deletes the selection when has_selection holds: true when it did.
bool cut(Field* f);
// Removes start..end-1 (clamped to the text), closes up, zeroes what is freed; caret and anchor go to start.
void delete_range(Field* f, u32 start, u32 end);
// Replaces the selection with the printable bytes of the input, as many as fit: true when something changed.
bool insert(Field* f, mem::Bytes bytes);
bool type_char(Field* f, u32 code);
// Backspace (forward false) or Delete (true), by word with Control: true when something changed.
bool backspace_delete(Field* f, bool forward, bool by_word);

// The move kind of a virtual key: End 5, Home 4, Left 0 (2 with Control), Right 1 (3 with Control), else 6.
u32 key_kind(u32 virtual_key, bool control);
// In a masked field word motions go to the ends.
u32 move_kind(u32 kind, bool is_masked);
// Where a move puts the caret; Left or Right without extend collapse a selection to its edge.
u16 move_target(const Field& f, u32 kind, bool extend);
void move(Field* f, u32 kind, bool extend);
// Where the next word starts after p.
u16 word_end(const Field& f, u32 p);
// Where the word before p starts.
u16 word_start(const Field& f, u32 p);
void put_caret(Field* f, u32 position, bool extend);
// The double-click selection around p: the run of same-class bytes (everything in a masked field).
void select_word(Field* f, u32 p);
// Cuts the text to n bytes when it is longer: true when it cut.
bool truncate(Field* f, u32 n);

// The units to draw and measure into 256 units: each byte, or '*' for each byte when masked. The count.
u32 shown_text(const Field& f, bool is_masked, u16* buffer256);

// ---- Measuring, scrolling, hit-testing and drawing. `box` is the field's rectangle; the text lives in it narrowed
// by 8 px on each side.

draw::Rect inner(draw::Rect box);
// Width in logical px of the first count units in the role's font.
i32 width_of(draw::Surface* s, u32 role, const u16* units, u32 count);
// The scroll that shows the caret at x (width of the text before it), from scroll s, box width w, text width t.
i32 scroll_for(i32 caret_x, i32 s, i32 box_width, i32 text_width);
// The fitted scroll computed from the stored one.
i32 fit_scroll(draw::Surface* s, u32 role, const Field& f, bool is_masked, draw::Rect box);
// Stores the fitted scroll in the field (after every change).
void scroll(draw::Surface* s, u32 role, Field* f, bool is_masked, draw::Rect box);
// The caret position nearest to the pointer's x; ties go left.
u16 click_at(draw::Surface* s, u32 role, const Field& f, bool is_masked, draw::Rect box, i32 x);
// The selection band, the text and the caret (a 1-px bar that does not blink).
void draw(draw::Surface* s, u32 role, const Field& f, bool is_masked, draw::Rect box, u32 text_colour,
          u32 selection_colour);

}  // namespace textedit
