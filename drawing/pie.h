#pragma once
// Ring charts drawn pixel by pixel into a square image: up to five groups (such as drives), each split into a used
// and a free sector, with anti-aliased ring edges, a gap of about one pixel between groups and a soft change of
// colour between the two sectors of a group.
//
// Angles are u32 fractions of a turn in 1/65536, 0 at 12 o'clock, growing clockwise (screen y grows downward).
// Positions and radii are in 1/256 px relative to the image centre. The same angle function answers which sector
// lies under the pointer, so hit tests agree with the pixels. All arithmetic is integer except one square root.
#include "base/mem.h"

namespace pie {

constexpr u32 turn = 65536;
constexpr u32 most_sectors = 10;
constexpr u32 groups = 5;
constexpr u32 least_share = 2048;  // the smallest visible group: one thirty-second of a turn
constexpr u8 no_series = 0xFF;

struct Table {
  u32 count;                        // 1..10
  u32 bounds[most_sectors + 1];     // sector k spans [bounds[k], bounds[k + 1]); inner bounds are multiples of 32
  u32 colours[most_sectors];        // 0xAARRGGBB as the caller gives them
  u8 series[most_sectors];          // group of each sector, no_series for the one sector of an empty table
  u32 used_starts;                  // bit k: sector k starts its group and is its used part
  u32 group_starts;                 // bit k: sector k starts its group
};

// Items go into five groups (item i into group min(i, 4)); each group gets a used and a free sector.
void build(Table* t, const u64* totals, u32 count, const u64* used, const u32* used_colours, const u32* free_colours,
           u32 empty_colour);
// Fills an n x n image; stride in pixels.
void render(u32* pixels, u32 stride, u32 n, const Table& t, u32 background, i32 outer, i32 inner);
// The opaque colour of one sample point.
u32 pixel(const Table& t, i32 x, i32 y, u32 background, i32 outer, i32 inner);
// Sector index under a point, -1 when the point is outside the ring.
i32 sector_of_point(const Table& t, i32 x, i32 y, i32 outer, i32 inner);
bool in_ring(i32 x, i32 y, i32 outer, i32 inner);
// The number of inner boundaries at or below the angle.
u32 sector_at(const Table& t, u32 angle);
// The caller rebuilds its image only when the table changed.
bool same_table(const Table& a, const Table& b);

u32 angle_of(i32 x, i32 y);
// Arctangent of a ratio 0..1 in 1/65536 as a fraction of a turn: 0 at 0, 8192 at 65536.
u32 atan_unit(u32 r);
// Length in 1/256 px along a circle of radius r covered by a turns/65536, capped at 0x100000.
i64 scale_radius(i64 r, u32 a);
// a - b + 128 cut to 0..256.
i64 edge_weight(i64 a, i64 b);
i64 band_weight(i64 r, i64 outer, i64 inner);
u32 to_255(i64 w);
// A group's share after small groups were raised to least_share at the cost of the large ones.
u32 ease(u32 k, u32 deficit, u32 excess);

}  // namespace pie
