#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history/store.h"
#include "platform/fs.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;
using harness::EnvVar;
using testutil::read_file;
using testutil::write_file;
namespace sfs = std::filesystem;

std::string kept_name(const fs::Listing& l, u32 i) {
  return std::string(reinterpret_cast<const char*>(l.names[i]), l.lengths[i]);
}

// The open flags of this process's descriptor of the file, from the kernel's own account; -1 when none is open.
long open_flags_of(const std::string& path) {
  for (const auto& fd : sfs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (sfs::read_symlink(fd.path(), ec) != path) continue;
    std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
    std::string key;
    std::string value;
    while (info >> key >> value) {
      if (key == "flags:") return strtol(value.c_str(), nullptr, 8);
    }
  }
  return -1;
}

struct ShareTest : ::testing::Test {
  testutil::TempDir dir;
  EnvVar home_var{"HOME", dir.path + "/home"};
  EnvVar config_var{"XDG_CONFIG_HOME", dir.path + "/config"};
  EnvVar data_var{"XDG_DATA_HOME", dir.path + "/data"};
  std::string at(const std::string& name) const { return dir.path + "/" + name; }
};

TEST_F(ShareTest, ShortPathsOnly) {
  // A path of exactly 298 bytes is taken, one of 299 is refused before the disk is asked.
  std::string parent = at(std::string(200, 'p'));
  ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
  std::string longest = parent + "/" + std::string(298 - parent.size() - 1, 'q');
  ASSERT_EQ(longest.size(), 298u);
  EXPECT_EQ(fs::io_make_directory(bytes(longest)), 0u);
  EXPECT_TRUE(sfs::is_directory(longest));
  std::string too_long = longest + "r";
  EXPECT_EQ(fs::io_make_directory(bytes(too_long)), 2u);
  EXPECT_FALSE(sfs::exists(too_long));

  const std::string refused[] = {
      "", at("nul") + std::string(1, '\0'), at("caf\xe9"), "C:\\share\\x", "\\\\server\\share\\x",
  };
  for (const std::string& p : refused) {
    EXPECT_EQ(fs::io_make_directory(bytes(p)), 2u) << p;
    EXPECT_EQ(fs::io_create_file(bytes(p), bytes("x")), 2u) << p;
  }
  EXPECT_EQ(std::distance(sfs::directory_iterator(dir.path), sfs::directory_iterator()), 1);
}

TEST_F(ShareTest, ClaimsAreExclusiveAndNeverLeftHalfWritten) {
  std::string claim = at("0000002a");
  ASSERT_EQ(fs::io_create_file(bytes(claim), bytes("first")), 0u);
  EXPECT_EQ(fs::io_create_file(bytes(claim), bytes("second")), 1u);
  EXPECT_EQ(read_file(claim), "first");

  // A write that fails after the create (here: the file-size limit, which binds root too) takes the file away again,
  // so the claim's name is free for the next try.
  std::string failing = at("0000002b");
  int code = harness::in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16, 16};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
    return static_cast<int>(fs::io_create_file(bytes(failing), bytes(std::string(100, 'c'))));
  });
  EXPECT_EQ(code, 5);
  EXPECT_FALSE(sfs::exists(failing));
}

enum Opener { rw, rw_truncate, shared, reader };

u32 open_as(Opener kind, const std::string& path, u64* slot) {
  switch (kind) {
    case rw: return fs::io_open_rw(bytes(path), 0, slot);
    case rw_truncate: return fs::io_open_rw(bytes(path), 1, slot);
    case shared: return fs::io_open_shared(bytes(path), slot);
    case reader: return fs::io_open_read(bytes(path), slot);
  }
  return 99;
}

