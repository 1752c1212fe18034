#include "pages/clusterui.h"

#include "wire/payload.h"
#include "cluster/publish.h"
#include "platform/sock.h"
#include "update/background.h"

namespace clusterui {
namespace {

constexpr u64 edit_bytes = 768;
static_assert(sizeof(EditState) <= edit_bytes, "the edited field fits its block");
// The publisher's block and room for its 64-byte alignment.
constexpr u64 block_bytes = sizeof(PublisherBlock) + 64;

mem::Bytes copy_path(mem::Arena* arena, const u8* bytes, u64 length) {
  if (length == 0) return mem::Bytes();
  const mem::Slice room = mem::alloc(arena, length, 1);
  if (!room.ptr) return mem::Bytes();
  mem::copy(room, mem::Bytes(bytes, length));
  return mem::Bytes(room.ptr, length);
}

void zero(void* p, u64 n) { __builtin_memset(p, 0, n); }

// An arena of its own reserved and one record carved from it; null (and no arena kept) when either fails.
void* own_block(mem::Arena* arena, u64 reserve, u64 size, u64 alignment) {
  if (!mem::arena_init(arena, reserve)) return nullptr;
  void* record = mem::alloc(arena, size, alignment).ptr;
  if (!record) {
    mem::release(arena);
    *arena = mem::Arena{};
  }
  return record;
}

void free_block(ClusterState* s) {
  if (!s->block) return;
  publisher::stop(&s->block->publisher);
  zero(&s->block->key, sizeof s->block->key);
  mem::release(&s->block_arena);
  s->block_arena = mem::Arena{};
  s->block = nullptr;
}

bool is_hex(u8 c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// The key into the publisher, when there is one.
void give_key(ClusterState* s, const auth::KeyState& key) {
  if (!s->block) return;
  s->block->key = key;
  s->block->publisher.link.peer.cluster_key = key;
}

void put(cluster::Text* t, mem::Bytes b) { cluster::text_put(t, b); }

}  // namespace

// ---- Life

void init(ClusterState* s, mem::Arena* arena, mem::Bytes test_base, bool test, u16 a, u16 b, u16 c, u64 now) {
  *s = ClusterState{};
  s->network = test ? 0 : 1;
  s->last_action = action_none;
  s->version[0] = a;
  s->version[1] = b;
  s->version[2] = c;
  if (!test) sock::startup();
  u8 path[cluster::path_capacity];
  const mem::Slice room{path, sizeof path};
  u64 n = test ? cluster::test_path(test_base, mem::lit(".key"), room) : cluster::key_path(room);
  s->key_path = copy_path(arena, path, n);
  n = test ? cluster::test_path(test_base, mem::lit(".publish"), room) : cluster::publish_path(room);
  s->publish_path = copy_path(arena, path, n);
  n = test ? cluster::test_path(test_base, mem::lit(".machines"), room) : cluster::machines_path(s->publish_path, room);
  s->machines_path = copy_path(arena, path, n);
  auth::KeyState key;
  read_key(s, &key);
  zero(&key, sizeof key);
  cluster::publish_reset(&s->publish);
  if (s->publish_path.len) cluster::read_publish(s->publish_path, &s->publish);
  os::windows_version(&s->windows);
  apply(s, now);
}

void close(ClusterState* s) {
  free_block(s);
  end_edit(s);
}

void read_key(ClusterState* s, auth::KeyState* key) {
  cluster::KeyWork work;
  u32 verdict = 0;
  const u32 r = cluster::load_key(s->key_path, &work, key, &verdict);
  cluster::wipe_key_buffer(&work);
  s->key_result = r == cluster::key_loaded ? key_loaded : r == cluster::key_unreadable ? key_missing : key_refused;
  s->key_exposed = r == cluster::key_exposed ? 1 : 0;
  s->verdict = verdict;
  if (s->last_action == action_imported && r != cluster::key_loaded) s->last_action = action_none;
}

bool ensure_publisher(ClusterState* s) {
  if (s->block) return true;
  s->block = static_cast<PublisherBlock*>(own_block(&s->block_arena, block_bytes, sizeof(PublisherBlock), 64));
  if (!s->block) return false;
  s->block->name_length = s->network ? os::computer_name(s->block->computer_name) : 0;
  read_key(s, &s->block->key);
  return true;
}

void apply(ClusterState* s, u64 now) {
  if (!s->publish.publish || s->background) {
    free_block(s);
    return;
  }
  if (!ensure_publisher(s)) return;
  publisher::Publisher* p = &s->block->publisher;
  publisher::stop(p);
  publisher::init(p, &s->block->key, s->publish.id, sizeof s->publish.id, proto::role_publisher);
  p->in_process = 0;  // the share's lease is read by the lease child beside the window
  // A share's beacons are listened for only where this machine can be the host; the environment may override.
  cluster::PublishSettings copy =
      s->publish.target_kind == cluster::target_path ? background::prefer_own_host(&s->publish) : s->publish;
  copy.publish = s->publish.publish && s->network && s->key_result == key_loaded && s->publish.id_present ? 1 : 0;
  publisher::set_target(p, &copy, now);
}

// ---- Publish settings

void toggle_publish(ClusterState* s, cluster::RandomSource random, u64 now) {
  s->publish.publish = s->publish.publish ? 0 : 1;
  if (!s->publish.id_present) {
    u8 id[16];
    u8 any = 0;
    if (random(mem::Slice{id, sizeof id})) {
      for (u8 v : id) any |= v;
      if (any) cluster::set_machine_id(&s->publish, id);
    }
  }
  save_publish(s);
  apply(s, now);
}

void save_publish(ClusterState* s) {
  if (!s->publish_path.len) return;
  s->save_failed = cluster::write_publish(s->publish_path, &s->publish) ? 0 : 1;
}

void set_background(ClusterState* s, bool on, u64 now) {
  const u8 value = on ? 1 : 0;
  if (s->background == value) return;
  s->background = value;
  apply(s, now);
}

// ---- Field editing

bool field_text(ClusterState* s, u8 kind) {
  s->target_refused = 0;
  if (!s->edit) {
    s->edit = static_cast<EditState*>(own_block(&s->edit_arena, edit_bytes, sizeof(EditState), 8));
    if (!s->edit) return false;
  }
  s->editing = kind;
  const mem::Bytes text = kind == edit_target ? cluster::target_text(&s->publish) : mem::lit("");
  textedit::set_text(&s->edit->field, text, kind == edit_key ? textedit::masked : 0);
  return true;
}

bool field_caret(ClusterState* s, mem::Bytes text) {
  if (!field_text(s, edit_other)) return false;
  textedit::set_text(&s->edit->field, text, 0);
  return true;
}

bool field_key(ClusterState* s, u32 key) {
  if (!s->edit) return false;
  textedit::Field* f = &s->edit->field;
  if (key == 8 || key == 127) {
    textedit::backspace_delete(f, key == 127, false);
  } else if (key == 1) {
    f->anchor = 0;
    f->caret = f->length;
  } else {
    textedit::type_char(f, key);
  }
  return true;
}

void take_paste(ClusterState* s) {
  if (!s->edit || !s->edit->exchange_length) return;
  const u32 n = s->edit->exchange_length < exchange_most ? s->edit->exchange_length : exchange_most;
  textedit::insert(&s->edit->field, mem::Bytes(s->edit->exchange, n));
  zero(s->edit->exchange, sizeof s->edit->exchange);
  s->edit->exchange_length = 0;
}

void keep_text(ClusterState* s) {
  if (!s->edit) return;
  zero(s->edit->exchange, sizeof s->edit->exchange);
  const mem::Bytes text = textedit::copy_from(s->edit->field);
  const u64 n = text.len < exchange_most ? text.len : exchange_most;
  mem::copy(mem::Slice{s->edit->exchange, n}, text);
  s->edit->exchange_length = static_cast<u32>(n);
}

void test_char(ClusterState* s, u8 c) {
  if (!s->edit) return;
  if (c == 0) {
    zero(s->edit->exchange, sizeof s->edit->exchange);
    s->edit->exchange_length = 0;
  } else if (s->edit->exchange_length < exchange_most) {
    s->edit->exchange[s->edit->exchange_length++] = c;
  }
}

void commit(ClusterState* s, u64 now) {
  if (!s->edit) return;
  const textedit::Field& f = s->edit->field;
  const mem::Bytes text(f.text, f.length);
  if (s->editing == edit_target) {
    if (cluster::set_target(&s->publish, text)) {
      save_publish(s);
    } else {
      s->target_refused = 1;
    }
  } else if (s->editing == edit_key) {
    import_key(s, text);
  }
  end_edit(s);
  apply(s, now);
}

void end_edit(ClusterState* s) {
  if (s->edit) {
    zero(s->edit, sizeof *s->edit);
    mem::release(&s->edit_arena);
  }
  s->edit_arena = mem::Arena{};
  s->edit = nullptr;
  s->editing = edit_none;
}

// ---- Key

void import_key(ClusterState* s, mem::Bytes text) {
  cluster::KeyWork work;
  auth::KeyState key;
  u32 verdict = 0;
  const u32 r = cluster::import_key(text, s->key_path, &work, &key, &verdict);
  cluster::wipe_key_buffer(&work);
  s->last_action = static_cast<u8>(r);
  s->verdict = verdict;
  if (r == cluster::import_done) {
    s->key_result = key_loaded;
    give_key(s, key);
  }
  zero(&key, sizeof key);
}

void import_file(ClusterState* s, mem::Bytes path, u64 now) {
  s->generate_armed = 0;
  import_key(s, path);
  apply(s, now);
}

void generate_key(ClusterState* s, cluster::RandomSource random, u64 now) {
  if (s->key_result != key_missing && !s->generate_armed) {
    s->generate_armed = 1;
    return;
  }
  s->generate_armed = 0;
  cluster::KeyWork work;
  auth::KeyState key;
  const u32 r = cluster::new_key(s->key_path, random, &work, &key);
  cluster::wipe_key_buffer(&work);
  if (r == cluster::new_key_done) {
    s->last_action = action_none;
    s->key_result = key_loaded;
    s->verdict = 0;
    give_key(s, key);
  } else {
    s->last_action = r == cluster::new_key_no_random ? action_no_random : action_not_saved;
  }
  zero(&key, sizeof key);
  apply(s, now);
}

u32 key_text(ClusterState* s, cluster::KeyWork* work) {
  s->generate_armed = 0;
  const u32 n = cluster::key_text(s->key_path, work);
  if (n == 0) s->last_action = action_no_key;
  return n;
}

// ---- The window's loop

void publisher_step(ClusterState* s, u64 now) {
  if (s->network && s->block) publisher::tick(&s->block->publisher, now, 0);
}

bool publish_sample(ClusterState* s, const machine::Machine* m, u64 now) {
  if (!s->block || s->block->publisher.link.state != publish::open) return false;
  PublisherBlock* b = s->block;
  payload::inventory(m, b->publisher.link.machine_id, b->computer_name, b->name_length, &s->windows, s->version[0],
                     s->version[1], s->version[2], &b->inventory);
  publisher::send_data(&b->publisher, &m->ring, m->pushed, reinterpret_cast<const u8*>(&m->temps), &b->inventory,
                       now);
  s->sample_counter ^= 1;
  return s->sample_counter == 0;
}

void publish_procs(ClusterState* s, const model::ProcTable* table, u32 total_mib, u64 now) {
  if (!s->block) return;
  payload::procs(table, total_mib, s->block->scratch, &s->block->procs);
  publish::procs(&s->block->publisher.link, &s->block->procs, now);
}

u32 link_state(const ClusterState& s) {
  if (!s.block) return 0;
  return s.block->publisher.link.state | (u32{s.block->publisher.link.status} << 8);
}

bool publishing(const ClusterState& s) {
  return s.publish.publish && !s.background && s.network && s.key_result == key_loaded && s.verdict == 0 &&
         s.publish.id_present && s.publish.target_kind != cluster::target_invalid && s.block;
}

// ---- Texts

void publish_status(const ClusterState& s, u64 now, cluster::Text* t) {
  t->len = 0;
  if (s.save_failed) return put(t, mem::lit("The publish settings file could not be saved."));
  if (!s.publish.publish) return put(t, mem::lit("Off: nothing is sent."));
  if (s.background) return put(t, mem::lit("Publishing from the background copy, under Background."));
  if (s.key_result == key_refused) return put(t, mem::lit("Not publishing: the cluster key file is refused."));
  if (s.key_result == key_missing) return put(t, mem::lit("Waiting for a cluster key."));
  if (s.publish.target_kind == cluster::target_invalid) return put(t, mem::lit("Waiting for a server or share."));
  if (!s.network) return put(t, mem::lit("Not connected under --test."));
  if (!s.block) return put(t, mem::lit("Not enough memory to publish."));
  const publisher::Publisher& p = s.block->publisher;
  if (s.publish.target_kind == cluster::target_path && p.child_failed)
    return put(t, mem::lit("The lease reader could not start, so the share is not read."));
  cluster::LinkView view{};
  publish::view(&p.link, now, &view);
  cluster::status_line(&view, now, t);
}

void target_text(const ClusterState& s, cluster::Text* t) {
  t->len = 0;
  if (s.editing == edit_target && s.edit) return put(t, mem::Bytes(s.edit->field.text, s.edit->field.length));
  if (s.target_refused) return put(t, mem::lit("Refused: not an IPv4 address or a share path."));
  const mem::Bytes target = cluster::target_text(&s.publish);
  put(t, target.len ? target : mem::lit("Not set"));
}

void key_result(const ClusterState& s, cluster::Text* t) {
  t->len = 0;
  if (s.editing == edit_key && s.edit) {
    const mem::Bytes typed(s.edit->field.text, s.edit->field.length);
    if (looks_like_path(typed)) return put(t, typed);
    for (u64 i = 0; i < typed.len; ++i) cluster::text_append(t, mem::lit("*"));
    return;
  }
  switch (s.last_action) {
    case action_no_file: return put(t, mem::lit("Refused: no such file."));
    case action_not_saved: return put(t, mem::lit("Refused: the key file could not be saved."));
    default: break;
  }
  // A good key whose file others may read has the verdict "ok": the reason is the file's permissions.
  if (s.last_action != action_refused && s.key_result == key_refused && s.key_exposed)
    return put(t, mem::lit("Refused: readable by others; allow only its owner (chmod 600)."));
  if (s.last_action == action_refused || s.key_result == key_refused) {
    put(t, mem::lit("Refused: "));
    return cluster::text_append(t, cluster::key_verdict_name(s.verdict));
  }
  switch (s.last_action) {
    case action_imported: return put(t, mem::lit("Imported"));
    case action_no_random: return put(t, mem::lit("Not generated: the random source failed."));
    case action_copied: return put(t, mem::lit("Copied to the clipboard"));
    case action_no_key: return put(t, mem::lit("No key to copy."));
    case action_busy: return put(t, mem::lit("Not copied: the clipboard is busy."));
    case action_type_path: return put(t, mem::lit("No file chooser: type the file's path here."));
    case action_no_choice: return put(t, mem::lit("The chooser gave no file: type its path here."));
    default: break;
  }
  put(t, s.key_result == key_loaded ? mem::lit("Loaded") : mem::lit("None"));
}

bool key_masked(const ClusterState& s) {
  return s.editing == edit_key && s.edit && !looks_like_path(mem::Bytes(s.edit->field.text, s.edit->field.length));
}

bool has_key_marker(mem::Bytes text) {
  const mem::Bytes marker = mem::lit("vimbrel-key");
  for (u64 i = 0; i + marker.len <= text.len; ++i) {
    u64 k = 0;
    while (k < marker.len && (text.ptr[i + k] | 0x20) == marker.ptr[k]) ++k;
    if (k == marker.len) return true;
  }
  return false;
}

bool looks_like_path(mem::Bytes text) {
  bool separator = false;
  u64 run = 0, longest = 0;
  for (u64 i = 0; i < text.len; ++i) {
    const u8 c = text.ptr[i];
    if (c == '\\' || c == '/' || c == ':') separator = true;
    run = is_hex(c) ? run + 1 : 0;
    if (run > longest) longest = run;
  }
  return separator && longest < 16 && !has_key_marker(text);
}

}  // namespace clusterui
