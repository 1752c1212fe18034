// What sampling this machine costs, measured side by side with top over the same seconds.
//
// The collector child: this program plays its parent (the window's sample source): it makes the feed block and its
// request event, starts `vimbrel --collector`, and asks once a second for a usage frame and a process table, while
// `top -b -d 1` runs beside it. The CPU time of both (the kernel's run time of each process) is read after a
// warm-up and again at the end of the window; the figures are milliseconds of CPU per second.
// The report mode: `vimbrel --print` and `top -b -n 2 -d 2` run one after the other (one warm-up run each, then
// pairs), each run's user and system time taken from the kernel's account of the ended child; the ratio is taken
// pair by pair.
// Both are measured at the machine's own process count and again with extra sleeping processes that this program
// starts and ends itself, by pid. Several runs give min / median / max.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/proc.h"
#include "sampling/child.h"
#include "sampling/feed.h"

extern char** environ;

namespace {

struct Options {
  std::string vimbrel;
  int runs = 3;
  int seconds = 30;
  int warm = 5;
  int extra = 1000;
  int pairs = 5;
  bool collector = true;
  bool print = true;
  std::string figures;  // a folder for the figures the bench table reads; none when empty
};

// The sleeping processes, kept where a signal handler can end them.
pid_t sleepers[100000];
volatile sig_atomic_t sleeper_count = 0;

void end_sleepers() {
  for (int i = 0; i < sleeper_count; ++i) kill(sleepers[i], SIGKILL);
  for (int i = 0; i < sleeper_count; ++i) waitpid(sleepers[i], nullptr, 0);
  sleeper_count = 0;
}

void on_signal(int) {
  for (int i = 0; i < sleeper_count; ++i) kill(sleepers[i], SIGKILL);
  _exit(1);
}

double now_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void sleep_until(double when) {
  for (;;) {
    double left = when - now_s();
    if (left <= 0) return;
    timespec t{static_cast<time_t>(left), static_cast<long>((left - static_cast<time_t>(left)) * 1e9)};
    nanosleep(&t, nullptr);
  }
}

int process_count() {
  int n = 0;
  DIR* d = opendir("/proc");
  if (!d) return 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
  closedir(d);
  return n;
}

// Starts a program with its standard streams on /dev/null: its pid, or 0.
pid_t start_quiet(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed ? 0 : pid;
}

bool start_sleepers(int n) {
  for (int i = 0; i < n; ++i) {
    pid_t pid = start_quiet({"sleep", "3600"});
    if (pid == 0) return false;
    sleepers[sleeper_count] = pid;
    sleeper_count = sleeper_count + 1;
  }
  return true;
}

// A process's user + system time in nanoseconds (every thread, ended ones too, in whole clock ticks); 0 when gone.
double stat_ns(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = 0;
  const char* at = strrchr(text, ')');
  unsigned long long user = 0, system = 0;
  if (!at || sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2) return 0;
  return static_cast<double>(user + system) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A process's run time in nanoseconds as the scheduler counts it, summed over every live thread (the process's own
// schedstat holds its first thread only); user + system ticks where the scheduler's account is not kept.
double cpu_ns(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", pid);
  DIR* d = opendir(path);
  if (!d) return 0;
  double ns = 0;
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char file[96];
    snprintf(file, sizeof file, "/proc/%d/task/%s/schedstat", pid, e->d_name);
    if (FILE* f = fopen(file, "r")) {
      unsigned long long v = 0;
      if (fscanf(f, "%llu", &v) == 1) {
        ns += static_cast<double>(v);
        any = true;
      }
      fclose(f);
    }
  }
  closedir(d);
  return any ? ns : stat_ns(pid);
}

// The threads' sum against utime+stime over the same seconds: apart by the ticks' rounding and by threads that
// ended meanwhile (in utime+stime only); a wider gap means a count is wrong, and is said.
void check_counts(const char* what, double threads_ms_s, double stat_ms_s, int seconds) {
  const double slack = 2 * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds +
                       0.15 * std::max(threads_ms_s, stat_ms_s);
  if (std::abs(threads_ms_s - stat_ms_s) > slack) {
    fprintf(stderr, "cost: %s: threads summed %.2f ms/s, utime+stime %.2f ms/s\n", what, threads_ms_s, stat_ms_s);
  }
}

// Runs a program to its end: its user + system CPU in milliseconds, or -1.
double run_cpu_ms(std::vector<std::string> words) {
  pid_t pid = start_quiet(std::move(words));
  if (pid == 0) return -1;
  int status = 0;
  rusage use{};
  if (wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e3 + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e3;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct CollectorFigures {
  double child_ms_s = 0, top_ms_s = 0;
  unsigned usage_frames = 0, tables = 0;
  int processes = 0;
  bool ok = false;
};

// One window of the collector child beside top -b -d 1.
CollectorFigures collector_phase(const Options& o) {
  CollectorFigures f;
  feed::Layout layout;
  feed::layout_init(&layout);
  child::Section section{};
  if (!child::create_section(&section, layout.size)) {
    fprintf(stderr, "cost: the feed block cannot be made\n");
    return f;
  }
  feed::header_init(section.view, section.view_size, layout, static_cast<u32>(getpid()));
  child::make_requests(&section);
  std::string words = "--collector " + std::string(reinterpret_cast<const char*>(section.name), section.name_length);
  if (proc::spawn(mem::Bytes(reinterpret_cast<const u8*>(o.vimbrel.data()), o.vimbrel.size()),
                  mem::Bytes(reinterpret_cast<const u8*>(words.data()), words.size()), proc::spawn_job,
                  &section.process, nullptr) != 1) {
    fprintf(stderr, "cost: %s cannot be started\n", o.vimbrel.c_str());
    child::unmap(&section);
    return f;
  }
  pid_t top = start_quiet({"top", "-b", "-d", "1"});
  auto word = [&](u64 at) { return feed::get32(section.view, section.view_size, at); };
  double start = now_s();
  while (word(feed::state_at) == feed::state_starting && now_s() - start < 10) sleep_until(now_s() + 0.01);
  if (word(feed::state_at) != feed::state_running || top == 0) {
    fprintf(stderr, "cost: the collector did not start (state %u) or top did not\n", word(feed::state_at));
  } else {
    double child_before = 0, top_before = 0, child_stat = 0, top_stat = 0;
    unsigned usage_before = 0, tables_before = 0;
    double begin = now_s();
    for (int second = 0; second <= o.warm + o.seconds; ++second) {
      sleep_until(begin + second);
      if (second == o.warm) {
        child_before = cpu_ns(section.process.process_id);
        top_before = cpu_ns(top);
        child_stat = stat_ns(section.process.process_id);
        top_stat = stat_ns(top);
        usage_before = word(feed::usage_published_at);
        tables_before = word(feed::table_published_at);
      }
      if (second == o.warm + o.seconds) {
        f.child_ms_s = (cpu_ns(section.process.process_id) - child_before) / 1e6 / o.seconds;
        f.top_ms_s = (cpu_ns(top) - top_before) / 1e6 / o.seconds;
        check_counts("collector", f.child_ms_s, (stat_ns(section.process.process_id) - child_stat) / 1e6 / o.seconds,
                     o.seconds);
        check_counts("top", f.top_ms_s, (stat_ns(top) - top_stat) / 1e6 / o.seconds, o.seconds);
        f.usage_frames = word(feed::usage_published_at) - usage_before;
        f.tables = word(feed::table_published_at) - tables_before;
        f.processes = process_count();
        f.ok = true;
        break;
      }
      // What the window's source asks each tick: the next usage frame and the next process table.
      child::ask(&section, feed::usage_request_at, word(feed::usage_published_at) + 1);
      child::ask(&section, feed::table_request_at, word(feed::table_published_at) + 1);
    }
  }
  child::finish(&section, 2000);
  if (top) {
    kill(top, SIGTERM);
    waitpid(top, nullptr, 0);
  }
  return f;
}

struct PrintFigures {
  double print_ms = 0, top_ms = 0, ratio = 0;
  bool ok = false;
};

// vimbrel --print against top -b -n 2 -d 2, alternately: one warm-up each, then pairs.
PrintFigures print_phase(const Options& o) {
  PrintFigures f;
  std::vector<double> a, b, ratios;
  for (int pair = 0; pair <= o.pairs; ++pair) {
    double x = run_cpu_ms({o.vimbrel, "--print"});
    double y = run_cpu_ms({"top", "-b", "-n", "2", "-d", "2"});
    if (x < 0 || y <= 0) {
      fprintf(stderr, "cost: a --print or top run failed\n");
      return f;
    }
    if (pair == 0) continue;
    a.push_back(x);
    b.push_back(y);
    ratios.push_back(x / y);
  }
  f.print_ms = median(a);
  f.top_ms = median(b);
  f.ratio = median(ratios);
  f.ok = true;
  return f;
}

struct Series {
  std::vector<double> values;
  double highest() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
  std::string text(int decimals) const {
    if (values.empty()) return "-";
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    char out[96];
    snprintf(out, sizeof out, "%.*f / %.*f / %.*f", decimals, v.front(), decimals, median(v), decimals, v.back());
    return out;
  }
};

// The highest ratio of the runs at each count, for the aims table of the benchmarks; a part not measured is left out.
void write_figures(const std::string& folder, const Series* collector, const Series* print) {
  mkdir(folder.c_str(), 0755);
  FILE* f = fopen((folder + "/cost.txt").c_str(), "w");
  if (f == nullptr) {
    fprintf(stderr, "cost: %s/cost.txt cannot be written\n", folder.c_str());
    return;
  }
  const char* counts[2] = {"own", "extra"};
  for (int k = 0; k < 2; ++k) {
    if (!collector[k].values.empty()) fprintf(f, "collector_vs_top_%s_max %.4f\n", counts[k], collector[k].highest());
    if (!print[k].values.empty()) fprintf(f, "print_vs_top_%s_max %.4f\n", counts[k], print[k].highest());
  }
  fclose(f);
}

int usage_error() {
  fprintf(stderr,
          "usage: vimbrel_cost [--runs N] [--seconds S] [--extra N] [--pairs N] [--only collector|print] "
          "[--figures <folder>] <vimbrel>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&](int* out) {
      if (i + 1 >= argc) return false;
      *out = atoi(argv[++i]);
      return *out >= 0;
    };
    if (a == "--runs" || a == "--seconds" || a == "--extra" || a == "--pairs") {
      int* target = a == "--runs" ? &o.runs : a == "--seconds" ? &o.seconds : a == "--extra" ? &o.extra : &o.pairs;
      if (!number(target)) return usage_error();
    } else if (a == "--only" && i + 1 < argc) {
      std::string what = argv[++i];
      o.collector = what == "collector";
      o.print = what == "print";
    } else if (a == "--figures" && i + 1 < argc) {
      o.figures = argv[++i];
    } else if (a[0] != '-' && o.vimbrel.empty()) {
      o.vimbrel = a;
    } else {
      return usage_error();
    }
  }
  if (o.vimbrel.empty() || o.runs < 1 || o.seconds < 1) return usage_error();
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGHUP, on_signal);

  // Per count (own, extra): the collector's, top's and their ratio; --print's, top's and their ratio.
  Series child_ms[2], top_ms[2], ratio[2], print_ms[2], print_top_ms[2], print_ratio[2];
  int counts[2] = {0, 0};
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int run = 1; run <= o.runs; ++run) {
    for (int with_extra = 0; with_extra < 2; ++with_extra) {
      if (with_extra && o.extra == 0) continue;
      if (with_extra && !start_sleepers(o.extra)) {
        fprintf(stderr, "cost: the sleeping processes cannot be started\n");
        end_sleepers();
        return 1;
      }
      if (with_extra) sleep_until(now_s() + 2);
      const char* label = with_extra ? "+extra" : "own   ";
      if (o.collector) {
        CollectorFigures c = collector_phase(o);
        if (!c.ok) {
          end_sleepers();
          return 1;
        }
        counts[with_extra] = c.processes;
        child_ms[with_extra].values.push_back(c.child_ms_s);
        top_ms[with_extra].values.push_back(c.top_ms_s);
        ratio[with_extra].values.push_back(c.child_ms_s / c.top_ms_s);
        printf("run %d %s %5d processes  collector %7.2f ms/s  top -b -d 1 %7.2f ms/s  ratio %.2f  (%u usage frames, "
               "%u tables in %d s)\n",
               run, label, c.processes, c.child_ms_s, c.top_ms_s, c.child_ms_s / c.top_ms_s, c.usage_frames, c.tables,
               o.seconds);
      }
      if (o.print) {
        PrintFigures p = print_phase(o);
        if (!p.ok) {
          end_sleepers();
          return 1;
        }
        if (!o.collector) counts[with_extra] = process_count();
        print_ms[with_extra].values.push_back(p.print_ms);
        print_top_ms[with_extra].values.push_back(p.top_ms);
        print_ratio[with_extra].values.push_back(p.ratio);
        printf("run %d %s --print %7.2f ms  top -b -n 2 -d 2 %7.2f ms  ratio %.2f (median of %d pairs)\n", run, label,
               p.print_ms, p.top_ms, p.ratio, o.pairs);
      }
      if (with_extra) end_sleepers();
    }
  }
  printf("\nmin / median / max over %d runs\n", o.runs);
  for (int k = 0; k < 2; ++k) {
    if (k && o.extra == 0) continue;
    printf("%s (%d processes)\n", k ? "with the extra sleeping processes" : "the machine's own count", counts[k]);
    if (o.collector) {
      printf("  collector child      %s ms/s\n", child_ms[k].text(2).c_str());
      printf("  top -b -d 1          %s ms/s\n", top_ms[k].text(2).c_str());
      printf("  collector / top      %s\n", ratio[k].text(2).c_str());
    }
    if (o.print) {
      printf("  vimbrel --print      %s ms\n", print_ms[k].text(1).c_str());
      printf("  top -b -n 2 -d 2     %s ms\n", print_top_ms[k].text(1).c_str());
      printf("  --print / top        %s\n", print_ratio[k].text(2).c_str());
    }
  }
  if (!o.figures.empty()) write_figures(o.figures, ratio, print_ratio);
  return 0;
}
