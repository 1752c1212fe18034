#include "main/main.h"

#include "platform/os.h"

namespace main {

u32 version_byte(u32 i) { return i < 3 ? (version_packed >> (8 * i)) & 0xFF : 0; }

u32 put_dec(u8* out, u32 at, u32 v) {
  u8 digits[10];
  u32 n = 0;
  do {
    digits[n++] = static_cast<u8>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out[at++] = digits[--n];
  return at;
}

u32 version_text(u8* out16) {
  u32 at = put_dec(out16, 0, version_byte(0));
  out16[at++] = '.';
  at = put_dec(out16, at, version_byte(1));
  out16[at++] = '.';
  return put_dec(out16, at, version_byte(2));
}

u32 main() {
  u8 version[16];
  mem::Bytes text(version, version_text(version));
  if (os::arg_count() == 2 && mem::eq(os::arg(1), mem::lit("--version"))) {
    os::write_out(mem::lit("vimbrel "));
    os::write_line(text);
    return 0;
  }
  return 2;
}

void start() { os::exit_process(main()); }

}  // namespace main

extern "C" [[noreturn]] void vimbrel_start() { main::start(); }
