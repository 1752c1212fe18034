#pragma once
// The figure tiles under a resource page's plot with their texts and energy sums, the GPU page's engine and
// memory charts with their labels, and the logical processors part (heat strip or small multiples).
#include "views/views.h"
#include "views/pen.h"

namespace views {

// Size classes of the tiles, nibble i for tile i: the lower the class, the longer the tile stays on a narrow page.
constexpr u64 classes_cpu = 0x543210, classes_nic = 0x3310, classes_power = 0x514230;
constexpr u64 classes_gpu_unified = 0x23140, classes_gpu = 0x23410;
u64 tile_classes(const machine::Machine& m, u32 view);
u32 tile_count(u32 view);
// Label and value of tile i of the view shown.
void tile_texts(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value);
void tiles(const ViewState& s, Pen* pen, const machine::Machine& m);
void tile(Pen* pen, i32 x0, i32 y, i32 width, u32 index, u32 shown, mem::Bytes label, mem::Bytes text);
void power_tiles(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value);
void energy_tiles(const ViewState& s, const machine::Machine& m, u64* energy, u32* seconds);
void gpu_tiles(const machine::Machine& m, u32 gpu, u32 index, mem::Bytes* label, words::Text* value);
// Tenths of a joule over the newest min(n, rows) rows that carry a power reading, and how many rows did.
u64 ring_energy(const machine::Machine& m, u32 n, u32* count);
void energy_words(words::Text* out, u64 tenths_joule);
void measured_words(words::Text* out, u32 seconds);
// The engine kind 1-5 busiest in a ring row; the first strictly highest, 1 when all are idle.
u32 busiest_kind(const machine::Machine& m, u32 row, u32 gpu);
void chart_label(const ViewState& s, Pen* pen, u32 slot, mem::Bytes name, mem::Bytes text);
void gpu_part(const ViewState& s, Pen* pen, const machine::Machine& m);
i32 legend_w(draw::Surface* surface);
void heat_legend(Pen* pen, i32 x, i32 y);
void cores_part(const ViewState& s, Pen* pen, const machine::Machine& m);
// The small-multiple row label: first and last processor of the row, the last one present at most.
void core_range(words::Text* out, u32 row, u32 columns, u32 cores);
// Every k-th processor of the heat strip is numbered, k keeping the 20-px labels clear of each other.
u32 label_every(i32 row_height);

}  // namespace views
