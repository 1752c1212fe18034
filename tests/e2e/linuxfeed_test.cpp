// The Linux build service as a user meets it: the built executable's "--linux-fetch" child against a loopback
// HTTP release server, and "--host" serving a Linux build to an agent's download session over loopback TCP, from a
// build placed by hand and from one it fetched itself.
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "cluster/remote_update.h"
#include "tests/host/build_fixture.h"
#include "tests/host/net.h"
#include "tests/support/portfile.h"

namespace {

using Clock = std::chrono::steady_clock;

u64 now_ms() {
  return static_cast<u64>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// The version the built program reports, packed.
u64 program_version() {
  testutil::RunResult r = testutil::run_vimbrel("--version");
  unsigned a = 0, b = 0, c = 0;
  if (sscanf(r.out.c_str(), "vimbrel %u.%u.%u", &a, &b, &c) != 3) return 0;
  return remote_update::pack_version(static_cast<u16>(a), static_cast<u16>(b), static_cast<u16>(c));
}

// A release server on loopback (tests/update/server.py, plain HTTP, which the test builds allow for 127.0.0.1), and
// the environment that points the program's update configuration at it and at the test key.
struct Release {
  testutil::TempDir dir;
  buildfix::Key key;
  pid_t server = -1;
  int port = 0;
  std::map<std::string, std::string> files;  // path -> body; others answer 404
  u64 version = program_version();
  std::string n = buildfix::name(version);
  std::string base = "/downloads/vimbrel/v" + version_text() + "/";

  Release() {
    write_routes();
    server = fork();
    if (server == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::string script = std::string(VIMBREL_SOURCE_DIR) + "/tests/update/server.py";
      execlp("python3", "python3", script.c_str(), (dir.path + "/routes.json").c_str(), (dir.path + "/port").c_str(),
             nullptr);
      _exit(127);
    }
    port = portfile::written(dir.path + "/port", server);
    std::string origin = "http://127.0.0.1:" + std::to_string(port);
    setenv("VIMBREL_TEST_UPDATE_FEED", (origin + "/downloads/vimbrel/linux/x86_64/latest.txt").c_str(), 1);
    setenv("VIMBREL_TEST_UPDATE_KEY", key.public_hex().c_str(), 1);
    setenv("VIMBREL_TEST_UPDATE_FLAGS", "5", 1);  // local URLs allowed; the manifest's version counts
    setenv("VIMBREL_TEST_UPDATE_WAIT_MS", "5000", 1);
  }
  ~Release() {
    for (const char* v : {"VIMBREL_TEST_UPDATE_FEED", "VIMBREL_TEST_UPDATE_KEY", "VIMBREL_TEST_UPDATE_FLAGS",
                          "VIMBREL_TEST_UPDATE_WAIT_MS"}) {
      unsetenv(v);
    }
    if (server > 0) {
      kill(server, SIGKILL);
      waitpid(server, nullptr, 0);
    }
  }
  std::string version_text() const {
    u8 out[24];
    return std::string(reinterpret_cast<char*>(out), remote_update::version_text(version, mem::Slice{out, 24}));
  }
  void write_routes() {
    std::string json = "{";
    int i = 0;
    for (auto& [path, body] : files) {
      std::string file = dir.path + "/body" + std::to_string(i++);
      testutil::write_file(file, body);
      json += (json.size() > 1 ? "," : "") + std::string("\"") + path + "\":{\"status\":200,\"file\":\"" + file + "\"}";
    }
    testutil::write_file(dir.path + "/routes.tmp", json + "}");
    rename((dir.path + "/routes.tmp").c_str(), (dir.path + "/routes.json").c_str());
  }
  // The build, its signature, and a checksum list that names it among other files.
  void publish(const std::string& build) {
    files[base + "SHA256SUMS"] = buildfix::sha256_hex("notes") + "  notes.txt\n" + buildfix::sha256_hex(build) +
                                 "  " + n + "\n";
    files[base + n] = build;
    files[base + n + ".sig"] = key.sign_release(version_text(), "x86_64", build);
    write_routes();
  }
  std::string log() const { return testutil::read_file(dir.path + "/port.log"); }
};

std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(LinuxFetchChild, PlacesAVerifiedBuildOrNothingWithItsExitCode) {
  const std::string build = buildfix::elf(70000);
  buildfix::Key other;
  struct Case {
    const char* what;
    const char* arch;
    void (*serve)(Release*, const std::string& build, const buildfix::Key& other);
    int code;
    void (*prepare)(const std::string& folder, const std::string& n) = nullptr;  // the Linux folder beforehand
  } cases[] = {
      {"published", "x86_64", [](Release* r, const std::string& b, const buildfix::Key&) { r->publish(b); }, 0},
      {"unknown architecture (a usage error)", "arm",
       [](Release* r, const std::string& b, const buildfix::Key&) { r->publish(b); }, 2},
      {"no checksum list", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files.erase(r->base + "SHA256SUMS");
         r->write_routes();
       },
       3},
      {"the list does not name the build", "aarch64",
       [](Release* r, const std::string& b, const buildfix::Key&) { r->publish(b); }, 3},
      {"the build is missing", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files.erase(r->base + r->n);
         r->write_routes();
       },
       4},
      {"the signature is missing", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files.erase(r->base + r->n + ".sig");
         r->write_routes();
       },
       4},
      {"a checksum list too long to take", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files[r->base + "SHA256SUMS"] += std::string(70000, '#');
         r->write_routes();
       },
       4},
      {"a wrong checksum", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files[r->base + "SHA256SUMS"] = buildfix::sha256_hex(b + "x") + "  " + r->n + "\n";
         r->write_routes();
       },
       5},
      {"signed as an older version", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) {
         r->publish(b);
         r->files[r->base + r->n + ".sig"] = r->key.sign_release("0.1.0", "x86_64", b);
         r->write_routes();
       },
       5},
      {"signed by another key", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key& o) {
         r->publish(b);
         r->files[r->base + r->n + ".sig"] = o.sign_release(r->version_text(), "x86_64", b);
         r->write_routes();
       },
       5},
      {"an executable for another machine", "x86_64",
       [](Release* r, const std::string&, const buildfix::Key&) { r->publish(buildfix::elf(70000, 183)); }, 5},
      {"the folder cannot be made", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) { r->publish(b); }, 2,
       [](const std::string& folder, const std::string&) {
         std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
         testutil::write_file(folder, "a file where the folder belongs");
       }},
      {"the build's name is taken by a folder", "x86_64",
       [](Release* r, const std::string& b, const buildfix::Key&) { r->publish(b); }, 6,
       [](const std::string& folder, const std::string& n) { std::filesystem::create_directories(folder + "/" + n); }},
  };
  for (const Case& c : cases) {
    Release r;
    ASSERT_NE(r.port, 0);
    c.serve(&r, build, other);
    testutil::TempDir home;
    std::string folder = home.path + "/data/Vimbrel/linux";
    if (c.prepare) c.prepare(folder, r.n);
    testutil::RunResult run = testutil::run_vimbrel(std::string("--linux-fetch ") + c.arch, home.path);
    EXPECT_EQ(run.exit_code, c.code) << c.what << "\n" << run.err;
    if (c.code == 0) {
      EXPECT_EQ(listing(folder), (std::vector<std::string>{r.n, r.n + ".sha256", r.n + ".sig"})) << c.what;
      EXPECT_EQ(testutil::read_file(folder + "/" + r.n), build);
      EXPECT_EQ(testutil::read_file(folder + "/" + r.n + ".sha256"), buildfix::sha256_hex(build) + "  " + r.n + "\n");
      EXPECT_NE(r.log().find(" Vimbrel "), std::string::npos);  // the program's name as the user agent
    } else if (c.prepare == nullptr) {
      EXPECT_EQ(listing(folder), std::vector<std::string>{}) << c.what;
    } else if (c.code == 6) {
      EXPECT_EQ(listing(folder), std::vector<std::string>{r.n}) << c.what;  // the folder alone: nothing else left
    }
  }
}

