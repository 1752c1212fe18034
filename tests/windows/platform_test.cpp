// The Windows platform layer against the system's own calls (under wine in CI): the answers the portable code relies
// on, in the codes and layouts the interfaces promise.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "history/store.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/section.h"
#include "platform/sock.h"
#include "platform/sysinfo.h"
#include "sampling/child.h"
#include "sampling/feed.h"
#include "platform/sysrec.h"
#include "tests/windows/support.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// A folder of its own under the system's temporary folder, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    path = std::string(base) + "vimbrel-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount64());
    CreateDirectoryA(path.c_str(), nullptr);
  }
  ~TempDir() { fs::delete_tree(bytes(path)); }
  std::string at(const std::string& name) const { return path + "\\" + name; }
};

std::string read_all(const std::string& path) {
  std::vector<u8> room(1 << 16);
  mem::Arena arena{room.data(), 0, room.size()};
  mem::Slice out{};
  if (fs::read_file(bytes(path), &arena, &out) != fs::ok) return "<unreadable>";
  return std::string(reinterpret_cast<const char*>(out.ptr), out.len);
}

TEST(WindowsFiles, ErrorClassesOfSystemErrors) {
  struct Case {
    u32 error, error_class;
  } cases[] = {{0, fs::ok},
               {2, fs::not_found},
               {3, fs::not_found},
               {183, fs::exists},
               {5, fs::denied},
               {32, fs::denied},
               {145, fs::not_empty},
               {267, fs::not_directory},
               {112, fs::no_space},
               {232, fs::reset},
               {10035, fs::would_block},
               {10061, fs::refused},
               {10048, fs::address_in_use},
               {6, fs::bad_handle},
               {87, fs::other}};
  for (const Case& c : cases) EXPECT_EQ(fs::error_class(c.error), c.error_class) << c.error;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fs::class_text(9).ptr), fs::class_text(9).len), "unknown");
}

TEST(WindowsFiles, WholeFilesWriteAppendReplaceAndRead) {
  TempDir dir;
  std::string file = dir.at("notes.txt");
  ASSERT_EQ(fs::write_file(bytes(file), mem::lit("first")), fs::ok);
  ASSERT_EQ(fs::append_file(bytes(file), mem::lit(" second")), fs::ok);
  EXPECT_EQ(read_all(file), "first second");
  ASSERT_EQ(fs::replace_file(bytes(file), mem::lit("whole")), fs::ok);
  EXPECT_EQ(read_all(file), "whole");
  // The replace leaves no temporary file beside its target.
  fs::Listing listing;
  ASSERT_EQ(fs::list_directory(bytes(dir.path), 0, &listing), fs::io_ok);
  EXPECT_EQ(listing.count, 1u);
  // An arena one byte short is refused and left as it was; an empty file reads as an empty slice.
  u8 room[4];
  mem::Arena arena{room, 0, sizeof room};
  mem::Slice out{};
  EXPECT_EQ(fs::read_file(bytes(file), &arena, &out), fs::no_room);
  EXPECT_EQ(arena.used, 0u);
  ASSERT_EQ(fs::write_file(bytes(dir.at("empty")), mem::Bytes()), fs::ok);
  EXPECT_EQ(fs::read_file(bytes(dir.at("empty")), &arena, &out), fs::ok);
  EXPECT_EQ(out.len, 0u);
  // Reading at the size reads nothing; a closed record is a bad handle.
  fs::File f{};
  ASSERT_EQ(fs::open_sized(bytes(file), &f), fs::ok);
  u64 count = 9;
  EXPECT_EQ(fs::read_at(&f, f.size, mem::Slice{room, sizeof room}, &count), fs::ok);
  EXPECT_EQ(count, 0u);
  fs::close(&f);
  EXPECT_EQ(fs::read_at(&f, 0, mem::Slice{room, sizeof room}, &count), fs::bad_handle);
}

