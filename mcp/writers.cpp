// The text and JSON writers the tools share, and the tools' output schemas.
#include "mcp/writers.h"

#include "base/bits.h"

namespace mcp {

// A comma-separated list, one name at a time: the name at *at, and *at moved past its comma.
mem::Bytes next_name(mem::Bytes names, u64* at) {
  u64 start = *at;
  u64 end = start;
  while (end < names.len && names.ptr[end] != ',') ++end;
  *at = end + 1;
  return mem::Bytes(names.ptr + start, end - start);
}

// Ends a tool error result opened by text_content.
void error_result_end(json::Writer* w) {
  json::put_byte(w, '"');
  json::end_object(w);
  json::end_array(w);
  json::key(w, mem::lit("isError"));
  json::write_bool(w, 1);
  json::end_object(w);
}

void text_content(json::Writer* w) {
  json::begin_object(w);
  json::key(w, mem::lit("content"));
  json::begin_array(w);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("text"));
  json::key(w, mem::lit("text"));
  json::comma(w);
  json::put_byte(w, '"');
}

void structured_content(json::Writer* w) {
  json::put_byte(w, '"');
  json::end_object(w);
  json::end_array(w);
  json::key(w, mem::lit("structuredContent"));
  json::begin_object(w);
}

void is_error(json::Writer* w) {
  json::end_object(w);
  json::key(w, mem::lit("isError"));
  json::write_bool(w, 0);
  json::end_object(w);
}

void bad_arguments(json::Writer* w, mem::Bytes text) {
  text_content(w);
  json::write_string(w, text);
  error_result_end(w);
}

void schema_close(json::Writer* w, mem::Bytes required) {
  json::end_object(w);
  if (required.len > 0) {
    json::key(w, mem::lit("required"));
    json::begin_array(w);
    for (u64 at = 0; at < required.len;) json::string_value(w, next_name(required, &at));
    json::end_array(w);
  }
  json::key(w, mem::lit("additionalProperties"));
  json::write_bool(w, 0);
  json::end_object(w);
}

void schema_type(json::Writer* w, mem::Bytes key, mem::Bytes type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, type);
  json::end_object(w);
}

void schema_nullable(json::Writer* w, mem::Bytes key, mem::Bytes type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::begin_array(w);
  json::string_value(w, type);
  json::string_value(w, mem::lit("null"));
  json::end_array(w);
  json::end_object(w);
}

void schema_object(json::Writer* w, mem::Bytes key) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("object"));
  json::key(w, mem::lit("properties"));
  json::begin_object(w);
}

void schema_required(json::Writer* w, mem::Bytes names) {
  json::end_object(w);
  json::key(w, mem::lit("required"));
  json::begin_array(w);
  for (u64 at = 0; at < names.len;) json::string_value(w, next_name(names, &at));
  json::end_array(w);
  json::end_object(w);
}

void schema_array(json::Writer* w, mem::Bytes key, mem::Bytes item_type) {
  if (key.len > 0) json::key(w, key);
  json::begin_object(w);
  json::key(w, mem::lit("type"));
  json::string_value(w, mem::lit("array"));
  json::key(w, mem::lit("items"));
  if (item_type.len == 0) return;
  schema_type(w, mem::Bytes(), item_type);
  json::end_object(w);
}

void no_arguments_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  schema_close(w, mem::Bytes());
}

void write_id_hex(json::Writer* w, const u8 (&id)[16]) {
  const char digits[] = "0123456789abcdef";
  for (u8 byte : id) {
    json::put_byte(w, static_cast<u8>(digits[byte >> 4]));
    json::put_byte(w, static_cast<u8>(digits[byte & 15]));
  }
}

void key_id(json::Writer* w, mem::Bytes key, const u8 (&id)[16]) {
  json::key(w, key);
  json::comma(w);
  json::put_byte(w, '"');
  write_id_hex(w, id);
  json::put_byte(w, '"');
}

// Literal report text inside an open string.
void say(json::Writer* w, mem::Bytes text) { json::write_string(w, text); }

// value / 10^d with d decimals, inside an open string.
void say_fixed(json::Writer* w, u64 value, u32 d) {
  u64 scale = 1;
  for (u32 i = 0; i < d; ++i) scale *= 10;
  json::write_uint(w, value / scale);
  if (d == 0) return;
  json::put_byte(w, '.');
  for (u64 place = scale / 10; place > 0; place /= 10) json::put_byte(w, static_cast<u8>('0' + value % scale / place % 10));
}

