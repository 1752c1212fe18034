#pragma once
// Release signatures: a detached Ed25519 signature (64 bytes) over a file's exact bytes, checked against a 32-byte
// public key. This is how the updater tells that a downloaded release comes from the program's maker. Where the
// system checks signed programs itself (Windows), its verdict on a program file is asked as well.
#include "base/mem.h"

namespace sign {

inline constexpr u64 signature_size = 64;
inline constexpr u64 public_key_size = 32;

// 1 when the signature is the key's over every byte of the open file (a handle of the file layer, read from offset
// 0 to its current size); 0 when it is not, or when the file cannot be read.
u32 verify_file(u64 file, const u8* signature64, const u8* public_key32);

// The same over bytes in memory.
u32 verify_bytes(mem::Bytes message, const u8* signature64, const u8* public_key32);

// ---- The system's own check of a signed program file (Authenticode on Windows), made besides the release key's.
struct CodeCheck {
  u32 revocation;      // the revocation checks asked of the system (none, or the whole chain)
  u32 provider_flags;  // the flags given with them
  u32 result;          // the system's answer: 0 when the file's signature is valid and trusted
  u32 signer_matches;  // 1 when, signed, the signer's common name is exactly the expected name
};
// 1 when the system has the check and ran it on the open file (out filled); 0 when it has none (out cleared).
// With revocation, the certificates of the whole chain but the root are checked for revocation.
u32 check_code(u64 file, mem::Bytes signer, bool revocation, CodeCheck* out);

}  // namespace sign
