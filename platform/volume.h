#pragma once
// Volumes by drive letter. On Linux the letters stand for mounted block devices: "/" is C:, the others D: to Z: in
// mount-point order, assigned when the list is read and kept until it is read again.
#include "base/mem.h"
#include "platform/sysinfo.h"

namespace volume {

// Reads the mounts again and assigns the letters; the mask of letters in use (bit 0 = A:).
u32 refresh(sysinfo::Reader* reader);
// The mask of the letters the last refresh assigned.
u32 drives(sysinfo::Reader* reader);
// The drive type of a letter (0..25): the values of fs::drive_type (3 fixed, 2 removable, 1 no such letter).
u32 drive_type(sysinfo::Reader* reader, u32 letter);
// The volume's label in UTF-16, zero-terminated within `units`; false when the letter has none.
bool label(sysinfo::Reader* reader, u32 letter, u16* out, u32 units);
// Total and free bytes; false when the letter's volume is no longer mounted or cannot be asked.
bool free_space(sysinfo::Reader* reader, u32 letter, u64* total, u64* free);
// The letters that lie on physical disk n (the disk numbers of the counter queries).
u32 letters_of_disk(sysinfo::Reader* reader, u32 disk);

}  // namespace volume
