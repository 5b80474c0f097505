# Cross-builds for 64-bit Windows with Debian's mingw-w64 (posix thread model, so that std::thread
# and std::mutex exist). Everything links statically: the .exe then needs only KERNEL32, msvcrt and
# WinSCard at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSERA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSERA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSERA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSERA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSERA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# The cross compiler must not see /usr/include (the host's glibc headers would shadow mingw's), but
# the JSON library is header-only and the same for every target. Give it a folder that holds only a
# link to it, and a package config that points there, so find_package(nlohmann_json) works as usual.
set(TESSERA_JSON_HEADERS /usr/include/nlohmann)
if(EXISTS ${TESSERA_JSON_HEADERS}/json.hpp AND CMAKE_BINARY_DIR)
  set(_tessera_json_root ${CMAKE_BINARY_DIR}/mingw-nlohmann)
  if(NOT EXISTS ${_tessera_json_root}/include/nlohmann)
    file(MAKE_DIRECTORY ${_tessera_json_root}/include)
    file(CREATE_LINK ${TESSERA_JSON_HEADERS} ${_tessera_json_root}/include/nlohmann SYMBOLIC)
  endif()
  # The version macros sit in json.hpp in older releases, in detail/abi_macros.hpp in newer ones.
  file(GLOB _tessera_json_version_files ${TESSERA_JSON_HEADERS}/json.hpp
       ${TESSERA_JSON_HEADERS}/detail/abi_macros.hpp)
  set(_tessera_json_version_lines "")
  foreach(_file IN LISTS _tessera_json_version_files)
    file(STRINGS ${_file} _lines REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
    list(APPEND _tessera_json_version_lines ${_lines})
  endforeach()
  set(_tessera_json_version "")
  foreach(_line IN LISTS _tessera_json_version_lines)
    string(REGEX REPLACE "^#define NLOHMANN_JSON_VERSION_[A-Z]+ +([0-9]+).*$" "\\1" _part "${_line}")
    list(APPEND _tessera_json_version ${_part})
  endforeach()
  list(SUBLIST _tessera_json_version 0 3 _tessera_json_version)
  list(JOIN _tessera_json_version "." _tessera_json_version)
  file(WRITE ${_tessera_json_root}/nlohmann_jsonConfig.cmake
       "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
       "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
       "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
       "    INTERFACE_INCLUDE_DIRECTORIES \"${_tessera_json_root}/include\")\n"
       "endif()\n")
  file(WRITE ${_tessera_json_root}/nlohmann_jsonConfigVersion.cmake
       "set(PACKAGE_VERSION \"${_tessera_json_version}\")\n"
       "if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)\n"
       "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
       "else()\n"
       "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
       "endif()\n")
  set(nlohmann_json_DIR ${_tessera_json_root} CACHE PATH "JSON library package for the cross build"
      FORCE)
endif()
