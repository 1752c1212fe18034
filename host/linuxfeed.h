#pragma once
// The host's Linux builds: the agents it updates run the Linux build of the host's own version, which the host does
// not carry. On the first ask for an architecture it looks in <local data>/Vimbrel/linux; when the build is missing
// or does not check, a child of the program ("--linux-fetch <arch>") downloads the release's checksum list, the
// build and its signature from the update server, checks all three and places the build with its ".sha256" and
// ".sig" files there. The host then holds the build file open and serves it in chunks to the agents' update links.
//
// A build is served only when its size is 1 byte to 16 MiB, it is an ELF file for its architecture, its SHA-256 is
// the one line of its ".sha256" file, and its ".sig" is the release key's signature over the line "vimbrel <host
// version> <arch> <sha256>": a file placed there by hand is checked like a downloaded one. The signature travels
// with the build, so that the agent checks it too. Failed fetches back off from 10 minutes to 6 hours. A build of
// the program without a release key serves nothing and fetches nothing.
#include "base/mem.h"
#include "cluster/remote_update.h"
#include "platform/proc.h"

namespace update {
struct Config;
}
namespace hub {
struct Hub;
}

namespace linuxfeed {

constexpr u32 arch_count = 2;  // index 0 x86_64, 1 aarch64 (architecture code - 1)
constexpr u32 path_max = 520;
enum : u8 { state_none = 0, state_fetching = 1, state_held = 2, state_waiting = 3 };
constexpr u32 first_backoff_ms = 600000;
constexpr u32 last_backoff_ms = 21600000;
constexpr u32 chunks_per_round = 4;

struct Build {
  u8 state;
  u64 file;      // the held build's handle, 0 none
  u64 size;
  u32 size32;
  u8 sha256[32];
  u8 signature[remote_update::signature_size];  // the release key's, over the version, architecture and digest
  u64 next_try;  // ms
  u32 backoff;   // ms
};

struct Counters {
  u32 chunks;
  u32 no_binary;  // heads sent without a binary
  u32 fetches;
  u32 opened;
  u32 failures;
};

struct Feed {
  u64 version;  // the host's, packed
  Build builds[arch_count];
  proc::Child child;
  u8 running;
  u8 child_arch;         // index
  u8 checksums_missing;  // bit i: the last fetch for index i ended with exit code 3
  u32 last_served;       // slot, round robin
  Counters counters;
  u8 release_key[32];
  u8 keyed;  // a release key is known: without one nothing is opened, fetched or served
  u32 folder_len;
  u32 program_len;
  u8 folder[path_max];
  u8 program[path_max];
  alignas(8) u8 scratch[remote_update::chunk_max];
};

// <local data>/Vimbrel/linux into out; its length, 0 when the variable is unset or empty or the path would reach
// 521 bytes.
u32 folder(mem::Slice out);
// A feed for the host's version, its Linux folder and program path (either may be empty: nothing is then opened or
// fetched) and the key that signs releases (null: none).
void init(Feed* feed, u64 version, mem::Bytes linux_folder, mem::Bytes program, const u8* release_key);
// The host's words when it has no release key: "no release key: this build does not update its agents".
mem::Bytes no_key_text();
// init with this process's folder, own path and release key.
void create(Feed* feed, u64 version);
// Once per host round: the fetch child's end, the checksums-missing bits to the host's table, up to 4 chunks.
void step(Feed* feed, hub::Hub* hub, u64 now_ms, u32 now_units, u32 wall);
// Closes both build files and ends the fetch child.
void close(Feed* feed);

// Makes the build of index a ready for an ask: nothing while it is fetching or held, waiting before its next try,
// or while any fetch child runs; else opens it, or starts the fetch child, or waits to retry.
void arch_step(Feed* feed, u32 a, u64 now_ms);
// 1 when the build of index a in the folder checks and is now held.
u32 open_build(Feed* feed, u32 a);
u32 start_fetch(Feed* feed, u32 a);
void fetch_step(Feed* feed, u64 now_ms);
void retry_later(Feed* feed, u32 a, u64 now_ms);
// 600,000 ms the first time, then twice the last, at most six hours.
u32 retry_delay(u32 backoff);
// Serves up to 4 pending asks, round robin over the slots; a member that cannot take its chunk this round is
// passed over, not waited for.
void serve_chunks(Feed* feed, hub::Hub* hub, u64 now_ms, u32 now_units, u32 wall);

// ---- The --linux-fetch child.

// Exit codes.
enum : u32 {
  fetch_placed = 0,
  fetch_unknown_arch = 1,
  fetch_no_folder = 2,     // no Linux folder, a path too long, or the download file cannot be created
  fetch_no_checksums = 3,  // SHA256SUMS not available, or without exactly one line for the build
  fetch_download = 4,      // the build or its signature could not be downloaded
  fetch_not_listed = 5,    // the build is not the one listed (size, ELF header, SHA-256), or the key did not sign
                           // this version, architecture and digest
  fetch_not_placed = 6,
  fetch_no_key = 7,        // this build has no release key: nothing is asked for
};
bool is_fetch_option(mem::Bytes word);  // "--linux-fetch"
// The release's folder on the update server: the feed's origin, "/downloads/vimbrel/v", a.b.c, "/"; its length, 0
// when the feed URL does not parse or the result would pass 256 bytes.
u32 release_base(const update::Config* config, u64 version, mem::Slice out);
// The child's work with a given configuration (server, key, time-outs) into the folder; its exit code.
u32 fetch(const update::Config* config, mem::Bytes arch_word, u64 version, mem::Bytes linux_folder);
// The child's entry: the program's own configuration; the exit code.
u32 fetch_main(mem::Bytes arch_word, u16 major, u16 minor, u16 patch);

}  // namespace linuxfeed
