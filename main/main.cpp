#include "main/main.h"

#include "cluster/agent.h"
#include "wire/cluster.h"
#include "host/hub.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "sampling/feed.h"

namespace main {
namespace {

constexpr u16 default_port = 7420;
constexpr u16 beacon_port = 7421;
constexpr u8 default_priority = 200;
constexpr u8 start_attempts = 150;

// The window's option words in bit order: word i has bit 1 << i.
constexpr const char* gui_words[] = {
    "--gdi",     "--test",     "--live",    "--short-ring",   "--empty-ring", "--no-gpu",     "--settings",
    "--full-ring", "--compute", "--churn",  "--longest-name", "--feed",       "--view",       "--unattended",
    "--minimized", "--as-shipped", "--taskmgr", "--dpi",      "--integrated", "--long-notes", "--tops",
    "--power",   "--battery",  "--support", "--temps",        "--temps-pc",
};
static_assert(sizeof(gui_words) / sizeof(gui_words[0]) == 26, "26 window option words");

bool equals(mem::Bytes word, const char* text) { return mem::eq(word, mem::cstr(text)); }

// The value of one to max_digits decimal digits, or 0xFFFFFFFF for an empty, longer or non-digit text.
u32 decimal(mem::Bytes text, u64 max_digits) {
  if (text.len < 1 || text.len > max_digits) return 0xFFFFFFFF;
  u32 value = 0;
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] < '0' || text.ptr[i] > '9') return 0xFFFFFFFF;
    value = value * 10 + (text.ptr[i] - '0');
  }
  return value;
}

u16 version_part(u32 i) { return static_cast<u16>(version_byte(i)); }

// A number with a leading zero in an address or port typed on the command line ("010.0.0.1", ":00080"): other
// tools read 010 as octal 8, so such a text could name another machine than the one meant, and is refused.
bool leading_zero(mem::Bytes text) {
  for (u64 i = 0; i + 1 < text.len; ++i) {
    bool starts = i == 0 || text.ptr[i - 1] < '0' || text.ptr[i - 1] > '9';
    if (starts && text.ptr[i] == '0' && text.ptr[i + 1] >= '0' && text.ptr[i + 1] <= '9') return true;
  }
  return false;
}

// What the --host and --elect option loops collect.
struct Options {
  u32 word;     // every option seen, one bit each
  bool error;   // an unknown, repeated or valueless option
  u16 port;
  u64 listen;   // cluster::parse_ipv4's result: 0 when malformed
  u8 priority;
};

// Reads the options from argument 3 on; the loop goes on after an error.
Options read_options(Args args, u32 (*option)(mem::Bytes), bool (*takes)(u32), u8 priority) {
  Options o = {0, false, default_port, cluster::ipv4_valid, priority};
  u64 i = 3;
  while (i < args.count) {
    u32 bit = option(args.at(i));
    bool value = takes(bit);
    if (bit == 0 || (o.word & bit) != 0 || (value && i + 1 >= args.count)) o.error = true;
    o.word |= bit;
    if (value && i + 1 < args.count) {
      mem::Bytes text = args.at(i + 1);
      if ((bit == option_port || bit == option_listen) && leading_zero(text)) o.error = true;
      if (bit == option_port) o.port = hub::parse_port(text);
      if (bit == option_listen) o.listen = cluster::parse_ipv4(text);
      if (bit == option_priority) o.priority = parse_priority(text);
    }
    i += value ? 2 : 1;
  }
  return o;
}

bool elect_takes_value(u32 option) { return option == option_priority || takes_value(option); }

// A share or folder path longer than the share layer can ever use is a bad value like any other; an empty one is
// left to the mode, which answers it with its own line.
constexpr u64 share_path_max = 160;
bool share_too_long(mem::Bytes share) { return share.len > share_path_max; }

// The share layer keeps to ASCII names, which every machine of a cluster can hold: a path beyond them is refused
// before anything is made, with that reason, not later as a term that could not be claimed.
bool share_not_ascii(mem::Bytes share) {
  for (u64 i = 0; i < share.len; ++i) {
    if (share.ptr[i] >= 0x80) {
      os::write_line(mem::lit("vimbrel host: the share or folder path must be ASCII"));
      return true;
    }
  }
  return false;
}

