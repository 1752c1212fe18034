#include "tests/support/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "drawing/draw.h"
#include "platform/window.h"
#include "tests/support/testutil.h"

namespace driver {

u64 hash_of(const Frame& f, u32 left, u32 top, u32 right, u32 bottom) {
  u64 h = 0xcbf29ce484222325ull;
  for (u32 y = top; y < bottom && y < f.height; ++y)
    for (u32 x = left; x < right && x < f.width; ++x) h = (h ^ f.at(x, y)) * 0x100000001b3ull;
  return h;
}

namespace {

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string made_folder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vimbrel-drive-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

u32 crc32(const u8* bytes, u64 n, u32 crc = 0) {
  crc = ~crc;
  for (u64 i = 0; i < n; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void put_be32(std::string* out, u32 v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<char>(v >> s));
}

void chunk(std::string* png, const char* type, const std::string& data) {
  put_be32(png, static_cast<u32>(data.size()));
  std::string body = std::string(type, 4) + data;
  png->append(body);
  put_be32(png, crc32(reinterpret_cast<const u8*>(body.data()), body.size()));
}

}  // namespace

i64 at(i32 x, i32 y) { return static_cast<i64>((u32(u16(y)) << 16) | u16(x)); }

u32 count_near(const Frame& f, u32 argb, u32 tolerance, u32 x0, u32 y0, u32 x1, u32 y1) {
  u32 n = 0;
  for (u32 y = y0; y < y1 && y < f.height; ++y)
    for (u32 x = x0; x < x1 && x < f.width; ++x) {
      bool near = true;
      for (u32 shift : {0u, 8u, 16u}) {
        const i32 a = static_cast<i32>((f.at(x, y) >> shift) & 0xFF), b = static_cast<i32>((argb >> shift) & 0xFF);
        near = near && (a > b ? a - b : b - a) <= static_cast<i32>(tolerance);
      }
      n += near;
    }
  return n;
}

bool write_png(const std::string& path, const Frame& frame) {
  if (frame.width == 0 || frame.height == 0 || frame.pixels.size() < u64(frame.width) * frame.height) return false;
  std::string raw;
  raw.reserve((u64(frame.width) * 3 + 1) * frame.height);
  for (u32 y = 0; y < frame.height; ++y) {
    raw.push_back(0);  // no filter
    for (u32 x = 0; x < frame.width; ++x) {
      const u32 p = frame.at(x, y);
      raw.push_back(static_cast<char>(p >> 16));
      raw.push_back(static_cast<char>(p >> 8));
      raw.push_back(static_cast<char>(p));
    }
  }
  // A zlib stream of stored blocks (at most 65,535 bytes each) and its Adler-32.
  std::string z = {0x78, 0x01};
  u32 a = 1, b = 0;
  for (u64 i = 0; i < raw.size(); ++i) {
    a = (a + static_cast<u8>(raw[i])) % 65521;
    b = (b + a) % 65521;
  }
  for (u64 at = 0; at < raw.size() || raw.empty(); at += 65535) {
    const u64 n = std::min<u64>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.push_back(static_cast<char>(n & 0xFF));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xFF));
    z.push_back(static_cast<char>((~n >> 8) & 0xFF));
    z.append(raw, at, n);
    if (raw.empty()) break;
  }
  put_be32(&z, (b << 16) | a);
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  put_be32(&header, frame.width);
  put_be32(&header, frame.height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter choice, no interlace
  chunk(&png, "IHDR", header);
  chunk(&png, "IDAT", z);
  chunk(&png, "IEND", "");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << png;
  return static_cast<bool>(out);
}

Session::Session() : folder_(made_folder()), runtime_("XDG_RUNTIME_DIR", folder_ + "/rt") {
  for (const char* sub : {"/rt", "/cfg", "/data", "/set"}) mkdir((folder_ + sub).c_str(), 0700);
}

Session::~Session() {
  if (pid_ > 0) end(true, 5000);
  const bool failed = ::testing::Test::HasFailure();
  if (failed && record_.view) {
    const std::string png = folder_ + "/failed-frame.png";
    if (write_png(png, frame())) std::cerr << "the last frame is in " << png << "\n";
  }
  section::close(&record_);
  std::error_code ignored;
  if (!failed) {
    std::filesystem::remove_all(folder_, ignored);
  } else {
    std::cerr << "the failed test's folder is kept: " << folder_ << "\n";
  }
}

std::string Session::test_file(const std::string& name) const {
  const std::string path = folder_ + "/set/" + name;
  return std::filesystem::exists(path) ? testutil::read_file(path) : std::string();
}

bool Session::start(const std::string& program, const std::string& fonts, const std::vector<std::string>& extra) {
  std::vector<std::string> words = {program, "--test", fonts, "--settings", settings()};
  if (outside_test_) words = {program};
  if (without_settings_) words = {program, "--test", fonts};
  words.insert(words.end(), extra.begin(), extra.end());
  const std::string out = folder_ + "/out.txt", err = folder_ + "/err.txt";
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    setenv("XDG_RUNTIME_DIR", (folder_ + "/rt").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder_ + "/cfg").c_str(), 1);
    setenv("XDG_DATA_HOME", (folder_ + "/data").c_str(), 1);
    setenv("HOME", folder_.c_str(), 1);
    for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
    if (display_.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display_.c_str(), 1);
    }
    int in = open("/dev/null", O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
        e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return true;
}