TEST_F(ShareTest, SharingRulesBetweenTwoOpens) {
  struct Case {
    Opener first, second;
    u32 code;
  };
  // A handle that shares only reading keeps writers out, and a writer keeps such a handle out; readers always pass.
  const Case cases[] = {
      {rw, rw, 3},         {rw, rw_truncate, 3}, {rw, shared, 3},    {rw, reader, 0},
      {shared, rw, 3},     {shared, shared, 0},  {shared, reader, 0}, {reader, rw, 0},
      {reader, shared, 0}, {reader, reader, 0},
  };
  std::string ring = at("t0.ring");
  for (const Case& c : cases) {
    write_file(ring, "contents");
    u64 a = 0, b = 77;
    ASSERT_EQ(open_as(c.first, ring, &a), 0u);
    EXPECT_EQ(open_as(c.second, ring, &b), c.code) << c.first << " then " << c.second;
    EXPECT_EQ(fs::io_is_open(b), c.code == 0);
    EXPECT_EQ(read_file(ring), "contents");  // a refused truncating open leaves the file whole
    fs::io_close(&b);
    fs::io_close(&a);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(open_as(c.second, ring, &b), 0u);  // free again once the first is closed
    fs::io_close(&b);
  }
}

TEST_F(ShareTest, SharingHoldsBetweenProcesses) {
  std::string ring = at("t1.ring");
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    u64 slot = 0;
    char c = fs::io_open_rw(bytes(ring), 1, &slot) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(done[0], &c, 1);  // holds the file until the parent is done
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  u64 slot = 0;
  EXPECT_EQ(fs::io_open_rw(bytes(ring), 0, &slot), 3u);
  EXPECT_EQ(slot, 0u);
  EXPECT_EQ(fs::io_open_read(bytes(ring), &slot), 0u);
  fs::io_close(&slot);
  (void)!write(done[1], "x", 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(fs::io_open_rw(bytes(ring), 0, &slot), 0u);
  fs::io_close(&slot);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(ShareTest, PositionalReadsAndWrites) {
  u8 buffer[128];
  u64 count = 99;
  for (u64 closed : {u64{0}, fs::io_none}) {
    EXPECT_EQ(fs::io_write_at(closed, 0, bytes("x")), 5u);
    EXPECT_EQ(fs::io_read_at(closed, 0, mem::Slice{buffer, 8}, &count), 5u);
    EXPECT_EQ(count, 0u);
  }

  std::string ring = at("p0.ring");
  u64 slot = 0;
  ASSERT_EQ(fs::io_open_rw(bytes(ring), 1, &slot), 0u);
  EXPECT_NE(open_flags_of(ring) & O_DSYNC, 0);  // every write is on the disk when it returns
  ASSERT_EQ(fs::io_write_at(slot, 60, bytes("tail")), 0u);
  ASSERT_EQ(fs::io_write_at(slot, 0, bytes("head")), 0u);
  EXPECT_EQ(fs::io_read_at(slot, 0, mem::Slice{buffer, 100}, &count), 0u);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "head");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 60, 4), "tail");
  EXPECT_EQ(fs::io_read_at(slot, 64, mem::Slice{buffer, 100}, &count), 0u);
  EXPECT_EQ(count, 0u);

  // More than one 1 MiB piece each way.
  std::string big(3 * (1 << 20) + 7, 'b');
  for (u64 i = 0; i < big.size(); i += 1021) big[i] = static_cast<char>(i % 251);
  ASSERT_EQ(fs::io_write_at(slot, 5, bytes(big)), 0u);
  std::vector<u8> back(big.size());
  EXPECT_EQ(fs::io_read_at(slot, 5, mem::Slice{back.data(), back.size()}, &count), 0u);
  EXPECT_EQ(count, big.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), back.begin(), [](char a, u8 b) { return static_cast<u8>(a) == b; }));
  fs::io_close(&slot);
  EXPECT_FALSE(fs::io_is_open(slot));

  ASSERT_EQ(fs::io_open_read(bytes(ring), &slot), 0u);
  EXPECT_EQ(open_flags_of(ring) & O_DSYNC, 0);
  fs::io_close(&slot);
  EXPECT_EQ(fs::io_read_file(bytes(ring), mem::Slice{buffer, 4}, &count), 0u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(fs::io_read_file(bytes(at("missing")), mem::Slice{buffer, 4}, &count), 2u);
  EXPECT_EQ(fs::io_open_read(bytes(dir.path), &slot), 4u);
  EXPECT_EQ(slot, 0u);
}

