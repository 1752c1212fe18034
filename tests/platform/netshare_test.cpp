// Network shares from the mount table and the client's statistics, on fixture texts: which folders lie on a share,
// under which name, whether the client caches it, and the request and byte counters the self-test measures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/shareprobe.h"
#include "history/store.h"
#include "platform/netshare.h"
#include "tests/support/testutil.h"

namespace {

std::string fixture(const char* name) { return testutil::read_file(std::string(VIMBREL_FIXTURES "/netshare/") + name); }

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

std::string unc_of(const netshare::Mount& m) {
  store::Path p;
  if (!netshare::unc_of(&m, &p)) return "?";
  mem::Bytes t = store::path_of(&p);
  return std::string(reinterpret_cast<const char*>(t.ptr), t.len);
}

TEST(NetShare, FoldersOnNetworkMountsAndTheirShareNames) {
  std::string table = fixture("mountinfo");
  struct Case {
    const char* path;
    u32 kind;
    const char* unc;
    u32 flags;
  };
  const Case cases[] = {
      {"/mnt/team", netshare::kind_smb, "\\\\files.example\\team", netshare::flags_no_caching},
      {"/mnt/team/cluster/terms", netshare::kind_smb, "\\\\files.example\\team", netshare::flags_no_caching},
      {"/mnt/cached/x", netshare::kind_smb, "\\\\10.0.0.9\\Cluster Data", netshare::flags_caching},
      {"/srv/nfs/cluster", netshare::kind_nfs, "\\\\store.example\\export\\vimbrel", netshare::flags_no_caching},
      {"/srv/nfs-cached", netshare::kind_nfs, "\\\\store.example\\export\\other", netshare::flags_caching},
      // A folder of a share mounted on its own, beside the whole share.
      {"/mnt/projects/terms", netshare::kind_smb, "\\\\files.example\\team\\projects\\cluster",
       netshare::flags_no_caching},
      // A local mount inside a share, a local folder, a name that only starts like a mount point, a relative path.
      {"/mnt/team/scratch/a", netshare::kind_none, "", 0},
      {"/home/ann/cluster", netshare::kind_none, "", 0},
      {"/mnt/teamwork", netshare::kind_none, "", 0},
      {"mnt/team", netshare::kind_none, "", 0},
  };
  for (const Case& c : cases) {
    netshare::Mount m;
    bool found = netshare::mount_in(bytes(table), bytes(c.path), &m);
    EXPECT_EQ(found, c.kind != netshare::kind_none) << c.path;
    if (!found) continue;
    EXPECT_EQ(m.kind, c.kind) << c.path;
    EXPECT_EQ(unc_of(m), c.unc) << c.path;
    EXPECT_EQ(netshare::flags_of(&m), c.flags) << c.path;
    EXPECT_EQ(store::flags_ok(netshare::flags_of(&m)), c.flags == netshare::flags_no_caching) << c.path;
    // The share name leads back to the same mount, in any case and below the share.
    netshare::Mount back;
    std::string below = std::string(c.unc) + "\\cluster";
    ASSERT_TRUE(netshare::mount_by_unc_in(bytes(table), bytes(below), &back)) << c.path;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back.point), back.point_len),
              std::string(reinterpret_cast<char*>(m.point), m.point_len));
  }
  netshare::Mount none;
  EXPECT_FALSE(netshare::mount_by_unc_in(bytes(table), bytes(std::string("\\\\files.example\\teamwork")), &none));
}

TEST(NetShare, CountersOfTheRightShareOnly) {
  std::string table = fixture("mountinfo");
  struct Case {
    const char* path;
    const char* stats;
    u64 values[4];  // read requests, write requests, bytes read, bytes written
  };
  const Case cases[] = {
      {"/mnt/team", "cifs-stats", {100, 399, 409600, 1634304}},
      {"/mnt/cached", "cifs-stats", {1, 2, 11, 22}},
      {"/mnt/projects", "cifs-stats", {100, 399, 409600, 1634304}},  // counted under its share's tree
      {"/srv/nfs", "mountstats", {50, 75, 204800, 307200}},
      {"/srv/nfs-cached", "mountstats", {1, 2, 5, 6}},
  };
  for (const Case& c : cases) {
    netshare::Mount m;
    ASSERT_TRUE(netshare::mount_in(bytes(table), bytes(c.path), &m)) << c.path;
    std::string stats = fixture(c.stats);
    for (u32 k = 0; k < 4; ++k) {
      u64 v = 0;
      ASSERT_TRUE(netshare::counter_in(bytes(stats), &m, k, &v)) << c.path << " " << k;
      EXPECT_EQ(v, c.values[k]) << c.path << " " << k;
    }
  }
  // A mount the statistics do not list has no counters: the probe then fails rather than guessing.
  netshare::Mount m;
  ASSERT_TRUE(netshare::mount_in(bytes(table), bytes(std::string("/srv/nfs")), &m));
  u64 v = 7;
  EXPECT_FALSE(netshare::counter_in(bytes(fixture("cifs-stats")), &m, 0, &v));
  EXPECT_FALSE(netshare::counter_in(bytes(std::string("device x mounted on /y with fstype nfs\n")), &m, 2, &v));
}

// The measuring loop on counters that move as recorded: snapshots of the client's statistics taken in turn, for a
// folder of a share mounted on its own (counted under the share's tree).
struct Recorded {
  std::vector<std::string> snapshots;
  size_t next = 0;
  netshare::Mount mount;
  static void take(void* context, mem::Bytes, bool writing, share::Sample* s) {
    Recorded* r = static_cast<Recorded*>(context);
    std::string text = r->next < r->snapshots.size() ? r->snapshots[r->next++] : "";
    s->valid = netshare::counter_in(bytes(text), &r->mount, writing ? 1 : 0, &s->requests) &&
               netshare::counter_in(bytes(text), &r->mount, writing ? 3 : 2, &s->bytes);
  }
};

