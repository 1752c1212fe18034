#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "wire/payload.h"
#include "cluster/publish.h"
#include "cluster/viewer.h"
#include "tests/cluster/link_host.h"

namespace {

using link_host::Bytes;

const u8 kWatched[16] = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const u8 kOther[16] = {9, 9, 9, 9};
const u8 kNonce[16] = {0x44, 1, 2, 3};

using ViewerPipe =
    link_host::Pipe<viewer::ViewerLink, viewer::out_data, viewer::sent, viewer::in_room, viewer::received>;

struct Rig : ViewerPipe {
  std::vector<u8> receive;

  explicit Rig(u32 room = viewer::receive_room) : receive(room) {
    auth::KeyState key;
    link_host::key_of(&key, "cluster secret");
    viewer::init(link.get(), &key, receive.data(), room);
  }

  void open() {
    host.reset();
    ASSERT_TRUE(viewer::due(link.get(), now));
    viewer::dialing(link.get(), now);
    ASSERT_TRUE(viewer::connected(link.get(), kNonce, 16, true, now));
    ASSERT_TRUE(exchange());
    ASSERT_TRUE(exchange());
    ASSERT_TRUE(viewer::ready(link.get()));
  }

  // Hands the host what the link queued since the last call.
  void flush() { ASSERT_TRUE(exchange()); }
};

Bytes list_frame(u32 count) {
  auto list = std::make_unique<proto::MachineList>();
  *list = {};
  list->count = count;
  list->host_mask = 1;
  for (u32 i = 0; i < count; ++i) {
    list->ids[i][0] = static_cast<u8>(i + 1);
    memcpy(list->names[i], "node", 4);
    list->names[i][4] = static_cast<u8>('a' + i);
  }
  Bytes out(8192);
  out.resize(proto::encode_list(list.get(), mem::Slice{out.data(), out.size()}));
  return out;
}

Bytes inventory_frame(const u8* id) {
  proto::Inventory inv = {};
  memcpy(inv.id, id, 16);
  inv.hw32[0] = 2048;
  inv.os_family = 2;
  Bytes out(2048);
  out.resize(proto::encode_inventory(&inv, mem::Slice{out.data(), out.size()}));
  return out;
}

Bytes sample_frame(u8 fill) {
  std::vector<u8> row(proto::sample_size, 0);
  row[4] = fill;  // the load
  Bytes out(600);
  out.resize(proto::encode_sample(row.data(), mem::Slice{out.data(), out.size()}));
  return out;
}

store::Bucket bucket_at(u32 slot, u16 level, u16 rate_code) {
  store::Bucket b = {};
  b.slot = slot;
  for (u32 m = 0; m < 6; ++m) b.min[m] = b.mean[m] = b.max[m] = level;
  b.min[6] = b.mean[6] = b.max[6] = rate_code;
  return b;
}

Bytes buckets_frame(u8 tier, const u8* id, const std::vector<store::Bucket>& rows, bool more) {
  std::vector<u8> raw(rows.size() * proto::bucket_size);
  for (size_t i = 0; i < rows.size(); ++i) {
    store::encode_bucket(&rows[i], mem::Slice{raw.data(), raw.size()}, i * proto::bucket_size);
  }
  proto::BucketAnswer answer = {tier, 0, {}, mem::Bytes(raw.data(), raw.size())};
  memcpy(answer.id, id, 16);
  Bytes out(16 + 24 + raw.size() + 64);
  out.resize(proto::encode_buckets(&answer, more, mem::Slice{out.data(), out.size()}));
  return out;
}

proto::HistoryAsk asked(const Bytes& frame) {
  proto::HistoryAsk ask = {};
  EXPECT_EQ(proto::decode_history(mem::Bytes(frame.data(), frame.size()), &ask), 0u);
  return ask;
}

TEST(ViewerLink, OpensAsAViewerAndKeepsTheHostsTables) {
  Rig rig;
  viewer::want_peers(rig.link.get());
  viewer::want_updates(rig.link.get());
  viewer::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.open();
  EXPECT_EQ(rig.host.hello.role, proto::role_viewer);
  EXPECT_EQ(rig.host.hello.flags, 0x13);
  EXPECT_EQ(rig.link->status, cluster::status_connected);

  ASSERT_TRUE(rig.deliver(rig.host.seal(list_frame(3))));
  EXPECT_EQ(rig.link->lists, 1u);
  u8 second[16] = {2};
  EXPECT_EQ(viewer::find(rig.link.get(), second), 1u);
  EXPECT_EQ(viewer::find(rig.link.get(), kOther), viewer::none_row);
  mem::Bytes name = viewer::list_name(rig.link.get(), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.ptr), name.len), "nodeb");

  proto::Updates updates = {};
  updates.count = 1;
  memcpy(updates.ids[0], kWatched, 16);
  updates.phases[0] = 3;
  Bytes uf(4096);
  uf.resize(proto::encode_updates(&updates, mem::Slice{uf.data(), uf.size()}));
  ASSERT_TRUE(rig.deliver(rig.host.seal(uf)));
  EXPECT_EQ(viewer::update_row(rig.link.get(), kWatched), 0u);
  ASSERT_TRUE(rig.deliver(rig.host.seal(link_host::Host::frame(proto::encode_ping))));

  // Orders to the host go out sealed.
  EXPECT_TRUE(viewer::forget(rig.link.get(), kOther, rig.now));
  EXPECT_TRUE(viewer::update_now(rig.link.get(), kWatched, rig.now));
  EXPECT_TRUE(viewer::idle(rig.link.get(), rig.now + 10000));
  rig.flush();
  EXPECT_FALSE(rig.host.bad);
  EXPECT_EQ(rig.host.kinds(), (std::vector<u32>{14, 26, 15}));

  // A failure empties the list and the updates table.
  viewer::failed(rig.link.get(), rig.now, 0, cluster::status_closed);
  EXPECT_EQ(rig.link->list.count, 0u);
  EXPECT_EQ(viewer::update_row(rig.link.get(), kWatched), viewer::none_row);
  EXPECT_EQ(rig.link->backoff, 1000u);
}

