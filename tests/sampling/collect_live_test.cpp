// The collector against this machine's own /proc and /sys.
#include <dirent.h>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "sampling/collect.h"
#include "sampling/ntinfo.h"

namespace {

struct Collector {
  std::unique_ptr<collect::State> state = std::make_unique<collect::State>();
  std::unique_ptr<collect::Sample> sample = std::make_unique<collect::Sample>();
  std::unique_ptr<collect::ProcSample> procs = std::make_unique<collect::ProcSample>();
  Collector() {
    *procs = collect::ProcSample{};
    EXPECT_TRUE(collect::open(state.get(), 10000));
  }
  ~Collector() {
    collect::buffer_fit(&procs->buffer, 0);
    collect::close(state.get());
  }
};

u64 meminfo_total() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  u64 kb = 0;
  in >> key >> kb;
  return kb * 1024;
}

u32 numeric_entries(const char* folder) {
  u32 n = 0;
  DIR* d = opendir(folder);
  while (dirent* e = readdir(d)) n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
  closedir(d);
  return n;
}

std::unique_ptr<ntinfo::ProcWalk> walk_of(const collect::ProcSample& p) {
  auto walk = std::make_unique<ntinfo::ProcWalk>();
  ntinfo::proc_walk(mem::Bytes(p.buffer.data, collect::procs_used(&p)), p.head.address, p.head.boot_time, walk.get());
  return walk;
}

TEST(CollectLive, SystemFactsMatchThisMachine) {
  Collector c;
  ASSERT_TRUE(collect::sample(c.state.get(), c.sample.get()));
  const collect::Sample& s = *c.sample;
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(c.state->processors, static_cast<u32>(online));
  EXPECT_EQ(s.cpu_bytes, online * sizeof(sysrec::CpuEntry));
  EXPECT_EQ(s.memory.length, 64u);
  EXPECT_EQ(s.performance.cb, 104u);
  EXPECT_EQ(s.memory.total_physical, meminfo_total());
  EXPECT_LE(s.memory.available_physical, s.memory.total_physical);
  EXPECT_EQ(s.performance.page_size, static_cast<u64>(sysconf(_SC_PAGESIZE)));
  EXPECT_NEAR(static_cast<double>(s.performance.process_count), numeric_entries("/proc"), 20.0);
  EXPECT_GT(s.performance.thread_count, 0u);
  EXPECT_GT(c.state->boot_time, 0u);
  // The root file system is C:, with its sizes.
  EXPECT_TRUE(s.drive_mask & (1u << 2));
  EXPECT_GT(s.total[2], 0u);
  EXPECT_LE(s.free[2], s.total[2]);
  EXPECT_EQ(s.power_read, 1u);
}

TEST(CollectLive, ProcessSampleFindsEveryProcess) {
  // The process table keeps 1,024 rows; on a machine with more processes this one may not be among them.
  if (numeric_entries("/proc") > 1000) GTEST_SKIP() << "more processes than the process table holds";
  Collector c;
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  const collect::ProcHeader& h = c.procs->head;
  EXPECT_EQ(h.status, collect::status_success);
  EXPECT_EQ(h.processors, static_cast<u32>(sysconf(_SC_NPROCESSORS_ONLN)));
  auto walk = walk_of(*c.procs);
  EXPECT_EQ(walk->flags & ntinfo::walk_malformed, 0u);
  EXPECT_NEAR(static_cast<double>(walk->entries), numeric_entries("/proc"), 20.0);
  u32 self = static_cast<u32>(getpid());
  bool found = false;
  for (u32 i = 0; i < walk->stored; ++i) {
    if (walk->pid[i] != self) continue;
    found = true;
    EXPECT_EQ(walk->parent[i], static_cast<u32>(getppid()));
    EXPECT_GT(walk->working_set[i], 0u);
    EXPECT_GT(walk->handles[i], 2u);
    EXPECT_NE(walk->read_bytes[i], sysrec::io_unreported);
    u8 name[64];
    u64 n = ntinfo::name_take(mem::Bytes(c.procs->buffer.data, h.used), walk->name_offset[i], walk->name_units[i],
                              false, mem::Slice{name, sizeof name});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), n), "test_sampling");
  }
  EXPECT_TRUE(found);
}

