// The desktops this build runs on offer no menu or box a program can show modally on its own window: the window
// draws its own.
#include "platform/dialog.h"

namespace dialog {

bool native() { return false; }
u32 menu(u64, i32, i32, const Item*, u32) { return 0; }
u32 box_flags(u32 kind) { return kind == box_question ? 0x131u : kind == box_error ? 0x10u : 0x30u; }
u32 box(u64, mem::Bytes, mem::Bytes, u32) { return answer_none; }

}  // namespace dialog
