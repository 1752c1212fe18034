#pragma once
// Builders of the system's answer records for the sampling tests and benchmarks: a process chain and counter
// arrays laid out exactly as a producer writes them, with addresses relative to a fixed fake base.
#include <cstring>
#include <string>
#include <vector>

#include "platform/sysrec.h"

namespace build {

constexpr u64 base_address = 0x10000;

struct Proc {
  u32 pid = 0;
  u32 parent = 0;
  u64 create_time = 0;
  u64 user_time = 0;
  u64 kernel_time = 0;
  u32 threads = 1;
  u32 handles = 0;
  u64 working_set = 0;
  u64 private_bytes = 0;
  u64 read_bytes = 0;
  u64 write_bytes = 0;
  std::string name;
};

inline void put16(std::vector<u8>& b, u64 at, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    b[at + 2 * i] = static_cast<u8>(text[i]);
    b[at + 2 * i + 1] = 0;
  }
}

// Entries with `thread_records` thread records each (left zero), the name after them, each entry padded to 8.
struct Chain {
  std::vector<u8> bytes;
  u64 last = 0;
  bool any = false;

  void add(const Proc& p, u32 thread_records = 0) {
    u64 at = bytes.size();
    u64 name_at = at + sizeof(sysrec::ProcEntry) + thread_records * sysrec::thread_entry_bytes;
    u64 end = (name_at + 2 * p.name.size() + 2 + 7) / 8 * 8;
    bytes.resize(end, 0);
    sysrec::ProcEntry e{};
    e.threads = p.threads;
    e.create_time = p.create_time;
    e.user_time = p.user_time;
    e.kernel_time = p.kernel_time;
    e.name_length = static_cast<u16>(2 * p.name.size());
    e.name_capacity = static_cast<u16>(e.name_length + 2);
    e.name_address = p.name.empty() ? 0 : base_address + name_at;
    e.pid = p.pid;
    e.parent_pid = p.parent;
    e.handles = p.handles;
    e.working_set = p.working_set;
    e.private_bytes = p.private_bytes;
    e.read_bytes = p.read_bytes;
    e.write_bytes = p.write_bytes;
    std::memcpy(bytes.data() + at, &e, sizeof e);
    put16(bytes, name_at, p.name);
    if (any) {
      u32 next = static_cast<u32>(at - last);
      std::memcpy(bytes.data() + last, &next, 4);
    }
    last = at;
    any = true;
  }
  mem::Bytes view() const { return mem::Bytes(bytes.data(), bytes.size()); }
};

struct Item {
  std::string name;
  u32 status = sysrec::counter_valid;
  i64 value = 0;       // formatted value, or the raw first value
  u64 stamp = 0;       // raw items only
  bool name_outside = false;  // point the name outside the array
  i64 second = 0;             // raw items only
};

// A counter array of formatted (24-byte) or raw (48-byte) items followed by their UTF-16 names.
inline std::vector<u8> counter_array(const std::vector<Item>& items, bool raw) {
  u64 size = raw ? sizeof(sysrec::RawItem) : sizeof(sysrec::FmtItem);
  u64 names = items.size() * size, total = names;
  for (const Item& it : items) total += 2 * it.name.size() + 2;
  std::vector<u8> b(total, 0);
  for (size_t k = 0; k < items.size(); ++k) {
    const Item& it = items[k];
    u64 name_address = it.name_outside ? base_address + total + 64 : base_address + names;
    if (raw) {
      sysrec::RawItem r{};
      r.name_address = name_address;
      r.status = it.status;
      r.stamp_low = static_cast<u32>(it.stamp);
      r.stamp_high = static_cast<u32>(it.stamp >> 32);
      r.first = it.value;
      r.second = it.second;
      std::memcpy(b.data() + k * size, &r, size);
    } else {
      sysrec::FmtItem f{};
      f.name_address = name_address;
      f.status = it.status;
      f.value = it.value;
      std::memcpy(b.data() + k * size, &f, size);
    }
    put16(b, names, it.name);
    names += 2 * it.name.size() + 2;
  }
  return b;
}

inline mem::Bytes view(const std::vector<u8>& b) { return mem::Bytes(b.data(), b.size()); }

}  // namespace build
