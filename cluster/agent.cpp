#include "cluster/agent.h"

#include "wire/payload.h"
#include "cluster/publish.h"
#include "platform/fs.h"
#include "platform/proc.h"

namespace agent {
namespace {

void say(const Start* s, mem::Bytes first, mem::Bytes second = mem::Bytes()) {
  s->print(mem::lit("vimbrel agent: "));
  s->print(first);
  s->print(second);
  s->print(mem::lit("\n"));
}

// The key: missing or unreadable, malformed, or readable by others each end the start with code 2.
bool key_taken(const Start* s, auth::KeyState* key) {
  cluster::KeyWork work;
  u32 verdict = 0;
  u32 r = cluster::load_key(s->key_path, &work, key, &verdict);
  if (r == cluster::key_unreadable) say(s, mem::lit("no cluster key file"));
  if (r == cluster::key_refused) say(s, mem::lit("the cluster key file is refused: "), cluster::key_verdict_name(verdict));
  if (r == cluster::key_exposed) {
    say(s, mem::lit("the cluster key file can be read by others; allow only its owner (chmod 600)"));
  }
  return r == cluster::key_loaded;
}

// The machine id as main left it: 0 to go on, else the exit code.
u32 id_verdict(const Start* s) {
  switch (s->id_state) {
    case id_no_random:
      say(s, mem::lit("no random source for the machine id"));
      return exit_random;
    case id_damaged:
      say(s, mem::lit("publish.txt cannot be read; it is left as it is (mend or remove it) and no machine id is made"));
      return exit_target;
    case id_unsaved:
      say(s, mem::lit("publish.txt cannot be written; the machine id lasts for this run only"));
      return 0;
    default:
      return 0;
  }
}

// ", preferring this machine's host " when the local text names a server with a port; the link then dials it first.
void prefer_local(AgentState* a, const Start* s, u64 now) {
  if (s->local.len == 0) return;
  cluster::PublishSettings local;
  cluster::publish_reset(&local);
  if (!cluster::set_target(&local, s->local) || local.target_kind != cluster::target_server || local.port == 0) return;
  publish::prefer(&a->publisher.link, local.address, static_cast<u16>(local.port), now);
  s->print(mem::lit(", preferring this machine's host "));
  s->print(s->local);
}

}  // namespace

u32 ensure_machine_id(cluster::PublishSettings* settings, u32 read_state, mem::Bytes publish_path,
                      cluster::RandomSource random) {
  if (read_state == cluster::publish_damaged) return id_damaged;
  if (settings->id_present) return id_kept;
  u8 id[16] = {};
  u8 any = 0;
  bool drawn = random(mem::Slice{id, sizeof id}) != 0;
  for (u8 b : id) any |= b;
  // An all-zero id reads as "none" everywhere, so a source that gives one has failed.
  if (!drawn || any == 0) return id_no_random;
  cluster::set_machine_id(settings, id);
  return cluster::write_publish(publish_path, settings) ? id_made : id_unsaved;
}

u32 main(mem::Bytes target, mem::Bytes local, u16 a, u16 b, u16 c, mem::Bytes key_path,
         const cluster::PublishSettings* settings, u32 id_state, cluster::ShareBeacon share_beacon,
         ReleaseKey release_key) {
  Start s = {};
  s.target = target;
  s.local = local;
  s.version[0] = a;
  s.version[1] = b;
  s.version[2] = c;
  s.key_path = key_path;
  s.settings = settings;
  s.id_state = id_state;
  s.print = os::write_out;
  s.clock = os::clock_ms;
  s.sleep = os::sleep_ms;
  u8 path[1024];
  s.self_path = mem::Bytes(path, proc::own_path(path));
  s.arch = update_arch();
  s.share_beacon = share_beacon;
  s.release_key = release_key;
  return run(&s);
}

u8 update_arch_of(u8 family, mem::Bytes machine) {
  return family == os::family_linux ? remote_update::arch_of(machine) : 0;
}

u8 update_arch() {
  os::WindowsVersion system;
  os::windows_version(&system);  // fills the family whatever else the system answers
  u8 machine[64];
  return update_arch_of(system.family, mem::Bytes(machine, os::machine_word(machine)));
}

namespace {

// The share is made ready as the host and the candidate make it: every missing folder along the path it resolves
// to, which is the one followed from here on. One that cannot be made is said once, and the agent waits on the
// path as given, as for a share that is not there yet: otherwise a mistyped path would only ever wait in silence.
void prepare_share(const Start* s, cluster::PublishSettings* settings) {
  store::Path prepared;
  const u32 made = fs::prepare_share(mem::Bytes(settings->target, settings->target_length), &prepared);
  if (made != fs::ok) {
    say(s, mem::lit("cannot make the share folder: "), fs::share_text(made));
    return;
  }
  cluster::PublishSettings resolved = *settings;
  if (cluster::set_target(&resolved, store::path_of(&prepared)) && resolved.target_kind == cluster::target_path) {
    *settings = resolved;
  }
}

}  // namespace

u32 run(const Start* s) {
  auth::KeyState key;
  if (!key_taken(s, &key)) return exit_key;
  u32 code = id_verdict(s);
  if (code != 0) return code;
  cluster::PublishSettings settings = *s->settings;
  // A target on the command line publishes to it for this run only; publish.txt keeps its own.
  if (s->target.len != 0 && cluster::set_target(&settings, s->target)) settings.publish = 1;
  if (!settings.publish || settings.target_kind == cluster::target_invalid) {
    say(s, mem::lit("no server or share to publish to"));
    return exit_target;
  }
  if (settings.target_kind == cluster::target_path) prepare_share(s, &settings);
  if (settings.target_kind == cluster::target_path && s->share_beacon) settings = s->share_beacon(&settings);
  mem::Arena arena;
  if (!mem::arena_init(&arena, state_size)) return exit_arena;
  u64 now = s->clock();
  AgentState* a = setup(&arena, &key, &settings, s->demo, s->version[0], s->version[1], s->version[2], now);
  auth::wipe(&key, sizeof key);
  if (a == nullptr) {
    mem::release(&arena);
    return exit_arena;
  }
  a->print = s->print;
  a->clock = s->clock;
  a->sleep = s->sleep;
  start_update(a, s->self_path, s->arch, s->print, s->release_key);
  a->quit = kobj::create_quit_event();
  if (a->quit == 0) {
    u8 name[96];
    s->print(mem::lit("vimbrel agent: cannot start: another process holds this process's quit event "));
    s->print(mem::Bytes(name, kobj::quit_event_name(os::process_id(), name)));
    s->print(mem::lit("\n"));
    shutdown(a);
    mem::release(&arena);
    return exit_quit_event;
  }
  // Opened before the line that says the agent publishes, so that a stop which follows that line is an orderly one.
  a->stop_requests = os::stop_requests_open();
  s->print(mem::lit("vimbrel agent: publishing to "));
  s->print(cluster::target_text(&settings));
  prefer_local(a, s, now);
  s->print(mem::lit("\n"));
  loop(a, s->step_limit);
  kobj::close(a->quit);
  os::stop_requests_close(a->stop_requests);
  bool restart = agentupdate::exit_wanted(&a->update);
  shutdown(a);
  mem::release(&arena);
  return restart ? exit_restart : exit_ok;
}

AgentState* setup(mem::Arena* arena, const auth::KeyState* key, const cluster::PublishSettings* settings, bool demo,
                  u16 a, u16 b, u16 c, u64 now) {
  AgentState* agent = reinterpret_cast<AgentState*>(mem::alloc(arena, sizeof(AgentState), 64).ptr);
  if (agent == nullptr) return nullptr;
  publisher::init(&agent->publisher, key, settings->id, sizeof settings->id, proto::role_publisher);
  // A share is followed through the lease child, which reads the lease past the file cache beside this loop; a
  // demo run (tests) reads it itself.
  agent->publisher.in_process = demo ? 1 : 0;
  publisher::set_target(&agent->publisher, settings, now);
  machine::init(&agent->machine);
  source::start_child(&agent->source, &agent->machine, demo, 0);
  model::table_init(&agent->table);
  os::windows_version(&agent->os);
  agent->name_length = os::computer_name(agent->computer_name);
  agent->version[0] = a;
  agent->version[1] = b;
  agent->version[2] = c;
  start_update(agent, mem::Bytes(), 0, os::write_out, nullptr);
  agent->next_data = agent->next_procs = now;
  agent->print = os::write_out;
  agent->clock = os::clock_ms;
  agent->sleep = os::sleep_ms;
  return agent;
}

void loop(AgentState* agent, u64 limit) {
  while (limit == 0 || agent->steps < limit) {
    if ((agent->quit != 0 && kobj::wait(agent->quit, 0)) || os::stop_requested(agent->stop_requests)) return;
    if (agentupdate::exit_wanted(&agent->update)) return;
    u32 ms = step(agent, agent->clock(), step_cap_ms);
    if (ms != 0) agent->sleep(ms);
  }
}

u32 step(AgentState* agent, u64 now, u32 cap) {
  if (now >= agent->next_data) publish_data(agent, now);
  u64 left = agent->next_data > now ? agent->next_data - now : 0;
  u32 d = left < cap ? static_cast<u32>(left) : cap;
  // While a download runs its own socket waits; the publishing link only takes what is there.
  u32 e = publisher::tick(&agent->publisher, now, agentupdate::busy(&agent->update) ? 0 : d);
  u32 f = agentupdate::step(&agent->update, &agent->publisher, now, d);
  f = f < e ? f : e;
  bool g = update_step(agent, now);
  print_status(agent, now);
  ++agent->steps;
  u32 ms = g ? 0 : f;
  ms = ms < d ? ms : d;
  agent->slept += ms;
  return ms;
}

void publish_data(AgentState* agent, u64 now) {
  source::tick(&agent->source, &agent->machine);
  payload::inventory(&agent->machine, agent->publisher.link.machine_id, agent->computer_name, agent->name_length,
                     &agent->os, agent->version[0], agent->version[1], agent->version[2], &agent->inventory);
  publisher::send_data(&agent->publisher, &agent->machine.ring, agent->machine.pushed,
                       reinterpret_cast<const u8*>(&agent->machine.temps), &agent->inventory, now);
  agent->next_data = now + data_period_ms;
  if (now < agent->next_procs || agent->publisher.link.state != publish::open) return;
  source::take_procs(&agent->source, &agent->table);
  if (agent->table.count == 0) {
    agent->next_procs = now + data_period_ms;  // asked again a second later
    return;
  }
  agent->next_procs = now + procs_period_ms;
  payload::procs(&agent->table, agent->machine.memory_total, agent->scratch, &agent->record);
  publish::procs(&agent->publisher.link, &agent->record, now);
}

void start_update(AgentState* agent, mem::Bytes self_path, u8 arch, Writer print, ReleaseKey release_key) {
  agentupdate::UpdateState* u = &agent->update;
  u8 key[remote_update::key_size];
  const bool keyed = self_path.len != 0 && release_key != nullptr && release_key(key);
  agentupdate::init(u, remote_update::pack_version(agent->version[0], agent->version[1], agent->version[2]),
                    self_path, arch, agent->publisher.random, keyed ? key : nullptr);
  u->print = print;
  agentupdate::check_writable(u);
  publish::set_caps(&agent->publisher.link, agentupdate::enabled(u) ? hello_flags : hello_flags_no_update);
}

bool update_step(AgentState* agent, u64 now) {
  publish::PublishLink* link = &agent->publisher.link;
  agentupdate::UpdateState* u = &agent->update;
  if (link->update_now) {
    link->update_now = 0;
    agentupdate::start(u, now);
  }
  u8 phase = 0;
  u16 value = 0;
  while (link->state == publish::open && agentupdate::next_phase(u, &phase, &value)) {
    if (!publish::update_state(link, phase, static_cast<u8>(value), now)) break;
    agentupdate::phase_sent(u, phase);
  }
  if (agentupdate::exit_wanted(u)) publisher::tick(&agent->publisher, now, 0);
  return agentupdate::idle(u, now);
}

void print_status(AgentState* agent, u64 now) {
  const publish::PublishLink* link = &agent->publisher.link;
  u8 caching = publish::caching(link, now) ? 1 : 0;
  if (agent->printed && agent->printed_opens == link->opens && agent->printed_failures == link->failures &&
      agent->printed_status == link->status && agent->printed_caching == caching) {
    return;
  }
  agent->printed = 1;
  agent->printed_opens = link->opens;
  agent->printed_failures = link->failures;
  agent->printed_status = link->status;
  agent->printed_caching = caching;
  cluster::LinkView view;
  publish::view(link, now, &view);
  cluster::Text line;
  cluster::status_line(&view, now, &line);
  agent->print(mem::lit("vimbrel agent: "));
  agent->print(mem::Bytes(line.bytes, line.len));
  agent->print(mem::lit("\n"));
}

void shutdown(AgentState* agent) {
  publisher::stop(&agent->publisher);
  agentupdate::stop(&agent->update);
  source::stop(&agent->source);
}

}  // namespace agent
