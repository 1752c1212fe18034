#pragma once
// An X server of the test's own: Xvfb with -displayfd, so the server takes the first free display number and says
// which. It goes with the test however the test ends, and is asked to end (then made to) when the object goes.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/platform/forked.h"

namespace xvfb {

struct Server {
  pid_t pid = -1;
  std::string display;  // ":N", empty when the server did not start

  // Without shared memory the server is like a remote one: presents must take plain requests.
  Server(const std::string& log, bool shared_memory = true, const std::string& screen = "1024x768x24",
         const std::string& dpi = "120") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out >= 0) dup2(out, 1), dup2(out, 2);
      int write_end = dup(fds[1]);  // not close-on-exec: the server writes its number to it
      std::string fd = std::to_string(write_end);
      const char* no_shm = shared_memory ? nullptr : "-extension";
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-dpi", dpi.c_str(),
             "-nolisten", "tcp", no_shm, "MIT-SHM", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid > 0) {
      std::string number = forked::read_line(fds[0], 60);
      if (!number.empty()) display = ":" + number;
    }
    close(fds[0]);
  }
  ~Server() { stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    const long long deadline = forked::now_ms() + 20000;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (forked::now_ms() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(10000);
    }
    pid = -1;
  }
};

}  // namespace xvfb
