// Fuzzing the MCP server's JSON: every input is read as a message (the table must stay well formed, and an accepted
// message must come back the same after a round through the writer) and written as a string (the reader must accept
// what the writer makes of any bytes). A fault stops the run, as does any memory fault the sanitizers see.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/mcp/json_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mem::Bytes in(data, size);
  std::string faults = json_check::check_all(in) + json_check::check_written(in);
  if (!faults.empty()) {
    fprintf(stderr, "%s", faults.c_str());
    abort();
  }
  return 0;
}
