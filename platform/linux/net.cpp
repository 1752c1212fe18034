// Interface rows from /sys/class/net, the adapter list with getifaddrs' addresses, and TCP tables from
// /proc/net/tcp and tcp6 below the reader's root.
#include "platform/net.h"

#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <map>

#include "platform/linux/reader.h"
#include "platform/os.h"

namespace net {

using sysinfo::Nic;
using sysinfo::Reader;

u64 luid_of(u32 type, u32 index) { return static_cast<u64>(type & 0xFFFF) << 48 | static_cast<u64>(index & 0xFFFFFF) << 24; }

namespace {

// Interface types of the row, from the kernel's hardware type of the interface.
u32 row_type(u32 hardware_type, bool wireless) {
  switch (hardware_type) {
    case 1: return wireless ? 71 : 6;    // Ethernet, or IEEE 802.11
    case 772: return 24;                 // loopback
    case 512: return 23;                 // PPP
    case 65534: return 53;               // no hardware header (tun, WireGuard): a virtual interface
    case 768: case 769: case 776: case 778: case 823: return 131;  // IP-in-IP, IPv6 tunnels, sit, GRE
    default: return 1;                   // other
  }
}

bool exists(int folder, const char* path) { return faccessat(folder, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0; }

u32 hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<u32>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<u32>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<u32>(c - 'A' + 10);
  return 16;
}

// "02:fc:00:00:00:01" into bytes; the count.
u32 parse_address(std::string_view text, u8* out, u32 cap) {
  u32 n = 0;
  for (size_t i = 0; i + 1 < text.size() + 1 && n < cap;) {
    if (i + 2 > text.size()) break;
    u32 hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
    if (hi > 15 || lo > 15) break;
    out[n++] = static_cast<u8>(hi << 4 | lo);
    i += 3;
  }
  return n;
}

// ---- Kept interface files (see sysinfo::NicFiles).

using sysinfo::NicFiles;

const char* const attribute_paths[sysinfo::nic_attributes] = {
    "ifindex", "carrier", "operstate", "speed", "statistics/rx_bytes", "statistics/tx_bytes"};

bool kept(const NicFiles& f) { return f.fd[sysinfo::nic_ifindex] >= 0; }

bool files_of(const NicFiles& f, const Nic& nic) { return kept(f) && f.index == nic.index && nic.name == f.name; }

// Drops the files of the interfaces a listing no longer shows.
void drop_unlisted(Reader* r) {
  for (NicFiles& f : r->nic_files) {
    bool listed = false;
    for (const Nic& nic : r->nics) listed = listed || files_of(f, nic);
    if (kept(f) && !listed) sysinfo::drop_nic_files(&f);
  }
}

// Opens the interface's attributes into a slot; false when its ifindex file cannot be opened. An attribute that
// cannot be opened is read by path.
bool open_files(Reader* r, const Nic& nic, NicFiles* f) {
  char path[320];
  struct stat st {};
  for (u32 a = 0; a < sysinfo::nic_attributes; ++a) {
    snprintf(path, sizeof path, "sys/class/net/%s/%s", nic.name.c_str(), attribute_paths[a]);
    f->fd[a] = openat(r->root, path, O_RDONLY | O_CLOEXEC);
    if (a == sysinfo::nic_ifindex && (f->fd[a] < 0 || fstat(f->fd[a], &st) != 0)) {
      sysinfo::drop_nic_files(f);
      return false;
    }
  }
  f->index = nic.index;
  memcpy(f->name, nic.name.data(), nic.name.size());
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  return true;
}

// The kept files of the interface, opened when a slot is free or not read for two samples; null when the attributes
// are to be read by path (no slot, or the name no longer leads to the files kept, which are dropped).
NicFiles* files_for(Reader* r, const Nic& nic) {
  if (nic.name.empty() || nic.name.size() >= sizeof NicFiles::name) return nullptr;
  NicFiles* slot = nullptr;
  for (NicFiles& f : r->nic_files) {
    if (files_of(f, nic)) slot = &f;
  }
  if (slot) {
    char path[320];
    snprintf(path, sizeof path, "sys/class/net/%s/ifindex", nic.name.c_str());
    struct stat st {};
    if (fstatat(r->root, path, &st, 0) != 0 || st.st_dev != slot->dev || st.st_ino != slot->ino) {
      sysinfo::drop_nic_files(slot);
      return nullptr;
    }
    slot->sample = r->sample;
    return slot;
  }
  for (NicFiles& f : r->nic_files) {
    if (!kept(f)) slot = &f;
  }
  for (NicFiles& f : r->nic_files) {
    if (!slot && f.sample + 2 <= r->sample) slot = &f;
  }
  if (!slot) return nullptr;
  sysinfo::drop_nic_files(slot);
  if (!open_files(r, nic, slot)) return nullptr;
  slot->sample = r->sample;
  return slot;
}

void list(Reader* r) {
  r->nics.clear();
  int net = sysinfo::open_folder(r->root, "sys/class/net");
  if (net < 0) {
    drop_unlisted(r);
    return;
  }
  for (const std::string& name : sysinfo::list_names(r->root, "sys/class/net")) {
    char buffer[128], path[320];
    std::string_view text;
    snprintf(path, sizeof path, "%s/ifindex", name.c_str());
    if (!sysinfo::read_small(net, path, buffer, sizeof buffer, &text)) continue;
    Nic nic;
    nic.index = static_cast<u32>(sysinfo::number_of(text));
    nic.name = name;
    snprintf(path, sizeof path, "%s/type", name.c_str());
    u32 hardware_type = sysinfo::read_small(net, path, buffer, sizeof buffer, &text)
                            ? static_cast<u32>(sysinfo::number_of(text)) : 0;
    snprintf(path, sizeof path, "%s/wireless", name.c_str());
    bool wireless = exists(net, path);
    snprintf(path, sizeof path, "%s/phy80211", name.c_str());
    wireless = wireless || exists(net, path);
    nic.type = row_type(hardware_type, wireless);
    // Interfaces of a device (a bus address behind them); bridges, veth pairs and tunnels have none.
    snprintf(path, sizeof path, "%s/device", name.c_str());
    nic.hardware = exists(net, path);
    nic.description = name;
    char target[512];
    snprintf(path, sizeof path, "%s/device/driver", name.c_str());
    ssize_t n = readlinkat(net, path, target, sizeof target - 1);
    if (n > 0) {
      std::string_view driver(target, static_cast<size_t>(n));
      nic.description = std::string(driver.substr(driver.rfind('/') + 1));
    }
    snprintf(path, sizeof path, "%s/address", name.c_str());
    if (sysinfo::read_small(net, path, buffer, sizeof buffer, &text)) {
      nic.address_length = parse_address(text, nic.address, sizeof nic.address);
    }
    snprintf(path, sizeof path, "%s/mtu", name.c_str());
    if (sysinfo::read_small(net, path, buffer, sizeof buffer, &text)) nic.mtu = static_cast<u32>(sysinfo::number_of(text));
    r->nics.push_back(nic);
  }
  close(net);
  std::sort(r->nics.begin(), r->nics.end(), [](const Nic& a, const Nic& b) { return a.index < b.index; });
  drop_unlisted(r);
}

const Nic* find(Reader* r, u32 index) {
  for (const Nic& nic : r->nics) {
    if (nic.index == index) return &nic;
  }
  return nullptr;
}

// 1 up, 2 down, 3 testing, 4 unknown, 5 dormant, 6 not present, 7 lower layer down.
u32 oper_status(std::string_view state, int carrier) {
  if (state == "up") return 1;
  if (state == "unknown") return carrier == 1 ? 1 : 4;
  if (state == "down") return 2;
  if (state == "testing") return 3;
  if (state == "dormant") return 5;
  if (state == "notpresent") return 6;
  if (state == "lowerlayerdown") return 7;
  return 4;
}

}  // namespace

u32 interfaces(Reader* r, u64* luids, u32 cap) {
  if (!r) return 0;
  list(r);
  u32 n = 0;
  for (const Nic& nic : r->nics) {
    if (n == cap) break;
    luids[n++] = luid_of(nic.type, nic.index);
  }
  return n;
}

bool interface_row(Reader* r, sysrec::IfRow* row) {
  if (!r) return false;
  u64 luid = row->luid;
  u32 index = index_of_luid(luid);
  const Nic* nic = find(r, index);
  if (!nic) {
    list(r);
    nic = find(r, index);
  }
  if (!nic || luid_of(nic->type, nic->index) != luid) return false;
  const NicFiles* files = files_for(r, *nic);
  int net = files ? -1 : sysinfo::open_folder(r->root, "sys/class/net");
  if (!files && net < 0) return false;
  char buffer[128], path[320];
  std::string_view text;
  auto read = [&](u32 attribute) {
    const int kept_fd = files ? files->fd[attribute] : -1;
    if (kept_fd >= 0) return sysinfo::read_small_open(kept_fd, buffer, sizeof buffer, &text);
    if (net < 0) net = sysinfo::open_folder(r->root, "sys/class/net");
    snprintf(path, sizeof path, "%s/%s", nic->name.c_str(), attribute_paths[attribute]);
    return sysinfo::read_small(net, path, buffer, sizeof buffer, &text);
  };
  // The name may meanwhile belong to another interface.
  bool same = read(sysinfo::nic_ifindex) && sysinfo::number_of(text) == index;
  if (!same) {
    if (net >= 0) close(net);
    return false;
  }
  *row = sysrec::IfRow{};
  row->luid = luid;
  row->index = index;
  os::utf8_to_wide(mem::Bytes(reinterpret_cast<const u8*>(nic->name.data()), nic->name.size()), row->alias, 257);
  std::string_view description(nic->description);
  os::utf8_to_wide(mem::Bytes(reinterpret_cast<const u8*>(description.data()), description.size()), row->description,
                   257);
  row->physical_length = nic->address_length;
  memcpy(row->physical, nic->address, sizeof row->physical);
  memcpy(row->permanent_physical, nic->address, sizeof row->permanent_physical);
  row->mtu = nic->mtu;
  row->type = nic->type;
  row->flags = static_cast<u8>(nic->hardware ? sysrec::if_hardware : 0u);
  int carrier = read(sysinfo::nic_carrier) ? static_cast<int>(sysinfo::number_of(text)) : -1;
  row->oper_status = read(sysinfo::nic_operstate) ? oper_status(text, carrier) : 4;
  row->media_connect = carrier == 1 ? 1 : carrier == 0 ? 2 : 0;
  // Link speed in Mbit/s; -1 (or nothing) when the driver does not know it.
  if (read(sysinfo::nic_speed) && !text.empty() && text[0] != '-') {
    u64 mbps = sysinfo::number_of(text);
    row->transmit_speed = row->receive_speed = mbps * 1000000ull;
  }
  if (read(sysinfo::nic_rx_bytes)) row->in_octets = sysinfo::number_of(text);
  if (read(sysinfo::nic_tx_bytes)) row->out_octets = sysinfo::number_of(text);
  if (net >= 0) close(net);
  return true;
}

// ---- TCP tables.

namespace {

// The system's TCP states: 1 closed, 2 listen, 3 SYN sent, 4 SYN received, 5 established, 6 FIN wait 1,
// 7 FIN wait 2, 8 close wait, 9 closing, 10 last ACK, 11 time wait; from the kernel's numbering.
u32 tcp_state(u32 kernel_state) {
  static const u32 map[12] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9};
  return kernel_state < 12 ? map[kernel_state] : 0;
}

// Hex digits at text[*at] into a u32, moved past them.
u32 hex32(std::string_view text, size_t* at, size_t digits) {
  u32 v = 0;
  for (size_t k = 0; k < digits && *at < text.size(); ++k, ++*at) {
    u32 d = hex_digit(text[*at]);
    if (d > 15) break;
    v = v << 4 | d;
  }
  return v;
}

void skip_blanks(std::string_view text, size_t* at) {
  while (*at < text.size() && text[*at] == ' ') ++*at;
}
void skip_word(std::string_view text, size_t* at) {
  while (*at < text.size() && text[*at] != ' ') ++*at;
}

// One address and port "AAAAAAAA:PPPP" (or 32 digits for IPv6). The kernel prints each 32-bit word of the
// address as the number it holds in memory, so storing that number little-endian gives the address bytes in
// network order, as the rows keep them; the port goes into network order by hand.
void endpoint(std::string_view text, size_t* at, u8* address, u32 words, u32* port) {
  skip_blanks(text, at);
  for (u32 w = 0; w < words; ++w) {
    u32 v = hex32(text, at, 8);
    memcpy(address + 4 * w, &v, 4);
  }
  if (*at < text.size() && text[*at] == ':') ++*at;
  u32 p = hex32(text, at, 4);
  *port = (p >> 8 & 0xFF) | (p & 0xFF) << 8;
}

// The row of a socket the kernel's diagnostics tell of. Addresses and ports come in network order, as the rows keep
// them; a time-wait entry is told by its timer kind, which no full socket reports.
sysinfo::TcpLine line_of(const inet_diag_msg* m) {
  const bool v4 = m->idiag_family == AF_INET;
  sysinfo::TcpLine p{};
  p.family = v4 ? 0 : 1;
  memcpy(p.row.local_address, m->id.idiag_src, v4 ? 4 : 16);
  memcpy(p.row.remote_address, m->id.idiag_dst, v4 ? 4 : 16);
  p.row.local_port = m->id.idiag_sport;
  p.row.remote_port = m->id.idiag_dport;
  p.row.state = tcp_state(m->idiag_state);
  p.uid = m->idiag_uid;
  p.inode = m->idiag_inode;
  p.bound_if = m->id.idiag_if;
  p.cookie[0] = m->id.idiag_cookie[0];
  p.cookie[1] = m->id.idiag_cookie[1];
  p.time_wait = m->idiag_timer == 3;
  return p;
}

const u32 listen_state = 2;           // a row's state
const u32 kernel_listen = 1u << 10;   // the kernel's state bit
// The kernel's states 1 (established) to 12 (request socket). Newer kernels also list sockets that are only bound
// (state 13) when asked for every state: those are no connection, its listing files do not show them, and they
// would cost a walk of the bind hash besides.
const u32 kernel_states = (1u << 13) - 2;
// A time-wait entry that has passed FIN wait 2 (the kernel's state 6); one still in FIN wait 2 is listed as such.
const u32 kernel_time_wait = 1u << 6;

// Both families' tables from the kernel's socket diagnostics, in one walk of its connection hash (reading
// net/tcp and net/tcp6 walks the whole hash once for each, and on a machine with much memory that walk is most of
// the cost). The old-style request answers for both families at once; each family's rows go to its own list (both
// may be the same one). Asking for listeners alone (states kernel_listen) walks only the listeners' table. False
// when the diagnostics cannot be had.
bool dump_tables(std::vector<sysinfo::TcpLine>* v4_lines, std::vector<sysinfo::TcpLine>* v6_lines, u32 states = kernel_states) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_INET_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr head;
    inet_diag_req body;
  } ask{};
  ask.head.nlmsg_len = sizeof ask;
  ask.head.nlmsg_type = TCPDIAG_GETSOCK;
  ask.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.head.nlmsg_seq = 1;
  ask.body.idiag_family = AF_INET;
  ask.body.idiag_states = states;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool done = false, good = sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
                            static_cast<ssize_t>(sizeof ask);
  alignas(nlmsghdr) char buffer[32768];
  while (good && !done) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    good = n > 0;
    int left = good ? static_cast<int>(n) : 0;
    for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); good && !done && NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      done = h->nlmsg_type == NLMSG_DONE;
      if (done) break;
      good = h->nlmsg_type != NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg));
      if (!good) break;
      const inet_diag_msg* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (m->idiag_family != AF_INET && m->idiag_family != AF_INET6) continue;
      (m->idiag_family == AF_INET ? v4_lines : v6_lines)->push_back(line_of(m));
    }
  }
  close(fd);
  return good && done;
}

