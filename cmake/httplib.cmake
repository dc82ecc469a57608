# cpp-httplib is one header of about 10,000 lines whose functions are all
# inline, so every file that includes it compiles its whole server again
# (about 10 s a file, more with the sanitizers). The header marks where its
# declarations end and its implementation begins, so that it can be used as a
# header and a source file: the build splits it there, compiles the
# implementation once (the library httplib) and gives every other file
# the declarations only.
#
# In:  HTTPLIB_INCLUDE_DIR (holding the release's httplib.h).
# Out: the static library httplib, whose users include the declarations.
set(httplib_source "${HTTPLIB_INCLUDE_DIR}/httplib.h")
set(httplib_split "${CMAKE_BINARY_DIR}/httplib-split")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${httplib_source}")

file(READ "${httplib_source}" httplib_text)
set(httplib_border "\n// ----------------------------------------------------------------------------\n")
string(FIND "${httplib_text}" "${httplib_border}" httplib_first)
string(FIND "${httplib_text}" "${httplib_border}" httplib_last REVERSE)
if(httplib_first EQUAL -1 OR httplib_first EQUAL httplib_last)
  message(FATAL_ERROR "${httplib_source} does not mark its implementation as cpp-httplib 0.18 does")
endif()
string(LENGTH "${httplib_border}" httplib_border_length)
math(EXPR httplib_body_begin "${httplib_first} + ${httplib_border_length}")
math(EXPR httplib_body_length "${httplib_last} - ${httplib_body_begin}")
string(SUBSTRING "${httplib_text}" 0 ${httplib_first} httplib_declarations)
string(SUBSTRING "${httplib_text}" ${httplib_last} -1 httplib_end)
string(SUBSTRING "${httplib_text}" ${httplib_body_begin} ${httplib_body_length} httplib_body)
# Defined once now, the implementation's functions are inline no more.
string(REGEX REPLACE "\ninline " "\n" httplib_body "${httplib_body}")

# Written where they are only when they change, so that a new configure
# rebuilds nothing.
file(READ "${CMAKE_CURRENT_LIST_DIR}/httplib-internals.h" httplib_internals)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/httplib-internals.h")
file(WRITE "${httplib_split}/new/httplib.h" "${httplib_declarations}\n${httplib_internals}${httplib_end}")
# The source is the header with the implementation in its place, where the
# header's own macros hold (on Windows, poll is WSAPoll only there).
file(WRITE "${httplib_split}/new/httplib.cc"
     "${httplib_declarations}\n${httplib_internals}${httplib_border}${httplib_body}${httplib_end}")
foreach(part httplib.h httplib.cc)
  configure_file("${httplib_split}/new/${part}" "${httplib_split}/${part}" COPYONLY)
endforeach()
unset(httplib_text)
unset(httplib_body)
unset(httplib_declarations)

add_library(httplib STATIC "${httplib_split}/httplib.cc")
target_include_directories(httplib SYSTEM PUBLIC "${httplib_split}")
