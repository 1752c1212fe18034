#include "update/updstate.h"

#include "base/fmt.h"
#include "platform/fs.h"
#include "update/update.h"

namespace updstate {

namespace {

constexpr u32 stored_ranges[4] = {3600, 86400, 2592000, 63072000};
constexpr u64 no_number = ~u64(0);

bool is_stored_range(u64 v) {
  for (u32 r : stored_ranges)
    if (v == r) return true;
  return false;
}

bool starts_with(mem::Bytes text, u64 at, mem::Bytes word) {
  if (at > text.len || text.len - at < word.len) return false;
  return mem::eq(mem::Bytes(text.ptr + at, word.len), word);
}

// Offset of the value of the first line that begins with key, or no_number.
u64 find_key(mem::Bytes text, mem::Bytes key) {
  for (u64 at = 0; at < text.len;) {
    if (starts_with(text, at, key)) return at + key.len;
    while (at < text.len && text.ptr[at] != '\n') at++;
    at++;
  }
  return no_number;
}

// 1 to 10 digits ending at LF, CR, "." or the end, below 2^32; no_number when bad. *at moves to the terminator.
u64 read_number(mem::Bytes text, u64* at) {
  u64 v = 0, i = *at, digits = 0;
  while (i < text.len && text.ptr[i] >= '0' && text.ptr[i] <= '9') {
    if (++digits > 10) return no_number;
    v = v * 10 + (text.ptr[i] - '0');
    i++;
  }
  if (digits == 0 || v > 0xFFFFFFFFu) return no_number;
  if (i < text.len && text.ptr[i] != '\n' && text.ptr[i] != '\r' && text.ptr[i] != '.') return no_number;
  *at = i;
  return v;
}

bool at_dot(mem::Bytes text, u64* at) {
  if (*at >= text.len || text.ptr[*at] != '.') return false;
  (*at)++;
  return true;
}

// Three numbers separated by "." within the line; false when any is missing or bad.
bool read_three(mem::Bytes text, u64 at, u64 out[3]) {
  for (u32 i = 0; i < 3; i++) {
    if (i > 0 && !at_dot(text, &at)) return false;
    out[i] = read_number(text, &at);
    if (out[i] == no_number) return false;
  }
  return true;
}

void read_short_version(mem::Bytes text, mem::Bytes key, u16 out[3]) {
  u64 at = find_key(text, key), v[3];
  if (at == no_number || !read_three(text, at, v) || v[0] > 65535 || v[1] > 65535 || v[2] > 65535) return;
  for (u32 i = 0; i < 3; i++) out[i] = u16(v[i]);
}

// The failure as reason, step, code; false when bad or missing.
bool read_failure(mem::Bytes text, u64 out[3]) {
  u64 at = find_key(text, mem::lit("update_failure "));
  if (at != no_number) {
    out[1] = out[2] = 0;
    for (u32 i = 0; i < 3; i++) {
      if (i > 0 && !at_dot(text, &at)) break;
      out[i] = read_number(text, &at);
      if (out[i] == no_number) return false;
    }
    return out[0] < 130 && out[1] < 8 && out[2] < 65536;
  }
  at = find_key(text, mem::lit("last_failure "));
  if (at == no_number) return false;
  u64 n = read_number(text, &at);
  if (n > 24) return false;
  out[0] = n == 24 ? u64(reason_did_not_start) : n;
  out[1] = out[2] = 0;
  return true;
}

// The group last_check, last_status, failure and last_version, taken only as a whole.
void read_group(mem::Bytes text, Settings* s) {
  u64 at = find_key(text, mem::lit("last_check "));
  if (at == no_number) return;
  u64 check = read_number(text, &at);
  at = find_key(text, mem::lit("last_status "));
  if (check == no_number || at == no_number) return;
  u64 status = read_number(text, &at);
  if (status >= 8 || status == status_checking || status == status_installing) return;
  u64 failure[3], version[3];
  if (!read_failure(text, failure)) return;
  at = find_key(text, mem::lit("last_version "));
  if (at == no_number || !read_three(text, at, version)) return;
  s->last_check = u32(check);
  s->status = u8(status);
  s->failure_reason = u8(failure[0]);
  s->failure_step = u8(failure[1]);
  s->failure_code = u16(failure[2]);
  for (u32 i = 0; i < 3; i++) {
    if (version[i] > 65535) s->flags |= flag_version_clamped;
    s->last_version[i] = u16(version[i] > 65535 ? 65535 : version[i]);
  }
}

bool same_version(const u16 a[3], const u16 b[3]) { return version_number(a) == version_number(b); }

}  // namespace

Buf buf_of(mem::Slice bytes) { return Buf{bytes.ptr, u32(bytes.len > 0xFFFFFFFFu ? 0xFFFFFFFFu : bytes.len), 0}; }
mem::Bytes text_of(const Buf* buf) { return mem::Bytes(buf->ptr, buf->len); }

void append(Buf* buf, mem::Bytes bytes) {
  for (u64 i = 0; i < bytes.len && buf->len < buf->cap; i++) buf->ptr[buf->len++] = bytes.ptr[i];
}

void append_dec(Buf* buf, u64 value) {
  u8 digits[fmt::dec_size];
  append(buf, fmt::dec(value, digits));
}

void append_version(Buf* buf, const u16 version[3]) {
  append_dec(buf, version[0]);
  append(buf, mem::lit("."));
  append_dec(buf, version[1]);
  append(buf, mem::lit("."));
  append_dec(buf, version[2]);
}

mem::Bytes server_host() { return update::server_host(); }
mem::Bytes signer_name() { return update::make_config(mem::Bytes()).signer; }

void reset(Settings* s) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(s), sizeof(Settings)}, 0);
  s->flags = flag_checks_on;
}

