// The lease reader: its rounds on a block in this process (paths, read-now, beacons per round), and the real
// `vimbrel --lease` child reading a share folder's lease and relaying beacons to this test as its parent.
#include "cluster/lease.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "wire/auth.h"
#include "wire/cluster.h"
#include "wire/proto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

constexpr u32 loopback = 0x7F000001;

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

auth::KeyState key_of(u8 seed) {
  u8 k[32];
  for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>(seed + i);
  auth::KeyState ks;
  auth::key_init(&ks, mem::Bytes(k, 32));
  return ks;
}

// A 64-byte record sealed with the key, as a host writes its lease or sends its beacon.
template <typename R>
std::string sealed(const auth::KeyState& key, const R& record, u32 (*encode)(const R*, mem::Slice)) {
  std::string b(64, '\0');
  mem::Slice s{reinterpret_cast<u8*>(b.data()), 64};
  EXPECT_EQ(encode(&record, s), 64u);
  EXPECT_TRUE(auth::seal(&key, s));
  return b;
}

std::string sealed_lease(const auth::KeyState& key, u32 term) {
  proto::Lease r{};
  r.term = term;
  r.counter = 5;
  r.period = 150;
  r.port = 7420;
  r.address = 0x0A000001;
  r.host_id[0] = 9;
  return sealed(key, r, proto::encode_lease);
}

std::string sealed_beacon(const auth::KeyState& key, u32 term) {
  proto::Beacon r{};
  r.term = term;
  r.counter = 2;
  r.port = 7420;
  r.members = 1;
  r.priority = 200;
  r.address = loopback;
  return sealed(key, r, proto::encode_beacon);
}

// A free UDP port on loopback, for the child's beacon socket.
u16 free_udp_port() {
  sock::Socket s;
  if (sock::udp_open(loopback, 0, &s) != sock::done) return 0;
  u16 port = sock::local_port(s);
  sock::udp_close(s);
  return port;
}

struct Record {
  std::string data;
  u32 length = 0, status = 0;
};

Record unpack(const u8 (&r)[lease::record_size]) {
  Record out;
  out.data.assign(reinterpret_cast<const char*>(r), lease::data_size);
  __builtin_memcpy(&out.length, r + 64, 4);
  __builtin_memcpy(&out.status, r + 68, 4);
  return out;
}

// ---- Rounds in this process, on a block of its own (no parent to watch).

struct Rounds : ::testing::Test {
  alignas(64) u8 block[lease::block_size];
  testutil::TempDir dir;
  lease::Child c;
  u32 last = 0;

  void SetUp() override { lease::init_block(block, sizeof block, os::process_id()); }
  void TearDown() override { lease::close(&c); }
  u32 newest() { return feed::get32(block, sizeof block, lease::record_seq_at); }
  std::vector<Record> taken() {
    std::vector<Record> got;
    u8 r[lease::record_size];
    while (lease::take(block, sizeof block, &last, r)) got.push_back(unpack(r));
    return got;
  }
};

TEST_F(Rounds, ReadsOnAPathChangeEachSecondAndWhenAsked) {
  testutil::write_file(dir.path + "/lease", std::string(64, 'L'));
  lease::post_path(block, sizeof block, bytes(dir.path));
  ASSERT_TRUE(lease::open(&c, block, sizeof block, 0));
  EXPECT_EQ(lease::step(&c, 1000), lease::go_on);
  std::vector<Record> got = taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, std::string(64, 'L'));
  EXPECT_EQ(got[0].length, 64u);
  EXPECT_EQ(got[0].status, 0u);
  EXPECT_EQ(feed::get32(block, sizeof block, feed::heartbeat_at), 1u);

  lease::step(&c, 1500);  // within the second, nobody asked
  EXPECT_TRUE(taken().empty());
  lease::ask_read(block, sizeof block);
  lease::step(&c, 1600);
  EXPECT_EQ(taken().size(), 1u);
  lease::step(&c, 2500);
  EXPECT_TRUE(taken().empty());
  lease::step(&c, 2600);  // a second after the asked read
  EXPECT_EQ(taken().size(), 1u);

  // A file too long for a record: its start, and the count read, which tells the parent it is no lease.
  testutil::write_file(dir.path + "/lease", std::string(100, 'M'));
  lease::ask_read(block, sizeof block);
  lease::step(&c, 2700);
  got = taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, std::string(64, 'M'));
  EXPECT_EQ(got[0].length, 100u);

  // The file gone: an empty record with the file layer's "not found".
  std::remove((dir.path + "/lease").c_str());
  lease::ask_read(block, sizeof block);
  lease::step(&c, 2800);
  got = taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, std::string(64, '\0'));
  EXPECT_EQ(got[0].length, 0u);
  EXPECT_EQ(got[0].status, u32{fs::io_not_found});
}

