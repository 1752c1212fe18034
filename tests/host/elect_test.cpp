// The election's parts in one process: the probe exchange and the sealed records, ranks, the claims on a share
// folder (a stray name never counts, old claims go), the host's candidate table and roster, the reach list, and a
// candidate's incoming links over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "host/elect.h"
#include "tests/host/net.h"
#include "tests/support/testutil.h"

namespace {

const u8 id_a[16] = {0xA1, 1}, id_b[16] = {0xB2, 2}, id_c[16] = {0xC3, 3};

mem::Bytes text(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

void silent(mem::Bytes) {}

TEST(ElectRecords, TheProbeExchangeChecksWhoAnswersAndWhoProves) {
  auth::KeyState key, other;
  net::key_state(&key);
  net::key_state(&other, 0x51);
  const u8 nonce[16] = {9, 8, 7};
  u8 challenge[16] = {1, 2, 3};
  challenge[12] = 7;  // a serving host's term in the challenge's last four bytes

  u8 probe[64], reply[64], prober[16];
  u32 n = elect::encode_probe(nonce, id_a, mem::Slice{probe, sizeof probe});
  ASSERT_EQ(n, 48u);
  u32 r = elect::answer_probe(&key, mem::Bytes(probe, n), challenge, id_b, prober, mem::Slice{reply, sizeof reply});
  ASSERT_EQ(r, 64u);
  EXPECT_EQ(0, memcmp(prober, id_a, 16));

  u32 term = 0;
  u8 seen_challenge[16];
  ASSERT_TRUE(elect::check_probe_reply(&key, mem::Bytes(reply, r), nonce, id_a, id_b, &term, seen_challenge));
  EXPECT_EQ(term, 7u);
  struct Case {
    const char* what;
    const auth::KeyState* key;
    const u8* own;
    const u8* target;
    u32 flip;  // byte of the reply flipped, 0 none
  } cases[] = {
      {"another target", &key, id_a, id_c, 0},
      {"the prober's own id answers", &key, id_b, id_b, 0},
      {"another key", &other, id_a, id_b, 0},
      {"a changed challenge", &key, id_a, id_b, 20},
      {"a changed tag", &key, id_a, id_b, 60},
  };
  for (const Case& c : cases) {
    u8 copy[64];
    memcpy(copy, reply, 64);
    if (c.flip != 0) copy[c.flip] ^= 1;
    EXPECT_FALSE(elect::check_probe_reply(c.key, mem::Bytes(copy, 64), nonce, c.own, c.target, &term, seen_challenge))
        << c.what;
  }
  EXPECT_FALSE(elect::check_probe_reply(&key, mem::Bytes(reply, 48), nonce, id_a, id_b, &term, seen_challenge));

  u8 proof[32];
  u32 p = elect::proof_frame(&key, seen_challenge, id_b, id_a, mem::Slice{proof, sizeof proof});
  ASSERT_EQ(p, 32u);
  EXPECT_TRUE(elect::check_proof(&key, mem::Bytes(proof, p), challenge, id_b, id_a));
  EXPECT_FALSE(elect::check_proof(&key, mem::Bytes(proof, p), challenge, id_b, id_c));
  EXPECT_FALSE(elect::check_proof(&other, mem::Bytes(proof, p), challenge, id_b, id_a));
  // A probe is not a proof, and a proof is not a probe.
  EXPECT_FALSE(elect::check_proof(&key, mem::Bytes(probe, n), challenge, id_b, id_a));
  EXPECT_EQ(elect::answer_probe(&key, mem::Bytes(proof, p), challenge, id_b, prober, mem::Slice{reply, 64}), 0u);
}

TEST(ElectRecords, SealedRecordsOpenOnlyWholeAndUnderTheirKey) {
  auth::KeyState key, other;
  net::key_state(&key);
  net::key_state(&other, 0x51);
  proto::Member m = {elect::member_announces, 4, 17, 200, 7420, 0x7F000001, 3, {}};
  memcpy(m.id, id_a, 16);
  u8 raw[64];
  ASSERT_TRUE(elect::seal_member(&key, &m, mem::Slice{raw, 64}));
  proto::Member back;
  ASSERT_TRUE(elect::open_member(&key, mem::Bytes(raw, 64), &back));
  EXPECT_EQ(back.sequence, 17u);
  EXPECT_EQ(back.reach, 3);
  EXPECT_FALSE(elect::open_member(&other, mem::Bytes(raw, 64), &back));
  EXPECT_FALSE(elect::open_member(&key, mem::Bytes(raw, 63), &back));

  proto::Beacon b = {8, 5, 99, 7420, 3, 200, 0x7F000001, {}};
  memcpy(b.host_id, id_b, 16);
  ASSERT_TRUE(elect::seal_beacon(&key, &b, mem::Slice{raw, 64}));
  cluster::Heard heard;
  ASSERT_TRUE(elect::open_beacon(&key, mem::Bytes(raw, 64), &heard));
  EXPECT_EQ(heard.from_lease, 0);
  EXPECT_EQ(heard.term, 5u);
  EXPECT_EQ(heard.counter, 99u);
  EXPECT_EQ(heard.validity, 150);
  EXPECT_FALSE(elect::open_beacon(&other, mem::Bytes(raw, 64), &heard));
  raw[30] ^= 1;
  EXPECT_FALSE(elect::open_beacon(&key, mem::Bytes(raw, 64), &heard));

  auto roster = std::make_unique<proto::Roster>();
  *roster = {};
  roster->count = 2;
  roster->term = 5;
  roster->sequence = 3;
  memcpy(roster->rows[0].id, id_a, 16);
  memcpy(roster->rows[1].id, id_b, 16);
  roster->rows[1].flags = elect::row_self;
  std::vector<u8> rr(proto::roster_size);
  ASSERT_TRUE(elect::seal_roster(&key, roster.get(), mem::Slice{rr.data(), rr.size()}));
  auto got = std::make_unique<proto::Roster>();
  ASSERT_TRUE(elect::open_roster(&key, mem::Bytes(rr.data(), rr.size()), got.get()));
  EXPECT_EQ(got->count, 2);
  EXPECT_EQ(0, memcmp(got->rows[1].id, id_b, 16));
  EXPECT_FALSE(elect::open_roster(&other, mem::Bytes(rr.data(), rr.size()), got.get()));
  EXPECT_FALSE(elect::open_roster(&key, mem::Bytes(rr.data(), 64), got.get()));
}

TEST(ElectRanks, PriorityRosterPositionAndARecentYield) {
  struct Case {
    bool yielded, roster;
    u32 position, count, priority, rank;
  } cases[] = {
      {false, false, 0, 0, 255, 0}, {false, false, 0, 0, 200, 1}, {false, false, 0, 0, 1, 7},
      {false, true, 2, 5, 255, 2},  // the roster decides once it is read
      {false, true, 5, 5, 255, 5},  // missing from the roster: the row count
      {false, true, 20, 30, 1, 8},  // ranks stop at 8
      {false, true, 0, 0, 200, 1},  // an empty roster leaves the priority
      {true, true, 0, 5, 255, 9},   // a candidate that just yielded stands last
  };
  for (const Case& c : cases) {
    EXPECT_EQ(elect::stand_rank(c.yielded, c.roster, c.position, c.count, c.priority), c.rank)
        << c.priority << " " << c.position;
  }
}

struct Candidate {
  testutil::TempDir dir;
  std::unique_ptr<elect::Election> e = std::make_unique<elect::Election>();
  auth::KeyState key;
  explicit Candidate(const u8* id = id_a, u8 priority = 200) {
    net::key_state(&key);
    elect::Config c = {};
    c.listen = 0x7F000001;
    c.priority = priority;
    c.announce = 0x7F000001;
    elect::init(e.get(), text(share()), &key, id, &c, 0);
    e->writer = silent;
  }
  ~Candidate() { elect::close(e.get()); }
  std::string share() const { return dir.path + "/share"; }
};

TEST(ElectClaims, OnlySealedClaimsCountAndOldOnesAreRemoved) {
  Candidate c;
  std::filesystem::create_directories(c.share());
  auto s = std::make_unique<share::Share>();
  share::init(s.get(), text(c.share()), &c.key, id_b, 0x7F000001, 7420, 0);
  for (u32 t = 0; t < 20; ++t) ASSERT_EQ(share::claim_term(s.get(), t, 1), share::done);
  // Stray names: a file named like a newer claim that no key sealed, an upper-case twin, and another file.
  testutil::write_file(c.share() + "/claims/000000ff", "not a claim");
  testutil::write_file(c.share() + "/claims/000000FE", "not a claim");
  testutil::write_file(c.share() + "/claims/notes", "x");
  proto::Lease claim;
  EXPECT_EQ(elect::count_claims(c.e.get(), &claim), 20u);
  EXPECT_EQ(claim.term, 20u);
  EXPECT_EQ(0, memcmp(claim.host_id, id_b, 16));
  elect::latest_claimant(c.e.get());
  EXPECT_EQ(c.e->target_term, 20u);
  EXPECT_EQ(c.e->target_port, 7420);

  // Each claim removed the claims of ended terms more than claims_kept below it; nothing older is left to remove.
  EXPECT_EQ(share::remove_old_claims(text(c.share()), 20 - elect::claims_kept, &c.e->listing), 0u);
  for (u32 t = 1; t <= 20; ++t) {
    char name[16];
    snprintf(name, sizeof name, "%08x", t);
    EXPECT_EQ(std::filesystem::exists(c.share() + "/claims/" + name), t >= 4) << t;
  }
  for (const char* kept : {"000000ff", "000000FE", "notes"}) {
    EXPECT_TRUE(std::filesystem::exists(c.share() + "/claims/" + kept)) << kept;
  }
  // The next claim goes on from the newest sealed one, not from the stray name.
  EXPECT_EQ(share::claim_term(s.get(), elect::count_claims(c.e.get(), &claim), 1), share::done);
  EXPECT_EQ(s->term, 21u);
}

proto::Member member(const u8* id, u32 sequence, u16 flags = elect::member_announces, u8 priority = 200,
                     u16 reach = 0, u32 term = 1) {
  proto::Member m = {flags, term, sequence, priority, 7420, 0x7F000001, reach, {}};
  memcpy(m.id, id, 16);
  return m;
}

TEST(ElectHost, TheCandidateTableSeesRestartsAndKeepsTheNewest64) {
  auto t = std::make_unique<elect::CandidateTable>();
  *t = {};
  proto::Member m = member(id_b, 50);
  elect::update_candidate(t.get(), &m, 1, 100);
  elect::update_candidate(t.get(), &m, 1, 200);  // not written again: not seen again
  EXPECT_EQ(t->seen[0], 100u);
  m = member(id_b, 1);  // restarted: its sequence begins anew
  elect::update_candidate(t.get(), &m, 1, 300);
  EXPECT_EQ(t->seen[0], 300u);
  EXPECT_EQ(t->count, 1u);

  EXPECT_EQ(elect::roster_live(t.get(), id_a, 300 + elect::live_window - 1), 1u);
  EXPECT_EQ(elect::roster_live(t.get(), id_a, 300 + elect::live_window), 0u);
  EXPECT_EQ(elect::roster_live(t.get(), id_b, 300), 0u);  // the host's own row is never live

  for (u32 i = 0; i < 64; ++i) {
    u8 id[16] = {0x10, static_cast<u8>(i)};
    proto::Member row = member(id, 1);
    elect::update_candidate(t.get(), &row, 1, 1000 + i);
  }
  EXPECT_EQ(t->count, 64u);
  bool b_left = true;
  for (u32 i = 0; i < t->count; ++i) b_left = b_left && memcmp(t->ids[i], id_b, 16) != 0;
  EXPECT_TRUE(b_left);  // the row seen longest ago made room
}

TEST(ElectHost, TheRosterOrdersByPriorityOrWhenYieldingByReachAndEndsWithTheHost) {
  Candidate c(id_a, 150);
  auto table = std::make_unique<elect::CandidateTable>();
  *table = {};
  c.e->table = table.get();
  c.e->term = 4;
  c.e->now = 1000;
  const u8 d1[16] = {0xD1}, d2[16] = {0xD2}, d3[16] = {0xD3}, d4[16] = {0xD4}, d5[16] = {0xD5};
  proto::Member rows[] = {
      member(d1, 1, elect::member_announces, 100, 5),
      member(d2, 1, elect::member_announces | elect::member_reaches_host, 250, 9, 4),
      member(d3, 1, elect::member_announces, 100, 2),                  // ties with d1 on priority: id order
      member(d4, 1, 0, 255),                                          // cannot serve: no address
      member(d5, 1, elect::member_announces | elect::member_yielded, 200, 40),
  };
  for (const proto::Member& m : rows) elect::update_candidate(table.get(), &m, 4, 1000);
  proto::Member stale = member(id_b, 1, elect::member_announces, 255);
  elect::update_candidate(table.get(), &stale, 4, 1000 - elect::live_window);

  auto r = std::make_unique<proto::Roster>();
  elect::build_roster(c.e.get(), false, r.get());
  std::vector<u8> order;
  for (u32 i = 0; i < r->count; ++i) order.push_back(r->rows[i].id[0]);
  EXPECT_EQ(order, (std::vector<u8>{0xD2, 0xD5, 0xD1, 0xD3, 0xA1}));
  EXPECT_EQ(r->term, 4u);
  EXPECT_EQ(r->sequence, 1u);
  EXPECT_EQ(r->rows[0].flags, elect::row_listed | elect::row_reaches);
  EXPECT_EQ(r->rows[1].flags, elect::row_listed | elect::row_yielded);
  EXPECT_EQ(r->rows[4].flags, elect::row_self);
  EXPECT_EQ(r->rows[4].priority, 150);

  // Yielding: those that do not reach this host first, then the most reached, then priority.
  elect::build_roster(c.e.get(), true, r.get());
  order.clear();
  for (u32 i = 0; i < r->count; ++i) order.push_back(r->rows[i].id[0]);
  EXPECT_EQ(order, (std::vector<u8>{0xD5, 0xD1, 0xD3, 0xD2, 0xA1}));
  EXPECT_EQ(r->flags, elect::roster_yielding);
}

TEST(ElectReach, TheReachListKeeps64AndCountsTheLast480Seconds) {
  auto list = std::make_unique<elect::ReachList>();
  *list = {};
  for (u32 i = 0; i < 65; ++i) {
    u8 id[16] = {0x20, static_cast<u8>(i)};
    elect::note_reach(list.get(), id, 100 + i);
  }
  EXPECT_EQ(list->count, 64u);
  EXPECT_EQ(list->ids[0][1], 64);  // the oldest entry made room
  EXPECT_EQ(elect::reach_count(list.get(), 164), 63u);  // capped
  u8 again[16] = {0x20, 5};
  elect::note_reach(list.get(), again, 10000);
  EXPECT_EQ(elect::reach_count(list.get(), 10000), 1u);
  EXPECT_EQ(elect::reach_count(list.get(), 10000 + elect::reach_window), 0u);
}

// A raw TCP client of a candidate's listener.
struct Raw : net::Member {
  explicit Raw(u16 port) { EXPECT_TRUE(connect_to(port)); }
  void put(const u8* b, u32 n) { EXPECT_TRUE(write_all(net::Bytes(b, b + n))); }
};

TEST(ElectLinks, HellosHearWhereTheHostIsAndProofsCountTheProber) {
  Candidate c;
  c.e->config.port = 0;
  ASSERT_EQ(elect::start(c.e.get()), 0u);
  u16 port = c.e->config.port;
  ASSERT_NE(port, 0);
  cluster::Heard host = {1, 0, 6, 40, 150, 7425, 0x7F000002, 0, {}};
  memcpy(host.host_id, id_c, 16);
  elect::note_host(c.e.get(), &host);
  auto round = [&] { elect::candidate_step(c.e.get(), 20); };
  auto read_all = [&](int fd, size_t n) {
    std::vector<u8> got;
    for (int i = 0; i < 200 && got.size() < n; ++i) {
      round();
      u8 b[128];
      ssize_t r = recv(fd, b, sizeof b, MSG_DONTWAIT);
      if (r > 0) got.insert(got.end(), b, b + r);
      if (r == 0) break;
    }
    return got;
  };

  // A hello is answered with a moved frame naming the noted host, then the link closes.
  Raw hello(port);
  std::vector<u8> h(64);
  proto::Hello he = {};
  he.role = proto::role_publisher;
  he.protocol = 1;
  h.resize(proto::encode_hello(&he, mem::Slice{h.data(), h.size()}));
  hello.put(h.data(), static_cast<u32>(h.size()));
  std::vector<u8> moved = read_all(hello.fd, 64);
  proto::Moved mv = {};
  ASSERT_EQ(proto::decode_moved(mem::Bytes(moved.data(), moved.size()), &mv), proto::ok);
  EXPECT_EQ(mv.term, 6u);
  EXPECT_EQ(mv.address, 0x7F000002u);
  EXPECT_EQ(mv.port, 7425);

  // A probe, its reply and a good proof: the prober is counted as reaching this candidate.
  Raw prober(port);
  u8 nonce[16] = {4, 4};
  u8 probe[48];
  elect::encode_probe(nonce, id_b, mem::Slice{probe, 48});
  prober.put(probe, 48);
  std::vector<u8> reply = read_all(prober.fd, 64);
  ASSERT_EQ(reply.size(), 64u);
  u32 term = 99;
  u8 challenge[16];
  ASSERT_TRUE(elect::check_probe_reply(&c.key, mem::Bytes(reply.data(), 64), nonce, id_b, id_a, &term, challenge));
  EXPECT_EQ(term, 0u);  // a candidate serves no term
  u8 proof[32];
  elect::proof_frame(&c.key, challenge, id_a, id_b, mem::Slice{proof, 32});
  prober.put(proof, 32);
  for (int i = 0; i < 100 && c.e->links.proofs_accepted == 0; ++i) round();
  EXPECT_EQ(c.e->links.proofs_accepted, 1u);
  EXPECT_EQ(elect::reach_count(&c.e->links.reach, c.e->now), 1u);

  // Eight links at once; a ninth is closed at once.
  std::vector<std::unique_ptr<Raw>> many;
  for (u32 i = 0; i < 8; ++i) many.push_back(std::make_unique<Raw>(port));
  for (int i = 0; i < 100 && c.e->links.in_use != 0xFF; ++i) round();
  ASSERT_EQ(c.e->links.in_use, 0xFFu);
  Raw ninth(port);
  std::vector<u8> nothing = read_all(ninth.fd, 1);
  EXPECT_TRUE(nothing.empty());
  u8 b;
  EXPECT_EQ(recv(ninth.fd, &b, 1, MSG_DONTWAIT), 0);  // closed by the candidate
  // A frame that is neither hello nor probe closes its link.
  u8 ping[16];
  proto::encode_ping(mem::Slice{ping, 16});
  many[0]->put(ping, 16);
  u32 refused = c.e->links.refused;
  for (int i = 0; i < 100 && c.e->links.refused == refused; ++i) round();
  EXPECT_EQ(c.e->links.refused, refused + 1);
}

std::string said;
void keep(mem::Bytes b) { said.append(reinterpret_cast<const char*>(b.ptr), b.len); }

// A host elected on a share: it has just won and reads the member records written before (or by members that are
// gone), then the records that follow.
struct NewHost {
  Candidate c{id_a, 200};
  std::unique_ptr<elect::CandidateTable> table = std::make_unique<elect::CandidateTable>();
  std::unique_ptr<share::Share> s = std::make_unique<share::Share>();
  elect::Election* e = c.e.get();
  NewHost() {
    *table = {};
    std::filesystem::create_directories(c.share() + "/members");
    share::init(s.get(), text(c.share()), &c.key, id_a, 0x7F000001, 7420, 0);
    e->table = table.get();
    e->share_state = s.get();
    s->term = e->term = 3;
    e->role = 1;
    e->hold_time = 3000;
    e->writer = keep;
    said.clear();
  }
  // The member's record with its sequence, the count of machines that reach it and whether it reaches this host.
  void write(const u8* id, u32 sequence, u16 reach, bool reaches_host) {
    u16 flags = static_cast<u16>(elect::member_announces | (reaches_host ? elect::member_reaches_host : 0));
    proto::Member m = member(id, sequence, flags, 200, reach, 3);
    u8 raw[64];
    ASSERT_TRUE(elect::seal_member(&c.key, &m, mem::Slice{raw, 64}));
    char name[40];
    for (u32 k = 0; k < 16; ++k) snprintf(name + 2 * k, 3, "%02x", id[k]);
    testutil::write_file(c.share() + "/members/" + name, std::string(reinterpret_cast<char*>(raw), 64));
  }
  void check(u32 now) {
    e->now = now;
    elect::isolation_step(e);
  }
};

// A healthy cluster right after an election: the records on the share still say what the members wrote before the
// win (they reach nobody yet), one member is gone for good. Only records that advance count, so the host never
// says it is isolated, neither at its first check nor later, once the live member reaches it.
TEST(ElectHost, ANewHostOfAHealthyClusterNeverSaysItIsIsolated) {
  NewHost h;
  h.write(id_b, 40, 0, false);  // alive, written before the win
  h.write(id_c, 7, 0, false);   // gone: never written again
  h.check(100);
  EXPECT_FALSE(h.e->isolated);
  for (u32 k = 1; k <= 6; ++k) {
    h.write(id_b, 40 + k, 1, true);
    h.check(100 + 100 * k);
    EXPECT_FALSE(h.e->isolated) << "check " << k;
  }
  EXPECT_EQ(said.find("isolated"), std::string::npos) << said;
  EXPECT_EQ(h.s->extra_flags & 8, 0);
}

// A host's isolation checks over member records on the share: nobody reaches it and nobody reaches anybody, so it
// says it is isolated; then the others reach each other but not it, it says that isolation ended, and after a
// minute past its hold time it yields with the count raised for its last lease and a roster in yielding order.
TEST(ElectHost, AnIsolatedHostSaysSoAndYieldsWhenOthersReachMore) {
  NewHost h;
  elect::Election* e = h.e;
  elect::CandidateTable* table = h.table.get();
  share::Share* s = h.s.get();
  const Candidate& c = h.c;
  u32 sequence = 0;
  auto members = [&](u16 reach) {
    ++sequence;
    for (const u8* id : {id_b, id_c}) h.write(id, sequence, reach, false);
  };
  members(0);
  h.check(100);
  EXPECT_EQ(table->count, 2u);
  EXPECT_FALSE(e->isolated) << "records that did not advance yet say nothing";
  members(0);
  h.check(200);
  EXPECT_FALSE(e->isolated) << "a record written once since the win may predate the member's first probe";
  members(0);
  h.check(250);
  EXPECT_TRUE(e->isolated);
  EXPECT_EQ(s->extra_flags & 8, 8);
  const std::string line = "vimbrel host: host of term 3, isolated: other machines cannot connect to this host or to "
                           "each other";
  EXPECT_NE(said.find(line), std::string::npos);
  members(0);
  h.check(300);
  EXPECT_EQ(said.find(line), said.rfind(line)) << "said once";
  // The others reach each other: no longer isolated, but the yield condition holds from now on.
  members(2);
  h.check(400);
  EXPECT_FALSE(e->isolated);
  EXPECT_NE(said.find("vimbrel host: host of term 3, no longer isolated\n"), std::string::npos) << said;
  EXPECT_EQ(s->extra_flags & 8, 0);
  EXPECT_TRUE(e->yield_condition);
  EXPECT_EQ(e->role, 1);
  EXPECT_TRUE(std::filesystem::exists(c.share() + "/terms/00000003/roster"));
  // A minute of it, but still within the hold time: the host stays.
  for (e->now = 500; e->now <= 1100; e->now += 100) {
    members(2);
    elect::isolation_step(e);
  }
  EXPECT_EQ(e->role, 1);
  // Past the hold time it yields.
  members(2);
  e->now = 3000;
  elect::isolation_step(e);
  EXPECT_EQ(e->role, 0);
  EXPECT_EQ(s->owner, 1);
  EXPECT_TRUE(e->yielded);
  EXPECT_NE(said.find("vimbrel host: yielded: more machines can reach another member; a candidate again\n"),
            std::string::npos);
  std::string raw = testutil::read_file(c.share() + "/terms/00000003/roster");
  auto roster = std::make_unique<proto::Roster>();
  ASSERT_TRUE(elect::open_roster(&c.key, mem::Bytes(reinterpret_cast<const u8*>(raw.data()), raw.size()),
                                 roster.get()));
  EXPECT_EQ(roster->flags, elect::roster_yielding);
  EXPECT_EQ(roster->count, 3);
  EXPECT_EQ(0, memcmp(roster->rows[2].id, id_a, 16));
  // The candidate that yielded stands last for a while.
  EXPECT_EQ(elect::rank_now(e), 9u);
}

}  // namespace
