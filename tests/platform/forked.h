#pragma once
// Some of a test run in a forked process beside the test, talking back through a pipe: for objects that
// must be seen from two processes, and for a parent that the test kills. Every wait has a deadline, so a fault
// fails the test instead of hanging it.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace forked {

inline long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Reads one line (without its line end) from the descriptor; empty when the deadline passes or the writer ends.
inline std::string read_line(int fd, int seconds = 30) {
  std::string line;
  long long deadline = now_ms() + seconds * 1000LL;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) return "";
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    if (n <= 0) return "";
    if (c == '\n') return line;
    line += c;
  }
}

// Waits for the process behind the descriptor (see pidfd below) to end: true when it did before the deadline.
inline bool ends_within(int pidfd, int seconds = 30) {
  pollfd p{pidfd, POLLIN, 0};
  return poll(&p, 1, seconds * 1000) == 1;
}

struct Process {
  pid_t pid = -1;
  int from_child = -1;  // what the child writes to its `to_parent` descriptor
  int to_child = -1;    // what the child reads from its `from_parent` descriptor

  // Runs body(to_parent, from_parent) in a new process; its answer is the exit code.
  template <typename Body>
  explicit Process(Body body) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid = fork();
    if (pid == 0) {
      ::close(up[0]);
      ::close(down[1]);
      _exit(body(up[1], down[0]));
    }
    ::close(up[1]);
    ::close(down[0]);
    from_child = up[0];
    to_child = down[1];
  }

  std::string line(int seconds = 30) { return read_line(from_child, seconds); }
  void say(const std::string& text) {
    ssize_t ignored = write(to_child, text.data(), text.size());
    (void)ignored;
  }

  // Kills and reaps; the exit code, or 128 + signal; -1 when not started.
  int kill_and_wait() {
    if (pid > 0) ::kill(pid, SIGKILL);
    return wait(30);
  }
  // The exit code after the process ended on its own (killed when it outlives the deadline: -1).
  int wait(int seconds = 30) {
    if (pid <= 0) return -1;
    long long deadline = now_ms() + seconds * 1000LL;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (now_ms() > deadline) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
        return -1;
      }
      usleep(2000);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  ~Process() {
    if (pid > 0) kill_and_wait();
    if (from_child >= 0) ::close(from_child);
    if (to_child >= 0) ::close(to_child);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
};

// Writes a line from inside a child.
inline void tell(int fd, const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
}

// Blocks until a byte comes from the parent (or the parent goes).
inline void await(int fd) {
  char c = 0;
  ssize_t ignored = read(fd, &c, 1);
  (void)ignored;
}

}  // namespace forked
