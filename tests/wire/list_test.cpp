// The host's lists, history answers and the agent update transfer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wire/proto.h"
#include "tests/wire/refusals.h"
#include "tests/wire/wire_util.h"

namespace {

using namespace wire_util;

using wire_check::refusals;

proto::Summary summary(u32 seed) {
  proto::Summary s = {};
  s.stamp = 1000 + seed;
  s.state = static_cast<u8>(seed % 4);
  s.flags = 3;
  s.value = 60;
  s.cpu = 10000;
  s.kernel = 1200;
  s.memory = 5000;
  s.disk = 50 * 200;
  s.gpu = 1;
  s.video = 0;
  s.processes = 321;
  s.shared_video = 1;
  s.os = 2;
  s.memory_used = 8000;
  s.memory_total = 16000;
  s.video_used = 1;
  s.video_total = 2;
  s.disk_read = 3;
  s.disk_write = 4;
  s.receive = 5;
  s.send = 6;
  s.threads = 4000;
  s.power = 655;
  s.power_flags = 0x21;
  return s;
}

TEST(Summary, LayoutAndReadRules) {
  proto::Summary s = summary(0);
  Bytes b(64, 0xFF);
  proto::put_summary(slice(b), 0, &s);
  EXPECT_EQ(hexs(b.data(), 64), "e8030000" "00" "03" "3c00" "1027" "b004" "8813" "1027" "0100" "0000" "4101" "01" "02"
                                "401f0000" "803e0000" "01000000" "02000000" "03000000" "04000000" "05000000"
                                "06000000" "a00f0000" "8f02" "21" "00");
  proto::Summary back;
  proto::get_summary(view(b), 0, &back);
  EXPECT_EQ(memcmp(&back, &s, sizeof s), 0);
  // The power value counts only with a source bit; shared video keeps bit 0 and the flags their low 6 bits.
  b[62] = 0xF0;
  b[22] = 0xFE;
  proto::get_summary(view(b), 0, &back);
  EXPECT_EQ(back.power, 0);
  EXPECT_EQ(back.power_flags, 0x30);
  EXPECT_EQ(back.shared_video, 0);

  struct Bad {
    const char* what;
    size_t at;
    u8 value;
    bool bad;
  };
  proto::put_summary(slice(b), 0, &s);
  const Bad cases[] = {
      {"state 4", 4, 4, true},   {"flags 4", 5, 4, true},      {"system 6", 23, 6, true}, {"system 5", 23, 5, false},
      {"cpu", 9, 0x28, true},    {"video", 19, 0x28, true},    {"processes", 21, 0xFF, false},
  };
  for (const Bad& c : cases) EXPECT_EQ(proto::summary_bad(view(with(b, c.at, c.value)), 0) != 0, c.bad) << c.what;
  EXPECT_NE(proto::summary_bad(view(b), 1), 0u) << "a summary past the end is bad";
}

std::unique_ptr<proto::MachineList> machine_list(u32 n, u64 host) {
  auto list = std::make_unique<proto::MachineList>();
  memset(list.get(), 0, sizeof *list);
  list->count = n;
  list->host_mask = host;
  for (u32 i = 0; i < n && i < 64; ++i) {
    memset(list->ids[i], 0x10 + i, 16);
    snprintf(reinterpret_cast<char*>(list->names[i]), 32, "machine-%u", i);
    list->summaries[i] = summary(i);
  }
  return list;
}

TEST(List, RowsAndTheHostMark) {
  auto list = machine_list(3, u64{1} << 2);
  Bytes out(16 + 8 + 112 * 3);
  ASSERT_EQ(proto::encode_list(list.get(), slice(out)), out.size());
  EXPECT_EQ(hexs(out.data() + 16, 8), "0300" "01" "03" "00000000");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data() + 16 + 8 + 112 + 16)), "machine-1");
  auto back = machine_list(0, 0);
  ASSERT_EQ(proto::decode_list(view(out), back.get()), proto::ok);
  EXPECT_EQ(memcmp(back.get(), list.get(), sizeof *list), 0);

  EXPECT_EQ(proto::hostWire(u64{1} << 5, 3), 0) << "a host beyond the rows is no host";
  EXPECT_EQ(proto::hostWire(0x6, 3), 2) << "the lowest bit counts";
  EXPECT_EQ(proto::hostBits(0), 0u);
  EXPECT_EQ(proto::hostBits(64), u64{1} << 63);
  EXPECT_EQ(proto::hostBits(65), 0u);

  refusals<proto::MachineList>(
      {
          {"host byte 3 of 3", out, proto::ok},
          {"host byte 4 of 3", with(out, 16 + 3, 4), proto::bad_content},
          {"host byte 4 without the mark", with(with(out, 16 + 3, 4), 16 + 2, 0), proto::ok},
          {"N 2 with three rows", with16(out, 16, 2), proto::bad_length},
          {"a control byte in a name", with(out, 16 + 8 + 16 + 3, 0x1F), proto::bad_content},
          {"processor load 10,001", with16(out, 16 + 8 + 112 * 2 + 48 + 8, 10001), proto::bad_content},
      },
      proto::decode_list);
  out[16 + 3] = 0;
  ASSERT_EQ(proto::decode_list(view(out), back.get()), proto::ok);
  EXPECT_EQ(back->host_mask, 0u);
  // A list of more than 64 machines is cut to 64.
  auto many = machine_list(70, 0);
  Bytes big(16 + 8 + 112 * 64);
  EXPECT_EQ(proto::encode_list(many.get(), slice(big)), big.size());
}

