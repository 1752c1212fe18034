#include "host/linuxfeed.h"

#include "host/hub.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/sign.h"
#include "update/update.h"

namespace linuxfeed {

namespace {

// A path or URL built in a fixed buffer; once a part does not fit it stays refused.
struct Text {
  u8* ptr;
  u32 cap;
  u32 len;
  bool over;
};

void add(Text* t, mem::Bytes part) {
  if (t->over || part.len > t->cap - t->len) {
    t->over = true;
    return;
  }
  mem::copy(mem::Slice{t->ptr + t->len, part.len}, part);
  t->len += static_cast<u32>(part.len);
}

mem::Bytes view(const Text& t) { return mem::Bytes(t.ptr, t.len); }

// folder "/" name suffix, below path_max bytes; empty when it does not fit.
mem::Bytes file_path(mem::Bytes dir, mem::Bytes name, mem::Bytes suffix, u8 (&buffer)[path_max]) {
  Text t{buffer, path_max - 1, 0, false};
  add(&t, dir);
  add(&t, mem::lit("/"));
  add(&t, name);
  add(&t, suffix);
  return t.over || dir.len == 0 ? mem::Bytes() : view(t);
}

u32 name_of(u64 version, u32 a, u8 (&buffer)[remote_update::build_name_max]) {
  return remote_update::build_name(version, static_cast<u8>(a + 1), mem::Slice{buffer, sizeof buffer});
}

// The whole small file (at most the buffer's length minus one); false when it is missing, unreadable or longer.
bool read_small(mem::Bytes path, mem::Slice buffer, u64* length) {
  fs::File file;
  if (path.len == 0 || fs::open_sized(path, &file) != fs::ok) return false;
  bool ok = file.size < buffer.len && fs::read_at(&file, 0, buffer, length) == fs::ok && *length == file.size;
  fs::close(&file);
  return ok;
}

// The SHA-256 of an open file read in pieces of 4,096 bytes; the first piece must pass the ELF check.
bool hash_build(const fs::File* file, u8 arch, u8 digest[32]) {
  sha256::Context ctx;
  sha256::init(&ctx);
  u8 piece[4096];
  u64 at = 0;
  while (at < file->size) {
    u64 count = 0;
    if (fs::read_at(file, at, mem::Slice{piece, sizeof piece}, &count) != fs::ok || count == 0) return false;
    if (at == 0 && !remote_update::check_elf(mem::Bytes(piece, count), arch)) return false;
    sha256::update(&ctx, mem::Bytes(piece, count));
    at += count;
  }
  sha256::finish(&ctx, digest);
  return true;
}

bool same_digest(const u8* a, const u8* b) { return mem::eq(mem::Bytes(a, 32), mem::Bytes(b, 32)); }

void drop_build(Build* b) {
  if (b->file != 0) {
    fs::File f{b->file, b->size};
    fs::close(&f);
  }
  b->file = 0;
  b->size = 0;
  b->size32 = 0;
  b->state = state_none;
}

}  // namespace

bool is_fetch_option(mem::Bytes word) { return mem::eq(word, mem::lit("--linux-fetch")); }

u32 folder(mem::Slice out) {
  u8 base[path_max];
  u64 len = 0;
  if (fs::env_var(mem::lit("LOCALAPPDATA"), mem::Slice{base, sizeof base}, &len) != 0 || len == 0) return 0;
  Text t{out.ptr, static_cast<u32>(out.len < path_max ? out.len : path_max), 0, false};
  add(&t, mem::Bytes(base, len));
  add(&t, mem::lit("/Vimbrel/linux"));
  return t.over || t.len >= 521 ? 0 : t.len;
}

void init(Feed* feed, u64 version, mem::Bytes linux_folder, mem::Bytes program, const u8* release_key) {
  __builtin_memset(feed, 0, sizeof *feed);
  feed->version = version;
  feed->last_served = hub::slots - 1;
  if (linux_folder.len < path_max) {
    mem::copy(mem::Slice{feed->folder, linux_folder.len}, linux_folder);
    feed->folder_len = static_cast<u32>(linux_folder.len);
  }
  if (program.len < path_max) {
    mem::copy(mem::Slice{feed->program, program.len}, program);
    feed->program_len = static_cast<u32>(program.len);
  }
  if (release_key != nullptr) {
    __builtin_memcpy(feed->release_key, release_key, 32);
    feed->keyed = 1;
  }
}

mem::Bytes no_key_text() { return mem::lit("no release key: this build does not update its agents"); }

// ---- Making a build ready.

u32 retry_delay(u32 backoff) {
  if (backoff == 0) return first_backoff_ms;
  return backoff >= last_backoff_ms / 2 ? last_backoff_ms : backoff * 2;
}

void retry_later(Feed* feed, u32 a, u64 now_ms) {
  Build* b = &feed->builds[a];
  b->state = state_waiting;
  b->backoff = retry_delay(b->backoff);
  b->next_try = now_ms + b->backoff;
}

u32 open_build(Feed* feed, u32 a) {
  Build* b = &feed->builds[a];
  drop_build(b);
  u8 name[remote_update::build_name_max], path[path_max], sums_path[path_max], sig_path[path_max];
  u32 name_len = name_of(feed->version, a, name);
  mem::Bytes n(name, name_len), dir(feed->folder, feed->folder_len);
  mem::Bytes build = file_path(dir, n, mem::Bytes(), path);
  mem::Bytes sums = file_path(dir, n, mem::lit(".sha256"), sums_path);
  mem::Bytes sig = file_path(dir, n, mem::lit(".sig"), sig_path);
  fs::File file{};
  u8 digest[32], listed[32], line[remote_update::sums_line_max + 1], signature[sign::signature_size + 1];
  const u8 arch = static_cast<u8>(a + 1);
  u64 line_len = 0, sig_len = 0;
  bool good = name_len != 0 && build.len != 0 && sums.len != 0 && sig.len != 0 &&
              fs::open_sized(build, &file) == fs::ok && file.size >= 1 && file.size <= remote_update::build_max &&
              feed->keyed && hash_build(&file, arch, digest) &&
              read_small(sums, mem::Slice{line, sizeof line}, &line_len) &&
              remote_update::read_sums(mem::Bytes(line, line_len), n, listed) && same_digest(digest, listed) &&
              read_small(sig, mem::Slice{signature, sizeof signature}, &sig_len) &&
              sig_len == sign::signature_size &&
              remote_update::build_signed(feed->version, arch, digest, signature, feed->release_key);
  if (!good) {
    fs::close(&file);
    ++feed->counters.failures;
    return 0;
  }
  b->file = file.handle;
  b->size = file.size;
  b->size32 = static_cast<u32>(file.size);
  __builtin_memcpy(b->sha256, digest, 32);
  __builtin_memcpy(b->signature, signature, sizeof b->signature);
  b->state = state_held;
  ++feed->counters.opened;
  return 1;
}

u32 start_fetch(Feed* feed, u32 a) {
  if (feed->program_len == 0) return 0;
  proc::ExePath exe{};
  exe.length = os::utf8_to_wide(mem::Bytes(feed->program, feed->program_len), exe.units, proc::path_units);
  u8 args[32];
  Text t{args, sizeof args, 0, false};
  add(&t, mem::lit("--linux-fetch "));
  add(&t, remote_update::arch_word(static_cast<u8>(a + 1)));
  if (exe.length == 0 || t.over || !proc::start_in_job(&exe, view(t), &feed->child)) return 0;
  feed->running = 1;
  feed->child_arch = static_cast<u8>(a);
  feed->builds[a].state = state_fetching;
  ++feed->counters.fetches;
  return 1;
}

void arch_step(Feed* feed, u32 a, u64 now_ms) {
  if (a >= arch_count) return;
  Build* b = &feed->builds[a];
  if (!feed->keyed || b->state == state_fetching || b->state == state_held || feed->running) return;
  if (b->state == state_waiting && now_ms < b->next_try) return;
  if (open_build(feed, a)) return;
  if (!start_fetch(feed, a)) retry_later(feed, a, now_ms);
}

void fetch_step(Feed* feed, u64 now_ms) {
  u32 code = 0;
  if (!feed->running || !proc::exit_code(&feed->child, &code)) return;
  proc::close(&feed->child);
  feed->running = 0;
  u32 a = feed->child_arch;
  u8 bit = static_cast<u8>(1u << a);
  feed->checksums_missing = static_cast<u8>(code == fetch_no_checksums ? feed->checksums_missing | bit
                                                                         : feed->checksums_missing & ~bit);
  if (open_build(feed, a)) {
    feed->builds[a].backoff = 0;
  } else {
    retry_later(feed, a, now_ms);
  }
}

// ---- Serving chunks.

namespace {

// Sends the head that says there is no binary; the agent's try ends and it asks again later.
bool send_no_binary(Feed* feed, hub::Hub* h, u32 s, u8 arch, u32 now, u32 wall) {
  proto::UpdateChunk chunk = {};
  chunk.type = arch;
  chunk.flag = 1;
  if (hub::out_free(h, s) < 16 + 56 + proto::tag_size || !hub::send_chunk(h, s, &chunk, mem::Bytes(), now, wall))
    return false;
  ++feed->counters.no_binary;
  return true;
}

// One member's ask; false when its out-buffer cannot take the answer this round.
bool serve_one(Feed* feed, hub::Hub* h, u32 s, u64 now_ms, u32 now, u32 wall) {
  const proto::UpdateAsk* ask = &h->slot[s].update;
  u32 a = ask->type - 1u;
  if (a >= arch_count) return send_no_binary(feed, h, s, ask->type, now, wall);
  arch_step(feed, a, now_ms);
  Build* b = &feed->builds[a];
  if (b->state != state_held) return send_no_binary(feed, h, s, ask->type, now, wall);
  proto::UpdateChunk chunk = {};
  chunk.type = ask->type;
  chunk.major = static_cast<u16>(feed->version >> 32);
  chunk.minor = static_cast<u16>(feed->version >> 16);
  chunk.patch = static_cast<u16>(feed->version);
  chunk.total = b->size32;
  chunk.offset = ask->offset < b->size32 ? ask->offset : b->size32;
  __builtin_memcpy(chunk.value, b->sha256, 32);
  if (ask->flag & proto::ask_signature) {
    // The signature first: the agent checks it against its own release key before it asks for any byte.
    chunk.flag = proto::chunk_signature;
    chunk.offset = 0;
    chunk.length = remote_update::signature_size;
    if (hub::out_free(h, s) < 16 + 56 + chunk.length + proto::tag_size) return false;
    return hub::send_chunk(h, s, &chunk, mem::Bytes(b->signature, chunk.length), now, wall);
  }
  // An agent's first ask names no version (0): it is served. Only an ask for another version than this host's
  // hears length 0, which the agent takes for a changed binary.
  u64 asked = remote_update::pack_version(ask->major, ask->minor, ask->patch);
  chunk.length = asked == 0 || asked == feed->version ? remote_update::chunk_length(chunk.total, chunk.offset) : 0;
  u32 frame = 16 + 56 + (chunk.length + 7) / 8 * 8 + proto::tag_size;
  if (hub::out_free(h, s) < frame) return false;
  u64 count = 0;
  fs::File file{b->file, b->size};
  if (chunk.length != 0 && (fs::read_at(&file, chunk.offset, mem::Slice{feed->scratch, chunk.length}, &count) !=
                                fs::ok ||
                            count != chunk.length)) {
    // A held build that cannot be read is closed; the next ask opens or fetches it again.
    drop_build(b);
    ++feed->counters.failures;
    return send_no_binary(feed, h, s, ask->type, now, wall);
  }
  if (!hub::send_chunk(h, s, &chunk, mem::Bytes(feed->scratch, chunk.length), now, wall)) return false;
  ++feed->counters.chunks;
  return true;
}

}  // namespace

void serve_chunks(Feed* feed, hub::Hub* h, u64 now_ms, u32 now_units, u32 wall) {
  // One pass round the slots from the one after the last served; a member whose out-buffer is full waits.
  u32 served = 0, start = (feed->last_served + 1) % hub::slots, left = hub::slots;
  while (left > 0 && served < chunks_per_round) {
    const u32 s = hub::next_update_member(h, start);
    if (s == hub::none) break;
    const u32 passed = (s + hub::slots - start) % hub::slots + 1;
    if (passed > left) break;
    left -= passed;
    start = (s + 1) % hub::slots;
    if (!serve_one(feed, h, s, now_ms, now_units, wall)) continue;
    ++served;
    feed->last_served = s;
  }
}

void step(Feed* feed, hub::Hub* h, u64 now_ms, u32 now_units, u32 wall) {
  fetch_step(feed, now_ms);
  u8 reason = 0;
  if (!feed->keyed) reason = remote_update::reason_host_no_key;
  else if (feed->checksums_missing != 0) reason = remote_update::reason_no_checksums;
  h->m.no_binary_reason = reason;
  serve_chunks(feed, h, now_ms, now_units, wall);
}

void close(Feed* feed) {
  for (u32 a = 0; a < arch_count; ++a) drop_build(&feed->builds[a]);
  if (feed->running) proc::close(&feed->child);
  feed->running = 0;
}

// ---- The --linux-fetch child.

u32 release_base(const update::Config* config, u64 version, mem::Slice out) {
  update::Url url;
  bool local = (config->flags & update::flag_local) != 0;
  if (!update::parse_url(config->feed_url, local, &url)) return 0;
  u8 v[remote_update::version_text_max];
  u32 vlen = remote_update::version_text(version, mem::Slice{v, sizeof v});
  Text t{out.ptr, static_cast<u32>(out.len < 256 ? out.len : 256), 0, false};
  add(&t, mem::Bytes(config->feed_url.ptr, url.path_start));
  add(&t, mem::lit("/downloads/vimbrel/v"));
  add(&t, mem::Bytes(v, vlen));
  add(&t, mem::lit("/"));
  return t.over ? 0 : t.len;
}

namespace {

// The limit of the checksum list: a release lists more than the Linux builds, and a longer list is a failed
// download rather than a missing one.
constexpr u32 sums_capacity = 65536;

struct Fetch {
  const update::Config* config;
  u64 version;
  u8 base[256];
  u32 base_len;
  u8 url[384];
  u8 sums[sums_capacity];
  u8 signature[sign::signature_size];
  u8 digest[32];
  u8 path[path_max], download[path_max], fresh[path_max], sums_file[path_max], sig_file[path_max];
};

mem::Bytes url_of(Fetch* f, mem::Bytes name, mem::Bytes suffix) {
  Text t{f->url, sizeof f->url, 0, false};
  add(&t, mem::Bytes(f->base, f->base_len));
  add(&t, name);
  add(&t, suffix);
  return t.over ? mem::Bytes() : view(t);
}

void discard(mem::Bytes path) {
  u32 error = 0;
  update::delete_file(path, &error);
}

// Steps 5 to 9 once the list named the build: download, signature, checks, placing.
u32 fetch_build(Fetch* f, mem::Bytes name, u8 arch, mem::Bytes build, mem::Bytes download, mem::Bytes fresh,
                mem::Bytes sums_file, mem::Bytes sig_file) {
  discard(download);
  u64 handle = 0;
  if (fs::create_exclusive(download, 0600, &handle) != 0) return fetch_no_folder;
  update::HttpResult r;
  mem::Bytes url = url_of(f, name, mem::Bytes());
  bool got = url.len != 0 && update::http_get_to_file(f->config, url, handle, remote_update::build_max, &r) &&
             r.status == 200 && r.received >= 1 && fs::sync_handle(handle) == 0;
  u64 received = r.received;
  url = url_of(f, name, mem::lit(".sig"));
  got = got && url.len != 0 &&
        update::http_get_to_memory(f->config, url, mem::Slice{f->signature, sizeof f->signature},
                                   sign::signature_size, &r) &&
        r.status == 200 && r.received == sign::signature_size;
  if (!got) {
    fs::close_handle(handle);
    discard(download);
    return fetch_download;
  }
  if (fs::rename_open(handle, download, fresh) != 0) {
    fs::close_handle(handle);
    discard(download);
    return fetch_not_placed;
  }
  fs::close_handle(handle);
  fs::File file{};
  u8 digest[32];
  bool good = fs::open_sized(fresh, &file) == fs::ok && file.size == received && hash_build(&file, arch, digest) &&
              same_digest(digest, f->digest) &&
              remote_update::build_signed(f->version, arch, digest, f->signature, f->config->public_key);
  fs::close(&file);
  if (!good) {
    discard(fresh);
    return fetch_not_listed;
  }
  u8 line[remote_update::sums_line_max];
  u32 line_len = remote_update::sums_line(f->digest, name, mem::Slice{line, sizeof line});
  if (line_len == 0 || fs::replace_file(sums_file, mem::Bytes(line, line_len)) != fs::ok ||
      fs::replace_file(sig_file, mem::Bytes(f->signature, sizeof f->signature)) != fs::ok ||
      fs::rename_path(fresh, build, 1) != 0) {
    discard(fresh);
    discard(sums_file);
    discard(sig_file);
    return fetch_not_placed;
  }
  return fetch_placed;
}

}  // namespace

u32 fetch(const update::Config* config, mem::Bytes arch_word, u64 version, mem::Bytes linux_folder) {
  u8 arch = remote_update::arch_of(arch_word);
  if (arch == remote_update::arch_none) return fetch_unknown_arch;
  if (!config->has_key) return fetch_no_key;
  if (linux_folder.len == 0 || linux_folder.len >= path_max || fs::make_directories(linux_folder) != fs::ok) {
    return fetch_no_folder;
  }
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(Fetch) + 64)) return fetch_no_folder;
  Fetch* f = mem::alloc_of<Fetch>(&arena);
  f->config = config;
  f->version = version;
  f->base_len = release_base(config, version, mem::Slice{f->base, sizeof f->base});
  u8 name_bytes[remote_update::build_name_max];
  mem::Bytes name(name_bytes, name_of(version, arch - 1u, name_bytes));
  mem::Bytes build = file_path(linux_folder, name, mem::Bytes(), f->path);
  mem::Bytes download = file_path(linux_folder, name, mem::lit(".download"), f->download);
  mem::Bytes fresh = file_path(linux_folder, name, mem::lit(".new"), f->fresh);
  mem::Bytes sums_file = file_path(linux_folder, name, mem::lit(".sha256"), f->sums_file);
  mem::Bytes sig_file = file_path(linux_folder, name, mem::lit(".sig"), f->sig_file);
  u32 code = fetch_placed;
  update::HttpResult r{};
  mem::Bytes sums_url = url_of(f, mem::lit("SHA256SUMS"), mem::Bytes());
  if (name.len == 0 || build.len == 0 || download.len == 0 || fresh.len == 0 || sums_file.len == 0 ||
      sig_file.len == 0) {
    code = fetch_no_folder;
  } else if (f->base_len == 0 || sums_url.len == 0 ||
             !update::http_get_to_memory(config, sums_url, mem::Slice{f->sums, sizeof f->sums}, sizeof f->sums, &r) ||
             r.status != 200) {
    // A list longer than the limit was there but could not be taken: that is a failed download, not a missing list.
    code = r.stage == 6 ? fetch_download : fetch_no_checksums;
  } else if (!remote_update::read_sums(mem::Bytes(f->sums, r.received), name, f->digest)) {
    code = fetch_no_checksums;
  } else {
    code = fetch_build(f, name, arch, build, download, fresh, sums_file, sig_file);
  }
  mem::release(&arena);
  return code;
}

