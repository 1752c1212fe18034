#pragma once
// `vimbrel --mcp` started as an MCP client starts it: the built executable with pipes on its standard input and
// output, one message per line. The tests send lines, read answer lines with a time-out, and end the server.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace mcp_test {

struct ServerPipes {
  pid_t pid = -1;
  int in = -1;   // the server's standard input
  int out = -1;  // its standard output
  std::string pending;

  ServerPipes() = default;
  ServerPipes(const ServerPipes&) = delete;
  ServerPipes& operator=(const ServerPipes&) = delete;
  ~ServerPipes() { stop(); }

  // Starts the server with these environment variables set; nonblocking: it inherits a standard input in
  // non-blocking mode, as some clients leave it.
  void start(const std::vector<std::pair<std::string, std::string>>& env, bool nonblocking = false) {
    signal(SIGPIPE, SIG_IGN);  // a server that ended early fails the test's write instead of killing the test
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      if (nonblocking) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      execl(VIMBREL_EXE, VIMBREL_EXE, "--mcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    in = to[1];
    out = from[0];
  }

  // Closes both pipes and kills the server when it still runs.
  void stop() {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    in = out = -1;
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }

  void send(const std::string& line) { ASSERT_EQ(write(in, line.data(), line.size()), ssize_t(line.size())); }

  // The next output line, without its line feed; "<timeout>" after the wait, "<closed>" at the end.
  std::string next(int wait_ms = 10000) {
    for (;;) {
      size_t at = pending.find('\n');
      if (at != std::string::npos) {
        std::string line = pending.substr(0, at);
        pending.erase(0, at + 1);
        return line;
      }
      pollfd p = {out, POLLIN, 0};
      if (poll(&p, 1, wait_ms) <= 0) return "<timeout>";
      char buffer[65536];
      ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) return "<closed>";
      pending.append(buffer, static_cast<size_t>(n));
    }
  }

  // One tools/call and its answer line.
  std::string call(int id, const std::string& tool, const std::string& arguments, int wait_ms = 10000) {
    send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
         R"(","arguments":)" + arguments + "}}\n");
    return next(wait_ms);
  }

  // Closes the server's input and waits for its end: the exit code, -1 when it did not exit.
  int finish() {
    close(in);
    in = -1;
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

}  // namespace mcp_test
