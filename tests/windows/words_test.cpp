// The Windows build's own words and names for the background copy, its Run value and the Task Manager replacement,
// and the Run value itself in the registry: written, read back through the registry's own API and removed.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/registry.h"
#include "tests/windows/support.h"
#include "update/background.h"
#include "update/runkey.h"
#include "update/taskmgr.h"

namespace {

std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

using winsupport::folder_hash;

TEST(WindowsSystemWords, TheWindowsBuildSaysItsOwn) {
  const registry::SystemWords w = registry::system_words();
  background::Control idle{};
  idle.port = 7500;
  u8 line[background::line_max];
  auto paths = std::make_unique<background::Paths>();
  ASSERT_TRUE(background::paths(paths.get(), mem::lit("C:\\Users\\u\\AppData\\Local")));
  const std::string copy = "C:\\Users\\u\\AppData\\Local\\Vimbrel\\bin\\vimbrel.exe";
  struct Case {
    const char* what;
    std::string shown, expected;
  } cases[] = {
      {"the log-on switch", text(w.start_switch), "Start with Windows"},
      {"the Run key", text(w.run_key), "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {"the firewall line",
       text(mem::Bytes(line, background::settings_text(&idle, mem::Slice{line, sizeof line}))),
       "Windows asks once to let the host accept TCP 7420 and UDP 7421; Vimbrel never changes firewall rules."},
      {"the background copy", text(paths->copy.bytes()), copy},
      {"its settings", text(paths->settings.bytes()), "C:\\Users\\u\\AppData\\Local\\Vimbrel\\background.txt"},
      {"its mutex, named by the copy's folder", text(paths->mutex()), "Local\\Vimbrel-background-" + folder_hash(copy)},
      {"its wake event", text(paths->wake()), "Local\\Vimbrel-background-wake-" + folder_hash(copy)},
      {"--background without LOCALAPPDATA", text(w.no_data_folder), "vimbrel background: no LOCALAPPDATA folder"},
      {"--replace-taskmgr denied", text(taskmgr::exit_text(taskmgr::exit_failed, registry::denied, false)),
       "access denied: changing the Task Manager value needs administrator rights"},
      {"--replace-taskmgr that failed otherwise", text(taskmgr::exit_text(taskmgr::exit_failed, registry::more_data, false)),
       "the registry could not read or change the Task Manager value"},
      {"--replace-taskmgr on the test key", text(taskmgr::exit_text(taskmgr::exit_failed, registry::denied, true)),
       "the test key could not be changed"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, c.expected) << c.what;
}

// The Run value "Vimbrel" under the current user's Run key: a plain text with the command line, read back as the
// registry holds it; a value of another type or an empty one counts as absent; removing it twice succeeds.
TEST(WindowsRunValue, WrittenReadBackAndRemoved) {
  const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string name = "VimbrelTest" + std::to_string(GetCurrentProcessId());
  const std::wstring wide_name(name.begin(), name.end());
  const std::string command = "\"C:\\Users\\u\\AppData\\Local\\Vimbrel\\bin\\vimbrel.exe\" --background";
  ASSERT_TRUE(runkey::write(winsupport::bytes(name), winsupport::bytes(command)));
  wchar_t data[600];
  DWORD type = 0, size = sizeof data;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key, wide_name.c_str(), RRF_RT_ANY, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, (command.size() + 1) * sizeof(wchar_t)) << "the terminating zero is counted";
  EXPECT_EQ(std::wstring(data), std::wstring(command.begin(), command.end()));
  u8 read[512];
  EXPECT_EQ(text(mem::Bytes(read, runkey::read(winsupport::bytes(name), read))), command);

  const DWORD number = 7;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, wide_name.c_str(), REG_DWORD, &number, sizeof number),
            ERROR_SUCCESS);
  EXPECT_EQ(runkey::read(winsupport::bytes(name), read), 0u) << "a number is no command line";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, wide_name.c_str(), REG_SZ, L"", sizeof(wchar_t)), ERROR_SUCCESS);
  EXPECT_EQ(runkey::read(winsupport::bytes(name), read), 0u) << "an empty value";

  EXPECT_TRUE(runkey::remove(winsupport::bytes(name)));
  EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, key, wide_name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_TRUE(runkey::remove(winsupport::bytes(name))) << "a value that is not there";
  EXPECT_EQ(runkey::read(winsupport::bytes(name), read), 0u);
}

}  // namespace
