#include "tests/support/testutil.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testutil {

TempDir::~TempDir() {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

RunResult run_vimbrel(const std::string& args_line, const std::string& home) {
  return run_vimbrel_to(args_line, home, "");
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

}  // namespace testutil
