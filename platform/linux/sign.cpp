// Ed25519 through libsodium (linked statically). The file is mapped, not read into memory: a release of 64 MiB is
// checked through the page cache.
#include "platform/sign.h"

#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace sign {
namespace {

bool ready() { return sodium_init() >= 0; }  // idempotent; needed once per process before any call

}  // namespace

u32 verify_bytes(mem::Bytes message, const u8* signature64, const u8* public_key32) {
  if (!ready()) return 0;
  return crypto_sign_verify_detached(signature64, message.ptr, message.len, public_key32) == 0 ? 1 : 0;
}

u32 verify_file(u64 file, const u8* signature64, const u8* public_key32) {
  if (file == 0 || !ready()) return 0;
  int fd = int(file - 1);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return 0;
  if (st.st_size == 0) return verify_bytes(mem::Bytes(), signature64, public_key32);
  void* view = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) return 0;
  u32 ok = verify_bytes(mem::Bytes(static_cast<const u8*>(view), u64(st.st_size)), signature64, public_key32);
  munmap(view, size_t(st.st_size));
  return ok;
}

// Linux has no system-wide code-signing check of program files: the release key's signature is the whole check.
u32 check_code(u64, mem::Bytes, bool, CodeCheck* out) {
  *out = CodeCheck{};
  return 0;
}

}  // namespace sign
