// System information from the NT information classes and the memory queries, written straight into the caller's
// buffers: the records of platform/sysrec.h are the system's own layouts.
#include "platform/sysinfo.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include "platform/windows/reader.h"

namespace winreg {

u32 processor_value(const wchar_t* name, DWORD type_flags, void* out, u32 bytes) {
  DWORD size = bytes;
  LSTATUS r = RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", name, type_flags,
                           nullptr, out, &size);
  return r == ERROR_SUCCESS ? size : 0;
}

}  // namespace winreg

namespace sysinfo {
namespace {

enum : u32 { class_processes = 5, class_processor_times = 8, class_time_of_day = 3 };

u32 query(u32 info_class, void* buffer, u32 length, u32* returned) {
  ULONG got = 0;
  NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(info_class), buffer, length, &got);
  if (returned) *returned = got;
  return static_cast<u32>(status);
}

}  // namespace

Reader* open(mem::Bytes root) {
  if (!(root.len == 1 && root.ptr[0] == '/')) return nullptr;
  Reader* r = static_cast<Reader*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Reader)));
  return r;
}

void close(Reader* reader) {
  if (reader) HeapFree(GetProcessHeap(), 0, reader);
}

void begin_sample(Reader*) {}

u64 boot_time(Reader* reader) {
  if (!reader) return 0;
  alignas(8) u8 record[48] = {};
  if (query(class_time_of_day, record, sizeof record, nullptr) != 0) return 0;
  u64 boot = 0;
  __builtin_memcpy(&boot, record, 8);
  return boot;
}

u32 processor_count(Reader* reader) { return reader ? GetActiveProcessorCount(ALL_PROCESSOR_GROUPS) : 0; }

u32 cpu_name(Reader* reader, u16* out, u32 units) {
  if (!reader || units == 0) return 0;
  out[0] = 0;
  u32 bytes = winreg::processor_value(L"ProcessorNameString", RRF_RT_REG_SZ, out, units * 2);
  if (bytes < 2) return 0;
  u32 n = 0;
  while (n < units && out[n]) ++n;
  if (n == units) return 0;
  return (n + 1) * 2;
}

u32 cpu_times(Reader* reader, mem::Slice out) {
  if (!reader || out.len < sizeof(sysrec::CpuEntry)) return 0;
  u32 length = static_cast<u32>(out.len / sizeof(sysrec::CpuEntry) * sizeof(sysrec::CpuEntry)), returned = 0;
  if (query(class_processor_times, out.ptr, length, &returned) != 0) return 0;
  return returned;
}

u32 memory(Reader* reader, sysrec::MemoryStatus* status, sysrec::PerfInfo* performance) {
  if (!reader) return 0;
  static_assert(sizeof(MEMORYSTATUSEX) == sizeof(sysrec::MemoryStatus));
  static_assert(sizeof(PERFORMANCE_INFORMATION) == sizeof(sysrec::PerfInfo));
  u32 answer = 0;
  MEMORYSTATUSEX m{};
  m.dwLength = sizeof m;
  if (GlobalMemoryStatusEx(&m)) {
    __builtin_memcpy(status, &m, sizeof m);
    answer |= memory_status_ok;
  }
  PERFORMANCE_INFORMATION p{};
  p.cb = sizeof p;
  if (GetPerformanceInfo(&p, sizeof p)) {
    __builtin_memcpy(performance, &p, sizeof p);
    answer |= performance_ok;
  }
  return answer;
}

