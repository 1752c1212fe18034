#include "sampling/child.h"

#include "base/atomic.h"
#include "base/bits.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "shared blocks are little-endian words");

namespace feed {
namespace {

const char prefix_text[] = "Local\\Vimbrel-feed-";
static_assert(sizeof prefix_text - 1 == name_prefix_length);

bool inside(u64 view_size, u64 offset, u64 length) { return offset <= view_size && length <= view_size - offset; }

// The slot's sequence word, read and written whole.
u64* sequence_word(const u8* view, u64 offset) {
  return reinterpret_cast<u64*>(const_cast<u8*>(view) + offset);
}

// A word of the view: read or written whole when aligned, byte by byte otherwise; nothing outside the view.
template <typename T>
T get_word(const u8* view, u64 view_size, u64 offset) {
  if (!view || !inside(view_size, offset, sizeof(T))) return 0;
  if ((offset & (sizeof(T) - 1)) == 0) return atomic::load(reinterpret_cast<const T*>(view + offset));
  T value;
  __builtin_memcpy(&value, view + offset, sizeof(T));
  return value;
}

template <typename T>
bool put_word(u8* view, u64 view_size, u64 offset, T value) {
  if (!view || !inside(view_size, offset, sizeof(T))) return false;
  if ((offset & (sizeof(T) - 1)) == 0) {
    atomic::store(reinterpret_cast<T*>(view + offset), value);
  } else {
    __builtin_memcpy(view + offset, &value, sizeof(T));
  }
  return true;
}

}  // namespace

mem::Bytes name_prefix() { return mem::lit(prefix_text); }

u64 name_make(os::RandomSource source, u8* buffer64) {
  u8 random[16];
  if (!source(mem::Slice{random, sizeof random})) return 0;
  const char digits[] = "0123456789abcdef";
  __builtin_memcpy(buffer64, prefix_text, name_prefix_length);
  for (u32 i = 0; i < 16; ++i) {
    buffer64[name_prefix_length + 2 * i] = static_cast<u8>(digits[random[i] >> 4]);
    buffer64[name_prefix_length + 2 * i + 1] = static_cast<u8>(digits[random[i] & 15]);
  }
  return name_length;
}

bool name_ok(mem::Bytes name) {
  if (name.len != name_length || !mem::eq(mem::Bytes(name.ptr, name_prefix_length), name_prefix())) return false;
  for (u64 i = name_prefix_length; i < name.len; ++i) {
    u8 c = name.ptr[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

u32 slot_stride(u32 record_size) { return static_cast<u32>((u64{record_size} + 71) / 64 * 64); }

u64 slot_offset(const Region& region, u32 n) {
  if (n == 0 || region.slots == 0) return region.first;
  return region.first + u64{region.stride} * ((n - 1) % region.slots);
}

bool slot_fits(u64 view_size, const Region& region, u32 n, u64 record_size) {
  if (n == 0 || region.slots == 0 || record_size != region.record_size) return false;
  u64 at = slot_offset(region, n);
  // The sequence word is read whole, so it must be aligned.
  return (at & 7) == 0 && inside(view_size, at, 8 + record_size);
}

u32 first_unread(u32 last, u32 newest, u32 slots) {
  // With a single slot the newest frame is still worth a try: the sequence word tells whether the copy held.
  u64 back = bits::min64(newest, slots > 1 ? slots - 1 : 1);
  return static_cast<u32>(bits::max64(u64{last} + 1, u64{newest} - back + 1));
}

u32 get32(const u8* view, u64 view_size, u64 offset) { return get_word<u32>(view, view_size, offset); }
bool put32(u8* view, u64 view_size, u64 offset, u32 value) { return put_word(view, view_size, offset, value); }
u64 get64(const u8* view, u64 view_size, u64 offset) { return get_word<u64>(view, view_size, offset); }
bool put64(u8* view, u64 view_size, u64 offset, u64 value) { return put_word(view, view_size, offset, value); }

bool slot_write(u8* view, u64 view_size, const Region& region, u32 n, mem::Bytes record) {
  if (!view || !slot_fits(view_size, region, n, record.len)) return false;
  u64 at = slot_offset(region, n);
  atomic::store(sequence_word(view, at), 2 * u64{n} - 1);
  os::fence();
  __builtin_memcpy(view + at + 8, record.ptr, record.len);
  os::fence();
  atomic::store(sequence_word(view, at), 2 * u64{n});
  os::fence();
  return true;
}

bool slot_read(const u8* view, u64 view_size, const Region& region, u32 n, mem::Slice record) {
  if (!view || !slot_fits(view_size, region, n, record.len)) return false;
  u64 at = slot_offset(region, n);
  u64 before = atomic::load(sequence_word(view, at));
  os::fence();
  __builtin_memcpy(record.ptr, view + at + 8, record.len);
  os::fence();
  u64 after = atomic::load(sequence_word(view, at));
  return read_agrees(before, after, n);
}

bool publish_seq(u8* view, u64 view_size, u64 offset, u32 n) {
  os::fence();
  bool written = put32(view, view_size, offset, n);
  os::fence();
  return written;
}

bool frame_put(u8* view, u64 view_size, const Region& region, u64 published_at, u32 n, mem::Bytes record) {
  return slot_write(view, view_size, region, n, record) && publish_seq(view, view_size, published_at, n);
}

}  // namespace feed

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
