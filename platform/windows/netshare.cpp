// Network shares by their "\\server\share" names: the share's own caching flags from the server, and the client's
// request and byte counters from its performance counters.
#include "platform/netshare.h"

#include <windows.h>
#include <lm.h>
#include <pdh.h>
#include <pdhmsg.h>

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

// A fresh query of the one counter, collected once, its raw value taken: the counts since the client started.
bool counter(const Mount* mount, u32 counter, u64* value) {
  *value = 0;
  u8 path[512];
  wchar_t wide[512];
  u32 n = mount->kind == kind_smb
              ? counter_path(mem::Bytes(mount->source, mount->source_len), counter, path, sizeof path)
              : 0;
  if (n == 0 || !winwide::utf8(mem::Bytes(path, n), wide, 512)) return false;
  PDH_HQUERY query = nullptr;
  if (PdhOpenQueryW(nullptr, 0, &query) != ERROR_SUCCESS) return false;
  PDH_HCOUNTER handle = nullptr;
  PDH_RAW_COUNTER raw{};
  DWORD type = 0;
  bool read = PdhAddEnglishCounterW(query, wide, 0, &handle) == ERROR_SUCCESS &&
              PdhCollectQueryData(query) == ERROR_SUCCESS &&
              PdhGetRawCounterValue(handle, &type, &raw) == ERROR_SUCCESS &&
              (raw.CStatus == PDH_CSTATUS_VALID_DATA || raw.CStatus == PDH_CSTATUS_NEW_DATA);
  PdhCloseQuery(query);
  if (read) *value = static_cast<u64>(raw.FirstValue);
  return read;
}

}  // namespace netshare
