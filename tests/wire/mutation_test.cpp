// Seeded mutations of valid frames and records through every decoder: whatever a hostile peer sends, a decoder
// refuses without writing or accepts something that survives another round, and nothing reads out of bounds (the
// test build runs under the address and undefined-behaviour sanitizers).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "wire/auth.h"
#include "wire/proto.h"
#include "tests/wire/decoders.h"
#include "tests/wire/seeds.h"
#include "tests/wire/wire_util.h"

namespace {

using namespace wire_util;

TEST(Mutation, EverySeedIsAcceptedByItsReader) {
  for (const Bytes& seed : seeds::texts()) EXPECT_EQ(wire_check::check_texts(view(seed)), "");
  u8 key[32];
  EXPECT_EQ(auth::parse_key(view(seeds::texts()[0]), key), auth::key_ok);
  cluster::PublishSettings settings;
  EXPECT_TRUE(cluster::parse_publish(view(seeds::texts()[1]), &settings));
  EXPECT_TRUE(cluster::parse_publish(view(seeds::texts()[2]), &settings));

  for (const Bytes& seed : seeds::all()) {
    u32 accepted = 0;
    std::string faults = wire_check::check_all(view(seed), &accepted) + wire_check::check_texts(view(seed));
    EXPECT_EQ(faults, "");
    EXPECT_GE(accepted, 1u) << "seed of kind " << proto::frame_kind(view(seed)) << ", " << seed.size() << " bytes";
  }
}

TEST(Mutation, FlippedBytesCutsAndSplicesNeverBreakTheDecoders) {
  std::mt19937_64 rng(20261209);
  std::vector<Bytes> all = seeds::all();
  for (const Bytes& t : seeds::texts()) all.push_back(t);
  u32 runs = 0, accepted_runs = 0;
  for (u32 round = 0; round < 4000; ++round) {
    Bytes b = all[rng() % all.size()];
    switch (rng() % 4) {
      case 0:  // flip a few bytes
        for (u32 k = 1 + rng() % 4; k > 0; --k) b[rng() % b.size()] ^= static_cast<u8>(1 + rng() % 255);
        break;
      case 1:  // cut the end off
        b.resize(rng() % b.size());
        break;
      case 2:  // set a header or count field to an edge value
        if (b.size() >= 2) le(b, rng() % ((b.size() < 24 ? b.size() : 24) - 1), (rng() % 2) ? 0xFFFF : rng() % 300, 2);
        break;
      default: {  // splice the tail of another seed in
        const Bytes& other = all[rng() % all.size()];
        size_t at = rng() % b.size();
        b.resize(at);
        b.insert(b.end(), other.begin() + static_cast<long>(rng() % other.size()), other.end());
      }
    }
    u32 accepted = 0;
    std::string faults = wire_check::check_all(view(b), &accepted) + wire_check::check_opened(view(b)) +
                         wire_check::check_texts(view(b));
    ASSERT_EQ(faults, "") << "round " << round << ": " << hexs(b.data(), b.size() < 64 ? b.size() : 64);
    ++runs;
    accepted_runs += accepted != 0;
  }
  // The loop must exercise both sides: most mutations are refused, some still decode.
  EXPECT_GT(accepted_runs, runs / 20);
  EXPECT_LT(accepted_runs, runs);
}

}  // namespace
