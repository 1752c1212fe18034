#include "platform/proc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/fmt.h"
#include "base/path.h"
#include "platform/fs.h"
#include "platform/kobj.h"
#include "platform/os.h"

extern char** environ;

namespace proc {
namespace {

// The variable that tells a child where its exit channel is: "<descriptor>.<parent's process id>". The parent's id
// keeps a process that inherited the variable from elsewhere (a grandchild) from writing into a descriptor that
// is not the channel.
const char exit_variable[] = "VIMBREL_EXIT_FD";

// What spawn takes at the most: a path the system accepts, and argument text of either family.
const u64 spawn_path_max = 4096;
const u64 spawn_arguments_max = 1024;

// The C library's declarations of these two lack C linkage in this release, so the system is called directly.
int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
void send_kill(int pidfd) { syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

inline int fd_of(u64 handle) { return static_cast<int>(handle - 1); }
inline u64 handle_of(int fd) { return static_cast<u64>(fd) + 1; }

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// The argument vector of a child: the path, then the words of the argument text.
struct ArgumentVector {
  char path[spawn_path_max + 1];
  char words[2 * spawn_arguments_max + 2];
  char* pointers[spawn_arguments_max + 2];
};

bool build_arguments(mem::Bytes path, mem::Bytes arguments, ArgumentVector* v) {
  if (path.len == 0 || path.len > spawn_path_max || arguments.len > spawn_arguments_max) return false;
  for (u64 i = 0; i < path.len; ++i) {
    if (path.ptr[i] == 0) return false;
  }
  memcpy(v->path, path.ptr, path.len);
  v->path[path.len] = 0;
  u64 count = 0, used = 0, at = 0, length = 0;
  v->pointers[count++] = v->path;
  u8* words = reinterpret_cast<u8*>(v->words);
  // Each word is at most as long as the text it came from, and every word but an empty one uses a byte of it.
  while (os::next_token(arguments, &at, 0, words + used, sizeof v->words - used - 1, &length)) {
    if (used + length + 1 > sizeof v->words || count + 1 >= spawn_arguments_max + 2) return false;
    for (u64 i = 0; i < length; ++i) {
      if (words[used + i] == 0) return false;
    }
    words[used + length] = 0;
    v->pointers[count++] = v->words + used;
    used += length + 1;
  }
  v->pointers[count] = nullptr;
  return true;
}

// The parent's environment without an exit channel of its own, and the child's channel when it gets one. The
// array is on the heap (the environment has no fixed size); free it with free().
char** build_environment(char* channel) {
  u64 n = 0;
  while (environ && environ[n]) ++n;
  char** env = static_cast<char**>(malloc((n + 2) * sizeof(char*)));
  if (!env) return nullptr;
  u64 kept = 0;
  const u64 name_length = sizeof exit_variable - 1;
  for (u64 i = 0; i < n; ++i) {
    if (strncmp(environ[i], exit_variable, name_length) == 0 && environ[i][name_length] == '=') continue;
    env[kept++] = environ[i];
  }
  if (channel) env[kept++] = channel;
  env[kept] = nullptr;
  return env;
}

// The descriptors a start works with; -1 when not open.
struct Pipes {
  int report[2] = {-1, -1};  // the child's exec failure (its errno), or end of file when the program started
  int output[2] = {-1, -1};
  int word[2] = {-1, -1};
  int nothing = -1;          // /dev/null
  void close_all() {
    int* all[] = {&report[0], &report[1], &output[0], &output[1], &word[0], &word[1], &nothing};
    for (int* fd : all) close_fd(fd);
  }
};

// Tells the parent why the child cannot go on, and ends the child.
[[noreturn]] void child_fails(int report) {
  int e = errno;
  ssize_t ignored = write(report, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

// Everything before the program starts, in the new process. Only calls that are safe between fork and exec.
[[noreturn]] void run_child(const ArgumentVector* v, char** env, const Pipes& p, u32 how, pid_t parent) {
  // A session of its own is also a group of its own (a group leader could not start a session afterwards).
  if ((how & spawn_own_session) && setsid() < 0) child_fails(p.report[1]);
  if (how & (spawn_job | spawn_piped)) {
    // A group of its own, which the job's close ends as one; and the end of the parent ends the child. A parent
    // that ended before the signal was asked for is caught by the check after it.
    if ((!(how & spawn_own_session) && setpgid(0, 0) != 0) || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
      child_fails(p.report[1]);
    if (getppid() != parent) _exit(1);
  }
  if (how & spawn_detached) {
    if (!(how & spawn_own_session) && setsid() < 0) child_fails(p.report[1]);
    pid_t second = fork();
    if (second < 0) child_fails(p.report[1]);
    if (second > 0) _exit(0);
  }
  bool quiet = (how & spawn_detached) != 0;
  if ((how & (spawn_job | spawn_piped | spawn_detached)) && dup2(p.nothing, 0) < 0) child_fails(p.report[1]);
  int out = (how & spawn_piped) ? p.output[1] : quiet ? p.nothing : -1;
  if (out >= 0 && (dup2(out, 1) < 0 || dup2(out, 2) < 0)) child_fails(p.report[1]);
  // The parent ignores broken pipes; a program started here gets the default back, and no blocked signals.
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Nothing beyond the standard three reaches the program: no listener, lock or pipe of the parent stays alive
  // in it. The report pipe closes itself when the program starts.
  if (close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) child_fails(p.report[1]);
  if (p.word[1] >= 0 && fcntl(p.word[1], F_SETFD, 0) != 0) child_fails(p.report[1]);
  execve(v->path, v->pointers, env);
  child_fails(p.report[1]);
}

// Reads the child's report: true when its program started.
bool program_started(int report) {
  int e = 0;
  u64 got = 0;
  for (;;) {
    ssize_t n = read(report, reinterpret_cast<u8*>(&e) + got, sizeof e - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<u64>(n);
    if (got == sizeof e) break;
  }
  if (got == 0) return true;
  errno = got == sizeof e ? e : EIO;
  return false;
}

void reap_pid(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Sees whether the child has ended, without reaping it (a job's process group stays reserved until close), and
// keeps the code: the full word from the channel when the child's program wrote one that agrees with its status.
bool seen_end(Child* c) {
  if (c->ended) return true;
  if (c->process == 0) return false;
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd_of(c->process)), &info,
             WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno == EINTR) return false;
    // The process is no longer ours to ask: ended, code unknown.
    c->ended = 1;
    c->exit_code = 0;
    return true;
  }
  if (info.si_pid == 0) return false;
  u32 code = 0;
  if (info.si_code == CLD_EXITED) {
    code = static_cast<u32>(info.si_status) & 0xFF;
    u8 word[8];
    ssize_t n = c->exit_word ? read(fd_of(c->exit_word), word, sizeof word) : 0;
    u32 full = n == 4 ? static_cast<u32>(word[0]) | static_cast<u32>(word[1]) << 8 |
                            static_cast<u32>(word[2]) << 16 | static_cast<u32>(word[3]) << 24
                      : 0;
    if (n == 4 && (full & 0xFF) == code) code = full;
  } else {
    // Ended by a signal: 1 when we ended it (as a terminated process reads), else the shell's 128 + signal.
    code = c->terminated ? 1 : 128 + static_cast<u32>(info.si_status);
  }
  c->ended = 1;
  c->exit_code = code;
  return true;
}

void signal_job(Child* c) {
  if (c->process == 0) return;
  c->terminated = 1;
  send_kill(fd_of(c->process));
  // The group's id cannot have gone to another process: its leader is not reaped before close.
  if (c->job) ::kill(-static_cast<pid_t>(c->job), SIGKILL);
}

// UTF-16 to UTF-8 into capacity bytes with a terminating 0: the bytes written, 0 when it does not fit. A lone
// surrogate becomes U+FFFD.
u64 wide_to_utf8(const u16* units, u64 count, u8* out, u64 capacity) {
  u64 n = 0;
  for (u64 i = 0; i < count; ++i) {
    u32 cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    u8 b[4];
    u32 k = 0;
    if (cp < 0x80) {
      b[k++] = static_cast<u8>(cp);
    } else if (cp < 0x800) {
      b[k++] = static_cast<u8>(0xC0 | cp >> 6);
      b[k++] = static_cast<u8>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      b[k++] = static_cast<u8>(0xE0 | cp >> 12);
      b[k++] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
      b[k++] = static_cast<u8>(0x80 | (cp & 0x3F));
    } else {
      b[k++] = static_cast<u8>(0xF0 | cp >> 18);
      b[k++] = static_cast<u8>(0x80 | ((cp >> 12) & 0x3F));
      b[k++] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
      b[k++] = static_cast<u8>(0x80 | (cp & 0x3F));
    }
    if (n + k + 1 > capacity) return 0;
    memcpy(out + n, b, k);
    n += k;
  }
  out[n] = 0;
  return n;
}

// The first family's limits and path: 0 when refused.
u64 family1_path(const ExePath* path, mem::Bytes arguments, u8 (&out)[spawn_path_max + 1]) {
  if (arguments.len > arguments_max || path->length == 0 || path->length >= path_units) return 0;
  // The whole command line must fit its 1,100 units: a line cut short would start the child with a wrong last word.
  u64 line = 2 + path->length + (arguments.len ? 1 + arguments.len : 0);
  if (line > path_units - 1) return 0;
  return wide_to_utf8(path->units, path->length, out, sizeof out);
}

bool family2_limits(mem::Bytes path, mem::Bytes arguments) {
  return path.len != 0 && path.len < path_units && arguments.len <= piped_arguments_max;
}

// A window class name that can be part of a file name.
bool usable_class(mem::Bytes name) {
  if (name.len == 0 || name.len >= 128 || name.ptr[0] == '.') return false;
  for (u64 i = 0; i < name.len; ++i) {
    u8 c = name.ptr[i];
    if (c < 32 || c > 126 || c == '/' || c == '\\') return false;
  }
  return true;
}

u64 parse_hex(mem::Bytes text) {
  u64 value = 0, digits = 0;
  for (u64 i = 0; i < text.len; ++i) {
    u8 c = text.ptr[i];
    u32 d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (d == 99) {
      if (c == '\n' || c == '\r') break;
      return 0;
    }
    if (++digits > 16) return 0;
    value = value << 4 | d;
  }
  return value;
}

}  // namespace

u32 spawn(mem::Bytes path, mem::Bytes arguments, u32 how, Child* child, u64* output) {
  *child = Child{};
  if (output) *output = 0;
  if ((how & spawn_piped) && !output) return 0;
  ArgumentVector v;
  if (!build_arguments(path, arguments, &v)) return 0;

  Pipes p;
  bool channel = (how & spawn_detached) == 0;
  pid_t parent = getpid();
  bool ready = pipe2(p.report, O_CLOEXEC) == 0 && (p.nothing = open("/dev/null", O_RDWR | O_CLOEXEC)) >= 0 &&
               (!(how & spawn_piped) || pipe2(p.output, O_CLOEXEC) == 0) &&
               (!channel || pipe2(p.word, O_CLOEXEC | O_NONBLOCK) == 0);
  char channel_text[64];
  if (ready && channel) snprintf(channel_text, sizeof channel_text, "%s=%d.%d", exit_variable, p.word[1], parent);
  char** env = ready ? build_environment(channel ? channel_text : nullptr) : nullptr;
  if (!env) {
    p.close_all();
    return 0;
  }
  if (how & spawn_piped) fcntl(p.output[1], F_SETPIPE_SZ, 65536);

  pid_t pid = fork();
  if (pid == 0) run_child(&v, env, p, how, parent);
  free(env);
  close_fd(&p.report[1]);
  close_fd(&p.output[1]);
  close_fd(&p.word[1]);
  close_fd(&p.nothing);
  if (pid < 0) {
    p.close_all();
    return 0;
  }
  bool started = program_started(p.report[0]);
  close_fd(&p.report[0]);
  if (how & spawn_detached) {
    // The first child only started the second and ended; the second is the system's to reap.
    reap_pid(pid);
    p.close_all();
    return started ? 1 : 0;
  }
  int pidfd = started ? open_pidfd(pid) : -1;
  if (pidfd < 0) {
    ::kill(pid, SIGKILL);
    reap_pid(pid);
    p.close_all();
    return 0;
  }
  child->process = handle_of(pidfd);
  child->job = (how & (spawn_job | spawn_piped)) ? static_cast<u64>(pid) : 0;
  child->process_id = static_cast<u32>(pid);
  child->exit_word = handle_of(p.word[0]);
  p.word[0] = -1;
  if (how & spawn_piped) {
    fcntl(p.output[0], F_SETFL, O_NONBLOCK);
    *output = handle_of(p.output[0]);
    p.output[0] = -1;
  }
  p.close_all();
  return 1;
}

u32 create(const ExePath* path, mem::Bytes arguments, u32 creation_flags, u32 startup_flags, u32 show, Child* out) {
  (void)startup_flags;
  (void)show;
  *out = Child{};
  u8 utf8[spawn_path_max + 1];
  u64 n = family1_path(path, arguments, utf8);
  if (n == 0) return 0;
  u32 how = (creation_flags & create_suspended) ? static_cast<u32>(spawn_job) : 0u;
  if (creation_flags & create_new_process_group) how |= spawn_own_session;
  return spawn(mem::Bytes(utf8, n), arguments, how, out, nullptr);
}

u32 start(const ExePath* path, mem::Bytes arguments, u32 show_normally, Child* out) {
  u32 startup_flags = show_normally ? 0u : static_cast<u32>(use_show_window);
  return create(path, arguments, 0, startup_flags, show_no_activate, out);
}

u32 start_in_job(const ExePath* path, mem::Bytes arguments, Child* out) {
  return create(path, arguments, create_suspended, hidden_startup_flags, show_hide, out);
}

u32 is_running(Child* child) { return child->process != 0 && !seen_end(child) ? 1 : 0; }

u32 exit_code(Child* child, u32* code) {
  *code = 0;
  if (!seen_end(child)) return 0;
  *code = child->exit_code;
  return 1;
}

u32 wait_end(Child* child, u32 timeout_ms) {
  if (child->process == 0) return 0;
  if (seen_end(child)) return 1;
  u64 deadline = os::clock_ms() + timeout_ms;
  for (;;) {
    u64 now = os::clock_ms();
    u64 left = deadline > now ? deadline - now : 0;
    pollfd p{fd_of(child->process), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
    if (seen_end(child)) return 1;
    if (left == 0) return 0;
  }
}

void kill(Child* child) {
  if (!seen_end(child)) signal_job(child);
}

u64 find_window(mem::Bytes class_name, Child* child) {
  if (!usable_class(class_name) || child->process_id == 0) return 0;
  store::Path p;
  if (!kobj::runtime_folder(&p)) return 0;
  u8 digits[fmt::dec_size];
  store::path_join(&p, mem::lit("windows"));
  store::path_join(&p, class_name);
  store::path_text(&p, mem::lit("."));
  store::path_text(&p, fmt::dec(child->process_id, digits));
  if (p.overflow) return 0;
  u8 text[40];
  u64 n = fs::read_prefix(store::path_of(&p), mem::Slice{text, sizeof text});
  return parse_hex(mem::Bytes(text, n));
}

u64 wait_window(mem::Bytes class_name, Child* child, u32 timeout_ms) {
  u64 deadline = os::clock_ms() + timeout_ms;
  for (;;) {
    u64 window = find_window(class_name, child);
    if (window != 0 || !is_running(child) || os::clock_ms() >= deadline) return window;
    os::sleep_ms(20);
  }
}

void close(Child* child) {
  if (child->process != 0) {
    if (child->job) {
      // Closing the job ends everything in it, also what the child left running when it ended itself; the child
      // is then reaped.
      signal_job(child);
      wait_end(child, 10000);
    }
    if (seen_end(child)) {
      siginfo_t info{};
      waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd_of(child->process)), &info, WEXITED | WNOHANG);
    }
    ::close(fd_of(child->process));
  }
  if (child->exit_word) ::close(fd_of(child->exit_word));
  *child = Child{};
}

u32 own_path(u8* buffer1024) {
  char text[1025];
  ssize_t n = readlink("/proc/self/exe", text, sizeof text);
  if (n <= 0 || n > 1024) return 0;
  // A program whose file was replaced (an update) reads as its name with " (deleted)" behind it; the name itself
  // is where the program now is.
  const char gone[] = " (deleted)";
  const ssize_t gone_length = sizeof gone - 1;
  if (n > gone_length && memcmp(text + n - gone_length, gone, gone_length) == 0) n -= gone_length;
  memcpy(buffer1024, text, static_cast<size_t>(n));
  return static_cast<u32>(n);
}

bool own_file_version(u32* ms, u32* ls) {
  *ms = *ls = 0;
  return false;
}

u32 command_line(mem::Bytes path, mem::Bytes arguments, u16* destination1700) {
  u16 wide[path_units];
  u32 units = os::utf8_to_wide(path, wide, path_units);
  if (units == 0 || 2 + units + 1 + arguments.len + 1 > command_line_units) return 0;
  u32 n = 0;
  destination1700[n++] = '"';
  memcpy(destination1700 + n, wide, units * sizeof(u16));
  n += units;
  destination1700[n++] = '"';
  destination1700[n++] = ' ';
  for (u64 i = 0; i < arguments.len; ++i) destination1700[n++] = arguments.ptr[i];
  destination1700[n] = 0;
  return n;
}

u32 start_piped(PipedChild* out, mem::Bytes path, mem::Bytes arguments) {
  *out = PipedChild{};
  if (!family2_limits(path, arguments)) return 0;
  return spawn(path, arguments, spawn_piped, &out->child, &out->output);
}

u32 start_detached(mem::Bytes path, mem::Bytes arguments) {
  if (!family2_limits(path, arguments)) return 0;
  Child forgotten;
  return spawn(path, arguments, spawn_detached, &forgotten, nullptr);
}

u32 piped_running(PipedChild* child) { return is_running(&child->child); }

u32 piped_exit_code(PipedChild* child) {
  u32 code = 0;
  return exit_code(&child->child, &code) ? code : still_active;
}

u32 drain(PipedChild* child, Collector collector, void* state) {
  if (child->output == 0) return 0;
  u8 buffer[512];
  for (u32 i = 0; i < 128; ++i) {
    ssize_t n = read(fd_of(child->output), buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
    if (n <= 0) return 0;
    collector(state, mem::Bytes(buffer, static_cast<u64>(n)));
  }
  return 1;
}

void terminate(PipedChild* child) {
  if (child->child.process == 0) return;
  kill(&child->child);
  wait_end(&child->child, 10000);
}

void piped_close(PipedChild* child) {
  if (child->output) ::close(fd_of(child->output));
  close(&child->child);
  *child = PipedChild{};
}

u64 open_process(u32 process_id) {
  if (process_id == 0 || process_id > 0x7FFFFFFF) return 0;
  int fd = open_pidfd(static_cast<pid_t>(process_id));
  return fd < 0 ? 0 : handle_of(fd);
}

u32 process_ended(u64 handle) {
  if (handle == 0) return 0;
  pollfd p{fd_of(handle), POLLIN, 0};
  return poll(&p, 1, 0) == 1 ? 1 : 0;
}

void close_process(u64 handle) {
  if (handle != 0) ::close(fd_of(handle));
}

void put_exit_word(u32 code) {
  const char* value = getenv(exit_variable);
  if (!value) return;
  char* end = nullptr;
  long fd = strtol(value, &end, 10);
  if (end == value || *end != '.' || fd < 3 || fd > 0x7FFFFFFF) return;
  const char* pid_text = end + 1;
  long parent = strtol(pid_text, &end, 10);
  if (end == pid_text || *end != 0 || parent != static_cast<long>(getppid())) return;
  struct stat st{};
  if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  u8 word[4] = {static_cast<u8>(code), static_cast<u8>(code >> 8), static_cast<u8>(code >> 16),
                static_cast<u8>(code >> 24)};
  ssize_t ignored = write(static_cast<int>(fd), word, sizeof word);
  (void)ignored;
}

}  // namespace proc
