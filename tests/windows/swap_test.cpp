// The install of a release while the program runs, on Windows: the swap worker is started from the program file
// itself, as the window starts it, so the file it replaces is a running image, which Windows (and wine) let be
// renamed but not replaced. The staged release is the one tests/windows/run signed (code signature and release key).
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "tests/windows/support.h"
#include "update/update.h"

namespace {

using winsupport::bytes;
using winsupport::file_bytes;

using winsupport::prepared;

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write(const std::string& path, const std::string& text) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, text.data(), DWORD(text.size()), &wrote, nullptr);
  CloseHandle(h);
}

using winsupport::Folder;

// Runs "<program> <arguments>" with the update seams of the test key and a loopback feed; its exit code.
DWORD run_program(const std::string& program, const std::string& arguments, const std::string& folder) {
  const std::string pub(reinterpret_cast<const char*>(file_bytes(prepared("release.pub")).data()), 64);
  SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_FEED", "http://127.0.0.1:9/downloads/vimbrel/latest.txt");
  SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_KEY", pub.c_str());
  SetEnvironmentVariableA("VIMBREL_TEST_UPDATE_FLAGS", "3");  // loopback http, no revocation lists
  std::string line = "\"" + program + "\" " + arguments;
  STARTUPINFOA info{};
  info.cb = sizeof info;
  PROCESS_INFORMATION child{};
  DWORD code = 0xFFFFFFFF;
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder.c_str(), &info,
                     &child)) {
    WaitForSingleObject(child.hProcess, 120000);
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
  }
  for (const char* name : {"VIMBREL_TEST_UPDATE_FEED", "VIMBREL_TEST_UPDATE_KEY", "VIMBREL_TEST_UPDATE_FLAGS"})
    SetEnvironmentVariableA(name, nullptr);
  return code;
}

// The release staged beside the program as a download leaves it: "<exe>.new", its signature and the manifest.
void stage(const std::string& program, const std::string& release) {
  const std::vector<u8> body = file_bytes(release);
  ASSERT_FALSE(body.empty());
  ASSERT_TRUE(CopyFileA(release.c_str(), (program + ".new").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((release + ".sig").c_str(), (program + ".new.sig").c_str(), FALSE));
  write(program + ".latest", "vimbrel-latest 1\nversion 0.1.90\nfile vimbrel.exe\nsha256 " +
                                 winsupport::sha256_hex(body) +
                                 "\nurl http://127.0.0.1:9/downloads/vimbrel/v0.1.90/vimbrel.exe\n");
}

// The worker started from the program file swaps in the staged release: the running program is parked as
// "<exe>.old" (or, while an older copy still runs from ".old", that one moves to ".old-1" first) and the release
// takes the program's name; the worker's report says swapped.
TEST(WindowsSwap, TheWorkerReplacesTheProgramItRunsFrom) {
  const std::string release = prepared("signed.exe");
  ASSERT_NE(release, "") << "VIMBREL_TEST_SIGNED_DIR is not set (tests/windows/run sets it)";
  winsupport::TrustedRoot root(file_bytes(prepared("maker.der")));
  struct Case {
    const char* name;
    bool old_copy_runs;  // an older copy runs from "<exe>.old" while the swap works
  } cases[] = {{"nothing parked yet", false}, {"an older copy runs from .old", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder folder("vimbrel-swap-");
    const std::string program = folder.path + "\\vimbrel.exe";
    ASSERT_TRUE(CopyFileA(prepared("program.exe").c_str(), program.c_str(), FALSE));
    const std::vector<u8> before = file_bytes(program);
    stage(program, release);
    PROCESS_INFORMATION older{};
    if (c.old_copy_runs) {
      ASSERT_TRUE(CopyFileA(program.c_str(), (program + ".old").c_str(), FALSE));
      // "--mcp" waits on its standard input, which this pipe never closes while the swap works.
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      HANDLE read_end = nullptr, write_end = nullptr;
      ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
      STARTUPINFOA info{};
      info.cb = sizeof info;
      info.dwFlags = STARTF_USESTDHANDLES;
      info.hStdInput = read_end;
      std::string line = "\"" + program + ".old\" --mcp";
      ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &info, &older));
      CloseHandle(read_end);
      Sleep(500);
      const update::Unpacked u = update::unpack_exit_code(run_program(program, "--vimb-update swap", folder.path));
      CloseHandle(write_end);
      WaitForSingleObject(older.hProcess, 30000);
      EXPECT_EQ(u.state, u32(update::state_swapped)) << "reason " << u.reason << ", step " << u.step << ", error "
                                                      << u.detail;
      // The older copy's file could not go while it ran: it moved aside to ".old-1" and the program took ".old",
      // or, where it cannot move either, the program was parked as ".old-1". Both older programs are kept.
      EXPECT_EQ(file_bytes(program + ".old-1"), before);
      CloseHandle(older.hProcess);
      CloseHandle(older.hThread);
    } else {
      const update::Unpacked u = update::unpack_exit_code(run_program(program, "--vimb-update swap", folder.path));
      EXPECT_EQ(u.tag, 0x56u);
      EXPECT_EQ(u.state, u32(update::state_swapped)) << "reason " << u.reason << ", step " << u.step << ", error "
                                                      << u.detail;
    }
    EXPECT_EQ(file_bytes(program + ".old"), before) << "the running program is parked";
    EXPECT_EQ(file_bytes(program), file_bytes(release)) << "the release has the program's name";
    EXPECT_FALSE(exists(program + ".new"));
    EXPECT_FALSE(exists(program + ".new.sig"));
    EXPECT_EQ(run_program(program, "--version", folder.path), 0u) << "the release starts from the program's name";
  }
}

