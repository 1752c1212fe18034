// The snapshot file: the line encoding and its decoder, the five-line file written and read back byte for byte,
// the refusals of anything that is not exactly a snapshot of this format, the scrub before recording, and a seeded
// mutation loop over the reader (every refused or accepted text leaves the samples inside their records).
#include "sampling/snap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sampling/model.h"
#include "sampling/ntinfo.h"
#include "sampling/rate.h"
#include "tests/sampling/builders.h"
#include "tests/sampling/snap_pair.h"

namespace {

using collect::ProcSample;
using collect::Sample;

std::string encoded(const std::vector<u8>& bytes, u64 total) {
  std::string out(2 * total + 32, '\0');
  u64 n = snap::encode(mem::Bytes(bytes.data(), bytes.size()), total,
                       mem::Slice{reinterpret_cast<u8*>(out.data()), out.size()});
  out.resize(n);
  return out;
}

mem::Bytes view(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

TEST(SnapLine, EncodesPairsAndZeroRuns) {
  struct Case {
    std::vector<u8> bytes;
    u64 total;
    const char* line;
  };
  const Case cases[] = {
      {{}, 0, "\n"},
      {{0x01, 0xab, 0xff}, 3, "01abff\n"},
      {{0, 0, 0}, 3, "000000\n"},                   // three zeros stay pairs
      {{0, 0, 0, 0}, 4, "z4;\n"},                    // four make a run
      {{7, 0, 0, 0, 0, 0, 9}, 7, "07z5;09\n"},
      {{7, 0, 0}, 10, "07z9;\n"},                    // trailing zeros join the padding
      {{7}, 3, "07" "0000\n"},                       // padding of fewer than four stays pairs
      {{1, 2, 3, 4}, 2, "0102\n"},                   // nothing beyond the total
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 12, "z12;\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encoded(c.bytes, c.total), c.line) << c.line;
    // And back: the line describes the total, with the bytes and then zeros.
    std::vector<u8> back(c.total + 1, 0xEE);
    ASSERT_EQ(snap::decode(view(c.line), 0, c.total, back.data(), c.total), c.total) << c.line;
    for (u64 i = 0; i < c.total; ++i) EXPECT_EQ(back[i], i < c.bytes.size() ? c.bytes[i] : 0) << c.line << " " << i;
    EXPECT_EQ(back[c.total], 0xEE) << "written past the window";
  }
  // A line that does not fit its output is not written.
  u8 small[4];
  EXPECT_EQ(snap::encode(mem::lit("\x01\x02\x03"), 3, mem::Slice{small, sizeof small}), 0u);
}

TEST(SnapLine, DecoderRefusesAnythingElse) {
  struct Case {
    const char* line;
    u64 total;
    u32 answer;
  };
  const u32 bad = snap::malformed;
  const Case cases[] = {
      {"z0;", 5, 0},           // an empty run
      {"AbCd", 2, 2},          // either case on reading
      {"0102\nzz", 2, 2},      // the line ends at its line feed
      {"01z3;", 5, 4},         // fewer than the total: the caller refuses the length
      {"z;", 5, bad},          // a run without a count
      {"z5", 5, bad},          // a count without its ";"
      {"Z4;", 5, bad},         // the run marker is lower case only
      {"z6;", 5, bad},         // a run past the total
      {"z99999999999999999999999;", 5, bad},
      {"01z5;", 5, bad},
      {"010203", 2, bad},      // a pair past the total
      {"0", 1, bad},           // half a pair
      {"0g", 1, bad},
      {" 01", 1, bad},
      {"01\r", 1, bad},        // the reader takes off a CR before the line feed, the decoder does not
      {"z-1;", 5, bad},
  };
  for (const Case& c : cases) {
    std::vector<u8> out(c.total + 1, 0);
    EXPECT_EQ(snap::decode(view(c.line), 0, c.total, out.data(), c.total), c.answer) << c.line;
  }
}

TEST(SnapLine, OnlyTheWindowIsStored) {
  // Bytes 0..9 are 1..10 except a run of five zeros at 3..7; the window is 2..6.
  const std::string line = "010203z5;090a";
  u8 out[7];
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(snap::decode(view(line), 2, 10, out + 1, 5), 10u);
  const u8 want[7] = {0xEE, 3, 0, 0, 0, 0, 0xEE};
  EXPECT_EQ(std::memcmp(out, want, sizeof out), 0);
  // A window beyond the total stores nothing.
  EXPECT_EQ(snap::decode(view(line), 50, 10, out, 5), 10u);
  EXPECT_EQ(std::memcmp(out, want, sizeof out), 0);
}

// A sample pair in test memory: samples with random bytes and zero runs, process samples whose buffers are
// process chains held in vectors (not page blocks of the collector, so releasing them with the pair only forgets
// them).
struct Fixture : snap_pair::Pair {
  std::vector<u8> chain[2];

  explicit Fixture(u64 seed) {
    std::mt19937_64 rng(seed);
    for (auto& s : sample) {
      u8* b = reinterpret_cast<u8*>(s.get());
      for (u64 i = 0; i < sizeof(Sample); ++i) b[i] = rng() % 3 == 0 ? 0 : static_cast<u8>(rng());
    }
    for (u32 k = 0; k < 2; ++k) {
      build::Chain c;
      c.add({0, 0, 0, 10, 20, 1, 0, 0, 0, 0, 0, ""});
      c.add({4, 0, 1000, 500 + k * 100, 300, 3, 40, 1 << 20, 1 << 19, 7, 9, "init"}, 2);
      c.add({77, 4, 2000, 9, 9, 1, 5, 4096, 4096, 0, 0, "C:\\tools\\worker.exe"});
      chain[k] = c.bytes;
      ProcSample* p = procs[k].get();
      p->head.time_ms = 1000 + 2000 * k;
      p->head.address = build::base_address;
      p->head.used = static_cast<u32>(chain[k].size());
      p->head.processors = 4;
      p->head.tcp_pids = 2;
      p->head.tcp_rows = 3;
      p->head.pids[0] = 4;
      p->head.pids[1] = 77;
      p->buffer.data = chain[k].data();
      p->buffer.size = chain[k].size();
    }
  }
};

using Readback = snap_pair::Pair;

TEST(SnapFile, RoundTripIsByteForByte) {
  Fixture f(1);
  const std::string text = f.text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.rfind("vimbrel-snap 5 146616 12599344\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
  EXPECT_LE(text.size(), snap::file_bound(f.chain[0].size(), f.chain[1].size()));
  EXPECT_EQ(text.find_first_of("ABCDEF"), std::string::npos) << "the writer writes lower case";

  Readback r;
  ASSERT_TRUE(r.read(text));
  for (u32 k = 0; k < 2; ++k) {
    EXPECT_EQ(std::memcmp(r.sample[k].get(), f.sample[k].get(), sizeof(Sample)), 0) << k;
    EXPECT_EQ(std::memcmp(&r.procs[k]->head, &f.procs[k]->head, sizeof(collect::ProcHeader)), 0) << k;
    ASSERT_EQ(r.procs[k]->buffer.size, f.chain[k].size());
    EXPECT_EQ(std::memcmp(r.procs[k]->buffer.data, f.chain[k].data(), f.chain[k].size()), 0) << k;
    EXPECT_EQ(collect::procs_used(r.procs[k].get()), f.chain[k].size());
  }
  // Writing what was read gives the same text again.
  EXPECT_EQ(r.text(), text);

  // The same file passed through a line-ending converter still reads.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  Readback r2;
  ASSERT_TRUE(r2.read(crlf));
  EXPECT_EQ(std::memcmp(r2.sample[1].get(), f.sample[1].get(), sizeof(Sample)), 0);
}

TEST(SnapFile, RefusesWhatIsNotExactlyASnapshot) {
  Fixture f(2);
  const std::string text = f.text();
  std::vector<size_t> lf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') lf.push_back(i);
  }
  ASSERT_EQ(lf.size(), 5u);
  const std::string body = text.substr(lf[0] + 1);
  // A system line one byte short or long (well formed otherwise); a process line one byte short or long.
  const u8* first = reinterpret_cast<const u8*>(f.sample[0].get());
  std::vector<u8> sys_bytes(first, first + sizeof(Sample));
  const std::string sys_line = encoded(sys_bytes, sys_bytes.size());
  const std::string sys_short = encoded(sys_bytes, sys_bytes.size() - 1);
  sys_bytes.push_back(0x42);
  const std::string sys_long = encoded(sys_bytes, sys_bytes.size());
  const std::string proc_head = text.substr(lf[2] + 1, lf[3] - lf[2] - 1);
  const size_t run = proc_head.rfind('z');
  const u64 pad = std::stoull(proc_head.substr(run + 1));
  const std::string proc_short = proc_head.substr(0, run) + "z" + std::to_string(pad - 1) + ";\n";
  const std::string proc_long = proc_head.substr(0, run) + "z" + std::to_string(pad - 1) + ";0101\n";
  auto with_line = [&](int n, const std::string& line) {
    return text.substr(0, lf[n - 1] + 1) + line + text.substr(lf[n] + 1);
  };
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"another format", "vimbrel-snap 4 146616 12599344\n" + body},
      {"another system size", "vimbrel-snap 5 146617 12599344\n" + body},
      {"another process size", "vimbrel-snap 5 146616 12599345\n" + body},
      {"a header with a blank more", "vimbrel-snap 5 146616 12599344 \n" + body},
      {"no header", body},
      {"cut before the fifth line", text.substr(0, lf[3] + 1)},
      {"cut inside the fifth line", text.substr(0, lf[3] + 20)},
      {"the last line feed missing", text.substr(0, text.size() - 1)},
      {"trailing garbage", text + "x"},
      {"a sixth line", text + "\n"},
      {"a system line one byte short", with_line(1, sys_short)},
      {"a system line one byte long", with_line(2, sys_long)},
      {"a process line one byte short", with_line(3, proc_short)},
      {"a process line one byte long", with_line(4, proc_long)},
      {"an upper-case run marker", with_line(1, "Z146616;\n")},
      {"two CRs before a line feed", with_line(1, sys_line.substr(0, sys_line.size() - 1) + "\r\r\n")},
  };
  for (const Case& c : cases) {
    Readback r;
    EXPECT_FALSE(r.read(c.text)) << c.what;
  }
  // The lines put in are sound apart from their length: the right one in the same place reads.
  Readback good;
  EXPECT_TRUE(good.read(with_line(1, sys_line)));
  Readback good_procs;
  EXPECT_TRUE(good_procs.read(with_line(3, proc_head + "\n")));
}

