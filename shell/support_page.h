#pragma once
// The Support page in the window: its payment data loaded at start, its drawing, its Copy buttons, and the facts
// the hit map and the rail are laid out from.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

// Under --test the named --support file (at most 512 bytes; nothing when none was named or it cannot be read),
// otherwise the payment text the program carries.
void support_load(AppState* s, mem::Bytes file);
// Opening the page clears the copied marks and builds the QR symbols again.
void support_open(AppState* s);
// Hit bits of the second group: 28 opens the page; on the Support page 29-31 copy the account of block 0-2.
void support_click(AppState* s, u64 bits_b);
void support_draw(AppState* s);
// The blocks' geometry facts and whether support data is present.
void support_facts(const AppState& s, Facts* f);

}  // namespace app

namespace support {

// Copies the IBAN of block c (under --test into clipboard.txt beside the --settings file) and marks it copied: true
// when copied.
bool copy_field(app::AppState* s, u32 c);

}  // namespace support
