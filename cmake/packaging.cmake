# What `cmake --install` and CPack ship: the four programs and nothing else (no tests, no
# libraries), in bin/ under the prefix. CPack makes a Debian package of the Linux build and a ZIP
# of the Windows build.
include(GNUInstallDirs)
install(TARGETS lorvel tessik wendro kadrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(CPACK_PACKAGE_NAME serial-tools)
set(CPACK_PACKAGE_VENDOR "Serial tools maintainers")
set(CPACK_PACKAGE_CONTACT
    "Serial tools maintainers <maintainers@users.noreply.c-seed-c211ae72.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "console programs that turn a serial port into a simple instrument")
set(CPACK_PACKAGE_DESCRIPTION
    "Four console programs drive hardware through one serial port, with waveforms made by UART
framing alone: tessik sends bursts of exactly N pulses, wendro a square wave at one of 30
frequencies, kadrel measures how long the transmit line comes back on receive, and lorvel
exchanges a byte with a shift-register board on the control lines. Each also runs on a
built-in simulated port (argument sim).")
# Release builds carry no debugging information worth shipping.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  # serial-tools_<version>_<architecture>.deb, as Debian names its packages.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # The dependencies (libc6, libstdc++6, libgcc-s1) are computed from the programs by
  # dpkg-shlibdeps, from Debian's dpkg-dev.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