// One request for a single socket, by its addresses, ports, interface and cookie.
struct Exact {
  nlmsghdr head;
  inet_diag_req_v2 body;
};
// Requests sent in one message: the answers wait in the socket's receive room, of which 64 fill well under half.
const size_t exact_most = 64;

// The answer to request `index` of a batch starting at `from`; false when it is not one of them or tells of a
// failure other than the socket being gone (not there, or another socket in its place).
bool take_answer(const nlmsghdr* h, size_t from, size_t count, std::vector<sysinfo::TcpLine>* lines,
                 std::vector<bool>* found) {
  const size_t index = static_cast<size_t>(h->nlmsg_seq) - 1;
  if (index < from || index >= from + count) return false;
  if (h->nlmsg_type == NLMSG_ERROR) {
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return false;
    const int error = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
    return error == -ENOENT || error == -ESTALE;
  }
  if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
  sysinfo::TcpLine now = line_of(static_cast<const inet_diag_msg*>(NLMSG_DATA(h)));
  if (now.family != (*lines)[index].family) return false;
  (*lines)[index] = now;
  (*found)[index] = true;
  return true;
}

// Asks the kernel for each row's socket again (a socket that took the same addresses since has another cookie and
// does not answer), up to exact_most requests in one message. The kernel answers every request before the send
// returns, so the answers are read without waiting. A row whose socket is there becomes the row as it is now;
// found[i] tells which. With `every`, the questions stop after the message in which a socket was not found. False
// when an answer is missing or the kernel failed otherwise.
bool ask_again(std::vector<sysinfo::TcpLine>* lines, std::vector<bool>* found, bool every = false) {
  found->assign(lines->size(), false);
  if (lines->empty()) return true;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_INET_DIAG);
  if (fd < 0) return false;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  Exact asks[exact_most];
  alignas(nlmsghdr) char buffer[8192];
  bool good = true;
  for (size_t from = 0; good && from < lines->size(); from += exact_most) {
    const size_t count = std::min(exact_most, lines->size() - from);
    for (size_t k = 0; k < count; ++k) {
      const sysinfo::TcpLine& p = (*lines)[from + k];
      Exact& a = asks[k];
      a = Exact{};
      a.head.nlmsg_len = sizeof a;
      a.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
      a.head.nlmsg_flags = NLM_F_REQUEST;
      a.head.nlmsg_seq = static_cast<u32>(from + k + 1);
      a.body.sdiag_family = p.family == 0 ? AF_INET : AF_INET6;
      a.body.sdiag_protocol = IPPROTO_TCP;
      a.body.idiag_states = ~0u;
      a.body.id.idiag_sport = static_cast<u16>(p.row.local_port);
      a.body.id.idiag_dport = static_cast<u16>(p.row.remote_port);
      memcpy(a.body.id.idiag_src, p.row.local_address, 16);
      memcpy(a.body.id.idiag_dst, p.row.remote_address, 16);
      a.body.id.idiag_if = p.bound_if;
      a.body.id.idiag_cookie[0] = p.cookie[0];
      a.body.id.idiag_cookie[1] = p.cookie[1];
    }
    const ssize_t size = static_cast<ssize_t>(count * sizeof(Exact));
    good = sendto(fd, asks, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == size;
    for (size_t answered = 0; good && answered < count;) {
      ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      good = n > 0;
      int left = good ? static_cast<int>(n) : 0;
      for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); good && NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        good = take_answer(h, from, count, lines, found);
        ++answered;
      }
    }
    if (every && std::find(found->begin() + static_cast<long>(from), found->begin() + static_cast<long>(from + count),
                           false) != found->begin() + static_cast<long>(from + count)) {
      break;
    }
  }
  close(fd);
  return good;
}

