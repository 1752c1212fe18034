#pragma once
// What the footprint benchmarks read of a process they started: its processor time and resident memory from /proc,
// its first child (the collector), and a plain start with an environment of its own.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

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
