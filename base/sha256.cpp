#include "base/sha256.h"

namespace sha256 {

const u8 initial_hash_big_endian[32] = {
    0x6a, 0x09, 0xe6, 0x67, 0xbb, 0x67, 0xae, 0x85, 0x3c, 0x6e, 0xf3, 0x72, 0xa5, 0x4f, 0xf5, 0x3a,
    0x51, 0x0e, 0x52, 0x7f, 0x9b, 0x05, 0x68, 0x8c, 0x1f, 0x83, 0xd9, 0xab, 0x5b, 0xe0, 0xcd, 0x19,
};

const u8 round_constants_big_endian[256] = {
    0x42, 0x8a, 0x2f, 0x98, 0x71, 0x37, 0x44, 0x91, 0xb5, 0xc0, 0xfb, 0xcf, 0xe9, 0xb5, 0xdb, 0xa5,
    0x39, 0x56, 0xc2, 0x5b, 0x59, 0xf1, 0x11, 0xf1, 0x92, 0x3f, 0x82, 0xa4, 0xab, 0x1c, 0x5e, 0xd5,
    0xd8, 0x07, 0xaa, 0x98, 0x12, 0x83, 0x5b, 0x01, 0x24, 0x31, 0x85, 0xbe, 0x55, 0x0c, 0x7d, 0xc3,
    0x72, 0xbe, 0x5d, 0x74, 0x80, 0xde, 0xb1, 0xfe, 0x9b, 0xdc, 0x06, 0xa7, 0xc1, 0x9b, 0xf1, 0x74,
    0xe4, 0x9b, 0x69, 0xc1, 0xef, 0xbe, 0x47, 0x86, 0x0f, 0xc1, 0x9d, 0xc6, 0x24, 0x0c, 0xa1, 0xcc,
    0x2d, 0xe9, 0x2c, 0x6f, 0x4a, 0x74, 0x84, 0xaa, 0x5c, 0xb0, 0xa9, 0xdc, 0x76, 0xf9, 0x88, 0xda,
    0x98, 0x3e, 0x51, 0x52, 0xa8, 0x31, 0xc6, 0x6d, 0xb0, 0x03, 0x27, 0xc8, 0xbf, 0x59, 0x7f, 0xc7,
    0xc6, 0xe0, 0x0b, 0xf3, 0xd5, 0xa7, 0x91, 0x47, 0x06, 0xca, 0x63, 0x51, 0x14, 0x29, 0x29, 0x67,
    0x27, 0xb7, 0x0a, 0x85, 0x2e, 0x1b, 0x21, 0x38, 0x4d, 0x2c, 0x6d, 0xfc, 0x53, 0x38, 0x0d, 0x13,
    0x65, 0x0a, 0x73, 0x54, 0x76, 0x6a, 0x0a, 0xbb, 0x81, 0xc2, 0xc9, 0x2e, 0x92, 0x72, 0x2c, 0x85,
    0xa2, 0xbf, 0xe8, 0xa1, 0xa8, 0x1a, 0x66, 0x4b, 0xc2, 0x4b, 0x8b, 0x70, 0xc7, 0x6c, 0x51, 0xa3,
    0xd1, 0x92, 0xe8, 0x19, 0xd6, 0x99, 0x06, 0x24, 0xf4, 0x0e, 0x35, 0x85, 0x10, 0x6a, 0xa0, 0x70,
    0x19, 0xa4, 0xc1, 0x16, 0x1e, 0x37, 0x6c, 0x08, 0x27, 0x48, 0x77, 0x4c, 0x34, 0xb0, 0xbc, 0xb5,
    0x39, 0x1c, 0x0c, 0xb3, 0x4e, 0xd8, 0xaa, 0x4a, 0x5b, 0x9c, 0xca, 0x4f, 0x68, 0x2e, 0x6f, 0xf3,
    0x74, 0x8f, 0x82, 0xee, 0x78, 0xa5, 0x63, 0x6f, 0x84, 0xc8, 0x78, 0x14, 0x8c, 0xc7, 0x02, 0x08,
    0x90, 0xbe, 0xff, 0xfa, 0xa4, 0x50, 0x6c, 0xeb, 0xbe, 0xf9, 0xa3, 0xf7, 0xc6, 0x71, 0x78, 0xf2,
};

namespace {

// Byte assembly rather than a cast: the compilers turn it into one swapped load or store on either byte order.
inline u32 load_be32(const u8* p) {
  return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
}

inline void store_be32(u8* p, u32 v) {
  p[0] = u8(v >> 24);
  p[1] = u8(v >> 16);
  p[2] = u8(v >> 8);
  p[3] = u8(v);
}

// The compiler's rotate: clang's builtin, else the shift pair that GCC turns into the rotate instruction (n is a
// constant from 2 to 25, so both shifts are defined).
inline u32 rotr(u32 x, u32 n) {
#if __has_builtin(__builtin_rotateright32)
  return __builtin_rotateright32(x, n);
#else
  return (x >> n) | (x << (32 - n));
#endif
}

// The schedule word of round i, kept in a ring of 16: from round 16 on, w[i % 16] still holds the word 16 rounds
// back and is replaced by the next one just before its round, which leaves the compiler room to interleave the two.
inline u32 schedule(u32* w, u32 i) {
  if (i >= 16) {
    u32 w2 = w[(i + 14) & 15], w15 = w[(i + 1) & 15];
    u32 s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
    u32 s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
    w[i & 15] += s1 + w[(i + 9) & 15] + s0;
  }
  return w[i & 15];
}

// One round with the working variables renamed instead of moved: d takes the new e and h the new a, so the next
// round is called with the names shifted by one. Majority is written so that a ^ b is the next round's b ^ c.
__attribute__((always_inline)) inline void step(u32 a, u32 b, u32 c, u32& d, u32 e, u32 f, u32 g, u32& h,
                                                u32 kw) {
  u32 t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + kw;
  u32 t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + (b ^ ((a ^ b) & (b ^ c)));
  d += t1;
  h = t1 + t2;
}

}  // namespace

void init(Context* ctx) {
  for (u32 i = 0; i < 8; ++i) ctx->state[i] = load_be32(initial_hash_big_endian + 4 * i);
  for (u32 i = 0; i < 64; ++i) ctx->k[i] = load_be32(round_constants_big_endian + 4 * i);
  __builtin_memset(ctx->block, 0, sizeof ctx->block);
  ctx->buffered = 0;
  ctx->total = 0;
}

void compress_portable(Context* ctx, const u8 block[64]) {
  u32 w[16];
  for (u32 i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  u32 a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
  u32 e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
  const u32* k = ctx->k;
  // Unrolled whole, every index is a constant and the eight names stay in registers.
#pragma GCC unroll 8
  for (u32 r = 0; r < 64; r += 8) {
    step(a, b, c, d, e, f, g, h, k[r + 0] + schedule(w, r + 0));
    step(h, a, b, c, d, e, f, g, k[r + 1] + schedule(w, r + 1));
    step(g, h, a, b, c, d, e, f, k[r + 2] + schedule(w, r + 2));
    step(f, g, h, a, b, c, d, e, k[r + 3] + schedule(w, r + 3));
    step(e, f, g, h, a, b, c, d, k[r + 4] + schedule(w, r + 4));
    step(d, e, f, g, h, a, b, c, k[r + 5] + schedule(w, r + 5));
    step(c, d, e, f, g, h, a, b, k[r + 6] + schedule(w, r + 6));
    step(b, c, d, e, f, g, h, a, k[r + 7] + schedule(w, r + 7));
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
  ctx->state[5] += f;
  ctx->state[6] += g;
  ctx->state[7] += h;
}

#if SHA256_INSTRUCTIONS
namespace {

// The processor's own SHA-256 rounds (x86 SHA extensions), two rounds an instruction: the state is kept as the pairs
// ABEF and CDGH the instructions take, the schedule as four quads of words, each quad made from the four before it.
using Quad = u32 __attribute__((vector_size(16)));
using Bytes16 = u8 __attribute__((vector_size(16)));
using Ints = int __attribute__((vector_size(16)));  // what the instructions' builtins take

__attribute__((target("sha,sse4.1"))) inline Quad rounds(Quad state, Quad other, Quad wk) {
  return reinterpret_cast<Quad>(__builtin_ia32_sha256rnds2(reinterpret_cast<Ints>(state), reinterpret_cast<Ints>(other),
                                                           reinterpret_cast<Ints>(wk)));
}
__attribute__((target("sha,sse4.1"))) inline Quad message1(Quad a, Quad b) {
  return reinterpret_cast<Quad>(__builtin_ia32_sha256msg1(reinterpret_cast<Ints>(a), reinterpret_cast<Ints>(b)));
}
__attribute__((target("sha,sse4.1"))) inline Quad message2(Quad a, Quad b) {
  return reinterpret_cast<Quad>(__builtin_ia32_sha256msg2(reinterpret_cast<Ints>(a), reinterpret_cast<Ints>(b)));
}

__attribute__((target("sha,sse4.1"))) inline Quad load_quad(const u8* p) {
  Bytes16 b;
  __builtin_memcpy(&b, p, 16);
  // Each word big-endian.
  b = __builtin_shufflevector(b, b, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return reinterpret_cast<Quad>(b);
}

__attribute__((target("sha,sse4.1"))) void compress_instructions(Context* ctx, const u8 block[64]) {
  Quad abcd, efgh, k;
  __builtin_memcpy(&abcd, ctx->state, 16);
  __builtin_memcpy(&efgh, ctx->state + 4, 16);
  Quad abef = __builtin_shufflevector(efgh, abcd, 1, 0, 5, 4);  // f e b a, low word first
  Quad cdgh = __builtin_shufflevector(efgh, abcd, 3, 2, 7, 6);  // h g d c
  const Quad abef_in = abef, cdgh_in = cdgh;
  Quad m[4];
#pragma GCC unroll 16
  for (u32 g = 0; g < 16; ++g) {
    if (g < 4) m[g] = load_quad(block + 16 * g);
    __builtin_memcpy(&k, ctx->k + 4 * g, 16);
    Quad wk = m[g % 4] + k;
    cdgh = rounds(cdgh, abef, wk);
    if (g >= 3 && g <= 14) {
      // The next quad: its words seven back, then its words two back.
      Quad seven = __builtin_shufflevector(m[(g + 3) % 4], m[g % 4], 1, 2, 3, 4);
      m[(g + 1) % 4] = message2(m[(g + 1) % 4] + seven, m[g % 4]);
    }
    wk = __builtin_shufflevector(wk, wk, 2, 3, 0, 0);
    abef = rounds(abef, cdgh, wk);
    // The quad three on: its words sixteen and fifteen back.
    if (g >= 1 && g <= 12) m[(g + 3) % 4] = message1(m[(g + 3) % 4], m[g % 4]);
  }
  abef += abef_in;
  cdgh += cdgh_in;
  abcd = __builtin_shufflevector(abef, cdgh, 3, 2, 7, 6);
  efgh = __builtin_shufflevector(abef, cdgh, 1, 0, 5, 4);
  __builtin_memcpy(ctx->state, &abcd, 16);
  __builtin_memcpy(ctx->state + 4, &efgh, 16);
}

}  // namespace
#endif

void compress(Context* ctx, const u8 block[64]) {
#if SHA256_INSTRUCTIONS
  if (__builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1")) return compress_instructions(ctx, block);
#endif
  compress_portable(ctx, block);
}

void compress_buffered(Context* ctx) { compress(ctx, ctx->block); }

void update(Context* ctx, mem::Bytes data) {
  if (data.len == 0) return;
  ctx->total += data.len;
  const u8* p = data.ptr;
  u64 left = data.len;
  if (ctx->buffered != 0) {
    u64 take = 64 - ctx->buffered < left ? 64 - ctx->buffered : left;
    __builtin_memcpy(ctx->block + ctx->buffered, p, take);
    ctx->buffered += take;
    p += take;
    left -= take;
    if (ctx->buffered < 64) return;
    compress_buffered(ctx);
    ctx->buffered = 0;
  }
  for (; left >= 64; p += 64, left -= 64) compress(ctx, p);
  if (left != 0) __builtin_memcpy(ctx->block, p, left);
  ctx->buffered = left;
}

void finish(Context* ctx, u8 out[32]) {
  u64 n = ctx->buffered;
  ctx->block[n++] = 0x80;
  if (n > 56) {
    __builtin_memset(ctx->block + n, 0, 64 - n);
    compress_buffered(ctx);
    n = 0;
  }
  __builtin_memset(ctx->block + n, 0, 56 - n);
  u64 bits = ctx->total * 8;
  store_be32(ctx->block + 56, u32(bits >> 32));
  store_be32(ctx->block + 60, u32(bits));
  compress_buffered(ctx);
  for (u32 i = 0; i < 8; ++i) store_be32(out + 4 * i, ctx->state[i]);
  ctx->buffered = 0;
}

void sha256(mem::Bytes data, u8 out[32]) {
  Context ctx;
  init(&ctx);
  update(&ctx, data);
  finish(&ctx, out);
}

void hex(const u8 digest[32], u8 out[64]) {
  for (u32 i = 0; i < 64; ++i) {
    u8 nibble = (digest[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 15;
    out[i] = u8(nibble < 10 ? '0' + nibble : 'a' + nibble - 10);
  }
}

}  // namespace sha256
