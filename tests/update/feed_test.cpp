#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "tests/support/testutil.h"
#include "update/update.h"

namespace {

mem::Bytes b(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes x) { return std::string(reinterpret_cast<const char*>(x.ptr), x.len); }

const std::string sha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string manifest(const std::string& version = "1.2.3", const std::string& file = "vimbrel.exe",
                     const std::string& url = "https://u.example.com/downloads/vimbrel/v1.2.3/vimbrel.exe",
                     const std::string& hash = sha) {
  return "vimbrel-latest 1\nversion " + version + "\nfile " + file + "\nsha256 " + hash + "\nurl " + url + "\n";
}

u32 parse(const std::string& text, bool beta = false, bool local = false, update::Manifest* out = nullptr) {
  update::Manifest m;
  u32 r = beta ? update::parse_beta_manifest(b(text), mem::lit("vimbrel"), local, &m)
               : update::parse_manifest(b(text), mem::lit("vimbrel"), local, &m);
  if (out) *out = m;
  return r;
}

TEST(Feed, Versions) {
  struct Case {
    const char* text;
    bool ok;
    u32 major, minor, patch;
    i32 beta;
  } cases[] = {
      {"1.2.3", true, 1, 2, 3, -1},
      {"0.0.0", true, 0, 0, 0, -1},
      {"999999999.0.1", true, 999999999, 0, 1, -1},
      {"1.2.3-beta.0", true, 1, 2, 3, 0},
      {"1.2.3-beta.999999999", true, 1, 2, 3, 999999999},
      {"01.2.3", false}, {"1.2", false},           {"1.2.3-beta", false},   {"1.2.3-beta.x", false},
      {"1234567890.0.0", false},                   {"1.2.3-beta.01", false}, {"1.2.3.4", false},
      {"1.2.3 ", false}, {"", false},              {"1..3", false},          {"1.2.3-Beta.1", false},
      {"1.2.3-beta.1x", false},                    {"-1.2.3", false},        {"1.2.3-beta.", false},
      {"4294967296.0.0", false},
  };
  for (Case c : cases) {
    update::Version v{7, 7, 7, 7};
    ASSERT_EQ(update::parse_version(mem::cstr(c.text), &v), c.ok ? 1u : 0u) << c.text;
    EXPECT_EQ(update::is_version_text(mem::cstr(c.text)), c.ok ? 1u : 0u) << c.text;
    if (!c.ok) c = Case{c.text, false, 0, 0, 0, -1};  // a refusal leaves a reset version
    EXPECT_EQ(v.major, c.major) << c.text;
    EXPECT_EQ(v.minor, c.minor) << c.text;
    EXPECT_EQ(v.patch, c.patch) << c.text;
    EXPECT_EQ(v.beta, c.beta) << c.text;
  }
}

TEST(Feed, VersionOrder) {
  auto v = [](const char* t) {
    update::Version x;
    EXPECT_EQ(update::parse_version(mem::cstr(t), &x), 1u) << t;
    return x;
  };
  // Each is newer than the next.
  const char* order[] = {"2.0.0", "1.3.0", "1.2.10", "1.2.3", "1.2.3-beta.10", "1.2.3-beta.9", "1.2.3-beta.0",
                         "1.2.2", "0.4294.0", "0.1.82", "0.0.0"};
  const u32 n = sizeof order / sizeof order[0];
  for (u32 i = 0; i < n; i++)
    for (u32 j = 0; j < n; j++)
      EXPECT_EQ(update::compare_versions(v(order[i]), v(order[j])), i < j) << order[i] << " vs " << order[j];
}

TEST(Feed, Urls) {
  struct Case {
    const char* url;
    bool local;
    bool ok;
    u32 port;
    const char* host;
  } cases[] = {
      {"https://u.example.com/", false, true, 443, "u.example.com"},
      {"https://u.example.com:443/x", false, true, 443, "u.example.com"},
      {"https://U-1.example.COM:65535/a/b", false, true, 65535, "U-1.example.COM"},
      {"http://127.0.0.1:8080/latest.txt", true, true, 8080, "127.0.0.1"},
      {"http://127.0.0.1/", true, true, 80, "127.0.0.1"},
      {"http://127.0.0.1:8080/latest.txt", false, false},
      {"http://localhost:8080/", true, false},
      {"http://127.0.0.10/", true, false},
      {"https://u.example.com", false, false},
      {"https://u.example.com:443", false, false},
      {"https://u.example.com:0/", false, false},
      {"https://u.example.com:65536/", false, false},
      {"https://u.example.com:0443/", false, false},
      {"https://u.example.com:/", false, false},
      {"https://u.example.com:123456/", false, false},
      {"https://u.example.com:12a/", false, false},
      {"https://u.example.com/a b", false, false},
      {"https://u.example.com/a\x7f", false, false},
      {"https://u.example.com/\xc3\xa9", false, false},
      {"https://u_x.example.com/", false, false},
      {"https://user@u.example.com/", false, false},
      {"https:///x", false, false},
      {"https://", false, false},
      {"HTTPS://u.example.com/", false, false},
      {"ftp://u.example.com/", true, false},
      {"", true, false},
  };
  for (const Case& c : cases) {
    update::Url u;
    ASSERT_EQ(update::parse_url(mem::cstr(c.url), c.local, &u), c.ok ? 1u : 0u) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(u.port, c.port) << c.url;
    EXPECT_EQ(str(mem::Bytes(reinterpret_cast<const u8*>(c.url) + u.host_start, u.host_end - u.host_start)),
              c.host);
    EXPECT_EQ(c.url[u.path_start], '/');
  }
}

TEST(Feed, SameOrigin) {
  struct Case {
    const char* a;
    const char* b;
    bool local, same;
  } cases[] = {
      {"https://u.example.com/x/latest.txt", "https://u.example.com/y/f.exe", false, true},
      {"https://u.example.com/x", "https://u.example.com:443/y", false, true},
      {"https://u.example.com/x", "https://u.example.com:444/y", false, false},
      {"https://u.example.com/x", "https://U.example.com/y", false, false},
      {"https://u.example.com/x", "https://v.example.com/y", false, false},
      {"http://127.0.0.1:80/x", "http://127.0.0.1/y", true, true},
      {"http://127.0.0.1:443/x", "https://127.0.0.1/y", true, false},
      {"http://127.0.0.1/x", "http://127.0.0.1/y", false, false},
      {"https://u.example.com/x", "https://u.example.com", false, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(update::same_origin(mem::cstr(c.a), mem::cstr(c.b), c.local), c.same) << c.a << " " << c.b;
}

TEST(Feed, FeedUrls) {
  u8 buf[2048];
  std::string feed = "https://u.example.com/downloads/vimbrel/latest.txt";
  EXPECT_EQ(update::check_feed_url(b(feed)), feed.size() + 5);
  EXPECT_EQ(str(update::beta_feed_url(b(feed), mem::Slice{buf, sizeof buf})),
            "https://u.example.com/downloads/vimbrel/latest-beta.txt");
  EXPECT_EQ(update::beta_feed_url(b(feed), mem::Slice{buf, feed.size() + 4}).len, 0u);  // no room
  for (std::string bad : {"https://u.example.com/latest.txt?x=1", "https://u.example.com/latest.txt#a",
                          "https://u.example.com/latest.TXT", "https://u.example.com/latest.txt/"}) {
    EXPECT_EQ(update::check_feed_url(b(bad)), 0u) << bad;
    EXPECT_EQ(update::beta_feed_url(b(bad), mem::Slice{buf, sizeof buf}).len, 0u) << bad;
  }
  std::string edge = "https://u.example.com/" + std::string(2048 - 5 - 22 - 11, 'a') + "/latest.txt";
  EXPECT_EQ(update::check_feed_url(b(edge)), 2048u);
  EXPECT_EQ(update::check_feed_url(b(edge.substr(0, 22) + "b" + edge.substr(22))), 0u);  // one byte too long
  EXPECT_EQ(str(update::feed_tail()), "/latest.txt");
  EXPECT_EQ(str(update::beta_feed_tail()), "/latest-beta.txt");
}

TEST(Feed, ManifestAccepted) {
  update::Manifest m;
  std::string text = manifest() + "notes https://u.example.com/notes.txt\r\n\x01 anything";
  ASSERT_EQ(parse(text, false, false, &m), 1u);
  EXPECT_EQ(m.version.major, 1u);
  EXPECT_EQ(m.version.beta, -1);
  EXPECT_EQ(text.substr(m.version_start, m.version_end - m.version_start), "1.2.3");
  EXPECT_EQ(text.substr(m.file_start, m.file_end - m.file_start), "vimbrel.exe");
  EXPECT_EQ(text.substr(m.url_start, m.url_end - m.url_start),
            "https://u.example.com/downloads/vimbrel/v1.2.3/vimbrel.exe");
  EXPECT_EQ(m.sha256[0], 0x01);
  EXPECT_EQ(m.sha256[31], 0xef);

  ASSERT_EQ(parse(manifest("1.2.3-beta.4"), true, false, &m), 1u);
  EXPECT_EQ(m.version.beta, 4);
  EXPECT_EQ(parse(manifest("1.2.3"), true), 1u);
  EXPECT_EQ(parse(manifest("1.2.3", "v.exe", "http://127.0.0.1:8080/v.exe"), false, true), 1u);
  EXPECT_EQ(parse(manifest("1.2.3", std::string(255, 'a'), "https://h/" + std::string(255, 'a'))), 1u);
}

TEST(Feed, ManifestRefusals) {
  std::string good = manifest();
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string upper = sha;
  for (char& c : upper) c = char(toupper(c));
  struct Case {
    std::string text;
    const char* why;
  } cases[] = {
      {crlf, "CR LF line ends"},
      {good.substr(0, good.size() - 1), "no LF after the url line"},
      {manifest("1.2.3-beta.1"), "a beta on the stable channel"},
      {manifest("01.2.3"), "bad version"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/vimbrel.exe", upper), "upper-case sha256"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/vimbrel.exe", sha.substr(1)), "63 hex digits"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/vimbrel.exe", sha + "0"), "65 hex digits"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/vimbrel.exe", sha.substr(1) + "g"), "non-hex"},
      {manifest("1.2.3", "vim brel.exe"), "blank in a value"},
      {manifest("1.2.3", "vimbrel/.exe", "https://u.example.com/vimbrel/.exe"), "slash in the file name"},
      {manifest("1.2.3", std::string(256, 'a'), "https://h/" + std::string(256, 'a')), "file name of 256 bytes"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/other.exe"), "url names another file"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/avimbrel.exe"), "no slash before the file"},
      {manifest("1.2.3", "vimbrel.exe", "https://u.example.com/x/vimbrel.exe?x"), "file not at the end"},
      {manifest("1.2.3", "vimbrel.exe", "http://u.example.com/x/vimbrel.exe"), "plain http"},
      {manifest("1.2.3", "v.exe", "http://127.0.0.1:8080/v.exe"), "local url without permission"},
      {"vimbrel-latest 2\n" + good.substr(17), "format 2"},
      {"vimbrel-latest 1 \n" + good.substr(17), "blank after the format"},
      {"other-latest 1\n" + good.substr(17), "other product"},
      {"vimbrel-latest  1\n" + good.substr(17), "two blanks"},
      {"\n" + good, "leading LF"},
      {good.substr(0, good.find("file")) + good.substr(good.find("sha256")), "missing file line"},
      {"vimbrel-latest 1\nfile vimbrel.exe\nversion 1.2.3\n" + good.substr(good.find("sha256")), "lines swapped"},
      {"", "empty"},
  };
  for (const Case& c : cases) {
    update::Manifest m;
    EXPECT_EQ(parse(c.text, false, false, &m), 0u) << c.why;
    EXPECT_EQ(m.version.beta, -1) << c.why;  // refused output is reset
    EXPECT_EQ(m.url_end, 0u) << c.why;
  }
  update::Manifest m;
  EXPECT_EQ(update::parse_manifest(b(good), b(std::string(58, 'v')), false, &m), 0u);  // key of 65 bytes
  std::string long_key = std::string(57, 'v') + "-latest 1\n" + good.substr(17);
  EXPECT_EQ(update::parse_manifest(b(long_key), b(std::string(57, 'v')), false, &m), 1u);  // key of 64 bytes
}

