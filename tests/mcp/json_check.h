#pragma once
// Checks shared by the JSON tests and the fuzz target. Whatever the reader is given, its table must be well formed;
// a message it accepts must come back the same after being written out again with the writer and read once more;
// and the writer must turn any bytes into a string the reader accepts.
#include <memory>
#include <string>
#include <vector>

#include "mcp/json.h"

namespace json_check {

inline mem::Bytes view(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
inline std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

inline std::string decoded(const json::Document* doc, mem::Bytes text, u16 index) {
  mem::Bytes content = json::text_of(doc, text, index);
  std::string out(content.len, '\0');
  u64 n = json::unescape(content, mem::Slice{reinterpret_cast<u8*>(out.data()), out.size()});
  if (n > out.size()) return "<unescape grew the text>";
  out.resize(n);
  return out;
}

// The table's own rules, whether or not the parse succeeded.
inline std::string check_table(const json::Document* doc, mem::Bytes text) {
  std::string faults;
  if (doc->count > json::max_values) return "count above the limit\n";
  if (doc->error > json::error_utf8) faults += "unknown error code\n";
  if (doc->error != json::error_none && doc->error_at > text.len && doc->error != json::error_too_long)
    faults += "error offset past the end\n";
  for (u32 i = 0; i < doc->count; ++i) {
    u8 t = doc->types[i];
    if (t < json::type_object || t > json::type_null) faults += "bad type at " + std::to_string(i) + "\n";
    if (doc->starts[i] > text.len || doc->lengths[i] > text.len - doc->starts[i]) faults += "span past the end\n";
    if (doc->ends[i] <= i || doc->ends[i] > doc->count) faults += "end out of order at " + std::to_string(i) + "\n";
    u16 parent = doc->parents[i];
    if (i == 0 ? parent != json::none : (parent >= i || doc->ends[parent] < doc->ends[i]))
      if (doc->error == json::error_none) faults += "parent does not hold value " + std::to_string(i) + "\n";
  }
  if (doc->error == json::error_none && (doc->count == 0 || doc->ends[0] != doc->count))
    faults += "an accepted message whose root does not hold every value\n";
  return faults;
}

// Writes an accepted document out again, compactly, decoding and re-escaping every string. No recursion: the
// values come in table order, and the containers whose end is reached are closed first.
inline std::string rewrite(const json::Document* doc, mem::Bytes text, u32* ok) {
  std::vector<u8> buffer(2 * json::max_bytes);
  json::Writer w;
  json::writer_init(&w, mem::Slice{buffer.data(), buffer.size()});
  std::vector<u16> open;
  auto close_to = [&](u32 i) {
    while (!open.empty() && doc->ends[open.back()] <= i) {
      if (doc->types[open.back()] == json::type_object) json::end_object(&w);
      else json::end_array(&w);
      open.pop_back();
    }
  };
  for (u16 i = 0; i < doc->count; ++i) {
    close_to(i);
    switch (doc->types[i]) {
      case json::type_object: json::begin_object(&w); open.push_back(i); break;
      case json::type_array: json::begin_array(&w); open.push_back(i); break;
      case json::type_key: json::key(&w, view(decoded(doc, text, i))); break;
      case json::type_string: json::string_value(&w, view(decoded(doc, text, i))); break;
      case json::type_true: json::write_bool(&w, 1); break;
      case json::type_false: json::write_bool(&w, 0); break;
      case json::type_null: json::write_null(&w); break;
      default: json::raw_value(&w, json::text_of(doc, text, i)); break;
    }
  }
  close_to(doc->count);
  *ok = json::writer_ok(&w);
  return std::string(reinterpret_cast<const char*>(buffer.data()), w.length);
}

// Every check for one input; an empty result means no fault.
inline std::string check_all(mem::Bytes text) {
  auto doc = std::make_unique<json::Document>();
  json::parse(text, doc.get());
  std::string faults = check_table(doc.get(), text);
  if (!faults.empty() || doc->error != json::error_none) return faults;

  u32 ok = 0;
  std::string again = rewrite(doc.get(), text, &ok);
  if (!ok) return "the writer refused an accepted message\n";
  auto second = std::make_unique<json::Document>();
  json::parse(view(again), second.get());
  if (second->error != json::error_none) return "the rewritten message is refused: " + again + "\n";
  if (second->count != doc->count) return "the rewritten message has another value count\n";
  for (u16 i = 0; i < doc->count; ++i) {
    if (second->types[i] != doc->types[i] || second->parents[i] != doc->parents[i] || second->ends[i] != doc->ends[i])
      return "the rewritten message has another shape at " + std::to_string(i) + "\n";
    u8 t = doc->types[i];
    if ((t == json::type_string || t == json::type_key) && decoded(doc.get(), text, i) != decoded(second.get(), view(again), i))
      return "a string changed on the second round at " + std::to_string(i) + "\n";
    if (t == json::type_number && str(json::text_of(doc.get(), text, i)) != str(json::text_of(second.get(), view(again), i)))
      return "a number changed on the second round\n";
  }
  return "";
}

// Any bytes written as a string value must read back as one string.
inline std::string check_written(mem::Bytes bytes) {
  std::vector<u8> buffer(6 * bytes.len + 2);
  json::Writer w;
  json::writer_init(&w, mem::Slice{buffer.data(), buffer.size()});
  json::string_value(&w, bytes);
  if (!json::writer_ok(&w)) return "the writer overflowed a buffer of the worst case\n";
  mem::Bytes out(buffer.data(), w.length);
  if (out.len > json::max_bytes) return "";
  auto doc = std::make_unique<json::Document>();
  json::parse(out, doc.get());
  if (doc->error != json::error_none || doc->count != 1 || doc->types[0] != json::type_string)
    return "a written string is refused: " + str(json::error_text(doc->error)) + "\n";
  return "";
}

// A message parsed once and kept with its text.
struct Parsed {
  std::string text;
  std::unique_ptr<json::Document> doc = std::make_unique<json::Document>();
  explicit Parsed(std::string t) : text(std::move(t)) { json::parse(view(text), doc.get()); }
  mem::Bytes span(u16 i) const { return json::text_of(doc.get(), view(text), i); }
  u16 member(u16 object, const char* key) const { return json::member(doc.get(), view(text), object, mem::cstr(key)); }
  std::string decoded(u16 i) const { return json_check::decoded(doc.get(), view(text), i); }
};

}  // namespace json_check
