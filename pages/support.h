#pragma once
// The Support page's data: up to three payment blocks (CZK, EUR, USD), each an account (IBAN), a bank code (BIC)
// and the holder's name, parsed from a small payment text and checked, and the two payloads that banking apps scan
// as QR codes: the Czech short payment descriptor for CZK and the EPC credit-transfer text for EUR.
//
// The page's drawing and its clicks are the shell's (shell/support_page); this module owns the record, the checks,
// the payloads, the symbols and the QR drawing on the surface.
#include "base/mem.h"
#include "base/words.h"
#include "drawing/draw.h"
#include "pages/qr.h"

namespace support {

enum : u32 { czk = 0, eur = 1, usd = 2, block_count = 3 };
inline constexpr u32 iban_most = 34, bic_most = 11, holder_most = 70;
// At most this much of a --support file is read.
inline constexpr u32 file_most = 512;

struct SupportState {
  u8 currencies;  // bit c: block c is present
  u8 iban_length[block_count], bic_length[block_count], holder_length[block_count];
  u8 iban[block_count][iban_most];
  u8 bic[block_count][bic_most];
  u8 holder[block_count][holder_most];
  qr::Symbol symbols[2];  // 0 the CZK payload, 1 the EUR payload
  u8 built;               // bit 0: symbol 0 is valid, bit 1: symbol 1
  u8 copied;              // bit c: the account of block c was copied since the page opened
};

// "CZK", "EUR", "USD" for 0, 1, 2.
mem::Bytes currency_code(u32 c);
// The payment text the program carries: the build's own data (empty when the build was given none).
mem::Bytes payment_text();

// ---- Checks
bool parse_iban(mem::Bytes text);
bool parse_bic(mem::Bytes text);
bool parse_holder(mem::Bytes text);
// One line: stored in its currency's slots when every check passes and the currency is not present yet.
void parse_line(SupportState* s, mem::Bytes line);
// Clears the currencies and lengths, then parses every LF-separated piece.
void parse_lines(SupportState* s, mem::Bytes text);
// parse_lines, and built and copied cleared.
void parse(SupportState* s, mem::Bytes text);

// ---- Payloads (into a 272-byte line that keeps what fits)
// Every byte that is '*', '%' or outside 0x20..0x7E as '%' and two upper-case hex digits.
void spd_escape(words::Text* line, mem::Bytes text);
void spd_text(const SupportState& s, words::Text* line);
void epc_text(const SupportState& s, words::Text* line);
inline mem::Bytes payment_message() { return mem::lit("Vimbrel support"); }

// Encodes the present CZK and EUR payloads; built says which succeeded.
void build_qr(SupportState* s);
// Clears copied and builds both symbols again: what opening the page does.
void refresh(SupportState* s);

inline bool has_qr(const SupportState& s, u32 symbol) { return symbol < 2 && ((s.built >> symbol) & 1); }
inline bool copied(const SupportState& s, u32 c) { return c < block_count && ((s.copied >> c) & 1); }
inline bool present(const SupportState& s, u32 c) { return c < block_count && ((s.currencies >> c) & 1); }
// The text the Copy button of block c copies: its IBAN (empty when the block is absent).
mem::Bytes copy_text(const SupportState& s, u32 c);
mem::Bytes bic_text(const SupportState& s, u32 c);
mem::Bytes holder_text(const SupportState& s, u32 c);

// Draws the symbol at (x, y) in logical px: a white square with a 16-px quiet zone, modules 4 x 4 px, one black
// rectangle per run of dark modules.
void draw_qr(draw::Surface* d, const qr::Symbol& symbol, i32 x, i32 y);

}  // namespace support
