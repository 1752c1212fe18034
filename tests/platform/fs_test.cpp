#include "platform/fs.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;
using harness::EnvVar;
using testutil::read_file;
using testutil::write_file;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

u64 entries_in(const std::string& folder) {
  u64 n = 0;
  for (auto it = std::filesystem::directory_iterator(folder); it != std::filesystem::directory_iterator(); ++it) ++n;
  return n;
}

// Every test gets a folder of its own, and the per-user folders point into it: nothing touches the real user's
// files.
struct FsTest : ::testing::Test {
  testutil::TempDir dir;
  std::string home = dir.path + "/home";
  EnvVar home_var{"HOME", home};
  EnvVar config_var{"XDG_CONFIG_HOME", dir.path + "/config"};
  EnvVar data_var{"XDG_DATA_HOME", dir.path + "/data"};
  std::string at(const std::string& name) const { return dir.path + "/" + name; }
};

TEST(ErrorClasses, EachErrnoMapsOnceForBothLayers) {
  struct Row {
    int number;
    u32 error_class;
    u32 io_code;
  };
  const Row rows[] = {
      {ENAMETOOLONG, 1, 2}, {ELOOP, 1, 7},        {ENOENT, 2, 2},     {ENOTDIR, 2, 2},     {EEXIST, 3, 1},
      {EACCES, 4, 4},       {EPERM, 4, 4},        {EBUSY, 4, 3},      {ETXTBSY, 4, 3},     {ENOTEMPTY, 5, 5},
      {EFBIG, 6, 5},        {EISDIR, 8, 4},       {EIO, 10, 5},       {EXDEV, 10, 5},      {EINVAL, 11, 5},
      {EAGAIN, 13, 5},      {ETIMEDOUT, 14, 5},   {ENOTCONN, 15, 5},  {ECONNABORTED, 16, 5}, {ECONNREFUSED, 17, 5},
      {ECONNRESET, 18, 5},  {EPIPE, 18, 5},       {EHOSTUNREACH, 19, 5}, {EADDRINUSE, 20, 5}, {ENOSPC, 21, 6},
      {EDQUOT, 21, 6},      {EROFS, 22, 4},       {EMFILE, 23, 5},    {EBADF, 24, 5},      {EINTR, 25, 5},
      {EOPNOTSUPP, 26, 5},  {0, 10, 5},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(fs::error_class(static_cast<u32>(r.number)), r.error_class) << strerror(r.number);
    EXPECT_EQ(fs::io_error_class(static_cast<u32>(r.number)), r.io_code) << strerror(r.number);
  }
  // Every class has its own text; 9 is not used.
  std::vector<std::string> seen;
  for (u32 c = 0; c < fs::class_count; ++c) {
    std::string t = harness::text(fs::class_text(c));
    EXPECT_EQ(t == "unknown", c == 9) << c;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), t), 0) << t;
    seen.push_back(t);
  }
  EXPECT_EQ(harness::text(fs::class_text(27)), "unknown");
  EXPECT_EQ(harness::text(fs::io_code_text(3)), "in use");
}

TEST(RootLength, DrivesUncAndPosixRoots) {
  struct Case {
    std::string path;
    u64 length;
  };
  const Case cases[] = {
      {"", 0},
      {"a/b", 0},
      {"/", 1},
      {"/home/user", 1},
      {"\\temp", 1},
      {"C:", 2},
      {"C:\\x", 3},
      {"c:/x", 3},
      {"\\\\?\\C:\\x", 7},
      {"\\\\?\\C:", 6},
      {"\\\\?\\Volume{1}\\", 4},
      {"\\\\server\\share\\dir", 15},
      {"\\\\server\\share", 14},
      {"//server//share//dir", 17},
      {"\\\\?\\UNC\\server\\share\\dir", 21},
  };
  for (const Case& c : cases) EXPECT_EQ(fs::root_length(bytes(c.path)), c.length) << c.path;
}

// Which program paths name a place on their own: Linux's rooted paths here, and the Windows build's rule, which the
// updater applies to a program path given to it (a drive path or a share's path; never one relative to the current
// folder or drive).
TEST(AbsolutePaths, EachSystemsOwnForms) {
  struct Case {
    std::string path;
    bool windows;
  };
  const Case cases[] = {
      {"C:\\Program Files\\Vimbrel\\vimbrel.exe", true},
      {"c:/vimbrel.exe", true},
      {"\\\\server\\share\\vimbrel.exe", true},
      {"\\\\?\\C:\\vimbrel.exe", true},
      {"\\\\?\\UNC\\server\\share\\vimbrel.exe", true},
      {"C:vimbrel.exe", false},       // relative to drive C's current folder
      {"\\vimbrel.exe", false},       // relative to the current drive
      {"/usr/bin/vimbrel", false},
      {"vimbrel.exe", false},
      {"1:\\vimbrel.exe", false},
      {"\\\\server", false},
      {"\\\\server\\", false},
      {"\\\\?\\C:", false},
      {"\\\\?\\Volume{1}\\vimbrel.exe", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fs::windows_absolute(bytes(c.path)), c.windows) << c.path;
    EXPECT_EQ(fs::absolute(bytes(c.path)), c.path.rfind('/', 0) == 0) << c.path;
  }
}

