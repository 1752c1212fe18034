// Terms on a shared folder: hosts racing for claims, taking, renewing and losing the lease, giving the share up,
// set-up of a term, and the host's watch of someone else's lease.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/history/share_support.h"
#include "tests/platform/harness.h"

using namespace sharetest;

namespace {

struct ShareTerm : ::testing::Test {
  testutil::TempDir dir;
  auth::KeyState key = key_of(1);
  std::string at(const std::string& name) { return dir.path + "/" + name; }

  // A lease record as another machine would write it.
  void forge_lease(u32 term, u8 id, u16 flags = 0) {
    proto::Lease r{};
    r.flags = flags;
    r.term = term;
    r.counter = 5;
    r.period = 150;
    Id i(id);
    __builtin_memcpy(r.host_id, i.b, 16);
    std::vector<u8> b(64);
    ASSERT_EQ(proto::encode_lease(&r, mem::Slice{b.data(), 64}), 64u);
    ASSERT_TRUE(auth::seal(&key, mem::Slice{b.data(), 64}));
    write_all(at("lease"), b);
  }
};

TEST_F(ShareTerm, TwoHostsClaimingAtOnceGetConsecutiveTerms) {
  auto a = host(dir.path, 1, key);
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  EXPECT_EQ(a->term, 1u);
  // B saw no claim yet and tries the same term: the exclusive create fails, and it learns of term 1.
  EXPECT_EQ(share::claim_term(b.get(), 0, 0), share::taken);
  EXPECT_EQ(b->highest, 1u);
  EXPECT_EQ(b->flags, 0u);
  ASSERT_EQ(share::claim_term(b.get(), b->highest, 0), share::done);
  EXPECT_EQ(b->term, 2u);

  proto::Lease c{};
  ASSERT_TRUE(share::read_claim(bytes(dir.path), &key, 1, &c));
  EXPECT_EQ(c.host_id[0], 1);
  EXPECT_EQ(c.counter, 0u);
  EXPECT_EQ(c.period, 150);
  EXPECT_EQ(c.port, 7420);
  auth::KeyState other = key_of(9);
  EXPECT_FALSE(share::read_claim(bytes(dir.path), &other, 1, &c));
  EXPECT_FALSE(share::read_claim(bytes(dir.path), &key, 3, &c));
  // A claim file renamed to another term is not a claim of that term, and holds no term back.
  std::filesystem::copy_file(at("claims/00000001"), at("claims/00000007"));
  EXPECT_FALSE(share::read_claim(bytes(dir.path), &key, 7, &c));
  // The next claim comes after every sealed claim on the share, whoever wrote it.
  auto d = host(dir.path, 3, key);
  ASSERT_EQ(share::claim_next(d.get(), 0), share::done);
  EXPECT_EQ(d->term, 3u);
}

TEST_F(ShareTerm, ClaimsEndAtTheLastTermAndRefuseBadFolders) {
  auto last = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_term(last.get(), 0xFFFFFFFEu, 0), share::done);  // a sealed claim of the last term
  write_all(at("claims/FFFFFFFE"), std::vector<u8>(64, 0));  // not in the form paths are built in: ignored
  auto a = host(dir.path, 1, key);
  EXPECT_EQ(share::claim_next(a.get(), 0), share::no_term);
  EXPECT_EQ(a->highest, 0xFFFFFFFFu);

  auto longer = host(std::string(161, 'x'), 1, key);
  EXPECT_EQ(share::claim_next(longer.get(), 0), share::refused);
  EXPECT_EQ(share::claim_term(longer.get(), 0, 0), share::refused);
}

