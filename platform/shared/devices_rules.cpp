// The storage queries' byte layouts that need no system: the NVMe health-log question and where its answer holds the
// log. Both backends share them.
#include "platform/devices.h"

namespace devices {

namespace {

void put32(u8* at, u32 v) {
  for (u32 i = 0; i < 4; ++i) at[i] = static_cast<u8>(v >> (8 * i));
}

}  // namespace

bool health_request(mem::Slice request) {
  if (request.len < health_request_bytes) return false;
  mem::fill(mem::Slice{request.ptr, health_request_bytes}, 0);
  put32(request.ptr + 0, 50);   // the device's protocol-specific property
  put32(request.ptr + 4, 0);    // a standard query
  put32(request.ptr + 8, 3);    // protocol NVMe
  put32(request.ptr + 12, 2);   // data type: a log page
  put32(request.ptr + 16, 2);   // log page 2: SMART / health information
  put32(request.ptr + 20, 0);   // sub-value
  put32(request.ptr + 24, 40);  // the log follows the 40 bytes of protocol data
  put32(request.ptr + 28, 512);
  return true;
}

u32 health_log_of(mem::Bytes answer, u32 returned, mem::Slice out) {
  u64 end = returned < health_request_bytes ? returned : health_request_bytes;
  if (end > answer.len) end = answer.len;
  if (end <= health_log_at || out.len < 512) return 0;
  u32 bytes = static_cast<u32>(end - health_log_at);
  __builtin_memcpy(out.ptr, answer.ptr + health_log_at, bytes);
  return bytes;
}

}  // namespace devices
