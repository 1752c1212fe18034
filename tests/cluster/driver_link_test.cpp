// The drivers against a small host on real loopback sockets. The links' clock is the test's: each round moves it
// 100 ms while the sockets get a few real milliseconds to carry the bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cluster/publisher.h"
#include "cluster/viewlink.h"
#include "cluster/lease.h"
#include "platform/fs.h"
#include "platform/proc.h"
#include "tests/cluster/link_host.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using link_host::Bytes;
using link_host::SocketHost;

const u8 kId[16] = {5, 4, 3, 2, 1};

cluster::PublishSettings server(u16 port) {
  cluster::PublishSettings s;
  cluster::publish_reset(&s);
  s.publish = 1;
  s.target_kind = cluster::target_server;
  s.address = 0x7F000001;
  s.port = port;
  return s;
}

struct PublisherRig {
  std::unique_ptr<publisher::Publisher> p = std::make_unique<publisher::Publisher>();
  SocketHost host;
  u64 now = 5000000;

  PublisherRig() {
    auth::KeyState key;
    link_host::key_of(&key, "cluster secret");
    publisher::init(p.get(), &key, kId, 16, proto::role_publisher);
  }
  ~PublisherRig() { publisher::stop(p.get()); }

  // Rounds of tick and serve until done holds; false when it never did.
  bool run(const std::function<bool()>& done, int rounds = 200) {
    for (int i = 0; i < rounds; ++i) {
      publisher::tick(p.get(), now, 5);
      host.serve();
      if (done()) return true;
      now += 100;
    }
    return false;
  }
};

TEST(PublisherDriver, PublishesSamplesAndProcessRowsToTheHost) {
  PublisherRig rig;
  ASSERT_NE(rig.host.port, 0);
  cluster::PublishSettings s = server(rig.host.port);
  publisher::set_target(rig.p.get(), &s, rig.now);
  // A connect that finishes within the step's wait sends the hello in that same step.
  publisher::tick(rig.p.get(), rig.now, 1000);
  EXPECT_EQ(rig.p->link.state, publish::hello_sent);
  EXPECT_EQ(publish::out_data(&rig.p->link).len, 0u);
  ASSERT_TRUE(rig.run([&] { return publish::ready(&rig.p->link); }));
  EXPECT_EQ(rig.host.host.hello.role, proto::role_publisher);
  EXPECT_EQ(0, memcmp(rig.host.host.hello.id, kId, 16));
  EXPECT_EQ(rig.p->link.status, cluster::status_connected);

  auto samples = std::make_unique<ring::Ring>();
  ring::init(samples.get(), 600);
  ring::Row row = {};
  row.load = 1234;
  ring::push(samples.get(), &row);
  std::vector<u8> temps(proto::temps_block_size, 0);
  temps[0] = 1;
  proto::Inventory inv = {};
  memcpy(inv.id, kId, 16);
  // A machine record that took no sample yet describes no machine: nothing of it goes, however long the link is open.
  publisher::send_data(rig.p.get(), samples.get(), 0, temps.data(), &inv, rig.now);
  inv.hw32[0] = 1024;
  publisher::send_data(rig.p.get(), samples.get(), 1, temps.data(), &inv, rig.now);
  publisher::send_data(rig.p.get(), samples.get(), 1, temps.data(), &inv, rig.now);  // nothing new
  proto::ProcRecord procs = {};
  procs.count = 1;
  procs.rows[0].pid = 77;
  EXPECT_TRUE(publish::procs(&rig.p->link, &procs, rig.now));
  ASSERT_TRUE(rig.run([&] { return rig.host.host.frames.size() >= 4; }));
  EXPECT_FALSE(rig.host.host.bad);
  EXPECT_EQ(rig.host.host.kinds(), (std::vector<u32>{6, 7, 29, 8}));
  ring::Row got;
  const Bytes& sample = rig.host.host.frames[1];
  ASSERT_EQ(proto::decode_sample(mem::Bytes(sample.data(), sample.size()), reinterpret_cast<u8*>(&got)), 0u);
  EXPECT_EQ(got.load, 1234);

  // A quiet link pings after ten seconds.
  rig.now += 10000;
  ASSERT_TRUE(rig.run([&] { return rig.host.host.frames.size() >= 5; }, 20));
  EXPECT_EQ(rig.host.host.kinds().back(), 15u);
}

