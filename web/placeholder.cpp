// The module the dashboard serves while the browser viewer is not built: it writes "viewer not built yet" on the
// canvas, in a small bitmap face, and on the console, and does nothing else (it opens no link and asks for no key).
// Built for wasm64 with the loader's protocol: one message per call of _start, answers as commands.
#include "host/web.h"

extern "C" {
__attribute__((import_module("host"), import_name("read_input"))) u64 host_read_input(u8* destination, u64 capacity);
__attribute__((import_module("host"), import_name("write_output"))) void host_write_output(const u8* source,
                                                                                           u64 length);
__attribute__((import_module("host"), import_name("write_error"))) void host_write_error(const u8* source,
                                                                                         u64 length);
}

namespace {

constexpr u32 side_max = 2048;
constexpr u32 background = 0xFF202020;  // RGBA in memory: 0x20 0x20 0x20 0xFF
constexpr u32 ink = 0xFFE0E0E0;
const char message[] = "viewer not built yet";

// Five columns by seven rows, the top row first, the leftmost column in bit 4.
struct Glyph {
  char c;
  u8 rows[7];
};
const Glyph glyphs[] = {
    {'b', {0x10, 0x10, 0x1E, 0x11, 0x11, 0x11, 0x1E}}, {'d', {0x01, 0x01, 0x0F, 0x11, 0x11, 0x11, 0x0F}},
    {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}}, {'i', {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E}},
    {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'o', {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E}}, {'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}},
    {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}}, {'u', {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D}},
    {'v', {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {'w', {0x00, 0x00, 0x11, 0x11, 0x15, 0x15, 0x0A}},
    {'y', {0x00, 0x00, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
};

u8 input[web::message_head + 256];
u32 pixels[side_max * side_max];
u8 output[web::command_head + 20];

u32 get32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }

void put32(u8* p, u32 v) {
  for (u32 i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

void put64(u8* p, u64 v) {
  put32(p, static_cast<u32>(v));
  put32(p + 4, static_cast<u32>(v >> 32));
}

const u8* rows_of(char c) {
  for (const Glyph& g : glyphs) {
    if (g.c == c) return g.rows;
  }
  return nullptr;
}

// Device pixels of a CSS size, between 1 and side_max.
u32 device(i32 css, i32 ratio) {
  i64 n = static_cast<i64>(css) * (ratio > 0 ? ratio : web::ratio) / web::ratio;
  return n < 1 ? 1 : n > side_max ? side_max : static_cast<u32>(n);
}

void draw(u32 width, u32 height) {
  for (u32 i = 0; i < width * height; ++i) pixels[i] = background;
  constexpr u32 chars = sizeof message - 1;
  u32 scale = width * 2 / 3 / (chars * 6);
  if (scale > height / 4 / 7) scale = height / 4 / 7;
  if (scale < 1) scale = 1;
  u32 text_width = (chars * 6 - 1) * scale, text_height = 7 * scale;
  u32 left = width > text_width ? (width - text_width) / 2 : 0;
  u32 top = height > text_height ? (height - text_height) / 2 : 0;
  for (u32 k = 0; k < chars; ++k) {
    const u8* rows = rows_of(message[k]);
    if (rows == nullptr) continue;
    for (u32 y = 0; y < text_height && top + y < height; ++y) {
      for (u32 x = 0; x < 5 * scale; ++x) {
        u32 px = left + (k * 6) * scale + x;
        if (px < width && (rows[y / scale] >> (4 - x / scale) & 1)) pixels[(top + y) * width + px] = ink;
      }
    }
  }
  put32(output, web::cmd_frame);
  put32(output + 4, 20);
  put64(output + 8, reinterpret_cast<u64>(pixels));
  put32(output + 16, width);
  put32(output + 20, width);
  put32(output + 24, height);
  host_write_output(output, sizeof output);
}

}  // namespace

extern "C" __attribute__((export_name("_start"))) void start() {
  u64 n = host_read_input(input, sizeof input);
  if (n < web::message_head) return;
  u32 kind = get32(input);
  if (kind != web::msg_init && kind != web::msg_resize) return;
  if (kind == web::msg_init) host_write_error(reinterpret_cast<const u8*>(message), sizeof message - 1);
  auto arg = [](u32 at) { return static_cast<i32>(get32(input + at)); };
  i32 ratio = arg(web::at_c);
  draw(device(arg(web::at_a), ratio), device(arg(web::at_b), ratio));
}
