// The console's and the command line's rules that need no system: numbers as text, the splitting of argument text
// into words, and the beacon override read through the file layer. Both backends share them.
#include "platform/fs.h"
#include "platform/os.h"

namespace os {
namespace {

bool is_blank(u8 c) { return c == ' ' || c == '\t'; }

}  // namespace

void write_line(mem::Bytes bytes) {
  write_out(bytes);
  write_out(mem::lit("\n"));
}

void write_number(u64 value) {
  u8 digits[20];
  u32 n = 0;
  do {
    digits[19 - n++] = static_cast<u8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  write_out(mem::Bytes(digits + 20 - n, n));
}

u32 always_yes() { return 1; }

u32 next_token(mem::Bytes text, u64* position, u32 first, u8* destination, u64 capacity, u64* length) {
  u64 at = *position, n = 0;
  auto put = [&](u8 c) {
    if (destination && n < capacity) destination[n] = c;
    ++n;
  };
  if (!first) {
    while (at < text.len && is_blank(text.ptr[at])) ++at;
    if (at >= text.len) {
      *position = at;
      *length = 0;
      return 0;
    }
  }
  bool quoted = false;
  while (at < text.len && (quoted || !is_blank(text.ptr[at]))) {
    u8 c = text.ptr[at];
    if (c == '\\' && !first) {
      u64 run = 0;
      while (at < text.len && text.ptr[at] == '\\') ++run, ++at;
      bool quote_follows = at < text.len && text.ptr[at] == '"';
      for (u64 k = 0; k < (quote_follows ? run / 2 : run); ++k) put('\\');
      if (quote_follows && run % 2 == 1) put('"'), ++at;
    } else if (c == '"' && !first && quoted && at + 1 < text.len && text.ptr[at + 1] == '"') {
      put('"');
      at += 2;
    } else if (c == '"') {
      quoted = !quoted;
      ++at;
    } else {
      put(c);
      ++at;
    }
  }
  *position = at;
  *length = n;
  return 1;
}

u32 beacon_override(cluster::PublishSettings* settings, BeaconSetter set_beacon) {
  u8 text[24];
  u64 length = 0;
  u32 result = fs::env_var(mem::lit("VIMBREL_BEACON"), mem::Slice{text, sizeof text}, &length);
  // A value that is not ASCII cannot be a beacon: refused like any other bad value, never mistaken for "stored".
  if (result == fs::bad_name) return 0;
  if (result != fs::ok) return result;
  return set_beacon(settings, mem::Bytes(text, length));
}

}  // namespace os
