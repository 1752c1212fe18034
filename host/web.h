#pragma once
// The web dashboard: a small HTTP/1.1 server inside the fixed host's poll round, on the member port plus 2. It
// serves the page, the script loader, the manifest, the icon and the WebAssembly viewer (all built into the
// program), and two POST routes through which a browser becomes an ordinary member of the host: each request body
// carries the browser's cluster frames, each answer the frames the host queued for it. Every response closes its
// connection but a relay's (see kept_units) and a link's stream (see the relay below); nothing here blocks or
// allocates after the host opens.
//
// The loader protocol between the page's script and the module is defined here too, so that the viewer build and
// the loader text share one set of numbers.
#include "base/mem.h"
#include "platform/sock.h"

namespace hub {
struct Host;
}

namespace web {

// ---- Bounds.

constexpr u32 clients = 8;
constexpr u32 request_size = 2048;
constexpr u32 head_max = 624;               // a response head is cut here
constexpr u32 head_area = head_max + 16;    // the head and a relay's link id behind it
constexpr u32 page_size = 2048, loader_size = 12288, manifest_size = 512;
constexpr u32 link_id_size = 16;
constexpr u32 member_slots = 96;
// Host units (100 ms): a client lives at most 5 s, a relay link 10 s after its last request.
constexpr u32 client_units = 50, link_units = 100;
// A client has 1 s for its whole request head; after an error answer its leftover bytes are read and dropped for
// at most 1 s, so that the close is an orderly one and the client sees the answer, not a reset.
constexpr u32 head_units = 10, drain_units = 10;
// A relay answer keeps its connection for the browser's next POST: a new connection each time costs both sides a
// connect and a close, and every collector on the machine a row in its socket tables. Such a connection may wait
// 8 s for its next request (a streaming browser posts every stream_post_ms); it is the first to make way for a
// newcomer.
constexpr u32 kept_units = 80;
// A link's stream (POST "/link/<id>?stream"): its answer stays open and carries, in HTTP chunks, every byte the host
// queues for the link, so the browser wakes once a second because data came, not to ask for it. What the host
// queues goes out at its once-a-second tick, all in one chunk; what it queues in reply to a browser's POST goes at
// once, and a stored-history answer every round while it is being made. A stream whose owed bytes have not moved
// for stream_stall_units is closed, and with it the link; so is one whose link expires (a streaming browser still
// posts, at least every stream_post_ms, which keeps the link and carries the viewer's frames).
constexpr u32 stream_stall_units = 50;
constexpr u32 stream_post_ms = 5000;
// Clients from one address still sending their request: a further one takes the place of its oldest. One
// accepted in the last grace units (200 ms) is not counted: a browser opens several connections at once and sends
// each request a moment after its connect, and closing such a one before its request came would reset it. Nor is
// such a one closed for any newcomer while it is its address's only one still sending; while every place holds one
// of those, newcomers wait in the kernel's queue.
constexpr u32 clients_per_address = 2, grace_units = 2;
// Bytes of leftovers read and dropped after an error answer, at most.
constexpr u32 drain_max = 262144;
constexpr u32 none = 0xFFFFFFFF;
// The page's background and theme colour, red green blue.
constexpr u32 page_colour = 0x202020;

// ---- Requests.

enum : u8 { method_other = 0, method_get = 1, method_post = 2 };
enum : u8 {
  route_none = 0,
  route_page = 1,
  route_loader = 2,
  route_module = 3,
  route_manifest = 4,
  route_icon = 5,
  route_link = 6,
  route_link_id = 7,
};
// What a route serves: nothing, a static body, or the relay.
enum : u32 { kind_none = 0, kind_static = 1, kind_relay = 2 };

// Status codes the server answers with.
enum : u32 {
  status_ok = 200,
  status_bad = 400,
  status_not_found = 404,
  status_method = 405,
  status_conflict = 409,
  status_too_large = 413,
  status_unavailable = 503,
};

// How a static body is served: gzip-compressed (the browser accepts it, and a compressed form is kept), and asked
// for under the served version ("?v=" and the version), which a browser may keep for a year.
enum : u8 { serve_gzip = 1, serve_versioned = 2 };

struct Request {
  u8 method;
  u8 route;
  u8 serve;          // serve_ bits the request allows
  u16 head_length;   // up to and including the empty line
  u32 body_length;
  u8 link_id[link_id_size];  // route 7 only
  u16 host_from, host_length;  // the Host value in the buffered bytes, blanks around it dropped; 0 long when none
  u8 stream;         // route 7 with the query "?stream": the answer is the link's stream
};

// parse_request's answer besides the status codes: more bytes are needed.
constexpr u32 parse_wait = 0;

// The offset just past the first "\r\n\r\n", 0 when there is none.
u32 head_end(mem::Bytes bytes);
// 1 when the header line's name (the text before its first ':') is the name, ASCII case ignored.
u32 header_name_is(mem::Bytes line, mem::Bytes lower_name);
// A Content-Length value: blanks around it dropped, 1 to 9 decimal digits. 1 with the value, else 0.
u32 parse_length(mem::Bytes value, u32* length);
u8 method_of(mem::Bytes method);
// The route of a request target; the target is cut at its first '?'.
u8 route_of(mem::Bytes target);
u32 route_kind(u8 route);
// 0 when the method suits the route, else the status (404 for route 0, 405 for a wrong method).
u32 check_method(u8 route, u8 method);
// 32 lower-case hex digits to 16 bytes: 1, or 0 when the text is anything else.
u32 link_id(mem::Bytes hex, u8* id);
// What the buffered bytes of one request come to: parse_wait, status_ok with the request filled in (head and
// body complete), status_bad or status_too_large.
u32 parse_request(mem::Bytes buffered, Request* request);

// The Host value's name or address without its port and a final dot: 2 for a dotted IPv4 address (address set),
// 1 for a name of letters, digits, '-', '_' and '.', 0 for anything else.
u32 host_name(mem::Bytes value, mem::Bytes* name, u32* address);
// 1 when a Host value names this host: a loopback address, an address that own_address says one of its interfaces
// holds, "localhost", or the machine's name alone or in ".local" (ASCII case ignored). A missing value is not.
u32 host_served(mem::Bytes value, mem::Bytes machine, u32 (*own_address)(u32));

// ---- Responses.

mem::Bytes status_line(u32 status);
// The route's content type for status 200 on a static route; every other answer is "application/octet-stream".
mem::Bytes content_type(u32 status, u8 route);
// The response head into area (at most head_max bytes are used): its length. serve: the serve_ bits of the body
// sent (a compressed body says so; a versioned one may be kept, everything else is never stored).
u32 write_response(mem::Slice area, u32 status, u8 route, u64 body_length, u8 serve = 0);
// The body length that writes "Transfer-Encoding: chunked" in place of a Content-Length: a link's stream.
constexpr u64 chunked = ~u64{0};
// A relay's 200 answer keeps its connection ("Connection: keep-alive"); every other answer closes it, and so does
// the end of a stream.
bool keeps_connection(u32 status, u8 route);
// 1 when an Accept-Encoding value takes gzip (named, and not with q=0).
u32 takes_gzip(mem::Bytes value);
// The serve_ bits a static route's answer uses for what the request allows: gzip only for the module.
u8 serve_of(u8 route, u8 allowed);

// ---- Texts.

// A bounded text being written: once something does not fit, over is set and nothing more is written.
struct Text {
  u8* ptr;
  u32 capacity;
  u32 length;
  u32 over;
};
void put(Text* text, mem::Bytes bytes);
void put_dec(Text* text, u64 value);
// '#' and six lower-case hex digits of a 0xRRGGBB colour.
void put_colour(Text* text, u32 rgb);
// NAME = value
void put_const(Text* text, mem::Bytes name, u64 value);

// Each writes its text into the buffer and returns its length, or 0 when it did not fit.
u32 page_html(mem::Slice buffer);
u32 manifest_json(mem::Slice buffer);
u32 loader_js(mem::Slice buffer);

// ---- Built into the program from web/ when it is built: the three templates (with {{colour}} and {{constants}}
// where their values go), the icon and the viewer module. Each array has a zero byte past its size.

extern const u8 page_template[], manifest_template[], loader_template[], icon_svg[], viewer_module[];
extern const u64 page_template_size, manifest_template_size, loader_template_size, icon_svg_size, viewer_module_size;
// The module gzip-compressed, and the version that names the served files (16 hex digits).
extern const u8 viewer_module_gz[], served_version[];
extern const u64 viewer_module_gz_size, served_version_size;

// ---- The loader protocol. A message to the module is a 64-byte head and its payload; the module answers with
// commands, each an 8-byte head (command, length) and its bytes.

constexpr u32 message_head = 64;
enum : u32 { at_now = 4, at_a = 8, at_b = 12, at_c = 16, at_handle = 24, at_random = 32 };
enum : u32 { msg_init = 1, msg_resize = 2, msg_tick = 3, msg_pointer = 4, msg_key = 5, msg_net = 6, msg_wheel = 7 };
// Beyond those: every head also carries the browser's wall clock in the four bytes before the handle (u32 seconds
// since 2025-01-01 00:00 UTC, the system's own time, which stored history is kept in), and typing reaches the page
// as CHAR (a = the Unicode code point of a typed character) and KEYDOWN (a = the virtual-key code of a named key:
// Backspace 8, Enter 13, Escape 27, Page Up 33, Page Down 34, End 35, Home 36, the arrows 37 to 40, Delete 46).
constexpr u32 at_clock = 20;
constexpr u32 clock_epoch = 1735689600;  // 2025-01-01 00:00 UTC in Unix seconds
enum : u32 { msg_char = 8, msg_key_down = 9 };
constexpr u32 command_head = 8;
enum : u32 { cmd_frame = 1, cmd_post = 2, cmd_save_key = 3, cmd_ask_key = 4, cmd_handle = 5 };
// Beyond those: WAKE (u32 ms) asks for the next TICK after that many milliseconds (never sooner than tick_ms),
// replacing the wait asked before; a viewer with nothing to time is not woken ten times a second.
// STREAM (u32 id, u32 n, n bytes of path, then the body) POSTs as POST does but reads the answer as it comes: its
// head reaches the module as NET with b = net_part, c = id and no payload, each part of its body the same way with
// the bytes, and its end (or a failure, a = 0) as NET with b = net_end; a STREAM with no path ends the stream that
// runs, unread. A NET with b = 0 is a POST's answer.
enum : u32 { cmd_wake = 6, cmd_stream = 7 };
enum : u32 { net_answer = 0, net_part = 1, net_end = 2 };
enum : u32 { pointer_down = 1, pointer_move = 2, pointer_up = 3, pointer_cancel = 4 };
constexpr u32 tick_ms = 100, ratio = 100;

// ---- The server's state, carved from the host's arena.

struct Web {
  sock::Socket listener;
  u16 port;
  u64 busy;        // over the client slots
  u64 responding;
  u32 held_until;  // host units: while no newcomer can have a place, the listener waits until this; 0 when it is polled
  u32 links_opened;
  u32 answered;    // 200 responses
  u32 idle_closed;
  sock::Socket socket[clients];
  u32 address[clients];
  u32 accepted[clients];     // host units
  u16 fill[clients];
  u16 head_length[clients];  // of the response head area in use: head plus bytes placed after it
  u16 head_sent[clients];
  u32 body_length[clients];
  u32 body_sent[clients];
  u32 member[clients];       // the relay slot whose out-buffer is the body; none for a static body
  u32 route[clients];
  u32 progress[clients];     // host units of the last byte taken from or given to the client
  u32 drained[clients];      // leftover bytes dropped after an error answer
  u64 draining;              // clients answered with an error, whose leftovers are being dropped before the close
  u64 lingers;               // clients whose answer is an error: they drain once it is sent
  u64 kept;                  // clients whose relay answer was sent, waiting on the same connection for the next request
  u64 streaming;             // clients whose answer is their link's stream (member is the link's slot)
  u32 chunk_left[clients];   // of a stream: bytes of the chunk being sent still to come from the out-buffer
  u32 stream_closed;         // streams ended: their browser went, stalled, or their link ended
  u16 used[clients];         // bytes of the request buffer the request being answered took
  u32 evicted;               // clients closed to make room for a newer one
  u8 request[clients][request_size];
  u8 head[clients][head_area];
  u64 web_members[2];        // member slots that are browser links
  u8 link_ids[member_slots][link_id_size];
  u32 last_request[member_slots];
  u8 page[page_size];
  u8 loader[loader_size];
  u8 manifest[manifest_size];
  u16 page_length, loader_length, manifest_length;
  u8 machine[64];  // the machine's name: a Host that gives it is served
  u32 machine_length;
};

// What the dashboard adds to the host's arena.
u64 arena_size();
// The page, loader and manifest written once into their areas (a text that overflows has length 0).
void prepare(Web* web);
// The body a static route serves, compressed with serve_gzip in serve.
mem::Bytes static_body(const Web* web, u8 route, u8 serve = 0);

// ---- The server inside the host's round.

// Carves the state from the arena, prepares the texts and listens on the host's address and web port: 1 or 0.
u32 open(hub::Host* host, mem::Arena* arena);
// The listener, when a newcomer can have a place, and every busy client (to read, or to write while it is
// answered), into the host's poll set; now is the round's clock.
void add_to_poll(hub::Host* host, u32 now);
// True when a newcomer can have a place now: a free slot, or a client that may be closed for it.
bool has_room(const Web* web, u32 now);
// Takes the waiting connections; now is the clock after the round's wait, which their time is counted from.
void accept(hub::Host* host, u32 now);
// The poll reported the client (events is true when it is readable, failed or hung up).
void client_io(hub::Host* host, u32 client, u32 events, u32 now, u32 wall);
// Once a round: clients older than 5 s, stalled streams, links without a request for 10 s, links the host has
// closed; streams that carry a stored-history answer get what is queued.
void upkeep(hub::Host* host, u32 now);
// Right after the host's once-a-second tick: every stream gets what is queued for its link.
void second(hub::Host* host, u32 now);
void close_client(hub::Host* host, u32 client);
// The client to close for a newcomer from the address: with clients_per_address of that address still sending
// their requests past their grace, the oldest of those; with every slot busy, one draining, else one still sending its request
// (from the address that has the most such; not its address's only one within its grace), else one being answered,
// the longest without progress first. none when the newcomer finds a free slot as it is, or when no client may be
// closed (see has_room).
u32 make_room(const Web* web, u32 address, u32 now);
// Every client and the listener. The links' member slots belong to the host, which frees them itself.
void close(hub::Host* host);
// Builds the head (placed bytes follow it) and starts sending.
void respond(hub::Host* host, u32 client, u32 status, u8 route, mem::Bytes placed, u32 extra, u8 serve = 0);
// Receives what fits into the request buffer and, once the request is whole, answers it.
void read_client(hub::Host* host, u32 client, u32 now, u32 wall);
// Sends what the socket takes: the head area, then the body. The client closes once all is sent (a relay answer's
// connection waits for the next request instead, see kept_units), when bytes are owed but none are left to send, or
// when the socket fails.
void write_client(hub::Host* host, u32 client);
// A kept connection waits for its next request: the slot is reading again, with nothing of the last answer.
void keep_client(hub::Host* host, u32 client);
// Reads and drops what a client answered with an error still sends; closes it at its end, on a failure, or past
// drain_max bytes.
void drain_client(hub::Host* host, u32 client);
// A whole request: its method checked, then a static body or the relay.
void route(hub::Host* host, u32 client, const Request* request, u32 now, u32 wall);
// The body of a whole request, in the client's request buffer behind its head.
mem::Bytes take_body(const Web* web, u32 client, const Request* request);

// ---- The relay.

// POST "/link": a new member slot for the browser, fed the body; the answer is the link id and what the host queued.
void open_link(hub::Host* host, u32 client, mem::Bytes body, u32 now, u32 wall);
// POST "/link/<id>": the body fed to the link's slot; the answer is what the host queued, or nothing while the link
// has a stream (what the host queued goes down the stream). With stream set the answer becomes the link's stream
// (409 when it has one).
void post_link(hub::Host* host, u32 client, const u8* id, mem::Bytes body, u32 now, u32 wall, u32 stream = 0);
// The client that streams the member slot's link, or none.
u32 stream_of(const Web* web, u32 member);
// Sends what a stream owes and, with flush, a chunk of everything queued for its link. A stream that cannot go on
// (its socket failed, its chunk lost its bytes) is closed with its link.
void write_stream(hub::Host* host, u32 client, u32 now, bool flush);
// 1 when the whole body went into the slot's in-buffer and the host took its frames, else 0.
u32 feed_link(hub::Host* host, u32 member, mem::Bytes bytes, u32 now, u32 wall);
// The member slot of the link id, or none.
u32 find_link(const Web* web, const u8* id);
// 1 while a client is sending this member slot's answer (a stream is not such an answer).
u32 link_busy(const Web* web, u32 member);
u32 is_link(const Web* web, u32 member);
void drop_link(hub::Host* host, u32 member);

}  // namespace web
