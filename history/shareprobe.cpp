#include "history/shareprobe.h"

#include "history/sharefile.h"
#include "platform/netshare.h"
#include "platform/os.h"

namespace share {

// ---- Self-test.

bool caching_flags(mem::Bytes unc, u32* flags) {
  // The share layer gives the share's caching flags: on Windows the server's own answer, on Linux what the client's
  // mount of the share says, in the same flags word. A share it cannot find gives no answer, which the verdict
  // counts as a failure.
  *flags = 0;
  netshare::Mount mount;
  if (!netshare::mount_by_unc(unc, &mount)) return false;
  *flags = netshare::flags_of(&mount);
  return true;
}

bool smb_counters(mem::Bytes unc, u32 counter, u64* value) {
  *value = 0;
  netshare::Mount mount;
  return netshare::mount_by_unc(unc, &mount) && netshare::counter(&mount, counter, value);
}

void smb_sample(mem::Bytes unc, bool writing, Sample* sample) {
  sample->requests = 0;
  sample->bytes = 0;
  bool a = smb_counters(unc, writing ? 1 : 0, &sample->requests);
  bool b = smb_counters(unc, writing ? 3 : 2, &sample->bytes);
  sample->valid = a && b;
}

namespace {

void system_sample(void*, mem::Bytes unc, bool writing, Sample* sample) { smb_sample(unc, writing, sample); }

}  // namespace

u32 probe_writes(mem::Bytes unc, mem::Bytes test_file, bool writing) {
  const CounterSource system = {system_sample, nullptr};
  return probe_counted(unc, test_file, writing, &system);
}

u32 probe_counted(mem::Bytes unc, mem::Bytes test_file, bool writing, const CounterSource* source) {
  alignas(8) u8 block[4096];
  __builtin_memset(block, 'Z', sizeof block);
  u64 file = 0;
  bool opened = fs::io_open_shared(test_file, &file) == fs::io_ok &&
                fs::io_write_at(file, 0, mem::Bytes(block, sizeof block)) == fs::io_ok;
  Sample s0, s1, s2;
  source->take(source->context, unc, writing, &s0);
  u64 t0 = os::micros();
  os::sleep_ms(50);
  source->take(source->context, unc, writing, &s1);
  u64 t1 = os::micros();
  for (u32 i = 0; opened && i < 32; ++i) {
    u64 n = 0;
    if (writing) {
      fs::io_write_at(file, 0, mem::Bytes(block, sizeof block));
    } else {
      fs::io_read_file(test_file, mem::Slice{block, sizeof block}, &n);
    }
  }
  u64 t2 = os::micros();
  source->take(source->context, unc, writing, &s2);
  fs::io_close(&file);
  if (!opened || !s0.valid || !s1.valid || !s2.valid) return store::verdict_fail;
  // Counters that went backwards (a reconnect) count as still.
  u64 base_q = store::scaled_base(store::scaled_result(s1.requests, s0.requests), t1 - t0, t2 - t1);
  u64 base_b = store::scaled_base(store::scaled_result(s1.bytes, s0.bytes), t1 - t0, t2 - t1);
  u64 ops_q = store::scaled_result(store::scaled_result(s2.requests, s1.requests), base_q);
  u64 ops_b = store::scaled_result(store::scaled_result(s2.bytes, s1.bytes), base_b);
  if (s2.requests == s0.requests) return store::result_verdict(ops_b, base_b, 4096);
  return store::result_verdict(ops_q, base_q, 1);
}

u32 probe(mem::Bytes unc, mem::Bytes test_file, bool writing) {
  bool inconclusive = false;
  for (u32 i = 0; i < 3; ++i) {
    u32 v = probe_writes(unc, test_file, writing);
    if (v == store::verdict_pass) return v;
    inconclusive = inconclusive || v == store::verdict_inconclusive;
  }
  return inconclusive ? store::verdict_inconclusive : store::verdict_fail;
}

u32 selftest(mem::Bytes share_path, mem::Bytes test_base) {
  store::Path network;
  mem::Bytes unc = share_path;
  if (store::unc_share_end(share_path) == 0) {
    // A folder is a share when it lies on a network mount, and is measured under the share's name; a local folder
    // is not one, and nothing is touched.
    if (!fs::unc_of_drive(share_path, &network) || network.overflow) return store::verdict_not_share;
    unc = text(network);
  }
  u32 flags = 0;
  bool flags_read = caching_flags(unc, &flags);
  store::Path file;
  store::path_set(&file, test_base);
  store::path_text(&file, mem::lit(".selftest"));
  if (file.overflow) return store::verdict_fail;
  u32 writes = probe(unc, text(file), true);
  u32 reads = probe(unc, text(file), false);
  fs::io_delete(text(file));
  return store::verdict(true, flags_read, flags, writes, reads);
}

}  // namespace share
