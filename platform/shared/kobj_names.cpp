// Names of the kernel objects that need no system. Both backends share them.
#include "platform/kobj.h"

namespace kobj {

u32 quit_event_name(u32 process_id, u8* buffer96) {
  mem::Bytes prefix = mem::lit("Local\\Vimbrel-quit-");
  __builtin_memcpy(buffer96, prefix.ptr, prefix.len);
  const char* digits = "0123456789abcdef";
  for (u32 i = 0; i < 8; ++i) buffer96[prefix.len + i] = static_cast<u8>(digits[(process_id >> (28 - 4 * i)) & 0xF]);
  return static_cast<u32>(prefix.len + 8);
}

}  // namespace kobj
