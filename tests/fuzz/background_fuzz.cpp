// Fuzzing the background copy's readers of outside bytes: background.txt (the roles a user or the window chose)
// and the version line a probed program prints. An accepted file, written again and read back, gives the same
// settings; a version line read gives a version that reads back the same when written. Any memory fault the
// sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include <memory>

#include "tests/fuzz/fault.h"
#include "update/background.h"

namespace {
void fail(const char* what) { fuzz::fault("background.txt", what); }

// The fields as a reader of the record sees them: bytes past a field's length are not part of it.
bool same(const background::Settings& a, const background::Settings& b) {
  return a.flags == b.flags && a.port == b.port && a.listen_length == b.listen_length &&
         a.source_length == b.source_length && memcmp(a.listen, b.listen, a.listen_length) == 0 &&
         memcmp(a.source, b.source, a.source_length) == 0;
}

void check_settings(mem::Bytes in) {
  auto first = std::make_unique<background::Settings>(), second = std::make_unique<background::Settings>();
  if (!background::parse_settings(in, first.get())) {
    if (first->flags != 0) fail("a refused file left a role on");
    return;
  }
  if (first->listen_length > sizeof first->listen || first->source_length > background::path_max) {
    fail("a field longer than its room");
  }
  // A line loses one CR before its end when read, so a value that itself ends in CR cannot go round; the program
  // never writes one (its source is its own path).
  if (first->source_length && first->source[first->source_length - 1] == '\r') return;
  u8 text[background::settings_read_max];
  u32 n = background::format_settings(first.get(), mem::Slice{text, sizeof text});
  if (n == 0 || n > sizeof text) fail("accepted settings do not write within the read bound");
  if (!background::parse_settings(mem::Bytes(text, n), second.get())) fail("the written file is refused");
  if (!same(*first, *second)) fail("the settings changed on a second round");
}

void check_version(mem::Bytes in) {
  u32 packed = background::parse_version_line(in);
  if (packed == 0) return;
  if (packed > 0xFFFFFF) fail("a version part above 255");
  u8 line[24] = {'v', 'i', 'm', 'b', 'r', 'e', 'l', ' '};
  u32 n = 8 + background::append_version(packed, line + 8);
  if (background::parse_version_line(mem::Bytes(line, n)) != packed) fail("a version that does not read back");
  u8 message[160];
  background::keep_copy_message(packed, packed, mem::Slice{message, sizeof message});
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mem::Bytes in(data, size);
  check_settings(in);
  check_version(in);
  return 0;
}