TEST(WindowsFiles, RefusalsAndFolders) {
  TempDir dir;
  // Names are UTF-8: a letter beyond ASCII is taken, bytes that are not UTF-8 are a bad name.
  ASSERT_EQ(fs::write_file(bytes(dir.at("caf\xC3\xA9")), mem::lit("x")), fs::ok);
  EXPECT_EQ(read_all(dir.at("caf\xC3\xA9")), "x");
  EXPECT_EQ(fs::write_file(bytes(dir.at("caf\xE9")), mem::lit("x")), fs::bad_name);
  EXPECT_EQ(fs::delete_file(bytes(dir.path)), fs::not_plain_file);
  EXPECT_EQ(fs::write_file(bytes(dir.path), mem::lit("x")), fs::not_plain_file);
  std::string locked = dir.at("locked");
  ASSERT_EQ(fs::write_file(bytes(locked), mem::lit("x")), fs::ok);
  SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(fs::delete_file(bytes(locked)), fs::ok);
  EXPECT_EQ(fs::kind(bytes(locked)), 0u);
  ASSERT_EQ(fs::make_directories(bytes(dir.path + "\\a\\\\b\\\\")), fs::ok);
  EXPECT_EQ(fs::kind(bytes(dir.path + "\\a\\b")), 2u);
  EXPECT_EQ(fs::make_directories(bytes(dir.path + "\\a\\b")), fs::ok);
  ASSERT_EQ(fs::write_file(bytes(dir.at("plain")), mem::lit("x")), fs::ok);
  EXPECT_EQ(fs::make_directories(bytes(dir.path + "\\plain\\c")), fs::exists);
  // A long path takes the long form by itself.
  std::string deep = dir.path;
  while (deep.size() < 300) deep += "\\folder-with-a-long-name";
  ASSERT_EQ(fs::make_directories(bytes(deep)), fs::ok);
  ASSERT_EQ(fs::write_file(bytes(deep + "\\f"), mem::lit("deep")), fs::ok);
  EXPECT_EQ(read_all(deep + "\\f"), "deep");
}

TEST(WindowsFiles, EnvironmentValues) {
  u8 buffer[8];
  u64 length = 0;
  SetEnvironmentVariableW(L"VIMBREL_TEST_VALUE", L"0123456789");
  EXPECT_EQ(fs::env_var(mem::lit("VIMBREL_TEST_VALUE"), mem::Slice{buffer, sizeof buffer}, &length), fs::too_large);
  SetEnvironmentVariableW(L"VIMBREL_TEST_VALUE", L"abc");
  EXPECT_EQ(fs::env_var(mem::lit("VIMBREL_TEST_VALUE"), mem::Slice{buffer, sizeof buffer}, &length), fs::ok);
  EXPECT_EQ(length, 3u);
  SetEnvironmentVariableW(L"VIMBREL_TEST_VALUE", L"caf\u00e9");
  EXPECT_EQ(fs::env_var(mem::lit("VIMBREL_TEST_VALUE"), mem::Slice{buffer, sizeof buffer}, &length), fs::bad_name);
  SetEnvironmentVariableW(L"VIMBREL_TEST_VALUE", nullptr);
  EXPECT_EQ(fs::env_var(mem::lit("VIMBREL_TEST_VALUE"), mem::Slice{buffer, sizeof buffer}, &length), fs::not_found);
}

