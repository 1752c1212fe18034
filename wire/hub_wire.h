#pragma once
// What members, the window and the host share of the host's rules: the port text every mode parses, and one
// machine at a glance (the summary row of the list frames), which the host sends and the window's own history
// writer computes for this computer. They live with the wire so that the links and the history below the host see
// them; the names stay the host's.
#include "base/mem.h"
#include "wire/proto.h"
#include "sampling/ring.h"

namespace hub {

// One to five decimal digits with a value of 1 to 65535; 0 for anything else.
u16 parse_port(mem::Bytes text);

// Summary state bits.
constexpr u32 state_stale = 1, state_offline = 2;

// What a summary takes of a machine besides its newest sample: from its inventory on the host, from its own machine
// record in the desktop window.
struct SummaryInputs {
  u32 inventory_flags;     // nonzero when the inventory's hardware flags are
  u8 system_kind;          // 1 Windows, 2 Linux, 3 macOS, ...; 0 unknown
  u16 logical_processors;
  u32 memory_total_mib;
  u32 gpu_count;           // only the first four count
  u32 dedicated_mib[4];    // each GPU's own video memory
  u32 shared_mib[4];       // each GPU's share of system memory
};

// The inputs as a machine's inventory gives them: the finer system value when it has one, else the family.
SummaryInputs summary_inputs(const proto::Inventory* inventory);
// One machine at a glance, from its newest sample and the state bits. Shares are of 10,000, sums saturate, and a
// machine whose every GPU has at most 512 MiB of its own and some shared memory reports the shared figures.
proto::Summary summary_row(const ring::Row* sample, u32 state, const SummaryInputs* inputs);

}  // namespace hub