TEST_F(Rounds, APathTooLongIsPostedEmptyAndReadsNothing) {
  lease::post_path(block, sizeof block, bytes(std::string(261, 'p')));
  EXPECT_EQ(feed::get32(block, sizeof block, lease::path_length_at), 0u);
  EXPECT_EQ(feed::get32(block, sizeof block, lease::path_seq_at), 1u);
  ASSERT_TRUE(lease::open(&c, block, sizeof block, 0));
  lease::ask_read(block, sizeof block);
  for (u64 now : {0, 1000, 5000}) EXPECT_EQ(lease::step(&c, now), lease::go_on);
  EXPECT_EQ(newest(), 0u);
  EXPECT_EQ(c.beacons, sock::invalid_socket);  // port 0: no beacon socket
  // A shorter path is taken at once.
  testutil::write_file(dir.path + "/lease", "x");
  lease::post_path(block, sizeof block, bytes(dir.path));
  lease::step(&c, 5100);
  std::vector<Record> got = taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].length, 1u);
}

TEST_F(Rounds, EightBeaconsARoundTheNinthInTheNext) {
  u16 port = free_udp_port();
  ASSERT_NE(port, 0);
  lease::post_beacon(block, sizeof block, loopback, port);
  lease::post_path(block, sizeof block, bytes(dir.path + "/missing"));
  ASSERT_TRUE(lease::open(&c, block, sizeof block, 0));
  lease::step(&c, 0);
  ASSERT_NE(c.beacons, sock::invalid_socket);
  ASSERT_EQ(taken().size(), 1u);  // the (failed) lease read of the new path
  sock::Socket out;
  ASSERT_EQ(sock::udp_open(loopback, 0, &out), sock::done);
  for (u8 i = 0; i < 9; ++i) ASSERT_EQ(sock::udp_send_to(out, loopback, port, bytes(std::string(64, 'a' + i))), 1u);
  sock::udp_close(out);
  // Loopback datagrams are queued by the time the send returns; the ring keeps two, so take after each round.
  lease::step(&c, 100);
  EXPECT_EQ(newest(), 9u);
  std::vector<Record> got = taken();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, std::string(64, 'g'));
  EXPECT_EQ(got[1].data, std::string(64, 'h'));
  EXPECT_EQ(got[1].length, 64u);
  lease::step(&c, 200);
  got = taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, std::string(64, 'i'));
}

TEST(LeaseBlock, RefusedWhenSmallOrForeign) {
  alignas(64) u8 block[lease::block_size];
  lease::Child c;
  lease::init_block(block, sizeof block, 1);
  EXPECT_FALSE(lease::open(&c, block, sizeof block - 1, 0));
  EXPECT_TRUE(lease::open(&c, block, sizeof block, 0));
  block[0] = 'X';
  EXPECT_FALSE(lease::open(&c, block, sizeof block, 0));
}

// ---- The real child.

struct LeaseChild : ::testing::Test {
  testutil::TempDir dir;
  testutil::TempDir runtime_dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", runtime_dir.path};
  auth::KeyState key = key_of(1);
  child::Section s{};
  u32 last = 0;

  void TearDown() override { child::stop(&s); }

  // A block for the share folder, owned by parent_pid, and the child started on it.
  void start(u32 parent_pid, u16 beacon_port = 0) {
    ASSERT_TRUE(child::create_section(&s, lease::block_size));
    lease::init_block(s.view, s.view_size, parent_pid);
    lease::post_beacon(s.view, s.view_size, loopback, beacon_port);
    lease::post_path(s.view, s.view_size, bytes(dir.path));
    spawn(std::string(reinterpret_cast<char*>(s.name), s.name_length), &s.process);
  }

  static void spawn(const std::string& section_name, proc::Child* out) {
    ASSERT_EQ(proc::spawn(bytes(VIMBREL_EXE), bytes("--lease " + section_name), proc::spawn_job, out, nullptr), 1u);
  }

  static u32 exit_code(proc::Child* c) {
    u32 code = 999;
    if (proc::wait_end(c, 30000)) proc::exit_code(c, &code);
    return code;
  }

