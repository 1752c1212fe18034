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

u64 stdin_handle() { return STDIN_FILENO; }
u64 stdout_handle() { return STDOUT_FILENO; }

namespace {

bool is_blank(u8 c) { return c == ' ' || c == '\t'; }

// Writes one argument so that next_token reads it back: bare when it can be, else quoted with each backslash run
// doubled where a quote (or the closing quote) follows it.
u64 put_quoted(u8* out, mem::Bytes a) {
  bool bare = a.len > 0;
  for (u64 i = 0; i < a.len; ++i) bare = bare && !is_blank(a.ptr[i]) && a.ptr[i] != '"';
  if (bare) {
    memcpy(out, a.ptr, a.len);
    return a.len;
  }
  u64 n = 0, run = 0;
  out[n++] = '"';
  for (u64 i = 0; i < a.len; ++i) {
    u8 c = a.ptr[i];
    if (c == '"') {
      for (u64 k = 0; k < run + 1; ++k) out[n++] = '\\';
      out[n++] = '"';
    } else {
      out[n++] = c;
    }
    run = c == '\\' ? run + 1 : 0;
  }
  for (u64 k = 0; k < run; ++k) out[n++] = '\\';
  out[n++] = '"';
  return n;
}

}  // namespace

mem::Slice command_line() {
  u64 count = arg_count(), size = 0;
  for (u64 i = 0; i < count; ++i) size += 2 * arg(i).len + 3;
  u8* text = static_cast<u8*>(malloc(size));
  if (!text) return mem::Slice{nullptr, 0};
  u64 n = 0;
  text[n++] = '"';
  mem::Bytes name = arg(0);
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] != '"') text[n++] = name.ptr[i];
  }
  text[n++] = '"';
  for (u64 i = 1; i < count; ++i) {
    text[n++] = ' ';
    n += put_quoted(text + n, arg(i));
  }
  return mem::Slice{text, n};
}

void free_command_line(u8* text) {
  if (text) heap_free(text);
}

void heap_free(void* block) {
  int saved = errno;
  free(block);
  errno = saved;
}

u32 next_token(mem::Bytes text, u64* position, u32 first, u8* destination, u64 capacity, u64* length) {
  u64 at = *position, n = 0;
  auto put = [&](u8 c) {
    if (destination && n < capacity) destination[n] = c;
    ++n;
  };
  if (!first) {
    while (at < text.len && is_blank(text.ptr[at])) ++at;
    if (at >= text.len) {
      *position = at;
      *length = 0;
      return 0;
    }
  }
  bool quoted = false;
  while (at < text.len && (quoted || !is_blank(text.ptr[at]))) {
    u8 c = text.ptr[at];
    if (c == '\\' && !first) {
      u64 run = 0;
      while (at < text.len && text.ptr[at] == '\\') ++run, ++at;
      bool quote_follows = at < text.len && text.ptr[at] == '"';
      for (u64 k = 0; k < (quote_follows ? run / 2 : run); ++k) put('\\');
      if (quote_follows && run % 2 == 1) put('"'), ++at;
    } else if (c == '"' && !first && quoted && at + 1 < text.len && text.ptr[at + 1] == '"') {
      put('"');
      at += 2;
    } else if (c == '"') {
      quoted = !quoted;
      ++at;
    } else {
      put(c);
      ++at;
    }
  }
  *position = at;
  *length = n;
  return 1;
}

void* pages_reserve(u64 size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

u32 pages_release(void* block, u64 size) { return munmap(block, size) == 0 ? 1 : 0; }

void exit_process(u32 code) { exit(static_cast<int>(code & 0xFF)); }

}  // namespace os
