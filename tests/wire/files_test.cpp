// The cluster files: key file loading, import and generation, the publish settings, paths, status lines and
// beacons, on real files in a private folder.
#include "wire/cluster.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/proto.h"
#include "platform/fs.h"
#include "tests/wire/sources.h"
#include "tests/wire/wire_util.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using namespace wire_util;

const std::string digits = "00112233445566778899aabbccddeeff0123456789ABCDEF0123456789abcdef";
const std::string line = "vimbrel-key 1 " + digits;

std::string text(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }
std::string text(const cluster::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

// A MAC under the state: equal states give equal MACs.
std::string mac_of(const auth::KeyState& k) {
  u8 out[32];
  auth::mac(&k, mem::lit("probe"), {}, {}, {}, {}, out);
  return hexs(out, 32);
}

std::string mac_of_key(const std::string& hex_digits) {
  Bytes key;
  for (size_t i = 0; i < 64; i += 2) key.push_back(static_cast<u8>(std::stoi(hex_digits.substr(i, 2), nullptr, 16)));
  auth::KeyState k;
  auth::key_init(&k, view(key));
  return mac_of(k);
}

const std::string zero_mac = mac_of_key(std::string(64, '0'));
const std::string key_mac = mac_of_key(digits);

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

u32 mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0xFFFF;
}

TEST(KeyFile, LoadsEveryGoodEndingAndRefusesTheRest) {
  testutil::TempDir dir;
  struct Case {
    std::string contents;
    u32 result;
    u32 verdict;
  };
  const Case cases[] = {
      {line, cluster::key_loaded, auth::key_ok},
      {line + "\n", cluster::key_loaded, auth::key_ok},
      {line + "\r\n", cluster::key_loaded, auth::key_ok},
      {"\xEF\xBB\xBF" + line + "\n", cluster::key_loaded, auth::key_ok},
      {line + "\n\n", cluster::key_refused, auth::key_trailing},
      {line + " ", cluster::key_refused, auth::key_hex_bad},
      {"VIMBREL-KEY 1 " + digits, cluster::key_refused, auth::key_header_bad},
      {"vimbrel-key 1 " + std::string(64, '0') + "\n", cluster::key_refused, auth::key_weak},
      // Only 128 bytes are read: a long header-less file is refused, never read whole.
      {std::string(100000, 'x'), cluster::key_refused, auth::key_header_bad},
  };
  for (const Case& c : cases) {
    std::string path = dir.path + "/cluster.key";
    testutil::write_file(path, c.contents);
    chmod(path.c_str(), 0600);
    cluster::KeyWork work;
    auth::KeyState state;
    u32 verdict = 99;
    EXPECT_EQ(cluster::load_key(view(path), &work, &state, &verdict), c.result) << c.contents.substr(0, 20);
    EXPECT_EQ(verdict, c.verdict);
    EXPECT_EQ(mac_of(state), c.result == cluster::key_loaded ? key_mac : zero_mac);
    EXPECT_EQ(hexs(reinterpret_cast<u8*>(&work), sizeof work), std::string(2 * sizeof work, '0')) << "wiped";
  }
}

// Whoever can read the key can join the cluster, whoever can write it can choose it: a good key in a file that is
// not its owner's alone is not taken, and the state keeps the zero key.
TEST(KeyFile, KeyOthersCanReachIsNotTaken) {
  testutil::TempDir dir;
  std::string path = dir.path + "/cluster.key";
  struct Case {
    mode_t mode;
    u32 result;
  };
  const Case cases[] = {
      {0600, cluster::key_loaded}, {0400, cluster::key_loaded},  {0640, cluster::key_exposed},
      {0604, cluster::key_exposed}, {0644, cluster::key_exposed}, {0620, cluster::key_exposed},
      {0602, cluster::key_exposed}, {0666, cluster::key_exposed},
  };
  for (const Case& c : cases) {
    testutil::write_file(path, line + "\n");
    chmod(path.c_str(), c.mode);
    cluster::KeyWork work;
    auth::KeyState state;
    u32 verdict = 99;
    EXPECT_EQ(cluster::load_key(view(path), &work, &state, &verdict), c.result) << std::oct << c.mode;
    EXPECT_EQ(verdict, auth::key_ok);
    EXPECT_EQ(mac_of(state), c.result == cluster::key_loaded ? key_mac : zero_mac) << std::oct << c.mode;
  }
  // A link to a private key of this user is the key; a file that another user owns is not, whatever its mode.
  chmod(path.c_str(), 0600);
  std::string link = dir.path + "/link.key";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  cluster::KeyWork work;
  auth::KeyState state;
  u32 verdict = 99;
  EXPECT_EQ(cluster::load_key(view(link), &work, &state, &verdict), cluster::key_loaded);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(cluster::load_key(view(link), &work, &state, &verdict), cluster::key_exposed);
    EXPECT_EQ(cluster::load_key(view(path), &work, &state, &verdict), cluster::key_exposed);
    EXPECT_EQ(mac_of(state), zero_mac);
  }
}

