#pragma once
// Runs every decoder of the cluster wire over one byte string and checks the two promises every decoder makes to a
// hostile peer: a refusal leaves the output exactly as it was, and what is accepted survives encoding and decoding
// again unchanged. Shared by the seeded mutation test and the libFuzzer target.
#include <string.h>

#include <string>
#include <vector>

#include "wire/auth.h"
#include "wire/cluster.h"
#include "wire/peer.h"
#include "wire/proto.h"

namespace wire_check {

constexpr unsigned char poison = 0xA5;

template <typename T>
void fill_poison(T* record) {
  memset(static_cast<void*>(record), poison, sizeof *record);
}

template <typename T>
bool untouched(const T* record) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(record);
  for (size_t i = 0; i < sizeof *record; ++i) {
    if (p[i] != poison) return false;
  }
  return true;
}

template <typename T>
bool same_record(const T* a, const T* b) {
  return memcmp(static_cast<const void*>(a), static_cast<const void*>(b), sizeof *a) == 0;
}

// A frame buffer large enough for any kind, header and tag included.
struct Buffer {
  u8 bytes[65536];
  mem::Slice slice() { return mem::Slice{bytes, sizeof bytes}; }
  mem::Bytes first(u32 n) const { return mem::Bytes(bytes, n); }
};

// One decoder with its encoder: decode into a poisoned record; on refusal the record must be untouched; on success
// re-encoding and decoding must give the same record.
template <typename T, typename Decode, typename Encode>
void one(const char* name, mem::Bytes input, Decode decode, Encode encode, std::string* faults, u32* accepted) {
  static Buffer buffer;
  T* first = new T;
  T* second = new T;
  fill_poison(first);
  fill_poison(second);
  u32 code = decode(input, first);
  if (code != proto::ok) {
    if (!untouched(first)) *faults += std::string(name) + ": refused but wrote its output\n";
  } else {
    ++*accepted;
    u32 n = encode(first, buffer.slice());
    if (n == 0) {
      *faults += std::string(name) + ": accepted but does not encode again\n";
    } else if (decode(buffer.first(n), second) != proto::ok) {
      *faults += std::string(name) + ": its own encoding is refused\n";
    } else if (!same_record(first, second)) {
      *faults += std::string(name) + ": changes on a second round\n";
    }
  }
  delete first;
  delete second;
}

// A decoder without an encoder of its own (or whose output is applied in place): refusal must not write.
template <typename T, typename Decode>
void refuse_only(const char* name, mem::Bytes input, Decode decode, std::string* faults, u32* accepted) {
  T* out = new T;
  fill_poison(out);
  u32 code = decode(input, out);
  if (code != proto::ok && !untouched(out)) *faults += std::string(name) + ": refused but wrote its output\n";
  if (code == proto::ok) ++*accepted;
  delete out;
}

struct Bytes32 {
  u8 b[32];
};
struct Bytes16 {
  u8 b[16];
};
struct Sample {
  u8 b[proto::sample_size];
};
struct Temps {
  u8 b[proto::temps_block_size];
};
struct Pair {
  u8 first;
  u8 second;
};
struct Counted {
  u32 count;
  u32 more;
};

