// The collector on this machine: one system sample, and one process sample with about 1,000 processes (sleeping
// children are started to reach that count).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "sampling/collect.h"

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
  collect::buffer_fit(&procs->buffer, 0);
  collect::close(s.get());
}
BENCHMARK(BM_ProcessSample)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
