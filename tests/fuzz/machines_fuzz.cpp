// Fuzzing the reader of the Machines page's settings file, which a user may edit: any bytes are the file. What it
// keeps, written again, reads back to the same text, and the text keeps to its bound. Any memory fault the
// sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "pages/machines.h"
#include "tests/fuzz/fault.h"

namespace {
void fail(const char* what) { fuzz::fault("machines settings", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  machines::ListState first, second;
  memset(&first, 0, sizeof first);
  memset(&second, 0, sizeof second);
  machines::parse_settings(mem::Bytes(data, size), &first);
  u8 text[machines::settings_max], again[machines::settings_max];
  const u32 n = machines::format_settings(&first, text);
  if (n > machines::settings_max) fail("a text past its bound");
  machines::parse_settings(mem::Bytes(text, n), &second);
  const u32 m = machines::format_settings(&second, again);
  if (m != n || memcmp(text, again, n) != 0) fail("the written text read back differently");
  return 0;
}
