// The desktop window's footprint, run as the test driver runs it (headless, --test, its own folders): the time from
// start to its first frame, and over a measured span (VIMBREL_WINDOW_SECONDS, default 60 s) the processor time of
// the window and of its collector child with real samples (--live --feed) and one tick and one frame a second,
// beside `top -d 1` over the same seconds, with their resident memory.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/procstat.h"
#include "drawing/draw.h"
#include "platform/section.h"
#include "platform/window.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wm_close = 0x0010, frame_request = 0x8010, tick = 0x8011;

struct Home {
  std::string path;
  std::vector<std::string> env;
  std::string runtime_before;  // this process's runtime folder before, given back at the end
  bool had_runtime = false;
  Home() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-window-bench-XXXXXX").string();
    path = mkdtemp(pattern.data());
    std::filesystem::create_directories(path + "/run");
    std::filesystem::create_directories(path + "/set");
    chmod((path + "/run").c_str(), 0700);
    env = {"HOME=" + path, "XDG_CONFIG_HOME=" + path + "/config", "XDG_DATA_HOME=" + path + "/data",
           "XDG_RUNTIME_DIR=" + path + "/run", "PATH=/usr/bin:/bin"};
    // This process finds the window and its frame record in the same runtime folder, for as long as the home lasts:
    // the benchmarks after it make their own frame records in the folder the process had.
    if (const char* before = getenv("XDG_RUNTIME_DIR")) {
      runtime_before = before;
      had_runtime = true;
    }
    setenv("XDG_RUNTIME_DIR", (path + "/run").c_str(), 1);
  }
  ~Home() {
    if (had_runtime) {
      setenv("XDG_RUNTIME_DIR", runtime_before.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    std::filesystem::remove_all(path);
  }
};

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

struct Window {
  pid_t pid = -1;
  u64 handle = 0;
  section::Section record{};
  u32 requests = 0;

  bool start(const Home& home, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {VIMBREL_EXE, "--test", lato, "--settings", home.path + "/set/settings.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = procstat::spawn(args, home.env);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (handle == 0) {
      for (u64 w = win::find_window(bytes("VimbrelTest"), 0); w != 0; w = win::find_window(bytes("VimbrelTest"), w))
        if (win::process_of(w) == static_cast<u32>(pid)) handle = w;
      if (handle == 0 && Clock::now() > deadline) return false;
      if (handle == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    u8 name[64];
    const u32 n = draw::frame_name(handle, name);
    while (section::open(mem::Bytes(name, n), &record) != section::ok) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  u32 word(u32 offset) const {
    return __atomic_load_n(reinterpret_cast<const u32*>(record.view + offset), __ATOMIC_ACQUIRE);
  }
  bool frame() {
    const u32 number = ++requests;
    if (win::post_remote(handle, frame_request, number, 0) != win::ok) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (word(draw::word_request) != number || word(draw::word_busy) != 0) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }
  void end() {
    if (pid <= 0) return;
    if (handle) win::post_remote(handle, wm_close, 0, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (waitpid(pid, nullptr, WNOHANG) != pid) {
      if (Clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (record.view) section::close(&record);
    pid = -1;
  }
};

void BM_WindowStartToFirstFrame(benchmark::State& state) {
  Home home;
  for (auto _ : state) {
    Window w;
    const auto t0 = Clock::now();
    if (!w.start(home, {}) || !w.frame()) {
      state.SkipWithError("the window did not answer");
      w.end();
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    w.end();
  }
}
BENCHMARK(BM_WindowStartToFirstFrame)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WindowFootprint(benchmark::State& state) {
  const char* given = getenv("VIMBREL_WINDOW_SECONDS");
  const int seconds = given ? atoi(given) : 60;
  Home home;
  for (auto _ : state) {
    Window w;
    if (!w.start(home, {"--live", "--feed"})) {
      state.SkipWithError("the window did not start");
      w.end();
      break;
    }
    // Five seconds of start-up: the collector child's first frames and the process table.
    for (int i = 0; i < 5; ++i) {
      win::post_remote(w.handle, tick, 0, 0);
      w.frame();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const pid_t collector = procstat::first_child(w.pid);
    const pid_t top = procstat::spawn({"/usr/bin/top", "-d", "1", "-b", "-n", std::to_string(seconds + 1)}, home.env);
    const double window0 = procstat::cpu_seconds(w.pid), top0 = procstat::cpu_seconds(top),
                 collector0 = collector ? procstat::cpu_seconds(collector) : 0;
    const auto start = Clock::now();
    for (int i = 0; i < seconds; ++i) {
      win::post_remote(w.handle, tick, 0, 0);
      w.frame();
      std::this_thread::sleep_until(start + std::chrono::seconds(i + 1));
    }
    state.counters["window_cpu_pct"] = 100 * (procstat::cpu_seconds(w.pid) - window0) / seconds;
    state.counters["collector_cpu_pct"] =
        collector ? 100 * (procstat::cpu_seconds(collector) - collector0) / seconds : 0;
    state.counters["top_cpu_pct"] = 100 * (procstat::cpu_seconds(top) - top0) / seconds;
    state.counters["window_rss_kib"] = static_cast<double>(procstat::rss_kib(w.pid));
    state.counters["collector_rss_kib"] = collector ? static_cast<double>(procstat::rss_kib(collector)) : 0;
    kill(top, SIGKILL);
    waitpid(top, nullptr, 0);
    w.end();
  }
}
BENCHMARK(BM_WindowFootprint)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
