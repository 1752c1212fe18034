#pragma once
// The desktop window's update state and its few lasting preferences, one small record kept in settings.txt
// ("vimbrel-settings 1"); the words in which the window reports that state; the decisions the update controller
// and the window take from it; and the header and cleaning of the release notes file. Text is built in a
// caller's buffer: what does not fit is dropped byte by byte.
#include "base/mem.h"

namespace updstate {

// Flag bits of Settings::flags. Bits 1, 2, 5 and 6 describe this run only and are never stored.
enum : u8 {
  flag_checks_on = 1,
  flag_save_failed = 2,
  flag_version_clamped = 4,
  flag_range_600 = 8,
  flag_automatic = 16,
  flag_first_start = 32,
  flag_notes_loaded = 64,
};

// Status codes (status_word gives their words).
enum : u8 {
  status_unchecked = 0,
  status_checking = 1,
  status_up_to_date = 2,
  status_ready = 3,
  status_manual = 4,
  status_failed = 5,
  status_installing = 6,
  status_available = 7,
};

// Reasons set by the controller itself; 1 to 24 come from the update worker.
enum : u8 { reason_did_not_start = 128, reason_put_back = 129 };

struct Settings {
  u32 last_check;  // seconds since 2025-01-01 00:00 UTC of the last finished check; 0 never
  u16 last_version[3];
  u16 skip_version[3];    // 0.0.0 none
  u16 failed_version[3];  // 0.0.0 none
  u16 failure_code;
  u8 status;
  u8 failure_reason;
  u8 failure_step;
  u8 flags;
  u32 chart_range;  // 3600, 86400, 2592000 or 63072000; 0 a live range (60 s, or 600 s with flag_range_600)
};

// A text under construction: bytes past cap are dropped.
struct Buf {
  u8* ptr;
  u32 cap;
  u32 len;
};
// The 512-byte buffer most texts of this module use.
struct Text {
  u8 bytes[512];
  u32 len;
};
Buf buf_of(mem::Slice bytes);
mem::Bytes text_of(const Buf* buf);

void append(Buf* buf, mem::Bytes bytes);
void append_dec(Buf* buf, u64 value);
void append_version(Buf* buf, const u16 version[3]);

// The update server's host name and the expected code signer's name.
mem::Bytes server_host();
mem::Bytes signer_name();

void reset(Settings* s);
// The file text (ten lines, at most 246 bytes) into a buffer of at least 512 bytes; its length.
u32 format_settings(const Settings* s, mem::Slice buffer);
// Resets the record and reads the text; 0 when the header line is wrong (the record stays at its defaults), else 1.
u32 parse_settings(mem::Bytes text, Settings* s);

// The file's path: APPDATA's value and "\Vimbrel\settings.txt" (0 when APPDATA is unset or empty or the path would
// reach 521 bytes); the path's length.
u32 settings_path(mem::Slice buffer);
// Reads at most the first 512 bytes of the file into the record; a missing or refused file leaves the defaults.
// 1 when the file was read with a good header.
u32 load(mem::Bytes path, Settings* s);
// Writes the file all or nothing (the old file stays whole on a failure); sets flag_save_failed on a failure and
// clears it on success. 0 or the file layer's error class.
u32 save(mem::Bytes path, Settings* s);

// A 100-ns file time (since 1601) as seconds since 2025-01-01, clamped to 0 .. 2^32-1.
u32 now_from_filetime(u64 filetime);
// a << 32 | b << 16 | c; 0 means no version.
u64 version_number(const u16 version[3]);
bool version_out_of_range(u32 a, u32 b, u32 c, u32 reason);
bool is_skipped(const Settings* s);
bool is_failed_version(const Settings* s);
bool is_suppressed(const Settings* s);
bool is_automatic(const Settings* s);
bool is_pending_status(u8 status);
bool should_fetch_now(u8 status, u8 flags, bool suppressed);
bool should_offer(u8 status, u8 flags, bool suppressed, bool dismissed);
bool should_restart_now(u8 status, u8 flags, u32 idle_seconds, bool minimised_or_hidden, bool user_asked);

// Worker state to status: check runs and download/install runs differ only for state 2.
u8 status_class(u32 worker_state);
u8 status_of_result(u32 worker_state, bool download_run);

mem::Bytes status_word(u32 status);  // status 4 and 5 are followed by more text; "unknown" outside 0..7
void append_status_word(Buf* buf, u32 status);
mem::Bytes failure_word(u32 reason);  // reason 14 is followed by signer_name()
void append_failure(Buf* buf, u32 reason);
mem::Bytes step_word(u32 step);  // empty outside 1..7
void append_step(Buf* buf, u32 step, u32 code);
// The age of the last check: "just now", "N min ago", "N h ago", "N day ago", "N days ago". The word of an age
// comes with the count of whole units written before it (0 for "just now", which has none).
mem::Bytes age_word(u32 age_seconds, u32* count);
void append_age(Buf* buf, u32 age_seconds);
// The Settings page's one-line state.
void status_line(const Settings* s, u32 now, Buf* buf);
// The line update.log keeps for an outcome: when it happened (UTC, from seconds since 2025) and what it was; an age
// such as "just now" means nothing once the line is read later.
void log_line(const Settings* s, u32 now, Buf* buf);
void append_date(Buf* buf, u32 seconds_since_2025);

// Texts for a program file that has gone: the window's (at most 3600 bytes) given its path, and the update log's
// (at most 510 bytes) given its file name; suffix is the matching parked copy's suffix, empty when none.
void missing_program_text(mem::Bytes path, mem::Bytes suffix, mem::Bytes file_name, Buf* buf);
void missing_program_log(mem::Bytes name, mem::Bytes suffix, Buf* buf);

// Release notes: "vimbrel-notes 1 a.b.c" LF (parts clamped to 65535).
void notes_header(u32 a, u32 b, u32 c, Buf* buf);
// The header's length when the file begins with exactly the header for that version, else notes_other.
inline constexpr u64 notes_other = ~u64(0);
u64 check_notes(mem::Bytes file, u32 a, u32 b, u32 c);
// Bytes 32..126 and LF kept, TAB a blank, CR dropped, every other byte "?"; returns the length written.
u32 sanitise_notes(mem::Bytes text, mem::Slice out);
// What the banner shows first: the text after "- " of the first line that begins with it, else the first non-empty
// line; an empty slice when there is no non-empty line. The slice runs to the end of its line.
mem::Bytes first_item(mem::Bytes text);

}  // namespace updstate
