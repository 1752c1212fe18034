#pragma once
// Release signing for tests: a fresh Ed25519 key pair per object that signs detached, as a release server publishes
// "<file>.sig", and the hexadecimal texts that checksum lists and the test seams use.
#include <sodium.h>
#include <stdlib.h>

#include <string>

#include "base/sha256.h"

namespace signing {

inline std::string hex(const u8* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += digits[data[i] >> 4], s += digits[data[i] & 15];
  return s;
}

inline std::string sha256_hex(const std::string& data) {
  u8 digest[32];
  sha256::sha256(mem::Bytes(reinterpret_cast<const u8*>(data.data()), data.size()), digest);
  return hex(digest, 32);
}

struct KeyPair {
  u8 pk[crypto_sign_PUBLICKEYBYTES];
  u8 sk[crypto_sign_SECRETKEYBYTES];
  KeyPair() {
    if (sodium_init() < 0) abort();
    crypto_sign_keypair(pk, sk);
  }
  std::string sign(const std::string& data) const {
    u8 sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const u8*>(data.data()), data.size(), sk);
    return std::string(reinterpret_cast<const char*>(sig), sizeof sig);
  }
  // The release signature as `tools/release sign` makes it: over "vimbrel <version> <arch> <sha256 of the body>".
  std::string sign_release(const std::string& version, const std::string& arch, const std::string& body) const {
    return sign("vimbrel " + version + " " + arch + " " + sha256_hex(body));
  }
  std::string public_hex() const { return hex(pk, 32); }
};

}  // namespace signing
