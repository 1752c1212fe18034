// The dashboard server's per-request work: parsing what a browser sends (the parser runs again after every receive,
// so a head that arrives in pieces is scanned several times), and building the three texts when the host opens.
#include <benchmark/benchmark.h>

#include <string>

#include "host/web.h"

namespace {

// What a browser sends for the page: a request line and a dozen header lines.
const std::string browser_get =
    "GET / HTTP/1.1\r\nHost: 192.168.1.20:7422\r\nConnection: keep-alive\r\nCache-Control: max-age=0\r\n"
    "Upgrade-Insecure-Requests: 1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like "
    "Gecko) Chrome/120.0.0.0 Safari/537.36\r\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9,image/"
    "avif,image/webp,*/*;q=0.8\r\nAccept-Encoding: gzip, deflate\r\nAccept-Language: en-GB,en;q=0.9\r\n\r\n";

std::string relay_post() {
  std::string body(256, 'x');
  return "POST /link/00112233445566778899aabbccddeeff HTTP/1.1\r\nHost: 192.168.1.20:7422\r\nContent-Type: "
         "application/octet-stream\r\nContent-Length: 256\r\nOrigin: http://192.168.1.20:7422\r\n\r\n" + body;
}

void parse(benchmark::State& state, const std::string& request) {
  mem::Bytes bytes(reinterpret_cast<const u8*>(request.data()), request.size());
  for (auto _ : state) {
    web::Request r;
    benchmark::DoNotOptimize(web::parse_request(bytes, &r));
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

void BM_WebParseBrowserGet(benchmark::State& state) { parse(state, browser_get); }
void BM_WebParseRelayPost(benchmark::State& state) { parse(state, relay_post()); }
// The worst a client can make the parser do: a full buffer without the end of a head.
void BM_WebParseFullBufferWithoutHead(benchmark::State& state) { parse(state, std::string(web::request_size, '\r')); }

void BM_WebPrepareTexts(benchmark::State& state) {
  static web::Web w;
  for (auto _ : state) {
    web::prepare(&w);
    benchmark::DoNotOptimize(w.loader_length);
  }
}

BENCHMARK(BM_WebParseBrowserGet);
BENCHMARK(BM_WebParseRelayPost);
BENCHMARK(BM_WebParseFullBufferWithoutHead);
BENCHMARK(BM_WebPrepareTexts);

}  // namespace
