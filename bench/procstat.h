#pragma once
// What the footprint benchmarks read of a process they started: its processor time and resident memory from /proc,
// its first child (the collector), a home for it, and a plain start with an environment of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace procstat {

// utime + stime of a process in clock ticks; 0 when it is gone.
inline double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), {});
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The time a process has run on a processor, in seconds, as the scheduler counts it (nanoseconds, where utime and
// stime count whole clock ticks), summed over every live thread: the process's own schedstat holds its first thread
// only. 0 when it is gone.
inline double run_seconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  unsigned long long sum = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream f(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (f >> ns) sum += ns;
  }
  return static_cast<double>(sum) / 1e9;
}

inline long rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

inline pid_t first_child(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = 0;
  f >> child;
  return child;
}

// A home with its settings folders and a cluster key, for a program run as a user runs it; its environment.
inline std::vector<std::string> cluster_home(const std::string& home) {
  std::filesystem::create_directories(home + "/config/Vimbrel");
  std::filesystem::create_directories(home + "/data");
  std::filesystem::create_directories(home + "/run");
  chmod((home + "/run").c_str(), 0700);
  const std::string key = home + "/config/Vimbrel/cluster.key";
  std::ofstream(key) << "vimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n";
  chmod(key.c_str(), 0600);
  return {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data",
          "XDG_RUNTIME_DIR=" + home + "/run", "PATH=/usr/bin:/bin"};
}

inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<char*> a, e;
    for (auto& s : args) a.push_back(const_cast<char*>(s.c_str()));
    for (auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    e.push_back(nullptr);
    execve(args[0].c_str(), a.data(), e.data());
    _exit(127);
  }
  return pid;
}

}  // namespace procstat
