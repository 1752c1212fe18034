// Acting on processes with the system's own calls: what each answer of the system means for the Processes page's
// facts and codes (also answers no test machine gives: protected, critical or deleted processes), and a real child
// assessed, shown, ended and found ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/procact.h"
#include "platform/windows/procfacts.h"
#include "views/proclist.h"

namespace {

TEST(WindowsProcessFacts, AnswersOfTheSystemBecomeFacts) {
  struct Case {
    const char* what;
    procfacts::Answers answers;
    u32 facts;
  } cases[] = {
      {"an ordinary process", {100, false, 0, 0, true, 0, true, 0, false, 0}, 0},
      {"this program elevated", {100, true, 0, 0, true, 0, true, 0, false, 0}, proclist::fact_elevated},
      {"process id 4, not even opened", {4, false, 5, 0, false, 0, false, 0, false, 0},
       proclist::fact_system | proclist::fact_query_denied},
      {"ended before the open", {100, false, 4, 0, false, 0, false, 0, false, 0}, proclist::fact_ended},
      {"its id reused", {100, false, 3, 0, false, 0, false, 0, false, 0}, proclist::fact_ended},
      {"a protected process (type 2, signer 6)", {100, false, 0, 5, true, 0x62, true, 0, false, 5},
       proclist::fact_protected | proclist::fact_path_failed | proclist::fact_end_denied},
      {"a protection byte with only signer bits", {100, false, 0, 0, true, 0x60, true, 0, false, 0}, 0},
      {"a protection level that could not be read", {100, false, 0, 0, false, 7, true, 0, false, 0}, 0},
      {"being deleted", {100, false, 0, 0, true, 0, true, 0x4, false, 0}, proclist::fact_exiting},
      {"protected and 64-bit flags, not deleted", {100, false, 0, 0, true, 0, true, 0x3, false, 0}, 0},
      {"critical", {100, false, 0, 0, true, 0, true, 0, true, 0}, proclist::fact_system},
      {"image path too long", {100, false, 0, 12, true, 0, true, 0, false, 0}, proclist::fact_path_long},
      {"termination open failed for another reason", {100, false, 0, 0, true, 0, true, 0, false, 87},
       proclist::fact_ended},
  };
  for (const Case& c : cases) EXPECT_EQ(procfacts::facts(c.answers), c.facts) << c.what;
}

TEST(WindowsProcessFacts, ErrorsOfTheSystemBecomeCodes) {
  struct Case {
    u32 error;
    u32 open, path, end, end_exiting;
  } cases[] = {
      {ERROR_ACCESS_DENIED, 5, 5, 5, 15},
      {ERROR_INVALID_PARAMETER, 4, 5, 6, 6},
      {ERROR_INSUFFICIENT_BUFFER, 4, 12, 6, 6},
      {ERROR_PARTIAL_COPY, 4, 5, 6, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(procfacts::open_code(c.error), c.open) << c.error;
    EXPECT_EQ(procfacts::path_code(c.error), c.path) << c.error;
    EXPECT_EQ(procfacts::end_code(c.error, false), c.end) << c.error;
    EXPECT_EQ(procfacts::end_code(c.error, true), c.end_exiting) << c.error;
    // The page's own rules for the same errors agree.
    EXPECT_EQ(procfacts::open_code(c.error), proclist::open_error(c.error)) << c.error;
    EXPECT_EQ(procfacts::path_code(c.error), proclist::path_error(c.error)) << c.error;
    EXPECT_EQ(procfacts::end_code(c.error, true), proclist::action_error(c.error, true)) << c.error;
  }
}

// A child that waits on its standard input (the program's MCP server), pinned by the test's own handle.
struct Child {
  PROCESS_INFORMATION info{};
  HANDLE input = nullptr;
  explicit Child(const std::wstring& program) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    if (!CreatePipe(&read_end, &input, &inherit, 0)) return;
    SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = read_end;
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = L"\"" + program + L"\" --mcp";
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &start, &info);
    CloseHandle(read_end);
  }
  ~Child() {
    if (info.hProcess) {
      TerminateProcess(info.hProcess, 9);
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
    if (input) CloseHandle(input);
  }
};

std::wstring program() {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(L"VIMBREL_TEST_PROGRAM", value, 1024);
  return n == 0 || n >= 1024 ? std::wstring() : std::wstring(value, n);
}

TEST(WindowsProcessActions, AChildIsAssessedShownEndedAndFoundEnded) {
  const std::wstring exe = program();
  ASSERT_NE(exe, L"") << "tests/windows/run names vimbrel.exe";
  Child child(exe);
  ASSERT_NE(child.info.hProcess, nullptr);
  const u32 pid = child.info.dwProcessId;
  u32 start = 0;
  ASSERT_EQ(procact::start_key(pid, &start), 0u);

  // An ordinary process of this user: nothing refused but what the elevation says.
  EXPECT_EQ(procact::assess(pid, start) & ~u32{proclist::fact_elevated}, 0u);
  EXPECT_FALSE(procact::is_critical(pid));
  EXPECT_FALSE(procact::is_protected(pid));
  EXPECT_FALSE(procact::exiting(pid));
  u8 path[procact::path_most];
  u32 length = 0;
  ASSERT_EQ(procact::path_of(pid, start, path, sizeof path, &length), 0u);
  const std::string text(reinterpret_cast<const char*>(path), length);
  EXPECT_EQ(text.substr(text.size() - 12), "\\vimbrel.exe") << text;
  // The file browser's line is built and the file found (without starting the browser); without the line builder
  // nothing can be shown.
  EXPECT_EQ(procact::open_location(pid, start, false, proclist::select_line), 1u);
  EXPECT_EQ(procact::open_location(pid, start, false), 6u);
  // Another start key is another process: nothing is done to it.
  EXPECT_EQ(procact::end_process(pid, start + 1), 3u);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 0), DWORD{WAIT_TIMEOUT});

  EXPECT_EQ(procact::end_process(pid, start), 1u);
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, 60000), DWORD{WAIT_OBJECT_0});
  DWORD code = 0;
  GetExitCodeProcess(child.info.hProcess, &code);
  EXPECT_EQ(code, 1u);
  // The test's handle keeps the id from being reused: the process reads as ended.
  EXPECT_EQ(procact::check_alive(pid, start), 4u);
  EXPECT_EQ(procact::end_process(pid, start), 4u);
  EXPECT_NE(procact::assess(pid, start) & proclist::fact_ended, 0u);
}

}  // namespace