TEST(Feed, KeyLine) {
  u64 s = 0, e = 0;
  std::string t = "version 1.2.3\nfile x\n";
  EXPECT_EQ(update::key_line(b(t), 0, mem::lit("version"), &s, &e), 14u);
  EXPECT_EQ(t.substr(s, e - s), "1.2.3");
  EXPECT_EQ(update::key_line(b(t), 14, mem::lit("file"), &s, &e), t.size());
  EXPECT_EQ(update::key_line(b(t), 1, mem::lit("version"), &s, &e), update::no_line);
  EXPECT_EQ(update::key_line(b(t), t.size() + 1, mem::lit("file"), &s, &e), update::no_line);
  for (const char* bad : {"version\n", "version \n", "version 1 \n", "version 1", "versions 1\n", "version"})
    EXPECT_EQ(update::key_line(mem::cstr(bad), 0, mem::lit("version"), &s, &e), update::no_line) << bad;
}

TEST(Feed, LatestFileIsWholeOrAbsent) {
  testutil::TempDir dir;
  std::string path = dir.path + "/vimbrel.latest";
  std::string text = manifest();
  ASSERT_EQ(update::write_latest_file(b(path), b(text)), 1u);
  u8 buf[update::manifest_capacity];
  u64 len = 0;
  ASSERT_EQ(update::read_latest_file(b(path), mem::Slice{buf, sizeof buf}, &len), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), text);

  testutil::write_file(path, std::string(4096, 'x'));
  EXPECT_EQ(update::read_latest_file(b(path), mem::Slice{buf, sizeof buf}, &len), 1u);
  EXPECT_EQ(len, 4096u);
  testutil::write_file(path, std::string(4097, 'x'));
  EXPECT_EQ(update::read_latest_file(b(path), mem::Slice{buf, sizeof buf}, &len), 0u);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(update::read_latest_file(b(dir.path + "/none"), mem::Slice{buf, sizeof buf}, &len), 0u);

  // A write that fails leaves no copy behind.
  std::string blocked = dir.path + "/blocked";
  testutil::write_file(blocked, "x");
  EXPECT_EQ(update::write_latest_file(b(blocked + "/vimbrel.latest"), b(text)), 0u);
}

