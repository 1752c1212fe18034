// The platform under the browser viewer: the few facilities the viewer's portable code calls, answered from the
// loader's messages and the module's own memory. Memory grows with the module's linear memory and freed blocks are
// kept for reuse; random bytes are the fresh bytes each message head brings; the one window is the page's canvas,
// whose presents become FRAME commands of RGBA pixels; the one font folder holds the embedded Lato, which every
// role uses. Everything the viewer does happens inside one call of _start, on the one thread the browser gives it.
#include "base/mem.h"
#include "host/web.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/os.h"
#include "platform/section.h"
#include "web/fontdata.h"
#include "web/webcore.h"

extern "C" {
__attribute__((import_module("host"), import_name("read_input"))) u64 host_read_input(u8* destination, u64 capacity);
__attribute__((import_module("host"), import_name("write_output"))) void host_write_output(const u8* source,
                                                                                           u64 length);
__attribute__((import_module("host"), import_name("write_error"))) void host_write_error(const u8* source,
                                                                                         u64 length);

// The compiler's own calls for block copies; the module has no C library to bring them.
void* memcpy(void* to, const void* from, unsigned long n) {
  u8* d = static_cast<u8*>(to);
  const u8* s = static_cast<const u8*>(from);
  while (n >= 8) {
    u64 w;
    __builtin_memcpy_inline(&w, s, 8);
    __builtin_memcpy_inline(d, &w, 8);
    d += 8, s += 8, n -= 8;
  }
  while (n--) *d++ = *s++;
  return to;
}

void* memmove(void* to, const void* from, unsigned long n) {
  u8* d = static_cast<u8*>(to);
  const u8* s = static_cast<const u8*>(from);
  if (d <= s || d >= s + n) return memcpy(to, from, n);
  while (n--) d[n] = s[n];
  return to;
}

void* memset(void* to, int value, unsigned long n) {
  u8* d = static_cast<u8*>(to);
  const u8 b = static_cast<u8>(value);
  u64 w = b * 0x0101010101010101ull;
  while (n >= 8) {
    __builtin_memcpy_inline(d, &w, 8);
    d += 8, n -= 8;
  }
  while (n--) *d++ = b;
  return to;
}

// The 128-bit helpers the compiler calls for wide products and quotients, on two 64-bit halves.
struct Wide {
  u64 lo, hi;
};

static Wide wide_of(__int128 v) {
  Wide w;
  __builtin_memcpy(&w, &v, sizeof w);
  return w;
}

static __int128 int_of(Wide w) {
  __int128 v;
  __builtin_memcpy(&v, &w, sizeof v);
  return v;
}

static Wide mul64(u64 a, u64 b) {
  const u64 a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const u64 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const u64 middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  return Wide{(middle << 32) | (p00 & 0xFFFFFFFFu), p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32)};
}

static Wide udiv(Wide n, Wide d) {
  Wide q{0, 0}, r{0, 0};
  if (d.lo == 0 && d.hi == 0) return q;
  for (i32 bit = 127; bit >= 0; --bit) {
    r.hi = (r.hi << 1) | (r.lo >> 63);
    r.lo = (r.lo << 1) | ((bit >= 64 ? n.hi >> (bit - 64) : n.lo >> bit) & 1);
    if (r.hi > d.hi || (r.hi == d.hi && r.lo >= d.lo)) {
      const u64 borrow = r.lo < d.lo ? 1 : 0;
      r.lo -= d.lo;
      r.hi -= d.hi + borrow;
      if (bit >= 64) q.hi |= u64{1} << (bit - 64);
      else q.lo |= u64{1} << bit;
    }
  }
  return q;
}

static Wide negate(Wide w) {
  w.lo = ~w.lo + 1;
  w.hi = ~w.hi + (w.lo == 0 ? 1 : 0);
  return w;
}

// Whether a value is a 64-bit signed number widened: its high half only repeats the sign.
static bool fits64(Wide w) { return w.hi == static_cast<u64>(static_cast<i64>(w.lo) >> 63); }

__int128 __multi3(__int128 a, __int128 b) {
  const Wide x = wide_of(a), y = wide_of(b);
  // Most products the drawing code widens are of small numbers: one native multiply.
  if (x.hi == 0 && y.hi == 0 && (x.lo | y.lo) >> 32 == 0) return int_of(Wide{x.lo * y.lo, 0});
  Wide p = mul64(x.lo, y.lo);
  p.hi += x.lo * y.hi + x.hi * y.lo;
  return int_of(p);
}

unsigned __int128 __udivti3(unsigned __int128 a, unsigned __int128 b) {
  const Wide x = wide_of(static_cast<__int128>(a)), y = wide_of(static_cast<__int128>(b));
  if (x.hi == 0 && y.hi == 0 && y.lo != 0) return x.lo / y.lo;
  return static_cast<unsigned __int128>(int_of(udiv(wide_of(static_cast<__int128>(a)), wide_of(static_cast<__int128>(b)))));
}

