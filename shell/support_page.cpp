#include "shell/support_page.h"

#include "pages/support.h"
#include "platform/fs.h"
#include "widgets/clipboard.h"
#include "shell/pages.h"
#include "shell/title.h"
#include "widgets/widgets.h"

namespace app {
namespace {

mem::Bytes scan_line(u32 c) {
  switch (c) {
    case support::czk: return mem::lit("Scan with a Czech banking app (QR platba).");
    case support::eur: return mem::lit("Scan with a SEPA banking app (GiroCode).");
    default: return mem::lit("Pay with the details below.");
  }
}

void draw_row(const Canvas& c, mem::Bytes label, mem::Bytes value, i32 x0, i32 y) {
  text_in(c.surface, role_body, label, draw::Rect{x0, y, x0 + 100, y + 32}, colour_label, 0);
  text_in(c.surface, role_body, value, draw::Rect{x0 + 100, y, c.width - content_margin, y + 32}, colour_text, 0);
}

void transfer_panel(AppState* s, const Facts& f, u32 c) {
  const support::SupportState& st = s->model->support;
  const Canvas canvas = canvas_of(s);
  const i32 w = s->width, scroll = s->page_scroll;
  const i32 top = support_block_top(f.blocks, c, w) - scroll;
  const u32 symbol = c == support::eur ? 1 : 0;
  const bool coded = c != support::usd && support::has_qr(st, symbol);
  if (coded) support::draw_qr(&s->surface, st.symbols[symbol], content_left, top);
  if (coded && c == support::eur && support_note_gap(f.blocks, c))
    note_wrapped(s, mem::lit("If your banking app can't scan this code, copy the IBAN with the Copy button."),
                 content_left, support_after_qr(f.blocks, c, w) - scroll);
  const i32 x0 = support_text_x(f.blocks, w), y0 = support_text_top(f.blocks, c, w) - scroll;
  text_in(&s->surface, role_body, support::currency_code(c), draw::Rect{x0, y0, x0 + 100, y0 + 32}, colour_text, 0);
  text_in(&s->surface, role_small, scan_line(c), draw::Rect{x0 + 56, y0, w - content_margin, y0 + 32}, colour_grey,
          0);
  draw_row(canvas, mem::lit("Account"), support::copy_text(st, c), x0, y0 + 32);
  draw_row(canvas, mem::lit("BIC / SWIFT"), support::bic_text(st, c), x0, y0 + 64);
  draw_row(canvas, mem::lit("Name"), support::holder_text(st, c), x0, y0 + 96);
  const bool copied = support::copied(st, c);
  slot_button_b(canvas, slot_support_copy0 + c, copied ? mem::lit("Copied") : mem::lit("Copy"), copied);
}

}  // namespace

void support_load(AppState* s, mem::Bytes file) {
  support::SupportState* st = &s->model->support;
  if (!in_test(*s)) {
    support::parse(st, support::payment_text());
  } else {
    u8 text[support::file_most];
    const u64 length = file.len ? fs::read_prefix(file, mem::Slice{text, sizeof text}) : 0;
    support::parse(st, mem::Bytes(text, length));
  }
  support::build_qr(st);
}

void support_open(AppState* s) {
  s->page_scroll = 0;
  support::refresh(&s->model->support);
}

void support_click(AppState* s, u64 bits_b) {
  if (s->page != page_support) return;
  bool any = false;
  for (u32 c = 0; c < support::block_count; ++c) {
    if (!((bits_b >> (29 + c)) & 1)) continue;
    support::copy_field(s, c);
    any = true;
  }
  if (any) relayout(s);
}

void support_draw(AppState* s) {
  const Canvas c = canvas_of(s);
  const i32 w = s->width, scroll = s->page_scroll;
  text_in(&s->surface, role_body, mem::lit("Support Vimbrel"), draw::Rect{content_left, 56 - scroll, w, 84 - scroll},
          colour_text, 0);
  section_head(c, mem::lit("Bank transfer"), 100);
  const mem::Bytes wide = mem::lit("Direct bank transfer to the company; a receipt is available on request.");
  const bool fits = text_width(&s->surface, role_small, wide) <= w - content_left - content_margin;
  note_wrapped(s, fits ? wide : mem::lit("Direct bank transfer to the company; receipt on request."), content_left,
               124 - scroll);
  Facts f{};
  support_facts(*s, &f);
  for (u32 i = 0; i < support::block_count; ++i)
    if (support::present(s->model->support, i)) transfer_panel(s, f, i);
}

void support_facts(const AppState& s, Facts* f) {
  const support::SupportState& st = s.model->support;
  f->support = st.currencies != 0;
  for (u32 i = 0; i < 2; ++i) {
    f->blocks.modules[i] = support::has_qr(st, i) ? st.symbols[i].size : 0;
    f->blocks.scale[i] = support::has_qr(st, i) ? 1 : 0;
  }
  f->blocks.shown = st.currencies;
  f->blocks.note = support::has_qr(st, 1);
}

}  // namespace app

namespace support {

bool copy_field(app::AppState* s, u32 c) {
  SupportState* st = &s->model->support;
  const mem::Bytes iban = copy_text(*st, c);
  if (!iban.len) return false;
  const bool done = app::in_test(*s) ? app::write_beside_settings(*s, mem::lit("clipboard.txt"), iban)
                                     : app::copy_text(s->thread, s->window, iban);
  if (done) st->copied |= static_cast<u8>(1u << c);
  return done;
}

}  // namespace support
