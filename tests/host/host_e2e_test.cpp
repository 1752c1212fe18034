// The built executable as a fixed host on loopback with a temporary share folder: three publishers and a viewer,
// a refused key and a forged frame, a publisher gone offline, an orderly stop that releases the lease, and a second
// term that carries the first one's history over.
#include <gtest/gtest.h>

#include "tests/host/net.h"

namespace {

using net::Bytes;
using net::Member;
using net::Process;

const u8 ids[3][16] = {{0xA0, 1}, {0xB0, 2}, {0xC0, 3}};

net::Bytes rig_ping() {
  net::Bytes out(16);
  out.resize(proto::encode_ping(mem::Slice{out.data(), out.size()}));
  return out;
}

std::vector<std::string> host_args(const std::string& share, u16 port) {
  return {"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"};
}

TEST(HostEndToEnd, ServesMembersStopsInOrderAndCarriesHistoryIntoTheNextTerm) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home", share = dir.path + "/share";
  net::make_home(home);
  u16 port = net::free_port();
  Process host;
  host.start(host_args(share, port), home);
  ASSERT_TRUE(host.wait_output("vimbrel host: listening on port " + std::to_string(port) +
                                   ", term 1, share self-test not a share\n",
                               15))
      << host.out();

  Member pubs[3];
  for (u32 i = 0; i < 3; ++i) {
    ASSERT_TRUE(pubs[i].join(port, proto::role_publisher, 0, ids[i])) << i;
    std::string name = "machine-" + std::to_string(i);
    ASSERT_TRUE(pubs[i].send(net::inventory_frame(ids[i], name.c_str())));
    ASSERT_TRUE(pubs[i].send(net::sample_frame(static_cast<u16>(1000 * (i + 1)), 1)));
  }
  Member viewer;
  ASSERT_TRUE(viewer.join(port, proto::role_viewer, proto::hello_peers, nullptr));
  ASSERT_TRUE(viewer.send(net::id_frame(proto::kind_watch, ids[0])));
  EXPECT_FALSE(viewer.next_of(proto::kind_inventory, 3000).empty());
  EXPECT_FALSE(viewer.next_of(proto::kind_sample, 3000).empty());  // what the host held when the watch began
  Bytes forwarded = net::sample_frame(4321, 2);
  ASSERT_TRUE(pubs[0].send(forwarded));
  EXPECT_EQ(viewer.next_of(proto::kind_sample, 3000), forwarded);
  Bytes list = viewer.next_of(proto::kind_list, 3000);
  auto machines = std::make_unique<proto::MachineList>();
  ASSERT_EQ(proto::decode_list(mem::Bytes(list.data(), list.size()), machines.get()), proto::ok);
  EXPECT_EQ(machines->count, 3u);

  // A wrong key is refused with its reason; a forged frame closes the link without an answer.
  Member stranger(0x51);
  EXPECT_FALSE(stranger.join(port, proto::role_viewer, 0, nullptr));
  EXPECT_EQ(stranger.refused, proto::reason_key);
  Member forger;
  ASSERT_TRUE(forger.join(port, proto::role_publisher, 0, (const u8[16]){0xD0, 4}));
  Bytes f = net::sample_frame(1, 1);
  u32 n = static_cast<u32>(f.size());
  f.resize(n + 16);
  f.resize(peer::seal(&forger.p, mem::Slice{f.data(), f.size()}, n));
  f[20] ^= 0x40;
  ASSERT_TRUE(forger.write_all(f));
  EXPECT_TRUE(forger.next(5000).empty());
  EXPECT_TRUE(forger.eof);

  // The third publisher goes away; the others keep sampling. A minute later the list shows it offline.
  pubs[2].drop();
  auto until = net::Clock::now() + std::chrono::seconds(63);
  u32 seconds = 3;
  u8 state = 0;
  while (net::Clock::now() < until) {
    for (u32 i = 0; i < 2; ++i) ASSERT_TRUE(pubs[i].send(net::sample_frame(2000, seconds)));
    // A member that sends nothing for a minute is closed; the viewer says it is there.
    ASSERT_TRUE(viewer.send(net::Bytes(rig_ping())));
    ++seconds;
    Bytes l = viewer.next_of(proto::kind_list, 3000);
    ASSERT_FALSE(l.empty());
    ASSERT_EQ(proto::decode_list(mem::Bytes(l.data(), l.size()), machines.get()), proto::ok);
    for (u32 i = 0; i < machines->count; ++i) {
      if (machines->ids[i][0] == 0xC0) state = machines->summaries[i].state;
    }
    EXPECT_EQ(machines->summaries[0].state, 0);
    if (state == hub::state_offline) break;
  }
  EXPECT_EQ(state, hub::state_offline);
  u32 before = net::stored_buckets(port, ids[0]);
  EXPECT_GT(before, 0u);

  // An orderly stop: exit 0 and a released lease.
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.out();
  EXPECT_TRUE(net::lease_released(share));

