# Cross build for 32-bit ARM Linux with hardware floating point (Debian armhf) with Debian's
# g++-arm-linux-gnueabihf. The test programs run under qemu-user.
set(SERIAL_TOOLS_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SERIAL_TOOLS_DEBIAN_ARCH armhf)
set(SERIAL_TOOLS_TARGET_LOADER /lib/ld-linux-armhf.so.3)
set(SERIAL_TOOLS_QEMU_USER qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
