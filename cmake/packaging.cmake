# What `cmake --install` and CPack ship: the four programs in bin/ under the prefix (no tests, no
# libraries), with what a user of the package reads. On Linux: a manual page for each program
# (share/man/man1, gzipped as Debian wants them), the bash completion
# (share/bash-completion/completions), and the copyright, changelog and README in
# share/doc/serial-tools. On Windows: README.txt and LICENSE.txt beside bin/. CPack makes a Debian
# package of the Linux build and a ZIP of the Windows build.
include(GNUInstallDirs)
# Folders the install makes get these modes whatever the umask of the one who builds: the packages
# hold them as they are.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(serial_tools_programs lorvel tessik wendro kadrel)
install(TARGETS ${serial_tools_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
if(WIN32)
  # Text files a Windows user opens with a double click: CRLF line ends.
  # Each program's keys, as its --help lists them without the heading, at @<PROGRAM>_KEYS@.
  # configure_file gives CRLF to the template's own lines only: these lines get theirs here.
  foreach(program IN LISTS serial_tools_programs)
    serial_tools_read_keys(${PROJECT_SOURCE_DIR}/${program}/keys.txt items)
    serial_tools_keys_text("${items}" keys)
    string(REGEX REPLACE "^Keys:\n(.*)\n$" "\\1" keys "${keys}")
    string(REPLACE "\n" "\r\n" keys "${keys}")
    string(TOUPPER ${program} name)
    set(${name}_KEYS "${keys}")
  endforeach()
  configure_file(${packaging_dir}/windows/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
          DESTINATION .)
else()
  # The manual pages: each program's own sections, its keys from <program>/keys.txt put in at
  # @KEYS_SECTION@, and the sections every program shares (port, options, exit status, when the
  # port will not open) at @PORT_SECTIONS@.
  file(READ ${packaging_dir}/man/common.roff PORT_SECTIONS)
  # Read here, not configured: an edit to it configures again, so that the pages follow.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${packaging_dir}/man/common.roff)
  set(manual_pages)
  foreach(program IN LISTS serial_tools_programs)
    serial_tools_read_keys(${PROJECT_SOURCE_DIR}/${program}/keys.txt items)
    serial_tools_keys_roff("${items}" KEYS_SECTION)
    configure_file(${packaging_dir}/man/${program}.1.in man/${program}.1 @ONLY)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nkf ${page} DEPENDS ${page} VERBATIM)
    list(APPEND manual_pages ${page}.gz)
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
  install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The bash completion: one file, and a link to it by each program's name, the name under which
  # bash-completion looks for it when the program is first completed.
  set(completions_dir ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  install(FILES ${packaging_dir}/bash-completion/serial-tools DESTINATION ${completions_dir})
  set(completion_links)
  foreach(program IN LISTS serial_tools_programs)
    set(link ${CMAKE_CURRENT_BINARY_DIR}/completions/${program})
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/completions)
    file(CREATE_LINK serial-tools ${link} SYMBOLIC)
    list(APPEND completion_links ${link})
  endforeach()
  install(FILES ${completion_links} DESTINATION ${completions_dir})

  # The changelog's newest entry must be this version: Debian reads the package's history there.
  set(changelog ${packaging_dir}/deb/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^serial-tools \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "${changelog} starts with '${changelog_top}', not version ${PROJECT_VERSION}")
  endif()
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory doc
                     COMMAND ${CMAKE_COMMAND} -E copy ${changelog} doc/changelog
                     COMMAND gzip -9nf doc/changelog
                     DEPENDS ${changelog} VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${changelog_gz})
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/serial-tools)
  install(FILES ${packaging_dir}/deb/copyright ${changelog_gz} ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${doc_dir})
endif()

set(CPACK_PACKAGE_NAME serial-tools)
set(CPACK_PACKAGE_VENDOR "Serial tools maintainers")
set(CPACK_PACKAGE_CONTACT
    "Serial tools maintainers <maintainers@users.noreply.c-seed-c211ae72.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "console programs that turn a serial port into a simple instrument")
# Debian shows the description as it stands: lines well under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Four console programs drive hardware through one serial port, with
waveforms made by UART framing alone: tessik sends bursts of exactly N
pulses, wendro a square wave at one of 30 frequencies, kadrel measures how
long the transmit line comes back on receive, and lorvel exchanges a byte
with a shift-register board on the control lines. Each also runs on a
built-in simulated port (argument sim).")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
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

# Two builds of one commit make the same package bytes, in any folder, time zone or umask. CPack
# gives every member the time SOURCE_DATE_EPOCH names; reproducible_begin.cmake sets it from the
# last commit when the environment does not. reproducible_end.cmake then has Debian's
# strip-nondeterminism fix what CPack takes from the build folder: the .deb's ar member modes, and
# in the ZIP the modes and the time fields (a ZIP keeps local time, so the time zone shows).
find_package(Git QUIET)
find_program(SERIAL_TOOLS_STRIP_NONDETERMINISM strip-nondeterminism)
set(CPACK_SERIAL_TOOLS_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_SERIAL_TOOLS_GIT "${GIT_EXECUTABLE}")
set(CPACK_SERIAL_TOOLS_STRIP_NONDETERMINISM "${SERIAL_TOOLS_STRIP_NONDETERMINISM}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/reproducible_begin.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible_end.cmake)

include(CPack)