  // The second term takes the released share at once and carries the first term's rings over.
  Process again;
  again.start(host_args(share, port), home);
  ASSERT_TRUE(again.wait_output(", term 2, share self-test not a share\n", 15)) << again.out();
  u32 after = 0;
  for (u32 tries = 0; tries < 50 && after < before; ++tries) {
    after = net::stored_buckets(port, ids[0]);
    if (after < before) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_GE(after, before);
  EXPECT_EQ(again.stop(SIGINT), 0) << again.out();
}

TEST(HostEndToEnd, RefuseIfLiveEndsWithFiveWhileAnotherHostRenews) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home", share = dir.path + "/share";
  net::make_home(home);
  u16 port = net::free_port();
  Process first;
  first.start(host_args(share, port), home);
  ASSERT_TRUE(first.wait_output("term 1", 15)) << first.out();
  Process second;
  std::vector<std::string> args = host_args(share, net::free_port());
  args.push_back("--refuse-if-live");
  second.start(args, home);
  ASSERT_TRUE(second.ended(20000));
  EXPECT_EQ(second.code, 5);
  EXPECT_EQ(second.out(), "vimbrel host: cannot serve: another host is live on the share (--refuse-if-live)\n");
  // Without the option a second host waits and says so once.
  Process waiter;
  waiter.start(host_args(share, net::free_port()), home);
  EXPECT_TRUE(waiter.wait_output("vimbrel host: waiting: a host of term 1 is live\n", 15)) << waiter.out();
  EXPECT_EQ(waiter.stop(), 0);
  EXPECT_EQ(first.stop(), 0);
}

TEST(HostEndToEnd, StartFailuresSayWhy) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home";
  std::filesystem::create_directories(home + "/run");
  testutil::RunResult r = testutil::run_vimbrel("--host " + dir.path + "/share", home);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "vimbrel host: no cluster key file\n");
  net::make_home(home);
  testutil::write_file(home + "/config/Vimbrel/cluster.key", "vimbrel-key 1 00\n");
  r = testutil::run_vimbrel("--host " + dir.path + "/share", home);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "vimbrel host: the cluster key file is refused: length\n");
  net::make_home(home);
  r = testutil::run_vimbrel("--host ''", home);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.out, "vimbrel host: no share or folder\n");
  // A port someone else listens on.
  Process first;
  u16 port = net::free_port();
  first.start(host_args(dir.path + "/share", port), home);
  ASSERT_TRUE(first.wait_output("term 1", 15));
  r = testutil::run_vimbrel("--host " + dir.path + "/other --port " + std::to_string(port) + " --listen 127.0.0.1", home);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "vimbrel host: cannot listen on the port\n");
  EXPECT_EQ(first.stop(), 0);
}

// What stands in the share and is not this cluster's, or a share without room: the host names it once and serves
// wherever it can; a share where no claim fits ends the host with the cause.
TEST(HostEndToEnd, PlantedFilesAndAFullShareAreSaidInTheOutput) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home", share = dir.path + "/share";
  net::make_home(home);
  // Files named like the last terms that no key sealed, and a link where a publisher's folder is to be made.
  std::filesystem::create_directories(share + "/claims");
  testutil::write_file(share + "/claims/ffffffff", "");
  testutil::write_file(share + "/claims/fffffff0", "not a claim");
  std::filesystem::create_directories(share + "/terms/00000001/machines");
  std::filesystem::create_directories(dir.path + "/victim");
  std::string id_name = "a0010000000000000000000000000000";
  std::filesystem::create_symlink(dir.path + "/victim", share + "/terms/00000001/machines/" + id_name);
  Process host;
  u16 port = net::free_port();
  host.start(host_args(share, port), home);
  ASSERT_TRUE(host.wait_output("vimbrel host: listening on port " + std::to_string(port) + ", term 1,", 20))
      << host.out();
  Member publisher;
  ASSERT_TRUE(publisher.join(port, proto::role_publisher, 0, ids[0]));
  publisher.send(net::inventory_frame(ids[0], "planted"));
  publisher.send(net::sample_frame(100, 1));
  const std::string link_line = "vimbrel host: on the share: " + share + "/terms/00000001/machines/" + id_name +
                                " is in the way: a link or something else than a plain file or folder, left alone\n";
  EXPECT_TRUE(host.wait_output(link_line, 10)) << host.out();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the host tries again each second; it says so once
  std::string out = host.out();
  for (const char* name : {"ffffffff", "fffffff0"}) {
    EXPECT_EQ(net::count_of(out, "vimbrel host: on the share: " + share + "/claims/" + name +
                                     " is in the way: not a claim of this cluster, left alone\n"),
              1u)
        << out;
  }
  EXPECT_EQ(net::count_of(out, link_line), 1u) << out;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path + "/victim"));
  EXPECT_EQ(host.stop(), 0);

  std::string full = dir.path + "/full";
  std::filesystem::create_directories(full);
  std::vector<std::string> wrapper = net::full_share_wrapper(full);
  if (wrapper.empty()) GTEST_SKIP() << "no mount namespace for a full share here";
  Process on_full;
  on_full.start(host_args(full, net::free_port()), home, wrapper);
  ASSERT_TRUE(on_full.ended(20000));
  EXPECT_EQ(on_full.code, 5);
  EXPECT_EQ(on_full.out(),
            "vimbrel host: cannot claim a term: no space on the share\n"
            "vimbrel host: cannot serve: no term could be claimed on the share or folder\n");
}

}  // namespace
