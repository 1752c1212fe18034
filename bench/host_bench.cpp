// The host's own cost when there is little to do: `vimbrel --host` on a temporary folder with one real agent
// publishing to it over loopback, each with its own settings folders, and no viewer. After 10 s of start-up the
// host's processor time (the scheduler's count of every thread, with utime+stime beside it) is taken over
// VIMBREL_HOST_SECONDS (default 30 s), in milliseconds of CPU per second, with top -b -d 1's over the same seconds.
// VIMBREL_HOST_EXE runs another build of the program as the host (to compare with an earlier version).
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/procstat.h"

namespace {

// A loopback port nobody listens on at this moment.
int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

void end(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

void BM_HostIdleWithOneAgent(benchmark::State& state) {
  const char* given = getenv("VIMBREL_HOST_SECONDS");
  const int seconds = given ? atoi(given) : 30;
  const char* other = getenv("VIMBREL_HOST_EXE");
  const std::string host_exe = other ? other : VIMBREL_EXE;
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-host-bench-XXXXXX").string();
  const std::string root = mkdtemp(pattern.data());
  const std::string port = std::to_string(free_port());
  for (auto _ : state) {
    pid_t host = procstat::spawn(
        {host_exe, "--host", root + "/share", "--port", port, "--listen", "127.0.0.1"}, procstat::cluster_home(root + "/host"));
    pid_t agent = procstat::spawn({VIMBREL_EXE, "--agent", "--server", "127.0.0.1:" + port}, procstat::cluster_home(root + "/agent"));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    if (waitpid(host, nullptr, WNOHANG) != 0 || waitpid(agent, nullptr, WNOHANG) != 0) {
      state.SkipWithError("the host or the agent ended");
      end(agent);
      end(host);
      break;
    }
    // top -b -d 1 over the same seconds: the machine's load falls on both, so their ratio is what a run can compare.
    pid_t top = procstat::spawn({"/usr/bin/top", "-b", "-d", "1"}, {"PATH=/usr/bin:/bin", "TERM=dumb"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double before = procstat::run_seconds(host), top_before = procstat::run_seconds(top);
    const double stat_before = procstat::cpu_seconds(host);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double span = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["host_ms_per_s"] = 1000 * (procstat::run_seconds(host) - before) / span;
    state.counters["host_stat_ms_per_s"] = 1000 * (procstat::cpu_seconds(host) - stat_before) / span;
    state.counters["top_ms_per_s"] = 1000 * (procstat::run_seconds(top) - top_before) / span;
    state.counters["host_rss_kib"] = static_cast<double>(procstat::rss_kib(host));
    end(top);
    end(agent);
    end(host);
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_HostIdleWithOneAgent)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
