#pragma once
// Builders of the raw hardware record for the hardware tests: topology records, processor power records, an SMBIOS
// table, storage descriptors and an adapter chain whose pointers are addresses relative to a fixed fake base, laid
// out as the system writes them.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sampling/collect.h"
#include "sampling/hw.h"

namespace hwbuild {

constexpr u64 base_address = 0x10000;

inline void put16(u8* at, u32 v) { std::memcpy(at, &v, 2); }
inline void put32(u8* at, u32 v) { std::memcpy(at, &v, 4); }
inline void put64(u8* at, u64 v) { std::memcpy(at, &v, 8); }

inline void utf16(u16* out, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<u8>(text[i]);
}

// The raw record in a heap block of exactly its size, so a read past it fails under the sanitizers.
struct Raw {
  std::unique_ptr<collect::HardwareRaw> raw{new collect::HardwareRaw{}};
  collect::HardwareRaw* operator->() { return raw.get(); }
  const collect::HardwareRaw* get() const { return raw.get(); }

  // Topology records of 48 bytes.
  u8* record(u32 relation) {
    u8* r = raw->topology + raw->topology_bytes;
    put32(r, relation);
    put32(r + 4, 48);
    raw->topology_bytes += 48;
    raw->flags |= 1;
    return r;
  }
  void core(u64 mask) {
    u8* r = record(hw::at::lpi_core);
    put16(r + hw::at::lpi_group_count, 1);
    put64(r + hw::at::lpi_groups, mask);
  }
  void package() { record(hw::at::lpi_package); }
  // Cores of two threads each, every one with a data cache, a 32 KiB instruction cache and its own L2.
  void cores(u32 n, u32 l1_data, u32 l2) {
    for (u32 c = 0; c < n; ++c) {
      core(3ull << (2 * c));
      cache(1, l1_data);
      cache(1, 32 * 1024);
      cache(2, l2);
    }
  }
  void cache(u8 level, u32 bytes) {
    u8* r = record(hw::at::lpi_cache);
    r[hw::at::lpi_level] = level;
    put32(r + hw::at::lpi_cache_size, bytes);
  }
  void power(u32 records, u32 max_mhz) {
    for (u32 i = 0; i < records; ++i) put32(raw->power + 24 * i + 4, max_mhz);
    raw->flags |= 2;
  }
  void identity(const std::string& vendor, const std::string& identifier) {
    utf16(raw->vendor, vendor);
    utf16(raw->identifier, identifier);
  }
  void drive(u32 i, u32 bus, const std::string& vendor, const std::string& product, int seek_penalty) {
    u8* d = raw->drives[i];
    put32(d + 4, 4096);
    put32(d + hw::at::disk_bus, bus);
    if (!vendor.empty()) {
      put32(d + hw::at::disk_vendor, 64);
      std::memcpy(d + 64, vendor.data(), vendor.size());
    }
    if (!product.empty()) {
      put32(d + hw::at::disk_product, 128);
      std::memcpy(d + 128, product.data(), product.size());
    }
    raw->drive_read |= 1ull << i;
    if (seek_penalty >= 0) raw->seek_answered |= 1ull << i;
    if (seek_penalty > 0) raw->seek_penalty |= 1ull << i;
  }
  void smbios(const std::vector<u8>& table) {
    std::memcpy(raw->smbios, table.data(), table.size());
    raw->smbios_bytes = static_cast<u32>(table.size());
    raw->flags |= 4;
  }
  void adapters(const std::vector<u8>& chain) {
    std::memcpy(raw->adapters, chain.data(), chain.size());
    raw->adapter_bytes = static_cast<u32>(chain.size());
    raw->adapter_base = base_address;
    raw->flags |= 16;
  }
};

// Processor feature numbers of the system.
inline u64 feature_numbers(std::initializer_list<u32> numbers) {
  u64 mask = 0;
  for (u32 n : numbers) mask |= 1ull << n;
  return mask;
}

// An SMBIOS table: the 8-byte header, then structures with their strings.
struct Smbios {
  std::vector<u8> bytes = std::vector<u8>(8, 0);

  struct Device {
    u16 size = 0;
    u32 extended_size = 0;
    u8 form = 0;
    u8 type = 0;
    u16 speed = 0;
    u16 configured = 0;
    u32 extended_speed = 0;
    u32 extended_configured = 0;
    u8 length = 92;
  };

