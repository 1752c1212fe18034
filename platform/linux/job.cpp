#include "platform/job.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

namespace job {
namespace {

const u64 words_max = 256;
const u64 text_max = 8192;
const u64 env_max = 512;

int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// The texts of a start as C strings, built before the fork so the child only calls what is safe there.
struct Texts {
  char application[text_max];
  char folder[text_max];
  char input[text_max], output[text_max], error[text_max];
  char words[text_max];
  char* argv[words_max + 1];
  char environment[text_max * 4];
  char* envp[env_max + 1];
};

bool c_text(mem::Bytes b, char* out, u64 capacity) {
  if (b.len >= capacity) return false;
  for (u64 i = 0; i < b.len; ++i) {
    if (b.ptr[i] == 0) return false;
    out[i] = static_cast<char>(b.ptr[i]);
  }
  out[b.len] = 0;
  return true;
}

bool split_words(mem::Bytes line, Texts* t) {
  u64 at = 0, used = 0, count = 0, length = 0;
  u8* words = reinterpret_cast<u8*>(t->words);
  u32 first = 1;
  while (os::next_token(line, &at, first, words + used, sizeof t->words - used - 1, &length)) {
    first = 0;
    if (used + length + 1 > sizeof t->words || count >= words_max) return false;
    for (u64 i = 0; i < length; ++i) {
      if (words[used + i] == 0) return false;
    }
    words[used + length] = 0;
    t->argv[count++] = t->words + used;
    used += length + 1;
  }
  t->argv[count] = nullptr;
  return count > 0;
}

// The block's entries, or this process's environment without the exit channel of proc.h (that is for children of
// this program that proc starts, not for a job).
bool split_environment(mem::Bytes block, Texts* t) {
  u64 count = 0;
  if (block.len == 0) {
    for (u64 i = 0; environ && environ[i]; ++i) {
      if (strncmp(environ[i], "VIMBREL_EXIT_FD=", 16) == 0) continue;
      if (count >= env_max) return false;
      t->envp[count++] = environ[i];
    }
    t->envp[count] = nullptr;
    return true;
  }
  if (block.len >= sizeof t->environment) return false;
  memcpy(t->environment, block.ptr, block.len);
  t->environment[block.len] = 0;
  u64 start = 0;
  for (u64 i = 0; i <= block.len; ++i) {
    if (t->environment[i] != 0) continue;
    if (i > start) {
      if (count >= env_max) return false;
      t->envp[count++] = t->environment + start;
    }
    start = i + 1;
  }
  t->envp[count] = nullptr;
  return true;
}

int open_std(const char* path, bool reading) {
  if (path[0] == 0) return open("/dev/null", (reading ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
  if (reading) return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

void set_limit(int resource, u64 value) {
  rlimit r{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
  setrlimit(resource, &r);
}

[[noreturn]] void child_fails(int report) {
  int e = errno;
  ssize_t ignored = write(report, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

// In the new process: a session of its own, the end of the parent ends it, the limits, the handles, the program.
[[noreturn]] void run_child(Texts* t, const Limits* limits, int fds[3], int report, pid_t parent) {
  if (setsid() < 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) child_fails(report);
  if (getppid() != parent) _exit(1);
  u64 memory = limits->process_memory;
  if (limits->job_memory != 0 && (memory == 0 || limits->job_memory < memory)) memory = limits->job_memory;
  if (memory != 0) set_limit(RLIMIT_AS, memory);
  if (limits->output_bytes != 0) set_limit(RLIMIT_FSIZE, limits->output_bytes);
  if (limits->cpu_ms != 0) set_limit(RLIMIT_CPU, (limits->cpu_ms + 999) / 1000 + 1);
  set_limit(RLIMIT_CORE, 0);
  if (t->folder[0] != 0 && chdir(t->folder) != 0) child_fails(report);
  for (int i = 0; i < 3; ++i) {
    if (dup2(fds[i], i) < 0) child_fails(report);
  }
  if (fcntl(0, F_SETFL, 0) != 0) child_fails(report);
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGXFSZ, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) child_fails(report);
  execve(t->application, t->argv, t->envp);
  child_fails(report);
}

u64 ticks_to_ms(u64 ticks) {
  long hz = sysconf(_SC_CLK_TCK);
  return hz > 0 ? ticks * 1000 / static_cast<u64>(hz) : 0;
}

// The fields of /proc/<pid>/stat that the job needs; false when the process is gone or the text is odd.
struct Stat {
  u64 session;
  u64 user, kernel;  // ticks, the process's own and its reaped children's
};
bool read_stat(const char* pid_text, Stat* s) {
  char path[64];
  char text[1024];
  size_t n = strlen(pid_text);
  if (n > 20) return false;
  memcpy(path, "/proc/", 6);
  memcpy(path + 6, pid_text, n);
  memcpy(path + 6 + n, "/stat", 6);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return false;
  text[got] = 0;
  char* p = strrchr(text, ')');
  if (!p) return false;
  // After the name: state (3), ppid, pgrp, session (6), ..., utime (14), stime, cutime, cstime (17).
  u64 field[18] = {};
  u32 index = 3;
  for (p += 2; *p && index < 18; ++index) {
    char* end = p;
    field[index] = *p == '-' ? 0 : strtoull(p, &end, 10);
    while (*end && *end != ' ') ++end;
    p = *end ? end + 1 : end;
  }
  if (index < 18) return false;
  s->session = field[6];
  s->user = field[14] + field[16];
  s->kernel = field[15] + field[17];
  return true;
}

// Calls visit for every process of the job's session; the count of them.
template <typename Visit>
u32 each_member(const Job* j, Visit visit) {
  DIR* d = opendir("/proc");
  if (!d) return 0;
  u32 count = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    Stat s;
    if (!read_stat(e->d_name, &s) || s.session != j->process_id) continue;
    ++count;
    visit(static_cast<u32>(strtoul(e->d_name, nullptr, 10)), s);
  }
  closedir(d);
  return count;
}

void note_process(Job* j, u32 pid) {
  u32 known = j->processes < 64 ? j->processes : 64;
  for (u32 i = 0; i < known; ++i) {
    if (j->seen[i] == pid) return;
  }
  if (j->processes < 64) j->seen[j->processes] = pid;
  ++j->processes;
}

void reap(Job* j) {
  if (j->process == 0) return;
  siginfo_t info{};
  rusage usage{};
  long r;
  do {
    r = syscall(SYS_waitid, P_PIDFD, static_cast<int>(j->process - 1), &info, WEXITED, &usage);
  } while (r < 0 && errno == EINTR);
  if (r == 0) {
    j->exit_code = info.si_code == CLD_EXITED ? static_cast<u32>(info.si_status) & 0xFF
                                              : 128 + static_cast<u32>(info.si_status);
    j->peak_bytes = static_cast<u64>(usage.ru_maxrss) * 1024;
    u64 user = static_cast<u64>(usage.ru_utime.tv_sec) * 1000 + static_cast<u64>(usage.ru_utime.tv_usec) / 1000;
    u64 kernel = static_cast<u64>(usage.ru_stime.tv_sec) * 1000 + static_cast<u64>(usage.ru_stime.tv_usec) / 1000;
    if (user > j->user_ms) j->user_ms = user;
    if (kernel > j->kernel_ms) j->kernel_ms = kernel;
    if (j->user_ms + j->kernel_ms > j->cpu_ms) j->cpu_ms = j->user_ms + j->kernel_ms;
  }
  j->ended = 1;
  ::close(static_cast<int>(j->process - 1));
  j->process = 0;
}

}  // namespace

u32 start(const Spec* spec, const Limits* limits, Job* out) {
  *out = Job{};
  Texts* t = static_cast<Texts*>(calloc(1, sizeof(Texts)));
  if (!t) return fs::other;
  u32 result = fs::ok;
  bool texts = split_words(spec->command_line, t) && split_environment(spec->environment, t) &&
               c_text(spec->application.len ? spec->application : mem::cstr(t->argv[0]), t->application, text_max) &&
               c_text(spec->folder, t->folder, text_max) && c_text(spec->input, t->input, text_max) &&
               c_text(spec->output, t->output, text_max) && c_text(spec->error_output, t->error, text_max);
  if (!texts) result = fs::bad_name;
  if (result == fs::ok && spec->folder.len != 0) {
    u32 kind = fs::kind(spec->folder);
    result = kind == 0 ? fs::not_found : kind == 1 ? fs::not_directory : fs::ok;
  }
  int fds[3] = {-1, -1, -1};
  int report[2] = {-1, -1};
  if (result == fs::ok) {
    bool shared = spec->merge || mem::eq(spec->error_output, spec->output);
    fds[0] = open_std(t->input, true);
    fds[1] = fds[0] < 0 ? -1 : open_std(t->output, false);
    fds[2] = fds[1] < 0 ? -1 : shared ? fds[1] : open_std(t->error, false);
    if (fds[2] < 0) result = fs::error_class(static_cast<u32>(errno));
  }
  if (result == fs::ok && pipe2(report, O_CLOEXEC) != 0) result = fs::other;
  pid_t pid = -1;
  if (result == fs::ok) {
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) run_child(t, limits, fds, report[1], parent);
    if (pid < 0) result = fs::other;
  }
  if (report[1] >= 0) ::close(report[1]);
  for (int i = 0; i < 3; ++i) {
    if (fds[i] >= 0 && (i == 0 || fds[i] != fds[i - 1])) ::close(fds[i]);
  }
  free(t);
  if (pid > 0) {
    int e = 0;
    ssize_t got;
    do {
      got = read(report[0], &e, sizeof e);
    } while (got < 0 && errno == EINTR);
    int pidfd = got == 0 ? open_pidfd(pid) : -1;
    if (pidfd < 0) {
      ::kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      result = got == sizeof e ? fs::error_class(static_cast<u32>(e)) : fs::other;
    } else {
      out->process = static_cast<u64>(pidfd) + 1;
      out->process_id = static_cast<u32>(pid);
      note_process(out, out->process_id);
    }
  }
  if (report[0] >= 0) ::close(report[0]);
  return result;
}

u32 wait(Job* j, u32 timeout_ms) {
  if (j->ended) return 1;
  if (j->process == 0) return 0;
  pollfd p{static_cast<int>(j->process - 1), POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(timeout_ms));
  if (r <= 0) return 0;
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(j->process - 1), &info,
             WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
    return 0;
  }
  // The leader stays a zombie until close, so its session's number is not handed to another process meanwhile.
  j->ended = 1;
  j->exit_code = info.si_code == CLD_EXITED ? static_cast<u32>(info.si_status) & 0xFF
                                            : 128 + static_cast<u32>(info.si_status);
  return 1;
}

void scan(Job* j) {
  if (j->process_id == 0) return;
  u64 user = 0, kernel = 0;
  each_member(j, [&](u32 pid, const Stat& s) {
    note_process(j, pid);
    user += s.user;
    kernel += s.kernel;
  });
  user = ticks_to_ms(user);
  kernel = ticks_to_ms(kernel);
  // A process that ended and was reaped by another member still counts in that member; time only grows.
  if (user > j->user_ms) j->user_ms = user;
  if (kernel > j->kernel_ms) j->kernel_ms = kernel;
  if (j->user_ms + j->kernel_ms > j->cpu_ms) j->cpu_ms = j->user_ms + j->kernel_ms;
}

void kill(Job* j) {
  if (j->process_id == 0) return;
  if (j->process != 0) syscall(SYS_pidfd_send_signal, static_cast<int>(j->process - 1), SIGKILL, nullptr, 0);
  // The leader is not reaped before close, so its group and session numbers still name this job. A member that
  // forks while it is killed is caught by the next round.
  for (u32 round = 0; round < 20; ++round) {
    if (j->process != 0) ::kill(-static_cast<pid_t>(j->process_id), SIGKILL);
    u32 alive = each_member(j, [&](u32 pid, const Stat&) {
      if (pid != j->process_id) ::kill(static_cast<pid_t>(pid), SIGKILL);
    });
    if (alive <= 1) break;
    usleep(5000);
  }
}

void close(Job* j) {
  if (j->process != 0) {
    kill(j);
    reap(j);
  }
}

u32 private_file(mem::Bytes suffix, mem::Slice out, u64* length) {
  *length = 0;
  store::Path p;
  if (!kobj::runtime_folder(&p)) return fs::not_found;
  u8 digits[fmt::dec_size];
  u8 random[4] = {};
  os::random_bytes(mem::Slice{random, sizeof random});
  u32 tag = static_cast<u32>(random[0]) << 24 | static_cast<u32>(random[1]) << 16 | static_cast<u32>(random[2]) << 8 |
            random[3];
  u8 hex[fmt::hex_size];
  store::path_join(&p, mem::lit("vimb-run-"));
  store::path_text(&p, fmt::dec(os::process_id(), digits));
  store::path_text(&p, mem::lit("-"));
  mem::Slice h = fmt::hex(tag, hex);
  for (u64 i = h.len; i < 8; ++i) store::path_text(&p, mem::lit("0"));
  store::path_text(&p, h);
  store::path_text(&p, suffix);
  if (p.overflow || p.length >= out.len) return fs::too_large;
  char text[store::path_capacity + 1];
  memcpy(text, p.text, p.length);
  text[p.length] = 0;
  int fd = open(text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fs::error_class(static_cast<u32>(errno));
  ::close(fd);
  memcpy(out.ptr, p.text, p.length);
  *length = p.length;
  return fs::ok;
}

}  // namespace job
