// The machine summary: every field at its wire offset from a filled sample row, the two ways of counting video
// memory, saturating sums and capped shares, and what the summary takes of an inventory.
#include <gtest/gtest.h>

#include "host/hub.h"

namespace {

u32 get32(const u8* b, u32 at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<u32>(b[at + 3]) << 24; }
u32 get16(const u8* b, u32 at) { return b[at] | b[at + 1] << 8; }

ring::Row sample_row() {
  ring::Row r = {};
  r.seconds = 0xA1B2C3D4;
  r.load = 4321;
  r.processes = 312;
  r.threads = 4567;
  r.memory_mib = 6000;
  r.power = 215;
  r.power_flags = 0xC3;  // a source bit, and the two bits above the six kept
  r.core_saturated = u64{1} << 40;
  for (u32 i = 0; i < 16; ++i) {
    r.disk_read[i] = 100 + i;
    r.disk_write[i] = 200 + i;
    r.disk_busy[i] = static_cast<u8>(i * 3);
  }
  for (u32 i = 0; i < 8; ++i) {
    r.receive[i] = 10 * i;
    r.send[i] = 1000 + i;
  }
  r.gpu_load[0] = 500;
  r.gpu_load[3] = 7000;  // past the GPU count still counts: the sample decides what is busy
  r.kernel = 1234;
  for (u32 i = 0; i < 4; ++i) {
    r.gpu_dedicated_mib[i] = 1000 * (i + 1);
    r.gpu_shared_mib[i] = 10 * (i + 1);
  }
  return r;
}

hub::SummaryInputs discrete_inputs() {
  hub::SummaryInputs in = {};
  in.inventory_flags = 1;
  in.system_kind = 2;
  in.logical_processors = 24;
  in.memory_total_mib = 16000;
  in.gpu_count = 2;
  in.dedicated_mib[0] = 8192;
  in.dedicated_mib[1] = 4096;
  in.shared_mib[0] = 8000;
  in.shared_mib[1] = 8000;
  return in;
}

TEST(Summary, EveryFieldAtItsOffset) {
  ring::Row row = sample_row();
  hub::SummaryInputs in = discrete_inputs();
  proto::Summary s = hub::summary_row(&row, hub::state_stale, &in);
  u8 b[64];
  proto::put_summary(mem::Slice{b, 64}, 0, &s);
  EXPECT_EQ(proto::summary_bad(mem::Bytes(b, 64), 0), 0u);
  EXPECT_EQ(get32(b, 0), 0xA1B2C3D4u);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[5], 3);
  EXPECT_EQ(get16(b, 6), 24u);
  EXPECT_EQ(get16(b, 8), 4321u);
  EXPECT_EQ(get16(b, 10), 1234u);
  EXPECT_EQ(get16(b, 12), 3750u);          // 6000 of 16000
  EXPECT_EQ(get16(b, 14), 45u * 50);       // the busiest disk, 45 half-percent steps
  EXPECT_EQ(get16(b, 16), 7000u);
  EXPECT_EQ(get16(b, 18), 3000u * 10000 / 12288);  // 1000 + 2000 of 8192 + 4096
  EXPECT_EQ(get16(b, 20), 312u);
  EXPECT_EQ(b[22], 0);
  EXPECT_EQ(b[23], 2);
  EXPECT_EQ(get32(b, 24), 6000u);
  EXPECT_EQ(get32(b, 28), 16000u);
  EXPECT_EQ(get32(b, 32), 3000u);
  EXPECT_EQ(get32(b, 36), 12288u);
  EXPECT_EQ(get32(b, 40), 16u * 100 + 120);
  EXPECT_EQ(get32(b, 44), 16u * 200 + 120);
  EXPECT_EQ(get32(b, 48), 280u);
  EXPECT_EQ(get32(b, 52), 8028u);
  EXPECT_EQ(get32(b, 56), 4567u);
  EXPECT_EQ(get16(b, 60), 215u);
  EXPECT_EQ(b[62], 0x03);
  EXPECT_EQ(b[63], 0);
}

