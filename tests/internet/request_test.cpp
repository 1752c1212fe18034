// The probe's requests against a loopback speed-test service: the client's latency probe and speed test, how its
// failures become statuses, the 256-byte block and the child serving it, and the window's probe driving the real
// `--internet` child. Waits poll with generous limits and end as soon as the awaited state holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "internet/request.h"
#include "platform/os.h"
#include "sampling/child.h"
#include "sampling/feed.h"
#include "tests/internet/service.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

// The window starts its own executable as the request child; this test program is that executable, so started with
// "--internet <name>" it runs the child's own mode and ends before any test runs.
struct ChildMode {
  ChildMode() {
    std::vector<std::string> args = testutil::own_arguments();
    if (args.size() != 3 || args[1] != "--internet") return;
    _exit(static_cast<int>(internet::child_main(bytes(args[2]))));
  }
} child_mode;

internet::Endpoint local(int port) {
  internet::Endpoint e;
  internet::set_endpoint(&e, mem::lit("127.0.0.1"), u32(port), 0);
  return e;
}

u32 word(const u8* view, u32 at) { return feed::get32(view, internet::block_size, at); }
void put(u8* view, u32 at, u32 value) { feed::put32(view, internet::block_size, at, value); }

struct Client {
  service::Service svc;
  internet::Endpoint e;
  internet::HttpState st{};
  explicit Client(const std::string& behaviour = "{}") : svc(behaviour), e(local(svc.port)) {}
  ~Client() { internet::http_close(&st); }
};

// ---- The client.

TEST(ProbeClient, LatencyWarmsAFreshConnectionThenReusesIt) {
  Client c;
  ASSERT_NE(c.svc.port, 0);
  u32 micros = 0;
  EXPECT_EQ(internet::probe_latency(&c.st, &c.e, true, &micros), internet::probe_ok);
  EXPECT_EQ(c.st.error, 200u);
  EXPECT_GT(micros, 0u);
  EXPECT_TRUE(internet::http_is_open(&c.st));
  EXPECT_EQ(internet::probe_latency(&c.st, &c.e, false, &micros), internet::probe_ok);
  auto log = c.svc.log();
  ASSERT_EQ(log.size(), 3u);  // the untimed warm-up, the timed request, then one on the kept connection
  for (const auto& r : log) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/__down?bytes=0");
    EXPECT_EQ(r.agent, "Vimbrel");
    EXPECT_EQ(r.client_port, log[0].client_port);
  }
}

TEST(ProbeClient, SpeedTestMovesTheWholeTest) {
  Client c;
  internet::Transfer down = internet::download(&c.st, &c.e);
  EXPECT_EQ(down.status, internet::probe_ok);
  EXPECT_EQ(down.bytes, 25000000u);
  EXPECT_TRUE(internet::transfer_ok(down) || down.micros <= 99999);
  internet::Transfer up = internet::upload(&c.st, &c.e);
  EXPECT_EQ(up.status, internet::probe_ok);
  EXPECT_EQ(up.bytes, 10000000u);
  EXPECT_EQ(c.st.error, 200u);
  auto log = c.svc.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].path, "/__down?bytes=25000000");
  EXPECT_EQ(log[1].method, "POST");
  EXPECT_EQ(log[1].path, "/__up");
  EXPECT_EQ(log[1].length, 10000000);
}

// Each failure a user can meet gives its status and error word, and no call waits for more than its time-outs.
TEST(ProbeClient, FailuresBecomeStatuses) {
  struct Case {
    const char* behaviour;
    bool download;
    u32 status, error, bytes;
  } cases[] = {
      {R"({"status": 204})", false, internet::probe_refused, 204, 0},
      {R"({"status": 404})", true, internet::probe_refused, 404, 25000000},
      {R"({"stall_ms": 9000})", false, internet::probe_timeout, http::error_timeout, 0},
      // A body that ends when the service closes the connection counts what came.
      {R"({"close_after": 1000})", true, internet::probe_ok, 200, 1000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.behaviour);
    Client c(k.behaviour);
    if (k.download) {
      internet::Transfer t = internet::download(&c.st, &c.e);
      EXPECT_EQ(t.status, k.status);
      EXPECT_EQ(t.bytes, k.bytes);
    } else {
      u32 micros = 0;
      EXPECT_EQ(internet::probe_latency(&c.st, &c.e, true, &micros), k.status);
    }
    EXPECT_EQ(c.st.error, k.error);
  }
  service::ClosedPort closed;
  internet::Endpoint e = local(closed.port);
  internet::HttpState st{};
  u32 micros = 7;
  EXPECT_EQ(internet::probe_latency(&st, &e, true, &micros), internet::probe_no_connection);
  EXPECT_EQ(st.error, http::error_connect);
  EXPECT_EQ(micros, 0u);
  internet::Transfer t = internet::upload(&st, &e);
  EXPECT_EQ(t.status, internet::probe_no_connection);
  EXPECT_EQ(t.bytes, 0u);
  internet::http_close(&st);
}

