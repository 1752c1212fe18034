#pragma once
// Network shares as this system knows them. A share path "\\server\share" names a share; a folder names one when it
// lies on a network mount (cifs or smb3, nfs or nfs4 in the mount table). For such a share the layer tells how the
// client caches it and counts the client's requests and bytes to it, which is what the share self-test measures.
//
// On Linux: the mount table is /proc/self/mountinfo; the caching comes from the mount's options (cifs
// "cache=none", nfs "noac" or zero attribute times make it suitable) and is given in the share-flags word of the
// other system (0x30 offline caching off, 0x20000 client buffering disabled, 0x4000 continuous availability); the
// counters come from /proc/fs/cifs/Stats (requests "Reads:"/"Writes:", "Bytes read:"/"Bytes written:") and
// /proc/self/mountstats (per-operation READ/WRITE counts, server read and write bytes).
//
// On Windows: a share is its "\\server\share" name; its flags come from the server, and the counters are the
// client's raw performance counters (counter_path).
#include "base/mem.h"

namespace store {
struct Path;
}

namespace netshare {

enum : u32 { kind_none = 0, kind_smb = 1, kind_nfs = 2 };

// The share-flags word a suitable share answers with, and the flags of one that caches.
constexpr u32 flags_no_caching = 0x30 | 0x20000;
constexpr u32 flags_caching = 0;

struct Mount {
  u32 kind;
  u8 source[256];  // "//server/share" (smb) or "server:/export" (nfs)
  u32 source_len;
  u8 point[256];   // where it is mounted
  u32 point_len;
  u8 options[512];  // mount and super-block options, comma separated
  u32 options_len;
};

// The network mount whose mount point is the longest prefix of the absolute path, from a mount table text; false
// when the path lies on no network mount.
bool mount_in(mem::Bytes mountinfo, mem::Bytes path, Mount* out);
// The folder as the system sees it: absolute, without symbolic links, "." or ".."; a last name that does not exist
// yet follows its resolved folder. False when it cannot be resolved or does not fit.
bool resolve(mem::Bytes path, store::Path* out);
// The same from the system's mount table, for the folder as resolve gives it.
bool mount_of(mem::Bytes path, Mount* out);
// The mount's share name as "\\server\share" (nfs: "\\server\export" without the export's leading "/").
bool unc_of(const Mount* mount, store::Path* out);
// The network mount whose share name is the given "\\server\share..." (compared without case), from a table text;
// of several, the one with the longest name (a folder of a share mounted on its own).
bool mount_by_unc_in(mem::Bytes mountinfo, mem::Bytes unc, Mount* out);
bool mount_by_unc(mem::Bytes unc, Mount* out);
// The share-flags word of the mount's caching.
u32 flags_of(const Mount* mount);
// Counter 0 read requests, 1 write requests, 2 bytes read, 3 bytes written, from a statistics text of the mount's
// kind; false when the mount or the counter is not in it.
bool counter_in(mem::Bytes stats, const Mount* mount, u32 counter, u64* value);
// The same from the system's statistics.
bool counter(const Mount* mount, u32 counter, u64* value);

// Where the client's counters are performance counters: counter 0-3 of the share "\\server\share" (what follows
// the share name is ignored) as its English counter path, "\SMB Client Shares(\server\share)\Read Requests/sec"
// or "...\Write Requests/sec" for the share's requests, "\Redirector\Read Bytes Network/sec" or "...\Write Bytes
// Network/sec" for the client's bytes. The path's length in out, 0 when the name has no server and share, the
// counter is unknown or the path does not fit.
u32 counter_path(mem::Bytes unc, u32 counter, u8* out, u32 capacity);

}  // namespace netshare
