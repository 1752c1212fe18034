#pragma once
// The agent's self-update. When the cluster host runs a newer version, or orders the agent to update, the agent
// downloads the host's build of that version over a second link (role 4), writes it beside its own program file
// P as P.new with P's mode, syncs it, keeps the running program as P.prev, swaps the new file in and ends with
// exit code 8 so that whatever supervises it starts it again. The new program is on trial: the supervisor runs
// "--agent-trial P" before each start, which counts the starts in P.trial; the first link the new program opens
// to a host confirms it (P.prev and P.trial go), and a fourth start that was never confirmed puts P.prev back and
// keeps the refused version in P.refused, so the agent does not take that version again.
//
// The build must carry the release key's signature over its version, architecture and SHA-256: the agent asks for
// it first and checks it with its own release key before any byte is written, and checks the whole file's SHA-256
// against the signed digest before it is swapped in. A build without a release key does not update itself.
//
// Files beside P: P.new the download in progress (deleted on failure), P.prev the previous program, P.trial and
// P.refused the 9-byte trial record (packed version, start count).
#include "base/mem.h"
#include "cluster/publisher.h"
#include "cluster/remote_update.h"
#include "platform/os.h"
#include "platform/sock.h"

namespace agentupdate {

constexpr u32 path_max = 248;
// P and its longest suffix (".refused").
constexpr u32 suffixed_max = path_max + 8;
// The download's own arena: the session and its alignment.
constexpr u64 download_arena = 18800;
static_assert(sizeof(remote_update::Session) + 64 <= download_arena, "a download session fits its arena");

inline mem::Bytes new_suffix() { return mem::lit(".new"); }
inline mem::Bytes prev_suffix() { return mem::lit(".prev"); }
inline mem::Bytes trial_suffix() { return mem::lit(".trial"); }
inline mem::Bytes refused_suffix() { return mem::lit(".refused"); }
inline mem::Bytes trial_option() { return mem::lit("--agent-trial"); }
inline mem::Bytes revert_option() { return mem::lit("--agent-revert"); }

// Exit codes of the two modes.
enum : u32 { trial_ok = 0, trial_cannot_revert = 1, trial_bad_path = 2 };

// Reasons of a failed try that this module adds to the session's own (remote_update's words).
enum : u8 {
  reason_unavailable = 2,  // phase 7 value when self-update is off here
  reason_put_back = 6,     // phase 7 value for an order of the refused version
};

using Print = void (*)(mem::Bytes bytes);

struct UpdateState {
  remote_update::Retry retry;
  sock::Socket socket;  // the download link; invalid_socket when none
  u8 connecting;
  u8 exit_flag;         // a new program is in place: the agent ends with exit code 8
  u8 confirmed;
  u8 arch;              // remote_update's architecture code; 0 none
  u16 value;            // kept for phase 7
  u16 pending;          // bit n: phase n waits to be reported
  u32 opens_seen;       // the publishing link's open count last seen
  u32 written;          // bytes written to P.new
  u64 refused;          // the version in P.refused; 0 none
  u32 sessions;
  u32 blocks;
  mem::Arena arena;     // the download's, reserved while one runs; the session is carved first from it
  u64 new_file;         // P.new while it is written (a file handle), 0 when not open
  u8 path[path_max];
  u32 path_length;
  os::RandomSource random;
  Print print;
  u8 release_key[remote_update::key_size];
  u8 keyed;             // a release key is known; without one nothing is downloaded
};
static_assert(sizeof(UpdateState) == 440, "the self-update state keeps its size");

// The download's session; null while none runs.
inline remote_update::Session* session_of(const UpdateState* s) {
  return s->arena.used != 0 ? reinterpret_cast<remote_update::Session*>(s->arena.base) : nullptr;
}

bool path_fits(u32 length);
// A path of 1 to 248 bytes.
bool fits(mem::Bytes path);
// P followed by the suffix into out (at least suffixed_max bytes); its length, 0 when it does not fit.
u32 with_suffix(mem::Bytes path, mem::Bytes suffix, mem::Slice out);
void no_op(mem::Bytes bytes);

// Nothing armed; the path is kept when it fits (else self-update stays off); printing goes nowhere until the owner
// sets print.
void init(UpdateState* s, u64 version, mem::Bytes path, u8 arch, os::RandomSource random,
          const u8* release_key = nullptr);
// A program path is held and the architecture is one a host builds for.
bool enabled(const UpdateState* s);
bool exit_wanted(const UpdateState* s);
mem::Bytes program_path(const UpdateState* s);
u32 new_path(const UpdateState* s, mem::Slice out);

// At agent start: an empty P.new must be writable (else self-update is off for this run, which is said on the
// print callback), and P.refused gives the version not to take again.
void check_writable(UpdateState* s);
// Marks a phase to be reported; phase 7 keeps its value.
void report(UpdateState* s, u8 phase, u16 value);
// The host's order to update now.
void start(UpdateState* s, u64 now);
// No download under way and a try is due.
bool idle(const UpdateState* s, u64 now);
// Lowest pending phase and its value; false when none is pending.
bool next_phase(const UpdateState* s, u8* phase, u16* value);
void phase_sent(UpdateState* s, u8 phase);
// A download is under way.
bool busy(const UpdateState* s);
// One step: confirms and notes the host's version after a link opened, starts a due try, runs the download. The
// milliseconds the owner may wait (all ones when nothing is armed).
u32 step(UpdateState* s, const publisher::Publisher* p, u64 now, u32 wait);
// Ends a download (the partial file is deleted).
void stop(UpdateState* s);
// The running program reached a host: the trial (if any) is over.
void confirm(UpdateState* s);

// Steps of a download.
void open(UpdateState* s, const publisher::Publisher* p, u64 now);
void finish_connect(UpdateState* s, u64 now, u32 wait);
void pump(UpdateState* s, u64 now, u32 wait);
// The waiting chunk into P.new; false when the try failed.
bool write_new(UpdateState* s, u64 now);
void swap(UpdateState* s, u64 now);
void fail(UpdateState* s, u8 reason, u64 now);
void close(UpdateState* s);
u32 random32(const UpdateState* s);
void print_failure(const UpdateState* s, u8 reason);

// "--agent-trial P": counts a start on trial, or puts the previous program back after the third. The exit code.
u32 trial_main(mem::Bytes path, Print print);
// "--agent-revert P": puts the previous program back. The exit code.
u32 revert_main(mem::Bytes path, Print print);
u32 revert(mem::Bytes path, Print print);
bool is_trial_option(mem::Bytes word);
bool is_revert_option(mem::Bytes word);

}  // namespace agentupdate