// ---- A host and an agent's download session.

struct Host {
  testutil::TempDir home;
  net::Process process;
  u16 port = 0;
  std::string folder = home.path + "/data/Vimbrel/linux";

  Host() { net::make_home(home.path); }
  // Started on a free port; a port taken meanwhile by another process is tried again with another.
  bool start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = net::free_port();
      process.start({"--host", home.path + "/share", "--port", std::to_string(port), "--listen", "127.0.0.1"},
                    home.path);
      if (process.wait_output("listening on port", 30)) return true;
      process.stop(SIGKILL);
    }
    return false;
  }
};

struct Download {
  u8 result = 0;
  std::string bytes;
};

// One download try over TCP, as an agent with the release key makes it, until the session ends or 30 s pass.
Download download(u16 port, u64 own, const u8* release_key) {
  Download d;
  net::Member m;
  if (!m.connect_to(port)) return d;
  auth::KeyState key;
  net::key_state(&key);
  auto s = std::make_unique<remote_update::Session>();
  const u8 id[16] = {0x5A, 1};
  remote_update::start_session(s.get(), &key, id, remote_update::arch_x86_64, own, release_key);
  u8 nonce[16];
  for (u8& b : nonce) b = static_cast<u8>(rand());
  remote_update::send_hello(s.get(), mem::Bytes(nonce, 16), true, now_ms());
  auto end = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < end && s->phase != remote_update::session_done && s->phase != remote_update::session_failed) {
    mem::Bytes out = remote_update::output(s.get());
    if (out.len != 0 && !m.write_all(net::Bytes(out.ptr, out.ptr + out.len))) break;
    remote_update::sent(s.get(), static_cast<u32>(out.len));
    pollfd pf{m.fd, POLLIN, 0};
    if (poll(&pf, 1, 100) <= 0) {
      if (remote_update::stalled(s.get(), now_ms())) s->result = remote_update::result_timed_out;
      if (s->result != 0) break;
      continue;
    }
    mem::Slice room = remote_update::input_room(s.get());
    ssize_t n = ::recv(m.fd, room.ptr, room.len, 0);
    if (n <= 0) {
      s->result = remote_update::result_closed;
      break;
    }
    if (!remote_update::take_frames(s.get(), static_cast<u32>(n), now_ms())) break;
    while (s->phase == remote_update::session_chunk) {
      mem::Bytes data = remote_update::chunk_data(s.get());
      d.bytes.append(reinterpret_cast<const char*>(data.ptr), data.len);
      if (!remote_update::finish(s.get(), true, now_ms())) break;
    }
  }
  d.result = s->result;
  return d;
}