// The revert of the window's controller after a release that did not come up: the release moves back to "<exe>.new"
// and the parked program, the very file that ran, takes the program's name again.
TEST(WindowsSwap, ARevertPutsTheParkedProgramBack) {
  const std::string release = prepared("signed.exe");
  ASSERT_NE(release, "");
  winsupport::TrustedRoot root(file_bytes(prepared("maker.der")));
  Folder folder("vimbrel-revert-");
  const std::string program = folder.path + "\\vimbrel.exe";
  ASSERT_TRUE(CopyFileA(prepared("program.exe").c_str(), program.c_str(), FALSE));
  const std::vector<u8> before = file_bytes(program);
  stage(program, release);
  update::Config config = update::make_config(mem::lit("0.1.81"));
  auto r = std::make_unique<update::Result>();
  update::prepare_for_path(&config, bytes(program), r.get());  // records the running program's identity
  ASSERT_EQ(r->state, 0u);
  const update::Unpacked u = update::unpack_exit_code(run_program(program, "--vimb-update swap", folder.path));
  ASSERT_EQ(u.state, u32(update::state_swapped)) << "reason " << u.reason << ", step " << u.step;
  r->state = update::state_swapped;
  update::revert_swap(&config, r.get());
  EXPECT_EQ(r->state, u32(update::state_put_back)) << "reason " << r->reason << ", step " << r->paths.step;
  EXPECT_EQ(file_bytes(program), before);
  EXPECT_EQ(file_bytes(program + ".new"), file_bytes(release));
  EXPECT_FALSE(exists(program + ".old"));
}

}  // namespace

