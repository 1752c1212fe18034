// Fuzzing the readers of the cluster key: the key file's text, and a key typed or pasted into the window's form or
// the dashboard's (the line, the 64 digits alone, blanks and quotes around them). An accepted key written out as
// its file's line reads back as the same key; a refused one leaves the zero key. Any memory fault the sanitizers
// see stops the run.
#include <stdint.h>
#include <string.h>

#include "wire/auth.h"
#include "wire/cluster.h"
#include "tests/fuzz/fault.h"

namespace {
void fail(const char* what) { fuzz::fault("cluster key", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const mem::Bytes text(data, size);
  u8 key[32], again[32];
  if (auth::parse_key(text, key) == auth::key_ok) {
    u8 line[auth::key_text_size];
    auth::format_key(key, line);
    if (auth::parse_key(mem::Bytes(line, sizeof line), again) != auth::key_ok) fail("a written key is refused");
    if (memcmp(key, again, sizeof key) != 0) fail("a written key reads back as another");
  }
  // A typed text that is neither a key nor its digits is taken as a file's path: only texts that cannot name a
  // file outside the current folder go through, and nothing is written.
  if (memchr(data, '/', size) != nullptr || memchr(data, '\\', size) != nullptr) return 0;
  cluster::KeyWork work;
  auth::KeyState state;
  u32 verdict = 0;
  const u32 result = cluster::import_key(text, mem::Bytes(), &work, &state, &verdict);
  if (result == cluster::import_done && verdict != auth::key_ok) fail("a key taken with a verdict against it");
  if (result != cluster::import_done && result != cluster::import_refused && result != cluster::import_unreadable) {
    fail("an answer outside done, refused and unreadable");
  }
  return 0;
}
