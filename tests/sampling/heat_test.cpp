#include "sampling/heat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/sysrec.h"
#include "tests/sampling/builders.h"

namespace {

std::string name_of(const u8* n) { return std::string(reinterpret_cast<const char*>(n), strnlen((const char*)n, 24)); }

TEST(Heat, ConversionsAndPlausibility) {
  EXPECT_EQ(heat::deci_of_kelvin(300), 269);
  EXPECT_EQ(heat::deci_of_kelvin(273), -1);
  // Far beyond i16 when computed literally; saturates instead of wrapping into a plausible reading.
  for (u32 k : {3550u, 4000u, 32766u, 32767u, 65535u}) {
    EXPECT_EQ(heat::deci_of_kelvin(k), 32767) << k;
    EXPECT_FALSE(heat::usable(heat::deci_of_kelvin(k), true));
  }
  u8 log[4] = {0, 0x2C, 0x01, 0};  // 300 K
  EXPECT_EQ(heat::from_health(mem::Bytes(log, 4)), 269);
  EXPECT_EQ(heat::from_health(mem::Bytes(log, 2)), heat::no_reading);
  u8 cold[4] = {0, 0, 0, 0};
  EXPECT_EQ(heat::from_health(mem::Bytes(cold, 4)), heat::no_reading);

  sysrec::StorageTemps s{};
  s.count = 1;
  s.first.temperature = 41;
  mem::Bytes answer(reinterpret_cast<u8*>(&s), sizeof s);
  EXPECT_EQ(heat::from_storage(answer), 410);
  EXPECT_EQ(heat::from_storage(mem::Bytes(answer.ptr, 39)), heat::no_reading);
  s.first.temperature = 5000;
  EXPECT_EQ(heat::from_storage(answer), 32767);
  s.count = 0;
  EXPECT_EQ(heat::from_storage(answer), heat::no_reading);

  EXPECT_EQ(heat::from_adapter(0), heat::no_reading);
  EXPECT_EQ(heat::from_adapter(1500), 1500);
  EXPECT_EQ(heat::from_adapter(1501), heat::no_reading);
  EXPECT_TRUE(heat::usable(-2729, false));
  EXPECT_FALSE(heat::usable(-2730, true));
  EXPECT_FALSE(heat::usable(0, false));
  EXPECT_TRUE(heat::usable(0, true));
  u8 b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(heat::adapter_field(mem::Bytes(b, 8), 4), 0x08070605u);
  EXPECT_EQ(heat::adapter_field(mem::Bytes(b, 8), 5), 0u);
  EXPECT_EQ(heat::le64(mem::Bytes(b, 8), 0), 0x0807060504030201ull);
  EXPECT_EQ(heat::le64(mem::Bytes(b, 7), 0), 0u);
}

// An adapter's performance data record: the temperature is the u32 at byte 56 of its 64 bytes, whatever the fields
// around it hold; a record cut short has none.
TEST(Heat, AdapterPerformanceRecords) {
  struct Case {
    u32 temperature;
    u32 bytes;
    i16 reading;
  } cases[] = {{655, 64, 655}, {1, 64, 1}, {1500, 64, 1500}, {0, 64, heat::no_reading}, {1501, 64, heat::no_reading},
               {0xFFFFFFFF, 64, heat::no_reading}, {655, 63, heat::no_reading}, {655, 0, heat::no_reading}};
  for (const Case& c : cases) {
    u8 record[64];
    memset(record, 0xA5, sizeof record);  // memory clock, bandwidth, fan and power: not the temperature
    for (u32 i = 0; i < 4; ++i) record[56 + i] = static_cast<u8>(c.temperature >> (8 * i));
    EXPECT_EQ(heat::from_perf(mem::Bytes(record, c.bytes)), c.reading) << c.temperature << " " << c.bytes;
  }
}

// The health-log question of the storage property query, and the log taken out of the system's answer: the
// composite temperature of the answer's log is what the drive reads.
TEST(Heat, NvmeHealthLogQuestionAndAnswer) {
  u8 question[600];
  memset(question, 0xEE, sizeof question);
  EXPECT_FALSE(devices::health_request(mem::Slice{question, devices::health_request_bytes - 1}));
  ASSERT_TRUE(devices::health_request(mem::Slice{question, sizeof question}));
  // Property, query type, NVMe, log page, page 2, sub-value, the log's offset and length.
  const u32 fields[8] = {50, 0, 3, 2, 2, 0, 40, 512};
  for (u32 i = 0; i < 8; ++i) {
    u32 v = 0;
    memcpy(&v, question + 4 * i, 4);
    EXPECT_EQ(v, fields[i]) << i;
  }
  for (u32 i = 32; i < 560; ++i) ASSERT_EQ(question[i], 0) << i;
  EXPECT_EQ(question[560], 0xEE);  // nothing past the question

  // An answer as a drive gives it: the descriptor's version and size (48), the protocol data echoed, then the log,
  // whose composite temperature is 0x012C = 300 K.
  u8 answer[560] = {48, 0, 0, 0, 48, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 0, 2};
  const u8 log_head[8] = {0x00, 0x2C, 0x01, 0x64, 0x0A, 0x00, 0x00, 0x00};
  memcpy(answer + devices::health_log_at, log_head, sizeof log_head);
  answer[559] = 0x77;
  struct Case {
    u32 returned, room, answer_bytes, copied;
    i16 reading;
  } cases[] = {{560, 512, 560, 512, 269}, {4096, 512, 560, 512, 269}, {300, 512, 560, 252, 269},
               {52, 512, 560, 4, 269},    {50, 512, 560, 2, heat::no_reading},  {48, 512, 560, 0, heat::no_reading},
               {0, 512, 560, 0, heat::no_reading}, {560, 511, 560, 0, heat::no_reading},
               {560, 512, 100, 52, 269}};
  for (const Case& c : cases) {
    u8 out[512];
    memset(out, 0, sizeof out);
    u32 n = devices::health_log_of(mem::Bytes(answer, c.answer_bytes), c.returned, mem::Slice{out, c.room});
    EXPECT_EQ(n, c.copied) << c.returned << " " << c.room << " " << c.answer_bytes;
    EXPECT_EQ(heat::from_health(mem::Bytes(out, n)), c.reading) << c.returned;
    if (n == 512) {
      EXPECT_EQ(out[511], 0x77);
    }
  }
}

TEST(Heat, LevelsByKind) {
  struct Case { u32 kind; i32 t; u32 level; };
  const Case cases[] = {{0, 799, 0}, {0, 800, 1}, {0, 949, 1}, {0, 950, 2}, {1, 850, 1}, {1, 900, 2},
                        {2, 549, 0}, {2, 560, 1}, {2, 700, 2}, {3, 700, 1}, {9, 900, 2}, {9, 699, 0}};
  for (const Case& c : cases) EXPECT_EQ(heat::level(c.kind, c.t), c.level) << c.kind << " " << c.t;
}

TEST(Heat, SlotsKeepTheLastUsableReading) {
  heat::Readings r{};
  heat::take_gpu(&r, 1, 0xABC, 655);
  heat::take_gpu(&r, 4, 0xDEF, 600);  // beyond the slots: nothing
  EXPECT_EQ(r.gpu_mask, 2);
  EXPECT_EQ(r.gpu[1], 655);
  heat::take_gpu(&r, 1, 0xABC, 9999);
  EXPECT_EQ(r.gpu_mask, 0);
  EXPECT_EQ(r.gpu[1], 655);
  heat::take_disk(&r, 15, 3, 0);
  EXPECT_EQ(r.disk_mask, 0x8000);
  EXPECT_EQ(r.disk_id[15], 3u);
  heat::take_disk(&r, 16, 3, 10);
  EXPECT_EQ(r.disk_mask, 0x8000);
}

TEST(Heat, NamesAreBoundedAndPrintable) {
  u8 out[24];
  heat::put_name(out, mem::lit("ACPI zone"), mem::lit("CPUZ"));
  EXPECT_EQ(name_of(out), "ACPI zone CPUZ");
  heat::put_name(out, mem::lit(""), mem::lit("GPU\x7f"));
  EXPECT_EQ(name_of(out), "GPU?");
  heat::put_name(out, mem::lit("a-very-long-first-part-x"), mem::lit("second"));
  EXPECT_EQ(name_of(out), "a-very-long-first-part-");
  EXPECT_EQ(heat::short_at(mem::lit("\\_TZ.CPUZ")), 5u);
  EXPECT_EQ(heat::short_at(mem::lit("plain")), 0u);
}

TEST(Heat, ThermalZones) {
  std::vector<build::Item> items;
  const i64 values[] = {3731, 2731, 2000, 5000000000ll, 3000, 3100, 3200, 3300, 3400, 3500};
  for (size_t i = 0; i < std::size(values); ++i) {
    items.push_back({"\\_TZ.Z" + std::to_string(i), 0, values[i] & 0xFFFFFFFF});
  }
  items[0].name = "\\_TZ.CPUZ";
  items[4].status = 1;  // new data is not taken from zones
  std::vector<u8> b = build::counter_array(items, false);
  heat::Readings r{};
  heat::zone_decode(build::view(b), build::base_address, static_cast<u32>(items.size()), &r);
  EXPECT_EQ(r.named, 8);
  EXPECT_EQ(name_of(r.name[0]), "ACPI zone CPUZ");
  EXPECT_EQ(r.sensor[0], 1000);
  EXPECT_EQ(r.sensor[1], 0);  // 0.0 degrees is a reading for zones
  EXPECT_EQ(r.sensor[2], -731);
  // The huge value (an i32 of 705,032,704 after the cut) and the new-data item are not taken.
  EXPECT_EQ(name_of(r.name[3]), "ACPI zone Z5");
  EXPECT_EQ(name_of(r.name[7]), "ACPI zone Z9");
  // A name that points outside the array gives no reading.
  std::vector<build::Item> outside = {{"\\_TZ.X", 0, 3000, 0, true}};
  std::vector<u8> o = build::counter_array(outside, false);
  heat::Readings none{};
  heat::zone_decode(build::view(o), build::base_address, 1, &none);
  EXPECT_EQ(none.named, 0);
}

TEST(Heat, TwelveUnchangedTurnsFreeze) {
  heat::Readings prev{}, cur{};
  heat::take_sensor(&prev, mem::lit("ACPI zone"), mem::lit("A"), 400, true);
  heat::take_sensor(&prev, mem::lit("ACPI zone"), mem::lit("B"), 500, true);
  for (int turn = 1; turn <= 12; ++turn) {
    cur = heat::Readings{};
    heat::take_sensor(&cur, mem::lit("ACPI zone"), mem::lit("A"), 400, true);
    heat::take_sensor(&cur, mem::lit("ACPI zone"), mem::lit("B"), turn % 2 ? 501 : 500, true);
    u8 mask = heat::same_turn(&cur, &prev);
    EXPECT_EQ(mask, turn == 12 ? 1 : 0) << turn;
    prev = cur;
  }
  EXPECT_EQ(cur.unchanged[0], 12);
  cur = heat::Readings{};
  heat::take_sensor(&cur, mem::lit("ACPI zone"), mem::lit("A"), 400, true);
  EXPECT_EQ(heat::same_turn(&cur, &prev), 1);  // stays at 12
  EXPECT_EQ(cur.unchanged[1], 0);              // gone this turn
}

TEST(Heat, PlaceMatchesByIdentity) {
  heat::Readings r{};
  r.turn = 7;
  r.cpu_kind = 2;
  r.cpu = 455;
  heat::take_gpu(&r, 0, 0x111, 600);
  heat::take_gpu(&r, 2, 0x222, 700);
  heat::take_gpu(&r, 3, 0x333, 9999);  // unusable: not placed
  heat::take_disk(&r, 0, 5, 350);
  heat::take_disk(&r, 1, 2, 360);
  heat::take_sensor(&r, mem::lit("ACPI zone"), mem::lit("T"), 420, true);
  const u64 luids[] = {0x222, 0x999, 0x111, 0x333};
  const u32 disks[] = {2, 5, 7};
  heat::Block b{};
  heat::place(&b, &r, luids, 4, disks, 3);
  EXPECT_EQ(b.turn, 7u);
  EXPECT_EQ(b.cpu, 455);
  EXPECT_EQ(b.gpu_mask, 0b0101);
  EXPECT_EQ(b.gpu[0], 700);
  EXPECT_EQ(b.gpu[1], 0);
  EXPECT_EQ(b.gpu[2], 600);
  EXPECT_EQ(b.disk_mask, 0b011);
  EXPECT_EQ(b.disk[0], 360);
  EXPECT_EQ(b.disk[1], 350);
  EXPECT_EQ(b.sensor[0], 420);
  EXPECT_EQ(name_of(b.name[0]), "ACPI zone T");
  EXPECT_TRUE(heat::any(&b));
  EXPECT_TRUE(heat::ok(&b));
  EXPECT_TRUE(heat::has_gpu(&b, 2));
  EXPECT_FALSE(heat::has_gpu(&b, 9));
  EXPECT_TRUE(heat::has_disk(&b, 1));
  EXPECT_FALSE(heat::has_disk(&b, 2));
  heat::Block empty{};
  EXPECT_FALSE(heat::any(&empty));
  empty.named = 9;
  EXPECT_FALSE(heat::ok(&empty));
  empty.named = 0;
  empty.cpu_kind = 4;
  EXPECT_FALSE(heat::ok(&empty));
}

}  // namespace
