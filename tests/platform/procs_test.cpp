// The Linux process pass and the TCP owners on copied fixture trees: what a quiet process carries over from the
// last pass and what makes it read again, the size answered to a buffer that is short, and how new sockets find
// the process that holds them.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux/reader.h"
#include "platform/net.h"
#include "platform/sysinfo.h"
#include "tests/support/testutil.h"

namespace {

namespace fsys = std::filesystem;

std::string fixture(const std::string& machine) { return std::string(VIMBREL_FIXTURES) + "/sampling/" + machine; }
mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// A fixture machine copied into a folder of the test's own, so that its files can change between passes.
struct Machine {
  testutil::TempDir dir;
  sysinfo::Reader* r = nullptr;
  explicit Machine(const std::string& name) {
    fsys::copy(fixture(name), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
    r = sysinfo::open(bytes(dir.path));
    EXPECT_NE(r, nullptr);
  }
  ~Machine() { sysinfo::close(r); }
  std::string path(const std::string& below) const { return dir.path + "/proc/" + below; }
  void write(const std::string& below, const std::string& text) const { std::ofstream(path(below)) << text; }
  void link(const std::string& below, const std::string& target) const {
    fsys::remove(path(below));
    fsys::create_symlink(target, path(below));
  }
};

// One pass into a buffer of the caller's (so that name addresses stay comparable); the status.
u32 pass(sysinfo::Reader* r, std::vector<u8>* buffer, u32* used) {
  return sysinfo::processes(r, mem::Slice{buffer->data(), buffer->size()}, used);
}

// The chain's entries by pid.
std::map<u64, sysrec::ProcEntry> entries(const std::vector<u8>& buffer, u32 used) {
  std::map<u64, sysrec::ProcEntry> out;
  for (u64 at = 0; at + sizeof(sysrec::ProcEntry) <= used;) {
    sysrec::ProcEntry e;
    memcpy(&e, buffer.data() + at, sizeof e);
    out[e.pid] = e;
    if (e.next == 0) break;
    at += e.next;
  }
  return out;
}

std::map<u64, sysrec::ProcEntry> sample(Machine& m) {
  std::vector<u8> buffer(1 << 16);
  u32 used = 0;
  EXPECT_EQ(pass(m.r, &buffer, &used), sysinfo::status_success);
  return entries(buffer, used);
}

const u64 page = 4096;

// A process whose stat line shows no activity keeps its memory and I/O counts from the pass before (its open files
// are counted every pass); any move in the stat line, or the age limit, reads them again.
TEST(ProcessPass, QuietProcessesCarryTheirFilesUntilTheyMove) {
  Machine m("laptop");
  m.r->carry_ms = 3600000;
  sysrec::ProcEntry first = sample(m)[1500];
  EXPECT_EQ(first.read_bytes, 300000000u);
  EXPECT_EQ(first.working_set, 225000 * page);
  EXPECT_EQ(first.handles, 6u);

  const std::string io = "rchar: 1\nwchar: 1\nsyscr: 1\nsyscw: 1\nread_bytes: 400000000\nwrite_bytes: 130000000\n";
  m.write("1500/io", io);
  m.write("1500/statm", "60000 230000 50000 100 0 175000 0\n");
  m.link("1500/fd/11", "/dev/null");
  sysrec::ProcEntry quiet = sample(m)[1500];
  EXPECT_EQ(quiet.read_bytes, 300000000u);
  EXPECT_EQ(quiet.working_set, 225000 * page);
  EXPECT_EQ(quiet.handles, 7u);

  // Fields of the stat line that move when the process runs, faults or changes size: each makes it read again.
  struct Case {
    const char* what;
    std::string stat;
  } cases[] = {
      {"user time", "1500 (firefox) S 1 1500 1500 0 -1 4194560 1000 0 20 0 50001 9000 0 0 20 0 80 0 6000 123456789 225000"},
      {"minor faults", "1500 (firefox) S 1 1500 1500 0 -1 4194560 1001 0 20 0 50001 9000 0 0 20 0 80 0 6000 123456789 225000"},
      {"resident pages", "1500 (firefox) S 1 1500 1500 0 -1 4194560 1001 0 20 0 50001 9000 0 0 20 0 80 0 6000 123456789 230000"},
      {"threads", "1500 (firefox) S 1 1500 1500 0 -1 4194560 1001 0 20 0 50001 9000 0 0 20 0 81 0 6000 123456789 230000"},
  };
  u64 read = 400000000;
  for (const Case& c : cases) {
    m.write("1500/stat", c.stat + " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
    sysrec::ProcEntry moved = sample(m)[1500];
    EXPECT_EQ(moved.read_bytes, read) << c.what;
    EXPECT_EQ(moved.working_set, 230000 * page) << c.what;
    EXPECT_EQ(moved.handles, 7u) << c.what;
    read += 1000;
    m.write("1500/io", "read_bytes: " + std::to_string(read) + "\nwrite_bytes: 1\n");
  }

  // Past the age limit a quiet process is read again too.
  m.r->carry_ms = 0;
  EXPECT_EQ(sample(m)[1500].read_bytes, read);
}

// A kernel thread (flag 0x00200000 in its stat line) has no open files: it shows none whatever its fd folder holds,
// and the flag of another process does not stop its files from being counted. Its quiet I/O counts are carried
// longer than another process's.
TEST(ProcessPass, KernelThreadsShowNoOpenFiles) {
  Machine m("laptop");
  m.write("88/stat", "88 (kworker/0:1-events) I 2 0 0 0 -1 69238880 0 0 0 0 0 40 0 0 20 0 1 0 9 0 0 "
                     "18446744073709551615 0 0 0 0 0 0 0 2147483647 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  fsys::create_directories(m.path("88/fd"));
  m.link("88/fd/3", "/dev/null");
  m.link("88/fd/4", "/dev/null");
  std::map<u64, sysrec::ProcEntry> seen = sample(m);
  ASSERT_EQ(seen.count(88), 1u);
  EXPECT_EQ(seen[88].handles, 0u);
  EXPECT_EQ(seen[88].user_time + seen[88].kernel_time, 40u * 100000);
  EXPECT_EQ(seen[1500].handles, 6u);

  // Nothing but its own run moves a kernel thread's I/O counts: a quiet one carries them past the age limit of other
  // processes, up to its own.
  m.write("88/io", "read_bytes: 7000\nwrite_bytes: 8000\n");
  m.write("1500/io", "read_bytes: 9000\nwrite_bytes: 1\n");
  m.r->carry_ms = 0;
  seen = sample(m);
  EXPECT_EQ(seen[88].read_bytes, 0u);
  EXPECT_EQ(seen[1500].read_bytes, 9000u);
  m.r->kernel_carry_ms = 0;
  EXPECT_EQ(sample(m)[88].read_bytes, 7000u);
}

// Carrying over changes nothing on an unchanged machine: a second pass, and a pass of a new reader, give the same
// bytes as the first.
TEST(ProcessPass, SecondPassGivesTheSameBytes) {
  for (const char* name : {"laptop", "desktop", "bare"}) {
    Machine m(name);
    // One buffer for all three, since the entries hold the addresses of their names.
    std::vector<u8> buffer(1 << 16);
    u32 used1 = 0, used2 = 0, used3 = 0;
    ASSERT_EQ(pass(m.r, &buffer, &used1), sysinfo::status_success) << name;
    std::vector<u8> first = buffer;
    ASSERT_EQ(pass(m.r, &buffer, &used2), sysinfo::status_success) << name;
    std::vector<u8> second = buffer;
    sysinfo::Reader* other = sysinfo::open(bytes(m.dir.path));
    ASSERT_EQ(pass(other, &buffer, &used3), sysinfo::status_success) << name;
    std::vector<u8> fresh = buffer;
    sysinfo::close(other);
    EXPECT_EQ(used1, used2) << name;
    EXPECT_EQ(used1, used3) << name;
    EXPECT_TRUE(std::memcmp(first.data(), second.data(), used1) == 0) << name;
    EXPECT_TRUE(std::memcmp(first.data(), fresh.data(), used1) == 0) << name;
  }
}

// The process count of a memory sample is the number of processes: taken from a process pass a moment old
// (that pass listed them), and listed again once the pass is older than the count's age limit or when none ran.
TEST(ProcessPass, MemorySampleCountsTheProcesses) {
  Machine m("laptop");
  auto counted = [&] {
    sysrec::MemoryStatus status{};
    sysrec::PerfInfo perf{};
    sysinfo::begin_sample(m.r);
    EXPECT_EQ(sysinfo::memory(m.r, &status, &perf) & sysinfo::performance_ok, sysinfo::performance_ok);
    return perf.process_count;
  };
  auto copy_process = [&](const char* pid) {
    fsys::copy(m.path("1500"), m.path(pid), fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
    m.write(std::string(pid) + "/stat", "1500 (firefox) S 1 1500 1500 0 -1 4194560 1000 0 20 0 50000 9000 0 0 20 0 "
                                        "80 0 6000 123456789 225000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  };
  m.r->count_ms = 3600000;
  EXPECT_EQ(counted(), 6u);  // no pass yet: the folder is listed
  EXPECT_EQ(sample(m).size(), 6u);
  copy_process("4242");
  EXPECT_EQ(counted(), 6u);  // the pass's count, while it is young enough
  EXPECT_EQ(sample(m).size(), 7u);
  EXPECT_EQ(counted(), 7u);  // the next pass counts the new one
  // A short buffer lists the processes too, and its count is as good.
  copy_process("4243");
  std::vector<u8> small(64);
  u32 used = 0;
  EXPECT_EQ(pass(m.r, &small, &used), sysinfo::status_length_mismatch);
  EXPECT_EQ(counted(), 8u);
  // Past the age limit the folder is listed again.
  fsys::remove_all(m.path("4242"));
  fsys::remove_all(m.path("4243"));
  EXPECT_EQ(counted(), 8u);
  m.r->count_ms = 1500;
  m.r->listed_ms -= 1501;
  EXPECT_EQ(counted(), 6u);
}

// A buffer that is short answers a size that is enough; an empty one is answered without reading the processes.
TEST(ProcessPass, ShortBufferAnswersEnough) {
  Machine m("laptop");
  std::vector<u8> buffer(1 << 16);
  u32 need = 0;
  ASSERT_EQ(pass(m.r, &buffer, &need), sysinfo::status_success);
  for (u64 size : {u64{0}, u64{300}, u64{need} - 1}) {
    std::vector<u8> small(size);
    u32 asked = 0;
    EXPECT_EQ(sysinfo::processes(m.r, mem::Slice{small.data(), small.size()}, &asked), sysinfo::status_length_mismatch)
        << size;
    EXPECT_GE(asked, need) << size;
    std::vector<u8> enough(asked);
    u32 used = 0;
    EXPECT_EQ(pass(m.r, &enough, &used), sysinfo::status_success) << size;
    EXPECT_EQ(used, need) << size;
  }
}

// On the live system each process's stat file and fd folder stay open between passes: the open files a process
// gains show at the next pass, an ended process's files are closed, and nothing stays open after the reader.
u32 own_descriptors() {
  u32 n = 0;
  for (auto it = fsys::directory_iterator("/proc/self/fd"); it != fsys::directory_iterator(); ++it) ++n;
  return n;
}

// A child that opens `more` files (and takes and touches `touch` bytes more memory) each time a byte reaches it,
// then waits again; it ends when the pipe closes.
struct Child {
  pid_t pid = -1;
  int poke = -1;
  explicit Child(int more, size_t touch = 0) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    pid = fork();
    if (pid == 0) {
      ::close(p[1]);
      char c;
      while (read(p[0], &c, 1) == 1) {
        for (int i = 0; i < more; ++i) (void)dup(p[0]);
        if (touch) memset(malloc(touch), 1, touch);
      }
      _exit(0);
    }
    ::close(p[0]);
    poke = p[1];
  }
  ~Child() { end(); }
  void end() {
    if (pid <= 0) return;
    ::close(poke);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

TEST(LiveProcessPass, KeptFilesFollowTheProcesses) {
  const u32 before = own_descriptors();
  sysinfo::Reader* r = sysinfo::open(bytes("/"));
  ASSERT_NE(r, nullptr);
  ASSERT_GT(r->keep_most, 0u);
  std::vector<u8> buffer(1 << 24);
  auto entry_of = [&](pid_t pid) -> sysrec::ProcEntry {
    u32 used = 0;
    sysrec::ProcEntry none{};
    none.handles = ~0u;
    if (pass(r, &buffer, &used) != sysinfo::status_success) return none;
    auto all = entries(buffer, used);
    auto e = all.find(static_cast<u64>(pid));
    return e == all.end() ? none : e->second;
  };
  auto handles_of = [&](pid_t pid) { return entry_of(pid).handles; };
  {
    const u64 touch = 32 << 20;
    Child a(5, touch), b(0);
    const sysrec::ProcEntry first = entry_of(a.pid);
    ASSERT_NE(first.handles, ~0u);
    ASSERT_NE(handles_of(b.pid), ~0u);
    // A process that runs again has its memory read through files kept from then on: they must tell what changed
    // since, also at the passes after the one that opened them.
    auto memory_kept = [&] {
      return std::any_of(r->kept.begin(), r->kept.end(), [&](const sysinfo::Kept& k) {
        return k.pid == static_cast<u32>(a.pid) && k.statm >= 0 && k.io >= 0;
      });
    };
    ASSERT_EQ(write(a.poke, "x", 1), 1);
    sysrec::ProcEntry now = first;
    for (int i = 0; i < 2000 && (now.handles != first.handles + 5 || !memory_kept()); ++i) {
      usleep(10000);
      now = entry_of(a.pid);
    }
    EXPECT_TRUE(memory_kept());
    const sysrec::ProcEntry opened = now;
    ASSERT_EQ(write(a.poke, "x", 1), 1);
    for (int i = 0; i < 2000 && (now.handles != first.handles + 10 || now.working_set < opened.working_set + touch);
         ++i) {
      usleep(10000);
      now = entry_of(a.pid);
    }
    EXPECT_EQ(now.handles, first.handles + 10) << "the open files a process gained never showed";
    EXPECT_GE(now.working_set, opened.working_set + touch) << "the memory a process took never showed";
    const pid_t ended = b.pid;
    b.end();
    EXPECT_EQ(handles_of(ended), ~0u);
    const bool kept_b = std::any_of(r->kept.begin(), r->kept.end(), [&](const sysinfo::Kept& k) {
      return k.pid == static_cast<u32>(ended);
    });
    EXPECT_FALSE(kept_b) << "an ended process's files stayed open";
  }
  sysinfo::close(r);
  EXPECT_EQ(own_descriptors(), before);
}

// Between passes the live count comes from the proc folder's link count once two passes agree on what lies beyond
// the processes: it must be the count a listing gives, also after processes came (other work on the machine may
// start and end processes meanwhile, so a count counts when the listings just before and after it agree).
TEST(LiveProcessPass, CountBetweenPassesIsTheListedCount) {
  sysinfo::Reader* r = sysinfo::open(bytes("/"));
  ASSERT_NE(r, nullptr);
  std::vector<u8> buffer(1 << 24);
  u32 used = 0;
  for (int i = 0; i < 50 && !r->links_trusted; ++i) ASSERT_EQ(pass(r, &buffer, &used), sysinfo::status_success);
  r->count_ms = 0;
  r->listed_ms -= 1;  // the pass's own count no longer stands
  if (r->first_namespace == 1) {
    EXPECT_TRUE(r->links_trusted);
  }
  auto agrees = [&] {
    int quiet_misses = 0;
    for (int i = 0; i < 200 && quiet_misses < 5; ++i) {
      const u32 before = sysinfo::process_entries(r->proc);
      const u32 counted = sysinfo::process_count(r);
      if (before != sysinfo::process_entries(r->proc)) continue;
      if (counted == before) return 1;
      ++quiet_misses;
    }
    return quiet_misses < 5 ? 0 : -1;  // 0: never a quiet moment, nothing to compare
  };
  EXPECT_GE(agrees(), 0);
  std::vector<std::unique_ptr<Child>> more;
  for (int i = 0; i < 5; ++i) more.push_back(std::make_unique<Child>(0));
  EXPECT_GE(agrees(), 0);
  more.clear();
  EXPECT_GE(agrees(), 0);
  sysinfo::close(r);
}

// ---- TCP owners.

// Rows of the IPv4 table by local port (network order) -> owning pid.
std::map<u32, u32> owners(sysinfo::Reader* r) {
  std::vector<u8> table(1 << 14);
  u32 size = 0;
  std::map<u32, u32> out;
  EXPECT_EQ(net::tcp_table(r, net::family_ipv4, mem::Slice{table.data(), table.size()}, &size), 0u);
  u32 count = 0;
  memcpy(&count, table.data(), 4);
  for (u32 i = 0; i < count; ++i) {
    sysrec::TcpRow row;
    memcpy(&row, table.data() + sysrec::tcp_table_head + i * sizeof row, sizeof row);
    out[row.local_port] = row.pid;
  }
  return out;
}

// A row listening on 127.0.0.1:<port> for the socket inode.
std::string tcp_line(u32 port, u64 inode) {
  char line[200];
  snprintf(line, sizeof line,
           "   9: 0100007F:%04X 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 %llu 1 "
           "0000000000000000 100 0 0 10 0\n",
           port, static_cast<unsigned long long>(inode));
  return line;
}
u32 network_port(u32 port) { return (port >> 8 & 0xFF) | (port & 0xFF) << 8; }

// The machine's IPv4 table as its file holds it.
std::string tcp_text(const Machine& m) {
  std::ifstream in(m.path("net/tcp"));
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TcpOwners, NewSocketsFindTheirHolders) {
  Machine m("laptop");
  m.r->tcp_ms = 0;  // every call reads the table
  std::string table = tcp_text(m);
  auto add_row = [&](u32 port, u64 inode) {
    table += tcp_line(port, inode);
    m.write("net/tcp", table);
  };
  auto step = [&] {
    sample(m);
    return owners(m.r);
  };
  EXPECT_EQ(step()[network_port(0xB3E2)], 1500u);

  // A socket opened by a process: its count of open files moved, so it is found at the first read that lists it.
  m.link("1500/fd/12", "socket:[40001]");
  add_row(0x2001, 40001);
  EXPECT_EQ(step()[network_port(0x2001)], 1500u);

  // One that took the place of another open file (the count did not move) is found at the read after.
  m.link("1500/fd/7", "socket:[40002]");
  add_row(0x2002, 40002);
  EXPECT_EQ(step()[network_port(0x2002)], 0u);
  EXPECT_EQ(step()[network_port(0x2002)], 1500u);

  // One that no process holds stays without an owner.
  add_row(0x2003, 40003);
  EXPECT_EQ(step()[network_port(0x2003)], 0u);
  EXPECT_EQ(step()[network_port(0x2003)], 0u);
  // One handed to another process (its holder closes it, the other one gains a file) is looked for as soon as its
  // holder no longer has it.
  fsys::remove(m.path("1500/fd/12"));
  m.link("88/fd/3", "socket:[40001]");
  std::map<u32, u32> moved = step();
  EXPECT_EQ(moved[network_port(0x2001)], 88u);
  EXPECT_EQ(moved[network_port(0x2002)], 1500u);
}

// The search lists a process's open files at most once per table read, and a socket that no process it may look
// into holds costs one whole pass: later reads list nobody's files for it, new processes or not. Each row: what
// changes before the read, the processes whose open files that read lists, and the holder of each socket then.
TEST(TcpOwners, ASocketNobodyHoldsCostsOnePass) {
  Machine m("laptop");
  m.r->tcp_ms = 0;  // every call reads the table
  std::string table = tcp_text(m);
  table += tcp_line(0x2003, 40003);  // held by no process
  m.write("net/tcp", table);
  auto looked = [&] {
    std::vector<u32> pids(m.r->looks.looked.begin(), m.r->looks.looked.end());
    std::sort(pids.begin(), pids.end());
    return pids;
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    std::vector<u32> listed;
    u32 holder_2003, holder_2004, holder_2005 = 0;
  } cases[] = {
      {"first read: every process with open files", [] {}, {1, 2, 88, 812, 1500}, 0, 0},
      {"nothing changed", [] {}, {}, 0, 0},
      {"a new process without sockets",
       [&] {
         fsys::copy(m.path("88"), m.path("3000"), fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
       },
       {}, 0, 0},
      {"the new process opens a socket",
       [&] {
         m.link("3000/fd/1", "socket:[40004]");
         table += tcp_line(0x2004, 40004);
         m.write("net/tcp", table);
       },
       {3000}, 0, 3000},
      {"nothing changed again", [] {}, {}, 0, 3000},
      // A server takes a connection in the place of a file it closed: its count does not move, so the socket is
      // looked for everywhere at the next read, and the holders of listed sockets are looked into before the rest.
      {"a holder's new socket in the place of a closed file",
       [&] {
         m.link("1500/fd/7", "socket:[40005]");
         table += tcp_line(0x2005, 40005);
         m.write("net/tcp", table);
       },
       {}, 0, 3000, 0},
      {"the read after: holders first", [] {}, {1500, 3000}, 0, 3000, 1500},
  };
  for (const Case& c : cases) {
    c.change();
    sample(m);
    std::map<u32, u32> found = owners(m.r);
    EXPECT_EQ(looked(), c.listed) << c.what;
    EXPECT_EQ(found[network_port(0x2003)], c.holder_2003) << c.what;
    EXPECT_EQ(found[network_port(0x2004)], c.holder_2004) << c.what;
    EXPECT_EQ(found[network_port(0x2005)], c.holder_2005) << c.what;
  }
}

// With the owners deferred the rows carry none and no process's open files are listed for them; a process's count is
// the rows of both tables whose socket it holds, what the search would have given it.
TEST(TcpOwners, DeferredOwnersAreCountedPerProcess) {
  Machine m("laptop");
  ASSERT_TRUE(net::defer_owners(m.r));
  sample(m);
  std::vector<u8> table(1 << 14);
  u32 size = 0;
  ASSERT_EQ(net::tcp_table(m.r, net::family_ipv6, mem::Slice{table.data(), table.size()}, &size), 0u);
  for (const auto& row : owners(m.r)) EXPECT_EQ(row.second, 0u) << "port " << row.first;
  EXPECT_TRUE(m.r->looks.looked.empty());
  const struct {
    u32 pid, rows;
  } cases[] = {
      {1500, 2},   // two IPv4 rows
      {1, 1},      // one IPv6 row; its other socket is listed in neither table
      {812, 0},    // a socket the tables do not list
      {88, 0},     // no socket
      {2001, 0},   // no open files
      {0, 0},      // the idle process
      {99999, 0},  // no such process
  };
  for (const auto& c : cases) EXPECT_EQ(net::held_rows(m.r, c.pid), c.rows) << c.pid;
}

// A change to a fixture machine, and the link reads the next sample may make after it.
struct Step {
  const char* what;
  std::function<void()> change;
  u64 links;
};

// The work of a search is its link reads (looks.links). A holder that kept its start and count of open files is
// taken to hold its socket still, with no read; one whose count moved is confirmed with one read per socket it
// holds; and a search whose credit runs out stops there and goes on at the next samples, each sample's reads within
// its credit and one listing, until it reaches the holder.
TEST(TcpOwners, SearchWorkStaysWithinTheCredit) {
  Machine m("laptop");
  m.r->tcp_ms = 0;  // every call reads the table
  std::string table = tcp_text(m);
  auto sample_links = [&] {
    const u64 before = m.r->looks.links;
    sample(m);
    std::map<u32, u32> found = owners(m.r);
    return std::make_pair(m.r->looks.links - before, found);
  };
  // Every fd of the fixture's processes (1: 3, 2: 1, 88: 1, 812: 3, 1500: 6) at most once.
  EXPECT_LE(sample_links().first, 14u);
  const Step cases[] = {
      {"nothing moved", [] {}, 0},
      {"another process opened a file", [&] { m.link("812/fd/9", "/dev/null"); }, 0},
      {"the holder of two sockets opened a file", [&] { m.link("1500/fd/13", "/dev/null"); }, 2},
      {"and nothing moved since", [] {}, 0},
  };
  for (const auto& c : cases) {
    c.change();
    auto [links, found] = sample_links();
    EXPECT_EQ(links, c.links) << c.what;
    EXPECT_EQ(found[network_port(0x0277)], 1500u) << c.what;
  }

  // Every process gains a file, so that no listing stands, and the one with the most files opens a socket.
  for (const char* fd : {"1/fd/51", "2/fd/51", "88/fd/51", "812/fd/51"}) m.link(fd, "/dev/null");
  m.link("1500/fd/51", "socket:[40010]");
  table += tcp_line(0x2010, 40010);
  m.write("net/tcp", table);
  const i64 credit = 2;
  const u64 longest = 9;  // the open files of 1500 now
  m.r->looks.credit.rate = 0;  // each sample's credit is the one given here, however long the sample took
  int samples = 0;
  u32 holder = 0;
  for (; samples < 20 && holder == 0; ++samples) {
    m.r->looks.credit.credit = credit;
    auto [links, found] = sample_links();
    holder = found[network_port(0x2010)];
    EXPECT_LE(links, credit + longest) << "sample " << samples;
    EXPECT_EQ(m.r->tcp[0].owners_pending, holder == 0) << "sample " << samples;
  }
  EXPECT_EQ(holder, 1500u);
  EXPECT_GT(samples, 1) << "the credit did not bound the search";
}

// A socket listed when the table was read and closed before the search reaches its holder (a short connection) is
// dropped as soon as the search asks the kernel again: no process is listed for it, though one opened a file
// since. One still listed is looked for as before.
TEST(TcpOwners, ASocketGoneBeforeTheSearchIsNotLookedFor) {
  const struct {
    const char* what;
    u64 inode;
    const char* target;  // what 88 opened meanwhile
    u64 links;
    u32 holder;
  } cases[] = {
      {"gone", 40009, "/dev/null", 0, 0},
      {"still listed, opened by 88", 40003, "socket:[40003]", 2, 88},
  };
  for (const auto& c : cases) {
    Machine m("laptop");
    sample(m);
    owners(m.r);  // the sockets of the table are known
    m.link("88/fd/7", c.target);
    if (c.holder) m.write("net/tcp", tcp_text(m) + tcp_line(0x2003, c.inode));
    sample(m);
    m.r->recheck_links = 0;  // ask the kernel again before every look
    const u64 before = m.r->looks.links;
    sysinfo::find_owners(m.r, 0, {20001, 20002, c.inode});
    EXPECT_EQ(m.r->looks.links - before, c.links) << c.what;
    const auto& found = m.r->owners[0];
    ASSERT_EQ(found.count(c.inode), 1u) << c.what;
    EXPECT_EQ(found.at(c.inode).pid, c.holder) << c.what;
    EXPECT_EQ(found.at(20001).pid, 1500u) << c.what;
  }
}

// Between reads (5 s apart) the table is answered as last read: a row added meanwhile shows at the next read.
TEST(TcpOwners, TableIsReadAtMostEveryFiveSeconds) {
  Machine m("laptop");
  EXPECT_EQ(m.r->tcp_ms, 5000u);
  EXPECT_EQ(owners(m.r).size(), 3u);
  {
    std::ofstream out(m.path("net/tcp"), std::ios::app);
    out << tcp_line(0x2001, 40001);
  }
  EXPECT_EQ(owners(m.r).size(), 3u);
  m.r->tcp[0].read_ms -= 5000;  // as if five seconds had passed
  EXPECT_EQ(owners(m.r).size(), 4u);
}

// On the running system both families' tables come from one read; each row as the kernel's listing files show it:
// a listener on 127.0.0.1 and one on ::1, in the state, address and port order of the rows, with this process as
// the holder, whether or not a process pass ran before (after one, this process holds the pass's kept files, which
// the search passes over).
class LiveOwners : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(TcpOwners, LiveOwners, testing::Bool());

TEST_P(LiveOwners, BothFamiliesWithTheirHolders) {
  int v4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(v4, reinterpret_cast<sockaddr*>(&a4), sizeof a4), 0);
  ASSERT_EQ(listen(v4, 1), 0);
  const bool have_v6 = bind(v6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0 && listen(v6, 1) == 0;
  socklen_t n4 = sizeof a4, n6 = sizeof a6;
  getsockname(v4, reinterpret_cast<sockaddr*>(&a4), &n4);
  getsockname(v6, reinterpret_cast<sockaddr*>(&a6), &n6);
  sysinfo::Reader* r = sysinfo::open(bytes("/"));
  ASSERT_NE(r, nullptr);
  // The search's credit paces the sampler, a second's worth of looks at a time. On a machine busy with other
  // processes (a parallel test run) those searched before this one can hold more open files than a whole credit, and
  // this one's sockets would be found only searches later; what is checked here is the holders the search finds.
  r->looks.credit.most = 0x7FFFFFFF;
  if (GetParam()) {
    std::vector<u8> buffer(1 << 24);
    u32 used = 0;
    ASSERT_EQ(pass(r, &buffer, &used), sysinfo::status_success);
    ASSERT_FALSE(r->kept.empty());
  }
  std::vector<u8> table(1 << 20);
  u32 size = 0, count = 0;
  bool found = false;
  auto check_v4 = [&] {
    ASSERT_EQ(net::tcp_table(r, net::family_ipv4, mem::Slice{table.data(), table.size()}, &size), 0u);
    memcpy(&count, table.data(), 4);
    found = false;
    for (u32 i = 0; i < count; ++i) {
      sysrec::TcpRow row;
      memcpy(&row, table.data() + sysrec::tcp_table_head + i * sizeof row, sizeof row);
      if (row.local_port != a4.sin_port || row.state != 2) continue;
      found = true;
      EXPECT_EQ(row.local_address, a4.sin_addr.s_addr);
      EXPECT_EQ(row.pid, static_cast<u32>(getpid()));
    }
    EXPECT_TRUE(found);
  };
  check_v4();
  if (have_v6) {
    const u64 read_ms = r->tcp[1].read_ms;
    ASSERT_EQ(net::tcp_table(r, net::family_ipv6, mem::Slice{table.data(), table.size()}, &size), 0u);
    EXPECT_EQ(r->tcp[1].read_ms, read_ms) << "the IPv6 table was read again";
    memcpy(&count, table.data(), 4);
    found = false;
    for (u32 i = 0; i < count; ++i) {
      sysrec::Tcp6Row row;
      memcpy(&row, table.data() + sysrec::tcp_table_head + i * sizeof row, sizeof row);
      if (row.local_port != a6.sin6_port || row.state != 2) continue;
      found = true;
      EXPECT_EQ(memcmp(row.local_address, &in6addr_loopback, 16), 0);
      EXPECT_EQ(row.pid, static_cast<u32>(getpid()));
    }
    EXPECT_TRUE(found);
  }
  // After a process pass the search lists the fd folders the pass keeps open: the holder is the same.
  std::vector<u8> chain(16 << 20);
  u32 used = 0;
  ASSERT_EQ(sysinfo::processes(r, mem::Slice{chain.data(), chain.size()}, &used), sysinfo::status_success);
  ASSERT_FALSE(r->kept.empty());
  r->tcp[0].read_ms -= 5000;  // as if five seconds had passed
  r->owners[0].clear();       // looked for afresh
  check_v4();
  EXPECT_TRUE(r->looks.looked.count(static_cast<u32>(getpid())));
  // Counting this process's rows reads none of the proc files the pass keeps open.
  u64 kept = 0, open_files = 0;
  for (const sysinfo::Kept& k : r->kept) {
    for (int fd : {k.stat, k.fds, k.statm, k.io}) kept += fd >= 0;
  }
  for (auto at = fsys::directory_iterator("/proc/self/fd"); at != fsys::directory_iterator(); ++at) ++open_files;
  const u64 before = r->looks.links;
  EXPECT_EQ(net::held_rows(r, static_cast<u32>(getpid())), have_v6 ? 2u : 1u);
  EXPECT_LE(r->looks.links - before, open_files - kept);
  sysinfo::close(r);
  close(v4);
  close(v6);
}

// ---- TCP tables read without a walk of the connection hash, on real loopback sockets in a network namespace of
// the test's own, where no other program's connections move the kernel's counts.

// A row of either table: family, local and remote port (network order) -> state and holder.
using Rows = std::map<std::tuple<int, u32, u32>, std::pair<u32, u32>>;

Rows rows_of(sysinfo::Reader* r) {
  Rows out;
  std::vector<u8> table(1 << 20);
  for (u32 family : {net::family_ipv4, net::family_ipv6}) {
    u32 size = 0, count = 0;
    if (net::tcp_table(r, family, mem::Slice{table.data(), table.size()}, &size) != 0) return {};
    memcpy(&count, table.data(), 4);
    for (u32 i = 0; i < count; ++i) {
      const u8* at = table.data() + sysrec::tcp_table_head;
      if (family == net::family_ipv4) {
        sysrec::TcpRow row;
        memcpy(&row, at + i * sizeof row, sizeof row);
        out[{4, row.local_port, row.remote_port}] = {row.state, row.pid};
      } else {
        sysrec::Tcp6Row row;
        memcpy(&row, at + i * sizeof row, sizeof row);
        out[{6, row.local_port, row.remote_port}] = {row.state, row.pid};
      }
    }
  }
  return out;
}

// The rows a reader of its own gives, whose first read walks the hash, once the kernel's states have settled (a
// loopback close finishes in the kernel a moment after the call returns): two walks in a row that agree.
Rows walked_rows() {
  Rows last;
  for (int tries = 0; tries < 100; ++tries) {
    sysinfo::Reader* fresh = sysinfo::open(bytes("/"));
    fresh->looks.credit.most = 0x7FFFFFFF;
    Rows now = rows_of(fresh);
    sysinfo::close(fresh);
    if (tries > 0 && now == last) return now;
    last = now;
    usleep(20000);
  }
  return last;
}

int tcp_socket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// A listener on the loopback address of the family (or on every address of both, `any`); its port in *port.
int listener(int family, bool any, u32* port) {
  int fd = tcp_socket(family);
  sockaddr_storage a{};
  socklen_t n = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&a)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&a)->sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
  } else {
    reinterpret_cast<sockaddr_in6*>(&a)->sin6_family = AF_INET6;
    reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr = any ? in6addr_any : in6addr_loopback;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(fd, 8) != 0) return -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  *port = family == AF_INET ? reinterpret_cast<sockaddr_in*>(&a)->sin_port : reinterpret_cast<sockaddr_in6*>(&a)->sin6_port;
  return fd;
}

// A connection from `family` to 127.0.0.1 (as ::ffff:127.0.0.1 from IPv6) at the port; the client's socket.
int connect_to(int family, u32 port) {
  int fd = tcp_socket(family);
  sockaddr_storage a{};
  socklen_t n = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (family == AF_INET) {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a4->sin_port = static_cast<u16>(port);
  } else {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
    a6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &a6->sin6_addr);
    a6->sin6_port = static_cast<u16>(port);
  }
  return connect(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 ? fd : -1;
}

// Runs the body in a child process inside a network namespace of its own with its loopback up; the body writes a
// line per fault it finds. Skipped where no namespace may be made (a user without the right to).
void in_own_network(const std::function<void(std::string*)>& body) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    std::string faults;
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    strcpy(lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (ioctl(fd, SIOCSIFFLAGS, &lo) != 0) _exit(77);
    close(fd);
    body(&faults);
    if (write(pipe_fds[1], faults.data(), faults.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string faults;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) faults.append(buffer, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace of the test's own";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(faults, "");
}

std::string describe(const Rows& rows) {
  std::string out;
  for (const auto& [key, value] : rows) {
    out += " (" + std::to_string(std::get<0>(key)) + " " + std::to_string(std::get<1>(key)) + ">" +
           std::to_string(std::get<2>(key)) + " state " + std::to_string(value.first) + " pid " +
           std::to_string(value.second) + ")";
  }
  return out;
}

// Each read of the tables answers what a walk of the hash would give then (rows, states, holders), and walks only
// when a count shows that a socket may have come, or one it listed left: a read after nothing, a peer's close (a
// state change and a socket turned into a time-wait entry), a listener opened or closed needs no walk; a connection
// made (both its sides), one that ended, and a dual-stack listener's accepted connection do.
TEST(TcpTables, ReadWithoutAWalkEqualsAWalk) {
  in_own_network([](std::string* faults) {
    sysinfo::Reader* r = sysinfo::open(bytes("/"));
    r->looks.credit.most = 0x7FFFFFFF;
    u32 port = 0, port6 = 0, dual = 0;
    int server = listener(AF_INET, false, &port), six = -1, both = -1;
    int client = -1, accepted = -1, mapped = -1, mapped_accepted = -1;
    const u32 me = static_cast<u32>(getpid());
    struct Case {
      const char* what;
      std::function<void()> change;
      bool walk;
      std::function<bool(const Rows&)> shows;
    } cases[] = {
        {"the first read", [] {}, true, [&](const Rows& t) { return t.at({4, port, 0}) == std::make_pair(2u, me); }},
        {"nothing changed", [] {}, false, [&](const Rows& t) { return t.size() == 1; }},
        {"a connection made",
         [&] {
           client = connect_to(AF_INET, port);
           accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
         },
         true,
         [&](const Rows& t) {
           return t.size() == 3 && t.count({4, port, 0}) && std::all_of(t.begin(), t.end(), [&](const auto& row) {
                    return row.second == std::make_pair(std::get<2>(row.first) ? 5u : 2u, me);
                  });
         }},
        {"nothing changed again", [] {}, false, [&](const Rows& t) { return t.size() == 3; }},
        {"the peer closed", [&] { close(accepted); }, false,
         [&](const Rows& t) {
           // the client's side waits for its own close, the server's holds no socket any more
           return std::count_if(t.begin(), t.end(), [&](const auto& row) { return row.second == std::make_pair(8u, me); }) == 1 &&
                  std::count_if(t.begin(), t.end(), [&](const auto& row) { return row.second == std::make_pair(7u, 0u); }) == 1;
         }},
        {"an IPv6 listener opened", [&] { six = listener(AF_INET6, false, &port6); }, false,
         [&](const Rows& t) { return t.at({6, port6, 0}) == std::make_pair(2u, me); }},
        {"the connection ended", [&] { close(client); }, true,
         [&](const Rows& t) {
           return t.size() == 3 && std::count_if(t.begin(), t.end(), [&](const auto& row) {
                                     return row.second == std::make_pair(11u, 0u);
                                   }) == 1;
         }},
        {"the IPv6 listener closed", [&] { close(six); }, false, [&](const Rows& t) { return !t.count({6, port6, 0}); }},
        {"a dual-stack listener opened", [&] { both = listener(AF_INET6, true, &dual); }, false,
         [&](const Rows& t) { return t.at({6, dual, 0}) == std::make_pair(2u, me); }},
        {"an IPv6 client reached it through an IPv4 address",
         [&] {
           mapped = connect_to(AF_INET6, dual);
           mapped_accepted = accept4(both, nullptr, nullptr, SOCK_CLOEXEC);
         },
         true,
         [&](const Rows& t) {
           return std::count_if(t.begin(), t.end(), [&](const auto& row) {
                    return std::get<0>(row.first) == 6 && row.second == std::make_pair(5u, me);
                  }) == 2;
         }},
        {"nothing changed at last", [] {}, false, [&](const Rows&) { return true; }},
    };
    for (const Case& c : cases) {
      c.change();
      const Rows walked = walked_rows();  // the kernel's states settled, as a walk gives them
      const u64 walks = r->tcp_walk.walks;
      r->tcp[0].read_ms = r->tcp[1].read_ms = 0;  // due
      const Rows read = rows_of(r);
      const bool walked_here = r->tcp_walk.walks != walks;
      if (walked_here != c.walk) *faults += std::string(c.what) + ": walked " + (walked_here ? "yes" : "no") + "\n";
      if (read != walked) *faults += std::string(c.what) + ":" + describe(read) + " against a walk's" + describe(walked) + "\n";
      if (!c.shows(read)) *faults += std::string(c.what) + ": unexpected rows" + describe(read) + "\n";
    }
    for (int fd : {server, both, mapped, mapped_accepted}) close(fd);
    sysinfo::close(r);
  });
}

// With the owners deferred the tables list no entry in time-wait proper and count those instead: the rows listed are
// a walk's rows without them (a time-wait entry still in FIN wait 2 stays listed), the count is how many they are,
// on both families, and a process's count of its connections is what the walk gives it.
TEST(TcpTables, DeferredTablesCountTheTimeWaitEntries) {
  in_own_network([](std::string* faults) {
    u32 port = 0, dual = 0;
    int server = listener(AF_INET, false, &port), both = listener(AF_INET6, true, &dual);
    auto connection = [](int family, int on, u32 at, int* accepted) {
      int client = connect_to(family, at);
      *accepted = accept4(on, nullptr, nullptr, SOCK_CLOEXEC);
      return client;
    };
    int accepted = -1;
    for (int k = 0; k < 6; ++k) {  // ended by the client first: its side waits in time-wait
      int client = connection(k < 4 ? AF_INET : AF_INET6, k < 4 ? server : both, k < 4 ? port : dual, &accepted);
      close(client);
      close(accepted);
    }
    int half = connection(AF_INET, server, port, &accepted);  // ended by the server alone: FIN wait 2
    close(accepted);
    int open_one = connection(AF_INET, server, port, &accepted);
    const Rows walked = walked_rows();
    Rows expected;
    u64 waiting = 0, mine = 0;
    for (const auto& [key, value] : walked) {
      if (value.first == 11) ++waiting;
      else expected[key] = {value.first, 0};  // deferred: no holders
      mine += value.second == static_cast<u32>(getpid());
    }
    sysinfo::Reader* r = sysinfo::open(bytes("/"));
    net::defer_owners(r);
    const Rows read = rows_of(r);
    std::set<int> families;
    for (const auto& [key, value] : walked) families.insert(value.first == 11 ? std::get<0>(key) : 0);
    if (waiting != 6 || families != std::set<int>{0, 4, 6}) *faults += "the walk's time-wait entries:" + describe(walked) + "\n";
    if (read != expected) *faults += "deferred:" + describe(read) + " against" + describe(expected) + "\n";
    if (net::time_wait_left(r) != waiting) *faults += "counted " + std::to_string(net::time_wait_left(r)) + "\n";
    if (net::held_rows(r, static_cast<u32>(getpid())) != mine) *faults += "held rows\n";
    sysinfo::close(r);
    for (int fd : {server, both, half, open_one, accepted}) close(fd);
  });
}

// A connection that closes before the search reaches its holder is dropped at the next question to the kernel, a
// few tens of link reads later, not after a look into every process. Processes holding many open files make sure
// that every process is more than that.
TEST(TcpTables, SearchStopsSoonForASocketThatClosed) {
  in_own_network([](std::string* faults) {
    std::vector<pid_t> holders;
    for (int k = 0; k < 8; ++k) {
      pid_t pid = fork();
      if (pid == 0) {
        for (int f = 0; f < 24; ++f) open("/dev/null", O_RDONLY);
        pause();
        _exit(0);
      }
      holders.push_back(pid);
    }
    usleep(100000);
    const struct {
      const char* what;
      u32 recheck_links;
      bool everywhere;
    } cases[] = {{"asking every 32 links", 32, false}, {"never asking", 0x7FFFFFFF, true}};
    for (const auto& c : cases) {
      sysinfo::Reader* r = sysinfo::open(bytes("/"));
      r->looks.credit.most = 0x7FFFFFFF;
      std::vector<u8> chain(16 << 20);
      u32 used = 0;
      sysinfo::processes(r, mem::Slice{chain.data(), chain.size()}, &used);
      u32 port = 0;
      int server = listener(AF_INET, false, &port), client = connect_to(AF_INET, port);
      int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
      struct stat st{};
      fstat(client, &st);
      // The table lists the connection; its holder not looked for yet.
      r->owners_deferred = true;
      r->tcp[0].read_ms = r->tcp[1].read_ms = 0;
      rows_of(r);
      r->owners_deferred = false;
      close(client);
      r->recheck_links = c.recheck_links;
      u32 candidates = 0;
      for (const sysinfo::ProcMemo& m : r->memos) candidates += m.handles != 0;
      sysinfo::find_owners(r, 0, {static_cast<u64>(st.st_ino)});
      const bool everywhere = r->looks.looked.size() >= candidates;
      if (everywhere != c.everywhere) {
        *faults += std::string(c.what) + ": looked into " + std::to_string(r->looks.looked.size()) + " of " +
                   std::to_string(candidates) + " processes, " + std::to_string(r->looks.links) + " links\n";
      }
      if (r->owners[0].at(st.st_ino).pid != 0) *faults += std::string(c.what) + ": a holder for a closed socket\n";
      close(accepted);
      close(server);
      sysinfo::close(r);
    }
    for (pid_t pid : holders) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  });
}

}  // namespace

// ---- Graphics use.

// The walk for DRM files lists only the processes whose open files changed since it last listed them, within its
// credit, and goes on at the next samples when the credit runs out; the clients it found stay known meanwhile.
TEST(GraphicsUse, DrmWalkListsOnlyWhatMovedWithinItsCredit) {
  Machine m("laptop");
  sample(m);
  std::vector<sysinfo::GpuUse> uses;
  auto walk = [&] {
    const u64 before = m.r->drm_links;
    sample(m);
    m.r->drm_walk_ms -= 10000;  // as if the walk were due
    sysinfo::gpu_uses(m.r, &uses);
    const bool client = std::any_of(uses.begin(), uses.end(), [](const sysinfo::GpuUse& u) { return u.pid == 1500; });
    return std::make_pair(m.r->drm_links - before, client);
  };
  auto [all, found] = walk();
  EXPECT_EQ(all, 14u);  // every fd of the fixture's processes
  EXPECT_TRUE(found);
  const Step cases[] = {
      {"nothing moved", [] {}, 0},
      {"812 opened a file", [&] { m.link("812/fd/9", "/dev/null"); }, 4},
      {"the client opened a file", [&] { m.link("1500/fd/13", "/dev/null"); }, 7},
  };
  for (const auto& c : cases) {
    c.change();
    auto [links, client] = walk();
    EXPECT_EQ(links, c.links) << c.what;
    EXPECT_TRUE(client) << c.what;
  }

  for (const char* fd : {"1/fd/51", "2/fd/51", "88/fd/51", "812/fd/51", "1500/fd/51"}) m.link(fd, "/dev/null");
  const i64 credit = 2;
  const u64 longest = 8;  // the open files of 1500 now
  m.r->drm_credit.rate = 0;  // each sample's credit is the one given here, however long the sample took
  u64 listed = 0;
  int samples = 0;
  do {
    m.r->drm_credit.credit = credit;
    auto [links, client] = walk();
    EXPECT_LE(links, credit + longest) << "sample " << samples;
    EXPECT_TRUE(client) << "sample " << samples;
    listed += links;
  } while (m.r->drm_pending && ++samples < 20);
  EXPECT_FALSE(m.r->drm_pending);
  EXPECT_GT(samples, 0) << "the credit did not bound the walk";
  EXPECT_EQ(listed, 21u);  // each process listed once: 4 + 2 + 2 + 5 + 8 files
}
