#include "wire/auth.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "wire/peer.h"
#include "wire/proto.h"
#include "tests/wire/wire_util.h"

namespace {

using namespace wire_util;

std::string hex(const u8* p, size_t n) { return hexs(p, n); }

Bytes unhex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<u8>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

std::string hmac_hex(mem::Bytes key, mem::Bytes data) {
  auth::KeyState k;
  auth::key_init(&k, key);
  u8 out[32];
  auth::mac(&k, data, {}, {}, {}, {}, out);
  return hex(out, 32);
}

// HMAC written out from its definition over one-shot digests, independent of the prepared contexts.
std::string hmac_by_definition(const Bytes& key, const Bytes& data) {
  Bytes k(64, 0);
  if (key.size() > 64) {
    sha256::sha256(view(key), k.data());
  } else {
    std::copy(key.begin(), key.end(), k.begin());
  }
  Bytes inner, outer;
  for (u8 c : k) inner.push_back(c ^ 0x36);
  for (u8 c : k) outer.push_back(c ^ 0x5c);
  inner.insert(inner.end(), data.begin(), data.end());
  u8 digest[32];
  sha256::sha256(view(inner), digest);
  outer.insert(outer.end(), digest, digest + 32);
  sha256::sha256(view(outer), digest);
  return hex(digest, 32);
}

TEST(Hmac, Rfc4231Vectors) {
  struct Case {
    Bytes key;
    Bytes data;
    const char* mac;  // a prefix for the truncated case
  };
  const Case cases[] = {
      {Bytes(20, 0x0b), unhex("4869205468657265"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {unhex("4a656665"), unhex("7768617420646f2079612077616e7420666f72206e6f7468696e673f"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(20, 0x0c), unhex("546573742057697468205472756e636174696f6e"), "a3b6167473100ee06e0c796c2955552b"},
      {Bytes(131, 0xaa),
       unhex("54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b6579202d2048617368204b6579"
             "204669727374"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       unhex("5468697320697320612074657374207573696e672061206c6172676572207468616e20626c6f636b2d73697a65206b6579"
             "20616e642061206c6172676572207468616e20626c6f636b2d73697a6520646174612e20546865206b6579206e65656473"
             "20746f20626520686173686564206265666f7265206265696e6720757365642062792074686520484d414320616c676f72"
             "6974686d2e"),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : cases) {
    std::string got = hmac_hex(view(c.key), view(c.data));
    EXPECT_EQ(got.substr(0, strlen(c.mac)), c.mac) << "key of " << c.key.size() << " bytes";
  }
}

TEST(Hmac, AgreesWithTheDefinitionForEveryKeyAndMessageLength) {
  std::mt19937_64 rng(7);
  for (size_t key_len : {0, 1, 31, 32, 63, 64, 65, 100, 200}) {
    for (size_t data_len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000}) {
      Bytes key(key_len), data(data_len);
      for (u8& c : key) c = static_cast<u8>(rng());
      for (u8& c : data) c = static_cast<u8>(rng());
      EXPECT_EQ(hmac_hex(view(key), view(data)), hmac_by_definition(key, data)) << key_len << "/" << data_len;
    }
  }
}

TEST(Hmac, PartsAreConcatenatedAndTheStateIsReusable) {
  auth::KeyState k;
  auth::key_init(&k, mem::lit("key"));
  u8 joined[32], parts[32], again[32];
  auth::mac(&k, mem::lit("abcdef"), {}, {}, {}, {}, joined);
  auth::mac(&k, mem::lit("ab"), mem::lit(""), mem::lit("cd"), mem::lit("e"), mem::lit("f"), parts);
  auth::mac(&k, mem::lit("abcdef"), {}, {}, {}, {}, again);
  EXPECT_EQ(hex(joined, 32), hex(parts, 32));
  EXPECT_EQ(hex(joined, 32), hex(again, 32));
}

TEST(Same, LengthsAndBytes) {
  struct Case {
    std::string a, b;
    bool same;
  };
  const Case cases[] = {
      {"", "", true},       {"abc", "abc", true}, {"abc", "abd", false}, {"abc", "ab", false},
      {"ab", "abc", false}, {"", "a", false},     {"xbc", "abc", false},
  };
  for (const Case& c : cases) EXPECT_EQ(auth::same(view(c.a), view(c.b)), c.same) << c.a << " / " << c.b;
}

TEST(Seal, RecordsRefuseShortLengthsAndAnyChange) {
  auth::KeyState k;
  auth::key_init(&k, mem::lit("cluster"));
  u8 small[15];
  memset(small, 7, sizeof small);
  EXPECT_FALSE(auth::seal(&k, mem::Slice{small, sizeof small}));
  for (u8 c : small) EXPECT_EQ(c, 7);
  EXPECT_FALSE(auth::sealed(&k, mem::Bytes(small, sizeof small)));

  u8 record[64];
  for (u32 i = 0; i < 64; ++i) record[i] = static_cast<u8>(i);
  ASSERT_TRUE(auth::seal(&k, mem::Slice{record, 64}));
  EXPECT_TRUE(auth::sealed(&k, mem::Bytes(record, 64)));
  // The tag is the first 16 bytes of HMAC over the 48 bytes before it, no label.
  u8 full[32];
  auth::mac(&k, mem::Bytes(record, 48), {}, {}, {}, {}, full);
  EXPECT_EQ(hex(record + 48, 16), hex(full, 16));
  for (u32 i = 0; i < 64; ++i) {
    record[i] ^= 1;
    EXPECT_FALSE(auth::sealed(&k, mem::Bytes(record, 64))) << "byte " << i;
    record[i] ^= 1;
  }
  auth::KeyState other;
  auth::key_init(&other, mem::lit("another cluster"));
  EXPECT_FALSE(auth::sealed(&other, mem::Bytes(record, 64)));
}

TEST(Election, TagsDependOnTheOrderOfTheirParts) {
  auth::KeyState k;
  auth::key_init(&k, mem::lit("cluster"));
  Bytes a(16, 1), b(16, 2), c(16, 3), d(16, 4);
  u8 tag[16];
  auth::reply_tag(&k, view(a), view(b), view(c), view(d), tag);
  EXPECT_TRUE(auth::reply_ok(&k, view(a), view(b), view(c), view(d), mem::Bytes(tag, 16)));
  EXPECT_FALSE(auth::reply_ok(&k, view(b), view(a), view(c), view(d), mem::Bytes(tag, 16)));
  EXPECT_FALSE(auth::reply_ok(&k, view(a), view(b), view(c), view(d), mem::Bytes(tag, 15)));
  auth::proof_tag(&k, view(a), view(b), view(c), tag);
  EXPECT_TRUE(auth::proof_ok(&k, view(a), view(b), view(c), mem::Bytes(tag, 16)));
  EXPECT_FALSE(auth::proof_ok(&k, view(c), view(b), view(a), mem::Bytes(tag, 16)));
  // A reply tag is never a proof tag over the same bytes: the labels keep the two apart.
  u8 reply[16];
  auth::reply_tag(&k, view(a), view(b), view(c), {}, reply);
  EXPECT_NE(hex(reply, 16), hex(tag, 16));
}

// The host's half of the handshake, written from the same functions, and a link end talking to it.
struct Handshake {
  auth::KeyState link_key, host_key;
  peer::PeerState link;
  u8 challenge[32];
  u8 hello_payload[40];
  auth::KeyState host_session;
  u64 host_send = 0, host_receive = 0;
  u8 buffer[256];
  u8 frame[256];

  explicit Handshake(const char* host_secret = "secret") {
    auth::key_init(&link_key, mem::lit("secret"));
    auth::key_init(&host_key, mem::Bytes(reinterpret_cast<const u8*>(host_secret), strlen(host_secret)));
    for (u32 i = 0; i < 32; ++i) challenge[i] = static_cast<u8>(0xC0 + i);
  }

  // Runs hello, reply, proof and accept; returns whether the host took the proof and the link the accept.
  bool run(u32 term = 7) {
    peer::init(&link, &link_key);
    proto::Hello h = {proto::role_publisher, proto::hello_update_orders, 1, 3, {}, {}};
    for (u32 i = 0; i < 16; ++i) h.id[i] = static_cast<u8>(i), h.nonce[i] = static_cast<u8>(0x50 + i);
    u32 n = peer::hello(&link, &h, mem::Slice{buffer, sizeof buffer});
    EXPECT_EQ(n, 56u);
    proto::Hello got;
    EXPECT_EQ(proto::decode_hello(mem::Bytes(buffer, n), &got), proto::ok);
    memcpy(hello_payload, buffer + 16, 40);
    n = proto::encode_bytes(proto::kind_reply, mem::Bytes(challenge, 32), mem::Slice{frame, sizeof frame});
    n = peer::proof(&link, mem::Bytes(frame, n), mem::Slice{buffer, sizeof buffer});
    EXPECT_EQ(n, 48u);
    if (!auth::hello_ok(&host_key, challenge, hello_payload, mem::Bytes(buffer + 16, 32))) return false;
    proto::Accept accept = {term, 99, 0, 1, 81, {}};
    u8 head[16];
    n = proto::encode_accept(&accept, mem::Slice{frame, sizeof frame});
    memcpy(head, frame + 16, 16);
    auth::accept_tag(&host_key, hello_payload, challenge, head, frame + 32);
    auth::session_key(&host_key, hello_payload + 24, challenge, &host_session);
    return peer::accepted(&link, mem::Bytes(frame, n));
  }

  // A frame the host sends: a ping sealed with direction 2 and its next counter.
  u32 host_ping(u8* out) {
    u32 n = proto::encode_ping(mem::Slice{out, 64});
    return auth::seal_frame(&host_session, auth::to_link, host_send++, mem::Slice{out, 64}, n);
  }
};

TEST(Handshake, BothEndsProveTheKeyAndAgreeOnTheConnectionKey) {
  Handshake hs;
  ASSERT_TRUE(hs.run(7));
  EXPECT_EQ(hs.link.host_term, 7u);
  EXPECT_EQ(hs.link.host_value, 99u);
  EXPECT_EQ(hs.link.host_version[2], 81);
  EXPECT_EQ(hs.link.send_counter, 0u);
  // The link end's first sealed frame uses direction 1 and counter 0, and the host opens it with its own key.
  u8 out[64];
  u32 n = proto::encode_ping(mem::Slice{out, sizeof out});
  ASSERT_EQ(peer::seal(&hs.link, mem::Slice{out, sizeof out}, n), 32u);
  EXPECT_TRUE(auth::frame_sealed(&hs.host_session, auth::to_host, 0, mem::Bytes(out, 32), 16));
  EXPECT_FALSE(auth::frame_sealed(&hs.host_session, auth::to_host, 1, mem::Bytes(out, 32), 16));
  EXPECT_EQ(hs.link.send_counter, 1u);
  // The connection key is not the cluster key: a tag made with the cluster key fails.
  EXPECT_FALSE(auth::frame_sealed(&hs.link_key, auth::to_host, 0, mem::Bytes(out, 32), 16));
}

TEST(Handshake, AWrongKeyFailsTheProof) {
  Handshake hs("another secret");
  EXPECT_FALSE(hs.run());
}

TEST(Handshake, TheProofCoversChallengeThenHello) {
  Handshake hs;
  ASSERT_TRUE(hs.run());
  u8 proof[32], swapped[72];
  auth::hello_proof(&hs.link_key, hs.challenge, hs.hello_payload, proof);
  memcpy(swapped, hs.hello_payload, 40);
  memcpy(swapped + 40, hs.challenge, 32);
  u8 other[32];
  auth::mac(&hs.link_key, auth::hello_label(), mem::Bytes(swapped, 72), {}, {}, {}, other);
  EXPECT_FALSE(auth::hello_ok(&hs.link_key, hs.challenge, hs.hello_payload, mem::Bytes(other, 32)));
  EXPECT_TRUE(auth::hello_ok(&hs.link_key, hs.challenge, hs.hello_payload, mem::Bytes(proof, 32)));
  EXPECT_FALSE(auth::hello_ok(&hs.link_key, hs.challenge, hs.hello_payload, mem::Bytes(proof, 31)));
}

TEST(Handshake, ATamperedAcceptChangesNothing) {
  Handshake hs;
  ASSERT_TRUE(hs.run());
  // Replay the handshake, then change the term after the tag was made.
  peer::init(&hs.link, &hs.link_key);
  proto::Hello h = {proto::role_viewer, 0, 1, 0, {}, {}};
  u32 n = peer::hello(&hs.link, &h, mem::Slice{hs.buffer, sizeof hs.buffer});
  memcpy(hs.hello_payload, hs.buffer + 16, 40);
  n = proto::encode_bytes(proto::kind_reply, mem::Bytes(hs.challenge, 32), mem::Slice{hs.frame, sizeof hs.frame});
  ASSERT_EQ(peer::proof(&hs.link, mem::Bytes(hs.frame, n), mem::Slice{hs.buffer, sizeof hs.buffer}), 48u);
  proto::Accept accept = {5, 0, 0, 1, 81, {}};
  n = proto::encode_accept(&accept, mem::Slice{hs.frame, sizeof hs.frame});
  auth::accept_tag(&hs.link_key, hs.hello_payload, hs.challenge, hs.frame + 16, hs.frame + 32);
  peer::PeerState before;
  memcpy(&before, &hs.link, sizeof before);
  for (u32 at : {16u, 19u, 20u, 24u, 30u, 32u, 47u}) {
    hs.frame[at] ^= 0x40;
    EXPECT_FALSE(peer::accepted(&hs.link, mem::Bytes(hs.frame, n))) << "byte " << at;
    EXPECT_EQ(memcmp(&before, &hs.link, sizeof before), 0);
    hs.frame[at] ^= 0x40;
  }
  // A refuse or a short accept is not an accept either.
  EXPECT_FALSE(peer::accepted(&hs.link, mem::Bytes(hs.frame, n - 1)));
  EXPECT_TRUE(peer::accepted(&hs.link, mem::Bytes(hs.frame, n)));
  EXPECT_EQ(hs.link.host_term, 5u);
}

TEST(Handshake, AProofIsSentOnlyForAThirtyTwoByteReply) {
  auth::KeyState k;
  auth::key_init(&k, mem::lit("secret"));
  peer::PeerState state;
  peer::init(&state, &k);
  proto::Hello h = {proto::role_viewer, 0, 1, 0, {}, {}};
  u8 buffer[128], frame[128];
  peer::hello(&state, &h, mem::Slice{buffer, sizeof buffer});
  peer::PeerState before;
  memcpy(&before, &state, sizeof before);
  Bytes challenge(32, 9);
  // A refuse where the reply belongs, a proof kind, a cut reply, and an output with no room.
  u32 n = proto::encode_refuse(proto::reason_key, mem::Slice{frame, sizeof frame});
  EXPECT_EQ(peer::proof(&state, mem::Bytes(frame, n), mem::Slice{buffer, sizeof buffer}), 0u);
  n = proto::encode_bytes(proto::kind_proof, view(challenge), mem::Slice{frame, sizeof frame});
  EXPECT_EQ(peer::proof(&state, mem::Bytes(frame, n), mem::Slice{buffer, sizeof buffer}), 0u);
  n = proto::encode_bytes(proto::kind_reply, view(challenge), mem::Slice{frame, sizeof frame});
  EXPECT_EQ(peer::proof(&state, mem::Bytes(frame, n - 1), mem::Slice{buffer, sizeof buffer}), 0u);
  EXPECT_EQ(peer::proof(&state, mem::Bytes(frame, n), mem::Slice{buffer, 47}), 0u);
  EXPECT_EQ(memcmp(&before, &state, sizeof before), 0);
  EXPECT_EQ(peer::proof(&state, mem::Bytes(frame, n), mem::Slice{buffer, sizeof buffer}), 48u);
}

TEST(SealedFrames, ReplayReorderTruncationTamperAndReflectionAreRefused) {
  Handshake hs;
  ASSERT_TRUE(hs.run());
  u8 first[64], second[64];
  u32 n1 = hs.host_ping(first);
  u32 n2 = hs.host_ping(second);
  ASSERT_EQ(n1, 32u);

  // Reordered: the second frame arrives first.
  EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(second, n2)));
  EXPECT_EQ(hs.link.receive_counter, 0u);
  // Truncated: the tag is one byte short, or missing.
  EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(first, n1 - 1)));
  EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(first, 16)));
  // Tampered: any changed byte, header or tag.
  for (u32 i = 0; i < n1; ++i) {
    first[i] ^= 0x80;
    EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(first, n1))) << "byte " << i;
    first[i] ^= 0x80;
  }
  // Reflected: the link end's own frame, sealed with direction 1, sent back to it.
  u8 mine[64];
  u32 m = proto::encode_ping(mem::Slice{mine, sizeof mine});
  m = auth::seal_frame(&hs.host_session, auth::to_host, 0, mem::Slice{mine, sizeof mine}, m);
  EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(mine, m)));
  EXPECT_EQ(hs.link.receive_counter, 0u);

  EXPECT_TRUE(peer::opened(&hs.link, mem::Bytes(first, n1)));
  // Replayed: the same frame again, now that the counter has moved on.
  EXPECT_FALSE(peer::opened(&hs.link, mem::Bytes(first, n1)));
  EXPECT_TRUE(peer::opened(&hs.link, mem::Bytes(second, n2)));
  EXPECT_EQ(hs.link.receive_counter, 2u);
}

