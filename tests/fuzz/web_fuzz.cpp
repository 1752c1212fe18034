// Fuzzing the dashboard's request parser. The server parses a client's buffer again after every receive, so a
// buffer that once gave a final answer must give the same answer, field for field, when more bytes follow; a full
// buffer never waits; an accepted request lies inside the buffer; any memory fault the sanitizers see stops the run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/web.h"

namespace {

void fail(const char* what) {
  fprintf(stderr, "web parser: %s\n", what);
  abort();
}

u32 parse(const uint8_t* data, size_t size, web::Request* r) {
  u32 result = web::parse_request(mem::Bytes(data, size), r);
  if (result != web::parse_wait && result != web::status_ok && result != web::status_bad &&
      result != web::status_too_large) {
    fail("an answer outside wait, 200, 400 and 413");
  }
  if (size >= web::request_size && result == web::parse_wait) fail("a full buffer waits");
  if (result != web::status_ok) return result;
  u64 used = u64{r->head_length} + r->body_length;
  if (r->head_length < 4 || used > size || used > web::request_size) fail("a request past its buffer");
  if (r->route > web::route_link_id || r->method > web::method_post) fail("a route or method out of range");
  u32 status = web::check_method(r->route, r->method);
  if (status != 0 && status != web::status_not_found && status != web::status_method) fail("a method status");
  u8 head[web::head_area];
  if (web::write_response(mem::Slice{head, sizeof head}, status ? status : 200, r->route, r->body_length) >
      web::head_max) {
    fail("a response head past its bound");
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > web::request_size + 64) size = web::request_size + 64;
  web::Request full;
  u32 answer = parse(data, size, &full);
  const size_t cuts[2] = {size / 2, size > 0 ? size - 1 : 0};
  for (size_t cut : cuts) {
    web::Request part;
    u32 early = parse(data, cut, &part);
    if (early == web::parse_wait) continue;
    if (early != answer) fail("an answer that changed when more bytes came");
    if (answer == web::status_ok && memcmp(&part, &full, sizeof part) != 0) fail("a request that changed");
  }
  return 0;
}
