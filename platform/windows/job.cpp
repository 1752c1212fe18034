// Limited children: a program with its standard handles on files, inside a job object whose limits the system
// enforces (process and job memory, processor time) and that is ended as a whole.
#include "platform/job.h"

#include <windows.h>

#include "platform/fs.h"
#include "platform/os.h"
#include "platform/windows/wide.h"

namespace job {
namespace {

HANDLE open_std(mem::Bytes path, bool write) {
  if (path.len == 0) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(L"NUL", write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       OPEN_EXISTING, 0, nullptr);
  }
  wchar_t w[1100];
  if (!winwide::utf8(path, w, 1100)) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(w, write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, &sa,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void close_all(HANDLE* handles, u32 n) {
  for (u32 i = 0; i < n; ++i) {
    if (handles[i] && handles[i] != INVALID_HANDLE_VALUE) CloseHandle(handles[i]);
  }
}

u64 ms_of(LARGE_INTEGER ticks) { return static_cast<u64>(ticks.QuadPart) / 10000; }

// The exit code of every process of a job that is ended from outside: a limit was reached, or the start failed.
constexpr UINT ended_code = 258;

// A caller whose token is restricted gets a child without a console of its own; others one without a window.
DWORD console_flag() {
  HANDLE token = nullptr;
  bool restricted = false;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    restricted = IsTokenRestricted(token) != 0;
    CloseHandle(token);
  }
  return restricted ? DETACHED_PROCESS : CREATE_NO_WINDOW;
}

// The attribute list that lets the child inherit the given handles and nothing else; null when it cannot be made.
LPPROC_THREAD_ATTRIBUTE_LIST handle_list(HANDLE* handles, u32 count) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
  if (!list) return nullptr;
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    HeapFree(GetProcessHeap(), 0, list);
    return nullptr;
  }
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE), nullptr,
                                 nullptr)) {
    DeleteProcThreadAttributeList(list);
    HeapFree(GetProcessHeap(), 0, list);
    return nullptr;
  }
  return list;
}

}  // namespace

u32 start(const Spec* spec, const Limits* limits, Job* out) {
  *out = Job{};
  wchar_t application[1100], folder[1100];
  u32 line_units = static_cast<u32>(spec->command_line.len) + 1;
  wchar_t* line = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, line_units * sizeof(wchar_t)));
  if (!line) return fs::other;
  bool texts = winwide::utf8(spec->command_line, line, line_units) &&
               (spec->application.len == 0 || winwide::utf8(spec->application, application, 1100)) &&
               (spec->folder.len == 0 || winwide::utf8(spec->folder, folder, 1100));
  if (!texts) {
    HeapFree(GetProcessHeap(), 0, line);
    return fs::bad_name;
  }
  HANDLE std[3] = {open_std(spec->input, false), open_std(spec->output, true), nullptr};
  std[2] = spec->merge ? std[1] : open_std(spec->error_output, true);
  for (HANDLE h : std) {
    if (h == INVALID_HANDLE_VALUE) {
      u32 c = fs::error_class(GetLastError());
      close_all(std, spec->merge ? 2 : 3);
      HeapFree(GetProcessHeap(), 0, line);
      return c;
    }
  }
  // The child inherits its two or three standard handles and no other inheritable handle of this process.
  HANDLE distinct[3] = {std[0], std[1], std[2]};
  const u32 count = spec->merge ? 2 : 3;
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = handle_list(distinct, count);
  if (!attributes) {
    close_all(std, count);
    HeapFree(GetProcessHeap(), 0, line);
    return fs::other;
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = std[0];
  startup.StartupInfo.hStdOutput = std[1];
  startup.StartupInfo.hStdError = std[2];
  startup.lpAttributeList = attributes;
  // The system takes the environment block as UTF-16: the job's UTF-8 entries are converted one by one.
  wchar_t* environment = nullptr;
  if (spec->environment.len) {
    environment = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (spec->environment.len + 2) * sizeof(wchar_t)));
    u32 units =
        environment
            ? static_cast<u32>(MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(spec->environment.ptr),
                                                   static_cast<int>(spec->environment.len), environment,
                                                   static_cast<int>(spec->environment.len)))
            : 0;
    if (environment) environment[units] = 0, environment[units + 1] = 0;
  }
  PROCESS_INFORMATION pi{};
  const UINT error_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  BOOL started = CreateProcessW(spec->application.len ? application : nullptr, line, nullptr, nullptr, TRUE,
                                CREATE_SUSPENDED | console_flag() | EXTENDED_STARTUPINFO_PRESENT |
                                    (environment ? CREATE_UNICODE_ENVIRONMENT : 0),
                                environment, spec->folder.len ? folder : nullptr, &startup.StartupInfo, &pi);
  u32 failure = started ? 0 : fs::error_class(GetLastError());
  SetErrorMode(error_mode);
  DeleteProcThreadAttributeList(attributes);
  HeapFree(GetProcessHeap(), 0, attributes);
  close_all(std, count);
  if (environment) HeapFree(GetProcessHeap(), 0, environment);
  HeapFree(GetProcessHeap(), 0, line);
  if (!started) return failure;
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (limits->process_memory) {
    info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    info.ProcessMemoryLimit = limits->process_memory;
  }
  if (limits->job_memory) {
    info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_MEMORY;
    info.JobMemoryLimit = limits->job_memory;
  }
  if (limits->cpu_ms) {  // the user time of the whole job, whatever processes it holds
    info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_TIME;
    info.BasicLimitInformation.PerJobUserTimeLimit.QuadPart = static_cast<LONGLONG>(limits->cpu_ms) * 10000;
  }
  if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info) ||
      !AssignProcessToJobObject(job, pi.hProcess)) {
    TerminateProcess(pi.hProcess, ended_code);
    if (job) CloseHandle(job);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return fs::other;
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  out->process = winwide::value(pi.hProcess);
  out->process_id = pi.dwProcessId;
  // The job handle rides in the first seen slot pair: the record has no field of its own for it.
  u64 job_value = winwide::value(job);
  __builtin_memcpy(&out->seen[0], &job_value, sizeof job_value);
  out->processes = 1;
  return fs::ok;
}