TEST(ViewerLink, WatchedDataWaitsForItsInventoryAndIsAskedAgainAfterAReconnect) {
  Rig rig;
  auto remote = std::make_unique<viewer::Remote>();
  viewer::reset_remote(remote.get());
  viewer::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  EXPECT_FALSE(viewer::watch(rig.link.get(), kWatched, remote.get(), rig.now)) << "not open yet";
  rig.open();
  rig.flush();
  ASSERT_EQ(rig.host.kinds(), std::vector<u32>{10}) << "the watch goes out when the link opens";
  EXPECT_EQ(0, memcmp(rig.host.frames[0].data() + 16, kWatched, 16));

  ASSERT_TRUE(rig.deliver(rig.host.seal(sample_frame(10))));
  EXPECT_EQ(remote->sample_count, 0u) << "sample before the inventory";
  ASSERT_TRUE(rig.deliver(rig.host.seal(inventory_frame(kOther))));
  EXPECT_EQ(rig.link->watched_known, 0) << "another machine's inventory";
  ASSERT_TRUE(rig.deliver(rig.host.seal(inventory_frame(kWatched))));
  EXPECT_EQ(rig.link->watched_known, 1);
  EXPECT_EQ(remote->inventory.hw32[0], 2048u);
  ASSERT_TRUE(rig.deliver(rig.host.seal(sample_frame(55))));
  EXPECT_EQ(remote->sample_count, 1u);
  ring::Row newest;
  ASSERT_TRUE(ring::at(&remote->machine.ring, 0, &newest));
  EXPECT_EQ(newest.load, 55);
  proto::ProcRecord procs = {};
  procs.count = 1;
  procs.rows[0].pid = 4321;
  memcpy(procs.rows[0].name, "init", 4);
  Bytes pf(32768);
  pf.resize(proto::encode_procs(&procs, nullptr, 1, mem::Slice{pf.data(), pf.size()}));
  ASSERT_TRUE(rig.deliver(rig.host.seal(pf)));
  EXPECT_EQ(remote->procs.rows[0].pid, 4321u);

  // Reconnected: the host hears the watch again without a call, and the inventory must come again first.
  viewer::failed(rig.link.get(), rig.now, 0, cluster::status_closed);
  rig.now = rig.link->next_try;
  rig.open();
  rig.flush();
  EXPECT_EQ(rig.host.kinds(), std::vector<u32>{10});
  ASSERT_TRUE(rig.deliver(rig.host.seal(sample_frame(66))));
  EXPECT_EQ(remote->sample_count, 1u);
}

