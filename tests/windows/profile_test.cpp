// A user whose profile folder is named with letters beyond ASCII: the folders under %APPDATA% and %LOCALAPPDATA%
// hold the key, the settings, the machine id and the local history there as anywhere else, vimbrel.exe finds them,
// and a folder that cannot be used is named with its reason.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "history/localhist.h"
#include "history/store.h"
#include "platform/fs.h"
#include "tests/windows/support.h"

namespace {

using winsupport::bytes;

std::string utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide_env(const wchar_t* name) {
  wchar_t value[2048];
  DWORD n = GetEnvironmentVariableW(name, value, 2048);
  return n == 0 || n >= 2048 ? std::wstring() : std::wstring(value, n);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, text.data(), DWORD(text.size()), &wrote, nullptr);
  CloseHandle(h);
}

// The user's two folders moved into a profile named "José" while the test runs (and put back after); the folder and
// everything under it go at the end.
struct AccentedProfile {
  std::wstring root, roaming, local, saved_roaming, saved_local;
  AccentedProfile() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root = std::wstring(temp) + L"Jos\u00e9-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
    roaming = root + L"\\AppData\\Roaming";
    local = root + L"\\AppData\\Local";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\AppData").c_str(), nullptr);
    CreateDirectoryW(roaming.c_str(), nullptr);
    CreateDirectoryW(local.c_str(), nullptr);
    saved_roaming = wide_env(L"APPDATA");
    saved_local = wide_env(L"LOCALAPPDATA");
    SetEnvironmentVariableW(L"APPDATA", roaming.c_str());
    SetEnvironmentVariableW(L"LOCALAPPDATA", local.c_str());
  }
  ~AccentedProfile() {
    SetEnvironmentVariableW(L"APPDATA", saved_roaming.c_str());
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved_local.c_str());
    fs::delete_tree(bytes(utf8(root)));
  }
};

// vimbrel.exe started with the arguments, its standard output and error in one pipe; ended when the test ends.
struct Program {
  HANDLE process = nullptr, out = nullptr;
  std::string text;
  explicit Program(const std::wstring& arguments) {
    std::wstring exe = wide_env(L"VIMBREL_TEST_PROGRAM");
    if (exe.empty()) return;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&out, &write_end, &inherit, 0)) return;
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = write_end;
    start.hStdError = write_end;
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION child{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &start,
                       &child)) {
      process = child.hProcess;
      CloseHandle(child.hThread);
    }
    CloseHandle(write_end);
  }
  ~Program() {
    if (process) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
    if (out) CloseHandle(out);
  }
  // Reads what the program wrote until the text appears or the program ends (then the pipe ends too).
  bool wait_for(const std::string& wanted) {
    char piece[4096];
    DWORD got = 0;
    while (text.find(wanted) == std::string::npos) {
      if (!ReadFile(out, piece, sizeof piece, &got, nullptr) || got == 0) return false;
      text.append(piece, got);
    }
    return true;
  }
  // Reads to the end and answers the exit code.
  DWORD finish() {
    wait_for(std::string(1, '\0'));
    WaitForSingleObject(process, INFINITE);
    DWORD code = 9999;
    GetExitCodeProcess(process, &code);
    return code;
  }
};

u16 free_port() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  closesocket(s);
  return ntohs(a.sin_port);
}

// Both folder variables are taken as UTF-8; a folder that cannot be used says why, a usable one says nothing.
TEST(WindowsProfile, FolderVariablesTakeAnyLetterAndRefusalsSayWhy) {
  const std::wstring saved = wide_env(L"APPDATA");
  struct Case {
    const wchar_t* value;  // null: unset
    u32 result;
    const char* shown;  // what the refusal says; empty when the folder is taken
  } cases[] = {
      {L"C:\\users\\Jos\u00e9\\AppData\\Roaming", fs::ok, ""},
      {L"C:\\users\\\u0410\u043d\u044f\\AppData\\Roaming", fs::ok, ""},
      {L"C:\\users\\x\xD800y", fs::bad_name, "%APPDATA% (C:\\users\\x\\ud800y) is not whole Unicode text"},
      {nullptr, fs::not_found, "%APPDATA% is not set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    SetEnvironmentVariableW(L"APPDATA", c.value);
    u8 buffer[256];
    u64 length = 0;
    EXPECT_EQ(fs::env_var(mem::lit("APPDATA"), mem::Slice{buffer, sizeof buffer}, &length), c.result);
    if (c.result == fs::ok) EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), utf8(c.value));
    u64 n = fs::folder_refusal(mem::lit("APPDATA"), mem::Slice{buffer, sizeof buffer});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), c.shown);
  }
  SetEnvironmentVariableW(L"APPDATA", saved.c_str());
}