u32 run_host(const modes::Entries& entries, Args args) {
  if (share_too_long(args.at(2))) return usage();
  if (share_not_ascii(args.at(2))) return 2;
  Options o = read_options(args, host_option, takes_value, 0);
  u32 flags = ((o.word & option_refuse_if_live) ? hub::flag_refuse_if_live : 0) |
              ((o.word & option_force_share) ? hub::flag_force_share : 0) | ((o.word & option_web) ? hub::flag_web : 0);
  bool web_refused = (flags & hub::flag_web) != 0 && hub::web_port(o.port, flags) == 0;
  if (o.error || o.port == 0 || o.listen == 0 || web_refused) return usage();
  ClusterGathering g;
  gather_cluster_files(&g, os::random_bytes);
  return entries.host(args.at(2), static_cast<u32>(o.listen), o.port, flags, version_part(0), version_part(1),
                      version_part(2), &g.files);
}

// --agent alone, with one target option, or with a share and a local address.
u32 run_agent(const modes::Entries& entries, Args args) {
  mem::Bytes target, local;
  if (args.count == 4) {
    u32 kind = agent_option(args.at(2));
    target = args.at(3);
    if (kind == 0 || cluster::target_kind(target) != kind) return usage();
    if (kind == cluster::target_server && leading_zero(target)) return usage();
  } else if (args.count == 6) {
    target = args.at(3);
    local = args.at(5);
    if (!mem::eq(args.at(2), mem::lit("--share")) || cluster::target_kind(target) != cluster::target_path ||
        !mem::eq(args.at(4), mem::lit("--local")) || cluster::target_kind(local) != cluster::target_server ||
        leading_zero(local)) {
      return usage();
    }
  }
  ClusterGathering g;
  gather_cluster_files(&g, os::random_bytes);
  return entries.agent(target, local, version_part(0), version_part(1), version_part(2), &g.files);
}

// The window's option list from argument 1. A file or folder value may not be empty: an empty one would read as
// "not given" while its bit says otherwise.
u32 run_window(const modes::Entries& entries, Args args, mem::Bytes version) {
  mem::Bytes test_folder, settings, support;
  u32 flags = 0, view = no_view, dpi = 0;
  u64 i = 1;
  while (i < args.count) {
    u32 bit = gui_option(args.at(i));
    if (bit == 0) return usage();
    if ((bit & gui_value_words) != 0) {
      if (i + 1 >= args.count) return usage();
      mem::Bytes value = args.at(i + 1);
      if (bit == gui_view) view = parse_view(value);
      if (bit == gui_dpi) dpi = parse_dpi(value);
      if (bit == gui_dpi && dpi == 0) return usage();
      if ((bit & (gui_test | gui_settings | gui_support)) != 0 && value.len == 0) return usage();
      if (bit == gui_test) test_folder = value;
      if (bit == gui_settings) settings = value;
      if (bit == gui_support) support = value;
    }
    flags |= bit;
    i += (bit & gui_value_words) != 0 ? 2 : 1;
  }
  say_refused_folders();
  return entries.window(gui_version(version, (flags & gui_test) != 0), flags, test_folder, settings, view, dpi,
                        support);
}

// "vimbrel 0.1.81" and a line end in one write; a version that did not reach standard output is no success.
u32 print_version(mem::Bytes version) {
  u8 line[32];
  mem::Bytes head = mem::lit("vimbrel ");
  u64 n = 0;
  for (u64 i = 0; i < head.len; ++i) line[n++] = head.ptr[i];
  for (u64 i = 0; i < version.len && n < sizeof line - 1; ++i) line[n++] = version.ptr[i];
  line[n++] = '\n';
  u32 failure = os::write_std(os::std_output, mem::Bytes(line, n));
  if (failure == 0) return 0;
  os::write_err(mem::lit("vimbrel: cannot write the version to standard output: "));
  os::write_err(fs::class_text(failure));
  os::write_err(mem::lit("\n"));
  return 1;
}

