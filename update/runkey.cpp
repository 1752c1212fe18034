#include "update/runkey.h"

#include "wire/cluster.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/registry.h"

namespace runkey {
namespace {

const u64 path_max = 1024;
const u64 entry_max = 4096;

struct Out {
  u8* ptr;
  u64 capacity;
  u64 n;
  bool overflow;
  void put(mem::Bytes b) {
    if (capacity - n < b.len) {
      overflow = true;
      return;
    }
    if (b.len) __builtin_memcpy(ptr + n, b.ptr, b.len);
    n += b.len;
  }
  void byte(u8 c) { put(mem::Bytes(&c, 1)); }
};

bool name_ok(mem::Bytes name) {
  if (name.len == 0 || name.len > 64) return false;
  for (u64 i = 0; i < name.len; ++i) {
    u8 c = name.ptr[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// "<config>/autostart/<name in lower case>.desktop".
u64 entry_path(mem::Bytes name, u8* out) {
  if (!name_ok(name)) return 0;
  u64 n = 0;
  if (fs::env_var(mem::lit("APPDATA"), mem::Slice{out, path_max}, &n) != fs::ok || n == 0) return 0;
  while (n > 1 && out[n - 1] == '/') --n;
  Out o{out, path_max, n, false};
  o.put(mem::lit("/autostart/"));
  for (u64 i = 0; i < name.len; ++i) {
    u8 c = name.ptr[i];
    o.byte(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
  }
  o.put(mem::lit(".desktop"));
  return o.overflow ? 0 : o.n;
}

// A value of the entry's string type: a backslash is written doubled.
void put_string(Out* o, mem::Bytes text) {
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] == '\\') o->byte('\\');
    o->byte(text.ptr[i]);
  }
}

// The Exec value: every word in double quotes with the quoting rule's escapes, then the string escapes, and "%"
// doubled so that no word reads as a field code.
bool put_exec(Out* o, mem::Bytes data) {
  u64 at = 0, length = 0;
  u8 word[1024];
  u32 first = 1;
  bool any = false;
  while (os::next_token(data, &at, first, word, sizeof word, &length)) {
    if (length > sizeof word) return false;
    if (!first) o->byte(' ');
    first = 0;
    any = true;
    u8 quoted[2 * sizeof word + 2];
    u64 q = 0;
    quoted[q++] = '"';
    for (u64 i = 0; i < length; ++i) {
      u8 c = word[i];
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted[q++] = '\\';
      quoted[q++] = c;
    }
    quoted[q++] = '"';
    for (u64 i = 0; i < q; ++i) {
      if (quoted[i] == '%') o->byte('%');
      if (quoted[i] == '\\') o->byte('\\');
      o->byte(quoted[i]);
    }
  }
  return any;
}

mem::Bytes value_of(mem::Bytes line, mem::Bytes key) {
  if (line.len < key.len || !mem::eq(mem::Bytes(line.ptr, key.len), key)) return mem::Bytes(line.ptr, 0);
  return mem::Bytes(line.ptr + key.len, line.len - key.len);
}

}  // namespace

u32 entry_text(mem::Bytes data, mem::Slice out) {
  for (u64 i = 0; i < data.len; ++i) {
    if (data.ptr[i] < 0x20 || data.ptr[i] == 0x7F) return 0;
  }
  if (data.len == 0 || data.len > 512) return 0;
  Out o{out.ptr, out.len, 0, false};
  o.put(mem::lit("[Desktop Entry]\nType=Application\nName=Vimbrel\nComment=Vimbrel's background copy\nExec="));
  if (!put_exec(&o, data)) return 0;
  o.put(mem::lit("\nNoDisplay=true\nTerminal=false\nX-GNOME-Autostart-enabled=true\nX-Vimbrel-Run="));
  put_string(&o, data);
  o.put(mem::lit("\n"));
  return o.overflow ? 0 : static_cast<u32>(o.n);
}

bool write(mem::Bytes name, mem::Bytes data) {
  const mem::Bytes key = registry::system_words().run_key;
  if (key.len) {
    return name_ok(name) && data.len != 0 && data.len <= 512 &&
           registry::write_value(registry::root_user, key, name, registry::type_sz, data) == registry::ok;
  }
  u8 path[path_max];
  u8 text[entry_max];
  u64 p = entry_path(name, path);
  u32 n = entry_text(data, mem::Slice{text, sizeof text});
  return p != 0 && n != 0 && fs::save_file(mem::Bytes(path, p), mem::Bytes(text, n)) == fs::ok;
}

u32 read(mem::Bytes name, u8* out512) {
  const mem::Bytes key = registry::system_words().run_key;
  if (key.len) {
    u32 type = 0;
    u64 length = 0;
    const u32 r = registry::read_value(registry::root_user, key, name, &type, mem::Slice{out512, 512}, &length);
    return r == registry::ok && type == registry::type_sz ? static_cast<u32>(length) : 0;
  }
  u8 path[path_max];
  u8 text[entry_max];
  u64 p = entry_path(name, path), n = 0;
  if (p == 0 || !cluster::read_small_file(mem::Bytes(path, p), mem::Slice{text, sizeof text}, &n)) return 0;
  mem::Bytes run, exec;
  bool hidden = false;
  for (u64 at = 0; at < n;) {
    u64 end = at;
    while (end < n && text[end] != '\n') ++end;
    mem::Bytes line(text + at, end - at);
    if (line.len && line.ptr[line.len - 1] == '\r') --line.len;
    if (mem::eq(line, mem::lit("Hidden=true"))) hidden = true;
    if (value_of(line, mem::lit("Exec=")).len) exec = value_of(line, mem::lit("Exec="));
    if (value_of(line, mem::lit("X-Vimbrel-Run=")).len) run = value_of(line, mem::lit("X-Vimbrel-Run="));
    at = end + 1;
  }
  if (hidden || exec.len == 0 || run.len == 0) return 0;
  u32 k = 0;
  for (u64 i = 0; i < run.len; ++i) {
    if (run.ptr[i] == '\\' && i + 1 < run.len && run.ptr[i + 1] == '\\') ++i;
    if (k == 512) return 0;
    out512[k++] = run.ptr[i];
  }
  return k;
}

bool remove(mem::Bytes name) {
  const mem::Bytes key = registry::system_words().run_key;
  if (key.len) {
    const u32 r = registry::delete_value(registry::root_user, key, name);
    return r == registry::ok || r == registry::not_found;
  }
  u8 path[path_max];
  u64 p = entry_path(name, path);
  if (p == 0) return false;
  u32 e = fs::delete_file(mem::Bytes(path, p));
  return e == fs::ok || e == fs::not_found;
}

}  // namespace runkey
