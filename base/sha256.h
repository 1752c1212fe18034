#pragma once
// SHA-256 digests over a plain context record. A context may be copied by value at any point and each copy resumed
// on its own: a keyed hash keeps its prepared inner and outer contexts and copies them for every message.
#include <stddef.h>

#include "base/mem.h"

namespace sha256 {

struct Context {
  u32 state[8];   // the running hash value
  u32 k[64];      // the round constants, copied at init; the compression reads them from here
  u8 block[64];   // input not yet compressed
  u64 buffered;   // bytes held in block: 0 to 63 between calls
  u64 total;      // bytes added since init
};
static_assert(sizeof(Context) == 368);
static_assert(offsetof(Context, state) == 0);
static_assert(offsetof(Context, k) == 32);
static_assert(offsetof(Context, block) == 288);
static_assert(offsetof(Context, buffered) == 352);
static_assert(offsetof(Context, total) == 360);
static_assert(__is_trivially_copyable(Context));

// The standard's initial hash value (8 words) and round constants (64 words), each word big-endian.
extern const u8 initial_hash_big_endian[32];
extern const u8 round_constants_big_endian[256];

// State and constants from the tables, the block zeroed, both counts 0.
void init(Context* ctx);
// Adds bytes: any length, 0 included, in any number of calls. Whole blocks are compressed straight from data.
void update(Context* ctx, mem::Bytes data);
// Pads, compresses the last block or two and writes the 32-byte digest; buffered becomes 0. The context is not
// started over: init it, or overwrite it with a prepared copy, before using it again.
void finish(Context* ctx, u8 out[32]);
// The digest of data in one call.
void sha256(mem::Bytes data, u8 out[32]);
// The digest as 64 lower-case hexadecimal characters, high nibble first, with no terminator.
void hex(const u8 digest[32], u8 out[64]);
// One compression of a 64-byte block given by the caller: with the processor's SHA-256 instructions where the
// build has them (GCC on x86-64) and the processor runs them, else compress_portable.
void compress(Context* ctx, const u8 block[64]);
void compress_portable(Context* ctx, const u8 block[64]);
#if defined(__x86_64__) && !defined(__clang__)
#define SHA256_INSTRUCTIONS 1
#else
#define SHA256_INSTRUCTIONS 0
#endif
// One compression of the context's own block buffer.
void compress_buffered(Context* ctx);

}  // namespace sha256
