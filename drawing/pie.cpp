#include "drawing/pie.h"

#include "base/maths.h"
#include "drawing/curve.h"

namespace pie {

namespace {

using u128 = unsigned __int128;

// a * b / c without overflow (byte-sized totals pass 2^48 and their products 2^64); 0 for c = 0.
u64 mul_div(u64 a, u64 b, u64 c) { return c == 0 ? 0 : static_cast<u64>(u128{a} * b / c); }

u32 down32(u64 v) { return static_cast<u32>((v < turn ? v : turn) & ~u64{31}); }

bool bit(u32 set, u32 k) { return ((set >> k) & 1) != 0; }

struct Group {
  u64 total;
  u64 used;
};

}  // namespace

u32 atan_unit(u32 r) {
  u64 x = r;
  return static_cast<u32>((x * ((((turn - x) * (((x * 692) >> 16) + 2552)) >> 16) + 8192)) >> 16);
}

u32 angle_of(i32 x, i32 y) {
  u64 ax = x < 0 ? u64{0} - static_cast<u64>(static_cast<i64>(x)) : static_cast<u64>(x);
  u64 ay = y < 0 ? u64{0} - static_cast<u64>(static_cast<i64>(y)) : static_cast<u64>(y);
  u64 lo = ax < ay ? ax : ay, hi = ax < ay ? ay : ax;
  u32 f = atan_unit(static_cast<u32>(lo * turn / (hi == 0 ? 1 : hi)));
  u32 phi = ay >= ax ? f : 16384 - f;
  if (x >= 0) return y <= 0 ? phi : 32768 - phi;
  return y <= 0 ? (turn - phi) % turn : 32768 + phi;
}

i64 scale_radius(i64 r, u32 a) {
  i64 v = static_cast<i64>((static_cast<u128>(r < 0 ? 0 : r) * a * 411775) >> 32);
  return v < 0x100000 ? v : 0x100000;
}

i64 edge_weight(i64 a, i64 b) {
  i64 w = a - b + 128;
  return w < 0 ? 0 : w > 256 ? 256 : w;
}

i64 band_weight(i64 r, i64 outer, i64 inner) { return (edge_weight(outer, r) * edge_weight(r, inner)) >> 8; }

u32 to_255(i64 w) { return static_cast<u32>((w * 255 + 128) >> 8); }

u32 ease(u32 k, u32 deficit, u32 excess) {
  if (k == 0) return 0;
  if (k < least_share) return least_share;
  return k - static_cast<u32>(u64{deficit} * (k - least_share) / (excess == 0 ? 1 : excess));
}

void build(Table* t, const u64* totals, u32 count, const u64* used, const u32* used_colours, const u32* free_colours,
           u32 empty_colour) {
  *t = Table{};
  Group g[groups] = {};
  u64 sum = 0;
  for (u32 i = 0; i < count; i++) {
    Group& into = g[i < groups ? i : groups - 1];
    u64 u = used[i] < totals[i] ? used[i] : totals[i];
    // Sums saturate: a share is a ratio, so a clamped sum only shifts it by a rounding step.
    into.total = into.total + totals[i] < into.total ? ~u64{0} : into.total + totals[i];
    into.used = into.used + u < into.used ? ~u64{0} : into.used + u;
    sum = sum + totals[i] < sum ? ~u64{0} : sum + totals[i];
  }
  u32 share[groups];
  u32 deficit = 0, excess = 0;
  for (u32 j = 0; j < groups; j++) {
    share[j] = static_cast<u32>(mul_div(g[j].total, turn, sum));
    if (g[j].total > 0 && share[j] == 0) share[j] = 1;
    if (share[j] > 0 && share[j] < least_share) deficit += least_share - share[j];
    if (share[j] >= least_share) excess += share[j] - least_share;
  }
  u64 start_at = 0;
  u32 n = 0;
  for (u32 j = 0; j < groups; j++) {
    u32 a = ease(share[j], deficit, excess);
    u32 start = down32(start_at);
    t->bounds[n] = start;
    t->colours[n] = used_colours[j];
    t->series[n] = static_cast<u8>(j);
    t->used_starts |= 1u << n;
    t->group_starts |= 1u << n;
    u32 used_end = down32(start_at + mul_div(a, g[j].used, g[j].total == 0 ? 1 : g[j].total));
    if (used_end > start) n++;
    t->bounds[n] = used_end;
    t->colours[n] = free_colours[j];
    t->series[n] = static_cast<u8>(j);
    t->used_starts &= ~(1u << n);
    if (used_end == start) t->group_starts |= 1u << n;
    else t->group_starts &= ~(1u << n);
    if (down32(start_at + a) > used_end) n++;
    start_at += a;
  }
  if (n == 0) {
    t->colours[0] = empty_colour;
    t->series[0] = no_series;
    t->used_starts &= ~1u;
    t->group_starts &= ~1u;
  }
  t->bounds[0] = 0;
  t->count = n == 0 ? 1 : n;
  u32 keep = (1u << t->count) - 1;
  t->used_starts &= keep;
  t->group_starts &= keep;
  t->bounds[t->count] = turn;
}

u32 sector_at(const Table& t, u32 angle) {
  u32 k = 0;
  for (u32 i = 1; i < t.count && i < most_sectors; i++) k += t.bounds[i] <= angle ? 1 : 0;
  return k;
}

u32 pixel(const Table& t, i32 x, i32 y, u32 background, i32 outer, i32 inner) {
  u32 count = t.count < 1 ? 1 : t.count > most_sectors ? most_sectors : t.count;
  i64 sq = i64{x} * x + i64{y} * y;
  i64 r = static_cast<i64>(maths::sqrt64(static_cast<double>(sq)));
  i64 ring = band_weight(r, outer, inner);
  u32 angle = angle_of(x, y);
  u32 k = sector_at(t, angle);
  u32 previous = (count + k - 1) % count, next = (k + 1) % count;
  i64 ds = scale_radius(r, angle - t.bounds[k]);
  i64 de = scale_radius(r, t.bounds[k + 1] - angle);
  u32 c = t.colours[k];
  bool starts = bit(t.group_starts, k), next_starts = bit(t.group_starts, next);
  if (!starts) c = curve::blend(c, t.colours[previous], to_255(256 - edge_weight(ds, 0)));
  if (!next_starts) c = curve::blend(c, t.colours[next], to_255(256 - edge_weight(de, 0)));
  i64 cover = (ring * (starts ? edge_weight(ds, 256) : 256)) >> 8;
  cover = (cover * (next_starts ? edge_weight(de, 256) : 256)) >> 8;
  return curve::blend(background, c, to_255(cover));
}

void render(u32* pixels, u32 stride, u32 n, const Table& t, u32 background, i32 outer, i32 inner) {
  i32 half = static_cast<i32>(128 * n) - 128;
  for (u32 i = 0; i < n; i++) {
    for (u32 j = 0; j < n; j++) {
      pixels[u64{i} * stride + j] = pixel(t, static_cast<i32>(256 * j) - half, static_cast<i32>(256 * i) - half,
                                          background, outer, inner);
    }
  }
}

bool in_ring(i32 x, i32 y, i32 outer, i32 inner) {
  i64 sq = i64{x} * x + i64{y} * y;
  return i64{inner} * inner <= sq && sq <= i64{outer} * outer;
}

i32 sector_of_point(const Table& t, i32 x, i32 y, i32 outer, i32 inner) {
  if (!in_ring(x, y, outer, inner)) return -1;
  return static_cast<i32>(sector_at(t, angle_of(x, y)));
}

bool same_table(const Table& a, const Table& b) {
  if (a.count != b.count || a.used_starts != b.used_starts || a.group_starts != b.group_starts) return false;
  for (u32 i = 0; i <= most_sectors; i++) {
    if (a.bounds[i] != b.bounds[i]) return false;
  }
  for (u32 i = 0; i < most_sectors; i++) {
    if (a.colours[i] != b.colours[i] || a.series[i] != b.series[i]) return false;
  }
  return true;
}

}  // namespace pie