// Reads past the cache on the test folder's disk and on a RAM file system; where the system refuses uncached
// reads at the open (its process files do), the cached read answers instead.
TEST_F(ShareTest, UncachedReads) {
  char shm_template[] = "/dev/shm/vimbrel-test-XXXXXX";
  std::vector<std::string> folders = {dir.path};
  if (mkdtemp(shm_template)) folders.push_back(shm_template);
  for (const std::string& folder : folders) {
    std::string small = folder + "/lease", large = folder + "/lease100", huge = folder + "/huge";
    write_file(small, std::string(64, 's'));
    write_file(large, std::string(100, 'l'));
    write_file(huge, std::string(5000, 'h'));
    u8 buffer[80];
    u64 count = 0;
    memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(fs::io_read_uncached(bytes(small), mem::Slice{buffer, 64}, &count), 0u) << folder;
    EXPECT_EQ(count, 64u);
    EXPECT_EQ(buffer[63], 's');
    memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(fs::io_read_uncached(bytes(large), mem::Slice{buffer, 64}, &count), 0u);
    EXPECT_EQ(count, 100u);  // what was read, so the caller sees the record is too long
    EXPECT_EQ(buffer[63], 'l');
    EXPECT_EQ(buffer[64], 0xEE);  // nothing past the caller's buffer
    EXPECT_EQ(fs::io_read_uncached(bytes(huge), mem::Slice{buffer, 64}, &count), 0u);
    EXPECT_EQ(count, 4096u);
    EXPECT_EQ(fs::io_read_uncached(bytes(folder + "/missing"), mem::Slice{buffer, 64}, &count), 2u);
  }
  if (folders.size() > 1) sfs::remove_all(folders[1]);

  int probe = open("/proc/self/cmdline", O_RDONLY | O_DIRECT);
  if (probe >= 0) {
    close(probe);
    GTEST_SKIP() << "this system reads process files uncached; no refusing file system at hand";
  }
  ASSERT_EQ(errno, EINVAL);
  u8 cached[256] = {}, uncached[256] = {};
  u64 n_cached = 0, n_uncached = 0;
  ASSERT_EQ(fs::io_read_file(mem::lit("/proc/self/cmdline"), mem::Slice{cached, sizeof cached}, &n_cached), 0u);
  ASSERT_EQ(fs::io_read_uncached(mem::lit("/proc/self/cmdline"), mem::Slice{uncached, sizeof uncached}, &n_uncached),
            0u);
  EXPECT_GT(n_uncached, 0u);
  EXPECT_EQ(n_uncached, n_cached);
  EXPECT_EQ(memcmp(cached, uncached, sizeof cached), 0);
}

// Bytes this process has had read from storage, from the kernel's account.
long storage_reads() {
  std::ifstream in("/proc/self/io");
  std::string word;
  long value = -1;
  while (in >> word) {
    if (word == "read_bytes:") in >> value;
  }
  return value;
}

// On this machine's own disk the lease a host reads every second comes from the cache, which holds every write
// made here: the newest record each time, and no read of the disk. A record rewritten through another handle is
// seen at once.
TEST_F(ShareTest, UncachedReadsOfALocalDiskComeFromTheCache) {
  struct statfs about {};
  ASSERT_EQ(statfs(dir.path.c_str(), &about), 0);
  if (about.f_type != 0xEF53 && about.f_type != 0x58465342 && about.f_type != 0x9123683E) {
    GTEST_SKIP() << "the test folder is on no disk file system";
  }
  u64 slot = 0;
  ASSERT_EQ(fs::io_open_shared(bytes(at("lease")), &slot), 0u);
  const long before = storage_reads();
  ASSERT_GE(before, 0) << "the kernel keeps no account of this process's reads";
  for (char record = 'a'; record <= 'e'; ++record) {
    ASSERT_EQ(fs::io_write_at(slot, 0, bytes(std::string(64, record))), 0u);
    u8 buffer[64] = {};
    u64 count = 0;
    ASSERT_EQ(fs::io_read_uncached(bytes(at("lease")), mem::Slice{buffer, 64}, &count), 0u);
    EXPECT_EQ(count, 64u);
    EXPECT_EQ(buffer[0], record);
    EXPECT_EQ(buffer[63], record);
  }
  EXPECT_EQ(storage_reads(), before) << "the lease was read from the disk";
  fs::io_close(&slot);
}