TEST(ViewerLink, HistoryAnswersFoldIntoTheViewAndTheStoredHistoryTable) {
  Rig rig;
  viewer::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.open();
  auto view = std::make_unique<viewer::HistView>();
  viewer::hist_start(view.get(), 6000, 600, 0, 6, 0, 0, kWatched);
  ASSERT_TRUE(viewer::history(rig.link.get(), view.get(), rig.now));
  rig.flush();
  ASSERT_EQ(rig.host.kinds(), std::vector<u32>{12});
  proto::HistoryAsk ask = asked(rig.host.frames[0]);
  EXPECT_EQ(ask.first, 6000u);
  EXPECT_EQ(ask.last, 6599u);
  EXPECT_EQ(ask.options, 0);

  // Two parts; the edges and another tier or machine leave the view alone.
  std::vector<store::Bucket> part1 = {bucket_at(5999, 100, 0), bucket_at(6000, 200, 4095), bucket_at(6005, 400, 0)};
  std::vector<store::Bucket> part2 = {bucket_at(6599, 300, 0x1001), bucket_at(6600, 900, 0)};
  ASSERT_TRUE(rig.deliver(rig.host.seal(buckets_frame(1, kWatched, part1, false))));
  ASSERT_TRUE(rig.deliver(rig.host.seal(buckets_frame(0, kOther, part1, false))));
  EXPECT_EQ(view->frames_taken, 0u);
  ASSERT_TRUE(rig.deliver(rig.host.seal(buckets_frame(0, kWatched, part1, true))));
  EXPECT_EQ(view->done, 0);
  ASSERT_TRUE(rig.deliver(rig.host.seal(buckets_frame(0, kWatched, part2, false))));
  EXPECT_EQ(view->done, 1);
  EXPECT_EQ(view->frames_taken, 2u);
  EXPECT_EQ(view->rows_taken, 5u);
  EXPECT_EQ(view->count[0], 2);
  EXPECT_EQ(view->min[0][0], 200);
  EXPECT_EQ(view->max[0][0], 400);
  EXPECT_EQ(view->sum[0][0], 600u);
  EXPECT_EQ(view->sum[1][0], 4095u);
  EXPECT_EQ(view->count[59], 1);
  EXPECT_EQ(view->sum[1][59], viewer::field_value(6, 0x1001));
  EXPECT_EQ(view->min[0][30], 0xFFFF);

  // A stored-history table asks chunk by chunk and folds what comes back.
  const u32 now_s = 7200;
  std::vector<u8> block(hist::table_bytes(2, 1) + 64);
  mem::Arena arena = {block.data(), 0, block.size()};
  hist::Table table;
  ASSERT_TRUE(hist::bind(&table, &arena, 2, 0, 255, kWatched, now_s));
  ASSERT_TRUE(viewer::ask_rows(rig.link.get(), &table, rig.now));
  EXPECT_EQ(table.sent, 1);
  rig.flush();
  ask = asked(rig.host.frames.back());
  EXPECT_EQ(ask.first, table.ask_start);
  EXPECT_EQ(ask.tier, table.tier);
  std::vector<store::Bucket> rows = {bucket_at(table.ask_start, 5000, 0)};
  ASSERT_TRUE(rig.deliver(rig.host.seal(buckets_frame(table.tier, kWatched, rows, false))));
  EXPECT_EQ(table.folded, 1u);
  EXPECT_EQ(table.answered_rows, 1u);
  EXPECT_EQ(table.asking, 0);

  // After a reconnect the unfinished view is asked again and the request's owner is told to ask again.
  viewer::hist_start(view.get(), 6000, 600, 0, 6, 0, 0, kWatched);
  ASSERT_TRUE(viewer::history(rig.link.get(), view.get(), rig.now));
  ASSERT_TRUE(hist::ask(&table, 10));
  table.sent = 1;
  viewer::failed(rig.link.get(), rig.now, 0, cluster::status_closed);
  rig.now = rig.link->next_try;
  rig.open();
  rig.flush();
  EXPECT_EQ(rig.host.kinds(), std::vector<u32>{12});
  EXPECT_EQ(table.sent, 0);
}

