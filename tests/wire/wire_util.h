#pragma once
// Small helpers of the cluster wire tests: byte vectors, their hex text, and copies with one field changed.
#include <string.h>

#include <string>
#include <vector>

#include "base/mem.h"

namespace wire_util {

using Bytes = std::vector<u8>;

inline mem::Bytes view(const Bytes& b) { return mem::Bytes(b.data(), b.size()); }
inline mem::Bytes view(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
inline mem::Slice slice(Bytes& b) { return mem::Slice{b.data(), b.size()}; }

inline std::string hexs(const u8* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::string rep(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Writes value little-endian over width bytes at offset at.
inline void le(Bytes& b, size_t at, u64 value, size_t width) {
  for (size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<u8>(value >> (8 * i));
}

inline Bytes with(Bytes b, size_t at, u8 value) {
  b.at(at) = value;
  return b;
}
inline Bytes with16(Bytes b, size_t at, u64 value) {
  le(b, at, value, 2);
  return b;
}
inline Bytes with32(Bytes b, size_t at, u64 value) {
  le(b, at, value, 4);
  return b;
}
inline Bytes with64(Bytes b, size_t at, u64 value) {
  le(b, at, value, 8);
  return b;
}

}  // namespace wire_util
