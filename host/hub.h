#pragma once
// The cluster host's server. So far only the port readers that the command line and the cluster files share.
#include "base/mem.h"

namespace hub {

// Flag of the host's option word: the web dashboard is served beside the member port.
constexpr u32 flag_web = 16;

// One to five decimal digits with a value of 1 to 65535; 0 for anything else.
u16 parse_port(mem::Bytes text);
// The dashboard's port, two above the member port: port + 2 when flags has flag_web and port is 1 to 65533, else 0.
u16 web_port(u16 port, u32 flags);

}  // namespace hub
