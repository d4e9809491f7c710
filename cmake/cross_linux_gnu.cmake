# The part both cross builds share (cmake/aarch64-linux-gnu.cmake, cmake/arm-linux-gnueabihf.cmake):
# Debian's cross compiler for ALARM_CROSS_TRIPLE, and the target's libpng, zlib and
# GoogleTest from Debian's multiarch packages (libpng-dev:ARCH, zlib1g-dev:ARCH,
# libgtest-dev:ARCH), which live under /usr/lib/${ALARM_CROSS_TRIPLE} beside the host's own.
# Test binaries run through ALARM_QEMU, so gtest_discover_tests and ctest work as on the
# host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ALARM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ALARM_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ALARM_CROSS_TRIPLE})

# The cross C library (libc6-dev-ARCH-cross) and the multiarch packages both count as the
# target's; programs (python3, sqlite3) are the host's. Libraries, headers and packages are
# looked up only in the target's multiarch directories, never in the host's x86-64 ones.
set(CMAKE_FIND_ROOT_PATH /usr/${ALARM_CROSS_TRIPLE})
# The target's packages unpacked into a directory of their own, where they could not be
# installed beside the host's (scripts/cross.sh does so when the versions disagree).
set(ALARM_CROSS_SYSROOT "" CACHE PATH "the target's packages unpacked here; empty: multiarch")
# The checks' test projects read this file too, and must see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ALARM_CROSS_SYSROOT)
if(ALARM_CROSS_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ALARM_CROSS_SYSROOT})
  set(_alarm_libs ${ALARM_CROSS_SYSROOT}/lib/${ALARM_CROSS_TRIPLE}
                  ${ALARM_CROSS_SYSROOT}/usr/lib/${ALARM_CROSS_TRIPLE})
  string(REPLACE ";" ":" _alarm_libs "${_alarm_libs}")
  add_link_options(-Wl,-rpath-link,${_alarm_libs})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake /usr/include/x86_64-linux-gnu)
# pkg-config (libdrm) reads the target's package descriptions alone, from the sysroot where
# there is one.
if(ALARM_CROSS_SYSROOT)
  set(ENV{PKG_CONFIG_LIBDIR} ${ALARM_CROSS_SYSROOT}/usr/lib/${ALARM_CROSS_TRIPLE}/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ALARM_CROSS_SYSROOT})
else()
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ALARM_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
endif()

# The test binaries run on the multiarch C library (libc6:ARCH, which libpng-dev:ARCH
# brings) and its loader in /lib, the same place they load libpng and zlib from. No -L prefix
# by default: "-L /usr/${ALARM_CROSS_TRIPLE}" would take the loader of the cross toolchain's
# C library while libc.so.6 still comes from the multiarch package, and two glibc builds
# mixed in one process hang in fork(). Set ALARM_QEMU_SYSROOT to a directory that holds the
# whole target runtime (loader, C library, libpng, zlib) to use one.
set(ALARM_QEMU_SYSROOT "" CACHE PATH "emulator's -L prefix; empty for the multiarch runtime")
if(ALARM_QEMU_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ALARM_QEMU} -L ${ALARM_QEMU_SYSROOT})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ALARM_QEMU})
endif()
