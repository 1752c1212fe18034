// Registry values under the current user's and the machine's roots, texts as UTF-8 on this side and UTF-16 in the
// registry; the system's own folder and Task Manager; the elevated start of this program.
#include "platform/registry.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/windows/wide.h"

namespace registry {
namespace {

HKEY root_key(u32 root) { return root == root_machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// The registry's answers as they are, but for the codes the callers know none of: those are a general failure.
u32 answer(LSTATUS r) {
  switch (r) {
    case ERROR_SUCCESS:
      return ok;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return not_found;
    case ERROR_ACCESS_DENIED:
      return denied;
    case ERROR_NOT_SUPPORTED:
      return not_supported;
    case ERROR_DISK_FULL:
      return disk_full;
    case ERROR_INSUFFICIENT_BUFFER:
      return too_long;
    case ERROR_MORE_DATA:
      return more_data;
    default:
      return general_failure;
  }
}

bool names(mem::Bytes key, mem::Bytes name, wchar_t (&k)[512], wchar_t (&n)[256]) {
  return winwide::utf8(key, k, 512) && winwide::utf8(name, n, 256);
}

}  // namespace

u32 read_value(u32 root, mem::Bytes key, mem::Bytes name, u32* type, mem::Slice buffer, u64* length) {
  *type = 0;
  *length = 0;
  wchar_t k[512], n[256];
  if (!names(key, name, k, n)) return not_found;
  DWORD kind = 0, size = 0;
  LSTATUS r = RegGetValueW(root_key(root), k, n, RRF_RT_ANY | RRF_NOEXPAND, &kind, nullptr, &size);
  if (r != ERROR_SUCCESS) return answer(r);
  u8* data = static_cast<u8*>(HeapAlloc(GetProcessHeap(), 0, size + 2));
  if (!data) return general_failure;
  r = RegGetValueW(root_key(root), k, n, RRF_RT_ANY | RRF_NOEXPAND, &kind, data, &size);
  u32 result = answer(r);
  if (result == ok && (kind == REG_SZ || kind == REG_EXPAND_SZ)) {
    u32 units = size / 2;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    while (units > 0 && text[units - 1] == 0) --units;
    int bytes =
        units ? WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr) : 0;
    if (static_cast<u64>(bytes) > buffer.len) {
      result = more_data;
    } else {
      if (units)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), reinterpret_cast<char*>(buffer.ptr), bytes,
                            nullptr, nullptr);
      *length = static_cast<u64>(bytes);
    }
  } else if (result == ok) {
    if (size > buffer.len) {
      result = more_data;
    } else {
      __builtin_memcpy(buffer.ptr, data, size);
      *length = size;
    }
  }
  if (result == ok) *type = kind;
  HeapFree(GetProcessHeap(), 0, data);
  return result;
}

u32 write_value(u32 root, mem::Bytes key, mem::Bytes name, u32 type, mem::Bytes data) {
  wchar_t k[512], n[256];
  if (!names(key, name, k, n)) return not_found;
  if (type == type_sz || type == type_expand_sz) {
    u32 capacity = static_cast<u32>(data.len) + 1;
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(wchar_t)));
    if (!text) return general_failure;
    bool converted = winwide::utf8(data, text, capacity);
    u32 units = 0;
    while (converted && text[units]) ++units;
    LSTATUS r = converted ? RegSetKeyValueW(root_key(root), k, n, type, text, (units + 1) * sizeof(wchar_t))
                          : ERROR_INVALID_DATA;
    HeapFree(GetProcessHeap(), 0, text);
    return answer(r);
  }
  return answer(RegSetKeyValueW(root_key(root), k, n, type, data.ptr, static_cast<DWORD>(data.len)));
}

u32 delete_value(u32 root, mem::Bytes key, mem::Bytes name) {
  wchar_t k[512], n[256];
  if (!names(key, name, k, n)) return not_found;
  return answer(RegDeleteKeyValueW(root_key(root), k, n));
}

u32 count(u32 root, mem::Bytes key, u32* entries) {
  *entries = 0;
  wchar_t k[512];
  if (!winwide::utf8(key, k, 512)) return not_found;
  HKEY h = nullptr;
  LSTATUS r = RegOpenKeyExW(root_key(root), k, 0, KEY_QUERY_VALUE, &h);
  if (r != ERROR_SUCCESS) return answer(r);
  DWORD subkeys = 0, values = 0;
  r = RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr);
  RegCloseKey(h);
  if (r == ERROR_SUCCESS) *entries = subkeys + values;
  return answer(r);
}

