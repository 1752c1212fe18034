#include "sampling/hw.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sampling/collect.h"
#include "tests/sampling/hw_build.h"

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

std::string text_of(const std::function<void(words::Text*)>& put) {
  words::Text line{};
  put(&line);
  return std::string(reinterpret_cast<const char*>(line.bytes), line.len);
}

std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

mem::Bytes bytes_of(const u8* p, u64 n) { return mem::Bytes(p, n); }

struct Decoded {
  hw::Hardware hardware{};
  hw::Adapters adapters{};
};

Decoded decode(const hwbuild::Raw& raw) {
  Decoded d;
  hw::decode(raw.get(), &d.hardware, &d.adapters);
  return d;
}

// Every text a report shows of the decoded records, labelled.
Lines describe(const Decoded& d) {
  const hw::Hardware& h = d.hardware;
  Lines out = {
      {"vendor", str(hw::vendor_text(h.vendor))},
      {"identity", text_of([&](words::Text* t) { hw::family_text(t, &h); })},
      {"L1", text_of([&](words::Text* t) { hw::cache_text(t, h.l1_kib); })},
      {"L2", text_of([&](words::Text* t) { hw::cache_text(t, h.l2_kib); })},
      {"L3", text_of([&](words::Text* t) { hw::cache_text(t, h.l3_kib); })},
      {"features", text_of([&](words::Text* t) { hw::features_line(t, h.features, h.known, 0x0BFF); })},
      {"virtualisation", str(hw::virt_text(hw::virt_state(h.features, h.known)))},
      {"memory", str(hw::mem_text(h.memory.kind)) + " " + str(hw::form_text(h.memory.form))},
      {"speed", text_of([&](words::Text* t) { hw::mts_text(t, h.memory.speed); })},
      {"slots", text_of([&](words::Text* t) { hw::slots_text(t, h.memory.slots_used, h.memory.slots); })},
  };
  for (u32 i = 0; i < 3; ++i) {
    std::string n = "disk " + std::to_string(i);
    u32 media = hw::plane_value(h.media, 2, i), bus = hw::plane_value(h.bus, 3, i);
    out.push_back({n, text_of([&](words::Text* t) { hw::disk_type(t, media, bus); })});
    out.push_back({n + " model", text_of([&](words::Text* t) { hw::known_text(t, bytes_of(h.drive_model[i], 32)); })});
  }
  const hw::Adapters& a = d.adapters;
  for (u32 i = 0; i < a.count; ++i) {
    std::string n = "adapter " + std::to_string(i);
    out.push_back({n, text_of([&](words::Text* t) {
                     hw::known_text(t, bytes_of(a.description[i], 32));
                     words::put(t, mem::lit(" type: "));
                     words::put(t, hw::conn_text(hw::plane_value(a.conn, 2, i)));
                   })});
    out.push_back({n + " mac", text_of([&](words::Text* t) { hw::mac_text(t, a.mac[i]); })});
    out.push_back({n + " ipv4", text_of([&](words::Text* t) {
                     for (u32 k = 0; k < a.ipv4_count[i]; ++k) {
                       if (k) hw::put_char(t, ' ');
                       hw::ipv4_text(t, a.ipv4[i][k]);
                     }
                     if (a.ipv4_count[i] == 0) hw::dash(t);
                   })});
    out.push_back({n + " ipv6", text_of([&](words::Text* t) {
                     for (u32 k = 0; k < a.ipv6_count[i]; ++k) {
                       if (k) hw::put_char(t, ' ');
                       hw::ipv6_text(t, a.ipv6[i][k]);
                     }
                     if (a.ipv6_count[i] == 0) hw::dash(t);
                   })});
    out.push_back({n + " dns", text_of([&](words::Text* t) { hw::known_text(t, bytes_of(a.dns_suffix[i], 32)); })});
  }
  return out;
}

void expect_lines(const Lines& got, const Lines& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_EQ(got[i].second, want[i].second) << want[i].first;
  }
}

std::vector<u8> v6(std::initializer_list<u8> b) { return std::vector<u8>(b); }

// A thin laptop: one package, 4 cores of 2 threads, soldered LPDDR5, one NVMe drive, Wi-Fi and the loopback.
hwbuild::Raw laptop() {
  hwbuild::Raw r;
  r.package();
  r.cores(4, 48 * 1024, 1280 * 1024);
  r.cache(3, 12 * 1024 * 1024);
  r.cache(4, 64 * 1024 * 1024);  // levels past 3 are not shown
  r.power(8, 2700);
  r->mhz = 2688;
  r.identity("GenuineIntel", "Intel64 Family 6 Model 154 Stepping 3");
  r->features = hwbuild::feature_numbers({10, 13, 36, 37, 38, 39, 40, 12, 28, 21, 20});
  r->hypervisor = 1;
  r->flags |= 32;
  hwbuild::Smbios s;
  s.other(0);
  s.device({.size = 8192, .form = 11, .type = 35, .speed = 6400, .configured = 6400});
  s.device({.size = 8192, .form = 11, .type = 35, .speed = 6400, .configured = 6400});
  s.end();
  r.smbios(s.bytes);
  r->compressed = 300ull << 20;
  r->flags |= collect::hw_compression;
  r.drive(0, 17, "", "Samsung SSD 980 PRO 1TB        ", 0);
  hwbuild::Chain c;
  c.add({.luid = 0x0047000001000000,
         .mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
         .type = 71,
         .description = "Intel(R) Wi-Fi 6E AX211 160MHz",
         .suffix = "home.arpa",
         .ipv4 = {0xC0A80117},
         .ipv6 = {v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x1a, 0x2b, 0x3c, 0xff, 0xfe, 0x4d, 0, 0x5e})}});
  c.add({.luid = 0x0018000000000000,
         .type = 24,
         .description = "Loopback Pseudo-Interface 1",
         .ipv4 = {0x7F000001},
         .ipv6 = {v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})}});
  r.adapters(c.bytes);
  return r;
}

