#include "update/runner.h"

#include "platform/fs.h"
#include "platform/job.h"
#include "platform/os.h"
#include "update/background.h"

namespace runner {
namespace {

const u64 path_max = 1024;

// The time slice of the wait: 200 ms, or a hundredth of the processor limit kept within 5 to 200 ms.
u32 slice_ms(u64 cpu_ms) {
  if (cpu_ms == 0) return 200;
  u64 s = cpu_ms / 100;
  return static_cast<u32>(s < 5 ? 5 : s > 200 ? 200 : s);
}

// Waits for the job within the limits: the status.
u32 wait(job::Job* j, const Request* r) {
  u64 start = os::clock_ms();
  u32 slice = slice_ms(r->cpu_ms);
  for (;;) {
    u32 wait_for = slice;
    if (r->wall_ms != 0) {
      u64 elapsed = os::clock_ms() - start;
      if (elapsed >= r->wall_ms) return wall_limit;
      if (r->wall_ms - elapsed < wait_for) wait_for = static_cast<u32>(r->wall_ms - elapsed);
    }
    if (job::wait(j, wait_for ? wait_for : 1)) return ended;
    job::scan(j);
    if (r->cpu_ms != 0 && j->cpu_ms >= r->cpu_ms) return cpu_limit;
    if (r->process_limit != 0 && j->processes > r->process_limit) return process_limit_reached;
  }
}

struct Temporary {
  u8 text[path_max];
  u64 length;
  mem::Bytes path() const { return mem::Bytes(text, length); }
};

// The private temporary files the request needs: one for standard output when it names none, one for standard error
// when it names none and does not merge. 0, or the error of the first that could not be made.
u32 output_paths(const Request* r, Temporary* out, Temporary* err) {
  u32 e = fs::ok;
  if (r->output.len == 0) e = job::private_file(mem::lit(".out"), mem::Slice{out->text, path_max}, &out->length);
  if (e == fs::ok && r->error_output.len == 0 && !r->merge) {
    e = job::private_file(mem::lit(".err"), mem::Slice{err->text, path_max}, &err->length);
  }
  return e;
}

// The job's accounting once it has ended: processor times, peak memory and the processes it has seen.
void job_times(const job::Job& j, Result* result) {
  result->user_ms = j.user_ms;
  result->kernel_ms = j.kernel_ms;
  result->peak_memory = j.peak_bytes;
  result->processes = j.processes;
}

// A temporary output read whole into the arena and deleted; the first error of the run is kept.
u32 read_output(const Temporary& t, mem::Arena* arena, mem::Bytes* out, u32 first_error) {
  if (t.length == 0) return first_error;
  mem::Slice data{nullptr, 0};
  u32 e = fs::read_file(t.path(), arena, &data);
  if (e == fs::ok) *out = data;
  delete_output(t.path());
  return first_error != fs::ok ? first_error : e;
}

}  // namespace

void init_request(Request* request) { *request = Request{}; }

u32 delete_output(mem::Bytes path) {
  u32 e = fs::ok;
  for (u32 attempt = 0; attempt < 10; ++attempt) {
    e = fs::delete_file(path);
    if (e == fs::ok || e == fs::not_found) return fs::ok;
    os::sleep_ms(30);
  }
  return e;
}

u32 run(const Request* request, mem::Arena* arena, Result* result) {
  *result = Result{};
  Temporary out{}, err{};
  u32 e = output_paths(request, &out, &err);
  job::Spec spec{};
  spec.application = request->application;
  spec.command_line = request->command_line;
  spec.environment = request->environment;
  spec.folder = request->folder;
  spec.input = request->input;
  spec.output = out.length ? out.path() : request->output;
  spec.error_output = err.length ? err.path() : request->error_output;
  spec.merge = request->merge;
  job::Limits limits{request->process_memory, request->job_memory, request->output_limit, request->cpu_ms};
  job::Job j{};
  if (e == fs::ok) e = job::start(&spec, &limits, &j);
  if (e != fs::ok) {
    if (out.length) delete_output(out.path());
    if (err.length) delete_output(err.path());
    return e;
  }
  u32 status = wait(&j, request);
  if (status != ended) job::kill(&j);
  job::wait(&j, 5000);
  job::scan(&j);
  job::close(&j);
  result->status = status;
  result->exit_code = status != ended ? killed_code : j.exit_code;
  job_times(j, result);
  e = read_output(out, arena, &result->output, fs::ok);
  return read_output(err, arena, &result->error_output, e);
}

u32 probe_command(mem::Bytes program, u8* out512) {
  const mem::Bytes tail = mem::lit(" --version");
  u64 trailing = 0;
  while (trailing < program.len && program.ptr[program.len - 1 - trailing] == '\\') ++trailing;
  if (program.len == 0 || program.len + 12 > 512 || program.len + trailing + 2 + tail.len > 512) return 0;
  for (u64 i = 0; i < program.len; ++i) {
    if (program.ptr[i] == '"' || program.ptr[i] == 0) return 0;
  }
  u64 n = 0;
  out512[n++] = '"';
  __builtin_memcpy(out512 + n, program.ptr, program.len);
  n += program.len;
  for (u64 i = 0; i < trailing; ++i) out512[n++] = '\\';
  out512[n++] = '"';
  __builtin_memcpy(out512 + n, tail.ptr, tail.len);
  return static_cast<u32>(n + tail.len);
}

u32 probe_version(mem::Bytes program) {
  u8 line[512];
  u32 n = probe_command(program, line);
  if (n == 0) return 0;
  mem::Arena arena;
  if (!mem::arena_init(&arena, 65536)) return 0;
  Request r;
  init_request(&r);
  r.application = program;
  r.command_line = mem::Bytes(line, n);
  r.cpu_ms = 10000;
  r.wall_ms = 10000;
  r.process_limit = 16;
  r.output_limit = 32768;
#ifndef __SANITIZE_ADDRESS__
  // A sanitizer build reserves terabytes of address space for its shadow memory: no such limit there.
  r.process_memory = u64{1} << 30;
#endif
  Result result;
  u32 version = 0;
  if (run(&r, &arena, &result) == fs::ok && result.status == ended && result.exit_code == 0) {
    version = background::parse_version_line(result.output);
  }
  mem::release(&arena);
  return version;
}

}  // namespace runner
