// The snapshot modes as a user runs them: `--print` reports this machine, `--record f` measures it into a file whose
// facts are this machine's and `--print --replay f` reports them again, and a missing, damaged or oversized file is
// refused with the one message and exit code 1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/sampling/snap_pair.h"
#include "tests/support/testutil.h"

namespace {

const std::string refused = "the snapshot file cannot be read or does not match this build\n";

// Logical processors as the kernel lists them in /proc/stat.
u32 processors_listed() {
  std::ifstream in("/proc/stat");
  std::string line;
  u32 n = 0;
  while (std::getline(in, line)) {
    if (line.size() > 3 && line.compare(0, 3, "cpu") == 0 && isdigit(static_cast<unsigned char>(line[3]))) ++n;
  }
  return n;
}

u64 mem_total_bytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  u64 kib = 0;
  while (in >> key) {
    if (key == "MemTotal:") {
      in >> kib;
      return kib * 1024;
    }
    std::getline(in, key);
  }
  return 0;
}

TEST(SnapModes, RecordHoldsThisMachinesFacts) {
  testutil::TempDir home;
  const std::string file = home.path + "/pair.snap";
  testutil::RunResult r = testutil::run_vimbrel("--record '" + file + "'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  const std::string text = testutil::read_file(file);
  ASSERT_EQ(text.rfind("vimbrel-snap 5 146616 12599344\n", 0), 0u);
  snap_pair::Pair f;
  ASSERT_TRUE(f.read(text));
  const u32 cpus = processors_listed();
  const u64 total = mem_total_bytes();
  for (const auto& s : f.sample) {
    EXPECT_EQ(s->cpu_bytes / 48, std::min<u32>(cpus, 256));
    EXPECT_LE(s->memory.total_physical > total ? s->memory.total_physical - total : total - s->memory.total_physical,
              1u << 20);
    for (const auto& label : s->labels) {
      for (u16 unit : label) ASSERT_EQ(unit, 0) << "a snapshot never keeps volume labels";
    }
  }
  EXPECT_GE(f.sample[1]->time_ms - f.sample[0]->time_ms, 2000u);
  for (const auto& p : f.procs) {
    EXPECT_EQ(p->head.status, 0u);
    EXPECT_GT(p->head.used, 0u);
    for (u32 i = p->head.tcp_pids; i < collect::max_tcp_pids; ++i) ASSERT_EQ(p->head.pids[i], 0u);
  }
  // Recording again replaces the file.
  testutil::write_file(file, "old");
  ASSERT_EQ(testutil::run_vimbrel("--record '" + file + "'", home.path).exit_code, 0);
  EXPECT_EQ(testutil::read_file(file).rfind("vimbrel-snap 5 ", 0), 0u);
}

// The value of the report line that begins with the label, up to the line's end; empty when there is none.
std::string value_of(const std::string& report, const std::string& label) {
  size_t at = report.rfind(label, 0) == 0 ? 0 : report.find("\n" + label);
  if (at == std::string::npos) return "";
  at += at == 0 ? label.size() : label.size() + 1;
  return report.substr(at, report.find('\n', at) - at);
}

// The facts of this machine that any report of it must show.
void expect_this_machine(const std::string& report) {
  EXPECT_EQ(report.rfind("Vimbrel snapshot\ncpu: ", 0), 0u) << report;
  EXPECT_EQ(value_of(report, "cores: "), std::to_string(std::min<u32>(processors_listed(), 64)) + " logical processors");
  const u64 listed = mem_total_bytes() >> 20;
  const std::string total = value_of(report, "memory total: ");
  ASSERT_FALSE(total.empty()) << report;
  const u64 shown = std::stoull(total);
  EXPECT_LE(shown > listed ? shown - listed : listed - shown, 1u) << total;
  EXPECT_NE(report.find("\nprocess table: "), std::string::npos);
  EXPECT_NE(report.find("\ntop "), std::string::npos);
  EXPECT_EQ(report.back(), '\n');
}

TEST(SnapModes, PrintReportsThisMachine) {
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--print", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expect_this_machine(r.out);
  EXPECT_NE(r.out.find("\nhardware (read now, not recorded):\ncpu vendor: "), std::string::npos) << r.out;
}

TEST(SnapModes, ReplayReportsTheRecordedPair) {
  testutil::TempDir home;
  const std::string file = home.path + "/pair.snap";
  ASSERT_EQ(testutil::run_vimbrel("--record '" + file + "'", home.path).exit_code, 0);
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + file + "'", home.path);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  expect_this_machine(r.out);
  // Nothing read at print time: no hardware section, no temperatures; volume labels are not kept.
  EXPECT_EQ(r.out.find("hardware"), std::string::npos);
  EXPECT_EQ(r.out.find("\ntemperature "), std::string::npos);
  for (size_t at = r.out.find("\nvolume "); at != std::string::npos; at = r.out.find("\nvolume ", at + 1)) {
    EXPECT_EQ(r.out.compare(at + 9, 4, ": \"\""), 0) << r.out.substr(at, 40);
  }
  // The report is computed from the pair alone: a second replay prints the same bytes.
  EXPECT_EQ(testutil::run_vimbrel("--print --replay '" + file + "'", home.path).out, r.out);
}

TEST(SnapModes, ReplayOfAKeptSnapshotIsStable) {
  // A pair recorded once on a Linux machine and its report: the whole road from the file through the usage passes
  // to the text must keep giving the same bytes, on any machine.
  const std::string folder = VIMBREL_FIXTURES "/sampling/snap/";
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + folder + "pair.snap'", home.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, testutil::read_file(folder + "pair.report"));
}

TEST(SnapModes, ReplayRefusesWhatIsNotASnapshot) {
  testutil::TempDir home;
  const std::string good_start = "vimbrel-snap 5 146616 12599344\nz146616;\nz146616;\nz12599344;\n";
  struct Case {
    const char* what;
    std::string bytes;  // empty: no file at all
  };
  const Case cases[] = {
      {"a missing file", ""},
      {"another format", "vimbrel-snap 4 146616 12599344\nz146616;\nz146616;\nz12599344;\nz12599344;\n"},
      {"a cut file", good_start},
      {"a damaged line", good_start + "z1259934x;\n"},
      {"trailing garbage", good_start + "z12599344;\nmore\n"},
  };
  for (const Case& c : cases) {
    const std::string file = home.path + "/case.snap";
    unlink(file.c_str());
    if (!c.bytes.empty()) testutil::write_file(file, c.bytes);
    testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + file + "'", home.path);
    EXPECT_EQ(r.exit_code, 1) << c.what;
    EXPECT_EQ(r.out, refused) << c.what;
  }
  // A file longer than any snapshot is refused before memory is reserved for it (a sparse file of 2 GiB).
  const std::string huge = home.path + "/huge.snap";
  testutil::write_file(huge, good_start);
  ASSERT_EQ(truncate(huge.c_str(), 2ll << 30), 0);
  testutil::RunResult r = testutil::run_vimbrel("--print --replay '" + huge + "'", home.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, refused);
  // A folder is not a snapshot either.
  r = testutil::run_vimbrel("--print --replay '" + home.path + "'", home.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, refused);
}

TEST(SnapModes, RecordIntoAMissingFolderFailsWithoutAMessage) {
  testutil::TempDir home;
  testutil::RunResult r = testutil::run_vimbrel("--record '" + home.path + "/no/such/folder/f.snap'", home.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

}  // namespace