namespace {

// The program's update configuration: the server the Linux builds come from and the key that signs them. Test
// builds may point both at a test server and key.
struct Release {
  update::Config config;
#ifdef VIMBREL_TEST_SEAMS
  update::TestSeams seams;
#endif
};

void release_config(mem::Bytes version_text, Release* r) {
  r->config = update::make_config(version_text);
#ifdef VIMBREL_TEST_SEAMS
  update::apply_test_seams(&r->config, &r->seams);
#endif
}

}  // namespace

void create(Feed* feed, u64 version) {
  u8 dir[path_max], program[1024], text[remote_update::version_text_max];
  u32 dir_len = folder(mem::Slice{dir, sizeof dir});
  u32 program_len = proc::own_path(program);
  Release release;
  release_config(mem::Bytes(text, remote_update::version_text(version, mem::Slice{text, sizeof text})), &release);
  init(feed, version, mem::Bytes(dir, dir_len), mem::Bytes(program, program_len < path_max ? program_len : 0),
       release.config.has_key ? release.config.public_key : nullptr);
}

u32 fetch_main(mem::Bytes arch_word, u16 major, u16 minor, u16 patch) {
  u64 version = remote_update::pack_version(major, minor, patch);
  u8 dir[path_max], text[remote_update::version_text_max];
  u32 dir_len = folder(mem::Slice{dir, sizeof dir});
  Release release;
  release_config(mem::Bytes(text, remote_update::version_text(version, mem::Slice{text, sizeof text})), &release);
  u32 code = fetch(&release.config, arch_word, version, mem::Bytes(dir, dir_len));
  if (code == fetch_no_key) {
    os::write_err(mem::lit("vimbrel: --linux-fetch: "));
    os::write_err(no_key_text());
    os::write_err(mem::lit("\n"));
  }
  return code;
}

}  // namespace linuxfeed
