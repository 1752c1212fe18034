#include "host/hubloop.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "wire/cluster.h"
#include "history/store.h"
#include "host/hubshare.h"
#include "host/linuxfeed.h"
#include "host/web.h"

// ---- The host process: sockets, rounds, life cycle.

namespace hub {

namespace {

void silent(mem::Bytes) {}

}  // namespace

u64 arena_size() {
  // The records carved at start, each rounded to 64 bytes, and a page of slack.
  auto up = [](u64 n) { return (n + 63) & ~u64{63}; };
  return up(sizeof(Host)) + up(sizeof(Hub)) + up(sizeof(share::Share)) + up(sizeof(linuxfeed::Feed)) + 4096;
}

u64 web_arena_size(u32 flags) { return (flags & flag_web) ? web::arena_size() : 0; }

u32 create(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick) {
  __builtin_memset(host, 0, sizeof *host);
  host->listener = sock::invalid_socket;
  for (u32 s = 0; s < slots; ++s) host->sockets[s] = sock::invalid_socket;
  host->verdict = store::verdict_not_share;
  host->random = os::random_bytes;
  host->clock = os::clock_ms;
  host->writer = silent;
  host->options = *options;
  host->start_tick = start_tick;
  host->answer.slot = none;
  hstore::watch_init(&host->watch);
  host->hub = mem::alloc_of<Hub>(arena);
  if (host->hub == nullptr) return 0;
  init(host->hub, key, 0, options->version);
  host->feed = mem::alloc_of<linuxfeed::Feed>(arena);
  if (host->feed == nullptr) return 0;
  const u16* v = options->version;
  linuxfeed::create(host->feed, remote_update::pack_version(v[0], v[1], v[2]));
  return 1;
}

u32 open(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick) {
  if (!create(host, arena, key, options, start_tick)) return 0;
  if (!sock::startup()) return 0;
  if (sock::listen(options->listen, options->port, &host->listener) != sock::done) return 0;
  host->port = sock::local_port(host->listener);
  if (host->port == 0) return 0;
  return (options->flags & flag_web) == 0 || web::open(host, arena);
}

u32 open_elected(Host* host, mem::Arena* arena, const auth::KeyState* key, const Options* options, u64 start_tick,
                 sock::Socket listener) {
  if (!create(host, arena, key, options, start_tick)) return 0;
  host->listener = listener;
  host->port = sock::local_port(listener);
  return host->port != 0;
}

void log(const Host* host, mem::Bytes text) { host->writer(text); }

void log_dec(const Host* host, u64 value) {
  u8 digits[fmt::dec_size];
  host->writer(fmt::dec(value, digits));
}

u32 seconds_since_2025(u64 filetime) {
  u64 seconds = filetime / 10000000;
  if (seconds < 13380163200ull) return 0;
  return bits::min32(seconds - 13380163200ull, 0xFFFFFFFF);
}

u32 elapsed_units(u64 earlier, u64 later) {
  return later < earlier ? 0 : bits::min32((later - earlier) / 100, 0xFFFFFFFF);
}

u32 ratio_x10000(u64 part, u64 whole) {
  if (whole == 0) return 0;
  // 128-bit-free: a part that would overflow the product is at least the whole already.
  if (part >= whole) return 10000;
  return static_cast<u32>(part * 10000 / whole);
}

u32 now_units(const Host* host) {
  // One clock for the whole round: the share's test clock when it runs one, else the round's own tick, so that a
  // round driven with a given tick never mixes in the time of day.
  u64 t = host->share != nullptr && host->share->virtual_clock ? share::now_ms(host->share) : host->tick;
  return elapsed_units(host->start_tick, t);
}

void drop_member(Host* host, u32 s) {
  if (host->sockets[s] != sock::invalid_socket) sock::close(host->sockets[s]);
  host->sockets[s] = sock::invalid_socket;
  free_slot(host->hub, s);
}

void accept_members(Host* host, u32 now) {
  for (u32 n = 0; n < accepts_per_round; ++n) {
    sock::Socket socket = sock::invalid_socket;
    u32 peer = 0;
    if (sock::accept(host->listener, &socket, &peer) != sock::done) return;
    u32 room = (host->options.flags & flag_no_members) ? none : room_for(host->hub, peer, 0);
    if (room == none) {
      sock::close(socket);
      ++host->refused_at_accept;
      continue;
    }
    u8 challenge[proto::challenge_size];
    if (!host->random(mem::Slice{challenge, sizeof challenge})) {
      sock::close(socket);
      ++host->no_random;
      continue;
    }
    if (room != room_free) {
      drop_member(host, room);
      ++host->evicted;
    }
    u32 s = admit(host->hub, mem::Bytes(challenge, sizeof challenge), peer, now);
    if (s == none) {
      sock::close(socket);
      continue;
    }
    host->sockets[s] = socket;
    ++host->accepted;
    // A member sends its hello right after it connects: taken at once, it is past the stage that newer
    // connections evict first before they arrive.
    read_member(host, s, now);
    if (host->sockets[s] == socket) flush_member(host, s, now);
  }
}

void read_member(Host* host, u32 s, u32 now) {
  Slot* sl = &host->hub->slot[s];
  u64 n = 0;
  u32 r = sock::recv(host->sockets[s], mem::Slice{sl->in + sl->in_fill, buffer_size - sl->in_fill}, &n);
  if (r == sock::closed || r == sock::failed) {
    ++host->receive_failures;
    drop_member(host, s);
    return;
  }
  if (r == sock::done && n > 0) take_frames(host->hub, s, static_cast<u32>(n), now, host->wall);
}

void flush_member(Host* host, u32 s, u32 now) {
  (void)now;
  Slot* sl = &host->hub->slot[s];
  if (sl->out_fill == 0 || host->sockets[s] == sock::invalid_socket) return;
  u64 n = 0;
  u32 r = sock::send(host->sockets[s], mem::Bytes(sl->out, sl->out_fill), &n);
  if (r == sock::failed || r == sock::closed) {
    ++host->send_failures;
    drop_member(host, s);
    return;
  }
  if (r == sock::done && n > 0) consume_out(host->hub, s, static_cast<u32>(n));
}

void close_finished(Host* host, u32 now) {
  Hub* h = host->hub;
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w] & h->sets[set_closing][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      if (s >= slots) break;
      // A browser's link has no socket: the dashboard frees its slot once the browser has fetched what is queued.
      if (h->slot[s].out_fill != 0 || (host->web != nullptr && web::is_link(host->web, s))) continue;
      if (is_in(h, set_close_due, s)) {
        drop_member(host, s);
      } else if (!is_in(h, set_shut, s)) {
        if (host->sockets[s] != sock::invalid_socket && sock::shutdown_send(host->sockets[s]) != sock::done) {
          ++host->send_failures;
          drop_member(host, s);
          continue;
        }
        put_in(h, set_shut, s, true);
        h->slot[s].activity = now;
      }
    }
  }
}