TEST_F(ShareTerm, LeaseTakeRenewAndTakeover) {
  auto a = host(dir.path, 1, key);
  u32 now = 10;
  ASSERT_EQ(share::claim_next(a.get(), now), share::done);
  ASSERT_EQ(share::take_lease(a.get(), now, share::now_ms(a.get())), share::done);
  // Nothing older on the share: the term is complete at once, with an empty registry.
  EXPECT_EQ(a->flags, share::claimed | share::leased | share::set_up | share::complete);
  std::vector<u8> reg = read_all(at("terms/00000001/registry"));
  store::Registry r{};
  ASSERT_EQ(store::decode_registry(&key, mem::Bytes(reg.data(), reg.size()), &r), 1u);
  EXPECT_EQ(r.term, 1u);
  EXPECT_EQ(r.count, 0u);
  for (const auto& e : std::filesystem::directory_iterator(at("terms/00000001"))) {
    EXPECT_EQ(e.path().filename().string().find("registry.tmp"), std::string::npos) << "no temporary left";
  }

  proto::Lease l{};
  ASSERT_TRUE(share::read_lease(a.get(), &key, &l));
  EXPECT_EQ(l.term, 1u);
  EXPECT_EQ(l.counter, 1u);
  EXPECT_EQ(l.flags, 0);
  for (u32 i = 0; i < 5; ++i) ASSERT_EQ(share::renew_lease(a.get(), now += 10), share::done);
  ASSERT_TRUE(share::read_lease(a.get(), &key, &l));
  EXPECT_EQ(l.counter, 6u);
  EXPECT_TRUE(share::may_write(a.get(), now + 99));
  EXPECT_FALSE(share::may_write(a.get(), now + 100));

  // B takes over with a newer term; A finds it at its next renewal and gives up without touching the lease.
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(b->term, 2u);
  ASSERT_EQ(share::take_lease(b.get(), now, share::now_ms(b.get())), share::done);
  EXPECT_EQ(share::renew_lease(a.get(), now + 10), share::lost);
  EXPECT_EQ(a->flags & (share::leased | share::stopped), share::stopped);
  EXPECT_EQ(share::renew_lease(a.get(), now + 11), share::lost);
  share::drop(a.get(), now + 12, true);
  ASSERT_TRUE(share::read_lease(b.get(), &key, &l));
  EXPECT_EQ(l.term, 2u);
  EXPECT_EQ(l.flags & proto::lease_released, 0);
  EXPECT_EQ(share::renew_lease(b.get(), now + 10), share::done);
}

TEST_F(ShareTerm, SameTermByAnotherMachineAndMissedRenewal) {
  auto a = host(dir.path, 1, key);
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  ASSERT_EQ(share::take_lease(a.get(), 0, 0), share::done);
  forge_lease(1, 7);
  EXPECT_EQ(share::renew_lease(a.get(), 10), share::same_term);
  EXPECT_TRUE(a->flags & share::stopped);
  EXPECT_EQ(hstore::stop_of(true, share::same_term, a->lease_failures, a->flags), 2u);

  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), 0), share::done);
  ASSERT_EQ(share::take_lease(b.get(), 0, 0), share::done);
  EXPECT_EQ(share::renew_lease(b.get(), 99), share::done);
  // 100 tenths after the last renewal every write refuses and the renewal gives the share up.
  EXPECT_EQ(share::put_bucket(b.get(), 0, 0, nullptr, 199), share::refused);  // index checked first
  EXPECT_EQ(share::write_registry(b.get(), 199), share::too_late);
  EXPECT_EQ(share::renew_lease(b.get(), 199), share::too_late);
  EXPECT_EQ(hstore::stop_of(b->flags & share::stopped, share::too_late, 0, b->flags), 3u);
  EXPECT_EQ(share::write_registry(b.get(), 199), share::lost);

  // A claim not followed by a lease within 100 tenths has lapsed.
  auto c = host(dir.path, 3, key);
  ASSERT_EQ(share::claim_next(c.get(), 50), share::done);
  EXPECT_EQ(share::take_lease(c.get(), 150, 0), share::too_late);
}

TEST_F(ShareTerm, BrokenLeaseRecordsCountAsNoLease) {
  auto a = host(dir.path, 1, key);
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  ASSERT_EQ(share::take_lease(a.get(), 0, 0), share::done);
  std::vector<u8> good = read_all(at("lease"));
  ASSERT_EQ(good.size(), 64u);

  // A newer term's record, broken in each way, must not unseat the host.
  forge_lease(9, 7);
  std::vector<u8> newer = read_all(at("lease"));
  std::vector<u8> tag = newer, magic = newer, longer = newer, shorter(newer.begin(), newer.begin() + 63);
  tag[50] ^= 1;
  magic[0] = 'X';
  longer.push_back(0);
  auth::KeyState other = key_of(9);
  std::vector<u8> foreign = newer;
  ASSERT_TRUE(auth::seal(&other, mem::Slice{foreign.data(), 64}));
  u32 now = 0;
  for (const auto& bad : {tag, magic, longer, shorter, foreign}) {
    write_all(at("lease"), bad);
    proto::Lease l{};
    EXPECT_FALSE(share::read_lease(a.get(), &key, &l));
    EXPECT_EQ(share::check_lease(a.get()), 0u);
    EXPECT_EQ(share::renew_lease(a.get(), now += 10), share::done);
  }
  proto::Lease l{};
  ASSERT_TRUE(share::read_lease(a.get(), &key, &l));  // the renewal wrote a whole record again
  EXPECT_EQ(l.term, 1u);
  // The owner's switch keeps the host whatever the lease says.
  forge_lease(9, 7);
  a->always_keep = 1;
  EXPECT_EQ(share::renew_lease(a.get(), now += 10), share::done);
}