TEST(Backfill, SummariesAndInterval) {
  Bytes f(16 + 8 + 64 * 2, 0);
  memcpy(f.data(), "VBP1", 4);
  le(f, 4, 1, 2);
  le(f, 6, proto::kind_backfill, 2);
  le(f, 8, 8 + 128, 4);
  f[16] = 2;
  f[17] = 0xEE;  // not read
  le(f, 18, 600, 2);
  proto::Summary s = summary(1);
  proto::put_summary(slice(f), 24, &s);
  proto::put_summary(slice(f), 88, &s);
  auto back = std::make_unique<proto::Backfill>();
  ASSERT_EQ(proto::decode_backfill(view(f), back.get()), proto::ok);
  EXPECT_EQ(back->count, 2);
  EXPECT_EQ(back->interval, 600);
  EXPECT_EQ(back->rows[1].threads, 4000u);
  refusals<proto::Backfill>(
      {
          {"interval 601", with16(f, 18, 601), proto::bad_content},
          {"count 3 with two rows", with(f, 16, 3), proto::bad_length},
          {"a bad summary", with(f, 88 + 4, 9), proto::bad_content},
      },
      proto::decode_backfill);
}

TEST(Peers, StatesAndAddresses) {
  auto peers = std::make_unique<proto::Peers>();
  memset(peers.get(), 0, sizeof *peers);
  peers->count = 2;
  memset(peers->ids[0], 1, 16);
  peers->address_kinds[0] = 1;
  proto::put32(mem::Slice{peers->addresses[0], 16}, 0, 0x0A000005);
  peers->address_kinds[1] = 2;
  for (u32 i = 0; i < 16; ++i) peers->addresses[1][i] = static_cast<u8>(0xF0 + i);
  Bytes out(16 + 8 + 80);
  ASSERT_EQ(proto::encode_peers(peers.get(), slice(out)), out.size());
  EXPECT_EQ(hexs(out.data() + 16 + 8 + 16, 24), "01" "00000000000000" "0500000a000000000000000000000000");
  EXPECT_EQ(hexs(out.data() + 16 + 48 + 24, 2), "f0f1");
  auto back = std::make_unique<proto::Peers>();
  ASSERT_EQ(proto::decode_peers(view(out), back.get()), proto::ok);
  EXPECT_EQ(memcmp(back.get(), peers.get(), sizeof *peers), 0);
  refusals<proto::Peers>({{"state 3", with(out, 16 + 8 + 16, 3), proto::bad_content},
                          {"N 3", with16(out, 16, 3), proto::bad_length}},
                         proto::decode_peers);
}