TEST(Feed, WorkerWords) {
  EXPECT_TRUE(update::is_worker_option(mem::lit("--vimb-update")));
  EXPECT_FALSE(update::is_worker_option(mem::lit("--vimb-updates")));
  EXPECT_EQ(update::parse_worker_mode(mem::lit("check")), 1u);
  EXPECT_EQ(update::parse_worker_mode(mem::lit("fetch")), 2u);
  EXPECT_EQ(update::parse_worker_mode(mem::lit("swap")), 3u);
  EXPECT_EQ(update::parse_worker_mode(mem::lit("Swap")), 0u);
}

}  // namespace

namespace {

std::string feed_url = "https://u.example.com/downloads/vimbrel/latest.txt";

// The check step's judgement of a received feed, as the worker's check and fetch verbs see it.
struct Check {
  update::Config config = update::make_config(mem::lit("0.1.81"));
  update::Result r;
  Check() {
    config.feed_url = b(feed_url);
    update::reset_result(&r);
    update::parse_version(mem::lit("1.2.3"), &r.running);
  }
  void receive(const std::string& body, u32 status = 200, u32 stage = 0) {
    size_t n = body.size() < sizeof r.text ? body.size() : sizeof r.text;
    memcpy(r.text, body.data(), n);
    r.text_length = n;
    r.http = update::HttpResult{status, stage, 0, body.size()};
  }
};

TEST(FeedCheck, Judgements) {
  struct Case {
    std::string body;
    u32 status, stage;
    bool beta;
    u32 state, reason;
    const char* why;
  } cases[] = {
      {manifest("1.2.4"), 200, 0, false, 2, 0, "newer"},
      {manifest("1.2.3"), 200, 0, false, 1, 0, "the same"},
      {manifest("1.2.2"), 200, 0, false, 1, 0, "older"},
      {manifest("1.2.4"), 404, 0, false, 7, 6, "not found"},
      {manifest("1.2.4"), 200, 6, false, 7, 6, "body over 4,096 bytes"},
      {manifest("1.2.4-beta.1"), 200, 0, false, 7, 7, "a beta on the stable channel"},
      {manifest("1.2.4-beta.1"), 200, 0, true, 2, 0, "a newer beta on the beta channel"},
      {manifest("1.2.3-beta.9"), 200, 0, true, 1, 0, "a beta of the running release"},
      {manifest("1.2.4", "vimbrel.exe", "https://u.example.com:8443/vimbrel.exe"), 200, 0, false, 7, 8, "other port"},
      {manifest("1.2.4", "vimbrel.exe", "https://U.example.com/vimbrel.exe"), 200, 0, false, 7, 8, "other case"},
      {"garbage", 200, 0, false, 7, 7, "garbage"},
  };
  for (const Case& c : cases) {
    Check k;
    k.receive(c.body, c.status, c.stage);
    update::take_feed(&k.config, b(feed_url), c.beta, &k.r);
    EXPECT_EQ(k.r.state, c.state) << c.why;
    EXPECT_EQ(k.r.reason, c.reason) << c.why;
  }
}

TEST(FeedCheck, StepOrderAndARefusedConnection) {
  Check k;
  k.r.state = 1;
  update::fetch_feed(&k.config, &k.r);
  EXPECT_EQ(k.r.state, 7u);
  EXPECT_EQ(k.r.reason, 5u);

  // A server that refuses the connection: unreachable, failed while sending the request, no status. Both channels
  // (the beta one asks for its own feed).
  for (u32 flags : {0u, u32(update::flag_beta)}) {
    Check c;
    c.config.flags = flags | update::flag_local;
    c.config.feed_url = mem::lit("http://127.0.0.1:1/downloads/vimbrel/latest.txt");
    update::fetch_feed(&c.config, &c.r);
    EXPECT_EQ(c.r.state, 7u);
    EXPECT_EQ(c.r.reason, 6u);
    EXPECT_EQ(c.r.http.stage, 4u);
    EXPECT_EQ(c.r.http.status, 0u);
  }
  // A feed URL that is not an update URL never reaches the network.
  Check bad;
  bad.config.feed_url = mem::lit("http://127.0.0.1:1/downloads/vimbrel/latest.txt");
  update::fetch_feed(&bad.config, &bad.r);
  EXPECT_EQ(bad.r.http.stage, 1u);
  update::Config real = update::make_config(mem::lit("0.1.81"));
  update::Url u;
  EXPECT_EQ(update::parse_url(real.feed_url, false, &u), 1u);
  EXPECT_GT(update::check_feed_url(real.feed_url), 0u);
}

TEST(FeedCheck, SavedManifest) {
  testutil::TempDir dir;
  std::string path = dir.path + "/vimbrel.latest";
  Check k;
  EXPECT_EQ(update::load_saved_manifest(&k.config, b(path), &k.r), 0u);
  k.receive(manifest("1.2.4-beta.2"));
  ASSERT_EQ(update::save_manifest(&k.r, b(path)), 1u);
  EXPECT_EQ(testutil::read_file(path), manifest("1.2.4-beta.2"));
  // A refused file leaves the result exactly as it was (a beta on the stable channel here).
  k.receive(manifest("1.2.3"));
  const update::Result before = k.r;
  EXPECT_EQ(update::load_saved_manifest(&k.config, b(path), &k.r), 0u);
  EXPECT_EQ(memcmp(&before, &k.r, sizeof before), 0);
  update::reset_result(&k.r);
  k.config.flags = update::flag_beta;
  ASSERT_EQ(update::load_saved_manifest(&k.config, b(path), &k.r), 1u);
  EXPECT_EQ(k.r.offered.beta, 2);
  EXPECT_EQ(k.r.text_length, manifest("1.2.4-beta.2").size());
}

}  // namespace
