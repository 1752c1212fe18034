#pragma once
// The window's update controller driven as the window drives it: a stand-in program (testutil::make_stub_worker)
// answers each worker start with a scripted packed report (and copies scripted release notes when started for them),
// so the status table, the notes child's lifetime, the missing-program recovery and update.log are seen without a
// network, on every system.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/env.h"
#include "tests/support/testutil.h"
#include "update/controller.h"

namespace desk {

using harness::bytes;

inline std::string text_of(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

inline u32 pack(u32 state, u32 reason, u32 step = 0, u32 detail = 0) {
  return update::pack_exit_code(state, reason, step, detail);
}

inline const std::string offered_manifest =
    "vimbrel-latest 1\nversion 0.1.82\nfile vimbrel-0.1.82-x86_64-linux\nsha256 " + std::string(64, '0') +
    "\nurl https://updates.quillmere.com/downloads/vimbrel/v0.1.82/vimbrel-0.1.82-x86_64-linux\n";

inline constexpr u32 day = 86400;
inline constexpr u32 start_time = 50 * day;

// A window's update controller with a stand-in program (testutil::make_stub_worker) and its settings file.
struct Desk {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path + "/run"};
  std::string program, settings;
  update::Config config = keyed(update::make_config(mem::lit("0.1.81")));
  std::unique_ptr<update::Controller> c = std::make_unique<update::Controller>();

  // The scripted worker stands for a build with a release key.
  static update::Config keyed(update::Config c) {
    c.has_key = 1;
    return c;
  }
  Desk() {
    std::filesystem::create_directories(dir.path + "/run");
    std::filesystem::permissions(dir.path + "/run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    program = testutil::make_stub_worker(dir.path);
    settings = dir.path + "/settings.txt";
  }
  void script(const std::vector<u32>& codes) {
    testutil::write_file(program + ".codes", testutil::stub_worker_codes(std::vector<unsigned>(codes.begin(), codes.end())));
  }
  void store(const updstate::Settings& s) {
    u8 text[512];
    u32 n = updstate::format_settings(&s, mem::Slice{text, sizeof text});
    testutil::write_file(settings, std::string(reinterpret_cast<char*>(text), n));
  }
  void init() { update::init_controller(c.get(), &config, bytes(program), bytes(settings), start_time); }
  // Ticks until nothing runs (a minute at most).
  void settle(u32 now) {
    for (int i = 0; i < 3000 && update::activity(c.get()); i++) {
      update::tick(c.get(), now);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(update::activity(c.get()), 0u);
  }
  std::string calls() const { return testutil::read_file(program + ".calls"); }
  std::string log() const { return testutil::read_file(dir.path + "/update.log"); }
  updstate::Settings stored() const {
    updstate::Settings s;
    updstate::load(bytes(settings), &s);
    return s;
  }
};

inline updstate::Settings fresh(u8 flags) {
  updstate::Settings s;
  updstate::reset(&s);
  s.flags = flags;
  return s;
}

inline size_t lines_of(const std::string& text) {
  size_t n = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) n++;
  return n;
}

}  // namespace desk
