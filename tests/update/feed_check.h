#pragma once
// Checks that hold for any bytes the feed readers are given, shared by the mutation test and the fuzz target: a
// refusal leaves a reset record, and everything accepted points inside the text and agrees with the rules (the
// version text writes back the same, the URL ends in "/" and the file name, the digest is the sha256 line's hex).
#include <string>

#include "update/update.h"

namespace feed_check {

inline std::string str(mem::Bytes x) { return std::string(reinterpret_cast<const char*>(x.ptr), x.len); }

inline std::string version_text(update::Version v) {
  std::string s = std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
  return v.beta < 0 ? s : s + "-beta." + std::to_string(v.beta);
}

inline std::string check_version(mem::Bytes in) {
  update::Version v;
  if (!update::parse_version(in, &v)) {
    if (v.major || v.minor || v.patch || v.beta != -1) return "refused version not reset\n";
    return "";
  }
  if (version_text(v) != str(in)) return "version does not write back: " + str(in) + "\n";
  return "";
}

inline std::string check_url(mem::Bytes in, bool local) {
  update::Url u;
  if (!update::parse_url(in, local, &u)) return "";
  if (!(u.host_start < u.host_end && u.host_end <= u.path_start && u.path_start < in.len)) return "url offsets\n";
  if (in.ptr[u.path_start] != '/' || u.port == 0 || u.port > 65535) return "url path or port\n";
  if (!local && !u.secure) return "plain url without permission\n";
  if (!update::same_origin(in, in, local)) return "url not of its own origin\n";
  return "";
}

inline std::string check_manifest(mem::Bytes in, bool beta, bool local) {
  update::Manifest m;
  u32 ok = beta ? update::parse_beta_manifest(in, mem::lit("vimbrel"), local, &m)
                : update::parse_manifest(in, mem::lit("vimbrel"), local, &m);
  if (!ok) return m.url_end == 0 && m.file_end == 0 && m.version.beta == -1 ? "" : "refused manifest not reset\n";
  if (!(m.version_start < m.version_end && m.version_end < m.file_start && m.file_start < m.file_end &&
        m.file_end < m.url_start && m.url_start < m.url_end && m.url_end < in.len))
    return "manifest offsets out of order\n";
  if (!beta && m.version.beta != -1) return "beta on the stable channel\n";
  std::string text = str(in);
  if (text.substr(m.version_start, m.version_end - m.version_start) != version_text(m.version))
    return "manifest version text\n";
  std::string file = text.substr(m.file_start, m.file_end - m.file_start);
  std::string url = text.substr(m.url_start, m.url_end - m.url_start);
  if (url.size() <= file.size() || url.compare(url.size() - file.size() - 1, std::string::npos, "/" + file) != 0)
    return "url does not end in the file name\n";
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (u8 byte : m.sha256) hex += std::string(1, digits[byte >> 4]) + digits[byte & 15];
  if (text.find("\nsha256 " + hex + "\n") == std::string::npos) return "digest does not match its line\n";
  if (text.find('\r') < m.url_end) return "CR inside an accepted manifest\n";
  return check_url(mem::Bytes(in.ptr + m.url_start, url.size()), local);
}

inline std::string check_feed_urls(mem::Bytes in) {
  u8 buf[update::max_feed_url];
  u64 len = update::check_feed_url(in);
  mem::Bytes beta = update::beta_feed_url(in, mem::Slice{buf, sizeof buf});
  if (beta.len != len) return "beta feed url length\n";
  if (len && str(beta).substr(str(beta).size() - 16) != "/latest-beta.txt") return "beta feed url tail\n";
  return "";
}

inline std::string check_all(mem::Bytes in) {
  std::string faults = check_version(in) + check_url(in, false) + check_url(in, true) + check_feed_urls(in);
  for (bool beta : {false, true})
    for (bool local : {false, true}) faults += check_manifest(in, beta, local);
  return faults;
}

}  // namespace feed_check