TEST(UpdateState, PhasesThatTravel) {
  for (u32 phase = 0; phase <= 9; ++phase) {
    Bytes out(24);
    ASSERT_EQ(proto::encode_update_state(static_cast<u8>(phase), 32, slice(out)), 24u);
    u8 got = 0xEE, detail = 0xEE;
    bool good = phase >= 2 && phase <= 8 && phase != 6;
    EXPECT_EQ(proto::decode_update_state(view(out), &got, &detail), good ? proto::ok : proto::bad_content) << phase;
    EXPECT_EQ(got, good ? phase : 0xEE);
  }
  Bytes out(24);
  proto::encode_update_state(2, 33, slice(out));
  u8 a = 0, b = 0;
  EXPECT_EQ(proto::decode_update_state(view(out), &a, &b), proto::bad_content);
  proto::encode_update_state(2, 0, slice(out));
  EXPECT_EQ(proto::decode_update_state(view(with(out, 16 + 7, 1)), &a, &b), proto::bad_content);
}

TEST(Updates, RowsAndRanges) {
  auto u = std::make_unique<proto::Updates>();
  memset(u.get(), 0, sizeof *u);
  u->count = 1;
  memset(u->ids[0], 7, 16);
  u->major[0] = 0, u->minor[0] = 1, u->patch[0] = 81, u->phases[0] = 8, u->details[0] = 32;
  Bytes out(16 + 8 + 24);
  ASSERT_EQ(proto::encode_updates(u.get(), slice(out)), out.size());
  EXPECT_EQ(hexs(out.data() + 16 + 8 + 16, 8), "0000" "0100" "5100" "08" "20");
  auto back = std::make_unique<proto::Updates>();
  ASSERT_EQ(proto::decode_updates(view(out), back.get()), proto::ok);
  EXPECT_EQ(memcmp(back.get(), u.get(), sizeof *u), 0);
  refusals<proto::Updates>({{"phase 9", with(out, 16 + 8 + 22, 9), proto::bad_content},
                            {"detail 33", with(out, 16 + 8 + 23, 33), proto::bad_content},
                            {"N 0 with a row", with16(out, 16, 0), proto::bad_length}},
                           proto::decode_updates);
}

TEST(History, AsksForARangeOfSlots) {
  proto::HistoryAsk ask = {{}, 2, 1, 0xFF, 100, 100};
  memset(ask.id, 0x33, 16);
  Bytes out(48);
  ASSERT_EQ(proto::encode_history(&ask, slice(out)), 48u);
  EXPECT_EQ(hexs(out.data() + 16 + 16, 16), "02" "01" "03" "00" "64000000" "64000000" "00000000");
  proto::HistoryAsk back;
  ASSERT_EQ(proto::decode_history(view(out), &back), proto::ok);
  EXPECT_EQ(back.options, 3);
  EXPECT_EQ(back.first, 100u);
  EXPECT_EQ(proto::decode_history(view(with(out, 16 + 18, 0xFF)), &back), proto::ok);
  EXPECT_EQ(back.options, 3) << "only bits 0 and 1 are kept";
  refusals<proto::HistoryAsk>({{"slots 100 to 99", with32(out, 16 + 24, 99), proto::bad_content},
                               {"tier 3", with(out, 16 + 16, 3), proto::bad_content},
                               {"scope 2", with(out, 16 + 17, 2), proto::bad_content}},
                              proto::decode_history);
}

Bytes buckets(u32 n) {
  Bytes b(56 * n, 0);
  for (u32 i = 0; i < n; ++i) {
    le(b, 56 * i, 500 + i, 4);
    for (u32 m = 0; m < 8; ++m) le(b, 56 * i + 8 + 16 * 2 + 2 * m, 10000, 2);  // the maxima
    le(b, 56 * i + 8 + 12, 50000, 2);  // measure 6 is a rate code: not limited
  }
  return b;
}