TEST_F(FsTest, PathRules) {
  struct Case {
    std::string path;
    u32 result;
  };
  const std::vector<Case> cases = {
      {"", 2},
      {at("a") + std::string(1, '\0') + "b", 1},
      {"C:\\Vimbrel\\x", 1},
      {"\\\\server\\share\\x", 1},
      {"//server/share/x", 1},
      {"\\\\?\\" + at("x"), 1},
      {dir.path + "/" + std::string(4096, 'a'), 1},
      {at("missing/x"), 2},
  };
  for (const Case& c : cases) EXPECT_EQ(fs::write_file(bytes(c.path), bytes("x")), c.result) << c.path.substr(0, 80);
  EXPECT_EQ(entries_in(dir.path), 0u);

  // Names are UTF-8 as the user typed them, in both layers; bytes that are no UTF-8 stay out of the share layer.
  const std::string accented = at("caf\xc3\xa9.snap");
  ASSERT_EQ(fs::write_file(bytes(accented), bytes("utf8")), 0u);
  EXPECT_EQ(read_file(accented), "utf8");
  ASSERT_EQ(fs::replace_file(bytes(accented), bytes("again")), 0u);
  EXPECT_EQ(read_file(accented), "again");
  EXPECT_EQ(fs::kind(bytes(accented)), 1u);
  u64 slot = 0;
  EXPECT_EQ(fs::io_open_rw(bytes(at("r\xc3\xa9gistre")), 1, &slot), fs::io_ok);
  fs::io_close(&slot);
  EXPECT_EQ(read_file(at("r\xc3\xa9gistre")), "");
  EXPECT_EQ(fs::io_open_rw(bytes(at("r\xe9gistre")), 1, &slot), fs::io_not_found);
  ASSERT_EQ(fs::remove(bytes(accented)), 0u);
  ASSERT_EQ(fs::remove(bytes(at("r\xc3\xa9gistre"))), 0u);

  // "\" separates like "/".
  ASSERT_EQ(fs::make_directory(bytes(at("sub"))), 0u);
  ASSERT_EQ(fs::write_file(bytes(dir.path + "\\sub\\f.txt"), bytes("back")), 0u);
  EXPECT_EQ(read_file(at("sub/f.txt")), "back");
}

TEST_F(FsTest, ReadFileIntoTheArena) {
  mem::Arena arena{};
  ASSERT_EQ(mem::arena_init(&arena, 4 << 20), 1u);
  std::string big(3 * (1 << 20) + 5, 'x');
  for (u64 i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>('a' + i % 26);
  write_file(at("big"), big);
  write_file(at("ten"), "0123456789");
  write_file(at("empty"), "");

  mem::Slice out{};
  ASSERT_EQ(fs::read_file(bytes(at("big")), &arena, &out), 0u);
  EXPECT_EQ(harness::text(out), big);  // read in pieces of 1 MiB

  arena.used = arena.capacity - 9;
  EXPECT_EQ(fs::read_file(bytes(at("ten")), &arena, &out), 7u);
  EXPECT_EQ(arena.used, arena.capacity - 9);
  EXPECT_EQ(out.len, 0u);

  EXPECT_EQ(fs::read_file(bytes(at("empty")), &arena, &out), 0u);
  EXPECT_EQ(out.len, 0u);
  EXPECT_EQ(fs::read_file(bytes(at("missing")), &arena, &out), 2u);
  EXPECT_EQ(fs::read_file(bytes(dir.path), &arena, &out), 8u);
  mem::release(&arena);
}

TEST_F(FsTest, PipesAndDevicesAreRefusedWithoutWaiting) {
  std::string fifo = at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opening a pipe for reading would wait for a writer forever; the child's deadline turns a hang into a failure.
  int code = harness::in_child([&] {
    mem::Arena arena{};
    if (mem::arena_init(&arena, 4096) != 1) return 90;
    mem::Slice out{};
    u8 buffer[16];
    fs::File file{};
    if (fs::read_file(bytes(fifo), &arena, &out) != 8) return 1;
    if (fs::open_sized(bytes(fifo), &file) != 8) return 2;
    if (fs::write_file(bytes(fifo), bytes("x")) != 8) return 3;
    if (fs::append_file(bytes(fifo), bytes("x")) != 8) return 4;
    if (fs::read_prefix(bytes(fifo), mem::Slice{buffer, sizeof buffer}) != 0) return 5;
    if (fs::read_file(bytes("/dev/zero"), &arena, &out) != 8) return 6;
    if (fs::replace_file(bytes(fifo), bytes("x")) != 8) return 7;  // a replace never swaps the pipe for a file
    struct stat st {};
    return lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) ? 0 : 8;
  });
  EXPECT_EQ(code, 0) << "-1 means the child hung";
}

