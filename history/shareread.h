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
  // A ring whose slots stepped back is read run by run, each in time order (store::Runs): the runs begin at
  // starts, the one being read is run and ends at run_end (positions). A first run that scan marks is read whole and
  // filtered. A cluster answer follows every run of every machine side by side (streams[run][machine]), positioning
  // run k in pass k; a first run read whole is read again, with the same walk as one machine's answer, for each
  // window it has records in (whole_scan while it is), and whole_next is the least slot of the range it holds
  // beyond the window.
  u32 starts[3];
  u32 runs, run, scan, run_end;
  u32 pass;
  u64 whole_first;  // the machines whose first run is read whole (bit per machine)
  u32 whole_next;
  u8 whole_scan;
  MachineRead streams[3][machines];
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
  u32 starts[3];  // as in Cursor
  u32 runs, run, scan, run_end;
};
// Opening leaves done set: the caller then starts the range (folder_range).
bool open_folder_ring(FolderRing* reader, mem::Bytes folder, u32 type, const auth::KeyState* key);
bool read_folder_buckets(FolderRing* reader, u8* buffer, u32 buffer_bytes, hist::Table* table, u32 budget);
u32 folder_time_at(FolderRing* reader, u32 position);
// Starts reading [start, end] from the oldest record (done when the ring is empty).
void folder_range(FolderRing* reader, u32 start, u32 end);
void close_folder_ring(FolderRing* reader);

}  // namespace share
