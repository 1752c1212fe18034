#pragma once
// The one table of mode entries that the command line hands over to. Each entry takes what the command line gave;
// the cluster modes (--agent, --mcp, --host, --elect) also get the cluster files that main gathers for them (key
// and publish paths, publish settings, machine id); what a mode needs beyond that (update configuration, probe
// endpoint) it gathers itself.
#include "base/mem.h"
#include "cluster/agentupdate.h"
#include "wire/cluster.h"
#include "host/elect.h"
#include "host/linuxfeed.h"
#include "internet/internet.h"
#include "update/background.h"
#include "update/taskmgr.h"
#include "update/update.h"

namespace modes {

// A console writer: the bytes go out, nothing comes back.
using Writer = void (*)(mem::Bytes bytes);

// What main gathers for the cluster modes before it hands over. The settings are publish.txt as read (the defaults
// when it is missing or damaged) with the machine id made by agent::ensure_machine_id when it had none; the id is
// settings->id when settings->id_present is set.
struct ClusterFiles {
  mem::Bytes key_path;      // <config>/Vimbrel/cluster.key; empty when the folder is not known
  mem::Bytes publish_path;  // <config>/Vimbrel/publish.txt; empty likewise
  const cluster::PublishSettings* settings;
  u32 publish_state;  // cluster::read_publish_state's answer
  u32 id_state;       // agent::ensure_machine_id's answer
};

struct Entries {
  // The desktop window: version text, window flag word, test folder, settings file, start view (0xFFFFFFFF none),
  // DPI (0 = the monitor's), support file.
  u32 (*window)(mem::Bytes version, u32 flags, mem::Bytes test_folder, mem::Bytes settings, u32 view, u32 dpi,
                mem::Bytes support);
  u32 (*update_worker)(mem::Bytes version, u32 mode);  // mode: 1 check, 2 fetch, 3 swap, 0 any other word
  u32 (*update_notes)(mem::Bytes version);
  u32 (*collector)(mem::Bytes section);
  u32 (*lease)(mem::Bytes section);
  u32 (*internet)(mem::Bytes section);
  u32 (*internet_check)();
  u32 (*background)(mem::Bytes version);
  u32 (*agent_trial)(mem::Bytes argument, Writer console);
  u32 (*agent_revert)(mem::Bytes argument, Writer console);
  u32 (*linux_fetch)(mem::Bytes arch, u16 major, u16 minor, u16 patch);
  u32 (*replace_taskmgr)(mem::Bytes mode, u32 test);
  u32 (*print)();
  u32 (*replay)(mem::Bytes file);
  u32 (*record)(mem::Bytes file);
  u32 (*mcp)(mem::Bytes version, const ClusterFiles* files);
  // listen: IPv4 in host order (0 any); flags: 1 refuse if live, 2 force share, 16 web.
  u32 (*host)(mem::Bytes share, u32 listen, u16 port, u32 flags, u16 major, u16 minor, u16 patch,
              const ClusterFiles* files);
  // The election also takes a 64-bit value with all bits set (its meaning is the election's).
  u32 (*elect)(mem::Bytes share, const elect::Config* config, const ClusterFiles* files, u64 all_ones);
  // target: empty, a server ipv4[:port] or a share or folder; local: empty or ipv4[:port].
  u32 (*agent)(mem::Bytes target, mem::Bytes local, u16 major, u16 minor, u16 patch, const ClusterFiles* files);
};

// The program's own entries.
Entries program();

}  // namespace modes

