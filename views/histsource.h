#pragma once
// The history source of the window's charts: when a resource page shows a stored range (1 hour to 2 years) its
// table is filled from the cluster host through the viewer link, from this machine's own history files, or under
// the test mode from synthetic data. The source owns the arena the table lives in, reopens whenever what is shown
// changes, pumps requests and answers on the window's 100 ms timer and feeds each tick's live sample into the table.
// It is the chart-source half of the local history (the functions keep the localhist names).
//
// The viewer link belongs to the Machines page: it fills a HostLink for every call, and reads wants_link to learn
// that the shown range needs the link open.
#include "base/mem.h"
#include "history/hist.h"
#include "history/shareread.h"
#include "history/store.h"

namespace machine {
struct Machine;
}
namespace viewer {
struct ViewerLink;
}

namespace localhist {

// Source kinds.
enum : u8 {
  source_none = 0,
  source_host = 1,
  source_files = 2,
  source_demo = 3,         // test: synthetic data
  source_silent = 4,       // test: never answers
  source_unreachable = 5,  // test: the host cannot be reached (no table at all)
};

constexpr u32 read_bytes = 65536;
constexpr u32 read_budget = 65536;
constexpr u32 demo_chunk = 768;
// A host request without an answer after this long is asked again.
constexpr u64 answer_wait_ms = 10000;

// What the window shows, taken at every refresh.
struct Shown {
  u8 page;        // the window's page; the source stays open only on the resource page (0)
  u8 range;       // the views' range
  u8 view;        // the views' view id
  u8 measure[2];  // the view's history measures (255 none)
  bool linked;    // the Machines page's viewer link is on
  i32 machine;    // the member selected on the Machines page, -1 none
  bool test;
  u8 test_source;
  bool publishing;        // the publish settings name a target
  const u8* own_id;       // this machine's id from the publish settings, null when it has none
  const u8* member_id;    // the selected member's id while the viewer link is on, else null
};

// The viewer link's side, filled by its owner.
struct HostLink {
  viewer::ViewerLink* link;  // null while the window has none
  bool connected;
  bool expected;  // the window expects a host: a link is wanted, a host is set, or members are listed
};

struct Source {
  mem::Arena arena;
  hist::Table* table;  // null while no source is open
  u8* buffer;
  u32 buffer_bytes;
  u8 kind;
  share::FolderRing reader;
  u8 reader_open;
  u32 word;  // settings word of the open source, 0 while none
  u8 test_source;
  u8 wants_link;     // kind 1 is open: the Machines page should open the viewer link
  u32 folded_asked;  // the table's folded count when the open file request began
  u64 arena_bytes;   // reserved, for tests and the footprint
  u64 asked_ms;      // when the open host request went out
};

void init(Source* source);

u32 ranges_offered(const Source& source, bool test);
u32 settings_word(const Shown& shown, u8 kind);
u8 source_kind(const Shown& shown);
// "<LOCALAPPDATA>/Vimbrel/history/<32 hex digits>"; false without LOCALAPPDATA or when the path does not fit.
bool folder(const u8* id16, store::Path* out);
// The id of the machine shown: the selected member while linked, else this machine's own, else 16 zero bytes.
void machine_id(const Shown& shown, u8 (&out)[16]);
bool has_files(const u8* id16);

// Every frame: closes and reopens the source when the settings word changed; true when the table changed (the
// caller hands source->table to the views).
bool refresh(Source* source, const Shown& shown, HostLink* link, u32 now);
void open_source(Source* source, const Shown& shown, HostLink* link, u32 now);
void close_source(Source* source, HostLink* link);
// Closes the source and stores the test source; the caller lays the window out again.
void set_test_source(Source* source, HostLink* link, u8 value);
bool is_linked(const Source& source);

// The 100 ms timer: true when the table changed and the chart is to be drawn again.
bool poll(Source* source, HostLink* link, u64 now_ms);
bool pump(Source* source, HostLink* link, u64 now_ms);
void pump_link(Source* source, HostLink* link, u64 now_ms);
void pump_files(Source* source);
void pump_demo(Source* source);
bool open_reader(Source* source, u32 tier);

// Every tick: the newest sample of the machine shown into the table, once per sample the machine took (energy
// tables take the ring's new rows).
void take_live(Source* source, const machine::Machine& m, u32 now);

// The synthetic data: a deterministic function of the time.
bool demo_bucket(u32 time, store::Bucket* out);
void demo_energy(const store::Bucket& bucket, u32 interval, store::Energy* out);

}  // namespace localhist