TEST_F(ShareTerm, GivingUpReleasesOnlyAnOwnLease) {
  auto a = host(dir.path, 1, key);
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  a->extra_flags = 0xFFFF;  // only the isolation bit of the owner's word may reach the record
  a->owner = 3;
  ASSERT_EQ(share::take_lease(a.get(), 0, 0), share::done);
  share::drop(a.get(), 5, true);
  proto::Lease l{};
  ASSERT_TRUE(share::read_lease(a.get(), &key, &l));
  EXPECT_EQ(l.flags, proto::lease_released | 0x1C);
  EXPECT_EQ(l.writer, 3);
  EXPECT_EQ(l.counter, 2u);
  EXPECT_EQ(a->flags & (share::leased | share::stopped), share::stopped);
  EXPECT_EQ(share::put_names(a.get(), 0, nullptr, 0, 0, 6), 0u);

  // B holds term 2; A's late shutdown with release must leave B's record alone.
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), 10), share::done);
  ASSERT_EQ(share::take_lease(b.get(), 10, 0), share::done);
  auto c = host(dir.path, 3, key);
  ASSERT_EQ(share::claim_term(c.get(), 0, 10), share::taken);
  ASSERT_EQ(share::claim_next(c.get(), 10), share::done);
  ASSERT_EQ(share::take_lease(c.get(), 10, 0), share::done);  // term 3 now holds the lease
  share::drop(b.get(), 11, true);
  ASSERT_TRUE(share::read_lease(c.get(), &key, &l));
  EXPECT_EQ(l.term, 3u);
  EXPECT_EQ(l.flags & proto::lease_released, 0);
}

TEST_F(ShareTerm, UnreadableOlderRegistryHoldsTheSetUpAndGivesUpAfterThirtyTries) {
  auto a = host(dir.path, 1, key);
  u32 now = 0;
  ASSERT_EQ(share::claim_next(a.get(), now), share::done);
  ASSERT_EQ(serve(a.get(), &now), share::done);
  // Term 1's registry is damaged: a newer host cannot know what to carry.
  std::vector<u8> reg = read_all(at("terms/00000001/registry"));
  reg[100] ^= 1;
  write_all(at("terms/00000001/registry"), reg);
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  EXPECT_EQ(share::take_lease(b.get(), now, share::now_ms(b.get())), share::failed);
  EXPECT_EQ(b->flags & (share::leased | share::setup_pending | share::set_up), share::leased | share::setup_pending);
  EXPECT_EQ(b->unreadable, 1u);
  // A step in the same second does not try again; one a second later does.
  EXPECT_EQ(share::step(b.get(), now, 1, 51), share::failed);
  EXPECT_EQ(b->setup_failures, 2u);
  EXPECT_EQ(share::step(b.get(), now, 2, 52), share::failed);
  EXPECT_EQ(b->setup_failures, 2u);
  for (u64 ms = 1001; b->setup_failures < 30; ms += 1000) {
    ASSERT_EQ(share::renew_lease(b.get(), ++now), share::done);
    EXPECT_EQ(share::step(b.get(), now, ms, ms + 50), share::failed);
  }
  EXPECT_TRUE(b->flags & share::lost_registry);
  EXPECT_EQ(hstore::stop_of(false, share::done, 0, b->flags), 5u);
  EXPECT_TRUE(hstore::yields_on(5));
  // A registry that is merely missing (a host that died before its term was complete) does not count.
  std::filesystem::remove(at("terms/00000001/registry"));
  auto c = host(dir.path, 3, key);
  ASSERT_EQ(share::claim_next(c.get(), now), share::done);
  ASSERT_EQ(share::take_lease(c.get(), now, 0), share::done);
  EXPECT_TRUE(c->flags & share::complete);
}

