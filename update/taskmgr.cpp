#include "update/taskmgr.h"

#include "platform/fs.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/registry.h"
#include "update/background.h"

namespace taskmgr {
namespace {

constexpr u32 expand_most = 2048;

// A text built in a fixed buffer; what does not fit marks it overflowed.
struct Out {
  u8* p;
  u32 n, cap;
  bool overflow;
};
void put(Out* o, mem::Bytes b) {
  if (o->overflow || b.len > o->cap - o->n) {
    o->overflow = true;
    return;
  }
  mem::copy(mem::Slice{o->p + o->n, b.len}, b);
  o->n += static_cast<u32>(b.len);
}
void put_byte(Out* o, u8 c) { put(o, mem::Bytes(&c, 1)); }
u32 done(const Out& o) { return o.overflow ? 0 : o.n; }

mem::Bytes debugger_name() { return mem::lit("Debugger"); }
mem::Bytes replaced_name() { return mem::lit("VimbrelReplaced"); }
mem::Bytes as_taskmgr_tail() { return mem::lit(" --as-taskmgr"); }

bool has_quote(mem::Bytes b) {
  for (u64 i = 0; i < b.len; ++i) {
    if (b.ptr[i] == '"') return true;
  }
  return false;
}

// UTF-16 units of UTF-8 text: one per character, two for a character beyond the basic plane.
u64 utf16_units(mem::Bytes b) {
  u64 n = 0;
  for (u64 i = 0; i < b.len; ++i) {
    const u8 c = b.ptr[i];
    if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
  }
  return n;
}

// The program part of a command: skip blanks; a quoted part runs to the next quote, else to a blank or a quote.
mem::Bytes program_part(mem::Bytes command) {
  u64 i = 0;
  while (i < command.len && command.ptr[i] == ' ') ++i;
  if (i < command.len && command.ptr[i] == '"') {
    const u64 start = ++i;
    while (i < command.len && command.ptr[i] != '"') ++i;
    return mem::Bytes(command.ptr + start, i - start);
  }
  const u64 start = i;
  while (i < command.len && command.ptr[i] != ' ' && command.ptr[i] != '"') ++i;
  return mem::Bytes(command.ptr + start, i - start);
}

bool is_drive_path(mem::Bytes p) {
  if (p.len < 3) return false;
  const u8 c = p.ptr[0] | 0x20;
  return c >= 'a' && c <= 'z' && p.ptr[1] == ':' && (p.ptr[2] == '\\' || p.ptr[2] == '/');
}

bool program_file(mem::Bytes path, bool test) {
  u8 local[path_most + 256];
  const u32 n = local_path(path, test, local, sizeof local);
  return n != 0 && registry::program_file(mem::Bytes(local, n));
}

Key own_test_key(bool replacement) {
  u8 own[path_most];
  const u32 n = own_path(own);
  Key k{};
  k.root = registry::root_user;
  k.length = test_key_path(mem::Bytes(own, n), replacement, k.path);
  return k;
}

}  // namespace

bool is_replace_option(mem::Bytes word) { return mem::eq(word, mem::lit("--replace-taskmgr")); }
bool is_test_option(mem::Bytes word) { return mem::eq(word, mem::lit("--test")); }
bool is_as_taskmgr(mem::Bytes word) { return mem::eq(word, mem::lit("--as-taskmgr")); }
bool is_mode_word(mem::Bytes word) { return parse_mode(word) != mode_invalid; }

u32 parse_mode(mem::Bytes word) {
  for (u32 mode = mode_on; mode <= mode_takeover; ++mode) {
    if (mem::eq(word, mode_word(mode))) return mode;
  }
  return mode_invalid;
}

mem::Bytes mode_word(u32 mode) {
  switch (mode) {
    case mode_on: return mem::lit("on");
    case mode_off: return mem::lit("off");
    case mode_takeover: return mem::lit("takeover");
    default: return mem::Bytes();
  }
}

// ---- Values and their forms.

u32 our_debugger_value(mem::Bytes own, u8* out2048) {
  if (own.len == 0 || has_quote(own)) return 0;
  Out o{out2048, 0, value_most, false};
  put_byte(&o, '"');
  put(&o, own);
  put_byte(&o, '"');
  put(&o, as_taskmgr_tail());
  return done(o);
}

bool is_our_debugger_value(mem::Bytes text) {
  const mem::Bytes tail = as_taskmgr_tail();
  if (text.len < tail.len + 3 || text.ptr[0] != '"') return false;
  const u64 close = text.len - tail.len - 1;
  if (text.ptr[close] != '"' || !mem::eq(mem::Bytes(text.ptr + close + 1, tail.len), tail)) return false;
  const mem::Bytes inside(text.ptr + 1, close - 1);
  return inside.len > 0 && !has_quote(inside);
}

u32 classify_debugger(const Value& debugger) {
  if (!debugger.present) return kind_none;
  return is_our_debugger_value(debugger.bytes()) ? kind_ours : kind_foreign;
}

mem::Bytes is_ours(const Value& debugger) {
  const mem::Bytes text = debugger.bytes();
  if (!is_our_debugger_value(text)) return text;
  return mem::Bytes(text.ptr + 1, text.len - as_taskmgr_tail().len - 2);
}

u32 state_of(const Value& debugger, bool exists, bool same) {
  if (debugger.error != error_none) return state_unknown;
  switch (classify_debugger(debugger)) {
    case kind_none: return state_off;
    case kind_foreign: return state_other_program;
    default: break;
  }
  if (!exists) return state_broken;
  return same ? state_on : state_other_copy;
}

u32 debugger_state(const Value& debugger, mem::Bytes own, bool test) {
  bool exists = false, same = false;
  if (debugger.error == error_none && classify_debugger(debugger) == kind_ours) {
    const mem::Bytes path = is_ours(debugger);
    exists = program_file(path, test);
    same = exists && same_program(path, own, test);
  }
  return state_of(debugger, exists, same);
}

bool replaced_exists(const Value& replaced, bool test) {
  return replaced.error == error_none && replaced.present &&
         program_exists(replaced.bytes(), replaced.expandable != 0, test);
}

// ---- Programs.

bool program_exists(mem::Bytes command, bool expandable, bool test) {
  mem::Bytes program = program_part(command);
  if (program.len == 0) return false;
  u8 expanded[expand_most];
  if (expandable) {
    const u32 n = expand(program, expanded);
    if (n == 0) return false;
    program = mem::Bytes(expanded, n);
  }
  return program_file(program, test);
}

bool same_program(mem::Bytes a, mem::Bytes b, bool test) {
  u8 la[path_most + 256], lb[path_most + 256];
  const u32 na = local_path(a, test, la, sizeof la), nb = local_path(b, test, lb, sizeof lb);
  return na != 0 && nb != 0 && registry::same_file(mem::Bytes(la, na), mem::Bytes(lb, nb));
}

u32 local_path(mem::Bytes path, bool test, u8* out, u32 capacity) {
  Out o{out, 0, capacity, false};
  if (!test || !is_drive_path(path) || !registry::system_words().test_drives) {
    put(&o, path);
    return done(o);
  }
  u8 config[1024];
  u64 length = 0;
  if (fs::env_var(mem::lit("APPDATA"), mem::Slice{config, sizeof config}, &length) != fs::ok || length == 0) return 0;
  put(&o, mem::Bytes(config, length));
  put(&o, mem::lit("/Vimbrel/test-drives/"));
  put_byte(&o, path.ptr[0] | 0x20);
  for (u64 i = 2; i < path.len; ++i) put_byte(&o, path.ptr[i] == '\\' ? '/' : path.ptr[i]);
  return done(o);
}

u32 expand(mem::Bytes text, u8* out2048) {
  Out o{out2048, 0, expand_most, false};
  u64 i = 0;
  while (i < text.len) {
    u64 end = i + 1;
    while (text.ptr[i] == '%' && end < text.len && text.ptr[end] != '%') ++end;
    if (text.ptr[i] != '%' || end >= text.len || end == i + 1) {
      put_byte(&o, text.ptr[i++]);
      continue;
    }
    // "%NAME%": the value when the name is set, else the text as it stands.
    u8 value[expand_most];
    u64 n = 0;
    const mem::Bytes name(text.ptr + i + 1, end - i - 1);
    if (fs::env_var(name, mem::Slice{value, sizeof value}, &n) == fs::ok) {
      put(&o, mem::Bytes(value, n));
    } else {
      put(&o, mem::Bytes(text.ptr + i, end - i + 1));
    }
    i = end + 1;
  }
  return done(o);
}

// ---- Keys and registry primitives.

u32 test_key_path(mem::Bytes own, bool replacement, u8* out128) {
  u8 hex[8];
  background::hex8(folder_hash(own), hex);
  Out o{out128, 0, key_most, false};
  put(&o, mem::lit("Software\\VimbrelTest\\"));
  put(&o, mem::Bytes(hex, 8));
  if (replacement) put(&o, mem::lit("\\IFEO\\taskmgr.exe"));
  return done(o);
}

Key replacement_key(bool test, mem::Bytes own) {
  Key k{};
  if (test) {
    k.root = registry::root_user;
    k.length = test_key_path(own, true, k.path);
    return k;
  }
  k.root = registry::root_machine;
  Out o{k.path, 0, key_most, false};
  put(&o, mem::lit("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\taskmgr.exe"));
  k.length = done(o);
  return k;
}

Value read_value(const Key& key, mem::Bytes name) {
  Value v{};
  // Room for the largest text a read holds, and one byte to see more.
  u8 data[read_units * 3 + 1];
  u32 type = 0;
  u64 length = 0;
  const u32 error = registry::read_value(key.root, key.bytes(), name, &type, mem::Slice{data, sizeof data}, &length);
  if (error == registry::not_found) return v;
  if (error != registry::ok) {
    v.error = error;
    return v;
  }
  const bool text = type == registry::type_sz || type == registry::type_expand_sz;
  const mem::Bytes bytes(data, length);
  // The read holds 2,047 units with the terminator; a longer text, or one beyond the text's room, does not fit.
  if (text && (utf16_units(bytes) + 1 > read_units || length > value_most)) {
    v.error = error_more_data;
    return v;
  }
  v.present = 1;
  v.expandable = type == registry::type_expand_sz;
  if (text) {
    mem::copy(mem::Slice{v.text, length}, bytes);
    v.length = static_cast<u32>(length);
  }
  return v;
}

u32 write_value(const Key& key, mem::Bytes name, mem::Bytes text, bool expandable) {
  if (text.len == 0) return error_not_found;
  if (utf16_units(text) > read_units) return registry::too_long;
  return registry::write_value(key.root, key.bytes(), name, expandable ? registry::type_expand_sz : registry::type_sz,
                               text);
}

u32 delete_value(const Key& key, mem::Bytes name, bool delete_empty_key) {
  u32 entries = 0;
  u32 error = registry::count(key.root, key.bytes(), &entries);
  if (error != registry::ok) return error == registry::not_found ? registry::ok : error;  // no key, nothing to delete
  error = registry::delete_value(key.root, key.bytes(), name);
  if (error != registry::ok && error != registry::not_found) return error;
  error = registry::count(key.root, key.bytes(), &entries);
  if (error != registry::ok || !delete_empty_key || entries != 0) return error;
  error = registry::delete_key(key.root, key.bytes());
  return error == registry::not_found ? registry::ok : error;
}

u32 own_path(u8* out1600) {
  u8 buffer[1024];
  const u32 n = proc::own_path(buffer);
  mem::copy(mem::Slice{out1600, n}, mem::Bytes(buffer, n));
  return n;
}

Value read_debugger(bool test) {
  u8 own[path_most];
  const u32 n = own_path(own);
  return read_value(replacement_key(test, mem::Bytes(own, n)), debugger_name());
}

Value read_replaced(bool test) {
  u8 own[path_most];
  const u32 n = own_path(own);
  return read_value(replacement_key(test, mem::Bytes(own, n)), replaced_name());
}

// ---- Changes.

u32 write_ours(const Key& key, mem::Bytes our_value) { return write_value(key, debugger_name(), our_value, false); }

u32 take_over(const Key& key, const Value& current, mem::Bytes our_value) {
  const u32 saved = write_value(key, replaced_name(), current.bytes(), current.expandable != 0);
  return saved != registry::ok ? saved : write_ours(key, our_value);
}

u32 restore(const Key& key, bool test) {
  const Value saved = read_value(key, replaced_name());
  if (saved.error != error_none) return saved.error;
  if (saved.present && program_exists(saved.bytes(), saved.expandable != 0, test)) {
    const u32 back = write_value(key, debugger_name(), saved.bytes(), saved.expandable != 0);
    return back != registry::ok ? back : delete_value(key, replaced_name(), false);
  }
  const u32 dropped = delete_value(key, replaced_name(), false);
  return dropped != registry::ok ? dropped : delete_value(key, debugger_name(), true);
}

Outcome apply(bool test, u32 mode, mem::Bytes own) {
  Outcome out{};
  const Key key = replacement_key(test, own);
  const Value current = read_value(key, debugger_name());
  if (current.error != error_none) {
    out.error = current.error;
    return out;
  }
  u8 ours[value_most];
  const mem::Bytes our_value(ours, our_debugger_value(own, ours));
  const u32 kind = classify_debugger(current);
  if (kind == kind_foreign && mode != mode_takeover) {
    out.refused = 1;
  } else if (kind == kind_foreign) {
    out.error = take_over(key, current, our_value);
  } else if (mode == mode_off) {
    out.error = kind == kind_ours ? restore(key, test) : registry::ok;
  } else {
    out.error = write_ours(key, our_value);
  }
  return out;
}

u32 exit_code(const Outcome& outcome) {
  if (outcome.refused) return exit_refused;
  return outcome.error != error_none ? exit_failed : exit_done;
}

u32 replace_command(mem::Bytes word, bool test, Outcome* outcome) {
  *outcome = Outcome{};
  const u32 mode = parse_mode(word);
  if (mode == mode_invalid) return exit_invalid;
  u8 own[path_most];
  const u32 n = own_path(own);
  *outcome = apply(test, mode, mem::Bytes(own, n));
  return exit_code(*outcome);
}

u32 replace_main(mem::Bytes word, u32 test, Outcome* outcome) { return replace_command(word, test != 0, outcome); }

mem::Bytes exit_text(u32 code, u32 error, bool test) {
  if (code == exit_refused) return mem::lit("another program's Debugger value is set; takeover replaces it");
  if (code != exit_failed) return mem::Bytes();
  if (test) return mem::lit("the test key could not be changed");
  const registry::SystemWords words = registry::system_words();
  return error == registry::denied ? words.taskmgr_denied : words.taskmgr_failed;
}

// ---- The window's side.

u32 command_mode(u32 state, bool turn_off) {
  if (state == state_unknown) return mode_invalid;
  if (turn_off || state == state_on) return mode_off;
  return state == state_other_program ? mode_takeover : mode_on;
}

u32 elevated_arguments(u32 mode, bool test, u8* out64) {
  if (mode_word(mode).len == 0) return 0;
  Out o{out64, 0, 64, false};
  put(&o, mem::lit("--replace-taskmgr "));
  put(&o, mode_word(mode));
  if (test) put(&o, mem::lit(" --test"));
  return done(o);
}

u32 elevation_result(u32 run, u32 code) {
  if (run == run_cancelled) return result_cancelled;
  if (run != run_ended) return result_failed;
  if (code == exit_done) return result_done;
  return code == exit_refused ? result_refused : result_failed;
}

u32 run_elevated(mem::Bytes program, mem::Bytes arguments, u32 timeout_ms) {
  u32 code = exit_failed;
  const u32 run = registry::run_elevated(program, arguments, timeout_ms, &code);
  return elevation_result(run, code);
}

u32 windows_folder(u8* out1600, u32* error) { return registry::windows_folder(out1600, error); }

u32 real_taskmgr_command(mem::Bytes folder, u8* out2048) {
  if (folder.len == 0 || has_quote(folder)) return 0;
  Out o{out2048, 0, value_most, false};
  put_byte(&o, '"');
  put(&o, folder);
  if (folder.ptr[folder.len - 1] != '\\') put_byte(&o, '\\');
  put(&o, mem::lit("System32\\taskmgr.exe\""));
  return done(o);
}

u32 open_real_taskmgr(mem::Bytes folder, mem::Bytes test_file) {
  u8 command[value_most];
  const u32 n = real_taskmgr_command(folder, command);
  if (n == 0) return error_not_found;
  if (test_file.len != 0) {
    const u32 written = fs::save_file(test_file, mem::Bytes(command, n));
    return written == fs::ok ? u32{registry::ok} : u32{registry::general_failure};
  }
  return start_real_taskmgr(mem::Bytes(command + 1, n - 2), mem::Bytes(command, n));
}

u32 start_real_taskmgr(mem::Bytes application, mem::Bytes command_line) {
  return registry::start_real_taskmgr(application, command_line);
}

u32 mutex_verdict(bool handle_given, bool already_exists, bool access_denied) {
  if (handle_given) return already_exists ? verdict_exists : verdict_created;
  return access_denied ? verdict_denied : verdict_failed;
}

bool runs_alone(u32 verdict, bool hand_off_wanted) {
  return verdict == verdict_created || verdict == verdict_failed || !hand_off_wanted;
}

// ---- Test operations.

u32 write_test_debugger(mem::Bytes text) { return write_value(own_test_key(true), debugger_name(), text, false); }
u32 write_test_replaced(mem::Bytes text) { return write_value(own_test_key(true), replaced_name(), text, false); }

u32 delete_test_tree() {
  const Key tree = own_test_key(false);
  const u32 error = registry::delete_tree(tree.root, tree.bytes());
  if (error != registry::ok && error != registry::not_found) return error;
  // "Software\VimbrelTest" goes too when no other copy's tree is left in it.
  registry::delete_key(tree.root, mem::lit("Software\\VimbrelTest"));
  return registry::ok;
}

u32 make_test_program(mem::Bytes path) {
  u8 local[path_most + 256];
  const u32 n = local_path(program_part(path), true, local, sizeof local);
  if (n == 0) return error_not_found;
  if (registry::program_file(mem::Bytes(local, n))) return registry::ok;
  return fs::save_file(mem::Bytes(local, n), mem::Bytes()) == fs::ok ? u32{registry::ok}
                                                            : u32{registry::general_failure};
}

}  // namespace taskmgr
