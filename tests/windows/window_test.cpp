// The desktop window of the Windows build, driven as a test driver drives it: vimbrel.exe under --test opens its
// window, paints the frame its record holds, answers frame requests, follows a marked click on the rail and a DPI
// change, and ends with 0 on a close. Run under wine on an X server by tests/windows/run; with VIMBREL_FRAMES_OUT
// set it leaves the frames it read there, for the Linux build to compare with its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/mem.h"
#include "platform/window.h"
#include "shell/instance.h"

namespace {

constexpr UINT app = 0x8000;  // WM_APP
constexpr UINT frame_request = app + 0x10, set_dpi = app + 0x1D, work_area = app + 0x27;
constexpr WPARAM mark = WPARAM{0x5642} << 32;
constexpr DWORD wait_ms = 60000;

// Words of the frame record's header (byte offsets).
constexpr u32 word_mode = 8, word_width = 12, word_height = 16, word_stride = 20, word_status = 28, word_busy = 32,
              word_request = 36, word_window_status = 40, word_value = 60, header_bytes = 64;

std::wstring folder_of_program() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

// The program sits two folders above its test programs (build/windows/tests/windows).
std::wstring program_path() { return folder_of_program() + L"\\..\\..\\vimbrel.exe"; }

// The test fonts of the Linux machine the tests run on, seen through wine's drive of the whole file system.
std::wstring font_folder() {
  std::wstring folder = L"Z:";
  for (const char c : std::string(VIMBREL_TEST_FONTS)) folder += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return folder;
}

std::wstring hex(u64 value) {
  wchar_t text[20];
  wsprintfW(text, L"%I64x", value);
  return text;
}

struct Frame {
  u32 width = 0, height = 0;
  std::vector<u32> pixels;
  u32 at(u32 x, u32 y) const { return pixels[u64(y) * width + x]; }
};

// 0x00BBGGRR as the frame holds it.
u32 pixel(u32 colorref) {
  return 0xFF000000u | ((colorref & 0xFF) << 16) | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}

u32 colours_in(const Frame& f) {
  std::vector<u32> seen;
  for (const u32 p : f.pixels) {
    bool known = false;
    for (const u32 s : seen) known = known || s == p;
    if (!known) seen.push_back(p);
    if (seen.size() > 64) break;
  }
  return static_cast<u32>(seen.size());
}

// Where a test leaves the frames it read ("" when it should not).
std::wstring frames_out() {
  wchar_t folder[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"VIMBREL_FRAMES_OUT", folder, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
}

// The frame as little-endian width, height and its 0xAARRGGBB pixels.
void keep_frame(const Frame& f, const wchar_t* name) {
  const std::wstring folder = frames_out();
  if (folder.empty()) return;
  HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  const u32 size[2] = {f.width, f.height};
  EXPECT_TRUE(WriteFile(file, size, sizeof size, &written, nullptr));
  EXPECT_TRUE(WriteFile(file, f.pixels.data(), static_cast<DWORD>(f.pixels.size() * 4), &written, nullptr));
  CloseHandle(file);
}

// The program under --test with a folder of its own for the settings and the test files (or, started with
// system(), as a user starts it: the system's fonts, its profile folders in the test's folder).
class Program {
 public:
  Program() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static u32 made = 0;
    folder_ = std::wstring(temp) + L"vimbrel-window-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(++made);
    CreateDirectoryW(folder_.c_str(), nullptr);
    CreateDirectoryW((folder_ + L"\\set").c_str(), nullptr);
  }
  ~Program() {
    if (view_) UnmapViewOfFile(view_);
    if (record_) CloseHandle(record_);
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 9);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  bool start(const std::wstring& more = L"") {
    return run(L"\"" + program_path() + L"\" --test \"" + font_folder() + L"\" --settings \"" + settings() + L"\" " +
               more);
  }

  // Outside the test mode: the window of the class "Vimbrel", with no hand-off to another copy, its settings, key
  // and history in this test's folder.
  bool system(const std::wstring& more) {
    class_ = L"Vimbrel";
    std::wstring environment;
    for (const wchar_t* e = GetEnvironmentStringsW(); *e; e += wcslen(e) + 1)
      if (_wcsnicmp(e, L"APPDATA=", 8) != 0 && _wcsnicmp(e, L"LOCALAPPDATA=", 13) != 0)
        environment.append(e, wcslen(e) + 1);
    environment += L"APPDATA=" + folder_ + L"\\roaming";
    environment.push_back(0);
    environment += L"LOCALAPPDATA=" + folder_ + L"\\local";
    environment.push_back(0);
    CreateDirectoryW((folder_ + L"\\roaming").c_str(), nullptr);
    CreateDirectoryW((folder_ + L"\\local").c_str(), nullptr);
    return run(L"\"" + program_path() + L"\" --unattended " + more, environment.data());
  }

  std::wstring settings() const { return folder_ + L"\\set\\settings.txt"; }
  // A file in the folder of the settings file.
  std::wstring beside_settings(const wchar_t* name) const { return folder_ + L"\\set\\" + name; }
  std::wstring folder() const { return folder_; }

  // The program's window of its class, and its frame record when it has one.
  bool find_window(bool with_record = true) {
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (GetTickCount64() < deadline && !(with_record ? view_ != nullptr : window_ != nullptr)) {
      for (HWND w = FindWindowExW(nullptr, nullptr, class_.c_str(), nullptr); w && !window_;
           w = FindWindowExW(nullptr, w, class_.c_str(), nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == process_.dwProcessId) window_ = w;
      }
      if (window_ && !record_) record_ = OpenFileMappingW(FILE_MAP_READ, FALSE, record_name().c_str());
      if (record_ && !view_) view_ = static_cast<const u8*>(MapViewOfFile(record_, FILE_MAP_READ, 0, 0, 0));
      if (!(with_record ? view_ != nullptr : window_ != nullptr)) Sleep(50);
    }
    return with_record ? view_ != nullptr : window_ != nullptr;
  }
  bool has_record() const { return view_ != nullptr; }

  // Waits until the window has presented a frame (the record's count of frames moved).
  bool presented() {
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (GetTickCount64() < deadline) {
      if (word(4) > 0 && word(word_busy) == 0) return true;
      Sleep(20);
    }
    return false;
  }

  std::wstring record_name() const {
    return L"Local\\VimbrelFrame-" + hex(static_cast<u64>(reinterpret_cast<uintptr_t>(window_)));
  }
  HWND window() const { return window_; }
  DWORD process_id() const { return process_.dwProcessId; }

  bool post(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    return PostMessageW(window_, message, wparam, lparam);
  }
  // Input with the driver's mark, at client (x, y) for the pointer.
  bool click(i32 x, i32 y) {
    const LPARAM at = (LPARAM(y) << 16) | (x & 0xFFFF);
    return post(WM_MOUSEMOVE, mark, at) && post(WM_LBUTTONDOWN, mark | MK_LBUTTON, at) &&
           post(WM_LBUTTONUP, mark, at);
  }

  // Asks for a frame and waits until the record answers the request with no pixel write under way.
  bool request_frame() {
    const u32 number = ++requests_;
    if (!post(frame_request, number)) return false;
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (GetTickCount64() < deadline) {
      if (word(word_request) == number && word(word_busy) == 0) return true;
      Sleep(20);
    }
    return false;
  }

  u32 word(u32 offset) const { return reinterpret_cast<const volatile u32*>(view_)[offset / 4]; }

  Frame frame() const {
    Frame f;
    f.width = word(word_width);
    f.height = word(word_height);
    const u32 stride = word(word_stride);
    f.pixels.resize(u64(f.width) * f.height);
    const u32* pixels = reinterpret_cast<const u32*>(view_ + header_bytes);
    for (u32 y = 0; y < f.height; ++y)
      for (u32 x = 0; x < f.width; ++x) f.pixels[u64(y) * f.width + x] = pixels[u64(y) * stride + x];
    return f;
  }

  // The window's client area as the screen shows it (red, green and blue; alpha set), read back from the window.
  Frame on_screen() const {
    RECT r{};
    GetClientRect(window_, &r);
    Frame f;
    f.width = static_cast<u32>(r.right);
    f.height = static_cast<u32>(r.bottom);
    HDC window_dc = GetDC(window_);
    HDC memory = CreateCompatibleDC(window_dc);
    BITMAPINFO info{};
    info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), LONG(f.width), -LONG(f.height), 1, 32, BI_RGB};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    if (bits && BitBlt(memory, 0, 0, LONG(f.width), LONG(f.height), window_dc, 0, 0, SRCCOPY)) {
      GdiFlush();
      const u32* shown = static_cast<const u32*>(bits);
      f.pixels.assign(shown, shown + u64(f.width) * f.height);
      for (u32& p : f.pixels) p |= 0xFF000000u;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window_, window_dc);
    return f;
  }

  // Pixels of the window's client area that differ from the frame (red, green and blue), read back from the window.
  u64 differences_on_screen(const Frame& f) const {
    const Frame shown = on_screen();
    if (shown.width != f.width || shown.height != f.height || shown.pixels.size() != f.pixels.size())
      return u64(f.width) * f.height;
    u64 wrong = 0;
    for (u64 i = 0; i < f.pixels.size(); ++i) wrong += (shown.pixels[i] & 0xFFFFFF) != (f.pixels[i] & 0xFFFFFF);
    return wrong;
  }

  // Posts a close and waits for the end: the exit code, or -1 when it did not end in time.
  int end() {
    if (!post(WM_CLOSE)) return -1;
    if (WaitForSingleObject(process_.hProcess, wait_ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);
  }

 private:
  bool run(std::wstring line, wchar_t* environment = nullptr) {
    STARTUPINFOW info{};
    info.cb = sizeof info;
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, environment ? CREATE_UNICODE_ENVIRONMENT : 0,
                          environment, folder_.c_str(), &info, &process_);
  }

  std::wstring folder_, class_ = L"VimbrelTest";
  PROCESS_INFORMATION process_{};
  HWND window_ = nullptr;
  HANDLE record_ = nullptr;
  const u8* view_ = nullptr;
  u32 requests_ = 0;
};