TEST(ViewerLink, ViewRowsAndTheirEdges) {
  EXPECT_EQ(viewer::hist_row(100, 100, 60), 0u);
  EXPECT_EQ(viewer::hist_row(159, 100, 60), 59u);
  EXPECT_EQ(viewer::hist_row(160, 100, 60), viewer::outside);
  EXPECT_EQ(viewer::hist_row(99, 100, 60), viewer::outside);
  EXPECT_EQ(viewer::hist_row(100, 100, 0), viewer::outside);
  EXPECT_EQ(viewer::hist_row(0xFFFFFFF0u, 0, 0xFFFFFFFFu), 59u) << "no overflow for long spans";
}

TEST(ViewerLink, FramesThatCloseTheLink) {
  struct Case {
    const char* name;
    u8 status;
  };
  const Case cases[] = {
      {"tampered", cluster::status_host_proof},
      {"bad list", cluster::status_bad_frame},
      {"kind a viewer never gets", cluster::status_bad_frame},
      {"refuse", cluster::status_refused},
      {"history answer beyond the buffer", cluster::status_bad_frame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = c.name;
    Rig rig(4096);
    viewer::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
    rig.open();
    auto view = std::make_unique<viewer::HistView>();
    viewer::hist_start(view.get(), 0, 86400, 0, 1, 0, 0, kWatched);
    viewer::history(rig.link.get(), view.get(), rig.now);
    Bytes f;
    if (name == "tampered") {
      f = rig.host.seal(list_frame(2));
      f[30] ^= 0x40;
    } else if (name == "bad list") {
      Bytes l = list_frame(2);
      l[16] = 99;  // a row count the length disagrees with
      f = rig.host.seal(l);
    } else if (name == "kind a viewer never gets") {
      f = rig.host.seal(rig.host.id_frame(proto::kind_watch, kWatched));
    } else if (name == "refuse") {
      f = rig.host.seal(rig.host.refuse(proto::reason_full));
    } else {
      std::vector<store::Bucket> many(100, bucket_at(10, 1, 0));
      f = rig.host.seal(buckets_frame(0, kWatched, many, false));
    }
    EXPECT_FALSE(rig.deliver(f));
    EXPECT_EQ(rig.link->status, c.status);
    if (name == "history answer beyond the buffer") {
      EXPECT_EQ(view->done, 1) << "not asked again after the reconnect";
    }
  }
}

TEST(ViewerLink, LeaseMovesAShareTargetLikeThePublisher) {
  Rig rig;
  viewer::share(rig.link.get(), rig.now);
  EXPECT_FALSE(viewer::due(rig.link.get(), rig.now));
  cluster::Heard h = {};
  h.term = 2;
  h.counter = 1;
  h.address = 0x7F000001;
  h.port = 7420;
  EXPECT_FALSE(viewer::lease(rig.link.get(), true, &h, rig.now, 0));
  EXPECT_EQ(rig.link->status, cluster::status_new_host);
  rig.host.term = 2;
  rig.open();
  h.counter = 2;
  EXPECT_FALSE(viewer::lease(rig.link.get(), true, &h, rig.now, 0)) << "a renewal keeps the link";
  h.term = 3;
  h.port = 7421;
  EXPECT_TRUE(viewer::lease(rig.link.get(), true, &h, rig.now, 0));
  EXPECT_EQ(rig.link->state, publish::waiting);
}

}  // namespace

