// Fuzzing the reader of the window's settings.txt, a file a user may edit or a full disk may cut: any bytes are
// read as the file; an accepted text, written again and read back, gives the same record, and the text written
// keeps to its bound. A refused text leaves the defaults. Any memory fault the sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "tests/fuzz/fault.h"
#include "update/updstate.h"

namespace {
void fail(const char* what) { fuzz::fault("settings.txt", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  updstate::Settings first, second, defaults;
  memset(&first, 0xA5, sizeof first);
  updstate::reset(&defaults);
  if (updstate::parse_settings(mem::Bytes(data, size), &first) == 0) {
    if (memcmp(&first, &defaults, sizeof first) != 0) fail("a refused text changed the defaults");
    return 0;
  }
  u8 text[512];
  u32 n = updstate::format_settings(&first, mem::Slice{text, sizeof text});
  if (n == 0 || n > 246) fail("an accepted record does not write within 246 bytes");
  if (updstate::parse_settings(mem::Bytes(text, n), &second) == 0) fail("the written text is refused");
  // Only what the file holds goes round; a version read clamped is marked so for this run alone.
  first.flags &= updstate::flag_checks_on | updstate::flag_range_600 | updstate::flag_automatic;
  second.flags &= updstate::flag_checks_on | updstate::flag_range_600 | updstate::flag_automatic;
  if (memcmp(&first, &second, sizeof first) != 0) fail("the record changed on a second round");
  return 0;
}
