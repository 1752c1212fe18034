#pragma once
// Performance-counter queries: a query holds counters named by their English paths; each collect takes one
// snapshot of their sources, and rate counters are computed between the last two collects of the same query, so a
// rate counter has no valid value until its query was collected twice.
// Arrays are written as the system writes them: items (sysrec::FmtItem or sysrec::RawItem) followed by their
// UTF-16 names, each item holding its name's address in the caller's buffer.
#include "base/mem.h"
#include "platform/sysinfo.h"

namespace pdh {

// Format bits.
enum : u32 { fmt_long = 0x100, fmt_large = 0x400, fmt_1000 = 0x2000 };
// Answers and item statuses.
enum : u32 {
  success = 0,
  status_valid = 0,
  status_new = 1,
  more_data = 0x800007D2u,
  no_data = 0x800007D5u,
  status_no_instance = 0x800007D1u,
  status_invalid = 0xC0000BBAu,
  status_no_object = 0xC0000BB8u,
  invalid_handle = 0xC0000BBCu,
};

// A query handle, 0 on failure.
u64 open_query(sysinfo::Reader* reader);
// Adds a counter by its English path; 0 when the path is not known here (that counter then always fails).
u64 add_counter(u64 query, mem::Bytes path);
u32 collect(u64 query);
// Closes the query and its counters; nothing for 0.
void close_query(u64 query);

// A formatted array into buffer: success with *bytes and *count, or more_data with *bytes = the size needed.
u32 array(u64 counter, u32 format, mem::Slice buffer, u32* bytes, u32* count);
// The raw array (48-byte items), as array. Energy items hold the energy in picowatt-hours as their first value and,
// as their second, the value at which that counter wraps back to 0 (same unit); 0 where the system gives none.
u32 raw_array(u64 counter, mem::Slice buffer, u32* bytes, u32* count);
// A single formatted value (the first instance): answer success, the item status and the value.
u32 value(u64 counter, u32 format, u32* status, i64* out);

}  // namespace pdh
