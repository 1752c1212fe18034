// The Task Manager replacement of vimbrel.exe under wine, run as Windows runs it elevated: `--replace-taskmgr` on the
// test key (HKCU\Software\VimbrelTest\<folder hash>\IFEO\taskmgr.exe) and on the machine's own Image File Execution
// Options key, read back with the registry's own API.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/windows/support.h"
#include "update/taskmgr.h"

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
            "vimbrel: --replace-taskmgr: the registry could not read or change the Task Manager value");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Debugger");

  // A key the user may read but not change, as the machine's key is for a user without administrator rights: exit
  // code 1 with the words for that, nothing written.
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS);
  HKEY made = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr),
            ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  PSECURITY_DESCRIPTOR read_only = nullptr;
  // Everyone may read the key and delete it; nobody may set a value or make a subkey.
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x00030019;;;WD)", SDDL_REVISION_1,
                                                                   &read_only, nullptr));
  ASSERT_EQ(RegSetKeySecurity(made, DACL_SECURITY_INFORMATION, read_only), ERROR_SUCCESS);
  LocalFree(read_only);
  RegCloseKey(made);
  HKEY probe = nullptr;
  const LSTATUS writable = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &probe);
  if (probe) RegCloseKey(probe);
  if (writable == ERROR_ACCESS_DENIED) {
    err.clear();
    EXPECT_EQ(run(copy.program, "--replace-taskmgr on", &err), 1u);
    EXPECT_EQ(err.substr(0, err.find_first_of("\r\n")),
              "vimbrel: --replace-taskmgr: access denied: changing the Task Manager value needs administrator rights");
    EXPECT_FALSE(read(HKEY_LOCAL_MACHINE, key, L"Debugger").present);
  } else {
    ADD_FAILURE() << "a key whose rights refuse setting values opened for setting them (" << writable << ")";
  }
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS);
}

// Under --test on Windows a drive path is the file itself: ours names this very copy (state 1), another program's
// saved value names the real command interpreter, and making a test program never touches a file that exists.
TEST(WindowsTaskManager, TestValuesNameTheSystemsOwnFiles) {
  ASSERT_NE(winsupport::prepared("program.exe"), "");
  Copy copy;
  const mem::Bytes program = winsupport::bytes(copy.program);
  const taskmgr::Key key = taskmgr::replacement_key(true, program);
  std::string err;
  ASSERT_EQ(run(copy.program, "--replace-taskmgr on --test", &err), 0u) << err;
  const taskmgr::Value ours = taskmgr::read_value(key, mem::lit("Debugger"));
  EXPECT_EQ(taskmgr::debugger_state(ours, program, true), taskmgr::state_on);

  const std::string cmd = "\"C:\\windows\\system32\\cmd.exe\" /k";
  EXPECT_TRUE(taskmgr::program_exists(winsupport::bytes(cmd), false, true));
  EXPECT_TRUE(taskmgr::program_exists(mem::lit("%SystemRoot%\\system32\\cmd.exe /k"), true, true));
  const u64 size = winsupport::file_bytes(copy.program).size();
  EXPECT_EQ(taskmgr::make_test_program(winsupport::bytes("\"" + copy.program + "\" --as-taskmgr")), 0u);
  EXPECT_EQ(winsupport::file_bytes(copy.program).size(), size) << "an existing program is kept as it is";

  const std::wstring tree = L"Software\\VimbrelTest\\" + wide(winsupport::folder_hash(copy.program));
  RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, tree.c_str());
}

// The window's elevated change: its own program started through the shell's "runas" (wine asks no one), waited for,
// and its exit code taken as the result: done, refused for another program's value, failed for an unreadable one.
TEST(WindowsTaskManager, TheElevatedChangeRunsTheProgramAndTakesItsVerdict) {
  ASSERT_NE(winsupport::prepared("program.exe"), "");
  Copy copy;
  const std::wstring tree = L"Software\\VimbrelTest\\" + wide(winsupport::folder_hash(copy.program));
  const std::wstring key = tree + L"\\IFEO\\taskmgr.exe";
  const mem::Bytes program = winsupport::bytes(copy.program);
  EXPECT_EQ(taskmgr::run_elevated(program, mem::lit("--replace-taskmgr on --test"), taskmgr::elevated_wait_ms),
            taskmgr::result_done);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").text, L"\"" + wide(copy.program) + L"\" --as-taskmgr");

  const std::wstring foreign = L"\"C:\\windows\\system32\\cmd.exe\" /k";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Debugger", REG_SZ, foreign.c_str(),
                            DWORD((foreign.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  EXPECT_EQ(taskmgr::run_elevated(program, mem::lit("--replace-taskmgr on --test"), taskmgr::elevated_wait_ms),
            taskmgr::result_refused);
  EXPECT_EQ(read(HKEY_CURRENT_USER, key, L"Debugger").text, foreign);

  const std::wstring oversize = L"\"C:\\" + std::wstring(2100, L'x') + L"\"";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Debugger", REG_SZ, oversize.c_str(),
                            DWORD((oversize.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  EXPECT_EQ(taskmgr::run_elevated(program, mem::lit("--replace-taskmgr takeover --test"), taskmgr::elevated_wait_ms),
            taskmgr::result_failed);
  EXPECT_EQ(taskmgr::run_elevated(mem::lit("C:\\nowhere\\vimbrel.exe"), mem::lit("--replace-taskmgr on --test"), 5000),
            taskmgr::result_failed)
      << "a program that does not start";
  RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, tree.c_str());
}

// The real Task Manager is started as a debuggee, so that the redirection does not apply to it, and let go at once:
// it runs on its own. A stand-in Windows folder holds the runner's child as System32\taskmgr.exe, which leaves a mark
// when it runs; a debuggee never let go would stay stopped at its start.
TEST(WindowsTaskManager, TheRealTaskManagerRunsOnItsOwn) {
  char self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  std::string child(self);
  child = child.substr(0, child.find_last_of('\\')) + "\\child.exe";
  winsupport::Folder windows("vimbrel-windows-");
  ASSERT_TRUE(CreateDirectoryA((windows.path + "\\System32").c_str(), nullptr));
  const std::string taskmgr_exe = windows.path + "\\System32\\taskmgr.exe";
  ASSERT_TRUE(CopyFileA(child.c_str(), taskmgr_exe.c_str(), FALSE));
  EXPECT_EQ(taskmgr::open_real_taskmgr(winsupport::bytes(windows.path + "\\"), mem::Bytes()), 0u);
  bool ran = false;
  for (int i = 0; i < 300 && !ran; ++i) {
    ran = GetFileAttributesA((taskmgr_exe + ".ran").c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!ran) Sleep(50);
  }
  EXPECT_TRUE(ran) << "the started program never ran";
  EXPECT_NE(taskmgr::open_real_taskmgr(winsupport::bytes(windows.path + "\\nowhere"), mem::Bytes()), 0u)
      << "a start that fails gives the system's error";
}

}  // namespace
