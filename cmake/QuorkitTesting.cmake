# GoogleTest built from the system's sources for the target (-m32), and quorkit_add_test(), the one
# way a test program is declared: see docs/DEVELOPING.md.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(QUORKIT_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
add_subdirectory("${QUORKIT_GOOGLETEST_SOURCE}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# quorkit_add_test(NAME n SOURCES f... [LIBS l...] [COMPILE_OPTIONS o...] [COMPILE_DEFINITIONS d...]
#                  [LINK_OPTIONS o...] [TIMEOUT seconds] [LABELS l...] [PAL_ONLY] [NEEDS_DBGHELP])
# LINK_OPTIONS lets a test observe calls between library objects, e.g. -Wl,--wrap=_aligned_free.
# LABELS name the lane: quick (the default: runs in seconds, `scripts/test --quick`) or slow
# (stress and fuzz runs, left to the full `scripts/test`).
function(quorkit_add_test)
  cmake_parse_arguments(T "PAL_ONLY;NEEDS_DBGHELP" "NAME;TIMEOUT"
                        "SOURCES;LIBS;COMPILE_OPTIONS;COMPILE_DEFINITIONS;LINK_OPTIONS;LABELS" ${ARGN})
  if(NOT T_NAME OR NOT T_SOURCES)
    message(FATAL_ERROR "quorkit_add_test needs NAME and SOURCES")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS quick)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  # Whole archive: the PAL's load-time hook (process attach) must be kept although no test calls it.
  if(T_PAL_ONLY)
    set(_lib quorkit_pal)
  else()
    set(_lib quorkit_core)
  endif()
  target_link_libraries(${T_NAME} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${_lib}>"
                        GTest::gtest_main GTest::gmock ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  target_compile_options(${T_NAME} PRIVATE -Wall -Wextra -Werror ${T_COMPILE_OPTIONS})
  target_compile_definitions(${T_NAME} PRIVATE ${T_COMPILE_DEFINITIONS})
  target_link_options(${T_NAME} PRIVATE ${T_LINK_OPTIONS})
  # A module loaded at run time (the Linux dbghelp.dll) resolves the PAL from the executable.
  set_target_properties(${T_NAME} PROPERTIES ENABLE_EXPORTS ON)
  if(T_NEEDS_DBGHELP)
    quorkit_place_dbghelp_beside(${T_NAME})
  endif()
  gtest_discover_tests(${T_NAME}
    WORKING_DIRECTORY "$<TARGET_FILE_DIR:${T_NAME}>"
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
