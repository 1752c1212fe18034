// Fuzzing the readers of the release notes that the update server sends: any bytes are the notes file. The header
// check answers the header's own length only for exactly the header of that version; the sanitised text keeps to
// printable bytes and line ends and never grows; the banner's first item is a slice of the text within one line.
// Any memory fault the sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "tests/fuzz/fault.h"
#include "update/updstate.h"

namespace {
void fail(const char* what) { fuzz::fault("release notes", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const mem::Bytes file(data, size);
  // The version the notes are checked against comes from the first bytes, so that the fuzzer can reach the header.
  const u32 a = size > 0 ? data[0] % 4 : 0, b = size > 1 ? data[1] % 4 : 1, c = size > 2 ? data[2] : 81;
  u8 header[64];
  updstate::Buf h{header, sizeof header, 0};
  updstate::notes_header(a, b, c, &h);
  const u64 checked = updstate::check_notes(file, a, b, c);
  const bool starts = size >= h.len && memcmp(data, header, h.len) == 0;
  if (checked != updstate::notes_other && (checked != h.len || !starts)) fail("a header taken that is not the version's");
  if (checked == updstate::notes_other && starts) fail("the version's own header refused");

  static u8 clean[1 << 16];
  const mem::Bytes text(data, size < sizeof clean ? size : sizeof clean);
  const u32 n = updstate::sanitise_notes(text, mem::Slice{clean, sizeof clean});
  if (n > text.len) fail("the sanitised text grew");
  for (u32 i = 0; i < n; ++i) {
    if (clean[i] != '\n' && (clean[i] < 32 || clean[i] > 126)) fail("a byte outside the printable ones kept");
  }
  if (updstate::sanitise_notes(mem::Bytes(clean, n), mem::Slice{clean, sizeof clean}) != n) {
    fail("sanitising twice changed the text");
  }
  const mem::Bytes item = updstate::first_item(mem::Bytes(clean, n));
  if (item.len != 0) {
    if (item.ptr < clean || item.ptr + item.len > clean + n) fail("the first item lies outside the text");
    if (memchr(item.ptr, '\n', item.len) != nullptr) fail("the first item runs past its line");
  }
  return 0;
}
