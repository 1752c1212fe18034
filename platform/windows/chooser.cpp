// The key file chooser. This build makes no windows, so there is no dialog to own one: the key field takes a typed
// path, as on a desktop without a chooser.
#include "platform/chooser.h"

namespace chooser {

u32 open_file(const Ask&, mem::Slice, u32* length, u32* road) {
  *length = 0;
  if (road) *road = road_none;
  return unavailable;
}

}  // namespace chooser
