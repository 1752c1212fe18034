#pragma once
// The text and JSON writers the tools share: the pieces of a tool result, schema pieces and the output schemas of
// the tools, numbers, rates and names in the report text, and keyed values of the structured result.
#include "base/mem.h"
#include "base/words.h"
#include "mcp/json.h"

namespace mcp {

// Pieces of a tool result. text_content opens the result and leaves the text string open for the handler's text;
// structured_content closes it and opens "structuredContent"; is_error closes that and ends the result.
void text_content(json::Writer* w);
void structured_content(json::Writer* w);
void is_error(json::Writer* w);
// A whole error result holding one text.
void bad_arguments(json::Writer* w, mem::Bytes text);
// Ends a tool error result opened by text_content.
void error_result_end(json::Writer* w);

// Schema pieces. A null key writes no key.
void schema_type(json::Writer* w, mem::Bytes key, mem::Bytes type);
void schema_nullable(json::Writer* w, mem::Bytes key, mem::Bytes type);
// KEY:{"type":"object","properties":{ with both left open.
void schema_object(json::Writer* w, mem::Bytes key);
// Closes the properties, writes "required" from a comma-separated list and closes the object.
void schema_required(json::Writer* w, mem::Bytes names);
// KEY:{"type":"array","items":{"type":T}} with an item type, else KEY:{"type":"array","items": left open.
void schema_array(json::Writer* w, mem::Bytes key, mem::Bytes item_type);
void no_arguments_schema(json::Writer* w);
// Closes the properties of an object schema, writes "required" from a comma-separated list (none when empty) and
// additionalProperties false, and closes the object.
void schema_close(json::Writer* w, mem::Bytes required);

// The output schemas of the tools.
void machine_usage_output_schema(json::Writer* w);
void processes_output_schema(json::Writer* w);
void list_machines_output_schema(json::Writer* w);
void cluster_usage_output_schema(json::Writer* w);
void usage_history_output_schema(json::Writer* w);
void process_history_output_schema(json::Writer* w);

// A 16-byte machine id as 32 lower-case hex digits (raw, no quotes), and KEY:"<id>".
void write_id_hex(json::Writer* w, const u8 (&id)[16]);
void key_id(json::Writer* w, mem::Bytes key, const u8 (&id)[16]);

// A comma-separated list, one name at a time: the name at *at, and *at moved past its comma.
mem::Bytes next_name(mem::Bytes names, u64* at);
// Literal report text inside an open string, and value / 10^d with d decimals.
void say(json::Writer* w, mem::Bytes text);
void say_fixed(json::Writer* w, u64 value, u32 d);
// MiB as tenths of a GiB, rounded.
u64 gib_tenths(u64 mib);
// The bytes of a text.
mem::Bytes text_of(const words::Text* t);
// now - then, 0 when then lies ahead.
u64 age_of(u64 now, u64 then);

// Writers shared by the tools. Texts from the machine (names of processes, disks, interfaces) may hold any byte:
// JSON escaping keeps the protocol whole, and in the text report control bytes become '?' so that a name cannot
// forge lines of the report.
void write_gb(json::Writer* w, u64 mib);
void write_rate(json::Writer* w, u32 kib_per_s);
void write_span(json::Writer* w, const words::Text* text);
void write_name_text(json::Writer* w, mem::Bytes name);
void key_uint(json::Writer* w, mem::Bytes key, u64 value);
void key_uint_or_null(json::Writer* w, mem::Bytes key, u64 value, bool known);
void key_text_or_unknown(json::Writer* w, mem::Bytes key, mem::Bytes text);
void key_fixed(json::Writer* w, mem::Bytes key, u64 value, u32 decimals);

}  // namespace mcp
