#pragma once
// What the C library's maths would give, from compiler builtins that are one instruction on every target (x86-64
// and WebAssembly alike), so results agree bit for bit between the native and the browser build. The build turns
// off errno for maths, which is what keeps these builtins free of library calls.

namespace maths {

// Correctly rounded square roots.
inline float sqrt32(float v) { return __builtin_sqrtf(v); }
inline double sqrt64(double v) { return __builtin_sqrt(v); }

}  // namespace maths
