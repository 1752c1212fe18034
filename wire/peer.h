#pragma once
// A link end's side of one connection to the host: the hello, the proof on the host's reply, the check of the
// host's accept with the derivation of the connection key, and from then on sealing what it sends (direction 1) and
// opening what it receives (direction 2), each way with its own counter. A new connection starts from init, so
// counters and connection keys are never reused.
#include "wire/auth.h"
#include "wire/proto.h"

namespace peer {

struct PeerState {
  auth::KeyState cluster_key;
  auth::KeyState connection_key;  // the cluster key until the accept, the derived key after it
  u8 hello[40];                   // as sent
  u8 challenge[32];               // from the reply
  u64 send_counter;
  u64 receive_counter;
  u32 host_term;
  u32 host_value;
  u16 host_version[3];
  u8 accept_tag[16];
};

// Both key states from the cluster key; hello, challenge, counters and accept fields zeroed.
void init(PeerState* state, const auth::KeyState* cluster_key);
// Encodes kind 1 and keeps its payload; the frame length (56), 0 when it does not fit.
u32 hello(PeerState* state, const proto::Hello* fields, mem::Slice out);
// On a kind 2 reply of exactly 32 bytes: keeps the challenge and writes kind 3 with the proof; 48. Anything else
// returns 0 and changes nothing.
u32 proof(PeerState* state, mem::Bytes frame, mem::Slice out);
// True when the frame is an accept whose tag holds over the kept hello and challenge; then keeps its fields,
// derives the connection key and sets both counters to 0. Otherwise false and nothing changes.
bool accepted(PeerState* state, mem::Bytes frame);
// Appends the tag (direction 1, the send counter) to the frame in buffer; the counter rises only when a tag was
// written. The sealed length, 0 when there is no room.
u32 seal(PeerState* state, mem::Slice buffer, u32 frame_length);
// True when buffer starts with a frame followed by its tag (direction 2, the receive counter); the counter then
// rises.
bool opened(PeerState* state, mem::Bytes buffer);

}  // namespace peer
