#include "base/path.h"

namespace store {

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

mem::Bytes path_of(const Path* path) { return mem::Bytes(path->text, path->length); }

}  // namespace store
