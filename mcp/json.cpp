#include "mcp/json.h"

namespace json {

namespace {

// What the reader expects next.
enum State : u8 { expect_value, object_open, array_open, after_key, after_value, key_expected, done };

struct Reader {
  const u8* p;
  u32 len;
  u32 at;
  State state;
  u8 depth;
  u16 open[max_depth];
  Document* doc;
};

// Length of the well-formed UTF-8 sequence that starts at p (2 to 4) when it lies wholly within avail bytes; 0 for
// anything else: a stray continuation byte, an overlong form, an encoded surrogate, a value above U+10FFFF or a cut.
u32 utf8_length(const u8* p, u64 avail) {
  u8 lead = p[0];
  u32 n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (n == 0 || avail < n) return 0;
  u8 low = 0x80, high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (p[1] < low || p[1] > high) return 0;
  for (u32 i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return n;
}

u32 hex_digit(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

// A \u escape at p[i]: 0 with *code set, else the error (bad escape, or the text ends inside it).
u8 u_escape(const u8* p, u64 len, u64 i, u32* code) {
  if (i < len && p[i] != '\\') return error_escape;
  if (i + 1 < len && p[i + 1] != 'u') return error_escape;
  u32 value = 0;
  for (u64 k = i + 2; k < i + 6 && k < len; ++k) {
    u32 d = hex_digit(p[k]);
    if (d > 15) return error_escape;
    value = value * 16 + d;
  }
  if (i + 6 > len) return error_ends_early;
  *code = value;
  return error_none;
}

// Whether c may follow a backslash as a one-byte escape.
u32 simple_escape(u8 c) {
  return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
}

void fail(Reader* r, u8 error, u32 at) {
  r->doc->error = error;
  r->doc->error_at = at;
}

// Checks the string whose opening quote is at r->at; returns the offset of its closing quote, or 0 after an error.
u32 scan_string(Reader* r) {
  const u8* p = r->p;
  u32 i = r->at + 1;
  while (i < r->len) {
    u8 c = p[i];
    if (c == '"') return i;
    if (c < 0x20) return fail(r, error_control, i), 0;
    if (c >= 0x80) {
      u32 n = utf8_length(p + i, r->len - i);
      if (n == 0) return fail(r, error_utf8, i), 0;
      i += n;
      continue;
    }
    if (c != '\\') {
      ++i;
      continue;
    }
    if (i + 1 >= r->len) break;
    if (simple_escape(p[i + 1])) {
      i += 2;
      continue;
    }
    u32 code = 0;
    u8 e = u_escape(p, r->len, i, &code);
    if (e == error_none && code >= 0xDC00 && code <= 0xDFFF) e = error_escape;
    if (e == error_none && code >= 0xD800 && code <= 0xDBFF) {
      u32 low = 0;
      e = u_escape(p, r->len, i + 6, &low);
      if (e == error_none && (low < 0xDC00 || low > 0xDFFF)) e = error_escape;
      if (e == error_none) i += 6;
    }
    if (e == error_ends_early) break;
    if (e != error_none) return fail(r, e, i), 0;
    i += 6;
  }
  fail(r, error_ends_early, r->len);
  return 0;
}

u32 is_digit(u8 c) { return c >= '0' && c <= '9'; }

u32 skip_digits(const u8* p, u32 len, u32 i) {
  while (i < len && is_digit(p[i])) ++i;
  return i;
}

// Length of the number that starts at r->at, 0 when there is none.
u32 scan_number(const Reader* r) {
  const u8* p = r->p;
  u32 len = r->len, i = r->at;
  if (p[i] == '-') ++i;
  if (i >= len || !is_digit(p[i])) return 0;
  i = p[i] == '0' ? i + 1 : skip_digits(p, len, i);
  if (i < len && p[i] == '.') {
    if (i + 1 >= len || !is_digit(p[i + 1])) return 0;
    i = skip_digits(p, len, i + 1);
  }
  if (i < len && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    if (i < len && (p[i] == '+' || p[i] == '-')) ++i;
    if (i >= len || !is_digit(p[i])) return 0;
    i = skip_digits(p, len, i);
  }
  return i - r->at;
}

// Appends a value under the innermost open container; none after an error.
u16 add_value(Reader* r, u8 type, u32 start, u32 length, u32 error_at) {
  Document* doc = r->doc;
  if (doc->count >= max_values) return fail(r, error_too_many, error_at), none;
  u16 index = doc->count++;
  doc->types[index] = type;
  doc->starts[index] = start;
  doc->lengths[index] = length;
  doc->parents[index] = r->depth > 0 ? r->open[r->depth - 1] : none;
  doc->ends[index] = static_cast<u16>(index + 1);
  return index;
}

// The state after a complete value.
void value_done(Reader* r) { r->state = r->depth == 0 ? done : after_value; }

u8 container_type(const Reader* r) { return r->depth > 0 ? r->doc->types[r->open[r->depth - 1]] : type_none; }

void close_container(Reader* r) {
  Document* doc = r->doc;
  u16 index = r->open[--r->depth];
  doc->ends[index] = doc->count;
  doc->lengths[index] = r->at - doc->starts[index] + 1;
  ++r->at;
  value_done(r);
}

void literal(Reader* r, mem::Bytes word, u8 type) {
  u32 i = 0;
  for (; i < word.len && r->at + i < r->len; ++i) {
    if (r->p[r->at + i] != word.ptr[i]) return fail(r, error_unexpected, r->at);
  }
  if (i < word.len) return fail(r, error_ends_early, r->at);
  if (add_value(r, type, r->at, static_cast<u32>(word.len), r->at) == none) return;
  r->at += static_cast<u32>(word.len);
  value_done(r);
}

void string(Reader* r) {
  u32 close = scan_string(r);
  if (close == 0) return;
  u32 key_position = r->state == object_open || r->state == key_expected;
  if (add_value(r, key_position ? type_key : type_string, r->at + 1, close - r->at - 1, r->at) == none) return;
  r->at = close + 1;
  if (key_position) {
    r->state = after_key;
  } else {
    value_done(r);
  }
}

void open_container(Reader* r, u8 type) {
  if (r->depth >= max_depth) return fail(r, error_too_deep, r->at);
  u16 index = add_value(r, type, r->at, 1, r->at);
  if (index == none) return;
  r->open[r->depth++] = index;
  r->state = type == type_object ? object_open : array_open;
  ++r->at;
}

// One turn of the reader at a byte that is not white space.
void step(Reader* r) {
  u8 c = r->p[r->at];
  u8 inner = container_type(r);
  if (r->state == done) return fail(r, error_unexpected, r->at);
  if (r->state == after_key) {
    if (c != ':') return fail(r, error_unexpected, r->at);
    r->state = expect_value;
    ++r->at;
    return;
  }
  u32 closable = r->state == after_value || r->state == (inner == type_object ? object_open : array_open);
  if (closable && ((c == '}' && inner == type_object) || (c == ']' && inner == type_array))) return close_container(r);
  if (r->state == after_value) {
    if (c != ',') return fail(r, error_unexpected, r->at);
    r->state = inner == type_object ? key_expected : expect_value;
    ++r->at;
    return;
  }
  if ((r->state == object_open || r->state == key_expected) && c != '"') return fail(r, error_unexpected, r->at);
  if (c == '"') return string(r);
  if (c == '-' || is_digit(c)) {
    u32 n = scan_number(r);
    if (n == 0) return fail(r, error_number, r->at);
    if (add_value(r, type_number, r->at, n, r->at) == none) return;
    r->at += n;
    return value_done(r);
  }
  if (c == '{') return open_container(r, type_object);
  if (c == '[') return open_container(r, type_array);
  if (c == 't') return literal(r, mem::lit("true"), type_true);
  if (c == 'f') return literal(r, mem::lit("false"), type_false);
  if (c == 'n') return literal(r, mem::lit("null"), type_null);
  fail(r, error_unexpected, r->at);
}

u32 is_space(u8 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends the code point as UTF-8 at out[n] when it fits; returns its length.
u64 put_code(mem::Slice out, u64 n, u32 code) {
  u8 b[4];
  u64 k;
  if (code < 0x80) {
    b[0] = static_cast<u8>(code);
    k = 1;
  } else if (code < 0x800) {
    b[0] = static_cast<u8>(0xC0 | code >> 6);
    b[1] = static_cast<u8>(0x80 | (code & 0x3F));
    k = 2;
  } else if (code < 0x10000) {
    b[0] = static_cast<u8>(0xE0 | code >> 12);
    b[1] = static_cast<u8>(0x80 | (code >> 6 & 0x3F));
    b[2] = static_cast<u8>(0x80 | (code & 0x3F));
    k = 3;
  } else {
    b[0] = static_cast<u8>(0xF0 | code >> 18);
    b[1] = static_cast<u8>(0x80 | (code >> 12 & 0x3F));
    b[2] = static_cast<u8>(0x80 | (code >> 6 & 0x3F));
    b[3] = static_cast<u8>(0x80 | (code & 0x3F));
    k = 4;
  }
  for (u64 i = 0; i < k; ++i) {
    if (n + i < out.len) out.ptr[n + i] = b[i];
  }
  return k;
}

// The byte a one-byte escape stands for.
u8 simple_unescaped(u8 c) {
  switch (c) {
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    default: return c;
  }
}

// Decodes the escape at content[i] into out at n; returns the bytes consumed and adds the bytes produced to *n. An
// escape the reader would have refused is copied as it is, and a lone surrogate becomes U+FFFD, so the output is
// never invalid UTF-8 that was not already in the input.
u64 unescape_one(mem::Bytes content, u64 i, mem::Slice out, u64* n) {
  const u8* p = content.ptr;
  if (i + 1 < content.len && simple_escape(p[i + 1])) {
    *n += put_code(out, *n, simple_unescaped(p[i + 1]));
    return 2;
  }
  u32 code = 0;
  if (u_escape(p, content.len, i, &code) != error_none) {
    *n += put_code(out, *n, '\\');
    return 1;
  }
  u32 low = 0;
  if (code >= 0xD800 && code <= 0xDBFF && u_escape(p, content.len, i + 6, &low) == error_none && low >= 0xDC00 &&
      low <= 0xDFFF) {
    *n += put_code(out, *n, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
    return 12;
  }
  if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
  *n += put_code(out, *n, code);
  return 6;
}

}  // namespace

mem::Bytes error_text(u32 code) {
  switch (code) {
    case error_none: return mem::lit("no error");
    case error_unexpected: return mem::lit("unexpected character");
    case error_ends_early: return mem::lit("the message ends early");
    case error_too_deep: return mem::lit("nested deeper than 16 levels");
    case error_too_many: return mem::lit("more than 2048 values");
    case error_escape: return mem::lit("bad escape in a string");
    case error_control: return mem::lit("control character in a string");
    case error_number: return mem::lit("bad number");
    case error_too_long: return mem::lit("longer than 65536 bytes");
    case error_utf8: return mem::lit("invalid UTF-8 in a string");
    default: return mem::lit("");
  }
}

void parse(mem::Bytes text, Document* doc) {
  doc->count = 0;
  doc->error = error_none;
  doc->error_at = 0;
  if (text.len > max_bytes) {
    doc->error = error_too_long;
    doc->error_at = max_bytes;
    return;
  }
  Reader r;
  r.p = text.ptr;
  r.len = static_cast<u32>(text.len);
  r.at = 0;
  r.state = expect_value;
  r.depth = 0;
  r.doc = doc;
  while (doc->error == error_none) {
    while (r.at < r.len && is_space(r.p[r.at])) ++r.at;
    if (r.at >= r.len) {
      if (r.state != done) fail(&r, error_ends_early, r.len);
      return;
    }
    step(&r);
  }
}

u8 type_of(const Document* doc, u16 index) { return index < doc->count ? doc->types[index] : type_none; }

mem::Bytes text_of(const Document* doc, mem::Bytes text, u16 index) {
  if (type_of(doc, index) == type_none) return mem::Bytes();
  u64 start = doc->starts[index], length = doc->lengths[index];
  if (start > text.len || length > text.len - start) return mem::Bytes();
  return mem::Bytes(text.ptr + start, length);
}

u16 member(const Document* doc, mem::Bytes text, u16 object, mem::Bytes key) {
  if (type_of(doc, object) != type_object) return none;
  u32 end = doc->ends[object];
  for (u32 k = object + 1u; k + 1 < end && k < doc->count; k = doc->ends[k + 1]) {
    if (string_equals(doc, text, static_cast<u16>(k), key)) return static_cast<u16>(k + 1);
  }
  return none;
}

u32 string_equals(const Document* doc, mem::Bytes text, u16 index, mem::Bytes literal) {
  u8 type = type_of(doc, index);
  if (type != type_string && type != type_key) return 0;
  u8 decoded[64];
  u64 n = unescape(text_of(doc, text, index), mem::Slice{decoded, sizeof decoded});
  return n <= sizeof decoded && mem::eq(mem::Bytes(decoded, n), literal);
}

u64 unescape(mem::Bytes content, mem::Slice out) {
  u64 n = 0;
  for (u64 i = 0; i < content.len;) {
    if (content.ptr[i] == '\\') {
      i += unescape_one(content, i, out, &n);
    } else {
      if (n < out.len) out.ptr[n] = content.ptr[i];
      ++n;
      ++i;
    }
  }
  return n;
}

u64 integer(mem::Bytes number, u32* overflow) {
  u64 i = number.len > 0 && number.ptr[0] == '-' ? 1 : 0;
  u64 value = 0;
  u32 over = 0;
  for (; i < number.len && is_digit(number.ptr[i]); ++i) {
    u32 d = number.ptr[i] - '0';
    if (value > (UINT64_MAX - d) / 10) over = 1;
    value = value * 10 + d;
  }
  if (overflow) *overflow = over;
  return over ? UINT64_MAX : value;
}

u32 number_flags(mem::Bytes number) {
  u32 flags = 0;
  if (number.len > 0 && number.ptr[0] == '-') flags |= number_negative;
  for (u64 i = 0; i < number.len; ++i) {
    u8 c = number.ptr[i];
    if (c == '.') flags |= number_fraction;
    if (c == 'e' || c == 'E') flags |= number_exponent;
  }
  u32 over = 0;
  integer(number, &over);
  return flags | (over ? number_overflow : 0);
}

void writer_init(Writer* w, mem::Slice buffer) {
  w->buffer = buffer.ptr;
  w->capacity = buffer.len > UINT32_MAX ? UINT32_MAX : static_cast<u32>(buffer.len);
  w->length = 0;
  w->commas = 0;
  w->depth = 0;
  w->flags = 0;
}

u32 writer_ok(const Writer* w) { return w->flags == 0 && w->depth == 0; }

void put_byte(Writer* w, u8 byte) {
  if (w->length < w->capacity) {
    w->buffer[w->length++] = byte;
  } else {
    w->flags |= flag_overflow;
  }
}

void put_raw(Writer* w, mem::Bytes bytes) {
  for (u64 i = 0; i < bytes.len; ++i) put_byte(w, bytes.ptr[i]);
}

void write_string(Writer* w, mem::Bytes text) {
  const u8* hex = reinterpret_cast<const u8*>("0123456789abcdef");
  for (u64 i = 0; i < text.len;) {
    u8 c = text.ptr[i];
    if (c >= 0x80) {
      u32 n = utf8_length(text.ptr + i, text.len - i);
      if (n == 0) {
        put_raw(w, mem::lit("\\ufffd"));
        ++i;
      } else {
        put_raw(w, mem::Bytes(text.ptr + i, n));
        i += n;
      }
      continue;
    }
    ++i;
    u8 escape = c == '"' || c == '\\' ? c : c == 8 ? 'b' : c == 9 ? 't' : c == 10 ? 'n' : c == 12 ? 'f' : c == 13 ? 'r' : 0;
    if (escape) {
      put_byte(w, '\\');
      put_byte(w, escape);
    } else if (c < 0x20) {
      put_raw(w, mem::lit("\\u00"));
      put_byte(w, hex[c >> 4]);
      put_byte(w, hex[c & 15]);
    } else {
      put_byte(w, c);
    }
  }
}

void write_uint(Writer* w, u64 value) {
  u8 digits[20];
  u32 n = 0;
  do {
    digits[n++] = static_cast<u8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) put_byte(w, digits[--n]);
}

void comma(Writer* w) {
  if (w->flags & flag_key) {
    w->flags &= static_cast<u8>(~flag_key);
    return;
  }
  u32 bit = 1u << w->depth;
  if (w->commas & bit) put_byte(w, ',');
  w->commas |= bit;
}

namespace {

void begin(Writer* w, u8 opener) {
  comma(w);
  put_byte(w, opener);
  if (w->depth >= max_depth) {
    w->flags |= flag_nesting;
    return;
  }
  ++w->depth;
  w->commas &= ~(1u << w->depth);
}

void end(Writer* w, u8 closer) {
  put_byte(w, closer);
  if (w->depth == 0) {
    w->flags |= flag_nesting;
    return;
  }
  --w->depth;
}

}  // namespace

void begin_object(Writer* w) { begin(w, '{'); }
void begin_array(Writer* w) { begin(w, '['); }
void end_object(Writer* w) { end(w, '}'); }
void end_array(Writer* w) { end(w, ']'); }

void key(Writer* w, mem::Bytes name) {
  string_value(w, name);
  put_byte(w, ':');
  w->flags |= flag_key;
}

void string_value(Writer* w, mem::Bytes text) {
  comma(w);
  put_byte(w, '"');
  write_string(w, text);
  put_byte(w, '"');
}

void raw_value(Writer* w, mem::Bytes bytes) {
  comma(w);
  put_raw(w, bytes);
}

void uint_value(Writer* w, u64 value) {
  comma(w);
  write_uint(w, value);
}

void int_value(Writer* w, i64 value) {
  comma(w);
  u64 magnitude = static_cast<u64>(value);
  if (value < 0) {
    put_byte(w, '-');
    magnitude = 0 - magnitude;
  }
  write_uint(w, magnitude);
}

void fixed_value(Writer* w, u64 value, u32 decimals) {
  comma(w);
  u32 d = decimals < 9 ? decimals : 9;
  u64 scale = 1;
  for (u32 i = 0; i < d; ++i) scale *= 10;
  write_uint(w, value / scale);
  if (d == 0) return;
  put_byte(w, '.');
  u64 fraction = value % scale;
  for (u64 place = scale / 10; place > 0; place /= 10) put_byte(w, static_cast<u8>('0' + fraction / place % 10));
}

void write_bool(Writer* w, u32 value) { raw_value(w, value ? mem::lit("true") : mem::lit("false")); }
void write_null(Writer* w) { raw_value(w, mem::lit("null")); }

}  // namespace json