u32 view_of(u32 status) { return status >> 24; }

std::string read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<none>";
  std::string text(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
  CloseHandle(file);
  text.resize(got);
  return text;
}

void write_file(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  CloseHandle(file);
}

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = towlower(c);
  return text;
}

// The visible top-level windows whose title holds the words (in any letter case).
std::vector<HWND> titled(const std::wstring& words) {
  struct Search {
    std::wstring words;
    std::vector<HWND> found;
  } search{lower(words), {}};
  EnumWindows(
      [](HWND w, LPARAM context) -> BOOL {
        Search* s = reinterpret_cast<Search*>(context);
        wchar_t title[512] = {};
        GetWindowTextW(w, title, 512);
        if (IsWindowVisible(w) && lower(title).find(s->words) != std::wstring::npos) s->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Text as the system's GDI draws it in a font by role (face, character height, pitch and family) on a background:
// the block its pixels cover, cut to the pixels that differ from the background.
Frame text_image(const char* face, int px, BYTE pitch, u32 colour, u32 background, const std::wstring& text) {
  constexpr int width = 400, height = 60;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old_bitmap = SelectObject(dc, bitmap);
  HFONT font = CreateFontA(-px, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, pitch, face);
  HGDIOBJ old_font = SelectObject(dc, font);
  const RECT all{0, 0, width, height};
  SetBkColor(dc, background);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &all, nullptr, 0, nullptr);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colour);
  ExtTextOutW(dc, 4, 4, ETO_CLIPPED, &all, text.c_str(), static_cast<UINT>(text.size()), nullptr);
  SelectObject(dc, old_font);
  SelectObject(dc, old_bitmap);
  std::vector<u32> pixels(width * height);
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB};
  GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(font);
  DeleteObject(bitmap);
  DeleteDC(dc);
  const u32 ground = pixel(background) & 0xFFFFFF;
  int left = width, top = height, right = 0, bottom = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if ((pixels[y * width + x] & 0xFFFFFF) != ground) {
        left = std::min(left, x), top = std::min(top, y);
        right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
      }
  Frame f;
  if (right <= left) return f;
  f.width = static_cast<u32>(right - left);
  f.height = static_cast<u32>(bottom - top);
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) f.pixels.push_back(pixels[y * width + x] | 0xFF000000u);
  return f;
}