namespace {

Bytes rows_frame(u32 kind, const u8* id, const std::vector<u8>& rows, u32 count) {
  Bytes out(16 + 24 + rows.size() + 64);
  out.resize(proto::encode_rows(kind, 0, id, mem::Bytes(rows.data(), rows.size()), count,
                                mem::Slice{out.data(), out.size()}));
  return out;
}

std::vector<u8> name_rows(const std::vector<std::string>& names) {
  std::vector<u8> rows(names.size() * 32, 0);
  for (size_t i = 0; i < names.size(); ++i) memcpy(rows.data() + 32 * i, names[i].data(), names[i].size());
  return rows;
}

u32 hash_of(const std::string& name) {
  return ptop::name_hash(mem::Bytes(reinterpret_cast<const u8*>(name.data()), name.size()));
}

TEST(ViewerLink, NameFilterKeepsNamesAndWeighsTheMatchedProcesses) {
  Rig rig;
  viewer::fixed(rig.link.get(), 0x7F000001, 7420, rig.now);
  rig.open();
  auto view = std::make_unique<viewer::HistView>();
  auto filter = std::make_unique<viewer::NameFilter>();
  viewer::hist_start(view.get(), 0, 600, 0, 1, 0, 0, kWatched);
  viewer::hist_want(view.get(), filter.get(), reinterpret_cast<const u8*>("Chrome"), 6);
  ASSERT_TRUE(viewer::history(rig.link.get(), view.get(), rig.now));
  rig.flush();
  EXPECT_EQ(asked(rig.host.frames.back()).options, 1) << "names and top rows wanted";

  ASSERT_TRUE(rig.deliver(rig.host.seal(rows_frame(21, kWatched, name_rows({"chrome", "bash", "chrome"}), 3))));
  EXPECT_EQ(filter->names_count, 2u);
  EXPECT_EQ(filter->matched_count, 1u);
  ASSERT_TRUE(rig.deliver(rig.host.seal(rows_frame(21, kOther, name_rows({"zsh"}), 1))));
  EXPECT_EQ(filter->names_count, 2u) << "another machine's names";

  ptop::Row top = {};
  ptop::clear(&top, 15);  // row 1 of 60 over 600 s
  ptop::offer_row(&top, hash_of("chrome"), 100, 500, 20);
  ptop::offer_row(&top, hash_of("bash"), 101, 900, 40);
  std::vector<u8> raw(ptop::row_bytes);
  ASSERT_NE(ptop::encode(&top, mem::Slice{raw.data(), raw.size()}, 0), 0u);
  ASSERT_TRUE(rig.deliver(rig.host.seal(rows_frame(22, kWatched, raw, 1))));
  EXPECT_EQ(filter->tops_taken, 1u);
  EXPECT_EQ(filter->most[1][0], 500);
  EXPECT_EQ(filter->most[1][1], 20);
  EXPECT_EQ(filter->matches[1], 1);
  EXPECT_EQ(filter->matches[0], 0);

  EXPECT_TRUE(viewer::name_is(reinterpret_cast<const u8*>("CHROME\0\0"), reinterpret_cast<const u8*>("chrome"), 6));
  EXPECT_FALSE(viewer::name_is(reinterpret_cast<const u8*>("chrome2\0"), reinterpret_cast<const u8*>("chrome"), 6));
  EXPECT_FALSE(viewer::matched(filter.get(), 0));

  // Past 4,096 distinct names the rest are counted, not kept.
  viewer::names_clear(filter.get());
  u8 name[32] = {};
  for (u32 i = 0; i < 4100; ++i) {
    snprintf(reinterpret_cast<char*>(name), sizeof name, "proc%u", i);
    viewer::take_name(filter.get(), name);
  }
  EXPECT_EQ(filter->names_count, 4096u);
  EXPECT_EQ(filter->overflow, 4u);
}

}  // namespace

