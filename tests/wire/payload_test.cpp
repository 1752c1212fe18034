// What a publisher sends of its machine: names on the wire, the system text, the inventory built from a machine
// record, the choice of at most 256 process rows, and the machine id that publish.txt keeps.
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cluster/agent.h"
#include "wire/payload.h"
#include "cluster/remote_update.h"
#include "platform/os.h"
#include "tests/wire/sources.h"
#include "tests/support/testutil.h"

namespace {

std::string field(const u8* f) { return std::string(reinterpret_cast<const char*>(f), strnlen(reinterpret_cast<const char*>(f), 32)); }

TEST(Payload, NamesTravelPrintableAndCutAt32) {
  struct Case {
    std::string text;
    std::string wire;
  };
  const Case cases[] = {
      {"svchost", "svchost"},
      {"tab\there\x7f", "tab?here?"},
      {"caf\xc3\xa9", "caf??"},
      {"stop\0after", "stop"},
      {std::string(40, 'n'), std::string(32, 'n')},
      {"", ""},
  };
  for (const Case& c : cases) {
    u8 out[32];
    memset(out, 0xEE, sizeof out);
    payload::put_name(out, reinterpret_cast<const u8*>(c.text.data()), c.text.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), c.wire.size()), c.wire) << c.text;
    for (size_t i = c.wire.size(); i < 32; ++i) EXPECT_EQ(out[i], 0) << c.text << " byte " << i;
    EXPECT_EQ(proto::name_bad(mem::Bytes(out, 32)), 0u);
  }
}

TEST(Payload, SystemTextByFamily) {
  struct Case {
    os::WindowsVersion v;
    const char* text;
  };
  const Case cases[] = {
      {{1, 1, 10, 0, 26100}, "Windows 10.0.26100"},
      {{2, 1, 6, 1, 0}, "Linux 6.1.0"},
      {{3, 1, 14, 5, 23}, "macOS 14.5.23"},
      {{9, 1, 1, 2, 3}, "1.2.3"},
      {{2, 1, 65535, 65535, 4294967295u}, "Linux 65535.65535.4294967295"},
  };
  for (const Case& c : cases) {
    u8 out[32];
    u32 n = payload::os_text(&c.v, out);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), n), c.text);
  }
}

// A machine record with two disks, one adapter and one GPU, whose inventory must pass the wire's own checks and
// come back as built.
TEST(Payload, InventoryOfAMachineRecordRoundTrips) {
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  m->cpus = 8;
  m->disks = 2;
  m->nics = 1;
  m->gpus = 1;
  m->memory_total = 24103;
  m->commit_limit = 30000;
  m->status = 0x14;  // only the low 4 bits travel
  u16 logical = 8, cores = 4;
  memcpy(m->hardware + 20, &cores, 2);
  memcpy(m->hardware + 22, &logical, 2);
  m->hardware[48] = 4;  // memory kind
  m->disk_capacity[1] = 1000;
  m->capacity_saturated = 0xFF;  // bits past the disk count are cleared on the wire
  m->link_mbps[0] = 1000;
  m->gpu_dedicated[0] = 8192;
  m->gpu_classes[0] = 0xFF;
  const char* names[][2] = {{"0", "Xeon\tCPU"}, {"1", "disk one"}, {"2", "disk two"}, {"17", "eth0"},
                            {"25", "gpu"},      {"29", "model one"}, {"30", "model two"}, {"3", "no third disk"}};
  for (auto& n : names) machine::set_name(m.get(), std::stoul(n[0]), reinterpret_cast<const u8*>(n[1]), strlen(n[1]));
  u8 id[16];
  for (u8 i = 0; i < 16; ++i) id[i] = static_cast<u8>(0xA0 + i);
  os::WindowsVersion v = {2, 1, 6, 1, 0};
  proto::Inventory inv;
  payload::inventory(m.get(), id, reinterpret_cast<const u8*>("host-1"), 6, &v, 0, 1, 81, &inv);

  u8 frame[2048];
  u32 n = proto::encode_inventory(&inv, mem::Slice{frame, sizeof frame});
  ASSERT_GT(n, 0u);
  proto::Inventory back;
  ASSERT_EQ(proto::decode_inventory(mem::Bytes(frame, n), &back), proto::ok);
  EXPECT_EQ(memcmp(back.id, id, 16), 0);
  EXPECT_EQ(back.version[2], 81);
  EXPECT_EQ(back.hw_flags, 4);
  EXPECT_EQ(back.hw32[0], 24103u);
  EXPECT_EQ(back.hw32[9], 30000u);
  EXPECT_EQ(back.hw16[0], 4);
  EXPECT_EQ(back.hw16[1], 8);
  EXPECT_EQ(back.hw8[4], 4);
  EXPECT_EQ(back.disk_count, 2);
  EXPECT_EQ(back.adapter_count, 1);
  EXPECT_EQ(back.gpu_count, 1);
  EXPECT_EQ(back.disk_bits[0], 3u);
  EXPECT_EQ(back.disk_value[1], 1000u);
  EXPECT_EQ(back.adapter_value[0], 1000u);
  EXPECT_EQ(back.gpu_dedicated[0], 8192u);
  EXPECT_EQ(back.gpu_type[0], 63);
  EXPECT_EQ(field(back.names[proto::name_computer]), "host-1");
  EXPECT_EQ(field(back.names[proto::name_os]), "Linux 6.1.0");
  EXPECT_EQ(field(back.names[proto::name_cpu]), "Xeon?CPU");
  EXPECT_EQ(field(back.names[proto::name_disk + 1]), "disk two");
  EXPECT_EQ(field(back.names[proto::name_disk_second]), "model one");
  EXPECT_EQ(field(back.names[proto::name_adapter]), "eth0");
  EXPECT_EQ(field(back.names[proto::name_gpu]), "gpu");
  EXPECT_EQ(field(back.names[proto::name_disk + 2]), "") << "no third disk";
}

