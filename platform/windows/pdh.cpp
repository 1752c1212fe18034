// Counter queries through PDH on the live data source; items arrive in the system's own array layouts.
#include "platform/pdh.h"

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include "platform/windows/wide.h"

namespace pdh {

static_assert(sizeof(PDH_FMT_COUNTERVALUE_ITEM_W) == sizeof(sysrec::FmtItem));
static_assert(sizeof(PDH_RAW_COUNTER_ITEM_W) == sizeof(sysrec::RawItem));

u64 open_query(sysinfo::Reader* reader) {
  if (!reader) return 0;
  PDH_HQUERY query = nullptr;
  return PdhOpenQueryW(nullptr, 0, &query) == ERROR_SUCCESS ? winwide::value(query) : 0;
}

u64 add_counter(u64 query, mem::Bytes path) {
  wchar_t wide[96];
  if (!query || !winwide::ascii(path, wide, 96)) return 0;
  PDH_HCOUNTER counter = nullptr;
  return PdhAddEnglishCounterW(winwide::handle(query), wide, 0, &counter) == ERROR_SUCCESS ? winwide::value(counter)
                                                                                           : 0;
}

u32 collect(u64 query) {
  return query ? static_cast<u32>(PdhCollectQueryData(winwide::handle(query))) : u32{invalid_handle};
}

void close_query(u64 query) {
  if (query) PdhCloseQuery(winwide::handle(query));
}

u32 array(u64 counter, u32 format, mem::Slice buffer, u32* bytes, u32* count) {
  *count = 0;
  if (!counter) return invalid_handle;
  DWORD size = static_cast<DWORD>(buffer.len > 0xFFFFFFFF ? 0xFFFFFFFF : buffer.len), items = 0;
  PDH_STATUS s = PdhGetFormattedCounterArrayW(winwide::handle(counter), format, &size, &items,
                                              reinterpret_cast<PDH_FMT_COUNTERVALUE_ITEM_W*>(buffer.ptr));
  *bytes = size;
  if (s == ERROR_SUCCESS) *count = items;
  return static_cast<u32>(s);
}

u32 raw_array(u64 counter, mem::Slice buffer, u32* bytes, u32* count) {
  *count = 0;
  if (!counter) return invalid_handle;
  DWORD size = static_cast<DWORD>(buffer.len > 0xFFFFFFFF ? 0xFFFFFFFF : buffer.len), items = 0;
  PDH_STATUS s = PdhGetRawCounterArrayW(winwide::handle(counter), &size, &items,
                                        reinterpret_cast<PDH_RAW_COUNTER_ITEM_W*>(buffer.ptr));
  *bytes = size;
  if (s == ERROR_SUCCESS) *count = items;
  return static_cast<u32>(s);
}

u32 value(u64 counter, u32 format, u32* status, i64* out) {
  *status = status_invalid;
  *out = 0;
  if (!counter) return invalid_handle;
  PDH_FMT_COUNTERVALUE v{};
  PDH_STATUS s = PdhGetFormattedCounterValue(winwide::handle(counter), format, nullptr, &v);
  if (s != ERROR_SUCCESS) return static_cast<u32>(s);
  *status = v.CStatus;
  *out = format & fmt_long ? v.longValue : v.largeValue;
  return success;
}

}  // namespace pdh
