// The dashboard as a browser meets it: the built executable started as "--host <folder> --web", every path
// fetched with curl, bad requests over raw sockets, clients that hang or come too many at once while members go on
// being served, a browser link run through POST bodies, and the served loader running the served module in a
// JavaScript engine.
#include <gtest/gtest.h>
#include <stdio.h>

#include "host/web.h"
#include "platform/os.h"
#include "tests/host/net.h"

namespace {

using net::Bytes;
using net::Clock;

struct Fetched {
  int status = 0;
  std::string head;
  std::string body;
  bool closed = false;
  bool reset = false;  // the connection ended in a reset, not an orderly close
};

std::string text_of(u32 (*make)(mem::Slice), u32 size) {
  std::string out(size, '\0');
  out.resize(make(mem::Slice{reinterpret_cast<u8*>(out.data()), size}));
  return out;
}

std::string embedded(const u8* bytes, u64 size) { return std::string(reinterpret_cast<const char*>(bytes), size); }

struct Dashboard : net::HostRun {
  Dashboard() : HostRun(true) {}
  bool ready() {
    return p.wait_output("vimbrel host: web dashboard on port " + std::to_string(web) + "\n", 20) && listening(20);
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(web) + path; }

  int connect() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(web);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Everything the server sends on the connection until it closes it, or the time is up.
  static Fetched read_all(int fd, int ms) {
    Fetched f;
    std::string all;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      pollfd pf{fd, POLLIN, 0};
      if (poll(&pf, 1, 50) <= 0) continue;
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        f.closed = true;
        f.reset = n < 0 && errno == ECONNRESET;
        break;
      }
      all.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t head = all.find("\r\n\r\n");
    if (head == std::string::npos) return f;
    f.head = all.substr(0, head + 4);
    f.status = atoi(all.c_str() + 9);
    f.body = all.substr(head + 4);
    return f;
  }

  Fetched raw(const std::string& request) const {
    int fd = connect();
    if (fd < 0) return Fetched{};
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return read_all(fd, 3000);
  }

  // curl as a user runs it: the status, the head it received and the body.
  Fetched curl(const std::string& path, const std::string& options = "") const {
    std::string head = dir.path + "/curl.head", body = dir.path + "/curl.body";
    std::remove(head.c_str());
    std::remove(body.c_str());
    std::string command = "curl -sS --max-time 10 -D " + head + " -o " + body + " -w '%{http_code}' " + options + " '" +
                          url(path) + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return Fetched{};
    char code[16] = {};
    size_t n = fread(code, 1, sizeof code - 1, pipe);
    pclose(pipe);
    Fetched f;
    f.status = atoi(std::string(code, n).c_str());
    f.head = testutil::read_file(head);
    f.body = testutil::read_file(body);
    return f;
  }
};

const char* fixed_headers[] = {
    "\r\nCache-Control: no-store\r\n",
    "\r\nX-Content-Type-Options: nosniff\r\n",
    "\r\nReferrer-Policy: no-referrer\r\n",
    "\r\nContent-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self' "
    "'unsafe-inline'; frame-ancestors 'none'\r\n",
    "\r\nConnection: close\r\n",
};

void expect_head(const Fetched& f, const std::string& type, size_t length) {
  EXPECT_NE(f.head.find("\r\nContent-Type: " + type + "\r\n"), std::string::npos) << f.head;
  EXPECT_NE(f.head.find("\r\nContent-Length: " + std::to_string(length) + "\r\n"), std::string::npos) << f.head;
  for (const char* h : fixed_headers) EXPECT_NE(f.head.find(h), std::string::npos) << h;
}

