// Child processes on Windows: CreateProcessW with a kill-on-close job object, pipes for piped children, and the
// system's own 32-bit exit codes.
#include "platform/proc.h"

#include <windows.h>

#include "platform/os.h"
#include "platform/windows/wide.h"

namespace proc {
namespace {

// The hidden start-up information: shown hidden, no busy cursor.
STARTUPINFOW hidden_startup() {
  STARTUPINFOW s{};
  s.cb = sizeof s;
  static_assert(sizeof(STARTUPINFOW) == 104);
  s.dwFlags = hidden_startup_flags;
  s.wShowWindow = SW_HIDE;
  return s;
}

// A job whose last handle closing ends every process in it.
HANDLE kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  static_assert(sizeof limits == 144);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// The suspended process joins a new job and then runs; on failure it is ended (exit code 1) and nothing is left.
bool bind_and_resume(PROCESS_INFORMATION* pi, HANDLE* job_out) {
  HANDLE job = kill_on_close_job();
  if (!job || !AssignProcessToJobObject(job, pi->hProcess)) {
    TerminateProcess(pi->hProcess, 1);
    if (job) CloseHandle(job);
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
    return false;
  }
  ResumeThread(pi->hThread);
  CloseHandle(pi->hThread);
  *job_out = job;
  return true;
}

Child child_of(const PROCESS_INFORMATION& pi, HANDLE job) {
  Child c{};
  c.process = winwide::value(pi.hProcess);
  c.job = winwide::value(job);
  c.process_id = pi.dwProcessId;
  return c;
}

// "\"<path>\" <arguments>", the path from UTF-8 and the arguments widened from UTF-8 as well (ASCII stays one unit
// per byte), into command_line_units; 0 when it does not fit.
u32 build_line(mem::Bytes path, mem::Bytes arguments, bool blank_always, wchar_t* line, wchar_t* application) {
  if (path.len == 0 || path.len >= path_units) return 0;
  u32 units = os::utf8_to_wide(path, reinterpret_cast<u16*>(application), path_units);
  if (units == 0) return 0;
  u32 n = 0;
  line[n++] = '"';
  for (u32 i = 0; i < units; ++i) line[n++] = application[i];
  line[n++] = '"';
  if (arguments.len > 0 || blank_always) line[n++] = ' ';
  if (arguments.len > 0) {
    u32 more = os::utf8_to_wide(arguments, reinterpret_cast<u16*>(line + n), command_line_units - n);
    if (more == 0) return 0;
    n += more;
  }
  line[n] = 0;
  return n;
}

}  // namespace

u32 spawn(mem::Bytes path, mem::Bytes arguments, u32 how, Child* child, u64* output) {
  *child = Child{};
  if (output) *output = 0;
  if ((how & spawn_piped) && !output) return 0;
  wchar_t line[command_line_units], application[path_units];
  if (!build_line(path, arguments, true, line, application)) return 0;
  STARTUPINFOW startup = hidden_startup();
  HANDLE read_end = nullptr, write_end = nullptr;
  BOOL inherit = FALSE;
  if (how & spawn_piped) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &sa, 0x10000)) return 0;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write_end;
    inherit = TRUE;
  }
  DWORD flags = CREATE_NO_WINDOW;
  if (how & (spawn_job | spawn_piped)) flags |= CREATE_SUSPENDED;
  if (how & (spawn_detached | spawn_own_session)) flags |= CREATE_NEW_PROCESS_GROUP;
  if (how & spawn_detached) flags |= CREATE_BREAKAWAY_FROM_JOB;
  PROCESS_INFORMATION pi{};
  BOOL started = CreateProcessW(application, line, nullptr, nullptr, inherit, flags, nullptr, nullptr, &startup, &pi);
  if (!started && (flags & CREATE_BREAKAWAY_FROM_JOB)) {
    flags &= ~CREATE_BREAKAWAY_FROM_JOB;  // a job that allows no breakaway: started inside it instead
    started = CreateProcessW(application, line, nullptr, nullptr, inherit, flags, nullptr, nullptr, &startup, &pi);
  }
  if (write_end) CloseHandle(write_end);
  if (!started) {
    if (read_end) CloseHandle(read_end);
    return 0;
  }
  if (how & spawn_detached) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 1;
  }
  HANDLE job = nullptr;
  if (flags & CREATE_SUSPENDED) {
    if (!bind_and_resume(&pi, &job)) {
      if (read_end) CloseHandle(read_end);
      return 0;
    }
  } else {
    CloseHandle(pi.hThread);
  }
  *child = child_of(pi, job);
  if (output) *output = winwide::value(read_end);
  return 1;
}

