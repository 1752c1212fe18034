#pragma once
// The plain-text report of `--print`: one line per fact in a fixed order, English labels, numbers in fixed units,
// every line ended by a lone line feed. Three sections: the system (from the usage record and its sample row, with
// the temperature block), the hardware read at print time (live reports only) and the process table. Each piece goes
// to the writer as it is made; only the console gathers pieces, a kilobyte at a time, so that a report takes a few
// writes rather than one per piece.
//
// Value forms: N a decimal number; F2 hundredths written "12.34", F1 tenths "12.3"; L a level of half-percent steps
// written as F1 of level x 5 (200 gives "100.0"); T tenths of a degree, "-" first when negative. A missing value is
// "-" (hardware, power) or "n/a" (memory lists).
#include "base/mem.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "sampling/model.h"
#include "sampling/ring.h"
#include "sampling/usage.h"

namespace print {

// Where the report's bytes go: standard output for the modes, a capture in tests.
struct Out {
  void (*write)(void* context, mem::Bytes bytes);
  void* context;
};
// Standard output that keeps its first failure: after a write failed nothing more is written, and the mode ends
// with exit code 1 (a report cut short by a full disk or a closed pipe is never a success). Pieces are held until
// the next one would not fit; finish writes what is held.
constexpr u32 console_bytes = 1024;
struct Console {
  u32 failure;  // the error class of the first failed write (fs scale), 0 while all went out
  u32 held;     // bytes waiting in `bytes`
  u8 bytes[console_bytes];
};
Out console(Console* console);
// Writes what is held; the error class of the first failed write, 0 when the whole report went out.
u32 finish(Console* console);

// The value forms, written to out.
void text(Out out, mem::Bytes bytes);
void number(Out out, u64 value);
void end_line(Out out);
void hundredths(Out out, u64 value);  // F2
void tenths(Out out, u64 value);      // F1
void level(Out out, u32 level);       // L
void temp(Out out, i32 tenths);       // T

// Engine class names: 1 "3D", 2 "Copy", 3 "Video Decode", 4 "Video Encode", 5 "Compute"; empty otherwise.
mem::Bytes engine_name(u32 engine_class);

// The system section, temperatures included.
void system(Out out, const usage::Usage* usage, const ring::Row* row);
// The temperature lines of the usage record's block.
void temperatures(Out out, const usage::Usage* usage);
// The hardware section; performance is the collector's processor performance value (thousandths of a percent).
void hardware(Out out, const hw::Hardware* hardware, const hw::Adapters* adapters, const usage::Usage* usage,
              u64 performance);
// The process section: totals, the ten busiest processes, the table's flags.
void procs(Out out, const model::ProcTable* table);
// The rows the process section lists, in its order (CPU descending, then row; the idle process as 0 %): at most
// ranked_most, into rows; their count.
constexpr u32 ranked_most = 10;
u32 ranked_rows(const model::ProcTable* table, u32* rows);
// One ranked process line.
void proc_row(Out out, const model::ProcTable* table, u32 row);

}  // namespace print
