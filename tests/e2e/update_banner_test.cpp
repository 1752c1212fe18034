// The update banner and the release notes as a user meets them: a settings file that records an offered version
// brings the banner into the title strip, and the Settings page grows by the notes and scrolls within its range.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/driver.h"
#include "tests/support/testutil.h"

namespace {

const std::string lato = "/usr/share/fonts/truetype/lato";
constexpr u32 wait_ms = 60000;
constexpr u32 wm_keydown = 0x0100, vk_end = 0x23, vk_home = 0x24;

std::string settings_text(const std::string& status, const std::string& failed) {
  return "vimbrel-settings 1\ncheck_for_updates on\nlast_check 0\nlast_status " + status +
         "\nupdate_failure 0.0.0\nlast_version 0.2.0\nchart_range 60\nupdate_mode ask\nskip_version 0.0.0\n"
         "failed_version " + failed + "\n";
}

struct Window {
  driver::Session d;
  bool open(const std::string& settings, const std::vector<std::string>& extra) {
    testutil::write_file(d.settings(), settings);
    return d.start(VIMBREL_EXE, lato, extra) && d.find_window("VimbrelTest", wait_ms);
  }
  bool frame() { return d.request_frame(wait_ms); }
};

u32 count(const driver::Frame& f, u32 argb, u32 x0, u32 y0, u32 x1, u32 y1) {
  u32 n = 0;
  for (u32 y = y0; y < y1; ++y)
    for (u32 x = x0; x < x1; ++x) n += f.at(x, y) == argb;
  return n;
}

constexpr u32 primary = 0xFF2C3A46u, banner_text = 0xFFFCD34Du, track = 0xFF303030u, thumb = 0xFF808080u;

TEST(UpdateBanner, OfferedVersionShowsInTheTitleStrip) {
  struct Case {
    std::string status;
    bool banner;
  } cases[] = {{"7", true}, {"2", false}};
  for (const Case& c : cases) {
    Window w;
    ASSERT_TRUE(w.open(settings_text(c.status, "0.0.0"), {}));
    ASSERT_TRUE(w.frame());
    const driver::Frame f = w.d.frame();
    const u32 x = f.width - 466;
    EXPECT_EQ(count(f, primary, x + 2, 10, x + 98, 30) > 500, c.banner) << "the primary button, status " << c.status;
    EXPECT_EQ(driver::count_near(f, banner_text, 0x18, 220, 0, x - 8, 40) > 20, c.banner)
        << "the banner's text, status " << c.status;
    EXPECT_EQ(w.d.end(), 0);
  }
}

TEST(UpdateBanner, SettingsPageScrollsOverTheReleaseNotesWithinItsRange) {
  Window w;
  ASSERT_TRUE(w.open(settings_text("7", "0.0.0"), {"--view", "33"}));
  ASSERT_TRUE(w.frame());
  driver::Frame f = w.d.frame();
  ASSERT_EQ(w.d.value() & 0xFF, 1u);
  const u32 x = f.width - 4;
  EXPECT_EQ(f.at(x, 42), thumb) << "the thumb starts at the top";
  EXPECT_EQ(f.at(x, f.height - 3), track);

  ASSERT_TRUE(w.d.input(wm_keydown, vk_end));
  ASSERT_TRUE(w.frame());
  f = w.d.frame();
  EXPECT_EQ(f.at(x, 42), track);
  EXPECT_EQ(f.at(x, f.height - 3), thumb) << "the thumb reaches the bottom at the end";
  // The page's end shows the last notes; below them only the background (the range stops there).
  EXPECT_EQ(count(f, 0xFFE8E8E8u, 244, f.height - 20, f.width - 24, f.height - 1), 0u) << "nothing drawn past the end";

  ASSERT_TRUE(w.d.input(wm_keydown, vk_home));
  ASSERT_TRUE(w.frame());
  EXPECT_EQ(w.d.frame().at(x, 42), thumb) << "back at the top";
  EXPECT_EQ(w.d.end(), 0);
}

// The release notes come with flag bit 6 of the driver's update state (the stand-in notes), repeated to fill the
// notes' room with --long-notes: the Settings page grows by them, so its scroll thumb shrinks.
TEST(UpdateBanner, ReleaseNotesFollowTheNotesFlagAndLongNotes) {
  constexpr u32 driver_update_state = driver::app + 0x12, notes_flag = 0x40;
  struct Case {
    const char* name;
    u32 flags;
    bool long_notes;
    u32 thumb = 0;
  } cases[] = {{"no notes", 0, false}, {"notes", notes_flag, false}, {"long notes", notes_flag, true}};
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Window w;
    std::vector<std::string> extra = {"--view", "33"};
    if (c.long_notes) extra.push_back("--long-notes");
    ASSERT_TRUE(w.open(settings_text("2", "0.0.0"), extra));
    // Status 7 (offered), checks on (bit 16 clear), ask first.
    ASSERT_TRUE(w.d.post(driver_update_state, 7u | (u64{c.flags} << 16)));
    ASSERT_TRUE(w.frame());
    const driver::Frame f = w.d.frame();
    c.thumb = count(f, thumb, f.width - 5, 40, f.width - 2, f.height) / 3;
    EXPECT_GT(c.thumb, 0u) << "the page is taller than the window";
    EXPECT_EQ(w.d.end(), 0);
  }
  EXPECT_LT(cases[1].thumb, cases[0].thumb) << "the notes make the page taller";
  EXPECT_LT(cases[2].thumb * 4, cases[1].thumb) << "the long notes much taller";
}

// A missing program file is said under the update buttons of the Settings page, in the banner's colour; nothing is
// said there when the file is in its place.
TEST(UpdateBanner, MissingProgramIsSaidOnTheSettingsPage) {
  constexpr u32 driver_update_state = driver::app + 0x12;
  for (const bool missing : {true, false}) {
    SCOPED_TRACE(missing);
    Window w;
    ASSERT_TRUE(w.open(settings_text("2", "0.0.0"), {"--view", "33"}));
    ASSERT_TRUE(w.d.post(driver_update_state, missing ? 5u | (24u << 8) : 2u));
    ASSERT_TRUE(w.frame());
    const driver::Frame f = w.d.frame();
    EXPECT_EQ(driver::count_near(f, banner_text, 0x18, 424, 266, f.width - 24, 296) > 50, missing);
    EXPECT_EQ(w.d.end(), 0);
  }
}

TEST(UpdateBanner, ContentThatFitsDoesNotScroll) {
  Window w;
  ASSERT_TRUE(w.open(settings_text("2", "0.0.0"), {"--view", "33"}));
  ASSERT_TRUE(w.frame());
  const driver::Frame before = w.d.frame();
  ASSERT_TRUE(w.d.input(wm_keydown, vk_end));
  ASSERT_TRUE(w.frame());
  const driver::Frame after = w.d.frame();
  EXPECT_EQ(count(after, thumb, after.width - 5, 40, after.width - 2, after.height), 0u) << "no bar";
  EXPECT_EQ(before.pixels, after.pixels) << "End changes nothing";
  EXPECT_EQ(w.d.end(), 0);
}

}  // namespace
