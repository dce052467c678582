# Read by CPack before it packages (CPACK_PROJECT_CONFIG_FILE): the package's time is the last
# commit's, unless SOURCE_DATE_EPOCH already names one (as Debian's build tools set it).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_SERIAL_TOOLS_GIT)
  execute_process(COMMAND ${CPACK_SERIAL_TOOLS_GIT} log -1 --format=%ct
                  WORKING_DIRECTORY ${CPACK_SERIAL_TOOLS_SOURCE_DIR}
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_status ERROR_QUIET)
  if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  endif()
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(WARNING "No SOURCE_DATE_EPOCH and no git history: the package carries today's time")
endif()