// The lease is checked by its name every second while this process keeps it open for writing: as long as the name
// still names that file, the check reads it through the open handle (here even with no descriptor left to open the
// file again); whatever stands under the name otherwise is read by the name.
TEST_F(ShareTest, ReadsByNameThroughTheOpenFileWhileTheNameStillNamesIt) {
  u64 slot = 0;
  ASSERT_EQ(fs::io_open_shared(bytes(at("lease")), &slot), 0u);
  fs::FileMark mark;
  fs::io_mark(slot, &mark);
  ASSERT_EQ(mark.local, 1) << "the test folder lies on this machine's own file system";
  auto read = [&](u8* buffer, u64* count) {
    return fs::io_read_named(bytes(at("lease")), &mark, slot, mem::Slice{buffer, 64}, count);
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    u32 code;
    u64 count;
    u8 first;
  };
  const Case cases[] = {
      {"written through the handle", [&] { fs::io_write_at(slot, 0, bytes(std::string(64, 'a'))); }, 0, 64, 'a'},
      {"rewritten by another writer", [&] { write_file(at("lease"), std::string(64, 'b')); }, 0, 64, 'b'},
      {"a longer record", [&] { write_file(at("lease"), std::string(100, 'c')); }, 0, 100, 'c'},
      {"another file moved over the name",
       [&] {
         write_file(at("next"), std::string(64, 'd'));
         sfs::rename(at("next"), at("lease"));
       },
       0, 64, 'd'},
      {"a link put under the name",
       [&] {
         write_file(at("elsewhere"), std::string(64, 'e'));
         sfs::remove(at("lease"));
         sfs::create_symlink(at("elsewhere"), at("lease"));
       },
       fs::io_not_plain, 0, 0},
      {"the name removed", [&] { sfs::remove(at("lease")); }, fs::io_not_found, 0, 0},
  };
  for (const Case& c : cases) {
    c.change();
    u8 buffer[80] = {};
    u64 count = 99;
    EXPECT_EQ(read(buffer, &count), c.code) << c.what;
    EXPECT_EQ(count, c.count) << c.what;
    EXPECT_EQ(buffer[0], c.first) << c.what;
    EXPECT_EQ(buffer[64], 0) << c.what << ": nothing past the caller's buffer";
  }
  fs::io_close(&slot);

  // No descriptor left: the open file is still read, without opening it again.
  ASSERT_EQ(fs::io_open_shared(bytes(at("kept")), &slot), 0u);
  ASSERT_EQ(fs::io_write_at(slot, 0, bytes(std::string(64, 'k'))), 0u);
  fs::io_mark(slot, &mark);
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  int highest = 0;
  for (const auto& fd : sfs::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, atoi(fd.path().filename().c_str()));
  }
  rlimit none = was;
  none.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  std::vector<int> fillers;  // the free numbers below the limit, taken
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  u8 buffer[64] = {};
  u64 count = 0;
  u32 through = fs::io_read_named(bytes(at("kept")), &mark, slot, mem::Slice{buffer, 64}, &count);
  u32 by_name = fs::io_read_uncached(bytes(at("kept")), mem::Slice{buffer, 64}, &count);
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &was);
  EXPECT_EQ(through, 0u);
  EXPECT_EQ(buffer[0], 'k');
  EXPECT_NE(by_name, 0u) << "the limit left a descriptor free: this case shows nothing";
  fs::io_close(&slot);
  fs::io_mark(slot, &mark);
  EXPECT_EQ(mark.local, 0) << "a closed slot marks nothing";
}

TEST_F(ShareTest, FoldersReplaceAndDelete) {
  EXPECT_EQ(fs::io_make_directory(bytes(at("members"))), 0u);
  EXPECT_EQ(fs::io_make_directory(bytes(at("members"))), 0u);
  write_file(at("file"), "x");
  EXPECT_EQ(fs::io_make_directory(bytes(at("file"))), 1u);
  ASSERT_EQ(symlink(at("members").c_str(), at("planted").c_str()), 0);
  EXPECT_EQ(fs::io_make_directory(bytes(at("planted"))), 1u);  // a link is not the folder it points to
  EXPECT_EQ(fs::io_make_directory(bytes(at("no/such"))), 2u);

  write_file(at("registry.tmp"), "new");
  write_file(at("registry"), "old");
  EXPECT_EQ(fs::io_replace(bytes(at("registry.tmp")), bytes(at("registry"))), 0u);
  EXPECT_EQ(read_file(at("registry")), "new");
  EXPECT_EQ(fs::io_replace(bytes(at("registry.tmp")), bytes(at("registry"))), 2u);
  EXPECT_EQ(fs::io_replace(bytes(at("registry")), bytes("C:\\x")), 2u);

  EXPECT_EQ(fs::io_delete(bytes(at("registry"))), 0u);
  EXPECT_EQ(fs::io_delete(bytes(at("registry"))), 2u);
  write_file(at("members/m"), "m");
  EXPECT_EQ(fs::io_remove_directory(bytes(at("members"))), 5u);
  EXPECT_EQ(fs::io_delete(bytes(at("members/m"))), 0u);
  EXPECT_EQ(fs::io_remove_directory(bytes(at("members"))), 0u);
}

