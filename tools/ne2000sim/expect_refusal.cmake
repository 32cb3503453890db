# Runs PROGRAM (a list: the emulator if any, then ne2000sim) with --driver
# IMAGE and passes when it refuses at once: exit status STATUS, nothing on
# stdout and exactly the line MESSAGE on stderr.
execute_process(COMMAND ${PROGRAM} --driver ${IMAGE} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL STATUS OR NOT out STREQUAL "" OR NOT err STREQUAL "${MESSAGE}\n")
  message(FATAL_ERROR "expected exit ${STATUS} and only '${MESSAGE}' on stderr;"
                      " got exit ${status}, stdout '${out}', stderr '${err}'")
endif()