bool answer_ready(const Host* host) {
  const Hub* h = host->hub;
  u32 s = host->answer.slot;
  if (s >= slots || !is_in(h, set_history, s) || h->slot[s].admitted != host->answer.admitted) {
    s = none;
    for (u32 w = 0; w < 2 && s == none; ++w) {
      u64 m = h->sets[set_live][w] & h->sets[set_history][w];
      if (m != 0) s = w * 64 + bits::word_first(m);
    }
  }
  return s != none && out_free(h, s) > answer_room - 1;
}

namespace {

void set_clock(Host* host, u64 tick_ms, u32 wall) {
  host->wall = wall;
  host->tick = tick_ms;
  if (host->share != nullptr) {
    if (host->share->virtual_clock) share::advance_clock(host->share, tick_ms);
    host->share->wall = wall;
  }
}

// The first half of a round: the clock, the update feed, and the poll set; false when the host has stopped.
bool begin_round(Host* host, u64 tick_ms, u32 wall) {
  ++host->rounds;
  if (host->stop_reason != stop_none || host->closed) return false;
  Hub* h = host->hub;
  set_clock(host, tick_ms, wall);
  u32 u = elapsed_units(host->start_tick, tick_ms);
  if (host->feed != nullptr) {
    linuxfeed::step(host->feed, h, tick_ms, u, wall);
  } else {
    answer_update_asks(h, u, wall);
  }

  sock::PollSet* poll = &host->poll;
  poll->count = 0;
  if (host->listener != sock::invalid_socket) {
    u32 at = sock::poll_add(poll, host->listener, 0);
    if (at < sock::poll_capacity) host->meaning[at] = entry_listener;
  }
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      if (s >= slots) break;
      if (host->sockets[s] == sock::invalid_socket) continue;
      u32 at = sock::poll_add(poll, host->sockets[s], h->slot[s].out_fill != 0);
      if (at >= sock::poll_capacity) continue;
      // A full in-buffer waits for the share duties; asking to read it again would only wake the poll at once.
      if (h->slot[s].in_fill >= buffer_size) poll->entries[at].events &= ~sock::poll_read;
      host->meaning[at] = s;
    }
  }
  if (host->web != nullptr) web::add_to_poll(host, u);
  // A stop request ends the wait, however long it is, where the event can wait in a poll set.
  u64 stop = host->stop_event != 0 ? kobj::pollable(host->stop_event) : sock::invalid_socket;
  if (stop != sock::invalid_socket) {
    u32 at = sock::poll_add(poll, stop, 0);
    if (at < sock::poll_capacity) host->meaning[at] = entry_stop;
  }
  return true;
}

