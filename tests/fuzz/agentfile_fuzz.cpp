// Fuzzing what an agent's self-update and a host's Linux build service read from outside: the checksum line beside a
// Linux build (and the release's checksum list), an update chunk frame from the host, the trial record beside the
// program, and the head of a build. A digest read must be the one its line carries; a chunk accepted must lie inside
// its frame and its build; a trial record reads and writes the same. Any memory fault the sanitizers see stops the
// run.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "wire/proto.h"
#include "cluster/remote_update.h"
#include "tests/fuzz/fault.h"

namespace {

void fail(const char* what) { fuzz::fault("agent update files", what); }

void check_sums(mem::Bytes in) {
  const mem::Bytes name = mem::lit("vimbrel-0.1.81-x86_64-linux");
  u8 digest[32], again[32];
  if (!remote_update::read_sums(in, name, digest)) return;
  u8 line[remote_update::sums_line_max];
  u32 n = remote_update::sums_line(digest, name, mem::Slice{line, sizeof line});
  if (n == 0 || !remote_update::read_sums(mem::Bytes(line, n), name, again) || memcmp(digest, again, 32) != 0) {
    fail("a digest read from a checksum line does not read back from its own line");
  }
}

// The input as a chunk frame's payload under a good header, and as a whole frame.
void check_chunk(mem::Bytes in) {
  std::vector<u8> frame(proto::header_size + proto::max_payload, 0);
  u32 payload = in.len < proto::max_payload ? static_cast<u32>(in.len) : proto::max_payload;
  if (!proto::begin(mem::Slice{frame.data(), frame.size()}, proto::kind_update_chunk, payload, 0)) return;
  memcpy(frame.data() + proto::header_size, in.ptr, payload);
  for (mem::Bytes f : {mem::Bytes(frame.data(), proto::header_size + payload), in}) {
    proto::UpdateChunk chunk;
    if (proto::decode_update_chunk(f, &chunk) != 0) continue;
    mem::Bytes data = proto::update_data(f);
    if (data.len != chunk.length || data.ptr < f.ptr || data.ptr + data.len > f.ptr + f.len) {
      fail("a chunk's data outside its frame");
    }
    if (chunk.length > proto::chunk_max) fail("a chunk above 16 KiB");
    if (chunk.flag == 0 && (chunk.total > proto::binary_max || u64{chunk.offset} + chunk.length > chunk.total)) {
      fail("a chunk outside its build");
    }
    remote_update::check_elf(data, 1);
    remote_update::check_elf(data, 2);
  }
}

void check_trial(mem::Bytes in) {
  u64 version = remote_update::trial_version(in);
  u8 starts = remote_update::trial_starts(in);
  if (in.len != remote_update::trial_size) {
    if (version != 0 || starts != 0) fail("a trial record of another size read as a count");
    return;
  }
  u8 out[remote_update::trial_size];
  remote_update::trial_record(version, starts, out);
  if (memcmp(out, in.ptr, sizeof out) != 0) fail("a trial record does not write as it reads");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mem::Bytes in(data, size);
  check_sums(in);
  check_chunk(in);
  check_trial(in);
  return 0;
}