TEST(PublisherDriver, FailingHostsCloseTheLinkWithTheirStatus) {
  struct Case {
    const char* name;
    SocketHost::Mode mode;
    u8 status;
  };
  const Case cases[] = {
      {"wrong cluster key", SocketHost::refuse_key, cluster::status_refused},
      {"closes mid-frame", SocketHost::close_mid_frame, cluster::status_closed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublisherRig rig;
    rig.host.mode = c.mode;
    cluster::PublishSettings s = server(rig.host.port);
    publisher::set_target(rig.p.get(), &s, rig.now);
    ASSERT_TRUE(rig.run([&] { return rig.p->link.failures > 0; }));
    EXPECT_EQ(rig.p->link.status, c.status);
    EXPECT_EQ(rig.p->socket, sock::invalid_socket);
    EXPECT_EQ(rig.p->link.state, publish::waiting);
    if (c.mode == SocketHost::refuse_key) {
      EXPECT_EQ(rig.p->link.refuse_reason, proto::reason_key);
      mem::Bytes words = cluster::refuse_reason_text(rig.p->link.refuse_reason);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(words.ptr), words.len), "wrong cluster key");
    }
  }
}

TEST(PublisherDriver, ASilentHostTimesOutAndTheLinkRetriesWithBackOff) {
  PublisherRig rig;
  rig.host.mode = SocketHost::silent;
  cluster::PublishSettings s = server(rig.host.port);
  publisher::set_target(rig.p.get(), &s, rig.now);
  ASSERT_TRUE(rig.run([&] { return rig.p->link.state == publish::hello_sent; }));
  u64 asked = rig.now;
  ASSERT_TRUE(rig.run([&] { return rig.p->link.failures > 0; }));
  EXPECT_EQ(rig.p->link.status, cluster::status_no_answer);
  EXPECT_GE(rig.now - asked, 10000u);
  EXPECT_LT(rig.now - asked, 10200u);
  // The next dial waits out the back-off, then the driver dials again; the second wait is longer.
  u64 failed_at = rig.now;
  u64 retry = rig.p->link.next_try;
  EXPECT_GE(retry - failed_at, 750u);
  EXPECT_LE(retry - failed_at, 1250u);
  EXPECT_GT(publisher::tick(rig.p.get(), failed_at, 60000), 0u) << "it may sleep until the retry";
  ASSERT_TRUE(rig.run([&] { return rig.p->link.dials == 2; }));
  EXPECT_GE(rig.now, retry);
  ASSERT_TRUE(rig.run([&] { return rig.p->link.failures == 2; }));
  EXPECT_EQ(rig.p->link.backoff, 2000u);
  EXPECT_EQ(rig.host.accepted, 2u);
}

TEST(PublisherDriver, ReconnectsAfterATamperedFrame) {
  PublisherRig rig;
  cluster::PublishSettings s = server(rig.host.port);
  publisher::set_target(rig.p.get(), &s, rig.now);
  ASSERT_TRUE(rig.run([&] { return publish::ready(&rig.p->link); }));
  Bytes ping = rig.host.host.seal(link_host::Host::frame(proto::encode_ping));
  ping[ping.size() - 1] ^= 1;
  rig.host.send(ping);
  ASSERT_TRUE(rig.run([&] { return rig.p->link.failures > 0; }));
  EXPECT_EQ(rig.p->link.status, cluster::status_host_proof);
  ASSERT_TRUE(rig.run([&] { return publish::ready(&rig.p->link); }));
  EXPECT_EQ(rig.host.accepted, 2u);
  EXPECT_EQ(rig.p->link.opens, 2u);
}

TEST(PublisherDriver, NobodyListeningCannotConnect) {
  PublisherRig rig;
  u16 port = rig.host.port;
  sock::close(rig.host.listener);
  rig.host.listener = sock::invalid_socket;
  cluster::PublishSettings s = server(port);
  publisher::set_target(rig.p.get(), &s, rig.now);
  ASSERT_TRUE(rig.run([&] { return rig.p->link.failures > 0; }));
  EXPECT_EQ(rig.p->link.status, cluster::status_cannot_connect);
}

