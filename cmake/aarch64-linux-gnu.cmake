# Cross build for 64-bit ARM Linux (Debian arm64) with Debian's g++-aarch64-linux-gnu. The test
# programs run under qemu-user.
set(SERIAL_TOOLS_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SERIAL_TOOLS_DEBIAN_ARCH arm64)
set(SERIAL_TOOLS_TARGET_LOADER /lib/ld-linux-aarch64.so.1)
set(SERIAL_TOOLS_QEMU_USER qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