TEST(KeyFile, UnreadableNamesGiveOneWithoutWaiting) {
  testutil::TempDir dir;
  std::string fifo = dir.path + "/fifo.key";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.path + "/missing.key", dir.path, fifo, std::string("/dev/zero"), std::string()}) {
    // In a child with a deadline: a reader that opened a pipe and waited for a writer would hang here.
    int code = harness::in_child(
        [&] {
          cluster::KeyWork work;
          auth::KeyState state;
          u32 verdict = 99;
          u32 result = cluster::load_key(view(path), &work, &state, &verdict);
          return result == cluster::key_unreadable && verdict == 0 && mac_of(state) == zero_mac ? 0 : 1;
        },
        10);
    EXPECT_EQ(code, 0) << path;
  }
}

TEST(KeyFile, ImportTakesLinesDigitsAndPaths) {
  testutil::TempDir dir;
  std::string source = dir.path + "/from.key";
  testutil::write_file(source, line + "\r\n");
  std::string blocker = dir.path + "/a-file";
  testutil::write_file(blocker, "x");
  struct Case {
    std::string typed;
    std::string destination;
    u32 result;
    u32 verdict;
  };
  const std::string dest = dir.path + "/sub/folder/cluster.key";
  const Case cases[] = {
      {digits, dest, cluster::import_done, auth::key_ok},
      {"  \"" + line + "\"  ", dest, cluster::import_done, auth::key_ok},
      {line + "\n", dest, cluster::import_done, auth::key_ok},
      {"  " + source + " ", dest, cluster::import_done, auth::key_ok},
      {"\"" + source + "\"", "", cluster::import_done, auth::key_ok},
      {dir.path + "/none.key", dest, cluster::import_unreadable, auth::key_ok},
      {"", dest, cluster::import_unreadable, auth::key_ok},
      {blocker, dest, cluster::import_refused, auth::key_header_bad},
      // Neither a key line nor 64 digits: the text is taken as a path.
      {digits.substr(1) + "g", dest, cluster::import_unreadable, auth::key_ok},
      {"vimbrel-key 1 " + digits.substr(2), dest, cluster::import_refused, auth::key_length_bad},
      {digits, blocker + "/cluster.key", cluster::import_not_written, auth::key_ok},
  };
  for (const Case& c : cases) {
    unlink(dest.c_str());
    cluster::KeyWork work;
    auth::KeyState state;
    u32 verdict = 99;
    u32 result = cluster::import_key(view(c.typed), view(c.destination), &work, &state, &verdict);
    EXPECT_EQ(result, c.result) << c.typed;
    if (result != cluster::import_unreadable) {
      EXPECT_EQ(verdict, c.verdict) << c.typed;
    }
    bool good = c.verdict == auth::key_ok && result != cluster::import_unreadable;
    EXPECT_EQ(mac_of(state), good ? key_mac : zero_mac) << c.typed;
    bool written = result == cluster::import_done && !c.destination.empty();
    // The key is its owner's alone wherever it goes, not only under the per-user folders.
    if (written) {
      EXPECT_EQ(mode_of(dest), 0600u) << c.typed;
    }
    EXPECT_EQ(testutil::read_file(dest), written ? "vimbrel-key 1 " + std::string(
                                                       "00112233445566778899aabbccddeeff0123456789abcdef0123456789abcdef\n")
                                                 : "")
        << c.typed;
    EXPECT_EQ(hexs(reinterpret_cast<u8*>(&work), sizeof work), std::string(2 * sizeof work, '0'));
  }
}

