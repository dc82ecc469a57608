# What the Windows build takes from the build machine (see
# cmake/mingw-w64-x86_64.cmake): {fmt} in header-only mode from the build
# machine's headers, nlohmann-json likewise, and Wine to run what is built.

# Only a folder holding a link to the fmt headers goes on the include path: the
# whole of the build machine's include folder would bring in its C library.
set(VORNHALE_FMT_HEADERS "/usr/include/fmt" CACHE PATH "{fmt} 9 headers of the build machine")
if(NOT EXISTS "${VORNHALE_FMT_HEADERS}/core.h")
  message(FATAL_ERROR "{fmt} headers not found in ${VORNHALE_FMT_HEADERS}: install libfmt-dev.")
endif()
set(fmt_include "${CMAKE_BINARY_DIR}/fmt-include")
file(MAKE_DIRECTORY "${fmt_include}")
file(CREATE_LINK "${VORNHALE_FMT_HEADERS}" "${fmt_include}/fmt" SYMBOLIC)
add_library(fmt_header_only INTERFACE)
target_include_directories(fmt_header_only SYSTEM INTERFACE "${fmt_include}")
target_compile_definitions(fmt_header_only INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt-header-only ALIAS fmt_header_only)

# nlohmann-json, header only, the same way: a folder holding a link to the
# build machine's headers.
set(VORNHALE_JSON_HEADERS "/usr/include/nlohmann" CACHE PATH "nlohmann-json 3 headers of the build machine")
if(NOT EXISTS "${VORNHALE_JSON_HEADERS}/json.hpp")
  message(FATAL_ERROR "nlohmann-json headers not found in ${VORNHALE_JSON_HEADERS}: install nlohmann-json3-dev.")
endif()
set(json_include "${CMAKE_BINARY_DIR}/json-include")
file(MAKE_DIRECTORY "${json_include}")
file(CREATE_LINK "${VORNHALE_JSON_HEADERS}" "${json_include}/nlohmann" SYMBOLIC)
add_library(nlohmann_json_headers INTERFACE)
target_include_directories(nlohmann_json_headers SYSTEM INTERFACE "${json_include}")
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
