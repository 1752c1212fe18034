#pragma once
// What the share's own modules have in common: paths under the share folder, file steps whose failures are noted
// for the owner's output, whole-file replacement and reading, and the checks every write makes. Only the share's
// sources include it; everyone else uses share.h and its companions.
#include "base/mem.h"
#include "history/hstore.h"
#include "history/share.h"
#include "history/store.h"

namespace share {

inline void zero(void* p, u64 n) { __builtin_memset(p, 0, n); }
inline bool same_id(const u8* a, const u8* b) { return __builtin_memcmp(a, b, 16) == 0; }
inline u32 inc_sat(u32 v) { return v == 0xFFFFFFFFu ? v : v + 1; }
inline void count(u32* v) { *v = inc_sat(*v); }
inline u32 add_sat(u32 v, u64 n) { return hstore::add_sat(v, n); }
inline u32 handle_of(u32 index, u32 type) { return index * ring_types + type; }

// Paths under the share folder, and the text of one.
store::Path under(const Share* share, mem::Bytes name);
inline void join(store::Path* p, mem::Bytes a) { store::path_join(p, a); }
store::Path term_folder(const Share* share, u32 term);
store::Path machine_folder(const Share* share, u32 term, const u8* id);
store::Path ring_path(const Share* share, u32 term, const u8* id, u32 type);
inline mem::Bytes text(const store::Path& p) { return store::path_of(&p); }

// File steps; what goes wrong is noted in the share's trouble record.
u32 noted(Share* share, u32 io, const store::Path& path);
void close_rings(Share* share);
u32 folder_io(const store::Path& path);
u32 make_folder(Share* share, const store::Path& path);
u32 ring_noted(Share* share, u32 handle, u32 io);
u32 replace(Share* share, store::Path folder, mem::Bytes final_name, mem::Bytes bytes);
void sweep_temporaries(Share* share, const store::Path& folder);
u32 read_whole(Share* share, const store::Path& path, u32 size);
u32 read_registry(Share* share, u32 term, store::Registry* out);

// The term's limits.
inline bool until_limit(const Share* s, u32 now) { return u64{now} < u64{s->renewed} + write_limit; }
void setup_failed(Share* share, u32 flag);
u32 write_check(const Share* share, u32 index, bool in_range, u32 now);

}  // namespace share
