// The sealed files: ring heads, registries and inventory files with the real HMAC of the cluster key.
#include <vector>

#include <gtest/gtest.h>

#include "wire/auth.h"
#include "wire/proto.h"
#include "history/store.h"

namespace {

mem::Slice slice(std::vector<u8>& v) { return mem::Slice{v.data(), v.size()}; }
mem::Bytes view(const std::vector<u8>& v) { return mem::Bytes(v.data(), v.size()); }

struct Keys {
  auth::KeyState a, b;
  Keys() {
    u8 ka[32], kb[32];
    for (u32 i = 0; i < 32; ++i) {
      ka[i] = static_cast<u8>(i + 1);
      kb[i] = static_cast<u8>(i + 1);
    }
    kb[31] ^= 1;
    auth::key_init(&a, mem::Bytes(ka, 32));
    auth::key_init(&b, mem::Bytes(kb, 32));
  }
};

std::vector<u8> head_bytes(const auth::KeyState* key, u32 type, u32 next, u32 filled) {
  store::RingHead h;
  store::head_init(&h, type, 3);
  h.next = next;
  h.filled = filled;
  h.last_slot = 0x01020304;
  std::vector<u8> out(64);
  EXPECT_EQ(store::encode_head(key, &h, slice(out)), 64u);
  return out;
}

TEST(StoreSeal, HeadLayoutAndRoundTrip) {
  Keys k;
  std::vector<u8> b = head_bytes(&k.a, store::ring_t2, 17519, 17520);  // a full ring is sound
  const u8 start[] = {'V', 'B', 'H', '1', 1, 0, 2, 0, 0x70, 0x44, 0, 0, 0x6F, 0x44, 0, 0, 0x70, 0x44, 0, 0,
                      3,   0,   0,   0,   4, 3, 2, 1};
  EXPECT_EQ(std::vector<u8>(b.begin(), b.begin() + 28), std::vector<u8>(start, start + 28));
  EXPECT_EQ(std::vector<u8>(b.begin() + 28, b.begin() + 48), std::vector<u8>(20, 0));
  EXPECT_TRUE(auth::sealed(&k.a, view(b)));

  store::RingHead h{};
  ASSERT_EQ(store::decode_head(&k.a, view(b), &h), 1u);
  EXPECT_EQ(h.type, 2u);
  EXPECT_EQ(h.capacity, 17520u);
  EXPECT_EQ(h.next, 17519u);
  EXPECT_EQ(h.filled, 17520u);
  EXPECT_EQ(h.term, 3u);
  EXPECT_EQ(h.last_slot, 0x01020304u);

  std::vector<u8> longer = b;
  longer.push_back(0);  // a head read with the records behind it still decodes
  EXPECT_EQ(store::decode_head(&k.a, view(longer), &h), 1u);

  std::vector<u8> small(63, 0xEE);
  EXPECT_EQ(store::encode_head(&k.a, &h, slice(small)), 0u);
  EXPECT_EQ(small, std::vector<u8>(63, 0xEE));
}

TEST(StoreSeal, HeadRefusals) {
  Keys k;
  store::RingHead h{}, untouched{};
  untouched.term = 77;
  // Sealed, but unsound: next at the capacity; a type whose capacity field is wrong.
  std::vector<u8> at_cap = head_bytes(&k.a, store::ring_t0, 8640, 8640);
  h = untouched;
  EXPECT_EQ(store::decode_head(&k.a, view(at_cap), &h), 0u);
  EXPECT_EQ(h.term, 77u);
  std::vector<u8> wrong_cap = head_bytes(&k.a, store::ring_t0, 0, 0);
  store::put32(wrong_cap.data() + 8, 17520);
  auth::seal(&k.a, mem::Slice{wrong_cap.data(), 64});
  EXPECT_EQ(store::decode_head(&k.a, view(wrong_cap), &h), 0u);

  std::vector<u8> good = head_bytes(&k.a, store::ring_t0, 5, 5);
  EXPECT_EQ(store::decode_head(&k.b, view(good), &h), 0u);                       // another key
  EXPECT_EQ(store::decode_head(&k.a, mem::Bytes(good.data(), 63), &h), 0u);      // short
  for (u32 i = 0; i < 64; ++i) {
    std::vector<u8> flipped = good;
    flipped[i] ^= 0x10;
    EXPECT_EQ(store::decode_head(&k.a, view(flipped), &h), 0u) << "byte " << i;
  }
  EXPECT_EQ(h.term, 77u);
}

store::Registry sample_registry(u32 count) {
  store::Registry r;
  store::registry_clear(&r, 9);
  r.count = count;
  for (u32 i = 0; i < 64; ++i) {
    r.ids[i][0] = static_cast<u8>(i);
    r.ids[i][15] = 0xA5;
    r.names[i][0] = static_cast<u8>('a' + i % 26);
    r.flags[i] = i & 1;
  }
  return r;
}

TEST(StoreSeal, RegistryRoundTripAndRefusals) {
  Keys k;
  store::Registry r = sample_registry(3);
  std::vector<u8> file(store::registry_file_bytes);
  ASSERT_EQ(store::encode_registry(&k.a, &r, slice(file)), 4160u);
  EXPECT_EQ(file[6], 3);
  EXPECT_EQ(file[8], 9);
  EXPECT_EQ(file[32 + 64 * 2], 2);
  EXPECT_EQ(file[32 + 64 * 3], 0);  // rows beyond the count stay zero
  EXPECT_EQ(file[80 + 64], 1);

  store::Registry back;
  ASSERT_EQ(store::decode_registry(&k.a, view(file), &back), 1u);
  EXPECT_EQ(back.count, 3u);
  EXPECT_EQ(back.term, 9u);
  EXPECT_EQ(back.ids[2][0], 2);
  EXPECT_EQ(back.names[1][0], 'b');
  EXPECT_EQ(back.flags[1], 1);
  EXPECT_EQ(back.ids[3][0], 0);

  // A count above 64 is written as 64.
  store::Registry full = sample_registry(70);
  ASSERT_EQ(store::encode_registry(&k.a, &full, slice(file)), 4160u);
  ASSERT_EQ(store::decode_registry(&k.a, view(file), &back), 1u);
  EXPECT_EQ(back.count, 64u);

  auto reseal = [&](std::vector<u8>& f) { auth::seal(&k.a, mem::Slice{f.data(), f.size()}); };
  std::vector<u8> base(store::registry_file_bytes);
  ASSERT_EQ(store::encode_registry(&k.a, &r, slice(base)), 4160u);
  struct Case {
    const char* what;
    std::vector<u8> file;
    bool accepted;
  };
  std::vector<Case> cases;
  cases.push_back({"4159 bytes", std::vector<u8>(base.begin(), base.end() - 1), false});
  std::vector<u8> plus = base;
  plus.push_back(0);
  cases.push_back({"4161 bytes", plus, false});
  std::vector<u8> c65 = base;
  store::put16(c65.data() + 6, 65);
  reseal(c65);
  cases.push_back({"count 65", c65, false});
  std::vector<u8> flag2 = base;
  flag2[80 + 64 * 2] = 2;
  reseal(flag2);
  cases.push_back({"flag 2 in a used row", flag2, false});
  std::vector<u8> flag_unused = base;
  flag_unused[80 + 64 * 3] = 2;
  reseal(flag_unused);
  cases.push_back({"flag 2 beyond the count", flag_unused, true});
  std::vector<u8> repeat = base;
  repeat[32 + 64 * 2] = 0;  // row 2 gets row 0's id
  reseal(repeat);
  cases.push_back({"repeated id", repeat, false});
  std::vector<u8> magic = base;
  magic[3] = '2';
  reseal(magic);
  cases.push_back({"magic", magic, false});
  std::vector<u8> version = base;
  version[4] = 2;
  reseal(version);
  cases.push_back({"version", version, false});
  std::vector<u8> tampered = base;
  tampered[48] ^= 1;
  cases.push_back({"tag", tampered, false});
  for (const Case& c : cases) {
    store::Registry out = sample_registry(5);
    out.term = 1234;
    EXPECT_EQ(store::decode_registry(&k.a, view(c.file), &out), c.accepted ? 1u : 0u) << c.what;
    if (!c.accepted) {
      EXPECT_EQ(out.term, 1234u) << c.what;  // untouched unless every check passed
    }
  }
  EXPECT_EQ(store::decode_registry(&k.b, view(base), &back), 0u);
}

TEST(StoreSeal, InventoryFile) {
  Keys k;
  proto::Inventory inv{};
  for (u32 i = 0; i < 16; ++i) inv.id[i] = static_cast<u8>(0x10 + i);
  inv.gpu_count = 1;
  inv.gpu_dedicated[0] = 8192;
  __builtin_memcpy(inv.names[0], "box", 3);
  std::vector<u8> file(2048, 0xEE);
  ASSERT_EQ(store::encode_inventory_file(&k.a, 0x42, &inv, slice(file)), 2048u);
  EXPECT_EQ(std::vector<u8>(file.begin(), file.begin() + 4), std::vector<u8>({'V', 'B', 'V', '1'}));
  EXPECT_EQ(store::get32(file.data() + 8), 0x42u);
  EXPECT_EQ(store::get32(file.data() + 12), 1808u);
  EXPECT_EQ(std::vector<u8>(file.begin() + 1840, file.begin() + 2032), std::vector<u8>(192, 0));

  proto::Inventory back{};
  ASSERT_TRUE(store::decode_inventory_file(&k.a, view(file), &back));
  EXPECT_EQ(back.id[15], 0x1F);
  EXPECT_EQ(back.gpu_dedicated[0], 8192u);
  EXPECT_FALSE(store::decode_inventory_file(&k.b, view(file), &back));
  EXPECT_FALSE(store::decode_inventory_file(&k.a, mem::Bytes(file.data(), 2047), &back));
  std::vector<u8> length = file;
  store::put32(length.data() + 12, 1807);
  auth::seal(&k.a, mem::Slice{length.data(), length.size()});
  EXPECT_FALSE(store::decode_inventory_file(&k.a, view(length), &back));
  std::vector<u8> frame = file;
  frame[32] ^= 1;  // the embedded frame's own magic
  auth::seal(&k.a, mem::Slice{frame.data(), frame.size()});
  EXPECT_FALSE(store::decode_inventory_file(&k.a, view(frame), &back));

  std::vector<u8> small(2047, 0xEE);
  EXPECT_EQ(store::encode_inventory_file(&k.a, 1, &inv, slice(small)), 0u);
}

}  // namespace
