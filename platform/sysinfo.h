#pragma once
// System information: processor times, boot time, processor count and name, memory status and performance
// information, and the process chain, each in the record layouts of platform/sysrec.h.
// Every query goes through a Reader, opened on a root folder: "/" reads the live system, a fixture tree's folder
// reads copied /proc and /sys files. The reader keeps the root and one retained buffer, so a sample opens and reads
// each file once. The interface, volume, power and counter-query headers take the same reader.
#include "base/mem.h"
#include "platform/sysrec.h"

namespace sysinfo {

struct Reader;

// Null when the root folder cannot be opened or memory is short.
Reader* open(mem::Bytes root);
// Nothing for null.
void close(Reader* reader);

// Starts a new sample: files that several queries of one sample need (the memory file) are read again once.
void begin_sample(Reader* reader);

// Boot time in 100 ns units since 1601; 0 when unknown.
u64 boot_time(Reader* reader);
// Logical processors online; 0 when unknown.
u32 processor_count(Reader* reader);
// The processor's name in UTF-16 (zero-terminated within `units`); the byte count a registry text read returns,
// (units written + 1) x 2, or 0 when unknown.
u32 cpu_name(Reader* reader, u16* out, u32 units);

// Per-processor times into out (48-byte entries, at most out.len / 48 of them); the bytes written, 0 on failure.
u32 cpu_times(Reader* reader, mem::Slice out);

// Memory status and performance information (the caller sets their length words). Bit 0 of the answer: the status
// was filled; bit 1: the performance information was.
enum : u32 { memory_status_ok = 1, performance_ok = 2 };
u32 memory(Reader* reader, sysrec::MemoryStatus* status, sysrec::PerfInfo* performance);

// The process chain (sysrec::ProcEntry heads, each followed by its UTF-16 name, entries 8-aligned, no thread
// records). Name addresses are the buffer's own address plus the offset. When the chain does not fit, nothing
// usable is written, the answer is length_mismatch and *returned is the size it needs; else success and the bytes
// written. Columns this user may not read are marked: I/O counts as sysrec::io_unreported, handles as 0.
enum : u32 { status_success = 0, status_length_mismatch = 0xC0000004u, status_unsuccessful = 0xC0000001u };
u32 processes(Reader* reader, mem::Slice buffer, u32* returned);

// The calling thread's scheduling priority on the system's scale of thread priorities (0 normal, 2 highest), and
// a change of it; the change may be refused (then false, and nothing changed).
i32 thread_priority();
bool set_thread_priority(i32 priority);
constexpr i32 priority_highest = 2;

}  // namespace sysinfo