// The value after `key` among a line's words ("inuse 3"); counts 1 when it is there.
int word_value(const std::vector<std::string_view>& w, std::string_view key, u64* out) {
  for (size_t i = 1; i + 1 < w.size(); ++i) {
    if (w[i] != key) continue;
    *out = sysinfo::number_of(w[i + 1]);
    return 1;
  }
  return 0;
}

// The TCP counts of the network namespace of the kernel's proc folder; false when one of them cannot be read.
bool read_counts(Reader* r, sysinfo::TcpCounts* c) {
  *c = sysinfo::TcpCounts{};
  int found = 0;
  std::string_view text;
  auto counts_of = [&](const char* path, std::string_view head, std::initializer_list<std::pair<const char*, u64*>> keys) {
    if (!sysinfo::read_fixed(r, path, true, &text)) return;
    sysinfo::each_line(text, [&](std::string_view line) {
      std::vector<std::string_view> w = sysinfo::words(line);
      if (w.empty() || w[0] != head) return true;
      for (const auto& key : keys) found += word_value(w, key.first, key.second);
      return false;
    });
  };
  counts_of("net/sockstat", "TCP:", {{"inuse", &c->in_use[0]}, {"tw", &c->time_wait}});
  counts_of("net/sockstat6", "TCP6:", {{"inuse", &c->in_use[1]}});
  // Two lines of the same head: the names of the counts, then their values.
  if (sysinfo::read_fixed(r, "net/snmp", true, &text)) {
    std::vector<std::string_view> names;
    sysinfo::each_line(text, [&](std::string_view line) {
      std::vector<std::string_view> w = sysinfo::words(line);
      if (w.empty() || w[0] != "Tcp:") return true;
      if (names.empty()) {
        names = w;
        return true;
      }
      for (size_t i = 1; i < names.size() && i < w.size(); ++i) {
        if (names[i] != "ActiveOpens" && names[i] != "PassiveOpens") continue;
        c->opens += sysinfo::number_of(w[i]);
        ++found;
      }
      return false;
    });
  }
  return found == 5;
}