// The block stands somewhere inside the area of the frame, pixel for pixel.
bool shows(const Frame& f, const Frame& block, RECT area) {
  if (block.pixels.empty() || f.pixels.empty()) return false;
  area.right = std::min<LONG>(area.right, f.width);
  area.bottom = std::min<LONG>(area.bottom, f.height);
  for (LONG y = area.top; y + LONG(block.height) <= area.bottom; ++y)
    for (LONG x = area.left; x + LONG(block.width) <= area.right; ++x) {
      bool same = true;
      for (u32 by = 0; by < block.height && same; ++by)
        for (u32 bx = 0; bx < block.width && same; ++bx)
          same = (f.at(x + bx, y + by) & 0xFFFFFF) == (block.at(bx, by) & 0xFFFFFF);
      if (same) return true;
    }
  return false;
}


TEST(Window, OpensPaintsAnswersFramesFollowsTheRailAndEndsOnClose) {
  Program p;
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.find_window()) << "no window of the test class with a frame record";
  ASSERT_TRUE(p.request_frame());

  // The window: its title, its place and size (a popup: the client area is the window), shown.
  wchar_t title[32] = {};
  GetWindowTextW(p.window(), title, 32);
  EXPECT_STREQ(title, L"Vimbrel");
  RECT r{};
  ASSERT_TRUE(GetWindowRect(p.window(), &r));
  EXPECT_EQ(r.left, 120);
  EXPECT_EQ(r.top, 80);
  EXPECT_EQ(r.right - r.left, 1280);
  EXPECT_EQ(r.bottom - r.top, 800);
  EXPECT_TRUE(IsWindowVisible(p.window()));

  // The own renderer drew the Overview, and the window shows exactly what the record holds.
  EXPECT_EQ(p.word(word_mode), 1u);
  EXPECT_EQ(p.word(word_status), 0u);
  EXPECT_EQ(view_of(p.word(word_window_status)), 31u) << "starts on the Overview";
  EXPECT_EQ(p.word(word_value) & 0xFF, 3u);
  Frame overview = p.frame();
  ASSERT_EQ(overview.width, 1280u);
  ASSERT_EQ(overview.height, 800u);
  EXPECT_GT(colours_in(overview), 64u);
  EXPECT_EQ(overview.at(1280 - 150, 4), pixel(0x262525)) << "title strip";
  EXPECT_EQ(overview.at(0, 500), pixel(0x444444)) << "window outline";
  u64 wrong = ~u64{0};
  for (int tries = 0; tries < 100 && wrong != 0; ++tries) {
    wrong = p.differences_on_screen(overview);
    if (wrong != 0) Sleep(50);
  }
  EXPECT_EQ(wrong, 0u) << "pixels of the window that differ from the frame record";
  keep_frame(overview, L"overview.frame");

  // A marked click on the CPU row of the rail opens the CPU view; the changed parts reach the window.
  ASSERT_TRUE(p.click(100, 134));
  ASSERT_TRUE(p.request_frame());
  EXPECT_EQ(view_of(p.word(word_window_status)), 0u) << "the CPU view";
  EXPECT_EQ(p.word(word_value) & 0xFF, 0u);
  const Frame cpu = p.frame();
  EXPECT_NE(cpu.pixels, overview.pixels);
  wrong = ~u64{0};
  for (int tries = 0; tries < 100 && wrong != 0; ++tries) {
    wrong = p.differences_on_screen(cpu);
    if (wrong != 0) Sleep(50);
  }
  EXPECT_EQ(wrong, 0u);
  keep_frame(cpu, L"cpu.frame");

  // An unmarked click is not the driver's: under --test it is swallowed.
  ASSERT_TRUE(p.post(WM_LBUTTONDOWN, MK_LBUTTON, (LPARAM(50) << 16) | 100));
  ASSERT_TRUE(p.post(WM_LBUTTONUP, 0, (LPARAM(50) << 16) | 100));
  ASSERT_TRUE(p.request_frame());
  EXPECT_EQ(view_of(p.word(word_window_status)), 0u);

  // 144 DPI: the window grows 1.5 times and the frame with it.
  ASSERT_TRUE(p.post(set_dpi, 144));
  ASSERT_TRUE(p.request_frame());
  ASSERT_TRUE(GetClientRect(p.window(), &r));
  EXPECT_EQ(r.right, 1920);
  EXPECT_EQ(r.bottom, 1200);
  EXPECT_EQ(p.word(word_width), 1920u);
  EXPECT_EQ(p.word(word_height), 1200u);

  // A close ends the program with 0, and its window goes with it.
  const HWND window = p.window();
  EXPECT_EQ(p.end(), 0);
  EXPECT_FALSE(IsWindow(window));
}