TEST(Buckets, PartsAndLimits) {
  Bytes rows = buckets(3);
  proto::BucketAnswer answer = {2, 1, {}, view(rows)};
  memset(answer.id, 0x44, 16);
  Bytes out(16 + 24 + 56 * 3);
  ASSERT_EQ(proto::encode_buckets(&answer, 1, slice(out)), out.size());
  EXPECT_EQ(proto::frame_flags(view(out)), 1u);
  EXPECT_EQ(hexs(out.data() + 16, 8), "0300" "02" "01" "00000000");
  u32 count = 0, more = 0;
  ASSERT_EQ(proto::check_buckets(view(out), &count, &more), proto::ok);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(more, 1u);
  EXPECT_EQ(memcmp(proto::buckets_id(view(out)), answer.id, 16), 0);
  u8 bucket[56];
  ASSERT_EQ(proto::bucket_at(view(out), 2, bucket), 1u);
  EXPECT_EQ(memcmp(bucket, rows.data() + 112, 56), 0);
  EXPECT_EQ(proto::bucket_at(view(out), 3, bucket), 0u);

  ASSERT_EQ(proto::encode_buckets(&answer, 0, slice(out)), out.size());
  ASSERT_EQ(proto::check_buckets(view(out), &count, &more), proto::ok);
  EXPECT_EQ(more, 0u);
  const u32 b0 = 16 + 24;
  refusals<wire_check::Counted>(
      {
          {"a first maximum of 10,001", with16(out, b0 + 40, 10001), proto::bad_content},
          {"a sixth mean of 10,001", with16(out, b0 + 24 + 10, 10001), proto::bad_content},
          {"a seventh minimum of 50,001", with16(out, b0 + 8 + 12, 50001), proto::ok},
          {"tier 3", with(out, 18, 3), proto::bad_content},
          {"scope 2", with(out, 19, 2), proto::bad_content},
          {"N 4 with three", with16(out, 16, 4), proto::bad_length},
      },
      [](mem::Bytes f, wire_check::Counted* c) { return proto::check_buckets(f, &c->count, &c->more); });
  // Up to 1,024 whole buckets per part; a partial bucket is not sent.
  Bytes many = buckets(1100);
  many.push_back(0);
  answer.buckets = view(many);
  Bytes big(16 + 24 + 56 * 1024);
  ASSERT_EQ(proto::encode_buckets(&answer, 0, slice(big)), big.size());
}

TEST(Rows, NamesTopsAndEnergy) {
  u8 id[16];
  memset(id, 0x55, 16);
  Bytes names(32 * 2, 0);
  memcpy(names.data(), "svchost", 7);
  memcpy(names.data() + 32, "vimbrel", 7);
  Bytes out(16 + 24 + 32 * 2);
  ASSERT_EQ(proto::encode_rows(proto::kind_names, 1, id, view(names), 5, slice(out)), out.size());
  EXPECT_EQ(hexs(out.data(), 24), "5642503101001500" "5800000000000000" "0200" "01" "00" "00000000");
  u32 count = 0;
  ASSERT_EQ(proto::check_rows(view(out), proto::kind_names, &count), proto::ok);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(proto::rows_kind(99), proto::kind_names);
  EXPECT_EQ(proto::rows_kind(proto::kind_tops), proto::kind_tops);

  Bytes tops(112, 0);
  for (u32 i = 0; i < 5; ++i) le(tops, 88 + 2 * i, 10000, 2);
  Bytes t(16 + 24 + 112);
  ASSERT_EQ(proto::encode_rows(proto::kind_tops, 0, id, view(tops), 1, slice(t)), t.size());
  Bytes energy(16, 0);
  le(energy, 12, 3600, 2);
  le(energy, 14, 1, 2);
  Bytes e(16 + 24 + 16);
  ASSERT_EQ(proto::encode_rows(proto::kind_energy, 0, id, view(energy), 1, slice(e)), e.size());

  auto check = [](u32 kind) {
    return [kind](mem::Bytes f, wire_check::Counted* c) { return proto::check_rows(f, kind, &c->count); };
  };
  refusals<wire_check::Counted>({{"a control byte", with(out, 40 + 32 + 1, 9), proto::bad_content},
                                 {"tier 3", with(out, 18, 3), proto::bad_content},
                                 {"byte 3 is 2", with(out, 19, 2), proto::bad_content}},
                                check(proto::kind_names));
  refusals<wire_check::Counted>({{"tops", t, proto::ok},
                                 {"a share of 10,001", with16(t, 40 + 96, 10001), proto::bad_content},
                                 {"bytes after the shares", with16(t, 40 + 98, 60000), proto::ok}},
                                check(proto::kind_tops));
  refusals<wire_check::Counted>({{"energy", e, proto::ok},
                                 {"3,601 seconds", with16(e, 40 + 12, 3601), proto::bad_content},
                                 {"flags 2", with(e, 40 + 14, 2), proto::bad_content},
                                 {"the zero byte", with(e, 40 + 15, 1), proto::bad_content}},
                                check(proto::kind_energy));
  EXPECT_EQ(proto::check_rows(view(e), proto::kind_names, &count), proto::bad_kind);
}

