// Release signatures on Windows: the Ed25519 check against signatures made by other implementations (a published
// vector and OpenSSL's), every part of a signature tampered with, and the system's code-signing check of program
// files (under wine: what it can tell; the signed files come from tests/windows/run, made with osslsigncode).
#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sign.h"
#include "tests/windows/support.h"
#include "update/update.h"

namespace {

std::vector<u8> hex(const std::string& text) {
  std::vector<u8> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(u8(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

using winsupport::bytes;
using winsupport::file_bytes;
using winsupport::TrustedRoot;
using winsupport::under_wine;

std::string spread(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += char(32 + (i * 7) % 90);
  return s;
}

struct Vector {
  const char* name;
  std::string key, message, signature;
};

const std::string openssl_key = "ef19313d64eaa1826d29ce125e27794d987e762bddf3362f4f67eafdb195ca7f";

std::vector<Vector> vectors() {
  return {
      {"published vector, empty message", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2"
       "4655141438e7a100b"},
      {"one byte", openssl_key, "r",
       "55d9cfb0cb132fe0f08527038dec5646184194a53c08247edaa96c2110163f631a14fc8f942181a72de7f047f65f4f4c5f900f78dfc42f5"
       "beabf13699a25520b"},
      {"one block", openssl_key, std::string(64, 'q'),
       "853cf7584a574b84fec2247fae3509a27c9d8711f9f253c72160d9e2b73c0f1273460a583f2c3570bb88dad6d1da294e3637c4fc9c9500d"
       "032c39ad6e261d201"},
      {"many blocks", openssl_key, spread(1000),
       "59db19586e385acdaf8155dd1698f62e5593aa5db1eda5e3b2dade58951723291ca07e19b9ca4f2a3c35a2d2d79a2229b53f9e5b5e9b071"
       "b4ee77ba920995a0d"},
      {"a release line", openssl_key,
       "vimbrel 0.1.82 x86_64 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881",
       "8da7d951dd0b59c0117b1b08a9a22a4828383a945a6e2ef1570001623087db38f750bec29aac104f7afbb6729b19492afaf403dbc75d2bb"
       "1372893d845f04c06"},
  };
}

TEST(WindowsSignatures, Ed25519AcceptsWhatOthersSignedAndNothingTamperedWith) {
  for (const Vector& v : vectors()) {
    SCOPED_TRACE(v.name);
    std::vector<u8> key = hex(v.key), sig = hex(v.signature);
    ASSERT_EQ(key.size(), 32u);
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_EQ(sign::verify_bytes(bytes(v.message), sig.data(), key.data()), 1u);

    // Any one bit of R, of S, of the key or of the message changed: refused.
    for (size_t bit : {0u, 100u, 255u, 256u, 400u, 509u}) {
      std::vector<u8> bad = sig;
      bad[bit / 8] ^= u8(1 << (bit % 8));
      EXPECT_EQ(sign::verify_bytes(bytes(v.message), bad.data(), key.data()), 0u) << "signature bit " << bit;
    }
    std::vector<u8> other_key = key;
    other_key[5] ^= 0x10;
    EXPECT_EQ(sign::verify_bytes(bytes(v.message), sig.data(), other_key.data()), 0u);
    std::string longer = v.message + "x";
    EXPECT_EQ(sign::verify_bytes(bytes(longer), sig.data(), key.data()), 0u);
    if (!v.message.empty()) {
      std::string changed = v.message;
      changed[changed.size() / 2] ^= 1;
      EXPECT_EQ(sign::verify_bytes(bytes(changed), sig.data(), key.data()), 0u);
    }

    // S + L is the same scalar, but not its only form: refused.
    std::vector<u8> high = sig;
    const std::vector<u8> order = hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    unsigned carry = 0;
    for (int i = 0; i < 32; i++) {
      unsigned sum = high[32 + i] + order[i] + carry;
      high[32 + i] = u8(sum);
      carry = sum >> 8;
    }
    EXPECT_EQ(sign::verify_bytes(bytes(v.message), high.data(), key.data()), 0u);
  }

  // Keys of small order (the neutral point, and a point of order 2) and a key that is no point vouch for nothing.
  const std::vector<u8> sig = hex(vectors()[1].signature);
  for (const char* key : {"0100000000000000000000000000000000000000000000000000000000000000",
                          "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                          "0200000000000000000000000000000000000000000000000000000000000000"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(sign::verify_bytes(mem::lit("r"), sig.data(), hex(key).data()), 0u);
  }
}

TEST(WindowsSignatures, Ed25519OverAnOpenFile) {
  char folder[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "sig", 0, path);
  const Vector v = vectors()[3];
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD wrote = 0;
  WriteFile(h, v.message.data(), DWORD(v.message.size()), &wrote, nullptr);
  const u64 handle = u64(reinterpret_cast<uintptr_t>(h));
  std::vector<u8> key = hex(v.key), sig = hex(v.signature);
  EXPECT_EQ(sign::verify_file(handle, sig.data(), key.data()), 1u);  // read from the start wherever it stands
  sig[40] ^= 1;
  EXPECT_EQ(sign::verify_file(handle, sig.data(), key.data()), 0u);
  CloseHandle(h);
}

// The files tests/windows/run prepared: copies of a program, unsigned, signed by a test certificate of the maker's
// name, by one whose name differs in letter case, and a signed one changed after signing; and that certificate.
using winsupport::Opened;
using winsupport::prepared;

TEST(WindowsSignatures, TheSystemsCodeCheckWithTheMakersName) {
  ASSERT_NE(prepared("unsigned.exe"), "") << "VIMBREL_TEST_SIGNED_DIR is not set (tests/windows/run sets it)";
  const mem::Bytes maker = mem::lit("Quillmere Ltd");

  // An unsigned program: the system answers "no signature"; the record keeps what was asked.
  {
    Opened f(prepared("unsigned.exe"));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    sign::CodeCheck c;
    ASSERT_EQ(sign::check_code(f.handle(), maker, true, &c), 1u);
    EXPECT_EQ(c.result, u32(TRUST_E_NOSIGNATURE));
    EXPECT_EQ(c.signer_matches, 0u);
    EXPECT_EQ(c.revocation, u32(WTD_REVOKE_WHOLECHAIN));
    EXPECT_EQ(c.provider_flags, u32(WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT));
    ASSERT_EQ(sign::check_code(f.handle(), maker, false, &c), 1u);
    EXPECT_EQ(c.revocation, 0u);
    EXPECT_EQ(c.provider_flags, 0u);
  }

  // Signed by a certificate nobody trusts: Windows refuses it (CERT_E_UNTRUSTEDROOT). Wine's check does not ask
  // whether the chain ends in a trusted root: it accepts the signature, so there only the name decides.
  {
    Opened f(prepared("signed.exe"));
    sign::CodeCheck c;
    ASSERT_EQ(sign::check_code(f.handle(), maker, false, &c), 1u);
    if (!under_wine()) {
      EXPECT_EQ(c.result, u32(CERT_E_UNTRUSTEDROOT));
      EXPECT_EQ(c.signer_matches, 0u);
    }
  }

  // With the test certificates trusted: the maker's exact name matches, a name in other letter case does not, and
  // a file changed after signing is refused.
  TrustedRoot root(file_bytes(prepared("maker.der")));
  TrustedRoot other_root(file_bytes(prepared("other.der")));
  ASSERT_NE(root.added, nullptr);
  struct Case {
    const char* file;
    bool signed_ok;
    u32 matches;
  } cases[] = {{"signed.exe", true, 1}, {"other-case.exe", true, 0}, {"changed.exe", false, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    Opened f(prepared(k.file));
    sign::CodeCheck c;
    ASSERT_EQ(sign::check_code(f.handle(), maker, false, &c), 1u);
    EXPECT_EQ(c.result == 0, k.signed_ok) << std::hex << c.result;
    EXPECT_EQ(c.signer_matches, k.matches);
  }
}

// The updater's verdict on a release file where the system checks signed programs: the release key's signature and
// the system's check both, with the maker's name; the record keeps what the system was asked and answered.
TEST(WindowsSignatures, TheUpdatersVerdictAsksTheReleaseKeyAndTheSystem) {
  ASSERT_NE(prepared("release.pub"), "");
  update::Config config = update::make_config(mem::lit("0.1.81"));
  const std::string pub = std::string(reinterpret_cast<const char*>(file_bytes(prepared("release.pub")).data()), 64);
  const std::vector<u8> key = hex(pub);
  ASSERT_EQ(key.size(), 32u);
  std::copy(key.begin(), key.end(), config.public_key);
  config.has_key = 1;
  update::Version offered{}, running{};
  ASSERT_EQ(update::parse_version(mem::lit("0.1.90"), &offered), 1u);
  ASSERT_EQ(update::parse_version(mem::lit("0.1.81"), &running), 1u);
  TrustedRoot root(file_bytes(prepared("maker.der")));
  TrustedRoot other_root(file_bytes(prepared("other.der")));
  struct Case {
    const char* name;
    const char* file;
    bool with_signature, wrong_digest;
    u32 flags, verdict, revocation, provider_flags;
    const char* signature = ".sig";
  } cases[] = {
      {"signed both ways", "signed.exe", true, false, update::flag_no_revocation, update::verdict_good, 0, 0},
      {"no code signature", "unsigned.exe", true, false, update::flag_no_revocation, update::verdict_not_signed, 0, 0},
      {"signed in another name", "other-case.exe", true, false, update::flag_no_revocation,
       update::verdict_other_signer, 0, 0},
      {"no release signature", "signed.exe", false, false, 0, update::verdict_not_signed, 0, 0},
      // The key's signature of these very bytes, made for a Linux build: this build takes only its own system's.
      {"signed by the key as a Linux build", "signed.exe", true, false, update::flag_no_revocation,
       update::verdict_other_signer, 0, 0, ".linux.sig"},
      {"another digest", "signed.exe", true, true, 0, update::verdict_digest, 0, 0},
      {"revocation asked of the whole chain", "unsigned.exe", true, false, 0, update::verdict_not_signed,
       WTD_REVOKE_WHOLECHAIN, WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config.flags = update::flag_manifest_version | c.flags;
    Opened f(prepared(c.file));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    u8 digest[32];
    ASSERT_EQ(update::hash_file(f.handle(), digest), 1u);
    if (c.wrong_digest) digest[0] ^= 1;
    const std::vector<u8> sig = file_bytes(prepared(c.file) + c.signature);
    ASSERT_EQ(sig.size(), 64u);
    update::Verdict v;
    EXPECT_EQ(update::verify_file(&config, f.handle(), digest, offered, running, c.with_signature ? sig.data() : nullptr,
                                  &v),
              c.verdict);
    EXPECT_EQ(v.verdict, c.verdict);
    const bool key_signed = std::string(c.signature) == ".sig";  // the system was asked
    if (key_signed && (c.verdict == update::verdict_good || c.verdict == update::verdict_other_signer)) {
      EXPECT_EQ(v.result, 0u);
    } else if (!key_signed) {
      EXPECT_EQ(v.result, 2u);  // refused by the release key: the system was never asked
    }
    if (std::string(c.file) == "unsigned.exe") {
      EXPECT_EQ(v.result, u32(TRUST_E_NOSIGNATURE));
      EXPECT_EQ(v.revocation, c.revocation);
      EXPECT_EQ(v.provider_flags, c.provider_flags);
    }
  }
}

// The update worker's fetch and swap on Windows, whole: the feed and the release over WinHTTP from the loopback
// update server, the release key's signature, the system's code-signing check, the promotion to "<exe>.new" with its
// signature beside it, and the swap. A release without the code signature is refused and leaves nothing behind.
std::string linux_path(const std::string& windows) {  // "Z:\a\b" as the Linux server names it: "/a/b"
  std::string out = windows.substr(2);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string hex_of(const u8* b, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; i++) out += std::string{digits[b[i] >> 4], digits[b[i] & 15]};
  return out;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(WindowsSignatures, TheUpdateWorkerTakesOnlyAReleaseTheSystemTrusts) {
  winsupport::Server server("VIMBREL_TEST_UPDATE_SERVER");
  ASSERT_NE(server.port, 0);
  ASSERT_NE(prepared("release.pub"), "");
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string app = std::string(temp) + "vimbrel-worker-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(app.c_str(), nullptr);
  const std::string program = app + "\\vimbrel.exe";
  // The Windows build reads its own feed, never the Linux builds' ones.
  const std::string feed_path(reinterpret_cast<const char*>(update::feed_path().ptr), update::feed_path().len);
  EXPECT_EQ(feed_path, "/downloads/vimbrel/latest.txt");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(update::build_arch().ptr), update::build_arch().len),
            "windows-x86_64");
  update::Config config = update::make_config(mem::lit("0.1.81"));
  const std::string feed_url = server.url(feed_path);
  config.feed_url = bytes(feed_url);
  const std::vector<u8> key = hex(std::string(reinterpret_cast<const char*>(file_bytes(prepared("release.pub")).data()),
                                              64));
  std::copy(key.begin(), key.end(), config.public_key);
  config.has_key = 1;
  config.flags |= update::flag_local | update::flag_no_revocation;
  TrustedRoot root(file_bytes(prepared("maker.der")));

  // The release tools/release made of the signed program, its feed's origin the loopback server's; the same program
  // signed by the key as a Linux build; and a program without a code signature, signed by the key for Windows.
  const std::string tree = prepared("tree");
  const std::vector<u8> released_feed = file_bytes(tree + "\\downloads\\vimbrel\\latest.txt");
  std::string released(released_feed.begin(), released_feed.end());
  ASSERT_NE(released.find("url https://127.0.0.1/"), std::string::npos) << released;
  released.replace(released.find("https://127.0.0.1"), 17, server.url(""));
  const std::string released_file = tree + "\\downloads\\vimbrel\\v0.1.90\\vimbrel-0.1.90-windows-x86_64.exe";
  struct Case {
    const char* name;
    const char* release;  // served with the feed below, or the tree's own release when null
    const char* signature;
    u32 state, reason;
  } cases[] = {{"released by tools/release", nullptr, nullptr, update::state_staged, 0},
               {"no code signature", "unsigned.exe", ".sig", update::state_failed, update::reason_not_signed},
               {"signed by the key as a Linux build", "signed.exe", ".linux.sig", update::state_failed,
                update::reason_other_signer}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(CopyFileA(prepared("unsigned.exe").c_str(), program.c_str(), FALSE));
    const std::string release = c.release ? prepared(c.release) : released_file;
    Opened opened(release);
    u8 digest[32];
    ASSERT_EQ(update::hash_file(opened.handle(), digest), 1u);
    const std::string path = "/downloads/vimbrel/v0.1.90/vimbrel.exe";
    const std::string feed = c.release ? "vimbrel-latest 1\\nversion 0.1.90\\nfile vimbrel.exe\\nsha256 " +
                                             hex_of(digest, 32) + "\\nurl " + server.url(path) + "\\n"
                                       : std::string();
    std::string routes = "{\"*\": {\"root\": \"" + linux_path(tree) + "\"}, \"" + feed_path + "\": {\"body\": \"";
    if (c.release) {
      routes += feed + "\"}, \"" + path + "\": {\"file\": \"" + linux_path(release) + "\"}, \"" + path +
                ".sig\": {\"file\": \"" + linux_path(release) + c.signature + "\"}}";
    } else {
      for (char ch : released) routes += ch == '\n' ? std::string("\\n") : std::string(1, ch);
      routes += "\"}}";
    }
    server.set("routes.json", routes);
    auto result = std::make_unique<update::Result>();
    update::run_check(&config, update::make_paths(bytes(program), &result->paths) != 0, result.get());
    update::worker_fetch(&config, true, result.get());
    EXPECT_EQ(result->state, c.state);
    EXPECT_EQ(result->reason, c.reason);
    EXPECT_FALSE(exists(program + ".download"));
    EXPECT_EQ(exists(program + ".new"), c.state == update::state_staged);
    if (c.state == update::state_staged) {
      EXPECT_EQ(file_bytes(program + ".new"), file_bytes(release));
      EXPECT_EQ(file_bytes(program + ".new.sig"), file_bytes(release + ".sig"));
    } else if (c.reason == update::reason_not_signed) {
      EXPECT_EQ(result->paths.verdict.result, u32(TRUST_E_NOSIGNATURE));
    }
    EXPECT_EQ(file_bytes(program), file_bytes(prepared("unsigned.exe")));  // the program itself untouched
    if (c.state != update::state_staged) continue;

    // The swap checks the staged file again and puts it in the program's place, the old program parked beside it.
    update::swap(&config, result.get());
    EXPECT_EQ(result->state, update::state_swapped);
    EXPECT_EQ(file_bytes(program), file_bytes(release));
    EXPECT_EQ(file_bytes(program + ".old"), file_bytes(prepared("unsigned.exe")));
    EXPECT_FALSE(exists(program + ".new"));
    for (const char* name : {".old", ".latest"}) DeleteFileA((program + name).c_str());
  }
  for (const char* name : {"", ".old", ".new", ".new.sig", ".latest"}) DeleteFileA((program + name).c_str());
  RemoveDirectoryA(app.c_str());
}

}  // namespace