// A desktop tower: 8 cores of 2 threads, two of four DIMM slots filled, an NVMe, a SATA disk and a USB stick, and
// two Ethernet ports (its two graphics adapters are the graphics module's, not part of these records).
hwbuild::Raw desktop() {
  hwbuild::Raw r;
  r.package();
  r.cores(8, 32 * 1024, 1024 * 1024);
  r.cache(3, 32 * 1024 * 1024);
  r.cache(3, 32 * 1024 * 1024);
  r.power(16, 0);  // answered without a clock: the registry's stands in
  r->mhz = 4491;
  r.identity("AuthenticAMD", "AMD64 Family 25 Model 97 Stepping 2");
  r->features = hwbuild::feature_numbers({10, 13, 36, 37, 38, 39, 40, 41, 12, 28, 20});
  hwbuild::Smbios s;
  s.other(0);
  s.other(16);
  s.device({.size = 0, .form = 9, .type = 2});
  s.device({.size = 16384, .form = 9, .type = 34, .speed = 5600, .configured = 0});
  s.device({.size = 0, .form = 9, .type = 2});
  s.device({.size = 0x7FFF, .extended_size = 32768, .form = 9, .type = 26, .speed = 4800, .configured = 4800});
  s.end();
  r.smbios(s.bytes);
  r.drive(0, 17, "", "WD_BLACK SN850X 2000GB", 0);
  r.drive(1, 11, "ATA     ", "ST4000DM004-2U9104  ", 1);
  r.drive(2, 7, "Generic ", "Flash\x01" "Disk", -1);
  hwbuild::Chain c;
  c.add({.luid = 0x0006000002000000,
         .mac = {0xD8, 0xBB, 0xC1, 0x00, 0x00, 0x01},
         .description = "Realtek PCIe 2.5GbE Family Controller",
         .suffix = "lan",
         .ipv4 = {0x0A000005, 0x0A0000FE},
         .ipv6 = {v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
                  v6({0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0})}});
  c.add({.luid = 0x0006000003000000,
         .mac = {0x02, 0x42, 0xAC, 0x11, 0x00},  // a 5-byte address keeps the sixth byte zero
         .description = "Docker bridge",
         .ipv4 = {0xAC110001, 0xAC110002, 0xAC110003, 0xAC110004, 0xAC110005}});
  r.adapters(c.bytes);
  return r;
}

TEST(HwDecode, Laptop) {
  hwbuild::Raw raw = laptop();
  Decoded d = decode(raw);
  const hw::Hardware& h = d.hardware;
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.known, 0x7CFFu);
  EXPECT_EQ(h.cores, 4);
  EXPECT_EQ(h.logical, 8);
  EXPECT_EQ(h.sockets, 1);
  EXPECT_EQ(h.base_mhz, 2700);
  EXPECT_EQ(h.family, 6);
  EXPECT_EQ(h.model, 154);
  EXPECT_EQ(h.stepping, 3);
  EXPECT_EQ(h.memory.installed_mib, 16384u);
  EXPECT_EQ(h.memory.compressed_mib, 300u);
  EXPECT_EQ(h.drive_mask, 1u);
  EXPECT_EQ(d.adapters.count, 2u);
  EXPECT_EQ(d.adapters.flags, 0u);
  EXPECT_EQ(d.adapters.id[0], 0x0047000001000000u);
  EXPECT_EQ(hw::adapter_of(&d.adapters, 0x0018000000000000), 1u);
  EXPECT_EQ(hw::adapter_of(&d.adapters, 0x0018000000000001), hw::no_adapter);
  expect_lines(describe(d), {
                                {"vendor", "Intel"},
                                {"identity", "family 6 model 154 stepping 3"},
                                {"L1", "320 KB"},
                                {"L2", "5.0 MB"},
                                {"L3", "12.0 MB"},
                                {"features", "SSE2 SSE3 SSSE3 SSE4.1 SSE4.2 AVX AVX2 RDRAND, AES/SHA unknown"},
                                {"virtualisation", "Enabled"},
                                {"memory", "LPDDR5 Other"},
                                {"speed", "6400 MT/s"},
                                {"slots", "2 of 2"},
                                {"disk 0", "SSD (NVMe)"},
                                {"disk 0 model", "Samsung SSD 980 PRO 1TB"},
                                {"disk 1", "-"},
                                {"disk 1 model", "-"},
                                {"disk 2", "-"},
                                {"disk 2 model", "-"},
                                {"adapter 0", "Intel Wi-Fi 6E AX211 160MHz type: Wi-Fi"},
                                {"adapter 0 mac", "00-1A-2B-3C-4D-5E"},
                                {"adapter 0 ipv4", "192.168.1.23"},
                                {"adapter 0 ipv6", "fe80::1a2b:3cff:fe4d:5e"},
                                {"adapter 0 dns", "home.arpa"},
                                {"adapter 1", "Loopback Pseudo-Interface 1 type: Other"},
                                {"adapter 1 mac", "-"},
                                {"adapter 1 ipv4", "127.0.0.1"},
                                {"adapter 1 ipv6", "::1"},
                                {"adapter 1 dns", "-"},
                            });
}

