// The desktop's file chooser: the XDG desktop portal over sd-bus (libsystemd, loaded with dlopen, so the program
// needs no bus library to start), else zenity or kdialog started as piped children.
#include "platform/chooser.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os.h"
#include "platform/proc.h"

namespace chooser {
namespace {

constexpr u32 wait_round_ms = 30;
constexpr u64 longest_wait_ms = 30 * 60 * 1000;  // a chooser left open half an hour is given up

std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }

void idle(const Ask& ask) {
  if (ask.idle) ask.idle(ask.context);
}

u32 put_path(const std::string& path, mem::Slice out, u32* length) {
  if (path.empty() || path.size() > out.len) return failed;
  for (size_t i = 0; i < path.size(); ++i) out.ptr[i] = static_cast<u8>(path[i]);
  *length = static_cast<u32>(path.size());
  return picked;
}

// ---- The portal over sd-bus

struct Bus;
struct Message;
struct Slot;
struct BusError {
  const char* name;
  const char* message;
  int need_free;
};
using Handler = int (*)(Message* m, void* user, BusError* error);

// The calls of sd-bus that the portal road uses, looked up once per ask.
struct SdBus {
  void* library = nullptr;
  int (*open_user)(Bus**);
  Bus* (*unref)(Bus*);
  int (*get_unique_name)(Bus*, const char**);
  int (*new_method_call)(Bus*, Message**, const char*, const char*, const char*, const char*);
  int (*append)(Message*, const char*, ...);
  int (*append_array)(Message*, char, const void*, size_t);
  int (*open_container)(Message*, char, const char*);
  int (*close_container)(Message*);
  int (*call)(Bus*, Message*, u64, BusError*, Message**);
  Message* (*message_unref)(Message*);
  int (*read)(Message*, const char*, ...);
  int (*enter_container)(Message*, char, const char*);
  int (*exit_container)(Message*);
  int (*skip)(Message*, const char*);
  int (*add_match)(Bus*, Slot**, const char*, Handler, void*);
  Slot* (*slot_unref)(Slot*);
  int (*process)(Bus*, Message**);
  int (*wait)(Bus*, u64);
  void (*error_free)(BusError*);

  template <typename F>
  bool look(F* f, const char* name) {
    *f = reinterpret_cast<F>(dlsym(library, name));
    return *f != nullptr;
  }
  bool load() {
    library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    return look(&open_user, "sd_bus_open_user") && look(&unref, "sd_bus_unref") &&
           look(&get_unique_name, "sd_bus_get_unique_name") &&
           look(&new_method_call, "sd_bus_message_new_method_call") && look(&append, "sd_bus_message_append") &&
           look(&append_array, "sd_bus_message_append_array") &&
           look(&open_container, "sd_bus_message_open_container") &&
           look(&close_container, "sd_bus_message_close_container") && look(&call, "sd_bus_call") &&
           look(&message_unref, "sd_bus_message_unref") && look(&read, "sd_bus_message_read") &&
           look(&enter_container, "sd_bus_message_enter_container") &&
           look(&exit_container, "sd_bus_message_exit_container") && look(&skip, "sd_bus_message_skip") &&
           look(&add_match, "sd_bus_add_match") && look(&slot_unref, "sd_bus_slot_unref") &&
           look(&process, "sd_bus_process") && look(&wait, "sd_bus_wait") && look(&error_free, "sd_bus_error_free");
  }
  ~SdBus() {
    if (library) dlclose(library);
  }
};

struct Response {
  SdBus* sd;
  bool answered = false;
  u32 code = 2;  // 0 chosen, 1 cancelled, 2 other
  std::string uri;
};

// The Response signal of the request: its code and, when a file was chosen, the first of its URIs.
int on_response(Message* m, void* user, BusError*) {
  Response* r = static_cast<Response*>(user);
  SdBus* sd = r->sd;
  u32 code = 2;
  r->answered = true;
  if (sd->read(m, "u", &code) < 0) return 0;
  r->code = code;
  if (sd->enter_container(m, 'a', "{sv}") <= 0) return 0;
  while (sd->enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd->read(m, "s", &key) < 0) break;
    if (key && std::string(key) == "uris" && sd->enter_container(m, 'v', "as") > 0) {
      const char* uri = nullptr;
      if (sd->enter_container(m, 'a', "s") > 0) {
        if (sd->read(m, "s", &uri) > 0 && uri) r->uri = uri;
        sd->exit_container(m);
      }
      sd->exit_container(m);
    } else {
      sd->skip(m, "v");
    }
    sd->exit_container(m);
  }
  sd->exit_container(m);
  return 0;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// "file:///a%20b" -> "/a b"; anything but a local file URI gives "".
std::string path_of_uri(const std::string& uri) {
  const std::string scheme = "file://";
  if (uri.rfind(scheme, 0) != 0) return "";
  size_t at = scheme.size();
  if (at < uri.size() && uri[at] != '/') {  // "file://host/path": only this machine's files
    const size_t slash = uri.find('/', at);
    if (slash == std::string::npos || uri.compare(at, slash - at, "localhost") != 0) return "";
    at = slash;
  }
  std::string path;
  for (size_t i = at; i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size() && hex_digit(uri[i + 1]) >= 0 && hex_digit(uri[i + 2]) >= 0) {
      path.push_back(static_cast<char>(hex_digit(uri[i + 1]) * 16 + hex_digit(uri[i + 2])));
      i += 2;
    } else {
      path.push_back(uri[i]);
    }
  }
  return path.find('\0') == std::string::npos ? path : "";
}

