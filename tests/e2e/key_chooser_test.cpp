// "Choose file..." on the Settings page outside --test, on an X server of the test's own: the desktop's chooser is
// a stand-in program on PATH inside the test's folder (zenity, or kdialog when zenity is missing) that answers with
// a key file, or cancels; with none on PATH the key field says to type the path. No session bus is reachable, so the
// portal road is passed over as on a desktop without one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

using driver::until;

constexpr u32 wait_ms = 90000;  // the sanitized program on a loaded machine
constexpr u32 wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202;
// "Choose file..." and the key field at 1280 x 800 with the Settings page at its top.
constexpr i32 choose_x = 1098, key_y = 564, field_x = 600;
const std::string hex_key = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

void write(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  chmod(path.c_str(), mode);
}

struct Desk {
  driver::Session d;
  xvfb::Server x{d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
  const std::string bin = d.folder() + "/bin", cfg = d.folder() + "/cfg/Vimbrel";
  const std::string chosen = d.folder() + "/my cluster.key";

  // A stand-in chooser: it notes its arguments and answers with the chosen file's path and the exit code.
  void stand_in(const std::string& name, int code) {
    std::filesystem::create_directories(bin);
    write(bin + "/" + name,
          "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n" +
              std::string(code == 0 ? "printf '%s\\n' '" + chosen + "'\n" : "") + "exit " + std::to_string(code) +
              "\n",
          0755);
  }
  bool start() {
    if (x.display.empty()) return false;
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(cfg);
    write(chosen, "vimbrel-key 1 " + hex_key + "\n", 0600);
    d.use_display(x.display);
    d.outside_test();
    d.set_env("PATH", bin);
    d.set_env("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + d.folder() + "/no-bus");
    return d.start(VIMBREL_EXE, "", {"--view", "33"}) && d.find_window("Vimbrel", wait_ms);
  }
  bool click(i32 cx, i32 cy) {
    return d.post(wm_lbuttondown, 1, driver::at(cx, cy)) && d.post(wm_lbuttonup, 0, driver::at(cx, cy));
  }
  std::string key() const { return testutil::read_file(cfg + "/cluster.key"); }
  // The key field's pixels.
  u64 field() const { return driver::hash_of(d.frame(), 424, 552, 760, 576); }
};

TEST(KeyChooser, AStandInChooserOnPathAnswersWithTheKeyFile) {
  struct Case {
    const char* program;
    int code;
    const char* argument;  // one of the arguments it must have been given
  };
  const Case cases[] = {
      {"zenity", 0, "--file-selection"},
      {"kdialog", 0, "--getopenfilename"},
      {"zenity", 1, "Cluster key (*.key) | *.key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " exit " + std::to_string(c.code));
    Desk k;
    if (k.x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
    k.stand_in(c.program, c.code);
    ASSERT_TRUE(k.start());
    ASSERT_TRUE(k.click(choose_x, key_y));
    const std::string args = k.bin + "/" + c.program + ".args";
    ASSERT_TRUE(until([&] { return !testutil::read_file(args).empty(); })) << "the chooser was not started";
    EXPECT_NE(testutil::read_file(args).find(c.argument), std::string::npos) << testutil::read_file(args);
    EXPECT_NE(testutil::read_file(args).find(k.cfg), std::string::npos) << "starts in the key's folder";
    if (c.code == 0) {
      EXPECT_TRUE(until([&] { return k.key().rfind("vimbrel-key 1 " + hex_key, 0) == 0; })) << k.key();
    } else {
      usleep(500000);
      EXPECT_EQ(k.key(), "") << "a cancelled chooser imports nothing";
    }
    EXPECT_EQ(k.d.end(), 0);
  }
}

TEST(KeyChooser, WithoutAChooserTheKeyFieldSaysToTypeThePath) {
  Desk k;
  if (k.x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
  ASSERT_TRUE(k.start());
  u64 before = 0;
  ASSERT_TRUE(until([&] { return k.d.frame().width == 1280 && (before = k.field()) != 0; }));
  ASSERT_TRUE(k.click(choose_x, key_y));
  EXPECT_TRUE(until([&] { return k.field() != before; })) << "the key field's sentence";
  EXPECT_EQ(k.key(), "");
  // The typed path then imports the key.
  ASSERT_TRUE(k.click(field_x, key_y));
  for (char ch : k.chosen) ASSERT_TRUE(k.d.post(0x0102, static_cast<u8>(ch)));
  ASSERT_TRUE(k.d.post(0x0100, 0x0D));
  EXPECT_TRUE(until([&] { return k.key().rfind("vimbrel-key 1 " + hex_key, 0) == 0; })) << k.key();
  EXPECT_EQ(k.d.end(), 0);
}

}  // namespace
