#pragma once
// Process entry and mode dispatch: one executable, one mode per command line. The command line is matched against
// a fixed list of forms, each with an exact argument count, in a fixed order; the first that matches hands over to
// one mode entry, whose result is the exit code. A line that matches no service or child form is the window's
// option list. Every usage error writes the usage text and a line end on standard output and ends with exit code 2.
#include "base/mem.h"
#include "main/modes.h"

namespace main {

// Version parts packed in 24 bits, part 0 in the low byte: 0.1.81.
constexpr u32 version_packed = 0x510100;

// Byte i (0 to 2) of the packed version; 0 for any other i.
u32 version_byte(u32 i);
// Writes v in decimal at out[at..]; returns the new position (out holds at least 16 bytes).
u32 put_dec(u8* out, u32 at, u32 v);
// Writes "0.1.81" into a 16-byte buffer; returns its length.
u32 version_text(u8* out16);
// The version that the window shows under --test, so that test output does not change with each release.
mem::Bytes test_version();
// test_version() when test is set, else version.
mem::Bytes gui_version(mem::Bytes version, bool test);

// The one-line usage text (800 bytes, no line end).
mem::Bytes usage_text();

// Window option words: one bit each (0 for any other word). The value words take the next argument.
constexpr u32 gui_test = 0x2, gui_settings = 0x40, gui_view = 0x1000, gui_dpi = 0x20000, gui_support = 0x800000;
constexpr u32 gui_value_words = gui_test | gui_settings | gui_view | gui_dpi | gui_support;
u32 gui_option(mem::Bytes word);
// One or two decimal digits naming a start view: 0 to 31, 33, 34 or 65 to 67; 0xFFFFFFFF (no start view) otherwise.
u32 parse_view(mem::Bytes text);
constexpr u32 no_view = 0xFFFFFFFF;
// One to three decimal digits equal to 96, 120, 144 or 192; 0 otherwise.
u32 parse_dpi(mem::Bytes text);

// Options of --host and --elect, one bit each; --refuse-if-live and --web are the host's, --priority the election's.
constexpr u32 option_port = 1, option_listen = 2, option_refuse_if_live = 4, option_priority = 4,
              option_force_share = 8, option_web = 16;
// "--port", "--listen", "--refuse-if-live", "--force-share" or "--web": its bit; 0 for any other word.
u32 host_option(mem::Bytes word);
// True for the host options that take a value: port and listen.
bool takes_value(u32 option);
// "--port", "--listen", "--priority" or "--force-share": its bit; 0 for any other word. The first three take a value.
u32 elect_option(mem::Bytes word);
// Target options of --agent: "--server" 1, "--share" 2, else 0 (the values match cluster::target_kind).
u32 agent_option(mem::Bytes word);
// One to three decimal digits with a value of 1 to 255; 0 otherwise.
u8 parse_priority(mem::Bytes text);
// Shape of a --replace-taskmgr line: 0 when argument 1 is not "--replace-taskmgr", 1 for argc 3, 2 for argc 4 with
// "--test" last, 3 otherwise (a usage error).
u32 taskmgr_form(u64 argc, bool is_replace, bool last_is_test);

bool is_version(mem::Bytes word);
bool is_print(mem::Bytes word);
bool is_replay(mem::Bytes word);
bool is_record(mem::Bytes word);
bool is_host(mem::Bytes word);
bool is_agent(mem::Bytes word);

// The command line: the argument count (program name included) and argument i.
struct Args {
  u64 count;
  mem::Bytes (*at)(u64 i);
};

// Writes the usage text and a line end; returns exit code 2.
u32 usage();

// The cluster files of the cluster modes, and the buffers they live in while the mode runs.
struct ClusterGathering {
  u8 key_path[1024];
  u8 publish_path[1024];
  cluster::PublishSettings settings;
  modes::ClusterFiles files;
};
static_assert(sizeof(ClusterGathering::key_path) == cluster::path_capacity, "path buffers hold any cluster path");
// Says on standard error which of this user's settings, data and runtime folders cannot be used, and why: the
// modes would otherwise only miss the key, the history or the named objects, with a word that hides the cause.
void say_refused_folders();
// Builds the key and publish paths under the per-user settings folder (after say_refused_folders), reads publish.txt
// and makes the machine id when it has none (agent::ensure_machine_id with the random source); files points into
// the record.
void gather_cluster_files(ClusterGathering* g, cluster::RandomSource random);

// --mcp: the MCP server with the version text and the cluster files.
u32 run_mcp(const modes::Entries& entries, mem::Bytes version);
// --elect <share> [options]: reads the options, fills the election's configuration and starts the candidate.
u32 run_elect(const modes::Entries& entries, Args args);
// Matches the command line and runs the mode it names through entries; returns the exit code.
u32 dispatch(const modes::Entries& entries, Args args);

// The process's own command line through the program's entries.
u32 main();
[[noreturn]] void start();

}  // namespace main
