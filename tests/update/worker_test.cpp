// The update worker run as the window's controller runs it: the program's own executable (a copy in a temporary
// folder) started for one step, its 32-bit report read back through the exit-word channel and decoded, against a
// loopback HTTPS server and the test key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/os.h"
#include "release.h"

namespace {

using release::bytes;
using release::exists;
using release::FileId;
using release::id_of;
using release::Route;
using release::World;

struct Step {
  update::TestSeams seams;
  update::Config config;
  update::Result r;
  Step() : config(release::config_of_world(&seams)) {}
};


TEST(Worker, SignedReleaseInstallsStartsAndRevertsWithNothingLost) {
  World w;
  FileId original = id_of(w.program);
  Step s;
  release::run_step(s.config, w.program, 1, &s.r);
  EXPECT_EQ(s.r.state, u32(update::state_available));
  EXPECT_EQ(s.r.offered.patch, 82u);
  EXPECT_TRUE(exists(w.program + ".latest"));

  release::run_step(s.config, w.program, 2, &s.r);
  ASSERT_EQ(s.r.state, u32(update::state_staged)) << "reason " << s.r.reason << " stage " << s.r.http.stage;
  EXPECT_EQ(testutil::read_file(w.program + ".new"), w.release_body);
  EXPECT_FALSE(exists(w.program + ".download"));
  EXPECT_EQ(id_of(w.program), original);  // fetching never touches the program

  release::run_step(s.config, w.program, 3, &s.r);
  ASSERT_EQ(s.r.state, u32(update::state_swapped)) << "reason " << s.r.reason << " step " << s.r.paths.step;
  EXPECT_EQ(testutil::read_file(w.program), w.release_body);
  EXPECT_EQ(id_of(w.program + ".old"), original);  // parked, not deleted
  struct stat st{};
  ASSERT_EQ(stat(w.program.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);  // the execute bits came with it
  std::string out;
  FILE* p = popen(("'" + w.program + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[64] = {};
  if (fgets(line, sizeof line, p)) out = line;
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out, "vimbrel 0.1.82\n");

  // The new version did not come up: the controller puts the previous program back.
  update::Result r;
  update::reset_result(&r);
  update::prepare_for_path(&s.config, bytes(w.program), &r);
  r.paths.device = u64(original.dev), r.paths.inode = u64(original.ino);  // the identity read before the swap
  r.state = update::state_swapped;
  update::revert_swap(&s.config, &r);
  EXPECT_EQ(r.state, u32(update::state_put_back));
  EXPECT_EQ(id_of(w.program), original);
  EXPECT_EQ(testutil::read_file(w.program + ".new"), w.release_body);

  // The server saw the user agent and never a cookie or credentials.
  std::string log = w.log();
  EXPECT_NE(log.find("/latest.txt Vimbrel - -"), std::string::npos) << log;
  EXPECT_EQ(log.find("Cookie:"), std::string::npos);
}

// Each refusal keeps the program whole and leaves no download behind.
TEST(Worker, RefusedReleasesKeepTheProgram) {
  struct Case {
    const char* name;
    u32 reason;
    u32 stage;  // of the report, for transfer failures; 99 when it does not matter
  };
  const Case cases[] = {
      {"another key", update::reason_other_signer, 99},
      {"an older release offered as newer", update::reason_other_signer, 99},
      {"release trickles", update::reason_download, 5},
      {"no release key", update::reason_unsupported, 99},
      {"unsigned", update::reason_not_signed, 99},
      {"wrong sha256", update::reason_digest, 99},
      {"too large", update::reason_download, 6},
      {"release redirected", update::reason_download, 0},
      {"feed redirected", update::reason_unreachable, 0},
      {"slow feed", update::reason_unreachable, 4},
      {"release stalls mid-body", update::reason_download, 5},
      {"read-only folder", 20, 99},
      {"lock held", update::reason_locked, 99},
      {"not newer", 0, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    std::string name = c.name;
    std::string rel = w.release_path("0.1.82");
    u64 lock_handle = 0;
    if (name == "another key") {
      release::KeyPair other;
      w.routes[rel + ".sig"] = Route{200, other.sign_release("0.1.82", "x86_64", w.release_body)};
    } else if (name == "an older release offered as newer") {
      // A release of 0.1.80, properly signed as that version, offered under the number 0.1.82.
      w.routes[rel + ".sig"] = Route{200, w.key.sign_release("0.1.80", "x86_64", w.release_body)};
    } else if (name == "release trickles") {
      w.routes[rel].trickle_ms = 1000;  // one byte a second: the wait between bytes never runs out
      setenv("VIMBREL_TEST_UPDATE_DEADLINE_MS", "3000", 1);
    } else if (name == "no release key") {
      unsetenv("VIMBREL_TEST_UPDATE_KEY");
    } else if (name == "unsigned") {
      w.routes.erase(rel + ".sig");
    } else if (name == "wrong sha256") {
      w.routes[rel] = Route{200, w.release_body + "tampered"};
    } else if (name == "too large") {
      setenv("VIMBREL_TEST_UPDATE_LIMIT", std::to_string(w.release_body.size() - 1).c_str(), 1);
    } else if (name == "release redirected") {
      w.routes[rel] = Route{302, "", {{"Location", w.url("/elsewhere")}}};
      w.routes["/elsewhere"] = Route{200, w.release_body};
    } else if (name == "feed redirected") {
      w.routes["/downloads/vimbrel/linux/x86_64/latest.txt"] = Route{302, "", {{"Location", w.url("/f")}}};
    } else if (name == "slow feed") {
      w.routes["/downloads/vimbrel/linux/x86_64/latest.txt"].stall_before_ms = 6000;
      setenv("VIMBREL_TEST_UPDATE_WAIT_MS", "1000", 1);
    } else if (name == "release stalls mid-body") {
      w.routes[rel].stall_after_ms = 6000;
      setenv("VIMBREL_TEST_UPDATE_WAIT_MS", "1000", 1);
    } else if (name == "read-only folder") {
      setenv("VIMBREL_TEST_FAULTS", "create:/vimbrel.download:13", 1);
    } else if (name == "not newer") {
      w.publish(w.release_body, "0.1.81");
    }
    w.write_routes();
    Step s;
    if (name == "lock held") {
      update::Paths p;
      update::paths_for(bytes(w.program), &p);
      ASSERT_EQ(update::lock(&s.config, &p, &lock_handle), 1u);
    }
    FileId original = id_of(w.program);
    std::string before = testutil::read_file(w.program);
    release::run_step(s.config, w.program, 2, &s.r);
    update::unlock(&lock_handle);
    if (name == "read-only folder") {
      EXPECT_EQ(s.r.state, u32(update::state_not_installable));
    } else if (name == "not newer") {
      EXPECT_EQ(s.r.state, u32(update::state_up_to_date));
    } else {
      EXPECT_EQ(s.r.state, u32(update::state_failed));
    }
    EXPECT_EQ(s.r.reason, c.reason);
    if (c.stage != 99) {
      EXPECT_EQ(s.r.http.stage, c.stage);
    }
    if (name == "release redirected" || name == "feed redirected") {
      EXPECT_EQ(s.r.http.status, 302u);
    }
    EXPECT_EQ(id_of(w.program), original);
    EXPECT_EQ(testutil::read_file(w.program), before);
    EXPECT_FALSE(exists(w.program + ".download"));
    EXPECT_FALSE(exists(w.program + ".new"));
    EXPECT_EQ(w.log().find("/elsewhere"), std::string::npos);  // a redirect is never followed
    if (name == "no release key") {
      EXPECT_EQ(w.log(), "");  // nothing is asked for that could not be checked
    }
  }
}

TEST(Worker, ReportsOfTheVerbsAndOfAChildWithout) {
  World w;
  Step s;
  // A swap with nothing staged: no "<exe>.latest" to read.
  release::run_step(s.config, w.program, 3, &s.r);
  EXPECT_EQ(s.r.state, u32(update::state_failed));
  EXPECT_EQ(s.r.reason, u32(update::reason_latest));

  // A feed answered with 404: the status is the detail, no stage.
  w.routes.erase("/downloads/vimbrel/linux/x86_64/latest.txt");
  w.write_routes();
  release::run_step(s.config, w.program, 1, &s.r);
  EXPECT_EQ(s.r.reason, u32(update::reason_unreachable));
  EXPECT_EQ(s.r.http.status, 404u);
  EXPECT_EQ(s.r.http.stage, 0u);

  // An unknown verb word, started by hand, is a usage error of the command line (exit 2, no report); the worker
  // itself, given no verb, answers state 7, reason 5 in a tagged report.
  proc::ExePath exe{};
  exe.length = os::utf8_to_wide(bytes(w.program), exe.units, proc::path_units);
  proc::Child child{};
  ASSERT_EQ(proc::start_in_job(&exe, mem::lit("--vimb-update update"), &child), 1u);
  ASSERT_EQ(proc::wait_end(&child, 30000), 1u);
  u32 code = 0;
  ASSERT_EQ(proc::exit_code(&child, &code), 1u);
  proc::close(&child);
  EXPECT_EQ(code, 2u);
  update::Unpacked u = update::unpack_exit_code(update::worker_main(&s.config, 0));
  EXPECT_EQ(u.tag, 0x56u);
  EXPECT_EQ(u.state, 7u);
  EXPECT_EQ(u.reason, 5u);

  // A worker killed before it reports decodes as reason 22.
  w.routes["/downloads/vimbrel/linux/x86_64/latest.txt"] = Route{200, "x", {}, 20000};
  w.write_routes();
  update::reset_result(&s.r);
  update::prepare_for_path(&s.config, bytes(w.program), &s.r);
  update::Worker worker;
  update::start_worker(&s.config, 1, &worker, &s.r);
  ASSERT_EQ(worker.running, 1);
  proc::kill(&worker.child);
  while (update::poll_worker(&s.config, &worker, &s.r)) usleep(10000);
  EXPECT_EQ(s.r.state, u32(update::state_failed));
  EXPECT_EQ(s.r.reason, u32(update::reason_no_report));

  // A step that does not fit the state is refused without starting anything.
  update::reset_result(&s.r);
  update::prepare_for_path(&s.config, bytes(w.program), &s.r);
  update::start_worker(&s.config, 3, &worker, &s.r);
  EXPECT_EQ(worker.running, 0);
  EXPECT_EQ(s.r.reason, u32(update::reason_order));
}

}  // namespace
