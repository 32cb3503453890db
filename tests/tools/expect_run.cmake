# Runs PROGRAM (a list: the emulator if any, then ne2000sim) with ARGS and
# passes when it exits with STATUS and
#   - with STDERR given: stderr is exactly that one line and stdout is empty;
#   - with STDERR_FIRST given: stderr starts with that line (the usage follows);
#   - with OUTPUT_MATCHES given: stdout matches each of those regular expressions;
#   - with JSON_CHECKS given: stdout is one JSON document, and for each entry
#     "a.b.0.c~regex" the value at that path matches the regex (booleans read
#     ON/OFF), for "a.b#N" the array or object there has N members.
# Several patterns or checks may also be joined with " && ": a semicolon does
# not survive add_test's own list splitting.
string(REPLACE " && " ";" OUTPUT_MATCHES "${OUTPUT_MATCHES}")
string(REPLACE " && " ";" JSON_CHECKS "${JSON_CHECKS}")
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(ok TRUE)
if(NOT status STREQUAL STATUS)
  set(ok FALSE)
endif()
if(DEFINED STDERR AND (NOT err STREQUAL "${STDERR}\n" OR NOT out STREQUAL ""))
  set(ok FALSE)
endif()
if(DEFINED STDERR_FIRST)
  string(FIND "${err}" "${STDERR_FIRST}\n" at)
  if(NOT at EQUAL 0)
    set(ok FALSE)
  endif()
endif()
foreach(pattern IN LISTS OUTPUT_MATCHES)
  if(NOT out MATCHES "${pattern}")
    set(ok FALSE)
  endif()
endforeach()
foreach(check IN LISTS JSON_CHECKS)
  string(REGEX MATCH "^([^~#]+)([~#])(.*)$" parts "${check}")
  string(REPLACE "." ";" path "${CMAKE_MATCH_1}")
  set(kind "${CMAKE_MATCH_2}")
  set(expected "${CMAKE_MATCH_3}")
  if(kind STREQUAL "#")
    string(JSON value ERROR_VARIABLE json_error LENGTH "${out}" ${path})
  else()
    string(JSON value ERROR_VARIABLE json_error GET "${out}" ${path})
  endif()
  if(json_error)
    message(SEND_ERROR "${check}: ${json_error}")
    set(ok FALSE)
  elseif((kind STREQUAL "#" AND NOT value EQUAL expected) OR (kind STREQUAL "~" AND NOT value MATCHES "${expected}"))
    message(SEND_ERROR "${check}: got '${value}'")
    set(ok FALSE)
  endif()
endforeach()
if(NOT ok)
  message(FATAL_ERROR "expected exit ${STATUS}, stderr '${STDERR}', stdout matching '${OUTPUT_MATCHES}';\n"
                      "got exit ${status}, stderr '${err}', stdout:\n${out}")
endif()
