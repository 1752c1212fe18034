# Writes the loader template without its comment lines (those that begin with // after blanks) and without the
# blanks that begin lines: the dashboard serves the loader within 8,192 bytes, while its description of the protocol
# stays in the source.
# usage: cmake -DINPUT=<loader.js> -DOUTPUT=<file> -P loader.cmake
file(READ "${INPUT}" text)
string(REGEX REPLACE "\n[ \t]*//[^\n]*" "" text "${text}")
string(REGEX REPLACE "\n[ \t]+" "\n" text "${text}")
file(WRITE "${OUTPUT}.new" "${text}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