TEST_F(FsTest, WriteAppendAndReplace) {
  std::string f = at("f");
  ASSERT_EQ(fs::write_file(bytes(f), bytes("one")), 0u);
  ASSERT_EQ(fs::append_file(bytes(f), bytes("+two")), 0u);
  EXPECT_EQ(read_file(f), "one+two");
  ASSERT_EQ(fs::write_file(bytes(f), bytes("3")), 0u);
  EXPECT_EQ(read_file(f), "3");
  ASSERT_EQ(fs::append_file(bytes(at("new")), bytes("made")), 0u);
  EXPECT_EQ(read_file(at("new")), "made");

  ASSERT_EQ(fs::replace_file(bytes(f), bytes("replaced")), 0u);
  EXPECT_EQ(read_file(f), "replaced");
  ASSERT_EQ(fs::replace_file(bytes(at("fresh")), bytes("")), 0u);
  EXPECT_EQ(read_file(at("fresh")), "");
  EXPECT_EQ(entries_in(dir.path), 3u);  // no temporary file is left behind
  EXPECT_EQ(fs::replace_file(bytes(dir.path), bytes("x")), 8u);
  EXPECT_EQ(fs::write_file(bytes(dir.path), bytes("x")), 8u);

  EXPECT_EQ(fs::touch(bytes(at("t"))), 1u);
  EXPECT_EQ(fs::write_ok(bytes(at("t")), bytes("ab")), 1u);
  EXPECT_EQ(fs::append_ok(bytes(at("t")), bytes("c")), 1u);
  u8 prefix[2];
  EXPECT_EQ(fs::read_prefix(bytes(at("t")), mem::Slice{prefix, 2}), 2u);
  EXPECT_EQ(fs::write_ok(bytes(at("no/t")), bytes("ab")), 0u);
}

TEST_F(FsTest, ReplaceKeepsTheOldFileWhenTheFolderRefusesTheTemporary) {
  std::string folder = at("locked");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  write_file(folder + "/settings.txt", "old");
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
  // Root passes every mode check, so the child gives up root first.
  int code = harness::in_child([&] {
    if (!harness::drop_root()) return 90;
    return static_cast<int>(fs::replace_file(bytes(folder + "/settings.txt"), bytes("new")));
  });
  EXPECT_EQ(code, 4);
  EXPECT_EQ(read_file(folder + "/settings.txt"), "old");
  EXPECT_EQ(entries_in(folder), 1u);
}

// A file system that fills up: a 16 KiB tmpfs in a mount namespace of the child's own when it may mount one, else
// a file-size limit that the kernel enforces for root too.
TEST_F(FsTest, ReplaceKeepsTheOldFileWhenTheDiskIsFull) {
  std::string folder = at("small");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  int code = harness::in_child([&] {
    bool mounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k") == 0;
    std::string f = folder + "/state";
    write_file(f, "old");
    if (!mounted) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{4096, 4096};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
    }
    u32 result = fs::replace_file(bytes(f), bytes(std::string(64 * 1024, 'n')));
    if (result != (mounted ? fs::no_space : fs::too_large)) return 1;
    if (read_file(f) != "old") return 2;
    if (entries_in(folder) != 1) return 3;
    // The plain write, by contrast, is not all or nothing: a failed write leaves what it wrote.
    return fs::write_file(bytes(f), bytes(std::string(64 * 1024, 'n'))) == result ? 0 : 4;
  });
  EXPECT_EQ(code, 0);
}

