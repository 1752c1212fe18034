#pragma once
// The desktop window's cluster settings: the cluster key and the publish settings loaded at start, the target and
// key edited in the window's text field, a key imported from a file, generated or copied, publishing switched on
// and off, and the window's publisher created on first use and stopped when publishing ends. It also turns its
// state into the three sentences the Settings page shows. Everything runs on the window's thread.
#include "base/mem.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "wire/proto.h"
#include "cluster/publisher.h"
#include "platform/os.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "widgets/textedit.h"

namespace clusterui {

// Last key action.
enum : u8 {
  action_none = 255,
  action_imported = 0,
  action_refused = 1,
  action_no_file = 2,
  action_not_saved = 3,
  action_no_random = 4,
  action_copied = 5,
  action_no_key = 6,
  action_busy = 7,
  action_type_path = 8,  // no file chooser on this desktop: the key field takes a typed path
  action_no_choice = 9,  // the file chooser gave no usable answer
};
// Field being edited.
enum : u8 { edit_none = 0, edit_target = 1, edit_key = 2, edit_other = 3 };
// Key load result.
enum : u8 { key_loaded = 0, key_missing = 1, key_refused = 2 };

inline constexpr u32 exchange_most = 256;

// The edited field and its exchange buffer with the clipboard and the test driver's typing.
struct EditState {
  textedit::Field field;
  u8 exchange[exchange_most];
  u32 exchange_length;
};

// The publisher's block: the driver, its own copy of the key, and the records a tick sends.
struct PublisherBlock {
  publisher::Publisher publisher;
  auth::KeyState key;
  proto::Inventory inventory;
  proto::ProcRecord procs;
  u32 scratch[2 * model::rows];
  u8 computer_name[64];
  u32 name_length;
};

struct ClusterState {
  PublisherBlock* block;  // null until publishing needs it
  mem::Arena block_arena;
  EditState* edit;        // null while nothing is edited
  mem::Arena edit_arena;
  mem::Bytes key_path, publish_path, machines_path;
  cluster::PublishSettings publish;
  os::WindowsVersion windows;
  u32 verdict;
  u16 version[3];
  u8 key_result;
  u8 last_action;
  u8 editing;
  u8 save_failed;
  u8 network;
  u8 target_refused;
  u8 sample_counter;
  u8 generate_armed;
  u8 background;
  u8 key_exposed;  // the last load refused a good key because others may read its file
};

// ---- Life

// Paths from the per-user folders, or under --test from the test base (the --settings file) followed by ".key",
// ".publish" and ".machines" (none without a base); path copies come from the arena.
void init(ClusterState* s, mem::Arena* arena, mem::Bytes test_base, bool test, u16 a, u16 b, u16 c, u64 now);
void close(ClusterState* s);
void apply(ClusterState* s, u64 now);
// The publisher's block, made on first use: false when its memory cannot be had.
bool ensure_publisher(ClusterState* s);
void read_key(ClusterState* s, auth::KeyState* key);

// ---- Publish settings
void toggle_publish(ClusterState* s, cluster::RandomSource random, u64 now);
void save_publish(ClusterState* s);
void set_background(ClusterState* s, bool on, u64 now);

// ---- Field editing
// Starts editing the target (1) or the key (2) or another text (3, empty): false when the field's memory cannot be
// had.
bool field_text(ClusterState* s, u8 kind);
bool field_caret(ClusterState* s, mem::Bytes text);
// A key for the field: Backspace (8), Delete (127), select all (1), else a typed character. False when nothing is
// edited.
bool field_key(ClusterState* s, u32 key);
void take_paste(ClusterState* s);
void keep_text(ClusterState* s);
// Simulated typing under --test: the character joins the exchange buffer; 0 empties it.
void test_char(ClusterState* s, u8 c);
void commit(ClusterState* s, u64 now);
void end_edit(ClusterState* s);

// ---- Key
void import_key(ClusterState* s, mem::Bytes text);
void import_file(ClusterState* s, mem::Bytes path, u64 now);
void generate_key(ClusterState* s, cluster::RandomSource random, u64 now);
// The key line into work->formatted: 78, or 0 (last action "no key to copy").
u32 key_text(ClusterState* s, cluster::KeyWork* work);

// ---- The window's loop
void publisher_step(ClusterState* s, u64 now);
// The inventory and the new sample when the link is open: true on every second such call (the process table is
// due then).
bool publish_sample(ClusterState* s, const machine::Machine* m, u64 now);
void publish_procs(ClusterState* s, const model::ProcTable* table, u32 total_mib, u64 now);
// 0 without a publisher; else the link phase and, in the next byte, the link status.
u32 link_state(const ClusterState& s);

// ---- Texts for the Settings page
void publish_status(const ClusterState& s, u64 now, cluster::Text* text);
void target_text(const ClusterState& s, cluster::Text* text);
void key_result(const ClusterState& s, cluster::Text* text);
bool key_masked(const ClusterState& s);
bool looks_like_path(mem::Bytes text);
bool has_key_marker(mem::Bytes text);
// Publishing is effectively on.
bool publishing(const ClusterState& s);

}  // namespace clusterui
