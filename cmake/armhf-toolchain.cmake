# Cross build for the 32-bit ARM target (armhf) on a Debian x86_64 host.
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# The target's libraries come from Debian's multiarch packages (name:armhf),
# installed beside the host's ones under /usr/lib/arm-linux-gnueabihf with the
# headers shared in /usr/include, so the "sysroot" is / itself. The library
# architecture is what makes find_package and find_library pick
# /usr/lib/arm-linux-gnueabihf (Boost, GTest, ZLIB, TinyXML) over the host's.
# Tests run under qemu-user with / as the library prefix: the cross package's
# own C library in /usr/arm-linux-gnueabihf is older than the multiarch
# libraries linked here and must not be mixed in at run time.
# Benchmarks stay off here: Google Benchmark is not installed for armhf.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Everything here is built by the one compiler, so GCC's notes on the
# parameter-passing change of GCC 7.1 (-Wpsabi) are noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(DVRCORE_WX_CONFIG /usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2
    CACHE STRING "wx-config of the target" FORCE)

# CTest runs the target's test programs through this; the test harness starts
# the core through it too (no binfmt_misc registration does it for them).
# Cached, so that the board stage reads it from CMakeCache.txt and takes it
# off the tests' commands again: on an ARM kernel they run themselves.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L / CACHE STRING "runs the target's programs here")
