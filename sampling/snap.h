#pragma once
// The three one-shot modes that measure this machine once: `--print` reports a sample pair taken now, `--record`
// keeps the pair in a snapshot file, and `--print --replay` reports a pair read back from such a file, possibly on
// another machine. The report is always computed from the pair, so a replay equals the live report except for what
// is read at print time (temperatures, the hardware section) and the volume labels, which a snapshot never keeps.
//
// A snapshot is text of five lines, each ended by a line feed: the header "vimbrel-snap 5 146616 12599344", the
// earlier and the later system sample, the earlier and the later process sample (its head, the used bytes of its
// buffer and zeros up to 12,599,344 bytes). A line holds the bytes as lower-case hex pairs, except that a run of 4
// or more zero bytes is "z", the run's length in decimal and ";". A replayed file is untrusted input: every size and
// character is checked, and a file that is not exactly a snapshot of this format is refused as a whole.
#include "base/mem.h"
#include "platform/fs.h"
#include "sampling/collect.h"
#include "sampling/model.h"

namespace snap {

constexpr u32 format = 5;
constexpr u64 sample_bytes = sizeof(collect::Sample);     // 146,616
constexpr u64 proc_bytes = collect::proc_sample_bytes;    // 12,599,344
constexpr u64 proc_head_bytes = sizeof(collect::ProcHeader);  // 16,432
constexpr u32 pair_ms = 2000;       // between the two samples of a pair
constexpr u32 refresh_ms = 10000;   // the collector's refresh interval
constexpr u64 mode_arena = 2648544;     // working set and report areas of --print and --record
constexpr u64 replay_extra = 2648608;   // the same plus the alignment of the file text; the file's size is added
constexpr u64 bound_base = 586530;      // header and both system lines, with room to spare
constexpr u64 bound_per_proc = 32880;   // a process line's head and final run, beyond twice its used bytes
// The longest file this format can produce; a larger one is refused before anything is reserved for it.
constexpr u64 file_max = bound_base + 2 * (2 * static_cast<u64>(collect::proc_cap) + bound_per_proc);
constexpr u32 malformed = 0xFFFFFFFFu;  // the answer of decode for a line it cannot read

// The header line, line feed included.
mem::Bytes header();

// Result codes of the modes (0 success). The first three have a fixed message on standard output; the snapshot
// file that cannot be written or opened and a standard output that fails are told on standard error, with the
// file's name and the reason (say_file).
enum : u32 { ok = 0, no_memory = 1, collector_failed = 2, unreadable = 3, write_failed = 4, output_failed = 5 };
// The fixed message of a code; empty for success and for the codes said with a reason.
mem::Bytes message(u32 code);
// Writes the code's message as one line on standard output (nothing when it has none); answers the exit code:
// 0 for success, 1 otherwise.
u32 say(u32 code);
// What cannot be done with a file, on standard error: "vimbrel: " and the words, the path (bytes that would steer
// a terminal shown as "?"), ": " and the error class's text. Answers exit code 1.
u32 say_file(mem::Bytes words, mem::Bytes path, u32 error_class);

// The working set of one mode, carved from one arena with 64-byte alignment.
struct WorkSet {
  collect::State* state;
  collect::Sample* sample[2];      // earlier, later
  collect::ProcSample* procs[2];   // earlier, later; each with its own process buffer
  bool owners_deferred;            // the pair's TCP rows carry no owners; the collector is still open
};
bool areas(mem::Arena* arena, WorkSet* work);
// Releases both process buffers.
void free_buffers(WorkSet* work);

// ---- The modes; each returns the process exit code.
u32 print_main();
u32 record_main(mem::Bytes path);
u32 replay_main(mem::Bytes path);

// Opens the collector on the state as areas carved it (all zero bytes, so neither it nor the system samples are
// cleared again), takes a system and a process sample, waits pair_ms, takes the second pair and closes the collector; true when the open and both system
// samples succeeded. With defer_owners, where the system lets the holders of TCP sockets be left out
// (work->owners_deferred), the rows carry none and the collector stays open for the report to count the connections
// of the processes it lists; the caller closes it then.
bool collect_pair(WorkSet* work, bool defer_owners = false);
// The TCP connections of the rows the process section lists, asked of the system now, into the table: for a pair
// whose rows carry no owners (collect_pair with defer_owners).
void count_listed_connections(sysinfo::Reader* reader, model::ProcTable* table);
// Prints the report of the pair on standard output; live adds the temperatures and the hardware section read now.
// no_memory when its work areas cannot be had from the arena (nothing is printed), output_failed when standard
// output refused a write (the class in *error_class), else ok.
u32 report(WorkSet* work, mem::Arena* arena, bool live, u32* error_class);

// ---- The file.

// Clears what a snapshot must not carry: interface rows beyond the sample's count and the identities of the kept
// ones, every volume label; in each process sample the chain bytes the process walk does not read, the buffer after
// the used bytes, and the TCP owner slots beyond the stored count.
void scrub(collect::Sample* sample);
void scrub(collect::ProcSample* procs);

// An upper bound of the file's size for process samples with these used bytes.
u64 file_bound(u64 used_earlier, u64 used_later);
// One line: the bytes and then zeros up to total (bytes beyond total are not written), and a line feed. Answers the
// length written, 0 when the line does not fit out.
u64 encode(mem::Bytes bytes, u64 total, mem::Slice out);
// The five lines into out; answers their length, 0 when they do not fit.
u64 write(const collect::Sample* earlier, const collect::Sample* later, const collect::ProcSample* procs_earlier,
          const collect::ProcSample* procs_later, mem::Slice out);
// Encodes the working set's pair into file_bound bytes of the arena and writes it through the begun replace,
// which it commits: ok, no_memory (the replace is abandoned) or write_failed (the class in *error_class).
u32 save(mem::Arena* arena, const WorkSet* work, fs::Replacement* file, u32* error_class);

// Decodes one line (up to the first line feed or the end of the text): answers the number of bytes it describes, or
// malformed. Only the bytes whose position lies in [window_start, window_start + window_len) are stored, at
// destination[position - window_start]. A line that would describe more than total bytes is malformed.
u32 decode(mem::Bytes line, u64 window_start, u64 total, u8* destination, u64 window_len);
// True when the text is exactly a snapshot of this format; fills the four samples, giving each process sample a
// buffer of its used bytes (released by free_buffers, also after a refusal). A line may end in CR LF.
bool read(mem::Bytes text, collect::Sample* earlier, collect::Sample* later, collect::ProcSample* procs_earlier,
          collect::ProcSample* procs_later);

}  // namespace snap