u32 format_settings(const Settings* s, mem::Slice buffer) {
  Buf b = buf_of(buffer);
  append(&b, mem::lit("vimbrel-settings 1\ncheck_for_updates "));
  append(&b, (s->flags & flag_checks_on) ? mem::lit("on") : mem::lit("off"));
  append(&b, mem::lit("\nlast_check "));
  append_dec(&b, s->last_check);
  append(&b, mem::lit("\nlast_status "));
  append_dec(&b, s->status);
  append(&b, mem::lit("\nupdate_failure "));
  append_dec(&b, s->failure_reason);
  append(&b, mem::lit("."));
  append_dec(&b, s->failure_step);
  append(&b, mem::lit("."));
  append_dec(&b, s->failure_code);
  append(&b, mem::lit("\nlast_version "));
  append_version(&b, s->last_version);
  append(&b, mem::lit("\nchart_range "));
  if (is_stored_range(s->chart_range))
    append_dec(&b, s->chart_range);
  else
    append(&b, (s->flags & flag_range_600) ? mem::lit("600") : mem::lit("60"));
  append(&b, mem::lit("\nupdate_mode "));
  append(&b, (s->flags & flag_automatic) ? mem::lit("automatic") : mem::lit("ask"));
  append(&b, mem::lit("\nskip_version "));
  append_version(&b, s->skip_version);
  append(&b, mem::lit("\nfailed_version "));
  append_version(&b, s->failed_version);
  append(&b, mem::lit("\n"));
  return b.len;
}

u32 parse_settings(mem::Bytes text, Settings* s) {
  reset(s);
  mem::Bytes header = mem::lit("vimbrel-settings 1");
  if (!starts_with(text, 0, header)) return 0;
  if (!starts_with(text, header.len, mem::lit("\n")) && !starts_with(text, header.len, mem::lit("\r\n"))) return 0;
  u64 at = find_key(text, mem::lit("check_for_updates "));
  if (at != no_number && starts_with(text, at, mem::lit("off"))) s->flags &= u8(~flag_checks_on);
  at = find_key(text, mem::lit("chart_range "));
  if (at != no_number) {
    u64 range = read_number(text, &at);
    if (range == 600) s->flags |= flag_range_600;
    if (is_stored_range(range)) s->chart_range = u32(range);
  }
  at = find_key(text, mem::lit("update_mode "));
  if (at != no_number && starts_with(text, at, mem::lit("automatic"))) s->flags |= flag_automatic;
  read_short_version(text, mem::lit("skip_version "), s->skip_version);
  read_short_version(text, mem::lit("failed_version "), s->failed_version);
  read_group(text, s);
  return 1;
}