// What a replace may never swap for a plain file: a folder, a pipe, a socket, a device, and links to them. Each is
// refused with 8 and stays exactly what it was; nothing else appears in the folder.
TEST_F(FsTest, ReplaceRefusesWhatIsNotAPlainFile) {
  const std::string folder = at("special");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  auto in = [&](const std::string& name) { return folder + "/" + name; };
  ASSERT_EQ(mkdir(in("dir").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(in("fifo").c_str(), 0600), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = in("sock");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // A copy of the null device where the test may make one (root); its rows are skipped otherwise.
  const bool device = mknod(in("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  for (const char* name : {"dir", "fifo", "sock", "null"}) {
    ASSERT_EQ(symlink(name, in(std::string("link-") + name).c_str()), 0);
  }

  auto type_of = [](const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
  };
  std::vector<std::string> names = {"dir", "fifo", "sock", "link-dir", "link-fifo", "link-sock", "dir/"};
  if (device) names.insert(names.end(), {"null", "link-null"});
  std::vector<std::pair<std::string, mode_t>> before;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    before.emplace_back(e.path().string(), type_of(e.path().string()));
  }
  for (const std::string& name : names) {
    EXPECT_EQ(fs::replace_file(bytes(in(name)), bytes("x")), 8u) << name;
    fs::Replacement r;
    EXPECT_EQ(fs::replace_begin(bytes(in(name)), 0, &r), 8u) << name;
    EXPECT_EQ(fs::replace_write(&r, bytes("x")), 8u) << name;
    EXPECT_EQ(fs::replace_commit(&r), 8u) << name;
  }
  for (const auto& [path, type] : before) EXPECT_EQ(type_of(path), type) << path;
  EXPECT_EQ(entries_in(folder), before.size());
  close(sock);
}

// A link is written through: the link stays, its target (in the target's own folder) is replaced, and a link to
// nothing yet makes its target. A loop of links is a bad name.
TEST_F(FsTest, ReplaceWritesThroughLinks) {
  ASSERT_EQ(mkdir(at("real").c_str(), 0700), 0);
  write_file(at("real/target.snap"), "old");
  ASSERT_EQ(symlink("real/target.snap", at("near").c_str()), 0);
  ASSERT_EQ(symlink("near", at("chain").c_str()), 0);
  ASSERT_EQ(symlink("real/later.snap", at("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop-b", at("loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", at("loop-b").c_str()), 0);

  ASSERT_EQ(fs::replace_file(bytes(at("chain")), bytes("through two links")), 0u);
  EXPECT_EQ(read_file(at("real/target.snap")), "through two links");
  ASSERT_EQ(fs::replace_file(bytes(at("dangling")), bytes("made")), 0u);
  EXPECT_EQ(read_file(at("real/later.snap")), "made");
  EXPECT_EQ(fs::replace_file(bytes(at("loop-a")), bytes("x")), 1u);
  for (const char* link : {"near", "chain", "dangling", "loop-a", "loop-b"}) {
    EXPECT_EQ(fs::attributes(bytes(at(link))) & fs::attr_link, fs::attr_link) << link;
  }
  EXPECT_EQ(entries_in(at("real")), 2u);
}

// A replace keeps the mode of the file it replaces whatever the process's mask; a new file, and any secret, is
// 0600; a file its owner made read-only is refused and left as it was.
TEST_F(FsTest, ReplaceKeepsTheModeAndMakesNewFilesPrivate) {
  umask(022);
  struct Case {
    const char* name;
    int mode;  // -1: no file before
    u32 flags;
    u32 result;
    mode_t after;
  };
  const Case cases[] = {
      {"new", -1, 0, 0, 0600},          {"shared", 0664, 0, 0, 0664},  {"private", 0600, 0, 0, 0600},
      {"executable", 0750, 0, 0, 0750}, {"secret", 0644, fs::replace_private, 0, 0600},
      {"read-only", 0444, 0, 4, 0444},
  };
  for (const Case& c : cases) {
    const std::string f = at(c.name);
    if (c.mode >= 0) {
      write_file(f, "old");
      ASSERT_EQ(chmod(f.c_str(), static_cast<mode_t>(c.mode)), 0);
    }
    fs::Replacement r;
    u32 result = fs::replace_begin(bytes(f), c.flags, &r);
    if (result == 0) result = fs::replace_write(&r, bytes("new"));
    if (result == 0) result = fs::replace_commit(&r);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(mode_of(f), c.after) << c.name;
    EXPECT_EQ(read_file(f), c.result == 0 ? "new" : "old") << c.name;
  }
  EXPECT_EQ(entries_in(dir.path), std::size(cases));
}

// The steps: begin says at once whether the path can be written, an abandoned replace leaves nothing, and a
// process killed between its writes leaves nothing behind for good: no name at all where the file system allows an
// unnamed temporary file, else one that the next replace of the name removes.
TEST_F(FsTest, ReplaceStepsLeaveNothingBehind) {
  fs::Replacement r;
  EXPECT_EQ(fs::replace_begin(bytes(at("missing/f.snap")), 0, &r), 2u);
  EXPECT_EQ(fs::replace_write(&r, bytes("x")), 2u);
  EXPECT_EQ(fs::replace_commit(&r), 2u);
  fs::Replacement never{};
  EXPECT_EQ(fs::replace_commit(&never), 24u);

  const std::string folder = at("snaps");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string f = folder + "/f.snap";
  write_file(f, "old");
  ASSERT_EQ(fs::replace_begin(bytes(f), 0, &r), 0u);
  ASSERT_EQ(fs::replace_write(&r, bytes("half")), 0u);
  fs::replace_abandon(&r);
  EXPECT_EQ(read_file(f), "old");
  EXPECT_EQ(entries_in(folder), 1u);

  int code = harness::in_child([&] {
    fs::Replacement killed;
    if (fs::replace_begin(bytes(f), 0, &killed) != 0 || fs::replace_write(&killed, bytes("torn")) != 0) return 1;
    raise(SIGKILL);
    return 2;
  });
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(read_file(f), "old");
  // A writer killed while its temporary file had a name (a child that made one as a replace does, its lock held)
  // leaves a file that the next replace removes at once, however young; one whose writer lives on stays, and so do
  // temporary names of other files and names of another form.
  const std::string killed_name = folder + "/f.snap.tmp-0123abcd";
  code = harness::in_child([&] {
    int fd = open(killed_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(fd, "torn", 4) != 4) return 1;
    raise(SIGKILL);
    return 2;
  });
  EXPECT_EQ(code, 128 + SIGKILL);
  const std::string live = folder + "/f.snap.tmp-89abcdef";
  write_file(live, "live");
  int held = open(live.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const char* others[] = {"g.snap.tmp-00000000", "f.snap.tmp-0123ABCD", "f.snap.tmp-0123abc", "f.snap.tmp-0123abcde"};
  for (const char* name : others) write_file(folder + "/" + name, "left");
  ASSERT_EQ(fs::replace_file(bytes(f), bytes("new")), 0u);
  EXPECT_EQ(read_file(f), "new");
  EXPECT_FALSE(std::filesystem::exists(killed_name));
  EXPECT_TRUE(std::filesystem::exists(live));
  for (const char* name : others) EXPECT_TRUE(std::filesystem::exists(folder + "/" + name)) << name;
  EXPECT_EQ(entries_in(folder), 2 + std::size(others));
  ::close(held);
}

// Where an unnamed temporary file cannot be given a name (no /proc, no privilege to link by descriptor: here every
// link is refused outright), the data moves into a named one and the replace still succeeds, mode kept, nothing
// left beside the file.
TEST_F(FsTest, ReplaceWithoutLinksStillWorks) {
  const std::string folder = at("nolinks");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string f = folder + "/state";
  write_file(f, "old");
  ASSERT_EQ(chmod(f.c_str(), 0640), 0);
  int code = harness::in_child([&] {
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      return 90;
    }
    std::string big(3 * 65536 + 7, 'n');
    if (fs::replace_file(bytes(f), bytes(big)) != 0) return 1;
    if (read_file(f) != big) return 2;
    return entries_in(folder) == 1 && mode_of(f) == 0640 ? 0 : 3;
  });
  if (code == 90) GTEST_SKIP() << "no system-call filter here";
  EXPECT_EQ(code, 0);
}

TEST_F(FsTest, PerUserFoldersArePrivate) {
  umask(022);
  u8 buffer[4096];
  u64 n = 0;
  ASSERT_EQ(fs::env_var(mem::lit("APPDATA"), mem::Slice{buffer, sizeof buffer}, &n), 0u);
  std::string appdata(reinterpret_cast<char*>(buffer), n);
  EXPECT_EQ(appdata, dir.path + "/config");
  ASSERT_EQ(fs::env_var(mem::lit("LOCALAPPDATA"), mem::Slice{buffer, sizeof buffer}, &n), 0u);
  std::string local(reinterpret_cast<char*>(buffer), n);
  EXPECT_EQ(local, dir.path + "/data");

  ASSERT_EQ(fs::make_directories(bytes(appdata + "\\Vimbrel\\deep")), 0u);
  EXPECT_EQ(mode_of(appdata), 0700u);
  EXPECT_EQ(mode_of(appdata + "/Vimbrel/deep"), 0700u);
  ASSERT_EQ(fs::write_file(bytes(appdata + "\\Vimbrel\\cluster.key"), bytes("k")), 0u);
  EXPECT_EQ(mode_of(appdata + "/Vimbrel/cluster.key"), 0600u);
  ASSERT_EQ(fs::replace_file(bytes(appdata + "/Vimbrel/publish.txt"), bytes("p")), 0u);
  EXPECT_EQ(mode_of(appdata + "/Vimbrel/publish.txt"), 0600u);
  ASSERT_EQ(fs::make_directories(bytes(local + "//Vimbrel/history/")), 0u);
  EXPECT_EQ(mode_of(local + "/Vimbrel/history"), 0700u);
  u64 slot = 0;
  ASSERT_EQ(fs::io_open_rw(bytes(local + "/Vimbrel/history/t0.ring"), 1, &slot), 0u);
  fs::io_close(&slot);
  EXPECT_EQ(mode_of(local + "/Vimbrel/history/t0.ring"), 0600u);

  // Elsewhere the process's mask decides, as for any program.
  ASSERT_EQ(fs::write_file(bytes(at("report.txt")), bytes("r")), 0u);
  EXPECT_EQ(mode_of(at("report.txt")), 0644u);
  ASSERT_EQ(fs::make_directory(bytes(at("share"))), 0u);
  EXPECT_EQ(mode_of(at("share")), 0755u);
  // A name that only begins like the folder is not inside it.
  ASSERT_EQ(fs::write_file(bytes(appdata + "-other"), bytes("x")), 0u);
  EXPECT_EQ(mode_of(appdata + "-other"), 0644u);
}

TEST_F(FsTest, EnvironmentValues) {
  u8 buffer[64];
  u64 n = 99;
  auto get = [&](const std::string& name) { return fs::env_var(bytes(name), mem::Slice{buffer, sizeof buffer}, &n); };
  {
    EnvVar v("VIMBREL_TEST_VALUE", std::nullopt);
    EXPECT_EQ(get("VIMBREL_TEST_VALUE"), 2u);
  }
  {
    EnvVar v("VIMBREL_TEST_VALUE", "");
    EXPECT_EQ(get("VIMBREL_TEST_VALUE"), 0u);
    EXPECT_EQ(n, 0u);
  }
  {
    EnvVar v("VIMBREL_TEST_VALUE", std::string(65, 'v'));
    EXPECT_EQ(get("VIMBREL_TEST_VALUE"), 6u);
  }
  {
    EnvVar v("VIMBREL_TEST_VALUE", "caf\xc3\xa9");
    EXPECT_EQ(get("VIMBREL_TEST_VALUE"), 1u);
  }
  EXPECT_EQ(get("N\xc3\xa4me"), 1u);

  // The per-user folders: the XDG variables, else below HOME; relative values are ignored; APPDATA itself is not
  // read on this system.
  EnvVar appdata("APPDATA", "/somewhere/else");
  EXPECT_EQ(get("APPDATA"), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), dir.path + "/config");
  EnvVar config("XDG_CONFIG_HOME", "relative/config");
  EnvVar data("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(get("APPDATA"), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), home + "/.config");
  EXPECT_EQ(get("LOCALAPPDATA"), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), home + "/.local/share");
  EnvVar no_home("HOME", std::nullopt);
  EXPECT_EQ(get("LOCALAPPDATA"), 2u);
}

// The values that name this user's folders may be UTF-8, as folder names are; other bytes are refused, and the
// refusal says which variable holds what.
TEST_F(FsTest, FolderVariablesTakeUtf8) {
  u8 buffer[256];
  u64 n = 0;
  auto get = [&](const char* name) { return fs::env_var(mem::cstr(name), mem::Slice{buffer, sizeof buffer}, &n); };
  auto refusal = [&](const char* name) {
    u64 length = fs::folder_refusal(mem::cstr(name), mem::Slice{buffer, sizeof buffer});
    return std::string(reinterpret_cast<char*>(buffer), length);
  };
  struct Case {
    const char* variable;  // set to the value
    const char* asked;     // the name env_var is asked for
    std::string value;
    u32 code;
    std::string why;
  } cases[] = {
      {"XDG_CONFIG_HOME", "APPDATA", "/home/j\xc3\xb6s\xc3\xa9/.config", 0, ""},
      {"XDG_DATA_HOME", "LOCALAPPDATA", "/tmp/\xe6\x97\xa5\xe6\x9c\xac", 0, ""},
      {"XDG_RUNTIME_DIR", "XDG_RUNTIME_DIR", "/run/user/caf\xc3\xa9", 0, ""},
      {"XDG_CONFIG_HOME", "APPDATA", "/tmp/caf\xe9", 1, "$XDG_CONFIG_HOME (/tmp/caf\\xe9) is not UTF-8"},
      {"XDG_RUNTIME_DIR", "XDG_RUNTIME_DIR", "/run/\xc3", 1, "$XDG_RUNTIME_DIR (/run/\\xc3) is not UTF-8"},
      {"XDG_DATA_HOME", "LOCALAPPDATA", "/tmp/\xed\xa0\x80", 1, "$XDG_DATA_HOME (/tmp/\\xed\\xa0\\x80) is not UTF-8"},
      {"COMPUTERNAME", "COMPUTERNAME", "caf\xc3\xa9", 1, ""},  // not a folder: ASCII only, as before
  };
  for (const Case& c : cases) {
    EnvVar v(c.variable, c.value);
    EXPECT_EQ(get(c.asked), c.code) << c.value;
    if (c.code == 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), c.value);
    }
    EXPECT_EQ(refusal(c.asked), c.why) << c.value;
  }
  EnvVar config("XDG_CONFIG_HOME", std::nullopt);
  EnvVar home("HOME", "/home/b\xff");
  EXPECT_EQ(get("APPDATA"), 1u);
  EXPECT_EQ(refusal("APPDATA"), "$HOME (/home/b\\xff) is not UTF-8");
  EnvVar no_home("HOME", std::nullopt);
  EXPECT_EQ(refusal("APPDATA"), "neither $XDG_CONFIG_HOME nor $HOME names an absolute folder");
}

TEST_F(FsTest, TemporaryFolder) {
  u8 buffer[64];
  u64 n = 0;
  auto get = [&](u64 capacity) { return fs::temp_folder(mem::Slice{buffer, capacity}, &n); };
  {
    EnvVar v("TMPDIR", "/var/tmp/x");
    ASSERT_EQ(get(sizeof buffer), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "/var/tmp/x/");
    EXPECT_EQ(get(10), 6u);
  }
  for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>("rel")}) {
    EnvVar v("TMPDIR", value);
    ASSERT_EQ(get(sizeof buffer), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "/tmp/");
  }
  EnvVar v("TMPDIR", "/tmp/caf\xc3\xa9");
  EXPECT_EQ(get(sizeof buffer), 6u);
}

