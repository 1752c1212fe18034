// Fuzzing the readers of history files, which lie on a share that other users may write or in folders a crash may
// leave torn: ring heads, tier buckets, energy records, process top rows, a term's registry and a machine's
// inventory file, and the local history's head loading (a head read, or rebuilt from the records when it does not
// hold). The sealed records are also offered sealed with the key, so their field checks are reached. An accepted
// record, written again, must read back and write the same bytes; a loaded head must lie inside its ring. Any
// memory fault the sanitizers see stops the run.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "wire/auth.h"
#include "wire/proto.h"
#include "history/localhist.h"
#include "history/ptop.h"
#include "history/store.h"
#include "platform/fs.h"
#include "tests/fuzz/fault.h"

namespace {

void fail(const char* what) { fuzz::fault("history files", what); }

const auth::KeyState& share_key() {
  static auth::KeyState key = [] {
    auth::KeyState k;
    const u8 bytes[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    auth::key_init(&k, mem::Bytes(bytes, sizeof bytes));
    return k;
  }();
  return key;
}

// The input's bytes in a record of a fixed size (zeros past its end); sealed when asked.
std::vector<u8> record_of(mem::Bytes in, u32 bytes, bool seal, const auth::KeyState* key) {
  std::vector<u8> r(bytes, 0);
  memcpy(r.data(), in.ptr, in.len < bytes ? in.len : bytes);
  if (seal) auth::seal(key, mem::Slice{r.data(), r.size()});
  return r;
}

// Decoded, written, decoded again and written again: both writings must agree.
template <typename T, typename Decode, typename Encode>
void round(const char* what, mem::Bytes in, u32 bytes, Decode decode, Encode encode) {
  T first{}, second{};
  if (!decode(in, &first)) return;
  std::vector<u8> a(bytes + 8, 0), b(bytes + 8, 0);
  if (encode(&first, mem::Slice{a.data(), a.size()}) != bytes) fail(what);
  if (!decode(mem::Bytes(a.data(), a.size()), &second)) fail(what);
  encode(&second, mem::Slice{b.data(), b.size()});
  if (a != b) fail(what);
}

void check_records(mem::Bytes in) {
  round<store::Bucket>(
      "a bucket does not survive a round", in, store::bucket_bytes,
      [](mem::Bytes b, store::Bucket* o) { return store::decode_bucket(b, 0, o) == 1; },
      [](const store::Bucket* o, mem::Slice s) { return store::encode_bucket(o, s, 0); });
  round<store::Energy>(
      "an energy record does not survive a round", in, store::energy_bytes,
      [](mem::Bytes b, store::Energy* o) { return store::decode_energy(b, 0, o) == 1; },
      [](const store::Energy* o, mem::Slice s) { return store::encode_energy(o, s, 0); });
  round<ptop::Row>(
      "a top row does not survive a round", in, ptop::row_bytes,
      [](mem::Bytes b, ptop::Row* o) { return ptop::decode(b, 0, o) == 1; },
      [](const ptop::Row* o, mem::Slice s) { return ptop::encode(o, s, 0); });
  store::bucket_time(in, 0);
  store::bucket_term(in, 0);
}

void check_sealed(mem::Bytes in) {
  const auth::KeyState* key = &share_key();
  const bool seal = in.len > 0 && (in.ptr[in.len - 1] & 1) != 0;
  std::vector<u8> head = record_of(in, store::head_bytes, seal, key);
  round<store::RingHead>(
      "a ring head does not survive a round", mem::Bytes(head.data(), head.size()), store::head_bytes,
      [key](mem::Bytes b, store::RingHead* o) { return store::decode_head(key, b, o) == 1; },
      [key](const store::RingHead* o, mem::Slice s) { return store::encode_head(key, o, s); });
  store::RingHead h;
  if (store::decode_head(key, mem::Bytes(head.data(), head.size()), &h) &&
      store::head_bad(h.type, h.capacity, h.next, h.filled) != 0) {
    fail("an accepted head outside its ring");
  }
  std::vector<u8> registry = record_of(in, store::registry_file_bytes, seal, key);
  round<store::Registry>(
      "a registry does not survive a round", mem::Bytes(registry.data(), registry.size()), store::registry_file_bytes,
      [key](mem::Bytes b, store::Registry* o) {
        return store::decode_registry(key, mem::Bytes(b.ptr, store::registry_file_bytes), o) == 1;
      },
      [key](const store::Registry* o, mem::Slice s) { return store::encode_registry(key, o, s); });
  std::vector<u8> inventory = record_of(in, store::inventory_file_bytes, seal, key);
  const u32 term = proto::get32(mem::Bytes(inventory.data(), inventory.size()), 8);
  round<proto::Inventory>(
      "an inventory file does not survive a round", mem::Bytes(inventory.data(), inventory.size()),
      store::inventory_file_bytes,
      [key](mem::Bytes b, proto::Inventory* o) {
        return store::decode_inventory_file(key, mem::Bytes(b.ptr, store::inventory_file_bytes), o);
      },
      [key, term](const proto::Inventory* o, mem::Slice s) { return store::encode_inventory_file(key, term, o, s); });
}

// The local history's head of ring 0, 1 or 2 (the input's first byte), read from a file of the rest.
void check_local_head(mem::Bytes in) {
  static const std::string path = [] {
    std::string folder = (std::filesystem::temp_directory_path() / "vimbrel-fuzz-XXXXXX").string();
    return std::string(mkdtemp(folder.data()) ? folder : std::filesystem::temp_directory_path().string()) + "/ring";
  }();
  if (in.len == 0) return;
  const u32 type = in.ptr[0] % 3;
  std::vector<u8> file(in.ptr + 1, in.ptr + in.len);
  if (file.size() >= store::head_bytes && (in.ptr[0] & 0x80) != 0) {
    auth::KeyState key;
    auth::key_init(&key, localhist::key_text());
    auth::seal(&key, mem::Slice{file.data(), store::head_bytes});
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) fail("no scratch file");
  close(fd);
  u64 slot = 0;
  if (fs::io_open_read(mem::Bytes(reinterpret_cast<const u8*>(path.data()), path.size()), &slot) != fs::io_ok) {
    fail("the scratch file does not open");
  }
  const u32 latest = 0x08000000;
  store::Place at{};
  u32 state = 0;
  u32 code = localhist::load_head(slot, type, latest, &at, &state);
  fs::io_close(&slot);
  if (code != localhist::ok) return;
  const u32 capacity = store::capacity(type);
  if (at.next >= capacity || at.filled > capacity) fail("a loaded head outside its ring");
  if (at.step > capacity || at.older > capacity || at.mixed > 1) fail("a loaded head names runs outside its ring");
  if (state > localhist::head_empty) fail("a head state out of range");
  // Whatever the head says, a record written at the wall clock's time is stored near it, never at a slot ahead.
  const u32 wall = latest - 86400;
  if (store::place(at, wall, type).slot > wall + store::step_tolerance(type)) fail("a stored slot became the floor");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mem::Bytes in(data, size);
  check_records(in);
  check_sealed(in);
  check_local_head(in);
  return 0;
}
