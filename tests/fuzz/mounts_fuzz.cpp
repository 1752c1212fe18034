// Fuzzing the readers of the kernel's mount table and share statistics, texts that users shape through the names
// of what they mount: any bytes are /proc/self/mountinfo and, after a NUL byte, the statistics text. A mount found
// for a path lies on that path and keeps to its fields; counters are read from it without fault. Any memory fault
// the sanitizers see stops the run.
#include <stdint.h>
#include <string.h>

#include "base/path.h"
#include "platform/netshare.h"
#include "tests/fuzz/fault.h"

namespace {
void fail(const char* what) { fuzz::fault("mount table", what); }

void check(const netshare::Mount& m) {
  if (m.source_len > sizeof m.source || m.point_len > sizeof m.point || m.options_len > sizeof m.options) {
    fail("a field past its room");
  }
  if (m.kind != netshare::kind_smb && m.kind != netshare::kind_nfs) fail("a mount of no network kind");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const u8* split = static_cast<const u8*>(memchr(data, 0, size));
  const mem::Bytes table(data, split ? u64(split - data) : size);
  const mem::Bytes stats = split ? mem::Bytes(split + 1, size - (split + 1 - data)) : mem::Bytes();
  const char* paths[] = {"/mnt/share/cluster", "/", "/srv", "/mnt/a b/x"};
  for (const char* path : paths) {
    netshare::Mount m;
    if (!netshare::mount_in(table, mem::cstr(path), &m)) continue;
    check(m);
    if (m.point_len > strlen(path) || memcmp(m.point, path, m.point_len) != 0) fail("a mount that is not on the path");
    store::Path unc;
    netshare::unc_of(&m, &unc);
    for (u32 counter = 0; counter < 4; ++counter) {
      u64 value = 0;
      netshare::counter_in(stats, &m, counter, &value);
    }
    netshare::flags_of(&m);
    netshare::Mount by_name;
    if (!unc.overflow && netshare::mount_by_unc_in(table, mem::Bytes(unc.text, unc.length), &by_name)) check(by_name);
  }
  return 0;
}
