// Named shared memory: a paging-file-backed mapping under a "Local\" name, alive while any process holds it, that
// only the user who made it may open.
#include "platform/section.h"

#include <windows.h>

#include "platform/kobj.h"
#include "platform/windows/wide.h"

namespace section {

mem::Bytes code_text(u32 code) {
  const char* const texts[] = {"ok", "bad name", "in use", "failed", "not found"};
  return code <= not_found ? mem::cstr(texts[code]) : mem::lit("unknown");
}

namespace {

// The section's security, in the caller's record: the user's own SID may do everything and nobody else anything
// (not even the administrators), and the medium mandatory label with no-write-up and no-read-up keeps processes of
// a lower integrity level out, whatever their user.
struct Security {
  alignas(8) u8 user[512];  // TOKEN_USER with its SID
  alignas(8) u8 access[256];
  alignas(8) u8 label_list[256];
  alignas(8) u8 label[SECURITY_MAX_SID_SIZE];
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
};

bool user_sid(Security* s) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD got = 0;
  const BOOL read = GetTokenInformation(token, TokenUser, s->user, sizeof s->user, &got);
  CloseHandle(token);
  return read != 0;
}

bool build_security(Security* s) {
  if (!user_sid(s)) return false;
  ACL* access = reinterpret_cast<ACL*>(s->access);
  ACL* labels = reinterpret_cast<ACL*>(s->label_list);
  DWORD label_size = sizeof s->label;
  const bool made =
      InitializeAcl(access, sizeof s->access, ACL_REVISION) &&
      AddAccessAllowedAce(access, ACL_REVISION, GENERIC_ALL, reinterpret_cast<TOKEN_USER*>(s->user)->User.Sid) &&
      InitializeSecurityDescriptor(&s->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&s->descriptor, TRUE, access, FALSE) &&
      CreateWellKnownSid(WinMediumLabelSid, nullptr, s->label, &label_size) &&
      InitializeAcl(labels, sizeof s->label_list, ACL_REVISION) &&
      AddMandatoryAce(labels, ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP,
                      s->label) &&
      SetSecurityDescriptorSacl(&s->descriptor, TRUE, labels, FALSE);
  s->attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &s->descriptor, FALSE};
  return made;
}

}  // namespace

u32 create(mem::Bytes name, u64 size, Section* out) {
  *out = Section{};
  u16 wide[100];
  Security security;
  if (size == 0 || !kobj::wide_name(name, wide) || !build_security(&security)) return bad_name;
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE,
                                static_cast<DWORD>(size >> 32), static_cast<DWORD>(size),
                                reinterpret_cast<const wchar_t*>(wide));
  if (!h) return failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return in_use;
  }
  void* view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (!view) {
    CloseHandle(h);
    return failed;
  }
  *out = Section{static_cast<u8*>(view), size, winwide::value(h), 1};
  return ok;
}

// The size is the owner's, as the mapping's region reports it (whole pages).
u32 open(mem::Bytes name, Section* out) {
  *out = Section{};
  u16 wide[100];
  if (!kobj::wide_name(name, wide)) return bad_name;
  HANDLE h = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, reinterpret_cast<const wchar_t*>(wide));
  if (!h) return GetLastError() == ERROR_FILE_NOT_FOUND ? not_found : failed;
  void* view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info{};
  if (!view || VirtualQuery(view, &info, sizeof info) == 0) {
    if (view) UnmapViewOfFile(view);
    CloseHandle(h);
    return failed;
  }
  *out = Section{static_cast<u8*>(view), info.RegionSize, winwide::value(h), 0};
  return ok;
}

void close(Section* section) {
  if (section->view) UnmapViewOfFile(section->view);
  if (section->handle) CloseHandle(winwide::handle(section->handle));
  *section = Section{};
}

}  // namespace section
