#pragma once
// What tests on every system share: byte views of strings, and environment values set for one test. The platform
// tests reach these through tests/platform/harness.h; tests built for Windows too include this alone.
#include <stdlib.h>

#include <optional>
#include <string>

#include "base/mem.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace harness {

inline mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
inline std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

// Sets (or unsets, with nullopt) one environment variable for the life of the object. On Windows the system's
// block is set as well as the C library's copy, since the program's own layer reads the system's.
struct EnvVar {
  std::string name;
  std::optional<std::string> saved;
  EnvVar(const std::string& variable, std::optional<std::string> value) : name(variable) {
    if (const char* old = getenv(name.c_str())) saved = old;
    set(value);
  }
  ~EnvVar() { set(saved); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");
    SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
#else
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
#endif
  }
};

}  // namespace harness
