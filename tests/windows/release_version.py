#!/usr/bin/env python3
"""Makes a copy of vimbrel.exe stand for a release of another version, as tests/windows/run needs one: the file
version of its version resource is set to that version, and the test build's version tail is appended, so the copy
also says that version when it runs.

usage: release_version.py <program> <copy> <a.b.c>
"""
import struct
import sys

program, copy, version = sys.argv[1], sys.argv[2], sys.argv[3]
major, minor, patch = (int(part) for part in version.split("."))
data = bytearray(open(program, "rb").read())
at = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
if at < 0:
    sys.exit("release_version.py: %s has no version resource" % program)
ms, ls = major << 16 | minor, patch << 16
struct.pack_into("<IIII", data, at + 8, ms, ls, ms, ls)  # file version, then product version
data += b"VIMBREL-TEST-VERSION %s\n" % version.encode()
open(copy, "wb").write(data)
