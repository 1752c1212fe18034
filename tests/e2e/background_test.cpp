// The background copy as a user meets it: `vimbrel --background` in its own data folder, its children, its status
// file and its self-update, and the window's side installing, starting, waking and stopping it. Every copy runs
// from a file inside the test's folder; whatever of it is still running when a test ends is stopped and, failing
// that, killed by its path.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kobj.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"
#include "update/background.h"
#include "update/runkey.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

const char* const key_line = "vimbrel-key 1 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n";

// Waits until the condition holds, looking every 100 ms for at most the seconds given.
bool eventually(const std::function<bool()>& condition, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    usleep(100000);
  }
  return condition();
}

// A port on loopback that nothing listens on (the kernel's choice, let go again).
int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

// One user's folders with the copy's data folder inside; this process's kernel objects live there too.
struct Home {
  testutil::TempDir dir;
  harness::EnvVar config_home{"XDG_CONFIG_HOME", std::nullopt};
  harness::EnvVar data_home{"XDG_DATA_HOME", std::nullopt};
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", std::nullopt};
  harness::EnvVar beacon{"VIMBREL_BEACON", std::nullopt};
  background::Paths paths;
  std::vector<pid_t> started;

  Home() {
    setenv("XDG_CONFIG_HOME", (dir.path + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir.path + "/run").c_str(), 1);
    std::filesystem::create_directories(dir.path + "/run");
    chmod((dir.path + "/run").c_str(), 0700);
    std::filesystem::create_directories(config());
    background::paths(&paths, mem::Bytes());
  }
  ~Home() {
    // Ask the copy to end as the window does; then make sure nothing started from this folder is left.
    std::filesystem::create_directories(folder());
    testutil::write_file(folder() + "/background.txt", "vimbrel-background 1\n");
    kobj::wake(paths.wake());
    eventually([&] { return !copy_running(); }, 30);
    kill_leftovers();
    for (pid_t pid : started) waitpid(pid, nullptr, 0);
  }
  std::string config() const { return dir.path + "/config/Vimbrel"; }
  std::string folder() const { return dir.path + "/data/Vimbrel"; }
  std::string copy() const { return folder() + "/bin/vimbrel"; }
  std::string status() const { return testutil::read_file(folder() + "/background.status"); }
  std::string status_line(u32 n) const {
    std::string s = status();
    mem::Bytes line = background::status_line(bytes(s), n);
    return std::string(reinterpret_cast<const char*>(line.ptr), line.len);
  }
  bool copy_running() const { return kobj::mutex_exists(paths.mutex()) != 0; }