// A socket this process listens on is listed with this process as its owner, in a sample and in the next one.
TEST(CollectLive, OwnListeningSocketHasThisProcessAsOwner) {
  // Owners are looked for among the processes the table keeps (1,024 rows); with more this one may be left out.
  if (numeric_entries("/proc") > 1000) GTEST_SKIP() << "more processes than the process table holds";
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  Collector c;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
    const collect::ProcHeader& h = c.procs->head;
    EXPECT_EQ(h.tcp_missing, 0u);
    bool mine = false;
    for (u32 i = 0; i < h.tcp_pids; ++i) mine = mine || h.pids[i] == static_cast<u32>(getpid());
    EXPECT_TRUE(mine) << round;
  }
  close(fd);
}

// The connection tables are read from the system at most every 5 s. Connections opened after one read are listed
// with this process as their owner by the first sample that starts 5 s after that read.
TEST(CollectLive, NewConnectionReachesItsProcessWithinTenSeconds) {
  // The process table keeps 1,024 rows; on a machine with more processes this one may not be among them.
  if (numeric_entries("/proc") > 1000) GTEST_SKIP() << "more processes than the process table holds";
  auto now_ms = [] {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
  };
  auto mine = [](const collect::ProcHeader& h) {
    u32 n = 0;
    for (u32 i = 0; i < h.tcp_pids; ++i) n += h.pids[i] == static_cast<u32>(getpid());
    return n;
  };
  Collector c;
  long long first = now_ms();
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  long long longest = now_ms() - first;
  const u32 before = mine(c.procs->head);

  // A listener and 40 connections to it, both ends: 81 sockets of this process, more rows than one page of the
  // kernel's connection table holds, so a table read short is caught too.
  constexpr u32 connections = 40;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, connections), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> ends;
  for (u32 i = 0; i < connections; ++i) {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int served = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(served, 0);
    ends.push_back(client);
    ends.push_back(served);
  }

  long long found = -1;
  while (found < 0 && now_ms() - first < 20000) {
    usleep(100000);
    long long start = now_ms();
    ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
    longest = std::max(longest, now_ms() - start);
    if (mine(c.procs->head) >= before + 2 * connections + 1) found = start;
  }
  // The process keeps the owners of the first 4,096 rows; a test suite's closed loopback connections (each waits
  // 60 s in TIME_WAIT) can push this process's rows past them.
  if (found < 0 && static_cast<u32>(c.procs->head.tcp_rows) > collect::max_tcp_pids)
    GTEST_SKIP() << c.procs->head.tcp_rows << " connections on this machine, more rows than the owner list holds";
  ASSERT_GE(found, 0) << "the new connections never reached this process: " << mine(c.procs->head) - before
                      << " of " << 2 * connections + 1 << " listed, " << c.procs->head.tcp_rows << " rows";
  // A holder whose open-file count moved is found by the first read 5 s on; any other by the read after that.
  // The bound is the later one, plus one pause and one sample, so a loaded machine cannot fail it spuriously.
  EXPECT_LE(found - first, 10000 + longest + 100 + longest);
  for (int fd : ends) close(fd);
  close(listener);
}

// As an ordinary user, the other users' processes are still listed, with their I/O marked as not reported.
TEST(CollectLive, OtherUsersProcessesStayListed) {
  if (getuid() != 0) GTEST_SKIP() << "needs the super-user to become another user";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    int code = 0;
    {
      Collector c;
      if (!collect::sample_procs(c.state.get(), c.procs.get())) code = 11;
      auto walk = walk_of(*c.procs);
      u32 unreported = 0;
      for (u32 i = 0; i < walk->stored; ++i) unreported += walk->read_bytes[i] == sysrec::io_unreported;
      if (code == 0 && (walk->entries + 20 < numeric_entries("/proc") || walk->entries > numeric_entries("/proc") + 20))
        code = 12;
      if (code == 0 && unreported == 0) code = 13;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

namespace {

u32 drm_cards() {
  u32 n = 0;
  if (DIR* d = opendir("/sys/class/drm")) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      n += name.size() > 4 && name.compare(0, 4, "card") == 0 && name.find('-') == std::string::npos;
    }
    closedir(d);
  }
  return n;
}

}  // namespace

