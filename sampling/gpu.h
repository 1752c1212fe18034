#pragma once
// Graphics adapters and engines. The system names every GPU counter instance with a text that encodes the process,
// the adapter LUID, the physical adapter, the engine number and the engine type. This module turns the four counter
// arrays into fixed rows of the sample's GPU section, keeps the previous raw values of every engine instance in a
// double-buffered hash table (so a steady sample parses no names), and folds the rows per adapter and per process
// for the usage passes. The adapter list and the section are parts of the sample's bytes: their layouts are exact.
// Every reader of a section re-clamps its counts and indexes: a section may come from a file or another process.
#include <stddef.h>

#include "base/mem.h"

namespace gpu {

constexpr u32 listed_max = 32;      // adapters of each list
constexpr u32 adapters_max = 8;     // adapters of a section
constexpr u32 engines_max = 9216;   // engine rows of a section
constexpr u32 memory_max = 1024;    // process-memory rows of a section
constexpr u32 slots = 16384;        // instance table slots per generation
constexpr u32 keys_max = 12288;     // keys stored per generation
constexpr u32 name_units = 96;      // units of an instance name that count
constexpr u32 kept_max = 4;         // adapters the folds keep
constexpr u32 classes = 6;
constexpr u32 cells = kept_max * 1024;
constexpr u8 not_listed = 255;

// Engine classes.
enum : u8 { class_other, class_3d, class_copy, class_decode, class_encode, class_compute };
// Parts of an instance name that parsed.
enum : u8 { part_process = 1, part_adapter = 2, part_engine = 4 };
// Section flags.
enum : u32 {
  engines_failed = 1,
  memory_failed = 2,
  process_failed = 4,
  engines_truncated = 8,
  process_truncated = 16,
  adapters_over = 32,
};
// Adapter type bit of a software device.
constexpr u32 software_device = 4;

// The adapter lists: the DirectX adapters and the display-class entries. Every array has one scratch entry that
// takes writes past the cap.
struct AdapterList {
  u32 listed;   // DirectX adapters stored, at most 32
  u32 display;  // display-class entries stored, at most 32
  u64 luid[listed_max + 1];  // high part << 32 | low part
  u64 dedicated[listed_max + 1];
  u64 last_seen[listed_max + 1];
  u32 type[listed_max + 1];
  u32 vendor[listed_max + 1];
  u32 device[listed_max + 1];
  u32 zero;
  u64 display_memory[listed_max + 1];
  u32 display_vendor[listed_max + 1];
  u32 display_device[listed_max + 1];
  u16 description[listed_max + 1][64];  // UTF-16
};
static_assert(sizeof(AdapterList) == 5952);
static_assert(offsetof(AdapterList, luid) == 8 && offsetof(AdapterList, dedicated) == 272);
static_assert(offsetof(AdapterList, last_seen) == 536 && offsetof(AdapterList, type) == 800);
static_assert(offsetof(AdapterList, vendor) == 932 && offsetof(AdapterList, device) == 1064);
static_assert(offsetof(AdapterList, display_memory) == 1200 && offsetof(AdapterList, display_vendor) == 1464);
static_assert(offsetof(AdapterList, display_device) == 1596 && offsetof(AdapterList, description) == 1728);

// The GPU section of a sample. Row arrays have one scratch entry past their cap.
struct Section {
  u32 adapters;      // at most 8
  u32 engine_rows;   // at most 9,216
  u32 engines_seen;  // engine instances fully parsed
  u32 memory_rows;   // at most 1,024
  u32 memory_seen;   // process-memory instances parsed
  u32 flags;
  u64 luid[adapters_max];
  u64 dedicated[adapters_max];  // bytes in use
  u64 shared[adapters_max];
  u64 memory_bytes[memory_max + 1];
  u64 class_bits[3][145];  // bit i of array k: bit k of row i's class
  u32 engine_pid[engines_max + 1];
  u32 memory_pid[memory_max + 1];
  i16 util[engines_max + 1];  // hundredths of a percent
  u8 engine_adapter[engines_max + 1];  // index into luid, 255 when not listed
  u8 engine_number[engines_max + 1];   // capped at 255
  u8 engine_phys[engines_max + 1];     // capped at 3
  u8 memory_adapter[memory_max + 1];
  u8 zero[2];
};
static_assert(sizeof(Section) == 99976);
static_assert(offsetof(Section, luid) == 24 && offsetof(Section, memory_bytes) == 216);
static_assert(offsetof(Section, class_bits) == 8416 && offsetof(Section, engine_pid) == 11896);
static_assert(offsetof(Section, memory_pid) == 48764 && offsetof(Section, util) == 52864);
static_assert(offsetof(Section, engine_adapter) == 71298 && offsetof(Section, engine_number) == 80515);
static_assert(offsetof(Section, engine_phys) == 89732 && offsetof(Section, memory_adapter) == 98949);

// One instance name, parsed.
struct Instance {
  u64 luid;
  u32 pid;
  u32 phys;
  u32 engine;
  u8 engine_class;
  u8 parts;  // part_* bits
};

struct Slot {
  u64 key;  // 0 = empty
  u64 luid;
  u64 first;
  u64 second;
  u32 pid;
  u8 engine;  // capped at 255
  u8 phys;    // capped at 3
  u8 engine_class;
  u8 parts;
};
static_assert(sizeof(Slot) == 40);

// Previous raw values of every instance, in two generations: this sample's and the last one's.
struct InstanceTable {
  u32 generation;  // 0 or 1: the one being filled
  u32 count[2];
  u32 found;   // lookups that found their key
  u32 parsed;  // names parsed
  u32 zero;
  Slot slot[2][slots];
};
static_assert(sizeof(InstanceTable) == 1310744);

// ---- Names.

// The parts of an ASCII instance name ("pid_P_luid_0xHHHHHHHH_0xLLLLLLLL_phys_N_eng_E_engtype_T").
Instance parse_instance(mem::Bytes name);
u8 engine_class(mem::Bytes type);
// The value of the 4 hex digits after the first case-insensitive match of tag that has them; -1 when none.
i32 id_after(mem::Bytes text, mem::Bytes tag);
// The UTF-16 name at offset as printable ASCII (other units become '?'), at most 96 bytes; the length.
u64 instance_name(mem::Bytes b, u64 offset, u8* out96);
// FNV-1a 64 over the name's UTF-16 units (at most 96, stopping at a 0 unit); never 0.
u64 instance_key(mem::Bytes b, u64 offset);

// ---- Rates and the table.

// Hundredths of a percent of a over b (a capped at b); 0 when b is 0.
u32 util_of(u64 a, u64 b);
// Starts a new generation: flips the generation and empties it.
void table_reset(InstanceTable* table);

// One counter array into the section: 0 and 1 the adapters' dedicated and shared bytes (formatted items), 2 the
// engines (raw items), 3 the processes' local memory (formatted items). `data` holds the items and their names,
// `base` is the address the array's producer saw it at (data may be null for an empty answer). A failed array sets
// its flag and adds no rows.
void build(u32 array, bool ok, const u8* data, u32 bytes, u64 base, u32 items, InstanceTable* table,
           Section* section);

// ---- Folds.

// The adapters the usage passes show: at most 4, in section order, without software devices.
struct Kept {
  u32 count;
  u32 overflow;                // a fifth adapter was met
  u8 section[kept_max];        // section index, 255 when empty
  i32 listed[kept_max];        // DirectX list index, -1 when empty or not listed
  u8 slot_of[adapters_max];    // kept slot of each section index, 255 when not kept
};
void fold_procs(const Section* section, const AdapterList* adapters, Kept* out);

// Per kept adapter the busiest engine of each class, with scratch cells of their own.
struct Engines {
  u32 max[kept_max][classes];
  u8 mask[kept_max];  // classes present
  u32 sum[cells];
  u8 cell_class[cells];
  u8 present[cells];
};
void fold_engines(const Section* section, const Kept* kept, Engines* out);
// The largest of a kept slot's class maxima; 0 for a slot past the kept ones.
u32 adapter_peak(const Engines* engines, u32 slot);

// The section index of an adapter LUID, 255 when not listed.
u8 adapter_index(const Section* section, u64 luid);

}  // namespace gpu
