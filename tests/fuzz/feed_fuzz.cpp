// Fuzzing the update feed's readers: every input is read as a version, an update URL, a feed URL and a manifest on
// both channels with and without local URLs; what is accepted must agree with the rules (tests/update/feed_check.h).
// A fault stops the run, as does any memory fault the sanitizers see.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/update/feed_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string faults = feed_check::check_all(mem::Bytes(data, size));
  if (!faults.empty()) {
    fprintf(stderr, "%s", faults.c_str());
    abort();
  }
  return 0;
}
