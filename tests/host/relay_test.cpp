// The dashboard server and its relay inside one process: a host's hub and web state, clients that connect over
// loopback to the web listener, and rounds driven by hand with chosen times, so that a link's 10 s and a client's
// 5 s are host units, not waits. A browser's link is run with the cluster's own codecs: hello, proof, sealed frames.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "base/bits.h"
#include "wire/peer.h"
#include "host/hubloop.h"
#include "host/web.h"
#include "tests/host/rig.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "drawing/layout.h"
#include "web/webcore.h"

namespace {

using rig::Bytes;

struct Answer {
  int status = 0;
  std::string head;
  Bytes body;
  bool closed = false;  // the server closed the connection after the answer
};

u32 no_random(mem::Slice out) {
  memset(out.ptr, 0, out.len);
  return 0;
}

struct WebRig {
  mem::Arena arena{};
  hub::Host* host = nullptr;
  web::Web* w = nullptr;
  u32 wall = 1000000;

  // The cluster key: the given bytes, or the rig's secret.
  explicit WebRig(const u8* key_bytes = nullptr) {
    EXPECT_TRUE(mem::arena_init(&arena, hub::arena_size() + web::arena_size()));
    auth::KeyState key;
    rig::key_of(&key, "cluster secret");
    if (key_bytes) auth::key_init(&key, mem::Bytes(key_bytes, 32));
    hub::Options o = {};
    o.listen = 0x7F000001;
    o.flags = hub::flag_web;
    for (u32 i = 0; i < 3; ++i) o.version[i] = rig::host_version[i];
    host = mem::alloc_of<hub::Host>(&arena);
    EXPECT_TRUE(hub::create(host, &arena, &key, &o, 0));
    hub::set_term(host->hub, 7);
    EXPECT_TRUE(web::open(host, &arena));
    w = host->web;
  }
  ~WebRig() {
    hub::close(host);
    mem::release(&arena);
  }

