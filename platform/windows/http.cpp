// HTTPS requests. This build carries no HTTP client: every request answers the "library missing" failure, so the
// updater, the internet probe and the agent-build fetcher report that they cannot fetch instead of guessing.
#include "platform/http.h"

namespace http {

u32 get(const Request*, Result* result) {
  *result = Result{0, stage_session, error_no_library, 0};
  return 0;
}

u32 available() { return 0; }

mem::Bytes missing_library_text() { return mem::lit("the HTTP client is not available in this Windows build"); }

u32 client_open(Client* client, const Service*) {
  client->state = nullptr;
  client->error = error_no_library;
  return 0;
}

u32 client_exchange(Client* client, const Exchange*, Answer* answer) {
  *answer = Answer{};
  client->error = error_no_library;
  return 0;
}

void client_close(Client* client) { client->state = nullptr; }

}  // namespace http
