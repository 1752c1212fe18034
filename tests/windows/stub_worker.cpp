// The update controller's stand-in program on Windows, as the Linux tests' shell script is there: started as
// "--vimb-update <verb>" it notes the call in "<exe>.calls", leaves "<exe>.manifest" as "<exe>.latest" and ends with
// the code on the first line of "<exe>.codes" (a decimal number; the line is taken away). Started as
// "--update-notes" it waits while "<exe>.notes-wait" exists, then says "<exe>.notes-error" on standard error and ends
// with 1 when that file exists, else copies "<exe>.notes" to notes.txt beside itself and ends with 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write(const std::string& path, const std::string& text, bool append) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << text;
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  const std::string exe(self, n);
  std::string call;
  for (int i = 1; i < argc; ++i) call += (i > 1 ? " " : "") + std::string(argv[i]);
  write(exe + ".calls", call + "\n", true);
  if (argc >= 2 && std::string(argv[1]) == "--update-notes") {
    while (exists(exe + ".notes-wait")) Sleep(50);
    if (exists(exe + ".notes-error")) {
      const std::string why = read(exe + ".notes-error");
      std::fwrite(why.data(), 1, why.size(), stderr);
      return 1;
    }
    if (exists(exe + ".notes")) write(exe.substr(0, exe.find_last_of('\\') + 1) + "notes.txt", read(exe + ".notes"), false);
    return 0;
  }
  if (exists(exe + ".manifest")) write(exe + ".latest", read(exe + ".manifest"), false);
  const std::string codes = read(exe + ".codes");
  const size_t end = codes.find('\n');
  const std::string line = codes.substr(0, end);
  write(exe + ".codes", end == std::string::npos ? std::string() : codes.substr(end + 1), false);
  return static_cast<int>(std::strtoul(line.c_str(), nullptr, 10));
}
