#include "update/pe.h"

namespace pe {
namespace {

u32 u16_at(mem::Bytes b, u64 at) { return u32(b.ptr[at]) | u32(b.ptr[at + 1]) << 8; }
u32 u32_at(mem::Bytes b, u64 at) { return u16_at(b, at) | u16_at(b, at + 2) << 16; }

}  // namespace

bool find_rsrc(mem::Bytes head, u32* offset, u32* size) {
  *offset = *size = 0;
  if (head.len < 64) return false;
  const u64 header = u32_at(head, 60);
  if (header >= head.len || head.len - header <= 23) return false;
  if (head.ptr[header] != 'P' || head.ptr[header + 1] != 'E' || head.ptr[header + 2] || head.ptr[header + 3]) {
    return false;
  }
  const u64 table = header + 24 + u16_at(head, header + 20);
  const u32 count = u16_at(head, header + 6);
  static constexpr u8 name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (u64 i = 0; i < count; ++i) {
    const u64 entry = table + 40 * i;
    if (entry + 40 > head.len) break;
    if (!mem::eq(mem::Bytes(head.ptr + entry, 8), mem::Bytes(name, 8))) continue;
    *offset = u32_at(head, entry + 20);
    *size = u32_at(head, entry + 16);
    return true;
  }
  return false;
}

bool fixed_version(mem::Bytes section, u32* ms, u32* ls) {
  *ms = *ls = 0;
  for (u64 at = 0; at + 16 <= section.len; at += 4) {
    if (u32_at(section, at) != 0xFEEF04BDu || u32_at(section, at + 4) != 0x00010000u) continue;
    *ms = u32_at(section, at + 8);
    *ls = u32_at(section, at + 12);
    return true;
  }
  return false;
}

}  // namespace pe
