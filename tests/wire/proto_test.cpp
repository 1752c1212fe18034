#include "wire/proto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wire/refusals.h"
#include "tests/wire/wire_util.h"

namespace {

using namespace wire_util;

// A bare header with the given fields, and room for the payload after it.
Bytes header(u32 kind, u32 length, u32 flags = 0, u16 version = 1, const char* magic = "VBP1") {
  Bytes b(16, 0);
  memcpy(b.data(), magic, 4);
  le(b, 4, version, 2);
  le(b, 6, kind, 2);
  le(b, 8, length, 4);
  le(b, 12, flags, 4);
  return b;
}

TEST(Header, GenericChecksInTheirOrder) {
  Bytes fifteen = header(15, 0);
  fifteen.pop_back();
  std::vector<wire_check::Case> cases = {
      {"15 bytes", fifteen, proto::too_short},
      {"magic", header(15, 0, 0, 1, "VBP2"), proto::bad_magic},
      {"version 2, even with kind 99", header(99, 0, 0, 2), proto::bad_version},
      {"kind 0", header(0, 0), proto::bad_kind},
      {"kind 31", header(31, 0), proto::bad_kind},
      {"ping", header(15, 0), proto::ok},
      {"ping with a payload", header(15, 8), proto::bad_length},
      {"more-parts flag on buckets", header(13, 24, 1), proto::ok},
      {"more-parts flag on history", header(12, 32, 1), proto::bad_flags},
      {"flag 2 on buckets", header(13, 24, 2), proto::bad_flags},
      {"flag 2 on ping", header(15, 0, 2), proto::bad_flags},
      {"flags before the payload limit", header(12, 65505, 1), proto::bad_flags},
      {"65,505 bytes", header(13, 65505), proto::too_long},
      {"65,505 bytes on a fixed kind", header(7, 65505), proto::too_long},
      {"procs without rows", header(8, 56), proto::ok},
      {"procs with 256 rows", header(8, 56 + 80 * 256), proto::ok},
      {"procs with 257 rows", header(8, 56 + 80 * 257), proto::bad_length},
      {"procs with a partial row", header(8, 57), proto::bad_length},
      {"procs below its head", header(8, 40), proto::bad_length},
      {"sample of 511", header(7, 511), proto::bad_length},
  };
  for (const wire_check::Case& c : cases) EXPECT_EQ(proto::head_check(view(c.frame)), c.code) << c.what;
}

TEST(Header, FrameCheckWantsTheWholePayloadAndOpenWantsTheKind) {
  Bytes f = header(10, 16);
  EXPECT_EQ(proto::head_check(view(f)), proto::ok);
  EXPECT_EQ(proto::frame_check(view(f)), proto::too_short);
  EXPECT_EQ(proto::frame_len(view(f)), 32u);
  f.resize(31);
  EXPECT_EQ(proto::frame_check(view(f)), proto::too_short);
  f.resize(32);
  EXPECT_EQ(proto::frame_check(view(f)), proto::ok);
  EXPECT_EQ(proto::open_frame(view(f), proto::kind_watch), proto::ok);
  EXPECT_EQ(proto::open_frame(view(f), proto::kind_forget), proto::bad_kind);
  f.resize(48);  // a tag or the next frame may follow
  EXPECT_EQ(proto::open_frame(view(f), proto::kind_watch), proto::ok);
  EXPECT_EQ(proto::frame_len(view(header(10, 17))), 0u);
}

TEST(Kinds, TableSizes) {
  // The largest row kinds all top out at 57,368 payload bytes: 57,400 with header and tag.
  for (u32 kind : {13u, 21u, 22u, 30u}) {
    EXPECT_EQ(proto::payload_size(kind, 100000), 57368u) << kind;
    EXPECT_TRUE(proto::length_fits(kind, 57368)) << kind;
  }
  EXPECT_EQ(proto::payload_size(8, 1000), 20536u);
  EXPECT_EQ(proto::payload_size(9, 1000), 7176u);
  EXPECT_EQ(proto::payload_size(24, 5000), 16440u);
  EXPECT_EQ(proto::payload_size(6, 3), 1792u);
  EXPECT_EQ(proto::frame_rows(8, 56 + 80 * 3), 3u);
  EXPECT_EQ(proto::frame_rows(7, 512), 0u);
  EXPECT_EQ(proto::kind_head(0), 0u);
  EXPECT_EQ(proto::kind_head(31), 0u);
  EXPECT_FALSE(proto::length_fits(31, 0));
  for (u32 kind = 1; kind <= proto::kind_last; ++kind) {
    EXPECT_LE(proto::payload_size(kind, 0xFFFFFFFF), proto::max_payload) << kind;
  }
}

TEST(Bytes, FixedPayloadsOfExactlyTheirSize) {
  Bytes id(16, 0x42), out(64, 0xEE);
  EXPECT_EQ(proto::encode_bytes(proto::kind_watch, view(id), slice(out)), 32u);
  EXPECT_EQ(hexs(out.data(), 32), "56425031" "0100" "0a00" "10000000" "00000000" + rep("42", 16));
  EXPECT_EQ(proto::encode_bytes(proto::kind_watch, mem::Bytes(id.data(), 15), slice(out)), 0u);
  EXPECT_EQ(proto::encode_bytes(proto::kind_procs, mem::Bytes(id.data(), 16), slice(out)), 0u);
  EXPECT_EQ(proto::encode_bytes(proto::kind_watch, view(id), mem::Slice{out.data(), 31}), 0u);
  EXPECT_EQ(proto::encode_bytes(99, view(id), slice(out)), 0u);

  proto::encode_bytes(proto::kind_watch, view(id), slice(out));
  u8 got[16];
  memset(got, 0xA5, sizeof got);
  EXPECT_EQ(proto::decode_bytes(mem::Bytes(out.data(), 32), proto::kind_watch, mem::Slice{got, 15}),
            proto::wrong_size);
  EXPECT_EQ(proto::decode_bytes(mem::Bytes(out.data(), 32), proto::kind_forget, mem::Slice{got, 16}),
            proto::bad_kind);
  EXPECT_EQ(got[0], 0xA5);
  EXPECT_EQ(proto::decode_bytes(mem::Bytes(out.data(), 32), proto::kind_watch, mem::Slice{got, 16}), proto::ok);
  EXPECT_EQ(got[15], 0x42);
  EXPECT_EQ(proto::encode_ping(slice(out)), 16u);
  EXPECT_EQ(proto::encode_ping(mem::Slice{out.data(), 15}), 0u);
}

TEST(Handshake, HelloAndAcceptAreByteExact) {
  proto::Hello h = {proto::role_publisher, 0x0C, 1, 0x01020304, {}, {}};
  for (u32 i = 0; i < 16; ++i) h.id[i] = static_cast<u8>(0x10 + i), h.nonce[i] = static_cast<u8>(0xF0 + i);
  Bytes out(56);
  ASSERT_EQ(proto::encode_hello(&h, slice(out)), 56u);
  EXPECT_EQ(hexs(out.data(), 56),
            "5642503101000100" "2800000000000000"
            "010c0100" "04030201" "101112131415161718191a1b1c1d1e1f" "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  proto::Hello back;
  ASSERT_EQ(proto::decode_hello(view(out), &back), proto::ok);
  EXPECT_EQ(memcmp(&back, &h, sizeof h), 0);
  EXPECT_EQ(proto::encode_hello(&h, mem::Slice{out.data(), 55}), 0u);

  proto::Accept a = {7, 0xAABBCCDD, 0, 1, 81, {}};
  memset(a.tag, 0x5A, 16);
  Bytes acc(48);
  ASSERT_EQ(proto::encode_accept(&a, slice(acc)), 48u);
  EXPECT_EQ(hexs(acc.data() + 16, 32), "07000000" "ddccbbaa" "0000" "0100" "5100" "0000" + rep("5a", 16));
}

TEST(Handshake, RefuseReasonsAndMoved) {
  for (u32 reason = 0; reason <= 8; ++reason) {
    Bytes out(24);
    ASSERT_EQ(proto::encode_refuse(static_cast<u16>(reason), slice(out)), 24u);
    u16 got = 0xBEEF;
    u32 code = proto::decode_refuse(view(out), &got);
    bool good = reason >= 1 && reason <= 6;
    EXPECT_EQ(code, good ? proto::ok : proto::bad_content) << reason;
    EXPECT_EQ(got, good ? reason : 0xBEEF) << reason;
  }
  proto::Moved m = {9, 0x0A000005, 7420};
  Bytes out(32);
  ASSERT_EQ(proto::encode_moved(&m, slice(out)), 32u);
  EXPECT_EQ(hexs(out.data() + 16, 16), "09000000" "0500000a" "fc1c" "000000000000");
  proto::Moved back;
  ASSERT_EQ(proto::decode_moved(view(out), &back), proto::ok);
  EXPECT_EQ(back.address, 0x0A000005u);
  EXPECT_EQ(back.port, 7420);
}

TEST(Handshake, ProbeFramesCarryTheirValues) {
  proto::Probe p;
  proto::ProbeReply r;
  for (u32 i = 0; i < 16; ++i) p.first[i] = u8(i), p.second[i] = u8(16 + i), r.first[i] = u8(32 + i),
                               r.second[i] = u8(48 + i), r.tag[i] = u8(64 + i);
  Bytes out(64);
  ASSERT_EQ(proto::encode_probe(&p, slice(out)), 48u);
  for (u32 i = 0; i < 32; ++i) EXPECT_EQ(out[16 + i], i);
  ASSERT_EQ(proto::encode_probe_reply(&r, slice(out)), 64u);
  for (u32 i = 0; i < 48; ++i) EXPECT_EQ(out[16 + i], 32 + i);
  proto::ProbeReply back;
  ASSERT_EQ(proto::decode_probe_reply(view(out), &back), proto::ok);
  EXPECT_EQ(memcmp(&back, &r, sizeof r), 0);
}

TEST(Text, BadBytesAndNames) {
  EXPECT_EQ(proto::text_bad(view(std::string("abc\0\0", 5)), 0, 5), 0u);
  EXPECT_EQ(proto::text_bad(view(std::string("a\x7f" "b\x1f", 4)), 0, 4), 2u);
  EXPECT_NE(proto::text_bad(view(std::string("abc")), 2, 5), 0u);  // out of range is never good
  EXPECT_EQ(proto::name_bad(view(std::string("name\0\0\0", 7))), 0u);
  EXPECT_EQ(proto::name_bad(view(std::string("na\0e", 4))), 1u);
  EXPECT_EQ(proto::name_bad(view(std::string("n\tme", 4))), 1u);
  Bytes rec = {0x05, 0x00, 0x00, 0x0a};
  EXPECT_EQ(proto::ipv4_at(view(rec)), 0x0A000005u);
}

TEST(ByteAccess, OutOfRangeReadsZeroAndWritesNothing) {
  Bytes b = {1, 2, 3, 4, 5};
  EXPECT_EQ(proto::get32(view(b), 1), 0x05040302u);
  EXPECT_EQ(proto::get32(view(b), 2), 0u);
  EXPECT_EQ(proto::get64(view(b), 0), 0u);
  EXPECT_EQ(proto::get16(view(b), UINT64_MAX), 0u);
  EXPECT_EQ(proto::geti16(view(Bytes{0x57, 0xF5}), 0), -2729);
  proto::put32(slice(b), 2, 0xFFFFFFFF);
  proto::put16(slice(b), UINT64_MAX, 0xFFFF);
  EXPECT_EQ(b, (Bytes{1, 2, 3, 4, 5}));
  u8 out[4] = {9, 9, 9, 9};
  EXPECT_EQ(proto::get_bytes(view(b), 3, mem::Slice{out, 4}), 0u);
  EXPECT_EQ(out[0], 0);
}

// Share records.

proto::Lease sample_lease() {
  proto::Lease l = {};
  l.flags = 9;
  l.term = 0x11223344;
  l.counter = 5;
  l.period = 150;
  l.port = 7420;
  l.address = 0xC0A80001;
  l.writer = 3;
  for (u32 i = 0; i < 16; ++i) l.host_id[i] = static_cast<u8>(0xE0 + i);
  return l;
}

TEST(Records, LeaseIsByteExact) {
  proto::Lease l = sample_lease();
  Bytes out(64);
  ASSERT_EQ(proto::encode_lease(&l, slice(out)), 64u);
  EXPECT_EQ(hexs(out.data(), 64),
            "56424c31" "0100" "0900" "44332211" "05000000" "9600" "fc1c" "0100a8c0" "03" "00000000000000"
            "e0e1e2e3e4e5e6e7e8e9eaebecedeeef" "00000000000000000000000000000000");
  EXPECT_EQ(proto::encode_claim(&l, slice(out)), 64u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 4), "VBC1");
  EXPECT_EQ(proto::encode_lease(&l, mem::Slice{out.data(), 63}), 0u);
}

TEST(Records, LeaseRefusals) {
  proto::Lease l = sample_lease();
  Bytes good(64);
  proto::encode_lease(&l, slice(good));
  Bytes short_one(good.begin(), good.end() - 1), long_one = good;
  long_one.push_back(0);
  Bytes claim(64);
  proto::encode_claim(&l, slice(claim));
  std::vector<wire_check::Case> cases = {
      {"good", good, proto::ok},
      {"63 bytes", short_one, proto::too_short},
      {"65 bytes", long_one, proto::bad_length},
      {"claim magic", claim, proto::bad_magic},
      {"nonzero byte 5", with(good, 5, 1), proto::bad_version},
      {"version 2", with(good, 4, 2), proto::bad_version},
      {"period 9", with16(good, 16, 9), proto::bad_content},
      {"period 601", with16(good, 16, 601), proto::bad_content},
      {"period 10", with16(good, 16, 10), proto::ok},
      {"period 600", with16(good, 16, 600), proto::ok},
      {"flags 32", with16(good, 6, 32), proto::bad_content},
      {"flags 31", with16(good, 6, 31), proto::ok},
  };
  wire_check::refusals<proto::Lease>(cases, proto::decode_lease);
  proto::Lease back;
  ASSERT_EQ(proto::decode_claim(view(claim), &back), proto::ok);
  EXPECT_EQ(back.term, l.term);
  EXPECT_EQ(memcmp(back.host_id, l.host_id, 16), 0);
  EXPECT_EQ(back.writer, 3);
}

TEST(Records, BeaconAndMemberRanges) {
  proto::Beacon b = {8, 4, 77, 7420, 64, 200, 0x0A000001, {}};
  Bytes out(64);
  ASSERT_EQ(proto::encode_beacon(&b, slice(out)), 64u);
  EXPECT_EQ(hexs(out.data(), 32), "56424231" "0100" "0800" "04000000" "4d000000" "fc1c" "4000" "c8000000"
                                  "0100000a" "00000000");
  proto::Beacon bb;
  EXPECT_EQ(proto::decode_beacon(view(out), &bb), proto::ok);
  EXPECT_EQ(bb.members, 64);
  EXPECT_EQ(bb.priority, 200);
  EXPECT_EQ(proto::decode_beacon(view(with16(out, 18, 65)), &bb), proto::bad_content);
  EXPECT_EQ(proto::decode_beacon(view(with16(out, 6, 16)), &bb), proto::bad_content);
  EXPECT_EQ(proto::decode_lease(view(out), nullptr), proto::bad_magic);

  proto::Member m = {63, 2, 3, 100, 7420, 0x0A000002, 63, {}};
  ASSERT_EQ(proto::encode_member(&m, slice(out)), 64u);
  EXPECT_EQ(hexs(out.data(), 26), "56424d31" "0100" "3f00" "02000000" "03000000" "64" "00" "fc1c" "0200000a"
                                  "3f00");
  proto::Member mm;
  EXPECT_EQ(proto::decode_member(view(out), &mm), proto::ok);
  EXPECT_EQ(mm.reach, 63);
  EXPECT_EQ(proto::decode_member(view(with16(out, 24, 64)), &mm), proto::bad_content);
  EXPECT_EQ(proto::decode_member(view(with16(out, 6, 64)), &mm), proto::bad_content);
}

TEST(Records, RosterRowsAndZeros) {
  proto::Roster r = {};
  r.count = 2;
  r.term = 9;
  r.sequence = 4;
  r.flags = 3;
  for (u32 i = 0; i < 2; ++i) {
    memset(r.rows[i].id, 0x30 + i, 16);
    r.rows[i].priority = 200;
    r.rows[i].flags = 7;
    r.rows[i].reach = 63;
  }
  r.rows[5].priority = 1;  // beyond the count: never written
  Bytes out(1600);
  ASSERT_EQ(proto::encode_roster(&r, slice(out)), 1600u);
  EXPECT_EQ(hexs(out.data(), 18), "56425231" "0100" "0200" "09000000" "04000000" "0300");
  EXPECT_EQ(hexs(out.data() + 32 + 24, 24), "31313131313131313131313131313131" "c8" "07" "3f00" "00000000");
  EXPECT_EQ(out[32 + 24 * 5 + 16], 0);
  EXPECT_EQ(proto::encode_roster(&r, mem::Slice{out.data(), 1599}), 0u);

  proto::Roster back;
  EXPECT_EQ(proto::decode_roster(view(out), &back), proto::ok);
  EXPECT_EQ(back.count, 2);
  EXPECT_EQ(back.rows[1].reach, 63);
  EXPECT_EQ(back.rows[5].priority, 0);
  std::vector<wire_check::Case> cases = {
      {"a byte in row 5 with 2 rows", with(out, 32 + 24 * 5 + 3, 1), proto::bad_content},
      {"the same with 6 rows", with16(with(out, 32 + 24 * 5 + 3, 1), 6, 6), proto::ok},
      {"65 rows", with16(out, 6, 65), proto::bad_content},
      {"flags 4", with16(out, 16, 4), proto::bad_content},
      {"row flags 16", with(out, 32 + 17, 16), proto::bad_content},
      {"row reach 64", with16(out, 32 + 18, 64), proto::bad_content},
      {"a nonzero byte in a used row's zeros is not checked", with(out, 32 + 20, 1), proto::ok},
  };
  wire_check::refusals<proto::Roster>(cases, proto::decode_roster);
  // Too many rows in memory are clamped to the 64 places.
  r.count = 100;
  ASSERT_EQ(proto::encode_roster(&r, slice(out)), 1600u);
  EXPECT_EQ(proto::get16(view(out), 6), 64);
}

TEST(Records, SealedRecordsFailAfterAnyChange) {
  auth::KeyState k;
  auth::key_init(&k, mem::lit("cluster key"));
  proto::Lease l = sample_lease();
  Bytes rec(64);
  proto::encode_lease(&l, slice(rec));
  ASSERT_TRUE(auth::seal(&k, slice(rec)));
  EXPECT_TRUE(auth::sealed(&k, view(rec)));
  for (u32 i = 0; i < 64; ++i) EXPECT_FALSE(auth::sealed(&k, view(with(rec, i, rec[i] ^ 4)))) << i;
}

}  // namespace