TEST(WindowsShareFiles, ClaimsSharingListingAndTrees) {
  TempDir dir;
  std::string claim = dir.at("claim");
  EXPECT_EQ(fs::io_create_file(bytes(claim), mem::lit("one")), fs::io_ok);
  EXPECT_EQ(fs::io_create_file(bytes(claim), mem::lit("two")), fs::io_exists);
  u64 writer = 0, second = 0, reader = 0;
  ASSERT_EQ(fs::io_open_rw(bytes(dir.at("ring")), 1, &writer), fs::io_ok);
  EXPECT_EQ(fs::io_open_rw(bytes(dir.at("ring")), 0, &second), fs::io_in_use);
  ASSERT_EQ(fs::io_write_at(writer, 0, mem::Bytes(std::vector<u8>(64, 7).data(), 64)), fs::io_ok);
  ASSERT_EQ(fs::io_open_read(bytes(dir.at("ring")), &reader), fs::io_ok);
  u8 buffer[100];
  u64 count = 0;
  EXPECT_EQ(fs::io_read_at(reader, 0, mem::Slice{buffer, 100}, &count), fs::io_ok);
  EXPECT_EQ(count, 64u);
  fs::io_close(&reader);
  fs::io_close(&writer);
  EXPECT_EQ(fs::io_write_at(writer, 0, mem::lit("x")), fs::io_failed);
  EXPECT_EQ(fs::io_read_uncached(bytes(dir.at("ring")), mem::Slice{buffer, 10}, &count), fs::io_ok);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(fs::io_read_file(bytes(std::string(299, 'a')), mem::Slice{buffer, 10}, &count), fs::io_not_found);

  // 70 usable names page as 64 and 6, in byte order; an unusable name is counted, never kept.
  std::string many = dir.at("many");
  ASSERT_EQ(fs::io_make_directory(bytes(many)), fs::io_ok);
  EXPECT_EQ(fs::io_make_directory(bytes(many)), fs::io_ok);
  for (int i = 69; i >= 0; --i) {
    ASSERT_EQ(fs::write_file(bytes(many + "\\n" + std::to_string(100 + i)), mem::lit("x")), fs::ok);
  }
  ASSERT_EQ(fs::write_file(bytes(many + "\\" + std::string(33, 'z')), mem::lit("x")), fs::ok);
  ASSERT_EQ(fs::make_directory(bytes(many + "\\sub")), fs::ok);
  fs::Listing listing;
  ASSERT_EQ(fs::list_directory(bytes(many), 0, &listing), fs::io_ok);
  EXPECT_EQ(listing.count, 64u);
  EXPECT_EQ(listing.full, 7u);
  EXPECT_EQ(listing.unusable, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(listing.names[0]), listing.lengths[0]), "n100");
  ASSERT_EQ(fs::list_directory(bytes(many), 64, &listing), fs::io_ok);
  EXPECT_EQ(listing.count, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(listing.names[6]), listing.lengths[6]), "sub");
  EXPECT_EQ(listing.directories, 1ull << 6);
  // The unusable name stays, so does its folder; the rest is gone.
  EXPECT_EQ(fs::delete_tree(bytes(many)), fs::io_failed);
  ASSERT_EQ(fs::list_directory(bytes(many), 0, &listing), fs::io_ok);
  EXPECT_EQ(listing.count, 0u);
  EXPECT_EQ(listing.unusable, 1u);
  EXPECT_EQ(fs::delete_tree(bytes(dir.at("missing"))), fs::io_ok);
}

TEST(WindowsConsole, CommandLineWords) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  } cases[] = {
      {"\"C:\\Program Files\\v.exe\" a", {"C:\\Program Files\\v.exe", "a"}},
      {"v a\\\\\\\"b", {"v", "a\\\"b"}},
      {"v a\\\\\"b c\"", {"v", "a\\b c"}},
      {"v \"a\"\"b\"", {"v", "a\"b"}},
      {"v \"\" x", {"v", "", "x"}},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    std::vector<std::string> words;
    u64 position = 0, length = 0;
    u8 word[64];
    for (u32 first = 1; os::next_token(bytes(line), &position, first, word, sizeof word, &length); first = 0) {
      words.emplace_back(reinterpret_cast<char*>(word), length);
    }
    EXPECT_EQ(words, c.words) << c.line;
  }
  EXPECT_GE(os::arg_count(), 1u);
  EXPECT_NE(os::arg(0).ptr, nullptr);
  EXPECT_EQ(os::arg(os::arg_count()).ptr, nullptr);
}

