// The test helpers' system part on Linux: folders made by mkdtemp, the built program run through the shell with
// the per-user folders in the test's own home, and the arguments read from /proc.
#include <stdio.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/testutil.h"

namespace testutil {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made) path = made;
}

RunResult run_vimbrel_to(const std::string& args_line, const std::string& home, const std::string& stdout_redirect) {
  TempDir io;
  std::string out_path = io.path + "/out", err_path = io.path + "/err";
  const std::string out_to = stdout_redirect.empty() ? " >'" + out_path + "'" : " " + stdout_redirect;
  std::string env;
  if (!home.empty()) {
    env = "HOME='" + home + "' XDG_RUNTIME_DIR='" + home + "/run' XDG_CONFIG_HOME='" + home +
          "/config' XDG_DATA_HOME='" + home + "/data' ";
  }
  std::string cmd = env + "'" VIMBREL_EXE "' " + args_line + out_to + " 2>'" + err_path + "' </dev/null";
  int status = system(cmd.c_str());
  RunResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

namespace {

// The report goes through the exit-word channel, as the program's does, with its low byte as the exit status.
const char* const stub_program = R"(#!/bin/bash
echo "$*" >> "$0.calls"
if [ "$1" = "--update-notes" ]; then
  while [ -f "$0.notes-wait" ]; do sleep 0.05; done
  if [ -f "$0.notes-error" ]; then cat "$0.notes-error" >&2; exit 1; fi
  if [ -f "$0.notes" ]; then cp "$0.notes" "$(dirname "$0")/notes.txt"; fi
  exit 0
fi
if [ -f "$0.manifest" ]; then cp "$0.manifest" "$0.latest"; fi
read -r word low < "$0.codes"
sed -i 1d "$0.codes"
printf "$word" >&"${VIMBREL_EXIT_FD%%.*}"
exit "${low:-0}"
)";

}  // namespace

std::string make_stub_worker(const std::string& folder) {
  const std::string program = folder + "/vimbrel";
  write_file(program, stub_program);
  return chmod(program.c_str(), 0755) == 0 ? program : std::string();
}

// Each code as printf escapes of its four bytes, low byte first (the channel's order), then its low byte.
std::string stub_worker_codes(const std::vector<unsigned>& codes) {
  std::string text;
  for (unsigned code : codes) {
    char part[8];
    for (unsigned i = 0; i < 4; i++) {
      snprintf(part, sizeof part, "\\%03o", (code >> (8 * i)) & 0xFF);
      text += part;
    }
    text += " " + std::to_string(code & 0xFF) + "\n";
  }
  return text;
}

std::vector<std::string> own_arguments() {
  std::vector<std::string> args(1);
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  char text[4096];
  ssize_t n = fd < 0 ? 0 : read(fd, text, sizeof text);
  if (fd >= 0) ::close(fd);
  for (ssize_t i = 0; i < n; ++i) {
    if (text[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += text[i];
    }
  }
  args.pop_back();
  return args;
}

}  // namespace testutil