u32 settings_path(mem::Slice buffer) {
  u64 len = 0;
  if (fs::env_var(mem::lit("APPDATA"), buffer, &len) != fs::ok || len == 0) return 0;
  mem::Bytes tail = mem::lit("\\Vimbrel\\settings.txt");
  if (len + tail.len >= 521 || len + tail.len > buffer.len) return 0;
  mem::copy(mem::Slice{buffer.ptr + len, tail.len}, tail);
  return u32(len + tail.len);
}

u32 load(mem::Bytes path, Settings* s) {
  u8 bytes[512];
  u64 n = fs::read_prefix(path, mem::Slice{bytes, sizeof bytes});
  return parse_settings(mem::Bytes(bytes, n), s);
}

u32 save(mem::Bytes path, Settings* s) {
  u8 bytes[512];
  u32 n = format_settings(s, mem::Slice{bytes, sizeof bytes});
  u32 r = fs::save_file(path, mem::Bytes(bytes, n));
  if (r == fs::ok)
    s->flags &= u8(~flag_save_failed);
  else
    s->flags |= flag_save_failed;
  return r;
}

u32 now_from_filetime(u64 filetime) {
  u64 seconds = filetime / 10000000;
  if (seconds <= 13380163200ull) return 0;
  seconds -= 13380163200ull;
  return seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : u32(seconds);
}

u64 version_number(const u16 v[3]) { return u64(v[0]) << 32 | u64(v[1]) << 16 | v[2]; }

bool version_out_of_range(u32 a, u32 b, u32 c, u32 reason) {
  return a > 65535 || b > 65535 || c > 65535 || reason >= 128;
}

bool is_skipped(const Settings* s) {
  return version_number(s->skip_version) != 0 && same_version(s->skip_version, s->last_version);
}
bool is_failed_version(const Settings* s) {
  return version_number(s->failed_version) != 0 && same_version(s->failed_version, s->last_version);
}
bool is_suppressed(const Settings* s) { return is_skipped(s) || is_failed_version(s); }
bool is_automatic(const Settings* s) { return (s->flags & flag_automatic) != 0; }

bool is_pending_status(u8 status) {
  return status == status_checking || status == status_ready || status == status_installing;
}

bool should_fetch_now(u8 status, u8 flags, bool suppressed) {
  return status == status_available && (flags & flag_automatic) && !suppressed;
}

bool should_offer(u8 status, u8 flags, bool suppressed, bool dismissed) {
  return status == status_available && !(flags & flag_automatic) && !suppressed && !dismissed;
}

bool should_restart_now(u8 status, u8 flags, u32 idle_seconds, bool minimised_or_hidden, bool user_asked) {
  if (status != status_ready) return false;
  return user_asked || ((flags & flag_automatic) && (idle_seconds >= 30 || minimised_or_hidden));
}

u8 status_class(u32 state) {
  if (state == 0) return status_unchecked;
  if (state == 1 || state == 6) return status_up_to_date;
  if (state == 2 || state == 3) return status_manual;
  if (state == 4 || state == 5) return status_ready;
  return status_failed;
}

u8 status_of_result(u32 state, bool download_run) {
  if (state == 2 && !download_run) return status_available;
  return status_class(state);
}

mem::Bytes status_word(u32 status) {
  constexpr const char* words[8] = {"not checked yet",
                                    "checking for updates",
                                    "up to date",
                                    "update ready, restart to apply",
                                    "update available: download it from ",
                                    "failed: ",
                                    "installing the update",
                                    "update available"};
  return status < 8 ? mem::cstr(words[status]) : mem::lit("unknown");
}

void append_status_word(Buf* buf, u32 status) {
  append(buf, status_word(status));
  if (status == status_manual) append(buf, server_host());
}

