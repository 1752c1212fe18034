#include "platform/os.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/linux/entry.h"

namespace os {
namespace {
// Written once by the entry, read-only afterwards.
int saved_argc = 0;
char** saved_argv = nullptr;
}  // namespace

void set_args(int argc, char** argv) {
  saved_argc = argc;
  saved_argv = argv;
}

void write_std(u32 handle_id, mem::Bytes bytes) {
  const u64 chunk_max = 0x40000000;
  u64 done = 0;
  while (done < bytes.len) {
    u64 n = bytes.len - done < chunk_max ? bytes.len - done : chunk_max;
    ssize_t w = write(static_cast<int>(handle_id), bytes.ptr + done, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<u64>(w);
  }
}

void write_out(mem::Bytes bytes) { write_std(std_output, bytes); }
void write_err(mem::Bytes bytes) { write_std(std_error, bytes); }

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

u64 arg_count() { return saved_argc > 0 ? static_cast<u64>(saved_argc) : 1; }

mem::Bytes arg(u64 i) {
  if (!saved_argv || i >= static_cast<u64>(saved_argc) || !saved_argv[i]) return mem::Bytes();
  return mem::Bytes(reinterpret_cast<const u8*>(saved_argv[i]), strlen(saved_argv[i]));
}

void* pages_reserve(u64 size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

u32 pages_release(void* block, u64 size) { return munmap(block, size) == 0 ? 1 : 0; }

void exit_process(u32 code) { exit(static_cast<int>(code & 0xFF)); }

}  // namespace os
