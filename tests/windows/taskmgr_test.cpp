// The Task Manager replacement of vimbrel.exe under wine, run as Windows runs it elevated: `--replace-taskmgr` on the
// test key (HKCU\Software\VimbrelTest\<folder hash>\IFEO\taskmgr.exe) and on the machine's own Image File Execution
// Options key, read back with the registry's own API.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/windows/support.h"

namespace {

struct Value {
  DWORD type = 0;
  std::wstring text;
  bool present = false;
};

Value read(HKEY root, const std::wstring& key, const wchar_t* name) {
  Value v;
  wchar_t data[4096];
  DWORD size = sizeof data;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &v.type, data, &size) != ERROR_SUCCESS) {
    return v;
  }
  v.present = true;
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) v.text = data;
  return v;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

using winsupport::run;

// A copy of the program in a folder of its own, so the test key is this test's.
struct Copy {
  winsupport::Folder folder{"vimbrel-taskmgr-"};
  std::string program = folder.path + "\\vimbrel.exe";
  Copy() { CopyFileA(winsupport::prepared("program.exe").c_str(), program.c_str(), FALSE); }
};

TEST(WindowsTaskManager, OnOffTakeoverAndAnOversizeValueOnTheTestKey) {
  ASSERT_NE(winsupport::prepared("program.exe"), "");
  Copy copy;
  const std::wstring tree = L"Software\\VimbrelTest\\" + wide(winsupport::folder_hash(copy.program));
  const std::wstring key = tree + L"\\IFEO\\taskmgr.exe";
  const std::wstring ours = L"\"" + wide(copy.program) + L"\" --as-taskmgr";
  const std::wstring foreign = L"%SystemRoot%\\system32\\cmd.exe /k";
  std::string err;

  EXPECT_EQ(run(copy.program, "--replace-taskmgr on --test", &err), 0u) << err;
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").text, ours);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").type, DWORD(REG_SZ));
  EXPECT_EQ(run(copy.program, "--replace-taskmgr off --test", &err), 0u) << err;
  EXPECT_FALSE(read(HKEY_CURRENT_USER, key, L"Debugger").present);
  HKEY left = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &left), ERROR_SUCCESS) << "the empty key goes";

  // Another program's expandable value: "on" refuses it, "takeover" keeps it aside as it was.
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Debugger", REG_EXPAND_SZ, foreign.c_str(),
                            DWORD((foreign.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  EXPECT_EQ(run(copy.program, "--replace-taskmgr on --test", &err), 3u);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").text, foreign);
  EXPECT_EQ(run(copy.program, "--replace-taskmgr takeover --test", &err), 0u) << err;
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").text, ours);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"VimbrelReplaced").text, foreign);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"VimbrelReplaced").type, DWORD(REG_EXPAND_SZ));

  // A value too long to be read whole: the change fails with exit code 1 and says why.
  const std::wstring oversize = L"\"C:\\" + std::wstring(2100, L'x') + L"\"";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Debugger", REG_SZ, oversize.c_str(),
                            DWORD((oversize.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  err.clear();
  EXPECT_EQ(run(copy.program, "--replace-taskmgr on --test", &err), 1u);
  EXPECT_EQ(err.substr(0, err.find_first_of("\r\n")), "vimbrel: --replace-taskmgr: the test key could not be changed");
  RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, tree.c_str());
}

// The machine's own key, which Windows reads (wine lets the test's user change it): ours written and removed; another
// program's expandable value taken over and, its program found through the expanded path, put back as it was.
TEST(WindowsTaskManager, TheMachinesKeyIsWrittenAndRestored) {
  ASSERT_NE(winsupport::prepared("program.exe"), "");
  Copy copy;
  const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\taskmgr.exe";
  const std::wstring ours = L"\"" + wide(copy.program) + L"\" --as-taskmgr";
  const std::wstring foreign = L"%SystemRoot%\\system32\\cmd.exe /k";
  std::string err;
  ASSERT_FALSE(read(HKEY_LOCAL_MACHINE, key, L"Debugger").present) << "the prefix's key is already set";
  EXPECT_EQ(run(copy.program, "--replace-taskmgr on", &err), 0u) << err;
  EXPECT_EQ(read(HKEY_LOCAL_MACHINE, key, L"Debugger").text, ours);
  EXPECT_EQ(run(copy.program, "--replace-taskmgr off", &err), 0u) << err;
  EXPECT_FALSE(read(HKEY_LOCAL_MACHINE, key, L"Debugger").present);

  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Debugger", REG_EXPAND_SZ, foreign.c_str(),
                            DWORD((foreign.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  EXPECT_EQ(run(copy.program, "--replace-taskmgr takeover", &err), 0u) << err;
  EXPECT_EQ(read(HKEY_LOCAL_MACHINE, key, L"Debugger").text, ours);
  EXPECT_EQ(read(HKEY_LOCAL_MACHINE, key, L"VimbrelReplaced").type, DWORD(REG_EXPAND_SZ));
  EXPECT_EQ(run(copy.program, "--replace-taskmgr off", &err), 0u) << err;
  EXPECT_EQ(read(HKEY_LOCAL_MACHINE, key, L"Debugger").text, foreign);
  EXPECT_EQ(read(HKEY_LOCAL_MACHINE, key, L"Debugger").type, DWORD(REG_EXPAND_SZ));
  EXPECT_FALSE(read(HKEY_LOCAL_MACHINE, key, L"VimbrelReplaced").present);

  // Too long a value there: exit code 1 with this system's words.
  const std::wstring oversize = L"\"C:\\" + std::wstring(2100, L'x') + L"\"";
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Debugger", REG_SZ, oversize.c_str(),
                            DWORD((oversize.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  err.clear();
  EXPECT_EQ(run(copy.program, "--replace-taskmgr on", &err), 1u);
  EXPECT_EQ(err.substr(0, err.find_first_of("\r\n")),
            "vimbrel: --replace-taskmgr: the Task Manager value could not be changed: it needs administrator rights, "
            "or the registry refused the change");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Debugger");
}

}  // namespace