// The tables as a walk would give them now, without one, when no socket can have come since the last walk: the
// listeners listed again (their own small table), every other row asked for again, and the counts as that walk
// found them, moved only by what the answers show (connections turned into time-wait entries, listeners that came
// or went). The counts read before (`before`) spare the questions when a connection was opened since. False, the
// tables untouched, when a count moved otherwise, a socket left, there are more rows than the bound to ask for,
// the last walk is older than its bound, or anything failed: then the hash is walked.
bool read_again(Reader* r, u64 now, const sysinfo::TcpCounts& before) {
  sysinfo::TcpWalk& walk = r->tcp_walk;
  if (!walk.counted || before.opens != walk.counts.opens || now - walk.at_ms >= walk.most_ms || !r->tcp[0].read ||
      !r->tcp[1].read) {
    return false;
  }
  std::vector<sysinfo::TcpLine> asked;
  u64 listened_of[2] = {};
  for (const sysinfo::TcpTable& t : r->tcp) {
    for (const sysinfo::TcpLine& p : t.lines) {
      if (p.row.state != listen_state) {
        if (asked.size() == walk.most_rows) return false;
        asked.push_back(p);
      } else {
        ++listened_of[p.family];
      }
    }
  }
  std::vector<sysinfo::TcpLine> listeners;
  std::vector<bool> found;
  if (!dump_tables(&listeners, &listeners, kernel_listen) || !ask_again(&asked, &found, true)) return false;
  u64 turned = 0, turned_of[2] = {}, listening_of[2] = {};
  for (const sysinfo::TcpLine& p : listeners) ++listening_of[p.family];
  size_t i = 0;
  for (const sysinfo::TcpTable& t : r->tcp) {
    for (const sysinfo::TcpLine& p : t.lines) {
      if (p.row.state == listen_state) continue;
      if (!found[i]) return false;
      const bool turns = !p.time_wait && asked[i].time_wait;
      turned += turns;
      turned_of[p.family] += turns;
      ++i;
    }
  }
  // Read after the answers: a socket that came before them moved a count by now.
  sysinfo::TcpCounts c;
  if (!read_counts(r, &c)) return false;
  const sysinfo::TcpCounts& was = walk.counts;
  bool same = c.opens == was.opens && c.time_wait == was.time_wait + turned;
  for (int f = 0; f < 2; ++f) same = same && c.in_use[f] + turned_of[f] + listened_of[f] == was.in_use[f] + listening_of[f];
  if (!same) return false;
  walk.counts = c;
  for (sysinfo::TcpTable& t : r->tcp) t.lines.clear();
  for (const std::vector<sysinfo::TcpLine>* rows : {&listeners, &asked}) {
    for (const sysinfo::TcpLine& p : *rows) r->tcp[p.family].lines.push_back(p);
  }
  return true;
}