// On a slow line each direction stops after ten seconds and its rate comes from what moved; the upload awaits no
// answer then.
TEST(ProbeClient, SlowServiceIsCutAfterTenSecondsEachWay) {
  Client c(R"({"rate": 100000})");
  internet::Transfer down = internet::download(&c.st, &c.e);
  EXPECT_EQ(down.status, internet::probe_ok);
  EXPECT_GT(down.bytes, 0u);
  EXPECT_LT(down.bytes, 25000000u) << down.bytes;
  EXPECT_GE(down.micros, 10000000u);
  internet::Transfer up = internet::upload(&c.st, &c.e);
  EXPECT_EQ(up.status, internet::probe_ok);
  EXPECT_GT(up.bytes, 0u);
  EXPECT_LT(up.bytes, 10000000u) << up.bytes;
  EXPECT_GE(up.micros, 10000000u);
}

TEST(ProbeClient, ErrorKindsAndClock) {
  EXPECT_EQ(internet::error_kind(http::error_timeout), internet::probe_timeout);
  EXPECT_EQ(internet::error_kind(http::error_name), internet::probe_no_connection);
  EXPECT_EQ(internet::error_kind(http::error_connect), internet::probe_no_connection);
  EXPECT_EQ(internet::error_kind(http::error_no_library), internet::probe_failed);
  EXPECT_EQ(internet::error_kind(56), internet::probe_failed);
  EXPECT_EQ(internet::clock_us(25, 10000000), 2u);
  EXPECT_EQ(internet::clock_us(7, 0), 7000000u);  // a frequency of 0 counts as 1
  // Whole seconds first, so a counter of many days at 10 MHz does not overflow.
  EXPECT_EQ(internet::clock_us(0xFFFFFFFFFFFFull, 10000000), 0xFFFFFFFFFFFFull / 10);
}

std::string line_of(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

TEST(ProbeCheck, RateAndResultLines) {
  struct Rate {
    u32 kbps;
    const char* text;
  } rates[] = {
      {0, "0 Kbps"},         {999, "999 Kbps"},          {1000, "1.0 Mbps"},
      {12345, "12.3 Mbps"},  {999999, "1000.0 Mbps"},    {1000000, "1.0 Gbps"},
      {4294967295u, "4295.0 Gbps"},  // the rate's 64-bit bits per second
  };
  for (const Rate& r : rates) {
    words::Text t{};
    internet::put_kbps(&t, r.kbps);
    EXPECT_EQ(line_of(t), r.text);
  }
  words::Text probe{};
  internet::probe_line(&probe, internet::probe_ok, 12399);
  EXPECT_EQ(line_of(probe), "probe Reachable, latency 12.3 ms");
  words::Text slow{};
  internet::probe_line(&slow, internet::probe_timeout, 4000000000u);
  EXPECT_EQ(line_of(slow), "probe No answer within 2 s, latency 6553.5 ms");
  words::Text down{};
  internet::print_transfer(&down, mem::lit("download"), internet::Transfer{0, 25000000, 2000999});
  EXPECT_EQ(line_of(down), "download Reachable, 25000000 bytes in 2000 ms: 100.0 Mbps");
  words::Text none{};
  internet::print_transfer(&none, mem::lit("upload"), internet::Transfer{2, 0, 0});
  EXPECT_EQ(line_of(none), "upload No connection to Cloudflare, 0 bytes in 0 ms: 0 Kbps");
}

// ---- The block and the child.

TEST(ProbeBlock, RequestBlockRoundTripAndItsChecks) {
  u8 view[internet::block_size];
  memset(view, 0xAB, sizeof view);
  internet::Endpoint e;
  internet::set_endpoint(&e, mem::lit("speed.example"), 8443, 1);
  internet::put_request(view, sizeof view, &e, 4242);
  EXPECT_EQ(memcmp(view, "VBIN", 4), 0);
  EXPECT_EQ(word(view, internet::window_pid_at), 4242u);
  EXPECT_EQ(word(view, internet::stop_at), 0u);  // zeroed before the child starts
  EXPECT_EQ(word(view, internet::answered_at), 0u);
  ASSERT_TRUE(internet::block_ok(view, sizeof view));
  internet::Endpoint back = internet::child_endpoint(view, sizeof view);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.host), back.host_length), "speed.example");
  EXPECT_EQ(back.port, 8443u);
  EXPECT_EQ(back.secure, 1u);

  EXPECT_FALSE(internet::block_ok(view, internet::block_size - 1));
  put(view, internet::host_length_at, 65);
  EXPECT_FALSE(internet::block_ok(view, sizeof view));
  put(view, internet::host_length_at, 13);
  view[0] = 'X';
  EXPECT_FALSE(internet::block_ok(view, sizeof view));

  std::string host(64, 'h');
  internet::set_endpoint(&e, bytes(host), 443, 1);
  EXPECT_EQ(e.host_length, 64u);
  internet::set_endpoint(&e, bytes(host + "h"), 443, 1);
  EXPECT_EQ(e.host_length, 0u);  // too long: empty, never cut
}

