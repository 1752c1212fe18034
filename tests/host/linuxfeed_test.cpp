// The host's Linux build service in one process: which builds it opens, the back-off of failed fetches, one fetch
// child for both architectures, and whole transfers between a hub slot and an agent's download session with no
// sockets between them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/linuxfeed.h"
#include "tests/host/build_fixture.h"
#include "tests/host/rig.h"

namespace {

using rig::Bytes;
using rig::Rig;

const u64 host_version = remote_update::pack_version(0, 1, 81);

struct Service {
  testutil::TempDir dir;
  buildfix::Key key;
  std::unique_ptr<linuxfeed::Feed> feed = std::make_unique<linuxfeed::Feed>();
  std::string folder = dir.path + "/linux";
  std::string n = buildfix::name(host_version);

  explicit Service(const std::string& program = "") {
    linuxfeed::init(feed.get(), host_version, harness_bytes(folder), harness_bytes(program), key.pk);
  }
  ~Service() { linuxfeed::close(feed.get()); }
  static mem::Bytes harness_bytes(const std::string& s) {
    return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size());
  }
  void place(const std::string& build, const buildfix::Placing& how = buildfix::Placing{}) {
    buildfix::place(folder, n, build, key, how);
  }
  // A fetch child stand-in: a script that ends with the code given, once the file "go" exists.
  std::string script(int code) {
    std::string path = dir.path + "/fetch-" + std::to_string(code);
    testutil::write_file(path, "#!/bin/sh\nwhile [ ! -e '" + dir.path + "/go' ]; do sleep 0.02; done\nexit " +
                                   std::to_string(code) + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }
};

TEST(LinuxFeed, RetryDelayDoublesFromTenMinutesToSixHours) {
  u32 backoff = 0;
  const u32 expected[] = {600000, 1200000, 2400000, 4800000, 9600000, 19200000, 21600000, 21600000};
  for (u32 want : expected) {
    backoff = linuxfeed::retry_delay(backoff);
    EXPECT_EQ(backoff, want);
  }
}

TEST(LinuxFeed, OpensOnlyABuildThatChecks) {
  buildfix::Key other;
  const std::string good = buildfix::elf(20000);
  struct Case {
    const char* what;
    std::string build;
    buildfix::Placing how;
    bool opened;
  } cases[] = {
      {"build, line and signature", good, {}, true},
      {"the line names another digest", good, {"something else"}, false},
      {"no checksum file", good, {"", false}, false},
      {"no signature", good, {"", true, false}, false},
      {"signed by another key", good, {"", true, true, &other}, false},
      {"signed as an older version", good, {"", true, true, nullptr, buildfix::name(host_version - 1)}, false},
      {"signed for another machine", good,
       {"", true, true, nullptr, buildfix::name(host_version, remote_update::arch_aarch64)}, false},
      {"an ELF file for another machine", buildfix::elf(20000, 183), {}, false},
      {"not an ELF file", std::string(20000, 'x'), {}, false},
      {"empty", "", {}, false},
  };
  for (const Case& c : cases) {
    Service s;
    s.place(c.build, c.how);
    EXPECT_EQ(linuxfeed::open_build(s.feed.get(), 0), c.opened ? 1u : 0u) << c.what;
    EXPECT_EQ(s.feed->builds[0].state, c.opened ? linuxfeed::state_held : linuxfeed::state_none) << c.what;
    EXPECT_EQ(s.feed->counters.failures, c.opened ? 0u : 1u) << c.what;
    if (c.opened) {
      EXPECT_EQ(buildfix::hex(s.feed->builds[0].sha256, 32), buildfix::sha256_hex(c.build));
    }
  }
  // A host without a release key opens nothing, however good the build.
  Service keyless;
  linuxfeed::init(keyless.feed.get(), host_version, Service::harness_bytes(keyless.folder), mem::Bytes(), nullptr);
  keyless.place(good);
  EXPECT_EQ(linuxfeed::open_build(keyless.feed.get(), 0), 0u);
  // A file above 16 MiB is refused on its size alone.
  Service big;
  big.place(good);
  ASSERT_EQ(truncate((big.folder + "/" + big.n).c_str(), 16777217), 0);
  EXPECT_EQ(linuxfeed::open_build(big.feed.get(), 0), 0u);
}

// ---- An agent's download session against a hub slot, bytes carried by hand.

struct Transfer {
  Rig r;
  remote_update::Session session;
  u32 slot = hub::none;
  std::string written;
  u64 now = 1000;
  std::function<void(Transfer*)> before_serve;  // runs once the asks are in, before they are served

