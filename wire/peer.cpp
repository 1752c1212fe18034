#include "wire/peer.h"

namespace peer {

void init(PeerState* state, const auth::KeyState* cluster_key) {
  __builtin_memset(state, 0, sizeof *state);
  state->cluster_key = *cluster_key;
  state->connection_key = *cluster_key;
}

u32 hello(PeerState* state, const proto::Hello* fields, mem::Slice out) {
  u32 n = proto::encode_hello(fields, out);
  if (n != 0) __builtin_memcpy(state->hello, out.ptr + proto::header_size, proto::hello_size);
  return n;
}

u32 proof(PeerState* state, mem::Bytes frame, mem::Slice out) {
  u8 challenge[proto::challenge_size];
  if (proto::decode_bytes(frame, proto::kind_reply, mem::Slice{challenge, sizeof challenge}) != proto::ok) return 0;
  u8 mac[auth::mac_size];
  auth::hello_proof(&state->cluster_key, challenge, state->hello, mac);
  u32 n = proto::encode_bytes(proto::kind_proof, mem::Bytes(mac, sizeof mac), out);
  auth::wipe(mac, sizeof mac);
  if (n != 0) __builtin_memcpy(state->challenge, challenge, sizeof challenge);
  return n;
}

bool accepted(PeerState* state, mem::Bytes frame) {
  proto::Accept accept;
  if (proto::decode_accept(frame, &accept) != proto::ok) return false;
  const u8* head = proto::payload_of(frame).ptr;
  if (!auth::accept_ok(&state->cluster_key, state->hello, state->challenge, head,
                       mem::Bytes(accept.tag, auth::tag_size))) {
    return false;
  }
  state->host_term = accept.term;
  state->host_value = accept.value;
  state->host_version[0] = accept.major;
  state->host_version[1] = accept.minor;
  state->host_version[2] = accept.patch;
  __builtin_memcpy(state->accept_tag, accept.tag, sizeof accept.tag);
  auth::session_key(&state->cluster_key, state->hello + 24, state->challenge, &state->connection_key);
  state->send_counter = 0;
  state->receive_counter = 0;
  return true;
}

u32 seal(PeerState* state, mem::Slice buffer, u32 frame_length) {
  u32 n = auth::seal_frame(&state->connection_key, auth::to_host, state->send_counter, buffer, frame_length);
  if (n != 0) ++state->send_counter;
  return n;
}

bool opened(PeerState* state, mem::Bytes buffer) {
  u32 n = proto::frame_len(buffer);
  if (n == 0) return false;
  if (!auth::frame_sealed(&state->connection_key, auth::to_link, state->receive_counter, buffer, n)) return false;
  ++state->receive_counter;
  return true;
}

}  // namespace peer
