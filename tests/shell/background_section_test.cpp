// The Settings page's Background section outside the test mode, on the test's own folders: its switches install and
// start the background copy (a copy of the build), show what the copy reports, add and remove the start at log-on,
// tell the cluster settings who publishes, and let the copy end when no role is left.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "pages/clusterui.h"
#include "platform/kobj.h"
#include "widgets/hitmap.h"
#include "shell/loop.h"
#include "shell/pages.h"
#include "shell/title.h"
#include "tests/shell/shell_window.h"
#include "update/background.h"

namespace {

bool eventually(const std::function<bool()>& condition, int seconds = 60) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    usleep(100000);
  }
  return condition();
}

struct BackgroundWindow : shelltest::ShellWindow {
  background::Paths paths{};
  BackgroundWindow() : ShellWindow(false) {
    if (!made) return;
    background::paths(&paths, mem::Bytes());
    app::start_pages(&s, mem::Bytes(), mem::Bytes());
    // The copy is made from the build, not from this test program.
    background::Path& program = s.model->background.program;
    const std::string exe = VIMBREL_EXE;
    __builtin_memcpy(program.text, exe.data(), exe.size());
    program.length = static_cast<u32>(exe.size());
    s.page = app::page_settings;
    app::relayout(&s);
  }
  ~BackgroundWindow() {
    // No role left: the copy ends when woken; whatever still runs from the folder is ended.
    std::filesystem::create_directories(dir.path + "/Vimbrel");
    testutil::write_file(dir.path + "/Vimbrel/background.txt", "vimbrel-background 1\n");
    kobj::wake(paths.wake());
    eventually([&] { return !running(); }, 30);
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
      char target[4096];
      const ssize_t n = readlink((std::string("/proc/") + e->d_name + "/exe").c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, n).rfind(dir.path + "/", 0) == 0) kill(atoi(e->d_name), SIGKILL);
    }
    if (d) closedir(d);
  }
  // A press and release on the slot, as the pointer gives them.
  void click(u32 slot) {
    const draw::Rect r = app::slot_rect(s.map, slot);
    for (u32 message : {win::wm_lbuttondown, win::wm_lbuttonup}) {
      win::Msg m{};
      m.window = s.window;
      m.message = message;
      m.wparam = message == win::wm_lbuttondown ? 1 : 0;
      m.lparam = static_cast<i64>(u32(u16(r.left + 10)) | (u32(u16(r.top + 10)) << 16));
      app::pre_dispatch(&s, m);
    }
  }
  bool running() const { return kobj::mutex_exists(paths.mutex()) != 0; }
  std::string line() {
    u8 text[background::line_max];
    return std::string(reinterpret_cast<char*>(text),
                       background::settings_text(&s.model->background, mem::Slice{text, sizeof text}));
  }
  std::string file(const std::string& name) { return testutil::read_file(dir.path + "/" + name); }
};

TEST(BackgroundSection, SwitchesInstallStartAndStopTheCopyAndTheLogOnEntry) {
  BackgroundWindow w;
  ASSERT_TRUE(w.made);
  ASSERT_EQ(w.s.model->background.mode, background::mode_normal);
  EXPECT_EQ(w.s.model->background.roles, 0);

  w.click(app::slot_background0);  // "Can be the host"
  EXPECT_NE(w.file("Vimbrel/background.txt").find("\nhost on\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(w.dir.path + "/Vimbrel/bin/vimbrel")) << "installed from the build";
  EXPECT_TRUE(eventually([&] { return w.running(); }));
  // The page reads the copy's status on its ticks: no share is set, so the host has nothing to elect on.
  EXPECT_TRUE(eventually([&] {
    app::pages_tick(&w.s);
    return w.line() == "Host: Needs a share under Server or share.";
  })) << w.line();

  // "Publish when closed" hands publishing to the copy.
  w.click(app::slot_background0 + 1);
  EXPECT_NE(w.file("Vimbrel/background.txt").find("\nagent on\n"), std::string::npos);
  EXPECT_EQ(w.s.model->cluster_ui.background, 1);

  // Start at log-on: the autostart entry runs the copy; a second click removes it.
  w.click(app::slot_background0 + 2);
  EXPECT_TRUE(w.s.model->background.run_present);
  EXPECT_NE(w.file("autostart/vimbrel.desktop").find(w.dir.path + "/Vimbrel/bin/vimbrel"), std::string::npos);
  w.click(app::slot_background0 + 2);
  EXPECT_FALSE(w.s.model->background.run_present);
  EXPECT_FALSE(std::filesystem::exists(w.dir.path + "/autostart/vimbrel.desktop"));

  // With both roles off the copy is woken and ends; the window publishes for itself again.
  w.click(app::slot_background0 + 1);
  w.click(app::slot_background0);
  EXPECT_EQ(w.s.model->cluster_ui.background, 0);
  EXPECT_TRUE(eventually([&] { return !w.running(); }));
}

}  // namespace