// A table of rows with chosen values; every other column 0.
struct Table {
  std::unique_ptr<model::ProcTable> t = std::make_unique<model::ProcTable>();
  Table(u32 rows) {
    model::table_init(t.get());
    for (u32 r = 0; r < rows; ++r) {
      std::string name = "p" + std::to_string(r);
      model::proc_add(t.get(), r + 100, 1, r, mem::Bytes(reinterpret_cast<const u8*>(name.data()), name.size()));
    }
  }
};

std::string picked(const u64* keep) {
  std::string rows;
  for (u32 r = 0; r < model::rows; ++r) {
    if ((keep[r / 64] >> (r % 64)) & 1) rows += std::to_string(r) + " ";
  }
  return rows;
}

TEST(Payload, ThreeBestOfEachMeasureWithTiesToTheLowerRow) {
  Table table(20);
  model::ProcTable* t = table.t.get();
  // CPU: rows 5, 6 and 7 tie; 2 is best. Row 3 has pid 0 and never counts.
  t->cpu[2] = 900;
  t->cpu[5] = t->cpu[6] = t->cpu[7] = 100;
  t->pid[3] = 0;
  t->cpu[3] = 5000;
  t->tcp[19] = 1;  // one measure with a single non-zero row
  t->gpu_memory[10] = 7;
  t->working_set[11] = 4096 * 256;  // memory as a rate code of working set / 256
  t->read_rate[12] = 10;
  t->write_rate[13] = 5;
  u64 keep[payload::keep_words];
  u32 n = payload::pick_procs(t, 20, keep);
  EXPECT_EQ(picked(keep), "2 5 6 10 11 12 13 19 ");
  EXPECT_EQ(n, 8u);
  // A row whose disk rate was not measured has no disk value.
  t->prev_read[12] = ~0ull;
  t->prev_written[12] = ~0ull;
  payload::pick_procs(t, 20, keep);
  EXPECT_EQ(picked(keep), "2 5 6 10 11 13 19 ");
}

TEST(Payload, MoreThan256ProcessesKeepEachMeasuresBestThenFillByScore) {
  Table table(600);
  model::ProcTable* t = table.t.get();
  for (u32 r = 0; r < 600; ++r) t->cpu[r] = static_cast<u16>(r < 300 ? 300 - r : 0);  // rows 0..299 by CPU
  t->tcp[599] = 3;
  t->tcp[598] = 2;
  t->tcp[597] = 1;
  t->gpu_memory[550] = 1;
  t->pid[596] = 0;
  t->tcp[596] = 100;  // process id 0 is never picked by a measure
  t->flags = model::flag_truncated | 0x40;
  t->processes = 600;
  u32 scratch[payload::scratch_words];
  auto record = std::make_unique<proto::ProcRecord>();
  payload::procs(t, 16384, scratch, record.get());
  ASSERT_EQ(record->count, 256u);
  EXPECT_EQ(record->flags, u32{model::flag_truncated});
  EXPECT_EQ(record->totals[0], 600u);
  // The four measured rows of the tail, and the 252 best by score (rows 0..251) in table order.
  for (u32 i = 0; i < 252; ++i) EXPECT_EQ(record->rows[i].pid, 100 + i);
  EXPECT_EQ(record->rows[252].pid, 650u);
  EXPECT_EQ(record->rows[253].pid, 697u);
  EXPECT_EQ(record->rows[254].pid, 698u);
  EXPECT_EQ(record->rows[255].pid, 699u);
  EXPECT_EQ(field(record->rows[1].name), "p1");
  EXPECT_EQ(record->rows[0].cpu, 300);
}

TEST(Payload, ScoresAddLoadsAndTheMemoryShare) {
  EXPECT_EQ(payload::proc_score(100, 50, 0, 1024), 150u);
  EXPECT_EQ(payload::proc_score(0, 0, 256 * 1024, 1024), 10000u);  // all the memory: 100.00 %
  EXPECT_EQ(payload::proc_score(0, 0, 12345, 0), 0u);
  EXPECT_EQ(payload::proc_score(30000, 30000, 0, 1), 32767u);
}