// The top of the rail entry drawn as the current page (its top row is the keyboard outline when it has that too).
u32 current_entry_top(const Frame& f) {
  const u32 current = 0xFF2C3A46, outline = 0xFFC8C8C8;
  for (u32 y = 41; y < f.height; ++y)
    if (f.at(200, y) == current && f.at(200, y - 1) != current) return f.at(200, y - 1) == outline ? y - 1 : y;
  return 0;
}

// Up and Down between the fixed rail entries (Settings, Machines, Processes) change nothing but the keyboard outline;
// each move is drawn at once (the test mode has no timer that would draw it later) and reaches the screen.
TEST(Window, FixedRailMovesDrawTheOutlineAtOnce) {
  Program p;
  ASSERT_TRUE(p.start(L"--view 33"));
  ASSERT_TRUE(p.find_window());
  ASSERT_TRUE(p.request_frame());
  const u32 settings = current_entry_top(p.frame());
  ASSERT_GT(settings, 96u) << "the Settings entry";
  const struct {
    WPARAM key;
    u32 above_settings;
  } moves[] = {{VK_UP, 64}, {VK_UP, 96}, {VK_DOWN, 64}, {VK_DOWN, 0}};
  for (const auto& m : moves) {
    ASSERT_TRUE(p.post(WM_KEYDOWN, mark | m.key));
    ASSERT_TRUE(p.request_frame());
    const Frame f = p.frame();
    const u32 top = settings - m.above_settings;
    EXPECT_TRUE(f.at(110, top) == pixel(0xC8C8C8) && f.at(110, top + 31) == pixel(0xC8C8C8))
        << "no outline around the entry " << m.above_settings << " px above Settings";
    u64 wrong = ~u64{0};
    for (int tries = 0; tries < 100 && wrong != 0; ++tries)
      if ((wrong = p.differences_on_screen(f)) != 0) Sleep(50);
    EXPECT_EQ(wrong, 0u) << "the screen does not show the frame";
  }
  EXPECT_EQ(p.end(), 0);
}

// An icon drawn at side x side on black: its pixels.
std::vector<u32> drawn(HICON icon, int side) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), side, -side, 1, 32, BI_RGB};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  std::vector<u32> pixels;
  if (bits && DrawIconEx(dc, 0, 0, icon, side, side, 0, nullptr, DI_NORMAL)) {
    GdiFlush();
    pixels.assign(static_cast<const u32*>(bits), static_cast<const u32*>(bits) + side * side);
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return pixels;
}

