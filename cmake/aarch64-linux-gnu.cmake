# Cross build for 64-bit ARM with Debian's g++-aarch64-linux-gnu and the arm64 multiarch
# libraries; the tests run under qemu-aarch64. scripts/cross.sh arm64 uses it:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ALARM_CROSS_TRIPLE aarch64-linux-gnu)
set(ALARM_QEMU qemu-aarch64 CACHE STRING "user-mode emulator for the test binaries")
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux_gnu.cmake)