TEST(CollectLive, GraphicsTemperaturesAndDrivesAsThisMachineHasThem) {
  Collector c;
  ASSERT_TRUE(collect::sample(c.state.get(), c.sample.get()));
  const collect::Sample& s = *c.sample;
  const collect::HardwareRaw& h = c.state->hardware;
  u32 cards = drm_cards();
  EXPECT_EQ(s.gpu_adapters.listed, std::min(cards, gpu::listed_max));
  EXPECT_EQ(s.gpu.adapters, std::min(cards, gpu::adapters_max));
  // Every array answers, even with nothing to list.
  EXPECT_EQ(s.gpu.flags & (gpu::engines_failed | gpu::memory_failed | gpu::process_failed), 0u);
  EXPECT_GE(h.changes, 1u);
  EXPECT_EQ(c.state->readings.turn, 1u);
  EXPECT_EQ(h.seek_answered & ~h.drive_read, 0u);
  std::printf("graphics adapters %u, engine rows %u, drives described %d, drive readings %d, gpu readings %d\n",
              s.gpu.adapters, s.gpu.engine_rows, __builtin_popcountll(h.drive_read),
              __builtin_popcount(c.state->readings.disk_mask), __builtin_popcount(c.state->readings.gpu_mask));
}

TEST(CollectLive, HardwareOfThisMachine) {
  Collector c;
  const collect::HardwareRaw& h = c.state->hardware;
  ASSERT_NE(h.flags & collect::hw_topology, 0u);
  ASSERT_NE(h.flags & collect::hw_adapters, 0u);
  // The core records cover every online processor once.
  u32 threads = 0;
  for (u32 at = 0; at + 8 <= h.topology_bytes;) {
    u32 relation, size;
    memcpy(&relation, h.topology + at, 4);
    memcpy(&size, h.topology + at + 4, 4);
    ASSERT_GE(size, 8u);
    for (u32 g = 0; relation == 0 && 32 + 16 * g + 8 <= size && g < h.topology[at + 30]; ++g) {
      u64 mask;
      memcpy(&mask, h.topology + at + 32 + 16 * g, 8);
      threads += __builtin_popcountll(mask);
    }
    at += size;
  }
  EXPECT_EQ(threads, static_cast<u32>(sysconf(_SC_NPROCESSORS_ONLN)));
#if defined(__x86_64__)
  EXPECT_EQ((h.features >> 10 & 1) != 0, __builtin_cpu_supports("sse2") != 0);
  EXPECT_EQ((h.features >> 40 & 1) != 0, __builtin_cpu_supports("avx2") != 0);
#endif
  // The loopback adapter carries 127.0.0.1 (family 2, the address at byte 4 of its socket address).
  bool loopback = false;
  for (u64 at = 0, steps = 0; steps < 65 && at + 448 <= h.adapter_bytes; ++steps) {
    const u8* node = h.adapters + at;
    u64 entry;
    memcpy(&entry, node + 24, 8);
    for (u32 k = 0; entry && k < 32; ++k) {
      const u8* e = h.adapters + (entry - h.adapter_base);
      u64 socket;
      memcpy(&socket, e + 16, 8);
      const u8* sa = h.adapters + (socket - h.adapter_base);
      loopback = loopback || (sa[0] == 2 && sa[4] == 127 && sa[5] == 0 && sa[6] == 0 && sa[7] == 1);
      memcpy(&entry, e + 8, 8);
    }
    u64 next;
    memcpy(&next, node + 8, 8);
    if (!next) break;
    at = next - h.adapter_base;
  }
  EXPECT_TRUE(loopback);
  std::printf("hardware flags 0x%x, topology %u bytes, firmware table %u bytes, hypervisor %u\n", h.flags,
              h.topology_bytes, h.smbios_bytes, h.hypervisor);
}
