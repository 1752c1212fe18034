#include "drawing/curve.h"

#include "base/maths.h"

namespace curve {

namespace {

using i128 = __int128;

i32 to_i32(i128 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

// Floor division by a positive divisor.
i128 floor_by(i128 a, i128 b) {
  i128 q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Steps beyond this make the cubic terms too wide even for 128 bits; no chart column comes near it.
constexpr i32 most_steps = 1 << 30;

// N / f^3 rounded half up, for a segment that has steps.
i32 per_cube(i128 n, i128 f) {
  i128 cube = f * f * f;
  return to_i32(floor_by(2 * n + cube, 2 * cube));
}

i32 difference(i32 a, i32 b) { return to_i32(i128{a} - b); }

u32 channel(u32 colour, u32 shift) { return (colour >> shift) & 0xFF; }

}  // namespace

i32 least(i32 a, i32 b) { return a < b ? a : b; }
i32 greatest(i32 a, i32 b) { return a > b ? a : b; }

i64 floor_div(i64 a, i64 b) {
  if (b == 0) return 0;
  if (b == -1) return a == INT64_MIN ? INT64_MAX : -a;
  i64 q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

i32 tangent(i32 a, i32 b) {
  if (!((a > 0 && b > 0) || (a < 0 && b < 0))) return 0;
  i64 wa = a < 0 ? -i64{a} : a, wb = b < 0 ? -i64{b} : b;
  i64 sum = i64{a} + b;
  i64 m = (sum < 0 ? -sum : sum) >> 1;
  if (2 * wa < m) m = 2 * wa;
  if (2 * wb < m) m = 2 * wb;
  return static_cast<i32>(a < 0 ? -m : m);
}

i32 hermite(i32 p0, i32 p1, i32 m0, i32 m1, i32 e, i32 f) {
  if (f <= 0 || f > most_steps) return p0;
  const i128 d = i128{p1} - p0, s = greatest(0, least(e, f)), n = f;
  i128 cubic = (i128{m0} + m1 - 2 * d) * s * s * s;
  i128 square = (3 * d - 2 * i128{m0} - m1) * s * s * n;
  i128 linear = i128{m0} * s * n * n;
  return to_i32(p0 + i128{per_cube(cubic + square + linear, n)});
}

i32 rise(i32 p0, i32 p1, i32 m0, i32 m1, i32 e, i32 f) {
  if (f <= 0 || f > most_steps) return 0;
  const i128 d = i128{p1} - p0, s = greatest(0, least(e, f)), n = f;
  i128 r = i128{m0} * n * n + 2 * (3 * d - 2 * i128{m0} - m1) * s * n + 3 * (i128{m0} + m1 - 2 * d) * s * s;
  return per_cube(r, n);
}

i32 curve_at(i32 s0, i32 s1, i32 s2, i32 s3, i32 e, i32 f) {
  i32 before = difference(s1, s0), between = difference(s2, s1), after = difference(s3, s2);
  return hermite(s1, s2, tangent(before, between), tangent(between, after), e, f);
}

i32 curve_rise(i32 s0, i32 s1, i32 s2, i32 s3, i32 e, i32 f) {
  i32 before = difference(s1, s0), between = difference(s2, s1), after = difference(s3, s2);
  return rise(s1, s2, tangent(before, between), tangent(between, after), e, f);
}

u32 level(u32 v, u32 max, u32 h) {
  u64 cut = v < max ? v : max;
  u64 divisor = max == 0 ? 1 : max;
  return static_cast<u32>(h - u64{h} * cut / divisor);
}

u32 stack_add(u32 a, u32 b) {
  u64 sum = u64{a} + b;
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(sum);
}

u64 nice_ceiling(u64 v) {
  unsigned __int128 c = 1;
  while (v / 10 >= c) c *= 10;
  const unsigned __int128 steps[4] = {c, 2 * c, 5 * c, 10 * c};
  for (unsigned __int128 step : steps)
    if (step >= v) return step > UINT64_MAX ? UINT64_MAX : static_cast<u64>(step);
  return UINT64_MAX;
}

i32 nearest(i64 a, i64 b, i32 limit) {
  if (b <= 0) b = 1;
  i128 q = floor_by(2 * i128{a} + b, 2 * i128{b});
  if (q < 0) return 0;
  return q > limit ? limit : static_cast<i32>(q);
}

u32 mix_channel(u32 a, u32 b, u32 c, u32 d) {
  u64 n = d == 0 ? 1 : d;
  u64 m = c < n ? c : n;
  return static_cast<u32>(((n - m) * a + m * b + n / 2) / n);
}

u32 mix_color(u32 a, u32 b, u32 c, u32 d) {
  u32 out = 0;
  for (u32 shift = 0; shift < 24; shift += 8) out |= mix_channel(channel(a, shift), channel(b, shift), c, d) << shift;
  return out;
}

u32 ramp(u32 a, u32 b, u32 c, u32 d, u32 e) {
  if (e == 0) e = 1;
  if (d > e) d = e;
  u32 half = e >> 1;
  return d <= half ? mix_color(a, b, d, half) : mix_color(b, c, d - half, e - half);
}

i32 clamp16(i32 v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : v; }

u32 div255(u32 v) {
  u64 t = u64{v} + 128;
  return static_cast<u32>((t + (t >> 8)) >> 8);
}

u32 scaled_alpha(u32 a, u32 b) { return div255(a * b); }

u32 blend(u32 a, u32 b, u32 alpha) {
  if (alpha > 255) alpha = 255;
  const u32 keep = 255 - alpha;
  // div255 of each channel, red and blue side by side in one word: a channel's sum stays below 2^16 (at most
  // 255 * 255 + 128 + 255), so neither half carries into the other.
  u32 rb = (a & 0xFF00FFu) * keep + (b & 0xFF00FFu) * alpha + 0x800080u;
  u32 g = channel(a, 8) * keep + channel(b, 8) * alpha + 0x80u;
  rb = ((rb + ((rb >> 8) & 0xFF00FFu)) >> 8) & 0xFF00FFu;
  g = (g + (g >> 8)) >> 8;
  return 0xFF000000u | rb | (g << 8);
}

i32 thickness(i32 w, i32 s) {
  float slope = static_cast<float>(s) / 256.0f;
  float v = static_cast<float>(w) * maths::sqrt32(1.0f + slope * slope) + 0.5f;
  if (!(v < 2147483648.0f)) return INT32_MAX;
  if (v <= -2147483648.0f) return INT32_MIN;
  return static_cast<i32>(v);
}

u32 disc(float p, float e) {
  float v = (e - p + 0.5f) * 255.0f + 0.5f;
  if (!(v > 0.0f)) return 0;
  if (v > 255.0f) return 255;
  return static_cast<u32>(v);
}

i32 plot_y(u32 split, u32 lower, u32 v, u32 max, i32 height, i32 margin) {
  const i64 top = i64{margin} * 256;
  if (!split) {
    i64 box = (i64{height} - 2 * i64{margin}) * 256;
    return to_i32(top + level(v, max, static_cast<u32>(box < 0 ? 0 : box > UINT32_MAX ? UINT32_MAX : box)));
  }
  i64 half = i64{height} * 128 - top;
  u32 h = static_cast<u32>(half < 0 ? 0 : half > UINT32_MAX ? UINT32_MAX : half);
  if (lower != 1) return to_i32(top + level(v, max, h));
  return to_i32(i64{height} * 128 + (i64{h} - level(v, max, h)));
}

i32 base_y(u32 split, i32 height, i32 margin) {
  return to_i32(split ? i64{height} * 128 : (i64{height} - margin) * 256);
}

}  // namespace curve
