#pragma once
// The cluster files and words of the cluster link: where cluster.key and publish.txt lie, how they are read and
// written, how a target text is classified, the dotted IPv4 parser, the link's status words and 160-byte status
// lines, and the taking of a received beacon. Unreadable, missing or malformed files never stop a caller: loaders
// report a result and leave a key state made from 32 zero bytes, which no caller may publish or serve with.
#include "base/mem.h"
#include "wire/auth.h"

namespace cluster {

// ---- Targets and addresses.

// Marks a parsed address as valid, so that 0.0.0.0 (any address) differs from a refused text.
constexpr u64 ipv4_valid = u64{1} << 32;

// Exactly four dot-separated groups of one to three decimal digits, each at most 255 (leading zeros allowed), and
// nothing else. Returns the address in host order (first group most significant) with ipv4_valid set; 0 when
// malformed.
u64 parse_ipv4(mem::Bytes text);

// Kinds of a target text.
constexpr u32 target_invalid = 0, target_server = 1, target_path = 2;
constexpr u32 target_max = 160;
constexpr u16 default_port = 7420;
constexpr u16 default_beacon_port = 7421;

// A target is 1 to 160 printable bytes (32 to 126). It is a path (2) when it is a drive path (a letter, ":", then
// "\" or "/", at least 4 bytes), a UNC path ("\\", a server name, "\" and at least one more byte) or an absolute
// POSIX path ("/" and at least one more byte); else a server (1) when the part before the first ":" is a dotted
// IPv4 address and the rest is empty (port 7420) or ":" and a port of 1 to 65535; else invalid (0).
u32 target_kind(mem::Bytes text);

// True when the argument is "--lease", the word that starts the lease child.
bool is_lease_option(mem::Bytes word);
mem::Bytes lease_option();

// ---- Paths. Each fits path_capacity bytes; a path that would not, or an unset or empty variable, gives length 0
// and the file counts as absent.

constexpr u32 path_capacity = 1024;
// The roaming settings folder's "Vimbrel" folder joined with leaf: <APPDATA>/Vimbrel/<leaf>.
u64 app_path(mem::Bytes leaf, mem::Slice out);
// The same under the local folder: <LOCALAPPDATA>/Vimbrel/<leaf>.
u64 local_path(mem::Bytes leaf, mem::Slice out);
u64 key_path(mem::Slice out);
inline u64 default_key_path(mem::Slice out) { return key_path(out); }
u64 publish_path(mem::Slice out);
// "machines.txt" in the folder of the publish file (its path up to and including the last "\" or "/").
u64 machines_path(mem::Bytes publish_file, mem::Slice out);
// Under --test the window uses its base text followed directly by ".key", ".publish" or ".machines"; the base must
// not be empty.
u64 test_path(mem::Bytes base, mem::Bytes suffix, mem::Slice out);

// ---- Small files.

// True when the file opens and reads: at most buffer.len bytes from its start. Only plain files are read, so a
// pipe, a terminal or a device named as a key file never blocks or floods the caller.
bool read_small_file(mem::Bytes path, mem::Slice buffer, u64* length);
// False for an empty path. Creates every missing folder of the path, then replaces the file whole and atomically:
// a crash leaves the old file or the new one, never a torn one. Under the per-user folders the file is private to
// the user (0600 on Linux).
bool write_file(mem::Bytes path, mem::Bytes bytes);
// write_file for a key file: private to its owner (0600) in any folder, and never over anything but a plain file.
bool write_key_file(mem::Bytes path, mem::Bytes bytes);

// ---- The key file.

// The work area of the key functions; zeroed before and after every use.
struct KeyWork {
  u8 text[128];      // what was read or given
  u8 key[32];        // the parsed key
  u8 formatted[80];  // the file text or the key line
};
void wipe_key_buffer(KeyWork* work);
// "ok", "header", "hex", "length", "trailing", "weak"; "unknown" beyond.
mem::Bytes key_verdict_name(u32 verdict);

enum : u32 { key_loaded = 0, key_unreadable = 1, key_refused = 2, key_exposed = 3 };
// Reads at most 128 bytes of the file and parses them. A good key in a file that another user owns, or that the
// group or others may read or write, is not taken (3): whoever can read it can join the cluster, and whoever can
// write it can choose its key. The state holds the key only when loaded (result 0); otherwise the zero key.
// verdict is the parser's (0 when the file could not be read).
u32 load_key(mem::Bytes path, KeyWork* work, auth::KeyState* state, u32* verdict);

enum : u32 { import_done = 0, import_refused = 1, import_unreadable = 2, import_not_written = 3 };
// Takes a pasted or typed key: the key line, the 64 digits alone, or a file path to read it from; blanks around
// it and a pair of double quotes are dropped. When good, writes the key file to destination (none: nothing is
// written; the file is private to its owner wherever it goes) and prepares the state; otherwise the state holds the
// zero key.
u32 import_key(mem::Bytes text, mem::Bytes destination, KeyWork* work, auth::KeyState* state, u32* verdict);

// A random source fills the buffer and answers 1, or answers 0 (os::random_bytes is one).
using RandomSource = u32 (*)(mem::Slice buffer);
enum : u32 { new_key_done = 0, new_key_not_written = 3, new_key_no_random = 4 };
// 32 random bytes (not all zero) written as a new key file; the state holds the new key only when all succeeded.
u32 new_key(mem::Bytes destination, RandomSource random, KeyWork* work, auth::KeyState* state);
// The key line ("vimbrel-key 1 " and 64 lower-case digits, no line end) of a good key file in work->formatted:
// 78, or 0 (and nothing) otherwise.
u32 key_text(mem::Bytes path, KeyWork* work);

// ---- Publish settings.

struct PublishSettings {
  u8 publish;           // 0 or 1
  u8 target_kind;       // target_invalid (none), target_server, target_path
  u8 id_present;
  u32 address;          // target IPv4 (first octet most significant), server targets only
  u32 port;             // target port, server targets only
  u32 target_length;
  u8 target[target_max];
  u8 id[16];
  u32 beacon_address;
  u16 beacon_port;      // 7421 after reset
  u8 beacon_length;
  u8 beacon[24];        // "off" or ipv4:port as given
};
constexpr u32 publish_read_max = 512;
// Adjusts a share target's beacon address and port before a driver follows it (the background settings and the
// VIMBREL_BEACON override); null leaves the settings as read.
using ShareBeacon = PublishSettings (*)(const PublishSettings* settings);

// Everything off and empty; the beacon port 7421.
void publish_reset(PublishSettings* settings);
// Resets, then reads the lines of the text: true when the header "vimbrel-publish 1" (after an optional byte order
// mark) holds, ended by LF or CR LF.
bool parse_publish(mem::Bytes text, PublishSettings* settings);
// Reads at most 512 bytes of the file; true only when it was read and its header holds (else the reset settings).
bool read_publish(mem::Bytes path, PublishSettings* settings);
// read_publish, telling a missing file from one that is there but cannot be used: unreadable, a refused header, or
// an id line that is not 32 hex digits. A damaged file is the user's to mend; nothing may write over it.
enum : u32 { publish_read = 0, publish_missing = 1, publish_damaged = 2 };
u32 read_publish_state(mem::Bytes path, PublishSettings* settings);
// The file text: header, publish, target, beacon (when set), id (when present), each line ended by LF. The length,
// 0 when out is too small.
u32 format_publish(const PublishSettings* settings, mem::Slice out);
bool write_publish(mem::Bytes path, const PublishSettings* settings);
// An empty text clears the target; a text of kind 0 returns false and changes nothing; otherwise stores the kind,
// the text (the rest of the field zeroed) and for a server its address and port.
bool set_target(PublishSettings* settings, mem::Bytes text);
// "off" (address and port 0), or at most 24 bytes of ipv4:port; 1 stored, 0 refused (nothing changes). The
// VIMBREL_BEACON override applies through it.
u32 set_beacon(PublishSettings* settings, mem::Bytes text);
void set_machine_id(PublishSettings* settings, const u8 id[16]);
mem::Bytes target_text(const PublishSettings* settings);

// The machines list settings file: at most 160 bytes read; written whole. Its contents belong to the Machines page.
constexpr u32 machines_read_max = 160;
bool read_machines(mem::Bytes path, mem::Slice buffer, u64* length);
bool write_machines(mem::Bytes path, mem::Bytes text);

// ---- Words and status lines.

// The link status words, 0 "waiting" to 13; any other value "waiting".
mem::Bytes link_status_text(u32 status);
enum : u32 {
  status_waiting = 0,
  status_connected = 1,
  status_refused = 2,
  status_moved = 3,
  status_host_proof = 4,
  status_closed = 5,
  status_cannot_connect = 6,
  status_no_answer = 7,
  status_no_lease = 8,
  status_older_term = 9,
  status_no_random = 10,
  status_bad_frame = 11,
  status_new_host = 12,
  status_no_address = 13,
};
// The refusal words of reasons 1 to 6, else "unknown reason".
mem::Bytes refuse_reason_text(u32 reason);

// A status line: 160 bytes and a length; what does not fit is cut off.
constexpr u32 text_capacity = 160;
struct Text {
  u8 bytes[text_capacity];
  u32 len;
};
// Replaces the line with bytes.
void text_put(Text* text, mem::Bytes bytes);
void text_append(Text* text, mem::Bytes bytes);
// Appends an unsigned number in decimal.
void text_put_dec(Text* text, u64 value);
// Appends the four octets in decimal joined by ".", then ":" and the port.
void text_put_address(Text* text, u32 address, u32 port);

// What a link end shows of itself.
enum : u8 { phase_stopped = 0, phase_waiting = 1, phase_connecting = 2, phase_hello = 3, phase_proof = 4,
            phase_open = 5 };
struct LinkView {
  u8 phase;
  u8 status;
  u16 reason;     // of the last refusal
  u8 own_host;    // the host is this machine's own
  u8 caches;      // the share served an old lease
  u16 port;       // the target port; 0 when none is known
  u32 address;
  u32 term;
  u64 next_try;   // ms, the time of the next dial
};
// The status words, and for a refusal ": " and the reason's words.
void put_link_status(const LinkView* link, Text* text);
// The line by phase: "off"; the status and the time to the next try; "connecting to " the address; "publishing to "
// the address, the own-host mark and the term.
void format_status(const LinkView* link, u64 now, Text* text);
// format_status on an emptied line, with the caching hint when the share serves an old lease.
void status_line(const LinkView* link, u64 now, Text* text);

// The n-th (from 0) dot-separated decimal number of a version text; non-digit bytes are skipped.
u32 version_part(mem::Bytes text, u32 n);

// ---- Beacons.

// A host heard of through a sealed lease or beacon datagram.
struct Heard {
  u8 from_lease;  // 1 a lease record, 0 a beacon
  u16 flags;
  u32 term;
  u32 counter;
  u16 validity;   // the lease's period; 150 for a beacon
  u16 port;
  u32 address;
  u8 yields;      // the lease's writer value; 0 for a beacon
  u8 host_id[16];
};
// A datagram counts only when it is exactly 64 bytes, its seal holds under the key and it decodes as a lease or a
// beacon; then out is filled and the answer is true. Otherwise out is untouched.
bool take_beacon(mem::Bytes datagram, const auth::KeyState* key, Heard* out);

}  // namespace cluster
