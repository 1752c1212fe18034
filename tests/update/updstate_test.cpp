#include <gtest/gtest.h>

#include <string>

#include "tests/support/env.h"
#include "tests/support/testutil.h"
#include "update/updstate.h"

namespace {

mem::Bytes b(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes x) { return std::string(reinterpret_cast<const char*>(x.ptr), x.len); }

std::string format(const updstate::Settings& s) {
  u8 out[512];
  u32 n = updstate::format_settings(&s, mem::Slice{out, sizeof out});
  return std::string(reinterpret_cast<char*>(out), n);
}

updstate::Settings parse(const std::string& text, u32* result = nullptr) {
  updstate::Settings s;
  u32 r = updstate::parse_settings(b(text), &s);
  if (result) *result = r;
  return s;
}

template <typename F>
std::string text(F f) {
  u8 bytes[4000];
  updstate::Buf buf = updstate::buf_of(mem::Slice{bytes, sizeof bytes});
  f(&buf);
  return str(updstate::text_of(&buf));
}

const std::string full =
    "vimbrel-settings 1\ncheck_for_updates on\nlast_check 1000\nlast_status 5\nupdate_failure 17.4.5\n"
    "last_version 0.1.82\nchart_range 86400\nupdate_mode automatic\nskip_version 0.1.80\nfailed_version 0.0.0\n";

TEST(UpdState, WritesTenLinesAndReadsThemBack) {
  updstate::Settings s = parse(full);
  EXPECT_EQ(format(s), full);
  EXPECT_EQ(s.failure_reason, 17);
  EXPECT_EQ(s.failure_step, 4);
  EXPECT_EQ(s.failure_code, 5);
  EXPECT_TRUE(updstate::is_automatic(&s));

  // The longest record fits its stated 246 bytes.
  updstate::Settings big;
  updstate::reset(&big);
  big.last_check = 0xFFFFFFFF;
  big.flags = updstate::flag_checks_on | updstate::flag_automatic;
  big.failure_reason = 129, big.failure_step = 7, big.failure_code = 65535;
  big.chart_range = 63072000;
  for (u32 i = 0; i < 3; i++) big.last_version[i] = big.skip_version[i] = big.failed_version[i] = 65535;
  big.status = 7;
  EXPECT_LE(format(big).size(), 246u);
  updstate::Settings back = parse(format(big));
  EXPECT_EQ(format(back), format(big));
}

TEST(UpdState, HeaderDecidesWholeFile) {
  u32 r = 9;
  updstate::Settings s = parse("vimbrel-settings 1\n", &r);
  EXPECT_EQ(r, 1u);
  EXPECT_EQ(s.flags, updstate::flag_checks_on);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.chart_range, 0u);

  std::string crlf = full;
  for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  s = parse(crlf, &r);
  EXPECT_EQ(r, 1u);
  EXPECT_EQ(format(s), full);

  for (const char* bad : {"vimbrel-settings 2\ncheck_for_updates off\n", "vimbrel-settings 1", "vimbrel-settings 1 \n",
                          "vimbrel-settings 10\n", "", "\nvimbrel-settings 1\n"}) {
    s = parse(std::string(bad) + "update_mode automatic\n", &r);
    EXPECT_EQ(r, 0u) << bad;
    EXPECT_EQ(s.flags, updstate::flag_checks_on) << bad;
  }
}

TEST(UpdState, LineValues) {
  struct Case {
    const char* line;
    u8 flags;
    u32 chart_range;
    const char* written_range;
  } cases[] = {
      {"check_for_updates offline\n", 0, 0, "60"},
      {"check_for_updates no\n", 1, 0, "60"},
      {"check_for_updates of\n", 1, 0, "60"},
      {"chart_range 600\n", 1 | 8, 0, "600"},
      {"chart_range 7200\n", 1, 0, "60"},
      {"chart_range 2592000\r\n", 1, 2592000, "2592000"},
      {"chart_range 600x\n", 1, 0, "60"},
      {"update_mode automatically\n", 1 | 16, 0, "60"},
      {"update_mode Automatic\n", 1, 0, "60"},
      {" update_mode automatic\n", 1, 0, "60"},  // a key that does not begin its line
      {"xchart_range 600\n", 1, 0, "60"},
      {"chart_range 3600\nchart_range 600\n", 1, 3600, "3600"},  // the first line wins
  };
  for (const Case& c : cases) {
    updstate::Settings s = parse(std::string("vimbrel-settings 1\n") + c.line);
    EXPECT_EQ(s.flags, c.flags) << c.line;
    EXPECT_EQ(s.chart_range, c.chart_range) << c.line;
    EXPECT_NE(format(s).find(std::string("chart_range ") + c.written_range + "\n"), std::string::npos) << c.line;
  }
}

