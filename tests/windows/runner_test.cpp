// The sandboxed runner on Windows: its job ends a child that spins past the job's processor time and one that
// sleeps past the elapsed time, each with exit code 258, and a child inherits its standard handles and nothing else
// that this process holds as inheritable. The children are tests/windows/child.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/mem.h"
#include "tests/windows/support.h"
#include "update/background.h"
#include "update/runner.h"

namespace {

using winsupport::bytes;

// The child program, built beside this test program.
std::string child_path() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  return p.substr(0, p.find_last_of('\\')) + "\\child.exe";
}

TEST(WindowsRunner, ALimitEndsTheWholeJobWithCode258) {
  struct Case {
    const char* name;
    const char* word;
    u64 cpu_ms, wall_ms;
    u32 status;
  } cases[] = {
      // Wine keeps no processor time for a job: there the spinning child is ended by the elapsed time instead.
      {"a spinning child and the processor time", "spin", 500, 5000,
       winsupport::under_wine() ? u32(runner::wall_limit) : u32(runner::cpu_limit)},
      {"a sleeping child and the elapsed time", "sleep", 60000, 500, runner::wall_limit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string program = child_path(), line = "\"" + program + "\" " + c.word;
    runner::Request r;
    runner::init_request(&r);
    r.application = bytes(program);
    r.command_line = bytes(line);
    r.cpu_ms = c.cpu_ms;
    r.wall_ms = c.wall_ms;
    mem::Arena arena;
    ASSERT_TRUE(mem::arena_init(&arena, 65536));
    runner::Result result{};
    ASSERT_EQ(runner::run(&r, &arena, &result), 0u);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.exit_code, runner::killed_code);
    if (c.status == runner::cpu_limit) EXPECT_GE(result.user_ms + result.kernel_ms, 500u);
    mem::release(&arena);
  }
}

TEST(WindowsRunner, TheChildHoldsNoOtherInheritableHandle) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // A set event that the child resets when it holds it: whatever else its handle value may name there, no event of
  // this process changes unless the child inherited it.
  HANDLE event = CreateEventW(&inherit, TRUE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  char hex[32];
  wsprintfA(hex, "%I64x", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(event)));
  const std::string program = child_path(), line = "\"" + program + "\" reset " + hex;
  runner::Request r;
  runner::init_request(&r);
  r.application = bytes(program);
  r.command_line = bytes(line);
  r.wall_ms = 60000;
  mem::Arena arena;
  ASSERT_TRUE(mem::arena_init(&arena, 65536));
  runner::Result result{};
  ASSERT_EQ(runner::run(&r, &arena, &result), 0u);
  EXPECT_EQ(result.status, runner::ended);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the child held this process's inheritable event";
  mem::release(&arena);
  CloseHandle(event);
}

// The version probe runs the program in the runner's job and reads its "--version" line: the built program says its
// own version; a program that ends without a clean line (the child ends with 2 and says nothing), or none at all,
// gives 0.
TEST(WindowsRunner, TheVersionProbeReadsTheProgramsOwnVersion) {
  ASSERT_NE(winsupport::prepared("program.exe"), "");
  const u32 built = background::parse_version_line(mem::lit("vimbrel " VIMBREL_PROJECT_VERSION));
  ASSERT_NE(built, 0u);
  EXPECT_EQ(runner::probe_version(bytes(winsupport::prepared("program.exe"))), built);
  EXPECT_EQ(runner::probe_version(bytes(child_path())), 0u);
  EXPECT_EQ(runner::probe_version(mem::lit("C:\\nowhere\\vimbrel.exe")), 0u);
}

}  // namespace