u64 gib_tenths(u64 mib) { return words::rounded(mib * 10, 1024); }

// A text from hw or words, "-" written as "unknown" where the structured object needs a word.
mem::Bytes text_of(const words::Text* t) { return mem::Bytes(t->bytes, t->len); }

u64 age_of(u64 now, u64 then) { return now > then ? now - then : 0; }

void write_gb(json::Writer* w, u64 mib) {
  say_fixed(w, gib_tenths(mib), 1);
  say(w, mem::lit(" GB"));
}

void write_rate(json::Writer* w, u32 kib_per_s) {
  words::Text t{};
  words::byte_rate(&t, kib_per_s);
  write_span(w, &t);
}

void write_span(json::Writer* w, const words::Text* text) { json::write_string(w, text_of(text)); }

void write_name_text(json::Writer* w, mem::Bytes name) {
  u64 start = 0;
  for (u64 i = 0; i <= name.len; ++i) {
    bool control = i < name.len && (name.ptr[i] < 0x20 || name.ptr[i] == 0x7F);
    if (i < name.len && !control) continue;
    json::write_string(w, mem::Bytes(name.ptr + start, i - start));
    if (control) json::put_byte(w, '?');
    start = i + 1;
  }
}

void key_uint(json::Writer* w, mem::Bytes key, u64 value) {
  json::key(w, key);
  json::uint_value(w, value);
}

void key_uint_or_null(json::Writer* w, mem::Bytes key, u64 value, bool known) {
  json::key(w, key);
  if (known) json::uint_value(w, value);
  else json::write_null(w);
}

void key_text_or_unknown(json::Writer* w, mem::Bytes key, mem::Bytes text) {
  json::key(w, key);
  json::string_value(w, text.len == 1 && text.ptr[0] == '-' ? mem::lit("unknown") : text);
}

void key_fixed(json::Writer* w, mem::Bytes key, u64 value, u32 decimals) {
  json::key(w, key);
  json::fixed_value(w, value, decimals);
}

// ======== Output schemas ========

namespace {

// Writes KEY:{"type":T} (or nullable) for each name of a comma-separated list.
void typed_keys(json::Writer* w, mem::Bytes names, mem::Bytes type, bool nullable) {
  for (u64 at = 0; at < names.len;) {
    mem::Bytes name = next_name(names, &at);
    if (nullable) schema_nullable(w, name, type);
    else schema_type(w, name, type);
  }
}

void array_of_objects(json::Writer* w, mem::Bytes key) {
  schema_array(w, key, mem::Bytes());
  schema_object(w, mem::Bytes());
}

// Closes an object item opened by array_of_objects, with its required list, and the array around it.
void close_array_item(json::Writer* w, mem::Bytes required) {
  schema_required(w, required);
  json::end_object(w);
}

}  // namespace

