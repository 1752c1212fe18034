// The updater's file work on Windows: which program paths it takes, how it reads the system's own errors of
// creating, moving and opening its files, and a program folder that takes no new files.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "cluster/agent.h"
#include "tests/windows/support.h"
#include "update/update.h"

namespace {

using winsupport::bytes;

// Program paths as Windows writes them: a drive's or a share's, also behind "\\?\"; never one that depends on the
// current folder or drive, nor a Linux path.
TEST(WindowsUpdateFiles, ProgramPathsOfThisSystemAreTaken) {
  struct Case {
    const char* path;
    u32 taken;
  } cases[] = {
      {"C:\\Program Files\\Vimbrel\\vimbrel.exe", 1}, {"\\\\server\\share\\Vimbrel\\vimbrel.exe", 1},
      {"\\\\?\\C:\\Vimbrel\\vimbrel.exe", 1},         {"vimbrel.exe", 0},
      {"\\Vimbrel\\vimbrel.exe", 0},                  {"C:vimbrel.exe", 0},
      {"/usr/bin/vimbrel", 0},
  };
  const update::Config config = update::make_config(mem::lit("0.1.81"));
  auto r = std::make_unique<update::Result>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    update::reset_result(r.get());
    update::prepare_for_path(&config, bytes(c.path), r.get());
    EXPECT_EQ(r->state, c.taken ? 0u : u32(update::state_failed));
    EXPECT_EQ(r->reason, c.taken ? 0u : u32(update::reason_no_path));
    if (c.taken) EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->paths.fresh.bytes), r->paths.fresh.len),
                           std::string(c.path) + ".new");
  }
}

// The system's own error numbers decide: access denied and a write-protected medium mean a folder that takes no new
// files (the update is then installed by hand), a file in use or a missing folder do not.
TEST(WindowsUpdateFiles, TheSystemsErrorsOfCreatingTheDownload) {
  struct Case {
    u32 error;
    bool refused;
  } cases[] = {{ERROR_ACCESS_DENIED, true},      {ERROR_WRITE_PROTECT, true},   {ERROR_SHARING_VIOLATION, false},
               {ERROR_LOCK_VIOLATION, false},    {ERROR_FILE_EXISTS, false},    {ERROR_PATH_NOT_FOUND, false},
               {ERROR_DISK_FULL, false},         {13, false},                   {30, false}};
  for (const Case& c : cases) EXPECT_EQ(update::may_not_create(c.error), c.refused) << c.error;
}

// A file that another handle holds without sharing its deletion cannot move; the move waits for it (up to about two
// seconds) instead of failing at once.
TEST(WindowsUpdateFiles, AMoveWaitsForAFileInUse) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string from = std::string(temp) + "vimbrel-move-" + std::to_string(GetCurrentProcessId());
  const std::string to = from + ".moved";
  HANDLE held = CreateFileA(from.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  u32 error = 0;
  ASSERT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  std::thread release([held] {
    Sleep(400);
    CloseHandle(held);
  });
  EXPECT_TRUE(update::move_file_retry(bytes(from), bytes(to), false, &error)) << error;
  release.join();
  EXPECT_EQ(error, 0u);
  EXPECT_NE(GetFileAttributesA(to.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileA(from.c_str());
  DeleteFileA(to.c_str());
}

// A program folder where the user may not create files (tests/windows/run makes one the system refuses): the
// download is not made, and that is reported as nothing staged, not as a failure of the update.
TEST(WindowsUpdateFiles, AFolderThatTakesNoNewFilesIsNoFailure) {
  const std::string folder = winsupport::env("VIMBREL_TEST_READONLY_DIR");
  if (folder.empty()) GTEST_SKIP() << "no folder that refuses new files";
  const std::string program = folder + "\\vimbrel.exe";
  update::Config config = update::make_config(mem::lit("0.1.81"));
  auto r = std::make_unique<update::Result>();
  update::prepare_for_path(&config, bytes(program), r.get());
  ASSERT_EQ(r->state, 0u);
  const u32 error = update::create_download(&r->paths);
  EXPECT_EQ(error, u32(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(update::may_not_create(error));
  bool staged = true;
  update::HttpResult http{};
  EXPECT_EQ(update::download_release(&config, &r->paths, &r->manifest, mem::Bytes(), r->running, &staged, &http), 0u);
  EXPECT_FALSE(staged);
  EXPECT_EQ(GetFileAttributesA((program + ".download").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Hosts serve their agents Linux builds only: the Windows build's agent has no build to ask for, so its hello says
// that it cannot be updated and no order makes it fetch one.
TEST(WindowsUpdateFiles, TheAgentHasNoBuildToAskItsHostFor) { EXPECT_EQ(agent::update_arch(), 0); }

}  // namespace