namespace {
HANDLE job_of(const Job* j) {
  u64 value = 0;
  __builtin_memcpy(&value, &j->seen[0], sizeof value);
  return winwide::handle(value);
}
}  // namespace

u32 wait(Job* j, u32 timeout_ms) {
  if (!j->process) return 0;
  if (!j->ended && WaitForSingleObject(winwide::handle(j->process), timeout_ms) != WAIT_OBJECT_0) return 0;
  if (!j->ended) {
    DWORD code = 0;
    GetExitCodeProcess(winwide::handle(j->process), &code);
    j->exit_code = code;
    j->ended = 1;
    scan(j);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    if (QueryInformationJobObject(job_of(j), JobObjectExtendedLimitInformation, &info, sizeof info, nullptr)) {
      j->peak_bytes = info.PeakProcessMemoryUsed;
    }
  }
  return 1;
}

void scan(Job* j) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION a{};
  if (!j->process ||
      !QueryInformationJobObject(job_of(j), JobObjectBasicAccountingInformation, &a, sizeof a, nullptr)) {
    return;
  }
  j->processes = a.TotalProcesses;
  j->user_ms = ms_of(a.TotalUserTime);
  j->kernel_ms = ms_of(a.TotalKernelTime);
  j->cpu_ms = j->user_ms + j->kernel_ms;
}

void kill(Job* j) {
  if (j->process) TerminateJobObject(job_of(j), ended_code);
}

void close(Job* j) {
  if (j->process) {
    TerminateJobObject(job_of(j), 1);
    CloseHandle(job_of(j));
    CloseHandle(winwide::handle(j->process));
  }
  *j = Job{};
}

u32 private_file(mem::Bytes suffix, mem::Slice out, u64* length) {
  *length = 0;
  u8 folder[1024];
  u64 n = 0;
  u32 result = fs::temp_folder(mem::Slice{folder, sizeof folder}, &n);
  if (result != fs::ok) return result;
  u8 random[4];
  if (!os::random_bytes(mem::Slice{random, 4})) return fs::other;
  mem::Bytes prefix = mem::lit("vimb-run-");
  u8 text[1200];
  u64 at = 0;
  auto put = [&](mem::Bytes b) {
    if (at + b.len <= sizeof text) __builtin_memcpy(text + at, b.ptr, b.len);
    at += b.len;
  };
  put(mem::Bytes(folder, n));
  put(prefix);
  u8 digits[10];
  u32 pid = os::process_id(), d = 0;
  do digits[9 - d++] = static_cast<u8>('0' + pid % 10), pid /= 10;
  while (pid);
  put(mem::Bytes(digits + 10 - d, d));
  put(mem::lit("-"));
  const char hex[] = "0123456789abcdef";
  u8 h[8];
  for (u32 i = 0; i < 4; ++i) h[2 * i] = hex[random[i] >> 4], h[2 * i + 1] = hex[random[i] & 15];
  put(mem::Bytes(h, 8));
  put(suffix);
  if (at > out.len || at > sizeof text) return fs::too_large;
  u64 handle = 0;
  if (fs::create_exclusive(mem::Bytes(text, at), 0600, &handle) != 0) return fs::error_class(GetLastError());
  fs::close_handle(handle);
  __builtin_memcpy(out.ptr, text, at);
  *length = at;
  return fs::ok;
}

}  // namespace job