TEST_F(ShareTerm, ThirdLeaseFailureGivesTheShareUp) {
  auto a = host(dir.path, 1, key);
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  ASSERT_EQ(mkdir(at("lease").c_str(), 0755), 0);  // a folder where the lease file belongs
  EXPECT_NE(share::take_lease(a.get(), 0, 0), share::done);
  EXPECT_NE(share::take_lease(a.get(), 1, 0), share::done);
  EXPECT_EQ(share::take_lease(a.get(), 2, 0), share::lost);
  EXPECT_TRUE(a->flags & share::stopped);
  EXPECT_EQ(hstore::stop_of(true, share::lost, a->lease_failures, a->flags), 4u);
}

TEST(ShareWatch, LeaseWatchVerdicts) {
  struct Look {
    bool missing, valid;
    u32 term, counter;
    bool released;
    u32 now, verdict;
  };
  struct Case {
    const char* name;
    std::vector<Look> looks;
  } cases[] = {
      {"no lease file", {{true, false, 0, 0, false, 0, 2}}},
      {"released at first sight", {{false, true, 3, 9, true, 0, 2}}},
      {"live host", {{false, true, 3, 9, false, 0, 0}, {false, true, 3, 10, false, 10, 1}}},
      {"released after progress", {{false, true, 3, 9, false, 0, 0}, {false, true, 3, 10, true, 10, 2}}},
      {"released without progress waits",
       {{false, true, 3, 9, false, 0, 0}, {false, true, 3, 9, true, 10, 0}, {false, true, 3, 9, true, 150, 2}}},
      {"standing still 150 tenths",
       {{false, true, 3, 9, false, 0, 0}, {false, true, 3, 9, false, 149, 0}, {false, true, 3, 9, false, 150, 2}}},
      {"broken record never progresses",
       {{false, false, 0, 0, false, 0, 0}, {false, false, 0, 0, false, 149, 0}, {false, false, 0, 0, false, 150, 2}}},
      {"newer term with a lower counter is progress",
       {{false, true, 3, 9, false, 0, 0}, {false, true, 4, 1, false, 140, 1}, {false, true, 4, 1, false, 289, 0}}},
  };
  for (const Case& c : cases) {
    hstore::Watch w;
    hstore::watch_init(&w);
    for (const Look& l : c.looks) {
      EXPECT_EQ(hstore::observe(&w, l.missing, l.valid, l.term, l.counter, l.released, l.now), l.verdict)
          << c.name << " at " << l.now;
    }
  }
}

TEST(ShareWatch, StopReasonsExitCodesAndWords) {
  EXPECT_EQ(hstore::stop_of(true, share::done, 0, 0), 1u);
  EXPECT_EQ(hstore::stop_of(false, share::done, 0, share::lost_folders), 6u);
  EXPECT_EQ(hstore::stop_of(false, share::done, 3, 0), 0u);
  EXPECT_EQ(hstore::refusal(false, 1, false), 10u);
  EXPECT_EQ(hstore::refusal(true, 1, false), 9u);
  EXPECT_EQ(hstore::refusal(true, 1, true), 0u);
  EXPECT_EQ(hstore::refusal(true, 3, false), 0u);
  const u32 exits[11] = {0, 6, 6, 6, 6, 6, 6, 5, 5, 5, 5};
  for (u32 r = 0; r <= 10; ++r) {
    EXPECT_EQ(hstore::exit_of(r), exits[r]) << r;
    EXPECT_EQ(hstore::yields_on(r), r == 0 || r == 5 || r == 6) << r;
  }
  auto s = [](mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); };
  EXPECT_EQ(s(hstore::stop_word(0)), "serving");
  EXPECT_EQ(s(hstore::stop_word(7)), "another host is live on the share (--refuse-if-live)");
  EXPECT_EQ(s(hstore::stop_word(9)),
            "the share self-test failed: the share caches reads or writes (--force-share to serve anyway)");
  EXPECT_EQ(s(hstore::stop_word(10)), "the random source gave no host id");
  EXPECT_EQ(s(hstore::verdict_word(3)), "not a share");
  EXPECT_EQ(s(share::code_text(share::same_term)), "another machine holds the lease of the same term");
  EXPECT_EQ(share::code_of(fs::io_not_found), share::refused);
  EXPECT_EQ(share::code_of(fs::io_exists), share::taken);
  EXPECT_EQ(share::code_of(fs::io_denied), share::failed);
}

