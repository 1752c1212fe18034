#include "shell/app.h"

#include "base/fmt.h"
#include "cluster/agent.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "shell/dpi.h"
#include "shell/loop.h"
#include "shell/machinespage.h"
#include "shell/notice.h"
#include "shell/pages.h"
#include "shell/quit.h"
#include "shell/replacement.h"
#include "shell/rules.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "update/taskmgr.h"

namespace app {
namespace {

mem::Bytes class_of(bool test) { return test ? test_class_name() : class_name(); }

void say(mem::Bytes what, mem::Bytes why) {
  os::write_err(mem::lit("vimbrel: "));
  os::write_err(what);
  if (why.len) {
    os::write_err(mem::lit(": "));
    os::write_err(why);
  }
  os::write_err(mem::lit("\n"));
}

// The settings-file sibling road of the test mode needs a path of 1 to 520 bytes.
bool usable_path(mem::Bytes path) { return path.len >= 1 && path.len <= 520; }

// Starts the window layer: the display when there is one; under --test a headless window when there is none (or
// when the display cannot be used), so that tests run anywhere.
u32 start_layer(win::Thread* t, bool test) {
  const u32 code = win::start(t, win::start_any);
  if (code == win::ok || !test) return code;
  return win::start(t, win::start_headless);
}

// The swap event of the test mode is named after the window.
u32 swap_event_name(win::Handle window, u8* out, u32 capacity) {
  const mem::Bytes prefix = swap_event_prefix();
  u8 hex[fmt::hex_size];
  const mem::Slice digits = fmt::hex(window, hex);
  if (prefix.len + digits.len > capacity) return 0;
  __builtin_memcpy(out, prefix.ptr, prefix.len);
  __builtin_memcpy(out + prefix.len, digits.ptr, digits.len);
  return static_cast<u32>(prefix.len + digits.len);
}

// The event that stands for the updater under --test, made before the frame record that a driver waits for.
void test_swap_event(AppState* s) {
  u8 name[64];
  const u32 length = swap_event_name(s->window, name, sizeof name);
  s->swap_event = length ? kobj::create_event(mem::Bytes(name, length)) : 0;
}

// The rail row asked with --view: a present row is clicked; the power view, Internet, Support and Sensors open
// when their rail entries are there. Anything else starts process sampling on the Overview. A disk, adapter, GPU or
// power row is only listed once the collector's first sample named it: such a row waits (start_row) and
// take_start_row opens it then, so that a relaunch after an update comes back to the view the user had.
void open_start_row(AppState* s, u32 row) {
  s->start_row = 0;
  if (row < 34 && ((u64{1} << row) & s->map.enabled_a & 0x2FFFFFFFFull)) {
    s->page = page_view;
    click(s, u64{1} << row);
    return;
  }
  if ((row >= 2 && row < 30) || row == 34) s->start_row = static_cast<u8>(row + 1);
  u32 slot = 0;
  if (row == 34) slot = slot_power;
  if (row == 65) slot = slot_internet;
  if (row == 66) slot = slot_support;
  if (row == 67) slot = slot_sensors;
  if (slot && (s->map.enabled_b & bit_b(slot))) {
    s->start_row = 0;
    click_b(s, bit_b(slot));
    return;
  }
  start_sampling(s);
}

}  // namespace

void take_start_row(AppState* s) {
  if (!s->start_row || s->model->machine.pushed == 0) return;
  const u32 row = s->start_row - 1u;
  s->start_row = 0;
  if (s->page != page_overview) return;  // the user went elsewhere meanwhile
  if (row < 34 && ((u64{1} << row) & s->map.enabled_a)) {
    click(s, u64{1} << row);
  } else if (row == 34 && (s->map.enabled_b & bit_b(slot_power))) {
    click_b(s, bit_b(slot_power));
  }
}

namespace {

// Gives this machine its id in publish.txt when it has none yet. The Settings page's controller has read the file;
// its copy takes the id, so that the history writer, the Machines page and Settings all see the same settings.
void read_cluster_files(AppState* s) {
  Model* m = s->model;
  ClusterSettings* c = &m->cluster;
  if (in_test(*s)) return;  // no history and no publishing under the test mode
  const mem::Bytes publish = m->cluster_ui.publish_path;
  cluster::PublishSettings read;
  cluster::publish_reset(&read);
  c->publish_state = cluster::read_publish_state(publish, &read);
  c->id_state = agent::ensure_machine_id(&read, c->publish_state, publish, os::random_bytes);
  if (read.id_present && !m->cluster_ui.publish.id_present) {
    cluster::set_machine_id(&m->cluster_ui.publish, read.id);
    clusterui::apply(&m->cluster_ui, ticks(*s));
  }
}

}  // namespace

u32 keep_flags(u32 options) { return (options & opt_test) ? options : options & kept_outside_test; }

u32 warm_rows(u32 options) {
  if (options & opt_full_ring) return 600;
  if (options & opt_empty_ring) return 0;
  if (options & opt_short_ring) return 10;
  return source::demo_warm_ticks;
}

u32 hand_off(instance::Lock* lock) {
  if (taskmgr::runs_alone(lock->verdict, true)) return 0;
  const u32 message = instance::wake_message();
  for (u32 attempt = 0; attempt < 10; ++attempt) {
    if (instance::post_wake(class_of(false), message) > 0) {
      instance::close(lock);
      return 1;
    }
    os::sleep_ms(100);
  }
  return 0;
}

u32 init(AppState* s, mem::Bytes version, bool demo, u32 ring_rows, bool gpu, bool compute, bool integrated,
         bool use_child, u32 power_mode) {
  s->version = version;
  s->map.selected = s->map.focus = row_overview;
  s->pointer_x = s->pointer_y = -1;
  s->dpi = 96;
  s->width = s->height = s->pixel_width = s->pixel_height = 0;
  const u64 bytes = in_test(*s) ? test_arena_bytes : arena_bytes;
  if (!mem::arena_init(&s->arena, bytes)) return 0;
  mem::Slice carved = mem::alloc(&s->arena, sizeof(Model), 64);
  if (!carved.ptr) return 0;
  mem::fill(carved, 0);
  Model* m = reinterpret_cast<Model*>(carved.ptr);
  s->model = m;

  machine::init(&m->machine);
  // Made-up figures stand in for this machine only under the test mode; elsewhere a source without a collector
  // shows nothing rather than something false.
  m->source.demo_allowed = in_test(*s) ? 1 : 0;
  const u32 gpus = gpu ? machine::max_gpus : 0;
  if (use_child)
    source::start_child(&m->source, &m->machine, demo, gpus);
  else
    source::start_local(&m->source, &m->machine, demo, gpus);
  source::set_compute(&m->source, &m->machine, compute);
  source::set_integrated(&m->source, &m->machine, integrated);
  m->source.demo.power_mode = static_cast<u8>(power_mode);
  source::demo_warm(&m->source, &m->machine, ring_rows);

  views::init(&m->views);
  overview::init(&m->overview);
  s->page = page_overview;
  s->page_ticks = s->ticks = s->quitting = 0;
  model::table_init(&m->procs);
  proclist::init(&m->list);
  procpage::init(&m->proc_page);
  procmenu::init(&m->proc_menu);
  ptop::ring_init(&m->tops);
  m->views.top_books = &m->tops;  // this computer's until a machine is opened on the Machines page
  s->test_clock = test_clock_start;
  m->remote = RemoteView{};
  m->instance = instance::Lock{0, instance::failed};
  updstate::reset(&m->updater.settings);
  m->updater.notices[0] = 0;
  relayout(s);
  return 1;
}

void load_cursors(AppState* s) {
  const u32 ids[cursor_count] = {win::cursor_arrow, win::cursor_size_nwse, win::cursor_size_nesw, win::cursor_size_we,
                                 win::cursor_size_ns};
  for (u32 i = 0; i < cursor_count; ++i) s->cursors[i] = ids[i];
}

void load_settings(AppState* s, mem::Bytes settings) {
  Updater* u = &s->model->updater;
  updstate::reset(&u->settings);
  u->notices[0] = u->notices[1] = u->notices[2] = 0;
  if (!in_test(*s)) {
    // The controller's start: settings.txt, what an install left behind, and whether the program file is there.
    update::load_for_gui(u, s->version, now(*s));
    u->notices[0] = u->missing;
  } else {
    // Under --test the driver's messages stand for the updater: only the --settings file is read (and saved). The
    // build's own configuration is still what the Settings page describes (a keyed build's daily request).
    u->config = update::make_config(s->version);
    u->settings_length = usable_path(settings) ? static_cast<u32>(settings.len) : 0;
    if (u->settings_length != 0) __builtin_memcpy(u->settings_path, settings.ptr, u->settings_length);
    update::read_settings(u);
  }
  views::ViewState* v = &s->model->views;
  // Stored ranges are offered when the history source can fill them; the saved range is taken back when offered.
  views::set_ranges(v, localhist::ranges_offered(s->model->chart_source, in_test(*s)));
  const bool ten_minutes = (u->settings.flags & updstate::flag_range_600) != 0;
  views::set_range(v, ten_minutes ? 1 : hist::range_of_seconds(u->settings.chart_range));
}

void start_internet(AppState* s, mem::Bytes settings) {
  internet::window_start(&s->model->probe, &s->model->internet_page, &s->arena,
                         usable_path(settings) ? settings : mem::Bytes(), in_test(*s), now(*s));
}

u32 create_window(AppState* s, u32 options, mem::Bytes font_folder) {
  const bool test = in_test(*s);
  win::Thread* t = s->thread;
  load_cursors(s);
  for (win::Region& r : s->paint_regions) win::region_clear(&r);
  s->paint_regions_made = 1;
  s->icons[2] = make_icon(32, s->dpi);
  if (win::register_class(t, class_of(test), win::cs_dblclks, s->icons[2], win::cursor_arrow, win::no_colour) !=
      win::ok)
    return 0;
  if (win::register_class(t, snap_class_name(), 0, 0, win::cursor_arrow, 0x00D77800) != win::ok) return 0;
  if (win::register_class(t, notice::class_name(), 0, s->icons[2], win::cursor_arrow, win::no_colour) != win::ok)
    return 0;
  const u32 ex_style = test ? 0x08000080u : 0;  // no activation, tool window
  const u32 style = 0x80000000u | 0x00080000u | 0x00020000u;  // popup, system menu, minimize box
  // Outside a test the window fits the work area of the screen it opens on (the driver sizes a test's window).
  win::Rect area{};
  const bool fit = !test && win::work_area(*t, start_x, start_y, &area);
  const win::Rect at = start_rect(s->dpi, fit ? &area : nullptr);
  s->window = win::create_window(t, class_of(test), style, ex_style, at.left, at.top, at.right - at.left,
                                 at.bottom - at.top);
  if (!s->window) return 0;
  win::set_title(t, s->window, mem::lit("Vimbrel"));  // a window starts named after its class
  if (test) test_swap_event(s);
  set_window_icons(s, s->dpi);
  draw::init(&s->surface, win::sink(*t, s->window), s->icons[1], test ? font_folder : mem::Bytes());
  if (!(options & opt_gdi)) {
    const draw::Size cell = draw::cell(s->surface);
    draw::select(&s->surface, 1, font_folder.ptr, static_cast<u32>(font_folder.len), cell.width, cell.height, 0);
  }
  apply_dpi(s, s->dpi, true);
  views::attach(&s->model->views, &s->surface);
  if (!test) {
    win::set_timer(t, s->window, timer_tick, tick_ms);
    win::set_timer(t, s->window, timer_link, link_ms);
    s->link_timer = 1;
    if (s->model->source.mode == source::mode_due) win::set_timer(t, s->window, timer_fast, fast_ms);
  } else if (options & opt_live) {
    // A test with live data may watch a real cluster: the Machines page's link is stepped as outside the test.
    win::set_timer(t, s->window, timer_link, link_ms);
  }
  on_size(s);
  win::show_window(t, s->window, show_command(test || (options & opt_unattended), options & opt_minimized));
  return 1;
}

void tear_down(AppState* s) {
  Model* m = s->model;
  if (!m) return;
  machines_close(s);
  localhist::close(&m->history);
  instance::close(&m->instance);
  internet::stop(&m->probe);
  source::stop(&m->source);
  procpage::close(&m->proc_page);
  stop_pages(s);
  if (s->swap_event) kobj::close(s->swap_event);
  s->swap_event = 0;
  if (s->surface.window) draw::close(&s->surface);
  for (gdi::Handle& icon : s->icons) {
    if (icon) gdi::icon_delete(icon);
    icon = 0;
  }
}

u32 gui_main(mem::Bytes version, u32 options, mem::Bytes font_folder, mem::Bytes settings, u32 view, u32 dpi,
             mem::Bytes support) {
  options = keep_flags(options);
  const bool test = (options & opt_test) != 0;
  instance::Lock lock{0, instance::failed};
  if (!test) {
    instance::lock(&lock, instance::mutex_name());
    if (!(options & (opt_view | opt_unattended)) && hand_off(&lock)) return exit_ok;
  }

  // The window layer first: without a display (outside --test) nothing else is started for a window that cannot
  // be made.
  win::Thread thread;
  const u32 layer = start_layer(&thread, test);
  if (layer != win::ok) {
    say(mem::lit("the window cannot be made"), win::code_text(layer));
    instance::close(&lock);
    return exit_no_window;
  }
  AppState state;
  __builtin_memset(static_cast<void*>(&state), 0, sizeof state);
  AppState* s = &state;
  s->thread = &thread;
  s->options = options;
  if (test) s->flags |= flag_test;

  const bool demo = test && !(options & opt_live);
  const bool child = !test || (options & opt_feed);
  const u32 power = ((options & opt_power) ? 1 : 0) + ((options & opt_battery) ? 2 : 0);
  if (init(s, version, demo, warm_rows(options), !(options & opt_no_gpu), options & opt_compute,
           options & opt_integrated, child, power) != 1) {
    say(mem::lit("the window's model cannot be made"), mem::Bytes());
    tear_down(s);
    instance::close(&lock);
    win::finish(s->thread);
    return exit_init_failed;
  }
  Model* m = s->model;
  source::set_churn(&m->source, options & opt_churn);
  source::set_longest_name(&m->source, options & opt_longest_name);
  source::set_temps_mode(&m->source, &m->machine,
                         ((options & opt_temps) ? 1 : 0) + ((options & opt_temps_pc) ? 2 : 0));

  s->dpi = test ? ((options & opt_dpi) && dpi ? static_cast<u16>(dpi) : 96)
                : static_cast<u16>(dpi_at(*s, start_x, start_y));

  m->instance = lock;
  s->wake_message = instance::wake_message();
  if (test && (options & opt_as_shipped)) s->version = shipped_version();
  s->settings = (options & opt_settings) ? settings : mem::Bytes();
  load_settings(s, s->settings);
  machines_start(s, (options & opt_settings) && usable_path(settings) ? settings : mem::Bytes());
  start_internet(s, (options & opt_settings) ? settings : mem::Bytes());
  start_pages(s, (options & opt_settings) ? settings : mem::Bytes(), (options & opt_support) ? support : mem::Bytes());
  read_cluster_files(s);
  taskmgr_refresh(s);

  if (create_window(s, options, font_folder) != 1) {
    say(mem::lit("the window cannot be made"), mem::Bytes());
    tear_down(s);
    win::finish(s->thread);
    return exit_no_window;
  }
  instance::allow_message(s->window, s->wake_message);
  s->last_input = now(*s);
  s->input_ticks = ticks(*s);
  s->quit_event = kobj::create_quit_event();
  if (s->quit_event) kobj::stop_on_signals(s->quit_event);
  open_start_row(s, (options & opt_view) ? view : 0xFFFFFFFFu);
  if (test) win::set_timer(s->thread, 0, 0, test_wake_ms);

  const i32 got = run(s);
  tear_down(s);
  if (s->quit_event) kobj::close(s->quit_event);
  win::finish(s->thread);
  return got < 0 ? exit_loop_failed : exit_ok;
}

// ---- Clocks and facts

u32 now(const AppState& s) {
  return in_test(s) ? s.test_clock : updstate::now_from_filetime(os::filetime_now());
}
u64 ticks(const AppState& s) { return in_test(s) ? 0 : os::clock_ms(); }
bool in_test(const AppState& s) { return (s.flags & flag_test) != 0; }
bool minimized(const AppState& s) { return s.window && win::is_iconic(*s.thread, s.window); }
machine::Machine* own(AppState* s) { return &s->model->machine; }
const machine::Machine& shown(const AppState& s) {
  const RemoteView& r = s.model->remote;
  return r.shown && r.machine ? *r.machine : s.model->machine;
}
bool remote_shown(const AppState& s) { return s.model->remote.shown != 0; }

void wake(AppState* s) {
  if (in_test(*s)) {
    s->wakes += 1;
    u8 digits[fmt::dec_size];
    const mem::Slice count = fmt::dec(s->wakes, digits);
    write_test_file(*s, woken_file(), mem::Bytes(count.ptr, count.len));
    return;
  }
  if (!s->window || s->quitting) return;
  if (win::is_iconic(*s->thread, s->window)) win::show_window(s->thread, s->window, win::sw_restore);
  if (!win::is_visible(*s->thread, s->window)) win::show_window(s->thread, s->window, win::sw_show);
  win::set_foreground(s->thread, s->window);
}

}  // namespace app
