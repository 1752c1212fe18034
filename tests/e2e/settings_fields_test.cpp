// The Settings page's cluster controls and Background switches, and the Machines filter, as a user meets them in
// the built program under --test: typed into with marked keys and characters, committed with Enter, cancelled with
// Escape, clicked; observed through the test files beside --settings and the frame record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;
constexpr u32 wm_keydown = 0x0100, wm_char = 0x0102, wm_lbuttondown = 0x0201, wm_lbuttonup = 0x0202,
              wm_lbuttondblclk = 0x0203;
constexpr u32 vk_return = 0x0D, vk_escape = 0x1B, vk_home = 0x24, vk_insert = 0x2D, vk_up = 0x26;
constexpr u64 control = 1u << 17;
constexpr u32 driver_cluster_char = driver::app + 0x20, driver_machines = driver::app + 0x1F;
constexpr u32 publish_bit = 0x1000, editing_bit = 0x2000;

// Where the controls are at 1280 x 800 with the page at its top.
constexpr i32 publish_x = 460, publish_y = 492, field_x = 600, target_y = 528, key_y = 564;
constexpr i32 generate_x = 850, copy_x = 976, background_y = 780;
constexpr i32 host_x = 460, agent_x = 726, logon_x = 986;

struct Window {
  driver::Session d;
  bool open() {
    return d.start(VIMBREL_EXE, lato, {"--view", "33"}) && d.find_window("VimbrelTest", wait_ms) && frame();
  }
  bool frame() { return d.request_frame(wait_ms); }
  bool click(i32 x, i32 y) {
    return d.input(wm_lbuttondown, 1, driver::at(x, y)) && d.input(wm_lbuttonup, 0, driver::at(x, y));
  }
  bool key(u32 vk, u64 modifiers = 0) { return d.input(wm_keydown, vk, 0, modifiers); }
  bool type(const std::string& text) {
    for (char c : text)
      if (!d.input(wm_char, static_cast<u8>(c))) return false;
    return true;
  }
  // Selects the whole field (Control+A arrives as character 1) and types over it.
  bool retype(const std::string& text) { return type("\x01") && type(text); }
  bool editing() { return frame() && (d.status() & editing_bit) != 0; }
  std::string file(const std::string& suffix) { return testutil::read_file(d.settings() + suffix); }
};

std::string target_line(const std::string& publish) {
  const auto at = publish.find("\ntarget ");
  if (at == std::string::npos) return "";
  return publish.substr(at + 8, publish.find('\n', at + 1) - at - 8);
}

const std::string hex_key = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string other_key = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

TEST(SettingsFields, TargetAndKeyAreTypedCommittedWithEnterAndCancelledWithEscape) {
  Window w;
  ASSERT_TRUE(w.open());
  EXPECT_FALSE(w.d.status() & editing_bit);

  ASSERT_TRUE(w.click(field_x, target_y));
  EXPECT_TRUE(w.editing()) << "a press on the field starts its edit";
  ASSERT_TRUE(w.type("10.0.0.7:7500") && w.key(vk_return));
  EXPECT_FALSE(w.editing()) << "Enter ends the edit";
  EXPECT_EQ(target_line(w.file(".publish")), "10.0.0.7:7500");

  // Escape leaves the stored target alone; a target that is refused does too.
  ASSERT_TRUE(w.click(field_x, target_y) && w.retype("192.168.9.9") && w.key(vk_escape));
  EXPECT_FALSE(w.editing());
  ASSERT_TRUE(w.click(field_x, target_y) && w.retype("not a target") && w.key(vk_return));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(target_line(w.file(".publish")), "10.0.0.7:7500");

  // The driver's typing goes to the controller's paste buffer; Shift+Insert puts it over the selection.
  ASSERT_TRUE(w.click(field_x, target_y) && w.type("\x01"));
  for (char c : std::string("10.4.4.4")) ASSERT_TRUE(w.d.post(driver_cluster_char, static_cast<u8>(c)));
  ASSERT_TRUE(w.key(vk_insert, driver::shift) && w.key(vk_return) && w.frame());
  EXPECT_EQ(target_line(w.file(".publish")), "10.4.4.4");

  // A key typed into the key field is saved as the cluster key file; "Copy key" puts its line on the clipboard.
  ASSERT_TRUE(w.click(field_x, key_y) && w.type(hex_key) && w.key(vk_return) && w.frame());
  const std::string key_file = w.file(".key");
  EXPECT_EQ(key_file.rfind("vimbrel-key 1 " + hex_key, 0), 0u) << key_file;
  ASSERT_TRUE(w.click(copy_x, key_y) && w.frame());
  EXPECT_EQ(w.d.test_file("clipboard.txt").rfind("vimbrel-key 1 " + hex_key, 0), 0u);
  EXPECT_EQ(w.d.end(), 0);
}

