# What the Windows build takes from the build machine (see
# cmake/mingw-w64-x86_64.cmake): the headers of {fmt} (compiled with the
# program) and of nlohmann-json (header only), and Wine to run what is built.

# A header-only library from the build machine: only a folder holding a link
# to its headers goes on the include path (the whole of the build machine's
# include folder would bring in its C library). headers: the folder, which
# must hold probe; link: the name the sources include it by.
function(vornhale_build_machine_headers target headers probe link package)
  if(NOT EXISTS "${headers}/${probe}")
    message(FATAL_ERROR "${link} headers not found in ${headers}: install ${package}.")
  endif()
  set(include "${CMAKE_BINARY_DIR}/${target}-include")
  file(MAKE_DIRECTORY "${include}")
  file(CREATE_LINK "${headers}" "${include}/${link}" SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE "${include}")
endfunction()

set(VORNHALE_FMT_HEADERS "/usr/include/fmt" CACHE PATH "{fmt} 9 headers of the build machine")
vornhale_build_machine_headers(fmt_headers "${VORNHALE_FMT_HEADERS}" core.h fmt libfmt-dev)

set(VORNHALE_JSON_HEADERS "/usr/include/nlohmann" CACHE PATH "nlohmann-json 3 headers of the build machine")
vornhale_build_machine_headers(nlohmann_json_headers "${VORNHALE_JSON_HEADERS}" json.hpp nlohmann nlohmann-json3-dev)
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json_headers)

# Windows 10 APIs, wide (UTF-16) names for every call; nothing of <windows.h>'s
# min/max macros.
enable_language(RC)
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

find_program(VORNHALE_WINE wine)
if(NOT VORNHALE_WINE)
  message(FATAL_ERROR "Wine not found: install wine and wine64 to run the Windows tests.")
endif()
set(VORNHALE_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
configure_file("${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in" "${CMAKE_BINARY_DIR}/wine-run.sh"
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
               @ONLY)
