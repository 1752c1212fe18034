#pragma once
// One window per user: the instance mutex, and the wake message a second start posts to the running copy's window
// instead of opening its own.
#include "base/mem.h"
#include "platform/window.h"

namespace instance {

// Verdicts of the lock: this is the first copy, another copy holds it, access to it was denied, it could not be made.
enum : u8 { created = 0, exists = 1, denied = 2, failed = 3 };

struct Lock {
  u64 handle;  // the mutex, 0 none
  u8 verdict;
};

mem::Bytes mutex_name();  // "Local\Vimbrel-Instance"
mem::Bytes wake_name();   // "Vimbrel-Wake"

// Takes the mutex without waiting and fills the record. A mutex that another live process holds reads as exists.
void lock(Lock* record, mem::Bytes name);
void close(Lock* record);
// The registered number of the wake message.
u32 wake_message();
// Lets the message through the window's message filter: 1 when it worked (always on Linux, where nothing filters).
u32 allow_message(win::Handle window, u32 message);
// Posts the message (wParam and lParam 0) to every live window of the class: how many posts went through.
u32 post_wake(mem::Bytes class_name, u32 message);

}  // namespace instance