void machine_usage_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,state"), mem::lit("string"), false);
  typed_keys(w, mem::lit("sample_number,sample_age_ms,rate_window_ms,uptime_s,processes,threads"),
             mem::lit("integer"), false);
  schema_nullable(w, mem::lit("handles"), mem::lit("integer"));
  schema_object(w, mem::lit("cpu"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  schema_type(w, mem::lit("logical_processors"), mem::lit("integer"));
  typed_keys(w, mem::lit("total_percent,kernel_percent"), mem::lit("number"), false);
  schema_array(w, mem::lit("per_core_percent"), mem::lit("number"));
  schema_array(w, mem::lit("per_core_kernel_percent"), mem::lit("number"));
  schema_type(w, mem::lit("vendor"), mem::lit("string"));
  typed_keys(w, mem::lit("family,model,stepping,sockets,cores,base_mhz,speed_mhz,l1_cache_kib,l2_cache_kib,l3_cache_kib"),
             mem::lit("integer"), true);
  schema_array(w, mem::lit("instruction_sets"), mem::lit("string"));
  schema_type(w, mem::lit("virtualisation"), mem::lit("string"));
  schema_required(w, mem::lit("name,logical_processors,total_percent,kernel_percent,per_core_percent,"
                              "per_core_kernel_percent,vendor,family,model,stepping,sockets,cores,base_mhz,speed_mhz,"
                              "l1_cache_kib,l2_cache_kib,l3_cache_kib,instruction_sets,virtualisation"));
  schema_object(w, mem::lit("memory"));
  typed_keys(w, mem::lit("total_mib,used_mib,available_mib,commit_mib,modified_mib,standby_mib"), mem::lit("integer"),
             false);
  schema_type(w, mem::lit("memory_type"), mem::lit("string"));
  schema_nullable(w, mem::lit("speed_mts"), mem::lit("integer"));
  schema_type(w, mem::lit("form_factor"), mem::lit("string"));
  typed_keys(w, mem::lit("slots_used,slots_total,installed_mib,hardware_reserved_mib,compressed_mib,cached_mib,"
                         "commit_limit_mib,paged_pool_mib,nonpaged_pool_mib"),
             mem::lit("integer"), true);
  schema_required(w, mem::lit("total_mib,used_mib,available_mib,commit_mib,modified_mib,standby_mib,memory_type,"
                              "speed_mts,form_factor,slots_used,slots_total,installed_mib,hardware_reserved_mib,"
                              "compressed_mib,cached_mib,commit_limit_mib,paged_pool_mib,nonpaged_pool_mib"));
  array_of_objects(w, mem::lit("disks"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  typed_keys(w, mem::lit("size_mib,used_mib,free_mib"), mem::lit("integer"), true);
  typed_keys(w, mem::lit("read_kib_per_s,write_kib_per_s"), mem::lit("integer"), false);
  schema_type(w, mem::lit("active_percent"), mem::lit("number"));
  schema_type(w, mem::lit("size_saturated"), mem::lit("boolean"));
  typed_keys(w, mem::lit("media,bus"), mem::lit("string"), false);
  schema_nullable(w, mem::lit("model"), mem::lit("string"));
  close_array_item(w, mem::lit("name,size_mib,used_mib,free_mib,read_kib_per_s,write_kib_per_s,active_percent,"
                               "size_saturated,media,bus,model"));
  array_of_objects(w, mem::lit("interfaces"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  typed_keys(w, mem::lit("receive_kib_per_s,send_kib_per_s"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,receive_kib_per_s,send_kib_per_s"));
  array_of_objects(w, mem::lit("batteries"));
  schema_type(w, mem::lit("percent"), mem::lit("integer"));
  schema_type(w, mem::lit("state"), mem::lit("string"));
  close_array_item(w, mem::lit("percent,state"));
  array_of_objects(w, mem::lit("thermal_zones"));
  typed_keys(w, mem::lit("zone,tenths_celsius"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("zone,tenths_celsius"));
  schema_object(w, mem::lit("power"));
  typed_keys(w, mem::lit("watts,cpu_watts,dram_watts,gpu_watts,system_watts"), mem::lit("number"), true);
  schema_type(w, mem::lit("on_battery"), mem::lit("boolean"));
  schema_required(w, mem::lit("watts,cpu_watts,dram_watts,gpu_watts,system_watts,on_battery"));
  schema_object(w, mem::lit("truncated"));
  typed_keys(w, mem::lit("cores,disks,interfaces"), mem::lit("boolean"), false);
  schema_required(w, mem::lit("cores,disks,interfaces"));
  schema_required(w, mem::lit("sample_number,sample_age_ms,rate_window_ms,uptime_s,processes,threads,handles,cpu,"
                              "memory,disks,interfaces,batteries,thermal_zones,power,truncated"));
}

void processes_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("sample_age_ms,rate_window_ms,processes_listed,processes_matched"), mem::lit("integer"),
             false);
  schema_type(w, mem::lit("table_truncated"), mem::lit("boolean"));
  typed_keys(w, mem::lit("machine,state"), mem::lit("string"), false);
  typed_keys(w, mem::lit("machines_searched,machines_skipped"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("processes"));
  typed_keys(w, mem::lit("machine,name"), mem::lit("string"), false);
  schema_type(w, mem::lit("name_cut"), mem::lit("boolean"));
  schema_type(w, mem::lit("pid"), mem::lit("integer"));
  typed_keys(w, mem::lit("cpu_percent,memory_mib"), mem::lit("number"), false);
  schema_nullable(w, mem::lit("disk_kib_per_s"), mem::lit("integer"));
  schema_type(w, mem::lit("gpu_percent"), mem::lit("number"));
  typed_keys(w, mem::lit("vram_mib,threads,tcp"), mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,name_cut,pid,cpu_percent,memory_mib,disk_kib_per_s,gpu_percent,vram_mib,threads,"
                               "tcp"));
  schema_required(w, mem::lit("sample_age_ms,rate_window_ms,processes_listed,processes_matched,table_truncated,"
                              "processes"));
}

void list_machines_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machines_listed,machines_shown"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("machines"));
  typed_keys(w, mem::lit("name,id,state"), mem::lit("string"), false);
  schema_type(w, mem::lit("this_machine"), mem::lit("boolean"));
  schema_type(w, mem::lit("logical_processors"), mem::lit("integer"));
  typed_keys(w, mem::lit("cpu_percent,kernel_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("memory_used_mib,memory_total_mib"), mem::lit("integer"), false);
  typed_keys(w, mem::lit("busiest_disk_percent,gpu_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("vram_used_mib,vram_total_mib,disk_read_kib_per_s,disk_write_kib_per_s,receive_kib_per_s,"
                         "send_kib_per_s,processes,threads"),
             mem::lit("integer"), false);
  close_array_item(w, mem::lit("name,id,state,this_machine,logical_processors,cpu_percent,kernel_percent,"
                               "memory_used_mib,memory_total_mib,busiest_disk_percent,gpu_percent,vram_used_mib,"
                               "vram_total_mib,disk_read_kib_per_s,disk_write_kib_per_s,receive_kib_per_s,"
                               "send_kib_per_s,processes,threads"));
  schema_required(w, mem::lit("machines_listed,machines_shown,machines"));
}

void cluster_usage_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machines,online,stale,offline,missing,logical_processors"), mem::lit("integer"), false);
  typed_keys(w, mem::lit("busy_processors,cpu_percent"), mem::lit("number"), false);
  typed_keys(w, mem::lit("memory_used_mib,memory_total_mib,vram_used_mib,vram_total_mib,disk_read_kib_per_s,"
                         "disk_write_kib_per_s,receive_kib_per_s,send_kib_per_s,processes,threads"),
             mem::lit("integer"), false);
  schema_required(w, mem::lit("machines,online,stale,offline,missing,logical_processors,busy_processors,cpu_percent,"
                              "memory_used_mib,memory_total_mib,vram_used_mib,vram_total_mib,disk_read_kib_per_s,"
                              "disk_write_kib_per_s,receive_kib_per_s,send_kib_per_s,processes,threads"));
}

void usage_history_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,metric,unit,range"), mem::lit("string"), false);
  typed_keys(w, mem::lit("tier,bucket_s,row_s,from_s,to_s,buckets"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("rows"));
  schema_type(w, mem::lit("time"), mem::lit("string"));
  schema_type(w, mem::lit("buckets"), mem::lit("integer"));
  typed_keys(w, mem::lit("min,average,max,send_min,send_average,send_max"), mem::lit("number"), false);
  array_of_objects(w, mem::lit("top_processes"));
  schema_type(w, mem::lit("name"), mem::lit("string"));
  schema_type(w, mem::lit("pid"), mem::lit("integer"));
  schema_type(w, mem::lit("cpu_percent"), mem::lit("number"));
  schema_type(w, mem::lit("memory_mib"), mem::lit("integer"));
  close_array_item(w, mem::lit("name,pid"));
  close_array_item(w, mem::lit("time,buckets,min,average,max"));
  schema_required(w, mem::lit("machine,metric,unit,range,tier,bucket_s,row_s,from_s,to_s,buckets,rows"));
}

void process_history_output_schema(json::Writer* w) {
  schema_object(w, mem::Bytes());
  typed_keys(w, mem::lit("machine,name,range"), mem::lit("string"), false);
  typed_keys(w, mem::lit("tier,bucket_s,row_s,from_s,to_s,buckets,buckets_seen"), mem::lit("integer"), false);
  array_of_objects(w, mem::lit("rows"));
  schema_type(w, mem::lit("time"), mem::lit("string"));
  schema_type(w, mem::lit("buckets_seen"), mem::lit("integer"));
  schema_nullable(w, mem::lit("cpu_peak_percent"), mem::lit("number"));
  schema_nullable(w, mem::lit("memory_peak_mib"), mem::lit("integer"));
  close_array_item(w, mem::lit("time,buckets_seen,cpu_peak_percent,memory_peak_mib"));
  schema_required(w, mem::lit("machine,name,range,tier,bucket_s,row_s,from_s,to_s,buckets,buckets_seen,rows"));
}

}  // namespace mcp
