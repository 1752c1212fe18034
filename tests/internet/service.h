#pragma once
// A loopback speed-test service (tests/internet/server.py) in the test's own folder: plain HTTP on 127.0.0.1 at a
// port the kernel chose, its behaviour set from the test, its request log read back. The public service is never
// asked by a test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/portfile.h"
#include "tests/support/testutil.h"

namespace service {

struct Service {
  testutil::TempDir dir;
  pid_t pid = -1;
  int port = 0;

  explicit Service(const std::string& behaviour = "{}") {
    set(behaviour);
    std::string script = std::string(VIMBREL_SOURCE_DIR) + "/tests/internet/server.py";
    std::string behaviour_path = dir.path + "/behaviour.json", port_path = dir.path + "/port";
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that ends without its destructors
      execlp("python3", "python3", script.c_str(), behaviour_path.c_str(), port_path.c_str(), nullptr);
      _exit(127);
    }
    port = portfile::written(port_path, pid);
  }
  ~Service() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Replaced whole, so the server never reads half a file.
  void set(const std::string& behaviour) {
    testutil::write_file(dir.path + "/behaviour.tmp", behaviour);
    rename((dir.path + "/behaviour.tmp").c_str(), (dir.path + "/behaviour.json").c_str());
  }

  struct Request {
    std::string method, path, agent;
    long long length;
    int client_port;
  };
  std::vector<Request> log() const {
    std::vector<Request> out;
    std::istringstream in(testutil::read_file(dir.path + "/port.log"));
    Request r;
    while (in >> r.method >> r.path >> r.agent >> r.length >> r.client_port) out.push_back(r);
    return out;
  }
};

// A loopback port that refuses connections: bound (so no one else takes it) and never listening.
struct ClosedPort {
  int fd = -1;
  int port = 0;
  ClosedPort() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~ClosedPort() { close(fd); }
};

}  // namespace service