// --version and the child and service words that come first, each with its exact argument count.
bool run_child(const modes::Entries& entries, Args args, mem::Bytes version, u32* code) {
  mem::Bytes first = args.at(1), second = args.count == 3 ? args.at(2) : mem::Bytes();
  if (args.count == 2 && is_version(first)) {
    *code = print_version(version);
  } else if (args.count == 3 && update::is_worker_option(first)) {
    // A word that names no step would run none and report success.
    u32 mode = update::parse_worker_mode(second);
    *code = mode != 0 ? entries.update_worker(version, mode) : usage();
  } else if (args.count == 3 && feed::is_option(first)) {
    *code = entries.collector(second);
  } else if (args.count == 3 && cluster::is_lease_option(first)) {
    *code = entries.lease(second);
  } else if (args.count == 3 && internet::is_child(first)) {
    *code = entries.internet(second);
  } else if (args.count == 2 && internet::is_check(first)) {
    *code = entries.internet_check();
  } else if (args.count == 2 && mem::eq(first, update::notes_option())) {
    *code = entries.update_notes(version);
  } else if (args.count == 2 && background::is_background_option(first)) {
    *code = entries.background(version);
  } else if (args.count == 3 && agentupdate::is_trial_option(first)) {
    *code = entries.agent_trial(second, os::write_out);
  } else if (args.count == 3 && agentupdate::is_revert_option(first)) {
    *code = entries.agent_revert(second, os::write_out);
  } else if (args.count == 3 && linuxfeed::is_fetch_option(first)) {
    bool known = remote_update::arch_of(second) != remote_update::arch_none;
    *code = known ? entries.linux_fetch(second, version_part(0), version_part(1), version_part(2)) : usage();
  } else {
    return false;
  }
  return true;
}

}  // namespace

u32 version_byte(u32 i) { return i < 3 ? (version_packed >> (8 * i)) & 0xFF : 0; }