// ---- First family.

u32 create(const ExePath* path, mem::Bytes arguments, u32 creation_flags, u32 startup_flags, u32 show, Child* out) {
  *out = Child{};
  if (arguments.len > arguments_max) return 0;
  wchar_t line[path_units];
  u32 n = 0;
  line[n++] = '"';
  for (u64 i = 0; i < path->length && n < path_units - 1; ++i) line[n++] = path->units[i];
  if (n < path_units - 1) line[n++] = '"';
  if (arguments.len > 0 && n < path_units - 1) line[n++] = ' ';
  for (u64 i = 0; i < arguments.len && n < path_units - 1; ++i) line[n++] = arguments.ptr[i];
  line[n] = 0;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = startup_flags;
  startup.wShowWindow = static_cast<WORD>(show);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(reinterpret_cast<const wchar_t*>(path->units), line, nullptr, nullptr, FALSE, creation_flags,
                      nullptr, nullptr, &startup, &pi)) {
    return 0;
  }
  if (creation_flags & create_suspended) {
    HANDLE job = nullptr;
    if (!bind_and_resume(&pi, &job)) return 0;
    *out = child_of(pi, job);
    return 1;
  }
  CloseHandle(pi.hThread);
  *out = child_of(pi, nullptr);
  return 1;
}

u32 start(const ExePath* path, mem::Bytes arguments, u32 show_normally, Child* out) {
  return create(path, arguments, 0, show_normally ? 0u : u32{use_show_window},
                show_normally ? 0u : u32{show_no_activate}, out);
}

u32 start_in_job(const ExePath* path, mem::Bytes arguments, Child* out) {
  return create(path, arguments, create_suspended, hidden_startup_flags, show_hide, out);
}

namespace {
void note_end(Child* child) {
  if (child->ended || !child->process) return;
  if (WaitForSingleObject(winwide::handle(child->process), 0) != WAIT_OBJECT_0) return;
  DWORD code = 0;
  if (!GetExitCodeProcess(winwide::handle(child->process), &code)) code = 0;
  child->ended = 1;
  child->exit_code = child->terminated ? 1 : code;
}
}  // namespace

u32 is_running(Child* child) {
  note_end(child);
  return child->process && !child->ended ? 1 : 0;
}

u32 exit_code(Child* child, u32* code) {
  *code = 0;
  note_end(child);
  if (!child->ended) return 0;
  *code = child->exit_code;
  return 1;
}

u32 wait_end(Child* child, u32 timeout_ms) {
  if (!child->process) return 0;
  if (!child->ended) WaitForSingleObject(winwide::handle(child->process), timeout_ms);
  note_end(child);
  return child->ended;
}

void kill(Child* child) {
  if (!child->process || child->ended) return;
  child->terminated = 1;
  if (child->job) TerminateJobObject(winwide::handle(child->job), 1);
  TerminateProcess(winwide::handle(child->process), 1);
  WaitForSingleObject(winwide::handle(child->process), 10000);
  note_end(child);
}

u64 find_window(mem::Bytes class_name, Child* child) {
  wchar_t name[128];
  if (class_name.len >= 128 || !winwide::ascii(class_name, name, 128)) return 0;
  for (HWND w = FindWindowExW(nullptr, nullptr, name, nullptr); w; w = FindWindowExW(nullptr, w, name, nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == child->process_id) return winwide::value(w);
  }
  return 0;
}

u64 wait_window(mem::Bytes class_name, Child* child, u32 timeout_ms) {
  u64 start_ms = GetTickCount64();
  for (;;) {
    u64 w = find_window(class_name, child);
    if (w || !is_running(child) || GetTickCount64() - start_ms >= timeout_ms) return w;
    Sleep(20);
  }
}

