# The 32-bit build (NE2000_M32=ON): the stand-in, the machine models, the
# wire, the testbed and the driver tests compiled with -m32 and NT's structure
# layouts (NDIS_NT_TARGET), so that the image ne2000.sys can be loaded into
# and driven by the same stand-in. Only what those tests and ne2000sim (which
# runs the image with --driver) need is built.
#
# The i386 libraries (gtest, gmock, libpcap, libslirp, lwIP and what they
# load) come from
# a folder unpacked from Debian's .debs by scripts/i386-sysroot.sh, inside the
# build folder: no i386 architecture is added to the system, so no amd64
# package is upgraded to match them.
set(NE2000_I386_SYSROOT ${CMAKE_BINARY_DIR}/i386-sysroot CACHE PATH "i386 libraries for the 32-bit build")
# Run at every configure: it returns at once when the folder holds its
# current package list, and unpacks again when the list has grown since.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/i386-sysroot.sh ${NE2000_I386_SYSROOT}
                RESULT_VARIABLE sysroot_failed)
if(sysroot_failed)
  message(FATAL_ERROR "could not unpack the i386 libraries (scripts/i386-sysroot.sh)")
endif()
set(i386_libraries ${NE2000_I386_SYSROOT}/usr/lib/i386-linux-gnu ${NE2000_I386_SYSROOT}/lib/i386-linux-gnu)

# The tests of this tree run under qemu-user: optimised a little, the image
# tests take 17 s instead of two minutes (the image itself is built -O2).
add_compile_options(-O1)

set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
add_compile_definitions(NDIS_NT_TARGET)
# RPATH rather than RUNPATH: libpcap's own dependencies are found through it too.
add_link_options(-Wl,--disable-new-dtags)
foreach(dir ${i386_libraries})
  add_link_options(-Wl,-rpath,${dir} -Wl,-rpath-link,${dir})
endforeach()

# Some kernels (and sandboxes) run no 32-bit programs: the tests then run
# under qemu-user's i386 emulation (Debian's qemu-user).
file(WRITE ${CMAKE_BINARY_DIR}/CMakeFiles/runs_i386.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
try_run(runs_i386_exit runs_i386_built ${CMAKE_BINARY_DIR}/CMakeFiles/runs_i386
        SOURCES ${CMAKE_BINARY_DIR}/CMakeFiles/runs_i386.c)
if(NOT runs_i386_built)
  message(FATAL_ERROR "the 32-bit build needs the i386 C runtime: install g++-multilib (scripts/install-deps.sh)")
endif()
if(NOT runs_i386_exit STREQUAL "0")
  find_program(NE2000_QEMU_I386 qemu-i386)
  if(NOT NE2000_QEMU_I386)
    message(FATAL_ERROR "this machine runs no 32-bit programs: install qemu-user (scripts/install-deps.sh)")
  endif()
  message(STATUS "32-bit programs run under ${NE2000_QEMU_I386}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NE2000_QEMU_I386})
endif()

find_library(PCAP_LIBRARY pcap PATHS ${NE2000_I386_SYSROOT}/usr/lib/i386-linux-gnu NO_DEFAULT_PATH REQUIRED)
# net/slirp and net/stack look these up under the same names and keep what is
# found here. libslirp directly: its pkg-config file wants an i386 GLib to
# build against, which only its run-time library is needed of.
find_library(SLIRP_LIBRARY slirp PATHS ${NE2000_I386_SYSROOT}/usr/lib/i386-linux-gnu NO_DEFAULT_PATH REQUIRED)
find_path(SLIRP_INCLUDE_DIR slirp/libslirp.h PATHS ${NE2000_I386_SYSROOT}/usr/include NO_DEFAULT_PATH REQUIRED)
find_library(LWIP_LIBRARY lwip PATHS ${NE2000_I386_SYSROOT}/usr/lib/i386-linux-gnu NO_DEFAULT_PATH REQUIRED)
find_path(LWIP_INCLUDE_DIR lwip/init.h PATHS ${NE2000_I386_SYSROOT}/usr/include/lwip NO_DEFAULT_PATH REQUIRED)
set(GTest_DIR ${NE2000_I386_SYSROOT}/usr/lib/i386-linux-gnu/cmake/GTest)
find_package(GTest REQUIRED CONFIG)
# The config names the headers under /usr/include, where the amd64 package
# put the very same ones; the sysroot's copy is used all the same.
include_directories(BEFORE SYSTEM ${NE2000_I386_SYSROOT}/usr/include)

add_subdirectory(machine)
add_subdirectory(platform)
add_subdirectory(driver)
add_subdirectory(net/wire)
add_subdirectory(rig)
enable_testing()
include(GoogleTest)
add_subdirectory(tests/support)
add_subdirectory(tests/image/m32)
# ne2000sim, whose run on the image joins the cases above.
add_subdirectory(net/loop)
add_subdirectory(net/slirp)
add_subdirectory(net/tap)
add_subdirectory(net/stack)
add_subdirectory(tools)
