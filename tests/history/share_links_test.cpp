// Links planted on a share (any machine of the cluster may write it) and in the local history folder: no file
// operation follows them, so a file outside stays byte for byte as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "history/localhist.h"
#include "tests/history/share_support.h"

using namespace sharetest;

namespace {

const std::vector<u8> victim_bytes(2000, 'v');

struct PlantedLinks : ::testing::Test {
  testutil::TempDir dir;
  std::string share_path = dir.path + "/share";
  std::string victim = dir.path + "/outside/victim.txt";
  auth::KeyState key = key_of(1);

  void SetUp() override {
    std::filesystem::create_directories(share_path);
    std::filesystem::create_directories(dir.path + "/outside");
    write_all(victim, victim_bytes);
    chmod(victim.c_str(), 0644);
  }
  void plant(const std::string& at) {
    std::filesystem::create_directories(std::filesystem::path(at).parent_path());
    std::filesystem::remove(at);  // a file the host wrote is swapped for the link
    ASSERT_EQ(symlink(victim.c_str(), at.c_str()), 0) << at;
  }
  void expect_victim_untouched() {
    EXPECT_EQ(read_all(victim), victim_bytes);
    struct stat st {};
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
  }
  // Whatever the operations left behind, nothing in the share's folders is a temporary file.
  void expect_no_temporaries() {
    for (const auto& e : std::filesystem::recursive_directory_iterator(share_path)) {
      EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
  }
};

TEST_F(PlantedLinks, LeaseAndClaimLinksAreRefused) {
  plant(share_path + "/lease");
  plant(share_path + "/claims/00000001");
  auto a = host(share_path, 1, key);
  // The planted claim counts as taken (it cannot be created new); the next term is claimed instead.
  ASSERT_EQ(share::claim_next(a.get(), 0), share::done);
  EXPECT_EQ(a->term, 2u);
  EXPECT_NE(share::take_lease(a.get(), 0, share::now_ms(a.get())), share::done);
  EXPECT_FALSE(fs::io_is_open(a->lease));
  proto::Lease l{};
  EXPECT_FALSE(share::read_lease(a.get(), &key, &l));
  EXPECT_FALSE(share::read_claim(bytes(share_path), &key, 1, &l));
  expect_victim_untouched();
  EXPECT_TRUE(std::filesystem::is_symlink(share_path + "/lease"));
}

TEST_F(PlantedLinks, RegistryInventoryAndRingLinksNeverRedirectAWrite) {
  auto a = host(share_path, 1, key);
  u32 now = 10;
  ASSERT_EQ(share::claim_next(a.get(), now), share::done);
  ASSERT_EQ(share::take_lease(a.get(), now, share::now_ms(a.get())), share::done);
  const std::string term = share_path + "/terms/" + term_text(a->term);
  // The registry and the inventory are written under new temporary names and moved over the links: the links go,
  // the victim stays.
  Id seven(7);
  ASSERT_EQ(share::add_machine(a.get(), seven.b, mem::lit("seven"), now), 0);
  plant(term + "/registry");
  plant(term + "/machines/" + id_text(7) + "/inventory");
  EXPECT_EQ(share::write_registry(a.get(), now), share::done);
  EXPECT_FALSE(std::filesystem::is_symlink(term + "/registry"));
  proto::Inventory inv{};
  __builtin_memcpy(inv.id, seven.b, 16);
  EXPECT_EQ(share::write_inventory(a.get(), 0, &inv, now), share::done);
  EXPECT_FALSE(std::filesystem::is_symlink(term + "/machines/" + id_text(7) + "/inventory"));
  // Ring files are opened in place: a link where one belongs keeps its machine out.
  const std::string eight = term + "/machines/" + id_text(8);
  for (u32 t = 0; t < share::ring_types; ++t) {
    mem::Bytes name = store::ring_name(t);
    plant(eight + "/" + std::string(reinterpret_cast<const char*>(name.ptr), name.len));
  }
  Id id8(8);
  EXPECT_LT(share::add_machine(a.get(), id8.b, mem::lit("eight"), now), 0);
  expect_victim_untouched();
  expect_no_temporaries();
}

TEST_F(PlantedLinks, LocalHistoryRingLinksAreRefused) {
  Id id(3);
  u8 hex[32];
  store::id_name(id.b, hex);
  const std::string data = dir.path + "/data/Vimbrel";
  plant(data + "/history/" + std::string(reinterpret_cast<const char*>(hex), 32) + "/t1.ring");
  localhist::Writer w;
  EXPECT_NE(localhist::open(&w, bytes(data), mem::Bytes(id.b, 16)), localhist::ok);
  expect_victim_untouched();
  EXPECT_TRUE(std::filesystem::is_symlink(data + "/history/" + std::string(reinterpret_cast<const char*>(hex), 32) +
                                          "/t1.ring"));
}

}  // namespace
