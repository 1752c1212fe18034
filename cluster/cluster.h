#pragma once
// The cluster files and target texts of the cluster link. So far the readers that the command line needs: the
// dotted IPv4 parser, the target classifier and the lease child's option word.
#include "base/mem.h"

namespace cluster {

// Marks a parsed address as valid, so that 0.0.0.0 (any address) differs from a refused text.
constexpr u64 ipv4_valid = u64{1} << 32;

// Exactly four dot-separated groups of one to three decimal digits, each at most 255 (leading zeros allowed), and
// nothing else. Returns the address in host order (first group most significant) with ipv4_valid set; 0 when
// malformed.
u64 parse_ipv4(mem::Bytes text);

// Kinds of a target text.
constexpr u32 target_invalid = 0, target_server = 1, target_path = 2;

// A target is 1 to 160 printable bytes (32 to 126). It is a path (2) when it is a drive path (a letter, ":", then
// "\" or "/", at least 4 bytes), a UNC path ("\\", a server name, "\" and at least one more byte) or an absolute
// POSIX path ("/" and at least one more byte); else a server (1) when the part before the first ":" is a dotted
// IPv4 address and the rest is empty (port 7420) or ":" and a port of 1 to 65535; else invalid (0).
u32 target_kind(mem::Bytes text);

// True when the argument is "--lease", the word that starts the lease child.
bool is_lease_option(mem::Bytes word);

}  // namespace cluster