  void write_key() const {
    testutil::write_file(config() + "/cluster.key", key_line);
    chmod((config() + "/cluster.key").c_str(), 0600);
  }
  void publish(const std::string& target) const {
    testutil::write_file(config() + "/publish.txt", "vimbrel-publish 1\npublish on\ntarget " + target + "\n");
  }
  void roles(const std::string& lines) const {
    std::filesystem::create_directories(folder());
    testutil::write_file(folder() + "/background.txt", "vimbrel-background 1\n" + lines);
  }
  // A copy of the build at the path; with a version, one that reports that version (a test build reads it from
  // the end of its own file).
  void place_build(const std::string& path, const std::string& version = "") const {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file(VIMBREL_EXE, path, std::filesystem::copy_options::overwrite_existing);
    if (!version.empty()) {
      int fd = open(path.c_str(), O_WRONLY | O_APPEND);
      std::string tail = "\nVIMBREL-TEST-VERSION " + version + "\n";
      EXPECT_EQ(write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
      close(fd);
    }
    chmod(path.c_str(), 0755);
  }
  // Starts the program with the arguments, its output into a file of the folder: the process id.
  pid_t start(const std::string& program, const std::vector<std::string>& args) {
    std::string out = dir.path + "/out-" + std::to_string(started.size());
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv = {const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    started.push_back(pid);
    return pid;
  }
  // The exit code of a started process once it ended within the seconds given; -1 otherwise.
  int exit_code(pid_t pid, int seconds) {
    int status = 0;
    bool done = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
    if (!done) return -1;
    std::erase(started, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void kill_leftovers() const {
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
      char target[4096];
      std::string link = std::string("/proc/") + e->d_name + "/exe";
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      if (std::string(target, n).rfind(dir.path + "/", 0) == 0) kill(atoi(e->d_name), SIGKILL);
    }
    if (d) closedir(d);
  }
};

TEST(BackgroundCopy, EndsAtOnceWithoutRoles) {
  Home h;
  h.place_build(h.copy());
  EXPECT_EQ(h.exit_code(h.start(h.copy(), {"--background"}), 60), 0);
  EXPECT_EQ(h.status(), "Off.\nOff.\n\n");

  std::string cmd = "env -u XDG_DATA_HOME -u HOME '" + h.copy() + "' --background";
  FILE* p = popen(cmd.c_str(), "r");
  char line[128] = {};
  size_t got = fread(line, 1, sizeof line - 1, p);
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 3);
  EXPECT_EQ(std::string(line, got),
            "vimbrel background: no data folder: set $XDG_DATA_HOME or $HOME (~/.local/share)\n");
}

TEST(BackgroundCopy, RestartsACrashingChildWithAGrowingBackOff) {
  Home h;
  h.place_build(h.copy());
  std::filesystem::create_directories(h.dir.path + "/share");
  h.publish(h.dir.path + "/share");  // no cluster key: the candidate ends at once with code 2
  h.roles("host on\n");
  pid_t copy = h.start(h.copy(), {"--background"});
  for (const char* delay : {"1", "2", "4"}) {
    std::string expected = std::string("Exited, code 2: no cluster key file; again in ") + delay + " s.";
    EXPECT_TRUE(eventually([&] { return h.status_line(0) == expected; }, 60)) << h.status();
  }
  EXPECT_EQ(h.status_line(1), "Off.");

  // With no role left the copy stops and ends by itself once woken.
  h.roles("host off\n");
  EXPECT_TRUE(kobj::wake(h.paths.wake()));
  EXPECT_EQ(h.exit_code(copy, 60), 0);
  EXPECT_EQ(h.status(), "Off.\nOff.\n\n");
  EXPECT_FALSE(h.copy_running());
}

TEST(BackgroundCopy, IsInstalledStartedWokenAndStoppedFromTheWindow) {
  Home h;
  h.write_key();
  std::string server = "127.0.0.1:" + std::to_string(closed_port());
  h.publish(server);
  std::string program = h.dir.path + "/build/vimbrel";
  h.place_build(program);

  background::Control c;
  background::start_at_launch(&c, bytes(program), mem::Bytes(), background::mode_normal);
  EXPECT_EQ(c.roles, 0);  // publishing to a server gives no host role
  EXPECT_FALSE(std::filesystem::exists(h.copy()));

  // The agent role installs the copy with its execute bit, records where it came from and starts it.
  background::toggle_role(&c, 1);
  EXPECT_EQ(c.errors, 0);
  EXPECT_TRUE(c.copy_running);
  struct stat st{};
  ASSERT_EQ(stat(h.copy().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0700, 0700u);  // runs; private to the user like the rest of the data folder
  EXPECT_EQ(st.st_mode & 022, 0u);
  EXPECT_NE(testutil::read_file(h.folder() + "/background.txt").find("\nagent on\nsource " + program + "\n"),
            std::string::npos);
  EXPECT_TRUE(eventually([&] { return h.copy_running(); }, 60));
  EXPECT_TRUE(eventually([&] { return h.status_line(1).rfind("publishing to " + server, 0) == 0 ||
                                      h.status_line(1).rfind("cannot connect", 0) == 0; }, 60))
      << h.status();

  // A second copy finds the first one running and leaves.
  EXPECT_EQ(h.exit_code(h.start(h.copy(), {"--background"}), 60), 0);

  // The host role with a server target has nothing to elect on; the page sees it through refresh.
  background::toggle_role(&c, 0);
  EXPECT_EQ(c.roles, 3);
  EXPECT_TRUE(eventually([&] {
    background::refresh(&c, true);
    return mem::eq(background::status_line(mem::Bytes(c.status, c.status_length), 0),
                   mem::lit("Needs a share under Server or share."));
  }, 60)) << h.status();
  u8 line[160];
  std::string shown(reinterpret_cast<char*>(line), background::settings_text(&c, mem::Slice{line, sizeof line}));
  EXPECT_EQ(shown.rfind("Host: Needs a share under Server or share.   Publishing: ", 0), 0u) << shown;

  // Start at log-on: the entry runs the copy; a second click removes it.
  background::set_run_entry(&c);
  EXPECT_TRUE(c.run_present);
  u8 run[512];
  EXPECT_EQ(std::string(reinterpret_cast<char*>(run), runkey::read(mem::lit("Vimbrel"), run)),
            "\"" + h.copy() + "\" --background");
  background::set_run_entry(&c);
  EXPECT_FALSE(c.run_present);
  EXPECT_FALSE(std::filesystem::exists(h.dir.path + "/config/autostart/vimbrel.desktop"));

  // A changed target reaches the running agent once the page wakes the copy.
  std::string other = "127.0.0.1:" + std::to_string(closed_port());
  h.publish(other);
  background::wake(&c);
  EXPECT_TRUE(eventually([&] { return h.status_line(1).rfind("publishing to " + other, 0) == 0 ||
                                      h.status_line(1).rfind("cannot connect", 0) == 0; }, 60))
      << h.status();

  // Turning the agent off stops it; turning the host off too ends the copy.
  background::toggle_role(&c, 1);
  EXPECT_TRUE(eventually([&] { return h.status_line(1) == "Off."; }, 60)) << h.status();
  EXPECT_TRUE(h.copy_running());
  background::toggle_role(&c, 0);
  EXPECT_EQ(c.roles, 0);
  EXPECT_TRUE(eventually([&] { return !h.copy_running(); }, 60));
  EXPECT_EQ(h.status_line(0) + "|" + h.status_line(1), "Off.|Off.");
}

TEST(BackgroundCopy, ReplacesItselfFromANewerBuild) {
  Home h;
  h.write_key();
  h.publish("127.0.0.1:" + std::to_string(closed_port()));
  h.place_build(h.copy());
  std::string newer = h.dir.path + "/new/vimbrel";
  h.place_build(newer, "0.1.200");
  h.roles("agent on\nsource " + newer + "\n");

  pid_t old_copy = h.start(h.copy(), {"--background"});
  // The old copy hands over to the new one and ends; the new one runs from the same path.
  EXPECT_EQ(h.exit_code(old_copy, 120), 0);
  EXPECT_EQ(std::filesystem::file_size(h.copy()), std::filesystem::file_size(newer));
  EXPECT_TRUE(eventually([&] { return h.copy_running(); }, 60));
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(h.copy() + ".old"); }, 60));
  // The new copy probes its source once too (a copy of it beside itself, removed after).
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(h.copy() + ".update"); }, 60));
  EXPECT_TRUE(eventually([&] { return h.status_line(1).rfind("publishing to", 0) == 0 ||
                                      h.status_line(1).rfind("cannot connect", 0) == 0; }, 60))
      << h.status();

  // An older program is probed and kept out.
  std::string older = h.dir.path + "/old/vimbrel";
  h.place_build(older, "0.1.5");
  h.roles("agent on\nsource " + older + "\n");
  EXPECT_TRUE(kobj::wake(h.paths.wake()));
  EXPECT_TRUE(eventually([&] {
    return h.status_line(2) ==
           "Update check: the program is version 0.1.5, not newer than the background copy's 0.1.200; the copy is "
           "kept.";
  }, 120)) << h.status();
  EXPECT_EQ(std::filesystem::file_size(h.copy()), std::filesystem::file_size(newer));
  EXPECT_FALSE(std::filesystem::exists(h.copy() + ".update"));
}

}  // namespace
