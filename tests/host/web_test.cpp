// The dashboard server's own rules, without sockets: what a buffered request comes to, the response heads, and the
// page, manifest and loader texts with the embedded icon and module.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "host/web.h"
#include "mcp/json.h"
#include "tests/support/testutil.h"

namespace {

mem::Bytes B(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string S(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }
// The version that names the served files.
std::string version() { return S(mem::Bytes(web::served_version, web::served_version_size)); }

const std::string hex_id = "00112233445566778899aabbccddeeff";

struct Case {
  const char* what;
  std::string request;
  u32 result;
  u8 method;
  u8 route;
  u32 body;
};

std::string get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: a\r\n\r\n"; }
std::string post(const std::string& target, const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string with_headers(const std::string& headers) { return "POST /link HTTP/1.1\r\n" + headers + "\r\n" + "abcde"; }

TEST(WebRequest, RoutesMethodsLengthsAndMalformedRequests) {
  const u32 ok = web::status_ok, bad = web::status_bad, big = web::status_too_large, wait = web::parse_wait;
  const Case cases[] = {
      {"page", get("/"), ok, web::method_get, web::route_page, 0},
      {"page with a query", get("/?from=home"), ok, web::method_get, web::route_page, 0},
      {"loader", get("/vimbrel.js"), ok, web::method_get, web::route_loader, 0},
      {"module with a query", get("/vimbrel.wasm?v=2"), ok, web::method_get, web::route_module, 0},
      {"manifest", get("/manifest.webmanifest"), ok, web::method_get, web::route_manifest, 0},
      {"icon", get("/icon.svg"), ok, web::method_get, web::route_icon, 0},
      {"open a link", post("/link", "hello"), ok, web::method_post, web::route_link, 5},
      {"continue a link", post("/link/" + hex_id, ""), ok, web::method_post, web::route_link_id, 0},
      {"upper-case link id", post("/link/00112233445566778899AABBCCDDEEFF", ""), ok, web::method_post, 0, 0},
      {"short link id", post("/link/" + hex_id.substr(1), ""), ok, web::method_post, 0, 0},
      {"long link id", post("/link/" + hex_id + "0", ""), ok, web::method_post, 0, 0},
      {"link id not hex", post("/link/" + hex_id.substr(1) + "g", ""), ok, web::method_post, 0, 0},
      {"bare link folder", post("/link/", ""), ok, web::method_post, 0, 0},
      {"unknown path", get("/index.html"), ok, web::method_get, 0, 0},
      {"path with a tail", get("/vimbrel.js/"), ok, web::method_get, 0, 0},
      {"other method", "PUT / HTTP/1.1\r\n\r\n", ok, web::method_other, web::route_page, 0},
      {"lower-case method", "get / HTTP/1.1\r\n\r\n", ok, web::method_other, web::route_page, 0},
      {"no headers", "GET / HTTP/1.1\r\n\r\n", ok, web::method_get, web::route_page, 0},
      {"version missing", "GET / \r\n\r\n", bad, 0, 0, 0},
      {"no blank after the target", "GET /\r\nHost: a\r\n\r\n", bad, 0, 0, 0},
      {"method alone", "GET\r\n\r\n", bad, 0, 0, 0},
      {"empty method", " / HTTP/1.1\r\n\r\n", bad, 0, 0, 0},
      {"empty target", "GET  HTTP/1.1\r\n\r\n", bad, 0, 0, 0},
      {"length with blanks", with_headers("Content-Length: \t 5 \r\n"), ok, web::method_post, web::route_link, 5},
      {"name in any case", with_headers("cONTENT-lENGTH: 5\r\n"), ok, web::method_post, web::route_link, 5},
      {"nine digits", with_headers("Content-Length: 000000005\r\n"), ok, web::method_post, web::route_link, 5},
      {"ten digits", with_headers("Content-Length: 0000000005\r\n"), bad, 0, 0, 0},
      {"sign", with_headers("Content-Length: +5\r\n"), bad, 0, 0, 0},
      {"empty length", with_headers("Content-Length:\r\n"), bad, 0, 0, 0},
      {"two numbers", with_headers("Content-Length: 5 5\r\n"), bad, 0, 0, 0},
      {"transfer encoding last", with_headers("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"), bad, 0, 0, 0},
      // Framing a proxy in front could read differently is refused, whatever comes after it.
      {"length after encoding", with_headers("transfer-encoding: chunked\r\nContent-Length: 5\r\n"), bad, 0, 0, 0},
      {"two different lengths", with_headers("Content-Length: 2\r\nContent-Length: 5\r\n"), bad, 0, 0, 0},
      {"the same length twice", with_headers("Content-Length: 5\r\ncontent-length: 5\r\n"), ok, web::method_post,
       web::route_link, 5},
      {"bad length then a good one", with_headers("Content-Length: x\r\nContent-Length: 5\r\n"), bad, 0, 0, 0},
      {"blank before the colon", with_headers("Content-Length : 5\r\n"), bad, 0, 0, 0},
      {"tab before the colon", with_headers("Transfer-Encoding\t: chunked\r\nContent-Length: 5\r\n"), bad, 0, 0,
       0},
      {"folded line", with_headers("Content-Length: 0\r\n 5\r\n"), bad, 0, 0, 0},
      {"folded with a tab", with_headers("Content-Length: 5\r\nX-A: b\r\n\tc\r\n"), bad, 0, 0, 0},
      {"line without a colon", with_headers("Content-Length: 5\r\nnonsense\r\n"), bad, 0, 0, 0},
      {"empty name", with_headers("Content-Length: 5\r\n: x\r\n"), bad, 0, 0, 0},
      {"two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n", bad, 0, 0, 0},
      {"empty host", "GET / HTTP/1.1\r\nHost: \r\n\r\n", bad, 0, 0, 0},
      {"body still coming", with_headers("Content-Length: 9\r\n"), wait, 0, 0, 0},
      {"head still coming", "GET / HTTP/1.1\r\nHost: a\r\n", wait, 0, 0, 0},
      {"head without its end in 2048 bytes", "GET /" + std::string(2043, 'a'), big, 0, 0, 0},
      {"head that ends at 2048 bytes", "GET /" + std::string(2030, 'a') + " HTTP/1.1\r\n\r\n", ok, web::method_get,
       0, 0},
      {"body past the buffer", with_headers("Content-Length: 2004\r\n"), big, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    web::Request r;
    ASSERT_EQ(web::parse_request(B(c.request), &r), c.result);
    if (c.result != web::status_ok) continue;
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.route, c.route);
    EXPECT_EQ(r.body_length, c.body);
    EXPECT_EQ(r.head_length, c.request.find("\r\n\r\n") + 4);
  }
}

u32 lan_address(u32 address) { return address == 0xC0A80114 ? 1 : 0; }  // 192.168.1.20

// What a browser sends as the Host is the name in its address bar: only this host's own names and addresses are
// served, so a page whose name was rebound to this host's address is refused.
TEST(WebRequest, OnlyAHostThatNamesThisMachineIsServed) {
  struct H {
    const char* host;
    u32 served;
  } cases[] = {
      {"192.168.1.20:7422", 1},  {"192.168.1.20", 1},     {"127.0.0.1:7422", 1},      {"127.4.5.6", 1},
      {"localhost:7422", 1},     {"LocalHost", 1},        {"Studio-PC:7422", 1},      {"studio-pc", 1},
      {"studio-pc.", 1},         {"studio-pc.local:7422", 1},
      {"192.168.1.21:7422", 0},  {"10.0.0.1", 0},         {"evil.example:7422", 0},   {"studio-pc.evil.example", 0},
      {"studio-pc2", 0},         {"studio", 0},           {"localhost.evil", 0},      {"", 0},
      {"[::1]:7422", 0},         {"studio-pc:", 0},       {"studio-pc:123456", 0},    {"a b", 0},
      {"192.168.1.20:7422:1", 0},
  };
  for (const H& c : cases) {
    EXPECT_EQ(web::host_served(B(c.host), mem::lit("STUDIO-PC"), lan_address), c.served) << c.host;
  }
  EXPECT_EQ(web::host_served(B("studio-pc"), mem::Bytes(), lan_address), 0u);
  // The Host value comes out of the request with the blanks around it dropped.
  const std::string request = "GET / HTTP/1.1\r\nHost: \t studio-pc:7422 \r\n\r\n";
  web::Request r;
  ASSERT_EQ(web::parse_request(B(request), &r), web::status_ok);
  EXPECT_EQ(request.substr(r.host_from, r.host_length), "studio-pc:7422");
}

TEST(WebRequest, ABodyThatFillsTheBufferExactlyFitsAndOneMoreByteDoesNot) {
  std::string head = "POST /link HTTP/1.1\r\nContent-Length: ";
  u32 room = web::request_size - static_cast<u32>(head.size() + 4 + 4);
  std::string fits = head + std::to_string(room) + "\r\n\r\n";
  std::string over = head + std::to_string(room + 1) + "\r\n\r\n";
  web::Request r;
  EXPECT_EQ(web::parse_request(B(fits), &r), web::parse_wait);
  EXPECT_EQ(web::parse_request(B(over), &r), web::status_too_large);
  fits += std::string(room, 'x');
  ASSERT_EQ(fits.size(), web::request_size);
  ASSERT_EQ(web::parse_request(B(fits), &r), web::status_ok);
  EXPECT_EQ(r.body_length, room);
}

TEST(WebRequest, EveryPrefixOfARequestWaitsAndTheLinkIdIsDecoded) {
  std::string request = post("/link/" + hex_id + "?t=1", "frame bytes");
  web::Request r;
  for (size_t n = 0; n < request.size(); ++n) {
    ASSERT_EQ(web::parse_request(mem::Bytes(B(request).ptr, n), &r), web::parse_wait) << n;
  }
  ASSERT_EQ(web::parse_request(B(request), &r), web::status_ok);
  const u8 id[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(r.route, web::route_link_id);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.link_id), 16), std::string(reinterpret_cast<const char*>(id), 16));
  EXPECT_FALSE(r.stream);
  // Only the query "?stream" itself asks for the link's stream.
  const struct {
    std::string target;
    bool stream;
  } queries[] = {{"?stream", true}, {"?streams", false}, {"?stream=1", false}, {"?t=1&stream", false}, {"", false}};
  for (const auto& q : queries) {
    ASSERT_EQ(web::parse_request(B(post("/link/" + hex_id + q.target, "")), &r), web::status_ok) << q.target;
    EXPECT_EQ(r.route, web::route_link_id) << q.target;
    EXPECT_EQ(r.stream != 0, q.stream) << q.target;
  }
}

TEST(WebRequest, MethodsRoutesNeed) {
  struct M {
    u8 route, method;
    u32 status;
  } cases[] = {
      {web::route_page, web::method_get, 0},        {web::route_page, web::method_post, 405},
      {web::route_icon, web::method_get, 0},        {web::route_module, web::method_other, 405},
      {web::route_link, web::method_get, 405},      {web::route_link, web::method_post, 0},
      {web::route_link_id, web::method_post, 0},    {web::route_link_id, web::method_get, 405},
      {web::route_none, web::method_get, 404},      {web::route_none, web::method_post, 404},
  };
  for (const M& c : cases) EXPECT_EQ(web::check_method(c.route, c.method), c.status) << int(c.route) << int(c.method);
}

const std::string fixed_headers =
    "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self' "
    "'unsafe-inline'; frame-ancestors 'none'\r\nConnection: close\r\n\r\n";

TEST(WebResponse, HeadsCarryTheStatusTypeLengthAndTheFixedHeaders) {
  struct H {
    u32 status;
    u8 route;
    u64 length;
    std::string start;
  } cases[] = {
      {200, web::route_page, 991, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 991"},
      {200, web::route_loader, 5, "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Length: 5"},
      {200, web::route_module, 478235,
       "HTTP/1.1 200 OK\r\nContent-Type: application/wasm\r\nContent-Length: 478235\r\nVary: Accept-Encoding"},
      {200, web::route_manifest, 1, "HTTP/1.1 200 OK\r\nContent-Type: application/manifest+json\r\nContent-Length: 1"},
      {200, web::route_icon, 2, "HTTP/1.1 200 OK\r\nContent-Type: image/svg+xml\r\nContent-Length: 2"},
      {404, web::route_none, 0, "HTTP/1.1 404 Not Found\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {405, web::route_page, 0,
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {400, 0, 0, "HTTP/1.1 400 Bad Request\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {409, web::route_link_id, 0, "HTTP/1.1 409 Conflict\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {413, 0, 0, "HTTP/1.1 413 Content Too Large\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {503, web::route_link, 0,
       "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
      {500, web::route_page, 0,
       "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/octet-stream\r\nContent-Length: 0"},
  };
  for (const H& c : cases) {
    u8 area[web::head_area];
    u32 n = web::write_response(mem::Slice{area, sizeof area}, c.status, c.route, c.length);
    EXPECT_EQ(S(mem::Bytes(area, n)), c.start + fixed_headers);
    EXPECT_LE(n, web::head_max);
  }
  // A relay's 200 answer keeps its connection for the next POST; its error answers close it.
  const struct {
    u32 status;
    u8 route;
    const char* connection;
  } relay[] = {
      {200, web::route_link, "keep-alive"},
      {200, web::route_link_id, "keep-alive"},
      {404, web::route_link_id, "close"},
      {503, web::route_link, "close"},
  };
  for (const auto& c : relay) {
    u8 area[web::head_area];
    std::string head = S(mem::Bytes(area, web::write_response(mem::Slice{area, sizeof area}, c.status, c.route, 16)));
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_NE(head.find(std::string("\r\nConnection: ") + c.connection + "\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Connection:"), head.rfind("Connection:")) << head;
  }
  // A head area smaller than the head cuts it there.
  u8 small[40];
  EXPECT_EQ(web::write_response(mem::Slice{small, sizeof small}, 200, web::route_page, 1), sizeof small);
}

// The module goes gzip-compressed to a browser that accepts it, and every file the page names under the served
// version may be kept for a year; the page itself and anything asked for otherwise are never stored.
TEST(WebResponse, CompressedModuleAndVersionedFiles) {
  const struct {
    const char* accept;
    bool gzip;
  } encodings[] = {
      {"gzip", true},          {"gzip, deflate, br", true}, {"br;q=1.0, gzip;q=0", false}, {"GZIP", true},
      {"x-gzip", false},       {"", false},                 {"deflate", false},            {"gzip;q=0.5", true},
      {" gzip ; q=0.0", false}, {"identity, gzip;q=0.001", true},
  };
  for (const auto& e : encodings) EXPECT_EQ(web::takes_gzip(mem::cstr(e.accept)), e.gzip ? 1u : 0u) << e.accept;

  const std::string v = version();
  ASSERT_EQ(v.size(), 16u);
  const struct {
    std::string request;
    u8 route, serve;
  } requests[] = {
      {"GET /vimbrel.wasm?v=" + v + " HTTP/1.1\r\nAccept-Encoding: gzip, br\r\n\r\n", web::route_module,
       web::serve_gzip | web::serve_versioned},
      {"GET /vimbrel.wasm HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", web::route_module, web::serve_gzip},
      {"GET /vimbrel.wasm?v=0000000000000000 HTTP/1.1\r\n\r\n", web::route_module, 0},
      {"GET /vimbrel.js?v=" + v + " HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", web::route_loader,
       web::serve_versioned},
      {"GET /?v=" + v + " HTTP/1.1\r\n\r\n", web::route_page, 0},
      {"GET /icon.svg?v=" + v + "&x HTTP/1.1\r\n\r\n", web::route_icon, 0},
  };
  static web::Web w;
  web::prepare(&w);
  for (const auto& r : requests) {
    web::Request q{};
    ASSERT_EQ(web::parse_request(mem::Bytes(reinterpret_cast<const u8*>(r.request.data()), r.request.size()), &q),
              u32{web::status_ok});
    EXPECT_EQ(q.route, r.route) << r.request;
    const u8 serve = web::serve_of(q.route, q.serve);
    EXPECT_EQ(serve, r.serve) << r.request;
    const u64 length = web::static_body(&w, q.route, serve).len;
    u8 area[web::head_area];
    const std::string head = S(mem::Bytes(area, web::write_response(mem::Slice{area, sizeof area}, 200, q.route,
                                                                    length, serve)));
    EXPECT_EQ(head.find("Content-Encoding: gzip\r\n") != std::string::npos, (serve & web::serve_gzip) != 0);
    EXPECT_EQ(head.find("Cache-Control: public, max-age=31536000, immutable\r\n") != std::string::npos,
              (serve & web::serve_versioned) != 0)
        << r.request;
    EXPECT_EQ(head.find("Cache-Control: no-store\r\n") != std::string::npos, (serve & web::serve_versioned) == 0);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(length) + "\r\n"), std::string::npos);
  }
  // An error never says it is compressed or may be kept.
  u8 area[web::head_area];
  const std::string error =
      S(mem::Bytes(area, web::write_response(mem::Slice{area, sizeof area}, 404, web::route_module, 0,
                                             web::serve_gzip | web::serve_versioned)));
  EXPECT_EQ(error.find("gzip"), std::string::npos);
  EXPECT_NE(error.find("no-store"), std::string::npos);

  // The compressed module is the module, and less than half its size.
  const mem::Bytes gz = web::static_body(&w, web::route_module, web::serve_gzip);
  EXPECT_LT(gz.len * 2, web::viewer_module_size);
  testutil::TempDir dir;
  testutil::write_file(dir.path + "/m.gz", S(gz));
  ASSERT_EQ(system(("gzip -dc " + dir.path + "/m.gz > " + dir.path + "/m").c_str()), 0);
  EXPECT_EQ(testutil::read_file(dir.path + "/m"), S(mem::Bytes(web::viewer_module, web::viewer_module_size)));
}

std::string text(u32 (*make)(mem::Slice), u32 size) {
  std::string out(size, '\0');
  u32 n = make(mem::Slice{reinterpret_cast<u8*>(out.data()), size});
  out.resize(n);
  return out;
}

TEST(WebTexts, PageNamesItsPartsWithinItsBound) {
  std::string page = text(web::page_html, web::page_size);
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  for (const std::string& part : std::initializer_list<std::string>{
           "<html lang=\"en\">",
           "content=\"width=device-width, initial-scale=1, viewport-fit=cover\"",
           "<meta name=\"theme-color\" content=\"#202020\">",
           "<title>Vimbrel</title>",
           "<link rel=\"manifest\" href=\"manifest.webmanifest?v=" + version() + "\">",
           "<link rel=\"icon\" href=\"icon.svg?v=" + version() + "\"",
           "background: #202020",
           "overflow: hidden",
           "touch-action: none",
           "top: 40%",
           "<canvas id=\"screen\">",
           "<form id=\"key\">",
           ">Cluster key</label>",
           "<input id=\"text\" type=\"password\" autocomplete=\"off\" spellcheck=\"false\">",
           ">Connect</button>",
           "<script src=\"vimbrel.js?v=" + version() + "\"></script>",
       }) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(page.find("{{"), std::string::npos);
  // The key form is hidden until the module asks for the key.
  size_t rule = page.find("#key {");
  ASSERT_NE(rule, std::string::npos);
  EXPECT_NE(page.substr(rule, page.find('}', rule) - rule).find("display: none"), std::string::npos);
}

TEST(WebTexts, ManifestIsJsonWithItsFields) {
  std::string m = text(web::manifest_json, web::manifest_size);
  ASSERT_FALSE(m.empty());
  json::Document doc;
  json::parse(B(m), &doc);
  ASSERT_EQ(doc.error, json::error_none);
  auto is = [&](u16 object, const char* key, const char* value) {
    return json::string_equals(&doc, B(m), json::member(&doc, B(m), object, mem::cstr(key)), mem::cstr(value));
  };
  EXPECT_TRUE(is(0, "name", "Vimbrel"));
  EXPECT_TRUE(is(0, "short_name", "Vimbrel"));
  EXPECT_TRUE(is(0, "start_url", "/"));
  EXPECT_TRUE(is(0, "scope", "/"));
  EXPECT_TRUE(is(0, "display", "standalone"));
  EXPECT_TRUE(is(0, "orientation", "any"));
  EXPECT_TRUE(is(0, "background_color", "#202020"));
  EXPECT_TRUE(is(0, "theme_color", "#202020"));
  u16 icons = json::member(&doc, B(m), 0, mem::lit("icons"));
  ASSERT_EQ(json::type_of(&doc, icons), json::type_array);
  u16 icon = icons + 1;
  ASSERT_LT(icon, doc.ends[icons]);
  EXPECT_EQ(doc.ends[icon], doc.ends[icons]) << "one icon";
  EXPECT_TRUE(is(icon, "src", ("icon.svg?v=" + version()).c_str()));
  EXPECT_TRUE(is(icon, "sizes", "any"));
  EXPECT_TRUE(is(icon, "type", "image/svg+xml"));
  EXPECT_TRUE(is(icon, "purpose", "any"));
}

TEST(WebTexts, LoaderDeclaresTheProtocolNumbersAndParsesAsScript) {
  std::string js = text(web::loader_js, web::loader_size);
  ASSERT_FALSE(js.empty());
  EXPECT_EQ(js.rfind("\"use strict\";\n", 0), 0u);
  for (const std::string& line : std::initializer_list<std::string>{
           "const HEAD = 64, AT_NOW = 4, AT_A = 8, AT_B = 12, AT_C = 16, AT_HANDLE = 24, AT_RANDOM = 32;\n",
           "const INIT = 1, RESIZE = 2, TICK = 3, POINTER = 4, KEY = 5, NET = 6, WHEEL = 7;\n",
           "const CMD_HEAD = 8, FRAME = 1, POST = 2, SAVE_KEY = 3, ASK_KEY = 4, HANDLE = 5;\n",
           "const DOWN = 1, MOVE = 2, UP = 3, CANCEL = 4, TICK_MS = 100, RATIO = 100;\n",
           "const STORE = \"vimbrel.key\", MODULE = \"vimbrel.wasm?v=" + version() + "\";\n",
           // The viewer's additions: the wall clock in every head, typing, the wait for the next tick, and the stream.
           "const AT_CLOCK = 20, EPOCH = 1735689600, CHAR = 8, KEYDOWN = 9, WAKE = 6, STREAM = 7, PART = 1, END = 2;\n",
       }) {
    EXPECT_NE(js.find(line), std::string::npos) << line;
  }
  EXPECT_NE(js.find("(async function () {"), std::string::npos);
  EXPECT_EQ(js.find("{{"), std::string::npos);

  testutil::TempDir dir;
  testutil::write_file(dir.path + "/vimbrel.js", js);
  EXPECT_EQ(system(("node --check " + dir.path + "/vimbrel.js").c_str()), 0);
}

TEST(WebTexts, TextsThatDoNotFitComeOutEmpty) {
  EXPECT_EQ(text(web::page_html, 500), "");
  EXPECT_EQ(text(web::manifest_json, 100), "");
  EXPECT_EQ(text(web::loader_js, 1000), "");

  u8 area[8];
  web::Text t{area, sizeof area, 0, 0};
  web::put(&t, mem::lit("abcde"));
  web::put_colour(&t, 0x0A0b0c);
  EXPECT_TRUE(t.over);
  EXPECT_EQ(t.length, 8u);
  EXPECT_EQ(S(mem::Bytes(area, 8)), "abcde#0a");
  web::put(&t, mem::lit("x"));
  EXPECT_EQ(t.length, 8u);
}

TEST(WebTexts, PreparedBodiesAndTheEmbeddedFiles) {
  static web::Web w;
  web::prepare(&w);
  EXPECT_EQ(S(web::static_body(&w, web::route_page)), text(web::page_html, web::page_size));
  EXPECT_EQ(S(web::static_body(&w, web::route_loader)), text(web::loader_js, web::loader_size));
  EXPECT_EQ(S(web::static_body(&w, web::route_manifest)), text(web::manifest_json, web::manifest_size));
  EXPECT_EQ(web::static_body(&w, web::route_link).len, 0u);
  EXPECT_EQ(web::static_body(&w, web::route_none).len, 0u);

  std::string module = S(web::static_body(&w, web::route_module));
  EXPECT_EQ(module.substr(0, 4), std::string("\0asm", 4));
  EXPECT_EQ(module.size(), web::viewer_module_size);
  std::string icon = S(web::static_body(&w, web::route_icon));
  EXPECT_EQ(icon.rfind("<svg ", 0), 0u);
  EXPECT_NE(icon.find("viewBox=\"0 0 2048 2048\""), std::string::npos);
  EXPECT_EQ(icon, testutil::read_file(std::string(VIMBREL_SOURCE_DIR) + "/web/icon.svg"));
}

}  // namespace

// Whose place a newcomer takes when every slot is busy. Slots are given as (address, accepted, progress, state):
// state 's' still sending its request, 'a' being answered, 'k' kept for the next request.
TEST(WebRoom, ANewcomerTakesItsPlaceFromTheAddressThatHoldsTheMost) {
  struct Slot {
    u32 address, accepted, progress;
    char state;
  };
  struct Case {
    const char* what;
    std::vector<Slot> slots;
    u32 newcomer, now;
    u32 expected;  // the slot closed; web::clients + 1 for none with a free slot, web::none when it must wait
  };
  const u32 a = 0x7F00010A, b = 0x7F000001, c = 0x7F000002;
  const std::vector<Slot> flood = {{a, 100, 100, 's'}, {a, 100, 100, 's'}, {a, 100, 100, 's'}, {a, 100, 100, 's'},
                                   {a, 100, 100, 's'}, {a, 100, 100, 's'}, {a, 100, 100, 's'}, {b, 99, 99, 's'}};
  std::vector<Slot> flood_then_kept = flood;
  flood_then_kept[3].state = 'k';
  std::vector<Slot> answered = flood;
  for (Slot& s : answered) s.state = s.address == a ? 'a' : 's';
  // A crowd of one connection per address, each sending a byte now and then, and one fresh connection (slot 0)
  // whose request has not come yet: a browser's a moment after its connect.
  std::vector<Slot> crowd;
  for (u32 i = 0; i < web::clients; ++i) crowd.push_back({0x7F000A00u + i, i == 0 ? 100u : 90u, i == 0 ? 100u : 101u, 's'});
  std::vector<Slot> fresh_crowd = crowd;
  for (Slot& s : fresh_crowd) s.accepted = s.progress = 100;
  std::vector<Slot> fresh_crowd_one_answered = fresh_crowd;
  fresh_crowd_one_answered[5].state = 'a';
  const Case cases[] = {
      // The flood's connections were all accepted within the newcomer's grace, so none counts against its own
      // address: the place still comes from the flood, not from the one request of another address, older as it is.
      {"a fresh flood from one address", flood, a, 101, 0},
      {"a newcomer of a third address", flood, c, 101, 0},
      {"past their grace the flood gives its own oldest", flood, a, 200, 0},
      {"a kept connection goes first", flood_then_kept, c, 101, 3},
      {"one still sending goes before those being answered", answered, c, 101, 7},
      {"a free slot takes nothing", std::vector<Slot>(flood.begin(), flood.end() - 1), c, 101, web::clients + 1},
      {"a fresh single connection outlasts older ones that sent since", crowd, c, 101, 1},
      {"past its grace it goes like the others", crowd, c, 102, 0},
      {"fresh singles everywhere: the newcomer waits", fresh_crowd, c, 101, web::none},
      {"fresh singles and one being answered", fresh_crowd_one_answered, c, 101, 5},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    auto w = std::make_unique<web::Web>();
    for (u32 i = 0; i < k.slots.size(); ++i) {
      const Slot& s = k.slots[i];
      w->busy |= u64{1} << i;
      w->address[i] = s.address;
      w->accepted[i] = s.accepted;
      w->progress[i] = s.progress;
      if (s.state != 's') w->responding |= u64{1} << i;
      if (s.state == 'k') w->kept |= u64{1} << i;
    }
    u32 gone = web::make_room(w.get(), k.newcomer, k.now);
    EXPECT_EQ(web::has_room(w.get(), k.now), k.expected != web::none);
    if (k.expected > web::clients) {
      EXPECT_GE(gone, web::clients);
    } else {
      EXPECT_EQ(gone, k.expected);
    }
  }
}
