#pragma once
// The fixture machines of the collector tests (trees of /proc and /sys files) and small helpers to read what the
// collector wrote.
#include <string>

#include "base/mem.h"

namespace machines {

inline std::string fixture(const std::string& machine) {
  return std::string(VIMBREL_FIXTURES) + "/sampling/" + machine;
}
inline mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// A UTF-16 text of the record as ASCII, up to its first 0 unit.
inline std::string ascii(const u16* units, size_t cap) {
  std::string s;
  for (size_t i = 0; i < cap && units[i]; ++i) s += static_cast<char>(units[i]);
  return s;
}

}  // namespace machines