// While the dashboard leaves its newcomers in the kernel's queue, the wait ends when the first grace does.
u32 web_wait(const Host* host, u64 tick_ms, u32 wait) {
  if (host->web == nullptr || host->web->held_until == 0) return wait;
  u64 due = host->start_tick + u64{host->web->held_until} * 100;
  return bits::min32(wait, due > tick_ms ? due - tick_ms : 0);
}

// The second half: what the poll found, then the once-a-second duties when they are due at the given clock.
void serve_round(Host* host, u64 tick_ms, u32 wall) {
  Hub* h = host->hub;
  set_clock(host, tick_ms, wall);
  u32 u = elapsed_units(host->start_tick, tick_ms);
  sock::PollSet* poll = &host->poll;
  const u16 any = sock::poll_read | sock::poll_error | sock::poll_hangup | sock::poll_invalid;
  // The dashboard's newcomers are stamped with the clock after the wait: with the round's own, read before a wait of
  // up to a second, a connection accepted late in it would lose that much of its time for its request.
  u32 woke = u;
  if (host->web != nullptr && host->clock != nullptr) {
    woke = bits::max32(u, elapsed_units(host->start_tick, host->clock()));
  }
  for (u32 e = 0; e < poll->count; ++e) {
    u16 returned = poll->entries[e].returned;
    u32 meaning = host->meaning[e];
    if (meaning == entry_listener) {
      if (returned & any) accept_members(host, u);
      continue;
    }
    if (meaning == entry_web) {
      if (returned & any) web::accept(host, woke);
      continue;
    }
    if (meaning == entry_stop) {
      // The event is set: the loop ends after this round.
      if (returned & sock::poll_read) host->stop_asked = 1;
      continue;
    }
    if ((meaning & ~0xFFFFu) == entry_web_client) {
      web::client_io(host, meaning & 0xFFFF, (returned & any) != 0, u, wall);
      continue;
    }
    u32 s = meaning;
    if (!is_in(h, set_live, s)) continue;
    flush_member(host, s, u);
    if ((returned & any) && is_in(h, set_live, s)) read_member(host, s, u);
    if (is_in(h, set_live, s)) flush_member(host, s, u);
  }
  if (u >= host->next_tick) {
    tick(host, u, wall);
    if (host->stop_reason != stop_none || host->closed) return;
    upkeep(h, u);
    host->next_tick = u - u % 10 + 10;
    for (u32 s = 0; s < slots; ++s) {
      if (is_in(h, set_live, s)) flush_member(host, s, u);
    }
    if (host->web != nullptr) web::second(host, u);
  }
  share_step(host, u, wall);
  if (host->stop_reason != stop_none || host->closed) return;
  if (host->web != nullptr) web::upkeep(host, u);
  close_finished(host, u);
}

}  // namespace

