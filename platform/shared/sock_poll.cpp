// The poll set's rules that need no system: result texts, adding to the set and reading one socket's answer.
// Both backends share them.
#include "platform/sock.h"

namespace sock {

mem::Bytes result_text(u32 code) {
  switch (code) {
    case done: return mem::lit("done");
    case would_block: return mem::lit("would block");
    case closed: return mem::lit("closed by the peer");
    case failed: return mem::lit("failed");
    default: return mem::lit("unknown");
  }
}

u32 poll_add(PollSet* set, Socket socket, u32 want_write) {
  if (set->count >= poll_capacity) return poll_capacity;
  u32 i = set->count++;
  set->entries[i] = PollEntry{socket, poll_events(want_write), 0};
  return i;
}

u32 poll_one(Socket socket, u32 want_write, u32 timeout_ms) {
  PollSet one;
  one.count = 0;
  poll_add(&one, socket, want_write);
  if (poll_wait(&one, timeout_ms) == 0) return 0;
  u16 r = one.entries[0].returned;
  const u16 failing = poll_error | poll_hangup | poll_invalid;
  return ((r & (poll_read | failing)) ? 1u : 0u) | ((r & (poll_write | failing)) ? 2u : 0u);
}

}  // namespace sock
