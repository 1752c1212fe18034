// The shared rules of remote update: versions, names, the ELF check, chunk lengths, checksum lists, the words, the
// Machines page's rule, the agent's retry schedule and the trial record.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "cluster/remote_update.h"
#include "tests/host/build_fixture.h"

namespace {

using namespace remote_update;

std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }
mem::Bytes by(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

TEST(RemoteUpdateNames, VersionsAndBuildNames) {
  struct Case {
    u16 a, b, c;
    u8 arch;
    const char* text;
    const char* name;
  } cases[] = {
      {0, 1, 81, arch_x86_64, "0.1.81", "vimbrel-0.1.81-x86_64-linux"},
      {65535, 65535, 65535, arch_aarch64, "65535.65535.65535", "vimbrel-65535.65535.65535-aarch64-linux"},
      {1, 0, 0, arch_none, "1.0.0", ""},
  };
  for (const Case& c : cases) {
    u64 v = pack_version(c.a, c.b, c.c);
    u8 out[64];
    EXPECT_EQ(str(mem::Bytes(out, version_text(v, mem::Slice{out, 24}))), c.text);
    EXPECT_EQ(str(mem::Bytes(out, build_name(v, c.arch, mem::Slice{out, 64}))), c.name);
  }
  EXPECT_EQ(pack_version(1, 2, 3), (u64{1} << 32) | (2u << 16) | 3u);
  u8 small[23];
  EXPECT_EQ(version_text(1, mem::Slice{small, sizeof small}), 0u);
  EXPECT_EQ(arch_of(mem::lit("aarch64")), arch_aarch64);
  EXPECT_EQ(arch_of(mem::lit("x86-64")), arch_none);
  EXPECT_EQ(str(arch_word(arch_of(mem::lit("x86_64")))), "x86_64");
}

TEST(RemoteUpdateChecks, ElfHeadAndChunkLengths) {
  std::string x86 = buildfix::elf(64, 62), arm = buildfix::elf(64, 183);
  EXPECT_TRUE(check_elf(by(x86), arch_x86_64));
  EXPECT_FALSE(check_elf(by(x86), arch_aarch64));
  EXPECT_TRUE(check_elf(by(arm), arch_aarch64));
  EXPECT_FALSE(check_elf(by(x86.substr(0, 19)), arch_x86_64));  // too short to hold the machine
  EXPECT_FALSE(check_elf(by(x86), arch_none));
  std::string thirty_two = x86, big_endian = x86;
  thirty_two[4] = 1;
  big_endian[5] = 2;
  EXPECT_FALSE(check_elf(by(thirty_two), arch_x86_64));
  EXPECT_FALSE(check_elf(by(big_endian), arch_x86_64));

  struct Case {
    u32 total, offset, length;
  } cases[] = {{16384, 0, 16384}, {16385, 0, 16384}, {16385, 16384, 1}, {16385, 16385, 0}, {10, 20, 0}, {0, 0, 0}};
  for (const Case& c : cases) EXPECT_EQ(chunk_length(c.total, c.offset), c.length) << c.total << " " << c.offset;
}

TEST(RemoteUpdateSums, OneLineForTheNameOrNothing) {
  const std::string n = "vimbrel-0.1.81-x86_64-linux";
  const std::string d = buildfix::sha256_hex("build");
  std::string upper = d;
  for (char& ch : upper) ch = static_cast<char>(toupper(ch));
  struct Case {
    const char* what;
    std::string text;
    bool accepted;
  } cases[] = {
      {"two blanks", d + "  " + n + "\n", true},
      {"binary mark", d + " *" + n + "\n", true},
      {"CR LF and other lines", d + "  other\r\n" + d + "  " + n + "\r\n", true},
      {"upper case, no final LF", upper + "  " + n, true},
      {"two lines for the name", d + "  " + n + "\n" + d + " *" + n + "\n", false},
      {"a longer name only", d + "  " + n + ".sig\n", false},
      {"one blank", d + " " + n + "\n", false},
      {"not hex", std::string(64, 'g') + "  " + n + "\n", false},
      {"nothing", "", false},
  };
  for (const Case& c : cases) {
    u8 digest[32] = {};
    EXPECT_EQ(read_sums(by(c.text), by(n), digest), c.accepted) << c.what;
    if (c.accepted) {
      EXPECT_EQ(buildfix::hex(digest, 32), d) << c.what;
    }
  }
  // The line written beside a build reads back as the one line for its name.
  u8 digest[32], line[sums_line_max], back[32];
  sha256::sha256(by("build"), digest);
  u32 len = sums_line(digest, by(n), mem::Slice{line, sizeof line});
  EXPECT_EQ(str(mem::Bytes(line, len)), d + "  " + n + "\n");
  EXPECT_TRUE(read_sums(mem::Bytes(line, len), by(n), back));
  EXPECT_EQ(sums_line(digest, by(std::string(65, 'n')), mem::Slice{line, sizeof line}), 0u);
}

// What the release key signs ties the bytes (through their SHA-256) to one version and one architecture: a signature
// holds for exactly that line.
TEST(RemoteUpdateSignature, TheSignedLineTiesVersionArchitectureAndDigest) {
  buildfix::Key key, other;
  const std::string body = buildfix::elf(3000);
  u8 digest[32], wrong[32];
  sha256::sha256(by(body), digest);
  sha256::sha256(by(body + "x"), wrong);
  u8 line[signed_line_max];
  u32 n = signed_line(by("0.1.82"), by("x86_64"), digest, mem::Slice{line, sizeof line});
  EXPECT_EQ(str(mem::Bytes(line, n)), "vimbrel 0.1.82 x86_64 " + buildfix::sha256_hex(body));
  EXPECT_EQ(signed_line(mem::Bytes(), by("x86_64"), digest, mem::Slice{line, sizeof line}), 0u);
  EXPECT_EQ(signed_line(by("0.1.82"), by("x86_64"), digest, mem::Slice{line, 40}), 0u);

  const std::string signature = key.sign_release("0.1.82", "x86_64", body);
  const u8* sig = reinterpret_cast<const u8*>(signature.data());
  struct Case {
    const char* what;
    const char* version;
    const char* arch;
    const u8* digest;
    const u8* key;
    bool holds;
  } cases[] = {
      {"the signed line", "0.1.82", "x86_64", digest, key.pk, true},
      {"another version", "0.1.81", "x86_64", digest, key.pk, false},
      {"another architecture", "0.1.82", "aarch64", digest, key.pk, false},
      {"other bytes", "0.1.82", "x86_64", wrong, key.pk, false},
      {"another key", "0.1.82", "x86_64", digest, other.pk, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(release_signed(by(c.version), by(c.arch), c.digest, sig, c.key), c.holds) << c.what;
  }
  EXPECT_FALSE(release_signed(by("0.1.82"), by("x86_64"), digest, nullptr, key.pk));
  EXPECT_TRUE(build_signed(pack_version(0, 1, 82), arch_x86_64, digest, sig, key.pk));
  EXPECT_FALSE(build_signed(pack_version(0, 1, 82), arch_aarch64, digest, sig, key.pk));
}

TEST(RemoteUpdateWords, PhasesReasonsAndResults) {
  EXPECT_EQ(str(phase_word(phase_done)), "done at ");
  EXPECT_EQ(str(phase_word(phase_failed)), "failed: ");
  EXPECT_EQ(str(phase_word(phase_current)), "up to date");
  EXPECT_EQ(str(phase_word(0)), "");
  EXPECT_EQ(str(phase_word(9)), "");
  EXPECT_EQ(str(reason_text(5)), "the release checksums are not published yet");
  EXPECT_EQ(str(reason_text(16 + result_no_binary)), "the host has no binary yet");
  EXPECT_EQ(str(reason_text(16 + result_no_memory)), "no memory");
  EXPECT_EQ(str(reason_text(13)), "none");
  EXPECT_EQ(str(reason_text(0)), "");
  EXPECT_EQ(str(reason_text(33)), "");
  EXPECT_EQ(str(result_word(result_mismatch)), "SHA-256 mismatch");
  EXPECT_EQ(str(result_word(20)), "none");
  // The release-key results take free reasons below 17, which viewers of every version read.
  struct Case {
    u8 result, reason;
    const char* word;
    const char* text;
  } cases[] = {
      {result_unsigned, reason_unsigned, "no release signature",
       "the host sent no release signature (update the host first)"},
      {result_bad_signature, reason_bad_signature, "not signed by the release key",
       "the host's build is not signed by the release key"},
      {result_no_key, reason_agent_no_key, "no release key", "this machine's build has no release key"},
      {result_mismatch, 16 + result_mismatch, "SHA-256 mismatch", "SHA-256 mismatch"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reason_of_result(c.result), c.reason);
    EXPECT_EQ(str(result_word(c.result)), c.word);
    EXPECT_EQ(str(reason_text(c.reason)), c.text);
  }
  EXPECT_EQ(str(reason_text(reason_host_no_key)), "the host's build has no release key");
}

TEST(RemoteUpdatePage, WhichMachinesCanBeUpdated) {
  const u64 host = pack_version(0, 1, 81);
  struct Case {
    const char* what;
    u16 patch;
    u8 phase, reason, state;
    bool same_id, updatable;
  } cases[] = {
      {"older and idle", 80, 0, 0, 0, true, true},
      {"older and stale", 80, 0, 0, 1, true, true},
      {"offline", 80, 0, 0, 2, true, false},
      {"too old to take orders (reason 1)", 80, 0, 1, 0, true, false},
      {"last try failed", 80, 7, 20, 0, true, true},
      {"asked", 80, 1, 0, 0, true, false},
      {"restarting", 80, 5, 0, 0, true, false},
      {"current", 81, 0, 0, 0, true, false},
      {"unknown version", 0, 0, 0, 0, true, false},
      {"another machine at that row", 80, 0, 0, 0, false, false},
  };
  proto::MachineList list = {};
  proto::Updates updates = {};
  u32 expected = 0;
  for (u32 i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    list.ids[i][0] = updates.ids[i][0] = static_cast<u8>(i + 1);
    if (!c.same_id) updates.ids[i][1] = 9;
    list.summaries[i].state = c.state;
    updates.minor[i] = c.patch ? 1 : 0;
    updates.patch[i] = c.patch;
    updates.phases[i] = c.phase;
    updates.details[i] = c.reason;
    expected += c.updatable;
  }
  list.count = updates.count = sizeof cases / sizeof cases[0];
  for (u32 i = 0; i < updates.count; ++i) EXPECT_EQ(can_update(&list, &updates, i, host), cases[i].updatable) << cases[i].what;
  EXPECT_EQ(count_updatable(&list, &updates, host), expected);
  EXPECT_FALSE(can_update(&list, &updates, updates.count, host));
}

TEST(RemoteUpdateRetry, OffersOrdersAndBackOff) {
  const u64 own = pack_version(0, 1, 80), newer = pack_version(0, 1, 81);
  Retry r;
  init_retry(&r, own);
  EXPECT_EQ(wait_ms(&r, 0), 0xFFFFFFFFu);
  note_offer(&r, own, 1000, 5);
  EXPECT_EQ(r.state, retry_idle);
  note_offer(&r, newer, 1000, 10000 + 10001 * 3);  // the random part is taken mod 10,001
  EXPECT_EQ(r.state, retry_armed);
  EXPECT_FALSE(try_due(&r, 10999));
  EXPECT_EQ(wait_ms(&r, 10999), 1u);
  EXPECT_TRUE(try_due(&r, 11000));

  // After failed tries the next one lies within a quarter of the back-off either way: 45-75 s the first time, and
  // from the seventh failure on the back-off stays at one hour.
  for (u32 failure = 1; failure <= 8; ++failure) {
    u64 now = 100000;
    u32 backoff = failure >= 7 ? 3600000 : 60000u << (failure - 1);
    Retry low = r, high = r;
    retry_later(&low, result_timed_out, now, 0);
    retry_later(&high, result_timed_out, now, backoff / 2);
    EXPECT_EQ(low.backoff, backoff) << failure;
    EXPECT_EQ(low.next_try, now + backoff - backoff / 4) << failure;
    EXPECT_EQ(high.next_try, now + backoff + backoff / 4) << failure;
    EXPECT_EQ(low.state, retry_armed);
    EXPECT_EQ(low.last_result, result_timed_out);
    r = low;
  }
  EXPECT_EQ(r.tries, 8u);

  // The host's orders: armed for now, running, not newer, or the version that was put back.
  Retry order;
  init_retry(&order, own);
  note_offer(&order, newer, 0, 0);
  EXPECT_EQ(arm_now(&order, 500), offer_armed);
  EXPECT_TRUE(try_due(&order, 500));
  order.state = 2;
  EXPECT_EQ(arm_now(&order, 600), offer_running);
  note_offer(&order, pack_version(0, 1, 82), 600, 0);  // a new offer never disturbs a running download
  EXPECT_EQ(order.offered, newer);
  order.state = retry_idle;
  order.failed = newer;
  EXPECT_EQ(arm_now(&order, 700), offer_failed_version);
  EXPECT_FALSE(try_due(&order, 700));
  retry_later(&order, result_mismatch, 700, 0);
  EXPECT_EQ(order.state, retry_idle);  // the failed version is not tried again
  Retry current;
  init_retry(&current, newer);
  note_offer(&current, newer, 0, 0);
  EXPECT_EQ(arm_now(&current, 0), offer_not_newer);
}

TEST(RemoteUpdateTrial, NineBytesOrNothing) {
  u8 record[trial_size];
  const u64 v = pack_version(2, 3, 4);
  trial_record(v, 2, record);
  EXPECT_EQ(trial_version(mem::Bytes(record, trial_size)), v);
  EXPECT_EQ(trial_starts(mem::Bytes(record, trial_size)), 2);
  EXPECT_EQ(record[2], 3);  // little-endian: the minor part's low byte
  EXPECT_EQ(record[4], 2);
  u8 ten[10] = {};
  memcpy(ten, record, trial_size);
  for (u32 len : {8u, 10u, 0u}) {
    EXPECT_EQ(trial_version(mem::Bytes(ten, len)), 0u) << len;
    EXPECT_EQ(trial_starts(mem::Bytes(ten, len)), 0) << len;
  }
  EXPECT_FALSE(trial_expired(2));
  EXPECT_TRUE(trial_expired(3));
}

}  // namespace