using sources::counting_source;
using sources::failing_source;
using sources::zero_source;

TEST(KeyFile, NewKeysArePrivateAndReplaceTheOldOneWhole) {
  testutil::TempDir dir;
  harness::EnvVar config("XDG_CONFIG_HOME", dir.path + "/config");
  u8 path_buffer[cluster::path_capacity];
  u64 n = cluster::key_path(mem::Slice{path_buffer, sizeof path_buffer});
  std::string path(reinterpret_cast<char*>(path_buffer), n);
  ASSERT_EQ(path, dir.path + "/config/Vimbrel/cluster.key");

  cluster::KeyWork work;
  auth::KeyState state;
  ASSERT_EQ(cluster::new_key(view(path), counting_source, &work, &state), cluster::new_key_done);
  u8 drawn[32];
  counting_source(mem::Slice{drawn, 32});
  std::string expected_digits = hexs(drawn, 32);
  EXPECT_EQ(testutil::read_file(path), "vimbrel-key 1 " + expected_digits + "\n");
  EXPECT_EQ(mac_of(state), mac_of_key(expected_digits));
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(fs::owner_only(view(path)), 1u);
  EXPECT_EQ(names_in(dir.path + "/config/Vimbrel"), std::vector<std::string>{"cluster.key"}) << "no temporary left";

  // Others may read it: the check that refuses such a key file says so.
  chmod(path.c_str(), 0644);
  EXPECT_EQ(fs::owner_only(view(path)), 0u);
  EXPECT_EQ(fs::owner_only(view(dir.path + "/config/Vimbrel/none")), 0u);
  EXPECT_EQ(fs::owner_only(view(dir.path)), 0u);

  // A failed source or an all-zero draw writes nothing and keeps the old key file.
  std::string before = testutil::read_file(path);
  EXPECT_EQ(cluster::new_key(view(path), failing_source, &work, &state), cluster::new_key_no_random);
  EXPECT_EQ(cluster::new_key(view(path), zero_source, &work, &state), cluster::new_key_no_random);
  EXPECT_EQ(mac_of(state), zero_mac);
  EXPECT_EQ(testutil::read_file(path), before);

  // A replacement is written whole beside the old file and moved over it, private again.
  u32 verdict = 99;
  ASSERT_EQ(cluster::import_key(view(digits), view(path), &work, &state, &verdict), cluster::import_done);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(testutil::read_file(path).substr(14, 8), "00112233");
  EXPECT_EQ(names_in(dir.path + "/config/Vimbrel"), std::vector<std::string>{"cluster.key"});
  // When the destination cannot be written the old file stays as it was.
  before = testutil::read_file(path);
  std::string blocked = dir.path + "/config/Vimbrel/cluster.key/inside.key";
  EXPECT_EQ(cluster::new_key(view(blocked), counting_source, &work, &state), cluster::new_key_not_written);
  EXPECT_EQ(mac_of(state), zero_mac);
  EXPECT_EQ(testutil::read_file(path), before);
  // An old key file that others could read is replaced by a private one, never kept at its old mode.
  chmod(path.c_str(), 0644);
  ASSERT_EQ(cluster::import_key(view(digits), view(path), &work, &state, &verdict), cluster::import_done);
  EXPECT_EQ(mode_of(path), 0600u);
  // What is not a plain file at the destination is refused and left as it is.
  std::string fifo = dir.path + "/fifo.key", link = dir.path + "/link.key", target = dir.path + "/target.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  testutil::write_file(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  for (const std::string& to : {fifo, link, dir.path}) {
    EXPECT_EQ(cluster::import_key(view(digits), view(to), &work, &state, &verdict), cluster::import_not_written) << to;
  }
  struct stat st;
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(testutil::read_file(target), "keep");
}