TEST(SettingsFields, AMaskedKeyIsNeverCopiedButATargetIs) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.click(field_x, key_y) && w.type("a secret key text"));
  // Control+C, Control+X, Control+Insert and Shift+Delete over the whole text.
  ASSERT_TRUE(w.type("\x01\x03") && w.type("\x18") && w.key(vk_insert, control) && w.key(0x2E, driver::shift));
  ASSERT_TRUE(w.key(vk_escape) && w.frame());
  EXPECT_EQ(w.d.test_file("clipboard.txt"), "") << "nothing of the key left the field";

  ASSERT_TRUE(w.click(field_x, target_y) && w.retype("10.1.2.3") && w.type("\x01\x03") && w.frame());
  EXPECT_EQ(w.d.test_file("clipboard.txt"), "10.1.2.3");
  EXPECT_EQ(w.d.end(), 0);
}

TEST(SettingsFields, GenerateKeyIsTheSameUnderTestAndReplacesAKeyOnlyWhenConfirmed) {
  Window w;
  ASSERT_TRUE(w.open());
  // Without a key one press generates at once, from the fixed source of the test mode.
  ASSERT_TRUE(w.click(generate_x, key_y) && w.frame());
  const std::string generated = w.file(".key");
  ASSERT_EQ(generated.rfind("vimbrel-key 1 ", 0), 0u) << generated;

  ASSERT_TRUE(w.click(field_x, key_y) && w.type(other_key) && w.key(vk_return) && w.frame());
  const std::string typed = w.file(".key");
  ASSERT_EQ(typed.rfind("vimbrel-key 1 " + other_key, 0), 0u);

  // With a key the first press only asks; Escape and a click elsewhere cancel the question.
  ASSERT_TRUE(w.click(generate_x, key_y) && w.key(vk_escape) && w.click(generate_x, key_y) && w.frame());
  EXPECT_EQ(w.file(".key"), typed);
  ASSERT_TRUE(w.click(700, 620) && w.click(generate_x, key_y) && w.frame());
  EXPECT_EQ(w.file(".key"), typed);
  // The second press of a double-click never confirms.
  ASSERT_TRUE(w.d.input(wm_lbuttondblclk, 1, driver::at(generate_x, key_y)) &&
              w.d.input(wm_lbuttonup, 0, driver::at(generate_x, key_y)) && w.frame());
  EXPECT_EQ(w.file(".key"), typed);
  ASSERT_TRUE(w.click(generate_x, key_y) && w.frame());
  EXPECT_EQ(w.file(".key"), generated) << "generated again, the same key";
  EXPECT_EQ(w.d.end(), 0);
}