TEST_F(ShareTest, ListingPagesInByteOrder) {
  std::string folder = at("claims");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::vector<std::string> usable;
  for (int i = 0; i < 68; ++i) usable.push_back("f" + std::to_string(100 + i));
  usable.push_back("Dir");                  // upper case sorts before lower case
  usable.push_back("link");                 // a link to a folder is not a folder
  usable.push_back(std::string(32, 'z'));  // the longest usable name
  std::vector<std::string> shuffled = usable;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const std::string& name : shuffled) {
    if (name == "Dir") {
      ASSERT_EQ(mkdir((folder + "/Dir").c_str(), 0755), 0);
    } else if (name == "link") {
      ASSERT_EQ(symlink(dir.path.c_str(), (folder + "/link").c_str()), 0);
    } else {
      write_file(folder + "/" + name, "");
    }
  }
  for (const std::string& bad : {std::string(33, 'y'), std::string("caf\xc3\xa9"), std::string("..\\..\\x"),
                                 std::string("co:lon"), std::string("tab\tname")}) {
    write_file(folder + "/" + bad, "");
  }
  std::sort(usable.begin(), usable.end());

  fs::Listing page;
  ASSERT_EQ(fs::list_directory(bytes(folder), 0, &page), 0u);
  EXPECT_EQ(page.count, 64u);
  EXPECT_EQ(page.seen, 71u);
  EXPECT_EQ(page.unusable, 5u);
  EXPECT_EQ(page.full, 7u);
  EXPECT_TRUE(fs::listing_more(&page));
  for (u32 i = 0; i < page.count; ++i) EXPECT_EQ(kept_name(page, i), usable[i]) << i;
  EXPECT_EQ(page.directories, 1u);  // "Dir" only
  EXPECT_EQ(page.names[1][4], 0);  // zero-padded

  ASSERT_EQ(fs::list_directory(bytes(folder + "/"), 64, &page), 0u);
  EXPECT_EQ(page.start, 64u);
  EXPECT_EQ(page.count, 7u);
  EXPECT_EQ(page.full, 0u);
  EXPECT_FALSE(fs::listing_more(&page));
  for (u32 i = 0; i < page.count; ++i) EXPECT_EQ(kept_name(page, i), usable[64 + i]) << i;
  EXPECT_EQ(page.directories, 0u);

  write_file(at("plain"), "");
  EXPECT_EQ(fs::list_directory(bytes(at("missing")), 0, &page), 2u);
  EXPECT_EQ(fs::list_directory(bytes(at("plain")), 0, &page), 2u);
  EXPECT_EQ(page.count, 0u);

  // The folder's path with "/*" behind it must stay below 260 bytes.
  std::string deep = at(std::string(200, 'd'));
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  std::string fits = deep + "/" + std::string(257 - deep.size() - 1, 'e');
  std::string too_deep = fits + "f";
  ASSERT_EQ(mkdir(fits.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(too_deep.c_str(), 0755), 0);
  EXPECT_EQ(fs::list_directory(bytes(fits), 0, &page), 0u);
  EXPECT_EQ(fs::list_directory(bytes(too_deep), 0, &page), 2u);
}

