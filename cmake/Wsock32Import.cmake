# Windows build: WSOCK32.DLL imported by ordinal rather than by name, through an import library
# made here from cmake/wsock32/wsock32.def (MinGW's own libwsock32.a imports by name).
# Provides the target quorkit_wsock32 and adds it to the DLL's system libraries; applications and
# examples that call Windows Sockets themselves (WSAStartup, htons...) link it too.
# Nothing to do on Linux, where the PAL provides these functions.
if(NOT WIN32)
  return()
endif()

if(CMAKE_DLLTOOL)
  set(QUORKIT_DLLTOOL "${CMAKE_DLLTOOL}")
else()
  find_program(QUORKIT_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()

set(_wsock32_def "${PROJECT_SOURCE_DIR}/cmake/wsock32/wsock32.def")
set(_wsock32_lib "${PROJECT_BINARY_DIR}/wsock32/libwsock32_ordinal.a")
add_custom_command(
  OUTPUT "${_wsock32_lib}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/wsock32"
  COMMAND "${QUORKIT_DLLTOOL}" -m i386 -d "${_wsock32_def}" -l "${_wsock32_lib}"
  DEPENDS "${_wsock32_def}"
  COMMENT "Ordinal import library for WSOCK32.DLL"
  VERBATIM)
add_custom_target(quorkit_wsock32_import DEPENDS "${_wsock32_lib}")

add_library(quorkit_wsock32 STATIC IMPORTED GLOBAL)
set_target_properties(quorkit_wsock32 PROPERTIES IMPORTED_LOCATION "${_wsock32_lib}")
add_dependencies(quorkit_wsock32 quorkit_wsock32_import)

list(APPEND QUORKIT_SYSTEM_LIBRARIES quorkit_wsock32)
