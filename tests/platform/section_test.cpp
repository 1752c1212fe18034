// Named sections on Linux: what an owner that was killed leaves behind is removed by the next creation, and a view
// whose file is cut short under it ends its process with the section's own exit code instead of a bus error.
#include "platform/section.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

struct SectionTest : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  std::string folder = dir.path + "/vimbrel";

  std::set<std::string> files() {
    std::set<std::string> names;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
  }

  // A section made by a child that then ends without closing it, as a killed owner would.
  void leave_behind(const std::string& name) {
    int code = harness::in_child([&] {
      section::Section s;
      if (section::create(bytes(name), 4096, &s) != section::ok) return 1;
      _exit(0);
    });
    ASSERT_EQ(code, 0) << name;
  }

  void make_old(const std::string& file) {
    const timespec old_times[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/" + file).c_str(), old_times, 0), 0) << file;
  }
};

TEST_F(SectionTest, NextCreationRemovesWhatEndedOwnersLeft) {
  leave_behind("Local\\Vimbrel-feed-aa");
  leave_behind("Local\\Vimbrel-feed-bb");
  leave_behind("Local\\VimbrelFrame-1f");
  make_old("Vimbrel-feed-aa.section");
  make_old("VimbrelFrame-1f.section");
  // A live owner's section, even an old one, stays; so do files that are not sections.
  section::Section live;
  ASSERT_EQ(section::create(bytes("Local\\Vimbrel-feed-cc"), 4096, &live), section::ok);
  make_old("Vimbrel-feed-cc.section");
  testutil::write_file(folder + "/other.mutex", "");
  make_old("other.mutex");

  section::Section next;
  ASSERT_EQ(section::create(bytes("Local\\Vimbrel-feed-dd"), 4096, &next), section::ok);
  // The young leftover ("bb") is passed over: its owner could be between creating and locking it.
  EXPECT_EQ(files(), (std::set<std::string>{"Vimbrel-feed-bb.section", "Vimbrel-feed-cc.section",
                                            "Vimbrel-feed-dd.section", "other.mutex"}));
  make_old("Vimbrel-feed-bb.section");
  section::close(&next);
  ASSERT_EQ(section::create(bytes("Local\\Vimbrel-feed-dd"), 4096, &next), section::ok);
  EXPECT_EQ(files(), (std::set<std::string>{"Vimbrel-feed-cc.section", "Vimbrel-feed-dd.section", "other.mutex"}));
  section::close(&next);
  section::close(&live);
  EXPECT_EQ(files(), (std::set<std::string>{"other.mutex"}));
}

TEST_F(SectionTest, AViewCutShortEndsItsProcessWithTheLostCode) {
  section::Section owner;
  ASSERT_EQ(section::create(bytes("Local\\Vimbrel-feed-ee"), 8192, &owner), section::ok);
  const std::string file = folder + "/Vimbrel-feed-ee.section";
  int code = harness::in_child([&] {
    section::Section view;
    if (section::open(bytes("Local\\Vimbrel-feed-ee"), &view) != section::ok) return 90;
    view.view[4100] = 1;  // within the file: fine
    if (truncate(file.c_str(), 4096) != 0) return 91;
    view.view[100] = 2;   // still within
    view.view[4100] = 3;  // beyond the new end
    return 92;
  });
  EXPECT_EQ(code, static_cast<int>(section::lost_exit));
  section::close(&owner);
  // A bus error elsewhere is not taken for a lost section: the process still dies of it.
  code = harness::in_child([&] {
    section::Section view;
    if (section::create(bytes("Local\\Vimbrel-feed-ff"), 4096, &view) != section::ok) return 90;
    section::Section reader;
    if (section::open(bytes("Local\\Vimbrel-feed-ff"), &reader) != section::ok) return 91;
    raise(SIGBUS);
    return 92;
  });
  EXPECT_EQ(code, 128 + SIGBUS);
}

}  // namespace
