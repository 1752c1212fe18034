#pragma once
// The collector's reader on Windows: the live system only (the root folder of a fixture tree is a Linux notion),
// with the drive letters of the last volume refresh.
#include <windows.h>

#include "platform/sysinfo.h"

namespace sysinfo {

struct Reader {
  u32 drive_mask;
};

}  // namespace sysinfo

namespace winreg {
// A value of the first processor's registry key (HKLM\HARDWARE\DESCRIPTION\System\CentralProcessor\0) into out:
// the bytes the system returned, 0 when it has none.
u32 processor_value(const wchar_t* name, DWORD type_flags, void* out, u32 bytes);
}  // namespace winreg
