#pragma once
// Helpers shared by the tests: a private temporary folder per test, and running the built executable.
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with everything in it when the object goes.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

struct RunResult {
  int exit_code;  // -1 when the process did not end normally
  std::string out;
  std::string err;
};

// Runs the built vimbrel with the arguments; the environment's XDG and per-user folders point into home when it is
// not empty, so no test touches the real user's files.
RunResult run_vimbrel(const std::string& args_line, const std::string& home = "");
// The same with standard output sent where the shell redirection says (">/dev/full", ">&-"); out stays empty.
RunResult run_vimbrel_to(const std::string& args_line, const std::string& home, const std::string& stdout_redirect);

// A stand-in for the program that the update controller starts, made in the folder as this system names a program
// there: its path, empty when it could not be made. Started as "--vimb-update <verb>" it appends its words and a line
// end to "<path>.calls", copies "<path>.manifest" to "<path>.latest" when there is one, and reports the next code
// that "<path>.codes" holds (stub_worker_codes writes them). Started as "--update-notes" it notes the call too, waits
// while "<path>.notes-wait" exists, then says "<path>.notes-error" on standard error and ends with 1 when that exists,
// else copies "<path>.notes" to notes.txt beside itself.
std::string make_stub_worker(const std::string& folder);
// The text of "<path>.codes" for packed reports the stand-in gives one per start, in order.
std::string stub_worker_codes(const std::vector<unsigned>& codes);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The words this process was started with (a test program's arguments are not kept by the platform layer), for
// test programs that double as a child process.
std::vector<std::string> own_arguments();

}  // namespace testutil
