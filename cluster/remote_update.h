#pragma once
// Remote update of agents: the rules, words and records that the host, an agent and the Machines page share. A host
// brings Linux agents to its own version: it holds the Linux builds of that version (host/linuxfeed), orders
// outdated agents to update, and serves the build in chunks over a second link; the agent checks every chunk
// against the first one's version, size and digest, checks the ELF header and the SHA-256 of the whole file,
// installs it and restarts on trial.
//
// What the maker signs ties the bytes to a version: the release key signs the line "vimbrel <version> <arch>
// <sha256>", and the agent checks that signature itself before its program file is replaced. The cluster key only
// says who may talk to whom; it never stands in for the release key.
//
// Everything here is pure: clocks and random numbers come in as arguments, so every rule can be driven step by step.
#include "base/mem.h"
#include "base/sha256.h"
#include "wire/peer.h"
#include "wire/proto.h"

namespace remote_update {

// ---- Versions, architectures, build names.

// a << 32 | b << 16 | c; 0 means unknown.
u64 pack_version(u16 major, u16 minor, u16 patch);
constexpr u32 version_text_max = 24;
// "a.b.c" into out (at least 24 bytes); its length, 0 when out is smaller.
u32 version_text(u64 packed, mem::Slice out);

enum : u8 { arch_none = 0, arch_x86_64 = 1, arch_aarch64 = 2 };
// 1 for "x86_64", 2 for "aarch64", 0 for anything else.
u8 arch_of(mem::Bytes word);
// The word of an architecture; empty for none.
mem::Bytes arch_word(u8 arch);
// The ELF machine number: 62 for x86_64, 183 for aarch64, 0 for none.
u16 elf_machine(u8 arch);
// True when the first bytes of a build (at least 20) are a 64-bit little-endian ELF file for the architecture.
bool check_elf(mem::Bytes first, u8 arch);
constexpr u32 chunk_max = 16384;
constexpr u32 build_max = 16777216;
// The bytes left after the offset, at most 16,384; 0 at or past the total.
u32 chunk_length(u32 total, u32 offset);

constexpr u32 build_name_max = 64;
// "vimbrel-a.b.c-<arch>-linux"; its length, 0 for no architecture or when out is too small.
u32 build_name(u64 version, u8 arch, mem::Slice out);

// ---- Checksum lists.

constexpr u32 sums_line_max = 131;
// Finds the one line of a SHA256SUMS text for the name: 64 hex digits (either case), a blank, a blank or '*', and
// the name, lines cut at LF with a CR before it dropped. True with the digest only when exactly one line names it.
bool read_sums(mem::Bytes text, mem::Bytes name, u8 digest[32]);
// The line beside a build: 64 lower-case hex digits, two blanks, the name, LF; its length, 0 when the name is empty,
// longer than 64 bytes or out is too small.
u32 sums_line(const u8 digest[32], mem::Bytes name, mem::Slice out);

// ---- Release signatures.

constexpr u32 signature_size = 64;
constexpr u32 key_size = 32;
constexpr u32 signed_line_max = 160;
// "vimbrel <version> <arch> <64 lower-case hex digits>" (no line end) into out; its length, 0 when a part is empty,
// the version is longer than 48 bytes or out is too small.
u32 signed_line(mem::Bytes version_text, mem::Bytes arch_word, const u8 digest[32], mem::Slice out);
// True when the signature is the key's over the signed line of the version text, the architecture and the digest.
bool release_signed(mem::Bytes version_text, mem::Bytes arch_word, const u8 digest[32], const u8* signature,
                    const u8* key);
// The same for a packed version and an architecture code.
bool build_signed(u64 version, u8 arch, const u8 digest[32], const u8* signature, const u8* key);

// ---- Words.

// Update phases of a machine.
enum : u8 {
  phase_none = 0,
  phase_asked = 1,
  phase_started = 2,
  phase_downloaded = 3,
  phase_verified = 4,
  phase_restarting = 5,
  phase_done = 6,
  phase_failed = 7,
  phase_current = 8,
};
// "asked", ..., "done at ", "failed: ", "up to date"; empty for 0 and anything past 8.
mem::Bytes phase_word(u8 phase);
// The reason a machine shows beside its phase; results 1 to 16 of a download try are reasons 17 to 32, and the
// release-key results 17 to 19 take the free reasons 10 to 12 (a viewer of any version reads reasons up to 32).
enum : u8 {
  reason_no_checksums = 5,
  reason_host_no_key = 9,
  reason_unsigned = 10,
  reason_bad_signature = 11,
  reason_agent_no_key = 12,
  reason_agent_result = 16,
};
mem::Bytes reason_text(u8 reason);

// Results of one download try.
enum : u8 {
  result_none = 0,
  result_installed = 1,
  result_no_binary = 2,
  result_not_newer = 3,
  result_refused = 4,
  result_bad_tag = 5,
  result_bad_frame = 6,
  result_changed = 7,
  result_not_executable = 8,
  result_mismatch = 9,
  result_cannot_write = 10,
  result_timed_out = 11,
  result_closed = 12,
  result_no_random = 13,
  result_cannot_replace = 14,
  result_unreachable = 15,
  result_no_memory = 16,
  result_unsigned = 17,       // the host sent the build without its release signature (a host of an older version)
  result_bad_signature = 18,  // the release key did not sign this version, architecture and digest
  result_no_key = 19,         // this agent's build has no release key to check with
};
mem::Bytes result_word(u8 result);
// The reason that a failed try reports to the host.
u8 reason_of_result(u8 result);

// ---- The Machines page.

// The version of row i of the updates list, packed; 0 when i is past the list.
u64 member_version(const proto::Updates* updates, u32 i);
// Known, older than the host's, no update under way (phase 1 to 5), and in phase 0 no reason that rules it out.
bool is_older(u64 version, u8 phase, u8 reason, u64 host_version);
// Row i of the updates list stands at the same place of the page's machine list with the same id, online or stale,
// and is older.
bool can_update(const proto::MachineList* list, const proto::Updates* updates, u32 i, u64 host_version);
u32 count_updatable(const proto::MachineList* list, const proto::Updates* updates, u64 host_version);

// ---- The agent's schedule of tries.

enum : u8 { retry_idle = 0, retry_armed = 1 };  // 2 and 3 while a download runs
struct Retry {
  u8 state;
  u8 last_result;
  u64 own;       // this agent's packed version
  u64 offered;   // the host's
  u64 failed;    // a version that was put back after it failed to start; 0 none
  u32 backoff;   // ms
  u64 next_try;  // ms
  u32 tries;
};
void init_retry(Retry* r, u64 own_version);
// Newer than the own version and not the failed one.
bool is_newer_offer(const Retry* r, u64 offered);
// A changed offer while idle or armed: armed when it is newer, idle otherwise; the first try up to 10 s later.
void note_offer(Retry* r, u64 offered, u64 now, u32 random);
// 0 newer (armed now by arm_now), 1 a download runs, 2 not newer, 3 newer but the failed version.
enum : u32 { offer_armed = 0, offer_running = 1, offer_not_newer = 2, offer_failed_version = 3 };
u32 offer_state(const Retry* r);
// The host's order: the offer state; on 0 the try is armed for now.
u32 arm_now(Retry* r, u64 now);
bool try_due(const Retry* r, u64 now);
// Milliseconds until the try; 0 when due, all ones when nothing is armed.
u32 wait_ms(const Retry* r, u64 now);
// 60,000 ms the first time, then twice the last, at most one hour.
u32 next_delay(u32 backoff);
// After a failed try: the next one within a quarter of the back-off either way; armed again only while the offer
// is still newer and not the failed version.
void retry_later(Retry* r, u8 result, u64 now, u32 random);

// ---- One download over its own link.

constexpr u32 session_input = 16 + 56 + chunk_max + 16;  // the largest frame
constexpr u32 session_output = 152;
constexpr u32 stall_ms = 9999;
enum : u8 {
  session_idle = 0,
  session_hello = 1,
  session_proof = 2,
  session_asked = 3,
  session_chunk = 4,  // a chunk's data waits to be written
  session_done = 5,
  session_failed = 6,
};
struct Session {
  u8 phase;
  u8 result;
  u8 arch;
  u8 first;        // the next chunk is the first
  u8 signed_ok;    // the release signature of the build came and checked
  u8 key[key_size];  // the release key the build must be signed with
  u64 own;         // this agent's packed version
  u64 binary;      // the packed version of the build, from the first chunk
  u32 total;
  u32 received;
  u32 chunk_length;
  u32 chunk_at;    // where the waiting chunk's data lies in the input
  u32 parse_at;    // bytes of the input already taken
  u64 progress;    // ms of the last whole frame
  u8 digest[32];
  u8 id[16];
  peer::PeerState link;
  sha256::Context hash;
  u32 in_fill;
  u32 out_fill;
  u8 in[session_input];
  u8 out[session_output];
};
// The first ask wants the build's release signature; a build whose signature the release key did not make is refused
// before any of its bytes are asked for.
void start_session(Session* s, const auth::KeyState* key, const u8* machine_id, u8 arch, u64 own_version,
                   const u8* release_key);
// The hello (role 4) into the output; false with result 13 when no nonce could be drawn.
bool send_hello(Session* s, mem::Bytes nonce, bool drawn, u64 now);
// Takes the n bytes just received into the input (see input_room): false when the try failed (result set).
bool take_frames(Session* s, u32 n, u64 now);
// After the waiting chunk was written (or not): the next ask, or at the total the whole file's SHA-256 against the
// chunk's digest. False when the try failed.
bool finish(Session* s, bool written, u64 now);
// Waiting in phases 1 to 3 with no whole frame for more than 9,999 ms.
bool stalled(const Session* s, u64 now);
// The kind of the frame at the start of the bytes when its header checks; 0 otherwise.
u32 frame_kind(mem::Bytes bytes);
// Where received bytes go, what waits to be sent, and how much of it went.
mem::Slice input_room(Session* s);
mem::Bytes output(const Session* s);
void sent(Session* s, u32 n);
// The waiting chunk's data (phase 4).
mem::Bytes chunk_data(const Session* s);

// ---- The trial file: u64 version (little-endian) and u8 starts.

constexpr u32 trial_size = 9;
void trial_record(u64 version, u8 starts, u8 out[trial_size]);
// Version and starts of a trial file's bytes; a file of another length reads as version 0 and no starts.
u64 trial_version(mem::Bytes file);
u8 trial_starts(mem::Bytes file);
// The third start that was not confirmed puts the previous program back.
bool trial_expired(u8 starts);

}  // namespace remote_update
