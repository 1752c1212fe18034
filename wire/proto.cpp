#include "wire/proto.h"

#include "base/bits.h"

namespace proto {

namespace {

// The kind table, indexed by kind (0 is no kind).
const u16 heads[kind_last + 1] = {0,  40, 32, 32, 32, 8,  1792, 512, 56, 8,  16, 16, 32, 24, 16, 0,
                                  16, 32, 48, 16, 8,  24, 24,   16,  56, 8,  16, 8,  8,  264, 24};
const u8 row_sizes[kind_last + 1] = {0, 0, 0, 0, 0, 0, 0, 0,  80, 112, 0, 0, 0, 56, 0, 0,
                                     0, 0, 0, 0, 64, 32, 112, 0, 8, 40, 0, 0, 24, 0, 16};
const u16 rows_max[kind_last + 1] = {0, 0, 0, 0, 0, 0, 0, 0, 256, 64, 0, 0, 0, 1024, 0, 0,
                                     0, 0, 0, 0, 60, 1792, 512, 0, 2048, 64, 0, 0, 64, 0, 3584};

const char* const code_words[] = {
    "good",      "too short", "wrong magic",  "wrong version", "wrong kind",
    "too long",  "bad length", "bad flags",   "bad content",   "wrong size",
};

const u8 frame_magic[4] = {'V', 'B', 'P', '1'};

mem::Slice tail(mem::Slice b, u64 at) { return at <= b.len ? mem::Slice{b.ptr + at, b.len - at} : mem::Slice{nullptr, 0}; }
mem::Bytes tail(mem::Bytes b, u64 at) { return at <= b.len ? mem::Bytes(b.ptr + at, b.len - at) : mem::Bytes(); }

// The payload area of a frame that begin() opened.
mem::Slice body(mem::Slice frame) { return tail(frame, header_size); }

void put_id(mem::Slice b, u64 at, const u8* id) { put_bytes(b, at, mem::Bytes(id, 16)); }
void get_id(mem::Bytes b, u64 at, u8* id) { get_bytes(b, at, mem::Slice{id, 16}); }

u32 all_zero(mem::Bytes b, u64 at, u64 n) {
  if (!fits(b.len, at, n)) return 0;
  u8 any = 0;
  for (u64 i = 0; i < n; ++i) any |= b.ptr[at + i];
  return any == 0;
}

u32 frame_total(u32 kind, u32 rows) { return header_size + payload_size(kind, rows); }

// begin() for a fixed-size kind; the frame length or 0.
u32 begin_fixed(mem::Slice out, u32 kind) { return begin(out, kind, heads[kind], 0) ? header_size + heads[kind] : 0; }

}  // namespace

mem::Bytes code_word(u32 code) {
  return code < sizeof code_words / sizeof code_words[0] ? mem::cstr(code_words[code]) : mem::lit("unknown");
}

// Byte access.

u8 get8(mem::Bytes b, u64 at) { return fits(b.len, at, 1) ? b.ptr[at] : 0; }

u16 get16(mem::Bytes b, u64 at) {
  if (!fits(b.len, at, 2)) return 0;
  return static_cast<u16>(b.ptr[at] | (b.ptr[at + 1] << 8));
}

i16 geti16(mem::Bytes b, u64 at) { return static_cast<i16>(get16(b, at)); }

u32 get32(mem::Bytes b, u64 at) {
  if (!fits(b.len, at, 4)) return 0;
  const u8* p = b.ptr + at;
  return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

u64 get64(mem::Bytes b, u64 at) {
  if (!fits(b.len, at, 8)) return 0;
  return u64(get32(b, at)) | (u64(get32(b, at + 4)) << 32);
}

void put8(mem::Slice b, u64 at, u8 v) {
  if (fits(b.len, at, 1)) b.ptr[at] = v;
}

void put16(mem::Slice b, u64 at, u16 v) {
  if (!fits(b.len, at, 2)) return;
  b.ptr[at] = u8(v);
  b.ptr[at + 1] = u8(v >> 8);
}

void put32(mem::Slice b, u64 at, u32 v) {
  if (!fits(b.len, at, 4)) return;
  for (u32 i = 0; i < 4; ++i) b.ptr[at + i] = u8(v >> (8 * i));
}

void put64(mem::Slice b, u64 at, u64 v) {
  if (!fits(b.len, at, 8)) return;
  put32(b, at, u32(v));
  put32(b, at + 4, u32(v >> 32));
}

void put_bytes(mem::Slice b, u64 at, mem::Bytes src) {
  if (src.len != 0 && fits(b.len, at, src.len)) __builtin_memmove(b.ptr + at, src.ptr, src.len);
}

u32 get_bytes(mem::Bytes b, u64 at, mem::Slice out) {
  if (out.len == 0) return 1;
  if (!fits(b.len, at, out.len)) {
    __builtin_memset(out.ptr, 0, out.len);
    return 0;
  }
  __builtin_memmove(out.ptr, b.ptr + at, out.len);
  return 1;
}

// The kind table.

u32 kind_head(u32 kind) { return kind <= kind_last ? heads[kind] : 0; }
u32 kind_row(u32 kind) { return kind <= kind_last ? row_sizes[kind] : 0; }
u32 kind_rows_max(u32 kind) { return kind <= kind_last ? rows_max[kind] : 0; }
u32 kind_flags(u32 kind) { return kind == kind_buckets ? flag_more : 0; }

u32 payload_size(u32 kind, u32 rows) {
  u32 n = rows < kind_rows_max(kind) ? rows : kind_rows_max(kind);
  return kind_head(kind) + n * kind_row(kind);
}

u32 length_fits(u32 kind, u64 length) {
  if (kind == 0 || kind > kind_last) return 0;
  u64 h = heads[kind], r = row_sizes[kind];
  if (r == 0) return length == h;
  return length >= h && (length - h) % r == 0 && (length - h) / r <= rows_max[kind];
}

u32 frame_rows(u32 kind, u64 length) {
  u64 h = kind_head(kind), r = kind_row(kind);
  if (r == 0 || length < h) return 0;
  return static_cast<u32>((length - h) / r);
}

// Generic checks.

u32 head_check(mem::Bytes b) {
  if (b.len < header_size) return too_short;
  if (__builtin_memcmp(b.ptr, frame_magic, 4) != 0) return bad_magic;
  if (get16(b, 4) != protocol_version) return bad_version;
  u32 kind = get16(b, 6);
  if (kind == 0 || kind > kind_last) return bad_kind;
  if ((get32(b, 12) & ~kind_flags(kind)) != 0) return bad_flags;
  u32 length = get32(b, 8);
  if (length > max_payload) return too_long;
  if (!length_fits(kind, length)) return bad_length;
  return ok;
}

u32 frame_check(mem::Bytes b) {
  u32 c = head_check(b);
  if (c != ok) return c;
  return b.len - header_size < get32(b, 8) ? u32(too_short) : u32(ok);
}

u32 open_frame(mem::Bytes b, u32 kind) {
  u32 c = frame_check(b);
  if (c != ok) return c;
  return get16(b, 6) == kind ? u32(ok) : u32(bad_kind);
}

u32 frame_len(mem::Bytes b) { return head_check(b) == ok ? header_size + get32(b, 8) : 0; }
u32 frame_kind(mem::Bytes b) { return get16(b, 6); }
u32 frame_flags(mem::Bytes b) { return get32(b, 12); }

mem::Bytes payload_of(mem::Bytes frame) {
  u32 n = get32(frame, 8);
  if (!fits(frame.len, header_size, n)) return mem::Bytes();
  return mem::Bytes(frame.ptr + header_size, n);
}

// Builders.

u32 begin(mem::Slice out, u32 kind, u32 payload_length, u32 flags) {
  if (out.ptr == nullptr || out.len < u64(header_size) + payload_length) return 0;
  __builtin_memset(out.ptr, 0, header_size + payload_length);
  put_bytes(out, 0, mem::Bytes(frame_magic, 4));
  put16(out, 4, protocol_version);
  put16(out, 6, static_cast<u16>(kind));
  put32(out, 8, payload_length);
  put32(out, 12, flags);
  return 1;
}

u32 encode_ping(mem::Slice out) { return begin_fixed(out, kind_ping); }

u32 encode_bytes(u32 kind, mem::Bytes bytes, mem::Slice out) {
  if (kind == 0 || kind > kind_last || row_sizes[kind] != 0 || bytes.len != heads[kind]) return 0;
  u32 n = begin_fixed(out, kind);
  if (n != 0) put_bytes(out, header_size, bytes);
  return n;
}

u32 decode_bytes(mem::Bytes frame, u32 kind, mem::Slice out) {
  u32 c = open_frame(frame, kind);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (out.len != p.len) return wrong_size;
  get_bytes(p, 0, out);
  return ok;
}

u32 text_bad(mem::Bytes b, u64 at, u64 count) {
  if (!fits(b.len, at, count)) return static_cast<u32>(count == 0 ? 1 : count);
  u32 bad = 0;
  for (u64 i = 0; i < count; ++i) {
    u8 c = b.ptr[at + i];
    bad += c != 0 && (c < 32 || c > 126);
  }
  return bad;
}

u32 name_bad(mem::Bytes text) {
  u32 bad = 0;
  u64 i = 0;
  for (; i < text.len && text.ptr[i] != 0; ++i) bad += text.ptr[i] < 32 || text.ptr[i] > 126;
  for (; i < text.len; ++i) bad += text.ptr[i] != 0;
  return bad;
}

u32 ipv4_at(mem::Bytes record) { return get32(record, 0); }

// Handshake and request kinds.

u32 encode_hello(const Hello* hello, mem::Slice out) {
  u32 n = begin_fixed(out, kind_hello);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put8(p, 0, hello->role);
  put8(p, 1, hello->flags);
  put16(p, 2, hello->protocol);
  put32(p, 4, hello->term);
  put_id(p, 8, hello->id);
  put_id(p, 24, hello->nonce);
  return n;
}

u32 decode_hello(mem::Bytes frame, Hello* out) {
  u32 c = open_frame(frame, kind_hello);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  out->role = get8(p, 0);
  out->flags = get8(p, 1);
  out->protocol = get16(p, 2);
  out->term = get32(p, 4);
  get_id(p, 8, out->id);
  get_id(p, 24, out->nonce);
  return ok;
}

u32 encode_accept(const Accept* accept, mem::Slice out) {
  u32 n = begin_fixed(out, kind_accept);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put32(p, 0, accept->term);
  put32(p, 4, accept->value);
  put16(p, 8, accept->major);
  put16(p, 10, accept->minor);
  put16(p, 12, accept->patch);
  put_id(p, 16, accept->tag);
  return n;
}

u32 decode_accept(mem::Bytes frame, Accept* out) {
  u32 c = open_frame(frame, kind_accept);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  out->term = get32(p, 0);
  out->value = get32(p, 4);
  out->major = get16(p, 8);
  out->minor = get16(p, 10);
  out->patch = get16(p, 12);
  get_id(p, 16, out->tag);
  return ok;
}

u32 encode_refuse(u16 reason, mem::Slice out) {
  u32 n = begin_fixed(out, kind_refuse);
  if (n != 0) put16(body(out), 0, reason);
  return n;
}

u32 decode_refuse(mem::Bytes frame, u16* reason) {
  u32 c = open_frame(frame, kind_refuse);
  if (c != ok) return c;
  u16 r = get16(payload_of(frame), 0);
  if (r < reason_protocol || r > reason_same_id) return bad_content;
  *reason = r;
  return ok;
}

u32 encode_moved(const Moved* moved, mem::Slice out) {
  u32 n = begin_fixed(out, kind_moved);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put32(p, 0, moved->term);
  put32(p, 4, moved->address);
  put16(p, 8, moved->port);
  return n;
}

u32 decode_moved(mem::Bytes frame, Moved* out) {
  u32 c = open_frame(frame, kind_moved);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  out->term = get32(p, 0);
  out->address = get32(p, 4);
  out->port = get16(p, 8);
  return ok;
}

u32 encode_probe(const Probe* probe, mem::Slice out) {
  u32 n = begin_fixed(out, kind_probe);
  if (n == 0) return 0;
  put_id(body(out), 0, probe->first);
  put_id(body(out), 16, probe->second);
  return n;
}

u32 decode_probe(mem::Bytes frame, Probe* out) {
  u32 c = open_frame(frame, kind_probe);
  if (c != ok) return c;
  get_id(payload_of(frame), 0, out->first);
  get_id(payload_of(frame), 16, out->second);
  return ok;
}

u32 encode_probe_reply(const ProbeReply* reply, mem::Slice out) {
  u32 n = begin_fixed(out, kind_probe_reply);
  if (n == 0) return 0;
  put_id(body(out), 0, reply->first);
  put_id(body(out), 16, reply->second);
  put_id(body(out), 32, reply->tag);
  return n;
}

u32 decode_probe_reply(mem::Bytes frame, ProbeReply* out) {
  u32 c = open_frame(frame, kind_probe_reply);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  get_id(p, 0, out->first);
  get_id(p, 16, out->second);
  get_id(p, 32, out->tag);
  return ok;
}

// Sealed records.

namespace {

mem::Bytes magic_claim() { return mem::lit("VBC1"); }
mem::Bytes magic_lease() { return mem::lit("VBL1"); }
mem::Bytes magic_beacon() { return mem::lit("VBB1"); }
mem::Bytes magic_member() { return mem::lit("VBM1"); }
mem::Bytes magic_roster() { return mem::lit("VBR1"); }

u32 encode_lease_as(const Lease* lease, mem::Bytes magic, mem::Slice out) {
  if (!begin_record(out, magic, record_size, lease->flags)) return 0;
  put_lease(out, lease);
  return record_size;
}

u32 decode_lease_as(mem::Bytes record, mem::Bytes magic, Lease* out) {
  u32 c = record_check(record, magic, record_size);
  if (c != ok) return c;
  Lease lease;
  get_lease(record, &lease);
  if (lease_bad(&lease)) return bad_content;
  get_lease(record, out);
  return ok;
}

}  // namespace

u32 begin_record(mem::Slice out, mem::Bytes magic, u32 size, u16 word6) {
  if (out.ptr == nullptr || out.len < size || magic.len != 4 || size < 8) return 0;
  __builtin_memset(out.ptr, 0, size);
  put_bytes(out, 0, magic);
  put8(out, 4, 1);
  put16(out, 6, word6);
  return 1;
}

u32 record_check(mem::Bytes record, mem::Bytes magic, u32 size) {
  if (record.len < size) return too_short;
  if (record.len > size) return bad_length;
  if (magic.len != 4 || __builtin_memcmp(record.ptr, magic.ptr, 4) != 0) return bad_magic;
  if (get16(record, 4) != 1) return bad_version;
  return ok;
}

u32 lease_bad(const Lease* lease) { return lease->period < 10 || lease->period > 600 || lease->flags >= 32; }

void put_lease(mem::Slice record, const Lease* lease) {
  put16(record, 6, lease->flags);
  put32(record, 8, lease->term);
  put32(record, 12, lease->counter);
  put16(record, 16, lease->period);
  put16(record, 18, lease->port);
  put32(record, 20, lease->address);
  put8(record, 24, lease->writer);
  put_id(record, 32, lease->host_id);
}

void get_lease(mem::Bytes record, Lease* out) {
  out->flags = get16(record, 6);
  out->term = get32(record, 8);
  out->counter = get32(record, 12);
  out->period = get16(record, 16);
  out->port = get16(record, 18);
  out->address = get32(record, 20);
  out->writer = get8(record, 24);
  get_id(record, 32, out->host_id);
}

u32 encode_lease(const Lease* lease, mem::Slice out) { return encode_lease_as(lease, magic_lease(), out); }
u32 decode_lease(mem::Bytes record, Lease* out) { return decode_lease_as(record, magic_lease(), out); }
u32 encode_claim(const Lease* claim, mem::Slice out) { return encode_lease_as(claim, magic_claim(), out); }
u32 decode_claim(mem::Bytes record, Lease* out) { return decode_lease_as(record, magic_claim(), out); }

u32 encode_beacon(const Beacon* beacon, mem::Slice out) {
  if (!begin_record(out, magic_beacon(), record_size, beacon->flags)) return 0;
  put32(out, 8, beacon->term);
  put32(out, 12, beacon->counter);
  put16(out, 16, beacon->port);
  put16(out, 18, beacon->members);
  put8(out, 20, beacon->priority);
  put32(out, 24, beacon->address);
  put_id(out, 32, beacon->host_id);
  return record_size;
}

u32 decode_beacon(mem::Bytes record, Beacon* out) {
  u32 c = record_check(record, magic_beacon(), record_size);
  if (c != ok) return c;
  if (get16(record, 6) > 15 || get16(record, 18) > 64) return bad_content;
  out->flags = get16(record, 6);
  out->term = get32(record, 8);
  out->counter = get32(record, 12);
  out->port = get16(record, 16);
  out->members = get16(record, 18);
  out->priority = get8(record, 20);
  out->address = get32(record, 24);
  get_id(record, 32, out->host_id);
  return ok;
}

u32 encode_member(const Member* member, mem::Slice out) {
  if (!begin_record(out, magic_member(), record_size, member->flags)) return 0;
  put32(out, 8, member->term);
  put32(out, 12, member->sequence);
  put8(out, 16, member->priority);
  put16(out, 18, member->port);
  put32(out, 20, member->address);
  put16(out, 24, member->reach);
  put_id(out, 32, member->id);
  return record_size;
}

u32 decode_member(mem::Bytes record, Member* out) {
  u32 c = record_check(record, magic_member(), record_size);
  if (c != ok) return c;
  if (get16(record, 6) >= 64 || get16(record, 24) >= 64) return bad_content;
  out->flags = get16(record, 6);
  out->term = get32(record, 8);
  out->sequence = get32(record, 12);
  out->priority = get8(record, 16);
  out->port = get16(record, 18);
  out->address = get32(record, 20);
  out->reach = get16(record, 24);
  get_id(record, 32, out->id);
  return ok;
}

u32 encode_roster(const Roster* roster, mem::Slice out) {
  u16 n = roster->count < roster_rows ? roster->count : u16(roster_rows);
  if (!begin_record(out, magic_roster(), roster_size, n)) return 0;
  put32(out, 8, roster->term);
  put32(out, 12, roster->sequence);
  put16(out, 16, roster->flags);
  for (u32 i = 0; i < n; ++i) {
    u64 at = 32 + 24 * i;
    put_id(out, at, roster->rows[i].id);
    put8(out, at + 16, roster->rows[i].priority);
    put8(out, at + 17, roster->rows[i].flags);
    put16(out, at + 18, roster->rows[i].reach);
  }
  return roster_size;
}

u32 decode_roster(mem::Bytes record, Roster* out) {
  u32 c = record_check(record, magic_roster(), roster_size);
  if (c != ok) return c;
  u32 n = get16(record, 6);
  if (n > roster_rows || get16(record, 16) > 3) return bad_content;
  for (u32 i = 0; i < roster_rows; ++i) {
    u64 at = 32 + 24 * i;
    if (i >= n && !all_zero(record, at, 24)) return bad_content;
    if (i < n && (get8(record, at + 17) > 15 || get16(record, at + 18) >= 64)) return bad_content;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->count = static_cast<u16>(n);
  out->term = get32(record, 8);
  out->sequence = get32(record, 12);
  out->flags = get16(record, 16);
  for (u32 i = 0; i < n; ++i) {
    u64 at = 32 + 24 * i;
    get_id(record, at, out->rows[i].id);
    out->rows[i].priority = get8(record, at + 16);
    out->rows[i].flags = get8(record, at + 17);
    out->rows[i].reach = get16(record, at + 18);
  }
  return ok;
}

// Kind 6 inventory.

u32 name_used(const Inventory* inv, u32 slot) {
  if (slot <= name_cpu) return 1;
  if (slot < name_disk) return slot - name_gpu < inv->gpu_count;
  if (slot < name_disk_second) return slot - name_disk < inv->disk_count;
  if (slot < name_adapter) return slot - name_disk_second < inv->disk_count;
  return slot < inventory_names && slot - name_adapter < inv->adapter_count;
}

u32 encode_inventory(const Inventory* inv, mem::Slice out) {
  u32 n = begin_fixed(out, kind_inventory);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put_id(p, 0, inv->id);
  for (u32 i = 0; i < 3; ++i) put16(p, 16 + 2 * i, inv->version[i]);
  put16(p, 22, inv->hw_flags & 15);
  for (u32 i = 0; i < 10; ++i) put32(p, 24 + 4 * i, inv->hw32[i]);
  for (u32 i = 0; i < 4; ++i) put16(p, 64 + 2 * i, inv->hw16[i]);
  put_bytes(p, 72, mem::Bytes(inv->hw8, 6));
  for (u32 i = 0; i < 2; ++i) put16(p, 78 + 2 * i, inv->hw16b[i]);
  put8(p, 82, inv->gpu_count);
  put8(p, 83, inv->disk_count);
  put8(p, 84, inv->adapter_count);
  put8(p, 85, inv->os_family);
  put16(p, 86, inv->os_major);
  put16(p, 88, inv->os_minor);
  put8(p, 90, inv->os_value);
  put32(p, 92, inv->os_build);
  u64 disk_mask = bits::low_mask(inv->disk_count);
  for (u32 i = 0; i < 7; ++i) put64(p, 96 + 8 * i, inv->disk_bits[i] & disk_mask);
  for (u32 i = 0; i < 4; ++i) put32(p, 152 + 4 * i, inv->gpu_dedicated[i]);
  for (u32 i = 0; i < 4; ++i) put32(p, 168 + 4 * i, inv->gpu_shared[i]);
  for (u32 i = 0; i < 16; ++i) put32(p, 184 + 4 * i, inv->disk_value[i]);
  for (u32 i = 0; i < 8; ++i) put32(p, 248 + 4 * i, inv->adapter_value[i]);
  for (u32 i = 0; i < 4 && i < inv->gpu_count; ++i) put8(p, 280 + i, inv->gpu_type[i] & 63);
  for (u32 s = 0; s < inventory_names; ++s) {
    if (name_used(inv, s)) put_bytes(p, 288 + name_size * s, mem::Bytes(inv->names[s], name_size));
  }
  return n;
}

namespace {

u32 inventory_bad(mem::Bytes p) {
  u32 g = get8(p, 82), d = get8(p, 83), a = get8(p, 84);
  if (g > max_gpus || d > max_disks || a > max_adapters) return 1;
  if (get8(p, 85) >= 4 || get16(p, 22) > 15 || get8(p, 90) > 5) return 1;
  for (u32 i = 0; i < 7; ++i) {
    if ((get64(p, 96 + 8 * i) & ~bits::low_mask(d)) != 0) return 1;
  }
  for (u32 i = 0; i < 4; ++i) {
    u8 type = get8(p, 280 + i);
    if (type >= 64 || (i >= g && type != 0)) return 1;
  }
  Inventory counts;
  counts.gpu_count = u8(g);
  counts.disk_count = u8(d);
  counts.adapter_count = u8(a);
  for (u32 s = 0; s < inventory_names; ++s) {
    u64 at = 288 + name_size * s;
    if (name_used(&counts, s) ? name_bad(mem::Bytes(p.ptr + at, name_size)) != 0 : !all_zero(p, at, name_size)) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

u32 decode_inventory(mem::Bytes frame, Inventory* out) {
  u32 c = open_frame(frame, kind_inventory);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (inventory_bad(p)) return bad_content;
  __builtin_memset(out, 0, sizeof *out);
  get_id(p, 0, out->id);
  for (u32 i = 0; i < 3; ++i) out->version[i] = get16(p, 16 + 2 * i);
  out->hw_flags = get16(p, 22);
  for (u32 i = 0; i < 10; ++i) out->hw32[i] = get32(p, 24 + 4 * i);
  for (u32 i = 0; i < 4; ++i) out->hw16[i] = get16(p, 64 + 2 * i);
  get_bytes(p, 72, mem::Slice{out->hw8, 6});
  for (u32 i = 0; i < 2; ++i) out->hw16b[i] = get16(p, 78 + 2 * i);
  out->gpu_count = get8(p, 82);
  out->disk_count = get8(p, 83);
  out->adapter_count = get8(p, 84);
  out->os_family = get8(p, 85);
  out->os_major = get16(p, 86);
  out->os_minor = get16(p, 88);
  out->os_value = get8(p, 90);
  out->os_build = get32(p, 92);
  for (u32 i = 0; i < 7; ++i) out->disk_bits[i] = get64(p, 96 + 8 * i);
  for (u32 i = 0; i < 4; ++i) out->gpu_dedicated[i] = get32(p, 152 + 4 * i);
  for (u32 i = 0; i < 4; ++i) out->gpu_shared[i] = get32(p, 168 + 4 * i);
  for (u32 i = 0; i < 16; ++i) out->disk_value[i] = get32(p, 184 + 4 * i);
  for (u32 i = 0; i < 8; ++i) out->adapter_value[i] = get32(p, 248 + 4 * i);
  get_bytes(p, 280, mem::Slice{out->gpu_type, 4});
  get_bytes(p, 288, mem::Slice{&out->names[0][0], inventory_names * name_size});
  return ok;
}

// Kind 7 sample.

namespace {

// The hundredths-of-a-percent fields and the half-unit byte ranges of a sample row.
const u16 sample_percents[6] = {4, 96, 98, 100, 102, 376};
const u16 sample_halves[4][2] = {{32, 96}, {396, 460}, {460, 476}, {476, 496}};

u32 sample_bad(mem::Bytes p) {
  for (u16 at : sample_percents) {
    if (get16(p, at) > 10000) return 1;
  }
  for (const auto& range : sample_halves) {
    for (u32 i = range[0]; i < range[1]; ++i) {
      if (get8(p, i) > 200) return 1;
    }
  }
  return 0;
}

// The power value counts only with a source bit in its flags; the flags keep their low 6 bits; byte 23 is zero.
void power_rule(u8* row) {
  row[22] &= 0x3F;
  row[23] = 0;
  if ((row[22] & 15) == 0) row[20] = row[21] = 0;
}

}  // namespace

u32 encode_sample(const u8* row, mem::Slice out) {
  u32 n = begin_fixed(out, kind_sample);
  if (n == 0) return 0;
  put_bytes(body(out), 0, mem::Bytes(row, sample_size));
  power_rule(out.ptr + header_size);
  return n;
}

u32 decode_sample(mem::Bytes frame, u8* row) {
  u32 c = open_frame(frame, kind_sample);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (sample_bad(p)) return bad_content;
  get_bytes(p, 0, mem::Slice{row, sample_size});
  power_rule(row);
  return ok;
}

// Kind 8 procs.

namespace {

void put_proc_row(mem::Slice b, u64 at, const ProcRow* r) {
  put32(b, at, r->pid);
  put32(b, at + 4, r->start[0]);
  put32(b, at + 8, r->start[1]);
  put16(b, at + 12, r->cpu);
  put16(b, at + 14, r->gpu);
  put32(b, at + 16, r->memory);
  put32(b, at + 20, r->value20);
  put32(b, at + 24, r->disk_read);
  put32(b, at + 28, r->disk_write);
  put32(b, at + 32, r->value32);
  put16(b, at + 36, r->vram);
  put16(b, at + 38, r->threads);
  put16(b, at + 40, r->tcp);
  put16(b, at + 42, r->flags);
  put_bytes(b, at + 48, mem::Bytes(r->name, 32));
}

void get_proc_row(mem::Bytes b, u64 at, ProcRow* r) {
  r->pid = get32(b, at);
  r->start[0] = get32(b, at + 4);
  r->start[1] = get32(b, at + 8);
  r->cpu = get16(b, at + 12);
  r->gpu = get16(b, at + 14);
  r->memory = get32(b, at + 16);
  r->value20 = get32(b, at + 20);
  r->disk_read = get32(b, at + 24);
  r->disk_write = get32(b, at + 28);
  r->value32 = get32(b, at + 32);
  r->vram = get16(b, at + 36);
  r->threads = get16(b, at + 38);
  r->tcp = get16(b, at + 40);
  r->flags = get16(b, at + 42);
  get_bytes(b, at + 48, mem::Slice{r->name, 32});
}

u32 proc_row_bad(mem::Bytes b, u64 at) {
  return get16(b, at + 12) > 10000 || get16(b, at + 14) > 10000 || get16(b, at + 42) > 7 ||
         text_bad(b, at + 48, 32) != 0;
}

}  // namespace

u32 encode_procs(const ProcRecord* table, const ProcRecord* previous, u32 full, mem::Slice out) {
  u32 t = table->count < proc_rows_max ? table->count : proc_rows_max;
  u32 sent = previous == nullptr ? 0 : previous->count;
  u64 mask[4] = {0, 0, 0, 0};
  u32 n = 0;
  for (u32 i = 0; i < t; ++i) {
    u32 changed = full || i >= sent ||
                  __builtin_memcmp(&table->rows[i], &previous->rows[i], sizeof(ProcRow)) != 0;
    if (changed) {
      bits::set(mask, i);
      ++n;
    }
  }
  if (!begin(out, kind_procs, payload_size(kind_procs, n), 0)) return 0;
  mem::Slice p = body(out);
  put16(p, 0, static_cast<u16>(t));
  put16(p, 2, static_cast<u16>(n));
  put32(p, 4, (table->flags & 0x1F) | (full ? procs_full : 0));
  for (u32 i = 0; i < 3; ++i) put32(p, 8 + 4 * i, table->totals[i]);
  for (u32 w = 0; w < 4; ++w) put64(p, 24 + 8 * w, mask[w]);
  u64 at = proc_head;
  for (u32 i = 0; i < t; ++i) {
    if (!bits::is_set(mask, i)) continue;
    put_proc_row(p, at, &table->rows[i]);
    at += proc_wire_row;
  }
  return frame_total(kind_procs, n);
}

u32 decode_procs(mem::Bytes frame, ProcRecord* table) {
  u32 c = open_frame(frame, kind_procs);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u32 t = get16(p, 0), n = get16(p, 2), flags = get32(p, 4);
  if (n != frame_rows(kind_procs, p.len)) return bad_length;
  if (t > proc_rows_max || (flags & ~(0x1Fu | procs_full)) != 0) return bad_content;
  u64 mask[4];
  u32 marked = 0;
  for (u32 w = 0; w < 4; ++w) {
    mask[w] = get64(p, 24 + 8 * w);
    u64 live = bits::live_mask(t, w);
    if ((mask[w] & ~live) != 0) return bad_content;
    if ((flags & procs_full) != 0 && mask[w] != live) return bad_content;
    marked += bits::word_count(mask[w]);
  }
  if (marked != n) return bad_content;
  for (u32 k = 0; k < n; ++k) {
    if (proc_row_bad(p, proc_head + u64(proc_wire_row) * k)) return bad_content;
  }
  u64 at = proc_head;
  for (u32 i = 0; i < t; ++i) {
    if (!bits::is_set(mask, i)) continue;
    get_proc_row(p, at, &table->rows[i]);
    at += proc_wire_row;
  }
  table->count = t;
  table->flags = flags & 0x1F;
  for (u32 i = 0; i < 3; ++i) table->totals[i] = get32(p, 8 + 4 * i);
  return ok;
}

// Kind 29 temps.

u32 knows_temps(u16 major, u16 minor, u16 patch) {
  u64 v = (u64(major) << 32) | (u64(minor) << 16) | patch;
  return v > ((u64(0) << 32) | (u64(1) << 16) | 80);
}

u32 temp_ok(i16 value, u32 present) { return present ? value >= temp_min && value <= temp_max : value == 0; }

namespace {

constexpr u32 temps_names = 8;
constexpr u32 temp_name_size = 24;

// Every reading of a wire payload with its presence: the processor's, the four, the sixteen, the named ones.
u32 temps_values_bad(mem::Bytes p) {
  u32 count = get8(p, 7);
  if (!temp_ok(geti16(p, 4), get8(p, 6) != 0)) return 1;
  for (u32 j = 0; j < 4; ++j) {
    if (!temp_ok(geti16(p, 12 + 2 * j), (get8(p, 8) >> j) & 1)) return 1;
  }
  for (u32 j = 0; j < 16; ++j) {
    if (!temp_ok(geti16(p, 20 + 2 * j), (get16(p, 10) >> j) & 1)) return 1;
  }
  for (u32 i = 0; i < temps_names; ++i) {
    if (!temp_ok(geti16(p, 52 + 2 * i), i < count)) return 1;
  }
  return 0;
}

u32 temps_bad(mem::Bytes p) {
  u32 count = get8(p, 7);
  if (get8(p, 6) > 3 || count > temps_names || get8(p, 8) > 15) return 1;
  if ((get8(p, 9) >> count) != 0 || get32(p, 68) != 0) return 1;
  if (temps_values_bad(p)) return 1;
  for (u32 i = 0; i < temps_names; ++i) {
    u64 at = 72 + temp_name_size * i;
    mem::Bytes name(p.ptr + at, temp_name_size);
    if (i < count ? name_bad(name) != 0 || name.ptr[temp_name_size - 1] != 0 : !all_zero(p, at, temp_name_size)) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

u32 encode_temps(const u8* block, mem::Slice out) {
  u32 n = begin_fixed(out, kind_temps);
  if (n == 0) return 0;
  mem::Bytes b(block, temps_block_size);
  mem::Slice p = body(out);
  put32(p, 0, get32(b, 0));
  u8 source = get8(b, 6);
  if (source >= 1 && source <= 3) {
    put16(p, 4, get16(b, 4));
    put8(p, 6, source);
  }
  u32 count = get8(b, 7) < temps_names ? get8(b, 7) : temps_names;
  u8 present4 = get8(b, 8) & 15;
  u16 present16 = get16(b, 10);
  put8(p, 7, static_cast<u8>(count));
  put8(p, 8, present4);
  put8(p, 9, static_cast<u8>(get8(b, 9) & bits::low_mask(count)));
  put16(p, 10, present16);
  for (u32 j = 0; j < 4; ++j) {
    if ((present4 >> j) & 1) put16(p, 12 + 2 * j, get16(b, 12 + 2 * j));
  }
  for (u32 j = 0; j < 16; ++j) {
    if ((present16 >> j) & 1) put16(p, 20 + 2 * j, get16(b, 20 + 2 * j));
  }
  for (u32 i = 0; i < count; ++i) {
    put16(p, 52 + 2 * i, get16(b, 52 + 2 * i));
    // A name is at most 23 characters and ends with a zero byte on the wire.
    const u8* name = block + 68 + temp_name_size * i;
    u32 len = 0;
    while (len < temp_name_size - 1 && name[len] != 0) ++len;
    put_bytes(p, 72 + temp_name_size * i, mem::Bytes(name, len));
  }
  return n;
}

u32 decode_temps(mem::Bytes frame, u8* block) {
  u32 c = open_frame(frame, kind_temps);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (temps_bad(p)) return bad_content;
  // The block has no zero word: the names move from 72 to 68.
  get_bytes(p, 0, mem::Slice{block, 68});
  get_bytes(p, 72, mem::Slice{block + 68, temps_names * temp_name_size});
  return ok;
}

// Summaries and the machine list.

u32 summary_bad(mem::Bytes b, u64 at) {
  if (!fits(b.len, at, summary_size)) return 1;
  if (get8(b, at + 4) > 3 || get8(b, at + 5) > 3 || get8(b, at + 23) > 5) return 1;
  for (u32 i = 0; i < 6; ++i) {
    if (get16(b, at + 8 + 2 * i) > 10000) return 1;
  }
  return 0;
}

void put_summary(mem::Slice b, u64 at, const Summary* s) {
  if (!fits(b.len, at, summary_size)) return;
  mem::Slice d = tail(b, at);
  u8 power_flags = s->power_flags & 0x3F;
  put32(d, 0, s->stamp);
  put8(d, 4, s->state);
  put8(d, 5, s->flags);
  put16(d, 6, s->value);
  put16(d, 8, s->cpu);
  put16(d, 10, s->kernel);
  put16(d, 12, s->memory);
  put16(d, 14, s->disk);
  put16(d, 16, s->gpu);
  put16(d, 18, s->video);
  put16(d, 20, s->processes);
  put8(d, 22, s->shared_video & 1);
  put8(d, 23, s->os);
  put32(d, 24, s->memory_used);
  put32(d, 28, s->memory_total);
  put32(d, 32, s->video_used);
  put32(d, 36, s->video_total);
  put32(d, 40, s->disk_read);
  put32(d, 44, s->disk_write);
  put32(d, 48, s->receive);
  put32(d, 52, s->send);
  put32(d, 56, s->threads);
  put16(d, 60, (power_flags & 15) != 0 ? s->power : 0);
  put8(d, 62, power_flags);
  put8(d, 63, 0);
}

void get_summary(mem::Bytes b, u64 at, Summary* out) {
  mem::Bytes d = tail(b, at);
  u8 power_flags = get8(d, 62) & 0x3F;
  out->stamp = get32(d, 0);
  out->state = get8(d, 4);
  out->flags = get8(d, 5);
  out->value = get16(d, 6);
  out->cpu = get16(d, 8);
  out->kernel = get16(d, 10);
  out->memory = get16(d, 12);
  out->disk = get16(d, 14);
  out->gpu = get16(d, 16);
  out->video = get16(d, 18);
  out->processes = get16(d, 20);
  out->shared_video = get8(d, 22) & 1;
  out->os = get8(d, 23);
  out->memory_used = get32(d, 24);
  out->memory_total = get32(d, 28);
  out->video_used = get32(d, 32);
  out->video_total = get32(d, 36);
  out->disk_read = get32(d, 40);
  out->disk_write = get32(d, 44);
  out->receive = get32(d, 48);
  out->send = get32(d, 52);
  out->threads = get32(d, 56);
  out->power = (power_flags & 15) != 0 ? get16(d, 60) : 0;
  out->power_flags = power_flags;
  out->zero = 0;
}

u8 hostWire(u64 mask, u32 n) {
  u64 m = mask & bits::low_mask(n);
  return m == 0 ? 0 : static_cast<u8>(1 + bits::word_first(m));
}

u64 hostBits(u8 wire) { return wire == 0 || wire > 64 ? 0 : bits::bit_mask(wire - 1u); }

namespace {

constexpr u32 list_row = 112;

// A row count at offset 0 (u16, or u8 for backfill) that must match the payload length.
u32 rows_match(mem::Bytes p, u32 kind, u32 n) { return n == frame_rows(kind, p.len); }

}  // namespace

u32 encode_list(const MachineList* list, mem::Slice out) {
  u32 n = list->count < list_rows ? list->count : list_rows;
  if (!begin(out, kind_list, payload_size(kind_list, n), 0)) return 0;
  mem::Slice p = body(out);
  put16(p, 0, static_cast<u16>(n));
  put8(p, 2, 1);
  put8(p, 3, hostWire(list->host_mask, n));
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + u64(list_row) * i;
    put_id(p, at, list->ids[i]);
    put_bytes(p, at + 16, mem::Bytes(list->names[i], 32));
    put_summary(p, at + 48, &list->summaries[i]);
  }
  return frame_total(kind_list, n);
}

u32 decode_list(mem::Bytes frame, MachineList* out) {
  u32 c = open_frame(frame, kind_list);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u32 n = get16(p, 0), mark = get8(p, 2), host = get8(p, 3);
  if (!rows_match(p, kind_list, n)) return bad_length;
  if (mark == 1 && n < host) return bad_content;
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + u64(list_row) * i;
    if (text_bad(p, at + 16, 32) != 0 || summary_bad(p, at + 48)) return bad_content;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->host_mask = mark == 1 ? hostBits(static_cast<u8>(host)) : 0;
  out->count = n;
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + u64(list_row) * i;
    get_id(p, at, out->ids[i]);
    get_bytes(p, at + 16, mem::Slice{out->names[i], 32});
    get_summary(p, at + 48, &out->summaries[i]);
  }
  return ok;
}

u32 decode_backfill(mem::Bytes frame, Backfill* out) {
  u32 c = open_frame(frame, kind_backfill);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u32 n = get8(p, 0);
  if (!rows_match(p, kind_backfill, n)) return bad_length;
  if (get16(p, 2) > 600) return bad_content;
  for (u32 i = 0; i < n; ++i) {
    if (summary_bad(p, 8 + u64(summary_size) * i)) return bad_content;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->count = static_cast<u8>(n);
  out->interval = get16(p, 2);
  for (u32 i = 0; i < n; ++i) get_summary(p, 8 + u64(summary_size) * i, &out->rows[i]);
  return ok;
}

// Peers, update state and updates.

u32 encode_peers(const Peers* peers, mem::Slice out) {
  u32 n = peers->count < list_rows ? peers->count : list_rows;
  if (!begin(out, kind_peers, payload_size(kind_peers, n), 0)) return 0;
  mem::Slice p = body(out);
  put16(p, 0, static_cast<u16>(n));
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + 40 * u64(i);
    put_id(p, at, peers->ids[i]);
    put8(p, at + 16, peers->address_kinds[i]);
    put_id(p, at + 24, peers->addresses[i]);
  }
  return frame_total(kind_peers, n);
}

u32 decode_peers(mem::Bytes frame, Peers* out) {
  u32 c = open_frame(frame, kind_peers);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u32 n = get16(p, 0);
  if (!rows_match(p, kind_peers, n)) return bad_length;
  for (u32 i = 0; i < n; ++i) {
    if (get8(p, 8 + 40 * u64(i) + 16) > 2) return bad_content;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->count = n;
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + 40 * u64(i);
    get_id(p, at, out->ids[i]);
    out->address_kinds[i] = get8(p, at + 16);
    get_id(p, at + 24, out->addresses[i]);
  }
  return ok;
}

u32 phase_reported(u8 phase) { return phase >= 2 && phase <= 8 && phase != 6; }

u32 encode_update_state(u8 phase, u8 detail, mem::Slice out) {
  u32 n = begin_fixed(out, kind_update_state);
  if (n == 0) return 0;
  put8(body(out), 0, phase);
  put8(body(out), 1, detail);
  return n;
}

u32 decode_update_state(mem::Bytes frame, u8* phase, u8* detail) {
  u32 c = open_frame(frame, kind_update_state);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (!phase_reported(get8(p, 0)) || get8(p, 1) > 32 || !all_zero(p, 2, 6)) return bad_content;
  *phase = get8(p, 0);
  *detail = get8(p, 1);
  return ok;
}

u32 encode_updates(const Updates* updates, mem::Slice out) {
  u32 n = updates->count < list_rows ? updates->count : list_rows;
  if (!begin(out, kind_updates, payload_size(kind_updates, n), 0)) return 0;
  mem::Slice p = body(out);
  put16(p, 0, static_cast<u16>(n));
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + 24 * u64(i);
    put_id(p, at, updates->ids[i]);
    put16(p, at + 16, updates->major[i]);
    put16(p, at + 18, updates->minor[i]);
    put16(p, at + 20, updates->patch[i]);
    put8(p, at + 22, updates->phases[i]);
    put8(p, at + 23, updates->details[i]);
  }
  return frame_total(kind_updates, n);
}

u32 decode_updates(mem::Bytes frame, Updates* out) {
  u32 c = open_frame(frame, kind_updates);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u32 n = get16(p, 0);
  if (!rows_match(p, kind_updates, n)) return bad_length;
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + 24 * u64(i);
    if (get8(p, at + 22) > 8 || get8(p, at + 23) > 32) return bad_content;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->count = n;
  for (u32 i = 0; i < n; ++i) {
    u64 at = 8 + 24 * u64(i);
    get_id(p, at, out->ids[i]);
    out->major[i] = get16(p, at + 16);
    out->minor[i] = get16(p, at + 18);
    out->patch[i] = get16(p, at + 20);
    out->phases[i] = get8(p, at + 22);
    out->details[i] = get8(p, at + 23);
  }
  return ok;
}

// History asks and answers.

u32 encode_history(const HistoryAsk* ask, mem::Slice out) {
  u32 n = begin_fixed(out, kind_history);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put_id(p, 0, ask->id);
  put8(p, 16, ask->tier);
  put8(p, 17, ask->scope);
  put8(p, 18, ask->options & 3);
  put32(p, 20, ask->first);
  put32(p, 24, ask->last);
  return n;
}

u32 decode_history(mem::Bytes frame, HistoryAsk* out) {
  u32 c = open_frame(frame, kind_history);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (get8(p, 16) > 2 || get8(p, 17) > 1 || get32(p, 24) < get32(p, 20)) return bad_content;
  get_id(p, 0, out->id);
  out->tier = get8(p, 16);
  out->scope = get8(p, 17);
  out->options = get8(p, 18) & 3;
  out->first = get32(p, 20);
  out->last = get32(p, 24);
  return ok;
}

namespace {

constexpr u32 rows_head = 24;

// The 24-byte head shared by kinds 13, 21, 22 and 30.
void put_rows_head(mem::Slice p, u32 n, u8 tier, u8 scope, const u8* id) {
  put16(p, 0, static_cast<u16>(n));
  put8(p, 2, tier);
  put8(p, 3, scope);
  put_id(p, 8, id);
}

u32 check_rows_head(mem::Bytes frame, u32 kind, u32* n) {
  u32 c = open_frame(frame, kind);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  *n = get16(p, 0);
  if (!rows_match(p, kind, *n)) return bad_length;
  if (get8(p, 2) > 2 || get8(p, 3) > 1) return bad_content;
  return ok;
}

u32 bucket_bad(mem::Bytes p, u64 at) {
  for (u32 part = 0; part < 3; ++part) {
    for (u32 m = 0; m < 6; ++m) {
      if (get16(p, at + 8 + 16 * part + 2 * m) > 10000) return 1;
    }
  }
  return 0;
}

u32 row_bad(mem::Bytes p, u32 kind, u64 at) {
  if (kind == kind_names) return text_bad(p, at, 32) != 0;
  if (kind == kind_tops) {
    for (u32 i = 0; i < 5; ++i) {
      if (get16(p, at + 88 + 2 * i) > 10000) return 1;
    }
    return 0;
  }
  return get16(p, at + 12) > 3600 || get16(p, at + 14) > 1;
}

}  // namespace

u32 encode_buckets(const BucketAnswer* answer, u32 more, mem::Slice out) {
  u64 whole = answer->buckets.len / bucket_size;
  u32 n = whole < kind_rows_max(kind_buckets) ? static_cast<u32>(whole) : kind_rows_max(kind_buckets);
  if (!begin(out, kind_buckets, payload_size(kind_buckets, n), more ? flag_more : 0)) return 0;
  mem::Slice p = body(out);
  put_rows_head(p, n, answer->tier, answer->scope, answer->id);
  put_bytes(p, rows_head, mem::Bytes(answer->buckets.ptr, u64(n) * bucket_size));
  return frame_total(kind_buckets, n);
}

u32 check_buckets(mem::Bytes frame, u32* count, u32* more) {
  u32 n = 0;
  u32 c = check_rows_head(frame, kind_buckets, &n);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  for (u32 i = 0; i < n; ++i) {
    if (bucket_bad(p, rows_head + u64(bucket_size) * i)) return bad_content;
  }
  *count = n;
  *more = frame_flags(frame) & flag_more;
  return ok;
}

u32 bucket_at(mem::Bytes frame, u32 i, u8* bucket) {
  mem::Bytes p = payload_of(frame);
  if (i >= get16(p, 0) || !fits(p.len, rows_head + u64(bucket_size) * i, bucket_size)) return 0;
  return get_bytes(p, rows_head + u64(bucket_size) * i, mem::Slice{bucket, bucket_size});
}

const u8* buckets_id(mem::Bytes frame) { return fits(frame.len, header_size + 8, 16) ? frame.ptr + header_size + 8 : nullptr; }

u32 rows_kind(u32 kind) { return kind == kind_tops || kind == kind_energy ? kind : u32(kind_names); }

u32 encode_rows(u32 kind, u8 tier, const u8* id, mem::Bytes rows, u32 count, mem::Slice out) {
  kind = rows_kind(kind);
  u64 whole = rows.len / kind_row(kind);
  u64 n = count < whole ? count : whole;
  n = n < kind_rows_max(kind) ? n : kind_rows_max(kind);
  if (!begin(out, kind, payload_size(kind, static_cast<u32>(n)), 0)) return 0;
  mem::Slice p = body(out);
  put_rows_head(p, static_cast<u32>(n), tier, 0, id);
  put_bytes(p, rows_head, mem::Bytes(rows.ptr, n * kind_row(kind)));
  return frame_total(kind, static_cast<u32>(n));
}

u32 check_rows(mem::Bytes frame, u32 kind, u32* count) {
  kind = rows_kind(kind);
  u32 n = 0;
  u32 c = check_rows_head(frame, kind, &n);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  for (u32 i = 0; i < n; ++i) {
    if (row_bad(p, kind, rows_head + u64(kind_row(kind)) * i)) return bad_content;
  }
  *count = n;
  return ok;
}

// Agent update transfer.

u32 encode_update_ask(const UpdateAsk* ask, mem::Slice out) {
  u32 n = begin_fixed(out, kind_update_ask);
  if (n == 0) return 0;
  mem::Slice p = body(out);
  put8(p, 0, ask->type);
  put8(p, 1, ask->flag);
  put16(p, 2, ask->major);
  put16(p, 4, ask->minor);
  put16(p, 6, ask->patch);
  put32(p, 8, ask->offset);
  return n;
}

u32 decode_update_ask(mem::Bytes frame, UpdateAsk* out) {
  u32 c = open_frame(frame, kind_update_ask);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  if (get8(p, 0) != 1 && get8(p, 0) != 2) return bad_content;
  out->type = get8(p, 0);
  out->major = get16(p, 2);
  out->minor = get16(p, 4);
  out->patch = get16(p, 6);
  out->offset = get32(p, 8);
  out->flag = get8(p, 1) & ask_signature;
  return ok;
}

namespace {

constexpr u32 chunk_head = 56;

u32 chunk_bad(mem::Bytes p) {
  u8 type = get8(p, 0), flag = get8(p, 1);
  u64 total = get32(p, 8), offset = get32(p, 12), length = get32(p, 16);
  if ((type != 1 && type != 2) || flag > chunk_signature) return 1;
  // In 64 bits, so an offset near the top cannot wrap past the total.
  if (flag != chunk_signature && (total < offset + length || total > binary_max)) return 1;
  if (flag == chunk_no_binary && (total | offset | length) != 0) return 1;
  if (flag == chunk_signature && (offset != 0 || length != 64 || total == 0 || total > binary_max)) return 1;
  return !all_zero(p, chunk_head + length, p.len - chunk_head - length);
}

}  // namespace

u32 encode_update_chunk(const UpdateChunk* chunk, mem::Bytes data, mem::Slice out) {
  if (chunk->length > chunk_max || data.len < chunk->length) return 0;
  u32 rows = (chunk->length + 7) / 8;
  if (!begin(out, kind_update_chunk, payload_size(kind_update_chunk, rows), 0)) return 0;
  mem::Slice p = body(out);
  put8(p, 0, chunk->type);
  put8(p, 1, chunk->flag);
  put16(p, 2, chunk->major);
  put16(p, 4, chunk->minor);
  put16(p, 6, chunk->patch);
  put32(p, 8, chunk->total);
  put32(p, 12, chunk->offset);
  put32(p, 16, chunk->length);
  put_bytes(p, 24, mem::Bytes(chunk->value, 32));
  put_bytes(p, chunk_head, mem::Bytes(data.ptr, chunk->length));
  return frame_total(kind_update_chunk, rows);
}

u32 decode_update_chunk(mem::Bytes frame, UpdateChunk* out) {
  u32 c = open_frame(frame, kind_update_chunk);
  if (c != ok) return c;
  mem::Bytes p = payload_of(frame);
  u64 length = get32(p, 16);
  if ((length + 7) / 8 != frame_rows(kind_update_chunk, p.len)) return bad_length;
  if (chunk_bad(p)) return bad_content;
  out->type = get8(p, 0);
  out->flag = get8(p, 1);
  out->major = get16(p, 2);
  out->minor = get16(p, 4);
  out->patch = get16(p, 6);
  out->total = get32(p, 8);
  out->offset = get32(p, 12);
  out->length = static_cast<u32>(length);
  get_bytes(p, 24, mem::Slice{out->value, 32});
  return ok;
}

mem::Bytes update_data(mem::Bytes frame) {
  mem::Bytes p = payload_of(frame);
  if (p.len < chunk_head) return mem::Bytes();
  u64 length = get32(p, 16);
  if (length > p.len - chunk_head) length = p.len - chunk_head;
  return mem::Bytes(p.ptr + chunk_head, length);
}

}  // namespace proto
