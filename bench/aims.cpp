// The bench program: every benchmark in this one process, then a table of the cost aims with the figure each run
// gave and whether it met its limit. A figure that no benchmark here measures comes from the figures folder
// (VIMBREL_FIGURES): one "key value" line per figure, written by `make cost` (bench/cost.sh with bench/window-cost,
// then bench/web-cost) and by bench/mcp-latency.mjs; an aim without a figure says so. A new aim is one more row of
// the table in aims().
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

struct Figure {
  bool have = false;
  double value = 0;
};
Figure none() { return {}; }
Figure of(double v) { return {true, v}; }

struct Measured {
  double real_ms = 0;
  std::map<std::string, double> counters;
};

// What this run measured and what the figures folder holds.
struct Results {
  std::map<std::string, Measured> runs;  // by benchmark name; repeated ones also as "<name>_median"
  std::vector<std::string> failed;       // benchmarks that reported an error
  std::map<std::string, double> figures;

  const Measured* run(const std::string& name) const {
    auto median = runs.find(name + "_median");
    if (median != runs.end()) return &median->second;
    auto one = runs.find(name);
    return one == runs.end() ? nullptr : &one->second;
  }
  // The sum of the named counters of a benchmark; none when the benchmark or any counter is missing.
  Figure counters(const std::string& name, const std::vector<std::string>& keys) const {
    const Measured* m = run(name);
    if (m == nullptr) return none();
    double sum = 0;
    for (const std::string& k : keys) {
      auto c = m->counters.find(k);
      if (c == m->counters.end()) return none();
      sum += c->second;
    }
    return of(sum);
  }
  Figure figure(const std::string& key) const {
    auto f = figures.find(key);
    return f == figures.end() ? none() : of(f->second);
  }
};

Figure ratio(Figure a, Figure b) { return a.have && b.have && b.value > 0 ? of(a.value / b.value) : none(); }
Figure scaled(Figure a, double by) { return a.have ? of(a.value * by) : none(); }

// One row: the aim's number in the list of aims, what is aimed at, the limit the figure must not pass, its unit,
// where the figure comes from, and how its processor time (or memory, or time) was counted. A cost is a ratio to a
// peer measured over the same seconds of the same run, so that the machine's load falls on both; only memory and the
// MCP latencies, which a user meets as they are, are absolute.
struct Aim {
  const char* item;
  const char* text;
  double limit;
  const char* unit;
  std::function<Figure(const Results&)> figure;
  const char* counted;
};

// How the processor time of each figure was counted.
constexpr const char* every_thread = "every thread's run time summed (/proc/<pid>/task/*/schedstat), checked "
                                     "against utime+stime";
constexpr const char* stat_times = "utime+stime of /proc/<pid>/stat (every thread, ended ones too; clock ticks)";
constexpr const char* waited = "user+system time of each finished run (wait4: every thread)";