TEST_F(FsTest, MakeDirectoriesAlongAPath) {
  std::string chain = dir.path + "//a///b//";
  ASSERT_EQ(fs::make_directories(bytes(chain)), 0u);
  EXPECT_EQ(fs::kind(bytes(at("a/b"))), 2u);
  EXPECT_EQ(fs::make_directories(bytes(chain)), 0u);  // all there already
  EXPECT_EQ(fs::make_directories(bytes(dir.path + "\\c\\d")), 0u);
  EXPECT_EQ(fs::kind(bytes(at("c/d"))), 2u);

  write_file(at("file"), "x");
  EXPECT_EQ(fs::make_directories(bytes(at("file/x"))), 3u);
  EXPECT_EQ(fs::make_directories(bytes(at("file"))), 3u);
  EXPECT_EQ(fs::make_directories(bytes("")), 1u);
  EXPECT_EQ(fs::make_directories(bytes("/")), 0u);
  EXPECT_EQ(fs::make_directories(bytes("C:\\x\\y")), 1u);
  EXPECT_EQ(fs::ensure_directory(bytes(at("a"))), 0u);
  EXPECT_EQ(fs::make_directory(bytes(at("a"))), 3u);
  EXPECT_EQ(fs::ensure_directory(bytes(at("file"))), 3u);
}