namespace {

using winsupport::Opened;

// The program carries the build's version in its version resource, and a release's own version must be the one its
// manifest names (a release, not a beta) and newer than the running one: anything else is verdict 4 (reason 15).
TEST(WindowsReleaseVersion, TheFilesOwnVersionMustBeTheManifests) {
  ASSERT_NE(prepared("program.exe"), "");
  update::Version own{};
  {
    Opened program(prepared("program.exe"));
    ASSERT_EQ(update::read_pe_version(program.handle(), &own), 1u);
  }
  update::Version built{};
  ASSERT_EQ(update::parse_version(mem::lit("0.1.81"), &built), 1u);
  EXPECT_EQ(std::make_tuple(own.major, own.minor, own.patch), std::make_tuple(built.major, built.minor, built.patch))
      << "the version resource is the build's";
  EXPECT_EQ(update::make_config(mem::lit("0.1.81")).flags & update::flag_manifest_version, 0u);

  winsupport::TrustedRoot root(file_bytes(prepared("maker.der")));
  update::Config config = update::make_config(mem::lit("0.1.81"));
  const std::string pub(reinterpret_cast<const char*>(file_bytes(prepared("release.pub")).data()), 64);
  for (u32 i = 0; i < 32; i++) config.public_key[i] = u8(std::stoul(pub.substr(2 * i, 2), nullptr, 16));
  config.has_key = 1;
  config.flags |= update::flag_no_revocation;
  struct Case {
    const char* name;
    const char* file;
    const char* manifest;
    const char* running;
    u32 verdict;
  } cases[] = {
      {"the file says what the manifest says", "signed.exe", "0.1.90", "0.1.81", update::verdict_good},
      {"the file says 0.1.82, the manifest 0.1.90", "wrong-version.exe", "0.1.90", "0.1.81", update::verdict_version},
      {"the release is the running version", "signed.exe", "0.1.90", "0.1.90", update::verdict_version},
      {"a beta manifest never matches a file version", "signed.exe", "0.1.90-beta.1", "0.1.81",
       update::verdict_version},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    update::Version manifest{}, running{};
    ASSERT_EQ(update::parse_version(bytes(c.manifest), &manifest), 1u);
    ASSERT_EQ(update::parse_version(bytes(c.running), &running), 1u);
    Opened f(prepared(c.file));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    u8 digest[32];
    ASSERT_EQ(update::hash_file(f.handle(), digest), 1u);
    // The release key signed the line of the manifest's version: a beta line is signed here for the beta case.
    std::vector<u8> sig = file_bytes(prepared(c.file) + (manifest.beta >= 0 ? ".beta.sig" : ".sig"));
    ASSERT_EQ(sig.size(), 64u);
    update::Verdict v{};
    EXPECT_EQ(update::verify_file(&config, f.handle(), digest, manifest, running, sig.data(), &v), c.verdict);
    const u32 reason = c.verdict == update::verdict_good ? 0u : u32(update::reason_wrong_version);
    EXPECT_EQ(update::result_reason(v.verdict), reason);
  }
}

// Without a version text the running version is the program's own: the file version of its version resource, as
// the system reads it, which is what the updater reads from a release file's bytes. This test program carries the
// build's version resource, as vimbrel.exe does.
TEST(WindowsReleaseVersion, WithoutAVersionTextTheRunningVersionIsTheProgramsResource) {
  update::Version from_system{}, from_bytes{}, built{};
  ASSERT_EQ(update::file_version(&from_system), 1u);
  char self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  {
    Opened program(self);
    ASSERT_EQ(update::read_pe_version(program.handle(), &from_bytes), 1u);
  }
  ASSERT_EQ(update::parse_version(mem::lit(VIMBREL_PROJECT_VERSION), &built), 1u);
  auto parts = [](update::Version v) { return std::make_tuple(v.major, v.minor, v.patch, v.beta); };
  EXPECT_EQ(parts(from_system), parts(built));
  EXPECT_EQ(parts(from_bytes), parts(built));

  const update::Config no_text = update::make_config(mem::Bytes());
  const update::Config with_text = update::make_config(mem::lit("2.3.4"));
  update::Version own{};
  EXPECT_EQ(update::own_version(&no_text, &own), 1u);
  EXPECT_EQ(parts(own), parts(built));
  EXPECT_EQ(update::own_version(&with_text, &own), 1u);
  EXPECT_EQ(parts(own), std::make_tuple(2u, 3u, 4u, -1)) << "a version text is taken before the resource";

  // The worker's preparation runs on it: the running version is known, so the configuration is no failure.
  auto result = std::make_unique<update::Result>();
  update::prepare_own(&no_text, result.get());
  EXPECT_NE(result->reason, u32(update::reason_no_version));
  EXPECT_EQ(parts(result->running), parts(built));
}

// One program, one update lock, however its path is spelt: Windows paths ignore letter case (also beyond ASCII), so
// the lock's name is made from the upper-cased path; another folder's program has a lock of its own.
TEST(WindowsReleaseVersion, TwoSpellingsOfOneProgramShareTheUpdateLock) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"C:\\A\\vimbrel.exe", "c:\\a\\VIMBREL.EXE", true},
      {"C:\\\xc3\xa9t\xc3\xa9\\vimbrel.exe", "C:\\\xc3\x89T\xc3\x89\\vimbrel.exe", true},  // été, ÉTÉ
      {"C:\\A\\vimbrel.exe", "C:\\B\\vimbrel.exe", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(update::mutex_name_hash(bytes(c.a)) == update::mutex_name_hash(bytes(c.b)), c.same) << c.a << " " << c.b;
  }
}

}  // namespace
