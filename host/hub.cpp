#include "host/hub.h"

namespace hub {

u16 parse_port(mem::Bytes text) {
  if (text.len < 1 || text.len > 5) return 0;
  u32 value = 0;
  for (u64 i = 0; i < text.len; ++i) {
    u8 c = text.ptr[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 0xFFFF ? static_cast<u16>(value) : 0;
}

// The web port must itself be a port: 65534 + 2 would wrap.
u16 web_port(u16 port, u32 flags) {
  if ((flags & flag_web) == 0 || port < 1 || port > 65533) return 0;
  return static_cast<u16>(port + 2);
}

}  // namespace hub
