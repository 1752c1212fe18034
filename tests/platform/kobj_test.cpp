#include "platform/kobj.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "history/store.h"
#include "platform/os.h"
#include "platform/sock.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

// Every test gets a runtime folder of its own.
struct Runtime {
  testutil::TempDir dir;
  harness::EnvVar xdg{"XDG_RUNTIME_DIR", dir.path};
  std::string folder() const { return dir.path + "/vimbrel"; }
  bool has(const std::string& file) const { return std::filesystem::exists(folder() + "/" + file); }
  size_t entries() const {
    if (!std::filesystem::exists(folder())) return 0;
    auto all = std::filesystem::directory_iterator(folder());
    return static_cast<size_t>(std::distance(begin(all), end(all)));
  }
};

std::string quit_name(u32 pid) {
  u8 name[96];
  u32 n = kobj::quit_event_name(pid, name);
  return std::string(reinterpret_cast<char*>(name), n);
}

TEST(KernelObjects, Names) {
  EXPECT_EQ(quit_name(0x1A2B), "Local\\Vimbrel-quit-00001a2b");
  EXPECT_EQ(quit_name(0xFFFFFFFF), "Local\\Vimbrel-quit-ffffffff");

  u16 wide[100];
  std::string longest(99, 'n');
  EXPECT_EQ(kobj::wide_name(bytes(longest), wide), 99u);
  EXPECT_EQ(wide[98], 'n');
  EXPECT_EQ(wide[99], 0);
  EXPECT_EQ(kobj::wide_name(bytes(longest + "n"), wide), 0u);
  EXPECT_EQ(kobj::wide_name(bytes("Local\\\xc3\xa9"), wide), 0u);
  EXPECT_EQ(kobj::wide_name(bytes(""), wide), 0u);
}

TEST(KernelObjects, RefusedNamesTouchNothing) {
  Runtime rt;
  const char* refused[] = {
      "Local\\",     "Local\\a/b",   "Local\\..",      "Local\\a..b", "Local\\.",      "Local\\x\\y",
      "Local\\\t",   "Global\\name", "Vimbrel-plain",  "Local\\\xc3\xa9",
  };
  for (const char* name : refused) {
    SCOPED_TRACE(name);
    EXPECT_EQ(kobj::create_event(bytes(name)), 0u);
    EXPECT_EQ(kobj::take_mutex(bytes(name), 0), 0u);
    EXPECT_EQ(kobj::signal_event(bytes(name)), 0u);
    EXPECT_EQ(kobj::mutex_exists(bytes(name)), 0u);
  }
  std::string too_long = "Local\\" + std::string(94, 'n');
  EXPECT_EQ(kobj::create_event(bytes(too_long)), 0u);
  kobj::Handle longest = kobj::create_event(bytes(too_long.substr(0, 99)));
  EXPECT_NE(longest, 0u);
  kobj::close(longest);
  EXPECT_EQ(rt.entries(), 0u);
}

