#include "sampling/child.h"

namespace child {
namespace {

// The size the system reports for a view: whole pages of 4 KiB, whatever the machine's own page size.
constexpr u64 page = 4096;

void clear(Section* s) { __builtin_memset(s, 0, sizeof *s); }

void adopt_view(Section* s) {
  s->view = s->shared.view;
  s->view_size = s->shared.size;
}

}  // namespace

bool create_section(Section* s, u64 size) {
  clear(s);
  if (size == 0 || size > (u64{1} << 40)) return false;
  s->name_length = feed::name_make(os::random_bytes, s->name);
  if (s->name_length == 0 || section::create(mem::Bytes(s->name, s->name_length), (size + page - 1) / page * page,
                                             &s->shared) != section::ok) {
    clear(s);
    return false;
  }
  adopt_view(s);
  return true;
}

bool start(Section* s, mem::Bytes option) {
  u8 path[1024];
  u32 path_length = proc::own_path(path);
  u8 arguments[128];
  if (path_length == 0 || s->view == nullptr || option.len == 0 || option.len + 1 + s->name_length > sizeof arguments)
    return false;
  __builtin_memcpy(arguments, option.ptr, option.len);
  arguments[option.len] = ' ';
  __builtin_memcpy(arguments + option.len + 1, s->name, s->name_length);
  mem::Bytes words(arguments, option.len + 1 + s->name_length);
  return proc::spawn(mem::Bytes(path, path_length), words, proc::spawn_job, &s->process, nullptr) == 1;
}

bool start_collector(Section* s) { return start(s, mem::lit("--collector")); }

bool is_running(Section* s) { return proc::is_running(&s->process) == 1; }

void unmap(Section* s) {
  kobj::close(s->requests);
  s->requests = 0;
  section::close(&s->shared);
  s->view = nullptr;
  s->view_size = 0;
}

void stop(Section* s) {
  // Closing a child bound to a job ends it and everything it started, and reaps it.
  proc::kill(&s->process);
  proc::close(&s->process);
  unmap(s);
}

void finish(Section* s, u32 milliseconds) {
  if (s->process.process != 0) {
    feed::put32(s->view, s->view_size, feed::stop_at, 1);
    if (!proc::wait_end(&s->process, milliseconds)) {
      proc::kill(&s->process);
      proc::wait_end(&s->process, 5000);
    }
    proc::close(&s->process);
  }
  unmap(s);
}

u64 request_name(const Section& s, u8* out) {
  const mem::Bytes ending = mem::lit("-ask");
  if (s.name_length == 0 || s.name_length + ending.len > name_capacity) return 0;
  __builtin_memcpy(out, s.name, s.name_length);
  __builtin_memcpy(out + s.name_length, ending.ptr, ending.len);
  return s.name_length + ending.len;
}

bool make_requests(Section* s) {
  if (s->view == nullptr || s->requests != 0) return s->requests != 0;
  u8 name[name_capacity];
  const u64 length = request_name(*s, name);
  s->requests = length ? kobj::create_event(mem::Bytes(name, length)) : 0;
  return s->requests != 0;
}

void ask(Section* s, u64 at, u32 value) {
  // A word that already holds the value asks nothing new: the child saw it, or will when it wakes.
  if (feed::get32(s->view, s->view_size, at) == value) return;
  feed::put32(s->view, s->view_size, at, value);
  // The word is in place before the child can wake and look.
  os::fence();
  kobj::set(s->requests);
}

bool open_requests(Section* s) {
  if (s->view == nullptr || s->requests != 0) return s->requests != 0;
  u8 name[name_capacity];
  const u64 length = request_name(*s, name);
  s->requests = length ? kobj::open_event(mem::Bytes(name, length)) : 0;
  return s->requests != 0;
}

bool wait_request(Section* s, u32 milliseconds) {
  if (s->requests == 0) {
    os::sleep_ms(milliseconds);
    return false;
  }
  return kobj::wait(s->requests, milliseconds) == 1;
}

bool open_section(mem::Bytes name, Section* s) {
  clear(s);
  if (!feed::name_ok(name) || section::open(name, &s->shared) != section::ok) {
    clear(s);
    return false;
  }
  adopt_view(s);
  __builtin_memcpy(s->name, name.ptr, name.len);
  s->name_length = name.len;
  return true;
}

u64 open_parent(u32 process_id) { return proc::open_process(process_id); }

bool process_ended(u64 handle) { return proc::process_ended(handle) == 1; }

void close_handle(u64 handle) { proc::close_process(handle); }

u32 round(Section* s, u64 parent) {
  // Only the child writes the heartbeat, so a read and a write make the increment.
  feed::put32(s->view, s->view_size, feed::heartbeat_at, feed::get32(s->view, s->view_size, feed::heartbeat_at) + 1);
  if (feed::get32(s->view, s->view_size, feed::stop_at) != 0) return 1;
  return process_ended(parent) ? 2 : 0;
}

}  // namespace child