  // Waits up to 30 s for a record that passes the test; asks for a read now and then.
  template <typename Test>
  bool wait_for(Test test, Record* out) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      u8 r[lease::record_size];
      while (lease::take(s.view, s.view_size, &last, r)) {
        *out = unpack(r);
        if (test(*out)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // The parent's judgement: a record of exactly 64 bytes that opens with the key.
  bool opens(const Record& r, cluster::Heard* heard) {
    return r.length == 64 && cluster::take_beacon(bytes(r.data), &key, heard);
  }
};

TEST_F(LeaseChild, ParentSeesTheLeaseAndItsNextTerm) {
  testutil::write_file(dir.path + "/lease", sealed_lease(key, 3));
  start(os::process_id());
  Record r;
  cluster::Heard heard{};
  ASSERT_TRUE(wait_for([&](const Record& x) { return opens(x, &heard); }, &r));
  EXPECT_EQ(heard.from_lease, 1);
  EXPECT_EQ(heard.term, 3u);
  EXPECT_EQ(heard.address, 0x0A000001u);
  EXPECT_EQ(heard.port, 7420);

  testutil::write_file(dir.path + "/lease", sealed_lease(key, 4));
  lease::ask_read(s.view, s.view_size);
  ASSERT_TRUE(wait_for([&](const Record& x) { return opens(x, &heard) && heard.term == 4; }, &r));
  EXPECT_GT(feed::get32(s.view, s.view_size, feed::heartbeat_at), 0u);
}

TEST_F(LeaseChild, DamagedForeignShortOrMissingLeaseIsNoLease) {
  std::string good = sealed_lease(key, 3);
  std::string tag = good, foreign = good;
  tag[50] ^= 1;
  auth::KeyState other = key_of(9);
  auth::seal(&other, mem::Slice{reinterpret_cast<u8*>(foreign.data()), 64});
  start(os::process_id());
  for (const std::string& bad : {tag, foreign, good.substr(0, 63), std::string()}) {
    if (bad.empty()) {
      std::remove((dir.path + "/lease").c_str());
    } else {
      testutil::write_file(dir.path + "/lease", bad);
    }
    lease::ask_read(s.view, s.view_size);
    Record r;
    ASSERT_TRUE(wait_for([&](const Record& x) { return x.length == bad.size() && x.data.substr(0, bad.size()) == bad; },
                         &r));
    EXPECT_EQ(r.status, bad.empty() ? u32{fs::io_not_found} : 0u);
    cluster::Heard heard{};
    EXPECT_FALSE(opens(r, &heard)) << bad.size();
  }
}

TEST_F(LeaseChild, RelaysABeaconFromLoopback) {
  u16 port = free_udp_port();
  ASSERT_NE(port, 0);
  start(os::process_id(), port);
  std::string beacon = sealed_beacon(key, 6);
  sock::Socket out;
  ASSERT_EQ(sock::udp_open(loopback, 0, &out), sock::done);
  Record r;
  cluster::Heard heard{};
  // The child binds its socket in its first round; until then a datagram is lost, so send until one is seen.
  bool seen = false;
  for (int i = 0; i < 300 && !seen; ++i) {
    sock::udp_send_to(out, loopback, port, bytes(beacon));
    u8 raw[lease::record_size];
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    while (!seen && lease::take(s.view, s.view_size, &last, raw)) {
      r = unpack(raw);
      seen = r.data == beacon;
    }
  }
  sock::udp_close(out);
  ASSERT_TRUE(seen);
  EXPECT_EQ(r.length, 64u);
  EXPECT_EQ(r.status, 0u);
  ASSERT_TRUE(opens(r, &heard));
  EXPECT_EQ(heard.from_lease, 0);
  EXPECT_EQ(heard.term, 6u);
}

TEST_F(LeaseChild, EndsOnTheStopWord) {
  start(os::process_id());
  Record r;
  ASSERT_TRUE(wait_for([](const Record&) { return true; }, &r));  // running: a first read came
  feed::put32(s.view, s.view_size, feed::stop_at, 1);
  EXPECT_EQ(exit_code(&s.process), lease::exit_ended);
}

TEST_F(LeaseChild, EndsWhenItsParentEnds) {
  proc::Child parent{};
  ASSERT_EQ(proc::spawn(bytes("/bin/sleep"), bytes("600"), proc::spawn_job, &parent, nullptr), 1u);
  u32 parent_pid = parent.process_id;
  start(parent_pid);
  Record r;
  ASSERT_TRUE(wait_for([](const Record&) { return true; }, &r));
  proc::kill(&parent);
  EXPECT_TRUE(proc::wait_end(&parent, 30000));
  proc::close(&parent);
  EXPECT_EQ(exit_code(&s.process), lease::exit_ended);

  // A child whose parent had already gone when it started ends as well, rather than wait for a stop word.
  child::stop(&s);
  last = 0;
  start(parent_pid);
  EXPECT_EQ(exit_code(&s.process), lease::exit_ended);
}

TEST_F(LeaseChild, RefusesAMissingOrForeignSection) {
  ASSERT_TRUE(child::create_section(&s, lease::block_size));
  std::string name(reinterpret_cast<char*>(s.name), s.name_length);
  feed::put32(s.view, s.view_size, feed::magic_at, 0x44464256);  // another worker's block
  std::string missing = name;
  missing.back() = missing.back() == '0' ? '1' : '0';
  for (const std::string& n : {name, missing, std::string("nonsense")}) {
    proc::Child c{};
    spawn(n, &c);
    EXPECT_EQ(exit_code(&c), lease::exit_bad_section) << n;
    proc::close(&c);
  }
}

}  // namespace