// A family's table from the kernel's listing file.
bool read_file_table(Reader* r, bool v4, std::vector<sysinfo::TcpLine>* lines) {
  std::string_view text;
  if (!sysinfo::read_file(r, r->proc, v4 ? "net/tcp" : "net/tcp6", &text)) return false;
  bool first = true;
  sysinfo::each_line(text, [&](std::string_view line) {
    if (first || line.empty()) {  // the first line names the columns
      first = false;
      return true;
    }
    size_t at = 0;
    skip_blanks(line, &at);
    skip_word(line, &at);  // "sl:"
    sysinfo::TcpLine p{};
    endpoint(line, &at, p.row.local_address, v4 ? 1 : 4, &p.row.local_port);
    endpoint(line, &at, p.row.remote_address, v4 ? 1 : 4, &p.row.remote_port);
    skip_blanks(line, &at);
    p.row.state = tcp_state(hex32(line, &at, 2));
    for (int k = 0; k < 3; ++k) {  // queues, timer, retransmits
      skip_blanks(line, &at);
      skip_word(line, &at);
    }
    skip_blanks(line, &at);
    p.uid = static_cast<u32>(sysinfo::number_at(line, &at));
    skip_blanks(line, &at);
    skip_word(line, &at);  // timeout
    skip_blanks(line, &at);
    p.inode = sysinfo::number_at(line, &at);
    lines->push_back(p);
    return true;
  });
  return true;
}

