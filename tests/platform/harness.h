#pragma once
// What the platform tests share: environment values set for one test and byte helpers (tests/support/env.h), and
// children that run a piece of a test in a process of its own (with a deadline, so a hang fails instead of
// stalling).
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base/mem.h"
#include "tests/support/env.h"

namespace harness {

// Runs body in a forked child and answers its exit code. A child still running after `seconds` is killed and the
// answer is -1; a child ended by a signal answers 128 + the signal.
template <typename Body>
int in_child(Body body, int seconds = 30) {
  pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) _exit(body());
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= seconds) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(5000);
  }
}

// In a child: gives up root, so that folder and file modes hold as they do for a user. True when the process is
// not root (any more).
inline bool drop_root() {
  if (geteuid() != 0) return true;
  const gid_t nobody_group = 65534;
  const uid_t nobody = 65534;
  return setgroups(0, nullptr) == 0 && setgid(nobody_group) == 0 && setuid(nobody) == 0 && geteuid() != 0;
}

}  // namespace harness
