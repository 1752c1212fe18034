#include "shell/instance.h"

#include "platform/kobj.h"
#include "update/taskmgr.h"

namespace instance {

mem::Bytes mutex_name() { return mem::lit("Local\\Vimbrel-Instance"); }
mem::Bytes wake_name() { return mem::lit("Vimbrel-Wake"); }

void lock(Lock* record, mem::Bytes name) {
  record->handle = kobj::take_mutex(name, 0);
  // No handle: either a live copy holds it, or the runtime folder refused us. A mutex held by a live copy is what
  // the system reports as a handle to an existing one.
  const bool held = !record->handle && kobj::mutex_exists(name);
  record->verdict = static_cast<u8>(taskmgr::mutex_verdict(record->handle || held, held, false));
}

void close(Lock* record) {
  if (record->handle) kobj::release_mutex(record->handle);
  record->handle = 0;
}

u32 wake_message() { return win::register_message(wake_name()); }

u32 allow_message(win::Handle window, u32 message) { return win::allow_message(window, message); }

u32 post_wake(mem::Bytes class_name, u32 message) {
  u32 posted = 0;
  for (win::Handle w = win::find_window(class_name, 0); w != 0; w = win::find_window(class_name, w)) {
    if (win::post_remote(w, message, 0, 0) == win::ok) posted += 1;
  }
  return posted;
}

}  // namespace instance
