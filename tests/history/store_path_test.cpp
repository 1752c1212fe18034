#include <string>

#include <gtest/gtest.h>

#include "history/store.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string text(const store::Path& p) {
  mem::Bytes b = store::path_of(&p);
  return std::string(reinterpret_cast<const char*>(b.ptr), b.len);
}

TEST(StorePath, JoinsWithOneSeparator) {
  store::Path p;
  store::path_set(&p, mem::Bytes());
  store::path_join(&p, mem::lit("share"));  // no separator before the first component
  store::path_join(&p, mem::lit("members"));
  EXPECT_EQ(text(p), "share/members");
  store::path_set(&p, mem::lit("/mnt/share/"));
  store::path_join(&p, mem::lit("lease"));
  EXPECT_EQ(text(p), "/mnt/share/lease");
  store::path_set(&p, mem::lit("C:\\share\\"));
  store::path_join(&p, mem::lit("x"));
  EXPECT_EQ(text(p), "C:\\share\\/x");  // only the builder's own separator counts as one
  EXPECT_EQ(p.overflow, 0);

  const u8 id[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0xbc, 0xde, 0xf0, 0x7f, 0xff};
  store::path_set(&p, mem::lit("s"));
  store::path_term(&p, 0x0012abCD);
  store::path_id(&p, id);
  EXPECT_EQ(text(p), "s/0012abcd/000102030405060708090abcdef07fff");
}

TEST(StorePath, StaysBelow260BytesAndRemembersOverflow) {
  store::Path p;
  store::path_set(&p, bytes(std::string(250, 'a')));
  store::path_text(&p, bytes(std::string(10, 'b')));  // 260 bytes would not fit
  EXPECT_EQ(p.overflow, 1);
  EXPECT_EQ(text(p), std::string(250, 'a'));
  store::path_text(&p, mem::lit("c"));  // later appends that fit still land, the flag stays
  EXPECT_EQ(p.overflow, 1);
  EXPECT_EQ(p.length, 251u);
  store::path_set(&p, bytes(std::string(259, 'a')));
  EXPECT_EQ(p.overflow, 0);
  EXPECT_EQ(p.length, 259u);
  store::path_join(&p, mem::Bytes());  // even a separator no longer fits
  EXPECT_EQ(p.overflow, 1);
  store::path_set(&p, bytes(std::string(260, 'a')));
  EXPECT_EQ(p.overflow, 1);
  EXPECT_EQ(p.length, 0u);
}

}  // namespace
