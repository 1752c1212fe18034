// The whole update road of vimbrel.exe, as a user meets it: a copy of the program runs outside --test from a folder
// of its own, its per-user folders in the test's folder and its update feed on the loopback server, which offers a
// release signed both ways (code signature and release key, made by tests/windows/run). The window checks and offers
// the version; Update now is pressed; the window closes, its swap worker replaces the running program, and the window
// starts the new version, or puts the previous one back when the release does not come up. Run under wine on an X
// server by tests/windows/run.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/sha256.h"
#include "tests/windows/support.h"
#include "update/updstate.h"

namespace {

using winsupport::bytes;
using winsupport::file_bytes;

constexpr ULONGLONG wait_ms = 180000;

using winsupport::prepared;

// A Windows path of wine's drive of the whole file system as the Linux server reads it.
std::string linux_path(const std::string& windows) {
  std::string out = windows.substr(windows.size() > 1 && windows[1] == ':' ? 2 : 0);
  for (char& c : out) c = c == '\\' ? '/' : c;
  return out;
}

template <typename Holds>
bool poll_until_ms(ULONGLONG ms, Holds holds) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!holds()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
}

template <typename Holds>
bool poll_until(Holds holds) {
  return poll_until_ms(wait_ms, holds);
}

// A visible window of the program's class that belongs to a process other than the given one; null while none.
HWND window_of_class(DWORD other_than, DWORD only = 0) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, L"Vimbrel", nullptr)) != nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != other_than && (only == 0 || pid == only) && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

struct Road {
  winsupport::Folder home{"vimbrel-road-"};
  std::string folder = home.path, program, settings;
  std::vector<u8> original;
  PROCESS_INFORMATION window{};
  winsupport::Server server{"VIMBREL_TEST_UPDATE_SERVER"};

  Road() {
    for (const char* sub : {"\\app", "\\roaming", "\\local"}) CreateDirectoryA((folder + sub).c_str(), nullptr);
    program = folder + "\\app\\vimbrel.exe";
    settings = folder + "\\roaming\\Vimbrel\\settings.txt";
    CopyFileA(prepared("program.exe").c_str(), program.c_str(), FALSE);
    original = file_bytes(program);
  }
  ~Road() {
    if (window.hProcess) {
      if (WaitForSingleObject(window.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(window.hProcess, 9);
      WaitForSingleObject(window.hProcess, 10000);
      CloseHandle(window.hProcess);
      CloseHandle(window.hThread);
    }
  }

  updstate::Settings stored() const {
    updstate::Settings s;
    updstate::load(bytes(settings), &s);
    return s;
  }

  // The feed offers the release (a file of tests/windows/run's signed folder) as version 0.1.90.
  void publish(const char* release) {
    const std::string file = prepared(release);
    const std::string feed = "vimbrel-latest 1\\nversion 0.1.90\\nfile vimbrel.exe\\nsha256 " +
                             winsupport::sha256_hex(file_bytes(file)) + "\\nurl " +
                             server.url("/downloads/vimbrel/v0.1.90/vimbrel.exe") + "\\n";
    server.set("routes.json", "{\"/downloads/vimbrel/latest.txt\": {\"body\": \"" + feed +
                                  "\"}, \"/downloads/vimbrel/v0.1.90/vimbrel.exe\": {\"file\": \"" +
                                  linux_path(file) + "\"}, \"/downloads/vimbrel/v0.1.90/vimbrel.exe.sig\": " +
                                  "{\"file\": \"" + linux_path(file) + ".sig\"}}");
  }

  // The window as a user starts it, on the Settings page; the environment holds its folders and the update seams.
  bool start() {
    const std::string pub(reinterpret_cast<const char*>(file_bytes(prepared("release.pub")).data()), 64);
    SetEnvironmentVariableA("APPDATA", (folder + "\\roaming").c_str());
    SetEnvironmentVariableA("LOCALAPPDATA", (folder + "\\local").c_str());
    SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_FEED", server.url("/downloads/vimbrel/latest.txt").c_str());
    SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_KEY", pub.c_str());
    SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_FLAGS", "3");  // loopback http, no revocation lists
    std::string line = "\"" + program + "\" --view 33";
    STARTUPINFOA info{};
    info.cb = sizeof info;
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &info, &window);
  }

  // The check finds the version (ask mode: offered on the banner); Update now is pressed until the download begins.
  void offer_and_update_now() {
    ASSERT_FALSE(server.dir.empty()) << "VIMBREL_TEST_UPDATE_SERVER is not set (tests/windows/run sets it)";
    ASSERT_TRUE(start());
    HWND w = nullptr;
    ASSERT_TRUE(poll_until([&] { return (w = window_of_class(0, window.dwProcessId)) != nullptr; })) << "the window";
    ASSERT_TRUE(poll_until([&] { return stored().status == updstate::status_available; }))
        << "status " << int(stored().status) << ", reason " << int(stored().failure_reason);
    EXPECT_EQ(stored().last_version[2], 90);
    EXPECT_EQ(file_bytes(program), original) << "nothing installed yet";
    RECT r{};
    GetClientRect(w, &r);
    const LPARAM at = MAKELPARAM(r.right - 420, 20);
    ASSERT_TRUE(poll_until([&] {
      if (stored().status != updstate::status_available) return true;
      PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, at);
      PostMessageW(w, WM_LBUTTONUP, 0, at);
      Sleep(1000);
      return stored().status != updstate::status_available;
    })) << "Update now";
  }
};

