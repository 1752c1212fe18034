// The window's cluster settings: key generation with its confirmation, import and its refusals, the masking of
// typed keys, publishing switched on with a machine id, the target field, and the status sentences.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "pages/clusterui.h"
#include "tests/support/testutil.h"

namespace {

mem::Bytes b(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(const cluster::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

u8 random_seed = 1;
u32 counting_random(mem::Slice buffer) {
  for (u64 i = 0; i < buffer.len; ++i) buffer.ptr[i] = static_cast<u8>(random_seed + 7 * i);
  return 1;
}
u32 failing_random(mem::Slice) { return 0; }

struct Controller {
  testutil::TempDir dir;
  mem::Arena arena{};
  clusterui::ClusterState s{};
  std::string base() const { return dir.path + "/set/settings.txt"; }
  Controller() {
    mem::arena_init(&arena, 1 << 16);
    clusterui::init(&s, &arena, b(base()), true, 0, 1, 81, 0);
  }
  ~Controller() {
    clusterui::close(&s);
    mem::release(&arena);
  }
  std::string key_file() const { return testutil::read_file(base() + ".key"); }
  std::string key_result() const {
    cluster::Text t{};
    clusterui::key_result(s, &t);
    return str(t);
  }
  std::string status() const {
    cluster::Text t{};
    clusterui::publish_status(s, 0, &t);
    return str(t);
  }
  void type(const std::string& text) {
    for (char c : text) clusterui::field_key(&s, static_cast<u8>(c));
  }
};

TEST(ClusterUi, GenerateAtOnceWithoutAKeyAndOnlyAfterConfirmingWithOne) {
  Controller c;
  EXPECT_EQ(c.key_result(), "None");
  random_seed = 1;
  clusterui::generate_key(&c.s, counting_random, 0);
  const std::string first = c.key_file();
  EXPECT_NE(first.find("vimbrel-key 1 "), std::string::npos);
  EXPECT_EQ(c.key_result(), "Loaded");
  struct stat st{};
  ASSERT_EQ(stat((c.base() + ".key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  random_seed = 2;
  clusterui::generate_key(&c.s, counting_random, 0);
  EXPECT_EQ(c.s.generate_armed, 1u);
  EXPECT_EQ(c.key_file(), first) << "the first press only arms";
  clusterui::generate_key(&c.s, counting_random, 0);
  EXPECT_EQ(c.s.generate_armed, 0u);
  EXPECT_NE(c.key_file(), first) << "the second press replaces";

  clusterui::generate_key(&c.s, failing_random, 0);
  clusterui::generate_key(&c.s, failing_random, 0);
  EXPECT_EQ(c.key_result(), "Not generated: the random source failed.");
  EXPECT_NE(c.key_file(), first) << "a failed generation keeps the key";

  cluster::KeyWork work;
  EXPECT_EQ(clusterui::key_text(&c.s, &work), 78u);
  cluster::wipe_key_buffer(&work);
}

TEST(ClusterUi, ImportResultsAndRefusals) {
  Controller c;
  const std::string zero = c.dir.path + "/zero.key", good = c.dir.path + "/good.key";
  testutil::write_file(zero, "vimbrel-key 1 " + std::string(64, '0') + "\n");
  std::string digits;
  for (int i = 0; i < 32; ++i) digits += "a" + std::to_string(i % 10);
  testutil::write_file(good, "vimbrel-key 1 " + digits + "\n");
  chmod(good.c_str(), 0600);
  chmod(zero.c_str(), 0600);
  struct Case {
    std::string typed;
    std::string result;
  } cases[] = {
      {c.dir.path + "/missing.key", "Refused: no such file."},
      {zero, "Refused: weak"},
      {"12345", "Refused: no such file."},  // what is not key text is taken as a path
      {good, "Imported"},
      {digits, "Imported"},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(clusterui::field_text(&c.s, clusterui::edit_key));
    c.type(k.typed);
    clusterui::commit(&c.s, 0);
    EXPECT_EQ(c.s.editing, clusterui::edit_none);
    EXPECT_EQ(c.key_result(), k.result) << k.typed;
  }
  EXPECT_EQ(c.key_file().substr(0, 14 + 64), "vimbrel-key 1 " + digits);

  cluster::KeyWork work;
  ASSERT_EQ(clusterui::key_text(&c.s, &work), 78u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(work.formatted), 78), "vimbrel-key 1 " + digits);
  cluster::wipe_key_buffer(&work);
}

// A key file that others may read is refused for that reason, and the row says so: its verdict alone would read
// "ok". Once only its owner may read it, the same file loads.
TEST(ClusterUi, AKeyFileOthersCanReadIsRefusedWithItsReason) {
  Controller c;
  std::filesystem::create_directories(c.dir.path + "/set");
  std::string digits;
  for (int i = 0; i < 32; ++i) digits += "b" + std::to_string(i % 10);
  const std::string good = "vimbrel-key 1 " + digits + "\n";
  struct Case {
    std::string text;
    mode_t mode;
    std::string result;
  } cases[] = {
      {good, 0644, "Refused: readable by others; allow only its owner (chmod 600)."},
      {"vimbrel-key 1 " + std::string(64, 'x') + "\n", 0600, "Refused: hex"},
      {good, 0600, "Loaded"},
  };
  for (const Case& k : cases) {
    testutil::write_file(c.base() + ".key", k.text);
    chmod((c.base() + ".key").c_str(), k.mode);
    auth::KeyState key;
    clusterui::read_key(&c.s, &key);
    EXPECT_EQ(c.key_result(), k.result) << k.text;
    clusterui::toggle_publish(&c.s, counting_random, 0);
    EXPECT_EQ(c.status() == "Not publishing: the cluster key file is refused.", k.result != "Loaded") << c.status();
    clusterui::toggle_publish(&c.s, counting_random, 0);
  }
}

TEST(ClusterUi, TypedKeysAreMaskedAndPathsShown) {
  Controller c;
  struct Case {
    std::string typed;
    bool masked;
  } cases[] = {
      {std::string(64, 'f'), true},
      {"C:\\keys\\k.txt", false},
      {"/home/me/cluster.key", false},
      {"vimbrel-key 1 /:" + std::string(8, '1'), true},  // a pasted key line stays hidden
      {"VIMBREL-KEY", true},
      {"/keys/" + std::string(16, 'a'), true},  // a long hex run looks like key material
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(clusterui::field_text(&c.s, clusterui::edit_key));
    c.type(k.typed);
    EXPECT_EQ(clusterui::key_masked(c.s), k.masked) << k.typed;
    EXPECT_EQ(c.key_result(), k.masked ? std::string(k.typed.size(), '*') : k.typed);
    clusterui::end_edit(&c.s);
  }
  EXPECT_FALSE(clusterui::key_masked(c.s));
}

TEST(ClusterUi, PublishingSwitchTargetAndStatusSentences) {
  Controller c;
  EXPECT_EQ(c.status(), "Off: nothing is sent.");
  random_seed = 3;
  clusterui::toggle_publish(&c.s, counting_random, 0);
  EXPECT_EQ(c.s.publish.id_present, 1u);
  const std::string saved = testutil::read_file(c.base() + ".publish");
  EXPECT_NE(saved.find("vimbrel-publish 1"), std::string::npos);
  EXPECT_NE(saved.find("\nid "), std::string::npos) << saved;
  EXPECT_EQ(c.status(), "Waiting for a cluster key.");
  clusterui::generate_key(&c.s, counting_random, 0);
  EXPECT_EQ(c.status(), "Waiting for a server or share.");

  ASSERT_TRUE(clusterui::field_text(&c.s, clusterui::edit_target));
  c.type("not a target");
  cluster::Text t{};
  clusterui::target_text(c.s, &t);
  EXPECT_EQ(str(t), "not a target") << "the field's text while edited";
  clusterui::commit(&c.s, 0);
  clusterui::target_text(c.s, &t);
  EXPECT_EQ(str(t), "Refused: not an IPv4 address or a share path.");
  ASSERT_TRUE(clusterui::field_text(&c.s, clusterui::edit_target));
  c.type("10.0.0.5:7500");
  clusterui::commit(&c.s, 0);
  clusterui::target_text(c.s, &t);
  EXPECT_EQ(str(t), "10.0.0.5:7500");
  EXPECT_EQ(c.status(), "Not connected under --test.");
  EXPECT_FALSE(clusterui::publishing(c.s)) << "never under --test";
  EXPECT_EQ(clusterui::link_state(c.s) & 0xFF, 0u);

  clusterui::set_background(&c.s, true, 0);
  EXPECT_EQ(c.status(), "Publishing from the background copy, under Background.");
  EXPECT_EQ(c.s.block, nullptr);
  clusterui::set_background(&c.s, false, 0);
  EXPECT_NE(c.s.block, nullptr);

  clusterui::toggle_publish(&c.s, counting_random, 0);
  EXPECT_EQ(c.status(), "Off: nothing is sent.");
  EXPECT_EQ(c.s.block, nullptr);
}

TEST(ClusterUi, NoMachineIdWhenTheRandomSourceFails) {
  Controller c;
  clusterui::toggle_publish(&c.s, failing_random, 0);
  EXPECT_EQ(c.s.publish.publish, 1u);
  EXPECT_EQ(c.s.publish.id_present, 0u);
  EXPECT_FALSE(clusterui::publishing(c.s));
}

TEST(ClusterUi, UnsavablePublishSettingsAreShown) {
  testutil::TempDir dir;
  const std::string blocker = dir.path + "/file";
  testutil::write_file(blocker, "x");
  mem::Arena arena{};
  ASSERT_TRUE(mem::arena_init(&arena, 1 << 16));
  clusterui::ClusterState s{};
  // The test base lies under a plain file, so no folder can be made for the settings.
  clusterui::init(&s, &arena, b(blocker + "/sub/settings.txt"), true, 0, 1, 81, 0);
  clusterui::toggle_publish(&s, counting_random, 0);
  cluster::Text t{};
  clusterui::publish_status(s, 0, &t);
  EXPECT_EQ(str(t), "The publish settings file could not be saved.");
  EXPECT_EQ(s.publish.publish, 1u) << "the settings in memory stay";
  clusterui::close(&s);
  mem::release(&arena);
}

}  // namespace
