#include "tests/support/testutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testutil {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made) path = made;
}

TempDir::~TempDir() {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

RunResult run_vimbrel(const std::string& args_line, const std::string& home) {
  TempDir io;
  std::string out_path = io.path + "/out", err_path = io.path + "/err";
  std::string env;
  if (!home.empty()) {
    env = "HOME='" + home + "' XDG_RUNTIME_DIR='" + home + "/run' XDG_CONFIG_HOME='" + home +
          "/config' XDG_DATA_HOME='" + home + "/data' ";
  }
  std::string cmd = env + "'" VIMBREL_EXE "' " + args_line + " >'" + out_path + "' 2>'" + err_path + "' </dev/null";
  int status = system(cmd.c_str());
  RunResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

}  // namespace testutil
