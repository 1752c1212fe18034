#include "web/webcore.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "base/words.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "cluster/publish.h"
#include "host/web.h"
#include "drawing/layout.h"
#include "platform/os.h"
#include "shell/title.h"
#include "widgets/widgets.h"
#include "views/histchart.h"
#include "views/render.h"

namespace webcore {

namespace {

// Colours (0x00BBGGRR) beside the shell's.
constexpr u32 colour_online = 0x6CC96C, colour_offline = 0x707070, colour_warning = 0x4DB4FC;
constexpr i32 back_width = 160;  // the strip's buttons on a machine's page: Overview, Resources, Processes, Machines
constexpr u32 strip_buttons = 4;
constexpr u8 no_tab = 255;
// The tab each strip button shows; the first leaves for the list.
constexpr u8 tab_of_button[strip_buttons] = {no_tab, tab_processes, tab_resources, tab_overview};

u32 get32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }
i32 arg(mem::Bytes m, u32 at) { return static_cast<i32>(get32(m.ptr + at)); }

void put32(u8* p, u32 v) {
  for (u32 i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

bool is_blank(u8 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

mem::Bytes trimmed(mem::Bytes t) {
  while (t.len && is_blank(t.ptr[0])) t = mem::Bytes(t.ptr + 1, t.len - 1);
  while (t.len && is_blank(t.ptr[t.len - 1])) t.len -= 1;
  return t;
}

void redraw(Core* c) { c->dirty = 1; }

// New data from the host: drawn now when it is the first for the page shown or the last such frame is
// data_frame_ms old, else by the tick that reaches that time.
void data_changed(Core* c) {
  if (c->data_paced && c->now < c->data_frame_at + data_frame_ms) {
    c->data_due = 1;
    return;
  }
  c->data_paced = 1;
  c->data_frame_at = c->now;
  redraw(c);
}

// Another page or tab: what the host sends for it is drawn as soon as it comes.
void page_changed(Core* c) {
  c->data_paced = 0;
  redraw(c);
}

void ask_key(Core* c, bool show) {
  u8 flag[4];
  put32(flag, show ? 1 : 0);
  command(c, web::cmd_ask_key, mem::Bytes(flag, 4), mem::Bytes());
}

void forget_key(Core* c) {
  c->key_known = 0;
  c->key_saved = 0;
  c->key_length = 0;
  auth::wipe(&c->key, sizeof c->key);
  command(c, web::cmd_save_key, mem::Bytes(), mem::Bytes());
  ask_key(c, true);
}

// The stream asked or open is ended, unread: its host-side end then goes at once.
void stop_stream(Core* c) {
  if (c->stream == stream_none) return;
  c->stream = stream_none;
  u8 head[8];
  put32(head, c->stream_id);
  put32(head + 4, 0);
  command(c, web::cmd_stream, mem::Bytes(head, 8), mem::Bytes());
}

void drop_link(Core* c, bool retry) {
  stop_stream(c);
  c->link_state = link_none;
  c->posting = 0;
  c->busy = 0;
  c->data_heard = 0;
  viewer::stop(&c->link);
  c->link.watched = nullptr;
  if (retry) {
    c->next_post = c->now + c->retry_ms;
    c->retry_ms = c->retry_ms * 2 > retry_most_ms ? retry_most_ms : c->retry_ms * 2;
    ++c->failures;
  }
  redraw(c);
}

// A POST of the link's frames to the path; as STREAM, the path's answer being the link's stream.
bool post_frames(Core* c, mem::Bytes path, bool stream) {
  const mem::Bytes frames = viewer::out_data(&c->link);
  u8 both[64];
  const u32 at = stream ? 4 : 0;
  put32(both, c->stream_id);
  put32(both + at, static_cast<u32>(path.len));
  __builtin_memcpy(both + at + 4, path.ptr, path.len);
  const u32 kind = stream ? u32{web::cmd_stream} : u32{web::cmd_post};
  if (!command(c, kind, mem::Bytes(both, at + 4 + path.len), frames)) return false;
  viewer::sent(&c->link, frames.len);
  return true;
}

void post(Core* c, mem::Bytes path) {
  if (!post_frames(c, path, false)) return;
  c->posting = 1;
  c->post_due = bits::min64(c->now, c->next_post);  // earlier than planned when frames were waiting
  ++c->posts;
}

void open_link(Core* c) {
  viewer::init(&c->link, &c->key, c->receive, sizeof c->receive);
  c->link.target_kind = publish::target_fixed;
  viewer::dialing(&c->link, c->now);
  u8 nonce[proto::nonce_size];
  const bool drawn = os::random_bytes(mem::Slice{nonce, sizeof nonce}) != 0;
  if (!viewer::connected(&c->link, nonce, sizeof nonce, drawn, c->now)) {
    drop_link(c, true);
    return;
  }
  c->link_state = link_opening;
  ++c->links;
  post(c, mem::lit("/link"));
}

void continue_link(Core* c) {
  viewer::idle(&c->link, c->now);  // a ping when nothing went for a while
  u8 path[38];
  link_path(c->link_id, path);
  post(c, mem::Bytes(path, sizeof path));
}

void open_stream(Core* c) {
  u8 path[38 + 7];
  link_path(c->link_id, path);
  __builtin_memcpy(path + 38, "?stream", 7);
  ++c->stream_id;
  if (post_frames(c, mem::Bytes(path, sizeof path), true)) c->stream = stream_asked;
}

// The link is open: the key is right, so it is kept and the form goes; a chosen machine is watched again.
void linked(Core* c) {
  if (!c->key_saved) {
    command(c, web::cmd_save_key, mem::Bytes(c->key_text, c->key_length), mem::Bytes());
    ask_key(c, false);
    c->key_saved = 1;
  }
  c->notice = notice_none;
  c->retry_ms = retry_first_ms;
  if (c->watching && c->link.watched == nullptr) {
    viewer::reset_remote(c->remote);
    viewer::watch(&c->link, c->watched_id, c->remote, c->now);
  }
  redraw(c);
}

// A refusal for the key, or a host that could not prove it knows it: the key is wrong.
bool key_refused(const viewer::ViewerLink& l) {
  return (l.status == cluster::status_refused && l.refuse_reason == 2) || l.status == cluster::status_host_proof;
}

bool feed(Core* c, mem::Bytes body) {
  const bool was_open = viewer::ready(&c->link);
  while (body.len) {
    const mem::Slice room = viewer::in_room(&c->link);
    if (room.len == 0) return false;
    const u64 n = body.len < room.len ? body.len : room.len;
    __builtin_memcpy(room.ptr, body.ptr, n);
    if (!viewer::received(&c->link, static_cast<u32>(n), c->now)) return false;
    body = mem::Bytes(body.ptr + n, body.len - n);
  }
  if (!was_open && viewer::ready(&c->link)) linked(c);
  return true;
}

// The stored range's table goes, and the link forgets it: an answer still coming must not land in freed memory.
void close_history(Core* c) {
  localhist::HostLink link{&c->link, viewer::ready(&c->link), true};
  localhist::close_source(&c->history, &link);
  views::set_hist(&c->views, nullptr);
}

void choose(Core* c, u32 row) {
  if (row >= c->link.list.count || !viewer::ready(&c->link)) return;
  close_history(c);
  __builtin_memcpy(c->watched_id, c->link.list.ids[row], 16);
  c->watching = 1;
  c->samples_taken = 0;
  overview::init(&c->overview);
  viewer::reset_remote(c->remote);
  viewer::watch(&c->link, c->watched_id, c->remote, c->now);
  model::table_init(c->procs);
  proclist::init(c->list);
  procpage::init(c->proc_page);
  procpage::layout(c->proc_page, c->width, c->height);
  c->procs_taken = 0;
  c->tab = tab_resources;
  c->page = page_machine;
  c->hover_row = -1;
  c->next_post = c->now;
  page_changed(c);
}

void show_tab(Core* c, u8 tab) {
  c->tab = tab;
  if (tab == tab_processes) procpage::layout(c->proc_page, c->width, c->height);
  page_changed(c);
}

// The watched machine's newest process record into the table the Processes page reads.
void fold_procs(Core* c) {
  if (c->remote->proc_frames == c->procs_taken) return;
  c->procs_taken = c->remote->proc_frames;
  viewer::take_procs(&c->remote->procs, c->procs);
  proclist::rebuild(c->list, c->procs);
  procpage::clamp_scroll(c->proc_page, c->list);
}

void back_to_list(Core* c) {
  if (c->watching && viewer::ready(&c->link)) viewer::unwatch(&c->link, c->now);
  c->watching = 0;
  follow_history(c);
  c->link.watched = nullptr;
  c->page = page_machines;
  c->next_post = c->now;
  page_changed(c);
}

// The views, or the Overview's cards over them, laid out for the watched machine and the browser's size. Stored
// ranges are offered once the browser gives its clock: a range is asked from a time.
void arrange(Core* c) {
  const machine::Machine& m = c->remote->machine;
  views::set_remote(&c->views, true);
  views::set_fixed(&c->views, 0);
  views::set_ranges(&c->views, c->clock ? views::range_count : 2);
  views::set_overview(&c->views, c->tab == tab_overview);
  if (c->tab == tab_overview)
    overview::layout(&c->overview, &c->views, m, c->width, c->height);
  else
    views::layout(&c->views, m, c->width, c->height);
  views::set_frame_bottom(&c->views, c->height);
}

bool inside(draw::Rect r, i32 x, i32 y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

// A card opens its resource view, a top process the Processes tab with it selected, anything else on the cards the
// Processes tab: the window's rules for its Overview.
void overview_click(Core* c, i32 x, i32 y) {
  if (!inside(overview::content_rect(c->overview), x, y)) return;
  const i32 target = overview::view_at(c->overview, x, y);
  if (target >= 0 && (target < 30 || target == layout::view_power) && ((c->views.present >> target) & 1)) {
    views::select(&c->views, static_cast<u32>(target));
    show_tab(c, tab_resources);
    return;
  }
  const u64 handle = target >= overview::target_rows
                         ? overview::top_row(c->overview, c->procs, static_cast<u32>(target - overview::target_rows))
                         : model::no_handle;
  show_tab(c, tab_processes);
  if (handle == model::no_handle) return;
  c->list->selected_handle = handle;
  proclist::rebuild(c->list, c->procs);
  procpage::clamp_scroll(c->proc_page, c->list);
}

// A range button of the resources tab: the range is shown, a stored one asked of the host.
bool range_click(Core* c, i32 x, i32 y) {
  for (u32 i = 0; i < views::ranges(c->views); ++i) {
    if (!inside(views::range_rect(c->views, i), x, y)) continue;
    if (views::set_range(&c->views, i)) {
      follow_history(c);
      redraw(c);
    }
    return true;
  }
  return false;
}

// The Processes page's list after its filter or order changed.
void list_changed(Core* c) {
  proclist::rebuild(c->list, c->procs);
  procpage::clamp_scroll(c->proc_page, c->list);
  redraw(c);
}

bool typing_page(const Core& c) { return c.page == page_machine && c.tab == tab_processes; }

// ---- Drawing

draw::Rect rect(i32 l, i32 t, i32 r, i32 b) { return draw::Rect{l, t, r, b}; }

void words_in(Core* c, u32 role, mem::Bytes text, draw::Rect r, u32 colour, u32 align) {
  app::text_in(&c->surface, role, text, r, colour, align);
}

mem::Bytes state_word(u8 state) {
  switch (state) {
    case 0: return mem::lit("online");
    case 1: return mem::lit("stale");
    case 2: return mem::lit("offline");
    default: return mem::lit("missing");
  }
}

mem::Bytes status_line(const Core& c) {
  if (!c.key_known) {
    if (c.notice == notice_wrong_key) return mem::lit("The host refused the key: wrong cluster key.");
    if (c.notice == notice_bad_key) return mem::lit("That is not a cluster key: 64 hex digits or the key file's line.");
    return mem::lit("Enter the cluster key.");
  }
  if (viewer::ready(&c.link)) return mem::lit("Connected to the host.");
  if (c.notice == notice_lost) return mem::lit("The link to the host was lost; trying again.");
  return mem::lit("Connecting to the host...");
}

void strip(Core* c, mem::Bytes title) {
  const i32 w = c->width;
  draw::fill(&c->surface, rect(0, 0, w, app::title_height), app::colour_strip);
  draw::icon(&c->surface, 12, 12, 16);
  words_in(c, app::role_body, title, rect(36, 0, w - 12, app::title_height), app::colour_title, 0);
}

void draw_row(Core* c, u32 i, i32 y) {
  const proto::MachineList& l = c->link.list;
  const proto::Summary& s = l.summaries[i];
  const i32 w = c->width, right = w - list_left;
  if (static_cast<i32>(i) == c->hover_row) draw::fill(&c->surface, rect(list_left - 8, y, right + 8, y + row_height),
                                                     app::colour_hover);
  const bool online = s.state == 0;
  const u32 ink = online ? app::colour_text : app::colour_grey;
  words_in(c, app::role_body, viewer::list_name(&c->link, i), rect(list_left, y, w / 2 - 8, y + row_height), ink, 0);
  const i32 col = w / 2;
  words_in(c, app::role_small, state_word(s.state), rect(col, y, col + 90, y + row_height),
           online ? colour_online : colour_offline, 0);
  if ((l.host_mask >> i) & 1)
    words_in(c, app::role_small, mem::lit("host"), rect(col + 64, y, col + 110, y + row_height), app::colour_label, 0);
  words::Text cpu = {}, memory = {};
  if (online) {
    words::percent(&cpu, s.cpu);
    words::percent(&memory, s.memory);
  }
  words_in(c, app::role_body, mem::Bytes(cpu.bytes, cpu.len), rect(col + 110, y, col + 200, y + row_height), ink, 1);
  words_in(c, app::role_body, mem::Bytes(memory.bytes, memory.len), rect(col + 200, y, right, y + row_height), ink, 1);
  draw::fill(&c->surface, rect(list_left, y + row_height - 1, right, y + row_height), app::colour_line);
}

void draw_list(Core* c) {
  strip(c, mem::lit("Vimbrel"));
  const i32 w = c->width, col = w / 2, right = w - list_left;
  words_in(c, app::role_body, mem::lit("Machines"), rect(list_left, 44, w, 68), app::colour_text, 0);
  const u32 status_colour = c->notice != notice_none && !viewer::ready(&c->link) ? colour_warning : app::colour_label;
  words_in(c, app::role_small, status_line(*c), rect(col, 44, right, 68), status_colour, 1);
  if (!viewer::ready(&c->link)) return;
  const i32 head = list_top - 24;
  words_in(c, app::role_small, mem::lit("Name"), rect(list_left, head, col, list_top), app::colour_label, 0);
  words_in(c, app::role_small, mem::lit("State"), rect(col, head, col + 110, list_top), app::colour_label, 0);
  words_in(c, app::role_small, mem::lit("Processor"), rect(col + 110, head, col + 200, list_top), app::colour_label, 1);
  words_in(c, app::role_small, mem::lit("Memory"), rect(col + 200, head, right, list_top), app::colour_label, 1);
  const u32 n = c->link.list.count < list_rows_most ? c->link.list.count : list_rows_most;
  if (n == 0)
    words_in(c, app::role_body, mem::lit("No machine has joined the cluster yet."),
             rect(list_left, list_top, w, list_top + row_height), app::colour_grey, 0);
  for (u32 i = 0; i < n; ++i) draw_row(c, i, list_top + static_cast<i32>(i) * row_height);
}

// The watched machine's resource pages as the window draws them: the views' rail of resources at the left and the
// chosen resource's charts, below the strip with the machine's name and the way back to the list.
void draw_machine(Core* c) {
  const machine::Machine& m = c->remote->machine;
  const u32 row = viewer::find(&c->link, c->watched_id);
  const mem::Bytes name = row == viewer::none_row ? mem::lit("Machine") : viewer::list_name(&c->link, row);
  strip(c, name);
  const mem::Bytes labels[strip_buttons] = {mem::lit("Machines"), mem::lit("Processes"), mem::lit("Resources"),
                                            mem::lit("Overview")};
  const i32 hovered = button_at(*c, c->pointer_x, c->pointer_y);
  for (u32 i = 0; i < strip_buttons; ++i) {
    const i32 right = c->width - static_cast<i32>(i) * back_width;
    const bool selected = tab_of_button[i] == c->tab;
    draw::fill(&c->surface, rect(right - back_width, 0, right, app::title_height),
               app::state_fill(hovered == static_cast<i32>(i), selected));
    words_in(c, app::role_body, labels[i], rect(right - back_width + 16, 0, right, app::title_height),
             app::colour_text, 0);
  }
  arrange(c);
  if (c->tab == tab_resources) {
    views::render(&c->views, &c->surface, m);
    return;
  }
  fold_procs(c);
  if (c->tab == tab_overview) {
    // Its top five come from the watched machine's own processes, "measuring..." until their first record.
    overview::take_tops(&c->overview, c->procs, c->procs_taken == 0);
    overview::render(&c->overview, &c->views, &c->surface, m, c->procs);
    return;
  }
  views::render_rail(&c->views, &c->surface, m);
  procpage::render(c->proc_page, c->list, c->procs, &c->surface, 0);
}

}  // namespace

// ---- Key, size, messages

u32 read_key(mem::Bytes text, u8 out[32]) {
  text = trimmed(text);
  u8 line[auth::key_text_size];
  constexpr u32 header = sizeof "vimbrel-key 1 " - 1;
  if (text.len == 64) {
    __builtin_memcpy(line, "vimbrel-key 1 ", header);
    __builtin_memcpy(line + header, text.ptr, 64);
    return auth::parse_key(mem::Bytes(line, header + 64), out);
  }
  return auth::parse_key(text, out);
}

void link_path(const u8 id[16], u8 out[38]) {
  __builtin_memcpy(out, "/link/", 6);
  constexpr char digits[] = "0123456789abcdef";
  for (u32 i = 0; i < 16; ++i) {
    out[6 + 2 * i] = static_cast<u8>(digits[id[i] >> 4]);
    out[7 + 2 * i] = static_cast<u8>(digits[id[i] & 15]);
  }
}

bool command(Core* c, u32 kind, mem::Bytes a, mem::Bytes b) {
  const u64 length = a.len + b.len;
  if (length > out_room || c->out_used + web::command_head + length > out_room) return false;
  u8* at = c->out + c->out_used;
  put32(at, kind);
  put32(at + 4, static_cast<u32>(length));
  if (a.len) __builtin_memcpy(at + web::command_head, a.ptr, a.len);
  if (b.len) __builtin_memcpy(at + web::command_head + a.len, b.ptr, b.len);
  c->out_used += static_cast<u32>(web::command_head + length);
  return true;
}

Core* create(mem::Arena* arena) {
  Core* c = mem::alloc_of<Core>(arena);
  viewer::Remote* remote = mem::alloc_of<viewer::Remote>(arena);
  model::ProcTable* procs = mem::alloc_of<model::ProcTable>(arena);
  proclist::ListState* list = mem::alloc_of<proclist::ListState>(arena);
  procpage::PageLayout* page = mem::alloc_of<procpage::PageLayout>(arena);
  if (c == nullptr || remote == nullptr || procs == nullptr || list == nullptr || page == nullptr) return nullptr;
  __builtin_memset(static_cast<void*>(c), 0, sizeof *c);
  c->remote = remote;
  c->procs = procs;
  c->list = list;
  c->proc_page = page;
  model::table_init(procs);
  proclist::init(list);
  procpage::init(page);
  viewer::reset_remote(remote);
  c->hover_row = -1;
  c->pointer_x = c->pointer_y = -1;
  c->retry_ms = retry_first_ms;
  c->streams = 1;
  c->dpi = 96;
  viewer::init(&c->link, &c->key, c->receive, sizeof c->receive);
  views::init(&c->views);
  return c;
}

void close(Core* c) {
  if (c->window) {
    draw::close(&c->surface);
    gdi::close_window(c->window);
    c->window = 0;
  }
  close_history(c);
  if (c->views.sheet_arena.capacity) mem::release(&c->views.sheet_arena);
  procpage::close(c->proc_page);
}

void set_size(Core* c, i32 css_width, i32 css_height, i32 ratio) {
  if (css_width < 1) css_width = 1;
  if (css_height < 1) css_height = 1;
  if (ratio < 25) ratio = 100;
  // The frame keeps within the renderer's largest: a larger screen gets a lower pixel ratio, not a cut frame.
  i64 most = i64{frame_width_most} * web::ratio / css_width;
  if (ratio > most) ratio = static_cast<i32>(most);
  most = i64{frame_height_most} * web::ratio / css_height;
  if (ratio > most) ratio = static_cast<i32>(most);
  if (ratio < 1) ratio = 1;
  const u32 dpi = draw::dpi_of(static_cast<u32>(96 * ratio / web::ratio));
  c->width = css_width;
  c->height = css_height;
  c->pixel_width = draw::to_px(css_width, dpi);
  c->pixel_height = draw::to_px(css_height, dpi);
  if (c->pixel_width > static_cast<i32>(frame_width_most)) c->pixel_width = frame_width_most;
  if (c->pixel_height > static_cast<i32>(frame_height_most)) c->pixel_height = frame_height_most;
  if (!c->window) {
    c->window = gdi::open_headless(c->pixel_width, c->pixel_height);
    c->dpi = dpi;
    draw::init(&c->surface, c->window, 0, mem::Bytes());
    draw::set_dpi(&c->surface, dpi, 0);
    const draw::Size cell = draw::cell(c->surface);
    draw::select(&c->surface, 1, nullptr, 0, cell.width, cell.height, 0);
    views::attach(&c->views, &c->surface);
    views::set_dpi(&c->views, dpi);
  } else {
    gdi::resize_window(c->window, c->pixel_width, c->pixel_height);
    if (dpi != c->dpi) {
      c->dpi = dpi;
      draw::set_dpi(&c->surface, dpi, 0);
      views::set_dpi(&c->views, dpi);
    }
  }
  procpage::layout(c->proc_page, c->width, c->height);
  redraw(c);
}

void take_key(Core* c, mem::Bytes text) {
  text = trimmed(text);
  if (text.len == 0) {
    if (!c->key_known) ask_key(c, true);
    return;
  }
  u8 key[32];
  if (text.len > key_text_most || read_key(text, key) != auth::key_ok) {
    auth::wipe(key, sizeof key);
    c->notice = notice_bad_key;
    if (!c->key_known) ask_key(c, true);
    redraw(c);
    return;
  }
  if (c->link_state != link_none) drop_link(c, false);
  auth::key_init(&c->key, mem::Bytes(key, sizeof key));
  auth::wipe(key, sizeof key);
  __builtin_memcpy(c->key_text, text.ptr, text.len);
  c->key_length = static_cast<u32>(text.len);
  c->key_known = 1;
  c->key_saved = 0;
  c->notice = notice_none;
  c->retry_ms = retry_first_ms;
  c->next_post = c->now;
  open_link(c);
  redraw(c);
}

u32 poll_wait(const Core& c, bool fresh) {
  if (c.busy) return busy_poll_ms;
  if (fresh) return host_second_ms - steady_margin_ms - c.poll_delay;
  if (c.data_heard && c.now < c.data_heard_at + late_window_ms) return late_poll_ms;
  return poll_ms;
}

namespace {

// Bytes the host sent for the link, fed to it; false when that ended the link. fresh: they brought the host's data.
bool take_frames(Core* c, mem::Bytes body, bool* fresh) {
  const u32 lists = c->link.lists, samples = c->remote->sample_count, inventories = c->remote->inventories,
            procs = c->remote->proc_frames;
  if (!feed(c, body)) {
    if (key_refused(c->link)) {
      c->notice = notice_wrong_key;
      drop_link(c, false);
      forget_key(c);
    } else {
      c->notice = notice_lost;
      drop_link(c, true);
    }
    return false;
  }
  // What the host sends every second does not make the link busy: the next poll brings the next second's.
  c->busy = c->link.out_used != 0 || c->link.pending != nullptr || !viewer::ready(&c->link);
  *fresh = c->link.lists != lists || c->remote->sample_count != samples || c->remote->inventories != inventories ||
           c->remote->proc_frames != procs;
  if (*fresh) {
    c->data_heard = 1;
    c->data_heard_at = c->now;
    data_changed(c);
  }
  return true;
}

void take_stream(Core* c, i32 status, mem::Bytes body, u32 part, u32 id) {
  if (c->stream == stream_none || id != c->stream_id || c->link_state != link_linked) return;  // a stream given up
  if (part != web::net_part || status != 200) {
    c->notice = notice_lost;
    drop_link(c, true);
    return;
  }
  if (c->stream == stream_asked) {
    c->stream = stream_open;
    c->next_post = c->now + web::stream_post_ms;
  }
  bool fresh = false;
  take_frames(c, body, &fresh);
}

}  // namespace

void take_net(Core* c, i32 status, mem::Bytes body, u32 part, u32 id) {
  if (part != web::net_answer) return take_stream(c, status, body, part, id);
  if (c->link_state == link_none || !c->posting) return;  // an answer for a link given up
  c->posting = 0;
  ++c->answers;
  if (status != 200 || (c->link_state == link_opening && body.len < web::link_id_size)) {
    c->notice = notice_lost;
    drop_link(c, true);
    return;
  }
  if (c->link_state == link_opening) {
    __builtin_memcpy(c->link_id, body.ptr, web::link_id_size);
    body = mem::Bytes(body.ptr + web::link_id_size, body.len - web::link_id_size);
    c->link_state = link_linked;
  }
  bool fresh = false;
  if (!take_frames(c, body, &fresh)) return;
  c->poll_delay = bits::min32(c->now > c->post_due ? c->now - c->post_due : 0, poll_delay_most);
  c->next_post = c->now + (c->stream == stream_open ? web::stream_post_ms : poll_wait(*c, fresh));
}

void tick(Core* c) {
  if (c->key_known && c->link_state == link_none && c->now >= c->next_post) open_link(c);
  follow_history(c);
  if (c->link_state == link_linked && !c->posting && c->streams && c->stream == stream_none &&
      viewer::ready(&c->link)) {
    open_stream(c);
  } else if (c->link_state == link_linked && !c->posting && c->stream != stream_asked &&
             (c->now >= c->next_post || c->link.out_used != 0)) {
    continue_link(c);
  }
  if (c->data_due && c->now >= c->data_frame_at + data_frame_ms) {
    c->data_frame_at = c->now;
    redraw(c);
  }
  if (c->dirty) draw_frame(c);
}

i32 button_at(const Core& c, i32 x, i32 y) {
  if (c.page != page_machine || y < 0 || y >= app::title_height || x < 0 || x >= c.width) return -1;
  const i32 from_right = (c.width - 1 - x) / back_width;
  return from_right < static_cast<i32>(strip_buttons) ? from_right : -1;
}

i32 row_at(const Core& c, i32 x, i32 y) {
  if (c.page != page_machines || !viewer::ready(&c.link) || y < list_top || x < list_left - 8 ||
      x >= c.width - list_left + 8)
    return -1;
  const i32 row = (y - list_top) / row_height;
  return row < static_cast<i32>(c.link.list.count) && row < static_cast<i32>(list_rows_most) ? row : -1;
}

void pointer(Core* c, i32 x, i32 y, i32 type) {
  const i32 old_x = c->pointer_x, old_y = c->pointer_y;
  c->pointer_x = type == 4 ? -1 : x;
  c->pointer_y = type == 4 ? -1 : y;
  if (c->page == page_machines) {
    const i32 row = type == 4 ? -1 : row_at(*c, x, y);
    if (row != c->hover_row) {
      c->hover_row = row;
      redraw(c);
    }
    if (type == 1 && row >= 0) choose(c, static_cast<u32>(row));
    return;
  }
  const i32 button = button_at(*c, x, y);
  if (button != button_at(*c, old_x, old_y)) redraw(c);
  if (type == 1 && button >= 0) {
    if (button == button_machines) back_to_list(c);
    else show_tab(c, tab_of_button[button]);
    return;
  }
  arrange(c);
  const machine::Machine& m = c->remote->machine;
  if (c->tab == tab_overview) {
    const bool changed = type == 4 ? overview::leave(&c->overview, &c->views, m, &c->surface)
                                   : overview::hover(&c->overview, &c->views, m, &c->surface, x, y);
    if (changed) redraw(c);
  } else if (c->tab == tab_processes) {
    const bool inside = type != 4 && y >= app::title_height;
    if (procpage::hover_row(c->proc_page, c->list, c->procs, &c->surface, x, y, inside)) redraw(c);
    // A click on a column's header sorts by it, as in the window.
    for (u32 k = 0; type == 1 && k < proclist::columns; ++k) {
      draw::Rect r{};
      procpage::header_rect(c->proc_page, k, true, &r);
      if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) continue;
      proclist::sort_by(c->list, k);
      proclist::rebuild(c->list, c->procs);
      redraw(c);
    }
  } else if (views::hover(&c->views, type == 4 ? -1 : x, type == 4 ? -1 : y)) {
    redraw(c);
  }
  if (type != 1) return;
  // The rail's first entry leaves the remote machine: in the browser that is the way back to the list.
  draw::Rect board{};
  if (views::board_rect(c->views, &board) && x >= board.left && x < board.right && y >= board.top &&
      y < board.bottom) {
    back_to_list(c);
    return;
  }
  // A click on a resource of the rail shows it, on the resources tab.
  for (u32 id = 0; id < 30; ++id) {
    const draw::Rect r = views::rail_rect(c->views, id);
    if (!views::rail_shows(c->views, id) || x < r.left || x >= r.right || y < r.top || y >= r.bottom) continue;
    views::select(&c->views, id);
    show_tab(c, tab_resources);
    return;
  }
  if (c->tab == tab_overview) overview_click(c, x, y);
  if (c->tab == tab_resources) range_click(c, x, y);
}

void typed(Core* c, u32 code_point) {
  if (typing_page(*c) && proclist::typed(c->list, code_point)) list_changed(c);
}

void key_down(Core* c, u32 key) {
  if (!typing_page(*c)) return;
  enum : u32 { backspace = 0x08, escape = 0x1B, page_up = 0x21, page_down = 0x22, end = 0x23, home = 0x24, up = 0x26,
               down = 0x28 };
  proclist::ListState* list = c->list;
  procpage::PageLayout* page = c->proc_page;
  if ((key == backspace && proclist::erased(list)) || (key == escape && proclist::cleared(list))) {
    list_changed(c);
    return;
  }
  // As on the window's page: the arrows move the selection and keep it in view, the others scroll.
  arrange(c);
  if (key == up || key == down) {
    const i64 to = proclist::step_at(list->selected, list->shown, key == down);
    if (to < 0) return;
    proclist::select_at(list, c->procs, static_cast<u32>(to));
    list->top = static_cast<u32>(proclist::keep_visible(list->top, list->selected, page->visible));
    procpage::hover_update(page, list);
    redraw(c);
    return;
  }
  if (key < page_up || key > home) return;
  const i64 rows = key == page_up     ? -i64{page->visible}
                   : key == page_down ? i64{page->visible}
                   : key == home      ? -i64{list->top}
                                      : i64{list->shown};
  if (procpage::scroll(page, list, c->procs, &c->surface, rows)) redraw(c);
}

void follow_history(Core* c) {
  localhist::Shown shown{};
  const bool stored = c->page == page_machine && c->watching && c->tab == tab_resources && c->clock != 0;
  shown.page = stored ? 0 : 1;
  shown.range = static_cast<u8>(views::range_of(c->views));
  shown.view = c->views.view;
  shown.measure[0] = views::hist_field(c->views.view, false);
  shown.measure[1] = views::hist_field(c->views.view, true);
  shown.linked = true;
  shown.machine = 0;  // one machine at a time: choosing another closes the source first
  shown.member_id = c->watched_id;
  localhist::HostLink link{&c->link, viewer::ready(&c->link), true};
  if (localhist::refresh(&c->history, shown, &link, c->clock)) {
    views::set_hist(&c->views, c->history.table);
    redraw(c);
  }
  if (localhist::poll(&c->history, &link, c->now)) redraw(c);
  // The live edge of a stored range moves with the watched machine's samples.
  if (c->history.table && c->remote->sample_count != c->samples_taken) {
    localhist::take_live(&c->history, c->remote->machine, c->clock);
    data_changed(c);
  }
  c->samples_taken = c->remote->sample_count;
}

void wheel(Core* c, i32 x, i32 y, i32 delta) {
  if (c->page != page_machine || y < app::title_height) return;
  arrange(c);
  // The browser's 100 a notch downwards is the window's 120 a notch upwards.
  delta = -delta * 6 / 5;
  if (c->tab == tab_processes) {
    const i64 rows = proclist::wheel_take(c->list, delta);
    if (rows && procpage::scroll(c->proc_page, c->list, c->procs, &c->surface, rows)) redraw(c);
    return;
  }
  const draw::Rect rail = views::rail_rect(c->views, c->views.view);
  if (x < rail.right && views::rail_scrolls(c->views) &&
      views::rail_scroll(&c->views, delta))
    redraw(c);
}

void draw_frame(Core* c) {
  c->dirty = 0;
  c->data_due = 0;  // the frame shows everything the host has sent
  if (!c->window || !c->surface.use_vimb || c->width <= 0 || c->height <= 0) return;
  // A new frame of what the pages draw: only the tiles it changes are composed and put on the canvas again. The
  // charts are drawn into their sheet before it, so the tiles that show the sheet are composed anew.
  draw::changed(&c->surface);
  draw::sheet_changed(&c->surface, c->views.sheet);
  draw::limit_box(&c->surface, rect(0, 0, c->pixel_width, c->pixel_height), false);
  // A frame the own renderer failed is drawn once more down the other road; one that reached the canvas is done.
  for (u32 attempt = 0; attempt < 2; ++attempt) {
    draw::begin(&c->surface, c->window, c->pixel_width, c->pixel_height);
    draw::fill(&c->surface, rect(0, 0, c->width, c->height), app::colour_background);
    if (c->page == page_machines)
      draw_list(c);
    else
      draw_machine(c);
    if (draw::present(&c->surface, c->window, c->pixel_width, c->pixel_height)) break;
  }
  ++c->frames;
}

u32 wake_ms(const Core& c) {
  u64 at = c.now + (c.stream == stream_open ? web::stream_post_ms : wake_most_ms);
  if (c.key_known && c.link_state == link_none) at = bits::min64(at, c.next_post);
  if (c.link_state == link_linked && !c.posting && c.stream != stream_asked)
    at = bits::min64(at, c.link.out_used ? c.now : c.next_post);
  if (c.data_due) at = bits::min64(at, c.data_frame_at + data_frame_ms);
  if (c.dirty) at = c.now;
  if (c.history.table) at = bits::min64(at, c.now + web::tick_ms);  // a stored range times its requests by the tick
  return at > c.now ? static_cast<u32>(at - c.now) : 0;
}

void message(Core* c, mem::Bytes m) {
  c->out_used = 0;
  if (m.len < web::message_head) return;
  const u32 now = get32(m.ptr + web::at_now);
  c->now += static_cast<u32>(now - c->last_now);  // the page's clock wraps after 49 days
  c->last_now = now;
  c->clock = get32(m.ptr + web::at_clock);
  const mem::Bytes payload(m.ptr + web::message_head, m.len - web::message_head);
  switch (get32(m.ptr)) {
    case web::msg_init:
    case web::msg_resize: set_size(c, arg(m, web::at_a), arg(m, web::at_b), arg(m, web::at_c)); break;
    case web::msg_key: take_key(c, payload); break;
    case web::msg_net:
      take_net(c, arg(m, web::at_a), payload, get32(m.ptr + web::at_b), get32(m.ptr + web::at_c));
      break;
    case web::msg_pointer: pointer(c, arg(m, web::at_a), arg(m, web::at_b), arg(m, web::at_c)); break;
    case web::msg_wheel: wheel(c, arg(m, web::at_a), arg(m, web::at_b), arg(m, web::at_c)); break;
    case web::msg_char: typed(c, get32(m.ptr + web::at_a)); break;
    case web::msg_key_down: key_down(c, get32(m.ptr + web::at_a)); break;
    default: break;
  }
  tick(c);
}

}  // namespace webcore
