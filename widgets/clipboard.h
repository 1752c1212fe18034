#pragma once
// The one clipboard writer: every copy of the window (text field, Support page, process path, cluster key) goes
// through put_text, which tries a busy clipboard a few times and gives up within 50 ms, and marks a secret's copy
// private so that clipboard histories, cloud clipboards and monitors leave it alone. Plus the shell's two small ends:
// copying a byte text and reading pasted text.
#include "base/mem.h"
#include "platform/window.h"

namespace clipboard {

// Results of put_text.
enum : u32 {
  done = 1,
  failure = 6,  // no room for the text, or the clipboard refused it
  busy = 11,    // another program holds the clipboard open
};

inline constexpr u32 open_tries = 5;
inline constexpr u32 retry_ms = 10;

// The names of the private marks, in the order they are set.
mem::Bytes mark_name(u32 i);
inline constexpr u32 marks = 3;

u32 put_text(win::Thread* t, win::Handle window, const u16* text, u32 count, bool is_private);
u32 copy(win::Thread* t, win::Handle window, const u16* text, u32 count);
u32 copy_private(win::Thread* t, win::Handle window, const u16* text, u32 count);
// Opens the clipboard, trying up to five times with a 10 ms sleep after each failed try.
bool open(win::Thread* t, win::Handle window);
// Sets the named format with its zero value beside the text; a refusal is not reported.
void mark(win::Thread* t, mem::Bytes name);
// Zeroes the first count units of a text that was handed to the clipboard, so that no copy of a secret stays in
// memory the program still holds.
void wipe_free(u16* block, u32 count);

}  // namespace clipboard

namespace app {

inline constexpr u32 paste_most = 256;

// Widens at most 256 bytes, copies them (not private), zeroes the widened copy: true when the copy was done.
bool copy_text(win::Thread* t, win::Handle window, mem::Bytes text);
// The clipboard's 8-bit text, up to its first zero and at most 256 bytes, into the paste buffer: its length. The
// clipboard is tried once; when it cannot be opened or holds no text the length is 0.
u32 read_clipboard(win::Thread* t, win::Handle window, u8* paste256);

}  // namespace app
