# Cross build for the 32-bit ARM target (armhf) on a Debian x86_64 host.
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# The target's libraries come from one of two places:
# - DVRCORE_SYSROOT in the environment names a sysroot of unpacked armhf
#   packages (scripts/armhf-sysroot.sh; scripts/test.sh always uses one):
#   libraries and headers are taken from there, and the tests run with it as
#   qemu's prefix. It needs nothing of armhf installed on this machine.
# - Otherwise Debian's multiarch packages (name:armhf), installed beside the
#   host's ones under /usr/lib/arm-linux-gnueabihf with the headers shared in
#   /usr/include, so the "sysroot" is / itself.
# The library architecture is what makes find_package and find_library pick
# lib/arm-linux-gnueabihf (Boost, GTest, ZLIB, TinyXML) over the host's.
# The cross package's own C library in /usr/arm-linux-gnueabihf serves the
# link only: it is older than the libraries linked here and must not be mixed
# in at run time.
# Benchmarks stay off here: Google Benchmark is not built for armhf.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Everything here is built by the one compiler, so GCC's notes on the
# parameter-passing change of GCC 7.1 (-Wpsabi) are noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
if(DEFINED ENV{DVRCORE_SYSROOT} AND NOT "$ENV{DVRCORE_SYSROOT}" STREQUAL "")
  set(_target_root "$ENV{DVRCORE_SYSROOT}")
  # The libraries that the linked ones need in turn (ICU for Boost.Regex...)
  # are looked up by the linker, not by CMake.
  set(_rpath_link "-Wl,-rpath-link,${_target_root}/usr/lib/arm-linux-gnueabihf:${_target_root}/lib/arm-linux-gnueabihf")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${_rpath_link}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_rpath_link}")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_rpath_link}")
  set(DVRCORE_WX_CONFIG
      "${_target_root}/usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2;--prefix=${_target_root}/usr"
      CACHE STRING "wx-config of the target" FORCE)
else()
  set(_target_root /)
  set(DVRCORE_WX_CONFIG /usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2
      CACHE STRING "wx-config of the target" FORCE)
endif()
# Prefixes given on the command line (the plugin SDK installed somewhere, for
# the examples) are searched as they are, not taken to lie in the root.
set(CMAKE_FIND_ROOT_PATH "${_target_root}" ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the target's test programs through this; the test harness starts
# the core through it too (no binfmt_misc registration does it for them).
# Cached, so that the board stage reads it from CMakeCache.txt and takes it
# off the tests' commands again: on an ARM kernel they run themselves.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${_target_root}"
    CACHE STRING "runs the target's programs here" FORCE)
