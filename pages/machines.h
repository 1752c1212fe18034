#pragma once
// The Machines page: the cluster's members as the host lists them to the window's viewer link, grouped by operating
// system, narrowed by a filter and ordered by one of eight columns; the user's choices stored in the machines list
// settings file. This part is the list model: a small record of choices and of what is derived from them. It reads
// the viewer link's member list and peers table and never changes them.
#include <stddef.h>

#include "base/mem.h"
#include "wire/cluster.h"
#include "wire/proto.h"
#include "cluster/viewer.h"
#include "cluster/viewlink.h"
#include "history/ptop.h"
#include "views/proclist.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "widgets/hitmap.h"
#include "widgets/textedit.h"
#include "widgets/widgets.h"
#include "views/views.h"

namespace machines {

constexpr u32 members_max = 64;
constexpr u32 groups = 6;
constexpr u32 columns = 8;
constexpr u32 filter_max = 32;
constexpr u32 no_peer = 255;
constexpr u32 none = 0xFFFFFFFFu;
constexpr u32 header_row = 256;  // row_kind of group g's header: 256 + g
constexpr u32 settings_max = 160;
constexpr u32 address_max = 40;

// Columns, by number.
enum : u32 {
  col_state = 0, col_name = 1, col_cpu = 2, col_memory = 3, col_gpu = 4, col_vram = 5, col_network = 6,
  col_address = 7,
};
// List flags.
enum : u8 { flag_descending = 1, flag_selected = 2, flag_forget_armed = 4 };
// Member states of the summary.
enum : u8 { state_online = 0, state_stale = 1, state_offline = 2 };

struct ListState {
  u8 sort_column;
  u8 flags;
  u8 filter_length;
  u8 shown_count;  // members that pass the filter in expanded groups
  u8 selected;     // position in the shown order
  u8 collapsed;    // bit g: group g collapsed
  u8 group_counts[groups];  // members of each group that pass the filter, collapsed or not
  u8 filter[filter_max];
  u8 order[members_max];     // member indices in display order
  u8 peer_row[members_max];  // the peers row with the member's id, no_peer when none
  u64 duplicates;            // bit i: member i's name stands again, case folded
  u8 selected_id[proto::id_size];
};
static_assert(offsetof(ListState, duplicates) == 176 && sizeof(ListState) == 200);

void list_init(ListState* s);
// The peers row that carries the member's id, no_peer when none.
u32 peer_row(const proto::MachineList* list, const proto::Peers* peers, u32 member);
// Derives peer rows, duplicates, group counts, the shown order and the selection from the tables.
void rebuild(ListState* s, const proto::MachineList* list, const proto::Peers* peers);
void keep_selection(ListState* s, const proto::MachineList* list);
void sort_by(ListState* s, u32 column);
// False only when the text (cut to 32 bytes) equals the filter already set.
bool set_filter(ListState* s, const u8* text, u32 length);
// True when there was a filter.
bool clear_filter(ListState* s);
mem::Bytes filter_text(const ListState* s);
void toggle_group(ListState* s, u32 group);
bool is_collapsed(const ListState* s, u32 group);
u32 group_count(const ListState* s, u32 group);
// The member at a shown position, none past the shown count.
u32 row_of(const ListState* s, u32 position);
// Table rows: a header for each group with members, and the members of the expanded ones.
u32 visible_count(const ListState* s);
// 256 + g for group g's header, the shown position for a member row, none past the end.
u32 row_kind(const ListState* s, u32 row);
// How many of the first n table rows are member rows.
u32 member_rows(const ListState* s, u32 n);
// Selects a shown position (none clears the selection); whether the new selection can be forgotten.
bool select_member(ListState* s, const proto::MachineList* list, u32 position);
bool step_select(ListState* s, const proto::MachineList* list, u32 rows, bool down);
bool can_forget(const ListState* s, const proto::MachineList* list);
bool arm_forget(ListState* s, const proto::MachineList* list);

// ---- Values and texts.

u32 member_count(const proto::MachineList* list);
// The host holds as many machines as it can and none of them is offline: a new machine is refused.
bool host_full(const proto::MachineList* list);
// Group of an OS code: 0..4 for codes 1..5, 5 for anything else.
u32 group_of(u32 os);
mem::Bytes os_name(u32 group);
mem::Bytes member_name(const proto::MachineList* list, u32 member);
// The 32-bit sort value of a member in a column (Name has none: 0).
u32 member_value(const ListState* s, const proto::MachineList* list, const proto::Peers* peers, u32 member,
                 u32 column);
// A peers address as text: dotted IPv4, eight lower-case hex groups for IPv6, empty for any other kind.
u32 address_text(u32 kind, const u8* address, u8 (&out)[address_max]);
u32 member_address(const ListState* s, const proto::Peers* peers, u32 member, u8 (&out)[address_max]);

// ---- The settings file "vimbrel-machines 1".

u32 format_settings(const ListState* s, u8 (&out)[settings_max]);
void parse_settings(mem::Bytes text, ListState* s);

// ---- The page.
//
// The page owns the window's viewer link and a copy of the one remote machine opened from it; every view of the
// window draws that copy instead of this computer while it is shown. The shell hands each operation the facts it
// needs in an Env and acts on the returned action bits.

constexpr u64 link_arena_bytes = 33648;
constexpr u64 remote_arena_bytes = 511696;
constexpr u32 name_most = 36;
constexpr i32 rows_top = 152, row_height = 28, wide_width = 1270;

// What the shell does after an operation.
enum : u32 {
  act_relayout = 1,     // lay out the hit map again and redraw
  act_open_view = 2,    // show the resource views (page 0), hover cleared
  act_reset_views = 4,  // the shown machine changed: reset the views' state
  act_refresh = 8,      // a new sample or process frame of the shown machine: redraw the page
  act_save = 16,        // the list settings changed: write the machines file
  act_show_page = 32,   // show the Machines page (the shell closes its other work first)
};
// Key status when the link was opened.
enum : u8 { key_ready = 0, key_missing = 1, key_refused = 2 };
// Demo flags under --test.
enum : u8 { demo_list_on = 1, demo_not_fed = 2 };
// Update confirmations.
enum : u8 { confirm_none = 0, confirm_one = 1, confirm_all = 2 };

// The remote machine shown, in its own arena.
struct RemoteCopy {
  u32 name_length;
  u8 name[name_most];
  viewer::Remote remote;  // inventory, process rows and the machine record the views draw
  ptop::Ring tops;
  model::ProcTable table;
  proclist::ListState list;
  u32 seen_frames, seen_samples, seen_changes;
  u64 seen_present;
};
static_assert(sizeof(RemoteCopy) <= remote_arena_bytes);  // the arena starts page-aligned

struct Page {
  viewlink::ViewerConn* link;
  mem::Arena link_arena;
  RemoteCopy* copy;
  mem::Arena remote_arena;
  u8 remote_shown;
  u8 key_status;
  u8 demo_flags;
  u8 updates_view;
  u8 confirm;
  u64 host_version;  // major << 32 | minor << 16 | patch; 0 unknown
  u8 confirm_id[proto::id_size];
  ListState list;
  // What refresh saw last of the link.
  u32 seen_lists, seen_link, seen_peers, seen_updates;
  u8 editing;  // the filter field is being edited
  u8 feeds;    // ticks fed under --test
  textedit::Field field;
};

// The facts of the window that the page works with.
struct Env {
  Page* page;
  const machine::Machine* own;          // this computer's record
  const model::ProcTable* own_procs;    // and its process table
  const cluster::PublishSettings* settings;  // the cluster settings: target and this computer's id
  mem::Bytes key_path;       // the cluster key file
  mem::Bytes machines_path;  // the machines list settings file
  u64 ticks;                 // ms
  i32 width, height;         // client size, logical px
  u8 shown_page;             // the window's page
  bool test;                 // --test: no window timers, demo data
  bool dial;                 // the link may dial (outside --test, or --test with live data)
  bool tops;                 // keep the remote copy's top-process ring
  bool integrated;           // --integrated: demo GPUs share memory
  u64 offered_version;       // the newest version the window's updater found, packed as the host's; 0 none
  // The settings the link dials a share with: this machine's rule for hearing the share's beacons. Null: as they are.
  cluster::PublishSettings (*share_target)(const cluster::PublishSettings* settings);
};

// Selectors for every page that draws the shown machine. shown_machine also points the views' top-process ring (when
// views is given) at the remote copy's ring or this computer's, so that tooltips name the shown machine's processes.
const machine::Machine* shown_machine(const Page* p, const machine::Machine* own, views::ViewState* views = nullptr,
                                      const ptop::Ring* own_tops = nullptr);
const model::ProcTable* shown_table(const Page* p, const model::ProcTable* own);
const proclist::ListState* shown_list(const Page* p, const proclist::ListState* own);
mem::Bytes remote_name(const Page* p);

void page_init(Page* p);
// Opening the page from the rail: stops showing a remote machine, opens the link when there is none, disarms.
u32 open(Env* e);
u32 open_link(Env* e);
u32 close_link(Env* e);
u32 click(Env* e, u64 bits_b, i32 x, i32 y);
u32 cancel_confirm(Env* e, u64 bits_b);
u32 key(Env* e, u32 virtual_key, bool* used);
u32 on_char(Env* e, u32 c);
// Timer 9: steps the link (not under --test), then refresh.
u32 timer(Env* e);
u32 refresh(Env* e);
u32 show_remote(Env* e, u32 member);
u32 stop_remote(Env* e);
u32 view_row(Env* e, u32 position);
u32 forget(Env* e);
u32 footer_click(Env* e, i32 x);
u32 row_update_click(Env* e, u32 member);
u32 update_now(Env* e, const u8* id);
// --test: the demo list (message 0x801F), the test update rows (0x8029), and each tick's feed of the shown copy.
u32 test_message(Env* e, u64 word);
u32 demo_list(Env* e, u32 count, bool not_fed, u32 host);
u32 demo_release(Env* e);
u32 demo_forget(Env* e);
u32 test_rows(Env* e, u32 a);
u32 feed_remote(Env* e);
void remote_inventory(Env* e);
// Rebuilds the list and keeps the selection.
void rebuild_list(Page* p);
// Writes the list settings file.
bool save_list(const Env* e);
void load_list(Page* p, mem::Bytes path);

// ---- Geometry.

bool wide(i32 width);
// The columns shown: 8 on a wide window (Address among them), else 7.
u32 column_count(i32 width);
// The column's left x from the content left, and right; left = right for a column not shown.
i32 column_left(u32 column, i32 width);
i32 column_right(u32 column, i32 width);
bool table_shown(const Page* p);
u32 visible_rows(const Page* p, i32 height);
i32 table_height(const Page* p, i32 height);
bool forget_enabled(const Page* p);
bool members_only(const Page* p);
bool in_update_column(const Page* p, i32 x, i32 width);
// What the hit map takes from the page.
void lay_facts(const Page* p, i32 width, i32 height, app::Facts* f);

// ---- Drawing.

void render(const Env* e, const app::Canvas& c);
void status_text(const Env* e, words::Text* line);
void forget_text(const Page* p, words::Text* line);
void host_line(const Page* p, words::Text* line);
mem::Bytes column_title(u32 column);
mem::Bytes state_word(u32 state);

}  // namespace machines