namespace fold {

std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

// A remote machine's record, built from the inventory its publisher made of the same record, reads as the original.
TEST(ViewerRemote, InventoryFillsAMachineRecordAsThePublisherSawIt) {
  auto m = std::make_unique<machine::Machine>();
  machine::init(m.get());
  m->cpus = 12;
  m->disks = 2;
  m->nics = 1;
  m->gpus = 1;
  m->memory_total = 32000;
  m->commit_limit = 40000;
  for (u32 i = 0; i < 50; ++i) m->hardware[i] = static_cast<u8>(i * 7 + 1);
  u16 logical = 12;
  memcpy(m->hardware + 22, &logical, 2);
  m->disk_capacity[0] = 512000;
  m->capacity_saturated = 2;
  m->details.media[0] = 1;
  m->details.bus[2] = 3;
  m->link_mbps[0] = 2500;
  m->gpu_dedicated[0] = 8192;
  m->gpu_shared[0] = 16000;
  m->gpu_classes[0] = 5;
  const std::vector<std::pair<u32, std::string>> names = {
      {machine::slot_cpu, "Ryzen 9"},           {machine::slot_disks, "nvme0n1"},
      {machine::slot_disks + 1, "sda"},         {machine::slot_nics, "eth0"},
      {machine::slot_gpus, "Radeon"},           {machine::slot_drive_models, "Samsung 990"},
      {machine::slot_drive_models + 1, "WD"}};
  for (auto& [slot, name] : names) {
    machine::set_name(m.get(), slot, reinterpret_cast<const u8*>(name.data()), name.size());
  }
  os::WindowsVersion v = {2, 6, 1, 0, 0};
  proto::Inventory inv;
  payload::inventory(m.get(), kWatched, reinterpret_cast<const u8*>("render-02"), 9, &v, 0, 1, 81, &inv);

  auto back = std::make_unique<machine::Machine>();
  machine::init(back.get());
  u32 changes = back->changes;
  viewer::take_inventory(back.get(), &inv);
  EXPECT_EQ(back->cpus, 12);
  EXPECT_EQ(back->disks, 2);
  EXPECT_EQ(back->nics, 1);
  EXPECT_EQ(back->gpus, 1);
  EXPECT_EQ(back->count_flags, 0);
  EXPECT_EQ(back->memory_total, 32000u);
  EXPECT_EQ(back->commit_limit, 40000u);
  EXPECT_EQ(0, memcmp(back->hardware, m->hardware, 50)) << "every hardware byte that travels";
  EXPECT_EQ(back->disk_capacity[0], 512000u);
  EXPECT_EQ(back->capacity_saturated, 2u);
  EXPECT_EQ(back->details.media[0], 1u);
  EXPECT_EQ(back->details.bus[2], 3u);
  EXPECT_EQ(back->link_mbps[0], 2500u);
  EXPECT_EQ(back->gpu_shared[0], 16000u);
  EXPECT_EQ(back->gpu_classes[0], 5);
  for (auto& [slot, name] : names) EXPECT_EQ(text(machine::name(back.get(), slot)), name) << "slot " << slot;
  EXPECT_EQ(text(viewer::name_of(&inv, proto::name_computer)), "render-02");
  EXPECT_EQ(text(viewer::name_of(&inv, 47)), "");
  EXPECT_EQ(back->changes, changes + 1) << "the hardware hash moved";

  // Counts above the record's caps are capped and flagged.
  inv.hw16[1] = 200;
  inv.gpu_count = 4;
  viewer::take_inventory(back.get(), &inv);
  EXPECT_EQ(back->cpus, machine::max_cpus);
  EXPECT_EQ(back->count_flags, machine::more_cpus);
}

// Process records applied to a table: what the publisher chose comes back row by row, a process that left is swept,
// and a reused process id with a new start key is a new row.
TEST(ViewerRemote, ProcessRecordsKeepTheTableInStep) {
  auto table = std::make_unique<model::ProcTable>();
  model::table_init(table.get());
  auto record = std::make_unique<proto::ProcRecord>();
  *record = {};
  record->count = 3;
  record->flags = model::flag_stale;
  record->totals[0] = 300;
  record->totals[1] = 4000;
  record->totals[2] = 12;
  for (u32 i = 0; i < 3; ++i) {
    proto::ProcRow& r = record->rows[i];
    r.pid = 100 + i;
    r.start[0] = 10 + i;
    r.cpu = static_cast<u16>(1000 * (i + 1));
    r.memory = 256 * (i + 1);
    r.disk_read = 7;
    r.threads = 3;
    r.flags = static_cast<u16>(i);  // 0 none, 1 GPU in use, 2 disk not measured
    snprintf(reinterpret_cast<char*>(r.name), sizeof r.name, "proc-%u", i);
  }
  viewer::take_procs(record.get(), table.get());
  ASSERT_EQ(table->count, 3u);
  EXPECT_EQ(table->processes, 300u);
  EXPECT_EQ(table->tcp_total, 12u);
  EXPECT_EQ(table->flags, u32{model::flag_stale});
  u32 row = model::proc_find_row(table.get(), 101);
  ASSERT_NE(row, model::no_row);
  EXPECT_EQ(table->cpu[row], 2000);
  EXPECT_EQ(table->working_set[row], 512u);
  EXPECT_EQ(table->thread_count[row], 3);
  EXPECT_EQ(text(model::proc_name(table.get(), row)), "proc-1");
  EXPECT_TRUE(table->gpu_present[row / 64] >> (row % 64) & 1);
  EXPECT_TRUE(model::disk_unreported(table.get(), model::proc_find_row(table.get(), 102)));
  EXPECT_FALSE(model::disk_unreported(table.get(), model::proc_find_row(table.get(), 100)));
  u64 kept = model::proc_find(table.get(), 100);

  // Process 102 left, 101 is a new process under the same id, 100 stays on its handle.
  record->count = 2;
  record->rows[1].start[0] = 99;
  viewer::take_procs(record.get(), table.get());
  EXPECT_EQ(table->count, 2u);
  EXPECT_EQ(model::proc_find_row(table.get(), 102), model::no_row);
  EXPECT_EQ(table->start_key[model::proc_find_row(table.get(), 101)], 99u);
  EXPECT_NE(model::proc_row(table.get(), kept), model::no_row) << "the kept process keeps its handle";

  // One record later the process that left the first one is gone too, with nothing left over from earlier rounds.
  record->count = 1;
  viewer::take_procs(record.get(), table.get());
  EXPECT_EQ(table->count, 1u);
  EXPECT_EQ(model::proc_find_row(table.get(), 101), model::no_row);

  // A full record of other processes replaces a table of 1,024 rows.
  for (u32 p = 0; p < model::rows; ++p) model::proc_add(table.get(), 5000 + p, 0, 0, mem::lit("x"));
  auto many = std::make_unique<proto::ProcRecord>();
  *many = {};
  many->count = proto::proc_rows_max;
  for (u32 i = 0; i < proto::proc_rows_max; ++i) many->rows[i].pid = 9000 + i;
  viewer::take_procs(many.get(), table.get());
  viewer::take_procs(many.get(), table.get());
  EXPECT_EQ(table->count, proto::proc_rows_max);
  EXPECT_EQ(table->flags & model::flag_truncated, 0u);
}

}  // namespace fold
