#pragma once
// What the system's answers about one process mean for the Processes page's actions: the codes of its failures and
// the fact bits of its answers. Kept apart from the calls so that each answer Windows can give has its meaning
// checked, also those no test machine can produce (a protected or critical process, one being deleted).
#include "base/mem.h"

namespace procfacts {

// What was asked of the system about one process and what it answered.
struct Answers {
  u32 pid;
  bool elevated;       // this program runs elevated
  u32 opened;          // the checked open for query: 0 same process, 3 id reused, 4 ended, 5 refused
  u32 path;            // reading the image path: 0 read, 12 too long, 5 failed
  bool protection_read;
  u8 protection;       // the protection level byte
  bool extended_read;
  u32 extended_flags;  // the flags word of the extended basic information
  bool critical;       // the system marked it critical
  u32 terminate_error; // opening it for termination: 0 opened, else the system's error
};

// The fact bits (those of the page's mask) of the answers.
u32 facts(const Answers& a);
// An open that failed: 5 refused when access was denied, else 4 ended (the id names no process any more).
u32 open_code(u32 error);
// A failed image path read: 12 when the buffer was too small, else 5.
u32 path_code(u32 error);
// A failed termination: 15 when access was denied to a process being deleted, 5 when denied otherwise, else 6.
u32 end_code(u32 error, bool exiting);
// A protection level byte whose type (its low 3 bits) is not 0.
bool is_protected_level(u8 protection);
// The extended basic information's flag that the system is deleting the process.
bool is_deleting(u32 flags);

}  // namespace procfacts