// Hosts serve Linux builds only: an agent asks for its processor's build only on Linux, so the agent of the
// Windows build says it cannot be updated and asks for nothing.
TEST(AgentUpdate, OnlyALinuxAgentHasABuildToAskFor) {
  struct Case {
    u8 family;
    const char* machine;
    u8 arch;
  };
  const Case cases[] = {
      {os::family_linux, "x86_64", 1}, {os::family_linux, "aarch64", 2},   {os::family_linux, "i686", 0},
      {os::family_windows, "x86_64", 0}, {os::family_windows, "aarch64", 0}, {0, "x86_64", 0},
  };
  for (const Case& c : cases) {
    const std::string machine = c.machine;
    EXPECT_EQ(agent::update_arch_of(c.family, mem::Bytes(reinterpret_cast<const u8*>(machine.data()), machine.size())),
              c.arch)
        << int(c.family) << " " << c.machine;
  }
  os::WindowsVersion system;
  os::windows_version(&system);
  u8 word[64];
  const u8 own = remote_update::arch_of(mem::Bytes(word, os::machine_word(word)));
  EXPECT_EQ(agent::update_arch(), system.family == os::family_linux ? own : 0);
}

constexpr auto counting = sources::counting_source;
constexpr auto failing = sources::failing_source;
constexpr auto zeros = sources::zero_source;

TEST(MachineId, MadeOnceKeptAfterAndNeverOverADamagedFile) {
  testutil::TempDir dir;
  std::string path = dir.path + "/Vimbrel/publish.txt";
  mem::Bytes p(reinterpret_cast<const u8*>(path.data()), path.size());
  cluster::PublishSettings s;
  ASSERT_EQ(cluster::read_publish_state(p, &s), cluster::publish_missing);
  EXPECT_EQ(agent::ensure_machine_id(&s, cluster::publish_missing, p, failing), agent::id_no_random);
  EXPECT_EQ(agent::ensure_machine_id(&s, cluster::publish_missing, p, zeros), agent::id_no_random);
  EXPECT_EQ(testutil::read_file(path), "");
  EXPECT_EQ(agent::ensure_machine_id(&s, cluster::publish_missing, p, counting), agent::id_made);
  EXPECT_EQ(testutil::read_file(path), "vimbrel-publish 1\npublish off\ntarget \nid 0102030405060708090a0b0c0d0e0f10\n");
  cluster::PublishSettings again;
  ASSERT_EQ(cluster::read_publish_state(p, &again), cluster::publish_read);
  EXPECT_EQ(agent::ensure_machine_id(&again, cluster::publish_read, p, failing), agent::id_kept);
  EXPECT_EQ(again.id[15], 16);
  // A file that is there but damaged keeps its bytes and gets no id.
  testutil::write_file(path, "vimbrel-publish 1\r\npublish on\r\nid 0102\r\n");
  cluster::PublishSettings damaged;
  ASSERT_EQ(cluster::read_publish_state(p, &damaged), cluster::publish_damaged);
  EXPECT_EQ(agent::ensure_machine_id(&damaged, cluster::publish_damaged, p, counting), agent::id_damaged);
  EXPECT_EQ(damaged.id_present, 0);
  EXPECT_EQ(testutil::read_file(path), "vimbrel-publish 1\r\npublish on\r\nid 0102\r\n");
  // A good file cut short before its id line (a full disk, a copy ended early) is damaged too, wherever the cut
  // falls: inside the header, a line, or the word "id" itself. A whole file without an id is a file to give one.
  const std::string good = "vimbrel-publish 1\npublish on\ntarget 10.0.0.5:7420\nid 0102030405060708090a0b0c0d0e0f10\n";
  for (size_t cut : {20, 30, 45, 51, 52, 53}) {
    testutil::write_file(path, good.substr(0, cut));
    cluster::PublishSettings cut_short;
    EXPECT_EQ(cluster::read_publish_state(p, &cut_short), cluster::publish_damaged) << cut;
    EXPECT_EQ(agent::ensure_machine_id(&cut_short, cluster::publish_damaged, p, counting), agent::id_damaged) << cut;
    EXPECT_EQ(testutil::read_file(path), good.substr(0, cut)) << cut;
  }
  testutil::write_file(path, "vimbrel-publish 1\npublish on\ntarget 10.0.0.5:7420\n");
  cluster::PublishSettings whole;
  EXPECT_EQ(cluster::read_publish_state(p, &whole), cluster::publish_read);
  // A path that cannot be written: the id holds for the run only.
  cluster::PublishSettings unsaved;
  cluster::publish_reset(&unsaved);
  std::string blocked = path + "/inside.txt";
  EXPECT_EQ(agent::ensure_machine_id(&unsaved, cluster::publish_missing,
                                     mem::Bytes(reinterpret_cast<const u8*>(blocked.data()), blocked.size()), counting),
            agent::id_unsaved);
  EXPECT_EQ(unsaved.id_present, 1);
}

}  // namespace
