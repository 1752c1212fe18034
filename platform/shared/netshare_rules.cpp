// The performance-counter paths of a share's client counters, which need no system. Both backends share them.
#include "platform/netshare.h"

namespace netshare {

namespace {

struct Writer {
  u8* out;
  u32 capacity;
  u32 at;
  bool fits;
  void put(mem::Bytes b) {
    if (!fits || b.len > capacity - at) {
      fits = false;
      return;
    }
    __builtin_memcpy(out + at, b.ptr, b.len);
    at += static_cast<u32>(b.len);
  }
};

}  // namespace

u32 counter_path(mem::Bytes unc, u32 counter, u8* out, u32 capacity) {
  if (unc.len < 5 || unc.ptr[0] != '\\' || unc.ptr[1] != '\\' || counter > 3) return 0;
  u64 server_end = 2;
  while (server_end < unc.len && unc.ptr[server_end] != '\\') ++server_end;
  u64 share_end = server_end + 1;
  while (share_end < unc.len && unc.ptr[share_end] != '\\') ++share_end;
  if (server_end == 2 || server_end >= unc.len || share_end == server_end + 1) return 0;
  Writer w{out, capacity, 0, true};
  if (counter >= 2) {
    w.put(counter == 2 ? mem::lit("\\Redirector\\Read Bytes Network/sec")
                       : mem::lit("\\Redirector\\Write Bytes Network/sec"));
  } else {
    w.put(mem::lit("\\SMB Client Shares("));
    w.put(mem::Bytes(unc.ptr + 1, share_end - 1));  // the server with one leading backslash, a backslash, the share
    w.put(counter == 0 ? mem::lit(")\\Read Requests/sec") : mem::lit(")\\Write Requests/sec"));
  }
  return w.fits ? w.at : 0;
}

}  // namespace netshare