mem::Bytes failure_word(u32 reason) {
  constexpr const char* words[25] = {"unknown",
                                     "the update settings are invalid",
                                     "the program file was not found",
                                     "updates are not supported on this system",
                                     "the installed version is unknown",
                                     "the steps ran out of order",
                                     "the update server could not be reached",
                                     "the update information is malformed",
                                     "the download is not on the update server",
                                     "another update is running",
                                     "the download cannot be saved",
                                     "the download failed",
                                     "the download is damaged (SHA-256)",
                                     "the download is not signed",
                                     "the download is not signed by ",
                                     "the download has the wrong version",
                                     "the staged update is missing",
                                     "the program file could not be replaced",
                                     "the program file could not be replaced",
                                     "the program file could not be replaced",
                                     "the program folder is read-only",
                                     "the update helper did not start",
                                     "the update helper ended early",
                                     "the update record is unreadable",
                                     "the program file is missing"};
  if (reason == reason_did_not_start) return mem::lit("the new version did not start, the previous one is back");
  if (reason == reason_put_back) return mem::lit("the program file could not be replaced and was put back");
  return reason < 25 ? mem::cstr(words[reason]) : mem::lit("unknown");
}

void append_failure(Buf* buf, u32 reason) {
  append(buf, failure_word(reason));
  if (reason == 14) append(buf, signer_name());
}

mem::Bytes step_word(u32 step) {
  constexpr const char* words[8] = {"", "open", "verify", "park", "place", "undo", "promote", "rollback"};
  return step < 8 ? mem::cstr(words[step]) : mem::Bytes();
}

void append_step(Buf* buf, u32 step, u32 code) {
  bool has_step = step >= 1 && step <= 7;
  if (!has_step && code == 0) return;
  append(buf, mem::lit(" ("));
  if (has_step) append(buf, step_word(step));
  if (has_step && code != 0) append(buf, mem::lit(", "));
  if (code != 0) {
    append(buf, mem::lit("error "));
    append_dec(buf, code);
  }
  append(buf, mem::lit(")"));
}

mem::Bytes age_word(u32 age, u32* count) {
  *count = 0;
  if (age < 60) return mem::lit("just now");
  if (age < 3600) return *count = age / 60, mem::lit(" min ago");
  if (age < 86400) return *count = age / 3600, mem::lit(" h ago");
  *count = age / 86400;
  return age < 172800 ? mem::lit(" day ago") : mem::lit(" days ago");
}

void append_age(Buf* buf, u32 age) {
  u32 count = 0;
  const mem::Bytes word = age_word(age, &count);
  if (count != 0) append_dec(buf, count);
  append(buf, word);
}

// What the last check found, without its age: "version 0.1.82, skipped", "failed: ..." and so on.
void append_outcome(Buf* buf, const Settings* s) {
  if (s->status == status_ready || s->status == status_manual || s->status == status_available) {
    append(buf, mem::lit("version "));
    append_version(buf, s->last_version);
    append(buf, mem::lit(", "));
  }
  if (s->status == status_available && is_failed_version(s))
    return append(buf, mem::lit("failed to start before, not installed again"));
  if (s->status == status_available && is_skipped(s)) return append(buf, mem::lit("skipped"));
  append_status_word(buf, s->status);
  if (s->status == status_failed) {
    append_failure(buf, s->failure_reason);
    append_step(buf, s->failure_step, s->failure_code);
  }
}

void status_line(const Settings* s, u32 now, Buf* buf) {
  if (s->status == status_checking || s->status == status_installing) return append_status_word(buf, s->status);
  if (s->last_check == 0) return append(buf, status_word(status_unchecked));
  append_age(buf, now > s->last_check ? now - s->last_check : 0);
  append(buf, mem::lit(": "));
  append_outcome(buf, s);
}

void append_two(Buf* buf, u32 value) {
  const u8 digits[2] = {u8('0' + value / 10 % 10), u8('0' + value % 10)};
  append(buf, mem::Bytes(digits, 2));
}