TEST_F(FsTest, MoveDeleteAndSwap) {
  write_file(at("src"), "new");
  write_file(at("dst"), "old");
  ASSERT_EQ(fs::move_file(bytes(at("src")), bytes(at("dst"))), 0u);
  EXPECT_EQ(read_file(at("dst")), "new");
  EXPECT_EQ(fs::move_file(bytes(at("src")), bytes(at("dst"))), 2u);
  ASSERT_EQ(mkdir(at("folder").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(at("folder/inner").c_str(), 0755), 0);
  EXPECT_EQ(fs::move_file(bytes(at("dst")), bytes(at("folder"))), 8u);
  EXPECT_EQ(fs::move_ok(bytes(at("dst")), bytes(at("moved"))), 1u);

  write_file(at("ro"), "r");
  ASSERT_EQ(chmod(at("ro").c_str(), 0444), 0);
  EXPECT_EQ(fs::delete_file(bytes(at("ro"))), 0u);
  EXPECT_EQ(fs::delete_file(bytes(at("ro"))), 2u);
  EXPECT_EQ(fs::delete_file(bytes(at("folder"))), 8u);
  EXPECT_EQ(fs::remove(bytes(at("moved"))), 0u);

  // swap_in: target to backup, new onto target.
  write_file(at("app"), "v1");
  write_file(at("app.new"), "v2");
  u32 missing = 7;
  EXPECT_EQ(fs::swap_in(bytes(at("app.new")), bytes(at("app")), bytes(at("app.prev")), &missing), 1u);
  EXPECT_EQ(read_file(at("app")), "v2");
  EXPECT_EQ(read_file(at("app.prev")), "v1");
  EXPECT_EQ(missing, 0u);
  // A missing new file: the original is moved back.
  EXPECT_EQ(fs::swap_in(bytes(at("gone.new")), bytes(at("app")), bytes(at("app.old")), &missing), 0u);
  EXPECT_EQ(read_file(at("app")), "v2");
  EXPECT_FALSE(std::filesystem::exists(at("app.old")));
  EXPECT_EQ(missing, 0u);
  // A missing target: nothing moves.
  EXPECT_EQ(fs::swap_in(bytes(at("app")), bytes(at("none")), bytes(at("none.prev"))), 0u);
  EXPECT_EQ(read_file(at("app")), "v2");
}

TEST_F(FsTest, ReadByOffset) {
  write_file(at("f"), "0123456789");
  fs::File file{};
  ASSERT_EQ(fs::open_sized(bytes(at("f")), &file), 0u);
  EXPECT_EQ(file.size, 10u);
  u8 buffer[8] = {};
  u64 count = 99;
  EXPECT_EQ(fs::read_at(&file, 4, mem::Slice{buffer, 8}, &count), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "456789");
  EXPECT_EQ(fs::read_at(&file, 10, mem::Slice{buffer, 8}, &count), 0u);
  EXPECT_EQ(count, 0u);
  fs::close(&file);
  EXPECT_EQ(file.handle, 0u);
  EXPECT_EQ(fs::read_at(&file, 0, mem::Slice{buffer, 8}, &count), 24u);
  EXPECT_EQ(fs::open_sized(bytes(dir.path), &file), 8u);
  EXPECT_EQ(fs::open_sized(bytes(at("missing")), &file), 2u);
  u64 handle = 0;
  EXPECT_EQ(fs::open(bytes(dir.path), fs::access_read | fs::access_write, &handle), 8u);
  EXPECT_EQ(handle, 0u);
}

TEST_F(FsTest, CopyKeepsTheModeAndTakesUtf8Paths) {
  std::string tool = at("tool");
  write_file(tool, "#!/bin/sh\n");
  ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
  std::string copy = at("k\xc3\xb6pia");
  write_file(copy, "previous, longer content");
  ASSERT_EQ(fs::copy_file(bytes(tool), bytes(copy)), 1u);
  EXPECT_EQ(read_file(copy), "#!/bin/sh\n");
  EXPECT_EQ(mode_of(copy), 0755u);
  EXPECT_EQ(fs::copy_file(bytes(at("missing")), bytes(copy)), 0u);
  EXPECT_EQ(fs::copy_file(bytes(dir.path), bytes(at("dircopy"))), 0u);
  std::string big(3 << 20, 'b');
  write_file(at("big"), big);
  ASSERT_EQ(fs::copy_file(bytes(at("big")), bytes(at("big2"))), 1u);
  EXPECT_EQ(read_file(at("big2")), big);
  EXPECT_EQ(entries_in(dir.path), 4u);  // no temporary file is left behind, not even by the failed copies
}

TEST_F(FsTest, SizeTimeKindAndAttributes) {
  write_file(at("f"), "12345");
  timespec times[2] = {{1700000000, 123456700}, {1700000000, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, at("f").c_str(), times, 0), 0);
  u64 size = 0, time = 0;
  ASSERT_EQ(fs::size_and_time(bytes(at("f")), &size, &time), 1u);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(time, (1700000000ull + 11644473600ull) * 10000000ull + 1234567);
  EXPECT_EQ(fs::size_and_time(bytes(at("missing")), &size, &time), 0u);
  EXPECT_EQ(size + time, 0u);

  ASSERT_EQ(symlink(dir.path.c_str(), at("dirlink").c_str()), 0);
  ASSERT_EQ(symlink(at("f").c_str(), at("filelink").c_str()), 0);
  write_file(at("ro"), "");
  ASSERT_EQ(chmod(at("ro").c_str(), 0444), 0);
  struct Case {
    std::string path;
    u32 kind;
    u32 attributes;
  };
  const Case cases[] = {
      {at("missing"), 0, 0xFFFFFFFF}, {at("f"), 1, 0x80},          {dir.path, 2, 0x10},
      {at("ro"), 1, 0x1},             {at("dirlink"), 2, 0x410},    {at("filelink"), 1, 0x400},
      {"C:\\f", 0, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fs::kind(bytes(c.path)), c.kind) << c.path;
    EXPECT_EQ(fs::attributes(bytes(c.path)), c.attributes) << c.path;
  }
}

}  // namespace