TEST(ProbeBlock, ChildEndsAtOnceOnABadBlock) {
  testutil::TempDir dir;
  harness::EnvVar runtime("XDG_RUNTIME_DIR", dir.path);
  child::Section s;
  ASSERT_TRUE(child::create_section(&s, internet::block_size));
  internet::Endpoint e = local(1);
  internet::put_request(s.view, s.view_size, &e, os::process_id());
  feed::put32(s.view, s.view_size, internet::host_length_at, 65);
  EXPECT_EQ(internet::child_main(mem::Bytes(s.name, s.name_length)), 3u);
  EXPECT_EQ(internet::child_main(mem::lit("Local\\Vimbrel-feed-0123456789abcdef0123456789abcdef")), 3u);
  child::unmap(&s);
}

// The child answers each new sequence number once; what a request does not measure stays as it was.
TEST(ProbeBlock, ServingAnswersEachRequestOnce) {
  Client c;
  u8 view[internet::block_size];
  internet::put_request(view, sizeof view, &c.e, 1);
  put(view, internet::probe_status_at, 77);
  put(view, internet::probe_micros_at, 88);

  put(view, internet::kind_at, 9);  // an unknown kind: only the error word and the answer
  put(view, internet::sequence_at, 1);
  internet::serve_request(view, sizeof view, &c.st, &c.e);
  EXPECT_EQ(word(view, internet::answered_at), 1u);
  EXPECT_EQ(word(view, internet::error_at), 0u);
  EXPECT_EQ(word(view, internet::down_at + 4), 0u);
  EXPECT_TRUE(c.svc.log().empty());

  put(view, internet::kind_at, internet::request_speed);
  put(view, internet::sequence_at, 2);
  internet::serve_request(view, sizeof view, &c.st, &c.e);
  EXPECT_EQ(word(view, internet::answered_at), 2u);
  EXPECT_EQ(word(view, internet::down_at), 0u);
  EXPECT_EQ(word(view, internet::down_at + 4), 25000000u);
  EXPECT_EQ(word(view, internet::up_at + 4), 10000000u);
  EXPECT_EQ(word(view, internet::error_at), 200u);
  EXPECT_EQ(word(view, internet::probe_status_at), 77u);  // a speed test leaves the latency words alone
  EXPECT_EQ(word(view, internet::probe_micros_at), 88u);
  EXPECT_FALSE(internet::http_is_open(&c.st));  // closed after every speed test

  put(view, internet::kind_at, internet::request_latency);
  put(view, internet::sequence_at, 3);
  internet::serve_request(view, sizeof view, &c.st, &c.e);
  EXPECT_EQ(word(view, internet::answered_at), 3u);
  EXPECT_EQ(word(view, internet::probe_status_at), 0u);
  EXPECT_GT(word(view, internet::probe_micros_at), 0u);
  EXPECT_TRUE(internet::http_is_open(&c.st));
  size_t asked = c.svc.log().size();
  EXPECT_EQ(asked, 4u);  // download, upload, warm-up, timed probe
  internet::serve_request(view, sizeof view, &c.st, &c.e);  // answered already: nothing is sent
  EXPECT_EQ(c.svc.log().size(), asked);
}

// ---- The window's probe with the real child.

