#include "wire/hub_wire.h"

#include "base/bits.h"

namespace hub {

u16 parse_port(mem::Bytes text) {
  if (text.len < 1 || text.len > 5) return 0;
  u32 value = 0;
  for (u64 i = 0; i < text.len; ++i) {
    u8 c = text.ptr[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 0xFFFF ? static_cast<u16>(value) : 0;
}

namespace {

constexpr u32 full_share = 10000;
// Below this much video memory of its own a GPU that also has shared memory is taken to work from the shared.
constexpr u32 integrated_mib = 512;

using bits::add_sat32;

u32 sum_sat(const u32* values, u32 count) {
  u32 sum = 0;
  for (u32 i = 0; i < count; ++i) sum = add_sat32(sum, values[i]);
  return sum;
}

// used of total as a share of 10,000, capped; 0 for an unknown total.
u16 share_of(u32 used, u32 total) {
  if (total == 0) return 0;
  return static_cast<u16>(bits::min32(u64{used} * full_share / total, full_share));
}

// A percentage field is checked by every summary reader, so a stray value is held at 100 % here.
u16 percent(u32 hundredths) { return static_cast<u16>(bits::min32(hundredths, full_share)); }

u32 shared_gpus(const SummaryInputs* in, u32 gpus) {
  if (gpus == 0) return 0;
  for (u32 i = 0; i < gpus; ++i) {
    if (in->dedicated_mib[i] > integrated_mib || in->shared_mib[i] == 0) return 0;
  }
  return 1;
}

void video_memory(const ring::Row* sample, const SummaryInputs* in, proto::Summary* out) {
  u32 gpus = bits::min32(in->gpu_count, 4);
  out->shared_video = static_cast<u8>(shared_gpus(in, gpus));
  if (out->shared_video) {
    out->video_used = sum_sat(sample->gpu_shared_mib, gpus);
    out->video_total = 0;
    for (u32 i = 0; i < gpus; ++i) out->video_total = bits::max32(out->video_total, in->shared_mib[i]);
  } else {
    out->video_used = sum_sat(sample->gpu_dedicated_mib, gpus);
    out->video_total = sum_sat(in->dedicated_mib, gpus);
  }
  out->video = share_of(out->video_used, out->video_total);
}

}  // namespace

SummaryInputs summary_inputs(const proto::Inventory* inventory) {
  SummaryInputs in = {};
  in.inventory_flags = inventory->hw_flags != 0;
  in.system_kind = inventory->os_value != 0 ? inventory->os_value : inventory->os_family;
  in.logical_processors = inventory->hw16[1];
  in.memory_total_mib = inventory->hw32[0];
  in.gpu_count = inventory->gpu_count;
  for (u32 i = 0; i < 4; ++i) {
    in.dedicated_mib[i] = inventory->gpu_dedicated[i];
    in.shared_mib[i] = inventory->gpu_shared[i];
  }
  return in;
}

proto::Summary summary_row(const ring::Row* sample, u32 state, const SummaryInputs* inputs) {
  proto::Summary s = {};
  s.stamp = sample->seconds;
  s.state = static_cast<u8>(state & (state_stale | state_offline));
  s.flags = static_cast<u8>((inputs->inventory_flags != 0) | (sample->core_saturated != 0) << 1);
  s.value = inputs->logical_processors;
  s.cpu = percent(sample->load);
  s.kernel = percent(sample->kernel);
  s.memory = share_of(sample->memory_mib, inputs->memory_total_mib);
  u32 busiest = 0;
  for (u8 busy : sample->disk_busy) busiest = bits::max32(busiest, busy);
  s.disk = percent(busiest * 50);
  u32 gpu = 0;
  for (u16 load : sample->gpu_load) gpu = bits::max32(gpu, load);
  s.gpu = percent(gpu);
  s.processes = sample->processes;
  s.os = inputs->system_kind;
  s.memory_used = sample->memory_mib;
  s.memory_total = inputs->memory_total_mib;
  video_memory(sample, inputs, &s);
  s.disk_read = sum_sat(sample->disk_read, 16);
  s.disk_write = sum_sat(sample->disk_write, 16);
  s.receive = sum_sat(sample->receive, 8);
  s.send = sum_sat(sample->send, 8);
  s.threads = sample->threads;
  s.power_flags = sample->power_flags & 0x3F;
  s.power = (sample->power_flags & 15) != 0 ? sample->power : 0;
  return s;
}

}  // namespace hub
