// The drawing road's arithmetic that needs no system. Both backends share it.
#include "platform/gdi.h"

namespace gdi {

bool clip_block(i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride, i32 width, i32 height, Block* out) {
  const i64 x0 = x > 0 ? x : 0, y0 = y > 0 ? y : 0;
  const i64 right = i64{x} + w, bottom = i64{y} + h;
  const i64 x1 = right < width ? right : width, y1 = bottom < height ? bottom : height;
  if (x0 >= x1 || y0 >= y1) return false;
  *out = Block{static_cast<i32>(x0), static_cast<i32>(y0), static_cast<i32>(x1 - x0), static_cast<i32>(y1 - y0),
               pixels + u64(y0 - y) * stride + u64(x0 - x), stride, 0, -1, 0, 0};
  return true;
}

}  // namespace gdi
