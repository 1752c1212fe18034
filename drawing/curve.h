#pragma once
// Curve and colour maths of the charts, the ring images and the drawing layer: a monotone cubic through samples,
// positions of values in a plot box, axis ceilings, colour mixing and blending, line thickness across a slope and
// edge coverage. Every result is exact by its formula (integers, and two single-precision functions built without
// floating contraction), because chart pixels are hashed per tile and compared between frames and builds.
//
// Colours carry red, green and blue in their three low bytes, in the caller's order. Vertical positions are in
// 1/256 px. Division truncates toward zero unless floor_div is named.
#include "base/mem.h"

namespace curve {

i32 least(i32 a, i32 b);
i32 greatest(i32 a, i32 b);
// a / b rounded toward minus infinity; 0 for b = 0, and INT64_MIN / -1 saturates.
i64 floor_div(i64 a, i64 b);

// Tangent at a sample from the slopes before (a) and after (b): 0 unless both have the same sign, else
// sign(a) * min(|a + b| >> 1, 2|a|, 2|b|), so the curve never overshoots its samples.
i32 tangent(i32 a, i32 b);
// The cubic Hermite value at step e of f between p0 and p1 with tangents m0 and m1 (per f steps), rounded half up.
// A segment of f <= 0 steps is p0.
i32 hermite(i32 p0, i32 p1, i32 m0, i32 m1, i32 e, i32 f);
// The smooth value between samples s1 and s2 at step e of f, with tangents from their neighbours.
i32 curve_at(i32 s0, i32 s1, i32 s2, i32 s3, i32 e, i32 f);
// The slope per step at step e of f, rounded half up; 0 for f <= 0.
i32 rise(i32 p0, i32 p1, i32 m0, i32 m1, i32 e, i32 f);
i32 curve_rise(i32 s0, i32 s1, i32 s2, i32 s3, i32 e, i32 f);

// h - h * min(v, max) / max, a divisor of 0 counting as 1.
u32 level(u32 v, u32 max, u32 h);
// a + b, saturating at 0xFFFFFFFF.
u32 stack_add(u32 a, u32 b);
// The smallest 1, 2 or 5 times a power of ten at or above v (1 for 0); saturates at UINT64_MAX.
u64 nice_ceiling(u64 v);
// a / b rounded half up (b of 0 or less counts as 1), cut to 0..limit.
i32 nearest(i64 a, i64 b, i32 limit);

// ((d - m) a + m b + d / 2) / d with m = min(c, d), d of 0 counting as 1: from a (c = 0) to b (c = d).
u32 mix_channel(u32 a, u32 b, u32 c, u32 d);
// mix_channel on the three low bytes; the top byte is 0.
u32 mix_color(u32 a, u32 b, u32 c, u32 d);
// Position d of e along a -> b over the first half and b -> c over the second; the top byte is 0.
u32 ramp(u32 a, u32 b, u32 c, u32 d, u32 e);
i32 clamp16(i32 v);
// Each low byte div255(a (255 - alpha) + alpha b); the top byte 0xFF. An alpha above 255 counts as 255.
u32 blend(u32 a, u32 b, u32 alpha);
u32 div255(u32 v);
u32 scaled_alpha(u32 a, u32 b);

// w * sqrt(1 + (s / 256)^2) + 0.5 truncated: a line of width w across a slope of s/256 px per px.
i32 thickness(i32 w, i32 s);
// Coverage 0..255 of a pixel at p by an edge at e: (e - p + 0.5) * 255 + 0.5, cut to 0..255 and truncated.
u32 disc(float p, float e);

// The 1/256 px row of value v in a plot box of height px with a margin (px) above and below. Split boxes hold two
// series: the upper one (lower != 1) rises from the middle to the top, the lower one falls from the middle down.
i32 plot_y(u32 split, u32 lower, u32 v, u32 max, i32 height, i32 margin);
// The 1/256 px row of the value 0.
i32 base_y(u32 split, i32 height, i32 margin);

}  // namespace curve