struct LiveWindow {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  mem::Arena shell{};
  internet::Probe p{};
  std::string path = dir.path + "/Vimbrel/internet.txt";
  LiveWindow(int port, u32 now) {
    EXPECT_EQ(mem::arena_init(&shell, 4096), 1u);
    internet::Endpoint e = local(port);
    internet::load(&p, &shell, bytes(path), &e, true, now);
    internet::toggle(&p, now);
  }
  ~LiveWindow() {
    internet::stop(&p);
    mem::release(&shell);
  }
  // Ticks at the same simulated second until nothing is pending (at most 60 s of real time, only as a guard).
  bool answered(u32 now) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    internet::tick(&p, now, 0);
    while (p.data->schedule.pending != internet::request_none && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      internet::tick(&p, now, 0);
    }
    return p.data->schedule.pending == internet::request_none;
  }
  bool child_gone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0; }
};

TEST(ProbeLive, ProbesAndSpeedTestsThroughTheChild) {
  // Paced, so each direction lasts long enough to count on a fast loopback, even with megabytes of the upload
  // taken by socket buffers at once.
  service::Service svc(R"({"rate": 20000000})");
  const u32 t0 = 5000000;
  LiveWindow w(svc.port, t0);
  ASSERT_NE(w.p.data, nullptr);
  ASSERT_TRUE(w.answered(t0));
  const internet::ProbeData* d = w.p.data;
  EXPECT_EQ(d->start_failed, 0);
  EXPECT_EQ(d->schedule.probe_status, internet::probe_ok);
  EXPECT_EQ(d->schedule.last_error, 200u);
  EXPECT_EQ(d->ring.filled, 1u);
  EXPECT_EQ(d->schedule.next_probe, t0 + 10);
  pid_t pid = pid_t(d->child.process.process_id);
  EXPECT_FALSE(w.child_gone(pid));  // it stays between requests

  ASSERT_TRUE(w.answered(t0 + 60));  // the first speed test is due a minute after the start
  EXPECT_EQ(d->tests.filled, 1u);
  EXPECT_EQ(d->schedule.test_status, internet::test_done_ok);
  EXPECT_EQ(d->schedule.day_bytes, 35050000u);
  EXPECT_EQ(pid_t(d->child.process.process_id), pid);  // the same child
  EXPECT_EQ(d->ring.filled, 2u);  // the probe due at once after a test, on a fresh connection
  std::string file = testutil::read_file(w.path);
  EXPECT_NE(file.find("last-test " + std::to_string(t0 + 60) + "\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\ntest " + std::to_string(t0 + 60) + " "), std::string::npos) << file;

  internet::toggle(&w.p, t0 + 61);  // off: the child is stopped and nothing more is sent
  EXPECT_EQ(w.p.data, nullptr);
  EXPECT_TRUE(w.child_gone(pid));
  size_t asked = svc.log().size();
  EXPECT_EQ(asked, 6u);  // two probes of two requests each, and the test's two
  EXPECT_FALSE(internet::tick(&w.p, t0 + 70, 0));
  EXPECT_EQ(svc.log().size(), asked);
}

// A request that gets no answer within a minute, or whose child dies, is given up and the child stopped; the next
// request starts a new one.
TEST(ProbeLive, StaleRequestOrDeadChildIsGivenUp) {
  service::Service svc(R"({"stall_ms": 30000})");
  const u32 t0 = 6000000;
  LiveWindow w(svc.port, t0);
  ASSERT_NE(w.p.data, nullptr);
  internet::ProbeData* d = w.p.data;
  while (w.p.settings.schedule != internet::schedule_off) internet::cycle_schedule(&w.p, t0);  // probes alone
  internet::tick(&w.p, t0, 0);
  ASSERT_EQ(d->schedule.pending, internet::request_latency);
  pid_t first = pid_t(d->child.process.process_id);
  EXPECT_TRUE(internet::tick(&w.p, t0 + 60, 0));  // sixty seconds without an answer
  EXPECT_EQ(d->schedule.probe_status, internet::probe_failed);
  EXPECT_EQ(d->schedule.next_probe, t0 + 70);
  EXPECT_EQ(d->child.view, nullptr);
  EXPECT_TRUE(w.child_gone(first));

  internet::tick(&w.p, t0 + 70, 0);  // a new child for the next probe
  ASSERT_EQ(d->schedule.pending, internet::request_latency);
  pid_t second = pid_t(d->child.process.process_id);
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  kill(second, SIGKILL);
  EXPECT_TRUE(w.answered(t0 + 71));
  EXPECT_EQ(d->schedule.probe_status, internet::probe_failed);
  EXPECT_EQ(d->schedule.next_probe, t0 + 81);
  EXPECT_EQ(d->child.view, nullptr);
  EXPECT_EQ(d->ring.filled, 0u);
}

}  // namespace
