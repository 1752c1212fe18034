#pragma once
// The host process around the hub: its arena, opening and closing, the sockets of a round, the round loop with its
// once-a-second duties and its wait, and the --host entry. Time is counted in host units from the process's start.
#include "base/mem.h"
#include "wire/auth.h"
#include "history/hstore.h"
#include "history/share.h"
#include "history/shareread.h"
#include "host/hub.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/sock.h"

namespace web {
struct Web;
}
namespace linuxfeed {
struct Feed;
}

namespace hub {

using Writer = void (*)(mem::Bytes bytes);

struct Options {
  u32 listen;     // IPv4 host order, 0 any
  u16 port;       // member port
  u16 web_port;
  u32 flags;
  u16 version[3];
  u64 round_limit;
};

// What a poll entry stands for: a member slot by its number, or one of these (a web client adds its number).
enum : u32 { entry_listener = 0x10000, entry_web = 0x20000, entry_web_client = 0x30000, entry_stop = 0x40000 };

// The history answer in progress.
enum : u32 { step_names = 0, step_tops = 1, step_buckets = 2, step_energy = 3 };
struct Answering {
  u32 slot;       // all ones for none
  u32 admitted;   // of that slot, to notice a reused slot
  u32 machine;    // the share's index of the asked machine, all ones when unknown
  u32 step;
  u8 energy;      // energy rows wanted
  u8 waiting;     // waiting for room
  u8 cursor_open;
  u32 names_cursor;
  u32 waiting_since;
  share::Cursor cursor;
};

struct ShareCounters {
  u32 inventories;
  u32 buckets;
  u32 buckets_table_full;
  u32 tier_buckets;
  u32 energy;
  u32 tops;
  u32 cut_short;
  u32 parts;
};

struct Host {
  Hub* hub;
  sock::Socket listener;
  u16 port;
  u64 start_tick;
  u32 next_tick;
  u64 rounds;
  os::RandomSource random;
  // The clock read after a round's wait (os::clock_ms; a test gives its own): the dashboard stamps the connections
  // it accepts with it, not with the round's clock, read before a wait that may last a second.
  u64 (*clock)();
  Writer writer;
  sock::Socket sockets[slots];
  sock::PollSet poll;
  u32 meaning[sock::poll_capacity];
  share::Share* share;
  u32 stop_reason;
  u32 verdict;
  hstore::Watch watch;
  u8 waiting_printed;
  u8 closed;
  Options options;
  u32 wall;
  u64 tick;
  u64 round_started;  // the clock when the round began, for now_units
  kobj::Handle stop_event;
  u8 stop_asked;      // the poll found the stop event set
  Answering answer;
  u8 cursors[3];      // round robin: inventories, buckets, top rows
  ShareCounters written;
  u32 accepted;
  u32 refused_at_accept;
  u32 no_random;
  u32 send_failures;
  u32 receive_failures;
  u32 evicted;                      // handshaking connections dropped to make room for newer ones
  u32 trouble_said;                 // the share's trouble notes printed, by their count
  u8 step_said;                     // the line on history stored ahead of this host's clock is printed
  web::Web* web;                    // the dashboard, with flag_web only
  linuxfeed::Feed* feed;            // the Linux builds that update links are served from
  share::Answer rows;               // one buckets part
  alignas(8) u8 area[16384];        // one rows frame's rows
};

// The arena of the host process: the records it carves, rounded up, and slack for alignment; the dashboard's own
// state comes on top with flag_web.
u64 arena_size();
// The dashboard's share of it: its own state with flag_web, else 0.
u64 web_arena_size(u32 flags);

// Entry of --host: 4 with "vimbrel host: no share or folder" for an empty share path, else hub::main's result.
u32 host_command(mem::Bytes share, mem::Bytes key_path, u32 listen, u16 port, u32 flags, const u16* version);
// The --host process; its exit code.
u32 main(mem::Bytes share, mem::Bytes key_path, const Options* options);
// create, then the listener (and its port); 1 or 0.
// As open, on the election's listener: the options carry flag_election_listener, so closing leaves it open. The
// election then gives the host its share, verdict, writer and random source, its term and its id.
u32 open_elected(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick,
                 sock::Socket listener);
u32 open(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick);
u32 create(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick);
// Rounds until the limit, a stop reason or the stop event.
void run(Host* host, u64 round_limit);
void step(Host* host, u32 timeout_ms, u64 tick_ms, u32 wall);
// How long the next round's poll may wait at the given clock: until the next once-a-second duty, at most a second;
// 0 while a history answer or an update chunk can go out now; at most 100 ms while an older term's history is
// carried over. Between those the host sleeps until a socket or the stop event wakes it.
constexpr u32 tick_wait_max = 1000, carry_wait = 100;
u32 wait_ms(const Host* host, u64 tick_ms);
// Last flush, every socket closed once, the listener closed unless the election owns it. A second call does nothing.
void close(Host* host);
void stop(Host* host, u32 reason);

bool answer_ready(const Host* host);

// Socket side of a round.
void accept_members(Host* host, u32 now);
void read_member(Host* host, u32 slot, u32 now);
void flush_member(Host* host, u32 slot, u32 now);
void drop_member(Host* host, u32 slot);
void close_finished(Host* host, u32 now);

// Host units and the output.
u32 now_units(const Host* host);
void log(const Host* host, mem::Bytes text);
void log_dec(const Host* host, u64 value);
u32 seconds_since_2025(u64 filetime);
u32 elapsed_units(u64 earlier, u64 later);
u32 ratio_x10000(u64 part, u64 whole);

}  // namespace hub
