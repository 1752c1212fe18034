#include "sampling/child.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

// The test block: the common words, and of its own a few words and two slot regions.
//   16 the worker's process id; 20 answer request (parent), 24 answers published (worker);
//   28 hammer frames published, 32 hammer done (worker); 64 deaf: ignore the stop word; 68 hammer rounds (parent).
// Answers: four slots of 64-byte records at 128. Hammer: one slot of a 4,000-byte record at 4,096.
constexpr u32 test_magic = 0x53544256;  // "VBTS"
enum : u32 { pid_at = 16, request_at = 20, answered_at = 24, hammered_at = 28, hammer_done_at = 32, deaf_at = 64,
             rounds_at = 68 };
constexpr feed::Region answers{128, 128, 4, 64};
constexpr feed::Region hammer{4096, 4032, 1, 4000};
constexpr u64 block_size = 8104;  // the hammer slot's end; the section rounds it up to 8,192
constexpr char worker_option[] = "--child-test-worker";

// Frame n's record: every byte is n's low byte, so a torn copy shows as mixed bytes.
std::vector<u8> record_of(u32 n, u32 size) { return std::vector<u8>(size, static_cast<u8>(n)); }

bool uniform(const std::vector<u8>& r, u32 n) {
  for (u8 b : r) {
    if (b != static_cast<u8>(n)) return false;
  }
  return true;
}

// ---- This test program doubles as the worker child: started with "--child-test-worker <name>" it runs the loop
// of every worker child and ends before any test runs. Exit codes: 0 stopped, 2 parent ended, 3 the name or the
// section is refused, 4 a foreign block, 5 the parent cannot be opened.
[[noreturn]] void worker(mem::Bytes name) {
  child::Section s;
  if (!child::open_section(name, &s)) _exit(3);
  if (feed::get32(s.view, s.view_size, feed::magic_at) != test_magic) {
    child::unmap(&s);
    _exit(4);
  }
  u64 parent = child::open_parent(feed::get32(s.view, s.view_size, feed::parent_pid_at));
  if (parent == 0) {
    child::unmap(&s);
    _exit(5);
  }
  feed::put32(s.view, s.view_size, pid_at, os::process_id());
  u32 rounds = feed::get32(s.view, s.view_size, rounds_at);
  for (u32 n = 1; n <= rounds; ++n) {
    std::vector<u8> r = record_of(n, hammer.record_size);
    feed::frame_put(s.view, s.view_size, hammer, hammered_at, n, mem::Bytes(r.data(), r.size()));
  }
  feed::put32(s.view, s.view_size, hammer_done_at, 1);
  u32 answered = 0;
  for (;;) {
    u32 end = child::round(&s, parent);
    if (end == 2 || (end == 1 && feed::get32(s.view, s.view_size, deaf_at) == 0)) {
      child::close_handle(parent);
      child::unmap(&s);
      _exit(end == 1 ? 0 : 2);
    }
    if (answered < feed::get32(s.view, s.view_size, request_at)) {
      ++answered;
      std::vector<u8> r = record_of(answered, answers.record_size);
      feed::frame_put(s.view, s.view_size, answers, answered_at, answered, mem::Bytes(r.data(), r.size()));
    }
    os::sleep_ms(2);
  }
}

struct WorkerMode {
  WorkerMode() {
    std::vector<std::string> args = testutil::own_arguments();
    if (args.size() == 3 && args[1] == worker_option) worker(bytes(args[2]));
  }
} worker_mode;

// Each test gets its own runtime folder, which must hold no section when the test ends.
struct ChildTest : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};

  std::vector<std::string> sections() {
    std::vector<std::string> found;
    DIR* d = opendir((dir.path + "/vimbrel").c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
      if (std::string(e->d_name).find("Vimbrel-feed-") != std::string::npos) found.push_back(e->d_name);
    }
    if (d) closedir(d);
    return found;
  }

  // A section with the test block's header, owned by parent_pid.
  void make(child::Section* s, u32 parent_pid, u32 rounds = 0, u32 deaf = 0) {
    ASSERT_TRUE(child::create_section(s, block_size));
    feed::put32(s->view, s->view_size, feed::magic_at, test_magic);
    feed::put32(s->view, s->view_size, feed::parent_pid_at, parent_pid);
    feed::put32(s->view, s->view_size, rounds_at, rounds);
    feed::put32(s->view, s->view_size, deaf_at, deaf);
  }

  static u32 word(child::Section* s, u64 offset) { return feed::get32(s->view, s->view_size, offset); }

  // Waits up to 30 s for the word to reach at least the value.
  static bool reaches(child::Section* s, u64 offset, u32 value) {
    long long deadline = forked::now_ms() + 30000;
    while (word(s, offset) < value) {
      if (forked::now_ms() > deadline) return false;
      usleep(1000);
    }
    return true;
  }

  static u32 exit_code_within(child::Section* s) {
    u32 code = 999;
    if (proc::wait_end(&s->process, 30000)) proc::exit_code(&s->process, &code);
    return code;
  }

  void TearDown() override { EXPECT_TRUE(sections().empty()); }
};