// What stands in the claims folder besides sealed claims: names that no key sealed count for nothing and are noted
// once each as foreign; a name in the way of the next claim is passed over and named when it blocks every try; a
// valid lease keeps the next term above its own when the claims are gone.
TEST_F(ShareTerm, OnlySealedClaimsCountAndWhatBlocksIsNamed) {
  struct Case {
    const char* what;
    std::vector<u32> sealed;     // claims written by another host of the cluster
    std::vector<u32> planted;    // files under claim names that no key sealed
    u32 lease_term;              // a valid lease of this term, 0 for none
    u32 result;
    u32 term;                    // claimed
    u32 trouble_kind;            // of the host's notes, and the last file named
    const char* trouble_file;
    u32 claim_kind;              // why the claim failed
    const char* claim_file;
  };
  const Case cases[] = {
      {"high planted names", {1, 2, 3}, {0xFFFFFFFF, 0xFFFFFFF0}, 0, share::done, 4, share::trouble_foreign,
       "claims/fffffff0", share::trouble_none, ""},
      {"planted names in the way", {1, 2, 3}, {4, 5, 6}, 0, share::done, 7, share::trouble_foreign,
       "claims/00000004", share::trouble_none, ""},
      {"every try blocked", {1}, {}, 0, share::taken, 0, share::trouble_foreign, "claims/00000041",
       share::trouble_foreign, "claims/00000041"},
      {"claims lost, the lease remains", {}, {}, 9, share::done, 10, share::trouble_none, "", share::trouble_none,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::TempDir d;
    auto other = host(d.path, 2, key);
    for (u32 t : c.sealed) ASSERT_EQ(share::claim_term(other.get(), t - 1, 0), share::done);
    std::vector<u32> planted = c.planted;
    if (planted.empty() && c.result == share::taken) {
      for (u32 t = 2; t <= 65; ++t) planted.push_back(t);
    }
    std::filesystem::create_directories(d.path + "/claims");
    for (u32 t : planted) write_all(d.path + "/claims/" + term_text(t), std::vector<u8>(t % 2 ? 0 : 64, 7));
    if (c.lease_term != 0) {
      proto::Lease r{};
      r.term = c.lease_term;
      r.period = 150;
      std::vector<u8> b(64);
      ASSERT_EQ(proto::encode_lease(&r, mem::Slice{b.data(), 64}), 64u);
      ASSERT_TRUE(auth::seal(&key, mem::Slice{b.data(), 64}));
      write_all(d.path + "/lease", b);
    }
    auto a = host(d.path, 1, key);
    EXPECT_EQ(share::claim_next(a.get(), 0), c.result);
    if (c.result == share::done) {
      EXPECT_EQ(a->term, c.term);
    }
    EXPECT_EQ(share::last_note(&a->trouble)->kind, c.trouble_kind);
    if (c.trouble_kind != share::trouble_none) {
      EXPECT_EQ(harness::text(store::path_of(&share::last_note(&a->trouble)->path)), d.path + "/" + c.trouble_file);
    }
    EXPECT_EQ(a->claim_trouble.kind, c.claim_kind);
    if (c.claim_kind != share::trouble_none) {
      EXPECT_EQ(harness::text(store::path_of(&a->claim_trouble.path)), d.path + "/" + c.claim_file);
    }
    // Nothing planted was removed or changed by the claim.
    for (u32 t : planted) EXPECT_TRUE(std::filesystem::exists(d.path + "/claims/" + term_text(t))) << t;
  }
}

// A share outlives any number of hosts: each claim removes the claims of ended terms, so the folder stays small and
// the next free term is always found (the listing a claim reads is bounded).
TEST_F(ShareTerm, AShareLivesPastFiveThousandTerms) {
  // Claims are written through to the disk: in a folder held in memory the thousands of them take seconds.
  std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/vimbrel-terms-XXXXXX" : at("XXXXXX");
  ASSERT_NE(mkdtemp(base.data()), nullptr);
  struct Gone {
    std::string path;
    ~Gone() { std::filesystem::remove_all(path); }
  } gone{base};
  auto at = [&](const std::string& name) { return base + "/" + name; };
  auto a = host(base, 1, key);
  for (u32 t = 1; t <= 5200; ++t) {
    ASSERT_EQ(share::claim_next(a.get(), 0), share::done) << t;
    ASSERT_EQ(a->term, t);
  }
  u32 files = 0;
  for (const auto& e : std::filesystem::directory_iterator(at("claims"))) {
    EXPECT_GE(std::stoul(e.path().filename().string(), nullptr, 16), 5200u - share::claims_kept);
    ++files;
  }
  EXPECT_EQ(files, share::claims_kept + 1);
  auto b = host(base, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), 0), share::done);
  EXPECT_EQ(b->term, 5201u);
}