TEST(HwDecode, Desktop) {
  hwbuild::Raw raw = desktop();
  Decoded d = decode(raw);
  const hw::Hardware& h = d.hardware;
  EXPECT_EQ(h.status, hw::compressed_missing);
  EXPECT_EQ(h.cores, 8);
  EXPECT_EQ(h.logical, 16);
  EXPECT_EQ(h.base_mhz, 4491);
  EXPECT_EQ(h.memory.installed_mib, 49152u);
  EXPECT_EQ(h.memory.compressed_mib, 0u);
  EXPECT_EQ(h.memory.speed, 5600u);  // the first module falls back to its speed
  EXPECT_EQ(h.drive_mask, 7u);
  EXPECT_EQ(d.adapters.mac[1], 0x0242AC110000u);
  EXPECT_EQ(d.adapters.ipv4_count[1], 4);  // the fifth address is not kept
  expect_lines(describe(d), {
                                {"vendor", "AMD"},
                                {"identity", "family 25 model 97 stepping 2"},
                                {"L1", "512 KB"},
                                {"L2", "8.0 MB"},
                                {"L3", "64.0 MB"},
                                {"features", "SSE2 SSE3 SSSE3 SSE4.1 SSE4.2 AVX AVX2 AVX-512 RDRAND, AES/SHA unknown"},
                                {"virtualisation", "Disabled"},
                                {"memory", "DDR5 DIMM"},
                                {"speed", "5600 MT/s"},
                                {"slots", "2 of 4"},
                                {"disk 0", "SSD (NVMe)"},
                                {"disk 0 model", "WD_BLACK SN850X 2000GB"},
                                {"disk 1", "HDD (SATA)"},
                                {"disk 1 model", "ATA ST4000DM004-2U9104"},
                                {"disk 2", "USB"},
                                {"disk 2 model", "Generic Flash?Disk"},
                                {"adapter 0", "Realtek PCIe 2.5GbE Family Contr type: Ethernet"},
                                {"adapter 0 mac", "D8-BB-C1-00-00-01"},
                                {"adapter 0 ipv4", "10.0.0.5 10.0.0.254"},
                                {"adapter 0 ipv6", "2001:db8::1 1:0:2::3:0"},
                                {"adapter 0 dns", "lan"},
                                {"adapter 1", "Docker bridge type: Ethernet"},
                                {"adapter 1 mac", "02-42-AC-11-00-00"},
                                {"adapter 1 ipv4", "172.17.0.1 172.17.0.2 172.17.0.3 172.17.0.4"},
                                {"adapter 1 ipv6", "-"},
                                {"adapter 1 dns", "-"},
                            });
}

TEST(HwDecode, NothingReadLeavesZerosAndMissingBits) {
  hwbuild::Raw raw;
  hw::Hardware h;
  hw::Adapters a;
  std::memset(&h, 0xAB, sizeof h);  // left over from an earlier decode
  std::memset(&a, 0xAB, sizeof a);
  std::memcpy(h.host, "box", 4);
  hw::decode(raw.get(), &h, &a);
  EXPECT_EQ(h.status, 0x0Fu);
  EXPECT_EQ(a.flags, hw::adapters_missing);
  EXPECT_EQ(a.count, 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(h.host), "box");  // the owner's texts stay
  hw::Hardware zero{};
  zero.known = hw::features_known;
  zero.status = 0x0F;
  EXPECT_EQ(std::memcmp(&h, &zero, offsetof(hw::Hardware, host)), 0);
  expect_lines(describe(Decoded{h, a}), {
                                            {"vendor", "-"},
                                            {"identity", "-"},
                                            {"L1", "-"},
                                            {"L2", "-"},
                                            {"L3", "-"},
                                            {"features", "none, AES/SHA unknown"},
                                            {"virtualisation", "Disabled"},
                                            {"memory", "- -"},
                                            {"speed", "-"},
                                            {"slots", "-"},
                                            {"disk 0", "-"},
                                            {"disk 0 model", "-"},
                                            {"disk 1", "-"},
                                            {"disk 1 model", "-"},
                                            {"disk 2", "-"},
                                            {"disk 2 model", "-"},
                                        });
  // Buffers full of bytes that were never flagged as read are not decoded.
  std::memset(raw->topology, 0x08, sizeof raw->topology);
  std::memset(raw->smbios, 0x11, sizeof raw->smbios);
  raw->topology_bytes = raw->smbios_bytes = 4096;
  hw::decode(raw.get(), &h, &a);
  EXPECT_EQ(h.cores, 0);
  EXPECT_EQ(h.memory.slots, 0);
  EXPECT_EQ(h.status, 0x0Fu);
}

// ---- SMBIOS memory devices.