TEST(NetShare, ProbesJudgeCountersThatMove) {
  Recorded r;
  std::string all = fixture("cifs-stats-moving");
  for (size_t at = 0; at <= all.size();) {
    size_t end = all.find("====\n", at);
    if (end == std::string::npos) end = all.size();
    r.snapshots.push_back(all.substr(at, end - at));
    at = end + 5;
  }
  ASSERT_EQ(r.snapshots.size(), 12u);
  ASSERT_TRUE(netshare::mount_in(bytes(fixture("mountinfo")), bytes(std::string("/mnt/projects")), &r.mount));
  testutil::TempDir dir;
  const std::string file = dir.path + "/probe.selftest";
  const share::CounterSource source = {Recorded::take, &r};
  // Each probe takes three snapshots: idle, then before and after its 32 writes.
  const struct {
    const char* what;
    u32 verdict;
  } cases[] = {
      {"all 32 writes reached the server", store::verdict_pass},
      {"nothing reached the server: the client kept the writes", store::verdict_fail},
      {"other traffic while idle drowns the writes", store::verdict_inconclusive},
      {"the writes went out merged into 4 requests", store::verdict_fail},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(share::probe_counted(bytes(std::string("\\\\files.example\\team")), bytes(file), true, &source),
              c.verdict)
        << c.what;
  }
  // Statistics that lack the share fail the probe.
  EXPECT_EQ(share::probe_counted(bytes(std::string("\\\\files.example\\team")), bytes(file), true, &source),
            store::verdict_fail);
}

// A share folder is looked up as the system sees it: through a symbolic link, relative to the working folder, and
// not made yet below a folder that is.
TEST(NetShare, FoldersAreResolvedBeforeTheLookup) {
  testutil::TempDir dir;
  std::filesystem::create_directories(dir.path + "/mount/cluster");
  std::filesystem::create_symlink(dir.path + "/mount", dir.path + "/link");
  const std::string real = std::filesystem::canonical(dir.path).string();
  const std::string here = std::filesystem::current_path().string();
  struct Case {
    std::string given, resolved;
  } cases[] = {
      {dir.path + "/link/cluster", real + "/mount/cluster"},
      {dir.path + "/link/./cluster/../cluster", real + "/mount/cluster"},
      {dir.path + "/link/new", real + "/mount/new"},
      {".", here},
      {"new-share", here + "/new-share"},
      {"/", "/"},
  };
  for (const Case& c : cases) {
    store::Path p;
    ASSERT_TRUE(netshare::resolve(bytes(c.given), &p)) << c.given;
    mem::Bytes t = store::path_of(&p);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.ptr), t.len), c.resolved) << c.given;
  }
  store::Path p;
  EXPECT_FALSE(netshare::resolve(bytes(dir.path + "/missing/deeper"), &p));
}

TEST(NetShare, SelfTestOfALocalFolderIsNotAShareAndTouchesNothing) {
  testutil::TempDir dir;
  std::string base = dir.path + "/members/abc";
  EXPECT_EQ(share::selftest(bytes(dir.path), bytes(base)), store::verdict_not_share);
  EXPECT_EQ(testutil::read_file(base + ".selftest"), "");
  // A share name that this machine has not mounted: its flags cannot be read, so the test fails.
  std::string unc = "\\\\nowhere.invalid\\share";
  EXPECT_EQ(share::selftest(bytes(unc), bytes(dir.path + "/probe")), store::verdict_fail);
}

// The counter paths of a share's client counters where they are performance counters: the share's requests by its
// "\\server\share" name (whatever folder follows), the client's bytes for any share; no path for what names no share.
TEST(NetShare, CounterPathsOfAShare) {
  struct Case {
    const char* unc;
    u32 counter;
    const char* path;
  } cases[] = {
      {"\\\\files.example\\team", 0, "\\SMB Client Shares(\\files.example\\team)\\Read Requests/sec"},
      {"\\\\files.example\\team\\cluster\\terms", 1,
       "\\SMB Client Shares(\\files.example\\team)\\Write Requests/sec"},
      {"\\\\10.0.0.9\\Cluster Data\\", 0, "\\SMB Client Shares(\\10.0.0.9\\Cluster Data)\\Read Requests/sec"},
      {"\\\\files.example\\team", 2, "\\Redirector\\Read Bytes Network/sec"},
      {"\\\\files.example\\team", 3, "\\Redirector\\Write Bytes Network/sec"},
      {"\\\\files.example\\team", 4, ""},
      {"\\\\files.example", 0, ""},
      {"\\\\files.example\\", 2, ""},
      {"\\\\\\team", 0, ""},
      {"\\files.example\\team", 0, ""},
      {"C:\\cluster", 2, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    u8 out[128];
    u32 n = netshare::counter_path(bytes(c.unc), c.counter, out, sizeof out);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), n), c.path) << c.unc << " " << c.counter;
  }
  // A path one byte longer than the room is not cut: there is none.
  const std::string full = "\\SMB Client Shares(\\files.example\\team)\\Read Requests/sec";
  u8 out[128];
  EXPECT_EQ(netshare::counter_path(bytes("\\\\files.example\\team"), 0, out, full.size()), full.size());
  EXPECT_EQ(netshare::counter_path(bytes("\\\\files.example\\team"), 0, out, full.size() - 1), 0u);
}

}  // namespace
