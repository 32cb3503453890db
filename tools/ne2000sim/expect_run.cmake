# Runs PROGRAM (a list: the emulator if any, then ne2000sim) with ARGS and
# passes when it exits with STATUS and
#   - with STDERR given: stderr is exactly that one line and stdout is empty;
#   - with STDERR_FIRST given: stderr starts with that line (the usage follows);
#   - with OUTPUT_MATCHES given: stdout matches each of those regular expressions.
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
if(NOT ok)
  message(FATAL_ERROR "expected exit ${STATUS}, stderr '${STDERR}', stdout matching '${OUTPUT_MATCHES}';\n"
                      "got exit ${status}, stderr '${err}', stdout:\n${out}")
endif()