// Seconds since 2025-01-01 00:00 UTC as "2026-12-10 07:30:12 UTC" (days to a civil date by the proleptic
// Gregorian rule, counted from the 400-year cycle that starts on 2000-03-01).
void append_date(Buf* buf, u32 seconds) {
  const u64 days = seconds / 86400 + 9072;  // 2025-01-01 is day 9,072 after 2000-03-01
  const u64 era = days / 146097, day_of_era = days % 146097;
  const u64 year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const u64 day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const u64 month_index = (5 * day_of_year + 2) / 153;  // March is 0
  const u32 day = u32(day_of_year - (153 * month_index + 2) / 5 + 1);
  const u32 month = u32(month_index < 10 ? month_index + 3 : month_index - 9);
  append_dec(buf, 2000 + era * 400 + year_of_era + (month <= 2 ? 1 : 0));
  append(buf, mem::lit("-"));
  append_two(buf, month);
  append(buf, mem::lit("-"));
  append_two(buf, day);
  append(buf, mem::lit(" "));
  append_two(buf, seconds / 3600 % 24);
  append(buf, mem::lit(":"));
  append_two(buf, seconds / 60 % 60);
  append(buf, mem::lit(":"));
  append_two(buf, seconds % 60);
  append(buf, mem::lit(" UTC"));
}

void log_line(const Settings* s, u32 now, Buf* buf) {
  append_date(buf, now);
  append(buf, mem::lit(": "));
  if (s->status == status_checking || s->status == status_installing) return append_status_word(buf, s->status);
  if (s->last_check == 0) return append(buf, status_word(status_unchecked));
  append_outcome(buf, s);
}

void missing_program_text(mem::Bytes path, mem::Bytes suffix, mem::Bytes file_name, Buf* buf) {
  if (path.len == 0) {
    append(buf, mem::lit("The program file is missing. Download Vimbrel again from "));
  } else if (suffix.len == 0) {
    append(buf, mem::lit("The program file "));
    append(buf, path);
    append(buf, mem::lit(" is missing and no parked copy was found. Download Vimbrel again from "));
  } else {
    append(buf, mem::lit("The program file is missing. Rename "));
    append(buf, path);
    append(buf, suffix);
    append(buf, mem::lit(" back to "));
    append(buf, file_name);
    return append(buf, mem::lit(" before Vimbrel closes, or it cannot start again."));
  }
  append(buf, server_host());
  append(buf, mem::lit("."));
}

void missing_program_log(mem::Bytes name, mem::Bytes suffix, Buf* buf) {
  if (name.len == 0) return missing_program_text(name, suffix, name, buf);
  append(buf, mem::lit("The program file "));
  append(buf, name);
  if (suffix.len == 0) {
    append(buf, mem::lit(" is missing and no parked copy was found: download Vimbrel again from "));
    append(buf, server_host());
    return append(buf, mem::lit("."));
  }
  append(buf, mem::lit(" is missing: rename "));
  append(buf, name);
  append(buf, suffix);
  append(buf, mem::lit(" next to it back to "));
  append(buf, name);
  append(buf, mem::lit("."));
}

void notes_header(u32 a, u32 b, u32 c, Buf* buf) {
  u16 v[3] = {u16(a > 65535 ? 65535 : a), u16(b > 65535 ? 65535 : b), u16(c > 65535 ? 65535 : c)};
  append(buf, mem::lit("vimbrel-notes 1 "));
  append_version(buf, v);
  append(buf, mem::lit("\n"));
}

u64 check_notes(mem::Bytes file, u32 a, u32 b, u32 c) {
  u8 bytes[64];
  Buf h = buf_of(mem::Slice{bytes, sizeof bytes});
  notes_header(a, b, c, &h);
  return starts_with(file, 0, text_of(&h)) ? h.len : notes_other;
}

u32 sanitise_notes(mem::Bytes text, mem::Slice out) {
  Buf b = buf_of(out);
  for (u64 i = 0; i < text.len && b.len < b.cap; i++) {
    u8 c = text.ptr[i];
    if (c == '\r') continue;
    if (c == '\t') c = ' ';
    else if (c != '\n' && (c < 32 || c > 126)) c = '?';
    b.ptr[b.len++] = c;
  }
  return b.len;
}

mem::Bytes first_item(mem::Bytes text) {
  mem::Bytes first;
  for (u64 at = 0; at < text.len;) {
    u64 end = at;
    while (end < text.len && text.ptr[end] != '\n') end++;
    mem::Bytes line(text.ptr + at, end - at);
    if (starts_with(line, 0, mem::lit("- "))) return mem::Bytes(line.ptr + 2, line.len - 2);
    if (first.len == 0 && line.len > 0) first = line;
    at = end + 1;
  }
  return first;
}

}  // namespace updstate