// The time-wait entries the tables leave out: those the counts tell of less those listed (the ones still in FIN
// wait 2, and connections that turned since the walk).
u64 left_out(const Reader* r) {
  u64 listed = 0;
  for (const sysinfo::TcpTable& t : r->tcp) {
    for (const sysinfo::TcpLine& p : t.lines) listed += p.time_wait;
  }
  const u64 counted = r->tcp_walk.counts.time_wait;
  return counted > listed ? counted - listed : 0;
}

// Reads the family's table again; on the kernel's own proc folder both families at once, so the other family's
// table is fresh too.
bool read_tables(Reader* r, bool v4, u64 now) {
  sysinfo::TcpWalk& walk = r->tcp_walk;
  walk.left_out = 0;
  if (r->procfs) {
    // The counts before the walk: a socket that comes while it goes on moves them, and the next read walks again.
    sysinfo::TcpCounts before;
    const bool counted = read_counts(r, &before);
    // Time-wait entries are left out only where the counts tell how many there are.
    const bool leave = counted && r->owners_deferred;
    bool read = counted && read_again(r, now, before);
    if (!read) {
      walk.counts = before;
      walk.counted = counted;
      // Straight into the tables, whose lists keep their room from one read to the next; a first read makes room
      // for what the counts tell at once, instead of growing (and copying) its lists thousands of rows at a time.
      for (int f = 0; f < 2; ++f) {
        r->tcp[f].lines.clear();
        if (counted) r->tcp[f].lines.reserve(before.in_use[f] + (leave ? 0 : before.time_wait) + 64);
      }
      read = dump_tables(&r->tcp[0].lines, &r->tcp[1].lines, leave ? kernel_states & ~kernel_time_wait : kernel_states);
      walk.counted = walk.counted && read;
      walk.at_ms = now;
      ++walk.walks;
    }
    if (read && leave) walk.left_out = left_out(r);
    if (read) {
      for (sysinfo::TcpTable& t : r->tcp) {
        t.read = true;
        t.read_ms = now;
        t.owners_due = true;
      }
      return true;
    }
    r->tcp[v4 ? 1 : 0].read = false;  // cleared for nothing: the other family's file is read at its own turn
  }
  sysinfo::TcpTable& table = r->tcp[v4 ? 0 : 1];
  table.lines.clear();
  table.read = read_file_table(r, v4, &table.lines);
  table.read_ms = now;
  table.owners_due = table.read;
  return table.read;
}

}  // namespace

}  // namespace net

namespace sysinfo {

bool still_listed(Reader* r, int family, const std::unordered_set<uint64_t>& wanted, std::unordered_set<uint64_t>* listed) {
  listed->clear();
  std::vector<TcpLine> lines;
  std::vector<bool> found;
  if (!r->procfs) {
    if (!net::read_file_table(r, family == 0, &lines)) return false;
    found.assign(lines.size(), true);
  } else {
    // A socket its process closed has no inode any more: nobody holds it.
    for (const TcpLine& p : r->tcp[family].lines) {
      if (p.inode && wanted.count(p.inode)) lines.push_back(p);
    }
    if (!net::ask_again(&lines, &found)) return false;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (found[i] && lines[i].inode && wanted.count(lines[i].inode)) listed->insert(lines[i].inode);
  }
  return true;
}

}  // namespace sysinfo