TEST(PublisherDriver, AShareTargetDialsTheHostItsLeaseNames) {
  PublisherRig rig;
  testutil::TempDir dir;
  auth::KeyState key;
  link_host::key_of(&key, "cluster secret");
  proto::Lease lease = {};
  lease.term = 5;
  lease.counter = 1;
  lease.period = 50;
  lease.port = rig.host.port;
  lease.address = 0x7F000001;
  u8 record[64];
  ASSERT_NE(proto::encode_lease(&lease, mem::Slice{record, 64}), 0u);
  ASSERT_TRUE(auth::seal(&key, mem::Slice{record, 64}));
  testutil::write_file(dir.path + "/lease", std::string(reinterpret_cast<char*>(record), 64));

  cluster::PublishSettings s;
  cluster::publish_reset(&s);
  s.publish = 1;
  ASSERT_TRUE(cluster::set_target(&s, mem::Bytes(reinterpret_cast<const u8*>(dir.path.data()), dir.path.size())));
  s.beacon_port = 0;  // no beacons in this test
  publisher::set_target(rig.p.get(), &s, rig.now);
  EXPECT_EQ(rig.p->link.status, cluster::status_no_lease);
  rig.host.host.term = 5;
  ASSERT_TRUE(rig.run([&] { return publish::ready(&rig.p->link); }));
  EXPECT_EQ(rig.p->leases_opened, 1u);
  EXPECT_EQ(rig.p->link.term, 5u);
  // Read once a second, not every step.
  u32 seen = rig.p->leases_seen;
  for (int i = 0; i < 5; ++i) publisher::tick(rig.p.get(), rig.now + 10 * i, 0);
  EXPECT_LE(rig.p->leases_seen, seen + 1);
}

TEST(PublisherDriver, TakesAtMostEightBeaconsAStep) {
  PublisherRig rig;
  sock::Socket probe;
  ASSERT_EQ(sock::udp_open(0x7F000001, 0, &probe), sock::done);
  u16 port = sock::local_port(probe);
  sock::udp_close(probe);
  ASSERT_NE(port, 0);

  testutil::TempDir dir;  // a share without a lease file
  cluster::PublishSettings s;
  cluster::publish_reset(&s);
  s.publish = 1;
  ASSERT_TRUE(cluster::set_target(&s, mem::Bytes(reinterpret_cast<const u8*>(dir.path.data()), dir.path.size())));
  s.beacon_port = port;
  publisher::set_target(rig.p.get(), &s, rig.now);
  ASSERT_NE(rig.p->beacon_socket, sock::invalid_socket);

  auth::KeyState key;
  link_host::key_of(&key, "cluster secret");
  sock::Socket out;
  ASSERT_EQ(sock::udp_open(0x7F000001, 0, &out), sock::done);
  for (u32 i = 1; i <= 10; ++i) {
    proto::Beacon b = {};
    b.term = 3;
    b.counter = i;
    b.port = rig.host.port;
    b.address = 0x7F000001;
    u8 record[64];
    ASSERT_NE(proto::encode_beacon(&b, mem::Slice{record, 64}), 0u);
    ASSERT_TRUE(auth::seal(&key, mem::Slice{record, 64}));
    ASSERT_EQ(sock::udp_send_to(out, 0x7F000001, port, mem::Bytes(record, 64)), 1u);
  }
  // A datagram under another key is counted and ignored.
  u8 forged[64] = {};
  ASSERT_EQ(sock::udp_send_to(out, 0x7F000001, port, mem::Bytes(forged, 64)), 1u);
  sock::udp_close(out);

  publisher::tick(rig.p.get(), rig.now, 0);
  EXPECT_EQ(rig.p->beacons_read, 8u);
  EXPECT_EQ(rig.p->leases_opened, 8u);
  EXPECT_EQ(rig.p->link.lease_counter, 8u);
  EXPECT_EQ(rig.p->link.target_port, rig.host.port);
  publisher::tick(rig.p.get(), rig.now + 1, 0);
  EXPECT_EQ(rig.p->beacons_read, 11u);
  EXPECT_EQ(rig.p->leases_opened, 10u);
  EXPECT_EQ(rig.p->link.lease_counter, 10u);
  rig.host.host.term = 3;
  ASSERT_TRUE(rig.run([&] { return publish::ready(&rig.p->link); }));
}