  void start(const u8* release_key, u64 own = remote_update::pack_version(0, 1, 80)) {
    const u8 id[16] = {7, 7, 7};
    remote_update::start_session(&session, &r.key, id, remote_update::arch_x86_64, own, release_key);
    u8 nonce[16] = {1, 2, 3};
    ASSERT_TRUE(remote_update::send_hello(&session, mem::Bytes(nonce, 16), true, now));
    slot = r.admit(0x7F000001);
  }
  // One exchange: the session's output to the hub, a serving round, the hub's output to the session, and a waiting
  // chunk written.
  bool round(linuxfeed::Feed* feed) {
    mem::Bytes out = remote_update::output(&session);
    if (out.len != 0) {
      r.feed(slot, Bytes(out.ptr, out.ptr + out.len));
      remote_update::sent(&session, static_cast<u32>(out.len));
    }
    if (before_serve) before_serve(this);
    linuxfeed::serve_chunks(feed, r.h.get(), now, 0, 0);
    Bytes in = r.drain(slot);
    for (size_t at = 0; at < in.size();) {
      mem::Slice room = remote_update::input_room(&session);
      size_t n = std::min(room.len, in.size() - at);
      memcpy(room.ptr, in.data() + at, n);
      at += n;
      if (!remote_update::take_frames(&session, static_cast<u32>(n), now)) return false;
    }
    while (session.phase == remote_update::session_chunk) {
      mem::Bytes data = remote_update::chunk_data(&session);
      written.append(reinterpret_cast<const char*>(data.ptr), data.len);
      if (!remote_update::finish(&session, true, now)) return false;
    }
    return session.phase != remote_update::session_done;
  }
  void run(linuxfeed::Feed* feed, u32 rounds = 40) {
    for (u32 i = 0; i < rounds && round(feed); ++i) {
    }
  }
};

TEST(LinuxFeedTransfer, ABuildOfOneByteOverAChunkArrivesInTwoAndChecks) {
  for (size_t size : {size_t{16384}, size_t{16385}}) {
    Service s;
    const std::string build = buildfix::elf(size);
    s.place(build);
    Transfer t;
    t.start(s.key.pk);
    t.run(s.feed.get());
    EXPECT_EQ(t.session.phase, remote_update::session_done) << size;
    EXPECT_EQ(t.session.result, remote_update::result_installed) << size;
    EXPECT_EQ(t.written, build) << size;
    EXPECT_EQ(s.feed->counters.chunks, size == 16384 ? 1u : 2u);
    EXPECT_EQ(t.session.binary, host_version);
    EXPECT_FALSE(t.r.closing(t.slot));
  }
}

TEST(LinuxFeedTransfer, EveryBrokenRuleEndsTheTryWithItsResult) {
  const std::string build = buildfix::elf(40000);
  struct Case {
    const char* what;
    u8 result;
    // Applied once the first chunk has been written.
    void (*change)(Service*, Transfer*);
    u64 own;
  } cases[] = {
      {"the host restarted on another version", remote_update::result_changed,
       [](Service* s, Transfer*) { s->feed->version = remote_update::pack_version(0, 1, 82); }, 0},
      {"a chunk at another offset than asked", remote_update::result_changed,
       [](Service*, Transfer* t) {
         t->before_serve = [](Transfer* x) {
           x->r.h->slot[x->slot].update.offset += 8;
           x->before_serve = nullptr;
         };
       },
       0},
      {"the held file's bytes changed", remote_update::result_mismatch,
       [](Service* s, Transfer*) {
         std::string changed = buildfix::elf(40000, 62, 9);
         FILE* f = fopen((s->folder + "/" + s->n).c_str(), "r+b");
         fseek(f, 20000, SEEK_SET);
         fwrite(changed.data() + 20000, 1, 20000, f);
         fclose(f);
       },
       0},
      {"the build went away", remote_update::result_no_binary,
       [](Service* s, Transfer*) {
         linuxfeed::close(s->feed.get());
         unlink((s->folder + "/" + s->n).c_str());
       },
       0},
      {"an agent as new as the host", remote_update::result_not_newer, nullptr, host_version},
  };
  for (const Case& c : cases) {
    Service s;
    s.place(build);
    Transfer t;
    t.start(s.key.pk, c.own ? c.own : remote_update::pack_version(0, 1, 80));
    if (c.change != nullptr) {
      while (t.written.empty() && t.round(s.feed.get())) {
      }
      ASSERT_EQ(t.written.size(), 16384u) << c.what;
      c.change(&s, &t);
    }
    t.run(s.feed.get());
    EXPECT_EQ(t.session.phase, remote_update::session_failed) << c.what;
    EXPECT_EQ(t.session.result, c.result) << c.what;
  }
}

// The agent asks for the release signature first and checks it with its own key: a build the key did not sign for
// this version, or a host that answers with bytes and no signature (a host of an older version), ends the try
// before a single byte is taken.
TEST(LinuxFeedTransfer, TheAgentRefusesABuildItsReleaseKeyDidNotSignBeforeAnyByte) {
  const std::string build = buildfix::elf(40000);
  buildfix::Key other;
  struct Case {
    const char* what;
    bool other_key;
    bool old_host;      // the host does not read the ask for the signature
    std::string placed_as;  // the version text the placed build's signature names; the host's when empty
    u8 result;
  } cases[] = {
      {"the agent's key is another", true, false, "", remote_update::result_bad_signature},
      {"a host that sends no signature", false, true, "", remote_update::result_unsigned},
      {"signed for another version", false, false, "0.1.80", remote_update::result_bad_signature},
  };
  for (const Case& c : cases) {
    Service s;
    s.place(build);
    if (!c.placed_as.empty()) {
      // A host that holds the cluster key serves what it likes: here an older release's signature for these bytes.
      ASSERT_EQ(linuxfeed::open_build(s.feed.get(), 0), 1u);
      const std::string older = s.key.sign_release(c.placed_as, "x86_64", build);
      memcpy(s.feed->builds[0].signature, older.data(), 64);
    }
    Transfer t;
    t.start(c.other_key ? other.pk : s.key.pk);
    if (c.old_host) t.before_serve = [](Transfer* x) { x->r.h->slot[x->slot].update.flag = 0; };
    t.run(s.feed.get());
    EXPECT_EQ(t.session.phase, remote_update::session_failed) << c.what;
    EXPECT_EQ(t.session.result, c.result) << c.what;
    EXPECT_EQ(t.written, "") << c.what;
    EXPECT_EQ(remote_update::reason_text(remote_update::reason_of_result(c.result)).len != 0, true) << c.what;
  }
}

TEST(LinuxFeedTransfer, AFirstAskIsServedAndAnAskForAnotherVersionHearsLengthZero) {
  Service s;
  s.place(buildfix::elf(30000));
  Rig r;
  rig::Link l;
  ASSERT_TRUE(l.join(&r, proto::role_update, 0, nullptr));
  struct Case {
    u16 patch;
    u32 length;
  } cases[] = {{0, 16384}, {81, 16384}, {80, 0}};
  for (const Case& c : cases) {
    proto::UpdateAsk ask = {1, 0, static_cast<u16>(c.patch ? 1 : 0), c.patch, 0};
    Bytes f(64);
    f.resize(proto::encode_update_ask(&ask, mem::Slice{f.data(), 64}));
    l.send(&r, f);
    linuxfeed::serve_chunks(s.feed.get(), r.h.get(), 0, 0, 0);
    std::vector<Bytes> got = l.take(&r);
    ASSERT_EQ(got.size(), 1u);
    proto::UpdateChunk chunk;
    ASSERT_EQ(proto::decode_update_chunk(mem::Bytes(got[0].data(), got[0].size()), &chunk), proto::ok);
    EXPECT_EQ(chunk.flag, 0);
    EXPECT_EQ(chunk.total, 30000u);
    EXPECT_EQ(chunk.length, c.length) << c.patch;
  }
}

TEST(LinuxFeedTransfer, AMemberThatCannotTakeItsChunkDoesNotHoldUpTheOthers) {
  Service s;
  s.place(buildfix::elf(30000));
  Rig r;
  rig::Link full, other;
  ASSERT_TRUE(full.join(&r, proto::role_update, 0, nullptr));
  ASSERT_TRUE(other.join(&r, proto::role_update, 0, nullptr, 0x0A000002));
  proto::UpdateAsk ask = {1, 0, 0, 0, 0};
  Bytes f(64);
  f.resize(proto::encode_update_ask(&ask, mem::Slice{f.data(), 64}));
  full.send(&r, f);
  other.send(&r, f);
  r.h->slot[full.slot].out_fill = hub::buffer_size - 1000;  // a reader that has stopped reading
  linuxfeed::serve_chunks(s.feed.get(), r.h.get(), 0, 0, 0);
  EXPECT_TRUE(hub::is_in(r.h.get(), hub::set_chunk_asked, full.slot));
  EXPECT_FALSE(hub::is_in(r.h.get(), hub::set_chunk_asked, other.slot));
  EXPECT_EQ(other.take(&r).size(), 1u);
  EXPECT_FALSE(r.closing(full.slot));
}

// ---- The fetch child.

bool ends(linuxfeed::Feed* feed, u64 now) {
  for (int i = 0; i < 3000 && feed->running; ++i) {
    linuxfeed::fetch_step(feed, now);
    if (feed->running) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !feed->running;
}

TEST(LinuxFeedFetch, OneChildForBothArchitecturesAndItsEndDecides) {
  Service probe;
  Service s(probe.script(3));
  // Both architectures asked at once: one child, for the first; the second waits without a child of its own.
  linuxfeed::arch_step(s.feed.get(), 0, 1000);
  linuxfeed::arch_step(s.feed.get(), 1, 1000);
  EXPECT_EQ(s.feed->counters.fetches, 1u);
  EXPECT_EQ(s.feed->builds[0].state, linuxfeed::state_fetching);
  EXPECT_EQ(s.feed->builds[1].state, linuxfeed::state_none);
  testutil::write_file(probe.dir.path + "/go", "");
  ASSERT_TRUE(ends(s.feed.get(), 2000));
  // Exit 3: the checksums are missing, nothing was placed, the next try is ten minutes away; the host's table
  // learns it at the next round, so agents' "no binary yet" reads as unpublished checksums.
  EXPECT_EQ(s.feed->checksums_missing, 1);
  Rig r;
  linuxfeed::step(s.feed.get(), r.h.get(), 2000, 0, 0);
  EXPECT_EQ(r.h->m.no_binary_reason, remote_update::reason_no_checksums);
  EXPECT_EQ(s.feed->builds[0].state, linuxfeed::state_waiting);
  EXPECT_EQ(s.feed->builds[0].next_try, 2000u + 600000);
  linuxfeed::arch_step(s.feed.get(), 0, 2000 + 599999);
  EXPECT_EQ(s.feed->counters.fetches, 1u);
  // The other architecture now gets its child.
  linuxfeed::arch_step(s.feed.get(), 1, 3000);
  EXPECT_EQ(s.feed->counters.fetches, 2u);
  ASSERT_TRUE(ends(s.feed.get(), 4000));
  EXPECT_EQ(s.feed->checksums_missing, 3);

  // A child that placed the build: it is opened, the back-off starts again, the bit is cleared.
  Service placed(probe.script(0));
  placed.feed->builds[0].backoff = 1200000;
  linuxfeed::arch_step(placed.feed.get(), 0, 0);
  placed.feed->checksums_missing = 1;
  placed.place(buildfix::elf(5000));
  ASSERT_TRUE(ends(placed.feed.get(), 10));
  EXPECT_EQ(placed.feed->builds[0].state, linuxfeed::state_held);
  EXPECT_EQ(placed.feed->builds[0].backoff, 0u);
  EXPECT_EQ(placed.feed->checksums_missing, 0);

  // No program to start: the try waits at once.
  Service none;
  linuxfeed::arch_step(none.feed.get(), 0, 50);
  EXPECT_EQ(none.feed->builds[0].state, linuxfeed::state_waiting);
  EXPECT_EQ(none.feed->counters.fetches, 0u);
}

}  // namespace