TEST(KernelObjects, RuntimeFolderIsPrivateAndRefusedOtherwise) {
  Runtime rt;
  store::Path path;
  ASSERT_EQ(kobj::object_path(bytes("Local\\Thing"), bytes(".event"), &path), 1u);
  EXPECT_EQ(harness::text(store::path_of(&path)), rt.folder() + "/Thing.event");
  struct stat st{};
  ASSERT_EQ(lstat(rt.folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Group or others may do anything in it: refused, not repaired.
  chmod(rt.folder().c_str(), 0770);
  EXPECT_EQ(kobj::create_event(bytes("Local\\Thing")), 0u);
  EXPECT_EQ(kobj::runtime_folder(&path), 0u);
  chmod(rt.folder().c_str(), 0700);
  EXPECT_EQ(kobj::runtime_folder(&path), 1u);

  // A link that leads to a good folder is not the folder.
  testutil::TempDir elsewhere;
  std::filesystem::remove(rt.folder());
  chmod(elsewhere.path.c_str(), 0700);
  ASSERT_EQ(symlink(elsewhere.path.c_str(), rt.folder().c_str()), 0);
  EXPECT_EQ(kobj::take_mutex(bytes("Local\\Thing"), 0), 0u);
  std::filesystem::remove(rt.folder());

  // A set value that does not fit is refused rather than passed over for another folder.
  {
    harness::EnvVar long_value("XDG_RUNTIME_DIR", "/" + std::string(300, 'x'));
    EXPECT_EQ(kobj::runtime_folder(&path), 0u);
  }

  // Another user's folder (only root can make one to test with).
  if (geteuid() == 0) {
    ASSERT_EQ(mkdir(rt.folder().c_str(), 0700), 0);
    ASSERT_EQ(chown(rt.folder().c_str(), 65534, 65534), 0);
    EXPECT_EQ(kobj::create_event(bytes("Local\\Thing")), 0u);
    EXPECT_EQ(kobj::signal_event(bytes("Local\\Thing")), 0u);
  }
}

TEST(KernelObjects, QuitEventSetByNameFromAnotherProcessStaysSet) {
  Runtime rt;
  forked::Process owner([](int up, int down) {
    kobj::Handle quit = kobj::create_quit_event();
    if (quit == 0) return 1;
    forked::tell(up, std::to_string(getpid()));
    // The owner's loop: one zero wait per turn until it is set (the guard ends a test that never sets it).
    int turns = 0;
    while (!kobj::wait(quit, 0) && turns++ < 3000) os::sleep_ms(10);
    bool stays = kobj::wait(quit, 0) && kobj::wait(quit, 0);
    forked::tell(up, stays ? "set" : "not set");
    forked::await(down);
    kobj::close(quit);
    return 0;
  });
  std::string pid = owner.line();
  ASSERT_FALSE(pid.empty());
  std::string name = quit_name(static_cast<u32>(std::stoul(pid)));
  // A second owner of the same name is refused while the first lives.
  EXPECT_EQ(kobj::create_event(bytes(name)), 0u);
  EXPECT_EQ(kobj::signal_event(bytes(name)), 1u);
  EXPECT_EQ(owner.line(), "set");
  owner.say("x");
  EXPECT_EQ(owner.wait(), 0);
  // The owner removed it: nothing left to set, and setting creates nothing.
  EXPECT_EQ(rt.entries(), 0u);
  EXPECT_EQ(kobj::signal_event(bytes(name)), 0u);
  EXPECT_EQ(rt.entries(), 0u);
}

TEST(KernelObjects, EventOfAKilledOwnerIsGoneAndCanBeMadeAgain) {
  Runtime rt;
  forked::Process owner([](int up, int) {
    if (kobj::create_event(bytes("Local\\Wake")) == 0) return 1;
    forked::tell(up, "ready");
    pause();
    return 0;
  });
  ASSERT_EQ(owner.line(), "ready");
  owner.kill_and_wait();
  ASSERT_TRUE(rt.has("Wake.event"));  // left behind by an owner that could not clean up
  EXPECT_EQ(kobj::signal_event(bytes("Local\\Wake")), 0u);
  kobj::Handle again = kobj::create_event(bytes("Local\\Wake"));
  ASSERT_NE(again, 0u);
  EXPECT_EQ(kobj::signal_event(bytes("Local\\Wake")), 1u);
  EXPECT_EQ(kobj::wait(again, 0), 1u);
  kobj::close(again);
  EXPECT_FALSE(rt.has("Wake.event"));
}

// Making any event sweeps the FIFOs that killed owners left: no process holds them, and they are older than a
// minute (a feed's random name never comes back for its FIFO). A held one, or a young one, stays.
TEST(KernelObjects, FifosOfKilledOwnersAreSweptByTheNextStart) {
  Runtime rt;
  kobj::Handle held = kobj::create_event(bytes("Local\\Vimbrel-held"));
  ASSERT_NE(held, 0u);
  const timespec old_times[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  const struct {
    const char* name;
    bool make, old, kept;
  } cases[] = {
      {"Vimbrel-feed-0a1b2c3d.event", true, true, false},
      {"Vimbrel-quit-00001234.event", true, true, false},
      {"Vimbrel-feed-young.event", true, false, true},
      {"Vimbrel-held.event", false, true, true},
  };
  for (const auto& c : cases) {
    const std::string path = rt.folder() + "/" + c.name;
    if (c.make) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << c.name;
    }
    if (c.old) {
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0) << c.name;
    }
  }
  testutil::write_file(rt.folder() + "/notes.event", "a plain file is no event of ours");
  utimensat(AT_FDCWD, (rt.folder() + "/notes.event").c_str(), old_times, 0);
  kobj::Handle next = kobj::create_quit_event();
  ASSERT_NE(next, 0u);
  for (const auto& c : cases) EXPECT_EQ(rt.has(c.name), c.kept) << c.name;
  EXPECT_TRUE(rt.has("notes.event"));
  EXPECT_EQ(kobj::signal_event(bytes("Local\\Vimbrel-held")), 1u);
  kobj::close(next);
  kobj::close(held);
}

TEST(KernelObjects, AutoResetEventIsConsumedOnceAndPollable) {
  Runtime rt;
  kobj::Handle wake = kobj::create_event(bytes("Local\\Wake"));
  ASSERT_NE(wake, 0u);
  u64 fd = kobj::pollable(wake);
  EXPECT_EQ(kobj::wait(wake, 0), 0u);
  EXPECT_EQ(sock::poll_one(fd, 0, 0), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kobj::wake(bytes("Local\\Wake")), 1u);
  EXPECT_EQ(sock::poll_one(fd, 0, 0), 1u);  // a loop waiting on its sockets wakes for it too
  EXPECT_EQ(kobj::wait(wake, 0), 1u);
  EXPECT_EQ(kobj::wait(wake, 0), 0u);
  EXPECT_EQ(kobj::pollable(0), ~0ull);
  kobj::close(wake);
}

// The owner sets its kept event by handle, as often as it likes (a full pipe is an event already set); the process
// that opened it by name wakes once for all of them. Handles that are no event are not set.
TEST(KernelObjects, EventSetByItsHandleWakesTheOpenerOnce) {
  Runtime rt;
  kobj::Handle owned = kobj::create_event(bytes("Local\\Asked"));
  ASSERT_NE(owned, 0u);
  kobj::Handle opened = kobj::open_event(bytes("Local\\Asked"));
  ASSERT_NE(opened, 0u);
  EXPECT_EQ(kobj::wait(opened, 0), 0u);
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(kobj::set(owned), 1u);
  EXPECT_EQ(kobj::wait(opened, 0), 1u);
  EXPECT_EQ(kobj::wait(opened, 0), 0u);
  EXPECT_EQ(kobj::set(opened), 1u);  // the opener can answer the same way
  EXPECT_EQ(kobj::wait(owned, 1000), 1u);
  kobj::Handle mutex = kobj::take_mutex(bytes("Local\\Asked"), 0);
  ASSERT_NE(mutex, 0u);
  EXPECT_EQ(kobj::set(mutex), 0u);
  EXPECT_EQ(kobj::set(0), 0u);
  kobj::release_mutex(mutex);
  kobj::close(opened);
  kobj::close(owned);
}

TEST(KernelObjects, MutexHeldByAnotherProcessAndReleasedByItsDeath) {
  Runtime rt;
  const std::string name = "Local\\VimbrelUpdate-1";
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 0u);
  forked::Process holder([&](int up, int) {
    if (kobj::take_mutex(bytes(name), 0) == 0) return 1;
    forked::tell(up, "held");
    pause();
    return 0;
  });
  ASSERT_EQ(holder.line(), "held");
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 1u);
  EXPECT_EQ(kobj::take_mutex(bytes(name), 0), 0u);
  EXPECT_EQ(kobj::take_mutex(bytes(name), 30), 0u);
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 1u);  // asking took nothing

  holder.kill_and_wait();
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 0u);
  kobj::Handle mine = kobj::take_mutex(bytes(name), 0);
  ASSERT_NE(mine, 0u);
  // A second take of the same name waits like any other taker's.
  EXPECT_EQ(kobj::take_mutex(bytes(name), 0), 0u);
  kobj::release_mutex(mine);
  EXPECT_EQ(rt.entries(), 0u);
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 0u);
}

TEST(KernelObjects, WaitingTakerGetsTheMutexWhenTheHolderLetsGo) {
  Runtime rt;
  const std::string name = "Local\\Vimbrel-background-1";
  forked::Process holder([&](int up, int down) {
    kobj::Handle held = kobj::take_mutex(bytes(name), 0);
    if (held == 0) return 1;
    forked::tell(up, "held");
    forked::await(down);
    kobj::release_mutex(held);
    pause();
    return 0;
  });
  ASSERT_EQ(holder.line(), "held");
  holder.say("go");
  kobj::Handle mine = kobj::take_mutex(bytes(name), 30000);
  ASSERT_NE(mine, 0u);
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 1u);
  kobj::close(mine);
  EXPECT_EQ(kobj::mutex_exists(bytes(name)), 0u);
}

}  // namespace
