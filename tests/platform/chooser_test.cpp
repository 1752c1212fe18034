// The desktop's file chooser in this process: on a session bus of the test's own (dbus-daemon) a stand-in portal
// answers FileChooser.OpenFile with a file URI (or a cancel), which comes back as a path; with the bus but no portal
// a stand-in zenity on PATH answers instead; with neither the chooser is unavailable.
#include "platform/chooser.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

// The few sd-bus calls the stand-in portal makes, looked up in libsystemd.
struct Sd {
  void* lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  template <typename F>
  F get(const char* name) const {
    return lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
  }
};

struct Bus;
struct Message;

// The stand-in portal, in a child: owns the portal's name, answers OpenFile with the request path that the token
// names and then the Response signal: code 0 with the URI, or code 1 (cancelled) when the URI is empty. It notes
// the title and the current folder it was given in <folder>/portal.txt.
[[noreturn]] void portal_main(const std::string& uri, const std::string& folder) {
  Sd sd;
  auto open_user = sd.get<int (*)(Bus**)>("sd_bus_open_user");
  auto request_name = sd.get<int (*)(Bus*, const char*, u64)>("sd_bus_request_name");
  auto process = sd.get<int (*)(Bus*, Message**)>("sd_bus_process");
  auto wait = sd.get<int (*)(Bus*, u64)>("sd_bus_wait");
  auto is_call = sd.get<int (*)(Message*, const char*, const char*)>("sd_bus_message_is_method_call");
  auto read = sd.get<int (*)(Message*, const char*, ...)>("sd_bus_message_read");
  auto enter = sd.get<int (*)(Message*, char, const char*)>("sd_bus_message_enter_container");
  auto leave = sd.get<int (*)(Message*)>("sd_bus_message_exit_container");
  auto skip = sd.get<int (*)(Message*, const char*)>("sd_bus_message_skip");
  auto read_array = sd.get<int (*)(Message*, char, const void**, size_t*)>("sd_bus_message_read_array");
  auto reply = sd.get<int (*)(Message*, const char*, ...)>("sd_bus_reply_method_return");
  using NewSignal = int (*)(Bus*, Message**, const char*, const char*, const char*);
  auto new_signal = sd.get<NewSignal>("sd_bus_message_new_signal");
  auto append = sd.get<int (*)(Message*, const char*, ...)>("sd_bus_message_append");
  auto open_c = sd.get<int (*)(Message*, char, const char*)>("sd_bus_message_open_container");
  auto close_c = sd.get<int (*)(Message*)>("sd_bus_message_close_container");
  auto send = sd.get<int (*)(Bus*, Message*, u64*)>("sd_bus_send");
  auto sender_of = sd.get<const char* (*)(Message*)>("sd_bus_message_get_sender");
  Bus* bus = nullptr;
  if (!open_user || open_user(&bus) < 0 || request_name(bus, "org.freedesktop.portal.Desktop", 0) < 0) _exit(3);
  for (;;) {
    Message* m = nullptr;
    const int r = process(bus, &m);
    if (r < 0) _exit(4);
    if (r == 0) {
      wait(bus, ~u64{0});
      continue;
    }
    if (!m || is_call(m, "org.freedesktop.portal.FileChooser", "OpenFile") <= 0) continue;
    const char *parent = nullptr, *title = nullptr;
    read(m, "ss", &parent, &title);
    std::string token, start;
    enter(m, 'a', "{sv}");
    while (enter(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      read(m, "s", &key);
      if (std::string(key) == "handle_token" && enter(m, 'v', "s") > 0) {
        const char* t = nullptr;
        read(m, "s", &t);
        token = t;
        leave(m);
      } else if (std::string(key) == "current_folder" && enter(m, 'v', "ay") > 0) {
        const void* bytes = nullptr;
        size_t n = 0;
        read_array(m, 'y', &bytes, &n);
        start.assign(static_cast<const char*>(bytes), n ? n - 1 : 0);
        leave(m);
      } else {
        skip(m, "v");
      }
      leave(m);
    }
    std::ofstream(folder + "/portal.txt") << title << "\n" << start << "\n";
    std::string sender = sender_of(m);
    sender.erase(0, 1);
    for (char& c : sender)
      if (c == '.') c = '_';
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    reply(m, "o", path.c_str());
    Message* s = nullptr;
    new_signal(bus, &s, path.c_str(), "org.freedesktop.portal.Request", "Response");
    append(s, "u", uri.empty() ? 1u : 0u);
    open_c(s, 'a', "{sv}");
    if (!uri.empty()) {
      open_c(s, 'e', "sv");
      append(s, "s", "uris");
      open_c(s, 'v', "as");
      append(s, "as", 1, uri.c_str());
      close_c(s);
      close_c(s);
    }
    close_c(s);
    send(bus, s, nullptr);
  }
}

// A session bus of the test's own and, when asked, the stand-in portal on it; both end with the object.
struct Session {
  testutil::TempDir dir;
  std::string address = "unix:path=" + dir.path + "/bus";
  harness::EnvVar bus_env{"DBUS_SESSION_BUS_ADDRESS", address};
  harness::EnvVar path_env{"PATH", dir.path + "/bin"};
  pid_t daemon = -1, portal = -1;
  bool up = false;

  Session() {
    mkdir((dir.path + "/bin").c_str(), 0700);
    daemon = fork();
    if (daemon == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int log = open((dir.path + "/dbus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) dup2(log, 1), dup2(log, 2);
      execl("/usr/bin/dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
             ("--address=" + address).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const long long deadline = forked::now_ms() + 20000;
    while (!up && forked::now_ms() < deadline) {
      up = access((dir.path + "/bus").c_str(), F_OK) == 0;
      usleep(20000);
    }
  }
  void start_portal(const std::string& uri) {
    portal = fork();
    if (portal == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      portal_main(uri, dir.path);
    }
    usleep(300000);  // the name is taken
  }
  ~Session() {
    for (pid_t p : {portal, daemon}) {
      if (p <= 0) continue;
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
};

u32 ask(const std::string& folder, std::string* path, u32* road) {
  chooser::Ask a{};
  a.title = mem::lit("Choose the cluster key file");
  a.folder = harness::bytes(folder);
  a.filter_name = mem::lit("Cluster key (*.key)");
  a.pattern = mem::lit("*.key");
  u8 out[1024];
  u32 length = 0;
  const u32 r = chooser::open_file(a, mem::Slice{out, sizeof out}, &length, road);
  path->assign(reinterpret_cast<const char*>(out), length);
  return r;
}

TEST(Chooser, ThePortalAnswersFirst) {
  if (!Sd{}.lib) GTEST_SKIP() << "no libsystemd";
  Session s;
  if (!s.up) GTEST_SKIP() << "dbus-daemon could not start";
  // A stand-in zenity is on PATH too: the portal is asked first.
  testutil::write_file(s.dir.path + "/bin/zenity", "#!/bin/sh\necho /from/zenity\n");
  chmod((s.dir.path + "/bin/zenity").c_str(), 0755);
  s.start_portal("file:///home/some%20one/my%20cluster.key");
  std::string path;
  u32 road = 9;
  EXPECT_EQ(ask("/home/some one", &path, &road), chooser::picked);
  EXPECT_EQ(road, chooser::road_portal);
  EXPECT_EQ(path, "/home/some one/my cluster.key");
  EXPECT_EQ(testutil::read_file(s.dir.path + "/portal.txt"), "Choose the cluster key file\n/home/some one\n");
}

TEST(Chooser, APortalCancelIsACancel) {
  if (!Sd{}.lib) GTEST_SKIP() << "no libsystemd";
  Session s;
  if (!s.up) GTEST_SKIP() << "dbus-daemon could not start";
  s.start_portal("");
  std::string path = "x";
  u32 road = 9;
  EXPECT_EQ(ask("", &path, &road), chooser::cancelled);
  EXPECT_EQ(road, chooser::road_portal);
  EXPECT_EQ(path, "");
}

TEST(Chooser, WithoutAPortalTheProgramsAreAskedAndWithNothingItIsUnavailable) {
  Session s;
  if (!s.up) GTEST_SKIP() << "dbus-daemon could not start";
  std::string path;
  u32 road = 9;
  EXPECT_EQ(ask("/tmp", &path, &road), chooser::unavailable) << "the bus has no portal, PATH no program";
  EXPECT_EQ(road, chooser::road_none);
  testutil::write_file(s.dir.path + "/bin/zenity", "#!/bin/sh\necho /from/zenity\n");
  chmod((s.dir.path + "/bin/zenity").c_str(), 0755);
  EXPECT_EQ(ask("/tmp", &path, &road), chooser::picked);
  EXPECT_EQ(road, chooser::road_zenity);
  EXPECT_EQ(path, "/from/zenity");
}

}  // namespace
