#pragma once
// The host as a user meets it: the built executable started as "--host <folder>" with its own XDG folders and a
// cluster key, and members that connect over loopback TCP with the cluster's own codecs and handshake.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "wire/auth.h"
#include "wire/peer.h"
#include "wire/proto.h"
#include "host/hub.h"
#include "sampling/ring.h"
#include "tests/host/rig.h"
#include "tests/support/testutil.h"

namespace net {

using Bytes = std::vector<u8>;
using Clock = std::chrono::steady_clock;

// 32 key bytes 0x11, 0x12, ...
inline std::string key_text(u8 first = 0x11) {
  std::string t = "vimbrel-key 1 ";
  const char* hex = "0123456789abcdef";
  for (u32 i = 0; i < 32; ++i) {
    u8 b = static_cast<u8>(first + i);
    t += hex[b >> 4];
    t += hex[b & 15];
  }
  return t + "\n";
}

inline void key_state(auth::KeyState* key, u8 first = 0x11) {
  u8 k[32];
  for (u32 i = 0; i < 32; ++i) k[i] = static_cast<u8>(first + i);
  auth::key_init(key, mem::Bytes(k, 32));
}

// A home with its XDG folders and a cluster key.
inline void make_home(const std::string& home, u8 key_first = 0x11) {
  std::filesystem::create_directories(home + "/config/Vimbrel");
  std::filesystem::create_directories(home + "/data");
  std::filesystem::create_directories(home + "/run");
  chmod((home + "/run").c_str(), 0700);
  std::string path = home + "/config/Vimbrel/cluster.key";
  testutil::write_file(path, key_text(key_first));
  chmod(path.c_str(), 0600);
}

// A port below the range the system hands out for outgoing connections (32768 up), so that no connection another
// test opens meanwhile takes it as its own end before the program listens; the system's choice when none is free.
inline u16 free_port() {
  static std::minstd_rand next(static_cast<u32>(Clock::now().time_since_epoch().count()) ^ static_cast<u32>(getpid()));
  for (int i = 0; i < 200; ++i) {
    const u16 tried = static_cast<u16>(20000 + next() % 12000);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(tried);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (free) return tried;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A member port whose dashboard port (two above) is free too; 0 when none was found.
inline u16 port_pair() {
  for (int i = 0; i < 50; ++i) {
    u16 p = free_port();
    if (p >= 65000) continue;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(p + 2));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (free) return p;
  }
  return 0;
}

// The executable in the background, its standard output in a file.
struct Process {
  pid_t pid = -1;
  std::string out_path;
  int code = -2;
  int ended_by = 0;                   // the signal that ended it, when one did
  std::string program = VIMBREL_EXE;  // the file started
  std::vector<std::string> env;       // "NAME=value" set besides the homes

  // The executable with the arguments; with a wrapper (a command that runs the rest, as "ip netns exec <name>"),
  // the wrapper runs it.
  void start(const std::vector<std::string>& args, const std::string& home,
             const std::vector<std::string>& wrapper = {}) {
    out_path = home + "/out." + std::to_string(Clock::now().time_since_epoch().count());
    pid = fork();
    if (pid == 0) {
      setenv("HOME", home.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
      setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
      for (std::string& e : env) putenv(e.data());
      int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      std::vector<char*> argv;
      for (const std::string& w : wrapper) argv.push_back(const_cast<char*>(w.c_str()));
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  std::string out() const { return testutil::read_file(out_path); }
  bool wait_output(const std::string& text, int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      if (out().find(text) != std::string::npos) return true;
      if (ended(0)) return out().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // True when the process ended within the time; its exit code (or -1 after a signal) is kept.
  bool ended(int ms) {
    if (pid < 0) return true;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    do {
      int status = 0;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ended_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        pid = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < end);
    return false;
  }
  int stop(int sig = SIGTERM) {
    if (pid > 0) kill(pid, sig);
    if (!ended(20000) && pid > 0) {
      kill(pid, SIGKILL);
      ended(5000);
    }
    return code;
  }
  ~Process() {
    if (pid > 0) stop(SIGKILL);
  }
};

// A wrapper that runs the program with the share folder as a full file system of its own: a 64 KiB memory file
// system mounted there in a mount namespace of the process, filled to the last byte. Empty when this machine lets no
// test make a mount namespace.
inline std::vector<std::string> full_share_wrapper(const std::string& share) {
  if (system("unshare -m true >/dev/null 2>&1") != 0) return {};
  return {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
          "mount -t tmpfs -o size=64k tmpfs \"$1\" && { dd if=/dev/zero of=\"$1/filler\" bs=4k 2>/dev/null; "
          "shift; exec \"$@\"; }",
          "full-share", share};
}

// The number of times the text stands in the output.
inline size_t count_of(const std::string& out, const std::string& text) {
  size_t n = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

// A --host on a share folder of its own, listening on loopback, with the dashboard when asked.
struct HostRun {
  testutil::TempDir dir;
  std::string home = dir.path + "/home";
  std::string share = dir.path + "/share";
  u16 port = port_pair();
  u16 web = static_cast<u16>(port + 2);
  Process p;
  explicit HostRun(bool with_web) {
    make_home(home);
    std::filesystem::create_directories(share);
    std::vector<std::string> args = {"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"};
    if (with_web) args.push_back("--web");
    p.start(args, home);
  }
  // Serving: the host holds its term (before that, a hello hears "moved").
  bool listening(int seconds = 30) { return p.wait_output("vimbrel host: listening on port ", seconds); }
};

// An --agent process (or any mode that makes a machine id) from a fresh home whose key file holds the key that
// starts with key_first.
struct Agent {
  std::string home;
  Process process;
  u8 id[16] = {};
  void start(const std::string& folder, const std::vector<std::string>& args, u8 key_first = 0x11,
             const std::vector<std::string>& wrapper = {}) {
    home = folder;
    make_home(home, key_first);
    process.start(args, home, wrapper);
  }
  // The machine id made at start and written into publish.txt.
  bool read_id() {
    std::string text = testutil::read_file(home + "/config/Vimbrel/publish.txt");
    size_t at = text.find("\nid ");
    if (at == std::string::npos || text.size() < at + 4 + 32) return false;
    for (u32 i = 0; i < 16; ++i) id[i] = static_cast<u8>(std::stoi(text.substr(at + 4 + 2 * i, 2), nullptr, 16));
    return true;
  }
};

// A member over TCP: connects, runs the handshake and exchanges frames, each way sealed after the accept.
struct Member {
  int fd = -1;
  peer::PeerState p;
  Bytes in;
  bool eof = false;
  u16 refused = 0;

  explicit Member(u8 key_first = 0x11) {
    auth::KeyState k;
    key_state(&k, key_first);
    peer::init(&p, &k);
  }
  ~Member() { drop(); }
  void drop() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  bool connect_to(u16 port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool write_all(const Bytes& b) {
    size_t at = 0;
    while (at < b.size()) {
      ssize_t n = ::send(fd, b.data() + at, b.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until n bytes are buffered, the peer closes, or the time is up.
  bool fill(size_t n, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (in.size() < n && !eof) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0) return false;
      pollfd pf{fd, POLLIN, 0};
      if (poll(&pf, 1, left) <= 0) continue;
      u8 buf[65536];
      ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) {
        eof = true;
        break;
      }
      in.insert(in.end(), buf, buf + r);
    }
    return in.size() >= n;
  }
  // One plain frame (handshake), or empty.
  Bytes plain(int ms) {
    if (!fill(16, ms)) return {};
    u32 n = proto::frame_len(mem::Bytes(in.data(), in.size()));
    if (n == 0 || !fill(n, ms)) return {};
    Bytes f(in.begin(), in.begin() + n);
    in.erase(in.begin(), in.begin() + n);
    return f;
  }
  // Handshake: true when accepted; a refusal's reason is kept.
  bool join(u16 port, u8 role, u8 flags, const u8* id) {
    if (!connect_to(port)) return false;
    proto::Hello h = {};
    h.role = role;
    h.flags = flags;
    h.protocol = 1;
    if (id) memcpy(h.id, id, 16);
    for (u32 i = 0; i < 16; ++i) h.nonce[i] = static_cast<u8>(rand());
    Bytes hello(64);
    hello.resize(peer::hello(&p, &h, mem::Slice{hello.data(), hello.size()}));
    if (!write_all(hello)) return false;
    Bytes reply = plain(5000);
    Bytes proof(64);
    proof.resize(peer::proof(&p, mem::Bytes(reply.data(), reply.size()), mem::Slice{proof.data(), proof.size()}));
    if (proof.empty() || !write_all(proof)) return false;
    Bytes accept = plain(5000);
    if (proto::frame_kind(mem::Bytes(accept.data(), accept.size())) == proto::kind_refuse) {
      proto::decode_refuse(mem::Bytes(accept.data(), accept.size()), &refused);
      return false;
    }
    return peer::accepted(&p, mem::Bytes(accept.data(), accept.size()));
  }
  bool send(Bytes f) {
    u32 n = static_cast<u32>(f.size());
    f.resize(n + 16);
    f.resize(peer::seal(&p, mem::Slice{f.data(), f.size()}, n));
    return write_all(f);
  }
  // The next sealed frame within the time, tag checked and removed; empty on time-out, close or a bad tag.
  Bytes next(int ms) {
    if (!fill(16, ms)) return {};
    u32 n = proto::frame_len(mem::Bytes(in.data(), in.size()));
    if (n == 0 || !fill(n + 16, ms)) return {};
    if (!peer::opened(&p, mem::Bytes(in.data(), n + 16))) return {};
    Bytes f(in.begin(), in.begin() + n);
    in.erase(in.begin(), in.begin() + n + 16);
    return f;
  }
  // The next frame of a kind within the time, skipping others.
  Bytes next_of(u32 kind, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      Bytes f = next(left > 0 ? left : 1);
      if (f.empty()) return f;
      if (proto::frame_kind(mem::Bytes(f.data(), f.size())) == kind) return f;
    }
    return {};
  }
};

using rig::id_frame;

inline Bytes inventory_frame(const u8* id, const char* name) { return rig::inventory_frame(id, name); }
inline Bytes sample_frame(u16 load, u32 seconds) { return rig::sample_frame(load, 4096, seconds); }

inline Bytes history_frame(const u8* id, u8 tier, u8 scope, u8 options) {
  proto::HistoryAsk ask = {};
  memcpy(ask.id, id, 16);
  ask.tier = tier;
  ask.scope = scope;
  ask.options = options;
  ask.first = 0;
  ask.last = 0xFFFFFFF0;
  Bytes out(64);
  out.resize(proto::encode_history(&ask, mem::Slice{out.data(), out.size()}));
  return out;
}

// The tier-0 buckets the host at the port holds for a machine, summed over the answer's parts; 0 when it cannot
// be asked.
inline u32 stored_buckets(u16 port, const u8* id, u8 key_first = 0x11) {
  Member v(key_first);
  if (!v.join(port, proto::role_viewer, 0, nullptr)) return 0;
  v.send(history_frame(id, 0, 0, 3));
  u32 total = 0;
  for (;;) {
    Bytes f = v.next(5000);
    if (f.empty()) return 0;
    u32 kind = proto::frame_kind(mem::Bytes(f.data(), f.size()));
    if (kind != proto::kind_buckets) {
      EXPECT_TRUE(kind == proto::kind_names || kind == proto::kind_tops || kind == proto::kind_energy ||
                  kind == proto::kind_list);
      continue;
    }
    u32 count = 0, more = 0;
    EXPECT_EQ(proto::check_buckets(mem::Bytes(f.data(), f.size()), &count, &more), proto::ok);
    total += count;
    if (!more) return total;
  }
}

// The share's lease record is whole, sealed with the test key and marked released.
inline bool lease_released(const std::string& share, u8 key_first = 0x11) {
  std::string bytes = testutil::read_file(share + "/lease");
  if (bytes.size() != 64) return false;
  auth::KeyState key;
  key_state(&key, key_first);
  proto::Lease lease;
  mem::Bytes rec(reinterpret_cast<const u8*>(bytes.data()), 64);
  return auth::sealed(&key, rec) && proto::decode_lease(rec, &lease) == proto::ok &&
         (lease.flags & proto::lease_released) != 0;
}

}  // namespace net
