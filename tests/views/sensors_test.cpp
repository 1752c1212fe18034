// The Sensors page's rows: one per CPU, GPU, disk and further sensor with names bounded to their record, the value
// texts and colours, and the page's height that the shell scrolls by.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sampling/heat.h"
#include "tests/views/machines.h"
#include "views/sensors.h"

namespace {

using namespace fixtures;

void put_sensor(Machine* m, u32 i, const std::string& name, i16 value) {
  std::memset(m->temps.name[i], 0, heat::name_bytes);
  std::memcpy(m->temps.name[i], name.data(), std::min<size_t>(name.size(), heat::name_bytes));
  m->temps.sensor[i] = value;
}

sensors::Row row_of(bool present, u32 kind, i32 value, bool fixed) {
  sensors::Row r{};
  r.present = present;
  r.kind = kind;
  r.value = value;
  r.fixed = fixed;
  return r;
}

std::string value_of(const sensors::Row& row, u32* colour) {
  words::Text t{};
  *colour = sensors::value_text(row, &t);
  return str(t);
}

// Three GPUs, two disks and ten further sensors: CPU + 3 + 2 + the first 8 sensors, in that order.
TEST(Sensors, RowsInOrderAndThePageHeight) {
  const Spec three_gpus{"3 GPUs", 8, 2, 1, 3, 8192, 16384, engines4, 0};
  auto m = make(three_gpus);
  m->temps.cpu_kind = 2;
  m->temps.cpu = 612;
  m->temps.gpu_mask = 0x5;  // GPU 1 reports none
  m->temps.gpu[0] = 455;
  m->temps.gpu[2] = 905;
  m->temps.disk_mask = 0x2;
  m->temps.disk[1] = 381;
  m->temps.named = 10;
  for (u32 i = 0; i < heat::sensors; ++i) put_sensor(m.get(), i, "acpitz " + std::to_string(i), 270);
  m->temps.frozen_mask = 0x4;

  ASSERT_EQ(sensors::row_count(*m), 14u);
  EXPECT_EQ(sensors::extra_height(7, *m), 632);
  EXPECT_EQ(sensors::extra_height(0, *m), 0);

  const struct {
    u32 row;
    const char* name;
    bool present;
    u32 kind;
    i32 value;
    bool fixed;
  } rows[] = {
      {0, "CPU (hottest core)", true, 0, 612, false}, {1, "Radeon 0", true, 1, 455, false},
      {2, "Radeon 1", false, 1, 0, false},            {3, "Radeon 2", true, 1, 905, false},
      {4, "Disk 0 (/)", false, 2, 0, false},          {5, "Disk 1 (/)", true, 2, 381, false},
      {6, "acpitz 0", true, 3, 270, false},           {8, "acpitz 2", true, 3, 270, true},
      {13, "acpitz 7", true, 3, 270, false},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.row);
    sensors::Row r;
    ASSERT_TRUE(sensors::row_at(*m, c.row, &r));
    EXPECT_EQ(str(r.name), c.name);
    EXPECT_EQ(r.present, c.present);
    EXPECT_EQ(r.kind, c.kind);
    if (c.present) {
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(r.fixed, c.fixed);
  }
  sensors::Row r;
  EXPECT_FALSE(sensors::row_at(*m, 14, &r)) << "the 9th and 10th sensors are not shown";
  name(m.get(), machine::slot_gpus + 1, "");
  ASSERT_TRUE(sensors::row_at(*m, 2, &r));
  EXPECT_EQ(str(r.name), "GPU 1") << "a GPU without a name reads as the rail calls it";
}

// The CPU row's name by its source, and the note when there is none.
TEST(Sensors, CpuRowBySource) {
  auto m = make(small);
  const struct {
    u8 source;
    const char* name;
    bool note;
  } cases[] = {{0, "CPU", true}, {1, "CPU", false}, {2, "CPU (hottest core)", false}, {3, "CPU (SoC)", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.source));
    m->temps.cpu_kind = c.source;
    sensors::Row r;
    ASSERT_TRUE(sensors::row_at(*m, 0, &r));
    EXPECT_EQ(str(r.name), c.name);
    EXPECT_EQ(r.present, !c.note);
    EXPECT_EQ(sensors::note_shown(*m), c.note);
  }
}

// Values in their heat colour with the fixed-value remark; a missing reading in grey.
TEST(Sensors, ValueTextsAndColours) {
  u32 colour = 0;
  EXPECT_EQ(value_of(row_of(true, 0, 455, false), &colour), "45.5 \xC2\xB0" "C");
  EXPECT_EQ(colour, 0xE8E8E8u);
  EXPECT_EQ(value_of(row_of(true, 3, 1000, true), &colour),
            "100.0 \xC2\xB0" "C  (fixed value, likely not a real sensor)");
  EXPECT_NE(colour, 0xE8E8E8u) << "hot";
  EXPECT_EQ(value_of(row_of(false, 2, 381, false), &colour), "not available on this machine");
  EXPECT_EQ(colour, 0x707070u);
}

// A sensor's name is read within its 24 bytes and never ends inside a character.
TEST(Sensors, NamesStayInsideTheirRecord) {
  auto m = make(small);
  m->temps.named = 3;
  std::memset(m->temps.name[0], 'x', heat::name_bytes);  // no terminating NUL
  put_sensor(m.get(), 1, std::string(22, 'a') + "\xC3\xA9", 300);           // 24 bytes, a whole character at the end
  put_sensor(m.get(), 2, std::string(22, 'b') + "\xE2\x82\xAC", 300);       // the euro sign cut after 2 of 3 bytes
  EXPECT_EQ(str(sensors::sensor_name(*m, 0)), std::string(24, 'x'));
  EXPECT_EQ(str(sensors::sensor_name(*m, 1)), std::string(22, 'a') + "\xC3\xA9");
  EXPECT_EQ(str(sensors::sensor_name(*m, 2)), std::string(22, 'b'));
  EXPECT_EQ(sensors::sensor_name(*m, 8).len, 0u);
}

TEST(Sensors, LabelColumn) {
  const struct {
    i32 width, label;
  } cases[] = {{1280, 260}, {918, 260}, {700, 172}, {640, 148}};
  for (const auto& c : cases) EXPECT_EQ(sensors::label_width(c.width), c.label) << c.width;
}

}  // namespace
