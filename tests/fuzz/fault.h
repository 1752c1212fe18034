#pragma once
// What every fuzz target does when a property fails: say which and stop the run, so that libFuzzer keeps the input.
#include <stdio.h>
#include <stdlib.h>

namespace fuzz {

[[noreturn]] inline void fault(const char* target, const char* what) {
  fprintf(stderr, "%s: %s\n", target, what);
  abort();
}

}  // namespace fuzz
