# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
# Target libraries come from Debian multiarch (apt-get install libgtest-dev:arm64
# ...), which puts them in /usr/lib/aarch64-linux-gnu beside the host's; the
# cross compiler searches there and in its own /usr/aarch64-linux-gnu.
# Test programs run through qemu-user, so CTest and gtest_discover_tests work.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(QUORVAN_AARCH64_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUORVAN_AARCH64_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVAN_AARCH64_TRIPLET}-g++)

# The programs must run against one C library: once multiarch has installed
# libc6:arm64 (a dependency of every arm64 package), the cross toolchain's own
# copy in /usr/aarch64-linux-gnu would load it beside its older ld.so, and the
# first thread a program starts deadlocks. So the multiarch root wins.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(_quorvan_runtime_root /)
else()
  set(_quorvan_runtime_root /usr/${QUORVAN_AARCH64_TRIPLET})
endif()
set(QUORVAN_AARCH64_SYSROOT ${_quorvan_runtime_root} CACHE PATH
    "Root holding the target's ld.so and C library, given to qemu-aarch64 -L")
find_program(QUORVAN_AARCH64_QEMU NAMES qemu-aarch64 qemu-aarch64-static)
if(QUORVAN_AARCH64_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVAN_AARCH64_QEMU};-L;${QUORVAN_AARCH64_SYSROOT})
endif()

# Programs (code generators, python) from the host; libraries, headers and
# CMake packages from the target's directories only, so an x86-64 package is
# never picked up by mistake.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVAN_AARCH64_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
