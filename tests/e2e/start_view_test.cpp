// The view asked with --view as a user (or a relaunch after an update) starts the window, outside --test on an X
// server of the test's own: rows that only the collector's first sample lists (a disk, an adapter) open once that
// sample is in, as the rows known from the start do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/platform/forked.h"
#include "tests/platform/xvfb.h"
#include "tests/support/driver.h"

namespace {

constexpr u32 wait_ms = 90000;  // the sanitized program on a loaded machine

TEST(StartView, ViewOfARowListedByTheFirstSampleOpensOutsideTest) {
  struct Case {
    const char* name;
    const char* row;
    u32 view;
  };
  const Case cases[] = {
      {"memory, known at start", "1", 1},
      {"the first disk", "2", 2},
      {"the first adapter", "18", 18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver::Session d;
    xvfb::Server x{d.folder() + "/xvfb.log", true, "1600x1000x24", "96"};
    if (x.display.empty()) GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
    d.use_display(x.display);
    d.outside_test();
    ASSERT_TRUE(d.start(VIMBREL_EXE, "", {"--view", c.row}));
    ASSERT_TRUE(d.find_window("Vimbrel", wait_ms));
    // Each paint writes the view it shows into the status word's top byte (the Overview is 31).
    u32 view = 0xFF;
    const long long deadline = forked::now_ms() + wait_ms;
    while (forked::now_ms() < deadline && view != c.view) {
      view = d.status() >> 24;
      usleep(50000);
    }
    EXPECT_EQ(view, c.view) << "not the Overview";
    EXPECT_EQ(d.end(), 0);
  }
}

}  // namespace
