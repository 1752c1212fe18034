// The agent's footprint while it publishes this machine: its own processor time and that of its collector child,
// beside `top -d 1` running over the same seconds, their resident memory, and the bytes per second the host
// receives. The agent runs as a user runs it, against a test host on loopback, with its own settings folders.
// VIMBREL_AGENT_SECONDS sets the measured span (default 60 s, after 5 s of start-up).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/procstat.h"
#include "tests/cluster/link_host.h"

namespace {

using procstat::cpu_seconds;
using procstat::first_child;
using procstat::rss_kib;
using procstat::spawn;

void BM_AgentPublishing(benchmark::State& state) {
  const char* given = getenv("VIMBREL_AGENT_SECONDS");
  const int seconds = given ? atoi(given) : 60;
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-agent-bench-XXXXXX").string();
  std::string home = mkdtemp(pattern.data());
  const std::vector<std::string> env = procstat::cluster_home(home);
  for (auto _ : state) {
    link_host::SocketHost host;
    u8 k[32];
    for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>((i % 16) * 0x11);
    auth::key_init(&host.host.key, mem::Bytes(k, 32));
    pid_t agent = spawn({VIMBREL_EXE, "--agent", "--server", "127.0.0.1:" + std::to_string(host.port)}, env);
    double procs_bytes = 0;
    auto serve_for = [&](double span, double* bytes) {
      auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(span);
      while (std::chrono::steady_clock::now() < end) {
        host.serve();
        for (auto& f : host.host.frames) {
          *bytes += static_cast<double>(f.size() + 16);
          if (proto::frame_kind(mem::Bytes(f.data(), f.size())) == proto::kind_procs) {
            procs_bytes += static_cast<double>(f.size() + 16);
          }
        }
        host.host.frames.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    double warm = 0, bytes = 0;
    serve_for(5, &warm);
    procs_bytes = 0;
    pid_t collector = first_child(agent);
    pid_t top = spawn({"/usr/bin/top", "-d", "1", "-b", "-n", std::to_string(seconds + 1)}, env);
    double agent0 = cpu_seconds(agent), collector0 = collector ? cpu_seconds(collector) : 0, top0 = cpu_seconds(top);
    serve_for(seconds, &bytes);
    state.counters["agent_cpu_pct"] = 100 * (cpu_seconds(agent) - agent0) / seconds;
    state.counters["collector_cpu_pct"] = collector ? 100 * (cpu_seconds(collector) - collector0) / seconds : 0;
    state.counters["top_cpu_pct"] = 100 * (cpu_seconds(top) - top0) / seconds;
    state.counters["agent_rss_kib"] = static_cast<double>(rss_kib(agent));
    state.counters["collector_rss_kib"] = collector ? static_cast<double>(rss_kib(collector)) : 0;
    state.counters["bytes_per_s"] = bytes / seconds;
    state.counters["procs_bytes_per_s"] = procs_bytes / seconds;
    kill(top, SIGKILL);
    waitpid(top, nullptr, 0);
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
  }
  std::filesystem::remove_all(home);
}
BENCHMARK(BM_AgentPublishing)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
