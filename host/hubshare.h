#pragma once
// The host's share duties: the address toward the share, registration, the lease decided each second, the flushes
// of the machines' inventories, buckets and top rows into the share's rings, and history answers read from them a
// frame at a time.
#include "base/mem.h"
#include "history/share.h"
#include "host/hubloop.h"

namespace hub {

// Stop reasons.
enum : u32 {
  stop_none = 0,
  stop_newer_term = 1,
  stop_same_term = 2,
  stop_not_renewed = 3,
  stop_setup = 4,
  stop_registry = 5,
  stop_folders = 6,
  stop_live = 7,
  stop_no_term = 8,
  stop_selftest = 9,
  stop_no_id = 10,
};

u32 share_address(mem::Bytes share, u32 listen);
// One output line about the share: the lead ("vimbrel host: cannot claim a term: " and the like), then the cause.
// A file in the way is named; with every_file the file is named for the other causes too.
void say_trouble(Writer writer, mem::Bytes lead, const share::Note* note, bool every_file);
// Each new note of what the share refused or could not do goes to the output once.
void report_share(Host* host);
u32 register_share(Host* host, mem::Arena* arena, mem::Bytes share, u32 address, u64 now_tick);
void tick(Host* host, u32 now, u32 wall);
void decide_lease(Host* host, u32 now);
void check_stop(Host* host, u32 result);
void flush_history(Host* host, u32 budget);
void flush_top(Host* host, u32 budget);
void share_step(Host* host, u32 now, u32 wall);
void answer_history(Host* host, u32 now, u32 wall);
void flush_all(Host* host);

}  // namespace hub
