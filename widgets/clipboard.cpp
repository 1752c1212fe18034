#include "widgets/clipboard.h"

#include "wire/auth.h"
#include "platform/os.h"

namespace clipboard {

mem::Bytes mark_name(u32 i) {
  switch (i) {
    case 0: return mem::lit("ExcludeClipboardContentFromMonitorProcessing");
    case 1: return mem::lit("CanIncludeInClipboardHistory");
    case 2: return mem::lit("CanUploadToCloudClipboard");
  }
  return mem::Bytes();
}

bool open(win::Thread* t, win::Handle window) {
  for (u32 i = 0; i < open_tries; ++i) {
    if (win::clipboard_open(t, window) == win::ok) return true;
    os::sleep_ms(retry_ms);
  }
  return false;
}

void mark(win::Thread* t, mem::Bytes name) {
  if (name.len == 0 || name.len > 64) return;
  win::clipboard_mark(t, win::clipboard_format(name));
}

void wipe_free(u16* block, u32 count) { auth::wipe(block, u64{count} * sizeof(u16)); }

u32 put_text(win::Thread* t, win::Handle window, const u16* text, u32 count, bool is_private) {
  // The text and its ending 0 must fit before the clipboard is touched, so a refusal changes nothing on it.
  if (count >= win::clipboard_most) return failure;
  if (!open(t, window)) return busy;
  bool set = win::clipboard_empty(t) == win::ok && win::clipboard_set_text(t, text, count) == win::ok;
  if (set && is_private)
    for (u32 i = 0; i < marks; ++i) mark(t, mark_name(i));
  win::clipboard_close(t);
  return set ? done : failure;
}

u32 copy(win::Thread* t, win::Handle window, const u16* text, u32 count) {
  return put_text(t, window, text, count, false);
}

u32 copy_private(win::Thread* t, win::Handle window, const u16* text, u32 count) {
  return put_text(t, window, text, count, true);
}

}  // namespace clipboard

namespace app {

bool copy_text(win::Thread* t, win::Handle window, mem::Bytes text) {
  u16 units[paste_most];
  const u32 n = static_cast<u32>(text.len < paste_most ? text.len : paste_most);
  for (u32 i = 0; i < n; ++i) units[i] = text.ptr[i];
  const u32 result = clipboard::copy(t, window, units, n);
  clipboard::wipe_free(units, n);
  return result == clipboard::done;
}

u32 read_clipboard(win::Thread* t, win::Handle window, u8* paste256) {
  if (win::clipboard_open(t, window) != win::ok) return 0;
  u32 length = 0;
  win::clipboard_read(t, paste256, paste_most, &length);
  win::clipboard_close(t);
  return length;
}

}  // namespace app