// The chain with every entry starting 8-aligned, as the decoders require and Windows gives it: the system writes it
// into the caller's buffer, where it stays. A system that packs its entries tighter (wine does) gets them moved
// apart through a copy of what it wrote. Each entry keeps its head, its thread records and its name, whose address
// points into the caller's buffer.
namespace {

constexpr u64 head_bytes = sizeof(sysrec::ProcEntry);

u64 align8(u64 n) { return (n + 7) & ~u64{7}; }

// The chain of len bytes already has that layout: every entry 8-aligned, its threads and its name inside the chain.
bool in_layout(const u8* chain, u64 len) {
  if (reinterpret_cast<u64>(chain) % 8 != 0) return false;
  for (u64 from = 0;;) {
    if (from % 8 != 0 || from + head_bytes > len) return false;
    sysrec::ProcEntry head;
    __builtin_memcpy(&head, chain + from, head_bytes);
    if (from + head_bytes + static_cast<u64>(head.threads) * sysrec::thread_entry_bytes > len) return false;
    const u64 name_at = head.name_address - reinterpret_cast<u64>(chain);
    if (head.name_address != 0 && (name_at >= len || name_at + head.name_length > len)) return false;
    if (head.next == 0) return true;
    from += head.next;
  }
}

// Copies the chain in scratch (len bytes whose names were written for the address base) into out; the bytes it
// needs, whether or not they fit.
u64 repack(const u8* scratch, u64 base, u64 len, mem::Slice out) {
  u64 from = 0, to = 0, last = ~u64{0};
  for (;;) {
    if (from + head_bytes > len) break;
    sysrec::ProcEntry head;
    __builtin_memcpy(&head, scratch + from, head_bytes);
    u64 threads = static_cast<u64>(head.threads) * sysrec::thread_entry_bytes;
    u64 name_at = head.name_address - base;
    bool has_name = head.name_address != 0 && name_at < len && name_at + head.name_length <= len;
    if (from + head_bytes + threads > len) threads = 0;
    u64 body = head_bytes + threads, name_to = to + body;
    u64 size = align8(body + (has_name ? head.name_length + 2u : 0u));
    if (to + size <= out.len) {
      __builtin_memcpy(out.ptr + to, scratch + from, body);
      sysrec::ProcEntry* placed = reinterpret_cast<sysrec::ProcEntry*>(out.ptr + to);
      placed->name_address = 0;
      if (has_name) {
        __builtin_memcpy(out.ptr + name_to, scratch + name_at, head.name_length);
        out.ptr[name_to + head.name_length] = out.ptr[name_to + head.name_length + 1] = 0;
        placed->name_address = reinterpret_cast<u64>(out.ptr + name_to);
      }
      placed->next = 0;
      if (last != ~u64{0}) reinterpret_cast<sysrec::ProcEntry*>(out.ptr + last)->next = static_cast<u32>(to - last);
    }
    last = to;
    to += size;
    if (head.next == 0) break;
    from += head.next;
  }
  return to;
}

}  // namespace

u32 processes(Reader* reader, mem::Slice buffer, u32* returned) {
  *returned = 0;
  if (!reader) return status_unsuccessful;
  u32 length = buffer.len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<u32>(buffer.len);
  u32 got = 0;
  u32 status = query(class_processes, buffer.ptr, length, &got);
  if (status != 0) {
    // The system's own need, and room for the alignment of every entry.
    *returned = got + got / head_bytes * 8;
    return status == status_length_mismatch ? status_length_mismatch : status;
  }
  if (in_layout(buffer.ptr, got)) {
    *returned = got;
    return status_success;
  }
  u8* scratch = static_cast<u8*>(HeapAlloc(GetProcessHeap(), 0, got ? got : 1));
  if (!scratch) return status_unsuccessful;
  __builtin_memcpy(scratch, buffer.ptr, got);
  const u64 needed = repack(scratch, reinterpret_cast<u64>(buffer.ptr), got, mem::Slice{buffer.ptr, length});
  HeapFree(GetProcessHeap(), 0, scratch);
  *returned = static_cast<u32>(needed > 0xFFFFFFFF ? 0xFFFFFFFF : needed);
  return needed > length ? status_length_mismatch : status_success;
}

i32 thread_priority() { return GetThreadPriority(GetCurrentThread()); }

bool set_thread_priority(i32 priority) { return SetThreadPriority(GetCurrentThread(), priority) != 0; }

}  // namespace sysinfo
