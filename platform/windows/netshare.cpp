// Network shares by their "\\server\share" names: the share's own caching flags from the server. The client's
// request counters of a share are not read by this build (counter answers false).
#include "platform/netshare.h"

#include <windows.h>
#include <lm.h>

#include "base/path.h"
#include "platform/fs.h"
#include "platform/windows/wide.h"

namespace netshare {

bool mount_in(mem::Bytes, mem::Bytes, Mount*) { return false; }

// A folder on a mapped drive names the drive's share.
bool mount_of(mem::Bytes path, Mount* out) {
  store::Path unc;
  *out = Mount{};
  return fs::unc_of_drive(path, &unc) && mount_by_unc(store::path_of(&unc), out);
}

bool unc_of(const Mount* mount, store::Path* out) {
  if (mount->kind == kind_none || mount->source_len == 0) return false;
  store::path_set(out, mem::Bytes(mount->source, mount->source_len));
  return !out->overflow;
}

bool mount_by_unc_in(mem::Bytes, mem::Bytes unc, Mount* out) { return mount_by_unc(unc, out); }

// A "\\server\share" name is a share on Windows; nothing is mounted for it.
bool mount_by_unc(mem::Bytes unc, Mount* out) {
  *out = Mount{};
  if (unc.len < 5 || unc.len >= sizeof out->source || unc.ptr[0] != '\\' || unc.ptr[1] != '\\') return false;
  u64 server_end = 2;
  while (server_end < unc.len && unc.ptr[server_end] != '\\') ++server_end;
  if (server_end == 2 || server_end + 1 >= unc.len) return false;
  out->kind = kind_smb;
  __builtin_memcpy(out->source, unc.ptr, unc.len);
  out->source_len = static_cast<u32>(unc.len);
  return true;
}

u32 flags_of(const Mount* mount) {
  if (mount->kind != kind_smb) return flags_caching;
  wchar_t unc[256];
  if (!winwide::ascii(mem::Bytes(mount->source, mount->source_len), unc, 256)) return flags_caching;
  u32 server_end = 2;
  while (unc[server_end] && unc[server_end] != '\\') ++server_end;
  unc[server_end] = 0;
  u32 share_end = server_end + 1;
  while (unc[share_end] && unc[share_end] != '\\') ++share_end;
  unc[share_end] = 0;
  SHARE_INFO_1005* info = nullptr;
  if (NetShareGetInfo(unc, unc + server_end + 1, 1005, reinterpret_cast<LPBYTE*>(&info)) != NERR_Success || !info) {
    return flags_caching;
  }
  u32 flags = info->shi1005_flags;
  NetApiBufferFree(info);
  return flags;
}

bool counter_in(mem::Bytes, const Mount*, u32, u64* value) {
  *value = 0;
  return false;
}

bool counter(const Mount*, u32, u64* value) {
  *value = 0;
  return false;
}

}  // namespace netshare
