// Releases as a maker makes them and users meet them: a key pair from `tools/release keygen`, a program built with
// its public half (vimbrel_keyed: the build input VIMBREL_RELEASE_KEY; no test key is set anywhere here), and the
// update server's tree that `tools/release sign` wrote, served over loopback HTTPS. The window's updater takes a
// 0.1.80 program to 0.1.82; a host fetches its Linux build with --linux-fetch and an agent of an older version takes
// it; a release signed by another key, an unsigned one and an older signed one offered as newer are refused, each
// with the program untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cluster/remote_update.h"
#include "tests/host/net.h"
#include "tests/update/release.h"

namespace {

const std::string tool = std::string(VIMBREL_SOURCE_DIR) + "/tools/release";

std::string version_of(const std::string& program) {
  net::Process p;
  p.program = program;
  testutil::TempDir home;
  net::make_home(home.path);
  p.start({"--version"}, home.path);
  if (!p.ended(60000)) return "";
  std::string out = p.out();
  return out.substr(0, out.find('\n'));
}

// The server, its certificate and the per-user folders of release::World, serving the tree as a static web server;
// the programs find the server through the test build's feed seam and trust only their built-in key.
struct Maker {
  release::World world;
  std::string tree = world.dir.path + "/tree";
  std::string keyed = world.dir.path + "/keyed";  // the keyed build without its debugging sections
  std::string notes = world.dir.path + "/notes.txt";