// The local history's ring files are made under the accented %LOCALAPPDATA%.
TEST(WindowsProfile, LocalHistoryLivesInAnAccentedProfile) {
  AccentedProfile profile;
  store::Path folder;
  ASSERT_TRUE(localhist::data_folder(&folder));
  auto writer = std::make_unique<localhist::Writer>();
  const u8 id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_EQ(localhist::open(writer.get(), store::path_of(&folder), mem::Bytes(id, sizeof id)), localhist::ok);
  localhist::close(writer.get());
  EXPECT_TRUE(exists(profile.local + L"\\Vimbrel\\history\\0102030405060708090a0b0c0d0e0f10\\t0.ring"));
}

// The program as a user with such a profile starts it: a host and an agent find the key in the accented %APPDATA%,
// the agent publishes and keeps its machine id there; a snapshot goes into and comes back from an accented folder;
// with %APPDATA% unset the agent names the folder it cannot use.
TEST(WindowsProfile, AnAgentPublishesWithTheKeyOfAnAccentedProfile) {
  ASSERT_NE(wide_env(L"VIMBREL_TEST_PROGRAM"), L"") << "tests/windows/run names vimbrel.exe";
  AccentedProfile profile;
  CreateDirectoryW((profile.roaming + L"\\Vimbrel").c_str(), nullptr);
  write(profile.roaming + L"\\Vimbrel\\cluster.key",
        "vimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n");
  // The share is the host's choice and keeps to ASCII names, as share paths do.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring share = std::wstring(temp) + L"vimbrel-share-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(share.c_str(), nullptr);
  struct Removed {
    std::string path;
    ~Removed() { fs::delete_tree(bytes(path)); }
  } share_removed{utf8(share)};
  const std::wstring port = std::to_wstring(free_port());
  Program host(L"--host \"" + share + L"\" --port " + port + L" --listen 127.0.0.1");
  ASSERT_TRUE(host.wait_for("vimbrel host: listening on port")) << host.text;
  Program agent(L"--agent --server 127.0.0.1:" + port);
  ASSERT_TRUE(agent.wait_for("vimbrel agent: publishing to 127.0.0.1:" + utf8(port))) << agent.text;
  EXPECT_TRUE(exists(profile.roaming + L"\\Vimbrel\\publish.txt"));

  const std::wstring snap = profile.root + L"\\caf\u00e9\\pair.snap";
  CreateDirectoryW((profile.root + L"\\caf\u00e9").c_str(), nullptr);
  Program record(L"--record \"" + snap + L"\"");
  EXPECT_EQ(record.finish(), 0u) << record.text;
  EXPECT_TRUE(exists(snap));
  Program replay(L"--print --replay \"" + snap + L"\"");
  EXPECT_EQ(replay.finish(), 0u) << replay.text;
  EXPECT_NE(replay.text.find("Vimbrel snapshot\n"), std::string::npos) << replay.text;
  EXPECT_NE(replay.text.find("\ncpu total: "), std::string::npos) << replay.text;

  SetEnvironmentVariableW(L"APPDATA", nullptr);
  Program lost(L"--agent --server 127.0.0.1:" + port);
  EXPECT_NE(lost.finish(), 0u);
  EXPECT_NE(lost.text.find("vimbrel: the settings folder cannot be used: %APPDATA% is not set\n"), std::string::npos)
      << lost.text;
}

}  // namespace