TEST(UpdateTransfer, AskAndChunks) {
  proto::UpdateAsk ask = {1, 0, 1, 82, 16384};
  Bytes a(32);
  ASSERT_EQ(proto::encode_update_ask(&ask, slice(a)), 32u);
  EXPECT_EQ(hexs(a.data() + 16, 16), "01" "00" "0000" "0100" "5200" "00400000" "00000000");
  refusals<proto::UpdateAsk>({{"type 2", with(a, 16, 2), proto::ok}, {"type 3", with(a, 16, 3), proto::bad_content}},
                             proto::decode_update_ask);

  Bytes data(13);
  for (u32 i = 0; i < 13; ++i) data[i] = static_cast<u8>(0x61 + i);
  proto::UpdateChunk chunk = {2, 0, 0, 1, 82, 100, 87, 13, {}};
  memset(chunk.value, 0xAB, 32);
  Bytes out(16 + 56 + 16);
  ASSERT_EQ(proto::encode_update_chunk(&chunk, view(data), slice(out)), out.size());
  EXPECT_EQ(proto::get32(view(out), 8), 72u) << "13 bytes take two rows";
  EXPECT_EQ(hexs(out.data() + 16 + 56 + 12, 4), "6d000000") << "three zero padding bytes";
  proto::UpdateChunk back;
  ASSERT_EQ(proto::decode_update_chunk(view(out), &back), proto::ok);
  EXPECT_EQ(memcmp(&back, &chunk, sizeof chunk), 0);
  mem::Bytes got = proto::update_data(view(out));
  EXPECT_EQ(got.len, 13u);
  EXPECT_EQ(memcmp(got.ptr, data.data(), 13), 0);

  refusals<proto::UpdateChunk>(
      {
          {"type 3", with(out, 16, 3), proto::bad_content},
          {"flag 2", with(out, 17, 2), proto::bad_content},
          {"a nonzero padding byte", with(out, 16 + 56 + 14, 1), proto::bad_content},
          {"total 10, offset 8, length 4", with32(with32(with32(out, 24, 10), 28, 8), 32, 4), proto::bad_length},
          {"total below offset plus length", with32(out, 24, 99), proto::bad_content},
          {"an offset that wraps 32 bits", with32(with32(out, 24, 1000), 28, 0xFFFFFFF8), proto::bad_content},
          {"total above 16 MiB", with32(out, 24, 16777217), proto::bad_content},
          {"no binary with sizes", with(out, 17, 1), proto::bad_content},
          {"length 20 in two rows", with32(out, 32, 20), proto::bad_length},
      },
      proto::decode_update_chunk);
  // "Total 10, offset 8, length 4" with the rows it needs is refused for its content.
  Bytes four(4, 1);
  proto::UpdateChunk small = {1, 0, 0, 0, 0, 10, 8, 4, {}};
  Bytes s(16 + 56 + 8);
  ASSERT_EQ(proto::encode_update_chunk(&small, view(four), slice(s)), s.size());
  EXPECT_EQ(proto::decode_update_chunk(view(s), &back), proto::bad_content);
  // No binary: flag 1 with all sizes 0 and no rows.
  proto::UpdateChunk none = {1, 1, 0, 1, 82, 0, 0, 0, {}};
  Bytes n(16 + 56);
  ASSERT_EQ(proto::encode_update_chunk(&none, mem::Bytes(), slice(n)), n.size());
  EXPECT_EQ(proto::decode_update_chunk(view(n), &back), proto::ok);
  // The encoder refuses a chunk above 16,384 bytes or longer than its data.
  Bytes large(16385);
  none.flag = 0, none.length = 16385, none.total = 16385;
  Bytes room(16 + 56 + 16392);
  EXPECT_EQ(proto::encode_update_chunk(&none, view(large), slice(room)), 0u);
  none.length = 14;
  EXPECT_EQ(proto::encode_update_chunk(&none, view(data), slice(room)), 0u);
}

}  // namespace
