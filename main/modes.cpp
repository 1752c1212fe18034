#include "main/modes.h"

#include "cluster/agent.h"
#include "wire/cluster.h"
#include "host/hubloop.h"
#include "cluster/lease.h"
#include "internet/request.h"
#include "mcp/mcp.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "sampling/feed.h"
#include "sampling/snap.h"
#include "shell/app.h"
#include "update/background.h"
#include "update/controller.h"
#include "update/update.h"

namespace modes {
namespace {

u32 window(mem::Bytes version, u32 flags, mem::Bytes test_folder, mem::Bytes settings, u32 view, u32 dpi,
           mem::Bytes support) {
  return app::gui_main(version, flags, test_folder, settings, view, dpi, support);
}
// The update worker: one step for the running program, reported only through the packed exit code.
u32 update_worker(mem::Bytes version, u32 mode) {
  update::Config config = update::make_config(version);
#ifdef VIMBREL_TEST_SEAMS
  update::TestSeams seams;
  update::apply_test_seams(&config, &seams);
#endif
  return update::worker_main(&config, mode);
}
// The release notes of the saved manifest into notes.txt. The window reads only the exit code (0 to 5); a person
// who runs it is told why it failed.
u32 update_notes(mem::Bytes version) {
  update::Config config = update::make_config(version);
#ifdef VIMBREL_TEST_SEAMS
  update::TestSeams seams;
  update::apply_test_seams(&config, &seams);
#endif
  const u32 code = update::notes_main(&config);
  if (code != 0) {
    os::write_err(mem::lit("vimbrel: --update-notes: "));
    os::write_err(update::notes_failure_word(code));
    os::write_err(mem::lit("\n"));
  }
  return code;
}
u32 internet_child(mem::Bytes section) { return internet::child_main(section); }
// The check asks the public service; a test build may point it at a loopback server instead, with
// VIMBREL_TEST_INTERNET="<host>:<port>" (plain HTTP), so no test ever reaches the service.
u32 internet_check() {
  internet::Endpoint endpoint = internet::default_endpoint();
#ifdef VIMBREL_TEST_SEAMS
  u8 text[96];
  u64 length = 0;
  if (fs::env_var(mem::lit("VIMBREL_TEST_INTERNET"), mem::Slice{text, sizeof text}, &length) == fs::ok && length) {
    u64 colon = length;
    while (colon > 0 && text[colon - 1] != ':') colon--;
    u32 port = 0;
    for (u64 i = colon; i < length && text[i] >= '0' && text[i] <= '9'; i++) port = port * 10 + (text[i] - '0');
    if (colon > 1) internet::set_endpoint(&endpoint, mem::Bytes(text, colon - 1), port, 0);
  }
#endif
  return internet::check(&endpoint);
}
// A trial needs the previous program beside P, which the swap left there: without it nothing is on trial, and a
// count kept for it (a P.trial made from nothing, then a revert that cannot happen) would only mislead.
u32 agent_trial(mem::Bytes path, Writer console) {
  u8 text[agentupdate::suffixed_max];
  u32 n = agentupdate::with_suffix(path, agentupdate::prev_suffix(), mem::Slice{text, sizeof text});
  if (n != 0 && fs::kind(mem::Bytes(text, n)) != 1) {
    console(mem::lit("vimbrel agent: nothing is on trial: there is no previous program beside this one\n"));
    return agentupdate::trial_bad_path;
  }
  return agentupdate::trial_main(path, console);
}
u32 agent_revert(mem::Bytes path, Writer console) { return agentupdate::revert_main(path, console); }
// Main answers a wrong mode word with the usage text; a change that failed or was refused says why on standard
// error, since the exit code alone does not tell a user at a console.
u32 replace_taskmgr(mem::Bytes mode, u32 test) {
  taskmgr::Outcome outcome{};
  const u32 code = taskmgr::replace_main(mode, test, &outcome);
  const mem::Bytes why = taskmgr::exit_text(code, outcome.error, test != 0);
  if (why.len) {
    os::write_err(mem::lit("vimbrel: --replace-taskmgr: "));
    os::write_err(why);
    os::write_err(mem::lit("\n"));
  }
  return code;
}
// The MCP server reads the cluster key and publish settings at each cluster call, from the paths main built.
u32 mcp_server(mem::Bytes version, const ClusterFiles* files) {
  return mcp::main(version, files->key_path, files->publish_path, background::prefer_own_host);
}

// The host and the candidate answer a missing share themselves, with their own line and exit code.
bool no_share(mem::Bytes share) {
  if (share.len != 0) return false;
  os::write_line(mem::lit("vimbrel host: no share or folder"));
  return true;
}
u32 host(mem::Bytes share, u32 listen, u16 port, u32 flags, u16 major, u16 minor, u16 patch, const ClusterFiles* files) {
  const u16 version[3] = {major, minor, patch};
  return hub::host_command(share, files->key_path, listen, port, flags, version);
}
// The candidate's node id is the machine id of publish.txt; when none could be made or kept, one for this run.
u32 election(mem::Bytes share, const elect::Config* config, const ClusterFiles* files, u64 rounds) {
  if (no_share(share)) return 4;
  u8 id[16] = {};
  if (files->settings != nullptr && files->settings->id_present) {
    __builtin_memcpy(id, files->settings->id, 16);
  } else {
    os::random_bytes(mem::Slice{id, sizeof id});
  }
  return elect::main(files->key_path, share, id, config, rounds);
}
// A test build may make the agent report an older version with VIMBREL_TEST_AGENT_VERSION="a.b.c", so that a test
// host of this build's version has something to update it to.
u32 agent_mode(mem::Bytes target, mem::Bytes local, u16 a, u16 b, u16 c, const ClusterFiles* files) {
#ifdef VIMBREL_TEST_SEAMS
  u8 text[24];
  u64 length = 0;
  if (fs::env_var(mem::lit("VIMBREL_TEST_AGENT_VERSION"), mem::Slice{text, sizeof text}, &length) == fs::ok) {
    u16 part[3] = {};
    u32 at = 0;
    for (u64 i = 0; i < length && at < 3; ++i) {
      if (text[i] == '.') ++at;
      else if (text[i] >= '0' && text[i] <= '9') part[at] = static_cast<u16>(part[at] * 10 + (text[i] - '0'));
    }
    a = part[0];
    b = part[1];
    c = part[2];
  }
#endif
  return agent::main(target, local, a, b, c, files->key_path, files->settings, files->id_state,
                     background::prefer_own_host, update::release_key);
}

}  // namespace

Entries program() {
  Entries e;
  e.window = window;
  e.update_worker = update_worker;
  e.update_notes = update_notes;
  e.collector = feed::main;
  e.lease = lease::child_main;
  e.internet = internet_child;
  e.internet_check = internet_check;
  e.background = background::main;
  e.agent_trial = agent_trial;
  e.agent_revert = agent_revert;
  e.linux_fetch = linuxfeed::fetch_main;
  e.replace_taskmgr = replace_taskmgr;
  e.print = snap::print_main;
  e.replay = snap::replay_main;
  e.record = snap::record_main;
  e.mcp = mcp_server;
  e.host = host;
  e.elect = election;
  e.agent = agent_mode;
  return e;
}

}  // namespace modes