TEST(KeyFile, KeyTextIsTheLineWithoutItsEnd) {
  testutil::TempDir dir;
  std::string path = dir.path + "/k.key";
  testutil::write_file(path, "\xEF\xBB\xBF" + line + "\r\n");
  cluster::KeyWork work;
  memset(&work, 0x55, sizeof work);
  ASSERT_EQ(cluster::key_text(view(path), &work), 78u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(work.formatted), 78),
            "vimbrel-key 1 00112233445566778899aabbccddeeff0123456789abcdef0123456789abcdef");
  EXPECT_EQ(work.formatted[78], 0);
  EXPECT_EQ(hexs(work.text, sizeof work.text), std::string(2 * sizeof work.text, '0'));
  EXPECT_EQ(hexs(work.key, sizeof work.key), std::string(64, '0'));
  testutil::write_file(path, line + "x");
  EXPECT_EQ(cluster::key_text(view(path), &work), 0u);
  EXPECT_EQ(hexs(reinterpret_cast<u8*>(&work), sizeof work), std::string(2 * sizeof work, '0'));
  EXPECT_EQ(text(cluster::key_verdict_name(auth::key_weak)), "weak");
  EXPECT_EQ(text(cluster::key_verdict_name(0)), "ok");
  EXPECT_EQ(text(cluster::key_verdict_name(4)), "trailing");
  EXPECT_EQ(text(cluster::key_verdict_name(6)), "unknown");
}

TEST(Paths, SettingsFolderFilesAndTestFiles) {
  testutil::TempDir dir;
  u8 b[cluster::path_capacity];
  mem::Slice out{b, sizeof b};
  auto str = [&](u64 n) { return std::string(reinterpret_cast<char*>(b), n); };
  {
    harness::EnvVar config("XDG_CONFIG_HOME", dir.path + "/cfg/");
    harness::EnvVar data("XDG_DATA_HOME", dir.path + "/data");
    EXPECT_EQ(str(cluster::publish_path(out)), dir.path + "/cfg/Vimbrel/publish.txt");
    EXPECT_EQ(str(cluster::local_path(mem::lit("background.txt"), out)), dir.path + "/data/Vimbrel/background.txt");
    std::string publish = dir.path + "/cfg/Vimbrel/publish.txt";
    EXPECT_EQ(str(cluster::machines_path(view(publish), out)), dir.path + "/cfg/Vimbrel/machines.txt");
    EXPECT_EQ(str(cluster::machines_path(mem::lit("C:\\Users\\me\\publish.txt"), out)), "C:\\Users\\me\\machines.txt");
    EXPECT_EQ(cluster::machines_path(mem::lit(""), out), 0u);
    // A path that does not fit 1,024 bytes is no path.
    harness::EnvVar long_config("XDG_CONFIG_HOME", "/" + std::string(1005, 'a'));
    EXPECT_EQ(cluster::key_path(out), 0u);
  }
  {
    harness::EnvVar home("HOME", std::nullopt);
    harness::EnvVar config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(cluster::key_path(out), 0u);
  }
  EXPECT_EQ(str(cluster::test_path(mem::lit("/tmp/t/settings.txt"), mem::lit(".key"), out)), "/tmp/t/settings.txt.key");
  EXPECT_EQ(cluster::test_path(mem::lit(""), mem::lit(".key"), out), 0u);
  EXPECT_EQ(cluster::test_path(view(std::string(1020, 'a')), mem::lit(".publish"), out), 0u);
}

