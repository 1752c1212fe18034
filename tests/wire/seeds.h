#pragma once
// One valid frame or record of every kind the cluster wire knows, built with the encoders: the starting points of
// the mutation test and the fuzzing corpus.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "wire/auth.h"
#include "wire/proto.h"

namespace seeds {

using Bytes = std::vector<u8>;

template <typename Encode>
Bytes build(size_t capacity, Encode encode) {
  Bytes b(capacity);
  u32 n = encode(mem::Slice{b.data(), b.size()});
  b.resize(n);
  return b;
}

inline std::vector<Bytes> all() {
  using namespace proto;
  std::vector<Bytes> out;
  auto add = [&](Bytes b) {
    if (!b.empty()) out.push_back(b);
  };
  Hello hello = {role_publisher, 0x0C, 1, 9, {1, 2, 3}, {4, 5, 6}};
  add(build(64, [&](mem::Slice s) { return encode_hello(&hello, s); }));
  u8 bytes32[32];
  for (u32 i = 0; i < 32; ++i) bytes32[i] = static_cast<u8>(i * 7);
  for (u32 kind : {kind_reply, kind_proof, kind_watch, kind_unwatch, kind_forget, kind_update_now, kind_probe_proof}) {
    add(build(64, [&](mem::Slice s) { return encode_bytes(kind, mem::Bytes(bytes32, kind_head(kind)), s); }));
  }
  Accept accept = {4, 5, 0, 1, 81, {9, 9}};
  add(build(64, [&](mem::Slice s) { return encode_accept(&accept, s); }));
  add(build(64, [&](mem::Slice s) { return encode_refuse(reason_full, s); }));
  add(build(64, [&](mem::Slice s) { return encode_ping(s); }));
  Moved moved = {3, 0x0A000001, 7420};
  add(build(64, [&](mem::Slice s) { return encode_moved(&moved, s); }));
  Probe probe = {{1}, {2}};
  add(build(64, [&](mem::Slice s) { return encode_probe(&probe, s); }));
  ProbeReply reply = {{1}, {2}, {3}};
  add(build(80, [&](mem::Slice s) { return encode_probe_reply(&reply, s); }));

  Inventory inv;
  memset(&inv, 0, sizeof inv);
  inv.gpu_count = 1, inv.disk_count = 2, inv.adapter_count = 1, inv.os_family = 2, inv.disk_bits[0] = 3;
  for (u32 s : {0u, 1u, 2u, 3u, 7u, 8u, 23u, 24u, 39u}) memcpy(inv.names[s], "name", 4);
  add(build(2048, [&](mem::Slice s) { return encode_inventory(&inv, s); }));
  u8 row[sample_size] = {};
  row[4] = 0x10, row[22] = 1, row[20] = 5;
  add(build(600, [&](mem::Slice s) { return encode_sample(row, s); }));
  auto* procs = new ProcRecord;
  memset(procs, 0, sizeof *procs);
  procs->count = 3;
  for (u32 i = 0; i < 3; ++i) procs->rows[i].pid = i + 1, memcpy(procs->rows[i].name, "proc", 4);
  add(build(512, [&](mem::Slice s) { return encode_procs(procs, nullptr, 1, s); }));
  delete procs;
  u8 temps[temps_block_size] = {};
  temps[6] = 2, temps[7] = 1, temps[8] = 1, temps[12] = 100, temps[52] = 50;
  memcpy(temps + 68, "zone", 4);
  add(build(300, [&](mem::Slice s) { return encode_temps(temps, s); }));

  auto* list = new MachineList;
  memset(list, 0, sizeof *list);
  list->count = 2, list->host_mask = 2;
  memcpy(list->names[1], "host", 4);
  add(build(512, [&](mem::Slice s) { return encode_list(list, s); }));
  delete list;
  Bytes backfill(16 + 8 + 64, 0);
  memcpy(backfill.data(), "VBP1\x01\x00\x14\x00\x48", 9);
  backfill[16] = 1;
  add(backfill);
  auto* peers = new Peers;
  memset(peers, 0, sizeof *peers);
  peers->count = 1, peers->address_kinds[0] = 1;
  add(build(256, [&](mem::Slice s) { return encode_peers(peers, s); }));
  delete peers;
  add(build(64, [&](mem::Slice s) { return encode_update_state(3, 1, s); }));
  auto* updates = new Updates;
  memset(updates, 0, sizeof *updates);
  updates->count = 2, updates->phases[1] = 8;
  add(build(256, [&](mem::Slice s) { return encode_updates(updates, s); }));
  delete updates;
  HistoryAsk ask = {{7}, 1, 0, 3, 10, 20};
  add(build(64, [&](mem::Slice s) { return encode_history(&ask, s); }));
  u8 bucket_rows[2 * bucket_size] = {};
  BucketAnswer answer = {1, 0, {5}, mem::Bytes(bucket_rows, sizeof bucket_rows)};
  add(build(256, [&](mem::Slice s) { return encode_buckets(&answer, 1, s); }));
  u8 rows[2 * 112] = {};
  memcpy(rows, "name", 4);
  for (u32 kind : {kind_names, kind_tops, kind_energy}) {
    add(build(512, [&](mem::Slice s) { return encode_rows(kind, 2, bytes32, mem::Bytes(rows, sizeof rows), 2, s); }));
  }
  UpdateAsk update_ask = {1, 0, 1, 82, 0};
  add(build(64, [&](mem::Slice s) { return encode_update_ask(&update_ask, s); }));
  UpdateChunk chunk = {1, 0, 0, 1, 82, 100, 0, 13, {}};
  add(build(128, [&](mem::Slice s) { return encode_update_chunk(&chunk, mem::Bytes(bytes32, 13), s); }));

  auth::KeyState key;
  auth::key_init(&key, mem::lit("fuzzing key"));  // the key the checks open seals with
  Lease lease = {1, 2, 3, 150, 7420, 0x0A000001, 0, {8}};
  add(build(64, [&](mem::Slice s) { return encode_lease(&lease, s) && auth::seal(&key, s) ? 64u : 0u; }));
  add(build(64, [&](mem::Slice s) { return encode_claim(&lease, s) && auth::seal(&key, s) ? 64u : 0u; }));
  Beacon beacon = {8, 2, 3, 7420, 3, 200, 0x0A000001, {8}};
  add(build(64, [&](mem::Slice s) { return encode_beacon(&beacon, s) && auth::seal(&key, s) ? 64u : 0u; }));
  Member member = {3, 2, 1, 200, 7420, 0x0A000002, 1, {9}};
  add(build(64, [&](mem::Slice s) { return encode_member(&member, s) && auth::seal(&key, s) ? 64u : 0u; }));
  auto* roster = new Roster;
  memset(roster, 0, sizeof *roster);
  roster->count = 2, roster->rows[0].flags = 7;
  add(build(1600, [&](mem::Slice s) { return encode_roster(roster, s) && auth::seal(&key, s) ? 1600u : 0u; }));
  delete roster;
  return out;
}

// Texts of the cluster files: a key file and a publish file.
inline std::vector<Bytes> texts() {
  auto bytes = [](const char* t) { return Bytes(t, t + strlen(t)); };
  return {
      bytes("\xEF\xBB\xBFvimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF\r\n"),
      bytes("vimbrel-publish 1\npublish on\ntarget 10.0.0.5:7420\nbeacon 10.0.0.255:7421\n"
            "id 000102030405060708090a0b0c0d0e0f\n"),
      bytes("vimbrel-publish 1\r\npublish off\r\ntarget /mnt/cluster\r\nbeacon off\r\n"),
  };
}

}  // namespace seeds