TEST(SnapFile, ProcessBufferFollowsTheHeadsUsedBytes) {
  // A head that claims more used bytes than the line has: the buffer is sized from the head, the rest are zeros.
  Fixture f(3);
  f.procs[1]->head.used = static_cast<u32>(f.chain[1].size() + 4096);
  Readback r;
  ASSERT_TRUE(r.read(f.text()));
  ASSERT_EQ(r.procs[1]->buffer.size, f.chain[1].size() + 4096);
  EXPECT_EQ(std::memcmp(r.procs[1]->buffer.data, f.chain[1].data(), f.chain[1].size()), 0);
  for (u64 i = f.chain[1].size(); i < r.procs[1]->buffer.size; ++i) ASSERT_EQ(r.procs[1]->buffer.data[i], 0);
  // A head that claims more than 12 MiB gets 12 MiB.
  Fixture g(4);
  g.procs[0]->head.used = 0xFFFFFFFFu;
  Readback r2;
  ASSERT_TRUE(r2.read(g.text()));
  EXPECT_EQ(r2.procs[0]->buffer.size, collect::proc_cap);
}

TEST(SnapFile, BoundsOfTheFormat) {
  EXPECT_EQ(snap::file_bound(0, 0), 586530u + 2 * 32880u);
  EXPECT_EQ(snap::file_bound(~0ull, ~0ull), snap::file_max);
  EXPECT_EQ(snap::file_bound(100, 7), 586530u + 2 * 32880u + 214u);
  // The worst line of each kind fits its share of the bound: every byte nonzero.
  std::vector<u8> dense(snap::sample_bytes, 0xA5);
  EXPECT_EQ(encoded(dense, dense.size()).size(), 2 * snap::sample_bytes + 1);
  EXPECT_LE(2 * (2 * snap::sample_bytes + 1) + snap::header().len, snap::bound_base);
  EXPECT_TRUE(mem::eq(snap::message(snap::unreadable),
                      mem::lit("the snapshot file cannot be read or does not match this build")));
}