TEST(WindowsSystem, ClocksRandomVersionAndText) {
  u64 a = os::clock_ms(), t = os::ticks();
  // The tick count moves in steps of the system's timer (about 16 ms, coarser under wine), so the sleep is long
  // enough that a stale step cannot hide it.
  os::sleep_ms(60);
  EXPECT_GE(os::clock_ms() - a, 15u);
  EXPECT_GT(os::ticks(), t);
  EXPECT_GT(os::filetime_now(), 130000000000000000ull);  // after 2012
  u8 random[32] = {};
  EXPECT_EQ(os::random_bytes(mem::Slice{random, sizeof random}), 1u);
  os::WindowsVersion v{};
  EXPECT_EQ(os::windows_version(&v), 0u);
  EXPECT_EQ(v.family, os::family_windows);
  EXPECT_GE(v.major, 5);
  u16 wide[4];
  EXPECT_EQ(os::utf8_to_wide(mem::lit("abcd"), wide, 4), 0u);
  EXPECT_EQ(wide[0], 0);
  EXPECT_EQ(os::utf8_to_wide(mem::lit("\xC3\xA9"), wide, 4), 1u);
  EXPECT_EQ(wide[0], 0xE9);
}

TEST(WindowsObjects, EventsMutexesAndSections) {
  u8 name[96];
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), kobj::quit_event_name(0x1A2B, name)),
            "Local\\Vimbrel-quit-00001a2b");
  std::string base = "Local\\vimbrel-test-" + std::to_string(GetCurrentProcessId());
  EXPECT_EQ(kobj::signal_event(bytes(base + "-none")), 0u);
  kobj::Handle event = kobj::create_event(bytes(base + "-wake"));
  ASSERT_NE(event, 0u);
  EXPECT_EQ(kobj::create_event(bytes(base + "-wake")), 0u);  // a live owner keeps the name
  EXPECT_EQ(kobj::wait(event, 0), 0u);
  EXPECT_EQ(kobj::signal_event(bytes(base + "-wake")), 1u);
  EXPECT_EQ(kobj::wait(event, 1000), 1u);
  EXPECT_EQ(kobj::wait(event, 0), 0u);  // one wait consumed the wake
  kobj::Handle opened = kobj::open_event(bytes(base + "-wake"));
  ASSERT_NE(opened, 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kobj::set(event), 1u);  // the owner sets its kept handle
  EXPECT_EQ(kobj::wait(opened, 1000), 1u);
  EXPECT_EQ(kobj::wait(event, 0), 0u);
  EXPECT_EQ(kobj::set(0), 0u);
  kobj::close(opened);
  kobj::close(event);
  EXPECT_EQ(kobj::mutex_exists(bytes(base + "-role")), 0u);
  kobj::Handle mutex = kobj::take_mutex(bytes(base + "-role"), 0);
  ASSERT_NE(mutex, 0u);
  EXPECT_EQ(kobj::mutex_exists(bytes(base + "-role")), 1u);
  kobj::release_mutex(mutex);
  EXPECT_EQ(kobj::mutex_exists(bytes(base + "-role")), 0u);

  section::Section owner{}, other{}, second{};
  ASSERT_EQ(section::create(bytes(base + "-section"), 8192, &owner), section::ok);
  EXPECT_EQ(section::create(bytes(base + "-section"), 8192, &second), section::in_use);
  owner.view[100] = 42;
  ASSERT_EQ(section::open(bytes(base + "-section"), &other), section::ok);
  EXPECT_GE(other.size, 8192u);
  EXPECT_EQ(other.view[100], 42);
  section::close(&other);
  section::close(&owner);
  EXPECT_EQ(section::open(bytes(base + "-section"), &other), section::not_found);
  EXPECT_EQ(section::create(bytes("no prefix\\"), 10, &owner), section::bad_name);
}

// The built program run as a user runs it, with a home whose cluster key is there: its exit code and what it wrote.
// before_start sees the process while it is still suspended.
struct Ran {
  DWORD code = 0;
  std::string out;
};

