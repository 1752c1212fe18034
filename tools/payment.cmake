# Writes the payment text that a build carries as a C++ string: constexpr char carried[] = "...";, every byte as a
# hexadecimal escape, for the Support page. The text is 1 to 512 bytes of lines "<currency> <IBAN> <BIC> <holder>"
# (README, Support page).
# usage: cmake -DINPUT=<payment text file> -DOUTPUT=<carried.inc> -P payment.cmake
if(NOT EXISTS "${INPUT}" OR IS_DIRECTORY "${INPUT}")
  message(FATAL_ERROR "VIMBREL_PAYMENT_TEXT_FILE: no such file: ${INPUT}")
endif()
file(SIZE "${INPUT}" size)
if(size EQUAL 0 OR size GREATER 512)
  message(FATAL_ERROR "VIMBREL_PAYMENT_TEXT_FILE: ${INPUT} holds ${size} bytes; a payment text has 1 to 512")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX MATCHALL ".." pairs "${hex}")
list(FIND pairs "00" zero)
if(NOT zero EQUAL -1)
  message(FATAL_ERROR "VIMBREL_PAYMENT_TEXT_FILE: ${INPUT} holds a zero byte; a payment text is plain text")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
set(head "// Written by tools/payment.cmake from the build's payment text; do not edit.\n")
file(WRITE "${OUTPUT}.new" "${head}constexpr char carried[] =\n    \"${escaped}\";\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
