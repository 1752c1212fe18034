#pragma once
// The share's machine table and ring files: a machine's ten rings opened in the term's folder, records appended or
// rewritten under the lease with the machine's queues kept while its rings are carried, tier roll-ups, and the
// carry-over of the newest complete older term's rings, a bounded step at a time.
#include "base/mem.h"
#include "history/hstore.h"
#include "history/share.h"
#include "history/store.h"

namespace ptop {
struct Row;
}

namespace share {

i32 find_machine(const Share* share, const u8* id);
i32 add_machine(Share* share, const u8* id, mem::Bytes name, u32 now);
u32 open_rings(Share* share, u32 index, bool no_heads);
u32 write_head(Share* share, u32 handle);
// Appends a record (its first eight bytes are stamped with slot and term).
u32 append(Share* share, u32 handle, u8* record);
// Rewrites the newest record in place; appends with the flag set or on an empty ring.
u32 write_record(Share* share, u32 handle, u8* record, bool append_flag);
u32 put_bucket(Share* share, u32 index, u32 tier, const store::Bucket* bucket, u32 now);
u32 put_energy(Share* share, u32 index, u32 tier, const store::Energy* energy, u32 now);
u32 put_tier_bucket(Share* share, u32 index, u32 tier, const store::Bucket* bucket, bool append_flag, u32 now);
u32 put_top(Share* share, u32 index, u32 tier, const ptop::Row* row, bool append_flag, u32 now);
// names holds n names of 32 bytes; at most 8 are written.
u32 put_names(Share* share, u32 index, const u8* names, u32 n, u32 slot, u32 now);
bool read_top(Share* share, u32 index, u32 tier, u32 slot, ptop::Row* out);
bool read_energy(Share* share, u32 index, u32 tier, u32 slot, store::Energy* out);
// Folds tier-0 buckets with a nonzero term and a slot in [start, end) among the newest min(filled, n, 1170).
bool sum_buckets(Share* share, u32 index, u32 start, u32 end, u32 n, hstore::BucketSum* sum);
// The tier's ring holds the slot (its newest record): the sum of tier 0 over that slot's interval.
bool read_buckets(Share* share, u32 index, u32 tier, u32 slot, hstore::BucketSum* sum);
u32 roll_up(Share* share, u32 index, u32 tier, u32 start, u32 now);
bool is_carrying(const Share* share, u32 index);
// Starts carrying the complete older term over: its machine table, fresh ring files without heads, inventories.
u32 carry_over(Share* share, u32 term, u64 now_ms);
// One carry-over step, bounded by the deadline, 1 MiB and the copy budget. Before the term is set up it tries the
// set-up instead, at most once a second (7 while it waits for the next try).
u32 step(Share* share, u32 now, u64 now_ms, u64 deadline_ms);
u32 copy_chunk(Share* share, u64 length);
u32 carry_ring(Share* share, bool copied);
u32 remove_old_terms(Share* share);

}  // namespace share