void step(Host* host, u32 timeout_ms, u64 tick_ms, u32 wall) {
  if (!begin_round(host, tick_ms, wall)) return;
  sock::poll_wait(&host->poll, answer_ready(host) ? 0 : web_wait(host, tick_ms, timeout_ms));
  serve_round(host, tick_ms, wall);
}

bool chunk_ready(const Hub* h) {
  for (u32 w = 0; w < 2; ++w) {
    for (u64 m = h->sets[set_live][w] & h->sets[set_chunk_asked][w] & ~h->sets[set_closing][w]; m != 0; m &= m - 1) {
      u32 s = w * 64 + bits::word_first(m);
      // A full out-buffer wakes the poll itself once the socket takes bytes again.
      if (s < slots && h->slot[s].out_fill == 0) return true;
    }
  }
  return false;
}

u32 wait_ms(const Host* host, u64 tick_ms) {
  if (host->stop_reason != stop_none || host->closed) return 0;
  if (answer_ready(host) || chunk_ready(host->hub)) return 0;
  u64 due = host->start_tick + u64{host->next_tick} * 100;
  u64 wait = due > tick_ms ? due - tick_ms : 0;
  if (wait > tick_wait_max) wait = tick_wait_max;
  // Carrying an older term's history over goes on in small steps, each round.
  const share::Share* sh = host->share;
  if (sh != nullptr && (sh->flags & share::leased) && !(sh->flags & share::complete) && wait > carry_wait) {
    wait = carry_wait;
  }
  return static_cast<u32>(wait);
}

void run(Host* host, u64 round_limit) {
  // Where the stop event sits in the poll set, the poll tells of a stop request; elsewhere it is asked each round.
  bool asked_apart = host->stop_event != 0 && kobj::pollable(host->stop_event) == sock::invalid_socket;
  while (host->rounds < round_limit && host->stop_reason == stop_none && !host->closed && !host->stop_asked) {
    if (asked_apart && kobj::wait(host->stop_event, 0)) break;
    u64 now = os::clock_ms();
    u32 wall = seconds_since_2025(os::filetime_now());
    u32 wait = wait_ms(host, now);
    if (!begin_round(host, now, wall)) break;
    wait = answer_ready(host) ? 0 : web_wait(host, now, wait);
    sock::poll_wait(&host->poll, wait);
    // A round that slept serves at the time it woke: the one that slept until the tick runs it, with no second
    // round to notice that it is due.
    if (wait != 0) {
      now = os::clock_ms();
      wall = seconds_since_2025(os::filetime_now());
    }
    serve_round(host, now, wall);
  }
}

void close(Host* host) {
  // Once only: an election that steps down after a stop must not close sockets whose numbers were reused since.
  if (host->closed || host->hub == nullptr) return;
  if (host->share != nullptr) flush_all(host);
  for (u32 s = 0; s < slots; ++s) {
    if (host->sockets[s] != sock::invalid_socket) sock::close(host->sockets[s]);
    host->sockets[s] = sock::invalid_socket;
    if (is_in(host->hub, set_live, s)) free_slot(host->hub, s);
  }
  if (host->listener != sock::invalid_socket && !(host->options.flags & flag_election_listener)) {
    sock::close(host->listener);
  }
  if (host->web != nullptr) web::close(host);
  if (host->feed != nullptr) linuxfeed::close(host->feed);
  host->listener = sock::invalid_socket;
  host->closed = 1;
}

void stop(Host* host, u32 reason) {
  host->stop_reason = reason;
  close(host);
}

// ---- The --host process.

namespace {

void standard_output(mem::Bytes bytes) { os::write_out(bytes); }

void line(mem::Bytes a, mem::Bytes b = mem::Bytes()) {
  os::write_out(a);
  os::write_out(b);
  os::write_out(mem::lit("\n"));
}

}  // namespace

