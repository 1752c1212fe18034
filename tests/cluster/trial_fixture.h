#pragma once
// The agent's self-update on real files: a program file with its neighbours in a folder of its own, the agent's
// update state over it, and the words the trial and revert modes print.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cluster/agentupdate.h"
#include "platform/os.h"
#include "tests/support/testutil.h"

namespace trialfix {

// What the modes printed.
inline std::string printed;
inline void keep(mem::Bytes b) { printed.append(reinterpret_cast<const char*>(b.ptr), b.len); }
inline mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
inline bool exists(const std::string& p) { return std::filesystem::exists(std::filesystem::symlink_status(p)); }

inline std::string record(u64 version, u8 starts) {
  u8 r[remote_update::trial_size];
  remote_update::trial_record(version, starts, r);
  return std::string(reinterpret_cast<char*>(r), sizeof r);
}

inline const u64 v80 = remote_update::pack_version(0, 1, 80);
inline const u64 v81 = remote_update::pack_version(0, 1, 81);

// A program file P with its neighbours in a folder of its own.
struct Program {
  testutil::TempDir dir;
  std::string p = dir.path + "/vimbrel";
  Program() { printed.clear(); }
  std::string at(const char* suffix) const { return p + suffix; }
  void put(const char* suffix, const std::string& content) const { testutil::write_file(at(suffix), content); }
  std::string get(const char* suffix) const { return testutil::read_file(at(suffix)); }
};

inline const char* const trial_line =
    "vimbrel agent: the update is on trial, start %d of 3 before the previous binary comes back\n";
inline std::string trial_text(int n) {
  char b[160];
  snprintf(b, sizeof b, trial_line, n);
  return b;
}
inline const char* const back_line = "vimbrel agent: the update was not confirmed; the previous binary is back\n";
inline const char* const cannot_line = "vimbrel agent: cannot put the previous binary back\n";

// ---- The self-update state of an agent.

// A release key for the agents that only need one to be there.
inline const u8 some_key[remote_update::key_size] = {1, 2, 3};

struct Agent {
  Program f;
  agentupdate::UpdateState u;
  explicit Agent(u64 own = v80, u8 arch = remote_update::arch_x86_64, const u8* key = some_key) {
    agentupdate::init(&u, own, bytes(f.p), arch, os::random_bytes, key);
    u.print = keep;
  }
  std::vector<std::pair<u8, u16>> phases() {
    std::vector<std::pair<u8, u16>> out;
    u8 phase;
    u16 value;
    while (agentupdate::next_phase(&u, &phase, &value)) {
      out.push_back({phase, value});
      agentupdate::phase_sent(&u, phase);
    }
    return out;
  }
};

}  // namespace trialfix
