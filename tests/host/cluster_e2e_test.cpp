// A whole cluster of real processes on loopback: the built executable as the host on a temporary share folder and
// three --agent processes, each with its own fresh settings folders and the key file, watched through the viewer
// link driver. An agent killed outright shows offline; the host restarted takes the next term with every machine's
// history; an agent with another key is refused and never listed.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "cluster/viewlink.h"
#include "tests/host/net.h"

namespace {

using net::Clock;
using net::Process;

u64 now_ms() {
  return static_cast<u64>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// The viewer link driver in this process, stepped on the real clock.
struct Viewer {
  std::vector<u8> block = std::vector<u8>(1 << 20);
  mem::Arena arena = {block.data(), 0, block.size()};
  viewlink::ViewerConn* v = nullptr;
  std::unique_ptr<viewer::Remote> remote = std::make_unique<viewer::Remote>();

  explicit Viewer(u16 port) {
    auth::KeyState key;
    net::key_state(&key);
    v = viewlink::create(&arena, &key, viewer::receive_room);
    *remote = {};
    viewer::reset_remote(remote.get());
    cluster::PublishSettings s;
    cluster::publish_reset(&s);
    s.target_kind = cluster::target_server;
    s.address = 0x7F000001;
    s.port = port;
    viewlink::set_target(v, &s, now_ms());
  }
  ~Viewer() { viewlink::stop(v); }
  // Steps the link until the condition holds; false when the time ran out first.
  bool until(const std::function<bool()>& done, int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      u32 wait = viewlink::tick(v, now_ms(), 50);
      if (done()) return true;
      if (wait != 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait < 50 ? wait : 50));
    }
    return false;
  }
  // The listed state of a machine; 255 when it is not listed.
  u8 state_of(const u8* id) const {
    u32 row = viewer::find(&v->link, id);
    return row == viewer::none_row ? 255 : v->link.list.summaries[row].state;
  }
};

std::vector<std::string> host_args(const std::string& share, u16 port) {
  return {"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"};
}

TEST(ClusterEndToEnd, RealAgentsFollowTheHostThroughAKillAndARestart) {
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  net::make_home(dir.path + "/host");
  u16 port = net::free_port();
  auto host = std::make_unique<Process>();
  host->start(host_args(share, port), dir.path + "/host");
  std::string term1 = "vimbrel host: listening on port " + std::to_string(port) + ", term 1";
  ASSERT_TRUE(host->wait_output(term1, 30)) << host->out();

  net::Agent agents[3];
  std::vector<std::string> to_host = {"--agent", "--server", "127.0.0.1:" + std::to_string(port)};
  for (u32 i = 0; i < 3; ++i) agents[i].start(dir.path + "/agent" + std::to_string(i), to_host);
  std::string publishing = "vimbrel agent: publishing to 127.0.0.1:" + std::to_string(port) + ", term ";
  for (net::Agent& a : agents) {
    ASSERT_TRUE(a.process.wait_output(publishing + "1\n", 60)) << a.process.out();
    ASSERT_TRUE(a.read_id());
  }
  EXPECT_NE(0, memcmp(agents[0].id, agents[1].id, 16));

  // The viewer lists the three machines online with this machine's real figures and receives a watched one's data.
  Viewer viewer(port);
  ASSERT_NE(viewer.v, nullptr);
  ASSERT_TRUE(viewer.until(
      [&] {
        for (net::Agent& a : agents) {
          // Online: a sample arrived; the memory figure comes with the inventory.
          u32 row = viewer::find(&viewer.v->link, a.id);
          if (row == viewer::none_row || viewer.v->link.list.summaries[row].state != 0 ||
              viewer.v->link.list.summaries[row].memory_total == 0) {
            return false;
          }
        }
        return true;
      },
      60));
  EXPECT_EQ(viewer.v->link.list.count, 3u);
  ASSERT_TRUE(viewer::watch(&viewer.v->link, agents[0].id, viewer.remote.get(), now_ms()));
  ASSERT_TRUE(viewer.until([&] { return viewer.remote->inventories >= 1 && viewer.remote->sample_count >= 2; }, 60));
  EXPECT_EQ(0, memcmp(viewer.remote->inventory.id, agents[0].id, 16));

  // An agent with another key is refused and never listed.
  net::Agent stranger;
  stranger.start(dir.path + "/stranger", to_host, 0x51);
  EXPECT_TRUE(stranger.process.wait_output("vimbrel agent: refused: wrong cluster key", 60)) << stranger.process.out();
  EXPECT_EQ(stranger.process.stop(SIGTERM), 0);

  // One agent is killed outright: after the host's time-out it is listed offline, the others stay online.
  agents[2].process.stop(SIGKILL);
  ASSERT_TRUE(viewer.until([&] { return viewer.state_of(agents[2].id) == hub::state_offline; }, 180));
  EXPECT_EQ(viewer.state_of(agents[0].id), 0);
  EXPECT_EQ(viewer.state_of(agents[1].id), 0);
  EXPECT_EQ(viewer.v->link.list.count, 3u);

  // What the first term holds of every machine, the killed one included.
  u32 before[3];
  for (u32 i = 0; i < 3; ++i) {
    before[i] = net::stored_buckets(port, agents[i].id);
    EXPECT_GT(before[i], 0u) << i;
  }

  // The host restarts on its port: the second term carries the first one's history over, and the agents that are
  // left publish to it again.
  EXPECT_EQ(host->stop(SIGTERM), 0) << host->out();
  EXPECT_TRUE(net::lease_released(share));
  host = std::make_unique<Process>();
  host->start(host_args(share, port), dir.path + "/host");
  ASSERT_TRUE(host->wait_output("vimbrel host: listening on port " + std::to_string(port) + ", term 2", 30))
      << host->out();
  for (u32 i = 0; i < 2; ++i) {
    EXPECT_TRUE(agents[i].process.wait_output(publishing + "2\n", 90)) << agents[i].process.out();
  }
  for (u32 i = 0; i < 3; ++i) {
    u32 after = 0;
    auto end = Clock::now() + std::chrono::seconds(60);
    while ((after = net::stored_buckets(port, agents[i].id)) < before[i] && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_GE(after, before[i]) << i;
  }
  ASSERT_TRUE(viewer.until([&] { return viewer.state_of(agents[0].id) == 0 && viewer.state_of(agents[1].id) == 0; },
                           90));

  for (u32 i = 0; i < 2; ++i) EXPECT_EQ(agents[i].process.stop(SIGTERM), 0) << agents[i].process.out();
  EXPECT_EQ(host->stop(SIGTERM), 0) << host->out();
}

}  // namespace
