# Cross build for 32-bit ARM (hard float) with Debian's g++-arm-linux-gnueabihf and the
# armhf multiarch libraries; the tests run under qemu-arm. This is the phone the program was
# made for: 32-bit time_t and 16-byte input events. scripts/cross.sh armhf uses it:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake ...
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ALARM_CROSS_TRIPLE arm-linux-gnueabihf)
set(ALARM_QEMU qemu-arm CACHE STRING "user-mode emulator for the test binaries")
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux_gnu.cmake)