TEST(ViewerDriver, ReceivesTheMachineListAndAHistoryAnswer) {
  SocketHost host;
  std::vector<u8> block(1 << 20);
  mem::Arena arena = {block.data(), 0, block.size()};
  auth::KeyState key;
  link_host::key_of(&key, "cluster secret");
  viewlink::ViewerConn* v = viewlink::create(&arena, &key, viewer::receive_room);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(v->link.in) % 64, 0u);
  mem::Arena tiny = {block.data(), 0, 100};
  EXPECT_EQ(viewlink::create(&tiny, &key, viewer::receive_room), nullptr);

  cluster::PublishSettings s = server(host.port);
  s.publish = 0;  // the publishing switch does not matter to a viewer
  u64 now = 9000000;
  viewlink::set_target(v, &s, now);
  auto run = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i, now += 100) {
      viewlink::tick(v, now, 5);
      host.serve();
      if (done()) return true;
    }
    return false;
  };
  ASSERT_TRUE(run([&] { return viewer::ready(&v->link); }));
  EXPECT_EQ(host.host.hello.role, proto::role_viewer);

  auto list = std::make_unique<proto::MachineList>();
  *list = {};
  list->count = 1;
  memcpy(list->ids[0], kId, 16);
  memcpy(list->names[0], "alpha", 5);
  Bytes lf(4096);
  lf.resize(proto::encode_list(list.get(), mem::Slice{lf.data(), lf.size()}));
  host.send(host.host.seal(lf));
  ASSERT_TRUE(run([&] { return v->link.lists == 1; }));
  EXPECT_EQ(viewer::find(&v->link, kId), 0u);

  // A stored-history request goes out and its answer folds into the table.
  const u32 now_s = 100000;
  std::vector<u8> tb(hist::table_bytes(2, 1) + 64);
  mem::Arena ta = {tb.data(), 0, tb.size()};
  hist::Table table;
  ASSERT_TRUE(hist::bind(&table, &ta, 2, 1, 255, kId, now_s));
  ASSERT_TRUE(viewer::ask_rows(&v->link, &table, now));
  ASSERT_TRUE(run([&] { return !host.host.frames.empty(); }));
  proto::HistoryAsk ask = {};
  const Bytes& af = host.host.frames.back();
  ASSERT_EQ(proto::decode_history(mem::Bytes(af.data(), af.size()), &ask), 0u);
  EXPECT_EQ(ask.first, table.ask_start);
  store::Bucket b = {};
  b.slot = table.ask_start;
  b.min[1] = 100;
  b.mean[1] = 200;
  b.max[1] = 300;
  u8 raw[56];
  store::encode_bucket(&b, mem::Slice{raw, 56}, 0);
  proto::BucketAnswer answer = {table.tier, 0, {}, mem::Bytes(raw, 56)};
  memcpy(answer.id, kId, 16);
  Bytes bf(256);
  bf.resize(proto::encode_buckets(&answer, 0, mem::Slice{bf.data(), bf.size()}));
  host.send(host.host.seal(bf));
  ASSERT_TRUE(run([&] { return table.folded == 1; }));
  u32 lo = 0, mean = 0, hi = 0;
  bool found = false;
  for (u32 c = 0; c < table.columns && !found; ++c) found = hist::row_values(&table, c, 0, &lo, &mean, &hi);
  ASSERT_TRUE(found);
  EXPECT_EQ(mean, 200u);
  EXPECT_EQ(table.asking, 0);

  // The host goes away: the viewer sees the close and waits to dial again.
  host.drop();
  ASSERT_TRUE(run([&] { return v->link.failures == 1; }));
  EXPECT_EQ(v->link.status, cluster::status_closed);
  viewlink::stop(v);
  EXPECT_EQ(v->link.state, publish::stopped);
}

// The sealed lease file of a share whose host listens on the port.
void write_lease(const std::string& folder, u16 port, u32 term) {
  auth::KeyState key;
  link_host::key_of(&key, "cluster secret");
  proto::Lease lease = {};
  lease.term = term;
  lease.counter = 1;
  lease.period = 50;
  lease.port = port;
  lease.address = 0x7F000001;
  u8 record[64];
  ASSERT_NE(proto::encode_lease(&lease, mem::Slice{record, 64}), 0u);
  ASSERT_TRUE(auth::seal(&key, mem::Slice{record, 64}));
  testutil::write_file(folder + "/lease", std::string(reinterpret_cast<char*>(record), 64));
}