TEST(SettingsFields, PublishAndTheBackgroundSwitchesChangeTheirFilesAndSentences) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.click(field_x, target_y) && w.type("10.0.0.7") && w.key(vk_return));
  ASSERT_TRUE(w.click(field_x, key_y) && w.type(hex_key) && w.key(vk_return) && w.frame());
  const u64 off = driver::hash_of(w.d.frame(), 508, 476, 1256, 508);

  ASSERT_TRUE(w.click(publish_x, publish_y) && w.frame());
  EXPECT_TRUE(w.d.status() & publish_bit);
  std::string publish = w.file(".publish");
  EXPECT_NE(publish.find("\npublish on\n"), std::string::npos) << publish;
  EXPECT_NE(publish.find("\nid "), std::string::npos) << "a machine id is made on first use";
  const u64 on = driver::hash_of(w.d.frame(), 508, 476, 1256, 508);
  EXPECT_NE(on, off) << "the status sentence changed";

  // "Publish when closed" hands publishing to the background copy: the sentence says so.
  ASSERT_TRUE(w.click(agent_x, background_y) && w.frame());
  EXPECT_NE(w.file(".background").find("\nagent on\n"), std::string::npos) << w.file(".background");
  EXPECT_NE(driver::hash_of(w.d.frame(), 508, 476, 1256, 508), on);
  ASSERT_TRUE(w.click(host_x, background_y) && w.frame());
  EXPECT_NE(w.file(".background").find("\nhost on\n"), std::string::npos);
  ASSERT_TRUE(w.click(agent_x, background_y) && w.click(host_x, background_y) && w.frame());
  EXPECT_EQ(w.file(".background"), "vimbrel-background 1\nhost off\nagent off\n");

  // Start at log-on writes the stand-in of the entry, and "none" when it is turned off again.
  ASSERT_TRUE(w.click(logon_x, background_y) && w.frame());
  EXPECT_EQ(w.file(".runkey"), "\"C:\\Vimbrel\\bin\\vimbrel.exe\" --background");
  ASSERT_TRUE(w.click(logon_x, background_y) && w.frame());
  EXPECT_EQ(w.file(".runkey"), "none");

  ASSERT_TRUE(w.click(publish_x, publish_y) && w.frame());
  EXPECT_FALSE(w.d.status() & publish_bit);
  EXPECT_NE(w.file(".publish").find("\npublish off\n"), std::string::npos);
  EXPECT_EQ(w.d.end(), 0);
  // Nothing of the user's own: no copy installed, no autostart entry, no background.txt.
  EXPECT_FALSE(std::filesystem::exists(w.d.folder() + "/data/Vimbrel"));
  EXPECT_FALSE(std::filesystem::exists(w.d.folder() + "/cfg/autostart"));
}

TEST(SettingsFields, TheMachinesFilterTakesCaretMovesAndIsCutTo32Bytes) {
  Window w;
  ASSERT_TRUE(w.open());
  ASSERT_TRUE(w.key(vk_up) && w.key(vk_return) && w.frame());
  ASSERT_EQ(w.d.value() & 0xFF, 4u) << "the Machines page";
  ASSERT_TRUE(w.d.post(driver_machines, 6 | (2 << 12)) && w.frame());

  ASSERT_TRUE(w.click(1140, 70) && w.type("abc") && w.key(vk_home) && w.type("z") && w.frame());
  EXPECT_TRUE(w.d.status() & editing_bit);
  EXPECT_NE(w.file(".machines").find("\nfilter zabc\n"), std::string::npos) << "saved on every change";
  ASSERT_TRUE(w.type(std::string(40, 'q')) && w.frame());
  EXPECT_NE(w.file(".machines").find("\nfilter z" + std::string(31, 'q') + "\n"), std::string::npos)
      << w.file(".machines");
  // Escape ends the edit and keeps the filter; a second Escape clears it.
  ASSERT_TRUE(w.key(vk_escape) && w.frame());
  EXPECT_FALSE(w.d.status() & editing_bit);
  EXPECT_NE(w.file(".machines").find("\nfilter zq"), std::string::npos);
  ASSERT_TRUE(w.key(vk_escape) && w.frame());
  EXPECT_NE(w.file(".machines").find("\nfilter \n"), std::string::npos);
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