u32 host_command(mem::Bytes share, mem::Bytes key_path, u32 listen, u16 port, u32 flags, const u16* version) {
  if (share.len == 0) {
    line(mem::lit("vimbrel host: no share or folder"));
    return 4;
  }
  Options o = {};
  o.listen = listen;
  o.port = port;
  o.flags = flags;
  o.web_port = web_port(port, flags);
  for (u32 i = 0; i < 3; ++i) o.version[i] = version[i];
  o.round_limit = ~u64{0};
  return main(share, key_path, &o);
}

u32 main(mem::Bytes share_path, mem::Bytes key_path, const Options* options) {
  mem::Arena arena;
  if (!mem::arena_init(&arena, arena_size() + web_arena_size(options->flags))) return 2;
  cluster::KeyWork work;
  auth::KeyState key;
  u32 verdict = 0;
  u32 loaded = cluster::load_key(key_path, &work, &key, &verdict);
  cluster::wipe_key_buffer(&work);
  if (loaded == cluster::key_unreadable) {
    line(mem::lit("vimbrel host: no cluster key file"));
    mem::release(&arena);
    return 2;
  }
  if (loaded == cluster::key_exposed) {
    line(mem::lit("vimbrel host: the cluster key file can be read by others; allow only its owner (chmod 600)"));
    mem::release(&arena);
    return 2;
  }
  if (loaded != cluster::key_loaded) {
    line(mem::lit("vimbrel host: the cluster key file is refused: "), cluster::key_verdict_name(verdict));
    mem::release(&arena);
    return 2;
  }
  // The folder is made along the path it resolves to, which is used from here on; a path that names no folder or a
  // share that cannot be reached is refused before anything listens.
  store::Path prepared;
  const u32 made = fs::prepare_share(share_path, &prepared);
  if (made != fs::ok) {
    line(mem::lit("vimbrel host: cannot make the share folder: "), fs::share_text(made));
    auth::wipe(&key, sizeof key);
    mem::release(&arena);
    return 4;
  }
  share_path = store::path_of(&prepared);
  Host* host = mem::alloc_of<Host>(&arena);
  u64 start = os::clock_ms();
  if (host == nullptr || !open(host, &arena, &key, options, start)) {
    line(mem::lit("vimbrel host: cannot listen on the port"));
    if (host != nullptr) close(host);
    auth::wipe(&key, sizeof key);
    mem::release(&arena);
    return 3;
  }
  auth::wipe(&key, sizeof key);
  host->writer = standard_output;
  u32 address = share_address(share_path, options->listen);
  if (address == 0) {
    line(mem::lit("vimbrel host: cannot tell this machine's address toward the share; publishers need --listen "
                  "<ipv4>"));
  }
  if (host->web != nullptr) {
    u8 digits[fmt::dec_size];
    line(mem::lit("vimbrel host: web dashboard on port "), fmt::dec(host->web->port, digits));
  }
  u32 refused = register_share(host, &arena, share_path, address, start);
  if (refused != stop_none) {
    stop(host, refused);
  } else {
    host->stop_event = kobj::create_quit_event();
    if (host->stop_event == 0) {
      // Nothing could stop a host whose quit event another process holds: it does not start.
      u8 name[96];
      line(mem::lit("vimbrel host: cannot serve: another process holds this process's quit event "),
           mem::Bytes(name, kobj::quit_event_name(os::process_id(), name)));
      close(host);
      mem::release(&arena);
      return 5;
    }
    kobj::stop_on_signals(host->stop_event);
    run(host, options->round_limit);
    kobj::close(host->stop_event);
    host->stop_event = 0;
    close(host);
  }
  u32 reason = host->stop_reason;
  u32 code = hstore::exit_of(reason);
  if (code != 0) {
    line(code == 5 ? mem::lit("vimbrel host: cannot serve: ") : mem::lit("vimbrel host: stepped down: "),
         hstore::stop_word(reason));
  }
  mem::release(&arena);
  return code;
}

}  // namespace hub
