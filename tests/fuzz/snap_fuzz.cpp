// Fuzzing the snapshot reader: any bytes are offered as a snapshot file. A refused text is fine; an accepted one must
// be a snapshot, so written again it reads back to the same samples. A fault stops the run, as does any memory fault
// the sanitizers see (the reader must never touch a byte outside the text or the records).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/sampling/snap_pair.h"

namespace {

void fail(const char* what) {
  fprintf(stderr, "snap_fuzz: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  snap_pair::Pair first;
  if (!first.read(mem::Bytes(data, size))) return 0;
  for (auto& p : first.procs) {
    if (p->buffer.size > collect::proc_cap) fail("a process buffer above 12 MiB");
  }
  const std::string again = first.text();
  if (again.empty()) fail("an accepted snapshot does not fit its bound when written again");
  snap_pair::Pair second;
  if (!second.read(again)) fail("the rewritten text is refused");
  for (int k = 0; k < 2; ++k) {
    if (memcmp(first.sample[k].get(), second.sample[k].get(), sizeof(collect::Sample)) != 0) fail("samples differ");
    if (memcmp(&first.procs[k]->head, &second.procs[k]->head, sizeof(collect::ProcHeader)) != 0) fail("heads differ");
  }
  return 0;
}