  // A connection to the web listener, taken into a client slot at the time given; the client slot or none.
  u32 connect(int* fd, u32 now, int receive_buffer = 0, u32 source = INADDR_LOOPBACK) {
    *fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer) setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    EXPECT_EQ(bind(*fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(w->port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(*fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    u64 before = w->busy;
    sock::Socket sockets[web::clients];
    for (u32 c = 0; c < web::clients; ++c) sockets[c] = w->socket[c];
    pollfd pf{static_cast<int>(w->listener), POLLIN, 0};
    poll(&pf, 1, 1000);
    web::accept(host, now);
    // The new client is in a slot that was free, or in one whose client made way for it.
    for (u32 c = 0; c < web::clients; ++c) {
      if (bits::word_test(w->busy, c) && (!bits::word_test(before, c) || w->socket[c] != sockets[c])) return c;
    }
    return web::none;
  }

  // Sends the request and lets the server read it at the time given.
  void send(int fd, u32 c, const std::string& request, u32 now) {
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    pollfd pf{static_cast<int>(w->socket[c]), POLLIN, 0};
    poll(&pf, 1, 1000);
    web::client_io(host, c, 1, now, wall);
  }

  // What the server wrote: one whole answer (its head's Content-Length), and whether the server then closed the
  // connection; or what came until it closed (or a second passed). The server runs in this process and has acted
  // before this reads, so a close is already there to see. The connection stays open for the caller when keep is
  // set, else it is closed here.
  static Answer read_answer(int fd, bool keep = false) {
    Answer a;
    std::string all;
    size_t whole = std::string::npos;
    for (;;) {
      pollfd pf{fd, POLLIN, 0};
      const bool have = whole != std::string::npos && all.size() >= whole;
      if (poll(&pf, 1, have ? 100 : 1000) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, have ? MSG_PEEK : 0);
      if (n <= 0) {
        a.closed = n == 0;
        break;
      }
      if (have) break;  // more bytes behind a whole answer: not a close
      all.append(buf, static_cast<size_t>(n));
      size_t end = all.find("\r\n\r\n");
      size_t length = all.find("\r\nContent-Length: ");
      if (end != std::string::npos && length != std::string::npos && length < end) {
        whole = end + 4 + static_cast<size_t>(atol(all.c_str() + length + 18));
      }
    }
    if (!keep) ::close(fd);
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return a;
    a.head = all.substr(0, end + 4);
    a.status = atoi(all.c_str() + 9);
    a.body.assign(all.begin() + static_cast<long>(end) + 4, all.end());
    return a;
  }

  Answer request(const std::string& text, u32 now) {
    int fd = -1;
    u32 c = connect(&fd, now);
    EXPECT_NE(c, web::none);
    if (c == web::none) return Answer{};
    send(fd, c, text, now);
    return read_answer(fd);
  }
};

std::string post(const std::string& path, const Bytes& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body.begin(), body.end());
}

std::string hex(const u8* id) {
  const char* digits = "0123456789abcdef";
  std::string s;
  for (u32 i = 0; i < 16; ++i) s += {digits[id[i] >> 4], digits[id[i] & 15]};
  return s;
}

// A browser's link: a viewer that speaks through POST bodies.
struct Browser {
  rig::Link link;
  std::string path;  // "/link/<hex>" once open
  u32 slot = hub::none;

  // POST "/link" with the hello; true when the answer is 200 with a link id and the host's reply.
  Answer open(WebRig* r, u32 now) {
    Answer a = r->request(post("/link", link.hello(proto::role_viewer, 0, nullptr)), now);
    if (a.status == 200 && a.body.size() > 16) {
      path = "/link/" + hex(a.body.data());
      slot = web::find_link(r->w, a.body.data());
    }
    return a;
  }
  // The proof for the host's reply behind the link id of an opening answer.
  Bytes proof(const Answer& opened) {
    Bytes reply(opened.body.begin() + 16, opened.body.end());
    Bytes out(64);
    out.resize(peer::proof(&link.p, mem::Bytes(reply.data(), reply.size()), mem::Slice{out.data(), out.size()}));
    return out;
  }
  // The accept of an answer; the frames behind it wait for frames().
  bool accept(const Answer& a) {
    u32 n = proto::frame_len(mem::Bytes(a.body.data(), a.body.size()));
    if (a.status != 200 || n == 0 || n > a.body.size()) return false;
    link.pending.assign(a.body.begin() + n, a.body.end());
    return peer::accepted(&link.p, mem::Bytes(a.body.data(), n));
  }
  // Both steps of the handshake; true when the host accepted.
  bool join(WebRig* r, u32 now) {
    Answer a = open(r, now);
    if (a.status != 200) return false;
    return accept(r->request(post(path, proof(a)), now));
  }
  // The sealed frames of an answer, tags checked.
  std::vector<Bytes> frames(const Answer& a) {
    link.pending.insert(link.pending.end(), a.body.begin(), a.body.end());
    std::vector<Bytes> out;
    size_t at = 0;
    while (link.pending.size() - at >= 16) {
      u32 n = proto::frame_len(mem::Bytes(link.pending.data() + at, link.pending.size() - at));
      if (n == 0 || link.pending.size() - at < n + 16u) break;
      EXPECT_TRUE(peer::opened(&link.p, mem::Bytes(link.pending.data() + at, n + 16)));
      out.emplace_back(link.pending.begin() + at, link.pending.begin() + at + n);
      at += n + 16;
    }
    link.pending.erase(link.pending.begin(), link.pending.begin() + at);
    return out;
  }
};

Bytes sealed_ping(Browser* b) {
  Bytes ping(16);
  ping.resize(proto::encode_ping(mem::Slice{ping.data(), ping.size()}));
  return b->link.seal(ping);
}

u32 kind_of(const Bytes& frame, size_t at = 0) {
  return proto::frame_kind(mem::Bytes(frame.data() + at, frame.size() - at));
}

TEST(WebRelay, ABrowserBecomesAViewerThroughPostBodies) {
  WebRig r;
  Browser b;
  Answer opened = b.open(&r, 0);
  ASSERT_EQ(opened.status, 200);
  EXPECT_NE(opened.head.find("\r\nContent-Type: application/octet-stream\r\n"), std::string::npos);
  EXPECT_NE(opened.head.find("\r\nContent-Length: " + std::to_string(opened.body.size()) + "\r\n"), std::string::npos);
  EXPECT_FALSE(opened.closed);
  // The link id, then the host's reply to the hello.
  ASSERT_GT(opened.body.size(), 16u);
  EXPECT_EQ(kind_of(opened.body, 16), proto::kind_reply);
  EXPECT_NE(opened.head.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  ASSERT_NE(b.slot, web::none);
  EXPECT_TRUE(web::is_link(r.w, b.slot));
  EXPECT_EQ(r.host->hub->slot[b.slot].out_fill, 0u) << "what was sent left the out-buffer";

  Answer accepted = r.request(post(b.path, b.proof(opened)), 1);
  ASSERT_EQ(accepted.status, 200);
  EXPECT_TRUE(b.accept(accepted));
  EXPECT_EQ(hub::stage_of(r.host->hub, b.slot), hub::stage_open);
  // The machine list comes with the accept.
  std::vector<Bytes> first = b.frames(Answer{});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(kind_of(first[0]), proto::kind_list);

  // Nothing queued: an empty answer. Then the host's second queues the machine list, which the next POST carries.
  Answer idle = r.request(post(b.path, sealed_ping(&b)), 2);
  EXPECT_EQ(idle.status, 200);
  EXPECT_TRUE(idle.body.empty());
  EXPECT_NE(idle.head.find("\r\nContent-Length: 0\r\n"), std::string::npos);
  hub::upkeep(r.host->hub, 10);
  Answer list = r.request(post(b.path, Bytes()), 11);
  ASSERT_EQ(list.status, 200);
  std::vector<Bytes> frames = b.frames(list);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(kind_of(frames[0]), proto::kind_list);
  EXPECT_TRUE(b.link.pending.empty());
  EXPECT_FALSE(hub::is_in(r.host->hub, hub::set_closing, b.slot));
}

// A browser's POSTs go over one connection: each 200 answer of the relay keeps it for the next request, which has
// the time of a new one; a kept connection waits kept_units for that request (longer than a head's second, since
// the browser posts about once a second). Every other answer closes its connection.
TEST(WebRelay, RelayAnswersKeepTheirConnectionForTheNextPost) {
  WebRig r;
  Browser b;
  int fd = -1;
  u32 c = r.connect(&fd, 0);
  ASSERT_NE(c, web::none);
  r.send(fd, c, post("/link", b.link.hello(proto::role_viewer, 0, nullptr)), 0);
  Answer opened = WebRig::read_answer(fd, true);
  ASSERT_EQ(opened.status, 200);
  EXPECT_FALSE(opened.closed);
  ASSERT_GT(opened.body.size(), 16u);
  b.path = "/link/" + hex(opened.body.data());
  web::upkeep(r.host, web::head_units + 5);
  ASSERT_TRUE(bits::word_test(r.w->busy, c)) << "a kept connection closed after a head's second";
  r.send(fd, c, post(b.path, b.proof(opened)), web::head_units + 5);
  Answer accepted = WebRig::read_answer(fd, true);
  EXPECT_FALSE(accepted.closed);
  ASSERT_TRUE(b.accept(accepted));
  for (u32 now : {20u, 30u, 40u, 50u, 60u}) {  // past a client's 5 s in all
    web::upkeep(r.host, now);
    r.send(fd, c, post(b.path, sealed_ping(&b)), now);
    Answer a = WebRig::read_answer(fd, true);
    EXPECT_EQ(a.status, 200) << now;
    EXPECT_FALSE(a.closed) << now;
  }
  EXPECT_EQ(r.w->answered, 7u);
  EXPECT_EQ(bits::word_count(r.w->busy), 1u) << "one connection for every POST";
  const u32 at = r.w->accepted[c];
  web::upkeep(r.host, at + web::kept_units - 1);
  EXPECT_TRUE(bits::word_test(r.w->busy, c));
  web::upkeep(r.host, at + web::kept_units);
  EXPECT_FALSE(bits::word_test(r.w->busy, c));
  Answer idle = WebRig::read_answer(fd);
  EXPECT_TRUE(idle.closed);
  EXPECT_EQ(idle.status, 0);

  const struct {
    const char* what;
    std::string request;
    int status;
    bool closed;
  } cases[] = {
      {"a relay POST", post(b.path, sealed_ping(&b)), 200, false},
      {"a page", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 200, true},
      {"a relay POST to an unknown link", post("/link/" + std::string(32, '0'), Bytes()), 404, true},
      {"a GET of the relay", "GET /link HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405, true},
  };
  for (const auto& k : cases) {
    Answer a = r.request(k.request, 100);
    EXPECT_EQ(a.status, k.status) << k.what;
    EXPECT_EQ(a.closed, k.closed) << k.what;
    EXPECT_NE(a.head.find(k.closed ? "\r\nConnection: close\r\n" : "\r\nConnection: keep-alive\r\n"),
              std::string::npos)
        << k.what;
  }
}

TEST(WebRelay, LinksLastTenSecondsAfterTheirLastRequest) {
  WebRig r;
  Browser b;
  ASSERT_TRUE(b.join(&r, 0));
  EXPECT_EQ(r.request(post(b.path, Bytes()), 99).status, 200);
  web::upkeep(r.host, 198);
  EXPECT_TRUE(web::is_link(r.w, b.slot));
  // Asked at its tenth second without a request, the link is gone although no upkeep ran yet.
  EXPECT_EQ(r.request(post(b.path, Bytes()), 199).status, 404);
  EXPECT_FALSE(web::is_link(r.w, b.slot));
  EXPECT_FALSE(hub::is_in(r.host->hub, hub::set_live, b.slot));

  // The round's upkeep drops a silent link and frees its member slot.
  Browser c;
  ASSERT_TRUE(c.join(&r, 300));
  web::upkeep(r.host, 399);
  EXPECT_TRUE(web::is_link(r.w, c.slot));
  web::upkeep(r.host, 400);
  EXPECT_FALSE(web::is_link(r.w, c.slot));
  EXPECT_FALSE(hub::is_in(r.host->hub, hub::set_live, c.slot));
  EXPECT_EQ(r.request(post(c.path, Bytes()), 401).status, 404);
}

TEST(WebRelay, ASecondPostWhileTheFirstAnswerIsSentIsAConflict) {
  WebRig r;
  Browser b;
  ASSERT_TRUE(b.join(&r, 0));
  // A long answer waits in the link's out-buffer for a client that reads slowly.
  hub::Slot* sl = &r.host->hub->slot[b.slot];
  memset(sl->out, 0x55, 60000);
  sl->out_fill = 60000;
  int slow = -1;
  u32 c = r.connect(&slow, 1, 1024);
  int small = 2048;
  setsockopt(static_cast<int>(r.w->socket[c]), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  r.send(slow, c, post(b.path, Bytes()), 1);
  ASSERT_TRUE(bits::word_test(r.w->responding, c)) << "the answer is still being sent";
  EXPECT_TRUE(web::link_busy(r.w, b.slot));

  Answer second = r.request(post(b.path, Bytes()), 2);
  EXPECT_EQ(second.status, 409);
  EXPECT_TRUE(second.body.empty());
  // Even past its time a link being answered stays.
  web::upkeep(r.host, 40);
  EXPECT_TRUE(web::is_link(r.w, b.slot));

  // The slow client gets every byte, in order, as the rounds go on; the connection then waits for its next POST.
  std::string got;
  size_t end = std::string::npos;
  bool closed = false;
  for (int i = 0; i < 5000 && !closed && (end == std::string::npos || got.size() < end + 4 + 60000); ++i) {
    web::client_io(r.host, c, 0, 3, r.wall);
    char buf[4096];
    ssize_t n = recv(slow, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (n == 0) closed = true;
    if (n < 0) usleep(200);
    end = got.find("\r\n\r\n");
  }
  ::close(slow);
  EXPECT_FALSE(closed);
  EXPECT_TRUE(bits::word_test(r.w->kept, c));
  ASSERT_NE(end, std::string::npos);
  EXPECT_NE(got.find("Content-Length: 60000\r\n"), std::string::npos);
  EXPECT_EQ(got.substr(end + 4), std::string(60000, '\x55'));
  EXPECT_EQ(sl->out_fill, 0u);
  EXPECT_FALSE(web::link_busy(r.w, b.slot));
}

TEST(WebRelay, NoRoomNoRandomOrAFullInBufferAnswers503) {
  {
    WebRig r;
    r.host->random = no_random;
    Browser b;
    EXPECT_EQ(b.open(&r, 0).status, 503);
    EXPECT_EQ(r.w->web_members[0] | r.w->web_members[1], 0u);
  }
  {
    // Every member slot holds an open session: nothing can make way.
    WebRig r;
    u8 challenge[32] = {1};
    for (u32 i = 0; i < hub::slots; ++i) {
      u32 s = hub::admit(r.host->hub, mem::Bytes(challenge, 32), 0x0A000000 + (i << 8), 0);
      ASSERT_NE(s, hub::none);
      hub::put_in(r.host->hub, hub::set_stage1, s, true);
    }
    Browser b;
    EXPECT_EQ(b.open(&r, 0).status, 503);
    EXPECT_EQ(r.w->web_members[0] | r.w->web_members[1], 0u);
  }
  {
    WebRig r;
    Browser b;
    ASSERT_TRUE(b.join(&r, 0));
    // The host holds the member's frames back (a history answer is due) and its in-buffer is nearly full.
    hub::put_in(r.host->hub, hub::set_history, b.slot, true);
    r.host->hub->slot[b.slot].in_fill = hub::buffer_size - 8;
    EXPECT_EQ(r.request(post(b.path, sealed_ping(&b)), 1).status, 503);
    EXPECT_FALSE(web::is_link(r.w, b.slot));
    EXPECT_FALSE(hub::is_in(r.host->hub, hub::set_live, b.slot));
    EXPECT_EQ(r.request(post(b.path, Bytes()), 2).status, 404);
  }
}

TEST(WebRelay, ALinkTheHostRefusedGoesOnceItsRefusalIsFetched) {
  WebRig r;
  Browser b;
  b.link = rig::Link("another secret");
  Answer opened = b.open(&r, 0);
  ASSERT_EQ(opened.status, 200);
  Answer refused = r.request(post(b.path, b.proof(opened)), 1);
  ASSERT_EQ(refused.status, 200);
  u16 reason = 0;
  EXPECT_EQ(proto::decode_refuse(mem::Bytes(refused.body.data(), refused.body.size()), &reason), proto::ok);
  EXPECT_EQ(reason, proto::reason_key);
  web::upkeep(r.host, 2);
  EXPECT_FALSE(web::is_link(r.w, b.slot));
  EXPECT_EQ(r.request(post(b.path, Bytes()), 3).status, 404);
}

// A link's stream as the browser reads it: the head, then each chunk's bytes; ended by the last chunk.
struct Stream {
  int fd = -1;
  u32 client = web::none;
  std::string raw, head;
  bool ended = false, closed = false;

  Stream() = default;
  // POST "<path>?stream" on a connection of its own, taken at the time given; the head read.
  Stream(WebRig* r, const std::string& path, const Bytes& body, u32 now) {
    client = r->connect(&fd, now);
    EXPECT_NE(client, web::none);
    r->send(fd, client, post(path + "?stream", body), now);
    read(1000);
  }
  ~Stream() {
    if (fd >= 0) ::close(fd);
  }
  // The chunks that came: waits up to wait_ms for the first bytes, then takes what follows at once.
  std::vector<Bytes> read(int wait_ms = 1000) {
    for (;;) {
      pollfd pf{fd, POLLIN, 0};
      if (closed || poll(&pf, 1, wait_ms) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
        break;
      }
      raw.append(buf, static_cast<size_t>(n));
      wait_ms = 20;
    }
    std::vector<Bytes> chunks;
    if (head.empty()) {
      size_t end = raw.find("\r\n\r\n");
      if (end == std::string::npos) return chunks;
      head = raw.substr(0, end + 4);
      raw.erase(0, end + 4);
    }
    for (;;) {
      size_t line = raw.find("\r\n");
      if (line == std::string::npos) break;
      size_t size = strtoul(raw.c_str(), nullptr, 16);
      if (raw.size() < line + 2 + size + 2) break;
      EXPECT_EQ(raw.substr(line + 2 + size, 2), "\r\n");
      if (size == 0) ended = true;
      else chunks.emplace_back(raw.begin() + static_cast<long>(line) + 2, raw.begin() + static_cast<long>(line + 2 + size));
      raw.erase(0, line + 2 + size + 2);
    }
    return chunks;
  }
};

// The browser's stream: one connection that carries, a chunk each host second, every frame queued for the link
// (past a client's 5 s); the link's POSTs are answered empty and what they leave queued goes down the stream at once.
TEST(WebRelay, AStreamCarriesEachSecondOfALinkInOneChunkOnOneConnection) {
  WebRig r;
  Browser b;
  ASSERT_TRUE(b.join(&r, 0));
  ASSERT_EQ(b.frames(Answer{}).size(), 1u);  // the list that came with the accept
  Stream s(&r, b.path, Bytes(), 1);
  ASSERT_EQ(s.head.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(s.head.find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(s.head.find("Content-Length"), std::string::npos);
  EXPECT_NE(s.head.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_TRUE(bits::word_test(r.w->streaming, s.client));
  EXPECT_EQ(r.request(post(b.path + "?stream", Bytes()), 2).status, 409) << "a link has one stream";

  u32 lists = 0;
  for (u32 second = 1; second <= 8; ++second) {
    const u32 now = 10 * second + 5;
    hub::upkeep(r.host->hub, now);  // the host's second queues the list
    if (second == 4) {
      // The browser posts: the answer is empty, and the list queued before it comes down the stream at once.
      Answer a = r.request(post(b.path, sealed_ping(&b)), now);
      EXPECT_EQ(a.status, 200);
      EXPECT_TRUE(a.body.empty());
      EXPECT_NE(a.head.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
    } else {
      // Between the host's seconds nothing goes.
      web::upkeep(r.host, now);
      EXPECT_TRUE(s.read(50).empty()) << second;
      web::second(r.host, now);
    }
    std::vector<Bytes> chunks = s.read();
    ASSERT_EQ(chunks.size(), 1u) << second;
    for (const Bytes& f : b.frames(Answer{200, "", chunks[0]})) lists += kind_of(f) == proto::kind_list;
    EXPECT_EQ(r.host->hub->slot[b.slot].out_fill, 0u);
  }
  EXPECT_EQ(lists, 8u);
  EXPECT_TRUE(b.link.pending.empty()) << "chunks end on whole frames";
  EXPECT_FALSE(s.closed);
  EXPECT_TRUE(bits::word_test(r.w->streaming, s.client));
  EXPECT_EQ(r.w->links_opened, 1u);
}

// Whatever way a stream ends, its client slot and its link's member slot are free again: the browser closed it,
// stopped posting (the link's 10 s), or stopped reading (owed bytes that did not move for stream_stall_units).
TEST(WebRelay, AStreamEndsWithItsLinkAndAGoneBrowserFreesBoth) {
  enum How { closes, stops_posting, stops_reading };
  for (How how : {closes, stops_posting, stops_reading}) {
    WebRig r;
    Browser b;
    ASSERT_TRUE(b.join(&r, 0));
    int fd = -1;
    const u32 c = r.connect(&fd, 1, how == stops_reading ? 1024 : 0);
    ASSERT_NE(c, web::none);
    int small = 2048;
    if (how == stops_reading) setsockopt(static_cast<int>(r.w->socket[c]), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    r.send(fd, c, post(b.path + "?stream", Bytes()), 1);
    ASSERT_TRUE(bits::word_test(r.w->streaming, c)) << how;
    if (how == closes) {
      ::close(fd);
      fd = -1;
      pollfd pf{static_cast<int>(r.w->socket[c]), POLLIN, 0};
      poll(&pf, 1, 1000);
      web::client_io(r.host, c, 1, 2, r.wall);
    } else if (how == stops_posting) {
      web::upkeep(r.host, 1 + web::link_units - 1);
      EXPECT_TRUE(bits::word_test(r.w->streaming, c));
      web::upkeep(r.host, 1 + web::link_units);
    } else {
      hub::Slot* sl = &r.host->hub->slot[b.slot];
      memset(sl->out, 0x55, 60000);
      sl->out_fill = 60000;
      web::second(r.host, 2);
      ASSERT_NE(r.w->chunk_left[c], 0u) << "the socket took the whole chunk";
      const u32 moved = r.w->progress[c];
      web::upkeep(r.host, moved + web::stream_stall_units - 1);
      EXPECT_TRUE(bits::word_test(r.w->streaming, c));
      web::upkeep(r.host, moved + web::stream_stall_units);
    }
    EXPECT_FALSE(bits::word_test(r.w->busy, c)) << how;
    EXPECT_FALSE(web::is_link(r.w, b.slot)) << how;
    EXPECT_FALSE(hub::is_in(r.host->hub, hub::set_live, b.slot)) << how;
    EXPECT_EQ(r.w->stream_closed, 1u) << how;
    if (how == stops_posting) {
      // Between two chunks the end is an orderly one: the last chunk, then the close.
      Stream s{};
      s.fd = fd;
      fd = -1;
      s.read();
      EXPECT_TRUE(s.ended);
      EXPECT_TRUE(s.closed);
    }
    if (fd >= 0) ::close(fd);
  }
}

// ---- The browser viewer's side of the relay: its core run message by message, its POST commands carried to the
// rig's web server and the answers given back as the loader would.

struct Command {
  u32 kind;
  Bytes body;
};

std::vector<Command> commands(const webcore::Core& c) {
  std::vector<Command> out;
  for (u32 at = 0; at + 8 <= c.out_used;) {
    u32 kind, length;
    memcpy(&kind, c.out + at, 4);
    memcpy(&length, c.out + at + 4, 4);
    out.push_back(Command{kind, Bytes(c.out + at + 8, c.out + at + 8 + length)});
    at += 8 + length;
  }
  return out;
}

// The viewer's frame record lives in a runtime folder of the test's own.
struct Viewer {
  testutil::TempDir runtime_dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", runtime_dir.path};
  mem::Arena arena{};
  webcore::Core* c = nullptr;
  u32 now = 0;
  u32 clock = 60000000;       // the browser's wall clock, seconds since 2025 (0: a loader that gives none)
  std::vector<Command> seen;  // every command given so far

  // The link polls, as it does until its stream is open; the stream has tests of its own.
  Viewer() {
    EXPECT_TRUE(mem::arena_init(&arena, 4u << 20));
    c = webcore::create(&arena);
    c->streams = 0;
  }
  ~Viewer() {
    if (c) webcore::close(c);
    mem::release(&arena);
  }

  std::vector<Command> send(u32 kind, i32 a, i32 b, i32 cc, const std::string& payload = "") {
    Bytes m(64 + payload.size());
    memcpy(m.data(), &kind, 4);
    memcpy(m.data() + 4, &now, 4);
    memcpy(m.data() + 8, &a, 4);
    memcpy(m.data() + 12, &b, 4);
    memcpy(m.data() + 16, &cc, 4);
    memcpy(m.data() + web::at_clock, &clock, 4);
    for (u32 i = 32; i < 64; ++i) m[i] = static_cast<u8>(i * 7 + now);
    memcpy(m.data() + 64, payload.data(), payload.size());
    webcore::message(c, mem::Bytes(m.data(), m.size()));
    std::vector<Command> got = commands(*c);
    seen.insert(seen.end(), got.begin(), got.end());
    return got;
  }
  std::vector<Command> tick(u32 ms) {
    now += ms;
    return send(web::msg_tick, 0, 0, 0);
  }
  // Carries each POST of the commands to the rig and hands its answer back; the commands those answers gave.
  std::vector<Command> carry(WebRig* r, std::vector<Command> given) {
    std::vector<Command> all;
    for (size_t i = 0; i < given.size(); ++i) {
      if (given[i].kind != web::cmd_post) continue;
      u32 n;
      memcpy(&n, given[i].body.data(), 4);
      std::string path(given[i].body.begin() + 4, given[i].body.begin() + 4 + n);
      Bytes body(given[i].body.begin() + 4 + n, given[i].body.end());
      Answer a = r->request(post(path, body), now / 100);
      std::vector<Command> more = send(web::msg_net, a.status, 0, 0, std::string(a.body.begin(), a.body.end()));
      given.insert(given.end(), more.begin(), more.end());
      all.insert(all.end(), more.begin(), more.end());
    }
    return all;
  }
  bool gave(u32 kind, const std::string& body) const {
    for (const Command& k : seen)
      if (k.kind == kind && std::string(k.body.begin(), k.body.end()) == body) return true;
    return false;
  }
};

std::string flag(u32 v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

const char* const viewer_key = "vimbrel-key 1 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::vector<u8> key_bytes() {
  std::vector<u8> k(32);
  for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>(i);
  return k;
}

TEST(WebViewer, TheKeyIsTakenInEitherFormAndOthersAreRefused) {
  const std::string digits = std::string(viewer_key).substr(14);
  struct Case {
    std::string text;
    u32 verdict;
  } cases[] = {
      {viewer_key, auth::key_ok},
      {std::string(viewer_key) + "\r\n", auth::key_ok},
      {"  " + digits + "\n", auth::key_ok},
      {"vimbrel-key 1 " + digits.substr(0, 63), auth::key_length_bad},
      {digits + "0", auth::key_header_bad},
      {"vimbrel-key 2 " + digits, auth::key_header_bad},
      {std::string(64, '0'), auth::key_weak},
      {digits.substr(0, 62) + "zz", auth::key_hex_bad},
  };
  for (const Case& k : cases) {
    u8 out[32];
    EXPECT_EQ(webcore::read_key(mem::Bytes(reinterpret_cast<const u8*>(k.text.data()), k.text.size()), out), k.verdict)
        << k.text;
    if (k.verdict == auth::key_ok) {
      EXPECT_EQ(std::vector<u8>(out, out + 32), key_bytes());
    }
  }
}

TEST(WebViewer, NoStoredKeyAsksForOneAndABadOneIsNotTried) {
  Viewer v;
  v.send(web::msg_init, 640, 480, 150);
  EXPECT_EQ(v.c->pixel_width, 960);
  EXPECT_EQ(v.c->pixel_height, 720);
  EXPECT_TRUE(v.c->surface.use_vimb) << "drawn by the own renderer";
  EXPECT_EQ(v.c->frames, 1u);
  std::vector<Command> asked = v.send(web::msg_key, 0, 0, 0, "");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].kind, web::cmd_ask_key);
  EXPECT_EQ(std::string(asked[0].body.begin(), asked[0].body.end()), flag(1));
  std::vector<Command> bad = v.send(web::msg_key, 0, 0, 0, "not a key");
  for (const Command& k : bad) EXPECT_NE(k.kind, web::cmd_post);
  EXPECT_EQ(v.c->notice, webcore::notice_bad_key);
  EXPECT_FALSE(v.c->key_known);
}

TEST(WebViewer, TheRightKeyJoinsTheHostThroughTheRelayAndIsKept) {
  std::vector<u8> k = key_bytes();
  WebRig r(k.data());
  Viewer v;
  v.send(web::msg_init, 800, 600, 100);
  std::vector<Command> opening = v.send(web::msg_key, 0, 0, 0, viewer_key);
  ASSERT_EQ(opening.size(), 1u);
  EXPECT_EQ(opening[0].kind, web::cmd_post);
  EXPECT_EQ(std::string(opening[0].body.begin() + 4, opening[0].body.begin() + 9), "/link");
  // The proof goes in the next POST, to the link's own path.
  std::vector<Command> next = v.carry(&r, opening);
  EXPECT_EQ(v.c->link_state, webcore::link_linked);
  v.carry(&r, v.tick(100));
  ASSERT_TRUE(viewer::ready(&v.c->link));
  EXPECT_TRUE(v.gave(web::cmd_save_key, viewer_key));
  EXPECT_TRUE(v.gave(web::cmd_ask_key, flag(0)));
  u8 path[38];
  webcore::link_path(v.c->link_id, path);
  EXPECT_EQ(web::route_of(mem::Bytes(path, 38)), web::route_link_id);

  // The host's second queues its machine list; the polls carry it and keep the link for longer than ten seconds.
  for (u32 i = 0; i < 30; ++i) {
    hub::upkeep(r.host->hub, v.now / 100);
    web::upkeep(r.host, v.now / 100);
    v.carry(&r, v.tick(500));
  }
  EXPECT_TRUE(viewer::ready(&v.c->link));
  EXPECT_GT(v.c->link.lists, 0u);
  EXPECT_EQ(v.c->links, 1u);
}

// A viewer linked to the rig's host; the host's second queues its list when asked.
struct Linked : Viewer {
  std::vector<u8> k = key_bytes();
  WebRig r{k.data()};
  Linked() {
    send(web::msg_init, 800, 600, 100);
    carry(&r, send(web::msg_key, 0, 0, 0, viewer_key));
    carry(&r, tick(100));
    EXPECT_TRUE(viewer::ready(&c->link));
  }
  void host_second() {
    hub::upkeep(r.host->hub, now / 100);
    web::upkeep(r.host, now / 100);
  }
  // Ticks the given time after the next POST is due and carries it; the answer's commands.
  std::vector<Command> poll(u32 late = 0) { return carry(&r, tick(static_cast<u32>(c->next_post - now) + late)); }
  u64 wait() const { return c->next_post - now; }
};

TEST(WebViewer, PollsSettleJustAfterTheHostsSecondAndAreNotRushedByItsData) {
  Linked v;
  // The host's second: its list comes in the next answer. That answer makes the link no busier: the next poll is
  // timed to reach the host just before its next second, this poll's delay counted in.
  v.host_second();
  v.poll();
  ASSERT_GT(v.c->link.lists, 0u);
  EXPECT_EQ(v.wait(), webcore::host_second_ms - webcore::steady_margin_ms);
  v.host_second();
  v.poll(30);
  EXPECT_EQ(v.wait(), webcore::host_second_ms - webcore::steady_margin_ms - 30);
  // Nothing yet: asked again shortly, until the last data is late_window_ms old; then every poll_ms.
  v.poll();
  EXPECT_EQ(v.wait(), webcore::late_poll_ms);
  for (u32 i = 0; i < 20 && v.wait() == webcore::late_poll_ms; ++i) v.poll();
  EXPECT_EQ(v.wait(), webcore::poll_ms);
  EXPECT_GE(v.now, v.c->data_heard_at + webcore::late_window_ms);
  // Frames to send make the next poll come at once, whatever came with the answer.
  ASSERT_TRUE(viewer::ask_own(&v.c->link, proto::kind_unwatch, v.now));
  std::vector<Command> out = v.tick(1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, web::cmd_post);
}

TEST(WebViewer, PollWaitsFollowTheLinkAndTheHostsSecond) {
  struct Case {
    const char* what;
    u8 busy, fresh, heard;
    u32 heard_ago, delay;
    u32 wait;
  };
  const u32 steady = webcore::host_second_ms - webcore::steady_margin_ms;
  const Case cases[] = {
      {"busy, whatever came", 1, 1, 1, 0, 0, webcore::busy_poll_ms},
      {"the host's data, answered at once", 0, 1, 1, 0, 0, steady},
      {"the host's data, answered late", 0, 1, 1, 0, 45, steady - 45},
      {"the host's data, the delay counted at most poll_delay_most", 0, 1, 1, 0, webcore::poll_delay_most,
       steady - webcore::poll_delay_most},
      {"nothing yet, the last data just heard", 0, 0, 1, 900, 0, webcore::late_poll_ms},
      {"nothing for late_window_ms", 0, 0, 1, webcore::late_window_ms, 0, webcore::poll_ms},
      {"nothing ever heard", 0, 0, 0, 0, 0, webcore::poll_ms},
  };
  Viewer v;
  for (const Case& k : cases) {
    v.c->now = 100000;
    v.c->busy = k.busy;
    v.c->data_heard = k.heard;
    v.c->data_heard_at = v.c->now - k.heard_ago;
    v.c->poll_delay = k.delay;
    EXPECT_EQ(webcore::poll_wait(*v.c, k.fresh), k.wait) << k.what;
  }
}

TEST(WebViewer, TheHostsDataIsDrawnAtMostOnceInItsSpellAndWhatTheUserDoesAtOnce) {
  Linked v;
  v.host_second();
  v.poll();
  const u32 drawn = v.c->frames;
  ASSERT_TRUE(v.c->data_paced);
  // The host's data again within the spell (an early poll: the viewer had a frame to send) waits for the spell's
  // end; the page is asked to wake then.
  const auto early = [&v]() {
    v.tick(300);
    v.host_second();
    ASSERT_TRUE(viewer::ask_own(&v.c->link, proto::kind_unwatch, v.now));
    const u32 lists = v.c->link.lists;
    v.carry(&v.r, v.tick(1));
    ASSERT_GT(v.c->link.lists, lists);
  };
  early();
  EXPECT_EQ(v.c->frames, drawn);
  ASSERT_TRUE(v.c->data_due);
  const u64 end = v.c->data_frame_at + webcore::data_frame_ms;
  ASSERT_GT(end, v.now);
  EXPECT_EQ(webcore::wake_ms(*v.c), end - v.now);
  v.tick(static_cast<u32>(end - v.now) - 1);
  EXPECT_EQ(v.c->frames, drawn);
  v.tick(1);
  EXPECT_EQ(v.c->frames, drawn + 1);
  EXPECT_FALSE(v.c->data_due);
  // What the user does is drawn at once, the waiting data with it.
  early();
  ASSERT_TRUE(v.c->data_due);
  v.send(web::msg_resize, 900, 600, 100);
  EXPECT_EQ(v.c->frames, drawn + 2);
  EXPECT_FALSE(v.c->data_due);
}

TEST(WebViewer, ThePageIsWokenOnlyWhenTheViewerHasSomethingToDo) {
  Linked v;
  v.host_second();
  v.poll();
  // A POST due: woken for it, at most wake_most_ms away.
  EXPECT_EQ(webcore::wake_ms(*v.c), v.wait());
  v.c->next_post = v.now + 5 * webcore::wake_most_ms;
  EXPECT_EQ(webcore::wake_ms(*v.c), webcore::wake_most_ms);
  // A POST out: nothing to time until its answer.
  std::vector<Command> out = v.tick(static_cast<u32>(v.c->next_post - v.now));
  ASSERT_TRUE(v.c->posting);
  EXPECT_EQ(webcore::wake_ms(*v.c), webcore::wake_most_ms);
  v.carry(&v.r, out);
  // A stored range times its requests by the tick.
  hist::Table table{};
  v.c->history.table = &table;
  EXPECT_EQ(webcore::wake_ms(*v.c), web::tick_ms);
  v.c->history.table = nullptr;
  // A lost link is woken when its wait for the next try is over.
  v.tick(static_cast<u32>(v.c->next_post - v.now));
  ASSERT_TRUE(v.c->posting);
  v.send(web::msg_net, 0, 0, 0, "");
  ASSERT_EQ(v.c->link_state, webcore::link_none);
  v.tick(400);
  EXPECT_EQ(webcore::wake_ms(*v.c), v.c->next_post - v.now);
  EXPECT_LT(webcore::wake_ms(*v.c), webcore::wake_most_ms);
}

TEST(WebViewer, AWrongKeyIsForgottenAndAskedForAgain) {
  std::vector<u8> k = key_bytes();
  k[0] ^= 1;
  WebRig r(k.data());
  Viewer v;
  v.send(web::msg_init, 800, 600, 100);
  v.carry(&r, v.send(web::msg_key, 0, 0, 0, viewer_key));
  v.carry(&r, v.tick(100));
  EXPECT_FALSE(v.c->key_known);
  EXPECT_EQ(v.c->notice, webcore::notice_wrong_key);
  EXPECT_TRUE(v.gave(web::cmd_save_key, ""));
  EXPECT_TRUE(v.gave(web::cmd_ask_key, flag(1)));
  EXPECT_FALSE(v.gave(web::cmd_save_key, viewer_key));
  // No new link is tried with the forgotten key.
  for (const Command& c : v.tick(20000)) EXPECT_NE(c.kind, web::cmd_post);
}

TEST(WebViewer, ALostLinkIsOpenedAgainAfterAWaitThatGrows) {
  std::vector<u8> k = key_bytes();
  WebRig r(k.data());
  Viewer v;
  v.send(web::msg_init, 800, 600, 100);
  v.carry(&r, v.send(web::msg_key, 0, 0, 0, viewer_key));
  v.carry(&r, v.tick(100));
  ASSERT_TRUE(viewer::ready(&v.c->link));
  // The host forgot the link (404), then the network fails (0), then an opening answer comes without its link id.
  std::vector<Command> poll = v.tick(1000);
  ASSERT_EQ(poll.size(), 1u);
  v.send(web::msg_net, 404, 0, 0, "");
  EXPECT_EQ(v.c->link_state, webcore::link_none);
  EXPECT_TRUE(v.tick(webcore::retry_first_ms - 1).empty());
  std::vector<Command> again = v.tick(1);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(std::string(again[0].body.begin() + 4, again[0].body.end()).substr(0, 5), "/link");
  v.send(web::msg_net, 0, 0, 0, "");
  EXPECT_TRUE(v.tick(2 * webcore::retry_first_ms - 1).empty());
  ASSERT_EQ(v.tick(1).size(), 1u);
  v.send(web::msg_net, 200, 0, 0, "short");
  EXPECT_EQ(v.c->link_state, webcore::link_none);
  // An answer that comes when no POST is out changes nothing.
  v.send(web::msg_net, 200, 0, 0, std::string(40, 'x'));
  EXPECT_EQ(v.c->link_state, webcore::link_none);
  // The next link opens and works.
  for (u32 i = 0; i < 10 && !viewer::ready(&v.c->link); ++i) v.carry(&r, v.tick(1000));
  EXPECT_TRUE(viewer::ready(&v.c->link));
  EXPECT_EQ(v.c->links, 4u);
}

// With its stream open the viewer is woken by the host's data, a part each host second, and not by a timer: it asks
// to be woken only for its next POST, which it makes every stream_post_ms (or at once with frames of its own), and
// whose answer is empty. A stream that ends ends the link, which is opened again.
TEST(WebViewer, WithItsStreamOpenTheHostsSecondsWakeTheViewerAndItPostsOnlyToKeepTheLink) {
  std::vector<u8> k = key_bytes();
  WebRig r(k.data());
  Viewer v;
  v.c->streams = 1;
  v.send(web::msg_init, 800, 600, 100);
  v.carry(&r, v.send(web::msg_key, 0, 0, 0, viewer_key));
  v.carry(&r, v.tick(100));
  ASSERT_TRUE(viewer::ready(&v.c->link));
  // The stream is asked for as soon as the session is open.
  std::vector<Command> asked;
  for (const Command& k2 : v.seen)
    if (k2.kind == web::cmd_stream) asked.push_back(k2);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(v.c->stream, webcore::stream_asked);
  u32 id, n;
  memcpy(&id, asked[0].body.data(), 4);
  memcpy(&n, asked[0].body.data() + 4, 4);
  const std::string path(asked[0].body.begin() + 8, asked[0].body.begin() + 8 + n);
  ASSERT_EQ(path.substr(path.size() - 7), "?stream");
  // Until its head comes nothing is posted, whatever is due.
  ASSERT_TRUE(viewer::ask_own(&v.c->link, proto::kind_unwatch, v.now));
  EXPECT_TRUE(v.tick(web::stream_post_ms).empty());
  Stream s(&r, path.substr(0, path.size() - 7), Bytes(asked[0].body.begin() + 8 + n, asked[0].body.end()), v.now / 100);
  ASSERT_FALSE(s.head.empty());
  std::vector<Command> given = v.send(web::msg_net, 200, 0 + web::net_part, static_cast<i32>(id));
  EXPECT_EQ(v.c->stream, webcore::stream_open);
  v.carry(&r, given);  // the frame that waited goes at once

  u32 posts = 0, timer_wakes = 0;
  const u32 lists = v.c->link.lists, frames = v.c->frames, base = v.now;
  for (u32 second = 0; second < 12; ++second) {
    // The page's timer fires only when the viewer's wait ends before the host's next second.
    if (webcore::wake_ms(*v.c) < 1000) {
      ++timer_wakes;
      std::vector<Command> out = v.tick(webcore::wake_ms(*v.c));
      for (const Command& k2 : out) posts += k2.kind == web::cmd_post;
      v.carry(&r, out);
    }
    v.now = base + (second + 1) * 1000;
    hub::upkeep(r.host->hub, v.now / 100);
    web::upkeep(r.host, v.now / 100);
    web::second(r.host, v.now / 100);
    for (const Bytes& part : s.read()) {
      std::vector<Command> out = v.send(web::msg_net, 200, web::net_part, static_cast<i32>(id),
                                        std::string(part.begin(), part.end()));
      for (const Command& k2 : out) posts += k2.kind == web::cmd_post;
      v.carry(&r, out);
    }
  }
  EXPECT_GE(v.c->link.lists, lists + 11);
  EXPECT_GE(v.c->frames, frames + 11) << "each second's data drawn as it came";
  EXPECT_LE(posts, 3u);
  EXPECT_LE(timer_wakes, 3u);
  EXPECT_EQ(v.c->links, 1u);
  EXPECT_FALSE(s.closed);

  // The host ends the link: its stream's end ends the viewer's link, the stream is let go, a new link follows.
  web::drop_link(r.host, web::find_link(r.w, v.c->link_id));
  s.read();
  ASSERT_TRUE(s.ended);
  std::vector<Command> ended = v.send(web::msg_net, 200, web::net_end, static_cast<i32>(id));
  EXPECT_EQ(v.c->link_state, webcore::link_none);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].kind, web::cmd_stream);
  EXPECT_EQ(ended[0].body.size(), 8u) << "a STREAM with no path";
  std::vector<Command> again = v.tick(webcore::retry_first_ms);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].kind, web::cmd_post);
}

// ---- A watched machine's pages, without a host: the machine's copy and its processes are filled as their frames
// would fill them, and the pages are driven by the loader's pointer and typing messages.

struct Watched : Viewer {
  Watched() {
    send(web::msg_init, 1280, 800, 100);
    machine::Machine* m = &c->remote->machine;
    machine::set_counts(m, 4, 1, 1);
    m->memory_total = 16384;
    for (u32 i = 0; i < 5; ++i) {
      ring::Row row{};
      row.load = static_cast<u16>(1000 * i);
      row.memory_mib = 4096;
      machine::push(m, &row);
    }
    const char* names[] = {"chrome.exe", "Chromium", "sshd", "bash", "archive"};
    for (u32 i = 0; i < 5; ++i) {
      const std::string name = names[i];
      model::proc_upsert(c->procs, 100 + i, 1, 10 + i, mem::Bytes(reinterpret_cast<const u8*>(name.data()), name.size()));
    }
    c->page = webcore::page_machine;
    c->watching = 1;
    c->watched_id[0] = 0x42;
    proclist::rebuild(c->list, c->procs);
  }
  // A press and release at a point, as the browser sends them.
  void click(i32 x, i32 y) {
    send(web::msg_pointer, x, y, web::pointer_down);
    send(web::msg_pointer, x, y, web::pointer_up);
  }
  void button(i32 which) { click(1280 - 160 * which - 80, 20); }
  void type(const std::string& text) {
    for (unsigned char ch : text) send(web::msg_char, ch, 0, 0);
  }
  std::string filter() const {
    mem::Bytes f = proclist::filter_text(c->list);
    return std::string(reinterpret_cast<const char*>(f.ptr), f.len);
  }
};

TEST(WebViewer, TheOverviewShowsTheWatchedMachineAndItsCardsOpenItsPages) {
  Watched v;
  v.button(webcore::button_overview);
  EXPECT_EQ(v.c->tab, webcore::tab_overview);
  EXPECT_TRUE(views::overview(v.c->views));
  EXPECT_GE(v.c->overview.card_count, 3u) << "processor, memory and disks at least";
  const u32 frames = v.c->frames;
  // Its top five are the watched machine's processes, once their first record is folded.
  v.c->remote->proc_frames = 1;
  v.tick(100);
  v.send(web::msg_pointer, 700, 500, web::pointer_move);
  EXPECT_GT(v.c->frames, frames);
  EXPECT_EQ(v.c->overview.top_count, 5u);
  EXPECT_EQ(v.c->overview.flags & overview::flag_measuring, 0);

  // A card opens its resource view; a top process the Processes tab with that process selected.
  const i32 cpu_x = v.c->overview.card_x[0] + 40, cpu_y = v.c->overview.card_y[0] + 60;
  v.click(cpu_x, cpu_y);
  EXPECT_EQ(v.c->tab, webcore::tab_resources);
  EXPECT_EQ(v.c->views.view, layout::view_cpu);
  EXPECT_FALSE(views::overview(v.c->views));
  v.button(webcore::button_overview);
  u32 tops = 0;
  while (tops < v.c->overview.card_count && v.c->overview.card_kind[tops] != overview::card_tops) ++tops;
  ASSERT_LT(tops, v.c->overview.card_count);
  const u64 first = overview::top_row(v.c->overview, v.c->procs, 0);
  v.click(v.c->overview.card_x[tops] + 40, v.c->overview.top_list_y + 4);
  EXPECT_EQ(v.c->tab, webcore::tab_processes);
  EXPECT_EQ(v.c->list->selected_handle, first);
}

TEST(WebViewer, AStoredRangeIsAskedOfTheHostOnlyWhileItIsShown) {
  Watched v;
  v.button(webcore::button_resources);
  ASSERT_EQ(views::ranges(v.c->views), views::range_count) << "the loader gives the clock: every range is offered";
  const draw::Rect hour = views::range_rect(v.c->views, 2);
  v.click(hour.left + 4, hour.top + 4);
  EXPECT_EQ(views::range_of(v.c->views), 2u);
  ASSERT_NE(v.c->history.table, nullptr);
  EXPECT_EQ(v.c->history.kind, localhist::source_host);
  EXPECT_EQ(v.c->views.history, v.c->history.table);
  EXPECT_EQ(std::vector<u8>(v.c->history.table->id, v.c->history.table->id + 16),
            std::vector<u8>(v.c->watched_id, v.c->watched_id + 16));
  // No link yet: the chart says the host is not connected, and nothing is lost by asking later.
  v.tick(100);
  EXPECT_EQ(v.c->history.table->state, hist::state_unreachable);
  // Another tab closes the source, and the link forgets the request (its answer must not land in freed memory);
  // coming back opens it again.
  v.c->link.pending = v.c->history.table;
  v.button(webcore::button_processes);
  EXPECT_EQ(v.c->history.table, nullptr);
  EXPECT_EQ(v.c->link.pending, nullptr);
  v.button(webcore::button_resources);
  EXPECT_NE(v.c->history.table, nullptr);
  // The Overview keeps drawing the live minute while the resources tab holds a stored range.
  const u32 frames = v.c->frames;
  v.button(webcore::button_overview);
  EXPECT_EQ(v.c->history.table, nullptr);
  EXPECT_GE(v.c->overview.card_count, 3u);
  EXPECT_GT(v.c->frames, frames);
  v.button(webcore::button_machines);
  EXPECT_EQ(v.c->history.table, nullptr);

  // A loader that gives no clock offers the live ranges only.
  Watched old;
  old.clock = 0;
  old.button(webcore::button_resources);
  EXPECT_EQ(views::ranges(old.c->views), 2u);
  EXPECT_EQ(old.c->history.table, nullptr);
}

TEST(WebViewer, TypingFiltersTheProcessesPage) {
  Watched v;
  v.type("ch");
  EXPECT_EQ(v.filter(), "") << "the resources tab takes no typing";
  v.button(webcore::button_processes);
  const u32 all = v.c->list->shown;
  ASSERT_EQ(all, 5u);
  struct Step {
    u32 kind, value;
    const char* filter;
    u32 shown;
  } steps[] = {
      {web::msg_char, 'c', "c", 3},  // chrome.exe, Chromium, archive
      {web::msg_char, 'H', "cH", 3},
      {web::msg_char, 'r', "cHr", 2},
      {web::msg_char, 0xE9, "cHr", 2},  // outside what a filter holds: ignored
      {web::msg_key_down, 8, "cH", 3},  // Backspace
      {web::msg_key_down, 46, "cH", 3},  // Delete: nothing on a remote machine's list
      {web::msg_key_down, 27, "", 5},   // Escape clears
      {web::msg_key_down, 8, "", 5},
  };
  for (const Step& k : steps) {
    v.send(k.kind, static_cast<i32>(k.value), 0, 0);
    EXPECT_EQ(v.filter(), k.filter) << k.value;
    EXPECT_EQ(v.c->list->shown, k.shown) << k.value;
  }
  // The arrows move the selection, as on the window's page: the first press selects the first row, and it stops at
  // either end.
  const std::pair<u32, u32> moves[] = {{40, 0}, {40, 1}, {38, 0}, {38, 0}, {40, 1}, {40, 2}, {40, 3}, {40, 4}, {40, 4}};
  for (const auto& [key, selected] : moves) {
    v.send(web::msg_key_down, static_cast<i32>(key), 0, 0);
    EXPECT_EQ(v.c->list->selected, selected) << key;
  }
}

// Eight client slots, two per address for requests still coming in: a newcomer takes the place of the idlest
// client instead of being turned away, and a request head has one second to arrive whole.
TEST(WebServer, NewcomersTakeThePlaceOfTheIdlestAndHeadsHaveOneSecond) {
  WebRig r;
  int fds[12];
  // Connections a browser opens at once all keep their places while their requests are on the way.
  u32 times[] = {10, 11, 12};
  for (u32 i = 0; i < 3; ++i) ASSERT_NE(r.connect(&fds[i], times[i], 0, 0x7F000001), web::none);
  EXPECT_EQ(bits::word_count(r.w->busy), 3u);
  EXPECT_EQ(r.w->evicted, 0u);
  // Past their grace, two of them still sending: a further one from the address takes the place of the oldest.
  ASSERT_NE(r.connect(&fds[3], 13, 0, 0x7F000001), web::none);
  EXPECT_EQ(bits::word_count(r.w->busy), 3u);
  EXPECT_EQ(r.w->evicted, 1u);
  Answer first = WebRig::read_answer(fds[0]);
  EXPECT_TRUE(first.closed);
  EXPECT_EQ(first.status, 0) << "closed without an answer";

  // Every slot busy, from five more addresses: the next comer takes the place of the one without progress longest
  // (the second client, accepted at 11).
  for (u32 i = 4; i < 9; ++i) ASSERT_NE(r.connect(&fds[i], 10 + i, 0, 0x7F000100 + i), web::none);
  EXPECT_EQ(r.w->busy, 0xFFu);
  u32 c = r.connect(&fds[9], 20, 0, 0x7F000201);
  ASSERT_NE(c, web::none);
  EXPECT_EQ(r.w->evicted, 2u);
  EXPECT_EQ(r.w->address[c], 0x7F000201u);
  EXPECT_TRUE(WebRig::read_answer(fds[1]).closed);

  // Half a request does not keep a client past its second.
  u32 at = r.w->accepted[c];
  web::upkeep(r.host, at + web::head_units - 1);
  EXPECT_TRUE(bits::word_test(r.w->busy, c));
  web::upkeep(r.host, at + web::head_units);
  EXPECT_FALSE(bits::word_test(r.w->busy, c));
  for (u32 i : {2u, 3u, 9u}) {
    Answer a = WebRig::read_answer(fds[i]);
    EXPECT_TRUE(a.closed) << i;
    EXPECT_EQ(a.status, 0) << "closed without an answer";
  }
  for (u32 i = 4; i < 9; ++i) ::close(fds[i]);
}

TEST(WebServer, ARequestArrivingInPiecesIsAnsweredOnceWhole) {
  WebRig r;
  int fd = -1;
  u32 c = r.connect(&fd, 0);
  std::string request = "GET /icon.svg?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  r.send(fd, c, request.substr(0, 20), 0);
  EXPECT_FALSE(bits::word_test(r.w->responding, c));
  r.send(fd, c, request.substr(20), 1);
  Answer a = WebRig::read_answer(fd);
  ASSERT_EQ(a.status, 200);
  EXPECT_NE(a.head.find("\r\nContent-Type: image/svg+xml\r\n"), std::string::npos);
  EXPECT_EQ(std::string(a.body.begin(), a.body.end()), std::string(reinterpret_cast<const char*>(web::icon_svg), web::icon_svg_size));
  EXPECT_EQ(r.w->answered, 1u);
}

u64 late_in_the_wait() { return 950; }

// A connection to the web port from the address, not yet accepted.
int dial(u16 port, u32 source) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  return fd;
}

// A round reads its clock before its wait, which may last nearly a second. Connections accepted at the end of such a
// wait still have their second for the request, and a browser's connections that come in a round apart all keep
// their places: stamped with the round's clock, they were closed at the next round, a fresh connection reset.
TEST(WebServer, ConnectionsAcceptedAtTheEndOfALongWaitKeepTheirTime) {
  WebRig r;
  r.host->clock = late_in_the_wait;
  int fds[3];
  for (int i = 0; i < 2; ++i) fds[i] = dial(r.w->port, 0x7F000001);
  hub::step(r.host, 1000, 0, r.wall);
  EXPECT_EQ(bits::word_count(r.w->busy), 2u);
  fds[2] = dial(r.w->port, 0x7F000001);
  hub::step(r.host, 1000, 1000, r.wall);
  EXPECT_EQ(bits::word_count(r.w->busy), 3u);
  EXPECT_EQ(r.w->evicted + r.w->idle_closed, 0u);
  const std::string request = "GET /icon.svg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (int fd : fds) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  for (u64 tick = 1100; tick < 3000 && r.w->answered < 3; tick += 100) hub::step(r.host, 100, tick, r.wall);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WebRig::read_answer(fds[i]).status, 200) << "connection " << i;
}

}  // namespace
