#include "wire/auth.h"

namespace auth {

namespace {

constexpr u32 block_size = 64;

bool is_hex(u8 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

u8 hex_value(u8 c) {
  if (c <= '9') return static_cast<u8>(c - '0');
  return static_cast<u8>((c | 0x20) - 'a' + 10);
}

bool starts_with(mem::Bytes text, mem::Bytes prefix) {
  return text.len >= prefix.len && __builtin_memcmp(text.ptr, prefix.ptr, prefix.len) == 0;
}

// A context that has absorbed the key block XOR pad.
void pad_into(sha256::Context* ctx, const u8 block[block_size], u8 pad) {
  u8 padded[block_size];
  for (u32 i = 0; i < block_size; ++i) padded[i] = block[i] ^ pad;
  sha256::init(ctx);
  sha256::update(ctx, mem::Bytes(padded, block_size));
  wipe(padded, sizeof padded);
}

void mac_tag(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, mem::Bytes e, u8 out[16]) {
  u8 full[mac_size];
  mac(k, a, b, c, d, e, full);
  __builtin_memcpy(out, full, tag_size);
  wipe(full, sizeof full);
}

bool tag_is(const u8 expected[16], mem::Bytes tag) {
  return same(mem::Bytes(expected, tag_size), tag);
}

}  // namespace

mem::Bytes hello_label() { return mem::lit("VBP1 hello"); }
mem::Bytes reply_label() { return mem::lit("VBP1 reply"); }
mem::Bytes proof_label() { return mem::lit("VBP1 proof"); }
mem::Bytes admit_label() { return mem::lit("VBP1 admit"); }
mem::Bytes frame_label() { return mem::lit("VBP1 frame"); }
mem::Bytes key_header() { return mem::lit("vimbrel-key 1 "); }
mem::Bytes utf8_bom() { return mem::lit("\xEF\xBB\xBF"); }
mem::Bytes hex_digits() { return mem::lit("0123456789abcdef"); }

void wipe(void* p, u64 n) {
  volatile u8* v = static_cast<volatile u8*>(p);
  for (u64 i = 0; i < n; ++i) v[i] = 0;
}

void key_init(KeyState* state, mem::Bytes key) {
  u8 block[block_size] = {};
  if (key.len > block_size) {
    sha256::sha256(key, block);
  } else if (key.len != 0) {
    __builtin_memcpy(block, key.ptr, key.len);
  }
  pad_into(&state->inner, block, 0x36);
  pad_into(&state->outer, block, 0x5c);
  wipe(block, sizeof block);
}

void finish(const KeyState* state, sha256::Context* inner, u8 out[32]) {
  u8 digest[mac_size];
  sha256::finish(inner, digest);
  sha256::Context outer = state->outer;
  sha256::update(&outer, mem::Bytes(digest, mac_size));
  sha256::finish(&outer, out);
  wipe(digest, sizeof digest);
  wipe(&outer, sizeof outer);
}

void tag_of(const KeyState* state, sha256::Context* inner, u8 out[16]) {
  u8 full[mac_size];
  finish(state, inner, full);
  __builtin_memcpy(out, full, tag_size);
  wipe(full, sizeof full);
}

void mac(const KeyState* state, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, mem::Bytes e, u8 out[32]) {
  sha256::Context inner = state->inner;
  sha256::update(&inner, a);
  sha256::update(&inner, b);
  sha256::update(&inner, c);
  sha256::update(&inner, d);
  sha256::update(&inner, e);
  finish(state, &inner, out);
  wipe(&inner, sizeof inner);
}

bool same(mem::Bytes a, mem::Bytes b) {
  u64 n = a.len < b.len ? a.len : b.len;
  u8 diff = 0;
  for (u64 i = 0; i < n; ++i) diff |= a.ptr[i] ^ b.ptr[i];
  return a.len == b.len && diff == 0;
}

void hello_proof(const KeyState* k, const u8 challenge[32], const u8 hello[40], u8 out[32]) {
  mac(k, hello_label(), mem::Bytes(challenge, 32), mem::Bytes(hello, 40), mem::Bytes(), mem::Bytes(), out);
}

bool hello_ok(const KeyState* k, const u8 challenge[32], const u8 hello[40], mem::Bytes proof) {
  u8 expected[mac_size];
  hello_proof(k, challenge, hello, expected);
  bool good = same(mem::Bytes(expected, mac_size), proof);
  wipe(expected, sizeof expected);
  return good;
}

void accept_tag(const KeyState* k, const u8 hello[40], const u8 challenge[32], const u8 head[16], u8 out[16]) {
  mac_tag(k, admit_label(), mem::Bytes(hello, 40), mem::Bytes(challenge, 32), mem::Bytes(head, 16), mem::Bytes(),
          out);
}

bool accept_ok(const KeyState* k, const u8 hello[40], const u8 challenge[32], const u8 head[16], mem::Bytes tag) {
  u8 expected[tag_size];
  accept_tag(k, hello, challenge, head, expected);
  return tag_is(expected, tag);
}

void session_key(const KeyState* k, const u8 nonce[16], const u8 challenge[32], KeyState* out) {
  u8 derived[mac_size];
  mac(k, frame_label(), mem::Bytes(nonce, 16), mem::Bytes(challenge, 32), mem::Bytes(), mem::Bytes(), derived);
  key_init(out, mem::Bytes(derived, mac_size));
  wipe(derived, sizeof derived);
}

void frame_tag(const KeyState* s, u8 direction, u64 counter, mem::Bytes frame, u8 out[16]) {
  u8 prefix[9];
  prefix[0] = direction;
  for (u32 i = 0; i < 8; ++i) prefix[1 + i] = static_cast<u8>(counter >> (8 * i));
  mac_tag(s, mem::Bytes(prefix, 9), frame, mem::Bytes(), mem::Bytes(), mem::Bytes(), out);
}

u32 seal_frame(const KeyState* s, u8 direction, u64 counter, mem::Slice buffer, u32 frame_length) {
  if (buffer.len < frame_length || buffer.len - frame_length < tag_size) return 0;
  frame_tag(s, direction, counter, mem::Bytes(buffer.ptr, frame_length), buffer.ptr + frame_length);
  return frame_length + tag_size;
}

bool frame_sealed(const KeyState* s, u8 direction, u64 counter, mem::Bytes buffer, u32 frame_length) {
  if (buffer.len < frame_length || buffer.len - frame_length < tag_size) return false;
  u8 expected[tag_size];
  frame_tag(s, direction, counter, mem::Bytes(buffer.ptr, frame_length), expected);
  return tag_is(expected, mem::Bytes(buffer.ptr + frame_length, tag_size));
}

void reply_tag(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, u8 out[16]) {
  mac_tag(k, reply_label(), a, b, c, d, out);
}

bool reply_ok(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, mem::Bytes tag) {
  u8 expected[tag_size];
  reply_tag(k, a, b, c, d, expected);
  return tag_is(expected, tag);
}

void proof_tag(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, u8 out[16]) {
  mac_tag(k, proof_label(), a, b, c, mem::Bytes(), out);
}

bool proof_ok(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes tag) {
  u8 expected[tag_size];
  proof_tag(k, a, b, c, expected);
  return tag_is(expected, tag);
}

bool seal(const KeyState* k, mem::Slice record) {
  if (record.len < tag_size) return false;
  u64 body = record.len - tag_size;
  mac_tag(k, mem::Bytes(record.ptr, body), mem::Bytes(), mem::Bytes(), mem::Bytes(), mem::Bytes(),
          record.ptr + body);
  return true;
}

bool sealed(const KeyState* k, mem::Bytes record) {
  if (record.len < tag_size) return false;
  u64 body = record.len - tag_size;
  u8 expected[tag_size];
  mac_tag(k, mem::Bytes(record.ptr, body), mem::Bytes(), mem::Bytes(), mem::Bytes(), mem::Bytes(), expected);
  return tag_is(expected, mem::Bytes(record.ptr + body, tag_size));
}

u32 parse_key(mem::Bytes text, u8 out[32]) {
  __builtin_memset(out, 0, key_size);
  if (starts_with(text, utf8_bom())) text = mem::Bytes(text.ptr + 3, text.len - 3);
  if (!starts_with(text, key_header())) return key_header_bad;
  mem::Bytes rest(text.ptr + key_header().len, text.len - key_header().len);
  u64 digits = 0;
  while (digits < rest.len && is_hex(rest.ptr[digits])) ++digits;
  bool line_end_next = digits < rest.len && (rest.ptr[digits] == '\n' || rest.ptr[digits] == '\r');
  if (digits < 64 && digits < rest.len && !line_end_next) return key_hex_bad;
  if (digits != 64) return key_length_bad;
  mem::Bytes after(rest.ptr + 64, rest.len - 64);
  bool ending_good = after.len == 0 || (after.len == 1 && after.ptr[0] == '\n') ||
                     (after.len == 2 && after.ptr[0] == '\r' && after.ptr[1] == '\n');
  if (!ending_good) return line_end_next ? key_trailing : key_hex_bad;
  u8 any = 0;
  for (u32 i = 0; i < key_size; ++i) {
    out[i] = static_cast<u8>(hex_value(rest.ptr[2 * i]) << 4 | hex_value(rest.ptr[2 * i + 1]));
    any |= out[i];
  }
  return any == 0 ? key_weak : key_ok;
}

void format_key(const u8 key[32], u8 out[79]) {
  __builtin_memcpy(out, key_header().ptr, key_header().len);
  const u8* digits = hex_digits().ptr;
  u8* p = out + key_header().len;
  for (u32 i = 0; i < key_size; ++i) {
    p[2 * i] = digits[key[i] >> 4];
    p[2 * i + 1] = digits[key[i] & 15];
  }
  out[key_text_size - 1] = '\n';
}

}  // namespace auth
