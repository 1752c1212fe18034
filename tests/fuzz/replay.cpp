// Runs a fuzz target over files, without the fuzzing engine: each argument is a file or a folder of files, each
// file one input. The test build runs every target so over its seeds and over the inputs that once found a fault;
// an input that fails a target's checks stops it (abort), as under the fuzzer.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

size_t run(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The engine never hands a target a null pointer, even for an empty input.
  uint8_t none = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
        if (e.is_regular_file()) inputs += run(e.path());
      }
    } else {
      inputs += run(p);
    }
  }
  printf("%zu inputs replayed\n", inputs);
  return inputs == 0 ? 1 : 0;
}