// Started by the shell (start.exe, as Explorer, a shortcut or the Run value start it) the window comes alone: no
// console window titled after the program beside it. A console program started the same way shows that such a
// window is seen. The program is a desktop program and carries its icon as number 1.
TEST(Window, StartedByTheShellItOpensNoConsoleWindow) {
  HANDLE file = CreateFileW(program_path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::vector<u8> head(4096);
  DWORD got = 0;
  ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr);
  CloseHandle(file);
  u32 pe = 0;
  memcpy(&pe, head.data() + 0x3C, 4);
  ASSERT_LT(pe + 4 + 20 + 70, got);
  u16 subsystem = 0;
  memcpy(&subsystem, head.data() + pe + 4 + 20 + 68, 2);  // after the signature and the file header
  EXPECT_EQ(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  HMODULE image = LoadLibraryExW(program_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HICON own = static_cast<HICON>(LoadImageW(image, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
  EXPECT_NE(own, nullptr) << "icon 1";
  if (own) DestroyIcon(own);
  FreeLibrary(image);

  wchar_t system_folder[MAX_PATH];
  GetSystemDirectoryW(system_folder, MAX_PATH);
  const std::wstring start = std::wstring(system_folder) + L"\\start.exe";
  auto shell_start = [&](const std::wstring& what) {
    std::wstring line = L"\"" + start + L"\" " + what;
    STARTUPINFOW info{};
    info.cb = sizeof info;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &info, &started))
      return false;
    WaitForSingleObject(started.hProcess, wait_ms);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    return true;
  };
  ASSERT_TRUE(shell_start(L"cmd.exe /k"));
  std::vector<HWND> consoles;
  for (const ULONGLONG deadline = GetTickCount64() + wait_ms; consoles.empty() && GetTickCount64() < deadline;)
    if ((consoles = titled(L"cmd.exe")).empty()) Sleep(50);
  ASSERT_FALSE(consoles.empty()) << "a console program started by the shell shows its console";
  for (HWND w : consoles) PostMessageW(w, WM_CLOSE, 0, 0);

  // The program's path without spaces, which the shell's start would read as a title.
  Program p;
  wchar_t program[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(program_path().c_str(), program, MAX_PATH), 0u);
  const std::wstring options =
      L" --test \"" + font_folder() + L"\" --settings \"" + p.settings() + L"\"";
  ASSERT_TRUE(shell_start(program + options));
  HWND window = nullptr;
  for (const ULONGLONG deadline = GetTickCount64() + wait_ms; !window && GetTickCount64() < deadline;)
    if (!(window = FindWindowExW(nullptr, nullptr, L"VimbrelTest", nullptr))) Sleep(50);
  ASSERT_NE(window, nullptr);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, owner);
  ASSERT_NE(process, nullptr);
  // A frame answered: the program's loop runs, and a console made for it before it started stands by now.
  const std::wstring record_name = L"Local\\VimbrelFrame-" + hex(static_cast<u64>(reinterpret_cast<uintptr_t>(window)));
  HANDLE record = nullptr;
  for (const ULONGLONG deadline = GetTickCount64() + wait_ms; !record && GetTickCount64() < deadline;)
    if (!(record = OpenFileMappingW(FILE_MAP_READ, FALSE, record_name.c_str()))) Sleep(50);
  ASSERT_NE(record, nullptr);
  const volatile u32* words = static_cast<const volatile u32*>(MapViewOfFile(record, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(words, nullptr);
  ASSERT_TRUE(PostMessageW(window, frame_request, 77, 0));
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  while (words[word_request / 4] != 77 && GetTickCount64() < deadline) Sleep(20);
  EXPECT_EQ(words[word_request / 4], 77u);
  UnmapViewOfFile(const_cast<u32*>(words));
  CloseHandle(record);
  std::vector<HWND> beside;
  for (HWND w : titled(L"vimbrel.exe"))
    if (w != window) beside.push_back(w);
  EXPECT_TRUE(beside.empty()) << "a console window beside the program's own";
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(process, wait_ms), WAIT_OBJECT_0);
  TerminateProcess(process, 9);
  CloseHandle(process);
}

// Without the font files of the own renderer (this prefix has neither) the window goes down the GDI road, whose text
// is the system's: the title strip names the road and the rail its entries, in the system's own glyphs. With --gdi
// the road is taken from the start.
TEST(Window, WithoutTheFontFilesTheGdiRoadShowsEveryWord) {
  wchar_t windows[MAX_PATH];
  const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  for (const wchar_t* name : {L"\\Fonts\\segoeui.ttf", L"\\Fonts\\consola.ttf"})
    ASSERT_EQ(GetFileAttributesW((std::wstring(windows, n) + name).c_str()), INVALID_FILE_ATTRIBUTES)
        << "in the prefix";
  // The small text role names the road in the title strip; the body role the rail's entries.
  const Frame road = text_image("Segoe UI", 12, 34, 0xA0A0A0, 0x262525, L"GDI renderer");
  const Frame processes = text_image("Segoe UI", 15, 34, 0xE8E8E8, 0x1C1C1C, L"Processes");
  const Frame settings = text_image("Segoe UI", 15, 34, 0xE8E8E8, 0x1C1C1C, L"Settings");
  ASSERT_FALSE(road.pixels.empty());
  const struct {
    const wchar_t* options;
    bool record;  // the own renderer was tried: its record holds the reason
  } cases[] = {{L"", true}, {L"--gdi", false}};
  for (const auto& c : cases) {
    Program p;
    ASSERT_TRUE(p.system(c.options));
    ASSERT_TRUE(p.find_window(c.record));
    if (c.record) {
      ASSERT_TRUE(p.presented());
      EXPECT_EQ(p.word(word_mode), 0u) << "the GDI road";
      const u32 status = p.word(word_status);
      EXPECT_TRUE(status == 1 || status == 5) << "a font file missing, or no font folder: " << status;
    }
    bool title = false, rail = false;
    Frame f;
    for (const ULONGLONG deadline = GetTickCount64() + wait_ms; !(title && rail) && GetTickCount64() < deadline;) {
      f = p.on_screen();
      title = shows(f, road, RECT{0, 0, LONG(f.width), 40});
      const RECT left{0, 40, 220, LONG(f.height)};
      rail = shows(f, processes, left) && shows(f, settings, left);
      if (!(title && rail)) Sleep(100);
    }
    if (c.record) keep_frame(f, L"gdi-road.frame");
    EXPECT_TRUE(title) << "\"GDI renderer\" in the title strip";
    EXPECT_TRUE(rail) << "the rail's words";
    EXPECT_EQ(p.end(), 0);
  }
}

// The test files of the Support page's Copy and of Copy key land beside a settings path written the system's way
// (backslashes), as they do beside one with slashes.
TEST(Window, SupportCopyAndCopyKeyWriteBesideAWindowsSettingsPath) {
  const std::string cz = "CZ6508000000192000145399";
  {
    Program p;
    const std::wstring payment = p.folder() + L"\\payment.txt";
    write_file(payment, "CZK " + cz + " GIBACZPX Example Company s.r.o.\nEUR DE89370400440532013000 COBADEFFXXX "
                        "Example Company\n");
    ASSERT_TRUE(p.start(L"--support \"" + payment + L"\" --view 66"));
    ASSERT_TRUE(p.find_window());
    ASSERT_TRUE(p.request_frame());
    EXPECT_EQ(p.word(word_value) & 0xFF, 6u) << "the Support page";
    // The first code is a white square whose quiet zone starts at x 244; its Copy button stands right of it.
    const Frame f = p.frame();
    u32 top = 0;
    for (u32 y = 150; y + 1 < f.height && top == 0; ++y)
      if (f.at(250, y) == 0xFFFFFFFFu && f.at(250, y - 1) != 0xFFFFFFFFu) top = y;
    ASSERT_GT(top, 0u);
    u32 side = 0;
    while (244 + side < f.width && f.at(244 + side, top + 2) == 0xFFFFFFFFu) ++side;
    ASSERT_TRUE(p.click(244 + static_cast<i32>(side) + 24 + 48, static_cast<i32>(top) + 130 + 14));
    ASSERT_TRUE(p.request_frame());
    EXPECT_EQ(read_file(p.beside_settings(L"clipboard.txt")), cz);
    EXPECT_EQ(p.end(), 0);
  }
  {
    Program p;
    const std::string key = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    write_file(p.settings() + L".key", "vimbrel-key 1 " + key + "\n");
    ASSERT_TRUE(p.start(L"--view 33"));
    ASSERT_TRUE(p.find_window());
    ASSERT_TRUE(p.request_frame());
    ASSERT_TRUE(p.click(976, 564));  // Copy key, with the page at its top
    ASSERT_TRUE(p.request_frame());
    EXPECT_EQ(read_file(p.beside_settings(L"clipboard.txt")).rfind("vimbrel-key 1 " + key, 0), 0u);
    EXPECT_EQ(p.end(), 0);
  }
}

// The program's snap preview window while it is shown, null otherwise.
HWND shown_preview(DWORD process) {
  for (HWND w = FindWindowExW(nullptr, nullptr, L"VimbrelSnap", nullptr); w;
       w = FindWindowExW(nullptr, w, L"VimbrelSnap", nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == process && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

bool rect_is(HWND window, RECT expected) {
  RECT r{};
  GetWindowRect(window, &r);
  EXPECT_EQ(r.left, expected.left);
  EXPECT_EQ(r.top, expected.top);
  EXPECT_EQ(r.right, expected.right);
  EXPECT_EQ(r.bottom, expected.bottom);
  return EqualRect(&r, &expected);
}

TEST(Window, SnapsWithKeysAndADragThatShowsThePreview) {
  Program p;
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.find_window());
  ASSERT_TRUE(p.post(work_area, 0, (LPARAM{1000} << 16) | 1600));
  const WPARAM windows_key = WPARAM{1} << 19;

  // Windows key + Left: the left half of the work area; + Right from there: floating again.
  ASSERT_TRUE(p.post(WM_KEYDOWN, mark | windows_key | VK_LEFT));
  ASSERT_TRUE(p.request_frame());
  EXPECT_TRUE(rect_is(p.window(), RECT{0, 0, 800, 1000}));
  EXPECT_EQ(p.word(word_width), 800u);
  ASSERT_TRUE(p.post(WM_KEYDOWN, mark | windows_key | VK_RIGHT));
  ASSERT_TRUE(p.request_frame());
  EXPECT_TRUE(rect_is(p.window(), RECT{120, 80, 1400, 880}));

  // The title strip dragged to the left edge shows the preview of the left half; released there, the window snaps.
  const LPARAM title = (LPARAM{20} << 16) | 600, edge = (LPARAM{500 - 80} << 16) | ((3 - 120) & 0xFFFF);
  ASSERT_TRUE(p.post(WM_LBUTTONDOWN, mark | MK_LBUTTON, title));
  ASSERT_TRUE(p.post(WM_MOUSEMOVE, mark | MK_LBUTTON, edge));
  ASSERT_TRUE(p.request_frame());
  const HWND preview = shown_preview(p.process_id());
  ASSERT_NE(preview, nullptr);
  EXPECT_TRUE(rect_is(preview, RECT{0, 0, 800, 1000}));
  ASSERT_TRUE(p.post(WM_LBUTTONUP, mark, title));
  ASSERT_TRUE(p.request_frame());
  EXPECT_TRUE(rect_is(p.window(), RECT{0, 0, 800, 1000}));
  EXPECT_EQ(shown_preview(p.process_id()), nullptr);
  EXPECT_EQ(p.end(), 0);
}

// ---- The window layer itself, on this thread's own windows

// A thread record with one window of a class of its own (each record registers its own class).
struct Layer {
  win::Thread* t = new win::Thread{};
  win::Handle window = 0;
  explicit Layer(const char* class_name) {
    if (win::start(t, win::start_any) != win::ok) return;
    const mem::Bytes name = mem::cstr(class_name);
    if (win::register_class(t, name, win::cs_dblclks, 0, win::cursor_arrow, win::no_colour) != win::ok) return;
    window = win::create_window(t, name, 0x80000000u, 0, 10, 10, 300, 200);
  }
  ~Layer() {
    win::finish(t);
    delete t;
  }
};

// The next message within a second (timers and paints included), or a message of 0.
win::Msg next(win::Thread* t) {
  win::Msg m{};
  for (int i = 0; i < 100; ++i) {
    if (win::peek_message(t, &m, 0, 0, 0, true)) return m;
    Sleep(10);
  }
  return win::Msg{};
}

TEST(WindowLayer, PostsKeepTheirWordsAndTimersAndGoneWindowsAnswerAsTheySay) {
  Layer a("LayerPosts");
  ASSERT_NE(a.window, 0u);
  EXPECT_TRUE(win::is_window(*a.t, a.window));
  EXPECT_EQ(win::process_of(a.window), GetCurrentProcessId());
  EXPECT_EQ(win::find_window(mem::lit("LayerPosts"), 0), a.window);
  win::Rect r{};
  ASSERT_EQ(win::client_rect(*a.t, a.window, &r), 1u);
  EXPECT_EQ(r.right, 300);
  EXPECT_EQ(r.bottom, 200);

  // A driver's mark rides in the high half of wParam; lParam keeps its sign.
  const u64 wparam = (u64{0x5642} << 32) | 7;
  ASSERT_EQ(win::post_remote(a.window, win::wm_app + 0x11, wparam, -5), win::ok);
  win::Msg m = next(a.t);
  EXPECT_EQ(m.window, a.window);
  EXPECT_EQ(m.message, win::wm_app + 0x11);
  EXPECT_EQ(m.wparam, wparam);
  EXPECT_EQ(m.lparam, -5);

  // A window timer comes with its id; a thread timer with the id it was given and no window.
  ASSERT_EQ(win::set_timer(a.t, a.window, 9, 10), 9u);
  m = next(a.t);
  EXPECT_EQ(m.message, win::wm_timer);
  EXPECT_EQ(m.wparam, 9u);
  EXPECT_EQ(win::kill_timer(a.t, a.window, 9), 1u);
  const u32 id = win::set_timer(a.t, 0, 0, 10);
  ASSERT_NE(id, 0u);
  do m = next(a.t); while (m.message == win::wm_timer && m.window != 0);
  EXPECT_EQ(m.message, win::wm_timer);
  EXPECT_EQ(m.window, 0u);
  EXPECT_EQ(m.wparam, id);
  win::kill_timer(a.t, 0, id);

  const win::Handle old = a.window;
  EXPECT_EQ(win::destroy_window(a.t, a.window), 1u);
  EXPECT_FALSE(win::is_window(*a.t, old));
  EXPECT_EQ(win::post_remote(old, win::wm_app, 0, 0), win::gone);
  EXPECT_EQ(win::find_window(mem::lit("LayerPosts"), 0), 0u);
}

// A program that carries its icon (number 1; this test program carries the same one) shows it as the icon of its
// window class and of its windows, at the size asked for, in place of the pixels the shell drew.
TEST(WindowLayer, TheProgramsIconIsTheOneItsWindowsShow) {
  Layer a("LayerIcon");
  ASSERT_NE(a.window, 0u);
  std::vector<u32> tile(32 * 32, 0xFF204060u);
  const gdi::Handle icon = gdi::icon_create(tile.data(), 32, 32);
  ASSERT_EQ(win::register_class(a.t, mem::lit("LayerIconClass"), 0, icon, win::cursor_arrow, win::no_colour), win::ok);
  const win::Handle w = win::create_window(a.t, mem::lit("LayerIconClass"), 0x80000000u, 0, 10, 10, 100, 100);
  ASSERT_NE(w, 0u);
  HICON own = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
  ASSERT_NE(own, nullptr);
  const HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(w));
  const std::vector<u32> expected = drawn(own, 32);
  EXPECT_EQ(drawn(reinterpret_cast<HICON>(GetClassLongPtrW(hwnd, GCLP_HICON)), 32), expected);
  const std::vector<u32> small(16 * 16, 0xFF204060u);
  const gdi::Handle small_icon = gdi::icon_create(small.data(), 16, 16);
  win::set_icon(a.t, w, 0, small_icon);
  HICON own_small =
      static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
  EXPECT_EQ(drawn(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)), 16), drawn(own_small, 16));
  EXPECT_NE(drawn(own_small, 16), std::vector<u32>(16 * 16, 0xFF204060u));
  DestroyIcon(own);
  DestroyIcon(own_small);
  win::destroy_window(a.t, w);
  gdi::icon_delete(small_icon);
  gdi::icon_delete(icon);
}

// The window lets the wake message of a second start through its message filter (which keeps messages of lower
// integrity levels from an elevated window); a window that is gone has no filter to open.
TEST(WindowLayer, TheWakeMessagePassesTheFilterOfALiveWindow) {
  Layer a("LayerFilter");
  ASSERT_NE(a.window, 0u);
  const u32 wake = instance::wake_message();
  ASSERT_NE(wake, 0u);
  EXPECT_EQ(instance::allow_message(a.window, wake), 1u);
  const win::Handle old = a.window;
  ASSERT_EQ(win::destroy_window(a.t, a.window), 1u);
  EXPECT_EQ(instance::allow_message(old, wake), 0u);
}

TEST(WindowLayer, PaintsFollowTheInvalidRegion) {
  Layer a("LayerPaints");
  ASSERT_NE(a.window, 0u);
  win::show_window(a.t, a.window, win::sw_shownoactivate);
  win::Rect box{};
  ASSERT_EQ(win::begin_paint(a.t, a.window, &box), 1u);  // what showing it made invalid
  win::end_paint(a.t, a.window);
  win::Region region{};
  EXPECT_EQ(win::update_region(*a.t, a.window, &region), 0u);

  const win::Rect one{10, 10, 30, 20}, two{100, 50, 120, 90};
  win::invalidate(a.t, a.window, &one);
  win::invalidate(a.t, a.window, &two);
  ASSERT_EQ(win::update_region(*a.t, a.window, &region), 1u);
  EXPECT_EQ(win::region_area(region), 20u * 10 + 20u * 40);
  EXPECT_TRUE(win::region_contains(region, 15, 15));
  EXPECT_FALSE(win::region_contains(region, 50, 15));
  win::Msg m{};
  EXPECT_EQ(win::peek_message(a.t, &m, a.window, win::wm_paint, win::wm_paint, false), 1u);
  ASSERT_EQ(win::begin_paint(a.t, a.window, &box), 1u);
  EXPECT_EQ(box.left, 10);
  EXPECT_EQ(box.top, 10);
  EXPECT_EQ(box.right, 120);
  EXPECT_EQ(box.bottom, 90);
  EXPECT_EQ(win::update_region(*a.t, a.window, &region), 0u);
  EXPECT_EQ(win::peek_message(a.t, &m, a.window, win::wm_paint, win::wm_paint, false), 0u);

  // A new size is painted whole.
  ASSERT_EQ(win::set_window_pos(a.t, a.window, 10, 10, 400, 250), 1u);
  ASSERT_EQ(win::update_region(*a.t, a.window, &region), 1u);
  EXPECT_EQ(win::region_area(region), 400u * 250);
  win::validate(a.t, a.window, nullptr);

  // A window of a class with a colour (the snap preview) is filled by the layer: its paint never reaches the loop.
  ASSERT_EQ(win::register_class(a.t, mem::lit("LayerColour"), 0, 0, win::cursor_arrow, 0x00D77800), win::ok);
  const win::Handle coloured = win::create_window(a.t, mem::lit("LayerColour"), 0x80000000u, 0, 40, 40, 50, 50);
  ASSERT_NE(coloured, 0u);
  win::show_window(a.t, coloured, win::sw_shownoactivate);
  ASSERT_EQ(win::set_timer(a.t, a.window, 3, 20), 3u);
  ASSERT_EQ(win::get_message(a.t, &m), 1);
  EXPECT_EQ(m.message, win::wm_timer);
  EXPECT_EQ(win::update_region(*a.t, coloured, &region), 0u);
}

// What the clipboard holds after a copy, as another program reads it.
struct Held {
  std::wstring text;
  u32 marks = 0;
};
Held held_now() {
  Held h;
  if (!OpenClipboard(nullptr)) return h;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* text = static_cast<const wchar_t*>(GlobalLock(data))) h.text = text;
    GlobalUnlock(data);
  }
  for (const char* name : {"ExcludeClipboardContentFromMonitorProcessing", "CanIncludeInClipboardHistory",
                           "CanUploadToCloudClipboard"})
    h.marks += IsClipboardFormatAvailable(win::clipboard_format(mem::cstr(name))) ? 1 : 0;
  CloseClipboard();
  return h;
}