// The request's options: its token, the two filters and the folder to start in.
bool append_options(SdBus* sd, Message* m, const Ask& ask, const std::string& token) {
  const std::string name = str(ask.filter_name), pattern = str(ask.pattern);
  bool ok = sd->open_container(m, 'a', "{sv}") >= 0 && sd->open_container(m, 'e', "sv") >= 0 &&
            sd->append(m, "s", "handle_token") >= 0 && sd->open_container(m, 'v', "s") >= 0 &&
            sd->append(m, "s", token.c_str()) >= 0 && sd->close_container(m) >= 0 && sd->close_container(m) >= 0;
  ok = ok && sd->open_container(m, 'e', "sv") >= 0 && sd->append(m, "s", "filters") >= 0 &&
       sd->open_container(m, 'v', "a(sa(us))") >= 0 &&
       sd->append(m, "a(sa(us))", 2, name.c_str(), 1, 0u, pattern.c_str(), "All files", 1, 0u, "*") >= 0 &&
       sd->close_container(m) >= 0 && sd->close_container(m) >= 0;
  if (ok && ask.folder.len) {
    const std::string folder = str(ask.folder);
    ok = sd->open_container(m, 'e', "sv") >= 0 && sd->append(m, "s", "current_folder") >= 0 &&
         sd->open_container(m, 'v', "ay") >= 0 && sd->append_array(m, 'y', folder.c_str(), folder.size() + 1) >= 0 &&
         sd->close_container(m) >= 0 && sd->close_container(m) >= 0;
  }
  return ok && sd->close_container(m) >= 0;
}

// The request's object path as the portal makes it: the caller's unique name without its colon, dots as
// underscores, and the token.
std::string request_path(const char* unique, const std::string& token) {
  std::string sender = unique ? unique : "";
  if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
  for (char& c : sender)
    if (c == '.') c = '_';
  return "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
}

// The portal road: unavailable when no bus or no portal answers the call.
u32 portal(const Ask& ask, mem::Slice out, u32* length) {
  SdBus sd;
  if (!sd.load()) return unavailable;
  Bus* bus = nullptr;
  if (sd.open_user(&bus) < 0 || !bus) return unavailable;
  const char* unique = nullptr;
  sd.get_unique_name(bus, &unique);
  const std::string token = "vimbrel" + std::to_string(getpid()) + "_" + std::to_string(os::clock_ms() % 100000);
  const std::string path = request_path(unique, token);
  Response response{&sd};
  Slot* slot = nullptr;
  const std::string match = "type='signal',sender='org.freedesktop.portal.Desktop',"
                             "interface='org.freedesktop.portal.Request',member='Response',path='" + path + "'";
  u32 result = unavailable;
  Message* m = nullptr;
  if (sd.add_match(bus, &slot, match.c_str(), on_response, &response) >= 0 &&
      sd.new_method_call(bus, &m, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                         "org.freedesktop.portal.FileChooser", "OpenFile") >= 0 &&
      sd.append(m, "ss", "", str(ask.title).c_str()) >= 0 && append_options(&sd, m, ask, token)) {
    BusError error{};
    Message* reply = nullptr;
    if (sd.call(bus, m, 10 * 1000 * 1000ull, &error, &reply) >= 0) {
      result = failed;
      const u64 start = os::clock_ms();
      while (!response.answered && os::clock_ms() - start < longest_wait_ms) {
        const int r = sd.process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        sd.wait(bus, wait_round_ms * 1000ull);
        idle(ask);
      }
      if (response.answered) {
        if (response.code == 0) result = put_path(path_of_uri(response.uri), out, length);
        else result = response.code == 1 ? cancelled : failed;
      }
      if (reply) sd.message_unref(reply);
    }
    sd.error_free(&error);
  }
  if (m) sd.message_unref(m);
  if (slot) sd.slot_unref(slot);
  sd.unref(bus);
  return result;
}