TEST(UpdState, ShortVersions) {
  struct Case {
    const char* value;
    u16 v[3];
  } cases[] = {
      {"1.2.3", {1, 2, 3}},       {"65535.0.1", {65535, 0, 1}}, {"65536.0.1", {0, 0, 0}}, {"1.2", {0, 0, 0}},
      {"1.2.x", {0, 0, 0}},       {"1..3", {0, 0, 0}},          {"-1.2.3", {0, 0, 0}},     {"1.2.3 ", {0, 0, 0}},
      {"1.2.3\r", {1, 2, 3}},     {"1.2\n3", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    updstate::Settings s = parse(std::string("vimbrel-settings 1\nskip_version ") + c.value + "\n");
    EXPECT_EQ(s.skip_version[0], c.v[0]) << c.value;
    EXPECT_EQ(s.skip_version[1], c.v[1]) << c.value;
    EXPECT_EQ(s.skip_version[2], c.v[2]) << c.value;
  }
}

// The group last_check, last_status, failure and last_version is taken whole or not at all.
TEST(UpdState, GroupTakenWholeOrNotAtAll) {
  struct Case {
    const char* check;
    const char* status;
    const char* failure;  // a whole line, or empty for none
    const char* version;
    bool taken;
    u8 reason, step;
    u16 code;
  } cases[] = {
      {"1000", "2", "update_failure 0.0.0", "0.1.82", true, 0, 0, 0},
      {"1000", "5", "update_failure 5", "0.1.82", true, 5, 0, 0},
      {"1000", "5", "update_failure 5.3", "0.1.82", true, 5, 3, 0},
      {"1000", "5", "update_failure 129.7.65535", "0.1.82", true, 129, 7, 65535},
      {"1000", "5", "update_failure 130.0.0", "0.1.82", false, 0, 0, 0},
      {"1000", "5", "update_failure 1.8.0", "0.1.82", false, 0, 0, 0},
      {"1000", "5", "update_failure 1.0.65536", "0.1.82", false, 0, 0, 0},
      {"1000", "5", "update_failure 1.x", "0.1.82", false, 0, 0, 0},
      {"1000", "5", "last_failure 23", "0.1.82", true, 23, 0, 0},
      {"1000", "5", "last_failure 24", "0.1.82", true, 128, 0, 0},
      {"1000", "5", "last_failure 25", "0.1.82", false, 0, 0, 0},
      {"1000", "5", "", "0.1.82", false, 0, 0, 0},
      {"1000", "6", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"1000", "1", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"1000", "8", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"1000", "7", "update_failure 0", "0.1.82", true, 0, 0, 0},
      {"10000000000", "2", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"4294967296", "2", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"4294967295", "2", "update_failure 0", "0.1.82", true, 0, 0, 0},
      {"", "2", "update_failure 0", "0.1.82", false, 0, 0, 0},
      {"1000", "2", "update_failure 0", "0.1", false, 0, 0, 0},
      {"1000", "2", "update_failure 0", "0.1.x", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::string t = std::string("vimbrel-settings 1\nupdate_mode automatic\nchart_range 600\nlast_check ") + c.check +
                    "\nlast_status " + c.status + "\n" + c.failure + "\nlast_version " + c.version + "\n";
    updstate::Settings s = parse(t);
    EXPECT_EQ(s.status != 0 || s.last_check != 0, c.taken) << t;
    EXPECT_EQ(s.last_version[2], c.taken ? 82 : 0) << t;
    EXPECT_EQ(s.failure_reason, c.reason) << t;
    EXPECT_EQ(s.failure_step, c.step) << t;
    EXPECT_EQ(s.failure_code, c.code) << t;
    // The rest of the file is read either way.
    EXPECT_EQ(s.flags & (updstate::flag_automatic | updstate::flag_range_600),
              updstate::flag_automatic | updstate::flag_range_600)
        << t;
  }
  updstate::Settings s =
      parse("vimbrel-settings 1\nlast_check 5\nlast_status 7\nupdate_failure 0\nlast_version 70000.1.2\n");
  EXPECT_EQ(s.last_version[0], 65535);
  EXPECT_EQ(s.last_version[1], 1);
  EXPECT_TRUE(s.flags & updstate::flag_version_clamped);
  EXPECT_EQ(format(s).find("flag"), std::string::npos);
}

TEST(UpdState, FileOnDiskIsReplacedWholeAndFailuresAreFlagged) {
  testutil::TempDir dir;
  std::string folder = dir.path + "/Vimbrel";
  std::string path = folder + "/settings.txt";
  updstate::Settings s;
  EXPECT_EQ(updstate::load(b(path), &s), 0u);  // missing: defaults
  EXPECT_EQ(s.flags, updstate::flag_checks_on);
  s.chart_range = 3600;
  ASSERT_EQ(updstate::save(b(path), &s), 0u);  // creates the folder
  updstate::Settings back;
  EXPECT_EQ(updstate::load(b(path), &back), 1u);
  EXPECT_EQ(back.chart_range, 3600u);
  EXPECT_EQ(testutil::read_file(path), format(s));

  // A save that cannot happen keeps the old file and says so.
  std::string blocked = dir.path + "/blocked";
  testutil::write_file(blocked, "x");
  std::string bad = blocked + "/settings.txt";
  EXPECT_NE(updstate::save(b(bad), &s), 0u);
  EXPECT_TRUE(s.flags & updstate::flag_save_failed);
  EXPECT_EQ(testutil::read_file(blocked), "x");
  ASSERT_EQ(updstate::save(b(path), &s), 0u);
  EXPECT_FALSE(s.flags & updstate::flag_save_failed);
  EXPECT_EQ(testutil::read_file(path), format(s));  // the flag is not stored
}

// The per-user configuration folder: XDG_CONFIG_HOME on Linux, APPDATA on Windows.
#ifdef _WIN32
constexpr const char* config_variable = "APPDATA";
#else
constexpr const char* config_variable = "XDG_CONFIG_HOME";
#endif

TEST(UpdState, SettingsPathFollowsTheConfigFolder) {
  u8 buf[600];
  {
    harness::EnvVar config(config_variable, "/cfg");
    u32 n = updstate::settings_path(mem::Slice{buf, sizeof buf});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "/cfg\\Vimbrel\\settings.txt");
  }
  harness::EnvVar config(config_variable, "/" + std::string(499, 'a'));  // 500 + 21 bytes reach 521
  EXPECT_EQ(updstate::settings_path(mem::Slice{buf, sizeof buf}), 0u);
}

TEST(UpdState, StatusLine) {
  updstate::Settings s;
  updstate::reset(&s);
  auto line = [&](u32 now) { return text([&](updstate::Buf* buf) { updstate::status_line(&s, now, buf); }); };
  EXPECT_EQ(line(5000), "not checked yet");
  s.last_check = 1000;
  s.status = 2;
  EXPECT_EQ(line(1000 + 59), "just now: up to date");
  EXPECT_EQ(line(500), "just now: up to date");  // a check in the future
  EXPECT_EQ(line(1000 + 60), "1 min ago: up to date");
  EXPECT_EQ(line(1000 + 7200), "2 h ago: up to date");
  EXPECT_EQ(line(1000 + 86400), "1 day ago: up to date");
  EXPECT_EQ(line(1000 + 172800), "2 days ago: up to date");
  s.status = 7;
  s.last_version[2] = 82, s.last_version[1] = 1;
  EXPECT_EQ(line(1000 + 7200), "2 h ago: version 0.1.82, update available");
  s.skip_version[1] = 1, s.skip_version[2] = 82;
  EXPECT_EQ(line(1000), "just now: version 0.1.82, skipped");
  s.failed_version[1] = 1, s.failed_version[2] = 82;
  EXPECT_EQ(line(1000), "just now: version 0.1.82, failed to start before, not installed again");
  s.status = 4;
  EXPECT_EQ(line(1000), "just now: version 0.1.82, update available: download it from " +
                            str(updstate::server_host()));
  s.status = 5, s.failure_reason = 17, s.failure_step = 4, s.failure_code = 5;
  EXPECT_EQ(line(1000 + 3 * 86400), "3 days ago: failed: the program file could not be replaced (place, error 5)");
  s.failure_reason = 14, s.failure_step = 0, s.failure_code = 0;
  EXPECT_EQ(line(1000), "just now: failed: the download is not signed by " + str(updstate::signer_name()));
  s.status = 6;
  EXPECT_EQ(line(1000), "installing the update");
  s.status = 9;
  EXPECT_EQ(line(1000), "just now: unknown");
  EXPECT_EQ(text([](updstate::Buf* buf) { updstate::append_step(buf, 4, 0); }), " (place)");
  EXPECT_EQ(text([](updstate::Buf* buf) { updstate::append_step(buf, 9, 5); }), " (error 5)");
  EXPECT_EQ(text([](updstate::Buf* buf) { updstate::append_step(buf, 0, 0); }), "");
  EXPECT_EQ(str(updstate::failure_word(25)), "unknown");
  EXPECT_EQ(str(updstate::failure_word(128)), "the new version did not start, the previous one is back");
}

// update.log is read long after it was written: each line says when, in UTC, not how long ago.
TEST(UpdState, LogLineCarriesTheDate) {
  const struct {
    u32 seconds;
    const char* text;
  } dates[] = {
      {0, "2025-01-01 00:00:00 UTC"},          {5097599, "2025-02-28 23:59:59 UTC"},
      {5097600, "2025-03-01 00:00:00 UTC"},    {99791999, "2028-02-29 23:59:59 UTC"},
      {2371852800u, "2100-03-01 00:00:00 UTC"}, {0xFFFFFFFFu, "2161-02-07 06:28:15 UTC"},
  };
  for (const auto& d : dates)
    EXPECT_EQ(text([&](updstate::Buf* buf) { updstate::append_date(buf, d.seconds); }), d.text) << d.seconds;
  updstate::Settings s;
  updstate::reset(&s);
  auto line = [&](u32 now) { return text([&](updstate::Buf* buf) { updstate::log_line(&s, now, buf); }); };
  EXPECT_EQ(line(61197815), "2026-12-10 07:23:35 UTC: not checked yet");
  s.last_check = 61197815, s.status = 5, s.failure_reason = 17, s.failure_step = 4, s.failure_code = 5;
  EXPECT_EQ(line(61197815 + 3 * 86400),
            "2026-12-13 07:23:35 UTC: failed: the program file could not be replaced (place, error 5)");
  s.status = 6;
  EXPECT_EQ(line(61197815), "2026-12-10 07:23:35 UTC: installing the update");
}

TEST(UpdState, TextsStopAtTheirBuffer) {
  u8 small[10];
  updstate::Buf buf = updstate::buf_of(mem::Slice{small, sizeof small});
  updstate::append(&buf, mem::lit("0123456789abc"));
  updstate::append_dec(&buf, 42);
  EXPECT_EQ(str(updstate::text_of(&buf)), "0123456789");
}

TEST(UpdState, Decisions) {
  struct Case {
    u8 status, flags;
    bool suppressed, dismissed;
    bool fetch, offer;
  } cases[] = {
      {7, 1 | 16, false, false, true, false}, {7, 1, false, false, false, true}, {7, 1, false, true, false, false},
      {7, 1, true, false, false, false},      {7, 16, true, false, false, false}, {2, 16, false, false, false, false},
      {4, 1, false, false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(updstate::should_fetch_now(c.status, c.flags, c.suppressed), c.fetch) << int(c.status);
    EXPECT_EQ(updstate::should_offer(c.status, c.flags, c.suppressed, c.dismissed), c.offer) << int(c.status);
  }
  EXPECT_TRUE(updstate::should_restart_now(3, 16, 30, false, false));
  EXPECT_FALSE(updstate::should_restart_now(3, 16, 29, false, false));
  EXPECT_TRUE(updstate::should_restart_now(3, 16, 0, true, false));
  EXPECT_FALSE(updstate::should_restart_now(3, 1, 1000, true, false));
  EXPECT_TRUE(updstate::should_restart_now(3, 1, 0, false, true));
  EXPECT_FALSE(updstate::should_restart_now(7, 16, 1000, true, true));

  const u8 classes[9] = {0, 2, 4, 4, 3, 3, 2, 5, 5};
  for (u32 state = 0; state < 9; state++) {
    EXPECT_EQ(updstate::status_class(state), classes[state]) << state;
    EXPECT_EQ(updstate::status_of_result(state, true), classes[state]) << state;
  }
  EXPECT_EQ(updstate::status_of_result(2, false), 7);
  EXPECT_EQ(updstate::status_of_result(3, false), 4);
  EXPECT_EQ(updstate::now_from_filetime(13380163200ull * 10000000), 0u);
  EXPECT_EQ(updstate::now_from_filetime(13380163261ull * 10000000 + 9999999), 61u);
  EXPECT_EQ(updstate::now_from_filetime(0), 0u);
  EXPECT_EQ(updstate::now_from_filetime(~0ull), 0xFFFFFFFFu);
  EXPECT_TRUE(updstate::version_out_of_range(65536, 0, 0, 0));
  EXPECT_TRUE(updstate::version_out_of_range(1, 0, 0, 128));
  EXPECT_FALSE(updstate::version_out_of_range(65535, 65535, 65535, 127));
}

TEST(UpdState, MissingProgramTexts) {
  std::string host = str(updstate::server_host());
  auto win = [](const char* p, const char* s, const char* n) {
    return text([&](updstate::Buf* buf) {
      updstate::missing_program_text(mem::cstr(p), mem::cstr(s), mem::cstr(n), buf);
    });
  };
  auto log = [](const char* n, const char* s) {
    return text([&](updstate::Buf* buf) { updstate::missing_program_log(mem::cstr(n), mem::cstr(s), buf); });
  };
  EXPECT_EQ(win("", "", ""), "The program file is missing. Download Vimbrel again from " + host + ".");
  EXPECT_EQ(win("C:\\p\\vimbrel.exe", "", "vimbrel.exe"),
            "The program file C:\\p\\vimbrel.exe is missing and no parked copy was found. Download Vimbrel again "
            "from " + host + ".");
  EXPECT_EQ(win("C:\\p\\vimbrel.exe", ".old-2", "vimbrel.exe"),
            "The program file is missing. Rename C:\\p\\vimbrel.exe.old-2 back to vimbrel.exe before Vimbrel "
            "closes, or it cannot start again.");
  EXPECT_EQ(log("", ".old"), win("", "", ""));
  EXPECT_EQ(log("v.exe", ""),
            "The program file v.exe is missing and no parked copy was found: download Vimbrel again from " + host +
                ".");
  EXPECT_EQ(log("v.exe", ".old"), "The program file v.exe is missing: rename v.exe.old next to it back to v.exe.");
}

TEST(UpdState, ReleaseNotes) {
  EXPECT_EQ(text([](updstate::Buf* buf) { updstate::notes_header(0, 70000, 82, buf); }),
            "vimbrel-notes 1 0.65535.82\n");
  std::string file = "vimbrel-notes 1 0.1.82\n- first\n";
  EXPECT_EQ(updstate::check_notes(b(file), 0, 1, 82), 23u);
  EXPECT_EQ(updstate::check_notes(b(file), 0, 1, 8), updstate::notes_other);
  EXPECT_EQ(updstate::check_notes(b("vimbrel-notes 1 0.1.82"), 0, 1, 82), updstate::notes_other);

  std::string raw = "caf\xc3\xa9\tok\r\nx\x01\x7f";
  u8 out[64];
  u32 n = updstate::sanitise_notes(b(raw), mem::Slice{out, sizeof out});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), "caf?? ok\nx??");
  n = updstate::sanitise_notes(b(raw), mem::Slice{out, 3});
  EXPECT_EQ(n, 3u);

  struct Case {
    const char* text;
    const char* item;
  } cases[] = {
      {"Intro\n- one\n- two\n", "one"}, {"\n\nIntro\nmore\n", "Intro"}, {"\n\n", ""},
      {"", ""},                         {"-x\n- \n", ""},               {"-x\n", "-x"},
  };
  for (const Case& c : cases) EXPECT_EQ(str(updstate::first_item(mem::cstr(c.text))), c.item) << c.text;
}

}  // namespace