TEST(Publish, ReadsLinesAsWritten) {
  struct Case {
    const char* what;
    std::string text;
    bool header;
    u8 publish;
    std::string target;
    u8 kind;
    std::string beacon;
    bool id;
  };
  const std::string id = "000102030405060708090a0b0c0d0e0f";
  const std::vector<Case> cases = {
      {"all lines", "vimbrel-publish 1\npublish on\ntarget 10.0.0.5:7500\nbeacon 10.0.0.255:7421\nid " + id + "\n",
       true, 1, "10.0.0.5:7500", 1, "10.0.0.255:7421", true},
      {"CR LF", "vimbrel-publish 1\r\npublish on\r\ntarget /mnt/share\r\nid " + id + "\r\n", true, 1,
       "/mnt/share", 2, "", true},
      {"byte order mark", "\xEF\xBB\xBFvimbrel-publish 1\npublish on\n", true, 1, "", 0, "", false},
      {"ON in capitals", "vimbrel-publish 1\npublish ON\n", true, 0, "", 0, "", false},
      {"second target ignored", "vimbrel-publish 1\ntarget 10.0.0.1\ntarget 10.0.0.2\n", true, 0, "10.0.0.1", 1, "",
       false},
      {"bad target stays empty", "vimbrel-publish 1\ntarget nowhere\n", true, 0, "", 0, "", false},
      {"short id", "vimbrel-publish 1\nid " + id.substr(1) + "\n", true, 0, "", 0, "", false},
      {"beacon without port", "vimbrel-publish 1\nbeacon 10.0.0.255\n", true, 0, "", 0, "", false},
      {"beacon off", "vimbrel-publish 1\nbeacon off", true, 0, "", 0, "off", false},
      {"no header", "publish on\ntarget 10.0.0.5\n", false, 0, "", 0, "", false},
      {"header without line end", "vimbrel-publish 1", false, 0, "", 0, "", false},
      {"header with a blank", "vimbrel-publish 1 \npublish on\n", false, 0, "", 0, "", false},
      {"keys only at line starts", "vimbrel-publish 1\nxpublish on\n", true, 0, "", 0, "", false},
  };
  for (const Case& c : cases) {
    cluster::PublishSettings s;
    memset(&s, 0x77, sizeof s);
    EXPECT_EQ(cluster::parse_publish(view(c.text), &s), c.header) << c.what;
    EXPECT_EQ(s.publish, c.publish) << c.what;
    EXPECT_EQ(text(cluster::target_text(&s)), c.target) << c.what;
    EXPECT_EQ(s.target_kind, c.kind) << c.what;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.beacon), s.beacon_length), c.beacon) << c.what;
    EXPECT_EQ(s.id_present, c.id ? 1 : 0) << c.what;
    EXPECT_TRUE(!c.id || hexs(s.id, 16) == id) << c.what;
    EXPECT_TRUE(!c.beacon.empty() || s.beacon_port == 7421) << c.what;
  }
}

TEST(Publish, TargetsAndBeaconsStoreTheirParts) {
  cluster::PublishSettings s;
  cluster::publish_reset(&s);
  ASSERT_TRUE(cluster::set_target(&s, mem::lit("10.0.0.5")));
  EXPECT_EQ(s.address, 0x0A000005u);
  EXPECT_EQ(s.port, 7420u);
  ASSERT_TRUE(cluster::set_target(&s, mem::lit("192.168.1.20:9000")));
  EXPECT_EQ(s.address, 0xC0A80114u);
  EXPECT_EQ(s.port, 9000u);
  EXPECT_FALSE(cluster::set_target(&s, mem::lit("10.0.0.5:0")));
  EXPECT_EQ(text(cluster::target_text(&s)), "192.168.1.20:9000") << "a refused target changes nothing";
  ASSERT_TRUE(cluster::set_target(&s, mem::lit("/srv/cluster")));
  EXPECT_EQ(s.target_kind, cluster::target_path);
  EXPECT_EQ(s.address, 0u);
  EXPECT_EQ(s.port, 0u);
  EXPECT_EQ(s.target[12], 0) << "the rest of the field is zeroed";
  ASSERT_TRUE(cluster::set_target(&s, mem::lit("")));
  EXPECT_EQ(s.target_kind, 0);
  EXPECT_EQ(s.target_length, 0u);

  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("10.0.0.255:7421")), 1u);
  EXPECT_EQ(s.beacon_address, 0x0A0000FFu);
  EXPECT_EQ(s.beacon_port, 7421);
  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("10.0.0.255")), 0u);
  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("100.100.100.100:65535x")), 0u);
  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("010.100.100.100:65535")), 1u);
  EXPECT_EQ(cluster::set_beacon(&s, view(std::string(25, '1'))), 0u);
  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("10.0.0.1:")), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(s.beacon), s.beacon_length), "010.100.100.100:65535");
  EXPECT_EQ(s.beacon_address, 0x0A646464u) << "leading zeros: 010 is 10";
  EXPECT_EQ(cluster::set_beacon(&s, mem::lit("off")), 1u);
  EXPECT_EQ(s.beacon_port, 0);
}