struct Home {
  TempDir dir;
  std::string appdata = winsupport::env("APPDATA"), localappdata = winsupport::env("LOCALAPPDATA");
  Home() {
    CreateDirectoryA(dir.at("Vimbrel").c_str(), nullptr);
    fs::write_file(bytes(dir.at("Vimbrel\\cluster.key")), bytes("vimbrel-key 1 " + std::string(64, '7') + "\n"));
    SetEnvironmentVariableA("APPDATA", dir.path.c_str());
    SetEnvironmentVariableA("LOCALAPPDATA", dir.path.c_str());
  }
  ~Home() {
    SetEnvironmentVariableA("APPDATA", appdata.c_str());
    SetEnvironmentVariableA("LOCALAPPDATA", localappdata.c_str());
  }
  Ran run(const std::string& args, const std::function<void(DWORD)>& before_start = nullptr) const {
    Ran ran;
    const std::string program = winsupport::env("VIMBREL_TEST_PROGRAM");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (program.empty() || !CreatePipe(&read_end, &write_end, &inherit, 0)) return ran;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = start.hStdError = write_end;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string line = "\"" + program + "\" " + args;
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                        nullptr, &start, &child);
    CloseHandle(write_end);
    if (!started) {
      CloseHandle(read_end);
      return ran;
    }
    if (before_start) before_start(child.dwProcessId);
    ResumeThread(child.hThread);
    char piece[512];
    DWORD got = 0;
    while (ReadFile(read_end, piece, sizeof piece, &got, nullptr) && got) ran.out.append(piece, got);
    WaitForSingleObject(child.hProcess, 60000);
    GetExitCodeProcess(child.hProcess, &ran.code);
    if (ran.code == STILL_ACTIVE) TerminateProcess(child.hProcess, 1);
    CloseHandle(read_end);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return ran;
  }
};

// A port no one listens on: the host and the candidate listen before anything else can refuse them.
std::string free_port() {
  sock::Socket s = sock::invalid_socket;
  if (sock::startup() != 1 || sock::listen(0x7F000001, 0, &s) != sock::done) return "0";
  const u16 port = sock::local_port(s);
  sock::close(s);
  return std::to_string(port);
}

// A process of the same user that made a mode's quit event before it (it guessed the process id) would leave the
// mode with no stop channel: the host, the candidate and the agent refuse to start and name the event instead. The
// event is made while the process is still suspended, under the name it would take.
TEST(WindowsObjects, AModeWhoseQuitEventIsTakenRefusesToStart) {
  ASSERT_NE(winsupport::env("VIMBREL_TEST_PROGRAM"), "") << "tests/windows/run names the program";
  Home home;
  const std::string share = home.dir.at("share");
  struct Case {
    std::string args;
    DWORD code;
    std::string said;
  } cases[] = {
      {"--agent --server 127.0.0.1:9", 7, "vimbrel agent: cannot start: another process holds this process's quit event "},
      {"--host \"" + share + "\" --port " + free_port() + " --listen 127.0.0.1", 5,
       "vimbrel host: cannot serve: another process holds this process's quit event "},
      {"--elect \"" + share + "\" --port " + free_port() + " --listen 127.0.0.1", 5,
       "vimbrel host: cannot serve: another process holds this process's quit event "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string quit;
    HANDLE squatter = nullptr;
    Ran ran = home.run(c.args, [&](DWORD pid) {
      u8 name[96];
      quit.assign(reinterpret_cast<char*>(name), kobj::quit_event_name(pid, name));
      std::wstring wide(quit.begin(), quit.end());
      squatter = CreateEventW(nullptr, TRUE, FALSE, wide.c_str());
    });
    ASSERT_NE(squatter, nullptr);
    CloseHandle(squatter);
    EXPECT_EQ(ran.code, c.code) << ran.out;
    EXPECT_NE(ran.out.find(c.said + quit), std::string::npos) << ran.out;
  }
}

// Share paths are judged by the folder they name: the local forms behind "\\?\" and "\\.\" are that drive path,
// "." and ".." are resolved before anything is made, a device is not a folder, and a share whose server does not
// answer cannot be reached. Folders are made only along the path that is used.
TEST(WindowsShares, ShareFolderPathsAreJudgedByWhatTheyName) {
  TempDir dir;
  ASSERT_EQ(fs::write_file(bytes(dir.at("afile")), bytes("x")), fs::ok);
  struct Case {
    std::string path;
    u32 result;
    std::string used;  // the path the share is then used by
  } cases[] = {
      {"\\\\?\\" + dir.at("x1"), fs::ok, dir.at("x1")},
      {"\\\\.\\" + dir.at("x5"), fs::ok, dir.at("x5")},
      {dir.at("x6\\..\\x6b"), fs::ok, dir.at("x6b")},
      {dir.at("deep\\er\\share\\"), fs::ok, dir.at("deep\\er\\share\\")},
      {"NUL", fs::not_directory, ""},
      {"C:\\con\\x", fs::not_directory, ""},
      {"C:\\aux", fs::not_directory, ""},
      {dir.at("com1.txt\\x"), fs::not_directory, ""},
      {"\\\\.\\pipe\\vimbrel", fs::not_directory, ""},
      {dir.at("afile\\share"), fs::not_directory, ""},
      {"\\\\127.0.0.1\\no-such-share\\x", fs::unreachable, ""},
      {"\\\\?\\UNC\\127.0.0.1\\no-such-share\\x", fs::unreachable, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    store::Path used;
    EXPECT_EQ(fs::prepare_share(bytes(c.path), &used), c.result);
    if (c.result != fs::ok) continue;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(used.text), used.length), c.used);
    EXPECT_EQ(fs::kind(bytes(c.used)), 2u);
  }
  EXPECT_EQ(fs::kind(bytes(dir.at("x6"))), 0u) << "a folder made along the path as typed";
  auto text = [](u32 result) {
    const mem::Bytes t = fs::share_text(result);
    return std::string(reinterpret_cast<const char*>(t.ptr), t.len);
  };
  EXPECT_EQ(text(fs::not_directory), "not a folder");
  EXPECT_EQ(text(fs::unreachable), "cannot reach the share");

  // The host as a user starts it: a device is refused with its reason before anything listens.
  Home home;
  Ran ran = home.run("--host NUL --port " + free_port() + " --listen 127.0.0.1");
  EXPECT_EQ(ran.code, 4u) << ran.out;
  EXPECT_EQ(ran.out.rfind("vimbrel host: cannot make the share folder: not a folder", 0), 0u) << ran.out;
}