TEST(HwDecode, MemoryDeviceSizesAndSpeeds) {
  struct Case {
    const char* what;
    hwbuild::Smbios::Device device;
    u16 used;
    u32 mib, speed;
  };
  const Case cases[] = {
      {"extended size", {.size = 0x7FFF, .extended_size = 0x80008000, .speed = 3200}, 1, 32768, 3200},
      {"KiB bit", {.size = 0x8000 | 1024}, 1, 1, 0},
      {"unknown size", {.size = 0xFFFF, .configured = 2133}, 1, 0, 2133},
      {"extended configured", {.size = 4096, .speed = 1, .configured = 0xFFFF, .extended_configured = 8000}, 1,
       4096, 8000},
      {"extended speed", {.size = 4096, .speed = 0xFFFF, .extended_speed = 7200}, 1, 4096, 7200},
      // An older, shorter structure: the speed fields past its formatted length read as 0.
      {"short structure", {.size = 2048, .speed = 1600, .configured = 1333, .length = 28}, 1, 2048, 1600},
      {"too short for a size", {.size = 2048, .length = 12}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    hwbuild::Smbios s;
    s.device(c.device);
    hw::Memory m;
    EXPECT_FALSE(hw::smbios_decode(mem::Bytes(s.bytes.data(), s.bytes.size()), &m));
    EXPECT_EQ(m.slots, 1) << c.what;
    EXPECT_EQ(m.slots_used, c.used) << c.what;
    EXPECT_EQ(m.installed_mib, c.mib) << c.what;
    EXPECT_EQ(m.speed, c.speed) << c.what;
  }
  // Kind and form come from the first used slot only.
  EXPECT_EQ(hw::mem_kind(24), hw::mem_ddr3);
  EXPECT_EQ(hw::mem_kind(29), hw::mem_lpddr3);
  EXPECT_EQ(hw::mem_kind(30), hw::mem_lpddr4);
  EXPECT_EQ(hw::mem_kind(2), hw::mem_unknown);
  EXPECT_EQ(hw::mem_kind(27), hw::mem_other);
  EXPECT_EQ(hw::form_of(13), hw::form_sodimm);
  EXPECT_EQ(hw::form_of(2), hw::form_unknown);
}

TEST(HwDecode, SmbiosWalkStopsOnBadStructures) {
  hwbuild::Smbios s;
  s.device({.size = 1024});
  s.device({.size = 1024});
  u64 second = 8 + 92 + 14;  // after the first device and its strings
  ASSERT_EQ(s.bytes[second], 17);
  auto memory_of = [](const std::vector<u8>& b, u64 len) {
    hw::Memory m;
    hw::smbios_decode(mem::Bytes(b.data(), len), &m);
    return m;
  };
  EXPECT_EQ(memory_of(s.bytes, s.bytes.size()).slots, 2);
  EXPECT_EQ(memory_of(s.bytes, 7).slots, 0);
  EXPECT_EQ(memory_of(s.bytes, second + 20).slots, 1);  // the second runs past the buffer

  std::vector<u8> b = s.bytes;
  hwbuild::put32(b.data() + 4, static_cast<u32>(second - 8 + 50));  // the table ends inside the second
  EXPECT_EQ(memory_of(b, b.size()).slots, 1);
  b = s.bytes;
  b[second + 1] = 3;  // a length below the header's
  EXPECT_EQ(memory_of(b, b.size()).slots, 1);
  b = s.bytes;
  b[second] = 127;  // the end of the table
  EXPECT_EQ(memory_of(b, b.size()).slots, 1);
  b = s.bytes;
  b.resize(second + 92);  // no double zero after the last: it ends at the table's end
  hwbuild::put32(b.data() + 4, static_cast<u32>(b.size() - 8));
  EXPECT_EQ(memory_of(b, b.size()).slots, 2);

  // Sizes beyond 32 bits of MiB saturate.
  hwbuild::Smbios big;
  for (int i = 0; i < 3; ++i) big.device({.size = 0x7FFF, .extended_size = 0x7FFFFFFF});
  hw::Memory m;
  EXPECT_TRUE(hw::smbios_decode(mem::Bytes(big.bytes.data(), big.bytes.size()), &m));
  EXPECT_EQ(m.installed_mib, 0xFFFFFFFFu);
}

// ---- Processor.

TEST(HwDecode, TopologyWalkAndSaturation) {
  hwbuild::Raw r;
  r.core(0xFF);
  r.cache(2, 0x100000);
  r.package();
  hw::Hardware h{};
  EXPECT_FALSE(hw::lpi_decode(mem::Bytes(r->topology, r->topology_bytes), &h));
  EXPECT_EQ(h.logical, 8);
  EXPECT_EQ(h.l2_kib, 1024u);
  EXPECT_EQ(h.sockets, 1);
  // A record cut by the buffer, or one claiming fewer than 8 bytes, ends the walk; what came before stays.
  h = {};
  hw::lpi_decode(mem::Bytes(r->topology, 48 + 40), &h);
  EXPECT_EQ(h.cores, 1);
  EXPECT_EQ(h.l2_kib, 0u);
  hwbuild::put32(r->topology + 48 + 4, 7);
  h = {};
  hw::lpi_decode(mem::Bytes(r->topology, r->topology_bytes), &h);
  EXPECT_EQ(h.sockets, 0);

  // A group count larger than the record holds is capped; more than 65,535 threads saturate.
  hwbuild::Raw wide;
  u8* rec = wide->topology;
  u32 groups = 1100;
  hwbuild::put32(rec + 4, 32 + 16 * groups);
  hwbuild::put16(rec + 30, 0xFFFF);
  for (u32 g = 0; g < groups; ++g) hwbuild::put64(rec + 32 + 16 * g, ~0ull);
  h = {};
  EXPECT_TRUE(hw::lpi_decode(mem::Bytes(rec, 32 + 16 * groups), &h));
  EXPECT_EQ(h.logical, 0xFFFF);
  // Cache totals above 2^42 - 1 bytes saturate.
  hwbuild::Raw caches;
  for (int i = 0; i < 1025; ++i) caches.cache(3, 0xFFFFFFFF);
  h = {};
  EXPECT_TRUE(hw::lpi_decode(mem::Bytes(caches->topology, caches->topology_bytes), &h));
  EXPECT_EQ(h.l3_kib, 0xFFFFFFFFu);
  hwbuild::Raw sockets;
  for (int i = 0; i < 256; ++i) sockets.package();
  h = {};
  EXPECT_TRUE(hw::lpi_decode(mem::Bytes(sockets->topology, sockets->topology_bytes), &h));
  EXPECT_EQ(h.sockets, 255);
}

TEST(HwDecode, ProcessorIdentity) {
  struct Case {
    const char* identifier;
    u32 family, model, stepping;
    bool over;
  };
  const Case cases[] = {
      {"AMD64 Family 25 Model 97 Stepping 2", 25, 97, 2, false},
      {"Intel64 Family 6 Model 154", 6, 154, 0, false},
      {"Family x Model 7 Stepping 99999999999", 0, 7, 255, true},
      {"Family 70000 Model 300 Stepping 1", 0xFFFF, 255, 1, true},
      {"ARMv8 (64-bit) Family8 Model D4B", 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    hwbuild::Raw r;
    r.identity("", c.identifier);
    hw::Hardware h{};
    EXPECT_EQ(hw::cpu_decode(r.get(), &h), c.over) << c.identifier;
    EXPECT_EQ(h.family, c.family) << c.identifier;
    EXPECT_EQ(h.model, c.model) << c.identifier;
    EXPECT_EQ(h.stepping, c.stepping) << c.identifier;
    EXPECT_EQ(h.vendor, hw::vendor_none);
  }
  EXPECT_EQ(hw::number_after(mem::lit("Stepping 99999999999"), mem::lit("Stepping ")), 999999999u);
  EXPECT_EQ(hw::vendor_of(mem::lit("CentaurHauls")), hw::vendor_other);
  EXPECT_EQ(hw::vendor_of(mem::lit("GenuineIntel")), hw::vendor_intel);

  // Base speed: the power records' maximum over all 256, else the registry's.
  hwbuild::Raw r;
  r.power(1, 0);
  hwbuild::put32(r->power + 24 * 255 + 4, 3100);
  r->mhz = 2900;
  hw::Hardware h{};
  EXPECT_FALSE(hw::cpu_decode(r.get(), &h));
  EXPECT_EQ(h.base_mhz, 3100);
  r->flags &= ~2u;
  hw::cpu_decode(r.get(), &h);
  EXPECT_EQ(h.base_mhz, 2900);
  r->mhz = 70000;
  EXPECT_TRUE(hw::cpu_decode(r.get(), &h));
  EXPECT_EQ(h.base_mhz, 0xFFFF);

  // AES and SHA are never present nor known; the hypervisor bit follows the raw flag alone.
  u32 all = hw::features_of(~0ull, 0);
  EXPECT_EQ(all, 0x3CFFu);
  EXPECT_EQ(hw::features_of(0, 1), 1u << hw::f_hypervisor);
}

TEST(HwDecode, CurrentSpeed) {
  struct Case {
    u32 base;
    u64 performance;
    u16 mhz;
    bool over;
  };
  const Case cases[] = {
      {3000, 100000, 3000, false}, {3000, 123456, 3703, false},   {3000, 0, 0, false},
      {60000, 200000, 0xFFFF, true}, {0xFFFFFFFF, ~0ull, 0xFFFF, true}, {2000, 1ull << 40, 0xFFFF, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hw::speed_mhz(c.base, c.performance), c.mhz) << c.base << " " << c.performance;
    EXPECT_EQ(hw::speed_over(c.base, c.performance), c.over) << c.base << " " << c.performance;
  }
}

// ---- Drives and bit slices.

TEST(HwDecode, DriveModelsAndKinds) {
  struct Case {
    std::string vendor, product, model;
  };
  const Case cases[] = {
      {"", "  Samsung SSD  ", "Samsung SSD"},
      {"ATA", "", "ATA"},
      {"   ", "   ", ""},
      {"VeryLongVendorName", "AndAnEvenLongerProductName", "VeryLongVendorName AndAnEvenLong"},
      {"Caf\xe9", "X\ty", "Caf? X?y"},
  };
  for (const Case& c : cases) {
    hwbuild::Raw r;
    r.drive(0, 17, c.vendor, c.product, 0);
    u8 out[32];
    hw::storage_model(mem::Bytes(r->drives[0], 4096), out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), strnlen(reinterpret_cast<char*>(out), 32)), c.model);
  }
  // Offsets past the descriptor add nothing; a text running to the descriptor's end stops there.
  hwbuild::Raw r;
  hwbuild::put32(r->drives[0] + hw::at::disk_vendor, 4096);
  hwbuild::put32(r->drives[0] + hw::at::disk_product, 4094);
  r->drives[0][4094] = 'A';
  r->drives[0][4095] = 'B';
  u8 out[32];
  hw::storage_model(mem::Bytes(r->drives[0], 4096), out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "AB");
  hw::storage_model(mem::Bytes(r->drives[0], 31), out);
  EXPECT_EQ(out[0], 0);

  struct Bus {
    u32 type;
    u8 bus;
  };
  for (Bus b : {Bus{0, hw::bus_unknown}, Bus{17, hw::bus_nvme}, Bus{11, hw::bus_sata}, Bus{10, hw::bus_sas},
                Bus{7, hw::bus_usb}, Bus{1, hw::bus_scsi}, Bus{8, hw::bus_raid}, Bus{3, hw::bus_other}}) {
    EXPECT_EQ(hw::bus_of(b.type), b.bus) << b.type;
  }
  // Drives past 15 and bits of unread drives are not described.
  hwbuild::Raw many;
  many->drive_read = ~0ull;
  many->seek_answered = 0;
  hw::Hardware h{};
  hw::disks_decode(many.get(), &h);
  EXPECT_EQ(h.drive_mask, 0xFFFFu);
  EXPECT_EQ(h.media[0] | h.media[1], 0u);
}

