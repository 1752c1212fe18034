#pragma once
// The cluster host's server. So far only the port readers that the command line and the cluster files share.
#include "base/mem.h"

namespace hub {

// Flags of the host: refuse to start while another host holds a live lease, go on although the share's self-test
// fails, serve the web dashboard beside the member port.
constexpr u32 flag_refuse_if_live = 1, flag_force_share = 2, flag_web = 16;

// One to five decimal digits with a value of 1 to 65535; 0 for anything else.
u16 parse_port(mem::Bytes text);
// The dashboard's port, two above the member port: port + 2 when flags has flag_web and port is 1 to 65533, else 0.
u16 web_port(u16 port, u32 flags);

}  // namespace hub
