#pragma once
// The updater: the feed and manifest rules (the feed's URL and its beta form, the manifest's exact line format,
// version parsing and ordering, which URLs are accepted, the same-origin rule between feed and release, the
// "<exe>.latest" copy), the update files beside the program, the download and its verification (SHA-256 against the
// manifest, then a detached Ed25519 signature of the configuration's key), the install that parks the running program
// and can always put it back, and the update worker `--vimb-update check|fetch|swap` with the controller's half that
// starts it and decodes its 32-bit report. Everything read from the network is refused whole, never half taken.
#include "base/mem.h"
#include "platform/proc.h"

namespace update {

// ---- The worker's option words (the command line's matchers).
bool is_worker_option(mem::Bytes word);  // "--vimb-update"
mem::Bytes notes_option();               // "--update-notes"
// The word after "--vimb-update": 1 "check", 2 "fetch", 3 "swap", 0 otherwise.
u32 parse_worker_mode(mem::Bytes word);

// ---- Versions.

// a.b.c, and for a beta the N of "-beta.N"; beta is -1 for a release.
struct Version {
  u32 major;
  u32 minor;
  u32 patch;
  i32 beta;
};
Version version_zero();  // 0.0.0, beta -1
// 1 when the whole text is a.b.c or a.b.c-beta.N: numbers of 1 to 9 digits without a leading zero ("0" alone is
// allowed); out is reset first.
u32 parse_version(mem::Bytes text, Version* out);
u32 is_version_text(mem::Bytes text);
// True when a is newer than b: a release is newer than every beta of the same a.b.c.
bool compare_versions(Version a, Version b);

// ---- URLs.

mem::Bytes feed_tail();       // "/latest.txt"
mem::Bytes beta_feed_tail();  // "/latest-beta.txt"
inline constexpr u64 max_feed_url = 2048;

struct Url {
  u8 secure;       // 1 https, 0 plain http (only to 127.0.0.1, only when local URLs are allowed)
  u64 host_start;  // host bytes are url[host_start .. host_end)
  u64 host_end;
  u32 port;
  u64 path_start;  // the "/" that begins the path
};

// True when the text holds neither '?' nor '#'.
bool is_plain_url(mem::Bytes url);
// The beta feed URL's length (the URL's plus 5) when the URL ends in "/latest.txt", is plain and that length is at
// most 2,048; 0 otherwise.
u64 check_feed_url(mem::Bytes url);
// The URL with its final "/latest.txt" replaced by "/latest-beta.txt" in the buffer; empty when it does not qualify
// or does not fit.
mem::Bytes beta_feed_url(mem::Bytes url, mem::Slice buffer);
// 1 when the URL is an update URL; local allows plain "http://127.0.0.1".
u32 parse_url(mem::Bytes url, bool local, Url* out);
bool same_origin(mem::Bytes a, mem::Bytes b, bool local);

// ---- The manifest.

struct Manifest {
  Version version;
  u64 version_start, version_end;
  u64 file_start, file_end;
  u8 sha256[32];
  u64 url_start, url_end;
};
void reset_manifest(Manifest* m);

// The first line's key: short name + "-latest" (at most 64 bytes; empty when longer or when it does not fit).
mem::Bytes manifest_key(mem::Bytes short_name, mem::Slice buffer);
inline constexpr u64 no_line = ~u64(0);
// The line of that key that begins exactly at the offset: "key value\n" with a value of at least one byte and no
// blank; the value's offsets, and the offset of the next line, or no_line.
u64 key_line(mem::Bytes text, u64 offset, mem::Bytes key, u64* start, u64* end);
// 1 when the text is a valid manifest; the stable form refuses a beta version.
u32 parse_manifest(mem::Bytes text, mem::Bytes short_name, bool local, Manifest* out);
u32 parse_beta_manifest(mem::Bytes text, mem::Bytes short_name, bool local, Manifest* out);

// ---- The "<exe>.latest" copy.

inline constexpr u64 manifest_capacity = 4096;
// Writes the whole text; on any failure no file is left behind. 1 on success.
u32 write_latest_file(mem::Bytes latest_path, mem::Bytes text);
// Reads the whole file into the buffer; 1 with its length only when the whole file fits.
u32 read_latest_file(mem::Bytes latest_path, mem::Slice buffer, u64* length);

// ---- The check step.

// The build inputs VIMBREL_UPDATE_ORIGIN ("https://host[:port]") and VIMBREL_RELEASE_KEY (64 hex digits, or empty
// for a build without a release key), compiled into the program (a source that CMake writes).
mem::Bytes built_in_origin();
mem::Bytes built_in_key_hex();
mem::Bytes built_in_feed_url();  // the origin followed by feed_path()
// The update server's host name: the origin's.
mem::Bytes server_host();
// What a build without a release key says where updates are shown: it does not update itself.
inline mem::Bytes no_key_text() { return mem::lit("This build has no release key: it does not update itself"); }
// The word of the builds this one is replaced by, which a release's signature names: the processor of a Linux build
// ("x86_64" or "aarch64", the words the cluster host serves its agents' builds under), or "windows-" and the
// processor for a Windows build, so that no signature of one system's release passes for the other's.
mem::Bytes build_arch();
// The feed of this system's builds: a Linux build reads "/downloads/vimbrel/linux/<processor>/latest.txt", a Windows
// build "/downloads/vimbrel/latest.txt" (the beta feeds end in "/latest-beta.txt" instead).
#if defined(_WIN32) && defined(__aarch64__)
#define VIMBREL_BUILD_ARCH "windows-aarch64"
#define VIMBREL_FEED_PATH "/downloads/vimbrel/latest.txt"
#elif defined(_WIN32)
#define VIMBREL_BUILD_ARCH "windows-x86_64"
#define VIMBREL_FEED_PATH "/downloads/vimbrel/latest.txt"
#elif defined(__aarch64__)
#define VIMBREL_BUILD_ARCH "aarch64"
#define VIMBREL_FEED_PATH "/downloads/vimbrel/linux/aarch64/latest.txt"
#else
#define VIMBREL_BUILD_ARCH "x86_64"
#define VIMBREL_FEED_PATH "/downloads/vimbrel/linux/x86_64/latest.txt"
#endif
// A Windows program carries its version in its version resource, which a release must agree with; the Linux builds
// carry none, so there the manifest's version is what the version check compares (flag 4).
#ifdef _WIN32
#define VIMBREL_CONFIG_FLAGS 0u
#else
#define VIMBREL_CONFIG_FLAGS 4u
#endif

enum : u32 { flag_local = 1, flag_no_revocation = 2, flag_manifest_version = 4, flag_beta = 8 };

struct Config {
  mem::Bytes short_name;    // "vimbrel"
  mem::Bytes feed_url;      // "https://" + server_host() + the feed path of this system's builds
  mem::Bytes signer;        // the maker's name, as the texts show the signer
  mem::Bytes product;       // "Vimbrel", the user agent
  mem::Bytes version_text;  // the running version
  mem::Bytes folder;        // "Vimbrel"
  u64 limit;                // 0: 64 MiB
  u32 flags;
  // The release signing key: a release file is accepted only with a detached Ed25519 signature ("<file>.sig")
  // of this key over the line "vimbrel <version> <arch> <sha256>" of the offered version and the file's digest.
  u8 public_key[32];
  u8 has_key;               // 0: the build has no release key: nothing is checked for, fetched or installed
  mem::Bytes ca_file;       // trusted certificates instead of the system's (tests only); empty normally
  u32 wait_ms;              // 0: the HTTP time-outs below; else every time-out (tests only)
  u32 deadline_ms;          // 0: the transfer bounds below; else the bound of every transfer (tests only)
};
// The program's configuration for its version text (limit 0): the feed of this system's builds at the built-in
// origin, the built-in release key and this system's flags (VIMBREL_CONFIG_FLAGS).
Config make_config(mem::Bytes version_text);
// A configuration of the given fields, with no release key, no test certificates and the standard time-outs.
Config fill_config(mem::Bytes short_name, mem::Bytes feed_url, mem::Bytes signer, mem::Bytes product,
                   mem::Bytes version_text, mem::Bytes folder, u64 limit, u32 flags);
mem::Bytes feed_path();  // VIMBREL_FEED_PATH
// The HTTP time-outs of every update transfer.
inline constexpr u32 resolve_ms = 15000, connect_ms = 15000, send_ms = 30000, receive_ms = 30000;
// The bound of a whole transfer however lively: a small file (feed, signature, notes, checksum list) gets a
// minute; a file to disk a minute more than its limit takes at 64 KiB a second.
inline constexpr u32 small_transfer_ms = 60000;
u32 transfer_bound_ms(const Config* config, bool to_file, u64 limit);
inline constexpr u64 default_limit = 67108864;

// The last HTTP transfer: status, failure stage (0 none; 1 bad URL, 2 session, 3 connect, 4 send, 5 read, 6 body
// over the limit, 7 file write), the system error of the failing call, bytes received.
struct HttpResult {
  u32 status;
  u32 stage;
  u32 error;
  u64 received;
};
// GETs the URL into the buffer, at most limit bytes (one more is stage 6). 1 when the transfer succeeded.
u32 http_get_to_memory(const Config* config, mem::Bytes url, mem::Slice buffer, u64 limit, HttpResult* out);
// GETs the URL into the open file (a handle of the file layer), at most limit bytes. 1 when the transfer succeeded.
u32 http_get_to_file(const Config* config, mem::Bytes url, u64 file, u64 limit, HttpResult* out);

// Worker states.
enum : u32 {
  state_none = 0,
  state_up_to_date = 1,
  state_available = 2,
  state_not_installable = 3,
  state_staged = 4,
  state_swapped = 5,
  state_put_back = 6,
  state_failed = 7,
};
// Reasons (the texts are the update state's words).
enum : u32 {
  reason_config = 1,
  reason_no_path = 2,
  reason_unsupported = 3,
  reason_no_version = 4,
  reason_order = 5,
  reason_unreachable = 6,
  reason_malformed = 7,
  reason_foreign = 8,
  reason_locked = 9,
  reason_no_download_file = 10,
  reason_download = 11,
  reason_digest = 12,
  reason_not_signed = 13,
  reason_other_signer = 14,
  reason_wrong_version = 15,
  reason_no_new = 16,
  reason_promote = 17,
  reason_not_replaced = 18,
  reason_revert = 19,
  reason_read_only = 20,
  reason_no_start = 21,
  reason_no_report = 22,
  reason_latest = 23,
  reason_program_missing = 24,
};

// ---- The update files of one program path.

// A path of at most 1,099 bytes; the program path itself at most 1,083, so every suffix fits.
inline constexpr u64 path_capacity = 1100;
inline constexpr u64 program_path_max = 1083;
struct Path {
  u8 bytes[path_capacity];
  u64 len;
};
inline mem::Bytes view(const Path& p) { return mem::Bytes(p.bytes, p.len); }

// The last verification: the verdict and the signature checks' own result. Where the system checks signed programs
// (Windows), the revocation checks and provider flags given to it and its answer (0 signed and trusted); elsewhere
// the release key's check alone (1 no signature, 2 not the key's) and zero flags.
struct Verdict {
  u32 revocation;
  u32 provider_flags;
  u32 result;
  u32 verdict;         // 0 good, 1 digest, 2 not signed, 3 another signer, 4 version
};

struct Paths {
  Path program;
  Path old;        // "<exe>.old"
  Path fresh;      // "<exe>.new"
  Path download;   // "<exe>.download"
  Path latest;     // "<exe>.latest"
  Path signature;  // "<exe>.new.sig": the staged release's signature, kept for the check at install
  u64 download_handle;
  Verdict verdict;
  u32 step;        // install step 1 to 7 of the last failed file operation, 0 none
  u32 error;       // its system error number
  u64 device;      // the program file's identity, read when the paths were made (0 when unreadable)
  u64 inode;
};

// Install steps.
enum : u32 { step_open = 1, step_verify = 2, step_park = 3, step_place = 4, step_undo = 5, step_promote = 6,
             step_rollback = 7 };

// The result record of a worker: filled by the worker, rebuilt from the exit code by the controller.
struct Result {
  u32 state;
  u32 reason;
  Version running;
  Version offered;
  Paths paths;
  Manifest manifest;
  u8 text[manifest_capacity];
  u64 text_length;
  HttpResult http;
};
void reset_result(Result* r);

// Judges a received feed (result->text and result->http set) against the feed URL it came from: the manifest, the
// offered version, the same-origin rule and the state.
void take_feed(const Config* config, mem::Bytes feed_url, bool beta, Result* result);
// The check step: GET the feed (the beta feed with flag_beta) and judge it.
void fetch_feed(const Config* config, Result* result);
void fetch_beta_feed(const Config* config, Result* result);
// Leaves the received manifest text beside the program as "<exe>.latest"; 1 on success (nothing is left on a failure).
u32 save_manifest(const Result* result, mem::Bytes latest_path);
// Reads "<exe>.latest" and parses it as this channel's manifest into the result; 1 on success.
// With flag_beta the beta variant reads it.
u32 load_saved_manifest(const Config* config, mem::Bytes latest_path, Result* result);
u32 load_saved_beta_manifest(const Config* config, mem::Bytes latest_path, Result* result);


// ---- Update files.

// The running program's path (at most 1,083 bytes); 0 when it cannot be read or is longer.
u32 module_path(Path* out);
// The update files of the running program, or of a given absolute program path; 1 when the path was taken.
u32 own_paths(Paths* out);
u32 paths_for(mem::Bytes program, Paths* out);
// Builds the siblings and reads the program's identity; clears the handle, verdict, step and error.
u32 make_paths(mem::Bytes program, Paths* out);
// "<exe>.old" for 0, "<exe>.old-N" for 1 to 8.
void numbered_old_path(const Paths* paths, u32 n, Path* out);
inline constexpr u32 parking_slots = 9;

// ---- The update lock: one process at a time may download, install, revert or restore one program path.

// SHA-256 over the program path's lock key (fs::path_lock_key: on Windows the upper-cased UTF-16 path, so two
// spellings of one program share the lock), the first 8 bytes as a big-endian number.
u64 mutex_name_hash(mem::Bytes program);
// Takes the lock at once or not at all: 1 with the handle, 0 when another process holds it.
u32 lock(const Config* config, const Paths* paths, u64* handle);
void unlock(u64* handle);

// ---- File primitives. Each hands back the system's error number (0 success). Moves and opens follow the retry
// rule: tried again 100 ms apart while the file is busy (up to 20 attempts) or access is refused (up to 10).

bool file_exists(mem::Bytes path);
// Succeeds when the file is gone afterwards (a missing file counts as deleted); a file a program runs from stays.
bool delete_file(mem::Bytes path, u32* error);
bool move_file_retry(mem::Bytes from, mem::Bytes to, bool replace, u32* error);
// Gives the program file, running or not, its parking name (never replacing): a second name of the file where the
// system allows one for a running program, else a move that frees the program's name.
bool park_retry(mem::Bytes from, mem::Bytes to, u32* error);
// Moves the file the handle holds from its name to the target, replacing it.
bool rename_by_handle(u64 handle, mem::Bytes from, mem::Bytes to, u32* error);
// Opens "<exe>.new" for reading.
bool open_exclusive(const Paths* paths, u64* handle, u32* error);
void delete_latest(const Paths* paths);

// ---- Download and verification.

// Verdicts and the reasons they become; install results 5 to 7 become 16, 18 and 24.
enum : u32 { verdict_good = 0, verdict_digest = 1, verdict_not_signed = 2, verdict_other_signer = 3,
             verdict_version = 4 };
u32 result_reason(u32 verdict_or_install_result);

// SHA-256 of the whole file through its handle; 1 when every byte was read.
u32 hash_file(u64 handle, u8 digest[32]);
// The file version of the program file's version resource (beta -1); 1 when it was found.
u32 read_pe_version(u64 handle, Version* out);
// The file version of the running program's version resource as the system reads it (beta -1); 1 when it has one.
u32 file_version(Version* out);
// The signature check: 1 when the signature (64 bytes, or none) is the configuration key's over the line of the
// version, this build's architecture and the digest. A configuration without a key accepts nothing.
u32 check_signature(const Config* config, Version version, const u8 digest[32], const u8* signature);
// "a.b.c" or "a.b.c-beta.N" into the buffer (at least 48 bytes); its length.
u32 version_text(Version v, mem::Slice out);
// The verdict of a release file: digest first (nothing else is checked when it differs), then the signature over
// the manifest's version and that digest (a release signed for another version is refused here), then the system's
// own check of a signed program where it has one (trusted, signed by the configuration's signer name), then the
// version: with flag 4 the manifest's version must be newer than the running one; without it the file's own version
// must also be the manifest's, which must be a release. The record keeps it.
u32 verify_file(const Config* config, u64 handle, const u8 digest[32], Version manifest_version, Version running,
                const u8* signature, Verdict* out);
// The steps of a download. Creating "<exe>.download" anew (a leftover removed first) keeps its handle in the paths:
// 0, or the system's error. Verifying it through that handle keeps the verdict in the paths: the reason, 0 when good.
// Promoting writes the signature beside "<exe>.new" and renames the open file to it: 0, or reason 17 with the step
// and error recorded. Discarding closes the handle and deletes "<exe>.download".
u32 create_download(Paths* paths);
// True when the system's error of that creation says the folder takes no new files (access denied, or a
// write-protected medium): the release can then only be installed by hand, which is no failure of the update.
bool may_not_create(u32 error);
u32 verify_download(const Config* config, Paths* paths, const u8 digest[32], Version manifest_version,
                    Version running, const u8* signature);
u32 promote_download(Paths* paths, const u8 signature[64]);
void discard_download(Paths* paths);
// Downloads the manifest's release into "<exe>.download" (created anew, mode of the program, never through a
// link), fetches its signature "<url>.sig", verifies both, and promotes the file to "<exe>.new" with the signature
// beside it as "<exe>.new.sig". The reason (0 when nothing failed) and whether ".new" is staged.
u32 download_release(const Config* config, Paths* paths, const Manifest* manifest, mem::Bytes manifest_text,
                     Version running, bool* staged, HttpResult* out);

// ---- Install, rollback and recovery (under the update lock, except the leftover removal's check).

enum : u32 { install_done = 0, install_no_new = 5, install_intact = 6, install_missing = 7 };
// Installs "<exe>.new" over the program; an install result (0 done, 1 to 4 a verdict of ".new").
u32 install(const Config* config, Paths* paths, const u8 digest[32], Version manifest_version, Version running);
// The parking slot 0 to 8, or -1 when none is free (the error of the ".old" deletion then).
i32 choose_parking(Paths* paths, u32* error);
i32 free_parking_slot(Paths* paths);
bool rollback(Paths* paths, mem::Bytes parked, u32 place_error);
void delete_parked_except(Paths* paths, i32 kept);
// The slot whose file has the program's recorded identity, or -1.
i32 find_parked(const Paths* paths);
u32 install_reason(bool opened, u32 error);
// The revert of a swap whose new program did not start; the restore of a missing program file; the removal of
// leftover update files. Each works on the result's update files and sets its state and reason.
void revert_swap(const Config* config, Result* result);
bool revert_files(Paths* paths);
void restore_program(const Config* config, Result* result);
bool put_back_parked(Paths* paths);
void clean_leftovers(const Config* config, Result* result);
bool delete_leftovers(Paths* paths);
// The suffix (".old" or ".old-N") of the parked copy with the program's identity; its length, 0 when none.
u64 parked_suffix(const Result* result, u8* buffer, u64 capacity);
u64 parked_suffix_of(const Paths* paths, u8* buffer, u64 capacity);

// ---- The worker.

mem::Bytes mode_word(u32 mode);  // "check", "fetch", "swap"; another number gives the short name
// 1 when the configuration is valid.
u32 check_config(const Config* config);
// The running version: the version text when there is one, else the running program's own file version; 1 on
// success.
u32 own_version(const Config* config, Version* out);
// The preparation every verb runs first: a cleared result with the update files and the running version, or state
// 7 with reason 1, 2 or 4.
void run_check(const Config* config, bool built, Result* result);
void prepare_own(const Config* config, Result* result);
void prepare_for_path(const Config* config, mem::Bytes program, Result* result);
u32 check(const Config* config, Result* result);
void worker_fetch(const Config* config, bool fetch, Result* result);
void fetch(const Config* config, Result* result);
void worker_swap(const Config* config, Result* result);
void swap(const Config* config, Result* result);
// Runs one step (1 check, 2 fetch, 3 swap) for the running program; the packed report.
u32 worker_main(const Config* config, u32 mode);

// The worker's 32-bit report: tag 0x56 in bits 24-31, state 21-23, reason 16-20, step 12-15, detail 0-11.
u32 pack_exit_code(u32 state, u32 reason, u32 step, u32 detail);
struct Unpacked {
  u32 tag, state, reason, step, detail;
};
Unpacked unpack_exit_code(u32 code);
bool reason_has_step(u32 reason);
// The report of a finished result.
u32 report_of(const Result* result);

// ---- The controller's half.

struct Worker {
  proc::Child child;
  u32 mode;
  u8 running;
};
// Starts a worker for one step of the result's program (the result prepared for it).
void start_worker(const Config* config, u32 mode, Worker* worker, Result* result);
// 1 while the worker runs; 0 when it is not running or has just ended (then its report is in the result).
u32 poll_worker(const Config* config, Worker* worker, Result* result);
void take_worker_result(const Config* config, u32 code, Result* result);
bool check_age_due(bool checks_on, bool worker_running, bool checked_before, u64 ms_since_last);

// The release key this program trusts (the built-in one; in a test build the test seam's when set): true with the
// key, false when there is none.
bool release_key(u8 out[32]);

// Room for the configuration texts that a test build may take from its environment.
struct TestSeams {
  u8 feed[2048];
  u8 ca[1024];
};
#ifdef VIMBREL_TEST_SEAMS
// Test builds only: the configuration's feed, key, certificates, time-outs and flags may come from the environment
// (VIMBREL_TEST_UPDATE_FEED, _KEY as 64 hex digits, _CA, _WAIT_MS, _DEADLINE_MS, _LIMIT, _FLAGS), so tests reach
// their own server with their own key. The texts live in the store.
void apply_test_seams(Config* config, TestSeams* store);
#endif
// What a process that is not built with the seams calls (the window's controller): in a test build the same as
// apply_test_seams, so the window and its worker read one configuration; in any other build nothing.
void take_test_seams(Config* config, TestSeams* store);

}  // namespace update