// A worker's request event lives beside its section: sections and events share one namespace here, so it has a name
// of its own. The child opens it and sleeps on it until the parent writes a request.
TEST(WindowsObjects, TheCollectorsRequestEventStandsBesideItsSection) {
  child::Section parent{}, worker{};
  ASSERT_TRUE(child::create_section(&parent, 4096));
  ASSERT_TRUE(child::make_requests(&parent)) << "no request event beside the section";
  ASSERT_TRUE(child::open_section(mem::Bytes(parent.name, parent.name_length), &worker));
  ASSERT_TRUE(child::open_requests(&worker));
  EXPECT_FALSE(child::wait_request(&worker, 0));
  child::ask(&parent, feed::usage_request_at, 7);
  EXPECT_TRUE(child::wait_request(&worker, 10000));
  EXPECT_EQ(feed::get32(worker.view, worker.view_size, feed::usage_request_at), 7u);
  EXPECT_FALSE(child::wait_request(&worker, 0)) << "one request, one wake";
  child::unmap(&worker);
  child::unmap(&parent);
}

// A section (the children's blocks, the window's frame record) is its user's alone: the only access entry grants the
// process's own user everything, and the medium integrity label keeps lower levels from reading or writing it. The
// system's default security would have let others in (the administrators, the system).
TEST(WindowsObjects, SectionsAreTheirUsersAloneAtMediumIntegrity) {
  const std::string name = "Local\\vimbrel-test-secure-" + std::to_string(GetCurrentProcessId());
  section::Section s{};
  ASSERT_EQ(section::create(bytes(name), 4096, &s), section::ok);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  alignas(8) u8 user[512];
  DWORD got = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &got));
  CloseHandle(token);
  const PSID own = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;

  PACL access = nullptr, labels = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(reinterpret_cast<HANDLE>(s.handle), SE_KERNEL_OBJECT,
                            DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, nullptr, nullptr, &access,
                            &labels, &descriptor),
            DWORD(ERROR_SUCCESS));
  ASSERT_NE(access, nullptr);
  ASSERT_EQ(access->AceCount, 1);
  ACE_HEADER* entry = nullptr;
  ASSERT_TRUE(GetAce(access, 0, reinterpret_cast<void**>(&entry)));
  EXPECT_EQ(entry->AceType, ACCESS_ALLOWED_ACE_TYPE);
  ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
  EXPECT_TRUE(allowed->Mask == GENERIC_ALL || allowed->Mask == SECTION_ALL_ACCESS) << std::hex << allowed->Mask;
  EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), own));
  ASSERT_NE(labels, nullptr);
  ASSERT_EQ(labels->AceCount, 1);
  ASSERT_TRUE(GetAce(labels, 0, reinterpret_cast<void**>(&entry)));
  EXPECT_EQ(entry->AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  SYSTEM_MANDATORY_LABEL_ACE* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(entry);
  EXPECT_EQ(label->Mask, DWORD(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP));
  alignas(8) u8 medium[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof medium;
  ASSERT_TRUE(CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &size));
  EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&label->SidStart), medium));
  LocalFree(descriptor);

  // The user itself still opens it by name, as the children do.
  section::Section child{};
  EXPECT_EQ(section::open(bytes(name), &child), section::ok);
  section::close(&child);
  section::close(&s);
}

