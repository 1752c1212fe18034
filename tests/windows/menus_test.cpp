// The pages of vimbrel.exe as a Windows user meets them (outside the test mode): "Choose file..." on the Settings
// page opens the system's own open-file dialog ("#32770"), and the key picked there is imported. Run under wine on
// an X server by tests/windows/run.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "platform/fs.h"
#include "widgets/hitmap.h"

namespace {

constexpr DWORD wait_ms = 60000;

std::wstring env(const wchar_t* name) {
  wchar_t value[2048];
  const DWORD n = GetEnvironmentVariableW(name, value, 2048);
  return n == 0 || n >= 2048 ? std::wstring() : std::wstring(value, n);
}

std::wstring folder_of_program() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

// The program sits two folders above its test programs (build/windows/tests/windows).
std::wstring program_path() { return folder_of_program() + L"\\..\\..\\vimbrel.exe"; }

// A folder of its own for the profile of the window (settings, history) and the target's program file; removed
// with what it holds.
struct Folder {
  std::wstring path;
  Folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static u32 made = 0;
    path = std::wstring(temp) + L"vimbrel-menus-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++made);
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~Folder() {
    std::string bytes;
    for (wchar_t c : path) bytes += static_cast<char>(c);
    fs::delete_tree(mem::Bytes(reinterpret_cast<const u8*>(bytes.data()), bytes.size()));
  }
};

// A process started with the line; standard input is a pipe the test holds open, so that --mcp waits on it.
struct Started {
  PROCESS_INFORMATION info{};
  HANDLE input = nullptr;
  Started(std::wstring line, bool piped) {
    STARTUPINFOW start{};
    start.cb = sizeof start;
    HANDLE read_end = nullptr;
    if (piped) {
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      CreatePipe(&read_end, &input, &inherit, 0);
      SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
      start.dwFlags = STARTF_USESTDHANDLES;
      start.hStdInput = read_end;
      start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
      start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, piped, 0, nullptr, nullptr, &start, &info);
    if (read_end) CloseHandle(read_end);
  }
  ~Started() {
    if (info.hProcess) {
      if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 9);
      WaitForSingleObject(info.hProcess, 10000);
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
    if (input) CloseHandle(input);
  }
};

// A top-level window of the class that belongs to the process, waited for up to the time given.
HWND window_of(const wchar_t* class_name, DWORD pid, DWORD ms) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  do {
    for (HWND w = FindWindowExW(nullptr, nullptr, class_name, nullptr); w;
         w = FindWindowExW(nullptr, w, class_name, nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(w, &owner);
      if (owner == pid && IsWindowVisible(w)) return w;
    }
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

std::string file_text(const std::wstring& path) {
  std::string out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char piece[512];
  DWORD got = 0;
  while (ReadFile(h, piece, sizeof piece, &got, nullptr) && got) out.append(piece, got);
  CloseHandle(h);
  return out;
}

// The window, started as a user starts it on one of its pages (the start view's row), with a profile of its own.
class Page : public ::testing::Test {
 protected:
  explicit Page(const wchar_t* view) : view_(view) {}
  void SetUp() override {
    saved_roaming_ = env(L"APPDATA");
    saved_local_ = env(L"LOCALAPPDATA");
    SetEnvironmentVariableW(L"APPDATA", (folder_.path + L"\\Roaming").c_str());
    SetEnvironmentVariableW(L"LOCALAPPDATA", (folder_.path + L"\\Local").c_str());
    window_program_ =
        std::make_unique<Started>(L"\"" + program_path() + L"\" --view " + view_ + L" --unattended", false);
    ASSERT_NE(window_program_->info.hProcess, nullptr);
    pid_ = window_program_->info.dwProcessId;
    window_ = window_of(L"Vimbrel", pid_, wait_ms);
    ASSERT_NE(window_, nullptr) << "the window did not open";
  }
  void TearDown() override {
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (window_program_) WaitForSingleObject(window_program_->info.hProcess, wait_ms);
    window_program_.reset();
    SetEnvironmentVariableW(L"APPDATA", saved_roaming_.c_str());
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved_local_.c_str());
  }

  const wchar_t* view_;
  Folder folder_;
  std::wstring saved_roaming_, saved_local_;
  std::unique_ptr<Started> window_program_;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
};

class SettingsPage : public Page {
 protected:
  SettingsPage() : Page(L"33") {}
};

// "Choose file..." opens the system's open-file dialog; the file named there is imported as the cluster key.
TEST_F(SettingsPage, ChooseFileImportsTheKeyPickedInTheSystemsDialog) {
  const std::string key = "vimbrel-key 1 " + std::string(64, 'c') + "\n";
  const std::wstring picked = folder_.path + L"\\picked.key";
  HANDLE h = CreateFileW(picked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, key.data(), DWORD(key.size()), &wrote, nullptr);
  CloseHandle(h);
  // The button's place on the page at the window's width (96 DPI: logical and physical px are one).
  RECT client{};
  GetClientRect(window_, &client);
  const int width = client.right, fields = app::field_width(width);
  const int x0 = app::keys_in_row(width) ? 424 + fields + 12 : fields + 64, y0 = app::keys_in_row(width) ? 550 : 582;
  const LPARAM at = MAKELPARAM(x0 + 248 + 56, y0 + 14);
  HWND dialog = nullptr;
  for (int i = 0; i < 30 && !dialog; ++i) {
    PostMessageW(window_, WM_MOUSEMOVE, 0, at);
    PostMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(window_, WM_LBUTTONUP, 0, at);
    dialog = window_of(L"#32770", pid_, 2000);
  }
  ASSERT_NE(dialog, nullptr) << "no open-file dialog";
  // The file name goes into the dialog's name field, then Open.
  HWND field = nullptr;
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM context) -> BOOL {
        wchar_t name[16];
        GetClassNameW(child, name, 16);
        if (lstrcmpiW(name, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
        *reinterpret_cast<HWND*>(context) = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&field));
  ASSERT_NE(field, nullptr);
  SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(picked.c_str()));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  const std::wstring imported = folder_.path + L"\\Roaming\\Vimbrel\\cluster.key";
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  while (file_text(imported) != key && GetTickCount64() < deadline) Sleep(100);
  EXPECT_EQ(file_text(imported), key);
}

}  // namespace
