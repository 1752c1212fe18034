// The background copy of vimbrel.exe as a user's log-on starts it: installed at
// <LOCALAPPDATA>\Vimbrel\bin\vimbrel.exe, run with --background, it starts the role background.txt asks for,
// restarts the child when it is killed, and says so in background.status; without LOCALAPPDATA it says why.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/kobj.h"
#include "tests/windows/support.h"
#include "update/background.h"

namespace {

using winsupport::bytes;

void write(const std::string& path, const std::string& text) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, text.data(), DWORD(text.size()), &wrote, nullptr);
  CloseHandle(h);
}

template <typename Holds>
bool eventually(Holds holds, DWORD ms = 120000) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!holds()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
}

// The programs of this system's name ("vimbrel.exe") whose parent is the given process (not the console host that
// may come along with them).
std::vector<DWORD> children_of(DWORD parent) {
  std::vector<DWORD> out;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (entry.th32ParentProcessID == parent && lstrcmpiW(entry.szExeFile, L"vimbrel.exe") == 0)
      out.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return out;
}

// A user's roaming and local folders in a folder of the test's own, named to this process (and so to the children
// it starts) by APPDATA and LOCALAPPDATA.
struct Home {
  winsupport::Folder folder{"vimbrel-home-"};
  std::string root = folder.path, roaming, local;
  Home() {
    roaming = root + "\\Roaming";
    local = root + "\\Local";
    for (const std::string& f : {roaming, roaming + "\\Vimbrel", local, local + "\\Vimbrel"})
      CreateDirectoryA(f.c_str(), nullptr);
    SetEnvironmentVariableA("APPDATA", roaming.c_str());
    SetEnvironmentVariableA("LOCALAPPDATA", local.c_str());
  }
  ~Home() {
    SetEnvironmentVariableA("APPDATA", nullptr);
    SetEnvironmentVariableA("LOCALAPPDATA", nullptr);
  }
  std::string status_line(u32 n) const {
    const std::string s = winsupport::file_text(local + "\\Vimbrel\\background.status");
    const mem::Bytes line = background::status_line(bytes(s), n);
    return std::string(reinterpret_cast<const char*>(line.ptr), line.len);
  }
};

TEST(WindowsBackground, TheCopyRunsItsRoleAndRestartsAKilledChild) {
  const std::string program = winsupport::env("VIMBREL_TEST_PROGRAM");
  ASSERT_NE(program, "") << "VIMBREL_TEST_PROGRAM is not set (tests/windows/run sets it)";
  Home home;
  auto paths = std::make_unique<background::Paths>();
  ASSERT_TRUE(background::paths(paths.get(), mem::Bytes()));
  const std::string copy(reinterpret_cast<const char*>(paths->copy.bytes().ptr), paths->copy.bytes().len);
  EXPECT_EQ(copy, home.local + "\\Vimbrel\\bin\\vimbrel.exe");

  // The agent role towards a server that is not there: the child runs, trying again and again.
  write(home.roaming + "\\Vimbrel\\cluster.key",
        "vimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n");
  write(home.roaming + "\\Vimbrel\\publish.txt", "vimbrel-publish 1\npublish on\ntarget 127.0.0.1:9\n");
  write(home.local + "\\Vimbrel\\background.txt", "vimbrel-background 1\nagent on\n");
  ASSERT_TRUE(background::install_copy(bytes(program), paths.get()));
  EXPECT_EQ(winsupport::file_bytes(copy), winsupport::file_bytes(program));

  std::string line = "\"" + copy + "\" --background";
  STARTUPINFOA info{};
  info.cb = sizeof info;
  PROCESS_INFORMATION supervisor{};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &info,
                             &supervisor));
  EXPECT_TRUE(eventually([&] { return kobj::mutex_exists(paths->mutex()) != 0; })) << "the copy's mutex";
  std::vector<DWORD> first;
  ASSERT_TRUE(eventually([&] { return (first = children_of(supervisor.dwProcessId)).size() == 1; }))
      << "the agent child; status: " << home.status_line(0) << " | " << home.status_line(1) << " | "
      << home.status_line(2);
  EXPECT_TRUE(eventually([&] { return home.status_line(1) != "Off." && !home.status_line(1).empty(); }))
      << home.status_line(1);
  EXPECT_EQ(home.status_line(0), "Off.") << "no host role";

  HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first[0]);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(TerminateProcess(child, 9));
  WaitForSingleObject(child, 30000);
  CloseHandle(child);
  EXPECT_TRUE(eventually([&] { return home.status_line(1).rfind("Exited, code 9", 0) == 0; })) << home.status_line(1);
  EXPECT_NE(home.status_line(1).find("; again in 1 s."), std::string::npos) << home.status_line(1);
  std::vector<DWORD> again;
  EXPECT_TRUE(eventually([&] {
    again = children_of(supervisor.dwProcessId);
    return again.size() == 1 && again[0] != first[0];
  })) << "the agent is started again";
  EXPECT_TRUE(eventually([&] { return home.status_line(1).rfind("Exited", 0) != 0; })) << home.status_line(1);

  // No role left and the wake event set, as the window does it: the copy stops its child and ends.
  write(home.local + "\\Vimbrel\\background.txt", "vimbrel-background 1\n");
  kobj::wake(paths->wake());
  EXPECT_EQ(WaitForSingleObject(supervisor.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(supervisor.hProcess, &code);
  EXPECT_EQ(code, 0u);
  if (WaitForSingleObject(supervisor.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(supervisor.hProcess, 9);
  CloseHandle(supervisor.hProcess);
  CloseHandle(supervisor.hThread);
}

// Without LOCALAPPDATA the copy has no folder: it says so on standard output and ends with 3.
TEST(WindowsBackground, WithoutLocalAppDataItSaysSo) {
  const std::string program = winsupport::env("VIMBREL_TEST_PROGRAM");
  ASSERT_NE(program, "");
  SetEnvironmentVariableA("LOCALAPPDATA", nullptr);
  std::string out;
  const DWORD code = winsupport::run(program, "--background", &out);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(out.substr(0, out.find_first_of("\r\n")), "vimbrel background: no LOCALAPPDATA folder");
}

}  // namespace
