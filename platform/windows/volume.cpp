// Volumes by drive letter, as the system assigns them.
#include "platform/volume.h"

#include <windows.h>
#include <winioctl.h>

#include "platform/windows/reader.h"

namespace volume {
namespace {
bool root_of(u32 letter, wchar_t (&root)[4]) {
  if (letter >= 26) return false;
  root[0] = static_cast<wchar_t>('A' + letter);
  root[1] = ':';
  root[2] = '\\';
  root[3] = 0;
  return true;
}
}  // namespace

u32 refresh(sysinfo::Reader* reader) {
  if (!reader) return 0;
  reader->drive_mask = GetLogicalDrives();
  return reader->drive_mask;
}

u32 drives(sysinfo::Reader* reader) { return reader ? reader->drive_mask : 0; }

u32 drive_type(sysinfo::Reader* reader, u32 letter) {
  wchar_t root[4];
  if (!reader || !root_of(letter, root)) return 1;
  return GetDriveTypeW(root);
}

bool label(sysinfo::Reader* reader, u32 letter, u16* out, u32 units) {
  wchar_t root[4];
  if (!reader || units == 0 || !root_of(letter, root)) return false;
  out[0] = 0;
  if (!GetVolumeInformationW(root, reinterpret_cast<wchar_t*>(out), units, nullptr, nullptr, nullptr, nullptr, 0)) {
    out[0] = 0;
    return false;
  }
  return out[0] != 0;
}

bool free_space(sysinfo::Reader* reader, u32 letter, u64* total, u64* free) {
  *total = *free = 0;
  wchar_t root[4];
  if (!reader || !root_of(letter, root)) return false;
  ULARGE_INTEGER available, all, left;
  if (!GetDiskFreeSpaceExW(root, &available, &all, &left)) return false;
  *total = all.QuadPart;
  *free = left.QuadPart;
  return true;
}

// Each letter's volume is asked which disks it spans.
u32 letters_of_disk(sysinfo::Reader* reader, u32 disk) {
  if (!reader) return 0;
  u32 letters = 0;
  for (u32 letter = 0; letter < 26; ++letter) {
    if (!(reader->drive_mask >> letter & 1)) continue;
    wchar_t device[] = {'\\', '\\', '.', '\\', static_cast<wchar_t>('A' + letter), ':', 0};
    HANDLE h = CreateFileW(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    alignas(8) u8 buffer[sizeof(VOLUME_DISK_EXTENTS) + 15 * sizeof(DISK_EXTENT)];
    DWORD got = 0;
    if (DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer, sizeof buffer, &got, nullptr)) {
      const VOLUME_DISK_EXTENTS* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer);
      for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 16; ++i) {
        if (extents->Extents[i].DiskNumber == disk) letters |= 1u << letter;
      }
    }
    CloseHandle(h);
  }
  return letters;
}

}  // namespace volume
