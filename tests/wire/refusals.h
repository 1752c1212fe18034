#pragma once
// Tables of frames that a decoder must refuse (or take), each decoded into a poisoned record.
#include <gtest/gtest.h>

#include <vector>

#include "tests/wire/decoders.h"

namespace wire_check {

// One row of a refusal table: a frame or record and the code its decoder must give.
struct Case {
  const char* what;
  std::vector<u8> frame;
  u32 code;
};

// Decodes every case into a poisoned record: the code must be the expected one, and a refusal must leave the record
// as it was.
template <typename T, typename Decode>
void refusals(const std::vector<Case>& cases, Decode decode) {
  for (const Case& c : cases) {
    T* out = new T;
    fill_poison(out);
    EXPECT_EQ(decode(mem::Bytes(c.frame.data(), c.frame.size()), out), c.code) << c.what;
    EXPECT_TRUE(c.code == proto::ok || untouched(out)) << c.what;
    delete out;
  }
}

}  // namespace wire_check