TEST(WebDashboard, ServesEveryPathWithItsTypeAndTheFixedHeaders) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  struct Path {
    const char* path;
    const char* type;
    std::string body;
  } paths[] = {
      {"/", "text/html; charset=utf-8", text_of(web::page_html, web::page_size)},
      {"/?from=home", "text/html; charset=utf-8", text_of(web::page_html, web::page_size)},
      {"/vimbrel.js", "text/javascript", text_of(web::loader_js, web::loader_size)},
      {"/vimbrel.wasm", "application/wasm", embedded(web::viewer_module, web::viewer_module_size)},
      {"/vimbrel.wasm?v=2", "application/wasm", embedded(web::viewer_module, web::viewer_module_size)},
      {"/manifest.webmanifest", "application/manifest+json", text_of(web::manifest_json, web::manifest_size)},
      {"/icon.svg", "image/svg+xml", embedded(web::icon_svg, web::icon_svg_size)},
  };
  for (const Path& p : paths) {
    SCOPED_TRACE(p.path);
    Fetched f = d.curl(p.path);
    ASSERT_EQ(f.status, 200);
    EXPECT_EQ(f.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    expect_head(f, p.type, p.body.size());
    EXPECT_EQ(f.body, p.body);
  }
  struct Refused {
    const char* path;
    const char* options;
    int status;
  } refused[] = {
      {"/", "-X POST", 405},
      {"/link", "", 405},
      {"/index.html", "", 404},
      {"/link/00112233445566778899AABBCCDDEEFF", "-X POST", 404},
      {"/link/00112233445566778899aabbccddeeff", "-X POST", 404},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.path);
    Fetched f = d.curl(r.path, r.options);
    EXPECT_EQ(f.status, r.status);
    expect_head(f, "application/octet-stream", 0);
    EXPECT_TRUE(f.body.empty());
  }
}

TEST(WebDashboard, MalformedAndOversizedRequestsGetTheirStatusAndTheConnectionCloses) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  struct Bad {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"version missing", "GET / \r\n\r\n", 400},
      {"no blank after the target", "GET /\r\n\r\n", 400},
      {"ten-digit length", "POST /link HTTP/1.1\r\nContent-Length: 0000000001\r\n\r\nx", 400},
      {"transfer encoding", "POST /link HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"head without its end", "GET /" + std::string(2100, 'a'), 413},
      {"body past the buffer", "POST /link HTTP/1.1\r\nContent-Length: 2100\r\n\r\n", 413},
      // Heads far past the buffer: the rest is read and dropped, so the client gets the answer and a close, not a
      // reset.
      {"a 10,000-byte header line", "GET / HTTP/1.1\r\nX-A: " + std::string(10000, 'a') + "\r\n\r\n", 413},
      {"a 10,000-byte target", "GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n", 413},
      {"1,000 header lines", "GET / HTTP/1.1\r\n" + [] {
         std::string lines;
         for (int i = 0; i < 1000; ++i) lines += "X-Line-" + std::to_string(i) + ": some value\r\n";
         return lines + "\r\n";
       }(), 413},
      {"3,000 bytes and no blank line", "GET / HTTP/1.1\r\nX-A: " + std::string(3000, 'a'), 413},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.what);
    Fetched f = d.raw(c.request);
    EXPECT_EQ(f.status, c.status);
    EXPECT_TRUE(f.closed);
    EXPECT_FALSE(f.reset);
    expect_head(f, "application/octet-stream", 0);
    EXPECT_TRUE(f.body.empty());
  }
}