// A share this user may not write: the claim fails and says why, and the folder that refused is noted.
TEST_F(ShareTerm, AClaimOnAShareThatCannotBeWrittenSaysWhy) {
  const std::string share_path = at("locked");
  ASSERT_EQ(mkdir(share_path.c_str(), 0555), 0);
  int code = harness::in_child([&] {
    // Root may write anywhere: the claim is made as nobody.
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
    auto a = host(share_path, 1, key);
    if (share::claim_next(a.get(), 0) != share::failed) return 1;
    if (a->claim_trouble.kind != share::trouble_denied) return 2;
    if (harness::text(store::path_of(&a->claim_trouble.path)) != share_path + "/claims") return 3;
    return share::last_note(&a->trouble)->kind == share::trouble_denied ? 0 : 4;
  });
  EXPECT_EQ(code, 0);
  auto word = [](u32 kind) { return harness::text(share::trouble_text(kind)); };
  EXPECT_EQ(word(share::trouble_no_space), "no space on the share");
  EXPECT_EQ(word(share::trouble_denied), "access denied");
  EXPECT_EQ(share::trouble_of(fs::io_no_space), share::trouble_no_space);
  EXPECT_EQ(share::trouble_of(fs::io_not_plain), share::trouble_planted);
  EXPECT_EQ(share::trouble_of(fs::io_failed), share::trouble_none);
}

// Two processes race for the first term many times over: exactly one wins each claim.
TEST_F(ShareTerm, TwoProcessesNeverShareATerm) {
  for (u32 round = 0; round < 20; ++round) {
    std::string folder = at("race" + std::to_string(round));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    int pipe_fd[2];
    ASSERT_EQ(pipe(pipe_fd), 0);
    auto claim = [&](u8 id) {
      char go;
      if (read(pipe_fd[0], &go, 1) != 1) return 90;
      auto s = host(folder, id, key);
      return share::claim_term(s.get(), 0, 0) == share::done ? 1 : 0;
    };
    pid_t first = fork();
    if (first == 0) _exit(claim(1));
    pid_t second = fork();
    if (second == 0) _exit(claim(2));
    ASSERT_EQ(write(pipe_fd[1], "gg", 2), 2);
    int s1 = 0, s2 = 0;
    waitpid(first, &s1, 0);
    waitpid(second, &s2, 0);
    close(pipe_fd[0]);
    close(pipe_fd[1]);
    EXPECT_EQ(WEXITSTATUS(s1) + WEXITSTATUS(s2), 1) << round;
  }
}

// A host in another process serves a machine and dies without giving the share up. The watching host sees the lease
// stand still, claims the next term after 150 tenths, takes the lease and carries the dead host's rings over.
TEST_F(ShareTerm, AHostThatDiedIsTakenOverFromAnotherProcess) {
  int code = harness::in_child([&] {
    auto a = host(dir.path, 1, key);
    u32 now = 0;
    if (share::claim_next(a.get(), now) != share::done || serve(a.get(), &now) != share::done) return 1;
    Id m(5);
    if (share::add_machine(a.get(), m.b, mem::lit("five"), now) != 0) return 2;
    store::Bucket b = bucket(1000, 42);
    if (share::put_bucket(a.get(), 0, 0, &b, now) != share::done) return 3;
    for (u32 i = 0; i < 3; ++i) {
      if (share::renew_lease(a.get(), now += 10) != share::done) return 4;
    }
    return 0;  // ends without a give-up, its files still open until the process is gone
  });
  ASSERT_EQ(code, 0);

  auto b = host(dir.path, 2, key);
  hstore::Watch w;
  hstore::watch_init(&w);
  u32 now = 0, verdict = 0;
  for (; verdict == 0 && now < 1000; now += 10) {
    proto::Lease l{};
    bool valid = share::read_lease(b.get(), &key, &l);
    verdict = hstore::observe(&w, !std::filesystem::exists(at("lease")), valid, l.term, l.counter,
                              valid && (l.flags & proto::lease_released), now);
  }
  EXPECT_EQ(verdict, 2u);
  EXPECT_EQ(now, 160u);  // the first look at 0, the claim at 150
  EXPECT_EQ(w.term, 1u);
  EXPECT_EQ(w.counter, 4u);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  EXPECT_EQ(b->term, 2u);
  ASSERT_EQ(serve(b.get(), &now), share::done);
  EXPECT_EQ(slots_of(ring_file(dir.path, 2, 5, store::ring_t0), key), std::vector<u32>{1000});
}

}  // namespace