// Every frame decoder and record decoder over input; returns the faults found (empty when none) and counts the
// decoders that accepted it.
inline std::string check_all(mem::Bytes in, u32* accepted_out = nullptr) {
  using namespace proto;
  std::string f;
  u32 a = 0;
  one<Hello>("hello", in, decode_hello, encode_hello, &f, &a);
  one<Accept>("accept", in, decode_accept, encode_accept, &f, &a);
  one<Moved>("moved", in, decode_moved, encode_moved, &f, &a);
  one<Probe>("probe", in, decode_probe, encode_probe, &f, &a);
  one<ProbeReply>("probe reply", in, decode_probe_reply, encode_probe_reply, &f, &a);
  one<u16>("refuse", in, decode_refuse, [](const u16* r, mem::Slice o) { return encode_refuse(*r, o); }, &f, &a);
  for (u32 kind : {kind_reply, kind_proof, kind_watch, kind_unwatch, kind_forget, kind_update_now, kind_probe_proof}) {
    u32 size = kind_head(kind);
    auto decode = [kind, size](mem::Bytes b, Bytes32* o) { return decode_bytes(b, kind, mem::Slice{o->b, size}); };
    auto encode = [kind, size](const Bytes32* o, mem::Slice out) {
      return encode_bytes(kind, mem::Bytes(o->b, size), out);
    };
    one<Bytes32>("bytes", in, decode, encode, &f, &a);
  }
  one<Inventory>("inventory", in, decode_inventory, encode_inventory, &f, &a);
  one<Sample>("sample", in, [](mem::Bytes b, Sample* s) { return decode_sample(b, s->b); },
              [](const Sample* s, mem::Slice o) { return encode_sample(s->b, o); }, &f, &a);
  one<Temps>("temps", in, [](mem::Bytes b, Temps* t) { return decode_temps(b, t->b); },
             [](const Temps* t, mem::Slice o) { return encode_temps(t->b, o); }, &f, &a);
  refuse_only<ProcRecord>("procs", in, decode_procs, &f, &a);
  one<MachineList>("list", in, decode_list, encode_list, &f, &a);
  refuse_only<Backfill>("backfill", in, decode_backfill, &f, &a);
  one<Peers>("peers", in, decode_peers, encode_peers, &f, &a);
  one<Pair>("update state", in, [](mem::Bytes b, Pair* p) { return decode_update_state(b, &p->first, &p->second); },
            [](const Pair* p, mem::Slice o) { return encode_update_state(p->first, p->second, o); }, &f, &a);
  one<Updates>("updates", in, decode_updates, encode_updates, &f, &a);
  one<HistoryAsk>("history", in, decode_history, encode_history, &f, &a);
  refuse_only<Counted>("buckets", in, [](mem::Bytes b, Counted* c) { return check_buckets(b, &c->count, &c->more); },
                       &f, &a);
  for (u32 kind : {kind_names, kind_tops, kind_energy}) {
    refuse_only<Counted>("rows", in, [kind](mem::Bytes b, Counted* c) { return check_rows(b, kind, &c->count); }, &f,
                         &a);
  }
  one<UpdateAsk>("update ask", in, decode_update_ask, encode_update_ask, &f, &a);
  refuse_only<UpdateChunk>("update chunk", in, decode_update_chunk, &f, &a);
  one<Lease>("lease", in, decode_lease, encode_lease, &f, &a);
  one<Lease>("claim", in, decode_claim, encode_claim, &f, &a);
  one<Beacon>("beacon", in, decode_beacon, encode_beacon, &f, &a);
  one<Member>("member", in, decode_member, encode_member, &f, &a);
  one<Roster>("roster", in, decode_roster, encode_roster, &f, &a);
  a += open_frame(in, kind_ping) == ok;
  // The generic checks must agree with each other on every input.
  u32 len = frame_len(in);
  if ((len != 0) != (head_check(in) == ok)) f += "frame_len disagrees with head_check\n";
  if (frame_check(in) == ok && len > in.len) f += "frame_check passed a frame longer than its buffer\n";
  if (accepted_out != nullptr) *accepted_out = a;
  return f;
}

// Opening with a fixed connection key: whatever the bytes, opened either refuses without moving the counter or
// moves it by exactly one.
inline std::string check_opened(mem::Bytes in) {
  auth::KeyState key;
  auth::key_init(&key, mem::lit("fuzzing key"));
  peer::PeerState* state = new peer::PeerState;
  peer::init(state, &key);
  bool good = peer::opened(state, in);
  std::string f;
  if (state->receive_counter != (good ? 1u : 0u)) f = "opened moved its counter wrongly\n";
  if (auth::sealed(&key, in) && in.len < 16) f += "sealed accepted a record shorter than its tag\n";
  delete state;
  return f;
}

// The text readers of the cluster files over the same bytes: a refused key leaves 32 zero bytes, a good one and a
// read publish file survive writing and reading again, and a datagram is taken whole or not at all.
inline std::string check_texts(mem::Bytes in) {
  std::string f;
  u8 key[32], again[32], line[auth::key_text_size];
  memset(key, poison, sizeof key);
  u32 verdict = auth::parse_key(in, key);
  if (verdict > auth::key_weak) f += "parse_key: verdict out of range\n";
  if (verdict != auth::key_ok) {
    for (u8 c : key) {
      if (c != 0) {
        f += "parse_key: a refused key left bytes\n";
        break;
      }
    }
  } else {
    auth::format_key(key, line);
    if (auth::parse_key(mem::Bytes(line, sizeof line), again) != auth::key_ok || memcmp(key, again, 32) != 0) {
      f += "parse_key: a good key does not survive formatting\n";
    }
  }
  cluster::PublishSettings* first = new cluster::PublishSettings;
  cluster::PublishSettings* second = new cluster::PublishSettings;
  if (cluster::parse_publish(in, first)) {
    u8 text[cluster::publish_read_max];
    u32 n = cluster::format_publish(first, mem::Slice{text, sizeof text});
    if (n == 0 || !cluster::parse_publish(mem::Bytes(text, n), second) || !same_record(first, second)) {
      f += "parse_publish: settings change on a second round\n";
    }
  }
  delete first;
  delete second;
  auth::KeyState k;
  auth::key_init(&k, mem::lit("fuzzing key"));
  cluster::Heard heard;
  fill_poison(&heard);
  if (!cluster::take_beacon(in, &k, &heard) && !untouched(&heard)) f += "take_beacon: refused but wrote\n";
  return f;
}

}  // namespace wire_check
