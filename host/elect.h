#pragma once
// The host election. So far its configuration record, which the command line fills.
#include "base/mem.h"

namespace elect {

// Flag of Config::flags: the candidate goes on although the share's self-test fails.
constexpr u32 flag_force_share = 16;

// The candidate's configuration, 32 bytes, little-endian; every byte not named is zero.
struct Config {
  u32 listen;          // listen IPv4 address, host order; 0 = any
  u16 port;            // TCP member port
  u16 beacon_port;     // first UDP port that beacons are sent to
  u16 beacon_ports;    // consecutive UDP ports, from beacon_port, that each beacon goes to (at least 1)
  u16 bind_port;       // UDP port the beacon socket binds (0 = beacon_port)
  u8 priority;         // 1 to 255
  u8 zero13[3];
  u32 flags;           // flag_force_share; other bits 0
  u32 announce;        // the address announced to peers: the listen address again
  u8 start_attempts;
  u8 zero25;
  u16 version[3];      // the program's version parts
};
static_assert(sizeof(Config) == 32, "the election configuration is 32 bytes");
static_assert(__builtin_offsetof(Config, port) == 4 && __builtin_offsetof(Config, beacon_port) == 6 &&
                  __builtin_offsetof(Config, beacon_ports) == 8 && __builtin_offsetof(Config, bind_port) == 10 &&
                  __builtin_offsetof(Config, priority) == 12 && __builtin_offsetof(Config, flags) == 16 &&
                  __builtin_offsetof(Config, announce) == 20 && __builtin_offsetof(Config, start_attempts) == 24 &&
                  __builtin_offsetof(Config, version) == 26,
              "election configuration offsets");

}  // namespace elect
