// Fuzzing the cluster wire: every input goes through the frame checks, every frame and record decoder, the opening
// of a sealed frame, the taking of a beacon datagram, and the key and publish file readers. A decoder that writes its output while refusing, accepts something it cannot encode
// again, or changes on a second round stops the run, as does any memory fault the sanitizers see.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/wire/decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mem::Bytes in(data, size);
  std::string faults = wire_check::check_all(in) + wire_check::check_opened(in) + wire_check::check_texts(in);
  if (!faults.empty()) {
    fprintf(stderr, "%s", faults.c_str());
    abort();
  }
  return 0;
}