u32 delete_key(u32 root, mem::Bytes key) {
  u32 entries = 0;
  u32 r = count(root, key, &entries);
  if (r != ok) return r;
  if (entries) return denied;
  wchar_t k[512];
  if (!winwide::utf8(key, k, 512)) return not_found;
  return answer(RegDeleteKeyW(root_key(root), k));
}

u32 delete_tree(u32 root, mem::Bytes key) {
  wchar_t k[512];
  if (!winwide::utf8(key, k, 512)) return not_found;
  LSTATUS r = RegDeleteTreeW(root_key(root), k);
  if (r == ERROR_SUCCESS) r = RegDeleteKeyW(root_key(root), k);
  return r == ERROR_FILE_NOT_FOUND ? ok : answer(r);
}

u32 windows_folder(u8* out1600, u32* error) {
  *error = 0;
  wchar_t folder[1100];
  UINT n = GetSystemWindowsDirectoryW(folder, 1100);
  if (n == 0 || n >= 1100) {
    *error = n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  u32 length = winwide::to_utf8(folder, n, out1600, 1600);
  if (length == 0) *error = ERROR_INSUFFICIENT_BUFFER;
  return length;
}

u32 start_real_taskmgr(mem::Bytes application, mem::Bytes command_line) {
  wchar_t app[1100], line[2048];
  if (!winwide::utf8(application, app, 1100) || !winwide::utf8(command_line, line, 2048)) return ERROR_INVALID_NAME;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION pi{};
  // A debugger start skips the redirection that names this program as the Task Manager's debugger.
  if (!CreateProcessW(app, line, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &pi)) {
    return GetLastError();
  }
  // Task Manager then runs on its own: this process stops debugging it without ending it. Both are asked even when
  // the first fails, so that a refused kill-on-exit setting cannot keep it stopped as a debuggee; the first failure
  // is the result.
  DWORD detached = DebugSetProcessKillOnExit(FALSE) ? 0 : GetLastError();
  if (!DebugActiveProcessStop(pi.dwProcessId) && detached == 0) detached = GetLastError();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return detached;
}

// An exit code that cannot be read counts as 1, a failure: a start whose end is unknown is never taken for done.
u32 run_elevated(mem::Bytes program, mem::Bytes arguments, u32 timeout_ms, u32* exit_code) {
  *exit_code = 1;
  wchar_t file[1100], parameters[2048];
  if (!winwide::utf8(program, file, 1100) || !winwide::utf8(arguments, parameters, 2048)) return 0;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // No error dialogs of the shell's own, and the prompt belongs to the window that asked (this thread's active one).
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = GetActiveWindow();
  info.lpVerb = L"runas";
  info.lpFile = file;
  info.lpParameters = parameters;
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) return GetLastError() == ERROR_CANCELLED ? 1 : 0;
  if (!info.hProcess) return 2;
  u32 outcome = 3;
  if (WaitForSingleObject(info.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(info.hProcess, &code)) *exit_code = code;
    outcome = 2;
  }
  CloseHandle(info.hProcess);
  return outcome;
}

bool program_file(mem::Bytes path) {
  wchar_t w[1100];
  if (!winwide::utf8(path, w, 1100)) return false;
  DWORD a = GetFileAttributesW(w);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool same_file(mem::Bytes a, mem::Bytes b) {
  BY_HANDLE_FILE_INFORMATION info[2];
  mem::Bytes paths[2] = {a, b};
  for (u32 i = 0; i < 2; ++i) {
    wchar_t w[1100];
    if (!winwide::utf8(paths[i], w, 1100)) return false;
    HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL got = GetFileInformationByHandle(h, &info[i]);
    CloseHandle(h);
    if (!got) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool shutting_down() { return GetSystemMetrics(SM_SHUTTINGDOWN) != 0; }

SystemWords system_words() {
  SystemWords w{};
  w.run_key = mem::lit("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  w.start_switch = mem::lit("Start with Windows");
  w.copy_name = mem::lit("bin\\vimbrel.exe");
  w.separator = '\\';
  w.no_data_folder = mem::lit("vimbrel background: no LOCALAPPDATA folder");
  w.firewall = mem::lit(
      "Windows asks once to let the host accept TCP 7420 and UDP 7421; Vimbrel never changes firewall rules.");
  w.taskmgr_denied = mem::lit("access denied: changing the Task Manager value needs administrator rights");
  w.taskmgr_failed = mem::lit("the registry could not read or change the Task Manager value");
  w.test_drives = 0;
  return w;
}

}  // namespace registry
