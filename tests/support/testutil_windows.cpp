// The test helpers' system part on Windows: folders under the user's temporary folder, the built program
// (VIMBREL_TEST_PROGRAM, which tests/windows/run names) started with its per-user folders in the test's own home
// and its output in files, and the arguments as the system split them.
#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "tests/support/testutil.h"

namespace testutil {
namespace {

std::string variable(const char* name) {
  char value[2048];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n == 0 || n >= sizeof value ? std::string() : std::string(value, n);
}

// Sets a variable of this process for the life of the object, so that a child started meanwhile inherits it.
struct Inherited {
  std::string name, saved;
  bool had;
  Inherited(const char* n, const std::string& value) : name(n), saved(variable(n)), had(!saved.empty()) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
  }
  ~Inherited() { SetEnvironmentVariableA(name.c_str(), had ? saved.c_str() : nullptr); }
};

HANDLE inheritable_file(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0,
                     nullptr);
}

}  // namespace

TempDir::TempDir() {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  for (unsigned attempt = 0; attempt < 100 && path.empty(); ++attempt) {
    const std::string name = std::string(temp) + "vimbrel-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64()) + "-" + std::to_string(attempt);
    if (CreateDirectoryA(name.c_str(), nullptr)) path = name;
  }
}

// A redirection other than none sends standard output nowhere (the Linux tests' special files have no match here).
RunResult run_vimbrel_to(const std::string& args_line, const std::string& home, const std::string& stdout_redirect) {
  RunResult r{-1, "", ""};
  const std::string program = variable("VIMBREL_TEST_PROGRAM");
  if (program.empty()) return r;
  TempDir io;
  const std::string out_path = io.path + "\\out", err_path = io.path + "\\err";
  std::unique_ptr<Inherited> config, data;
  if (!home.empty()) {
    config = std::make_unique<Inherited>("APPDATA", home + "\\config");
    data = std::make_unique<Inherited>("LOCALAPPDATA", home + "\\data");
  }
  HANDLE out = stdout_redirect.empty() ? inheritable_file(out_path) : inheritable_file("NUL");
  HANDLE err = inheritable_file(err_path);
  STARTUPINFOA info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESTDHANDLES;
  info.hStdInput = nullptr;
  info.hStdOutput = out;
  info.hStdError = err;
  std::string line = "\"" + program + "\" " + args_line;
  PROCESS_INFORMATION child{};
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &info,
                     &child)) {
    DWORD code = 0;
    if (WaitForSingleObject(child.hProcess, 120000) == WAIT_OBJECT_0 && GetExitCodeProcess(child.hProcess, &code)) {
      r.exit_code = static_cast<int>(code);
    }
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
  }
  CloseHandle(out);
  CloseHandle(err);
  r.out = stdout_redirect.empty() ? read_file(out_path) : std::string();
  r.err = read_file(err_path);
  return r;
}

// The stand-in is tests/windows/stub_worker.cpp, built beside the test programs; Windows reports the whole code as the
// exit code.
std::string make_stub_worker(const std::string& folder) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string stub(self, n);
  stub = stub.substr(0, stub.find_last_of('\\') + 1) + "stub_worker.exe";
  const std::string program = folder + "\\vimbrel.exe";
  return CopyFileA(stub.c_str(), program.c_str(), FALSE) ? program : std::string();
}

std::string stub_worker_codes(const std::vector<unsigned>& codes) {
  std::string text;
  for (unsigned code : codes) text += std::to_string(code) + "\n";
  return text;
}

std::vector<std::string> own_arguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; words && i < count; ++i) {
    char text[4096];
    const int n = WideCharToMultiByte(CP_UTF8, 0, words[i], -1, text, sizeof text, nullptr, nullptr);
    args.emplace_back(n > 0 ? std::string(text, static_cast<size_t>(n - 1)) : std::string());
  }
  if (words) LocalFree(words);
  return args;
}

}  // namespace testutil