// Framing that a proxy in front could read differently is refused, and so is a Host that is not this machine: a
// page whose name was rebound to this address sends its own name, and gets nothing.
TEST(WebDashboard, AmbiguousFramingAndForeignHostsAreRefused) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  const std::string port = std::to_string(d.web);
  u8 name[64];
  const std::string machine(reinterpret_cast<const char*>(name), os::computer_name(name));
  ASSERT_FALSE(machine.empty());
  auto get = [](const std::string& host_lines) { return "GET /icon.svg HTTP/1.1\r\n" + host_lines + "\r\n"; };
  auto link = [&](const std::string& lines, const std::string& body) {
    return "POST /link HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + lines + "\r\n" + body;
  };
  struct Case {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"the address the browser used", get("Host: 127.0.0.1:" + port + "\r\n"), 200},
      {"localhost", get("Host: localhost:" + port + "\r\n"), 200},
      {"the machine's name", get("Host: " + machine + ":" + port + "\r\n"), 200},
      {"a rebound name", get("Host: evil.example:" + port + "\r\n"), 400},
      {"an address of another machine", get("Host: 192.0.2.7:" + port + "\r\n"), 400},
      {"no Host", get(""), 400},
      {"two Hosts", get("Host: 127.0.0.1\r\nHost: evil.example\r\n"), 400},
      {"encoding then length", link("Transfer-Encoding: chunked\r\nContent-Length: 0\r\n", "0\r\n\r\n"), 400},
      {"bad length then a good one", link("Content-Length: abc\r\nContent-Length: 0\r\n", ""), 400},
      {"blank before the colon", link("Transfer-Encoding : chunked\r\nContent-Length: 0\r\n", "0\r\n\r\n"), 400},
      {"length with a blank before the colon", link("Content-Length : 5\r\n", "abcde"), 400},
      {"folded length", link("Content-Length: 0\r\n 5\r\n", "abcde"), 400},
      {"two different lengths", link("Content-Length: 3\r\nContent-Length: 0\r\n", "abc"), 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fetched f = d.raw(c.request);
    EXPECT_EQ(f.status, c.status);
    EXPECT_TRUE(f.closed);
    EXPECT_FALSE(f.reset);
  }
}

TEST(WebDashboard, HangingOrSurplusClientsMakeWayAndNeverStallTheHostOrItsMembers) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  auto start = Clock::now();
  int idle[8];
  for (int& fd : idle) ASSERT_GE(fd = d.connect(), 0);
  ::send(idle[0], "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  // A ninth client is served at once: hanging clients make way for newcomers.
  EXPECT_EQ(d.curl("/icon.svg").status, 200);

  // Members are served meanwhile: a viewer joins and hears the machine list.
  net::Member viewer;
  ASSERT_TRUE(viewer.join(d.port, proto::role_viewer, 0, nullptr));
  EXPECT_FALSE(viewer.next_of(proto::kind_list, 3000).empty());

  // Whether they made way or not, the hanging clients are closed without an answer within a second or two.
  for (int fd : idle) {
    Fetched g = Dashboard::read_all(fd, 5000);
    EXPECT_TRUE(g.closed);
    EXPECT_TRUE(g.head.empty());
  }
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(waited, 5.0);
  EXPECT_EQ(d.curl("/icon.svg").status, 200);
}

// The browser's side of a link: frames go out in POST bodies, the answers carry the host's.
struct BrowserLink {
  const Dashboard* d;
  peer::PeerState p;
  std::string path;
  Bytes pending;

