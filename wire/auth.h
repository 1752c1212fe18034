#pragma once
// The cluster key and everything it authenticates: HMAC-SHA-256 over a prepared key, the link handshake's proofs,
// the per-connection key, the per-frame tags with direction and counter, and the seals of stored records. The one
// 32-byte key is the only proof of membership, so every comparison runs in constant time and every secret this
// module puts on the stack is wiped before it returns.
#include "base/mem.h"
#include "base/sha256.h"

namespace auth {

// A key prepared for HMAC: the inner context has absorbed the padded key XOR 0x36, the outer one the padded key XOR
// 0x5c, so every MAC starts from copies and never re-reads the key. Plain data, copied by value into every holder.
struct KeyState {
  sha256::Context inner;
  sha256::Context outer;
};
static_assert(sizeof(KeyState) == 736);

constexpr u32 key_size = 32;
constexpr u32 mac_size = 32;
constexpr u32 tag_size = 16;
// Directions of a sealed frame: link end to host, host to link end.
constexpr u8 to_host = 1;
constexpr u8 to_link = 2;

// The fixed byte strings, without terminators.
mem::Bytes hello_label();  // "VBP1 hello": the link end's proof
mem::Bytes reply_label();  // "VBP1 reply": the election's probe reply
mem::Bytes proof_label();  // "VBP1 proof": the election's probe proof
mem::Bytes admit_label();  // "VBP1 admit": the host's accept tag
mem::Bytes frame_label();  // "VBP1 frame": the connection key's derivation
mem::Bytes key_header();   // "vimbrel-key 1 ": the key file's header
mem::Bytes utf8_bom();     // EF BB BF, an optional start of the key file
mem::Bytes hex_digits();   // "0123456789abcdef"

// Zeroes bytes in a way the compiler cannot drop as a dead store.
void wipe(void* p, u64 n);

// Prepares a key state; a key above 64 bytes is hashed to 32 first.
void key_init(KeyState* state, mem::Bytes key);
// Finishes an inner context that started as a copy of state->inner and absorbed the message: out = HMAC.
void finish(const KeyState* state, sha256::Context* inner, u8 out[32]);
// finish, keeping the first 16 bytes.
void tag_of(const KeyState* state, sha256::Context* inner, u8 out[16]);
// HMAC of the concatenation of five parts (unused parts empty).
void mac(const KeyState* state, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, mem::Bytes e, u8 out[32]);
// Constant-time: true only when the lengths are equal and every byte pair is; the time does not depend on where the
// strings differ.
bool same(mem::Bytes a, mem::Bytes b);

// The link end's proof: HMAC(K, "VBP1 hello" | challenge | hello payload).
void hello_proof(const KeyState* k, const u8 challenge[32], const u8 hello[40], u8 out[32]);
bool hello_ok(const KeyState* k, const u8 challenge[32], const u8 hello[40], mem::Bytes proof);
// The host's accept tag over the first 16 accept payload bytes: tag of HMAC(K, "VBP1 admit" | hello | challenge |
// head).
void accept_tag(const KeyState* k, const u8 hello[40], const u8 challenge[32], const u8 head[16], u8 out[16]);
bool accept_ok(const KeyState* k, const u8 hello[40], const u8 challenge[32], const u8 head[16], mem::Bytes tag);
// The connection key: the key state of HMAC(K, "VBP1 frame" | nonce | challenge).
void session_key(const KeyState* k, const u8 nonce[16], const u8 challenge[32], KeyState* out);

// A frame's tag: tag of HMAC(S, direction | counter as u64 little-endian | frame bytes).
void frame_tag(const KeyState* s, u8 direction, u64 counter, mem::Bytes frame, u8 out[16]);
// Writes the tag of buffer[0 .. frame_length) after it; frame_length + 16, or 0 when fewer than 16 bytes are free.
u32 seal_frame(const KeyState* s, u8 direction, u64 counter, mem::Slice buffer, u32 frame_length);
// False when fewer than 16 bytes follow the frame; else whether they are its tag.
bool frame_sealed(const KeyState* s, u8 direction, u64 counter, mem::Bytes buffer, u32 frame_length);

// Election probe reply: tag of HMAC(K, "VBP1 reply" | prober nonce | prober id | responder id | responder challenge).
void reply_tag(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, u8 out[16]);
bool reply_ok(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes d, mem::Bytes tag);
// Election probe proof: tag of HMAC(K, "VBP1 proof" | responder challenge | responder id | prober id).
void proof_tag(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, u8 out[16]);
bool proof_ok(const KeyState* k, mem::Bytes a, mem::Bytes b, mem::Bytes c, mem::Bytes tag);

// Stored records: the last 16 bytes are the tag of HMAC(K, everything before them), no label. Both refuse a record
// shorter than 16 bytes (seal then writes nothing).
bool seal(const KeyState* k, mem::Slice record);
bool sealed(const KeyState* k, mem::Bytes record);

// Key file text.
enum KeyVerdict : u32 {
  key_ok = 0,
  key_header_bad = 1,  // does not begin with "vimbrel-key 1 " (after an optional byte order mark)
  key_hex_bad = 2,     // the digits stop at a byte that is not a line end, or something else follows them
  key_length_bad = 3,  // not exactly 64 digits
  key_trailing = 4,    // more bytes after the line end
  key_weak = 5,        // all 32 bytes are 0
};
constexpr u32 key_text_size = 79;  // header, 64 digits, LF
// Parses key file text into 32 bytes; out is zeroed first and filled only when the digits and the ending are good.
u32 parse_key(mem::Bytes text, u8 out[32]);
// The file text: "vimbrel-key 1 ", 64 lower-case digits, LF.
void format_key(const u8 key[32], u8 out[79]);

}  // namespace auth