bool Session::find_window(const std::string& class_name, u32 timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  const mem::Bytes cls = harness::bytes(class_name);
  for (;;) {
    for (u64 w = win::find_window(cls, 0); w != 0; w = win::find_window(cls, w)) {
      if (win::process_of(w) == static_cast<u32>(pid_)) window_ = w;
    }
    if (window_ != 0) break;
    if (now_ms() > deadline || waitpid(pid_, nullptr, WNOHANG) == pid_) return false;
    usleep(5000);
  }
  u8 name[64];
  const u32 n = draw::frame_name(window_, name);
  // The record may come a moment after the window.
  while (section::open(mem::Bytes(name, n), &record_) != section::ok) {
    if (now_ms() > deadline) return false;
    usleep(5000);
  }
  return true;
}

bool Session::post(u32 message, u64 wparam, i64 lparam) {
  if (window_ == 0) return false;
  // The window's socket holds a few datagrams only: a burst waits until the program has read some.
  const long long deadline = now_ms() + 60000;
  for (;;) {
    const u32 code = win::post_remote(window_, message, wparam, lparam);
    if (code != win::full) return code == win::ok;
    if (now_ms() > deadline) return false;
    usleep(1000);
  }
}

bool Session::input(u32 message, u32 wparam, i64 lparam, u64 modifiers) {
  return post(message, (mark << 32) | modifiers | wparam, lparam);
}

u32 Session::word(u32 offset) const {
  if (!record_.view || offset + 4 > record_.size) return 0;
  return __atomic_load_n(reinterpret_cast<const u32*>(record_.view + offset), __ATOMIC_ACQUIRE);
}

u32 Session::status() const { return word(draw::word_window); }
u32 Session::value() const { return word(draw::word_model); }

bool Session::request_frame(u32 timeout_ms) {
  const u32 n = ++requests_;
  if (!post(frame_request, n, 0)) return false;
  const long long deadline = now_ms() + timeout_ms;
  while (word(draw::word_request) != n || word(draw::word_busy) != 0) {
    if (now_ms() > deadline) return false;
    usleep(1000);
  }
  return true;
}

namespace {

Frame frame_in(const section::Section& record) {
  auto word = [&](u32 offset) {
    return __atomic_load_n(reinterpret_cast<const u32*>(record.view + offset), __ATOMIC_ACQUIRE);
  };
  Frame f;
  if (!record.view || record.size < draw::frame_header) return f;
  f.width = word(draw::word_width);
  f.height = word(draw::word_height);
  const u32 stride = word(draw::word_stride);
  if (stride < f.width || draw::frame_header + u64(stride) * f.height * 4 > record.size) return Frame{};
  const u32* p = reinterpret_cast<const u32*>(record.view + draw::frame_header);
  for (u32 y = 0; y < f.height; ++y) f.pixels.insert(f.pixels.end(), p + u64(y) * stride, p + u64(y) * stride + f.width);
  return f;
}

}  // namespace

Frame Session::frame() const { return frame_in(record_); }

Frame frame_of(u64 window) {
  u8 name[64];
  const u32 n = draw::frame_name(window, name);
  section::Section record{};
  if (section::open(mem::Bytes(name, n), &record) != section::ok) return Frame{};
  Frame f = frame_in(record);
  section::close(&record);
  return f;
}

int Session::end(bool post_close, u32 timeout_ms) {
  if (pid_ <= 0) return -1;
  if (post_close) post(0x0010, 0, 0);  // WM_CLOSE
  const long long deadline = now_ms() + timeout_ms;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (now_ms() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    usleep(2000);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace driver
