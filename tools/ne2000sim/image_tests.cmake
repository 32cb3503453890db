# ne2000sim on the NT image, in the 32-bit build. The default build takes this
# tree's cases from tests/image/m32 alone, so they are listed with that
# folder's, as a generated CTest script (the way gtest_discover_tests lists its
# cases). Each runs the program through expect_run.cmake.
set(program ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:ne2000sim>)
set(expect ${PROJECT_SOURCE_DIR}/tests/tools/expect_run.cmake)
set(cases "")
# NAME ARGS STATUS then STDERR=line or OUTPUT_MATCHES=regexes (see expect_run.cmake).
function(image_case name arguments status check)
  string(APPEND cases
    "add_test([=[m32/${name}]=] [=[${CMAKE_COMMAND}]=] [=[-DPROGRAM=${program}]=] [=[-DARGS=${arguments}]=]"
    " -DSTATUS=${status} [=[-D${check}]=] -P [=[${expect}]=])\n"
    "set_tests_properties([=[m32/${name}]=] PROPERTIES LABELS image TIMEOUT 300)\n")
  set(cases "${cases}" PARENT_SCOPE)
endfunction()

# The image's DriverEntry (not the linked one's) brings the adapter up, in
# virtual time as with the linked driver, then frames, DHCP and the TCP echo.
image_case(ne2000sim_default_run "--driver;${NE2000_NT_IMAGE};--bytes;102400" 0
  "OUTPUT_MATCHES=driver \\([^)]+\\.sys\\): DriverEntry returned STATUS_SUCCESS;adapter: Initialize returned NDIS_STATUS_SUCCESS after [1-9][0-9]*\\.[0-9] ms of")
# A bring-up the image refused inside DriverEntry is reported as refused.
image_case(ne2000sim_image_refuses_configuration "--driver;${NE2000_NT_IMAGE};--io-base;0x100" 1
  "OUTPUT_MATCHES=adapter: Initialize returned NDIS_STATUS_FAILURE after;UNSUPPORTED_CONFIGURATION \\(0xC0001391\\) values 0x00000100")
# A text file (this folder's script) is no image: one line with the loader's reason.
image_case(ne2000sim_refuses_non_image "--driver;${expect}" 1
  "STDERR=ne2000sim: cannot load ${expect}: not an executable image (no MZ header)")
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/ne2000sim_image_tests.cmake CONTENT "${cases}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/image/m32 APPEND
             PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/ne2000sim_image_tests.cmake)
