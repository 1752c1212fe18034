// The HTTP GET and the kept-alive client over WinHTTP against the loopback servers of the Linux tests
// (tests/update/server.py and tests/internet/server.py, started by tests/windows/run, which names their folders):
// limits to the byte, redirects returned as they came, failure stages and the system's error words, time bounds, a
// file sink, an untrusted certificate refused, the updater's own refusal of plain http where it is not allowed, and
// the internet probe's client and request child on top of it.
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "internet/request.h"
#include "platform/http.h"
#include "sampling/child.h"
#include "sampling/feed.h"
#include "tests/windows/support.h"
#include "update/update.h"

namespace {

using winsupport::bytes;
using winsupport::env;
using winsupport::Server;
std::string read_text(const std::string& path) { return winsupport::file_text(path); }

http::Request request(const std::string& url, u64 limit, mem::Slice buffer) {
  http::Request r{};
  r.url = bytes(url);
  r.user_agent = mem::lit("Vimbrel");
  r.resolve_ms = r.connect_ms = r.send_ms = r.receive_ms = 3000;
  r.limit = limit;
  r.buffer = buffer;
  return r;
}

TEST(WindowsHttp, LimitsRedirectsStagesAndAFileSink) {
  Server s("VIMBREL_TEST_UPDATE_SERVER");
  ASSERT_NE(s.port, 0) << "VIMBREL_TEST_UPDATE_SERVER names no running server (tests/windows/run starts it)";
  const std::string body(5000, 'b'), url = s.url("/body");
  s.set("routes.json", "{\"/body\": {\"status\": 200, \"body\": \"" + body + "\"}, \"/moved\": {\"status\": 302, "
                       "\"headers\": {\"Location\": \"" + url + "\"}}, \"/empty\": {\"status\": 200, \"body\": \"\"}, "
                       "\"/slow\": {\"status\": 200, \"body\": \"" + std::string(120, 's') + "\", \"trickle_ms\": 500}, "
                       "\"/silent\": {\"status\": 200, \"body\": \"late\", \"stall_before_ms\": 6000}}");
  u8 buffer[8192];
  const size_t before = s.log().size();
  struct Case {
    const char* name;
    std::string url;
    u64 limit;
    u32 ok, stage, status, error;
    u64 received;
  };
  const Case cases[] = {
      {"exactly the limit", url, 5000, 1, 0, 200, 0, 5000},
      {"one byte over", url, 4999, 0, http::stage_limit, 200, 0, 4999},
      {"an empty body", s.url("/empty"), 5000, 1, 0, 200, 0, 0},
      {"a redirect is the answer", s.url("/moved"), 5000, 1, 0, 302, 0, 0},
      {"not found", s.url("/nothing"), 5000, 1, 0, 404, 0, 8},
      {"nobody listens", "http://127.0.0.1:1/x", 5000, 0, http::stage_send, 0, http::error_connect, 0},
      {"an answer that never comes", s.url("/silent"), 5000, 0, http::stage_send, 0, http::error_timeout, 0},
      {"no path", "http://127.0.0.1", 5000, 0, http::stage_url, 0, 0, 0},
      {"no scheme the client speaks", "ftp://127.0.0.1/x", 5000, 0, http::stage_url, 0, 0, 0},
      {"a secure request to a plain server", "https://127.0.0.1:" + std::to_string(s.port) + "/body", 5000, 0,
       http::stage_send, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    http::Request r = request(c.url, c.limit, mem::Slice{buffer, sizeof buffer});
    http::Result out;
    EXPECT_EQ(http::get(&r, &out), c.ok);
    EXPECT_EQ(out.stage, c.stage);
    EXPECT_EQ(out.status, c.status);
    if (c.error) EXPECT_EQ(out.error, c.error);
    if (c.stage != http::stage_send) EXPECT_EQ(out.received, c.received);
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "not here");
  // Each request once, as asked: the agent named, no cookie, no credentials, and the redirect not followed.
  EXPECT_EQ(s.log().substr(before), "/body Vimbrel - -\n/body Vimbrel - -\n/empty Vimbrel - -\n/moved Vimbrel - -\n"
                                    "/nothing Vimbrel - -\n/silent Vimbrel - -\n");

  // A file of trusted certificates cannot be honoured by the system's client: refused before any request.
  http::Request r = request(url, 5000, mem::Slice{buffer, sizeof buffer});
  r.ca_file = mem::lit("Z:\\certs.pem");
  http::Result out;
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_EQ(out.stage, u32(http::stage_session));
  EXPECT_EQ(out.error, u32(ERROR_NOT_SUPPORTED));

  // Into an open file: every byte, written where the file stands; past the limit, stage 6.
  char folder[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "get", 0, path);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD wrote = 0;
  WriteFile(h, "head:", 5, &wrote, nullptr);
  r = request(url, 5000, mem::Slice{});
  r.file = u64(reinterpret_cast<uintptr_t>(h));
  EXPECT_EQ(http::get(&r, &out), 1u);
  EXPECT_EQ(out.received, 5000u);
  r.limit = 4000;
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_EQ(out.stage, u32(http::stage_limit));
  CloseHandle(h);
  EXPECT_EQ(read_text(path).substr(0, 5005), "head:" + body);
  DeleteFileA(path);

  // A server that sends a byte now and then never lets a wait run out: the bound of the whole transfer ends it.
  const std::string slow = s.url("/slow");
  r = request(slow, 256, mem::Slice{buffer, sizeof buffer});
  r.total_ms = 3000;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_LT(GetTickCount64() - start, 20000u);
  EXPECT_EQ(out.stage, u32(http::stage_read));
  EXPECT_EQ(out.error, u32(http::error_timeout));
  EXPECT_EQ(out.status, 200u);
  EXPECT_LT(out.received, 120u);
}

// A secure request checks the server's certificate against the system's store: a certificate nobody trusts is
// refused before any request is sent. (Wine takes its trusted roots from the Linux system's certificates and ignores
// roots added to its stores, so the accepted side and the name check cannot be shown under wine.)
TEST(WindowsHttp, SecureRequestsRefuseAnUntrustedCertificate) {
  Server s("VIMBREL_TEST_SECURE_SERVER");
  ASSERT_NE(s.port, 0) << "VIMBREL_TEST_SECURE_SERVER names no running server (tests/windows/run starts it)";
  s.set("routes.json", "{\"/secure\": {\"status\": 200, \"body\": \"over tls\"}}");
  u8 buffer[64];
  http::Result out;
  const std::string url = "https://127.0.0.1:" + std::to_string(s.port) + "/secure";
  http::Request r = request(url, sizeof buffer, mem::Slice{buffer, sizeof buffer});
  EXPECT_EQ(http::get(&r, &out), 0u);
  EXPECT_EQ(out.stage, u32(http::stage_send));
  EXPECT_EQ(out.status, 0u);
  // Windows says the secure channel failed (12175); wine names its handshake's failure (12157) for the same refusal.
  EXPECT_EQ(out.error, winsupport::under_wine() ? u32(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
                                                : u32(ERROR_WINHTTP_SECURE_FAILURE));
  EXPECT_EQ(s.log(), "");
}

// The updater's GET: plain http only to 127.0.0.1 and only where the configuration allows it, and nothing asked of
// the network before that is decided.
TEST(WindowsHttp, TheUpdaterAllowsPlainHttpOnlyToItsTestServer) {
  Server s("VIMBREL_TEST_UPDATE_SERVER");
  ASSERT_NE(s.port, 0);
  s.set("routes.json", "{\"/feed/latest.txt\": {\"status\": 200, \"body\": \"manifest\"}}");
  const std::string feed = s.url("/feed/latest.txt");
  update::Config c = update::make_config(mem::lit("0.1.81"));
  u8 buffer[4096];
  update::HttpResult out;
  const size_t before = s.log().size();
  EXPECT_EQ(update::http_get_to_memory(&c, bytes(feed), mem::Slice{buffer, sizeof buffer}, 4096, &out), 0u);
  EXPECT_EQ(out.stage, 1u);
  EXPECT_EQ(s.log().size(), before);
  c.flags |= update::flag_local;
  EXPECT_EQ(update::http_get_to_memory(&c, bytes(feed), mem::Slice{buffer, sizeof buffer}, 4096, &out), 1u);
  EXPECT_EQ(out.status, 200u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), out.received), "manifest");
}

// The speed test's client: requests on one kept-alive connection, bodies cut by their limits, an upload of zero
// bytes, and the system's error words for a stall and a refused connection.
TEST(WindowsHttp, TheKeptAliveClientOfTheSpeedTest) {
  Server s("VIMBREL_TEST_PROBE_SERVER");
  ASSERT_NE(s.port, 0) << "VIMBREL_TEST_PROBE_SERVER names no running server (tests/windows/run starts it)";
  s.set("behaviour.json", "{}");
  http::Client client{};
  http::Service service{mem::lit("127.0.0.1"), u32(s.port), 0, mem::lit("Vimbrel"), 2000};
  ASSERT_EQ(http::client_open(&client, &service), 1u) << client.error;
  struct Case {
    const char* name;
    http::Exchange x;
    u32 status, cut;
    u64 moved;
  } cases[] = {
      {"an empty body", {0, mem::lit("/__down?bytes=0"), 0, 0, 0}, 200, 0, 0},
      {"a whole download", {0, mem::lit("/__down?bytes=300000"), 0, 0, 0}, 200, 0, 300000},
      {"an empty body again", {0, mem::lit("/__down?bytes=0"), 0, 0, 0}, 200, 0, 0},
      {"a download cut at its limit", {0, mem::lit("/__down?bytes=300000"), 0, 100000, 0}, 200, 1, 100000},
      {"an upload", {1, mem::lit("/__up"), 200000, 0, 0}, 200, 0, 200000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    http::Answer a;
    EXPECT_EQ(http::client_exchange(&client, &c.x, &a), 1u) << client.error;
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.cut, c.cut);
    EXPECT_EQ(a.moved, c.moved);
  }
  // The first three requests came over one connection: one client port in the log.
  std::istringstream lines(s.log());
  std::string line, ports[3];
  for (int i = 0; i < 3 && std::getline(lines, line); i++) ports[i] = line.substr(line.rfind(' ') + 1);
  EXPECT_EQ(ports[0], ports[1]);
  EXPECT_EQ(ports[1], ports[2]);
  EXPECT_NE(s.log().find("GET /__down?bytes=0 Vimbrel 0"), std::string::npos);
  EXPECT_NE(s.log().find("POST /__up Vimbrel 200000"), std::string::npos);

  // A download that moves slowly is cut by its time limit, not failed.
  s.set("behaviour.json", "{\"rate\": 100000}");
  http::Exchange slow{0, mem::lit("/__down?bytes=25000000"), 0, 0, 1000000};
  http::Answer a;
  EXPECT_EQ(http::client_exchange(&client, &slow, &a), 1u) << client.error;
  EXPECT_EQ(a.cut, 1u);
  EXPECT_GT(a.moved, 0u);
  EXPECT_LT(a.moved, 1000000u);

  // Another status is an answer; a stall past the step's time-out is the time-out word.
  s.set("behaviour.json", "{\"status\": 503}");
  http::Exchange empty{0, mem::lit("/__down?bytes=0"), 0, 0, 0};
  EXPECT_EQ(http::client_exchange(&client, &empty, &a), 1u);
  EXPECT_EQ(a.status, 503u);
  s.set("behaviour.json", "{\"stall_ms\": 5000}");
  EXPECT_EQ(http::client_exchange(&client, &empty, &a), 0u);
  EXPECT_EQ(client.error, http::error_timeout);
  http::client_close(&client);
  EXPECT_EQ(client.state, nullptr);
  s.set("behaviour.json", "{}");

  // Nobody listening: the connection word.
  http::Service closed{mem::lit("127.0.0.1"), 1, 0, mem::lit("Vimbrel"), 2000};
  ASSERT_EQ(http::client_open(&client, &closed), 1u);
  EXPECT_EQ(http::client_exchange(&client, &empty, &a), 0u);
  EXPECT_EQ(client.error, http::error_connect);
  http::client_close(&client);
}

// The internet probe over the system's client: a latency probe on a warmed, kept connection, a whole speed test, the
// failures as the probe's statuses, and the `--internet` child of vimbrel.exe answering through its section.
TEST(WindowsProbe, LatencySpeedTestAndFailures) {
  Server s("VIMBREL_TEST_PROBE_SERVER");
  ASSERT_NE(s.port, 0);
  s.set("behaviour.json", "{\"rate\": 20000000}");  // paced, so each direction lasts long enough to count
  internet::Endpoint e;
  internet::set_endpoint(&e, mem::lit("127.0.0.1"), u32(s.port), 0);
  internet::HttpState st{};
  u32 micros = 0;
  EXPECT_EQ(internet::probe_latency(&st, &e, true, &micros), internet::probe_ok);
  EXPECT_EQ(st.error, 200u);
  EXPECT_GT(micros, 0u);
  EXPECT_TRUE(internet::http_is_open(&st));
  const internet::Transfer down = internet::download(&st, &e), up = internet::upload(&st, &e);
  EXPECT_EQ(down.status, 0u);
  EXPECT_EQ(down.bytes, internet::down_bytes);
  EXPECT_EQ(up.status, 0u);
  EXPECT_EQ(up.bytes, internet::up_bytes);
  EXPECT_TRUE(internet::transfer_ok(down));
  EXPECT_TRUE(internet::transfer_ok(up));
  internet::http_close(&st);

  struct Case {
    const char* name;
    const char* behaviour;
    int port;
    u32 status;
  } cases[] = {{"a service that stalls", "{\"stall_ms\": 5000}", s.port, internet::probe_timeout},
               {"nobody listening", "{}", 1, internet::probe_no_connection}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.set("behaviour.json", c.behaviour);
    internet::set_endpoint(&e, mem::lit("127.0.0.1"), u32(c.port), 0);
    EXPECT_EQ(internet::probe_latency(&st, &e, false, &micros), c.status);
    internet::http_close(&st);
  }
  s.set("behaviour.json", "{}");
}

TEST(WindowsProbe, TheRequestChildOfTheProgram) {
  Server s("VIMBREL_TEST_PROBE_SERVER");
  ASSERT_NE(s.port, 0);
  const std::string program = env("VIMBREL_TEST_PROGRAM");
  ASSERT_NE(program, "") << "VIMBREL_TEST_PROGRAM names no vimbrel.exe (tests/windows/run sets it)";
  s.set("behaviour.json", "{}");
  child::Section section;
  ASSERT_TRUE(child::create_section(&section, internet::block_size));
  internet::Endpoint e;
  internet::set_endpoint(&e, mem::lit("127.0.0.1"), u32(s.port), 0);
  internet::put_request(section.view, section.view_size, &e, GetCurrentProcessId());
  feed::put32(section.view, section.view_size, internet::kind_at, internet::request_latency);
  feed::put32(section.view, section.view_size, internet::sequence_at, 1);

  std::string line = "\"" + program + "\" --internet " + std::string(reinterpret_cast<char*>(section.name),
                                                                       section.name_length);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &child));
  const ULONGLONG until = GetTickCount64() + 60000;
  while (feed::get32(section.view, section.view_size, internet::answered_at) != 1 && GetTickCount64() < until)
    Sleep(20);
  EXPECT_EQ(feed::get32(section.view, section.view_size, internet::answered_at), 1u);
  EXPECT_EQ(feed::get32(section.view, section.view_size, internet::probe_status_at), u32(internet::probe_ok));
  EXPECT_GT(feed::get32(section.view, section.view_size, internet::probe_micros_at), 0u);
  EXPECT_EQ(feed::get32(section.view, section.view_size, internet::error_at), 200u);
  feed::put32(section.view, section.view_size, internet::stop_at, 1);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  if (code == STILL_ACTIVE) TerminateProcess(child.hProcess, 1);
  EXPECT_EQ(code, 0u);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  child::unmap(&section);
  EXPECT_NE(s.log().find("GET /__down?bytes=0 Vimbrel 0"), std::string::npos);
}

}  // namespace