TEST(WindowsRoad, UpdateNowReplacesTheRunningProgramAndTheNewVersionComesUp) {
  Road road;
  winsupport::TrustedRoot root(file_bytes(prepared("maker.der")));
  road.publish("signed.exe");
  road.offer_and_update_now();
  if (HasFatalFailure()) return;

  HWND next = nullptr;
  ASSERT_TRUE(poll_until([&] { return (next = window_of_class(road.window.dwProcessId)) != nullptr; }))
      << "the new window; status " << int(road.stored().status) << ", reason " << int(road.stored().failure_reason)
      << ", step " << int(road.stored().failure_step) << ", code " << road.stored().failure_code;
  DWORD next_pid = 0;
  GetWindowThreadProcessId(next, &next_pid);
  HANDLE next_process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, next_pid);
  EXPECT_EQ(WaitForSingleObject(road.window.hProcess, DWORD(wait_ms)), WAIT_OBJECT_0) << "the old window ends";
  EXPECT_EQ(file_bytes(road.program), file_bytes(prepared("signed.exe"))) << "the program file is the release";
  EXPECT_EQ(file_bytes(road.program + ".old"), road.original) << "the program that ran is parked";
  // The new version takes the installed state: up to date at 0.1.90.
  EXPECT_TRUE(poll_until([&] { return road.stored().status == updstate::status_up_to_date; }))
      << "status " << int(road.stored().status);
  EXPECT_EQ(road.stored().last_version[2], 90);
  PostMessageW(next, WM_CLOSE, 0, 0);
  if (next_process) {
    EXPECT_EQ(WaitForSingleObject(next_process, DWORD(wait_ms)), WAIT_OBJECT_0) << "the new version closes";
    TerminateProcess(next_process, 9);
    CloseHandle(next_process);
  }
}

// A release that shows no window (it ends at once) is put back: the program file is the one that ran before, the
// window comes back, and the version is marked failed.
TEST(WindowsRoad, AReleaseThatDoesNotComeUpIsPutBack) {
  Road road;
  winsupport::TrustedRoot root(file_bytes(prepared("maker.der")));
  road.publish("noshow.exe");
  road.offer_and_update_now();
  if (HasFatalFailure()) return;

  ASSERT_TRUE(poll_until([&] { return road.stored().status == updstate::status_failed; }))
      << "status " << int(road.stored().status);
  const updstate::Settings s = road.stored();
  EXPECT_EQ(s.failure_reason, updstate::reason_did_not_start);
  EXPECT_EQ(s.failed_version[2], 90);
  EXPECT_EQ(file_bytes(road.program), road.original) << "the program that ran is back";
  EXPECT_EQ(file_bytes(road.program + ".new"), file_bytes(prepared("noshow.exe"))) << "the release moved aside";
  EXPECT_EQ(WaitForSingleObject(road.window.hProcess, 0), DWORD(WAIT_TIMEOUT)) << "the window still runs";
  HWND w = nullptr;
  EXPECT_TRUE(poll_until([&] { return (w = window_of_class(0, road.window.dwProcessId)) != nullptr; }))
      << "the window is shown again";
  if (w) PostMessageW(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(road.window.hProcess, DWORD(wait_ms)), WAIT_OBJECT_0);
}

// "Start with Windows" on the Settings page, clicked in the window as a user clicks it: the background copy is
// installed and the Run value "Vimbrel" names it with " --background"; clicked again, the value is gone. What the
// registry holds is read with the registry's own API.
TEST(WindowsRoad, StartWithWindowsWritesAndRemovesTheRunValue) {
  Road road;
  road.server.set("routes.json", "{}");
  const wchar_t* run_key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  RegDeleteKeyValueW(HKEY_CURRENT_USER, run_key, L"Vimbrel");
  auto value = [&] {
    wchar_t data[600];
    DWORD type = 0, size = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, run_key, L"Vimbrel", RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
      return std::string("(none)");
    }
    std::string text;
    for (const wchar_t* c = data; *c; ++c) text += char(*c);
    return type == REG_SZ ? text : std::string("(not REG_SZ)");
  };
  ASSERT_TRUE(road.start());
  HWND w = nullptr;
  ASSERT_TRUE(poll_until([&] { return (w = window_of_class(0, road.window.dwProcessId)) != nullptr; })) << "the window";
  const std::string copy = road.folder + "\\local\\Vimbrel\\bin\\vimbrel.exe";
  const LPARAM at = MAKELPARAM(986, 780);  // the switch of the Background section's third button
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "turned on" : "turned off");
    const std::string wanted = on ? "\"" + copy + "\" --background" : "(none)";
    EXPECT_TRUE(poll_until([&] {
      if (value() == wanted) return true;
      PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, at);
      PostMessageW(w, WM_LBUTTONUP, 0, at);
      return poll_until_ms(15000, [&] { return value() == wanted; });
    })) << value();
    if (on) EXPECT_EQ(file_bytes(copy), road.original) << "the copy the value starts is installed";
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, run_key, L"Vimbrel");
  PostMessageW(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(road.window.hProcess, DWORD(wait_ms)), WAIT_OBJECT_0);
}

}  // namespace
