#include "cluster/remote_update.h"

#include "base/fmt.h"
#include "platform/sign.h"

namespace remote_update {

namespace {

bool same(const u8* a, const u8* b, u32 n) { return mem::eq(mem::Bytes(a, n), mem::Bytes(b, n)); }

u32 append(mem::Slice out, u32 at, mem::Bytes text) {
  if (at > out.len || text.len > out.len - at) return 0xFFFFFFFF;
  mem::copy(mem::Slice{out.ptr + at, text.len}, text);
  return at + static_cast<u32>(text.len);
}

i32 hex_digit(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---- Versions, architectures, build names.

u64 pack_version(u16 major, u16 minor, u16 patch) { return (u64{major} << 32) | (u64{minor} << 16) | patch; }

u32 version_text(u64 packed, mem::Slice out) {
  if (out.len < version_text_max) return 0;
  u32 at = 0;
  for (u32 part = 0; part < 3; ++part) {
    u8 digits[fmt::dec_size];
    if (part != 0) out.ptr[at++] = '.';
    at = append(out, at, fmt::dec((packed >> (32 - 16 * part)) & 0xFFFF, digits));
  }
  return at;
}

u8 arch_of(mem::Bytes word) {
  if (mem::eq(word, mem::lit("x86_64"))) return arch_x86_64;
  return mem::eq(word, mem::lit("aarch64")) ? arch_aarch64 : arch_none;
}

mem::Bytes arch_word(u8 arch) {
  if (arch == arch_x86_64) return mem::lit("x86_64");
  return arch == arch_aarch64 ? mem::lit("aarch64") : mem::Bytes();
}

u16 elf_machine(u8 arch) { return arch == arch_x86_64 ? 62 : arch == arch_aarch64 ? 183 : 0; }

bool check_elf(mem::Bytes first, u8 arch) {
  u16 machine = elf_machine(arch);
  if (machine == 0 || first.len < 20) return false;
  const u8* b = first.ptr;
  return b[0] == 0x7F && b[1] == 'E' && b[2] == 'L' && b[3] == 'F' && b[4] == 2 && b[5] == 1 &&
         (b[18] | b[19] << 8) == machine;
}

u32 chunk_length(u32 total, u32 offset) {
  if (offset >= total) return 0;
  u32 left = total - offset;
  return left < chunk_max ? left : chunk_max;
}

u32 build_name(u64 version, u8 arch, mem::Slice out) {
  mem::Bytes word = arch_word(arch);
  if (word.len == 0) return 0;
  u8 v[version_text_max];
  u32 vlen = version_text(version, mem::Slice{v, sizeof v});
  u32 at = append(out, 0, mem::lit("vimbrel-"));
  at = append(out, at, mem::Bytes(v, vlen));
  at = append(out, at, mem::lit("-"));
  at = append(out, at, word);
  at = append(out, at, mem::lit("-linux"));
  return at == 0xFFFFFFFF || at > build_name_max ? 0 : at;
}

// ---- Checksum lists.

bool read_sums(mem::Bytes text, mem::Bytes name, u8 digest[32]) {
  u32 matches = 0;
  bool digits_ok = false;
  u64 start = 0;
  while (start < text.len) {
    u64 end = start;
    while (end < text.len && text.ptr[end] != '\n') ++end;
    u64 len = end - start;
    if (len > 0 && end < text.len && text.ptr[end - 1] == '\r') --len;  // a CR before the LF
    const u8* line = text.ptr + start;
    if (name.len != 0 && len == name.len + 66 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*') &&
        mem::eq(mem::Bytes(line + 66, name.len), name)) {
      ++matches;
      digits_ok = true;
      for (u32 i = 0; i < 32; ++i) {
        i32 hi = hex_digit(line[2 * i]), lo = hex_digit(line[2 * i + 1]);
        if (hi < 0 || lo < 0) digits_ok = false;
        digest[i] = static_cast<u8>((hi & 15) << 4 | (lo & 15));
      }
    }
    start = end + 1;
  }
  return matches == 1 && digits_ok;
}

u32 sums_line(const u8 digest[32], mem::Bytes name, mem::Slice out) {
  if (name.len == 0 || name.len > build_name_max || out.len < 67 + name.len) return 0;
  sha256::hex(digest, out.ptr);
  out.ptr[64] = ' ';
  out.ptr[65] = ' ';
  mem::copy(mem::Slice{out.ptr + 66, name.len}, name);
  out.ptr[66 + name.len] = '\n';
  return static_cast<u32>(67 + name.len);
}

// ---- Release signatures.

u32 signed_line(mem::Bytes version_text, mem::Bytes arch_word, const u8 digest[32], mem::Slice out) {
  if (version_text.len == 0 || version_text.len > 48 || arch_word.len == 0 || arch_word.len > 16) return 0;
  u8 hex[64];
  sha256::hex(digest, hex);
  const mem::Bytes parts[] = {mem::lit("vimbrel "), version_text, mem::lit(" "), arch_word, mem::lit(" "),
                              mem::Bytes(hex, sizeof hex)};
  u32 at = 0;
  for (mem::Bytes part : parts) at = append(out, at, part);
  return at == 0xFFFFFFFF ? 0 : at;
}

bool release_signed(mem::Bytes version_text, mem::Bytes arch_word, const u8 digest[32], const u8* signature,
                    const u8* key) {
  u8 line[signed_line_max];
  u32 n = signed_line(version_text, arch_word, digest, mem::Slice{line, sizeof line});
  return n != 0 && signature != nullptr && sign::verify_bytes(mem::Bytes(line, n), signature, key) == 1;
}

bool build_signed(u64 version, u8 arch, const u8 digest[32], const u8* signature, const u8* key) {
  u8 v[version_text_max];
  u32 n = version_text(version, mem::Slice{v, sizeof v});
  return release_signed(mem::Bytes(v, n), arch_word(arch), digest, signature, key);
}

// ---- Words.

mem::Bytes phase_word(u8 phase) {
  switch (phase) {
    case phase_asked: return mem::lit("asked");
    case phase_started: return mem::lit("started");
    case phase_downloaded: return mem::lit("downloaded");
    case phase_verified: return mem::lit("verified");
    case phase_restarting: return mem::lit("restarting");
    case phase_done: return mem::lit("done at ");
    case phase_failed: return mem::lit("failed: ");
    case phase_current: return mem::lit("up to date");
    default: return mem::Bytes();
  }
}

mem::Bytes reason_text(u8 reason) {
  switch (reason) {
    case 1: return mem::lit("cannot update remotely: Vimbrel is too old");
    case 2: return mem::lit("cannot update remotely: program folder not writable");
    case 3: return mem::lit("cannot update remotely: only Linux agents can");
    case 4: return mem::lit("an update is in progress");
    case 5: return mem::lit("the release checksums are not published yet");
    case 6: return mem::lit("this version was put back after it failed to start");
    case 7: return mem::lit("the new version did not start, the previous one is back");
    case 8: return mem::lit("the machine disconnected during the update");
    case reason_host_no_key: return mem::lit("the host's build has no release key");
    case reason_unsigned: return mem::lit("the host sent no release signature (update the host first)");
    case reason_bad_signature: return mem::lit("the host's build is not signed by the release key");
    case reason_agent_no_key: return mem::lit("this machine's build has no release key");
    default: break;
  }
  if (reason >= 9 && reason <= 16) return mem::lit("none");
  if (reason >= 17 && reason <= 32) return result_word(static_cast<u8>(reason - reason_agent_result));
  return mem::Bytes();
}

mem::Bytes result_word(u8 result) {
  switch (result) {
    case result_installed: return mem::lit("installed");
    case result_no_binary: return mem::lit("the host has no binary yet");
    case result_not_newer: return mem::lit("the host's binary is not newer");
    case result_refused: return mem::lit("refused");
    case result_bad_tag: return mem::lit("a frame tag failed");
    case result_bad_frame: return mem::lit("a bad frame");
    case result_changed: return mem::lit("the host's binary changed");
    case result_not_executable: return mem::lit("not an executable for this machine");
    case result_mismatch: return mem::lit("SHA-256 mismatch");
    case result_cannot_write: return mem::lit("cannot write the new file");
    case result_timed_out: return mem::lit("timed out");
    case result_closed: return mem::lit("closed");
    case result_no_random: return mem::lit("no random source");
    case result_cannot_replace: return mem::lit("cannot replace the program file");
    case result_unreachable: return mem::lit("unreachable");
    case result_no_memory: return mem::lit("no memory");
    case result_unsigned: return mem::lit("no release signature");
    case result_bad_signature: return mem::lit("not signed by the release key");
    case result_no_key: return mem::lit("no release key");
    default: return mem::lit("none");
  }
}

u8 reason_of_result(u8 result) {
  if (result == result_unsigned) return reason_unsigned;
  if (result == result_bad_signature) return reason_bad_signature;
  if (result == result_no_key) return reason_agent_no_key;
  return static_cast<u8>(reason_agent_result + (result <= result_no_memory ? result : 0));
}

// ---- The Machines page.

u64 member_version(const proto::Updates* u, u32 i) {
  return i < u->count && i < proto::list_rows ? pack_version(u->major[i], u->minor[i], u->patch[i]) : 0;
}

bool is_older(u64 version, u8 phase, u8 reason, u64 host_version) {
  if (version == 0 || version >= host_version) return false;
  if (phase >= phase_asked && phase <= phase_restarting) return false;
  return phase != phase_none || reason == 0;
}

bool can_update(const proto::MachineList* list, const proto::Updates* u, u32 i, u64 host_version) {
  if (i >= u->count || i >= list->count || i >= proto::list_rows) return false;
  if (!same(u->ids[i], list->ids[i], 16) || list->summaries[i].state >= 2) return false;
  return is_older(member_version(u, i), u->phases[i], u->details[i], host_version);
}

u32 count_updatable(const proto::MachineList* list, const proto::Updates* u, u64 host_version) {
  u32 n = 0;
  for (u32 i = 0; i < u->count && i < proto::list_rows; ++i) n += can_update(list, u, i, host_version) ? 1 : 0;
  return n;
}

// ---- The agent's schedule of tries.

void init_retry(Retry* r, u64 own_version) {
  *r = Retry{};
  r->own = own_version;
}

bool is_newer_offer(const Retry* r, u64 offered) { return offered > r->own && offered != r->failed; }

void note_offer(Retry* r, u64 offered, u64 now, u32 random) {
  if (offered == r->offered || r->state > retry_armed) return;
  r->offered = offered;
  r->state = is_newer_offer(r, offered) ? retry_armed : retry_idle;
  r->tries = 0;
  r->backoff = 0;
  r->next_try = now + random % 10001;
}

u32 offer_state(const Retry* r) {
  if (r->state > retry_armed) return offer_running;
  if (r->offered <= r->own) return offer_not_newer;
  return r->offered == r->failed ? offer_failed_version : offer_armed;
}

u32 arm_now(Retry* r, u64 now) {
  u32 state = offer_state(r);
  if (state == offer_armed) {
    r->state = retry_armed;
    r->next_try = now;
  }
  return state;
}

bool try_due(const Retry* r, u64 now) { return r->state == retry_armed && now >= r->next_try; }

u32 wait_ms(const Retry* r, u64 now) {
  if (r->state != retry_armed) return 0xFFFFFFFF;
  if (now >= r->next_try) return 0;
  u64 left = r->next_try - now;
  return left < 0xFFFFFFFF ? static_cast<u32>(left) : 0xFFFFFFFE;
}

u32 next_delay(u32 backoff) {
  if (backoff == 0) return 60000;
  return backoff >= 1800000 ? 3600000 : backoff * 2;
}

void retry_later(Retry* r, u8 result, u64 now, u32 random) {
  r->backoff = next_delay(r->backoff);
  u32 quarter = r->backoff / 4;
  r->next_try = now + r->backoff + random % (2 * quarter + 1) - quarter;
  r->state = is_newer_offer(r, r->offered) ? retry_armed : retry_idle;
  r->last_result = result;
  if (r->tries != 0xFFFFFFFF) ++r->tries;
}

// ---- One download.

namespace {

bool fail(Session* s, u8 result) {
  s->phase = session_failed;
  s->result = result;
  return false;
}

// Queues a frame built in the output's free room; sealed once the link is open.
bool queue(Session* s, u32 length, bool sealed) {
  if (length == 0) return fail(s, result_bad_frame);
  if (sealed) {
    length = peer::seal(&s->link, mem::Slice{s->out + s->out_fill, session_output - s->out_fill}, length);
    if (length == 0) return fail(s, result_bad_frame);
  }
  s->out_fill += length;
  return true;
}

mem::Slice out_room(Session* s) { return mem::Slice{s->out + s->out_fill, session_output - s->out_fill}; }

bool send_ask(Session* s) {
  proto::UpdateAsk ask = {s->arch, static_cast<u16>(s->binary >> 32), static_cast<u16>(s->binary >> 16),
                          static_cast<u16>(s->binary), s->received, s->signed_ok ? u8{0} : proto::ask_signature};
  mem::Slice room = out_room(s);
  if (room.len < proto::tag_size) return fail(s, result_bad_frame);
  room.len -= proto::tag_size;
  if (!queue(s, proto::encode_update_ask(&ask, room), true)) return false;
  s->phase = session_asked;
  return true;
}

// The checks of a chunk against the session, in their order; 0 when it is good.
u8 chunk_verdict(const Session* s, const proto::UpdateChunk* c, mem::Bytes data) {
  if (c->flag & 1) return result_no_binary;
  u64 version = pack_version(c->major, c->minor, c->patch);
  if (s->first && c->type == s->arch && version <= s->own) return result_not_newer;
  bool same_build = s->first || (version == s->binary && c->total == s->total && same(c->value, s->digest, 32));
  if (c->type != s->arch || !same_build || c->offset != s->received || c->total == 0 ||
      c->length != chunk_length(c->total, c->offset)) {
    return result_changed;
  }
  if (c->offset == 0 && !check_elf(data, s->arch)) return result_not_executable;
  return 0;
}

// The answer to the first ask: the build's version, size and digest with the release key's signature over them. A
// host of an older version answers with the build's first bytes instead, which is refused as unsigned.
bool take_signature(Session* s, const proto::UpdateChunk* c, mem::Bytes data) {
  if (c->flag & proto::chunk_no_binary) return fail(s, result_no_binary);
  if (c->flag != proto::chunk_signature) return fail(s, result_unsigned);
  u64 version = pack_version(c->major, c->minor, c->patch);
  if (c->type != s->arch) return fail(s, result_changed);
  if (version <= s->own) return fail(s, result_not_newer);
  if (data.len != signature_size) return fail(s, result_bad_frame);
  if (!build_signed(version, s->arch, c->value, data.ptr, s->key)) return fail(s, result_bad_signature);
  s->signed_ok = 1;
  s->first = 0;
  s->binary = version;
  s->total = c->total;
  __builtin_memcpy(s->digest, c->value, 32);
  return send_ask(s);
}

bool take_chunk(Session* s, mem::Bytes frame, u32 at) {
  proto::UpdateChunk c;
  if (proto::decode_update_chunk(frame, &c) != proto::ok) return fail(s, result_bad_frame);
  mem::Bytes data = proto::update_data(frame);
  if (!s->signed_ok) return take_signature(s, &c, data);
  if (c.flag == proto::chunk_signature) return fail(s, result_bad_frame);
  u8 verdict = chunk_verdict(s, &c, data);
  if (verdict != 0) return fail(s, verdict);
  if (s->first) {
    s->first = 0;
    s->binary = pack_version(c.major, c.minor, c.patch);
    s->total = c.total;
    __builtin_memcpy(s->digest, c.value, 32);
  }
  sha256::update(&s->hash, data);
  s->chunk_length = c.length;
  s->chunk_at = at + static_cast<u32>(data.ptr - frame.ptr);
  s->phase = session_chunk;
  return true;
}

// One whole frame of the handshake or the open link.
bool take_one(Session* s, mem::Bytes frame, u32 at) {
  u32 kind = proto::frame_kind(frame);
  if (s->phase == session_hello) {
    if (kind != proto::kind_reply) {
      return fail(s, kind == proto::kind_refuse || kind == proto::kind_moved ? result_refused : result_bad_frame);
    }
    if (!queue(s, peer::proof(&s->link, frame, out_room(s)), false)) return false;
    s->phase = session_proof;
    return true;
  }
  if (s->phase == session_proof) {
    if (kind != proto::kind_accept) {
      return fail(s, kind == proto::kind_refuse || kind == proto::kind_moved ? result_refused : result_bad_frame);
    }
    if (!peer::accepted(&s->link, frame)) return fail(s, result_bad_tag);
    return send_ask(s);
  }
  if (!peer::opened(&s->link, frame)) return fail(s, result_bad_tag);
  mem::Bytes plain(frame.ptr, frame.len - proto::tag_size);
  if (kind == proto::kind_ping) return true;
  if (kind == proto::kind_update_chunk) return take_chunk(s, plain, at);
  return fail(s, kind == proto::kind_refuse || kind == proto::kind_moved ? result_refused : result_bad_frame);
}

}  // namespace

void start_session(Session* s, const auth::KeyState* key, const u8* machine_id, u8 arch, u64 own_version,
                   const u8* release_key) {
  __builtin_memset(s, 0, sizeof *s);
  __builtin_memcpy(s->key, release_key, key_size);
  s->arch = arch;
  s->first = 1;
  s->own = own_version;
  __builtin_memcpy(s->id, machine_id, 16);
  peer::init(&s->link, key);
  sha256::init(&s->hash);
}

bool send_hello(Session* s, mem::Bytes nonce, bool drawn, u64 now) {
  if (!drawn || nonce.len < 16) return fail(s, result_no_random);
  proto::Hello h = {};
  h.role = proto::role_update;
  h.protocol = proto::protocol_version;
  __builtin_memcpy(h.id, s->id, 16);
  __builtin_memcpy(h.nonce, nonce.ptr, 16);
  if (!queue(s, peer::hello(&s->link, &h, out_room(s)), false)) return false;
  s->phase = session_hello;
  s->progress = now;
  return true;
}

u32 frame_kind(mem::Bytes bytes) {
  if (bytes.len < proto::header_size || proto::head_check(mem::Bytes(bytes.ptr, proto::header_size)) != proto::ok) {
    return 0;
  }
  return proto::frame_kind(bytes);
}

bool take_frames(Session* s, u32 n, u64 now) {
  if (s->phase == session_failed || s->phase == session_done) return false;
  s->in_fill = n > session_input - s->in_fill ? session_input : s->in_fill + n;
  while (s->phase >= session_hello && s->phase <= session_asked && s->in_fill - s->parse_at >= proto::header_size) {
    mem::Bytes head(s->in + s->parse_at, s->in_fill - s->parse_at);
    if (frame_kind(head) == 0) return fail(s, result_bad_frame);
    u64 size = u64{proto::header_size} + proto::get32(head, 8) + (s->phase == session_asked ? proto::tag_size : 0);
    if (size > session_input) return fail(s, result_bad_frame);
    if (head.len < size) break;
    u32 at = s->parse_at;
    s->parse_at += static_cast<u32>(size);
    s->progress = now;
    if (!take_one(s, mem::Bytes(head.ptr, size), at)) return false;
  }
  // Taken frames leave the input unless a chunk's data still waits in it.
  if (s->phase != session_chunk && s->parse_at != 0) {
    __builtin_memmove(s->in, s->in + s->parse_at, s->in_fill - s->parse_at);
    s->in_fill -= s->parse_at;
    s->parse_at = 0;
  }
  return true;
}

bool finish(Session* s, bool written, u64 now) {
  if (s->phase != session_chunk) return false;
  if (!written) return fail(s, result_cannot_write);
  s->received += s->chunk_length;
  s->chunk_length = 0;
  if (s->received < s->total) {
    if (!send_ask(s)) return false;
    return take_frames(s, 0, now);
  }
  u8 digest[32];
  sha256::finish(&s->hash, digest);
  if (!same(digest, s->digest, 32)) return fail(s, result_mismatch);
  s->phase = session_done;
  s->result = result_installed;
  return true;
}

bool stalled(const Session* s, u64 now) {
  return s->phase >= session_hello && s->phase <= session_asked && now > s->progress && now - s->progress > stall_ms;
}

mem::Slice input_room(Session* s) { return mem::Slice{s->in + s->in_fill, session_input - s->in_fill}; }
mem::Bytes output(const Session* s) { return mem::Bytes(s->out, s->out_fill); }
void sent(Session* s, u32 n) {
  if (n > s->out_fill) n = s->out_fill;
  __builtin_memmove(s->out, s->out + n, s->out_fill - n);
  s->out_fill -= n;
}
mem::Bytes chunk_data(const Session* s) {
  return s->phase == session_chunk ? mem::Bytes(s->in + s->chunk_at, s->chunk_length) : mem::Bytes();
}

// ---- The trial file.

void trial_record(u64 version, u8 starts, u8 out[trial_size]) {
  for (u32 i = 0; i < 8; ++i) out[i] = static_cast<u8>(version >> (8 * i));
  out[8] = starts;
}

u64 trial_version(mem::Bytes file) {
  if (file.len != trial_size) return 0;
  u64 v = 0;
  for (u32 i = 0; i < 8; ++i) v |= u64{file.ptr[i]} << (8 * i);
  return v;
}

u8 trial_starts(mem::Bytes file) { return file.len == trial_size ? file.ptr[8] : 0; }

bool trial_expired(u8 starts) { return starts > 2; }

}  // namespace remote_update