__int128 __divti3(__int128 a, __int128 b) {
  Wide x = wide_of(a), y = wide_of(b);
  // Quotients of 64-bit numbers (the one that overflows 64 bits left to the long road): one native divide.
  if (fits64(x) && fits64(y) && y.lo != 0 && !(x.lo == u64{1} << 63 && y.lo == ~u64{0}))
    return static_cast<i64>(x.lo) / static_cast<i64>(y.lo);
  const bool minus = ((x.hi ^ y.hi) >> 63) != 0;
  if (x.hi >> 63) x = negate(x);
  if (y.hi >> 63) y = negate(y);
  const Wide q = udiv(x, y);
  return int_of(minus ? negate(q) : q);
}

int memcmp(const void* a, const void* b, unsigned long n) {
  const u8* x = static_cast<const u8*>(a);
  const u8* y = static_cast<const u8*>(b);
  for (unsigned long i = 0; i < n; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}
}

namespace {

constexpr u64 page = 65536;
constexpr u32 spare_most = 64;
constexpr u32 input_most = web::message_head + 65536 + 64;
constexpr u64 core_arena_bytes = 2u << 20;
const u8 font_folder[] = "/fonts";
const u8 font_name[] = "Lato-Regular.ttf";

struct Block {
  u8* base;
  u64 size;
};

constexpr u32 frame_blocks_most = 64;

// The module's one instance: what the browser has given and what the viewer holds.
struct Shim {
  Block spare[spare_most];  // released blocks, reused first fit
  u32 spare_count;
  u8 random[32];
  u32 random_left;
  u64 now;
  i32 width, height;  // the canvas in device px
  u32* rgba;          // the canvas's pixels, RGBA in memory
  u64 rgba_pixels;
  u8 presented;
  // The blocks presented during this message, for the canvas to put only those; past the list, their union.
  u32 block_count;
  gdi::Block blocks[frame_blocks_most];
  u8 started;
  mem::Arena arena;
  webcore::Core* core;
  u8 input[input_most];
};

Shim shim;

void* grow(u64 size) {
  const u64 pages = (size + page - 1) / page;
  const i64 before = static_cast<i64>(__builtin_wasm_memory_grow(0, pages));
  if (before < 0) return nullptr;
  return reinterpret_cast<void*>(static_cast<u64>(before) * page);
}

void put32(u8* p, u32 v) {
  for (u32 i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

u64 area(const gdi::Block& b) { return static_cast<u64>(b.width) * static_cast<u64>(b.height); }

gdi::Block bounds(const gdi::Block& a, const gdi::Block& b) {
  const i32 x = a.x < b.x ? a.x : b.x, y = a.y < b.y ? a.y : b.y;
  const i32 right = a.x + a.width > b.x + b.width ? a.x + a.width : b.x + b.width;
  const i32 bottom = a.y + a.height > b.y + b.height ? a.y + a.height : b.y + b.height;
  return gdi::Block{x, y, right - x, bottom - y, nullptr, 0, 0, -1, 0, 0};
}

// Each put costs the browser a call, a damage rectangle and a copy of its pixels: two blocks whose bounds hold
// barely more pixels than the two (neighbours, overlaps) are put as one. The canvas's copy in memory is whole, so
// the pixels between them put again are the ones the canvas holds.
void merge_blocks() {
  for (u32 i = 0; i < shim.block_count; ++i) {
    for (u32 j = i + 1; j < shim.block_count; ++j) {
      const gdi::Block both = bounds(shim.blocks[i], shim.blocks[j]);
      const u64 apart = area(shim.blocks[i]) + area(shim.blocks[j]);
      if (area(both) > apart + apart / 8) continue;
      shim.blocks[i] = both;
      shim.blocks[j] = shim.blocks[--shim.block_count];
      j = i;  // the grown block may now take blocks already passed
    }
  }
}

// FRAME: the canvas's pixels, then the count of blocks that changed and each block (x, y, width, height), which is
// all the canvas needs to put again.
void send_frame() {
  merge_blocks();
  u8 c[web::command_head + 24 + frame_blocks_most * 16];
  const u32 length = 24 + shim.block_count * 16;
  put32(c, web::cmd_frame);
  put32(c + 4, length);
  const u64 at = reinterpret_cast<u64>(shim.rgba);
  put32(c + 8, static_cast<u32>(at));
  put32(c + 12, static_cast<u32>(at >> 32));
  put32(c + 16, static_cast<u32>(shim.width));
  put32(c + 20, static_cast<u32>(shim.width));
  put32(c + 24, static_cast<u32>(shim.height));
  put32(c + 28, shim.block_count);
  for (u32 i = 0; i < shim.block_count; ++i) {
    const gdi::Block& b = shim.blocks[i];
    u8* p = c + 32 + i * 16;
    put32(p, static_cast<u32>(b.x));
    put32(p + 4, static_cast<u32>(b.y));
    put32(p + 8, static_cast<u32>(b.width));
    put32(p + 12, static_cast<u32>(b.height));
  }
  host_write_output(c, web::command_head + length);
}

// WAKE: when the page should give the next tick.
void send_wake(u32 ms) {
  u8 c[web::command_head + 4];
  put32(c, web::cmd_wake);
  put32(c + 4, 4);
  put32(c + 8, ms);
  host_write_output(c, sizeof c);
}

// Notes a presented block; once the list is full the last entry grows to hold every further one.
void note_block(i32 x, i32 y, i32 width, i32 height) {
  if (shim.block_count < frame_blocks_most) {
    shim.blocks[shim.block_count++] = gdi::Block{x, y, width, height, nullptr, 0, 0, -1, 0, 0};
    return;
  }
  gdi::Block& b = shim.blocks[frame_blocks_most - 1];
  b = bounds(b, gdi::Block{x, y, width, height, nullptr, 0, 0, -1, 0, 0});
}

bool font_path(mem::Bytes path) {
  const u64 folder = sizeof font_folder - 1, name = sizeof font_name - 1;
  return path.len == folder + 1 + name && __builtin_memcmp(path.ptr, font_folder, folder) == 0 &&
         path.ptr[folder] == '/' && __builtin_memcmp(path.ptr + folder + 1, font_name, name) == 0;
}

}  // namespace

// ---- os

namespace os {

void* pages_reserve(u64 size) {
  if (size == 0) return nullptr;
  for (u32 i = 0; i < shim.spare_count; ++i) {
    Block b = shim.spare[i];
    if (b.size < size) continue;
    shim.spare[i] = shim.spare[--shim.spare_count];
    __builtin_memset(b.base, 0, b.size);
    return b.base;
  }
  return grow(size);
}

u32 pages_release(void* block, u64 size) {
  if (block == nullptr || shim.spare_count == spare_most) return 0;
  shim.spare[shim.spare_count++] = Block{static_cast<u8*>(block), (size + page - 1) / page * page};
  return 1;
}

u32 random_bytes(mem::Slice buffer) {
  if (buffer.len > shim.random_left) {
    __builtin_memset(buffer.ptr, 0, buffer.len);
    return 0;
  }
  __builtin_memcpy(buffer.ptr, shim.random + (sizeof shim.random - shim.random_left), buffer.len);
  __builtin_memset(shim.random + (sizeof shim.random - shim.random_left), 0, buffer.len);
  shim.random_left -= static_cast<u32>(buffer.len);
  return 1;
}

u64 ticks() { return shim.now; }
u64 ticks_per_second() { return 1000; }
u64 micros() { return shim.now * 1000; }

}  // namespace os

// ---- gdi: the canvas is the one window

namespace gdi {

Handle open_headless(i32 width, i32 height) { return resize_window(1, width, height) ? 1 : 0; }

u32 resize_window(Handle window, i32 width, i32 height) {
  if (window != 1 || width < 1 || height < 1 || width > 16384 || height > 16384) return 0;
  const u64 pixels = static_cast<u64>(width) * static_cast<u64>(height);
  if (pixels > shim.rgba_pixels) {
    if (shim.rgba) os::pages_release(shim.rgba, shim.rgba_pixels * 4);
    shim.rgba = static_cast<u32*>(os::pages_reserve(pixels * 4));
    shim.rgba_pixels = shim.rgba ? pixels : 0;
    if (!shim.rgba) return 0;
  }
  shim.width = width;
  shim.height = height;
  return 1;
}

u64 window_id(Handle window) { return window; }

u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  if (window != 1 || !shim.rgba) return 0;
  const i32 x0 = x < 0 ? 0 : x, y0 = y < 0 ? 0 : y;
  const i32 x1 = x + w > shim.width ? shim.width : x + w, y1 = y + h > shim.height ? shim.height : y + h;
  if (x0 >= x1 || y0 >= y1) return 1;
  note_block(x0, y0, x1 - x0, y1 - y0);
  for (i32 row = y0; row < y1; ++row) {
    const u32* from = pixels + static_cast<u64>(row - y) * stride + (x0 - x);
    u32* to = shim.rgba + static_cast<u64>(row) * shim.width + x0;
    // 0xAARRGGBB to the canvas's R, G, B, A bytes, opaque.
    for (i32 i = 0; i < x1 - x0; ++i) {
      const u32 p = from[i];
      to[i] = 0xFF000000u | (p & 0xFF) << 16 | (p & 0xFF00) | (p >> 16 & 0xFF);
    }
  }
  shim.presented = 1;
  return 1;
}

// The canvas is the only screen: the frame is the largest canvas the viewer draws.
i32 virtual_width(Handle) { return static_cast<i32>(webcore::frame_width_most); }
i32 virtual_height(Handle) { return static_cast<i32>(webcore::frame_height_most); }
void share_memory(Handle, const section::Section&) {}
// The frame's blocks go to the page together already (send_frame).
void begin_frame(Handle) {}
u32 end_frame(Handle) { return 1; }
void set_screen(Handle, i32, i32) {}

u32 system_fonts(u8* buffer, u32 capacity) {
  const u32 n = sizeof font_folder - 1;
  if (capacity < n + 1) return 0;
  __builtin_memcpy(buffer, font_folder, n);
  return n;
}

mem::Bytes system_font_file(u32) { return mem::Bytes(font_name, sizeof font_name - 1); }
u32 local_drive(mem::Bytes) { return 1; }
u32 icon_pixels(Handle, u32*, u64, i32*, i32*) { return 0; }

// No GDI of the system's here: the drawing layer draws its GDI road in software.
Handle road_open(Handle) { return 0; }
void road_close(Handle) {}
void road_font(Handle, u32, const char*, i32, u32) {}
void road_back(Handle, i32, i32) {}
void road_fill(Handle, i32, i32, i32, i32, u32) {}
void road_text(Handle, u32, i32, i32, i32, i32, i32, i32, u32, const u16*, u32, const i32*) {}
void road_extent(Handle, u32, const u16*, u32, i32* width, i32* height) { *width = *height = 0; }
void road_icon(Handle, Handle, i32, i32, i32) {}
void road_image(Handle, i32, i32, i32, i32, const u32*, u32) {}
u32 road_present(Handle, Handle) { return 0; }

}  // namespace gdi

// ---- section: the frame record is memory of this module

namespace section {

u32 create(mem::Bytes, u64 size, Section* out) {
  *out = Section{};
  u8* view = static_cast<u8*>(os::pages_reserve(size));
  if (!view) return failed;
  *out = Section{view, size, 1, 1};
  return ok;
}

void close(Section* s) {
  if (s->view) os::pages_release(s->view, s->size);
  *s = Section{};
}

}  // namespace section

// ---- fs: the one folder of the embedded font, and nothing else. The browser has no files of its own: no variable
// names a data folder and nothing opens, so history comes only from the host.

namespace fs {

u32 env_var(mem::Bytes, mem::Slice, u64* length) {
  *length = 0;
  return not_found;
}

u32 make_directories(mem::Bytes) { return denied; }
u32 io_make_directory(mem::Bytes) { return io_denied; }

u32 io_open_read(mem::Bytes, u64* slot) {
  *slot = 0;
  return io_not_found;
}

void io_close(u64* slot) { *slot = 0; }

u32 io_read_at(u64, u64, mem::Slice, u64* count) {
  *count = 0;
  return io_failed;
}

u32 io_size(u64, u64* size) {
  *size = 0;
  return io_failed;
}

u32 io_grow(u64, u64) { return io_failed; }

u32 size_and_time(mem::Bytes path, u64* size, u64* time) {
  *size = font_path(path) ? web::lato_regular_size : 0;
  *time = 0;
  return font_path(path) ? 1 : 0;
}

u32 read_file(mem::Bytes path, mem::Arena* arena, mem::Slice* out) {
  *out = mem::Slice{};
  if (!font_path(path)) return not_found;
  // The embedded bytes are read-only data of the module: handed out as they are, never copied.
  *out = mem::Slice{const_cast<u8*>(web::lato_regular), web::lato_regular_size};
  (void)arena;
  return ok;
}

}  // namespace fs

// ---- The entry the loader calls once per message

extern "C" __attribute__((export_name("_start"))) void start() {
  const u64 n = host_read_input(shim.input, sizeof shim.input);
  if (n < web::message_head) return;
  __builtin_memcpy(shim.random, shim.input + web::at_random, sizeof shim.random);
  shim.random_left = sizeof shim.random;
  if (!shim.started) {
    shim.started = 1;
    if (mem::arena_init(&shim.arena, core_arena_bytes)) shim.core = webcore::create(&shim.arena);
    if (!shim.core) {
      static const char text[] = "vimbrel: the viewer has no memory";
      host_write_error(reinterpret_cast<const u8*>(text), sizeof text - 1);
    }
  }
  if (!shim.core) return;
  shim.presented = 0;
  shim.block_count = 0;
  webcore::message(shim.core, mem::Bytes(shim.input, n));
  shim.now = shim.core->now;
  if (shim.core->out_used) host_write_output(shim.core->out, shim.core->out_used);
  if (shim.presented) send_frame();
  send_wake(webcore::wake_ms(*shim.core));
  __builtin_memset(shim.random, 0, sizeof shim.random);
}
