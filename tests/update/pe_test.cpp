// The version a program file carries, read from its bytes: the resource section found through the PE headers (only
// section entries that lie wholly in the bytes read count), and the fixed file information found in the section.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/pe.h"

namespace {

void put32(std::vector<u8>* b, size_t at, u32 v) {
  if (b->size() < at + 4) b->resize(at + 4);
  for (u32 i = 0; i < 4; ++i) (*b)[at + i] = u8(v >> (8 * i));
}
void put16(std::vector<u8>* b, size_t at, u32 v) {
  (*b)[at] = u8(v), (*b)[at + 1] = u8(v >> 8);
}

// Headers at 0x80 with an optional header of 240 bytes and the given section names; ".rsrc" gets offset 0x4000
// and size 0x1200, every other section offset 0x400 and size 0x200.
std::vector<u8> headers(const std::vector<std::string>& sections, u32 length = 4096) {
  std::vector<u8> b(length, 0);
  b[0] = 'M', b[1] = 'Z';
  put32(&b, 60, 0x80);
  b[0x80] = 'P', b[0x81] = 'E';
  put16(&b, 0x80 + 6, u32(sections.size()));
  put16(&b, 0x80 + 20, 240);
  for (size_t i = 0; i < sections.size(); ++i) {
    const size_t entry = 0x80 + 24 + 240 + 40 * i;
    if (entry + 40 > b.size()) b.resize(entry + 40);
    for (size_t k = 0; k < sections[i].size() && k < 8; ++k) b[entry + k] = u8(sections[i][k]);
    const bool rsrc = sections[i] == ".rsrc";
    put32(&b, entry + 16, rsrc ? 0x1200 : 0x200);
    put32(&b, entry + 20, rsrc ? 0x4000 : 0x400);
  }
  b.resize(length);
  return b;
}

TEST(PeVersion, TheResourceSectionIsFoundThroughTheHeaders) {
  std::vector<u8> not_pe = headers({".text", ".rsrc"});
  not_pe[0x81] = 'X';
  std::vector<u8> far_header = headers({".rsrc"});
  put32(&far_header, 60, 4096 - 20);  // 20 bytes left after the header's start: too few
  struct Case {
    const char* name;
    std::vector<u8> bytes;
    bool found;
  } cases[] = {
      {"the third of three sections", headers({".text", ".data", ".rsrc"}), true},
      {"no resource section", headers({".text", ".data", ".reloc"}), false},
      {"a longer name that begins with .rsrc", headers({".rsrc2"}), false},
      {"not a PE image", not_pe, false},
      {"the header too near the end of the bytes", far_header, false},
      {"the entry beyond the bytes read", headers({".text", ".rsrc"}, 0x80 + 24 + 240 + 40 + 39), false},
      {"fewer than 64 bytes", std::vector<u8>(63, 0), false},
  };
  for (const Case& c : cases) {
    u32 offset = 1, size = 1;
    EXPECT_EQ(pe::find_rsrc(mem::Bytes(c.bytes.data(), c.bytes.size()), &offset, &size), c.found) << c.name;
    EXPECT_EQ(offset, c.found ? 0x4000u : 0u) << c.name;
    EXPECT_EQ(size, c.found ? 0x1200u : 0u) << c.name;
  }
}

TEST(PeVersion, TheFixedFileInformationGivesTheFileVersion) {
  auto section = [](size_t at, u32 structure, size_t length = 256) {
    std::vector<u8> b(length, 0);
    put32(&b, at, 0xFEEF04BD);
    put32(&b, at + 4, structure);
    put32(&b, at + 8, 0x00000001);  // 0.1
    put32(&b, at + 12, 0x005A0007);  // .90, build 7
    b.resize(length);
    return b;
  };
  std::vector<u8> two = section(40, 0x00010000);
  put32(&two, 120, 0xFEEF04BD), put32(&two, 124, 0x00010000), put32(&two, 128, 0x00020000), put32(&two, 132, 0);
  struct Case {
    const char* name;
    std::vector<u8> bytes;
    bool found;
  } cases[] = {
      {"on a 4-byte step", section(40, 0x00010000), true},
      {"the first of two", two, true},
      {"off the 4-byte steps", section(42, 0x00010000), false},
      {"another structure version", section(40, 0x00020000), false},
      {"the last 16 bytes of the section", section(240, 0x00010000), true},
      {"cut short by the section's end", section(240, 0x00010000, 252), false},
  };
  for (const Case& c : cases) {
    u32 ms = 9, ls = 9;
    EXPECT_EQ(pe::fixed_version(mem::Bytes(c.bytes.data(), c.bytes.size()), &ms, &ls), c.found) << c.name;
    EXPECT_EQ(ms, c.found ? 0x00000001u : 0u) << c.name;
    EXPECT_EQ(ls, c.found ? 0x005A0007u : 0u) << c.name;
  }
}

}  // namespace