cluster::PublishSettings share_of(const std::string& folder) {
  cluster::PublishSettings s;
  cluster::publish_reset(&s);
  EXPECT_TRUE(cluster::set_target(&s, mem::Bytes(reinterpret_cast<const u8*>(folder.data()), folder.size())));
  s.beacon_port = 0;  // no beacons in these tests
  return s;
}

bool no_child(child::Section*, mem::Bytes, u32, u16) { return false; }

// The lease child as a share viewer starts it, but of the built program (this process is the test program).
bool built_child(child::Section* s, mem::Bytes share, u32 address, u16 port) {
  if (!child::create_section(s, lease::block_size)) return false;
  lease::init_block(s->view, s->view_size, os::process_id());
  lease::post_beacon(s->view, s->view_size, address, port);
  lease::post_path(s->view, s->view_size, share);
  std::string words = "--lease " + std::string(reinterpret_cast<char*>(s->name), s->name_length);
  mem::Bytes program(reinterpret_cast<const u8*>(VIMBREL_EXE), sizeof VIMBREL_EXE - 1);
  if (proc::spawn(program, mem::Bytes(reinterpret_cast<const u8*>(words.data()), words.size()), proc::spawn_job,
                  &s->process, nullptr) == 1)
    return true;
  child::unmap(s);
  return false;
}

struct ShareViewer {
  testutil::TempDir runtime_dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", runtime_dir.path};
  std::vector<u8> block = std::vector<u8>(1 << 17);
  mem::Arena arena = {block.data(), 0, block.size()};
  viewlink::ViewerConn* v = nullptr;
  u64 now = 7000000;

  ShareViewer() {
    auth::KeyState key;
    link_host::key_of(&key, "cluster secret");
    v = viewlink::create(&arena, &key, 4096);
  }
  ~ShareViewer() {
    if (v != nullptr) viewlink::stop(v);
  }
  // Steps on the real clock (the child reads the lease in real time) until done holds, at most 30 s.
  bool run(SocketHost* host, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      viewlink::tick(v, now, 5);
      if (host != nullptr) host->serve();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      now += 100;
    }
    return false;
  }
};

TEST(ViewerDriver, AShareTargetWithoutTheLeaseChildNeverDials) {
  ShareViewer rig;
  ASSERT_NE(rig.v, nullptr);
  rig.v->start_lease = no_child;
  testutil::TempDir dir;
  cluster::PublishSettings s = share_of(dir.path);
  viewlink::set_target(rig.v, &s, 1000);
  for (u64 t = 1000; t < 60000; t += 1000) viewlink::tick(rig.v, t, 0);
  EXPECT_EQ(rig.v->link.dials, 0u);
  EXPECT_EQ(rig.v->link.status, cluster::status_no_lease);
  EXPECT_EQ(rig.v->child_failed, 1);
}

// A share target: the lease child reads the share's lease, the viewer dials the host it names, and when the lease
// names a new host the link follows it.
TEST(ViewerDriver, AShareTargetFollowsTheHostItsLeaseNames) {
  ShareViewer rig;
  ASSERT_NE(rig.v, nullptr);
  rig.v->start_lease = built_child;
  testutil::TempDir dir;
  SocketHost first, second;
  first.host.term = 3;
  second.host.term = 4;
  write_lease(dir.path, first.port, 3);
  cluster::PublishSettings s = share_of(dir.path);
  viewlink::set_target(rig.v, &s, rig.now);
  ASSERT_EQ(rig.v->child_failed, 0);
  ASSERT_TRUE(rig.run(&first, [&] { return viewer::ready(&rig.v->link); }));
  EXPECT_EQ(rig.v->link.term, 3u);
  EXPECT_GE(rig.v->leases_opened, 1u);

  write_lease(dir.path, second.port, 4);
  ASSERT_TRUE(rig.run(&second, [&] { return viewer::ready(&rig.v->link) && rig.v->link.term == 4; }));
  EXPECT_EQ(rig.v->link.target_port, second.port);

  viewlink::stop(rig.v);
  EXPECT_EQ(rig.v->child_running, 0);
}

}  // namespace