TEST(HwDecode, BitSlices) {
  u64 w[3] = {};
  for (u32 i = 0; i < 64; ++i) hw::plane_set(w, 3, i, i % 8);
  for (u32 i = 0; i < 64; ++i) EXPECT_EQ(hw::plane_value(w, 3, i), i % 8);
  EXPECT_EQ(hw::plane_value(w, 2, 7), 3u);  // missing words read as 0
  hw::plane_set(w, 3, 7, 0);
  EXPECT_EQ(hw::plane_value(w, 3, 7), 0u);
  EXPECT_EQ(hw::plane_value(w, 3, 6), 6u);
}

// ---- Adapters.

TEST(HwDecode, AdapterListLimits) {
  hwbuild::Chain c;
  for (u32 i = 0; i < 65; ++i) c.add({.luid = 1000 + i, .description = "nic " + std::to_string(i)});
  hw::Adapters a{};
  hw::adapters_decode(mem::Bytes(c.bytes.data(), c.bytes.size()), hwbuild::base_address, &a);
  EXPECT_EQ(a.count, 64u);
  EXPECT_EQ(a.flags, hw::adapters_truncated);
  EXPECT_EQ(a.id[63], 1063u);
  EXPECT_EQ(hw::adapter_of(&a, 1064), hw::no_adapter);

  hwbuild::Chain exact;
  for (u32 i = 0; i < 64; ++i) exact.add({.luid = i + 1});
  hw::adapters_decode(mem::Bytes(exact.bytes.data(), exact.bytes.size()), hwbuild::base_address, &a);
  EXPECT_EQ(a.count, 64u);
  EXPECT_EQ(a.flags, 0u);

  // A node pointing at itself is followed at most 65 times.
  hwbuild::Chain loop;
  loop.add({.luid = 7});
  hwbuild::put64(&loop.bytes[hw::at::node_next], hwbuild::base_address);
  hw::adapters_decode(mem::Bytes(loop.bytes.data(), loop.bytes.size()), hwbuild::base_address, &a);
  EXPECT_EQ(a.count, 64u);
  EXPECT_EQ(hw::adapter_of(&a, 7), 0u);
}

