// The pages of vimbrel.exe as a Windows user meets them (outside the test mode): the Processes page's context menu
// and its boxes are the system's own ("#32768", "#32770"), and a child process is ended through the menu and the
// confirmation; "Choose file..." on the Settings page opens the system's open-file dialog ("#32770"), and the key
// picked there is imported. Run under wine on an X server by tests/windows/run.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

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

// The texts of a box's child windows, joined by line feeds.
std::wstring box_text(HWND box) {
  std::wstring all;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM context) -> BOOL {
        wchar_t text[1024];
        const int n = GetWindowTextW(child, text, 1024);
        if (n > 0) *reinterpret_cast<std::wstring*>(context) += std::wstring(text, n) + L"\n";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

std::string narrow(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

void key(HWND window, UINT virtual_key) {
  PostMessageW(window, WM_KEYDOWN, virtual_key, 1);
  PostMessageW(window, WM_KEYUP, virtual_key, 0xC0000001);
}

void type(HWND window, const std::wstring& text) {
  for (wchar_t c : text) PostMessageW(window, WM_CHAR, c, 1);
}

// The filter holds the text alone: what it held is erased first.
void filter(HWND window, const std::wstring& text) {
  for (int i = 0; i < 24; ++i) PostMessageW(window, WM_CHAR, VK_BACK, 1);
  type(window, text);
}

// The window's client area as the screen shows it (0x00RRGGBB, rows top-down), read back from the window.
std::vector<u32> shown_pixels(HWND window, int* width) {
  RECT r{};
  GetClientRect(window, &r);
  *width = r.right;
  std::vector<u32> pixels;
  HDC window_dc = GetDC(window);
  HDC memory = CreateCompatibleDC(window_dc);
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), r.right, -r.bottom, 1, 32, BI_RGB};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  if (bits && BitBlt(memory, 0, 0, r.right, r.bottom, window_dc, 0, 0, SRCCOPY)) {
    GdiFlush();
    pixels.assign(static_cast<const u32*>(bits), static_cast<const u32*>(bits) + u64(r.right) * r.bottom);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, window_dc);
  return pixels;
}

// The table shows exactly one row: the first row's name cell holds text and the second row's is blank. The name
// cells (x 248-420, rows of 16 px from y 144) stay clear of the centred words an empty or loading table shows.
bool one_row_listed(HWND window) {
  int width = 0;
  const std::vector<u32> pixels = shown_pixels(window, &width);
  auto text_in = [&](int top) {
    if (pixels.size() < u64(width) * (top + 16) || width < 420) return false;
    const u32 ground = pixels[u64(top + 8) * width + 246] & 0xFFFFFF;
    u32 marked = 0;
    for (int y = top + 2; y < top + 14; ++y)
      for (int x = 248; x < 420; ++x) marked += (pixels[u64(y) * width + x] & 0xFFFFFF) != ground;
    return marked > 8;
  };
  return text_in(144) && !text_in(160);
}

// The system's menu of the one row the filter keeps. Keys are sent only once that row is shown: a key sent while a
// menu opens late would land in the menu and move its choice.
HWND menu_on_row(HWND window, DWORD pid) {
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  while (!one_row_listed(window) && GetTickCount64() < deadline) Sleep(50);
  key(window, VK_DOWN);
  key(window, VK_APPS);
  return window_of(L"#32768", pid, wait_ms);
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

class ProcessesPage : public Page {
 protected:
  ProcessesPage() : Page(L"30") {}
};

class SettingsPage : public Page {
 protected:
  SettingsPage() : Page(L"33") {}
};

TEST_F(ProcessesPage, AChildIsEndedThroughTheSystemsMenuAndConfirmation) {
  const std::wstring target = folder_.path + L"\\vbtarget.exe";
  ASSERT_TRUE(CopyFileW(program_path().c_str(), target.c_str(), FALSE));
  Started child(L"\"" + target + L"\" --mcp", true);
  ASSERT_NE(child.info.hProcess, nullptr);

  filter(window_, L"vbtarget");
  HWND menu = menu_on_row(window_, pid_);
  ASSERT_NE(menu, nullptr) << "no menu of the system opened on the child's row";
  // Down from no item: Open file location, Copy path, then past the separator End process.
  key(menu, VK_DOWN);
  key(menu, VK_DOWN);
  key(menu, VK_DOWN);
  key(menu, VK_RETURN);
  HWND box = window_of(L"#32770", pid_, wait_ms);
  ASSERT_NE(box, nullptr) << "no confirmation";
  const std::string question = narrow(box_text(box));
  EXPECT_NE(question.find("End \"vbtarget.exe\" (PID " + std::to_string(child.info.dwProcessId) +
                          ")? Anything it has not saved is lost."),
            std::string::npos)
      << question;
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 0), DWORD{WAIT_TIMEOUT}) << "ended before the answer";
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, wait_ms), DWORD{WAIT_OBJECT_0}) << "the child was not ended";
  DWORD code = 0;
  GetExitCodeProcess(child.info.hProcess, &code);
  EXPECT_EQ(code, 1u);
}

TEST_F(ProcessesPage, CancelLeavesTheChildAndAnEndedOneIsReportedInABox) {
  const std::wstring target = folder_.path + L"\\vbkept.exe";
  ASSERT_TRUE(CopyFileW(program_path().c_str(), target.c_str(), FALSE));
  Started child(L"\"" + target + L"\" --mcp", true);
  ASSERT_NE(child.info.hProcess, nullptr);

  // End process, then Cancel: the process is left alone.
  filter(window_, L"vbkept");
  HWND menu = menu_on_row(window_, pid_);
  ASSERT_NE(menu, nullptr);
  key(menu, VK_DOWN);
  key(menu, VK_DOWN);
  key(menu, VK_DOWN);
  key(menu, VK_RETURN);
  HWND box = window_of(L"#32770", pid_, wait_ms);
  ASSERT_NE(box, nullptr) << "no confirmation";
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  const ULONGLONG gone = GetTickCount64() + wait_ms;
  while (IsWindow(box) && GetTickCount64() < gone) Sleep(50);
  EXPECT_FALSE(IsWindow(box));
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 0), DWORD{WAIT_TIMEOUT}) << "Cancel ended the process";

  // The process ends while the menu is open: Copy path finds it ended and says so in the error box.
  key(window_, VK_APPS);
  menu = window_of(L"#32768", pid_, wait_ms);
  ASSERT_NE(menu, nullptr);
  TerminateProcess(child.info.hProcess, 7);
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, wait_ms), DWORD{WAIT_OBJECT_0});
  key(menu, VK_DOWN);
  key(menu, VK_DOWN);
  key(menu, VK_RETURN);
  box = window_of(L"#32770", pid_, wait_ms);
  ASSERT_NE(box, nullptr) << "no error box";
  const std::string sentence = narrow(box_text(box));
  EXPECT_NE(sentence.find("The process has already ended."), std::string::npos) << sentence;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

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
