#include "pages/support.h"

namespace support {
namespace {

bool is_blank(u8 b) { return b == ' ' || b == '\t' || b == '\r'; }
bool is_upper(u8 b) { return b >= 'A' && b <= 'Z'; }
bool is_digit(u8 b) { return b >= '0' && b <= '9'; }

// The field from *at to the next blank, after skipping blanks.
mem::Bytes next_field(mem::Bytes line, u64* at) {
  u64 i = *at;
  while (i < line.len && is_blank(line.ptr[i])) ++i;
  const u64 start = i;
  while (i < line.len && !is_blank(line.ptr[i])) ++i;
  *at = i;
  return mem::Bytes(line.ptr + start, i - start);
}

void store(u8* to, u8* length, mem::Bytes text) {
  for (u64 i = 0; i < text.len; ++i) to[i] = text.ptr[i];
  *length = static_cast<u8>(text.len);
}

#if defined(VIMBREL_PAYMENT_FILE)
// The build's payment text (CMake VIMBREL_PAYMENT_TEXT_FILE), written out by tools/payment.cmake.
#include VIMBREL_PAYMENT_FILE
#elif defined(VIMBREL_PAYMENT_TEXT)
constexpr char carried[] = VIMBREL_PAYMENT_TEXT;
#else
// No account data was given to this build: the page shows its heading and note only.
constexpr char carried[] = "";
#endif

}  // namespace

mem::Bytes currency_code(u32 c) {
  switch (c) {
    case czk: return mem::lit("CZK");
    case eur: return mem::lit("EUR");
    case usd: return mem::lit("USD");
    default: return mem::Bytes();
  }
}

mem::Bytes payment_text() { return mem::lit(carried); }

// ---- Checks

bool parse_iban(mem::Bytes t) {
  if (t.len < 15 || t.len > iban_most) return false;
  for (u64 i = 0; i < t.len; ++i)
    if (!is_upper(t.ptr[i]) && !is_digit(t.ptr[i])) return false;
  if (!is_upper(t.ptr[0]) || !is_upper(t.ptr[1]) || !is_digit(t.ptr[2]) || !is_digit(t.ptr[3])) return false;
  const u32 check = static_cast<u32>(t.ptr[2] - '0') * 10 + static_cast<u32>(t.ptr[3] - '0');
  if (check < 2 || check > 98) return false;
  // The first four characters go to the end; letters count 10..35; the number modulo 97 must be 1.
  u32 rest = 0;
  for (u64 k = 0; k < t.len; ++k) {
    const u8 b = t.ptr[(k + 4) % t.len];
    if (is_digit(b)) {
      rest = (rest * 10 + (b - '0')) % 97;
    } else {
      rest = (rest * 100 + (b - 'A' + 10)) % 97;
    }
  }
  return rest == 1;
}

bool parse_bic(mem::Bytes t) {
  if (t.len != 8 && t.len != 11) return false;
  for (u64 i = 0; i < t.len; ++i) {
    const u8 b = t.ptr[i];
    if (!is_upper(b) && (i < 6 || !is_digit(b))) return false;
  }
  return true;
}

bool parse_holder(mem::Bytes t) {
  if (t.len < 1 || t.len > holder_most) return false;
  for (u64 i = 0; i < t.len; ++i)
    if (t.ptr[i] < 0x20 || t.ptr[i] > 0x7E) return false;
  return true;
}

void parse_line(SupportState* s, mem::Bytes line) {
  u64 at = 0;
  const mem::Bytes code = next_field(line, &at);
  const mem::Bytes iban = next_field(line, &at);
  const mem::Bytes bic = next_field(line, &at);
  while (at < line.len && is_blank(line.ptr[at])) ++at;
  u64 end = line.len;
  while (end > at && is_blank(line.ptr[end - 1])) --end;
  const mem::Bytes holder(line.ptr + at, end - at);
  u32 c = block_count;
  for (u32 k = 0; k < block_count; ++k)
    if (mem::eq(code, currency_code(k))) c = k;
  if (c == block_count || present(*s, c)) return;
  if (!parse_iban(iban) || !parse_bic(bic) || !parse_holder(holder)) return;
  store(s->iban[c], &s->iban_length[c], iban);
  store(s->bic[c], &s->bic_length[c], bic);
  store(s->holder[c], &s->holder_length[c], holder);
  s->currencies |= static_cast<u8>(1u << c);
}

void parse_lines(SupportState* s, mem::Bytes text) {
  s->currencies = 0;
  for (u32 c = 0; c < block_count; ++c) s->iban_length[c] = s->bic_length[c] = s->holder_length[c] = 0;
  u64 start = 0;
  for (u64 i = 0; i <= text.len; ++i) {
    if (i < text.len && text.ptr[i] != '\n') continue;
    parse_line(s, mem::Bytes(text.ptr + start, i - start));
    start = i + 1;
  }
}

void parse(SupportState* s, mem::Bytes text) {
  parse_lines(s, text);
  s->built = 0;
  s->copied = 0;
}

// ---- Payloads

void spd_escape(words::Text* line, mem::Bytes text) {
  constexpr char digits[] = "0123456789ABCDEF";
  for (u64 i = 0; i < text.len; ++i) {
    const u8 b = text.ptr[i];
    if (b == '*' || b == '%' || b < 0x20 || b > 0x7E) {
      const u8 esc[3] = {'%', static_cast<u8>(digits[b >> 4]), static_cast<u8>(digits[b & 15])};
      words::put(line, mem::Bytes(esc, 3));
    } else {
      words::put(line, mem::Bytes(&b, 1));
    }
  }
}

mem::Bytes copy_text(const SupportState& s, u32 c) {
  return present(s, c) ? mem::Bytes(s.iban[c], s.iban_length[c]) : mem::Bytes();
}
mem::Bytes bic_text(const SupportState& s, u32 c) {
  return present(s, c) ? mem::Bytes(s.bic[c], s.bic_length[c]) : mem::Bytes();
}
mem::Bytes holder_text(const SupportState& s, u32 c) {
  return present(s, c) ? mem::Bytes(s.holder[c], s.holder_length[c]) : mem::Bytes();
}

void spd_text(const SupportState& s, words::Text* line) {
  line->len = 0;
  words::put(line, mem::lit("SPD*1.0*ACC:"));
  spd_escape(line, copy_text(s, czk));
  words::put(line, mem::lit("+"));
  spd_escape(line, bic_text(s, czk));
  words::put(line, mem::lit("*CC:CZK*MSG:"));
  spd_escape(line, payment_message());
}

void epc_text(const SupportState& s, words::Text* line) {
  line->len = 0;
  words::put(line, mem::lit("BCD\n002\n1\nSCT\n"));
  words::put(line, bic_text(s, eur));
  words::put(line, mem::lit("\n"));
  words::put(line, holder_text(s, eur));
  words::put(line, mem::lit("\n"));
  words::put(line, copy_text(s, eur));
  words::put(line, mem::lit("\n\n\n\n"));
  words::put(line, payment_message());
}

void build_qr(SupportState* s) {
  s->built = 0;
  words::Text line{};
  if (present(*s, czk)) {
    spd_text(*s, &line);
    if (qr::encode(&s->symbols[0], mem::Bytes(line.bytes, line.len))) s->built |= 1;
  }
  if (present(*s, eur)) {
    epc_text(*s, &line);
    if (qr::encode(&s->symbols[1], mem::Bytes(line.bytes, line.len))) s->built |= 2;
  }
}

void refresh(SupportState* s) {
  s->copied = 0;
  build_qr(s);
}

// ---- Drawing

void draw_qr(draw::Surface* d, const qr::Symbol& symbol, i32 x, i32 y) {
  const i32 n = symbol.size;
  draw::fill(d, draw::Rect{x, y, x + 4 * n + 32, y + 4 * n + 32}, 0xFFFFFF);
  for (i32 r = 0; r < n; ++r) {
    for (i32 f = 0; f < n;) {
      const i32 k = static_cast<i32>(qr::dark_run(symbol.rows[r], static_cast<u32>(f), static_cast<u32>(n)));
      if (k == 0) {
        ++f;
        continue;
      }
      draw::fill(d, draw::Rect{x + 16 + 4 * f, y + 16 + 4 * r, x + 16 + 4 * (f + k), y + 20 + 4 * r}, 0x000000);
      f += k;
    }
  }
}

}  // namespace support
