#pragma once
// The share's self-test: whether the client caches the share's files and whether writes and reads reach the server
// at once, measured by the client's own request and byte counters around a burst of small writes and reads.
#include "base/mem.h"

namespace share {

struct Sample {
  u64 requests;
  u64 bytes;
  bool valid;
};

// Verdicts: 0 pass, 1 fail, 2 inconclusive, 3 not a share. A "\\server\share" path is a share, and so is a folder on
// a network mount (cifs, smb3, nfs), which is measured under its share name; any other folder is "not a share"
// without touching the disk. The caching flags come from the client's mount of the share and the request and byte
// counters from the client's statistics (platform/netshare.h); a share path that is not mounted fails.
u32 selftest(mem::Bytes share_path, mem::Bytes test_base);
bool caching_flags(mem::Bytes unc, u32* flags);
bool smb_counters(mem::Bytes unc, u32 counter, u64* value);
void smb_sample(mem::Bytes unc, bool writing, Sample* sample);
u32 probe_writes(mem::Bytes unc, mem::Bytes test_file, bool writing);
// Where a probe takes its counters: smb_sample, or a source of recorded statistics.
struct CounterSource {
  void (*take)(void* context, mem::Bytes unc, bool writing, Sample* sample);
  void* context;
};
// probe_writes with the counters from the source.
u32 probe_counted(mem::Bytes unc, mem::Bytes test_file, bool writing, const CounterSource* source);
u32 probe(mem::Bytes unc, mem::Bytes test_file, bool writing);

}  // namespace share