TEST(WindowsSockets, LoopbackConnectionAndPollSet) {
  ASSERT_EQ(sock::startup(), 1u);
  sock::Socket listener = sock::invalid_socket, client = sock::invalid_socket, served = sock::invalid_socket;
  ASSERT_EQ(sock::listen(0x7F000001, 0, &listener), sock::done);
  u16 port = sock::local_port(listener);
  ASSERT_NE(port, 0);
  sock::Socket rival = sock::invalid_socket;
  EXPECT_EQ(sock::listen(0x7F000001, port, &rival), sock::failed);
  ASSERT_EQ(sock::connect(0x7F000001, port, &client), sock::done);
  EXPECT_NE(sock::poll_one(client, 1, 5000) & 2, 0u);
  EXPECT_EQ(sock::connect_done(client), sock::done);
  u32 peer = 0;
  EXPECT_NE(sock::poll_one(listener, 0, 5000) & 1, 0u);
  ASSERT_EQ(sock::accept(listener, &served, &peer), sock::done);
  EXPECT_EQ(peer, 0x7F000001u);
  u64 count = 0;
  EXPECT_EQ(sock::send(client, mem::lit("hello"), &count), sock::done);
  EXPECT_EQ(count, 5u);
  u8 buffer[16];
  EXPECT_NE(sock::poll_one(served, 0, 5000) & 1, 0u);
  EXPECT_EQ(sock::recv(served, mem::Slice{buffer, sizeof buffer}, &count), sock::done);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "hello");
  EXPECT_EQ(sock::recv(served, mem::Slice{buffer, 0}, &count), sock::done);
  EXPECT_EQ(sock::recv(served, mem::Slice{buffer, sizeof buffer}, &count), sock::would_block);
  sock::close(client);
  sock::poll_one(served, 0, 5000);
  EXPECT_EQ(sock::recv(served, mem::Slice{buffer, sizeof buffer}, &count), sock::closed);
  sock::close(served);

  // A refused connection fails once the system has its answer.
  sock::close(listener);
  ASSERT_EQ(sock::connect(0x7F000001, port, &client), sock::done);
  sock::poll_one(client, 1, 5000);
  EXPECT_EQ(sock::connect_done(client), sock::failed);
  sock::close(client);

  sock::PollSet set;
  set.count = 0;
  EXPECT_EQ(sock::poll_wait(&set, 5000), 0u);
  for (u32 i = 0; i < sock::poll_capacity; ++i) sock::poll_add(&set, sock::invalid_socket, 0);
  EXPECT_EQ(sock::poll_add(&set, 1, 0), sock::poll_capacity);
  EXPECT_EQ(set.count, sock::poll_capacity);
}