u32 put_dec(u8* out, u32 at, u32 v) {
  u8 digits[10];
  u32 n = 0;
  do {
    digits[n++] = static_cast<u8>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out[at++] = digits[--n];
  return at;
}

u32 version_text(u8* out16) {
  u32 at = put_dec(out16, 0, version_byte(0));
  out16[at++] = '.';
  at = put_dec(out16, at, version_byte(1));
  out16[at++] = '.';
  return put_dec(out16, at, version_byte(2));
}

mem::Bytes test_version() { return mem::lit("0.1.0"); }

mem::Bytes gui_version(mem::Bytes version, bool test) { return test ? test_version() : version; }

mem::Bytes usage_text() {
  return mem::lit(
      "usage: vimbrel [--version | --as-taskmgr [ignored...] | --replace-taskmgr on|off|takeover [--test] "
      "| [--gdi] [--view <row>] [--unattended [--minimized]] [--test <font folder> [--live [--feed] | "
      "--short-ring | --empty-ring | --full-ring] [--no-gpu | --compute] [--integrated] [--long-notes] "
      "[--churn] [--tops] [--longest-name] [--as-shipped] [--taskmgr] [--settings <file>] [--support "
      "<file>] [--dpi <96|120|144|192>]] | --print [--replay <file>] | --record <file> | --mcp | "
      "--internet-check | --host <share or folder> [--port <port>] [--listen <ipv4>] [--refuse-if-live] "
      "[--force-share] [--web] | --elect <share or folder> [--port <port>] [--listen <ipv4>] [--priority "
      "<1-255>] [--force-share] | --agent [--server <ipv4>[:<port>] | --share <share or folder> [--local "
      "<ipv4>[:<port>]]] | --background]");
}

u32 gui_option(mem::Bytes word) {
  for (u32 i = 0; i < 26; ++i) {
    if (equals(word, gui_words[i])) return u32{1} << i;
  }
  return 0;
}

u32 parse_view(mem::Bytes text) {
  u32 row = decimal(text, 2);
  // 65, the Internet page, is what a relaunch from that page asks for.
  bool shown = (row <= 33 && row != 32) || row == 34 || (row >= 65 && row <= 67);
  return shown ? row : no_view;
}

u32 parse_dpi(mem::Bytes text) {
  u32 dpi = decimal(text, 3);
  return dpi == 96 || dpi == 120 || dpi == 144 || dpi == 192 ? dpi : 0;
}

u32 host_option(mem::Bytes word) {
  if (mem::eq(word, mem::lit("--port"))) return option_port;
  if (mem::eq(word, mem::lit("--listen"))) return option_listen;
  if (mem::eq(word, mem::lit("--refuse-if-live"))) return option_refuse_if_live;
  if (mem::eq(word, mem::lit("--force-share"))) return option_force_share;
  return mem::eq(word, mem::lit("--web")) ? option_web : 0;
}

bool takes_value(u32 option) { return option == option_port || option == option_listen; }

u32 elect_option(mem::Bytes word) {
  if (mem::eq(word, mem::lit("--priority"))) return option_priority;
  u32 option = host_option(word);
  return option == option_port || option == option_listen || option == option_force_share ? option : 0;
}

u32 agent_option(mem::Bytes word) {
  if (mem::eq(word, mem::lit("--server"))) return cluster::target_server;
  return mem::eq(word, mem::lit("--share")) ? cluster::target_path : 0;
}

u8 parse_priority(mem::Bytes text) {
  u32 value = decimal(text, 3);
  return value < 256 ? static_cast<u8>(value) : 0;
}

u32 taskmgr_form(u64 argc, bool is_replace, bool last_is_test) {
  if (!is_replace) return 0;
  if (argc == 3) return 1;
  return argc == 4 && last_is_test ? 2 : 3;
}

bool is_version(mem::Bytes word) { return mem::eq(word, mem::lit("--version")); }
bool is_print(mem::Bytes word) { return mem::eq(word, mem::lit("--print")); }
bool is_replay(mem::Bytes word) { return mem::eq(word, mem::lit("--replay")); }
bool is_record(mem::Bytes word) { return mem::eq(word, mem::lit("--record")); }
bool is_host(mem::Bytes word) { return mem::eq(word, mem::lit("--host")); }
bool is_agent(mem::Bytes word) { return mem::eq(word, mem::lit("--agent")); }

u32 usage() {
  os::write_line(usage_text());
  return 2;
}

void say_refused_folders() {
  u8 text[600];
  const mem::Bytes variables[2] = {mem::lit("APPDATA"), mem::lit("LOCALAPPDATA")};
  const mem::Bytes heads[3] = {mem::lit("vimbrel: the settings folder cannot be used: "),
                               mem::lit("vimbrel: the data folder cannot be used: "),
                               mem::lit("vimbrel: the runtime folder cannot be used: ")};
  for (u32 i = 0; i < 3; ++i) {
    mem::Slice room{text, sizeof text};
    u64 n = i < 2 ? fs::folder_refusal(variables[i], room) : kobj::runtime_refusal(room);
    if (n == 0) continue;
    os::write_err(heads[i]);
    os::write_err(mem::Bytes(text, n));
    os::write_err(mem::lit("\n"));
  }
}

void gather_cluster_files(ClusterGathering* g, cluster::RandomSource random) {
  say_refused_folders();
  mem::Slice key{g->key_path, sizeof g->key_path}, publish{g->publish_path, sizeof g->publish_path};
  g->files.key_path = mem::Bytes(g->key_path, cluster::key_path(key));
  g->files.publish_path = mem::Bytes(g->publish_path, cluster::publish_path(publish));
  g->files.publish_state = cluster::read_publish_state(g->files.publish_path, &g->settings);
  g->files.id_state =
      agent::ensure_machine_id(&g->settings, g->files.publish_state, g->files.publish_path, random);
  g->files.settings = &g->settings;
}

u32 run_mcp(const modes::Entries& entries, mem::Bytes version) {
  ClusterGathering g;
  gather_cluster_files(&g, os::random_bytes);
  return entries.mcp(version, &g.files);
}

u32 run_elect(const modes::Entries& entries, Args args) {
  if (share_too_long(args.at(2))) return usage();
  if (share_not_ascii(args.at(2))) return 2;
  Options o = read_options(args, elect_option, elect_takes_value, default_priority);
  if (o.error || o.port == 0 || o.listen == 0 || o.priority == 0) return usage();
  elect::Config config = {};
  config.listen = static_cast<u32>(o.listen);
  config.port = o.port;
  config.beacon_port = beacon_port;
  config.beacon_ports = 1;
  config.bind_port = beacon_port;
  config.priority = o.priority;
  config.flags = (o.word & option_force_share) != 0 ? elect::flag_force_share : 0;
  config.announce = config.listen;
  config.start_attempts = start_attempts;
  for (u32 i = 0; i < 3; ++i) config.version[i] = version_part(i);
  ClusterGathering g;
  gather_cluster_files(&g, os::random_bytes);
  return entries.elect(args.at(2), &config, &g.files, ~u64{0});
}

#ifdef VIMBREL_TEST_SEAMS
// A test build whose file ends in "VIMBREL-TEST-VERSION a.b.c" and a line end reports that version: a copy of the
// build with such a tail stands for a newer release in the update tests. A code signature added after the tail
// follows it, so the tail is looked for in the file's last 16 KiB, the last mark winning.
u32 seam_version(u8* out16, u32 built) {
  u8 path[1024];
  u32 n = proc::own_path(path);
  fs::File file{};
  if (n == 0 || fs::open_sized(mem::Bytes(path, n), &file) != fs::ok) return built;
  static constexpr u64 most = 16384;
  mem::Arena arena;
  u8* tail = mem::arena_init(&arena, most) ? mem::alloc_of<u8>(&arena, most) : nullptr;
  u64 want = file.size < most ? file.size : most, got = 0;
  if (tail) fs::read_at(&file, file.size - want, mem::Slice{tail, want}, &got);
  fs::close(&file);
  const mem::Bytes mark = mem::lit("VIMBREL-TEST-VERSION ");
  u32 k = 0;
  for (u64 at = got >= mark.len ? got - mark.len + 1 : 0; k == 0 && at-- > 0;) {
    if (!mem::eq(mem::Bytes(tail + at, mark.len), mark)) continue;
    for (u64 i = at + mark.len; i < got && tail[i] != '\n' && k < 15; ++i) out16[k++] = tail[i];
  }
  if (tail) mem::release(&arena);
  return k ? k : built;
}
#endif

u32 dispatch(const modes::Entries& entries, Args args) {
  u8 version_bytes[16];
  mem::Bytes version(version_bytes, version_text(version_bytes));
#ifdef VIMBREL_TEST_SEAMS
  version.len = seam_version(version_bytes, static_cast<u32>(version.len));
#endif
  if (args.count < 2) return run_window(entries, args, version);
  u32 code = 0;
  if (run_child(entries, args, version, &code)) return code;
  mem::Bytes first = args.at(1);
  bool last_is_test = taskmgr::is_test_option(args.at(args.count - 1));
  switch (taskmgr_form(args.count, taskmgr::is_replace_option(first), last_is_test)) {
    case 1: return taskmgr::is_mode_word(args.at(2)) ? entries.replace_taskmgr(args.at(2), 0) : usage();
    case 2: return taskmgr::is_mode_word(args.at(2)) ? entries.replace_taskmgr(args.at(2), 1) : usage();
    case 3: return usage();
    default: break;
  }
  if (taskmgr::is_as_taskmgr(first)) {
    say_refused_folders();
    return entries.window(version, 0, mem::Bytes(), mem::Bytes(), no_view, 0, mem::Bytes());
  }
  if (args.count == 2 && is_print(first)) return entries.print();
  if (args.count == 4 && is_print(first) && is_replay(args.at(2))) return entries.replay(args.at(3));
  if (args.count == 3 && is_record(first)) return entries.record(args.at(2));
  if (args.count == 2 && mem::eq(first, mem::lit("--mcp"))) return run_mcp(entries, version);
  if (args.count >= 3 && is_host(first)) return run_host(entries, args);
  if (args.count >= 3 && mem::eq(first, mem::lit("--elect"))) return run_elect(entries, args);
  if ((args.count == 2 || args.count == 4 || args.count == 6) && is_agent(first)) return run_agent(entries, args);
  return run_window(entries, args, version);
}

u32 main() { return dispatch(modes::program(), Args{os::arg_count(), os::arg}); }

void start() { os::exit_process(main()); }

}  // namespace main

extern "C" [[noreturn]] void vimbrel_start() { main::start(); }
