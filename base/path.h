#pragma once
// The bounded path builder that the platform layer and the storage code share: a fixed 260-byte text that never
// grows past 259 bytes and remembers when something did not fit, so a caller tests one flag after building instead
// of checking every step. It belongs to the storage module's names (store::), and lives here, below the platform
// layer, because the platform's own file, window and job code build their paths with it too.
#include "base/mem.h"

namespace store {

// The separator that `path_join` puts between components.
inline constexpr u8 separator = '/';
inline constexpr u32 path_capacity = 260;

struct Path {
  u8 text[path_capacity];  // no terminating zero
  u32 length;
  u8 overflow;  // set when an append did not fit; stays set until path_set
};

// Starts over with the text: length and overflow cleared, then the text appended.
void path_set(Path* path, mem::Bytes text);
// Appends the bytes when the result stays below 260 bytes; otherwise sets the overflow flag and appends nothing.
void path_text(Path* path, mem::Bytes bytes);
// Appends one separator (unless the path is empty or already ends in one), then the component.
void path_join(Path* path, mem::Bytes component);
// The text built so far.
mem::Bytes path_of(const Path* path);

}  // namespace store