namespace net {

u32 tcp_table(Reader* r, u32 family, mem::Slice buffer, u32* size) {
  if (!r) return file_error;
  if (family != family_ipv4 && family != family_ipv6) return not_supported;
  const bool v4 = family == family_ipv4;
  sysinfo::TcpTable& table = r->tcp[v4 ? 0 : 1];
  const u64 now = os::clock_ms();
  // A search that ran out of credit goes on in a table read again, so a socket that closed meanwhile is no longer
  // looked for.
  const bool due = !table.read || now - table.read_ms >= r->tcp_ms || (table.owners_pending && !r->owners_deferred);
  if (due && !read_tables(r, v4, now)) return file_error;
  const u64 row_size = v4 ? sizeof(sysrec::TcpRow) : sizeof(sysrec::Tcp6Row);
  u64 needed = sysrec::tcp_table_head + table.lines.size() * row_size;
  if (needed > buffer.len) {
    *size = static_cast<u32>(std::min<u64>(needed, UINT32_MAX));
    return insufficient_buffer;
  }
  // Owners once per read of the table: in between its rows keep the owners found then.
  std::unordered_map<u64, sysinfo::Owner>& owners = r->owners[v4 ? 0 : 1];
  if (table.owners_due && !r->owners_deferred) {
    // Without the right to look into other users' processes, a socket another user made has a holder this user
    // cannot see: it is not looked for (on a copied tree the users mean nothing here, and all are).
    const u32 uid = static_cast<u32>(geteuid());
    const bool all = !r->procfs || uid == 0;
    std::vector<u64> inodes;
    for (const sysinfo::TcpLine& p : table.lines) {
      if (all || p.uid == uid) inodes.push_back(p.inode);
    }
    sysinfo::find_owners(r, v4 ? 0 : 1, inodes);
    table.owners_due = false;
  }
  u8* out = buffer.ptr + sysrec::tcp_table_head;
  for (const sysinfo::TcpLine& p : table.lines) {
    u32 pid = 0;  // time-wait rows have no holder
    if (p.inode && !owners.empty()) {
      auto owner = owners.find(p.inode);
      if (owner != owners.end()) pid = owner->second.pid;
    }
    if (v4) {
      sysrec::TcpRow row{p.row.state, 0, p.row.local_port, 0, p.row.remote_port, pid};
      memcpy(&row.local_address, p.row.local_address, 4);
      memcpy(&row.remote_address, p.row.remote_address, 4);
      memcpy(out, &row, sizeof row);
    } else {
      sysrec::Tcp6Row row = p.row;
      row.pid = pid;
      memcpy(out, &row, sizeof row);
    }
    out += row_size;
  }
  u32 count = static_cast<u32>(table.lines.size());
  memcpy(buffer.ptr, &count, 4);
  *size = static_cast<u32>(needed);
  return 0;
}

bool defer_owners(Reader* r) {
  if (!r) return false;
  r->owners_deferred = true;
  for (std::unordered_map<u64, sysinfo::Owner>& owners : r->owners) owners.clear();
  return true;
}

u32 held_rows(Reader* r, u32 pid) {
  if (!r || pid == 0) return 0;
  std::unordered_set<u64> held;
  sysinfo::sockets_held(r, pid, &held);
  u32 count = 0;
  for (const sysinfo::TcpTable& table : r->tcp) {
    for (const sysinfo::TcpLine& p : table.lines) count += p.inode != 0 && held.count(p.inode) != 0;
  }
  return count;
}

u32 time_wait_left(Reader* r) { return r ? static_cast<u32>(std::min<u64>(r->tcp_walk.left_out, UINT32_MAX)) : 0; }

namespace {

struct Unicast {
  u16 family;  // 2 or 23
  u8 bytes[16];
};

// The first "search" or "domain" name of the resolver's configuration, the suffix every adapter shares here.
std::string dns_suffix(Reader* r) {
  std::string_view text;
  std::string suffix;
  if (!sysinfo::read_file(r, r->root, "etc/resolv.conf", &text)) return suffix;
  sysinfo::each_line(text, [&](std::string_view line) {
    std::vector<std::string_view> w = sysinfo::words(line);
    if (w.size() >= 2 && (w[0] == "search" || w[0] == "domain")) {
      suffix = std::string(w[1]);
      return false;
    }
    return true;
  });
  return suffix;
}

std::map<std::string, std::vector<Unicast>> live_addresses() {
  std::map<std::string, std::vector<Unicast>> by_name;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return by_name;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || !a->ifa_name) continue;
    Unicast u{};
    if (a->ifa_addr->sa_family == AF_INET) {
      u.family = family_ipv4;
      memcpy(u.bytes, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
    } else if (a->ifa_addr->sa_family == AF_INET6) {
      u.family = family_ipv6;
      memcpy(u.bytes, &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    by_name[a->ifa_name].push_back(u);
  }
  freeifaddrs(list);
  return by_name;
}

void put16(u8* at, std::string_view text, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    u16 unit = i < text.size() ? static_cast<u8>(text[i]) : 0;
    memcpy(at + 2 * i, &unit, 2);
  }
}

}  // namespace

u32 adapter_addresses(Reader* r, mem::Slice buffer, u32* size) {
  *size = 0;
  if (!r) return file_error;
  list(r);
  std::map<std::string, std::vector<Unicast>> addresses;
  if (r->procfs) addresses = live_addresses();
  std::string suffix = dns_suffix(r);
  // Sizes first: each node, then its address entries with their socket addresses (28 bytes), then its texts.
  auto texts_of = [&](const Nic& nic) { return 2 * (nic.description.size() + 1 + suffix.size() + 1 + nic.name.size() + 1) + nic.name.size() + 1; };
  u64 need = 0;
  for (const Nic& nic : r->nics) {
    need += adapter_node_bytes + addresses[nic.name].size() * (unicast_entry_bytes + 32) + (texts_of(nic) + 7) / 8 * 8;
  }
  if (need > UINT32_MAX) return not_supported;
  if (need > buffer.len) {
    *size = static_cast<u32>(need);
    return insufficient_buffer;
  }
  memset(buffer.ptr, 0, need);
  const u64 base = reinterpret_cast<u64>(buffer.ptr);
  u64 at = 0, previous = ~0ull;
  for (const Nic& nic : r->nics) {
    u8* node = buffer.ptr + at;
    if (previous != ~0ull) {
      u64 self = base + at;
      memcpy(buffer.ptr + previous + 8, &self, 8);
    }
    previous = at;
    const std::vector<Unicast>& mine = addresses[nic.name];
    u64 entries = at + adapter_node_bytes, texts = entries + mine.size() * (unicast_entry_bytes + 32);
    u32 length = adapter_node_bytes, index = nic.index, physical = std::min<u32>(nic.address_length, 8);
    memcpy(node, &length, 4);
    memcpy(node + 4, &index, 4);
    for (size_t k = 0; k < mine.size(); ++k) {
      u64 entry = entries + k * (unicast_entry_bytes + 32), socket = entry + unicast_entry_bytes;
      u8* e = buffer.ptr + entry;
      u32 entry_length = unicast_entry_bytes;
      memcpy(e, &entry_length, 4);
      if (k + 1 < mine.size()) {
        u64 next = base + entry + unicast_entry_bytes + 32;
        memcpy(e + 8, &next, 8);
      }
      u64 socket_address = base + socket;
      i32 socket_length = mine[k].family == family_ipv4 ? 16 : 28;
      memcpy(e + 16, &socket_address, 8);
      memcpy(e + 24, &socket_length, 4);
      u8* sa = buffer.ptr + socket;
      memcpy(sa, &mine[k].family, 2);
      memcpy(sa + (mine[k].family == family_ipv4 ? 4 : 8), mine[k].bytes, mine[k].family == family_ipv4 ? 4 : 16);
    }
    if (!mine.empty()) {
      u64 first = base + entries;
      memcpy(node + 24, &first, 8);
    }
    // Texts: description, DNS suffix, friendly name (UTF-16), then the adapter name (ASCII).
    u64 description = texts, dns = description + 2 * (nic.description.size() + 1);
    u64 friendly = dns + 2 * (suffix.size() + 1), name = friendly + 2 * (nic.name.size() + 1);
    put16(buffer.ptr + description, nic.description, nic.description.size());
    put16(buffer.ptr + dns, suffix, suffix.size());
    put16(buffer.ptr + friendly, nic.name, nic.name.size());
    memcpy(buffer.ptr + name, nic.name.data(), nic.name.size());
    u64 pointers[] = {base + name, base + dns, base + description, base + friendly};
    memcpy(node + 16, &pointers[0], 8);
    memcpy(node + 56, &pointers[1], 8);
    memcpy(node + 64, &pointers[2], 8);
    memcpy(node + 72, &pointers[3], 8);
    memcpy(node + 80, nic.address, physical);
    memcpy(node + 88, &physical, 4);
    u32 mtu = nic.mtu, type = nic.type;
    memcpy(node + 96, &mtu, 4);
    memcpy(node + 100, &type, 4);
    u64 luid = luid_of(nic.type, nic.index);
    memcpy(node + 224, &luid, 8);
    at = texts + (texts_of(nic) + 7) / 8 * 8;
  }
  *size = static_cast<u32>(need);
  return 0;
}

}  // namespace net
