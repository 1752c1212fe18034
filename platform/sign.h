#pragma once
// Release signatures: a detached Ed25519 signature (64 bytes) over a file's exact bytes, checked against a 32-byte
// public key. This is how the updater tells that a downloaded release comes from the program's maker.
#include "base/mem.h"

namespace sign {

inline constexpr u64 signature_size = 64;
inline constexpr u64 public_key_size = 32;

// 1 when the signature is the key's over every byte of the open file (a handle of the file layer, read from offset
// 0 to its current size); 0 when it is not, or when the file cannot be read.
u32 verify_file(u64 file, const u8* signature64, const u8* public_key32);

// The same over bytes in memory.
u32 verify_bytes(mem::Bytes message, const u8* signature64, const u8* public_key32);

}  // namespace sign
