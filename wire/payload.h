#pragma once
// What a publisher tells the host about its machine, built from the machine record and the process table: the
// 1,792-byte inventory and the process record of up to 256 chosen rows. The agent and the window's publisher use
// the same builders.
#include "base/mem.h"
#include "wire/proto.h"
#include "platform/os.h"
#include "sampling/machine.h"
#include "sampling/model.h"

namespace payload {

constexpr u32 name_size = 32;
constexpr u32 score_max = 32767;
constexpr u32 scratch_words = 2 * model::rows;  // the keys and the sort's scratch
constexpr u32 keep_words = model::rows / 64;
constexpr u32 measures = 6;
constexpr u32 best_per_measure = 3;

// Row flags of the process record: the GPU is in use, the disk rate was not measured, a value was saturated.
enum : u16 { row_gpu = 1, row_disk_unmeasured = 2, row_saturated = 4 };

// The 32-byte field zero-filled, then the text up to its first zero byte (at most 32 bytes) with every byte outside
// 0x20..0x7E replaced by '?'.
void put_name(u8* field, const u8* text, u64 length);
// "Windows ", "Linux " or "macOS " by family (nothing for another), then major.minor.build, into a zero-filled
// 32-byte field; its length.
u32 os_text(const os::WindowsVersion* os, u8* field);
// The inventory of the machine record: the whole record zero-filled, then id, version, hardware values, counts,
// the system record and the 47 names.
void inventory(const machine::Machine* m, const u8* id, const u8* computer_name, u32 name_length,
               const os::WindowsVersion* os, u16 a, u16 b, u16 c, proto::Inventory* out);
// min(cpu + gpu + memory share, 32,767), the memory share in hundredths of a percent of the machine's total
// (memory in 4 KiB units, total in MiB; 0 when the total is 0).
u32 proc_score(u32 cpu, u32 gpu, u32 memory, u32 total_mib);
// Clears the keep mask (1,024 bits) and marks for each of six measures the three rows of the first count with the
// largest non-zero value (ties to the lower row, process id 0 never): CPU, memory, disk read + write, GPU, video
// memory, TCP connections. Returns the number of rows marked.
u32 pick_procs(const model::ProcTable* t, u32 count, u64* keep);
// The process record of at most 256 rows: the picked rows, then the rest by score, written in table order.
void procs(const model::ProcTable* t, u32 total_mib, u32* scratch, proto::ProcRecord* out);

}  // namespace payload
