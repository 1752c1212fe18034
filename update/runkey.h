#pragma once
// The entry that starts the background copy at log-on. Where the system keeps such entries as values of a per-user
// registry key (Windows: the Run key, registry::system_words().run_key) it is the value of the name, a text of the
// command line. Elsewhere (Linux) it is an XDG autostart entry, "<config>/autostart/<name in lower case>.desktop",
// whose Exec line runs the copy; the command line as it was given is kept beside it (X-Vimbrel-Run) and read back
// from there.
#include "base/mem.h"

namespace runkey {

// Writes the entry for the command line ("\"<program>\" <arguments>"), all or nothing: true when written. A name of
// other bytes than letters, digits, "-" and "_", or a command line with a control character, is refused.
bool write(mem::Bytes name, mem::Bytes data);
// The command line of the entry into 512 bytes: its length, 0 when there is no entry, it is turned off
// (Hidden=true), runs nothing, is longer, or (a registry value) is empty or not a plain text (REG_SZ).
u32 read(mem::Bytes name, u8* out512);
// Removes the entry: true when it is gone, also when there was none (or no key); false when it is still there.
bool remove(mem::Bytes name);

// The entry's file text for the command line into out: its length, 0 when refused or it does not fit.
u32 entry_text(mem::Bytes data, mem::Slice out);

}  // namespace runkey
