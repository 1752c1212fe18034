#pragma once
// JSON for the MCP server. The reader turns one message into a flat table of values that point back into the text
// (nothing is copied or decoded while parsing); the writer appends to one bounded buffer and records, instead of
// failing, when something did not fit or the nesting went wrong. Both are fixed-size and never allocate. Message
// text comes from standard input and is untrusted: every limit is enforced and the reader never recurses.
#include "base/mem.h"

namespace json {

constexpr u32 max_bytes = 65536;
constexpr u32 max_values = 2048;
constexpr u32 max_depth = 16;
constexpr u16 none = 0xFFFF;

// Value types.
constexpr u8 type_none = 0, type_object = 1, type_array = 2, type_string = 3, type_key = 4, type_number = 5,
             type_true = 6, type_false = 7, type_null = 8;

// Reader errors.
constexpr u8 error_none = 0, error_unexpected = 1, error_ends_early = 2, error_too_deep = 3, error_too_many = 4,
             error_escape = 5, error_control = 6, error_number = 7, error_too_long = 8, error_utf8 = 9;

// One parsed message. Values are numbered in the order they begin in the text; the root is value 0. A container's
// first child is its index + 1 when that is below its end; the value after a value is its end. In an object keys
// and values alternate: the value of key k is k + 1, the next key is the end of k + 1.
struct Document {
  u16 count;
  u8 error;
  u32 error_at;  // byte offset of the first error
  u8 types[max_values];
  u32 starts[max_values];   // a container from its opening bracket; a string or key from after its quote
  u32 lengths[max_values];  // a container through its closer; a string or key without its quotes
  u16 parents[max_values];  // none for the root
  u16 ends[max_values];     // index of the first value after this one and everything inside it
};
static_assert(sizeof(Document) == 26632);

mem::Bytes error_text(u32 code);

// Parses one message into the document, which says whether it succeeded (error 0). The document's spans point into
// the text, which must stay unchanged while the document is used.
void parse(mem::Bytes text, Document* doc);
// The value's type; type_none for an index not in the table.
u8 type_of(const Document* doc, u16 index);
// The value's span in the text: a string or key without its quotes, escapes not decoded; empty for none.
mem::Bytes text_of(const Document* doc, mem::Bytes text, u16 index);
// The value of the first member of the object whose key equals key; none when absent or not an object.
u16 member(const Document* doc, mem::Bytes text, u16 object, mem::Bytes key);
// 1 when the value is a string or key whose decoded content is at most 64 bytes and equals literal byte for byte.
u32 string_equals(const Document* doc, mem::Bytes text, u16 index, mem::Bytes literal);
// Decodes a string's content (escapes and surrogate pairs to UTF-8) into out, storing what fits, and returns the
// full decoded length, so that a caller sees a value that was too long.
u64 unescape(mem::Bytes content, mem::Slice out);

// Number flags.
constexpr u32 number_negative = 1, number_fraction = 2, number_exponent = 4, number_overflow = 8;
// The digits after an optional "-" as an unsigned magnitude, stopping at the first byte that is not a digit; the
// sign is not applied. On overflow the result is all ones and *overflow (when given) is 1.
u64 integer(mem::Bytes number, u32* overflow);
// number_negative, number_fraction, number_exponent and number_overflow as they apply; a plain unsigned integer
// has flags 0.
u32 number_flags(mem::Bytes number);

// Writer flags.
constexpr u8 flag_overflow = 1, flag_key = 2, flag_nesting = 4;

struct Writer {
  u8* buffer;
  u32 capacity;
  u32 length;
  u32 commas;  // bit d: the container at depth d already holds a value
  u8 depth;
  u8 flags;
};

// An empty writer over the buffer (at most 4 GiB of it is used).
void writer_init(Writer* w, mem::Slice buffer);
// 1 when nothing overflowed, the nesting was right and every container was closed.
u32 writer_ok(const Writer* w);

// Raw output, no comma.
void put_byte(Writer* w, u8 byte);
void put_raw(Writer* w, mem::Bytes bytes);
// Escaped text without quotes; a byte that does not start well-formed UTF-8 becomes \ufffd.
void write_string(Writer* w, mem::Bytes text);
void write_uint(Writer* w, u64 value);
// The separator before a value or key: nothing right after a key, else "," when the container holds a value.
void comma(Writer* w);

// Values; each writes its comma first.
void begin_object(Writer* w);
void begin_array(Writer* w);
void end_object(Writer* w);
void end_array(Writer* w);
void key(Writer* w, mem::Bytes name);
void string_value(Writer* w, mem::Bytes text);
void raw_value(Writer* w, mem::Bytes bytes);
void uint_value(Writer* w, u64 value);
void int_value(Writer* w, i64 value);
// value / 10^d with exactly d = min(decimals, 9) decimals: 1234 with 2 is 12.34, 5 with 2 is 0.05.
void fixed_value(Writer* w, u64 value, u32 decimals);
void write_bool(Writer* w, u32 value);
void write_null(Writer* w);

}  // namespace json