void close(Child* child) {
  if (child->job) CloseHandle(winwide::handle(child->job));
  if (child->process) CloseHandle(winwide::handle(child->process));
  *child = Child{};
}

// ---- Second family.

u32 own_path(u8* buffer1024) {
  wchar_t units[path_units];
  DWORD n = GetModuleFileNameW(nullptr, units, path_units);
  if (n == 0 || n >= path_units - 1) return 0;
  return winwide::to_utf8(units, n, buffer1024, 1024);
}

bool own_file_version(u32* ms, u32* ls) {
  *ms = *ls = 0;
  wchar_t units[path_units];
  DWORD n = GetModuleFileNameW(nullptr, units, path_units);
  if (n == 0 || n >= path_units - 1) return false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(units, &ignored);
  if (size == 0 || size > 16384) return false;
  alignas(8) u8 info[16384];
  void* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(units, 0, size, info) || !VerQueryValueW(info, L"\\", &fixed, &length) || length < 16) {
    return false;
  }
  const VS_FIXEDFILEINFO* f = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  if (f->dwSignature != 0xFEEF04BDu) return false;
  *ms = f->dwFileVersionMS;
  *ls = f->dwFileVersionLS;
  return true;
}

u32 command_line(mem::Bytes path, mem::Bytes arguments, u16* destination1700) {
  wchar_t application[path_units];
  wchar_t* line = reinterpret_cast<wchar_t*>(destination1700);
  if (path.len == 0 || path.len >= path_units) return 0;
  u32 units = os::utf8_to_wide(path, reinterpret_cast<u16*>(application), path_units);
  if (units == 0 || units + 4 + arguments.len > command_line_units) return 0;
  u32 n = 0;
  line[n++] = '"';
  for (u32 i = 0; i < units; ++i) line[n++] = application[i];
  line[n++] = '"';
  line[n++] = ' ';
  for (u64 i = 0; i < arguments.len; ++i) line[n++] = arguments.ptr[i];
  line[n] = 0;
  return n;
}

u32 start_piped(PipedChild* out, mem::Bytes path, mem::Bytes arguments) {
  *out = PipedChild{};
  if (path.len == 0 || path.len >= path_units || arguments.len > piped_arguments_max) return 0;
  return spawn(path, arguments, spawn_piped, &out->child, &out->output);
}

u32 start_detached(mem::Bytes path, mem::Bytes arguments) {
  if (path.len == 0 || path.len >= path_units || arguments.len > piped_arguments_max) return 0;
  Child none;
  return spawn(path, arguments, spawn_detached, &none, nullptr);
}

u32 piped_running(PipedChild* child) { return is_running(&child->child); }

u32 piped_exit_code(PipedChild* child) {
  u32 code = 0;
  return exit_code(&child->child, &code) ? code : still_active;
}

u32 drain(PipedChild* child, Collector collector, void* state) {
  if (!child->output) return 0;
  for (u32 i = 0; i < 128; ++i) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(winwide::handle(child->output), nullptr, 0, nullptr, &waiting, nullptr)) return 0;
    if (waiting == 0) return 1;
    u8 buffer[512];
    DWORD got = 0;
    if (!ReadFile(winwide::handle(child->output), buffer, sizeof buffer, &got, nullptr)) return 0;
    collector(state, mem::Bytes(buffer, got));
  }
  return 1;
}

void terminate(PipedChild* child) { kill(&child->child); }

void piped_close(PipedChild* child) {
  if (child->output) CloseHandle(winwide::handle(child->output));
  close(&child->child);
  *child = PipedChild{};
}

// ---- Watching another process.

u64 open_process(u32 process_id) {
  HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (!h) return 0;
  if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
    CloseHandle(h);
    return 0;
  }
  return winwide::value(h);
}

u32 process_ended(u64 handle) { return handle && WaitForSingleObject(winwide::handle(handle), 0) == WAIT_OBJECT_0; }

void close_process(u64 handle) {
  if (handle) CloseHandle(winwide::handle(handle));
}

// Windows keeps the whole 32-bit exit code: there is no channel to fill.
void put_exit_word(u32) {}

}  // namespace proc