TEST(Summary, VideoMemoryIsSharedOnlyWhenEveryGpuWorksFromShared) {
  ring::Row row = sample_row();
  struct Case {
    u32 gpus;
    u32 dedicated[4], shared[4];
    u8 shared_video;
    u32 used, total;
  } cases[] = {
      // Two small GPUs with shared memory: the sample's shared figures and the largest shared total.
      {2, {512, 128}, {8000, 6000}, 1, 10 + 20, 8000},
      // One GPU above 512 MiB of its own: dedicated figures.
      {2, {512, 1024}, {8000, 6000}, 0, 1000 + 2000, 1536},
      // A GPU without shared memory: dedicated figures.
      {2, {256, 256}, {8000, 0}, 0, 3000, 512},
      // No GPU: nothing, and no share.
      {0, {128}, {8000}, 0, 0, 0},
      // A count above four reads four.
      {9, {100, 100, 100, 100}, {50, 60, 70, 40}, 1, 100, 70},
  };
  for (const Case& c : cases) {
    hub::SummaryInputs in = discrete_inputs();
    in.gpu_count = c.gpus;
    for (u32 i = 0; i < 4; ++i) {
      in.dedicated_mib[i] = c.dedicated[i];
      in.shared_mib[i] = c.shared[i];
    }
    proto::Summary s = hub::summary_row(&row, 0, &in);
    EXPECT_EQ(s.shared_video, c.shared_video) << c.gpus << " " << c.dedicated[1];
    EXPECT_EQ(s.video_used, c.used) << c.dedicated[1];
    EXPECT_EQ(s.video_total, c.total) << c.dedicated[1];
    EXPECT_EQ(s.video, c.total ? static_cast<u16>(std::min<u64>(u64{c.used} * 10000 / c.total, 10000)) : 0);
  }
}

TEST(Summary, SumsSaturateAndSharesStayWithinTheirRange) {
  ring::Row row = sample_row();
  for (u32 i = 0; i < 16; ++i) row.disk_read[i] = 0x20000000;
  row.receive[3] = 0xFFFFFFF0;
  row.memory_mib = 20000;  // more in use than the total
  row.load = 12000;        // held at 100 % so that every reader accepts the summary
  row.kernel = 65535;
  row.gpu_load[1] = 10001;
  row.power_flags = 0x10;  // battery state only: no power source, so no power figure
  hub::SummaryInputs in = discrete_inputs();
  in.dedicated_mib[0] = 0xFFFFFFFF;
  in.dedicated_mib[1] = 0xFFFFFFFF;
  proto::Summary s = hub::summary_row(&row, hub::state_offline | 4, &in);
  EXPECT_EQ(s.disk_read, 0xFFFFFFFFu);
  EXPECT_EQ(s.receive, 0xFFFFFFFFu);
  EXPECT_EQ(s.video_total, 0xFFFFFFFFu);
  EXPECT_EQ(s.memory, 10000);
  EXPECT_EQ(s.cpu, 10000);
  EXPECT_EQ(s.kernel, 10000);
  EXPECT_EQ(s.gpu, 10000);
  EXPECT_EQ(s.state, hub::state_offline);
  EXPECT_EQ(s.power, 0);
  EXPECT_EQ(s.power_flags, 0x10);
  u8 b[64];
  proto::put_summary(mem::Slice{b, 64}, 0, &s);
  EXPECT_EQ(proto::summary_bad(mem::Bytes(b, 64), 0), 0u);

  in.memory_total_mib = 0;
  row.core_saturated = 0;
  in.inventory_flags = 0;
  s = hub::summary_row(&row, 0, &in);
  EXPECT_EQ(s.memory, 0);  // no total: no share
  EXPECT_EQ(s.flags, 0);
}

TEST(Summary, InputsFromAnInventory) {
  proto::Inventory inv = {};
  inv.hw_flags = 4;
  inv.hw32[0] = 32768;
  inv.hw16[1] = 16;
  inv.gpu_count = 1;
  inv.os_family = 1;
  inv.gpu_dedicated[0] = 256;
  inv.gpu_shared[0] = 16000;
  hub::SummaryInputs in = hub::summary_inputs(&inv);
  EXPECT_EQ(in.inventory_flags, 1u);
  EXPECT_EQ(in.system_kind, 1);
  EXPECT_EQ(in.logical_processors, 16);
  EXPECT_EQ(in.memory_total_mib, 32768u);
  EXPECT_EQ(in.gpu_count, 1u);
  ring::Row row = sample_row();
  proto::Summary s = hub::summary_row(&row, 0, &in);
  EXPECT_EQ(s.shared_video, 1);
  EXPECT_EQ(s.video_used, 10u);
  EXPECT_EQ(s.video_total, 16000u);

  inv.os_value = 4;  // the finer value wins when there is one
  inv.hw_flags = 0;
  in = hub::summary_inputs(&inv);
  EXPECT_EQ(in.system_kind, 4);
  EXPECT_EQ(in.inventory_flags, 0u);
}

}  // namespace
