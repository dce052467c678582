# What the Linux cross toolchain files share: Debian's cross compilers for one triplet, the
# target's headers and libraries under /usr/<triplet>, and qemu-user to run the target's programs
# (gtest_discover_tests lists the tests at build time; ctest runs them). The programs that tests
# start themselves reach qemu-user through binfmt_misc (Debian's qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${SERIAL_TOOLS_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SERIAL_TOOLS_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${SERIAL_TOOLS_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture the package is marked with: CPack would take this machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SERIAL_TOOLS_DEBIAN_ARCH})

# The target's C library for qemu-user: Debian's own (libc6:<arch>, after `dpkg --add-architecture`)
# where it is installed, else the cross compiler's copy under /usr/<triplet> (qemu's -L). Never a
# mix: with -L, the loader comes from the cross copy while /etc/ld.so.cache names the other
# libc.so.6, and two builds of the C library in one process hang a forked child.
if(NOT EXISTS ${SERIAL_TOOLS_TARGET_LOADER})
  set(SERIAL_TOOLS_QEMU_LD_PREFIX /usr/${SERIAL_TOOLS_CROSS_TRIPLET})
endif()
find_program(SERIAL_TOOLS_QEMU NAMES ${SERIAL_TOOLS_QEMU_USER} ${SERIAL_TOOLS_QEMU_USER}-static
             NO_CMAKE_FIND_ROOT_PATH)
if(SERIAL_TOOLS_QEMU AND SERIAL_TOOLS_QEMU_LD_PREFIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIAL_TOOLS_QEMU} -L ${SERIAL_TOOLS_QEMU_LD_PREFIX})
elseif(SERIAL_TOOLS_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIAL_TOOLS_QEMU})
endif()