  void structure(u8 type, const std::vector<u8>& formatted, const std::vector<std::string>& strings) {
    u64 at = bytes.size();
    bytes.insert(bytes.end(), formatted.begin(), formatted.end());
    bytes[at] = type;
    bytes[at + 1] = static_cast<u8>(formatted.size());
    for (const std::string& s : strings) {
      bytes.insert(bytes.end(), s.begin(), s.end());
      bytes.push_back(0);
    }
    if (strings.empty()) bytes.push_back(0);
    bytes.push_back(0);
    put32(bytes.data() + 4, static_cast<u32>(bytes.size() - 8));
  }
  void device(const Device& d) {
    std::vector<u8> f(92, 0);
    put16(f.data() + hw::at::dev_size, d.size);
    f[hw::at::dev_form] = d.form;
    f[hw::at::dev_type] = d.type;
    put16(f.data() + hw::at::dev_speed, d.speed);
    put32(f.data() + hw::at::dev_extended_size, d.extended_size);
    put16(f.data() + hw::at::dev_configured, d.configured);
    put32(f.data() + hw::at::dev_extended_speed, d.extended_speed);
    put32(f.data() + hw::at::dev_extended_configured, d.extended_configured);
    f.resize(d.length);
    structure(17, f, {"DIMM 0", "Maker"});
  }
  void other(u8 type) { structure(type, std::vector<u8>(24, 0x11), {"Firmware 1.0"}); }
  void end() { structure(127, std::vector<u8>(4, 0), {}); }
};

// An adapter chain: nodes of 232 bytes each followed by their strings, unicast entries and socket addresses.
struct Chain {
  std::vector<u8> bytes;
  u64 last = 0;
  bool any = false;

  struct Adapter {
    u64 luid = 0;
    std::vector<u8> mac;
    u32 type = 6;
    std::string description;
    std::string suffix;
    std::vector<u32> ipv4;
    std::vector<std::vector<u8>> ipv6;
  };

  u64 grow(u64 n) {
    u64 at = (bytes.size() + 7) / 8 * 8;
    bytes.resize(at + n, 0);
    return at;
  }
  u64 text(const std::string& s) {
    u64 at = grow(2 * s.size() + 2);
    for (size_t i = 0; i < s.size(); ++i) bytes[at + 2 * i] = static_cast<u8>(s[i]);
    return base_address + at;
  }
  // A unicast entry for a socket address at the given offset, linked behind the previous one.
  u64 entry(u64* previous, u64 sockaddr, u32 length) {
    u64 e = grow(48);
    put64(&bytes[e + hw::at::uni_address], base_address + sockaddr);
    put32(&bytes[e + hw::at::uni_length], length);
    put64(&bytes[*previous], base_address + e);
    *previous = e + hw::at::uni_next;
    return e;
  }

  u64 add(const Adapter& a) {
    u64 node = grow(hw::at::node_bytes);
    if (any) put64(&bytes[last + hw::at::node_next], base_address + node);
    last = node;
    any = true;
    put64(&bytes[node + hw::at::node_luid], a.luid);
    if (!a.mac.empty()) std::memcpy(&bytes[node + hw::at::node_mac], a.mac.data(), a.mac.size());
    put32(&bytes[node + hw::at::node_mac_length], static_cast<u32>(a.mac.size()));
    put32(&bytes[node + hw::at::node_type], a.type);
    if (!a.description.empty()) put64(&bytes[node + hw::at::node_description], text(a.description));
    if (!a.suffix.empty()) put64(&bytes[node + hw::at::node_dns_suffix], text(a.suffix));
    u64 link = node + hw::at::node_unicast;
    for (u32 v4 : a.ipv4) {
      u64 sa = grow(16);
      put16(&bytes[sa], hw::at::family_ipv4);
      for (u32 k = 0; k < 4; ++k) bytes[sa + 4 + k] = static_cast<u8>(v4 >> (24 - 8 * k));
      entry(&link, sa, 16);
    }
    for (const std::vector<u8>& v6 : a.ipv6) {
      u64 sa = grow(28);
      put16(&bytes[sa], hw::at::family_ipv6);
      std::memcpy(&bytes[sa + 8], v6.data(), 16);
      entry(&link, sa, 28);
    }
    return node;
  }
};

}  // namespace hwbuild
