#pragma once
// The browser viewer: the dashboard's page in the browser, run one loader message at a time. It asks for the
// cluster key, joins the host as a viewer through the relay (its cluster frames travel in POST bodies), lists the
// cluster's machines and shows a chosen machine's Overview, resource pages (live, and stored ranges asked of the host
// through the same link) and processes, drawn by the own renderer into frames for the page's canvas. Everything it
// says to the browser is a run of loader commands in its out buffer; the pixels of a frame leave through the drawing
// layer's presents.
#include "base/mem.h"
#include "cluster/viewer.h"
#include "views/histsource.h"
#include "drawing/draw.h"
#include "views/proclist.h"
#include "pages/procpage.h"
#include "platform/gdi.h"
#include "sampling/model.h"
#include "views/overview.h"
#include "views/views.h"

namespace webcore {

// Milliseconds between two polls of the relay. The host sends what a viewer follows (the list, the watched
// machine's sample and processes) once a second: after an answer that brought it, the next poll is timed to reach
// the host steady_margin_ms before the same point of its next second (the last poll's delay, from when it was due
// to its answer, counted in); one that finds nothing yet asks again after late_poll_ms, for as long as
// late_window_ms after the last data. So the polls settle just after the host's second, about one a second. A link
// that hears nothing regular polls every poll_ms; a busy one (frames to send, the handshake, a stored range asked
// and not yet answered) every busy_poll_ms.
constexpr u32 poll_ms = 500, busy_poll_ms = 50, host_second_ms = 1000, steady_margin_ms = 20, late_poll_ms = 100,
              late_window_ms = 1500, poll_delay_most = 200;
// What the host sends on its own is drawn at most once in this many milliseconds; what the user does at once.
constexpr u32 data_frame_ms = 900;
// The longest the viewer lets the page wait for its next tick; with the link's stream open the stream's parts wake
// it, and its own wait is the next POST's.
constexpr u32 wake_most_ms = 1000;
// After a failed link: the first wait before a new one, doubled up to the last.
constexpr u32 retry_first_ms = 1000, retry_most_ms = 8000;
constexpr u32 key_text_most = 128;
constexpr u32 out_room = 16384;      // commands of one message
constexpr u32 post_room = 1024;      // the frames of one POST
// The largest frame in device pixels: the renderer is made once for this size.
constexpr u32 frame_width_most = 2560, frame_height_most = 1600;
constexpr u32 list_rows_most = 64;

enum Page : u8 { page_machines = 0, page_machine = 1 };
// What a machine's page shows: its resource views, its processes or its Overview.
enum Tab : u8 { tab_resources = 0, tab_processes = 1, tab_overview = 2 };
// The strip's buttons on a machine's page, counted from the right.
enum Button : i32 { button_machines = 0, button_processes = 1, button_resources = 2, button_overview = 3 };
enum LinkState : u8 { link_none = 0, link_opening = 1, link_linked = 2 };
// Once its session is open, the link asks the host for its stream (the browser is then woken once a second by the
// host's data, not by a timer and a POST): asked, then open when its head came. The viewer then POSTs only its own
// frames, and at least every web::stream_post_ms to keep the link; the POSTs' answers are empty. Until the head
// came no POST goes, so every byte for the link comes one way, in order. A stream that ends or fails ends the link,
// which is opened again. With streams 0 the link polls.
enum StreamState : u8 { stream_none = 0, stream_asked = 1, stream_open = 2 };
enum Notice : u8 { notice_none = 0, notice_wrong_key = 1, notice_bad_key = 2, notice_lost = 3 };

// Layout of the Machines list in logical px.
constexpr i32 list_top = 108, row_height = 32, list_left = 24;

struct Core {
  // The browser's window.
  i32 width, height;              // logical px (CSS px)
  i32 pixel_width, pixel_height;  // device px
  u32 dpi;
  u64 now;  // ms since the page started
  u32 last_now;
  u32 clock;  // the browser's wall clock in seconds since 2025 (the system's time), 0 when the loader gives none
  // The cluster key.
  u8 key_known, key_saved;
  u8 key_text[key_text_most];
  u32 key_length;
  auth::KeyState key;
  // The relay link.
  u8 link_state;
  u8 posting;     // a POST is out and its NET not back
  u8 busy;        // frames to send, a stored range asked and not answered, or the handshake going on
  u8 link_id[16];
  u64 next_post;  // when the next POST may go
  u64 post_due;   // when the POST that is out was due
  u32 poll_delay; // from when the last POST was due to its answer, ms (at most poll_delay_most)
  u32 retry_ms;
  u32 posts, answers, failures, links;
  u8 streams;      // the link asks for its stream (create sets it)
  u8 stream;       // StreamState
  u32 stream_id;   // of the stream asked last; the loader gives it back with its parts
  viewer::ViewerLink link;
  viewer::Remote* remote;  // the watched machine's copy
  u8 receive[viewer::receive_room];
  // What is shown.
  u8 page;
  u8 notice;
  u8 dirty;      // a frame is due
  u8 data_due;     // the host's data changed since the last frame; drawn once data_frame_ms have passed
  u8 data_paced;   // a frame for the host's data was drawn at data_frame_at on this page (0: the next is at once)
  u64 data_frame_at;
  u8 data_heard;   // an answer brought the host's data, at data_heard_at
  u64 data_heard_at;
  u8 watching;   // a machine was chosen
  u8 watched_id[16];
  u8 tab;
  u32 procs_taken;  // the watched machine's process frames folded into the table
  i32 hover_row;  // -1 none
  i32 pointer_x, pointer_y;
  u32 list_stamp;  // the list's content at the last frame
  u32 frames;
  gdi::Handle window;
  draw::Surface surface;
  views::ViewState views;
  model::ProcTable* procs;  // the watched machine's processes as the Processes page reads them
  proclist::ListState* list;
  procpage::PageLayout* proc_page;
  overview::OverviewState overview;
  localhist::Source history;  // the stored range shown, asked of the host through the link
  u32 samples_taken;          // the watched machine's samples fed into the stored range
  mem::Arena arena;
  // Commands for the browser from the current message.
  u32 out_used;
  u8 out[out_room];
};

// The core record, its remote copy and the process page's records from the arena; null when they do not fit.
Core* create(mem::Arena* arena);
// Returns the window, the surface and the views' sheet (a browser never calls it: the page's end ends the module).
void close(Core* c);
// One loader message (the 64-byte head and its payload): the commands it gives land in core->out from 0.
void message(Core* c, mem::Bytes bytes);

// Pieces of the above, named for tests.
// The key as typed or stored: the key file's text, or its 64 hex digits alone; blanks and line ends around it are
// ignored. 0 with the 32 bytes, else the key verdict.
u32 read_key(mem::Bytes text, u8 out[32]);
void set_size(Core* c, i32 css_width, i32 css_height, i32 ratio);
void take_key(Core* c, mem::Bytes text);
// A POST's answer (part web::net_answer), or a part or the end of the stream numbered id.
void take_net(Core* c, i32 status, mem::Bytes body, u32 part = 0, u32 id = 0);
// Milliseconds from an answer to the next poll; fresh: the answer brought the host's data.
u32 poll_wait(const Core& c, bool fresh);
void tick(Core* c);
void pointer(Core* c, i32 x, i32 y, i32 type);
void wheel(Core* c, i32 x, i32 y, i32 delta);
// Typing: a character (its code point) and a named key (its virtual-key code), for the Processes page: its filter,
// its selection (the arrows) and its scrolling (Page Up, Page Down, Home, End).
void typed(Core* c, u32 code_point);
void key_down(Core* c, u32 key);
// The stored-range source follows what is shown: opened for a stored range on the resources tab, closed otherwise;
// its requests and answers ride the link, and the watched machine's new samples go into its table.
void follow_history(Core* c);
// The strip button under a point, -1 for none.
i32 button_at(const Core& c, i32 x, i32 y);
// The list row under a point, -1 for none.
i32 row_at(const Core& c, i32 x, i32 y);
void draw_frame(Core* c);
// Milliseconds until the viewer next has something to do on a tick (0: at once): a POST due, a retry, a frame of
// the host's data held back, a stored range's requests; at most wake_most_ms.
u32 wake_ms(const Core& c);
// The relay path of a link id: "/link/" and 32 lower-case hex digits, into 38 bytes.
void link_path(const u8 id[16], u8 out[38]);
// Appends a command; false when it does not fit (nothing is appended).
bool command(Core* c, u32 kind, mem::Bytes a, mem::Bytes b);

}  // namespace webcore