TEST(FeedWords, NamesSlotsAndBounds) {
  u8 name[64];
  ASSERT_EQ(feed::name_make(os::random_bytes, name), 51u);
  mem::Bytes made(name, 51);
  EXPECT_TRUE(feed::name_ok(made));
  u8 other[64];
  feed::name_make(os::random_bytes, other);
  EXPECT_FALSE(mem::eq(made, mem::Bytes(other, 51)));
  EXPECT_EQ(feed::name_make([](mem::Slice) -> u32 { return 0; }, other), 0u);

  const std::string hex32 = "0123456789abcdef0123456789abcdef";
  struct {
    std::string name;
    bool ok;
  } names[] = {
      {"Local\\Vimbrel-feed-" + hex32, true},
      {"Local\\Vimbrel-feed-0123456789ABCDEF0123456789abcdef", false},
      {"Local\\Vimbrel-feed-" + hex32.substr(1), false},
      {"Local\\Vimbrel-feed-" + hex32 + "0", false},
      {"Local\\Vimbrel-seed-" + hex32, false},
      {"Local\\Vimbrel-feed-0123456789abcdef0123456789abcde/", false},
      {"", false},
  };
  for (auto& c : names) EXPECT_EQ(feed::name_ok(bytes(c.name)), c.ok) << c.name;

  EXPECT_EQ(feed::slot_stride(4256), 4288u);
  EXPECT_EQ(feed::slot_stride(11080), 11136u);
  EXPECT_EQ(feed::slot_stride(143600), 143616u);
  EXPECT_EQ(feed::slot_stride(56), 64u);
  EXPECT_EQ(feed::slot_stride(57), 128u);
  feed::Region r{128, 4288, 4, 4256};
  EXPECT_EQ(feed::slot_offset(r, 1), 128u);
  EXPECT_EQ(feed::slot_offset(r, 4), 128u + 3 * 4288);
  EXPECT_EQ(feed::slot_offset(r, 5), 128u);

  struct {
    u32 last, newest, slots, first;
  } unread[] = {{0, 0, 4, 1}, {0, 1, 4, 1}, {0, 10, 4, 8}, {9, 10, 4, 10}, {10, 10, 4, 11}, {0, 10, 1, 10},
                {0, 2, 4, 1}, {0xFFFFFFFE, 0xFFFFFFFF, 4, 0xFFFFFFFF}};
  for (auto& c : unread) EXPECT_EQ(feed::first_unread(c.last, c.newest, c.slots), c.first) << c.last << " " << c.newest;

  u8 view[64] = {};
  EXPECT_TRUE(feed::put32(view, 64, 60, 0x04030201));
  EXPECT_EQ(view[60], 1);
  EXPECT_EQ(view[63], 4);
  EXPECT_EQ(feed::get32(view, 64, 60), 0x04030201u);
  EXPECT_FALSE(feed::put32(view, 64, 61, 7));
  EXPECT_EQ(feed::get32(view, 64, 61), 0u);
  EXPECT_EQ(feed::get32(view, 64, ~u64{0} - 1), 0u);
  EXPECT_TRUE(feed::put64(view, 64, 56, 0x0807060504030201));
  EXPECT_EQ(feed::get64(view, 64, 56), 0x0807060504030201u);
  EXPECT_EQ(feed::get64(view, 64, 57), 0u);
  EXPECT_EQ(feed::get32(nullptr, 64, 0), 0u);
}

