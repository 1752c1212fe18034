#pragma once
// The port of a test server (a Python script) that writes it, whole by a rename, into a file once it listens.
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/testutil.h"

namespace portfile {

// The port written into the file; 0 when the server ended first. Python and its TLS module start slowly on a busy
// machine: only a hang of minutes ends the wait.
inline int written(const std::string& path, pid_t server) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = testutil::read_file(path);
    if (!text.empty()) return std::stoi(text);
    if (waitpid(server, nullptr, WNOHANG) == server) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace portfile
