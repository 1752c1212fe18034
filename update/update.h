#pragma once
// The updater's feed and manifest rules: the feed's URL and its beta form, the manifest's exact line format, version
// parsing and ordering, which URLs the updater accepts, the same-origin rule between feed and release, and the
// "<exe>.latest" copy of the manifest. Everything here reads bytes that came from the network: every refusal is a
// plain 0 (or no_line), never a partial answer.
#include "base/mem.h"

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

// The update server's host name (a constant of the program).
mem::Bytes server_host();

enum : u32 { flag_local = 1, flag_no_revocation = 2, flag_manifest_version = 4, flag_beta = 8 };

struct Config {
  mem::Bytes short_name;    // "vimbrel"
  mem::Bytes feed_url;      // "https://" + server_host() + "/downloads/vimbrel/latest.txt"
  mem::Bytes signer;        // the expected code signer
  mem::Bytes product;       // "Vimbrel", the user agent
  mem::Bytes version_text;  // the running version
  mem::Bytes folder;        // "Vimbrel"
  u64 limit;                // 0: 64 MiB
  u32 flags;
};
// The program's configuration for its version text (limit 0, flags 0).
Config make_config(mem::Bytes version_text);

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

// Worker states and the reasons the check step gives.
enum : u32 { state_none = 0, state_up_to_date = 1, state_available = 2, state_failed = 7 };
enum : u32 { reason_order = 5, reason_unreachable = 6, reason_malformed = 7, reason_foreign = 8 };

// The part of the worker's result that the check step fills.
struct Result {
  u32 state;
  u32 reason;
  Version running;
  Version offered;
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
u32 load_saved_manifest(const Config* config, mem::Bytes latest_path, Result* result);

}  // namespace update
