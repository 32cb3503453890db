# ne2000sim on the NT image, in the 32-bit build: its default run, and the
# refusal of a file that is no image. The default build takes this tree's
# cases from tests/image/m32 alone, so they are listed with that folder's, as
# a generated CTest script (the way gtest_discover_tests lists its cases).
set(program ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:ne2000sim>)
set(expect ${CMAKE_CURRENT_SOURCE_DIR}/ne2000sim/expect_run.cmake)
set(cases "")
# DriverEntry brings the adapter up (the time it took, as with the linked
# driver), then frames, DHCP and the TCP echo; exit 0.
string(APPEND cases
  "add_test([=[m32/ne2000sim_default_run]=] [=[${CMAKE_COMMAND}]=] [=[-DPROGRAM=${program}]=]"
  " [=[-DARGS=--driver;${NE2000_NT_IMAGE}]=] -DSTATUS=0"
  " [=[-DOUTPUT_MATCHES=adapter: Initialize returned NDIS_STATUS_SUCCESS after [1-9][0-9]*\\.[0-9] ms of]=]"
  " -P [=[${expect}]=])\n"
  "set_tests_properties([=[m32/ne2000sim_default_run]=] PROPERTIES LABELS image TIMEOUT 300)\n")
# A text file (the checking script): one line with the loader's reason, exit 1.
string(APPEND cases
  "add_test([=[m32/ne2000sim_refuses_non_image]=] [=[${CMAKE_COMMAND}]=] [=[-DPROGRAM=${program}]=]"
  " [=[-DARGS=--driver;${expect}]=] -DSTATUS=1"
  " [=[-DSTDERR=ne2000sim: cannot load ${expect}: not an executable image (no MZ header)]=]"
  " -P [=[${expect}]=])\n"
  "set_tests_properties([=[m32/ne2000sim_refuses_non_image]=] PROPERTIES LABELS image TIMEOUT 120)\n")
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/ne2000sim_image_tests.cmake CONTENT "${cases}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/image/m32 APPEND
             PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/ne2000sim_image_tests.cmake)