TEST(FeedWords, SequenceLockedSlots) {
  std::vector<u8> block(1024, 0);
  u8* view = block.data();
  feed::Region r{128, 128, 2, 64};
  std::vector<u8> in = record_of(3, 64), out(64, 0);
  mem::Slice into{out.data(), out.size()};

  // Frame 0, a record of another size and a slot past the view are neither written nor read.
  EXPECT_FALSE(feed::slot_write(view, 1024, r, 0, mem::Bytes(in.data(), 64)));
  EXPECT_FALSE(feed::slot_write(view, 1024, r, 1, mem::Bytes(in.data(), 63)));
  EXPECT_FALSE(feed::slot_write(view, 250, r, 2, mem::Bytes(in.data(), 64)));
  EXPECT_EQ(std::vector<u8>(block.begin(), block.end()), std::vector<u8>(1024, 0));
  EXPECT_FALSE(feed::slot_read(view, 1024, r, 1, mem::Slice{out.data(), 63}));

  ASSERT_TRUE(feed::frame_put(view, 1024, r, 24, 3, mem::Bytes(in.data(), 64)));
  EXPECT_EQ(feed::get32(view, 1024, 24), 3u);
  EXPECT_EQ(feed::get64(view, 1024, feed::slot_offset(r, 3)), 6u);
  EXPECT_TRUE(feed::slot_read(view, 1024, r, 3, into));
  EXPECT_EQ(out, in);
  // The same slot holds frame 1 and 3: asking for frame 1 gets nothing.
  EXPECT_FALSE(feed::slot_read(view, 1024, r, 1, into));
  // A writer caught in the middle (odd sequence word) or gone on to a later frame makes the copy bad.
  for (u64 sequence : {u64{5}, u64{10}, u64{0}}) {
    feed::put64(view, 1024, feed::slot_offset(r, 3), sequence);
    EXPECT_FALSE(feed::slot_read(view, 1024, r, 3, into)) << sequence;
  }
}

TEST_F(ChildTest, SectionIsPrivateAndNamedOnce) {
  child::Section s;
  ASSERT_TRUE(child::create_section(&s, 5000));
  EXPECT_TRUE(feed::name_ok(mem::Bytes(s.name, s.name_length)));
  EXPECT_EQ(s.view_size, 8192u);
  EXPECT_EQ(word(&s, 8188), 0u);
  // A second creation under a name that a live section holds fails rather than sharing it.
  section::Section again;
  EXPECT_EQ(section::create(mem::Bytes(s.name, s.name_length), 4096, &again), section::in_use);

  child::Section seen;
  ASSERT_TRUE(child::open_section(mem::Bytes(s.name, s.name_length), &seen));
  EXPECT_EQ(seen.view_size, 8192u);
  feed::put32(s.view, s.view_size, 100, 77);
  EXPECT_EQ(word(&seen, 100), 77u);
  child::unmap(&seen);

  // A name that is not a section's name is refused before anything is opened.
  EXPECT_FALSE(child::open_section(mem::lit("Local\\Vimbrel-Instance"), &seen));
  EXPECT_EQ(seen.view, nullptr);
  child::unmap(&s);
  EXPECT_EQ(s.view, nullptr);
  // Once the owner closed it the name leads nowhere.
  EXPECT_FALSE(child::open_section(mem::Bytes(s.name, s.name_length), &seen));
}

TEST_F(ChildTest, WorkerBeatsAnswersAndStops) {
  child::Section s;
  make(&s, os::process_id());
  ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
  EXPECT_TRUE(child::is_running(&s));
  ASSERT_TRUE(reaches(&s, feed::heartbeat_at, 3));
  EXPECT_EQ(word(&s, pid_at), s.process.process_id);

  // Requests are answered in order through the slots; the parent reads only what it has not read yet.
  u32 last = 0;
  std::vector<u8> out(answers.record_size);
  for (u32 want = 1; want <= 6; ++want) {
    feed::put32(s.view, s.view_size, request_at, want);
    ASSERT_TRUE(reaches(&s, answered_at, want));
    u32 newest = word(&s, answered_at);
    for (u32 n = feed::first_unread(last, newest, answers.slots); n <= newest; ++n) {
      ASSERT_TRUE(feed::slot_read(s.view, s.view_size, answers, n, mem::Slice{out.data(), out.size()}));
      EXPECT_TRUE(uniform(out, n));
      last = n;
    }
  }
  EXPECT_EQ(last, 6u);

  // The stop word ends it with code 0.
  feed::put32(s.view, s.view_size, feed::stop_at, 1);
  EXPECT_EQ(exit_code_within(&s), 0u);
  proc::close(&s.process);
  child::unmap(&s);
}

TEST_F(ChildTest, FinishAndStopEndWorkers) {
  // finish: a worker that heeds the stop word ends by it.
  child::Section s;
  make(&s, os::process_id());
  ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
  ASSERT_TRUE(reaches(&s, feed::heartbeat_at, 1));
  child::finish(&s, 30000);
  EXPECT_EQ(s.process.process, 0u);
  EXPECT_EQ(s.view, nullptr);

  // finish: one that ignores it is ended after the grace; stop ends one at once. Either way it is gone and reaped.
  for (bool at_once : {false, true}) {
    make(&s, os::process_id(), 0, 1);
    ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
    ASSERT_TRUE(reaches(&s, feed::heartbeat_at, 1));
    pid_t pid = static_cast<pid_t>(s.process.process_id);
    if (at_once) {
      child::stop(&s);
    } else {
      child::finish(&s, 50);
    }
    EXPECT_EQ(s.process.process_id, 0u);
    EXPECT_FALSE(child::is_running(&s));
    EXPECT_EQ(::kill(pid, 0), -1) << at_once;
  }
}

