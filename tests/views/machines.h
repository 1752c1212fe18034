#pragma once
// Five machines built from machine records for the view tests: a desktop, a laptop on battery with an integrated
// GPU, a 64-core server, a small machine without GPU and a workstation with four GPUs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/words.h"
#include "sampling/hw.h"
#include "sampling/machine.h"
#include "views/views.h"

namespace fixtures {

using machine::Machine;

struct Spec {
  const char* name;
  u32 cpus, disks, nics, gpus;
  u32 dedicated, shared;
  u8 classes;
  u8 power_flags;  // 0: no power reading
};

constexpr u8 engines4 = 0x1E, engines5 = 0x3E;

const Spec desktop{"desktop", 16, 2, 1, 1, 8192, 16384, engines4, 0};
const Spec laptop{"laptop", 8, 1, 2, 1, 128, 8000, engines5, 0x18};
const Spec server{"server", 64, 4, 2, 0, 0, 0, 0, 0x03};
const Spec small{"no GPU", 4, 1, 1, 0, 0, 0, 0, 0};
const Spec gpus4{"4 GPUs", 32, 2, 1, 4, 24576, 32768, engines5, 0};

inline void name(Machine* m, u32 slot, const std::string& text) {
  machine::set_name(m, slot, reinterpret_cast<const u8*>(text.data()), text.size());
}

inline ring::Row row_of(const Spec& s, u32 i) {
  ring::Row r{};
  r.seconds = i;
  r.load = 3700;
  r.kernel = 900;
  r.clock_mhz = 3400;
  r.memory_mib = 12288;
  r.commit_mib = 20480;
  r.modified_mib = 100;
  r.standby_mib = 4000;
  r.power = static_cast<u16>(s.power_flags ? 125 + i % 3 : 0);
  r.power_flags = s.power_flags;
  for (u32 c = 0; c < 64; ++c) r.core_load[c] = static_cast<u8>(c < s.cpus ? 40 + c : 0);
  for (u32 d = 0; d < 16; ++d) {
    r.disk_read[d] = 3000;
    r.disk_write[d] = 2000;
    r.disk_busy[d] = 30;
  }
  r.send[0] = 100;
  r.receive[0] = 5000;
  for (u32 g = 0; g < 4; ++g) {
    r.gpu_load[g] = 2500;
    r.gpu_engines[g][0] = 50;
    r.gpu_dedicated_mib[g] = 2048;
    r.gpu_shared_mib[g] = 300;
  }
  return r;
}

inline std::unique_ptr<Machine> make(const Spec& s, u32 rows = 70) {
  auto m = std::make_unique<Machine>();
  machine::init(m.get());
  machine::set_counts(m.get(), s.cpus, s.disks, s.nics);
  machine::set_gpu(m.get(), s.gpus, s.dedicated, s.shared, s.classes);
  m->memory_total = 32768;
  m->commit_limit = 40960;
  for (u32 d = 0; d < s.disks; ++d) {
    name(m.get(), machine::slot_disks + d, "Disk " + std::to_string(d) + " (/)");
    m->disk_capacity[d] = 953869;
  }
  name(m.get(), machine::slot_drive_models, "Samsung SSD 980");
  hw::plane_set(m->details.media, 2, 0, hw::media_ssd);
  hw::plane_set(m->details.bus, 3, 0, hw::bus_nvme);
  for (u32 a = 0; a < s.nics; ++a) name(m.get(), machine::slot_nics + a, "eth" + std::to_string(a));
  for (u32 g = 0; g < s.gpus; ++g) name(m.get(), machine::slot_gpus + g, "Radeon " + std::to_string(g));
  for (u32 i = 0; i < rows; ++i) {
    ring::Row r = row_of(s, i);
    machine::push(m.get(), &r);
  }
  return m;
}

struct State {
  std::unique_ptr<views::ViewState> s = std::make_unique<views::ViewState>();
  State() { views::init(s.get()); }
  ~State() { mem::release(&s->sheet_arena); }
  views::ViewState* operator->() { return s.get(); }
  views::ViewState* get() { return s.get(); }
};

inline std::string str(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }
inline std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

}  // namespace fixtures