TEST(SealedFrames, ANewConnectionHasANewKey) {
  Handshake a, b;
  ASSERT_TRUE(a.run());
  b.challenge[0] ^= 1;
  ASSERT_TRUE(b.run());
  u8 frame[64];
  u32 n = a.host_ping(frame);
  EXPECT_FALSE(peer::opened(&b.link, mem::Bytes(frame, n)));
  EXPECT_TRUE(peer::opened(&a.link, mem::Bytes(frame, n)));
}

TEST(SealedFrames, SealNeedsRoomForTheTag) {
  Handshake hs;
  ASSERT_TRUE(hs.run());
  u8 out[64];
  u32 n = proto::encode_ping(mem::Slice{out, sizeof out});
  EXPECT_EQ(peer::seal(&hs.link, mem::Slice{out, 31}, n), 0u);
  EXPECT_EQ(hs.link.send_counter, 0u);
  EXPECT_EQ(peer::seal(&hs.link, mem::Slice{out, 32}, n), 32u);
  EXPECT_EQ(hs.link.send_counter, 1u);
}

TEST(KeyText, Verdicts) {
  const std::string digits = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
  const std::string head = "vimbrel-key 1 ";
  struct Case {
    std::string text;
    u32 verdict;
  };
  const Case cases[] = {
      {head + digits, auth::key_ok},
      {head + digits + "\n", auth::key_ok},
      {head + digits + "\r\n", auth::key_ok},
      {"\xEF\xBB\xBF" + head + digits + "\n", auth::key_ok},
      {head + digits + "\n\n", auth::key_trailing},
      {head + digits + "\r\nx", auth::key_trailing},
      {head + digits + "\r", auth::key_trailing},
      {head + digits + " ", auth::key_hex_bad},
      {head + digits.substr(0, 63) + "\n", auth::key_length_bad},
      {head + digits.substr(0, 63), auth::key_length_bad},
      {head + digits + "0", auth::key_length_bad},
      {head + digits.substr(0, 63) + "g", auth::key_hex_bad},
      {"VIMBREL-KEY 1 " + digits, auth::key_header_bad},
      {"vimbrel-key 1" + digits, auth::key_header_bad},
      {digits, auth::key_header_bad},
      {"", auth::key_header_bad},
      {head + std::string(64, '0') + "\n", auth::key_weak},
  };
  for (const Case& c : cases) {
    u8 key[32];
    memset(key, 0x77, sizeof key);
    EXPECT_EQ(auth::parse_key(view(c.text), key), c.verdict) << c.text;
    if (c.verdict == auth::key_ok) {
      EXPECT_EQ(hex(key, 32), "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    } else {
      EXPECT_EQ(hex(key, 32), std::string(64, '0')) << "a refused key leaves 32 zero bytes: " << c.text;
    }
  }
}

TEST(KeyText, FormatIsSeventyNineBytesAndParsesBack) {
  u8 key[32], text[79], back[32];
  for (u32 i = 0; i < 32; ++i) key[i] = static_cast<u8>(i * 37 + 1);
  auth::format_key(key, text);
  std::string s(reinterpret_cast<char*>(text), 79);
  EXPECT_EQ(s, "vimbrel-key 1 " + hex(key, 32) + "\n");
  EXPECT_EQ(auth::parse_key(mem::Bytes(text, 79), back), auth::key_ok);
  EXPECT_EQ(memcmp(key, back, 32), 0);
}

}  // namespace