TEST(HwDecode, AdapterPointersOutsideTheBufferAreIgnored) {
  hwbuild::Chain c;
  u64 first = c.add({.luid = 1, .description = "first", .ipv4 = {0x01020304}});
  u64 second = c.add({.luid = 2, .description = "second"});
  auto run = [](const std::vector<u8>& b, u64 len) {
    hw::Adapters a{};
    hw::adapters_decode(mem::Bytes(b.data(), len), hwbuild::base_address, &a);
    return a;
  };
  EXPECT_EQ(run(c.bytes, c.bytes.size()).count, 2u);
  EXPECT_EQ(run(c.bytes, second + hw::at::node_bytes - 1).count, 1u);  // the second node is cut
  EXPECT_EQ(run(c.bytes, hw::at::node_bytes - 1).count, 0u);

  std::vector<u8> b = c.bytes;
  hwbuild::put64(&b[first + hw::at::node_next], hwbuild::base_address - 8);  // below the buffer
  hwbuild::put64(&b[first + hw::at::node_description], hwbuild::base_address + b.size() + 64);
  hw::Adapters a = run(b, b.size());
  EXPECT_EQ(a.count, 1u);
  EXPECT_EQ(a.description[0][0], 0);
  EXPECT_EQ(a.ipv4_count[0], 1);

  // Socket addresses: too short for their family, outside the buffer, or of another family, are skipped.
  hwbuild::Chain s;
  s.add({.luid = 1, .ipv4 = {0x0A000001, 0x0A000002, 0x0A000003}});
  std::vector<u8> d = s.bytes;
  u64 entry1 = 0, entry2 = 0, entry3 = 0;
  std::memcpy(&entry1, &d[hw::at::node_unicast], 8);
  entry1 -= hwbuild::base_address;
  std::memcpy(&entry2, &d[entry1 + hw::at::uni_next], 8);
  entry2 -= hwbuild::base_address;
  std::memcpy(&entry3, &d[entry2 + hw::at::uni_next], 8);
  entry3 -= hwbuild::base_address;
  hwbuild::put32(&d[entry1 + hw::at::uni_length], 4);                       // too short for IPv4
  hwbuild::put64(&d[entry2 + hw::at::uni_address], hwbuild::base_address + d.size() - 4);  // runs out
  u64 sa3 = 0;
  std::memcpy(&sa3, &d[entry3 + hw::at::uni_address], 8);
  hwbuild::put16(&d[sa3 - hwbuild::base_address], 10);  // not one of the system's family numbers
  a = run(d, d.size());
  EXPECT_EQ(a.ipv4_count[0], 0);
  EXPECT_EQ(a.ipv6_count[0], 0);
}

// ---- Texts.

TEST(HwTexts, CodeTexts) {
  using Fn = mem::Bytes (*)(u32);
  struct Table {
    Fn fn;
    std::vector<const char*> texts;  // codes 0, 1, ...; the last entry is what any code past them gives
  };
  const Table tables[] = {
      {hw::vendor_text, {"-", "Intel", "AMD", "Other", "-"}},
      {hw::mem_text, {"-", "DDR3", "DDR4", "DDR5", "LPDDR3", "LPDDR4", "LPDDR5", "Other", "-"}},
      {hw::form_text, {"-", "DIMM", "SODIMM", "Other", "-"}},
      {hw::media_text, {"-", "SSD", "HDD", "-"}},
      {hw::bus_text, {"-", "NVMe", "SATA", "SAS", "USB", "SCSI", "RAID", "Other", "-"}},
      {hw::conn_text, {"-", "Ethernet", "Wi-Fi", "Other", "-"}},
      {hw::virt_text, {"-", "Enabled", "Disabled", "-"}},
      {hw::power_part_text, {"cpu", "dram", "gpu", "system", "system"}},
      {hw::battery_text, {"unknown", "charging", "discharging", "full", "not charging", "unknown"}},
      {hw::feature_text,
       {"SSE2", "SSE3", "SSSE3", "SSE4.1", "SSE4.2", "AVX", "AVX2", "AVX-512", "AES", "SHA", "NX", "RDRAND",
        "VT-x/AMD-V", "SLAT", "hypervisor", "hypervisor"}},
  };
  for (const Table& t : tables) {
    for (u32 code = 0; code < t.texts.size(); ++code) EXPECT_EQ(str(t.fn(code)), t.texts[code]) << t.texts[1];
    EXPECT_EQ(str(t.fn(0xFFFFFFFF)), t.texts.back());
  }
}