  explicit BrowserLink(const Dashboard* dashboard, u8 key_first = 0x11) : d(dashboard) {
    auth::KeyState k;
    net::key_state(&k, key_first);
    peer::init(&p, &k);
  }
  Fetched post(const std::string& to, const Bytes& body) const {
    std::string file = d->dir.path + "/post.body";
    testutil::write_file(file, std::string(body.begin(), body.end()));
    return d->curl(to, "-X POST -H 'Content-Type: application/octet-stream' --data-binary @" + file);
  }
  bool join() {
    proto::Hello h = {};
    h.role = proto::role_viewer;
    h.protocol = 1;
    for (u32 i = 0; i < 16; ++i) h.nonce[i] = static_cast<u8>(rand());
    Bytes hello(64);
    hello.resize(peer::hello(&p, &h, mem::Slice{hello.data(), hello.size()}));
    Fetched opened = post("/link", hello);
    if (opened.status != 200 || opened.body.size() <= 16) return false;
    const char* digits = "0123456789abcdef";
    path = "/link/";
    for (int i = 0; i < 16; ++i) path += {digits[u8(opened.body[i]) >> 4], digits[u8(opened.body[i]) & 15]};
    Bytes reply(opened.body.begin() + 16, opened.body.end());
    Bytes proof(64);
    proof.resize(peer::proof(&p, mem::Bytes(reply.data(), reply.size()), mem::Slice{proof.data(), proof.size()}));
    Fetched accepted = post(path, proof);
    // The accept, and behind it the first frames of the session (the machine list), kept for poll_for.
    const u8* body = reinterpret_cast<const u8*>(accepted.body.data());
    u32 n = proto::frame_len(mem::Bytes(body, accepted.body.size()));
    if (accepted.status != 200 || n == 0 || n > accepted.body.size()) return false;
    pending.assign(body + n, body + accepted.body.size());
    return peer::accepted(&p, mem::Bytes(body, n));
  }
  // Polls every half second until a frame of the kind arrives (tags checked), or the time is up.
  bool poll_for(u32 kind, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      Fetched f = post(path, Bytes());
      if (f.status != 200) return false;
      pending.insert(pending.end(), f.body.begin(), f.body.end());
      while (pending.size() >= 16) {
        u32 n = proto::frame_len(mem::Bytes(pending.data(), pending.size()));
        if (n == 0 || pending.size() < n + 16u) break;
        if (!peer::opened(&p, mem::Bytes(pending.data(), n + 16))) return false;
        u32 k = proto::frame_kind(mem::Bytes(pending.data(), n));
        pending.erase(pending.begin(), pending.begin() + n + 16);
        if (k == kind) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
  }
};

TEST(WebDashboard, ABrowserLinkIsAViewerUntilItFallsSilentForTenSeconds) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  BrowserLink b(&d);
  ASSERT_TRUE(b.join());
  EXPECT_TRUE(b.poll_for(proto::kind_list, 4000));
  // A wrong key's link is refused through the same bodies.
  BrowserLink wrong(&d, 0x21);
  EXPECT_FALSE(wrong.join());

  std::this_thread::sleep_for(std::chrono::milliseconds(10500));
  EXPECT_EQ(b.post(b.path, Bytes()).status, 404);
}

TEST(WebDashboard, ADashboardPortThatIsTakenEndsTheHostWithExit3) {
  testutil::TempDir dir;
  std::string home = dir.path + "/home", share = dir.path + "/share";
  net::make_home(home);
  std::filesystem::create_directories(share);
  u16 port = net::port_pair();
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u16>(port + 2));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 4), 0);
  net::Process p;
  p.start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1", "--web"}, home);
  ASSERT_TRUE(p.ended(20000));
  ::close(taken);
  EXPECT_EQ(p.code, 3);
  EXPECT_EQ(p.out(), "vimbrel host: cannot listen on the port\n");
}

TEST(WebDashboard, TheServedLoaderStartsTheServedViewerWhichDrawsAndAsksForTheKey) {
  Dashboard d;
  ASSERT_TRUE(d.ready()) << d.p.out();
  std::string command = "node --experimental-wasm-memory64 " + std::string(VIMBREL_SOURCE_DIR) +
                        "/tests/host/loader_harness.js " + d.url("/");
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  EXPECT_EQ(pclose(pipe), 0) << out;
  // A 640 x 480 window at a ratio of 1.5: a frame of 960 x 720 device pixels, the title strip's colour in the
  // corner and text on it. No key is stored, so the form is shown and nothing is stored or removed.
  EXPECT_EQ(out,
            "{\"errors\":[],\"puts\":[{\"stride\":960,\"height\":720,\"dirtyWidth\":960,"
            "\"dirtyHeight\":720,\"corner\":[37,37,38,255],\"inked\":true}],\"canvas\":[960,720],\"form\":\"block\","
            "\"stored\":[]}\n");
}

}  // namespace
