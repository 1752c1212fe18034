#include "cluster/cluster.h"

#include "host/hub.h"

namespace cluster {
namespace {

bool is_digit(u8 c) { return c >= '0' && c <= '9'; }

bool is_drive_path(mem::Bytes t) {
  if (t.len < 4) return false;
  u8 letter = t.ptr[0] | 0x20;
  return letter >= 'a' && letter <= 'z' && t.ptr[1] == ':' && (t.ptr[2] == '\\' || t.ptr[2] == '/');
}

// "\\server\x...": the server name runs from byte 2 to the next backslash; something must follow that backslash.
bool is_unc_path(mem::Bytes t) {
  if (t.len < 2 || t.ptr[0] != '\\' || t.ptr[1] != '\\') return false;
  u64 end = 2;
  while (end < t.len && t.ptr[end] != '\\') ++end;
  return end > 2 && end + 1 < t.len;
}

bool is_posix_path(mem::Bytes t) { return t.len >= 2 && t.ptr[0] == '/'; }

}  // namespace

u64 parse_ipv4(mem::Bytes text) {
  u32 address = 0;
  u64 at = 0;
  for (u32 group = 0; group < 4; ++group) {
    if (group > 0) {
      if (at >= text.len || text.ptr[at] != '.') return 0;
      ++at;
    }
    u32 value = 0, digits = 0;
    while (at < text.len && is_digit(text.ptr[at]) && digits < 3) {
      value = value * 10 + (text.ptr[at] - '0');
      ++digits;
      ++at;
    }
    if (digits == 0 || value > 255) return 0;
    address = (address << 8) | value;
  }
  return at == text.len ? (ipv4_valid | address) : 0;
}

u32 target_kind(mem::Bytes text) {
  if (text.len < 1 || text.len > 160) return target_invalid;
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] < 32 || text.ptr[i] > 126) return target_invalid;
  }
  if (is_drive_path(text) || is_unc_path(text) || is_posix_path(text)) return target_path;
  u64 colon = 0;
  while (colon < text.len && text.ptr[colon] != ':') ++colon;
  if (parse_ipv4(mem::Bytes(text.ptr, colon)) == 0) return target_invalid;
  if (colon == text.len) return target_server;
  mem::Bytes port(text.ptr + colon + 1, text.len - colon - 1);
  return hub::parse_port(port) != 0 ? target_server : target_invalid;
}

bool is_lease_option(mem::Bytes word) { return mem::eq(word, mem::lit("--lease")); }

}  // namespace cluster
