# Writes the version that names the dashboard's files: the first 16 hex digits of a SHA-256 over the digests of
# every file served, so any change to one of them gives a new name and browsers fetch it again.
# usage: cmake -DOUTPUT=<file> -DINPUTS="path|path|..." -P version.cmake
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(all "")
foreach(path IN LISTS INPUTS)
  file(SHA256 "${path}" digest)
  string(APPEND all "${digest}")
endforeach()
string(SHA256 version "${all}")
string(SUBSTRING "${version}" 0 16 version)
file(WRITE "${OUTPUT}.new" "${version}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