TEST(HwTexts, NumbersWithUnits) {
  struct Case {
    std::function<void(words::Text*)> put;
    const char* text;
  };
  const Case cases[] = {
      {[](words::Text* t) { hw::cache_text(t, 0); }, "-"},
      {[](words::Text* t) { hw::cache_text(t, 1023); }, "1023 KB"},
      {[](words::Text* t) { hw::cache_text(t, 1024); }, "1.0 MB"},
      {[](words::Text* t) { hw::cache_text(t, 1536); }, "1.5 MB"},
      {[](words::Text* t) { hw::cache_text(t, 0xFFFFFFFF); }, "4194304.0 MB"},
      {[](words::Text* t) { hw::link_text(t, 0); }, "-"},
      {[](words::Text* t) { hw::link_text(t, 999); }, "999 Mbps"},
      {[](words::Text* t) { hw::link_text(t, 1000); }, "1.0 Gbps"},
      {[](words::Text* t) { hw::link_text(t, 2500); }, "2.5 Gbps"},
      {[](words::Text* t) { hw::link_text(t, 0xFFFFFFFF); }, "4294967.3 Gbps"},
      {[](words::Text* t) { hw::bytes_text(t, 0); }, "0 KB"},
      {[](words::Text* t) { hw::bytes_text(t, 1048575); }, "1023 KB"},
      {[](words::Text* t) { hw::bytes_text(t, 1048576); }, "1.0 MB"},
      {[](words::Text* t) { hw::bytes_text(t, 1073741823); }, "1024.0 MB"},
      {[](words::Text* t) { hw::bytes_text(t, 1073741824); }, "1.0 GB"},
      {[](words::Text* t) { hw::bytes_text(t, ~0ull); }, "17179869184.0 GB"},
      {[](words::Text* t) { hw::total_text(t, 0); }, "-"},
      {[](words::Text* t) { hw::total_text(t, 3ull << 29); }, "1.5 GB"},
      {[](words::Text* t) { hw::mb_text(t, 512, 1); }, "512 MB"},
      {[](words::Text* t) { hw::mb_text(t, 16384, 1); }, "16.0 GB"},
      {[](words::Text* t) { hw::mb_text(t, 0xFFFFFFFF, 1); }, "4194304.0 GB"},
      {[](words::Text* t) { hw::mb_text(t, 512, 0); }, "-"},
      {[](words::Text* t) { hw::mb_text(t, 512, 2); }, "-"},
      {[](words::Text* t) { hw::mts_text(t, 0); }, "-"},
      {[](words::Text* t) { hw::mts_text(t, 4800); }, "4800 MT/s"},
      {[](words::Text* t) { hw::slots_text(t, 0, 0); }, "-"},
      {[](words::Text* t) { hw::slots_text(t, 0, 2); }, "0 of 2"},
      {[](words::Text* t) { hw::disk_type(t, 0, 0); }, "-"},
      {[](words::Text* t) { hw::disk_type(t, 2, 0); }, "HDD"},
      {[](words::Text* t) { hw::disk_type(t, 0, 2); }, "SATA"},
      {[](words::Text* t) { hw::disk_type(t, 1, 1); }, "SSD (NVMe)"},
      {[](words::Text* t) { hw::known_text(t, mem::lit("")); }, "-"},
      {[](words::Text* t) { hw::known_text(t, mem::Bytes(reinterpret_cast<const u8*>("ab\0cd"), 5)); }, "ab"},
      {[](words::Text* t) { hw::put_char(t, 'x'); hw::dash(t); }, "x-"},
  };
  for (const Case& c : cases) EXPECT_EQ(text_of(c.put), c.text);
}

TEST(HwTexts, FeatureLines) {
  constexpr u32 sse2 = 1u << hw::f_sse2, avx = 1u << hw::f_avx, aes = 1u << hw::f_aes, sha = 1u << hw::f_sha;
  struct Case {
    u32 present, known, selection;
    const char* text;
  };
  const Case cases[] = {
      {sse2 | avx, hw::features_known, sse2 | avx | aes | sha, "SSE2 AVX, AES/SHA unknown"},
      {0, hw::features_known, sse2 | avx | aes | sha, "none, AES/SHA unknown"},
      {~0u, hw::features_known, aes | sha, "-"},
      {~0u, 0, ~0u, "-"},
      {sse2 | avx, hw::features_known, sse2 | avx, "SSE2 AVX"},
      {sse2, sse2, sse2 | avx | aes, "SSE2, AVX/AES unknown"},
      {~0u, ~0u, ~0u,
       "SSE2 SSE3 SSSE3 SSE4.1 SSE4.2 AVX AVX2 AVX-512 AES SHA NX RDRAND VT-x/AMD-V SLAT hypervisor"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of([&](words::Text* t) { hw::features_line(t, c.present, c.known, c.selection); }), c.text);
  }
}