TEST(WindowsChildren, JobsPipesAndExitCodes) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  u8 folder[1024];
  int n = WideCharToMultiByte(CP_UTF8, 0, system, -1, reinterpret_cast<char*>(folder), sizeof folder, nullptr, nullptr);
  std::string cmd = std::string(reinterpret_cast<char*>(folder), n - 1) + "\\cmd.exe";

  proc::PipedChild piped{};
  ASSERT_EQ(proc::start_piped(&piped, bytes(cmd), mem::lit("/c echo piped words")), 1u);
  std::string out;
  auto collect = [](void* state, mem::Bytes b) {
    static_cast<std::string*>(state)->append(reinterpret_cast<const char*>(b.ptr), b.len);
  };
  for (int i = 0; i < 500 && out.find("piped words") == std::string::npos; ++i) {
    proc::drain(&piped, collect, &out);
    Sleep(10);
  }
  EXPECT_NE(out.find("piped words"), std::string::npos) << out;
  proc::piped_close(&piped);

  proc::Child child{};
  ASSERT_EQ(proc::spawn(bytes(cmd), mem::lit("/c exit 70000"), proc::spawn_job, &child, nullptr), 1u);
  ASSERT_EQ(proc::wait_end(&child, 10000), 1u);
  u32 code = 0;
  EXPECT_EQ(proc::exit_code(&child, &code), 1u);
  EXPECT_EQ(code, 70000u);  // the whole 32-bit code
  proc::close(&child);

  ASSERT_EQ(proc::spawn(bytes(cmd), mem::lit("/c ping -n 30 127.0.0.1"), proc::spawn_job, &child, nullptr), 1u);
  EXPECT_EQ(proc::is_running(&child), 1u);
  proc::kill(&child);
  EXPECT_EQ(proc::exit_code(&child, &code), 1u);
  EXPECT_EQ(code, 1u);
  proc::close(&child);
  EXPECT_EQ(proc::spawn(mem::lit("C:\\no\\such\\program.exe"), mem::Bytes(), proc::spawn_job, &child, nullptr), 0u);
  EXPECT_EQ(child.process, 0u);
}

// Every entry of the chain starts 8-aligned with its name inside the buffer, whatever packing the system uses; a
// buffer too small answers the length mismatch with the size it needs.
TEST(WindowsSystemInformation, ProcessChainIsAlignedWithNamesInside) {
  sysinfo::Reader* reader = sysinfo::open(mem::lit("/"));
  ASSERT_NE(reader, nullptr);
  std::vector<u8> small(300);
  u32 needed = 0;
  EXPECT_EQ(sysinfo::processes(reader, mem::Slice{small.data(), small.size()}, &needed),
            sysinfo::status_length_mismatch);
  std::vector<u8> buffer(needed + 65536);
  u32 returned = 0;
  ASSERT_EQ(sysinfo::processes(reader, mem::Slice{buffer.data(), buffer.size()}, &returned), sysinfo::status_success);
  u64 at = 0, base = reinterpret_cast<u64>(buffer.data());
  bool self = false;
  for (u32 entries = 0;; ++entries) {
    ASSERT_LT(entries, 10000u);
    sysrec::ProcEntry e;
    memcpy(&e, buffer.data() + at, sizeof e);
    if (e.name_length) {
      ASSERT_GE(e.name_address, base + at + sizeof e);
      ASSERT_LE(e.name_address + e.name_length, base + returned);
      std::wstring name(reinterpret_cast<const wchar_t*>(e.name_address), e.name_length / 2);
      self = self || e.pid == GetCurrentProcessId();
    }
    if (e.next == 0) break;
    ASSERT_EQ(e.next % 8, 0u);
    at += e.next;
  }
  EXPECT_TRUE(self);
  EXPECT_GT(sysinfo::processor_count(reader), 0u);
  u8 times[48 * 64];
  EXPECT_EQ(sysinfo::cpu_times(reader, mem::Slice{times, sizeof times}), 48u * sysinfo::processor_count(reader));
  sysinfo::close(reader);
  EXPECT_EQ(sysinfo::open(mem::lit("/fixture/root")), nullptr);
}

}  // namespace
