# Writes a C++ source that holds files as byte arrays of namespace web: each entry of ENTRIES is name=path, and
# becomes "const u8 name[]" (the bytes and one zero byte) and "const u64 name_size".
# usage: cmake -DOUTPUT=<file.cpp> -DENTRIES="name=path|..." -P embed.cmake
string(REPLACE "|" ";" ENTRIES "${ENTRIES}")
set(text "// Written by tools/embed.cmake when the program is built; do not edit.\n#include \"host/web.h\"\n\nnamespace web {\n")
foreach(entry IN LISTS ENTRIES)
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(SIZE "${path}" size)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  string(APPEND text "\nconst u8 ${name}[] = {\n${bytes}0};\nconst u64 ${name}_size = ${size};\n")
endforeach()
string(APPEND text "\n}  // namespace web\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