// ---- The programs

// The program's full path when PATH names an executable of that name; "" when none.
std::string on_path(const char* name) {
  const char* path = getenv("PATH");
  if (!path) return "";
  std::string all = path;
  for (size_t at = 0; at <= all.size();) {
    size_t end = all.find(':', at);
    if (end == std::string::npos) end = all.size();
    std::string file = end > at ? all.substr(at, end - at) : std::string(".");
    file += '/';
    file += name;
    if (access(file.c_str(), X_OK) == 0) return file;
    at = end + 1;
  }
  return "";
}

// A word quoted for next_token: a text holding a double quote is refused ("" then).
std::string quoted(const std::string& word) {
  if (word.find('"') != std::string::npos) return "";
  std::string q(1, '"');
  q += word;
  // Backslashes before the closing quote would escape it: double them.
  size_t tail = 0;
  while (tail < word.size() && word[word.size() - 1 - tail] == '\\') ++tail;
  q.append(tail, '\\');
  q += '"';
  return q;
}

void keep_output(void* state, mem::Bytes bytes) {
  std::string* s = static_cast<std::string*>(state);
  if (s->size() < 8192) s->append(reinterpret_cast<const char*>(bytes.ptr), bytes.len);
}

u32 run_program(const Ask& ask, const std::string& program, const std::string& arguments, mem::Slice out,
                u32* length) {
  proc::PipedChild child{};
  if (!proc::start_piped(&child, mem::Bytes(reinterpret_cast<const u8*>(program.data()), program.size()),
                         mem::Bytes(reinterpret_cast<const u8*>(arguments.data()), arguments.size())))
    return failed;
  std::string said;
  const u64 start = os::clock_ms();
  while (proc::piped_running(&child) && os::clock_ms() - start < longest_wait_ms) {
    proc::drain(&child, keep_output, &said);
    idle(ask);
    os::sleep_ms(wait_round_ms);
  }
  for (u32 i = 0; i < 4 && proc::drain(&child, keep_output, &said); ++i) {
  }
  const bool ended = !proc::piped_running(&child);
  const u32 code = ended ? proc::piped_exit_code(&child) : proc::still_active;
  if (!ended) proc::terminate(&child);
  proc::piped_close(&child);
  if (code == 1) return cancelled;
  if (code != 0) return failed;
  // The path is the first line of what it wrote (GTK may add warnings on later lines of standard error).
  const size_t line = said.find('\n');
  return put_path(said.substr(0, line), out, length);
}

u32 zenity(const Ask& ask, const std::string& program, mem::Slice out, u32* length) {
  std::string a = "--file-selection --title=";
  a += quoted(str(ask.title));
  std::string folder = str(ask.folder);
  folder += '/';
  if (ask.folder.len && !quoted(folder).empty()) {
    a += " --filename=";
    a += quoted(folder);
  }
  std::string filter = str(ask.filter_name);
  filter += " | ";
  filter += str(ask.pattern);
  a += " --file-filter=";
  a += quoted(filter);
  a += " --file-filter=";
  a += quoted("All files | *");
  return run_program(ask, program, a, out, length);
}

u32 kdialog(const Ask& ask, const std::string& program, mem::Slice out, u32* length) {
  std::string folder = ask.folder.len ? quoted(str(ask.folder)) : std::string();
  if (folder.empty()) folder = ".";
  std::string filters = str(ask.pattern);
  filters += '|';
  filters += str(ask.filter_name);
  filters += "\n*|All files";
  std::string a = "--title ";
  a += quoted(str(ask.title));
  a += " --getopenfilename ";
  a += folder;
  a += ' ';
  a += quoted(filters);
  return run_program(ask, program, a, out, length);
}

}  // namespace

u32 open_file(const Ask& ask, mem::Slice out, u32* length, u32* road) {
  *length = 0;
  u32 used = road_none;
  u32 r = portal(ask, out, length);
  if (r != unavailable) used = road_portal;
  if (r == unavailable) {
    const std::string z = on_path("zenity");
    if (!z.empty()) {
      used = road_zenity;
      r = zenity(ask, z, out, length);
    }
  }
  if (r == unavailable) {
    const std::string k = on_path("kdialog");
    if (!k.empty()) {
      used = road_kdialog;
      r = kdialog(ask, k, out, length);
    }
  }
  if (road) *road = used;
  if (r != picked) *length = 0;
  return r;
}

}  // namespace chooser
