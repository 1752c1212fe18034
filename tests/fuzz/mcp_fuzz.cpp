// Fuzzing the MCP dispatcher as the server loop drives it: the input up to its first line feed is one JSON-RPC
// line, classified and answered. A notification or a response gets no answer; anything else gets exactly one line
// that the reader accepts and that survives a round through the writer, with "jsonrpc" "2.0", an "id", and
// exactly one of "result" and "error". A fault stops the run, as does any memory fault the sanitizers see.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "mcp/mcp.h"
#include "tests/mcp/json_check.h"

namespace {

struct Server {
  std::unique_ptr<mcp::ToolTable> table = std::make_unique<mcp::ToolTable>();
  std::unique_ptr<json::Document> doc = std::make_unique<json::Document>();
  std::unique_ptr<json::Document> again = std::make_unique<json::Document>();
  std::vector<u8> buffer = std::vector<u8>(json::max_bytes);
  Server() { mcp::tool_table(table.get()); }
};

[[noreturn]] void fault(const std::string& what, mem::Bytes line, const std::string& answer) {
  fprintf(stderr, "%s\nline: %.*s\nanswer: %s\n", what.c_str(), static_cast<int>(line.len),
          reinterpret_cast<const char*>(line.ptr), answer.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server* server = new Server();  // the tool table is made once, as the loop makes it
  u64 end = 0;
  while (end < size && data[end] != '\n') ++end;
  mem::Bytes line(data, end);

  mcp::Request request{};
  mcp::classify(line, server->table.get(), server->doc.get(), &request);
  json::Writer w;
  json::writer_init(&w, mem::Slice{server->buffer.data(), server->buffer.size()});
  mcp::ToolContext context{};  // no machine sampled: the tools answer from what they are given
  context.version = mem::lit("0.1.81");
  context.table = server->table.get();
  mcp::answer(line, server->doc.get(), &request, &context, &w);
  std::string out(reinterpret_cast<const char*>(server->buffer.data()), w.length);

  if (request.kind == mcp::kind_notification || request.kind == mcp::kind_response) {
    if (!out.empty()) fault("an answer to a notification or a response", line, out);
    return 0;
  }
  if (out.empty()) fault("no answer to a request", line, out);
  if (out.find('\n') != std::string::npos) fault("an answer of more than one line", line, out);
  std::string faults = json_check::check_all(json_check::view(out));
  if (!faults.empty()) fault(faults, line, out);
  mem::Bytes text = json_check::view(out);
  json::Document* doc = server->again.get();
  json::parse(text, doc);
  if (!json::string_equals(doc, text, json::member(doc, text, 0, mem::lit("jsonrpc")), mem::lit("2.0"))) {
    fault("no \"jsonrpc\":\"2.0\"", line, out);
  }
  if (json::member(doc, text, 0, mem::lit("id")) == json::none) fault("no id", line, out);
  u32 results = (json::member(doc, text, 0, mem::lit("result")) != json::none) +
                (json::member(doc, text, 0, mem::lit("error")) != json::none);
  if (results != 1) fault("not exactly one of result and error", line, out);
  return 0;
}