TEST(Listing, AddCountsAndSaturates) {
  fs::Listing l{};
  fs::listing_add(&l, mem::lit("."), true);
  fs::listing_add(&l, mem::lit(".."), true);
  fs::listing_add(&l, mem::lit("..."), true);
  EXPECT_EQ(l.seen, 1u);
  EXPECT_EQ(l.count, 1u);
  EXPECT_EQ(l.directories, 1u);
  EXPECT_TRUE(fs::is_dot_name(mem::lit("..")));
  EXPECT_FALSE(fs::is_dot_name(mem::lit("...")));
  l.unusable = 0xFFFFFFFF;
  l.seen = 0xFFFFFFFF;
  l.full = 0xFFFFFFFF;
  l.count = 64;
  fs::listing_add(&l, mem::lit("a*b"), false);
  fs::listing_add(&l, mem::lit("ab"), false);
  EXPECT_EQ(l.unusable, 0xFFFFFFFFu);
  EXPECT_EQ(l.seen, 0xFFFFFFFFu);
  EXPECT_EQ(l.full, 0xFFFFFFFFu);
}

TEST_F(ShareTest, DeleteTreeNeverLeavesTheTree) {
  // Outside the tree: a folder and a file that links inside the tree point to.
  std::string outside = at("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  write_file(outside + "/keep.txt", "keep");
  write_file(at("keep-file"), "keep");

  std::string tree = at("term");
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/a/b").c_str(), 0755), 0);
  write_file(tree + "/a/b/deep", "d");
  for (int i = 0; i < 150; ++i) write_file(tree + "/r" + std::to_string(i), "r");  // three pages
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/to-outside").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/b/also-outside").c_str()), 0);
  ASSERT_EQ(symlink(at("keep-file").c_str(), (tree + "/a/file-link").c_str()), 0);

  EXPECT_EQ(fs::delete_tree(bytes(tree)), 0u);
  EXPECT_FALSE(sfs::exists(sfs::symlink_status(tree)));
  EXPECT_EQ(read_file(outside + "/keep.txt"), "keep");
  EXPECT_EQ(read_file(at("keep-file")), "keep");
  EXPECT_EQ(fs::delete_tree(bytes(tree)), 0u);  // a missing folder is deleted already

  // A link in the folder's own place goes, its target stays.
  ASSERT_EQ(symlink(outside.c_str(), at("linked-term").c_str()), 0);
  EXPECT_EQ(fs::delete_tree(bytes(at("linked-term"))), 0u);
  EXPECT_FALSE(sfs::exists(sfs::symlink_status(at("linked-term"))));
  EXPECT_EQ(read_file(outside + "/keep.txt"), "keep");
}

TEST_F(ShareTest, DeleteTreeLeavesWhatItMayNotName) {
  // A name that is not usable is never deleted, so its folder stays.
  std::string tree = at("mixed");
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  write_file(tree + "/ok", "");
  write_file(tree + "/caf\xc3\xa9", "");
  EXPECT_EQ(fs::delete_tree(bytes(tree)), 5u);
  EXPECT_FALSE(sfs::exists(tree + "/ok"));
  EXPECT_TRUE(sfs::exists(tree + "/caf\xc3\xa9"));

  // An entry whose path would pass 259 bytes fails and stays; the folder above it is not tried again.
  std::string deep = at(std::string(200, 'd'));
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  std::string top = deep + "/" + std::string(250 - deep.size() - 1, 'e');
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((top + "/twenty-characters-xx").c_str(), 0755), 0);
  write_file(top + "/short", "");
  EXPECT_EQ(fs::delete_tree(bytes(top)), 5u);
  EXPECT_TRUE(sfs::exists(top + "/twenty-characters-xx"));

  EXPECT_EQ(fs::delete_tree(bytes("C:\\share\\term")), 2u);
}

TEST(DriveType, FromTheFileSystemHoldingThePath) {
  EXPECT_EQ(fs::drive_type(mem::lit("C:\\x")), 1u);
  EXPECT_EQ(fs::drive_type(mem::lit("\\\\server\\share")), 1u);
  store::Path unc{};
  EXPECT_FALSE(fs::unc_of_drive(mem::lit("Z:\\share"), &unc));
  EXPECT_EQ(unc.length, 0u);
  struct statfs about;
  if (statfs("/dev/shm", &about) != 0 || about.f_type != 0x01021994) GTEST_SKIP() << "no tmpfs at /dev/shm";
  EXPECT_EQ(fs::drive_type(mem::lit("/dev/shm")), 6u);
  EXPECT_EQ(fs::drive_type(mem::lit("/dev/shm/not/there")), 6u);  // the nearest existing folder answers
}

}  // namespace