TEST(LinuxBuildService, APlacedBuildIsServedWithoutNetwork) {
  Release r;  // the key and version only: nothing is published, and nothing may be asked
  Host host;
  const std::string build = buildfix::elf(40000);
  buildfix::place(host.folder, r.n, build, r.key);
  ASSERT_TRUE(host.start()) << host.process.out();
  Download d = download(host.port, remote_update::pack_version(0, 0, 1), r.key.pk);
  EXPECT_EQ(d.result, remote_update::result_installed) << host.process.out();
  EXPECT_EQ(d.bytes, build);
  // An agent as new as the host hears that the build is not newer.
  EXPECT_EQ(download(host.port, r.version, r.key.pk).result, remote_update::result_not_newer);
  // An agent whose release key did not sign the build refuses it before it takes a byte: the host's cluster key
  // does not make a build trusted.
  buildfix::Key other;
  Download refused = download(host.port, remote_update::pack_version(0, 0, 1), other.pk);
  EXPECT_EQ(refused.result, remote_update::result_bad_signature);
  EXPECT_EQ(refused.bytes, "");
  EXPECT_EQ(r.log(), "");
  EXPECT_EQ(host.process.stop(), 0);
}

// A build without a release key could check nothing it fetched: it asks for nothing, and says why.
TEST(LinuxBuildService, WithoutAReleaseKeyNothingIsFetchedOrServed) {
  Release r;
  r.publish(buildfix::elf(40000));
  unsetenv("VIMBREL_TEST_UPDATE_KEY");
  testutil::TempDir home;
  testutil::RunResult run = testutil::run_vimbrel("--linux-fetch x86_64", home.path);
  EXPECT_EQ(run.exit_code, 7);
  EXPECT_EQ(run.err, "vimbrel: --linux-fetch: no release key: this build does not update its agents\n");
  Host host;
  buildfix::place(host.folder, r.n, buildfix::elf(40000), r.key);  // even a build put there by hand
  ASSERT_TRUE(host.start()) << host.process.out();
  EXPECT_TRUE(host.process.wait_output("vimbrel host: no release key: this build does not update its agents\n", 30))
      << host.process.out();
  EXPECT_EQ(download(host.port, remote_update::pack_version(0, 0, 1), r.key.pk).result,
            remote_update::result_no_binary);
  EXPECT_EQ(r.log(), "");
  EXPECT_EQ(host.process.stop(), 0);
}

TEST(LinuxBuildService, ABuildThatDoesNotCheckIsFetchedAgainAndThenServed) {
  Release r;
  const std::string build = buildfix::elf(50000, 62, 3);
  r.publish(build);
  Host host;
  // A stale build whose checksum line names other bytes: the host must not serve it, and fetches the release.
  buildfix::place(host.folder, r.n, buildfix::elf(30000), r.key, buildfix::Placing{"other bytes"});
  ASSERT_TRUE(host.start()) << host.process.out();
  Download d;
  auto end = Clock::now() + std::chrono::seconds(60);
  do {
    d = download(host.port, remote_update::pack_version(0, 0, 1), r.key.pk);
    if (d.result == remote_update::result_installed) break;
    EXPECT_EQ(d.result, remote_update::result_no_binary);  // while the fetch child works
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } while (Clock::now() < end);
  EXPECT_EQ(d.result, remote_update::result_installed);
  EXPECT_EQ(d.bytes, build);
  EXPECT_EQ(testutil::read_file(host.folder + "/" + r.n), build);
  std::string log = r.log();
  EXPECT_NE(log.find(r.base + "SHA256SUMS"), std::string::npos);
  EXPECT_NE(log.find(r.base + r.n + ".sig"), std::string::npos);
  EXPECT_EQ(host.process.stop(), 0);
}

}  // namespace
