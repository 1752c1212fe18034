// The update worker's report as the controller reads it, the same on every system: the packed exit code, and a
// child's code that is no report of a known state and reason.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/env.h"
#include "tests/support/testutil.h"
#include "update/update.h"

namespace {

using harness::bytes;

TEST(Report, PackingAndDecoding) {
  // The install reasons carry the step and the error (at most 4,095); the others the transfer's stage and status.
  update::Result r;
  update::reset_result(&r);
  r.state = 7, r.reason = 18, r.paths.step = 4, r.paths.error = 5000;
  update::Unpacked u = update::unpack_exit_code(update::report_of(&r));
  EXPECT_EQ(u.tag, 0x56u);
  EXPECT_EQ(u.state, 7u);
  EXPECT_EQ(u.reason, 18u);
  EXPECT_EQ(u.step, 4u);
  EXPECT_EQ(u.detail, 4095u);
  r.reason = 6, r.http.stage = 4, r.http.status = 0x1194;
  u = update::unpack_exit_code(update::report_of(&r));
  EXPECT_EQ(u.step, 4u);
  EXPECT_EQ(u.detail, 0x194u);

  testutil::TempDir dir;
  harness::EnvVar runtime("XDG_RUNTIME_DIR", dir.path);
  update::Config config = update::make_config(mem::lit("0.1.81"));
  struct Case {
    u32 code, state, reason;
  };
  const Case cases[] = {
      {1, 7, 22},                                        // an 8-bit code of a child that did not report
      {update::pack_exit_code(7, 25, 0, 0), 7, 22},      // no such reason
      {update::pack_exit_code(0, 0, 0, 0), 7, 22},       // no verb ends undecided
      {update::pack_exit_code(6, 0, 0, 0), 7, 22},       // nor put back
      {update::pack_exit_code(1, 0, 0, 200), 7, 23},     // up to date, but no manifest beside the program
      {update::pack_exit_code(7, 18, 4, 13), 7, 18},
      {update::pack_exit_code(5, 0, 0, 0), 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    update::reset_result(&r);
    update::paths_for(bytes(dir.path + "/prog"), &r.paths);
    update::take_worker_result(&config, c.code, &r);
    EXPECT_EQ(r.state, c.state);
    EXPECT_EQ(r.reason, c.reason);
  }
  EXPECT_EQ(r.paths.step, 0u);
  update::reset_result(&r);
  update::paths_for(bytes(dir.path + "/prog"), &r.paths);
  update::take_worker_result(&config, update::pack_exit_code(7, 18, 4, 13), &r);
  EXPECT_EQ(r.paths.step, 4u);
  EXPECT_EQ(r.paths.error, 13u);
}

}  // namespace