TEST(WindowLayer, TheClipboardTakesTextAndMarksAndIsBusyWhileAnotherHoldsIt) {
  Layer a("LayerClipA"), b("LayerClipB");
  ASSERT_NE(a.window, 0u);
  ASSERT_NE(b.window, 0u);
  const struct {
    const char16_t* text;
    bool secret;
    const wchar_t* held;
    const char* read;
  } cases[] = {
      {u"plain text", false, L"plain text", "plain text"},
      {u"key-\u00e9", true, L"key-\u00e9", "key-?"},
      {u"", false, L"", ""},
  };
  for (const auto& c : cases) {
    const u32 count = static_cast<u32>(std::char_traits<char16_t>::length(c.text));
    ASSERT_EQ(win::clipboard_open(a.t, a.window), win::ok);
    ASSERT_EQ(win::clipboard_empty(a.t), win::ok);
    ASSERT_EQ(win::clipboard_set_text(a.t, reinterpret_cast<const u16*>(c.text), count), win::ok);
    const u32 marks = c.secret ? 3 : 0;
    for (const char* name : {"ExcludeClipboardContentFromMonitorProcessing", "CanIncludeInClipboardHistory",
                             "CanUploadToCloudClipboard"})
      if (c.secret) EXPECT_EQ(win::clipboard_mark(a.t, win::clipboard_format(mem::cstr(name))), win::ok);
    win::clipboard_close(a.t);
    const Held h = held_now();
    EXPECT_EQ(h.text, c.held);
    EXPECT_EQ(h.marks, marks);
    // Read back as the paste of a text field takes it: 8-bit, '?' for what is not ASCII.
    u8 read[64];
    u32 length = 99;
    ASSERT_EQ(win::clipboard_open(b.t, b.window), win::ok);
    EXPECT_EQ(win::clipboard_read(b.t, read, sizeof read, &length), win::ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(read), length), c.read);
    // While it is open here, the other window finds it busy.
    EXPECT_EQ(win::clipboard_open(a.t, a.window), win::busy);
    win::clipboard_close(b.t);
  }
  u32 length = 0;
  u8 read[4];
  EXPECT_EQ(win::clipboard_read(a.t, read, sizeof read, &length), win::refused) << "not open";
  const u16 x[] = {'x'};
  EXPECT_EQ(win::clipboard_set_text(a.t, x, 1), win::refused) << "not open";
}

}  // namespace
