// The collector on this machine: one system sample, and one process sample with about 1,000 processes (sleeping
// children are started to reach that count); and the graphics engine rows of a busy desktop's counter array. On the
// laptop fixture (a battery, two thermal zones, energy counters): a system sample and its battery block.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "sampling/collect.h"
#include "platform/power.h"
#include "sampling/gpu.h"
#include "tests/sampling/builders.h"

namespace {

u32 process_count() {
  u32 n = 0;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
  closedir(d);
  return n;
}

// Sleeping programs, ended and reaped when the object goes.
struct Children {
  std::vector<pid_t> pids;
  explicit Children(u32 target) {
    u32 now = process_count();
    char sleep[] = "sleep", forever[] = "infinity";
    char* argv[] = {sleep, forever, nullptr};
    while (now + pids.size() < target) {
      pid_t pid = 0;
      if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) break;
      pids.push_back(pid);
    }
  }
  ~Children() {
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  }
};

void BM_SystemSample(benchmark::State& state) {
  auto s = std::make_unique<collect::State>();
  auto sample = std::make_unique<collect::Sample>();
  collect::open(s.get(), 10000);
  for (auto _ : state) {
    benchmark::DoNotOptimize(collect::sample(s.get(), sample.get()));
  }
  collect::close(s.get());
}
BENCHMARK(BM_SystemSample)->Unit(benchmark::kMicrosecond);

const char* laptop() { return VIMBREL_FIXTURES "/sampling/laptop"; }

void BM_SystemSampleLaptop(benchmark::State& state) {
  auto s = std::make_unique<collect::State>();
  auto sample = std::make_unique<collect::Sample>();
  collect::open_at(s.get(), 10000, mem::Bytes(reinterpret_cast<const u8*>(laptop()), __builtin_strlen(laptop())));
  for (auto _ : state) {
    benchmark::DoNotOptimize(collect::sample(s.get(), sample.get()));
  }
  collect::close(s.get());
}
BENCHMARK(BM_SystemSampleLaptop)->Unit(benchmark::kMicrosecond);

// Samples 1 s apart (zones read every fifth time), or 5 s apart (zones read every time).
void BM_BatteryBlock(benchmark::State& state) {
  sysinfo::Reader* r = sysinfo::open(mem::Bytes(reinterpret_cast<const u8*>(laptop()), __builtin_strlen(laptop())));
  sysrec::BatteryBlock block;
  u64 now = 0;
  for (auto _ : state) {
    power::battery_block(r, now += static_cast<u64>(state.range(0)), &block);
    benchmark::DoNotOptimize(block.zones);
  }
  sysinfo::close(r);
}
BENCHMARK(BM_BatteryBlock)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// This process's processor time in seconds.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One pass as top makes it: the proc folder listed, and each process's stat, statm and status opened, read and
// closed. The bytes read, so that the reads stay.
u64 top_like_pass() {
  u64 bytes = 0;
  DIR* d = opendir("/proc");
  if (!d) return 0;
  char buffer[4096];
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    for (const char* leaf : {"stat", "statm", "status"}) {
      char path[64];
      snprintf(path, sizeof path, "/proc/%s/%s", e->d_name, leaf);
      int fd = open(path, O_RDONLY);
      if (fd < 0) continue;
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) bytes += static_cast<u64>(n);
      close(fd);
    }
  }
  closedir(d);
  return bytes;
}

void BM_ProcessSample(benchmark::State& state) {
  Children children(static_cast<u32>(state.range(0)));
  auto s = std::make_unique<collect::State>();
  auto procs = std::make_unique<collect::ProcSample>();
  *procs = collect::ProcSample{};
  collect::open(s.get(), 10000);
  collect::sample_procs(s.get(), procs.get());
  u32 count = process_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(collect::sample_procs(s.get(), procs.get()));
  }
  state.counters["processes"] = count;
  // Seconds per 1,000 processes.
  state.counters["per_1000"] = benchmark::Counter(
      count / 1000.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  // What top reads of every process in a refresh (stat, statm and status, each opened, read and closed), timed the
  // same number of times right after with the same processes: the machine's load at this moment falls on both.
  // Both in processor time, as the benchmark's rate counters count it.
  const u64 passes = state.iterations();
  const double start = cpu_seconds();
  for (u64 i = 0; i < passes; ++i) benchmark::DoNotOptimize(top_like_pass());
  const double seconds = cpu_seconds() - start;
  state.counters["top_like_per_1000"] = passes ? seconds / static_cast<double>(passes) / (count / 1000.0) : 0;
  collect::buffer_fit(&procs->buffer, 0);
  collect::close(s.get());
}
BENCHMARK(BM_ProcessSample)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// A steady sample of n engine instances (every name seen the sample before): one hash, one lookup and one store each.
void BM_GpuEngines(benchmark::State& state) {
  std::vector<build::Item> items;
  for (u32 i = 0; i < static_cast<u32>(state.range(0)); ++i) {
    build::Item it{"pid_" + std::to_string(1000 + i / 8) + "_luid_0x00000000_0x0000D1F0_phys_0_eng_" +
                   std::to_string(i % 8) + "_engtype_3D"};
    it.value = i;
    it.second = 1000;
    items.push_back(it);
  }
  std::vector<u8> array = build::counter_array(items, true);
  auto table = std::make_unique<gpu::InstanceTable>();
  auto section = std::make_unique<gpu::Section>();
  *table = gpu::InstanceTable{};
  for (auto _ : state) {
    gpu::table_reset(table.get());
    section->engine_rows = 0;
    gpu::build(2, true, array.data(), static_cast<u32>(array.size()), build::base_address,
               static_cast<u32>(items.size()), table.get(), section.get());
    benchmark::DoNotOptimize(section->engine_rows);
  }
  state.counters["parsed"] = table->parsed;
}
BENCHMARK(BM_GpuEngines)->Arg(2000)->Arg(9000)->Unit(benchmark::kMicrosecond);

}  // namespace

