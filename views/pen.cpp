#include "views/pen.h"

#include "base/bits.h"

namespace views {

namespace {

constexpr u64 fnv_prime = 0x100000001B3ull;

}  // namespace

u64 mix(u64 h, u64 word) { return (h ^ word) * fnv_prime; }
u64 mix_bytes(u64 h, mem::Bytes b) {
  for (u64 i = 0; i < b.len; ++i) h = (h ^ b.ptr[i]) * fnv_prime;
  return h;
}
u64 pack(i32 a, i32 b) { return u64{static_cast<u32>(a)} << 32 | static_cast<u32>(b); }

mem::Bytes bytes_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

Pen drawing(draw::Surface* surface) { return Pen{surface, false, 0}; }
Pen keying(draw::Surface* surface) { return Pen{surface, true, fnv_basis}; }

i32 text(Pen* pen, u32 role, mem::Bytes t, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align) {
  if (!pen->keying) return chart::text(pen->surface, role, t, x, y, width, height, colour, align);
  u64 h = mix_bytes(mix(pen->key, t.len), t);
  h = mix(h, pack(x, y));
  h = mix(h, pack(width, height));
  pen->key = mix(h, u64{colour} << 8 | role << 4 | align);
  return chart::measure(pen->surface, role, t);
}

void rect(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  if (!pen->keying) return chart::rect(pen->surface, x, y, width, height, colour);
  pen->key = mix(mix(mix(pen->key, pack(x, y)), pack(width, height)), colour);
}

void frame(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  if (!pen->keying) return chart::frame(pen->surface, x, y, width, height, colour);
  pen->key = mix(mix(mix(pen->key, pack(x, y)), pack(width, height)), u64{colour} | u64{1} << 32);
}

u64 window_key(const chart::Look& look, const machine::Machine& m, u32 rows) {
  const u32 present = m.ring.count;
  const u32 n = bits::min32(rows, present);
  u64 h = mix(mix(fnv_basis, chart::look_of(look)), n);
  const u32 series = look.kind == chart::kind_heat ? 1 : bits::min32(look.count, chart::series_most);
  const u32 items = look.kind == chart::kind_heat ? bits::min32(look.rows, 64) : 1;
  for (u32 k = 0; k < n; ++k) {
    const u32 row = machine::back_row(&m, k);
    for (u32 s = 0; s < series; ++s)
      for (u32 item = 0; item < items; ++item) h = mix(h, chart::cell(look.sources[s], row, item));
  }
  return h;
}

}  // namespace views