  Maker() {
    unsetenv("VIMBREL_TEST_UPDATE_KEY");
    world.routes.clear();
    world.root = tree;
    world.write_routes();
    std::string command = "strip -o '" + keyed + "' '" + std::string(VIMBREL_KEYED_EXE) + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    testutil::write_file(notes, "- Signed releases\n");
  }
  // The keyed build saying it is the version (a test build reads one from the end of its file).
  std::string build(const std::string& version) {
    std::string path = world.dir.path + "/build-" + version;
    testutil::write_file(path, testutil::read_file(keyed) + "VIMBREL-TEST-VERSION " + version + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }
  int sign(const std::string& program, const std::string& version, const std::string& key = VIMBREL_E2E_RELEASE_KEY) {
    std::string command = "'" + tool + "' sign --origin " + world.url("") + " --key '" + key + "' '" + program +
                          "' " + version + " x86_64 '" + notes + "' '" + tree + "' >/dev/null";
    return system(command.c_str());
  }
  std::string release_file(const std::string& version, const std::string& suffix = "") const {
    return tree + "/downloads/vimbrel/v" + version + "/vimbrel-" + version + "-x86_64-linux" + suffix;
  }
  std::string feed() const { return tree + "/downloads/vimbrel/linux/x86_64/latest.txt"; }
};

// The window's updater run as the window runs it: the worker's fetch, then its swap, in the program being updated.
TEST(Release, TheWindowTakesASignedReleaseAndRefusesWhatTheReleaseKeyDidNotSign) {
  struct Case {
    const char* what;
    u32 reason;  // 0: installed
  } cases[] = {
      {"signed by the release key", 0},
      {"signed by another key", update::reason_other_signer},
      {"unsigned", update::reason_not_signed},
      {"an older signed release offered as newer", update::reason_other_signer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Maker m;
    const std::string what = c.what;
    if (what == "an older signed release offered as newer") {
      // 0.1.81 signed as what it is; the feed then names it 0.1.82.
      ASSERT_EQ(m.sign(m.build("0.1.81"), "0.1.81"), 0);
      std::string feed = testutil::read_file(m.feed());
      feed.replace(feed.find("version 0.1.81"), 14, "version 0.1.82");
      testutil::write_file(m.feed(), feed);
    } else if (what == "signed by another key") {
      std::string other = m.world.dir.path + "/other";
      ASSERT_EQ(system(("'" + tool + "' keygen '" + other + "' >/dev/null").c_str()), 0);
      ASSERT_EQ(m.sign(m.build("0.1.82"), "0.1.82", other + "/release.key"), 0);
    } else {
      ASSERT_EQ(m.sign(m.build("0.1.82"), "0.1.82"), 0);
      if (what == "unsigned") std::filesystem::remove(m.release_file("0.1.82", ".sig"));
    }
    const std::string installed = testutil::read_file(m.build("0.1.80"));
    testutil::write_file(m.world.program, installed);
    update::TestSeams seams;
    const update::Config config = release::config_of_world(&seams);
    update::Result r;
    release::run_step(config, m.world.program, 2, &r);
    if (c.reason != 0) {
      EXPECT_EQ(r.state, u32(update::state_failed));
      EXPECT_EQ(r.reason, c.reason);
      EXPECT_TRUE(testutil::read_file(m.world.program) == installed) << "the program is untouched";
      EXPECT_FALSE(release::exists(m.world.program + ".new"));
      EXPECT_EQ(version_of(m.world.program), "vimbrel 0.1.80");
      continue;
    }
    ASSERT_EQ(r.state, u32(update::state_staged)) << "reason " << r.reason << "\n" << m.world.log();
    update::Result swap;
    release::run_step(config, m.world.program, 3, &swap);
    EXPECT_EQ(swap.state, u32(update::state_swapped)) << "reason " << swap.reason;
    EXPECT_EQ(version_of(m.world.program), "vimbrel 0.1.82");
    EXPECT_TRUE(testutil::read_file(m.world.program + ".old") == installed) << "the previous program is kept";
  }
}

// A host of the keyed build fetches its own version's Linux build from the tree, checks it against its key and
// serves it; an agent of an older version checks the signature itself, takes the build and ends for its restart.
TEST(Release, AHostFetchesItsLinuxBuildWithLinuxFetchAndItsAgentUpdates) {
  Maker m;
  const std::string version = version_of(m.keyed).substr(8);  // "vimbrel a.b.c"
  ASSERT_FALSE(version.empty());
  ASSERT_EQ(m.sign(m.keyed, version), 0);
  testutil::TempDir host_home, agent_home;
  net::make_home(host_home.path);
  net::make_home(agent_home.path);

  net::Process fetch;
  fetch.program = m.keyed;
  fetch.start({"--linux-fetch", "x86_64"}, host_home.path);
  ASSERT_TRUE(fetch.ended(120000));
  EXPECT_EQ(fetch.code, 0) << fetch.out() << m.world.log();
  const std::string folder = host_home.path + "/data/Vimbrel/linux/vimbrel-" + version + "-x86_64-linux";
  EXPECT_TRUE(testutil::read_file(folder) == testutil::read_file(m.keyed)) << "the build is in place";
  EXPECT_EQ(testutil::read_file(folder + ".sig"), testutil::read_file(m.release_file(version, ".sig")));

  net::Process host;
  host.program = m.keyed;
  u16 port = 0;
  for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
    port = net::free_port();
    host.start({"--host", host_home.path + "/share", "--port", std::to_string(port), "--listen", "127.0.0.1"},
               host_home.path);
    if (!host.wait_output("listening on port", 30)) host.stop(SIGKILL), port = 0;
  }
  ASSERT_NE(port, 0) << host.out();
  EXPECT_EQ(host.out().find("no release key"), std::string::npos) << host.out();

  const std::string program = agent_home.path + "/bin/vimbrel";
  std::filesystem::create_directories(agent_home.path + "/bin");
  const std::string before = testutil::read_file(m.keyed) + std::string(64, 'o');  // the agent's own older bytes
  testutil::write_file(program, before);
  chmod(program.c_str(), 0755);
  net::Process agent;
  agent.program = program;
  agent.env.push_back("VIMBREL_TEST_AGENT_VERSION=0.1.0");
  agent.start({"--agent", "--server", "127.0.0.1:" + std::to_string(port)}, agent_home.path);
  ASSERT_TRUE(agent.ended(180000)) << agent.out();
  EXPECT_EQ(agent.code, 8) << agent.out();
  EXPECT_NE(agent.out().find("vimbrel agent: self-update installed\n"), std::string::npos) << agent.out();
  EXPECT_TRUE(testutil::read_file(program) == testutil::read_file(m.keyed)) << "the agent runs the release now";
  EXPECT_TRUE(testutil::read_file(program + ".prev") == before);
  EXPECT_EQ(host.stop(), 0);
}

// A Windows build goes into the same tree under its own name and its own feed, signed for Windows: the Windows
// updater reads downloads/vimbrel/latest.txt, and the signature's line names "windows-x86_64", so no Linux updater
// (nor a Linux agent) takes it, and no Windows updater takes a Linux build. The tool takes only a 64-bit x86-64
// Windows program that already carries a code signature; here a program's headers stand for one.
TEST(Release, AWindowsBuildGoesIntoItsOwnFeedSignedForWindows) {
  testutil::TempDir dir;
  const std::string key = VIMBREL_E2E_RELEASE_KEY, tree = dir.path + "/tree", notes = dir.path + "/notes.txt";
  testutil::write_file(notes, "- Signed releases\n");
  // MZ, the PE header at 128 for AMD64 (0x8664) with a PE32+ optional header (0x20b), and a certificate table.
  auto windows_program = [](bool signed_program) {
    std::string b(1024, '\0');
    b[0] = 'M', b[1] = 'Z', b[60] = char(128);
    b.replace(128, 4, std::string("PE\0\0", 4));
    b[132] = char(0x64), b[133] = char(0x86), b[152] = char(0x0b), b[153] = char(0x02);
    if (signed_program) b[152 + 144] = 0x02, b[152 + 148] = 100;  // at 512, 100 bytes
    return b;
  };
  const std::string program = dir.path + "/vimbrel.exe", unsigned_program = dir.path + "/unsigned.exe";
  testutil::write_file(program, windows_program(true));
  testutil::write_file(unsigned_program, windows_program(false));
  auto sign = [&](const std::string& file, const std::string& arch) {
    std::string command = "'" + tool + "' sign --origin https://updates.example.org --key '" + key + "' '" + file +
                          "' 0.1.82 " + arch + " '" + notes + "' '" + tree + "' >/dev/null 2>&1";
    return system(command.c_str());
  };
  struct Refusal {
    std::string file, arch;
  } refusals[] = {{unsigned_program, "windows-x86_64"}, {"/bin/true", "windows-x86_64"}, {program, "x86_64"},
                  {program, "windows"}};
  for (const Refusal& r : refusals) {
    EXPECT_NE(sign(r.file, r.arch), 0) << r.file << " " << r.arch;
    EXPECT_FALSE(std::filesystem::exists(tree)) << "nothing is written for " << r.file << " " << r.arch;
  }

  ASSERT_EQ(sign(program, "windows-x86_64"), 0);
  const std::string name = "vimbrel-0.1.82-windows-x86_64.exe", release = tree + "/downloads/vimbrel/v0.1.82/";
  EXPECT_EQ(testutil::read_file(release + name), windows_program(true));
  const std::string digest = signing::sha256_hex(windows_program(true));
  EXPECT_EQ(testutil::read_file(release + name + ".sha256"), digest + "  " + name + "\n");
  EXPECT_EQ(testutil::read_file(release + "SHA256SUMS"), digest + "  " + name + "\n");
  EXPECT_FALSE(std::filesystem::exists(tree + "/downloads/vimbrel/linux"));
  const std::string feed = testutil::read_file(tree + "/downloads/vimbrel/latest.txt");
  update::Manifest m;
  ASSERT_EQ(update::parse_manifest(release::bytes(feed), mem::lit("vimbrel"), false, &m), 1u) << feed;
  EXPECT_EQ(feed.substr(m.url_start, m.url_end - m.url_start),
            "https://updates.example.org/downloads/vimbrel/v0.1.82/" + name);
  EXPECT_EQ(signing::hex(m.sha256, 32), digest);

  u8 public_key[32];
  const std::string pub = testutil::read_file(std::filesystem::path(key).parent_path().string() + "/release.pub");
  for (int i = 0; i < 32; i++) public_key[i] = u8(std::stoi(pub.substr(2 * i, 2), nullptr, 16));
  const std::string signature = testutil::read_file(release + name + ".sig");
  ASSERT_EQ(signature.size(), 64u);
  const u8* sig = reinterpret_cast<const u8*>(signature.data());
  EXPECT_TRUE(remote_update::release_signed(mem::lit("0.1.82"), mem::lit("windows-x86_64"), m.sha256, sig, public_key));
  EXPECT_FALSE(remote_update::release_signed(mem::lit("0.1.82"), mem::lit("x86_64"), m.sha256, sig, public_key));
  // This (Linux) build's updater refuses it, as a Windows build refuses the Linux builds.
  update::Config config = update::make_config(mem::lit("0.1.81"));
  memcpy(config.public_key, public_key, 32);
  config.has_key = 1;
  EXPECT_EQ(update::check_signature(&config, m.version, m.sha256, sig), 0u);
}

}  // namespace
