#pragma once
// A small update world for the updater tests, all inside one temporary folder: a copy of the program to update, a
// loopback HTTPS server (tests/update/server.py) with a certificate made here by openssl, a test key pair, and a
// release (a script that prints its version) with its manifest and signature. The environment points the program's
// test seams (test builds only) at this server and key, and the per-user folders into the folder.
#include <signal.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "tests/platform/harness.h"
#include "base/sha256.h"
#include "tests/support/signing.h"
#include "tests/support/portfile.h"
#include "tests/support/testutil.h"
#include "update/update.h"

namespace release {

using harness::bytes;

using signing::hex;

// A file's identity: the same one after an operation means it was never replaced.
struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FileId&) const = default;
};
inline FileId id_of(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return FileId{0, 0};
  return FileId{st.st_dev, st.st_ino};
}
inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

using signing::KeyPair;
using signing::sha256_hex;

// A route of the test server: status and body (or a file), extra headers, stalls.
struct Route {
  int status = 200;
  std::string body;
  std::map<std::string, std::string> headers;
  int stall_before_ms = 0;
  int stall_after_ms = 0;
  int trickle_ms = 0;  // the body one byte at a time, this far apart
};

struct World {
  testutil::TempDir dir;
  std::string program;  // the copy of the program that gets updated
  KeyPair key;
  pid_t server = -1;
  int port = 0;
  bool server_secure = true;
  std::map<std::string, Route> routes;
  std::string root;  // a folder served as a static web server serves it, for paths that no route names
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  harness::EnvVar config_home{"XDG_CONFIG_HOME", std::nullopt};
  harness::EnvVar data_home{"XDG_DATA_HOME", std::nullopt};
  std::string release_body = "#!/bin/sh\necho vimbrel 0.1.82\n";

  explicit World(bool secure = true) {
    setenv("XDG_RUNTIME_DIR", (dir.path + "/run").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir.path + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path + "/data").c_str(), 1);
    mkdir((dir.path + "/run").c_str(), 0700);
    mkdir((dir.path + "/app").c_str(), 0755);
    program = dir.path + "/app/vimbrel";
    std::filesystem::copy_file(VIMBREL_EXE, program);
    chmod(program.c_str(), 0755);
    if (secure) make_certificate();
    write_routes();
    start_server(secure);
    setenv("VIMBREL_TEST_UPDATE_FEED", url("/downloads/vimbrel/linux/x86_64/latest.txt").c_str(), 1);
    setenv("VIMBREL_TEST_UPDATE_KEY", hex(key.pk, 32).c_str(), 1);
    if (secure) setenv("VIMBREL_TEST_UPDATE_CA", (dir.path + "/cert.pem").c_str(), 1);
    setenv("VIMBREL_TEST_UPDATE_FLAGS", secure ? "4" : "5", 1);
    setenv("VIMBREL_TEST_UPDATE_WAIT_MS", "3000", 1);
    publish(release_body, "0.1.82");
  }
  ~World() {
    if (server > 0) {
      kill(server, SIGKILL);
      waitpid(server, nullptr, 0);
    }
    const char* names[] = {"VIMBREL_TEST_UPDATE_FEED",    "VIMBREL_TEST_UPDATE_KEY",     "VIMBREL_TEST_UPDATE_CA",
                           "VIMBREL_TEST_UPDATE_FLAGS",   "VIMBREL_TEST_UPDATE_WAIT_MS", "VIMBREL_TEST_UPDATE_LIMIT",
                           "VIMBREL_TEST_UPDATE_DEADLINE_MS", "VIMBREL_TEST_FAULTS"};
    for (const char* n : names) unsetenv(n);
  }

  std::string url(const std::string& path) const {
    return std::string(server_secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + path;
  }

  void make_certificate() {
    std::string cmd = "cd '" + dir.path +
                      "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "
                      "key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                      ">/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) abort();
  }

  void write_routes() {
    std::string json = "{";
    bool first = true;
    for (auto& [path, r] : routes) {
      std::string file = dir.path + "/body" + std::to_string(std::hash<std::string>{}(path));
      testutil::write_file(file, r.body);
      json += first ? "" : ",";
      first = false;
      json += "\"" + path + "\":{\"status\":" + std::to_string(r.status) + ",\"file\":\"" + file +
              "\",\"stall_before_ms\":" + std::to_string(r.stall_before_ms) +
              ",\"stall_after_ms\":" + std::to_string(r.stall_after_ms) +
              ",\"trickle_ms\":" + std::to_string(r.trickle_ms) + ",\"headers\":{";
      bool h1 = true;
      for (auto& [name, value] : r.headers) json += (h1 ? "\"" : ",\"") + name + "\":\"" + value + "\"", h1 = false;
      json += "}}";
    }
    if (!root.empty()) json += std::string(first ? "" : ",") + "\"*\":{\"root\":\"" + root + "\"}";
    json += "}";
    testutil::write_file(dir.path + "/routes.tmp", json);
    rename((dir.path + "/routes.tmp").c_str(), (dir.path + "/routes.json").c_str());
  }

  void start_server(bool secure) {
    server_secure = secure;
    std::string script = std::string(VIMBREL_SOURCE_DIR) + "/tests/update/server.py";
    std::string routes_path = dir.path + "/routes.json", port_path = dir.path + "/port";
    std::string cert = dir.path + "/cert.pem", keyfile = dir.path + "/key.pem";
    server = fork();
    if (server == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that ends without its destructors
      if (secure) {
        execlp("python3", "python3", script.c_str(), routes_path.c_str(), port_path.c_str(), cert.c_str(),
               keyfile.c_str(), nullptr);
      } else {
        execlp("python3", "python3", script.c_str(), routes_path.c_str(), port_path.c_str(), nullptr);
      }
      _exit(127);
    }
    port = portfile::written(port_path, server);
  }

  std::string release_path(const std::string& version) const {
    return "/downloads/vimbrel/v" + version + "/vimbrel-" + version + "-x86_64-linux";
  }

  std::string manifest(const std::string& body, const std::string& version) const {
    return "vimbrel-latest 1\nversion " + version + "\nfile vimbrel-" + version + "-x86_64-linux\nsha256 " +
           sha256_hex(body) + "\nurl " + url(release_path(version)) + "\n";
  }

  // Publishes a release signed by the test key: the feed, the file and "<file>.sig".
  void publish(const std::string& body, const std::string& version) {
    routes["/downloads/vimbrel/linux/x86_64/latest.txt"] = Route{200, manifest(body, version)};
    routes[release_path(version)] = Route{200, body};
    routes[release_path(version) + ".sig"] = Route{200, key.sign_release(version, "x86_64", body)};
    write_routes();
  }

  std::string log() const { return testutil::read_file(dir.path + "/port.log"); }
};

// The controller's configuration for the world (what the worker makes of the same environment).
inline update::Config config_of_world(update::TestSeams* seams) {
  update::Config c = update::make_config(mem::lit("0.1.81"));
  update::apply_test_seams(&c, seams);
  return c;
}

// Runs one worker step through the controller's half (start, poll, decode) and answers the decoded result.
inline void run_step(const update::Config& config, const std::string& program, u32 mode, update::Result* r,
                     bool prepare = true) {
  if (prepare) {
    update::reset_result(r);
    update::prepare_for_path(&config, bytes(program), r);
    if (mode == 3) r->state = update::state_staged;
  }
  update::Worker w;
  update::start_worker(&config, mode, &w, r);
  for (int i = 0; i < 6000 && update::poll_worker(&config, &w, r); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace release