TEST_F(ChildTest, WorkerEndsWithItsParent) {
  // The parent named in the block ends: the worker sees it and ends by itself.
  forked::Process named([](int, int from_parent) {
    forked::await(from_parent);
    return 0;
  });
  child::Section s;
  make(&s, static_cast<u32>(named.pid));
  ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
  ASSERT_TRUE(reaches(&s, feed::heartbeat_at, 1));
  named.kill_and_wait();
  EXPECT_EQ(exit_code_within(&s), 2u);
  proc::close(&s.process);
  child::unmap(&s);

  // A parent that is gone before the worker looks for it.
  make(&s, 0x7FFFFFF0);
  ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
  EXPECT_EQ(exit_code_within(&s), 5u);
  proc::close(&s.process);
  child::unmap(&s);

  // The parent process is killed: its worker dies with it.
  forked::Process middle([](int to_parent, int) {
    child::Section m;
    if (!child::create_section(&m, block_size)) return 1;
    feed::put32(m.view, m.view_size, feed::magic_at, test_magic);
    feed::put32(m.view, m.view_size, feed::parent_pid_at, os::process_id());
    if (!child::start(&m, mem::lit(worker_option))) return 2;
    forked::tell(to_parent, std::to_string(m.process.process_id));
    for (;;) pause();
  });
  std::string line = middle.line();
  ASSERT_FALSE(line.empty());
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, std::stoi(line), 0));
  ASSERT_GE(pidfd, 0);
  middle.kill_and_wait();
  EXPECT_TRUE(forked::ends_within(pidfd, 30));
  ::close(pidfd);
  // The killed parent could not remove its section; that is the one left.
  std::vector<std::string> left = sections();
  EXPECT_EQ(left.size(), 1u);
  for (auto& f : left) unlink((dir.path + "/vimbrel/" + f).c_str());
}

TEST_F(ChildTest, WorkerRefusesOtherNames) {
  child::Section s;
  make(&s, os::process_id());
  std::string name(reinterpret_cast<char*>(s.name), s.name_length);
  std::string upper = name;
  for (u64 i = feed::name_prefix_length; i < upper.size(); ++i) upper[i] = static_cast<char>(toupper(upper[i]));
  u8 path[1024];
  std::string exe(reinterpret_cast<char*>(path), proc::own_path(path));
  for (const std::string& bad : {upper, name.substr(0, name.size() - 1), name + "0"}) {
    proc::Child c;
    ASSERT_EQ(proc::spawn(bytes(exe), bytes(std::string(worker_option) + " " + bad), proc::spawn_job, &c, nullptr),
              1u);
    u32 code = 0;
    ASSERT_TRUE(proc::wait_end(&c, 30000));
    proc::exit_code(&c, &code);
    EXPECT_EQ(code, 3u) << bad;
    proc::close(&c);
  }
  EXPECT_EQ(word(&s, feed::heartbeat_at), 0u);
  child::unmap(&s);
}

// Two processes on one slot: the worker rewrites it as fast as it can for a fixed number of frames while this
// process reads it. Torn copies are detected and dropped; every copy that is reported good is whole.
TEST_F(ChildTest, TornCopiesAreDropped) {
  child::Section s;
  const u32 rounds = 200000;
  make(&s, os::process_id(), rounds);
  ASSERT_TRUE(child::start(&s, mem::lit(worker_option)));
  std::vector<u8> out(hammer.record_size);
  u64 good = 0, bad = 0, mixed_good = 0;
  long long deadline = forked::now_ms() + 60000;
  while (word(&s, hammer_done_at) == 0 && forked::now_ms() < deadline) {
    u32 n = word(&s, hammered_at);
    if (n == 0) continue;
    if (feed::slot_read(s.view, s.view_size, hammer, n, mem::Slice{out.data(), out.size()})) {
      ++good;
      mixed_good += !uniform(out, n);
    } else {
      ++bad;
    }
  }
  EXPECT_EQ(word(&s, hammer_done_at), 1u);
  EXPECT_EQ(mixed_good, 0u) << good << " good, " << bad << " dropped";
  EXPECT_TRUE(feed::slot_read(s.view, s.view_size, hammer, rounds, mem::Slice{out.data(), out.size()}));
  EXPECT_TRUE(uniform(out, rounds));
  child::finish(&s, 30000);
}

}  // namespace