TEST(Publish, WritesTheFileBackAsItReadsIt) {
  testutil::TempDir dir;
  harness::EnvVar config("XDG_CONFIG_HOME", dir.path);
  u8 b[cluster::path_capacity];
  std::string path(reinterpret_cast<char*>(b), cluster::publish_path(mem::Slice{b, sizeof b}));
  cluster::PublishSettings s;
  EXPECT_FALSE(cluster::read_publish(view(path), &s));
  cluster::set_target(&s, mem::lit("10.0.0.5"));
  s.publish = 1;
  u8 id[16];
  for (u32 i = 0; i < 16; ++i) id[i] = static_cast<u8>(0xF0 + i);
  cluster::set_machine_id(&s, id);
  ASSERT_TRUE(cluster::write_publish(view(path), &s));
  EXPECT_EQ(testutil::read_file(path),
            "vimbrel-publish 1\npublish on\ntarget 10.0.0.5\nid f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff\n");
  EXPECT_EQ(mode_of(path), 0600u) << "the file holds the machine id";
  cluster::PublishSettings back;
  ASSERT_TRUE(cluster::read_publish(view(path), &back));
  EXPECT_EQ(memcmp(&back, &s, sizeof s), 0);

  cluster::publish_reset(&s);
  cluster::set_beacon(&s, mem::lit("off"));
  ASSERT_TRUE(cluster::write_publish(view(path), &s));
  EXPECT_EQ(testutil::read_file(path), "vimbrel-publish 1\npublish off\ntarget \nbeacon off\n");
  EXPECT_EQ(cluster::format_publish(&s, mem::Slice{b, 20}), 0u);
  EXPECT_FALSE(cluster::write_publish(mem::lit(""), &s));

  std::string machines = dir.path + "/Vimbrel/machines.txt";
  ASSERT_TRUE(cluster::write_machines(view(machines), mem::lit("vimbrel-machines 1\n")));
  u64 n = 0;
  ASSERT_TRUE(cluster::read_machines(view(machines), mem::Slice{b, sizeof b}, &n));
  EXPECT_EQ(n, 19u);
  testutil::write_file(machines, std::string(400, 'm'));
  ASSERT_TRUE(cluster::read_machines(view(machines), mem::Slice{b, sizeof b}, &n));
  EXPECT_EQ(n, 160u);
}

cluster::LinkView link(u8 phase, u8 status) {
  cluster::LinkView l = {};
  l.phase = phase;
  l.status = status;
  l.address = 0x0A000005;
  l.port = 7420;
  l.term = 12;
  return l;
}

TEST(Status, LinesByPhase) {
  cluster::Text t;
  cluster::LinkView l = link(cluster::phase_waiting, cluster::status_refused);
  l.reason = proto::reason_full;
  l.next_try = 10000 + 4200;
  cluster::status_line(&l, 10000, &t);
  EXPECT_EQ(text(t), "refused: the host is full; next try in 5 s");
  l.next_try = 9000;
  cluster::status_line(&l, 10000, &t);
  EXPECT_EQ(text(t), "refused: the host is full; next try in 0 s");
  l.port = 0;
  l.status = cluster::status_no_lease;
  cluster::status_line(&l, 10000, &t);
  EXPECT_EQ(text(t), "no valid lease on the share");

  l = link(cluster::phase_hello, 0);
  cluster::status_line(&l, 0, &t);
  EXPECT_EQ(text(t), "connecting to 10.0.0.5:7420");
  l = link(cluster::phase_open, cluster::status_connected);
  l.own_host = 1;
  cluster::status_line(&l, 0, &t);
  EXPECT_EQ(text(t), "publishing to 10.0.0.5:7420 (this machine's host), term 12");
  l = link(cluster::phase_stopped, 0);
  cluster::status_line(&l, 0, &t);
  EXPECT_EQ(text(t), "off");

  // The caching hint follows the line, cut at 160 bytes.
  l = link(cluster::phase_waiting, cluster::status_no_address);
  l.caches = 1;
  l.next_try = 1000;
  cluster::status_line(&l, 0, &t);
  EXPECT_EQ(t.len, 160u);
  EXPECT_EQ(text(t).substr(0, 39), "the lease names no host address: update");

  EXPECT_EQ(text(cluster::link_status_text(14)), "waiting");
  EXPECT_EQ(text(cluster::link_status_text(12)), "new host");
  EXPECT_EQ(text(cluster::refuse_reason_text(6)), "this machine id is already connected");
  EXPECT_EQ(text(cluster::refuse_reason_text(0)), "unknown reason");
  EXPECT_EQ(text(cluster::refuse_reason_text(7)), "unknown reason");
}

