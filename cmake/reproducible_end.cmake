# Run by CPack on the packages it made (CPACK_POST_BUILD_SCRIPTS): strip-nondeterminism gives the
# .deb's ar members and the ZIP's entries fixed modes (0755 for folders and programs, 0644 for the
# rest), owner root and the time of SOURCE_DATE_EPOCH (the ZIP's in UTC), where CPack took them
# from the build folder and the clock.
if(NOT CPACK_SERIAL_TOOLS_STRIP_NONDETERMINISM)
  message(WARNING "strip-nondeterminism (Debian package strip-nondeterminism) was not found when "
                  "configuring: the package's bytes follow the umask and the time zone")
  return()
endif()
set(options)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(options --timestamp $ENV{SOURCE_DATE_EPOCH})
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    # Off by default in strip-nondeterminism: it has to be asked for.
    set(type ar --normalizers=+ar)
  elseif(package MATCHES "\\.zip$")
    set(type zip)
  else()
    continue()
  endif()
  execute_process(COMMAND ${CPACK_SERIAL_TOOLS_STRIP_NONDETERMINISM} --type ${type} ${options}
                          ${package}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip-nondeterminism failed on ${package}")
  endif()
endforeach()
