#pragma once
// The Linux side of sysinfo::Reader, shared by the readers of /proc and /sys: the root folder, the retained read
// buffer, the letter map of the volumes, the disk map of the counter queries, the interface cache and the socket
// owners found by the last process walk. Only platform/linux includes this.
#include <stdint.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/sysinfo.h"

namespace sysinfo {

struct Volume {
  std::string mount;   // mount point as the system names it
  std::string device;  // block device name in /sys/class/block ("vda1", "dm-0")
  std::string label;   // file system label, else empty
  uint64_t dev = 0;    // device number of the mounted file system, to see that it is still mounted
  uint32_t disk = ~0u; // physical disk number, ~0 when the device is not on one
  uint32_t type = 0;   // fs::drive_type value
};

struct Nic {
  uint32_t index = 0;
  uint32_t type = 0;  // interface type of the row
  bool hardware = false;
  std::string name;
  std::string description;
  uint32_t address_length = 0;
  uint8_t address[32] = {};
  uint32_t mtu = 0;
};

// The process holding a socket, and the open file through which it does; pid 0 when no process this user may look
// into holds it, or while it is still being looked for (settled false). The holder's start and count of open files
// when it was last seen holding it: while both stay, the holder is taken to hold it still (a socket leaves a process
// only by a close, which moves the count, unless another file takes its place at once).
struct Owner {
  uint32_t pid = 0;
  uint32_t fd = 0;
  bool settled = true;  // a holder found, or every process searched without finding one
  uint64_t start = 0;
  uint32_t files = 0;
};

// A process's open files as last listed by an owner search or the DRM walk: they stand while the process keeps its
// start and its count of open files.
struct Listing {
  uint64_t start = 0;
  uint32_t files = 0;
};

// The work the searches through processes' open files may do: each link read costs one. Credit grows by rate a
// second up to most, so a quiet machine's searches find everything at once while one whose connections come and go
// all the time pays at most rate link reads a second; a search that runs out of credit goes on at the next sample.
struct LookCredit {
  int64_t credit = 0;
  uint64_t at_ms = 0;
  bool started = false;
  uint32_t rate = 1000;
  uint32_t most = 10000;
};

// What the process pass read of one process besides its stat line. A process whose stat line shows no activity since
// (the same start, short name, CPU times, page faults, sizes and thread count) cannot have changed its memory or I/O
// counts meanwhile, or only by little; those are carried over instead of read again, for at most carry_ms (a kernel
// thread for kernel_carry_ms; see processes in procs.cpp). Its count of open files is read at every pass.
struct ProcMemo {
  uint32_t pid = 0;
  uint32_t threads = 0;
  uint64_t started = 0, user = 0, kernel = 0, minor_faults = 0, major_faults = 0, virtual_size = 0, resident = 0;
  std::string comm;  // the short name in the stat line
  uint64_t read_ms = 0;  // when the files below were read
  std::string name;      // the name the process is shown with
  uint64_t working_set = 0, private_bytes = 0, read = 0, written = 0;
  uint32_t handles = 0;
};

// A process's stat file and fd folder, kept open between passes on the kernel's proc folder: a read through an open
// file spares the kernel the path walk of every pass, about half the cost of a pass. The statm and io files of a
// process read again (it ran since the pass before) join them. The open file stays bound to its process, so after
// the process ends it fails (and is opened again for a new process of the same number).
struct Kept {
  uint32_t pid = 0;
  int stat = -1;   // -1: not open
  int fds = -1;    // -1: not open; -2: the folder is refused (another user's process): looked up by path each pass
  int statm = -1;  // -1: not opened yet; -2: refused, read by path
  int io = -1;     // as statm
};

// One row of a TCP table as the kernel lists it, with the socket's inode and the user that made it. The kernel's
// socket diagnostics also give the interface the socket is bound to and its cookie, a number no other socket of the
// boot gets: with its addresses and ports they ask the kernel for this very socket again.
struct TcpLine {
  sysrec::Tcp6Row row;  // the IPv4 rows use the first bytes of each address
  uint64_t inode = 0;
  uint32_t uid = 0;
  int family = 0;  // 0 IPv4, 1 IPv6
  uint32_t bound_if = 0;
  uint32_t cookie[2] = {};
  bool time_wait = false;  // a time-wait entry, which takes the place of the socket at the end of a connection
};

// The kernel's counts of this network namespace's TCP sockets. A connection made or accepted moves opens, which
// never falls; a connection's socket turning into a time-wait entry moves in_use and time_wait; a socket leaving
// moves in_use or time_wait; a listener moves in_use. Request sockets (a handshake a listener has not finished
// yet) move none.
struct TcpCounts {
  uint64_t opens = 0;       // Tcp ActiveOpens + PassiveOpens of net/snmp
  uint64_t in_use[2] = {};  // TCP "inuse" of net/sockstat, TCP6 "inuse" of net/sockstat6: listeners and connections
  uint64_t time_wait = 0;   // TCP "tw" of net/sockstat, both families
};

// What the owner searches learnt of the processes' open files. A process's listing stands while its start and count
// of open files stay (Listing), and the sockets seen in it are kept with their holder, so a search lists only the
// processes that opened or closed files since, and a socket held by one that did not is found without a look. The two
// families' searches of one process pass list each process at most once between them. Processes whose open files
// this user may not look at are passed over while they live.
struct OwnerLooks {
  uint64_t pass_ms = 0;  // the process pass of the looks below
  uint32_t pass_count = 0;
  uint8_t families = 0;  // bit f: family f searched in this pass
  std::unordered_set<uint32_t> looked;                 // listed in this pass
  std::unordered_map<uint32_t, Listing> listed;        // pid -> its last listing, while it stands
  std::unordered_map<uint64_t, Owner> seen;            // socket inode -> holder, from the listings that stand
  std::vector<std::pair<uint32_t, uint64_t>> refused;  // (pid, start) of processes not to be looked into, by pid
  LookCredit credit;
  uint64_t links = 0;  // link reads in all, for the bench and the tests
};

// A family's TCP table as last read. A whole listing makes the kernel walk its whole connection hash (over a
// millisecond on a machine with much memory, whatever the number of connections), so the table is read at most
// every tcp_ms and answered from here in between; and a read whose counts show that no socket can have come asks
// the kernel only for its listeners and for each connection it had (see TcpWalk).
struct TcpTable {
  std::vector<TcpLine> lines;
  uint64_t read_ms = 0;
  bool read = false;
  bool owners_due = false;      // read, and its owners not looked up yet
  bool owners_pending = false;  // the last search ran out of credit: read again and go on at the next sample
};

// The last walk of the kernel's connection hash, for the reads of the TCP tables that need none: the socket counts
// taken just before it (or at the last read that stood without a walk), for the next read to compare with.
struct TcpWalk {
  TcpCounts counts;
  bool counted = false;   // the counts could be read: a read may stand without a walk
  uint64_t at_ms = 0;     // when the last walk was made
  uint64_t most_ms = 60000;   // a walk at least this often, for what no count shows (request sockets)
  uint32_t most_rows = 512;   // a read with more connections than this to ask for walks instead
  uint64_t walks = 0;     // walks made, for the bench and the tests
  uint64_t left_out = 0;  // time-wait entries counted but not listed by the last read (owners deferred)
};

// A graphics card of /sys/class/drm.
struct Card {
  std::string name;     // "card0"
  std::string address;  // PCI address "0000:03:00.0", empty for a card without a PCI device
  std::string driver;
  uint64_t luid = 0;    // high part the PCI domain, low part bus << 16 | device << 8 | function
  bool software = false;
};

// A logical processor's nominal frequency (kHz) for its performance; 0 when it has no frequency scaling.
struct CpuNominal {
  std::string name;  // "cpu3"
  uint64_t nominal = 0;
};

// Graphics use of one process found in the DRM clients' fdinfo: per engine the busy time, and local memory.
struct GpuUse {
  uint32_t pid = 0;
  uint64_t luid = 0;
  std::string engine;     // the driver's engine name ("gfx", "render", "video", ...); empty for memory
  uint64_t busy_ns = 0;   // summed over the process's clients, divided by the engine's capacity
  uint64_t bytes = 0;     // local (video) memory
};

// An open file of a process that is a DRM device node.
struct DrmFile {
  uint32_t pid = 0;
  std::string fd;      // its number in the process's fd folder
  std::string target;  // "/dev/dri/renderD128"
};

// A class folder of /sys ("sys/class/thermal") as last listed. Its names serve every caller of one sample; a folder
// found missing (its driver not loaded) is looked for again only after Reader::absent_ms.
struct ClassList {
  std::string path;
  std::vector<std::string> names;
  uint64_t sample = ~0ull;  // the sample it was listed in
  bool missing = false;
  uint64_t missing_ms = 0;  // when it was found missing
};

// A file of the kernel's proc folder that the samples read again and again (processor times, memory, load, disk and
// socket counts), kept open and read from its start each time: the kernel makes such a file anew at every read from
// offset 0, and the open and close spared cost more than so small a read. The path is a literal (the table keys on
// its text); one below "self" is opened again in another process (a fork).
struct FixedFile {
  const char* path = nullptr;
  int fd = -1;
  int pid = 0;
};
constexpr uint32_t fixed_most = 12;

// The attributes of an interface that every sample reads, kept open and read from their start (sysfs makes them anew
// at each read from offset 0). The open files stay bound to the device, so before each use the interface's name is
// checked to lead still to the same ifindex file; when it does not (the name now belongs to another device, or is
// gone), they are dropped and the attributes read by path. Dropped as well when a listing no longer shows the
// interface, and taken over by another interface once not read for two samples.
enum : uint32_t { nic_ifindex, nic_carrier, nic_operstate, nic_speed, nic_rx_bytes, nic_tx_bytes, nic_attributes };
struct NicFiles {
  uint32_t index = 0;
  char name[32] = {};  // the kernel's names are at most 15 bytes
  int fd[nic_attributes] = {-1, -1, -1, -1, -1, -1};  // -1: not open (the attribute is read by path)
  uint64_t dev = 0, ino = 0;  // of the ifindex file
  uint64_t sample = 0;        // the sample it was last read in
};
constexpr uint32_t nic_files_most = 8;

struct Reader {
  int root = -1;  // the root folder
  int proc = -1;  // its proc folder (-1 when missing)
  std::vector<char> buffer;  // retained: every whole-file read lands here
  uint64_t sample = 0;        // sample count, for the reads kept within one sample
  uint64_t meminfo_sample = ~0ull;
  std::vector<char> meminfo;  // the memory file of this sample
  uint64_t commit_peak = 0;   // pages
  uint64_t boot = 0;          // boot time once known (100 ns since 1601)
  Volume volumes[26];
  uint32_t letters = 0;
  std::vector<std::string> disks;  // physical disks by number
  std::vector<Nic> nics;           // by index order, as last listed
  std::unordered_map<uint64_t, Owner> owners[2];  // per TCP family: socket inode -> holder, while it is listed
  TcpTable tcp[2];                                // per TCP family
  TcpWalk tcp_walk;                               // the last walk of the connection hash that read them
  OwnerLooks looks;                               // the owner searches' listings
  bool owners_deferred = false;                   // no owner search: the rows carry owner 0 (net::defer_owners)
  uint64_t tcp_ms = 5000;                         // a TCP table is read again after this long
  // A search that has read this many links since it last asked (and at least one per socket it still looks for, the
  // cost of asking for it; 0: before every look) asks the kernel again which of the sockets it still looks for
  // exist: a connection that closed meanwhile is not looked for through every process.
  uint32_t recheck_links = 32;
  std::vector<ProcMemo> memos;  // by pid: the processes of the last whole process pass
  uint64_t carry_ms = 5000;     // the longest a process's files are carried over
  // The longest for a kernel thread: it has no memory or files of its own, and its I/O counts move only while it
  // runs, so nothing can change behind a quiet stat line but what runs shorter than a clock tick.
  uint64_t kernel_carry_ms = 60000;
  std::vector<Kept> kept;       // by pid: the open files of the processes of the last pass
  uint32_t keep_most = 0;       // the most processes whose files are kept open (up to four descriptors each)
  bool listed = false;          // a process pass listed the proc folder: its count and when
  uint32_t listed_count = 0;
  uint64_t listed_ms = 0;
  uint64_t count_ms = 1500;  // the longest that count stands for the process count of a memory sample
  // The proc folder's link count is its own subfolders plus every process of the machine. In the first PID
  // namespace the processes are the ones a listing finds, so the links less the subfolders (measured by the passes)
  // are the count: one look at the folder instead of a listing of every process. Trusted once two passes in a row
  // measured the same number of subfolders.
  int first_namespace = -1;  // the proc folder lists the first PID namespace: 1 yes, 0 no, -1 not asked yet
  uint64_t links_less = 0;   // what the last pass measured: links less processes (0 when it could not)
  bool links_trusted = false;
  bool procfs = false;     // the proc folder is the kernel's own (not a copied tree)
  bool fd_sizes = false;   // the kernel tells a process's open files as its fd folder's size, 0 included
  uint64_t clock_hz = 100;  // the kernel's clock ticks per second in /proc times
  uint64_t page = 4096;     // bytes per page
  std::vector<Card> cards;  // graphics cards as last listed
  uint64_t cards_sample = ~0ull;  // the sample they were listed in
  // The processors and their nominal frequencies, which do not change while they are online: listed again after
  // nominal_ms, for a processor brought online or a frequency driver loaded since.
  std::vector<CpuNominal> nominals;
  uint64_t nominals_ms = 0;
  bool nominals_listed = false;
  uint64_t nominal_ms = 60000;
  std::unordered_map<uint32_t, std::string> device_names;  // vendor << 16 | device -> name from the PCI id list
  std::vector<DrmFile> drm_files;  // DRM device files found by the walks of the processes' open files, by pid
  uint64_t drm_walk_ms = 0;        // when the last walk started
  bool drm_walked = false;
  bool drm_pending = false;                         // the last walk ran out of credit: it goes on at the next sample
  std::unordered_map<uint32_t, Listing> drm_listed;  // pid -> the listing its DRM files come from, while it stands
  LookCredit drm_credit;
  uint64_t drm_links = 0;  // link reads in all, for the bench and the tests
  std::unordered_map<std::string, uint64_t> drive_io;  // rotating disks: I/O count at the last look
  std::vector<sysrec::ZoneEntry> zones;  // thermal zones as last read
  uint64_t zones_ms = 0;                 // sample time of that read
  bool zones_read = false;
  std::vector<ClassList> classes;
  uint64_t absent_ms = 30000;
  FixedFile fixed[fixed_most];
  NicFiles nic_files[nic_files_most];
};

// Reads a whole file below the root into the retained buffer, to its end. False when it cannot be opened or read.
// The view lives until the next read into the buffer.
bool read_file(Reader* r, int folder, const char* path, std::string_view* out);
// As read_file, for a file the kernel makes in one piece (a process's stat, statm, status, io and cmdline; meminfo):
// a read that leaves room in the buffer has it all, so it costs one read.
bool read_record(Reader* r, int folder, const char* path, std::string_view* out);
// A small file into a caller's buffer (sysfs attributes); the text without its trailing line end, or false.
bool read_small(int folder, const char* path, char* buffer, size_t size, std::string_view* out);
// As read_file (read_record with whole_first) and read_small, for a fixed file of the proc folder: through its kept
// file on the kernel's own proc folder (see FixedFile), by path elsewhere or when it cannot be kept.
bool read_fixed(Reader* r, const char* path, bool whole_first, std::string_view* out);
bool read_fixed_small(Reader* r, const char* path, char* buffer, size_t size, std::string_view* out);
// An open file read from its start into the caller's buffer, as read_small reads a path.
bool read_small_open(int fd, char* buffer, size_t size, std::string_view* out);
// Closes an interface's kept files and frees its slot.
void drop_nic_files(NicFiles* f);
// Opens a folder below another (O_DIRECTORY); -1 on failure.
int open_folder(int folder, const char* path);
// Names in a folder, sorted; empty when it cannot be listed.
std::vector<std::string> list_names(int folder, const char* path);
// Names in a class folder below the root, sorted, listed once per sample; a missing folder is empty and looked for
// again after absent_ms (a device class appears when its first driver loads).
std::vector<std::string> class_names(Reader* r, const char* path);

// The memory file as read once in this sample; false when it cannot be read.
bool meminfo_of_sample(Reader* r, std::string_view* text);
// How many processes may have their files kept open: the soft limit of open descriptors is raised to the hard one
// (at most 65,536; nothing here waits with select, which cannot take descriptors past 1,024), and up to four
// descriptors per process are kept from what remains after 512 for everything else.
uint32_t keep_budget();
// Closes every kept file.
void close_kept(Reader* r);
// Numeric entries of the proc folder.
uint32_t process_entries(int proc);
// The same count as process_entries, taken from a process pass that listed the folder within count_ms, else from
// the proc folder's link count once the passes trust it (see links_less); the proc folder is listed only when
// neither can tell.
uint32_t process_count(Reader* r);
// Finds the holders of the listed sockets of a TCP family (0 IPv4, 1 IPv6; inodes, 0 is skipped) and keeps only
// those in its owners. A holder known from before that kept its start and count of open files holds it still; one
// whose count moved is confirmed with one look at its open file. A new socket is looked for in the processes whose
// listing no longer stands (new ones, and those whose count moved: opening a socket adds one), fewest open files
// first; one still listed at the next search and not found yet is looked for in every process, the holders of known
// sockets first. A search stops when all are found, and when the credit is spent: what is left is looked for at the
// next sample, in a table read again (a socket that closed meanwhile is no longer asked for). A socket that no
// process this user may look into holds is remembered as such until it leaves the list, so it costs no further
// search. A process whose open files are refused is not tried again while it lives.
void find_owners(Reader* r, int family, const std::vector<uint64_t>& inodes);
// Those of the wanted socket inodes of a TCP family's table that the kernel lists now (asked for each on the running
// system, the file read again on a copied tree); false when it cannot be told.
bool still_listed(Reader* r, int family, const std::unordered_set<uint64_t>& wanted, std::unordered_set<uint64_t>* listed);
// The sockets a process holds now, by inode (none when its open files cannot be looked at); its link reads count in
// looks.links.
void sockets_held(Reader* r, uint32_t pid, std::unordered_set<uint64_t>* inodes);

// The physical disks (/sys/block entries of a device, not loop, RAM, compressed-RAM, mapper, RAID, optical,
// floppy or network block devices), sorted by name: their index is the disk number everywhere.
void list_disks(Reader* r);

// The graphics cards (not their connectors), in card order.
std::vector<Card> list_cards(Reader* r);
// The cards of this sample in r->cards: listed by the sample's first caller (the adapter memory, the engine
// clients, the adapters), which the others of the same sample share.
const std::vector<Card>& sample_cards(Reader* r);
// The real path of a path below a folder, links resolved; empty when it does not exist.
std::string real_path(int folder, const char* path);
// A hex number with or without "0x" in front, up to its first other character.
uint32_t hex_of(std::string_view text);
// The LUID of a PCI address "dddd:bb:dd.f"; 0 when it is not one.
uint64_t luid_of_address(std::string_view address);
// The graphics use of every process this user may look into, per process, adapter and engine. Every 10 s the open
// files of the processes whose listing no longer stands are walked for DRM device files (within the credit, going
// on at the next samples when it is spent); in between only the DRM files found are read again.
void gpu_uses(Reader* r, std::vector<GpuUse>* uses);

// Kernel clock ticks as 100 ns units.
inline uint64_t ticks_of(const Reader* r, uint64_t jiffies) {
  const uint64_t per_second = 10000000;
  return jiffies / r->clock_hz * per_second + jiffies % r->clock_hz * per_second / r->clock_hz;
}

// Text helpers. The value after "key" at the start of a line (key includes its ':'), or false.
bool field_after(std::string_view text, std::string_view key, std::string_view* value);
// Leading decimal number after spaces; 0 when none. `end` gets the position after it.
uint64_t number_at(std::string_view text, size_t* at);
uint64_t number_of(std::string_view text);
// Calls f(line) for each line of the text until f answers false.
template <typename F>
void each_line(std::string_view text, F f) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    if (!f(text.substr(at, end - at))) return;
    at = end + 1;
  }
}
// Fields split at blanks.
std::vector<std::string_view> words(std::string_view line);
// The UTF-16 form of an ASCII/UTF-8 text, zero-terminated within units; units written.
uint32_t to_wide(std::string_view text, uint16_t* out, uint32_t units);

}  // namespace sysinfo
