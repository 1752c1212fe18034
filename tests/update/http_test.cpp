// The request client against the loopback test server: limits counted to the byte, redirects returned as they are,
// an untrusted certificate refused, a file sink, and plain http only where the caller allows it.
#include <gtest/gtest.h>
#include <fcntl.h>

#include "platform/http.h"
#include "release.h"

namespace {

using release::bytes;
using release::Route;

http::Request request(const std::string& ca, const std::string& url, u64 limit, mem::Slice buffer) {
  http::Request r{};
  r.url = bytes(url);
  r.user_agent = mem::lit("Vimbrel");
  r.ca_file = bytes(ca);
  r.resolve_ms = r.connect_ms = r.send_ms = r.receive_ms = 3000;
  r.limit = limit;
  r.buffer = buffer;
  return r;
}

TEST(Http, LimitsRedirectsAndCertificates) {
  release::World w;
  std::string body(5000, 'b');
  w.routes["/body"] = Route{200, body};
  w.routes["/moved"] = Route{302, "", {{"Location", w.url("/body")}}};
  w.write_routes();
  std::string url = w.url("/body"), ca = w.dir.path + "/cert.pem";
  u8 buffer[8192];
  struct Case {
    const char* name;
    std::string url;
    u64 limit;
    u32 ok, stage, status;
    u64 received;
  };
  const Case cases[] = {
      {"exactly the limit", url, 5000, 1, 0, 200, 5000},
      {"one byte over", url, 4999, 0, http::stage_limit, 200, 0},
      {"a redirect is the answer", w.url("/moved"), 5000, 1, 0, 302, 0},
      {"not found", w.url("/nothing"), 5000, 1, 0, 404, 8},
      {"nobody listens", "https://127.0.0.1:1/x", 5000, 0, http::stage_send, 0, 0},
      {"no path", "https://127.0.0.1", 5000, 0, http::stage_url, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string u = c.url;
    http::Request r = request(ca, u, c.limit, mem::Slice{buffer, sizeof buffer});
    http::Result out;
    EXPECT_EQ(http::get(&r, &out), c.ok);
    EXPECT_EQ(out.stage, c.stage);
    EXPECT_EQ(out.status, c.status);
    if (c.ok) {
      EXPECT_EQ(out.received, c.received);
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "not here");
  EXPECT_EQ(w.log().find("/body Vimbrel"), 0u) << "the redirect was followed: " << w.log();

  // The system's certificates do not vouch for the test server.
  http::Request r = request(ca, url, 5000, mem::Slice{buffer, sizeof buffer});
  r.ca_file = mem::Bytes();
  http::Result out;
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_EQ(out.stage, u32(http::stage_send));
  EXPECT_EQ(out.status, 0u);

  // Into a file: every byte, written where the file stands.
  std::string path = w.dir.path + "/sink";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  r = request(ca, url, 5000, mem::Slice{});
  r.file = u64(fd) + 1;
  EXPECT_EQ(http::get(&r, &out), 1u);
  close(fd);
  EXPECT_EQ(testutil::read_file(path), body);
}

// A server that keeps the connection alive with a byte now and then never lets the wait between bytes run out: the
// bound of the whole transfer ends it, as a time-out of the stage it was in.
TEST(Http, ATransferThatTricklesIsAbandonedAtItsBound) {
  release::World w;
  w.routes["/slow"] = Route{200, std::string(120, 's')};
  w.routes["/slow"].trickle_ms = 500;  // two bytes a second: a minute's worth of body
  w.write_routes();
  u8 buffer[256];
  const std::string ca = w.dir.path + "/cert.pem", url = w.url("/slow");
  http::Request r = request(ca, url, 256, mem::Slice{buffer, sizeof buffer});
  r.total_ms = 4000;
  http::Result out;
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_EQ(out.stage, u32(http::stage_read));
  EXPECT_EQ(out.error, 28u);  // timed out
  EXPECT_EQ(out.status, 200u);
  EXPECT_LT(out.received, 120u);

  // The updater's bounds: a minute for a small file, a minute more than the limit takes at 64 KiB/s for a file.
  update::Config c = update::make_config(mem::lit("0.1.81"));
  EXPECT_EQ(update::transfer_bound_ms(&c, false, 4096), 60000u);
  EXPECT_EQ(update::transfer_bound_ms(&c, true, 16777216), 60000u + 262144u);
  EXPECT_EQ(update::transfer_bound_ms(&c, true, update::default_limit), 60000u + 1048576u);
  c.deadline_ms = 2500;
  EXPECT_EQ(update::transfer_bound_ms(&c, true, update::default_limit), 2500u);
}

TEST(Http, PlainHttpOnlyWhereTheUpdaterAllowsIt) {
  release::World w(false);
  std::string feed = w.url("/downloads/vimbrel/linux/x86_64/latest.txt");
  update::Config c = update::make_config(mem::lit("0.1.81"));
  u8 buffer[4096];
  update::HttpResult out;
  EXPECT_EQ(update::http_get_to_memory(&c, bytes(feed), mem::Slice{buffer, sizeof buffer}, 4096, &out), 0u);
  EXPECT_EQ(out.stage, 1u);
  EXPECT_EQ(w.log(), "");  // refused before any connection
  c.flags |= update::flag_local;
  EXPECT_EQ(update::http_get_to_memory(&c, bytes(feed), mem::Slice{buffer, sizeof buffer}, 4096, &out), 1u);
  EXPECT_EQ(out.status, 200u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), out.received), w.manifest(w.release_body, "0.1.82"));
}

}  // namespace