std::vector<Aim> aims() {
  const std::string footprint = "BM_WindowFootprint";
  return {
      {"1", "window and collector CPU / top -d 1 (own count, headless)", 0.8, "x",
       [=](const Results& r) {
         return ratio(r.counters(footprint, {"window_cpu_pct", "collector_cpu_pct"}),
                      r.counters(footprint, {"top_cpu_pct"}));
       },
       stat_times},
      {"1", "window and children CPU / top -b -d 1 (own count, Xvfb, bench/window-cost)", 0.8, "x",
       [](const Results& r) { return r.figure("window_vs_top_own"); }, every_thread},
      {"1", "window and children CPU / top -b -d 1 (1,000 more processes, bench/window-cost)", 0.8, "x",
       [](const Results& r) { return r.figure("window_vs_top_extra"); }, every_thread},
      {"1", "window and collector resident memory", 40, "MB",
       [=](const Results& r) {
         return scaled(r.counters(footprint, {"window_rss_kib", "collector_rss_kib"}), 1.0 / 1024);
       },
       "VmRSS at the end"},
      {"1", "window and children peak resident memory, every run (Xvfb, bench/window-cost)", 40, "MiB",
       [](const Results& r) { return r.figure("window_peak_mib"); }, "VmHWM summed over the tree"},
      {"2", "browser CPU / top on a machine's Overview (median of bench/web-cost's windows)", 2, "x",
       [](const Results& r) { return r.figure("browser_vs_top"); }, every_thread},
      {"3", "cluster MCP call, median of 200 (host with 2 agents)", 50, "ms",
       [](const Results& r) { return r.figure("mcp_cluster_median_ms"); }, "wall time of each call"},
      {"3", "cluster MCP call, p99 of 200 (host with 2 agents)", 200, "ms",
       [](const Results& r) { return r.figure("mcp_cluster_p99_ms"); }, "wall time of each call"},
      {"4", "collector / top -b -d 1, own count, highest of the runs (make cost)", 0.8, "x",
       [](const Results& r) { return r.figure("collector_vs_top_own_max"); }, every_thread},
      {"4", "collector / top -b -d 1, 1,000 more processes, highest of the runs (make cost)", 0.8, "x",
       [](const Results& r) { return r.figure("collector_vs_top_extra_max"); }, every_thread},
      {"4", "--print / top -b -n 2 -d 2, own count, highest of the runs", 1.0, "x",
       [](const Results& r) { return r.figure("print_vs_top_own_max"); }, waited},
      {"4", "--print / top -b -n 2 -d 2, 1,000 more processes, highest of the runs", 1.0, "x",
       [](const Results& r) { return r.figure("print_vs_top_extra_max"); }, waited},
      // 7 ms per 1,000 processes when a top-like pass took about 25 ms.
      {"4", "process sample / a top-like pass right after, ~1,000 processes (BM_ProcessSample/1000)", 0.3, "x",
       [](const Results& r) {
         return ratio(r.counters("BM_ProcessSample/1000", {"per_1000"}),
                      r.counters("BM_ProcessSample/1000", {"top_like_per_1000"}));
       },
       "processor time of a pass, both in the same benchmark"},
      {"5", "benchmarks of this run that failed", 0, "",
       [](const Results& r) { return of(static_cast<double>(r.failed.size())); }, "-"},
      // Half of the 0.82 ms/s the host cost before its loop stopped waking ten times a second, when top -b -d 1
      // cost about 4.5 ms/s at a quiet machine's own count.
      {"6", "host with one agent, idle / top -b -d 1 (BM_HostIdleWithOneAgent)", 0.1, "x",
       [](const Results& r) {
         return ratio(r.counters("BM_HostIdleWithOneAgent", {"host_ms_per_s"}),
                      r.counters("BM_HostIdleWithOneAgent", {"top_ms_per_s"}));
       },
       every_thread},
  };
}

// Every "key value" line of the folder's .txt files; later files win.
std::map<std::string, double> read_figures(const char* folder) {
  std::map<std::string, double> out;
  if (folder == nullptr) return out;
  DIR* d = opendir(folder);
  if (d == nullptr) return out;
  std::vector<std::string> files;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") files.push_back(std::string(folder) + "/" + name);
  }
  closedir(d);
  for (const std::string& f : files) {
    std::ifstream in(f);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string key;
      double value = 0;
      if (words >> key >> value) out[key] = value;
    }
  }
  return out;
}

// The console's report, with every run kept for the table.
class Keeping : public benchmark::ConsoleReporter {
 public:
  explicit Keeping(Results* results) : results_(results) {}
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.error_occurred) {
        results_->failed.push_back(name_of(run));
        continue;
      }
      Measured m;
      m.real_ms = run.GetAdjustedRealTime() * to_ms(run.time_unit);
      for (const auto& [key, counter] : run.counters) m.counters[key] = counter.value;
      results_->runs[name_of(run)] = m;
    }
    ConsoleReporter::ReportRuns(reports);
  }

 private:
  // The function and its arguments ("BM_ProcessSample/1000"), without the run's settings (iterations, repeats,
  // time kind); an aggregate adds its name ("_median").
  static std::string name_of(const Run& run) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
    if (run.run_type == Run::RT_Aggregate) name += "_" + run.aggregate_name;
    return name;
  }
  static double to_ms(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kNanosecond: return 1e-6;
      case benchmark::kMicrosecond: return 1e-3;
      case benchmark::kMillisecond: return 1;
      default: return 1e3;
    }
  }
  Results* results_;
};

void print_table(const Results& r) {
  printf("\n| # | aim | figure | limit | verdict | counted as |\n|---|---|---|---|---|---|\n");
  for (const Aim& a : aims()) {
    Figure f = a.figure(r);
    char figure[48] = "no figure", limit[48];
    if (f.have) snprintf(figure, sizeof figure, "%.2f %s", f.value, a.unit);
    snprintf(limit, sizeof limit, "<= %.2f %s", a.limit, a.unit);
    const char* verdict = !f.have ? "not measured" : f.value <= a.limit ? "met" : "missed";
    printf("| %s | %s | %s | %s | %s | %s |\n", a.item, a.text, figure, limit, verdict, a.counted);
  }
  for (const std::string& name : r.failed) printf("failed: %s\n", name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Results results;
  Keeping reporter(&results);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  results.figures = read_figures(getenv("VIMBREL_FIGURES"));
  print_table(results);
  benchmark::Shutdown();
  return 0;
}
