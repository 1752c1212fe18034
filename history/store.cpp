#include "history/store.h"

namespace store {
namespace {

const u8 hex_digits[] = "0123456789abcdef";

}  // namespace

void path_set(Path* path, mem::Bytes text) {
  path->length = 0;
  path->overflow = 0;
  path_text(path, text);
}

void path_text(Path* path, mem::Bytes bytes) {
  if (bytes.len >= path_capacity - path->length) {
    path->overflow = 1;
    return;
  }
  if (bytes.len != 0) __builtin_memcpy(path->text + path->length, bytes.ptr, bytes.len);
  path->length += static_cast<u32>(bytes.len);
}

void path_join(Path* path, mem::Bytes component) {
  if (path->length != 0 && path->text[path->length - 1] != separator) {
    u8 sep = separator;
    path_text(path, mem::Bytes(&sep, 1));
  }
  path_text(path, component);
}

void path_term(Path* path, u32 term) {
  u8 name[8];
  for (u32 i = 0; i < 8; ++i) name[i] = hex_digits[(term >> (28 - 4 * i)) & 0xF];
  path_join(path, mem::Bytes(name, 8));
}

void path_id(Path* path, const u8* id16) {
  u8 name[32];
  for (u32 i = 0; i < 16; ++i) {
    name[2 * i] = hex_digits[id16[i] >> 4];
    name[2 * i + 1] = hex_digits[id16[i] & 0xF];
  }
  path_join(path, mem::Bytes(name, 32));
}

mem::Bytes path_of(const Path* path) { return mem::Bytes(path->text, path->length); }

}  // namespace store
