// The Task Manager replacement on Linux: the registry primitives on the per-user tree of files, programs named by
// values, and --replace-taskmgr as a user runs it against the test key (the forms of our value and the state and
// click tables, which hold on every system, are in taskmgr_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "update/background.h"
#include "update/taskmgr.h"

namespace {

using harness::bytes;
using harness::text;

std::string ours_for(const std::string& path) { return "\"" + path + "\" --as-taskmgr"; }

// The folder of the test key of a program at the path, in the configuration folder.
std::string key_folder(const std::string& config, const std::string& program) {
  u8 key[taskmgr::key_most];
  const u32 n = taskmgr::test_key_path(bytes(program), true, key);
  std::string folder = config + "/Vimbrel/registry/";
  for (char c : text(mem::Bytes(key, n))) folder += c == '\\' ? '/' : c;
  return folder;
}

// A value file as the tree keeps it: the type's number, a line end, the data.
void put_value(const std::string& folder, const std::string& name, u32 type, const std::string& data) {
  std::filesystem::create_directories(folder);
  testutil::write_file(folder + "/" + name, std::to_string(type) + "\n" + data);
}

// A per-user tree of its own: the configuration folder (where the tree and the test drives live) in a temporary
// folder.
struct Tree {
  testutil::TempDir dir;
  harness::EnvVar config{"XDG_CONFIG_HOME", dir.path + "/config"};
  std::string key_folder(const std::string& program) const { return ::key_folder(dir.path + "/config", program); }
};

std::string real_program() {
  char resolved[PATH_MAX];
  return realpath(VIMBREL_EXE, resolved) ? resolved : VIMBREL_EXE;
}

// This system has no Task Manager: nothing can ask for administrator rights (the change fails, it is not taken for
// cancelled), the system's own Task Manager cannot be started, and there is no Windows folder; a test file's folder
// is made where it is missing.
TEST(TaskmgrForms, NothingHereStandsInForTheSystemsTaskManager) {
  using namespace taskmgr;
  EXPECT_EQ(run_elevated(bytes("/bin/true"), bytes("--replace-taskmgr on"), 100), result_failed);
  testutil::TempDir dir;
  const std::string file = dir.path + "/set/taskmgr.txt";
  EXPECT_EQ(open_real_taskmgr(bytes("C:\\Windows"), bytes(file)), 0u);
  EXPECT_EQ(testutil::read_file(file), "\"C:\\Windows\\System32\\taskmgr.exe\"");
  // Without a test file the system's own Task Manager is asked for, and there is none here.
  EXPECT_EQ(open_real_taskmgr(bytes("C:\\Windows"), bytes("")), u32{error_not_supported});
  u8 folder[path_most];
  u32 error = 0;
  EXPECT_EQ(windows_folder(folder, &error), 0u);
  EXPECT_EQ(error, u32{error_not_supported});
}

TEST(TaskmgrRegistry, ValuesOnTheTreeOfFiles) {
  Tree tree;
  taskmgr::Key key{};
  key.root = registry::root_user;
  const std::string path = "Software\\VimbrelTest\\0123abcd\\IFEO\\taskmgr.exe";
  memcpy(key.path, path.data(), path.size());
  key.length = static_cast<u32>(path.size());
  const std::string folder = tree.dir.path + "/config/Vimbrel/registry/Software/VimbrelTest/0123abcd/IFEO/taskmgr.exe";

  // Missing key, missing value: absent without an error.
  taskmgr::Value v = taskmgr::read_value(key, bytes("Debugger"));
  EXPECT_FALSE(v.present);
  EXPECT_EQ(v.error, 0u);
  // Written as text, read back with its type; the file holds the type and the text.
  EXPECT_EQ(taskmgr::write_value(key, bytes("Debugger"), bytes("\"/a b/p\" --as-taskmgr"), false), 0u);
  EXPECT_EQ(testutil::read_file(folder + "/Debugger"), "1\n\"/a b/p\" --as-taskmgr");
  EXPECT_EQ(taskmgr::write_value(key, bytes("VimbrelReplaced"), bytes("%SystemRoot%\\p.exe"), true), 0u);
  v = taskmgr::read_value(key, bytes("VimbrelReplaced"));
  EXPECT_TRUE(v.present && v.expandable);
  EXPECT_EQ(text(v.bytes()), "%SystemRoot%\\p.exe");
  EXPECT_EQ(taskmgr::write_value(key, bytes("Debugger"), bytes(""), false), u32{taskmgr::error_not_found});
  EXPECT_EQ(taskmgr::write_value(key, bytes("Debugger"), bytes(std::string(2048, 'y')), false),
            u32{registry::too_long});

  // Another type is present with no text; a text of 2,047 characters does not fit the read, 2,046 do.
  put_value(folder, "Debugger", registry::type_dword, std::string("\x01\x00\x00\x00", 4));
  v = taskmgr::read_value(key, bytes("Debugger"));
  EXPECT_TRUE(v.present);
  EXPECT_EQ(v.length, 0u);
  EXPECT_EQ(taskmgr::classify_debugger(v), taskmgr::kind_foreign);
  put_value(folder, "Debugger", registry::type_sz, std::string(2046, 'x'));
  EXPECT_EQ(taskmgr::read_value(key, bytes("Debugger")).length, 2046u);
  put_value(folder, "Debugger", registry::type_sz, std::string(2047, 'x'));
  v = taskmgr::read_value(key, bytes("Debugger"));
  EXPECT_EQ(v.error, u32{taskmgr::error_more_data});
  EXPECT_EQ(taskmgr::state_of(v, false, false), taskmgr::state_unknown);
  // A damaged value file is an error, not an absent value.
  testutil::write_file(folder + "/Debugger", "no type line");
  EXPECT_NE(taskmgr::read_value(key, bytes("Debugger")).error, 0u);

  // Deleting: a missing value or key is success; the key goes only when asked and left empty, and a replace's
  // leftover temporary file does not keep it.
  EXPECT_EQ(taskmgr::delete_value(key, bytes("Debugger"), true), 0u);
  EXPECT_TRUE(std::filesystem::exists(folder + "/VimbrelReplaced"));
  EXPECT_EQ(taskmgr::delete_value(key, bytes("Nothing"), false), 0u);
  testutil::write_file(folder + "/Debugger.tmp-0badf00d", "1\nhalf");
  EXPECT_EQ(taskmgr::delete_value(key, bytes("VimbrelReplaced"), true), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(std::filesystem::exists(tree.dir.path + "/config/Vimbrel/registry/Software/VimbrelTest/0123abcd/IFEO"));
  EXPECT_EQ(taskmgr::delete_value(key, bytes("Debugger"), true), 0u);

  // The machine-wide key does not exist on this system: every operation answers "not supported".
  const taskmgr::Key real = taskmgr::replacement_key(false, bytes("/usr/bin/vimbrel"));
  EXPECT_EQ(taskmgr::read_value(real, bytes("Debugger")).error, u32{taskmgr::error_not_supported});
  EXPECT_EQ(taskmgr::write_value(real, bytes("Debugger"), bytes("x"), false), u32{taskmgr::error_not_supported});
  EXPECT_EQ(taskmgr::delete_value(real, bytes("Debugger"), true), u32{taskmgr::error_not_supported});
  const taskmgr::Value d = taskmgr::read_debugger(false);
  EXPECT_EQ(taskmgr::debugger_state(d, bytes("/usr/bin/vimbrel"), false), taskmgr::state_unknown);
  EXPECT_EQ(taskmgr::exit_code(taskmgr::apply(false, taskmgr::mode_off, bytes("/usr/bin/vimbrel"))), 1u);
}

TEST(TaskmgrRegistry, TestTreeOperations) {
  Tree tree;
  u8 own[taskmgr::path_most];
  const std::string program = text(mem::Bytes(own, taskmgr::own_path(own)));
  ASSERT_FALSE(program.empty());
  u8 key[taskmgr::key_most];
  u8 hex[8];
  background::hex8(taskmgr::folder_hash(bytes(program)), hex);
  EXPECT_EQ(text(mem::Bytes(key, taskmgr::test_key_path(bytes(program), true, key))),
            "Software\\VimbrelTest\\" + text(mem::Bytes(hex, 8)) + "\\IFEO\\taskmgr.exe");

  const std::string folder = tree.key_folder(program);
  EXPECT_EQ(taskmgr::write_test_debugger(bytes("\"C:\\Windows\\System32\\cmd.exe\" /k")), 0u);
  EXPECT_EQ(taskmgr::write_test_replaced(bytes("\"C:\\Windows\\System32\\cmd.exe\" /k")), 0u);
  EXPECT_EQ(testutil::read_file(folder + "/VimbrelReplaced"), "1\n\"C:\\Windows\\System32\\cmd.exe\" /k");
  EXPECT_EQ(text(taskmgr::read_debugger(true).bytes()), "\"C:\\Windows\\System32\\cmd.exe\" /k");
  EXPECT_FALSE(taskmgr::replaced_exists(taskmgr::read_replaced(true), true));
  EXPECT_EQ(taskmgr::make_test_program(bytes("\"C:\\Windows\\System32\\cmd.exe\" /k")), 0u);
  EXPECT_TRUE(std::filesystem::is_regular_file(tree.dir.path + "/config/Vimbrel/test-drives/c/Windows/System32/cmd.exe"));
  // A file already there is never replaced by the empty stand-in.
  testutil::write_file(tree.dir.path + "/config/Vimbrel/test-drives/c/Windows/System32/cmd.exe", "MZ");
  EXPECT_EQ(taskmgr::make_test_program(bytes("\"C:\\Windows\\System32\\cmd.exe\" /k")), 0u);
  EXPECT_EQ(testutil::read_file(tree.dir.path + "/config/Vimbrel/test-drives/c/Windows/System32/cmd.exe"), "MZ");
  EXPECT_TRUE(taskmgr::replaced_exists(taskmgr::read_replaced(true), true));
  EXPECT_FALSE(taskmgr::replaced_exists(taskmgr::read_replaced(true), false)) << "outside --test a drive path is none";

  // Another copy's tree keeps "Software\VimbrelTest"; the last one takes it along.
  const std::string others = tree.dir.path + "/config/Vimbrel/registry/Software/VimbrelTest/00000000";
  std::filesystem::create_directories(others);
  EXPECT_EQ(taskmgr::delete_test_tree(), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(std::filesystem::exists(others));
  std::filesystem::remove(others);
  EXPECT_EQ(taskmgr::delete_test_tree(), 0u) << "nothing left to delete is success";
  EXPECT_FALSE(std::filesystem::exists(tree.dir.path + "/config/Vimbrel/registry/Software/VimbrelTest"));
}

TEST(TaskmgrProgram, ExistsExpandsAndCompares) {
  Tree tree;
  const std::string dir = tree.dir.path;
  testutil::write_file(dir + "/tool", "");
  std::filesystem::create_directories(dir + "/a folder");
  testutil::write_file(dir + "/a folder/tool two", "");
  ASSERT_EQ(symlink((dir + "/tool").c_str(), (dir + "/link").c_str()), 0);
  harness::EnvVar base("VIMB_TM_BASE", dir);
  harness::EnvVar unset("VIMB_TM_UNSET", std::nullopt);

  struct Case {
    std::string command;
    bool expandable, test, exists;
  };
  const Case cases[] = {
      {dir + "/tool", false, false, true},
      {"  " + dir + "/tool /k", false, false, true},
      {"\"" + dir + "/a folder/tool two\" --x", false, false, true},
      {dir + "/a folder/tool two", false, false, false},  // unquoted: the program part ends at the blank
      {dir + "/a folder", false, false, false},           // a folder is no program
      {dir + "/link", false, false, true},
      {"%VIMB_TM_BASE%/tool /k", true, false, true},
      {"%VIMB_TM_BASE%/tool", false, false, false},       // not expandable: taken as it is
      {"%VIMB_TM_UNSET%/tool", true, false, false},
      {"%" + std::string(2100, 'N') + "%", true, false, false},
      {"", false, false, false},
      {"\"C:\\Windows\\System32\\cmd.exe\" /k", false, true, false},
  };
  for (const Case& c : cases) EXPECT_EQ(taskmgr::program_exists(bytes(c.command), c.expandable, c.test), c.exists) << c.command;
  // Expansion leaves a name that is not set, and a lone percent sign, as they stand.
  u8 out[2048];
  EXPECT_EQ(text(mem::Bytes(out, taskmgr::expand(bytes("%VIMB_TM_UNSET%/%VIMB_TM_BASE%/x%"), out))),
            "%VIMB_TM_UNSET%/" + dir + "/x%");
  EXPECT_EQ(taskmgr::expand(bytes("%VIMB_TM_BASE%" + std::string(2048 - dir.size(), 'z')), out), 2048u);
  EXPECT_EQ(taskmgr::expand(bytes("%VIMB_TM_BASE%" + std::string(2049 - dir.size(), 'z')), out), 0u);

  // Under --test a drive path is a file below the test drives.
  std::filesystem::create_directories(dir + "/config/Vimbrel/test-drives/c/Windows/System32");
  testutil::write_file(dir + "/config/Vimbrel/test-drives/c/Windows/System32/cmd.exe", "");
  EXPECT_TRUE(taskmgr::program_exists(bytes("\"C:\\Windows\\System32\\cmd.exe\" /k"), false, true));
  EXPECT_TRUE(taskmgr::program_exists(bytes("c:/Windows/System32/cmd.exe"), false, true));

  // One file through a link or another path: the same program. Two files are not.
  EXPECT_TRUE(taskmgr::same_program(bytes(dir + "/link"), bytes(dir + "/tool"), false));
  EXPECT_TRUE(taskmgr::same_program(bytes(dir + "/a folder/../tool"), bytes(dir + "/tool"), false));
  EXPECT_FALSE(taskmgr::same_program(bytes(dir + "/a folder/tool two"), bytes(dir + "/tool"), false));
  EXPECT_FALSE(taskmgr::same_program(bytes(dir + "/missing"), bytes(dir + "/missing"), false));
}

// A path holding a double quote gives no value of ours: "on" writes nothing and fails.
TEST(TaskmgrApply, OwnPathWithAQuoteFails) {
  Tree tree;
  const std::string own = tree.dir.path + "/a\"b/vimbrel";
  const taskmgr::Outcome o = taskmgr::apply(true, taskmgr::mode_on, bytes(own));
  EXPECT_EQ(o.error, u32{taskmgr::error_not_found});
  EXPECT_EQ(taskmgr::exit_code(o), 1u);
  EXPECT_FALSE(std::filesystem::exists(tree.key_folder(own) + "/Debugger"));
}

// --replace-taskmgr <mode> --test as a user runs it: each mode against each kind of value standing in the test key
// of the built program, with the exit code and what the key holds afterwards.
TEST(ReplaceTaskmgr, CommandLineMatrix) {
  const std::string program = real_program();
  const std::string ours = ours_for(program);
  const std::string broken = ours_for("C:\\VimbrelTest\\missing\\vimbrel.exe");
  const std::string other_copy = ours_for("/bin/sh");
  const std::string foreign = "\"/bin/sh\" -c true";
  const std::string expandable = "%VIMB_TM_SHELL%/sh -c true";
  const std::string dword("\x01\x00\x00\x00", 4);
  const std::string too_long(2047, 'x');
  struct Standing {
    const char* name;
    u32 type;  // 0: no value
    std::string data;
  };
  const Standing standing[] = {
      {"none", 0, ""},
      {"ours", registry::type_sz, ours},
      {"ours, program missing", registry::type_sz, broken},
      {"another copy", registry::type_sz, other_copy},
      {"foreign", registry::type_sz, foreign},
      {"foreign, expandable", registry::type_expand_sz, expandable},
      {"foreign number", registry::type_dword, dword},
      {"too long to read", registry::type_sz, too_long},
  };
  // What follows: the exit code, the Debugger value (type and data, "" when gone) and the saved value.
  struct After {
    int exit_code;
    std::string debugger, saved;
  };
  auto file = [](u32 type, const std::string& data) { return std::to_string(type) + "\n" + data; };
  const std::string our_file = file(1, ours);
  const char* modes[3] = {"on", "off", "takeover"};
  const After expected[8][3] = {
      // none
      {{0, our_file, ""}, {0, "", ""}, {0, our_file, ""}},
      // ours: off removes it and the key
      {{0, our_file, ""}, {0, "", ""}, {0, our_file, ""}},
      // ours naming a missing program: on and takeover repair it
      {{0, our_file, ""}, {0, "", ""}, {0, our_file, ""}},
      // ours naming another existing copy
      {{0, our_file, ""}, {0, "", ""}, {0, our_file, ""}},
      // another program's value: refused unless taken over, and then kept
      {{3, file(1, foreign), ""}, {3, file(1, foreign), ""}, {0, our_file, file(1, foreign)}},
      {{3, file(2, expandable), ""}, {3, file(2, expandable), ""}, {0, our_file, file(2, expandable)}},
      // a number cannot be saved as a text: the take-over stops before writing ours
      {{3, file(4, dword), ""}, {3, file(4, dword), ""}, {1, file(4, dword), ""}},
      // unreadable: nothing is changed
      {{1, file(1, too_long), ""}, {1, file(1, too_long), ""}, {1, file(1, too_long), ""}},
  };
  for (u32 s = 0; s < 8; ++s) {
    for (u32 m = 0; m < 3; ++m) {
      testutil::TempDir home;
      const std::string folder = key_folder(home.path + "/config", program);
      if (standing[s].type) put_value(folder, "Debugger", standing[s].type, standing[s].data);
      const testutil::RunResult r =
          testutil::run_vimbrel(std::string("--replace-taskmgr ") + modes[m] + " --test", home.path);
      const std::string what = std::string(standing[s].name) + " / " + modes[m];
      EXPECT_EQ(r.exit_code, expected[s][m].exit_code) << what << ": " << r.err;
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(testutil::read_file(folder + "/Debugger"), expected[s][m].debugger) << what;
      EXPECT_EQ(testutil::read_file(folder + "/VimbrelReplaced"), expected[s][m].saved) << what;
      const bool emptied = expected[s][m].debugger.empty() && expected[s][m].saved.empty();
      if (emptied && standing[s].type) {
        EXPECT_FALSE(std::filesystem::exists(folder)) << what << ": the key is gone";
      }
    }
  }
}

// Take over an expandable value, then turn the replacement off: the value comes back expandable while its program
// exists; a saved value whose program is gone is dropped with ours, and the emptied key with them.
TEST(ReplaceTaskmgr, TakeOverAndGiveBack) {
  testutil::TempDir home;
  const std::string folder = key_folder(home.path + "/config", real_program());
  std::filesystem::create_directories(home.path + "/tools");
  testutil::write_file(home.path + "/tools/monitor", "");
  harness::EnvVar tools("VIMB_TM_TOOLS", home.path + "/tools");
  const std::string theirs = "%VIMB_TM_TOOLS%/monitor /min";
  put_value(folder, "Debugger", registry::type_expand_sz, theirs);

  EXPECT_EQ(testutil::run_vimbrel("--replace-taskmgr takeover --test", home.path).exit_code, 0);
  EXPECT_EQ(testutil::read_file(folder + "/VimbrelReplaced"), "2\n" + theirs);
  EXPECT_EQ(testutil::run_vimbrel("--replace-taskmgr on --test", home.path).exit_code, 0) << "ours again: no change";
  EXPECT_EQ(testutil::read_file(folder + "/VimbrelReplaced"), "2\n" + theirs);
  EXPECT_EQ(testutil::run_vimbrel("--replace-taskmgr off --test", home.path).exit_code, 0);
  EXPECT_EQ(testutil::read_file(folder + "/Debugger"), "2\n" + theirs);
  EXPECT_FALSE(std::filesystem::exists(folder + "/VimbrelReplaced"));

  // The other program leaves while ours stands: off removes everything.
  EXPECT_EQ(testutil::run_vimbrel("--replace-taskmgr takeover --test", home.path).exit_code, 0);
  std::filesystem::remove(home.path + "/tools/monitor");
  EXPECT_EQ(testutil::run_vimbrel("--replace-taskmgr off --test", home.path).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(folder));
}

// Outside --test there is no key: the change fails with exit code 1 and says why; a wrong word is still a usage
// error (the usage text, exit 2), whether --test is given or not, and changes nothing.
TEST(ReplaceTaskmgr, NotAvailableOutsideTheTestMode) {
  testutil::TempDir home;
  for (const char* mode : {"on", "off", "takeover"}) {
    const testutil::RunResult r = testutil::run_vimbrel(std::string("--replace-taskmgr ") + mode, home.path);
    EXPECT_EQ(r.exit_code, 1) << mode;
    EXPECT_EQ(r.out, "") << mode;
    EXPECT_EQ(r.err, "vimbrel: --replace-taskmgr: not available: this system has no Task Manager to replace\n");
  }
  for (const char* line : {"--replace-taskmgr bogus", "--replace-taskmgr Off --test"}) {
    const testutil::RunResult r = testutil::run_vimbrel(line, home.path);
    EXPECT_EQ(r.exit_code, 2) << line;
    EXPECT_EQ(r.out.rfind("usage: vimbrel ", 0), 0u) << line;
    EXPECT_EQ(r.err, "") << line;
  }
  EXPECT_FALSE(std::filesystem::exists(home.path + "/config/Vimbrel/registry"));
}

}  // namespace
