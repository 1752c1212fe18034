// Fuzzing the decoders of what the firmware and the drives hand over: the raw SMBIOS table (the memory modules are
// read from it), a storage query's answer carrying an NVMe health log, that log's temperature, and the storage
// temperature answer. The input's first byte says how many bytes the answer claims to have returned. Results stay
// within their fields' ranges; any memory fault the sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "platform/devices.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "tests/fuzz/fault.h"

namespace {
void fail(const char* what) { fuzz::fault("firmware and drive records", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const mem::Bytes bytes(data, size);
  hw::Memory memory;
  memset(&memory, 0xA5, sizeof memory);
  hw::smbios_decode(bytes, &memory);
  if (memory.slots_used > memory.slots && memory.slots != 0) fail("more slots used than there are");

  u8 log[512];
  const u32 returned = size > 0 ? u32(data[0]) * 4 : 0;
  const u32 copied = devices::health_log_of(bytes, returned, mem::Slice{log, sizeof log});
  if (copied > sizeof log || copied > size) fail("a log longer than its answer or its room");
  // The log's reading is in kelvin: in tenths of a degree it never lies below absolute zero.
  const i16 from_log = heat::from_health(mem::Bytes(log, copied));
  if (from_log != heat::no_reading && from_log < -2731) fail("a temperature below absolute zero");
  heat::from_storage(bytes);
  return 0;
}
