#pragma once
// Reading the share's rings for history answers: cursors over one machine's ring or over every machine's (the
// cluster's columns), each call a bounded piece of work that finds the range by time and copies what lies in it;
// and the folder ring reader, which reads a ring file of a folder without holding the share's lease.
#include "base/mem.h"
#include "wire/auth.h"
#include "history/hstore.h"
#include "history/share.h"
#include "history/store.h"

namespace hist {
struct Table;
}

namespace share {

struct MachineRead {
  u16 index;      // next physical index
  u16 remaining;  // records remaining
  u32 slot;       // next slot, 0xFFFFFFFF when nothing more in range
};

struct Column {
  u8 machines;
  u32 min[6], mean[6], max[6];
  u64 rate[2];
};

struct Cursor {
  u32 handle;
  u32 type;
  u32 start, end;
  u32 oldest, filled;
  u32 low, high, position;
  u8 searching, done, full, cluster;
  u32 interval, base, machine, count, phase;
  u32 machine_columns;  // the columns of the window the current machine folded into (its first bucket counts)
  u32 emit_column;
  u32 next_at;  // the ring's next index when the cursor last looked, to follow a ring that moves under it
  // A ring whose slots stepped back once is read as two runs, each in time order: the run being read ends at
  // run_end (a position), and the newest run begins at later_run (0xFFFFFFFF when none is left to read). A cluster
  // answer follows both runs of every machine side by side (reads and later), positioning the second in pass 1.
  u32 run_end, later_run;
  u32 pass;
  MachineRead reads[machines];
  MachineRead later[machines];
  Column columns[32];
};

struct Answer {
  hstore::AnswerHead head;
  store::Bucket rows[max_answer_rows];
};

void open_reader(Share* share, u32 index, u32 tier, u32 start, u32 end, Cursor* cursor, hstore::AnswerHead* head);
void open_cluster_reader(Share* share, u32 tier, u32 start, u32 end, Cursor* cursor, hstore::AnswerHead* head);
void open_cursor(Share* share, u32 index, u32 type, u32 start, u32 end, Cursor* cursor);
void open_top_cursor(Share* share, u32 index, u32 tier, u32 start, u32 end, Cursor* cursor);
void open_energy_cursor(Share* share, u32 index, u32 tier, u32 start, u32 end, Cursor* cursor);
// True when the answer is finished for this call: the range is done, or the answer is full (a new answer goes on
// from the same cursor). Each call does about budget bytes of work; the host passes 16,384.
bool read_range(Share* share, Cursor* cursor, Answer* answer, u32 budget);
bool read_cluster(Share* share, Cursor* cursor, Answer* answer, u32 budget);
bool read_records(Share* share, Cursor* cursor, u8* buffer, u32 buffer_bytes, u32* count, u32 budget);
// Names from the first index on (counted from the oldest), 32 bytes each; unprintable bytes come back as '?'.
u32 read_names(Share* share, u32 index, u32 first, u8* buffer, u32 buffer_bytes, u32 budget);
u32 time_at(Share* share, u32 handle, u32 oldest, u32 position, u32 type);
u32 seek_time(Share* share, Cursor* cursor, u32 budget);

struct FolderRing {
  u64 file;
  store::RingHead head;
  u32 oldest;
  u32 low, high, position;
  u32 start, end;
  u8 searching, done;
  u32 run_end, later_run;  // as in Cursor
};
// Opening leaves done set: the caller then starts the range (folder_range).
bool open_folder_ring(FolderRing* reader, mem::Bytes folder, u32 type, const auth::KeyState* key);
bool read_folder_buckets(FolderRing* reader, u8* buffer, u32 buffer_bytes, hist::Table* table, u32 budget);
u32 folder_time_at(FolderRing* reader, u32 position);
// Starts reading [start, end] from the oldest record (done when the ring is empty).
void folder_range(FolderRing* reader, u32 start, u32 end);
void close_folder_ring(FolderRing* reader);

}  // namespace share