TEST(HwTexts, Addresses) {
  struct Six {
    std::vector<u8> bytes;
    const char* text;
  };
  const Six six[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:db8::1"},
      {{0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0}, "1:0:2::3:0"},
      {{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "0:0:1::"},
      {{0, 1, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 0, 0, 0, 4}, "1::2:3:0:0:4"},  // equal runs: the first wins
      {{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 0, 0, 8}, "1:2:3:4:5:6:0:8"},  // a single zero stays
      {{0xff, 0xff, 0xab, 0xcd, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "ffff:abcd:10::"},
  };
  for (const Six& s : six) EXPECT_EQ(text_of([&](words::Text* t) { hw::ipv6_text(t, s.bytes.data()); }), s.text);
  EXPECT_EQ(hw::longest_zeros(0), 8u);
  EXPECT_EQ(hw::zero_run_at(0xF0, 4), 4u);

  EXPECT_EQ(text_of([](words::Text* t) { hw::mac_text(t, 0x001A2B3C4D5E); }), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(text_of([](words::Text* t) { hw::mac_text(t, 0); }), "-");
  EXPECT_EQ(text_of([](words::Text* t) { hw::ipv4_text(t, 0); }), "0.0.0.0");
  EXPECT_EQ(text_of([](words::Text* t) { hw::ipv4_text(t, 0xFFFFFFFF); }), "255.255.255.255");
  EXPECT_EQ(hw::mac_of(mem::lit("\x01\x02\x03\x04\x05\x06\x07\x08"), 8), 0x010203040506u);
  EXPECT_EQ(hw::mac_of(mem::lit("\x01\x02\x03"), 6), 0x010203000000u);
}

TEST(HwTexts, Values) {
  constexpr u32 virt = 1u << hw::f_virt, hyper = 1u << hw::f_hypervisor;
  EXPECT_EQ(hw::virt_state(~0u, 0), 0u);
  EXPECT_EQ(hw::virt_state(virt, virt), 1u);
  EXPECT_EQ(hw::virt_state(hyper, hw::features_known), 1u);
  EXPECT_EQ(hw::virt_state(0, hyper), 2u);
  EXPECT_EQ(hw::reserved_mib(16384, 15800), 584u);
  EXPECT_EQ(hw::reserved_mib(16384, 16384), 0u);
  EXPECT_EQ(hw::reserved_mib(8000, 16384), 0u);
  EXPECT_EQ(hw::deci_magnitude(-455), 455u);
  EXPECT_EQ(hw::deci_magnitude(312), 312u);
  EXPECT_EQ(hw::deci_magnitude(INT32_MIN), 2147483648u);
  // Battery states as three bit slices: battery 1 is charging (1), battery 2 not charging (4).
  const u8 state[3] = {0b0010, 0b0000, 0b0100};
  EXPECT_EQ(hw::plane_state(mem::Bytes(state, 3), 3, 1), 1u);
  EXPECT_EQ(hw::plane_state(mem::Bytes(state, 3), 3, 2), 4u);
  EXPECT_EQ(hw::plane_state(mem::Bytes(state, 3), 2, 2), 0u);  // only the first count bytes
  EXPECT_EQ(hw::plane_state(mem::Bytes(state, 1), 3, 1), 1u);  // never past the bytes
  EXPECT_EQ(hw::plane_state(mem::Bytes(state, 3), 3, 9), 0u);
}

// ---- Hostile raw records.

TEST(HwMutation, DecodeStaysInsideTheRecord) {
  hwbuild::Raw start[2] = {laptop(), desktop()};
  hwbuild::Raw raw;
  std::mt19937_64 rng(0x6877);
  auto below = [&](u64 n) { return n ? rng() % n : 0; };
  auto clock = std::chrono::steady_clock::now();
  u32 runs = 0;
  for (; runs < 20000 && std::chrono::steady_clock::now() - clock < std::chrono::seconds(2); ++runs) {
    const collect::HardwareRaw* from = start[runs & 1].get();
    std::memcpy(raw.raw.get(), from, offsetof(collect::HardwareRaw, adapters) + from->adapter_bytes + 64);
    u8* bytes = reinterpret_cast<u8*>(raw.raw.get());
    // Where the decoder looks: the head, the live parts of each buffer, and just past them.
    const u64 regions[][2] = {
        {0, offsetof(collect::HardwareRaw, power)},
        {offsetof(collect::HardwareRaw, topology), from->topology_bytes + 16u},
        {offsetof(collect::HardwareRaw, smbios), from->smbios_bytes + 16u},
        {offsetof(collect::HardwareRaw, drives), 3 * 4096},
        {offsetof(collect::HardwareRaw, adapters), from->adapter_bytes + 16u},
    };
    for (u64 k = 1 + below(6); k > 0; --k) {
      const u64* r = regions[below(5)];
      u64 at = r[0] + below(r[1]);
      const u64 picks[] = {0, 1, 4, 7, 8, 127, 255, 0x7FFF, 0xFFFF, 0xFFFFFFFF, hwbuild::base_address,
                           hwbuild::base_address + below(from->adapter_bytes + 300), ~0ull, rng()};
      u64 v = picks[below(std::size(picks))];
      std::memcpy(bytes + at, &v, std::min<u64>(1 + below(8), sizeof *raw.raw - at));
    }
    hw::Hardware h;
    hw::Adapters a;
    hw::decode(raw.get(), &h, &a);
    ASSERT_LE(a.count, 64u);
    ASSERT_EQ(h.known, hw::features_known);
    ASSERT_EQ(h.drive_mask >> 16, 0u);
    for (u32 i = 0; i < a.count; ++i) {
      ASSERT_LE(a.ipv4_count[i], 4);
      ASSERT_LE(a.ipv6_count[i], 4);
    }
    for (auto& model : h.drive_model) {
      for (u8 c : model) ASSERT_TRUE(c == 0 || (c >= 32 && c <= 126));
    }
    // The same buffers alone, each in a block of exactly its length, so a read past one fails under the sanitizers.
    const collect::HardwareRaw* m = raw.get();
    std::vector<u8> topology(m->topology, m->topology + std::min<u32>(m->topology_bytes, sizeof m->topology));
    std::vector<u8> smbios(m->smbios, m->smbios + std::min<u32>(m->smbios_bytes, sizeof m->smbios));
    std::vector<u8> list(m->adapters, m->adapters + std::min<u32>(m->adapter_bytes, sizeof m->adapters));
    hw::Hardware alone{};
    hw::lpi_decode(mem::Bytes(topology.data(), topology.size()), &alone);
    hw::smbios_decode(mem::Bytes(smbios.data(), smbios.size()), &alone.memory);
    hw::adapters_decode(mem::Bytes(list.data(), list.size()), m->adapter_base, &a);
    ASSERT_LE(a.count, 64u);
    // Every text of whatever came out stays within its line.
    for (const auto& line : describe(Decoded{h, a})) ASSERT_LE(line.second.size(), words::text_capacity);
  }
  EXPECT_GT(runs, 100u);
}

}  // namespace
