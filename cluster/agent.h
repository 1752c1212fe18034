#pragma once
// The agent: a headless publisher of this machine. It checks the cluster files, samples the machine through the
// collector child and sends the inventory, the samples and the temperatures each second and up to 256 chosen
// processes every two seconds to the cluster host, in short steps of at most 100 ms, until it is asked to stop (its
// quit event, or SIGTERM and SIGINT on Linux). It reports on standard output, one line each time the link's state
// changes.
#include "base/mem.h"
#include "cluster/agentupdate.h"
#include "wire/cluster.h"
#include "cluster/publisher.h"
#include "wire/proto.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/source.h"

namespace agent {

// Results of ensure_machine_id.
enum : u32 {
  id_kept = 0,       // the settings already carried an id
  id_made = 1,       // a new id, saved in publish.txt
  id_unsaved = 2,    // a new id that could not be saved: it lasts for this run only
  id_no_random = 3,  // the random source failed: no id
  id_damaged = 4,    // publish.txt is there but damaged: it is left as it is and no id is made
};

// When the settings carry no machine id, 16 bytes from the random source become one and publish.txt is written
// back with the file's own settings. read_state is cluster::read_publish_state's answer for the same file: a
// damaged file is never written over, since that would lose the user's settings and the id it may still hold.
u32 ensure_machine_id(cluster::PublishSettings* settings, u32 read_state, mem::Bytes publish_path,
                      cluster::RandomSource random);

// Exit codes of the mode.
// exit_quit_event: another process holds the name of this process's quit event, so nothing could stop it in order.
enum : u32 {
  exit_ok = 0,
  exit_key = 2,
  exit_target = 4,
  exit_arena = 5,
  exit_random = 6,
  exit_quit_event = 7,
  exit_restart = 8,
};

constexpr u64 state_size = 552704;
constexpr u32 data_period_ms = 1000;
constexpr u32 procs_period_ms = 2000;
constexpr u32 step_cap_ms = 100;
// The hello says the agent takes update orders, and whether it can update itself.
constexpr u8 hello_flags = proto::hello_update_orders;
constexpr u8 hello_flags_no_update = proto::hello_update_orders | proto::hello_no_self_update;

using Writer = void (*)(mem::Bytes bytes);
using Clock = u64 (*)();
using Sleeper = void (*)(u32 ms);

// Everything the mode starts from: the command line's target and local host, the version, and the cluster files
// main gathered; the rest are seams that tests replace.
// The release key this program trusts: true with the key in out, false when the build has none.
using ReleaseKey = bool (*)(u8 out[32]);

struct Start {
  mem::Bytes target;  // empty, a server ipv4[:port] or a share or folder
  mem::Bytes local;   // empty or ipv4[:port]
  u16 version[3];
  mem::Bytes key_path;
  const cluster::PublishSettings* settings;  // publish.txt as read, with its machine id
  u32 id_state;                              // ensure_machine_id's answer
  Writer print;                              // the status lines (standard output)
  Clock clock;                               // milliseconds (os::clock_ms)
  Sleeper sleep;                             // os::sleep_ms
  bool demo;                                 // demo figures in place of the collector child (tests only)
  u64 step_limit;                            // 0: no limit
  mem::Bytes self_path;                      // this program's file, which a self-update replaces; empty: none
  u8 arch;                                   // the machine's architecture code (remote_update); 0: none
  cluster::ShareBeacon share_beacon;         // a share target's beacon as the window follows it; null: as read
  ReleaseKey release_key;                    // the key a self-update's signature must verify with; null: none
};

struct AgentState {
  publisher::Publisher publisher;
  agentupdate::UpdateState update;
  source::Source source;
  machine::Machine machine;
  model::ProcTable table;
  u32 scratch[2 * model::rows];
  proto::ProcRecord record;
  proto::Inventory inventory;
  os::WindowsVersion os;
  u8 computer_name[64];
  u32 name_length;
  u16 version[3];
  u64 next_data;
  u64 next_procs;
  // The status line as last printed.
  u32 printed_opens, printed_failures;
  u8 printed_status, printed_caching, printed;
  u64 steps;
  u64 slept;
  kobj::Handle quit;
  u64 stop_requests;
  Writer print;
  Clock clock;
  Sleeper sleep;
};
static_assert(sizeof(AgentState) + 64 <= state_size, "the agent's state fits its arena");

// The mode with the program's own seams: status lines on standard output, the system's clock and sleep, the
// program's own file and the machine's architecture for the self-update.
u32 main(mem::Bytes target, mem::Bytes local, u16 a, u16 b, u16 c, mem::Bytes key_path,
         const cluster::PublishSettings* settings, u32 id_state, cluster::ShareBeacon share_beacon,
         ReleaseKey release_key);
// This machine's architecture code for the self-update (remote_update's codes); 0 when it has none. Hosts serve
// Linux builds only, so an agent of another system has none: it tells its host that it cannot be updated, and never
// asks for a build it could not run.
u8 update_arch();
// The same for a system family (os::family_*) and the machine's processor word.
u8 update_arch_of(u8 family, mem::Bytes machine);
// The mode; returns the exit code.
u32 run(const Start* start);

// The state from the arena (null when it does not fit), the publisher aimed at the settings' target, the sample
// source started, the version and this machine's names.
AgentState* setup(mem::Arena* arena, const auth::KeyState* key, const cluster::PublishSettings* settings, bool demo,
                  u16 a, u16 b, u16 c, u64 now);
// Steps until the step limit (0: none), the quit event or a request to stop.
void loop(AgentState* agent, u64 limit);
// One step: data when due, the publisher, update orders and the status line. The milliseconds to sleep (at most
// cap).
u32 step(AgentState* agent, u64 now, u32 cap);
void publish_data(AgentState* agent, u64 now);
// Self-update from the program file given (empty: off) for the architecture; says in the hello whether it can.
void start_update(AgentState* agent, mem::Bytes self_path, u8 arch, Writer print, ReleaseKey release_key);
// Update orders of the host, and the self-update's phases sent while the link is open. True when no try is due
// (the step may sleep).
bool update_step(AgentState* agent, u64 now);
void print_status(AgentState* agent, u64 now);
void shutdown(AgentState* agent);

}  // namespace agent
