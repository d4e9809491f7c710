# Cross build for 64-bit ARM with Debian's g++-aarch64-linux-gnu. The arm64 libpng, zlib
# and GoogleTest come from Debian's multiarch packages (libpng-dev:arm64, zlib1g-dev:arm64,
# libgtest-dev:arm64), which live under /usr/lib/aarch64-linux-gnu beside the host's own.
# Test binaries run through qemu-aarch64, so gtest_discover_tests and ctest work as on the
# host. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ALARM_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ALARM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ALARM_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ALARM_CROSS_TRIPLE})

# The cross C library (libc6-dev-arm64-cross) and the multiarch packages both count as the
# target's; programs (python3, sqlite3) are the host's. Libraries, headers and packages are
# looked up only in the target's multiarch directories, never in the host's x86-64 ones.
set(CMAKE_FIND_ROOT_PATH /usr/${ALARM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake /usr/include/x86_64-linux-gnu)

# The test binaries run on the multiarch arm64 C library (libc6:arm64, which libpng-dev:arm64
# brings) and its loader /lib/ld-linux-aarch64.so.1, the same place they load libpng and zlib
# from. No -L prefix by default: "-L /usr/aarch64-linux-gnu" would take the loader of the
# cross toolchain's C library while libc.so.6 still comes from the multiarch package, and
# two glibc builds mixed in one process hang in fork(). Set ALARM_QEMU_SYSROOT to a
# directory that holds the whole arm64 runtime (loader, C library, libpng, zlib) to use one.
set(ALARM_QEMU qemu-aarch64 CACHE STRING "user-mode emulator for the test binaries")
set(ALARM_QEMU_SYSROOT "" CACHE PATH "emulator's -L prefix; empty for the multiarch runtime")
if(ALARM_QEMU_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ALARM_QEMU} -L ${ALARM_QEMU_SYSROOT})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ALARM_QEMU})
endif()
