#pragma once
// Named shared memory between processes of one user: a fixed-size block that its owner creates under a "Local\..."
// name (the rules of kobj names) and that other processes map by that name to read or write it. The owner alone
// creates and removes it; a name that a live owner holds is refused to a second creator, and one left behind by an
// owner that ended is taken over. Only the user who made it may open it. On Linux the block is a file of the kobj
// runtime folder ("<name>.section"), created 0600 with the owner's lock on it for the owner's life, and mapped
// shared; a creation also removes every section file of the folder that an owner left behind when it was killed.
// On Windows its security grants that user alone everything and carries the medium integrity label that keeps
// processes of a lower level out.
#include "base/mem.h"

namespace section {

enum : u32 {
  ok = 0,
  bad_name = 1,  // not a kobj name, or no owner-only place for it (no usable runtime folder; on Windows the
                 // owner-only security could not be built)
  in_use = 2,    // a live owner holds the name (or another user made it)
  failed = 3,    // the file, its size or the mapping could not be made
  not_found = 4, // open: no section of that name
};
mem::Bytes code_text(u32 code);

struct Section {
  u8* view;    // the mapped bytes, null when closed
  u64 size;
  u64 handle;  // the backend's handle, 0 when closed
  u8 owner;    // created by this process: closing removes the name
};

// Creates the section with size zeroed bytes (size above 0) and maps it for reading and writing.
u32 create(mem::Bytes name, u64 size, Section* out);
// Maps an existing section whole for reading and writing (its size as the owner made it). Should the section's file
// be cut short under the view (only another process of the user can), a touch of the lost part ends this process
// at once with lost_exit, never with a bus error.
u32 open(mem::Bytes name, Section* out);
inline constexpr u32 lost_exit = 3;
// Unmaps and closes; the owner also removes the name. Nothing for a closed section.
void close(Section* section);

}  // namespace section
