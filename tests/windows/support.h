#pragma once
// Helpers of the Windows test programs: text views, files read whole, the loopback servers and folders that
// tests/windows/run names in the environment, and a test certificate trusted for the user while a test needs it.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "base/mem.h"
#include "base/sha256.h"

namespace winsupport {

inline mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// The variable's value, empty when it is not set.
inline std::string env(const char* name) {
  char value[1024];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n == 0 || n >= sizeof value ? std::string() : std::string(value, n);
}

inline std::vector<u8> file_bytes(const std::string& path) {
  std::vector<u8> out;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  u8 piece[4096];
  DWORD got = 0;
  while (ReadFile(h, piece, sizeof piece, &got, nullptr) && got) out.insert(out.end(), piece, piece + got);
  CloseHandle(h);
  return out;
}

inline std::string file_text(const std::string& path) {
  std::vector<u8> b = file_bytes(path);
  return std::string(b.begin(), b.end());
}

// A server of the Linux tests: its folder (a Windows path), the port it wrote there, its request log.
struct Server {
  std::string dir;
  int port = 0;
  explicit Server(const char* variable) : dir(env(variable)) {
    if (!dir.empty()) port = std::atoi(file_text(dir + "\\port").c_str());
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  std::string log() const { return file_text(dir + "\\port.log"); }
  // The update server reads its routes, the speed-test server its behaviour, at each request; replaced whole.
  void set(const char* file, const std::string& json) const {
    const std::string tmp = dir + "\\" + file + ".tmp", final = dir + "\\" + file;
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD wrote = 0;
    WriteFile(h, json.data(), DWORD(json.size()), &wrote, nullptr);
    CloseHandle(h);
    MoveFileExA(tmp.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
};

// Trusts a certificate (DER) as a root for the user while it lives, and forgets it after.
struct TrustedRoot {
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT added = nullptr;
  explicit TrustedRoot(const std::vector<u8>& der) {
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store && !der.empty())
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                       CERT_STORE_ADD_REPLACE_EXISTING, &added);
  }
  ~TrustedRoot() {
    if (added) CertDeleteCertificateFromStore(added);
    if (store) CertCloseStore(store, 0);
  }
  TrustedRoot(const TrustedRoot&) = delete;
  TrustedRoot& operator=(const TrustedRoot&) = delete;
};

// A file that tests/windows/run prepared in its signed folder (programs, releases, signatures, certificates); empty
// when the folder is not named.
inline std::string prepared(const char* name) {
  const std::string dir = env("VIMBREL_TEST_SIGNED_DIR");
  return dir.empty() ? dir : dir + "\\" + name;
}

// The SHA-256 of the bytes in lower-case hex, as manifests write it.
inline std::string sha256_hex(const std::vector<u8>& data) {
  u8 digest[32];
  sha256::sha256(mem::Bytes(data.data(), data.size()), digest);
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (u8 b : digest) out += std::string{digits[b >> 4], digits[b & 15]};
  return out;
}

// The 8 lower-case hex digits that name a program's folder in its kernel objects and test keys: FNV-1a 32 over the
// path up to and including its last backslash, A to Z lowered.
inline std::string folder_hash(const std::string& path) {
  u32 h = 0x811C9DC5u;
  for (char c : path.substr(0, path.rfind('\\') + 1)) h = (h ^ u8(c >= 'A' && c <= 'Z' ? c | 0x20 : c)) * 16777619u;
  char digits[9];
  wsprintfA(digits, "%08x", h);
  return digits;
}

// A file open for reading (shared for reading) as the updater's handles are; closed at the end.
struct Opened {
  HANDLE h;
  explicit Opened(const std::string& path)
      : h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Opened() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  u64 handle() const { return u64(reinterpret_cast<uintptr_t>(h)); }
};

// Runs the program with the arguments, hidden: its exit code, and what it wrote on standard output and error.
inline DWORD run(const std::string& program, const std::string& arguments, std::string* err) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESTDHANDLES;
  info.hStdError = write_end;
  info.hStdOutput = write_end;
  std::string line = "\"" + program + "\" " + arguments;
  PROCESS_INFORMATION child{};
  DWORD code = 0xFFFFFFFF;
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &info,
                     &child)) {
    CloseHandle(write_end);
    char piece[512];
    DWORD got = 0;
    while (ReadFile(read_end, piece, sizeof piece, &got, nullptr) && got) err->append(piece, got);
    WaitForSingleObject(child.hProcess, 60000);
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
  } else {
    CloseHandle(write_end);
  }
  CloseHandle(read_end);
  return code;
}

// Removes a folder with everything below it (what cannot be removed stays).
inline void remove_tree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &found);
  while (h != INVALID_HANDLE_VALUE) {
    const std::string name = found.cFileName, path = folder + "\\" + name;
    if (name != "." && name != "..") {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    }
    if (!FindNextFileA(h, &found)) break;
  }
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  RemoveDirectoryA(folder.c_str());
}

// A folder of its own under the temporary folder, new for each test (process ids come again under wine, and the
// temporary folder outlives a run), removed with everything in it at the end.
struct Folder {
  std::string path;
  explicit Folder(const char* name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static u32 made = 0;
    path = std::string(temp) + name + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) +
           "-" + std::to_string(++made);
    CreateDirectoryA(path.c_str(), nullptr);
  }
  ~Folder() { remove_tree(path); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
};

// True under wine, which some expectations name (what wine does not check).
inline bool under_wine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

}  // namespace winsupport