TEST(SnapModes, WorkingSetAndReportNeedTheirRoom) {
  // The working set fits the modes' arena with the report's three areas; one byte less for either is refused before
  // anything is measured or printed.
  mem::Arena arena{};
  ASSERT_EQ(mem::arena_init(&arena, snap::mode_arena), 1u);
  snap::WorkSet work;
  ASSERT_TRUE(snap::areas(&arena, &work));
  const u64 left = arena.capacity - arena.used;
  EXPECT_GE(left, sizeof(model::ProcTable) + sizeof(rate::ProcCounters) + sizeof(ntinfo::ProcWalk) + 2 * 64);
  const u64 capacity = arena.capacity;
  arena.capacity = arena.used + sizeof(model::ProcTable);  // room for the table only
  u32 error_class = 0;
  EXPECT_EQ(snap::report(&work, &arena, false, &error_class), snap::no_memory);
  arena.capacity = capacity;
  mem::release(&arena);
  mem::Arena small{};
  ASSERT_EQ(mem::arena_init(&small, sizeof(collect::State)), 1u);
  EXPECT_FALSE(snap::areas(&small, &work));
  mem::release(&small);
}

TEST(SnapScrub, ClearsWhatASnapshotMustNotCarry) {
  Fixture f(5);
  Sample* s = f.sample[0].get();
  s->nic_rows = 2;
  snap::scrub(s);
  for (const auto& label : s->labels) {
    for (u16 unit : label) ASSERT_EQ(unit, 0);
  }
  for (u32 i = 0; i < collect::max_nics; ++i) {
    const sysrec::IfRow& row = s->nics[i];
    const u8* guid = row.guid;
    for (u32 b = 0; b < sizeof row.guid; ++b) ASSERT_EQ(guid[b], 0) << i;
    if (i >= 2) {
      const u8* all = reinterpret_cast<const u8*>(&row);
      for (u32 b = 0; b < sizeof row; ++b) ASSERT_EQ(all[b], 0) << i;
    } else {
      EXPECT_NE(row.luid, 0u) << "the kept rows keep what the usage pass reads";
    }
  }
  // More rows claimed than the sample holds: the eight rows are scrubbed, nothing beyond them is touched.
  Fixture g(6);
  g.sample[0]->nic_rows = 0xFFFFFFFFu;
  const u64 after = g.sample[0]->nics[collect::max_nics - 1].luid;
  snap::scrub(g.sample[0].get());
  EXPECT_EQ(g.sample[0]->nics[collect::max_nics - 1].luid, after);

  // The process sample: the chain keeps what the walk reads, the rest of the buffer and the spare owner slots go.
  ProcSample* p = f.procs[1].get();
  std::vector<u8> block(f.chain[1].size() + 512, 0x5A);
  std::memcpy(block.data(), f.chain[1].data(), f.chain[1].size());
  p->buffer.data = block.data();
  p->buffer.size = block.size();
  // The second entry's two thread records hold leftovers that the walk never reads.
  u32 second = 0;
  std::memcpy(&second, block.data(), 4);
  const u64 threads_at = second + sizeof(sysrec::ProcEntry);
  std::memset(block.data() + threads_at, 0x77, 2 * sysrec::thread_entry_bytes);
  p->head.pids[2] = 999;
  p->head.pids[4095] = 1;
  auto walk_before = std::make_unique<ntinfo::ProcWalk>(), walk_after = std::make_unique<ntinfo::ProcWalk>();
  ntinfo::proc_walk(mem::Bytes(block.data(), p->head.used), p->head.address, 1, walk_before.get());
  snap::scrub(p);
  ntinfo::proc_walk(mem::Bytes(block.data(), p->head.used), p->head.address, 1, walk_after.get());
  EXPECT_EQ(std::memcmp(walk_before.get(), walk_after.get(), sizeof(ntinfo::ProcWalk)), 0);
  for (u64 i = p->head.used; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
  for (u64 i = 0; i < 2 * sysrec::thread_entry_bytes; ++i) ASSERT_EQ(block[threads_at + i], 0) << i;
  EXPECT_EQ(p->head.pids[0], 4u);
  EXPECT_EQ(p->head.pids[1], 77u);
  EXPECT_EQ(p->head.pids[2], 0u);
  EXPECT_EQ(p->head.pids[4095], 0u);
}

TEST(SnapMutation, ReaderStaysInsideForAnyText) {
  Fixture f(7);
  const std::string base = f.text();
  std::mt19937_64 rng(0x5EED5AA9);
  const char alphabet[] = "0123456789abcdefABCDEFzZ;\n\r x";
  u32 accepted = 0;
  for (int iter = 0; iter < 1500; ++iter) {
    std::string t = base;
    for (u64 k = 1 + rng() % 3; k > 0; --k) {
      u64 at = rng() % t.size();
      switch (rng() % 4) {
        case 0: t[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
        case 1: t.erase(at, 1 + rng() % 8); break;
        case 2: t.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
        default: t.resize(at); break;
      }
      if (t.empty()) break;
    }
    // The text in a block of exactly its length: a read past its end fails under the sanitizers.
    std::unique_ptr<u8[]> exact(new u8[t.size() + 1]);
    std::memcpy(exact.get(), t.data(), t.size());
    Readback r;
    bool ok = r.read(mem::Bytes(exact.get(), t.size()));
    for (auto& p : r.procs) ASSERT_LE(p->buffer.size, collect::proc_cap);
    if (!ok) continue;
    ++accepted;
    // What is accepted is a snapshot: written again, it reads to the same samples.
    const std::string again = r.text();
    ASSERT_FALSE(again.empty());
    Readback r2;
    ASSERT_TRUE(r2.read(again)) << "iteration " << iter;
    for (u32 k = 0; k < 2; ++k) {
      ASSERT_EQ(std::memcmp(r2.sample[k].get(), r.sample[k].get(), sizeof(Sample)), 0);
      ASSERT_EQ(std::memcmp(&r2.procs[k]->head, &r.procs[k]->head, sizeof(collect::ProcHeader)), 0);
    }
  }
  EXPECT_GT(accepted, 0u) << "some mutations (a changed hex digit) keep the file a snapshot";
}

}  // namespace
