# Each program's keys are written once, in <program>/keys.txt, and the build makes every text that
# lists them from it: the Keys part of --help (a generated header), the KEYS section of the manual
# page and the key lists in the Windows README.txt. The format, one line each:
#   KEYS<tab>WHAT THEY DO     a key entry
#   <tab>MORE                 the entry's description goes on (wrapped as written, for --help)
#   TEXT                      a line of a note printed as it stands
#   # ...                     a comment
# --help sets the keys in a column of 19 characters; longer key lists stand on a line of their own.

# A semicolon would split CMake's lists, and a square bracket would keep one from splitting: the
# texts carry control characters in their place until they are written out.
string(ASCII 31 serial_tools_semicolon)
string(ASCII 2 serial_tools_open_bracket)
string(ASCII 3 serial_tools_close_bracket)

# The text with the semicolons and brackets back.
function(serial_tools_keys_restore text out_text)
  string(REPLACE "${serial_tools_semicolon}" ";" text "${text}")
  string(REPLACE "${serial_tools_open_bracket}" "[" text "${text}")
  string(REPLACE "${serial_tools_close_bracket}" "]" text "${text}")
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

# Reads a keys file into a list of "E|KEYS|TEXT", "C|TEXT" and "N|TEXT" items, in file order.
function(serial_tools_read_keys keys_file out_items)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${keys_file})
  file(READ ${keys_file} content)
  string(REPLACE ";" "${serial_tools_semicolon}" content "${content}")
  string(REPLACE "[" "${serial_tools_open_bracket}" content "${content}")
  string(REPLACE "]" "${serial_tools_close_bracket}" content "${content}")
  string(REPLACE "\r" "" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(items)
  foreach(line IN LISTS lines)
    if(line MATCHES "^#" OR line STREQUAL "")
      continue()
    elseif(line MATCHES "^\t(.+)$")
      list(APPEND items "C|${CMAKE_MATCH_1}")
    elseif(line MATCHES "^([^\t]+)\t(.+)$")
      list(APPEND items "E|${CMAKE_MATCH_1}|${CMAKE_MATCH_2}")
    elseif(line MATCHES "\t")
      message(FATAL_ERROR "${keys_file}: a key entry needs its keys, a tab and what they do: '${line}'")
    else()
      list(APPEND items "N|${line}")
    endif()
  endforeach()
  set(${out_items} "${items}" PARENT_SCOPE)
endfunction()

# The keys as --help prints them: a "Keys:" line, then the entries in two columns.
function(serial_tools_keys_text items out_text)
  set(text "Keys:\n")
  string(REPEAT " " 21 indent)
  foreach(item IN LISTS items)
    if(item MATCHES "^E\\|([^|]+)\\|(.*)$")
      string(LENGTH "${CMAKE_MATCH_1}" width)
      if(width GREATER 17)
        string(APPEND text "  ${CMAKE_MATCH_1}\n${indent}${CMAKE_MATCH_2}\n")
      else()
        math(EXPR pad "19 - ${width}")
        string(REPEAT " " ${pad} padding)
        string(APPEND text "  ${CMAKE_MATCH_1}${padding}${CMAKE_MATCH_2}\n")
      endif()
    elseif(item MATCHES "^C\\|(.*)$")
      string(APPEND text "${indent}${CMAKE_MATCH_1}\n")
    elseif(item MATCHES "^N\\|(.*)$")
      string(APPEND text "${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  serial_tools_keys_restore("${text}" text)
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

# Text for roff: backslashes and minus signs escaped, and never a control character at the start.
function(serial_tools_roff_escape text out_text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${out_text} "\\&${text}" PARENT_SCOPE)
endfunction()

# The manual page's KEYS section: one tagged paragraph per entry, the keys in bold.
function(serial_tools_keys_roff items out_roff)
  set(roff ".SH KEYS")
  foreach(item IN LISTS items)
    if(item MATCHES "^E\\|([^|]+)\\|(.*)$")
      set(description "${CMAKE_MATCH_2}")
      string(REPLACE ", " ";" keys "${CMAKE_MATCH_1}")
      set(bold_keys)
      foreach(key IN LISTS keys)
        serial_tools_roff_escape("${key}" key)
        list(APPEND bold_keys "\\fB${key}\\fR")
      endforeach()
      list(JOIN bold_keys ", " key_line)
      serial_tools_roff_escape("${description}" description)
      string(APPEND roff "\n.TP\n${key_line}\n${description}")
    elseif(item MATCHES "^C\\|(.*)$")
      serial_tools_roff_escape("${CMAKE_MATCH_1}" more)
      string(APPEND roff "\n${more}")
    elseif(item MATCHES "^N\\|(.*)$")
      serial_tools_roff_escape("${CMAKE_MATCH_1}" note)
      if(last_kind STREQUAL "N")
        string(APPEND roff "\n${note}")
      else()
        string(APPEND roff "\n.PP\n${note}")
      endif()
    endif()
    string(SUBSTRING "${item}" 0 1 last_kind)
  endforeach()
  serial_tools_keys_restore("${roff}" roff)
  set(${out_roff} "${roff}" PARENT_SCOPE)
endfunction()

# A header for the program's sources that defines KEYS_HELP, the --help text of the keys as a
# string literal.
function(serial_tools_keys_header keys_file header)
  serial_tools_read_keys(${keys_file} items)
  serial_tools_keys_text("${items}" text)
  file(RELATIVE_PATH source ${PROJECT_SOURCE_DIR} ${keys_file})
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  # One string literal per line, joined by the preprocessor's line continuation.
  string(REPLACE "\n" "\\n\" \\\n    \"" text "${text}")
  string(REGEX REPLACE " \\\\\n    \"$" "" text "${text}")
  file(CONFIGURE OUTPUT ${header} CONTENT
"// Made by the build from ${source}; edit that file.
#pragma once
#define KEYS_HELP \\
    \"${text}
" @ONLY)
endfunction()
