#pragma once
// The version a Windows program file carries in its version resource, read from the file's bytes: the resource
// section found through the PE headers, the fixed file information found in it, and its file version. The updater
// compares it with the version a release's manifest names, so a release cannot say one version and be another.
#include "base/mem.h"

namespace pe {

// The resource section of the PE image whose first bytes are given: its file offset and size. False when the bytes
// are not a PE image's headers or name no ".rsrc" section among the section entries that lie wholly in them.
bool find_rsrc(mem::Bytes head, u32* offset, u32* size);
// The file version of the first fixed file information (signature 0xFEEF04BD, structure version 0x00010000) at a
// 4-byte step of the section: its two 32-bit halves. False when there is none.
bool fixed_version(mem::Bytes section, u32* ms, u32* ls);

// How much a version check reads: the headers, then at most this much of the resource section.
inline constexpr u32 head_bytes = 4096;
inline constexpr u32 section_most = 1048576;

}  // namespace pe
