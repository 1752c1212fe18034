// The Linux build's own words for the entries of the background copy and the Task Manager replacement, as the
// Settings page, `--background` and `--replace-taskmgr` show them (the Windows build has its own: tests/windows).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/registry.h"
#include "update/background.h"
#include "update/taskmgr.h"

namespace {

std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

TEST(SystemWords, TheLinuxBuildSaysItsOwn) {
  const registry::SystemWords w = registry::system_words();
  background::Control idle{};
  idle.port = 7500;
  u8 line[background::line_max];
  auto paths = std::make_unique<background::Paths>();
  ASSERT_TRUE(background::paths(paths.get(), mem::lit("/home/u/.local/share")));
  struct Case {
    const char* what;
    std::string shown, expected;
  } cases[] = {
      {"the log-on switch", text(w.start_switch), "Start at log-on"},
      {"no log-on key: an autostart file stands in", text(w.run_key), ""},
      {"the firewall line names the host's port",
       text(mem::Bytes(line, background::settings_text(&idle, mem::Slice{line, sizeof line}))),
       "Allow TCP 7500 and UDP 7421 in the firewall if it filters them; Vimbrel never changes firewall rules."},
      {"the background copy", text(paths->copy.bytes()), "/home/u/.local/share/Vimbrel/bin/vimbrel"},
      {"--background without a data folder", text(w.no_data_folder),
       "vimbrel background: no data folder: set $XDG_DATA_HOME or $HOME (~/.local/share)"},
      {"--replace-taskmgr that failed", text(taskmgr::exit_text(taskmgr::exit_failed, registry::not_supported, false)),
       "not available: this system has no Task Manager to replace"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, c.expected) << c.what;
}

}  // namespace