TEST(Status, TextsAndVersions) {
  cluster::Text t = {};
  cluster::text_put(&t, mem::lit("abc"));
  cluster::text_put_dec(&t, 0);
  cluster::text_put_dec(&t, 18446744073709551615ull);
  EXPECT_EQ(text(t), "abc018446744073709551615");
  cluster::text_put(&t, mem::lit("x"));
  cluster::text_put_address(&t, 0xFFFFFFFF, 65535);
  EXPECT_EQ(text(t), "x255.255.255.255:65535");
  cluster::text_put(&t, view(std::string(170, 'z')));
  EXPECT_EQ(t.len, 160u);
  cluster::text_append(&t, mem::lit("more"));
  EXPECT_EQ(t.len, 160u);

  EXPECT_EQ(cluster::version_part(mem::lit("0.1.81"), 0), 0u);
  EXPECT_EQ(cluster::version_part(mem::lit("0.1.81"), 2), 81u);
  EXPECT_EQ(cluster::version_part(mem::lit("v1.2-beta.3"), 1), 2u);
  EXPECT_EQ(cluster::version_part(mem::lit("v1.2-beta.3"), 2), 3u);
  EXPECT_EQ(cluster::version_part(mem::lit("1.2"), 2), 0u);
  EXPECT_EQ(cluster::version_part(mem::lit("99999999999"), 0), 0xFFFFFFFFu);
}

TEST(Beacons, OnlySealedLeasesAndBeaconsOfSixtyFourBytes) {
  auth::KeyState key, other;
  auth::key_init(&key, mem::lit("cluster"));
  auth::key_init(&other, mem::lit("another"));
  proto::Lease lease = {1, 7, 40, 150, 7420, 0x0A000001, 2, {0xAA}};
  Bytes l(64);
  proto::encode_lease(&lease, slice(l));
  auth::seal(&key, slice(l));
  proto::Beacon beacon = {8, 7, 41, 7421, 3, 200, 0x0A000002, {0xBB}};
  Bytes b(64);
  proto::encode_beacon(&beacon, slice(b));
  auth::seal(&key, slice(b));
  proto::Member member = {3, 7, 1, 200, 7420, 0x0A000003, 1, {0xCC}};
  Bytes m(64);
  proto::encode_member(&member, slice(m));
  auth::seal(&key, slice(m));

  cluster::Heard h;
  ASSERT_TRUE(cluster::take_beacon(view(l), &key, &h));
  EXPECT_EQ(h.from_lease, 1);
  EXPECT_EQ(h.flags, 1);
  EXPECT_EQ(h.counter, 40u);
  EXPECT_EQ(h.validity, 150);
  EXPECT_EQ(h.yields, 2);
  EXPECT_EQ(h.host_id[0], 0xAA);
  ASSERT_TRUE(cluster::take_beacon(view(b), &key, &h));
  EXPECT_EQ(h.from_lease, 0);
  EXPECT_EQ(h.flags, 8);
  EXPECT_EQ(h.port, 7421);
  EXPECT_EQ(h.address, 0x0A000002u);
  EXPECT_EQ(h.validity, 150);
  EXPECT_EQ(h.host_id[0], 0xBB);

  Bytes longer = b;
  longer.push_back(0);
  for (const Bytes& refused : {with(b, 10, b[10] ^ 1), m, Bytes(b.begin(), b.end() - 1), longer}) {
    cluster::Heard untouched;
    memset(&untouched, 0xA5, sizeof untouched);
    EXPECT_FALSE(cluster::take_beacon(view(refused), &key, &untouched));
    EXPECT_EQ(untouched.term, 0xA5A5A5A5u);
  }
  EXPECT_FALSE(cluster::take_beacon(view(b), &other, &h));
}

}  // namespace
