#pragma once
// Linux builds for the build service's tests: a small ELF-headed file of any size, placed in a Linux folder with
// its checksum line and a detached signature of a test key (or with one of them wrong).
#include <filesystem>
#include <string>

#include "cluster/remote_update.h"
#include "tests/support/signing.h"
#include "tests/support/testutil.h"

namespace buildfix {

using signing::hex;
using signing::sha256_hex;
using Key = signing::KeyPair;

// A 64-bit little-endian ELF head for the machine (62 x86_64, 183 aarch64), then a pattern up to size bytes.
inline std::string elf(size_t size, u16 machine = 62, u8 seed = 1) {
  std::string b(size, '\0');
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  const char head[] = {0x7F, 'E', 'L', 'F', 2, 1};
  for (size_t i = 0; i < sizeof head && i < size; ++i) b[i] = head[i];
  if (size >= 20) {
    b[18] = static_cast<char>(machine & 0xFF);
    b[19] = static_cast<char>(machine >> 8);
  }
  return b;
}

inline std::string name(u64 version, u8 arch = remote_update::arch_x86_64) {
  u8 out[remote_update::build_name_max];
  return std::string(reinterpret_cast<char*>(out), remote_update::build_name(version, arch, mem::Slice{out, 64}));
}

// The build N with N.sha256 and N.sig in the folder; what is left out or made wrong is the test's to say.
struct Placing {
  std::string digest_of;  // the bytes whose SHA-256 the line names; the build when empty
  bool sums = true;
  bool sig = true;
  const Key* signer = nullptr;  // the key that signs; the placing key when null
  std::string signed_as;        // the name whose version and architecture the signature names; the build's when empty
};

// The release signature of a build by its name "vimbrel-<version>-<arch>-linux": over its version, architecture and
// SHA-256, as `tools/release sign` makes it.
inline std::string sign_build(const Key& key, const std::string& n, const std::string& build) {
  std::string rest = n.substr(8, n.size() - 8 - 6);  // without "vimbrel-" and "-linux"
  size_t dash = rest.find('-');
  return key.sign_release(rest.substr(0, dash), rest.substr(dash + 1), build);
}

inline void place(const std::string& folder, const std::string& n, const std::string& build, const Key& key,
                  const Placing& how = Placing{}) {
  std::filesystem::create_directories(folder);
  testutil::write_file(folder + "/" + n, build);
  if (how.sums) {
    testutil::write_file(folder + "/" + n + ".sha256",
                         sha256_hex(how.digest_of.empty() ? build : how.digest_of) + "  " + n + "\n");
  }
  if (how.sig) {
    const Key& signer = how.signer ? *how.signer : key;
    testutil::write_file(folder + "/" + n + ".sig", sign_build(signer, how.signed_as.empty() ? n : how.signed_as, build));
  }
}

}  // namespace buildfix
